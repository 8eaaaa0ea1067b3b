#pragma once
// Dates and observation schedules.
//
// Every date the library accepts from a caller is a `DateInput`: year-month-day
// text ("2024-03-01"), a QuantLib::Date, or a std::chrono::year_month_day (or
// sys_days). All of them name one calendar day, the library's timestamp, held
// as a QuantLib::Date. Malformed or impossible text fails with a ValueError
// quoting the text.
#include <kestrel/export.hpp>
#include <kestrel/errors.hpp>

#include <ql/time/date.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::utils {

class KESTREL_UTILS_EXPORT DateInput {
  public:
    DateInput(const QuantLib::Date& d);  // NOLINT: implicit by design
    DateInput(std::chrono::year_month_day ymd);
    DateInput(std::chrono::sys_days days);
    DateInput(std::string_view text);
    DateInput(const std::string& text) : DateInput(std::string_view(text)) {}
    DateInput(const char* text) : DateInput(std::string_view(text ? text : "")) {}

    const QuantLib::Date& date() const noexcept { return date_; }
    operator const QuantLib::Date&() const noexcept { return date_; }

  private:
    QuantLib::Date date_;
};

// Parses "YYYY-MM-DD" (exactly), throwing ValueError quoting the text otherwise.
KESTREL_UTILS_EXPORT QuantLib::Date parse_date(std::string_view text);

// The calendar day of any accepted date form.
KESTREL_UTILS_EXPORT QuantLib::Date to_timestamp(const DateInput& d);

// The QuantLib date of the same calendar day.
KESTREL_UTILS_EXPORT QuantLib::Date to_qldate(const DateInput& d);

// "YYYY-MM-DD".
KESTREL_UTILS_EXPORT std::string format_date(const QuantLib::Date& d);

KESTREL_UTILS_EXPORT std::chrono::year_month_day to_ymd(const QuantLib::Date& d);

// Numbers and text as the outputs write them.
// The shortest text that reads back as the same double; "nan", "inf" or
// "-inf" for one that is not finite.
KESTREL_UTILS_EXPORT std::string format_exact(double x);
// The same, but empty for a number that is not finite (a blank csv cell).
KESTREL_UTILS_EXPORT std::string format_exact_or_blank(double x);
// Fixed decimals, with no "-0.00" for a negative number that rounds to zero.
KESTREL_UTILS_EXPORT std::string format_fixed(double x, int decimals);
// A csv cell: quoted (quotes doubled) when it holds a comma, quote or line end.
KESTREL_UTILS_EXPORT std::string csv_field(std::string_view text);
// Text made safe for HTML content and quoted attribute values: & < > " '
// become entities.
KESTREL_UTILS_EXPORT std::string html_escape(std::string_view text);

// Today's local calendar date.
KESTREL_UTILS_EXPORT QuantLib::Date today();

// Observation schedules on the A-share trading calendar.
//
// Frequency tokens:
//   "daily"         every trading day from start to end, both included when
//                   they are trading days;
//   "weekly"        7 days      "biweekly"      14 days
//   "monthly"       1 month     "bimonthly"     2 months
//   "quarterly"     3 months    "semiannually"  6 months
//   "annually"      12 months
//   "once"          `end` alone (a European observation), moved back to the
//                   previous trading day when it is not one; none when that
//                   is not after `start`
// For the periodic tokens the dates are start + k x period for k = 1, 2, ...
// while not after `end` (month steps keep the start's day of month, clipped to
// the month's last day: Jan 31 + 1 month = Feb 28/29). Each is moved forward to
// the next trading day, or backward to the previous trading day when moving
// forward would pass `end`; duplicates are removed. `start` itself is not an
// observation date of a periodic token.
// Any other token fails with ValueError "unknown observation frequency: {}".
//
// The list form takes explicit dates: each is moved forward onto a trading
// day, then they are sorted and duplicates removed.
//
// The result is ascending; equal arguments give equal results.
KESTREL_UTILS_EXPORT std::vector<QuantLib::Date> get_obs_dates(const DateInput& start, const DateInput& end,
                                          std::string_view freq);
KESTREL_UTILS_EXPORT std::vector<QuantLib::Date> get_obs_dates(const DateInput& start, const DateInput& end,
                                          const std::vector<QuantLib::Date>& dates);

// The position of the first element of `sorted` not earlier than d (left
// insertion point); sorted.size() when every element is earlier.
KESTREL_UTILS_EXPORT std::size_t left_insertion(const std::vector<QuantLib::Date>& sorted, const QuantLib::Date& d);

}  // namespace kestrel::utils
