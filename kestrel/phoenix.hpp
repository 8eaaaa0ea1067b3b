#pragma once
// The phoenix autocallable note, valued by Monte Carlo on the trading-day grid.
//
// Terms (besides the base keys), read in this order: "strike", "ki_barrier",
// "ko_barrier" (price levels), "coupon_rate" (annual fraction), "ki_obs_freq",
// "ko_obs_freq" (get_obs_dates tokens, or lists of dates), "obs_start_date",
// "obs_end_date". On each knock-out date the note pays the coupon of the
// period just ended when the close is at or above ki_barrier (no memory of
// missed coupons), and ends when the close is strictly above ko_barrier; the
// first period runs from the effect date, each later one from the previous
// knock-out date: s0 x coupon_rate x days / 365. A close strictly below
// ki_barrier on a knock-in date knocks it in; knocked in and never knocked
// out, it bears min(final - strike, 0) at maturity. Values are per one unit of
// the underlying (notional is not applied).
//
// Optional terms (see detail::NoteTerms): "ko_barrier" as a list of one level
// per knock-out date or with "ko_barrier_step"; "coupon_rate" as a list or
// with "coupon_rate_step" (each period at its own date's rate);
// "coupon_barrier", the level at or above which a date's coupon is earned
// (default ki_barrier); "memory": true, a missed coupon is owed and paid with
// the next coupon earned (coupons missed on past dates of the price history
// included); "floor_price", the level the final price is floored at for the
// loss.
// Engines: the optional term "engine" (after the others) picks "mc", the
// Monte Carlo kernel (kestrel/detail/montecarlo.hpp; the default), or "pde",
// the finite-difference engine (kestrel/detail/pde.hpp); any other name is a
// ValueError. _mc_pricing is the Monte Carlo's alone. "pde" refuses a memory
// phoenix ("memory": true) with a NotImplementedError; on it
// fair_coupon_rate comes from two solutions (standard error 0) and
// statistics is a NotImplementedError: it counts simulated paths.
#include <kestrel/export.hpp>
#include <kestrel/detail/autocallable.hpp>
#include <kestrel/keel.hpp>
#include <kestrel/random_sample.hpp>

#include <vector>

namespace kestrel {

class KESTREL_PHOENIX_EXPORT PhoenixOption : public BaseOption {
  public:
    // ValueError naming an observation date after maturity_date; IndexError
    // when the knock-out schedule is empty.
    explicit PhoenixOption(const Terms& option);

    // Present value as of the evaluation date (today when absent): 0.0 once
    // knocked out in the price history or after maturity; otherwise the
    // simulation, with every path knocked in when the history shows a
    // knock-in.
    double npv(double spot, double r, double vol, double q, const EvalDate& evaluation_date = std::nullopt) override;
    // Value, delta and gamma from one set of paths (spot x 1.005 and x 0.995),
    // vega, theta and rho from the base class. All zeros once knocked out or
    // after maturity.
    OptionGreeks greeks(double spot, double r, double vol, double q,
                        const EvalDate& evaluation_date = std::nullopt) override;

    // npv, and with delta_and_gamma greeks' delta and gamma, at each of spots
    // from one simulation (the paths are relative to spot): every entry equals
    // the separate valuation at that spot bit for bit. On "pde", one solution
    // per spot. All zeros once knocked out or after maturity.
    std::vector<detail::ValueDeltaGamma> spot_ladder(const std::vector<double>& spots, double r, double vol, double q,
                                                     const EvalDate& evaluation_date = std::nullopt,
                                                     bool delta_and_gamma = false);

    // From one simulation: the value's standard error, the probability of
    // knocking out on each remaining knock-out date and in all, of reaching
    // maturity knocked in, of a loss at maturity, and the expected remaining
    // life in years. All zero once knocked out or after maturity.
    detail::NoteStatistics statistics(double spot, double r, double vol, double q,
                                      const EvalDate& evaluation_date = std::nullopt);
    // The coupon rate that makes npv equal target: "coupon_rate", or the first
    // date's rate of the rate schedule shifted in parallel. Exact on the
    // simulation's paths (the value is affine in the rate), with its standard
    // error. ValueError when no coupon is left to solve for.
    detail::FairCoupon fair_coupon_rate(double spot, double r, double vol, double q,
                                        const EvalDate& evaluation_date = std::nullopt, double target = 0.0);

    // The payoff averaged over given paths (prices over spot, one row per
    // path): on each knock-out position (the last dates of the schedule) while
    // the path is alive, the coupon (discounted to its date) when the level is
    // at or above the date's coupon barrier / spot (with memory, with the
    // coupons owed since the last one paid, owed_coupon from the history
    // first), then knock-out when it is strictly above its knock-out level / spot; knock-in
    // strictly below ki_barrier / spot on the knock-in positions (or every path
    // when knocked_in); the loss min(max(final, floor) - strike / spot, 0) x spot
    // discounted from the last day for paths knocked in and never knocked out.
    // coupon has one amount per knock-out position, discount one factor per
    // grid day.
    double _mc_pricing(const random_sample::Matrix& paths, double spot, const std::vector<std::size_t>& ki_ob_indexes,
                       const std::vector<std::size_t>& ko_ob_indexes, const std::vector<double>& discount,
                       const std::vector<double>& coupon, bool knocked_in = false,
                       double owed_coupon = 0.0) const;

    // The simulation on the grid from the evaluation date to maturity, without
    // the history check: the value, and with delta_and_gamma delta and gamma
    // from the same paths.
    detail::ValueDeltaGamma _npv(double spot, double r, double vol, double q, const EvalDate& evaluation_date,
                                 bool knocked_in = false, bool delta_and_gamma = false) const;

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
    // The coupon of each of ko_obs_dates(), in that order: its own period.
    const std::vector<double>& coupon() const noexcept { return legs_.coupon; }
    // The resolved terms: one knock-out level, rate and coupon barrier per
    // knock-out date, the floor when given, the memory flag.
    const detail::NoteTerms& terms() const noexcept { return terms_; }
    // The coupons per date, and per unit of coupon rate.
    const detail::NoteLegs& legs() const noexcept { return legs_; }

  private:
    // The knock-in flag and the coupons owed from the history.
    detail::NoteCarry carry(const detail::NoteState& state) const;

    detail::NoteTerms terms_;
    detail::NoteLegs legs_;
};

}  // namespace kestrel
