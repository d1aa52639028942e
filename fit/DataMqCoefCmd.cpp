/*
 * DataMqCoefCmd.cpp --
 *
 *	KDdataMqCoef: one Levenberg-Marquardt assembly pass.  A script callback
 *	evaluates the model and its derivatives at every data point; the pass
 *	accumulates the curvature matrix alpha, the gradient beta and
 *	chi-square in the work array.
 *
 *	KDdataMqCoef Y SiG nP iPar nPar AlphaOff BetaOff Script Work
 *
 *	The callback finds the point index in Work(4) and the parameters in
 *	Work(5) ... Work(nPar+4); it leaves the model value in FuncRet and the
 *	derivatives in dYdA(0) ... dYdA(nPar-1).
 */

#include "kardum.h"
#include "fit/Marquardt.h"
#include "frame/Callback.h"
#include "frame/Marshal.h"
#include "frame/ObjRef.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

int kardum::MarquardtPass(Interrupt &stop, Tcl_Obj *work, double *y, double *sig,
                          int nP, char *iPar, int nPar, int alphaOff, int betaOff,
                          const char *script, double *w)
{
    Tcl_Interp *interp = stop.Interp();
    if (nPar < 0) {
        nPar = 0;
    }
    /* The callback may do anything to the object, so keep the name; the
     * script and the answer variables are kept as objects for the pass. */
    std::vector<double> d;
    std::unique_ptr<kardum::Script> callback;
    std::unique_ptr<kardum::Answer> funcRet, dYdA;
    try {
        d.assign(static_cast<std::size_t>(nPar), 0.0);
        callback = std::make_unique<kardum::Script>(stop, script);
        funcRet = std::make_unique<kardum::Answer>(stop, "FuncRet", 0);
        dYdA = std::make_unique<kardum::Answer>(stop, "dYdA", nPar);
    } catch (const std::bad_alloc &) {
        throw kardum::OutOfMemory{static_cast<std::size_t>(nPar) * sizeof(double),
                                  "the model's derivatives"};
    }
    kardum::ObjRef nameObj(Tcl_NewStringObj(Tcl_GetString(work), -1));
    kardum::ObjRef four(Tcl_NewStringObj("4", 1));
    /* Only the first mfit fitted parameters have a place in alpha and
     * beta; a count below the number of flags set thus never writes past
     * the mfit*mfit and mfit elements given. */
    const int mfit = kardum::CountIn(w[kardum::kFitted], nPar);

    for (int i = 0; i < mfit * mfit; ++i) {
        w[alphaOff + i] = 0.0;
    }
    for (int i = 0; i < mfit; ++i) {
        w[betaOff + i] = 0.0;
    }
    w[kardum::kChi2] = 0.0;
    kardum::WriteArray(interp, work, w, nPar + kardum::kWorkHeader, 0, 'D', stop);
    if (stop.Stopped()) {
        return -1;
    }

    double yhat = 0.0;
    for (int i = 0; i < nP; ++i) {
        char index[16];
        int len = std::snprintf(index, sizeof index, "%d", i);
        w[kardum::kPoint] = i;
        {
            kardum::ObjRef indexText(Tcl_NewStringObj(index, len));
            Tcl_ObjSetVar2(interp, nameObj.get(), four.get(), indexText.get(), TCL_LEAVE_ERR_MSG);
        }
        if (!callback->Eval()) {
            return -1;
        }

        funcRet->NewEvaluation();
        dYdA->NewEvaluation();
        if (!funcRet->Read(-1, yhat)) {
            return -1;
        }
        for (int j = 0; j < nPar; ++j) {
            if (!dYdA->Read(j, d[j])) {
                return -1;
            }
        }

        double wt = 1.0 / (sig[i] * sig[i]);
        double delta = y[i] - yhat;
        int bpos = betaOff;
        for (int l = 0, r = 0; l < nPar && r < mfit; ++l) {
            if (!kardum::IsFitted(iPar[l])) {
                continue;
            }
            double t = d[l] * wt;
            int apos = alphaOff + r * mfit;
            for (int k = 0; k <= l; ++k) {
                if (kardum::IsFitted(iPar[k])) {
                    w[apos] = w[apos] + t * d[k];
                    ++apos;
                }
            }
            w[bpos] = w[bpos] + delta * t;
            ++r;
            ++bpos;
        }
        w[kardum::kChi2] = w[kardum::kChi2] + delta * delta * wt;
    }

    for (int j = 1; j < mfit; ++j) {
        for (int k = 0; k < j; ++k) {
            w[alphaOff + k * mfit + j] = w[alphaOff + j * mfit + k];
        }
    }
    return 1;
}

/* A stop (cancel, limit) ends the pass as an undefined answer does: -1,
 * with Tcl's message in the interpreter result. */
extern "C" int DataMqCoef_C(Tcl_Interp *interp, Tcl_Obj *work, double *y,
                            double *sig, int nP, char *iPar, int nPar,
                            int alphaOff, int betaOff, const char *script,
                            double *w)
{
    try {
        kardum::Interrupt stop(interp);
        return kardum::MarquardtPass(stop, work, y, sig, nP, iPar, nPar, alphaOff,
                                     betaOff, script, w);
    } catch (const kardum::OutOfMemory &) {
        return 1;
    }
}

extern "C" int DataMqCoefCmd(ClientData, Tcl_Interp *interp, int objc,
                             Tcl_Obj *const objv[])
{
    using namespace kardum;
    return RunCommand(interp, "KDdataMqCoef", [&]() -> int {
        const char *cmd = "KDdataMqCoef";
        Args args(interp, objc, objv);
        if (!args.CountOk(Args::Exactly, 10, "Usage: KDdataMqCoef Y SiG ...")) {
            return TCL_ERROR;
        }
        int nP = args.Int(3, "nP");
        int nPar = args.Int(5, "nPar");
        int alphaOff = args.Int(6, "AlphaOff");
        int betaOff = args.Int(7, "BetaOff");
        std::string script = args.Word(8);
        Tcl_Obj *workName = args.Obj(9);
        RequireNonNegative(cmd, "nP", nP);
        RequireNonNegative(cmd, "nPar", nPar);
        RequireNonNegative(cmd, "AlphaOff", alphaOff);
        RequireNonNegative(cmd, "BetaOff", betaOff);
        int len = WorkLength(cmd, nPar);

        std::size_t n = static_cast<std::size_t>(nP);
        RequireRoom(interp, cmd, workName, static_cast<std::size_t>(len));
        Block block({n, n, static_cast<std::size_t>(len)});
        double *y = block[0];
        double *sig = block[1];
        double *work = block[2];
        if (!Fill(interp, args.Obj(1), y, nP, 0) ||
            !Fill(interp, args.Obj(2), sig, nP, 0) ||
            !Fill(interp, workName, work, len, 0)) {
            return TCL_OK;
        }
        std::vector<char> flags;
        if (!ReadFlags(interp, cmd, args.Obj(4), nPar, flags, true)) {
            return TCL_OK;
        }

        /* Work(3) counts the fitted parameters, truncated toward zero; it
         * sizes alpha and beta, so it must agree with the flags. */
        double mfitValue = std::trunc(work[kFitted]);
        int fitted = CountFitted(flags.data(), nPar);
        if (!(mfitValue == fitted)) {
            char text[TCL_DOUBLE_SPACE];
            Tcl_PrintDouble(nullptr, work[kFitted], text);
            Fail("%s: %s(3) says %s parameters are fitted but %s flags %d",
                 cmd, Tcl_GetString(workName), text, Tcl_GetString(args.Obj(4)),
                 fitted);
        }
        std::int64_t mfit = static_cast<int>(mfitValue);
        if (alphaOff + mfit * mfit > len) {
            Fail("%s: alpha at AlphaOff %d takes %lld elements and runs past "
                 "the %d elements of %s", cmd, alphaOff,
                 static_cast<long long>(mfit * mfit), len, Tcl_GetString(workName));
        }
        if (betaOff + mfit > len) {
            Fail("%s: beta at BetaOff %d takes %lld elements and runs past "
                 "the %d elements of %s", cmd, betaOff,
                 static_cast<long long>(mfit), len, Tcl_GetString(workName));
        }

        /* A stopped pass leaves Work as it was, the elements it had
         * published included. */
        PublishedElements published(interp, workName, nPar);
        Interrupt stop(interp);
        try {
            MarquardtPass(stop, workName, y, sig, nP, flags.data(), nPar, alphaOff,
                          betaOff, script.c_str(), work);
        } catch (const OutOfMemory &) {
            published.Restore();
            throw;
        }
        if (stop.Stopped()) {
            published.Restore();
            throw TclError{};
        }
        WriteBack(interp, workName, work, len, 0);
        return TCL_OK;
    });
}
