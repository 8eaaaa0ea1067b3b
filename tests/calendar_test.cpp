#include <kestrel/calendar.hpp>
#include <kestrel/utils.hpp>

#include <gtest/gtest.h>

#include <ql/time/calendar.hpp>

#include <map>

namespace {

using QuantLib::Date;
using kestrel::utils::parse_date;
namespace cal = kestrel::calendar;

// Trading days per year as published with data/calendar/sse_holidays.csv.
TEST(Calendar, TradingDaysPerYearMatchTheDataReadme) {
    const std::map<int, std::size_t> expected = {
        {2005, 242}, {2006, 241}, {2007, 242}, {2008, 246}, {2009, 244}, {2010, 242}, {2011, 244}, {2012, 243},
        {2013, 238}, {2014, 245}, {2015, 244}, {2016, 244}, {2017, 244}, {2018, 243}, {2019, 244}, {2020, 243},
        {2021, 243}, {2022, 242}, {2023, 242}, {2024, 242}, {2025, 243}, {2026, 242},
    };
    const QuantLib::Calendar calendar = cal::get_a_share_calendar();
    for (const auto& [year, count] : expected) {
        const Date first(1, QuantLib::January, year), last(31, QuantLib::December, year);
        EXPECT_EQ(cal::trading_days(first, last).size(), count) << year;
        EXPECT_EQ(static_cast<std::size_t>(calendar.businessDaysBetween(first, last, true, true)), count) << year;
    }
}

TEST(Calendar, HolidayTableCoversTheDocumentedYears) {
    EXPECT_EQ(cal::holidays().size(), 396u);
    for (const auto& d : cal::holidays()) {
        EXPECT_FALSE(d.weekday() == QuantLib::Saturday || d.weekday() == QuantLib::Sunday) << d;
        EXPECT_FALSE(cal::is_trading_day(d)) << d;
    }
    EXPECT_EQ(cal::covered_from(), parse_date("2005-01-01"));
    EXPECT_EQ(cal::covered_until(), parse_date("2026-12-31"));
}

TEST(Calendar, KnownClosuresAndOpenings) {
    struct Case {
        const char* day;
        bool trading;
    };
    const Case cases[] = {
        {"2024-02-09", false},  // Spring Festival eve: the exchange closed though it was no public holiday
        {"2024-02-08", true},   {"2024-02-19", true},
        {"2024-02-04", false},  // a Sunday make-up working day: offices work, the exchange does not
        {"2015-09-03", false},  {"2015-09-04", false},  // War Victory 70th Anniversary
        {"2020-01-31", false},  // Spring Festival closure extended
        {"2007-04-04", true},   // an old QuantLib rule, not an exchange closure
        {"2026-10-01", false},  {"2026-12-31", true},
        {"2027-01-01", true},   // past the covered years only weekends close
        {"2027-01-02", false},
    };
    const QuantLib::Calendar calendar = cal::get_a_share_calendar();
    for (const auto& c : cases) {
        EXPECT_EQ(cal::is_trading_day(parse_date(c.day)), c.trading) << c.day;
        EXPECT_EQ(calendar.isBusinessDay(parse_date(c.day)), c.trading) << c.day;
    }
}

TEST(Calendar, QuantLibCalendarAndTradingDayListAgreeEverywhere) {
    const QuantLib::Calendar calendar = cal::get_a_share_calendar();
    for (Date d = parse_date("2004-12-01"); d <= parse_date("2027-02-01"); ++d) {
        ASSERT_EQ(calendar.isBusinessDay(d), cal::is_trading_day(d)) << d;
        ASSERT_EQ(cal::serial_number(d), d.serialNumber()) << d;
        ASSERT_EQ(cal::is_trading_serial(d.serialNumber()), cal::is_trading_day(d)) << d;
    }
    for (const Date& d : {Date::minDate(), Date::maxDate(), Date(29, QuantLib::February, 2000)})
        EXPECT_EQ(cal::serial_number(d), d.serialNumber()) << d;
    EXPECT_EQ(cal::serial_number(Date()), 0);
    // Copies share one implementation and compare equal.
    EXPECT_EQ(cal::get_a_share_calendar(), calendar);
}

TEST(Calendar, TradingDayListIncludesTradingEndsOnly) {
    EXPECT_EQ(cal::trading_days(parse_date("2024-02-08"), parse_date("2024-02-19")),
              (std::vector<Date>{parse_date("2024-02-08"), parse_date("2024-02-19")}));
    EXPECT_TRUE(cal::trading_days(parse_date("2024-02-10"), parse_date("2024-02-18")).empty());
    EXPECT_TRUE(cal::trading_days(parse_date("2024-03-01"), parse_date("2024-02-01")).empty());
    EXPECT_EQ(cal::trading_days(parse_date("2024-03-01"), parse_date("2024-03-01")).size(), 1u);
}

}  // namespace
