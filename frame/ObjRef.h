/*
 * ObjRef.h --
 *
 *	A reference to a Tcl object held by a C++ owner: a scope, a member or
 *	an element of a container.  Every path out of the owner, an exception
 *	included, gives it back.  It may hold nothing, and moves (the
 *	reference goes with it) but never copies.  Internal to the library.
 */

#ifndef KARDUM_OBJREF_H
#define KARDUM_OBJREF_H

#include <tcl.h>

#include <utility>

namespace kardum {

class ObjRef {
public:
    ObjRef() = default;
    /* Takes a reference of its own to `obj` (which may be null). */
    explicit ObjRef(Tcl_Obj *obj) : obj_(obj)
    {
        if (obj_ != nullptr) {
            Tcl_IncrRefCount(obj_);
        }
    }
    ~ObjRef() { Release(); }
    ObjRef(ObjRef &&other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    ObjRef &operator=(ObjRef &&other) noexcept
    {
        if (this != &other) {
            Release();
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    ObjRef(const ObjRef &) = delete;
    ObjRef &operator=(const ObjRef &) = delete;

    Tcl_Obj *get() const { return obj_; }
    Tcl_Obj *operator->() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }

private:
    void Release()
    {
        if (obj_ != nullptr) {
            Tcl_DecrRefCount(obj_);
        }
    }

    Tcl_Obj *obj_ = nullptr;
};

} // namespace kardum

#endif
