/*
 * GuardedFill.cpp --
 *
 *	The fill behind kardum::gridfill: KDgridFill2D's steps per cell, with
 *	the guard against values the neighbourhood does not support, further
 *	passes for the cells left empty, and the report (see GuardedFill.h).
 */

#include "grid/GuardedFill.h"

#include "kardum.h"
#include "frame/Frame.h"
#include "grid/GridFill.h"

#include <algorithm>
#include <cstdint>
#include <cfloat>
#include <climits>
#include <cmath>
#include <numeric>

#if defined(_WIN32)
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  ifndef NOMINMAX
#    define NOMINMAX
#  endif
#  include <windows.h>
#else
#  include <time.h>
#endif

namespace kardum::package {

namespace {

/* A cell's flat position, or an index into a list of them: the grid holds
 * at most INT_MAX cells, and per empty cell every byte counts on large
 * grids. */
using CellIndex = std::int32_t;

using namespace kardum::fill;

/* CPU time of the calling thread in seconds, so that a pass's time does
 * not count the waits for a core on a busy machine; 0 where unknown. */
double ThreadSeconds()
{
#if defined(_WIN32)
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) {
        return 0.0;
    }
    ULARGE_INTEGER k, u;
    k.LowPart = kernel.dwLowDateTime;
    k.HighPart = kernel.dwHighDateTime;
    u.LowPart = user.dwLowDateTime;
    u.HighPart = user.dwHighDateTime;
    return static_cast<double>(k.QuadPart + u.QuadPart) * 1e-7;
#else
    timespec t;
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) != 0) {
        return 0.0;
    }
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
#endif
}

/* Radius, quadrants and degree of one pass; with distances in map units
 * the radius is `reach`, and `radius` only sizes the plan. */
struct Support {
    int radius, quadrants, degree;
    double reach = 0.0;
    bool operator==(const Support &o) const
    {
        return radius == o.radius && quadrants == o.quadrants && degree == o.degree &&
               reach == o.reach;
    }
};

constexpr double kPi = 3.14159265358979323846;

/* How far a search window reaches from its cell, in cells, on either
 * side of either axis. */
struct HalfWidths {
    int xlo, xhi, ylo, yhi;
};

/* The half-widths of the window that holds every cell within `reach` (map
 * units) of cell (ix, iy), and one cell more against rounding; on a
 * periodic axis at most half of it either way. */
HalfWidths MetricWindow(const FillMetric &m, const FillPlan &plan, double reach, int ix,
                        int iy)
{
    (void)ix;
    double rx, ry;
    if (!m.sphere) {
        rx = reach / m.kx;
        ry = reach / m.ky;
    } else {
        const double degree = kPi / 180.0;
        double rho = reach / kEarthRadius;          /* radians */
        ry = rho / (std::fabs(m.dlat) * degree);
        double lat = (m.lat0 + iy * m.dlat) * degree;
        double across = std::cos(lat);
        double lon = rho >= kPi / 2 || std::sin(rho) >= across
                         ? kPi
                         : std::asin(std::sin(rho) / across);
        rx = lon / (std::fabs(m.dlon) * degree);
    }
    auto cells = [](double r, int n, bool periodic, int &lo, int &hi) {
        double whole = std::floor(r) + 1.0;
        lo = hi = whole >= n ? n : static_cast<int>(whole);
        if (periodic && 2LL * lo + 1 > n) {
            /* half the axis either way: on an even one the cell opposite
             * counts on both sides, as it lies there */
            lo = hi = n / 2;
        }
    };
    HalfWidths h{};
    cells(rx, plan.nx, plan.xPeriodic, h.xlo, h.xhi);
    cells(ry, plan.ny, plan.yPeriodic, h.ylo, h.yhi);
    return h;
}

/* The squared distance, in map units, from cell (ix, iy) to the cell dx
 * columns and dy rows from it (row iy + dy being row `row`). */
double MetricDistance2(const FillMetric &m, int iy, int row, long long dx, long long dy)
{
    if (!m.sphere) {
        double ex = static_cast<double>(dx) * m.kx, ey = static_cast<double>(dy) * m.ky;
        return ex * ex + ey * ey;
    }
    const double degree = kPi / 180.0;
    double lat1 = (m.lat0 + iy * m.dlat) * degree, lat2 = (m.lat0 + row * m.dlat) * degree;
    double sLat = std::sin((lat2 - lat1) / 2), sLon = std::sin(dx * m.dlon * degree / 2);
    double h = sLat * sLat + std::cos(lat1) * std::cos(lat2) * sLon * sLon;
    double d = 2.0 * kEarthRadius * std::asin(std::min(1.0, std::sqrt(h)));
    return d * d;
}

/* The letters GridFill_C reads for a boundary and a cap. */
char BoundaryLetter(Boundary b)
{
    switch (b) {
    case Boundary::kStrict: return 'O';
    case Boundary::kPeriodic: return 'Y';
    case Boundary::kOpen: break;
    }
    return 'N';
}

char CapLetter(Cap c)
{
    switch (c) {
    case Cap::kNearest: return 'N';
    case Cap::kMax: return 'A';
    case Cap::kNone: break;
    }
    return 'O';
}

/* The plan of one pass, built from the same arguments GridFill_C takes. */
FillPlan PlanFor(const FillSetup &s, const Support &support, bool useWeight,
                 const double *table)
{
    double record[kRecSize] = {};
    record[kRecNx] = s.nx;
    record[kRecNy] = s.ny;
    record[kRecEmpty] = s.empty;
    record[kRecExcluded] = s.excluded;
    record[kRecLayout] = 'R';
    record[kRecXBoundary] = BoundaryLetter(s.xBoundary);
    record[kRecYBoundary] = BoundaryLetter(s.yBoundary);
    /* The bounds of every extremum search: the largest doubles, so that they
     * exclude no value.  With its guard and further passes off, the fill then
     * matches KDgridFill2D given the same bounds, bit for bit. */
    record[kRecLower] = -DBL_MAX;
    record[kRecUpper] = DBL_MAX;
    int limits[kLimitCount] = {s.margins[0], s.margins[1], s.margins[2], s.margins[3],
                               support.degree};
    char mode[2] = {CapLetter(s.cap), static_cast<char>(useWeight ? 1 : 0)};
    return MakePlan(s.perQuadrant, support.radius, mode, s.power, support.quadrants,
                    limits, record, table);
}

/* The largest radius the further passes may reach. */
int MaxRadius(const FillSetup &s, const FillGuards &g)
{
    int limit = std::max(g.maxRadius, s.radius);
    if (s.xBoundary == Boundary::kPeriodic) {
        limit = std::min(limit, s.nx);
    }
    if (s.yBoundary == Boundary::kPeriodic) {
        limit = std::min(limit, s.ny);
    }
    /* No cell lies farther from another than the grid's diagonal. */
    double diagonal = std::ceil(std::hypot(static_cast<double>(s.nx), static_cast<double>(s.ny)));
    limit = std::min<long long>(limit, static_cast<long long>(diagonal));
    return std::max(limit, s.radius);
}

/* The next pass: twice the radius, half the quadrants, one degree less. */
Support Relax(const Support &s, int maxRadius)
{
    long long r = std::max(2LL * s.radius, 1LL);
    return {static_cast<int>(std::min<long long>(r, maxRadius)),
            std::max(1, s.quadrants / 2), std::max(0, s.degree - 1)};
}

/*
 * The neighbours of one empty cell chosen so that the choice does not
 * depend on which way the axes run: a neighbour on the line between two
 * quadrants (dx = 0 or dy = 0) counts for both, and a quadrant keeps every
 * neighbour as near as its capacity-th nearest, so that equally near
 * neighbours are all kept or all left.  The points go into the store as
 * FillCell leaves them, for FitSurface and the guard.
 */
struct Neighbour {
    int dx, dy;
    double s, z;
};

class SymmetricGather {
public:
    explicit SymmetricGather(const FillMetric *metric = nullptr) : metric_(metric) {}

    FillOutcome Fill(const FillPlan &plan, const signed char *state, const double *grid,
                     FillStore &st, FillCellRecord &cell, const HalfWidths &reach,
                     double &value)
    {
        Gather(plan, state, grid, cell, reach);
        int marked = 0;
        for (int k = 0; k < 4; ++k) {
            marked += quad_[k].empty() ? 0 : 1;
        }
        if (marked < cell.required) {
            return FillOutcome::kTooFewQuadrants;
        }
        Keep(cell.capacity);
        int n = 0;
        double dmin = DBL_MAX;
        for (std::size_t j = 0; j < all_.size(); ++j) {
            if (kept_[j]) {
                ++n;
                dmin = std::min(dmin, all_[j].s);
            }
        }
        if (n < plan.nCoef) {
            return FillOutcome::kTooFewPoints;
        }
        std::size_t need = static_cast<std::size_t>(n);
        if (st.x.size() < need) {
            st.x.resize(need);
            st.y.resize(need);
            st.z.resize(need);
            st.w.resize(need);
        }
        n = 0;
        for (std::size_t j = 0; j < all_.size(); ++j) {
            if (!kept_[j]) {
                continue;
            }
            const Neighbour &p = all_[j];
            st.x[n] = p.dx;
            st.y[n] = p.dy;
            st.z[n] = p.z;
            st.w[n] = std::exp(plan.p * std::log(dmin / p.s));
            ++n;
        }
        cell.points = n;
        cell.dmin = dmin;
        double fitted = 0.0;
        if (!Fit(plan.degree, st, cell, fitted)) {
            return FillOutcome::kFitFailed;
        }
        value = Cap(plan, st, cell, fitted);
        return FillOutcome::kFilled;
    }

    /*
     * The weighted least-squares surface of total degree `degree` through
     * the store's points, in offsets from the cell; its value at the cell.
     * Where the points do not determine a surface of that degree (all on
     * one line, say) the degree is lowered until they do, so that no
     * arbitrary choice enters the value.  False only without points.
     */
    static bool Fit(int degree, const FillStore &st, const FillCellRecord &cell,
                    double &value)
    {
        int n = cell.points;
        if (n == 0) {
            return false;
        }
        double scale = 0.0;
        for (int j = 0; j < n; ++j) {
            scale = std::max({scale, std::fabs(st.x[j]), std::fabs(st.y[j])});
        }
        scale = scale > 0.0 ? 1.0 / scale : 1.0;
        for (int d = degree; d >= 0; --d) {
            int m = (d + 1) * (d + 2) / 2;
            if (m > n) {
                continue;
            }
            double a[15 * 15] = {}, b[15] = {}, phi[15];
            for (int j = 0; j < n; ++j) {
                double x = st.x[j] * scale, y = st.y[j] * scale;
                int t = 0;
                for (int k = 0; k <= d; ++k) {
                    /* Terms of degree k: x^k, x^(k-1) y, ..., y^k. */
                    for (int i = 0; i <= k; ++i) {
                        double v = 1.0;
                        for (int e = 0; e < k - i; ++e) v *= x;
                        for (int e = 0; e < i; ++e) v *= y;
                        phi[t++] = v;
                    }
                }
                for (int r = 0; r < m; ++r) {
                    double wr = st.w[j] * phi[r];
                    b[r] += wr * st.z[j];
                    for (int c = 0; c <= r; ++c) {
                        a[r * 15 + c] += wr * phi[c];
                    }
                }
            }
            if (Solve(a, b, m)) {
                value = b[0];
                return true;
            }
        }
        return false;
    }

    /* The cap of the fill: the heaviest point (among equally heavy ones
     * the largest value) or the largest value, when the fit lies above. */
    static double Cap(const FillPlan &plan, const FillStore &st, const FillCellRecord &cell,
                      double fitted)
    {
        if (plan.cap != 'N' && plan.cap != 'A') {
            return fitted;
        }
        int top = -1;
        for (int j = 0; j < cell.points; ++j) {
            if (top < 0) {
                top = j;
                continue;
            }
            bool better = plan.cap == 'N'
                ? st.w[j] > st.w[top] || (st.w[j] == st.w[top] && st.z[j] > st.z[top])
                : st.z[j] > st.z[top];
            if (better) {
                top = j;
            }
        }
        return top >= 0 && fitted > st.z[top] ? st.z[top] : fitted;
    }

private:
    void Gather(const FillPlan &plan, const signed char *state, const double *grid,
                const FillCellRecord &cell, const HalfWidths &reach)
    {
        all_.clear();
        for (auto &q : quad_) {
            q.clear();
        }
        Window wx = MakeWindow(cell.ix, reach.xlo, reach.xhi, plan.nx, plan.xlo, plan.xhi,
                               plan.xPeriodic);
        Window wy = MakeWindow(cell.iy, reach.ylo, reach.yhi, plan.ny, plan.ylo, plan.yhi,
                               plan.yPeriodic);
        auto wrap = [](long long v, long long n) { return v < n ? v : v % n; };
        for (long long a = wx.start; a <= wx.end; ++a) {
            long long column = wrap(a, plan.nx) * plan.strideX;
            long long dx = wx.centre - a;
            for (long long b = wy.start; b <= wy.end; ++b) {
                long long pos = column + wrap(b, plan.ny) * plan.strideY;
                if (state[pos] != kData) {
                    continue;
                }
                long long dy = wy.centre - b;
                double s = metric_ == nullptr
                    ? static_cast<double>(dx) * dx + static_cast<double>(dy) * dy
                    : MetricDistance2(*metric_, cell.iy, static_cast<int>(wrap(b, plan.ny)),
                                      dx, dy);
                if (s > plan.r2 || !(s < plan.sentinel) || s == 0.0) {
                    continue;
                }
                int index = static_cast<int>(all_.size());
                all_.push_back({static_cast<int>(dx), static_cast<int>(dy), s, grid[pos]});
                /* The sides along each axis: both on the line between them. */
                for (int kx = 0; kx < 2; ++kx) {
                    if ((kx == 0 && dx < 0) || (kx == 1 && dx > 0)) {
                        continue;
                    }
                    for (int ky = 0; ky < 2; ++ky) {
                        if ((ky == 0 && dy < 0) || (ky == 1 && dy > 0)) {
                            continue;
                        }
                        quad_[kx + 2 * ky].push_back(index);
                    }
                }
            }
        }
    }

    /* Marks, per quadrant, every neighbour no farther than its
     * capacity-th nearest. */
    void Keep(int capacity)
    {
        kept_.assign(all_.size(), 0);
        for (auto &q : quad_) {
            if (q.empty()) {
                continue;
            }
            double reach = DBL_MAX;
            if (q.size() > static_cast<std::size_t>(capacity)) {
                dist_.clear();
                for (int i : q) {
                    dist_.push_back(all_[i].s);
                }
                std::size_t c = static_cast<std::size_t>(std::max(capacity, 1)) - 1;
                std::nth_element(dist_.begin(), dist_.begin() + static_cast<long>(c),
                                 dist_.end());
                reach = dist_[c];
            }
            for (int i : q) {
                if (all_[i].s <= reach) {
                    kept_[i] = 1;
                }
            }
        }
    }

    /* Solves the normal equations (lower triangle of a, stride 15) by
     * Cholesky's method into b.  False when the determinant of the matrix
     * scaled to a unit diagonal (the product of the pivots over their
     * diagonal elements, which no order of the terms and no change of
     * their signs alters) is tiny: the points leave the surface open. */
    static bool Solve(double *a, double *b, int m)
    {
        double diag[15];
        for (int k = 0; k < m; ++k) {
            diag[k] = a[k * 15 + k];
        }
        double logDet = 0.0;
        for (int k = 0; k < m; ++k) {
            double p = a[k * 15 + k];
            for (int i = 0; i < k; ++i) {
                p -= a[k * 15 + i] * a[k * 15 + i];
            }
            if (!(p > 0.0) || !(diag[k] > 0.0)) {
                return false;
            }
            logDet += std::log(p / diag[k]);
            p = std::sqrt(p);
            a[k * 15 + k] = p;
            for (int r = k + 1; r < m; ++r) {
                double v = a[r * 15 + k];
                for (int i = 0; i < k; ++i) {
                    v -= a[r * 15 + i] * a[k * 15 + i];
                }
                a[r * 15 + k] = v / p;
            }
        }
        if (logDet < kOpenLog) {
            return false;
        }
        for (int k = 0; k < m; ++k) {
            double v = b[k];
            for (int i = 0; i < k; ++i) {
                v -= a[k * 15 + i] * b[i];
            }
            b[k] = v / a[k * 15 + k];
        }
        for (int k = m - 1; k >= 0; --k) {
            double v = b[k];
            for (int i = k + 1; i < m; ++i) {
                v -= a[i * 15 + k] * b[i];
            }
            b[k] = v / a[k * 15 + k];
        }
        return std::isfinite(b[0]);
    }

    /* Scaled determinants below e^-25 (about 1e-11) count as zero. */
    static constexpr double kOpenLog = -25.0;

    const FillMetric *metric_ = nullptr;
    std::vector<Neighbour> all_;
    std::vector<int> quad_[4];
    std::vector<char> kept_;
    std::vector<double> dist_;
};

/*
 * When the value lies outside the range of the fitted values widened by
 * the margin, fits the same points again at lower degrees until a value
 * lies inside; degree 0 (the weighted mean) is taken as it comes.  True
 * when the value was replaced.
 */
bool Guard(const FillPlan &plan, FillPlan &lowered, FillStore &store,
           const FillCellRecord &cell, double margin, bool scanOrder, double &value)
{
    const double *z = store.z.data();
    auto [lowest, highest] = std::minmax_element(z, z + cell.points);
    double widen = margin * (*highest - *lowest);
    double lo = *lowest - widen, hi = *highest + widen;
    /* Without the raw command's scan order, a value on the bound within
     * rounding counts as inside, so that mirrored grids decide alike. */
    if (!scanOrder) {
        double slack = 1e-10 * std::max({hi - lo, std::fabs(lo), std::fabs(hi)});
        lo -= slack;
        hi += slack;
    }
    if (value >= lo && value <= hi) {
        return false;
    }
    for (int d = plan.degree - 1; d >= 0; --d) {
        lowered.degree = d;
        double refit = 0.0;
        if (scanOrder ? !FitSurface(lowered, store, cell, refit)
                      : !SymmetricGather::Fit(d, store, cell, refit)) {
            continue;
        }
        value = scanOrder ? CapValue(lowered, store, cell, refit)
                          : SymmetricGather::Cap(lowered, store, cell, refit);
        if ((value >= lo && value <= hi) || d == 0) {
            return true;
        }
    }
    /* Only a failed fit at every lower degree ends here: keep the range. */
    value = std::clamp(value, lo, hi);
    return true;
}

/* The stretches of an axis that a search window of radius r around cell i
 * covers: one, two where a periodic axis wraps, none when clipped away. */
int Stretches(int i, int rlo, int rhi, int n, int lo, int hi, bool periodic, int (&from)[2],
              int (&to)[2])
{
    long long start = static_cast<long long>(i) - rlo, end = static_cast<long long>(i) + rhi;
    if (!periodic) {
        from[0] = static_cast<int>(std::max<long long>(start, lo));
        to[0] = static_cast<int>(std::min<long long>(end, hi));
        return from[0] <= to[0] ? 1 : 0;
    }
    if (end - start + 1 >= n) {
        from[0] = 0;
        to[0] = n - 1;
        return 1;
    }
    if (start < 0) {
        from[0] = static_cast<int>(start + n), to[0] = n - 1;
        from[1] = 0, to[1] = static_cast<int>(end);
        return 2;
    }
    if (end >= n) {
        from[0] = static_cast<int>(start), to[0] = n - 1;
        from[1] = 0, to[1] = static_cast<int>(end - n);
        return 2;
    }
    from[0] = static_cast<int>(start);
    to[0] = static_cast<int>(end);
    return 1;
}

/*
 * Counts of data cells over blocks of kBlock x kBlock cells (a summed-area
 * table of the blocks), so that a pass goes over the cells without any
 * data cell near their search window at once instead of scanning the
 * window: far from the data, where the windows of the last passes are
 * large, that is most of the work.  The blocks that cover a window may
 * reach a little beyond it, so a cell is passed over only when it surely
 * finds nothing; the table takes 1/64 of the grid's cells.
 */
class DataCounts {
public:
    DataCounts(const signed char *state, int nx, int ny)
        : bx_((nx + kBlock - 1) / kBlock), by_((ny + kBlock - 1) / kBlock),
          sum_((static_cast<std::size_t>(bx_) + 1) * (static_cast<std::size_t>(by_) + 1))
    {
        for (int iy = 0; iy < ny; ++iy) {
            for (int ix = 0; ix < nx; ++ix) {
                if (state[static_cast<std::size_t>(iy) * nx + ix] == kData) {
                    ++At(ix / kBlock + 1, iy / kBlock + 1);
                }
            }
        }
        for (int b = 1; b <= by_; ++b) {
            for (int a = 1; a <= bx_; ++a) {
                At(a, b) += At(a - 1, b) + At(a, b - 1) - At(a - 1, b - 1);
            }
        }
    }

    /* False only when the search window of the cell holds no data cell. */
    bool AnyInWindow(const FillPlan &plan, int ix, int iy, const HalfWidths &h) const
    {
        int x0[2], x1[2], y0[2], y1[2];
        int nxs = Stretches(ix, h.xlo, h.xhi, plan.nx, plan.xlo, plan.xhi, plan.xPeriodic, x0,
                            x1);
        int nys = Stretches(iy, h.ylo, h.yhi, plan.ny, plan.ylo, plan.yhi, plan.yPeriodic, y0,
                            y1);
        for (int a = 0; a < nxs; ++a) {
            for (int b = 0; b < nys; ++b) {
                int a0 = x0[a] / kBlock, a1 = x1[a] / kBlock + 1;
                int b0 = y0[b] / kBlock, b1 = y1[b] / kBlock + 1;
                if (At(a1, b1) - At(a0, b1) - At(a1, b0) + At(a0, b0) > 0) {
                    return true;
                }
            }
        }
        return false;
    }

private:
    static constexpr int kBlock = 8;

    int &At(int a, int b) { return sum_[static_cast<std::size_t>(b) * (bx_ + 1) + a]; }
    int At(int a, int b) const { return sum_[static_cast<std::size_t>(b) * (bx_ + 1) + a]; }

    int bx_, by_;
    std::vector<int> sum_;
};

/*
 * Fills the cells at `positions` (flat, x fastest; all of them not in
 * state kData) from the data cells, pass after pass.  values[j] receives
 * the value of positions[j] and passOf[j] the pass that filled it, 0 when
 * none did.
 */
void RunPasses(const double *grid, const signed char *state, bool useWeight,
               const double *table, const FillSetup &s, const FillGuards &g,
               const std::vector<CellIndex> &positions, std::vector<double> &values,
               std::vector<signed char> &passOf, std::vector<FillPass> &passes)
{
    values.assign(positions.size(), s.empty);
    passOf.assign(positions.size(), 0);
    std::vector<CellIndex> pending(positions.size());
    std::iota(pending.begin(), pending.end(), CellIndex{0});
    const FillMetric *metric = g.metric;
    int maxRadius = MaxRadius(s, g);
    Support support{s.radius, s.quadrants, s.degree};
    double maxReach = 0.0;
    if (metric != nullptr) {
        /* The plan's radius only sizes its quadrants: every cell may be a
         * neighbour. */
        maxRadius = support.radius = std::max(s.nx, s.ny);
        support.reach = metric->radius;
        maxReach = std::max(metric->maxRadius, metric->radius);
    }
    DataCounts counts(state, s.nx, s.ny);

    for (int pass = 1; !pending.empty(); ++pass) {
        double start = ThreadSeconds();
        FillPass record{support.radius, support.quadrants, support.degree, 0, 0, 0.0};
        record.reach = support.reach;
        FillPlan plan = PlanFor(s, support, useWeight, table);
        if (metric != nullptr) {
            plan.r2 = support.reach * support.reach;
            plan.sentinel = HUGE_VAL;
        } else if (pass > 1) {
            /* The first pass keeps KDgridFill2D's reach: no neighbour at a
             * squared distance of nx*ny or more.  The further passes reach
             * their whole radius, also across a long, narrow grid. */
            plan.sentinel = std::max(plan.sentinel, plan.r2 + 1.0);
        }
        FillPlan lowered = plan;
        FillStore store(plan);
        SymmetricGather gather(metric);
        HalfWidths cellWindow{plan.r, plan.r, plan.r, plan.r};
        int windowRow = -1;
        /* The cells left for the next pass move to the front of pending,
         * in their order. */
        std::size_t left = 0;
        for (CellIndex j : pending) {
            if (g.stop != nullptr && g.stop->Poll()) {
                throw TclError{};
            }
            long long pos = positions[j];
            int ix = static_cast<int>(pos % s.nx), iy = static_cast<int>(pos / s.nx);
            if (metric != nullptr && iy != windowRow) {
                /* the same for every cell of a row */
                cellWindow = MetricWindow(*metric, plan, support.reach, ix, iy);
                windowRow = iy;
            }
            if (!counts.AnyInWindow(plan, ix, iy, cellWindow)) {
                pending[left++] = j;
                continue;
            }
            FillCellRecord cell = StartCell(plan, ix, iy);
            double value = 0.0;
            FillOutcome outcome = g.scanOrder
                ? FillCell(plan, state, grid, store, cell, value)
                : gather.Fill(plan, state, grid, store, cell, cellWindow, value);
            if (outcome != FillOutcome::kFilled) {
                pending[left++] = j;
                continue;
            }
            if (g.guard &&
                Guard(plan, lowered, store, cell, g.guardMargin, g.scanOrder, value)) {
                ++record.refitted;
            }
            values[j] = value;
            passOf[j] = static_cast<signed char>(pass);
            ++record.filled;
        }
        record.seconds = ThreadSeconds() - start;
        passes.push_back(record);
        pending.resize(left);

        Support next = Relax(support, maxRadius);
        if (metric != nullptr) {
            next.radius = support.radius;
            next.reach = std::min(2.0 * support.reach, maxReach);
        }
        /* Even where the first pass had the most relaxed support, a second
         * one runs when the first could not reach its whole radius. */
        bool reachLeft = pass == 1 && metric == nullptr && plan.sentinel <= plan.r2;
        if (!g.complete || (next == support && !reachLeft)) {
            break;
        }
        support = next;
    }
}

/* The random table of the fill, drawn as GridFill_C draws it; returns the
 * advanced seed. */
int DrawTable(double *table, int seed)
{
    return DataRnd1_C(table, kTableSize, 2, kTableScale, seed);
}

} // namespace

void GuardedFill(double *grid, const double *weight, const FillSetup &s,
                 const FillGuards &g, bool wantSource, FillReport &report)
{
    double table[kTableSize];
    DrawTable(table, g.seed);
    std::size_t cells = static_cast<std::size_t>(s.nx) * static_cast<std::size_t>(s.ny);
    std::vector<signed char> state(cells);
    FillPlan first = PlanFor(s, {s.radius, s.quadrants, s.degree}, weight != nullptr, table);
    MarkCells(first, grid, weight, state.data());

    std::vector<CellIndex> positions;
    positions.reserve(static_cast<std::size_t>(std::count(state.begin(), state.end(), kToFill)));
    report = FillReport{};
    for (std::size_t k = 0; k < cells; ++k) {
        if (state[k] == kToFill) {
            positions.push_back(static_cast<CellIndex>(k));
        } else if (state[k] == kData) {
            ++report.dataCells;
        } else {
            ++report.excludedCells;
        }
    }
    std::vector<double> values;
    std::vector<signed char> passOf;
    RunPasses(grid, state.data(), weight != nullptr, table, s, g, positions, values,
              passOf, report.passes);

    if (wantSource) {
        report.source.resize(cells);
        for (std::size_t k = 0; k < cells; ++k) {
            report.source[k] = state[k] == kData ? kSourceData : kSourceExcluded;
        }
    }
    /* Everything is allocated: only now is the grid written. */
    for (std::size_t j = 0; j < positions.size(); ++j) {
        grid[positions[j]] = values[j];
        if (passOf[j] == 0) {
            ++report.emptyCells;
        }
        if (wantSource) {
            report.source[positions[j]] =
                passOf[j] ? passOf[j] : static_cast<signed char>(kSourceEmpty);
        }
    }
}

void FillCellsAt(const double *grid, const double *weight, const FillSetup &s,
                 const FillGuards &g, const std::vector<long long> &positions,
                 std::vector<double> &values, std::vector<unsigned char> &filled)
{
    double table[kTableSize];
    DrawTable(table, g.seed);
    std::size_t cells = static_cast<std::size_t>(s.nx) * static_cast<std::size_t>(s.ny);
    std::vector<signed char> state(cells);
    FillPlan first = PlanFor(s, {s.radius, s.quadrants, s.degree}, weight != nullptr, table);
    MarkCells(first, grid, weight, state.data());

    values.assign(positions.size(), s.empty);
    filled.assign(positions.size(), 0);
    std::vector<CellIndex> empty;
    std::vector<std::size_t> slot;
    for (std::size_t j = 0; j < positions.size(); ++j) {
        std::size_t pos = static_cast<std::size_t>(positions[j]);
        if (state[pos] == kData) {
            values[j] = grid[pos];
            filled[j] = 1;
        } else if (state[pos] == kToFill) {
            empty.push_back(static_cast<CellIndex>(pos));
            slot.push_back(j);
        }
    }
    std::vector<double> fitted;
    std::vector<signed char> passOf;
    std::vector<FillPass> passes;
    RunPasses(grid, state.data(), weight != nullptr, table, s, g, empty, fitted, passOf,
              passes);
    for (std::size_t t = 0; t < empty.size(); ++t) {
        if (passOf[t] != 0) {
            values[slot[t]] = fitted[t];
            filled[slot[t]] = 1;
        }
    }
}

} // namespace kardum::package
