/*
 * GridNetcdf.cpp --
 *
 *	A grid as a netCDF file in the COARDS/CF form that GMT takes for its
 *	native grids and GDAL, QGIS and ncdump read: dimensions x and y,
 *	coordinate variables x(x) and y(y) at the cell centres (ascending),
 *	z(y, x) as doubles with _FillValue NaN in the empty cells, node_offset
 *	1 (the values belong to cells, not to nodes).  Written through
 *	libnetcdf when the build found it (KARDUM_HAVE_NETCDF); without it the
 *	format is refused with an error saying so.
 *
 *	::kardum::ReadNetcdf file marker reads such a file (or GMT's) back.
 *
 *	As for the other formats, the file is written beside the target and
 *	renamed over it only when libnetcdf has closed it without error.
 */

#include "package/Commands.h"
#include "grid/GridIO.h"
#include "frame/Interrupt.h"

#include <climits>
#include <cmath>
#include <memory>
#include <cstdio>
#include <string>
#include <vector>

#ifdef KARDUM_HAVE_NETCDF
#include <netcdf.h>
#endif

namespace kardum::package {

bool HaveNetcdf()
{
#ifdef KARDUM_HAVE_NETCDF
    return true;
#else
    return false;
#endif
}

#ifndef KARDUM_HAVE_NETCDF

void WriteNetcdf(Tcl_Interp *, const Grid &, Tcl_Obj *, const double *)
{
    Fail("kardum::gridwrite: -format netcdf needs libnetcdf, which this build of the "
         "library lacks: write -format xyz or esri-ascii");
}

std::shared_ptr<Grid> ReadNetcdf(Tcl_Interp *, Tcl_Obj *, const std::string &)
{
    Fail("kardum::gridread: -format netcdf needs libnetcdf, which this build of the "
         "library lacks");
}

#else

namespace {

const char *kCmd = "kardum::gridwrite";

/* The temporary file beside the target: removed unless renamed. */
class TempPath {
public:
    /* A link is followed to its file, which is replaced (WriteTarget). */
    explicit TempPath(Tcl_Obj *target) : target_(WriteTarget(target, &special_)) {}
    ~TempPath()
    {
        if (ncid_ >= 0) {
            nc_close(ncid_);
        }
        if (temp_ != nullptr) {
            Tcl_FSDeleteFile(temp_);
            Tcl_DecrRefCount(temp_);
        }
        Tcl_DecrRefCount(target_);
    }
    TempPath(const TempPath &) = delete;
    TempPath &operator=(const TempPath &) = delete;

    /* Creates the file under a name no other writer holds. */
    int Create()
    {
        if (special_) {
            Fail("%s: \"%s\" is a device or a pipe: a netCDF file is written only to a "
                 "file", kCmd, Tcl_GetString(target_));
        }
        Tcl_Time now;
        Tcl_GetTime(&now);
        unsigned long long tag = static_cast<unsigned long long>(now.sec) * 1000003u +
                                 static_cast<unsigned long long>(now.usec);
        int status = NC_EEXIST;
        for (int attempt = 0; attempt < 64 && status == NC_EEXIST; ++attempt) {
            char suffix[48];
            std::snprintf(suffix, sizeof suffix, ".%llx.part",
                          (tag + attempt * 7919u) & 0xffffffffffull);
            Tcl_Obj *name = Tcl_DuplicateObj(target_);
            Tcl_IncrRefCount(name);
            Tcl_AppendToObj(name, suffix, -1);
            const char *native = static_cast<const char *>(Tcl_FSGetNativePath(name));
            if (native == nullptr) {
                Tcl_DecrRefCount(name);
                Fail("%s: cannot write beside \"%s\"", kCmd, Tcl_GetString(target_));
            }
            status = nc_create(native, NC_NOCLOBBER | NC_64BIT_OFFSET, &ncid_);
            if (status == NC_NOERR) {
                temp_ = name;
            } else {
                ncid_ = -1;
                Tcl_DecrRefCount(name);
            }
        }
        Check(status);
        return ncid_;
    }

    /* A libnetcdf status: anything but success ends the write. */
    void Check(int status) const
    {
        if (status != NC_NOERR) {
            Fail("%s: error writing \"%s\": %s; the file is left as it was", kCmd,
                 Tcl_GetString(target_), nc_strerror(status));
        }
    }

    void Commit()
    {
        int id = ncid_;
        ncid_ = -1;
        Check(nc_close(id));
        CopyPermissions(target_, temp_);
        if (Tcl_FSRenameFile(temp_, target_) != 0) {
            Fail("%s: cannot replace \"%s\": %s; the file is left as it was", kCmd,
                 Tcl_GetString(target_), Tcl_PosixError(nullptr));
        }
        Tcl_DecrRefCount(temp_);
        temp_ = nullptr;
    }

private:
    bool special_ = false;          /* set by WriteTarget: before target_ */
    Tcl_Obj *target_;
    Tcl_Obj *temp_ = nullptr;
    int ncid_ = -1;
};

void PutText(const TempPath &file, int ncid, int var, const char *name, const char *text)
{
    file.Check(nc_put_att_text(ncid, var, name, std::char_traits<char>::length(text), text));
}

} // namespace

void WriteNetcdf(Tcl_Interp *interp, const Grid &g, Tcl_Obj *path, const double *extent)
{
    double x0 = extent[0], x1 = extent[1], y0 = extent[2], y1 = extent[3];
    double dx = (x1 - x0) / g.nx, dy = (y1 - y0) / g.ny;
    bool xDown = x0 > x1, yDown = y0 > y1;
    /* centres from the smaller edge up */
    std::vector<double> xs(static_cast<std::size_t>(g.nx)), ys(static_cast<std::size_t>(g.ny));
    double xLow = std::fmin(x0, x1), yLow = std::fmin(y0, y1);
    double adx = std::fabs(dx), ady = std::fabs(dy);
    for (int i = 0; i < g.nx; ++i) {
        xs[static_cast<std::size_t>(i)] = xLow + (i + 0.5) * adx;
    }
    for (int j = 0; j < g.ny; ++j) {
        ys[static_cast<std::size_t>(j)] = yLow + (j + 0.5) * ady;
    }

    TempPath file(path);
    int nc = file.Create();
    int xDim = 0, yDim = 0, xVar = 0, yVar = 0, zVar = 0;
    file.Check(nc_def_dim(nc, "x", static_cast<size_t>(g.nx), &xDim));
    file.Check(nc_def_dim(nc, "y", static_cast<size_t>(g.ny), &yDim));
    file.Check(nc_def_var(nc, "x", NC_DOUBLE, 1, &xDim, &xVar));
    file.Check(nc_def_var(nc, "y", NC_DOUBLE, 1, &yDim, &yVar));
    int dims[2] = {yDim, xDim};
    file.Check(nc_def_var(nc, "z", NC_DOUBLE, 2, dims, &zVar));
    PutText(file, nc, NC_GLOBAL, "Conventions", "CF-1.7, COARDS");
    PutText(file, nc, NC_GLOBAL, "title", "grid written by kardum::gridwrite");
    int one = 1;
    file.Check(nc_put_att_int(nc, NC_GLOBAL, "node_offset", NC_INT, 1, &one));
    PutText(file, nc, xVar, "long_name", "x");
    PutText(file, nc, xVar, "standard_name", "projection_x_coordinate");
    PutText(file, nc, xVar, "axis", "X");
    PutText(file, nc, yVar, "long_name", "y");
    PutText(file, nc, yVar, "standard_name", "projection_y_coordinate");
    PutText(file, nc, yVar, "axis", "Y");
    PutText(file, nc, zVar, "long_name", "z");
    /* the range of the values, which GMT reports without reading them */
    double zRange[2] = {HUGE_VAL, -HUGE_VAL};
    for (std::size_t k = 0; k < g.Size(); ++k) {
        if (!g.empty[k]) {
            zRange[0] = std::fmin(zRange[0], g.cells[k]);
            zRange[1] = std::fmax(zRange[1], g.cells[k]);
        }
    }
    if (zRange[0] <= zRange[1]) {
        file.Check(nc_put_att_double(nc, zVar, "actual_range", NC_DOUBLE, 2, zRange));
    }
    double xRange[2] = {xLow, xLow + g.nx * adx};
    double yRange[2] = {yLow, yLow + g.ny * ady};
    file.Check(nc_put_att_double(nc, xVar, "actual_range", NC_DOUBLE, 2, xRange));
    file.Check(nc_put_att_double(nc, yVar, "actual_range", NC_DOUBLE, 2, yRange));
    double fill = std::nan("");
    file.Check(nc_put_att_double(nc, zVar, "_FillValue", NC_DOUBLE, 1, &fill));
    file.Check(nc_enddef(nc));
    file.Check(nc_put_var_double(nc, xVar, xs.data()));
    file.Check(nc_put_var_double(nc, yVar, ys.data()));

    /* Row by row from the smallest y, each from the smallest x. */
    Interrupt stop(interp);
    std::vector<double> row(static_cast<std::size_t>(g.nx));
    for (int j = 0; j < g.ny; ++j) {
        if (stop.Check()) {
            throw TclError{};
        }
        int iy = yDown ? g.ny - 1 - j : j;
        for (int i = 0; i < g.nx; ++i) {
            int ix = xDown ? g.nx - 1 - i : i;
            std::size_t k = static_cast<std::size_t>(iy) * g.nx + ix;
            row[static_cast<std::size_t>(i)] = g.empty[k] ? fill : g.cells[k];
        }
        size_t start[2] = {static_cast<size_t>(j), 0};
        size_t count[2] = {1, static_cast<size_t>(g.nx)};
        file.Check(nc_put_vara_double(nc, zVar, start, count, row.data()));
    }
    file.Commit();
}

namespace {

/* A netCDF file open for reading, closed on every path. */
class NcReader {
public:
    NcReader(Tcl_Obj *path) : file_(Tcl_GetString(path))
    {
        const char *native = static_cast<const char *>(Tcl_FSGetNativePath(path));
        if (native == nullptr) {
            Fail("kardum::gridread: cannot read \"%s\"", file_);
        }
        Check(nc_open(native, NC_NOWRITE, &id_));
    }
    ~NcReader()
    {
        if (id_ >= 0) {
            nc_close(id_);
        }
    }
    NcReader(const NcReader &) = delete;
    NcReader &operator=(const NcReader &) = delete;

    int Id() const { return id_; }
    const char *File() const { return file_; }

    void Check(int status) const
    {
        if (status != NC_NOERR) {
            Fail("kardum::gridread: error reading \"%s\": %s", file_, nc_strerror(status));
        }
    }

    /* A numeric attribute of one or two values, when present. */
    bool Attribute(int var, const char *name, double *values, std::size_t count) const
    {
        nc_type type;
        size_t length = 0;
        if (nc_inq_att(id_, var, name, &type, &length) != NC_NOERR || length != count ||
            type == NC_CHAR || type == NC_STRING) {
            return false;
        }
        Check(nc_get_att_double(id_, var, name, values));
        return true;
    }

private:
    const char *file_;
    int id_ = -1;
};

} // namespace

std::shared_ptr<Grid> ReadNetcdf(Tcl_Interp *interp, Tcl_Obj *path, const std::string &marker)
{
    NcReader nc(path);
    int id = nc.Id();
    /* The grid: the first variable of two dimensions, z(y, x). */
    int nVars = 0;
    nc.Check(nc_inq_nvars(id, &nVars));
    int zVar = -1;
    int dims[NC_MAX_VAR_DIMS];
    for (int v = 0; v < nVars && zVar < 0; ++v) {
        int nDims = 0;
        nc.Check(nc_inq_varndims(id, v, &nDims));
        if (nDims == 2) {
            zVar = v;
            nc.Check(nc_inq_vardimid(id, v, dims));
        }
    }
    if (zVar < 0) {
        Fail("kardum::gridread: %s holds no variable of two dimensions: not a grid", nc.File());
    }
    size_t ny = 0, nx = 0;
    nc.Check(nc_inq_dimlen(id, dims[0], &ny));
    nc.Check(nc_inq_dimlen(id, dims[1], &nx));
    if (nx < 1 || ny < 1 || static_cast<double>(nx) * ny > INT_MAX) {
        Fail("kardum::gridread: %s: a grid of %zu by %zu cells cannot be read", nc.File(), nx, ny);
    }

    /* The extent along one axis: the coordinate variable named as the
     * dimension holds the cell centres (node_offset 1, the values belong to
     * cells) or the nodes; actual_range, where given, the exact ends. */
    int nodeOffset = 0;
    {
        double v = 0.0;
        if (nc.Attribute(NC_GLOBAL, "node_offset", &v, 1)) {
            nodeOffset = v != 0.0;
        }
    }
    auto axis = [&](int dim, size_t n, double &lo, double &hi, bool &down) {
        char name[NC_MAX_NAME + 1];
        nc.Check(nc_inq_dimname(id, dim, name));
        int var = -1;
        if (nc_inq_varid(id, name, &var) != NC_NOERR) {
            Fail("kardum::gridread: %s has no coordinate variable %s", nc.File(), name);
        }
        std::vector<double> c(n);
        nc.Check(nc_get_var_double(id, var, c.data()));
        down = n > 1 && c[n - 1] < c[0];
        double first = std::fmin(c[0], c[n - 1]), last = std::fmax(c[0], c[n - 1]);
        double step = n > 1 ? (last - first) / static_cast<double>(n - 1) : 0.0;
        double range[2];
        if (nc.Attribute(var, "actual_range", range, 2)) {
            lo = std::fmin(range[0], range[1]);
            hi = std::fmax(range[0], range[1]);
            if (!nodeOffset) {         /* the range of the nodes: half a cell out */
                lo -= step / 2.0;
                hi += step / 2.0;
            }
        } else {
            lo = first - step / 2.0;
            hi = last + step / 2.0;
        }
        if (!(std::isfinite(lo) && std::isfinite(hi) && lo < hi)) {
            Fail("kardum::gridread: %s: the %s axis spans no width", nc.File(), name);
        }
    };
    auto g = std::make_shared<Grid>();
    g->nx = static_cast<int>(nx);
    g->ny = static_cast<int>(ny);
    g->hasExtent = true;
    g->marker = marker;
    bool xDown = false, yDown = false;
    axis(dims[1], nx, g->x0, g->x1, xDown);
    axis(dims[0], ny, g->y0, g->y1, yDown);

    std::vector<double> z(nx * ny);
    nc.Check(nc_get_var_double(id, zVar, z.data()));
    double scale = 1.0, offset = 0.0, fill = std::nan(""), missing = std::nan("");
    nc.Attribute(zVar, "scale_factor", &scale, 1);
    nc.Attribute(zVar, "add_offset", &offset, 1);
    bool hasFill = nc.Attribute(zVar, "_FillValue", &fill, 1);
    bool hasMissing = nc.Attribute(zVar, "missing_value", &missing, 1);
    g->cells.resize(nx * ny);
    g->empty.resize(nx * ny);
    Interrupt stop(interp);
    for (size_t j = 0; j < ny; ++j) {
        if (stop.Poll()) {
            throw TclError{};
        }
        size_t iy = yDown ? ny - 1 - j : j;
        for (size_t i = 0; i < nx; ++i) {
            size_t ix = xDown ? nx - 1 - i : i;
            double v = z[j * nx + i];
            bool none = std::isnan(v) || (hasFill && v == fill) || (hasMissing && v == missing);
            if (!none && scale != 1.0) {
                v = v * scale;
            }
            if (!none && offset != 0.0) {
                v = v + offset;
            }
            if (!none && !std::isfinite(v)) {
                Fail("kardum::gridread: %s: cell (%zu, %zu) holds an infinite value", nc.File(),
                     ix, iy);
            }
            size_t k = iy * nx + ix;
            g->cells[k] = none ? 0.0 : v;
            g->empty[k] = none;
        }
    }
    return g;
}

#endif

/* ::kardum::ReadNetcdf file marker */
int ReadNetcdfCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    return RunCommand(interp, "kardum::gridread", [&]() -> int {
        if (objc != 3) {
            Tcl_WrongNumArgs(interp, 1, objv, "file marker");
            return TCL_ERROR;
        }
        Tcl_SetObjResult(interp, NewGridObj(ReadNetcdf(interp, objv[1], Tcl_GetString(objv[2]))));
        return TCL_OK;
    });
}

} // namespace kardum::package
