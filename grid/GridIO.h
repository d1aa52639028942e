/*
 * GridIO.h --
 *
 *	Reading records and writing grids and pictures, for the package's
 *	commands and for native callers (the benchmarks).  Each throws
 *	ArgError naming the command, the file and the line or cell.
 *	Internal to the library.
 */

#ifndef KARDUM_GRID_GRIDIO_H
#define KARDUM_GRID_GRIDIO_H

#include "grid/GridValue.h"

#include <tcl.h>

#include <cstddef>

namespace kardum::package {

/*
 * Where a writer's bytes go for `path`: a symbolic link followed to the
 * file it names (the link stays, its file is replaced), and `special` set
 * when that file exists and is neither a regular file nor a folder (a
 * device such as /dev/null or /dev/full, a pipe), which cannot be
 * replaced and is written in place.  Returns a new reference.
 */
Tcl_Obj *WriteTarget(Tcl_Obj *path, bool *special);

/* The permissions of the file `from`, when it exists and the platform
 * has them, given to the file `to` (a file kept private stays private
 * when it is replaced). */
void CopyPermissions(Tcl_Obj *from, Tcl_Obj *to);

/*
 * A file that replaces its target only when all of it is written: the
 * bytes go to a new file beside the target (same folder, so the rename
 * stays on one file system), every write and the close are checked, and
 * Commit renames it over the target.  Any failure, or an object destroyed
 * before Commit, deletes the new file and leaves the target as it was.
 * Write and Commit throw ArgError naming the command and the target;
 * Write also polls the interpreter, throwing TclError on a stop.  A
 * symbolic link is followed, and the file that replaces an existing one
 * keeps its permissions; a device or a pipe is written in place (see
 * WriteTarget), its writes and close checked all the same.
 */
class ReplacingFile {
public:
    ReplacingFile(Tcl_Interp *interp, const char *cmd, Tcl_Obj *target);
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile &) = delete;
    ReplacingFile &operator=(const ReplacingFile &) = delete;

    void Write(const char *data, std::size_t size);
    /* Moves the write position (Tcl_Seek's modes), for a format whose
     * library goes back to fill in what it wrote ahead; returns the new
     * position.  A device or a pipe, written in place, cannot seek. */
    Tcl_WideInt Seek(Tcl_WideInt offset, int mode);
    void Commit();

private:
    void Discard();
    const char *Kept() const;

    Tcl_Interp *interp_;
    const char *cmd_;
    Tcl_Obj *target_;
    Tcl_Obj *dest_ = nullptr;       /* the file written or replaced, owned */
    bool inPlace_ = false;          /* a device or pipe, written in place */
    Tcl_Obj *temp_ = nullptr;       /* owned reference */
    Tcl_Channel chan_ = nullptr;
};

enum class GridFormat { EsriAscii, Xyz, Netcdf, Geotiff };

/* How readxyz reads a file: the fields taken as x, y and z, and with a
 * fourth column the weight w (0 the first; without -columns each line
 * holds exactly three), the header lines skipped, and whether a record
 * with a value that is not finite is skipped (counted) or refused. */
struct XyzOptions {
    int columns[4] = {0, 1, 2, 0};
    int taken = 3;                  /* 3: x y z, 4: x y z w */
    bool columnsGiven = false;
    long long skip = 0;
    bool nanSkip = false;
};

/* Records {x y z} or {x y z w} of a text file (see kardum::readxyz); *skipped, when
 * given, receives the count of records passed over under -nan skip. */
std::shared_ptr<const Records> ReadXyz(Tcl_Interp *interp, Tcl_Obj *path,
                                       const XyzOptions &opt = XyzOptions(),
                                       long long *skipped = nullptr);

/* The grid into a file; extent is {x0 x1 y0 y1}; nodata marks empty cells
 * of an ESRI grid (xyz lines skip them).  An ESRI grid of cells that are
 * not square is refused unless dxdy asks for its dx and dy lines. */
void WriteGridFile(Tcl_Interp *interp, const Grid &g, Tcl_Obj *path,
                   GridFormat format, const double *extent, double nodata,
                   bool dxdy = false);

/* The grid as a netCDF file (COARDS/CF, as GMT and GDAL read it), through
 * libnetcdf; throws ArgError saying so when the build lacks it. */
void WriteNetcdf(Tcl_Interp *interp, const Grid &g, Tcl_Obj *path, const double *extent);
bool HaveNetcdf();

/* A netCDF grid (as WriteNetcdf writes it, or GMT) back into a grid, its
 * empty cells reading as `marker`; the axes run upward. */
std::shared_ptr<Grid> ReadNetcdf(Tcl_Interp *interp, Tcl_Obj *path, const std::string &marker);

/* The grid as a GeoTIFF file (one band of doubles, north up, the cells
 * as areas, empty cells NaN), through libtiff and libgeotiff; throws
 * ArgError saying so when the build lacks them. */
void WriteGeotiff(Tcl_Interp *interp, const Grid &g, Tcl_Obj *path, const double *extent);
bool HaveGeotiff();

/* A GeoTIFF grid (as WriteGeotiff writes it, or GDAL) back into a grid,
 * its empty cells reading as `marker`; the axes run upward. */
std::shared_ptr<Grid> ReadGeotiff(Tcl_Interp *interp, Tcl_Obj *path, const std::string &marker);

/* How a picture is drawn besides its colours' range. */
constexpr int kPaletteCount = 4;        /* viridis, terrain, diverging, gray */
struct ImageStyle {
    int palette = 0;
    bool shade = false;                 /* a hillshade, the light from azimuth */
    double azimuth = 315.0;             /* degrees clockwise from north */
    const Records *points = nullptr;    /* records drawn over the cells */
    bool axes = true;                   /* labelled ticks, for a grid with an extent */
};

/* The grid as a PNG picture, `pixels` pixels a cell, colours from lo to
 * hi, empty cells grey, with a colour scale on the right. */
void WriteGridImage(Tcl_Interp *interp, const Grid &g, Tcl_Obj *path,
                    int pixels, double lo, double hi, const ImageStyle &style);

} // namespace kardum::package

#endif /* KARDUM_GRID_GRIDIO_H */
