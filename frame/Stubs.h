/*
 * Stubs.h --
 *
 *	The library reaches Tcl through the stub table only.  Every entry
 *	point that Tcl may call first (Kardum_Init, Kardumpkg_Init) begins by
 *	filling it.  Internal to the library.
 */

#ifndef KARDUM_STUBS_H
#define KARDUM_STUBS_H

#include <tcl.h>

namespace kardum {

/*
 * The oldest Tcl the library runs in.  Through the stub table it loads
 * into any Tcl of the major version it was built for from this one on;
 * 8.6 is the oldest release whose table holds every call the library
 * makes, and the oldest the tests run on.
 */
#if TCL_MAJOR_VERSION >= 9
constexpr const char *kTclFloor = "9.0";
#else
constexpr const char *kTclFloor = "8.6";
#endif

/* Fills the stub table before anything else touches Tcl; false, with
 * Tcl's message in the result, in an older Tcl or one of another major
 * version. */
inline bool InitTclStubs(Tcl_Interp *interp)
{
    return Tcl_InitStubs(interp, kTclFloor, 0) != nullptr;
}

} // namespace kardum

#endif /* KARDUM_STUBS_H */
