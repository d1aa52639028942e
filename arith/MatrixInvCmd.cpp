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

#include <climits>
#include <cmath>
#include <cstddef>
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

} // namespace

/*
 * a: n*n doubles, row-major; in: A, out: A^-1 (or the partly reduced state
 * after a failure).  b: n*m doubles, row-major, one right-hand side per
 * column; may be null when m is 0.
 *
 * Returns 1 on success, -1 when the scratch cannot be had (a and b
 * untouched) or a pivot search meets a column used more than once, -2 when
 * a step's pivot is exactly zero or when no element qualifies as pivot at
 * all (every remaining candidate is NaN).
 */
extern "C" int MatrixInv_C(int n, double *a, int m, double *b)
{
    const std::size_t N = n > 0 ? static_cast<std::size_t>(n) : 0;
    const std::size_t M = m > 0 ? static_cast<std::size_t>(m) : 0;

    /* Pivot-use count per column, then the row and the column of each
     * step's pivot. */
    std::unique_ptr<int[]> scratch(new (std::nothrow) int[3 * N + 1]);
    if (!scratch) {
        return -1;
    }
    int *used = scratch.get();
    int *pivotRow = used + N;
    int *pivotCol = pivotRow + N;
    for (std::size_t c = 0; c < N; ++c) {
        used[c] = 0;
    }

    for (std::size_t i = 0; i < N; ++i) {
        /* Full pivot search over the rows and columns not yet used; among
         * equal magnitudes the last one met wins. */
        double best = 0.0;
        bool found = false;
        std::size_t pr = 0, pc = 0;
        for (std::size_t r = 0; r < N; ++r) {
            if (used[r] == 1) {
                continue;
            }
            const double *row = a + r * N;
            for (std::size_t c = 0; c < N; ++c) {
                if (used[c] == 0) {
                    double mag = std::fabs(row[c]);
                    if (mag >= best) {
                        best = mag;
                        pr = r;
                        pc = c;
                        found = true;
                    }
                } else if (used[c] > 1) {
                    return -1;
                }
            }
        }
        if (!found) {
            return -2;
        }
        ++used[pc];

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
        for (std::size_t c = 0; c < N; ++c) {
            prow[c] *= inv;
        }
        for (std::size_t c = 0; c < M; ++c) {
            brow[c] *= inv;
        }

        for (std::size_t r = 0; r < N; ++r) {
            if (r == pc) {
                continue;
            }
            double *row = a + r * N;
            double f = row[pc];
            row[pc] = 0.0;
            for (std::size_t c = 0; c < N; ++c) {
                row[c] = row[c] - prow[c] * f;
            }
            if (M > 0) {
                double *rrow = b + r * M;
                for (std::size_t c = 0; c < M; ++c) {
                    rrow[c] = rrow[c] - brow[c] * f;
                }
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

extern "C" int MatrixInvCmd(ClientData, Tcl_Interp *interp, int objc,
                            Tcl_Obj *const objv[])
{
    using namespace kardum;
    return RunCommand(interp, [&]() -> int {
        int matrixOff = 0, nRhs = 0, rhsOff = 0;
        Args args(interp, objc, objv);
        if (!args.CountOk(Args::AtLeast, 3, "Usage: KDmatrixInv Order Matrix")) {
            return TCL_ERROR;
        }
        int n = args.Int(1, "Order");
        args.OptInt(3, matrixOff);
        if (args.Has(4)) {
            nRhs = args.Int(4, "nRhs");
        }
        args.OptInt(6, rhsOff);

        RequireNonNegative("KDmatrixInv", "Order", n);
        if (nRhs > 0 && !args.Has(5)) {
            Fail("KDmatrixInv: nRhs is %d but no Rhs array is given", nRhs);
        }
        int m = nRhs > 0 ? nRhs : 0;
        std::size_t nn = CheckedProduct(n, n, "Matrix");
        std::size_t nm = CheckedProduct(n, m, "Rhs");
        if (nn > INT_MAX) {
            Fail("KDmatrixInv: Order %d gives more than %d elements of Matrix",
                 n, INT_MAX);
        }
        if (nm > INT_MAX) {
            Fail("KDmatrixInv: Order %d by nRhs %d gives more than %d elements of Rhs",
                 n, m, INT_MAX);
        }

        Block block({nn, nm});
        double *A = block[0];
        double *B = block[1];
        if (!Fill(interp, args.Obj(2), A, static_cast<int>(nn), matrixOff)) {
            return TCL_OK;
        }
        if (m > 0 && !Fill(interp, args.Obj(5), B, static_cast<int>(nm), rhsOff)) {
            return TCL_OK;
        }
        int code = MatrixInv_C(n, A, m, m > 0 ? B : nullptr);
        WriteBack(interp, args.Obj(2), A, static_cast<int>(nn), matrixOff);
        if (m > 0) {
            WriteBack(interp, args.Obj(5), B, static_cast<int>(nm), rhsOff);
        }
        SetIntResult(interp, code);
        return TCL_OK;
    });
}
