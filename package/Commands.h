/*
 * Commands.h --
 *
 *	The command procedures behind the script-level package kardum.  They
 *	live in the namespace ::kardum, are registered by Kardumpkg_Init from
 *	the table in package/Init.cpp and are internal to the library: the helpers
 *	of lib/ call them, users call the helpers.
 */

#ifndef KARDUM_PACKAGE_COMMANDS_H
#define KARDUM_PACKAGE_COMMANDS_H

#include <tcl.h>

namespace kardum::package {

/* Records and grids between files and buffers (grid/GridIO.cpp,
 * grid/GridImage.cpp) and records binned and filled as a grid
 * (grid/GridPath.cpp). */
int ReadXyzCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]);
int WriteGridCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]);
int WriteImageCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]);
int ReadGridCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]);
int ReadNetcdfCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]);
int ReadGeotiffCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]);
int RecordsCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]);
int GridComputeCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]);

/* ::kardum::quad::Run: the engine of kardum::integrate, nodes, weights,
 * sums and the adaptive subdivision (data/IntegrateCmd.cpp). */
int IntegrateCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]);

/* ::kardum::fit::Open: the command that holds one kardum::nlfit's state,
 * with the model callback for models that return their derivatives;
 * ::kardum::fit::Slots: the work array's slots by name; ::kardum::fit::Finite:
 * where a list stops holding finite numbers (fit/NlinFitCmd.cpp). */
int NlinOpenCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]);
int NlinSlotsCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]);
int NlinFiniteCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]);

/* ::kardum::fit::Conditioning: the condition number and the correlations
 * of a finished fit, and the parameters its data do not determine
 * (fit/NlinConditionCmd.cpp). */
int NlinConditioningCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]);

} // namespace kardum::package

#endif
