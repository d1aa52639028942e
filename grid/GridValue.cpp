/*
 * GridValue.cpp --
 *
 *	The two Tcl value types of the package's data path: records and
 *	grids held in C++ buffers, printed as lists only when asked.
 */

#include "grid/GridValue.h"
#include "frame/Frame.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>

namespace kardum::package {

namespace {

/* The internal representation: a shared pointer to the immutable buffer,
 * kept in ptr1. */
template <class T>
std::shared_ptr<const T> *Held(Tcl_Obj *obj)
{
    return static_cast<std::shared_ptr<const T> *>(obj->internalRep.twoPtrValue.ptr1);
}

template <class T>
void FreeHeld(Tcl_Obj *obj)
{
    delete Held<T>(obj);
    obj->internalRep.twoPtrValue.ptr1 = nullptr;
}

/* A hash of a text, 32 bytes at a time in four independent lanes (a
 * grid's text runs to tens of megabytes, and one lane waits on each
 * multiplication), then the rest eight bytes and one byte at a time. */
std::uint64_t TextHash(const char *bytes, std::size_t n)
{
    const std::uint64_t k = 0xFF51AFD7ED558CCDull;
    std::uint64_t lane[4] = {0x9E3779B97F4A7C15ull ^ n, 0xC2B2AE3D27D4EB4Full,
                             0x165667B19E3779F9ull, 0x27D4EB2F165667C5ull};
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        for (int j = 0; j < 4; ++j) {
            std::uint64_t w;
            std::memcpy(&w, bytes + i + 8 * j, 8);
            lane[j] = (lane[j] ^ w) * k;
            lane[j] ^= lane[j] >> 32;
        }
    }
    std::uint64_t h = lane[0];
    for (int j = 1; j < 4; ++j) {
        h = (h ^ lane[j]) * k;
        h ^= h >> 32;
    }
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, bytes + i, 8);
        h = (h ^ w) * k;
        h ^= h >> 32;
    }
    for (; i < n; ++i) {
        h = (h ^ static_cast<unsigned char>(bytes[i])) * 0xC4CEB9FE1A85EC53ull;
    }
    return h ^ (h >> 29);
}

/*
 * Grids whose value a script has turned into a plain list (lindex,
 * foreach, llength, lsort ...): the buffer stays here, known by the text
 * the list still has, so that the next step given that list gets the grid
 * back with its extent and its empty cells instead of parsing the rows.
 * Per thread, as Tcl values are; only the most recent few are kept.  A
 * value freed as a whole (no reference left) is not kept.
 */
struct Shimmered {
    std::uint64_t hash;
    std::size_t length;
    std::shared_ptr<const Grid> grid;
};
constexpr std::size_t kShimmeredKept = 2;
thread_local std::deque<Shimmered> tShimmered;

void FreeGrid(Tcl_Obj *obj)
{
    if (obj->refCount > 0 && obj->bytes != nullptr) {
        std::size_t length = static_cast<std::size_t>(obj->length);
        tShimmered.push_front({TextHash(obj->bytes, length), length, *Held<Grid>(obj)});
        if (tShimmered.size() > kShimmeredKept) {
            tShimmered.pop_back();
        }
    }
    FreeHeld<Grid>(obj);
}

/* The grid a plain list was turned from, if it is still kept. */
std::shared_ptr<const Grid> ShimmeredGrid(Tcl_Obj *obj)
{
    if (tShimmered.empty()) {
        return nullptr;
    }
    Tcl_Size length = 0;
    const char *bytes = Tcl_GetStringFromObj(obj, &length);
    std::uint64_t hash = TextHash(bytes, static_cast<std::size_t>(length));
    for (const Shimmered &s : tShimmered) {
        if (s.hash == hash && s.length == static_cast<std::size_t>(length)) {
            return s.grid;
        }
    }
    return nullptr;
}

/* Gives obj the text `text` as its string representation. */
void SetStringRep(Tcl_Obj *obj, const std::string &text)
{
    char *bytes = static_cast<char *>(ckalloc(static_cast<unsigned>(text.size() + 1)));
    std::memcpy(bytes, text.data(), text.size());
    bytes[text.size()] = '\0';
    obj->bytes = bytes;
    obj->length = static_cast<Tcl_Size>(text.size());
}

/* Appends a double as Tcl prints it (the interpreter's tcl_precision). */
void AppendDouble(std::string &out, double v)
{
    char buf[TCL_DOUBLE_SPACE];
    Tcl_PrintDouble(nullptr, v, buf);
    out += buf;
}

/* Appends `text` as one element of a list, quoted as Tcl quotes it. */
void AppendElement(std::string &out, const std::string &text)
{
    int flags = 0;
    std::size_t room = static_cast<std::size_t>(Tcl_ScanElement(text.c_str(), &flags));
    std::size_t at = out.size();
    out.resize(at + room + 1);
    std::size_t used = static_cast<std::size_t>(Tcl_ConvertElement(text.c_str(), &out[at], flags));
    out.resize(at + used);
}

void DupRecords(Tcl_Obj *src, Tcl_Obj *dup);
void DupGrid(Tcl_Obj *src, Tcl_Obj *dup);
void RecordsString(Tcl_Obj *obj);
void GridString(Tcl_Obj *obj);

/* Tcl 9 adds a version and the list procedures to an object type; its
 * TCL_OBJTYPE_V0 fills them for a type without them.  Tcl 8.6 has neither. */
#ifndef TCL_OBJTYPE_V0
#define TCL_OBJTYPE_V0
#endif

const Tcl_ObjType kRecordsType = {
    "kardum-records", FreeHeld<Records>, DupRecords, RecordsString, nullptr, TCL_OBJTYPE_V0
};

const Tcl_ObjType kGridType = {
    "kardum-grid", FreeGrid, DupGrid, GridString, nullptr, TCL_OBJTYPE_V0
};

void DupRecords(Tcl_Obj *src, Tcl_Obj *dup)
{
    dup->internalRep.twoPtrValue.ptr1 = new std::shared_ptr<const Records>(*Held<Records>(src));
    dup->typePtr = &kRecordsType;
}

void DupGrid(Tcl_Obj *src, Tcl_Obj *dup)
{
    dup->internalRep.twoPtrValue.ptr1 = new std::shared_ptr<const Grid>(*Held<Grid>(src));
    dup->typePtr = &kGridType;
}

/* "{x y z} {x y z} ...": number texts need no quoting. */
void RecordsString(Tcl_Obj *obj)
{
    const Records &rec = **Held<Records>(obj);
    std::string out;
    std::size_t n = rec.Count();
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) {
            out += ' ';
        }
        const double *r = &rec.values[i * rec.width];
        if (rec.width > 1) {
            out += '{';
        }
        for (int j = 0; j < rec.width; ++j) {
            if (j > 0) {
                out += ' ';
            }
            AppendDouble(out, r[j]);
        }
        if (rec.width > 1) {
            out += '}';
        }
    }
    SetStringRep(obj, out);
}

/* The ny rows, each the list of its nx cells, exactly as Tcl would print
 * the list of lists. */
void GridString(Tcl_Obj *obj)
{
    const Grid &g = **Held<Grid>(obj);
    std::string marker;
    AppendElement(marker, g.marker);
    std::string out, row;
    for (int iy = 0; iy < g.ny; ++iy) {
        row.clear();
        for (int ix = 0; ix < g.nx; ++ix) {
            std::size_t k = static_cast<std::size_t>(iy) * g.nx + ix;
            if (ix > 0) {
                row += ' ';
            }
            if (g.empty[k]) {
                row += marker;
            } else {
                AppendDouble(row, g.cells[k]);
            }
        }
        if (iy > 0) {
            out += ' ';
        }
        AppendElement(out, row);
    }
    SetStringRep(obj, out);
}

template <class T>
Tcl_Obj *NewHeld(const Tcl_ObjType *type, std::shared_ptr<const T> value)
{
    Tcl_Obj *obj = Tcl_NewObj();
    Tcl_InvalidateStringRep(obj);
    obj->internalRep.twoPtrValue.ptr1 = new std::shared_ptr<const T>(std::move(value));
    obj->internalRep.twoPtrValue.ptr2 = nullptr;
    obj->typePtr = type;
    return obj;
}

/* A finite number from a list element, or ArgError. */
double Finite(Tcl_Interp *interp, Tcl_Obj *elem, const char *cmd, const std::string &what)
{
    double v = 0.0;
    if (Tcl_GetDoubleFromObj(nullptr, elem, &v) != TCL_OK || !std::isfinite(v)) {
        (void)interp;
        Fail("%s: %s must be a finite number, got \"%s\"", cmd, what.c_str(),
             Tcl_GetString(elem));
    }
    return v;
}

} // namespace

Tcl_Obj *NewRecordsObj(std::shared_ptr<const Records> records)
{
    return NewHeld(&kRecordsType, std::move(records));
}

Tcl_Obj *NewGridObj(std::shared_ptr<const Grid> grid)
{
    return NewHeld(&kGridType, std::move(grid));
}

bool IsRecordsObj(Tcl_Obj *obj)
{
    return obj->typePtr == &kRecordsType;
}

bool IsGridObj(Tcl_Obj *obj)
{
    return obj->typePtr == &kGridType;
}

std::shared_ptr<const Records> GetRecords(Tcl_Interp *interp, Tcl_Obj *obj,
                                          const char *cmd)
{
    if (IsRecordsObj(obj)) {
        return *Held<Records>(obj);
    }
    Tcl_Size n = 0;
    Tcl_Obj **recs = nullptr;
    if (Tcl_ListObjGetElements(nullptr, obj, &n, &recs) != TCL_OK) {
        Fail("%s: the records must be a list, got \"%s\"", cmd, Tcl_GetString(obj));
    }
    auto out = std::make_shared<Records>();
    if (n > 0) {
        Tcl_Size width = 0;
        Tcl_Obj **first = nullptr;
        if (Tcl_ListObjGetElements(nullptr, recs[0], &width, &first) != TCL_OK ||
            width < 3 || width > 6) {
            Fail("%s: record 0 must be {x y z}, {x y z w}, {x1 x2 y1 y2 z} or "
                 "{x1 x2 y1 y2 z w}, got \"%s\"", cmd, Tcl_GetString(recs[0]));
        }
        out->width = static_cast<int>(width);
    }
    out->values.reserve(static_cast<std::size_t>(n) * out->width);
    for (Tcl_Size i = 0; i < n; ++i) {
        Tcl_Size m = 0;
        Tcl_Obj **elems = nullptr;
        std::string what = "record " + std::to_string(static_cast<long long>(i));
        if (Tcl_ListObjGetElements(nullptr, recs[i], &m, &elems) != TCL_OK ||
            m != out->width) {
            Fail("%s: %s must be a list of %d numbers, got \"%s\"", cmd,
                 what.c_str(), out->width, Tcl_GetString(recs[i]));
        }
        for (Tcl_Size j = 0; j < m; ++j) {
            out->values.push_back(Finite(interp, elems[j], cmd,
                "element " + std::to_string(static_cast<long long>(j)) + " of " + what));
        }
        if (out->Weighted() && !(out->values.back() > 0.0)) {
            Fail("%s: the weight of %s must be above 0, got \"%s\"", cmd, what.c_str(),
                 Tcl_GetString(elems[m - 1]));
        }
    }
    return out;
}

std::shared_ptr<const Grid> GetGrid(Tcl_Interp *interp, Tcl_Obj *obj,
                                    const char *cmd, const std::string &marker)
{
    if (IsGridObj(obj)) {
        return *Held<Grid>(obj);
    }
    if (auto kept = ShimmeredGrid(obj)) {
        return kept;
    }
    Tcl_Size ny = 0;
    Tcl_Obj **rows = nullptr;
    if (Tcl_ListObjGetElements(nullptr, obj, &ny, &rows) != TCL_OK || ny < 1) {
        Fail("%s: the grid must be a list of rows of cells, got \"%.60s\"", cmd,
             Tcl_GetString(obj));
    }
    auto g = std::make_shared<Grid>();
    g->marker = marker;
    for (Tcl_Size iy = 0; iy < ny; ++iy) {
        Tcl_Size nx = 0;
        Tcl_Obj **cells = nullptr;
        if (Tcl_ListObjGetElements(nullptr, rows[iy], &nx, &cells) != TCL_OK ||
            nx < 1 || (iy > 0 && nx != g->nx)) {
            Fail("%s: row %lld of the grid must be a list of %s cells, got \"%.60s\"",
                 cmd, static_cast<long long>(iy),
                 iy > 0 ? std::to_string(g->nx).c_str() : "one or more",
                 Tcl_GetString(rows[iy]));
        }
        if (iy == 0) {
            if (static_cast<double>(nx) * static_cast<double>(ny) > 2147483647.0) {
                Fail("%s: the grid of %lld by %lld cells is too large", cmd,
                     static_cast<long long>(nx), static_cast<long long>(ny));
            }
            g->nx = static_cast<int>(nx);
            g->ny = static_cast<int>(ny);
            g->cells.reserve(static_cast<std::size_t>(nx) * ny);
            g->empty.reserve(static_cast<std::size_t>(nx) * ny);
        }
        for (Tcl_Size ix = 0; ix < nx; ++ix) {
            if (marker == Tcl_GetString(cells[ix])) {
                g->cells.push_back(0.0);
                g->empty.push_back(1);
                continue;
            }
            g->cells.push_back(Finite(interp, cells[ix], cmd,
                "cell " + std::to_string(static_cast<long long>(ix)) + " of row " +
                std::to_string(static_cast<long long>(iy))));
            g->empty.push_back(0);
        }
    }
    return g;
}

} // namespace kardum::package
