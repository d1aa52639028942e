// FillCellsAt: the cells a cross-validation reads, filled one by one, hold
// the same bits as the whole guarded fill gives them.
#include <gtest/gtest.h>

#include "grid/GuardedFill.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

using namespace kardum::package;

// A sparse grid of 23 by 17 cells: about one cell in six holds data (a
// wavy surface), the rest empty (weight 0), one cell excluded.
struct Sparse {
    int nx = 23, ny = 17;
    std::vector<double> grid, weight;

    Sparse()
    {
        std::size_t cells = static_cast<std::size_t>(nx) * ny;
        grid.assign(cells, -DBL_MAX);
        weight.assign(cells, 0.0);
        unsigned state = 12345;
        for (std::size_t k = 0; k < cells; ++k) {
            state = state * 1103515245u + 12345u;
            if ((state >> 16) % 6 == 0) {
                double x = static_cast<double>(k % nx), y = static_cast<double>(k / nx);
                grid[k] = std::sin(0.4 * x) * std::cos(0.3 * y) * 10.0 + 0.1 * x;
                weight[k] = 1.0;
            }
        }
        grid[5] = DBL_MAX;     // the excluded value
        weight[5] = 0.0;
    }
};

TEST(FillCellsAt, GivesEveryCellTheBitsOfTheWholeFill)
{
    struct Case {
        int radius, quadrants, degree;
        bool guard, complete;
    } cases[] = {
        {4, 4, 1, true, true},
        {2, 4, 2, true, true},     // further passes fill most cells
        {3, 2, 3, false, true},
        {2, 4, 1, true, false},    // one pass: some cells stay empty
    };
    for (const Case &c : cases) {
        Sparse s;
        FillSetup setup;
        setup.nx = s.nx;
        setup.ny = s.ny;
        setup.empty = -DBL_MAX;
        setup.excluded = DBL_MAX;
        setup.radius = c.radius;
        setup.quadrants = c.quadrants;
        setup.degree = c.degree;
        FillGuards guards;
        guards.guard = c.guard;
        guards.complete = c.complete;
        guards.maxRadius = 4 * c.radius;
        guards.seed = 99;

        std::vector<double> whole = s.grid;
        FillReport report;
        GuardedFill(whole.data(), s.weight.data(), setup, guards, true, report);

        // Every cell, and a few alone, in an order of their own.
        std::vector<long long> all, some = {300, 7, 5, 0, 390};
        for (long long k = static_cast<long long>(whole.size()) - 1; k >= 0; --k) {
            all.push_back(k);
        }
        for (const std::vector<long long> *positions : {&all, &some}) {
            std::vector<double> values;
            std::vector<unsigned char> filled;
            FillCellsAt(s.grid.data(), s.weight.data(), setup, guards, *positions, values,
                        filled);
            ASSERT_EQ(values.size(), positions->size());
            for (std::size_t j = 0; j < positions->size(); ++j) {
                std::size_t k = static_cast<std::size_t>((*positions)[j]);
                bool holds = report.source[k] >= 0;
                EXPECT_EQ(filled[j] != 0, holds) << "cell " << k;
                if (holds) {
                    EXPECT_EQ(std::memcmp(&values[j], &whole[k], sizeof(double)), 0)
                        << "cell " << k << ": " << values[j] << " against " << whole[k];
                }
            }
        }
        if (!c.complete) {
            EXPECT_GT(report.emptyCells, 0);
        }
    }
}

} // namespace
