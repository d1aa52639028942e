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
