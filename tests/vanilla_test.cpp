#include <kestrel/kestrel.hpp>

#include "support/test_support.hpp"

#include <gtest/gtest.h>
#include <ql/settings.hpp>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

using namespace kestrel;
using QuantLib::Date;

namespace {

double ncdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

struct Bsm {
    double S, K, r, q, vol, T;
    double d1() const { return (std::log(S / K) + (r - q + 0.5 * vol * vol) * T) / (vol * std::sqrt(T)); }
    double d2() const { return d1() - vol * std::sqrt(T); }
    double call() const { return S * std::exp(-q * T) * ncdf(d1()) - K * std::exp(-r * T) * ncdf(d2()); }
    double put() const { return K * std::exp(-r * T) * ncdf(-d2()) - S * std::exp(-q * T) * ncdf(-d1()); }
    double cash_call(double cash) const { return cash * std::exp(-r * T) * ncdf(d2()); }
    double cash_put(double cash) const { return cash * std::exp(-r * T) * ncdf(-d2()); }
    double asset_call() const { return S * std::exp(-q * T) * ncdf(d1()); }
    double asset_put() const { return S * std::exp(-q * T) * ncdf(-d1()); }
};

// Effect 2024-01-02, maturity 2024-12-31 (a trading day), valued on
// 2024-03-01 (a trading Friday): T = 305 / 365.
constexpr const char* kEval = "2024-03-01";
constexpr double kT = 305.0 / 365.0;

Terms terms(const std::string& call_put, const std::string& exercise, const std::string& payoff) {
    return Terms{{"type", "vanilla"},       {"effect_date", "2024-01-02"}, {"maturity_date", "2024-12-31"},
                 {"underlying", "000300.XSHG"}, {"s0", 100.0},             {"notional", 1.0},
                 {"call_put", call_put},       {"strike", 95.0},            {"exercise_type", exercise},
                 {"payoff_type", payoff}};
}

class VanillaTest : public ::testing::Test {
  protected:
    std::shared_ptr<test::CountingClient> client = std::make_shared<test::CountingClient>();
    test::ScopedClient scoped{client};
};

template <class E>
std::string error_of(const Terms& t) {
    try {
        VanillaOption o(t);
    } catch (const E& e) {
        return e.what();
    }
    return "<no error of the expected kind>";
}

}  // namespace

TEST_F(VanillaTest, EuropeanMatchesBlackScholesMerton) {
    const Bsm m{103.0, 95.0, 0.03, 0.01, 0.25, kT};
    VanillaOption call(terms("call", "european", "plain_vanilla"));
    VanillaOption put(terms("put", "european", "plain_vanilla"));
    EXPECT_NEAR(call.npv(103.0, 0.03, 0.25, 0.01, kEval), m.call(), 1e-10);
    EXPECT_NEAR(put.npv(103.0, 0.03, 0.25, 0.01, kEval), m.put(), 1e-10);
    // Put-call parity.
    EXPECT_NEAR(call.npv(103.0, 0.03, 0.25, 0.01, kEval) - put.npv(103.0, 0.03, 0.25, 0.01, kEval),
                103.0 * std::exp(-0.01 * kT) - 95.0 * std::exp(-0.03 * kT), 1e-10);
}

TEST_F(VanillaTest, DigitalsMatchTheirClosedForms) {
    const Bsm m{100.0, 95.0, 0.03, 0.01, 0.2, kT};
    auto cash = terms("call", "european", "cash_or_nothing");
    cash.set("digital_payoff", 10.0);
    EXPECT_NEAR(VanillaOption(cash).npv(100, 0.03, 0.2, 0.01, kEval), m.cash_call(10.0), 1e-10);
    cash.set("call_put", "put");
    EXPECT_NEAR(VanillaOption(cash).npv(100, 0.03, 0.2, 0.01, kEval), m.cash_put(10.0), 1e-10);
    EXPECT_NEAR(VanillaOption(terms("call", "european", "asset_or_nothing")).npv(100, 0.03, 0.2, 0.01, kEval),
                m.asset_call(), 1e-10);
    EXPECT_NEAR(VanillaOption(terms("put", "european", "asset_or_nothing")).npv(100, 0.03, 0.2, 0.01, kEval),
                m.asset_put(), 1e-10);
    // Without "digital_payoff" the cash digital pays nothing.
    EXPECT_EQ(VanillaOption(terms("call", "european", "cash_or_nothing")).npv(100, 0.03, 0.2, 0.01, kEval), 0.0);
}

TEST_F(VanillaTest, AmericanIsWorthAtLeastEuropean) {
    for (const char* cp : {"call", "put"}) {
        const double am = VanillaOption(terms(cp, "american", "plain_vanilla")).npv(100, 0.05, 0.3, 0.02, kEval);
        const double eu = VanillaOption(terms(cp, "european", "plain_vanilla")).npv(100, 0.05, 0.3, 0.02, kEval);
        EXPECT_GE(am, eu - 1e-3) << cp;  // binomial error is far below 1e-3 at 801 steps
    }
    // An American put with a high rate is worth strictly more (early exercise).
    const double am = VanillaOption(terms("put", "american", "plain_vanilla")).npv(90, 0.08, 0.2, 0.0, kEval);
    const double eu = VanillaOption(terms("put", "european", "plain_vanilla")).npv(90, 0.08, 0.2, 0.0, kEval);
    EXPECT_GT(am, eu + 0.1);
}

TEST_F(VanillaTest, AmericanDigitalPayAtExpiryIsWorthLessThanAtHit) {
    auto t = terms("put", "american", "cash_or_nothing");
    t.set("digital_payoff", 1.0);
    const double at_hit = VanillaOption(t).npv(100, 0.05, 0.2, 0.0, kEval);
    t.set("pay_at", "expiry");
    VanillaOption at_expiry(t);
    EXPECT_TRUE(at_expiry.pay_at_expiry());
    EXPECT_LT(at_expiry.npv(100, 0.05, 0.2, 0.0, kEval), at_hit);
    t.set("pay_at", "EXPIRY");
    EXPECT_FALSE(VanillaOption(t).pay_at_expiry());
}

TEST_F(VanillaTest, CallPutOnlyExactCallIsACall) {
    EXPECT_EQ(VanillaOption(terms("call", "european", "plain_vanilla")).call_put(), QuantLib::Option::Call);
    EXPECT_EQ(VanillaOption(terms("Call", "european", "plain_vanilla")).call_put(), QuantLib::Option::Put);
    EXPECT_EQ(VanillaOption(terms("put", "european", "plain_vanilla")).call_put(), QuantLib::Option::Put);
}

TEST_F(VanillaTest, GreeksHoldTheirDefiningProperties) {
    VanillaOption call(terms("call", "european", "plain_vanilla"));
    VanillaOption put(terms("put", "european", "plain_vanilla"));
    const OptionGreeks g = call.greeks(100, 0.03, 0.2, 0.0, kEval);
    EXPECT_NEAR(g.gamma, 100 * call.gamma(100, 0.03, 0.2, 0.0, kEval), 1e-9);
    EXPECT_LT(g.rho, 0.0);
    EXPECT_GT(put.rho(100, 0.03, 0.2, 0.0, kEval), 0.0);
    EXPECT_GT(g.delta, 0.0);
    EXPECT_LT(g.delta, 1.0);
    EXPECT_GT(g.vega, 0.0);
    const Bsm m{100, 95, 0.03, 0.0, 0.2, kT};
    EXPECT_NEAR(g.delta, ncdf(m.d1()), 1e-4);
    EXPECT_NEAR(g.npv, m.call(), 1e-10);
}

TEST_F(VanillaTest, ThetaOverFridayPricesSaturday) {
    VanillaOption call(terms("call", "european", "plain_vanilla"));
    const double theta = call.theta(100, 0.03, 0.2, 0.0, kEval);  // Friday
    const double fri = call.npv(100, 0.03, 0.2, 0.0, "2024-03-01");
    const double sat = call.npv(100, 0.03, 0.2, 0.0, "2024-03-02");
    EXPECT_DOUBLE_EQ(theta, sat - fri);
    EXPECT_EQ(QuantLib::Settings::instance().evaluationDate(), Date(2, QuantLib::March, 2024));
    EXPECT_EQ(call.theta(100, 0.03, 0.2, 0.0, "2024-12-30"), 0.0);
    EXPECT_EQ(call.theta(100, 0.03, 0.2, 0.0, "2024-12-31"), 0.0);
}

TEST_F(VanillaTest, EvaluationDateIsLeftSetAndTodayWhenAbsent) {
    VanillaOption call(terms("call", "european", "plain_vanilla"));
    call.npv(100, 0.03, 0.2, 0.0);
    EXPECT_EQ(QuantLib::Settings::instance().evaluationDate(), utils::today());
    const double a = call.npv(100, 0.03, 0.2, 0.0, kEval);
    EXPECT_EQ(QuantLib::Settings::instance().evaluationDate(), Date(1, QuantLib::March, 2024));
    EXPECT_EQ(a, call.npv(100, 0.03, 0.2, 0.0, kEval));
}

TEST_F(VanillaTest, MaturityRollsOverWeekendsAndSpringFestival) {
    auto t = terms("call", "european", "plain_vanilla");
    t.set("maturity_date", "2025-01-25");  // Saturday, then the Spring Festival closure from Jan 28
    EXPECT_EQ(VanillaOption(t).maturity_date(), Date(27, QuantLib::January, 2025));
    t.set("maturity_date", "2025-01-29");  // inside the closure (Jan 28 - Feb 4)
    EXPECT_EQ(VanillaOption(t).maturity_date(), Date(5, QuantLib::February, 2025));
    t.set("maturity_date", "2024-10-01");  // National Day
    VanillaOption o(t);
    EXPECT_EQ(o.maturity_date(), Date(8, QuantLib::October, 2024));
    const auto* ex = o.exercise().get();
    EXPECT_EQ(ex->lastDate(), Date(8, QuantLib::October, 2024));
}

TEST_F(VanillaTest, ConstructionErrorsInOrder) {
    auto t = terms("call", "european", "plain_vanilla");
    t.erase("strike");
    EXPECT_EQ(error_of<KeyError>(t), "strike");
    t = terms("call", "european", "plain_vanilla");
    t.erase("call_put");
    t.erase("payoff_type");
    EXPECT_EQ(error_of<KeyError>(t), "call_put");

    EXPECT_EQ(error_of<NotImplementedError>(terms("call", "bermudan", "plain_vanilla")),
              "BERMUDAN EXERCISE not supported yet");
    EXPECT_EQ(error_of<ValueError>(terms("call", "weekly", "plain_vanilla")), "unknown exercise type: weekly");
    EXPECT_EQ(error_of<ValueError>(terms("call", "European", "plain_vanilla")), "unknown exercise type: European");
    // Payoff is checked before exercise; its assertion error has no message.
    EXPECT_EQ(error_of<AssertionError>(terms("call", "bermudan", "binary")), "");
    auto bad_strike = terms("call", "european", "plain_vanilla");
    bad_strike.set("strike", "95");
    EXPECT_NE(error_of<TypeError>(bad_strike).find("strike"), std::string::npos);
}

TEST_F(VanillaTest, BadMarketInputsAreValueErrorsNotNaN) {
    VanillaOption call(terms("call", "european", "plain_vanilla"));
    EXPECT_THROW(call.npv(std::nan(""), 0.03, 0.2, 0.0, kEval), ValueError);
    EXPECT_THROW(call.npv(100, INFINITY, 0.2, 0.0, kEval), ValueError);
    EXPECT_THROW(call.npv(-1, 0.03, 0.2, 0.0, kEval), ValueError);
    EXPECT_THROW(call.delta(0, 0.03, 0.2, 0.0, kEval), ZeroDivisionError);
    EXPECT_THROW(call.npv(100, 0.03, 0.2, 0.0, "2024-13-01"), ValueError);
}

TEST_F(VanillaTest, MakeOptionBuildsByTypeAndListsKnownTypes) {
    auto o = make_option(terms("call", "european", "plain_vanilla"));
    EXPECT_NE(dynamic_cast<VanillaOption*>(o.get()), nullptr);
    auto t = terms("call", "european", "plain_vanilla");
    t.set("type", "swaption");
    try {
        make_option(t);
        FAIL();
    } catch (const ValueError& e) {
        EXPECT_NE(std::string(e.what()).find("swaption"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("vanilla"), std::string::npos);
    }
    t.erase("type");
    EXPECT_THROW(make_option(t), KeyError);
}

TEST_F(VanillaTest, ConcurrentValuationsAtDifferentDatesKeepTheirOwnDates) {
    // QuantLib's evaluation date is process-wide; the valuation lock keeps
    // each valuation's date in place until its NPV() returns.
    const std::vector<std::string> dates = {"2024-02-01", "2024-03-01", "2024-05-06", "2024-08-01",
                                            "2024-10-08", "2024-11-29"};
    std::vector<std::unique_ptr<VanillaOption>> options;
    std::vector<double> expected;
    for (std::size_t i = 0; i < dates.size(); ++i) {
        options.push_back(std::make_unique<VanillaOption>(
            terms(i % 2 ? "put" : "call", i % 3 ? "european" : "american", "plain_vanilla")));
        expected.push_back(options.back()->npv(100, 0.03, 0.2, 0.0, dates[i]));
    }
    std::vector<std::vector<double>> got(dates.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < dates.size(); ++i)
        threads.emplace_back([&, i] {
            for (int k = 0; k < 20; ++k) got[i].push_back(options[i]->npv(100, 0.03, 0.2, 0.0, dates[i]));
        });
    for (auto& t : threads) t.join();
    for (std::size_t i = 0; i < dates.size(); ++i)
        for (double v : got[i]) ASSERT_EQ(v, expected[i]) << dates[i];
}
