// PhoenixOption: per-period coupons, the payoff rules on given paths, values
// on flat paths and with every coupon certain, and a note on real history.
// What it shares with the snowball (history state, settlement, input checks,
// Greeks on shared paths, threads) is tested in montecarlo_test.cpp.
#include <kestrel/kestrel.hpp>

#include "support/note_support.hpp"
#include "support/test_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
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

class PhoenixTest : public ::testing::Test {
  protected:
    std::shared_ptr<test::CountingClient> client = std::make_shared<test::CountingClient>();
    test::ScopedClient scoped{client};
    test::ScopedPaths paths{1000};
    Terms terms = test::one_year_note("phoenix");
};

TEST_F(PhoenixTest, EachCouponAccruesOverItsOwnPeriod) {
    terms.set("effect_date", "2021-01-04");
    terms.set("maturity_date", "2021-07-05");
    terms.set("obs_start_date", "2021-01-04");
    terms.set("obs_end_date", "2021-04-06");
    terms.set("coupon_rate", 0.12);
    const PhoenixOption note(terms);
    // 4 April 2021 is a Sunday before the Qingming holiday: observed on the 6th.
    ASSERT_EQ(note.ko_obs_dates(), (std::vector<Date>{day("2021-02-04"), day("2021-03-04"), day("2021-04-06")}));
    EXPECT_EQ(note.coupon(), (std::vector<double>{100 * 0.12 * 31 / 365, 100 * 0.12 * 28 / 365, 100 * 0.12 * 33 / 365}));
    EXPECT_NEAR(note.coupon()[0], 1.02, 0.005);
    EXPECT_NEAR(note.coupon()[1], 0.92, 0.005);
    EXPECT_NEAR(note.coupon()[2], 1.08, 0.005);
}

TEST_F(PhoenixTest, TheFirstPeriodRunsFromTheEffectDate) {
    terms.set("effect_date", "2024-12-20");  // before the observation start 2025-01-02
    terms.set("ko_obs_freq", Value::List{Value("2025-02-05")});
    const PhoenixOption single(terms);
    EXPECT_EQ(single.coupon(), std::vector<double>{100 * 0.2 * 47 / 365});
    terms.set("effect_date", "2025-01-02");
    terms.set("ko_obs_freq", Value::List{Value("2025-01-02"), Value("2025-02-05")});
    const PhoenixOption on_effect(terms);
    EXPECT_EQ(on_effect.coupon(), (std::vector<double>{0.0, 100 * 0.2 * 34 / 365}));
}

TEST_F(PhoenixTest, AnEmptyKnockOutScheduleIsRefused) {
    terms.set("ko_obs_freq", Value::List{});
    EXPECT_THROW(PhoenixOption{terms}, IndexError);
    terms.set("ko_obs_freq", "annually");  // no full year between start and end
    terms.set("obs_end_date", "2025-12-31");
    try {
        PhoenixOption note(terms);
        FAIL() << "no IndexError";
    } catch (const IndexError& e) {
        EXPECT_THAT(e.what(), ::testing::HasSubstr("knock-out schedule is empty"));
    }
}

// One path of four grid days through _mc_pricing: knock-out positions 1, 2
// and 3 (coupons 1, 2 and 4), spot 100 (relative knock-in 0.8, knock-out
// 1.03, strike 1.0), no discounting.
struct PathCase {
    std::vector<double> path;
    std::vector<std::size_t> ki;
    bool knocked_in;
    double value;
    const char* why;
};

TEST_F(PhoenixTest, PayoffRulesOnGivenPaths) {
    const PhoenixOption note(terms);
    const std::vector<std::size_t> ko{1, 2, 3}, all{0, 1, 2, 3};
    const PathCase cases[] = {
        {{1.0, 1.0, 1.0, 1.0}, all, false, 7.0, "alive throughout: every coupon"},
        {{1.0, 0.8, 1.0, 1.0}, all, false, 7.0, "exactly at the knock-in level: paid, not knocked in"},
        {{1.0, 0.7999, 1.0, 1.0}, {1}, false, 6.0, "below it: that coupon missed and not paid later"},
        {{1.0, 0.7999, 1.0, 0.9}, {1}, false, 6.0 - 10.0, "knocked in: later coupons still paid, and the loss"},
        {{1.0, 1.03, 1.0, 1.0}, all, false, 7.0, "exactly at the knock-out level: no knock-out"},
        {{1.0, 1.0301, 1.0, 0.5}, all, false, 1.0, "a tick above: that coupon, then nothing"},
        {{0.7, 1.04, 0.5, 0.5}, {0}, false, 1.0, "knocked in, then out: the coupon, no loss"},
        {{1.0, 1.0, 0.85, 0.9}, all, true, 7.0 - 10.0, "knocked in before: coupons and the loss"},
        {{1.0, 1.0, 1.0, 1.2}, all, true, 7.0, "knocked in before, ends above the strike: coupons only"},
        {{1.0, 1.0, 0.9, 0.7}, {}, false, 3.0, "no knock-in position: the last coupon missed, no loss"},
    };
    for (const PathCase& c : cases)
        EXPECT_NEAR(note._mc_pricing(one_path(c.path), 100, c.ki, ko, {1, 1, 1, 1}, {1.0, 2.0, 4.0}, c.knocked_in),
                    c.value, 1e-12)
            << c.why << " (path " << ::testing::PrintToString(c.path) << ", knocked_in " << c.knocked_in << ")";
    // No knock-out position left: the put leg alone, discounted from the last day.
    EXPECT_NEAR(note._mc_pricing(one_path({0.7, 0.9}), 100, {0}, {}, {1, 0.5}, {}), -5.0, 1e-12);
    EXPECT_EQ(note._mc_pricing(one_path({0.9, 0.9}), 100, {0}, {}, {1, 0.5}, {}), 0.0);
}

TEST_F(PhoenixTest, CouponsAreDiscountedToTheirOwnDates) {
    const PhoenixOption note(terms);
    const double v = note._mc_pricing(one_path({1.0, 1.0, 1.0, 1.0}), 100, {0}, {1, 2, 3}, {1.0, 0.99, 0.98, 0.97},
                                      {1.0, 2.0, 4.0});
    EXPECT_NEAR(v, 1.0 * 0.99 + 2.0 * 0.98 + 4.0 * 0.97, 1e-12);
}

TEST_F(PhoenixTest, FlatPathsGiveTheirValueExactly) {
    PhoenixOption note(terms);
    const Date E = day("2025-01-02");
    const auto& c = note.coupon();
    const double all = std::accumulate(c.begin(), c.end(), 0.0);
    struct Row {
        double spot;
        bool knocked_in;
        double value;
        const char* why;
    } rows[] = {
        {90, false, all, "between the barriers: every coupon"},
        {90, true, all - 10.0, "knocked in below the strike: every coupon and the loss"},
        {80, true, all - 20.0, "at the knock-in level: still every coupon"},
        {79, false, -21.0, "below the knock-in level: no coupon, knocked in at once"},
        {104, false, c.front(), "above the knock-out level: the first coupon"},
    };
    for (const Row& r : rows)
        EXPECT_NEAR(note._npv(r.spot, 0.0, 0.0, 0.0, E, r.knocked_in).npv, r.value, 1e-12 * (1 + std::fabs(r.value)))
            << r.why << " (spot " << r.spot << ", knocked_in " << r.knocked_in << ")";
}

TEST_F(PhoenixTest, WithTheCouponBarrierAtZeroEveryCouponIsPaidWhateverThePaths) {
    terms.set("ki_barrier", 0.0);
    terms.set("ko_barrier", 1e12);
    PhoenixOption note(terms);
    const Date E = day("2025-03-17");
    double want = 0.0;
    for (std::size_t i = 0; i < note.ko_obs_dates().size(); ++i)
        if (note.ko_obs_dates()[i] >= E)
            want += note.coupon()[i] * std::exp(-0.03 * static_cast<double>(note.ko_obs_dates()[i] - E) / 365);
    EXPECT_NEAR(note.npv(100, 0.03, 0.4, 0.01, E), want, 1e-12 * want);
}

TEST_F(PhoenixTest, NoKnockInDateLeftMeansNoPathKnocksIn) {
    terms.set("ki_obs_freq", Value::List{Value("2025-03-03")});
    PhoenixOption note(terms);
    // Far below the coupon barrier: no coupon, but no knock-in and no loss.
    EXPECT_EQ(note.npv(50, 0.0, 0.0, 0.0, day("2025-06-16")), 0.0);
}

// Memory and the coupon barrier on one path of five grid days: knock-out
// positions 1 to 4 (coupons 1, 2, 3, 4), coupon barrier 90 (0.9 relative),
// knock-in 0.8, knock-out 1.03.
TEST_F(PhoenixTest, MemoryAndCouponBarrierOnGivenPaths) {
    terms.set("coupon_barrier", 90.0);
    const PhoenixOption plain(terms);
    terms.set("memory", true);
    const PhoenixOption memory(terms);
    const std::vector<std::size_t> ko{1, 2, 3, 4};
    const std::vector<double> df{1.0, 0.99, 0.98, 0.97, 0.96}, coupons{1.0, 2.0, 3.0, 4.0};
    auto value = [&](const PhoenixOption& n, const std::vector<double>& path, double owed = 0.0) {
        return n._mc_pricing(one_path(path), 100, {}, ko, df, coupons, false, owed);
    };
    EXPECT_NEAR(value(memory, {1, 0.85, 0.85, 0.85, 0.95}), (1 + 2 + 3 + 4) * 0.96, 1e-12)
        << "three owed coupons paid at once with the fourth";
    EXPECT_NEAR(value(plain, {1, 0.85, 0.85, 0.85, 0.95}), 4 * 0.96, 1e-12)
        << "between the knock-in and the coupon barrier: nothing";
    EXPECT_NEAR(value(memory, {1, 0.85, 0.95, 0.85, 0.85}), (1 + 2) * 0.98, 1e-12)
        << "coupons owed at maturity are lost";
    EXPECT_NEAR(value(memory, {1, 0.85, 0.85, 1.05, 0.5}), (1 + 2 + 3) * 0.97, 1e-12)
        << "paid on the knock-out date";
    EXPECT_NEAR(value(memory, {1, 0.95, 0.95, 0.95, 0.95}, 5.0), 6 * 0.99 + 2 * 0.98 + 3 * 0.97 + 4 * 0.96, 1e-12)
        << "owed from the history: paid with the first coupon earned";
    EXPECT_NEAR(value(plain, {1, 0.95, 0.95, 0.95, 0.95}, 5.0), 1 * 0.99 + 2 * 0.98 + 3 * 0.97 + 4 * 0.96, 1e-12)
        << "no memory: nothing owed";
}

TEST_F(PhoenixTest, OwedCouponsFromTheHistoryOnFlatPaths) {
    terms.set("coupon_barrier", 90.0);
    terms.set("memory", true);
    PhoenixOption note(terms);
    const auto& d = note.ko_obs_dates();
    const auto& c = note.coupon();
    const Date E = day("2025-03-17");
    ASSERT_LT(d[1], E);
    ASSERT_GT(d[2], E);
    const double all = std::accumulate(c.begin(), c.end(), 0.0);
    const double remaining = all - c[0] - c[1];
    auto history = [&](double first, double second) {
        std::vector<std::pair<Date, double>> closes;
        for (const Date& t : calendar::trading_days(day("2025-01-02"), E - 1))
            closes.emplace_back(t, t == d[0] ? first : t == d[1] ? second : 95.0);
        client->add_closes("NOTE.TEST", "pre", closes);
    };
    // Flat at 95 every remaining coupon is earned, the first with what is owed.
    history(85, 85);
    EXPECT_NEAR(note.npv(95, 0.0, 0.0, 0.0, E), all, 1e-12) << "both past coupons owed";
    history(85, 95);
    EXPECT_NEAR(note.npv(95, 0.0, 0.0, 0.0, E), remaining, 1e-12) << "paid on the second date";
    history(95, 85);
    EXPECT_NEAR(note.npv(95, 0.0, 0.0, 0.0, E), remaining + c[1], 1e-12) << "the second owed";
    terms.set("memory", false);
    EXPECT_NEAR(PhoenixOption(terms).npv(95, 0.0, 0.0, 0.0, E), remaining, 1e-12) << "no memory";
    // Flat at 85, above the knock-in but below the coupon barrier: nothing is ever paid.
    EXPECT_EQ(note.npv(85, 0.0, 0.0, 0.0, E), 0.0);
}

TEST(PhoenixRealData, Csi300NoteInsideItsHistory) {
    test::ScopedClient scoped(test::bundled_store());
    test::ScopedPaths paths(2000);
    const double s0 = 4917.7653;
    PhoenixOption note(Terms{{"effect_date", "2022-01-04"},    {"maturity_date", "2024-01-04"},
                             {"underlying", "000300.XSHG"},    {"s0", s0},
                             {"notional", 1.0},                {"strike", s0},
                             {"ki_barrier", 0.75 * s0},        {"ko_barrier", 1.03 * s0},
                             {"coupon_rate", 0.12},            {"ki_obs_freq", "daily"},
                             {"ko_obs_freq", "monthly"},       {"obs_start_date", "2022-01-04"},
                             {"obs_end_date", "2024-01-04"}});
    // Knocked in on 24 October 2022 (3633.37 < 3688.32), never knocked out.
    const Date june = day("2022-06-30"), december = day("2022-12-30");
    EXPECT_EQ(note.npv(4485.0, 0.02, 0.22, 0.0, june), note._npv(4485.0, 0.02, 0.22, 0.0, june, false).npv);
    const double v = note.npv(3871.6, 0.02, 0.22, 0.0, december);
    EXPECT_EQ(v, note._npv(3871.6, 0.02, 0.22, 0.0, december, true).npv);
    EXPECT_LT(v, note._npv(3871.6, 0.02, 0.22, 0.0, december, false).npv);
}

}  // namespace
