/*
 * Init.cpp --
 *
 *	The load entry point: registers the library's commands in the
 *	interpreter and provides the package Kardum_C 2.0.
 */

#include "kardum.h"

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

} // namespace

/*
 * The oldest Tcl the library runs in.  The library reaches Tcl through the
 * stub table only, so it loads into any Tcl of the major version it was
 * built for from this one on; 8.6 is the oldest release whose table holds
 * every call the library makes, and the oldest the tests run on.
 */
#if TCL_MAJOR_VERSION >= 9
constexpr const char *kTclFloor = "9.0";
#else
constexpr const char *kTclFloor = "8.6";
#endif

extern "C" int Kardum_Init(Tcl_Interp *interp)
{
    /* Before anything else touches Tcl: fills the stub table, or leaves
     * Tcl's message when this Tcl is older or of another major version. */
    if (Tcl_InitStubs(interp, kTclFloor, 0) == nullptr) {
        return TCL_ERROR;
    }
    for (const CommandRow &row : kCommands) {
        Tcl_CreateObjCommand(interp, row.name, row.proc, nullptr, nullptr);
    }
    Tcl_PkgProvide(interp, "Kardum_C", "2.0");
    return TCL_OK;
}
