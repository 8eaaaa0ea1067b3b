#pragma once
// What the two autocallable notes (SnowBallOption, PhoenixOption) share
// besides the kernel: their common terms and observation schedules, the state
// of a note from the underlying's closing prices, the inputs of a simulation
// on one evaluation date, and the valuation of a payoff rule on given or
// streamed paths (value, and delta and gamma from the same paths). Each note
// keeps only its coupon schedule and its payoff rule.
#include <kestrel/detail/montecarlo.hpp>
#include <kestrel/detail/pde.hpp>
#include <kestrel/keel.hpp>

#include <ql/time/date.hpp>

#include <string>
#include <utility>
#include <vector>

namespace kestrel::detail {

using QuantLib::Date;

// The engines that value a note, by the names its optional "engine" term
// takes: "mc", the Monte Carlo kernel (the default), and "pde", the
// finite-difference engine.
enum class NoteEngine { mc, pde };
extern const std::vector<std::pair<std::string, NoteEngine>> NOTE_ENGINE_MAP;

// The engine a name selects; ValueError naming an unknown one and the known.
NoteEngine note_engine(const std::string& name);

// The terms both notes read after the base keys, in this order: "strike",
// "ki_barrier", "ko_barrier", "coupon_rate", "ki_obs_freq", "ko_obs_freq",
// "obs_start_date", "obs_end_date"; then the knock-in and the knock-out
// schedules from get_obs_dates. A frequency is a token (text) or a list of
// explicit dates. Then the optional "engine" (text; absent: "mc").
struct NoteTerms {
    double strike = 0, ki_barrier = 0, ko_barrier = 0, coupon_rate = 0;
    Value ki_obs_freq, ko_obs_freq;
    Date obs_start_date, obs_end_date;
    std::vector<Date> ki_obs_dates, ko_obs_dates;
    NoteEngine engine = NoteEngine::mc;
};

// Reads the terms. An observation date after maturity_date is a ValueError
// naming it: the note could not be observed on it.
NoteTerms read_note_terms(const Terms& option, const Date& maturity_date);

// Where a note stands on a valuation.
struct NoteState {
    Date evaluation_date;     // the caller's, or today
    bool settled = false;     // matured before the evaluation date, or knocked out: worth nothing
    bool knocked_in = false;  // a past close below the knock-in barrier
};

// Checks the market inputs (ValueError naming a non-finite one or a spot that
// is not positive), then settles the note's state from the closing prices
// from effect_date to the evaluation date ("close", adjusted "pre"): a close
// strictly above ko_barrier on a knock-out date up to the last close settles
// it; otherwise a close strictly below ki_barrier on a knock-in date up to the
// last close knocks it in. No history (absent, or no rows) is neither. A past
// observation date without a close is a KeyError naming the instrument and the
// date. After maturity nothing is fetched.
NoteState note_state(const std::string& underlying, const Date& effect_date, const Date& maturity_date,
                     const NoteTerms& terms, double spot, double r, double vol, double q,
                     const EvalDate& evaluation_date);

struct ValueDeltaGamma {
    double npv = 0, delta = 0, gamma = 0;
};

// What a payoff rule reads at one spot, besides the observed paths.
struct PayoffInputs {
    double ki = 0, ko = 0;  // the barriers over spot, in the observations' space
    double strike = 0;      // strike / spot
    double spot = 0;
    std::vector<double> coupon_pv;  // remaining coupon i x its discount factor
    double final_discount = 0;      // discount factor of the last grid day
    bool knocked_in = false;        // every path counts as knocked in
};

PayoffInputs payoff_inputs(const NoteTerms& terms, double spot, mc::Space space, const std::vector<double>& discount,
                           const std::vector<std::size_t>& ko_ob_indexes, const std::vector<double>& coupon,
                           bool knocked_in);

// A note's payoff rule: the sum over the observed paths of the discounted
// coupons plus the discounted loss (in price units).
using PayoffSum = double (*)(const PayoffInputs& in, const mc::Observations& paths);

// A note's _mc_pricing: the payoff's average over a given matrix of paths
// (prices over spot). coupon holds one amount per knock-out position;
// discount one factor per grid day.
double price_paths(const NoteTerms& terms, PayoffSum payoff, const mc::Matrix& paths, double spot,
                   const std::vector<std::size_t>& ki_ob_indexes, const std::vector<std::size_t>& ko_ob_indexes,
                   const std::vector<double>& discount, const std::vector<double>& coupon, bool knocked_in);

// The simulation of one evaluation date: grid, model, the coupons of the
// knock-out dates on or after it and the grid positions of the remaining
// observation dates (the knock-out positions serve as knock-in positions when
// the two frequencies are equal).
struct NoteSimulation {
    mc::Grid grid;
    mc::Model model;
    std::vector<double> coupon;
    std::vector<std::size_t> ki_ob_indexes, ko_ob_indexes;
};

NoteSimulation prepare(const NoteTerms& terms, const std::vector<double>& coupon, const Date& evaluation_date,
                       const Date& maturity_date, double r, double q, double vol);

// A note's _npv: streams the paths and values the payoff at spot, and with
// delta_and_gamma also at spot x 1.005 and spot x 0.995 on the same blocks:
// delta = (p1 - p2) / (spot x 0.01), gamma = (p1 + p2 - 2 p0) / (spot x 0.005)^2.
ValueDeltaGamma value_note(const NoteTerms& terms, PayoffSum payoff, const NoteSimulation& sim, double spot,
                           bool knocked_in, bool delta_and_gamma);

// The note on one evaluation date as the finite-difference engine reads it:
// the grid, the remaining dates and their coupons exactly as the simulation
// places them (prepare), each grid day's time its calendar days from the
// evaluation date over 365. The phoenix's coupon barrier is ki_barrier; the
// snowball's non-touch coupon is the last remaining knock-out date's, paid
// from that date (none when no knock-out date remains).
pde::Note pde_note(const NoteTerms& terms, pde::Rule rule, const std::vector<double>& coupon,
                   const Date& evaluation_date, const Date& maturity_date, double r, double q, double vol,
                   bool knocked_in);

// A note's _npv on the finite-difference engine: value, and with
// delta_and_gamma delta and gamma by the same formulas as value_note, read off
// one solution.
ValueDeltaGamma value_note_pde(const NoteTerms& terms, pde::Rule rule, const std::vector<double>& coupon,
                               const Date& evaluation_date, const Date& maturity_date, double spot, double r,
                               double q, double vol, bool knocked_in, bool delta_and_gamma);

}  // namespace kestrel::detail
