// The finite-difference engine against the Monte Carlo on the same notes:
// value and delta within three standard errors of eight seeds' simulations.
// Slow: about a million paths per note.
#include <kestrel/kestrel.hpp>

#include "support/note_support.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <utility>
#include <vector>

using namespace kestrel;

namespace {

struct Case {
    const char* type;
    const char* ki_obs_freq;
    const char* evaluation_date;
    bool knocked_in;
    std::vector<std::pair<const char*, Value>> variant = {};
};

detail::ValueDeltaGamma value(const BaseOption& note, const Case& c, double spot) {
    const EvalDate e = utils::DateInput(c.evaluation_date);
    if (const auto* s = dynamic_cast<const SnowBallOption*>(&note)) return s->_npv(spot, 0.02, 0.22, 0.01, e, c.knocked_in, true);
    return dynamic_cast<const PhoenixOption&>(note)._npv(spot, 0.02, 0.22, 0.01, e, c.knocked_in, true);
}

}  // namespace

TEST(PdeAgainstMonteCarlo, ValueAndDeltaWithinThreeStandardErrors) {
    test::ScopedClient scoped{std::make_shared<test::CountingClient>()};
    const Case cases[] = {
        {"snowball", "daily", "2025-01-02", false},
        {"snowball", "daily", "2025-03-15", true},  // a Saturday, knocked in by its history
        {"snowball", "monthly", "2025-03-15", false},
        {"phoenix", "daily", "2025-01-02", false},
        {"phoenix", "daily", "2025-03-15", true},
        {"phoenix", "monthly", "2025-03-15", false},
        // Variants: step-down barrier and rate; a floor and a maturity coupon;
        // a phoenix coupon barrier above the knock-in with a stepped barrier.
        {"snowball", "daily", "2025-01-02", false, {{"ko_barrier_step", 0.5}, {"coupon_rate_step", 0.005}}},
        {"snowball", "daily", "2025-01-02", false, {{"floor_price", 90.0}, {"maturity_coupon_rate", 0.04}}},
        {"phoenix", "daily", "2025-01-02", false, {{"coupon_barrier", 95.0}, {"ko_barrier_step", 0.5}}},
    };
    constexpr int kSeeds = 8;
    for (const Case& c : cases) {
        Terms terms = test::one_year_note(c.type);
        terms.set("ki_obs_freq", c.ki_obs_freq);
        for (const auto& [key, v] : c.variant) terms.set(key, v);
        const auto mc = make_option(terms);
        terms.set("engine", "pde");
        const auto fd = make_option(terms);
        double sum = 0, sum2 = 0, dsum = 0, dsum2 = 0;
        for (int seed = 1; seed <= kSeeds; ++seed) {
            test::ScopedPaths paths(125000, static_cast<std::uint64_t>(seed));
            const auto v = value(*mc, c, 97.0);
            sum += v.npv;
            sum2 += v.npv * v.npv;
            dsum += v.delta;
            dsum2 += v.delta * v.delta;
        }
        const double mean = sum / kSeeds, dmean = dsum / kSeeds;
        const double se = std::sqrt((sum2 / kSeeds - mean * mean) / (kSeeds - 1));
        const double dse = std::sqrt((dsum2 / kSeeds - dmean * dmean) / (kSeeds - 1));
        const auto v = value(*fd, c, 97.0);
        const std::string row = std::string(c.type) + " knock-in " + c.ki_obs_freq + " on " + c.evaluation_date +
                                (c.knocked_in ? " knocked in" : "") + (c.variant.empty() ? "" : " variant");
        EXPECT_NEAR(v.npv, mean, 3 * se + 1e-3) << row << ": mc " << mean << " se " << se;
        EXPECT_NEAR(v.delta, dmean, 3 * dse + 1e-4) << row << ": mc delta " << dmean << " se " << dse;
        // On "qmc" each path's terminal value is integrated out: 2^17 points
        // are closer than the million paths.
        terms.set("engine", "qmc");
        test::ScopedPaths paths(1 << 17);
        const auto qmc = value(*make_option(terms), c, 97.0);
        EXPECT_NEAR(v.npv, qmc.npv, 3 * se + 1e-3) << row << ": qmc " << qmc.npv;
        EXPECT_NEAR(v.delta, qmc.delta, 3 * dse + 1e-4) << row << ": qmc delta " << qmc.delta;
    }
}
