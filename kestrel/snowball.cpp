#include <kestrel/snowball.hpp>

#include <algorithm>

namespace kestrel {
namespace {

// The snowball's payoff over observed paths: the first knock-out date's
// coupon; the last coupon when the path neither knocks in nor knocks out; the
// loss below the strike when knocked in and never knocked out.
double snowball_payoff(const detail::PayoffInputs& in, const detail::mc::Observations& paths) {
    const std::size_t n = paths.n, m = paths.m;
    double coupons = 0.0, loss = 0.0;
    for (std::size_t p = 0; p < n; ++p) {
        bool alive = true;
        for (std::size_t i = 0; i < m; ++i)
            if (paths.ko[i * n + p] > in.ko) {
                coupons += in.coupon_pv[i];
                alive = false;
                break;
            }
        if (!alive) continue;
        const bool knocked_in = in.knocked_in || paths.ki_min[p] < in.ki;
        if (knocked_in)
            loss += std::min(paths.final[p] - in.strike, 0.0);
        else if (m > 0)
            coupons += in.coupon_pv[m - 1];
    }
    return coupons + loss * in.final_discount * in.spot;
}

}  // namespace

SnowBallOption::SnowBallOption(const Terms& option)
    : BaseOption(option), terms_(detail::read_note_terms(option, maturity_date())) {
    // Every coupon accrues from obs_start_date.
    const double per_year = s0_number() * terms_.coupon_rate;
    coupon_.reserve(terms_.ko_obs_dates.size());
    for (const auto& d : terms_.ko_obs_dates)
        coupon_.push_back(per_year * static_cast<double>(d - terms_.obs_start_date) / 365.0);
}

double SnowBallOption::npv(double spot, double r, double vol, double q, const EvalDate& evaluation_date) {
    const auto state = detail::note_state(underlying_id(), effect_date(), maturity_date(), terms_, spot, r, vol, q,
                                          evaluation_date);
    if (state.settled) return 0.0;
    return _npv(spot, r, vol, q, state.evaluation_date, state.knocked_in).npv;
}

OptionGreeks SnowBallOption::greeks(double spot, double r, double vol, double q, const EvalDate& evaluation_date) {
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

double SnowBallOption::_mc_pricing(const random_sample::Matrix& paths, double spot,
                                   const std::vector<std::size_t>& ki_ob_indexes,
                                   const std::vector<std::size_t>& ko_ob_indexes, const std::vector<double>& discount,
                                   const std::vector<double>& coupon, bool knocked_in) const {
    return detail::price_paths(terms_, &snowball_payoff, paths, spot, ki_ob_indexes, ko_ob_indexes, discount, coupon,
                               knocked_in);
}

detail::ValueDeltaGamma SnowBallOption::_npv(double spot, double r, double vol, double q,
                                             const EvalDate& evaluation_date, bool knocked_in,
                                             bool delta_and_gamma) const {
    if (terms_.engine == detail::NoteEngine::pde)
        return detail::value_note_pde(terms_, detail::pde::Rule::snowball, coupon_, eval_or_today(evaluation_date),
                                      maturity_date(), spot, r, q, vol, knocked_in, delta_and_gamma);
    const auto sim = detail::prepare(terms_, coupon_, eval_or_today(evaluation_date), maturity_date(), r, q, vol);
    return detail::value_note(terms_, &snowball_payoff, sim, spot, knocked_in, delta_and_gamma);
}

}  // namespace kestrel
