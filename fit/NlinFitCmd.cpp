/*
 * NlinFitCmd.cpp --
 *
 *	The state and the steps of one kardum::nlfit, held in C++ for as long
 *	as the fit runs.  ::kardum::fit::Open creates a command of the fit's
 *	own, whose client data is that state; lib/nlfit.tcl passes the command
 *	to every step of the fit instead of sharing variables, and deletes it
 *	(rename to "") on every way out.  Its subcommands:
 *
 *	  $fit get field          a field of the state
 *	  $fit set field value    sets it
 *	  $fit step Par iPar m Work
 *	                          one Levenberg-Marquardt step (or the start,
 *	                          or the finish) on the arrays Par, iPar and
 *	                          Work of the calling frame, laid out as
 *	                          KDdataNLinLSq lays them out, with the same
 *	                          arithmetic, but with the model called here
 *	  $fit evaluate p         the model's answers at the user's
 *	                          parameters p, one per abscissa
 *
 *	and the read-only fields answered (how many calls of the model have
 *	answered) and predicted (after a step: the fall of chi-square the
 *	undamped step from the best parameters foresees, and that step's
 *	largest change relative to a parameter).  With the field polish set,
 *	a trial is accepted unless chi-square rises beyond its rounding.
 *
 *	A step calls the model in the frame that called kardum::nlfit: once
 *	per point with the point's abscissa and the parameters of the pass,
 *	or with -vector once per pass with every abscissa (numeric
 *	derivatives: 2f + 1 times).  Unlike KDdataNLinLSq's callback, a trial
 *	step whose model fails (an error, or a value or derivative that is not
 *	finite), whose parameters are not finite or whose sums overflow is
 *	rejected as a rise in chi-square is; the model never sees a parameter
 *	that is not finite.  At the starting parameters such a failure ends
 *	the fit: the model's own error, or KARDUM VALUE naming the point.  An
 *	error that says the interpreter was cancelled or ran past a limit
 *	always ends the fit, unchanged.
 *
 *	Beyond KDdataNLinLSq, the finishing call inverts the curvature matrix
 *	scaled to a unit diagonal (then scales the inverse back).
 *
 *	::kardum::fit::Slots m returns the work array's slots and regions
 *	(fit/Marquardt.h) by name, so that the script names them too;
 *	::kardum::fit::Finite list finds the first element of a list that is
 *	not a finite number.
 */

#include "package/Commands.h"
#include "fit/Covariance.h"
#include "fit/Marquardt.h"
#include "frame/Frame.h"
#include "frame/Interrupt.h"
#include "frame/ObjRef.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace kardum::package {

namespace {

/* The fields a script reads and writes, in the order of kFields. */
struct NlinFit {
    ObjRef model;      /* the user's model prefix */
    ObjRef level;      /* #N, the frame that called kardum::nlfit */
    ObjRef x;          /* the abscissae */
    ObjRef ys;         /* the values */
    ObjRef sigmas;     /* their standard deviations */
    ObjRef mapped;     /* indices of the bounded parameters */
    ObjRef flags;      /* 1 fit, 0 held, per parameter */
    ObjRef bounds;     /* per parameter "" or {kind lower upper} */
    ObjRef numeric;    /* 1 for -derivatives numeric */
    ObjRef vector;     /* 1 for -vector 1 */
    ObjRef polish;     /* 1 while the fit polishes a converged minimum */
    ObjRef uplevel{Tcl_NewStringObj("::uplevel", -1)};
    /* The values and standard deviations as doubles, read at the first
     * step after they were set. */
    std::vector<double> y;
    std::vector<double> sig;
    bool dataReady = false;
    /* The model's values and derivatives of the current pass. */
    std::vector<double> yhat;
    std::vector<double> d;
    /* Calls in progress, and whether the command went away meanwhile (a
     * model may rename it): the last call out then deletes the state. */
    int busy = 0;
    bool deleted = false;
    /* How many calls of the model have answered. */
    Tcl_WideInt answered = 0;
    /* The rounding of chi-square at the last pass and at the best
     * parameters: what chi-square cannot tell apart. */
    double noise = 0.0;
    double bestNoise = 0.0;
    /* At the best parameters after a step: the decrease of chi-square the
     * undamped (Gauss-Newton) step predicts, and that step's largest
     * change of a fitted parameter relative to its size. */
    double predicted = 0.0;
    double predictedStep = 0.0;
};

const char *const kFields[] = {"model", "level", "x", "ys", "sigmas", "mapped", "flags",
                               "bounds", "numeric", "vector", "polish", "answered", "predicted",
                               nullptr};
constexpr int kAnsweredField = 11;
constexpr int kPredictedField = 12;

ObjRef NlinFit::*const kMembers[] = {
    &NlinFit::model, &NlinFit::level, &NlinFit::x, &NlinFit::ys, &NlinFit::sigmas,
    &NlinFit::mapped, &NlinFit::flags, &NlinFit::bounds, &NlinFit::numeric,
    &NlinFit::vector, &NlinFit::polish};

/* The step of a numeric derivative, relative to the parameter: the cube
 * root of the double's epsilon. */
constexpr double kRelativeStep = 6.055454452393343e-06;

/* Thrown with a complaint about the fit's own state or words (KARDUM
 * VALUE); Tcl's own errors go as TclError with the interpreter result. */
[[noreturn]] void Complain(Tcl_Obj *cmd, const std::string &what)
{
    Fail("%s: %s", Tcl_GetString(cmd), what.c_str());
}

bool Flag(Tcl_Obj *obj)
{
    int value = 0;
    return obj != nullptr && Tcl_GetBooleanFromObj(nullptr, obj, &value) == TCL_OK && value;
}

/* Reads a list of doubles; false when it is not one. */
bool Doubles(Tcl_Obj *list, std::vector<double> &out)
{
    Tcl_Size count = 0;
    Tcl_Obj **items = nullptr;
    if (list == nullptr || Tcl_ListObjGetElements(nullptr, list, &count, &items) != TCL_OK) {
        return false;
    }
    out.resize(static_cast<std::size_t>(count));
    for (Tcl_Size k = 0; k < count; ++k) {
        if (Tcl_GetDoubleFromObj(nullptr, items[k], &out[k]) != TCL_OK) {
            return false;
        }
    }
    return true;
}

/* A number of the model's answer: 1 read, 0 not a number.  Tcl refuses
 * to read NaN as a double; it counts here as a number that is not finite. */
int ReadNumber(Tcl_Obj *obj, double &value)
{
    if (Tcl_GetDoubleFromObj(nullptr, obj, &value) == TCL_OK) {
        return 1;
    }
    const char *text = Tcl_GetString(obj);
    while (*text == ' ' || *text == '\t') {
        ++text;
    }
    char *end = nullptr;
    double parsed = std::strtod(text, &end);
    while (end != nullptr && (*end == ' ' || *end == '\t')) {
        ++end;
    }
    if (end != text && end != nullptr && *end == '\0' && std::isnan(parsed)) {
        value = parsed;
        return 1;
    }
    return 0;
}

/* A model that is not finite where the fit cannot do without it: TCL_ERROR
 * with {KARDUM VALUE NOTFINITE}. */
[[noreturn]] void NotFiniteError(Tcl_Interp *interp, const std::string &what)
{
    Tcl_SetObjResult(interp, Tcl_NewStringObj(("kardum::nlfit: " + what).c_str(), -1));
    Tcl_SetErrorCode(interp, "KARDUM", "VALUE", "NOTFINITE", nullptr);
    throw TclError{};
}

std::string Text(double value)
{
    char text[TCL_DOUBLE_SPACE];
    Tcl_PrintDouble(nullptr, value, text);
    return text;
}

/* How one pass ended. */
enum class Pass { kOk, kRejected };

/*
 * One fit at work: the state, the interpreter and the numbers of the
 * current call.  Throws TclError (the interpreter holds the error: the
 * model's own, a cancel or a limit) or ArgError (KARDUM VALUE).
 */
class Engine {
public:
    Engine(NlinFit &fit, Tcl_Interp *interp, Tcl_Obj *cmd)
        : fit_(fit), interp_(interp), cmd_(cmd), stop_(interp)
    {
        if (!fit.model || !fit.level || !fit.x) {
            Complain(cmd, "the fit has no model, level or abscissae");
        }
        /* A copy of the list that only this step holds, so that no script
         * can change its elements under it (the model receives the
         * original with -vector). */
        own_ = ObjRef(Tcl_DuplicateObj(fit.x.get()));
        if (Tcl_ListObjGetElements(interp, own_.get(), &n_, &xs_) != TCL_OK) {
            throw TclError{};
        }
        numeric_ = Flag(fit.numeric.get());
        vector_ = Flag(fit.vector.get());
    }

    Tcl_Size Points() const { return n_; }

    /* The user's parameters and dp/du of each from the inner ones u (m of
     * them); false when one is not finite. */
    bool Outer(const std::vector<double> &u, std::vector<double> &p,
               std::vector<double> &factors);

    /*
     * The model's values at the user's parameters p (m), and unless
     * `valuesOnly` the derivatives with respect to the fitted parameters
     * (flags), each multiplied by its dp/du (factors): yhat[i], d[i*m + j].
     * At a trial (start false) a failure of the model or a number that is
     * not finite rejects; at the start it ends the fit.
     */
    Pass Evaluate(const std::vector<double> &p, const std::vector<double> &factors,
                  const std::vector<char> &flags, bool start, bool valuesOnly,
                  std::vector<double> &yhat, std::vector<double> &d);

    /* The answers themselves, checked for their form, as the list in the
     * interpreter result. */
    void Answers(const std::vector<double> &p);

private:
    /* Calls the model with the abscissa (or list of them) x and the
     * parameters p: TCL_OK with the answer in `answer`, or (a trial's
     * error) kRejected.  At the start the model's error ends the fit, and
     * so does a cancel or a limit anywhere. */
    bool Call(Tcl_Obj *x, const std::vector<double> &p, bool start, ObjRef &answer);

    /* A pass ends: rejected at a trial, the error at the start. */
    Pass NotFinite(bool start, Tcl_Size i, Tcl_Obj *answer)
    {
        if (!start) {
            return Pass::kRejected;
        }
        NotFiniteError("the model is not finite at the starting parameters: it returned \"" +
                       std::string(Tcl_GetString(answer)) + "\" at x = " +
                       Tcl_GetString(xs_[i]) + " (point " + std::to_string(i) + ")");
    }

    [[noreturn]] void NotFiniteError(const std::string &what)
    {
        package::NotFiniteError(interp_, what);
    }

    [[noreturn]] void WrongForm(Tcl_Size i, Tcl_Obj *answer, bool lengthWrong, int nPar)
    {
        std::string shown = Tcl_GetString(answer);
        std::string at = "kardum::nlfit: the model returned \"" + shown + "\" at x = " +
                         Tcl_GetString(xs_[i]);
        if (numeric_) {
            Fail("%s, not a number", at.c_str());
        }
        if (lengthWrong) {
            Fail("%s; it must return its value and %d %s (or use -derivatives numeric)",
                 at.c_str(), nPar, nPar == 1 ? "derivative" : "derivatives");
        }
        Fail("%s, not a list of numbers", at.c_str());
    }

    /* The n answers of a vector call, or the one of a point call. */
    void Split(Tcl_Obj *answer, Tcl_Size &count, Tcl_Obj **&items)
    {
        if (Tcl_ListObjGetElements(nullptr, answer, &count, &items) != TCL_OK || count != n_) {
            Fail("kardum::nlfit: the model returned %s for %lld abscissae; with -vector 1 it "
                 "must return a list of one answer per abscissa",
                 Tcl_ListObjGetElements(nullptr, answer, &count, &items) == TCL_OK
                     ? (std::to_string(count) + (count == 1 ? " answer" : " answers")).c_str()
                     : "no list",
                 static_cast<long long>(n_));
        }
    }

    /* Reads the value (and with `nPar` >= 0 the nPar derivatives) of
     * point i's answer into y and row; false when one is not finite. */
    bool Read(Tcl_Size i, Tcl_Obj *answer, int nPar, double &y, double *row,
              const std::vector<char> &flags);

    NlinFit &fit_;
    Tcl_Interp *interp_;
    Tcl_Obj *cmd_;
    Interrupt stop_;
    ObjRef own_;
    Tcl_Size n_ = 0;
    Tcl_Obj **xs_ = nullptr;
    bool numeric_ = false;
    bool vector_ = false;
};

bool Engine::Outer(const std::vector<double> &u, std::vector<double> &p,
                   std::vector<double> &factors)
{
    const std::size_t m = u.size();
    p = u;
    factors.assign(m, 1.0);
    for (double v : u) {
        if (!std::isfinite(v)) {
            return false;
        }
    }
    Tcl_Size nMapped = 0;
    Tcl_Obj **mapped = nullptr;
    if (fit_.mapped &&
        Tcl_ListObjGetElements(interp_, fit_.mapped.get(), &nMapped, &mapped) != TCL_OK) {
        throw TclError{};
    }
    if (nMapped == 0) {
        return true;
    }
    /* The change of variables lives in lib/nlfit.tcl. */
    ObjRef pairs(Tcl_NewListObj(0, nullptr));
    for (std::size_t j = 0; j < m; ++j) {
        Tcl_ListObjAppendElement(nullptr, pairs.get(), Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(j)));
        Tcl_ListObjAppendElement(nullptr, pairs.get(), Tcl_NewDoubleObj(u[j]));
    }
    Tcl_Obj *words[] = {Tcl_NewStringObj("::kardum::fit::OuterFactors", -1),
                        fit_.bounds ? fit_.bounds.get() : Tcl_NewObj(), pairs.get(),
                        Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(m))};
    ObjRef command(Tcl_NewListObj(4, words));
    if (Tcl_EvalObjEx(interp_, command.get(), 0) != TCL_OK) {
        throw TclError{};
    }
    ObjRef result(Tcl_GetObjResult(interp_));
    Tcl_Obj *ps = nullptr;
    Tcl_Obj *fs = nullptr;
    std::vector<double> outer;
    std::vector<double> slopes;
    if (Tcl_ListObjIndex(nullptr, result.get(), 0, &ps) != TCL_OK ||
        Tcl_ListObjIndex(nullptr, result.get(), 1, &fs) != TCL_OK || !Doubles(ps, outer) ||
        !Doubles(fs, slopes) || outer.size() != m || slopes.size() != m) {
        Complain(cmd_, "the change of variables gave no parameters");
    }
    Tcl_ResetResult(interp_);
    p = outer;
    factors = slopes;
    for (std::size_t j = 0; j < m; ++j) {
        if (!std::isfinite(p[j]) || !std::isfinite(factors[j])) {
            return false;
        }
    }
    return true;
}

bool Engine::Call(Tcl_Obj *x, const std::vector<double> &p, bool start, ObjRef &answer)
{
    ObjRef params(Tcl_NewListObj(0, nullptr));
    for (double v : p) {
        Tcl_ListObjAppendElement(nullptr, params.get(), Tcl_NewDoubleObj(v));
    }
    /* uplevel $level [list {*}$model $x $p]: a pure list, run without
     * parsing, in the frame that called kardum::nlfit. */
    ObjRef call(Tcl_DuplicateObj(fit_.model.get()));
    if (Tcl_ListObjAppendElement(interp_, call.get(), x) != TCL_OK ||
        Tcl_ListObjAppendElement(interp_, call.get(), params.get()) != TCL_OK) {
        throw TclError{};
    }
    ObjRef level(fit_.level.get());
    Tcl_Obj *up[3] = {fit_.uplevel.get(), level.get(), call.get()};
    int code = Tcl_EvalObjv(interp_, 3, up, 0);
    if (code == TCL_OK || code == TCL_RETURN) {
        ++fit_.answered;
        answer = ObjRef(Tcl_GetObjResult(interp_));
        Tcl_ResetResult(interp_);
        return true;
    }
    if (code == TCL_ERROR) {
        if (start || stop_.After(code)) {
            throw TclError{};
        }
        Tcl_ResetResult(interp_);
        return false;
    }
    const char *how = code == TCL_BREAK ? "break" : code == TCL_CONTINUE ? "continue" : nullptr;
    std::string text = how != nullptr ? how : "code " + std::to_string(code);
    Tcl_ResetResult(interp_);
    Fail("%s ended with %s, not with a result", Tcl_GetString(fit_.model.get()), text.c_str());
}

bool Engine::Read(Tcl_Size i, Tcl_Obj *answer, int nPar, double &y, double *row,
                  const std::vector<char> &flags)
{
    if (nPar < 0) {
        if (!ReadNumber(answer, y)) {
            WrongForm(i, answer, false, 0);
        }
        return std::isfinite(y);
    }
    Tcl_Size count = 0;
    Tcl_Obj **items = nullptr;
    if (Tcl_ListObjGetElements(nullptr, answer, &count, &items) != TCL_OK) {
        WrongForm(i, answer, false, nPar);
    }
    if (count != nPar + 1) {
        WrongForm(i, answer, true, nPar);
    }
    bool finite = true;
    for (Tcl_Size k = 0; k <= nPar; ++k) {
        double v = 0.0;
        if (!ReadNumber(items[k], v)) {
            WrongForm(i, answer, false, nPar);
        }
        if (k == 0) {
            y = v;
            finite = finite && std::isfinite(v);
        } else {
            row[k - 1] = v;
            finite = finite && (!IsFitted(flags[k - 1]) || std::isfinite(v));
        }
    }
    return finite;
}

Pass Engine::Evaluate(const std::vector<double> &p, const std::vector<double> &factors,
                      const std::vector<char> &flags, bool start, bool valuesOnly,
                      std::vector<double> &yhat, std::vector<double> &d)
{
    const int m = static_cast<int>(p.size());
    const std::size_t n = static_cast<std::size_t>(n_);
    yhat.assign(n, 0.0);
    d.assign(valuesOnly ? 0 : n * static_cast<std::size_t>(m), 0.0);
    const bool analytic = !numeric_ && !valuesOnly;
    const int nPar = analytic ? m : -1;
    ObjRef answer;

    if (vector_) {
        ObjRef all(fit_.x.get());
        if (!Call(all.get(), p, start, answer)) {
            return Pass::kRejected;
        }
        Tcl_Size count = 0;
        Tcl_Obj **items = nullptr;
        Split(answer.get(), count, items);
        for (Tcl_Size i = 0; i < n_; ++i) {
            if (!Read(i, items[i], nPar, yhat[i], analytic ? &d[i * m] : nullptr, flags)) {
                return NotFinite(start, i, items[i]);
            }
        }
    } else {
        for (Tcl_Size i = 0; i < n_; ++i) {
            if (!Call(xs_[i], p, start, answer)) {
                return Pass::kRejected;
            }
            if (!Read(i, answer.get(), nPar, yhat[i], analytic ? &d[i * m] : nullptr, flags)) {
                return NotFinite(start, i, answer.get());
            }
        }
    }
    if (valuesOnly) {
        return Pass::kOk;
    }
    if (analytic) {
        for (std::size_t i = 0; i < n; ++i) {
            for (int j = 0; j < m; ++j) {
                if (factors[j] != 1.0) {
                    d[i * m + j] = d[i * m + j] * factors[j];
                }
            }
        }
        return Pass::kOk;
    }

    /* Central differences with a step relative to each parameter, one-sided
     * where a step would cross a bound. */
    std::vector<std::vector<double>> bounds(static_cast<std::size_t>(m));
    if (fit_.bounds) {
        Tcl_Size count = 0;
        Tcl_Obj **items = nullptr;
        if (Tcl_ListObjGetElements(nullptr, fit_.bounds.get(), &count, &items) == TCL_OK) {
            for (Tcl_Size j = 0; j < count && j < m; ++j) {
                if (!Doubles(items[j], bounds[j])) {
                    bounds[j].clear();
                }
            }
        }
    }
    std::vector<double> up(n), down(n);
    for (int j = 0; j < m; ++j) {
        if (!IsFitted(flags[j])) {
            continue;
        }
        const double pj = p[j];
        const double h = kRelativeStep * (pj == 0.0 ? 1.0 : std::fabs(pj));
        double hi = pj + h;
        double lo = pj - h;
        if (bounds[j].size() == 3) {
            hi = std::min(hi, bounds[j][2]);
            lo = std::max(lo, bounds[j][1]);
        }
        std::vector<double> pUp = p, pDown = p;
        pUp[j] = hi;
        pDown[j] = lo;
        if (vector_) {
            ObjRef all(fit_.x.get());
            for (int side = 0; side < 2; ++side) {
                std::vector<double> &out = side == 0 ? up : down;
                if (!Call(all.get(), side == 0 ? pUp : pDown, start, answer)) {
                    return Pass::kRejected;
                }
                Tcl_Size count = 0;
                Tcl_Obj **items = nullptr;
                Split(answer.get(), count, items);
                for (Tcl_Size i = 0; i < n_; ++i) {
                    if (!Read(i, items[i], -1, out[i], nullptr, flags)) {
                        return NotFinite(start, i, items[i]);
                    }
                }
            }
        } else {
            for (Tcl_Size i = 0; i < n_; ++i) {
                for (int side = 0; side < 2; ++side) {
                    std::vector<double> &out = side == 0 ? up : down;
                    if (!Call(xs_[i], side == 0 ? pUp : pDown, start, answer)) {
                        return Pass::kRejected;
                    }
                    if (!Read(i, answer.get(), -1, out[i], nullptr, flags)) {
                        return NotFinite(start, i, answer.get());
                    }
                }
            }
        }
        for (std::size_t i = 0; i < n; ++i) {
            double v = (up[i] - down[i]) / (hi - lo) * factors[j];
            if (!std::isfinite(v)) {
                if (!start) {
                    return Pass::kRejected;
                }
                NotFiniteError("the numeric derivative of parameter " + std::to_string(j) +
                               " is not finite at the starting parameters at x = " +
                               Tcl_GetString(xs_[i]) + " (point " + std::to_string(i) + ")");
            }
            d[i * m + j] = v;
        }
    }
    return Pass::kOk;
}

void Engine::Answers(const std::vector<double> &p)
{
    ObjRef answer;
    std::vector<char> flags(p.size(), 1);
    const int nPar = numeric_ ? -1 : static_cast<int>(p.size());
    std::vector<double> row(p.size());
    double y = 0.0;
    ObjRef list;
    if (vector_) {
        ObjRef all(fit_.x.get());
        Call(all.get(), p, true, answer);
        Tcl_Size count = 0;
        Tcl_Obj **items = nullptr;
        Split(answer.get(), count, items);
        for (Tcl_Size i = 0; i < n_; ++i) {
            Read(i, items[i], nPar, y, row.data(), flags);
        }
        list = std::move(answer);
    } else {
        list = ObjRef(Tcl_NewListObj(0, nullptr));
        for (Tcl_Size i = 0; i < n_; ++i) {
            Call(xs_[i], p, true, answer);
            Read(i, answer.get(), nPar, y, row.data(), flags);
            Tcl_ListObjAppendElement(nullptr, list.get(), answer.get());
        }
    }
    Tcl_SetObjResult(interp_, list.get());
}

/*
 * One assembly pass at the inner parameters `trial`: the curvature matrix
 * (packed over the f fitted parameters), the gradient and chi-square, in
 * the order of KDdataMqCoef's sums, into w at alphaOff and betaOff and
 * w[kChi2].  A trial whose parameters, answers or sums are not finite is
 * rejected.
 */
Pass Assemble(Tcl_Interp *interp, Engine &engine, const std::vector<double> &trial, const std::vector<char> &flags,
              NlinFit &fit, bool start, double *w, int alphaOff, int betaOff)
{
    const int m = static_cast<int>(trial.size());
    const int mfit = CountIn(w[kFitted], m);
    std::vector<double> p, factors;
    /* The answers of the pass, in buffers the fit keeps from pass to pass. */
    std::vector<double> &yhat = fit.yhat;
    std::vector<double> &d = fit.d;
    for (int j = 0; j < m; ++j) {
        if (IsFitted(flags[j]) && !std::isfinite(trial[j])) {
            return Pass::kRejected;
        }
    }
    if (!engine.Outer(trial, p, factors)) {
        return Pass::kRejected;
    }
    if (engine.Evaluate(p, factors, flags, start, false, yhat, d) != Pass::kOk) {
        return Pass::kRejected;
    }
    for (int i = 0; i < mfit * mfit; ++i) {
        w[alphaOff + i] = 0.0;
    }
    for (int i = 0; i < mfit; ++i) {
        w[betaOff + i] = 0.0;
    }
    w[kChi2] = 0.0;
    double chi2 = 0.0;
    double rounding = 0.0;
    const std::size_t n = yhat.size();
    for (std::size_t i = 0; i < n; ++i) {
        const double *row = &d[i * static_cast<std::size_t>(m)];
        double wt = 1.0 / (fit.sig[i] * fit.sig[i]);
        double delta = fit.y[i] - yhat[i];
        int bpos = betaOff;
        for (int l = 0, r = 0; l < m && r < mfit; ++l) {
            if (!IsFitted(flags[l])) {
                continue;
            }
            double t = row[l] * wt;
            int apos = alphaOff + r * mfit;
            for (int k = 0; k <= l; ++k) {
                if (IsFitted(flags[k])) {
                    w[apos] = w[apos] + t * row[k];
                    ++apos;
                }
            }
            w[bpos] = w[bpos] + delta * t;
            ++r;
            ++bpos;
        }
        const double term = delta * delta * wt;
        rounding = rounding + std::fabs(delta) * wt * (std::fabs(fit.y[i]) + std::fabs(yhat[i]));
        chi2 = chi2 + term;
    }
    w[kChi2] = chi2;
    /* Each residual is off by a few units in the last place of the
     * values (chi-square by twice their weighted sum), and the sum itself
     * rounds by about the square root of the number of its terms. */
    fit.noise = std::numeric_limits<double>::epsilon() *
                (8.0 * rounding + (8.0 + std::sqrt(static_cast<double>(n))) * std::fabs(w[kChi2]));
    for (int j = 1; j < mfit; ++j) {
        for (int k = 0; k < j; ++k) {
            w[alphaOff + k * mfit + j] = w[alphaOff + j * mfit + k];
        }
    }
    bool finite = std::isfinite(w[kChi2]);
    for (int i = 0; finite && i < mfit * mfit; ++i) {
        finite = std::isfinite(w[alphaOff + i]);
    }
    for (int i = 0; finite && i < mfit; ++i) {
        finite = std::isfinite(w[betaOff + i]);
    }
    if (!finite) {
        if (start) {
            NotFiniteError(interp, "chi-square or its derivatives overflow at the starting "
                           "parameters (chi-square " + Text(w[kChi2]) + ")");
        }
        return Pass::kRejected;
    }
    return Pass::kOk;
}

void Copy(const double *from, double *to, int n)
{
    for (int i = 0; i < n; ++i) {
        to[i] = from[i];
    }
}

/* The inverse of the f x f curvature matrix a into out, computed on the
 * matrix scaled to a unit diagonal (parameters of very different sizes
 * otherwise cost the inverse digits it need not lose); false when a
 * diagonal element is not positive or the scaled matrix is singular. */
bool Invert(const double *a, double *out, int f)
{
    std::vector<double> scale(static_cast<std::size_t>(f));
    for (int i = 0; i < f; ++i) {
        const double diagonal = a[i * (f + 1)];
        if (!(diagonal > 0.0) || !std::isfinite(diagonal)) {
            return false;
        }
        scale[i] = 1.0 / std::sqrt(diagonal);
    }
    for (int i = 0; i < f; ++i) {
        for (int k = 0; k < f; ++k) {
            out[i * f + k] = a[i * f + k] * scale[i] * scale[k];
        }
    }
    if (MatrixInv_C(f, out, 0, nullptr) != 1) {
        return false;
    }
    for (int i = 0; i < f; ++i) {
        for (int k = 0; k < f; ++k) {
            out[i * f + k] = out[i * f + k] * scale[i] * scale[k];
        }
    }
    return true;
}

/* The undamped step at the best parameters, from the curvature matrix a
 * and the gradient b there (packed over the f fitted parameters): the
 * decrease of chi-square it predicts (b . step) and its largest change
 * relative to a parameter, into the fit; Inf for both when it has none. */
void Predict(NlinFit &fit, const double *a, const double *b, const std::vector<double> &par,
             const std::vector<char> &flags, int f)
{
    fit.predicted = std::numeric_limits<double>::infinity();
    fit.predictedStep = std::numeric_limits<double>::infinity();
    std::vector<double> inverse(static_cast<std::size_t>(f) * f);
    if (f == 0 || !Invert(a, inverse.data(), f)) {
        return;
    }
    double decrease = 0.0;
    double largest = 0.0;
    for (int r = 0, j = 0; r < f; ++r, ++j) {
        double step = 0.0;
        for (int k = 0; k < f; ++k) {
            step = step + inverse[r * f + k] * b[k];
        }
        decrease = decrease + b[r] * step;
        while (j < static_cast<int>(par.size()) && !IsFitted(flags[j])) {
            ++j;
        }
        const double size = j < static_cast<int>(par.size()) ? std::fabs(par[j]) : 0.0;
        largest = std::max(largest, std::fabs(step) / (size > 0.0 ? size : 1.0));
    }
    if (std::isfinite(decrease) && std::isfinite(largest)) {
        fit.predicted = decrease;
        fit.predictedStep = largest;
    }
}

/* Reads count doubles (or fit flags) from the array `name` of the
 * calling frame. */
void ReadArray(Tcl_Interp *interp, Tcl_Obj *name, int count, double *out)
{
    for (int k = 0; k < count; ++k) {
        ObjRef index(Tcl_NewIntObj(k));
        Tcl_Obj *value = Tcl_ObjGetVar2(interp, name, index.get(), TCL_LEAVE_ERR_MSG);
        if (value == nullptr || Tcl_GetDoubleFromObj(interp, value, &out[k]) != TCL_OK) {
            throw TclError{};
        }
    }
}

void WriteArray(Tcl_Interp *interp, Tcl_Obj *name, int count, const double *from)
{
    for (int k = 0; k < count; ++k) {
        ObjRef index(Tcl_NewIntObj(k));
        if (Tcl_ObjSetVar2(interp, name, index.get(), Tcl_NewDoubleObj(from[k]),
                           TCL_LEAVE_ERR_MSG) == nullptr) {
            throw TclError{};
        }
    }
}

/* $fit step Par iPar m Work: KDdataNLinLSq's step with the model called
 * here; a trial the model cannot answer is rejected. */
int Step(NlinFit &fit, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    if (objc != 6) {
        Tcl_WrongNumArgs(interp, 2, objv, "Par iPar m Work");
        return TCL_ERROR;
    }
    int m = 0;
    if (Tcl_GetIntFromObj(interp, objv[4], &m) != TCL_OK) {
        return TCL_ERROR;
    }
    if (m < 1) {
        Complain(objv[0], "m must be at least 1");
    }
    const int len = WorkLength(Tcl_GetString(objv[0]), m);
    Engine engine(fit, interp, objv[0]);
    const std::size_t n = static_cast<std::size_t>(engine.Points());
    if (!fit.dataReady) {
        if (!Doubles(fit.ys.get(), fit.y) || !Doubles(fit.sigmas.get(), fit.sig) ||
            fit.y.size() != n || fit.sig.size() != n) {
            Complain(objv[0], "the fit needs as many values and standard deviations as "
                              "abscissae");
        }
        fit.dataReady = true;
    }
    std::vector<double> par(static_cast<std::size_t>(m)), flagValues(par.size());
    std::vector<double> work(static_cast<std::size_t>(len));
    ReadArray(interp, objv[2], m, par.data());
    ReadArray(interp, objv[3], m, flagValues.data());
    ReadArray(interp, objv[5], len, work.data());
    std::vector<char> flags(par.size());
    for (int j = 0; j < m; ++j) {
        flags[j] = flagValues[j] == 1.0 ? 1 : 0;
    }
    double *w = work.data();
    const int c = kTrial + m;
    const int alpha = c + m * m;
    const int beta = alpha + m * m;
    const int delta = beta + m * m;
    std::vector<double> trial(par.size());

    if (w[kLambda] < 0.0) {
        const double request = w[kLambda];
        w[kFitted] = CountFitted(flags.data(), m);
        w[kLambda] = request < -0.9 ? 0.001 : -request;
        Copy(par.data(), w + kTrial, m);
        Copy(par.data(), trial.data(), m);
        if (Assemble(interp, engine, trial, flags, fit, true, w, alpha, beta) != Pass::kOk) {
            NotFiniteError(interp, "the starting parameters are not finite");
        }
        w[kBestChi2] = w[kChi2];
        fit.bestNoise = fit.noise;
        /* Should the step that follows fail, the fit has its start. */
        WriteArray(interp, objv[5], len, w);
    }

    const int f = CountIn(w[kFitted], m);
    Copy(w + alpha, w + c, f * f);
    Copy(w + beta, w + delta, f);
    const double lambda = w[kLambda];
    if (lambda > 0.0) {
        for (int i = 0; i < f; ++i) {
            w[c + i * (f + 1)] = w[c + i * (f + 1)] * (1.0 + lambda);
        }
        bool accepted = false;
        if (MatrixInv_C(f, w + c, 1, w + delta) == 1) {
            Copy(w + kTrial, trial.data(), m);
            for (int j = 0, k = 0; j < m; ++j) {
                if (IsFitted(flags[j])) {
                    trial[j] = par[j] + (k < f ? w[delta + k] : 0.0);
                    ++k;
                }
            }
            Copy(trial.data(), w + kTrial, m);
            /* Strictly better; or, while polishing a minimum, not worse
             * than chi-square can tell. */
            accepted = Assemble(interp, engine, trial, flags, fit, false, w, c, delta) == Pass::kOk &&
                       (w[kBestChi2] > w[kChi2] ||
                        (Flag(fit.polish.get()) &&
                         w[kChi2] <= w[kBestChi2] + std::max(fit.noise, fit.bestNoise)));
        }
        if (accepted) {
            fit.bestNoise = fit.noise;
            w[kLambda] = lambda * 0.1;
            w[kBestChi2] = w[kChi2];
            Copy(w + c, w + alpha, f * f);
            Copy(w + delta, w + beta, f);
            Copy(trial.data(), par.data(), m);
        } else {
            w[kLambda] = lambda * 10.0;
            w[kChi2] = w[kBestChi2];
        }
    } else {
        /* Finish: the covariance is the inverse of alpha at the best
         * parameters; a singular alpha gives none (NaN). */
        if (!Invert(w + alpha, w + c, f)) {
            for (int i = 0; i < f * f; ++i) {
                w[c + i] = std::numeric_limits<double>::quiet_NaN();
            }
        }
        if (f < m) {
            Copy(w + alpha, w + beta, f * f);
            SpreadCovariance(w + c, f, m, flags.data());
            SpreadCovariance(w + alpha, f, m, flags.data());
        }
    }
    if (w[kLambda] > 0.0) {
        Predict(fit, w + alpha, w + beta, par, flags, f);
    }
    WriteArray(interp, objv[2], m, par.data());
    WriteArray(interp, objv[5], len, w);
    Tcl_ResetResult(interp);
    return TCL_OK;
}

/* $fit evaluate p: the model's answers at the user's parameters p. */
int EvaluateCmd(NlinFit &fit, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    if (objc != 3) {
        Tcl_WrongNumArgs(interp, 2, objv, "p");
        return TCL_ERROR;
    }
    std::vector<double> p;
    if (!Doubles(objv[2], p)) {
        Complain(objv[0], "the parameters must be a list of numbers, got \"" +
                              std::string(Tcl_GetString(objv[2])) + "\"");
    }
    Engine engine(fit, interp, objv[0]);
    engine.Answers(p);
    return TCL_OK;
}

int FitObjCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    NlinFit &fit = *static_cast<NlinFit *>(cd);
    static const char *const kSubcommands[] = {"step", "evaluate", "get", "set", nullptr};
    enum { kStep, kEvaluate, kGet, kSet };
    if (objc < 2) {
        Tcl_WrongNumArgs(interp, 1, objv, "step|evaluate|get|set ?arg ...?");
        return TCL_ERROR;
    }
    int sub = 0;
    if (Tcl_GetIndexFromObj(interp, objv[1], kSubcommands, "subcommand", 0, &sub) != TCL_OK) {
        return TCL_ERROR;
    }
    if ((sub == kStep || sub == kEvaluate) && fit.busy > 0) {
        /* A model that steps its own fit would pull the pass's buffers
         * from under it. */
        Tcl_SetObjResult(interp, Tcl_ObjPrintf("%s: a fit cannot step or evaluate inside "
                                               "its own model", Tcl_GetString(objv[0])));
        Tcl_SetErrorCode(interp, "KARDUM", "VALUE", nullptr);
        return TCL_ERROR;
    }
    ++fit.busy;
    int code = RunCommand(interp, "kardum::nlfit", [&]() -> int {
        int field = 0;
        switch (sub) {
        case kStep:
            return Step(fit, interp, objc, objv);
        case kEvaluate:
            return EvaluateCmd(fit, interp, objc, objv);
        default:
            if (objc != (sub == kGet ? 3 : 4)) {
                Tcl_WrongNumArgs(interp, 2, objv, sub == kGet ? "field" : "field value");
                return TCL_ERROR;
            }
            if (Tcl_GetIndexFromObj(interp, objv[2], kFields, "field", 0, &field) != TCL_OK) {
                return TCL_ERROR;
            }
            if (field == kAnsweredField || field == kPredictedField) {
                if (sub == kSet) {
                    Complain(objv[0], std::string(kFields[field]) + " is set by the steps");
                }
                if (field == kAnsweredField) {
                    Tcl_SetObjResult(interp, Tcl_NewWideIntObj(fit.answered));
                } else {
                    Tcl_Obj *pair[2] = {Tcl_NewDoubleObj(fit.predicted),
                                        Tcl_NewDoubleObj(fit.predictedStep)};
                    Tcl_SetObjResult(interp, Tcl_NewListObj(2, pair));
                }
                return TCL_OK;
            }
            if (sub == kSet) {
                fit.*kMembers[field] = ObjRef(objv[3]);
                if (field == 3 || field == 4) {
                    fit.dataReady = false;
                }
            }
            Tcl_SetObjResult(interp, (fit.*kMembers[field]) ? (fit.*kMembers[field]).get()
                                                            : Tcl_NewObj());
            return TCL_OK;
        }
    });
    if (--fit.busy == 0 && fit.deleted) {
        delete &fit;
    }
    return code;
}

void DeleteFit(ClientData cd)
{
    auto *fit = static_cast<NlinFit *>(cd);
    if (fit->busy > 0) {
        fit->deleted = true;
    } else {
        delete fit;
    }
}

} // namespace

/* ::kardum::fit::Open name: a new fit's command, its fields empty. */
int NlinOpenCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    if (objc != 2) {
        Tcl_WrongNumArgs(interp, 1, objv, "name");
        return TCL_ERROR;
    }
    return RunCommand(interp, "kardum::nlfit", [&]() -> int {
        auto *fit = new NlinFit;
        if (!Tcl_CreateObjCommand(interp, Tcl_GetString(objv[1]), FitObjCmd, fit, DeleteFit)) {
            delete fit;
            return TCL_ERROR;
        }
        Tcl_SetObjResult(interp, objv[1]);
        return TCL_OK;
    });
}

/* ::kardum::fit::Finite list: the index of the first element that is
 * not a finite number, or -1 (a quick look at long lists of data; the
 * script words the complaint). */
int NlinFiniteCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    if (objc != 2) {
        Tcl_WrongNumArgs(interp, 1, objv, "list");
        return TCL_ERROR;
    }
    Tcl_Size count = 0;
    Tcl_Obj **items = nullptr;
    if (Tcl_ListObjGetElements(interp, objv[1], &count, &items) != TCL_OK) {
        return TCL_ERROR;
    }
    Tcl_WideInt bad = -1;
    for (Tcl_Size k = 0; k < count && bad < 0; ++k) {
        double value = 0.0;
        if (Tcl_GetDoubleFromObj(nullptr, items[k], &value) != TCL_OK || !std::isfinite(value)) {
            bad = k;
        }
    }
    Tcl_SetObjResult(interp, Tcl_NewWideIntObj(bad));
    return TCL_OK;
}

/* ::kardum::fit::Slots m: the work array's slots and regions for m
 * parameters, as a dict. */
int NlinSlotsCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    if (objc != 2) {
        Tcl_WrongNumArgs(interp, 1, objv, "m");
        return TCL_ERROR;
    }
    return RunCommand(interp, "kardum::nlfit", [&]() -> int {
        int m = 0;
        if (Tcl_GetIntFromObj(interp, objv[1], &m) != TCL_OK) {
            return TCL_ERROR;
        }
        int size = WorkLength("::kardum::fit::Slots", m < 0 ? 0 : m);
        const struct {
            const char *name;
            Tcl_WideInt slot;
        } rows[] = {
            {"lambda", kLambda},
            {"chi2", kChi2},
            {"best", kBestChi2},
            {"fitted", kFitted},
            {"point", kPoint},
            {"trial", kTrial},
            /* The regions that follow the trial parameters, m x m each
             * but the last (m): the covariance, the curvature matrix
             * alpha and the gradient beta. */
            {"covariance", kTrial + static_cast<Tcl_WideInt>(m)},
            {"alpha", kTrial + static_cast<Tcl_WideInt>(m) + static_cast<Tcl_WideInt>(m) * m},
            {"beta", kTrial + static_cast<Tcl_WideInt>(m) + 2 * static_cast<Tcl_WideInt>(m) * m},
            {"size", size},
        };
        Tcl_Obj *dict = Tcl_NewDictObj();
        for (const auto &row : rows) {
            Tcl_DictObjPut(nullptr, dict, Tcl_NewStringObj(row.name, -1),
                           Tcl_NewWideIntObj(row.slot));
        }
        Tcl_SetObjResult(interp, dict);
        return TCL_OK;
    });
}

} // namespace kardum::package
