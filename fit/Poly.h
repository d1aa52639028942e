/*
 * Poly.h --
 *
 *	Pieces shared by the polynomial commands and fits: the term count of
 *	the two-dimensional term order and the optional pair of clamping
 *	limits.  Internal to the library.
 */

#ifndef KARDUM_FIT_POLY_H
#define KARDUM_FIT_POLY_H

#include "frame/Frame.h"

#include <cstdint>

namespace kardum {

/*
 * Number of terms x^i·y^j with i + j <= degree: 1 plus the sum of (i + 1)
 * for i = 1 ... degree, so every negative degree has the one constant term.
 */
inline std::int64_t Poly2DTerms(int degree)
{
    if (degree <= 0) {
        return 1;
    }
    std::int64_t d = degree;
    return (d + 1) * (d + 2) / 2;
}

/*
 * The clamping limits, upper first.  The pair is read from the words at
 * maxPos and maxPos + 1; clamping is on when both convert and the two
 * differ.  A word that does not convert keeps the default, no clamping,
 * and leaves Tcl's conversion message in the interpreter result.
 */
struct Limits {
    double pair[2] = {0.0, 0.0};
    int clamp = 0;
};

/* Clamps s to the limit pair (upper first) when the clamp flag is 1. */
inline double ApplyLimits(double s, int clamp, const double *limits)
{
    if (clamp == 1 && limits != nullptr) {
        if (s > limits[0]) {
            s = limits[0];
        }
        if (limits[1] > s) {
            s = limits[1];
        }
    }
    return s;
}

inline Limits ReadLimits(const Args &args, int maxPos)
{
    Limits limits;
    double upper = 0.0, lower = 0.0;
    /* Both words are converted, each leaving Tcl's message on failure. */
    bool upperOk = Tcl_GetDoubleFromObj(args.Interp(), args.Obj(maxPos), &upper) == TCL_OK;
    bool lowerOk = Tcl_GetDoubleFromObj(args.Interp(), args.Obj(maxPos + 1), &lower) == TCL_OK;
    if (upperOk && lowerOk) {
        limits.pair[0] = upper;
        limits.pair[1] = lower;
        limits.clamp = !(lower == upper);
    }
    return limits;
}

} // namespace kardum

#endif /* KARDUM_FIT_POLY_H */
