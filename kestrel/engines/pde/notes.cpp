#include <kestrel/calendar.hpp>
#include <kestrel/engines/pde/notes.hpp>
#include <kestrel/utils.hpp>

#include <cmath>
#include <string>

namespace kestrel::detail {
namespace {

// Shortest text that reads back as the same double.
constexpr auto num = utils::format_exact;

}  // namespace

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
    if (market.vol.has_surface()) {
        // sigma(t, S) of the surface held in price levels, t from its own
        // reference date.
        const double offset = market.vol.surface_offset(evaluation_date);
        n.local_vol = [surface = market.vol.surface(), offset](double t, const double* log_spots, std::size_t count,
                                                               double* out) {
            surface->local_vol_row(offset + t, log_spots, count, out);
        };
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

NoteStatistics statistics_pde(const NoteTerms& terms, pde::Rule rule, const NoteLegs& legs,
                              const Date& evaluation_date, const Date& maturity_date, const Market& market,
                              bool knocked_in, double npv) {
    const pde::Note base = pde_note(terms, rule, legs, evaluation_date, maturity_date, market, knocked_in);
    // The same dates, levels and market; knock-out ends the note (the
    // snowball's rule, which is also the phoenix's for a coupon paid only on
    // knock-out); nothing discounted, nothing paid but the indicator.
    pde::Note p = base;
    p.rule = pde::Rule::snowball;
    p.discount = false;
    p.non_touch_coupon = 0.0;
    p.non_touch_time = 0.0;
    for (pde::KnockOutDate& d : p.knock_out) d.coupon = 0.0;
    auto solve = [&](const pde::Note& n) { return pde::solve(n, market.spot, false).npv; };
    NoteStatistics s;
    s.npv = npv;
    s.ko_dates = prepare(terms, legs, evaluation_date, maturity_date, market).ko_dates;
    double life = 0.0;
    for (std::size_t i = 0; i < p.knock_out.size(); ++i) {
        pde::Note out = p;
        out.knock_out[i].coupon = 1.0;
        out.terminal = pde::Note::Terminal::zero;
        const double prob = solve(out);
        s.ko_probability.push_back(prob);
        s.ko_total += prob;
        life += prob * p.knock_out[i].time;
    }
    s.expected_life = life + (1.0 - s.ko_total) * p.maturity;
    pde::Note in = p;
    in.terminal = pde::Note::Terminal::one;
    s.ki_probability = solve(in);
    in.terminal = pde::Note::Terminal::loss_indicator;
    s.loss_probability = solve(in);
    return s;
}

NoteResults PdeNoteEngine::value(const NoteData& note, const NoteContext& context, bool delta_and_gamma,
                                 bool statistics) const {
    const calendar::ScopedClosures closures(context.holidays);
    const ValueDeltaGamma v = value_note_pde(note.terms, note.rule, note.legs, context.evaluation_date,
                                             note.maturity_date, context.market, context.carry.knocked_in,
                                             delta_and_gamma);
    NoteResults out;
    out.npv = v.npv;
    if (delta_and_gamma) {
        out.delta = v.delta;
        out.gamma = v.gamma;
    }
    if (statistics)
        out.statistics = statistics_pde(note.terms, note.rule, note.legs, context.evaluation_date, note.maturity_date,
                                        context.market, context.carry.knocked_in, v.npv);
    return out;
}

std::vector<ValueDeltaGamma> PdeNoteEngine::ladder(const NoteData& note, const NoteContext& context,
                                                   const std::vector<double>& spots, bool delta_and_gamma) const {
    const calendar::ScopedClosures closures(context.holidays);
    std::vector<ValueDeltaGamma> out;
    for (double s : spots)
        out.push_back(value_note_pde(note.terms, note.rule, note.legs, context.evaluation_date, note.maturity_date,
                                     context.market.with_spot(s), context.carry.knocked_in, delta_and_gamma));
    return out;
}

FairCoupon PdeNoteEngine::fair_coupon(const NoteData& note, const NoteContext& context, double target) const {
    const calendar::ScopedClosures closures(context.holidays);
    return fair_coupon_pde(note.terms, note.rule, note.legs, context.evaluation_date, note.maturity_date,
                           context.market, context.carry.knocked_in, target);
}

}  // namespace kestrel::detail
