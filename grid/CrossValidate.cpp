/*
 * CrossValidate.cpp --
 *
 *	Cross-validation over the records for kardum::gridfill's methods (see
 *	CrossValidate.h): the records dealt into folds, at random or by
 *	spatial blocks, every fold left out in turn and predicted from the
 *	grid of the others; the local fill's prediction.  The surface's lives
 *	beside the surface's call (grid/GridPath.cpp).
 */

#include "grid/CrossValidate.h"

#include "kardum.h"

#include "frame/Frame.h"
#include "grid/SurfaceFill.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <queue>
#include <utility>

namespace kardum::package {

namespace {

/* The fold of every placed record; for blocks, the blocks along x and y. */
struct Folds {
    std::vector<int> of;
    int bx = 0, by = 0;
};

/* A random order of `count` items from the seed: their keys drawn as
 * KDdataRnd1 draws them, sorted, ties kept in order. */
std::vector<std::size_t> ShuffledOrder(std::size_t count, int seed)
{
    std::vector<double> keys(count);
    if (count > 0) {
        DataRnd1_C(keys.data(), static_cast<int>(count), 0, 1.0, seed);
    }
    std::vector<std::size_t> order(count);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&keys](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
    return order;
}

/* Random folds: the records in a random order, fold f holding every k-th
 * of it from the f-th on. */
Folds RandomFolds(std::size_t n, int k, int seed)
{
    Folds folds;
    folds.of.resize(n);
    std::vector<std::size_t> order = ShuffledOrder(n, seed);
    for (std::size_t i = 0; i < n; ++i) {
        folds.of[order[i]] = static_cast<int>(i % static_cast<std::size_t>(k));
    }
    return folds;
}

/* The blocks along x and y: `across` along the extent's longer side (in
 * map units: cells of `aspect`, y side over x side) and as many along the
 * other as keep them about square, no more along an axis than it has
 * cells. */
void Lattice(int nx, int ny, double aspect, int across, int &bx, int &by)
{
    double width = nx / std::sqrt(aspect), height = ny * std::sqrt(aspect);
    bool wide = width >= height;
    double ratio = wide ? height / width : width / height;
    int other = static_cast<int>(std::max(1.0, std::floor(across * ratio + 0.5)));
    bx = std::min(wide ? across : other, nx);
    by = std::min(wide ? other : across, ny);
}

/* The group of block (i, j), numbered a * ceil(by / 2) + b. */
int Group(int i, int j, int bx, int by)
{
    int a = std::min(i, bx - 1 - i), b = std::min(j, by - 1 - j);
    if (bx == by && a > b) {
        std::swap(a, b);
    }
    return a * ((by + 1) / 2) + b;
}

int GroupCount(int bx, int by)
{
    int ha = (bx + 1) / 2, hb = (by + 1) / 2;
    return bx == by ? ha * (ha + 1) / 2 : ha * hb;
}

/* The block along one axis of a record at u = 0 ... blocks (its position
 * in block widths), counted from the nearer end so that a mirrored record
 * lands in the mirrored block. */
int BlockOf(double u, int blocks)
{
    int b = 2.0 * u < blocks ? static_cast<int>(std::floor(u))
                             : blocks - 1 - static_cast<int>(std::floor(blocks - u));
    return std::clamp(b, 0, blocks - 1);
}

/*
 * Folds of spatial blocks: the extent cut into equal blocks (Lattice).
 * Blocks that are mirror images of one another about the extent's centre
 * lines, and about its diagonal when there are as many along x as along
 * y, form one group and always share a fold, so that mirroring or
 * transposing the records with the extent deals the same records into the
 * same folds.  The groups, in a random order from the seed, go one by one
 * to the fold that holds the fewest records so far (the first such fold
 * on ties).
 */
Folds BlockFolds(const std::vector<double> &gx, const std::vector<double> &gy, int nx, int ny,
                 double aspect, const FoldSpec &spec, int seed)
{
    Folds folds;
    int across = spec.across;
    if (across == 0) {
        /* The fewest blocks that make twice as many groups as folds, so
         * that the folds come out about equal. */
        int longest = std::max(nx, ny);
        for (across = std::min(3, longest); across < longest; ++across) {
            Lattice(nx, ny, aspect, across, folds.bx, folds.by);
            if (GroupCount(folds.bx, folds.by) >= 2LL * spec.folds) {
                break;
            }
        }
    }
    Lattice(nx, ny, aspect, across, folds.bx, folds.by);
    int bx = folds.bx, by = folds.by;
    std::size_t groups = static_cast<std::size_t>((bx + 1) / 2) * ((by + 1) / 2);
    std::size_t n = gx.size();
    std::vector<int> groupOf(n);
    std::vector<long long> inGroup(groups, 0);
    for (std::size_t r = 0; r < n; ++r) {
        /* Node ix spans ix - 0.5 ... ix + 0.5 of the extent's nx cells. */
        int i = BlockOf((gx[r] + 0.5) / nx * bx, bx);
        int j = BlockOf((gy[r] + 0.5) / ny * by, by);
        groupOf[r] = Group(i, j, bx, by);
        ++inGroup[static_cast<std::size_t>(groupOf[r])];
    }
    /* No more folds than groups can receive one; the lightest fold first,
     * the lowest number among equals. */
    std::vector<int> foldOfGroup(groups, 0);
    using Load = std::pair<long long, int>;
    std::priority_queue<Load, std::vector<Load>, std::greater<Load>> lightest;
    int used = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(spec.folds), groups));
    for (int f = 0; f < used; ++f) {
        lightest.push({0, f});
    }
    for (std::size_t g : ShuffledOrder(groups, seed)) {
        Load load = lightest.top();
        lightest.pop();
        foldOfGroup[g] = load.second;
        load.first += inGroup[g];
        lightest.push(load);
    }
    folds.of.resize(n);
    for (std::size_t r = 0; r < n; ++r) {
        folds.of[r] = foldOfGroup[static_cast<std::size_t>(groupOf[r])];
    }
    return folds;
}

void Put(Tcl_Obj *dict, const char *key, Tcl_Obj *value)
{
    Tcl_DictObjPut(nullptr, dict, Tcl_NewStringObj(key, -1), value);
}

/*
 * Every fold that holds records in turn, predicted from the others; a
 * fold with all the records is passed over (its records missed).
 * Returns the report dict.
 */
Tcl_Obj *RunFolds(const std::vector<double> &z, const Folds &folds, const FoldSpec &spec,
                  const FoldPredictor &predict)
{
    std::size_t n = z.size();
    std::vector<double> residual(n, 0.0), value;
    std::vector<unsigned char> predicted(n, 0), ok;
    /* The records fold by fold, in their order within a fold. */
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&folds](std::size_t a, std::size_t b) {
        return folds.of[a] < folds.of[b];
    });
    std::vector<std::size_t> held;
    for (std::size_t a = 0, b = 0; a < n; a = b) {
        int f = folds.of[order[a]];
        while (b < n && folds.of[order[b]] == f) {
            ++b;
        }
        if (b - a == n) {
            continue;       /* nothing left to make a grid from */
        }
        held.assign(order.begin() + static_cast<std::ptrdiff_t>(a),
                    order.begin() + static_cast<std::ptrdiff_t>(b));
        value.assign(held.size(), 0.0);
        ok.assign(held.size(), 0);
        predict(folds.of, f, held, value, ok);
        for (std::size_t h = 0; h < held.size(); ++h) {
            if (ok[h]) {
                residual[held[h]] = value[h] - z[held[h]];
                predicted[held[h]] = 1;
            }
        }
    }
    double sum = 0.0, largest = 0.0;
    long long count = 0;
    Tcl_Obj *list = Tcl_NewListObj(0, nullptr);
    for (std::size_t r = 0; r < n; ++r) {
        if (!predicted[r]) {
            Tcl_ListObjAppendElement(nullptr, list, Tcl_NewObj());
            continue;
        }
        sum += residual[r] * residual[r];
        largest = std::max(largest, std::fabs(residual[r]));
        ++count;
        Tcl_ListObjAppendElement(nullptr, list, Tcl_NewDoubleObj(residual[r]));
    }
    Tcl_Obj *report = Tcl_NewDictObj();
    Put(report, "folds", Tcl_NewWideIntObj(spec.folds));
    if (spec.blocks) {
        Tcl_Obj *blocks[2] = {Tcl_NewIntObj(folds.bx), Tcl_NewIntObj(folds.by)};
        Put(report, "blocks", Tcl_NewListObj(2, blocks));
    }
    Put(report, "predicted", Tcl_NewWideIntObj(count));
    Put(report, "missed", Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(n) - count));
    Put(report, "rms",
        Tcl_NewDoubleObj(count ? std::sqrt(sum / static_cast<double>(count)) : 0.0));
    Put(report, "max", Tcl_NewDoubleObj(largest));
    Put(report, "residuals", list);
    return report;
}

/* The four nodes around grid coordinates (x, y) and the bilinear weights
 * of the second ones, as the surface reads its records (Locate);
 * beyond the outer nodes the weights run past 0 or 1 (by at most half a
 * cell for a record inside the extent). */
struct Corners {
    int i, j, i1, j1;
    double wx, wy;
};

Corners CornersAt(int nx, int ny, double x, double y)
{
    Corners c;
    Locate(x, nx, c.i, c.wx);
    Locate(y, ny, c.j, c.wy);
    c.i1 = std::min(c.i + 1, nx - 1);
    c.j1 = std::min(c.j + 1, ny - 1);
    return c;
}

double Blend(const Corners &c, double v00, double v10, double v01, double v11)
{
    return (1 - c.wy) * ((1 - c.wx) * v00 + c.wx * v10) +
           c.wy * ((1 - c.wx) * v01 + c.wx * v11);
}

} // namespace

Tcl_Obj *CrossValidateRecords(const std::vector<double> &gx, const std::vector<double> &gy,
                              const std::vector<double> &z, int nx, int ny, double aspect,
                              const FoldSpec &spec, int seed, const FoldPredictor &predict)
{
    Folds folds = spec.blocks ? BlockFolds(gx, gy, nx, ny, aspect, spec, seed)
                              : RandomFolds(z.size(), spec.folds, seed);
    return RunFolds(z, folds, spec, predict);
}

Tcl_Obj *LocalCrossValidation(const Records &rec, const PlacedRecords &placed,
                              const GridSpec &shape, const FillSetup &setup,
                              const FillGuards &guards, const FoldSpec &spec)
{
    /* The placed record of every record, none for those never held out. */
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::vector<std::size_t> placedOf(rec.Count(), kNone);
    for (std::size_t r = 0; r < placed.index.size(); ++r) {
        placedOf[placed.index[r]] = r;
    }
    int nx = shape.nx, ny = shape.ny;
    std::size_t width = static_cast<std::size_t>(rec.width);
    Records rest;
    rest.width = rec.width;
    std::vector<Corners> corners;
    std::vector<long long> nodes;
    std::vector<double> values;
    std::vector<unsigned char> filled;
    auto predict = [&](const std::vector<int> &foldOf, int f,
                       const std::vector<std::size_t> &held, std::vector<double> &value,
                       std::vector<unsigned char> &ok) {
        /* Folds of data cells alone fill nothing, and so poll nothing. */
        if (guards.stop != nullptr && guards.stop->Poll()) {
            throw TclError{};
        }
        rest.values.clear();
        for (std::size_t k = 0; k < placedOf.size(); ++k) {
            if (placedOf[k] == kNone || foldOf[placedOf[k]] != f) {
                const double *r = rec.values.data() + k * width;
                rest.values.insert(rest.values.end(), r, r + width);
            }
        }
        std::shared_ptr<Grid> grid = BinRecords(rest, shape);
        /* Only the nodes the held-out records are read from are filled. */
        corners.clear();
        nodes.clear();
        for (std::size_t r : held) {
            Corners c = CornersAt(nx, ny, placed.gx[r], placed.gy[r]);
            corners.push_back(c);
            for (int b : {c.j, c.j1}) {
                for (int a : {c.i, c.i1}) {
                    nodes.push_back(static_cast<long long>(b) * nx + a);
                }
            }
        }
        std::sort(nodes.begin(), nodes.end());
        nodes.erase(std::unique(nodes.begin(), nodes.end()), nodes.end());
        FillCellsAt(grid->cells.data(), grid->weights.data(), setup, guards, nodes, values,
                    filled);
        for (std::size_t h = 0; h < held.size(); ++h) {
            const Corners &c = corners[h];
            const int xs[4] = {c.i, c.i1, c.i, c.i1}, ys[4] = {c.j, c.j, c.j1, c.j1};
            double v[4];
            bool has[4];
            bool all = true;
            for (int q = 0; q < 4; ++q) {
                long long node = static_cast<long long>(ys[q]) * nx + xs[q];
                std::size_t at = static_cast<std::size_t>(
                    std::lower_bound(nodes.begin(), nodes.end(), node) - nodes.begin());
                has[q] = filled[at] != 0;
                v[q] = values[at];
                all = all && has[q];
            }
            if (all) {
                value[h] = Blend(c, v[0], v[1], v[2], v[3]);
                ok[h] = 1;
                continue;
            }
            /* Some corners stay empty: the weighted mean of those that
             * hold a value, by the bilinear weights within the cell. */
            double wx = std::clamp(c.wx, 0.0, 1.0), wy = std::clamp(c.wy, 0.0, 1.0);
            const double w[4] = {(1 - wx) * (1 - wy), wx * (1 - wy), (1 - wx) * wy, wx * wy};
            double sum = 0.0, weight = 0.0;
            for (int q = 0; q < 4; ++q) {
                if (has[q] && w[q] > 0.0) {
                    sum += w[q] * v[q];
                    weight += w[q];
                }
            }
            if (weight > 0.0) {
                value[h] = sum / weight;
                ok[h] = 1;
            }
        }
    };
    double aspect = std::fabs(((shape.y1 - shape.y0) / shape.ny) /
                              ((shape.x1 - shape.x0) / shape.nx));
    return CrossValidateRecords(placed.gx, placed.gy, placed.z, nx, ny, aspect, spec,
                                guards.seed, predict);
}

} // namespace kardum::package
