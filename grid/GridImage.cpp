/*
 * GridImage.cpp --
 *
 *	A grid as a PNG picture: each cell a square of pixels coloured on a
 *	palette (by default a perceptual ramp from dark blue through teal and
 *	green to yellow), the empty cells grey, with the colour scale and its
 *	lowest, middle and highest value on the right.  The rows of the
 *	picture run from the largest y at the top to the smallest at the
 *	bottom, the columns from the smallest x at the left.  On request the
 *	cells are shaded as lit from an azimuth (a hillshade), the records are
 *	drawn over them, and labelled ticks run along the left and bottom
 *	edges.  The image data are compressed with Tcl's own zlib.
 *
 *	::kardum::WriteImage grid file pixels lo hi marker palette shade points axes
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
constexpr double kPi = 3.14159265358979323846;

/* A palette: the positions and colours of its stops, from 0 to 1. */
struct Stop {
    double t;
    Rgb c;
};

/* In the order of the names kardum::gridimage accepts for -palette:
 * viridis (perceptual, the default), terrain (green lowlands through tan
 * and brown to white peaks), diverging (blue through light grey to red,
 * for values around a middle) and gray. */
const std::vector<Stop> kPalettes[kPaletteCount] = {
    {{0.00, {68, 1, 84}}, {0.25, {59, 82, 139}}, {0.50, {33, 145, 140}},
     {0.75, {94, 201, 98}}, {1.00, {253, 231, 37}}},
    {{0.00, {38, 115, 77}}, {0.25, {117, 171, 94}}, {0.50, {222, 214, 153}},
     {0.75, {156, 112, 79}}, {1.00, {250, 250, 250}}},
    {{0.00, {59, 76, 192}}, {0.25, {141, 176, 254}}, {0.50, {221, 221, 221}},
     {0.75, {244, 154, 123}}, {1.00, {180, 4, 38}}},
    {{0.00, {0, 0, 0}}, {1.00, {255, 255, 255}}},
};

Rgb Colour(const std::vector<Stop> &ramp, double t)
{
    t = std::min(1.0, std::max(0.0, t));
    std::size_t i = 1;
    while (i + 1 < ramp.size() && t > ramp[i].t) {
        ++i;
    }
    const Stop &a = ramp[i - 1];
    const Stop &b = ramp[i];
    double f = (t - a.t) / (b.t - a.t);
    auto mix = [f](unsigned char u, unsigned char v) {
        return static_cast<unsigned char>(std::lround(u + f * (v - u)));
    };
    return {mix(a.c.r, b.c.r), mix(a.c.g, b.c.g), mix(a.c.b, b.c.b)};
}

/* A colour made darker (factor below 1) or lighter. */
Rgb Scaled(Rgb c, double factor)
{
    auto one = [factor](unsigned char u) {
        return static_cast<unsigned char>(std::lround(std::min(255.0, u * factor)));
    };
    return {one(c.r), one(c.g), one(c.b)};
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

/* Ticks at round values (1, 2 or 5 times a power of ten) from lo to hi,
 * about five of them. */
std::vector<double> Ticks(double lo, double hi)
{
    std::vector<double> out;
    double span = hi - lo;
    if (!(span > 0) || !std::isfinite(span)) {
        return out;
    }
    double raw = span / 5;
    double power = std::pow(10.0, std::floor(std::log10(raw)));
    double step = power;
    for (double m : {1.0, 2.0, 5.0, 10.0}) {
        step = m * power;
        if (step >= raw) {
            break;
        }
    }
    for (double k = std::ceil(lo / step); k * step <= hi + step * 1e-9; k += 1) {
        double v = k * step;
        out.push_back(std::fabs(v) < step * 1e-9 ? 0.0 : v);
    }
    return out;
}

/*
 * The light a cell receives, 1 on flat ground: a hillshade, the light
 * from `azimuth` degrees (clockwise from north, the largest y) at 45
 * degrees above the horizon.  The heights are stretched so that the
 * grid's range of values rises a quarter of its longer side: the relief
 * shows whatever units the axes and the values are in.
 */
std::vector<double> Hillshade(const Grid &g, double azimuth, double lo, double hi)
{
    std::vector<double> light(g.Size(), 1.0);
    double w = g.hasExtent ? (g.x1 - g.x0) / g.nx : 1.0;
    double h = g.hasExtent ? (g.y1 - g.y0) / g.ny : 1.0;
    double side = std::max(std::fabs(w) * g.nx, std::fabs(h) * g.ny);
    if (!(hi > lo) || !(side > 0)) {
        return light;
    }
    double stretch = side / 4 / (hi - lo);
    double az = azimuth * kPi / 180.0;
    const double alt = kPi / 4;
    double lx = std::sin(az) * std::cos(alt), ly = std::cos(az) * std::cos(alt);
    double lz = std::sin(alt);
    auto at = [&g](int ix, int iy) { return static_cast<std::size_t>(iy) * g.nx + ix; };
    /* The slope along one axis: central where both neighbours hold a
     * value, one-sided where one does, flat where none does. */
    auto slope = [&](int ix, int iy, int sx, int sy, double spacing) {
        std::size_t k = at(ix, iy);
        int ax = ix - sx, ay = iy - sy, bx = ix + sx, by = iy + sy;
        bool a = ax >= 0 && ay >= 0 && !g.empty[at(ax, ay)];
        bool b = bx < g.nx && by < g.ny && !g.empty[at(bx, by)];
        double za = a ? g.cells[at(ax, ay)] : g.cells[k];
        double zb = b ? g.cells[at(bx, by)] : g.cells[k];
        int steps = (a ? 1 : 0) + (b ? 1 : 0);
        return steps == 0 ? 0.0 : (zb - za) * stretch / (steps * spacing);
    };
    for (int iy = 0; iy < g.ny; ++iy) {
        for (int ix = 0; ix < g.nx; ++ix) {
            std::size_t k = at(ix, iy);
            if (g.empty[k]) {
                continue;
            }
            double p = g.nx > 1 ? slope(ix, iy, 1, 0, w) : 0.0;
            double q = g.ny > 1 ? slope(ix, iy, 0, 1, h) : 0.0;
            double shade = (-p * lx - q * ly + lz) / std::sqrt(p * p + q * q + 1);
            light[k] = std::max(0.0, shade) / lz;
        }
    }
    return light;
}

} // namespace

void WriteGridImage(Tcl_Interp *interp, const Grid &g, Tcl_Obj *path, int pixels,
                    double lo, double hi, const ImageStyle &style)
{
    const char *cmd = "kardum::gridimage";
    const std::vector<Stop> &ramp = kPalettes[style.palette];
    long long iw = static_cast<long long>(g.nx) * pixels;
    long long ih = static_cast<long long>(g.ny) * pixels;
    std::string loText = Label(lo), hiText = Label(hi), midText = Label(lo + (hi - lo) / 2);
    int labelWidth = static_cast<int>(std::max({loText.size(), hiText.size(), midText.size()})) *
                     kGlyphAdvance;

    /* The axes: ticks along the left (y) and bottom (x) edges, in the
     * grid's coordinates, which only a grid with an extent has. */
    bool axes = style.axes && g.hasExtent;
    std::vector<double> xTicks, yTicks;
    int left = 0, bottom = 0;
    const int tick = 4;
    if (axes) {
        xTicks = Ticks(std::min(g.x0, g.x1), std::max(g.x0, g.x1));
        yTicks = Ticks(std::min(g.y0, g.y1), std::max(g.y0, g.y1));
        std::size_t widest = 0;
        for (double v : yTicks) {
            widest = std::max(widest, Label(v).size());
        }
        left = static_cast<int>(widest) * kGlyphAdvance + tick + 2;
        bottom = tick + 2 + kGlyphHeight + 2;
        /* The last x label reaches past the picture's right edge by half
         * its width at most; the scale's gap leaves room for that. */
    }

    const int gap = axes ? 8 + 4 * kGlyphAdvance : 8, bar = 16;
    long long width = left + iw + gap + bar + 4 + labelWidth + 4;
    long long height = std::max<long long>(ih + bottom, 6 * kGlyphHeight);
    if (width * height > 100000000LL) {
        Fail("%s: a picture of %lld by %lld pixels is too large: lower -pixels", cmd,
             width, height);
    }
    Canvas canvas(static_cast<int>(width), static_cast<int>(height));
    bool xDown = g.hasExtent && g.x0 > g.x1;
    bool yUp = !(g.hasExtent && g.y0 > g.y1);
    double span = hi - lo;
    std::vector<double> light;
    if (style.shade) {
        light = Hillshade(g, style.azimuth, lo, hi);
    }
    for (int iy = 0; iy < g.ny; ++iy) {
        int row = yUp ? g.ny - 1 - iy : iy;         /* picture row of the cells */
        for (int ix = 0; ix < g.nx; ++ix) {
            int col = xDown ? g.nx - 1 - ix : ix;
            std::size_t k = static_cast<std::size_t>(iy) * g.nx + ix;
            Rgb c = g.empty[k] ? kEmptyColour
                    : Colour(ramp, span > 0 ? (g.cells[k] - lo) / span : 0.5);
            if (!light.empty() && !g.empty[k]) {
                c = Scaled(c, 0.3 + 0.7 * light[k]);
            }
            for (int a = 0; a < pixels; ++a) {
                for (int b = 0; b < pixels; ++b) {
                    canvas.Set(left + col * pixels + b, row * pixels + a, c);
                }
            }
        }
    }

    /* Where a point of the grid's plane lands in the picture (a point
     * on a pixel's edge, to rounding, on the pixel after it). */
    auto pictureX = [&](double x) {
        double f = (x - g.x0) / (g.x1 - g.x0);
        return left + static_cast<int>(std::floor(f * static_cast<double>(iw) + 1e-9));
    };
    auto pictureY = [&](double y) {
        double f = (y - g.y0) / (g.y1 - g.y0);
        return static_cast<int>(
            std::floor((yUp ? 1.0 - f : f) * static_cast<double>(ih) + 1e-9));
    };
    if (style.points != nullptr) {
        /* A black cross with a white centre over each record inside the
         * extent. */
        const Records &rec = *style.points;
        for (std::size_t i = 0; i < rec.Count(); ++i) {
            /* A point, or the middle of a footprint {x1 x2 y1 y2 z}. */
            const double *r = &rec.values[i * rec.width];
            double x = rec.Footprints() ? (r[0] + r[1]) / 2 : r[0];
            double y = rec.Footprints() ? (r[2] + r[3]) / 2 : r[1];
            double fx = (x - g.x0) / (g.x1 - g.x0), fy = (y - g.y0) / (g.y1 - g.y0);
            if (!(fx >= 0 && fx <= 1 && fy >= 0 && fy <= 1)) {
                continue;
            }
            int px = std::min<int>(pictureX(x), left + static_cast<int>(iw) - 1);
            int py = std::min<int>(pictureY(y), static_cast<int>(ih) - 1);
            for (int d = -2; d <= 2; ++d) {
                canvas.Set(px + d, py, kBlack);
                canvas.Set(px, py + d, kBlack);
            }
            canvas.Set(px, py, {255, 255, 255});
        }
    }
    if (axes) {
        int base = static_cast<int>(ih);
        for (double v : xTicks) {
            int x = std::min<int>(pictureX(v), left + static_cast<int>(iw) - 1);
            for (int d = 0; d < tick; ++d) {
                canvas.Set(x, base + d, kBlack);
            }
            std::string text = Label(v);
            int tw = static_cast<int>(text.size()) * kGlyphAdvance;
            canvas.Text(x - tw / 2, base + tick + 2, text);
        }
        for (double v : yTicks) {
            int y = std::min<int>(pictureY(v), base - 1);
            for (int d = 1; d <= tick; ++d) {
                canvas.Set(left - d, y, kBlack);
            }
            std::string text = Label(v);
            int tw = static_cast<int>(text.size()) * kGlyphAdvance;
            int ty = std::min(std::max(0, y - kGlyphHeight / 2), base - kGlyphHeight);
            canvas.Text(left - tick - 2 - tw, ty, text);
        }
    }

    /* The scale: the highest value at the top. */
    int barLeft = left + static_cast<int>(iw) + gap;
    int barHeight = axes ? static_cast<int>(std::max<long long>(ih, 6 * kGlyphHeight))
                         : static_cast<int>(height);
    for (int y = 0; y < barHeight; ++y) {
        Rgb c = Colour(ramp, barHeight > 1 ? 1.0 - static_cast<double>(y) / (barHeight - 1) : 0.5);
        for (int x = 0; x < bar; ++x) {
            canvas.Set(barLeft + x, y, c);
        }
    }
    int textLeft = barLeft + bar + 4;
    canvas.Text(textLeft, 0, hiText);
    canvas.Text(textLeft, (barHeight - kGlyphHeight) / 2, midText);
    canvas.Text(textLeft, barHeight - kGlyphHeight, loText);

    std::string png = PngFile(interp, canvas.Scanlines(), width, height);

    ReplacingFile file(interp, cmd, path);
    file.Write(png.data(), png.size());
    file.Commit();
}

/* ::kardum::WriteImage grid file pixels lo hi marker: lo and hi empty for
 * the range of the cells that hold a value. */
int WriteImageCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    return RunCommand(interp, "kardum::gridimage", [&]() -> int {
        const char *cmd = "kardum::gridimage";
        if (objc != 11) {
            Tcl_WrongNumArgs(interp, 1, objv,
                             "grid file pixels lo hi marker palette shade points axes");
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
        /* The style, checked by kardum::gridimage: the palette's number,
         * the light's azimuth or empty, the records or empty, 0 or 1. */
        ImageStyle style;
        int palette = 0, axes = 1;
        if (Tcl_GetIntFromObj(nullptr, objv[7], &palette) != TCL_OK || palette < 0 ||
            palette >= kPaletteCount) {
            Fail("%s: no palette %s", cmd, Tcl_GetString(objv[7]));
        }
        style.palette = palette;
        if (*Tcl_GetString(objv[8]) != '\0') {
            style.shade = true;
            if (Tcl_GetDoubleFromObj(nullptr, objv[8], &style.azimuth) != TCL_OK ||
                !std::isfinite(style.azimuth)) {
                Fail("%s: -shade must be the light's azimuth in degrees, got \"%s\"", cmd,
                     Tcl_GetString(objv[8]));
            }
        }
        std::shared_ptr<const Records> points;
        if (*Tcl_GetString(objv[9]) != '\0') {
            if (!g->hasExtent) {
                Fail("%s: -points needs the grid's extent: give a grid from kardum::gridfill",
                     cmd);
            }
            points = GetRecords(interp, objv[9], cmd);
            style.points = points.get();
        }
        if (Tcl_GetBooleanFromObj(nullptr, objv[10], &axes) != TCL_OK) {
            Fail("%s: -axes must be a boolean, got \"%s\"", cmd, Tcl_GetString(objv[10]));
        }
        style.axes = axes != 0;
        WriteGridImage(interp, *g, objv[2], pixels, lo, hi, style);
        return TCL_OK;
    });
}

} // namespace kardum::package
