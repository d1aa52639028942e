/*
 * PolyExp2DCmd.cpp --
 *
 *	KDpolyExp2D: the value of a polynomial in two variables of a given
 *	total degree at one point, optionally clamped between two limits.
 *
 *	KDpolyExp2D X Y nCoef Coef Degree ?CoefOff?
 *	KDpolyExp2D X Y nCoef Coef Degree CoefOff Max Min
 *
 *	CoefOff is read only when the command has exactly seven words; the
 *	limits only when it has exactly nine (the offset is then 0).
 *
 *	The term order is the library's: by total degree t = 0, 1, ... and
 *	within a degree by falling power of x, so 1; x, y; x², x·y, y²; ...
 *	and x^i·y^j stands at index t(t+1)/2 + j.  KDdataLSq2D fits its
 *	coefficients in this order.
 */

#include "kardum.h"
#include "fit/Poly.h"
#include "frame/Frame.h"
#include "frame/Present.h"

#include <cmath>
#include <limits>
#include <vector>

namespace {

/* Degrees whose row of terms fits on the stack. */
constexpr int kStackDegrees = 32;

} // namespace

namespace {

/* The highest degree that still has a coefficient. */
int TopDegree(int degree, int nCoef)
{
    int top = 0;
    while (top < degree && kardum::Poly2DTerms(top) < nCoef) {
        ++top;
    }
    return top;
}

/*
 * The sum over the rows: row t holds x^(t-j)·y^j for j = 0 ... t, each
 * formed from the row before, and the k-th term in that order goes with
 * coefficient(k).  stopped() is asked after each row; the sum so far is
 * returned when it says so.
 */
template <class Coefficient, class Stopped>
double RowSum(double x, double y, int top, int nCoef, double *row,
              Coefficient coefficient, Stopped stopped)
{
    double s = 0.0;
    row[0] = 1.0;
    s = coefficient(0) * row[0] + s;
    int k = 1;
    for (int t = 1; t <= top && k < nCoef; ++t) {
        row[t] = row[t - 1] * y;
        for (int j = 0; j < t; ++j) {
            row[j] = row[j] * x;
        }
        for (int j = 0; j <= t && k < nCoef; ++j, ++k) {
            s = coefficient(k) * row[j] + s;
        }
        if (stopped()) {
            break;
        }
    }
    return s;
}

} // namespace

/*
 * The terms of degree t are formed from those of degree t - 1: each of them
 * times x, in order, then the last of them (y^(t-1)) times y.  Only the
 * current degree's row is kept, and the sum runs in term order with
 * s = c_k·T_k + s.  The worker evaluates only terms that have a
 * coefficient: with fewer coefficients than terms it stops early, with
 * more the extra coefficients have no term and are not read.
 */
extern "C" double PolyExp2D_C(double x, double y, int nCoef, double *coef,
                              int degree, int clamp, double *limits)
{
    using kardum::Poly2DTerms;
    double s = 0.0;
    if (nCoef >= 1) {
        int top = TopDegree(degree, nCoef);
        double stackRow[kStackDegrees + 1];
        std::vector<double> heapRow;
        double *row = stackRow;
        if (top > kStackDegrees) {
            try {
                heapRow.resize(static_cast<std::size_t>(top) + 1);
            } catch (...) {
                return std::numeric_limits<double>::quiet_NaN();
            }
            row = heapRow.data();
        }

        s = RowSum(x, y, top, nCoef, row, [coef](int k) { return coef[k]; },
                   [] { return false; });
    }
    return kardum::ApplyLimits(s, clamp, limits);
}

/*
 * The sum over the coefficients present.  An absent coefficient adds
 * 0.0·T_k to s, which leaves s as it is when T_k is finite: s is never
 * -0.0 (it starts at +0.0, and a sum is -0.0 only of two -0.0).  With
 * |x| <= 1 and |y| <= 1 every term is finite, and only the terms of the
 * coefficients present are formed, each by the products the rows would
 * make: y^j by j products from 1.0, then j·x ... (t - j) products by x.
 * Otherwise, or where that would cost more than the rows, the rows are
 * formed as the worker forms them, in O(degree) memory.
 */
double kardum::PolyExp2DPresent(double x, double y, int nCoef, const PresentValues &coef,
                                int degree, int clamp, const double *limits,
                                Interrupt &stop)
{
    double s = 0.0;
    if (nCoef < 1) {
        return ApplyLimits(s, clamp, const_cast<double *>(limits));
    }
    int top = TopDegree(degree, nCoef);
    bool finiteTerms = std::fabs(x) <= 1.0 && std::fabs(y) <= 1.0;
    double perTerm = static_cast<double>(coef.size()) * (top + 1.0);
    if (finiteTerms && perTerm < static_cast<double>(nCoef)) {
        std::vector<double> yPower(1, 1.0);     /* y^j as the rows form it */
        for (const auto &element : coef) {
            if (stop.Poll()) {
                return s;
            }
            long long k = element.first;
            long long t = static_cast<long long>(std::floor((std::sqrt(8.0 * k + 1.0) - 1.0) / 2.0));
            while (t * (t + 1) / 2 > k) {
                --t;
            }
            while ((t + 1) * (t + 2) / 2 <= k) {
                ++t;
            }
            long long j = k - t * (t + 1) / 2;
            while (static_cast<long long>(yPower.size()) <= j) {
                yPower.push_back(yPower.back() * y);
            }
            double term = yPower[static_cast<std::size_t>(j)];
            for (long long n = 0; n < t - j; ++n) {
                term = term * x;
            }
            s = element.second * term + s;
        }
        return ApplyLimits(s, clamp, const_cast<double *>(limits));
    }

    std::vector<double> row(static_cast<std::size_t>(top) + 1);
    auto it = coef.begin();
    auto c = [&](int k) {
        if (it != coef.end() && it->first == k) {
            return (it++)->second;
        }
        return 0.0;
    };
    s = RowSum(x, y, top, nCoef, row.data(), c, [&stop] { return stop.Poll(); });
    if (stop.Stopped()) {
        return s;
    }
    return ApplyLimits(s, clamp, const_cast<double *>(limits));
}

extern "C" int PolyExp2DCmd(ClientData, Tcl_Interp *interp, int objc,
                            Tcl_Obj *const objv[])
{
    using namespace kardum;
    return RunCommand(interp, "KDpolyExp2D", [&]() -> int {
        int coefOff = 0;
        Limits limits;
        Args args(interp, objc, objv);
        if (!args.CountOk(Args::AtLeast, 6, "Usage: KDpolyExp2D X Y ...")) {
            return TCL_ERROR;
        }
        double x = args.Double(1, "X");
        double y = args.Double(2, "Y");
        int nCoef = args.Int(3, "nCoef");
        int degree = args.Int(5, "Degree");
        if (objc == 7) {
            args.OptInt(6, coefOff, "CoefOff");
        } else if (objc == 9) {
            limits = ReadLimits(args, 7);
        }
        RequireNonNegative("KDpolyExp2D", "nCoef", nCoef);
        std::int64_t terms = Poly2DTerms(degree);
        if (nCoef != terms) {
            Fail("KDpolyExp2D: nCoef must be %lld for Degree %d, got %d",
                 static_cast<long long>(terms), degree, nCoef);
        }

        if (DenseEnough(interp, args.Obj(4), nCoef)) {
            Block block({static_cast<std::size_t>(nCoef)});
            double *dense = block[0];
            if (!Fill(interp, args.Obj(4), dense, nCoef, coefOff)) {
                return TCL_OK;
            }
            SetDoubleResult(interp, PolyExp2D_C(x, y, nCoef, dense, degree, limits.clamp,
                                                limits.pair));
            return TCL_OK;
        }
        PresentValues coef;
        if (!FillPresent(interp, args.Obj(4), coef, nCoef, coefOff)) {
            return TCL_OK;
        }
        Interrupt stop(interp);
        double value = PolyExp2DPresent(x, y, nCoef, coef, degree, limits.clamp,
                                        limits.pair, stop);
        if (stop.Stopped()) {
            throw TclError{};
        }
        SetDoubleResult(interp, value);
        return TCL_OK;
    });
}
