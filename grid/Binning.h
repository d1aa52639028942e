/*
 * Binning.h --
 *
 *	The arithmetic of KDdataGrid's three steps (NEW, ADD, END), written
 *	once for any store of sums and weights.  DataGrid_C keeps its grid in
 *	two Tcl arrays of the calling script; the kardum package keeps it in
 *	C++ vectors.  Both run these same functions, so a grid binned either
 *	way holds the same bits.  Internal to the library.
 *
 *	A store provides
 *	    void Reset(int flat)                         sum = weight = 0.0
 *	    void Add(int flat, double value, double w)   sum = value*w + sum,
 *	                                                 weight = weight + w
 *	    void Finish(int flat, double empty)          sum = sum / weight when
 *	                                                 weight > 0, else empty
 *	and the records come through an accessor with
 *	    double X1(int r), X2(int r), Y1(int s), Y2(int s), Z(int i)
 *	and, for the package's weighted records only, double W(int i): the
 *	record's own weight, which multiplies the share of each cell it
 *	covers.  KDdataGrid's accessors have none, and their arithmetic is
 *	exactly as without it.
 */

#ifndef KARDUM_GRID_BINNING_H
#define KARDUM_GRID_BINNING_H

#include "grid/Descriptor.h"

#include <climits>

namespace kardum {

enum { kBinNew = 4, kBinAdd = 2, kBinEnd = 1 };

/* Whether a records accessor carries a weight per record. */
template <class Records>
constexpr bool kBinWeighted = requires(const Records &r) { r.W(0); };

/* Cell count from a descriptor number, 0 when it is not in 1 .. INT_MAX. */
inline int BinCellCount(double n)
{
    return (n >= 1.0 && n <= static_cast<double>(INT_MAX)) ? static_cast<int>(n) : 0;
}

/* Flat positions of the grid a descriptor record describes (nx * ny,
 * truncated), 0 when a count is out of range. */
inline int BinFlatCount(const double *d)
{
    int nx = BinCellCount(d[gi::kNx]);
    int ny = BinCellCount(d[gi::kNy]);
    return nx > 0 && ny > 0 ? BinCellCount(d[gi::kNx] * d[gi::kNy]) : 0;
}

/* The cells one record covers along one axis and the covered fractions of
 * its first and last cell. */
struct BinSpan {
    int first = 0;
    int last = 0;
    double fFirst = 1.0;
    double fLast = 1.0;
};

/* How the package bins beyond KDdataGrid's definition: a point on the far
 * edge of the extent belongs to the last cell (KDdataGrid's cells are half
 * open, so it skips such a point), and the fate of every record is
 * counted. */
struct BinCounts {
    long long binned = 0;           /* records that fell on the grid */
    long long outside = 0;          /* records outside the extent */
    long long rejected = 0;         /* values outside the range, or ignored zeros */
};

/*
 * Footprint of the interval lo .. hi (lo the end nearer the axis origin)
 * on an axis of `cells` cells of width `step` starting at `origin`.
 * Returns false when the record is to be skipped.  With `closedEnd`, a
 * point no further from the origin than the far edge `far` (origin +
 * cells * step) that rounding puts at cells or beyond is in the last cell.
 */
inline bool BinFootprint(double lo, double hi, double origin, double step,
                         int cells, bool point, BinSpan &span,
                         bool closedEnd = false, double far = 0.0)
{
    double ua = (lo - origin) / step;
    double ub = (hi - origin) / step;
    if (point) {
        double u = (ua + ub) / 2.0;
        if (closedEnd && u >= cells && (lo - far) * step <= 0.0 &&
            (hi - far) * step <= 0.0) {
            u = cells - 1;          /* on the far edge */
        }
        if (!(u >= 0.0 && u < cells)) {
            return false;           /* outside, or NaN */
        }
        span.first = span.last = static_cast<int>(u);
        return true;
    }
    if (!(ua <= ub)) {
        return false;               /* reversed interval, or NaN */
    }
    if (ua >= cells || ub < 0.0) {
        return false;
    }
    bool lowClipped = ua < 0.0;
    bool highClipped = ub >= cells;
    span.first = lowClipped ? 0 : static_cast<int>(ua);
    span.last = highClipped ? cells - 1 : static_cast<int>(ub);
    if (span.first != span.last) {
        if (!lowClipped) {
            span.fFirst = ((span.first + 1) * step + origin - lo) / step;
        }
        if (!highClipped) {
            span.fLast = (hi - (span.last * step + origin)) / step;
        }
    }
    return true;
}

inline double BinFraction(const BinSpan &span, int cell)
{
    if (cell == span.first) {
        return span.fFirst;
    }
    return cell == span.last ? span.fLast : 1.0;
}

/* NEW: every flat position's sum and weight to 0.0. */
template <class Store>
void BinNew(const double *d, Store &store)
{
    int flatCount = BinFlatCount(d);
    for (int k = 0; k < flatCount; ++k) {
        store.Reset(k);
    }
}

/* ADD: records 0 .. nP-1, record i taking its x interval from entry
 * i / xHold and its y interval from entry i / yHold.  With `counts` (the
 * package), points on the far edges go to the last cells and the records
 * are counted; without, exactly KDdataGrid's definition. */
template <class Records, class Store>
void BinAdd(const double *d, int nP, int xHold, int yHold,
            const Records &rec, Store &store, BinCounts *counts = nullptr)
{
    int nx = BinCellCount(d[gi::kNx]);
    int ny = BinCellCount(d[gi::kNy]);
    if (BinFlatCount(d) <= 0 || xHold < 1 || yHold < 1) {
        return;
    }
    double x0 = d[gi::kX0], y0 = d[gi::kY0];
    double dx = (d[gi::kX1] - x0) / d[gi::kNx];
    double dy = (d[gi::kY1] - y0) / d[gi::kNy];
    bool xAscending = !(x0 > d[gi::kX1]);
    bool yAscending = !(y0 > d[gi::kY1]);
    bool xPoint = d[gi::kXBin] < 0.5;
    bool yPoint = d[gi::kYBin] < 0.5;
    bool column = d[gi::kOrder] > 0.5;
    bool ignoreZero = d[gi::kIgnore] > 0.5;

    for (int i = 0; i < nP; ++i) {
        double value = rec.Z(i);
        if ((ignoreZero && value == 0.0) || value < d[gi::kLow] || value > d[gi::kHigh]) {
            if (counts != nullptr) {
                ++counts->rejected;
            }
            continue;
        }
        int r = i / xHold;
        int s = i / yHold;
        double xa = xAscending ? rec.X1(r) : rec.X2(r);
        double xb = xAscending ? rec.X2(r) : rec.X1(r);
        double ya = yAscending ? rec.Y1(s) : rec.Y2(s);
        double yb = yAscending ? rec.Y2(s) : rec.Y1(s);
        BinSpan sx, sy;
        bool closed = counts != nullptr;
        if (!BinFootprint(xa, xb, x0, dx, nx, xPoint, sx, closed, d[gi::kX1]) ||
            !BinFootprint(ya, yb, y0, dy, ny, yPoint, sy, closed, d[gi::kY1])) {
            if (counts != nullptr) {
                ++counts->outside;
            }
            continue;
        }
        if (counts != nullptr) {
            ++counts->binned;
        }
        [[maybe_unused]] double own = 1.0;
        if constexpr (kBinWeighted<Records>) {
            own = rec.W(i);
        }
        auto share = [&](int a, int b) {
            double w = BinFraction(sx, a) * BinFraction(sy, b);
            if constexpr (kBinWeighted<Records>) {
                w = w * own;
            }
            return w;
        };
        if (column) {
            for (int a = sx.first; a <= sx.last; ++a) {
                for (int b = sy.first; b <= sy.last; ++b) {
                    store.Add(a * ny + b, value, share(a, b));
                }
            }
        } else {
            for (int b = sy.first; b <= sy.last; ++b) {
                for (int a = sx.first; a <= sx.last; ++a) {
                    store.Add(b * nx + a, value, share(a, b));
                }
            }
        }
    }
}

/* END: sums to weighted averages, the empty value where no weight fell. */
template <class Store>
void BinEnd(const double *d, Store &store)
{
    int flatCount = BinFlatCount(d);
    for (int k = 0; k < flatCount; ++k) {
        store.Finish(k, d[gi::kEmpty]);
    }
}

/* Sums and weights in two C arrays of BinFlatCount() doubles. */
struct BinArrays {
    double *sum;
    double *weight;

    void Reset(int k)
    {
        sum[k] = 0.0;
        weight[k] = 0.0;
    }
    void Add(int k, double value, double w)
    {
        sum[k] = value * w + sum[k];
        weight[k] = weight[k] + w;
    }
    void Finish(int k, double empty)
    {
        double norm = weight[k];
        sum[k] = norm > 0 ? sum[k] / norm : empty;
    }
};

} // namespace kardum

#endif /* KARDUM_GRID_BINNING_H */
