/*
 * GridPath.cpp --
 *
 *	The data path of kardum::gridfill at native speed: records binned and
 *	the empty cells filled in C++ buffers, by the same workers as the
 *	array path (the binning arithmetic of DataGrid_C, GridFill_C), so the
 *	grid holds the same bits as KDdataGrid and KDgridFill2D give on Tcl
 *	arrays with the same descriptor and settings.
 *
 *	::kardum::GridCompute records x0 x1 y0 y1 nx ny xArea yArea ignore lo hi marker
 *	                      ?m r q cap xlo xhi ylo yhi p degree xBoundary yBoundary seed?
 *
 *	records    a records value or a list of {x y z} or {x1 x2 y1 y2 z}
 *	xArea ...  1: area binning along that axis, 0: point binning
 *	ignore     1: records whose value is exactly 0 are skipped
 *	lo hi      records with values outside are skipped
 *	marker     what an empty cell reads as
 *	the rest   the fill (sI(0) .. sI(9) of KDgridFill2D, the boundary
 *	           letters of gI(15) and gI(16), the generator's seed); without
 *	           them the grid is only binned.
 *
 *	Returns a grid value (cells x fastest), which also keeps each cell's
 *	binned weight.
 */

#include "kardum.h"
#include "grid/Binning.h"
#include "grid/Descriptor.h"
#include "grid/GridFill.h"
#include "pkg/Commands.h"
#include "pkg/GridPath.h"
#include "pkg/GridValue.h"
#include "pkg/Run.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <new>
#include <string>

namespace kardum::pkg {

namespace {

const char *kCmd = "kardum::gridfill";

/* Records as BinAdd reads them: interleaved, x1 = x2 and y1 = y2 for
 * points. */
struct InterleavedRecords {
    const double *v;
    int width;
    double X1(int r) const { return v[static_cast<std::size_t>(r) * width]; }
    double X2(int r) const { return v[static_cast<std::size_t>(r) * width + (width == 3 ? 0 : 1)]; }
    double Y1(int s) const { return v[static_cast<std::size_t>(s) * width + (width == 3 ? 1 : 2)]; }
    double Y2(int s) const { return v[static_cast<std::size_t>(s) * width + (width == 3 ? 1 : 3)]; }
    double Z(int i) const { return v[static_cast<std::size_t>(i) * width + width - 1]; }
};

int IntArg(Tcl_Obj *obj, const char *what, int min, int max)
{
    int v = 0;
    if (Tcl_GetIntFromObj(nullptr, obj, &v) != TCL_OK || v < min || v > max) {
        Fail("%s: %s must be an integer from %d to %d, got \"%s\"", kCmd, what, min,
             max, Tcl_GetString(obj));
    }
    return v;
}

double DoubleArg(Tcl_Obj *obj, const char *what)
{
    double v = 0.0;
    if (Tcl_GetDoubleFromObj(nullptr, obj, &v) != TCL_OK || std::isnan(v)) {
        Fail("%s: %s must be a number, got \"%s\"", kCmd, what, Tcl_GetString(obj));
    }
    return v;
}

char LetterArg(Tcl_Obj *obj, const char *what)
{
    std::string s = Tcl_GetString(obj);
    if (s != "N" && s != "O" && s != "Y") {
        Fail("%s: %s must be N, O or Y, got \"%s\"", kCmd, what, s.c_str());
    }
    return s[0];
}

} // namespace

std::shared_ptr<Grid> BinRecords(const Records &rec, const GridSpec &spec)
{
    std::size_t n = rec.Count();
    if (n > static_cast<std::size_t>(INT_MAX)) {
        Fail("%s: more than %d records", kCmd, INT_MAX);
    }
    auto g = std::make_shared<Grid>();
    g->nx = spec.nx;
    g->ny = spec.ny;
    g->hasExtent = true;
    g->x0 = spec.x0;
    g->x1 = spec.x1;
    g->y0 = spec.y0;
    g->y1 = spec.y1;
    g->marker = spec.marker;
    std::size_t cells = static_cast<std::size_t>(spec.nx) * spec.ny;
    g->cells.assign(cells, 0.0);
    g->weights.assign(cells, 0.0);

    /* KDdataGrid's descriptor record for "NEW ADD END", cells x fastest. */
    double d[gi::kHigh + 1] = {};
    d[gi::kX0] = spec.x0;
    d[gi::kX1] = spec.x1;
    d[gi::kY0] = spec.y0;
    d[gi::kY1] = spec.y1;
    d[gi::kNx] = spec.nx;
    d[gi::kNy] = spec.ny;
    d[gi::kXBin] = spec.xArea ? 1.0 : 0.0;
    d[gi::kYBin] = spec.yArea ? 1.0 : 0.0;
    d[gi::kOrder] = 0.0;
    d[gi::kIgnore] = spec.ignoreZeros ? 1.0 : 0.0;
    d[gi::kAction] = kBinNew + kBinAdd + kBinEnd;
    d[gi::kEmpty] = kEmptyValue;
    d[gi::kExcluded] = kExcludedValue;
    d[gi::kLow] = spec.lo;
    d[gi::kHigh] = spec.hi;

    BinArrays store{g->cells.data(), g->weights.data()};
    BinNew(d, store);
    BinAdd(d, static_cast<int>(n), 1, 1, InterleavedRecords{rec.values.data(), rec.width}, store);
    BinEnd(d, store);
    MarkEmpty(*g);
    return g;
}

void MarkEmpty(Grid &g)
{
    std::size_t cells = g.cells.size();
    g.empty.resize(cells);
    for (std::size_t k = 0; k < cells; ++k) {
        g.empty[k] = g.weights[k] == 0.0 && g.cells[k] == kEmptyValue;
    }
}

int FillGrid(Grid &g, const FillSpec &f)
{
    /* KDgridFill2D's record for a descriptor with cells x fastest ("ROW"),
     * the empty value and an excluded value that no cell holds, and
     * search bounds beyond every value. */
    double record[fill::kRecordSize] = {};
    record[fill::kX0] = g.x0;
    record[fill::kX1] = g.x1;
    record[fill::kY0] = g.y0;
    record[fill::kY1] = g.y1;
    record[fill::kNx] = g.nx;
    record[fill::kNy] = g.ny;
    record[fill::kEmpty] = kEmptyValue;
    record[fill::kExcluded] = kExcludedValue;
    record[fill::kLayout] = 'R';
    record[fill::kXBoundary] = f.xBoundary;
    record[fill::kYBoundary] = f.yBoundary;
    record[fill::kLower] = -DBL_MAX;
    record[fill::kUpper] = DBL_MAX;
    char mode[2] = {f.cap == 1 ? 'N' : f.cap == 2 ? 'A' : 'O', 1};
    int limits[fill::kLimitCount] = {f.margins[0], f.margins[1], f.margins[2],
                                     f.margins[3], f.degree};
    double p = f.p;
    int seed = f.seed;
    int status = GridFill_C(g.cells.data(), g.weights.data(), f.m, f.r, mode, &p,
                            f.q, limits, record, &seed);
    MarkEmpty(g);
    return status;
}

/* ::kardum::Records records: {width recordsValue}, the records checked
 * and held in one buffer (the value itself when it is one already). */
int RecordsCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    return RunPackageCommand(interp, [&]() -> int {
        if (objc != 2) {
            Tcl_WrongNumArgs(interp, 1, objv, "records");
            return TCL_ERROR;
        }
        Tcl_Obj *value = objv[1];
        auto records = GetRecords(interp, value, kCmd);
        if (!IsRecordsObj(value)) {
            value = NewRecordsObj(records);
        }
        Tcl_Obj *out[2] = {Tcl_NewIntObj(records->width), value};
        Tcl_SetObjResult(interp, Tcl_NewListObj(2, out));
        return TCL_OK;
    });
}

int GridComputeCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    return RunPackageCommand(interp, [&]() -> int {
        if (objc != 14 && objc != 27) {
            Tcl_WrongNumArgs(interp, 1, objv,
                "records x0 x1 y0 y1 nx ny xArea yArea ignore lo hi marker "
                "?m r q cap xlo xhi ylo yhi p degree xBoundary yBoundary seed?");
            return TCL_ERROR;
        }
        GridSpec spec;
        spec.x0 = DoubleArg(objv[2], "x0");
        spec.x1 = DoubleArg(objv[3], "x1");
        spec.y0 = DoubleArg(objv[4], "y0");
        spec.y1 = DoubleArg(objv[5], "y1");
        if (!std::isfinite(spec.x0) || !std::isfinite(spec.x1) || spec.x0 == spec.x1 ||
            !std::isfinite(spec.y0) || !std::isfinite(spec.y1) || spec.y0 == spec.y1) {
            Fail("%s: the extent must span both axes with finite edges", kCmd);
        }
        spec.nx = IntArg(objv[6], "nx", 1, INT_MAX);
        spec.ny = IntArg(objv[7], "ny", 1, INT_MAX);
        if (static_cast<long long>(spec.nx) * spec.ny > INT_MAX) {
            Fail("%s: the grid of %d by %d cells is too large", kCmd, spec.nx, spec.ny);
        }
        spec.xArea = IntArg(objv[8], "xArea", 0, 1) != 0;
        spec.yArea = IntArg(objv[9], "yArea", 0, 1) != 0;
        spec.ignoreZeros = IntArg(objv[10], "ignore", 0, 1) != 0;
        spec.lo = DoubleArg(objv[11], "lo");
        spec.hi = DoubleArg(objv[12], "hi");
        spec.marker = Tcl_GetString(objv[13]);
        auto records = GetRecords(interp, objv[1], kCmd);
        auto grid = BinRecords(*records, spec);
        records.reset();
        if (objc == 27) {
            FillSpec f;
            f.m = IntArg(objv[14], "-perquadrant", 0, INT_MAX);
            f.r = IntArg(objv[15], "-radius", 0, INT_MAX);
            f.q = IntArg(objv[16], "-quadrants", 1, 4);
            f.cap = IntArg(objv[17], "cap", 0, 2);
            for (int i = 0; i < 4; ++i) {
                f.margins[i] = IntArg(objv[18 + i], "a margin", 0, INT_MAX);
            }
            f.p = DoubleArg(objv[22], "-power");
            f.degree = IntArg(objv[23], "-degree", 0, 4);
            f.xBoundary = LetterArg(objv[24], "the x boundary");
            f.yBoundary = LetterArg(objv[25], "the y boundary");
            f.seed = IntArg(objv[26], "seed", INT_MIN, INT_MAX);
            if ((f.xBoundary == 'Y' && f.r > spec.nx) || (f.yBoundary == 'Y' && f.r > spec.ny)) {
                Fail("%s: -radius %d exceeds the cells of a periodic axis", kCmd, f.r);
            }
            if (FillGrid(*grid, f) < 0) {
                throw std::bad_alloc();     /* the fill could not take its buffers */
            }
        }
        Tcl_SetObjResult(interp, NewGridObj(std::move(grid)));
        return TCL_OK;
    });
}

} // namespace kardum::pkg
