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

}  // namespace kestrel::detail
