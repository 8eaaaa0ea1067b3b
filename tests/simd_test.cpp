// The instruction sets of the Monte Carlo kernels: choosing one, refusing one
// the machine lacks, and the same draws, paths, values, Greeks and statistics
// bit for bit on every instruction set this machine runs (and on any thread
// count), the notes on both engines that simulate.
#include <kestrel/notes/bench_notes.hpp>
#include <kestrel/engines/mc/dispatch.hpp>
#include <kestrel/engines/mc/kernel.hpp>
#include <kestrel/engines/mc/sobol_kernels.hpp>
#include <kestrel/kestrel.hpp>

#include <heron/memory_store.hpp>

#include "support/note_support.hpp"
#include "support/test_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <random>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace kestrel;
namespace rs = kestrel::random_sample;
namespace mc = kestrel::detail::mc;
using ::testing::HasSubstr;

namespace {

// Puts back the instruction set it found.
class ScopedSimd {
  public:
    ScopedSimd() : simd_(rs::simd()) {}
    ~ScopedSimd() { rs::set_simd(simd_); }
    ScopedSimd(const ScopedSimd&) = delete;
    ScopedSimd& operator=(const ScopedSimd&) = delete;

  private:
    rs::Simd simd_;
};

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(Simd, NamesReadBackAndUnknownOnesAreRefused) {
    for (rs::Simd s : {rs::Simd::automatic, rs::Simd::avx512, rs::Simd::avx2, rs::Simd::sse4, rs::Simd::baseline})
        EXPECT_EQ(rs::parse_simd(rs::simd_name(s)), s);
    EXPECT_STREQ(rs::simd_name(rs::Simd::automatic), "auto");
    try {
        rs::parse_simd("avx");
        FAIL() << "avx is no choice";
    } catch (const ValueError& e) {
        EXPECT_THAT(e.what(), HasSubstr("'avx'"));
        EXPECT_THAT(e.what(), HasSubstr("auto, avx512, avx2, sse4 or baseline"));
    }
}

TEST(Simd, EachInstructionSetTheMachineHasIsWhatTheKernelsDispatchTo) {
    ScopedSimd scope;
    const std::vector<rs::Simd> have = rs::supported_simd();
    ASSERT_FALSE(have.empty());
    EXPECT_EQ(have.back(), rs::Simd::baseline);
    EXPECT_EQ(std::count(have.begin(), have.end(), rs::Simd::automatic), 0);
    for (rs::Simd s : have) {
        rs::set_simd(s);
        EXPECT_EQ(rs::simd(), s);
        EXPECT_EQ(rs::dispatched_simd(), s) << rs::simd_name(s);
    }
    rs::set_simd(rs::Simd::automatic);
    EXPECT_EQ(rs::dispatched_simd(), have.front()) << "auto takes the best";
    // The ones it lacks are refused, naming them and what it has.
    for (rs::Simd s : {rs::Simd::avx512, rs::Simd::avx2, rs::Simd::sse4}) {
        if (std::find(have.begin(), have.end(), s) != have.end()) continue;
        try {
            rs::set_simd(s);
            FAIL() << rs::simd_name(s) << " is not on this machine";
        } catch (const ValueError& e) {
            EXPECT_THAT(e.what(), HasSubstr(std::string("no ") + rs::simd_name(s)));
            EXPECT_THAT(e.what(), HasSubstr("baseline"));
        }
        EXPECT_EQ(rs::simd(), rs::Simd::automatic) << "a refusal changes nothing";
    }
}

// A valuation's own choice holds on the threads it installs it on, whatever
// the process's choice, and nowhere else.
TEST(Simd, AChoiceInstalledOnAThreadIsWhatItsKernelsDispatchTo) {
    ScopedSimd scope;
    const std::vector<rs::Simd> have = rs::supported_simd();
    rs::set_simd(rs::Simd::automatic);
    for (rs::Simd s : have) {
        {
            const engines::mc::ScopedTargets on_this_thread(rs::simd_targets(s));
            EXPECT_EQ(rs::dispatched_simd(), s) << rs::simd_name(s);
            rs::Simd elsewhere = rs::Simd::automatic;
            std::thread([&] { elsewhere = rs::dispatched_simd(); }).join();
            EXPECT_EQ(elsewhere, have.front()) << "other threads keep the process's choice";
        }
        EXPECT_EQ(rs::dispatched_simd(), have.front()) << "the scope ends";
    }
}

// Draws of both precisions over row counts that leave every kind of partial
// vector, from offsets that are not multiples of the lanes, on grids of every
// length modulo 4.
std::vector<double> some_draws() {
    std::vector<double> out;
    for (rs::Draws precision : {rs::Draws::double_precision, rs::Draws::single_precision}) {
        rs::set_draws(precision);
        for (std::size_t T : {1u, 6u, 19u, 40u})
            for (std::size_t first : {0u, 5u, 1001u})
                for (std::size_t n : {1u, 3u, 13u, 67u}) {
                    std::vector<double> m(T * n);
                    rs::fill_random_samples(T, first, n, 99 + T, m.data());
                    out.insert(out.end(), m.begin(), m.end());
                    std::vector<double> days(T * n);
                    rs::fill_random_samples_by_day(T, first, n, T / 2, T, 7, days.data());
                    out.insert(out.end(), days.begin(), days.begin() + static_cast<std::ptrdiff_t>((T - T / 2) * n));
                }
    }
    rs::set_draws(rs::Draws::double_precision);
    return out;
}

TEST(Simd, DrawsAreTheSameBitForBitOnEveryInstructionSet) {
    ScopedSimd scope;
    rs::set_simd(rs::Simd::baseline);
    const std::vector<double> want = some_draws();
    for (rs::Simd s : rs::supported_simd()) {
        rs::set_simd(s);
        EXPECT_TRUE(same_bits(some_draws(), want)) << rs::simd_name(s);
    }
}

// Every observation of every path of two legs on one set of shocks (one
// with knock-in minima, one with three knock-in levels' excesses), on both
// kinds of shocks; paths leave partial vectors at every width.
std::vector<double> observations(mc::Shocks shocks) {
    auto model = [](std::size_t T) {
        mc::Model m;
        m.vol = 0.25;
        for (std::size_t j = 0; j < T; ++j) {
            m.dtt.push_back((j % 5 == 4 ? 3.0 : 1.0) / 365.0);
            m.drift.push_back(-0.0002 * static_cast<double>(j % 3));
            m.diffusion.push_back(m.vol * std::sqrt(m.dtt.back()));
            m.discount.push_back(1.0);
        }
        return m;
    };
    const mc::Model a = model(45), b = model(38);
    std::vector<mc::Leg> legs(2);
    legs[0] = mc::Leg{&a, {0, 3, 4, 17, 30, 44}, {9, 20, 31, 44}, 1, {}};
    legs[1] = mc::Leg{&b, {1, 2, 12, 37}, {5, 18, 37}, 1, {std::log(0.8), std::log(0.79), std::log(0.81)}};
    const std::size_t n = rs::paths();
    const std::size_t width = 2 + 4 + 1 + 1 + 3;  // per path: leg 0's ko, ki_min, final; leg 1's excesses
    // Sobol replicas number their paths from 0 each: on one thread the last
    // replica's are the ones kept.
    std::vector<double> out(width * n, -1.0);
    std::mutex guard;
    mc::simulate_legs(
        legs,
        [&](std::size_t leg, const mc::Observations& o, double* sums) {
            std::lock_guard<std::mutex> lock(guard);
            sums[0] = 0;
            for (std::size_t p = 0; p < o.n; ++p) {
                double* row = out.data() + width * (o.first + p);
                if (leg == 0) {
                    for (std::size_t i = 0; i < o.m; ++i) row[i] = o.ko[i * o.n + p];
                    row[4] = o.ki_min[p];
                    row[5] = o.final[p];
                    row[6] = o.x_final[p];
                } else {
                    row[7] = o.x_final[p];
                    for (std::size_t l = 0; l < o.levels; ++l) row[8 + l] = o.ki_excess[l * o.n + p];
                }
                sums[0] += o.final[p];
            }
        },
        shocks);
    return out;
}

// A Sobol point's uniforms and the dimensions in the inverse normal's tails,
// on every instruction set, against the plain formula: lengths around the
// vectors' and the 64-dimension words' edges, tails forced at those edges.
TEST(Simd, SobolUniformsAndTheirTailsAreThePlainOnesOnEveryInstructionSet) {
    std::mt19937 bits(12345);
    for (std::size_t d : {1u, 3u, 5u, 8u, 63u, 64u, 65u, 67u, 127u, 128u, 130u, 243u, 500u}) {
        std::vector<std::uint32_t> x(d), shift(d);
        for (std::size_t k = 0; k < d; ++k) x[k] = bits(), shift[k] = bits();
        for (std::size_t k : {std::size_t{0}, std::size_t{63}, std::size_t{64}, d - 1})
            if (k < d) x[k] = shift[k];  // w = 2^-33: a lower tail
        if (d > 66) x[66] = ~shift[66];  // w just under 1: an upper tail
        std::vector<double> plain(d);
        std::vector<std::uint64_t> plain_tails;
        for (std::size_t k = 0; k < d; ++k) {
            plain[k] = (static_cast<double>(x[k] ^ shift[k]) + 0.5) / 4294967296.0;
            if (plain[k] < engines::mc::kSobolLow || engines::mc::kSobolHigh < plain[k]) plain_tails.push_back(k);
        }
        ASSERT_GE(plain_tails.size(), 1u);
        for (rs::Simd s : rs::supported_simd()) {
            const engines::mc::ScopedTargets on_this_thread(rs::simd_targets(s));
            std::vector<double> w(d);
            std::vector<std::uint64_t> tails(d, 99999);
            const std::size_t m = engines::mc::shifted_uniforms(x.data(), shift.data(), w.data(), tails.data(), d);
            EXPECT_EQ(w, plain) << rs::simd_name(s) << " d=" << d;
            tails.resize(m);
            EXPECT_EQ(tails, plain_tails) << rs::simd_name(s) << " d=" << d;
        }
    }
}

TEST(Simd, PathStepsAndTheirObservationsAreTheSameBitForBitOnEveryInstructionSet) {
    ScopedSimd scope;
    test::ScopedPaths paths{2 * mc::kBlockPaths + 45};
    rs::set_threads(1);
    for (mc::Shocks shocks : {mc::Shocks::pseudo, mc::Shocks::sobol}) {
        rs::set_simd(rs::Simd::baseline);
        const std::vector<double> want = observations(shocks);
        for (rs::Simd s : rs::supported_simd()) {
            rs::set_simd(s);
            EXPECT_TRUE(same_bits(observations(shocks), want)) << rs::simd_name(s);
        }
    }
}

// A model under a local volatility whose rows change from node to node and
// day to day, narrow enough that paths leave them at both ends (and start
// off a node).
mc::Model local_model(std::size_t T) {
    mc::Model m;
    auto lv = std::make_shared<mc::LocalVolSteps>();
    lv->nodes = 23;
    lv->x0 = -0.06;
    lv->inv_h = 1 / 0.005;
    for (std::size_t j = 0; j < T; ++j) {
        m.dtt.push_back((j % 5 == 4 ? 3.0 : 1.0) / 365.0);
        m.drift.push_back(0.0);  // not read under a local volatility
        m.diffusion.push_back(0.0);
        m.discount.push_back(1.0);
        lv->carry.push_back(0.0001 * static_cast<double>(j % 4) - 0.0001);
        lv->root_dtt.push_back(std::sqrt(m.dtt.back()));
        for (std::size_t i = 0; i < lv->nodes; ++i)
            lv->vols.push_back(0.4 + 0.25 * std::sin(0.7 * static_cast<double>(i) + 0.3 * static_cast<double>(j)));
    }
    m.local = std::move(lv);
    m.log_spot = 0.0123;
    return m;
}

// Per path: the levels on the knock-out dates, the lowest on the knock-in
// days, the final price and its log.
constexpr std::size_t kLocalKo = 4, kLocalWidth = kLocalKo + 3;
std::vector<double> local_observations(const mc::Model& model, mc::Shocks shocks) {
    const std::vector<mc::Leg> legs{mc::Leg{&model, {0, 3, 4, 17, 30, 44}, {9, 20, 31, 44}, 1, {}}};
    const std::size_t n = rs::paths();
    std::vector<double> out(kLocalWidth * n, -1.0);
    std::mutex guard;
    mc::simulate_legs(
        legs,
        [&](std::size_t, const mc::Observations& o, double* sums) {
            std::lock_guard<std::mutex> lock(guard);
            sums[0] = 0;
            for (std::size_t p = 0; p < o.n; ++p) {
                double* row = out.data() + kLocalWidth * (o.first + p);
                for (std::size_t i = 0; i < o.m; ++i) row[i] = o.ko[i * o.n + p];
                row[kLocalKo] = o.ki_min[p];
                row[kLocalKo + 1] = o.final[p];
                row[kLocalKo + 2] = o.x_final[p];
                sums[0] += o.final[p];
            }
        },
        shocks);
    return out;
}

TEST(Simd, LocalVolatilityStepsAreTheSameBitForBitOnEveryInstructionSetAndAsThePathByPathSteps) {
    ScopedSimd scope;
    test::ScopedPaths paths{2 * mc::kBlockPaths + 45};
    rs::set_threads(1);
    const mc::Model model = local_model(45);
    // The path-by-path steps (simulate_paths: the same draws, one path at a
    // time in plain code) give each path's prices.
    const rs::Matrix reference = mc::simulate_paths(model);
    const std::vector<std::size_t> ko_days{9, 20, 31, 44};
    for (mc::Shocks shocks : {mc::Shocks::pseudo, mc::Shocks::sobol}) {
        rs::set_simd(rs::Simd::baseline);
        const std::vector<double> want = local_observations(model, shocks);
        for (rs::Simd s : rs::supported_simd()) {
            rs::set_simd(s);
            const std::vector<double> got = local_observations(model, shocks);
            EXPECT_TRUE(same_bits(got, want)) << rs::simd_name(s);
            if (shocks != mc::Shocks::pseudo) continue;
            std::size_t mismatches = 0, low = 0, high = 0;
            for (std::size_t p = 0; p < reference.rows(); ++p) {
                const double* row = got.data() + kLocalWidth * p;
                const double* path = reference.row(p);
                for (std::size_t i = 0; i < kLocalKo; ++i) mismatches += std::exp(row[i]) != path[ko_days[i]];
                mismatches += row[kLocalKo + 1] != path[44];
                // Where the paths ended up against the rows' span.
                low += model.log_spot + row[kLocalKo + 2] < model.local->x0;
                high += model.log_spot + row[kLocalKo + 2] > model.local->x0 + 22 * 0.005;
            }
            EXPECT_EQ(mismatches, 0u) << rs::simd_name(s);
            EXPECT_GT(low, 20u);
            EXPECT_GT(high, 20u);
        }
    }
}

// Every figure of one note on one engine: npv, Greeks, statistics and a spot
// ladder, in one vector.
std::vector<double> note_figures(const std::string& type, const std::string& engine) {
    const Terms terms = with_note_engine(bench::note_terms(type, 1), engine);
    const EvalDate date = utils::DateInput(bench::kEvaluationDate);
    std::vector<double> out;
    auto add = [&](auto& note) {
        out.push_back(note.npv(bench::kSpot, bench::kRate, bench::kVol, bench::kDividend, date));
        const OptionGreeks g = note.greeks(bench::kSpot, bench::kRate, bench::kVol, bench::kDividend, date);
        out.insert(out.end(), {g.npv, g.delta, g.gamma, g.vega, g.theta, g.rho});
        const detail::NoteStatistics st =
            note.statistics(bench::kSpot, bench::kRate, bench::kVol, bench::kDividend, date);
        out.insert(out.end(), {st.npv, st.standard_error, st.ko_total, st.ki_probability, st.loss_probability,
                               st.expected_life});
        out.insert(out.end(), st.ko_probability.begin(), st.ko_probability.end());
        for (const detail::ValueDeltaGamma& v :
             note.spot_ladder({85.0, 100.0, 112.0}, bench::kRate, bench::kVol, bench::kDividend, date, true))
            out.insert(out.end(), {v.npv, v.delta, v.gamma});
    };
    if (type == "snowball") {
        SnowBallOption note(terms);
        add(note);
    } else {
        PhoenixOption note(terms);
        add(note);
    }
    return out;
}

class SimdNotes : public ::testing::TestWithParam<const char*> {
  protected:
    test::ScopedClient scoped{std::make_shared<heron::MemoryStore>()};
    // Four whole blocks and a short one (mc); replicas of 131 paths (qmc).
    test::ScopedPaths paths{4 * mc::kBlockPaths + 21};
    ScopedSimd simd;
};

TEST_P(SimdNotes, ValuesGreeksAndStatisticsAreTheSameBitForBitOnEveryInstructionSetAndThreadCount) {
    const std::string type = GetParam();
    for (const std::string engine : {"mc", "qmc"}) {
        rs::set_simd(rs::Simd::baseline);
        rs::set_threads(1);
        const std::vector<double> want = note_figures(type, engine);
        ASSERT_GT(want.size(), 20u);
        for (double v : want) ASSERT_TRUE(std::isfinite(v)) << engine;
        for (rs::Simd s : rs::supported_simd()) {
            rs::set_simd(s);
            for (std::size_t threads : {1u, 3u}) {
                rs::set_threads(threads);
                const std::vector<double> got = note_figures(type, engine);
                EXPECT_TRUE(same_bits(got, want)) << type << " " << engine << " on " << rs::simd_name(s) << ", "
                                                  << threads << " threads";
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Notes, SimdNotes, ::testing::Values("snowball", "phoenix"));

}  // namespace
