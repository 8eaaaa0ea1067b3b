#include <heron/heron.hpp>
#include <kestrel/notes/autocallable.hpp>
#include <kestrel/utils.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <variant>

namespace kestrel::detail {
namespace {

std::vector<Date> schedule(const Date& start, const Date& end, const Value& freq, std::string_view key) {
    if (freq.is_list()) {
        std::vector<Date> dates;
        for (const Value& d : freq.as_list(key)) dates.push_back(d.as_date(key));
        return utils::get_obs_dates(start, end, dates);
    }
    return utils::get_obs_dates(start, end, freq.as_text(key));
}

void check_within_maturity(const std::vector<Date>& dates, const Date& maturity, const char* what) {
    for (const Date& d : dates)
        if (d > maturity)
            throw ValueError(std::string(what) + " observation date " + utils::format_date(d) +
                             " is after maturity_date " + utils::format_date(maturity));
}

// Shortest text that reads back as the same double.
std::string num(double x) {
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, x);
    return std::string(buf, res.ptr);
}

// A price level: finite and positive.
double level(double x, const std::string& what) {
    if (!std::isfinite(x) || x <= 0) throw ValueError(what + " must be a positive finite price level, not " + num(x));
    return x;
}

// A rate: finite and not negative.
double rate(double x, const std::string& what) {
    if (!std::isfinite(x) || x < 0) throw ValueError(what + " must be a finite rate not below zero, not " + num(x));
    return x;
}

// One number per knock-out date from "key" (a number, or a list of one per
// date) and "key_step" (with a number: date i takes number - i x step). A
// plain number without a step is repeated unchecked. check(x, what) validates
// a listed or stepped entry.
template <class Check>
std::vector<double> per_date(const Terms& option, const std::string& key, double& first, std::size_t dates,
                             Check check) {
    const Value& v = option.at(key);
    const std::string step_key = key + "_step";
    const Value* step = option.find(step_key);
    if (step && step->is_none()) step = nullptr;
    std::vector<double> out;
    if (v.is_list()) {
        if (step) throw ValueError(step_key + " needs a number " + key + ", not a list");
        const Value::List& list = v.as_list(key);
        if (list.size() != dates)
            throw ValueError(key + ": " + std::to_string(list.size()) + " entries for " + std::to_string(dates) +
                             " knock-out dates");
        for (std::size_t i = 0; i < list.size(); ++i)
            out.push_back(check(list[i].as_number(key), key + " entry " + std::to_string(i + 1)));
        first = out.empty() ? 0.0 : out.front();
        return out;
    }
    first = v.as_number(key);
    if (!step) return std::vector<double>(dates, first);
    const double s = step->as_number(step_key);
    if (!std::isfinite(s)) throw ValueError(step_key + " must be finite, not " + num(s));
    for (std::size_t i = 0; i < dates; ++i)
        out.push_back(check(first - static_cast<double>(i) * s,
                            key + " " + num(first) + " less " + std::to_string(i) + " x " + step_key + " " + num(s) +
                                " (knock-out date " + std::to_string(i + 1) + ")"));
    return out;
}

std::optional<double> optional_number(const Terms& option, const char* key) {
    const Value* v = option.find(key);
    if (!v || v->is_none()) return std::nullopt;
    return v->as_number(key);
}

}  // namespace

const std::vector<std::pair<std::string, NoteEngine>> NOTE_ENGINE_MAP = {
    {"mc", NoteEngine::mc},
    {"qmc", NoteEngine::qmc},
    {"pde", NoteEngine::pde},
};

NoteEngine note_engine(const std::string& name) {
    std::string known;
    for (const auto& [key, engine] : NOTE_ENGINE_MAP) {
        if (key == name) return engine;
        known += (known.empty() ? "" : ", ") + key;
    }
    throw ValueError("unknown engine: '" + name + "' (known: " + known + ")");
}

NoteTerms read_note_terms(const Terms& option, const Date& maturity_date, NoteKind kind) {
    NoteTerms t;
    t.strike = option.number("strike");
    t.ki_barrier = option.number("ki_barrier");
    const Value& ko_barrier = option.at("ko_barrier");
    if (!ko_barrier.is_list()) t.ko_barrier = ko_barrier.as_number("ko_barrier");
    const Value& coupon_rate = option.at("coupon_rate");
    if (!coupon_rate.is_list()) t.coupon_rate = coupon_rate.as_number("coupon_rate");
    t.ki_obs_freq = option.at("ki_obs_freq");
    t.ko_obs_freq = option.at("ko_obs_freq");
    t.obs_start_date = option.date("obs_start_date");
    t.obs_end_date = option.date("obs_end_date");
    t.ki_obs_dates = schedule(t.obs_start_date, t.obs_end_date, t.ki_obs_freq, "ki_obs_freq");
    t.ko_obs_dates = schedule(t.obs_start_date, t.obs_end_date, t.ko_obs_freq, "ko_obs_freq");
    check_within_maturity(t.ki_obs_dates, maturity_date, "knock-in");
    check_within_maturity(t.ko_obs_dates, maturity_date, "knock-out");

    const std::size_t m = t.ko_obs_dates.size();
    t.ko_barriers = per_date(option, "ko_barrier", t.ko_barrier, m, level);
    t.coupon_rates = per_date(option, "coupon_rate", t.coupon_rate, m, rate);
    if (const auto floor = optional_number(option, "floor_price")) {
        t.floor_price = level(*floor, "floor_price");
        if (*floor > t.strike)
            throw ValueError("floor_price " + num(*floor) + " is above the strike " + num(t.strike));
    }
    if (kind == NoteKind::snowball) {
        if (const auto mcr = optional_number(option, "maturity_coupon_rate"))
            t.maturity_coupon_rate = rate(*mcr, "maturity_coupon_rate");
    } else {
        const auto cb = optional_number(option, "coupon_barrier");
        t.coupon_barriers.assign(m, cb ? level(*cb, "coupon_barrier") : t.ki_barrier);
        if (const Value* mem = option.find("memory"); mem && !mem->is_none()) {
            const auto* b = std::get_if<bool>(&mem->storage());
            if (!b) throw TypeError(std::string("memory: expected true or false, got ") + mem->kind() + " (" +
                                    mem->to_string() + ")");
            t.memory = *b;
        }
    }
    if (const Value* engine = option.find("engine"); engine && !engine->is_none())
        t.engine = note_engine(engine->as_text("engine"));
    return t;
}

NoteState note_state(const std::string& underlying, const Date& effect_date, const Date& maturity_date,
                     const NoteTerms& terms, const Market& market, const EvalDate& evaluation_date) {
    NoteState state;
    state.evaluation_date = eval_or_today(evaluation_date);
    market.check(state.evaluation_date);
    if (state.evaluation_date > maturity_date) {
        state.settled = true;
        return state;
    }
    const auto table = heron::get_price(underlying, effect_date, state.evaluation_date, "close", "pre", true);
    if (!table || table->empty()) return state;
    const heron::Frame history = table->droplevel("order_book_id");
    const Date last = history.last_date();
    auto close = [&](const Date& d) {
        if (!history.contains(d))
            throw KeyError("no close of " + underlying + " on " + utils::format_date(d) + " in its price history");
        return history.at(d, "close");
    };
    for (std::size_t i = 0; i < terms.ko_obs_dates.size(); ++i) {
        const Date& d = terms.ko_obs_dates[i];
        if (d <= last && close(d) > terms.ko_barriers[i]) state.settled = true;
    }
    if (state.settled) return state;
    for (const Date& d : terms.ki_obs_dates)
        if (d <= last && close(d) < terms.ki_barrier) state.knocked_in = true;
    if (terms.memory) {
        // Dates from the evaluation date on are observed again on the paths.
        for (std::size_t i = 0; i < terms.ko_obs_dates.size(); ++i) {
            const Date& d = terms.ko_obs_dates[i];
            if (d > last || d >= state.evaluation_date) break;
            if (close(d) >= terms.coupon_barriers[i])
                state.owed.clear();
            else
                state.owed.push_back(i);
        }
    }
    return state;
}

double normal_cdf(double x) { return 0.5 * std::erfc(-x * 0.70710678118654752440); }

ConditionalLoss::ConditionalLoss(double d, double s, double k, const std::optional<double>& floor)
    : s_(s), k_(k), zk_(k > 0 ? (std::log(k) - d) / s : -std::numeric_limits<double>::infinity()),
      scale_(std::exp(d + 0.5 * s * s)), lo_(-std::numeric_limits<double>::infinity()) {
    none_ = !(k > 0);  // a price never falls to a strike at or below zero
    if (floor && !none_) {
        none_ = *floor >= k;
        floor_loss_ = *floor - k;
        lo_ = (std::log(*floor) - d) / s;
        at_lo_ = normal_cdf(lo_);
        at_lo_s_ = normal_cdf(lo_ - s);
    }
    at_zk_ = normal_cdf(zk_);
    at_zk_s_ = normal_cdf(zk_ - s);
}

double ConditionalLoss::operator()(double upper, double& p_loss) const {
    if (none_) {
        p_loss = 0.0;
        return 0.0;
    }
    // Most paths reach past zk (and lo): then every term is made.
    const bool past = upper >= zk_;
    const double hi = past ? zk_ : upper;
    const double at_hi = past ? at_zk_ : normal_cdf(hi);
    p_loss = at_hi;
    double out = 0.0;
    // Below the floor the loss is floor - k; between it and zk, F - k.
    if (floor_loss_ != 0.0) out += floor_loss_ * (upper >= lo_ ? at_lo_ : at_hi);
    if (hi > lo_) {
        const double at_hi_s = past ? at_zk_s_ : normal_cdf(hi - s_);
        out += scale_ * (at_hi_s - at_lo_s_) - k_ * (at_hi - at_lo_);
    }
    return out;
}

PayoffInputs payoff_inputs(const NoteTerms& terms, double spot, mc::Space space, const std::vector<double>& discount,
                           const std::vector<std::size_t>& ko_ob_indexes, const std::vector<double>& coupon,
                           const std::vector<double>& unit, const std::optional<double>& maturity_coupon,
                           const NoteCarry& carry) {
    const std::size_t K = coupon.size();
    if (K != ko_ob_indexes.size())
        throw ValueError(std::to_string(K) + " coupons for " + std::to_string(ko_ob_indexes.size()) +
                         " knock-out positions");
    if (unit.size() != K)
        throw ValueError(std::to_string(unit.size()) + " unit coupons for " + std::to_string(K) + " coupons");
    if (K > terms.ko_barriers.size())
        throw ValueError(std::to_string(K) + " coupons for a schedule of " + std::to_string(terms.ko_barriers.size()) +
                         " knock-out dates");
    if (discount.empty()) throw ValueError("no discount factor: the grid has no day");
    const std::size_t skip = terms.ko_barriers.size() - K;  // knock-out dates already past
    PayoffInputs in;
    in.ki = mc::relative_level(terms.ki_barrier, spot, space);
    in.ko.resize(K);
    for (std::size_t i = 0; i < K; ++i) in.ko[i] = mc::relative_level(terms.ko_barriers[skip + i], spot, space);
    if (!terms.coupon_barriers.empty()) {
        in.coupon_level.resize(K);
        for (std::size_t i = 0; i < K; ++i)
            in.coupon_level[i] = mc::relative_level(terms.coupon_barriers[skip + i], spot, space);
    }
    in.strike = terms.strike / spot;
    if (terms.floor_price) in.floor = *terms.floor_price / spot;
    in.spot = spot;
    in.coupon = coupon;
    in.unit = unit;
    in.coupon_pv.resize(K);
    in.unit_pv.resize(K);
    in.ko_discount.resize(K);
    for (std::size_t i = 0; i < K; ++i) {
        if (ko_ob_indexes[i] >= discount.size())
            throw IndexError("knock-out position " + std::to_string(ko_ob_indexes[i]) + " is outside the " +
                             std::to_string(discount.size()) + " discount factors");
        in.ko_discount[i] = discount[ko_ob_indexes[i]];
        in.coupon_pv[i] = coupon[i] * in.ko_discount[i];
        in.unit_pv[i] = unit[i] * in.ko_discount[i];
    }
    if (K > 0) {
        in.maturity_pv = maturity_coupon ? *maturity_coupon * in.ko_discount[K - 1] : in.coupon_pv[K - 1];
        in.maturity_unit_pv = maturity_coupon ? 0.0 : in.unit_pv[K - 1];
    }
    in.final_discount = discount.back();
    in.ko_time.assign(K, 0.0);
    in.knocked_in = carry.knocked_in;
    in.memory = terms.memory;
    in.owed = carry.owed;
    in.owed_unit = carry.owed_unit;
    return in;
}

double price_paths(const NoteTerms& terms, PayoffSum payoff, const mc::Matrix& paths, double spot,
                   const std::vector<std::size_t>& ki_ob_indexes, const std::vector<std::size_t>& ko_ob_indexes,
                   const std::vector<double>& discount, const std::vector<double>& coupon,
                   const std::optional<double>& maturity_coupon, const NoteCarry& carry) {
    if (paths.rows() == 0) throw ValueError("no paths to value");
    if (discount.size() != paths.cols())
        throw ValueError(std::to_string(discount.size()) + " discount factors for paths of " +
                         std::to_string(paths.cols()) + " grid days");
    const mc::MatrixObservations observed(paths, ki_ob_indexes, ko_ob_indexes);
    const PayoffInputs in = payoff_inputs(terms, spot, mc::Space::price, discount, ko_ob_indexes, coupon,
                                          std::vector<double>(coupon.size(), 0.0), maturity_coupon, carry);
    return payoff(in, observed.view(), nullptr) / static_cast<double>(paths.rows());
}

NoteSimulation prepare(const NoteTerms& terms, const NoteLegs& legs, const Date& evaluation_date,
                       const Date& maturity_date, const Market& market) {
    NoteSimulation sim;
    sim.grid = mc::make_grid(evaluation_date, maturity_date);
    if (sim.grid.size() == 0)
        throw ValueError("no trading day from " + utils::format_date(evaluation_date) + " to maturity_date " +
                         utils::format_date(maturity_date));
    for (std::size_t i = 0; i < terms.ko_obs_dates.size(); ++i)
        if (terms.ko_obs_dates[i] >= evaluation_date) {
            sim.ko_dates.push_back(terms.ko_obs_dates[i]);
            sim.coupon.push_back(legs.coupon[i]);
            sim.unit.push_back(legs.unit[i]);
        }
    sim.maturity_coupon = legs.maturity_coupon;
    sim.ko_ob_indexes = mc::positions(sim.grid, sim.ko_dates);
    if (terms.ki_obs_freq == terms.ko_obs_freq) {
        sim.ki_ob_indexes = sim.ko_ob_indexes;
    } else {
        std::vector<Date> ki_dates;
        for (const Date& d : terms.ki_obs_dates)
            if (d >= evaluation_date) ki_dates.push_back(d);
        sim.ki_ob_indexes = mc::positions(sim.grid, ki_dates);
    }
    sim.model = mc::make_model(sim.grid, evaluation_date, market);
    return sim;
}

NoteSimulation prepare(const NoteTerms& terms, const NoteLegs& legs, const Date& evaluation_date,
                       const Date& maturity_date, double r, double q, double vol) {
    return prepare(terms, legs, evaluation_date, maturity_date, Market(1.0, r, vol, q));
}

namespace {

mc::Shocks shocks_of(const NoteTerms& terms) {
    return terms.engine == NoteEngine::qmc ? mc::Shocks::sobol : mc::Shocks::pseudo;
}

PayoffInputs sim_inputs(const NoteTerms& terms, const NoteSimulation& sim, double spot, const NoteCarry& carry) {
    PayoffInputs in = payoff_inputs(terms, spot, mc::Space::log, sim.model.discount, sim.ko_ob_indexes, sim.coupon,
                                    sim.unit, sim.maturity_coupon, carry);
    // Years from the evaluation date: the steps summed up to each grid day.
    std::vector<double> t(sim.grid.size());
    double elapsed = 0.0;
    for (std::size_t j = 0; j < t.size(); ++j) t[j] = elapsed += sim.grid.dtt[j];
    for (std::size_t i = 0; i < in.ko_time.size(); ++i) in.ko_time[i] = t[sim.ko_ob_indexes[i]];
    in.final_time = t.back();
    if (terms.engine == NoteEngine::qmc) {
        const mc::Terminal z = mc::terminal(sim.model);
        if (z.beta.back() > 0) {
            in.conditional = true;
            in.terminal_drift = z.drift;
            in.terminal_beta = z.beta.back();
            for (std::size_t j : sim.ko_ob_indexes) in.ko_beta.push_back(z.beta[j]);
        }
    }
    return in;
}

// The knock-in levels a leg tracks for its conditional inputs, each input
// given its row.
std::vector<double> ki_levels(std::vector<PayoffInputs>& inputs) {
    std::vector<double> levels;
    for (PayoffInputs& in : inputs)
        if (in.conditional) {
            in.ki_row = levels.size();
            levels.push_back(in.ki);
        }
    return levels;
}

}  // namespace

std::vector<ValueDeltaGamma> value_note_spots(const NoteTerms& terms, PayoffSum payoff, const NoteSimulation& sim,
                                              const std::vector<double>& spots, const NoteCarry& carry,
                                              bool delta_and_gamma) {
    // Each spot's value is the sum of its own payoff over the blocks, added in
    // block order: valuing more spots on the same blocks changes no value.
    const std::size_t per_spot = delta_and_gamma ? 3 : 1;
    std::vector<PayoffInputs> inputs;
    for (double spot : spots) {
        inputs.push_back(sim_inputs(terms, sim, spot, carry));
        if (delta_and_gamma) {
            inputs.push_back(sim_inputs(terms, sim, spot * 1.005, carry));
            inputs.push_back(sim_inputs(terms, sim, spot * 0.995, carry));
        }
    }
    const mc::Leg leg{&sim.model, sim.ki_ob_indexes, sim.ko_ob_indexes, inputs.size(), ki_levels(inputs)};
    const mc::Sums sums = mc::simulate_legs(
                              {leg},
                              [&](std::size_t, const mc::Observations& block, double* out) {
                                  for (std::size_t k = 0; k < inputs.size(); ++k)
                                      out[k] = payoff(inputs[k], block, nullptr);
                              },
                              shocks_of(terms))
                              .front();
    const double n = static_cast<double>(sums.paths);
    std::vector<ValueDeltaGamma> out(spots.size());
    for (std::size_t k = 0; k < spots.size(); ++k) {
        ValueDeltaGamma& v = out[k];
        const double* s = sums.values.data() + k * per_spot;
        v.npv = s[0] / n;
        if (delta_and_gamma) {
            const double p0 = v.npv, p1 = s[1] / n, p2 = s[2] / n;
            const double h = spots[k] * 0.005;
            v.delta = (p1 - p2) / (spots[k] * 0.01);
            v.gamma = (p1 + p2 - 2 * p0) / (h * h);
        }
    }
    return out;
}

std::vector<ValueDeltaGamma> note_spot_ladder(const NoteTerms& terms, PayoffSum payoff, pde::Rule rule,
                                              const NoteLegs& legs, const Date& maturity_date, const NoteState& state,
                                              const NoteCarry& carry, const std::vector<double>& spots,
                                              const Market& market, bool delta_and_gamma) {
    if (state.settled) return std::vector<ValueDeltaGamma>(spots.size());
    if (terms.engine == NoteEngine::pde) {
        std::vector<ValueDeltaGamma> out;
        for (double s : spots)
            out.push_back(value_note_pde(terms, rule, legs, state.evaluation_date, maturity_date, market.with_spot(s),
                                         state.knocked_in, delta_and_gamma));
        return out;
    }
    const NoteSimulation sim = prepare(terms, legs, state.evaluation_date, maturity_date, market);
    return value_note_spots(terms, payoff, sim, spots, carry, delta_and_gamma);
}

ValueDeltaGamma value_note(const NoteTerms& terms, PayoffSum payoff, const NoteSimulation& sim, double spot,
                           const NoteCarry& carry, bool delta_and_gamma) {
    return value_note_spots(terms, payoff, sim, {spot}, carry, delta_and_gamma).front();
}

OptionGreeks note_greeks(const NoteTerms& terms, PayoffSum payoff, const NoteLegs& legs, const Date& maturity_date,
                         const Market& market, const Date& evaluation_date, const NoteCarry& carry,
                         const NoteCheck& check) {
    const double spot = market.spot;
    // The valuations that simulate: a simulation, its carry and its spots.
    struct Valuation {
        NoteSimulation sim;
        std::vector<PayoffInputs> inputs;
    };
    std::vector<Valuation> valuations;
    auto add = [&](const Market& m, const Date& date, const NoteCarry& c, std::vector<double> spots) {
        Valuation v{prepare(terms, legs, date, maturity_date, m), {}};
        for (double s : spots) v.inputs.push_back(sim_inputs(terms, v.sim, s, c));
        valuations.push_back(std::move(v));
        return valuations.size() - 1;
    };
    constexpr std::size_t kSettled = static_cast<std::size_t>(-1);
    auto add_checked = [&](const Market& m, const Date& date) {
        const std::optional<NoteCarry> c = check(m, date);
        return c ? add(m, date, *c, {spot}) : kSettled;
    };
    const std::size_t centre = add(market, evaluation_date, carry, {spot, spot * 1.005, spot * 0.995});
    const std::size_t vol_up = add_checked(market.with_vol_shift(kVolBump), evaluation_date);
    const std::size_t vol_down = add_checked(market.with_vol_shift(-kVolBump), evaluation_date);
    const bool has_theta = maturity_date - evaluation_date > 1;
    std::size_t tomorrow = kSettled, today = kSettled;
    if (has_theta) {
        tomorrow = add_checked(market, evaluation_date + 1);
        // Today's valuation is the centre's unless its history check says otherwise.
        const std::optional<NoteCarry> c = check(market, evaluation_date);
        if (!c)
            today = kSettled;
        else if (c->knocked_in == carry.knocked_in && c->owed == carry.owed && c->owed_unit == carry.owed_unit)
            today = centre;
        else
            today = add(market, evaluation_date, *c, {spot});
    }
    const std::size_t r_up = add_checked(market.with_r_shift(kRateBump), evaluation_date);
    const std::size_t r_down = add_checked(market.with_r_shift(-kRateBump), evaluation_date);

    std::vector<mc::Leg> sim_legs;
    for (Valuation& v : valuations)
        sim_legs.push_back(
            mc::Leg{&v.sim.model, v.sim.ki_ob_indexes, v.sim.ko_ob_indexes, v.inputs.size(), ki_levels(v.inputs)});
    auto leg_payoff = [&](std::size_t k, const mc::Observations& block, double* out) {
        const Valuation& v = valuations[k];
        for (std::size_t i = 0; i < v.inputs.size(); ++i) out[i] = payoff(v.inputs[i], block, nullptr);
    };
    std::vector<mc::Sums> sums;
    if (terms.engine == NoteEngine::qmc) {
        // A Sobol point spans a grid's days and its bridge their times, so a
        // valuation takes the points of its own grid, as it does alone: the
        // valuations on the same grid (all but tomorrow's, as a rule) share
        // one pass.
        sums.resize(sim_legs.size());
        std::vector<bool> done(sim_legs.size(), false);
        for (std::size_t k = 0; k < sim_legs.size(); ++k) {
            if (done[k]) continue;
            std::vector<std::size_t> group;
            for (std::size_t i = k; i < sim_legs.size(); ++i)
                if (!done[i] && sim_legs[i].model->dtt == sim_legs[k].model->dtt) {
                    group.push_back(i);
                    done[i] = true;
                }
            std::vector<mc::Leg> legs;
            for (std::size_t i : group) legs.push_back(sim_legs[i]);
            std::vector<mc::Sums> s = mc::simulate_legs(
                legs,
                [&](std::size_t g, const mc::Observations& block, double* out) { leg_payoff(group[g], block, out); },
                mc::Shocks::sobol);
            for (std::size_t g = 0; g < group.size(); ++g) sums[group[g]] = std::move(s[g]);
        }
    } else {
        sums = mc::simulate_legs(sim_legs, leg_payoff);
    }
    auto value = [&](std::size_t k, std::size_t i = 0) {
        return k == kSettled ? 0.0 : sums[k].values[i] / static_cast<double>(sums[k].paths);
    };
    OptionGreeks g;
    g.npv = value(centre);
    const double p1 = value(centre, 1), p2 = value(centre, 2);
    const double h = spot * 0.005;
    g.delta = (p1 - p2) / (spot * 0.01);
    g.gamma = (p1 + p2 - 2 * g.npv) / (h * h);
    g.vega = (value(vol_up) - value(vol_down)) / 2;
    g.theta = has_theta ? value(tomorrow) - value(today) : 0.0;
    g.rho = value(r_down) - value(r_up);
    return g;
}

NoteTally tally_note(const NoteTerms& terms, PayoffSum payoff, const NoteSimulation& sim, double spot,
                     const NoteCarry& carry) {
    std::vector<PayoffInputs> inputs{sim_inputs(terms, sim, spot, carry)};
    const PayoffInputs& in = inputs.front();
    const std::size_t n_fields = kKnockedOut + in.ko.size();
    const mc::Leg leg{&sim.model, sim.ki_ob_indexes, sim.ko_ob_indexes, 1 + n_fields, ki_levels(inputs)};
    const mc::Sums sums = mc::simulate_legs(
                              {leg},
                              [&](std::size_t, const mc::Observations& block, double* out) {
                                  out[0] = payoff(in, block, out + 1);
                              },
                              shocks_of(terms))
                              .front();
    NoteTally t;
    t.paths = static_cast<double>(sums.paths);
    t.value = sums.values[0];
    for (const auto& r : sums.replicas) t.replica_values.push_back(r[0]);
    t.fields.assign(sums.values.begin() + 1, sums.values.end());
    return t;
}

namespace {

// Standard error of the mean of w from n, the sum of w and the sum of w^2.
double standard_error(double n, double sum, double sum_sq) {
    if (n < 2) return 0.0;
    const double mean = sum / n;
    const double var = std::max(sum_sq / n - mean * mean, 0.0) * n / (n - 1);
    return std::sqrt(var / n);
}

}  // namespace

NoteStatistics note_statistics(const NoteSimulation& sim, const NoteTally& tally) {
    const double n = tally.paths;
    NoteStatistics s;
    s.npv = tally.value / n;
    s.standard_error = standard_error(n, tally.value, tally.fields[kValueSq]);
    if (!tally.replica_values.empty()) {
        // The replicas are independent estimates of the value.
        const double R = static_cast<double>(tally.replica_values.size()), per = n / R;
        double sum = 0.0, sum_sq = 0.0;
        for (double v : tally.replica_values) {
            sum += v / per;
            sum_sq += (v / per) * (v / per);
        }
        s.standard_error = standard_error(R, sum, sum_sq);
    }
    s.ko_dates = sim.ko_dates;
    for (std::size_t i = 0; i < sim.ko_dates.size(); ++i) {
        s.ko_probability.push_back(tally.fields[kKnockedOut + i] / n);
        s.ko_total += tally.fields[kKnockedOut + i];
    }
    s.ko_total /= n;
    s.ki_probability = tally.fields[kKnockedIn] / n;
    s.loss_probability = tally.fields[kLoss] / n;
    s.expected_life = tally.fields[kLife] / n;
    return s;
}

FairCoupon fair_coupon(const NoteTerms& terms, const NoteTally& tally, double target) {
    if (!std::isfinite(target)) throw ValueError("target must be finite, not " + num(target));
    const double n = tally.paths;
    const double V = tally.value / n, U = tally.fields[kUnit] / n;
    if (!(std::fabs(U) > 0))
        throw ValueError("no coupon left to solve for: no remaining knock-out date pays a coupon on any path");
    const double d = (target - V) / U;
    // w = v + d u per path has mean target: its spread gives the error of d.
    const double sum_w = tally.value + d * tally.fields[kUnit];
    const double sum_w2 =
        tally.fields[kValueSq] + 2 * d * tally.fields[kCross] + d * d * tally.fields[kUnitSq];
    return FairCoupon{terms.coupon_rate + d, standard_error(n, sum_w, sum_w2) / std::fabs(U)};
}

pde::Note pde_note(const NoteTerms& terms, pde::Rule rule, const NoteLegs& legs, const Date& evaluation_date,
                   const Date& maturity_date, const Market& market, bool knocked_in, double rate_shift) {
    if (terms.memory)
        throw NotImplementedError("the pde engine does not value a memory phoenix (\"memory\": true): it has no "
                                  "owed-coupon state; use \"engine\": \"mc\"");
    const NoteSimulation sim = prepare(terms, legs, evaluation_date, maturity_date, market);
    auto time = [&](std::size_t j) { return static_cast<double>(sim.grid.dates[j] - evaluation_date) / 365.0; };
    const std::size_t K = sim.ko_ob_indexes.size();
    const std::size_t skip = terms.ko_barriers.size() - K;  // knock-out dates already past
    pde::Note n;
    n.rule = rule;
    for (std::size_t i = 0; i < K; ++i) {
        const double coupon_barrier =
            terms.coupon_barriers.empty() ? terms.ki_barrier : terms.coupon_barriers[skip + i];
        n.knock_out.push_back({time(sim.ko_ob_indexes[i]), terms.ko_barriers[skip + i],
                               sim.coupon[i] + rate_shift * sim.unit[i], coupon_barrier});
    }
    for (std::size_t j : sim.ki_ob_indexes) n.knock_in.push_back(time(j));
    n.ki_barrier = terms.ki_barrier;
    n.strike = terms.strike;
    n.floor_price = terms.floor_price;
    n.maturity = time(sim.grid.size() - 1);
    if (rule == pde::Rule::snowball && K > 0) {
        // A given maturity coupon does not move with the coupon rate.
        n.non_touch_coupon = sim.maturity_coupon ? *sim.maturity_coupon : n.knock_out.back().coupon;
        n.non_touch_time = n.knock_out.back().time;
    }
    n.knocked_in = knocked_in;
    if (market.is_flat()) {
        n.r = market.r.number();
        n.q = market.q.number();
        n.vol = market.vol.number();
        return n;
    }
    // Each grid step's forward r, q and vol: its drift, variance and discount
    // factors over its length.
    const mc::Model& model = sim.model;
    double previous = 0.0, discount = 1.0;
    for (std::size_t j = 0; j < sim.grid.size(); ++j) {
        const double t = time(j), span = t - previous;
        if (span <= 0) continue;
        const double r = -std::log(model.discount[j] / discount) / span;
        const double v2 = model.diffusion[j] * model.diffusion[j] / span;
        // drift = (r - q - v2 / 2) span
        const double q = r - v2 / 2 - model.drift[j] / span;
        n.segments.push_back({t, r, q, std::sqrt(v2)});
        previous = t;
        discount = model.discount[j];
    }
    return n;
}

pde::Note pde_note(const NoteTerms& terms, pde::Rule rule, const NoteLegs& legs, const Date& evaluation_date,
                   const Date& maturity_date, double r, double q, double vol, bool knocked_in, double rate_shift) {
    return pde_note(terms, rule, legs, evaluation_date, maturity_date, Market(1.0, r, vol, q), knocked_in,
                    rate_shift);
}

ValueDeltaGamma value_note_pde(const NoteTerms& terms, pde::Rule rule, const NoteLegs& legs,
                               const Date& evaluation_date, const Date& maturity_date, const Market& market,
                               bool knocked_in, bool delta_and_gamma) {
    const pde::Note note = pde_note(terms, rule, legs, evaluation_date, maturity_date, market, knocked_in);
    const pde::Solution s = pde::solve(note, market.spot, delta_and_gamma);
    return ValueDeltaGamma{s.npv, s.delta, s.gamma};
}

FairCoupon fair_coupon_pde(const NoteTerms& terms, pde::Rule rule, const NoteLegs& legs, const Date& evaluation_date,
                           const Date& maturity_date, const Market& market, bool knocked_in, double target) {
    if (!std::isfinite(target)) throw ValueError("target must be finite, not " + num(target));
    const auto value = [&](double shift) {
        return pde::solve(pde_note(terms, rule, legs, evaluation_date, maturity_date, market, knocked_in, shift),
                          market.spot, false)
            .npv;
    };
    // The coupons enter the backward solution linearly: V(x) = V + x U.
    const double V = value(0.0), U = value(1.0) - V;
    if (!(std::fabs(U) > 0))
        throw ValueError("no coupon left to solve for: no remaining knock-out date pays a coupon");
    return FairCoupon{terms.coupon_rate + (target - V) / U, 0.0};
}

void no_pde_statistics() {
    throw NotImplementedError("statistics count knock-outs, knock-ins and losses over simulated paths: the pde "
                              "engine has none; use \"engine\": \"mc\"");
}

}  // namespace kestrel::detail
