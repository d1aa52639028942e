// MatrixInv_C against the reference LAPACK (dgetrf + dgetri) on the same
// random, diagonally dominant matrices: `make bench-matrixinv`.  The table
// of `make bench` has the same comparison in CPU time.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <random>
#include <vector>

#include "kardum.h"

extern "C" {
void dgetrf_(const int *m, const int *n, double *a, const int *lda, int *ipiv, int *info);
void dgetri_(const int *n, double *a, const int *lda, const int *ipiv, double *work,
             const int *lwork, int *info);
}

namespace {

std::vector<double> RandomMatrix(int n)
{
    std::mt19937 gen(12345);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> a(static_cast<std::size_t>(n) * n);
    for (double &x : a) {
        x = u(gen);
    }
    for (int i = 0; i < n; ++i) {
        a[static_cast<std::size_t>(i) * n + i] += n;
    }
    return a;
}

void BM_MatrixInv(benchmark::State &state)
{
    const int n = static_cast<int>(state.range(0));
    const std::vector<double> original = RandomMatrix(n);
    std::vector<double> a(original.size());
    for (auto _ : state) {
        state.PauseTiming();
        a = original;
        state.ResumeTiming();
        int code = MatrixInv_C(n, a.data(), 0, nullptr);
        benchmark::DoNotOptimize(code);
        benchmark::ClobberMemory();
        if (code != 1) {
            state.SkipWithError("MatrixInv_C did not succeed");
            break;
        }
    }
    // One multiply and one subtract per element and elimination step.
    state.counters["flops"] = benchmark::Counter(
        2.0 * n * n * n, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_LapackInverse(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    const std::vector<double> original = RandomMatrix(n);
    std::vector<double> a(original.size());
    std::vector<int> ipiv(static_cast<std::size_t>(n));
    int info = 0, lwork = -1;
    double query = 0.0;
    dgetri_(&n, nullptr, &n, nullptr, &query, &lwork, &info);
    lwork = static_cast<int>(query);
    std::vector<double> work(static_cast<std::size_t>(lwork > n ? lwork : n));
    lwork = static_cast<int>(work.size());
    for (auto _ : state) {
        state.PauseTiming();
        a = original;
        state.ResumeTiming();
        dgetrf_(&n, &n, a.data(), &n, ipiv.data(), &info);
        if (info == 0) {
            dgetri_(&n, a.data(), &n, ipiv.data(), work.data(), &lwork, &info);
        }
        benchmark::ClobberMemory();
        if (info != 0) {
            state.SkipWithError("dgetrf/dgetri did not succeed");
            break;
        }
    }
    state.counters["flops"] = benchmark::Counter(
        2.0 * n * n * n, benchmark::Counter::kIsIterationInvariantRate);
}

} // namespace

BENCHMARK(BM_MatrixInv)->Arg(100)->Arg(300)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LapackInverse)->Arg(100)->Arg(300)->Arg(1000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
