/*
 * MatrixMathCmd.cpp --
 *
 *	KDmatrixMath: product of two row-major matrices, transpose, identity.
 *	Only the first character of the action name counts: `*`, `T` or `U`.
 *
 *	KDmatrixMath A Action B C ARows ACols BRows BCols ?AOff? ?BOff? ?COff?
 *
 *	C receives max(ARows, BRows) * max(ACols, BCols) elements whatever the
 *	action; the places the action does not compute are written as 0.0.
 */

#include "kardum.h"
#include "frame/Frame.h"
#include "frame/Interrupt.h"
#include "arith/Solvers.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>

namespace {

/* Element count of an r x c matrix, at most INT_MAX (the marshalling
 * counts in int).  The product of two ints always fits in 64 bits, so the
 * refusal reads the same on 32-bit builds. */
std::size_t Elements(int r, int c, const char *what)
{
    std::uint64_t n = static_cast<std::uint64_t>(r) * static_cast<std::uint64_t>(c);
    if (n > INT_MAX) {
        kardum::Fail("KDmatrixMath: %s of %d x %d has more than %d elements",
                     what, r, c, INT_MAX);
    }
    return static_cast<std::size_t>(n);
}

} // namespace

namespace kardum {

/* MatrixMath_C, polling `stop` (when given) at each element of a product;
 * a product that stops leaves out partly computed. */
double MatrixCompute(double *a, char action, double *b, double *out, const int *dimA,
                     const int *dimB, Interrupt *stop)
{
    const std::size_t rA = static_cast<std::size_t>(dimA[0]);
    const std::size_t cA = static_cast<std::size_t>(dimA[1]);

    switch (action) {
    case '*': {
        const std::size_t rB = static_cast<std::size_t>(dimB[0]);
        const std::size_t cB = static_cast<std::size_t>(dimB[1]);
        for (std::size_t i = 0; i < rA; ++i) {
            const double *arow = a + i * cA;
            for (std::size_t j = 0; j < cB; ++j) {
                if (stop != nullptr && stop->Poll()) {
                    return 0.0;
                }
                double *dst = out + i * cB + j;
                *dst = 0.0;
                for (std::size_t k = 0; k < rB; ++k) {
                    *dst += arow[k] * b[k * cB + j];
                }
            }
        }
        break;
    }
    case 'T':
        for (std::size_t i = 0; i < rA; ++i) {
            for (std::size_t j = 0; j < cA; ++j) {
                out[j * rA + i] = a[i * cA + j];
            }
        }
        break;
    case 'U': {
        /* Diagonal places 0, rA + 1, 2 (rA + 1), ... */
        std::size_t next = 0;
        for (std::size_t p = 0; p < rA * cA; ++p) {
            if (p == next) {
                out[p] = 1.0;
                next += rA + 1;
            } else {
                out[p] = 0.0;
            }
        }
        break;
    }
    default:
        break;
    }
    return 0.0;
}

} // namespace kardum

extern "C" double MatrixMath_C(double *a, char action, double *b, double *out,
                               int *dimA, int *dimB)
{
    return kardum::MatrixCompute(a, action, b, out, dimA, dimB, nullptr);
}

extern "C" int MatrixMathCmd(ClientData, Tcl_Interp *interp, int objc,
                             Tcl_Obj *const objv[])
{
    using namespace kardum;
    return RunCommand(interp, "KDmatrixMath", [&]() -> int {
        int aOff = 0, bOff = 0, cOff = 0;
        Args args(interp, objc, objv);
        if (!args.CountOk(Args::AtLeast, 9, "Usage: KDmatrixMath A Action B C .. ")) {
            return TCL_ERROR;
        }
        args.OptInt(9, aOff, "AOff");
        args.OptInt(10, bOff, "BOff");
        args.OptInt(11, cOff, "COff");
        char code = args.Word(2)[0];
        int dimA[2] = {args.Int(5, "ARows"), args.Int(6, "ACols")};
        int dimB[2] = {args.Int(7, "BRows"), args.Int(8, "BCols")};

        const char *names[4] = {"ARows", "ACols", "BRows", "BCols"};
        const int dims[4] = {dimA[0], dimA[1], dimB[0], dimB[1]};
        for (int i = 0; i < 4; ++i) {
            if (dims[i] < 1) {
                Fail("KDmatrixMath: %s must be at least 1, got %d", names[i], dims[i]);
            }
        }
        if (code == '*' && dimA[1] != dimB[0]) {
            Fail("KDmatrixMath: the product needs ACols equal to BRows, got %d and %d",
                 dimA[1], dimB[0]);
        }
        std::size_t nA = Elements(dimA[0], dimA[1], "A");
        std::size_t nB = Elements(dimB[0], dimB[1], "B");
        std::size_t nC = Elements(std::max(dimA[0], dimB[0]), std::max(dimA[1], dimB[1]), "C");

        RequireRoom(interp, "KDmatrixMath", args.Obj(4), nC);
        Block block({nA, nB, nC});
        double *a = block[0];
        double *b = block[1];
        double *c = block[2];
        if (code != 'U' && !Fill(interp, args.Obj(1), a, static_cast<int>(nA), aOff)) {
            return TCL_OK;
        }
        if (code == '*' && !Fill(interp, args.Obj(3), b, static_cast<int>(nB), bOff)) {
            return TCL_OK;
        }
        Interrupt stop(interp);
        double result = MatrixCompute(a, code, b, c, dimA, dimB, &stop);
        if (stop.Stopped()) {
            throw TclError{};
        }
        WriteBack(interp, args.Obj(4), c, static_cast<int>(nC), cOff);
        SetDoubleResult(interp, result);
        return TCL_OK;
    });
}
