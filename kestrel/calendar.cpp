#include <kestrel/calendar.hpp>
#include <kestrel/errors.hpp>

#include <lunar-date/lunar-date.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <atomic>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <vector>

namespace kestrel::calendar {
namespace {

using QuantLib::Date;

struct Published {
    int y, m, d;
    const char* name;
};

constexpr Published kPublished[] = {
#include "sse_holidays.inc"
};

constexpr int kFirstYear = kPublished[0].y;
constexpr int kLastPublishedYear = kPublished[std::size(kPublished) - 1].y;
constexpr int kLastProjectedYear = 2050;
// The holiday rules are known from 2008, when Qingming, Dragon Boat and
// Mid-Autumn became holidays and Labour Day one day; liblunar-date answers
// to 2100, with a year to spare.
constexpr int kFirstRuleYear = 2008, kLastRuleYear = 2099;

Date ymd(int y, int m, int d) { return Date(d, static_cast<QuantLib::Month>(m), y); }

std::string format(const Date& d) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", d.year(), static_cast<int>(d.month()), d.dayOfMonth());
    return buf;
}

// "YYYY-MM-DD" naming a real day; ValueError quoting the text otherwise.
Date parse(const std::string& text) {
    const auto digits = [&](std::size_t from, std::size_t n, int& out) {
        out = 0;
        for (std::size_t i = from; i < from + n; ++i) {
            if (text[i] < '0' || text[i] > '9') return false;
            out = out * 10 + (text[i] - '0');
        }
        return true;
    };
    int y = 0, m = 0, d = 0;
    if (text.size() != 10 || text[4] != '-' || text[7] != '-' || !digits(0, 4, y) || !digits(5, 2, m) ||
        !digits(8, 2, d))
        throw ValueError("invalid date: '" + text + "' (expected YYYY-MM-DD)");
    const std::chrono::year_month_day ymd_{std::chrono::year{y}, std::chrono::month{static_cast<unsigned>(m)},
                                           std::chrono::day{static_cast<unsigned>(d)}};
    if (!ymd_.ok() || y < 1901 || y > 2199) throw ValueError("invalid date: '" + text + "'");
    return ymd(y, m, d);
}

bool weekend(const Date& d) {
    const auto w = d.weekday();
    return w == QuantLib::Saturday || w == QuantLib::Sunday;
}

// --- the holiday rules ------------------------------------------------------

// The process's one liblunar-date object. liblunar-date frees neither its
// objects nor what they allocate when they are dropped, so one object is made
// on first use and kept; a Lunar holds its lock while it is used.
class Lunar {
  public:
    Lunar() : lock_(mutex()), date_(object()) {}
    Lunar(const Lunar&) = delete;
    Lunar& operator=(const Lunar&) = delete;

    // The solar day of lunar (year, month, day) in a non-leap month.
    Date solar(int year, int month, int day) {
        GError* error = nullptr;
        lunar_date_set_lunar_date(date_, static_cast<GDateYear>(year), static_cast<GDateMonth>(month),
                                  static_cast<GDateDay>(day), 0, FALSE, &error);
        check(error, year);
        return parse(text("%(year)-%(month)-%(day)"), year);
    }
    // Whether liblunar-date names a festival or solar term on a solar day.
    bool named(const Date& d) {
        GError* error = nullptr;
        lunar_date_set_solar_date(date_, static_cast<GDateYear>(d.year()), static_cast<GDateMonth>(d.month()),
                                  static_cast<GDateDay>(d.dayOfMonth()), 12, &error);
        check(error, d.year());
        gchar* h = lunar_date_get_holiday(date_, "|");
        const bool any = h && *h;
        g_free(h);
        return any;
    }

  private:
    static void check(GError* error, int year) {
        if (!error) return;
        const std::string why = error->message ? error->message : "unknown error";
        g_error_free(error);
        throw ValueError("lunar calendar: year " + std::to_string(year) + ": " + why);
    }
    std::string text(const char* format) {
        gchar* s = lunar_date_strftime(date_, format);
        std::string out = s ? s : "";
        g_free(s);
        return out;
    }
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static LunarDate* object() {
        static LunarDate* const d = lunar_date_new();
        return d;
    }
    static Date parse(const std::string& s, int year) {
        int y = 0, m = 0, d = 0;
        char a = 0, b = 0;
        std::istringstream in(s);
        if (!(in >> y >> a >> m >> b >> d) || a != '-' || b != '-' || m < 1 || m > 12 || d < 1 || d > 31)
            throw ValueError("lunar calendar: year " + std::to_string(year) + ": unreadable date '" + s + "'");
        return ymd(y, m, d);
    }
    std::lock_guard<std::mutex> lock_;
    LunarDate* date_;
};

// Qingming: the one day from 3 to 6 April on which liblunar-date names a solar
// term (the terms before and after, Chunfen and Guyu, fall around 20 March and
// 20 April, so no other can be named there).
Date qingming(Lunar& lunar, int year) {
    std::vector<Date> named;
    for (int d = 3; d <= 6; ++d)
        if (lunar.named(ymd(year, 4, d))) named.push_back(ymd(year, 4, d));
    if (named.size() != 1)
        throw ValueError("lunar calendar: year " + std::to_string(year) + ": no single Qingming day from 3 to 6 April");
    return named.front();
}

// The holiday arrangements in force from a year on (the rules of the
// State Council's schedules and the exchange's closures). The header tells
// them in words.
struct Era {
    int from;
    bool new_year_three_days;   // New Year: every weekday of 1-3 January
    int spring_last_day;        // Spring Festival: the eve through this day of the 1st lunar month
    bool wednesday_from_monday; // a one-day festival on a Wednesday closes Monday to Wednesday
    enum class Labour { OneDay, FiveDaysSaturday, FiveDays } labour;
};

constexpr Era kEras[] = {
    {2008, true, 6, true, Era::Labour::OneDay},
    {2014, false, 6, false, Era::Labour::OneDay},
    {2019, false, 6, false, Era::Labour::FiveDaysSaturday},
    {2024, false, 7, false, Era::Labour::FiveDays},
};

const Era& era(int year) {
    const Era* e = &kEras[0];
    for (const auto& x : kEras)
        if (year >= x.from) e = &x;
    return *e;
}

class Rules {
  public:
    Rules(std::vector<Closure>& out, const Era& e) : out_(out), era_(e) {}

    void weekdays(const Date& from, const Date& to, const char* name) {
        for (Date d = from; d <= to; ++d)
            if (!weekend(d)) add(d, name);
    }
    // A one-day festival's weekday closures (see the header's table).
    void one_day(const Date& d, const char* name) {
        switch (d.weekday()) {
            case QuantLib::Tuesday: add(d - 1, name); add(d, name); break;
            case QuantLib::Wednesday:
                if (era_.wednesday_from_monday) {
                    add(d - 2, name);
                    add(d - 1, name);
                }
                add(d, name);
                break;
            case QuantLib::Thursday: add(d, name); add(d + 1, name); break;
            case QuantLib::Saturday: add(d + 2, name); break;
            case QuantLib::Sunday: add(d + 1, name); break;
            default: add(d, name); break;
        }
    }
    void new_year(int year) {
        if (era_.new_year_three_days)
            weekdays(ymd(year, 1, 1), ymd(year, 1, 3), "New Year's Day");
        else
            one_day(ymd(year, 1, 1), "New Year's Day");
    }
    void labour_day(int year) {
        const Date may1 = ymd(year, 5, 1);
        switch (era_.labour) {
            case Era::Labour::OneDay: one_day(may1, "Labour Day"); break;
            case Era::Labour::FiveDaysSaturday: {
                const auto w = may1.weekday();
                const Date start = w == QuantLib::Sunday ? may1 - 1 : w == QuantLib::Monday ? may1 - 2 : may1;
                weekdays(start, start + 4, "Labour Day");
                break;
            }
            case Era::Labour::FiveDays: weekdays(may1, ymd(year, 5, 5), "Labour Day"); break;
        }
    }

  private:
    void add(const Date& d, const char* name) { out_.push_back({d, name, Source::Projected}); }
    std::vector<Closure>& out_;
    const Era& era_;
};

// Every festival of festival year `year` (a few of its days may fall in the
// year before).
void festivals(Lunar& lunar, int year, std::vector<Closure>& out) {
    const Era& e = era(year);
    Rules r(out, e);
    r.new_year(year);
    const Date new_year = lunar.solar(year, 1, 1);
    r.weekdays(new_year - 1, new_year + (e.spring_last_day - 1), "Spring Festival");
    r.one_day(qingming(lunar, year), "Qingming Festival");
    r.labour_day(year);
    r.one_day(lunar.solar(year, 5, 5), "Dragon Boat Festival");
    const Date mid_autumn = lunar.solar(year, 8, 15);
    const Date october = ymd(year, 10, 1);
    if (mid_autumn >= ymd(year, 9, 29) && mid_autumn <= ymd(year, 10, 8)) {
        const Date start = std::min(mid_autumn, october);
        r.weekdays(start, start + 7, "National Day");
        if (!weekend(mid_autumn)) {
            for (auto& c : out)
                if (c.date == mid_autumn) c.name = "Mid-Autumn Festival";
        }
    } else {
        r.one_day(mid_autumn, "Mid-Autumn Festival");
        r.weekdays(october, ymd(year, 10, 7), "National Day");
    }
}

}  // namespace

std::vector<Closure> project_year(int year) {
    if (year < kFirstRuleYear || year > kLastRuleYear)
        throw ValueError("cannot project the closures of " + std::to_string(year) + ": the holiday rules run from " +
                         std::to_string(kFirstRuleYear) + " to " + std::to_string(kLastRuleYear));
    Lunar lunar;
    std::vector<Closure> all;
    festivals(lunar, year, all);
    {
        std::vector<Closure> next;
        Rules(next, era(year + 1)).new_year(year + 1);
        all.insert(all.end(), next.begin(), next.end());
    }
    // Keep this year's days, the first name given to a day.
    std::vector<Closure> out;
    std::set<Date> seen;
    for (const auto& c : all)
        if (c.date.year() == year && seen.insert(c.date).second) out.push_back(c);
    std::sort(out.begin(), out.end(), [](const Closure& a, const Closure& b) { return a.date < b.date; });
    return out;
}

// --- the table --------------------------------------------------------------

// Closed weekdays and their sources from kFirstYear to kLastProjectedYear.
struct Holidays::Table {
    Date first, last;
    std::vector<bool> closed;         // by day from `first`
    std::vector<Closure> closures;    // ascending
    std::vector<Source> year_source;  // by year from kFirstYear
    Date covered_until;
    std::map<int, std::vector<Closure>> official;  // the official lists it was built from, by year

    QuantLib::Date::serial_type first_serial = 0, last_serial = 0;  // of first and last

    std::size_t index(const Date& d) const { return static_cast<std::size_t>(d.serialNumber() - first.serialNumber()); }
    bool closed_weekday(const Date& d) const { return closed_serial(calendar::serial_number(d)); }
    bool closed_serial(QuantLib::Date::serial_type n) const {
        return n >= first_serial && n <= last_serial && closed[static_cast<std::size_t>(n - first_serial)];
    }
    Source source(int year) const { return year_source[static_cast<std::size_t>(year - kFirstYear)]; }
};

namespace {

using Table = Holidays::Table;

const std::vector<Date>& published_dates() {
    static const std::vector<Date> dates = [] {
        std::vector<Date> v;
        for (const auto& h : kPublished) v.push_back(ymd(h.y, h.m, h.d));
        std::sort(v.begin(), v.end());
        return v;
    }();
    return dates;
}

// The projection of every year after the published ones, computed once.
const std::map<int, std::vector<Closure>>& projections() {
    static const std::map<int, std::vector<Closure>> p = [] {
        std::map<int, std::vector<Closure>> m;
        for (int y = kLastPublishedYear + 1; y <= kLastProjectedYear; ++y) m[y] = project_year(y);
        return m;
    }();
    return p;
}

std::shared_ptr<const Table> build(std::map<int, std::vector<Closure>> official) {
    auto t = std::make_shared<Table>();
    t->first = ymd(kFirstYear, 1, 1);
    t->last = ymd(kLastProjectedYear, 12, 31);
    t->first_serial = serial_number(t->first);
    t->last_serial = serial_number(t->last);
    t->closed.assign(t->index(t->last) + 1, false);
    t->year_source.assign(static_cast<std::size_t>(kLastProjectedYear - kFirstYear + 1), Source::Projected);
    for (const auto& h : kPublished) t->closures.push_back({ymd(h.y, h.m, h.d), h.name, Source::Published});
    for (int y = kFirstYear; y <= kLastPublishedYear; ++y)
        t->year_source[static_cast<std::size_t>(y - kFirstYear)] = Source::Published;
    for (int y = kLastPublishedYear + 1; y <= kLastProjectedYear; ++y) {
        const auto it = official.find(y);
        if (it != official.end()) {
            t->year_source[static_cast<std::size_t>(y - kFirstYear)] = Source::Official;
            t->closures.insert(t->closures.end(), it->second.begin(), it->second.end());
        } else {
            const auto& p = projections().at(y);
            t->closures.insert(t->closures.end(), p.begin(), p.end());
        }
    }
    std::sort(t->closures.begin(), t->closures.end(), [](const Closure& a, const Closure& b) { return a.date < b.date; });
    for (const auto& c : t->closures) t->closed[t->index(c.date)] = true;
    int y = kLastPublishedYear;
    while (y < kLastProjectedYear && official.count(y + 1)) ++y;
    t->covered_until = ymd(y, 12, 31);
    t->official = std::move(official);
    return t;
}

// The table with no official list, built once.
const std::shared_ptr<const Table>& plain_table() {
    static const std::shared_ptr<const Table> t = build({});
    return t;
}

// Checks an official list (see Holidays(const ClosureList&)).
void check_official(const ClosureList& list) {
    for (int y : list.years)
        if (y <= kLastPublishedYear || y > kLastProjectedYear)
            throw ValueError("official closures for " + std::to_string(y) + ": only " +
                             std::to_string(kLastPublishedYear + 1) + " to " + std::to_string(kLastProjectedYear) +
                             " can be set");
    for (const auto& c : list.closures) {
        if (weekend(c.date)) throw ValueError("official closure " + format(c.date) + " is on a weekend");
        if (!std::binary_search(list.years.begin(), list.years.end(), c.date.year()))
            throw ValueError("official closure " + format(c.date) + " is outside the list's years");
    }
}

// `official` with the list's years replaced by the list.
std::map<int, std::vector<Closure>> merged(std::map<int, std::vector<Closure>> official, const ClosureList& list) {
    for (int y : list.years) official[y].clear();
    for (const auto& c : list.closures) official[c.date.year()].push_back({c.date, c.name, Source::Official});
    return official;
}

// The process default. Its tables are never freed, so a reader may keep
// using the one it loaded while a new official list is being installed.
struct State {
    std::mutex mutex;
    std::vector<std::shared_ptr<const Table>> tables;
    std::atomic<const Table*> current{nullptr};

    State() { install(plain_table()); }
    void install(std::shared_ptr<const Table> t) {  // with mutex held (or from the constructor)
        current.store(t.get(), std::memory_order_release);
        tables.push_back(std::move(t));
    }
};

State& state() {
    static State s;
    return s;
}

// The scope in force on this thread (its table, and the table's compiled
// form), null outside any. Initial-exec: read at a fixed offset from the
// thread pointer rather than through a call, as every trading-day lookup
// reads t_table; two pointers fit the static TLS a library loaded by dlopen
// may take.
[[gnu::tls_model("initial-exec")]] thread_local const Holidays* t_scope = nullptr;
[[gnu::tls_model("initial-exec")]] thread_local const Table* t_table = nullptr;

const Table& table() {
    if (const Table* t = t_table) return *t;
    return *state().current.load(std::memory_order_acquire);
}

class AShareCalendar : public QuantLib::Calendar {
    class Impl : public QuantLib::Calendar::WesternImpl {
      public:
        std::string name() const override { return "Shanghai stock exchange (A-share)"; }
        bool isBusinessDay(const QuantLib::Date& d) const override {
            if (isWeekend(d.weekday())) return false;
            return !table().closed_weekday(d);
        }
    };

  public:
    AShareCalendar() {
        static const QuantLib::ext::shared_ptr<QuantLib::Calendar::Impl> impl =
            QuantLib::ext::make_shared<Impl>();
        impl_ = impl;
    }
};

}  // namespace

QuantLib::Calendar get_a_share_calendar() { return AShareCalendar(); }

QuantLib::Date covered_from() { return ymd(kFirstYear, 1, 1); }

QuantLib::Date covered_until() { return table().covered_until; }

QuantLib::Date projected_until() { return ymd(kLastProjectedYear, 12, 31); }

const std::vector<QuantLib::Date>& holidays() { return published_dates(); }

const char* source_name(Source s) {
    switch (s) {
        case Source::Published: return "published";
        case Source::Official: return "official";
        case Source::Projected: return "projected";
    }
    return "?";
}

bool is_trading_day(const QuantLib::Date& d) { return is_trading_serial(serial_number(d)); }

bool is_trading_serial(QuantLib::Date::serial_type serial) {
    // Serial 1 (31 December 1899) was a Sunday: n % 7 is 0 on Saturdays and 1
    // on Sundays, as QuantLib's Date::weekday() counts.
    const auto w = serial % 7;
    if (w == 0 || w == 1) return false;
    return !table().closed_serial(serial);
}

QuantLib::Date::serial_type serial_number(const QuantLib::Date& d) {
#ifdef QL_HIGH_RESOLUTION_DATE
    // A date is a ptime at midnight; the null date is serial 0.
    static const boost::posix_time::ptime origin = QuantLib::Date().dateTime();
    const auto ticks_per_day = 86400 * boost::posix_time::time_duration::ticks_per_second();
    return static_cast<QuantLib::Date::serial_type>((d.dateTime() - origin).ticks() / ticks_per_day);
#else
    return d.serialNumber();
#endif
}

std::vector<QuantLib::Date> trading_days(const QuantLib::Date& from, const QuantLib::Date& to) {
    std::vector<QuantLib::Date> out;
    if (to < from) return out;
    const Table& t = table();
    out.reserve(static_cast<std::size_t>((to - from) * 5 / 7 + 2));
    for (QuantLib::Date d = from; d <= to; ++d)
        if (!weekend(d) && !t.closed_weekday(d)) out.push_back(d);
    return out;
}

std::vector<Closure> closures(const QuantLib::Date& from, const QuantLib::Date& to) {
    const Table& t = table();
    const auto by_date = [](const Closure& c, const Date& d) { return c.date < d; };
    const auto lo = std::lower_bound(t.closures.begin(), t.closures.end(), from, by_date);
    std::vector<Closure> out;
    for (auto it = lo; it != t.closures.end() && it->date <= to; ++it) out.push_back(*it);
    return out;
}

bool is_projected(const QuantLib::Date& d) {
    const int y = d.year();
    return y > kLastPublishedYear && y <= kLastProjectedYear && table().source(y) == Source::Projected;
}

std::vector<int> projected_years(const QuantLib::Date& from, const QuantLib::Date& to) {
    std::vector<int> out;
    if (to < from) return out;
    const Table& t = table();
    for (int y = std::max(from.year(), kLastPublishedYear + 1); y <= std::min(to.year(), kLastProjectedYear); ++y)
        if (t.source(y) == Source::Projected) out.push_back(y);
    return out;
}

// --- official lists -----------------------------------------------------------

ClosureList read_closures(std::string_view text, const std::string& source) {
    ClosureList list;
    list.source = source;
    std::map<Date, std::pair<std::size_t, std::string>> seen;  // date -> line, name
    std::size_t line_no = 0;
    bool header = false;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        const std::size_t eol = std::min(text.find('\n', pos), text.size());
        std::string line(text.substr(pos, eol - pos));
        pos = eol + 1;
        ++line_no;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto fail = [&](const std::string& why) {
            throw ValueError(source + ":" + std::to_string(line_no) + ": " + why);
        };
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        if (!header) {
            if (line != "date,holiday") fail("expected the header 'date,holiday', found '" + line + "'");
            header = true;
            continue;
        }
        const auto comma = line.find(',');
        if (comma == std::string::npos) fail("expected 'YYYY-MM-DD,holiday name', found '" + line + "'");
        Date d;
        try {
            d = parse(line.substr(0, comma));
        } catch (const ValueError& e) {
            fail(e.what());
        }
        std::string name = line.substr(comma + 1);
        if (name.find_first_not_of(" \t") == std::string::npos) fail("no holiday name for " + line.substr(0, comma));
        if (name.find(',') != std::string::npos) fail("more than two fields in '" + line + "'");
        const std::string day = format(d);
        if (weekend(d))
            fail(day + " is a " + (d.weekday() == QuantLib::Saturday ? "Saturday" : "Sunday") +
                 ": the exchange never trades on weekends, list weekday closures only");
        if (d.year() <= kLastPublishedYear)
            fail(day + ": the closures of " + std::to_string(d.year()) +
                 " are published with this kestrel and cannot be replaced");
        if (d.year() > kLastProjectedYear)
            fail(day + ": the calendar ends in " + std::to_string(kLastProjectedYear));
        const auto [it, inserted] = seen.emplace(d, std::make_pair(line_no, name));
        if (!inserted) {
            const std::string first = std::to_string(it->second.first);
            if (it->second.second != name)
                fail(day + " is named twice: '" + it->second.second + "' on line " + first + " and '" + name + "'");
            fail("duplicate date " + day + " (first on line " + first + ")");
        }
    }
    if (!header) throw ValueError(source + ": empty closure file (expected the header 'date,holiday')");
    if (seen.empty()) throw ValueError(source + ": no closures listed");
    std::set<int> years;
    for (const auto& [d, where] : seen) {
        list.closures.push_back({d, where.second, Source::Official});
        list.lines.push_back(where.first);
        years.insert(d.year());
    }
    list.years.assign(years.begin(), years.end());
    return list;
}

ClosureList read_closures_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ValueError("cannot read closure file '" + path + "'");
    std::ostringstream text;
    text << in.rdbuf();
    return read_closures(text.str(), path);
}

// --- holiday tables -----------------------------------------------------------

Holidays::Holidays() : table_(plain_table()) {}

Holidays::Holidays(const ClosureList& official) : Holidays(Holidays().with(official)) {}

Holidays::Holidays(std::shared_ptr<const Table> table) : table_(std::move(table)) {}

Holidays Holidays::with(const ClosureList& official) const {
    check_official(official);
    if (official.years.empty()) return *this;
    return Holidays(build(merged(table_->official, official)));
}

std::vector<int> Holidays::official_years() const {
    std::vector<int> out;
    for (const auto& [y, list] : table_->official) out.push_back(y);
    return out;
}

QuantLib::Date Holidays::covered_until() const { return table_->covered_until; }

Holidays holidays_in_force() {
    if (const Holidays* h = t_scope) return *h;
    State& s = state();
    std::lock_guard lock(s.mutex);
    return Holidays(s.tables.back());
}

ScopedClosures::ScopedClosures(Holidays table) : table_(std::move(table)), previous_(t_scope) {
    t_scope = &table_;
    t_table = table_.table_.get();
}

ScopedClosures::ScopedClosures(const ClosureList& official) : ScopedClosures(holidays_in_force().with(official)) {}

ScopedClosures::~ScopedClosures() {
    t_scope = previous_;
    t_table = previous_ ? previous_->table_.get() : nullptr;
}

void set_official_closures(const ClosureList& list) {
    check_official(list);
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.install(build(merged(s.tables.back()->official, list)));
}

void clear_official_closures() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (s.tables.back()->official.empty()) return;
    s.install(plain_table());
}

std::vector<int> official_years() { return holidays_in_force().official_years(); }

}  // namespace kestrel::calendar
