/*
 * Elements.h --
 *
 *	Reading the elements of a small settings array (a grid descriptor,
 *	fill settings) by decimal element name.  Lookups pass
 *	TCL_LEAVE_ERR_MSG like every array read of the library, so a missing
 *	element leaves Tcl's message in the interpreter result.  An element
 *	without a default that is missing or does not convert is a call
 *	outside the data model: the Required readers throw ArgError naming it,
 *	for example "KDdataGrid: gI(4) is missing".  Internal to the library.
 */

#ifndef KARDUM_ELEMENTS_H
#define KARDUM_ELEMENTS_H

#include <tcl.h>

#include <string>

namespace kardum {

class Elements {
public:
    /* `cmd` prefixes the messages; `array` names the Tcl array variable. */
    Elements(Tcl_Interp *interp, const char *cmd, Tcl_Obj *array)
        : interp_(interp), cmd_(cmd), array_(Tcl_GetString(array)) {}

    /* The element's text, or null when it does not exist. */
    const char *Text(int index) const;

    /* Required elements: ArgError when missing or not convertible. */
    const char *RequiredText(int index) const;
    double RequiredDouble(int index) const;
    int RequiredInt(int index) const;

    /* Elements with a default: kept when missing or not convertible. */
    void OptionalInt(int index, int &value) const;
    void OptionalDouble(int index, double &value) const;

    /* "<array>(<index>)", for messages about an element's value. */
    std::string Name(int index) const;

    const char *Command() const { return cmd_; }

private:
    Tcl_Interp *interp_;
    const char *cmd_;
    std::string array_;
};

} // namespace kardum

#endif /* KARDUM_ELEMENTS_H */
