/*
 * Elements.cpp --
 *
 *	Reading settings arrays element by element (see Elements.h).
 */

#include "Elements.h"

#include "Frame.h"
#include "Interrupt.h"

namespace kardum {

std::string Elements::Name(int index) const
{
    return array_ + "(" + std::to_string(index) + ")";
}

const char *Elements::Text(int index) const
{
    std::string key = std::to_string(index);
    const char *text = Tcl_GetVar2(interp_, array_.c_str(), key.c_str(), TCL_LEAVE_ERR_MSG);
    if (text == nullptr) {
        CheckAccess(interp_);           /* a trace stopped: Tcl's error */
    }
    return text;
}

const char *Elements::RequiredText(int index) const
{
    const char *text = Text(index);
    if (text == nullptr) {
        Fail("%s: %s is missing", cmd_, Name(index).c_str());
    }
    return text;
}

double Elements::RequiredDouble(int index) const
{
    const char *text = RequiredText(index);
    double value = 0.0;
    if (Tcl_GetDouble(interp_, text, &value) != TCL_OK) {
        Fail("%s: %s must be a number, got \"%s\"", cmd_, Name(index).c_str(), text);
    }
    return value;
}

int Elements::RequiredInt(int index) const
{
    const char *text = RequiredText(index);
    int value = 0;
    if (Tcl_GetInt(interp_, text, &value) != TCL_OK) {
        Fail("%s: %s must be an integer, got \"%s\"", cmd_, Name(index).c_str(), text);
    }
    return value;
}

void Elements::OptionalInt(int index, int &value) const
{
    const char *text = Text(index);
    int read = value;
    if (text != nullptr && Tcl_GetInt(interp_, text, &read) == TCL_OK) {
        value = read;
    }
}

void Elements::OptionalDouble(int index, double &value) const
{
    const char *text = Text(index);
    double read = value;
    if (text != nullptr && Tcl_GetDouble(interp_, text, &read) == TCL_OK) {
        value = read;
    }
}

} // namespace kardum
