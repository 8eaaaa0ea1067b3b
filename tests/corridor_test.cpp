#include <kestrel/kestrel.hpp>

#include "support/test_support.hpp"

#include <gtest/gtest.h>
#include <ql/experimental/barrieroption/analyticdoublebarrierbinaryengine.hpp>
#include <ql/experimental/barrieroption/analyticdoublebarrierengine.hpp>
#include <ql/settings.hpp>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

using namespace kestrel;
using QuantLib::Date;
using QuantLib::DoubleBarrier;

namespace {

// An independent, slow reference: the Black-Scholes equation for a European
// option knocked out at either barrier, solved in log-price by the explicit
// scheme on n intervals between the barriers (zero on both), the time step
// small enough for stability, read off at the spot by quadratic
// interpolation. Its error falls as 1/n^2.
double explicit_fd(const std::function<double(double)>& payoff, double lo, double hi, double spot, double r,
                   double q, double vol, double T, int n) {
    const double x0 = std::log(lo), dx = (std::log(hi) - x0) / n;
    const double var = vol * vol, drift = r - q - var / 2;
    const int steps = static_cast<int>(std::ceil(T * var / (0.8 * dx * dx)));
    const double dt = T / steps;
    const double a = dt * (var / (2 * dx * dx) - drift / (2 * dx));  // weight of V[i-1]
    const double c = dt * (var / (2 * dx * dx) + drift / (2 * dx));  // weight of V[i+1]
    const double b = 1 - dt * (var / (dx * dx) + r);                  // weight of V[i]
    std::vector<double> v(n + 1, 0.0), next(n + 1, 0.0);
    for (int i = 1; i < n; ++i) v[i] = payoff(std::exp(x0 + i * dx));
    for (int s = 0; s < steps; ++s) {
        for (int i = 1; i < n; ++i) next[i] = a * v[i - 1] + b * v[i] + c * v[i + 1];
        std::swap(v, next);
    }
    const double pos = (std::log(spot) - x0) / dx;
    const int k = std::clamp(static_cast<int>(std::lround(pos)), 1, n - 1);
    const double u = pos - k;
    return v[k - 1] * u * (u - 1) / 2 + v[k] * (1 - u * u) + v[k + 1] * u * (u + 1) / 2;
}

// Valued on Monday 2024-03-04, maturity Monday 2024-09-02: T = 182 / 365.
constexpr const char* kEval = "2024-03-04";
constexpr double kT = 182.0 / 365.0;

Terms terms(const std::string& barrier_type, const std::string& exercise, const std::string& payoff,
            double lo = 80, double hi = 120, const std::string& call_put = "call", double strike = 0) {
    return Terms{{"type", "corridor"},         {"effect_date", "2024-03-04"}, {"maturity_date", "2024-09-02"},
                 {"underlying", "600519.XSHG"}, {"s0", 100.0},               {"notional", 1.0},
                 {"barrier_hi", hi},           {"barrier_lo", lo},          {"barrier_type", barrier_type},
                 {"call_put", call_put},       {"strike", strike},          {"exercise_type", exercise},
                 {"payoff_type", payoff},      {"digital_payoff", 10.0}};
}

class CorridorTest : public ::testing::Test {
  protected:
    std::shared_ptr<test::CountingClient> client = std::make_shared<test::CountingClient>();
    test::ScopedClient scoped{client};

    // Closes on consecutive trading days from the effect date.
    void closes(const std::vector<double>& values, const std::string& adjust = "none") {
        std::vector<std::pair<Date, double>> rows;
        Date d(4, QuantLib::March, 2024);
        for (double v : values) {
            rows.emplace_back(d, v);
            d = heron::get_next_trading_date(d);
        }
        client->add_closes("600519.XSHG", adjust, rows);
    }
};

template <class E>
std::string error_of(const Terms& t) {
    try {
        DoubleBarrierOption o(t);
    } catch (const E& e) {
        return e.what();
    }
    return "<no error of the expected kind>";
}

template <class E>
std::string npv_error_of(DoubleBarrierOption& o) {
    try {
        o.npv(100, 0.03, 0.2, 0.01, kEval);
    } catch (const E& e) {
        return e.what();
    }
    return "<no error of the expected kind>";
}

}  // namespace

TEST_F(CorridorTest, DoubleNoTouchMatchesAFineFiniteDifference) {
    DoubleBarrierOption dnt(terms("knock_out", "european", "cash_or_nothing"));
    const auto cash = [](double) { return 10.0; };
    for (double spot : {85.0, 100.0, 112.0}) {
        const double value = dnt.npv(spot, 0.03, 0.2, 0.01, kEval);
        const double coarse = explicit_fd(cash, 80, 120, spot, 0.03, 0.01, 0.2, kT, 200);
        const double fine = explicit_fd(cash, 80, 120, spot, 0.03, 0.01, 0.2, kT, 400);
        // Second order: halving the interval leaves a quarter of the error, so
        // fine + (fine - coarse) / 3 removes the leading term. It lands within
        // 1e-8 of the analytic value here; the raw grids are off by 2e-4.
        EXPECT_LT(std::abs(fine - coarse), 1e-3) << spot;
        EXPECT_NEAR(value, fine + (fine - coarse) / 3, 1e-6) << "spot " << spot << " coarse " << coarse
                                                             << " fine " << fine;
    }
}

TEST_F(CorridorTest, DoubleKnockOutCallMatchesAFineFiniteDifference) {
    DoubleBarrierOption call(terms("knock_out", "european", "plain_vanilla", 80, 130, "call", 100));
    const auto payoff = [](double s) { return std::max(s - 100.0, 0.0); };
    const double value = call.npv(100, 0.03, 0.2, 0.01, kEval);
    const double coarse = explicit_fd(payoff, 80, 130, 100, 0.03, 0.01, 0.2, kT, 200);
    const double fine = explicit_fd(payoff, 80, 130, 100, 0.03, 0.01, 0.2, kT, 400);
    EXPECT_GT(value, 1.0);
    // The kink at the strike spoils the extrapolation; the step from 200 to
    // 400 intervals (9e-5) bounds the fine grid's error (1e-5).
    EXPECT_NEAR(value, fine, std::abs(fine - coarse)) << "coarse " << coarse << " fine " << fine;
}

TEST_F(CorridorTest, KnockInPlusKnockOutIsTheVanilla) {
    // The double one-touch and double no-touch together pay the cash for sure.
    const double in = DoubleBarrierOption(terms("knock_in", "european", "cash_or_nothing")).npv(100, 0.03, 0.2, 0.01, kEval);
    const double out =
        DoubleBarrierOption(terms("knock_out", "european", "cash_or_nothing")).npv(100, 0.03, 0.2, 0.01, kEval);
    EXPECT_NEAR(in + out, 10.0 * std::exp(-0.03 * kT), 1e-9);
    for (const char* cp : {"call", "put"}) {
        auto in_terms = terms("knock_in", "european", "plain_vanilla", 85, 115, cp, 100);
        const double vanilla = VanillaOption(in_terms).npv(100, 0.03, 0.2, 0.01, kEval);
        const double sum = DoubleBarrierOption(in_terms).npv(100, 0.03, 0.2, 0.01, kEval) +
                           DoubleBarrierOption(terms("knock_out", "european", "plain_vanilla", 85, 115, cp, 100))
                               .npv(100, 0.03, 0.2, 0.01, kEval);
        EXPECT_NEAR(sum, vanilla, 1e-6) << cp;
    }
}

TEST_F(CorridorTest, EngineSelectionFirstMatchingRowWins) {
    const auto proc = market::make_process(Market(100, 0.03, 0.2, 0.01), QuantLib::Date(4, QuantLib::January, 2024));
    auto engine_of = [&](const Terms& t) { return DoubleBarrierOption(t).engine(proc); };
    auto is_binary = [](const EnginePtr& e) {
        return dynamic_cast<QuantLib::AnalyticDoubleBarrierBinaryEngine*>(e.get()) != nullptr;
    };
    auto is_plain = [](const EnginePtr& e) {
        return dynamic_cast<QuantLib::AnalyticDoubleBarrierEngine*>(e.get()) != nullptr;
    };
    auto assertion = [&](const Terms& t) -> std::string {
        try {
            engine_of(t);
        } catch (const AssertionError& e) {
            return e.what();
        }
        return "<no AssertionError>";
    };
    auto not_implemented = [&](const Terms& t) -> std::string {
        try {
            engine_of(t);
        } catch (const NotImplementedError& e) {
            return e.what();
        }
        return "<no NotImplementedError>";
    };
    EXPECT_TRUE(is_binary(engine_of(terms("knock_in", "european", "cash_or_nothing"))));
    EXPECT_TRUE(is_binary(engine_of(terms("knock_out", "european", "cash_or_nothing"))));
    EXPECT_EQ(assertion(terms("kiko", "european", "cash_or_nothing")), "not implemented");
    EXPECT_EQ(assertion(terms("koki", "european", "cash_or_nothing")), "not implemented");
    EXPECT_TRUE(is_binary(engine_of(terms("kiko", "american", "cash_or_nothing"))));
    EXPECT_TRUE(is_binary(engine_of(terms("koki", "american", "cash_or_nothing"))));
    EXPECT_EQ(assertion(terms("knock_in", "american", "cash_or_nothing")), "not implemented");
    EXPECT_EQ(assertion(terms("knock_out", "american", "cash_or_nothing")), "not implemented");
    for (const char* type : {"knock_in", "knock_out", "kiko", "koki"})
        EXPECT_TRUE(is_plain(engine_of(terms(type, "european", "plain_vanilla")))) << type;
    EXPECT_EQ(not_implemented(terms("knock_out", "american", "plain_vanilla")), "");
    EXPECT_EQ(not_implemented(terms("knock_out", "european", "asset_or_nothing")), "");
    EXPECT_EQ(not_implemented(terms("knock_in", "american", "asset_or_nothing")), "");

    // Such contracts construct, and fail when priced untriggered.
    DoubleBarrierOption american(terms("knock_out", "american", "plain_vanilla"));
    EXPECT_EQ(npv_error_of<NotImplementedError>(american), "");
    DoubleBarrierOption wrong_pair(terms("knock_out", "american", "cash_or_nothing"));
    EXPECT_EQ(npv_error_of<AssertionError>(wrong_pair), "not implemented");
}

TEST_F(CorridorTest, TriggeredOnUnadjustedClosesStrictly) {
    DoubleBarrierOption o(terms("knock_out", "european", "cash_or_nothing", 90, 110));
    EXPECT_FALSE(o.triggered("2024-04-30"));
    closes({95, 110, 90});
    EXPECT_FALSE(o.triggered("2024-04-30"));
    EXPECT_EQ(client->last_adjust, "none");
    EXPECT_EQ(client->last_fields, std::vector<std::string>{"close"});
    EXPECT_EQ(client->last_start, Date(4, QuantLib::March, 2024));
    EXPECT_EQ(client->last_end, Date(30, QuantLib::April, 2024));
    // Adjusted closes do not count.
    client->add_closes("600519.XSHG", "pre", {{Date(11, QuantLib::March, 2024), 50.0}});
    EXPECT_FALSE(o.triggered("2024-04-30"));
    // Either barrier, strictly; the same history triggers knock-in and knock-out alike.
    DoubleBarrierOption in(terms("knock_in", "european", "cash_or_nothing", 90, 110));
    client->add_closes("600519.XSHG", "none", {{Date(11, QuantLib::March, 2024), 110.01}});
    EXPECT_TRUE(o.triggered("2024-04-30"));
    EXPECT_TRUE(in.triggered("2024-04-30"));
    EXPECT_FALSE(o.triggered("2024-03-08"));
    client->add_closes("600519.XSHG", "none", {{Date(11, QuantLib::March, 2024), 89.99}});
    EXPECT_TRUE(o.triggered("2024-04-30"));
}

TEST_F(CorridorTest, KikoAndKokiAreRefusedOnlyWhenThereIsHistory) {
    DoubleBarrierOption kiko(terms("kiko", "american", "cash_or_nothing"));
    DoubleBarrierOption koki(terms("koki", "american", "cash_or_nothing"));
    DoubleBarrierOption out(terms("knock_out", "european", "cash_or_nothing"));
    // No history: untriggered, and an American cash-or-nothing KIKO is priced.
    EXPECT_FALSE(kiko.triggered("2024-04-30"));
    EXPECT_FALSE(koki.triggered("2024-04-30"));
    auto paid_at_expiry = terms("kiko", "american", "cash_or_nothing");
    paid_at_expiry.set("pay_at", "expiry");
    const double value = DoubleBarrierOption(paid_at_expiry).npv(100, 0.03, 0.2, 0.01, kEval);
    EXPECT_GT(value, 0.0);
    EXPECT_LT(value, 10.0);
    // An empty table is history: knock-in and knock-out are untriggered, KIKO and KOKI refused.
    client->empty_table_instead_of_absent = true;
    EXPECT_FALSE(out.triggered("2024-04-30"));
    for (auto* o : {&kiko, &koki}) {
        try {
            o->triggered("2024-04-30");
            ADD_FAILURE() << "no error";
        } catch (const NotImplementedError& e) {
            EXPECT_STREQ(e.what(), "KIKO and KOKI not implemented yet");
        }
        EXPECT_EQ(npv_error_of<NotImplementedError>(*o), "KIKO and KOKI not implemented yet");
    }
}

TEST_F(CorridorTest, TriggeredValuesAreRebateOrVanillaExactly) {
    DoubleBarrierOption out(terms("knock_out", "european", "cash_or_nothing", 90, 110));
    auto in_terms = terms("knock_in", "european", "plain_vanilla", 90, 110, "put", 100);
    DoubleBarrierOption in(in_terms);
    closes({100, 111});
    QuantLib::Settings::instance().evaluationDate() = Date(1, QuantLib::June, 2020);
    for (double spot : {80.0, 100.0, 130.0}) EXPECT_EQ(out.npv(spot, 0.03, 0.4, 0.0, "2024-04-01"), 0.0);
    EXPECT_EQ(QuantLib::Settings::instance().evaluationDate(), Date(1, QuantLib::June, 2020));
    EXPECT_EQ(in.npv(104, 0.03, 0.2, 0.01, "2024-04-01"), VanillaOption(in_terms).npv(104, 0.03, 0.2, 0.01, "2024-04-01"));
    EXPECT_EQ(QuantLib::Settings::instance().evaluationDate(), Date(1, QuantLib::April, 2024));
    // A knocked-in digital is valued by the vanilla, whose cash defaults to 0.
    auto digital = terms("knock_in", "european", "cash_or_nothing", 90, 110);
    digital.erase("digital_payoff");
    DoubleBarrierOption d(digital);
    EXPECT_EQ(*d.digital_payoff(), 100.0);
    EXPECT_EQ(d.npv(104, 0.03, 0.2, 0.01, "2024-04-01"), 0.0);
    // Before the crossing the knock-in is live and worth less than the vanilla.
    EXPECT_LT(in.npv(104, 0.03, 0.2, 0.01, kEval), VanillaOption(in_terms).npv(104, 0.03, 0.2, 0.01, kEval));
}

namespace {
// A contract that treats every KIKO as knocked and counts engine requests.
class ForcedCorridor : public DoubleBarrierOption {
  public:
    using DoubleBarrierOption::DoubleBarrierOption;
    int engines = 0;
    bool triggered(const utils::DateInput&) override { return true; }
    EnginePtr engine(const market::ProcessPtr& proc) override {
        ++engines;
        return DoubleBarrierOption::engine(proc);
    }
};
}  // namespace

TEST_F(CorridorTest, NpvReachesTriggeredAndEngineThroughTheObject) {
    auto t = terms("kiko", "american", "cash_or_nothing");
    t.set("pay_at", "expiry");
    client->empty_table_instead_of_absent = true;  // the base class would refuse
    ForcedCorridor forced(t);
    const double v = forced.npv(100, 0.03, 0.2, 0.01, kEval);
    EXPECT_EQ(forced.engines, 1);
    EXPECT_GT(v, 0.0);
    // A forced knock-out returns the rebate without building an engine.
    ForcedCorridor out(terms("knock_out", "european", "cash_or_nothing"));
    EXPECT_EQ(out.npv(100, 0.03, 0.2, 0.01, kEval), 0.0);
    EXPECT_EQ(out.engines, 0);
    // The inherited Greeks reprice through it as well.
    ForcedCorridor live(terms("knock_out", "european", "plain_vanilla", 80, 130, "call", 100));
    EXPECT_EQ(live.delta(100, 0.03, 0.2, 0.01, kEval), 0.0);
    EXPECT_EQ(live.engines, 0);
}

TEST_F(CorridorTest, ConstructionReadsTermsInOrder) {
    auto t = terms("knock_in", "american", "cash_or_nothing", 80, 120, "Call", 90);
    t.erase("digital_payoff");
    t.set("pay_at", "expiry");
    DoubleBarrierOption o(t);
    EXPECT_EQ(o.barrier_lo(), 80.0);
    EXPECT_EQ(o.barrier_hi(), 120.0);
    EXPECT_EQ(o.barrier_type(), DoubleBarrier::KnockIn);
    EXPECT_EQ(o.call_put(), QuantLib::Option::Put);
    EXPECT_EQ(o.strike(), 90.0);
    EXPECT_EQ(o.rebate(), 0.0);
    EXPECT_TRUE(o.pay_at_expiry());
    EXPECT_EQ(*o.digital_payoff(), 100.0);  // s0
    EXPECT_FALSE(DoubleBarrierOption(terms("knock_in", "european", "plain_vanilla")).digital_payoff().has_value());
    for (auto rebate : {Value(0), Value(0.0)}) {
        t.set("rebate", rebate);
        EXPECT_NO_THROW(DoubleBarrierOption{t});
    }

    for (const char* key : {"barrier_hi", "barrier_lo", "barrier_type", "call_put", "strike", "exercise_type",
                            "maturity_date"}) {
        auto missing = terms("knock_out", "european", "cash_or_nothing");
        missing.erase(key);
        EXPECT_EQ(error_of<KeyError>(missing), key);
    }
    auto two_missing = terms("knock_out", "european", "cash_or_nothing");
    two_missing.erase("strike");
    two_missing.erase("barrier_lo");
    EXPECT_EQ(error_of<KeyError>(two_missing), "barrier_lo");
}

TEST_F(CorridorTest, ConstructionErrorsByKindAndMessage) {
    // Swapped or equal barriers would put every close outside the corridor.
    EXPECT_EQ(error_of<ValueError>(terms("KNOCK_OUT", "european", "cash_or_nothing", 120, 80)),
              "barrier_lo (120) must be below barrier_hi (80)");
    EXPECT_EQ(error_of<ValueError>(terms("knock_out", "european", "cash_or_nothing", 100, 100)),
              "barrier_lo (100) must be below barrier_hi (100)");
    EXPECT_EQ(error_of<ValueError>(terms("knock_out", "european", "cash_or_nothing", NAN, 100)),
              "barrier_lo (nan) must be below barrier_hi (100)");
    EXPECT_EQ(error_of<KeyError>(terms("KNOCK_OUT", "european", "cash_or_nothing")), "KNOCK_OUT");
    auto rebate = terms("knock_out", "bermudan", "binary");
    rebate.set("rebate", 0.5);
    EXPECT_EQ(error_of<NotImplementedError>(rebate), "");  // before payoff and exercise
    EXPECT_EQ(error_of<AssertionError>(terms("knock_out", "bermudan", "binary")), "");
    EXPECT_EQ(error_of<NotImplementedError>(terms("knock_out", "bermudan", "plain_vanilla")),
              "BERMUDAN EXERCISE not supported yet");
    EXPECT_EQ(error_of<ValueError>(terms("knock_out", "European", "plain_vanilla")), "unknown exercise type: European");
    auto no_payoff = terms("knock_out", "european", "plain_vanilla");
    no_payoff.erase("payoff_type");
    EXPECT_EQ(error_of<KeyError>(no_payoff), "payoff_type");
    no_payoff.set("rebate", 0.5);
    EXPECT_EQ(error_of<NotImplementedError>(no_payoff), "");
}

TEST_F(CorridorTest, BadMarketInputsAreValueErrorsBeforeAnyRequest) {
    DoubleBarrierOption o(terms("knock_out", "european", "cash_or_nothing"));
    client->reset_counts();
    EXPECT_THROW(o.npv(NAN, 0.03, 0.2, 0.0, kEval), ValueError);
    EXPECT_THROW(o.npv(-5, 0.03, 0.2, 0.0, kEval), ValueError);
    EXPECT_THROW(o.npv(100, 0.03, INFINITY, 0.0, kEval), ValueError);
    EXPECT_THROW(o.npv(100, NAN, 0.2, 0.0, kEval), ValueError);
    EXPECT_EQ(client->price_calls, 0);
}

TEST_F(CorridorTest, MakeOptionBuildsADoubleBarrierOption) {
    auto o = make_option(terms("knock_out", "european", "cash_or_nothing"));
    ASSERT_NE(dynamic_cast<DoubleBarrierOption*>(o.get()), nullptr);
    EXPECT_GT(o->npv(100, 0.03, 0.2, 0.0, kEval), 0.0);
}

// Kweichow Moutai in the first half of 2024: the unadjusted closes stay within
// 1467.39 (on 2024-06-28) and 1770.00; the adjusted ones go down to 1393.30.
TEST(CorridorBundledData, RealHistoryLeavesOneCorridorAndNotTheOther) {
    test::ScopedClient scoped(test::bundled_store());
    auto t = terms("knock_out", "european", "cash_or_nothing", 1450, 1800);
    t.set("effect_date", "2024-01-02");
    t.set("maturity_date", "2024-12-31");
    t.set("s0", 1685.01);
    t.erase("digital_payoff");
    DoubleBarrierOption inside(t);
    EXPECT_FALSE(inside.triggered("2024-06-28"));
    const double live = inside.npv(1480, 0.02, 0.25, 0.01, "2024-06-28");
    EXPECT_GT(live, 0.0);
    EXPECT_LT(live, 1685.01);

    t.set("barrier_lo", 1470.0);
    DoubleBarrierOption left(t);
    EXPECT_FALSE(left.triggered("2024-06-27"));
    EXPECT_TRUE(left.triggered("2024-06-28"));
    EXPECT_EQ(left.npv(1480, 0.02, 0.25, 0.01, "2024-06-28"), 0.0);
}
