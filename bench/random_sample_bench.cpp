// Standard normal samples per second: one block of rows (what a Monte Carlo
// worker asks for) and the whole paths() x T matrix.
#include <kestrel/random_sample.hpp>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace rs = kestrel::random_sample;

namespace {

constexpr std::uint64_t kSeed = 20240101;

// Args: grid days T, rows per block.
void BM_FillBlock(benchmark::State& state) {
    const auto T = static_cast<std::size_t>(state.range(0));
    const auto rows = static_cast<std::size_t>(state.range(1));
    std::vector<double> out(T * rows);
    std::size_t first = 0;
    for (auto _ : state) {
        rs::fill_random_samples(T, first, rows, kSeed, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
        first += rows;  // fresh rows each time, as successive blocks would be
    }
    state.counters["samples/s"] =
        benchmark::Counter(static_cast<double>(T * rows), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_FillBlock)->Args({252, 1024})->Args({756, 1024})->Args({1, 65536})->Unit(benchmark::kMicrosecond);

// Arg: paths; T = 252 (one year of trading days).
void BM_GetRandomSamples(benchmark::State& state) {
    const std::size_t T = 252;
    rs::set_paths(static_cast<std::size_t>(state.range(0)));
    rs::set_seed(kSeed);
    for (auto _ : state) {
        auto m = rs::get_random_samples(T);
        benchmark::DoNotOptimize(m.data());
    }
    state.counters["samples/s"] = benchmark::Counter(static_cast<double>(T * rs::paths()),
                                                     benchmark::Counter::kIsIterationInvariantRate);
    rs::reset();
}
BENCHMARK(BM_GetRandomSamples)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
