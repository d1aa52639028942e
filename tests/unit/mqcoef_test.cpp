// DataMqCoef_C called directly: a pass over no points, and a count of
// fitted parameters below the flags set, which must stay inside the
// regions it is given.
#include "TclFixture.h"

#include <vector>

using MqCoef = TclFixture;

TEST_F(MqCoef, NoPointsZeroesAlphaBetaAndChiSquare)
{
    Name work("W");
    std::vector<double> w(25, 7.0);
    w[3] = 2;
    char flags[2] = {1, 1};
    EXPECT_EQ(DataMqCoef_C(interp, work, nullptr, nullptr, 0, flags, 2, 7, 11,
                           "error {no callback expected}", w.data()),
              1);
    EXPECT_EQ(w[1], 0.0);
    for (int i = 7; i < 13; ++i) {
        EXPECT_EQ(w[i], 0.0) << i;
    }
    EXPECT_EQ(w[13], 7.0);
    // The header and the parameters are published all the same.
    EXPECT_EQ(Eval("list $W(1) $W(3) $W(6)"), "0.0 2.0 7.0");
}

TEST_F(MqCoef, FewerFittedThanFlagsSetStaysInsideItsRegions)
{
    // Three parameters all flagged, but the work array claims one fitted
    // parameter: only the first enters, in a 1x1 alpha and a 1-element
    // beta placed at the very end of an exactly sized array.
    Eval("proc m {} {global W dYdA; foreach j {0 1 2} {set dYdA($j) 2}; "
         "return 1}");
    Name work("W");
    std::vector<double> w(8, 0.0);
    w[3] = 1;
    double y[2] = {2, 3};
    double sig[2] = {1, 1};
    char flags[3] = {1, 1, 1};
    EXPECT_EQ(DataMqCoef_C(interp, work, y, sig, 2, flags, 3, 6, 7,
                           "set FuncRet [m]", w.data()),
              1);
    EXPECT_EQ(w[6], 8.0);   // 2 points * 2 * 2
    EXPECT_EQ(w[7], 6.0);   // (1 + 2) * 2
    EXPECT_EQ(w[1], 5.0);   // 1 + 4
}

// The finishing call of DataNLinLSq_C spreads the packed covariance with
// the same flag test as its steps: only a flag of 1 is fitted, so a native
// caller's flag 2 holds there as well and gets a zero row and column.
TEST_F(MqCoef, FinishingSpreadTakesOnlyFlagOneAsFitted)
{
    Name work("W");
    const int m = 3;
    std::vector<double> w(4 * m * m + 2 * m + 5, 0.0);
    w[3] = 2;                                   // f, the flags of 1
    const int c = m + 5, alpha = m * m + m + 5, beta = 2 * m * m + m + 5;
    const double packed[4] = {4.0, 1.0, 1.0, 2.0};   // alpha over a0, a2
    for (int i = 0; i < 4; ++i) {
        w[alpha + i] = packed[i];
    }
    char flags[m] = {1, 2, 1};
    double par[m] = {0.0, 0.0, 0.0};
    EXPECT_EQ(DataNLinLSq_C(interp, work, nullptr, nullptr, 0, par, flags, m,
                            "error {no callback expected}", w.data()),
              1);
    // inverse of {4 1; 1 2} is {2 -1; -1 4} / 7
    const double inv[9] = {2.0 / 7, 0, -1.0 / 7, 0, 0, 0, -1.0 / 7, 0, 4.0 / 7};
    const double full[9] = {4, 0, 1, 0, 0, 0, 1, 0, 2};
    for (int i = 0; i < m * m; ++i) {
        EXPECT_DOUBLE_EQ(w[c + i], inv[i]) << "covariance " << i;
        EXPECT_EQ(w[alpha + i], full[i]) << "alpha " << i;
    }
    // Region beta served as scratch and holds the packed alpha.
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(w[beta + i], packed[i]) << "beta " << i;
    }
}
