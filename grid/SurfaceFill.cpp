/*
 * SurfaceFill.cpp --
 *
 *	The continuous-curvature surface in tension, by multigrid (see
 *	SurfaceFill.h for the problem it solves).
 *
 *	The work is shared among the threads of a Team so that the grid is
 *	the same, bit for bit, whatever their number: every node's value is
 *	computed by one thread from values fixed before the step began (the
 *	matrix is applied node by node, gathering from the neighbours; the
 *	restriction gathers onto each coarse node), each cell sums its
 *	records in the records' order (the threads share the rows of cells,
 *	not the records), and a dot product adds fixed blocks of nodes, then
 *	the blocks in order.  Only the calling thread polls the interpreter,
 *	between steps.
 */

#include "grid/SurfaceFill.h"

#include "frame/Frame.h"
#include "grid/LargeBuffer.h"
#include "grid/Team.h"

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
/* Levels of fewer nodes run on the calling thread alone (a step there
 * costs less than waking the helpers). */
constexpr std::size_t kSharedNodes = 12000;
/* Nodes from which a job takes helper threads unless KARDUM_THREADS says. */
constexpr std::size_t kHelpedNodes = 200000;
/* Nodes of a dot product's block, whatever the threads. */
constexpr std::size_t kDotBlock = 4096;
/* Records scanned between two polls of the interpreter. */
constexpr std::size_t kRecordSlice = std::size_t{1} << 17;

/* One axis of a level: nodes and their spacing. */
struct Axis {
    int n = 1;
    double k = 1.0;             /* spacing, in units of the mean cell side */
};

/* Bilinear weights from a coarse axis onto a finer one, and the same
 * weights gathered by coarse node (for the restriction, their transpose). */
struct Prolong {
    std::vector<int> at;        /* fine node i lies between coarse at[i], at[i] + 1 */
    std::vector<double> w;      /* weight of coarse at[i] + 1 */
    std::vector<int> from;      /* coarse node I takes fine nodes fine[from[I] .. from[I+1]) */
    std::vector<int> fine;
    std::vector<double> weight;
};

/* The matrix's upper half at a node: its diagonal, and its coupling with
 * the nodes east (i+1), north (j+1), north-east, north-west, two east and
 * two north. */
enum { kC, kE, kN, kNE, kNW, kEE, kNN, kStencil };

/* Per cell (between four nodes) the records' part of the matrix, packed
 * 00 01 02 03 11 12 13 22 23 33 over its nodes (i,j) (i+1,j) (i,j+1)
 * (i+1,j+1), then their parts of the right-hand side. */
constexpr int kCellSize = 14;

using Vec = std::pmr::vector<double>;

struct Level {
    explicit Level(std::pmr::memory_resource *m)
        : cell(m), a(m), rhs(m), inv(m), u(m), f(m), r(m), d(m), t(m), rows(m) {}

    Axis x, y;
    std::size_t Nodes() const { return static_cast<std::size_t>(x.n) * y.n; }
    int cx() const { return std::max(x.n - 1, 1); }
    int cy() const { return std::max(y.n - 1, 1); }
    bool Shared() const { return Nodes() >= kSharedNodes; }

    Vec cell;
    Vec a;                      /* kStencil per node */
    Vec rhs;                    /* the records' right-hand side */
    Vec inv;                    /* 1 / the diagonal of the Jacobi scaling */
    double lambda = 1.0;        /* bound on the largest eigenvalue of D^-1 M */
    double cxx = 0, cyy = 0, cxy = 0, cgx = 0, cgy = 0, ridge = 0;
    Prolong px, py;             /* from the next coarser level onto this one */
    Vec u, f, r, d, t;
    Vec rows;                   /* restriction: fine rows by coarse columns */
};

/* Runs f(j0, j1) over bands of rows 0 .. rows-1: on the team for a level
 * that shares its work, else at once. */
template <class F>
void ByRows(Team &team, bool shared, int rows, F &&f)
{
    if (!shared || team.Size() == 1) {
        f(0, rows);
        return;
    }
    int parts = std::min(rows, 4 * team.Size());
    team.Run(parts, [&](int p) {
        f(static_cast<int>(static_cast<long long>(rows) * p / parts),
          static_cast<int>(static_cast<long long>(rows) * (p + 1) / parts));
    });
}

/* Records looked ahead when their cells are fetched early. */
constexpr std::size_t kAhead = 12;

inline void Prefetch(const double *p)
{
#if defined(__GNUC__)
    __builtin_prefetch(p, 1);
#else
    (void)p;
#endif
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

/* The records' values as the solver sees them: relative to their mean,
 * scaled by 2^-shift; with weights (the coarse levels' gathered records)
 * or without. */
struct RecordSet {
    const std::vector<double> &gx, &gy, &z;
    const std::vector<double> *weight;
    double mean;
    int shift;

    double Value(std::size_t k) const
    {
        return (shift == 0 ? z[k] : std::ldexp(z[k], -shift)) - mean;
    }
};

/*
 * The records' part of a level: every record's bilinear weights summed
 * into its cell.  The threads take bands of rows of cells and each scans
 * all records, so every cell adds its records in their order.  The
 * right-hand side is then gathered onto the nodes from their cells.
 */
void AddRecords(Level &L, const RecordSet &set, double sx, double sy, Team &team,
                Interrupt &stop)
{
    std::size_t cells = static_cast<std::size_t>(L.cx()) * L.cy();
    L.cell.assign(cells * kCellSize, 0.0);
    std::size_t count = set.z.size();
    bool shared = count >= kSharedNodes && team.Size() > 1;
    int bands = shared ? team.Size() : 1;
    int ny = L.y.n, cy = L.cy();
    for (std::size_t first = 0; first < count; first += kRecordSlice) {
        if (stop.Check()) {
            throw TclError{};
        }
        std::size_t last = std::min(count, first + kRecordSlice);
        auto band = [&](int b) {
            int j0 = static_cast<int>(static_cast<long long>(cy) * b / bands);
            int j1 = static_cast<int>(static_cast<long long>(cy) * (b + 1) / bands);
            for (std::size_t k = first; k < last; ++k) {
                int i, j;
                double wx, wy;
                if (k + kAhead < last) {
                    /* the cell of a record further on, fetched while this
                     * one is summed (the cells are reached at random) */
                    Locate(set.gy[k + kAhead] * sy, ny, j, wy);
                    if (j >= j0 && j < j1) {
                        Locate(set.gx[k + kAhead] * sx, L.x.n, i, wx);
                        const double *ahead =
                            &L.cell[(static_cast<std::size_t>(j) * L.cx() + i) * kCellSize];
                        Prefetch(ahead);
                        Prefetch(ahead + kCellSize - 1);
                    }
                }
                Locate(set.gy[k] * sy, ny, j, wy);
                if (j < j0 || j >= j1) {
                    continue;
                }
                Locate(set.gx[k] * sx, L.x.n, i, wx);
                double w[4] = {(1 - wx) * (1 - wy), wx * (1 - wy), (1 - wx) * wy, wx * wy};
                double c = set.weight ? (*set.weight)[k] : 1.0;
                double *a = &L.cell[(static_cast<std::size_t>(j) * L.cx() + i) * kCellSize];
                double cw[4] = {c * w[0], c * w[1], c * w[2], c * w[3]};
                a[0] += cw[0] * w[0]; a[1] += cw[0] * w[1]; a[2] += cw[0] * w[2]; a[3] += cw[0] * w[3];
                a[4] += cw[1] * w[1]; a[5] += cw[1] * w[2]; a[6] += cw[1] * w[3];
                a[7] += cw[2] * w[2]; a[8] += cw[2] * w[3];
                a[9] += cw[3] * w[3];
                double v = set.Value(k);
                a[10] += cw[0] * v;
                a[11] += cw[1] * v;
                a[12] += cw[2] * v;
                a[13] += cw[3] * v;
            }
        };
        if (shared) {
            team.Run(bands, band);
        } else {
            band(0);
        }
    }
    /* Each node's right-hand side from the cells around it, in a fixed
     * order (the cells below-left, below, left, its own). */
    L.rhs.assign(L.Nodes(), 0.0);
    int nx = L.x.n, cx = L.cx();
    ByRows(team, L.Shared(), ny, [&](int j0, int j1) {
        for (int j = j0; j < j1; ++j) {
            for (int i = 0; i < nx; ++i) {
                std::size_t node = static_cast<std::size_t>(j) * nx + i;
                double sum = 0.0;
                for (int cj = j - 1; cj <= j; ++cj) {
                    for (int ci = i - 1; ci <= i; ++ci) {
                        if (ci < 0 || cj < 0 || ci >= cx || cj >= cy) {
                            continue;
                        }
                        std::size_t n[4];
                        CellNodes(L, ci, cj, n);
                        const double *a =
                            &L.cell[(static_cast<std::size_t>(cj) * cx + ci) * kCellSize];
                        for (int p = 0; p < 4; ++p) {
                            if (n[p] == node) {
                                sum += a[10 + p];
                            }
                        }
                    }
                }
                L.rhs[node] = sum;
            }
        }
    });
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

/* Adds `value` to the matrix's entry (n, m) when it lies in the stored
 * upper half (n <= m). */
inline void AddEntry(Level &L, std::size_t n, std::size_t m, double value)
{
    if (n > m) {
        return;
    }
    std::size_t nx = static_cast<std::size_t>(L.x.n), off = m - n;
    int slot;
    if (nx >= 4) {
        /* the offsets 0, 1, 2, nx - 1, nx, nx + 1, 2 nx are distinct */
        slot = off == 0 ? kC : off == 1 ? kE : off == 2 ? kEE : off == nx - 1 ? kNW
             : off == nx ? kN : off == nx + 1 ? kNE : kNN;
    } else {
        long long di = static_cast<long long>(m % nx) - static_cast<long long>(n % nx);
        long long dj = static_cast<long long>(m / nx) - static_cast<long long>(n / nx);
        slot = dj == 0 ? (di == 0 ? kC : di == 1 ? kE : kEE)
             : dj == 1 ? (di == 0 ? kN : di == 1 ? kNE : kNW)
                       : kNN;
    }
    L.a[n * kStencil + slot] += value;
}

/* The coefficients, the matrix, the Jacobi scaling and the bound on
 * D^-1 M of a level. */
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
    Vec diag(nodes, 0.0, L.a.get_allocator()), bound(nodes, 0.0, L.a.get_allocator());
    L.a.assign(nodes * kStencil, 0.0);
    static const int kPacked[4][4] = {{0, 1, 2, 3}, {1, 4, 5, 6}, {2, 5, 7, 8}, {3, 6, 8, 9}};
    for (int j = 0; j < L.cy(); ++j) {
        for (int i = 0; i < L.cx(); ++i) {
            std::size_t n[4];
            CellNodes(L, i, j, n);
            const double *a = &L.cell[(static_cast<std::size_t>(j) * L.cx() + i) * kCellSize];
            for (int p = 0; p < 4; ++p) {
                diag[n[p]] += a[kPacked[p][p]];
                for (int q = 0; q < 4; ++q) {
                    bound[n[p]] += std::fabs(a[kPacked[p][q]]);
                    AddEntry(L, n[p], n[q], a[kPacked[p][q]]);
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
            diag[n[p]] += w * c[p] * c[p];
            bound[n[p]] += w * std::fabs(c[p]) * sum;
            for (int q = 0; q < m; ++q) {
                AddEntry(L, n[p], n[q], w * c[p] * c[q]);
            }
        }
    });
    /* The records are summed into the matrix: their cells are no longer
     * needed. */
    L.cell.clear();
    L.cell.shrink_to_fit();
    L.inv.resize(nodes);
    L.lambda = 0.0;
    for (std::size_t k = 0; k < nodes; ++k) {
        L.inv[k] = 1.0 / diag[k];
        L.lambda = std::max(L.lambda, bound[k] * L.inv[k]);
    }
    L.u.assign(nodes, 0.0);
    L.f.assign(nodes, 0.0);
    L.r.assign(nodes, 0.0);
    L.d.assign(nodes, 0.0);
    L.t.assign(nodes, 0.0);
}

/*
 * (M v) at the nodes of rows j0 .. j1-1, gathered from each node's
 * neighbours in a fixed order; out(node, value) stores it.  Away from
 * the edges the neighbours are taken without checks.
 */
template <class Out>
void ApplyRows(const Level &L, const double *v, int j0, int j1, Out &&out)
{
    const int nx = L.x.n, ny = L.y.n;
    const std::size_t w = static_cast<std::size_t>(nx);
    const double *a = L.a.data();
    auto at = [&](std::size_t n, int slot) { return a[n * kStencil + slot]; };
    auto edge = [&](int i, int j) {
        std::size_t n = static_cast<std::size_t>(j) * w + i;
        double s = at(n, kC) * v[n];
        if (i + 1 < nx) s += at(n, kE) * v[n + 1];
        if (i > 0) s += at(n - 1, kE) * v[n - 1];
        if (j + 1 < ny) s += at(n, kN) * v[n + w];
        if (j > 0) s += at(n - w, kN) * v[n - w];
        if (i + 1 < nx && j + 1 < ny) s += at(n, kNE) * v[n + w + 1];
        if (i > 0 && j > 0) s += at(n - w - 1, kNE) * v[n - w - 1];
        if (i > 0 && j + 1 < ny) s += at(n, kNW) * v[n + w - 1];
        if (i + 1 < nx && j > 0) s += at(n - w + 1, kNW) * v[n - w + 1];
        if (i + 2 < nx) s += at(n, kEE) * v[n + 2];
        if (i > 1) s += at(n - 2, kEE) * v[n - 2];
        if (j + 2 < ny) s += at(n, kNN) * v[n + 2 * w];
        if (j > 1) s += at(n - 2 * w, kNN) * v[n - 2 * w];
        out(n, s);
    };
    for (int j = j0; j < j1; ++j) {
        if (j < 2 || j + 2 >= ny || nx < 5) {
            for (int i = 0; i < nx; ++i) {
                edge(i, j);
            }
            continue;
        }
        edge(0, j);
        edge(1, j);
        std::size_t row = static_cast<std::size_t>(j) * w;
        for (std::size_t n = row + 2; n < row + w - 2; ++n) {
            const double *c = a + n * kStencil;
            double s = c[kC] * v[n];
            s += c[kE] * v[n + 1];
            s += a[(n - 1) * kStencil + kE] * v[n - 1];
            s += c[kN] * v[n + w];
            s += a[(n - w) * kStencil + kN] * v[n - w];
            s += c[kNE] * v[n + w + 1];
            s += a[(n - w - 1) * kStencil + kNE] * v[n - w - 1];
            s += c[kNW] * v[n + w - 1];
            s += a[(n - w + 1) * kStencil + kNW] * v[n - w + 1];
            s += c[kEE] * v[n + 2];
            s += a[(n - 2) * kStencil + kEE] * v[n - 2];
            s += c[kNN] * v[n + 2 * w];
            s += a[(n - 2 * w) * kStencil + kNN] * v[n - 2 * w];
            out(n, s);
        }
        edge(nx - 2, j);
        edge(nx - 1, j);
    }
}

/* y = M v. */
void Apply(const Level &L, const Vec &v, Vec &y, Team &team,
           Interrupt &stop)
{
    if (stop.Poll()) {
        throw TclError{};
    }
    ByRows(team, L.Shared(), L.y.n, [&](int j0, int j1) {
        ApplyRows(L, v.data(), j0, j1, [&](std::size_t n, double s) { y[n] = s; });
    });
}

/* r = f - M u. */
void Residual(Level &L, Team &team, Interrupt &stop)
{
    if (stop.Poll()) {
        throw TclError{};
    }
    ByRows(team, L.Shared(), L.y.n, [&](int j0, int j1) {
        ApplyRows(L, L.u.data(), j0, j1,
                  [&](std::size_t n, double s) { L.r[n] = L.f[n] - s; });
    });
}

/* f(k0, k1) over the nodes of a level, in bands of whole rows. */
template <class F>
void ByNodes(const Level &L, Team &team, F &&f)
{
    std::size_t nx = static_cast<std::size_t>(L.x.n);
    ByRows(team, L.Shared(), L.y.n, [&](int j0, int j1) { f(j0 * nx, j1 * nx); });
}

/* Chebyshev iteration on D^-1 M u = D^-1 f over the upper part of the
 * spectrum: damps the components that the coarser grids cannot see. */
void Smooth(Level &L, int degree, Team &team, Interrupt &stop)
{
    double b = 1.05 * L.lambda, a = b / kSmoothRange;
    double theta = 0.5 * (b + a), delta = 0.5 * (b - a);
    double sigma = theta / delta, rho = 1.0 / sigma;
    Residual(L, team, stop);
    ByNodes(L, team, [&](std::size_t k0, std::size_t k1) {
        for (std::size_t k = k0; k < k1; ++k) {
            L.d[k] = L.inv[k] * L.r[k] / theta;
        }
    });
    for (int it = 0; it < degree; ++it) {
        if (it + 1 == degree) {
            ByNodes(L, team, [&](std::size_t k0, std::size_t k1) {
                for (std::size_t k = k0; k < k1; ++k) {
                    L.u[k] += L.d[k];
                }
            });
            break;
        }
        Apply(L, L.d, L.t, team, stop);
        double next = 1.0 / (2.0 * sigma - rho);
        ByNodes(L, team, [&](std::size_t k0, std::size_t k1) {
            for (std::size_t k = k0; k < k1; ++k) {
                L.u[k] += L.d[k];
                L.r[k] -= L.t[k];
                L.d[k] = next * rho * L.d[k] + 2.0 * next / delta * L.inv[k] * L.r[k];
            }
        });
        rho = next;
    }
}

/* The coarsest grid: the matrix assembled column by column and solved by
 * Cholesky's method. */
void SolveDirect(Level &L, Team &team, Interrupt &stop)
{
    std::size_t n = L.Nodes();
    std::vector<double> m(n * n);
    Vec e(n, 0.0, L.u.get_allocator()), col(n, 0.0, L.u.get_allocator());
    for (std::size_t c = 0; c < n; ++c) {
        e[c] = 1.0;
        Apply(L, e, col, team, stop);
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
    Vec &x = L.u;
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
void Interpolate(const Level &coarse, Level &fine, Team &team)
{
    int cnx = coarse.x.n;
    const double *u = coarse.u.data();
    ByRows(team, fine.Shared(), fine.y.n, [&](int j0, int j1) {
        for (int j = j0; j < j1; ++j) {
            int J = fine.py.at[j];
            double wy = fine.py.w[j];
            int J1 = std::min(J + 1, coarse.y.n - 1);
            for (int i = 0; i < fine.x.n; ++i) {
                int I = fine.px.at[i];
                double wx = fine.px.w[i];
                int I1 = std::min(I + 1, cnx - 1);
                double v = (1 - wy) * ((1 - wx) * u[static_cast<std::size_t>(J) * cnx + I] +
                                       wx * u[static_cast<std::size_t>(J) * cnx + I1]) +
                           wy * ((1 - wx) * u[static_cast<std::size_t>(J1) * cnx + I] +
                                 wx * u[static_cast<std::size_t>(J1) * cnx + I1]);
                fine.u[static_cast<std::size_t>(j) * fine.x.n + i] += v;
            }
        }
    });
}

/* coarse.f = P^T fine.r: along x for every fine row, then along y, each
 * coarse value gathered from its fine ones in their order. */
void Restrict(Level &fine, Level &coarse, Team &team)
{
    int cnx = coarse.x.n, fnx = fine.x.n;
    const Prolong &px = fine.px, &py = fine.py;
    ByRows(team, fine.Shared(), fine.y.n, [&](int j0, int j1) {
        for (int j = j0; j < j1; ++j) {
            const double *r = &fine.r[static_cast<std::size_t>(j) * fnx];
            double *row = &fine.rows[static_cast<std::size_t>(j) * cnx];
            for (int I = 0; I < cnx; ++I) {
                double sum = 0.0;
                for (int q = px.from[I]; q < px.from[I + 1]; ++q) {
                    sum += px.weight[q] * r[px.fine[q]];
                }
                row[I] = sum;
            }
        }
    });
    ByRows(team, coarse.Shared(), coarse.y.n, [&](int J0, int J1) {
        for (int J = J0; J < J1; ++J) {
            double *f = &coarse.f[static_cast<std::size_t>(J) * cnx];
            std::fill(f, f + cnx, 0.0);
            for (int q = py.from[J]; q < py.from[J + 1]; ++q) {
                const double *row = &fine.rows[static_cast<std::size_t>(py.fine[q]) * cnx];
                double w = py.weight[q];
                for (int I = 0; I < cnx; ++I) {
                    f[I] += w * row[I];
                }
            }
        }
    });
}

void Cycle(std::vector<Level> &levels, std::size_t l, Team &team, Interrupt &stop)
{
    Level &L = levels[l];
    if (l + 1 == levels.size()) {
        SolveDirect(L, team, stop);
        return;
    }
    Smooth(L, kSmoothDegree, team, stop);
    Residual(L, team, stop);
    Level &C = levels[l + 1];
    Restrict(L, C, team);
    std::fill(C.u.begin(), C.u.end(), 0.0);
    Cycle(levels, l + 1, team, stop);
    Interpolate(C, L, team);
    Smooth(L, kSmoothDegree, team, stop);
}

/* The weights of prolongation p gathered by coarse node, for its
 * transpose: per coarse node, the fine nodes in their order, the lower
 * neighbour's weight before the upper one's. */
void Transpose(Prolong &p, int coarse)
{
    int fine = static_cast<int>(p.at.size());
    p.from.assign(static_cast<std::size_t>(coarse) + 1, 0);
    std::vector<std::vector<std::pair<int, double>>> by(static_cast<std::size_t>(coarse));
    for (int i = 0; i < fine; ++i) {
        int lo = p.at[i], hi = std::min(p.at[i] + 1, coarse - 1);
        by[lo].emplace_back(i, 1 - p.w[i]);
        by[hi].emplace_back(i, p.w[i]);
    }
    p.fine.clear();
    p.weight.clear();
    for (int c = 0; c < coarse; ++c) {
        p.from[c] = static_cast<int>(p.fine.size());
        for (const auto &e : by[c]) {
            p.fine.push_back(e.first);
            p.weight.push_back(e.second);
        }
    }
    p.from[coarse] = static_cast<int>(p.fine.size());
}

/* a . b, compensated within fixed blocks of nodes, the blocks then added
 * in order: the same sum whatever the threads. */
double Dot(const Vec &a, const Vec &b, bool shared, Team &team, Vec &partial)
{
    std::size_t n = a.size();
    int blocks = PartsOf(n, kDotBlock);
    partial.assign(2 * static_cast<std::size_t>(blocks), 0.0);
    auto block = [&](int p) {
        std::size_t k0 = static_cast<std::size_t>(p) * kDotBlock;
        std::size_t k1 = std::min(n, k0 + kDotBlock);
        double sum = 0.0, carry = 0.0;
        for (std::size_t k = k0; k < k1; ++k) {
            double term = a[k] * b[k], t = sum + term;
            carry += std::fabs(sum) >= std::fabs(term) ? (sum - t) + term : (term - t) + sum;
            sum = t;
        }
        partial[2 * static_cast<std::size_t>(p)] = sum;
        partial[2 * static_cast<std::size_t>(p) + 1] = carry;
    };
    if (shared && team.Size() > 1) {
        team.Run(blocks, block);
    } else {
        for (int p = 0; p < blocks; ++p) {
            block(p);
        }
    }
    double sum = 0.0, carry = 0.0;
    for (int p = 0; p < blocks; ++p) {
        double term = partial[2 * static_cast<std::size_t>(p)], t = sum + term;
        carry += std::fabs(sum) >= std::fabs(term) ? (sum - t) + term : (term - t) + sum;
        carry += partial[2 * static_cast<std::size_t>(p) + 1];
        sum = t;
    }
    return sum + carry;
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
    /* Helpers only for a lattice large enough to repay them: measured,
     * a second core wins from about 200,000 nodes (8 to 20 % of the wall
     * time), and below that costs more than it gives, however many the
     * records.  KARDUM_THREADS sets them for any job. */
    std::size_t nodes = static_cast<std::size_t>(s.nx) * s.ny;
    Team team(ThreadCountSet() || nodes >= kHelpedNodes ? ThreadCount() : 1);
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
    RecordSet records{gx, gy, z, s.weight, mean, shift};

    /* Every array of the solver comes from one arena, sized for the
     * finest level's share (about 56 doubles a node, all levels together). */
    Arena arena(std::min<std::size_t>(nodes, std::size_t{1} << 22) * 64 * sizeof(double));
    std::pmr::memory_resource *m = arena.Resource();

    /* The levels, finest first; spacings in units of the mean cell side. */
    std::vector<Level> levels;
    levels.emplace_back(m);
    levels[0].x = {s.nx, 1.0 / std::sqrt(s.aspect)};
    levels[0].y = {s.ny, std::sqrt(s.aspect)};
    while (levels.back().Nodes() > static_cast<std::size_t>(kDirect) &&
           (levels.back().x.n > 3 || levels.back().y.n > 3)) {
        Level next(m);
        Level &fine = levels.back();
        next.x = Coarser(fine.x, fine.px);
        next.y = Coarser(fine.y, fine.py);
        Transpose(fine.px, next.x.n);
        Transpose(fine.py, next.y.n);
        fine.rows.assign(static_cast<std::size_t>(fine.y.n) * next.x.n, 0.0);
        levels.push_back(std::move(next));
    }
    /* The coarser grids only guide the finest one's solution, so they see
     * the records gathered by nearest finest node: one record of their
     * mean position and value, weighted by their count (their weights'
     * sum, and the means weighted, for weighted records).  The threads take
     * bands of rows of nodes, each node adding its records in their
     * order. */
    std::vector<double> ax, ay, az, aw;
    if (levels.size() > 1) {
        Vec sum(nodes * 4, 0.0, m);
        bool shared = z.size() >= kSharedNodes && team.Size() > 1;
        int bands = shared ? team.Size() : 1;
        for (std::size_t first = 0; first < z.size(); first += kRecordSlice) {
            if (stop.Check()) {
                throw TclError{};
            }
            std::size_t last = std::min(z.size(), first + kRecordSlice);
            auto band = [&](int b) {
                long long j0 = static_cast<long long>(s.ny) * b / bands;
                long long j1 = static_cast<long long>(s.ny) * (b + 1) / bands;
                for (std::size_t k = first; k < last; ++k) {
                    if (k + kAhead < last) {
                        long long ja = std::llround(std::clamp(gy[k + kAhead], 0.0, s.ny - 1.0));
                        if (ja >= j0 && ja < j1) {
                            long long ia =
                                std::llround(std::clamp(gx[k + kAhead], 0.0, s.nx - 1.0));
                            Prefetch(&sum[(static_cast<std::size_t>(ja) * s.nx + ia) * 4]);
                        }
                    }
                    long long j = std::llround(std::clamp(gy[k], 0.0, s.ny - 1.0));
                    if (j < j0 || j >= j1) {
                        continue;
                    }
                    long long i = std::llround(std::clamp(gx[k], 0.0, s.nx - 1.0));
                    double *a = &sum[(static_cast<std::size_t>(j) * s.nx + i) * 4];
                    if (s.weight != nullptr) {
                        double w = (*s.weight)[k];
                        a[0] += w;
                        a[1] += w * gx[k];
                        a[2] += w * gy[k];
                        a[3] += w * records.Value(k);
                        continue;
                    }
                    a[0] += 1.0;
                    a[1] += gx[k];
                    a[2] += gy[k];
                    a[3] += records.Value(k);
                }
            };
            if (shared) {
                team.Run(bands, band);
            } else {
                band(0);
            }
        }
        std::size_t used = 0;
        for (std::size_t n = 0; n < nodes; ++n) {
            used += sum[n * 4] > 0.0;
        }
        ax.reserve(used);
        ay.reserve(used);
        az.reserve(used);
        aw.reserve(used);
        for (std::size_t n = 0; n < nodes; ++n) {
            const double *a = &sum[n * 4];
            if (a[0] > 0.0) {
                ax.push_back(a[1] / a[0]);
                ay.push_back(a[2] / a[0]);
                az.push_back(a[3] / a[0]);
                aw.push_back(a[0]);
            }
        }
    }
    RecordSet gathered{ax, ay, az, &aw, 0.0, 0};
    for (std::size_t l = 0; l < levels.size(); ++l) {
        Level &L = levels[l];
        double sx = s.nx > 1 ? static_cast<double>(L.x.n - 1) / (s.nx - 1) : 0.0;
        double sy = s.ny > 1 ? static_cast<double>(L.y.n - 1) / (s.ny - 1) : 0.0;
        AddRecords(L, l == 0 ? records : gathered, sx, sy, team, stop);
        Prepare(L, kSmoothing, s.tension);
    }

    /* Full multigrid: each level starts from the coarser one's surface. */
    for (std::size_t l = levels.size(); l-- > 0;) {
        Level &L = levels[l];
        L.f = L.rhs;
        if (l + 1 == levels.size()) {
            SolveDirect(L, team, stop);
            continue;
        }
        std::fill(L.u.begin(), L.u.end(), 0.0);
        Interpolate(levels[l + 1], L, team);
        Cycle(levels, l, team, stop);
    }

    /* Conjugate gradients on the finest grid, each step preconditioned by
     * one V-cycle (symmetric: the same smoothing before and after, and
     * restriction the transpose of interpolation), from the full multigrid
     * surface until the residual has fallen enough. */
    Level &F = levels[0];
    bool shared = F.Shared();
    Vec x(F.u, m), r(nodes, 0.0, m), pz(nodes, 0.0, m), p(nodes, 0.0, m), q(nodes, 0.0, m),
        partial(m);
    auto dot = [&](const Vec &a, const Vec &b) {
        return Dot(a, b, shared, team, partial);
    };
    auto precondition = [&]() {
        F.f = r;
        if (levels.size() == 1) {
            SolveDirect(F, team, stop);
        } else {
            std::fill(F.u.begin(), F.u.end(), 0.0);
            Cycle(levels, 0, team, stop);
        }
        pz = F.u;
    };
    Apply(F, x, q, team, stop);
    ByNodes(F, team, [&](std::size_t k0, std::size_t k1) {
        for (std::size_t k = k0; k < k1; ++k) {
            r[k] = F.rhs[k] - q[k];
        }
    });
    double first = std::sqrt(dot(F.rhs, F.rhs));
    double now = std::sqrt(dot(r, r));
    report.residual = first > 0 ? now / first : 0.0;
    if (now > kTolerance * first) {
        precondition();
        p = pz;
        double rz = dot(r, pz);
        for (int c = 0; c < kMaxCycles; ++c) {
            Apply(F, p, q, team, stop);
            double pq = dot(p, q);
            if (!(pq > 0.0)) {
                break;
            }
            double alpha = rz / pq;
            ByNodes(F, team, [&](std::size_t k0, std::size_t k1) {
                for (std::size_t k = k0; k < k1; ++k) {
                    x[k] += alpha * p[k];
                    r[k] -= alpha * q[k];
                }
            });
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
            ByNodes(F, team, [&](std::size_t k0, std::size_t k1) {
                for (std::size_t k = k0; k < k1; ++k) {
                    p[k] = pz[k] + beta * p[k];
                }
            });
        }
    }
    for (std::size_t k = 0; k < nodes; ++k) {
        double v = std::ldexp(x[k] + mean, shift);
        if (v < s.lower || v > s.upper) {
            v = std::clamp(v, s.lower, s.upper);
            ++report.clamped;
        }
        grid[k] = v;
    }
}

} // namespace kardum::package
