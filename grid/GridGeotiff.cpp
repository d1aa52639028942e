/*
 * GridGeotiff.cpp --
 *
 *	A grid as a GeoTIFF file, which GDAL, QGIS and GMT read: one band of
 *	64-bit IEEE samples, the row of the largest y first and each row from
 *	the smallest x, georeferenced by a ModelPixelScale (dx, dy: both
 *	increments kept) and a ModelTiepoint at the upper left corner of the
 *	grid, with the raster type PixelIsArea (the extent is the cells' outer
 *	edges, as in the ESRI and netCDF files).  Empty cells hold NaN, named
 *	in the GDAL_NODATA tag.  The exact extent also goes into GDAL's
 *	metadata tag (KARDUM_EXTENT), so that the grid reads back with the
 *	same bits even where x0 + nx * dx rounds away from x1.  Written
 *	through libtiff and libgeotiff when the build found them
 *	(KARDUM_HAVE_GEOTIFF); without them the format is refused with an
 *	error saying so.
 *
 *	::kardum::ReadGeotiff file marker reads such a file (or GDAL's) back.
 *
 *	libtiff reads and writes through callbacks on a Tcl channel: the
 *	writer's through ReplacingFile, so the file is written beside the
 *	target and renamed over it only once libtiff has written all of it,
 *	and the reader's so that any path Tcl opens can be read.  No C++
 *	exception crosses libtiff: a callback keeps it and answers libtiff
 *	with a failure, and the caller throws it again once libtiff returns.
 */

#include "package/Commands.h"
#include "grid/GridIO.h"
#include "grid/NumberText.h"
#include "frame/Interrupt.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#ifdef KARDUM_HAVE_GEOTIFF
#include <tiffio.h>
#include <geotiff.h>
#include <geovalues.h>
#include <xtiffio.h>
#endif

namespace kardum::package {

bool HaveGeotiff()
{
#ifdef KARDUM_HAVE_GEOTIFF
    return true;
#else
    return false;
#endif
}

#ifndef KARDUM_HAVE_GEOTIFF

void WriteGeotiff(Tcl_Interp *, const Grid &, Tcl_Obj *, const double *)
{
    Fail("kardum::gridwrite: -format geotiff needs libtiff and libgeotiff, which this build "
         "of the library lacks: write -format %s", HaveNetcdf() ? "netcdf, xyz or esri-ascii"
                                                                : "xyz or esri-ascii");
}

std::shared_ptr<Grid> ReadGeotiff(Tcl_Interp *, Tcl_Obj *, const std::string &)
{
    Fail("kardum::gridread: -format geotiff needs libtiff and libgeotiff, which this build "
         "of the library lacks");
}

#else

namespace {

const char *kWrite = "kardum::gridwrite";
const char *kRead = "kardum::gridread";

/* GDAL's private tags: its metadata (XML) and the value of empty cells. */
constexpr ttag_t kGdalMetadata = 42112;
constexpr ttag_t kGdalNodata = 42113;
char kGdalMetadataName[] = "GDALMetadata";
char kGdalNodataName[] = "GDALNoDataValue";
const TIFFFieldInfo kGdalFields[] = {
    {kGdalMetadata, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, kGdalMetadataName},
    {kGdalNodata, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, kGdalNodataName},
};

/* The file under libtiff: the writer's ReplacingFile or the reader's
 * channel, the position and size libtiff sees, the first exception a
 * callback caught and the first message libtiff gave. */
struct TiffIo {
    ReplacingFile *out = nullptr;
    Tcl_Channel in = nullptr;
    Tcl_WideInt at = 0;
    Tcl_WideInt size = 0;
    bool failed = false;            /* after a failure: touch the file no more */
    std::exception_ptr error;
    std::string message;

    void Caught()
    {
        if (!error) {
            error = std::current_exception();
        }
        failed = true;
    }
};

TiffIo &Io(thandle_t h)
{
    return *static_cast<TiffIo *>(static_cast<void *>(h));
}

tmsize_t IoRead(thandle_t h, void *buf, tmsize_t n)
{
    TiffIo &io = Io(h);
    if (io.in == nullptr || io.failed || n < 0) {
        return -1;
    }
    char *to = static_cast<char *>(buf);
    tmsize_t done = 0;
    while (done < n) {
        tmsize_t part = std::min<tmsize_t>(n - done, 1 << 30);
        Tcl_Size got = Tcl_ReadRaw(io.in, to + done, static_cast<Tcl_Size>(part));
        if (got < 0) {
            io.message = Tcl_PosixError(nullptr);
            return -1;
        }
        if (got == 0) {
            break;
        }
        done += got;
    }
    io.at += done;
    return done;
}

tmsize_t IoWrite(thandle_t h, void *buf, tmsize_t n)
{
    TiffIo &io = Io(h);
    if (io.out == nullptr || io.failed || n < 0) {
        return -1;
    }
    try {
        io.out->Write(static_cast<const char *>(buf), static_cast<std::size_t>(n));
    } catch (...) {
        io.Caught();
        return -1;
    }
    io.at += n;
    io.size = std::max(io.size, io.at);
    return n;
}

toff_t IoSeek(thandle_t h, toff_t offset, int whence)
{
    TiffIo &io = Io(h);
    const toff_t bad = static_cast<toff_t>(-1);
    if (io.failed) {
        return bad;
    }
    Tcl_WideInt base = whence == SEEK_CUR ? io.at : whence == SEEK_END ? io.size : 0;
    if (offset > static_cast<toff_t>(LLONG_MAX - base)) {
        return bad;
    }
    Tcl_WideInt to = base + static_cast<Tcl_WideInt>(offset);
    if (io.out != nullptr) {
        try {
            io.out->Seek(to, SEEK_SET);
        } catch (...) {
            io.Caught();
            return bad;
        }
    } else if (Tcl_Seek(io.in, to, SEEK_SET) < 0) {
        io.message = Tcl_PosixError(nullptr);
        return bad;
    }
    io.at = to;
    return static_cast<toff_t>(to);
}

int IoClose(thandle_t)
{
    return 0;                       /* the owner closes the file */
}

toff_t IoSize(thandle_t h)
{
    return static_cast<toff_t>(Io(h).size);
}

int IoMap(thandle_t, void **, toff_t *)
{
    return 0;                       /* no mapping: libtiff reads */
}

void IoUnmap(thandle_t, void *, toff_t) {}

int OnError(TIFF *, void *data, const char *module, const char *format, va_list args)
{
    TiffIo &io = *static_cast<TiffIo *>(data);
    if (io.message.empty()) {
        char text[400];
        std::vsnprintf(text, sizeof text, format, args);
        io.message = module != nullptr && *module != '\0' ? std::string(module) + ": " + text
                                                         : std::string(text);
    }
    return 1;
}

int OnWarning(TIFF *, void *, const char *, const char *, va_list)
{
    return 1;                       /* unknown tags and the like: not ours to print */
}

/* libgeotiff's tags are made known to libtiff by a tag extender that
 * XTIFFInitialize installs once for the process; its check that it ran is
 * not guarded, so two threads opening their first files at once could
 * install it twice (and the extender would then call itself).  This lock
 * is the one state the library keeps for it. */
std::mutex tiffTagsLock;

/* libgeotiff's complaints about a key directory: not printed.  A reader
 * that finds no raster type takes the default (PixelIsArea); a writer's
 * failure shows in the status of GTIFWriteKeys. */
void QuietKeys(GTIF *, int, const char *, ...) {}

/* libgeotiff's view of the keys of a TIFF handle, freed on every path. */
std::unique_ptr<GTIF, void (*)(GTIF *)> GeoKeys(TIFF *tif)
{
    return std::unique_ptr<GTIF, void (*)(GTIF *)>(GTIFNewEx(tif, QuietKeys, nullptr), GTIFFree);
}

/* A TIFF handle over io, closed on every path.  Closing after a failure
 * touches the file no more. */
class Tiff {
public:
    Tiff(const char *name, const char *mode, TiffIo &io) : io_(io)
    {
        {
            std::lock_guard<std::mutex> hold(tiffTagsLock);
            XTIFFInitialize();      /* libgeotiff's tags, known to libtiff */
        }
        TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
        if (options == nullptr) {
            throw std::bad_alloc();
        }
        TIFFOpenOptionsSetErrorHandlerExtR(options, OnError, &io);
        TIFFOpenOptionsSetWarningHandlerExtR(options, OnWarning, &io);
        tif_ = TIFFClientOpenExt(name, mode, static_cast<thandle_t>(static_cast<void *>(&io)),
                                 IoRead, IoWrite, IoSeek, IoClose, IoSize, IoMap, IoUnmap,
                                 options);
        TIFFOpenOptionsFree(options);
    }
    ~Tiff()
    {
        if (tif_ != nullptr) {
            io_.failed = true;
            TIFFClose(tif_);
        }
    }
    Tiff(const Tiff &) = delete;
    Tiff &operator=(const Tiff &) = delete;

    TIFF *get() const { return tif_; }

    /* Writes what libtiff still holds and closes; false on a failure. */
    bool Close()
    {
        TIFF *tif = tif_;
        tif_ = nullptr;
        bool ok = TIFFFlush(tif) == 1 && !io_.failed;
        TIFFClose(tif);
        return ok && !io_.failed;
    }

private:
    TiffIo &io_;
    TIFF *tif_ = nullptr;
};

/* A failed libtiff call of the writer: the exception a callback kept
 * (a write that failed, a stop), else libtiff's own message. */
[[noreturn]] void WriteFailed(const TiffIo &io, Tcl_Obj *path, const char *what)
{
    if (io.error) {
        std::rethrow_exception(io.error);
    }
    Fail("%s: error writing \"%s\": %s; the file is left as it was", kWrite,
         Tcl_GetString(path), io.message.empty() ? what : io.message.c_str());
}

/* The extent text of the metadata: x0 x1 y0 y1, each exactly. */
std::string ExtentText(double x0, double x1, double y0, double y1)
{
    std::string out;
    for (double v : {x0, x1, y0, y1}) {
        if (!out.empty()) {
            out += ' ';
        }
        AppendNumber(out, v);
    }
    return out;
}

} // namespace

void WriteGeotiff(Tcl_Interp *interp, const Grid &g, Tcl_Obj *path, const double *extent)
{
    double x0 = extent[0], x1 = extent[1], y0 = extent[2], y1 = extent[3];
    double xLow = std::fmin(x0, x1), xHigh = std::fmax(x0, x1);
    double yLow = std::fmin(y0, y1), yHigh = std::fmax(y0, y1);
    double adx = std::fabs((x1 - x0) / g.nx), ady = std::fabs((y1 - y0) / g.ny);
    bool xDown = x0 > x1, yUp = !(y0 > y1);
    {
        bool special = false;
        Tcl_Obj *dest = WriteTarget(path, &special);
        std::string name = Tcl_GetString(dest);
        Tcl_DecrRefCount(dest);
        if (special) {
            Fail("%s: \"%s\" is a device or a pipe: a GeoTIFF file is written only to a file",
                 kWrite, name.c_str());
        }
    }

    ReplacingFile file(interp, kWrite, path);
    TiffIo io;
    io.out = &file;
    /* Classic TIFF while its 32-bit offsets reach, BigTIFF beyond. */
    double bytes = 8.0 * g.nx * g.ny;
    Tiff tiff(Tcl_GetString(path), bytes < 4.0e9 ? "w" : "w8", io);
    TIFF *tif = tiff.get();
    if (tif == nullptr) {
        WriteFailed(io, path, "libtiff cannot start the file");
    }
    auto check = [&](int status, const char *what) {
        if (status != 1 || io.failed) {
            WriteFailed(io, path, what);
        }
    };
    check(TIFFMergeFieldInfo(tif, kGdalFields, 2) == 0 ? 1 : 0, "GDAL's tags");
    check(TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(g.nx)), "the width");
    check(TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(g.ny)), "the height");
    check(TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 64), "the sample size");
    check(TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP), "the sample format");
    check(TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1), "the band count");
    check(TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK), "the photometric");
    check(TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG), "the planar layout");
    check(TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE), "the compression");
    check(TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0)), "the strips");
    double scale[3] = {adx, ady, 0.0};
    double tiepoint[6] = {0.0, 0.0, 0.0, xLow, yHigh, 0.0};
    check(TIFFSetField(tif, TIFFTAG_GEOPIXELSCALE, 3, scale), "the pixel scale");
    check(TIFFSetField(tif, TIFFTAG_GEOTIEPOINTS, 6, tiepoint), "the tie point");
    check(TIFFSetField(tif, kGdalNodata, "nan"), "the nodata value");
    std::string metadata = "<GDALMetadata>\n  <Item name=\"KARDUM_EXTENT\">" +
                           ExtentText(xLow, xHigh, yLow, yHigh) + "</Item>\n</GDALMetadata>\n";
    check(TIFFSetField(tif, kGdalMetadata, metadata.c_str()), "the metadata");
    {
        auto keys = GeoKeys(tif);
        if (!keys) {
            WriteFailed(io, path, "libgeotiff cannot start the keys");
        }
        check(GTIFKeySet(keys.get(), GTRasterTypeGeoKey, TYPE_SHORT, 1, RasterPixelIsArea),
              "the raster type");
        check(GTIFWriteKeys(keys.get()), "the GeoTIFF keys");
    }

    /* Rows from the top (largest y), each from the left (smallest x). */
    Interrupt stop(interp);
    std::vector<double> row(static_cast<std::size_t>(g.nx));
    double none = std::nan("");
    for (int r = 0; r < g.ny; ++r) {
        if (stop.Poll()) {
            throw TclError{};
        }
        int iy = yUp ? g.ny - 1 - r : r;
        for (int c = 0; c < g.nx; ++c) {
            int ix = xDown ? g.nx - 1 - c : c;
            std::size_t k = static_cast<std::size_t>(iy) * g.nx + ix;
            row[static_cast<std::size_t>(c)] = g.empty[k] ? none : g.cells[k];
        }
        check(TIFFWriteScanline(tif, row.data(), static_cast<uint32_t>(r), 0) == 1 ? 1 : 0,
              "a row");
    }
    if (!tiff.Close()) {
        WriteFailed(io, path, "the file could not be finished");
    }
    file.Commit();
}

namespace {

/* A channel for reading, closed on every path. */
class ReadChannel {
public:
    ReadChannel(Tcl_Interp *interp, Tcl_Obj *path)
    {
        chan_ = Tcl_FSOpenFileChannel(interp, path, "r", 0);
        if (chan_ == nullptr) {
            Fail("%s: %s", kRead, Tcl_GetString(Tcl_GetObjResult(interp)));
        }
        Tcl_SetChannelOption(nullptr, chan_, "-translation", "binary");
    }
    ~ReadChannel() { Tcl_Close(nullptr, chan_); }
    ReadChannel(const ReadChannel &) = delete;
    ReadChannel &operator=(const ReadChannel &) = delete;

    Tcl_Channel get() const { return chan_; }

private:
    Tcl_Channel chan_ = nullptr;
};

/* The text of an ASCII tag, empty when the file has none. */
std::string AsciiTag(TIFF *tif, ttag_t tag)
{
    const TIFFField *field = TIFFFindField(tif, tag, TIFF_ANY);
    if (field == nullptr) {
        return std::string();
    }
    char *text = nullptr;
    int found = 0;
    if (!TIFFFieldPassCount(field)) {
        found = TIFFGetField(tif, tag, &text);
    } else if (TIFFFieldReadCount(field) == TIFF_VARIABLE2) {
        uint32_t count = 0;
        found = TIFFGetField(tif, tag, &count, &text);
        return found && text != nullptr ? std::string(text, strnlen(text, count)) : std::string();
    } else {
        uint16_t count = 0;
        found = TIFFGetField(tif, tag, &count, &text);
        return found && text != nullptr ? std::string(text, strnlen(text, count)) : std::string();
    }
    return found && text != nullptr ? std::string(text) : std::string();
}

/* The doubles of a tag libgeotiff registered (a count, then the values). */
std::vector<double> DoublesTag(TIFF *tif, ttag_t tag)
{
    uint16_t count = 0;
    double *values = nullptr;
    if (TIFFGetField(tif, tag, &count, &values) != 1 || values == nullptr) {
        return {};
    }
    return std::vector<double>(values, values + count);
}

/* Sample `i` of a buffer of samples of the given format and size. */
double SampleAt(const unsigned char *base, std::size_t i, uint16_t format, uint16_t bits)
{
    const unsigned char *p = base + i * (bits / 8);
    switch (format * 100 + bits) {
    case SAMPLEFORMAT_IEEEFP * 100 + 64: { double v; std::memcpy(&v, p, 8); return v; }
    case SAMPLEFORMAT_IEEEFP * 100 + 32: { float v; std::memcpy(&v, p, 4); return v; }
    case SAMPLEFORMAT_INT * 100 + 8: { int8_t v; std::memcpy(&v, p, 1); return v; }
    case SAMPLEFORMAT_INT * 100 + 16: { int16_t v; std::memcpy(&v, p, 2); return v; }
    case SAMPLEFORMAT_INT * 100 + 32: { int32_t v; std::memcpy(&v, p, 4); return v; }
    case SAMPLEFORMAT_UINT * 100 + 8: return *p;
    case SAMPLEFORMAT_UINT * 100 + 16: { uint16_t v; std::memcpy(&v, p, 2); return v; }
    default: { uint32_t v; std::memcpy(&v, p, 4); return v; }
    }
}

/* The extent a KARDUM_EXTENT item of GDAL's metadata gives, when it is the
 * one the tie point and the pixel scale were made from (a file changed by
 * another program since keeps only its georeferencing). */
bool KeptExtent(const std::string &metadata, double left, double top, double sx, double sy,
                uint32_t w, uint32_t h, double *extent)
{
    const std::string key = "<Item name=\"KARDUM_EXTENT\">";
    std::size_t at = metadata.find(key);
    if (at == std::string::npos) {
        return false;
    }
    const char *p = metadata.c_str() + at + key.size();
    const char *end = metadata.c_str() + metadata.size();
    double e[4];
    for (double &v : e) {
        while (p < end && *p == ' ') {
            ++p;
        }
        const char *stop = p;
        while (stop < end && *stop != ' ' && *stop != '<') {
            ++stop;
        }
        if (ReadNumber(p, stop, v) != stop || !std::isfinite(v)) {
            return false;
        }
        p = stop;
    }
    if (e[0] != left || e[3] != top || (e[1] - e[0]) / w != sx || (e[3] - e[2]) / h != sy) {
        return false;
    }
    std::memcpy(extent, e, sizeof e);
    return true;
}

} // namespace

std::shared_ptr<Grid> ReadGeotiff(Tcl_Interp *interp, Tcl_Obj *path, const std::string &marker)
{
    const char *file = Tcl_GetString(path);
    ReadChannel chan(interp, path);
    TiffIo io;
    io.in = chan.get();
    io.size = Tcl_Seek(io.in, 0, SEEK_END);
    if (io.size < 0 || Tcl_Seek(io.in, 0, SEEK_SET) != 0) {
        Fail("%s: cannot read \"%s\": %s", kRead, file, Tcl_PosixError(nullptr));
    }
    Tiff tiff(file, "r", io);
    TIFF *tif = tiff.get();
    if (tif == nullptr) {
        Fail("%s: %s cannot be read as a TIFF file: %s", kRead, file,
             io.message.empty() ? "libtiff cannot read it" : io.message.c_str());
    }
    uint32_t w = 0, h = 0;
    uint16_t bands = 1, bits = 1, format = SAMPLEFORMAT_UINT;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &bands);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
    if (w < 1 || h < 1 || static_cast<double>(w) * h > INT_MAX) {
        Fail("%s: %s: a grid of %u by %u cells cannot be read", kRead, file, w, h);
    }
    if (bands != 1) {
        Fail("%s: %s holds %u bands: a grid has one", kRead, file, bands);
    }
    bool known = (format == SAMPLEFORMAT_IEEEFP && (bits == 32 || bits == 64)) ||
                 ((format == SAMPLEFORMAT_INT || format == SAMPLEFORMAT_UINT) &&
                  (bits == 8 || bits == 16 || bits == 32));
    if (!known) {
        Fail("%s: %s holds %u-bit samples of TIFF sample format %u: a grid is read from "
             "8, 16 or 32-bit integers or 32 or 64-bit floating point", kRead, file, bits,
             format);
    }

    /* The georeferencing: a pixel scale and one tie point, or a matrix
     * without rotation; the tie point at a cell's corner (PixelIsArea, the
     * default) or at its centre (PixelIsPoint). */
    std::vector<double> scale = DoublesTag(tif, TIFFTAG_GEOPIXELSCALE);
    std::vector<double> tie = DoublesTag(tif, TIFFTAG_GEOTIEPOINTS);
    std::vector<double> matrix = DoublesTag(tif, TIFFTAG_GEOTRANSMATRIX);
    double sx = 0.0, sy = 0.0, left = 0.0, top = 0.0;
    if (scale.size() >= 2 && tie.size() == 6) {
        sx = scale[0];
        sy = scale[1];
        left = tie[3] - tie[0] * sx;
        top = tie[4] + tie[1] * sy;
    } else if (matrix.size() >= 16 && tie.empty()) {
        if (matrix[1] != 0.0 || matrix[4] != 0.0) {
            Fail("%s: %s is rotated (its model transformation mixes the axes): a grid's "
                 "rows run along x", kRead, file);
        }
        sx = matrix[0];
        sy = -matrix[5];
        left = matrix[3];
        top = matrix[7];
    } else {
        Fail("%s: %s has no georeferencing that places a regular grid (a pixel scale and "
             "one tie point, or a model transformation)", kRead, file);
    }
    {
        auto keys = GeoKeys(tif);
        unsigned short type = RasterPixelIsArea;
        if (keys && GTIFKeyGet(keys.get(), GTRasterTypeGeoKey, &type, 0, 1) == 1 &&
            type == RasterPixelIsPoint) {
            left -= sx / 2.0;
            top += sy / 2.0;
        }
    }
    if (!(std::isfinite(sx) && sx > 0.0 && std::isfinite(sy) && sy != 0.0 &&
          std::isfinite(left) && std::isfinite(top))) {
        Fail("%s: %s: the cells' size %.17g by %.17g or the corner (%.17g, %.17g) places "
             "no grid", kRead, file, sx, sy, left, top);
    }

    auto g = std::make_shared<Grid>();
    g->nx = static_cast<int>(w);
    g->ny = static_cast<int>(h);
    g->hasExtent = true;
    g->marker = marker;
    bool down = sy > 0.0;           /* the first row is the top one */
    double extent[4];
    if (!(down && KeptExtent(AsciiTag(tif, kGdalMetadata), left, top, sx, sy, w, h, extent))) {
        extent[0] = left;
        extent[1] = left + w * sx;
        extent[2] = down ? top - h * sy : top;
        extent[3] = down ? top : top - h * sy;
    }
    if (!(std::isfinite(extent[1]) && std::isfinite(extent[2]) && std::isfinite(extent[3]) &&
          extent[0] < extent[1] && extent[2] < extent[3])) {
        Fail("%s: %s: the extent runs beyond the doubles", kRead, file);
    }
    g->x0 = extent[0];
    g->x1 = extent[1];
    g->y0 = extent[2];
    g->y1 = extent[3];

    std::string nodataText = AsciiTag(tif, kGdalNodata);
    double nodata = std::nan("");
    bool hasNodata = false;
    {
        const char *first = nodataText.c_str();
        const char *last = first + nodataText.size();
        while (first < last && (*first == ' ' || *first == '+')) {
            ++first;
        }
        hasNodata = first < last && ReadNumber(first, last, nodata) != nullptr;
    }

    std::size_t cells = static_cast<std::size_t>(w) * h;
    g->cells.resize(cells);
    g->empty.resize(cells);
    Interrupt stop(interp);
    /* A block of samples (a row, or a tile) into the grid: bw samples a
     * row of it, from file column c0 and file row r0, the part within the
     * image. */
    auto place = [&](const unsigned char *buf, uint32_t bw, uint32_t bh, uint32_t c0,
                     uint32_t r0) {
        for (uint32_t j = 0; j < bh && r0 + j < h; ++j) {
            std::size_t iy = down ? h - 1 - (r0 + j) : r0 + j;
            for (uint32_t i = 0; i < bw && c0 + i < w; ++i) {
                double v = SampleAt(buf, static_cast<std::size_t>(j) * bw + i, format, bits);
                std::size_t ix = c0 + i;
                std::size_t k = iy * w + ix;
                bool none = std::isnan(v) || (hasNodata && v == nodata);
                if (!none && !std::isfinite(v)) {
                    Fail("%s: %s: cell (%zu, %zu) holds an infinite value", kRead, file, ix,
                         iy);
                }
                g->cells[k] = none ? 0.0 : v;
                g->empty[k] = none;
            }
        }
    };
    auto readFailed = [&](const char *what) {
        Fail("%s: error reading \"%s\": %s", kRead, file,
             io.message.empty() ? what : io.message.c_str());
    };
    if (TIFFIsTiled(tif)) {
        uint32_t tw = 0, th = 0;
        TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw);
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &th);
        uint64_t size = TIFFTileSize64(tif);
        if (tw < 1 || th < 1 || size != static_cast<uint64_t>(tw) * th * (bits / 8) ||
            size > (1u << 30)) {
            Fail("%s: %s: tiles of %u by %u samples cannot be read", kRead, file, tw, th);
        }
        std::vector<unsigned char> buf(static_cast<std::size_t>(size));
        for (uint32_t r0 = 0; r0 < h; r0 += th) {
            for (uint32_t c0 = 0; c0 < w; c0 += tw) {
                if (stop.Check()) {
                    throw TclError{};
                }
                if (TIFFReadTile(tif, buf.data(), c0, r0, 0, 0) < 0) {
                    readFailed("a tile cannot be read");
                }
                place(buf.data(), tw, th, c0, r0);
            }
        }
    } else {
        uint64_t size = TIFFScanlineSize64(tif);
        if (size != static_cast<uint64_t>(w) * (bits / 8)) {
            Fail("%s: %s: rows of %llu bytes for %u samples cannot be read", kRead, file,
                 static_cast<unsigned long long>(size), w);
        }
        std::vector<unsigned char> buf(static_cast<std::size_t>(size));
        for (uint32_t r = 0; r < h; ++r) {
            if (stop.Poll()) {
                throw TclError{};
            }
            if (TIFFReadScanline(tif, buf.data(), r, 0) < 0) {
                readFailed("a row cannot be read");
            }
            place(buf.data(), w, 1, 0, r);
        }
    }
    return g;
}

#endif

/* ::kardum::ReadGeotiff file marker */
int ReadGeotiffCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    return RunCommand(interp, "kardum::gridread", [&]() -> int {
        if (objc != 3) {
            Tcl_WrongNumArgs(interp, 1, objv, "file marker");
            return TCL_ERROR;
        }
        Tcl_SetObjResult(interp, NewGridObj(ReadGeotiff(interp, objv[1], Tcl_GetString(objv[2]))));
        return TCL_OK;
    });
}

} // namespace kardum::package
