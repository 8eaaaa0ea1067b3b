// VanillaOption::greeks (nine valuations each): European analytic and American
// 801-step Jarrow-Rudd binomial.
#include <heron/memory_store.hpp>
#include <kestrel/vanilla.hpp>

#include <benchmark/benchmark.h>

namespace {

kestrel::Terms terms(const char* exercise) {
    return kestrel::Terms{{"effect_date", "2024-01-02"}, {"maturity_date", "2024-12-31"},
                          {"underlying", "000300.XSHG"}, {"s0", 100.0},
                          {"notional", 1.0},             {"call_put", "put"},
                          {"strike", 100.0},             {"exercise_type", exercise},
                          {"payoff_type", "plain_vanilla"}};
}

void greeks(benchmark::State& state, const char* exercise) {
    heron::install(std::make_shared<heron::MemoryStore>());
    kestrel::VanillaOption option(terms(exercise));
    for (auto _ : state) benchmark::DoNotOptimize(option.greeks(100.0, 0.03, 0.2, 0.01, "2024-03-01"));
    state.SetItemsProcessed(state.iterations());
}

void npv(benchmark::State& state, const char* exercise) {
    heron::install(std::make_shared<heron::MemoryStore>());
    kestrel::VanillaOption option(terms(exercise));
    for (auto _ : state) benchmark::DoNotOptimize(option.npv(100.0, 0.03, 0.2, 0.01, "2024-03-01"));
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK_CAPTURE(npv, european, "european")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(greeks, european, "european")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(npv, american801, "american")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(greeks, american801, "american")->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
