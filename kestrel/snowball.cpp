#include <kestrel/snowball.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

namespace kestrel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
using detail::normal_cdf;

// The same payoff with each path's terminal normal Z integrated out (on
// "qmc"): given the residual, the path knocks out on date i for Z above a
// threshold e_i, so first on date i between the running minima of the
// thresholds; it knocks in for Z below g (the highest of its days'); the
// loss is an integral of the final price over Z below both.
double snowball_conditional(const detail::PayoffInputs& in, const detail::mc::Observations& paths, double* tally) {
    const std::size_t n = paths.n, m = paths.m;
    const double s = in.terminal_beta;
    const detail::ConditionalLoss expected_loss(in.terminal_drift, s, in.strike, in.floor);
    double total = 0.0;
    for (std::size_t p = 0; p < n; ++p) {
        const double z = (paths.x_final[p] - in.terminal_drift) / s;
        double run = kInf, survive = 1.0, c = 0.0, u = 0.0, life = 0.0;
        for (std::size_t i = 0; i < m; ++i) {
            const double e = detail::threshold_above(in.ko[i], paths.ko[i * n + p], in.ko_beta[i], z, false);
            if (!(e < run)) continue;
            run = e;
            const double below = normal_cdf(run);
            const double out = survive - below;  // first out on date i
            survive = below;
            c += out * in.coupon_pv[i];
            if (tally) {
                u += out * in.unit_pv[i];
                life += out * in.ko_time[i];
                tally[detail::kKnockedOut + i] += out;
            }
        }
        const double g = in.knocked_in ? kInf : paths.ki_excess[in.ki_row * n + p] + z;
        // Neither in nor out: g <= Z <= run.
        const double untouched = g < run ? survive - normal_cdf(g) : 0.0;
        if (m > 0) {
            c += untouched * in.maturity_pv;
            u += untouched * in.maturity_unit_pv;
        }
        const double upper = std::min(run, g);
        double p_loss = 0.0;
        const double l = expected_loss(upper, p_loss);
        const double v = c + l * in.final_discount * in.spot;
        total += v;
        if (tally) detail::tally_conditional(tally, v, u, normal_cdf(upper), p_loss, life + survive * in.final_time);
    }
    return total;
}

// The snowball's payoff over observed paths: the first knock-out date's
// coupon (each date against its own level); the maturity coupon when the path
// neither knocks in nor knocks out; the loss below the strike (the final price
// floored at floor_price) when knocked in and never knocked out.
double snowball_payoff(const detail::PayoffInputs& in, const detail::mc::Observations& paths, double* tally) {
    if (in.conditional) return snowball_conditional(in, paths, tally);
    const std::size_t n = paths.n, m = paths.m;
    double coupons = 0.0, loss = 0.0;
    for (std::size_t p = 0; p < n; ++p) {
        std::size_t at = m;
        for (std::size_t i = 0; i < m; ++i)
            if (paths.ko[i * n + p] > in.ko[i]) {
                at = i;
                break;
            }
        if (at < m) {
            coupons += in.coupon_pv[at];
            if (tally) detail::tally_path(in, tally, in.coupon_pv[at], in.unit_pv[at], 0.0, at, false);
            continue;
        }
        const bool knocked_in = in.knocked_in || paths.ki_min[p] < in.ki;
        if (knocked_in) {
            const double final = in.floor ? std::max(paths.final[p], *in.floor) : paths.final[p];
            const double l = std::min(final - in.strike, 0.0);
            loss += l;
            if (tally) detail::tally_path(in, tally, 0.0, 0.0, l, m, true);
        } else if (m > 0) {
            coupons += in.maturity_pv;
            if (tally) detail::tally_path(in, tally, in.maturity_pv, in.maturity_unit_pv, 0.0, m, false);
        } else if (tally) {
            detail::tally_path(in, tally, 0.0, 0.0, 0.0, m, false);
        }
    }
    return coupons + loss * in.final_discount * in.spot;
}

}  // namespace

SnowBallOption::SnowBallOption(const Terms& option)
    : AutocallableNote(option, detail::NoteKind::snowball, &snowball_payoff, detail::pde::Rule::snowball) {
    // Every coupon accrues from obs_start_date, at its own date's rate.
    const double s0 = s0_number();
    const auto& dates = terms_.ko_obs_dates;
    legs_.coupon.reserve(dates.size());
    legs_.unit.reserve(dates.size());
    for (std::size_t i = 0; i < dates.size(); ++i) {
        const double days = static_cast<double>(dates[i] - terms_.obs_start_date);
        legs_.coupon.push_back(s0 * terms_.coupon_rates[i] * days / 365.0);
        legs_.unit.push_back(s0 * days / 365.0);
    }
    if (terms_.maturity_coupon_rate && !dates.empty())
        legs_.maturity_coupon =
            s0 * *terms_.maturity_coupon_rate * static_cast<double>(dates.back() - terms_.obs_start_date) / 365.0;
}

double SnowBallOption::_mc_pricing(const random_sample::Matrix& paths, double spot,
                                   const std::vector<std::size_t>& ki_ob_indexes,
                                   const std::vector<std::size_t>& ko_ob_indexes, const std::vector<double>& discount,
                                   const std::vector<double>& coupon, bool knocked_in) const {
    return detail::price_paths(terms_, &snowball_payoff, paths, spot, ki_ob_indexes, ko_ob_indexes, discount, coupon,
                               legs_.maturity_coupon, detail::NoteCarry{knocked_in, 0.0, 0.0});
}

}  // namespace kestrel
