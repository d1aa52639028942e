/*
 * Marshal.cpp --
 *
 *	Moving numeric arrays between Tcl array variables and C arrays.
 *	C element i corresponds to the Tcl element named by the decimal text of
 *	first + i.  Variable names resolve in the frame that invoked the
 *	command (TCL_LEAVE_ERR_MSG, never TCL_GLOBAL_ONLY).
 */

#include "kardum.h"
#include "frame/Frame.h"
#include "frame/Interrupt.h"
#include "frame/Marshal.h"
#include "frame/ObjRef.h"
#include "frame/Text.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

using kardum::ObjRef;

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
        return obj_.get();
    }

private:
    /* Room for the text of any long long and its terminating NUL. */
    static constexpr int kCapacity = 24;

    static ObjRef Fresh(const char *text, Tcl_Size length)
    {
        ObjRef ref(Tcl_NewObj());
        Tcl_Obj *obj = ref.get();
        Tcl_InvalidateStringRep(obj);
        obj->bytes = static_cast<char *>(Tcl_Alloc(kCapacity));
        std::memcpy(obj->bytes, text != nullptr ? text : "", static_cast<std::size_t>(length));
        obj->bytes[length] = '\0';
        obj->length = length;
        return ref;
    }

    /* A fresh object with the text of the current one. */
    void Renew()
    {
        if (obj_->bytes == nullptr) {
            next_ = 0;                  /* no text to step from */
        }
        /* The old object goes once the new one holds its text. */
        obj_ = Fresh(obj_->bytes, obj_->bytes != nullptr ? obj_->length : 0);
    }

    /* Adds one to the non-negative decimal text in place. */
    void Increment()
    {
        char *digits = obj_->bytes;
        Tcl_Size n = obj_->length;
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

    ObjRef obj_;
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
 * leaves the slot as it was, Tcl's message in the result, and returns
 * false. */
bool Store(Tcl_Interp *interp, Tcl_Obj *value, void *array, int i, char type,
           kardum::TextReader &reader)
{
    if (IsReal(type)) {
        double d;
        if (reader.Read(value, &d) != TCL_OK) {
            return false;
        }
        if (type == 'D') {
            static_cast<double *>(array)[i] = d;
        } else {
            static_cast<float *>(array)[i] = static_cast<float>(d);
        }
        return true;
    }
    int v;
    if (Tcl_GetIntFromObj(interp, value, &v) != TCL_OK) {
        return false;
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
    return true;
}

} // namespace

namespace {

/*
 * Counts from this on first ask Tcl what the array holds (a few command
 * evaluations); shorter reads go index by index whatever it holds.
 */
constexpr int kInspectFrom = 256;

/*
 * Questions put to Tcl about a variable, in the frame of the command,
 * leaving the interpreter result and error state as they were; except
 * when a question ends because the interpreter is cancelled or past a
 * limit: the stop is then noted and Tcl's message stays.
 */
class Questions {
public:
    explicit Questions(kardum::Interrupt &stop)
        : stop_(stop), state_(Tcl_SaveInterpState(stop.Interp(), TCL_OK)) {}
    ~Questions()
    {
        if (stop_.Stopped()) {
            Tcl_DiscardInterpState(state_);
        } else {
            Tcl_RestoreInterpState(stop_.Interp(), state_);
        }
    }
    Questions(const Questions &) = delete;
    Questions &operator=(const Questions &) = delete;

    /* Runs `words... name` (fully qualified commands of Tcl) and returns
     * its result, or nothing when it fails. */
    ObjRef Ask(std::initializer_list<const char *> words, Tcl_Obj *name)
    {
        if (stop_.Stopped()) {
            return ObjRef();
        }
        std::vector<ObjRef> refs;
        std::vector<Tcl_Obj *> objv;
        refs.reserve(words.size() + 1);
        for (const char *word : words) {
            refs.emplace_back(Tcl_NewStringObj(word, -1));
        }
        refs.emplace_back(name);
        for (const ObjRef &ref : refs) {
            objv.push_back(ref.get());
        }
        Tcl_Interp *interp = stop_.Interp();
        ObjRef result;
        int code = Tcl_EvalObjv(interp, static_cast<int>(objv.size()), objv.data(), 0);
        if (code == TCL_OK) {
            result = ObjRef(Tcl_GetObjResult(interp));
        } else {
            stop_.After(code);
        }
        return result;
    }

    /* A boolean answer, `otherwise` when there is none. */
    bool Boolean(std::initializer_list<const char *> words, Tcl_Obj *name, bool otherwise)
    {
        int value = otherwise;
        if (ObjRef answer = Ask(words, name)) {
            if (Tcl_GetBooleanFromObj(nullptr, answer.get(), &value) != TCL_OK) {
                value = otherwise;
            }
        }
        return value != 0;
    }

    /* The number of traces on the variable (1 when Tcl does not say). */
    Tcl_Size Traces(Tcl_Obj *name)
    {
        Tcl_Size count = 1;
        if (ObjRef traces = Ask({"::trace", "info", "variable"}, name)) {
            if (Tcl_ListObjLength(nullptr, traces.get(), &count) != TCL_OK) {
                count = 1;
            }
        }
        return count;
    }

    /* `array size`, -1 when Tcl does not say; it fires array traces. */
    Tcl_WideInt Size(Tcl_Obj *name)
    {
        Tcl_WideInt size = -1;
        if (ObjRef answer = Ask({"::array", "size"}, name)) {
            if (Tcl_GetWideIntFromObj(nullptr, answer.get(), &size) != TCL_OK) {
                size = -1;
            }
        }
        return size;
    }

private:
    kardum::Interrupt &stop_;
    Tcl_InterpState state_;
};

/* What the read learns of its variable before it starts. */
enum class Kind { Unknown, Traced, Missing, Scalar, Array };

/*
 * Asks `trace info variable` and `info exists`, and reads the variable as
 * a scalar (no trace can fire: there is none).  Cheap whatever the
 * variable holds.  A name with a parenthesis stays Unknown.
 */
Kind Inspect(Tcl_Interp *interp, Tcl_Obj *name, kardum::Interrupt &stop)
{
    if (std::strchr(Tcl_GetString(name), '(') != nullptr) {
        return Kind::Unknown;
    }
    Questions ask(stop);
    if (ask.Traces(name) > 0) {
        return Kind::Traced;
    }
    if (!ask.Boolean({"::info", "exists"}, name, true)) {
        return stop.Stopped() ? Kind::Unknown : Kind::Missing;
    }
    return Tcl_ObjGetVar2(interp, name, nullptr, 0) != nullptr ? Kind::Scalar : Kind::Array;
}

/* `array size` (-1 when Tcl does not say) and `array names` (a new
 * answer, or nothing) of an untraced array. */
Tcl_WideInt ElementCount(Tcl_Obj *name, kardum::Interrupt &stop)
{
    Questions ask(stop);
    return ask.Size(name);
}

ObjRef ElementNames(Tcl_Obj *name, kardum::Interrupt &stop)
{
    Questions ask(stop);
    return ask.Ask({"::array", "names"}, name);
}

/*
 * The index that an element name stands for when it is the "%d" text of
 * an index in [low, high]: no sign but a leading minus, no leading zero,
 * no "-0".
 */
bool CanonicalIndex(const char *text, Tcl_Size length, long long low, long long high,
                    long long *index)
{
    const char *p = text;
    const char *end = text + length;
    bool negative = p < end && *p == '-';
    if (negative) {
        ++p;
    }
    if (p == end || end - p > 19 || *p < '0' || *p > '9' ||
        (*p == '0' && (end - p > 1 || negative))) {
        return false;
    }
    long long value = 0;
    for (; p < end; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        value = value * 10 + (*p - '0');
        if (value > (1LL << 40)) {
            return false;
        }
    }
    value = negative ? -value : value;
    if (value < low || value > high) {
        return false;
    }
    *index = value;
    return true;
}

/*
 * The read of one call.  Element i of the C array is the element named by
 * the "%d" text of first + i; found elements are converted and counted.
 * Every way of reading leaves the interpreter as the plain way does
 * (lookup of every index with TCL_LEAVE_ERR_MSG): the result holds the
 * message of the last element that failed, missing or not converting.
 *
 * Long reads of untraced variables look up without a message, remember
 * the last miss that no later failure has overwritten and look it up once
 * more at the end for its message.  When misses pile up beyond what was
 * found, the read asks how many elements the array has; if they are far
 * fewer than the indices left, it visits the elements the array names
 * instead of the indices.
 */
class Reader {
public:
    Reader(Tcl_Interp *interp, Tcl_Obj *name, void *array, int len, int first,
           char type, kardum::Interrupt &stop)
        : interp_(interp), name_(name), array_(array), len_(len), first_(first),
          type_(type), stop_(stop), reader_(interp) {}

    /* Doubles kept as (index, value) pairs in index order instead of
     * being stored into a C array. */
    Reader(Tcl_Interp *interp, Tcl_Obj *name, kardum::PresentValues &present, int len,
           int first, kardum::Interrupt &stop)
        : interp_(interp), name_(name), array_(nullptr), present_(&present), len_(len),
          first_(first), type_('D'), stop_(stop), reader_(interp) {}

    int Run()
    {
        if (len_ < kInspectFrom) {
            return EveryIndex();
        }
        Kind kind = Inspect(interp_, name_, stop_);
        if (stop_.Stopped()) {
            return 0;
        }
        switch (kind) {
        case Kind::Missing:
        case Kind::Scalar:
            /* No element at all: the one lookup that leaves the message
             * of the last index. */
            Miss(len_ - 1);
            return 0;
        case Kind::Array:
            return Quiet();
        default:
            return EveryIndex();
        }
    }

private:
    /* Misses that make the read ask what the array holds. */
    static constexpr int kMissBudget = 1024;
    /* Texts longer than this may take Tcl a while to convert. */
    static constexpr Tcl_Size kLongText = 64;

    /* Each index with TCL_LEAVE_ERR_MSG: traces see every lookup, as
     * always, and short reads cost no questions. */
    int EveryIndex()
    {
        for (int i = 0; i < len_; ++i) {
            if (stop_.Poll()) {
                return count_;
            }
            Tcl_Obj *value = Tcl_ObjGetVar2(interp_, name_, Index(i), TCL_LEAVE_ERR_MSG);
            if (value != nullptr) {
                Put(i, value);
                ++count_;
            } else if (stop_.AfterAccess()) {
                return count_;
            }
        }
        return count_;
    }

    int Quiet()
    {
        int misses = 0;
        bool asked = false;
        for (int i = 0; i < len_; ++i) {
            if (stop_.Poll()) {
                return count_;
            }
            Tcl_Obj *value = Tcl_ObjGetVar2(interp_, name_, Index(i), 0);
            if (value != nullptr) {
                Found(i, value);
                continue;
            }
            pending_ = i;
            if (++misses >= kMissBudget && misses > count_ && !asked) {
                asked = true;
                Tcl_WideInt size = ElementCount(name_, stop_);
                if (stop_.Stopped()) {
                    return count_;
                }
                if (size >= 0 && size < (static_cast<Tcl_WideInt>(len_) - i) / 2) {
                    return Sparse(i + 1);
                }
            }
        }
        return Finish();
    }

    /* The indices from `from` on, through the element names. */
    int Sparse(int from)
    {
        ObjRef names = ElementNames(name_, stop_);
        Tcl_Size n = 0;
        Tcl_Obj **objv = nullptr;
        if (!names || Tcl_ListObjGetElements(nullptr, names.get(), &n, &objv) != TCL_OK) {
            return stop_.Stopped() ? count_ : QuietFrom(from);
        }
        const long long low = static_cast<long long>(first_) + from;
        const long long high = static_cast<long long>(first_) + len_ - 1;
        std::vector<std::pair<int, Tcl_Obj *>> present;
        for (Tcl_Size k = 0; k < n && !stop_.Poll(); ++k) {
            Tcl_Size length = 0;
            const char *text = Tcl_GetStringFromObj(objv[k], &length);
            long long index;
            if (CanonicalIndex(text, length, low, high, &index)) {
                present.emplace_back(static_cast<int>(index - first_), objv[k]);
            }
        }
        std::sort(present.begin(), present.end(),
                  [](const auto &a, const auto &b) { return a.first < b.first; });
        int next = from;
        for (const auto &element : present) {
            if (stop_.Poll()) {
                break;
            }
            if (element.first > next) {
                pending_ = element.first - 1;
            }
            next = element.first + 1;
            Tcl_Obj *value = Tcl_ObjGetVar2(interp_, name_, element.second, 0);
            if (value != nullptr) {
                Found(element.first, value);
            } else {
                pending_ = element.first;
            }
        }
        names = ObjRef();
        if (stop_.Stopped()) {
            return count_;
        }
        if (next < len_) {
            pending_ = len_ - 1;
        }
        return Finish();
    }

    /* Quiet lookups of the indices from `from` on. */
    int QuietFrom(int from)
    {
        for (int i = from; i < len_; ++i) {
            if (stop_.Poll()) {
                return count_;
            }
            Tcl_Obj *value = Tcl_ObjGetVar2(interp_, name_, Index(i), 0);
            if (value != nullptr) {
                Found(i, value);
            } else {
                pending_ = i;
            }
        }
        return Finish();
    }

    /* A found element: a value that does not convert leaves its own
     * message, which no earlier miss's message would overwrite. */
    void Found(int i, Tcl_Obj *value)
    {
        if (!Put(i, value)) {
            pending_ = -1;
        }
        ++count_;
    }

    /* Converts and keeps one element; false when its text does not
     * convert (Tcl's message left, the place keeps its zero).  Tcl's
     * conversion of a long text may take milliseconds: the clock is read
     * after it. */
    bool Put(int i, Tcl_Obj *value)
    {
        bool costly = value->bytes != nullptr && value->length > kLongText;
        bool stored;
        if (present_ != nullptr) {
            double d;
            stored = reader_.Read(value, &d) == TCL_OK;
            if (stored) {
                present_->emplace_back(i, d);
            }
        } else {
            stored = Store(interp_, value, array_, i, type_, reader_);
        }
        if (costly) {
            stop_.Costly();
        }
        return stored;
    }

    int Finish()
    {
        if (pending_ >= 0) {
            Miss(pending_);
        }
        return count_;
    }

    /* Looks element i up once more so that Tcl leaves its message. */
    void Miss(int i)
    {
        if (Tcl_ObjGetVar2(interp_, name_, Index(i), TCL_LEAVE_ERR_MSG) == nullptr) {
            stop_.AfterAccess();
        }
    }

    Tcl_Obj *Index(int i) { return index_.At(static_cast<long long>(first_) + i); }

    Tcl_Interp *interp_;
    Tcl_Obj *name_;
    void *array_;
    kardum::PresentValues *present_ = nullptr;
    int len_;
    int first_;
    char type_;
    kardum::Interrupt &stop_;
    kardum::TextReader reader_;
    IndexObj index_;
    int count_ = 0;
    /* The last missing index whose message nothing has overwritten. */
    int pending_ = -1;
};

} // namespace

namespace kardum {

int ReadArray(Tcl_Interp *interp, Tcl_Obj *name, void *array, int len, int first,
              char type, Interrupt &stop)
{
    if (!Readable(type) || len <= 0) {
        return 0;
    }
    int found = Reader(interp, name, array, len, first, type, stop).Run();
    stop.Check();
    return found;
}

int ReadPresent(Tcl_Interp *interp, Tcl_Obj *name, PresentValues &present, int len,
                int first, Interrupt &stop)
{
    present.clear();
    if (len <= 0) {
        return 0;
    }
    int found = Reader(interp, name, present, len, first, stop).Run();
    /* A trace may have run the interpreter past a limit in a read that
     * did not fail. */
    stop.Check();
    return found;
}

VariableShape AskShape(Tcl_Obj *name, Interrupt &stop)
{
    VariableShape shape;
    Questions ask(stop);
    bool exists = ask.Boolean({"::info", "exists"}, name, false);
    bool isArray = ask.Boolean({"::array", "exists"}, name, true);
    shape.scalar = exists && !isArray;
    /* `array size` would fire an array trace: a traced array counts as
     * empty. */
    if (isArray && ask.Traces(name) == 0) {
        Tcl_WideInt size = ask.Size(name);
        shape.elements = size > 0 ? static_cast<std::size_t>(size) : 0;
    }
    if (stop.Stopped()) {
        shape.scalar = false;
    }
    return shape;
}

void WriteArray(Tcl_Interp *interp, Tcl_Obj *name, const void *data, int len,
                int first, char type, Interrupt &stop)
{
    if (!Writable(type)) {
        return;
    }
    void *array = const_cast<void *>(data);
    bool shortest = IsReal(type) && ShortestDoubleText(interp);
    IndexObj index;
    for (int i = 0; i < len; ++i) {
        if (stop.Poll()) {
            return;
        }
        Tcl_Obj *stored = nullptr;
        {
            ObjRef value(IsReal(type) ? DoubleValue(interp, RealAt(array, i, type), shortest)
                                      : Tcl_NewIntObj(IntAt(array, i, type)));
            stored = Tcl_ObjSetVar2(interp, name, index.At(static_cast<long long>(first) + i),
                                    value.get(), TCL_LEAVE_ERR_MSG);
        }
        if (stored == nullptr && stop.AfterAccess()) {
            return;
        }
        if (stored == nullptr && i == 0 && len > 1 && AskShape(name, stop).scalar) {
            /* Only the last store's message would remain. */
            i = len - 2;
        }
    }
}

} // namespace kardum

extern "C" int TclArrayToC(Tcl_Interp *interp, Tcl_Obj *name, void *array,
                           int len, int first, char type)
{
    kardum::Interrupt stop(interp);
    int count = kardum::ReadArray(interp, name, array, len, first, type, stop);
    return stop.Stopped() ? 0 : count;
}

extern "C" int CArrayToTcl(Tcl_Interp *interp, Tcl_Obj *name, void *array,
                           int len, int first, char type)
{
    kardum::Interrupt stop(interp);
    kardum::WriteArray(interp, name, array, len, first, type, stop);
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
