#pragma once
// The Shanghai Stock Exchange (A-share) trading calendar.
//
// Saturdays and Sundays are closed; so are the weekday closures the exchange
// published for the covered years (compiled into the library from
// data/calendar/sse_holidays.csv). Outside the covered years only weekends are
// closed: check covered_until() when a schedule runs that far.
#include <ql/time/calendar.hpp>
#include <ql/time/date.hpp>

#include <vector>

namespace kestrel::calendar {

// The exchange's trading calendar. Cheap to call: every call shares one table.
QuantLib::Calendar get_a_share_calendar();

// First and last day whose exchange closures are known.
QuantLib::Date covered_from();
QuantLib::Date covered_until();

// Whether the exchange trades on d (same answer as the calendar, without the
// calendar's virtual dispatch).
bool is_trading_day(const QuantLib::Date& d);
// The same for the day with this serial number (see serial_number).
bool is_trading_serial(QuantLib::Date::serial_type serial);

// d.serialNumber(), 0 for a null date, without the calendar-date conversion
// QuantLib's high-resolution dates make for every serialNumber() call and so
// for every comparison of dates: code that checks or orders many dates
// compares these day numbers instead.
QuantLib::Date::serial_type serial_number(const QuantLib::Date& d);

// The trading days from `from` to `to`, both included when trading days.
std::vector<QuantLib::Date> trading_days(const QuantLib::Date& from, const QuantLib::Date& to);

// Weekday closures in the covered range, ascending.
const std::vector<QuantLib::Date>& holidays();

}  // namespace kestrel::calendar
