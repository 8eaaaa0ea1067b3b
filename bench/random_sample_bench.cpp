// Standard normal samples per second: one block of rows (what a Monte Carlo
// worker asks for), the whole paths() x T matrix, and a streamed block (256
// paths, the kernel's chunks of days) on each instruction set this machine
// has, in both precisions.
#include <kestrel/random_sample.hpp>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <string>
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

// A one-year grid's draws for blocks of 256 paths, 16 days at a time, as
// the Monte Carlo kernel asks for them.
void streamed(benchmark::State& state, rs::Simd simd, rs::Draws draws) {
    rs::set_simd(simd);
    rs::set_draws(draws);
    const std::size_t T = 243, n = 256;
    std::vector<double> out(19 * n);
    std::size_t first = 0;
    for (auto _ : state) {
        for (std::size_t j0 = 0; j0 < T;) {
            const std::size_t j1 = std::min(T, j0 == 0 ? T % 4 + 16 : j0 + 16);
            rs::fill_random_samples_by_day(T, first, n, j0, j1, kSeed, out.data());
            benchmark::DoNotOptimize(out.data());
            benchmark::ClobberMemory();
            j0 = j1;
        }
        first += n;
    }
    state.counters["samples/s"] =
        benchmark::Counter(static_cast<double>(T * n), benchmark::Counter::kIsIterationInvariantRate);
    rs::reset();
    rs::set_simd(rs::Simd::automatic);
}

}  // namespace

int main(int argc, char** argv) {
    for (rs::Simd simd : rs::supported_simd())
        for (const auto& [draws, name] : {std::pair{rs::Draws::double_precision, "double"},
                                          std::pair{rs::Draws::single_precision, "single"}})
            benchmark::RegisterBenchmark(("BM_Streamed/" + std::string(rs::simd_name(simd)) + "/" + name).c_str(),
                                         streamed, simd, draws)
                ->Unit(benchmark::kMicrosecond);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
