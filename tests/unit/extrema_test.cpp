// DataMxMn_C and DataRnd1_C called directly, as the grid filling does.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "kardum.h"

TEST(DataMxMn, NanNeverQualifiesAndBothOutputsAreReset)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    double v[] = {nan, 2.0, nan, -1.0, nan};
    int iMin = 99, iMax = 99;
    DataMxMn_C(v, 5, 'G', -9e30, 9e30, 1, &iMin, &iMax);
    EXPECT_EQ(iMin, 3);
    EXPECT_EQ(iMax, 1);

    iMin = iMax = 99;
    DataMxMn_C(v, 5, '>', -9e30, 9e30, 1, &iMin, &iMax);
    EXPECT_EQ(iMin, -1);
    EXPECT_EQ(iMax, 1);
}

TEST(DataMxMn, InfinitiesAndEqualValues)
{
    const double inf = std::numeric_limits<double>::infinity();
    double v[] = {inf, 4.0, -inf, 4.0, 0.5, 0.5};
    int iMin, iMax;
    DataMxMn_C(v, 6, 'G', -inf, inf, 1, &iMin, &iMax);
    EXPECT_EQ(iMin, 4);  // first of the equal minima; -inf equals Lower
    EXPECT_EQ(iMax, 1);  // first of the equal maxima; inf equals Upper
}

TEST(DataMxMn, UnknownConditionOrStrideBelowOneSearchesNothing)
{
    double v[] = {1.0, 2.0};
    for (auto [cond, step] : {std::pair{'x', 1}, std::pair{'G', 0}, std::pair{'G', -1}}) {
        int iMin = 7, iMax = 7;
        DataMxMn_C(v, 2, cond, -9e30, 9e30, step, &iMin, &iMax);
        EXPECT_EQ(iMin, -1) << cond << step;
        EXPECT_EQ(iMax, -1) << cond << step;
    }
}

TEST(DataRnd1, GridFillCallDrawsMagnitudeAndSignSteps)
{
    // 100 values of random sign, scale 0.02, as the grid filling draws
    // them; each value consumes two generator steps.
    double v[100];
    int seed = DataRnd1_C(v, 100, 2, 0.02, 566378);
    EXPECT_EQ(v[0], -0.7239360809326172 * 0.02);
    EXPECT_EQ(v[1], 0.3787059783935547 * 0.02);

    int s = 566378;
    for (int i = 0; i < 200; ++i) {
        s = static_cast<int>((1027LL * s) % 1048576);
    }
    EXPECT_EQ(seed, s);  // no wrap-around for non-negative 20-bit states
    for (double x : v) {
        EXPECT_LT(std::fabs(x), 0.02);
    }
}

TEST(DataRnd1, ProductWrapsInThirtyTwoBits)
{
    double v[2];
    EXPECT_EQ(DataRnd1_C(v, 1, 0, 1.0, 3000000), -764864);
    EXPECT_EQ(v[0], -764864 / 1048576.0);
    EXPECT_EQ(DataRnd1_C(v, 1, 0, 1.0, -2147483647 - 1), 0);
    // 1027 * (2^31 - 1) wraps to 2^31 - 1027, which stays positive.
    EXPECT_EQ(DataRnd1_C(v, 1, 0, 1.0, 2147483647), 1047549);
}

TEST(DataRnd1, UnknownTypeWritesNothingAndKeepsTheSeed)
{
    double v[2] = {7.0, 7.0};
    EXPECT_EQ(DataRnd1_C(v, 2, 3, 1.0, 12345), 12345);
    EXPECT_EQ(DataRnd1_C(v, 2, -1, 1.0, 12345), 12345);
    EXPECT_EQ(v[0], 7.0);
    EXPECT_EQ(v[1], 7.0);
}
