/*
 * DataLSq2DCmd.cpp --
 *
 *	KDdataLSq2D: weighted linear least-squares fit of a polynomial surface
 *	z(x, y) of a given total degree to scattered points.  The coefficients
 *	come out in the term order of KDpolyExp2D; on request the command
 *	returns the number of coefficients and the unweighted RMS residual.
 *
 *	KDdataLSq2D X Y Z nP Degree WtMode Coef ?RmsFlag? ?Wgt?
 *
 *	Weight modes: 0 unweighted; 1 the weights in Wgt, used unchanged;
 *	k < 0 weighs each point by 1/r^|k|, r its distance from the origin
 *	(1 at the origin).  Modes above 1 act as 0.
 */

#include "kardum.h"
#include "fit/Poly.h"
#include "frame/Frame.h"
#include "arith/Solvers.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <vector>

namespace {

/* Index of the monomial x^(t-j)·y^j in the term order. */
inline std::size_t TermIndex(std::size_t t, std::size_t j)
{
    return t * (t + 1) / 2 + j;
}

/* Whether the fit's arrays for this term count and nP points (nP + 2·nT²
 * + nT doubles, counting the points' weights as the fit once kept them)
 * have a size that can be expressed, with nT within an int.  The bound is
 * kept as it was, so that the same calls are refused. */
bool ScratchSizeFits(std::int64_t terms, std::size_t points)
{
    return terms <= std::numeric_limits<int>::max() &&
           static_cast<std::uint64_t>(terms) <=
               (std::numeric_limits<std::size_t>::max() / sizeof(double) - points) /
                   (2 * static_cast<std::uint64_t>(terms) + 1);
}

/*
 * The worker's fit.  Returns nT, or -1 when the scratch has no size that
 * can be expressed; scratch that cannot be had throws OutOfMemory.  In
 * both cases neither output is written.
 *
 * Per point, one table P holds w times every monomial up to degree 2d, so
 * the normal-matrix element of the monomials k and p is one entry of P.
 * The solution comes from MatrixInv_C; a singular matrix is not detected.
 */
int Solve(double *x, double *y, double *z, int nP, int degree, int wtMode,
          double *coef, int resFlag, double *weight, double *residual,
          kardum::Interrupt *stop)
{
    using kardum::Poly2DTerms;
    const int d = degree > 0 ? degree : 0;
    const std::int64_t terms = Poly2DTerms(degree);
    const std::size_t points = nP > 0 ? static_cast<std::size_t>(nP) : 0;
    if (!ScratchSizeFits(terms, points)) {
        return -1;
    }
    const std::size_t nT = static_cast<std::size_t>(terms);

    /* One block: A (nT x nT), b (nT) and P (nT x nT, of which the
     * products up to degree 2d are used).  A point's weight is made where
     * it is used, so that nothing of the points' size is needed. */
    kardum::Block block({nT * nT, nT, nT * nT}, "the fit's scratch arrays");
    double *A = block[0];
    double *b = block[1];
    double *P = block[2];
    auto pointWeight = [=](std::size_t i) {
        if (wtMode == 0 || (wtMode == 1 && weight == nullptr)) {
            return 1.0;
        }
        if (wtMode == 1) {
            return weight[i];
        }
        double r2 = x[i] * x[i] + y[i] * y[i];
        return r2 != 0.0 ? 1.0 / std::pow(r2, -static_cast<double>(wtMode) / 2.0) : 1.0;
    };

    const std::size_t top = 2 * static_cast<std::size_t>(d);
    for (std::size_t i = 0; i < points; ++i) {
        if (stop != nullptr && stop->Poll()) {
            return -1;
        }
        /* Products of degree t from those of degree t - 1: each times x,
         * then the last one (w·y^(t-1)) times y. */
        P[0] = pointWeight(i);
        for (std::size_t t = 1; t <= top; ++t) {
            const double *prev = P + TermIndex(t - 1, 0);
            double *cur = P + TermIndex(t, 0);
            for (std::size_t j = 0; j < t; ++j) {
                cur[j] = prev[j] * x[i];
            }
            cur[t] = prev[t - 1] * y[i];
        }

        double *row = A;
        for (std::size_t tk = 0; tk <= static_cast<std::size_t>(d); ++tk) {
            for (std::size_t jk = 0; jk <= tk; ++jk) {
                for (std::size_t tp = 0; tp <= static_cast<std::size_t>(d); ++tp) {
                    const double *prod = P + TermIndex(tk + tp, jk);
                    for (std::size_t jp = 0; jp <= tp; ++jp) {
                        *row = *row + prod[jp];
                        ++row;
                    }
                }
            }
        }
        for (std::size_t p = 0; p < nT; ++p) {
            b[p] = P[p] * z[i] + b[p];
        }
    }

    kardum::MatrixInvert(static_cast<int>(nT), A, 1, b, stop);
    if (stop != nullptr && stop->Stopped()) {
        return -1;
    }
    for (std::size_t p = 0; p < nT; ++p) {
        coef[p] = b[p];
    }

    *residual = 0.0;
    if (resFlag == 1) {
        for (std::size_t i = 0; i < points; ++i) {
            if (stop != nullptr && stop->Poll()) {
                return -1;
            }
            double e = z[i] - PolyExp2D_C(x[i], y[i], static_cast<int>(nT), coef,
                                          degree, 0, nullptr);
            *residual = *residual + e * e;
        }
        *residual = std::sqrt(*residual / nP);
    }
    return static_cast<int>(nT);
}

} // namespace

/*
 * x, y, z: nP points; weight: nP weights, read only in mode 1.  coef
 * receives the nT coefficients, residual the RMS residual (0.0 unless
 * resFlag is 1).  Returns nT, or -1 when the scratch cannot be had (then
 * neither output is written).
 */
extern "C" int DataLSq2D_C(double *x, double *y, double *z, int nP, int degree,
                           int wtMode, double *coef, int resFlag,
                           double *weight, double *residual)
{
    try {
        return Solve(x, y, z, nP, degree, wtMode, coef, resFlag, weight, residual, nullptr);
    } catch (const kardum::OutOfMemory &) {
        return -1;
    }
}

extern "C" int DataLSq2DCmd(ClientData, Tcl_Interp *interp, int objc,
                            Tcl_Obj *const objv[])
{
    using namespace kardum;
    return RunCommand(interp, "KDdataLSq2D", [&]() -> int {
        int rmsFlag = 0;
        Args args(interp, objc, objv);
        if (!args.CountOk(Args::AtLeast, 8, "Usage: KDdataLSq2D X Y Z ... ")) {
            return TCL_ERROR;
        }
        int nP = args.Int(4, "nP");
        int degree = args.Int(5, "Degree");
        int wtMode = args.Int(6, "WtMode");
        args.OptInt(8, rmsFlag, "RmsFlag");
        if (wtMode > 1) {
            wtMode = 0;
        }
        RequireNonNegative("KDdataLSq2D", "nP", nP);
        if (wtMode == 1 && !args.Has(9)) {
            Fail("KDdataLSq2D: WtMode 1 needs the weights array Wgt");
        }
        std::size_t n = static_cast<std::size_t>(nP);
        std::int64_t terms = Poly2DTerms(degree);
        if (!ScratchSizeFits(terms, n)) {
            Fail("KDdataLSq2D: Degree %d has too many terms", degree);
        }

        Block block({n, n, n, wtMode == 1 ? n : 0, static_cast<std::size_t>(terms)});
        double *x = block[0], *y = block[1], *z = block[2], *wgt = block[3];
        double *coef = block[4];
        if (!Fill(interp, args.Obj(1), x, nP, 0) ||
            !Fill(interp, args.Obj(2), y, nP, 0) ||
            !Fill(interp, args.Obj(3), z, nP, 0) ||
            (wtMode == 1 && !Fill(interp, args.Obj(9), wgt, nP, 0))) {
            return TCL_OK;
        }

        double residual = 0.0;
        Interrupt stop(interp);
        int count = Solve(x, y, z, nP, degree, wtMode, coef, rmsFlag,
                          wtMode == 1 ? wgt : nullptr, &residual, &stop);
        if (stop.Stopped()) {
            throw TclError{};
        }
        if (count != -1) {
            WriteBack(interp, args.Obj(7), coef, count, 0);
        }
        if (rmsFlag == 1) {
            /* At most 11 + 1 + 16 characters ("%.8e" of any double). */
            char text[64];
            std::snprintf(text, sizeof text, "%d %.8e", count, residual);
            SetStringResult(interp, text);
        }
        return TCL_OK;
    });
}
