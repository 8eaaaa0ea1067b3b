// SnowBallOption: coupon schedule, the payoff rules on given paths, values on
// flat paths, and a note on the CSI 300's real history. What it shares with
// the phoenix (history state, settlement, input checks, Greeks on shared
// paths, threads) is tested in montecarlo_test.cpp.
#include <kestrel/engines/mc/kernel.hpp>
#include <kestrel/kestrel.hpp>

#include "support/note_support.hpp"
#include "support/test_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

using namespace kestrel;
using QuantLib::Date;
using Matrix = kestrel::random_sample::Matrix;

namespace {

Date day(const char* s) { return utils::parse_date(s); }

Matrix one_path(const std::vector<double>& levels) {
    Matrix m(1, levels.size());
    for (std::size_t j = 0; j < levels.size(); ++j) m(0, j) = levels[j];
    return m;
}

class SnowballTest : public ::testing::Test {
  protected:
    std::shared_ptr<test::CountingClient> client = std::make_shared<test::CountingClient>();
    test::ScopedClient scoped{client};
    test::ScopedPaths paths{1000};
    Terms terms = test::one_year_note("snowball");
};

TEST_F(SnowballTest, CouponsAccrueFromTheObservationStart) {
    terms.set("ko_obs_freq", Value::List{Value("2025-01-02"), Value("2025-04-03"), Value("2025-07-03")});
    const SnowBallOption note(terms);
    ASSERT_EQ(note.ko_obs_dates(), (std::vector<Date>{day("2025-01-02"), day("2025-04-03"), day("2025-07-03")}));
    ASSERT_EQ(note.coupon().size(), 3u);
    EXPECT_EQ(note.coupon()[0], 0.0) << "a knock-out date on the observation start earns nothing";
    EXPECT_EQ(note.coupon()[1], 100.0 * 0.2 * 91 / 365);
    EXPECT_NEAR(note.coupon()[1], 4.99, 0.005);
    EXPECT_EQ(note.coupon()[2], 100.0 * 0.2 * 182 / 365) << "the whole time from the start, not one period";
}

// One path of three grid days through _mc_pricing: knock-out positions 1
// and 2 (coupons 1.5 and 3.0), knock-in positions 0, 1 and 2, spot 100
// (relative knock-in 0.8, knock-out 1.03, strike 1.0), no discounting.
struct PathCase {
    std::vector<double> path;
    bool knocked_in;
    double value;
    const char* why;
};

TEST_F(SnowballTest, PayoffRulesOnGivenPaths) {
    const SnowBallOption note(terms);
    const PathCase cases[] = {
        {{1.0, 1.03, 1.0}, false, 3.0, "exactly at the knock-out level: no knock-out, the last coupon"},
        {{1.0, 1.0301, 1.0}, false, 1.5, "a tick above: knocked out on the first date"},
        {{1.0, 1.04, 1.05}, false, 1.5, "above on both dates: one coupon, the first"},
        {{0.8, 1.0, 0.9}, false, 3.0, "exactly at the knock-in level: not knocked in"},
        {{0.7999, 1.0, 0.9}, false, -10.0, "knocked in, ends at 90: the loss"},
        {{0.7999, 1.0, 1.02}, false, 0.0, "knocked in, ends above the strike: no loss, no coupon"},
        {{0.7, 1.04, 0.5}, false, 1.5, "knocked in, then out: the coupon and no loss"},
        {{1.0, 1.0, 0.9}, true, -10.0, "knocked in before: the loss whatever the minimum"},
        {{1.0, 1.0, 1.01}, true, 0.0, "knocked in before, ends above the strike: worth nothing"},
        {{1.0, 1.0, 1.04}, true, 3.0, "knocked in before and out on the last date: that coupon"},
    };
    for (const PathCase& c : cases)
        EXPECT_NEAR(note._mc_pricing(one_path(c.path), 100, {0, 1, 2}, {1, 2}, {1, 1, 1}, {1.5, 3.0}, c.knocked_in),
                    c.value, 1e-12)
            << c.why << " (path " << c.path[0] << ", " << c.path[1] << ", " << c.path[2] << ", knocked_in "
            << c.knocked_in << ")";
}

TEST_F(SnowballTest, MatrixValueIsTheAverageWithDiscountsAndSpot) {
    const SnowBallOption note(terms);
    Matrix paths(3, 3);
    const double rows[3][3] = {{1.0, 1.04, 1.0}, {0.7, 0.8, 0.85}, {1.0, 1.0, 1.0}};
    for (int p = 0; p < 3; ++p)
        for (int j = 0; j < 3; ++j) paths(p, j) = rows[p][j];
    const std::vector<double> discount{1.0, 0.99, 0.98};
    // Coupon 1 discounted to day 1; the loss (0.85 - 1) x 100 from day 2; the
    // last coupon for the untouched path, discounted to day 2.
    const double want = (1.5 * 0.99 + (0.85 - 1.0) * 0.98 * 100 + 3.0 * 0.98) / 3;
    EXPECT_NEAR(note._mc_pricing(paths, 100, {0, 1, 2}, {1, 2}, discount, {1.5, 3.0}), want, 1e-12);
    // At spot 125 the levels move instead of the paths: knock-in 0.64,
    // knock-out 0.824, strike 0.8. Rows 0 and 2 knock out on day 1, row 1
    // (never below 0.64) on day 2.
    EXPECT_NEAR(note._mc_pricing(paths, 125, {0, 1, 2}, {1, 2}, discount, {1.5, 3.0}),
                (1.5 * 0.99 + 3.0 * 0.98 + 1.5 * 0.99) / 3, 1e-12);
}

TEST_F(SnowballTest, NoKnockOutPositionLeavesTheLossLegAlone) {
    const SnowBallOption note(terms);
    EXPECT_NEAR(note._mc_pricing(one_path({0.7, 0.9}), 100, {0}, {}, {1, 0.5}, {}), -5.0, 1e-12);
    EXPECT_EQ(note._mc_pricing(one_path({0.9, 0.9}), 100, {0}, {}, {1, 0.5}, {}), 0.0);
    EXPECT_THROW(note._mc_pricing(one_path({0.9, 0.9}), 100, {0}, {1}, {1, 0.5}, {}), ValueError)
        << "one coupon per knock-out position";
    EXPECT_THROW(note._mc_pricing(one_path({0.9, 0.9}), 100, {0}, {}, {1}, {}), ValueError)
        << "one discount factor per grid day";
}

// Flat paths: vol 0 and r = q.
struct FlatCase {
    double spot, rate;
    bool knocked_in;
    const char* why;
};

TEST_F(SnowballTest, FlatPathsGiveTheirValueExactly) {
    const SnowBallOption note(terms);
    const Date E = day("2025-01-02");
    const double last = note.coupon().back(), first = note.coupon().front();
    const double t_last = static_cast<double>(note.ko_obs_dates().back() - E) / 365;
    const double t_first = static_cast<double>(note.ko_obs_dates().front() - E) / 365;
    struct Row {
        FlatCase in;
        double value;
    } rows[] = {
        {{90, 0.0, false, "between the barriers: the last coupon"}, last},
        {{90, 0.03, false, "the same, discounted with r"}, last * std::exp(-0.03 * t_last)},
        {{104, 0.0, false, "above the knock-out level: the first coupon"}, first},
        {{104, 0.02, false, "the same, discounted"}, first * std::exp(-0.02 * t_first)},
        {{79, 0.0, false, "below the knock-in level on the first day: the loss"}, 79.0 - 100.0},
        {{90, 0.0, true, "knocked in, below the strike: spot - strike"}, 90.0 - 100.0},
        {{100, 0.0, true, "knocked in, at the strike: nothing"}, 0.0},
        {{102, 0.0, true, "knocked in, above the strike: nothing"}, 0.0},
    };
    for (const Row& r : rows) {
        const double v = note._npv(r.in.spot, r.in.rate, 0.0, r.in.rate, E, r.in.knocked_in).npv;
        EXPECT_NEAR(v, r.value, 1e-12 * (1 + std::fabs(r.value)))
            << r.in.why << " (spot " << r.in.spot << ", r = q = " << r.in.rate << ", knocked_in " << r.in.knocked_in
            << ")";
    }
}

TEST_F(SnowballTest, KnockOutOnTheEvaluationDatePaysThatCouponUndiscounted) {
    SnowBallOption note(terms);
    const Date E = note.ko_obs_dates()[2];  // a trading day; no close for it yet
    const double want = note.coupon()[2];
    EXPECT_NEAR(note.npv(110, 0.03, 0.25, 0.01, E), want, 1e-12 * want);
    // Every bumped spot is above the barrier too: delta and gamma vanish.
    const OptionGreeks g = note.greeks(110, 0.03, 0.25, 0.01, E);
    EXPECT_NEAR(g.npv, want, 1e-12 * want);
    EXPECT_EQ(g.delta, 0.0);
    EXPECT_EQ(g.gamma, 0.0);
}

TEST_F(SnowballTest, KnockOutBarrierAtZeroPaysTheFirstRemainingCouponWhateverThePaths) {
    terms.set("ko_barrier", 0.0);
    SnowBallOption note(terms);
    const Date E = day("2025-03-17");
    const Date first = note.ko_obs_dates()[2];
    const double want = note.coupon()[2] * std::exp(-0.04 * static_cast<double>(first - E) / 365);
    EXPECT_NEAR(note.npv(100, 0.04, 0.35, 0.0, E), want, 1e-12 * want);
}

TEST_F(SnowballTest, NoKnockOutDateLeftValuesTheLossLegOnly) {
    terms.set("obs_end_date", "2025-10-31");
    SnowBallOption note(terms);
    const Date E = day("2025-11-14");
    ASSERT_LT(note.ko_obs_dates().back(), E);
    // No history: not knocked in, and no knock-in date is left either.
    EXPECT_EQ(note.npv(50, 0.0, 0.0, 0.0, E), 0.0);
    EXPECT_EQ(note.npv(50, 0.03, 0.3, 0.0, E), 0.0);
    // Knocked in during its history: the loss at maturity.
    std::vector<std::pair<Date, double>> closes;
    for (const Date& d : calendar::trading_days(day("2025-01-02"), E - 1))
        closes.emplace_back(d, d == day("2025-06-10") ? 70.0 : 95.0);
    client->add_closes("NOTE.TEST", "pre", closes);
    EXPECT_NEAR(note.npv(90, 0.0, 0.0, 0.0, E), -10.0, 1e-12);
    EXPECT_EQ(note.npv(120, 0.0, 0.0, 0.0, E), 0.0);
    EXPECT_LT(note.npv(90, 0.03, 0.3, 0.0, E), 0.0);
}

TEST_F(SnowballTest, NoKnockInDateLeftMeansNoPathKnocksIn) {
    terms.set("ki_obs_freq", Value::List{Value("2025-03-03")});
    SnowBallOption note(terms);
    const Date E = day("2025-06-16");
    // Far below the knock-in barrier, but no knock-in date remains: never
    // knocked in, never knocked out, so the last coupon.
    EXPECT_NEAR(note.npv(50, 0.0, 0.0, 0.0, E), note.coupon().back(), 1e-12);
}

TEST_F(SnowballTest, KnockedInNoteFarBelowIsNegative) {
    const SnowBallOption note(terms);
    EXPECT_LT(note._npv(60, 0.03, 0.2, 0.0, day("2025-03-17"), true).npv, -25.0);
}

// Variants on one path of four grid days: knock-out positions 1, 2 and 3 are
// the schedule's last three dates (coupons 1, 2 and 3), spot 100, no
// discounting.
TEST_F(SnowballTest, VariantPayoffsOnGivenPaths) {
    const std::vector<std::size_t> all{0, 1, 2, 3}, ko{1, 2, 3};
    auto value = [&](const Terms& t, const std::vector<double>& path) {
        return SnowBallOption(t)._mc_pricing(one_path(path), 100, all, ko, {1, 1, 1, 1}, {1.0, 2.0, 3.0});
    };
    // Step-down by 1 a date: the last three levels are 94, 93 and 92.
    Terms step = terms;
    step.set("ko_barrier_step", 1.0);
    EXPECT_NEAR(value(step, {1.0, 0.93, 0.935, 0.5}), 2.0, 1e-12) << "crossed only on the second of them";
    EXPECT_NEAR(value(terms, {1.0, 0.93, 0.935, 0.5}), -50.0, 1e-12) << "the flat barrier is never crossed";
    // Parachute: the last date's level is 80.
    Terms parachute = terms;
    Value::List levels(SnowBallOption(terms).ko_obs_dates().size(), Value(103.0));
    levels.back() = 80.0;
    parachute.set("ko_barrier", levels);
    EXPECT_NEAR(value(parachute, {1.0, 1.0, 0.7, 0.85}), 3.0, 1e-12) << "knocked in, then out on the last date";
    EXPECT_NEAR(value(parachute, {1.0, 1.0, 0.7, 0.8}), -20.0, 1e-12) << "at the last level: the loss";
    // Floor at 85: the loss is at most 15.
    Terms floor = terms;
    floor.set("floor_price", 85.0);
    EXPECT_NEAR(value(floor, {1.0, 1.0, 0.7, 0.6}), -15.0, 1e-12) << "the floor binds";
    EXPECT_NEAR(value(floor, {1.0, 1.0, 0.7, 0.9}), -10.0, 1e-12) << "the floor does not bind";
    floor.set("floor_price", 100.0);
    EXPECT_EQ(value(floor, {1.0, 1.0, 0.7, 0.6}), 0.0) << "principal protected";
    // A maturity coupon of 5 % a year replaces the last coupon of an untouched path only.
    Terms maturity = terms;
    maturity.set("maturity_coupon_rate", 0.05);
    const SnowBallOption plain(terms);
    const double days = static_cast<double>(plain.ko_obs_dates().back() - plain.obs_start_date());
    EXPECT_NEAR(value(maturity, {1.0, 1.0, 1.0, 1.0}), 100 * 0.05 * days / 365, 1e-12);
    EXPECT_NEAR(value(maturity, {1.0, 1.0, 1.0, 1.04}), 3.0, 1e-12) << "a knock-out on the last date is paid its coupon";
}

TEST_F(SnowballTest, StepDownSchedulesAndTheirFlatPathValues) {
    terms.set("coupon_rate_step", 0.01);
    terms.set("ko_barrier_step", 1.0);
    const SnowBallOption note(terms);
    const auto& dates = note.ko_obs_dates();
    ASSERT_EQ(dates.size(), 12u);
    for (std::size_t i = 0; i < dates.size(); ++i) {
        EXPECT_EQ(note.terms().ko_barriers[i], 103.0 - static_cast<double>(i));
        EXPECT_NEAR(note.coupon()[i], 100 * (0.2 - 0.01 * static_cast<double>(i)) *
                                          static_cast<double>(dates[i] - note.obs_start_date()) / 365, 1e-12);
    }
    const Date E = day("2025-01-02");
    // Flat at 95: first strictly above its date's level on date 9 (94).
    EXPECT_NEAR(note._npv(95, 0.0, 0.0, 0.0, E).npv, note.coupon()[9], 1e-12);
    EXPECT_NEAR(note._npv(99.5, 0.0, 0.0, 0.0, E).npv, note.coupon()[4], 1e-12) << "level 99 on date 4";
    EXPECT_NEAR(note._npv(85, 0.0, 0.0, 0.0, E).npv, note.coupon()[11], 1e-12) << "untouched: the last rate";
}

TEST_F(SnowballTest, FairCouponOnAFlatUntouchedPath) {
    const Date E = day("2025-01-02");
    // Flat at 90 the note pays rate x 100 x days / 365 on the last date, so
    // the rate worth 3 is 3 x 365 / (100 x days).
    const SnowBallOption note(terms);
    const double days = static_cast<double>(note.ko_obs_dates().back() - note.obs_start_date());
    const auto fair = SnowBallOption(terms).fair_coupon_rate(90, 0.0, 0.0, 0.0, E, 3.0);
    EXPECT_NEAR(fair.fair_coupon_rate, 3.0 * 365 / (100 * days), 1e-12);
    EXPECT_LT(fair.standard_error, 1e-9);
    // With a maturity coupon rate of its own, nothing on that path moves with the rate.
    terms.set("maturity_coupon_rate", 0.05);
    EXPECT_THROW(SnowBallOption(terms).fair_coupon_rate(90, 0.0, 0.0, 0.0, E), ValueError);
}

TEST_F(SnowballTest, OnceObservesOnlyTheObservationEnd) {
    terms.set("ki_obs_freq", "once");
    const SnowBallOption european(terms);
    EXPECT_EQ(european.ki_obs_dates(), std::vector<Date>{day("2026-01-05")});
    // 3 January 2026 is a Saturday: observed the trading day before.
    EXPECT_EQ(utils::get_obs_dates(day("2025-01-02"), day("2026-01-03"), "once"), std::vector<Date>{day("2025-12-31")});
}

// A two-year snowball on the CSI 300 from 4 January 2022 (s0 = that close):
// knock-out at 103 % monthly, knock-in at 75 % daily. The index first closed
// below 75 % on 24 October 2022 and never above 103 % in its life.
Terms csi300_note(const char* effect, double s0, const char* maturity) {
    return Terms{{"type", "snowball"},      {"effect_date", effect},
                 {"maturity_date", maturity}, {"underlying", "000300.XSHG"},
                 {"s0", s0},                  {"notional", 1.0},
                 {"strike", s0},              {"ki_barrier", 0.75 * s0},
                 {"ko_barrier", 1.03 * s0},   {"coupon_rate", 0.15},
                 {"ki_obs_freq", "daily"},    {"ko_obs_freq", "monthly"},
                 {"obs_start_date", effect},  {"obs_end_date", maturity}};
}

TEST(SnowballRealData, Csi300NoteInsideItsHistory) {
    test::ScopedClient scoped(test::bundled_store());
    test::ScopedPaths paths(2000);
    SnowBallOption note(csi300_note("2022-01-04", 4917.7653, "2024-01-04"));
    // Mid-2022: neither knocked in nor out.
    const Date june = day("2022-06-30");
    EXPECT_EQ(note.npv(4485.0, 0.02, 0.22, 0.0, june), note._npv(4485.0, 0.02, 0.22, 0.0, june, false).npv);
    // End of 2022: knocked in on 24 October, so every path is knocked in.
    const Date december = day("2022-12-30");
    const double v = note.npv(3871.6, 0.02, 0.22, 0.0, december);
    EXPECT_EQ(v, note._npv(3871.6, 0.02, 0.22, 0.0, december, true).npv);
    EXPECT_LT(v, 0.0);
    EXPECT_LT(v, note._npv(3871.6, 0.02, 0.22, 0.0, december, false).npv);
}

TEST(SnowballRealData, Csi300NoteKnockedOutInJuly2020IsWorthNothing) {
    auto client = std::make_shared<test::CountingClient>();
    test::ScopedClient scoped(client);
    // Monthly knock-out from 2 January 2020 at 103 % of 4152.24: the close of
    // 2 July 2020, 4335.84, is above it.
    const auto store = test::bundled_store();
    const auto table = store->get_price("000300.XSHG", day("2020-01-02"), day("2020-12-31"), {"close"}, "pre", true);
    ASSERT_TRUE(table);
    const auto frame = table->droplevel("order_book_id");
    std::vector<std::pair<Date, double>> closes;
    for (std::size_t i = 0; i < frame.size(); ++i) closes.emplace_back(frame.index()[i], frame.column("close")[i]);
    client->add_closes("000300.XSHG", "pre", closes);
    SnowBallOption note(csi300_note("2020-01-02", 4152.24, "2021-12-31"));
    client->reset_counts();
    EXPECT_EQ(note.npv(4700, 0.02, 0.2, 0.0, day("2020-07-15")), 0.0);
    EXPECT_EQ(client->trading_dates_calls, 0);
    // The month before it was alive.
    EXPECT_GT(note.npv(4000, 0.02, 0.2, 0.0, day("2020-06-15")), 0.0);
}

// A note over 2027-2028, past the published calendar: its grid and schedules
// skip the projected Spring Festival and National Day weeks, and once an
// official list for 2027 is installed the same valuation follows it.
TEST(SnowballProjectedCalendar, GridSkipsProjectedHolidaysAndFollowsAnOfficialList) {
    test::ScopedClient scoped{std::make_shared<test::CountingClient>()};
    test::ScopedPaths paths{2000};
    Terms t = test::one_year_note("snowball");
    for (const char* key : {"effect_date", "obs_start_date"}) t.set(key, "2027-01-05");
    for (const char* key : {"maturity_date", "obs_end_date"}) t.set(key, "2028-12-29");
    const Date eval = day("2027-01-05");
    const auto in = [](const std::vector<Date>& v, const char* from, const char* to) {
        return std::any_of(v.begin(), v.end(), [&](const Date& d) { return d >= day(from) && d <= day(to); });
    };

    const SnowBallOption note(t);
    const auto grid = detail::mc::make_grid(eval, note.maturity_date()).dates;
    for (const auto& [from, to] : {std::pair{"2027-02-05", "2027-02-12"}, {"2027-10-01", "2027-10-07"},
                                   {"2028-01-25", "2028-02-01"}, {"2028-10-02", "2028-10-06"}})
        EXPECT_FALSE(in(grid, from, to)) << from;
    EXPECT_EQ(note.ki_obs_dates(), grid);
    // Monthly on the 5th: February's and October's roll past the breaks.
    EXPECT_THAT(note.ko_obs_dates(), ::testing::IsSupersetOf({day("2027-02-15"), day("2027-10-08"), day("2028-10-09")}));
    const double projected = note._npv(100, 0.02, 0.2, 0, eval).npv;

    // Official 2027: Spring Festival 8-12 February only, National Day through 8 October.
    calendar::set_official_closures(calendar::read_closures(
        "date,holiday\n2027-02-08,Spring Festival\n2027-02-09,Spring Festival\n2027-02-10,Spring Festival\n"
        "2027-02-11,Spring Festival\n2027-02-12,Spring Festival\n2027-10-01,National Day\n"
        "2027-10-04,National Day\n2027-10-05,National Day\n2027-10-06,National Day\n2027-10-07,National Day\n"
        "2027-10-08,National Day\n",
        "official.csv"));
    const SnowBallOption official(t);
    const auto official_grid = detail::mc::make_grid(eval, official.maturity_date()).dates;
    EXPECT_TRUE(in(official_grid, "2027-02-05", "2027-02-05"));
    EXPECT_FALSE(in(official_grid, "2027-10-08", "2027-10-08"));
    EXPECT_EQ(official.ki_obs_dates(), official_grid);
    EXPECT_THAT(official.ko_obs_dates(), ::testing::IsSupersetOf({day("2027-02-05"), day("2027-10-11")}));
    EXPECT_NE(official._npv(100, 0.02, 0.2, 0, eval).npv, projected);

    calendar::clear_official_closures();
    EXPECT_EQ(SnowBallOption(t)._npv(100, 0.02, 0.2, 0, eval).npv, projected);
}

}  // namespace
