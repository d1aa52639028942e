// ArrayMath_C called directly: strides whose next index passes INT_MAX.
#include <gtest/gtest.h>

#include <climits>
#include <cstddef>

#include "Sparse.h"
#include "kardum.h"

// Len just above 2^30 with strides just above half of it: the index after
// the last place visited lies beyond INT_MAX, and the scan must still stop
// after two places instead of wrapping to a negative index.
TEST(ArrayMath, StridesPastIntMaxStopAfterTheLastPlace)
{
    const int len = (1 << 30) + 2;
    const int step = (1 << 30) + 1;
    Sparse a1(len), out(len);
    ASSERT_NE(a1.get(), nullptr);
    ASSERT_NE(out.get(), nullptr);
    a1.get()[0] = 1.0;
    a1.get()[step] = 2.0;

    double zero = 0.0;
    EXPECT_EQ(ArrayMath_C(a1.get(), 'S', &zero, nullptr, len, step, 0, 1), 3.0);
    EXPECT_EQ(ArrayMath_C(a1.get(), 'A', &zero, nullptr, len, step, 0, 1), 1.5);

    // The result and second-operand strides pass INT_MAX in the same way.
    double ten = 10.0;
    EXPECT_EQ(ArrayMath_C(a1.get(), '+', &ten, out.get(), len, step, 0, step), 0.0);
    EXPECT_EQ(out.get()[0], 11.0);
    EXPECT_EQ(out.get()[step], 12.0);
    EXPECT_EQ(ArrayMath_C(a1.get(), '*', a1.get(), out.get(), len, step, step, step), 0.0);
    EXPECT_EQ(out.get()[0], 1.0);
    EXPECT_EQ(out.get()[step], 4.0);
}
