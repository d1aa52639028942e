/*
 * Seed.cpp --
 *
 *	Reading and writing the random generator's seed variable (Seed.h).
 */

#include "data/Seed.h"

#include <cctype>
#include <cstdint>
#include <cstdio>

namespace kardum {

int ParseSeed(const char *text)
{
    const unsigned char *c = reinterpret_cast<const unsigned char *>(text);
    while (std::isspace(*c)) {
        ++c;
    }
    bool negative = *c == '-';
    if (*c == '+' || *c == '-') {
        ++c;
    }
    if (!std::isdigit(*c)) {
        return kDefaultSeed;
    }
    std::uint32_t value = 0;
    for (; std::isdigit(*c); ++c) {
        value = value * 10u + static_cast<std::uint32_t>(*c - '0');
    }
    return static_cast<std::int32_t>(negative ? 0u - value : value);
}

int ReadSeed(Tcl_Interp *interp)
{
    Tcl_UpVar(interp, "#0", "Rnd1Seed", "rSeed", 0);
    const char *text = Tcl_GetVar(interp, "rSeed", TCL_LEAVE_ERR_MSG);
    return text == nullptr ? kDefaultSeed : ParseSeed(text);
}

void WriteSeed(Tcl_Interp *interp, int seed)
{
    char text[16];
    std::snprintf(text, sizeof text, "%d", seed);
    Tcl_SetVar(interp, "rSeed", text, TCL_LEAVE_ERR_MSG);
}

} // namespace kardum
