/*
 * NlinPointCmd.cpp --
 *
 *	::kardum::NlinPoint, the model callback of kardum::nlfit for models
 *	that return their derivatives.  KDdataNLinLSq evaluates
 *
 *	  set FuncRet [ ::kardum::NlinPoint $Fit(state) $Work(4) nPar dYdA Work ]
 *
 *	in the frame of ::kardum::fit::Step, once per data point.  The state is
 *	the list {model level xs mapped factors p failed uplevel indices}: the
 *	user's model prefix, the frame that called kardum::nlfit, the
 *	abscissae, the indices of the bounded parameters, dp/du for every
 *	parameter, the parameters of the pass, whether a model failed, the
 *	word ::uplevel and the list 0 ... nPar-1 (kept objects, so that the
 *	command and the element names are resolved once per pass, not once
 *	per point).  The command calls
 *	the model with the point's abscissa and the parameter list in that
 *	frame and sets dYdA(0 ... nPar-1) from the answer, each derivative of
 *	a bounded parameter multiplied by dp/du.  The rare paths stay in
 *	lib/nlfit.tcl: ::kardum::fit::Pass makes the state anew at the first
 *	point of a pass, ::kardum::fit::Record keeps a model's failure and
 *	::kardum::fit::Check words the complaint about an answer of the wrong
 *	form.  A procedure in the script would cost about as much per point as
 *	a small model itself.
 */

#include "package/Commands.h"
#include "frame/Frame.h"
#include "frame/ObjRef.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace kardum::package {

namespace {

/* Evaluates a script command given as words in the current frame. */
int Run(Tcl_Interp *interp, std::vector<Tcl_Obj *> words)
{
    ObjRef command(Tcl_NewListObj(static_cast<Tcl_Size>(words.size()), words.data()));
    return Tcl_EvalObjEx(interp, command.get(), 0);
}

/* An error of the callback's own words (it is internal to kardum::nlfit,
 * but a script can call it). */
int Bad(Tcl_Interp *interp, const char *what)
{
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("::kardum::NlinPoint: %s", what));
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

} // namespace

int NlinPointCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    if (objc != 6) {
        Tcl_WrongNumArgs(interp, 1, objv, "state point nPar dYdA Work");
        return TCL_ERROR;
    }
    int point = 0;
    int nPar = 0;
    if (Tcl_GetIntFromObj(interp, objv[2], &point) != TCL_OK ||
        Tcl_GetIntFromObj(interp, objv[3], &nPar) != TCL_OK) {
        return TCL_ERROR;
    }
    if (nPar < 0) {
        return Bad(interp, "nPar must not be negative");
    }
    Tcl_Obj *dName = objv[4];
    Tcl_Obj *workName = objv[5];

    /* The state of this pass: made anew at its first point. */
    Tcl_Obj *stateObj = objv[1];
    if (point == 0) {
        if (Run(interp, {Tcl_NewStringObj("::kardum::fit::Pass", -1),
                         Tcl_NewStringObj("Fit", -1), objv[3], workName}) != TCL_OK ||
            (stateObj = Tcl_GetVar2Ex(interp, "Fit", "state", TCL_LEAVE_ERR_MSG)) == nullptr) {
            return TCL_ERROR;
        }
    }
    ObjRef stateRef(stateObj);
    Tcl_Size nState = 0;
    Tcl_Obj **state = nullptr;
    if (Tcl_ListObjGetElements(interp, stateObj, &nState, &state) != TCL_OK) {
        return TCL_ERROR;
    }
    if (nState != 9) {
        return Bad(interp, "the state must be a list of 9 elements");
    }
    Tcl_Obj *model = state[0], *level = state[1], *xs = state[2], *mapped = state[3],
            *factors = state[4], *params = state[5], *uplevel = state[7];
    Tcl_Size nIndices = 0;
    Tcl_Obj **indices = nullptr;
    if (Tcl_ListObjGetElements(interp, state[8], &nIndices, &indices) != TCL_OK) {
        return TCL_ERROR;
    }
    if (nIndices < nPar) {
        return Bad(interp, "the state names fewer derivatives than nPar");
    }
    int failed = 0;
    if (Tcl_GetIntFromObj(interp, state[6], &failed) != TCL_OK) {
        return TCL_ERROR;
    }
    if (failed) {
        return Zero(interp, dName, nPar);
    }
    Tcl_Obj *x = nullptr;
    if (Tcl_ListObjIndex(interp, xs, point, &x) != TCL_OK) {
        return TCL_ERROR;
    }
    if (x == nullptr) {
        return Bad(interp, "the point has no abscissa");
    }
    ObjRef xRef(x);

    /* uplevel $level [list {*}$model $x $p]: a pure list, run without
     * parsing, in the frame that called kardum::nlfit. */
    ObjRef call(Tcl_DuplicateObj(model));
    if (Tcl_ListObjAppendElement(interp, call.get(), x) != TCL_OK ||
        Tcl_ListObjAppendElement(interp, call.get(), params) != TCL_OK) {
        return TCL_ERROR;
    }
    Tcl_Obj *up[3] = {uplevel, level, call.get()};
    int code = Tcl_EvalObjv(interp, 3, up, 0);
    if (code != TCL_OK && code != TCL_RETURN) {
        ObjRef options(Tcl_GetReturnOptions(interp, code));
        ObjRef message(Tcl_GetObjResult(interp));
        Run(interp, {Tcl_NewStringObj("::kardum::fit::Record", -1), Tcl_NewIntObj(code),
                     message.get(), options.get()});
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
        Run(interp, {Tcl_NewStringObj("::kardum::fit::Check", -1), x, answer.get(), objv[3]});
        return Zero(interp, dName, nPar);
    }

    /* Derivatives of bounded parameters are taken through dp/du. */
    Tcl_Size nMapped = 0;
    Tcl_Obj **mappedItems = nullptr;
    if (Tcl_ListObjGetElements(interp, mapped, &nMapped, &mappedItems) != TCL_OK) {
        return TCL_ERROR;
    }
    std::vector<bool> scaled(static_cast<std::size_t>(nPar), false);
    for (Tcl_Size k = 0; k < nMapped; ++k) {
        int j = 0;
        if (Tcl_GetIntFromObj(interp, mappedItems[k], &j) != TCL_OK) {
            return TCL_ERROR;
        }
        if (j < 0 || j >= nPar) {
            return Bad(interp, "a bounded parameter's index is out of range");
        }
        Tcl_Obj *factor = nullptr;
        double dp = 0.0;
        if (Tcl_ListObjIndex(interp, factors, j, &factor) != TCL_OK ||
            (factor != nullptr && Tcl_GetDoubleFromObj(interp, factor, &dp) != TCL_OK)) {
            return TCL_ERROR;
        }
        if (factor == nullptr) {
            return Bad(interp, "a bounded parameter has no dp/du");
        }
        values[j + 1] = values[j + 1] * dp;
        scaled[j] = true;
    }
    for (int j = 0; j < nPar; ++j) {
        Tcl_Obj *value = scaled[j] ? Tcl_NewDoubleObj(values[j + 1]) : items[j + 1];
        if (Tcl_ObjSetVar2(interp, dName, indices[j], value, TCL_LEAVE_ERR_MSG) == nullptr) {
            return TCL_ERROR;
        }
    }
    Tcl_SetObjResult(interp, items[0]);
    return TCL_OK;
}

} // namespace kardum::package
