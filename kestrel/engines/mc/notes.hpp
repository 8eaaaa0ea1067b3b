#pragma once
// The autocallable notes on the Monte Carlo kernel: the "mc" and "qmc"
// engines (NotePricingEngine), and the valuations they are made of, on the
// simulation a note's shared code prepares (detail::prepare). "qmc" streams
// Sobol shocks (mc::Shocks::sobol) and integrates each path's terminal normal
// out of the payoff (PayoffInputs::conditional); "mc" streams
// random_sample's draws. Each simulates with the Monte Carlo settings of the
// context (paths, seed, threads, draws, instruction set) under its holiday
// table.
#include <kestrel/engines/mc/kernel.hpp>
#include <kestrel/notes/engine.hpp>

#include <vector>

namespace kestrel::detail {

// A note's _npv: streams the paths and values the payoff at spot, and with
// delta_and_gamma also at spot x 1.005 and spot x 0.995 on the same blocks:
// delta = (p1 - p2) / (spot x 0.01), gamma = (p1 + p2 - 2 p0) / (spot x 0.005)^2.
ValueDeltaGamma value_note(const NoteTerms& terms, PayoffSum payoff, const NoteSimulation& sim, double spot,
                           const NoteCarry& carry, bool delta_and_gamma, mc::Shocks shocks,
                           const random_sample::Settings& settings);

// value_note at several spots on one simulation: the paths are relative to
// spot, so only the levels move. Each entry equals, bit for bit, value_note at
// that spot alone.
std::vector<ValueDeltaGamma> value_note_spots(const NoteTerms& terms, PayoffSum payoff, const NoteSimulation& sim,
                                              const std::vector<double>& spots, const NoteCarry& carry,
                                              bool delta_and_gamma, mc::Shocks shocks,
                                              const random_sample::Settings& settings);


// A note's greeks from its state on evaluation_date (carry): the value,
// delta and gamma of value_note, and the base class's vega, theta and rho,
// the nine valuations on one set of shocks in one pass over the blocks
// (tomorrow's grid ends where today's does, so it takes today's shocks of its
// days). Each bumped valuation runs its own history check first, in the order
// the separate calls run them (vega, theta, rho); every number equals the one
// the separate valuations give, bit for bit.
OptionGreeks note_greeks(const NoteTerms& terms, PayoffSum payoff, const NoteLegs& legs, const Date& maturity_date,
                         const Market& market, const Date& evaluation_date,
                         const NoteCarry& carry, const NoteCheck& check, mc::Shocks shocks,
                         const random_sample::Settings& settings);

// Sums of one simulation at spot: the value's and the tally's.
struct NoteTally {
    double paths = 0;
    double value = 0;                  // the sum value_note averages
    std::vector<double> fields;        // TallyField order, then one count per remaining date
    std::vector<double> replica_values;  // qmc: the value's sum in each replica (paths / their count each)
};

NoteTally tally_note(const NoteTerms& terms, PayoffSum payoff, const NoteSimulation& sim, double spot,
                     const NoteCarry& carry, mc::Shocks shocks, const random_sample::Settings& settings);

NoteStatistics note_statistics(const NoteSimulation& sim, const NoteTally& tally);

// The value is affine in a parallel shift x of the coupon rates: v + x u per
// path, so the rate is coupon_rate + (target - V) / U from the two sums V and
// U of the same paths. ValueError when U is zero: no coupon left to solve for.
FairCoupon fair_coupon(const NoteTerms& terms, const NoteTally& tally, double target);

class MonteCarloNoteEngine : public NotePricingEngine {
  public:
    explicit MonteCarloNoteEngine(mc::Shocks shocks) : shocks_(shocks) {}
    std::string_view name() const override { return shocks_ == mc::Shocks::sobol ? "qmc" : "mc"; }
    // With statistics, npv and the statistics come from one tally.
    NoteResults value(const NoteData& note, const NoteContext& context, bool delta_and_gamma,
                      bool statistics) const override;
    std::vector<ValueDeltaGamma> ladder(const NoteData& note, const NoteContext& context,
                                        const std::vector<double>& spots, bool delta_and_gamma) const override;
    FairCoupon fair_coupon(const NoteData& note, const NoteContext& context, double target) const override;
    // note_greeks: the nine valuations on one set of shocks.
    std::optional<OptionGreeks> greeks(const NoteData& note, const NoteContext& context,
                                       const NoteCheck& check) const override;

  private:
    mc::Shocks shocks_;
};

}  // namespace kestrel::detail
