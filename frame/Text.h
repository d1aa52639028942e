/*
 * Text.h --
 *
 *	Numbers as the text path has them: how an object's value reads as
 *	its text, and the "%f" text of a double.  Internal to the library.
 */

#ifndef KARDUM_TEXT_H
#define KARDUM_TEXT_H

#include <tcl.h>

namespace kardum {

/*
 * True when doubles print (Tcl_PrintDouble, the interpreter's
 * tcl_precision) as text that reads back as the same double: precision 0
 * (the shortest such text) or 17.
 */
bool PrintedDoublesReadBack(Tcl_Interp *interp);

/*
 * The double that Tcl_GetDouble gives for the text of obj, with its
 * return code (a message left on failure).  When printed doubles read
 * back (`readBack`), a number object gives its value directly, without
 * printing and parsing it again; otherwise the text is made and parsed.
 */
int TextDouble(Tcl_Interp *interp, Tcl_Obj *obj, double *value, bool readBack);

/* Room for the "%f" text of any double: up to 309 digits, sign, point,
 * six decimals and the terminating NUL. */
constexpr int kFixedTextSize = 330;

/*
 * Writes the text that sprintf's "%f" gives for x into buf (at least
 * kFixedTextSize chars) and returns its length.  Numbers of ordinary size
 * are converted exactly in integer arithmetic; the others go through
 * sprintf itself.
 */
int FormatFixed(char *buf, double x);

} // namespace kardum

#endif /* KARDUM_TEXT_H */
