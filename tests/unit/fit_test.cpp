// The linear fits against an independent solution of the same weighted
// least-squares problem (Householder QR in long double on the weighted
// design matrix, never forming the normal equations), and the polynomial
// evaluators at the edges of their coefficient tables.
#include "TclFixture.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using Real = long double;

struct Reference {
    std::vector<double> coef;
    std::vector<double> covar; // (AᵀWA)⁻¹, n x n row-major
};

// Minimises Σ w_i (y_i - Σ_r A[i][r] c_r)² by Householder QR of the rows
// scaled by √w_i; the covariance is R⁻¹R⁻ᵀ.
Reference SolveByQR(const std::vector<std::vector<double>> &design,
                    const std::vector<double> &y, const std::vector<double> &w)
{
    const std::size_t m = design.size(), n = design[0].size();
    std::vector<std::vector<Real>> a(m, std::vector<Real>(n));
    std::vector<Real> b(m);
    for (std::size_t i = 0; i < m; ++i) {
        Real s = std::sqrt(static_cast<Real>(w[i]));
        for (std::size_t r = 0; r < n; ++r) {
            a[i][r] = s * design[i][r];
        }
        b[i] = s * y[i];
    }
    for (std::size_t k = 0; k < n; ++k) {
        Real norm = 0;
        for (std::size_t i = k; i < m; ++i) {
            norm += a[i][k] * a[i][k];
        }
        norm = std::sqrt(norm);
        Real alpha = a[k][k] > 0 ? -norm : norm;
        std::vector<Real> v(m, 0);
        for (std::size_t i = k; i < m; ++i) {
            v[i] = a[i][k];
        }
        v[k] -= alpha;
        Real vv = 0;
        for (std::size_t i = k; i < m; ++i) {
            vv += v[i] * v[i];
        }
        auto reflect = [&](auto get) {
            Real dot = 0;
            for (std::size_t i = k; i < m; ++i) {
                dot += v[i] * get(i);
            }
            Real f = 2 * dot / vv;
            for (std::size_t i = k; i < m; ++i) {
                get(i) -= f * v[i];
            }
        };
        for (std::size_t c = k; c < n; ++c) {
            reflect([&](std::size_t i) -> Real & { return a[i][c]; });
        }
        reflect([&](std::size_t i) -> Real & { return b[i]; });
    }
    // Back substitution for the coefficients, and R⁻¹ column by column.
    std::vector<Real> c(n);
    for (std::size_t k = n; k-- > 0;) {
        Real s = b[k];
        for (std::size_t j = k + 1; j < n; ++j) {
            s -= a[k][j] * c[j];
        }
        c[k] = s / a[k][k];
    }
    std::vector<std::vector<Real>> rinv(n, std::vector<Real>(n, 0));
    for (std::size_t col = 0; col < n; ++col) {
        for (std::size_t k = col + 1; k-- > 0;) {
            Real s = k == col ? 1 : 0;
            for (std::size_t j = k + 1; j <= col; ++j) {
                s -= a[k][j] * rinv[j][col];
            }
            rinv[k][col] = s / a[k][k];
        }
    }
    Reference ref;
    for (Real v : c) {
        ref.coef.push_back(static_cast<double>(v));
    }
    for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t s = 0; s < n; ++s) {
            Real sum = 0;
            for (std::size_t j = 0; j < n; ++j) {
                sum += rinv[r][j] * rinv[s][j];
            }
            ref.covar.push_back(static_cast<double>(sum));
        }
    }
    return ref;
}

// max|got - want| / max|want|
double RelativeError(const std::vector<double> &got, const std::vector<double> &want)
{
    double diff = 0, scale = 0;
    for (std::size_t i = 0; i < want.size(); ++i) {
        diff = std::max(diff, std::fabs(got[i] - want[i]));
        scale = std::max(scale, std::fabs(want[i]));
    }
    return diff / scale;
}

// A small deterministic generator for scattered points in [-1, 1).
struct Lcg {
    std::uint64_t state = 12345;
    double Next()
    {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state >> 11) / 4503599627370496.0 - 1.0;
    }
};

} // namespace

using LinearFit = TclFixture;

// Polynomial fits of degree 1 to 5 on 1000 abscissae in [-1, 1] (steps of
// 0.002, exact in the "%f" text the basis procedure sees), in the three
// weight modes.
TEST_F(LinearFit, OneDimensionalFitAgreesWithQR)
{
    Eval("proc powers {x t n} {upvar 1 $t tc; set p 1.0;"
         " for {set i 0} {$i < $n} {incr i} {set tc($i) $p; set p [expr {$p * $x}]}}");
    const int nP = 1000;
    std::vector<double> x(nP), y(nP), sig(nP);
    for (int i = 0; i < nP; ++i) {
        x[i] = (i - 500) / 500.0;
        y[i] = 3.0 + std::exp(x[i]) * std::cos(3.0 * x[i]) + 0.01 * std::sin(37.0 * i);
        sig[i] = 0.05 + 0.02 * (i % 7);
    }
    for (int wtMode : {0, 1, -1}) {
        for (int degree = 1; degree <= 5; ++degree) {
            const int nCoef = degree + 1;
            std::vector<std::vector<double>> design(nP, std::vector<double>(nCoef));
            std::vector<double> w(nP);
            double chi2Want = 0;
            for (int i = 0; i < nP; ++i) {
                double p = 1.0;
                for (int r = 0; r < nCoef; ++r) {
                    design[i][r] = p;
                    p = p * x[i];
                }
                w[i] = wtMode == 1 ? 1.0 / (sig[i] * sig[i]) : wtMode == -1 ? 1.0 / y[i] : 1.0;
            }
            Reference ref = SolveByQR(design, y, w);
            for (int i = 0; i < nP; ++i) {
                Real fit = 0;
                for (int r = 0; r < nCoef; ++r) {
                    fit += static_cast<Real>(ref.coef[r]) * design[i][r];
                }
                Real s = wtMode == 1 ? sig[i] : wtMode == -1 ? w[i] : 1.0;
                Real d = (y[i] - fit) / s;
                chi2Want += static_cast<double>(d * d);
            }

            std::vector<double> coef(nCoef, 0.0), covar(nCoef * nCoef);
            std::vector<char> flags(nCoef, 1);
            std::string script = "powers $vX tC " + std::to_string(nCoef);
            double chi2 = DataLSq1D_C(interp, x.data(), y.data(), nP, wtMode, coef.data(),
                                      flags.data(), nCoef, covar.data(), script.c_str(),
                                      sig.data());
            SCOPED_TRACE("weight mode " + std::to_string(wtMode) + ", degree " +
                         std::to_string(degree));
            EXPECT_LT(RelativeError(coef, ref.coef), 1e-9);
            EXPECT_LT(RelativeError(covar, ref.covar), 1e-9);
            EXPECT_NEAR(chi2, chi2Want, 1e-9 * chi2Want);
        }
    }
}

// Surfaces of degree 0 to 4 on 1000 scattered points with per-point
// weights, called the way the grid filling calls the worker.
TEST_F(LinearFit, TwoDimensionalFitAgreesWithQR)
{
    const int nP = 1000;
    std::vector<double> x(nP), y(nP), z(nP), w(nP);
    Lcg rnd;
    for (int i = 0; i < nP; ++i) {
        x[i] = rnd.Next();
        y[i] = rnd.Next();
        z[i] = std::sin(2.0 * x[i]) * std::exp(y[i]) + 0.01 * rnd.Next();
        w[i] = 0.5 + 0.5 * (rnd.Next() + 1.0);
    }
    for (int degree = 0; degree <= 4; ++degree) {
        const int nT = (degree + 1) * (degree + 2) / 2;
        std::vector<std::vector<double>> design(nP, std::vector<double>(nT));
        for (int i = 0; i < nP; ++i) {
            int k = 0;
            for (int t = 0; t <= degree; ++t) {
                for (int j = 0; j <= t; ++j) {
                    design[i][k++] = std::pow(x[i], t - j) * std::pow(y[i], j);
                }
            }
        }
        Reference ref = SolveByQR(design, z, w);
        Real sum = 0;
        for (int i = 0; i < nP; ++i) {
            Real fit = 0;
            for (int k = 0; k < nT; ++k) {
                fit += static_cast<Real>(ref.coef[k]) * design[i][k];
            }
            sum += (z[i] - fit) * (z[i] - fit);
        }
        double rmsWant = static_cast<double>(std::sqrt(sum / nP));

        std::vector<double> coef(nT + 1, -7.0);
        double rms = -1.0;
        SCOPED_TRACE("degree " + std::to_string(degree));
        ASSERT_EQ(DataLSq2D_C(x.data(), y.data(), z.data(), nP, degree, 1, coef.data(), 1,
                              w.data(), &rms),
                  nT);
        EXPECT_EQ(coef[nT], -7.0);
        coef.resize(nT);
        EXPECT_LT(RelativeError(coef, ref.coef), 1e-9);
        EXPECT_NEAR(rms, rmsWant, 1e-9 * rmsWant);
    }
}

// A degree whose term count does not fit an int is refused before any
// allocation, and neither output is touched.
TEST_F(LinearFit, TwoDimensionalRefusesATermCountBeyondInt)
{
    double x[1] = {1}, y[1] = {2}, z[1] = {3};
    double coef[1] = {-7.0}, rms = -7.0;
    EXPECT_EQ(DataLSq2D_C(x, y, z, 1, 70000, 0, coef, 1, nullptr, &rms), -1);
    EXPECT_EQ(coef[0], -7.0);
    EXPECT_EQ(rms, -7.0);
}

using PolyEval = TclFixture;

// With fewer coefficients than terms the worker stops at the last one; with
// more, the extra ones have no term.  Run under AddressSanitizer, a read
// past the exact-size vectors would fail the test.
TEST_F(PolyEval, TwoDimensionalStaysInsideItsCoefficients)
{
    std::vector<double> six{1, 2, 3, 4, 5, 6};
    EXPECT_EQ(PolyExp2D_C(2, 3, 6, six.data(), 2, 0, nullptr), 114.0);
    std::vector<double> four{1, 2, 3, 4};
    EXPECT_EQ(PolyExp2D_C(2, 3, 4, four.data(), 2, 0, nullptr), 1 + 4 + 9 + 16.0);
    EXPECT_EQ(PolyExp2D_C(2, 3, 4, four.data(), 1000000, 0, nullptr), 1 + 4 + 9 + 16.0);
    std::vector<double> eight{1, 2, 3, 4, 5, 6, 100, 100};
    EXPECT_EQ(PolyExp2D_C(2, 3, 8, eight.data(), 2, 0, nullptr), 114.0);
    EXPECT_EQ(PolyExp2D_C(2, 3, 0, nullptr, 2, 0, nullptr), 0.0);
    // A degree beyond the stack row: x^40 of x = 1.1 as 40 multiplications.
    std::vector<double> high(41 * 42 / 2, 0.0);
    high[40 * 41 / 2] = 1.0;
    double p = 1.0;
    for (int i = 0; i < 40; ++i) {
        p = p * 1.1;
    }
    EXPECT_EQ(PolyExp2D_C(1.1, 0.5, static_cast<int>(high.size()), high.data(), 40, 0,
                          nullptr),
              p);
}

TEST_F(PolyEval, ClampingOnlyWithFlagOneAndNeverByNaN)
{
    double c[3] = {1, 2, 3}; // 17 at x = 2
    double nan = std::nan("");
    struct Case {
        int clamp;
        double upper, lower, want;
    } cases[] = {
        {1, 10, 0, 10}, {1, 20, 18, 18}, {1, 5, 8, 8}, {2, 10, 0, 17},
        {0, 10, 0, 17}, {1, nan, 0, 17}, {1, 100, nan, 17}, {1, nan, 20, 20},
    };
    for (const Case &k : cases) {
        double limits[2] = {k.upper, k.lower};
        EXPECT_EQ(PolyExp1D_C(2, 3, c, k.clamp, limits), k.want);
    }
    double d2[6] = {1, 2, 3, 4, 5, 6}; // 114 at (2, 3)
    double limits[2] = {nan, 120};
    EXPECT_EQ(PolyExp2D_C(2, 3, 6, d2, 2, 1, limits), 120.0);
    EXPECT_EQ(PolyExp1D_C(2, 0, nullptr, 0, nullptr), 0.0);
}
