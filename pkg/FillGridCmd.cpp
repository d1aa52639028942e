/*
 * FillGridCmd.cpp --
 *
 *	::kardum::FillGrid, the Tcl face of the fill behind kardum::gridfill
 *	(pkg/GuardedFill.h).  The grid travels as a flat list of nx*ny doubles,
 *	x fastest:
 *
 *	  ::kardum::FillGrid grid nx ny ?option value ...?
 *
 *	Options (defaults of GuardedFill.h): -weight list, -empty, -excluded,
 *	-boundary {X Y} (letters N, O, Y), -margins {xlo xhi ylo yhi},
 *	-perquadrant, -radius, -quadrants, -degree, -power, -cap none|nearest|max,
 *	-guard, -guardmargin, -complete, -maxradius, -seed, -sources,
 *	-crossvalidate k.
 *
 *	The result is a dict: grid (the filled list), data, excluded, empty,
 *	passes (one dict per pass: radius quadrants degree filled refitted
 *	seconds) and, with -sources 1, sources (a flat list: 0 data, k filled
 *	in pass k, -1 empty, -2 excluded).  With -crossvalidate k the grid is
 *	only read and the dict holds folds, predicted, missed and rms.
 */

#include "pkg/Commands.h"
#include "pkg/FillOptions.h"
#include "pkg/GuardedFill.h"

#include "frame/Frame.h"

#include <string>
#include <vector>

namespace kardum::pkg {

namespace {

const char *const kCmd = "kardum::FillGrid";

/* The doubles of a list of exactly `n` elements; ArgError naming `what`. */
std::vector<double> Doubles(Tcl_Interp *interp, Tcl_Obj *list, std::size_t n,
                            const char *what)
{
    Tcl_Size count = 0;
    Tcl_Obj **items = nullptr;
    if (Tcl_ListObjGetElements(interp, list, &count, &items) != TCL_OK) {
        throw TclError{};
    }
    if (static_cast<std::size_t>(count) != n) {
        /* No %zu: the C runtime of the Windows DLL does not know it. */
        Fail("%s: %s must hold %llu numbers, got %lld", kCmd, what,
             static_cast<unsigned long long>(n), static_cast<long long>(count));
    }
    std::vector<double> values(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (Tcl_GetDoubleFromObj(nullptr, items[i], &values[i]) != TCL_OK) {
            Fail("%s: element %llu of %s must be a number, got \"%s\"", kCmd,
                 static_cast<unsigned long long>(i), what, Tcl_GetString(items[i]));
        }
    }
    return values;
}

int Int(Tcl_Interp *interp, Tcl_Obj *obj, const char *what)
{
    int value = 0;
    if (Tcl_GetIntFromObj(nullptr, obj, &value) != TCL_OK) {
        (void)interp;
        Fail("%s: %s must be an integer, got \"%s\"", kCmd, what, Tcl_GetString(obj));
    }
    return value;
}

double Double(Tcl_Obj *obj, const char *what)
{
    double value = 0.0;
    if (Tcl_GetDoubleFromObj(nullptr, obj, &value) != TCL_OK) {
        Fail("%s: %s must be a number, got \"%s\"", kCmd, what, Tcl_GetString(obj));
    }
    return value;
}

bool Boolean(Tcl_Obj *obj, const char *what)
{
    int value = 0;
    if (Tcl_GetBooleanFromObj(nullptr, obj, &value) != TCL_OK) {
        Fail("%s: %s must be a boolean, got \"%s\"", kCmd, what, Tcl_GetString(obj));
    }
    return value != 0;
}

/* One of `words`, as its index; ArgError naming `what`. */
int Choice(Tcl_Interp *interp, Tcl_Obj *obj, const char *const *words, const char *what)
{
    int index = 0;
    if (Tcl_GetIndexFromObj(interp, obj, words, what, TCL_EXACT, &index) != TCL_OK) {
        throw TclError{};
    }
    return index;
}

Tcl_Obj *DoubleList(const double *values, std::size_t n)
{
    Tcl_Obj *list = Tcl_NewListObj(0, nullptr);
    for (std::size_t i = 0; i < n; ++i) {
        Tcl_ListObjAppendElement(nullptr, list, Tcl_NewDoubleObj(values[i]));
    }
    return list;
}

void Put(Tcl_Obj *dict, const char *key, Tcl_Obj *value)
{
    Tcl_DictObjPut(nullptr, dict, Tcl_NewStringObj(key, -1), value);
}

void PutWide(Tcl_Obj *dict, const char *key, long long value)
{
    Put(dict, key, Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(value)));
}

} // namespace

Tcl_Obj *ReportDict(const FillReport &report)
{
    Tcl_Obj *dict = Tcl_NewDictObj();
    PutWide(dict, "data", report.dataCells);
    PutWide(dict, "excluded", report.excludedCells);
    PutWide(dict, "empty", report.emptyCells);
    Tcl_Obj *passes = Tcl_NewListObj(0, nullptr);
    for (const FillPass &pass : report.passes) {
        Tcl_Obj *entry = Tcl_NewDictObj();
        PutWide(entry, "radius", pass.radius);
        PutWide(entry, "quadrants", pass.quadrants);
        PutWide(entry, "degree", pass.degree);
        PutWide(entry, "filled", pass.filled);
        PutWide(entry, "refitted", pass.refitted);
        Put(entry, "seconds", Tcl_NewDoubleObj(pass.seconds));
        Tcl_ListObjAppendElement(nullptr, passes, entry);
    }
    Put(dict, "passes", passes);
    return dict;
}

/*
 * Reads FillGrid's options from objv[first] on (pairs); the grid's size
 * must already be in setup.  Checks the whole setup.
 */
FillOptions ReadFillOptions(Tcl_Interp *interp, int objc, Tcl_Obj *const objv[],
                            int first, FillSetup &setup, FillGuards &guards)
{
    FillOptions opt;
    static const char *const kOptions[] = {
        "-weight", "-empty", "-excluded", "-boundary", "-margins", "-perquadrant",
        "-radius", "-quadrants", "-degree", "-power", "-cap", "-guard",
        "-guardmargin", "-complete", "-maxradius", "-seed", "-sources",
        "-crossvalidate", nullptr};
    enum {
        kWeight, kEmpty, kExcluded, kBoundary, kMargins, kPerQuadrant, kRadius,
        kQuadrants, kDegree, kPower, kCap, kGuard, kGuardMargin, kComplete,
        kMaxRadius, kSeed, kSources, kCrossValidate
    };
    static const char *const kLetters[] = {"N", "O", "Y", nullptr};
    static const char *const kCaps[] = {"none", "nearest", "max", nullptr};
    for (int i = first; i < objc; i += 2) {
        Tcl_Obj *value = objv[i + 1];
        switch (Choice(interp, objv[i], kOptions, "option")) {
        case kWeight: opt.weight = value; break;
        case kEmpty: setup.empty = Double(value, "-empty"); break;
        case kExcluded: setup.excluded = Double(value, "-excluded"); break;
        case kBoundary: {
            Tcl_Size n = 0;
            Tcl_Obj **items = nullptr;
            if (Tcl_ListObjGetElements(interp, value, &n, &items) != TCL_OK) {
                throw TclError{};
            }
            if (n != 2) {
                Fail("%s: -boundary must be two letters, got \"%s\"", kCmd,
                     Tcl_GetString(value));
            }
            setup.xBoundary = "NOY"[Choice(interp, items[0], kLetters, "boundary letter")];
            setup.yBoundary = "NOY"[Choice(interp, items[1], kLetters, "boundary letter")];
            break;
        }
        case kMargins: {
            std::vector<double> m = Doubles(interp, value, 4, "-margins");
            for (int k = 0; k < 4; ++k) {
                if (!(m[k] >= 0 && m[k] <= INT_MAX) || m[k] != static_cast<int>(m[k])) {
                    Fail("%s: -margins must hold whole numbers of at least 0, got \"%s\"",
                         kCmd, Tcl_GetString(value));
                }
                setup.margins[k] = static_cast<int>(m[k]);
            }
            break;
        }
        case kPerQuadrant: setup.perQuadrant = Int(interp, value, "-perquadrant"); break;
        case kRadius: setup.radius = Int(interp, value, "-radius"); break;
        case kQuadrants: setup.quadrants = Int(interp, value, "-quadrants"); break;
        case kDegree: setup.degree = Int(interp, value, "-degree"); break;
        case kPower: setup.power = Double(value, "-power"); break;
        case kCap: setup.cap = "ONA"[Choice(interp, value, kCaps, "cap")]; break;
        case kGuard: guards.guard = Boolean(value, "-guard"); break;
        case kGuardMargin: guards.guardMargin = Double(value, "-guardmargin"); break;
        case kComplete: guards.complete = Boolean(value, "-complete"); break;
        case kMaxRadius: guards.maxRadius = Int(interp, value, "-maxradius"); break;
        case kSeed: guards.seed = Int(interp, value, "-seed"); break;
        case kSources: opt.wantSource = Boolean(value, "-sources"); break;
        case kCrossValidate:
            opt.folds = Int(interp, value, "-crossvalidate");
            if (opt.folds < 2) {
                Fail("%s: -crossvalidate must be at least 2, got %d", kCmd, opt.folds);
            }
            break;
        }
    }
    const char *why = nullptr;
    if (!CheckFillSetup(setup, guards, why)) {
        Fail("%s: %s", kCmd, why);
    }
    return opt;
}

int FillGridCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    return RunCommand(interp, [&]() -> int {
        if (objc < 4 || objc % 2) {
            Tcl_WrongNumArgs(interp, 1, objv, "grid nx ny ?option value ...?");
            return TCL_ERROR;
        }
        FillSetup setup;
        FillGuards guards;
        setup.nx = Int(interp, objv[2], "nx");
        setup.ny = Int(interp, objv[3], "ny");
        if (setup.nx < 1 || setup.ny < 1 ||
            static_cast<long long>(setup.nx) * setup.ny > INT_MAX) {
            Fail("%s: the grid of %d by %d cells is outside 1 .. %d cells", kCmd,
                 setup.nx, setup.ny, INT_MAX);
        }
        std::size_t cells = static_cast<std::size_t>(setup.nx) * setup.ny;

        FillOptions opt = ReadFillOptions(interp, objc, objv, 4, setup, guards);
        Tcl_Obj *weightList = opt.weight;
        bool wantSource = opt.wantSource;
        int folds = opt.folds;
        std::vector<double> grid = Doubles(interp, objv[1], cells, "the grid");
        std::vector<double> weight;
        if (weightList) {
            weight = Doubles(interp, weightList, cells, "-weight");
        }
        const double *w = weightList ? weight.data() : nullptr;

        Tcl_Obj *result;
        if (folds) {
            CrossValidation cv = CrossValidateFill(grid.data(), w, setup, guards, folds);
            result = Tcl_NewDictObj();
            PutWide(result, "folds", cv.folds);
            PutWide(result, "predicted", cv.predicted);
            PutWide(result, "missed", cv.missed);
            Put(result, "rms", Tcl_NewDoubleObj(cv.rms));
        } else {
            FillReport report;
            GuardedFill(grid.data(), w, setup, guards, wantSource, report);
            result = ReportDict(report);
            Put(result, "grid", DoubleList(grid.data(), cells));
            if (wantSource) {
                Tcl_Obj *sources = Tcl_NewListObj(0, nullptr);
                for (signed char c : report.source) {
                    Tcl_ListObjAppendElement(nullptr, sources, Tcl_NewIntObj(c));
                }
                Put(result, "sources", sources);
            }
        }
        Tcl_SetObjResult(interp, result);
        return TCL_OK;
    });
}

} // namespace kardum::pkg
