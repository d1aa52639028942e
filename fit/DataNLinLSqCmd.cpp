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
#include "fit/Marquardt.h"

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace {

/* Publishes lambda, chi-square, best, f, the point index and the trial
 * parameters to the work array variable. */
void Publish(Tcl_Interp *interp, Tcl_Obj *work, double *w, int m)
{
    CArrayToTcl(interp, work, w, m + kardum::kWorkHeader, 0, 'D');
}

void Copy(const double *from, double *to, int n)
{
    for (int i = 0; i < n; ++i) {
        to[i] = from[i];
    }
}

/* Spreads a packed f x f matrix at x over the m x m region, using scratch
 * for the copy. */
void Expand(double *x, double *scratch, int f, int m)
{
    Copy(x, scratch, f * f);
    for (int i = 0; i < m * m; ++i) {
        x[i] = 0.0;
    }
    for (int r = 0; r < f; ++r) {
        for (int s = 0; s < f; ++s) {
            x[r * m + s] = scratch[r * f + s];
        }
    }
}

void SwapColumns(double *x, int m, int c1, int c2)
{
    for (int r = 0; r < m; ++r) {
        std::swap(x[r * m + c1], x[r * m + c2]);
    }
}

void SwapRows(double *x, int m, int r1, int r2)
{
    for (int c = 0; c < m; ++c) {
        std::swap(x[r1 * m + c], x[r2 * m + c]);
    }
}

} // namespace

extern "C" int DataNLinLSq_C(Tcl_Interp *interp, Tcl_Obj *work, double *y,
                             double *sig, int nP, double *par, char *iPar,
                             int nPar, const char *script, double *w)
{
    const int m = nPar > 0 ? nPar : 0;
    const int c = m + 5;
    const int a = m * m + m + 5;
    const int b = 2 * m * m + m + 5;
    const int d = 3 * m * m + m + 5;

    if (w[0] < 0.0) {
        const double request = w[0];
        w[3] = kardum::CountFitted(iPar, m);
        w[0] = request < -0.9 ? 0.001 : -request;
        Copy(par, w + 5, m);
        Publish(interp, work, w, m);
        if (DataMqCoef_C(interp, work, y, sig, nP, iPar, m, a, b, script, w) != 1) {
            /* The model cannot be evaluated at the starting values: no
             * step, and the next call starts again. */
            w[0] = request;
            return 1;
        }
        w[2] = w[1];
    }

    const int f = kardum::CountIn(w[3], m);
    Copy(w + a, w + c, f * f);
    Copy(w + b, w + d, f);

    const double lambda = w[0];
    if (lambda > 0.0) {
        for (int i = 0; i < f; ++i) {
            w[c + i * (f + 1)] = w[c + i * (f + 1)] * (1.0 + lambda);
        }
        bool accepted = false;
        if (MatrixInv_C(f, w + c, 1, w + d) == 1) {
            for (int j = 0, k = 0; j < m; ++j) {
                if (iPar[j] == 1) {
                    w[5 + j] = par[j] + (k < f ? w[d + k] : 0.0);
                    ++k;
                }
            }
            Publish(interp, work, w, m);
            accepted =
                DataMqCoef_C(interp, work, y, sig, nP, iPar, m, c, d, script, w) == 1 &&
                w[2] > w[1];
        }
        if (accepted) {
            w[0] = lambda * 0.1;
            w[2] = w[1];
            Copy(w + c, w + a, f * f);
            Copy(w + d, w + b, f);
            Copy(w + 5, par, m);
        } else {
            /* A worse or equal trial, one whose model could not be
             * evaluated, or a singular augmented matrix. */
            w[0] = lambda * 10.0;
            w[1] = w[2];
        }
        return 1;
    }

    /* Finish: the covariance is the inverse of alpha at the best
     * parameters.  A singular alpha gives no covariance: NaN. */
    Copy(w + a, w + c, f * f);
    if (MatrixInv_C(f, w + c, 0, nullptr) != 1) {
        for (int i = 0; i < f * f; ++i) {
            w[c + i] = std::numeric_limits<double>::quiet_NaN();
        }
    }
    if (f == m) {
        return 1;
    }
    Expand(w + c, w + b, f, m);
    Expand(w + a, w + b, f, m);
    for (int j = m - 1, k = f - 1; j >= 0 && k >= 0; --j) {
        if (iPar[j] != 0) {
            SwapColumns(w + c, m, k, j);
            SwapColumns(w + a, m, k, j);
            SwapRows(w + c, m, k, j);
            SwapRows(w + a, m, k, j);
            --k;
        }
    }
    return 1;
}

extern "C" int DataNLinLSqCmd(ClientData, Tcl_Interp *interp, int objc,
                              Tcl_Obj *const objv[])
{
    using namespace kardum;
    return RunCommand(interp, [&]() -> int {
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
        if (!(work[0] < 0.0) && work[3] != fitted) {
            char text[TCL_DOUBLE_SPACE];
            Tcl_PrintDouble(nullptr, work[3], text);
            Fail("%s: %s(3) says %s parameters are fitted but %s flags %d; "
                 "start the fit again with a negative %s(0)", cmd,
                 Tcl_GetString(workName), text, args.Word(5), fitted,
                 Tcl_GetString(workName));
        }

        DataNLinLSq_C(interp, workName, v, sig, nP, par, flags.data(), nPar,
                      script.c_str(), work);
        WriteBack(interp, parName, par, nPar, 0);
        WriteBack(interp, workName, work, len, 0);
        return TCL_OK;
    });
}
