/*
 * DataRnd1Cmd.cpp --
 *
 *	KDdataRnd1: pseudo-random doubles from a multiplicative congruential
 *	generator on 20-bit integers, scaled to a magnitude: all positive, all
 *	negative or of random sign.
 *
 *	KDdataRnd1 V nP RnG ?Scale?
 *
 *	The generator state lives in the global variable Rnd1Seed, reached
 *	through the name rSeed linked into the calling frame, so successive
 *	calls continue one sequence from wherever they are made.
 */

#include "kardum.h"
#include "frame/Frame.h"
#include "frame/Marshal.h"
#include "frame/ObjRef.h"
#include "data/Seed.h"

#include <cstdint>

namespace {

const int kModulus = 1048576; /* 2^20 */

/*
 * One step: (1027 * s) mod 2^20, the product wrapping around in 32-bit
 * two's complement and the remainder taking the sign of the product.
 */
int Next(int s)
{
    std::uint32_t product = 1027u * static_cast<std::uint32_t>(s);
    return static_cast<std::int32_t>(product) % kModulus;
}

/*
 * The state after `steps` more steps from a state s that one step has made
 * (|s| < 2^20): no product wraps then, so each step multiplies |s| by
 * 1027 modulo 2^20 and keeps the sign.
 */
int Advance(int s, std::uint64_t steps)
{
    std::uint64_t factor = 1;
    std::uint64_t base = 1027;
    for (; steps != 0; steps >>= 1) {
        if (steps & 1) {
            factor = factor * base % kModulus;
        }
        base = base * base % kModulus;
    }
    std::uint64_t magnitude = static_cast<std::uint64_t>(s < 0 ? -s : s) * factor % kModulus;
    return s < 0 ? -static_cast<int>(magnitude) : static_cast<int>(magnitude);
}

/* Range type of the RnG word: "P" 0, any other text of at most one
 * character 1, two or more characters 2. */
short RangeType(Tcl_Obj *word)
{
    Tcl_Size chars = Tcl_GetCharLength(word);
    if (chars >= 2) {
        return 2;
    }
    return (chars == 1 && Tcl_GetString(word)[0] == 'P') ? 0 : 1;
}


} // namespace

extern "C" int DataRnd1_C(double *out, int n, short type, double scale,
                          int seed)
{
    if (type < 0 || type > 2) {
        return seed;
    }
    int s = seed;
    for (int i = 0; i < n; ++i) {
        s = Next(s);
        double v;
        if (type == 1) {
            v = (-scale) * s / 1048576.0;
        } else {
            v = s * scale / 1048576.0;
        }
        if (type == 2) {
            s = Next(s);
            if (s / 1048576.0 < 0.5) {
                v = -v;
            }
        }
        out[i] = v;
    }
    return s;
}

extern "C" int DataRnd1Cmd(ClientData, Tcl_Interp *interp, int objc,
                           Tcl_Obj *const objv[])
{
    using namespace kardum;
    return RunCommand(interp, "KDdataRnd1", [&]() -> int {
        double scale = 1.0;
        Args args(interp, objc, objv);
        if (!args.CountOk(Args::AtLeast, 4, "Usage: KDdataRnd1 V nP RnG")) {
            return TCL_ERROR;
        }
        int nP = args.Int(2, "nP");
        short type = RangeType(args.Obj(3));
        args.OptDouble(4, scale);

        RequireNonNegative("KDdataRnd1", "nP", nP);
        if (nP == 0) {
            /* No value to draw: the seed and V stay as they are. */
            SetDoubleResult(interp, 0.0);
            return TCL_OK;
        }

        /* Into a scalar no value can be stored: only the first (the
         * result) and the seed after all nP of them are wanted, and the
         * seed is reached without drawing the values between. */
        if (nP > 1024) {
            Interrupt stop(interp);
            VariableShape shape = AskShape(args.Obj(1), stop);
            if (stop.Stopped()) {
                throw TclError{};
            }
            if (shape.scalar) {
                double first;
                int s = DataRnd1_C(&first, 1, type, scale, ReadSeed(interp));
                WriteSeed(interp, Advance(s, static_cast<std::uint64_t>(nP - 1) * (type == 2 ? 2 : 1)));
                /* every store fails alike: the last one leaves its message */
                ObjRef index(Tcl_NewIntObj(nP - 1));
                ObjRef value(Tcl_NewDoubleObj(first));
                Tcl_ObjSetVar2(interp, args.Obj(1), index.get(), value.get(), TCL_LEAVE_ERR_MSG);
                SetDoubleResult(interp, first);
                return TCL_OK;
            }
        }

        RequireRoom(interp, "KDdataRnd1", args.Obj(1), static_cast<std::size_t>(nP));
        Block block({static_cast<std::size_t>(nP)});
        double *values = block[0];

        WriteSeed(interp, DataRnd1_C(values, nP, type, scale, ReadSeed(interp)));
        WriteBack(interp, args.Obj(1), values, nP, 0);
        SetDoubleResult(interp, values[0]);
        return TCL_OK;
    });
}
