/*
 * Init.cpp --
 *
 *	The load entry point: registers the library's commands in the
 *	interpreter, provides the package Kardum_C and registers the package's
 *	own entry point Kardumpkg_Init (package/Init.cpp) as a static package,
 *	so that lib/kardum.tcl reaches it with `load {} Kardumpkg`.
 *
 *	KARDUM_VERSION, the version of both packages, comes from the build
 *	(project(VERSION) in CMakeLists.txt).
 */

#include "kardum.h"
#include "frame/Stubs.h"

namespace {

struct CommandRow {
    const char *name;
    Tcl_ObjCmdProc *proc;
};

/*
 * Registration order of the commands: KDarrayMath, KDgridFill2D,
 * KDintegTrap, KDdataMqCoef, KDdataMxMn, KDdataRnd1, KDpolyExp1D,
 * KDpolyExp2D, KDmatrixInv, KDmatrixMath, KDdataLSq1D, KDdataLSq2D,
 * KDdataNLinLSq, KDdataGrid, KDvecMath, KDsolveCubic.
 */
const CommandRow kCommands[] = {
    {"KDarrayMath", ArrayMathCmd},
    {"KDgridFill2D", GridFillCmd},
    {"KDintegTrap", IntegTrapCmd},
    {"KDdataMqCoef", DataMqCoefCmd},
    {"KDdataMxMn", DataMxMnCmd},
    {"KDdataRnd1", DataRnd1Cmd},
    {"KDpolyExp1D", PolyExp1DCmd},
    {"KDpolyExp2D", PolyExp2DCmd},
    {"KDmatrixInv", MatrixInvCmd},
    {"KDmatrixMath", MatrixMathCmd},
    {"KDdataLSq1D", DataLSq1DCmd},
    {"KDdataLSq2D", DataLSq2DCmd},
    {"KDdataNLinLSq", DataNLinLSqCmd},
    {"KDdataGrid", DataGridCmd},
    {"KDvecMath", VecMathCmd},
    {"KDsolveCubic", SolveCubicCmd},
};

/*
 * Registers a static package of this file for the whole process (Tcl keeps
 * one entry per prefix and init procedure, however often this runs).  Tcl's
 * headers leave the call out of the stub interface's macros, as meant for
 * programs that embed Tcl; its slot in the stub table is the same call, and
 * Tcl 9 names it Tcl_StaticLibrary.
 */
void RegisterStatic(const char *prefix, int (*init)(Tcl_Interp *))
{
#if TCL_MAJOR_VERSION >= 9
    tclStubsPtr->tcl_StaticLibrary(nullptr, prefix, init, nullptr);
#else
    tclStubsPtr->tcl_StaticPackage(nullptr, prefix, init, nullptr);
#endif
}

} // namespace

extern "C" int Kardum_Init(Tcl_Interp *interp)
{
    if (!kardum::InitTclStubs(interp)) {
        return TCL_ERROR;
    }
    for (const CommandRow &row : kCommands) {
        Tcl_CreateObjCommand(interp, row.name, row.proc, nullptr, nullptr);
    }
    /* The package's commands live in this same file: Tcl keeps one entry
     * per prefix for the process and calls Kardumpkg_Init on `load {}
     * Kardumpkg`, in whichever interpreter asks. */
    RegisterStatic("Kardumpkg", Kardumpkg_Init);
    Tcl_PkgProvide(interp, "Kardum_C", KARDUM_VERSION);
    return TCL_OK;
}
