#include <kestrel/phoenix.hpp>

#include <algorithm>
#include <limits>
#include <vector>

namespace kestrel {
namespace {

using detail::normal_cdf;

// The same payoff with each path's terminal normal Z integrated out (on
// "qmc"). Given the residual, the path is alive on date i for Z up to the
// running minimum of the knock-out thresholds before it (probability A_i), and
// earns date i's coupon for Z at or above its coupon threshold (F_i = P(Z
// below it)): P(coupon i) = (A_i - F_i)+. With memory, coupon l < i is paid on
// date i when dates l .. i-1 all missed: P = (min(A_i, F_l, ..., F_{i-1}) -
// F_i)+. The loss is the snowball's: an integral over Z below the knock-in
// threshold and the last running minimum.
double phoenix_conditional(const detail::PayoffInputs& in, const detail::mc::Observations& paths, double* tally) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const std::size_t n = paths.n, m = paths.m;
    const double s = in.terminal_beta;
    const detail::ConditionalLoss expected_loss(in.terminal_drift, s, in.strike, in.floor);
    std::vector<double> alive(m + 1), missed(m);
    double total = 0.0;
    for (std::size_t p = 0; p < n; ++p) {
        const double z = (paths.x_final[p] - in.terminal_drift) / s;
        double run = kInf;
        alive[0] = 1.0;
        for (std::size_t i = 0; i < m; ++i) {
            const double level = paths.ko[i * n + p];
            const double e = detail::threshold_above(in.ko[i], level, in.ko_beta[i], z, false);
            if (e < run) run = e;
            alive[i + 1] = e < kInf ? std::min(alive[i], normal_cdf(e)) : alive[i];
            missed[i] = normal_cdf(detail::threshold_above(in.coupon_level[i], level, in.ko_beta[i], z, true));
        }
        double c = 0.0, u = 0.0, life = 0.0;
        for (std::size_t i = 0; i < m; ++i) {
            const double paid = std::max(alive[i] - missed[i], 0.0);
            if (!in.memory) {
                c += paid * in.coupon_pv[i];
                u += paid * in.unit_pv[i];
            } else {
                double amount = paid * in.coupon[i], unit = paid * in.unit[i];
                double bound = alive[i];  // of missing every date from l to i - 1, and alive
                std::size_t l = i;
                for (; l > 0; --l) {
                    bound = std::min(bound, missed[l - 1]);
                    const double w = bound - missed[i];
                    if (!(w > 0)) break;
                    amount += w * in.coupon[l - 1];
                    unit += w * in.unit[l - 1];
                }
                if (l == 0) {  // every date before missed: what was owed comes too
                    const double w = std::max(bound - missed[i], 0.0);
                    amount += w * in.owed;
                    unit += w * in.owed_unit;
                }
                c += amount * in.ko_discount[i];
                u += unit * in.ko_discount[i];
            }
            if (tally) {
                const double out = alive[i] - alive[i + 1];
                life += out * in.ko_time[i];
                tally[detail::kKnockedOut + i] += out;
            }
        }
        const double g = in.knocked_in ? kInf : paths.ki_excess[in.ki_row * n + p] + z;
        const double upper = std::min(run, g);
        double p_loss = 0.0;
        const double l = expected_loss(upper, p_loss);
        const double v = c + l * in.final_discount * in.spot;
        total += v;
        if (tally) detail::tally_conditional(tally, v, u, normal_cdf(upper), p_loss, life + alive[m] * in.final_time);
    }
    return total;
}

// The phoenix's payoff over observed paths: on each knock-out date while
// alive, the coupon at or above its coupon barrier (with memory, with every
// coupon owed since the last one paid), then the knock-out strictly above its
// knock-out level; the loss below the strike (the final price floored at
// floor_price) when knocked in and never knocked out.
double phoenix_payoff(const detail::PayoffInputs& in, const detail::mc::Observations& paths, double* tally) {
    if (in.conditional) return phoenix_conditional(in, paths, tally);
    const std::size_t n = paths.n, m = paths.m;
    double coupons = 0.0, loss = 0.0;
    for (std::size_t p = 0; p < n; ++p) {
        bool alive = true;
        std::size_t at = m;
        double c = 0.0, u = 0.0, owed = in.owed, owed_unit = in.owed_unit;
        for (std::size_t i = 0; i < m && alive; ++i) {
            const double level = paths.ko[i * n + p];
            if (level >= in.coupon_level[i]) {
                if (in.memory) {
                    const double pay = (owed + in.coupon[i]) * in.ko_discount[i];
                    coupons += pay;
                    c += pay;
                    u += (owed_unit + in.unit[i]) * in.ko_discount[i];
                    owed = owed_unit = 0.0;
                } else {
                    coupons += in.coupon_pv[i];
                    c += in.coupon_pv[i];
                    u += in.unit_pv[i];
                }
            } else if (in.memory) {
                owed += in.coupon[i];
                owed_unit += in.unit[i];
            }
            alive = !(level > in.ko[i]);
            if (!alive) at = i;
        }
        double l = 0.0;
        const bool ends_knocked_in = alive && (in.knocked_in || paths.ki_min[p] < in.ki);
        if (ends_knocked_in) {
            const double final = in.floor ? std::max(paths.final[p], *in.floor) : paths.final[p];
            l = std::min(final - in.strike, 0.0);
            loss += l;
        }
        if (tally) detail::tally_path(in, tally, c, u, l, at, ends_knocked_in);
    }
    return coupons + loss * in.final_discount * in.spot;
}

}  // namespace

PhoenixOption::PhoenixOption(const Terms& option)
    : AutocallableNote(option, detail::NoteKind::phoenix, &phoenix_payoff, detail::pde::Rule::phoenix) {
    // The finite-difference engine has no owed-coupon state.
    if (terms_.memory && terms_.engine == detail::NoteEngine::pde)
        throw NotImplementedError("the pde engine does not value a memory phoenix (\"memory\": true); "
                                  "use \"engine\": \"mc\"");
    const auto& dates = terms_.ko_obs_dates;
    if (dates.empty())
        throw IndexError("the knock-out schedule is empty (obs_start_date " + utils::format_date(terms_.obs_start_date) +
                         ", obs_end_date " + utils::format_date(terms_.obs_end_date) + ", ko_obs_freq " +
                         terms_.ko_obs_freq.to_string() + "): no first coupon");
    // Each coupon accrues over its own period at its own date's rate: the
    // first from the effect date, each later one from the previous knock-out
    // date.
    const double s0 = s0_number();
    legs_.coupon.reserve(dates.size());
    legs_.unit.reserve(dates.size());
    for (std::size_t i = 0; i < dates.size(); ++i) {
        const QuantLib::Date& from = i == 0 ? effect_date() : dates[i - 1];
        const double days = static_cast<double>(dates[i] - from);
        legs_.coupon.push_back(s0 * terms_.coupon_rates[i] * days / 365.0);
        legs_.unit.push_back(s0 * days / 365.0);
    }
}

detail::NoteCarry PhoenixOption::carry(const detail::NoteState& state) const {
    detail::NoteCarry c{state.knocked_in, 0.0, 0.0};
    for (std::size_t i : state.owed) {
        c.owed += legs_.coupon[i];
        c.owed_unit += legs_.unit[i];
    }
    return c;
}

double PhoenixOption::_mc_pricing(const random_sample::Matrix& paths, double spot,
                                  const std::vector<std::size_t>& ki_ob_indexes,
                                  const std::vector<std::size_t>& ko_ob_indexes, const std::vector<double>& discount,
                                  const std::vector<double>& coupon, bool knocked_in, double owed_coupon) const {
    return detail::price_paths(terms_, &phoenix_payoff, paths, spot, ki_ob_indexes, ko_ob_indexes, discount, coupon,
                               std::nullopt, detail::NoteCarry{knocked_in, owed_coupon, 0.0});
}

}  // namespace kestrel
