/*
 * Text.h --
 *
 *	Numbers as their text gives them.  Array elements and callback
 *	answers are defined to be read as Tcl_GetDouble reads their string;
 *	these helpers read an object as its text would be read without
 *	always going through that text, and write the "%f" text of a double
 *	(the abscissa handed to a basis callback).  Internal to the library.
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
 * Reads objects as Tcl_GetDouble reads their text.  Only a double object
 * can read otherwise than its text (a rounding tcl_precision prints it
 * with fewer digits than it has); every other kind of object converts
 * from its text, or exactly as its text would (integers).  So a double is
 * read directly while printed doubles read back, and through its printed
 * text otherwise; the precision is looked at only when a double is met,
 * once until Forget() (after anything that may have changed it, such as a
 * callback).
 */
class TextReader {
public:
    explicit TextReader(Tcl_Interp *interp) : interp_(interp) {}

    /* The double that Tcl_GetDouble gives for the text of obj, with its
     * return code (Tcl's message left on failure). */
    int Read(Tcl_Obj *obj, double *value)
    {
        const Tcl_ObjType *type = obj->typePtr;
        if (type != nullptr && type != other_ && IsDouble(type) && !ReadBack()) {
            return Tcl_GetDouble(interp_, Tcl_GetString(obj), value);
        }
        return Tcl_GetDoubleFromObj(interp_, obj, value);
    }

    /* The script may have run since: look at the precision again. */
    void Forget() { known_ = false; }

private:
    /* Whether a type is Tcl's double type, remembering the last answer
     * of each kind so that a run of elements costs a comparison each. */
    bool IsDouble(const Tcl_ObjType *type);
    bool ReadBack();

    Tcl_Interp *interp_;
    const Tcl_ObjType *double_ = nullptr;
    const Tcl_ObjType *other_ = nullptr;
    bool known_ = false;
    bool readBack_ = false;
};

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
