/*
 * FillOptions.h --
 *
 *	The options of ::kardum::FillGrid (pkg/FillGridCmd.cpp), read for any
 *	command that runs the guarded fill, and its report as a dict.
 *	Internal to the library.
 */

#ifndef KARDUM_PKG_FILL_OPTIONS_H
#define KARDUM_PKG_FILL_OPTIONS_H

#include "pkg/GuardedFill.h"

#include <tcl.h>

namespace kardum::pkg {

struct FillOptions {
    Tcl_Obj *weight = nullptr;  /* -weight list, when given */
    bool wantSource = false;    /* -sources */
    int folds = 0;              /* -crossvalidate, 0 when not asked */
};

/* Reads the option pairs objv[first .. objc-1] into setup and guards
 * (the grid's size already set) and checks them: ArgError naming the
 * option. */
FillOptions ReadFillOptions(Tcl_Interp *interp, int objc, Tcl_Obj *const objv[],
                            int first, FillSetup &setup, FillGuards &guards);

/* data, excluded, empty and passes (radius quadrants degree filled
 * refitted seconds per pass). */
Tcl_Obj *ReportDict(const FillReport &report);

} // namespace kardum::pkg

#endif /* KARDUM_PKG_FILL_OPTIONS_H */
