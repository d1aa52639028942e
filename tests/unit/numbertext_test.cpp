// Numbers read from the package's files: the short decimals read in
// integers must give exactly what a correctly rounded reading
// (std::from_chars) gives, and stop where it stops.
#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "grid/NumberText.h"

namespace {

/* The reading without the integer shortcut: an optional plus sign, then
 * std::from_chars. */
const char *Reference(const char *first, const char *last, double &v)
{
    const char *at = first;
    if (at < last && *at == '+') {
        ++at;
        if (at < last && *at == '-') {
            return nullptr;
        }
    }
    auto r = std::from_chars(at, last, v, std::chars_format::general);
    return r.ec == std::errc() ? r.ptr : nullptr;
}

void ExpectLikeReference(const std::string &text)
{
    const char *first = text.data(), *last = first + text.size();
    double mine = 0.25, ref = 0.25;
    const char *a = kardum::package::ReadNumber(first, last, mine);
    const char *b = Reference(first, last, ref);
    ASSERT_EQ(a == nullptr, b == nullptr) << '"' << text << '"';
    if (a != nullptr) {
        ASSERT_EQ(a - first, b - first) << '"' << text << '"';
        std::uint64_t x, y;
        std::memcpy(&x, &mine, 8);
        std::memcpy(&y, &ref, 8);
        ASSERT_EQ(x, y) << '"' << text << '"';
    }
}

} // namespace

TEST(ReadNumber, EdgeTexts)
{
    for (const char *t : {"5.", ".5", ".", "-", "+", "+-5", "-+5", "-0", "-0.0", "+.5", "00",
                          "9007199254740992", "9007199254740993", "9007199254740993.0",
                          "1234567890123456789", "12345678901234567890", "0.1", "0.3",
                          "0.0000000000000000000001", "0.00000000000000000000001",
                          "-110.9998721", "1e5", "1.5e", "5E-3", "12x", "1.2.3", "1,5", "0x1p3",
                          "inf", "-nan", ""}) {
        ExpectLikeReference(t);
    }
}

TEST(ReadNumber, RandomDecimals)
{
    std::mt19937_64 g(2026);
    char buf[64];
    for (int i = 0; i < 300000; ++i) {
        switch (i % 3) {
        case 0:         /* any digits, the point anywhere (or nowhere) */
        {
            std::uint64_t w = g() >> (g() % 64);
            int k = static_cast<int>(g() % 25);
            int n = std::snprintf(buf, sizeof buf, "%s%llu", g() % 2 ? "-" : "",
                                  static_cast<unsigned long long>(w));
            int digits = n - (buf[0] == '-');
            if (k < digits) {
                std::memmove(buf + n - k + 1, buf + n - k, static_cast<std::size_t>(k) + 1);
                buf[n - k] = '.';
            }
            break;
        }
        case 1:         /* as data files hold them */
            std::snprintf(buf, sizeof buf, "%.10g",
                          std::uniform_real_distribution<double>(-1e6, 1e6)(g));
            break;
        default:        /* 17 digits, past the shortcut */
            std::snprintf(buf, sizeof buf, "%.17g",
                          std::uniform_real_distribution<double>(-1.0, 1.0)(g));
        }
        ExpectLikeReference(buf);
    }
}
