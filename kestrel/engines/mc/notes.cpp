#include <kestrel/calendar.hpp>
#include <kestrel/engines/mc/notes.hpp>
#include <kestrel/utils.hpp>

#include <algorithm>
#include <cmath>
#include <string>

namespace kestrel::detail {
namespace {

// Shortest text that reads back as the same double.
constexpr auto num = utils::format_exact;

}  // namespace

namespace {

PayoffInputs sim_inputs(const NoteTerms& terms, const NoteSimulation& sim, double spot, const NoteCarry& carry,
                        mc::Shocks shocks) {
    PayoffInputs in = payoff_inputs(terms, spot, mc::Space::log, sim.model.discount, sim.ko_ob_indexes, sim.coupon,
                                    sim.unit, sim.maturity_coupon, carry);
    // Years from the evaluation date: the steps summed up to each grid day.
    std::vector<double> t(sim.grid.size());
    double elapsed = 0.0;
    for (std::size_t j = 0; j < t.size(); ++j) t[j] = elapsed += sim.grid.dtt[j];
    for (std::size_t i = 0; i < in.ko_time.size(); ++i) in.ko_time[i] = t[sim.ko_ob_indexes[i]];
    in.final_time = t.back();
    // Under a local volatility the last step is not lognormal given the
    // path: no terminal normal to integrate out, plain paths.
    if (shocks == mc::Shocks::sobol && !sim.model.local) {
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
                                              bool delta_and_gamma, mc::Shocks shocks,
                                              const random_sample::Settings& settings) {
    // Each spot's value is the sum of its own payoff over the blocks, added in
    // block order: valuing more spots on the same blocks changes no value.
    const std::size_t per_spot = delta_and_gamma ? 3 : 1;
    std::vector<PayoffInputs> inputs;
    std::vector<double> at;  // the spot of each input
    for (double spot : spots) {
        at.push_back(spot);
        if (delta_and_gamma) {
            at.push_back(spot * 1.005);
            at.push_back(spot * 0.995);
        }
    }
    for (double s : at) inputs.push_back(sim_inputs(terms, sim, s, carry, shocks));
    mc::Sums sums;
    if (sim.model.local) {
        // Paths under a local volatility start from their own spot: one leg
        // per spot, all on the same shocks.
        std::vector<mc::Model> models;
        for (double s : at) models.push_back(sim.model.at_spot(s));
        std::vector<mc::Leg> legs;
        for (const mc::Model& m : models) legs.push_back(mc::Leg{&m, sim.ki_ob_indexes, sim.ko_ob_indexes, 1, {}});
        const std::vector<mc::Sums> each = mc::simulate_legs(
            legs, [&](std::size_t k, const mc::Observations& block, double* out) { out[0] = payoff(inputs[k], block, nullptr); },
            shocks, settings);
        sums.paths = each.front().paths;
        for (const mc::Sums& e : each) sums.values.push_back(e.values[0]);
    } else {
        const mc::Leg leg{&sim.model, sim.ki_ob_indexes, sim.ko_ob_indexes, inputs.size(), ki_levels(inputs)};
        sums = mc::simulate_legs(
                   {leg},
                   [&](std::size_t, const mc::Observations& block, double* out) {
                       for (std::size_t k = 0; k < inputs.size(); ++k) out[k] = payoff(inputs[k], block, nullptr);
                   },
                   shocks, settings)
                   .front();
    }
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

ValueDeltaGamma value_note(const NoteTerms& terms, PayoffSum payoff, const NoteSimulation& sim, double spot,
                           const NoteCarry& carry, bool delta_and_gamma, mc::Shocks shocks,
                           const random_sample::Settings& settings) {
    return value_note_spots(terms, payoff, sim, {spot}, carry, delta_and_gamma, shocks, settings).front();
}

OptionGreeks note_greeks(const NoteTerms& terms, PayoffSum payoff, const NoteLegs& legs, const Date& maturity_date,
                         const Market& market, const Date& evaluation_date, const NoteCarry& carry,
                         const NoteCheck& check, mc::Shocks shocks, const random_sample::Settings& settings) {
    const double spot = market.spot;
    // The valuations that simulate: a simulation, its carry and its spots.
    struct Valuation {
        NoteSimulation sim;
        std::vector<PayoffInputs> inputs;
    };
    std::vector<Valuation> valuations;
    // Under a local volatility each spot has its paths: a valuation per
    // spot, consecutive, so that spot i of valuation k is valuation k + i.
    bool local = false;
    auto add = [&](const Market& m, const Date& date, const NoteCarry& c, std::vector<double> spots) {
        Valuation v{prepare(terms, legs, date, maturity_date, m), {}};
        const std::size_t first = valuations.size();
        if (v.sim.model.local) {
            local = true;
            for (double s : spots) {
                Valuation one{v.sim, {sim_inputs(terms, v.sim, s, c, shocks)}};
                one.sim.model = v.sim.model.at_spot(s);
                valuations.push_back(std::move(one));
            }
            return first;
        }
        for (double s : spots) v.inputs.push_back(sim_inputs(terms, v.sim, s, c, shocks));
        valuations.push_back(std::move(v));
        return first;
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
    if (shocks == mc::Shocks::sobol) {
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
                mc::Shocks::sobol, settings);
            for (std::size_t g = 0; g < group.size(); ++g) sums[group[g]] = std::move(s[g]);
        }
    } else {
        sums = mc::simulate_legs(sim_legs, leg_payoff, mc::Shocks::pseudo, settings);
    }
    auto value = [&](std::size_t k, std::size_t i = 0) {
        if (k == kSettled) return 0.0;
        if (local) k += i, i = 0;
        return sums[k].values[i] / static_cast<double>(sums[k].paths);
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
                     const NoteCarry& carry, mc::Shocks shocks, const random_sample::Settings& settings) {
    std::vector<PayoffInputs> inputs{sim_inputs(terms, sim, spot, carry, shocks)};
    const PayoffInputs& in = inputs.front();
    const std::size_t n_fields = kKnockedOut + in.ko.size();
    const mc::Model model = sim.model.at_spot(spot);
    const mc::Leg leg{&model, sim.ki_ob_indexes, sim.ko_ob_indexes, 1 + n_fields, ki_levels(inputs)};
    const mc::Sums sums = mc::simulate_legs(
                              {leg},
                              [&](std::size_t, const mc::Observations& block, double* out) {
                                  out[0] = payoff(in, block, out + 1);
                              },
                              shocks, settings)
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

NoteResults MonteCarloNoteEngine::value(const NoteData& note, const NoteContext& context, bool delta_and_gamma,
                                        bool statistics) const {
    const calendar::ScopedClosures closures(context.holidays);
    const NoteSimulation sim =
        prepare(note.terms, note.legs, context.evaluation_date, note.maturity_date, context.market);
    NoteResults out;
    if (statistics) {
        const NoteStatistics s = note_statistics(
            sim, tally_note(note.terms, note.payoff, sim, context.market.spot, context.carry, shocks_, context.mc));
        out.npv = s.npv;
        out.standard_error = s.standard_error;
        out.statistics = s;
    }
    if (!statistics || delta_and_gamma) {
        const ValueDeltaGamma v =
            value_note(note.terms, note.payoff, sim, context.market.spot, context.carry, delta_and_gamma, shocks_,
                       context.mc);
        out.npv = v.npv;
        if (delta_and_gamma) {
            out.delta = v.delta;
            out.gamma = v.gamma;
        }
    }
    return out;
}

std::vector<ValueDeltaGamma> MonteCarloNoteEngine::ladder(const NoteData& note, const NoteContext& context,
                                                          const std::vector<double>& spots,
                                                          bool delta_and_gamma) const {
    const calendar::ScopedClosures closures(context.holidays);
    const NoteSimulation sim =
        prepare(note.terms, note.legs, context.evaluation_date, note.maturity_date, context.market);
    return value_note_spots(note.terms, note.payoff, sim, spots, context.carry, delta_and_gamma, shocks_, context.mc);
}

FairCoupon MonteCarloNoteEngine::fair_coupon(const NoteData& note, const NoteContext& context, double target) const {
    const calendar::ScopedClosures closures(context.holidays);
    const NoteSimulation sim =
        prepare(note.terms, note.legs, context.evaluation_date, note.maturity_date, context.market);
    return detail::fair_coupon(note.terms,
                               tally_note(note.terms, note.payoff, sim, context.market.spot, context.carry, shocks_,
                                          context.mc),
                               target);
}

std::optional<OptionGreeks> MonteCarloNoteEngine::greeks(const NoteData& note, const NoteContext& context,
                                                         const NoteCheck& check) const {
    const calendar::ScopedClosures closures(context.holidays);
    return note_greeks(note.terms, note.payoff, note.legs, note.maturity_date, context.market,
                       context.evaluation_date, context.carry, check, shocks_, context.mc);
}

}  // namespace kestrel::detail
