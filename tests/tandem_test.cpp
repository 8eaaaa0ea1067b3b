#include <kestrel/kestrel.hpp>

#include "support/test_support.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <ql/settings.hpp>

#include <cmath>
#include <string>
#include <vector>

using namespace kestrel;
using QuantLib::Date;
using QuantLib::DoubleBarrier;

namespace {

// Valued on Monday 2024-03-04, maturity Monday 2024-09-02: T = 182 / 365.
constexpr const char* kEval = "2024-03-04";
constexpr double kT = 182.0 / 365.0;

Terms terms(const std::string& touch_type, double lo = 90, double hi = 110) {
    return Terms{{"type", "tandem"},        {"effect_date", "2024-03-04"}, {"maturity_date", "2024-09-02"},
                 {"underlying", "600519.XSHG"}, {"s0", 100.0},              {"notional", 1e6},
                 {"touch_type", touch_type},  {"touch_price_lo", lo},       {"touch_price_hi", hi},
                 {"digital_payoff", 10.0},    {"pay_at", "expiry"}};
}

struct Day {
    double low, high;
};

class TandemTest : public ::testing::Test {
  protected:
    std::shared_ptr<test::CountingClient> client = std::make_shared<test::CountingClient>();
    test::ScopedClient scoped{client};

    // Adjusted daily bars on consecutive trading days from the effect date,
    // closing halfway between the low and the high.
    void days(const std::vector<Day>& values, const std::string& adjust = "pre") {
        std::vector<heron::Bar> bars;
        Date d(4, QuantLib::March, 2024);
        for (const auto& v : values) {
            const double mid = (v.low + v.high) / 2;
            bars.push_back(heron::Bar{d, mid, v.high, v.low, mid, std::nullopt});
            d = heron::get_next_trading_date(d);
        }
        client->add("600519.XSHG", adjust, bars);
    }
};

template <class E>
std::string error_of(const Terms& t) {
    try {
        DoubleTouchOption o(t);
    } catch (const E& e) {
        return e.what();
    }
    return "<no error of the expected kind>";
}

template <class E, class F>
std::string error_in(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "<no error of the expected kind>";
}

}  // namespace

TEST_F(TandemTest, InnerTermsAreSixteenEntriesInOrder) {
    auto t = terms("double_no_touch", 88, 115);
    t.erase("digital_payoff");
    t.set("maturity_date", "2024-08-31");  // a Saturday: rolled to Monday 2024-09-02
    t.set("pay_at", 7);                    // handed on unchanged
    DoubleTouchOption o(t);
    const Terms inner = o.inner_terms();
    const Terms expected{{"type", "corridor"},
                         {"underlying", "600519.XSHG"},
                         {"notional", 1e6},
                         {"s0", 100.0},
                         {"call_put", "call"},
                         {"strike", 0},
                         {"barrier_type", "knock_out"},
                         {"barrier_lo", 88.0},
                         {"barrier_hi", 115.0},
                         {"payoff_type", "cash_or_nothing"},
                         {"exercise_type", "european"},
                         {"rebate", 0.0},
                         {"digital_payoff", 100.0},
                         {"pay_at", 7},
                         {"effect_date", Date(4, QuantLib::March, 2024)},
                         {"maturity_date", Date(2, QuantLib::September, 2024)}};
    EXPECT_EQ(inner, expected) << inner.to_json().dump();
    EXPECT_EQ(inner.at("strike").kind(), std::string("integer"));

    // The inner instrument is a cash-or-nothing call struck at 0 paying s0.
    DoubleBarrierOption& d = o.option();
    EXPECT_EQ(d.call_put(), QuantLib::Option::Call);
    EXPECT_EQ(d.strike(), 0.0);
    EXPECT_EQ(d.payoff_type(), "cash_or_nothing");
    EXPECT_EQ(*d.digital_payoff(), 100.0);
    EXPECT_EQ(d.barrier_lo(), 88.0);
    EXPECT_EQ(d.barrier_hi(), 115.0);
    EXPECT_EQ(d.maturity_date(), Date(2, QuantLib::September, 2024));

    const std::vector<std::tuple<const char*, DoubleBarrier::Type, const char*>> map = {
        {"double_one_touch", DoubleBarrier::KnockIn, "european"},
        {"double_no_touch", DoubleBarrier::KnockOut, "european"},
        {"kiko", DoubleBarrier::KIKO, "american"},
        {"koki", DoubleBarrier::KOKI, "american"},
    };
    for (const auto& [touch, barrier, exercise] : map) {
        DoubleTouchOption x(terms(touch));
        EXPECT_EQ(x.option().barrier_type(), barrier) << touch;
        EXPECT_EQ(x.option().exercise_type(), exercise) << touch;
        EXPECT_TRUE(x.option().pay_at_expiry()) << touch;
    }
}

TEST_F(TandemTest, UntouchedValueAndGreeksAreTheInnerInstruments) {
    DoubleTouchOption dnt(terms("double_no_touch"));
    DoubleTouchOption dot(terms("double_one_touch"));
    const double no_touch = dnt.npv(100, 0.03, 0.2, 0.01, kEval);
    EXPECT_EQ(no_touch, dnt.option().npv(100, 0.03, 0.2, 0.01, kEval));
    EXPECT_GT(no_touch, 0.5);
    // One of the two always happens, and both pay at maturity.
    EXPECT_NEAR(no_touch + dot.npv(100, 0.03, 0.2, 0.01, kEval), 10.0 * std::exp(-0.03 * kT), 1e-9);

    client->reset_counts();
    const OptionGreeks g = dnt.greeks(100, 0.03, 0.2, 0.01, kEval);
    // One touch test here, then the inner Greeks' nine repricings, each with
    // the inner option's own trigger test.
    EXPECT_EQ(client->price_calls, 10);
    EXPECT_EQ(g, dnt.option().greeks(100, 0.03, 0.2, 0.01, kEval));
    EXPECT_EQ(g.npv, no_touch);
    EXPECT_LT(g.gamma, 0.0);  // a no-touch is short the corridor's edges
    // The inherited single Greeks reprice through this class's npv: two
    // valuations, each with a touch test and an inner trigger test.
    client->reset_counts();
    dnt.delta(100, 0.03, 0.2, 0.01, kEval);
    EXPECT_EQ(client->price_calls, 4);
}

TEST_F(TandemTest, TouchIsJudgedOnAdjustedHighsAndLowsStrictly) {
    DoubleTouchOption o(terms("double_no_touch", 90, 110));
    EXPECT_FALSE(o.triggered("2024-04-30"));  // no history
    days({{95, 105}, {90, 101}, {99, 110}});   // levels equal to a low and a high
    EXPECT_FALSE(o.triggered("2024-04-30"));
    EXPECT_EQ(client->last_adjust, "pre");
    EXPECT_EQ(client->last_fields, (std::vector<std::string>{"low", "high"}));
    EXPECT_EQ(client->last_start, Date(4, QuantLib::March, 2024));
    EXPECT_EQ(client->last_end, Date(30, QuantLib::April, 2024));
    // Unadjusted bars do not count.
    days({{80, 120}}, "none");
    EXPECT_FALSE(o.triggered("2024-04-30"));
    // A high above the upper level touches although the day closes inside.
    client->add("600519.XSHG", "pre", {heron::Bar{Date(7, QuantLib::March, 2024), 100, 110.01, 99, 100, {}}});
    EXPECT_TRUE(o.triggered("2024-04-30"));
    EXPECT_FALSE(o.triggered("2024-03-06"));
    client->add("600519.XSHG", "pre", {heron::Bar{Date(7, QuantLib::March, 2024), 100, 101, 89.99, 100, {}}});
    EXPECT_TRUE(o.triggered("2024-04-30"));
    // An empty table is no touch.
    auto empty = std::make_shared<test::CountingClient>();
    empty->empty_table_instead_of_absent = true;
    test::ScopedClient scoped_empty(empty);
    EXPECT_FALSE(o.triggered("2024-04-30"));
}

TEST_F(TandemTest, TouchedNoTouchIsWorthNothing) {
    DoubleTouchOption o(terms("double_no_touch"));
    days({{95, 105}, {89, 100}});
    client->reset_counts();
    EXPECT_EQ(o.npv(100, 0.03, 0.2, 0.01, "2024-04-01"), 0.0);
    EXPECT_EQ(o.greeks(100, 0.03, 0.2, 0.01, "2024-04-01"), (OptionGreeks{0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(client->price_calls, 2);  // one touch test each, nothing priced
    // Before the touch it is live.
    EXPECT_GT(o.npv(100, 0.03, 0.2, 0.01, kEval), 0.0);
}

TEST_F(TandemTest, TouchedOneTouchIsSettledAtZero) {
    // Touched intraday only: the closes stay inside, so the inner double
    // barrier (which reads closes) would still see a live contract.
    DoubleTouchOption o(terms("double_one_touch"));
    days({{95, 105}, {99, 111}});
    client->reset_counts();
    EXPECT_EQ(o.npv(100, 0.03, 0.2, 0.01, "2024-04-01"), 0.0);
    EXPECT_EQ(o.greeks(100, 0.03, 0.2, 0.01, "2024-04-01"), (OptionGreeks{0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(client->price_calls, 2);  // one touch test each, nothing priced
}

TEST_F(TandemTest, KikoAndKokiAreRefusedOnceThereIsHistory) {
    DoubleTouchOption kiko(terms("kiko"));
    // No history: untouched, valued by the inner American engine.
    const double value = kiko.npv(100, 0.03, 0.2, 0.01, kEval);
    EXPECT_GT(value, 0.0);
    EXPECT_LT(value, 10.0);
    // Untouched with history: the inner trigger test (on unadjusted closes) refuses.
    days({{95, 105}});
    days({{95, 105}}, "none");
    EXPECT_EQ(error_in<NotImplementedError>([&] { kiko.npv(100, 0.03, 0.2, 0.01, "2024-04-01"); }),
              "KIKO and KOKI not implemented yet");
    EXPECT_EQ(error_in<NotImplementedError>([&] { kiko.greeks(100, 0.03, 0.2, 0.01, "2024-04-01"); }),
              "KIKO and KOKI not implemented yet");
    // Touched: settled at zero before the inner option is asked anything.
    DoubleTouchOption koki(terms("koki"));
    days({{95, 105}, {80, 100}});
    EXPECT_TRUE(koki.triggered("2024-04-01"));
    EXPECT_EQ(koki.npv(100, 0.03, 0.2, 0.01, "2024-04-01"), 0.0);
    EXPECT_EQ(koki.greeks(100, 0.03, 0.2, 0.01, "2024-04-01"), (OptionGreeks{0, 0, 0, 0, 0, 0}));
}

TEST_F(TandemTest, ConstructionErrorsByKindAndMessage) {
    for (const char* key : {"touch_type", "touch_price_lo", "touch_price_hi", "pay_at", "s0"}) {
        auto missing = terms("double_no_touch");
        missing.erase(key);
        EXPECT_EQ(error_of<KeyError>(missing), key);
    }
    EXPECT_EQ(error_of<KeyError>(terms("DOUBLE_NO_TOUCH")), "DOUBLE_NO_TOUCH");
    EXPECT_EQ(error_of<ValueError>(terms("DOUBLE_NO_TOUCH", 110, 90)), "touch_price_lo (110) must be below touch_price_hi (90)");
    // All terms are read before the touch type is looked up.
    auto unknown = terms("one_touch");
    unknown.erase("pay_at");
    EXPECT_EQ(error_of<KeyError>(unknown), "pay_at");
    // The inner option accepts only a zero rebate.
    auto rebate = terms("double_no_touch");
    rebate.set("rebate", 0.5);
    EXPECT_EQ(error_of<NotImplementedError>(rebate), "");
    rebate.set("rebate", 0);
    EXPECT_EQ(DoubleTouchOption(rebate).rebate(), 0.0);
    // The digital payoff defaults to s0, which must then be a number.
    auto no_cash = terms("double_no_touch");
    no_cash.erase("digital_payoff");
    EXPECT_EQ(DoubleTouchOption(no_cash).digital_payoff(), 100.0);
    no_cash.set("s0", "a hundred");
    EXPECT_NE(error_of<TypeError>(no_cash).find("s0"), std::string::npos);
}

TEST_F(TandemTest, BadMarketInputsAreValueErrorsBeforeAnyRequest) {
    DoubleTouchOption o(terms("double_no_touch"));
    client->reset_counts();
    EXPECT_THROW(o.npv(NAN, 0.03, 0.2, 0.0, kEval), ValueError);
    EXPECT_THROW(o.npv(0, 0.03, 0.2, 0.0, kEval), ValueError);
    EXPECT_THROW(o.greeks(100, 0.03, 0.2, NAN, kEval), ValueError);
    EXPECT_THROW(o.greeks(100, -INFINITY, 0.2, 0.0, kEval), ValueError);
    EXPECT_EQ(client->price_calls, 0);
}

TEST_F(TandemTest, MakeOptionBuildsADoubleTouchOption) {
    auto o = make_option(terms("double_no_touch"));
    ASSERT_NE(dynamic_cast<DoubleTouchOption*>(o.get()), nullptr);
    EXPECT_GT(o->npv(100, 0.03, 0.2, 0.0, kEval), 0.0);
}

// Kweichow Moutai in the first half of 2024: the lowest adjusted low is
// 1342.61 on 2024-06-24 (the lowest adjusted close 1393.30); the highest
// adjusted high is 1653.78 and the highest unadjusted close 1770.00.
TEST(TandemBundledData, RealHistoryTouchesOneCorridorAndNotTheOther) {
    test::ScopedClient scoped(test::bundled_store());
    auto t = terms("double_no_touch", 1380, 1800);
    t.set("effect_date", "2024-01-02");
    t.set("maturity_date", "2024-12-31");
    t.set("s0", 1685.01);
    t.erase("digital_payoff");
    DoubleTouchOption touched(t);
    EXPECT_FALSE(touched.triggered("2024-06-21"));
    EXPECT_TRUE(touched.triggered("2024-06-24"));  // by the day's low alone
    EXPECT_EQ(touched.npv(1450, 0.02, 0.25, 0.01, "2024-06-28"), 0.0);

    t.set("touch_price_lo", 1300.0);
    DoubleTouchOption untouched(t);
    EXPECT_FALSE(untouched.triggered("2024-06-28"));
    const double live = untouched.npv(1450, 0.02, 0.25, 0.01, "2024-06-28");
    EXPECT_EQ(live, untouched.option().npv(1450, 0.02, 0.25, 0.01, "2024-06-28"));
    EXPECT_GT(live, 0.0);
    EXPECT_LT(live, 1685.01);
}
