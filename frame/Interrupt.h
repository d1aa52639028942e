/*
 * Interrupt.h --
 *
 *	Whether the interpreter asks a long call to end: `interp cancel`
 *	(from this thread or another) or a limit of `interp limit` run out.
 *	Loops that evaluate no script poll it about every millisecond of
 *	work, by the clock; loops that evaluate a callback ask it after every
 *	evaluation, and reads of variables after every read that fails (a
 *	trace may have been stopped).  Once it has
 *	seen a stop it stays stopped, and the interpreter result holds Tcl's
 *	own message ("eval canceled", "time limit exceeded", ...) with its
 *	error code, so the command returns TCL_ERROR and leaves it there.
 *
 *	Tcl reports a plain cancel only once, to the evaluation it interrupts,
 *	so a callback that ends that way is recognised by its error code
 *	(TCL CANCEL ..., TCL LIMIT ...).  Internal to the library.
 */

#ifndef KARDUM_INTERRUPT_H
#define KARDUM_INTERRUPT_H

#include <tcl.h>

namespace kardum {

class Interrupt {
public:
    explicit Interrupt(Tcl_Interp *interp) noexcept : interp_(interp) {}

    /*
     * For loops without evaluations, once per element or step: looks at
     * the interpreter about every millisecond of work, however much an
     * element costs.  The clock is read every so many calls, a number
     * that grows while steps are cheap (up to kMaxStride) and shrinks at
     * once when they are not, so that the time between two looks stays
     * far below 10 ms.
     */
    bool Poll()
    {
        if (stopped_) {
            return true;
        }
        if (++tick_ < stride_) {
            return false;
        }
        return Timed();
    }

    /* After a step that may have cost much (a long text converted, a run
     * of work done at once): reads the clock now. */
    bool Costly()
    {
        return stopped_ || Timed();
    }

    /* Looks now: runs pending asynchronous handlers (a cancel from another
     * thread arrives through one), then the cancel flag and the limits.
     * A time limit is compared with the clock here, whatever Tcl's
     * granularity of time checks. */
    bool Check();

    /* After a callback evaluation that returned `code`: true when it ended
     * because the interpreter was cancelled or ran past a limit, or when
     * either is pending now. */
    bool After(int code);

    /*
     * After a variable access that failed (a null answer): true when it
     * failed because a trace on the variable was cancelled or ran past a
     * limit.  Tcl reports such a trace's error as its own ("can't read
     * ...", errorCode TCL READ VARNAME) and forgets the cancel; the stop is
     * recognised by the trace's message and set again as Tcl's own, so
     * that the command ends with "eval canceled" and TCL CANCEL.
     */
    bool AfterAccess();

    bool Stopped() const { return stopped_; }

    Tcl_Interp *Interp() const { return interp_; }

private:
    static constexpr unsigned kMaxStride = 4096;

    bool Timed();

    Tcl_Interp *interp_;
    unsigned tick_ = 0;
    unsigned stride_ = 1;
    long long lastRead_ = -1;   /* clock at the last read, in microseconds */
    bool stopped_ = false;
};

/* Throws TclError when `stop` says the failed access was stopped (see
 * Interrupt::AfterAccess); for single reads of variables outside the
 * marshalling loops. */
void CheckAccess(Tcl_Interp *interp);

} // namespace kardum

#endif /* KARDUM_INTERRUPT_H */
