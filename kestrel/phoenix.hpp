#pragma once
// The phoenix autocallable note, one configuration of AutocallableNote.
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
// Engines: the optional term "engine" (after the others) picks "mc" (the
// default), "qmc" or "pde" (kestrel/notes/note.hpp); any other name is a
// ValueError. _mc_pricing is the Monte Carlo's alone. "pde" refuses a memory
// phoenix ("memory": true) with a NotImplementedError. Valuations take plain
// numbers or a Market of curves (AutocallableNote).
#include <kestrel/export.hpp>
#include <kestrel/notes/note.hpp>
#include <kestrel/random_sample.hpp>

#include <vector>

namespace kestrel {

class KESTREL_PHOENIX_EXPORT PhoenixOption : public AutocallableNote {
  public:
    // ValueError naming an observation date after maturity_date; IndexError
    // when the knock-out schedule is empty.
    explicit PhoenixOption(const Terms& option);

    // The payoff averaged over given paths (prices over spot, one row per
    // path): on each knock-out position (the last dates of the schedule) while
    // the path is alive, the coupon (discounted to its date) when the level is
    // at or above the date's coupon barrier / spot (with memory, with the
    // coupons owed since the last one paid, owed_coupon from the history
    // first), then knock-out when it is strictly above its knock-out level /
    // spot; knock-in strictly below ki_barrier / spot on the knock-in
    // positions (or every path when knocked_in); the loss min(max(final,
    // floor) - strike / spot, 0) x spot discounted from the last day for paths
    // knocked in and never knocked out. coupon has one amount per knock-out
    // position, discount one factor per grid day.
    double _mc_pricing(const random_sample::Matrix& paths, double spot, const std::vector<std::size_t>& ki_ob_indexes,
                       const std::vector<std::size_t>& ko_ob_indexes, const std::vector<double>& discount,
                       const std::vector<double>& coupon, bool knocked_in = false,
                       double owed_coupon = 0.0) const;

  protected:
    // The knock-in flag and the coupons owed from the history.
    detail::NoteCarry carry(const detail::NoteState& state) const override;
};

}  // namespace kestrel
