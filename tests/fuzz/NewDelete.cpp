// The sanitizer runtime's operator new reports a request it cannot satisfy
// as a fatal error instead of throwing.  The library turns std::bad_alloc
// into TCL_ERROR, and that reaction is what the fuzz targets must see, so
// they allocate through malloc (still checked by AddressSanitizer, which
// returns null with allocator_may_return_null=1) and throw as the
// standard library would.
#include <cstdlib>
#include <new>

namespace {
void *Allocate(std::size_t n)
{
    void *p = std::malloc(n ? n : 1);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}
} // namespace

void *operator new(std::size_t n) { return Allocate(n); }
void *operator new[](std::size_t n) { return Allocate(n); }
void *operator new(std::size_t n, const std::nothrow_t &) noexcept { return std::malloc(n ? n : 1); }
void *operator new[](std::size_t n, const std::nothrow_t &) noexcept { return std::malloc(n ? n : 1); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
