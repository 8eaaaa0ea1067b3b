#pragma once
// The Shanghai Stock Exchange (A-share) trading calendar.
//
// Saturdays and Sundays are always closed. The weekday closures come from
// three sources, one per year:
//   published  the closures the exchange published for 2005 .. the last year
//              compiled into the library (data/calendar/sse_holidays.csv);
//              these always win;
//   official   a later year's official list, from the holiday table in force
//              (see Holidays and ScopedClosures below; a price store hands
//              over the list it holds, and whoever values on it installs it);
//   projected  every other year after the published ones through
//              projected_until(): the closures the exchange's holiday rules
//              give (see project_year).
// After projected_until() only weekends are closed.
//
// Every function here, and the QuantLib calendar get_a_share_calendar()
// returns, answers from the holiday table in force on the calling thread: the
// one the innermost ScopedClosures of that thread installed or, outside any,
// the process default (no official list unless set_official_closures made
// one).
#include <kestrel/export.hpp>
#include <ql/time/calendar.hpp>
#include <ql/time/date.hpp>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::calendar {

// The exchange's trading calendar. Cheap to call: every call shares one table.
KESTREL_CALENDAR_EXPORT QuantLib::Calendar get_a_share_calendar();

// First day whose closures are known, and the last one: the end of the last
// published year, or of the last official year following on from it.
KESTREL_CALENDAR_EXPORT QuantLib::Date covered_from();
KESTREL_CALENDAR_EXPORT QuantLib::Date covered_until();
// Last day of the last projected year (2050-12-31).
KESTREL_CALENDAR_EXPORT QuantLib::Date projected_until();

// Whether the exchange trades on d (same answer as the calendar, without the
// calendar's virtual dispatch).
KESTREL_CALENDAR_EXPORT bool is_trading_day(const QuantLib::Date& d);
// The same for the day with this serial number (see serial_number).
KESTREL_CALENDAR_EXPORT bool is_trading_serial(QuantLib::Date::serial_type serial);

// d.serialNumber(), 0 for a null date, without the calendar-date conversion
// QuantLib's high-resolution dates make for every serialNumber() call and so
// for every comparison of dates: code that checks or orders many dates
// compares these day numbers instead.
KESTREL_CALENDAR_EXPORT QuantLib::Date::serial_type serial_number(const QuantLib::Date& d);

// The trading days from `from` to `to`, both included when trading days.
KESTREL_CALENDAR_EXPORT std::vector<QuantLib::Date> trading_days(const QuantLib::Date& from, const QuantLib::Date& to);

// Published weekday closures (the compiled-in years), ascending.
KESTREL_CALENDAR_EXPORT const std::vector<QuantLib::Date>& holidays();

enum class Source { Published, Official, Projected };
// "published", "official", "projected".
KESTREL_CALENDAR_EXPORT const char* source_name(Source s);

struct KESTREL_CALENDAR_EXPORT Closure {
    QuantLib::Date date;
    std::string name;  // "Spring Festival", "National Day", ...
    Source source = Source::Published;

    friend bool operator==(const Closure&, const Closure&) = default;
};

// The weekday closures from `from` to `to` inclusive, ascending, each with its
// source.
KESTREL_CALENDAR_EXPORT std::vector<Closure> closures(const QuantLib::Date& from, const QuantLib::Date& to);

// Whether d lies in a projected year.
KESTREL_CALENDAR_EXPORT bool is_projected(const QuantLib::Date& d);
// The projected years that [from, to] touches, ascending.
KESTREL_CALENDAR_EXPORT std::vector<int> projected_years(const QuantLib::Date& from, const QuantLib::Date& to);

// The weekday closures of `year` by the exchange's holiday rules in force
// that year, whatever is published for it (a projected year gets the current
// rules; the backtest runs each published year under its own). The current
// rules, in force since 2024:
//   New Year's Day   1 January;
//   Spring Festival  the lunar New Year's Eve through the seventh day of the
//                    first lunar month, every weekday of it;
//   Qingming         the day of the solar term;
//   Labour Day       every weekday of 1-5 May;
//   Dragon Boat      the fifth day of the fifth lunar month;
//   Mid-Autumn       the fifteenth day of the eighth lunar month;
//   National Day     every weekday of 1-7 October. When Mid-Autumn falls from
//                    29 September to 8 October the two make one eight-day
//                    break, from the earlier of Mid-Autumn and 1 October, and
//                    every weekday of it closes.
// A one-day festival (New Year's Day, Qingming, Dragon Boat, Mid-Autumn apart
// from National Day) makes a three-day break with a weekend:
//   Monday    Monday closes                Tuesday   Monday and Tuesday close
//   Wednesday Wednesday closes             Thursday  Thursday and Friday close
//   Friday    Friday closes                Saturday, Sunday: the next Monday closes
// So a New Year's Day on a Tuesday closes 31 December of the year before.
// The earlier rules differ from these as follows:
//   2008-2013  New Year's Day closes every weekday of 1-3 January; Spring
//              Festival runs from the eve through the sixth day; Labour Day
//              is a one-day festival (1 May); a one-day festival on a
//              Wednesday closes Monday to Wednesday.
//   2014-2018  Spring Festival from the eve through the sixth day; Labour Day
//              a one-day festival.
//   2019-2023  Spring Festival from the eve through the sixth day; Labour Day
//              five days from 1 May, or from the Saturday before when 1 May
//              is a Sunday or Monday, every weekday of them.
// Lunar dates and the solar term come from liblunar-date. Years from 2008 to
// 2099; ValueError otherwise.
KESTREL_CALENDAR_EXPORT std::vector<Closure> project_year(int year);

// An official list of closures for whole years.
struct KESTREL_CALENDAR_EXPORT ClosureList {
    std::vector<int> years;            // ascending, each year at most once
    std::vector<Closure> closures;     // ascending dates, source Official
    std::vector<std::size_t> lines;    // line of each closure in its file
    std::string source;                // where it came from, for messages
};

// Reads a closure file: header "date,holiday", then one "YYYY-MM-DD,name" line
// per weekday closure (blank lines ignored). The years are those its dates
// fall in. A malformed line, a weekend, a date named twice, or a year that is
// published or after projected_until() is a ValueError
// "<source>:<line>: <reason>".
KESTREL_CALENDAR_EXPORT ClosureList read_closures(std::string_view text, const std::string& source);
KESTREL_CALENDAR_EXPORT ClosureList read_closures_file(const std::string& path);

// A holiday table: the official closure lists of some years over the
// published and projected closures of the others. A value, cheap to copy and
// safe to share between threads (what it holds never changes); a valuation
// carries the one it values under and installs it with ScopedClosures.
class KESTREL_CALENDAR_EXPORT Holidays {
  public:
    // No official list: the published years, the others projected.
    Holidays();
    // These official closures for their years. Its years must be after the
    // published ones and through projected_until(), its days weekdays of its
    // years (ValueError otherwise).
    explicit Holidays(const ClosureList& official);

    // This table with the list's years replaced by the list, every other
    // year kept (checked as the constructor checks). An empty list gives this
    // table itself.
    Holidays with(const ClosureList& official) const;

    // The years an official list covers, ascending.
    std::vector<int> official_years() const;
    // The end of the last published year, or of the last official year
    // following on from it.
    QuantLib::Date covered_until() const;

    struct Table;  // the compiled closed days (calendar.cpp)

  private:
    explicit Holidays(std::shared_ptr<const Table> table);
    std::shared_ptr<const Table> table_;
    friend class ScopedClosures;
    friend Holidays holidays_in_force();
};

// The table in force on this thread (see the top of this header).
KESTREL_CALENDAR_EXPORT Holidays holidays_in_force();

// Installs a holiday table for the current thread until the end of its
// scope, then restores the one in force before. Other threads are not
// affected: code that hands work to other threads carries holidays_in_force()
// to them and installs it there. Scopes nest and end in reverse order.
class KESTREL_CALENDAR_EXPORT ScopedClosures {
  public:
    explicit ScopedClosures(Holidays table);
    // The table in force with an official list's years replaced by it (a
    // store's list, say; an empty list changes nothing).
    explicit ScopedClosures(const ClosureList& official);
    ~ScopedClosures();
    ScopedClosures(const ScopedClosures&) = delete;
    ScopedClosures& operator=(const ScopedClosures&) = delete;

  private:
    Holidays table_;
    const Holidays* previous_;  // in force before, null for the process default
};

// Makes an official list the process default's for its years, in place of
// their projection (years listed before keep theirs unless this list names
// them too). Checked as Holidays(list) checks. Process-wide, for callers who
// want one default for every thread; a thread inside a ScopedClosures keeps
// the table that scope installed. Not to be called while another thread
// values on the default.
KESTREL_CALENDAR_EXPORT void set_official_closures(const ClosureList& list);
// Forgets every official list of the process default: those years are
// projected again.
KESTREL_CALENDAR_EXPORT void clear_official_closures();
// The years an official list covers in the table in force, ascending.
KESTREL_CALENDAR_EXPORT std::vector<int> official_years();

}  // namespace kestrel::calendar
