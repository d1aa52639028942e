/*
 * GridPath.h --
 *
 *	Records to a grid in C++ buffers with the workers of KDdataGrid and
 *	KDgridFill2D (see GridPath.cpp).  Internal to the library.
 */

#ifndef KARDUM_GRID_GRIDPATH_H
#define KARDUM_GRID_GRIDPATH_H

#include "grid/Binning.h"
#include "grid/GridValue.h"

#include <cfloat>
#include <memory>
#include <string>

namespace kardum::package {

/* The value of a cell without data while binning and filling (gI(11)),
 * and the excluded value (gI(12)) that no cell holds: no fit produces
 * them. */
constexpr double kEmptyValue = -DBL_MAX;
constexpr double kExcludedValue = DBL_MAX;

/* What a cell holds of the records that fall into it: their weighted
 * mean (KDdataGrid's average), or the median, smallest or largest value
 * (point binning only). */
enum class CellValue { kMean, kMedian, kMin, kMax };

/* The grid and the binning: KDdataGrid's descriptor, cells x fastest. */
struct GridSpec {
    double x0 = 0.0, x1 = 1.0, y0 = 0.0, y1 = 1.0;
    int nx = 1, ny = 1;
    bool xArea = false, yArea = false;
    bool ignoreZeros = false;
    double lo = -DBL_MAX, hi = DBL_MAX;
    std::string marker;
    CellValue cellValue = CellValue::kMean;
};

/* Bins the records (NEW ADD END): the cells hold the averages, the
 * weights the binned weights, empty cells kEmptyValue. */
std::shared_ptr<Grid> BinRecords(const Records &rec, const GridSpec &shape,
                                 BinCounts *counts = nullptr);

/* Marks the cells that hold no value: no weight and still kEmptyValue. */
void MarkEmpty(Grid &g);

} // namespace kardum::package

#endif /* KARDUM_GRID_GRIDPATH_H */
