// MatrixInv_C on random well-conditioned matrices of a few orders.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <random>
#include <vector>

#include "kardum.h"

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

} // namespace

BENCHMARK(BM_MatrixInv)->Arg(100)->Arg(300)->Arg(1000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
