/*
 * Interrupt.cpp --
 *
 *	Noticing `interp cancel` and `interp limit` in long calls (see
 *	Interrupt.h).
 */

#include "Interrupt.h"
#include "ObjRef.h"

#include <cstring>

namespace kardum {

namespace {

/* True when the error code of the current error begins with TCL CANCEL or
 * TCL LIMIT: the evaluation was stopped, it did not fail by itself. */
bool StoppedByTcl(Tcl_Interp *interp)
{
    ObjRef options(Tcl_GetReturnOptions(interp, TCL_ERROR));
    ObjRef key(Tcl_NewStringObj("-errorcode", -1));
    Tcl_Obj *code = nullptr;
    bool stopped = false;
    if (Tcl_DictObjGet(nullptr, options.get(), key.get(), &code) == TCL_OK && code != nullptr) {
        Tcl_Obj *word0 = nullptr, *word1 = nullptr;
        if (Tcl_ListObjIndex(nullptr, code, 0, &word0) == TCL_OK && word0 != nullptr &&
            Tcl_ListObjIndex(nullptr, code, 1, &word1) == TCL_OK && word1 != nullptr &&
            std::strcmp(Tcl_GetString(word0), "TCL") == 0) {
            const char *kind = Tcl_GetString(word1);
            stopped = std::strcmp(kind, "CANCEL") == 0 || std::strcmp(kind, "LIMIT") == 0;
        }
    }
    return stopped;
}

/* Tcl's message for a limit that was exceeded earlier, when the result no
 * longer holds it. */
void LimitMessage(Tcl_Interp *interp)
{
    if (Tcl_LimitTypeExceeded(interp, TCL_LIMIT_COMMANDS)) {
        Tcl_SetObjResult(interp, Tcl_NewStringObj("command count limit exceeded", -1));
        Tcl_SetErrorCode(interp, "TCL", "LIMIT", "COMMANDS", nullptr);
    } else {
        Tcl_SetObjResult(interp, Tcl_NewStringObj("time limit exceeded", -1));
        Tcl_SetErrorCode(interp, "TCL", "LIMIT", "TIME", nullptr);
    }
}

} // namespace

bool Interrupt::Check()
{
    if (stopped_) {
        return true;
    }
    if (Tcl_AsyncReady()) {
        Tcl_AsyncInvoke(interp_, TCL_OK);
    }
    if (Tcl_Canceled(interp_, TCL_LEAVE_ERR_MSG) != TCL_OK) {
        stopped_ = true;
    } else if (Tcl_LimitExceeded(interp_)) {
        LimitMessage(interp_);
        stopped_ = true;
    } else if (Tcl_LimitReady(interp_) && Tcl_LimitCheck(interp_) != TCL_OK) {
        stopped_ = true;
    }
    return stopped_;
}

bool Interrupt::After(int code)
{
    if (!stopped_ && code == TCL_ERROR && StoppedByTcl(interp_)) {
        stopped_ = true;
    }
    return Check();
}

} // namespace kardum
