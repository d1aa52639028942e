/*
 * Text.cpp --
 *
 *	Numbers as their text gives them (see Text.h).
 */

#include "frame/Text.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace kardum {

bool PrintedDoublesReadBack(Tcl_Interp *interp)
{
    /* Seventeen significant digits are needed for this value: any
     * precision from 1 to 16 prints fewer, so the text differs. */
    char buf[TCL_DOUBLE_SPACE];
    Tcl_PrintDouble(interp, 0.30000000000000004, buf);
    return std::strcmp(buf, "0.30000000000000004") == 0;
}

bool TextReader::IsDouble(const Tcl_ObjType *type)
{
    if (type == double_) {
        return true;
    }
    if (std::strcmp(type->name, "double") == 0) {
        double_ = type;
        return true;
    }
    other_ = type;
    return false;
}

bool TextReader::ReadBack()
{
    if (!known_) {
        readBack_ = PrintedDoublesReadBack(interp_);
        known_ = true;
    }
    return readBack_;
}

int FormatFixed(char *buf, double x)
{
#if defined(__SIZEOF_INT128__)
    /*
     * x = m * 2^e exactly.  "%f" prints x * 10^6 rounded to an integer
     * (ties to even, as the C library does in the default rounding mode)
     * with the point six digits from the right.  Below 2^63 in magnitude
     * that integer, and x * 10^6 * 2^-e on the way, fit in 128 bits.
     */
    if (std::isfinite(x) && std::fabs(x) < 9223372036854775808.0) {
        typedef unsigned __int128 U128;
        int e = 0;
        double f = std::frexp(std::fabs(x), &e);       /* |x| = f * 2^e */
        std::uint64_t m = static_cast<std::uint64_t>(std::ldexp(f, 53));
        e -= 53;                                         /* |x| = m * 2^e */
        U128 scaled;
        if (e >= 0) {
            scaled = (static_cast<U128>(m) * 1000000u) << e;
        } else {
            int s = -e;
            U128 n = static_cast<U128>(m) * 1000000u;    /* below 2^73 */
            if (s > 74) {
                scaled = 0;                              /* below one half */
            } else {
                U128 q = n >> s;
                U128 r = n - (q << s);
                U128 half = static_cast<U128>(1) << (s - 1);
                if (r > half || (r == half && (q & 1) != 0)) {
                    ++q;
                }
                scaled = q;
            }
        }
        std::uint64_t whole = static_cast<std::uint64_t>(scaled / 1000000u);
        unsigned frac = static_cast<unsigned>(scaled % 1000000u);

        char digits[24];
        int nd = 0;
        do {
            digits[nd++] = static_cast<char>('0' + whole % 10);
            whole /= 10;
        } while (whole != 0);
        int len = 0;
        if (std::signbit(x)) {
            buf[len++] = '-';
        }
        while (nd > 0) {
            buf[len++] = digits[--nd];
        }
        buf[len++] = '.';
        for (int k = 5; k >= 0; --k) {
            buf[len + k] = static_cast<char>('0' + frac % 10);
            frac /= 10;
        }
        len += 6;
        buf[len] = '\0';
        return len;
    }
#endif
    return std::snprintf(buf, kFixedTextSize, "%f", x);
}

} // namespace kardum
