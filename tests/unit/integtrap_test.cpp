// IntegTrap_C called directly from native code.
#include "TclFixture.h"

#include <cmath>

using IntegTrap = TclFixture;

TEST_F(IntegTrap, StagesInTheCallersFrame)
{
    Eval("proc sq {x h k i} {incr ::calls; expr {$x * $x}}; set calls 0");
    EXPECT_EQ(IntegTrap_C(interp, "sq", 0.0, 1.0, 0, 0.0, 0), 0.5);
    EXPECT_EQ(IntegTrap_C(interp, "sq", 0.0, 1.0, 3, 0.375, 0), 0.34375);
    EXPECT_EQ(Eval("set calls"), "4");
}

TEST_F(IntegTrap, UndefinedAnswerOrHugeStageGivesNaN)
{
    Eval("proc silent {args} {}; set calls 0");
    EXPECT_TRUE(std::isnan(IntegTrap_C(interp, "silent", 0.0, 1.0, 1, 0.0, 1)));
    EXPECT_EQ(Result(), "can't read \"OuT(0)\": no such variable");

    Eval("proc count {args} {incr ::calls}");
    EXPECT_TRUE(std::isnan(IntegTrap_C(interp, "count", 0.0, 1.0, 33, 0.0, 0)));
    EXPECT_EQ(Eval("set calls"), "0");
}
