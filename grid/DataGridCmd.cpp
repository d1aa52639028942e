/*
 * DataGridCmd.cpp --
 *
 *	KDdataGrid: bins records, each a value with an x and a y interval,
 *	onto a regular grid.  The sums and weights live in two Tcl arrays of
 *	the calling script, so a grid can be started (NEW), fed in batches
 *	(ADD) and finished into weighted averages (END) over several calls.
 *
 *	KDdataGrid nP xHold X1 X2 yHold Y1 Y2 Z Grd Nrm gI
 */

#include "kardum.h"
#include "frame/Elements.h"
#include "frame/Frame.h"
#include "grid/Descriptor.h"

#include <climits>
#include <cmath>
#include <cstring>

namespace {

/* The worker's descriptor record holds gI's elements 0 .. 14 at their
 * own element numbers. */
using namespace kardum::gi;
const int kDescriptorSize = kHigh + 1;

enum { kNew = 4, kAdd = 2, kEnd = 1 };

/* Holds a reference to a Tcl object for one scope. */
class ObjRef {
public:
    explicit ObjRef(Tcl_Obj *obj) : obj_(obj) { Tcl_IncrRefCount(obj_); }
    ~ObjRef() { Tcl_DecrRefCount(obj_); }
    ObjRef(const ObjRef &) = delete;
    ObjRef &operator=(const ObjRef &) = delete;
    Tcl_Obj *get() const { return obj_; }

private:
    Tcl_Obj *obj_;
};

/* Cell count from a descriptor number, 0 when it is not in 1 .. INT_MAX. */
int CellCount(double n)
{
    return (n >= 1.0 && n <= static_cast<double>(INT_MAX)) ? static_cast<int>(n) : 0;
}

/* Sum of 4 per "NEW", 2 per "ADD" and 1 per "END", the words taken at
 * character positions 0, 4, 8, ...  The words are ASCII, so three equal
 * bytes are three equal characters; only the step counts characters. */
int ActionSum(const char *text)
{
    int sum = 0;
    for (const char *pos = text; *pos != '\0';) {
        if (std::strncmp(pos, "NEW", 3) == 0) {
            sum += kNew;
        } else if (std::strncmp(pos, "ADD", 3) == 0) {
            sum += kAdd;
        } else if (std::strncmp(pos, "END", 3) == 0) {
            sum += kEnd;
        }
        for (int k = 0; k < 4 && *pos != '\0'; ++k) {
            pos = Tcl_UtfNext(pos);
        }
    }
    return sum;
}

/* One cell of Grd or Nrm, read and written through the interpreter. */
class CellArray {
public:
    CellArray(Tcl_Interp *interp, Tcl_Obj *name)
        : interp_(interp), name_(Tcl_NewStringObj(Tcl_GetString(name), -1)) {}

    /* A missing element or one that is not a number counts as 0.0. */
    double Get(Tcl_Obj *index) const
    {
        Tcl_Obj *value = Tcl_ObjGetVar2(interp_, name_.get(), index, TCL_LEAVE_ERR_MSG);
        double d = 0.0;
        if (value == nullptr || Tcl_GetDoubleFromObj(interp_, value, &d) != TCL_OK) {
            return 0.0;
        }
        return d;
    }

    void Set(Tcl_Obj *index, double d) const
    {
        ObjRef value(Tcl_NewDoubleObj(d));
        Tcl_ObjSetVar2(interp_, name_.get(), index, value.get(), TCL_LEAVE_ERR_MSG);
    }

private:
    Tcl_Interp *interp_;
    ObjRef name_;
};

/* The cells one record covers along one axis and the covered fractions of
 * its first and last cell. */
struct Span {
    int first = 0;
    int last = 0;
    double fFirst = 1.0;
    double fLast = 1.0;
};

/*
 * Footprint of the interval lo .. hi (lo the end nearer the axis origin)
 * on an axis of `cells` cells of width `step` starting at `origin`.
 * Returns false when the record is to be skipped.
 */
bool Footprint(double lo, double hi, double origin, double step, int cells,
               bool point, Span &span)
{
    double ua = (lo - origin) / step;
    double ub = (hi - origin) / step;
    if (point) {
        double u = (ua + ub) / 2.0;
        if (!(u >= 0.0 && u < cells)) {
            return false;           /* outside, or NaN */
        }
        span.first = span.last = static_cast<int>(u);
        return true;
    }
    if (!(ua <= ub)) {
        return false;               /* reversed interval, or NaN */
    }
    if (ua >= cells || ub < 0.0) {
        return false;
    }
    bool lowClipped = ua < 0.0;
    bool highClipped = ub >= cells;
    span.first = lowClipped ? 0 : static_cast<int>(ua);
    span.last = highClipped ? cells - 1 : static_cast<int>(ub);
    if (span.first != span.last) {
        if (!lowClipped) {
            span.fFirst = ((span.first + 1) * step + origin - lo) / step;
        }
        if (!highClipped) {
            span.fLast = (hi - (span.last * step + origin)) / step;
        }
    }
    return true;
}

double Fraction(const Span &span, int cell)
{
    if (cell == span.first) {
        return span.fFirst;
    }
    return cell == span.last ? span.fLast : 1.0;
}

void Accumulate(const CellArray &grd, const CellArray &nrm, int flat,
                double value, double weight)
{
    ObjRef index(Tcl_NewIntObj(flat));
    double sum = grd.Get(index.get());
    double norm = nrm.Get(index.get());
    grd.Set(index.get(), value * weight + sum);
    nrm.Set(index.get(), norm + weight);
}

} // namespace

extern "C" int DataGrid_C(Tcl_Interp *interp, int nP, int xHold, double *x1,
                          double *x2, int yHold, double *y1, double *y2,
                          double *z, Tcl_Obj *grd, Tcl_Obj *nrm,
                          double *descriptor)
{
    const double *d = descriptor;
    /* The cell widths take the counts as given; the cells are their whole
     * parts, and NEW and END run over nx * ny flat positions, truncated. */
    int nx = CellCount(d[kNx]);
    int ny = CellCount(d[kNy]);
    int flatCount = nx > 0 && ny > 0 ? CellCount(d[kNx] * d[kNy]) : 0;
    int action = static_cast<int>(d[kAction]);
    CellArray sums(interp, grd), weights(interp, nrm);

    if (action & kNew) {
        for (int k = 0; k < flatCount; ++k) {
            ObjRef index(Tcl_NewIntObj(k));
            sums.Set(index.get(), 0.0);
            weights.Set(index.get(), 0.0);
        }
    }

    if ((action & kAdd) && flatCount > 0 && xHold >= 1 && yHold >= 1) {
        double x0 = d[kX0], y0 = d[kY0];
        double dx = (d[kX1] - x0) / d[kNx];
        double dy = (d[kY1] - y0) / d[kNy];
        bool xAscending = !(x0 > d[kX1]);
        bool yAscending = !(y0 > d[kY1]);
        bool xPoint = d[kXBin] < 0.5;
        bool yPoint = d[kYBin] < 0.5;
        bool column = d[kOrder] > 0.5;
        bool ignoreZero = d[kIgnore] > 0.5;

        for (int i = 0; i < nP; ++i) {
            double value = z[i];
            if ((ignoreZero && value == 0.0) || value < d[kLow] || value > d[kHigh]) {
                continue;
            }
            int r = i / xHold;
            int s = i / yHold;
            double xa = xAscending ? x1[r] : x2[r];
            double xb = xAscending ? x2[r] : x1[r];
            double ya = yAscending ? y1[s] : y2[s];
            double yb = yAscending ? y2[s] : y1[s];
            Span sx, sy;
            if (!Footprint(xa, xb, x0, dx, nx, xPoint, sx) ||
                !Footprint(ya, yb, y0, dy, ny, yPoint, sy)) {
                continue;
            }
            if (column) {
                for (int a = sx.first; a <= sx.last; ++a) {
                    for (int b = sy.first; b <= sy.last; ++b) {
                        Accumulate(sums, weights, a * ny + b, value,
                                   Fraction(sx, a) * Fraction(sy, b));
                    }
                }
            } else {
                for (int b = sy.first; b <= sy.last; ++b) {
                    for (int a = sx.first; a <= sx.last; ++a) {
                        Accumulate(sums, weights, b * nx + a, value,
                                   Fraction(sx, a) * Fraction(sy, b));
                    }
                }
            }
        }
    }

    if (action & kEnd) {
        for (int k = 0; k < flatCount; ++k) {
            ObjRef index(Tcl_NewIntObj(k));
            double norm = weights.Get(index.get());
            if (norm > 0) {
                sums.Set(index.get(), sums.Get(index.get()) / norm);
            } else {
                sums.Set(index.get(), d[kEmpty]);
            }
        }
    }
    return 1;
}

namespace {

/*
 * Reads the descriptor into the worker's record: numbers as numbers, the
 * binning, storage and IGNORE words as 0.0 / 1.0, the action words as
 * their sum.  Elements without a default must be present and convert.
 */
void ReadDescriptor(const kardum::Elements &gI, double *d)
{
    for (int e : {kX0, kX1, kY0, kY1, kNx, kNy}) {
        d[e] = gI.RequiredDouble(e);
    }
    d[kXBin] = std::strcmp(gI.RequiredText(kXBin), "POINT") == 0 ? 0.0 : 1.0;
    d[kYBin] = std::strcmp(gI.RequiredText(kYBin), "POINT") == 0 ? 0.0 : 1.0;
    d[kOrder] = std::strcmp(gI.RequiredText(kOrder), "COLUMN") == 0 ? 1.0 : 0.0;
    d[kIgnore] = std::strcmp(gI.RequiredText(kIgnore), "IGNORE") == 0 ? 1.0 : 0.0;
    int action = ActionSum(gI.RequiredText(kAction));
    d[kAction] = action;
    /* The empty value is needed only to finish; the excluded value is not
     * used here at all. */
    if (action & kEnd) {
        d[kEmpty] = gI.RequiredDouble(kEmpty);
    } else {
        gI.OptionalDouble(kEmpty, d[kEmpty]);
    }
    gI.OptionalDouble(kExcluded, d[kExcluded]);
    d[kLow] = gI.RequiredDouble(kLow);
    d[kHigh] = gI.RequiredDouble(kHigh);
}

void RequireCells(const kardum::Elements &gI, const double *d, int e)
{
    double n = d[e];
    if (!(n >= 1.0 && n <= static_cast<double>(INT_MAX))) {
        kardum::Fail("%s: %s must be at least 1, got %.17g",
                     gI.Command(), gI.Name(e).c_str(), n);
    }
}

void RequireExtent(const kardum::Elements &gI, const double *d, int lo, int hi)
{
    if (!std::isfinite(d[lo]) || !std::isfinite(d[hi]) || d[lo] == d[hi]) {
        kardum::Fail("%s: %s and %s must be two different finite numbers, got %.17g and %.17g",
                     gI.Command(), gI.Name(lo).c_str(), gI.Name(hi).c_str(),
                     d[lo], d[hi]);
    }
}

} // namespace

extern "C" int DataGridCmd(ClientData, Tcl_Interp *interp, int objc,
                           Tcl_Obj *const objv[])
{
    using namespace kardum;
    return RunCommand(interp, [&]() -> int {
        const char *cmd = "KDdataGrid";
        Args args(interp, objc, objv);
        if (!args.CountOk(Args::Exactly, 12, "Usage: KDdataGrid nP xHold X1 X2 ...")) {
            return TCL_ERROR;
        }
        int nP = args.Int(1, "nP");
        int xHold = args.Int(2, "xHold");
        int yHold = args.Int(5, "yHold");
        Elements gI(interp, cmd, args.Obj(11));
        double d[kDescriptorSize] = {};
        ReadDescriptor(gI, d);

        if (xHold < 1) {
            Fail("%s: xHold must be at least 1, got %d", cmd, xHold);
        }
        if (yHold < 1) {
            Fail("%s: yHold must be at least 1, got %d", cmd, yHold);
        }
        RequireNonNegative(cmd, "nP", nP);
        if (nP % xHold != 0 || nP % yHold != 0) {
            Fail("%s: nP must be a multiple of xHold (%d) and yHold (%d), got %d",
                 cmd, xHold, yHold, nP);
        }
        RequireCells(gI, d, kNx);
        RequireCells(gI, d, kNy);
        if (d[kNx] * d[kNy] > static_cast<double>(INT_MAX)) {
            Fail("%s: the grid of %.17g by %.17g cells is too large", cmd,
                 d[kNx], d[kNy]);
        }
        bool add = (static_cast<int>(d[kAction]) & kAdd) != 0;
        if (add) {
            RequireExtent(gI, d, kX0, kX1);
            RequireExtent(gI, d, kY0, kY1);
        }

        if (!add) {
            DataGrid_C(interp, nP, xHold, nullptr, nullptr, yHold, nullptr,
                       nullptr, nullptr, args.Obj(9), args.Obj(10), d);
            return TCL_OK;
        }

        /* An interval array named twice is read once and stored once. */
        Tcl_Obj *x1Name = args.Obj(3), *x2Name = args.Obj(4);
        Tcl_Obj *y1Name = args.Obj(6), *y2Name = args.Obj(7);
        bool xShared = std::strcmp(Tcl_GetString(x1Name), Tcl_GetString(x2Name)) == 0;
        bool yShared = std::strcmp(Tcl_GetString(y1Name), Tcl_GetString(y2Name)) == 0;
        int nX = nP / xHold, nY = nP / yHold;
        std::size_t sx = static_cast<std::size_t>(nX);
        std::size_t sy = static_cast<std::size_t>(nY);
        Block block({sx, xShared ? 0 : sx, sy, yShared ? 0 : sy,
                     static_cast<std::size_t>(nP)});
        double *x1 = block[0];
        double *x2 = xShared ? x1 : block[1];
        double *y1 = block[2];
        double *y2 = yShared ? y1 : block[3];
        double *z = block[4];
        if (!Fill(interp, x1Name, x1, nX, 0) ||
            (!xShared && !Fill(interp, x2Name, x2, nX, 0)) ||
            !Fill(interp, y1Name, y1, nY, 0) ||
            (!yShared && !Fill(interp, y2Name, y2, nY, 0)) ||
            !Fill(interp, args.Obj(8), z, nP, 0)) {
            return TCL_OK;
        }
        DataGrid_C(interp, nP, xHold, x1, x2, yHold, y1, y2, z, args.Obj(9),
                   args.Obj(10), d);
        return TCL_OK;
    });
}
