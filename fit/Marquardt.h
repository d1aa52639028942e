/*
 * Marquardt.h --
 *
 *	What KDdataMqCoef and KDdataNLinLSq share: the size of the work array
 *	and the checks on the fit flags.  Internal to the library.
 */

#ifndef KARDUM_FIT_MARQUARDT_H
#define KARDUM_FIT_MARQUARDT_H

#include "kardum.h"
#include "frame/Frame.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <vector>

namespace kardum {

/* Header of the work array: lambda, chi-square, best chi-square, number of
 * fitted parameters, point index; the parameters follow. */
constexpr int kWorkHeader = 5;

/* 4*nPar^2 + 2*nPar + 5, or ArgError when it does not fit an int. */
inline int WorkLength(const char *cmd, int nPar)
{
    std::int64_t m = nPar;
    std::int64_t len = 4 * m * m + 2 * m + kWorkHeader;
    if (len > INT_MAX) {
        Fail("%s: nPar %d makes the work array too large", cmd, nPar);
    }
    return static_cast<int>(len);
}

/* Reads nPar fit flags from the array `name`; false when none exists.
 * Every flag must be 0 (hold) or 1 (fit); missing ones hold. */
inline bool ReadFlags(Tcl_Interp *interp, const char *cmd, Tcl_Obj *name,
                      int nPar, std::vector<char> &flags)
{
    flags.assign(static_cast<std::size_t>(nPar), 0);
    if (TclArrayToC(interp, name, flags.data(), nPar, 0, 'C') == 0) {
        return false;
    }
    for (int j = 0; j < nPar; ++j) {
        if (flags[j] != 0 && flags[j] != 1) {
            Fail("%s: %s(%d) must be 0 or 1, got %d", cmd, Tcl_GetString(name),
                 j, static_cast<int>(flags[j]));
        }
    }
    return true;
}

inline int CountFitted(const char *flags, int nPar)
{
    int f = 0;
    for (int j = 0; j < nPar; ++j) {
        f += flags[j] == 1;
    }
    return f;
}

/* The integer part of a count held in the work array, kept within
 * 0 ... limit so that a bad value can never index outside the array. */
inline int CountIn(double value, int limit)
{
    if (!(value > 0.0)) {
        return 0;
    }
    return value >= limit ? limit : static_cast<int>(value);
}

} // namespace kardum

#endif /* KARDUM_FIT_MARQUARDT_H */
