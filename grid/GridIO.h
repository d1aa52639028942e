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

namespace kardum::package {

enum class GridFormat { EsriAscii, Xyz };

/* Records {x y z} of a text file (see kardum::readxyz). */
std::shared_ptr<const Records> ReadXyz(Tcl_Interp *interp, Tcl_Obj *path);

/* The grid into a file; extent is {x0 x1 y0 y1}; nodata marks empty cells
 * of an ESRI grid (xyz lines skip them). */
void WriteGridFile(Tcl_Interp *interp, const Grid &g, Tcl_Obj *path,
                   GridFormat format, const double *extent, double nodata);

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
