/*
 * SurfaceFill.h --
 *
 *	The smooth surface behind kardum::gridfill's default method: a
 *	continuous-curvature surface in tension through the records, solved
 *	on the grid's nodes (the cell centres) by multigrid.
 *
 *	The grid u minimises
 *
 *	  sum over records w (u at the record - z)^2
 *	    + a * sum over nodes of area * ((1 - T) (u_xx^2 + 2 u_xy^2 + u_yy^2)
 *	                                    + T (u_x^2 + u_y^2))
 *
 *	where u at a record is the bilinear interpolation of the four nodes
 *	around it (so a record counts where it lies, not at a cell centre),
 *	w the record's weight (1 unless given), T is the tension (0: minimum
 *	curvature, 1: minimum slope) and a is
 *	small, so that the surface passes close to the records and is smooth
 *	between them.  The derivatives are differences over the nodes in
 *	units of the geometric mean of the cell sides.  The minimiser solves
 *	a sparse symmetric positive definite system; a full multigrid pass
 *	and V-cycles solve it, with Chebyshev smoothing on the Jacobi-scaled
 *	system, coarse grids on the same records, interpolation by bilinear
 *	weights and restriction by its transpose.  Every step treats the
 *	nodes alike whatever their order, so mirroring or swapping the axes
 *	mirrors or transposes the grid, up to rounding.  At the end the
 *	values are held within the lower and upper limits.
 *
 *	Internal to the library; ::kardum::GridCompute (grid/GridPath.cpp)
 *	is its Tcl face.
 */

#ifndef KARDUM_GRID_SURFACE_FILL_H
#define KARDUM_GRID_SURFACE_FILL_H

#include "frame/Interrupt.h"

#include <algorithm>
#include <vector>

namespace kardum::package {

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

struct SurfaceSetup {
    int nx = 0, ny = 0;         /* nodes: cell centres, stored x fastest */
    double aspect = 1.0;        /* a cell's y side over its x side (absolute) */
    double tension = 0.25;      /* 0 ... 1 */
    double lower = 0.0, upper = 0.0;    /* the values are held within */
    /* The records' weights in the misfit (one per record, above 0), or
     * null for weight 1 each. */
    const std::vector<double> *weight = nullptr;
};

struct SurfaceReport {
    int cycles = 0;             /* V-cycles on the finest grid */
    double residual = 0.0;      /* last residual over the first */
    long long clamped = 0;      /* nodes held at a limit */
};

/*
 * Fills grid (nx*ny doubles, x fastest) with the surface through the
 * records at grid coordinates (gx, gy) (node ix at gx = ix, positions
 * beyond the outer nodes count at them) with values z; at least one
 * record.  Polls `stop` and throws kardum::TclError when the interpreter
 * asks the call to end; throws std::bad_alloc when memory runs out.
 */
void SurfaceFill(const std::vector<double> &gx, const std::vector<double> &gy,
                 const std::vector<double> &z, const SurfaceSetup &setup, double *grid,
                 Interrupt &stop, SurfaceReport &report);

} // namespace kardum::package

#endif /* KARDUM_GRID_SURFACE_FILL_H */
