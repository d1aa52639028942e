/*
 * Commands.h --
 *
 *	The command procedures behind the script-level package kardum.  They
 *	live in the namespace ::kardum, are registered by Kardumpkg_Init from
 *	the table in pkg/Init.cpp and are internal to the library: the helpers
 *	of lib/kardum.tcl call them, users call the helpers.
 */

#ifndef KARDUM_PKG_COMMANDS_H
#define KARDUM_PKG_COMMANDS_H

#include <tcl.h>

namespace kardum::pkg {

/* ::kardum::FillGrid: the guarded, completing fill of kardum::gridfill. */
int FillGridCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]);
/* Records and grids between files and buffers (pkg/GridIO.cpp,
 * pkg/GridImage.cpp) and records to a grid (pkg/GridPath.cpp). */
int ReadXyzCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]);
int WriteGridCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]);
int WriteImageCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]);
int RecordsCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]);
int GridComputeCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]);

/* ::kardum::NlinPoint: the model callback of kardum::nlfit for models that
 * return their derivatives (pkg/NlinPointCmd.cpp). */
int NlinPointCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]);

} // namespace kardum::pkg

#endif
