#pragma once
// The autocallable note: one type for the snowball and the phoenix, which
// differ only in their coupon legs, their payoff rule and what the price
// history carries in (the phoenix's owed coupons). The schedule, barriers,
// coupons and floor are data (detail::NoteTerms, detail::NoteLegs); the
// engines value the note from them (kestrel/notes/engine.hpp): "mc" and
// "qmc" (the Monte Carlo kernel on pseudo-random or Sobol shocks) and "pde"
// (the finite-difference engine), picked by the contract's "engine" term.
//
// Every valuation takes a Market: plain numbers value exactly as the
// plain-number entry points always have; curves of r, q and vol enter every
// engine through the forward rate, carry and variance between grid days.
//
// Gamma: the notes' greeks and spot_ladder give the plain second difference
// d2V/dS2 (bumps of 0.5 % of spot) where the base class's greeks give spot x
// d2V/dS2. spot_gamma() is the one conversion to the base class's
// convention; the book and the reports use it.
#include <kestrel/export.hpp>
#include <kestrel/keel.hpp>
#include <kestrel/notes/autocallable.hpp>
#include <kestrel/notes/engine.hpp>

#include <vector>

namespace kestrel {

class KESTREL_NOTES_EXPORT AutocallableNote : public BaseOption {
  public:
    using BaseOption::greeks;
    using BaseOption::npv;

    // Present value as of the evaluation date (today when absent): 0.0 once
    // knocked out in the price history or after maturity; otherwise the
    // engine's, with the history's knock-in (and owed coupons) carried in.
    double npv(double spot, double r, double vol, double q, const EvalDate& evaluation_date = std::nullopt) override;
    double npv(const Market& market, const EvalDate& evaluation_date = std::nullopt) override;

    // Value, delta and gamma (d2V/dS2) from one set of paths or one solution
    // (spot x 1.005 and x 0.995); vega, theta and rho as the base class
    // defines them (on "mc" and "qmc" the nine valuations in one pass on the
    // same shocks, each bit for bit the separate valuation). All zeros once
    // knocked out or after maturity. carry_rho is the base class's.
    OptionGreeks greeks(double spot, double r, double vol, double q,
                        const EvalDate& evaluation_date = std::nullopt) override;
    OptionGreeks greeks(const Market& market, const EvalDate& evaluation_date = std::nullopt) override;

    // npv, and with delta_and_gamma greeks' delta and gamma, at each of spots
    // from one simulation (the paths are relative to spot): every entry equals
    // the separate valuation at that spot bit for bit. On "pde", one solution
    // per spot. All zeros once knocked out or after maturity. The market's
    // own spot is not used.
    std::vector<detail::ValueDeltaGamma> spot_ladder(const std::vector<double>& spots, double r, double vol, double q,
                                                     const EvalDate& evaluation_date = std::nullopt,
                                                     bool delta_and_gamma = false);
    std::vector<detail::ValueDeltaGamma> spot_ladder(const std::vector<double>& spots, const Market& market,
                                                     const EvalDate& evaluation_date = std::nullopt,
                                                     bool delta_and_gamma = false);

    // The value's standard error, the probability of knocking out on each
    // remaining knock-out date and in all, of reaching maturity knocked in, of
    // a loss at maturity, and the expected remaining life in years: counted
    // on one simulation ("mc", "qmc"), or solved backwards as probabilities
    // ("pde", standard error 0; statistics_pde). All zero once knocked out or
    // after maturity.
    detail::NoteStatistics statistics(double spot, double r, double vol, double q,
                                      const EvalDate& evaluation_date = std::nullopt);
    detail::NoteStatistics statistics(const Market& market, const EvalDate& evaluation_date = std::nullopt);

    // The coupon rate that makes npv equal target: "coupon_rate", or the first
    // date's rate of the rate schedule shifted in parallel. Exact on the
    // simulation's paths (the value is affine in the rate), with its standard
    // error; on "pde" from two solutions (standard error 0). ValueError when
    // no coupon is left to solve for.
    detail::FairCoupon fair_coupon_rate(double spot, double r, double vol, double q,
                                        const EvalDate& evaluation_date = std::nullopt, double target = 0.0);
    detail::FairCoupon fair_coupon_rate(const Market& market, const EvalDate& evaluation_date = std::nullopt,
                                        double target = 0.0);

    // The engine's valuation on the grid from the evaluation date to
    // maturity, without the history check: the value, and with
    // delta_and_gamma delta and gamma (d2V/dS2) from the same paths.
    detail::ValueDeltaGamma _npv(double spot, double r, double vol, double q, const EvalDate& evaluation_date,
                                 bool knocked_in = false, bool delta_and_gamma = false) const;
    detail::ValueDeltaGamma _npv(const Market& market, const EvalDate& evaluation_date, bool knocked_in = false,
                                 bool delta_and_gamma = false) const;

    double strike() const noexcept { return terms_.strike; }
    double ki_barrier() const noexcept { return terms_.ki_barrier; }
    double ko_barrier() const noexcept { return terms_.ko_barrier; }
    double coupon_rate() const noexcept { return terms_.coupon_rate; }
    const Value& ki_obs_freq() const noexcept { return terms_.ki_obs_freq; }
    const Value& ko_obs_freq() const noexcept { return terms_.ko_obs_freq; }
    const QuantLib::Date& obs_start_date() const noexcept { return terms_.obs_start_date; }
    const QuantLib::Date& obs_end_date() const noexcept { return terms_.obs_end_date; }
    const std::vector<QuantLib::Date>& ki_obs_dates() const noexcept { return terms_.ki_obs_dates; }
    const std::vector<QuantLib::Date>& ko_obs_dates() const noexcept { return terms_.ko_obs_dates; }
    // The amount paid on knock-out (snowball) or earned (phoenix) on each of
    // ko_obs_dates(), in that order.
    const std::vector<double>& coupon() const noexcept { return legs_.coupon; }
    // The resolved terms: one knock-out level and one rate per knock-out date,
    // the floor, and each configuration's own (the snowball's maturity coupon
    // rate, the phoenix's coupon barriers and memory flag).
    const detail::NoteTerms& terms() const noexcept { return terms_; }
    // The coupons per date, and per unit of coupon rate.
    const detail::NoteLegs& legs() const noexcept { return legs_; }
    // The engine the note's "engine" term picked.
    detail::NoteEngine engine() const noexcept { return terms_.engine; }
    // The note as the engines read it (NotePricingEngine).
    detail::NoteData note_data() const;

  protected:
    // Reads the base keys, then the note's terms for its configuration.
    AutocallableNote(const Terms& option, detail::NoteKind kind, detail::PayoffSum payoff, detail::pde::Rule rule);

    // What the price history carries into a valuation: the knock-in, and the
    // phoenix's owed coupons. The snowball owes none.
    virtual detail::NoteCarry carry(const detail::NoteState& state) const;

    detail::NoteTerms terms_;
    detail::NoteLegs legs_;

  private:
    detail::NoteState state(const Market& market, const EvalDate& evaluation_date) const;
    detail::NoteContext context(const Market& market, const detail::NoteState& state) const;
    const detail::NotePricingEngine& pricing() const;

    detail::PayoffSum payoff_;
    detail::pde::Rule rule_;
};

// The base class's gamma convention (spot x d2V/dS2) from a note's (d2V/dS2).
inline double spot_gamma(double gamma, double spot) noexcept { return spot * gamma; }

}  // namespace kestrel
