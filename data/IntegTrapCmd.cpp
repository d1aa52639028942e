/*
 * IntegTrapCmd.cpp --
 *
 *	KDintegTrap: one refinement stage of the extended trapezoidal rule for
 *	the integral of a Tcl procedure from B to E.  Stage 1 is the trapezoid
 *	over the two end points; stage N >= 2 evaluates the 2^(N-2) midpoints of
 *	the previous stage's intervals and combines their sum with the previous
 *	result, which the script passes back in.
 *
 *	KDintegTrap FunC B E N ?Prev? ?Vec?
 *
 *	Point mode calls "FunC x h k i" once per point and takes the answer
 *	from InTg; vector mode (Vec 1) calls "FunC x0 h k -1 OuT" once per
 *	stage, and the procedure fills OuT(0) ... OuT(k-1) in the caller's
 *	frame.  Both variables are read in the frame that invoked the command.
 */

#include "kardum.h"
#include "frame/Callback.h"
#include "frame/Frame.h"

#include <cstdio>
#include <limits>
#include <string>

namespace {

/* Largest stage whose 2^(N-2) points fit an int. */
const int kMaxStage = 32;

/*
 * Reads the answer the procedure left in `name` (an element when `index`
 * is given).  A text that is not a number leaves *value as it was; a
 * missing variable or element returns false with Tcl's message in the
 * interpreter result.
 */
bool ReadAnswer(kardum::Interrupt &stop, const char *name, const char *index,
                double *value)
{
    const char *text = Tcl_GetVar2(stop.Interp(), name, index, TCL_LEAVE_ERR_MSG);
    if (text == nullptr) {
        stop.AfterAccess();             /* a trace stopped: Tcl's message */
        return false;
    }
    double v;
    if (Tcl_GetDouble(nullptr, text, &v) == TCL_OK) {
        *value = v;
    }
    return true;
}

/* Adds the value of point i to the running sum, in index order. */
double Accumulate(double sum, int i, double value)
{
    return i == 0 ? value : sum + value;
}

/*
 * One stage, n in 1 ... kMaxStage.  Returns false when the procedure left
 * an answer undefined, the integral then meaningless, or when the
 * interpreter asked the call to stop (stop.Stopped()).
 */
bool Stage(kardum::Interrupt &stop, const char *proc, double a, double b, int n,
           double previous, int mode, double *result)
{
    double r = b - a;
    int k = n == 1 ? 2 : 1 << (n - 2);
    double h = n == 1 ? r : r / k;
    double x = n == 1 ? a : a + 0.5 * h;

    std::string head = "set InTg [";
    head += proc;
    head += ' ';

    /* The value of the preceding point, reused when an answer is not a
     * number; 0.0 before the first point. */
    double value = 0.0;
    double sum = 0.0;
    std::string line;
    if (mode == 1) {
        line = head;
        kardum::AppendFormat(line, "%e %e %d -1 OuT]", x, h, k);
        if (!kardum::EvalCallback(stop, line.c_str())) {
            return false;
        }
        for (int i = 0; i < k; ++i) {
            if (stop.Poll()) {
                return false;
            }
            std::string index = std::to_string(i);
            if (!ReadAnswer(stop, "OuT", index.c_str(), &value)) {
                return false;
            }
            sum = Accumulate(sum, i, value);
        }
    } else {
        for (int i = 0; i < k; ++i) {
            if (n == 1 && i == 1) {
                x = a + r;
            }
            line = head;
            kardum::AppendFormat(line, "%e %e %d %d]", x, h, k, i);
            if (!kardum::EvalCallback(stop, line.c_str())) {
                return false;
            }
            if (!ReadAnswer(stop, "InTg", nullptr, &value)) {
                return false;
            }
            sum = Accumulate(sum, i, value);
            if (n > 1) {
                x += h;
            }
        }
    }

    if (n == 1) {
        *result = r * 0.5 * sum;
    } else {
        *result = 0.5 * (previous + r * sum / k);
    }
    return true;
}

} // namespace

/*
 * A stage below 1 counts as stage 1.  Returns NaN, with Tcl's message in the
 * interpreter result, when the procedure leaves an answer undefined or the
 * interpreter is cancelled or past a limit; also
 * NaN, evaluating nothing, for a stage beyond 32 or when out of memory.
 */
extern "C" double IntegTrap_C(Tcl_Interp *interp, const char *proc, double a,
                              double b, int n, double previous, int mode)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (n < 1) {
        n = 1;
    }
    if (n > kMaxStage) {
        return nan;
    }
    try {
        double result;
        kardum::Interrupt stop(interp);
        return Stage(stop, proc, a, b, n, previous, mode, &result) ? result : nan;
    } catch (...) {
        return nan;
    }
}

extern "C" int IntegTrapCmd(ClientData, Tcl_Interp *interp, int objc,
                            Tcl_Obj *const objv[])
{
    using namespace kardum;
    return RunCommand(interp, "KDintegTrap", [&]() -> int {
        double previous = 0.0;
        int mode = 0;
        Args args(interp, objc, objv);
        if (!args.CountOk(Args::AtLeast, 5, "Usage: KDintegTrap FunC B E N ")) {
            return TCL_ERROR;
        }
        const char *proc = args.Word(1);
        double a = args.Double(2, "B");
        double b = args.Double(3, "E");
        int n = args.Int(4, "N");
        args.OptDouble(5, previous);
        args.OptInt(6, mode, "Vec");

        if (n < 1) {
            n = 1;
        }
        if (n > kMaxStage) {
            Fail("KDintegTrap: N must be at most %d (2^(N-2) points must fit "
                 "an int), got %d", kMaxStage, n);
        }

        double result;
        Interrupt stop(interp);
        if (!Stage(stop, proc, a, b, n, previous, mode, &result)) {
            throw TclError{};
        }
        SetDoubleResult(interp, result);
        return TCL_OK;
    });
}
