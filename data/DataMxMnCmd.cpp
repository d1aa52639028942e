/*
 * DataMxMnCmd.cpp --
 *
 *	KDdataMxMn: the positions of the smallest and/or the largest value of
 *	an array that lie strictly inside an open window, visiting every
 *	Step-th element.
 *
 *	KDdataMxMn Array Len Cond ?Lower? ?Upper? ?Step? ?ArrayOff?
 *
 *	Cond "<" reports the minimum, ">" the maximum, "G" both; a Cond of
 *	exactly two characters means "G" whatever they are.
 */

#include "kardum.h"
#include "frame/Frame.h"
#include "frame/Present.h"

#include <string>

namespace {

/* The condition character a Cond word selects. */
char CondCode(Tcl_Obj *word)
{
    if (Tcl_GetCharLength(word) == 2) {
        return 'G';
    }
    return Tcl_GetString(word)[0];
}

/*
 * The running search of both paths: strict tests against the window and
 * against the best so far, so that of equal values the first visited
 * stays.
 */
struct Extremes {
    Extremes(char cond, double lower, double upper, int *iMin, int *iMax)
        : wantMin(cond == '<' || cond == 'G'), wantMax(cond == '>' || cond == 'G'),
          lower(lower), upper(upper), runMin(upper), runMax(lower), iMin(iMin), iMax(iMax)
    {
        *iMin = -1;
        *iMax = -1;
    }

    bool Wanted() const { return wantMin || wantMax; }

    void Visit(long long i, double v)
    {
        if (wantMin && v < runMin && v > lower) {
            runMin = v;
            *iMin = static_cast<int>(i);
        }
        if (wantMax && v > runMax && v < upper) {
            runMax = v;
            *iMax = static_cast<int>(i);
        }
    }

    bool wantMin, wantMax;
    double lower, upper, runMin, runMax;
    int *iMin, *iMax;
};

} // namespace

extern "C" void DataMxMn_C(double *values, int n, char cond, double lower,
                           double upper, int step, int *iMin, int *iMax)
{
    Extremes search(cond, lower, upper, iMin, iMax);
    if (!search.Wanted() || step < 1) {
        return;
    }
    /* The index runs in 64 bits so that i + step cannot overflow. */
    for (long long i = 0; i < n; i += step) {
        search.Visit(i, values[i]);
    }
}

/*
 * The same search over the values present, every other place holding 0.0.
 * Of a run of absent places visited, only the first can pass a test: the
 * zeros after it compare equal, and the tests are strict.
 */
void kardum::DataMxMnPresent(const PresentValues &values, int n, char cond, double lower,
                             double upper, int step, int *iMin, int *iMax)
{
    Extremes search(cond, lower, upper, iMin, iMax);
    if (!search.Wanted() || step < 1) {
        return;
    }
    long long next = 0;                 /* the next place to visit */
    for (const auto &element : values) {
        long long i = element.first;
        if (i % step != 0) {
            continue;
        }
        if (next < i) {
            search.Visit(next, 0.0);
        }
        search.Visit(i, element.second);
        next = i + step;
    }
    if (next < n) {
        search.Visit(next, 0.0);
    }
}

extern "C" int DataMxMnCmd(ClientData, Tcl_Interp *interp, int objc,
                           Tcl_Obj *const objv[])
{
    using namespace kardum;
    return RunCommand(interp, "KDdataMxMn", [&]() -> int {
        double lower = -9e+30;
        double upper = 9e+30;
        int step = 1;
        int arrayOff = 0;
        Args args(interp, objc, objv);
        if (!args.CountOk(Args::AtLeast, 4, "Usage: KDdataMxMn Array Len Cond")) {
            return TCL_ERROR;
        }
        int len = args.Int(2, "Len");
        char cond = CondCode(args.Obj(3));
        args.OptDouble(4, lower);
        args.OptDouble(5, upper);
        args.OptInt(6, step, "Step");
        args.OptInt(7, arrayOff, "ArrayOff");

        RequireNonNegative("KDdataMxMn", "Len", len);
        if (step < 1) {
            Fail("KDdataMxMn: Step must be at least 1, got %d", step);
        }

        int iMin, iMax;
        if (DenseEnough(interp, args.Obj(1), len)) {
            Block block({static_cast<std::size_t>(len)});
            double *values = block[0];
            if (!Fill(interp, args.Obj(1), values, len, arrayOff)) {
                return TCL_OK;
            }
            DataMxMn_C(values, len, cond, lower, upper, step, &iMin, &iMax);
        } else {
            PresentValues values;
            if (!FillPresent(interp, args.Obj(1), values, len, arrayOff)) {
                return TCL_OK;
            }
            DataMxMnPresent(values, len, cond, lower, upper, step, &iMin, &iMax);
        }

        /* Reported indices carry the offset; computed in 64 bits, like the
         * element names that were read. */
        long long off = arrayOff;
        std::string text;
        switch (cond) {
        case '<':
            text = std::to_string(off + iMin);
            break;
        case '>':
            text = std::to_string(off + iMax);
            break;
        case 'G':
            text = std::to_string(off + iMin) + " " + std::to_string(off + iMax);
            break;
        default:
            break;
        }
        SetStringResult(interp, text);
        return TCL_OK;
    });
}
