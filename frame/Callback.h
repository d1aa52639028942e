/*
 * Callback.h --
 *
 *	What the commands that call back into the script use per point:
 *
 *	Script	  a callback line kept as one script object for the whole call,
 *		  so that Tcl compiles it once and reuses its bytecode, instead
 *		  of parsing the text anew on every evaluation.
 *	Answer	  a variable (or the elements 0 .. n-1 of an array) that the
 *		  script leaves its answers in, read through kept name and
 *		  index objects.
 *
 *	Both evaluate and read in the frame that invoked the command, with
 *	TCL_LEAVE_ERR_MSG, exactly as Tcl_Eval, Tcl_GetVar2 and Tcl_GetDouble
 *	on the texts would; answers convert as their text would (see
 *	TextReader).  Internal to the library.
 *
 *	A callback's completion code is not the command's business, but an
 *	interpreter that is cancelled or past a limit is: every evaluation
 *	asks the call's Interrupt afterwards, and a loop ends as soon as an
 *	evaluation answers false, reading no answer, with Tcl's message left
 *	in the interpreter result.
 */

#ifndef KARDUM_CALLBACK_H
#define KARDUM_CALLBACK_H

#include <tcl.h>

#include "frame/Interrupt.h"
#include "frame/ObjRef.h"
#include "frame/Text.h"

#include <vector>

namespace kardum {

/* Evaluates one line of script text in the current frame; false when
 * the interpreter asks the call to stop. */
bool EvalCallback(Interrupt &stop, const char *text);

/* A script object holding one callback line for the whole call. */
class Script {
public:
    Script(Interrupt &stop, const char *text);

    /* Evaluates the line in the current frame; false when the
     * interpreter asks the call to stop. */
    bool Eval();

private:
    Interrupt &stop_;
    ObjRef obj_;
};

/* Kept name and index objects for reading a scalar or the elements
 * 0 .. n-1 of an array, one evaluation after another. */
class Answer {
public:
    /* A scalar variable when elements is 0, else an array.  A read that a
     * trace's cancel or limit makes fail stops `stop`. */
    Answer(Interrupt &stop, const char *name, int elements);

    /*
     * Reads the scalar (element -1) or element i into value.  False when
     * it does not exist (Tcl's message is left in the result); text that
     * is not a number leaves value as it was.
     */
    bool Read(int element, double &value);

    /* To be called after each evaluation of the script: the script may
     * have changed tcl_precision. */
    void NewEvaluation() { reader_.Forget(); }

private:
    Interrupt &stop_;
    Tcl_Interp *interp_;
    ObjRef name_;
    std::vector<ObjRef> index_;
    TextReader reader_;
};

} // namespace kardum

#endif /* KARDUM_CALLBACK_H */
