/*
 * PolyExp1DCmd.cpp --
 *
 *	KDpolyExp1D: the value of a polynomial in one variable at one
 *	abscissa, optionally clamped between two limits.
 *
 *	KDpolyExp1D X nCoef Coef ?CoefOff? ?Max Min?
 *
 *	The limits are read only when the command has exactly seven words.
 */

#include "kardum.h"
#include "fit/Poly.h"
#include "frame/Frame.h"

/*
 * Sum of coef[i]·x^i with ascending powers formed by repeated
 * multiplication (not Horner's scheme); with clamp 1 the sum is held
 * between limits[1] (lower) and limits[0] (upper), the upper limit
 * applied first.  Comparisons with NaN are false, so a NaN limit is never
 * applied and a NaN sum passes through.
 */
extern "C" double PolyExp1D_C(double x, int nCoef, double *coef, int clamp,
                              double *limits)
{
    double s = 0.0;
    if (nCoef >= 1) {
        double p = 1.0;
        s = coef[0];
        for (int i = 1; i < nCoef; ++i) {
            p = p * x;
            s = coef[i] * p + s;
        }
    }
    return kardum::ApplyLimits(s, clamp, limits);
}

extern "C" int PolyExp1DCmd(ClientData, Tcl_Interp *interp, int objc,
                            Tcl_Obj *const objv[])
{
    using namespace kardum;
    return RunCommand(interp, "KDpolyExp1D", [&]() -> int {
        int coefOff = 0;
        Limits limits;
        Args args(interp, objc, objv);
        if (!args.CountOk(Args::AtLeast, 4, "Usage: KDpolyExp1D X nCoef Coef")) {
            return TCL_ERROR;
        }
        double x = args.Double(1, "X");
        int nCoef = args.Int(2, "nCoef");
        args.OptInt(4, coefOff, "CoefOff");
        if (objc == 7) {
            limits = ReadLimits(args, 5);
        }
        RequireNonNegative("KDpolyExp1D", "nCoef", nCoef);

        Block block({static_cast<std::size_t>(nCoef)});
        double *coef = block[0];
        if (!Fill(interp, args.Obj(3), coef, nCoef, coefOff)) {
            return TCL_OK;
        }
        SetDoubleResult(interp, PolyExp1D_C(x, nCoef, coef, limits.clamp, limits.pair));
        return TCL_OK;
    });
}
