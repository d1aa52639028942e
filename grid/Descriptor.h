/*
 * Descriptor.h --
 *
 *	Element numbers of the grid descriptor array gI.  KDdataGrid writes
 *	and reads elements 0 .. 14; KDgridFill2D reads the same array and
 *	adds the two boundary letters 15 and 16.  Internal to the library.
 */

#ifndef KARDUM_GRID_DESCRIPTOR_H
#define KARDUM_GRID_DESCRIPTOR_H

namespace kardum::gi {

enum Element : int {
    kX0 = 0,            /* extent along x: first and last edge */
    kX1 = 1,
    kY0 = 2,            /* extent along y */
    kY1 = 3,
    kNx = 4,            /* cells along x */
    kNy = 5,            /* cells along y */
    kXBin = 6,          /* "POINT" or an area word: how x intervals bin */
    kYBin = 7,
    kOrder = 8,         /* storage order: "COLUMN" (y fastest) or other */
    kIgnore = 9,        /* "IGNORE": zero values are not binned */
    kAction = 10,       /* action words NEW, ADD, END */
    kEmpty = 11,        /* value of a cell without data */
    kExcluded = 12,     /* value of a cell that is neither filled nor used */
    kLow = 13,          /* value bounds */
    kHigh = 14,
    kXBoundary = 15,    /* boundary letter along x: Y periodic, N relaxed */
    kYBoundary = 16,
    kCount = 17
};

} // namespace kardum::gi

#endif /* KARDUM_GRID_DESCRIPTOR_H */
