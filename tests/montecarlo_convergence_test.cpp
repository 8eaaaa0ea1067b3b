// Statistical checks of the Monte Carlo notes (label "slow": a few hundred
// thousand paths; about a second). Seeds are fixed and the draws are the same
// on every machine, so the checks are reproducible.
#include <kestrel/kestrel.hpp>

#include "support/note_support.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace kestrel;
using QuantLib::Date;

namespace {

Date day(const char* s) { return utils::parse_date(s); }

struct Stats {
    double mean, standard_error, sd;
};

// The note's value with `seeds` different seeds of n paths each.
template <class Value>
Stats over_seeds(std::size_t n, int seeds, Value value) {
    std::vector<double> v;
    for (int s = 0; s < seeds; ++s) {
        test::ScopedPaths scope(n, 1000 + static_cast<std::uint64_t>(s));
        v.push_back(value());
    }
    double mean = 0, ss = 0;
    for (double x : v) mean += x / seeds;
    for (double x : v) ss += (x - mean) * (x - mean);
    const double sd = std::sqrt(ss / (seeds - 1));
    return {mean, sd / std::sqrt(static_cast<double>(seeds)), sd};
}

double normal_cdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

double black_scholes_put(double S, double K, double T, double r, double q, double vol) {
    const double d1 = (std::log(S / K) + (r - q + vol * vol / 2) * T) / (vol * std::sqrt(T));
    const double d2 = d1 - vol * std::sqrt(T);
    return K * std::exp(-r * T) * normal_cdf(-d2) - S * std::exp(-q * T) * normal_cdf(-d1);
}

class Convergence : public ::testing::Test {
  protected:
    std::shared_ptr<test::CountingClient> client = std::make_shared<test::CountingClient>();
    test::ScopedClient scoped{client};
};

TEST_F(Convergence, AlwaysKnockedInNeverKnockedOutIsMinusTheBlackScholesPut) {
    // Knock-in above any price, knock-out out of reach: the value is the loss
    // leg alone, -put(strike) at maturity on the lognormal grid.
    Terms t = test::one_year_note("snowball");
    t.set("maturity_date", "2025-07-02");
    t.set("obs_end_date", "2025-07-02");
    t.set("ki_barrier", 1e12);
    t.set("ko_barrier", 1e12);
    t.set("strike", 105.0);
    SnowBallOption note(t);
    const Date E = day("2025-01-02");
    const double S = 100, r = 0.03, q = 0.01, vol = 0.25;
    const double T = static_cast<double>(note.maturity_date() - E) / 365;
    const double want = -black_scholes_put(S, 105.0, T, r, q, vol);
    const Stats s = over_seeds(16000, 16, [&] { return note.npv(S, r, vol, q, E); });
    RecordProperty("difference_in_standard_errors", std::to_string((s.mean - want) / s.standard_error));
    EXPECT_LT(std::fabs(s.mean - want), 4 * s.standard_error)
        << "mean " << s.mean << " closed form " << want << " standard error " << s.standard_error;
    EXPECT_LT(s.standard_error, 0.03) << "about 7.5 / sqrt(256000)";
}

TEST_F(Convergence, StandardErrorShrinksAsOneOverRootPaths) {
    for (const char* type : {"snowball", "phoenix"}) {
        auto note = make_option(test::one_year_note(type));
        const Date E = day("2025-01-02");
        auto value = [&] { return note->npv(100, 0.03, 0.2, 0.0, E); };
        const Stats few = over_seeds(1000, 16, value);
        const Stats many = over_seeds(16000, 16, value);
        // Sixteen times the paths: a quarter of the spread.
        const double ratio = few.sd / many.sd;
        EXPECT_GT(ratio, 2.5) << type << ": spread " << few.sd << " with 1000 paths, " << many.sd << " with 16000";
        EXPECT_LT(ratio, 6.5) << type << ": spread " << few.sd << " with 1000 paths, " << many.sd << " with 16000";
        // And the two estimates agree within their errors.
        EXPECT_LT(std::fabs(few.mean - many.mean), 4 * std::hypot(few.standard_error, many.standard_error)) << type;
    }
}

}  // namespace
