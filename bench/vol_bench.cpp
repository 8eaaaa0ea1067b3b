// Calibration of the 510050 option closes of 2023-12-04 (spot 2.367, r 2 %,
// forwards from parity) and the local volatility it gives.
//
//   calibrate/510050     the whole calibration (one thread);
//   local_vol_grid       a grid of every calendar day to the last expiry by
//                        161 log-spot nodes (50 % to 200 % of spot);
// and the counters: the repricing error (rms and max, vol points) and the
// smoothness figure: the largest relative change of the local volatility
// between neighbouring log-spot nodes (0.5 % apart) from 80 % to 120 % of
// spot on any calendar day after the first week.
#include <kestrel/market/vol_calibration.hpp>
#include <kestrel/utils.hpp>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <string>

namespace {

using namespace kestrel;

const QuantLib::Date kDate = utils::parse_date("2023-12-04");
constexpr double kSpot = 2.367;

const std::vector<vol::OptionQuote>& quotes() {
    static const auto q = vol::read_quotes(std::string(KESTREL_DATA_DIR) + "/options/510050.XSHG-2023-12-04.csv", kDate);
    return q;
}

void calibrate_510050(benchmark::State& state) {
    const Market market(kSpot, 0.02, 0.0, 0.0);
    for (auto _ : state) {
        auto run = vol::calibrate(quotes(), market, kDate);
        benchmark::DoNotOptimize(run.rms_error);
    }
    const auto c = vol::calibrate(quotes(), market, kDate);
    state.counters["quotes_used"] = static_cast<double>(c.table.size());
    state.counters["dropped"] = static_cast<double>(c.dropped.size());
    state.counters["rms_volpts"] = c.rms_error;
    state.counters["max_volpts"] = c.max_error;
}
BENCHMARK(calibrate_510050)->Name("calibrate/510050")->Unit(benchmark::kMillisecond);

void local_vol_grid(benchmark::State& state) {
    const auto c = vol::calibrate(quotes(), Market(kSpot, 0.02, 0.0, 0.0), kDate);
    const int last_day = static_cast<int>(std::lround(c.surface.times().back() * 365));
    std::vector<double> times, nodes;
    for (int d = 0; d <= last_day; ++d) times.push_back(d / 365.0);
    for (int j = -80; j <= 80; ++j) nodes.push_back(std::log(kSpot) + j * std::log(2.0) / 80);
    for (auto _ : state) {
        auto g = c.surface.local_vol_grid(times, nodes);
        benchmark::DoNotOptimize(g.vols.data());
    }
    // Smoothness on 0.5 % log-spot steps, 80 % to 120 % of spot, days 8 on.
    std::vector<double> fine;
    for (double x = std::log(0.8 * kSpot); x <= std::log(1.2 * kSpot) + 1e-12; x += 0.005) fine.push_back(x);
    std::vector<double> days;
    for (int d = 8; d <= last_day; ++d) days.push_back(d / 365.0);
    const auto g = c.surface.local_vol_grid(days, fine);
    double worst = 0, lo = 1e9, hi = 0;
    std::size_t at_bounds = 0;
    for (std::size_t i = 0; i < days.size(); ++i)
        for (std::size_t j = 0; j < fine.size(); ++j) {
            const double v = g.at(i, j);
            lo = std::min(lo, v), hi = std::max(hi, v);
            at_bounds += v <= c.surface.local_vol_floor() || v >= c.surface.local_vol_cap();
            if (j) worst = std::max(worst, std::abs(v - g.at(i, j - 1)) / g.at(i, j - 1));
        }
    state.counters["grid_nodes"] = static_cast<double>(times.size() * nodes.size());
    state.counters["smooth_max_rel_change"] = worst;
    state.counters["lv_min_80_120"] = lo;
    state.counters["lv_max_80_120"] = hi;
    state.counters["at_floor_or_cap"] = static_cast<double>(at_bounds);
}
BENCHMARK(local_vol_grid)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
