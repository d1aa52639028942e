/*
 * Solvers.h --
 *
 *	The Gauss-Jordan solver and the matrix arithmetic with the
 *	interruption they poll: what MatrixInv_C and MatrixMath_C do, for the
 *	commands, which end when the interpreter asks (a null `stop` polls
 *	nothing, as the exported workers run).  Internal to the library.
 */

#ifndef KARDUM_ARITH_SOLVERS_H
#define KARDUM_ARITH_SOLVERS_H

#include "frame/Interrupt.h"

namespace kardum {

/* MatrixInv_C; 0 when `stop` ended it, a and b then partly reduced. */
int MatrixInvert(int n, double *a, int m, double *b, Interrupt *stop);

/* MatrixMath_C; when `stop` ends a product, out is partly computed. */
double MatrixCompute(double *a, char action, double *b, double *out, const int *dimA,
                     const int *dimB, Interrupt *stop);

} // namespace kardum

#endif /* KARDUM_ARITH_SOLVERS_H */
