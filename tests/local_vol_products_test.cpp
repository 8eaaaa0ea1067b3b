// The QuantLib products under a calibrated surface. A surface of one implied
// volatility everywhere values each as that flat volatility does on its own
// engine (analytic, tree or finite differences), within the local-volatility
// mesh's error; under the surface calibrated to the SSE 50 ETF options the
// values keep the relations between products (in + out, touch + no-touch,
// one barrier as the limit of two) and differ from the at-the-money
// volatility's; what has no local-volatility engine refuses the surface by
// name.
#include <kestrel/asian.hpp>
#include <kestrel/kestrel.hpp>
#include <kestrel/market/process.hpp>

#include "support/surface_support.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>
#include <ql/settings.hpp>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>
#include <memory>
#include <string>

using namespace kestrel;
using QuantLib::Date;

namespace {

constexpr double kSpot = 2.367;

Terms base(const char* type, const char* maturity = "2024-06-26") {
    return Terms{{"type", type},          {"effect_date", "2023-12-04"}, {"maturity_date", maturity},
                 {"underlying", "LV.TEST"}, {"s0", kSpot},               {"notional", 1.0}};
}

Terms barrier_terms(const char* barrier_type, const char* call_put, double strike, double level, const char* exercise,
              const char* payoff, double rebate = 0.0) {
    Terms t = base("barrier");
    t.set("barrier_type", barrier_type);
    t.set("call_put", call_put);
    t.set("strike", strike);
    t.set("barrier", level);
    t.set("exercise_type", exercise);
    t.set("payoff_type", payoff);
    t.set("rebate", rebate);
    t.set("digital_payoff", 1.0);
    t.set("pay_at", "expiry");
    return t;
}

Terms corridor_terms(const char* barrier_type, const char* call_put, double strike, double lo, double hi,
               const char* payoff, const char* exercise = "european") {
    Terms t = base("corridor");
    t.set("barrier_type", barrier_type);
    t.set("call_put", call_put);
    t.set("strike", strike);
    t.set("barrier_lo", lo);
    t.set("barrier_hi", hi);
    t.set("exercise_type", exercise);
    t.set("payoff_type", payoff);
    t.set("digital_payoff", 1.0);
    return t;
}

Terms touch_terms(const char* touch_type, double lo, double hi) {
    Terms t = base("tandem");
    t.set("touch_type", touch_type);
    t.set("touch_price_lo", lo);
    t.set("touch_price_hi", hi);
    t.set("digital_payoff", 1.0);
    t.set("pay_at", "expiry");
    return t;
}

Terms vanilla_terms(const char* call_put, double strike, const char* exercise, const char* payoff, bool at_expiry = false) {
    Terms t = base("vanilla");
    t.set("call_put", call_put);
    t.set("strike", strike);
    t.set("exercise_type", exercise);
    t.set("payoff_type", payoff);
    t.set("digital_payoff", 1.0);
    if (at_expiry) t.set("pay_at", "expiry");
    return t;
}

Terms asian_terms(const char* average_type) {
    Terms t = base("asian", "2024-03-04");
    t.set("call_put", "call");
    t.set("strike", kSpot);
    t.set("average_type", average_type);
    return t;
}

std::string name(const Terms& t) {
    std::string s = t.text("type");
    for (const char* key : {"barrier_type", "touch_type", "call_put", "exercise_type", "payoff_type"})
        if (const Value* v = t.find(key)) s += " " + v->as_text(key);
    return s;
}

class LocalVolProductsTest : public ::testing::Test {
  protected:
    std::shared_ptr<test::CountingClient> client = std::make_shared<test::CountingClient>();
    test::ScopedClient scoped{client};
    const Date D = utils::parse_date("2023-12-04");
    const Market flat{kSpot, 0.02, 0.2, 0.01};
    const Market one{kSpot, RateCurve(0.02), VolCurve(test::flat_surface(kSpot, 0.2, D)), RateCurve(0.01)};
};

}  // namespace

// The finite-difference products: one volatility everywhere gives the flat
// engine's value within 2e-4 x s0 (cash 1, s0 2.367): the local-volatility
// mesh's error (800 steps x 400 nodes on a barrier, 200 x 400 on a vanilla).
// The European cash-or-nothing single barrier's flat engine is itself finite
// differences on QuantLib's default grid (about 1e-3 off): it is compared
// with the American one paid at expiry, the same claim on the analytic engine.
TEST_F(LocalVolProductsTest, ASurfaceOfOneVolatilityValuesAsTheFlatEngines) {
    struct Case {
        Terms terms, reference;
    };
    const auto same = [](Terms t) { return Case{t, t}; };
    const Case cases[] = {
        same(barrier_terms("down_and_out", "put", 2.367, 2.0, "european", "plain_vanilla")),
        same(barrier_terms("down_and_in", "put", 2.367, 2.0, "european", "plain_vanilla")),
        same(barrier_terms("up_and_out", "call", 2.367, 2.8, "european", "plain_vanilla")),
        same(barrier_terms("up_and_in", "call", 2.2, 2.8, "european", "plain_vanilla")),
        same(barrier_terms("down_and_out", "call", 2.367, 2.1, "european", "plain_vanilla", 0.05)),
        same(barrier_terms("down_and_in", "call", 2.367, 2.1, "european", "plain_vanilla", 0.05)),
        {barrier_terms("up_and_out", "call", 2.3, 2.7, "european", "cash_or_nothing"),
         barrier_terms("up_and_out", "call", 2.3, 2.7, "american", "cash_or_nothing")},
        same(barrier_terms("down_and_in", "put", 2.3, 2.1, "american", "cash_or_nothing")),
        same(barrier_terms("up_and_out", "call", 2.3, 2.7, "american", "cash_or_nothing")),
        same(barrier_terms("down_and_out", "put", 2.367, 2.0, "american", "plain_vanilla")),
        same(barrier_terms("up_and_out", "put", 2.5, 2.7, "american", "plain_vanilla", 0.05)),
        same(corridor_terms("knock_out", "call", 2.367, 2.0, 2.8, "plain_vanilla")),
        same(corridor_terms("knock_in", "call", 2.367, 2.0, 2.8, "plain_vanilla")),
        same(corridor_terms("knock_out", "put", 2.4, 2.1, 2.7, "plain_vanilla")),
        same(corridor_terms("knock_out", "call", 0.0, 2.0, 2.8, "cash_or_nothing")),
        same(corridor_terms("knock_in", "call", 0.0, 2.0, 2.8, "cash_or_nothing")),
        same(touch_terms("double_no_touch", 2.0, 2.8)),
        same(touch_terms("double_one_touch", 2.1, 2.6)),
        same(vanilla_terms("call", 2.6, "american", "cash_or_nothing")),
        same(vanilla_terms("call", 2.6, "american", "cash_or_nothing", true)),
        same(vanilla_terms("put", 2.1, "american", "cash_or_nothing")),
        same(vanilla_terms("put", 2.1, "american", "asset_or_nothing")),
        same(vanilla_terms("call", 2.6, "american", "asset_or_nothing", true)),
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(name(c.terms));
        const double want = make_option(c.reference)->npv(flat, D), got = make_option(c.terms)->npv(one, D);
        std::printf("%-50s flat %.6f surface %.6f diff %.2e\n", name(c.terms).c_str(), want, got, got - want);
        EXPECT_GT(want, 0.01);
        EXPECT_NEAR(got, want, 2e-4 * kSpot);
    }
}

// The Asians on QuantLib's Monte Carlo along the local volatility: one
// volatility everywhere gives the flat value within three standard errors
// (the flat arithmetic one has its control variate, the geometric one is
// analytic).
TEST_F(LocalVolProductsTest, AsiansOnTheLocalVolatilityAgreeWithTheFlatValues) {
    for (const char* average : {"arithmetic", "geometric"}) {
        SCOPED_TRACE(average);
        AsianOption o(asian_terms(average));
        const auto error = [&](const Market& m) {
            const auto instrument = o.construct_option(m, D, 1.0);
            QuantLib::Settings::instance().evaluationDate() = D;
            (void)instrument->NPV();
            return std::string(average) == "geometric" && m.is_flat() ? 0.0 : instrument->errorEstimate();
        };
        const double se = std::hypot(error(one), error(flat));
        EXPECT_GT(se, 0.0);
        EXPECT_LT(se, AsianOption::local_vol_relative_tolerance * kSpot * 1.5);
        const double a = o.npv(one, D), b = o.npv(flat, D);
        std::printf("%s Asian: surface %.6f flat %.6f, standard error %.2e\n", average, a, b, se);
        EXPECT_NEAR(a, b, 3 * se);
        EXPECT_EQ(o.npv(one, D), a);  // the same seed, the same draws
    }
}

// Under the surface calibrated to the ETF's options: the relations between
// the products hold across their engines (QuantLib's barrier engine, the
// corridor engine, QuantLib's vanilla engine), and the smile is seen.
TEST_F(LocalVolProductsTest, UnderTheEtfSurfaceTheProductsKeepTheirRelations) {
    const Market m = test::etf_surface_market();
    const Market atm(kSpot, RateCurve(0.02), VolCurve(0.151), m.q);
    const double tol = 2e-4 * kSpot;
    const auto npv = [&](const Terms& t, const Market& mk) { return make_option(t)->npv(mk, D); };

    // in + out = the vanilla (QuantLib's barrier engine against the vanilla
    // product's own grid).
    const double put = npv(vanilla_terms("put", 2.367, "european", "plain_vanilla"), m);
    const double di = npv(barrier_terms("down_and_in", "put", 2.367, 2.0, "european", "plain_vanilla"), m);
    const double dout = npv(barrier_terms("down_and_out", "put", 2.367, 2.0, "european", "plain_vanilla"), m);
    EXPECT_NEAR(di + dout, put, tol);
    // Early exercise is worth something to a down-and-out put (the corridor
    // engine against QuantLib's barrier engine).
    EXPECT_GT(npv(barrier_terms("down_and_out", "put", 2.367, 2.0, "american", "plain_vanilla"), m), dout + 0.01);
    // The skew: the knock-in put far below spot is worth more than at the
    // at-the-money volatility.
    const double di_atm = npv(barrier_terms("down_and_in", "put", 2.367, 2.0, "european", "plain_vanilla"), atm);
    std::printf("down-and-in put at 2.0: surface %.6f, at the money %.6f\n", di, di_atm);
    EXPECT_GT(di, di_atm + 1e-3);

    // Two barriers, one of them out of reach, are the other's single
    // barrier; both out of reach, the vanilla.
    const double uo = npv(barrier_terms("up_and_out", "call", 2.367, 2.8, "european", "plain_vanilla"), m);
    EXPECT_NEAR(npv(corridor_terms("knock_out", "call", 2.367, 0.3, 2.8, "plain_vanilla"), m), uo, tol);
    const double call = npv(vanilla_terms("call", 2.367, "european", "plain_vanilla"), m);
    EXPECT_NEAR(npv(corridor_terms("knock_out", "call", 2.367, 0.3, 20.0, "plain_vanilla"), m), call, tol);
    EXPECT_NEAR(npv(corridor_terms("knock_in", "call", 2.367, 0.3, 20.0, "plain_vanilla"), m), 0.0, tol);

    // No-touch + one-touch = the cash discounted from expiry.
    const double T = (utils::parse_date("2024-06-26") - D) / 365.0;
    const double dnt = npv(touch_terms("double_no_touch", 2.1, 2.6), m);
    const double dot = npv(touch_terms("double_one_touch", 2.1, 2.6), m);
    EXPECT_GT(dnt, 0.05);
    EXPECT_NEAR(dnt + dot, std::exp(-0.02 * T), 1e-12);
    EXPECT_NEAR(dnt, npv(corridor_terms("knock_out", "call", 0.0, 2.1, 2.6, "cash_or_nothing"), m), 1e-15);
    EXPECT_GT(std::fabs(dnt - npv(touch_terms("double_no_touch", 2.1, 2.6), atm)), 1e-3);

    // A touch of 2.1 paid at expiry: the American digital (the corridor
    // engine) is the down-and-in digital struck out of reach (QuantLib's
    // barrier engine); paid at the touch it is worth more (r > 0).
    const double touch_at_expiry = npv(vanilla_terms("put", 2.1, "american", "cash_or_nothing", true), m);
    EXPECT_NEAR(touch_at_expiry, npv(barrier_terms("down_and_in", "put", 50.0, 2.1, "american", "cash_or_nothing"), m),
                tol);
    const double touch_at_hit = npv(vanilla_terms("put", 2.1, "american", "cash_or_nothing"), m);
    EXPECT_GT(touch_at_hit, touch_at_expiry);
    EXPECT_LT(touch_at_hit, touch_at_expiry / std::exp(-0.02 * T));
}

// The Asian's paths step from fixing to fixing (daily Euler steps in log
// price). Under the ETF's surface, paths of four steps a day on the same
// Brownian increments value it within 2e-4 x s0 of daily ones (the
// discretisation error alone, the draws' noise cancelling), and QuantLib's
// value is within three standard errors of the fine paths'.
TEST_F(LocalVolProductsTest, AnAsiansDailyStepsAreFineEnoughUnderTheEtfSurface) {
    const Market m = test::etf_surface_market();
    AsianOption o(asian_terms("arithmetic"));
    const auto instrument = o.construct_option(m, D, 1.0);
    QuantLib::Settings::instance().evaluationDate() = D;
    const double value = instrument->NPV(), se = instrument->errorEstimate();
    EXPECT_EQ(o.npv(m, D), value);

    const auto process = market::make_process(m, D);
    std::vector<double> times;
    for (const Date& d : o.fixing_dates()) times.push_back(process->time(d));
    const double discount = process->riskFreeRate()->discount(times.back());
    constexpr int kSub = 4, kPaths = 10000;
    std::mt19937_64 rng(7);
    std::normal_distribution<double> normal;
    double fine_sum = 0, fine_sum2 = 0, diff_sum = 0, diff_sum2 = 0;
    for (int p = 0; p < kPaths; ++p) {
        double fine = kSpot, coarse = kSpot, t = 0, fine_average = 0, coarse_average = 0;
        for (double fixing : times) {
            if (fixing > t) {
                const double dt = (fixing - t) / kSub;
                double w = 0;
                for (int k = 0; k < kSub; ++k) {
                    const double z = normal(rng);
                    fine = process->evolve(t + k * dt, fine, dt, z);
                    w += z;
                }
                coarse = process->evolve(t, coarse, fixing - t, w / std::sqrt(double(kSub)));
                t = fixing;
            }
            fine_average += fine;
            coarse_average += coarse;
        }
        const double n = static_cast<double>(times.size());
        const double a = discount * std::max(fine_average / n - kSpot, 0.0);
        const double b = discount * std::max(coarse_average / n - kSpot, 0.0);
        fine_sum += a;
        fine_sum2 += a * a;
        diff_sum += b - a;
        diff_sum2 += (b - a) * (b - a);
    }
    const auto stats = [](double sum, double sum2) {
        const double mean = sum / kPaths;
        return std::pair{mean, std::sqrt((sum2 / kPaths - mean * mean) / kPaths)};
    };
    const auto [fine, fine_se] = stats(fine_sum, fine_sum2);
    const auto [step_error, step_se] = stats(diff_sum, diff_sum2);
    std::printf("arithmetic Asian under the ETF surface: QuantLib %.6f (se %.1e); four steps a day %.6f (se %.1e), "
                "daily less four a day %.2e (se %.1e)\n",
                value, se, fine, fine_se, step_error, step_se);
    EXPECT_LT(std::fabs(step_error) + 3 * step_se, 2e-4 * kSpot);
    EXPECT_NEAR(value, fine, 3 * std::hypot(se, fine_se));
}

// What has no local-volatility engine refuses the surface by name.
TEST_F(LocalVolProductsTest, WhatHasNoLocalVolatilityEngineRefusesTheSurface) {
    const Market m = test::etf_surface_market();
    const Terms refused[] = {
        barrier_terms("down_and_in", "put", 2.367, 2.0, "american", "plain_vanilla"),
        corridor_terms("kiko", "call", 0.0, 2.0, 2.8, "cash_or_nothing", "american"),
        corridor_terms("knock_out", "call", 2.367, 2.0, 2.8, "plain_vanilla", "american"),
        touch_terms("kiko", 2.0, 2.8),
    };
    for (const Terms& t : refused) {
        SCOPED_TRACE(name(t));
        const auto o = make_option(t);
        try {
            (void)o->npv(m, D);
            ADD_FAILURE() << "valued under a surface";
        } catch (const NotImplementedError& e) {
            EXPECT_NE(std::string(e.what()).find("no local-volatility engine"), std::string::npos) << e.what();
        }
    }
    // An American cash-or-nothing barrier is valued paid at expiry only, as
    // on a flat volatility.
    Terms at_hit = barrier_terms("down_and_in", "put", 2.3, 2.1, "american", "cash_or_nothing");
    at_hit.erase("pay_at");
    EXPECT_THROW((void)make_option(at_hit)->npv(m, D), NotImplementedError);
}
