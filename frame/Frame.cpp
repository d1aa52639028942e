/*
 * Frame.cpp --
 *
 *	The helpers every command procedure uses (see Frame.h).
 */

#include "Frame.h"

#include "kardum.h"
#include "frame/Interrupt.h"
#include "frame/Marshal.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <limits>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace kardum {

static void AppendFormatV(std::string &out, const char *format, va_list ap)
{
    va_list again;
    va_copy(again, ap);
    int n = std::vsnprintf(nullptr, 0, format, ap);
    if (n > 0) {
        std::size_t at = out.size();
        out.resize(at + static_cast<std::size_t>(n) + 1);
        std::vsnprintf(out.data() + at, static_cast<std::size_t>(n) + 1, format, again);
        out.resize(at + static_cast<std::size_t>(n));
    }
    va_end(again);
}

void AppendFormat(std::string &out, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    AppendFormatV(out, format, ap);
    va_end(ap);
}

void Fail(const char *format, ...)
{
    ArgError error;
    va_list ap;
    va_start(ap, format);
    AppendFormatV(error.message, format, ap);
    va_end(ap);
    throw error;
}

bool Args::CountOk(Count rule, int n, const char *usage) const
{
    bool ok = (rule == Exactly) ? objc_ == n : objc_ >= n;
    if (!ok) {
        Tcl_WrongNumArgs(interp_, 1, objv_, usage);
    }
    return ok;
}

static void NoteArgument(Tcl_Interp *interp, const char *name)
{
    std::string info = "\n    (reading argument \"";
    info += name;
    info += "\")";
    Tcl_AddErrorInfo(interp, info.c_str());
}

/* Tcl's own int reading takes any value of 32 bits, 4294967295 as -1 and
 * -4294967295 as 1; a word is read as a wide integer instead, and one
 * beyond an int is refused rather than wrapped.  Returns false when the
 * word is no integer at all (Tcl's message left in the result). */
static bool ReadInt(Tcl_Interp *interp, Tcl_Obj *const objv[], int pos, const char *name,
                    int &value)
{
    Tcl_WideInt wide = 0;
    if (Tcl_GetWideIntFromObj(interp, objv[pos], &wide) != TCL_OK) {
        return false;
    }
    if (wide < INT_MIN || wide > INT_MAX) {
        Fail("%s: %s must be an integer from %d to %d, got %s", Tcl_GetString(objv[0]), name,
             INT_MIN, INT_MAX, Tcl_GetString(objv[pos]));
    }
    value = static_cast<int>(wide);
    return true;
}

int Args::Int(int pos, const char *name) const
{
    int value = 0;
    if (!ReadInt(interp_, objv_, pos, name, value)) {
        NoteArgument(interp_, name);
        throw TclError{};
    }
    return value;
}

double Args::Double(int pos, const char *name) const
{
    double value = 0.0;
    if (Tcl_GetDoubleFromObj(interp_, objv_[pos], &value) != TCL_OK) {
        NoteArgument(interp_, name);
        throw TclError{};
    }
    return value;
}

void Args::OptInt(int pos, int &value, const char *name) const
{
    if (Has(pos)) {
        int read = value;
        if (ReadInt(interp_, objv_, pos, name, read)) {
            value = read;
        }
    }
}

void Args::OptDouble(int pos, double &value) const
{
    if (Has(pos)) {
        double read = value;
        if (Tcl_GetDoubleFromObj(interp_, objv_[pos], &read) == TCL_OK) {
            value = read;
        }
    }
}

std::size_t CheckedProduct(std::size_t a, std::size_t b, const char *what)
{
    if (a != 0 && b > std::numeric_limits<std::size_t>::max() / a) {
        Fail("size of %s overflows", what);
    }
    return a * b;
}

void RequireNonNegative(const char *cmd, const char *name, int count)
{
    if (count < 0) {
        Fail("%s: %s must not be negative, got %d", cmd, name, count);
    }
}

std::size_t PhysicalMemory()
{
#if defined(_WIN32)
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (GlobalMemoryStatusEx(&status) &&
        status.ullTotalPhys < std::numeric_limits<std::size_t>::max()) {
        return static_cast<std::size_t>(status.ullTotalPhys);
    }
#elif defined(_SC_PHYS_PAGES) && defined(_SC_PAGESIZE)
    long pages = sysconf(_SC_PHYS_PAGES);
    long pageSize = sysconf(_SC_PAGESIZE);
    if (pages > 0 && pageSize > 0 &&
        static_cast<unsigned long long>(pages) <
            std::numeric_limits<std::size_t>::max() / static_cast<unsigned long long>(pageSize)) {
        return static_cast<std::size_t>(pages) * static_cast<std::size_t>(pageSize);
    }
#endif
    return std::numeric_limits<std::size_t>::max();
}

/* What Tcl takes for one array element holding a double: the hash entry
 * and variable, the name and the value objects with their texts (about
 * 290 bytes measured with Tcl 8.6 on 64 bits); a little less is assumed,
 * so that only what surely does not fit is refused. */
static constexpr std::size_t kElementBytes = 32 * sizeof(void *);

/* "12.3 GiB" */
static std::string Bytes(std::size_t bytes)
{
    std::string text;
    AppendFormat(text, "%.1f GiB", static_cast<double>(bytes) / (1024.0 * 1024.0 * 1024.0));
    return text;
}

std::string OutOfMemoryMessage(const char *cmd, const OutOfMemory &e)
{
    std::string text;
    if (e.what == nullptr) {
        AppendFormat(text, "%s: not enough memory", cmd);
    } else if (e.bytes == 0) {
        AppendFormat(text, "%s: not enough memory for %s", cmd, e.what);
    } else {
        AppendFormat(text, "%s: cannot have %llu bytes (%s) of memory for %s", cmd,
                     static_cast<unsigned long long>(e.bytes), Bytes(e.bytes).c_str(),
                     e.what);
    }
    return text;
}

int MemoryFailure(Tcl_Interp *interp, const std::string &message)
{
    Tcl_SetObjResult(interp, Tcl_NewStringObj(message.c_str(), -1));
    Tcl_SetErrorCode(interp, "KARDUM", "MEMORY", nullptr);
    return TCL_ERROR;
}

int TclFailure(Tcl_Interp *interp)
{
    const char *text = Tcl_GetStringResult(interp);
    if (Tcl_LimitTypeExceeded(interp, TCL_LIMIT_TIME) &&
        std::strcmp(text, "time limit exceeded") == 0) {
        Tcl_SetErrorCode(interp, "TCL", "LIMIT", "TIME", nullptr);
    } else if (Tcl_LimitTypeExceeded(interp, TCL_LIMIT_COMMANDS) &&
               std::strcmp(text, "command count limit exceeded") == 0) {
        Tcl_SetErrorCode(interp, "TCL", "LIMIT", "COMMANDS", nullptr);
    }
    return TCL_ERROR;
}

/* The memory this process can have: the machine's, or less where the
 * address space is smaller (a 32-bit process) or limited (ulimit -v). */
static std::size_t ProcessMemory()
{
    std::size_t memory = PhysicalMemory();
#if defined(_WIN32)
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (GlobalMemoryStatusEx(&status) && status.ullTotalVirtual < memory) {
        memory = static_cast<std::size_t>(status.ullTotalVirtual);
    }
#elif defined(RLIMIT_AS)
    struct rlimit limit;
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur < memory) {
        memory = static_cast<std::size_t>(limit.rlim_cur);
    }
#endif
    return memory;
}

void RequireRoom(Tcl_Interp *interp, const char *cmd, Tcl_Obj *name, std::size_t count)
{
    const std::size_t free = std::size_t(64) << 20;
    if (count <= free / kElementBytes) {
        return;
    }
    const std::size_t memory = ProcessMemory();
    const std::size_t most = memory / kElementBytes;
    if (count <= most) {
        return;
    }
    Interrupt stop(interp);
    VariableShape shape = AskShape(name, stop);
    if (stop.Stopped()) {
        throw TclError{};
    }
    if (shape.scalar) {
        return;
    }
    std::size_t existing = shape.elements < count ? shape.elements : count;
    if (count - existing <= most) {
        return;
    }
    std::size_t created = count - existing;
    std::size_t need = created > std::numeric_limits<std::size_t>::max() / kElementBytes
        ? std::numeric_limits<std::size_t>::max()
        : created * kElementBytes;
    MemoryError error;
    AppendFormat(error.message,
                 "%s: writing %llu elements into %s needs about %s of memory for "
                 "its %llu new elements, more than the %s this process can have",
                 cmd, static_cast<unsigned long long>(count), Tcl_GetString(name),
                 Bytes(need).c_str(), static_cast<unsigned long long>(created),
                 Bytes(memory).c_str());
    throw error;
}

Block::Block(std::initializer_list<std::size_t> sizes, const char *what)
{
    std::size_t total = 0;
    starts_.reserve(sizes.size());
    for (std::size_t n : sizes) {
        starts_.push_back(total);
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(double) - total) {
            throw OutOfMemory{std::numeric_limits<std::size_t>::max(), what};
        }
        total += n;
    }
    /* A request beyond physical memory could only be met by overcommitted
     * pages, and touching them would get the process killed: refuse it.
     * Asking the system for its memory takes a system call, which would
     * double the cost of a small command such as KDpolyExp1D, so only
     * requests above 64 MiB ask: no machine that runs Tcl has less. */
    const std::size_t small = (std::size_t(64) << 20) / sizeof(double);
    if (total > small && total > PhysicalMemory() / sizeof(double)) {
        throw OutOfMemory{total * sizeof(double), what};
    }
    data_.reset(static_cast<double *>(std::calloc(total == 0 ? 1 : total, sizeof(double))));
    if (!data_) {
        throw OutOfMemory{total * sizeof(double), what};
    }
}
bool Fill(Tcl_Interp *interp, Tcl_Obj *name, double *dst, int len, int first)
{
    Interrupt stop(interp);
    int found = ReadArray(interp, name, dst, len, first, 'D', stop);
    if (stop.Stopped()) {
        throw TclError{};
    }
    return found != 0;
}

int FillInts(Tcl_Interp *interp, Tcl_Obj *name, int *dst, int len)
{
    Interrupt stop(interp);
    int found = ReadArray(interp, name, dst, len, 0, 'L', stop);
    if (stop.Stopped()) {
        throw TclError{};
    }
    return found;
}

bool DenseEnough(Tcl_Interp *interp, Tcl_Obj *name, int len)
{
    if (len < 256) {
        return true;
    }
    Interrupt stop(interp);
    VariableShape shape = AskShape(name, stop);
    if (stop.Stopped()) {
        throw TclError{};
    }
    return shape.elements >= static_cast<std::size_t>(len) / 4;
}

bool FillPresent(Tcl_Interp *interp, Tcl_Obj *name, PresentValues &present, int len,
                 int first)
{
    Interrupt stop(interp);
    int found = ReadPresent(interp, name, present, len, first, stop);
    if (stop.Stopped()) {
        throw TclError{};
    }
    return found != 0;
}

void WriteBack(Tcl_Interp *interp, Tcl_Obj *name, const double *src, int len,
               int first)
{
    Interrupt stop(interp);
    WriteArray(interp, name, src, len, first, 'D', stop);
    if (stop.Stopped()) {
        throw TclError{};
    }
}

/*
 * The commands are defined to set their result in place, on the object
 * Tcl_GetObjResult returns; when a callback has left a shared object
 * there, it is replaced instead, since a shared object must never be
 * modified.
 */
static Tcl_Obj *ResultForWriting(Tcl_Interp *interp)
{
    Tcl_Obj *result = Tcl_GetObjResult(interp);
    if (Tcl_IsShared(result)) {
        result = Tcl_NewObj();
        Tcl_SetObjResult(interp, result);
    }
    return result;
}

void SetDoubleResult(Tcl_Interp *interp, double value)
{
    Tcl_SetDoubleObj(ResultForWriting(interp), value);
}

void SetIntResult(Tcl_Interp *interp, int value)
{
    Tcl_SetIntObj(ResultForWriting(interp), value);
}

void SetStringResult(Tcl_Interp *interp, const std::string &text)
{
    Tcl_SetStringObj(ResultForWriting(interp), text.c_str(),
                     static_cast<int>(text.size()));
}

void SetListResult(Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    Tcl_SetListObj(ResultForWriting(interp), objc, objv);
}

} // namespace kardum
