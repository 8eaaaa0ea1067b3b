// AsianOption on the CSI 300 (000300.XSHG, near 3,400 at the end of 2023)
// with the bundled price history: one valuation and one greeks call (nine
// valuations) of a one-year arithmetic average, priced at the level of 100;
// a seasoned one eight months in; the geometric average for comparison.
#include <heron/csv.hpp>
#include <heron/memory_store.hpp>
#include <kestrel/asian.hpp>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

constexpr double kSpot = 3431.11;  // close of 2023-12-29
constexpr double kR = 0.02, kVol = 0.2, kQ = 0.01;

void install_bundled_prices() {
    static const auto store = [] {
        auto s = std::make_shared<heron::MemoryStore>();
        heron::load_directory(*s, KESTREL_DATA_DIR "/prices");
        return s;
    }();
    heron::install(store);
}

kestrel::Terms terms(const char* average_type, const char* engine = nullptr) {
    kestrel::Terms t{{"effect_date", "2024-01-02"}, {"maturity_date", "2024-12-31"},
                     {"underlying", "000300.XSHG"}, {"s0", kSpot},
                     {"notional", 1.0},             {"call_put", "call"},
                     {"strike", kSpot},             {"average_type", average_type}};
    if (engine) t.set("engine", engine);
    return t;
}

// Valued before the first fixing (no history) or eight months in.
void npv(benchmark::State& state, const char* average_type, const char* evaluation_date, double spot,
         const char* engine = nullptr) {
    install_bundled_prices();
    kestrel::AsianOption option(terms(average_type, engine));
    for (auto _ : state) benchmark::DoNotOptimize(option.npv(spot, kR, kVol, kQ, evaluation_date));
    state.SetItemsProcessed(state.iterations());
}

void greeks(benchmark::State& state, const char* average_type, const char* engine = nullptr) {
    install_bundled_prices();
    kestrel::AsianOption option(terms(average_type, engine));
    for (auto _ : state) benchmark::DoNotOptimize(option.greeks(kSpot, kR, kVol, kQ, "2023-12-29"));
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK_CAPTURE(npv, arithmetic_one_year, "arithmetic", "2023-12-29", kSpot)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(greeks, arithmetic_one_year, "arithmetic")->Unit(benchmark::kMillisecond);
// 2024-09-02: 163 closes fixed (that day's among them), 80 fixing days to
// come; the day's close was 3265.01.
BENCHMARK_CAPTURE(npv, arithmetic_seasoned, "arithmetic", "2024-09-02", 3265.01)->Unit(benchmark::kMillisecond);
// The opt-in engines of the arithmetic average.
BENCHMARK_CAPTURE(npv, arithmetic_one_year_fd, "arithmetic", "2023-12-29", kSpot, "fd")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(greeks, arithmetic_one_year_fd, "arithmetic", "fd")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(npv, arithmetic_seasoned_fd, "arithmetic", "2024-09-02", 3265.01, "fd")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(npv, arithmetic_one_year_turnbull_wakeman, "arithmetic", "2023-12-29", kSpot, "turnbull_wakeman")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(npv, geometric_one_year, "geometric", "2023-12-29", kSpot)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(greeks, geometric_one_year, "geometric")->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
