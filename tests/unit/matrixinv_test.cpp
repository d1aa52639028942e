// MatrixInv_C: pivot choices, row exchanges, the partly reduced state after
// a failure, bit-exact results, and accuracy on random matrices.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstddef>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kardum.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Same double: equal with the same sign (so 0.0 and -0.0 differ), or both NaN.
bool Same(double x, double y)
{
    if (std::isnan(x) || std::isnan(y)) {
        return std::isnan(x) && std::isnan(y);
    }
    return x == y && std::signbit(x) == std::signbit(y);
}

std::string Show(const std::vector<double> &v)
{
    std::string s;
    for (double x : v) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.17g ", x);
        s += buf;
    }
    return s;
}

void ExpectSame(const std::vector<double> &expected, const std::vector<double> &actual,
                const std::string &what)
{
    ASSERT_EQ(expected.size(), actual.size()) << what;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_TRUE(Same(expected[i], actual[i]))
            << what << " place " << i << "\n  expected " << Show(expected)
            << "\n  actual   " << Show(actual);
    }
}

struct Case {
    const char *name;
    int n;
    std::vector<double> a;
    int m;
    std::vector<double> b;
    int code;
    std::vector<double> aOut;
    std::vector<double> bOut;
};

// Expected arrays are the exact doubles that the elimination produces,
// including the sign of zeros and the rounding of every step.
const Case kCases[] = {
    {"singular 2x2: pivot 4 at (1,1), then a zero pivot", 2, {1, 2, 2, 4}, 0, {}, -2,
     {0, -0.5, 0.5, 0.25}, {}},
    {"permutation: the later of two equal magnitudes, unscrambled", 2, {0, 1, 1, 0}, 0, {}, 1,
     {0, 1, 1, 0}, {}},
    {"diagonal with equal entries", 2, {2, 0, 0, 2}, 0, {}, 1, {0.5, 0, 0, 0.5}, {}},
    {"2x2 system with one right-hand side", 2, {2, 1, 1, 3}, 1, {3, 5}, 1,
     {0.6, -0.19999999999999998, -0.19999999999999998, 0.39999999999999997}, {0.8, 1.4}},
    {"1x1", 1, {4}, 0, {}, 1, {0.25}, {}},
    {"1x1 zero: the test comes before the division", 1, {0}, 1, {3}, -2, {0}, {3}},
    // Ties among three 4s: the last one met, (2,2), is the first pivot; the
    // second step exchanges rows 0 and 1 of both arrays; the third finds 0.
    {"singular 3x3 with ties and a row exchange", 3, {4, -2, 2, -2, 2, 0, 0, 4, 4}, 1, {1, 2, 4},
     -2, {0, 0.5, -0.25, -1, -0.25, 0.125, 1, 0.25, 0.125}, {1.5, 0.25, 0.75}},
    {"cyclic permutation with two right-hand sides", 3, {0, 1, 0, 0, 0, 1, 1, 0, 0}, 2,
     {1, 10, 2, 20, 3, 30}, 1, {0, 0, 1, 1, 0, 0, 0, 1, 0}, {3, 30, 1, 10, 2, 20}},
    {"4x4 with two right-hand sides, rounding of every step", 4,
     {3, 1, -2, 0.5, 1, 4, 1, 2, -1, 2, 5, 1, 2, 0, 1, 6}, 2, {1, 2, 3, 4, 5, 6, 7, 8}, 1,
     {0.5, -0.25000000000000006, 0.25000000000000006, 0.0, -0.06944444444444446,
      0.3032407407407408, -0.07175925925925929, -0.08333333333333333, 0.16666666666666669,
      -0.19444444444444448, 0.30555555555555564, 0.0, -0.19444444444444445,
      0.11574074074074077, -0.1342592592592593, 0.16666666666666666},
     {1.0000000000000002, 1.5000000000000004, -0.10185185185185186, -0.02314814814814828,
      1.1111111111111114, 1.3888888888888893, 0.6481481481481479, 0.6018518518518516}},
    // NaN never qualifies as pivot: the second step finds no pivot at all.
    {"no element qualifies as pivot", 2, {1, kNaN, kNaN, kNaN}, 1, {1, 2}, -2,
     {1, kNaN, kNaN, kNaN}, {1, kNaN}},
    {"1x1 NaN", 1, {kNaN}, 0, {}, -2, {kNaN}, {}},
    {"order 0", 0, {}, 0, {}, 1, {}, {}},
};

} // namespace

TEST(MatrixInv, PivotChoicesAndResults)
{
    for (const Case &c : kCases) {
        std::vector<double> a = c.a, b = c.b;
        int code = MatrixInv_C(c.n, a.data(), c.m, c.m > 0 ? b.data() : nullptr);
        EXPECT_EQ(code, c.code) << c.name;
        ExpectSame(c.aOut, a, std::string(c.name) + ": matrix");
        ExpectSame(c.bOut, b, std::string(c.name) + ": right-hand sides");
    }
}

namespace {

// A random matrix whose dominant entries sit on a random permutation, so
// that the elimination exchanges rows and the unscrambling moves columns.
std::vector<double> WellConditioned(int n, std::mt19937 &gen)
{
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<int> perm(n);
    for (int i = 0; i < n; ++i) {
        perm[i] = i;
    }
    std::shuffle(perm.begin(), perm.end(), gen);
    std::vector<double> a(static_cast<std::size_t>(n) * n);
    for (double &x : a) {
        x = u(gen);
    }
    for (int i = 0; i < n; ++i) {
        a[static_cast<std::size_t>(i) * n + perm[i]] += (u(gen) < 0 ? -1.0 : 1.0) * (n + 1);
    }
    return a;
}

// Product of an n x k and a k x m row-major matrix.
std::vector<double> Multiply(const std::vector<double> &x, const std::vector<double> &y, int n,
                             int k, int m)
{
    std::vector<double> out(static_cast<std::size_t>(n) * m, 0.0);
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < m; ++j) {
            double s = 0.0;
            for (int l = 0; l < k; ++l) {
                s += x[static_cast<std::size_t>(i) * k + l] * y[static_cast<std::size_t>(l) * m + j];
            }
            out[static_cast<std::size_t>(i) * m + j] = s;
        }
    }
    return out;
}

} // namespace

TEST(MatrixInv, RandomMatricesInvertAndSolve)
{
    std::mt19937 gen(20240611);
    std::uniform_real_distribution<double> u(-10.0, 10.0);
    for (int n : {2, 3, 7, 31, 100, 200}) {
        const int m = 3;
        std::vector<double> a = WellConditioned(n, gen);
        std::vector<double> b(static_cast<std::size_t>(n) * m);
        for (double &x : b) {
            x = u(gen);
        }
        std::vector<double> inv = a, x = b;
        ASSERT_EQ(MatrixInv_C(n, inv.data(), m, x.data()), 1) << "order " << n;

        std::vector<double> id = Multiply(a, inv, n, n, n);
        double worst = 0.0;
        for (int i = 0; i < n; ++i) {
            for (int j = 0; j < n; ++j) {
                double want = i == j ? 1.0 : 0.0;
                worst = std::max(worst, std::fabs(id[static_cast<std::size_t>(i) * n + j] - want));
            }
        }
        EXPECT_LT(worst, 1e-10) << "A times its inverse, order " << n;

        // Each column of the solution is the inverse applied to that column.
        std::vector<double> viaInverse = Multiply(inv, b, n, n, m);
        for (std::size_t p = 0; p < x.size(); ++p) {
            EXPECT_NEAR(x[p], viaInverse[p], 1e-10 * std::max(1.0, std::fabs(x[p])))
                << "order " << n << " place " << p;
        }
        // And it solves the system.
        std::vector<double> back = Multiply(a, x, n, n, m);
        for (std::size_t p = 0; p < b.size(); ++p) {
            EXPECT_NEAR(back[p], b[p], 1e-9) << "order " << n << " place " << p;
        }
    }
}

TEST(MatrixInv, SolvingAloneMatchesSolvingWithMoreColumns)
{
    // Each right-hand side is eliminated independently: solving column 1
    // alone gives the same bits as solving it beside another column.
    std::mt19937 gen(7);
    const int n = 12;
    std::vector<double> a = WellConditioned(n, gen);
    std::vector<double> two(2 * n), one(n);
    for (int r = 0; r < n; ++r) {
        two[2 * r] = r - 3.5;
        two[2 * r + 1] = one[r] = 1.0 / (r + 1);
    }
    std::vector<double> a1 = a, a2 = a;
    ASSERT_EQ(MatrixInv_C(n, a1.data(), 1, one.data()), 1);
    ASSERT_EQ(MatrixInv_C(n, a2.data(), 2, two.data()), 1);
    for (int r = 0; r < n; ++r) {
        EXPECT_TRUE(Same(one[r], two[2 * r + 1])) << "row " << r;
    }
    ExpectSame(a1, a2, "inverse");
}

namespace {

// The elimination written plainly, one element at a time, in the order the
// solver must keep: the reference that the optimised solver has to match
// bit for bit.
int PlainGaussJordan(int n, double *a, int m, double *b)
{
    std::vector<int> used(n, 0), pivotRow(n), pivotCol(n);
    for (int i = 0; i < n; ++i) {
        double best = 0.0;
        int pr = -1, pc = -1;
        for (int r = 0; r < n; ++r) {
            if (used[r] == 1) {
                continue;
            }
            for (int c = 0; c < n; ++c) {
                if (used[c] == 0 && std::fabs(a[r * n + c]) >= best) {
                    best = std::fabs(a[r * n + c]);
                    pr = r;
                    pc = c;
                }
            }
        }
        if (pr < 0) {
            return -2;
        }
        ++used[pc];
        if (pr != pc) {
            for (int c = 0; c < n; ++c) {
                std::swap(a[pr * n + c], a[pc * n + c]);
            }
            for (int c = 0; c < m; ++c) {
                std::swap(b[pr * m + c], b[pc * m + c]);
            }
        }
        pivotRow[i] = pr;
        pivotCol[i] = pc;
        if (a[pc * n + pc] == 0.0) {
            return -2;
        }
        double inv = 1.0 / a[pc * n + pc];
        a[pc * n + pc] = 1.0;
        for (int c = 0; c < n; ++c) {
            a[pc * n + c] *= inv;
        }
        for (int c = 0; c < m; ++c) {
            b[pc * m + c] *= inv;
        }
        for (int r = 0; r < n; ++r) {
            if (r == pc) {
                continue;
            }
            double f = a[r * n + pc];
            a[r * n + pc] = 0.0;
            for (int c = 0; c < n; ++c) {
                a[r * n + c] = a[r * n + c] - a[pc * n + c] * f;
            }
            for (int c = 0; c < m; ++c) {
                b[r * m + c] = b[r * m + c] - b[pc * m + c] * f;
            }
        }
    }
    for (int l = n - 1; l >= 0; --l) {
        if (pivotRow[l] != pivotCol[l]) {
            for (int r = 0; r < n; ++r) {
                std::swap(a[r * n + pivotRow[l]], a[r * n + pivotCol[l]]);
            }
        }
    }
    return 1;
}

} // namespace

// Every order from 1 to 40 (all remainders of any vector width), a few
// larger ones, 0 to 5 right-hand sides, and matrices that fail part way:
// the same code and the same bits, place by place, as the plain elimination.
TEST(MatrixInv, BitForBitTheSameAsThePlainElimination)
{
    std::mt19937 gen(99);
    std::uniform_real_distribution<double> u(-3.0, 3.0);
    std::vector<int> orders;
    for (int n = 1; n <= 40; ++n) {
        orders.push_back(n);
    }
    for (int n : {63, 64, 65, 129, 250}) {
        orders.push_back(n);
    }
    for (int n : orders) {
        for (int kind = 0; kind < 3; ++kind) {
            const int m = (n + kind) % 6;
            std::vector<double> a(static_cast<std::size_t>(n) * n), b(static_cast<std::size_t>(n) * m);
            for (double &x : a) {
                x = u(gen);
            }
            for (double &x : b) {
                x = u(gen);
            }
            if (kind == 1 && n > 2) {
                // Two equal rows: singular, stops part way with -2.
                std::copy(a.begin(), a.begin() + n, a.begin() + static_cast<std::size_t>(n) * (n - 1));
            }
            if (kind == 2) {
                // Ties and zeros: small integers.
                for (double &x : a) {
                    x = std::round(x);
                }
            }
            std::vector<double> a1 = a, b1 = b, a2 = a, b2 = b;
            int want = PlainGaussJordan(n, a1.data(), m, b1.data());
            int got = MatrixInv_C(n, a2.data(), m, m > 0 ? b2.data() : nullptr);
            std::string what = "order " + std::to_string(n) + ", kind " + std::to_string(kind);
            ASSERT_EQ(got, want) << what;
            for (std::size_t p = 0; p < a1.size(); ++p) {
                ASSERT_TRUE(Same(a1[p], a2[p])) << what << ", matrix place " << p;
            }
            for (std::size_t p = 0; p < b1.size(); ++p) {
                ASSERT_TRUE(Same(b1[p], b2[p])) << what << ", right-hand side place " << p;
            }
        }
    }
}
