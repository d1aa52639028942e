/*
 * Marshal.cpp --
 *
 *	Moving numeric arrays between Tcl array variables and C arrays.
 *	C element i corresponds to the Tcl element named by the decimal text of
 *	first + i.  Variable names resolve in the frame that invoked the
 *	command (TCL_LEAVE_ERR_MSG, never TCL_GLOBAL_ONLY).
 */

#include "kardum.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

/* Decimal text of an element index, "%d". */
struct IndexText {
    char text[16];
    explicit IndexText(long long index)
    {
        std::snprintf(text, sizeof text, "%lld", index);
    }
};

bool Readable(char type)
{
    return type == 'D' || type == 'F' || type == 'L' || type == 'S' ||
           type == 'C';
}

bool Writable(char type)
{
    return Readable(type) || type == 'l' || type == 's' || type == 'c';
}

/* Integer value of C element i for the integer codes. */
int IntAt(const void *array, int i, char type)
{
    switch (type) {
    case 'L':
    case 'l':
        return static_cast<const std::int32_t *>(array)[i];
    case 'S':
        return static_cast<const std::int16_t *>(array)[i];
    case 's':
        return static_cast<const std::uint16_t *>(array)[i];
    case 'C':
        return static_cast<const std::int8_t *>(array)[i];
    default: /* 'c' */
        return static_cast<const std::uint8_t *>(array)[i];
    }
}

bool IsReal(char type)
{
    return type == 'D' || type == 'F';
}

double RealAt(const void *array, int i, char type)
{
    return type == 'D' ? static_cast<const double *>(array)[i]
                       : static_cast<double>(static_cast<const float *>(array)[i]);
}

/* Stores the converted text of one element; a text that does not convert
 * leaves the slot as it was. */
void Store(Tcl_Interp *interp, const char *text, void *array, int i, char type)
{
    if (IsReal(type)) {
        double d;
        if (Tcl_GetDouble(interp, text, &d) != TCL_OK) {
            return;
        }
        if (type == 'D') {
            static_cast<double *>(array)[i] = d;
        } else {
            static_cast<float *>(array)[i] = static_cast<float>(d);
        }
        return;
    }
    int v;
    if (Tcl_GetInt(interp, text, &v) != TCL_OK) {
        return;
    }
    switch (type) {
    case 'L':
        static_cast<std::int32_t *>(array)[i] = v;
        break;
    case 'S':
        static_cast<std::int16_t *>(array)[i] = static_cast<std::int16_t>(v);
        break;
    default: /* 'C' */
        static_cast<std::int8_t *>(array)[i] = static_cast<std::int8_t>(v);
        break;
    }
}

} // namespace

extern "C" int TclArrayToC(Tcl_Interp *interp, Tcl_Obj *name, void *array,
                           int len, int first, char type)
{
    const char *var = Tcl_GetString(name);
    if (!Readable(type)) {
        return 0;
    }
    int count = 0;
    for (int i = 0; i < len; ++i) {
        IndexText index(static_cast<long long>(first) + i);
        const char *text = Tcl_GetVar2(interp, var, index.text, TCL_LEAVE_ERR_MSG);
        if (text == nullptr) {
            continue;
        }
        Store(interp, text, array, i, type);
        ++count;
    }
    return count;
}

extern "C" int CArrayToTcl(Tcl_Interp *interp, Tcl_Obj *name, void *array,
                           int len, int first, char type)
{
    const char *var = Tcl_GetString(name);
    if (!Writable(type)) {
        return 1;
    }
    char value[TCL_DOUBLE_SPACE + 16];
    for (int i = 0; i < len; ++i) {
        IndexText index(static_cast<long long>(first) + i);
        if (IsReal(type)) {
            Tcl_PrintDouble(interp, RealAt(array, i, type), value);
        } else {
            std::snprintf(value, sizeof value, "%d", IntAt(array, i, type));
        }
        Tcl_SetVar2(interp, var, index.text, value, TCL_LEAVE_ERR_MSG);
    }
    return 1;
}

extern "C" int CArrayToList(Tcl_Interp *interp, Tcl_Obj *name, void *array,
                            int len, char type)
{
    if (!Writable(type)) {
        return 1;
    }
    if (len < 0) {
        len = 0;
    }
    std::vector<Tcl_Obj *> items;
    try {
        items.resize(static_cast<std::size_t>(len));
    } catch (...) {
        return 1;
    }
    for (int i = 0; i < len; ++i) {
        items[i] = IsReal(type) ? Tcl_NewDoubleObj(RealAt(array, i, type))
                                : Tcl_NewIntObj(IntAt(array, i, type));
    }
    Tcl_Obj *value = Tcl_ObjGetVar2(interp, name, nullptr, 0);
    if (value == nullptr) {
        value = Tcl_NewObj();
    } else if (Tcl_IsShared(value)) {
        value = Tcl_DuplicateObj(value);
    }
    Tcl_SetListObj(value, len, items.data());
    Tcl_ObjSetVar2(interp, name, nullptr, value, TCL_LEAVE_ERR_MSG);
    return 1;
}
