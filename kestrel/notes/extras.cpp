#include <kestrel/notes/extras.hpp>


namespace kestrel::detail {

AutocallableNote* as_note(BaseOption& option) noexcept { return dynamic_cast<AutocallableNote*>(&option); }
const AutocallableNote* as_note(const BaseOption& option) noexcept {
    return dynamic_cast<const AutocallableNote*>(&option);
}

std::optional<detail::NoteStatistics> note_statistics(BaseOption& option, double spot, double r, double vol, double q,
                                                      const EvalDate& date) {
    if (auto* note = as_note(option)) return note->statistics(spot, r, vol, q, date);
    return std::nullopt;
}

std::optional<detail::NoteStatistics> note_statistics(BaseOption& option, const Market& market, const EvalDate& date) {
    if (auto* note = as_note(option)) return note->statistics(market, date);
    return std::nullopt;
}

std::optional<std::vector<ValueDeltaGamma>> note_spot_ladder(BaseOption& option, const std::vector<double>& spots,
                                                             double r, double vol, double q, const EvalDate& date,
                                                             bool delta_and_gamma) {
    if (auto* note = as_note(option)) return note->spot_ladder(spots, r, vol, q, date, delta_and_gamma);
    return std::nullopt;
}

std::optional<std::vector<ValueDeltaGamma>> note_spot_ladder(BaseOption& option, const std::vector<double>& spots,
                                                             const Market& market, const EvalDate& date,
                                                             bool delta_and_gamma) {
    if (auto* note = as_note(option)) return note->spot_ladder(spots, market, date, delta_and_gamma);
    return std::nullopt;
}

detail::FairCoupon note_fair_coupon(BaseOption& option, const std::string& type, double spot, double r, double vol,
                                    double q, const EvalDate& date, double target) {
    if (auto* note = as_note(option)) return note->fair_coupon_rate(spot, r, vol, q, date, target);
    throw TypeError("a fair coupon is solved for the snowball and phoenix notes only, not " + type);
}

detail::FairCoupon note_fair_coupon(BaseOption& option, const std::string& type, const Market& market,
                                    const EvalDate& date, double target) {
    if (auto* note = as_note(option)) return note->fair_coupon_rate(market, date, target);
    throw TypeError("a fair coupon is solved for the snowball and phoenix notes only, not " + type);
}

nlohmann::ordered_json statistics_json(const detail::NoteStatistics& s) {
    nlohmann::ordered_json out;
    out["npv"] = s.npv;
    out["standard_error"] = s.standard_error;
    out["knock_out_probability"] = s.ko_total;
    nlohmann::ordered_json by_date = nlohmann::ordered_json::object();
    for (std::size_t i = 0; i < s.ko_dates.size(); ++i) by_date[utils::format_date(s.ko_dates[i])] = s.ko_probability[i];
    out["knock_out_by_date"] = std::move(by_date);
    out["knock_in_probability"] = s.ki_probability;
    out["loss_probability"] = s.loss_probability;
    out["expected_life"] = s.expected_life;
    return out;
}

}  // namespace kestrel::detail
