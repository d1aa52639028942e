/*
 * DataNLinLSqCmd.cpp --
 *
 *	KDdataNLinLSq: nonlinear least squares by the Levenberg-Marquardt
 *	method, one step per call.  The script drives the iteration; the whole
 *	state lives in the work array, keyed on its element 0 (lambda):
 *	negative starts, positive steps, 0 finishes with the covariance.
 *
 *	KDdataNLinLSq V SiG nP Par iPar nPar Func Work
 *
 *	Work, for m = nPar: 0 lambda, 1 chi-square, 2 best chi-square,
 *	3 number of fitted parameters f, 4 point index, 5 ... m+4 trial
 *	parameters, then four regions of m*m: C (trial curvature; covariance
 *	after the finishing call), alpha (curvature at the best parameters),
 *	beta (gradient there) and delta (trial gradient, the step while it is
 *	solved).  The last m*m elements are not used.
 */

#include "kardum.h"
#include "fit/Covariance.h"
#include "fit/Marquardt.h"
#include "frame/Marshal.h"

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

/* Publishes lambda, chi-square, best, f, the point index and the trial
 * parameters to the work array variable. */
bool Publish(kardum::Interrupt &stop, Tcl_Obj *work, double *w, int m)
{
    kardum::WriteArray(stop.Interp(), work, w, m + kardum::kWorkHeader, 0, 'D', stop);
    return !stop.Stopped();
}

void Copy(const double *from, double *to, int n)
{
    for (int i = 0; i < n; ++i) {
        to[i] = from[i];
    }
}

/* Where the four matrix and vector regions of the work array start, for
 * m parameters; each is m*m long. */
struct Regions {
    int c;          /* trial curvature; the covariance after finishing */
    int alpha;      /* curvature at the best parameters */
    int beta;       /* gradient there; scratch while finishing */
    int delta;      /* trial gradient; the step while it is solved */

    explicit Regions(int m)
        : c(kardum::kTrial + m), alpha(c + m * m), beta(alpha + m * m),
          delta(beta + m * m) {}
};

} // namespace

/* One call of DataNLinLSq_C that a cancel or a limit can stop: it then
 * returns at once, with stop.Stopped() set and Tcl's message in the
 * interpreter result; Par and the C work array are then partly updated. */
static void Step(kardum::Interrupt &stop, Tcl_Obj *work, double *y, double *sig,
                 int nP, double *par, char *iPar, int nPar, const char *script,
                 double *w)
{
    using namespace kardum;
    const int m = nPar > 0 ? nPar : 0;
    const Regions at(m);
    double *const trial = w + kTrial;

    if (w[kLambda] < 0.0) {
        const double request = w[kLambda];
        w[kFitted] = CountFitted(iPar, m);
        w[kLambda] = request < -0.9 ? 0.001 : -request;
        Copy(par, trial, m);
        if (!Publish(stop, work, w, m)) {
            return;
        }
        if (MarquardtPass(stop, work, y, sig, nP, iPar, m, at.alpha, at.beta, script, w) != 1) {
            /* The model cannot be evaluated at the starting values: no
             * step, and the next call starts again. */
            w[kLambda] = request;
            return;
        }
        w[kBestChi2] = w[kChi2];
    }

    const int f = CountIn(w[kFitted], m);
    Copy(w + at.alpha, w + at.c, f * f);
    Copy(w + at.beta, w + at.delta, f);

    const double lambda = w[kLambda];
    if (lambda > 0.0) {
        for (int i = 0; i < f; ++i) {
            w[at.c + i * (f + 1)] = w[at.c + i * (f + 1)] * (1.0 + lambda);
        }
        bool accepted = false;
        if (MatrixInv_C(f, w + at.c, 1, w + at.delta) == 1) {
            for (int j = 0, k = 0; j < m; ++j) {
                if (IsFitted(iPar[j])) {
                    trial[j] = par[j] + (k < f ? w[at.delta + k] : 0.0);
                    ++k;
                }
            }
            if (!Publish(stop, work, w, m)) {
                return;
            }
            accepted =
                MarquardtPass(stop, work, y, sig, nP, iPar, m, at.c, at.delta, script, w) == 1 &&
                w[kBestChi2] > w[kChi2];
            if (stop.Stopped()) {
                return;
            }
        }
        if (accepted) {
            w[kLambda] = lambda * 0.1;
            w[kBestChi2] = w[kChi2];
            Copy(w + at.c, w + at.alpha, f * f);
            Copy(w + at.delta, w + at.beta, f);
            Copy(trial, par, m);
        } else {
            /* A worse or equal trial, one whose model could not be
             * evaluated, or a singular augmented matrix. */
            w[kLambda] = lambda * 10.0;
            w[kChi2] = w[kBestChi2];
        }
        return;
    }

    /* Finish: the covariance is the inverse of alpha at the best
     * parameters.  A singular alpha gives no covariance: NaN. */
    Copy(w + at.alpha, w + at.c, f * f);
    if (MatrixInv_C(f, w + at.c, 0, nullptr) != 1) {
        for (int i = 0; i < f * f; ++i) {
            w[at.c + i] = std::numeric_limits<double>::quiet_NaN();
        }
    }
    if (f == m) {
        return;
    }
    /* Both matrices go from the packed f x f form to the m x m form.
     * Region beta is the scratch of this step and is left holding the
     * packed alpha. */
    Copy(w + at.alpha, w + at.beta, f * f);
    SpreadCovariance(w + at.c, f, m, iPar);
    SpreadCovariance(w + at.alpha, f, m, iPar);
}

extern "C" int DataNLinLSq_C(Tcl_Interp *interp, Tcl_Obj *work, double *y,
                             double *sig, int nP, double *par, char *iPar,
                             int nPar, const char *script, double *w)
{
    try {
        kardum::Interrupt stop(interp);
        Step(stop, work, y, sig, nP, par, iPar, nPar, script, w);
    } catch (const kardum::OutOfMemory &) {
        /* The step ends where the memory ran out. */
    }
    return 1;
}

extern "C" int DataNLinLSqCmd(ClientData, Tcl_Interp *interp, int objc,
                              Tcl_Obj *const objv[])
{
    using namespace kardum;
    return RunCommand(interp, "KDdataNLinLSq", [&]() -> int {
        const char *cmd = "KDdataNLinLSq";
        Args args(interp, objc, objv);
        if (!args.CountOk(Args::Exactly, 9, "Usage: KDdataNLinLSq V SiG nP ... ")) {
            return TCL_ERROR;
        }
        int nP = args.Int(3, "nP");
        int nPar = args.Int(6, "nPar");
        Tcl_Obj *parName = args.Obj(4);
        Tcl_Obj *workName = args.Obj(8);
        RequireNonNegative(cmd, "nP", nP);
        RequireNonNegative(cmd, "nPar", nPar);
        int len = WorkLength(cmd, nPar);
        const std::string script = std::string("set FuncRet [ ") + args.Word(7) +
            " " + std::to_string(nPar) + " dYdA " + args.Word(8) + " ]\n";

        RequireRoom(interp, cmd, workName, static_cast<std::size_t>(len));
        std::size_t n = static_cast<std::size_t>(nP);
        Block block({n, n, static_cast<std::size_t>(nPar),
                     static_cast<std::size_t>(len)});
        double *v = block[0];
        double *sig = block[1];
        double *par = block[2];
        double *work = block[3];
        if (!Fill(interp, args.Obj(1), v, nP, 0) ||
            !Fill(interp, args.Obj(2), sig, nP, 0) ||
            !Fill(interp, parName, par, nPar, 0) ||
            !Fill(interp, workName, work, len, 0)) {
            return TCL_OK;
        }
        std::vector<char> flags;
        if (!ReadFlags(interp, cmd, args.Obj(5), nPar, flags)) {
            return TCL_OK;
        }

        /* Past the start, alpha, beta and the covariance are laid out over
         * the parameters fitted when the fit started. */
        int fitted = CountFitted(flags.data(), nPar);
        if (!(work[kLambda] < 0.0) && work[kFitted] != fitted) {
            char text[TCL_DOUBLE_SPACE];
            Tcl_PrintDouble(nullptr, work[kFitted], text);
            Fail("%s: %s(3) says %s parameters are fitted but %s flags %d; "
                 "start the fit again with a negative %s(0)", cmd,
                 Tcl_GetString(workName), text, args.Word(5), fitted,
                 Tcl_GetString(workName));
        }

        /* A stopped step leaves Par and Work as they were, the elements
         * it had published included. */
        PublishedElements published(interp, workName, nPar);
        Interrupt stop(interp);
        try {
            Step(stop, workName, v, sig, nP, par, flags.data(), nPar, script.c_str(), work);
        } catch (const OutOfMemory &) {
            published.Restore();
            throw;
        }
        if (stop.Stopped()) {
            published.Restore();
            throw TclError{};
        }
        WriteBack(interp, parName, par, nPar, 0);
        WriteBack(interp, workName, work, len, 0);
        return TCL_OK;
    });
}
