/*
 * NlinFitCmd.cpp --
 *
 *	The state of one kardum::nlfit, held in C++ for as long as the fit
 *	runs.  ::kardum::fit::Open creates a command of the fit's own, whose
 *	client data is that state; lib/nlfit.tcl passes the command to every
 *	step of the fit instead of sharing variables, and deletes it (rename
 *	to "") on every way out.  Its subcommands:
 *
 *	  $fit get field          a field of the state
 *	  $fit set field value    sets it
 *	  $fit fail message options
 *	                          keeps the first failure of a model (the
 *	                          library does not look at a callback's code,
 *	                          so the fit rethrows it after the step)
 *	  $fit point index nPar dYdA Work
 *	                          the model callback of KDdataNLinLSq for
 *	                          models that return their derivatives:
 *
 *	    set FuncRet [ $fit point $Work(4) nPar dYdA Work ]
 *
 *	evaluated in the frame of ::kardum::fit::Step once per data point.  It
 *	calls the model with the point's abscissa and the parameters of the
 *	pass in the frame that called kardum::nlfit and sets
 *	dYdA(0 ... nPar-1) from the answer, each derivative of a bounded
 *	parameter multiplied by dp/du.  The rare paths stay in lib/nlfit.tcl:
 *	::kardum::fit::Pass computes the parameters and dp/du at the first
 *	point of a pass, ::kardum::fit::Record keeps a model's failure and
 *	::kardum::fit::Check words the complaint about an answer of the wrong
 *	form.  A procedure in the script would cost about as much per point as
 *	a small model itself.
 *
 *	::kardum::fit::Slots m returns the work array's slots and regions
 *	(fit/Marquardt.h) by name, so that the script names them too.
 */

#include "package/Commands.h"
#include "fit/Marquardt.h"
#include "frame/Frame.h"
#include "frame/ObjRef.h"

#include <cmath>
#include <cstring>
#include <vector>

namespace kardum::package {

namespace {

/* The fields a script reads and writes, in the order of kFields. */
struct NlinFit {
    ObjRef model;      /* the user's model prefix */
    ObjRef level;      /* #N, the frame that called kardum::nlfit */
    ObjRef x;          /* the abscissae */
    ObjRef mapped;     /* indices of the bounded parameters */
    ObjRef factors;    /* dp/du of every parameter, for this pass */
    ObjRef p;          /* the user's parameters of this pass */
    ObjRef flags;      /* 1 fit, 0 held, per parameter */
    ObjRef bounds;     /* per parameter "" or {kind lower upper} */
    ObjRef numeric;    /* 1 for -derivatives numeric */
    ObjRef message;    /* the first failure of a model, once failed */
    ObjRef options;
    bool failed = false;
    std::vector<ObjRef> indices;  /* "0", "1", ...: dYdA's element names */
    ObjRef uplevel{Tcl_NewStringObj("::uplevel", -1)};
};

const char *const kFields[] = {"model", "level", "x", "mapped", "factors", "p", "flags",
                               "bounds", "numeric", "message", "options", "failed",
                               nullptr};
constexpr int kFailedField = 11;

ObjRef NlinFit::*const kMembers[] = {
    &NlinFit::model, &NlinFit::level, &NlinFit::x, &NlinFit::mapped, &NlinFit::factors,
    &NlinFit::p, &NlinFit::flags, &NlinFit::bounds, &NlinFit::numeric,
    &NlinFit::message, &NlinFit::options};

/* Evaluates a script command given as words in the current frame. */
int Run(Tcl_Interp *interp, std::vector<Tcl_Obj *> words)
{
    ObjRef command(Tcl_NewListObj(static_cast<Tcl_Size>(words.size()), words.data()));
    return Tcl_EvalObjEx(interp, command.get(), 0);
}

/* An error of the command's own words (it is internal to kardum::nlfit,
 * but a script can call it). */
int Bad(Tcl_Interp *interp, Tcl_Obj *cmd, const char *what)
{
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("%s: %s", Tcl_GetString(cmd), what));
    Tcl_SetErrorCode(interp, "KARDUM", "VALUE", nullptr);
    return TCL_ERROR;
}

/* After a failure: every derivative and the value 0. */
int Zero(Tcl_Interp *interp, Tcl_Obj *dName, int nPar)
{
    for (int j = 0; j < nPar; ++j) {
        ObjRef index(Tcl_NewIntObj(j));
        Tcl_ObjSetVar2(interp, dName, index.get(), Tcl_NewDoubleObj(0.0), 0);
    }
    Tcl_SetObjResult(interp, Tcl_NewDoubleObj(0.0));
    return TCL_OK;
}

/* $fit point index nPar dYdA Work */
int Point(NlinFit &fit, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    if (objc != 6) {
        Tcl_WrongNumArgs(interp, 2, objv, "index nPar dYdA Work");
        return TCL_ERROR;
    }
    int point = 0;
    int nPar = 0;
    if (Tcl_GetIntFromObj(interp, objv[2], &point) != TCL_OK ||
        Tcl_GetIntFromObj(interp, objv[3], &nPar) != TCL_OK) {
        return TCL_ERROR;
    }
    if (nPar < 0) {
        return Bad(interp, objv[0], "nPar must not be negative");
    }
    Tcl_Obj *dName = objv[4];

    /* The parameters and dp/du of this pass: computed at its first point. */
    if (point == 0 && Run(interp, {Tcl_NewStringObj("::kardum::fit::Pass", -1), objv[0],
                                   objv[3], objv[5]}) != TCL_OK) {
        return TCL_ERROR;
    }
    if (fit.failed) {
        return Zero(interp, dName, nPar);
    }
    if (!fit.model || !fit.level || !fit.x || !fit.p) {
        return Bad(interp, objv[0], "the fit has no model, level, abscissae or parameters");
    }
    Tcl_Obj *x = nullptr;
    if (Tcl_ListObjIndex(interp, fit.x.get(), point, &x) != TCL_OK) {
        return TCL_ERROR;
    }
    if (x == nullptr) {
        return Bad(interp, objv[0], "the point has no abscissa");
    }
    ObjRef xRef(x);
    ObjRef params(fit.p.get());
    while (fit.indices.size() < static_cast<std::size_t>(nPar)) {
        fit.indices.emplace_back(Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(fit.indices.size())));
    }

    /* uplevel $level [list {*}$model $x $p]: a pure list, run without
     * parsing, in the frame that called kardum::nlfit. */
    ObjRef call(Tcl_DuplicateObj(fit.model.get()));
    if (Tcl_ListObjAppendElement(interp, call.get(), x) != TCL_OK ||
        Tcl_ListObjAppendElement(interp, call.get(), params.get()) != TCL_OK) {
        return TCL_ERROR;
    }
    ObjRef level(fit.level.get());
    Tcl_Obj *up[3] = {fit.uplevel.get(), level.get(), call.get()};
    int code = Tcl_EvalObjv(interp, 3, up, 0);
    if (code != TCL_OK && code != TCL_RETURN) {
        ObjRef options(Tcl_GetReturnOptions(interp, code));
        ObjRef message(Tcl_GetObjResult(interp));
        if (Run(interp, {Tcl_NewStringObj("::kardum::fit::Record", -1), objv[0],
                         Tcl_NewIntObj(code), message.get(), options.get()}) != TCL_OK) {
            return TCL_ERROR;
        }
        return Zero(interp, dName, nPar);
    }
    ObjRef answer(Tcl_GetObjResult(interp));

    /* The value and nPar numbers, none of them NaN; otherwise the script
     * side words the complaint. */
    Tcl_Size count = 0;
    Tcl_Obj **items = nullptr;
    bool good = Tcl_ListObjGetElements(nullptr, answer.get(), &count, &items) == TCL_OK &&
                count == nPar + 1;
    std::vector<double> values(static_cast<std::size_t>(good ? count : 0));
    for (Tcl_Size k = 0; good && k < count; ++k) {
        good = Tcl_GetDoubleFromObj(nullptr, items[k], &values[k]) == TCL_OK &&
               !std::isnan(values[k]);
    }
    if (!good) {
        if (Run(interp, {Tcl_NewStringObj("::kardum::fit::Check", -1), objv[0], x,
                         answer.get(), objv[3]}) != TCL_OK) {
            return TCL_ERROR;
        }
        return Zero(interp, dName, nPar);
    }

    /* Derivatives of bounded parameters are taken through dp/du. */
    Tcl_Size nMapped = 0;
    Tcl_Obj **mappedItems = nullptr;
    if (fit.mapped &&
        Tcl_ListObjGetElements(interp, fit.mapped.get(), &nMapped, &mappedItems) != TCL_OK) {
        return TCL_ERROR;
    }
    std::vector<bool> scaled(static_cast<std::size_t>(nPar), false);
    for (Tcl_Size k = 0; k < nMapped; ++k) {
        int j = 0;
        if (Tcl_GetIntFromObj(interp, mappedItems[k], &j) != TCL_OK) {
            return TCL_ERROR;
        }
        if (j < 0 || j >= nPar) {
            return Bad(interp, objv[0], "a bounded parameter's index is out of range");
        }
        Tcl_Obj *factor = nullptr;
        double dp = 0.0;
        if (!fit.factors ||
            Tcl_ListObjIndex(interp, fit.factors.get(), j, &factor) != TCL_OK ||
            (factor != nullptr && Tcl_GetDoubleFromObj(interp, factor, &dp) != TCL_OK)) {
            if (!fit.factors) {
                return Bad(interp, objv[0], "a bounded parameter has no dp/du");
            }
            return TCL_ERROR;
        }
        if (factor == nullptr) {
            return Bad(interp, objv[0], "a bounded parameter has no dp/du");
        }
        values[j + 1] = values[j + 1] * dp;
        scaled[j] = true;
    }
    for (int j = 0; j < nPar; ++j) {
        Tcl_Obj *value = scaled[j] ? Tcl_NewDoubleObj(values[j + 1]) : items[j + 1];
        if (Tcl_ObjSetVar2(interp, dName, fit.indices[j].get(), value, TCL_LEAVE_ERR_MSG) ==
            nullptr) {
            return TCL_ERROR;
        }
    }
    Tcl_SetObjResult(interp, items[0]);
    return TCL_OK;
}

int FitObjCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    NlinFit &fit = *static_cast<NlinFit *>(cd);
    static const char *const kSubcommands[] = {"point", "get", "set", "fail", nullptr};
    enum { kPoint, kGet, kSet, kFail };
    if (objc < 2) {
        Tcl_WrongNumArgs(interp, 1, objv, "point|get|set|fail ?arg ...?");
        return TCL_ERROR;
    }
    int sub = 0;
    if (Tcl_GetIndexFromObj(interp, objv[1], kSubcommands, "subcommand", 0, &sub) != TCL_OK) {
        return TCL_ERROR;
    }
    int field = 0;
    switch (sub) {
    case kPoint:
        return Point(fit, interp, objc, objv);
    case kGet:
    case kSet:
        if (objc != (sub == kGet ? 3 : 4)) {
            Tcl_WrongNumArgs(interp, 2, objv, sub == kGet ? "field" : "field value");
            return TCL_ERROR;
        }
        if (Tcl_GetIndexFromObj(interp, objv[2], kFields, "field", 0, &field) != TCL_OK) {
            return TCL_ERROR;
        }
        if (field == kFailedField) {
            if (sub == kSet) {
                return Bad(interp, objv[0], "failed is set by fail");
            }
            Tcl_SetObjResult(interp, Tcl_NewBooleanObj(fit.failed));
            return TCL_OK;
        }
        if (sub == kSet) {
            fit.*kMembers[field] = ObjRef(objv[3]);
        }
        Tcl_SetObjResult(interp, (fit.*kMembers[field]) ? (fit.*kMembers[field]).get()
                                                        : Tcl_NewObj());
        return TCL_OK;
    case kFail:
        if (objc != 4) {
            Tcl_WrongNumArgs(interp, 2, objv, "message options");
            return TCL_ERROR;
        }
        if (!fit.failed) {
            fit.failed = true;
            fit.message = ObjRef(objv[2]);
            fit.options = ObjRef(objv[3]);
        }
        return TCL_OK;
    }
    return TCL_OK;
}

void DeleteFit(ClientData cd)
{
    delete static_cast<NlinFit *>(cd);
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
