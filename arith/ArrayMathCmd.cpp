/*
 * ArrayMathCmd.cpp --
 *
 *	KDarrayMath: element-wise arithmetic, trigonometry, logarithms and the
 *	square root on a numeric array, and the sum, mean and variance
 *	reductions.
 *
 *	KDarrayMath A1 Op A2 A Len ?A1Off? ?A2Off? ?AOff? ?A1Step? ?A2Step? ?AStep?
 */

#include "kardum.h"
#include "frame/Frame.h"
#include "frame/Present.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

const double kDegPerRad = 57.29577951308232;

/* The worker's operation codes: one character each, as ArrayMath_C
 * receives them from native callers too. */
enum Op : char {
    kMul = '*', kAdd = '+', kSub = '-', kDiv = '/',
    kAcos = '0', kAcosDeg = '1',        /* result in radians / degrees */
    kAtan2 = '2', kAtan2Deg = '3',
    kLog10 = '4', kLn = '5',            /* A2 replaces non-positive input */
    kCosDeg = '6', kCos = '7',          /* argument in degrees / radians */
    kSinDeg = '8', kSin = '9',
    kTanDeg = 'a', kTan = 'b',
    kSqrt = 'c',
    kSum = 'S', kMean = 'A', kVariance = 'V'    /* reductions */
};

/* Operation name to its code: only the first character, the length and
 * sometimes the second character are looked at.  A name that begins with
 * another character selects the code of that character. */
char OpCode(const char *name)
{
    std::size_t n = std::strlen(name);
    char s0 = name[0];
    char s1 = n > 0 ? name[1] : '\0';
    switch (s0) {
    case 'A':           /* AVG, ACOS, ACOSD, ATAN2, ATAN2D */
        if (n <= 3) {
            return kMean;
        }
        if (s1 == 'C') {
            return n == 5 ? kAcosDeg : kAcos;
        }
        return n == 6 ? kAtan2Deg : kAtan2;
    case 'C':           /* COSD, COS */
        return n == 4 ? kCosDeg : kCos;
    case 'L':           /* a four-character L-name, LOG */
        return n == 4 ? kLn : kLog10;
    case 'S':           /* SUM, SIN, SQRT, SIND */
        if (n == 3) {
            return s1 == 'U' ? kSum : kSin;
        }
        return s1 == 'Q' ? kSqrt : kSinDeg;
    case 'T':           /* TAND, TAN */
        return n == 4 ? kTanDeg : kTan;
    default:
        return s0;
    }
}

bool IsReduction(char code)
{
    return code == kSum || code == kMean || code == kVariance;
}

/* Codes known to the element-wise loop. */
bool IsElementWise(char code)
{
    switch (code) {
    case kMul: case kAdd: case kSub: case kDiv:
    case kAcos: case kAcosDeg: case kAtan2: case kAtan2Deg:
    case kLog10: case kLn: case kCosDeg: case kCos:
    case kSinDeg: case kSin: case kTanDeg: case kTan: case kSqrt:
        return true;
    default:
        return false;
    }
}

/* Codes that read the second operand. */
bool UsesOperand(char code)
{
    switch (code) {
    case kMul: case kAdd: case kSub: case kDiv:
    case kAtan2: case kAtan2Deg: case kLog10: case kLn: case kVariance:
        return true;
    default:
        return false;
    }
}

/* Number of places 0, step, 2*step, ... below len. */
std::int64_t Visited(int len, int step)
{
    return len <= 0 ? 0 : (static_cast<std::int64_t>(len) + step - 1) / step;
}

} // namespace

extern "C" double ArrayMath_C(double *a1, char op, double *a2, double *out,
                              int len, int step1, int step2, int stepOut)
{
    /* Indices are kept wide: the one after the last place visited may lie
     * beyond INT_MAX. */
    if (IsReduction(op)) {
        double sum = 0.0;
        int m = 0;
        for (std::int64_t i1 = 0; i1 < len; i1 += step1) {
            if (op == kVariance) {
                double d = a1[i1] - a2[0];
                sum += d * d;
            } else {
                sum += a1[i1];
            }
            ++m;
        }
        if (op == kSum) {
            return sum;
        }
        return op == kMean ? sum / m : sum / (m - 1);
    }

    if (!IsElementWise(op)) {
        return 0.0;
    }

    for (std::int64_t i1 = 0, i2 = 0, iA = 0; i1 < len;
         i1 += step1, i2 += step2, iA += stepOut) {
        double x = a1[i1];
        double r;
        switch (op) {
        case kMul: r = x * a2[i2]; break;
        case kAdd: r = x + a2[i2]; break;
        case kSub: r = x - a2[i2]; break;
        case kDiv: r = x / a2[i2]; break;
        case kAcos: r = std::acos(x); break;
        case kAcosDeg: r = std::acos(x) * kDegPerRad; break;
        case kAtan2: r = std::atan2(a2[i2], x); break;
        case kAtan2Deg: r = std::atan2(a2[i2], x) * kDegPerRad; break;
        case kLog10: r = x > 0 ? std::log10(x) : a2[0]; break;
        case kLn: r = x > 0 ? std::log(x) : a2[0]; break;
        case kCosDeg: r = std::cos(x / kDegPerRad); break;
        case kSinDeg: r = std::sin(x / kDegPerRad); break;
        case kCos: r = std::cos(x); break;
        case kSin: r = std::sin(x); break;
        case kTanDeg: r = std::tan(x / kDegPerRad); break;
        case kTan: r = std::tan(x); break;
        default: r = std::sqrt(x); break;      /* kSqrt */
        }
        out[iA] = r;
    }
    return 0.0;
}

namespace kardum {

/*
 * Steps of s = s + c with s > 0 and c > 0 finite stay exact sums of
 * multiples of one unit u while s stays in its binade [2^e, 2^(e+1)) (the
 * first normal binade and the subnormals share u = 2^-1074): each step
 * then adds c rounded to a multiple of u, the same every time unless c
 * lies halfway between two multiples.  Such a stretch is taken at once;
 * the step into the next binade, and every step of other operands, is
 * taken as the loop takes it.  So the count costs a few steps per binade,
 * and a sum that c no longer changes ends it.
 */
double RepeatAdd(double s, double c, long long count, Interrupt &stop)
{
    const double kTop = 9007199254740992.0;             /* 2^53 */
    while (count > 0) {
        if (stop.Poll()) {
            return s;
        }
        double next = s + c;
        --count;
        if (std::memcmp(&next, &s, sizeof s) == 0) {
            return s;                   /* every further step the same */
        }
        s = next;
        if (count == 0 || !(s > 0.0) || !(c > 0.0) || !std::isfinite(s) ||
            !std::isfinite(c)) {
            continue;
        }
        int fe = 0;
        std::frexp(s, &fe);
        int unitExp = (fe - 1 > -1022 ? fe - 1 : -1022) - 52;
        double m = std::ldexp(s, -unitExp);             /* s / u, an integer */
        if (c >= std::ldexp(kTop - m, unitExp)) {
            continue;                   /* one step leaves the binade */
        }
        double r = std::ldexp(c, -unitExp);             /* c / u, below 2^53 */
        double whole = std::floor(r);
        double frac = r - whole;
        if (frac == 0.5) {
            continue;                   /* a tie: rounding follows s */
        }
        double d = frac > 0.5 ? whole + 1.0 : whole;    /* c rounded to u */
        double ceilR = frac > 0.0 ? whole + 1.0 : whole;
        /* Steps t = 0 .. j-1 whose exact sum m + t*d + r stays below 2^53. */
        double room = kTop - 1.0 - m - ceilR;
        if (d <= 0.0 || room < 0.0) {
            continue;
        }
        long long j = static_cast<long long>(std::floor(room / d)) + 1;
        if (j > count) {
            j = count;
        }
        s = std::ldexp(m + static_cast<double>(j) * d, unitExp);
        count -= j;
    }
    return s;
}

double ArrayReducePresent(const PresentValues &a1, int len, char op, double operand,
                          int step, Interrupt &stop)
{
    /* The place of the block a missing element leaves at 0.0. */
    const double zero = 0.0;
    const double dz = zero - operand;
    const double absentTerm = dz * dz;
    double sum = 0.0;
    auto absent = [&](long long run) {
        if (run <= 0) {
            return;
        }
        if (op == kVariance) {
            sum = RepeatAdd(sum, absentTerm, run, stop);
        } else {
            sum += zero;                /* once is as every time */
        }
    };
    long long next = 0;                 /* the next place to visit */
    for (const auto &element : a1) {
        long long i = element.first;
        if (step != 1 && i % step != 0) {
            continue;
        }
        if (i != next) {
            absent((i - next) / step);
        }
        if (op == kVariance) {
            double d = element.second - operand;
            sum += d * d;
        } else {
            sum += element.second;
        }
        next = i + step;
    }
    absent(next < len ? (len - 1 - next) / step + 1 : 0);
    int m = static_cast<int>(Visited(len, step));
    if (op == kSum) {
        return sum;
    }
    return op == kMean ? sum / m : sum / (m - 1);
}

} // namespace kardum

extern "C" int ArrayMathCmd(ClientData, Tcl_Interp *interp, int objc,
                            Tcl_Obj *const objv[])
{
    using namespace kardum;
    return RunCommand(interp, "KDarrayMath", [&]() -> int {
        int a1Off = 0, a2Off = 0, aOff = 0;
        int a1Step = 1, a2Step = 1, aStep = 1;
        Args args(interp, objc, objv);
        if (!args.CountOk(Args::AtLeast, 6, "Usage: KDarrayMath A1 Op A2 A Len")) {
            return TCL_ERROR;
        }
        int len = args.Int(5, "Len");
        args.OptInt(6, a1Off, "A1Off");
        args.OptInt(7, a2Off, "A2Off");
        args.OptInt(8, aOff, "AOff");
        args.OptInt(9, a1Step, "A1Step");
        args.OptInt(10, a2Step, "A2Step");
        args.OptInt(11, aStep, "AStep");
        char code = OpCode(args.Word(2));
        bool reduction = IsReduction(code);

        Tcl_Obj *a2Name = args.Obj(3);
        bool a2Array = !reduction &&
            Tcl_GetVar2(interp, Tcl_GetString(a2Name), "0", TCL_LEAVE_ERR_MSG) != nullptr;
        if (!reduction && !a2Array) {
            CheckAccess(interp);
        }
        double number = 0.0;
        if (!a2Array && code != kSum && code != kMean) {
            const char *text = Tcl_GetVar2(interp, Tcl_GetString(a2Name), nullptr,
                                           TCL_LEAVE_ERR_MSG);
            if (text == nullptr) {
                CheckAccess(interp);
                text = Tcl_GetString(a2Name);
            }
            if (Tcl_GetDouble(interp, text, &number) != TCL_OK && UsesOperand(code)) {
                Fail("KDarrayMath: A2 must be an array, a variable holding a "
                     "number, or a number, got \"%s\"", Tcl_GetString(a2Name));
            }
        }

        RequireNonNegative("KDarrayMath", "Len", len);
        if (a1Step < 1) {
            Fail("KDarrayMath: A1Step must be at least 1, got %d", a1Step);
        }
        std::int64_t last = Visited(len, a1Step) - 1;
        if (!reduction) {
            if (aStep < 0) {
                Fail("KDarrayMath: AStep must not be negative, got %d", aStep);
            }
            if (last > 0 && last * aStep >= len) {
                Fail("KDarrayMath: AStep %d walks past the %d places of A", aStep, len);
            }
            if (a2Array && a2Step < 0) {
                Fail("KDarrayMath: A2Step must not be negative, got %d", a2Step);
            }
            if (a2Array && last > 0 && last * a2Step >= len) {
                Fail("KDarrayMath: A2Step %d walks past the %d places of A2", a2Step, len);
            }
        }

        std::size_t n = static_cast<std::size_t>(len);
        if (reduction && !DenseEnough(interp, args.Obj(1), len)) {
            /* A reduction over a count far beyond the elements reads and
             * adds only what is there. */
            PresentValues present;
            if (!FillPresent(interp, args.Obj(1), present, len, a1Off)) {
                return TCL_OK;
            }
            Interrupt stop(interp);
            double result = ArrayReducePresent(present, len, code, number, a1Step, stop);
            if (stop.Stopped()) {
                throw TclError{};
            }
            SetDoubleResult(interp, result);
            return TCL_OK;
        }
        RequireRoom(interp, "KDarrayMath", args.Obj(4), n);
        Block block({n, a2Array ? n : 0, reduction ? 0 : n});
        double *a1 = block[0];
        double *a2 = a2Array ? block[1] : &number;
        double *out = block[2];

        if (!Fill(interp, args.Obj(1), a1, len, a1Off)) {
            return TCL_OK;
        }
        if (a2Array && !Fill(interp, a2Name, a2, len, a2Off)) {
            return TCL_OK;
        }
        double result = ArrayMath_C(a1, code, a2, out, len, a1Step,
                                    a2Array ? a2Step : 0, aStep);
        if (!reduction) {
            WriteBack(interp, args.Obj(4), out, len, aOff);
        }
        SetDoubleResult(interp, result);
        return TCL_OK;
    });
}
