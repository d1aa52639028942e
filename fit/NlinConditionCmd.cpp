/*
 * NlinConditionCmd.cpp --
 *
 *	How well the data determine the parameters of a finished
 *	kardum::nlfit: ::kardum::fit::Conditioning m alpha covariance flags
 *	takes the curvature matrix alpha (the normal matrix of the fit, m x m,
 *	row-major, the rows and columns of held parameters 0), its inverse
 *	and the fit flags, and returns a dict:
 *
 *	  condition     the condition number of alpha over the fitted
 *	                parameters, scaled to a unit diagonal (so that it does
 *	                not depend on the units of the parameters): the ratio
 *	                of its largest eigenvalue to its smallest; Inf when a
 *	                fitted parameter has no effect at all
 *	  correlation   the correlation matrix from the covariance (made
 *	                symmetric), a list of m rows (1 on the diagonal of a
 *	                fitted parameter; the rows and columns of held ones 0)
 *	  undetermined  the fitted parameters the data do not determine (empty
 *	                when they determine all): those without effect, those
 *	                in the direction of the smallest eigenvalue when the
 *	                condition number is beyond what doubles resolve, and
 *	                pairs whose correlation is 1 to rounding
 */

#include "package/Commands.h"
#include "frame/Frame.h"
#include "frame/ObjRef.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <vector>

namespace kardum::package {

namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

/* Beyond this condition number of the scaled normal matrix its smallest
 * eigenvalue is lost in the rounding of the largest (a relative error of
 * a few epsilon per element): the data no longer tell the parameters
 * along it apart. */
constexpr double kConditionLimit = 1.0 / (64.0 * kEpsilon);

/* A correlation this close to 1 is 1 to the rounding of the covariance. */
constexpr double kCorrelationLimit = 1.0 - 64.0 * kEpsilon;

bool ReadMatrix(Tcl_Interp *interp, Tcl_Obj *list, std::size_t count, std::vector<double> &out)
{
    Tcl_Size n = 0;
    Tcl_Obj **items = nullptr;
    if (Tcl_ListObjGetElements(interp, list, &n, &items) != TCL_OK) {
        return false;
    }
    if (static_cast<std::size_t>(n) != count) {
        Fail("::kardum::fit::Conditioning: expected %zu numbers, got %lld", count,
             static_cast<long long>(n));
    }
    out.resize(count);
    for (std::size_t k = 0; k < count; ++k) {
        if (Tcl_GetDoubleFromObj(nullptr, items[k], &out[k]) != TCL_OK) {
            /* NaN (no covariance) reads as such. */
            out[k] = std::numeric_limits<double>::quiet_NaN();
        }
    }
    return true;
}

/* Eigenvalues (and eigenvectors, as the columns of v) of the symmetric
 * n x n matrix a by cyclic Jacobi rotations; a is destroyed. */
void Jacobi(std::vector<double> &a, std::size_t n, std::vector<double> &values,
            std::vector<double> &v)
{
    v.assign(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        v[i * n + i] = 1.0;
    }
    for (int sweep = 0; sweep < 100; ++sweep) {
        double off = 0.0;
        double all = 0.0;
        for (std::size_t p = 0; p < n; ++p) {
            for (std::size_t q = 0; q < n; ++q) {
                all += a[p * n + q] * a[p * n + q];
                if (p != q) {
                    off += a[p * n + q] * a[p * n + q];
                }
            }
        }
        if (!(off > kEpsilon * kEpsilon * all * 1e-4)) {
            break;
        }
        for (std::size_t p = 0; p + 1 < n; ++p) {
            for (std::size_t q = p + 1; q < n; ++q) {
                const double apq = a[p * n + q];
                if (apq == 0.0) {
                    continue;
                }
                const double theta = (a[q * n + q] - a[p * n + p]) / (2.0 * apq);
                const double t = (theta >= 0.0 ? 1.0 : -1.0) /
                                 (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0);
                const double s = t * c;
                for (std::size_t k = 0; k < n; ++k) {
                    const double akp = a[k * n + p];
                    const double akq = a[k * n + q];
                    a[k * n + p] = c * akp - s * akq;
                    a[k * n + q] = s * akp + c * akq;
                }
                for (std::size_t k = 0; k < n; ++k) {
                    const double apk = a[p * n + k];
                    const double aqk = a[q * n + k];
                    a[p * n + k] = c * apk - s * aqk;
                    a[q * n + k] = s * apk + c * aqk;
                }
                for (std::size_t k = 0; k < n; ++k) {
                    const double vkp = v[k * n + p];
                    const double vkq = v[k * n + q];
                    v[k * n + p] = c * vkp - s * vkq;
                    v[k * n + q] = s * vkp + c * vkq;
                }
            }
        }
    }
    values.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        values[i] = a[i * n + i];
    }
}

} // namespace

int NlinConditioningCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    if (objc != 5) {
        Tcl_WrongNumArgs(interp, 1, objv, "m alpha covariance flags");
        return TCL_ERROR;
    }
    return RunCommand(interp, "kardum::nlfit", [&]() -> int {
        int mValue = 0;
        if (Tcl_GetIntFromObj(interp, objv[1], &mValue) != TCL_OK) {
            return TCL_ERROR;
        }
        if (mValue < 1 || mValue > 4096) {
            Fail("::kardum::fit::Conditioning: m must lie in 1 ... 4096, got %d", mValue);
        }
        const std::size_t m = static_cast<std::size_t>(mValue);
        std::vector<double> alpha, covariance, flagValues;
        if (!ReadMatrix(interp, objv[2], m * m, alpha) ||
            !ReadMatrix(interp, objv[3], m * m, covariance) ||
            !ReadMatrix(interp, objv[4], m, flagValues)) {
            throw TclError{};
        }

        /* The fitted parameters with an effect, and those without. */
        std::vector<std::size_t> fitted;
        std::set<std::size_t> undetermined;
        for (std::size_t j = 0; j < m; ++j) {
            if (flagValues[j] != 1.0) {
                continue;
            }
            const double diagonal = alpha[j * m + j];
            if (diagonal > 0.0 && std::isfinite(diagonal)) {
                fitted.push_back(j);
            } else {
                undetermined.insert(j);
            }
        }

        double condition = undetermined.empty() ? 1.0
                                                : std::numeric_limits<double>::infinity();
        const std::size_t f = fitted.size();
        if (f > 0) {
            std::vector<double> s(f * f);
            bool finite = true;
            for (std::size_t r = 0; r < f; ++r) {
                for (std::size_t k = 0; k < f; ++k) {
                    const std::size_t i = fitted[r];
                    const std::size_t j = fitted[k];
                    s[r * f + k] = alpha[i * m + j] /
                                   std::sqrt(alpha[i * m + i]) / std::sqrt(alpha[j * m + j]);
                    finite = finite && std::isfinite(s[r * f + k]);
                }
            }
            if (!finite) {
                condition = std::numeric_limits<double>::infinity();
                undetermined.insert(fitted.begin(), fitted.end());
            } else {
                std::vector<double> values, vectors;
                Jacobi(s, f, values, vectors);
                std::size_t low = 0;
                double high = 0.0;
                for (std::size_t r = 0; r < f; ++r) {
                    high = std::max(high, values[r]);
                    if (values[r] < values[low]) {
                        low = r;
                    }
                }
                const double cond = values[low] > 0.0
                                        ? high / values[low]
                                        : std::numeric_limits<double>::infinity();
                if (undetermined.empty()) {
                    condition = cond;
                }
                if (!(cond < kConditionLimit)) {
                    /* The parameters that make up the direction the data
                     * do not see. */
                    double largest = 0.0;
                    for (std::size_t r = 0; r < f; ++r) {
                        largest = std::max(largest, std::fabs(vectors[r * f + low]));
                    }
                    for (std::size_t r = 0; r < f; ++r) {
                        if (std::fabs(vectors[r * f + low]) >= 0.2 * largest) {
                            undetermined.insert(fitted[r]);
                        }
                    }
                }
            }
        }

        /* The correlations, and pairs correlated to rounding. */
        ObjRef rows(Tcl_NewListObj(0, nullptr));
        for (std::size_t i = 0; i < m; ++i) {
            Tcl_Obj *row = Tcl_NewListObj(0, nullptr);
            Tcl_ListObjAppendElement(nullptr, rows.get(), row);
            for (std::size_t j = 0; j < m; ++j) {
                double r = 0.0;
                if (flagValues[i] == 1.0 && flagValues[j] == 1.0) {
                    if (i == j) {
                        r = 1.0;
                    } else {
                        /* The inverse is symmetric to rounding only. */
                        r = 0.5 * (covariance[i * m + j] + covariance[j * m + i]) /
                            std::sqrt(covariance[i * m + i]) / std::sqrt(covariance[j * m + j]);
                        const bool known = covariance[i * m + i] > 0.0 &&
                                           covariance[j * m + j] > 0.0 && std::isfinite(r);
                        if (known && !(std::fabs(r) < kCorrelationLimit)) {
                            undetermined.insert(i);
                            undetermined.insert(j);
                        }
                    }
                }
                Tcl_ListObjAppendElement(nullptr, row, Tcl_NewDoubleObj(r));
            }
        }
        ObjRef which(Tcl_NewListObj(0, nullptr));
        for (std::size_t j : undetermined) {
            Tcl_ListObjAppendElement(nullptr, which.get(),
                                     Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(j)));
        }
        Tcl_Obj *dict = Tcl_NewDictObj();
        Tcl_DictObjPut(nullptr, dict, Tcl_NewStringObj("condition", -1),
                       Tcl_NewDoubleObj(condition));
        Tcl_DictObjPut(nullptr, dict, Tcl_NewStringObj("correlation", -1), rows.get());
        Tcl_DictObjPut(nullptr, dict, Tcl_NewStringObj("undetermined", -1), which.get());
        Tcl_SetObjResult(interp, dict);
        return TCL_OK;
    });
}

} // namespace kardum::package
