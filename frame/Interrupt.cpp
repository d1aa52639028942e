/*
 * Interrupt.cpp --
 *
 *	Noticing `interp cancel` and `interp limit` in long calls (see
 *	Interrupt.h).
 */

#include "Interrupt.h"
#include "Frame.h"
#include "ObjRef.h"

#include <chrono>
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

/* True when the time limit, if any, has passed by the clock: Tcl itself
 * compares it only on every so many of its checks. */
bool TimeIsUp(Tcl_Interp *interp)
{
    if (!Tcl_LimitTypeEnabled(interp, TCL_LIMIT_TIME)) {
        return false;
    }
    Tcl_Time limit, now;
    Tcl_LimitGetTime(interp, &limit);
    Tcl_GetTime(&now);
    return now.sec > limit.sec || (now.sec == limit.sec && now.usec > limit.usec);
}

/* Tcl's own check of the limits, with the time compared now: runs the
 * limit handlers (which may extend the limit) and leaves Tcl's message
 * when the limit stands. */
bool LimitCheckNow(Tcl_Interp *interp)
{
    int granularity = Tcl_LimitGetGranularity(interp, TCL_LIMIT_TIME);
    Tcl_LimitSetGranularity(interp, TCL_LIMIT_TIME, 1);
    Tcl_LimitReady(interp);
    int code = Tcl_LimitCheck(interp);
    Tcl_LimitSetGranularity(interp, TCL_LIMIT_TIME, granularity);
    return code != TCL_OK;
}

/* True when `text` ends with `tail`. */
bool EndsWith(const char *text, Tcl_Size length, const char *tail)
{
    Tcl_Size n = static_cast<Tcl_Size>(std::strlen(tail));
    return length >= n && std::memcmp(text + length - n, tail, static_cast<std::size_t>(n)) == 0;
}

long long NowMicros()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

bool Interrupt::Timed()
{
    tick_ = 0;
    long long now = NowMicros();
    if (lastRead_ >= 0) {
        long long span = now - lastRead_;
        if (span > 1000) {
            stride_ = 1;
        } else if (span < 250 && stride_ < kMaxStride) {
            stride_ *= 2;
        }
    }
    lastRead_ = now;
    return Check();
}

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
    } else if (TimeIsUp(interp_)) {
        stopped_ = LimitCheckNow(interp_);
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

bool Interrupt::AfterAccess()
{
    if (Check()) {
        return true;
    }
    /* A trace cancelled without -unwind: Tcl has cleared the cancel and
     * kept only the trace's message, "can't read \"V(0)\": eval canceled". */
    Tcl_Size length = 0;
    const char *text = Tcl_GetStringFromObj(Tcl_GetObjResult(interp_), &length);
    const char *id = nullptr;
    const char *message = nullptr;
    if (EndsWith(text, length, "\": eval canceled")) {
        id = "IEVAL";
        message = "eval canceled";
    } else if (EndsWith(text, length, "\": eval unwound")) {
        id = "IUNWIND";
        message = "eval unwound";
    }
    if (message != nullptr) {
        Tcl_SetObjResult(interp_, Tcl_NewStringObj(message, -1));
        Tcl_SetErrorCode(interp_, "TCL", "CANCEL", id, nullptr);
        stopped_ = true;
    }
    return stopped_;
}

void CheckAccess(Tcl_Interp *interp)
{
    Interrupt stop(interp);
    if (stop.AfterAccess()) {
        throw TclError{};
    }
}

} // namespace kardum
