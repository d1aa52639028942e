/*
 * Init.cpp --
 *
 *	The second entry point of the library file: registers the C++ commands
 *	behind the script-level package kardum in the namespace ::kardum.
 *	Kardum_Init registers it with Tcl as the static package Kardumpkg, so
 *	lib/kardum.tcl reaches it with `load {} Kardumpkg` once Kardum_C is
 *	loaded; Kardum_Init itself registers the sixteen commands and no
 *	command of the package.
 */

#include "kardum.h"
#include "package/Commands.h"
#include "frame/Stubs.h"

namespace {

struct PackageCommandRow {
    const char *name; /* fully qualified, in ::kardum */
    Tcl_ObjCmdProc *proc;
};

/* One row per command; each namespace is created with its first. */
const PackageCommandRow kPackageCommands[] = {
    {"::kardum::readxyz", kardum::package::ReadXyzCmd},
    {"::kardum::WriteGrid", kardum::package::WriteGridCmd},
    {"::kardum::WriteImage", kardum::package::WriteImageCmd},
    {"::kardum::ReadGrid", kardum::package::ReadGridCmd},
    {"::kardum::ReadNetcdf", kardum::package::ReadNetcdfCmd},
    {"::kardum::ReadGeotiff", kardum::package::ReadGeotiffCmd},
    {"::kardum::Records", kardum::package::RecordsCmd},
    {"::kardum::GridCompute", kardum::package::GridComputeCmd},
    {"::kardum::quad::Run", kardum::package::IntegrateCmd},
    {"::kardum::fit::Open", kardum::package::NlinOpenCmd},
    {"::kardum::fit::Slots", kardum::package::NlinSlotsCmd},
    {"::kardum::fit::Finite", kardum::package::NlinFiniteCmd},
    {"::kardum::fit::Conditioning", kardum::package::NlinConditioningCmd},
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
