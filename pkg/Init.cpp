/*
 * Init.cpp --
 *
 *	The second entry point of the library file: registers the C++ commands
 *	behind the script-level package kardum in the namespace ::kardum.
 *	lib/kardum.tcl reaches it with `load` and the prefix Kardumpkg, naming
 *	the library file that holds Kardum_C by a second spelling of its path
 *	(Tcl refuses a second prefix for a file name it has loaded already), after
 *	Kardum_C is loaded; Kardum_Init keeps registering the sixteen commands
 *	and nothing else.
 */

#include "kardum.h"
#include "pkg/Commands.h"
#include "frame/Stubs.h"

namespace {

struct PackageCommandRow {
    const char *name; /* fully qualified, in ::kardum */
    Tcl_ObjCmdProc *proc;
};

/* One row per command; the namespace is created with the first. */
const PackageCommandRow kPackageCommands[] = {
    {"::kardum::FillGrid", kardum::pkg::FillGridCmd},
    {"::kardum::readxyz", kardum::pkg::ReadXyzCmd},
    {"::kardum::WriteGrid", kardum::pkg::WriteGridCmd},
    {"::kardum::WriteImage", kardum::pkg::WriteImageCmd},
    {"::kardum::Records", kardum::pkg::RecordsCmd},
    {"::kardum::GridCompute", kardum::pkg::GridComputeCmd},
    {"::kardum::NlinPoint", kardum::pkg::NlinPointCmd},
    {nullptr, nullptr},
};

} // namespace

extern "C" int Kardumpkg_Init(Tcl_Interp *interp)
{
    if (!kardum::InitTclStubs(interp)) {
        return TCL_ERROR;
    }
    for (const PackageCommandRow *row = kPackageCommands; row->name; ++row) {
        if (!Tcl_CreateObjCommand(interp, row->name, row->proc, nullptr, nullptr)) {
            return TCL_ERROR;
        }
    }
    return TCL_OK;
}
