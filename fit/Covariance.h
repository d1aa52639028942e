/*
 * Covariance.h --
 *
 *	The last step of the linear and the nonlinear fit: a matrix solved
 *	over the fitted coefficients only is spread out over all of them.
 *	Internal to the library.
 */

#ifndef KARDUM_FIT_COVARIANCE_H
#define KARDUM_FIT_COVARIANCE_H

#include "fit/Flags.h"

#include <cstddef>
#include <utility>

namespace kardum {

/*
 * x holds an f x f matrix packed at its start (row length f) whose rows and
 * columns count the fitted entries in order.  Spreads it over the n x n
 * matrix x (row length n): the row and column of each fitted entry receive
 * its packed row and column, held entries get zero rows and columns.
 * `f` is the number of flags that are 1; should it disagree, nothing is
 * read or written outside the n x n matrix.  Only moves values, so every
 * number keeps its bits.
 */
inline void SpreadCovariance(double *x, std::size_t f, std::size_t n, const char *flags)
{
    if (f >= n) {
        return;
    }
    /* Back to front, so that no packed element is overwritten unread. */
    for (std::size_t p = f * f; p-- > 0;) {
        x[(p / f) * n + p % f] = x[p];
    }
    for (std::size_t p = f; p < n; ++p) {
        for (std::size_t r = 0; r <= p; ++r) {
            x[r * n + p] = 0.0;
            x[p * n + r] = 0.0;
        }
    }
    /* The k-th fitted entry (counted from the last) moves from row and
     * column k to its own. */
    std::size_t k = f;
    for (std::size_t j = n; j-- > 0 && k > 0;) {
        if (!IsFitted(flags[j])) {
            continue;
        }
        --k;
        if (k != j) {
            for (std::size_t i = 0; i < n; ++i) {
                std::swap(x[i * n + k], x[i * n + j]);
            }
            for (std::size_t i = 0; i < n; ++i) {
                std::swap(x[k * n + i], x[j * n + i]);
            }
        }
    }
}

} // namespace kardum

#endif /* KARDUM_FIT_COVARIANCE_H */
