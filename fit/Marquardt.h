/*
 * Marquardt.h --
 *
 *	What KDdataMqCoef and KDdataNLinLSq share: the size of the work array
 *	and the checks on the fit flags.  Internal to the library.
 */

#ifndef KARDUM_FIT_MARQUARDT_H
#define KARDUM_FIT_MARQUARDT_H

#include "kardum.h"
#include "fit/Flags.h"
#include "frame/Frame.h"
#include "frame/Interrupt.h"
#include "frame/ObjRef.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kardum {

/* The slots at the head of the work array; the nPar trial parameters
 * follow from kTrial on. */
enum WorkSlot : int {
    kLambda = 0,        /* Marquardt lambda; its sign says start, step or finish */
    kChi2 = 1,          /* chi-square of the last assembly pass */
    kBestChi2 = 2,      /* chi-square at the best parameters */
    kFitted = 3,        /* number of fitted parameters */
    kPoint = 4,         /* index of the point the model evaluates */
    kTrial = 5          /* first trial parameter */
};
constexpr int kWorkHeader = kTrial;

/* 4*nPar^2 + 2*nPar + 5, or ArgError when it does not fit an int. */
inline int WorkLength(const char *cmd, int nPar)
{
    std::int64_t m = nPar;
    /* Above 2^16 the product itself would overflow. */
    if (m > 65536 || 4 * m * m + 2 * m + kWorkHeader > INT_MAX) {
        Fail("%s: nPar %d makes the work array too large", cmd, nPar);
    }
    return static_cast<int>(4 * m * m + 2 * m + kWorkHeader);
}

/* Reads nPar fit flags from the array `name`; false when none exists.
 * With `othersHold` false every flag must be 0 (hold) or 1 (fit); with it
 * true a flag of 1 fits and any other integer holds.  Missing flags hold.
 * The flags are read as integers, so that 257 is not taken for its low
 * byte 1; a slot that still holds the marker afterwards is either missing
 * or did not convert, which a second look at the element tells apart. */
inline bool ReadFlags(Tcl_Interp *interp, const char *cmd, Tcl_Obj *name,
                      int nPar, std::vector<char> &flags, bool othersHold = false)
{
    const int marker = INT_MIN;
    std::vector<int> read(static_cast<std::size_t>(nPar), marker);
    if (FillInts(interp, name, read.data(), nPar) == 0) {
        return false;
    }
    flags.assign(static_cast<std::size_t>(nPar), 0);
    for (int j = 0; j < nPar; ++j) {
        if (IsFitFlag(interp, name, j, read[j])) {
            flags[j] = static_cast<char>(read[j]);
            continue;
        }
        const char *text = FlagText(interp, name, j);
        if (text == nullptr && read[j] == marker) {
            continue;
        }
        std::string shown = text != nullptr ? text : std::to_string(read[j]);
        if (!othersHold) {
            Fail("%s: %s(%d) must be 0 or 1, got %s", cmd, Tcl_GetString(name), j,
                 shown.c_str());
        }
        Tcl_WideInt wide = 0;
        if (!FlagWide(interp, name, j, wide)) {
            Fail("%s: %s(%d) must be an integer (1 fits, any other holds), got %s",
                 cmd, Tcl_GetString(name), j, shown.c_str());
        }
    }
    return true;
}

inline int CountFitted(const char *flags, int nPar)
{
    int f = 0;
    for (int j = 0; j < nPar; ++j) {
        f += IsFitted(flags[j]);
    }
    return f;
}

/* The integer part of a count held in the work array, kept within
 * 0 ... limit so that a bad value can never index outside the array. */
inline int CountIn(double value, int limit)
{
    if (!(value > 0.0)) {
        return 0;
    }
    return value >= limit ? limit : static_cast<int>(value);
}

/*
 * One assembly pass (DataMqCoef_C) that a cancel or a limit can stop: it
 * then returns -1 at once, with stop.Stopped() set and Tcl's message in
 * the interpreter result.  Memory it cannot have throws OutOfMemory.
 */
int MarquardtPass(Interrupt &stop, Tcl_Obj *work, double *y, double *sig, int nP,
                  char *iPar, int nPar, int alphaOff, int betaOff, const char *script,
                  double *w);

/*
 * The elements 0 ... kTrial+nPar-1 of the work array variable, which a
 * pass publishes to the model while it runs, kept as they are before the
 * pass, so that a stopped call can leave the variable as it found it.
 */
class PublishedElements {
public:
    PublishedElements(Tcl_Interp *interp, Tcl_Obj *work, int nPar)
        : interp_(interp), work_(work)
    {
        for (int i = 0; i < kTrial + nPar; ++i) {
            ObjRef index(Tcl_NewIntObj(i));
            ObjRef value(Tcl_ObjGetVar2(interp, work, index.get(), 0));
            saved_.push_back({std::move(index), std::move(value)});
        }
    }

    /* Puts every element back (or unsets it when it did not exist),
     * keeping the stop's message in the interpreter result. */
    void Restore()
    {
        Tcl_InterpState state = Tcl_SaveInterpState(interp_, TCL_ERROR);
        for (auto &element : saved_) {
            if (element.value) {
                Tcl_ObjSetVar2(interp_, work_, element.index.get(), element.value.get(), 0);
            } else {
                Tcl_UnsetVar2(interp_, Tcl_GetString(work_),
                              Tcl_GetString(element.index.get()), 0);
            }
        }
        Tcl_RestoreInterpState(interp_, state);
    }

private:
    struct Saved {
        ObjRef index;
        ObjRef value;           /* nothing when the element did not exist */
    };
    Tcl_Interp *interp_;
    Tcl_Obj *work_;
    std::vector<Saved> saved_;
};

} // namespace kardum

#endif /* KARDUM_FIT_MARQUARDT_H */
