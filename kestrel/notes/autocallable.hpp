#pragma once
// What the two autocallable notes (SnowBallOption, PhoenixOption) share
// besides the kernel: their common terms and observation schedules, the state
// of a note from the underlying's closing prices, the inputs of a simulation
// on one evaluation date, and the valuation of a payoff rule on given or
// streamed paths (value, and delta and gamma from the same paths). Each note
// keeps only its coupon schedule and its payoff rule.
#include <kestrel/engines/mc/kernel.hpp>
#include <kestrel/engines/pde/solver.hpp>
#include <kestrel/keel.hpp>

#include <ql/time/date.hpp>

#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestrel::detail {

using QuantLib::Date;

// The engines that value a note, by the names its optional "engine" term
// takes: "mc", the Monte Carlo kernel on pseudo-random shocks (the default),
// "qmc", the same kernel on randomised Sobol shocks (mc::Shocks::sobol), and
// "pde", the finite-difference engine.
enum class NoteEngine { mc, qmc, pde };
extern const std::vector<std::pair<std::string, NoteEngine>> NOTE_ENGINE_MAP;

// The engine a name selects; ValueError naming an unknown one and the known.
NoteEngine note_engine(const std::string& name);

// Which note reads the terms: the product-specific optional terms are read
// only for their note (another note ignores them, as any unknown key).
enum class NoteKind { snowball, phoenix };

// The terms both notes read after the base keys, in this order: "strike",
// "ki_barrier", "ko_barrier", "coupon_rate", "ki_obs_freq", "ko_obs_freq",
// "obs_start_date", "obs_end_date"; then the knock-in and the knock-out
// schedules from get_obs_dates. A frequency is a token (text) or a list of
// explicit dates.
//
// Then the optional terms, each resolved here once so that every engine reads
// the same per-date schedule (all vectors are aligned with ko_obs_dates):
//   "ko_barrier" as a list (one level per knock-out date) or a number with
//   "ko_barrier_step" (date i: ko_barrier - i x step)      -> ko_barriers
//   "coupon_rate" as a list or a number with "coupon_rate_step"
//                                                          -> coupon_rates
//   "floor_price" (the final price counts as at least it)  -> floor_price
//   snowball: "maturity_coupon_rate"                       -> maturity_coupon_rate
//   phoenix: "coupon_barrier" (default ki_barrier)         -> coupon_barriers
//   phoenix: "memory" (a boolean)                          -> memory
//   "engine" (text; absent: "mc")                          -> engine
// Without them ko_barriers and coupon_rates repeat ko_barrier and
// coupon_rate, and a note values as the plain note.
struct NoteTerms {
    // The numbers given; for a list, its first entry (the first date's).
    double strike = 0, ki_barrier = 0, ko_barrier = 0, coupon_rate = 0;
    Value ki_obs_freq, ko_obs_freq;
    Date obs_start_date, obs_end_date;
    std::vector<Date> ki_obs_dates, ko_obs_dates;

    std::vector<double> ko_barriers;            // knock-out level of each knock-out date
    std::vector<double> coupon_rates;           // annual coupon rate of each knock-out date
    std::optional<double> floor_price;          // absent: no floor
    std::optional<double> maturity_coupon_rate; // snowball; absent: the last date's rate
    std::vector<double> coupon_barriers;        // phoenix: coupon earned at or above; empty for the snowball
    bool memory = false;                        // phoenix: missed coupons are owed
    NoteEngine engine = NoteEngine::mc;
};

// Reads the terms. An observation date after maturity_date is a ValueError
// naming it: the note could not be observed on it.
// Each optional term is checked: a list of the wrong length, a non-finite or
// non-positive level, a step that drives a level below zero or a rate below
// zero, a negative rate, a floor above the strike are ValueErrors and a
// "memory" that is not a boolean a TypeError, each naming the term.
NoteTerms read_note_terms(const Terms& option, const Date& maturity_date, NoteKind kind);

// Where a note stands on a valuation.
struct NoteState {
    Date evaluation_date;     // the caller's, or today
    bool settled = false;     // matured before the evaluation date, or knocked out: worth nothing
    bool knocked_in = false;  // a past close below the knock-in barrier
    // With memory: the knock-out dates before the evaluation date whose
    // coupon was missed and not paid since (positions in ko_obs_dates).
    std::vector<std::size_t> owed;
};

// Checks the market (Market::check on the evaluation date: ValueError naming a
// non-finite input, a spot that is not positive or a curve that cannot be
// resolved), then settles the note's state from the closing prices
// from effect_date to the evaluation date ("close", adjusted "pre"): a close
// strictly above its date's knock-out level on a knock-out date up to the
// last close settles it; otherwise a close strictly below ki_barrier on a
// knock-in date up to the last close knocks it in. With memory, each
// knock-out date up to the last close and before the evaluation date with a
// close below its coupon barrier is owed until a later such date's close is at
// or above its own. No history (absent, or no rows) is neither. A past
// observation date without a close is a KeyError naming the instrument and the
// date. After maturity nothing is fetched.
NoteState note_state(const std::string& underlying, const Date& effect_date, const Date& maturity_date,
                     const NoteTerms& terms, const Market& market, const EvalDate& evaluation_date);

struct ValueDeltaGamma {
    double npv = 0, delta = 0, gamma = 0;
};

// A note's coupon legs, aligned with ko_obs_dates.
struct NoteLegs {
    std::vector<double> coupon;  // the amount a knock-out date pays
    std::vector<double> unit;    // the same per unit of coupon rate (its derivative in the rate)
    // Snowball: the amount paid, on the last knock-out date, to a path that
    // neither knocks in nor out; absent: the last date's coupon. Its unit
    // amount is 0 (a given maturity rate does not move with the coupon rate).
    std::optional<double> maturity_coupon;
};

// What a valuation carries in from the history.
struct NoteCarry {
    bool knocked_in = false;           // every path counts as knocked in
    double owed = 0, owed_unit = 0;    // memory: coupons owed at the evaluation date, and per unit rate
};

// What a payoff rule reads at one spot, besides the observed paths. The K
// remaining knock-out dates are the last K dates of the schedule.
struct PayoffInputs {
    double ki = 0;                     // ki_barrier over spot, in the observations' space
    std::vector<double> ko;            // each remaining date's knock-out level over spot, likewise
    std::vector<double> coupon_level;  // phoenix: each remaining date's coupon barrier over spot, likewise
    double strike = 0;                 // strike / spot
    std::optional<double> floor;       // floor_price / spot (a price over spot)
    double spot = 0;
    std::vector<double> coupon_pv;     // remaining coupon i x its discount factor
    std::vector<double> unit_pv;       // the same per unit of coupon rate
    std::vector<double> coupon, unit;  // remaining coupons undiscounted (memory)
    std::vector<double> ko_discount;   // discount factor of each remaining date
    double maturity_pv = 0, maturity_unit_pv = 0;  // snowball: the untouched path's coupon, discounted
    double final_discount = 0;         // discount factor of the last grid day
    std::vector<double> ko_time;       // years from the evaluation date to each remaining date's grid day
    double final_time = 0;             // years to the last grid day
    bool knocked_in = false;
    bool memory = false;
    double owed = 0, owed_unit = 0;
    // On "qmc": the payoff integrates each path's terminal normal Z out
    // (mc::Terminal), from its residual's thresholds.
    bool conditional = false;
    double terminal_drift = 0, terminal_beta = 0;  // mc::Terminal's drift and beta of the last grid day
    std::vector<double> ko_beta;                   // its beta on each remaining date's grid day
    std::size_t ki_row = 0;                        // the row of ki_excess at this input's ki level
};

PayoffInputs payoff_inputs(const NoteTerms& terms, double spot, mc::Space space, const std::vector<double>& discount,
                           const std::vector<std::size_t>& ko_ob_indexes, const std::vector<double>& coupon,
                           const std::vector<double>& unit, const std::optional<double>& maturity_coupon,
                           const NoteCarry& carry);

// The per-path sums a payoff adds into a tally (null when not asked for):
// fixed fields, then one knock-out count per remaining date.
enum TallyField : std::size_t {
    kValueSq,    // sum of v^2, v a path's discounted payoff
    kUnit,       // sum of u, its discounted coupons per unit of coupon rate
    kUnitSq,     // sum of u^2
    kCross,      // sum of v u
    kKnockedIn,  // paths that reach maturity knocked in
    kLoss,       // paths that lose at maturity
    kLife,       // sum of years to knock-out or to the last grid day
    kKnockedOut  // first of the per-date knock-out counts
};

// Adds one path to a tally: coupons c (discounted), u per unit rate, loss l
// (a non-positive price over spot, at maturity), knocked out on remaining date
// `at` (the count of dates when never), ending knocked in or not.
inline void tally_path(const PayoffInputs& in, double* tally, double c, double u, double l, std::size_t at,
                       bool ends_knocked_in) {
    const double v = c + l * in.final_discount * in.spot;
    tally[kValueSq] += v * v;
    tally[kUnit] += u;
    tally[kUnitSq] += u * u;
    tally[kCross] += v * u;
    tally[kKnockedIn] += ends_knocked_in ? 1.0 : 0.0;
    tally[kLoss] += l < 0 ? 1.0 : 0.0;
    const bool out = at < in.ko.size();
    tally[kLife] += out ? in.ko_time[at] : in.final_time;
    if (out) tally[kKnockedOut + at] += 1.0;
}

// The standard normal distribution function.
double normal_cdf(double x);

// For the conditional payoffs (PayoffInputs::conditional): E[min(max(F,
// floor) - k, 0); Z < upper] for F = exp(d + s Z), Z a standard normal,
// s > 0, and the probability that it is a loss (below zero) there. What does
// not depend on upper is made once.
class ConditionalLoss {
  public:
    ConditionalLoss(double d, double s, double k, const std::optional<double>& floor);
    double operator()(double upper, double& p_loss) const;

  private:
    double s_, k_, zk_, scale_;
    bool none_ = false;
    double floor_loss_ = 0.0, lo_, at_lo_ = 0.0, at_lo_s_ = 0.0;
    double at_zk_ = 0.0, at_zk_s_ = 0.0;
};

// The residual's threshold on Z (mc::Terminal) of a condition `level above
// barrier` on a day whose beta is beta, for a path at x with terminal normal
// z: the condition holds for Z above it (+-inf where beta is 0, or `level
// reaches barrier` fixed by x: at_or_above chooses >= over >).
inline double threshold_above(double barrier, double x, double beta, double z, bool at_or_above) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    if (beta > 0) return (barrier - x) / beta + z;
    return (at_or_above ? x >= barrier : x > barrier) ? -inf : inf;
}

// Adds one path's conditional expectations (PayoffInputs::conditional) to a
// tally: its value v and coupons per unit rate u, the probabilities that it
// reaches maturity knocked in and that it loses, and its expected life in
// years. The knock-out probabilities go in by date.
inline void tally_conditional(double* tally, double v, double u, double p_knocked_in, double p_loss, double life) {
    tally[kValueSq] += v * v;
    tally[kUnit] += u;
    tally[kUnitSq] += u * u;
    tally[kCross] += v * u;
    tally[kKnockedIn] += p_knocked_in;
    tally[kLoss] += p_loss;
    tally[kLife] += life;
}

// A note's payoff rule: the sum over the observed paths of the discounted
// coupons plus the discounted loss (in price units); with a tally, also its
// per-path sums.
using PayoffSum = double (*)(const PayoffInputs& in, const mc::Observations& paths, double* tally);

// A note's _mc_pricing: the payoff's average over a given matrix of paths
// (prices over spot). coupon holds one amount per knock-out position (the last
// dates of the schedule); discount one factor per grid day.
double price_paths(const NoteTerms& terms, PayoffSum payoff, const mc::Matrix& paths, double spot,
                   const std::vector<std::size_t>& ki_ob_indexes, const std::vector<std::size_t>& ko_ob_indexes,
                   const std::vector<double>& discount, const std::vector<double>& coupon,
                   const std::optional<double>& maturity_coupon, const NoteCarry& carry);

// The simulation of one evaluation date: grid, model, the coupons of the
// knock-out dates on or after it and the grid positions of the remaining
// observation dates (the knock-out positions serve as knock-in positions when
// the two frequencies are equal).
struct NoteSimulation {
    mc::Grid grid;
    mc::Model model;
    std::vector<double> coupon, unit;
    std::optional<double> maturity_coupon;
    std::vector<Date> ko_dates;  // the remaining knock-out dates
    std::vector<std::size_t> ki_ob_indexes, ko_ob_indexes;
};

NoteSimulation prepare(const NoteTerms& terms, const NoteLegs& legs, const Date& evaluation_date,
                       const Date& maturity_date, const Market& market);
// The same on plain numbers.
NoteSimulation prepare(const NoteTerms& terms, const NoteLegs& legs, const Date& evaluation_date,
                       const Date& maturity_date, double r, double q, double vol);

// The history check of one valuation of greeks on a (bumped) market on date:
// the note's carry, or none when it has settled there (worth 0).
using NoteCheck = std::function<std::optional<NoteCarry>(const Market& market, const Date& date)>;

// What one simulation says of a note beside its value.
struct NoteStatistics {
    double npv = 0;
    double standard_error = 0;             // Monte Carlo standard error of npv (qmc: of the replicas' mean)
    std::vector<Date> ko_dates;            // the remaining knock-out dates
    std::vector<double> ko_probability;    // of knocking out on each
    double ko_total = 0;                   // of knocking out at all
    double ki_probability = 0;             // of reaching maturity knocked in
    double loss_probability = 0;           // of a loss at maturity
    double expected_life = 0;              // years to knock-out or maturity
};

// The coupon rate that makes the value equal target, with its standard error.
struct FairCoupon {
    double fair_coupon_rate = 0, standard_error = 0;
};

}  // namespace kestrel::detail
