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
        closed_.assign(static_cast<std::size_t>(last_.serialNumber() - first_.serialNumber() + 1), false);
        for (const auto& d : holidays_) closed_[index(d)] = true;
    }
    bool closed_weekday(const QuantLib::Date& d) const {
        if (d < first_ || d > last_) return false;
        return closed_[index(d)];
    }
    QuantLib::Date first() const { return first_; }
    QuantLib::Date last() const { return last_; }
    const std::vector<QuantLib::Date>& holidays() const { return holidays_; }

  private:
    std::size_t index(const QuantLib::Date& d) const {
        return static_cast<std::size_t>(d.serialNumber() - first_.serialNumber());
    }
    QuantLib::Date first_, last_;
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

bool is_trading_day(const QuantLib::Date& d) {
    const auto w = d.weekday();
    if (w == QuantLib::Saturday || w == QuantLib::Sunday) return false;
    return !table().closed_weekday(d);
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
