#include <kestrel/notes/extras.hpp>

#include <kestrel/phoenix.hpp>
#include <kestrel/snowball.hpp>

namespace kestrel::detail {

std::optional<detail::NoteStatistics> note_statistics(BaseOption& option, double spot, double r, double vol, double q,
                                                      const EvalDate& date) {
    if (auto* s = dynamic_cast<SnowBallOption*>(&option)) return s->statistics(spot, r, vol, q, date);
    if (auto* p = dynamic_cast<PhoenixOption*>(&option)) return p->statistics(spot, r, vol, q, date);
    return std::nullopt;
}

std::optional<std::vector<ValueDeltaGamma>> note_spot_ladder(BaseOption& option, const std::vector<double>& spots,
                                                             double r, double vol, double q, const EvalDate& date,
                                                             bool delta_and_gamma) {
    if (auto* s = dynamic_cast<SnowBallOption*>(&option)) return s->spot_ladder(spots, r, vol, q, date, delta_and_gamma);
    if (auto* p = dynamic_cast<PhoenixOption*>(&option)) return p->spot_ladder(spots, r, vol, q, date, delta_and_gamma);
    return std::nullopt;
}

detail::FairCoupon note_fair_coupon(BaseOption& option, const std::string& type, double spot, double r, double vol,
                                    double q, const EvalDate& date, double target) {
    if (auto* s = dynamic_cast<SnowBallOption*>(&option)) return s->fair_coupon_rate(spot, r, vol, q, date, target);
    if (auto* p = dynamic_cast<PhoenixOption*>(&option)) return p->fair_coupon_rate(spot, r, vol, q, date, target);
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
