/*
 * GridIO.cpp --
 *
 *	Records and grids to and from files other programs read:
 *
 *	::kardum::readxyz file ?option value ...?
 *	    records {x y z} (or {x y z w}, with four -columns) from a text file, one a line, the numbers
 *	    separated by blanks, tabs or commas; blank lines and lines
 *	    starting with # are skipped.
 *	::kardum::WriteGrid grid file format extent nodata marker dxdy
 *	    the grid as an ESRI ASCII grid (format esri-ascii) or as x y z
 *	    lines at the cell centres (format xyz); netcdf and geotiff go to
 *	    grid/GridNetcdf.cpp and grid/GridGeotiff.cpp.
 *	::kardum::WriteImage grid file pixels lo hi marker
 *	    the grid as a PNG picture with a colour scale (grid/GridImage.cpp).
 *
 *	The files go through Tcl channels in binary mode, so that paths
 *	work as everywhere in Tcl and a file is the same on every platform.
 */

#include "package/Commands.h"
#include "grid/GridIO.h"
#include "grid/GridValue.h"
#include "grid/LargeBuffer.h"
#include "grid/Team.h"
#include "grid/NumberText.h"
#include "frame/Interrupt.h"
#include "frame/ObjRef.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <sys/stat.h>
#include <cstdio>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace kardum::package {

namespace {

const std::size_t kChunk = 1 << 20;
/* The longest line readxyz takes (1 MiB): a record is a few dozen bytes, so
 * a longer line is not a table of records, and refusing it early keeps a
 * file without line ends (a device, a binary file) from filling memory. */
const std::size_t kMaxLine = 1 << 20;

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

enum class LineKind { kNothing, kRecord, kSkipped };

/*
 * Parses one line (without its newline) into out: the fields that
 * opt.columns picks (exactly three numbers when the columns are not
 * given).  Returns kNothing for a line that holds no record, kSkipped for
 * a record with a value that is not finite under -nan skip.  Throws
 * ArgError naming the file and line.
 */
LineKind ParseLine(const char *at, const char *end, const char *file, long long line,
                   const XyzOptions &opt, double *out)
{
    const char *first = at;
    while (at < end && IsBlank(*at)) {
        ++at;
    }
    if (at == end || *at == '#') {
        return LineKind::kNothing;
    }
    if (!opt.columnsGiven) {
        /* The usual line, three finite numbers between blanks, read in one
         * go; any other line takes the general way below, which decides
         * what it holds and names its fault. */
        double v[3];
        const char *p = at;
        int k = 0;
        for (; k < 3; ++k) {
            p = ReadNumber(p, end, v[k]);
            if (p == nullptr || !std::isfinite(v[k]) || (p < end && !IsBlank(*p))) {
                break;
            }
            while (p < end && IsBlank(*p)) {
                ++p;
            }
            if ((p == end) != (k == 2)) {
                break;
            }
        }
        if (k == 3) {
            out[0] = v[0];
            out[1] = v[1];
            out[2] = v[2];
            return LineKind::kRecord;
        }
    }
    int maxColumn = *std::max_element(opt.columns, opt.columns + opt.taken);
    bool skipped = false;
    int n = 0;
    for (;;) {
        const char *start = at;
        const char *fieldEnd = at;
        while (fieldEnd < end && !IsBlank(*fieldEnd) && *fieldEnd != ',') {
            ++fieldEnd;
        }
        bool picked = !opt.columnsGiven;
        for (int k = 0; k < opt.taken; ++k) {
            picked = picked || opt.columns[k] == n;
        }
        if (picked) {
            double v = 0.0;
            const char *stop = ReadNumber(at, fieldEnd, v);
            if (stop == nullptr || stop != fieldEnd) {
                Fail("kardum::readxyz: %s, line %lld: \"%s\" is not a number", file,
                     line, Shown(start, fieldEnd).c_str());
            }
            if (!std::isfinite(v)) {
                if (!opt.nanSkip) {
                    Fail("kardum::readxyz: %s, line %lld: \"%s\" is not a finite number "
                         "(-nan skip passes over such records)",
                         file, line, Shown(start, fieldEnd).c_str());
                }
                skipped = true;
            }
            for (int k = 0; k < opt.taken; ++k) {
                if (opt.columns[k] == n) {
                    out[k] = v;
                    if (k == 3 && !(v > 0.0) && std::isfinite(v)) {
                        Fail("kardum::readxyz: %s, line %lld: the weight \"%s\" must be "
                             "above 0", file, line, Shown(start, fieldEnd).c_str());
                    }
                }
            }
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
    if (!opt.columnsGiven && n != 3) {
        Fail("kardum::readxyz: %s, line %lld: expected 3 numbers x y z, got %d in \"%s\"",
             file, line, n, Shown(first, end).c_str());
    }
    if (n <= maxColumn) {
        Fail("kardum::readxyz: %s, line %lld: -columns needs %d fields, got %d in \"%s\"",
             file, line, maxColumn + 1, n, Shown(first, end).c_str());
    }
    return skipped ? LineKind::kSkipped : LineKind::kRecord;
}

/* A channel for reading, closed on every path. */
class Channel {
public:
    Channel(Tcl_Interp *interp, const char *cmd, Tcl_Obj *path, const char *mode)
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

private:
    Tcl_Channel chan_ = nullptr;
};

/* Output through a buffer of about one chunk. */
class Writer {
public:
    explicit Writer(ReplacingFile &file) : file_(file) { buf_.reserve(kChunk + 256); }

    std::string &Buffer() { return buf_; }

    void MaybeFlush()
    {
        if (buf_.size() >= kChunk) {
            Flush();
        }
    }

    void Flush()
    {
        file_.Write(buf_.data(), buf_.size());
        buf_.clear();
    }

private:
    ReplacingFile &file_;
    std::string buf_;
};

} // namespace

Tcl_Obj *WriteTarget(Tcl_Obj *path, bool *special)
{
    Tcl_Obj *at = path;
    Tcl_IncrRefCount(at);
    *special = false;
    /* Links followed as the system follows them, up to its usual depth;
     * a link that leads nowhere is replaced as a file would be. */
    for (int depth = 0; depth < 40; ++depth) {
        Tcl_StatBuf *buf = Tcl_AllocStatBuf();
        int missing = Tcl_FSLstat(at, buf);
        unsigned mode = missing ? 0u : Tcl_GetModeFromStat(buf);
        ckfree(buf);
        if (missing) {
            return at;
        }
#ifdef S_ISLNK
        if (S_ISLNK(mode)) {
            Tcl_Obj *link = Tcl_FSLink(at, nullptr, 0);   /* ours to release */
            if (link == nullptr) {
                return at;
            }
            /* a relative link is taken from the link's folder */
            Tcl_Obj *parts = Tcl_FSSplitPath(at, nullptr);
            Tcl_IncrRefCount(parts);
            Tcl_Size n = 0;
            Tcl_ListObjLength(nullptr, parts, &n);
            Tcl_ListObjReplace(nullptr, parts, n - 1, 1, 1, &link);
            Tcl_Obj *next = Tcl_FSJoinPath(parts, -1);
            Tcl_IncrRefCount(next);
            Tcl_DecrRefCount(parts);
            Tcl_DecrRefCount(link);
            Tcl_DecrRefCount(at);
            at = next;
            continue;
        }
#endif
        *special = !S_ISREG(mode) && !S_ISDIR(mode);
        return at;
    }
    return at;
}

ReplacingFile::ReplacingFile(Tcl_Interp *interp, const char *cmd, Tcl_Obj *target)
    : interp_(interp), cmd_(cmd), target_(target)
{
    Tcl_IncrRefCount(target_);
    dest_ = WriteTarget(target_, &inPlace_);
    if (inPlace_) {
        /* A device or a pipe (/dev/null, /dev/stdout, a FIFO) cannot be
         * replaced: it is written in place, every write and the close
         * still checked. */
        chan_ = Tcl_FSOpenFileChannel(interp, dest_, "w", 0666);
    }
    /* A name no other writer holds: the target's with a suffix from the
     * clock, created exclusively (a name taken is tried again). */
    Tcl_Time now;
    Tcl_GetTime(&now);
    unsigned long long tag = static_cast<unsigned long long>(now.sec) * 1000003u +
                             static_cast<unsigned long long>(now.usec);
    for (int attempt = 0; !inPlace_ && attempt < 64 && chan_ == nullptr; ++attempt) {
        char suffix[48];
        std::snprintf(suffix, sizeof suffix, ".%llx.part", (tag + attempt * 7919u) & 0xffffffffffull);
        Tcl_Obj *name = Tcl_DuplicateObj(dest_);
        Tcl_IncrRefCount(name);
        Tcl_AppendToObj(name, suffix, -1);
        chan_ = Tcl_FSOpenFileChannel(interp, name, "WRONLY CREAT EXCL", 0666);
        if (chan_ != nullptr) {
            temp_ = name;
        } else {
            Tcl_DecrRefCount(name);
            if (Tcl_GetErrno() != EEXIST) {
                break;
            }
        }
    }
    if (chan_ == nullptr) {
        std::string why = Tcl_GetString(Tcl_GetObjResult(interp));
        Tcl_DecrRefCount(dest_);
        Tcl_DecrRefCount(target_);
        Fail("%s: cannot write %s\"%s\": %s", cmd, inPlace_ ? "" : "beside ",
             Tcl_GetString(target), why.c_str());
    }
    if (temp_ != nullptr) {
        CopyPermissions(dest_, temp_);
    }
    if (Tcl_SetChannelOption(interp, chan_, "-translation", "binary") != TCL_OK) {
        Discard();
        Tcl_DecrRefCount(dest_);
        Tcl_DecrRefCount(target_);
        throw TclError{};
    }
}

void CopyPermissions(Tcl_Obj *from, Tcl_Obj *to)
{
    Tcl_Obj *names = nullptr;
    const char *const *strings = Tcl_FSFileAttrStrings(from, &names);
    if (strings == nullptr) {
        if (names != nullptr) {         /* a list of names, which is ours */
            Tcl_IncrRefCount(names);
            Tcl_DecrRefCount(names);
        }
        return;
    }
    for (int i = 0; strings[i] != nullptr; ++i) {
        if (std::strcmp(strings[i], "-permissions") == 0) {
            Tcl_Obj *value = nullptr;
            if (Tcl_FSFileAttrsGet(nullptr, i, from, &value) == TCL_OK && value != nullptr) {
                Tcl_IncrRefCount(value);
                Tcl_FSFileAttrsSet(nullptr, i, to, value);
                Tcl_DecrRefCount(value);
            }
            return;
        }
    }
}

ReplacingFile::~ReplacingFile()
{
    Discard();
    Tcl_DecrRefCount(dest_);
    Tcl_DecrRefCount(target_);
}

void ReplacingFile::Discard()
{
    if (chan_ != nullptr) {
        Tcl_Close(nullptr, chan_);
        chan_ = nullptr;
    }
    if (temp_ != nullptr) {
        Tcl_FSDeleteFile(temp_);
        Tcl_DecrRefCount(temp_);
        temp_ = nullptr;
    }
}

const char *ReplacingFile::Kept() const
{
    return inPlace_ ? "" : "; the file is left as it was";
}

void ReplacingFile::Write(const char *data, std::size_t size)
{
    Interrupt stop(interp_);
    if (stop.Check()) {
        throw TclError{};
    }
    /* A file channel may take part of a block; what it does not take at
     * all is an error (a full disk among them). */
    while (size > 0) {
        std::size_t part = std::min<std::size_t>(size, kChunk);
        Tcl_Size wrote = Tcl_WriteRaw(chan_, data, static_cast<Tcl_Size>(part));
        if (wrote <= 0 || static_cast<std::size_t>(wrote) > part) {
            std::string why = wrote < 0 ? Tcl_PosixError(nullptr) : "nothing was written";
            Fail("%s: error writing \"%s\": %s%s", cmd_, Tcl_GetString(target_), why.c_str(),
                 Kept());
        }
        data += wrote;
        size -= static_cast<std::size_t>(wrote);
    }
}

Tcl_WideInt ReplacingFile::Seek(Tcl_WideInt offset, int mode)
{
    Tcl_WideInt at = inPlace_ ? -1 : Tcl_Seek(chan_, offset, mode);
    if (at < 0) {
        std::string why = inPlace_ ? "a device or a pipe cannot seek" : Tcl_PosixError(nullptr);
        Fail("%s: error writing \"%s\": %s%s", cmd_, Tcl_GetString(target_), why.c_str(),
             Kept());
    }
    return at;
}

void ReplacingFile::Commit()
{
    Tcl_Channel chan = chan_;
    chan_ = nullptr;
    if (Tcl_Close(interp_, chan) != TCL_OK) {
        std::string why = Tcl_GetString(Tcl_GetObjResult(interp_));
        Fail("%s: error writing \"%s\": %s%s", cmd_, Tcl_GetString(target_), why.c_str(),
             Kept());
    }
    if (inPlace_) {
        return;
    }
    if (Tcl_FSRenameFile(temp_, dest_) != 0) {
        std::string why = Tcl_PosixError(nullptr);
        Fail("%s: cannot replace \"%s\": %s; the file is left as it was", cmd_,
             Tcl_GetString(target_), why.c_str());
    }
    Tcl_DecrRefCount(temp_);
    temp_ = nullptr;
}

namespace {

/* A part of a block of lines, parsed by one thread: its records, and the
 * lines and records it passed over.  `failed` marks a part that met an
 * error; the calling thread parses it again in order to throw it with the
 * right line number. */
struct LinesPart {
    explicit LinesPart(std::pmr::memory_resource *m) : values(m) {}
    const char *first = nullptr, *last = nullptr;
    std::pmr::vector<double> values;
    long long lines = 0;
    long long passed = 0;
    bool failed = false;
};

/*
 * Parses the lines of first .. last (each ended by a newline, except the
 * last one when the file ends without it) into part.values, `width`
 * values a record, numbering them from firstLine for the messages.
 * Throws what ParseLine throws, or the line limit's error.
 */
void ParseLines(const char *first, const char *last, const char *file, long long firstLine,
                const XyzOptions &opt, int width, LinesPart &part)
{
    long long line = firstLine - 1;
    double xyz[8];
    for (const char *at = first; at < last;) {
        const char *nl = static_cast<const char *>(std::memchr(at, '\n', last - at));
        const char *lineEnd = nl != nullptr ? nl : last;
        ++line;
        if (static_cast<std::size_t>(lineEnd - at) > kMaxLine) {
            Fail("kardum::readxyz: %s, line %lld: longer than %zu bytes, the limit of a "
                 "line", file, line, kMaxLine);
        }
        LineKind kind = ParseLine(at, lineEnd, file, line, opt, xyz);
        if (kind == LineKind::kRecord) {
            part.values.insert(part.values.end(), xyz, xyz + width);
        } else if (kind == LineKind::kSkipped) {
            ++part.passed;
        }
        at = lineEnd + 1;
    }
    part.lines = line - firstLine + 1;
}

/* The last newline in first .. last, or nullptr. */
const char *LastNewline(const char *first, const char *last)
{
    while (last > first) {
        if (*--last == '\n') {
            return last;
        }
    }
    return nullptr;
}

/* The size of the file at path when the filesystem tells it, else 0. */
std::size_t FileSize(Tcl_Obj *path)
{
    Tcl_StatBuf *buf = Tcl_AllocStatBuf();
    std::size_t size = 0;
    if (Tcl_FSStat(path, buf) == 0) {
        unsigned long long n = Tcl_GetSizeFromStat(buf);
        size = S_ISREG(Tcl_GetModeFromStat(buf)) ? static_cast<std::size_t>(n) : 0;
    }
    ckfree(buf);
    return size;
}

} // namespace

/*
 * The file is read in blocks of about kChunk bytes.  The whole lines of a
 * block are split among the threads of a Team at line ends, each part
 * parsed into its own buffer by the same ParseLine, and the parts' records
 * appended in the file's order, so the records are the same whatever the
 * number of threads.  A part that meets an error is parsed again on this
 * thread, which throws the error of its first bad line with that line's
 * number.  The interpreter is polled between blocks, on this thread only.
 */
std::shared_ptr<const Records> ReadXyz(Tcl_Interp *interp, Tcl_Obj *path,
                                       const XyzOptions &opt, long long *skipped)
{
    const char *cmd = "kardum::readxyz";
    const char *file = Tcl_GetString(path);
    Channel chan(interp, cmd, path, "r");
    Interrupt stop(interp);
    auto rec = std::make_shared<Records>();
    rec->width = opt.taken;
    const int width = rec->width;
    std::size_t fileSize = FileSize(path);
    /* Room for the longest line allowed and a chunk read after it. */
    HugePageResource huge;
    std::pmr::vector<char> buf(kMaxLine + kChunk, &huge);
    std::size_t held = 0;           /* bytes of an unfinished line at buf[0] */
    long long line = 0;
    long long passed = 0;           /* records skipped under -nan skip */
    bool eof = false;
    bool sized = false;             /* room reserved from the file's size */
    auto tooLong = [&]() {
        Fail("%s: %s, line %lld: longer than %zu bytes, the limit of a line", cmd, file,
             line + 1, kMaxLine);
    };
    Team team(fileSize > kChunk ? ThreadCount() : 1);
    std::vector<LinesPart> parts;
    for (int p = 0; p < team.Size(); ++p) {
        /* A record takes at least two bytes of text a value. */
        parts.emplace_back(&huge);
        parts.back().values.reserve(buf.size() / 2 / static_cast<std::size_t>(team.Size()) + 8);
    }
    while (!eof) {
        if (stop.Check()) {
            throw TclError{};
        }
        std::size_t want = buf.size() - held;
        Tcl_Size got = Tcl_ReadRaw(chan.get(), buf.data() + held, static_cast<Tcl_Size>(want));
        if (got < 0) {
            Fail("%s: error reading \"%s\": %s", cmd, file, Tcl_PosixError(nullptr));
        }
        if (static_cast<std::size_t>(got) > want) {
            Fail("%s: error reading \"%s\": the channel returned %lld bytes for %zu",
                 cmd, file, static_cast<long long>(got), want);
        }
        if (got == 0 && !Tcl_Eof(chan.get())) {
            Fail("%s: error reading \"%s\": a read returned nothing before the end of "
                 "the file", cmd, file);
        }
        eof = got == 0;
        std::size_t end = held + static_cast<std::size_t>(got);
        const char *base = buf.data();
        std::size_t start = 0;
        if (line == 0 && end >= 3 && std::memcmp(base, "\xEF\xBB\xBF", 3) == 0) {
            start = 3;                  /* the byte order mark of UTF-8 */
        }
        /* The whole lines of the block: up to its last newline, or to its
         * end at the end of the file. */
        const char *lastNl = LastNewline(base + start, base + end);
        std::size_t stopAt = eof ? end : lastNl != nullptr ? lastNl - base + 1 : start;
        /* The header lines that -skip passes over, one by one. */
        while (line < opt.skip && start < stopAt) {
            const void *nl = std::memchr(base + start, '\n', stopAt - start);
            std::size_t lineEnd = nl != nullptr ? static_cast<const char *>(nl) - base : stopAt;
            if (lineEnd - start > kMaxLine) {
                tooLong();
            }
            ++line;
            start = lineEnd + 1;
        }
        start = std::min(start, stopAt);
        if (start < stopAt) {
            /* Split at line ends into parts of about equal size. */
            std::size_t count = parts.size(), size = stopAt - start;
            const char *from = base + start;
            for (std::size_t p = 0; p < count; ++p) {
                const char *to = base + stopAt;
                if (p + 1 < count) {
                    to = base + start + size * (p + 1) / count;
                    if (to <= from) {
                        to = from;
                    } else {
                        const void *nl = std::memchr(to - 1, '\n', base + stopAt - (to - 1));
                        to = nl != nullptr ? static_cast<const char *>(nl) + 1 : base + stopAt;
                    }
                }
                LinesPart &part = parts[p];
                part.first = from;
                part.last = to;
                part.values.clear();
                part.lines = 0;
                part.passed = 0;
                part.failed = false;
                from = to;
            }
            team.Run(static_cast<int>(count), [&](int p) {
                LinesPart &part = parts[static_cast<std::size_t>(p)];
                try {
                    ParseLines(part.first, part.last, file, 1, opt, width, part);
                } catch (const ArgError &) {
                    part.failed = true;
                }
            });
            for (LinesPart &part : parts) {
                if (part.failed) {
                    LinesPart again(&huge);
                    ParseLines(part.first, part.last, file, line + 1, opt, width, again);
                }
                line += part.lines;
                passed += part.passed;
                if (part.values.empty()) {
                    continue;
                }
                std::size_t records = rec->values.size() / static_cast<std::size_t>(width) +
                                      part.values.size() / static_cast<std::size_t>(width);
                if (records > static_cast<std::size_t>(INT_MAX)) {
                    Fail("%s: %s holds more than %d records", cmd, file, INT_MAX);
                }
                if (!sized && fileSize > 0) {
                    /* Room for the whole file at the density of its first
                     * block, with a little to spare. */
                    sized = true;
                    double perByte = static_cast<double>(part.values.size()) /
                                     static_cast<double>(part.last - part.first);
                    double guess = perByte * static_cast<double>(fileSize) * 1.02 + 64.0;
                    if (guess < 0x1p40) {
                        ReserveLarge(rec->values, static_cast<std::size_t>(guess));
                    }
                }
                rec->values.insert(rec->values.end(), part.values.begin(), part.values.end());
            }
        }
        held = end - stopAt;
        if (held > kMaxLine) {
            tooLong();
        }
        if (held > 0) {
            std::memmove(buf.data(), base + stopAt, held);
        }
    }
    /* The records stay for the rest of the job: give back room left over
     * by a poor guess or by growing the buffer (more than an eighth). */
    if (rec->values.capacity() - rec->values.size() > rec->values.size() / 8) {
        rec->values.shrink_to_fit();
    }
    rec->unreadable = passed;
    if (skipped != nullptr) {
        *skipped = passed;
    }
    return rec;
}

/* Every cell checked before the file is touched: finite, and not the
 * NODATA value of an ESRI grid. */
static void CheckCells(const Grid &g, GridFormat format, double nodata)
{
    const char *cmd = "kardum::gridwrite";
    std::size_t n = g.Size();
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
}

void WriteGridFile(Tcl_Interp *interp, const Grid &g, Tcl_Obj *path,
                   GridFormat format, const double *extent, double nodata, bool dxdy)
{
    const char *cmd = "kardum::gridwrite";
    double x0 = extent[0], x1 = extent[1], y0 = extent[2], y1 = extent[3];
    double dx = (x1 - x0) / g.nx;
    double dy = (y1 - y0) / g.ny;

    /* An ESRI ASCII grid has one cell size; the dx and dy lines some
     * readers take are misread by others (GMT takes dy equal to dx). */
    if (format == GridFormat::EsriAscii && std::fabs(dx) != std::fabs(dy) && !dxdy) {
        std::string formats = HaveNetcdf() ? "netcdf, " : "";
        formats += HaveGeotiff() ? "geotiff, " : "";
        formats = formats.empty() ? "xyz, which keeps both"
                                  : formats.substr(0, formats.size() - 2) +
                                        " or xyz, which keep both";
        Fail("%s: the cells are %.17g by %.17g, not square, and an ESRI ASCII grid holds "
             "one cell size: write -format %s, or give -dxdy 1 for dx and dy lines, which "
             "GDAL reads and GMT misreads", cmd, std::fabs(dx), std::fabs(dy),
             formats.c_str());
    }

    CheckCells(g, format, nodata);

    ReplacingFile target(interp, cmd, path);
    Writer out(target);
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
    target.Commit();
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

/* kardum::readxyz file ?-columns {ix iy iz ?iw?}? ?-skip n? ?-nan skip|error?
 *                      ?-skipped varName? */
int ReadXyzCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    return RunCommand(interp, "kardum::readxyz", [&]() -> int {
        const char *cmd = "kardum::readxyz";
        if (objc < 2 || objc % 2 != 0) {
            Tcl_WrongNumArgs(interp, 1, objv, "file ?option value ...?");
            return TCL_ERROR;
        }
        static const char *const kOptions[] = {"-columns", "-skip", "-nan", "-skipped",
                                               nullptr};
        XyzOptions opt;
        Tcl_Obj *skippedVar = nullptr;
        for (int i = 2; i < objc; i += 2) {
            int option = 0;
            if (Tcl_GetIndexFromObj(interp, objv[i], kOptions, "option", TCL_EXACT,
                                    &option) != TCL_OK) {
                throw TclError{};
            }
            Tcl_Obj *value = objv[i + 1];
            if (option == 0) {
                Tcl_Size n = 0;
                Tcl_Obj **items = nullptr;
                if (Tcl_ListObjGetElements(nullptr, value, &n, &items) != TCL_OK ||
                    (n != 3 && n != 4)) {
                    Fail("%s: -columns must be three field numbers {x y z} or four "
                         "{x y z weight} counted from 0, got \"%s\"", cmd,
                         Tcl_GetString(value));
                }
                opt.taken = static_cast<int>(n);
                for (int k = 0; k < opt.taken; ++k) {
                    Tcl_WideInt c = 0;
                    if (Tcl_GetWideIntFromObj(nullptr, items[k], &c) != TCL_OK || c < 0 ||
                        c > 9999) {
                        Fail("%s: element %d of -columns must be a field number from 0 to "
                             "9999, got \"%s\"", cmd, k, Tcl_GetString(items[k]));
                    }
                    opt.columns[k] = static_cast<int>(c);
                }
                opt.columnsGiven = true;
            } else if (option == 1) {
                Tcl_WideInt n = 0;
                if (Tcl_GetWideIntFromObj(nullptr, value, &n) != TCL_OK || n < 0) {
                    Fail("%s: -skip must be a count of lines, at least 0, got \"%s\"", cmd,
                         Tcl_GetString(value));
                }
                opt.skip = n;
            } else if (option == 2) {
                std::string word = Tcl_GetString(value);
                if (word != "skip" && word != "error") {
                    Fail("%s: -nan must be skip or error, got \"%s\"", cmd, word.c_str());
                }
                opt.nanSkip = word == "skip";
            } else {
                skippedVar = value;
            }
        }
        long long skipped = 0;
        ObjRef records(NewRecordsObj(ReadXyz(interp, objv[1], opt, &skipped)));
        if (skippedVar != nullptr &&
            Tcl_ObjSetVar2(interp, skippedVar, nullptr, Tcl_NewWideIntObj(skipped),
                           TCL_LEAVE_ERR_MSG) == nullptr) {
            throw TclError{};
        }
        Tcl_SetObjResult(interp, records.get());
        return TCL_OK;
    });
}

/* ::kardum::WriteGrid grid file format extent nodata marker dxdy */
int WriteGridCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    return RunCommand(interp, "kardum::gridwrite", [&]() -> int {
        const char *cmd = "kardum::gridwrite";
        if (objc != 8) {
            Tcl_WrongNumArgs(interp, 1, objv, "grid file format extent nodata marker dxdy");
            return TCL_ERROR;
        }
        auto g = GetGrid(interp, objv[1], cmd, Tcl_GetString(objv[6]));
        std::string word = Tcl_GetString(objv[3]);
        GridFormat format;
        if (word == "esri-ascii") {
            format = GridFormat::EsriAscii;
        } else if (word == "xyz") {
            format = GridFormat::Xyz;
        } else if (word == "netcdf") {
            format = GridFormat::Netcdf;
        } else if (word == "geotiff") {
            format = GridFormat::Geotiff;
        } else {
            Fail("%s: -format must be esri-ascii, xyz, netcdf or geotiff, got \"%s\"", cmd,
                 word.c_str());
        }
        double extent[4];
        Extent(interp, cmd, *g, objv[4], extent);
        double nodata = FiniteArg(objv[5], cmd, "-nodata");
        int dxdy = 0;
        if (Tcl_GetBooleanFromObj(nullptr, objv[7], &dxdy) != TCL_OK) {
            Fail("%s: -dxdy must be a boolean, got \"%s\"", cmd, Tcl_GetString(objv[7]));
        }
        if (format == GridFormat::Netcdf || format == GridFormat::Geotiff) {
            CheckCells(*g, format, nodata);
            if (format == GridFormat::Netcdf) {
                WriteNetcdf(interp, *g, objv[2], extent);
            } else {
                WriteGeotiff(interp, *g, objv[2], extent);
            }
        } else {
            WriteGridFile(interp, *g, objv[2], format, extent, nodata, dxdy != 0);
        }
        Tcl_ResetResult(interp);
        return TCL_OK;
    });
}

} // namespace kardum::package
