#pragma once
// The engines that value an autocallable note, apart from the note, as
// QuantLib keeps its pricing engines apart from its instruments: each takes
// the note as data (NoteData) and one valuation's context (NoteContext) and
// returns what it computes (NoteResults): what an engine cannot compute is
// absent, not an error in every method of the note. The note's "engine" term
// picks one by name from one table (note_engine_table):
//   "mc"   Monte Carlo on pseudo-random shocks (engines/mc/notes.hpp)
//   "qmc"  the same kernel on randomised Sobol shocks, each path's terminal
//          normal integrated out of the payoff
//   "pde"  the finite-difference engine (engines/pde/notes.hpp)
// Each reads what it values under from the context alone: the Monte Carlo
// settings (paths, seed, threads, draws, instruction set) and the holiday
// table, both taken where the context is made, installed on every thread
// the engine hands work to.
#include <kestrel/calendar.hpp>
#include <kestrel/notes/autocallable.hpp>
#include <kestrel/random_sample.hpp>

#include <optional>
#include <string_view>
#include <vector>

namespace kestrel::detail {

// A note as the engines read it: its terms and coupon legs, its maturity, and
// its rule in each engine's form.
struct NoteData {
    const NoteTerms& terms;
    const NoteLegs& legs;
    Date maturity_date;
    PayoffSum payoff;  // Monte Carlo: the payoff over observed paths
    pde::Rule rule;    // finite differences: the rule of the knock-out dates
};

// One valuation: the evaluation date, the market (spot and curves), what the
// price history carries in, the Monte Carlo settings and the holiday table.
// The last two default to those in force where the context is made
// (kestrel::random_sample's settings, calendar::holidays_in_force()).
struct NoteContext {
    Date evaluation_date;
    Market market;
    NoteCarry carry;
    random_sample::Settings mc = random_sample::current_settings();
    calendar::Holidays holidays = calendar::holidays_in_force();
};

// What an engine computed; absent where it computes nothing.
struct NoteResults {
    double npv = 0;
    std::optional<double> delta, gamma;          // gamma: d2V/dS2
    std::optional<double> standard_error;        // of npv
    std::optional<NoteStatistics> statistics;
};

class NotePricingEngine {
  public:
    virtual ~NotePricingEngine() = default;
    virtual std::string_view name() const = 0;

    // The value; with delta_and_gamma also delta and gamma from the same
    // paths or solution (bumps of 0.5 % of spot); with statistics also those
    // where the engine has them (then npv is theirs).
    virtual NoteResults value(const NoteData& note, const NoteContext& context, bool delta_and_gamma,
                              bool statistics) const = 0;
    // value's npv, delta and gamma at each of spots (the context's spot unused).
    virtual std::vector<ValueDeltaGamma> ladder(const NoteData& note, const NoteContext& context,
                                                const std::vector<double>& spots, bool delta_and_gamma) const = 0;
    // The coupon rate at which the value is target.
    virtual FairCoupon fair_coupon(const NoteData& note, const NoteContext& context, double target) const = 0;
    // Value, delta, gamma (d2V/dS2), vega, theta and rho in one pass, where the
    // engine has such a pass (each number as its separate valuation gives it);
    // absent: the note bumps the market through value().
    virtual std::optional<OptionGreeks> greeks(const NoteData& note, const NoteContext& context,
                                               const NoteCheck& check) const;
};

// The engine a name selects.
const NotePricingEngine& note_pricing_engine(NoteEngine engine);

}  // namespace kestrel::detail
