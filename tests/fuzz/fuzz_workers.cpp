// Fuzz target for the C workers called directly, as native code does.
//
// Scripts cannot hand the workers NaN (Tcl does not read the text "NaN" as
// a number), so this target feeds them doubles taken bit for bit from the
// input (NaN, infinities, subnormals, huge values) while keeping every
// count and buffer within the worker's documented contract: the input
// chooses the values, never the sizes of the caller's buffers.  A worker
// must then neither crash, nor read or write outside its buffers, nor
// trip UndefinedBehaviorSanitizer (for instance by converting a NaN or a
// huge double to an integer).  The workers that talk to an interpreter
// (gridding, the fits with callbacks, integration) share one interpreter
// for the process, whose variables each input resets.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <tcl.h>

#include "kardum.h"
#include "frame/ObjRef.h"


namespace {

class Input {
public:
    Input(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    int Small(int lo, int hi) { return lo + Byte() % (hi - lo + 1); }
    // A double: mostly from a table of awkward values, sometimes raw bits.
    double Real()
    {
        static constexpr double kTable[] = {
            0.0, -0.0, 1.0, -1.0, 2.0, 0.5, 3.0, -2.5, 10.0, 1e300, -1e300,
            1e-300, 4.9406564584124654e-324, 1.7976931348623157e308, 2147483648.0,
            -2147483649.0, 1e10, 100.0};
        std::uint8_t v = Byte();
        if (v < 16) {
            return std::numeric_limits<double>::quiet_NaN();
        }
        if (v < 28) {
            return (v & 1) ? -std::numeric_limits<double>::infinity()
                           : std::numeric_limits<double>::infinity();
        }
        if (v < 200) {
            return kTable[v % (sizeof kTable / sizeof kTable[0])];
        }
        std::uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) {
            bits = (bits << 8) | Byte();
        }
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }
    std::vector<double> Reals(std::size_t n)
    {
        std::vector<double> v(n);
        for (double &d : v) {
            d = Real();
        }
        return v;
    }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

int Terms(int degree)
{
    return degree < 0 ? 1 : (degree + 1) * (degree + 2) / 2;
}

void FuzzArrayMath(Input &in)
{
    static const char kOps[] = "*+-/0123456789abcSAVx";
    char op = kOps[in.Byte() % (sizeof kOps - 1)];
    int len = in.Small(0, 12);
    int step1 = in.Small(1, 4);
    int m = len == 0 ? 0 : (len + step1 - 1) / step1;
    // strides that keep every place inside its region
    int step2 = m > 1 ? in.Small(0, (len - 1) / (m - 1)) : in.Small(0, 3);
    int stepOut = m > 1 ? in.Small(0, (len - 1) / (m - 1)) : in.Small(0, 3);
    std::vector<double> a1 = in.Reals(len), a2 = in.Reals(len + 1), out(len + 1);
    ArrayMath_C(a1.data(), op, a2.data(), out.data(), len, step1, step2, stepOut);
}

void FuzzVecMath(Input &in)
{
    static const char kOps[] = "*/+-CTUDMAS?";
    char op = kOps[in.Byte() % (sizeof kOps - 1)];
    int nx = in.Small(op == 'C' ? 3 : 1, 8);
    int ny = in.Small(op == 'C' ? 3 : 1, 8);
    if (op == 'D' && ny < nx) {
        ny = nx;
    }
    int rot = in.Small(0, 20);
    int m = nx > ny ? nx : ny;
    std::vector<double> x = in.Reals(m), y = in.Reals(m), out(nx * ny + 3);
    VecMath_C(x.data(), op, y.data(), out.data(), nx, ny, rot);
}

void FuzzMatrixMath(Input &in)
{
    static const char kOps[] = "*TUX";
    char op = kOps[in.Byte() % (sizeof kOps - 1)];
    int dimA[2] = {in.Small(1, 5), in.Small(1, 5)};
    int dimB[2] = {op == '*' ? dimA[1] : in.Small(1, 5), in.Small(1, 5)};
    int rows = dimA[0] > dimB[0] ? dimA[0] : dimB[0];
    int cols = dimA[1] > dimB[1] ? dimA[1] : dimB[1];
    std::vector<double> a = in.Reals(dimA[0] * dimA[1]);
    std::vector<double> b = in.Reals(dimB[0] * dimB[1]);
    std::vector<double> out(rows * cols);
    MatrixMath_C(a.data(), op, b.data(), out.data(), dimA, dimB);
}

void FuzzMatrixInv(Input &in)
{
    int n = in.Small(0, 6);
    int m = in.Small(0, 3);
    std::vector<double> a = in.Reals(n * n), b = in.Reals(n * m);
    int code = MatrixInv_C(n, a.data(), m, m > 0 ? b.data() : nullptr);
    if (code != 1 && code != -1 && code != -2) {
        __builtin_trap(); // callers rely on these three codes only
    }
}

void FuzzSolveCubic(Input &in)
{
    double out[5];
    int count = SolveCubic_C(in.Real(), in.Real(), in.Real(), in.Real(), out);
    if (count != 3 && count != 5) {
        __builtin_trap();
    }
}

void FuzzPolyExp(Input &in)
{
    double limits[2] = {in.Real(), in.Real()};
    int clamp = in.Small(0, 2);
    int n = in.Small(1, 10);
    std::vector<double> c1 = in.Reals(n);
    PolyExp1D_C(in.Real(), n, c1.data(), clamp, limits);
    int d = in.Small(0, 6);
    std::vector<double> c2 = in.Reals(Terms(d));
    PolyExp2D_C(in.Real(), in.Real(), Terms(d), c2.data(), d, clamp, limits);
}

void FuzzDataLSq2D(Input &in)
{
    int nP = in.Small(0, 12);
    int degree = in.Small(-2, 4);
    static const int kModes[] = {0, 1, -1, -2, -3, 2, 3};
    int mode = kModes[in.Byte() % 7];
    std::vector<double> x = in.Reals(nP), y = in.Reals(nP), z = in.Reals(nP),
                        w = in.Reals(nP), coef(Terms(degree));
    double residual = 0;
    int res = DataLSq2D_C(x.data(), y.data(), z.data(), nP, degree, mode, coef.data(),
                          in.Small(0, 1), w.data(), &residual);
    if (res != Terms(degree) && res != -1) {
        __builtin_trap();
    }
}

void FuzzDataMxMn(Input &in)
{
    static const char kConds[] = "<>G?";
    int n = in.Small(0, 16);
    std::vector<double> v = in.Reals(n);
    int iMin = 7, iMax = 7;
    DataMxMn_C(v.data(), n, kConds[in.Byte() % 4], in.Real(), in.Real(), in.Small(1, 5),
               &iMin, &iMax);
    if (iMin < -1 || iMin >= n || iMax < -1 || iMax >= n) {
        __builtin_trap();
    }
}

void FuzzDataRnd1(Input &in)
{
    int n = in.Small(0, 20);
    std::vector<double> v(n);
    int seed = 0;
    for (int i = 0; i < 4; ++i) {
        seed = static_cast<int>((static_cast<unsigned>(seed) << 8) | in.Byte());
    }
    DataRnd1_C(v.data(), n, static_cast<short>(in.Small(-1, 3)), in.Real(), seed);
}

void FuzzGridFill(Input &in)
{
    int nx = in.Small(1, 7), ny = in.Small(1, 7);
    int cells = nx * ny;
    std::vector<double> grid(cells), weight(cells);
    double empty = in.Byte() < 32 ? in.Real() : -999.0;
    double excluded = in.Byte() < 32 ? in.Real() : -888.0;
    for (int k = 0; k < cells; ++k) {
        std::uint8_t kind = in.Byte();
        grid[k] = kind < 80 ? empty : kind < 96 ? excluded : in.Real();
        weight[k] = kind & 1 ? 1.0 : 0.0;
    }
    char mode[2] = {"NAO"[in.Byte() % 3], static_cast<char>(in.Byte() & 1)};
    double p = in.Byte() < 200 ? in.Small(0, 3) : in.Real();
    int limits[5] = {in.Small(0, 2), in.Small(0, 2), in.Small(0, 2), in.Small(0, 2),
                     in.Small(0, 4)};
    bool periodicX = in.Byte() & 1, periodicY = in.Byte() & 1;
    int radius = in.Small(0, periodicX || periodicY ? 1 : 4);
    double lower = in.Byte() < 32 ? in.Real() : -1e30;
    double upper = in.Byte() < 32 ? in.Real() : 1e30;
    double descriptor[13] = {0, 10, 0, 10, double(nx), double(ny), empty, excluded,
                             double(in.Byte() & 1 ? 'R' : 'C'),
                             double(periodicX ? 'Y' : 'N'), double(periodicY ? 'Y' : 'N'),
                             lower, upper};
    int seed = in.Small(0, 255) * 4099;
    int q = in.Small(1, 4);
    int m = in.Small(1, 3);
    int res = GridFill_C(grid.data(), weight.data(), m, radius, mode, &p, q, limits,
                         descriptor, &seed);
    if (res != 1 && res != -1) {
        __builtin_trap();
    }
}

// Procedures the callback workers call: the basis 1, x, x^2 ..., a
// straight-line model, an integrand.  Abscissae such as "nan" or "inf"
// reach them as text and may make them fail, which the workers must
// survive.
const char kProcs[] = R"TCL(
proc basis {x a n} {
    upvar 1 $a t
    for {set i 0} {$i < $n} {incr i} {set t($i) [expr {double($x) ** $i}]}
}
proc model {n d w} {
    upvar 1 $d dy $w wk
    set x $wk(4)
    for {set j 0} {$j < $n} {incr j} {set dy($j) [expr {double($x) ** $j}]}
    expr {$wk(5) + $wk(6) * $x}
}
proc integ {x h k i {o {}}} {
    if {$i == -1} {
        upvar 1 $o out
        for {set j 0} {$j < $k} {incr j} {set out($j) [expr {$x + $j * $h}]}
        return 0
    }
    expr {$x * 2}
}
)TCL";

Tcl_Interp *Interp()
{
    static Tcl_Interp *interp = [] {
        Tcl_Interp *created = Tcl_CreateInterp();
        /* Fills the stub table through which the library's code calls Tcl. */
        Kardum_Init(created);
        Tcl_Eval(created, kProcs);
        return created;
    }();
    Tcl_Eval(interp, "foreach v [info globals] {if {![string match tcl* $v] && "
                     "$v ni {env auto_path errorInfo errorCode}} {unset -nocomplain ::$v}}");
    return interp;
}

struct Name {
    kardum::ObjRef ref;
    Tcl_Obj *obj;
    explicit Name(const char *text) : ref(Tcl_NewStringObj(text, -1)), obj(ref.get()) {}
};

void FuzzDataGrid(Input &in)
{
    Tcl_Interp *interp = Interp();
    int xHold = in.Small(1, 2), yHold = in.Small(1, 2);
    int nP = xHold * yHold * in.Small(0, 4);
    int nx = in.Small(1, 6), ny = in.Small(1, 6);
    std::vector<double> x1 = in.Reals(nP), x2 = in.Reals(nP), y1 = in.Reals(nP),
                        y2 = in.Reals(nP), z = in.Reals(nP);
    double extent[4];
    for (double &e : extent) {
        // mostly a usable extent, sometimes anything
        e = in.Byte() < 64 ? in.Real() : in.Small(-3, 12);
    }
    std::uint8_t words = in.Byte();
    double descriptor[15] = {extent[0], extent[1], extent[2], extent[3], double(nx),
                             double(ny), double(words & 1), double((words >> 1) & 1),
                             double((words >> 2) & 1), double((words >> 3) & 1),
                             double(in.Small(0, 7)), in.Real(), in.Real(),
                             in.Byte() < 200 ? -1e30 : in.Real(),
                             in.Byte() < 200 ? 1e30 : in.Real()};
    Name grd("G"), nrm("N");
    bool sharedX = words & 16, sharedY = words & 32;
    DataGrid_C(interp, nP, xHold, x1.data(), sharedX ? x1.data() : x2.data(), yHold,
               y1.data(), sharedY ? y1.data() : y2.data(), z.data(), grd.obj, nrm.obj,
               descriptor);
}

void FuzzDataLSq1D(Input &in)
{
    Tcl_Interp *interp = Interp();
    int nP = in.Small(0, 6), nCoef = in.Small(0, 4);
    static const int kModes[] = {0, 1, -1};
    int mode = kModes[in.Byte() % 3];
    std::vector<double> x = in.Reals(nP), y = in.Reals(nP), sig = in.Reals(nP),
                        coef = in.Reals(nCoef), covar(nCoef * nCoef);
    std::vector<char> flags(nCoef);
    for (char &f : flags) {
        f = static_cast<char>(in.Byte() & 1);
    }
    std::string script = "basis $vX tC " + std::to_string(nCoef);
    DataLSq1D_C(interp, x.data(), y.data(), nP, mode, coef.data(), flags.data(), nCoef,
                covar.data(), script.c_str(), sig.data());
}

void FuzzMarquardt(Input &in)
{
    Tcl_Interp *interp = Interp();
    const int nPar = 2, len = 4 * nPar * nPar + 2 * nPar + 5;
    int nP = in.Small(0, 6);
    std::vector<double> y = in.Reals(nP), sig = in.Reals(nP), par = in.Reals(nPar),
                        work(len);
    char flags[nPar] = {static_cast<char>(in.Byte() & 1), 1};
    Name name("W");
    const char *script = "set FuncRet [ model 2 dYdA W ]\n";
    if (in.Byte() & 1) {
        work[3] = (flags[0] == 1) + 1;
        work[5] = in.Real();
        work[6] = in.Real();
        DataMqCoef_C(interp, name.obj, y.data(), sig.data(), nP, flags, nPar, 11, 15,
                     script, work.data());
        return;
    }
    work[0] = in.Byte() < 128 ? -1.0 : in.Real();
    for (int call = in.Small(1, 4); call > 0; --call) {
        DataNLinLSq_C(interp, name.obj, y.data(), sig.data(), nP, par.data(), flags,
                      nPar, script, work.data());
        if (in.Byte() < 64) {
            work[0] = 0.0;
        }
    }
}

void FuzzIntegTrap(Input &in)
{
    Tcl_Interp *interp = Interp();
    IntegTrap_C(interp, "integ", in.Real(), in.Real(), in.Small(1, 8), in.Real(),
                in.Small(0, 1));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Input in(data, size);
    switch (in.Byte() % 14) {
    case 0: FuzzArrayMath(in); break;
    case 1: FuzzVecMath(in); break;
    case 2: FuzzMatrixMath(in); break;
    case 3: FuzzMatrixInv(in); break;
    case 4: FuzzSolveCubic(in); break;
    case 5: FuzzPolyExp(in); break;
    case 6: FuzzDataLSq2D(in); break;
    case 7: FuzzDataMxMn(in); break;
    case 8: FuzzDataRnd1(in); break;
    case 9: FuzzGridFill(in); break;
    case 10: FuzzDataGrid(in); break;
    case 11: FuzzDataLSq1D(in); break;
    case 12: FuzzMarquardt(in); break;
    case 13: FuzzIntegTrap(in); break;
    default: break;
    }
    return 0;
}
