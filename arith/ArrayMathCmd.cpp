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

#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

const double kDegPerRad = 57.29577951308232;

/* Operation name to the worker's one-character code. */
char OpCode(const char *name)
{
    std::size_t n = std::strlen(name);
    char s0 = name[0];
    char s1 = n > 0 ? name[1] : '\0';
    switch (s0) {
    case 'A':
        if (n <= 3) {
            return 'A';
        }
        if (s1 == 'C') {
            return n == 5 ? '1' : '0';
        }
        return n == 6 ? '3' : '2';
    case 'C':
        return n == 4 ? '6' : '7';
    case 'L':
        return n == 4 ? '5' : '4';
    case 'S':
        if (n == 3) {
            return s1 == 'U' ? 'S' : '9';
        }
        return s1 == 'Q' ? 'c' : '8';
    case 'T':
        return n == 4 ? 'a' : 'b';
    default:
        return s0;
    }
}

bool IsReduction(char code)
{
    return code == 'S' || code == 'A' || code == 'V';
}

/* Codes that read the second operand. */
bool UsesOperand(char code)
{
    switch (code) {
    case '*': case '+': case '-': case '/':
    case '2': case '3': case '4': case '5': case 'V':
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
            if (op == 'V') {
                double d = a1[i1] - a2[0];
                sum += d * d;
            } else {
                sum += a1[i1];
            }
            ++m;
        }
        if (op == 'S') {
            return sum;
        }
        return op == 'A' ? sum / m : sum / (m - 1);
    }

    if (std::strchr("*+-/0123456789abc", op) == nullptr || op == '\0') {
        return 0.0;
    }

    for (std::int64_t i1 = 0, i2 = 0, iA = 0; i1 < len;
         i1 += step1, i2 += step2, iA += stepOut) {
        double x = a1[i1];
        double r;
        switch (op) {
        case '*': r = x * a2[i2]; break;
        case '+': r = x + a2[i2]; break;
        case '-': r = x - a2[i2]; break;
        case '/': r = x / a2[i2]; break;
        case '0': r = std::acos(x); break;
        case '1': r = std::acos(x) * kDegPerRad; break;
        case '2': r = std::atan2(a2[i2], x); break;
        case '3': r = std::atan2(a2[i2], x) * kDegPerRad; break;
        case '4': r = x > 0 ? std::log10(x) : a2[0]; break;
        case '5': r = x > 0 ? std::log(x) : a2[0]; break;
        case '6': r = std::cos(x / kDegPerRad); break;
        case '8': r = std::sin(x / kDegPerRad); break;
        case '7': r = std::cos(x); break;
        case '9': r = std::sin(x); break;
        case 'a': r = std::tan(x / kDegPerRad); break;
        case 'b': r = std::tan(x); break;
        default: r = std::sqrt(x); break;
        }
        out[iA] = r;
    }
    return 0.0;
}

extern "C" int ArrayMathCmd(ClientData, Tcl_Interp *interp, int objc,
                            Tcl_Obj *const objv[])
{
    using namespace kardum;
    return RunCommand(interp, [&]() -> int {
        int a1Off = 0, a2Off = 0, aOff = 0;
        int a1Step = 1, a2Step = 1, aStep = 1;
        Args args(interp, objc, objv);
        if (!args.CountOk(Args::AtLeast, 6, "Usage: KDarrayMath A1 Op A2 A Len")) {
            return TCL_ERROR;
        }
        int len = args.Int(5, "Len");
        args.OptInt(6, a1Off);
        args.OptInt(7, a2Off);
        args.OptInt(8, aOff);
        args.OptInt(9, a1Step);
        args.OptInt(10, a2Step);
        args.OptInt(11, aStep);
        char code = OpCode(args.Word(2));
        bool reduction = IsReduction(code);

        Tcl_Obj *a2Name = args.Obj(3);
        bool a2Array = !reduction &&
            Tcl_GetVar2(interp, Tcl_GetString(a2Name), "0", TCL_LEAVE_ERR_MSG) != nullptr;
        double number = 0.0;
        if (!a2Array && code != 'S' && code != 'A') {
            const char *text = Tcl_GetVar2(interp, Tcl_GetString(a2Name), nullptr,
                                           TCL_LEAVE_ERR_MSG);
            if (text == nullptr) {
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
        if (!reduction) {
            RequireRoom(interp, "KDarrayMath", args.Obj(4), n);
        }
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
