/*
 * Init.cpp --
 *
 *	The load entry point: registers the library's commands in the
 *	interpreter and provides the package Kardum_C 2.0.
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

} // namespace

extern "C" int Kardum_Init(Tcl_Interp *interp)
{
    if (!kardum::InitTclStubs(interp)) {
        return TCL_ERROR;
    }
    for (const CommandRow &row : kCommands) {
        Tcl_CreateObjCommand(interp, row.name, row.proc, nullptr, nullptr);
    }
    Tcl_PkgProvide(interp, "Kardum_C", "2.0");
    return TCL_OK;
}
