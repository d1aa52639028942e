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
#include "frame/Present.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

/* True when every power p·x, p·x·x, ... of the next `count` steps stays
 * finite, each product rounded: |p|·|x|^count·(1 + 2^-53)^count, with
 * room to spare, below the largest double. */
bool PowersStayFinite(double x, double p, long long count)
{
    if (!std::isfinite(x) || !std::isfinite(p)) {
        return false;
    }
    if (p == 0.0 || std::fabs(x) <= 1.0) {
        return true;                    /* |p| never grows */
    }
    double growth = std::log(std::fabs(p)) +
                    static_cast<double>(count) * (std::log(std::fabs(x)) + 0x1p-51);
    return growth < 700.0;
}

std::uint64_t Bits(double v)
{
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

/*
 * `count` steps of the loop over absent coefficients: p = p·x;
 * s = 0.0·p + s.  The state (p, s) that repeats after two steps repeats
 * for ever (x = ±1, a power that has reached 0 or infinity, a NaN), so the
 * rest is taken at once.  At the tail, where p is no longer needed, s is
 * final as soon as the products 0.0·p can only be ±0.0 and s is not -0.0
 * (to which +0.0 would still make a difference).
 */
void SkipAbsent(double x, double &p, double &s, long long count, bool tail,
                kardum::Interrupt &stop)
{
    const double zero = 0.0;
    std::uint64_t p1 = 0, s1 = 0, p2 = 0, s2 = 0;
    long long done = 0;
    while (count > 0) {
        if (stop.Poll()) {
            return;
        }
        std::uint64_t pb = Bits(p), sb = Bits(s);
        if (done >= 2 && pb == p2 && sb == s2) {
            if (count % 2 == 1) {
                p = p * x;
                s = zero * p + s;
            }
            return;
        }
        if (tail && done >= 1 && !(s == 0.0 && std::signbit(s)) &&
            PowersStayFinite(x, p, count)) {
            return;
        }
        p2 = p1;
        s2 = s1;
        p1 = pb;
        s1 = sb;
        p = p * x;
        s = zero * p + s;
        --count;
        ++done;
    }
}

} // namespace

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

double kardum::PolyExp1DPresent(double x, int nCoef, const PresentValues &coef, int clamp,
                                const double *limits, Interrupt &stop)
{
    double s = 0.0;
    if (nCoef >= 1) {
        double p = 1.0;
        auto it = coef.begin();
        s = 0.0;
        if (it != coef.end() && it->first == 0) {
            s = it->second;
            ++it;
        }
        long long next = 1;             /* the next coefficient to step to */
        for (; it != coef.end() && !stop.Stopped(); ++it) {
            SkipAbsent(x, p, s, it->first - next, false, stop);
            p = p * x;
            s = it->second * p + s;
            next = it->first + 1;
        }
        SkipAbsent(x, p, s, nCoef - next, true, stop);
    }
    return kardum::ApplyLimits(s, clamp, const_cast<double *>(limits));
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

        if (DenseEnough(interp, args.Obj(3), nCoef)) {
            Block block({static_cast<std::size_t>(nCoef)});
            double *dense = block[0];
            if (!Fill(interp, args.Obj(3), dense, nCoef, coefOff)) {
                return TCL_OK;
            }
            SetDoubleResult(interp, PolyExp1D_C(x, nCoef, dense, limits.clamp, limits.pair));
            return TCL_OK;
        }
        PresentValues coef;
        if (!FillPresent(interp, args.Obj(3), coef, nCoef, coefOff)) {
            return TCL_OK;
        }
        Interrupt stop(interp);
        double value = PolyExp1DPresent(x, nCoef, coef, limits.clamp, limits.pair, stop);
        if (stop.Stopped()) {
            throw TclError{};
        }
        SetDoubleResult(interp, value);
        return TCL_OK;
    });
}
