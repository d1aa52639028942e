/*
 * VecMathCmd.cpp --
 *
 *	KDvecMath: element-wise arithmetic with the second vector repeated
 *	cyclically (optionally rotated), cross and outer products, dot product,
 *	magnitude and unit vector.
 *
 *	KDvecMath V1 Op V2 V ?V1Off? ?V2Off? ?VOff? ?V1Len? ?V2Len?
 *
 *	An operation name starting with R selects the rotated form of the
 *	element-wise operations: the code is its second character and V2 is
 *	read cyclically from V2(V2Off) within the block of V2Len elements that
 *	holds V2Off.
 */

#include "kardum.h"
#include "frame/Frame.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "frame/Present.h"

namespace {

/* Codes that leave the result array alone. */
bool WritesResult(char code)
{
    return code != 'A' && code != 'D' && code != 'M' && code != 'S';
}

double SumOfSquares(const double *x, int nx)
{
    double sum = 0.0;
    for (int i = 0; i < nx; ++i) {
        sum += x[i] * x[i];
    }
    return sum;
}

} // namespace

extern "C" double VecMath_C(double *x, char op, double *y, double *out, int nx,
                            int ny, int rot)
{
    switch (op) {
    case '*': case '/': case '+': case '-':
        for (int i = 0; i < nx; ++i) {
            /* Remainder of truncating division, done wide so that rot + i
             * cannot overflow. */
            double v = y[(static_cast<long long>(rot) + i) % ny];
            switch (op) {
            case '*': out[i] = x[i] * v; break;
            case '/': out[i] = x[i] / v; break;
            case '+': out[i] = x[i] + v; break;
            default:  out[i] = x[i] - v; break;
            }
        }
        return 0.0;
    case 'C':
        out[0] = x[1] * y[2] - x[2] * y[1];
        out[1] = x[2] * y[0] - x[0] * y[2];
        out[2] = x[0] * y[1] - x[1] * y[0];
        return 0.0;
    case 'T':
        for (int i = 0; i < nx; ++i) {
            double *row = out + static_cast<std::size_t>(i) * ny;
            for (int j = 0; j < ny; ++j) {
                row[j] = x[i] * y[j];
            }
        }
        return 0.0;
    case 'U': {
        double m = std::sqrt(SumOfSquares(x, nx));
        if (m != 0.0) {
            for (int i = 0; i < nx; ++i) {
                out[i] = x[i] / m;
            }
        }
        return m;
    }
    case 'D': {
        double sum = 0.0;
        for (int i = 0; i < nx; ++i) {
            sum += x[i] * y[i];
        }
        return sum;
    }
    case 'M':
        return std::sqrt(SumOfSquares(x, nx));
    default:
        return 0.0;
    }
}

/* The sums of D and M over the elements present: a product with an absent
 * factor is ±0.0, which leaves the sum as it is (it starts at +0.0 and
 * is never -0.0), unless the other factor is infinite or NaN. */
double kardum::VecDotPresent(const PresentValues &x, const PresentValues &y, int nx)
{
    double sum = 0.0;
    auto ix = x.begin();
    auto iy = y.begin();
    for (;;) {
        int i = INT_MAX;
        if (ix != x.end()) {
            i = ix->first;
        }
        if (iy != y.end() && iy->first < i) {
            i = iy->first;
        }
        if (i >= nx) {
            return sum;
        }
        double a = 0.0, b = 0.0;
        if (ix != x.end() && ix->first == i) {
            a = (ix++)->second;
        }
        if (iy != y.end() && iy->first == i) {
            b = (iy++)->second;
        }
        sum += a * b;
    }
}

double kardum::VecMagnitudePresent(const PresentValues &x)
{
    double sum = 0.0;
    for (const auto &element : x) {
        sum += element.second * element.second;
    }
    return std::sqrt(sum);
}

extern "C" int VecMathCmd(ClientData, Tcl_Interp *interp, int objc,
                          Tcl_Obj *const objv[])
{
    using namespace kardum;
    return RunCommand(interp, "KDvecMath", [&]() -> int {
        int v1Off = 0, v2Off = 0, vOff = 0, nx = 3, ny = 3;
        Args args(interp, objc, objv);
        if (!args.CountOk(Args::AtLeast, 5, "Usage: KDvecMath V1 Op V2 V")) {
            return TCL_ERROR;
        }
        args.OptInt(5, v1Off, "V1Off");
        args.OptInt(6, v2Off, "V2Off");
        args.OptInt(7, vOff, "VOff");
        args.OptInt(8, nx, "V1Len");
        args.OptInt(9, ny, "V2Len");
        const char *op = args.Word(2);
        bool rotated = op[0] == 'R';
        char code = rotated ? op[1] : op[0];

        RequireNonNegative("KDvecMath", "V1Len", nx);
        if (ny < 1) {
            Fail("KDvecMath: V2Len must be at least 1, got %d", ny);
        }
        if (rotated && v2Off < 0) {
            Fail("KDvecMath: V2Off must not be negative in the rotated form %s, got %d",
                 op, v2Off);
        }
        if (code == 'C' && (nx < 3 || ny < 3)) {
            Fail("KDvecMath: the cross product needs V1Len and V2Len of at least 3, "
                 "got %d and %d", nx, ny);
        }
        if (code == 'D' && ny < nx) {
            Fail("KDvecMath: the dot product needs V2Len of at least V1Len, got %d and %d",
                 ny, nx);
        }
        /* Only the outer product needs nx * ny places (in 64 bits, so that
         * the limit is the same where size_t has 32). */
        std::int64_t outer = static_cast<std::int64_t>(nx) * ny;
        if (code == 'T' && outer > INT_MAX) {
            Fail("KDvecMath: the outer product of %d and %d elements exceeds %d places",
                 nx, ny, INT_MAX);
        }
        int rot = rotated ? v2Off : 0;
        int v2Read = rotated ? v2Off / ny * ny : v2Off;
        int outLen = code == 'T' ? static_cast<int>(outer) : code == 'C' ? 3 : nx;

        if (!WritesResult(code) && !(DenseEnough(interp, args.Obj(1), nx) &&
                                     DenseEnough(interp, args.Obj(3), ny))) {
            /* D and M over counts far beyond the elements read only what
             * is there; A and S compute nothing. */
            PresentValues x, y;
            if (!FillPresent(interp, args.Obj(1), x, nx, v1Off) ||
                !FillPresent(interp, args.Obj(3), y, ny, v2Read)) {
                return TCL_OK;
            }
            double result = code == 'D' ? VecDotPresent(x, y, nx)
                          : code == 'M' ? VecMagnitudePresent(x) : 0.0;
            SetDoubleResult(interp, result);
            return TCL_OK;
        }
        std::size_t most = static_cast<std::size_t>(std::max(nx, ny));
        if (WritesResult(code)) {
            RequireRoom(interp, "KDvecMath", args.Obj(4), static_cast<std::size_t>(outLen));
        }
        Block block({most, most, static_cast<std::size_t>(outLen)});
        double *x = block[0];
        double *y = block[1];
        double *out = block[2];
        if (!Fill(interp, args.Obj(1), x, nx, v1Off)) {
            return TCL_OK;
        }
        if (!Fill(interp, args.Obj(3), y, ny, v2Read)) {
            return TCL_OK;
        }
        double result = VecMath_C(x, code, y, out, nx, ny, rot);
        if (WritesResult(code)) {
            WriteBack(interp, args.Obj(4), out, outLen, vOff);
        }
        SetDoubleResult(interp, result);
        return TCL_OK;
    });
}
