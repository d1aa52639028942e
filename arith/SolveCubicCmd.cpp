/*
 * SolveCubicCmd.cpp --
 *
 *	KDsolveCubic: the roots of A x^3 + B x^2 + C x + D = 0 in closed form.
 *
 *	KDsolveCubic A B C D
 *
 *	Three distinct real roots come back sorted ascending; otherwise the
 *	real root, the real part of the complex pair twice, then its imaginary
 *	part and the negative of that (a double or triple real root gives three
 *	values).  A = 0 is not special: the infinities and NaN of the
 *	normalisation pass through.
 */

#include "kardum.h"
#include "frame/Frame.h"

#include <cmath>
#include <utility>
#include <vector>

namespace {

const double kTwoPi = 6.283185307179586;
const double kSqrt3 = 1.7320508075688772;

void Order(double &x, double &y)
{
    if (x > y) {
        std::swap(x, y);
    }
}

} // namespace

extern "C" int SolveCubic_C(double a, double b, double c, double d, double *out)
{
    double a1 = b / a;
    double a2 = c / a;
    double a3 = d / a;
    double q = (a1 * a1 - 3 * a2) / 9;
    double r = (2 * a1 * a1 * a1 - 9 * a1 * a2 + 27 * a3) / 54;
    double q3 = q * q * q;
    double r2 = r * r;

    if (q3 > r2) {
        /* Three distinct real roots. */
        double theta = std::acos(r / std::sqrt(q3));
        double m = -2 * std::sqrt(q);
        double s = a1 / 3;
        double x1 = m * std::cos(theta / 3) - s;
        double x2 = m * std::cos((theta + kTwoPi) / 3) - s;
        double x3 = m * std::cos((theta - kTwoPi) / 3) - s;
        Order(x1, x2);
        Order(x1, x3);
        Order(x2, x3);
        out[0] = x1;
        out[1] = x2;
        out[2] = x3;
        return 3;
    }

    double sigma = r < 0 ? -1.0 : 1.0;
    double ap = -sigma * std::exp(std::log(std::fabs(std::sqrt(r2 - q3) + std::fabs(r))) / 3);
    double bp = ap != 0 ? q / ap : 0.0;
    out[0] = (ap + bp) - a1 / 3;
    out[1] = (ap + bp) / (-2) - a1 / 3;
    out[2] = out[1];
    if (ap != bp) {
        out[3] = (ap - bp) * kSqrt3 / 2.0;
        out[4] = (ap - bp) * (-kSqrt3) / 2.0;
        return 5;
    }
    return 3;
}

extern "C" int SolveCubicCmd(ClientData, Tcl_Interp *interp, int objc,
                             Tcl_Obj *const objv[])
{
    using namespace kardum;
    return RunCommand(interp, "KDsolveCubic", [&]() -> int {
        Args args(interp, objc, objv);
        if (!args.CountOk(Args::AtLeast, 5, "Usage: KDsolveCubic A B C D")) {
            return TCL_ERROR;
        }
        double a = args.Double(1, "A");
        double b = args.Double(2, "B");
        double c = args.Double(3, "C");
        double d = args.Double(4, "D");

        double roots[5] = {0, 0, 0, 0, 0};
        int count = SolveCubic_C(a, b, c, d, roots);
        std::vector<Tcl_Obj *> objs(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) {
            objs[i] = Tcl_NewDoubleObj(roots[i]);
        }
        SetListResult(interp, count, objs.data());
        return TCL_OK;
    });
}
