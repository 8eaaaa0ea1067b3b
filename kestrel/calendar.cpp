#include <kestrel/calendar.hpp>

#include <algorithm>
#include <memory>
#include <vector>

namespace kestrel::calendar {
namespace {

struct Ymd {
    int y, m, d;
};

constexpr Ymd kHolidays[] = {
#include "sse_holidays.inc"
};

QuantLib::Date to_date(const Ymd& x) {
    return QuantLib::Date(x.d, static_cast<QuantLib::Month>(x.m), x.y);
}

// Closed days as a bitmap over serial numbers of the covered years.
class Table {
  public:
    Table() {
        for (const auto& h : kHolidays) holidays_.push_back(to_date(h));
        std::sort(holidays_.begin(), holidays_.end());
        first_ = QuantLib::Date(1, QuantLib::January, kHolidays[0].y);
        last_ = QuantLib::Date(31, QuantLib::December, kHolidays[std::size(kHolidays) - 1].y);
        first_serial_ = first_.serialNumber();
        last_serial_ = last_.serialNumber();
        closed_.assign(static_cast<std::size_t>(last_serial_ - first_serial_ + 1), false);
        for (const auto& d : holidays_) closed_[index(d)] = true;
    }
    bool closed_weekday(const QuantLib::Date& d) const { return closed_serial(serial_number(d)); }
    bool closed_serial(QuantLib::Date::serial_type n) const {
        if (n < first_serial_ || n > last_serial_) return false;
        return closed_[static_cast<std::size_t>(n - first_serial_)];
    }
    QuantLib::Date first() const { return first_; }
    QuantLib::Date last() const { return last_; }
    const std::vector<QuantLib::Date>& holidays() const { return holidays_; }

  private:
    std::size_t index(const QuantLib::Date& d) const {
        return static_cast<std::size_t>(d.serialNumber() - first_.serialNumber());
    }
    QuantLib::Date first_, last_;
    QuantLib::Date::serial_type first_serial_ = 0, last_serial_ = 0;
    std::vector<bool> closed_;
    std::vector<QuantLib::Date> holidays_;
};

const Table& table() {
    static const Table t;
    return t;
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

QuantLib::Date covered_from() { return table().first(); }

QuantLib::Date covered_until() { return table().last(); }

const std::vector<QuantLib::Date>& holidays() { return table().holidays(); }

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
    out.reserve(static_cast<std::size_t>((to - from) * 5 / 7 + 2));
    for (QuantLib::Date d = from; d <= to; ++d)
        if (is_trading_day(d)) out.push_back(d);
    return out;
}

}  // namespace kestrel::calendar
