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

#include <charconv>
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
