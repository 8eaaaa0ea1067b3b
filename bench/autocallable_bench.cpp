// Snowball and phoenix valuations: npv and greeks, one- and two-year notes,
// one and two threads, 100,000 paths (--paths=N to change). Counters: paths,
// the note's grid days, and path-steps per second over every simulation the
// valuation runs (seven for greeks). Then the same on the finite-difference
// engine ("engine": "pde"), one thread.
#include <kestrel/notes/bench_notes.hpp>

#include <heron/memory_store.hpp>
#include <kestrel/kestrel.hpp>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using namespace kestrel;

std::size_t g_paths = random_sample::kDefaultPaths;

// Args: years, threads.
void value(benchmark::State& state, const char* type, bool greeks) {
    heron::install(std::make_shared<heron::MemoryStore>());
    random_sample::set_paths(g_paths);
    random_sample::set_threads(static_cast<std::size_t>(state.range(1)));
    const Terms terms = bench::note_terms(type, static_cast<int>(state.range(0)));
    const auto note = make_option(terms);
    const std::size_t days = bench::simulated_days(terms, greeks);
    const EvalDate date = utils::DateInput(bench::kEvaluationDate);
    for (auto _ : state) {
        if (greeks)
            benchmark::DoNotOptimize(note->greeks(bench::kSpot, bench::kRate, bench::kVol, bench::kDividend, date));
        else
            benchmark::DoNotOptimize(note->npv(bench::kSpot, bench::kRate, bench::kVol, bench::kDividend, date));
    }
    state.counters["paths"] = static_cast<double>(g_paths);
    state.counters["grid_days"] = static_cast<double>(bench::grid_days(terms));
    state.counters["path_steps/s"] = benchmark::Counter(static_cast<double>(g_paths * days),
                                                        benchmark::Counter::kIsIterationInvariantRate);
    random_sample::reset();
}

void args(benchmark::internal::Benchmark* b) {
    b->ArgNames({"years", "threads"});
    for (int years : {1, 2})
        for (int threads : {1, 2}) b->Args({years, threads});
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

// Args: years.
void value_pde(benchmark::State& state, const char* type, bool greeks) {
    heron::install(std::make_shared<heron::MemoryStore>());
    const Terms terms = with_note_engine(bench::note_terms(type, static_cast<int>(state.range(0))), "pde");
    const auto note = make_option(terms);
    const EvalDate date = utils::DateInput(bench::kEvaluationDate);
    for (auto _ : state) {
        if (greeks)
            benchmark::DoNotOptimize(note->greeks(bench::kSpot, bench::kRate, bench::kVol, bench::kDividend, date));
        else
            benchmark::DoNotOptimize(note->npv(bench::kSpot, bench::kRate, bench::kVol, bench::kDividend, date));
    }
    state.counters["grid_days"] = static_cast<double>(bench::grid_days(terms));
}

void years(benchmark::internal::Benchmark* b) {
    b->ArgNames({"years"});
    for (int y : {1, 2}) b->Args({y});
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK_CAPTURE(value, snowball_npv, "snowball", false)->Apply(args);
BENCHMARK_CAPTURE(value, snowball_greeks, "snowball", true)->Apply(args);
BENCHMARK_CAPTURE(value, phoenix_npv, "phoenix", false)->Apply(args);
BENCHMARK_CAPTURE(value, phoenix_greeks, "phoenix", true)->Apply(args);
BENCHMARK_CAPTURE(value_pde, snowball_pde_npv, "snowball", false)->Apply(years);
BENCHMARK_CAPTURE(value_pde, snowball_pde_greeks, "snowball", true)->Apply(years);
BENCHMARK_CAPTURE(value_pde, phoenix_pde_npv, "phoenix", false)->Apply(years);
BENCHMARK_CAPTURE(value_pde, phoenix_pde_greeks, "phoenix", true)->Apply(years);

}  // namespace

int main(int argc, char** argv) {
    // --paths=N is ours; the rest goes to Google Benchmark.
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--paths=", 8) == 0)
            g_paths = std::strtoull(argv[i] + 8, nullptr, 10);
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
