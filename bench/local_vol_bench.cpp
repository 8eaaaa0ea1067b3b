// The notes under the local volatility calibrated to the 510050 option
// closes of 2023-12-04 (spot 2.367, r 2 %, forwards from parity) against the
// same notes at the flat at-the-money volatility (15.1 %) on the same carry:
// one npv on one thread, 100,000 paths, for a snowball of 6 months and one of
// a year (knock-in 85 % daily, knock-out 100 % monthly), on pde and mc.
// Arguments: engine (0 pde, 1 mc), local (0 flat, 1 local), months. The
// surface is calibrated once, outside the timing (calibrate/510050 in
// vol_bench times that).
#include <heron/heron.hpp>
#include <heron/memory_store.hpp>
#include <kestrel/kestrel.hpp>
#include <kestrel/market/calibrated_surface.hpp>
#include <kestrel/random_sample.hpp>
#include <kestrel/utils.hpp>

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

namespace {

using namespace kestrel;

const QuantLib::Date kDate = utils::parse_date("2023-12-04");
constexpr double kSpot = 2.367;

const Market& market(bool local) {
    static const Market m = [] {
        const Market base(kSpot, 0.02, 0.0, 0.0);
        const auto surface = vol::CalibratedSurface::calibrate(
            vol::read_quotes(std::string(KESTREL_DATA_DIR) + "/options/510050.XSHG-2023-12-04.csv", kDate), base,
            kDate);
        return Market(kSpot, RateCurve(0.02), VolCurve(surface), surface->implied_carry());
    }();
    static const Market flat(kSpot, RateCurve(0.02), VolCurve(0.151), m.q);
    return local ? m : flat;
}

void note_npv(benchmark::State& state) {
    heron::install(std::make_shared<heron::MemoryStore>());
    random_sample::set_paths(100000);
    random_sample::set_threads(1);
    const bool mc = state.range(0) == 1, local = state.range(1) == 1;
    const std::string maturity = state.range(2) == 12 ? "2024-12-04" : "2024-06-04";
    auto option = make_option(Terms{{"type", "snowball"}, {"effect_date", "2023-12-04"}, {"maturity_date", maturity},
                                    {"underlying", "BENCH.TEST"}, {"s0", kSpot}, {"notional", 1.0},
                                    {"strike", kSpot}, {"ki_barrier", 0.85 * kSpot}, {"ko_barrier", kSpot},
                                    {"coupon_rate", 0.07}, {"ki_obs_freq", "daily"}, {"ko_obs_freq", "monthly"},
                                    {"obs_start_date", "2023-12-04"}, {"obs_end_date", maturity},
                                    {"engine", mc ? "mc" : "pde"}});
    const Market& m = market(local);
    double v = 0;
    for (auto _ : state) benchmark::DoNotOptimize(v = option->npv(m, kDate));
    state.counters["npv"] = v;
}
BENCHMARK(note_npv)
    ->ArgNames({"mc", "local", "months"})
    ->ArgsProduct({{0, 1}, {0, 1}, {6, 12}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
