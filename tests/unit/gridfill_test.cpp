// GridFill_C called directly: its contract with native callers.
#include <gtest/gtest.h>

#include "kardum.h"

namespace {

// A 3 by 3 grid, y fastest, empty value -99, excluded -77, wide bounds,
// both boundaries 'N'; the centre cell is empty.
struct Fixture {
    double grid[9] = {1, 2, 3, 4, -99, 6, 7, 8, 9};
    double descriptor[13] = {0, 3, 0, 3, 3, 3, -99, -77, 'C', 'N', 'N', -1e30, 1e30};
    int limits[5] = {0, 0, 0, 0, 0};
    char mode[2] = {'O', 0};
    double p = 1.0;
    int seed = 4242;
};

TEST(GridFill, FillsConvertsTheHighMarginsAndAdvancesTheSeed)
{
    Fixture f;
    f.limits[1] = 1;
    f.limits[3] = 0;
    double table[100];
    int expectedSeed = DataRnd1_C(table, 100, 2, 0.02, f.seed);

    EXPECT_EQ(GridFill_C(f.grid, nullptr, 1, 2, f.mode, &f.p, 1, f.limits,
                         f.descriptor, &f.seed), 1);
    EXPECT_EQ(f.seed, expectedSeed);
    EXPECT_EQ(f.limits[1], 1);  // 3 - 1 - 1
    EXPECT_EQ(f.limits[3], 2);  // 3 - 1 - 0
    // The high-x margin hides column 2: the centre averages its nearest
    // neighbours (0, 1) and (1, 2), which hold 2 and 6.
    EXPECT_DOUBLE_EQ(f.grid[4], 4.0);
}

TEST(GridFill, RejectsSettingsOutsideTheDataModelWithoutTouchingAnything)
{
    struct Case {
        int q, r, degree, lowX;
        double xBoundary;
    } cases[] = {
        {0, 1, 0, 0, 'N'},
        {5, 1, 0, 0, 'N'},
        {1, -1, 0, 0, 'N'},
        {1, 1, 5, 0, 'N'},
        {1, 1, 0, -1, 'N'},
        {1, 4, 0, 0, 'Y'},
    };
    for (const Case &c : cases) {
        Fixture f;
        f.limits[0] = c.lowX;
        f.limits[4] = c.degree;
        f.descriptor[9] = c.xBoundary;
        EXPECT_EQ(GridFill_C(f.grid, nullptr, 1, c.r, f.mode, &f.p, c.q,
                             f.limits, f.descriptor, &f.seed), -1);
        EXPECT_EQ(f.seed, 4242);
        EXPECT_EQ(f.grid[4], -99.0);
    }
}

} // namespace
