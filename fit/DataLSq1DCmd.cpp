/*
 * DataLSq1DCmd.cpp --
 *
 *	KDdataLSq1D: weighted linear least-squares fit of y(x) = Σ c_r·φ_r(x)
 *	with script-defined basis functions φ_r.  Any coefficient can be held
 *	at its given value.  The result is the chi-square; the coefficients
 *	and their covariance matrix are written back.
 *
 *	KDdataLSq1D X Y nP WtMode Coef iCoef nCoef Covar Func ?SiG?
 *
 *	The basis procedure is called as "Func $vX tC nCoef" in the caller's
 *	frame, with vX holding the abscissa as "%f" text, and must set
 *	tC(0) ... tC(nCoef-1) there (through upvar) to the basis values.
 *
 *	Weight modes: 0 unweighted; 1 weights 1/σ², residuals divided by σ
 *	(σ from SiG); -1 weights 1/y (1 where y is 0), residuals divided by
 *	that weight.
 */

#include "kardum.h"
#include "fit/Covariance.h"
#include "fit/Flags.h"
#include "frame/Callback.h"
#include "frame/Frame.h"
#include "frame/ObjRef.h"

#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

/*
 * The basis callback of one call: the line kept as one script object (its
 * bytecode is reused point after point), and the names vX and tC with the
 * element names of tC kept as objects.
 */
class Basis {
public:
    Basis(kardum::Interrupt &stop, const char *script, int n)
        : interp_(stop.Interp()), script_(stop, script), tC_(stop, "tC", n), n_(n),
          vX_(Tcl_NewStringObj("vX", 2))
    {
    }

    /*
     * Evaluates the basis at x: sets vX to the "%f" text of x, runs the
     * line and reads tC(0) ... tC(n-1) into phi.  A value whose text does
     * not convert keeps the previous one.  False when an element is
     * missing, or when the interpreter asks the call to stop.
     */
    bool Eval(double x, double *phi)
    {
        int len = kardum::FormatFixed(text_, x);
        {
            kardum::ObjRef value(Tcl_NewStringObj(text_, len));
            Tcl_ObjSetVar2(interp_, vX_.get(), nullptr, value.get(), TCL_LEAVE_ERR_MSG);
        }
        if (!script_.Eval()) {
            return false;
        }
        tC_.NewEvaluation();
        for (int r = 0; r < n_; ++r) {
            if (!tC_.Read(r, phi[r])) {
                return false;
            }
        }
        return true;
    }

private:
    Tcl_Interp *interp_;
    kardum::Script script_;
    kardum::Answer tC_;
    int n_;
    kardum::ObjRef vX_;
    char text_[kardum::kFixedTextSize] = {};
};

} // namespace

/*
 * x, y: nP points; sig: nP standard deviations (mode 1 only, may be null
 * otherwise).  coef: nCoef coefficients, held ones read, fitted ones
 * written; iCoef: nCoef flags, 1 = fit.  covar: nCoef² doubles, written
 * with the covariance (rows and columns of held coefficients zero).
 * script: the composed callback line.
 *
 * Returns the chi-square, -1.0 when nothing is to be fitted or a basis
 * value is missing.  Scratch that cannot be had throws OutOfMemory (the
 * worker then returns 1.0).
 *
 * The normal matrix of the fitted coefficients is accumulated packed
 * (row stride nFit) in the first nFit² places of covar, lower triangle
 * only, mirrored, inverted in place by MatrixInv_C and finally spread out
 * to the full nCoef x nCoef layout.
 */
static double Fit(kardum::Interrupt &stop, double *x, double *y, int nP,
                  int wtMode, double *coef, char *iCoef, int nCoef,
                  double *covar, const char *script, double *sig)
{
    const std::size_t nC = nCoef > 0 ? static_cast<std::size_t>(nCoef) : 0;
    const std::size_t points = nP > 0 ? static_cast<std::size_t>(nP) : 0;
    for (std::size_t i = 0; i < nC * nC; ++i) {
        covar[i] = 0.0;
    }
    if (wtMode == 1 && sig == nullptr) {
        wtMode = 0;
    }

    /* β (nCoef) and the basis values (nCoef).  A point's weight is made
     * where it is used, so that nothing of the points' size is needed. */
    kardum::Block scratch({nC, nC}, "the fit's scratch arrays");
    Basis basis(stop, script, nCoef);
    double *beta = scratch[0];
    double *phi = scratch[1];
    auto weight = [wtMode, sig, y](std::size_t i) {
        if (wtMode == 1) {
            return 1.0 / (sig[i] * sig[i]);
        }
        return wtMode == -1 && y[i] != 0.0 ? 1.0 / y[i] : 1.0;
    };

    auto fitted = [iCoef](std::size_t r) { return kardum::IsFitted(iCoef[r]); };
    std::size_t nFit = 0;
    for (std::size_t r = 0; r < nC; ++r) {
        nFit += fitted(r) ? 1 : 0;
    }
    if (nFit == 0) {
        std::fputs("KDdataLSq1D:  ERROR - No coefficients to fit", stderr);
        return -1.0;
    }

    /* Pass 1: the normal equations of the fitted coefficients. */
    for (std::size_t i = 0; i < points; ++i) {
        if (!basis.Eval(x[i], phi)) {
            return -1.0;
        }
        double v = y[i];
        if (nFit < nC) {
            for (std::size_t r = 0; r < nC; ++r) {
                if (!fitted(r)) {
                    v = v - coef[r] * phi[r];
                }
            }
        }
        const double w = weight(i);
        for (std::size_t l = 0, j = 0; l < nC; ++l) {
            if (!fitted(l)) {
                continue;
            }
            double g = phi[l] * w;
            double *row = covar + j * nFit;
            for (std::size_t m = 0, k = 0; m <= l; ++m) {
                if (fitted(m)) {
                    row[k] = row[k] + phi[m] * g;
                    ++k;
                }
            }
            beta[j] = beta[j] + v * g;
            ++j;
        }
    }
    for (std::size_t j = 1; j < nFit; ++j) {
        for (std::size_t k = 0; k < j; ++k) {
            covar[k * nFit + j] = covar[j * nFit + k];
        }
    }

    MatrixInv_C(static_cast<int>(nFit), covar, 1, beta);
    for (std::size_t l = 0, j = 0; l < nC; ++l) {
        if (fitted(l)) {
            coef[l] = beta[j++];
        }
    }

    /* Pass 2: the chi-square. */
    double chi2 = 0.0;
    for (std::size_t i = 0; i < points; ++i) {
        if (!basis.Eval(x[i], phi)) {
            return -1.0;
        }
        double fit = 0.0;
        for (std::size_t r = 0; r < nC; ++r) {
            fit = fit + coef[r] * phi[r];
        }
        double s = wtMode == 1 ? sig[i] : (wtMode == -1 ? weight(i) : 1.0);
        double d = (y[i] - fit) / s;
        chi2 = chi2 + d * d;
    }

    /* Spread the packed inverse over the rows and columns of the fitted
     * coefficients; held ones get zero rows and columns. */
    kardum::SpreadCovariance(covar, nFit, nC, iCoef);
    return chi2;
}

/* A stop (cancel, limit) ends the fit as a missing basis value does:
 * -1.0, with Tcl's message in the interpreter result. */
extern "C" double DataLSq1D_C(Tcl_Interp *interp, double *x, double *y, int nP,
                              int wtMode, double *coef, char *iCoef, int nCoef,
                              double *covar, const char *script, double *sig)
{
    try {
        kardum::Interrupt stop(interp);
        return Fit(stop, x, y, nP, wtMode, coef, iCoef, nCoef, covar, script, sig);
    } catch (const kardum::OutOfMemory &) {
        return 1.0;
    } catch (const std::bad_alloc &) {
        return 1.0;
    }
}

extern "C" int DataLSq1DCmd(ClientData, Tcl_Interp *interp, int objc,
                            Tcl_Obj *const objv[])
{
    using namespace kardum;
    return RunCommand(interp, "KDdataLSq1D", [&]() -> int {
        Args args(interp, objc, objv);
        if (!args.CountOk(Args::AtLeast, 10, "Usage: KDdataLSq1D X Y nP  ... ")) {
            return TCL_ERROR;
        }
        int nP = args.Int(3, "nP");
        int wtMode = args.Int(4, "WtMode");
        int nCoef = args.Int(7, "nCoef");
        RequireNonNegative("KDdataLSq1D", "nP", nP);
        RequireNonNegative("KDdataLSq1D", "nCoef", nCoef);
        if (wtMode < -1 || wtMode > 1) {
            Fail("KDdataLSq1D: WtMode must be -1, 0 or 1, got %d", wtMode);
        }
        if (wtMode == 1 && !args.Has(10)) {
            Fail("KDdataLSq1D: WtMode 1 needs the standard deviations array SiG");
        }
        std::size_t n = static_cast<std::size_t>(nP);
        std::size_t nC = static_cast<std::size_t>(nCoef);
        /* In 64 bits, where nCoef squared always fits: the refusal reads
         * the same on 32-bit builds. */
        if (static_cast<std::uint64_t>(nC) * nC > static_cast<std::uint64_t>(INT_MAX)) {
            Fail("KDdataLSq1D: nCoef %d makes Covar too large", nCoef);
        }
        std::size_t nC2 = nC * nC;
        std::string script = args.Word(9);
        script += " $vX tC ";
        script += std::to_string(nCoef);

        RequireRoom(interp, "KDdataLSq1D", args.Obj(8), nC2);
        Block block({n, n, nC, nC2, wtMode == 1 ? n : 0});
        double *x = block[0], *y = block[1], *coef = block[2];
        double *covar = block[3], *sig = block[4];
        if (!Fill(interp, args.Obj(1), x, nP, 0) ||
            !Fill(interp, args.Obj(2), y, nP, 0) ||
            (wtMode == 1 && !Fill(interp, args.Obj(10), sig, nP, 0))) {
            return TCL_OK;
        }

        /* Missing coefficients start at 0.0 (the block is zero-filled). */
        Fill(interp, args.Obj(5), coef, nCoef, 0);

        /* Flags are read as integers so that a value such as 257 is not
         * taken for its low byte; with fewer than nCoef of them every
         * coefficient is fitted. */
        std::vector<int> read(nC, INT_MIN);
        std::vector<char> flags(nC, 1);
        Tcl_Obj *iCoefName = args.Obj(6);
        if (FillInts(interp, iCoefName, read.data(), nCoef) == nCoef) {
            for (int r = 0; r < nCoef; ++r) {
                if (!IsFitFlag(interp, iCoefName, r, read[r])) {
                    const char *textValue = FlagText(interp, iCoefName, r);
                    Fail("KDdataLSq1D: iCoef(%d) must be 0 or 1, got \"%s\"", r,
                         textValue != nullptr ? textValue : "");
                }
                flags[r] = static_cast<char>(read[r]);
            }
        }

        /* A stopped fit writes nothing back: Coef and Covar stay as they
         * were; so does a fit without the memory for its scratch. */
        Interrupt stop(interp);
        double chi2 = Fit(stop, x, y, nP, wtMode, coef, flags.data(), nCoef, covar,
                          script.c_str(), wtMode == 1 ? sig : nullptr);
        if (stop.Stopped()) {
            throw TclError{};
        }
        WriteBack(interp, args.Obj(5), coef, nCoef, 0);
        WriteBack(interp, args.Obj(8), covar, static_cast<int>(nC2), 0);
        SetDoubleResult(interp, chi2);
        return TCL_OK;
    });
}
