/*
 * LargeBuffer.h --
 *
 *	Room for the large working arrays of a job (records read, the
 *	surface's grids).  On Linux the room is offered to the kernel for
 *	huge pages before it is first touched: a buffer of tens of megabytes
 *	then costs a few dozen page faults instead of thousands, which on a
 *	virtual machine are a large part of a job's time.  Elsewhere, or when
 *	the system keeps huge pages off, it is plain room.  Internal to the
 *	library.
 */

#ifndef KARDUM_GRID_LARGEBUFFER_H
#define KARDUM_GRID_LARGEBUFFER_H

#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace kardum::package {

/* Asks for huge pages on the whole 2 MiB pages inside first .. first + bytes. */
inline void AdviseHugePages(void *first, std::size_t bytes)
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
    std::uintptr_t from = (reinterpret_cast<std::uintptr_t>(first) + kHuge - 1) & ~(kHuge - 1);
    std::uintptr_t to = (reinterpret_cast<std::uintptr_t>(first) + bytes) & ~(kHuge - 1);
    if (to > from) {
        madvise(reinterpret_cast<void *>(from), to - from, MADV_HUGEPAGE);
    }
#else
    (void)first;
    (void)bytes;
#endif
}

/* v.reserve(n), the new room offered for huge pages; a reserve the
 * system refuses is left to the vector's own growth. */
template <class T>
void ReserveLarge(std::vector<T> &v, std::size_t n)
{
    if (n <= v.capacity()) {
        return;
    }
    try {
        v.reserve(n);
    } catch (const std::bad_alloc &) {
        return;
    } catch (const std::length_error &) {
        return;
    }
    AdviseHugePages(v.data() + v.size(), (v.capacity() - v.size()) * sizeof(T));
}

/* v.assign(n, value) on room offered for huge pages. */
template <class T>
void AssignLarge(std::vector<T> &v, std::size_t n, const T &value)
{
    if (n > v.capacity()) {
        std::vector<T>().swap(v);
        v.reserve(n);
        AdviseHugePages(v.data(), n * sizeof(T));
    }
    v.assign(n, value);
}

} // namespace kardum::package

#endif /* KARDUM_GRID_LARGEBUFFER_H */
