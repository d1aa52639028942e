/*
 * Frame.h --
 *
 *	Helpers shared by every command procedure: argument count and usage,
 *	reading required and optional words, the zero-filled per-call storage,
 *	fill-or-return and setting the interpreter result.  Internal to the
 *	library; nothing here is exported.
 *
 *	A command procedure runs its body through RunCommand(), which turns the
 *	exceptions thrown here (and std::bad_alloc) into TCL_ERROR, so that no
 *	exception ever crosses into Tcl.
 */

#ifndef KARDUM_FRAME_H
#define KARDUM_FRAME_H

#include <tcl.h>

#include "frame/Marshal.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <initializer_list>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

/* Lengths as Tcl counts them: Tcl 9 has Tcl_Size, Tcl 8.6 uses int. */
#ifndef TCL_SIZE_MAX
typedef int Tcl_Size;
#endif

namespace kardum {

/* A call outside the data model: TCL_ERROR with this message. */
struct ArgError {
    std::string message;
};

/* Tcl has already left its message in the interpreter result. */
struct TclError {};

/* More memory asked for than the process can have, said before any work:
 * TCL_ERROR with this message. */
struct MemoryError {
    std::string message;
};

/* Memory a command asked for and could not have: TCL_ERROR "<cmd>: cannot
 * have N bytes (X GiB) of memory for <what>", or "<cmd>: not enough memory
 * for <what>" where the amount is not known (bytes 0). */
struct OutOfMemory {
    std::size_t bytes;
    const char *what;
};

/* Format strings are checked as C99's printf.  The Windows build formats
 * with mingw-w64's C99 printf (__USE_MINGW_ANSI_STDIO), not msvcrt's, which
 * GCC knows there as gnu_printf. */
#if defined(__MINGW32__)
#  define KARDUM_PRINTF(fmt, first) __attribute__((format(gnu_printf, fmt, first)))
#elif defined(__GNUC__)
#  define KARDUM_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#  define KARDUM_PRINTF(fmt, first)
#endif

/* Appends printf-formatted text to `out`, sized to fit (callback lines,
 * messages: no fixed-size buffers). */
void AppendFormat(std::string &out, const char *format, ...) KARDUM_PRINTF(2, 3);

/* Throws ArgError with a printf-style message. */
[[noreturn]] void Fail(const char *format, ...) KARDUM_PRINTF(1, 2);

/*
 * Runs the body of the command `cmd`, and is the one place where the
 * commands' errors get their errorCode:
 *   std::bad_alloc, std::length_error   TCL_ERROR "<cmd>: not enough
 *                                       memory", errorCode {KARDUM MEMORY};
 *   OutOfMemory                         TCL_ERROR naming the amount and
 *                                       what it was for, {KARDUM MEMORY};
 *   MemoryError                         TCL_ERROR with its message,
 *                                       errorCode {KARDUM MEMORY};
 *   ArgError                            TCL_ERROR with its message,
 *                                       errorCode {KARDUM VALUE};
 *   TclError                            TCL_ERROR with the message and the
 *                                       errorCode Tcl has already left.
 * A wrong argument count (Args::CountOk) keeps Tcl_WrongNumArgs' own
 * errorCode {TCL WRONGARGS}.
 */
template <class Body>
int RunCommand(Tcl_Interp *interp, Body &&body);

/* The argument words of one call, with the command's usage string. */
class Args {
public:
    enum Count { AtLeast, Exactly };

    Args(Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]) noexcept
        : interp_(interp), objc_(objc), objv_(objv) {}

    /* Tests objc; on a wrong count reports the usage and returns false. */
    bool CountOk(Count rule, int n, const char *usage) const;

    bool Has(int pos) const { return objc_ > pos; }
    Tcl_Obj *Obj(int pos) const { return objv_[pos]; }
    const char *Word(int pos) const { return Tcl_GetString(objv_[pos]); }

    /* Required numbers: a word that does not convert throws TclError with
     * Tcl's conversion message; `name` goes into errorInfo. */
    int Int(int pos, const char *name) const;
    double Double(int pos, const char *name) const;

    /* Optional numbers, read only when present; a word that does not
     * convert keeps the default and the call goes on.  Integers of either
     * kind beyond an int are refused (ArgError naming `name`), never
     * wrapped. */
    void OptInt(int pos, int &value, const char *name) const;
    void OptDouble(int pos, double &value) const;

    Tcl_Interp *Interp() const { return interp_; }

private:
    Tcl_Interp *interp_;
    int objc_;
    Tcl_Obj *const *objv_;
};

/*
 * One zero-filled block of doubles per call, carved into consecutive
 * regions.  A total that overflows, that exceeds the machine's physical
 * memory, or an allocation that fails, throws OutOfMemory (TCL_ERROR naming
 * the amount); commands that want to name the argument check their
 * products with CheckedProduct first.  The zeros come from the allocator (calloc),
 * so pages a call never uses are never touched.
 */
class Block {
public:
    /* `what` names the block in the OutOfMemory thrown when it cannot be
     * had. */
    Block(std::initializer_list<std::size_t> sizes, const char *what = "its working arrays");
    double *operator[](std::size_t region) { return data_.get() + starts_[region]; }

private:
    struct Free {
        void operator()(double *p) const { std::free(p); }
    };
    std::unique_ptr<double[], Free> data_;
    std::vector<std::size_t> starts_;
};

/* Bytes of physical memory of the machine (the largest block a call may
 * take); SIZE_MAX where the system does not tell. */
std::size_t PhysicalMemory();

/*
 * Before a command writes `count` elements into the array `name`: MemoryError
 * naming the count and the memory when the elements Tcl would have to
 * create for them need more memory than this process can have (the
 * machine's memory, or less under an address-space limit).  Elements that
 * exist already are replaced, not created; a name that holds a scalar
 * takes none (every store fails).  Costs nothing below 64 MiB.
 */
void RequireRoom(Tcl_Interp *interp, const char *cmd, Tcl_Obj *name, std::size_t count);

/* a * b for element counts, ArgError naming `what` when it overflows. */
std::size_t CheckedProduct(std::size_t a, std::size_t b, const char *what);

/* ArgError "<cmd>: <name> must not be negative, got N" when count < 0. */
void RequireNonNegative(const char *cmd, const char *name, int count);

/* TclArrayToC with type D; false when no element was found, in which case
 * the command returns TCL_OK leaving Tcl's message as the result.  A
 * cancel or a limit that stops the read throws TclError. */
bool Fill(Tcl_Interp *interp, Tcl_Obj *name, double *dst, int len, int first);

/* TclArrayToC with type L from the first element: the number of elements
 * found.  A cancel or a limit that stops the read throws TclError. */
int FillInts(Tcl_Interp *interp, Tcl_Obj *name, int *dst, int len);

/* Fill without a block of len doubles: the elements found, as (index,
 * value) pairs in index order, every other place counting as 0.0 (see
 * ReadPresent).  The same outcomes as Fill. */
bool FillPresent(Tcl_Interp *interp, Tcl_Obj *name, PresentValues &present, int len,
                 int first);

/* True when a read of len elements from `name` is best made into a block of
 * len doubles, the plain way: a short count, or an untraced array that
 * holds at least a quarter of the places.  Otherwise (a count far beyond
 * the elements, a missing array, a traced one) FillPresent keeps only the
 * elements found.  A cancel or a limit while asking throws TclError. */
bool DenseEnough(Tcl_Interp *interp, Tcl_Obj *name, int len);

/* CArrayToTcl with type D; a cancel or a limit that stops the write throws
 * TclError (the elements before the stop are written). */
void WriteBack(Tcl_Interp *interp, Tcl_Obj *name, const double *src, int len,
               int first);

/* Set the interpreter result in place on the result object. */
void SetDoubleResult(Tcl_Interp *interp, double value);
void SetIntResult(Tcl_Interp *interp, int value);
void SetStringResult(Tcl_Interp *interp, const std::string &text);
void SetListResult(Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]);

/* The message of an OutOfMemory (or, with what null, of a bare
 * std::bad_alloc). */
std::string OutOfMemoryMessage(const char *cmd, const OutOfMemory &e);

/* TCL_ERROR with `message` and the errorCode {KARDUM MEMORY}. */
int MemoryFailure(Tcl_Interp *interp, const std::string &message);

/* TCL_ERROR with the message Tcl left.  When it is the message of a limit
 * that stands, the errorCode is the limit's (TCL LIMIT TIME or COMMANDS)
 * whatever a quiet variable lookup after the stop left in it. */
int TclFailure(Tcl_Interp *interp);

template <class Body>
int RunCommand(Tcl_Interp *interp, const char *cmd, Body &&body)
{
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return MemoryFailure(interp, OutOfMemoryMessage(cmd, OutOfMemory{0, nullptr}));
    } catch (const std::length_error &) {
        return MemoryFailure(interp, OutOfMemoryMessage(cmd, OutOfMemory{0, nullptr}));
    } catch (const OutOfMemory &e) {
        return MemoryFailure(interp, OutOfMemoryMessage(cmd, e));
    } catch (const MemoryError &e) {
        return MemoryFailure(interp, e.message);
    } catch (const ArgError &e) {
        Tcl_SetObjResult(interp, Tcl_NewStringObj(e.message.c_str(), -1));
        Tcl_SetErrorCode(interp, "KARDUM", "VALUE", nullptr);
        return TCL_ERROR;
    } catch (const TclError &) {
        return TclFailure(interp);
    }
}

} // namespace kardum

#endif /* KARDUM_FRAME_H */
