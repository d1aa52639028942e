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

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory_resource>
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

/* Whether the process can have `bytes` in one piece now, asked without
 * keeping them.  On Linux the block is mapped and unmapped directly: a
 * large block freed through the C library would raise its threshold for
 * mapping blocks, and the large vectors that follow would come from the
 * heap, where huge pages do not reach them. */
inline bool CanAllocate(std::size_t bytes)
{
#if defined(__linux__)
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        return false;
    }
    munmap(p, bytes);
    return true;
#else
    void *p = std::malloc(bytes);
    std::free(p);
    return p != nullptr;
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

/* Memory offered for huge pages: a block of a megabyte or more is mapped
 * apart, aligned on huge pages so that none of it is left to small ones
 * (and without moving the C library's threshold for mapping blocks, so
 * that later large vectors are still mapped, where huge pages reach
 * them); the upstream of an Arena. */
class HugePageResource : public std::pmr::memory_resource {
private:
    static constexpr std::size_t kHuge = std::size_t{1} << 21;

    static bool Mapped(std::size_t bytes)
    {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        return bytes >= kHuge / 2 && bytes <= SIZE_MAX / 2;
#else
        (void)bytes;
        return false;
#endif
    }
    void *do_allocate(std::size_t bytes, std::size_t align) override
    {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (Mapped(bytes) && align <= kHuge) {
            std::size_t size = (bytes + kHuge - 1) & ~(kHuge - 1);
            void *p = mmap(nullptr, size + kHuge, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED) {
                throw std::bad_alloc();
            }
            std::uintptr_t at = reinterpret_cast<std::uintptr_t>(p);
            std::uintptr_t aligned = (at + kHuge - 1) & ~(kHuge - 1);
            if (aligned > at) {
                munmap(p, aligned - at);
            }
            if (at + kHuge > aligned) {
                munmap(reinterpret_cast<void *>(aligned + size), at + kHuge - aligned);
            }
            madvise(reinterpret_cast<void *>(aligned), size, MADV_HUGEPAGE);
            return reinterpret_cast<void *>(aligned);
        }
#endif
        return ::operator new(bytes, std::align_val_t(std::max(align, alignof(double))));
    }
    void do_deallocate(void *p, std::size_t bytes, std::size_t align) override
    {
        (void)bytes;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (Mapped(bytes) && align <= kHuge) {
            munmap(p, (bytes + kHuge - 1) & ~(kHuge - 1));
            return;
        }
#endif
        ::operator delete(p, std::align_val_t(std::max(align, alignof(double))));
    }
    bool do_is_equal(const std::pmr::memory_resource &other) const noexcept override
    {
        return this == &other;
    }
};

/* The arrays of one job (std::pmr containers on Resource()), carved from
 * a few large blocks and given back together when the arena ends; the
 * first block holds `expected` bytes. */
class Arena {
public:
    explicit Arena(std::size_t expected) : pool_(std::max<std::size_t>(expected, 4096), &huge_) {}
    std::pmr::memory_resource *Resource() { return &pool_; }

private:
    HugePageResource huge_;
    std::pmr::monotonic_buffer_resource pool_;
};

} // namespace kardum::package

#endif /* KARDUM_GRID_LARGEBUFFER_H */
