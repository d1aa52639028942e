/*
 * ObjRef.h --
 *
 *	A reference to a Tcl object held for one C++ scope, so that every
 *	path out of the scope, an exception included, gives it back.
 *	Internal to the library.
 */

#ifndef KARDUM_OBJREF_H
#define KARDUM_OBJREF_H

#include <tcl.h>

namespace kardum {

class ObjRef {
public:
    explicit ObjRef(Tcl_Obj *obj) : obj_(obj) { Tcl_IncrRefCount(obj_); }
    ~ObjRef() { Tcl_DecrRefCount(obj_); }
    ObjRef(const ObjRef &) = delete;
    ObjRef &operator=(const ObjRef &) = delete;
    Tcl_Obj *get() const { return obj_; }

private:
    Tcl_Obj *obj_;
};

} // namespace kardum

#endif
