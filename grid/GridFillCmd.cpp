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
#include "grid/Descriptor.h"
#include "grid/GridFill.h"
#include "data/Seed.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

namespace kardum::fill {

namespace {

int CeilDiv(int a, int b)
{
    return a / b + (a % b != 0 ? 1 : 0);
}

/* Index of the first largest (cond '>') or smallest ('<') value strictly
 * between the bounds, -1 when there is none.  DataMxMn_C only reads the
 * values. */
int Extremum(const double *values, int n, char cond, double lower, double upper)
{
    int iMin = -1, iMax = -1;
    DataMxMn_C(const_cast<double *>(values), n, cond, lower, upper, 1, &iMin, &iMax);
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

/* Whole number from a record entry, 0 when out of the int range. */
int Truncate(double v)
{
    return (v >= static_cast<double>(INT_MIN) && v <= static_cast<double>(INT_MAX))
               ? static_cast<int>(v) : 0;
}

} // namespace

FillPlan MakePlan(int m, int r, const char *mode, double p, int q,
                  const int *limits, const double *record, const double *table)
{
    FillPlan plan;
    plan.nx = Truncate(record[kRecNx]);
    plan.ny = Truncate(record[kRecNy]);
    char layout = static_cast<char>(Truncate(record[kRecLayout]));
    char xBoundary = static_cast<char>(Truncate(record[kRecXBoundary]));
    char yBoundary = static_cast<char>(Truncate(record[kRecYBoundary]));
    plan.xPeriodic = xBoundary == 'Y';
    plan.yPeriodic = yBoundary == 'Y';
    plan.xRelaxed = xBoundary == 'N';
    plan.yRelaxed = yBoundary == 'N';
    plan.empty = record[kRecEmpty];
    plan.excluded = record[kRecExcluded];
    plan.lower = record[kRecLower];
    plan.upper = record[kRecUpper];
    plan.cap = mode[0];
    plan.useWeight = mode[1] != 0;
    plan.p = p;
    plan.quadrants = q;
    plan.r = r;
    plan.degree = limits[kDegree];

    plan.nCoef = 1;
    for (int i = 1; i <= plan.degree; ++i) {
        plan.nCoef = plan.nCoef + i + 1;
    }
    plan.xlo = limits[kLowX];
    plan.xhi = plan.nx - 1 - limits[kHighX];
    plan.ylo = limits[kLowY];
    plan.yhi = plan.ny - 1 - limits[kHighY];
    plan.r2 = static_cast<double>(r) * r;

    /* Points kept per quadrant when k quadrants are required.  A quadrant
     * never holds more candidates than its part of the search window, so
     * no more slots than that are needed. */
    long long inQuadrant = (std::min(r, plan.nx) + 1LL) * (std::min(r, plan.ny) + 1LL);
    for (int k = 1; k <= 4; ++k) {
        long long n = std::max(CeilDiv(plan.nCoef, k), m);
        plan.need[k] = static_cast<int>(std::min(n, inQuadrant));
    }
    plan.slots = 4 * static_cast<std::size_t>(plan.need[1]);

    plan.strideX = layout == 'R' ? 1 : plan.ny;
    plan.strideY = layout == 'R' ? plan.nx : 1;
    plan.sentinel = static_cast<double>(plan.nx) * plan.ny;
    std::copy(table, table + kTableSize, plan.table);
    return plan;
}

void MarkCells(const FillPlan &plan, const double *grid, const double *weight,
               signed char *state)
{
    std::size_t cells = static_cast<std::size_t>(plan.nx) * static_cast<std::size_t>(plan.ny);
    for (std::size_t k = 0; k < cells; ++k) {
        if (!plan.useWeight) {
            state[k] = grid[k] == plan.empty ? kToFill
                       : grid[k] == plan.excluded ? kExcludedCell : kData;
        } else {
            state[k] = grid[k] == plan.excluded ? kExcludedCell
                       : weight[k] == 0.0 ? kToFill : kData;
        }
    }
}

FillStore::FillStore(const FillPlan &plan)
    : value(plan.slots), dist(plan.slots), dx(plan.slots), dy(plan.slots),
      x(plan.slots), y(plan.slots), z(plan.slots), w(plan.slots),
      coef(static_cast<std::size_t>(plan.nCoef)) {}

FillCellRecord StartCell(const FillPlan &plan, int ix, int iy)
{
    FillCellRecord cell;
    cell.ix = ix;
    cell.iy = iy;
    bool xEdge = (ix <= plan.xlo || ix >= plan.xhi) && plan.xRelaxed;
    bool yEdge = (iy <= plan.ylo || iy >= plan.yhi) && plan.yRelaxed;
    cell.required = (xEdge || yEdge) ? std::min(plan.quadrants, 2) : plan.quadrants;
    cell.capacity = plan.need[cell.required];
    for (int k = 0; k < 4; ++k) {
        cell.replace[k] = k * cell.capacity;
        cell.marked[k] = 0;
    }
    return cell;
}

/*
 * Scans the search window and keeps, per quadrant, the `capacity` nearest
 * data cells within the radius; among equally near ones the first met
 * stays.  A full quadrant's farthest slot is the one the next nearer
 * candidate replaces.
 */
void GatherNeighbours(const FillPlan &plan, const signed char *state,
                      const double *grid, FillStore &st, FillCellRecord &cell)
{
    int c = cell.capacity;
    std::fill(st.dist.begin(), st.dist.end(), plan.sentinel);
    Window wx = MakeWindow(cell.ix, plan.r, plan.r, plan.nx, plan.xlo, plan.xhi, plan.xPeriodic);
    Window wy = MakeWindow(cell.iy, plan.r, plan.r, plan.ny, plan.ylo, plan.yhi, plan.yPeriodic);

    /* Window coordinates are never negative (a periodic window is shifted
     * up by n when it starts below 0), and only a periodic one passes n:
     * the remainder is taken only then.  The column's part of the
     * position is taken once per column. */
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
            double s = static_cast<double>(dx) * dx + static_cast<double>(dy) * dy;
            if (s > plan.r2) {
                continue;
            }
            int k = (dx < 0 ? 1 : 0) + (dy < 0 ? 2 : 0);
            int slot = cell.replace[k];
            if (st.dist[slot] > s) {
                st.dx[slot] = static_cast<int>(dx);
                st.dy[slot] = static_cast<int>(dy);
                st.value[slot] = grid[pos];
                st.dist[slot] = s;
                int far = Extremum(&st.dist[k * c], c, '>', plan.lower, plan.upper);
                if (far >= 0) {
                    cell.replace[k] = k * c + far;
                }
                cell.marked[k] = 1;
            }
        }
    }
}

/*
 * Turns the kept candidates, in slot order, into the points of the fit,
 * each weighted (dmin/s)^p so that the nearest weigh 1.  False when the
 * search for the nearest finds nothing inside the bounds.
 */
bool WeighPoints(const FillPlan &plan, FillStore &st, FillCellRecord &cell)
{
    int nearest = Extremum(st.dist.data(), static_cast<int>(plan.slots), '<',
                           plan.lower, plan.upper);
    if (nearest < 0) {
        return false;
    }
    cell.dmin = st.dist[nearest];
    int n = 0;
    for (std::size_t j = 0; j < plan.slots; ++j) {
        if (st.dist[j] == plan.sentinel) {
            continue;
        }
        st.x[n] = st.dx[j];
        st.y[n] = st.dy[j];
        st.z[n] = st.value[j];
        st.w[n] = std::exp(plan.p * std::log(cell.dmin / st.dist[j]));
        ++n;
    }
    cell.points = n;
    return true;
}

/* Where at most two quadrants are required the points may all share one
 * x or one y; such coordinates are spread by factors near 1. */
void SpreadDegenerate(const FillPlan &plan, FillStore &st, const FillCellRecord &cell)
{
    if (cell.required > 2) {
        return;
    }
    int t = 0;
    if (AllEqualToFirst(st.x, cell.points)) {
        Perturb(st.x, cell.points, plan.table, t);
    }
    if (AllEqualToFirst(st.y, cell.points)) {
        Perturb(st.y, cell.points, plan.table, t);
    }
}

/* The weighted surface fit in offsets from the cell; its constant term is
 * the surface's value at the cell.  False when the fit cannot run. */
bool FitSurface(const FillPlan &plan, FillStore &st, const FillCellRecord &cell,
                double &value)
{
    double residual = 0.0;
    if (DataLSq2D_C(st.x.data(), st.y.data(), st.z.data(), cell.points, plan.degree, 1,
                    st.coef.data(), 0, st.w.data(), &residual) < 0) {
        return false;
    }
    value = st.coef[0];
    return true;
}

/* Lowers the fitted value to the heaviest point's value (cap 'N') or the
 * largest point value ('A') when it lies above; never raises it. */
double CapValue(const FillPlan &plan, const FillStore &st, const FillCellRecord &cell,
                double fitted)
{
    if (plan.cap == 'N' || plan.cap == 'A') {
        const double *ref = plan.cap == 'N' ? st.w.data() : st.z.data();
        int top = Extremum(ref, cell.points, '>', plan.lower, plan.upper);
        if (top >= 0 && fitted > st.z[top]) {
            fitted = st.z[top];
        }
    }
    return fitted;
}

FillOutcome FillCell(const FillPlan &plan, const signed char *state,
                     const double *grid, FillStore &store, int ix, int iy,
                     double &value)
{
    FillCellRecord cell = StartCell(plan, ix, iy);
    return FillCell(plan, state, grid, store, cell, value);
}

FillOutcome FillCell(const FillPlan &plan, const signed char *state,
                     const double *grid, FillStore &store, FillCellRecord &cell,
                     double &value)
{
    GatherNeighbours(plan, state, grid, store, cell);
    if (cell.marked[0] + cell.marked[1] + cell.marked[2] + cell.marked[3] < cell.required) {
        return FillOutcome::kTooFewQuadrants;
    }
    if (!WeighPoints(plan, store, cell)) {
        return FillOutcome::kNoNearest;
    }
    if (cell.points < plan.nCoef) {
        return FillOutcome::kTooFewPoints;
    }
    SpreadDegenerate(plan, store, cell);
    double fitted = 0.0;
    if (!FitSurface(plan, store, cell, fitted)) {
        return FillOutcome::kFitFailed;
    }
    value = CapValue(plan, store, cell, fitted);
    return FillOutcome::kFilled;
}

} // namespace kardum::fill

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
    using namespace kardum::fill;
    int nx = Truncate(descriptor[kRecNx]);
    int ny = Truncate(descriptor[kRecNy]);
    bool xPeriodic = static_cast<char>(Truncate(descriptor[kRecXBoundary])) == 'Y';
    bool yPeriodic = static_cast<char>(Truncate(descriptor[kRecYBoundary])) == 'Y';
    if (nx < 1 || ny < 1 || static_cast<long long>(nx) * ny > INT_MAX ||
        q < 1 || q > 4 || limits[kDegree] > 4 || r < 0 ||
        limits[kLowX] < 0 || limits[kHighX] < 0 || limits[kLowY] < 0 ||
        limits[kHighY] < 0 || (xPeriodic && r > nx) || (yPeriodic && r > ny)) {
        return -1;
    }
    /* Buffers are taken before the grid is changed, so a failed
     * allocation leaves the grid as it was. */
    try {
        double table[kTableSize];
        *seed = DataRnd1_C(table, kTableSize, 2, kTableScale, *seed);
        FillPlan plan = MakePlan(m, r, mode, *p, q, limits, descriptor, table);
        /* The caller sees the high margins as last interior indices. */
        limits[kHighX] = plan.xhi;
        limits[kHighY] = plan.yhi;

        std::vector<signed char> state(static_cast<std::size_t>(nx) *
                                       static_cast<std::size_t>(ny));
        MarkCells(plan, grid, weight, state.data());
        FillStore store(plan);
        /* Only cells in state kData at the start serve as neighbours, so
         * the order of the cells changes no result. */
        for (int ix = 0; ix < nx; ++ix) {
            for (int iy = 0; iy < ny; ++iy) {
                long long pos = plan.Position(ix, iy);
                if (state[pos] != kToFill) {
                    continue;
                }
                double value = 0.0;
                FillOutcome outcome = FillCell(plan, state.data(), grid, store,
                                               ix, iy, value);
                state[pos] = kDone;
                grid[pos] = outcome == FillOutcome::kFilled ? value : plan.empty;
            }
        }
        return 1;
    } catch (const std::bad_alloc &) {
        return -1;
    } catch (const std::length_error &) {
        return -1;
    }
}

namespace kardum::fill {

namespace {

/* First character of an element's value, as a signed character code. */
double FirstChar(const Elements &gI, int e)
{
    return static_cast<signed char>(gI.RequiredText(e)[0]);
}

} // namespace

FillSettings ReadSettings(const Elements &sI)
{
    FillSettings s;
    s.m = sI.RequiredInt(0);
    s.r = sI.RequiredInt(1);
    s.q = sI.RequiredInt(2);
    s.capMode = sI.RequiredInt(3);
    for (int e = 4; e <= 7; ++e) {
        s.limits[e - 4] = sI.RequiredInt(e);
    }
    s.p = sI.RequiredDouble(8);
    int degree = 1;
    sI.OptionalInt(9, degree);
    s.limits[kDegree] = degree;
    return s;
}

/*
 * Reads gI's elements 0 .. 16 in ascending order into the worker's record.
 * Elements 6, 7, 9 and 10 are KDdataGrid's binning, IGNORE and action
 * words; the fill has no use for them, yet they are looked up like all the
 * others, because the command reads every element of the descriptor: read
 * traces on gI fire for each, and a missing one leaves Tcl's message in the
 * interpreter result.
 */
void ReadDescriptor(const Elements &gI, double *record)
{
    for (int e = gi::kX0; e <= gi::kY1; ++e) {
        gI.OptionalDouble(e, record[e]);
    }
    record[kRecNx] = gI.RequiredInt(gi::kNx);
    record[kRecNy] = gI.RequiredInt(gi::kNy);
    gI.Text(gi::kXBin);
    gI.Text(gi::kYBin);
    record[kRecLayout] = FirstChar(gI, gi::kOrder);
    gI.Text(gi::kIgnore);
    gI.Text(gi::kAction);
    record[kRecEmpty] = gI.RequiredDouble(gi::kEmpty);
    record[kRecExcluded] = gI.RequiredDouble(gi::kExcluded);
    record[kRecLower] = gI.RequiredDouble(gi::kLow);
    record[kRecUpper] = gI.RequiredDouble(gi::kHigh);
    record[kRecXBoundary] = FirstChar(gI, gi::kXBoundary);
    record[kRecYBoundary] = FirstChar(gI, gi::kYBoundary);
}

void CheckSettings(const Elements &sI, const Elements &gI,
                   const FillSettings &s, const double *record)
{
    const char *cmd = sI.Command();
    int nx = static_cast<int>(record[kRecNx]);
    int ny = static_cast<int>(record[kRecNy]);
    if (nx < 1 || ny < 1) {
        Fail("%s: %s must be at least 1, got %d", cmd,
             gI.Name(nx < 1 ? gi::kNx : gi::kNy).c_str(), nx < 1 ? nx : ny);
    }
    if (static_cast<long long>(nx) * ny > INT_MAX) {
        Fail("%s: the grid of %d by %d cells is too large", cmd, nx, ny);
    }
    if (s.limits[kDegree] > 4) {
        Fail("%s: %s (degree) must be at most 4, got %d", cmd,
             sI.Name(9).c_str(), s.limits[kDegree]);
    }
    if (s.q < 1 || s.q > 4) {
        Fail("%s: %s (quadrants) must be 1 to 4, got %d", cmd,
             sI.Name(2).c_str(), s.q);
    }
    if (s.r < 0) {
        Fail("%s: %s (radius) must not be negative, got %d", cmd,
             sI.Name(1).c_str(), s.r);
    }
    for (int e = 4; e <= 7; ++e) {
        if (s.limits[e - 4] < 0) {
            Fail("%s: %s (margin) must not be negative, got %d", cmd,
                 sI.Name(e).c_str(), s.limits[e - 4]);
        }
    }
    if (record[kRecXBoundary] == 'Y' && s.r > nx) {
        Fail("%s: %s (radius) must not exceed the %d cells of the periodic "
             "x axis, got %d", cmd, sI.Name(1).c_str(), nx, s.r);
    }
    if (record[kRecYBoundary] == 'Y' && s.r > ny) {
        Fail("%s: %s (radius) must not exceed the %d cells of the periodic "
             "y axis, got %d", cmd, sI.Name(1).c_str(), ny, s.r);
    }
}

} // namespace kardum::fill

extern "C" int GridFillCmd(ClientData, Tcl_Interp *interp, int objc,
                           Tcl_Obj *const objv[])
{
    using namespace kardum;
    using namespace kardum::fill;
    return RunCommand(interp, "KDgridFill2D", [&]() -> int {
        const char *cmd = "KDgridFill2D";
        Args args(interp, objc, objv);
        if (!args.CountOk(Args::Exactly, 5, "Usage: KDgridFill2D Grd gI Nrm sI")) {
            return TCL_ERROR;
        }
        Elements sI(interp, cmd, args.Obj(4));
        FillSettings s = ReadSettings(sI);
        Elements gI(interp, cmd, args.Obj(2));
        double record[kRecSize] = {};
        ReadDescriptor(gI, record);
        CheckSettings(sI, gI, s, record);

        char mode[2] = {s.capMode == 1 ? 'N' : s.capMode == 2 ? 'A' : 'O', 0};
        bool useWeight = Tcl_GetString(args.Obj(3))[0] != '\0';
        mode[1] = useWeight ? 1 : 0;
        int cells = static_cast<int>(record[kRecNx]) * static_cast<int>(record[kRecNy]);
        std::size_t n = static_cast<std::size_t>(cells);
        RequireRoom(interp, cmd, args.Obj(1), n);
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
        double p = s.p;
        /* The settings were checked above, so the worker's -1 can only
         * mean that its cell states or neighbour store could not be had:
         * the grid is as it was, and is not written; the seed has
         * advanced all the same, as on every call that reaches the
         * worker. */
        int filled = GridFill_C(grid, weight, s.m, s.r, mode, &p, s.q, s.limits, record, &seed);
        WriteSeed(interp, seed);
        if (filled < 0) {
            throw OutOfMemory{0, "the cell states and neighbour store of the fill"};
        }
        WriteBack(interp, args.Obj(1), grid, cells, 0);
        return TCL_OK;
    });
}
