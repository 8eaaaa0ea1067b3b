#include <kestrel/calendar.hpp>
#include <kestrel/utils.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iomanip>
#include <sstream>

namespace kestrel {
namespace utils {
namespace {

// QuantLib's Date covers 1901-01-01 .. 2199-12-31.
constexpr int kMinYear = 1901;
constexpr int kMaxYear = 2199;

QuantLib::Date from_ymd(int y, unsigned m, unsigned d, std::string_view what) {
    using namespace std::chrono;
    const year_month_day ymd{year{y}, month{m}, day{d}};
    if (!ymd.ok() || y < kMinYear || y > kMaxYear)
        throw ValueError("invalid date: '" + std::string(what) + "'");
    return QuantLib::Date(static_cast<QuantLib::Day>(d), static_cast<QuantLib::Month>(m),
                          static_cast<QuantLib::Year>(y));
}

bool parse_int(std::string_view s, int& out) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && p == s.data() + s.size();
}

}  // namespace

QuantLib::Date parse_date(std::string_view text) {
    // Exactly YYYY-MM-DD.
    int y = 0, m = 0, d = 0;
    if (text.size() != 10 || text[4] != '-' || text[7] != '-' || !parse_int(text.substr(0, 4), y) ||
        !parse_int(text.substr(5, 2), m) || !parse_int(text.substr(8, 2), d))
        throw ValueError("invalid date: '" + std::string(text) + "' (expected YYYY-MM-DD)");
    return from_ymd(y, static_cast<unsigned>(m), static_cast<unsigned>(d), text);
}

DateInput::DateInput(const QuantLib::Date& d) : date_(d) {
    if (d == QuantLib::Date()) throw ValueError("invalid date: null date");
}

DateInput::DateInput(std::chrono::year_month_day ymd) {
    const int y = static_cast<int>(ymd.year());
    const unsigned m = static_cast<unsigned>(ymd.month()), d = static_cast<unsigned>(ymd.day());
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", y, m, d);
    date_ = from_ymd(y, m, d, text);
}

DateInput::DateInput(std::chrono::sys_days days) : DateInput(std::chrono::year_month_day{days}) {}

DateInput::DateInput(std::string_view text) : date_(parse_date(text)) {}

QuantLib::Date to_timestamp(const DateInput& d) { return d.date(); }

QuantLib::Date to_qldate(const DateInput& d) { return d.date(); }

std::string format_date(const QuantLib::Date& d) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", d.year(), static_cast<int>(d.month()),
                  d.dayOfMonth());
    return buf;
}

std::chrono::year_month_day to_ymd(const QuantLib::Date& d) {
    using namespace std::chrono;
    return year_month_day{year{d.year()}, month{static_cast<unsigned>(d.month())},
                          day{static_cast<unsigned>(d.dayOfMonth())}};
}

QuantLib::Date today() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return QuantLib::Date(static_cast<QuantLib::Day>(local.tm_mday),
                          static_cast<QuantLib::Month>(local.tm_mon + 1),
                          static_cast<QuantLib::Year>(local.tm_year + 1900));
}

namespace {

struct Period {
    int days = 0;
    int months = 0;
};

bool lookup_period(std::string_view freq, Period& p) {
    if (freq == "weekly") p = {7, 0};
    else if (freq == "biweekly") p = {14, 0};
    else if (freq == "monthly") p = {0, 1};
    else if (freq == "bimonthly") p = {0, 2};
    else if (freq == "quarterly") p = {0, 3};
    else if (freq == "semiannually") p = {0, 6};
    else if (freq == "annually") p = {0, 12};
    else return false;
    return true;
}

QuantLib::Date add_months_clipped(const QuantLib::Date& start, int months) {
    int y = start.year();
    int m = static_cast<int>(start.month()) - 1 + months;
    y += m / 12;
    m = m % 12 + 1;
    if (y > kMaxYear) return QuantLib::Date::maxDate();
    const int last = QuantLib::Date::endOfMonth(QuantLib::Date(1, static_cast<QuantLib::Month>(m), y)).dayOfMonth();
    const int d = std::min<int>(start.dayOfMonth(), last);
    return QuantLib::Date(d, static_cast<QuantLib::Month>(m), y);
}

QuantLib::Date next_trading_on_or_after(QuantLib::Date d) {
    while (!calendar::is_trading_day(d)) {
        if (d == QuantLib::Date::maxDate()) return d;
        ++d;
    }
    return d;
}

QuantLib::Date previous_trading_on_or_before(QuantLib::Date d) {
    while (!calendar::is_trading_day(d)) {
        if (d == QuantLib::Date::minDate()) return d;
        --d;
    }
    return d;
}

// Forward onto a trading day, or backward if forward would pass `end`.
QuantLib::Date roll(const QuantLib::Date& d, const QuantLib::Date& end) {
    const QuantLib::Date f = next_trading_on_or_after(d);
    if (f <= end || d > end) return f;
    return previous_trading_on_or_before(d);
}

void sort_unique(std::vector<QuantLib::Date>& v) {
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
}

}  // namespace

std::vector<QuantLib::Date> get_obs_dates(const DateInput& start_in, const DateInput& end_in,
                                          std::string_view freq) {
    const QuantLib::Date start = start_in.date();
    const QuantLib::Date end = end_in.date();
    if (freq == "daily") return calendar::trading_days(start, end);
    if (freq == "once") {
        // obs_end_date alone (a European observation), on or before it.
        if (end <= start) return {};
        const QuantLib::Date r = roll(end, end);
        if (r > start) return {r};
        return {};
    }
    Period p;
    if (!lookup_period(freq, p))
        throw ValueError("unknown observation frequency: " + std::string(freq));
    std::vector<QuantLib::Date> out;
    for (int k = 1;; ++k) {
        const QuantLib::Date d = p.months ? add_months_clipped(start, p.months * k)
                                          : (start.serialNumber() + static_cast<QuantLib::Date::serial_type>(p.days) * k >
                                                     QuantLib::Date::maxDate().serialNumber()
                                                 ? QuantLib::Date::maxDate()
                                                 : start + p.days * k);
        if (d > end || d == QuantLib::Date::maxDate()) break;
        const QuantLib::Date r = roll(d, end);
        if (r > start) out.push_back(r);
    }
    sort_unique(out);
    return out;
}

std::vector<QuantLib::Date> get_obs_dates(const DateInput& start, const DateInput& end_in,
                                          const std::vector<QuantLib::Date>& dates) {
    (void)start;
    const QuantLib::Date end = end_in.date();
    std::vector<QuantLib::Date> out;
    out.reserve(dates.size());
    for (const auto& d : dates) out.push_back(roll(d, end));
    sort_unique(out);
    return out;
}

std::size_t left_insertion(const std::vector<QuantLib::Date>& sorted, const QuantLib::Date& d) {
    return static_cast<std::size_t>(std::lower_bound(sorted.begin(), sorted.end(), d) - sorted.begin());
}

std::string format_exact(double x) {
    if (!std::isfinite(x)) return std::isnan(x) ? "nan" : (x > 0 ? "inf" : "-inf");
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, x);
    return std::string(buf, res.ptr);
}

std::string format_exact_or_blank(double x) { return std::isfinite(x) ? format_exact(x) : std::string(); }

std::string format_fixed(double x, int decimals) {
    std::ostringstream s;
    s << std::fixed << std::setprecision(decimals) << x;
    std::string t = s.str();
    if (t == "-0." + std::string(static_cast<std::size_t>(std::max(decimals, 0)), '0')) t.erase(0, 1);
    return t;
}

std::string csv_field(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string html_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

}  // namespace utils
}  // namespace kestrel
