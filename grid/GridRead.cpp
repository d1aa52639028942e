/*
 * GridRead.cpp --
 *
 *	An ESRI ASCII grid file back into a grid value, with its extent, its
 *	empty cells and its values as the file's numbers read exactly:
 *
 *	::kardum::ReadGrid file marker
 *
 *	The header names ncols, nrows, xllcorner or xllcenter, yllcorner or
 *	yllcenter, cellsize (or dx and dy) and optionally NODATA_value, one a
 *	line, in any order and any letter case; the rows of cells follow, the
 *	top row (largest y) first, the numbers separated by white space.  A
 *	cell that holds the NODATA_value is empty; it reads as `marker`.
 */

#include "package/Commands.h"
#include "frame/Frame.h"
#include "frame/Interrupt.h"
#include "frame/ObjRef.h"
#include "grid/GridValue.h"
#include "grid/NumberText.h"

#include <cctype>
#include <climits>
#include <cmath>
#include <map>
#include <string>

namespace kardum::package {

namespace {

const char *kCmd = "kardum::gridread";

/* The text of a file, read through a Tcl channel (any path Tcl opens). */
ObjRef FileText(Tcl_Interp *interp, Tcl_Obj *path)
{
    Tcl_Channel chan = Tcl_FSOpenFileChannel(interp, path, "r", 0);
    if (chan == nullptr) {
        Fail("%s: %s", kCmd, Tcl_GetString(Tcl_GetObjResult(interp)));
    }
    Tcl_SetChannelOption(nullptr, chan, "-translation", "binary");
    ObjRef text(Tcl_NewObj());
    Tcl_Size got = Tcl_ReadChars(chan, text.get(), -1, 0);
    std::string why = got < 0 ? Tcl_PosixError(interp) : "";
    if (Tcl_Close(interp, chan) != TCL_OK && why.empty()) {
        why = Tcl_GetString(Tcl_GetObjResult(interp));
    }
    if (!why.empty()) {
        Fail("%s: error reading \"%s\": %s", kCmd, Tcl_GetString(path), why.c_str());
    }
    return text;
}

/* Walks a file's text word by word, counting lines. */
class Words {
public:
    Words(const char *text, std::size_t n) : at_(text), end_(text + n) {}

    /* The next word, empty at the end of the text. */
    std::string Next()
    {
        while (at_ < end_ && std::isspace(static_cast<unsigned char>(*at_))) {
            line_ += *at_ == '\n';
            ++at_;
        }
        const char *first = at_;
        while (at_ < end_ && !std::isspace(static_cast<unsigned char>(*at_))) {
            ++at_;
        }
        return std::string(first, at_);
    }

    /* Whether the next word starts with a letter (a header key). */
    bool KeyAhead()
    {
        while (at_ < end_ && std::isspace(static_cast<unsigned char>(*at_))) {
            line_ += *at_ == '\n';
            ++at_;
        }
        return at_ < end_ && std::isalpha(static_cast<unsigned char>(*at_));
    }

    long long Line() const { return line_; }

private:
    const char *at_;
    const char *end_;
    long long line_ = 1;
};

double Number(const std::string &word, const char *file, long long line, const char *what)
{
    double v = 0.0;
    const char *end = word.data() + word.size();
    if (word.empty() || ReadNumber(word.data(), end, v) != end || !std::isfinite(v)) {
        Fail("%s: %s, line %lld: %s must be a finite number, got \"%.40s\"", kCmd, file, line,
             what, word.c_str());
    }
    return v;
}

} // namespace

/* ::kardum::ReadGrid file marker */
int ReadGridCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    return RunCommand(interp, kCmd, [&]() -> int {
        if (objc != 3) {
            Tcl_WrongNumArgs(interp, 1, objv, "file marker");
            return TCL_ERROR;
        }
        const char *file = Tcl_GetString(objv[1]);
        ObjRef text = FileText(interp, objv[1]);
        Tcl_Size length = 0;
        const char *bytes = Tcl_GetStringFromObj(text.get(), &length);
        Words words(bytes, static_cast<std::size_t>(length));

        /* The header: keys with one number each, up to the first number. */
        std::map<std::string, double> header;
        while (words.KeyAhead()) {
            std::string key = words.Next();
            for (char &c : key) {
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
            long long line = words.Line();
            std::string what = "the value of " + key;
            header[key] = Number(words.Next(), file, line, what.c_str());
        }
        auto has = [&header](const char *key) { return header.count(key) != 0; };
        for (const char *key : {"ncols", "nrows"}) {
            if (!has(key)) {
                Fail("%s: %s has no %s line: not an ESRI ASCII grid", kCmd, file, key);
            }
        }
        double ncols = header["ncols"], nrows = header["nrows"];
        if (ncols < 1 || nrows < 1 || ncols != std::floor(ncols) || nrows != std::floor(nrows) ||
            ncols * nrows > static_cast<double>(INT_MAX)) {
            Fail("%s: %s: a grid of %.17g by %.17g cells cannot be read", kCmd, file, ncols,
                 nrows);
        }
        double dx = 0.0, dy = 0.0;
        if (has("cellsize")) {
            dx = dy = header["cellsize"];
        } else if (has("dx") && has("dy")) {
            dx = header["dx"];
            dy = header["dy"];
        } else {
            Fail("%s: %s has neither a cellsize line nor dx and dy lines", kCmd, file);
        }
        if (!(dx > 0) || !(dy > 0)) {
            Fail("%s: %s: the cell size must be positive", kCmd, file);
        }
        /* The lower-left corner along an axis, or the centre of the
         * lower-left cell. */
        auto lowerLeft = [&](const std::string &axis, double size) {
            if (has((axis + "llcorner").c_str())) {
                return header[axis + "llcorner"];
            }
            if (has((axis + "llcenter").c_str())) {
                return header[axis + "llcenter"] - size / 2;
            }
            Fail("%s: %s has no %sllcorner or %sllcenter line", kCmd, file, axis.c_str(),
                 axis.c_str());
        };
        double x0 = lowerLeft("x", dx), y0 = lowerLeft("y", dy);
        bool hasNodata = has("nodata_value");
        double nodata = hasNodata ? header["nodata_value"] : 0.0;

        auto g = std::make_shared<Grid>();
        g->nx = static_cast<int>(ncols);
        g->ny = static_cast<int>(nrows);
        g->hasExtent = true;
        g->x0 = x0;
        g->x1 = x0 + ncols * dx;
        g->y0 = y0;
        g->y1 = y0 + nrows * dy;
        g->marker = Tcl_GetString(objv[2]);
        std::size_t cells = static_cast<std::size_t>(g->nx) * static_cast<std::size_t>(g->ny);
        g->cells.resize(cells);
        g->empty.resize(cells);

        /* The rows, the top one first. */
        Interrupt stop(interp);
        for (int r = 0; r < g->ny; ++r) {
            std::size_t iy = static_cast<std::size_t>(g->ny - 1 - r);
            for (int ix = 0; ix < g->nx; ++ix) {
                if (stop.Poll()) {
                    throw TclError{};
                }
                std::string word = words.Next();
                if (word.empty()) {
                    Fail("%s: %s ends after %lld of its %zu cells", kCmd, file,
                         static_cast<long long>(r) * g->nx + ix, cells);
                }
                std::string what = "cell " + std::to_string(ix) + " of row " + std::to_string(r);
                double v = Number(word, file, words.Line(), what.c_str());
                std::size_t k = iy * static_cast<std::size_t>(g->nx) + static_cast<std::size_t>(ix);
                if (hasNodata && v == nodata) {
                    g->empty[k] = 1;
                } else {
                    g->cells[k] = v;
                }
            }
        }
        if (!words.Next().empty()) {
            Fail("%s: %s, line %lld: more numbers than its %zu cells", kCmd, file,
                 words.Line(), cells);
        }
        Tcl_SetObjResult(interp, NewGridObj(std::move(g)));
        return TCL_OK;
    });
}

} // namespace kardum::package
