// A region of n doubles that reads as zeros and takes memory only for the
// pages written, so that regions of more than 2^30 places fit in a test.
#ifndef KARDUM_TEST_SPARSE_H
#define KARDUM_TEST_SPARSE_H

#include <sys/mman.h>

#include <cstddef>

class Sparse {
public:
    explicit Sparse(std::size_t n) : bytes_(n * sizeof(double))
    {
        void *p = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        data_ = p == MAP_FAILED ? nullptr : static_cast<double *>(p);
    }
    ~Sparse()
    {
        if (data_ != nullptr) {
            munmap(data_, bytes_);
        }
    }
    Sparse(const Sparse &) = delete;
    Sparse &operator=(const Sparse &) = delete;
    double *get() const { return data_; }

private:
    std::size_t bytes_;
    double *data_;
};

#endif
