/*
 * CrossValidate.h --
 *
 *	Cross-validation of kardum::gridfill's settings over the records, for
 *	every method: the records are split into k folds; each fold's records
 *	are left out, the grid is made from the others, and each left-out
 *	record is predicted at its own position, bilinearly between the four
 *	cell centres around it.  The folds are the records at random, or
 *	spatial blocks of the extent, so that the errors inside gaps count.
 *
 *	Internal to the library; ::kardum::GridCompute (grid/GridPath.cpp)
 *	reads the option and calls these.
 */

#ifndef KARDUM_GRID_CROSS_VALIDATE_H
#define KARDUM_GRID_CROSS_VALIDATE_H

#include <tcl.h>

#include "frame/Interrupt.h"
#include "grid/GridPath.h"
#include "grid/GuardedFill.h"
#include "grid/SurfaceFill.h"

#include <cstddef>
#include <vector>

namespace kardum::package {

/* What -crossvalidate asks for: {k}, {k records}, {k blocks} or
 * {k blocks n}. */
struct FoldSpec {
    int folds = 0;              /* k; 0: no cross-validation */
    bool blocks = false;        /* folds of spatial blocks, else records at random */
    int across = 0;             /* blocks along the extent's longer side; 0: chosen */
};

/* The records a grid takes, at their grid coordinates: node ix (the centre
 * of cell ix) at gx = ix; a footprint by its midpoint.  Those with the
 * midpoint inside the extent (edges included) and a value the binning
 * keeps, in the records' order; with keepIndex, index[i] is the record's
 * number. */
struct PlacedRecords {
    std::vector<double> gx, gy, z;
    std::vector<std::size_t> index;
    long long outside = 0;      /* midpoint beyond the extent */
};

PlacedRecords PlaceRecords(const Records &rec, const GridSpec &shape, bool keepIndex);

/* Bilinear value of a full grid of nx by ny nodes (x fastest) at grid
 * coordinates (x, y), as the surface reads its records; beyond the outer
 * nodes the nearest cells' slope goes on. */
double NodeValue(const std::vector<double> &g, int nx, int ny, double x, double y);

/*
 * -crossvalidate for the surface: each fold's complement solved by
 * SurfaceFill with `setup`.  Returns the report dict: folds, predicted,
 * missed, rms, max (the largest absolute error), residuals (prediction
 * minus value per placed record, in their order; empty where missed) and,
 * for blocks, blocks {bx by}.
 */
Tcl_Obj *SurfaceCrossValidation(const PlacedRecords &placed, const SurfaceSetup &setup,
                                const FoldSpec &spec, int seed, Interrupt &stop);

/*
 * -crossvalidate for the local fill: each fold's complement binned as
 * BinRecords bins all records and filled as GuardedFill fills (only the
 * cells a held-out record is read from are computed).  A held-out record
 * whose four cells do not all hold a value takes its own cell's value;
 * when that too stays empty, it is missed.  The report as above.
 */
Tcl_Obj *LocalCrossValidation(const Records &rec, const PlacedRecords &placed,
                              const GridSpec &shape, const FillSetup &setup,
                              const FillGuards &guards, const FoldSpec &spec);

} // namespace kardum::package

#endif /* KARDUM_GRID_CROSS_VALIDATE_H */
