#include <kestrel/phoenix.hpp>

#include <algorithm>

namespace kestrel {
namespace {

// The phoenix's payoff over observed paths: on each knock-out date while
// alive, the coupon at or above the knock-in barrier, then the knock-out
// strictly above the knock-out barrier; the loss below the strike when
// knocked in and never knocked out.
double phoenix_payoff(const detail::PayoffInputs& in, const detail::mc::Observations& paths) {
    const std::size_t n = paths.n, m = paths.m;
    double coupons = 0.0, loss = 0.0;
    for (std::size_t p = 0; p < n; ++p) {
        bool alive = true;
        for (std::size_t i = 0; i < m && alive; ++i) {
            const double level = paths.ko[i * n + p];
            if (level >= in.ki) coupons += in.coupon_pv[i];
            alive = !(level > in.ko);
        }
        if (alive && (in.knocked_in || paths.ki_min[p] < in.ki)) loss += std::min(paths.final[p] - in.strike, 0.0);
    }
    return coupons + loss * in.final_discount * in.spot;
}

}  // namespace

PhoenixOption::PhoenixOption(const Terms& option)
    : BaseOption(option), terms_(detail::read_note_terms(option, maturity_date())) {
    // The finite-difference engine has no owed-coupon state.
    if (const Value* memory = option.find("memory");
        memory && terms_.engine == detail::NoteEngine::pde && *memory == Value(true))
        throw NotImplementedError("the pde engine does not value a memory phoenix (\"memory\": true); "
                                  "use \"engine\": \"mc\"");
    const auto& dates = terms_.ko_obs_dates;
    if (dates.empty())
        throw IndexError("the knock-out schedule is empty (obs_start_date " + utils::format_date(terms_.obs_start_date) +
                         ", obs_end_date " + utils::format_date(terms_.obs_end_date) + ", ko_obs_freq " +
                         terms_.ko_obs_freq.to_string() + "): no first coupon");
    // Each coupon accrues over its own period: the first from the effect date,
    // each later one from the previous knock-out date.
    const double per_year = s0_number() * terms_.coupon_rate;
    coupon_.reserve(dates.size());
    for (std::size_t i = 0; i < dates.size(); ++i) {
        const QuantLib::Date& from = i == 0 ? effect_date() : dates[i - 1];
        coupon_.push_back(per_year * static_cast<double>(dates[i] - from) / 365.0);
    }
}

double PhoenixOption::npv(double spot, double r, double vol, double q, const EvalDate& evaluation_date) {
    const auto state = detail::note_state(underlying_id(), effect_date(), maturity_date(), terms_, spot, r, vol, q,
                                          evaluation_date);
    if (state.settled) return 0.0;
    return _npv(spot, r, vol, q, state.evaluation_date, state.knocked_in).npv;
}

OptionGreeks PhoenixOption::greeks(double spot, double r, double vol, double q, const EvalDate& evaluation_date) {
    const auto state = detail::note_state(underlying_id(), effect_date(), maturity_date(), terms_, spot, r, vol, q,
                                          evaluation_date);
    if (state.settled) return OptionGreeks{};
    const EvalDate e = state.evaluation_date;
    const auto v = _npv(spot, r, vol, q, e, state.knocked_in, true);
    const double vg = vega(spot, r, vol, q, e);
    const double th = theta(spot, r, vol, q, e);
    const double rh = rho(spot, r, vol, q, e);
    return OptionGreeks{v.npv, v.delta, v.gamma, vg, th, rh};
}

double PhoenixOption::_mc_pricing(const random_sample::Matrix& paths, double spot,
                                  const std::vector<std::size_t>& ki_ob_indexes,
                                  const std::vector<std::size_t>& ko_ob_indexes, const std::vector<double>& discount,
                                  const std::vector<double>& coupon, bool knocked_in) const {
    return detail::price_paths(terms_, &phoenix_payoff, paths, spot, ki_ob_indexes, ko_ob_indexes, discount, coupon,
                               knocked_in);
}

detail::ValueDeltaGamma PhoenixOption::_npv(double spot, double r, double vol, double q,
                                            const EvalDate& evaluation_date, bool knocked_in,
                                            bool delta_and_gamma) const {
    if (terms_.engine == detail::NoteEngine::pde)
        return detail::value_note_pde(terms_, detail::pde::Rule::phoenix, coupon_, eval_or_today(evaluation_date),
                                      maturity_date(), spot, r, q, vol, knocked_in, delta_and_gamma);
    const auto sim = detail::prepare(terms_, coupon_, eval_or_today(evaluation_date), maturity_date(), r, q, vol);
    return detail::value_note(terms_, &phoenix_payoff, sim, spot, knocked_in, delta_and_gamma);
}

}  // namespace kestrel
