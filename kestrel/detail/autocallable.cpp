#include <heron/heron.hpp>
#include <kestrel/detail/autocallable.hpp>
#include <kestrel/utils.hpp>

#include <string>

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

}  // namespace

const std::vector<std::pair<std::string, NoteEngine>> NOTE_ENGINE_MAP = {
    {"mc", NoteEngine::mc},
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

NoteTerms read_note_terms(const Terms& option, const Date& maturity_date) {
    NoteTerms t;
    t.strike = option.number("strike");
    t.ki_barrier = option.number("ki_barrier");
    t.ko_barrier = option.number("ko_barrier");
    t.coupon_rate = option.number("coupon_rate");
    t.ki_obs_freq = option.at("ki_obs_freq");
    t.ko_obs_freq = option.at("ko_obs_freq");
    t.obs_start_date = option.date("obs_start_date");
    t.obs_end_date = option.date("obs_end_date");
    t.ki_obs_dates = schedule(t.obs_start_date, t.obs_end_date, t.ki_obs_freq, "ki_obs_freq");
    t.ko_obs_dates = schedule(t.obs_start_date, t.obs_end_date, t.ko_obs_freq, "ko_obs_freq");
    check_within_maturity(t.ki_obs_dates, maturity_date, "knock-in");
    check_within_maturity(t.ko_obs_dates, maturity_date, "knock-out");
    if (const Value* engine = option.find("engine")) t.engine = note_engine(engine->as_text("engine"));
    return t;
}

NoteState note_state(const std::string& underlying, const Date& effect_date, const Date& maturity_date,
                     const NoteTerms& terms, double spot, double r, double vol, double q,
                     const EvalDate& evaluation_date) {
    check_market_inputs(spot, r, vol, q);
    NoteState state;
    state.evaluation_date = eval_or_today(evaluation_date);
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
    for (const Date& d : terms.ko_obs_dates)
        if (d <= last && close(d) > terms.ko_barrier) state.settled = true;
    if (state.settled) return state;
    for (const Date& d : terms.ki_obs_dates)
        if (d <= last && close(d) < terms.ki_barrier) state.knocked_in = true;
    return state;
}

PayoffInputs payoff_inputs(const NoteTerms& terms, double spot, mc::Space space, const std::vector<double>& discount,
                           const std::vector<std::size_t>& ko_ob_indexes, const std::vector<double>& coupon,
                           bool knocked_in) {
    if (coupon.size() != ko_ob_indexes.size())
        throw ValueError(std::to_string(coupon.size()) + " coupons for " + std::to_string(ko_ob_indexes.size()) +
                         " knock-out positions");
    if (discount.empty()) throw ValueError("no discount factor: the grid has no day");
    PayoffInputs in;
    in.ki = mc::relative_level(terms.ki_barrier, spot, space);
    in.ko = mc::relative_level(terms.ko_barrier, spot, space);
    in.strike = terms.strike / spot;
    in.spot = spot;
    in.coupon_pv.resize(coupon.size());
    for (std::size_t i = 0; i < coupon.size(); ++i) {
        if (ko_ob_indexes[i] >= discount.size())
            throw IndexError("knock-out position " + std::to_string(ko_ob_indexes[i]) + " is outside the " +
                             std::to_string(discount.size()) + " discount factors");
        in.coupon_pv[i] = coupon[i] * discount[ko_ob_indexes[i]];
    }
    in.final_discount = discount.back();
    in.knocked_in = knocked_in;
    return in;
}

double price_paths(const NoteTerms& terms, PayoffSum payoff, const mc::Matrix& paths, double spot,
                   const std::vector<std::size_t>& ki_ob_indexes, const std::vector<std::size_t>& ko_ob_indexes,
                   const std::vector<double>& discount, const std::vector<double>& coupon, bool knocked_in) {
    if (paths.rows() == 0) throw ValueError("no paths to value");
    if (discount.size() != paths.cols())
        throw ValueError(std::to_string(discount.size()) + " discount factors for paths of " +
                         std::to_string(paths.cols()) + " grid days");
    const mc::MatrixObservations observed(paths, ki_ob_indexes, ko_ob_indexes);
    const PayoffInputs in = payoff_inputs(terms, spot, mc::Space::price, discount, ko_ob_indexes, coupon, knocked_in);
    return payoff(in, observed.view()) / static_cast<double>(paths.rows());
}

NoteSimulation prepare(const NoteTerms& terms, const std::vector<double>& coupon, const Date& evaluation_date,
                       const Date& maturity_date, double r, double q, double vol) {
    NoteSimulation sim;
    sim.grid = mc::make_grid(evaluation_date, maturity_date);
    if (sim.grid.size() == 0)
        throw ValueError("no trading day from " + utils::format_date(evaluation_date) + " to maturity_date " +
                         utils::format_date(maturity_date));
    std::vector<Date> ko_dates;
    for (std::size_t i = 0; i < terms.ko_obs_dates.size(); ++i)
        if (terms.ko_obs_dates[i] >= evaluation_date) {
            ko_dates.push_back(terms.ko_obs_dates[i]);
            sim.coupon.push_back(coupon[i]);
        }
    sim.ko_ob_indexes = mc::positions(sim.grid, ko_dates);
    if (terms.ki_obs_freq == terms.ko_obs_freq) {
        sim.ki_ob_indexes = sim.ko_ob_indexes;
    } else {
        std::vector<Date> ki_dates;
        for (const Date& d : terms.ki_obs_dates)
            if (d >= evaluation_date) ki_dates.push_back(d);
        sim.ki_ob_indexes = mc::positions(sim.grid, ki_dates);
    }
    sim.model = mc::make_model(sim.grid, r, q, vol);
    return sim;
}

ValueDeltaGamma value_note(const NoteTerms& terms, PayoffSum payoff, const NoteSimulation& sim, double spot,
                           bool knocked_in, bool delta_and_gamma) {
    std::vector<double> spots{spot};
    if (delta_and_gamma) {
        spots.push_back(spot * 1.005);
        spots.push_back(spot * 0.995);
    }
    std::vector<PayoffInputs> inputs;
    for (double s : spots)
        inputs.push_back(
            payoff_inputs(terms, s, mc::Space::log, sim.model.discount, sim.ko_ob_indexes, sim.coupon, knocked_in));
    const mc::Sums sums = mc::simulate(sim.model, sim.ki_ob_indexes, sim.ko_ob_indexes, spots.size(),
                                       [&](const mc::Observations& block, double* out) {
                                           for (std::size_t k = 0; k < inputs.size(); ++k)
                                               out[k] = payoff(inputs[k], block);
                                       });
    const double n = static_cast<double>(sums.paths);
    ValueDeltaGamma v;
    v.npv = sums.values[0] / n;
    if (delta_and_gamma) {
        const double p0 = v.npv, p1 = sums.values[1] / n, p2 = sums.values[2] / n;
        const double h = spot * 0.005;
        v.delta = (p1 - p2) / (spot * 0.01);
        v.gamma = (p1 + p2 - 2 * p0) / (h * h);
    }
    return v;
}

pde::Note pde_note(const NoteTerms& terms, pde::Rule rule, const std::vector<double>& coupon,
                   const Date& evaluation_date, const Date& maturity_date, double r, double q, double vol,
                   bool knocked_in) {
    const NoteSimulation sim = prepare(terms, coupon, evaluation_date, maturity_date, r, q, vol);
    auto time = [&](std::size_t j) { return static_cast<double>(sim.grid.dates[j] - evaluation_date) / 365.0; };
    pde::Note n;
    n.rule = rule;
    for (std::size_t i = 0; i < sim.ko_ob_indexes.size(); ++i)
        n.knock_out.push_back({time(sim.ko_ob_indexes[i]), terms.ko_barrier, sim.coupon[i], terms.ki_barrier});
    for (std::size_t j : sim.ki_ob_indexes) n.knock_in.push_back(time(j));
    n.ki_barrier = terms.ki_barrier;
    n.strike = terms.strike;
    n.maturity = time(sim.grid.size() - 1);
    if (rule == pde::Rule::snowball && !n.knock_out.empty()) {
        n.non_touch_coupon = n.knock_out.back().coupon;
        n.non_touch_time = n.knock_out.back().time;
    }
    n.knocked_in = knocked_in;
    n.r = r;
    n.q = q;
    n.vol = vol;
    return n;
}

ValueDeltaGamma value_note_pde(const NoteTerms& terms, pde::Rule rule, const std::vector<double>& coupon,
                               const Date& evaluation_date, const Date& maturity_date, double spot, double r,
                               double q, double vol, bool knocked_in, bool delta_and_gamma) {
    const pde::Note note = pde_note(terms, rule, coupon, evaluation_date, maturity_date, r, q, vol, knocked_in);
    const pde::Solution s = pde::solve(note, spot, delta_and_gamma);
    return ValueDeltaGamma{s.npv, s.delta, s.gamma};
}

}  // namespace kestrel::detail
