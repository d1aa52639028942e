/*
 * Seed.h --
 *
 *	The random generator's seed as the script sees it: the global variable
 *	Rnd1Seed, reached through the name rSeed linked into the calling frame.
 *	Shared by KDdataRnd1 and KDgridFill2D.  Internal to the library.
 */

#ifndef KARDUM_DATA_SEED_H
#define KARDUM_DATA_SEED_H

#include <tcl.h>

namespace kardum {

/* Seed used when the variable is missing or holds no leading integer. */
constexpr int kDefaultSeed = 566378;

/*
 * The seed from the text of the seed variable, read as "%d" reads it:
 * leading white space, an optional sign, decimal digits, anything after
 * them ignored.  Digits beyond the 32-bit range wrap around like the
 * generator's arithmetic; a text without leading digits gives the default.
 */
int ParseSeed(const char *text);

/*
 * Links rSeed in the calling frame to the global Rnd1Seed (harmlessly
 * failing when the frame already has its own rSeed, which then serves as
 * the seed) and reads it.
 */
int ReadSeed(Tcl_Interp *interp);

/* Stores the advanced seed through rSeed as "%d" text. */
void WriteSeed(Tcl_Interp *interp, int seed);

} // namespace kardum

#endif /* KARDUM_DATA_SEED_H */
