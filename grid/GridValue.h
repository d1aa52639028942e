/*
 * GridValue.h --
 *
 *	How records and grids travel between the steps of the kardum package
 *	(readxyz, gridfill, gridwrite, gridimage) without Tcl arrays: as Tcl
 *	values whose internal representation is a C++ buffer of doubles.
 *
 *	A records value holds n records of 3 numbers {x y z} or 5 numbers
 *	{x1 x2 y1 y2 z}, or of 4 or 6 that add the record's weight w (finite
 *	and above 0) at the end; a grid value holds nx * ny cells (x fastest), which
 *	of them are empty, the grid's extent and the text an empty cell shows.
 *	Both are ordinary Tcl lists to a script: a records value reads as the
 *	list of its records, a grid value as the list of its ny rows of nx
 *	cells.  That text is made only when a script asks for it; a value
 *	passed from one step to the next is never printed.  Any list of the
 *	right form is accepted where a value of these kinds is expected.
 *
 *	The buffers are immutable once wrapped and shared between the copies
 *	of a value.  Internal to the library.
 */

#ifndef KARDUM_GRID_GRIDVALUE_H
#define KARDUM_GRID_GRIDVALUE_H

#include "frame/Frame.h"

#include <tcl.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace kardum::package {

struct Records {
    int width = 3;                  /* 3: x y z, 5: x1 x2 y1 y2 z; 4 and 6 add a weight w */
    std::vector<double> values;     /* record i at values[i * width] */
    long long unreadable = 0;       /* records its file held that were passed over */

    std::size_t Count() const { return values.size() / static_cast<std::size_t>(width); }
    /* Whether each record ends in its weight (finite, above 0). */
    bool Weighted() const { return width == 4 || width == 6; }
    /* Whether the records are footprints x1 x2 y1 y2. */
    bool Footprints() const { return width >= 5; }
};

struct Grid {
    int nx = 0;
    int ny = 0;
    bool hasExtent = false;         /* false for a grid read from a plain list */
    double x0 = 0.0, x1 = 0.0, y0 = 0.0, y1 = 0.0;
    std::vector<double> cells;      /* cell (ix, iy) at ix + iy * nx */
    std::vector<unsigned char> empty; /* 1 where the cell holds no value */
    std::vector<double> weights;    /* binned weight of each cell, until filled */
    std::string marker;             /* what an empty cell reads as */

    std::size_t Size() const { return cells.size(); }
};

/* New values (reference count 0) that own the buffers. */
Tcl_Obj *NewRecordsObj(std::shared_ptr<const Records> records);
Tcl_Obj *NewGridObj(std::shared_ptr<const Grid> grid);

/*
 * The records of a value: the buffer itself for a records value, else the
 * list parsed (every record of the same form, every number finite).  On
 * a bad list throws ArgError naming `cmd`, the record and the element.
 */
std::shared_ptr<const Records> GetRecords(Tcl_Interp *interp, Tcl_Obj *obj,
                                          const char *cmd);

/*
 * The grid of a value: the buffer itself for a grid value, else the list
 * of rows parsed, where an element whose text equals `marker` is an empty
 * cell and every other must be a finite number.  Throws ArgError naming
 * `cmd` and the offending row or cell.
 */
std::shared_ptr<const Grid> GetGrid(Tcl_Interp *interp, Tcl_Obj *obj,
                                    const char *cmd, const std::string &marker);

/* Whether a value currently holds a records or grid buffer (for tests and
 * for helpers that must not turn such a value into text). */
bool IsRecordsObj(Tcl_Obj *obj);
bool IsGridObj(Tcl_Obj *obj);

} // namespace kardum::package

#endif /* KARDUM_GRID_GRIDVALUE_H */
