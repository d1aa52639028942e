/*
 * Callback.cpp --
 *
 *	Kept callback scripts and answer variables (see Callback.h).
 */

#include "Callback.h"

#include <string>

namespace kardum {

bool EvalCallback(Interrupt &stop, const char *text)
{
    return !stop.After(Tcl_Eval(stop.Interp(), text));
}

Script::Script(Interrupt &stop, const char *text)
    : stop_(stop), obj_(Tcl_NewStringObj(text, -1))
{
}

bool Script::Eval()
{
    return !stop_.After(Tcl_EvalObjEx(stop_.Interp(), obj_.get(), 0));
}

Answer::Answer(Interrupt &stop, const char *name, int elements)
    : stop_(stop), interp_(stop.Interp()), name_(Tcl_NewStringObj(name, -1)), reader_(stop.Interp())
{
    index_.reserve(elements > 0 ? static_cast<std::size_t>(elements) : 0);
    for (int i = 0; i < elements; ++i) {
        std::string text = std::to_string(i);
        index_.emplace_back(Tcl_NewStringObj(text.c_str(), static_cast<int>(text.size())));
    }
}

bool Answer::Read(int element, double &value)
{
    Tcl_Obj *index = element < 0 ? nullptr : index_[static_cast<std::size_t>(element)].get();
    Tcl_Obj *obj = Tcl_ObjGetVar2(interp_, name_.get(), index, TCL_LEAVE_ERR_MSG);
    if (obj == nullptr) {
        stop_.AfterAccess();
        return false;
    }
    double read;
    if (reader_.Read(obj, &read) == TCL_OK) {
        value = read;
    }
    return true;
}

} // namespace kardum
