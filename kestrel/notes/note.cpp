#include <kestrel/notes/note.hpp>

namespace kestrel {

using detail::NoteEngine;

AutocallableNote::AutocallableNote(const Terms& option, detail::NoteKind kind, detail::PayoffSum payoff,
                                   detail::pde::Rule rule)
    : BaseOption(option), terms_(detail::read_note_terms(option, maturity_date(), kind)), payoff_(payoff),
      rule_(rule) {}

detail::NoteCarry AutocallableNote::carry(const detail::NoteState& state) const {
    return detail::NoteCarry{state.knocked_in, 0.0, 0.0};
}

detail::NoteState AutocallableNote::state(const Market& market, const EvalDate& evaluation_date) const {
    return detail::note_state(underlying_id(), effect_date(), maturity_date(), terms_, market, evaluation_date);
}

// The plain-number forms check their numbers as they always have (the same
// messages), then value the market of those numbers.

double AutocallableNote::npv(double spot, double r, double vol, double q, const EvalDate& evaluation_date) {
    check_market_inputs(spot, r, vol, q);
    return npv(Market(spot, r, vol, q), evaluation_date);
}

double AutocallableNote::npv(const Market& market, const EvalDate& evaluation_date) {
    const auto st = state(market, evaluation_date);
    if (st.settled) return 0.0;
    if (terms_.engine == NoteEngine::pde) return _npv(market, st.evaluation_date, st.knocked_in).npv;
    const auto sim = detail::prepare(terms_, legs_, st.evaluation_date, maturity_date(), market);
    return detail::value_note(terms_, payoff_, sim, market.spot, carry(st), false).npv;
}

OptionGreeks AutocallableNote::greeks(double spot, double r, double vol, double q, const EvalDate& evaluation_date) {
    check_market_inputs(spot, r, vol, q);
    return greeks(Market(spot, r, vol, q), evaluation_date);
}

OptionGreeks AutocallableNote::greeks(const Market& market, const EvalDate& evaluation_date) {
    const auto st = state(market, evaluation_date);
    if (st.settled) return OptionGreeks{};
    if (terms_.engine == NoteEngine::pde) {
        // One solution gives value, delta and gamma; the bumps are noise-free.
        const EvalDate e = st.evaluation_date;
        const auto v = _npv(market, e, st.knocked_in, true);
        return OptionGreeks{v.npv, v.delta, v.gamma, vega(market, e), theta(market, e), rho(market, e)};
    }
    auto check = [&](const Market& m, const QuantLib::Date& d) -> std::optional<detail::NoteCarry> {
        const auto s = state(m, EvalDate(d));
        if (s.settled) return std::nullopt;
        return carry(s);
    };
    return detail::note_greeks(terms_, payoff_, legs_, maturity_date(), market, st.evaluation_date, carry(st), check);
}

std::vector<detail::ValueDeltaGamma> AutocallableNote::spot_ladder(const std::vector<double>& spots, double r,
                                                                   double vol, double q,
                                                                   const EvalDate& evaluation_date,
                                                                   bool delta_and_gamma) {
    for (double s : spots) check_market_inputs(s, r, vol, q);
    if (spots.empty()) return {};
    return spot_ladder(spots, Market(spots.front(), r, vol, q), evaluation_date, delta_and_gamma);
}

std::vector<detail::ValueDeltaGamma> AutocallableNote::spot_ladder(const std::vector<double>& spots,
                                                                   const Market& market,
                                                                   const EvalDate& evaluation_date,
                                                                   bool delta_and_gamma) {
    if (spots.empty()) return {};
    const QuantLib::Date e = eval_or_today(evaluation_date);
    for (double s : spots) market.with_spot(s).check(e);
    const auto st = state(market.with_spot(spots.front()), evaluation_date);
    return detail::note_spot_ladder(terms_, payoff_, rule_, legs_, maturity_date(), st, carry(st), spots, market,
                                    delta_and_gamma);
}

detail::NoteStatistics AutocallableNote::statistics(double spot, double r, double vol, double q,
                                                    const EvalDate& evaluation_date) {
    check_market_inputs(spot, r, vol, q);
    return statistics(Market(spot, r, vol, q), evaluation_date);
}

detail::NoteStatistics AutocallableNote::statistics(const Market& market, const EvalDate& evaluation_date) {
    const auto st = state(market, evaluation_date);
    if (st.settled) return detail::NoteStatistics{};
    if (terms_.engine == NoteEngine::pde) detail::no_pde_statistics();
    const auto sim = detail::prepare(terms_, legs_, st.evaluation_date, maturity_date(), market);
    return detail::note_statistics(sim, detail::tally_note(terms_, payoff_, sim, market.spot, carry(st)));
}

detail::FairCoupon AutocallableNote::fair_coupon_rate(double spot, double r, double vol, double q,
                                                      const EvalDate& evaluation_date, double target) {
    check_market_inputs(spot, r, vol, q);
    return fair_coupon_rate(Market(spot, r, vol, q), evaluation_date, target);
}

detail::FairCoupon AutocallableNote::fair_coupon_rate(const Market& market, const EvalDate& evaluation_date,
                                                      double target) {
    const auto st = state(market, evaluation_date);
    if (st.settled) throw ValueError("no coupon left to solve for: the note has knocked out or matured");
    if (terms_.engine == NoteEngine::pde)
        return detail::fair_coupon_pde(terms_, rule_, legs_, st.evaluation_date, maturity_date(), market,
                                       st.knocked_in, target);
    const auto sim = detail::prepare(terms_, legs_, st.evaluation_date, maturity_date(), market);
    return detail::fair_coupon(terms_, detail::tally_note(terms_, payoff_, sim, market.spot, carry(st)), target);
}

detail::ValueDeltaGamma AutocallableNote::_npv(double spot, double r, double vol, double q,
                                               const EvalDate& evaluation_date, bool knocked_in,
                                               bool delta_and_gamma) const {
    return _npv(Market(spot, r, vol, q), evaluation_date, knocked_in, delta_and_gamma);
}

detail::ValueDeltaGamma AutocallableNote::_npv(const Market& market, const EvalDate& evaluation_date,
                                               bool knocked_in, bool delta_and_gamma) const {
    const QuantLib::Date e = eval_or_today(evaluation_date);
    if (terms_.engine == NoteEngine::pde)
        return detail::value_note_pde(terms_, rule_, legs_, e, maturity_date(), market, knocked_in, delta_and_gamma);
    const auto sim = detail::prepare(terms_, legs_, e, maturity_date(), market);
    return detail::value_note(terms_, payoff_, sim, market.spot, detail::NoteCarry{knocked_in, 0.0, 0.0},
                              delta_and_gamma);
}

}  // namespace kestrel
