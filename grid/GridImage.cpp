/*
 * GridImage.cpp --
 *
 *	A grid as a PNG picture: each cell a square of pixels coloured on a
 *	ramp from dark blue through teal and green to yellow, the empty cells
 *	grey, with the colour scale and its lowest, middle and highest value
 *	on the right.  The rows of the picture run from the largest y at the
 *	top to the smallest at the bottom, the columns from the smallest x at
 *	the left.  The image data are compressed with Tcl's own zlib.
 *
 *	::kardum::WriteImage grid file pixels lo hi marker
 */

#include "package/Commands.h"
#include "frame/ObjRef.h"
#include "grid/GridIO.h"
#include "grid/GridValue.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace kardum::package {

namespace {

struct Rgb {
    unsigned char r, g, b;
};

const Rgb kEmptyColour = {150, 150, 150};
const Rgb kBlack = {0, 0, 0};

/* The colour ramp: position and colour of its stops. */
const struct {
    double t;
    Rgb c;
} kRamp[] = {
    {0.00, {68, 1, 84}}, {0.25, {59, 82, 139}}, {0.50, {33, 145, 140}},
    {0.75, {94, 201, 98}}, {1.00, {253, 231, 37}},
};

Rgb Colour(double t)
{
    t = std::min(1.0, std::max(0.0, t));
    std::size_t i = 1;
    while (i + 1 < std::size(kRamp) && t > kRamp[i].t) {
        ++i;
    }
    const auto &a = kRamp[i - 1];
    const auto &b = kRamp[i];
    double f = (t - a.t) / (b.t - a.t);
    auto mix = [f](unsigned char u, unsigned char v) {
        return static_cast<unsigned char>(std::lround(u + f * (v - u)));
    };
    return {mix(a.c.r, b.c.r), mix(a.c.g, b.c.g), mix(a.c.b, b.c.b)};
}

/* A 3 x 5 font for the labels of the scale: one row of three bits per
 * line, the high bit at the left. */
const char kGlyphs[] = "0123456789-.e+";
const unsigned char kFont[][5] = {
    {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7},
    {5, 5, 7, 1, 1}, {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1},
    {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7}, {0, 0, 7, 0, 0}, {0, 0, 0, 0, 2},
    {7, 4, 7, 4, 7}, {0, 2, 7, 2, 0},
};
const int kGlyphScale = 2;                  /* pixels per font dot */
const int kGlyphAdvance = 4 * kGlyphScale;  /* three dots and a space */
const int kGlyphHeight = 5 * kGlyphScale;

class Canvas {
public:
    Canvas(int width, int height)
        : width_(width), height_(height),
          px_(static_cast<std::size_t>(width) * height * 3, 255) {}

    void Set(int x, int y, Rgb c)
    {
        if (x < 0 || y < 0 || x >= width_ || y >= height_) {
            return;
        }
        unsigned char *p = &px_[(static_cast<std::size_t>(y) * width_ + x) * 3];
        p[0] = c.r;
        p[1] = c.g;
        p[2] = c.b;
    }

    void Text(int x, int y, const std::string &s)
    {
        for (char ch : s) {
            const char *at = std::strchr(kGlyphs, ch);
            if (at != nullptr && ch != '\0') {
                const unsigned char *rows = kFont[at - kGlyphs];
                for (int r = 0; r < 5; ++r) {
                    for (int c = 0; c < 3; ++c) {
                        if (rows[r] & (4 >> c)) {
                            for (int a = 0; a < kGlyphScale; ++a) {
                                for (int b = 0; b < kGlyphScale; ++b) {
                                    Set(x + c * kGlyphScale + b, y + r * kGlyphScale + a, kBlack);
                                }
                            }
                        }
                    }
                }
            }
            x += kGlyphAdvance;
        }
    }

    int Width() const { return width_; }
    int Height() const { return height_; }

    /* The rows, each led by PNG's filter byte 0. */
    std::vector<unsigned char> Scanlines() const
    {
        std::size_t row = static_cast<std::size_t>(width_) * 3;
        std::vector<unsigned char> out;
        out.reserve((row + 1) * height_);
        for (int y = 0; y < height_; ++y) {
            out.push_back(0);
            out.insert(out.end(), px_.begin() + y * row, px_.begin() + (y + 1) * row);
        }
        return out;
    }

private:
    int width_, height_;
    std::vector<unsigned char> px_;
};

std::string Label(double v)
{
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 4);
    return std::string(buf, r.ptr);
}

void PutBig(std::string &out, std::uint32_t v)
{
    out += static_cast<char>(v >> 24);
    out += static_cast<char>(v >> 16);
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v);
}

void Chunk(std::string &out, const char *type, const unsigned char *data, std::size_t n)
{
    PutBig(out, static_cast<std::uint32_t>(n));
    std::string body(type, 4);
    body.append(reinterpret_cast<const char *>(data), n);
    out += body;
    PutBig(out, Tcl_ZlibCRC32(0, reinterpret_cast<const unsigned char *>(body.data()),
                              static_cast<int>(body.size())));
}

/* The PNG file of an 8-bit RGB picture from its filtered scanlines, which
 * Tcl's zlib compresses.  The interpreter's result is left empty. */
std::string PngFile(Tcl_Interp *interp, std::vector<unsigned char> raw, int width, int height)
{
    {
        ObjRef data(Tcl_NewByteArrayObj(raw.data(), static_cast<Tcl_Size>(raw.size())));
        raw.clear();
        raw.shrink_to_fit();
        if (Tcl_ZlibDeflate(interp, TCL_ZLIB_FORMAT_ZLIB, data.get(), 6, nullptr) != TCL_OK) {
            throw TclError{};
        }
    }
    ObjRef packed(Tcl_GetObjResult(interp));
    Tcl_ResetResult(interp);
    Tcl_Size n = 0;
    unsigned char *bytes = Tcl_GetByteArrayFromObj(packed.get(), &n);
    std::string png("\x89PNG\r\n\x1a\n", 8);
    unsigned char ihdr[13];
    std::uint32_t w32 = static_cast<std::uint32_t>(width), h32 = static_cast<std::uint32_t>(height);
    for (int i = 0; i < 4; ++i) {
        ihdr[i] = static_cast<unsigned char>(w32 >> (24 - 8 * i));
        ihdr[4 + i] = static_cast<unsigned char>(h32 >> (24 - 8 * i));
    }
    ihdr[8] = 8;        /* bits per sample */
    ihdr[9] = 2;        /* RGB */
    ihdr[10] = ihdr[11] = ihdr[12] = 0;
    Chunk(png, "IHDR", ihdr, sizeof ihdr);
    Chunk(png, "IDAT", bytes, static_cast<std::size_t>(n));
    Chunk(png, "IEND", nullptr, 0);
    return png;
}

} // namespace

void WriteGridImage(Tcl_Interp *interp, const Grid &g, Tcl_Obj *path, int pixels,
                    double lo, double hi)
{
    const char *cmd = "kardum::gridimage";
    long long iw = static_cast<long long>(g.nx) * pixels;
    long long ih = static_cast<long long>(g.ny) * pixels;
    std::string loText = Label(lo), hiText = Label(hi), midText = Label(lo + (hi - lo) / 2);
    int labelWidth = static_cast<int>(std::max({loText.size(), hiText.size(), midText.size()})) *
                     kGlyphAdvance;
    const int gap = 8, bar = 16;
    long long width = iw + gap + bar + 4 + labelWidth + 4;
    long long height = std::max<long long>(ih, 6 * kGlyphHeight);
    if (width * height > 100000000LL) {
        Fail("%s: a picture of %lld by %lld pixels is too large: lower -pixels", cmd,
             width, height);
    }
    Canvas canvas(static_cast<int>(width), static_cast<int>(height));
    bool xDown = g.hasExtent && g.x0 > g.x1;
    bool yUp = !(g.hasExtent && g.y0 > g.y1);
    double span = hi - lo;
    for (int iy = 0; iy < g.ny; ++iy) {
        int row = yUp ? g.ny - 1 - iy : iy;         /* picture row of the cells */
        for (int ix = 0; ix < g.nx; ++ix) {
            int col = xDown ? g.nx - 1 - ix : ix;
            std::size_t k = static_cast<std::size_t>(iy) * g.nx + ix;
            Rgb c = g.empty[k] ? kEmptyColour
                    : Colour(span > 0 ? (g.cells[k] - lo) / span : 0.5);
            for (int a = 0; a < pixels; ++a) {
                for (int b = 0; b < pixels; ++b) {
                    canvas.Set(col * pixels + b, row * pixels + a, c);
                }
            }
        }
    }
    /* The scale: the highest value at the top. */
    int barLeft = static_cast<int>(iw) + gap;
    int barHeight = static_cast<int>(height);
    for (int y = 0; y < barHeight; ++y) {
        Rgb c = Colour(barHeight > 1 ? 1.0 - static_cast<double>(y) / (barHeight - 1) : 0.5);
        for (int x = 0; x < bar; ++x) {
            canvas.Set(barLeft + x, y, c);
        }
    }
    int textLeft = barLeft + bar + 4;
    canvas.Text(textLeft, 0, hiText);
    canvas.Text(textLeft, (barHeight - kGlyphHeight) / 2, midText);
    canvas.Text(textLeft, barHeight - kGlyphHeight, loText);

    std::string png = PngFile(interp, canvas.Scanlines(), width, height);

    Tcl_Channel chan = Tcl_FSOpenFileChannel(interp, path, "w", 0666);
    if (chan == nullptr) {
        Fail("%s: %s", cmd, Tcl_GetString(Tcl_GetObjResult(interp)));
    }
    Tcl_SetChannelOption(nullptr, chan, "-translation", "binary");
    bool ok = Tcl_WriteRaw(chan, png.data(), static_cast<Tcl_Size>(png.size())) >= 0;
    std::string why = ok ? "" : Tcl_PosixError(nullptr);
    if (Tcl_Close(interp, chan) != TCL_OK && ok) {
        ok = false;
        why = Tcl_GetString(Tcl_GetObjResult(interp));
    }
    if (!ok) {
        Fail("%s: error writing \"%s\": %s", cmd, Tcl_GetString(path), why.c_str());
    }
}

/* ::kardum::WriteImage grid file pixels lo hi marker: lo and hi empty for
 * the range of the cells that hold a value. */
int WriteImageCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    return RunCommand(interp, "kardum::gridimage", [&]() -> int {
        const char *cmd = "kardum::gridimage";
        if (objc != 7) {
            Tcl_WrongNumArgs(interp, 1, objv, "grid file pixels lo hi marker");
            return TCL_ERROR;
        }
        auto g = GetGrid(interp, objv[1], cmd, Tcl_GetString(objv[6]));
        int pixels = 0;
        if (Tcl_GetIntFromObj(nullptr, objv[3], &pixels) != TCL_OK || pixels < 0 ||
            pixels > 1000) {
            Fail("%s: -pixels must be an integer from 1 to 1000, got \"%s\"", cmd,
                 Tcl_GetString(objv[3]));
        }
        if (pixels == 0) {          /* about 600 pixels along the longer side */
            pixels = std::max(1, 600 / std::max(g->nx, g->ny));
        }
        double lo = HUGE_VAL, hi = -HUGE_VAL;
        for (std::size_t k = 0; k < g->Size(); ++k) {
            if (!g->empty[k] && std::isfinite(g->cells[k])) {
                lo = std::min(lo, g->cells[k]);
                hi = std::max(hi, g->cells[k]);
            }
        }
        if (lo > hi) {
            lo = hi = 0.0;          /* no cell holds a value */
        }
        const char *which[2] = {"lower", "upper"};
        double *bound[2] = {&lo, &hi};
        for (int i = 0; i < 2; ++i) {
            if (*Tcl_GetString(objv[4 + i]) != '\0' &&
                (Tcl_GetDoubleFromObj(nullptr, objv[4 + i], bound[i]) != TCL_OK ||
                 !std::isfinite(*bound[i]))) {
                Fail("%s: the %s end of -range must be a finite number, got \"%s\"",
                     cmd, which[i], Tcl_GetString(objv[4 + i]));
            }
        }
        if (lo > hi) {
            Fail("%s: -range must run from its lower to its upper value", cmd);
        }
        WriteGridImage(interp, *g, objv[2], pixels, lo, hi);
        return TCL_OK;
    });
}

} // namespace kardum::package
