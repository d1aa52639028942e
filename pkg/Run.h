/*
 * Run.h --
 *
 *	The frame of the package's C++ commands: the body runs under
 *	kardum::RunCommand, and a call outside what the helper accepts
 *	(ArgError) also gets the errorCode of the helpers' own checks,
 *	KARDUM VALUE.  Internal to the library.
 */

#ifndef KARDUM_PKG_RUN_H
#define KARDUM_PKG_RUN_H

#include "frame/Frame.h"

#include <tcl.h>

namespace kardum::pkg {

template <class Body>
int RunPackageCommand(Tcl_Interp *interp, Body &&body)
{
    return kardum::RunCommand(interp, [&]() -> int {
        try {
            return body();
        } catch (const ArgError &) {
            Tcl_SetErrorCode(interp, "KARDUM", "VALUE", static_cast<char *>(nullptr));
            throw;
        }
    });
}

} // namespace kardum::pkg

#endif /* KARDUM_PKG_RUN_H */
