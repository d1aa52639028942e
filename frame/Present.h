/*
 * Present.h --
 *
 *	The commands' loops over a count, run over the elements that are
 *	there.  A command reads its input with FillPresent (the elements
 *	found, in index order) instead of into a zero-filled block of the
 *	count's size, and computes from them what its worker computes on that
 *	block, bit for bit: a run of absent places, each 0.0, is taken in
 *	closed form where the arithmetic allows it (a sum that 0.0 leaves as
 *	it is, an extremum that only the run's first zero can change) and is
 *	otherwise stepped through without memory, polling `stop`.  When
 *	`stop` ends a loop the value returned is of no use, and the command
 *	ends with Tcl's message.  Internal to the library.
 */

#ifndef KARDUM_PRESENT_H
#define KARDUM_PRESENT_H

#include "frame/Interrupt.h"
#include "frame/Marshal.h"

namespace kardum {

/* s after `count` steps of s = s + c, as the plain loop forms them. */
double RepeatAdd(double s, double c, long long count, Interrupt &stop);

/* ArrayMath_C's reductions (op S, A or V; `operand` is the mean of V) over
 * len places of which `a1` holds those present, visiting every step-th. */
double ArrayReducePresent(const PresentValues &a1, int len, char op, double operand,
                          int step, Interrupt &stop);

/* DataMxMn_C over n places of which `values` holds those present. */
void DataMxMnPresent(const PresentValues &values, int n, char cond, double lower,
                     double upper, int step, int *iMin, int *iMax);

/* PolyExp1D_C over nCoef coefficients of which `coef` holds those present. */
double PolyExp1DPresent(double x, int nCoef, const PresentValues &coef, int clamp,
                        const double *limits, Interrupt &stop);

/* PolyExp2D_C, likewise. */
double PolyExp2DPresent(double x, double y, int nCoef, const PresentValues &coef,
                        int degree, int clamp, const double *limits, Interrupt &stop);

/* VecMath_C's dot product over nx places (y has at least nx) and its
 * magnitude. */
double VecDotPresent(const PresentValues &x, const PresentValues &y, int nx);
double VecMagnitudePresent(const PresentValues &x);

} // namespace kardum

#endif /* KARDUM_PRESENT_H */
