#include <kestrel/calendar.hpp>
#include <kestrel/utils.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ql/time/calendar.hpp>

#include <algorithm>
#include <map>
#include <set>
#include <thread>
#include <vector>

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
        {"2027-01-01", false},  // projected: New Year's Day
        {"2027-01-04", true},   {"2027-01-02", false},
        {"2051-01-02", true},   // after the projected years only weekends close
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

// --- projected years ---------------------------------------------------------

std::set<Date> days_of(const std::vector<cal::Closure>& list) {
    std::set<Date> out;
    for (const auto& c : list) out.insert(c.date);
    return out;
}

Date jan1(int y) { return Date(1, QuantLib::January, y); }
Date dec31(int y) { return Date(31, QuantLib::December, y); }

// The rules in force each year run over the published years. A year's
// agreement is the share of its published closures the projection also
// closes. Every disagreement is one data/calendar/README.md explains: the
// 2010 Mid-Autumn break placed Wednesday to Friday, the 2012 Dragon Boat
// Saturday made up on the Friday, 2014's Spring Festival from the first to
// the seventh day, the 2015 victory parade closures, 2015's Sunday
// Mid-Autumn not made up, and the 2020 Spring Festival extension.
TEST(CalendarProjection, BacktestOverThePublishedYears) {
    const std::set<Date> expected_missed{
        parse_date("2010-09-23"), parse_date("2010-09-24"), parse_date("2012-06-22"), parse_date("2014-02-06"),
        parse_date("2015-09-03"), parse_date("2015-09-04"), parse_date("2020-01-31")};
    const std::set<Date> expected_extra{parse_date("2010-09-20"), parse_date("2010-09-21"), parse_date("2012-06-25"),
                                        parse_date("2014-01-30"), parse_date("2015-09-28")};
    std::set<Date> missed, extra;
    std::size_t published = 0, matched = 0;
    for (int y = 2010; y <= 2026; ++y) {
        const auto a = days_of(cal::closures(jan1(y), dec31(y))), p = days_of(cal::project_year(y));
        std::size_t hits = 0;
        for (const auto& d : a) {
            if (p.count(d))
                ++hits;
            else
                missed.insert(d);
        }
        for (const auto& d : p)
            if (!a.count(d)) extra.insert(d);
        EXPECT_GE(100.0 * static_cast<double>(hits) / static_cast<double>(a.size()), 85.0) << y;
        published += a.size();
        matched += hits;
    }
    EXPECT_EQ(missed, expected_missed);
    EXPECT_EQ(extra, expected_extra);
    EXPECT_GE(100.0 * static_cast<double>(matched) / static_cast<double>(published), 95.0);
    EXPECT_THROW(cal::project_year(2007), kestrel::ValueError);  // before the rules known here
}

// Checked by hand from the lunar dates (New Year 2027-02-06, 2028-01-26;
// Mid-Autumn 2027-09-15, 2028-10-03) and the weekend rule.
TEST(CalendarProjection, ProjectedYearsCloseTheRulesDays) {
    const std::vector<std::string> closed{
        "2027-01-01", "2027-02-05", "2027-02-08", "2027-02-12",  // eve (Friday) to the 7th day
        "2027-09-15", "2027-10-01", "2027-10-07",                // Mid-Autumn apart from National Day
        "2028-01-03",                                            // New Year's Day on a Saturday
        "2028-01-25", "2028-02-01",                              // Spring Festival, eve to the 7th day
        "2028-10-02", "2028-10-06",                              // merged break Oct 1-8
        "2029-12-31",                                            // 2030's New Year's Day is a Tuesday
    };
    const std::vector<std::string> open{"2027-02-04", "2027-02-15", "2027-10-08", "2028-01-24",
                                        "2028-02-02", "2028-10-09", "2029-12-28"};
    for (const auto& d : closed) EXPECT_FALSE(cal::is_trading_day(parse_date(d))) << d;
    for (const auto& d : open) EXPECT_TRUE(cal::is_trading_day(parse_date(d))) << d;
    EXPECT_EQ(cal::covered_until(), parse_date("2026-12-31"));
    EXPECT_EQ(cal::projected_until(), parse_date("2050-12-31"));
    EXPECT_TRUE(cal::is_projected(parse_date("2027-02-05")));
    EXPECT_FALSE(cal::is_projected(parse_date("2026-02-16")));
    EXPECT_FALSE(cal::is_projected(parse_date("2051-01-02")));
    EXPECT_EQ(cal::projected_years(parse_date("2026-06-01"), parse_date("2028-03-01")), (std::vector<int>{2027, 2028}));
    EXPECT_TRUE(cal::projected_years(parse_date("2020-01-01"), parse_date("2026-12-31")).empty());
    const auto spring = cal::closures(parse_date("2027-02-01"), parse_date("2027-02-28"));
    ASSERT_EQ(spring.size(), 6u);
    for (const auto& c : spring) {
        EXPECT_EQ(c.name, "Spring Festival");
        EXPECT_EQ(c.source, cal::Source::Projected);
    }
    EXPECT_THROW(cal::project_year(2100), kestrel::ValueError);
}

class OfficialClosures : public ::testing::Test {
  protected:
    void TearDown() override { cal::clear_official_closures(); }
};

TEST_F(OfficialClosures, AnOfficialListReplacesTheProjectionOfItsYears) {
    // Differs from the projection: Spring Festival from Thursday 4 February,
    // National Day through Friday 8 October, no Mid-Autumn closure.
    const auto list = cal::read_closures(
        "date,holiday\n2027-01-01,New Year's Day\n"
        "2027-02-04,Spring Festival\n2027-02-05,Spring Festival\n2027-02-08,Spring Festival\n"
        "2027-10-01,National Day\n2027-10-08,National Day\n",
        "official.csv");
    EXPECT_EQ(list.years, std::vector<int>{2027});
    EXPECT_EQ(list.lines, (std::vector<std::size_t>{2, 3, 4, 5, 6, 7}));
    cal::set_official_closures(list);
    const QuantLib::Calendar calendar = cal::get_a_share_calendar();
    for (const char* d : {"2027-02-04", "2027-10-08"}) {
        EXPECT_FALSE(cal::is_trading_day(parse_date(d))) << d;
        EXPECT_FALSE(calendar.isBusinessDay(parse_date(d))) << d;
    }
    for (const char* d : {"2027-02-09", "2027-09-15", "2027-10-04"}) {
        EXPECT_TRUE(cal::is_trading_day(parse_date(d))) << d;
        EXPECT_TRUE(calendar.isBusinessDay(parse_date(d))) << d;
    }
    EXPECT_EQ(cal::closures(jan1(2027), dec31(2027)).size(), 6u);
    EXPECT_EQ(cal::closures(jan1(2027), jan1(2027)).front().source, cal::Source::Official);
    EXPECT_EQ(cal::covered_until(), parse_date("2027-12-31"));
    EXPECT_EQ(cal::projected_years(jan1(2027), dec31(2028)), std::vector<int>{2028});
    EXPECT_EQ(cal::official_years(), std::vector<int>{2027});
    EXPECT_FALSE(cal::is_trading_day(parse_date("2028-01-25")));  // 2028 is still projected
    // A daily schedule is the trading days of the same calendar.
    EXPECT_EQ(kestrel::utils::get_obs_dates("2027-02-01", "2027-02-12", "daily"),
              cal::trading_days(parse_date("2027-02-01"), parse_date("2027-02-12")));
    EXPECT_EQ(cal::trading_days(parse_date("2027-02-01"), parse_date("2027-02-12")).size(), 7u);

    cal::clear_official_closures();
    EXPECT_TRUE(cal::is_trading_day(parse_date("2027-02-04")));
    EXPECT_FALSE(cal::is_trading_day(parse_date("2027-02-09")));
    EXPECT_EQ(cal::covered_until(), parse_date("2026-12-31"));
}

TEST_F(OfficialClosures, BadFilesAreRefusedWithTheLineAndReason) {
    const std::pair<const char*, const char*> cases[] = {
        {"2027-01-01,New Year's Day\n", "f.csv:1: expected the header 'date,holiday'"},
        {"date,holiday\n2027-01-01,New Year's Day\n2027-02-06,Spring Festival\n",
         "f.csv:3: 2027-02-06 is a Saturday"},
        {"date,holiday\n2027-02-05,Spring Festival\n\n2027-02-05,National Day\n",
         "f.csv:4: 2027-02-05 is named twice: 'Spring Festival' on line 2 and 'National Day'"},
        {"date,holiday\n2027-02-05,Spring Festival\n2027-02-05,Spring Festival\n",
         "f.csv:3: duplicate date 2027-02-05 (first on line 2)"},
        {"date,holiday\n2026-12-31,Bridge\n", "f.csv:2: 2026-12-31: the closures of 2026 are published"},
        {"date,holiday\n2051-01-02,New Year's Day\n", "f.csv:2: 2051-01-02: the calendar ends in 2050"},
        {"date,holiday\n2027-02-30,Spring Festival\n", "f.csv:2: invalid date: '2027-02-30'"},
        {"date,holiday\n2027-02-05\n", "f.csv:2: expected 'YYYY-MM-DD,holiday name'"},
        {"date,holiday\n2027-02-05,\n", "f.csv:2: no holiday name for 2027-02-05"},
        {"date,holiday\n", "f.csv: no closures listed"},
    };
    for (const auto& [text, message] : cases) {
        try {
            cal::read_closures(text, "f.csv");
            ADD_FAILURE() << "accepted: " << text;
        } catch (const kestrel::ValueError& e) {
            EXPECT_THAT(std::string(e.what()), ::testing::StartsWith(message)) << text;
        }
    }
    EXPECT_TRUE(cal::official_years().empty());
}

// Two official 2027 lists that close different days of the projected Spring
// Festival break (projected: 5 and 8-12 February). An official list replaces
// its whole year, so 2027 has 261 - 2 and 261 - 5 trading days under them.
const cal::ClosureList& list_a() {
    static const auto l = cal::read_closures("date,holiday\n2027-02-04,Spring Festival\n2027-02-05,Spring Festival\n", "a.csv");
    return l;
}
const cal::ClosureList& list_b() {
    static const auto l = cal::read_closures(
        "date,holiday\n2027-02-08,Spring Festival\n2027-02-09,Spring Festival\n2027-02-10,Spring Festival\n"
        "2027-02-11,Spring Festival\n2027-02-12,Spring Festival\n",
        "b.csv");
    return l;
}
std::size_t days_2027() { return cal::trading_days(jan1(2027), dec31(2027)).size(); }

TEST_F(OfficialClosures, AScopeInstallsItsTableOnItsThreadAndRestoresTheOneBefore) {
    const Date feb4 = parse_date("2027-02-04"), feb8 = parse_date("2027-02-08");
    const QuantLib::Calendar ql = cal::get_a_share_calendar();
    const std::size_t projected = days_2027();
    EXPECT_EQ(projected, 261u - cal::closures(jan1(2027), dec31(2027)).size());
    {
        const cal::ScopedClosures a(list_a());
        EXPECT_FALSE(cal::is_trading_day(feb4));
        EXPECT_FALSE(ql.isBusinessDay(feb4));
        EXPECT_TRUE(cal::is_trading_day(feb8));
        EXPECT_TRUE(ql.isBusinessDay(feb8));
        EXPECT_EQ(days_2027(), 259u);
        EXPECT_EQ(cal::official_years(), std::vector<int>{2027});
        EXPECT_EQ(cal::covered_until(), dec31(2027));
        EXPECT_TRUE(cal::projected_years(jan1(2027), dec31(2027)).empty());
        EXPECT_EQ(cal::closures(jan1(2027), dec31(2027)).front().source, cal::Source::Official);
        {
            const cal::ScopedClosures b(list_b());
            EXPECT_TRUE(cal::is_trading_day(feb4));
            EXPECT_FALSE(ql.isBusinessDay(feb8));
            EXPECT_EQ(days_2027(), 256u);
        }
        EXPECT_EQ(days_2027(), 259u);  // back to a
        // Another thread values on the process default unless handed the table.
        std::size_t other = 0, carried = 0;
        std::thread([&] { other = days_2027(); }).join();
        std::thread([&, table = cal::holidays_in_force()] {
            const cal::ScopedClosures scope(table);
            carried = days_2027();
        }).join();
        EXPECT_EQ(other, projected);
        EXPECT_EQ(carried, 259u);
        EXPECT_TRUE(cal::is_trading_day(feb8));
    }
    EXPECT_EQ(days_2027(), projected);
    EXPECT_TRUE(cal::official_years().empty());
    EXPECT_EQ(cal::covered_until(), dec31(2026));
}

TEST_F(OfficialClosures, ThreadsValueUnderTheirOwnTablesAtTheSameTime) {
    const std::pair<const cal::ClosureList*, std::size_t> cases[] = {{&list_a(), 259u}, {&list_b(), 256u}};
    std::vector<std::size_t> wrong(2, 0);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < 2; ++i) {
        threads.emplace_back([&, i] {
            const cal::ScopedClosures scope(*cases[i].first);
            for (int k = 0; k < 200; ++k)
                if (days_2027() != cases[i].second) ++wrong[i];
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong, (std::vector<std::size_t>{0, 0}));
}

TEST_F(OfficialClosures, HolidayTablesAreValuesLayeredYearByYear) {
    const auto y2028 = cal::read_closures("date,holiday\n2028-01-04,Bridge\n", "c.csv");
    EXPECT_TRUE(cal::Holidays().official_years().empty());
    const cal::Holidays a(list_a());
    const cal::Holidays both = a.with(y2028);
    EXPECT_EQ(a.official_years(), std::vector<int>{2027});  // unchanged by with()
    EXPECT_EQ(both.official_years(), (std::vector<int>{2027, 2028}));
    EXPECT_EQ(both.covered_until(), dec31(2028));
    // 2028 alone does not follow on from the published years.
    EXPECT_EQ(cal::Holidays(y2028).covered_until(), dec31(2026));
    {
        const cal::ScopedClosures scope(both.with(list_b()));  // b replaces a's 2027, 2028 stays
        EXPECT_EQ(days_2027(), 256u);
        EXPECT_FALSE(cal::is_trading_day(parse_date("2028-01-04")));
    }
    // A list the calendar cannot hold is refused before anything is installed.
    cal::ClosureList bad = list_a();
    bad.years = {2026};
    EXPECT_THROW(cal::Holidays{bad}, kestrel::ValueError);
    EXPECT_THROW(cal::ScopedClosures{bad}, kestrel::ValueError);
    bad = list_a();
    bad.closures.push_back({parse_date("2027-02-06"), "Saturday", cal::Source::Official});
    EXPECT_THROW(cal::set_official_closures(bad), kestrel::ValueError);
    EXPECT_TRUE(cal::official_years().empty());
}

TEST_F(OfficialClosures, AScopeWinsOverTheProcessDefaultAndLayersOnIt) {
    const std::size_t projected = days_2027();
    cal::set_official_closures(list_a());
    EXPECT_EQ(days_2027(), 259u);
    {
        const cal::ScopedClosures plain{cal::Holidays()};
        EXPECT_EQ(days_2027(), projected);
        EXPECT_TRUE(cal::official_years().empty());
        // An empty list changes nothing.
        const cal::ScopedClosures none{cal::ClosureList{}};
        EXPECT_EQ(days_2027(), projected);
    }
    {
        const cal::ScopedClosures b(list_b());  // over the default: its 2027 replaced
        EXPECT_EQ(days_2027(), 256u);
        // The default changes under a scope; this thread keeps the scope's table.
        cal::clear_official_closures();
        EXPECT_EQ(days_2027(), 256u);
    }
    EXPECT_TRUE(cal::official_years().empty());
}

}  // namespace
