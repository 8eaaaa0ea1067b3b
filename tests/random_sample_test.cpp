#include <kestrel/errors.hpp>
#include <kestrel/random_sample.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <thread>
#include <vector>

namespace {

namespace rs = kestrel::random_sample;

// Puts the process-wide settings back after each test.
class RandomSample : public ::testing::Test {
  protected:
    void TearDown() override { rs::reset(); }
};

double normal_cdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

TEST_F(RandomSample, SettingsAndDefaults) {
    EXPECT_EQ(rs::paths(), rs::kDefaultPaths);
    EXPECT_EQ(rs::kDefaultPaths, 100000u);
    EXPECT_EQ(rs::seed(), rs::kDefaultSeed);
    rs::set_paths(7);
    rs::set_seed(99);
    const auto m = rs::get_random_samples(5);
    EXPECT_EQ(m.rows(), 7u);
    EXPECT_EQ(m.cols(), 5u);
    EXPECT_THROW(rs::set_paths(0), kestrel::ValueError);
    EXPECT_EQ(rs::paths(), 7u);
    rs::reset();
    EXPECT_EQ(rs::paths(), rs::kDefaultPaths);
    EXPECT_EQ(rs::seed(), rs::kDefaultSeed);
    rs::set_paths(3);
    EXPECT_EQ(rs::get_random_samples(0).rows(), 3u);
    EXPECT_EQ(rs::get_random_samples(0).cols(), 0u);
}

// One million draws: moments and tails against the standard normal, with
// tolerances of about five standard errors.
TEST_F(RandomSample, DrawsAreStandardNormal) {
    rs::set_paths(20000);
    const std::size_t T = 50;
    const auto m = rs::get_random_samples(T);
    const double n = static_cast<double>(m.rows() * m.cols());
    double sum = 0, sum2 = 0, sum3 = 0, sum4 = 0;
    const double cuts[] = {-3.0, -2.0, -1.0, 0.0, 0.5, 1.5, 2.5, 3.0};
    std::vector<double> below(std::size(cuts), 0.0);
    for (std::size_t i = 0; i < m.rows() * m.cols(); ++i) {
        const double x = m.data()[i];
        ASSERT_TRUE(std::isfinite(x));
        sum += x;
        sum2 += x * x;
        sum3 += x * x * x;
        sum4 += x * x * x * x;
        for (std::size_t c = 0; c < std::size(cuts); ++c) below[c] += x < cuts[c];
    }
    const double mean = sum / n, var = sum2 / n - mean * mean;
    EXPECT_NEAR(mean, 0.0, 5 / std::sqrt(n));
    EXPECT_NEAR(var, 1.0, 5 * std::sqrt(2 / n));
    EXPECT_NEAR(sum3 / n, 0.0, 5 * std::sqrt(15 / n));
    EXPECT_NEAR(sum4 / n, 3.0, 5 * std::sqrt(96 / n));
    for (std::size_t c = 0; c < std::size(cuts); ++c) {
        const double p = normal_cdf(cuts[c]);
        EXPECT_NEAR(below[c] / n, p, 5 * std::sqrt(p * (1 - p) / n)) << "P(X < " << cuts[c] << ")";
    }
}

// Neighbouring days (the two halves of a generator block among them) and
// neighbouring paths are uncorrelated.
TEST_F(RandomSample, DaysAndPathsAreUncorrelated) {
    rs::set_paths(40000);
    const std::size_t T = 4;
    const auto m = rs::get_random_samples(T);
    const double tol = 5 / std::sqrt(static_cast<double>(m.rows()));
    for (std::size_t j = 0; j + 1 < T; ++j) {
        double c = 0;
        for (std::size_t p = 0; p < m.rows(); ++p) c += m(p, j) * m(p, j + 1);
        EXPECT_NEAR(c / static_cast<double>(m.rows()), 0.0, tol) << "days " << j << ", " << j + 1;
    }
    for (std::size_t j = 0; j < T; ++j) {
        double c = 0;
        for (std::size_t p = 0; p + 1 < m.rows(); ++p) c += m(p, j) * m(p + 1, j);
        EXPECT_NEAR(c / static_cast<double>(m.rows() - 1), 0.0, tol) << "day " << j;
    }
}

TEST_F(RandomSample, RepeatedCallsAgreeAndSeedsDiffer) {
    rs::set_paths(500);
    const auto a = rs::get_random_samples(31);
    const auto b = rs::get_random_samples(31);
    EXPECT_TRUE(std::equal(a.data(), a.data() + 500 * 31, b.data()));
    rs::set_seed(rs::kDefaultSeed + 1);
    const auto c = rs::get_random_samples(31);
    std::size_t same = 0;
    for (std::size_t i = 0; i < 500 * 31; ++i) same += a.data()[i] == c.data()[i];
    EXPECT_EQ(same, 0u);
    // Seeds differing only in their high 32 bits differ too.
    std::vector<double> lo(31), hi(31);
    rs::fill_random_samples(31, 0, 1, 5, lo.data());
    rs::fill_random_samples(31, 0, 1, 5 + (std::uint64_t{1} << 32), hi.data());
    EXPECT_NE(lo, hi);
}

TEST_F(RandomSample, BlocksEqualTheMatrixRows) {
    rs::set_paths(1000);
    for (std::size_t T : {1u, 2u, 7u, 64u}) {
        const auto m = rs::get_random_samples(T);
        for (std::size_t first : {0u, 1u, 127u, 500u, 999u}) {
            const std::size_t n = std::min<std::size_t>(130, 1000 - first);
            std::vector<double> block(n * T);
            rs::fill_random_samples(T, first, n, rs::seed(), block.data());
            EXPECT_TRUE(std::equal(block.begin(), block.end(), m.row(first))) << "T " << T << " rows from " << first;
        }
    }
}

TEST_F(RandomSample, BlocksOnSeveralThreadsEqualTheMatrix) {
    rs::set_paths(4000);
    const std::size_t T = 37;
    const auto m = rs::get_random_samples(T);
    std::vector<double> out(4000 * T);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < 4; ++t)
        threads.emplace_back([&, t] { rs::fill_random_samples(T, t * 1000, 1000, rs::seed(), out.data() + t * 1000 * T); });
    for (auto& th : threads) th.join();
    EXPECT_TRUE(std::equal(out.begin(), out.end(), m.data()));
}

// Draw (p, j) depends on (seed, p, T - 1 - j): a grid one day shorter (the
// evaluation date moved on) keeps the shocks of the days both grids share.
TEST_F(RandomSample, ShorterGridSharesTheShocksOfCommonDays) {
    rs::set_paths(300);
    for (std::size_t T : {2u, 9u, 10u, 250u}) {
        const auto longer = rs::get_random_samples(T);
        const auto shorter = rs::get_random_samples(T - 1);
        for (std::size_t p = 0; p < 300; ++p)
            for (std::size_t j = 0; j + 1 < T; ++j)
                ASSERT_EQ(shorter(p, j), longer(p, j + 1)) << "T " << T << " path " << p << " day " << j;
        // ... and the first day of the longer grid is a new shock.
        EXPECT_NE(longer(0, 0), shorter(0, 0));
    }
}

// Single-precision draws are the double-precision draws of the same generator
// words to float precision (a radius near zero, from a uniform near 1, loses
// the most), and are made the same way in any block, lane or thread.
TEST_F(RandomSample, SingleDrawsAreTheDoubleDrawsInFloatPrecision) {
    rs::set_paths(20000);
    const std::size_t T = 50;
    const auto d = rs::get_random_samples(T);
    rs::set_draws(rs::Draws::single_precision);
    EXPECT_EQ(rs::draws(), rs::Draws::single_precision);
    const auto s = rs::get_random_samples(T);
    double worst = 0, differ = 0;
    for (std::size_t i = 0; i < d.rows() * d.cols(); ++i) {
        const double a = d.data()[i], b = s.data()[i];
        ASSERT_TRUE(std::isfinite(b));
        EXPECT_EQ(static_cast<double>(static_cast<float>(b)), b) << "a float widened";
        worst = std::max(worst, std::abs(a - b) / (1 + std::abs(a)));
        differ += a != b;
    }
    EXPECT_LT(worst, 2e-5);
    EXPECT_GT(differ, 0.9 * static_cast<double>(d.rows() * d.cols()));
    for (std::size_t first : {0u, 1u, 127u, 19000u}) {
        std::vector<double> block(130 * T);
        rs::fill_random_samples(T, first, 130, rs::seed(), block.data());
        EXPECT_TRUE(std::equal(block.begin(), block.end(), s.row(first))) << "rows from " << first;
    }
    rs::reset();
    EXPECT_EQ(rs::draws(), rs::Draws::double_precision);
    rs::set_paths(20000);
    const auto again = rs::get_random_samples(T);
    EXPECT_TRUE(std::equal(again.data(), again.data() + again.rows() * again.cols(), d.data()))
        << "the default draws are the double-precision ones";
}

}  // namespace
