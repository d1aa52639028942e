/*
 * Flags.h --
 *
 *	Checking the fit flags (1 fit, 0 hold) of KDdataLSq1D, KDdataMqCoef
 *	and KDdataNLinLSq.  The flags are read as 32-bit integers, so that a
 *	value such as 257 is not taken for its low byte; these helpers look at
 *	an element once more where that reading is not enough.  Internal to
 *	the library.
 */

#ifndef KARDUM_FIT_FLAGS_H
#define KARDUM_FIT_FLAGS_H

#include "frame/Frame.h"
#include "frame/Interrupt.h"

#include <tcl.h>

#include <cstdio>

namespace kardum {

/* A coefficient or parameter is fitted when its flag is exactly 1. */
inline bool IsFitted(char flag)
{
    return flag == 1;
}

/*
 * Element j of the array `name`, or null when it is missing.  The read
 * leaves the interpreter's result as it was, unless a trace on the element
 * was cancelled or ran past a limit: then it throws TclError with Tcl's
 * own message (see Interrupt::AfterAccess).
 */
inline Tcl_Obj *FlagElement(Tcl_Interp *interp, Tcl_Obj *name, int j)
{
    char index[16];
    std::snprintf(index, sizeof index, "%d", j);
    Tcl_InterpState state = Tcl_SaveInterpState(interp, TCL_OK);
    Tcl_Obj *value = Tcl_GetVar2Ex(interp, Tcl_GetString(name), index, TCL_LEAVE_ERR_MSG);
    if (value == nullptr) {
        Interrupt stop(interp);
        if (stop.AfterAccess()) {
            Tcl_DiscardInterpState(state);
            throw TclError{};
        }
    }
    Tcl_RestoreInterpState(interp, state);
    return value;
}

/* The text of element j of the array `name`, or null when it is missing. */
inline const char *FlagText(Tcl_Interp *interp, Tcl_Obj *name, int j)
{
    Tcl_Obj *value = FlagElement(interp, name, j);
    return value != nullptr ? Tcl_GetString(value) : nullptr;
}

/* Element j of the array `name` as a wide integer; false when it is
 * missing or is not an integer. */
inline bool FlagWide(Tcl_Interp *interp, Tcl_Obj *name, int j, Tcl_WideInt &wide)
{
    Tcl_Obj *value = FlagElement(interp, name, j);
    return value != nullptr &&
           Tcl_GetWideIntFromObj(nullptr, value, &wide) == TCL_OK;
}

/*
 * True when flag j, read as the integer v, is exactly 0 or 1.  Tcl's
 * integer reading also gives 1 for texts such as -4294967295, so a 1 is
 * checked once more as a wide integer.
 */
inline bool IsFitFlag(Tcl_Interp *interp, Tcl_Obj *name, int j, int v)
{
    if (v == 0) {
        return true;
    }
    Tcl_WideInt wide = 0;
    return v == 1 && FlagWide(interp, name, j, wide) && wide == 1;
}

} // namespace kardum

#endif /* KARDUM_FIT_FLAGS_H */
