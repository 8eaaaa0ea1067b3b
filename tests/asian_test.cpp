#include <kestrel/asian.hpp>
#include <kestrel/book.hpp>
#include <kestrel/calendar.hpp>
#include <kestrel/market/process.hpp>
#include <kestrel/kestrel.hpp>

#include "support/test_support.hpp"

#include <gtest/gtest.h>
#include <ql/pricingengines/asian/mc_discr_arith_av_price.hpp>
#include <ql/settings.hpp>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

using namespace kestrel;
using QuantLib::Date;
using QuantLib::Option;

namespace {

const std::string kIndex = "IDX";

Terms asian_terms(const char* effect, const char* maturity, double strike, const char* call_put,
                  const char* average_type, const std::string& underlying = kIndex) {
    Terms t{{"effect_date", effect}, {"maturity_date", maturity}, {"underlying", underlying},
            {"s0", strike},          {"notional", 1.0},           {"call_put", call_put},
            {"strike", strike}};
    if (average_type) t.set("average_type", average_type);
    return t;
}

QuantLib::DiscreteAveragingAsianOption::arguments arguments_of(const AsianOption::InstrumentPtr& instrument) {
    QuantLib::DiscreteAveragingAsianOption::arguments a;
    instrument->setupArguments(&a);
    return a;
}

double strike_of(const QuantLib::DiscreteAveragingAsianOption::arguments& a) {
    return QuantLib::ext::dynamic_pointer_cast<QuantLib::StrikedTypePayoff>(a.payoff)->strike();
}

// The fixings still to come as seen from a trading-day evaluation date, in
// years of 365 days.
std::vector<double> future_times(const AsianOption& o, const Date& e) {
    std::vector<double> t;
    for (const Date& d : o.fixing_dates())
        if (d >= e) t.push_back((d - e) / 365.0);
    return t;
}

double norm_cdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

// Discounted expected payoff of a geometric-average option: log G is the mean
// of n past log closes (summing to log_past) and of log S at `times`, with log
// S_t normal, mean log S + (r - q - vol^2/2) t, covariance vol^2 min(s, t).
double geometric_closed_form(Option::Type type, double spot, double strike, double r, double q, double vol,
                             const std::vector<double>& times, std::size_t n, double log_past, double expiry) {
    const double count = static_cast<double>(n + times.size());
    double mean = log_past;
    for (double t : times) mean += std::log(spot) + (r - q - 0.5 * vol * vol) * t;
    mean /= count;
    double var = 0.0;
    for (double s : times)
        for (double t : times) var += vol * vol * std::min(s, t);
    var /= count * count;
    const double forward = std::exp(mean + 0.5 * var), df = std::exp(-r * expiry);
    if (var == 0.0) return df * std::max(type == Option::Call ? forward - strike : strike - forward, 0.0);
    const double sd = std::sqrt(var), d1 = (std::log(forward / strike) + 0.5 * var) / sd, d2 = d1 - sd;
    return type == Option::Call ? df * (forward * norm_cdf(d1) - strike * norm_cdf(d2))
                                : df * (strike * norm_cdf(-d2) - forward * norm_cdf(-d1));
}

double sum_of_logs(const std::vector<double>& closes) {
    double s = 0.0;
    for (double c : closes) s += std::log(c);
    return s;
}

struct Estimate {
    double value, error;
};

// Arithmetic-average option by exact log-normal steps between the fixings,
// with the geometric-average option over the same fixings as control (its
// value from geometric_closed_form, its coefficient fitted on the paths).
Estimate arithmetic_monte_carlo(Option::Type type, double spot, double strike, double r, double q, double vol,
                                const std::vector<double>& times, const std::vector<double>& past, double expiry,
                                std::size_t paths) {
    std::mt19937_64 rng(20240301);
    std::normal_distribution<double> z;
    const double past_sum = [&] {
        double s = 0;
        for (double c : past) s += c;
        return s;
    }();
    const double log_past = sum_of_logs(past), count = static_cast<double>(past.size() + times.size());
    const double df = std::exp(-r * expiry), sign = type == Option::Call ? 1.0 : -1.0;
    const double control_value =
        geometric_closed_form(type, spot, strike, r, q, vol, times, past.size(), log_past, expiry);
    std::vector<double> a(paths), g(paths);
    for (std::size_t p = 0; p < paths; ++p) {
        double x = std::log(spot), t_prev = 0.0, sum = past_sum, log_sum = log_past;
        for (double t : times) {
            const double dt = t - t_prev;
            x += (r - q - 0.5 * vol * vol) * dt + vol * std::sqrt(dt) * z(rng);
            t_prev = t;
            sum += std::exp(x);
            log_sum += x;
        }
        a[p] = df * std::max(sign * (sum / count - strike), 0.0);
        g[p] = df * std::max(sign * (std::exp(log_sum / count) - strike), 0.0);
    }
    double ma = 0, mg = 0;
    for (std::size_t p = 0; p < paths; ++p) ma += a[p], mg += g[p];
    ma /= paths, mg /= paths;
    double cov = 0, varg = 0;
    for (std::size_t p = 0; p < paths; ++p) cov += (a[p] - ma) * (g[p] - mg), varg += (g[p] - mg) * (g[p] - mg);
    const double beta = varg > 0 ? cov / varg : 0.0;
    double m = 0, m2 = 0;
    for (std::size_t p = 0; p < paths; ++p) {
        const double y = a[p] - beta * (g[p] - control_value);
        m += y, m2 += y * y;
    }
    m /= paths;
    const double var = (m2 / paths - m * m) * paths / (paths - 1.0);
    return {m, std::sqrt(var / paths)};
}

// Closes for every trading day in [from, to): level x exp(0.03 sin(0.7 i)).
std::vector<std::pair<Date, double>> wavy_closes(const Date& from, const Date& to, double level) {
    std::vector<std::pair<Date, double>> out;
    int i = 0;
    for (const Date& d : calendar::trading_days(from, to - 1)) out.emplace_back(d, level * std::exp(0.03 * std::sin(0.7 * i++)));
    return out;
}

std::vector<double> values_of(const std::vector<std::pair<Date, double>>& closes) {
    std::vector<double> v;
    for (const auto& [d, c] : closes) v.push_back(c);
    return v;
}

// Value and error estimate as npv computes them (working scale, multiplied back).
Estimate priced(const AsianOption& o, double spot, double r, double vol, double q, const Date& e) {
    const double scale = o.working_scale(spot, o.past_closes(e));
    const auto instrument = o.construct_option(spot, r, vol, q, e, scale);
    const ValuationLock lock;
    QuantLib::Settings::instance().evaluationDate() = e;
    return {instrument->NPV() * scale, instrument->errorEstimate() * scale};
}

class AsianTest : public ::testing::Test {
  protected:
    std::shared_ptr<test::CountingClient> client = std::make_shared<test::CountingClient>();
    test::ScopedClient scoped{client};
};

}  // namespace

TEST_F(AsianTest, ReadsTermsAndAsksForTheFixingDaysOnce) {
    AsianOption o(asian_terms("2024-03-04", "2024-04-03", 100.0, "call", "geometric"));
    EXPECT_EQ(o.call_put(), Option::Call);
    EXPECT_EQ(o.average_type(), QuantLib::Average::Geometric);
    EXPECT_EQ(o.fixing_dates(), calendar::trading_days(Date(4, QuantLib::March, 2024), Date(3, QuantLib::April, 2024)));
    EXPECT_EQ(o.fixing_dates().size(), 23u);  // Qingming closes 2024-04-04 only
    EXPECT_EQ(o.exercise()->lastDate(), Date(3, QuantLib::April, 2024));
    EXPECT_EQ(client->trading_dates_calls, 1);

    o.npv(100.0, 0.03, 0.2, 0.0, "2024-03-01");
    EXPECT_EQ(client->trading_dates_calls, 1);  // none per valuation
    EXPECT_EQ(client->price_calls, 1);
    EXPECT_EQ(client->last_fields, std::vector<std::string>{"close"});
    EXPECT_EQ(client->last_adjust, "pre");
    EXPECT_EQ(client->last_start, Date(4, QuantLib::March, 2024));
    EXPECT_EQ(client->last_end, Date(1, QuantLib::March, 2024));

    for (const char* cp : {"Call", "put", "CALL"})
        EXPECT_EQ(AsianOption(asian_terms("2024-03-04", "2024-04-03", 100.0, cp, nullptr)).call_put(), Option::Put);
    for (const char* avg : {static_cast<const char*>(nullptr), "Geometric", "arithmetic", "geo"})
        EXPECT_EQ(AsianOption(asian_terms("2024-03-04", "2024-04-03", 100.0, "call", avg)).average_type(),
                  QuantLib::Average::Arithmetic);

    Terms no_strike = asian_terms("2024-03-04", "2024-04-03", 100.0, "call", nullptr);
    no_strike.erase("strike");
    try {
        AsianOption bad(no_strike);
        FAIL() << "no KeyError";
    } catch (const KeyError& e) {
        EXPECT_STREQ(e.what(), "strike");
    }

    auto made = make_option([] {
        Terms t = asian_terms("2024-03-04", "2024-04-03", 100.0, "call", "geometric");
        t.set("type", "asian");
        return t;
    }());
    ASSERT_NE(dynamic_cast<AsianOption*>(made.get()), nullptr);
    EXPECT_DOUBLE_EQ(made->npv(100.0, 0.03, 0.2, 0.0, "2024-03-01"), o.npv(100.0, 0.03, 0.2, 0.0, "2024-03-01"));
}

TEST_F(AsianTest, GeometricWithoutHistoryMatchesTheClosedForm) {
    struct Row {
        const char* call_put;
        double strike, r, q, vol;
        const char* maturity;
    };
    const Row rows[] = {
        {"call", 100.0, 0.03, 0.00, 0.20, "2024-04-03"}, {"put", 100.0, 0.03, 0.00, 0.20, "2024-04-03"},
        {"call", 90.0, 0.02, 0.01, 0.35, "2024-09-30"},  {"put", 115.0, 0.05, 0.03, 0.15, "2024-12-31"},
        {"call", 130.0, -0.01, 0.0, 0.60, "2025-03-04"},
    };
    const Date e(1, QuantLib::March, 2024);  // before the effect date: no history
    for (const Row& row : rows) {
        AsianOption o(asian_terms("2024-03-04", row.maturity, row.strike, row.call_put, "geometric"));
        const double expected =
            geometric_closed_form(o.call_put(), 100.0, row.strike, row.r, row.q, row.vol, future_times(o, e), 0, 0.0,
                                  (o.maturity_date() - e) / 365.0);
        EXPECT_NEAR(o.npv(100.0, row.r, row.vol, row.q, e), expected, 1e-10 * (1.0 + expected))
            << row.call_put << " K=" << row.strike << " r=" << row.r << " q=" << row.q << " vol=" << row.vol
            << " maturity " << row.maturity;
    }

    // No history: nothing accumulated, no past fixings, every fixing date handed over.
    for (const char* avg : {"geometric", "arithmetic"}) {
        AsianOption o(asian_terms("2024-03-04", "2024-04-03", 100.0, "call", avg));
        const auto a = arguments_of(o.construct_option(100.0, 0.03, 0.2, 0.0, e));
        EXPECT_EQ(a.pastFixings, 0u);
        EXPECT_EQ(a.runningAccumulator, std::string(avg) == "geometric" ? 1.0 : 0.0);
        EXPECT_EQ(a.fixingDates, o.fixing_dates());
    }
}

TEST_F(AsianTest, PastClosesReachQuantLibAsCountAndAccumulator) {
    const Date e(15, QuantLib::March, 2024);
    const auto closes = wavy_closes(Date(4, QuantLib::March, 2024), e, 98.0);  // 9 closes before e
    client->add_closes(kIndex, "pre", closes);
    client->add_closes(kIndex, "none", {{Date(5, QuantLib::March, 2024), 1000.0}});  // not the adjusted series
    const std::vector<double> c = values_of(closes);
    ASSERT_EQ(c.size(), 9u);
    double product = 1.0, sum = 0.0;
    for (double x : c) product *= x, sum += x;

    AsianOption geo(asian_terms("2024-03-04", "2024-04-03", 100.0, "call", "geometric"));
    AsianOption ari(asian_terms("2024-03-04", "2024-04-03", 100.0, "put", "arithmetic"));
    EXPECT_EQ(geo.past_closes(e), c);

    const auto g = arguments_of(geo.construct_option(101.0, 0.03, 0.2, 0.0, e));
    EXPECT_EQ(g.pastFixings, 9u);
    EXPECT_DOUBLE_EQ(g.runningAccumulator, product);
    EXPECT_EQ(g.fixingDates, geo.fixing_dates());
    const auto a = arguments_of(ari.construct_option(101.0, 0.03, 0.2, 0.0, e));
    EXPECT_EQ(a.pastFixings, 9u);
    EXPECT_DOUBLE_EQ(a.runningAccumulator, sum);

    // At a price scale every price is divided by it: the product by scale^n.
    const double scale = 7.0;
    const auto gs = arguments_of(geo.construct_option(101.0, 0.03, 0.2, 0.0, e, scale));
    EXPECT_EQ(gs.pastFixings, 9u);
    EXPECT_NEAR(gs.runningAccumulator, product / std::pow(scale, 9), 1e-13 * product / std::pow(scale, 9));
    EXPECT_DOUBLE_EQ(strike_of(gs), 100.0 / scale);
    const auto as = arguments_of(ari.construct_option(101.0, 0.03, 0.2, 0.0, e, scale));
    EXPECT_DOUBLE_EQ(as.runningAccumulator, sum / scale);

    // The geometric scale is the geometric mean of the closes: the product handed over is 1.
    EXPECT_NEAR(geo.working_scale(101.0, c), std::exp(sum_of_logs(c) / 9), 1e-12);
    const auto gw = arguments_of(geo.construct_option(101.0, 0.03, 0.2, 0.0, e, geo.working_scale(101.0, c)));
    EXPECT_NEAR(gw.runningAccumulator, 1.0, 1e-12);
}

TEST_F(AsianTest, PastClosesAtTheStrikeGiveTheKnownShift) {
    // n past closes at K: the geometric log-mean moves by (n / N) log K; an
    // arithmetic average of N fixings is then above K exactly when the average
    // of the m fixings to come is, so the option is worth m / N of the fresh
    // option on those m fixings.
    const Date e(15, QuantLib::March, 2024);
    const double strike = 100.0, spot = 102.0, r = 0.03, vol = 0.25, q = 0.01;
    std::vector<std::pair<Date, double>> at_strike;
    for (const Date& d : calendar::trading_days(Date(4, QuantLib::March, 2024), e - 1)) at_strike.emplace_back(d, strike);
    client->add_closes(kIndex, "pre", at_strike);
    const std::size_t n = at_strike.size();
    ASSERT_EQ(n, 9u);

    for (const char* cp : {"call", "put"}) {
        AsianOption geo(asian_terms("2024-03-04", "2024-04-03", strike, cp, "geometric"));
        const double expected = geometric_closed_form(geo.call_put(), spot, strike, r, q, vol, future_times(geo, e), n,
                                                      n * std::log(strike), (geo.maturity_date() - e) / 365.0);
        EXPECT_NEAR(geo.npv(spot, r, vol, q, e), expected, 1e-10) << cp;

        AsianOption seasoned(asian_terms("2024-03-04", "2024-04-03", strike, cp, "arithmetic"));
        AsianOption fresh(asian_terms("2024-03-15", "2024-04-03", strike, cp, "arithmetic"));
        const double m = static_cast<double>(fresh.fixing_dates().size());
        const double share = m / (m + static_cast<double>(n));
        const Estimate s = priced(seasoned, spot, r, vol, q, e), f = priced(fresh, spot, r, vol, q, e);
        EXPECT_NEAR(s.value, share * f.value, 4 * std::hypot(s.error, share * f.error))
            << cp << ": seasoned " << s.value << " +- " << s.error << ", fresh " << f.value << " +- " << f.error;
    }
}

TEST_F(AsianTest, ArithmeticMonteCarloAgreesWithAnIndependentSimulation) {
    // Two past fixings: QuantLib's control variate is the geometric option on
    // the fixings to come, which tracks a seasoned contract less well the more
    // of its average is already fixed (and the run gets longer).
    const Date e(6, QuantLib::March, 2024);
    const auto history = wavy_closes(Date(4, QuantLib::March, 2024), e, 97.0);
    client->add_closes("SEASONED", "pre", history);
    struct Row {
        const char* underlying;
        const char* call_put;
        double spot, strike, vol;
    };
    const Row rows[] = {
        {"FRESH", "call", 100.0, 100.0, 0.25},
        {"FRESH", "put", 100.0, 95.0, 0.40},
        {"SEASONED", "call", 99.0, 98.0, 0.30},
        {"SEASONED", "put", 350.0, 355.0, 0.20},  // priced at the level of 100
    };
    const double r = 0.025, q = 0.005;
    for (const Row& row : rows) {
        AsianOption o(asian_terms("2024-03-04", "2024-04-03", row.strike, row.call_put, "arithmetic", row.underlying));
        const std::vector<double> past = row.underlying == std::string("SEASONED") ? values_of(history)
                                                                                   : std::vector<double>{};
        const Estimate ql = priced(o, row.spot, r, row.vol, q, e);
        const Estimate check = arithmetic_monte_carlo(o.call_put(), row.spot, row.strike, r, q, row.vol,
                                                      future_times(o, e), past, (o.maturity_date() - e) / 365.0,
                                                      100000);
        EXPECT_DOUBLE_EQ(o.npv(row.spot, r, row.vol, q, e), ql.value);
        EXPECT_LE(ql.error, AsianOption::mc_tolerance * std::max(1.0, row.spot / 100.0));
        EXPECT_NEAR(ql.value, check.value, 4 * std::hypot(ql.error, check.error))
            << row.underlying << " " << row.call_put << " S=" << row.spot << " K=" << row.strike << " vol=" << row.vol
            << ": QuantLib " << ql.value << " +- " << ql.error << ", check " << check.value << " +- " << check.error;
    }
}

TEST_F(AsianTest, ArithmeticValuesAreQuantLibPythonEnginesOwn) {
    // Made by QuantLib-Python 1.29 (Debian's quantlib-python, the release the
    // library links) as python/tests/test_quantlib_reference.py does: the
    // contracts' fixing dates, MCDiscreteArithmeticAPEngine(process, "pr",
    // controlVariate=True, requiredTolerance=0.005, seed=42), every other
    // argument the binding's default (no Brownian bridge; with one the call is
    // 2.33460, one error estimate lower). Six months of fixings, none past, at
    // a price level below 100 so nothing is rescaled.
    const Date e(1, QuantLib::March, 2024);
    AsianOption call(asian_terms("2024-03-04", "2024-09-03", 54.5, "call", "arithmetic"));
    AsianOption put(asian_terms("2024-03-04", "2024-09-03", 56.0, "put", "arithmetic"));
    ASSERT_EQ(call.fixing_dates().size(), 126u);
    EXPECT_NEAR(call.npv(54.5, 0.02, 0.25, 0.01, e), 2.3388853606670814, 1e-12);
    EXPECT_NEAR(put.npv(54.5, 0.02, 0.35, 0.01, e), 3.93413754017631, 1e-12);
}

TEST_F(AsianTest, ArithmeticValueIsRepeatableAndWorksAtAPriceLevelOf100) {
    const Date e(1, QuantLib::March, 2024);
    const double r = 0.03, vol = 0.22, q = 0.01;

    // Same inputs, same value (seed 42), at or below 100 and above.
    AsianOption low(asian_terms("2024-03-04", "2024-09-30", 80.0, "call", nullptr));
    const double v80 = low.npv(80.0, r, vol, q, e);
    EXPECT_EQ(low.npv(80.0, r, vol, q, e), v80);
    AsianOption high(asian_terms("2024-03-04", "2024-09-30", 6000.0, "call", nullptr));
    const double v6000 = high.npv(6000.0, r, vol, q, e);
    EXPECT_EQ(high.npv(6000.0, r, vol, q, e), v6000);

    // At a spot of 100 or less nothing is rescaled.
    EXPECT_EQ(low.working_scale(80.0, {}), 1.0);
    {
        const auto plain = low.construct_option(80.0, r, vol, q, e);
        const ValuationLock lock;
        QuantLib::Settings::instance().evaluationDate() = e;
        EXPECT_EQ(plain->NPV(), v80);
    }

    // Above 100 the tolerance applies at the level of 100: the value is what
    // QuantLib gives on the unscaled contract with a tolerance of 0.005 x 60,
    // the same seed and so the same draws.
    EXPECT_DOUBLE_EQ(high.working_scale(6000.0, {}), 60.0);
    {
        const auto unscaled = high.construct_option(6000.0, r, vol, q, e);
        unscaled->setPricingEngine(QuantLib::MakeMCDiscreteArithmeticAPEngine<QuantLib::PseudoRandom>(
                                       market::make_process(Market(6000.0, r, vol, q), e))
                                       .withBrownianBridge(false)
                                       .withControlVariate(true)
                                       .withAbsoluteTolerance(0.005 * 60.0)
                                       .withSeed(42));
        const ValuationLock lock;
        QuantLib::Settings::instance().evaluationDate() = e;
        EXPECT_NEAR(unscaled->NPV(), v6000, 1e-9 * v6000);
        EXPECT_LE(unscaled->errorEstimate(), 0.3);
        EXPECT_GT(unscaled->errorEstimate(), 0.1) << "the tolerance should bind for this contract";
    }

    // Homogeneity through the Greeks: 60 times every price is 60 times the
    // value, vega, theta and rho, the same delta and spot x gamma.
    AsianOption small(asian_terms("2024-03-04", "2024-04-03", 100.0, "call", nullptr));
    AsianOption large(asian_terms("2024-03-04", "2024-04-03", 6000.0, "call", nullptr));
    const OptionGreeks gs = small.greeks(100.0, r, vol, q, e), gl = large.greeks(6000.0, r, vol, q, e);
    const auto near = [](double a, double b) { return std::abs(a - b) <= 1e-8 * (std::abs(a) + std::abs(b)) + 1e-12; };
    EXPECT_PRED2(near, gl.npv, 60 * gs.npv);
    EXPECT_PRED2(near, gl.delta, gs.delta);
    EXPECT_PRED2(near, gl.gamma, gs.gamma);
    EXPECT_PRED2(near, gl.vega, 60 * gs.vega);
    EXPECT_PRED2(near, gl.theta, 60 * gs.theta);
    EXPECT_PRED2(near, gl.rho, 60 * gs.rho);
    EXPECT_GT(gs.delta, 0.0);
    EXPECT_LT(gs.delta, 1.0);
}

TEST_F(AsianTest, LongHistoryOfALargeIndexStaysFinite) {
    const Date e(1, QuantLib::March, 2024);
    const double spot = 6050.0, strike = 6000.0, r = 0.02, vol = 0.2, q = 0.01;
    const auto year = wavy_closes(Date(1, QuantLib::March, 2023), e, 6000.0);
    client->add_closes("YEAR", "pre", year);
    const std::vector<double> closes = values_of(year);
    ASSERT_GT(closes.size(), 230u);

    for (const char* cp : {"call", "put"}) {
        AsianOption o(asian_terms("2023-03-01", "2024-06-28", strike, cp, "geometric", "YEAR"));
        // The plain product of the closes is beyond the range of a double.
        EXPECT_TRUE(std::isinf(arguments_of(o.construct_option(spot, r, vol, q, e)).runningAccumulator));
        const double expected = geometric_closed_form(o.call_put(), spot, strike, r, q, vol, future_times(o, e),
                                                      closes.size(), sum_of_logs(closes),
                                                      (o.maturity_date() - e) / 365.0);
        const double v = o.npv(spot, r, vol, q, e);
        EXPECT_NEAR(v, expected, 1e-10 * expected) << cp;
        const OptionGreeks g = o.greeks(spot, r, vol, q, e);
        for (std::size_t i = 0; i < OptionGreeks::size(); ++i) EXPECT_TRUE(std::isfinite(g[i])) << cp << " " << i;
    }

    // Where the unscaled value is finite (a shorter history), the two agree to rounding.
    const auto quarter = wavy_closes(Date(1, QuantLib::December, 2023), e, 6000.0);
    client->add_closes("QUARTER", "pre", quarter);
    for (const char* cp : {"call", "put"}) {
        AsianOption o(asian_terms("2023-12-01", "2024-06-28", strike, cp, "geometric", "QUARTER"));
        const auto unscaled = o.construct_option(spot, r, vol, q, e);
        ASSERT_TRUE(std::isfinite(arguments_of(unscaled).runningAccumulator));
        double expected;
        {
            const ValuationLock lock;
            QuantLib::Settings::instance().evaluationDate() = e;
            expected = unscaled->NPV();
        }
        EXPECT_NEAR(o.npv(spot, r, vol, q, e), expected, 1e-12 * expected) << cp;
    }

}

namespace {

// Adjusted closes of the installed store from `from` to `to`.
std::vector<double> closes_between(const std::string& id, const Date& from, const Date& to) {
    const auto table = heron::get_price(id, from, to, "close", "pre", true);
    return table ? table->column("close") : std::vector<double>{};
}

}  // namespace

TEST_F(AsianTest, CsiThreeHundredWithMonthsOfPastFixings) {
    const test::ScopedClient bundled(test::bundled_store());
    const Date effect(2, QuantLib::January, 2024);
    const double r = 0.018, vol = 0.2, q = 0.02, strike = 3500.0;

    // Geometric, half-way: six months of closes (the evaluation day's among
    // them, while QuantLib also counts that day as a fixing at the spot).
    const Date mid(1, QuantLib::July, 2024);
    const std::vector<double> past = closes_between("000300.XSHG", effect, mid);
    ASSERT_GT(past.size(), 110u);
    const double spot = past.back();
    AsianOption geo(asian_terms("2024-01-02", "2024-12-31", strike, "call", "geometric", "000300.XSHG"));
    EXPECT_TRUE(std::isinf(arguments_of(geo.construct_option(spot, r, vol, q, mid)).runningAccumulator));
    const double expected = geometric_closed_form(Option::Call, spot, strike, r, q, vol, future_times(geo, mid),
                                                  past.size(), sum_of_logs(past), (geo.maturity_date() - mid) / 365.0);
    EXPECT_NEAR(geo.npv(spot, r, vol, q, mid), expected, 1e-10 * expected);

    // Arithmetic, eight fixings to come (the evaluation day counted at the spot).
    const Date late(20, QuantLib::December, 2024);
    const std::vector<double> late_past = closes_between("000300.XSHG", effect, late);
    const double late_spot = late_past.back();
    AsianOption ari(asian_terms("2024-01-02", "2024-12-31", 3600.0, "put", "arithmetic", "000300.XSHG"));
    const Estimate ql = priced(ari, late_spot, r, vol, q, late);
    const Estimate check = arithmetic_monte_carlo(Option::Put, late_spot, 3600.0, r, q, vol, future_times(ari, late),
                                                  late_past, (ari.maturity_date() - late) / 365.0, 100000);
    EXPECT_NEAR(ari.npv(late_spot, r, vol, q, late), check.value, 4 * std::hypot(ql.error, check.error))
        << "QuantLib " << ql.value << " +- " << ql.error << ", check " << check.value << " +- " << check.error;
}

TEST_F(AsianTest, RejectsBadMarketInputsAndBadCloses) {
    AsianOption o(asian_terms("2024-03-04", "2024-04-03", 100.0, "call", nullptr));
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    struct Case {
        double spot, r, vol, q;
        const char* name;
    };
    const Case cases[] = {{nan, 0.03, 0.2, 0.0, "spot"}, {100.0, inf, 0.2, 0.0, "r"}, {100.0, 0.03, nan, 0.0, "vol"},
                          {100.0, 0.03, 0.2, -inf, "q"}, {0.0, 0.03, 0.2, 0.0, "spot"}, {-5.0, 0.03, 0.2, 0.0, "spot"}};
    for (const Case& c : cases) {
        try {
            o.npv(c.spot, c.r, c.vol, c.q, "2024-03-15");
            ADD_FAILURE() << "no ValueError for " << c.name;
        } catch (const ValueError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.name, 0), 0u) << e.what();
        }
    }
    EXPECT_EQ(client->price_calls, 0);

    client->add_closes(kIndex, "pre", {{Date(4, QuantLib::March, 2024), 101.0}, {Date(5, QuantLib::March, 2024), nan}});
    try {
        o.npv(100.0, 0.03, 0.2, 0.0, "2024-03-15");
        ADD_FAILURE() << "no ValueError for a NaN close";
    } catch (const ValueError& e) {
        EXPECT_NE(std::string(e.what()).find("2024-03-05"), std::string::npos) << e.what();
    }
    EXPECT_THROW(o.construct_option(100.0, 0.03, 0.2, 0.0, "2024-03-01", 0.0), ValueError);
}

TEST_F(AsianTest, NpvSetsQuantLibsEvaluationDate) {
    AsianOption o(asian_terms("2024-03-04", "2024-04-03", 100.0, "call", "geometric"));
    o.npv(100.0, 0.03, 0.2, 0.0, "2024-03-12");
    EXPECT_EQ(QuantLib::Settings::instance().evaluationDate(), Date(12, QuantLib::March, 2024));
    o.npv(100.0, 0.03, 0.2, 0.0);
    EXPECT_EQ(QuantLib::Settings::instance().evaluationDate(), utils::today());
    EXPECT_EQ(client->last_end, utils::today());
}

namespace {

Terms with_engine(Terms t, const char* engine) {
    t.set("engine", engine);
    return t;
}

}  // namespace

TEST_F(AsianTest, OptInEnginesAgreeWithTheMonteCarlo) {
    // Fresh and seasoned contracts, at and away from the money, below and
    // above the price level of 100: "fd" within 3 error estimates of the
    // Monte Carlo (plus 0.1 % of the value for its grid; on these it is within
    // 1.2); Turnbull-Wakeman's approximation within 3 % (0.2 % at the money,
    // 2.3 % out of the money at 6 months).
    const Date e(6, QuantLib::March, 2024);
    const auto history = wavy_closes(Date(4, QuantLib::March, 2024), e, 97.0);
    client->add_closes("SEASONED", "pre", history);
    const auto big_history = wavy_closes(Date(4, QuantLib::March, 2024), e, 3400.0);
    client->add_closes("BIG", "pre", big_history);
    struct Row {
        const char* underlying;
        const char* call_put;
        const char* maturity;
        double spot, strike, vol;
    };
    const Row rows[] = {
        {"FRESH", "call", "2024-09-03", 100.0, 100.0, 0.25}, {"FRESH", "put", "2024-06-03", 100.0, 95.0, 0.40},
        {"FRESH", "call", "2024-12-31", 80.0, 90.0, 0.20},   {"SEASONED", "call", "2024-04-03", 99.0, 98.0, 0.30},
        {"SEASONED", "put", "2024-06-28", 96.0, 97.0, 0.20}, {"BIG", "call", "2024-09-30", 3450.0, 3400.0, 0.19},
    };
    const double r = 0.025, q = 0.005;
    for (const Row& row : rows) {
        const Terms t = asian_terms("2024-03-04", row.maturity, row.strike, row.call_put, "arithmetic", row.underlying);
        AsianOption mc(t), fd(with_engine(t, "fd")), tw(with_engine(t, "turnbull_wakeman"));
        EXPECT_EQ(fd.engine(), AsianOption::Engine::fd);
        const Estimate m = priced(mc, row.spot, r, row.vol, q, e);
        const double vf = fd.npv(row.spot, r, row.vol, q, e), vt = tw.npv(row.spot, r, row.vol, q, e);
        const std::string what = std::string(row.underlying) + " " + row.call_put + " to " + row.maturity +
                                 " S=" + std::to_string(row.spot) + " K=" + std::to_string(row.strike) +
                                 ": mc " + std::to_string(m.value) + " +- " + std::to_string(m.error) + ", fd " +
                                 std::to_string(vf) + ", turnbull_wakeman " + std::to_string(vt);
        EXPECT_NEAR(vf, m.value, 3 * m.error + 0.001 * m.value) << what;
        EXPECT_NEAR(vt, m.value, 3 * m.error + 0.03 * m.value) << what;
    }

    // The finite-difference Greeks are smooth: delta between 0 and 1 for a
    // call, every Greek finite.
    AsianOption fd(with_engine(asian_terms("2024-03-04", "2024-09-03", 100.0, "call", nullptr), "fd"));
    const OptionGreeks g = fd.greeks(100.0, r, 0.25, q, e);
    for (std::size_t i = 0; i < OptionGreeks::size(); ++i) EXPECT_TRUE(std::isfinite(g[i])) << i;
    EXPECT_GT(g.delta, 0.0);
    EXPECT_LT(g.delta, 1.0);
    EXPECT_GT(g.gamma, 0.0);
    EXPECT_GT(g.vega, 0.0);
}

TEST_F(AsianTest, EngineTermDefaultsToTheMonteCarloAndRefusesWhatItCannotValue) {
    const Date e(1, QuantLib::March, 2024);
    const Terms t = asian_terms("2024-03-04", "2024-06-28", 100.0, "call", nullptr);
    AsianOption plain(t), named(with_engine(t, "mc"));
    EXPECT_EQ(plain.engine(), AsianOption::Engine::mc);
    EXPECT_EQ(named.npv(101.0, 0.02, 0.2, 0.01, e), plain.npv(101.0, 0.02, 0.2, 0.01, e));
    const Terms g = asian_terms("2024-03-04", "2024-06-28", 100.0, "call", "geometric");
    EXPECT_EQ(AsianOption(g).engine(), AsianOption::Engine::analytic);
    EXPECT_EQ(AsianOption(with_engine(g, "analytic")).npv(101.0, 0.02, 0.2, 0.01, e),
              AsianOption(g).npv(101.0, 0.02, 0.2, 0.01, e));

    const auto refused = [](const Terms& terms, const std::string& text) {
        try {
            AsianOption o(terms);
            ADD_FAILURE() << "no ValueError for " << text;
        } catch (const ValueError& err) {
            EXPECT_NE(std::string(err.what()).find(text), std::string::npos) << err.what();
            EXPECT_EQ(std::string(err.what()).rfind("engine", 0), 0u) << err.what();
        }
    };
    refused(with_engine(t, "pde"), "unknown Asian option engine 'pde' (known: analytic, mc, fd, turnbull_wakeman)");
    refused(with_engine(t, "FD"), "'FD'");
    refused(with_engine(t, "analytic"), "does not value an arithmetic average");
    refused(with_engine(g, "fd"), "does not value a geometric average");
    refused(with_engine(g, "mc"), "analytic does");
    Terms number = t;
    number.set("engine", 3.0);
    EXPECT_THROW(AsianOption{number}, Error);

    // In a book, the row of the contract carries the error and its id; the
    // other contracts are valued.
    nlohmann::ordered_json book = nlohmann::ordered_json::array();
    for (const char* engine : {"fd", "montecarlo"}) {
        book.push_back({{"id", std::string("asian-") + engine}, {"type", "asian"}, {"underlying", kIndex},
                        {"effect_date", "2024-03-04"}, {"maturity_date", "2024-06-28"}, {"s0", 100.0},
                        {"notional", 1.0}, {"call_put", "call"}, {"strike", 100.0}, {"engine", engine}});
    }
    const book::BookMarket market = book::BookMarket::from_json(
        nlohmann::ordered_json::parse(R"({"r": 0.02, "underlyings": {"IDX": {"spot": 101, "vol": 0.2, "q": 0.01}}})"));
    const book::BookResult result = book::value_book(book, market, book::BookOptions{e, false, {}});
    ASSERT_EQ(result.rows.size(), 2u);
    ASSERT_TRUE(result.rows[0].ok()) << result.rows[0].error->message;
    EXPECT_NEAR(result.rows[0].value.npv, plain.npv(101.0, 0.02, 0.2, 0.01, e), 0.003 * result.rows[0].value.npv + 0.01);
    ASSERT_FALSE(result.rows[1].ok());
    EXPECT_EQ(result.rows[1].label(), "asian-montecarlo");
    EXPECT_EQ(result.rows[1].error->kind, "ValueError");
    EXPECT_NE(result.rows[1].error->message.find("'montecarlo'"), std::string::npos) << result.rows[1].error->message;
}

TEST_F(AsianTest, TheMarketsEnginesNameTheEngineOfArithmeticAsiansThatNameNone) {
    const Date e(1, QuantLib::March, 2024);
    const auto contract = [](const char* id, const char* average, const char* engine) {
        nlohmann::ordered_json c = {{"id", id}, {"type", "asian"}, {"underlying", kIndex},
                                    {"effect_date", "2024-03-04"}, {"maturity_date", "2024-06-28"}, {"s0", 100.0},
                                    {"notional", 1.0}, {"call_put", "call"}, {"strike", 100.0},
                                    {"average_type", average}};
        if (engine) c["engine"] = engine;
        return c;
    };
    const nlohmann::ordered_json book = {contract("plain", "arithmetic", nullptr), contract("own", "arithmetic", "mc"),
                                         contract("geo", "geometric", nullptr)};
    const auto market = book::BookMarket::from_json(nlohmann::ordered_json::parse(
        R"({"r": 0.02, "underlyings": {"IDX": {"spot": 101, "vol": 0.2, "q": 0.01}},
            "engines": {"asian": "turnbull_wakeman"}})"));
    const book::BookOptions options{e, false, {}};
    EXPECT_EQ(book::contract_terms(book[0], market, options).text("engine"), "turnbull_wakeman");
    EXPECT_EQ(book::contract_terms(book[1], market, options).text("engine"), "mc");
    EXPECT_FALSE(book::contract_terms(book[2], market, options).contains("engine"));
    const book::BookResult result = book::value_book(book, market, options);
    ASSERT_EQ(result.failed(), 0u);
    const Terms t = asian_terms("2024-03-04", "2024-06-28", 100.0, "call", "arithmetic");
    EXPECT_EQ(result.rows[0].value.npv, AsianOption(with_engine(t, "turnbull_wakeman")).npv(101.0, 0.02, 0.2, 0.01, e));
    EXPECT_EQ(result.rows[1].value.npv, AsianOption(t).npv(101.0, 0.02, 0.2, 0.01, e));

    // A note's engine is no Asian's, and the reverse.
    for (const char* engines : {R"({"asian": "qmc"})", R"({"asian": "analytic"})", R"({"snowball": "fd"})"}) {
        const auto json = nlohmann::ordered_json::parse(
            std::string(R"({"r": 0.02, "underlyings": {"IDX": {"vol": 0.2, "q": 0.01}}, "engines": )") + engines + "}");
        try {
            book::BookMarket::from_json(json, "m.json");
            ADD_FAILURE() << "no ValueError for " << engines;
        } catch (const ValueError& err) {
            EXPECT_NE(std::string(err.what()).find("m.json: \"engines\": "), std::string::npos) << err.what();
            EXPECT_NE(std::string(err.what()).find("unknown engine"), std::string::npos) << err.what();
        }
    }
}
