/*
 * GuardedFill.h --
 *
 *	The grid fill behind kardum::gridfill, on plain C arrays.  It runs the
 *	fill of KDgridFill2D (grid/GridFill.h) cell by cell and adds what a
 *	user needs from a sound default:
 *
 *	  guard     a filled value outside the range of the values it was
 *	            fitted from, widened by `guardMargin` times their spread,
 *	            is fitted again from the same points at a lower degree,
 *	            down to degree 0 (their weighted mean, always in range);
 *	  complete  cells still empty after the first pass are filled in
 *	            further passes, each doubling the radius (up to
 *	            `maxRadius`), halving the quadrants required (4, 2, 1) and
 *	            lowering the degree by one (down to 0);
 *	  seed      the random table comes from the caller's seed, not from
 *	            the interpreter's Rnd1Seed;
 *	  report    counts per pass, cells refitted, cells left empty, and on
 *	            request the source of every cell.
 *
 *	Only data cells ever serve as neighbours, in every pass.  With the
 *	guard and the further passes off, the grid comes back exactly as
 *	GridFill_C leaves it when handed the same seed.
 *
 *	Internal to the library (nothing here is exported); the command
 *	::kardum::GridCompute (grid/GridPath.cpp) is its Tcl face and checks
 *	its settings.
 */

#ifndef KARDUM_GRID_GUARDED_FILL_H
#define KARDUM_GRID_GUARDED_FILL_H

#include "frame/Interrupt.h"

#include <cstddef>
#include <vector>

namespace kardum::package {

/* How an axis ends: KDgridFill2D's boundary letters N, O and Y. */
enum class Boundary {
    kOpen,                      /* N: cells near the edge need 2 quadrants */
    kStrict,                    /* O: every cell needs all its quadrants */
    kPeriodic                   /* Y: the axis wraps around */
};

/* Which value caps a fitted one from above: GridFill_C's mode letters O,
 * N and A. */
enum class Cap {
    kNone,                      /* O */
    kNearest,                   /* N: the heaviest point's value */
    kMax                        /* A: the largest point value */
};

/* KDgridFill2D's settings, in the units of GridFill_C's arguments. */
struct FillSetup {
    int nx = 0, ny = 0;         /* cells; stored x fastest (ix + iy*nx) */
    double empty = 0.0;         /* marks empty cells (without a weight grid) */
    double excluded = 0.0;      /* cells never filled nor used */
    Boundary xBoundary = Boundary::kOpen;
    Boundary yBoundary = Boundary::kOpen;
    int margins[4] = {0, 0, 0, 0};  /* low x, high x, low y, high y */
    int perQuadrant = 1;        /* m */
    int radius = 4;             /* r, cells */
    int quadrants = 4;          /* Q, 1 .. 4 */
    int degree = 1;             /* 0 .. 4 */
    double power = 1.0;         /* p */
    Cap cap = Cap::kNone;
};

/*
 * Distances in map units instead of cells, for a search radius given in
 * the extent's units: the cells' sides along x and y (so that cells that
 * are not square give a round neighbourhood), or on the sphere the
 * great-circle distance in km between the centres of the cells of a
 * longitude/latitude lattice.  The neighbours' offsets in cells still
 * serve as the fit's coordinates (a polynomial's fit is the same whatever
 * the scale of its axes); the distances choose the neighbours, limit the
 * search and weigh the points.
 */
struct FillMetric {
    bool sphere = false;
    double kx = 1.0, ky = 1.0;  /* a cell's sides (absolute), map units */
    double lat0 = 0.0;          /* sphere: latitude of row 0's centre, degrees */
    double dlat = 0.0, dlon = 0.0;  /* sphere: row and column steps, degrees */
    double radius = 0.0;        /* the first pass's search radius, map units */
    double maxRadius = 0.0;     /* the further passes' largest, map units */
};

/* The Earth's mean radius (IUGG), km. */
constexpr double kEarthRadius = 6371.0088;

/* What the package adds. */
struct FillGuards {
    bool guard = true;
    double guardMargin = 0.5;   /* times the spread of the fitted values */
    bool complete = true;
    int maxRadius = 0;          /* largest radius of the further passes */
    int seed = 566378;          /* of the random table */
    /* Neighbours chosen as KDgridFill2D chooses them: among equally near
     * ones the first in scan order, a neighbour on a quadrant's edge in
     * one quadrant.  Otherwise the choice is the same whichever way the
     * axes run (equally near neighbours all kept, edges shared). */
    bool scanOrder = false;
    /* Distances in map units (the radii in it, not in FillSetup), or null
     * for distances in cells. */
    const FillMetric *metric = nullptr;
    kardum::Interrupt *stop = nullptr;  /* polled cell by cell, when given: a stop
                                 * throws TclError, the grid unwritten */
};

/* Source of a cell, in FillReport::source. */
enum CellSource : signed char {
    kSourceData = 0,            /* a data cell; passes are 1, 2, ... */
    kSourceEmpty = -1,          /* left empty */
    kSourceExcluded = -2        /* holds the excluded value */
};

struct FillPass {
    int radius = 0, quadrants = 0, degree = 0;
    long long filled = 0;       /* cells filled in this pass */
    long long refitted = 0;     /* of them, fitted again at a lower degree */
    double seconds = 0.0;       /* CPU time of the pass (its thread) */
    double reach = 0.0;         /* the radius in map units, when given in them */
};

struct FillReport {
    long long dataCells = 0;
    long long excludedCells = 0;
    long long emptyCells = 0;   /* left empty after the last pass */
    std::vector<FillPass> passes;
    std::vector<signed char> source;    /* per cell, when asked for */
};

/*
 * Fills the empty cells of `grid` (nx*ny doubles) in place.  `weight`
 * (nx*ny doubles, or null) marks the empty cells by 0.0 as KDgridFill2D's
 * Nrm does.  With `wantSource` the report holds the source of every cell.
 * The setup must lie within what ::kardum::GridCompute's option reader
 * (grid/GridPath.cpp) accepts.  Throws std::bad_alloc when
 * memory runs out, leaving the grid as it was.
 */
void GuardedFill(double *grid, const double *weight, const FillSetup &setup,
                 const FillGuards &guards, bool wantSource, FillReport &report);

/* Cross-validation of the fill's settings on the data cells. */
struct CrossValidation {
    int folds = 0;
    long long predicted = 0;    /* held-out cells that received a value */
    long long missed = 0;       /* held-out cells left empty */
    double rms = 0.0;           /* of value minus data over the predicted */
};

/*
 * Splits the data cells into `folds` groups at random (from guards.seed)
 * and, for each group, fills its cells from the others' alone, as
 * GuardedFill would; the grid is only read.  2 <= folds.
 */
CrossValidation CrossValidateFill(const double *grid, const double *weight,
                                  const FillSetup &setup, const FillGuards &guards,
                                  int folds);

} // namespace kardum::package

#endif /* KARDUM_GRID_GUARDED_FILL_H */
