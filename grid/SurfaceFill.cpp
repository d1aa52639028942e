/*
 * SurfaceFill.cpp --
 *
 *	The continuous-curvature surface in tension, by multigrid (see
 *	SurfaceFill.h for the problem it solves).
 */

#include "grid/SurfaceFill.h"

#include "frame/Frame.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numeric>

namespace kardum::package {

namespace {

/* Weight of the smoothness against one record's squared misfit. */
constexpr double kSmoothing = 0.005;
/* A far smaller pull of every node towards the records' mean, so that the
 * system stays definite whatever the records' layout. */
constexpr double kRidge = 1e-9;
/* Chebyshev smoothing: its degree and the part of the spectrum it damps. */
constexpr int kSmoothDegree = 3;
constexpr double kSmoothRange = 12.0;
/* The finest grid's V-cycles: at most this many, until the residual has
 * fallen by kTolerance. */
constexpr int kMaxCycles = 100;
constexpr double kTolerance = 1e-12;
/* Grids of at most this many nodes are solved directly. */
constexpr int kDirect = 64;

/* One axis of a level: nodes and their spacing. */
struct Axis {
    int n = 1;
    double k = 1.0;             /* spacing, in units of the mean cell side */
};

/* Bilinear weights from a coarse axis onto a finer one. */
struct Prolong {
    std::vector<int> at;        /* fine node i lies between coarse at[i], at[i] + 1 */
    std::vector<double> w;      /* weight of coarse at[i] + 1 */
};

struct Level {
    Axis x, y;
    std::size_t Nodes() const { return static_cast<std::size_t>(x.n) * y.n; }
    int cx() const { return std::max(x.n - 1, 1); }
    int cy() const { return std::max(y.n - 1, 1); }

    /* Per cell (between four nodes) the data's part of the matrix, packed
     * 00 01 02 03 11 12 13 22 23 33 over its nodes (i,j) (i+1,j) (i,j+1)
     * (i+1,j+1). */
    std::vector<double> cell;
    std::vector<double> rhs;    /* the records' right-hand side */
    std::vector<double> diag, inv;  /* the matrix's diagonal, and 1 / it */
    double lambda = 1.0;        /* bound on the largest eigenvalue of D^-1 M */
    double cxx = 0, cyy = 0, cxy = 0, cgx = 0, cgy = 0, ridge = 0;
    Prolong px, py;             /* from the next coarser level onto this one */
    std::vector<double> u, f, r, d, t;
};

/* Where coordinate g (in nodes) lies: the node below and the weight of
 * the one above.  Beyond the outer nodes (up to half a cell, at the edge
 * of the extent) the outer pair extrapolates linearly, so that a record
 * there still counts where it lies. */
inline void Locate(double g, int n, int &i, double &w)
{
    if (n == 1) {
        i = 0;
        w = 0.0;
        return;
    }
    if (!(g >= 0.0)) {
        i = 0;
        w = std::max(g, -1.0);
        return;
    }
    i = std::min(static_cast<int>(g), n - 2);
    w = std::min(g - i, 2.0);
}

/* The records' part of a level: every record's bilinear weights. */
void AddRecords(Level &L, const std::vector<double> &gx, const std::vector<double> &gy,
                const std::vector<double> &z, const std::vector<double> *weight, double sx,
                double sy, Interrupt &stop)
{
    L.cell.assign(static_cast<std::size_t>(L.cx()) * L.cy() * 10, 0.0);
    L.rhs.assign(L.Nodes(), 0.0);
    int nx = L.x.n;
    for (std::size_t k = 0; k < z.size(); ++k) {
        if ((k & 0xffff) == 0 && stop.Check()) {
            throw TclError{};
        }
        int i, j;
        double wx, wy;
        Locate(gx[k] * sx, L.x.n, i, wx);
        Locate(gy[k] * sy, L.y.n, j, wy);
        double w[4] = {(1 - wx) * (1 - wy), wx * (1 - wy), (1 - wx) * wy, wx * wy};
        double c = weight ? (*weight)[k] : 1.0;
        double *a = &L.cell[(static_cast<std::size_t>(j) * L.cx() + i) * 10];
        double cw[4] = {c * w[0], c * w[1], c * w[2], c * w[3]};
        a[0] += cw[0] * w[0]; a[1] += cw[0] * w[1]; a[2] += cw[0] * w[2]; a[3] += cw[0] * w[3];
        a[4] += cw[1] * w[1]; a[5] += cw[1] * w[2]; a[6] += cw[1] * w[3];
        a[7] += cw[2] * w[2]; a[8] += cw[2] * w[3];
        a[9] += cw[3] * w[3];
        for (int q = 0; q < 4; ++q) {
            w[q] = cw[q];
        }
        int i1 = std::min(i + 1, nx - 1), j1 = std::min(j + 1, L.y.n - 1);
        std::size_t n0 = static_cast<std::size_t>(j) * nx + i;
        std::size_t n1 = static_cast<std::size_t>(j) * nx + i1;
        std::size_t n2 = static_cast<std::size_t>(j1) * nx + i;
        std::size_t n3 = static_cast<std::size_t>(j1) * nx + i1;
        L.rhs[n0] += w[0] * z[k];
        L.rhs[n1] += w[1] * z[k];
        L.rhs[n2] += w[2] * z[k];
        L.rhs[n3] += w[3] * z[k];
    }
}

/* Calls f(nodes, coefficients, count, weight) for every squared term of
 * the energy but the records' (the smoothness and the ridge). */
template <class F>
void ForEachTerm(const Level &L, F &&f)
{
    int nx = L.x.n, ny = L.y.n;
    auto at = [nx](int i, int j) { return static_cast<std::size_t>(j) * nx + i; };
    for (int j = 0; j < ny; ++j) {
        for (int i = 0; i < nx; ++i) {
            std::size_t one[1] = {at(i, j)};
            double c1[1] = {1.0};
            f(one, c1, 1, L.ridge);
            if (i > 0 && i < nx - 1) {
                std::size_t n[3] = {at(i - 1, j), at(i, j), at(i + 1, j)};
                double c[3] = {1.0, -2.0, 1.0};
                f(n, c, 3, L.cxx);
            }
            if (j > 0 && j < ny - 1) {
                std::size_t n[3] = {at(i, j - 1), at(i, j), at(i, j + 1)};
                double c[3] = {1.0, -2.0, 1.0};
                f(n, c, 3, L.cyy);
            }
            if (i + 1 < nx && j + 1 < ny) {
                std::size_t n[4] = {at(i, j), at(i + 1, j), at(i, j + 1), at(i + 1, j + 1)};
                double c[4] = {1.0, -1.0, -1.0, 1.0};
                f(n, c, 4, L.cxy);
            }
            if (i + 1 < nx) {
                std::size_t n[2] = {at(i, j), at(i + 1, j)};
                double c[2] = {-1.0, 1.0};
                f(n, c, 2, L.cgx);
            }
            if (j + 1 < ny) {
                std::size_t n[2] = {at(i, j), at(i, j + 1)};
                double c[2] = {-1.0, 1.0};
                f(n, c, 2, L.cgy);
            }
        }
    }
}

/* The four nodes of cell (i, j). */
inline void CellNodes(const Level &L, int i, int j, std::size_t (&n)[4])
{
    int nx = L.x.n;
    int i1 = std::min(i + 1, nx - 1), j1 = std::min(j + 1, L.y.n - 1);
    n[0] = static_cast<std::size_t>(j) * nx + i;
    n[1] = static_cast<std::size_t>(j) * nx + i1;
    n[2] = static_cast<std::size_t>(j1) * nx + i;
    n[3] = static_cast<std::size_t>(j1) * nx + i1;
}

/* The coefficients, the diagonal and the bound on D^-1 M of a level. */
void Prepare(Level &L, double smoothing, double tension)
{
    double area = L.x.k * L.y.k;
    double kx2 = L.x.k * L.x.k, ky2 = L.y.k * L.y.k;
    L.cxx = smoothing * (1 - tension) * area / (kx2 * kx2);
    L.cyy = smoothing * (1 - tension) * area / (ky2 * ky2);
    L.cxy = 2 * smoothing * (1 - tension) * area / (kx2 * ky2);
    L.cgx = smoothing * tension * area / kx2;
    L.cgy = smoothing * tension * area / ky2;
    L.ridge = kRidge * smoothing * area;

    std::size_t nodes = L.Nodes();
    L.diag.assign(nodes, 0.0);
    std::vector<double> bound(nodes, 0.0);
    static const int kPacked[4][4] = {{0, 1, 2, 3}, {1, 4, 5, 6}, {2, 5, 7, 8}, {3, 6, 8, 9}};
    for (int j = 0; j < L.cy(); ++j) {
        for (int i = 0; i < L.cx(); ++i) {
            std::size_t n[4];
            CellNodes(L, i, j, n);
            const double *a = &L.cell[(static_cast<std::size_t>(j) * L.cx() + i) * 10];
            for (int p = 0; p < 4; ++p) {
                L.diag[n[p]] += a[kPacked[p][p]];
                for (int q = 0; q < 4; ++q) {
                    bound[n[p]] += std::fabs(a[kPacked[p][q]]);
                }
            }
        }
    }
    ForEachTerm(L, [&](const std::size_t *n, const double *c, int m, double w) {
        double sum = 0.0;
        for (int q = 0; q < m; ++q) {
            sum += std::fabs(c[q]);
        }
        for (int p = 0; p < m; ++p) {
            L.diag[n[p]] += w * c[p] * c[p];
            bound[n[p]] += w * std::fabs(c[p]) * sum;
        }
    });
    L.inv.resize(nodes);
    L.lambda = 0.0;
    for (std::size_t k = 0; k < nodes; ++k) {
        L.inv[k] = 1.0 / L.diag[k];
        L.lambda = std::max(L.lambda, bound[k] * L.inv[k]);
    }
    L.u.assign(nodes, 0.0);
    L.f.assign(nodes, 0.0);
    L.r.assign(nodes, 0.0);
    L.d.assign(nodes, 0.0);
    L.t.assign(nodes, 0.0);
}

/* y = M v. */
void Apply(const Level &L, const std::vector<double> &v, std::vector<double> &y,
           Interrupt &stop)
{
    int nx = L.x.n, ny = L.y.n;
    std::size_t nodes = L.Nodes();
    for (std::size_t k = 0; k < nodes; ++k) {
        y[k] = L.ridge * v[k];
    }
    for (int j = 0; j < L.cy(); ++j) {
        if (stop.Poll()) {
            throw TclError{};
        }
        for (int i = 0; i < L.cx(); ++i) {
            std::size_t n[4];
            CellNodes(L, i, j, n);
            const double *a = &L.cell[(static_cast<std::size_t>(j) * L.cx() + i) * 10];
            double v0 = v[n[0]], v1 = v[n[1]], v2 = v[n[2]], v3 = v[n[3]];
            y[n[0]] += a[0] * v0 + a[1] * v1 + a[2] * v2 + a[3] * v3;
            y[n[1]] += a[1] * v0 + a[4] * v1 + a[5] * v2 + a[6] * v3;
            y[n[2]] += a[2] * v0 + a[5] * v1 + a[7] * v2 + a[8] * v3;
            y[n[3]] += a[3] * v0 + a[6] * v1 + a[8] * v2 + a[9] * v3;
        }
    }
    for (int j = 0; j < ny; ++j) {
        if (stop.Poll()) {
            throw TclError{};
        }
        std::size_t row = static_cast<std::size_t>(j) * nx;
        for (int i = 1; i + 1 < nx; ++i) {
            std::size_t c = row + i;
            double s = L.cxx * (v[c - 1] - 2 * v[c] + v[c + 1]);
            y[c - 1] += s;
            y[c] -= 2 * s;
            y[c + 1] += s;
        }
        for (int i = 0; i + 1 < nx; ++i) {
            std::size_t c = row + i;
            double s = L.cgx * (v[c + 1] - v[c]);
            y[c + 1] += s;
            y[c] -= s;
        }
        if (j + 1 < ny) {
            std::size_t up = row + nx;
            for (int i = 0; i < nx; ++i) {
                double s = L.cgy * (v[up + i] - v[row + i]);
                y[up + i] += s;
                y[row + i] -= s;
            }
            for (int i = 0; i + 1 < nx; ++i) {
                double s = L.cxy * (v[row + i] - v[row + i + 1] - v[up + i] + v[up + i + 1]);
                y[row + i] += s;
                y[row + i + 1] -= s;
                y[up + i] -= s;
                y[up + i + 1] += s;
            }
        }
        if (j > 0 && j + 1 < ny) {
            std::size_t down = row - nx, up = row + nx;
            for (int i = 0; i < nx; ++i) {
                double s = L.cyy * (v[down + i] - 2 * v[row + i] + v[up + i]);
                y[down + i] += s;
                y[row + i] -= 2 * s;
                y[up + i] += s;
            }
        }
    }
}

/* r = f - M u. */
void Residual(Level &L, Interrupt &stop)
{
    Apply(L, L.u, L.r, stop);
    for (std::size_t k = 0; k < L.r.size(); ++k) {
        L.r[k] = L.f[k] - L.r[k];
    }
}

/* Chebyshev iteration on D^-1 M u = D^-1 f over the upper part of the
 * spectrum: damps the components that the coarser grids cannot see. */
void Smooth(Level &L, int degree, Interrupt &stop)
{
    double b = 1.05 * L.lambda, a = b / kSmoothRange;
    double theta = 0.5 * (b + a), delta = 0.5 * (b - a);
    double sigma = theta / delta, rho = 1.0 / sigma;
    std::size_t nodes = L.Nodes();
    Residual(L, stop);
    for (std::size_t k = 0; k < nodes; ++k) {
        L.d[k] = L.inv[k] * L.r[k] / theta;
    }
    for (int it = 0; it < degree; ++it) {
        for (std::size_t k = 0; k < nodes; ++k) {
            L.u[k] += L.d[k];
        }
        if (it + 1 == degree) {
            break;
        }
        Apply(L, L.d, L.t, stop);
        double next = 1.0 / (2.0 * sigma - rho);
        for (std::size_t k = 0; k < nodes; ++k) {
            L.r[k] -= L.t[k];
            L.d[k] = next * rho * L.d[k] + 2.0 * next / delta * L.inv[k] * L.r[k];
        }
        rho = next;
    }
}

/* The coarsest grid: the matrix assembled column by column and solved by
 * Cholesky's method. */
void SolveDirect(Level &L, Interrupt &stop)
{
    std::size_t n = L.Nodes();
    std::vector<double> m(n * n), e(n, 0.0), col(n);
    for (std::size_t c = 0; c < n; ++c) {
        e[c] = 1.0;
        Apply(L, e, col, stop);
        e[c] = 0.0;
        for (std::size_t r = 0; r < n; ++r) {
            m[r * n + c] = col[r];
        }
    }
    for (std::size_t k = 0; k < n; ++k) {
        double p = m[k * n + k];
        for (std::size_t i = 0; i < k; ++i) {
            p -= m[k * n + i] * m[k * n + i];
        }
        p = std::sqrt(std::max(p, 1e-300));
        m[k * n + k] = p;
        for (std::size_t r = k + 1; r < n; ++r) {
            double v = m[r * n + k];
            for (std::size_t i = 0; i < k; ++i) {
                v -= m[r * n + i] * m[k * n + i];
            }
            m[r * n + k] = v / p;
        }
    }
    std::vector<double> &x = L.u;
    for (std::size_t k = 0; k < n; ++k) {
        double v = L.f[k];
        for (std::size_t i = 0; i < k; ++i) {
            v -= m[k * n + i] * x[i];
        }
        x[k] = v / m[k * n + k];
    }
    for (std::size_t k = n; k-- > 0;) {
        double v = x[k];
        for (std::size_t i = k + 1; i < n; ++i) {
            v -= m[i * n + k] * x[i];
        }
        x[k] = v / m[k * n + k];
    }
}

/* fine.u += P coarse.u */
void Interpolate(const Level &coarse, Level &fine)
{
    int cnx = coarse.x.n;
    for (int j = 0; j < fine.y.n; ++j) {
        int J = fine.py.at[j];
        double wy = fine.py.w[j];
        int J1 = std::min(J + 1, coarse.y.n - 1);
        for (int i = 0; i < fine.x.n; ++i) {
            int I = fine.px.at[i];
            double wx = fine.px.w[i];
            int I1 = std::min(I + 1, cnx - 1);
            const double *u = coarse.u.data();
            double v = (1 - wy) * ((1 - wx) * u[static_cast<std::size_t>(J) * cnx + I] +
                                   wx * u[static_cast<std::size_t>(J) * cnx + I1]) +
                       wy * ((1 - wx) * u[static_cast<std::size_t>(J1) * cnx + I] +
                             wx * u[static_cast<std::size_t>(J1) * cnx + I1]);
            fine.u[static_cast<std::size_t>(j) * fine.x.n + i] += v;
        }
    }
}

/* coarse.f = P^T fine.r */
void Restrict(const Level &fine, Level &coarse)
{
    int cnx = coarse.x.n;
    std::fill(coarse.f.begin(), coarse.f.end(), 0.0);
    for (int j = 0; j < fine.y.n; ++j) {
        int J = fine.py.at[j];
        double wy = fine.py.w[j];
        int J1 = std::min(J + 1, coarse.y.n - 1);
        for (int i = 0; i < fine.x.n; ++i) {
            int I = fine.px.at[i];
            double wx = fine.px.w[i];
            int I1 = std::min(I + 1, cnx - 1);
            double r = fine.r[static_cast<std::size_t>(j) * fine.x.n + i];
            double *f = coarse.f.data();
            f[static_cast<std::size_t>(J) * cnx + I] += (1 - wy) * (1 - wx) * r;
            f[static_cast<std::size_t>(J) * cnx + I1] += (1 - wy) * wx * r;
            f[static_cast<std::size_t>(J1) * cnx + I] += wy * (1 - wx) * r;
            f[static_cast<std::size_t>(J1) * cnx + I1] += wy * wx * r;
        }
    }
}

void Cycle(std::vector<Level> &levels, std::size_t l, Interrupt &stop)
{
    Level &L = levels[l];
    if (l + 1 == levels.size()) {
        SolveDirect(L, stop);
        return;
    }
    Smooth(L, kSmoothDegree, stop);
    Residual(L, stop);
    Level &C = levels[l + 1];
    Restrict(L, C);
    std::fill(C.u.begin(), C.u.end(), 0.0);
    Cycle(levels, l + 1, stop);
    Interpolate(C, L);
    Smooth(L, kSmoothDegree, stop);
}

/* The axis of the next coarser level and the weights onto this one. */
Axis Coarser(const Axis &a, Prolong &p)
{
    Axis c = a;
    if (a.n > 3) {
        c.n = a.n / 2 + 1;
        c.k = a.k * (a.n - 1) / (c.n - 1);
    }
    p.at.resize(a.n);
    p.w.resize(a.n);
    for (int i = 0; i < a.n; ++i) {
        if (c.n == a.n) {
            p.at[i] = std::min(i, std::max(c.n - 2, 0));
            p.w[i] = c.n == 1 ? 0.0 : i - p.at[i];
            continue;
        }
        /* Exact in integers, so that a mirrored axis gets mirrored weights. */
        long long num = static_cast<long long>(i) * (c.n - 1);
        int at = static_cast<int>(num / (a.n - 1));
        long long rem = num % (a.n - 1);
        if (at == c.n - 1) {
            at = c.n - 2;
            rem = a.n - 1;
        }
        p.at[i] = at;
        p.w[i] = static_cast<double>(rem) / (a.n - 1);
    }
    return c;
}

} // namespace

void SurfaceFill(const std::vector<double> &gx, const std::vector<double> &gy,
                 const std::vector<double> &z, const SurfaceSetup &s, double *grid,
                 Interrupt &stop, SurfaceReport &report)
{
    report = SurfaceReport{};
    /* Values far from 1 in size are solved scaled by a power of two, which
     * is exact, so that the solver's sums and squares neither overflow nor
     * underflow (values near the largest double would give NaN). */
    double largest = 0.0;
    for (double v : z) {
        largest = std::max(largest, std::fabs(v));
    }
    int shift = 0;
    if (largest > 0x1p200 || (largest > 0.0 && largest < 0x1p-200)) {
        std::frexp(largest, &shift);
    }
    /* Values relative to the records' mean, which the ridge pulls to. */
    double mean = 0.0;
    for (double v : z) {
        mean += std::ldexp(v, -shift);
    }
    mean /= static_cast<double>(z.size());
    std::vector<double> dz(z.size());
    for (std::size_t k = 0; k < z.size(); ++k) {
        dz[k] = std::ldexp(z[k], -shift) - mean;
    }

    /* The levels, finest first; spacings in units of the mean cell side. */
    std::vector<Level> levels(1);
    levels[0].x = {s.nx, 1.0 / std::sqrt(s.aspect)};
    levels[0].y = {s.ny, std::sqrt(s.aspect)};
    while (levels.back().Nodes() > static_cast<std::size_t>(kDirect) &&
           (levels.back().x.n > 3 || levels.back().y.n > 3)) {
        Level next;
        Level &fine = levels.back();
        next.x = Coarser(fine.x, fine.px);
        next.y = Coarser(fine.y, fine.py);
        levels.push_back(std::move(next));
    }
    /* The coarser grids only guide the finest one's solution, so they see
     * the records gathered by nearest finest node: one record of their
     * mean position and value, weighted by their count (their weights'
     * sum, and the means weighted, for weighted records). */
    std::vector<double> ax, ay, az, aw;
    if (levels.size() > 1) {
        std::vector<double> sum(levels[0].Nodes() * 4, 0.0);
        for (std::size_t k = 0; k < z.size(); ++k) {
            long long i = std::llround(std::clamp(gx[k], 0.0, s.nx - 1.0));
            long long j = std::llround(std::clamp(gy[k], 0.0, s.ny - 1.0));
            double *a = &sum[(static_cast<std::size_t>(j) * s.nx + i) * 4];
            if (s.weight != nullptr) {
                double w = (*s.weight)[k];
                a[0] += w;
                a[1] += w * gx[k];
                a[2] += w * gy[k];
                a[3] += w * dz[k];
                continue;
            }
            a[0] += 1.0;
            a[1] += gx[k];
            a[2] += gy[k];
            a[3] += dz[k];
        }
        for (std::size_t n = 0; n < levels[0].Nodes(); ++n) {
            const double *a = &sum[n * 4];
            if (a[0] > 0.0) {
                ax.push_back(a[1] / a[0]);
                ay.push_back(a[2] / a[0]);
                az.push_back(a[3] / a[0]);
                aw.push_back(a[0]);
            }
        }
    }
    for (std::size_t l = 0; l < levels.size(); ++l) {
        Level &L = levels[l];
        double sx = s.nx > 1 ? static_cast<double>(L.x.n - 1) / (s.nx - 1) : 0.0;
        double sy = s.ny > 1 ? static_cast<double>(L.y.n - 1) / (s.ny - 1) : 0.0;
        if (l == 0) {
            AddRecords(L, gx, gy, dz, s.weight, sx, sy, stop);
        } else {
            AddRecords(L, ax, ay, az, &aw, sx, sy, stop);
        }
        Prepare(L, kSmoothing, s.tension);
    }

    /* Full multigrid: each level starts from the coarser one's surface. */
    for (std::size_t l = levels.size(); l-- > 0;) {
        Level &L = levels[l];
        L.f = L.rhs;
        if (l + 1 == levels.size()) {
            SolveDirect(L, stop);
            continue;
        }
        std::fill(L.u.begin(), L.u.end(), 0.0);
        Interpolate(levels[l + 1], L);
        Cycle(levels, l, stop);
    }

    /* Conjugate gradients on the finest grid, each step preconditioned by
     * one V-cycle (symmetric: the same smoothing before and after, and
     * restriction the transpose of interpolation), from the full multigrid
     * surface until the residual has fallen enough. */
    Level &F = levels[0];
    std::size_t nodes = F.Nodes();
    std::vector<double> x = F.u, r(nodes), pz(nodes), p(nodes), q(nodes);
    auto dot = [](const std::vector<double> &a, const std::vector<double> &b) {
        /* Compensated, so that the order of the nodes hardly matters. */
        double sum = 0.0, carry = 0.0;
        for (std::size_t k = 0; k < a.size(); ++k) {
            double term = a[k] * b[k], t = sum + term;
            carry += std::fabs(sum) >= std::fabs(term) ? (sum - t) + term : (term - t) + sum;
            sum = t;
        }
        return sum + carry;
    };
    auto precondition = [&]() {
        if (levels.size() == 1) {
            F.f = r;
            SolveDirect(F, stop);
        } else {
            F.f = r;
            std::fill(F.u.begin(), F.u.end(), 0.0);
            Cycle(levels, 0, stop);
        }
        pz = F.u;
    };
    Apply(F, x, q, stop);
    for (std::size_t k = 0; k < nodes; ++k) {
        r[k] = F.rhs[k] - q[k];
    }
    double first = std::sqrt(dot(F.rhs, F.rhs));
    double now = std::sqrt(dot(r, r));
    report.residual = first > 0 ? now / first : 0.0;
    if (now > kTolerance * first) {
        precondition();
        p = pz;
        double rz = dot(r, pz);
        for (int c = 0; c < kMaxCycles; ++c) {
            Apply(F, p, q, stop);
            double pq = dot(p, q);
            if (!(pq > 0.0)) {
                break;
            }
            double alpha = rz / pq;
            for (std::size_t k = 0; k < nodes; ++k) {
                x[k] += alpha * p[k];
                r[k] -= alpha * q[k];
            }
            report.cycles = c + 1;
            now = std::sqrt(dot(r, r));
            report.residual = first > 0 ? now / first : 0.0;
            if (now <= kTolerance * first) {
                break;
            }
            precondition();
            double next = dot(r, pz);
            double beta = next / rz;
            rz = next;
            for (std::size_t k = 0; k < nodes; ++k) {
                p[k] = pz[k] + beta * p[k];
            }
        }
    }
    F.u = x;
    for (std::size_t k = 0; k < F.Nodes(); ++k) {
        double v = std::ldexp(F.u[k] + mean, shift);
        if (v < s.lower || v > s.upper) {
            v = std::clamp(v, s.lower, s.upper);
            ++report.clamped;
        }
        grid[k] = v;
    }
}

} // namespace kardum::package
