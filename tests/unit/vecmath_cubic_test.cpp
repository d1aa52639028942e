// VecMath_C, MatrixMath_C and SolveCubic_C on their own: what the workers
// leave alone, NaN handling and exact values of the closed forms.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "kardum.h"

TEST(VecMath, OutputIsLeftAloneWhereNothingIsComputed)
{
    double x[3] = {0, 0, 0}, y[3] = {1, 2, 3};
    double out[3] = {7, 7, 7};
    EXPECT_EQ(VecMath_C(x, 'U', y, out, 3, 3, 0), 0.0);
    EXPECT_EQ(VecMath_C(x, '?', y, out, 3, 3, 0), 0.0);
    EXPECT_EQ(VecMath_C(x, 'D', y, out, 3, 3, 0), 0.0);
    for (double v : out) {
        EXPECT_EQ(v, 7.0);
    }
}

TEST(VecMath, NaNMagnitudeIsNotZeroSoTheUnitVectorDivides)
{
    double nan = std::numeric_limits<double>::quiet_NaN();
    double x[3] = {1, nan, 0}, y[3] = {0, 0, 0};
    double out[3] = {7, 7, 7};
    EXPECT_TRUE(std::isnan(VecMath_C(x, 'U', y, out, 3, 3, 0)));
    for (double v : out) {
        EXPECT_TRUE(std::isnan(v));
    }
}

TEST(VecMath, DotProductIgnoresTheRotation)
{
    double x[3] = {1, 2, 3}, y[3] = {4, 5, 6}, out[3] = {};
    EXPECT_EQ(VecMath_C(x, 'D', y, out, 3, 3, 2), 32.0);
    EXPECT_EQ(VecMath_C(x, '+', y, out, 3, 3, 2), 0.0);
    EXPECT_EQ(out[0], 7.0);   // x[0] + y[2]
    EXPECT_EQ(out[1], 6.0);   // x[1] + y[0]
    EXPECT_EQ(out[2], 8.0);   // x[2] + y[1]
}

TEST(MatrixMath, UnknownActionLeavesTheOutputAlone)
{
    double a[4] = {1, 2, 3, 4}, b[4] = {5, 6, 7, 8}, out[4] = {9, 9, 9, 9};
    int dim[2] = {2, 2};
    EXPECT_EQ(MatrixMath_C(a, 'X', b, out, dim, dim), 0.0);
    for (double v : out) {
        EXPECT_EQ(v, 9.0);
    }
}

TEST(SolveCubic, ClosedFormValuesAreExact)
{
    double out[5];
    ASSERT_EQ(SolveCubic_C(1, 0, 0, -1, out), 5);
    EXPECT_EQ(out[0], 1.0);
    EXPECT_EQ(out[1], -0.5);
    EXPECT_EQ(out[2], -0.5);
    EXPECT_EQ(out[3], 0.8660254037844386);
    EXPECT_EQ(out[4], -0.8660254037844386);

    // (x - 1)^2 (x + 2): the two cube roots agree, so three values.
    ASSERT_EQ(SolveCubic_C(1, 0, -3, 2, out), 3);
    EXPECT_EQ(out[0], -2.0);
    EXPECT_EQ(out[1], 1.0);
    EXPECT_EQ(out[2], 1.0);
}
