/*
 * GridFillCmd.cpp --
 *
 *	KDgridFill2D: fills the empty cells of a regular grid.  Each empty
 *	cell gathers the nearest data cells within a search radius, sorted
 *	into the four quadrants around it, weighs them by (dmin/s)^p on their
 *	squared distances s, fits a weighted polynomial surface in cell
 *	offsets and takes the surface's value at the cell, optionally capped
 *	by the most heavily weighted or the largest neighbour value.
 *
 *	KDgridFill2D Grd gI Nrm sI
 */

#include "kardum.h"
#include "frame/Elements.h"
#include "frame/Frame.h"
#include "grid/Seed.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

namespace {

const int kTableSize = 100;        /* random values drawn per call */
const double kTableScale = 0.02;

/* Positions in the worker's descriptor record. */
enum {
    kNx = 4, kNy = 5, kEmpty = 6, kExcluded = 7, kLayout = 8,
    kXBoundary = 9, kYBoundary = 10, kLower = 11, kUpper = 12, kRecordSize = 13
};

/* Cell states. */
enum : signed char { kData = 1, kExcludedCell = 2, kToFill = -1, kDone = 0 };

/* Positions in the limits record. */
enum { kLowX = 0, kHighX = 1, kLowY = 2, kHighY = 3, kDegree = 4 };

/* A search window along one axis and the coordinate of the empty cell in it. */
struct Window {
    long long start;
    long long end;
    long long centre;
};

Window MakeWindow(int i, int r, int n, int lo, int hi, bool periodic)
{
    Window w{static_cast<long long>(i) - r, static_cast<long long>(i) + r, i};
    if (periodic) {
        if (w.start < 0) {
            w.start += n;
            w.end += n;
            w.centre += n;
        }
    } else {
        w.start = std::max<long long>(w.start, lo);
        w.end = std::min<long long>(w.end, hi);
    }
    return w;
}

int CeilDiv(int a, int b)
{
    return a / b + (a % b != 0 ? 1 : 0);
}

/* Whole number from a record entry, 0 when out of the int range. */
int Truncate(double v)
{
    return (v >= static_cast<double>(INT_MIN) && v <= static_cast<double>(INT_MAX))
               ? static_cast<int>(v) : 0;
}

/*
 * Per-call work buffers: the candidate slots (offsets, value, squared
 * distance), the gathered points of one fit and the coefficients.
 */
struct Store {
    std::vector<double> value, dist, x, y, z, w, coef;
    std::vector<int> dx, dy;

    Store(std::size_t slots, std::size_t coefs)
        : value(slots), dist(slots), x(slots), y(slots), z(slots), w(slots),
          coef(coefs), dx(slots), dy(slots) {}
};

/* Index of the first largest (cond '>') or smallest ('<') value strictly
 * between the bounds, -1 when there is none. */
int Extremum(double *values, int n, char cond, double lower, double upper)
{
    int iMin = -1, iMax = -1;
    DataMxMn_C(values, n, cond, lower, upper, 1, &iMin, &iMax);
    return cond == '>' ? iMax : iMin;
}

bool AllEqualToFirst(const std::vector<double> &v, int n)
{
    for (int j = 1; j < n; ++j) {
        if (v[j] != v[0]) {
            return false;
        }
    }
    return true;
}

/* Spreads coordinates that coincide with small factors from the random
 * table, continuing at table index t (reused from its start when used up). */
void Perturb(std::vector<double> &v, int n, const double *table, int &t)
{
    for (int j = 0; j < n; ++j) {
        v[j] = (table[t % kTableSize] + 1) * v[j];
        ++t;
    }
}

int FillCells(double *grid, const double *weight, int m, int r, const char *mode,
         double p, int q, int *limits, const double *d, int *seed)
{
    double table[kTableSize];
    *seed = DataRnd1_C(table, kTableSize, 2, kTableScale, *seed);

    int nx = Truncate(d[kNx]);
    int ny = Truncate(d[kNy]);
    char layout = static_cast<char>(Truncate(d[kLayout]));
    bool xPeriodic = static_cast<char>(Truncate(d[kXBoundary])) == 'Y';
    bool yPeriodic = static_cast<char>(Truncate(d[kYBoundary])) == 'Y';
    bool xRelaxed = static_cast<char>(Truncate(d[kXBoundary])) == 'N';
    bool yRelaxed = static_cast<char>(Truncate(d[kYBoundary])) == 'N';
    double empty = d[kEmpty], excluded = d[kExcluded];
    double lower = d[kLower], upper = d[kUpper];
    char cap = mode[0];
    bool useWeight = mode[1] != 0;
    int degree = limits[kDegree];

    int nCoef = 1;
    for (int i = 1; i <= degree; ++i) {
        nCoef = nCoef + i + 1;
    }
    limits[kHighX] = nx - 1 - limits[kHighX];
    limits[kHighY] = ny - 1 - limits[kHighY];
    int xlo = limits[kLowX], xhi = limits[kHighX];
    int ylo = limits[kLowY], yhi = limits[kHighY];
    double r2 = static_cast<double>(r) * r;

    /* Points kept per quadrant when k quadrants are required.  A quadrant
     * never holds more candidates than its part of the search window, so
     * no more slots than that are needed. */
    long long inQuadrant = (std::min(r, nx) + 1LL) * (std::min(r, ny) + 1LL);
    int need[5] = {0};
    for (int k = 1; k <= 4; ++k) {
        long long n = std::max(CeilDiv(nCoef, k), m);
        need[k] = static_cast<int>(std::min(n, inQuadrant));
    }
    std::size_t slots = 4 * static_cast<std::size_t>(need[1]);

    long long strideX = layout == 'R' ? 1 : ny;
    long long strideY = layout == 'R' ? nx : 1;
    std::size_t cells = static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny);
    double sentinel = static_cast<double>(nx) * ny;

    std::vector<signed char> state(cells);
    for (std::size_t k = 0; k < cells; ++k) {
        if (!useWeight) {
            state[k] = grid[k] == empty ? kToFill
                       : grid[k] == excluded ? kExcludedCell : kData;
        } else {
            state[k] = grid[k] == excluded ? kExcludedCell
                       : weight[k] == 0.0 ? kToFill : kData;
        }
    }
    Store st(slots, static_cast<std::size_t>(nCoef));

    for (int ix = 0; ix < nx; ++ix) {
        bool xEdge = (ix <= xlo || ix >= xhi) && xRelaxed;
        Window wx = MakeWindow(ix, r, nx, xlo, xhi, xPeriodic);
        for (int iy = 0; iy < ny; ++iy) {
            long long cellPos = ix * strideX + iy * strideY;
            if (state[cellPos] != kToFill) {
                continue;
            }
            bool yEdge = (iy <= ylo || iy >= yhi) && yRelaxed;
            int required = (xEdge || yEdge) ? std::min(q, 2) : q;
            int c = need[required];
            int replace[4], marked[4];
            for (int k = 0; k < 4; ++k) {
                replace[k] = k * c;
                marked[k] = 0;
            }
            std::fill(st.dist.begin(), st.dist.end(), sentinel);
            Window wy = MakeWindow(iy, r, ny, ylo, yhi, yPeriodic);

            for (long long a = wx.start; a <= wx.end; ++a) {
                for (long long b = wy.start; b <= wy.end; ++b) {
                    long long pos = (a % nx) * strideX + (b % ny) * strideY;
                    if (state[pos] != kData) {
                        continue;
                    }
                    long long dx = wx.centre - a, dy = wy.centre - b;
                    double s = static_cast<double>(dx) * dx + static_cast<double>(dy) * dy;
                    if (s > r2) {
                        continue;
                    }
                    int k = (dx < 0 ? 1 : 0) + (dy < 0 ? 2 : 0);
                    int slot = replace[k];
                    if (st.dist[slot] > s) {
                        st.dx[slot] = static_cast<int>(dx);
                        st.dy[slot] = static_cast<int>(dy);
                        st.value[slot] = grid[pos];
                        st.dist[slot] = s;
                        int far = Extremum(&st.dist[k * c], c, '>', lower, upper);
                        if (far >= 0) {
                            replace[k] = k * c + far;
                        }
                        marked[k] = 1;
                    }
                }
            }

            state[cellPos] = kDone;
            grid[cellPos] = empty;
            if (marked[0] + marked[1] + marked[2] + marked[3] < required) {
                continue;
            }
            int nearest = Extremum(st.dist.data(), static_cast<int>(slots), '<',
                                   lower, upper);
            if (nearest < 0) {
                continue;
            }
            double dmin = st.dist[nearest];
            int n = 0;
            for (std::size_t j = 0; j < slots; ++j) {
                if (st.dist[j] == sentinel) {
                    continue;
                }
                st.x[n] = st.dx[j];
                st.y[n] = st.dy[j];
                st.z[n] = st.value[j];
                st.w[n] = std::exp(p * std::log(dmin / st.dist[j]));
                ++n;
            }
            if (n < nCoef) {
                continue;
            }
            if (required <= 2) {
                int t = 0;
                if (AllEqualToFirst(st.x, n)) {
                    Perturb(st.x, n, table, t);
                }
                if (AllEqualToFirst(st.y, n)) {
                    Perturb(st.y, n, table, t);
                }
            }
            double residual = 0.0;
            if (DataLSq2D_C(st.x.data(), st.y.data(), st.z.data(), n, degree, 1,
                            st.coef.data(), 0, st.w.data(), &residual) < 0) {
                continue;
            }
            double fitted = st.coef[0];
            if (cap == 'N' || cap == 'A') {
                double *ref = cap == 'N' ? st.w.data() : st.z.data();
                int top = Extremum(ref, n, '>', lower, upper);
                if (top >= 0 && fitted > st.z[top]) {
                    fitted = st.z[top];
                }
            }
            grid[cellPos] = fitted;
        }
    }
    return 1;
}

} // namespace

/*
 * Besides running out of memory, the worker returns -1 without touching
 * anything for settings that the command rejects: fewer than one cell
 * along an axis, Q outside 1 .. 4, a degree above 4, a negative radius or
 * margin, or a radius beyond the length of a periodic axis.
 */
extern "C" int GridFill_C(double *grid, double *weight, int m, int r,
                          char *mode, double *p, int q, int *limits,
                          double *descriptor, int *seed)
{
    int nx = Truncate(descriptor[kNx]);
    int ny = Truncate(descriptor[kNy]);
    bool xPeriodic = static_cast<char>(Truncate(descriptor[kXBoundary])) == 'Y';
    bool yPeriodic = static_cast<char>(Truncate(descriptor[kYBoundary])) == 'Y';
    if (nx < 1 || ny < 1 || static_cast<long long>(nx) * ny > INT_MAX ||
        q < 1 || q > 4 || limits[kDegree] > 4 || r < 0 ||
        limits[kLowX] < 0 || limits[kHighX] < 0 || limits[kLowY] < 0 ||
        limits[kHighY] < 0 || (xPeriodic && r > nx) || (yPeriodic && r > ny)) {
        return -1;
    }
    /* Buffers are taken before the grid is changed, so a failed
     * allocation leaves the grid as it was. */
    try {
        return FillCells(grid, weight, m, r, mode, *p, q, limits, descriptor, seed);
    } catch (const std::bad_alloc &) {
        return -1;
    } catch (const std::length_error &) {
        return -1;
    }
}

namespace {

/* First character of an element's value, as a signed character code. */
double FirstChar(const kardum::Elements &gI, int e)
{
    return static_cast<signed char>(gI.RequiredText(e)[0]);
}

} // namespace

extern "C" int GridFillCmd(ClientData, Tcl_Interp *interp, int objc,
                           Tcl_Obj *const objv[])
{
    using namespace kardum;
    return RunCommand(interp, [&]() -> int {
        const char *cmd = "KDgridFill2D";
        Args args(interp, objc, objv);
        if (!args.CountOk(Args::Exactly, 5, "Usage: KDgridFill2D Grd gI Nrm sI")) {
            return TCL_ERROR;
        }

        /* Fill settings. */
        Elements sI(interp, cmd, args.Obj(4));
        int m = sI.RequiredInt(0);
        int r = sI.RequiredInt(1);
        int q = sI.RequiredInt(2);
        int capMode = sI.RequiredInt(3);
        int limits[5];
        for (int e = 4; e <= 7; ++e) {
            limits[e - 4] = sI.RequiredInt(e);
        }
        double p = sI.RequiredDouble(8);
        int degree = 1;
        sI.OptionalInt(9, degree);
        limits[kDegree] = degree;
        char mode[2] = {capMode == 1 ? 'N' : capMode == 2 ? 'A' : 'O', 0};

        /* Grid descriptor: every element is looked up in order; the extent
         * is carried along, the binning words are not needed here. */
        Elements gI(interp, cmd, args.Obj(2));
        double record[kRecordSize] = {};
        for (int e = 0; e <= 3; ++e) {
            gI.OptionalDouble(e, record[e]);
        }
        record[kNx] = gI.RequiredInt(4);
        record[kNy] = gI.RequiredInt(5);
        gI.Text(6);
        gI.Text(7);
        record[kLayout] = FirstChar(gI, 8);
        gI.Text(9);
        gI.Text(10);
        record[kEmpty] = gI.RequiredDouble(11);
        record[kExcluded] = gI.RequiredDouble(12);
        record[kLower] = gI.RequiredDouble(13);
        record[kUpper] = gI.RequiredDouble(14);
        record[kXBoundary] = FirstChar(gI, 15);
        record[kYBoundary] = FirstChar(gI, 16);

        int nx = static_cast<int>(record[kNx]);
        int ny = static_cast<int>(record[kNy]);
        if (nx < 1 || ny < 1) {
            Fail("%s: %s must be at least 1, got %d", cmd,
                 gI.Name(nx < 1 ? 4 : 5).c_str(), nx < 1 ? nx : ny);
        }
        if (static_cast<long long>(nx) * ny > INT_MAX) {
            Fail("%s: the grid of %d by %d cells is too large", cmd, nx, ny);
        }
        if (degree > 4) {
            Fail("%s: %s (degree) must be at most 4, got %d", cmd,
                 sI.Name(9).c_str(), degree);
        }
        if (q < 1 || q > 4) {
            Fail("%s: %s (quadrants) must be 1 to 4, got %d", cmd,
                 sI.Name(2).c_str(), q);
        }
        if (r < 0) {
            Fail("%s: %s (radius) must not be negative, got %d", cmd,
                 sI.Name(1).c_str(), r);
        }
        for (int e = 4; e <= 7; ++e) {
            if (limits[e - 4] < 0) {
                Fail("%s: %s (margin) must not be negative, got %d", cmd,
                     sI.Name(e).c_str(), limits[e - 4]);
            }
        }
        if (record[kXBoundary] == 'Y' && r > nx) {
            Fail("%s: %s (radius) must not exceed the %d cells of the periodic "
                 "x axis, got %d", cmd, sI.Name(1).c_str(), nx, r);
        }
        if (record[kYBoundary] == 'Y' && r > ny) {
            Fail("%s: %s (radius) must not exceed the %d cells of the periodic "
                 "y axis, got %d", cmd, sI.Name(1).c_str(), ny, r);
        }

        bool useWeight = Tcl_GetString(args.Obj(3))[0] != '\0';
        mode[1] = useWeight ? 1 : 0;
        int cells = nx * ny;
        std::size_t n = static_cast<std::size_t>(cells);
        Block block({n, useWeight ? n : 0});
        double *grid = block[0];
        double *weight = block[1];
        if (!Fill(interp, args.Obj(1), grid, cells, 0)) {
            return TCL_OK;
        }
        if (useWeight && !Fill(interp, args.Obj(3), weight, cells, 0)) {
            return TCL_OK;
        }
        int seed = ReadSeed(interp);
        GridFill_C(grid, weight, m, r, mode, &p, q, limits, record, &seed);
        WriteSeed(interp, seed);
        WriteBack(interp, args.Obj(1), grid, cells, 0);
        return TCL_OK;
    });
}
