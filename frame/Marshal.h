/*
 * Marshal.h --
 *
 *	The marshalling loops behind TclArrayToC and CArrayToTcl, with the
 *	interruption they poll: a cancel or a limit ends them within a
 *	fraction of a millisecond, with stop.Stopped() set and Tcl's message
 *	in the interpreter result.  Internal to the library.
 *
 *	Reading costs what the array holds: a count far beyond the elements
 *	that exist visits those elements (in index order) instead of every
 *	index, and a missing array or a scalar costs one lookup.  The values,
 *	the count and the message left in the interpreter result are those of
 *	a lookup of every index; arrays with traces are read index by index,
 *	so their traces fire as always.
 */

#ifndef KARDUM_MARSHAL_H
#define KARDUM_MARSHAL_H

#include <tcl.h>

#include "frame/Interrupt.h"

#include <cstddef>
#include <utility>
#include <vector>

namespace kardum {

/* What a variable is, asked of Tcl (info exists, array exists, array
 * size) without touching it, so that no trace fires, and leaving the
 * interpreter result as it was unless the questions were stopped. */
struct VariableShape {
    bool scalar = false;
    std::size_t elements = 0;
};
VariableShape AskShape(Tcl_Obj *name, Interrupt &stop);

/* TclArrayToC: the number of elements found. */
int ReadArray(Tcl_Interp *interp, Tcl_Obj *name, void *array, int len, int first,
              char type, Interrupt &stop);

/* The elements found of a read of doubles, as (index in the C array,
 * value) pairs in increasing index order; an element whose text does not
 * convert is counted but not kept, so that its place reads as 0.0, as in
 * a zero-filled C array. */
using PresentValues = std::vector<std::pair<int, double>>;

/* TclArrayToC with type D, keeping only what is there: the number of
 * elements found. */
int ReadPresent(Tcl_Interp *interp, Tcl_Obj *name, PresentValues &present, int len,
                int first, Interrupt &stop);

/* CArrayToTcl.  A name that holds a scalar, where every store fails the
 * same way, ends after the first store with the message of the last. */
void WriteArray(Tcl_Interp *interp, Tcl_Obj *name, const void *array, int len,
                int first, char type, Interrupt &stop);

} // namespace kardum

#endif /* KARDUM_MARSHAL_H */
