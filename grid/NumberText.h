/*
 * NumberText.h --
 *
 *	Numbers as the package's files hold them: written as the shortest
 *	text that reads back as the same double, read exactly, both without
 *	regard to the C library's locale (a decimal comma never appears).
 *	Internal to the library.
 */

#ifndef KARDUM_GRID_NUMBERTEXT_H
#define KARDUM_GRID_NUMBERTEXT_H

#include <cfloat>
#include <charconv>
#include <cstdint>
#include <string>
#include <system_error>

namespace kardum::package {

/* Room for the shortest round-trip text of any double. */
constexpr int kNumberTextSize = 32;

/* Writes the shortest text of v that reads back as v; returns the end. */
inline char *WriteNumber(char *at, double v)
{
    return std::to_chars(at, at + kNumberTextSize, v).ptr;
}

inline void AppendNumber(std::string &out, double v)
{
    char buf[kNumberTextSize];
    out.append(buf, WriteNumber(buf, v));
}

/*
 * Reads one number from first .. last, as strtod would read it in the C
 * locale but without hex forms: an optional sign, digits with an optional
 * point, an optional exponent; also inf and nan.  Returns the end of the
 * number, or nullptr when the text does not start with one or it is out of
 * the range of doubles.
 */
inline const char *ReadNumber(const char *first, const char *last, double &v)
{
#if FLT_EVAL_METHOD == 0
    {
        /* The usual short decimal, at most 19 digits with at most 22 after
         * the point and no exponent, read in integers: its digits w are
         * exact in a double when below 2^53, and so is 10^k for k up to
         * 22, so w / 10^k rounds once, to the nearest double, as a
         * correctly rounded reading does.  Anything else goes on below. */
        static constexpr double kPow10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                              1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                              1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
        const char *at = first;
        bool negative = at < last && *at == '-';
        if (at < last && (*at == '-' || *at == '+')) {
            ++at;
        }
        std::uint64_t w = 0;
        int digits = 0, after = 0;
        while (at < last && *at >= '0' && *at <= '9') {
            w = w * 10 + static_cast<unsigned>(*at++ - '0');
            ++digits;
        }
        if (at < last && *at == '.') {
            ++at;
            while (at < last && *at >= '0' && *at <= '9') {
                w = w * 10 + static_cast<unsigned>(*at++ - '0');
                ++digits;
                ++after;
            }
        }
        if (digits > 0 && digits <= 19 && after <= 22 && w <= (std::uint64_t{1} << 53) &&
            !(at < last && (*at == 'e' || *at == 'E'))) {
            double d = static_cast<double>(w) / kPow10[after];
            v = negative ? -d : d;
            return at;
        }
    }
#endif
    const char *at = first;
    if (at < last && *at == '+') {
        ++at;                       /* from_chars takes no plus sign */
        if (at < last && *at == '-') {
            return nullptr;
        }
    }
    auto r = std::from_chars(at, last, v, std::chars_format::general);
    if (r.ec != std::errc()) {
        return nullptr;
    }
    return r.ptr;
}

} // namespace kardum::package

#endif /* KARDUM_GRID_NUMBERTEXT_H */
