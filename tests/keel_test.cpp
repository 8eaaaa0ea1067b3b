#include <kestrel/keel.hpp>

#include "support/test_support.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <sstream>
#include <vector>

using namespace kestrel;
using QuantLib::Date;

namespace {

Terms base_terms() {
    return Terms{{"effect_date", "2024-01-02"},
                 {"maturity_date", "2024-07-06"},  // a Saturday
                 {"underlying", "000300.XSHG"},
                 {"s0", 3400},
                 {"notional", "1000000"}};
}

// npv = a * spot + b * spot^2 + c * vol + d * r + e * days to maturity, with
// every call recorded.
class Probe : public BaseOption {
  public:
    explicit Probe(const Terms& t) : BaseOption(t) {}
    double a = 2.0, b = 0.0, c = 0.0, d = 0.0, e = 0.0;
    struct Call {
        double spot, r, vol, q;
        std::optional<Date> date;
    };
    std::vector<Call> calls;
    double npv(double spot, double r, double vol, double q, const EvalDate& ed) override {
        calls.push_back({spot, r, vol, q, ed ? std::optional<Date>(ed->date()) : std::nullopt});
        const double days = ed ? static_cast<double>(maturity_date() - ed->date()) : 0.0;
        return a * spot + b * spot * spot + c * vol + d * r + e * days;
    }
};

class KeelTest : public ::testing::Test {
  protected:
    std::shared_ptr<test::CountingClient> client = std::make_shared<test::CountingClient>();
    test::ScopedClient scoped{client};
};

}  // namespace

TEST(Terms, ReadsByKindAndNamesTheKeyInErrors) {
    Terms t{{"strike", 100.0}, {"call_put", "call"}, {"n", 3}, {"effect_date", "2024-01-02"}};
    EXPECT_DOUBLE_EQ(t.number("strike"), 100.0);
    EXPECT_DOUBLE_EQ(t.number("n"), 3.0);
    EXPECT_EQ(t.text("call_put"), "call");
    EXPECT_EQ(t.date("effect_date"), Date(2, QuantLib::January, 2024));
    try {
        t.at("barrier");
        FAIL() << "no KeyError";
    } catch (const KeyError& e) {
        EXPECT_STREQ(e.what(), "barrier");
    }
    try {
        t.number("call_put");
        FAIL() << "no TypeError";
    } catch (const TypeError& e) {
        EXPECT_NE(std::string(e.what()).find("call_put"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("text"), std::string::npos);
    }
    EXPECT_THROW(t.text("strike"), TypeError);
}

TEST(Terms, JsonKeepsKindsAndOrder) {
    const auto t = Terms::from_json_text(
        R"({"type": "vanilla", "s0": 100, "strike": 99.5, "flag": true, "none": null, "dates": ["2024-01-02", "2024-02-01"]})");
    EXPECT_EQ(std::string(t.at("s0").kind()), "integer");
    EXPECT_EQ(std::string(t.at("strike").kind()), "float");
    EXPECT_EQ(std::string(t.at("flag").kind()), "bool");
    EXPECT_TRUE(t.at("none").is_none());
    EXPECT_EQ(t.at("dates").as_list("dates").size(), 2u);
    EXPECT_EQ(t.begin()->first, "type");
    EXPECT_EQ(Terms::from_json(t.to_json()), t);
    EXPECT_THROW(Terms::from_json_text("[1, 2]"), TypeError);
    EXPECT_THROW(Terms::from_json_text("{not json"), ValueError);
    EXPECT_THROW(Terms::from_json_text(R"({"x": {"nested": 1}})"), TypeError);
}

TEST(Errors, KindsAreDistinctAndShareOneBase) {
    const auto kind_of = [](auto thrower) -> std::string {
        try {
            thrower();
        } catch (const Error& e) {
            return e.kind();
        }
        return "none";
    };
    EXPECT_EQ(kind_of([] { throw KeyError("k"); }), "KeyError");
    EXPECT_EQ(kind_of([] { throw ValueError("v"); }), "ValueError");
    EXPECT_EQ(kind_of([] { throw NotImplementedError(); }), "NotImplementedError");
    EXPECT_EQ(kind_of([] { throw AssertionError(); }), "AssertionError");
    EXPECT_EQ(kind_of([] { throw TypeError("t"); }), "TypeError");
    EXPECT_EQ(kind_of([] { throw IndexError("i"); }), "IndexError");
    EXPECT_EQ(kind_of([] { throw ZeroDivisionError("z"); }), "ZeroDivisionError");
    EXPECT_THROW(throw ValueError("x"), std::exception);
}

TEST(OptionGreeks, FieldsByNamePositionAndBinding) {
    const OptionGreeks g{1, 2, 3, 4, 5, 6};
    EXPECT_EQ(g.theta, 5);
    EXPECT_EQ(g.rho, 6);
    EXPECT_EQ(g[4], 5);
    EXPECT_EQ(g[5], 6);
    EXPECT_THROW(g[6], IndexError);
    const auto [npv, delta, gamma, vega, theta, rho] = g;
    EXPECT_EQ(npv + delta + gamma + vega, 10);
    EXPECT_EQ(theta, 5);
    EXPECT_EQ(rho, 6);
    std::ostringstream os;
    os << g;
    EXPECT_EQ(os.str(), "OptionGreeks(npv=1, delta=2, gamma=3, vega=4, theta=5, rho=6)");
    EXPECT_STREQ(OptionGreeks::field_names[4], "theta");
}

TEST_F(KeelTest, ConstructionRollsMaturityWithTwoRequestsAndKeepsValues) {
    Probe p(base_terms());
    EXPECT_EQ(client->previous_calls, 1);
    EXPECT_EQ(client->next_calls, 1);
    EXPECT_EQ(p.effect_date(), Date(2, QuantLib::January, 2024));
    EXPECT_EQ(p.maturity_date(), Date(8, QuantLib::July, 2024));  // Saturday -> Monday
    EXPECT_EQ(p.s0(), Value(3400));
    EXPECT_EQ(std::string(p.s0().kind()), "integer");
    EXPECT_EQ(p.notional(), Value("1000000"));
    EXPECT_EQ(p.underlying(), Value("000300.XSHG"));
}

TEST_F(KeelTest, MaturityOnTradingDayStaysAndHolidayRollsForward) {
    auto t = base_terms();
    t.set("maturity_date", "2024-07-05");  // Friday, trading
    EXPECT_EQ(Probe(t).maturity_date(), Date(5, QuantLib::July, 2024));
    t.set("maturity_date", "2024-02-12");  // Spring Festival closure Feb 9-17
    EXPECT_EQ(Probe(t).maturity_date(), Date(19, QuantLib::February, 2024));
    t.set("effect_date", "2024-02-12");  // never moved
    EXPECT_EQ(Probe(t).effect_date(), Date(12, QuantLib::February, 2024));
}

TEST_F(KeelTest, DateFormsAgree) {
    auto t = base_terms();
    const Date want(2, QuantLib::January, 2024);
    t.set("effect_date", Date(2, QuantLib::January, 2024));
    EXPECT_EQ(Probe(t).effect_date(), want);
    t.set("effect_date", std::chrono::year_month_day{std::chrono::year{2024}, std::chrono::January, std::chrono::day{2}});
    EXPECT_EQ(Probe(t).effect_date(), want);
    t.set("effect_date", "2024-02-30");
    try {
        Probe p(t);
        FAIL();
    } catch (const ValueError& e) {
        EXPECT_NE(std::string(e.what()).find("2024-02-30"), std::string::npos);
    }
}

TEST_F(KeelTest, MissingKeysReportedInReadingOrder) {
    auto t = base_terms();
    t.erase("underlying");
    t.erase("notional");
    try {
        Probe p(t);
        FAIL();
    } catch (const KeyError& e) {
        EXPECT_STREQ(e.what(), "underlying");
    }
    client->reset_counts();
    t = base_terms();
    t.erase("effect_date");
    t.erase("maturity_date");
    EXPECT_THROW({ Probe p(t); }, KeyError);
    EXPECT_EQ(client->previous_calls, 0);
}

TEST_F(KeelTest, BaseNpvIsNotImplementedWithoutMessage) {
    BaseOption b(base_terms());
    try {
        b.npv(100, 0.03, 0.2, 0.0, "2024-03-01");
        FAIL();
    } catch (const NotImplementedError& e) {
        EXPECT_STREQ(e.what(), "");
    }
}

TEST_F(KeelTest, GreeksFollowTheBumpRules) {
    Probe p(base_terms());
    p.b = 0.5;  // quadratic: gamma = 2b exactly (up to rounding)
    p.c = 10.0;
    p.d = -4.0;
    p.e = 0.25;
    const Date e(1, QuantLib::March, 2024);  // a Friday
    const double spot = 100.0;
    const OptionGreeks g = p.greeks(spot, 0.03, 0.2, 0.01, e);
    EXPECT_EQ(p.calls.size(), 9u);
    EXPECT_NEAR(g.npv, 2 * 100 + 0.5 * 1e4 + 10 * 0.2 - 4 * 0.03 + 0.25 * (p.maturity_date() - e), 1e-9);
    EXPECT_NEAR(g.delta, 2.0 + 2 * 0.5 * spot, 1e-6);
    EXPECT_NEAR(g.gamma, spot * 1.0, 1e-4);
    EXPECT_NEAR(g.vega, 10.0 * 0.01, 1e-12);    // per vol point, not divided
    EXPECT_NEAR(g.rho, 4.0 * 0.01, 1e-12);      // down - up
    EXPECT_NEAR(g.theta, -0.25, 1e-9);          // one calendar day closer
    // Order: centre, up, down, vega up/down, rho up/down, theta tomorrow/today.
    EXPECT_DOUBLE_EQ(p.calls[1].spot, spot * 1.005);
    EXPECT_DOUBLE_EQ(p.calls[2].spot, spot * 0.995);
    EXPECT_DOUBLE_EQ(p.calls[3].vol, 0.21);
    EXPECT_DOUBLE_EQ(p.calls[4].vol, 0.19);
    EXPECT_DOUBLE_EQ(p.calls[5].r, 0.035);
    EXPECT_DOUBLE_EQ(p.calls[6].r, 0.025);
    EXPECT_EQ(*p.calls[7].date, Date(2, QuantLib::March, 2024));  // Saturday, not the next trading day
    EXPECT_EQ(*p.calls[8].date, e);

    p.calls.clear();
    const double gm = p.gamma(spot, 0.03, 0.2, 0.01, e);
    EXPECT_NEAR(g.gamma, spot * gm, 1e-9 * std::abs(g.gamma));
}

TEST_F(KeelTest, GreeksFillTodayOnlyWhereTheRulesSay) {
    Probe p(base_terms());
    p.greeks(100, 0.03, 0.2, 0.0);
    for (const auto& c : p.calls) ASSERT_TRUE(c.date.has_value());
    EXPECT_EQ(*p.calls[0].date, utils::today());
    p.calls.clear();
    p.delta(100, 0.03, 0.2, 0.0);
    EXPECT_TRUE(p.calls[0].date.has_value());
    p.calls.clear();
    p.gamma(100, 0.03, 0.2, 0.0);
    p.vega(100, 0.03, 0.2, 0.0);
    p.rho(100, 0.03, 0.2, 0.0);
    for (const auto& c : p.calls) EXPECT_FALSE(c.date.has_value());
    EXPECT_THROW(p.theta(100, 0.03, 0.2, 0.0), TypeError);
}

TEST_F(KeelTest, ThetaIsZeroWithinOneDayOfMaturity) {
    Probe p(base_terms());  // maturity 2024-07-08
    p.e = 1.0;
    EXPECT_EQ(p.theta(100, 0.03, 0.2, 0.0, "2024-07-07"), 0.0);
    EXPECT_EQ(p.theta(100, 0.03, 0.2, 0.0, "2024-07-08"), 0.0);
    EXPECT_EQ(p.theta(100, 0.03, 0.2, 0.0, "2024-08-01"), 0.0);
    EXPECT_TRUE(p.calls.empty());
    EXPECT_DOUBLE_EQ(p.theta(100, 0.03, 0.2, 0.0, "2024-07-06"), -1.0);
}

TEST_F(KeelTest, ZeroSpotIsADivisionByZeroNotInfinity) {
    Probe p(base_terms());
    EXPECT_THROW(p.delta(0.0, 0.03, 0.2, 0.0, "2024-03-01"), ZeroDivisionError);
    EXPECT_THROW(p.gamma(0.0, 0.03, 0.2, 0.0, "2024-03-01"), ZeroDivisionError);
    EXPECT_THROW(p.greeks(0.0, 0.03, 0.2, 0.0, "2024-03-01"), ZeroDivisionError);
}

TEST(MarketInputs, NonFiniteAndNonPositiveSpotNamed) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_NO_THROW(check_market_inputs(100, 0.03, -0.005, 0.0));
    const auto message = [](auto f) -> std::string {
        try {
            f();
        } catch (const ValueError& e) {
            return e.what();
        }
        return "";
    };
    EXPECT_EQ(message([&] { check_market_inputs(nan, 0.03, 0.2, 0); }).rfind("spot", 0), 0u);
    EXPECT_EQ(message([&] { check_market_inputs(100, inf, 0.2, 0); }).rfind("r ", 0), 0u);
    EXPECT_EQ(message([&] { check_market_inputs(100, 0.03, -inf, 0); }).rfind("vol", 0), 0u);
    EXPECT_EQ(message([&] { check_market_inputs(100, 0.03, 0.2, nan); }).rfind("q ", 0), 0u);
    EXPECT_EQ(message([&] { check_market_inputs(0, 0.03, 0.2, 0); }).rfind("spot", 0), 0u);
    EXPECT_EQ(message([&] { check_market_inputs(-1, 0.03, 0.2, 0); }).rfind("spot", 0), 0u);
}

TEST(Heron, CallsWithoutClientSayWhy) {
    test::ScopedClient none(nullptr);
    try {
        heron::get_next_trading_date("2024-01-02");
        FAIL();
    } catch (const heron::ServiceError& e) {
        EXPECT_NE(std::string(e.what()).find("no market-data client installed"), std::string::npos);
    }
}
