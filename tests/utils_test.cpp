#include <kestrel/calendar.hpp>
#include <kestrel/utils.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

namespace {

using QuantLib::Date;
using kestrel::utils::DateInput;
using kestrel::utils::get_obs_dates;
using kestrel::utils::parse_date;
using ::testing::HasSubstr;

std::vector<Date> dates(std::initializer_list<const char*> texts) {
    std::vector<Date> out;
    for (const char* t : texts) out.push_back(parse_date(t));
    return out;
}

// ---------------------------------------------------------------------------
// Dates

TEST(Dates, EveryFormNamesTheSameDay) {
    using namespace std::chrono;
    const Date expected(1, QuantLib::March, 2024);
    EXPECT_EQ(DateInput("2024-03-01").date(), expected);
    EXPECT_EQ(DateInput(std::string("2024-03-01")).date(), expected);
    EXPECT_EQ(DateInput(expected).date(), expected);
    EXPECT_EQ(DateInput(2024y / March / 1d).date(), expected);
    EXPECT_EQ(DateInput(sys_days{2024y / March / 1d}).date(), expected);
    EXPECT_EQ(kestrel::utils::to_qldate("2024-03-01"), expected);
    EXPECT_EQ(kestrel::utils::to_timestamp(2024y / March / 1d), expected);
    EXPECT_EQ(kestrel::utils::to_ymd(expected), 2024y / March / 1d);
    EXPECT_EQ(kestrel::utils::format_date(expected), "2024-03-01");
    EXPECT_EQ(DateInput("2024-02-29").date(), Date(29, QuantLib::February, 2024));
}

TEST(Dates, MalformedOrImpossibleTextIsAValueErrorQuotingIt) {
    const char* bad[] = {"2024-02-30", "2023-02-29", "03/01/2024", "", "2024-1-05", "2024-13-01", "2024-00-10",
                         "abcd-ef-gh", " 2024-03-01", "2024-03-01 ", "2024-03-01T00:00", "+024-03-01", "1900-12-31"};
    for (const char* text : bad) {
        try {
            (void)parse_date(text);
            ADD_FAILURE() << "accepted '" << text << "'";
        } catch (const kestrel::ValueError& e) {
            EXPECT_THAT(e.what(), HasSubstr(std::string("'") + text + "'"));
        }
        EXPECT_THROW(DateInput{text}, kestrel::ValueError) << text;
    }
}

TEST(Dates, ImpossibleYearMonthDayIsAValueErrorQuotingIt) {
    using namespace std::chrono;
    try {
        DateInput d(2024y / February / 30d);
        ADD_FAILURE() << "accepted 2024-02-30";
    } catch (const kestrel::ValueError& e) {
        EXPECT_THAT(e.what(), HasSubstr("'2024-02-30'"));
    }
    EXPECT_THROW(DateInput{Date{}}, kestrel::ValueError);
}

TEST(Dates, TodayIsTheLocalDate) {
    // Local time is within a day of UTC wherever the tests run.
    using namespace std::chrono;
    const year_month_day utc{floor<days>(system_clock::now())};
    const Date t = kestrel::utils::today();
    EXPECT_LE(std::abs(t - DateInput(utc).date()), 1);
}

TEST(Dates, LeftInsertion) {
    const auto v = dates({"2024-01-02", "2024-01-04", "2024-01-08"});
    EXPECT_EQ(kestrel::utils::left_insertion(v, parse_date("2024-01-01")), 0u);
    EXPECT_EQ(kestrel::utils::left_insertion(v, parse_date("2024-01-04")), 1u);
    EXPECT_EQ(kestrel::utils::left_insertion(v, parse_date("2024-01-05")), 2u);
    EXPECT_EQ(kestrel::utils::left_insertion(v, parse_date("2024-02-01")), 3u);
}

// ---------------------------------------------------------------------------
// Observation schedules

struct ScheduleCase {
    const char *start, *end, *freq;
    std::vector<Date> expected;
    const char* why;
};

TEST(ObsDates, Vocabulary) {
    const ScheduleCase cases[] = {
        {"2024-02-08", "2024-02-19", "daily", dates({"2024-02-08", "2024-02-19"}), "both trading ends included"},
        {"2024-02-10", "2024-02-18", "daily", {}, "no trading day in range"},
        {"2024-02-02", "2024-03-01", "weekly", dates({"2024-02-19", "2024-02-23", "2024-03-01"}),
         "Feb 9 and Feb 16 both roll onto Feb 19, kept once; the start is no observation"},
        {"2024-01-03", "2024-02-14", "biweekly", dates({"2024-01-17", "2024-01-31", "2024-02-08"}),
         "Feb 14 is closed and rolling forward passes the end: back to Feb 8"},
        {"2024-01-31", "2024-06-30", "monthly",
         dates({"2024-02-29", "2024-04-01", "2024-04-30", "2024-05-31", "2024-06-28"}),
         "Jan 31 + 1 month clips to Feb 29; Mar 31 is a Sunday; Jun 30 rolls back"},
        {"2023-11-30", "2024-12-31", "quarterly", dates({"2024-02-29", "2024-05-30", "2024-08-30", "2024-12-02"}),
         "clipping in February does not carry into later months"},
        {"2024-01-15", "2024-07-15", "bimonthly", dates({"2024-03-15", "2024-05-15", "2024-07-15"}),
         "an end on an observation is included"},
        {"2024-01-15", "2025-01-15", "semiannually", dates({"2024-07-15", "2025-01-15"}), ""},
        {"2020-02-29", "2024-03-01", "annually", dates({"2021-03-01", "2022-02-28", "2023-02-28", "2024-02-29"}),
         "leap day clipped, then restored in a leap year"},
        {"2024-03-01", "2024-02-01", "monthly", {}, "end before start"},
        {"2024-03-01", "2024-03-20", "monthly", {}, "no whole period"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(get_obs_dates(c.start, c.end, c.freq), c.expected) << c.freq << " " << c.start << ".." << c.end
                                                                     << ": " << c.why;
}

TEST(ObsDates, ExplicitListsRollSortAndDeduplicate) {
    const auto got = get_obs_dates("2024-01-01", "2024-12-31",
                                   dates({"2024-02-10", "2024-01-05", "2024-02-19", "2024-01-05"}));
    EXPECT_EQ(got, dates({"2024-01-05", "2024-02-19"}));
    // Rolling forward would pass the end: back instead.
    EXPECT_EQ(get_obs_dates("2024-01-01", "2024-02-11", dates({"2024-02-10"})), dates({"2024-02-08"}));
    EXPECT_TRUE(get_obs_dates("2024-01-01", "2024-12-31", std::vector<Date>{}).empty());
    // Start 2024-02-08 (Thursday before the Spring Festival closure), end
    // 2024-02-16 (inside it): start + 7 days rolls back onto the start itself,
    // which is never an observation date of a periodic token.
    EXPECT_TRUE(get_obs_dates("2024-02-08", "2024-02-16", "weekly").empty());
}

TEST(ObsDates, UnknownTokenNamesIt) {
    for (const char* token : {"fortnightly", "Monthly", "", "month"}) {
        try {
            get_obs_dates("2024-01-01", "2024-12-31", token);
            ADD_FAILURE() << "accepted '" << token << "'";
        } catch (const kestrel::ValueError& e) {
            EXPECT_STREQ(e.what(), (std::string("unknown observation frequency: ") + token).c_str());
        }
    }
}

TEST(ObsDates, PeriodicSchedulesAreAscendingTradingDaysAfterTheStart) {
    const char* tokens[] = {"daily", "weekly", "biweekly", "monthly", "bimonthly", "quarterly", "semiannually",
                            "annually"};
    for (Date start = parse_date("2023-01-01"); start < parse_date("2025-01-01"); start += 11) {
        const Date end = start + 800;
        for (const char* token : tokens) {
            const auto got = get_obs_dates(start, end, token);
            ASSERT_FALSE(got.empty()) << token << " from " << start;
            for (std::size_t i = 0; i < got.size(); ++i) {
                ASSERT_TRUE(kestrel::calendar::is_trading_day(got[i])) << token << " " << got[i];
                ASSERT_LE(got[i], end) << token;
                ASSERT_GE(got[i], start) << token;
                if (i > 0) {
                    ASSERT_LT(got[i - 1], got[i]) << token;
                }
            }
            ASSERT_EQ(get_obs_dates(start, end, token), got) << "equal arguments, equal results";
        }
    }
}

}  // namespace
