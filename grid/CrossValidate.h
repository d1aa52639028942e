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

#include "grid/GridPath.h"
#include "grid/GuardedFill.h"

#include <cstddef>
#include <functional>
#include <vector>

namespace kardum::package {

/* What -crossvalidate asks for: {k}, {k records}, {k blocks} or
 * {k blocks n}. */
struct FoldSpec {
    int folds = 0;              /* k; 0: no cross-validation */
    bool blocks = false;        /* folds of spatial blocks, else records at random */
    int across = 0;             /* blocks along the extent's longer side; 0: chosen */
};

/* Records at grid coordinates: node ix (the centre of cell ix) at gx =
 * ix; index[i] is the number of record i among all the records given. */
struct PlacedRecords {
    std::vector<double> gx, gy, z;
    std::vector<std::size_t> index;
};

/*
 * Predicts the records `held` (numbers into gx, gy, z; those with
 * foldOf[r] == fold) from the others: value[h] and ok[h] (0: missed) for
 * held[h].
 */
using FoldPredictor = std::function<void(const std::vector<int> &foldOf, int fold,
                                         const std::vector<std::size_t> &held,
                                         std::vector<double> &value,
                                         std::vector<unsigned char> &ok)>;

/*
 * The records at grid coordinates (gx, gy) with values z, on a grid of nx
 * by ny cells of `aspect` (y side over x side), dealt into the folds of
 * `spec` (from `seed`), each fold predicted in turn; a fold that holds
 * every record is passed over.  Returns the report dict: folds, predicted,
 * missed, rms, max (the largest absolute error), residuals (prediction
 * minus value per record, in their order; empty where missed) and, for
 * blocks, blocks {bx by}.
 */
Tcl_Obj *CrossValidateRecords(const std::vector<double> &gx, const std::vector<double> &gy,
                              const std::vector<double> &z, int nx, int ny, double aspect,
                              const FoldSpec &spec, int seed, const FoldPredictor &predict);

/*
 * -crossvalidate for the local fill: each fold's complement, among all
 * the records `rec`, binned as BinRecords bins and filled as GuardedFill
 * fills (only the cells a held-out record is read from are computed); the
 * placed records are those held out.  A record whose four cells do not all
 * hold a value is predicted from those that do, by their bilinear weights
 * within its cell, and missed when none does.  The report as above.
 */
Tcl_Obj *LocalCrossValidation(const Records &rec, const PlacedRecords &placed,
                              const GridSpec &shape, const FillSetup &setup,
                              const FillGuards &guards, const FoldSpec &spec);

} // namespace kardum::package

#endif /* KARDUM_GRID_CROSS_VALIDATE_H */
