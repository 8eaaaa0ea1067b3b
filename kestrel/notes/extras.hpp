#pragma once
// What the command line asks of the autocallable notes beyond value and
// Greeks: their statistics and fair coupon from one simulation.
#include <kestrel/notes/autocallable.hpp>
#include <kestrel/keel.hpp>

#include <nlohmann/json.hpp>

#include <optional>
#include <vector>

namespace kestrel::detail {

// A snowball's or phoenix's statistics; none for any other product.
std::optional<NoteStatistics> note_statistics(BaseOption& option, double spot, double r, double vol, double q,
                                                      const EvalDate& date);

// A snowball's or phoenix's spot_ladder; none for any other product.
std::optional<std::vector<ValueDeltaGamma>> note_spot_ladder(BaseOption& option, const std::vector<double>& spots,
                                                             double r, double vol, double q, const EvalDate& date,
                                                             bool delta_and_gamma);

// A snowball's or phoenix's fair coupon rate; TypeError naming the type for
// any other product.
FairCoupon note_fair_coupon(BaseOption& option, const std::string& type, double spot, double r, double vol,
                                    double q, const EvalDate& date, double target);

// {"npv", "standard_error", "knock_out_probability", "knock_out_by_date":
// {date: probability}, "knock_in_probability", "loss_probability",
// "expected_life"}.
nlohmann::ordered_json statistics_json(const NoteStatistics& s);

}  // namespace kestrel::detail
