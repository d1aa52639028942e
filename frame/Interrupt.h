/*
 * Interrupt.h --
 *
 *	Whether the interpreter asks a long call to end: `interp cancel`
 *	(from this thread or another) or a limit of `interp limit` run out.
 *	Loops that evaluate no script poll it every so many elements; loops
 *	that evaluate a callback ask it after every evaluation.  Once it has
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

    /* For loops without evaluations: looks at the interpreter every
     * kStride calls (a few hundred microseconds of marshalling at most). */
    bool Poll()
    {
        if (stopped_) {
            return true;
        }
        if (++tick_ < kStride) {
            return false;
        }
        tick_ = 0;
        return Check();
    }

    /* Looks now: runs pending asynchronous handlers (a cancel from another
     * thread arrives through one), then the cancel flag and the limits. */
    bool Check();

    /* After a callback evaluation that returned `code`: true when it ended
     * because the interpreter was cancelled or ran past a limit, or when
     * either is pending now. */
    bool After(int code);

    bool Stopped() const { return stopped_; }

    Tcl_Interp *Interp() const { return interp_; }

private:
    static constexpr unsigned kStride = 1024;

    Tcl_Interp *interp_;
    unsigned tick_ = 0;
    bool stopped_ = false;
};

} // namespace kardum

#endif /* KARDUM_INTERRUPT_H */
