/*
 * GridFill.h --
 *
 *	The steps of KDgridFill2D, for GridFill_C and for other C++ of the
 *	library that fills grids cell by cell:
 *
 *	  FillPlan     what stays fixed for one fill (sizes, strides, interior
 *	               rectangle, points per quadrant, random table);
 *	  MarkCells    the state of every cell: data, excluded, to be filled;
 *	  FillCell     one empty cell, from its neighbours in state kData:
 *	               gathering per quadrant, weighting, fitting, capping.
 *
 *	FillCell reads the grid and the states and writes only the work store,
 *	so a caller decides what to do with each value and may change states
 *	between cells or passes.  Internal to the library; nothing here is
 *	exported.
 */

#ifndef KARDUM_GRID_FILL_H
#define KARDUM_GRID_FILL_H

#include "frame/Elements.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace kardum::fill {

const int kTableSize = 100;        /* random values drawn per call */
const double kTableScale = 0.02;   /* their magnitude stays below this */

/* Positions in GridFill_C's descriptor record (its ninth argument); kRec,
 * since they are not the descriptor's element numbers (Descriptor.h). */
enum Record : int {
    kRecX0 = 0, kRecX1 = 1, kRecY0 = 2, kRecY1 = 3,  /* extent, carried along */
    kRecNx = 4, kRecNy = 5,
    kRecEmpty = 6,         /* gI(11) */
    kRecExcluded = 7,      /* gI(12) */
    kRecLayout = 8,        /* gI(8), first character code */
    kRecXBoundary = 9,     /* gI(15), first character code */
    kRecYBoundary = 10,    /* gI(16), first character code */
    kRecLower = 11,        /* gI(13): exclusive bounds of every extremum search */
    kRecUpper = 12,        /* gI(14) */
    kRecSize = 13
};

/* Positions in GridFill_C's limits record (its eighth argument). */
enum Limit : int { kLowX = 0, kHighX = 1, kLowY = 2, kHighY = 3, kDegree = 4, kLimitCount = 5 };

/* Cell states.  Only cells in state kData serve as neighbours. */
enum CellState : signed char {
    kData = 1,          /* usable as a neighbour, never changed */
    kExcludedCell = 2,  /* never changed, never used */
    kToFill = -1,       /* empty, to be filled */
    kDone = 0           /* empty, handled in this pass; not a neighbour */
};

/* What stays fixed for one fill. */
struct FillPlan {
    int nx = 0, ny = 0;
    long long strideX = 0, strideY = 0;     /* flat position = ix*strideX + iy*strideY */
    bool xPeriodic = false, yPeriodic = false;   /* boundary letter Y */
    bool xRelaxed = false, yRelaxed = false;     /* boundary letter N */
    int xlo = 0, xhi = 0, ylo = 0, yhi = 0;      /* interior rectangle, bounds included */
    int r = 0;                  /* search radius in cells */
    double r2 = 0.0;            /* r * r */
    int quadrants = 1;          /* Q: quadrants that must contribute */
    int degree = 1;             /* total degree of the local surface */
    int nCoef = 1;              /* its coefficient count */
    int need[5] = {0};          /* points kept per quadrant when k are required */
    std::size_t slots = 0;      /* candidate slots: 4 * need[1] */
    double sentinel = 0.0;      /* nx * ny: squared distance of an empty slot */
    double p = 0.0;             /* weight exponent */
    char cap = 'O';             /* 'N' heaviest point, 'A' largest value, 'O' none */
    bool useWeight = false;     /* empty cells come from the weight grid */
    double empty = 0.0, excluded = 0.0;
    double lower = 0.0, upper = 0.0;
    double table[kTableSize] = {};   /* spreads degenerate layouts */

    long long Position(long long ix, long long iy) const { return ix * strideX + iy * strideY; }
};

/*
 * Builds the plan from GridFill_C's arguments (which must already have
 * passed its checks) and the random table.  `limits` holds the margins as
 * given; the plan holds the interior bounds derived from them.
 */
FillPlan MakePlan(int m, int r, const char *mode, double p, int q,
                  const int *limits, const double *record, const double *table);

/* Sets the state of every cell (nx * ny of them). */
void MarkCells(const FillPlan &plan, const double *grid, const double *weight,
               signed char *state);

/* Work buffers for FillCell, taken once and reused for every cell. */
struct FillStore {
    std::vector<double> value, dist;        /* candidate slots */
    std::vector<int> dx, dy;
    std::vector<double> x, y, z, w;         /* gathered points of one fit */
    std::vector<double> coef;

    explicit FillStore(const FillPlan &plan);
};

/* The record of the cell being filled. */
struct FillCellRecord {
    int ix = 0, iy = 0;
    int required = 0;       /* quadrants that must contribute here */
    int capacity = 0;       /* slots per quadrant */
    int replace[4] = {0};   /* per quadrant: the slot a nearer candidate takes */
    int marked[4] = {0};    /* per quadrant: 1 once a candidate entered */
    int points = 0;         /* points gathered for the fit */
    double dmin = 0.0;      /* smallest squared distance among them */
};

/* How FillCell ended; everything but kFilled leaves the cell empty. */
enum class FillOutcome {
    kFilled,
    kTooFewQuadrants,       /* fewer than `required` quadrants found data */
    kNoNearest,             /* the nearest-point search found nothing in bounds */
    kTooFewPoints,          /* fewer points than coefficients */
    kFitFailed              /* the surface fit could not run */
};

/* The steps of FillCell, in order. */
FillCellRecord StartCell(const FillPlan &plan, int ix, int iy);
void GatherNeighbours(const FillPlan &plan, const signed char *state,
                      const double *grid, FillStore &store, FillCellRecord &cell);
bool WeighPoints(const FillPlan &plan, FillStore &store, FillCellRecord &cell);
void SpreadDegenerate(const FillPlan &plan, FillStore &store, const FillCellRecord &cell);
bool FitSurface(const FillPlan &plan, FillStore &store, const FillCellRecord &cell,
                double &value);
double CapValue(const FillPlan &plan, const FillStore &store, const FillCellRecord &cell,
                double fitted);

/*
 * Fills cell (ix, iy) from the cells in state kData: on kFilled, `value`
 * holds the capped surface value.  Reads `grid` and `state`, writes only
 * `store`.
 */
FillOutcome FillCell(const FillPlan &plan, const signed char *state,
                     const double *grid, FillStore &store, int ix, int iy,
                     double &value);

/* The same for a cell already started with StartCell; `cell` then holds
 * the gathered points (store.z[0 .. cell.points-1] are their values). */
FillOutcome FillCell(const FillPlan &plan, const signed char *state,
                     const double *grid, FillStore &store, FillCellRecord &cell,
                     double &value);

/*
 * KDgridFill2D's settings array sI and its descriptor record, read and
 * checked as the command does (ArgError naming the element on a call
 * outside the data model).
 */
struct FillSettings {
    int m = 0;                  /* sI(0): points kept per quadrant at least */
    int r = 0;                  /* sI(1): search radius */
    int q = 0;                  /* sI(2): quadrants required */
    int capMode = 0;            /* sI(3): 1 heaviest, 2 largest, other none */
    int limits[kLimitCount] = {0};   /* sI(4) .. sI(7) margins, sI(9) degree */
    double p = 0.0;             /* sI(8): weight exponent */
};

FillSettings ReadSettings(const Elements &sI);
void ReadDescriptor(const Elements &gI, double *record);
void CheckSettings(const Elements &sI, const Elements &gI,
                   const FillSettings &s, const double *record);

/*
 * The search window along one axis around cell i: from i - rlo to i + rhi,
 * cut to lo ... hi, or on a periodic axis shifted by n when it starts
 * before 0 (so that no window coordinate is negative), with the cell's
 * own coordinate as shifted.
 */
struct Window {
    long long start;
    long long end;
    long long centre;
};

inline Window MakeWindow(int i, int rlo, int rhi, int n, int lo, int hi, bool periodic)
{
    Window w{static_cast<long long>(i) - rlo, static_cast<long long>(i) + rhi, i};
    if (periodic) {
        if (w.start < 0) {
            w.start += n;
            w.end += n;
            w.centre += n;
        }
    } else {
        w.start = std::max<long long>(w.start, lo);
        w.end = std::min<long long>(w.end, hi);
    }
    return w;
}

} // namespace kardum::fill

#endif /* KARDUM_GRID_FILL_H */
