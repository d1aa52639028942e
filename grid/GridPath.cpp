/*
 * GridPath.cpp --
 *
 *	The data path of kardum::gridfill at native speed: records binned and
 *	the empty cells filled in C++ buffers, by the same code as the array
 *	path (the binning arithmetic of DataGrid_C, grid/Binning.h; the steps
 *	of GridFill_C, grid/GridFill.h, through grid/GuardedFill.h), so the
 *	grid holds the same bits as KDdataGrid and KDgridFill2D give on Tcl
 *	arrays with the same descriptor and settings (the guard and the
 *	further passes off, the same seed).
 *
 *	::kardum::GridCompute records x0 x1 y0 y1 nx ny xArea yArea ignore lo hi marker
 *	                      fill ?option value ...?
 *
 *	records    a records value or a list of {x y z} or {x1 x2 y1 y2 z},
 *	           each with its weight at the end or none
 *	xArea ...  1: area binning along that axis, 0: point binning
 *	ignore     1: records whose value is exactly 0 are skipped
 *	lo hi      records with values outside are skipped
 *	marker     what an empty cell reads as
 *	fill       1: fill the empty cells with the guarded fill
 *	           (grid/GuardedFill.h), 0: bin only
 *	options    the fill's settings as kardum::gridfill's user gives them
 *	           (ReadFillOptions below, the one place that checks them):
 *	           -radius, -quadrants, -perquadrant, -degree, -power,
 *	           -cap none|nearest|max, -margins {xlo xhi ylo yhi},
 *	           -boundary open|strict|periodic (one, or one per axis),
 *	           -guard, -guardmargin, -complete, -maxradius, -seed,
 *	           -sources, -crossvalidate (grid/CrossValidate.h); the
 *	           binning gives the weights and the empty and excluded values;
 *	           -radius, -maxradius and -mask also as map distances (2.5u,
 *	           or 50km with -geographic 1); -geographic and -cellvalue
 *	           belong to the binning and are taken out first
 *
 *	Returns {grid report}: a grid value (cells x fastest; a grid only
 *	binned also keeps each cell's binned weight) and the fill's report as
 *	a dict; with
 *	-crossvalidate, {{} cross-validation dict} and no grid.
 */

#include "grid/GridPath.h"

#include "kardum.h"

#include "grid/Binning.h"
#include "grid/CrossValidate.h"
#include "grid/Descriptor.h"
#include "grid/GridValue.h"
#include "grid/GuardedFill.h"
#include "grid/LargeBuffer.h"
#include "grid/SurfaceFill.h"
#include "frame/Interrupt.h"
#include "package/Commands.h"
#include "frame/ObjRef.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>
#include <numeric>
#include <algorithm>

namespace kardum::package {

namespace {

const char *kCmd = "kardum::gridfill";

/* Records as BinAdd reads them: interleaved, x1 = x2 and y1 = y2 for
 * points; a weighted record's last number is its weight. */
struct InterleavedRecords {
    const double *v;
    int width;
    bool foot = width >= 5;
    double X1(int r) const { return v[static_cast<std::size_t>(r) * width]; }
    double X2(int r) const { return v[static_cast<std::size_t>(r) * width + (foot ? 1 : 0)]; }
    double Y1(int s) const { return v[static_cast<std::size_t>(s) * width + (foot ? 2 : 1)]; }
    double Y2(int s) const { return v[static_cast<std::size_t>(s) * width + (foot ? 3 : 1)]; }
    double Z(int i) const { return v[static_cast<std::size_t>(i) * width + (foot ? 4 : 2)]; }
};

/* The same records with their weights, each scaled by the same power of
 * two (exact, so their ratios stay), for the binning (kBinWeighted). */
struct WeightedRecords : InterleavedRecords {
    int shift = 0;
    double W(int i) const
    {
        /* a weight below 2^-1022 of the largest counts as that much: it
         * still gives a value where it is alone in its cell */
        return std::max(std::ldexp(v[static_cast<std::size_t>(i) * width + width - 1], shift),
                        DBL_MIN);
    }
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


/* The checks of the fill's settings, in the words kardum::gridfill's other
 * checks use (lib/kardum.tcl). */
[[noreturn]] void Refuse(const std::string &message)
{
    Fail("%s: %s", kCmd, message.c_str());
}

std::string Quoted(Tcl_Obj *obj)
{
    return std::string("\"") + Tcl_GetString(obj) + "\"";
}

/* An integer from min to max; without a max, from min to the largest int
 * (a setting the fill keeps in an int). */
constexpr long long kNoMax = LLONG_MAX;

long long Integer(Tcl_Obj *obj, const std::string &what, long long min,
                  long long max = kNoMax)
{
    Tcl_WideInt v = 0;
    if (Tcl_GetWideIntFromObj(nullptr, obj, &v) != TCL_OK || v < min ||
        v > (max == kNoMax ? INT_MAX : max)) {
        std::string range = max == kNoMax ? "at least " + std::to_string(min)
                                             : "from " + std::to_string(min) + " to " +
                                                   std::to_string(max);
        Refuse(what + " must be an integer " + range + ", got " + Quoted(obj));
    }
    return v;
}

double Real(Tcl_Obj *obj, const std::string &what)
{
    double v = 0.0;
    if (Tcl_GetDoubleFromObj(nullptr, obj, &v) != TCL_OK || !std::isfinite(v)) {
        Refuse(what + " must be a finite number, got " + Quoted(obj));
    }
    return v;
}

bool Boolean(Tcl_Obj *obj, const std::string &what)
{
    int value = 0;
    if (Tcl_GetBooleanFromObj(nullptr, obj, &value) != TCL_OK) {
        Refuse(what + " must be a boolean, got " + Quoted(obj));
    }
    return value != 0;
}

/* One of three words, as its index. */
int Choice(Tcl_Obj *obj, const std::string &what, const char *const (&words)[3])
{
    const char *word = Tcl_GetString(obj);
    for (int i = 0; i < 3; ++i) {
        if (std::strcmp(word, words[i]) == 0) {
            return i;
        }
    }
    Refuse(what + " must be " + words[0] + ", " + words[1] + " or " + words[2] + ", got " +
           Quoted(obj));
}

/* The elements of a list, or Tcl's own error. */
std::vector<Tcl_Obj *> Elements(Tcl_Interp *interp, Tcl_Obj *obj)
{
    Tcl_Size n = 0;
    Tcl_Obj **items = nullptr;
    if (Tcl_ListObjGetElements(interp, obj, &n, &items) != TCL_OK) {
        throw TclError{};
    }
    return std::vector<Tcl_Obj *>(items, items + n);
}

/* What the options ask for beyond the fill's settings. */
struct FillOptions {
    bool wantSource = false;    /* -sources */
    int folds = 0;              /* -crossvalidate, 0 when not asked */
    bool foldBlocks = false;    /* its folds of spatial blocks */
    int blocksAcross = 0;       /* their number along the longer side, 0: chosen */
    bool surface = false;       /* -method surface, else local */
    int seed = 566378;          /* -seed */
    double tension = 0.25;      /* -tension */
    double limits[2] = {0.0, 0.0};      /* -lower, -upper */
    bool hasLimit[2] = {false, false};
    double mask = 0.0;          /* -mask: cells farther from every record stay empty */
    bool mapMask = false;       /* -mask in map units (km on the sphere), else cells */
    bool geographic = false;    /* -geographic: longitude and latitude in degrees */
    bool mapRadius = false;     /* -radius and -maxradius in map units */
    FillMetric metric;          /* their geometry, set once the grid's is known */
};

/*
 * -crossvalidate k, {k records}, {k blocks} or {k blocks n}: k folds of
 * records at random, or of spatial blocks, n of them along the extent's
 * longer side (grid/CrossValidate.h).
 */
FoldSpec ReadFoldSpec(Tcl_Interp *interp, Tcl_Obj *word, int nx, int ny)
{
    const std::string forms = "k, {k records}, {k blocks} or {k blocks n}";
    Tcl_Size length = 0;
    if (Tcl_ListObjLength(nullptr, word, &length) != TCL_OK || length < 1 || length > 3) {
        Refuse("-crossvalidate must be " + forms + ", got " + Quoted(word));
    }
    std::vector<Tcl_Obj *> items = Elements(interp, word);
    FoldSpec spec;
    spec.folds = static_cast<int>(
        Integer(items[0], length == 1 ? "-crossvalidate" : "k in -crossvalidate", 2));
    if (length == 1) {
        return spec;
    }
    const char *kind = Tcl_GetString(items[1]);
    spec.blocks = std::strcmp(kind, "blocks") == 0;
    if ((!spec.blocks && std::strcmp(kind, "records") != 0) || (!spec.blocks && length == 3)) {
        Refuse("-crossvalidate must be " + forms + ", got " + Quoted(word));
    }
    int longest = std::max(nx, ny);
    if (spec.blocks && longest < 3) {
        Refuse("-crossvalidate {" + std::string(Tcl_GetString(word)) +
               "}: spatial blocks need at least 3 cells along a side, the grid has " +
               std::to_string(nx) + " by " + std::to_string(ny));
    }
    if (length == 3) {
        spec.across = static_cast<int>(
            Integer(items[2], "n in -crossvalidate {k blocks n}", 3, longest));
    }
    return spec;
}

/*
 * A distance given in map units: a number followed by u (the extent's own
 * units) or, under -geographic 1, by km (along great circles).  Returns
 * false for a word without a unit, which the caller reads as cells.
 */
bool MapDistance(Tcl_Obj *obj, const std::string &what, bool geographic, double &value)
{
    std::string word = Tcl_GetString(obj);
    std::string unit;
    if (word.size() > 2 && word.compare(word.size() - 2, 2, "km") == 0) {
        unit = "km";
    } else if (word.size() > 1 && word.back() == 'u') {
        unit = "u";
    } else {
        return false;
    }
    ObjRef number(Tcl_NewStringObj(word.c_str(), static_cast<Tcl_Size>(word.size() - unit.size())));
    if (Tcl_GetDoubleFromObj(nullptr, number.get(), &value) != TCL_OK ||
        !std::isfinite(value) || !(value > 0.0)) {
        Refuse(what + " must be a distance above 0, got " + Quoted(obj));
    }
    if (unit == "km" && !geographic) {
        Refuse(what + " " + word + ": km are for -geographic 1; give the extent's units " +
               "with u (e.g. " + Tcl_GetString(number.get()) + "u)");
    }
    if (unit == "u" && geographic) {
        Refuse(what + " " + word + ": with -geographic 1 map distances are great-circle " +
               "distances in km (e.g. " + Tcl_GetString(number.get()) + "km)");
    }
    return true;
}

/*
 * The one place where the fill's settings are read and checked: the
 * option pairs objv[first .. objc-1], as kardum::gridfill passes its
 * user's words, into setup and guards (the grid's size already set),
 * each checked before any work and in a fixed order, the error naming the
 * option.
 */
FillOptions ReadFillOptions(Tcl_Interp *interp, int objc, Tcl_Obj *const objv[],
                            int first, FillSetup &setup, FillGuards &guards,
                            bool geographic, bool wrapX)
{
    static const char *const kOptions[] = {
        "-radius", "-quadrants", "-perquadrant", "-degree", "-power", "-cap", "-margins",
        "-boundary", "-guard", "-guardmargin", "-complete", "-maxradius", "-seed",
        "-sources", "-crossvalidate", "-method", "-tension", "-lower", "-upper", "-mask",
        nullptr};
    enum {
        kOptRadius, kOptQuadrants, kOptPerQuadrant, kOptDegree, kOptPower, kOptCap,
        kOptMargins, kOptBoundary, kOptGuard, kOptGuardMargin, kOptComplete,
        kOptMaxRadius, kOptSeed, kOptSources, kOptCrossValidate, kOptMethod, kOptTension,
        kOptLower, kOptUpper, kOptMask, kOptCount
    };
    /* The words given, the defaults where none is. */
    static const char *const kDefaults[kOptCount] = {
        "4", "4", "1", "1", "1", "none", "0 0 0 0", "open", "1", "0.5", "1", "",
        "566378", "0", "", "surface", "0.25", "", "", ""};
    ObjRef words[kOptCount];
    bool given[kOptCount] = {};
    for (int k = 0; k < kOptCount; ++k) {
        words[k] = ObjRef(Tcl_NewStringObj(kDefaults[k], -1));
    }
    for (int i = first; i < objc; i += 2) {
        int option = 0;
        if (Tcl_GetIndexFromObj(interp, objv[i], kOptions, "option", TCL_EXACT, &option) !=
            TCL_OK) {
            throw TclError{};
        }
        words[option] = ObjRef(objv[i + 1]);
        given[option] = true;
    }
    /* Each method's own settings, refused with the other. */
    const char *method = Tcl_GetString(words[kOptMethod].get());
    bool surface = std::strcmp(method, "surface") == 0;
    if (!surface && std::strcmp(method, "local") != 0) {
        Refuse("-method must be surface or local, got " + Quoted(words[kOptMethod].get()));
    }
    for (int k = 0; k < kOptCount; ++k) {
        bool surfaceOnly = k == kOptTension || k == kOptLower || k == kOptUpper || k == kOptMask;
        bool shared = k == kOptMethod || k == kOptSeed || k == kOptCrossValidate;
        if (given[k] && !shared && surfaceOnly != surface) {
            Refuse(std::string(kOptions[k]) + " applies to -method " +
                   (surface ? "local" : "surface") + " only");
        }
    }

    FillOptions opt;
    opt.geographic = geographic;
    int radius = 0;
    opt.mapRadius = MapDistance(words[kOptRadius].get(), "-radius", geographic,
                                opt.metric.radius);
    if (!opt.mapRadius) {
        radius = static_cast<int>(Integer(words[kOptRadius].get(), "-radius", 0));
    }
    setup.radius = radius;
    setup.quadrants = static_cast<int>(Integer(words[kOptQuadrants].get(), "-quadrants", 1, 4));
    setup.perQuadrant =
        static_cast<int>(Integer(words[kOptPerQuadrant].get(), "-perquadrant", 0));
    setup.degree = static_cast<int>(Integer(words[kOptDegree].get(), "-degree", 0, 4));
    setup.power = Real(words[kOptPower].get(), "-power");
    static const char *const kCaps[3] = {"none", "nearest", "max"};
    setup.cap = static_cast<Cap>(Choice(words[kOptCap].get(), "-cap", kCaps));

    Tcl_Obj *margins = words[kOptMargins].get();
    Tcl_Size nMargins = 0;
    if (Tcl_ListObjLength(nullptr, margins, &nMargins) != TCL_OK || nMargins != 4) {
        Refuse("-margins must be {xlo xhi ylo yhi}, got " + Quoted(margins));
    }
    static const char *const kMarginNames[4] = {"xlo", "xhi", "ylo", "yhi"};
    std::vector<Tcl_Obj *> marginWords = Elements(interp, margins);
    for (int k = 0; k < 4; ++k) {
        setup.margins[k] = static_cast<int>(Integer(
            marginWords[k], std::string(kMarginNames[k]) + " in -margins", 0));
    }

    /* A geographic grid all round the globe wraps along x unless told
     * otherwise. */
    if (wrapX && !given[kOptBoundary]) {
        words[kOptBoundary] = ObjRef(Tcl_NewStringObj("periodic open", -1));
    }
    /* One word for both axes, or one each. */
    Tcl_Obj *boundary = words[kOptBoundary].get();
    std::vector<Tcl_Obj *> axes = Elements(interp, boundary);
    if (axes.size() == 1) {
        axes.push_back(axes[0]);
    }
    if (axes.size() != 2) {
        Refuse("-boundary must be one or two of open, strict and periodic, got " +
               Quoted(boundary));
    }
    static const char *const kBoundaries[3] = {"open", "strict", "periodic"};
    const char *axisNames[2] = {"x", "y"};
    const int cellCounts[2] = {setup.nx, setup.ny};
    Boundary chosen[2] = {};
    for (int k = 0; k < 2; ++k) {
        chosen[k] = static_cast<Boundary>(
            Choice(axes[k], std::string("-boundary for ") + axisNames[k], kBoundaries));
        if (chosen[k] == Boundary::kPeriodic && radius > cellCounts[k]) {
            bool wrapped = k == 0 && wrapX && !given[kOptBoundary];
            Refuse("-radius " + std::to_string(radius) + " exceeds the " +
                   std::to_string(cellCounts[k]) + " cells of the periodic " + axisNames[k] +
                   " axis" +
                   (wrapped ? " (a geographic extent of 360 degrees wraps: give a smaller "
                              "-radius, one in km, or -boundary open)"
                            : ""));
        }
    }
    setup.xBoundary = chosen[0];
    setup.yBoundary = chosen[1];

    guards.guard = Boolean(words[kOptGuard].get(), "-guard");
    double guardMargin = Real(words[kOptGuardMargin].get(), "-guardmargin");
    if (guardMargin < 0) {
        Refuse(std::string("-guardmargin must not be negative, got ") +
               Tcl_GetString(words[kOptGuardMargin].get()));
    }
    guards.guardMargin = guardMargin;
    guards.complete = Boolean(words[kOptComplete].get(), "-complete");
    /* Only the raw command's settings give the raw command's grid, its
     * scan-order choice among equally near neighbours included. */
    guards.scanOrder = !guards.guard && !guards.complete;
    Tcl_Obj *maxRadius = words[kOptMaxRadius].get();
    ObjRef fourTimes;
    if (opt.mapRadius) {
        /* Map units for both radii, or for neither. */
        guards.scanOrder = false;
        opt.metric.maxRadius = 4.0 * opt.metric.radius;
        if (Tcl_GetString(maxRadius)[0] != '\0') {
            if (!MapDistance(maxRadius, "-maxradius", geographic, opt.metric.maxRadius)) {
                Refuse("-maxradius must be in the units of -radius " +
                       std::string(Tcl_GetString(words[kOptRadius].get())) + ", got " +
                       Quoted(maxRadius));
            }
            if (opt.metric.maxRadius < opt.metric.radius) {
                Refuse("-maxradius " + std::string(Tcl_GetString(maxRadius)) +
                       " lies below -radius " + Tcl_GetString(words[kOptRadius].get()));
            }
        }
        guards.maxRadius = 0;
    } else {
        if (Tcl_GetString(maxRadius)[0] == '\0') {
            fourTimes = ObjRef(Tcl_NewWideIntObj(4 * static_cast<Tcl_WideInt>(radius)));
            maxRadius = fourTimes.get();
        }
        double unused = 0.0;
        if (MapDistance(maxRadius, "-maxradius", geographic, unused)) {
            Refuse("-maxradius in map units needs -radius in them too, got -radius " +
                   std::string(Tcl_GetString(words[kOptRadius].get())));
        }
        guards.maxRadius = static_cast<int>(Integer(maxRadius, "-maxradius", radius));
    }
    guards.seed = static_cast<int>(Integer(words[kOptSeed].get(), "-seed", INT_MIN, INT_MAX));

    opt.surface = surface;
    opt.seed = guards.seed;
    opt.tension = Real(words[kOptTension].get(), "-tension");
    if (opt.tension < 0.0 || opt.tension > 1.0) {
        Refuse("-tension must lie from 0 to 1, got " + Quoted(words[kOptTension].get()));
    }
    for (int k = 0; k < 2; ++k) {
        Tcl_Obj *limit = words[k == 0 ? kOptLower : kOptUpper].get();
        if (Tcl_GetString(limit)[0] != '\0') {
            opt.limits[k] = Real(limit, k == 0 ? "-lower" : "-upper");
            opt.hasLimit[k] = true;
        }
    }
    if (Tcl_GetString(words[kOptMask].get())[0] != '\0' &&
        !(opt.mapMask = MapDistance(words[kOptMask].get(), "-mask", geographic, opt.mask))) {
        opt.mask = Real(words[kOptMask].get(), "-mask");
        if (!(opt.mask > 0.0)) {
            Refuse("-mask must be a distance above 0, got " + Quoted(words[kOptMask].get()));
        }
    }
    if (opt.hasLimit[0] && opt.hasLimit[1] && opt.limits[0] > opt.limits[1]) {
        Refuse("-lower " + std::string(Tcl_GetString(words[kOptLower].get())) +
               " lies above -upper " + Tcl_GetString(words[kOptUpper].get()));
    }
    opt.wantSource = Boolean(words[kOptSources].get(), "-sources");
    if (Tcl_GetString(words[kOptCrossValidate].get())[0] != '\0') {
        FoldSpec spec = ReadFoldSpec(interp, words[kOptCrossValidate].get(), setup.nx, setup.ny);
        opt.folds = spec.folds;
        opt.foldBlocks = spec.blocks;
        opt.blocksAcross = spec.across;
    }
    return opt;
}

void Put(Tcl_Obj *dict, const char *key, Tcl_Obj *value)
{
    Tcl_DictObjPut(nullptr, dict, Tcl_NewStringObj(key, -1), value);
}

void PutWide(Tcl_Obj *dict, const char *key, long long value)
{
    Put(dict, key, Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(value)));
}

/* The fill's report: data, excluded, empty and passes (radius quadrants
 * degree filled refitted seconds per pass). */
Tcl_Obj *ReportDict(const FillReport &report)
{
    Tcl_Obj *dict = Tcl_NewDictObj();
    PutWide(dict, "data", report.dataCells);
    PutWide(dict, "excluded", report.excludedCells);
    PutWide(dict, "empty", report.emptyCells);
    Tcl_Obj *passes = Tcl_NewListObj(0, nullptr);
    for (const FillPass &pass : report.passes) {
        Tcl_Obj *entry = Tcl_NewDictObj();
        if (pass.reach > 0.0) {
            Put(entry, "radius", Tcl_NewDoubleObj(pass.reach));
        } else {
            PutWide(entry, "radius", pass.radius);
        }
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

/* x mod 360 in [0, 360). */
double Turn(double x)
{
    double r = std::fmod(x, 360.0);
    if (r < 0.0) {
        r += 360.0;
    }
    return r >= 360.0 ? 0.0 : r;
}

/*
 * The records of a geographic job (x longitude, y latitude, in degrees)
 * with their longitudes brought into the extent's turn, x0 to x0 + 360:
 * -179 and 181 land in the same cell, east of 180 on an extent across it.
 * A footprint keeps its width eastward from its first edge.  A latitude
 * beyond the poles is refused, naming the record.
 */
std::shared_ptr<const Records> OnTheGlobe(const Records &rec, const GridSpec &shape)
{
    auto out = std::make_shared<Records>(rec);
    int w = rec.width;
    bool foot = rec.Footprints();
    std::size_t n = rec.Count();
    for (std::size_t i = 0; i < n; ++i) {
        double *r = &out->values[i * static_cast<std::size_t>(w)];
        int ys[2] = {foot ? 2 : 1, foot ? 3 : 1};
        for (int y : ys) {
            if (std::fabs(r[y]) > 90.0) {
                Fail("%s: record %zu lies at latitude %.17g, beyond the poles "
                     "(-geographic 1 takes y as latitude from -90 to 90)", kCmd, i, r[y]);
            }
        }
        double first = shape.x0 + Turn(r[0] - shape.x0);
        if (foot) {
            r[1] = first + Turn(r[1] - r[0]);
        }
        r[0] = first;
    }
    return out;
}

/*
 * The memory a job needs, estimated before any work, and refused at once
 * (naming the amount) when the process cannot have it in one piece: the
 * cells' sums and weights and their empty marks (17 bytes a cell), the
 * local fill's working arrays (its cell states, queues of cell numbers,
 * values and passes: about 19 bytes a cell), the sources' list (a Tcl
 * value a cell) and the records already held.  The surface solves on
 * `surfaceNodes` nodes (the cells, and a global grid's copies of columns
 * across the seam; 0 for no surface): each node holds its records' sums,
 * its stencil and the solver's vectors, about 28 doubles, and the coarser
 * levels a third as much again; each record takes its place and value.
 */
void NeedMemory(const GridSpec &shape, std::size_t records, bool fill, bool sources,
                double surfaceNodes)
{
    double cells = static_cast<double>(shape.nx) * shape.ny;
    double perCell = 17.0 + (fill && surfaceNodes == 0 ? 19.0 : 0.0) + (sources ? 56.0 : 0.0);
    double bytes = cells * perCell + static_cast<double>(records) * 8.0;
    const char *what = !fill ? "the grid's cells"
                       : surfaceNodes > 0 ? "the grid's cells and the surface's working arrays"
                                          : "the grid's cells and the fill's working arrays";
    if (surfaceNodes > 0) {
        bytes += surfaceNodes * (28.0 * 8.0 * 4.0 / 3.0) + static_cast<double>(records) * 32.0;
    }
    if (bytes >= 0x1p62) {
        throw OutOfMemory{static_cast<std::size_t>(0x1p62), what};
    }
    std::size_t need = static_cast<std::size_t>(bytes);
    if (need > 0 && !CanAllocate(need)) {
        throw OutOfMemory{need, what};
    }
}

/* Bilinear value of grid g (nx by ny nodes, x fastest) at grid
 * coordinates (x, y); positions beyond the outer nodes take theirs. */
double NodeValue(const std::vector<double> &g, int nx, int ny, double x, double y)
{
    /* As the surface reads its records. */
    int i, j;
    double wx, wy;
    Locate(x, nx, i, wx);
    Locate(y, ny, j, wy);
    int i1 = std::min(i + 1, nx - 1), j1 = std::min(j + 1, ny - 1);
    auto at = [&](int a, int b) { return g[static_cast<std::size_t>(b) * nx + a]; };
    return (1 - wy) * ((1 - wx) * at(i, j) + wx * at(i1, j)) +
           wy * ((1 - wx) * at(i, j1) + wx * at(i1, j1));
}

/*
 * How -mask measures: in cells, scaled by sx and sy along the axes (the
 * geometric mean of a cell's sides as the unit, or map units), or on the
 * sphere in km between the cells' centres and the records, the x axis
 * wrapping round when the extent is global.
 */
struct MaskGeometry {
    double sx = 1.0, sy = 1.0;
    bool sphere = false;
    bool wrap = false;
    double lat0 = 0.0, dlat = 0.0, dlon = 0.0;   /* row 0's centre, steps, degrees */
};

constexpr double kPi = 3.14159265358979323846;

/*
 * -mask d: the cells whose centre lies farther than d from every record
 * are marked empty; returns their count.  Records are bucketed by node;
 * a cell looks only at the buckets that can hold a record within d, and
 * a summed-area table of the buckets passes over empty windows at once.
 */
long long Mask(Grid &g, const std::vector<double> &gx, const std::vector<double> &gy,
               const MaskGeometry &m, double d, Interrupt &stop)
{
    int nx = g.nx, ny = g.ny;
    double sx = m.sx, sy = m.sy;
    std::size_t nodes = static_cast<std::size_t>(nx) * ny;
    std::vector<std::size_t> start(nodes + 1, 0), order(gx.size());
    auto bucket = [&](std::size_t k) {
        long long i = std::clamp<long long>(static_cast<long long>(std::floor(gx[k] + 0.5)), 0, nx - 1);
        long long j = std::clamp<long long>(static_cast<long long>(std::floor(gy[k] + 0.5)), 0, ny - 1);
        return static_cast<std::size_t>(j) * nx + static_cast<std::size_t>(i);
    };
    for (std::size_t k = 0; k < gx.size(); ++k) {
        ++start[bucket(k) + 1];
    }
    std::vector<long long> sat((static_cast<std::size_t>(nx) + 1) * (ny + 1), 0);
    for (int j = 0; j < ny; ++j) {
        for (int i = 0; i < nx; ++i) {
            std::size_t n = static_cast<std::size_t>(j) * nx + i;
            sat[(j + 1) * (nx + 1) + i + 1] = (start[n + 1] > 0 ? 1 : 0) +
                sat[j * (nx + 1) + i + 1] + sat[(j + 1) * (nx + 1) + i] - sat[j * (nx + 1) + i];
        }
    }
    for (std::size_t n = 0; n < nodes; ++n) {
        start[n + 1] += start[n];
    }
    std::vector<std::size_t> fill(start.begin(), start.end() - 1);
    for (std::size_t k = 0; k < gx.size(); ++k) {
        order[fill[bucket(k)]++] = k;
    }
    /* A record in bucket (a, b) lies within half a cell of its node. */
    const double degree = kPi / 180.0;
    double rho = d / kEarthRadius;      /* the sphere's angle, radians */
    double d2 = d * d, h2 = std::pow(std::sin(std::min(rho, kPi) / 2), 2);
    int rx = 0, ry = 0;
    if (m.sphere) {
        ry = static_cast<int>(std::min<double>(std::ceil(rho / (std::fabs(m.dlat) * degree) + 1.0), ny));
    } else {
        rx = static_cast<int>(std::min<double>(std::ceil(d / sx + 1.0), nx));
        ry = static_cast<int>(std::min<double>(std::ceil(d / sy + 1.0), ny));
    }
    /* Whether record q lies within d of the centre of cell (i, j). */
    auto within = [&](std::size_t q, int i, int j) {
        if (!m.sphere) {
            double ex = (gx[q] - i) * sx, ey = (gy[q] - j) * sy;
            return ex * ex + ey * ey <= d2;
        }
        double lat1 = (m.lat0 + j * m.dlat) * degree, lat2 = (m.lat0 + gy[q] * m.dlat) * degree;
        double sLat = std::sin((lat2 - lat1) / 2), sLon = std::sin((gx[q] - i) * m.dlon * degree / 2);
        return sLat * sLat + std::cos(lat1) * std::cos(lat2) * sLon * sLon <= h2;
    };
    auto any = [&](int a0, int a1, int b0, int b1) {
        return sat[(b1 + 1) * (nx + 1) + a1 + 1] - sat[b0 * (nx + 1) + a1 + 1] -
               sat[(b1 + 1) * (nx + 1) + a0] + sat[b0 * (nx + 1) + a0] > 0;
    };
    long long masked = 0;
    for (int j = 0; j < ny; ++j) {
        if (stop.Poll()) {
            throw TclError{};
        }
        if (m.sphere) {
            /* The widest reach in longitude of a circle of radius d round
             * the row's centres. */
            double across = std::cos((m.lat0 + j * m.dlat) * degree);
            double lon = rho >= kPi / 2 || std::sin(rho) >= across ? kPi
                                                                    : std::asin(std::sin(rho) / across);
            rx = static_cast<int>(std::min<double>(std::ceil(lon / (std::fabs(m.dlon) * degree) + 1.0), nx));
        }
        int b0 = std::max(j - ry, 0), b1 = std::min(j + ry, ny - 1);
        for (int i = 0; i < nx; ++i) {
            /* The columns of the window: one stretch, or two where it wraps. */
            int from[2], to[2], parts = 1;
            long long lo = static_cast<long long>(i) - rx, hi = static_cast<long long>(i) + rx;
            if (m.wrap && hi - lo + 1 >= nx) {
                from[0] = 0, to[0] = nx - 1;
            } else if (m.wrap && lo < 0) {
                from[0] = 0, to[0] = static_cast<int>(hi);
                from[1] = static_cast<int>(lo + nx), to[1] = nx - 1, parts = 2;
            } else if (m.wrap && hi >= nx) {
                from[0] = static_cast<int>(lo), to[0] = nx - 1;
                from[1] = 0, to[1] = static_cast<int>(hi - nx), parts = 2;
            } else {
                from[0] = static_cast<int>(std::max<long long>(lo, 0));
                to[0] = static_cast<int>(std::min<long long>(hi, nx - 1));
            }
            bool near = false;
            for (int p = 0; p < parts && !near; ++p) {
                if (!any(from[p], to[p], b0, b1)) {
                    continue;
                }
                for (int b = b0; b <= b1 && !near; ++b) {
                    for (int a = from[p]; a <= to[p] && !near; ++a) {
                        std::size_t n = static_cast<std::size_t>(b) * nx + a;
                        for (std::size_t q = start[n]; q < start[n + 1]; ++q) {
                            if (within(order[q], i, j)) {
                                near = true;
                                break;
                            }
                        }
                    }
                }
            }
            if (!near) {
                std::size_t n = static_cast<std::size_t>(j) * nx + i;
                g.cells[n] = kEmptyValue;
                g.empty[n] = 1;
                ++masked;
            }
        }
    }
    return masked;
}

/* The folds -crossvalidate asks for. */
FoldSpec FoldsOf(const FillOptions &opt)
{
    FoldSpec spec;
    spec.folds = opt.folds;
    spec.blocks = opt.foldBlocks;
    spec.across = opt.blocksAcross;
    return spec;
}

/*
 * The surface through records at grid coordinates (gx, gy) with values z
 * and weights w (empty: 1 each).  With `pad` columns, the x axis goes
 * round the globe: the surface is solved on the grid widened by pad
 * columns on either side, which hold the records within pad columns of the
 * other edge moved round by a turn, so that the two edges meet smoothly.
 */
void SolveSurface(const std::vector<double> &gx, const std::vector<double> &gy,
                  const std::vector<double> &z, const std::vector<double> &w,
                  const SurfaceSetup &setup, int pad, double *grid, Interrupt &stop,
                  SurfaceReport &sr)
{
    SurfaceSetup s = setup;
    s.weight = w.empty() ? nullptr : &w;
    if (pad == 0) {
        SurfaceFill(gx, gy, z, s, grid, stop, sr);
        return;
    }
    int nx = setup.nx;
    std::vector<double> px, py, pz, pw;
    auto add = [&](std::size_t k, double x) {
        px.push_back(x + pad);
        py.push_back(gy[k]);
        pz.push_back(z[k]);
        if (!w.empty()) {
            pw.push_back(w[k]);
        }
    };
    for (std::size_t k = 0; k < z.size(); ++k) {
        add(k, gx[k]);
        if (gx[k] < pad - 0.5) {
            add(k, gx[k] + nx);
        }
        if (gx[k] > nx - 0.5 - pad) {
            add(k, gx[k] - nx);
        }
    }
    s.nx = nx + 2 * pad;
    s.weight = pw.empty() ? nullptr : &pw;
    std::vector<double> wide(static_cast<std::size_t>(s.nx) * s.ny);
    SurfaceFill(px, py, pz, s, wide.data(), stop, sr);
    for (int j = 0; j < s.ny; ++j) {
        std::copy_n(&wide[static_cast<std::size_t>(j) * s.nx + pad], nx,
                    grid + static_cast<std::size_t>(j) * nx);
    }
}

/* Whether a geographic extent goes all round the globe (360 degrees of
 * longitude), so that the surface's x axis wraps. */
bool GlobalExtent(const GridSpec &shape)
{
    return std::fabs(shape.x1 - shape.x0 - 360.0) <= 1e-9 * 360.0;
}

/* Columns added on either side of a global grid for the surface: a
 * quarter of the globe, or half of it on grids of up to 128 columns,
 * where a column spans more of the surface's reach (measured: the grids
 * from -180 and from 0 then agree to 1e-8 of the values; a quarter left
 * 1e-4 on 72 columns, an eighth 1e-4 on 360). */
int GlobePad(int nx)
{
    return std::min(nx, std::max({8, nx / 4, std::min(64, nx / 2)}));
}

/*
 * -crossvalidate with the surface: each fold's records are predicted by
 * the surface of the others, read bilinearly at their positions.  Returns
 * the report (grid/CrossValidate.h).
 */
Tcl_Obj *SurfaceCrossValidation(const std::vector<double> &gx, const std::vector<double> &gy,
                                const std::vector<double> &z, const std::vector<double> &w,
                                const SurfaceSetup &setup, int pad, const FillOptions &opt,
                                Interrupt &stop)
{
    std::vector<double> grid(static_cast<std::size_t>(setup.nx) * setup.ny);
    std::vector<double> fx, fy, fz, fw;
    auto predict = [&](const std::vector<int> &foldOf, int f,
                       const std::vector<std::size_t> &held, std::vector<double> &value,
                       std::vector<unsigned char> &ok) {
        fx.clear(), fy.clear(), fz.clear(), fw.clear();
        for (std::size_t k = 0; k < z.size(); ++k) {
            if (foldOf[k] != f) {
                fx.push_back(gx[k]), fy.push_back(gy[k]), fz.push_back(z[k]);
                if (!w.empty()) {
                    fw.push_back(w[k]);
                }
            }
        }
        SurfaceReport sr;
        SolveSurface(fx, fy, fz, fw, setup, pad, grid.data(), stop, sr);
        for (std::size_t h = 0; h < held.size(); ++h) {
            value[h] = NodeValue(grid, setup.nx, setup.ny, gx[held[h]], gy[held[h]]);
            ok[h] = 1;
        }
    };
    return CrossValidateRecords(gx, gy, z, setup.nx, setup.ny, setup.aspect, FoldsOf(opt),
                                opt.seed, predict);
}

/*
 * Visits the records the surface takes (inside the extent, edges
 * included; a value the binning keeps: finite, within the range, not a
 * zero skipped when asked), in their order, as visit(k, gx, gy, v) with
 * their grid coordinates.  Returns how many lay outside the extent.
 */
template <class Visit>
long long ForEachPlacedRecord(const Records &rec, const GridSpec &shape, Visit visit)
{
    double hx = (shape.x1 - shape.x0) / shape.nx, hy = (shape.y1 - shape.y0) / shape.ny;
    double xlo = std::min(shape.x0, shape.x1), xhi = std::max(shape.x0, shape.x1);
    double ylo = std::min(shape.y0, shape.y1), yhi = std::max(shape.y0, shape.y1);
    InterleavedRecords r{rec.values.data(), rec.width};
    long long outside = 0;
    for (std::size_t k = 0; k < rec.Count(); ++k) {
        int i = static_cast<int>(k);
        double x = 0.5 * (r.X1(i) + r.X2(i)), y = 0.5 * (r.Y1(i) + r.Y2(i)), v = r.Z(i);
        if (!(x >= xlo && x <= xhi && y >= ylo && y <= yhi)) {
            ++outside;
            continue;
        }
        if (!std::isfinite(v) || v < shape.lo || v > shape.hi ||
            (shape.ignoreZeros && v == 0.0)) {
            continue;
        }
        visit(k, (x - shape.x0) / hx - 0.5, (y - shape.y0) / hy - 0.5, v);
    }
    return outside;
}

/* The records the local fill's cross-validation holds out: those the
 * surface would take, at grid coordinates, with their numbers. */
PlacedRecords PlaceRecords(const Records &rec, const GridSpec &shape)
{
    PlacedRecords placed;
    ForEachPlacedRecord(rec, shape, [&placed](std::size_t k, double gx, double gy, double v) {
        placed.gx.push_back(gx);
        placed.gy.push_back(gy);
        placed.z.push_back(v);
        placed.index.push_back(k);
    });
    return placed;
}

/* A grid of the shape's cells, extent and empty text, without cells yet. */
std::shared_ptr<Grid> GridShapedAs(const GridSpec &shape)
{
    auto g = std::make_shared<Grid>();
    g->nx = shape.nx;
    g->ny = shape.ny;
    g->hasExtent = true;
    g->x0 = shape.x0;
    g->x1 = shape.x1;
    g->y0 = shape.y0;
    g->y1 = shape.y1;
    g->marker = shape.marker;
    return g;
}

/*
 * The default method: the surface in tension through the records that the
 * binning would take (inside the extent, edges included; values within
 * the range; zeros skipped when asked), each at its own position.  The
 * limits default to the records' range widened by kLimitMargin of it on
 * either side.  Sets out[0] to the grid and out[1] to the report.
 */
constexpr double kLimitMargin = 0.05;

void Surface(Tcl_Interp *interp, const Records &rec, const GridSpec &shape,
             const FillOptions &opt, Tcl_Obj *(&out)[2])
{
    double hx = (shape.x1 - shape.x0) / shape.nx, hy = (shape.y1 - shape.y0) / shape.ny;
    std::vector<double> gx, gy, z, w;
    std::size_t n = rec.Count();
    ReserveLarge(gx, n);
    ReserveLarge(gy, n);
    ReserveLarge(z, n);
    double zmin = HUGE_VAL, zmax = -HUGE_VAL;
    long long outside = ForEachPlacedRecord(
        rec, shape, [&](std::size_t k, double x, double y, double v) {
            gx.push_back(x);
            gy.push_back(y);
            z.push_back(v);
            if (rec.Weighted()) {
                w.push_back(rec.values[k * static_cast<std::size_t>(rec.width) + rec.width - 1]);
            }
            zmin = std::min(zmin, v);
            zmax = std::max(zmax, v);
        });
    /* Weights count relative to their mean, so that their scale does not
     * change how closely the surface follows the records; scaled by a
     * power of two first, their sum cannot overflow. */
    if (!w.empty()) {
        double largest = *std::max_element(w.begin(), w.end());
        int shift = 0;
        std::frexp(largest, &shift);
        double sum = 0.0;
        for (double &v : w) {
            v = std::ldexp(v, -shift);
            sum += v;
        }
        double mean = sum / static_cast<double>(w.size());
        for (double &v : w) {
            v = std::max(v / mean, DBL_MIN);
        }
    }
    auto g = GridShapedAs(shape);
    std::size_t cells = static_cast<std::size_t>(shape.nx) * shape.ny;
    g->cells.assign(cells, kEmptyValue);
    g->empty.assign(cells, 1);

    Tcl_Obj *report = Tcl_NewDictObj();
    Put(report, "method", Tcl_NewStringObj("surface", -1));
    Tcl_Obj *fates = Tcl_NewDictObj();
    PutWide(fates, "binned", static_cast<long long>(z.size()));
    PutWide(fates, "outside", outside);
    PutWide(fates, "rejected", static_cast<long long>(n) - outside -
                                   static_cast<long long>(z.size()));
    PutWide(fates, "unreadable", rec.unreadable);
    Put(report, "records", fates);
    /* Without overflow where the records span most of the doubles. */
    double widen = kLimitMargin * zmax - kLimitMargin * zmin;
    SurfaceSetup setup;
    setup.nx = shape.nx;
    setup.ny = shape.ny;
    setup.aspect = std::fabs(hy / hx);
    bool global = false;
    if (opt.geographic) {
        /* Degrees of longitude shrink with the cosine of the latitude: the
         * cells' shape at the extent's middle latitude. */
        setup.aspect /= std::cos((shape.y0 + shape.y1) / 2 * (kPi / 180.0));
        global = GlobalExtent(shape);
    }
    int pad = global ? GlobePad(shape.nx) : 0;
    setup.tension = opt.tension;
    setup.lower = opt.hasLimit[0] ? opt.limits[0] : std::max(zmin - widen, -DBL_MAX);
    setup.upper = opt.hasLimit[1] ? opt.limits[1] : std::min(zmax + widen, DBL_MAX);
    if (!z.empty() && setup.lower > setup.upper) {
        Refuse("-lower and -upper leave no value between them: " +
               std::to_string(setup.lower) + " above " + std::to_string(setup.upper));
    }
    Interrupt stop(interp);
    if (opt.folds) {
        out[0] = Tcl_NewObj();
        out[1] = SurfaceCrossValidation(gx, gy, z, w, setup, pad, opt, stop);
        Tcl_DecrRefCount(report);
        return;
    }
    if (!z.empty()) {
        SurfaceReport sr;
        SolveSurface(gx, gy, z, w, setup, pad, g->cells.data(), stop, sr);
        std::fill(g->empty.begin(), g->empty.end(), 0);
        MaskGeometry m;
        m.sx = 1.0 / std::sqrt(setup.aspect);
        m.sy = std::sqrt(setup.aspect);
        if (opt.mapMask) {
            m.sx = std::fabs(hx);
            m.sy = std::fabs(hy);
            m.sphere = opt.geographic;
            m.wrap = global;
            m.lat0 = shape.y0 + hy / 2;
            m.dlat = hy;
            m.dlon = hx;
        }
        long long masked = opt.mask > 0.0 ? Mask(*g, gx, gy, m, opt.mask, stop) : 0;
        PutWide(report, "masked", masked);
        Put(report, "lower", Tcl_NewDoubleObj(setup.lower));
        Put(report, "upper", Tcl_NewDoubleObj(setup.upper));
        Put(report, "tension", Tcl_NewDoubleObj(setup.tension));
        PutWide(report, "cycles", sr.cycles);
        Put(report, "residual", Tcl_NewDoubleObj(sr.residual));
        PutWide(report, "clamped", sr.clamped);
    }
    long long left = 0;
    for (unsigned char e : g->empty) {
        left += e;
    }
    PutWide(report, "empty", left);
    out[0] = NewGridObj(std::move(g));
    out[1] = report;
}

} // namespace

namespace {

/* Sums scaled by 2^-512 for the cells whose plain sum overflowed: a record
 * adds (value * 2^-512) * w, so no sum of finite values can overflow, and
 * the mean is scaled back at the end. */
struct ScaledSums {
    const std::vector<unsigned char> &redo;
    std::vector<double> &sum;

    void Reset(int) {}
    void Finish(int, double) {}
    void Add(int k, double value, double w)
    {
        if (redo[k]) {
            sum[k] = (value * 0x1p-512) * w + sum[k];
        }
    }
};

/* The values of the records that fall into each cell with their weights,
 * through the binning's own footprints and filters. */
struct CellEntry {
    int cell;
    double value, w;
    bool operator<(const CellEntry &o) const
    {
        return cell != o.cell ? cell < o.cell : value < o.value;
    }
};

struct CellValues {
    std::vector<CellEntry> &entries;

    void Reset(int) {}
    void Finish(int, double) {}
    void Add(int k, double value, double w) { entries.push_back({k, value, w}); }
};

/* The weighted median of entries a .. b-1 (sorted by value): the first
 * value at which the weights summed from below reach half of their total;
 * where they reach it exactly, the mean of that value and the next (so
 * that equal weights give the plain median). */
double WeightedMedian(const std::vector<CellEntry> &e, std::size_t a, std::size_t b)
{
    double total = 0.0;
    for (std::size_t i = a; i < b; ++i) {
        total += e[i].w;
    }
    double below = 0.0;
    for (std::size_t i = a; i < b; ++i) {
        below += e[i].w;
        if (below * 2.0 >= total) {
            if (below * 2.0 == total && i + 1 < b) {
                return e[i].value / 2.0 + e[i + 1].value / 2.0;
            }
            return e[i].value;
        }
    }
    return e[b - 1].value;
}

/* Each cell that received records gets their median, smallest or largest
 * value instead of the mean (the weights stay, so empty cells stay empty);
 * weighted records give the weighted median. */
template <class Accessor>
void OrderValues(const double *d, int n, const Accessor &records, bool weighted,
                 CellValue kind, Grid &g)
{
    std::vector<CellEntry> entries;
    try {
        entries.reserve(static_cast<std::size_t>(n));
    } catch (const std::bad_alloc &) {
        throw OutOfMemory{static_cast<std::size_t>(n) * sizeof(CellEntry),
                          "the values of the records of each cell"};
    }
    CellValues store{entries};
    BinCounts unused;
    BinAdd(d, n, 1, 1, records, store, &unused);
    std::sort(entries.begin(), entries.end());
    for (std::size_t a = 0; a < entries.size();) {
        std::size_t b = a;
        while (b < entries.size() && entries[b].cell == entries[a].cell) {
            ++b;
        }
        double v;
        if (kind == CellValue::kMin) {
            v = entries[a].value;
        } else if (kind == CellValue::kMax) {
            v = entries[b - 1].value;
        } else if (weighted) {
            v = WeightedMedian(entries, a, b);
        } else {
            std::size_t m = a + (b - a) / 2;
            /* halves first: the mean of two huge values does not overflow */
            v = (b - a) % 2 == 1 ? entries[m].value
                                 : entries[m - 1].value / 2.0 + entries[m].value / 2.0;
        }
        g.cells[static_cast<std::size_t>(entries[a].cell)] = v;
        a = b;
    }
}

/* NEW ADD END over the records through `records`, the overflowed means
 * computed again, and another cell value where asked for. */
template <class Accessor>
void BinWith(const double *d, int n, const Accessor &records, bool weighted,
             const GridSpec &shape, Grid &g, BinCounts &counts)
{
    std::size_t cells = g.cells.size();
    BinArrays store{g.cells.data(), g.weights.data()};
    BinNew(d, store);
    BinAdd(d, n, 1, 1, records, store, &counts);
    BinEnd(d, store);

    /* A cell whose sum overflowed (two values of 1e308) has its mean
     * computed again from scaled sums: the mean of finite values is finite. */
    std::vector<unsigned char> redo;
    bool overflowed = false;
    for (std::size_t k = 0; k < cells; ++k) {
        if (g.weights[k] > 0.0 && !std::isfinite(g.cells[k])) {
            if (!overflowed) {
                redo.assign(cells, 0);
                overflowed = true;
            }
            redo[k] = 1;
        }
    }
    if (overflowed) {
        std::vector<double> scaled(cells, 0.0);
        ScaledSums again{redo, scaled};
        BinCounts unused;
        BinAdd(d, n, 1, 1, records, again, &unused);
        for (std::size_t k = 0; k < cells; ++k) {
            if (redo[k]) {
                g.cells[k] = scaled[k] / g.weights[k] * 0x1p512;
            }
        }
    }
    if (shape.cellValue != CellValue::kMean) {
        OrderValues(d, n, records, weighted, shape.cellValue, g);
    }
}

} // namespace

std::shared_ptr<Grid> BinRecords(const Records &rec, const GridSpec &shape,
                                 BinCounts *countsOut)
{
    std::size_t n = rec.Count();
    if (n > static_cast<std::size_t>(INT_MAX)) {
        Fail("%s: more than %d records", kCmd, INT_MAX);
    }
    auto g = GridShapedAs(shape);
    std::size_t cells = static_cast<std::size_t>(shape.nx) * shape.ny;
    try {
        g->cells.assign(cells, 0.0);
        g->weights.assign(cells, 0.0);
    } catch (const std::bad_alloc &) {
        throw OutOfMemory{cells * 2 * sizeof(double), "the sums and weights of the grid's cells"};
    }

    /* KDdataGrid's descriptor record for "NEW ADD END", cells x fastest. */
    double d[gi::kHigh + 1] = {};
    d[gi::kX0] = shape.x0;
    d[gi::kX1] = shape.x1;
    d[gi::kY0] = shape.y0;
    d[gi::kY1] = shape.y1;
    d[gi::kNx] = shape.nx;
    d[gi::kNy] = shape.ny;
    d[gi::kXBin] = shape.xArea ? 1.0 : 0.0;
    d[gi::kYBin] = shape.yArea ? 1.0 : 0.0;
    d[gi::kOrder] = 0.0;
    d[gi::kIgnore] = shape.ignoreZeros ? 1.0 : 0.0;
    d[gi::kAction] = kBinNew + kBinAdd + kBinEnd;
    d[gi::kEmpty] = kEmptyValue;
    d[gi::kExcluded] = kExcludedValue;
    d[gi::kLow] = shape.lo;
    d[gi::kHigh] = shape.hi;

    /* KDdataGrid's arithmetic, except that points on the far edges are
     * binned into the last cells and every record is counted.  Weights
     * are scaled so that the largest lies in [0.5, 1): their sums cannot
     * overflow, and a value times its weight is no larger than the value. */
    BinCounts counts;
    if (rec.Weighted()) {
        WeightedRecords records{{rec.values.data(), rec.width}};
        double largest = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            largest = std::max(largest, rec.values[i * rec.width + rec.width - 1]);
        }
        if (largest > 0.0) {
            std::frexp(largest, &records.shift);
            records.shift = -records.shift;
        }
        BinWith(d, static_cast<int>(n), records, true, shape, *g, counts);
    } else {
        InterleavedRecords records{rec.values.data(), rec.width};
        BinWith(d, static_cast<int>(n), records, false, shape, *g, counts);
    }
    MarkEmpty(*g);
    if (countsOut != nullptr) {
        *countsOut = counts;
    }
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

/* ::kardum::Records records ?geographic?: {width recordsValue bounds},
 * the records checked and held in one buffer (the value itself when it is
 * one already), and the box they span. */
int RecordsCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    return RunCommand(interp, "kardum::gridfill", [&]() -> int {
        if (objc != 2 && objc != 3) {
            Tcl_WrongNumArgs(interp, 1, objv, "records ?geographic?");
            return TCL_ERROR;
        }
        bool geographic = objc == 3 && IntArg(objv[2], "geographic", 0, 1) != 0;
        Tcl_Obj *value = objv[1];
        auto records = GetRecords(interp, value, kCmd);
        if (!IsRecordsObj(value)) {
            value = NewRecordsObj(records);
        }
        /* The records' bounds {xmin xmax ymin ymax}, empty without records. */
        Tcl_Obj *bounds = Tcl_NewListObj(0, nullptr);
        std::size_t n = records->Count();
        if (n > 0) {
            int w = records->width;
            bool foot = records->Footprints();
            const int xs[2] = {0, foot ? 1 : 0}, ys[2] = {foot ? 2 : 1, foot ? 3 : 1};
            double b[4] = {DBL_MAX, -DBL_MAX, DBL_MAX, -DBL_MAX};
            for (std::size_t i = 0; i < n; ++i) {
                const double *r = records->values.data() + i * static_cast<std::size_t>(w);
                for (int k = 0; k < 2; ++k) {
                    b[0] = std::min(b[0], r[xs[k]]);
                    b[1] = std::max(b[1], r[xs[k]]);
                    b[2] = std::min(b[2], r[ys[k]]);
                    b[3] = std::max(b[3], r[ys[k]]);
                }
            }
            if (geographic) {
                /* The shortest turn of longitude that holds them all: the
                 * complement of the widest gap between them round the
                 * globe, from x0 in -180 .. 180. */
                std::vector<double> lon;
                lon.reserve(2 * n);
                for (std::size_t i = 0; i < n; ++i) {
                    const double *r = records->values.data() + i * static_cast<std::size_t>(w);
                    for (int k = 0; k < (foot ? 2 : 1); ++k) {
                        lon.push_back(Turn(r[xs[k]]));
                    }
                }
                std::sort(lon.begin(), lon.end());
                double gap = lon.front() + 360.0 - lon.back();
                double from = lon.front();
                for (std::size_t i = 1; i < lon.size(); ++i) {
                    if (lon[i] - lon[i - 1] > gap) {
                        gap = lon[i] - lon[i - 1];
                        from = lon[i];
                    }
                }
                if (from >= 180.0) {
                    from -= 360.0;
                }
                b[0] = from;
                b[1] = from + (360.0 - gap);
            }
            for (double v : b) {
                Tcl_ListObjAppendElement(nullptr, bounds, Tcl_NewDoubleObj(v));
            }
        }
        Tcl_Obj *out[3] = {Tcl_NewIntObj(records->width), value, bounds};
        Tcl_SetObjResult(interp, Tcl_NewListObj(3, out));
        return TCL_OK;
    });
}

int GridComputeCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    return RunCommand(interp, "kardum::gridfill", [&]() -> int {
        if (objc < 15 || (objc - 15) % 2 != 0) {
            Tcl_WrongNumArgs(interp, 1, objv,
                "records x0 x1 y0 y1 nx ny xArea yArea ignore lo hi marker fill "
                "?option value ...?");
            return TCL_ERROR;
        }
        GridSpec shape;
        shape.x0 = DoubleArg(objv[2], "x0");
        shape.x1 = DoubleArg(objv[3], "x1");
        shape.y0 = DoubleArg(objv[4], "y0");
        shape.y1 = DoubleArg(objv[5], "y1");
        if (!std::isfinite(shape.x0) || !std::isfinite(shape.x1) || shape.x0 == shape.x1 ||
            !std::isfinite(shape.y0) || !std::isfinite(shape.y1) || shape.y0 == shape.y1) {
            Fail("%s: the extent must span both axes with finite edges", kCmd);
        }
        shape.nx = IntArg(objv[6], "nx", 1, INT_MAX);
        shape.ny = IntArg(objv[7], "ny", 1, INT_MAX);
        if (static_cast<long long>(shape.nx) * shape.ny > INT_MAX) {
            Fail("%s: the grid of %d by %d cells is too large", kCmd, shape.nx, shape.ny);
        }
        shape.xArea = IntArg(objv[8], "xArea", 0, 1) != 0;
        shape.yArea = IntArg(objv[9], "yArea", 0, 1) != 0;
        shape.ignoreZeros = IntArg(objv[10], "ignore", 0, 1) != 0;
        shape.lo = DoubleArg(objv[11], "lo");
        shape.hi = DoubleArg(objv[12], "hi");
        shape.marker = Tcl_GetString(objv[13]);
        bool fill = IntArg(objv[14], "fill", 0, 1) != 0;

        /* The fill's settings, checked before any work. */
        FillSetup setup;
        FillGuards guards;
        setup.nx = shape.nx;
        setup.ny = shape.ny;
        setup.empty = kEmptyValue;
        setup.excluded = kExcludedValue;
        /* -cellvalue belongs to the binning: taken out before the fill's
         * settings are read. */
        std::vector<Tcl_Obj *> words(objv, objv + objc);
        bool geographic = false;
        for (std::size_t i = 15; i + 1 < words.size();) {
            if (std::strcmp(Tcl_GetString(words[i]), "-geographic") == 0) {
                geographic = Boolean(words[i + 1], "-geographic");
                words.erase(words.begin() + static_cast<std::ptrdiff_t>(i),
                            words.begin() + static_cast<std::ptrdiff_t>(i) + 2);
                continue;
            }
            if (std::strcmp(Tcl_GetString(words[i]), "-cellvalue") != 0) {
                i += 2;
                continue;
            }
            static const char *const kKinds[] = {"mean", "median", "min", "max", nullptr};
            int kind = 0;
            if (Tcl_GetIndexFromObj(nullptr, words[i + 1], kKinds, "", TCL_EXACT, &kind) !=
                TCL_OK) {
                Fail("%s: -cellvalue must be mean, median, min or max, got \"%s\"", kCmd,
                     Tcl_GetString(words[i + 1]));
            }
            shape.cellValue = static_cast<CellValue>(kind);
            words.erase(words.begin() + static_cast<std::ptrdiff_t>(i),
                        words.begin() + static_cast<std::ptrdiff_t>(i) + 2);
        }
        if (shape.cellValue != CellValue::kMean && (shape.xArea || shape.yArea)) {
            static const char *const kNames[] = {"mean", "median", "min", "max"};
            Fail("%s: -cellvalue %s takes the values of points: give -binning point", kCmd,
                 kNames[static_cast<int>(shape.cellValue)]);
        }
        /* A geographic extent runs east from x0, at most once round. */
        double hx = (shape.x1 - shape.x0) / shape.nx, hy = (shape.y1 - shape.y0) / shape.ny;
        if (geographic) {
            if (!(shape.x1 > shape.x0 && shape.x1 - shape.x0 <= 360.0) ||
                std::fabs(shape.y0) > 90.0 || std::fabs(shape.y1) > 90.0) {
                Fail("%s: a geographic extent runs east from x0 to x1 = x0 + at most 360 "
                     "and lies within latitudes -90 to 90", kCmd);
            }
        }
        bool global = geographic && std::fabs(shape.x1 - shape.x0 - 360.0) <= 1e-9 * 360.0;
        FillOptions opt = ReadFillOptions(interp, static_cast<int>(words.size()), words.data(),
                                          15, setup, guards, geographic, global);
        opt.metric.sphere = geographic;
        opt.metric.kx = std::fabs(hx);
        opt.metric.ky = std::fabs(hy);
        opt.metric.lat0 = shape.y0 + hy / 2;
        opt.metric.dlat = hy;
        opt.metric.dlon = hx;
        if (opt.mapRadius) {
            guards.metric = &opt.metric;
        }

        Interrupt stop(interp);
        guards.stop = &stop;

        auto records = GetRecords(interp, objv[1], kCmd);
        if (geographic) {
            records = OnTheGlobe(*records, shape);
        }
        double surfaceNodes = 0.0;
        if (opt.surface && (fill || opt.folds)) {
            bool global = geographic && GlobalExtent(shape);
            int columns = shape.nx + (global ? 2 * GlobePad(shape.nx) : 0);
            surfaceNodes = static_cast<double>(columns) * shape.ny;
        }
        NeedMemory(shape, records->Count(), fill || opt.folds, opt.wantSource, surfaceNodes);
        if (opt.surface && (fill || opt.folds)) {
            if (shape.cellValue != CellValue::kMean) {
                Fail("%s: -cellvalue sets the cells of the binned grid (-fill 0) and of "
                     "-method local; the surface takes the records at their positions", kCmd);
            }
            Tcl_Obj *out[2] = {nullptr, nullptr};
            Surface(interp, *records, shape, opt, out);
            Tcl_SetObjResult(interp, Tcl_NewListObj(2, out));
            return TCL_OK;
        }
        if (opt.folds) {
            /* Each fold's complement is binned and filled on its own. */
            Tcl_Obj *out[2] = {nullptr, LocalCrossValidation(*records, PlaceRecords(*records, shape),
                                                             shape, setup, guards, FoldsOf(opt))};
            out[0] = Tcl_NewObj();
            Tcl_SetObjResult(interp, Tcl_NewListObj(2, out));
            return TCL_OK;
        }
        BinCounts counts;
        auto grid = BinRecords(*records, shape, &counts);
        long long unreadable = records->unreadable;
        records.reset();

        Tcl_Obj *report;
        if (fill) {
            FillReport filled;
            GuardedFill(grid->cells.data(), grid->weights.data(), setup, guards,
                        opt.wantSource, filled);
            MarkEmpty(*grid);
            /* The fill's sums can overflow where the values come near the
             * largest double: refuse the grid rather than hand on a cell
             * the data do not support. */
            for (std::size_t k = 0; k < grid->Size(); ++k) {
                if (!grid->empty[k] && !std::isfinite(grid->cells[k])) {
                    Fail("%s: the fill overflowed at cell (%d, %d): values this large "
                         "(up to the largest double) exceed its arithmetic; scale them down",
                         kCmd, static_cast<int>(k % shape.nx), static_cast<int>(k / shape.nx));
                }
            }
            /* Nothing reads the weights of a filled grid: give them back. */
            std::vector<double>().swap(grid->weights);
            report = ReportDict(filled);
            if (opt.wantSource) {
                Tcl_Obj *sources = Tcl_NewListObj(0, nullptr);
                for (signed char c : filled.source) {
                    Tcl_ListObjAppendElement(nullptr, sources, Tcl_NewIntObj(c));
                }
                Tcl_DictObjPut(nullptr, report, Tcl_NewStringObj("sources", -1), sources);
            }
        } else {
            FillReport binned;
            for (double w : grid->weights) {
                binned.dataCells += w != 0.0;
            }
            binned.emptyCells = static_cast<long long>(grid->Size()) - binned.dataCells;
            report = ReportDict(binned);
        }
        Tcl_Obj *fates = Tcl_NewDictObj();
        PutWide(fates, "binned", counts.binned);
        PutWide(fates, "outside", counts.outside);
        PutWide(fates, "rejected", counts.rejected);
        PutWide(fates, "unreadable", unreadable);
        Put(report, "records", fates);
        Tcl_Obj *out[2] = {NewGridObj(std::move(grid)), report};
        Tcl_SetObjResult(interp, Tcl_NewListObj(2, out));
        return TCL_OK;
    });
}

} // namespace kardum::package
