#pragma once
// The notes the autocallable benchmarks value, shared by
// bench/autocallable_bench.cpp and `kestrel bench`: a snowball or phoenix from
// 2 January 2024 over one year (243 trading days) or two (486), knock-in 80
// daily, knock-out 103 monthly, valued on its effect date with no history, on
// a market-data store that knows only the A-share calendar.
#include <heron/heron.hpp>
#include <kestrel/keel.hpp>

#include <memory>
#include <string>

namespace kestrel::bench {

inline constexpr const char* kEvaluationDate = "2024-01-02";
inline constexpr double kSpot = 100.0, kRate = 0.02, kVol = 0.2, kDividend = 0.0;

inline Terms note_terms(const std::string& type, int years) {
    const char* maturity = years == 1 ? "2025-01-02" : "2026-01-05";
    return Terms{{"type", type},
                 {"effect_date", kEvaluationDate},
                 {"maturity_date", maturity},
                 {"underlying", "BENCH.NOTE"},
                 {"s0", 100.0},
                 {"notional", 1.0},
                 {"strike", 100.0},
                 {"ki_barrier", 80.0},
                 {"ko_barrier", 103.0},
                 {"coupon_rate", 0.15},
                 {"ki_obs_freq", "daily"},
                 {"ko_obs_freq", "monthly"},
                 {"obs_start_date", kEvaluationDate},
                 {"obs_end_date", maturity}};
}

// The note's grid: trading days from the evaluation date to maturity.
inline std::size_t grid_days(const Terms& terms) {
    const auto maturity = heron::get_next_trading_date(heron::get_previous_trading_date(terms.date("maturity_date")));
    return heron::get_trading_dates(utils::parse_date(kEvaluationDate), maturity).size();
}

// Grid days over all the simulations of one valuation: npv simulates once;
// greeks once for value, delta and gamma, twice each for vega and rho, and
// for theta once on the grid and once on the grid from the next calendar day
// (one day shorter when the evaluation date is a trading day).
inline std::size_t simulated_days(const Terms& terms, bool greeks) {
    const std::size_t T = grid_days(terms);
    if (!greeks) return T;
    const auto maturity = heron::get_next_trading_date(heron::get_previous_trading_date(terms.date("maturity_date")));
    return 6 * T + heron::get_trading_dates(utils::parse_date(kEvaluationDate) + 1, maturity).size();
}

}  // namespace kestrel::bench
