#pragma once
// The autocallable notes on the finite-difference engine: the "pde" engine
// (NotePricingEngine) and the description of a note it solves (pde::Note),
// built from the same grid, dates, levels and coupons as the simulation.
#include <kestrel/engines/pde/solver.hpp>
#include <kestrel/notes/engine.hpp>

namespace kestrel::detail {

// The note on one evaluation date as the finite-difference engine reads it:
// the grid, the remaining dates, their levels and their coupons exactly as the
// simulation places them (prepare), each grid day's time its calendar days
// from the evaluation date over 365; every coupon moved by rate_shift x its
// amount per unit rate. The phoenix's coupon barriers are coupon_barriers; the
// snowball's non-touch coupon is the maturity coupon (by default the last
// remaining knock-out date's), paid from the last remaining knock-out date
// (none when no knock-out date remains). A market of plain numbers gives the
// note its r, q and vol; a market of curves one segment per grid step with
// the step's forward r, q and vol, the Monte Carlo's drift and variance. A
// memory note is a NotImplementedError: the engine has no owed-coupon state.
pde::Note pde_note(const NoteTerms& terms, pde::Rule rule, const NoteLegs& legs, const Date& evaluation_date,
                   const Date& maturity_date, const Market& market, bool knocked_in, double rate_shift = 0.0);
pde::Note pde_note(const NoteTerms& terms, pde::Rule rule, const NoteLegs& legs, const Date& evaluation_date,
                   const Date& maturity_date, double r, double q, double vol, bool knocked_in,
                   double rate_shift = 0.0);

// A note's value on the finite-difference engine: value, and with
// delta_and_gamma delta and gamma by the same formulas as value_note, read off
// one solution.
ValueDeltaGamma value_note_pde(const NoteTerms& terms, pde::Rule rule, const NoteLegs& legs,
                               const Date& evaluation_date, const Date& maturity_date, const Market& market,
                               bool knocked_in, bool delta_and_gamma);

// fair_coupon on the finite-difference engine: the value is affine in a
// parallel shift x of the coupon rates, so two solutions (x = 0 and x = 1)
// give it exactly; standard_error is 0. ValueError when the shift moves
// nothing: no coupon left to solve for.
FairCoupon fair_coupon_pde(const NoteTerms& terms, pde::Rule rule, const NoteLegs& legs, const Date& evaluation_date,
                           const Date& maturity_date, const Market& market, bool knocked_in, double target);

// statistics on the finite-difference engine, from backward solutions of the
// same note without discounting: the probability of knocking out on each
// remaining knock-out date (that date's coupon 1, every other coupon and the
// loss 0), of reaching maturity knocked in (the knocked-in layer 1 at
// maturity), of a loss there (1 below the strike), and the expected life from
// the knock-out probabilities and the last grid day's time. npv is given;
// standard_error is 0.
NoteStatistics statistics_pde(const NoteTerms& terms, pde::Rule rule, const NoteLegs& legs,
                              const Date& evaluation_date, const Date& maturity_date, const Market& market,
                              bool knocked_in, double npv);

class PdeNoteEngine : public NotePricingEngine {
  public:
    std::string_view name() const override { return "pde"; }
    // Value, delta and gamma from one solution; with statistics,
    // statistics_pde. No standard error.
    NoteResults value(const NoteData& note, const NoteContext& context, bool delta_and_gamma,
                      bool statistics) const override;
    // One solution per spot.
    std::vector<ValueDeltaGamma> ladder(const NoteData& note, const NoteContext& context,
                                        const std::vector<double>& spots, bool delta_and_gamma) const override;
    // fair_coupon_pde: two solutions, standard error 0.
    FairCoupon fair_coupon(const NoteData& note, const NoteContext& context, double target) const override;
};

}  // namespace kestrel::detail
