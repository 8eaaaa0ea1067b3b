#pragma once
// What the command line, the book and the bindings ask of the autocallable
// notes beyond value and Greeks: their statistics, spot ladders and fair
// coupon, for any product (none, or a TypeError, for the other products).
#include <kestrel/notes/note.hpp>
#include <kestrel/keel.hpp>

#include <nlohmann/json.hpp>

#include <optional>
#include <vector>

namespace kestrel::detail {

// The product as an autocallable note (a snowball or a phoenix), or null.
AutocallableNote* as_note(BaseOption& option) noexcept;
const AutocallableNote* as_note(const BaseOption& option) noexcept;

// A note's statistics; none for any other product.
std::optional<NoteStatistics> note_statistics(BaseOption& option, double spot, double r, double vol, double q,
                                              const EvalDate& date);
std::optional<NoteStatistics> note_statistics(BaseOption& option, const Market& market, const EvalDate& date);

// A note's spot_ladder (gamma d2V/dS2, see spot_gamma); none for any other product.
std::optional<std::vector<ValueDeltaGamma>> note_spot_ladder(BaseOption& option, const std::vector<double>& spots,
                                                             double r, double vol, double q, const EvalDate& date,
                                                             bool delta_and_gamma);
std::optional<std::vector<ValueDeltaGamma>> note_spot_ladder(BaseOption& option, const std::vector<double>& spots,
                                                             const Market& market, const EvalDate& date,
                                                             bool delta_and_gamma);

// A note's fair coupon rate; TypeError naming the type for any other product.
FairCoupon note_fair_coupon(BaseOption& option, const std::string& type, double spot, double r, double vol, double q,
                            const EvalDate& date, double target);
FairCoupon note_fair_coupon(BaseOption& option, const std::string& type, const Market& market, const EvalDate& date,
                            double target);

// {"npv", "standard_error", "knock_out_probability", "knock_out_by_date":
// {date: probability}, "knock_in_probability", "loss_probability",
// "expected_life"}.
nlohmann::ordered_json statistics_json(const NoteStatistics& s);

}  // namespace kestrel::detail
