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
#include "frame/Interrupt.h"
#include "frame/ObjRef.h"
#include "grid/Binning.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace {

/* The worker's descriptor record holds gI's elements 0 .. 14 at their
 * own element numbers. */
using namespace kardum::gi;
const int kDescriptorSize = kHigh + 1;

enum { kNew = kardum::kBinNew, kAdd = kardum::kBinAdd, kEnd = kardum::kBinEnd };

using kardum::ObjRef;

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

/* The sums and weights of the grid, kept in two Tcl arrays of the calling
 * script and read and written cell by cell through the interpreter.  Once
 * the interpreter asks the call to stop (a cancel, a limit), the store
 * touches no cell any more. */
class TclArrayStore {
public:
    TclArrayStore(kardum::Interrupt &stop, Tcl_Obj *grd, Tcl_Obj *nrm)
        : interp_(stop.Interp()), stop_(stop),
          grd_(Tcl_NewStringObj(Tcl_GetString(grd), -1)),
          nrm_(Tcl_NewStringObj(Tcl_GetString(nrm), -1)) {}

    void Reset(int flat)
    {
        if (stop_.Poll()) {
            return;
        }
        ObjRef index(Tcl_NewIntObj(flat));
        Set(grd_, index.get(), 0.0);
        Set(nrm_, index.get(), 0.0);
    }

    void Add(int flat, double value, double weight)
    {
        if (stop_.Poll()) {
            return;
        }
        ObjRef index(Tcl_NewIntObj(flat));
        double sum = Get(grd_, index.get());
        double norm = Get(nrm_, index.get());
        Set(grd_, index.get(), value * weight + sum);
        Set(nrm_, index.get(), norm + weight);
    }

    void Finish(int flat, double empty)
    {
        if (stop_.Poll()) {
            return;
        }
        ObjRef index(Tcl_NewIntObj(flat));
        double norm = Get(nrm_, index.get());
        if (norm > 0) {
            Set(grd_, index.get(), Get(grd_, index.get()) / norm);
        } else {
            Set(grd_, index.get(), empty);
        }
    }

private:
    /* A missing element or one that is not a number counts as 0.0, and a
     * set that fails is passed over, unless a trace on the element was
     * cancelled or ran past a limit: that stops the work (see Poll), and
     * nothing more is read or written. */
    double Get(const ObjRef &name, Tcl_Obj *index) const
    {
        if (stop_.Stopped()) {
            return 0.0;     /* the stop's message stays the result */
        }
        Tcl_Obj *value = Tcl_ObjGetVar2(interp_, name.get(), index, TCL_LEAVE_ERR_MSG);
        double d = 0.0;
        if (value == nullptr) {
            stop_.AfterAccess();
            return 0.0;
        }
        if (Tcl_GetDoubleFromObj(interp_, value, &d) != TCL_OK) {
            return 0.0;
        }
        return d;
    }

    void Set(const ObjRef &name, Tcl_Obj *index, double d) const
    {
        if (stop_.Stopped()) {
            return;
        }
        ObjRef value(Tcl_NewDoubleObj(d));
        if (Tcl_ObjSetVar2(interp_, name.get(), index, value.get(), TCL_LEAVE_ERR_MSG) ==
            nullptr) {
            stop_.AfterAccess();
        }
    }

    Tcl_Interp *interp_;
    kardum::Interrupt &stop_;
    ObjRef grd_;
    ObjRef nrm_;
};

/* The record arrays as DataGrid_C receives them. */
struct RecordArrays {
    const double *x1, *x2, *y1, *y2, *z;
    double X1(int r) const { return x1[r]; }
    double X2(int r) const { return x2[r]; }
    double Y1(int s) const { return y1[s]; }
    double Y2(int s) const { return y2[s]; }
    double Z(int i) const { return z[i]; }
};

} // namespace

static void Bin(kardum::Interrupt &stop, int nP, int xHold, double *x1, double *x2,
                int yHold, double *y1, double *y2, double *z, Tcl_Obj *grd,
                Tcl_Obj *nrm, double *descriptor)
{
    /* The cell widths take the counts as given; the cells are their whole
     * parts, and NEW and END run over nx * ny flat positions, truncated. */
    const double *d = descriptor;
    int action = static_cast<int>(d[kAction]);
    TclArrayStore store(stop, grd, nrm);
    if (action & kNew) {
        kardum::BinNew(d, store);
    }
    if (action & kAdd) {
        kardum::BinAdd(d, nP, xHold, yHold, RecordArrays{x1, x2, y1, y2, z}, store);
    }
    if (action & kEnd) {
        kardum::BinEnd(d, store);
    }
}

/* A cancel or a limit ends the cell-by-cell work (Tcl's message in the
 * interpreter result); the cells before it are written. */
extern "C" int DataGrid_C(Tcl_Interp *interp, int nP, int xHold, double *x1,
                          double *x2, int yHold, double *y1, double *y2,
                          double *z, Tcl_Obj *grd, Tcl_Obj *nrm,
                          double *descriptor)
{
    kardum::Interrupt stop(interp);
    Bin(stop, nP, xHold, x1, x2, yHold, y1, y2, z, grd, nrm, descriptor);
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
    return RunCommand(interp, "KDdataGrid", [&]() -> int {
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
        /* NEW sets every cell of Grd and Nrm, END every cell of Grd, and
         * ADD at most one cell of each per record. */
        const int action = static_cast<int>(d[kAction]);
        const std::size_t cells =
            static_cast<std::size_t>(d[kNx]) * static_cast<std::size_t>(d[kNy]);
        const std::size_t added = std::min(cells, static_cast<std::size_t>(nP));
        RequireRoom(interp, cmd, args.Obj(9),
                    (action & (kNew | kEnd)) ? cells : (action & kAdd) ? added : 0);
        RequireRoom(interp, cmd, args.Obj(10),
                    (action & kNew) ? cells : (action & kAdd) ? added : 0);
        bool add = (action & kAdd) != 0;
        if (add) {
            RequireExtent(gI, d, kX0, kX1);
            RequireExtent(gI, d, kY0, kY1);
        }

        Interrupt stop(interp);
        if (!add) {
            Bin(stop, nP, xHold, nullptr, nullptr, yHold, nullptr, nullptr, nullptr,
                args.Obj(9), args.Obj(10), d);
            if (stop.Stopped()) {
                throw TclError{};
            }
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
        Bin(stop, nP, xHold, x1, x2, yHold, y1, y2, z, args.Obj(9), args.Obj(10), d);
        if (stop.Stopped()) {
            throw TclError{};
        }
        return TCL_OK;
    });
}
