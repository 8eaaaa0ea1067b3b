// The finite-difference engine of the notes: closed forms on notes whose
// barriers never bind, exact deterministic values at vol = 0 (equal to the
// Monte Carlo's), strict comparisons on the evaluation date, the note variants
// as data, the "engine" term, and its errors. pde_convergence_test.cpp holds
// the comparisons with the Monte Carlo (slow).
#include <kestrel/notes/autocallable.hpp>
#include <kestrel/engines/pde/solver.hpp>
#include <kestrel/kestrel.hpp>
#include <kestrel/notes/note.hpp>

#include "support/note_support.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

using namespace kestrel;
namespace pde = kestrel::detail::pde;
using QuantLib::Date;

namespace {

double cdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

// P(S_t > B) under the model, S_0 = s.
double above(double s, double B, double r, double q, double vol, double t) {
    return cdf((std::log(s / B) + (r - q - vol * vol / 2) * t) / (vol * std::sqrt(t)));
}

double put(double s, double K, double r, double q, double vol, double t) {
    const double d1 = (std::log(s / K) + (r - q + vol * vol / 2) * t) / (vol * std::sqrt(t));
    const double d2 = d1 - vol * std::sqrt(t);
    return K * std::exp(-r * t) * cdf(-d2) - s * std::exp(-q * t) * cdf(-d1);
}

constexpr double kNever = 1e12;  // a knock-out barrier no price reaches

pde::Note with_market(pde::Note n, double r, double q, double vol) {
    n.r = r;
    n.q = q;
    n.vol = vol;
    return n;
}

}  // namespace

TEST(PdeSolver, NotesWhoseBarriersCannotBindAreCouponsPlusEuropeanLegs) {
    const double r = 0.03, q = 0.01, vol = 0.25, s = 95;
    struct Row {
        pde::Note note;
        double want;
        const char* why;
    };
    // Knocked in, never knocked out: the loss is a short put.
    pde::Note ki;
    ki.rule = pde::Rule::snowball;
    ki.knock_out = {{0.25, kNever, 5, 0}, {1.0, kNever, 20, 0}};
    ki.strike = 100;
    ki.maturity = 1.0;
    ki.knocked_in = true;
    pde::Note floored = ki;
    floored.floor_price = 80.0;
    // Not knocked in, no knock-in date: the non-touch coupon, or one knock-out
    // date's digital on either side of its barrier.
    pde::Note digital;
    digital.rule = pde::Rule::snowball;
    digital.knock_out = {{0.5, 105, 5, 0}};
    digital.knock_in = {};
    digital.strike = 100;
    digital.maturity = 1.0;
    digital.non_touch_coupon = 8;
    digital.non_touch_time = 0.5;
    // A phoenix knocked in, never knocked out, with its own coupon barriers.
    pde::Note phoenix = ki;
    phoenix.rule = pde::Rule::phoenix;
    phoenix.knock_out = {{0.25, kNever, 2, 90}, {0.75, kNever, 3, 100}};
    const double p_ko = above(s, 105, r, q, vol, 0.5);
    const Row rows[] = {
        {ki, -put(s, 100, r, q, vol, 1.0), "a short put"},
        {floored, -(put(s, 100, r, q, vol, 1.0) - put(s, 80, r, q, vol, 1.0)), "a put spread: the floor binds"},
        {digital, std::exp(-r * 0.5) * (5 * p_ko + 8 * (1 - p_ko)), "a digital at the knock-out date"},
        {phoenix,
         2 * std::exp(-r * 0.25) * above(s, 90, r, q, vol, 0.25) + 3 * std::exp(-r * 0.75) * above(s, 100, r, q, vol, 0.75) -
             put(s, 100, r, q, vol, 1.0),
         "coupon digitals and a short put"},
    };
    for (const Row& row : rows) {
        const pde::Solution v = pde::solve(with_market(row.note, r, q, vol), s, true);
        EXPECT_NEAR(v.npv, row.want, 2e-3) << row.why;
        // Delta against the closed form's own central difference.
        const pde::Solution up = pde::solve(with_market(row.note, r, q, vol), s * 1.005, false);
        const pde::Solution down = pde::solve(with_market(row.note, r, q, vol), s * 0.995, false);
        EXPECT_NEAR(v.delta, (up.npv - down.npv) / (s * 0.01), 2e-4) << row.why;
    }
}

TEST(PdeSolver, VolZeroIsTheDeterministicPathAndTinyVolConvergesToIt) {
    // A step-down snowball with per-date coupons and a floor, flat (r = q):
    // spot 101 first exceeds the barrier on the third date.
    pde::Note n;
    n.rule = pde::Rule::snowball;
    n.knock_out = {{0.25, 110, 2, 0}, {0.5, 105, 4, 0}, {0.75, 100, 6.5, 0}, {1.0, 95, 9, 0}};
    n.knock_in = {0.1, 0.6, 1.0};
    n.ki_barrier = 80;
    n.strike = 100;
    n.floor_price = 70.0;
    n.maturity = 1.0;
    n.non_touch_coupon = 9.5;
    n.non_touch_time = 1.0;
    const double r = 0.02;
    struct Row {
        double spot;
        bool knocked_in;
        double want;
        const char* why;
    } rows[] = {
        {101, false, 6.5 * std::exp(-r * 0.75), "out on the third date"},
        {96, false, 9 * std::exp(-r * 1.0), "out on the last date"},
        {90, false, 9.5 * std::exp(-r * 1.0), "neither in nor out: the non-touch coupon"},
        {75, false, (75 - 100) * std::exp(-r * 1.0), "in on the first knock-in date"},
        {60, true, (70 - 100) * std::exp(-r * 1.0), "knocked in, the floor binds"},
    };
    for (const Row& row : rows) {
        n.knocked_in = row.knocked_in;
        EXPECT_NEAR(pde::solve(with_market(n, r, r, 0.0), row.spot, false).npv, row.want, 1e-12) << row.why;
        // On the mesh, with almost no diffusion: no oscillation, the same value.
        EXPECT_NEAR(pde::solve(with_market(n, r, r + 1e-8, 1e-4), row.spot, false).npv, row.want, 1e-4) << row.why;
    }
    // A negative vol (a vega down-bump from below 0.01) is its magnitude, as
    // in the simulation, where it only flips the draws.
    EXPECT_EQ(pde::solve(with_market(n, r, 0.0, -0.005), 97, false).npv, pde::solve(with_market(n, r, 0.0, 0.005), 97, false).npv);
}

TEST(PdeSolver, ObservationsOnTheEvaluationDateAreStrict) {
    pde::Note n;
    n.rule = pde::Rule::snowball;
    n.knock_out = {{0.0, 100, 3, 0}, {0.5, 100, 7, 0}};
    n.knock_in = {0.0, 0.5};
    n.ki_barrier = 80;
    n.strike = 100;
    n.maturity = 0.5;
    n.non_touch_coupon = 7;
    n.non_touch_time = 0.5;
    n = with_market(n, 0.03, 0.0, 0.25);
    // Every valued spot above the barrier: that coupon at once, flat.
    const pde::Solution out = pde::solve(n, 100.6, true);
    EXPECT_EQ(out.npv, 3.0);
    EXPECT_EQ(out.delta, 0.0);
    EXPECT_EQ(out.gamma, 0.0);
    // At the barrier nothing happens on the day: worth more than the coupon
    // now (7 later with a fair chance), and less than 7.
    const double at = pde::solve(n, 100, false).npv;
    EXPECT_GT(at, 3.0);
    EXPECT_LT(at, 7.0);
    // At the knock-in barrier: not knocked in, unlike a tick below.
    EXPECT_GT(pde::solve(n, 80, false).npv, pde::solve(n, 79.999, false).npv + 5);
    // The phoenix earns its coupon at its coupon barrier, not a tick below.
    n.rule = pde::Rule::phoenix;
    n.knock_out[0].coupon_barrier = 95;
    EXPECT_NEAR(pde::solve(n, 95, false).npv - pde::solve(n, 94.9999, false).npv, 3.0, 1e-3);
}

TEST(PdeSolver, BadDescriptionsAndSettingsAreValueErrors) {
    pde::Note n;
    n.knock_out = {{0.5, 103, 1, 0}};
    n.maturity = 1.0;
    n.vol = 0.2;
    EXPECT_NO_THROW(pde::solve(n, 100, false));
    pde::Note late = n;
    late.knock_out[0].time = 1.5;
    EXPECT_THROW(pde::solve(late, 100, false), ValueError);
    pde::Note nan = n;
    nan.vol = std::nan("");
    EXPECT_THROW(pde::solve(nan, 100, false), ValueError);
    EXPECT_THROW(pde::solve(n, 0.0, false), ValueError);
    pde::Settings few;
    few.space_nodes = 5;
    EXPECT_THROW(pde::solve(n, 100, false, few), ValueError);
    pde::Settings no_steps;
    no_steps.steps_per_year = 0;
    EXPECT_THROW(pde::solve(n, 100, false, no_steps), ValueError);
}

class PdeNoteTest : public ::testing::Test {
  protected:
    std::shared_ptr<test::CountingClient> client = std::make_shared<test::CountingClient>();
    test::ScopedClient scoped{client};
    test::ScopedPaths paths{2000};
    const Date E = utils::parse_date("2025-01-02");

    static Terms with_engine(Terms t, const char* engine) {
        t.set("engine", engine);
        return t;
    }
};

TEST_F(PdeNoteTest, AtVolZeroBothEnginesValueTheOnePathAlike) {
    // The plain notes, then variants: a barrier stepping down a point a date
    // (from 103 to 92, crossed late by a path drifting up from 90), a floor
    // that binds below 75 and a maturity coupon; a phoenix coupon barrier
    // above the knock-in.
    const std::vector<std::pair<const char*, std::vector<std::pair<const char*, Value>>>> notes = {
        {"snowball", {}},
        {"phoenix", {}},
        {"snowball", {{"ko_barrier_step", 1.0}, {"coupon_rate_step", 0.01}}},
        {"snowball", {{"floor_price", 75.0}, {"maturity_coupon_rate", 0.05}}},
        {"phoenix", {{"coupon_barrier", 95.0}, {"ko_barrier_step", 1.0}, {"floor_price", 75.0}}},
    };
    for (const auto& [type, variant] : notes) {
        Terms terms = test::one_year_note(type);
        for (const auto& [key, v] : variant) terms.set(key, v);
        const auto mc = make_option(terms);
        const auto fd = make_option(with_engine(terms, "pde"));
        // At and beside both barriers, flat and drifting across them.
        for (double spot : {70.0, 80.0, 90.0, 103.0, 110.0})
            for (double r : {0.0, 0.03}) {
                const double q = spot == 80.0 || spot == 103.0 ? r : 0.0;
                const double want = mc->npv(spot, r, 0.0, q, E), got = fd->npv(spot, r, 0.0, q, E);
                EXPECT_NEAR(got, want, 1e-12 * (1 + std::fabs(want)))
                    << type << " variant " << variant.size() << " spot " << spot << " r " << r << " q " << q;
            }
    }
}

TEST_F(PdeNoteTest, EngineTermPicksTheEngineAndMcIsTheDefault) {
    const Terms plain = test::one_year_note("snowball");
    const double today = make_option(plain)->npv(100, 0.02, 0.2, 0.0, E);
    EXPECT_EQ(make_option(with_engine(plain, "mc"))->npv(100, 0.02, 0.2, 0.0, E), today);
    const double fd = make_option(with_engine(plain, "pde"))->npv(100, 0.02, 0.2, 0.0, E);
    EXPECT_NE(fd, today);
    try {
        make_option(with_engine(plain, "fdm"));
        ADD_FAILURE() << "an unknown engine was accepted";
    } catch (const ValueError& e) {
        EXPECT_NE(std::string(e.what()).find("'fdm'"), std::string::npos) << e.what();
    }
    Terms numeric = plain;
    numeric.set("engine", 1.0);
    EXPECT_THROW(make_option(numeric), TypeError);
    // --engine fills in only a note's missing term.
    EXPECT_EQ(with_note_engine(with_engine(plain, "mc"), "pde").at("engine"), Value("mc"));
    EXPECT_EQ(with_note_engine(plain, "pde").at("engine"), Value("pde"));
    EXPECT_FALSE(with_note_engine(Terms{{"type", "vanilla"}}, "pde").contains("engine"));
    EXPECT_THROW(with_note_engine(plain, "fdm"), ValueError);
}

TEST_F(PdeNoteTest, MemoryPhoenixIsRefusedOnlyOnThisEngine) {
    Terms t = with_engine(test::one_year_note("phoenix"), "pde");
    t.set("memory", true);
    try {
        make_option(t);
        ADD_FAILURE() << "a memory phoenix was accepted";
    } catch (const NotImplementedError& e) {
        EXPECT_NE(std::string(e.what()).find("memory"), std::string::npos) << e.what();
    }
    t.set("memory", false);
    EXPECT_NO_THROW(make_option(t));
}

TEST_F(PdeNoteTest, FairCouponMakesTheValueTheTargetAndStatisticsAreProbabilities) {
    Terms snowball = with_engine(test::one_year_note("snowball"), "pde");
    snowball.set("ko_barrier_step", 0.5);
    snowball.set("coupon_rate_step", 0.005);
    Terms phoenix = with_engine(test::one_year_note("phoenix"), "pde");
    phoenix.set("coupon_barrier", 95.0);
    for (Terms terms : {snowball, phoenix}) {
        SCOPED_TRACE(terms.at("type").to_string());
        const auto note = make_option(terms);
        auto solve = [&](BaseOption& o, double target) {
            if (auto* s = dynamic_cast<SnowBallOption*>(&o)) return s->fair_coupon_rate(100, 0.02, 0.2, 0.01, E, target);
            return dynamic_cast<PhoenixOption&>(o).fair_coupon_rate(100, 0.02, 0.2, 0.01, E, target);
        };
        for (double target : {0.0, 2.0}) {
            const detail::FairCoupon f = solve(*note, target);
            EXPECT_EQ(f.standard_error, 0.0);
            // The whole rate schedule moves with the first rate.
            terms.set("coupon_rate", f.fair_coupon_rate);
            EXPECT_NEAR(make_option(terms)->npv(100, 0.02, 0.2, 0.01, E), target, 1e-9) << target;
        }
        // Statistics from backward solutions: probabilities as the simulation counts them.
        auto& as_note = dynamic_cast<AutocallableNote&>(*note);
        const detail::NoteStatistics fd = as_note.statistics(100, 0.02, 0.2, 0.01, E);
        Terms on_mc = terms;
        on_mc.set("engine", "mc");
        const detail::NoteStatistics mc =
            dynamic_cast<AutocallableNote&>(*make_option(on_mc)).statistics(100, 0.02, 0.2, 0.01, E);
        EXPECT_EQ(fd.standard_error, 0.0);
        EXPECT_EQ(fd.npv, note->npv(100, 0.02, 0.2, 0.01, E));
        ASSERT_EQ(fd.ko_dates, mc.ko_dates);
        const double n = 2000;
        auto near = [&](double a, double b, const char* what) {
            const double se = std::sqrt(std::max(b * (1 - b), 0.01) / n);
            EXPECT_NEAR(a, b, 4 * se + 2e-3) << what;
        };
        near(fd.ko_total, mc.ko_total, "ko_total");
        near(fd.ki_probability, mc.ki_probability, "ki");
        near(fd.loss_probability, mc.loss_probability, "loss");
        for (std::size_t i = 0; i < fd.ko_dates.size(); ++i) near(fd.ko_probability[i], mc.ko_probability[i], "ko date");
        EXPECT_NEAR(fd.expected_life, mc.expected_life, 0.03);
    }
}

TEST_F(PdeNoteTest, GreeksReadDeltaAndGammaOffOneSolution) {
    for (const char* type : {"snowball", "phoenix"}) {
        const auto note = make_option(with_engine(test::one_year_note(type), "pde"));
        const OptionGreeks g = note->greeks(100, 0.02, 0.2, 0.0, E);
        EXPECT_EQ(g.npv, note->npv(100, 0.02, 0.2, 0.0, E)) << type;
        // Separate solves at the bumped spots (meshes of their own) agree.
        const double up = note->npv(100.5, 0.02, 0.2, 0.0, E), down = note->npv(99.5, 0.02, 0.2, 0.0, E);
        EXPECT_NEAR(g.delta, (up - down) / 1.0, 2e-3) << type;
        EXPECT_NEAR(g.gamma, (up + down - 2 * g.npv) / 0.25, 2e-3) << type;
        // Vega by the base class's bumps, now without noise: the same again.
        EXPECT_EQ(g.vega, note->vega(100, 0.02, 0.2, 0.0, E)) << type;
    }
}
