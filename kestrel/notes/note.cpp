#include <kestrel/notes/note.hpp>

#include <string>

namespace kestrel {

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
    return pricing().value(note_data(), context(market, st), false, false).npv;
}

OptionGreeks AutocallableNote::greeks(double spot, double r, double vol, double q, const EvalDate& evaluation_date) {
    check_market_inputs(spot, r, vol, q);
    return greeks(Market(spot, r, vol, q), evaluation_date);
}

OptionGreeks AutocallableNote::greeks(const Market& market, const EvalDate& evaluation_date) {
    const auto st = state(market, evaluation_date);
    if (st.settled) return OptionGreeks{};
    const detail::NotePricingEngine& engine = pricing();
    auto check = [&](const Market& m, const QuantLib::Date& d) -> std::optional<detail::NoteCarry> {
        const auto s = state(m, EvalDate(d));
        if (s.settled) return std::nullopt;
        return carry(s);
    };
    if (auto g = engine.greeks(note_data(), context(market, st), check)) return *g;
    // Value, delta and gamma from one valuation; vega, theta and rho by the
    // base class's bumps of the market.
    const EvalDate e = st.evaluation_date;
    const detail::NoteResults v = engine.value(note_data(), context(market, st), true, false);
    return OptionGreeks{v.npv, *v.delta, *v.gamma, vega(market, e), theta(market, e), rho(market, e)};
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
    const Market first = market.with_spot(spots.front());
    const auto st = state(first, evaluation_date);
    if (st.settled) return std::vector<detail::ValueDeltaGamma>(spots.size());
    return pricing().ladder(note_data(), context(first, st), spots, delta_and_gamma);
}

detail::NoteStatistics AutocallableNote::statistics(double spot, double r, double vol, double q,
                                                    const EvalDate& evaluation_date) {
    check_market_inputs(spot, r, vol, q);
    return statistics(Market(spot, r, vol, q), evaluation_date);
}

detail::NoteStatistics AutocallableNote::statistics(const Market& market, const EvalDate& evaluation_date) {
    const auto st = state(market, evaluation_date);
    if (st.settled) return detail::NoteStatistics{};
    const detail::NotePricingEngine& engine = pricing();
    auto r = engine.value(note_data(), context(market, st), false, true);
    if (!r.statistics)
        throw NotImplementedError("statistics count knock-outs, knock-ins and losses over simulated paths: the " +
                                  std::string(engine.name()) + " engine has none; use \"engine\": \"mc\"");
    return *r.statistics;
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
    return pricing().fair_coupon(note_data(), context(market, st), target);
}

detail::ValueDeltaGamma AutocallableNote::_npv(double spot, double r, double vol, double q,
                                               const EvalDate& evaluation_date, bool knocked_in,
                                               bool delta_and_gamma) const {
    return _npv(Market(spot, r, vol, q), evaluation_date, knocked_in, delta_and_gamma);
}

detail::ValueDeltaGamma AutocallableNote::_npv(const Market& market, const EvalDate& evaluation_date,
                                               bool knocked_in, bool delta_and_gamma) const {
    const detail::NoteContext c{eval_or_today(evaluation_date), market, detail::NoteCarry{knocked_in, 0.0, 0.0}};
    const detail::NoteResults v = pricing().value(note_data(), c, delta_and_gamma, false);
    return detail::ValueDeltaGamma{v.npv, v.delta.value_or(0.0), v.gamma.value_or(0.0)};
}

detail::NoteData AutocallableNote::note_data() const {
    return detail::NoteData{terms_, legs_, maturity_date(), payoff_, rule_};
}

detail::NoteContext AutocallableNote::context(const Market& market, const detail::NoteState& st) const {
    return detail::NoteContext{st.evaluation_date, market, carry(st)};
}

const detail::NotePricingEngine& AutocallableNote::pricing() const { return detail::note_pricing_engine(terms_.engine); }

}  // namespace kestrel
