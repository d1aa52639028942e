// The workers' answers when their scratch cannot be had: the failure value
// their callers test for, and nothing written that only a finished call
// writes.  The scratch is made to fail either by a size beyond the
// machine's memory or, in a child process, by an address-space limit just
// above what the process already holds.
#include "Sparse.h"
#include "TclFixture.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

namespace {

// AddressSanitizer and valgrind need far more address space than the
// program itself: a limit on it fails them, not the worker.
bool Instrumented()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#  if __has_feature(address_sanitizer)
    return true;
#  endif
#endif
    const char *preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "vgpreload") != nullptr;
}

// Runs body in a child process whose address space may grow by 64 MiB
// beyond what it holds; returns the child's exit status (body's answer),
// or -1 when it did not exit normally.
int InLimitedChild(const std::function<int()> &body)
{
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        long pages = 0;
        std::FILE *statm = std::fopen("/proc/self/statm", "r");
        if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1) {
            _exit(2);
        }
        std::fclose(statm);
        rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) +
                       (rlim_t(64) << 20);
        struct rlimit rl = {limit, limit};
        if (setrlimit(RLIMIT_AS, &rl) != 0) {
            _exit(3);
        }
        _exit(body());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

class WorkerMemory : public TclFixture {
protected:
    void SetUp() override
    {
        TclFixture::SetUp();
        if (Instrumented()) {
            GTEST_SKIP() << "an address-space limit fails the instrumentation first";
        }
        if (std::FILE *statm = std::fopen("/proc/self/statm", "r")) {
            std::fclose(statm);
        } else {
            GTEST_SKIP() << "no /proc (a bare chroot): the address space in use is unknown";
        }
    }
};

} // namespace

// The linear fit keeps only its coefficients' scratch, whatever the number
// of points: 50 million of them, in an address space that grows by 64 MiB
// at most, reach the basis (which fails: -1.0), where a scratch of their
// size (400 MB of weights) once made the fit give up with 1.0.  Its own
// failure value stays 1.0; only a covariance that nearly fills the memory
// could now leave it without its scratch.
TEST_F(WorkerMemory, LinearFitNeedsNoScratchInItsPoints)
{
    const int nP = 50000000;
    Sparse x(nP), y(nP);
    ASSERT_NE(x.get(), nullptr);
    ASSERT_NE(y.get(), nullptr);
    int status = InLimitedChild([&] {
        double coef[2] = {5, 6};
        char fit[2] = {1, 1};
        double covar[4] = {9, 9, 9, 9};
        double chi2 = DataLSq1D_C(interp, x.get(), y.get(), nP, 0, coef, fit, 2, covar,
                                  "error {the basis fails}", nullptr);
        return chi2 == -1.0 ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}

// 20 million parameters need 160 MB of derivatives: the pass returns 1
// before it touches the work array.
TEST_F(WorkerMemory, MarquardtPassWithoutScratchLeavesTheWorkArray)
{
    const int nPar = 20000000;
    int status = InLimitedChild([&] {
        std::vector<char> flags(nPar, 0);
        std::vector<double> w(16, 7.0);
        Name work("W");
        int code = DataMqCoef_C(interp, work, nullptr, nullptr, 0, flags.data(), nPar, 8,
                                12, "error {no callback expected}", w.data());
        bool ok = code == 1;
        for (double v : w) {
            ok = ok && v == 7.0;
        }
        return ok ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}

// 20000 x 20000 cells need 400 MB of cell states: the fill returns -1
// with the grid as it was.
TEST_F(WorkerMemory, GridFillWithoutScratchLeavesTheGrid)
{
    const std::size_t cells = std::size_t(20000) * 20000;
    Sparse grid(cells);
    ASSERT_NE(grid.get(), nullptr);
    grid.get()[cells / 2] = 3.0;
    int status = InLimitedChild([&] {
        double descriptor[13] = {0, 1, 0, 1, 20000, 20000, -99, -77, 'C', 'N', 'N',
                                 -1e30, 1e30};
        int limits[5] = {0, 0, 0, 0, 0};
        char mode[2] = {'O', 0};
        double p = 1.0;
        int seed = 4242;
        int code = GridFill_C(grid.get(), nullptr, 1, 2, mode, &p, 1, limits, descriptor,
                              &seed);
        bool ok = code == -1 && grid.get()[0] == 0.0 && grid.get()[cells / 2] == 3.0 &&
                  grid.get()[cells - 1] == 0.0;
        return ok ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}

// 100 million columns need 1.2 GB of pivot bookkeeping: the solver
// returns -1 before it reads or writes either array.
TEST_F(WorkerMemory, MatrixInverseWithoutScratchLeavesTheArrays)
{
    int status = InLimitedChild([] {
        double a[4] = {1, 2, 3, 4}, b[2] = {5, 6};
        int code = MatrixInv_C(100000000, a, 1, b);
        bool ok = code == -1 && a[0] == 1 && a[3] == 4 && b[0] == 5 && b[1] == 6;
        return ok ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}

// A surface of degree 3000 has 4.5 million terms, and its normal matrix
// alone more bytes than any machine has: -1, neither output written.
TEST(WorkerScratch, SurfaceFitBeyondMemoryReturnsMinusOne)
{
    double x[3] = {0, 1, 2}, y[3] = {0, 1, 0}, z[3] = {1, 2, 3};
    std::vector<double> coef(4, 8.0);
    double residual = 8.0;
    EXPECT_EQ(DataLSq2D_C(x, y, z, 3, 3000, 0, coef.data(), 1, nullptr, &residual), -1);
    EXPECT_EQ(coef[0], 8.0);
    EXPECT_EQ(residual, 8.0);
}
