/*
 * GridIO.cpp --
 *
 *	Records and grids to and from files other programs read:
 *
 *	::kardum::readxyz file
 *	    records {x y z} from a text file, one a line, the numbers
 *	    separated by blanks, tabs or commas; blank lines and lines
 *	    starting with # are skipped.
 *	::kardum::WriteGrid grid file format extent nodata marker
 *	    the grid as an ESRI ASCII grid (format esri-ascii) or as x y z
 *	    lines at the cell centres (format xyz).
 *	::kardum::WriteImage grid file pixels lo hi marker
 *	    the grid as a PNG picture with a colour scale (grid/GridImage.cpp).
 *
 *	The files go through Tcl channels in binary mode, so that paths
 *	work as everywhere in Tcl and a file is the same on every platform.
 */

#include "package/Commands.h"
#include "grid/GridIO.h"
#include "grid/GridValue.h"
#include "grid/NumberText.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace kardum::package {

namespace {

const std::size_t kChunk = 1 << 20;

/* Text of a line for a message: at most 60 characters. */
std::string Shown(const char *first, const char *last)
{
    std::size_t n = static_cast<std::size_t>(last - first);
    if (n > 60) {
        return std::string(first, 57) + "...";
    }
    return std::string(first, n);
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

/*
 * Parses one line (without its newline) into out; returns false for a
 * line that holds no record.  Throws ArgError naming the file and line.
 */
bool ParseLine(const char *at, const char *end, const char *file,
               long long line, double *out)
{
    const char *first = at;
    while (at < end && IsBlank(*at)) {
        ++at;
    }
    if (at == end || *at == '#') {
        return false;
    }
    int n = 0;
    for (;;) {
        const char *start = at;
        double v = 0.0;
        const char *stop = ReadNumber(at, end, v);
        const char *fieldEnd = at;
        while (fieldEnd < end && !IsBlank(*fieldEnd) && *fieldEnd != ',') {
            ++fieldEnd;
        }
        if (stop == nullptr || stop != fieldEnd) {
            Fail("kardum::readxyz: %s, line %lld: \"%s\" is not a number", file,
                 line, Shown(start, fieldEnd).c_str());
        }
        if (!std::isfinite(v)) {
            Fail("kardum::readxyz: %s, line %lld: \"%s\" is not a finite number",
                 file, line, Shown(start, fieldEnd).c_str());
        }
        if (n < 3) {
            out[n] = v;
        }
        ++n;
        at = fieldEnd;
        while (at < end && IsBlank(*at)) {
            ++at;
        }
        if (at == end) {
            break;
        }
        if (*at == ',') {
            ++at;
            while (at < end && IsBlank(*at)) {
                ++at;
            }
            if (at == end || *at == ',') {
                Fail("kardum::readxyz: %s, line %lld: an empty field in \"%s\"",
                     file, line, Shown(first, end).c_str());
            }
        }
    }
    if (n != 3) {
        Fail("kardum::readxyz: %s, line %lld: expected 3 numbers x y z, got %d in \"%s\"",
             file, line, n, Shown(first, end).c_str());
    }
    return true;
}

/* A channel closed on every path. */
class Channel {
public:
    Channel(Tcl_Interp *interp, const char *cmd, Tcl_Obj *path, const char *mode)
        : interp_(interp)
    {
        chan_ = Tcl_FSOpenFileChannel(interp, path, mode, 0666);
        if (chan_ == nullptr) {
            Fail("%s: %s", cmd, Tcl_GetString(Tcl_GetObjResult(interp)));
        }
        if (Tcl_SetChannelOption(interp, chan_, "-translation", "binary") != TCL_OK) {
            Tcl_Close(nullptr, chan_);
            chan_ = nullptr;
            throw TclError{};
        }
    }
    ~Channel()
    {
        if (chan_ != nullptr) {
            Tcl_Close(nullptr, chan_);
        }
    }
    Channel(const Channel &) = delete;
    Channel &operator=(const Channel &) = delete;

    Tcl_Channel get() const { return chan_; }

    /* Closes now, reporting a failure to flush. */
    void Close(const char *cmd, const char *file)
    {
        Tcl_Channel chan = chan_;
        chan_ = nullptr;
        if (Tcl_Close(interp_, chan) != TCL_OK) {
            Fail("%s: error writing \"%s\": %s", cmd, file,
                 Tcl_GetString(Tcl_GetObjResult(interp_)));
        }
    }

private:
    Tcl_Interp *interp_;
    Tcl_Channel chan_ = nullptr;
};

/* Output through a buffer of about one chunk. */
class Writer {
public:
    Writer(Channel &chan, const char *cmd, const char *file)
        : chan_(chan), cmd_(cmd), file_(file) { buf_.reserve(kChunk + 256); }

    std::string &Buffer() { return buf_; }

    void MaybeFlush()
    {
        if (buf_.size() >= kChunk) {
            Flush();
        }
    }

    void Flush()
    {
        if (buf_.empty()) {
            return;
        }
        if (Tcl_WriteRaw(chan_.get(), buf_.data(), static_cast<Tcl_Size>(buf_.size())) < 0) {
            Fail("%s: error writing \"%s\": %s", cmd_, file_, Tcl_PosixError(nullptr));
        }
        buf_.clear();
    }

private:
    Channel &chan_;
    const char *cmd_;
    const char *file_;
    std::string buf_;
};

} // namespace

std::shared_ptr<const Records> ReadXyz(Tcl_Interp *interp, Tcl_Obj *path)
{
    const char *cmd = "kardum::readxyz";
    const char *file = Tcl_GetString(path);
    Channel chan(interp, cmd, path, "r");
    auto rec = std::make_shared<Records>();
    rec->width = 3;
    std::vector<char> buf(kChunk);
    std::size_t held = 0;           /* bytes of an unfinished line at buf[0] */
    long long line = 0;
    bool eof = false;
    while (!eof) {
        if (held == buf.size()) {
            buf.resize(buf.size() * 2);     /* a line longer than the buffer */
        }
        Tcl_Size got = Tcl_ReadRaw(chan.get(), buf.data() + held,
                                  static_cast<Tcl_Size>(buf.size() - held));
        if (got < 0) {
            Fail("%s: error reading \"%s\": %s", cmd, file, Tcl_PosixError(nullptr));
        }
        eof = got == 0;
        std::size_t end = held + static_cast<std::size_t>(got);
        const char *base = buf.data();
        std::size_t start = 0;
        if (line == 0 && end >= 3 && std::memcmp(base, "\xEF\xBB\xBF", 3) == 0) {
            start = 3;                  /* the byte order mark of UTF-8 */
        }
        for (;;) {
            const void *nl = std::memchr(base + start, '\n', end - start);
            std::size_t stop;
            if (nl != nullptr) {
                stop = static_cast<std::size_t>(static_cast<const char *>(nl) - base);
            } else if (eof && start < end) {
                stop = end;             /* a last line without a newline */
            } else {
                break;
            }
            ++line;
            double xyz[3];
            if (ParseLine(base + start, base + stop, file, line, xyz)) {
                if (rec->values.size() / 3 >= static_cast<std::size_t>(INT_MAX)) {
                    Fail("%s: %s holds more than %d records", cmd, file, INT_MAX);
                }
                rec->values.insert(rec->values.end(), xyz, xyz + 3);
            }
            start = stop + 1;
            if (start >= end) {
                break;
            }
        }
        held = start < end ? end - start : 0;
        if (held > 0) {
            std::memmove(buf.data(), base + start, held);
        }
    }
    /* The records stay for the rest of the job: give back the room that
     * growing the buffer left over (up to half of it). */
    rec->values.shrink_to_fit();
    return rec;
}

void WriteGridFile(Tcl_Interp *interp, const Grid &g, Tcl_Obj *path,
                   GridFormat format, const double *extent, double nodata)
{
    const char *cmd = "kardum::gridwrite";
    const char *file = Tcl_GetString(path);
    double x0 = extent[0], x1 = extent[1], y0 = extent[2], y1 = extent[3];
    double dx = (x1 - x0) / g.nx;
    double dy = (y1 - y0) / g.ny;
    std::size_t n = g.Size();

    /* Check every cell before the file is touched. */
    for (std::size_t k = 0; k < n; ++k) {
        if (g.empty[k]) {
            continue;
        }
        double v = g.cells[k];
        int ix = static_cast<int>(k % g.nx), iy = static_cast<int>(k / g.nx);
        if (!std::isfinite(v)) {
            Fail("%s: cell (%d, %d) holds %s, which the file cannot carry", cmd,
                 ix, iy, std::isnan(v) ? "NaN" : "an infinite value");
        }
        if (format == GridFormat::EsriAscii && v == nodata) {
            Fail("%s: cell (%d, %d) holds the -nodata value %.17g: choose another",
                 cmd, ix, iy, nodata);
        }
    }

    Channel chan(interp, cmd, path, "w");
    Writer out(chan, cmd, file);
    std::string &b = out.Buffer();
    char num[kNumberTextSize];

    if (format == GridFormat::EsriAscii) {
        /* Rows from the top (largest y), columns from the left (smallest x). */
        double adx = std::fabs(dx), ady = std::fabs(dy);
        b += "ncols " + std::to_string(g.nx) + "\n";
        b += "nrows " + std::to_string(g.ny) + "\n";
        b += "xllcorner ";
        AppendNumber(b, std::fmin(x0, x1));
        b += "\nyllcorner ";
        AppendNumber(b, std::fmin(y0, y1));
        if (adx == ady) {
            b += "\ncellsize ";
            AppendNumber(b, adx);
        } else {
            b += "\ndx ";
            AppendNumber(b, adx);
            b += "\ndy ";
            AppendNumber(b, ady);
        }
        b += "\nNODATA_value ";
        AppendNumber(b, nodata);
        b += '\n';
        std::string noText;
        AppendNumber(noText, nodata);
        bool xDown = x0 > x1, yUp = !(y0 > y1);
        for (int r = 0; r < g.ny; ++r) {
            int iy = yUp ? g.ny - 1 - r : r;
            for (int c = 0; c < g.nx; ++c) {
                int ix = xDown ? g.nx - 1 - c : c;
                std::size_t k = static_cast<std::size_t>(iy) * g.nx + ix;
                if (c > 0) {
                    b += ' ';
                }
                if (g.empty[k]) {
                    b += noText;
                } else {
                    b.append(num, WriteNumber(num, g.cells[k]));
                }
            }
            b += '\n';
            out.MaybeFlush();
        }
    } else {
        /* x y z at the centres of the cells that hold a value, row by row. */
        for (int iy = 0; iy < g.ny; ++iy) {
            double y = y0 + (iy + 0.5) * dy;
            char ytext[kNumberTextSize];
            char *yend = WriteNumber(ytext, y);
            for (int ix = 0; ix < g.nx; ++ix) {
                std::size_t k = static_cast<std::size_t>(iy) * g.nx + ix;
                if (g.empty[k]) {
                    continue;
                }
                b.append(num, WriteNumber(num, x0 + (ix + 0.5) * dx));
                b += ' ';
                b.append(ytext, yend);
                b += ' ';
                b.append(num, WriteNumber(num, g.cells[k]));
                b += '\n';
            }
            out.MaybeFlush();
        }
    }
    out.Flush();
    chan.Close(cmd, file);
}

namespace {

/* The grid's extent: the four numbers of `extentObj` when it is not empty,
 * else the grid's own. */
void Extent(Tcl_Interp *interp, const char *cmd, const Grid &g, Tcl_Obj *extentObj,
            double *extent)
{
    Tcl_Size n = 0;
    Tcl_Obj **elems = nullptr;
    if (Tcl_ListObjGetElements(nullptr, extentObj, &n, &elems) != TCL_OK ||
        (n != 0 && n != 4)) {
        Fail("%s: -extent must be a list of 4 numbers, got \"%s\"", cmd,
             Tcl_GetString(extentObj));
    }
    if (n == 0) {
        if (!g.hasExtent) {
            Fail("%s: the grid is a plain list of rows: give its -extent {x0 x1 y0 y1}", cmd);
        }
        extent[0] = g.x0;
        extent[1] = g.x1;
        extent[2] = g.y0;
        extent[3] = g.y1;
    } else {
        for (int i = 0; i < 4; ++i) {
            if (Tcl_GetDoubleFromObj(nullptr, elems[i], &extent[i]) != TCL_OK ||
                !std::isfinite(extent[i])) {
                Fail("%s: element %d of -extent must be a finite number, got \"%s\"",
                     cmd, i, Tcl_GetString(elems[i]));
            }
        }
    }
    (void)interp;
    if (extent[0] == extent[1] || extent[2] == extent[3]) {
        Fail("%s: the extent must span both axes, got {%.17g %.17g %.17g %.17g}",
             cmd, extent[0], extent[1], extent[2], extent[3]);
    }
}

double FiniteArg(Tcl_Obj *obj, const char *cmd, const char *what)
{
    double v = 0.0;
    if (Tcl_GetDoubleFromObj(nullptr, obj, &v) != TCL_OK || !std::isfinite(v)) {
        Fail("%s: %s must be a finite number, got \"%s\"", cmd, what, Tcl_GetString(obj));
    }
    return v;
}

} // namespace

int ReadXyzCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    return RunCommand(interp, "kardum::readxyz", [&]() -> int {
        if (objc != 2) {
            Tcl_WrongNumArgs(interp, 1, objv, "file");
            return TCL_ERROR;
        }
        Tcl_SetObjResult(interp, NewRecordsObj(ReadXyz(interp, objv[1])));
        return TCL_OK;
    });
}

/* ::kardum::WriteGrid grid file format extent nodata marker */
int WriteGridCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    return RunCommand(interp, "kardum::gridwrite", [&]() -> int {
        const char *cmd = "kardum::gridwrite";
        if (objc != 7) {
            Tcl_WrongNumArgs(interp, 1, objv, "grid file format extent nodata marker");
            return TCL_ERROR;
        }
        auto g = GetGrid(interp, objv[1], cmd, Tcl_GetString(objv[6]));
        std::string word = Tcl_GetString(objv[3]);
        GridFormat format;
        if (word == "esri-ascii") {
            format = GridFormat::EsriAscii;
        } else if (word == "xyz") {
            format = GridFormat::Xyz;
        } else {
            Fail("%s: -format must be esri-ascii or xyz, got \"%s\"", cmd, word.c_str());
        }
        double extent[4];
        Extent(interp, cmd, *g, objv[4], extent);
        double nodata = FiniteArg(objv[5], cmd, "-nodata");
        WriteGridFile(interp, *g, objv[2], format, extent, nodata);
        Tcl_ResetResult(interp);
        return TCL_OK;
    });
}

} // namespace kardum::package
