/*
 * GuardedFill.cpp --
 *
 *	The fill behind kardum::gridfill: KDgridFill2D's steps per cell, with
 *	the guard against values the neighbourhood does not support, further
 *	passes for the cells left empty, and the report (see GuardedFill.h).
 */

#include "pkg/GuardedFill.h"

#include "kardum.h"
#include "grid/GridFill.h"

#include <algorithm>
#include <cstdint>
#include <chrono>
#include <cfloat>
#include <climits>
#include <cmath>
#include <numeric>

namespace kardum::pkg {

namespace {

/* A cell's flat position, or an index into a list of them: the grid holds
 * at most INT_MAX cells, and per empty cell every byte counts on large
 * grids. */
using CellIndex = std::int32_t;

using namespace kardum::fill;

/* Radius, quadrants and degree of one pass. */
struct Support {
    int radius, quadrants, degree;
    bool operator==(const Support &o) const
    {
        return radius == o.radius && quadrants == o.quadrants && degree == o.degree;
    }
};

/* The plan of one pass, built from the same arguments GridFill_C takes. */
FillPlan PlanFor(const FillSetup &s, const Support &support, bool useWeight,
                 const double *table)
{
    double record[kRecordSize] = {};
    record[kNx] = s.nx;
    record[kNy] = s.ny;
    record[kEmpty] = s.empty;
    record[kExcluded] = s.excluded;
    record[kLayout] = 'R';
    record[kXBoundary] = s.xBoundary;
    record[kYBoundary] = s.yBoundary;
    /* The bounds of every extremum search, as kardum::gridfill has always
     * handed them to KDgridFill2D: the largest doubles. */
    record[kLower] = -DBL_MAX;
    record[kUpper] = DBL_MAX;
    int limits[kLimitCount] = {s.margins[0], s.margins[1], s.margins[2], s.margins[3],
                               support.degree};
    char mode[2] = {s.cap, static_cast<char>(useWeight ? 1 : 0)};
    return MakePlan(s.perQuadrant, support.radius, mode, s.power, support.quadrants,
                    limits, record, table);
}

/* The largest radius the further passes may reach. */
int MaxRadius(const FillSetup &s, const FillGuards &g)
{
    int limit = std::max(g.maxRadius, s.radius);
    if (s.xBoundary == 'Y') {
        limit = std::min(limit, s.nx);
    }
    if (s.yBoundary == 'Y') {
        limit = std::min(limit, s.ny);
    }
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
 * When the value lies outside the range of the fitted values widened by
 * the margin, fits the same points again at lower degrees until a value
 * lies inside; degree 0 (the weighted mean) is taken as it comes.  True
 * when the value was replaced.
 */
bool Guard(const FillPlan &plan, FillPlan &lowered, FillStore &store,
           const FillCellRecord &cell, double margin, double &value)
{
    const double *z = store.z.data();
    auto [lowest, highest] = std::minmax_element(z, z + cell.points);
    double widen = margin * (*highest - *lowest);
    double lo = *lowest - widen, hi = *highest + widen;
    if (value >= lo && value <= hi) {
        return false;
    }
    for (int d = plan.degree - 1; d >= 0; --d) {
        lowered.degree = d;
        double refit = 0.0;
        if (!FitSurface(lowered, store, cell, refit)) {
            continue;
        }
        value = CapValue(lowered, store, cell, refit);
        if ((value >= lo && value <= hi) || d == 0) {
            return true;
        }
    }
    /* Only a failed fit at every lower degree ends here: keep the range. */
    value = std::clamp(value, lo, hi);
    return true;
}

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
    using Clock = std::chrono::steady_clock;
    values.assign(positions.size(), s.empty);
    passOf.assign(positions.size(), 0);
    std::vector<CellIndex> pending(positions.size());
    std::iota(pending.begin(), pending.end(), CellIndex{0});
    int maxRadius = MaxRadius(s, g);
    Support support{s.radius, s.quadrants, s.degree};

    for (int pass = 1; !pending.empty(); ++pass) {
        Clock::time_point start = Clock::now();
        FillPass record{support.radius, support.quadrants, support.degree, 0, 0, 0.0};
        FillPlan plan = PlanFor(s, support, useWeight, table);
        if (pass > 1) {
            /* The first pass keeps KDgridFill2D's reach: no neighbour at a
             * squared distance of nx*ny or more.  The further passes reach
             * their whole radius, also across a long, narrow grid. */
            plan.sentinel = std::max(plan.sentinel, plan.r2 + 1.0);
        }
        FillPlan lowered = plan;
        FillStore store(plan);
        /* The cells left for the next pass move to the front of pending,
         * in their order. */
        std::size_t left = 0;
        for (CellIndex j : pending) {
            long long pos = positions[j];
            FillCellRecord cell = StartCell(plan, static_cast<int>(pos % s.nx),
                                            static_cast<int>(pos / s.nx));
            double value = 0.0;
            if (FillCell(plan, state, grid, store, cell, value) != FillOutcome::kFilled) {
                pending[left++] = j;
                continue;
            }
            if (g.guard && Guard(plan, lowered, store, cell, g.guardMargin, value)) {
                ++record.refitted;
            }
            values[j] = value;
            passOf[j] = static_cast<signed char>(pass);
            ++record.filled;
        }
        record.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        passes.push_back(record);
        pending.resize(left);

        Support next = Relax(support, maxRadius);
        if (!g.complete || next == support) {
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

bool CheckFillSetup(const FillSetup &s, const FillGuards &g, const char *&why)
{
    auto fail = [&why](const char *text) {
        why = text;
        return false;
    };
    if (s.nx < 1 || s.ny < 1) {
        return fail("the grid needs at least one cell along each axis");
    }
    if (static_cast<long long>(s.nx) * s.ny > INT_MAX) {
        return fail("the grid has too many cells");
    }
    if (s.radius < 0) {
        return fail("radius must not be negative");
    }
    if (s.quadrants < 1 || s.quadrants > 4) {
        return fail("quadrants must be 1 to 4");
    }
    if (s.perQuadrant < 0) {
        return fail("perquadrant must not be negative");
    }
    if (s.degree < 0 || s.degree > 4) {
        return fail("degree must be 0 to 4");
    }
    if (!std::isfinite(s.power)) {
        return fail("power must be a finite number");
    }
    for (int margin : s.margins) {
        if (margin < 0) {
            return fail("margins must not be negative");
        }
    }
    if ((s.xBoundary == 'Y' && s.radius > s.nx) || (s.yBoundary == 'Y' && s.radius > s.ny)) {
        return fail("radius must not exceed the cells of a periodic axis");
    }
    if (!(g.guardMargin >= 0.0)) {
        return fail("guardmargin must be a number of at least 0");
    }
    if (g.maxRadius < 0) {
        return fail("maxradius must not be negative");
    }
    return true;
}

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

CrossValidation CrossValidateFill(const double *grid, const double *weight,
                                  const FillSetup &s, const FillGuards &g, int folds)
{
    double table[kTableSize];
    int seed = DrawTable(table, g.seed);
    std::size_t cells = static_cast<std::size_t>(s.nx) * static_cast<std::size_t>(s.ny);
    std::vector<signed char> state(cells);
    FillPlan first = PlanFor(s, {s.radius, s.quadrants, s.degree}, weight != nullptr, table);
    MarkCells(first, grid, weight, state.data());

    std::vector<CellIndex> data;
    for (std::size_t k = 0; k < cells; ++k) {
        if (state[k] == kData) {
            data.push_back(static_cast<CellIndex>(k));
        }
    }
    /* A random order of the data cells from the seed; fold f holds every
     * folds-th cell of it, starting at f. */
    std::vector<double> keys(data.size());
    if (!data.empty()) {
        DataRnd1_C(keys.data(), static_cast<int>(keys.size()), 0, 1.0, seed);
    }
    std::vector<std::size_t> order(data.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&keys](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });

    CrossValidation cv;
    cv.folds = folds;
    double sum = 0.0;
    std::vector<CellIndex> held;
    std::vector<double> values;
    std::vector<signed char> passOf;
    std::vector<FillPass> passes;
    for (int f = 0; f < folds; ++f) {
        held.clear();
        for (std::size_t i = static_cast<std::size_t>(f); i < order.size();
             i += static_cast<std::size_t>(folds)) {
            held.push_back(data[order[i]]);
        }
        for (long long pos : held) {
            state[pos] = kToFill;
        }
        passes.clear();
        RunPasses(grid, state.data(), weight != nullptr, table, s, g, held, values,
                  passOf, passes);
        for (std::size_t j = 0; j < held.size(); ++j) {
            state[held[j]] = kData;
            if (passOf[j] == 0) {
                ++cv.missed;
                continue;
            }
            double e = values[j] - grid[held[j]];
            sum += e * e;
            ++cv.predicted;
        }
    }
    cv.rms = cv.predicted ? std::sqrt(sum / static_cast<double>(cv.predicted)) : 0.0;
    return cv;
}

} // namespace kardum::pkg
