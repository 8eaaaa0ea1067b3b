#pragma once
// The snowball autocallable note, one configuration of AutocallableNote.
//
// Terms (besides the base keys), read in this order: "strike", "ki_barrier",
// "ko_barrier" (price levels), "coupon_rate" (annual fraction), "ki_obs_freq",
// "ko_obs_freq" (get_obs_dates tokens, or lists of dates), "obs_start_date",
// "obs_end_date". The note knocks out on the first knock-out date with a
// close strictly above ko_barrier and pays the coupon accrued from
// obs_start_date to that date, s0 x coupon_rate x days / 365; it knocks in on
// a knock-in date with a close strictly below ki_barrier, and then, unless it
// knocks out later, bears min(final - strike, 0) at maturity; a path that
// neither knocks in nor out is paid the last knock-out date's coupon. Values
// are per one unit of the underlying (notional is not applied).
//
// Optional terms (see detail::NoteTerms): "ko_barrier" as a list of one level
// per knock-out date or with "ko_barrier_step" (step-down); "coupon_rate" as a
// list or with "coupon_rate_step" (date i pays s0 x rate_i x days / 365, still
// from obs_start_date); "maturity_coupon_rate", the rate of the coupon of a
// path that neither knocks in nor out (accrued to the last knock-out date);
// "floor_price", the level the final price is floored at for the loss
// (limited loss; at the strike the principal is protected).
// Engines: the optional term "engine" (after the others) picks "mc" (the
// default), "qmc" or "pde" (kestrel/notes/note.hpp); any other name is a
// ValueError. _mc_pricing is the Monte Carlo's alone. Valuations take plain
// numbers or a Market of curves (AutocallableNote).
#include <kestrel/export.hpp>
#include <kestrel/notes/note.hpp>
#include <kestrel/random_sample.hpp>

#include <vector>

namespace kestrel {

class KESTREL_SNOWBALL_EXPORT SnowBallOption : public AutocallableNote {
  public:
    // ValueError naming an observation date after maturity_date.
    explicit SnowBallOption(const Terms& option);

    // The payoff averaged over given paths (prices over spot, one row per
    // path): knock-out strictly above each date's knock-out level / spot on
    // the knock-out positions (the last dates of the schedule) (one coupon per
    // path, discounted to its date), knock-in strictly below ki_barrier / spot
    // on the knock-in positions (or every path when knocked_in), the maturity
    // coupon for paths that touch neither, the loss min(max(final, floor) -
    // strike / spot, 0) x spot discounted from the last day for paths knocked
    // in and never knocked out. coupon has one amount per knock-out position,
    // discount one factor per grid day.
    double _mc_pricing(const random_sample::Matrix& paths, double spot, const std::vector<std::size_t>& ki_ob_indexes,
                       const std::vector<std::size_t>& ko_ob_indexes, const std::vector<double>& discount,
                       const std::vector<double>& coupon, bool knocked_in = false) const;
};

}  // namespace kestrel
