/*
 * Marshal.cpp --
 *
 *	Moving numeric arrays between Tcl array variables and C arrays.
 *	C element i corresponds to the Tcl element named by the decimal text of
 *	first + i.  Variable names resolve in the frame that invoked the
 *	command (TCL_LEAVE_ERR_MSG, never TCL_GLOBAL_ONLY).
 */

#include "kardum.h"
#include "frame/Text.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

/*
 * The element index as a Tcl object whose text is "%d" of the index.  One
 * object serves the whole loop.  Its text is kept in place: the common step
 * from one index to the next increments the decimal digits where they
 * stand, so no index is formatted or allocated anew per element.  The
 * object stays a pure string (no internal representation) and unshared;
 * Tcl keeps a reference to it when it creates an element (the index
 * becomes the hash key), and then a fresh object takes over, so text that
 * Tcl holds on to is never modified.
 */
class IndexObj {
public:
    IndexObj() : obj_(Fresh(nullptr, 0)) {}
    ~IndexObj() { Tcl_DecrRefCount(obj_); }
    IndexObj(const IndexObj &) = delete;
    IndexObj &operator=(const IndexObj &) = delete;

    Tcl_Obj *At(long long index)
    {
        if (obj_->refCount > 1 || obj_->typePtr != nullptr || obj_->bytes == nullptr) {
            Renew();
        }
        if (index == next_ && index > 0) {
            Increment();
        } else {
            obj_->length = std::snprintf(obj_->bytes, kCapacity, "%lld", index);
        }
        next_ = index + 1;
        return obj_;
    }

private:
    /* Room for the text of any long long and its terminating NUL. */
    static constexpr int kCapacity = 24;

    static Tcl_Obj *Fresh(const char *text, int length)
    {
        Tcl_Obj *obj = Tcl_NewObj();
        Tcl_IncrRefCount(obj);
        Tcl_InvalidateStringRep(obj);
        obj->bytes = static_cast<char *>(Tcl_Alloc(kCapacity));
        std::memcpy(obj->bytes, text != nullptr ? text : "", static_cast<std::size_t>(length));
        obj->bytes[length] = '\0';
        obj->length = length;
        return obj;
    }

    /* A fresh object with the text of the current one. */
    void Renew()
    {
        Tcl_Obj *old = obj_;
        if (old->bytes == nullptr) {
            next_ = 0;                  /* no text to step from */
        }
        obj_ = Fresh(old->bytes, old->bytes != nullptr ? old->length : 0);
        Tcl_DecrRefCount(old);
    }

    /* Adds one to the non-negative decimal text in place. */
    void Increment()
    {
        char *digits = obj_->bytes;
        int n = obj_->length;
        int i = n - 1;
        while (i >= 0 && digits[i] == '9') {
            digits[i--] = '0';
        }
        if (i >= 0) {
            ++digits[i];
            return;
        }
        std::memmove(digits + 1, digits, static_cast<std::size_t>(n));
        digits[0] = '1';
        digits[n + 1] = '\0';
        obj_->length = n + 1;
    }

    Tcl_Obj *obj_;
    /* The index after the one the text holds (0: none yet). */
    long long next_ = 0;
};

/*
 * True when Tcl_PrintDouble writes the shortest text that reads back as the
 * same double, that is when tcl_precision is 0.  Then a pure double object
 * reads back exactly as the printed text would, and Tcl prints it only if
 * the script asks for its text, as it does for any double the script
 * computes itself.  With any other precision the printed (rounded) text is
 * stored, so the element holds what that precision printed.
 */
bool ShortestDoubleText(Tcl_Interp *interp)
{
    static const struct {
        double value;
        const char *text;
    } probes[] = {
        {0.1, "0.1"},
        {1.0 / 3.0, "0.3333333333333333"},
        {0.30000000000000004, "0.30000000000000004"},
    };
    char buf[TCL_DOUBLE_SPACE];
    for (const auto &probe : probes) {
        Tcl_PrintDouble(interp, probe.value, buf);
        if (std::strcmp(buf, probe.text) != 0) {
            return false;
        }
    }
    return true;
}

/* A new value object for one double. */
Tcl_Obj *DoubleValue(Tcl_Interp *interp, double value, bool shortest)
{
    if (shortest && std::isfinite(value)) {
        return Tcl_NewDoubleObj(value);
    }
    char buf[TCL_DOUBLE_SPACE];
    Tcl_PrintDouble(interp, value, buf);
    return Tcl_NewStringObj(buf, -1);
}

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

/* Stores the converted value of one element; a value that does not convert
 * leaves the slot as it was. */
void Store(Tcl_Interp *interp, Tcl_Obj *value, void *array, int i, char type,
           kardum::TextReader &reader)
{
    if (IsReal(type)) {
        double d;
        if (reader.Read(value, &d) != TCL_OK) {
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
    if (Tcl_GetIntFromObj(interp, value, &v) != TCL_OK) {
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
    if (!Readable(type)) {
        return 0;
    }
    /* Element values convert as their text would (see TextReader). */
    kardum::TextReader reader(interp);
    IndexObj index;
    int count = 0;
    for (int i = 0; i < len; ++i) {
        Tcl_Obj *value = Tcl_ObjGetVar2(interp, name, index.At(static_cast<long long>(first) + i),
                                        TCL_LEAVE_ERR_MSG);
        if (value == nullptr) {
            continue;
        }
        Store(interp, value, array, i, type, reader);
        ++count;
    }
    return count;
}

extern "C" int CArrayToTcl(Tcl_Interp *interp, Tcl_Obj *name, void *array,
                           int len, int first, char type)
{
    if (!Writable(type)) {
        return 1;
    }
    bool shortest = IsReal(type) && ShortestDoubleText(interp);
    IndexObj index;
    for (int i = 0; i < len; ++i) {
        Tcl_Obj *value = IsReal(type)
            ? DoubleValue(interp, RealAt(array, i, type), shortest)
            : Tcl_NewIntObj(IntAt(array, i, type));
        Tcl_IncrRefCount(value);
        Tcl_ObjSetVar2(interp, name, index.At(static_cast<long long>(first) + i), value,
                       TCL_LEAVE_ERR_MSG);
        Tcl_DecrRefCount(value);
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
