// The "%f" text of a double made in integer arithmetic: the same text as
// the C library's, for every kind of value.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "frame/Text.h"

namespace {

void ExpectLikeSprintf(double x)
{
    char mine[kardum::kFixedTextSize];
    char libc[kardum::kFixedTextSize];
    int n = kardum::FormatFixed(mine, x);
    int m = std::snprintf(libc, sizeof libc, "%f", x);
    ASSERT_EQ(std::string(mine), std::string(libc)) << "%a of the value: " << x;
    ASSERT_EQ(n, m) << libc;
}

} // namespace

TEST(FormatFixed, EdgeValues)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double values[] = {
        0.0, -0.0, 1.0, -1.0, 0.5, 0.0000004, 0.0000005, 0.0000006, -0.0000004,
        0.0000015, 0.0000025, 1e-7, 5e-7, 4.9406564584124654e-324, -4.9406564584124654e-324,
        2.2250738585072014e-308, 1e-300, 0.1, 0.2, 0.3, 1.0 / 3.0, 2.0 / 3.0,
        999999.9999995, 999999.9999994999, 0.9999995, 0.9999994999999999, 1.0000005,
        123456789.123456789, 9007199254740992.0, 9007199254740993.0,
        9223372036854775807.0, 9223372036854774784.0, 9223372036854775808.0,
        18446744073709551616.0, 1e300, -1e300, 1.7976931348623157e308, inf, -inf,
        std::numeric_limits<double>::quiet_NaN(),
    };
    for (double x : values) {
        ExpectLikeSprintf(x);
    }
}

// Values with few fractional bits fall exactly half-way between two
// six-decimal results (k/128, k/2^20, ...): ties go to the even digit.
TEST(FormatFixed, TiesGoToEven)
{
    for (int p = 1; p <= 30; ++p) {
        for (int k = -300; k <= 300; ++k) {
            ExpectLikeSprintf(std::ldexp(static_cast<double>(k), -p));
            ExpectLikeSprintf(std::ldexp(static_cast<double>(k), -p) + 1000.0);
        }
    }
}

TEST(FormatFixed, RandomValuesOfEveryMagnitude)
{
    std::mt19937_64 gen(2718);
    std::uniform_int_distribution<std::uint64_t> bits;
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (int i = 0; i < 200000; ++i) {
        // Any bit pattern (every exponent, subnormals, NaN, infinities).
        std::uint64_t b = bits(gen);
        double x;
        std::memcpy(&x, &b, sizeof x);
        ExpectLikeSprintf(x);
        // Magnitudes around the six decimals and up to 2^64.
        ExpectLikeSprintf(std::ldexp(unit(gen), static_cast<int>(i % 90) - 25));
    }
}
