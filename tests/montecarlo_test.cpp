// The Monte Carlo kernel (grid, shocks, paths, discounting, block streaming,
// threads) and what the snowball and the phoenix share through it: the price
// history state, settled notes, input checks, delta and gamma on one set of
// paths, and the streamed value against _mc_pricing on the full matrix.
#include <kestrel/notes/autocallable.hpp>
#include <kestrel/engines/mc/kernel.hpp>
#include <kestrel/kestrel.hpp>

#include "support/note_support.hpp"
#include "support/test_support.hpp"

#include <Random123/philox.h>
#include <ql/pricingengines/blackformula.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <limits>
#include <numbers>
#include <numeric>
#include <type_traits>
#include <vector>

using namespace kestrel;
namespace mc = kestrel::detail::mc;
namespace rs = kestrel::random_sample;
using QuantLib::Date;
using ::testing::HasSubstr;

namespace {

Date day(const char* s) { return utils::parse_date(s); }

// ---------------------------------------------------------------- shocks

// Draw k = 4c + d of path p from Random123's Philox4x32-10 and the textbook
// Box-Muller transform in libm.
double reference_draw(std::uint64_t seed, std::uint64_t p, std::uint64_t k) {
    r123::Philox4x32 rng;
    const r123::Philox4x32::key_type key = {{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32)}};
    const std::uint64_t c = k / 4;
    const r123::Philox4x32::ctr_type ctr = {{static_cast<std::uint32_t>(p), static_cast<std::uint32_t>(p >> 32),
                                             static_cast<std::uint32_t>(c), static_cast<std::uint32_t>(c >> 32)}};
    const auto w = rng(ctr, key);
    const std::size_t pair = (k % 4) / 2;
    const double u1 = (2.0 * w.v[2 * pair] + 1.0) * 0x1.0p-33;
    const double u2 = (2.0 * w.v[2 * pair + 1] + 1.0) * 0x1.0p-33;
    const double rad = std::sqrt(-2.0 * std::log(u1));
    const double angle = 2.0 * std::numbers::pi * u2;
    return k % 2 == 0 ? rad * std::cos(angle) : rad * std::sin(angle);
}

// Both precisions: double (the default) to 1e-12, single to float precision.
TEST(Shocks, AreBoxMullerOnPhiloxWordsCountedFromMaturity) {
    const std::uint64_t seed = 0x1234567890ABCDEFull;
    for (const rs::Draws draws : {rs::Draws::double_precision, rs::Draws::single_precision}) {
        rs::set_draws(draws);
        const double tol = draws == rs::Draws::double_precision ? 1e-12 : 2e-5;
        for (std::size_t T : {1u, 2u, 5u, 8u, 11u}) {
            std::vector<double> rows(3 * T);
            rs::fill_random_samples(T, 1000, 3, seed, rows.data());
            for (std::size_t i = 0; i < 3; ++i)
                for (std::size_t j = 0; j < T; ++j) {
                    const double ref = reference_draw(seed, 1000 + i, T - 1 - j);
                    EXPECT_NEAR(rows[i * T + j], ref, tol * (1 + std::abs(ref)))
                        << "T " << T << " path " << 1000 + i << " day " << j;
                }
        }
    }
    rs::reset();
}

TEST(Shocks, DayMajorBlocksEqualTheRowsWhateverTheDayRange) {
    const std::size_t T = 23, first = 77, n = 300;  // n spans more than one vector batch
    std::vector<double> rows(n * T);
    rs::fill_random_samples(T, first, n, 5, rows.data());
    for (auto [c0, c1] : std::vector<std::pair<std::size_t, std::size_t>>{{0, 23}, {0, 3}, {3, 7}, {5, 6}, {20, 40}}) {
        std::vector<double> by_day(n * (c1 - c0), std::nan(""));
        rs::fill_random_samples_by_day(T, first, n, c0, c1, 5, by_day.data());
        for (std::size_t j = c0; j < std::min(c1, T); ++j)
            for (std::size_t i = 0; i < n; ++i)
                ASSERT_EQ(by_day[(j - c0) * n + i], rows[i * T + j]) << "days [" << c0 << ", " << c1 << ") day " << j;
    }
}

TEST(Shocks, ThreadSettingRejectsZeroAndDefaultsToTheCores) {
    test::ScopedPaths scope(10);
    EXPECT_THROW(rs::set_threads(0), ValueError);
    rs::set_threads(3);
    EXPECT_EQ(rs::threads(), 3u);
    rs::reset();
    EXPECT_EQ(rs::threads(), rs::hardware_threads());
    EXPECT_GE(rs::hardware_threads(), 1u);
}

// ---------------------------------------------------------------- grid and model

class KernelTest : public ::testing::Test {
  protected:
    std::shared_ptr<test::CountingClient> client = std::make_shared<test::CountingClient>();
    test::ScopedClient scoped{client};
};

TEST_F(KernelTest, GridStepsAreCalendarDaysOverTheYear) {
    // Friday 2025-01-03 to Wednesday 2025-01-08: Fri, Mon, Tue, Wed.
    const mc::Grid g = mc::make_grid(day("2025-01-03"), day("2025-01-08"));
    ASSERT_EQ(g.size(), 4u);
    EXPECT_EQ(g.dates.front(), day("2025-01-03"));
    EXPECT_EQ(g.dtt, (std::vector<double>{0.0, 3 / 365.0, 1 / 365.0, 1 / 365.0}));
    // From a Saturday the first step runs to Monday.
    const mc::Grid w = mc::make_grid(day("2025-01-04"), day("2025-01-08"));
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w.dates.front(), day("2025-01-06"));
    EXPECT_EQ(w.dtt.front(), 2 / 365.0);
}

// A service that answers trading days out of order.
class ShuffledDays : public test::CountingClient {
  public:
    std::vector<heron::Date> get_trading_dates(const heron::Date& start, const heron::Date& end) override {
        auto days = CountingClient::get_trading_dates(start, end);
        std::reverse(days.begin(), days.end());
        return days;
    }
};

TEST(Grid, TradingDaysOutOfOrderAreRefused) {
    test::ScopedClient scoped(std::make_shared<ShuffledDays>());
    EXPECT_THROW(mc::make_grid(day("2025-01-03"), day("2025-01-08")), ValueError);
    // One day alone is in order.
    EXPECT_EQ(mc::make_grid(day("2025-01-03"), day("2025-01-03")).size(), 1u);
}

TEST_F(KernelTest, ObservationDatesLandOnTheFirstTradingDayOnOrAfterThem) {
    const mc::Grid g = mc::make_grid(day("2025-01-03"), day("2025-01-08"));
    EXPECT_EQ(mc::positions(g, {day("2025-01-03"), day("2025-01-04"), day("2025-01-06"), day("2025-01-08")}),
              (std::vector<std::size_t>{0, 1, 1, 3}));
    try {
        mc::positions(g, {day("2025-01-09")});
        FAIL() << "no IndexError";
    } catch (const IndexError& e) {
        EXPECT_THAT(e.what(), HasSubstr("2025-01-09"));
    }
}

TEST_F(KernelTest, DiscountFactorsUseTheRateAloneOverElapsedTime) {
    const mc::Grid g = mc::make_grid(day("2025-01-03"), day("2025-01-08"));
    const mc::Model m = mc::make_model(g, 0.05, 0.30, 0.2);
    EXPECT_EQ(m.discount[0], 1.0);
    EXPECT_NEAR(m.discount[3], std::exp(-0.05 * 5 / 365.0), 1e-15);
    EXPECT_NEAR(m.drift[1], (0.05 - 0.30 - 0.02) * 3 / 365.0, 1e-16);
    EXPECT_NEAR(m.diffusion[1], 0.2 * std::sqrt(3 / 365.0), 1e-16);
}

TEST_F(KernelTest, PathsAreExponentialsOfCumulatedIncrementsFromTheSameDraws) {
    test::ScopedPaths scope(7, 99);
    const mc::Model m = mc::make_model(mc::make_grid(day("2025-01-03"), day("2025-01-15")), 0.03, 0.01, 0.25);
    const rs::Matrix z = rs::get_random_samples(m.size());
    const rs::Matrix paths = mc::simulate_paths(m);
    ASSERT_EQ(paths.rows(), 7u);
    ASSERT_EQ(paths.cols(), m.size());
    for (std::size_t p = 0; p < 7; ++p) {
        EXPECT_EQ(paths(p, 0), 1.0) << "a trading-day evaluation date starts every path at 1";
        double x = 0;
        for (std::size_t j = 0; j < m.size(); ++j) {
            x += m.drift[j] + m.diffusion[j] * z(p, j);
            EXPECT_NEAR(paths(p, j), std::exp(x), 1e-13);
        }
    }
}

// A model with T steps of made-up coefficients.
mc::Model synthetic_model(std::size_t T) {
    mc::Model m;
    for (std::size_t j = 0; j < T; ++j) {
        m.drift.push_back(-0.0001 * static_cast<double>(j % 3));
        m.diffusion.push_back(0.01 + 0.001 * static_cast<double>(j % 5));
        m.discount.push_back(1.0);
    }
    return m;
}

TEST_F(KernelTest, StreamedBlocksObserveTheSamePathsAsTheMatrix) {
    // Grids of every length modulo 4, and a last block shorter than the rest.
    for (std::size_t T : {1u, 2u, 3u, 4u, 17u, 18u, 19u, 37u}) {
        test::ScopedPaths scope(mc::kBlockPaths + 61, 11);
        const mc::Model m = synthetic_model(T);
        std::vector<std::size_t> ki, ko;
        for (std::size_t j = 0; j < T; j += 2) ki.push_back(j);
        for (std::size_t j = T / 3; j < T; j += 5) ko.push_back(j);
        const rs::Matrix paths = mc::simulate_paths(m);
        const mc::MatrixObservations matrix(paths, ki, ko);
        const mc::Observations& want = matrix.view();

        // Streamed levels are logarithms of the same numbers the matrix holds.
        const std::size_t N = paths.rows(), M = ko.size();
        std::vector<double> ko_seen(M * N, -1), ki_seen(N, -1), final_seen(N, -1);
        std::mutex guard;
        const mc::Sums sums = mc::simulate(m, ki, ko, 1, [&](const mc::Observations& b, double* out) {
            std::lock_guard<std::mutex> lock(guard);
            *out = static_cast<double>(b.n);
            ASSERT_EQ(b.m, M);
            for (std::size_t p = 0; p < b.n; ++p) {
                for (std::size_t i = 0; i < M; ++i) ko_seen[i * N + b.first + p] = std::exp(b.ko[i * b.n + p]);
                ki_seen[b.first + p] = std::exp(b.ki_min[p]);
                final_seen[b.first + p] = b.final[p];
            }
        });
        EXPECT_EQ(sums.paths, N);
        EXPECT_EQ(sums.values[0], static_cast<double>(N));
        for (std::size_t p = 0; p < N; ++p) {
            for (std::size_t i = 0; i < M; ++i) ASSERT_EQ(ko_seen[i * N + p], want.ko[i * N + p]) << "T " << T;
            ASSERT_EQ(ki_seen[p], want.ki_min[p]) << "T " << T << " path " << p;
            ASSERT_EQ(final_seen[p], want.final[p]) << "T " << T << " path " << p;
        }
    }
}

TEST_F(KernelTest, SumsAreTheSameBitForBitOnAnyNumberOfThreads) {
    test::ScopedPaths scope(5 * mc::kBlockPaths + 3, 21);
    const mc::Model m = synthetic_model(40);
    const std::vector<std::size_t> ki{0, 10, 20, 39}, ko{5, 25, 39};
    auto run = [&](std::size_t threads) {
        rs::set_threads(threads);
        return mc::simulate(m, ki, ko, 2, [](const mc::Observations& b, double* out) {
                   out[0] = out[1] = 0;
                   for (std::size_t p = 0; p < b.n; ++p) {
                       out[0] += b.final[p];
                       out[1] += b.ko[p] * b.ki_min[p];
                   }
               }).values;
    };
    const auto one = run(1);
    EXPECT_EQ(run(2), one);
    EXPECT_EQ(run(5), one);
    EXPECT_EQ(run(16), one);
}

// Randomised Sobol shocks on a smooth payoff (the average price over some
// days): the replicas' standard error shrinks faster than 1 / sqrt(N), for
// which 16 x the paths would give 4.
TEST_F(KernelTest, SobolShocksConvergeFasterThanOneOverRootNOnASmoothPayoff) {
    const mc::Model m = mc::make_model(mc::make_grid(day("2025-01-03"), day("2025-06-30")), 0.03, 0.01, 0.25);
    const std::vector<std::size_t> ko{9, 29, 49, 69, 89, 109};
    auto standard_error = [&](std::size_t paths) {
        test::ScopedPaths scope(paths, 5);
        const mc::Sums s = mc::simulate(
            m, {}, ko, 1,
            [](const mc::Observations& b, double* out) {
                out[0] = 0;
                for (std::size_t i = 0; i < b.m * b.n; ++i) out[0] += std::exp(b.ko[i]);
            },
            mc::Shocks::sobol);
        const double per = static_cast<double>(paths / mc::kSobolReplicas), R = mc::kSobolReplicas;
        double sum = 0, sum2 = 0;
        for (const auto& r : s.replicas) {
            sum += r[0] / per;
            sum2 += (r[0] / per) * (r[0] / per);
        }
        return std::sqrt((sum2 / R - (sum / R) * (sum / R)) / (R - 1));
    };
    const double coarse = standard_error(1024), fine = standard_error(16384);
    EXPECT_GT(coarse / fine, 8.0) << coarse << " at 1024 paths, " << fine << " at 16384";
}

TEST_F(KernelTest, AnErrorInAPayoffReachesTheCaller) {
    test::ScopedPaths scope(4 * mc::kBlockPaths, 1);
    rs::set_threads(2);
    EXPECT_THROW(mc::simulate(synthetic_model(5), {}, {}, 1,
                              [](const mc::Observations& b, double*) {
                                  if (b.first >= 2 * mc::kBlockPaths) throw ValueError("bad block");
                              }),
                 ValueError);
}

TEST_F(KernelTest, PositionsOutsideTheGridAreRefused) {
    test::ScopedPaths scope(10);
    const auto noop = [](const mc::Observations&, double* out) { *out = 0; };
    EXPECT_THROW(mc::simulate(synthetic_model(5), {5}, {}, 1, noop), IndexError);
    EXPECT_THROW(mc::simulate(synthetic_model(5), {}, {2, 7}, 1, noop), IndexError);
    EXPECT_THROW(mc::simulate(synthetic_model(0), {}, {}, 1, noop), ValueError);
}

TEST(Levels, AreBarriersOverSpotOrTheirLogarithms) {
    EXPECT_EQ(mc::relative_level(103, 100, mc::Space::price), 1.03);
    EXPECT_EQ(mc::relative_level(80, 100, mc::Space::log), std::log(0.8));
    // A barrier at or below zero: every price is above it, none below.
    EXPECT_EQ(mc::relative_level(0, 100, mc::Space::log), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(mc::relative_level(-5, 100, mc::Space::log), -std::numeric_limits<double>::infinity());
}

}  // namespace

// ---------------------------------------------------------------- what both notes share

namespace {

template <class Note>
struct NoteType;
template <>
struct NoteType<SnowBallOption> {
    static constexpr const char* name = "snowball";
};
template <>
struct NoteType<PhoenixOption> {
    static constexpr const char* name = "phoenix";
};

template <class Note>
class NoteTest : public ::testing::Test {
  protected:
    std::shared_ptr<test::CountingClient> client = std::make_shared<test::CountingClient>();
    test::ScopedClient scoped{client};
    test::ScopedPaths paths{1500};
    Terms terms = test::one_year_note(NoteType<Note>::name);
    const Date E = day("2025-03-17");

    std::unique_ptr<Note> make() {
        auto note = std::make_unique<Note>(terms);
        client->reset_counts();
        return note;
    }
    // Closes of the note's underlying on every trading day from the effect
    // date to the day before E, at 100 except the given ones.
    void history(const std::vector<std::pair<Date, double>>& except = {}, const Date& skip = Date()) {
        std::vector<std::pair<Date, double>> closes;
        for (const Date& d : calendar::trading_days(day("2025-01-02"), E - 1)) {
            if (d == skip) continue;
            double c = 100.0;
            for (const auto& [x, v] : except)
                if (x == d) c = v;
            closes.emplace_back(d, c);
        }
        client->add_closes("NOTE.TEST", "pre", closes);
    }
};

using Notes = ::testing::Types<SnowBallOption, PhoenixOption>;
TYPED_TEST_SUITE(NoteTest, Notes);

TYPED_TEST(NoteTest, ACloseOneTickAboveTheKnockOutBarrierEndsItWithoutSimulation) {
    auto note = this->make();
    const Date first_ko = note->ko_obs_dates().front();
    ASSERT_LT(first_ko, this->E);
    this->history({{first_ko, 103.0001}});
    EXPECT_EQ(note->npv(100, 0.03, 0.2, 0.0, this->E), 0.0);
    EXPECT_EQ(note->greeks(100, 0.03, 0.2, 0.0, this->E), OptionGreeks{});
    EXPECT_EQ(this->client->trading_dates_calls, 0) << "no grid, so no shocks and no paths";
    EXPECT_EQ(this->client->price_calls, 2);
    EXPECT_EQ(this->client->last_fields, std::vector<std::string>{"close"});
    EXPECT_EQ(this->client->last_adjust, "pre");
    EXPECT_EQ(this->client->last_start, day("2025-01-02"));
    EXPECT_EQ(this->client->last_end, this->E);

    // Exactly at the barrier it is still alive.
    this->history({{first_ko, 103.0}});
    const double v = note->npv(100, 0.03, 0.2, 0.0, this->E);
    EXPECT_EQ(v, note->_npv(100, 0.03, 0.2, 0.0, this->E, false).npv);
    EXPECT_NE(v, 0.0);
}

TYPED_TEST(NoteTest, ACloseOneTickBelowTheKnockInBarrierKnocksEveryPathIn) {
    auto note = this->make();
    const double alive = note->_npv(100, 0.03, 0.2, 0.0, this->E, false).npv;
    const double knocked_in = note->_npv(100, 0.03, 0.2, 0.0, this->E, true).npv;
    ASSERT_LT(knocked_in, alive);
    this->history({{day("2025-02-11"), 79.9999}});
    EXPECT_EQ(note->npv(100, 0.03, 0.2, 0.0, this->E), knocked_in);
    EXPECT_EQ(note->greeks(100, 0.03, 0.2, 0.0, this->E).npv, knocked_in);
    this->history({{day("2025-02-11"), 80.0}});
    EXPECT_EQ(note->npv(100, 0.03, 0.2, 0.0, this->E), alive);
}

TYPED_TEST(NoteTest, NoHistoryIsNeitherKnockedOutNorKnockedIn) {
    auto note = this->make();
    const double alive = note->_npv(100, 0.03, 0.2, 0.0, this->E, false).npv;
    EXPECT_EQ(note->npv(100, 0.03, 0.2, 0.0, this->E), alive) << "no table at all";
    this->client->empty_table_instead_of_absent = true;
    EXPECT_EQ(note->npv(100, 0.03, 0.2, 0.0, this->E), alive) << "a table without rows";
    EXPECT_EQ(note->greeks(100, 0.03, 0.2, 0.0, this->E).npv, alive);
    // Before the effect date the history ends before it starts.
    EXPECT_TRUE(std::isfinite(note->npv(100, 0.03, 0.2, 0.0, day("2024-12-20"))));
}

TYPED_TEST(NoteTest, AMissingPastCloseIsAKeyErrorNamingTheInstrumentAndTheDate) {
    auto note = this->make();
    this->history({}, day("2025-02-11"));
    try {
        note->npv(100, 0.03, 0.2, 0.0, this->E);
        FAIL() << "no KeyError";
    } catch (const KeyError& e) {
        EXPECT_THAT(e.what(), HasSubstr("NOTE.TEST"));
        EXPECT_THAT(e.what(), HasSubstr("2025-02-11"));
    }
}

TYPED_TEST(NoteTest, AfterMaturityItIsWorthNothingAndFetchesNothing) {
    auto note = this->make();
    EXPECT_EQ(note->npv(100, 0.03, 0.2, 0.0, day("2026-01-06")), 0.0);
    EXPECT_EQ(note->greeks(100, 0.03, 0.2, 0.0, day("2026-01-06")), OptionGreeks{});
    EXPECT_EQ(this->client->price_calls, 0);
    EXPECT_EQ(this->client->trading_dates_calls, 0);
    // On the maturity date itself the grid is that one day.
    EXPECT_TRUE(std::isfinite(note->npv(100, 0.03, 0.2, 0.0, day("2026-01-05"))));
}

TYPED_TEST(NoteTest, AnObservationDateAfterMaturityIsRefusedAtConstruction) {
    this->terms.set("obs_end_date", "2026-03-31");
    try {
        TypeParam note(this->terms);
        FAIL() << "no ValueError";
    } catch (const ValueError& e) {
        EXPECT_THAT(e.what(), HasSubstr("2026-01-06"));
        EXPECT_THAT(e.what(), HasSubstr("maturity_date 2026-01-05"));
    }
}

TYPED_TEST(NoteTest, TermsAreReadInOrderAndMissingOnesNamed) {
    Terms t = this->terms;
    t.erase("obs_end_date");
    t.erase("ko_barrier");
    try {
        TypeParam note(t);
        FAIL() << "no KeyError";
    } catch (const KeyError& e) {
        EXPECT_STREQ(e.what(), "ko_barrier");
    }
    t = this->terms;
    t.set("strike", "one hundred");
    EXPECT_THROW(TypeParam{t}, TypeError);
    t = this->terms;
    t.set("ki_obs_freq", "fortnightly");
    EXPECT_THROW(TypeParam{t}, ValueError);
}

TYPED_TEST(NoteTest, MarketInputsAreCheckedBeforeAnyRequest) {
    auto note = this->make();
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    struct Case {
        double spot, r, vol, q;
        const char* named;
    } cases[] = {{nan, 0.03, 0.2, 0.0, "spot"}, {100, inf, 0.2, 0.0, "r"},  {100, 0.03, nan, 0.0, "vol"},
                 {100, 0.03, 0.2, -inf, "q"},   {0.0, 0.03, 0.2, 0.0, "spot"}, {-5, 0.03, 0.2, 0.0, "spot"}};
    for (const Case& c : cases) {
        try {
            note->npv(c.spot, c.r, c.vol, c.q, this->E);
            ADD_FAILURE() << "no ValueError for " << c.named;
        } catch (const ValueError& e) {
            EXPECT_THAT(e.what(), HasSubstr(c.named));
        }
        EXPECT_THROW(note->greeks(c.spot, c.r, c.vol, c.q, this->E), ValueError) << c.named;
    }
    EXPECT_EQ(this->client->price_calls, 0);
    EXPECT_EQ(this->client->trading_dates_calls, 0);
    // The down-bump of vega may pass a negative volatility: it is valued.
    EXPECT_TRUE(std::isfinite(note->npv(100, 0.03, -0.005, 0.0, this->E)));
}

// greeks runs its nine valuations in one pass on shared shocks; each number
// must still be the one the separate valuations give, with each valuation's
// own history check (tomorrow's history may already hold a knock-out or a
// knock-in that today's does not).
TYPED_TEST(NoteTest, GreeksInOnePassEqualTheSeparateValuations) {
    const double S = 101, r = 0.03, q = 0.01;
    const Date ko = this->make()->ko_obs_dates()[3];
    struct Case {
        const char* what;
        Date E;
        double vol;
        double tomorrow_close;  // close on E + 1 in the history; 0: none
    } cases[] = {{"plain", this->E, 0.22, 0},
                 {"vol below the vega bump", this->E, 0.004, 0},
                 {"a Saturday: tomorrow's grid has as many days", day("2025-03-15"), 0.22, 0},
                 {"knocks out tomorrow", ko - 1, 0.22, 103.5},
                 {"knocks in tomorrow", day("2025-03-18"), 0.22, 79.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto note = this->make();
        std::vector<std::pair<Date, double>> closes;
        const Date last = c.tomorrow_close > 0 ? c.E : c.E - 1;
        for (const Date& d : calendar::trading_days(day("2025-01-02"), last)) closes.emplace_back(d, 100.0);
        if (c.tomorrow_close > 0) closes.emplace_back(c.E + 1, c.tomorrow_close);
        this->client->add_closes("NOTE.TEST", "pre", closes);
        const double vol = c.vol;
        const OptionGreeks g = note->greeks(S, r, vol, q, c.E);
        const double p0 = note->npv(S, r, vol, q, c.E);
        const double p1 = note->npv(S * 1.005, r, vol, q, c.E);
        const double p2 = note->npv(S * 0.995, r, vol, q, c.E);
        EXPECT_EQ(g.npv, p0);
        EXPECT_EQ(g.delta, (p1 - p2) / (S * 0.01));
        EXPECT_EQ(g.gamma, (p1 + p2 - 2 * p0) / ((S * 0.005) * (S * 0.005)));
        EXPECT_EQ(g.vega, note->vega(S, r, vol, q, c.E));
        EXPECT_EQ(g.theta, note->theta(S, r, vol, q, c.E));
        EXPECT_EQ(g.rho, note->rho(S, r, vol, q, c.E));
        EXPECT_NE(g.delta, 0.0);
        EXPECT_NE(g.vega, 0.0);
        const double tomorrow = note->npv(S, r, vol, q, c.E + 1);
        if (c.tomorrow_close > 103) {
            EXPECT_EQ(tomorrow, 0.0) << "the history settles tomorrow's valuation";
        } else if (c.tomorrow_close > 0) {
            EXPECT_EQ(tomorrow, note->_npv(S, r, vol, q, c.E + 1, true).npv) << "tomorrow's valuation is knocked in";
        }
    }
    auto note = this->make();
    const auto dg = note->_npv(S, r, 0.22, q, this->E, false, true);
    EXPECT_EQ(dg.npv, note->_npv(S, r, 0.22, q, this->E, false, false).npv);
}

TYPED_TEST(NoteTest, NoResultDependsOnTheThreadCount) {
    auto note = this->make();
    random_sample::set_threads(1);
    const OptionGreeks one = note->greeks(100, 0.03, 0.2, 0.0, this->E);
    random_sample::set_threads(2);
    EXPECT_EQ(note->greeks(100, 0.03, 0.2, 0.0, this->E), one);
    random_sample::set_threads(7);
    EXPECT_EQ(note->greeks(100, 0.03, 0.2, 0.0, this->E), one);
}

// Single-precision draws follow nearly the same paths: the value moves by a
// small part of its standard error, the greeks stay thread-invariant.
TYPED_TEST(NoteTest, SingleDrawsMoveTheValueWithinItsStandardError) {
    auto note = this->make();
    const auto plain = note->statistics(100, 0.03, 0.2, 0.0, this->E);
    random_sample::set_draws(random_sample::Draws::single_precision);
    const auto single = note->statistics(100, 0.03, 0.2, 0.0, this->E);
    EXPECT_NE(single.npv, plain.npv);
    EXPECT_LT(std::abs(single.npv - plain.npv), 0.1 * plain.standard_error);
    random_sample::set_threads(1);
    const OptionGreeks one = note->greeks(100, 0.03, 0.2, 0.0, this->E);
    random_sample::set_threads(3);
    EXPECT_EQ(note->greeks(100, 0.03, 0.2, 0.0, this->E), one);
}

// On "qmc" a note integrates each path's terminal value out: its value,
// probabilities, expected life and fair coupon are those of "mc" (on 16 x the
// paths) within the latter's error, with and without a knock-in in the
// history and at a negative volatility (the same law of the paths); the
// phoenix with memory and both with a floor. (Value and delta against the
// pde engine: pde_convergence_test.)
template <class Note>
void expect_conditional_figures_of_mc(Terms terms) {
    const auto client = std::make_shared<test::CountingClient>();
    test::ScopedClient scoped{client};
    const Date E = day("2025-03-17");
    terms.set("floor_price", 85.0);
    for (const bool knocked_in : {false, true}) {
        SCOPED_TRACE(knocked_in ? "knocked in" : "not knocked in");
        if (knocked_in) {
            std::vector<std::pair<Date, double>> closes;
            for (const Date& d : calendar::trading_days(day("2025-01-02"), E - 1)) closes.emplace_back(d, 90.0);
            closes.back().second = 79.0;
            client->add_closes("NOTE.TEST", "pre", closes);
        }
        auto value = [&](const char* engine, std::size_t paths, double vol) {
            terms.set("engine", engine);
            test::ScopedPaths scoped_paths(paths);
            Note note(terms);
            return std::make_tuple(note.npv(99.0, 0.02, vol, 0.01, E), note.statistics(99.0, 0.02, vol, 0.01, E),
                                   note.fair_coupon_rate(99.0, 0.02, vol, 0.01, E));
        };
        const auto [mv, ms, mf] = value("mc", 1 << 18, 0.22);
        const auto [qv, qs, qf] = value("qmc", 1 << 14, 0.22);
        const auto [nv, ns, nf] = value("qmc", 1 << 14, -0.22);
        EXPECT_NEAR(qv, mv, 3 * ms.standard_error);
        EXPECT_NEAR(nv, mv, 3 * ms.standard_error);
        EXPECT_EQ(qv, qs.npv);
        EXPECT_NEAR(qs.ko_total, ms.ko_total, 0.01);
        EXPECT_NEAR(std::accumulate(qs.ko_probability.begin(), qs.ko_probability.end(), 0.0), qs.ko_total, 1e-12);
        EXPECT_NEAR(qs.ki_probability, ms.ki_probability, 0.01);
        EXPECT_NEAR(qs.loss_probability, ms.loss_probability, 0.01);
        EXPECT_NEAR(qs.expected_life, ms.expected_life, 0.01);
        EXPECT_NEAR(qf.fair_coupon_rate, mf.fair_coupon_rate, 3 * mf.standard_error);
    }
}

TEST(QmcNotes, ConditionalFiguresAgreeWithMonteCarlo) {
    {
        SCOPED_TRACE("snowball");
        expect_conditional_figures_of_mc<SnowBallOption>(test::one_year_note("snowball"));
    }
    SCOPED_TRACE("phoenix with memory");
    Terms phoenix = test::one_year_note("phoenix");
    phoenix.set("memory", true);
    phoenix.set("coupon_barrier", 95.0);
    expect_conditional_figures_of_mc<PhoenixOption>(phoenix);
}

// "engine": "qmc" on a note that is knocked in on its first day and never
// knocks out: its value is minus a European put on the final price, which
// the conditional payoff integrates exactly.
TYPED_TEST(NoteTest, QmcValuesTheFinalPriceExactlyAndBeatsMonteCarlo) {
    const double S = 100, r = 0.03, vol = 0.25, q = 0.01;
    this->terms.set("ki_barrier", 1e9);
    this->terms.set("ko_barrier", 1e9);
    this->terms.set("engine", "qmc");
    auto note = this->make();
    const double T = static_cast<double>(note->maturity_date() - this->E) / 365;
    const double put = QuantLib::blackFormula(QuantLib::Option::Put, 100.0, S * std::exp((r - q) * T),
                                              vol * std::sqrt(T), std::exp(-r * T));
    random_sample::set_paths(1024);
    const auto exact = note->statistics(S, r, vol, q, this->E);
    EXPECT_NEAR(exact.npv, -put, 1e-12 * put);
    EXPECT_LT(exact.standard_error, 1e-9 * put);

    // With a knock-out barrier: far below the error of "mc" on as many paths.
    this->terms.set("ko_barrier", 103.0);
    note = this->make();
    random_sample::set_paths(16384);
    const auto st = note->statistics(S, r, vol, q, this->E);
    EXPECT_EQ(note->npv(S, r, vol, q, this->E), st.npv);
    this->terms.set("engine", "mc");
    const auto plain = this->make()->statistics(S, r, vol, q, this->E);
    EXPECT_NEAR(st.npv, plain.npv, 4 * plain.standard_error);
    EXPECT_LT(st.standard_error, plain.standard_error / 5);
    this->terms.set("engine", "qmc");

    // The same numbers on any thread count, and greeks as the separate valuations.
    random_sample::set_paths(3000);
    this->terms.set("ki_barrier", 80.0);
    this->terms.set("ko_barrier", 103.0);
    note = this->make();
    random_sample::set_threads(1);
    const OptionGreeks one = note->greeks(S, r, vol, q, this->E);
    random_sample::set_threads(3);
    EXPECT_EQ(note->greeks(S, r, vol, q, this->E), one);
    EXPECT_EQ(one.npv, note->npv(S, r, vol, q, this->E));
    EXPECT_EQ(one.vega, note->vega(S, r, vol, q, this->E));
    EXPECT_EQ(one.theta, note->theta(S, r, vol, q, this->E));
    EXPECT_EQ(one.rho, note->rho(S, r, vol, q, this->E));
    this->terms.set("engine", "mc");
    EXPECT_NEAR(this->make()->npv(S, r, vol, q, this->E), one.npv, 0.5) << "qmc and mc value the same note";

    this->terms.set("engine", "sobol");
    try {
        TypeParam bad(this->terms);
        FAIL() << "no ValueError";
    } catch (const ValueError& e) {
        EXPECT_THAT(e.what(), HasSubstr("'sobol'"));
        EXPECT_THAT(e.what(), HasSubstr("mc, qmc"));
    }
}

TYPED_TEST(NoteTest, TheStreamedValueIsMcPricingOnTheFullPathMatrix) {
    auto note = this->make();
    const double S = 98, r = 0.025, vol = 0.3, q = 0.005;
    const auto sim = detail::prepare(note->terms(), note->legs(), this->E,
                                     note->maturity_date(), r, q, vol);
    const rs::Matrix paths = mc::simulate_paths(sim.model);
    ASSERT_EQ(paths.cols(), sim.grid.size());
    EXPECT_NE(sim.ki_ob_indexes, sim.ko_ob_indexes) << "daily knock-in, monthly knock-out";
    for (bool knocked_in : {false, true}) {
        const double matrix = note->_mc_pricing(paths, S, sim.ki_ob_indexes, sim.ko_ob_indexes, sim.model.discount,
                                                sim.coupon, knocked_in);
        const double streamed = note->_npv(S, r, vol, q, this->E, knocked_in).npv;
        EXPECT_NEAR(streamed, matrix, 1e-12 * std::fabs(matrix)) << "knocked_in " << knocked_in;
    }
}

TYPED_TEST(NoteTest, EqualFrequenciesShareOneScheduleAndGridPositions) {
    this->terms.set("ki_obs_freq", "monthly");
    auto note = this->make();
    EXPECT_EQ(note->ki_obs_dates(), note->ko_obs_dates());
    const auto sim = detail::prepare(note->terms(), note->legs(), this->E,
                                     note->maturity_date(), 0.03, 0.0, 0.2);
    EXPECT_EQ(sim.ki_ob_indexes, sim.ko_ob_indexes);
    EXPECT_EQ(sim.coupon.size(), sim.ko_ob_indexes.size());
    EXPECT_EQ(sim.grid.dates[sim.ko_ob_indexes.front()], note->ko_obs_dates()[2]) << "dates before E are past";
}

TYPED_TEST(NoteTest, MakeOptionBuildsItByName) {
    const auto option = make_option(this->terms);
    EXPECT_NE(dynamic_cast<TypeParam*>(option.get()), nullptr);
    const auto names = known_types();
    EXPECT_NE(std::find(names.begin(), names.end(), NoteType<TypeParam>::name), names.end());
}

// ---------------------------------------------------------------- note variants

TYPED_TEST(NoteTest, NeutralVariantTermsValueBitForBitAsThePlainNote) {
    const bool snowball = std::is_same_v<TypeParam, SnowBallOption>;
    auto plain = this->make();
    const OptionGreeks want = plain->greeks(98, 0.025, 0.3, 0.01, this->E);
    // Each new term at the value that leaves the contract as it was.
    Terms t = this->terms;
    t.set("ko_barrier", Value::List(plain->ko_obs_dates().size(), Value(103.0)));
    t.set("coupon_rate_step", 0.0);
    t.set("floor_price", 1e-9);
    t.set(snowball ? "maturity_coupon_rate" : "coupon_barrier", snowball ? 0.2 : 80.0);
    t.set("memory", false);
    TypeParam neutral(t);
    EXPECT_EQ(neutral.coupon(), plain->coupon());
    EXPECT_EQ(neutral.greeks(98, 0.025, 0.3, 0.01, this->E), want);
}

TYPED_TEST(NoteTest, BadVariantTermsAreRefusedNamingTheTerm) {
    const bool snowball = std::is_same_v<TypeParam, SnowBallOption>;
    const std::size_t m = TypeParam(this->terms).ko_obs_dates().size();
    struct Case {
        const char* key;
        Value value;
        const char* says;
    };
    const std::vector<Case> cases{
        {"ko_barrier", Value::List{Value(103.0), Value(102.0)}, "ko_barrier: 2 entries for 12 knock-out dates"},
        {"ko_barrier", Value::List(m, Value(-1.0)), "ko_barrier entry 1 must be a positive finite price level"},
        {"ko_barrier_step", 10.0, "ko_barrier 103 less 11 x ko_barrier_step 10 (knock-out date 12)"},
        {"ko_barrier_step", std::numeric_limits<double>::infinity(), "ko_barrier_step must be finite"},
        {"coupon_rate_step", 0.05, "coupon_rate 0.2 less 5 x coupon_rate_step 0.05"},
        {"coupon_rate", Value::List(m, Value(std::nan(""))), "coupon_rate entry 1 must be a finite rate"},
        {"floor_price", 100.5, "floor_price 100.5 is above the strike 100"},
        {"floor_price", 0.0, "floor_price must be a positive finite price level"},
        {snowball ? "maturity_coupon_rate" : "coupon_barrier", -0.1, snowball ? "maturity_coupon_rate" : "coupon_barrier"},
    };
    for (const Case& c : cases) {
        Terms t = this->terms;
        t.set(c.key, c.value);
        try {
            TypeParam note(t);
            ADD_FAILURE() << "no ValueError for " << c.key << " " << c.value;
        } catch (const ValueError& e) {
            EXPECT_THAT(e.what(), HasSubstr(c.says)) << c.key;
        }
    }
    Terms t = this->terms;
    t.set("ko_barrier", Value::List(m, Value(103.0)));
    t.set("ko_barrier_step", 1.0);
    EXPECT_THROW(TypeParam{t}, ValueError) << "a step needs a number";
    t = this->terms;
    t.set("memory", "yes");
    if (snowball)
        EXPECT_NO_THROW(TypeParam{t}) << "memory is the phoenix's term";
    else
        EXPECT_THROW(TypeParam{t}, TypeError);
}

// The value on each path from _mc_pricing on that path alone.
template <class Note>
std::vector<double> path_values(const Note& note, const detail::NoteSimulation& sim, double spot) {
    const rs::Matrix paths = mc::simulate_paths(sim.model);
    std::vector<double> out;
    for (std::size_t p = 0; p < paths.rows(); ++p) {
        rs::Matrix row(1, paths.cols());
        std::copy_n(paths.row(p), paths.cols(), row.row(0));
        out.push_back(note._mc_pricing(row, spot, sim.ki_ob_indexes, sim.ko_ob_indexes, sim.model.discount,
                                       sim.coupon, false));
    }
    return out;
}

TYPED_TEST(NoteTest, StatisticsAreThePathsOwnFrequenciesAndSpread) {
    rs::set_paths(300);
    auto note = this->make();
    const double S = 100, r = 0.02, vol = 0.3, q = 0.0;
    const auto sim = detail::prepare(note->terms(), note->legs(), this->E, note->maturity_date(), r, q, vol);
    const std::vector<double> v = path_values(*note, sim, S);
    const double n = static_cast<double>(v.size());
    const double mean = std::accumulate(v.begin(), v.end(), 0.0) / n;
    double ss = 0;
    for (double x : v) ss += (x - mean) * (x - mean);
    const auto s = note->statistics(S, r, vol, q, this->E);
    EXPECT_EQ(s.npv, note->npv(S, r, vol, q, this->E));
    EXPECT_NEAR(s.standard_error, std::sqrt(ss / (n - 1) / n), 1e-9 * s.standard_error);
    EXPECT_GT(s.standard_error, 0.0);
    ASSERT_EQ(s.ko_dates, sim.ko_dates);
    EXPECT_NEAR(std::accumulate(s.ko_probability.begin(), s.ko_probability.end(), 0.0), s.ko_total, 1e-12);
    EXPECT_GT(s.ko_total, 0.0);
    EXPECT_GT(s.ki_probability, 0.0);
    // A loss needs the note knocked in at maturity.
    EXPECT_LE(s.loss_probability, s.ki_probability);
    EXPECT_GT(s.expected_life, 0.0);
    EXPECT_LT(s.expected_life, static_cast<double>(note->maturity_date() - this->E) / 365);
}

TYPED_TEST(NoteTest, StatisticsOnFlatPathsAreCertain) {
    auto note = this->make();
    const auto& dates = note->ko_obs_dates();
    const Date first = dates[2];  // the first on or after E
    const double to_first = static_cast<double>(first - this->E) / 365;
    const double to_end = static_cast<double>(note->maturity_date() - this->E) / 365;
    struct Case {
        double spot, ko, ki, loss, life;
    } cases[] = {{104, 1, 0, 0, to_first}, {90, 0, 0, 0, to_end}, {79, 0, 1, 1, to_end}};
    for (const Case& c : cases) {
        const auto s = note->statistics(c.spot, 0.0, 0.0, 0.0, this->E);
        EXPECT_EQ(s.ko_total, c.ko) << c.spot;
        EXPECT_EQ(s.ko_probability.front(), c.ko) << c.spot;
        EXPECT_EQ(s.ki_probability, c.ki) << c.spot;
        EXPECT_EQ(s.loss_probability, c.loss) << c.spot;
        EXPECT_NEAR(s.expected_life, c.life, 1e-12) << c.spot;
        EXPECT_LT(s.standard_error, 1e-6) << "every path the same, but for rounding";
    }
}

TYPED_TEST(NoteTest, FairCouponIsExactOnItsPathsAndMatchesBisection) {
    rs::set_paths(1000);
    this->terms.set("coupon_rate_step", 0.005);
    auto note = this->make();
    const double S = 100, r = 0.02, vol = 0.25, q = 0.0, target = -1.5;
    const auto fair = note->fair_coupon_rate(S, r, vol, q, this->E, target);
    auto npv_at = [&](double rate) {
        Terms t = this->terms;
        t.set("coupon_rate", rate);
        return TypeParam(t).npv(S, r, vol, q, this->E);
    };
    // Same seed, so the same paths: npv there is the target, to rounding.
    EXPECT_NEAR(npv_at(fair.fair_coupon_rate), target, 1e-9);
    double lo = 0.06, hi = 0.6;
    ASSERT_LT(npv_at(lo), target);
    ASSERT_GT(npv_at(hi), target);
    for (int i = 0; i < 36; ++i) (npv_at((lo + hi) / 2) < target ? lo : hi) = (lo + hi) / 2;
    EXPECT_NEAR(fair.fair_coupon_rate, lo, 1e-9);
    // Its error: the rates of other seeds scatter by about it.
    std::vector<double> rates;
    for (std::uint64_t seed = 1; seed <= 8; ++seed) {
        rs::set_seed(seed);
        rates.push_back(note->fair_coupon_rate(S, r, vol, q, this->E, target).fair_coupon_rate);
    }
    const double mean = std::accumulate(rates.begin(), rates.end(), 0.0) / 8;
    double ss = 0;
    for (double x : rates) ss += (x - mean) * (x - mean);
    const double scatter = std::sqrt(ss / 7);
    EXPECT_GT(fair.standard_error, scatter / 3);
    EXPECT_LT(fair.standard_error, scatter * 3);
    // Nothing to solve for once no knock-out date is left.
    this->terms.set("obs_end_date", "2025-02-28");
    EXPECT_THROW(this->make()->fair_coupon_rate(S, r, vol, q, this->E), ValueError);
}

}  // namespace
