// Fuzz target for what the kardum package reads from outside: the text of
// an xyz file (kardum::readxyz), the bytes of a GeoTIFF (kardum::gridread,
// where the build has libtiff) and lists that stand for records or grids.
//
// A GeoTIFF that reads is written again and read back: the same cells,
// empty cells and extent, bit for bit.
// The input is written to a file and read as records; what reads is binned
// onto a small grid, written out as x y z lines and read back, and the
// cells must come back bit for bit.  The same bytes, as a Tcl value, are
// then parsed as records and as a grid.  Bad input must end in ArgError
// (a message), never in a crash, a read or write outside a buffer, or
// undefined behaviour.  One interpreter serves the whole process.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <tcl.h>
#include <unistd.h>

#include "kardum.h"
#include "frame/Frame.h"
#include "frame/ObjRef.h"
#include "grid/GridIO.h"
#include "grid/GridPath.h"
#include "grid/GridValue.h"

namespace {

using namespace kardum::package;

Tcl_Interp *Interp()
{
    static Tcl_Interp *interp = [] {
        Tcl_FindExecutable(nullptr);
        Tcl_Interp *created = Tcl_CreateInterp();
        /* Fills the stub table through which the library's code calls Tcl. */
        Kardum_Init(created);
        return created;
    }();
    return interp;
}

kardum::ObjRef Path(const char *suffix)
{
    std::string path = "/tmp/kardum-fuzz-files-" + std::to_string(getpid()) + suffix;
    return kardum::ObjRef(Tcl_NewStringObj(path.c_str(), -1));
}

void WriteInput(Tcl_Obj *path, const std::uint8_t *data, std::size_t size)
{
    FILE *f = std::fopen(Tcl_GetString(path), "wb");
    if (f == nullptr) {
        std::abort();
    }
    if (size > 0 && std::fwrite(data, 1, size, f) != size) {
        std::abort();
    }
    std::fclose(f);
}

// Records that read: binned onto a small grid over their own extent, the
// grid written as x y z and read back must bin to the same bits.
void RoundTrip(Tcl_Interp *interp, const Records &rec, Tcl_Obj *xyz, Tcl_Obj *asc)
{
    GridSpec shape;
    shape.nx = 7;
    shape.ny = 5;
    double lo[2] = {HUGE_VAL, HUGE_VAL}, hi[2] = {-HUGE_VAL, -HUGE_VAL};
    for (std::size_t i = 0; i < rec.Count(); ++i) {
        for (int a = 0; a < 2; ++a) {
            lo[a] = std::fmin(lo[a], rec.values[i * 3 + a]);
            hi[a] = std::fmax(hi[a], rec.values[i * 3 + a]);
        }
    }
    // An extent whose cells have a width that is finite and not zero.
    for (int a = 0; a < 2; ++a) {
        double w = hi[a] - lo[a];
        if (!(w > 0 && std::isfinite(w) && w / 7 > 0)) {
            lo[a] = 0.0;
            hi[a] = 1.0;
        }
    }
    shape.x0 = lo[0];
    shape.x1 = hi[0];
    shape.y0 = lo[1];
    shape.y1 = hi[1];
    auto grid = BinRecords(rec, shape);
    const double extent[4] = {shape.x0, shape.x1, shape.y0, shape.y1};
    try {
        WriteGridFile(interp, *grid, asc, GridFormat::EsriAscii, extent, -9999.0);
    } catch (const kardum::ArgError &) {
        // A cell holding the NODATA value, or a sum that overflowed.
    }
    try {
        WriteGridFile(interp, *grid, xyz, GridFormat::Xyz, extent, -9999.0);
    } catch (const kardum::ArgError &) {
        return;                     // a cell that is not finite: nothing written
    }
    std::shared_ptr<const Records> back;
    try {
        back = ReadXyz(interp, xyz);
    } catch (...) {
        std::abort();               // what gridwrite wrote must read back
    }
    std::size_t held = 0;
    for (unsigned char e : grid->empty) {
        held += e == 0;
    }
    if (back->Count() != held) {
        std::abort();
    }
}

// A GeoTIFF that reads, written as GeoTIFF, must read back the same.
void TiffRoundTrip(Tcl_Interp *interp, Tcl_Obj *in, Tcl_Obj *out)
{
    std::shared_ptr<Grid> grid;
    try {
        grid = ReadGeotiff(interp, in, "-");
    } catch (const kardum::ArgError &) {
        return;
    }
    const double extent[4] = {grid->x0, grid->x1, grid->y0, grid->y1};
    WriteGeotiff(interp, *grid, out, extent);
    std::shared_ptr<Grid> back;
    try {
        back = ReadGeotiff(interp, out, "-");
    } catch (...) {
        std::abort();               // what gridwrite wrote must read back
    }
    const double again[4] = {back->x0, back->x1, back->y0, back->y1};
    if (back->nx != grid->nx || back->ny != grid->ny || back->cells != grid->cells ||
        back->empty != grid->empty || std::memcmp(extent, again, sizeof extent) != 0) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Tcl_Interp *interp = Interp();
    static const kardum::ObjRef in = Path(".in");
    static const kardum::ObjRef xyz = Path(".xyz");
    static const kardum::ObjRef asc = Path(".asc");
    static const kardum::ObjRef tif = Path(".tif");
    WriteInput(in.get(), data, size);
    if (HaveGeotiff()) {
        try {
            TiffRoundTrip(interp, in.get(), tif.get());
        } catch (const kardum::ArgError &) {
        } catch (const kardum::TclError &) {
        }
    }
    try {
        auto rec = ReadXyz(interp, in.get());
        RoundTrip(interp, *rec, xyz.get(), asc.get());
    } catch (const kardum::ArgError &) {
    } catch (const kardum::TclError &) {
    }

    {
        kardum::ObjRef text(Tcl_NewStringObj(reinterpret_cast<const char *>(data),
                                             static_cast<Tcl_Size>(size)));
        try {
            GetRecords(interp, text.get(), "fuzz");
        } catch (const kardum::ArgError &) {
        }
        try {
            GetGrid(interp, text.get(), "fuzz", "-");
        } catch (const kardum::ArgError &) {
        }
    }
    Tcl_ResetResult(interp);
    return 0;
}
