/*
 * MatrixInvCmd.cpp --
 *
 *	KDmatrixInv: inverts a square matrix in place by Gauss-Jordan
 *	elimination with full pivoting and, at the same time, solves A.X = B
 *	for any number of right-hand-side columns.  MatrixInv_C is the one
 *	linear solver of the library: the fits call it on their normal
 *	equations.
 *
 *	KDmatrixInv Order Matrix ?MatrixOff? ?nRhs? ?Rhs? ?RhsOff?
 */

#include "kardum.h"
#include "frame/Frame.h"
#include "frame/Interrupt.h"
#include "arith/Solvers.h"

#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace {

void SwapRows(double *x, std::size_t width, std::size_t r1, std::size_t r2)
{
    double *p = x + r1 * width;
    double *q = x + r2 * width;
    for (std::size_t c = 0; c < width; ++c) {
        std::swap(p[c], q[c]);
    }
}

/*
 * The row operations of the elimination, two elements at a time, four per
 * round.  Every element still gets exactly its own multiply (and
 * subtract), in the same order as one at a time: lanes are independent and
 * the build contracts nothing into fused multiply-adds, so the results are
 * the same bits.  The rows are distinct (the pivot row is never eliminated
 * against itself), and they are read and written through plain copies, so
 * no alignment is assumed.
 */
typedef double Pair __attribute__((vector_size(2 * sizeof(double))));

inline Pair Load(const double *p)
{
    Pair v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void Store(double *p, Pair v)
{
    std::memcpy(p, &v, sizeof v);
}

/* x[c] = x[c] * s for c < n. */
void Scale(double *x, double s, std::size_t n)
{
    const Pair sv = {s, s};
    std::size_t c = 0;
    for (; c + 4 <= n; c += 4) {
        Store(x + c, Load(x + c) * sv);
        Store(x + c + 2, Load(x + c + 2) * sv);
    }
    for (; c < n; ++c) {
        x[c] *= s;
    }
}

/* row[c] = row[c] - pivot[c] * f for c < n; row and pivot are distinct. */
void Eliminate(double *row, const double *pivot, double f, std::size_t n)
{
    const Pair fv = {f, f};
    std::size_t c = 0;
    for (; c + 4 <= n; c += 4) {
        Store(row + c, Load(row + c) - Load(pivot + c) * fv);
        Store(row + c + 2, Load(row + c + 2) - Load(pivot + c + 2) * fv);
    }
    for (; c < n; ++c) {
        row[c] = row[c] - pivot[c] * f;
    }
}

/*
 * The pivot search.  Among the elements of the rows and columns not yet
 * used, the scan in row-major order with "magnitude >= best so far"
 * (best starting at 0.0) ends on the last occurrence of the largest
 * magnitude, and never on a NaN.  So each row is searched for its largest
 * magnitude over the free columns, two lanes at a time, and then for the
 * last place holding it; rows are taken in order with the same
 * greater-or-equal test.  A used column is masked by adding -infinity to
 * its magnitude (an infinite element there gives NaN, also never taken);
 * a free column adds 0.0, which leaves every magnitude as it is.
 */
struct Pivot {
    double best = 0.0;
    bool found = false;
    std::size_t row = 0, col = 0;
};

typedef long long PairBits __attribute__((vector_size(2 * sizeof(long long))));

inline Pair Magnitude(Pair v)
{
    const PairBits noSign = {0x7fffffffffffffffLL, 0x7fffffffffffffffLL};
    return reinterpret_cast<Pair>(reinterpret_cast<PairBits>(v) & noSign);
}

void SearchRow(const double *row, const double *mask, std::size_t r, std::size_t n,
               Pivot &pivot)
{
    const double none = -HUGE_VAL;
    Pair top = {none, none};
    std::size_t c = 0;
    for (; c + 2 <= n; c += 2) {
        Pair v = Magnitude(Load(row + c)) + Load(mask + c);
        top = v > top ? v : top;
    }
    double rowTop = top[1] > top[0] ? top[1] : top[0];
    for (; c < n; ++c) {
        double v = std::fabs(row[c]) + mask[c];
        rowTop = v > rowTop ? v : rowTop;
    }
    if (!(rowTop >= pivot.best)) {
        return;
    }
    for (c = n; c-- > 0;) {
        if (std::fabs(row[c]) + mask[c] == rowTop) {
            break;
        }
    }
    pivot.best = rowTop;
    pivot.found = true;
    pivot.row = r;
    pivot.col = c;
}

} // namespace

/*
 * a: n*n doubles, row-major; in: A, out: A^-1 (or the partly reduced state
 * after a failure).  b: n*m doubles, row-major, one right-hand side per
 * column; may be null when m is 0.
 *
 * Returns 1 on success, -1 when the scratch cannot be had (a and b
 * untouched), -2 when
 * a step's pivot is exactly zero or when no element qualifies as pivot at
 * all (every remaining candidate is NaN).
 */
namespace kardum {

/* MatrixInv_C, polling `stop` (when given) row by row of each sweep;
 * returns 0 when it stopped, a and b then partly reduced. */
int MatrixInvert(int n, double *a, int m, double *b, Interrupt *stop)
{
    const std::size_t N = n > 0 ? static_cast<std::size_t>(n) : 0;
    const std::size_t M = m > 0 ? static_cast<std::size_t>(m) : 0;

    /* Pivot-use count per column, then the row and the column of each
     * step's pivot; the search mask of each column. */
    std::unique_ptr<int[]> scratch(new (std::nothrow) int[3 * N + 1]);
    std::unique_ptr<double[]> mask(new (std::nothrow) double[N + 1]);
    if (!scratch || !mask) {
        return -1;
    }
    int *used = scratch.get();
    int *pivotRow = used + N;
    int *pivotCol = pivotRow + N;
    for (std::size_t c = 0; c < N; ++c) {
        used[c] = 0;
        mask[c] = 0.0;
    }

    /*
     * The pivot of the first step is searched on its own; the search for
     * each later step runs inside the elimination sweep of the step before,
     * on each row just after its update, while the row is at hand.  A
     * column is used at most once (only a column whose count is 0 becomes
     * a pivot column), so the counts never exceed 1.
     */
    Pivot next;
    for (std::size_t r = 0; r < N; ++r) {
        SearchRow(a + r * N, mask.get(), r, N, next);
    }

    for (std::size_t i = 0; i < N; ++i) {
        if (!next.found) {
            return -2;
        }
        const std::size_t pr = next.row, pc = next.col;
        ++used[pc];
        mask[pc] = -HUGE_VAL;

        /* Bring the pivot onto the diagonal. */
        if (pr != pc) {
            SwapRows(a, N, pr, pc);
            if (M > 0) {
                SwapRows(b, M, pr, pc);
            }
        }
        pivotRow[i] = static_cast<int>(pr);
        pivotCol[i] = static_cast<int>(pc);

        double *prow = a + pc * N;
        double *brow = M > 0 ? b + pc * M : nullptr;
        if (prow[pc] == 0.0) {
            return -2;
        }
        double inv = 1.0 / prow[pc];
        prow[pc] = 1.0;
        Scale(prow, inv, N);
        if (M > 0) {
            Scale(brow, inv, M);
        }

        const bool searchNext = i + 1 < N;
        next = Pivot();
        for (std::size_t r = 0; r < N; ++r) {
            if (r == pc) {
                continue;
            }
            if (stop != nullptr && stop->Poll()) {
                return 0;
            }
            double *row = a + r * N;
            double f = row[pc];
            row[pc] = 0.0;
            Eliminate(row, prow, f, N);
            if (M > 0) {
                Eliminate(b + r * M, brow, f, M);
            }
            if (searchNext && used[r] != 1) {
                SearchRow(row, mask.get(), r, N, next);
            }
        }
    }

    /* Undo the column interchanges, last step first. */
    for (std::size_t l = N; l-- > 0;) {
        std::size_t c1 = static_cast<std::size_t>(pivotRow[l]);
        std::size_t c2 = static_cast<std::size_t>(pivotCol[l]);
        if (c1 != c2) {
            for (std::size_t r = 0; r < N; ++r) {
                std::swap(a[r * N + c1], a[r * N + c2]);
            }
        }
    }
    return 1;
}

} // namespace kardum

extern "C" int MatrixInv_C(int n, double *a, int m, double *b)
{
    return kardum::MatrixInvert(n, a, m, b, nullptr);
}

extern "C" int MatrixInvCmd(ClientData, Tcl_Interp *interp, int objc,
                            Tcl_Obj *const objv[])
{
    using namespace kardum;
    return RunCommand(interp, "KDmatrixInv", [&]() -> int {
        int matrixOff = 0, nRhs = 0, rhsOff = 0;
        Args args(interp, objc, objv);
        if (!args.CountOk(Args::AtLeast, 3, "Usage: KDmatrixInv Order Matrix")) {
            return TCL_ERROR;
        }
        int n = args.Int(1, "Order");
        args.OptInt(3, matrixOff, "MatrixOff");
        if (args.Has(4)) {
            nRhs = args.Int(4, "nRhs");
        }
        args.OptInt(6, rhsOff, "RhsOff");

        RequireNonNegative("KDmatrixInv", "Order", n);
        if (nRhs > 0 && !args.Has(5)) {
            Fail("KDmatrixInv: nRhs is %d but no Rhs array is given", nRhs);
        }
        int m = nRhs > 0 ? nRhs : 0;
        /* Counts in 64 bits, where the product of two ints always fits:
         * the refusals read the same on 32-bit builds. */
        std::uint64_t nn = static_cast<std::uint64_t>(n) * static_cast<std::uint64_t>(n);
        std::uint64_t nm = static_cast<std::uint64_t>(n) * static_cast<std::uint64_t>(m);
        if (nn > INT_MAX) {
            Fail("KDmatrixInv: Order %d gives more than %d elements of Matrix",
                 n, INT_MAX);
        }
        if (nm > INT_MAX) {
            Fail("KDmatrixInv: Order %d by nRhs %d gives more than %d elements of Rhs",
                 n, m, INT_MAX);
        }

        RequireRoom(interp, "KDmatrixInv", args.Obj(2), static_cast<std::size_t>(nn));
        if (m > 0) {
            RequireRoom(interp, "KDmatrixInv", args.Obj(5), static_cast<std::size_t>(nm));
        }
        Block block({static_cast<std::size_t>(nn), static_cast<std::size_t>(nm)});
        double *A = block[0];
        double *B = block[1];
        if (!Fill(interp, args.Obj(2), A, static_cast<int>(nn), matrixOff)) {
            return TCL_OK;
        }
        if (m > 0 && !Fill(interp, args.Obj(5), B, static_cast<int>(nm), rhsOff)) {
            return TCL_OK;
        }
        Interrupt stop(interp);
        int code = MatrixInvert(n, A, m, m > 0 ? B : nullptr, &stop);
        if (stop.Stopped()) {
            throw TclError{};
        }
        WriteBack(interp, args.Obj(2), A, static_cast<int>(nn), matrixOff);
        if (m > 0) {
            WriteBack(interp, args.Obj(5), B, static_cast<int>(nm), rhsOff);
        }
        SetIntResult(interp, code);
        return TCL_OK;
    });
}
