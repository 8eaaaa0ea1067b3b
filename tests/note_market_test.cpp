// The autocallable notes on a market of curves: a curve of one flat level
// values as the plain numbers on every engine; under a steep futures discount
// the three engines agree; with no volatility the one forward path knocks out
// where the curves say; the single-pass Greeks bump the curves as the
// separate valuations do.
#include <kestrel/calendar.hpp>
#include <kestrel/engines/mc/kernel.hpp>
#include <kestrel/kestrel.hpp>
#include <kestrel/notes/engine.hpp>
#include <kestrel/notes/note.hpp>
#include <kestrel/random_sample.hpp>

#include "support/note_support.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace kestrel;
using QuantLib::Date;

namespace {

CurvePoint at(const char* pillar, double value) { return CurvePoint{Pillar::parse(pillar), value}; }

class NoteMarketTest : public ::testing::Test {
  protected:
    std::shared_ptr<test::CountingClient> client = std::make_shared<test::CountingClient>();
    test::ScopedClient scoped{client};
    test::ScopedPaths paths{4000};
    const Date E = utils::parse_date("2025-01-02");

    static std::unique_ptr<AutocallableNote> note(const char* type, const char* engine) {
        Terms t = test::one_year_note(type);
        t.set("engine", engine);
        std::unique_ptr<BaseOption> o = make_option(t);
        auto* n = dynamic_cast<AutocallableNote*>(o.get());
        if (!n) throw std::logic_error("not a note");
        o.release();
        return std::unique_ptr<AutocallableNote>(n);
    }

    // The carry of CSI 1000 futures in a steep discount: q from +20 % over the
    // first month to +5 % at a year, on an r curve and a rising vol curve.
    static Market steep(double spot) {
        return Market(spot, RateCurve({at("3M", 0.017), at("1Y", 0.02)}),
                      VolCurve({at("1M", 0.24), at("6M", 0.27), at("1Y", 0.28)}),
                      RateCurve({at("1M", 0.20), at("3M", 0.12), at("1Y", 0.05)}));
    }
};

}  // namespace

TEST_F(NoteMarketTest, CurvesOfOneFlatLevelValueAsThePlainNumbers) {
    const Market flat(97.0, 0.02, 0.22, 0.01);
    // Date and tenor pillars, one level each: the curve code on the flat numbers.
    const Market curves(97.0, RateCurve({at("1M", 0.02), at("2026-03-31", 0.02)}),
                        VolCurve({at("2W", 0.22), at("1Y", 0.22), at("2Y", 0.22)}), RateCurve({at("6M", 0.01)}));
    ASSERT_FALSE(curves.is_flat());
    for (const char* type : {"snowball", "phoenix"})
        for (const char* engine : {"mc", "qmc", "pde"}) {
            SCOPED_TRACE(std::string(type) + " on " + engine);
            const auto n = note(type, engine);
            const double want = n->npv(flat, E), got = n->npv(curves, E);
            EXPECT_NEAR(got, want, 1e-12 * std::fabs(want));
            const auto f = n->fair_coupon_rate(flat, E), g = n->fair_coupon_rate(curves, E);
            EXPECT_NEAR(g.fair_coupon_rate, f.fair_coupon_rate, 1e-12 * std::fabs(f.fair_coupon_rate));
            const auto ladder = n->spot_ladder({90.0, 110.0}, curves, E, true);
            const auto plain = n->spot_ladder({90.0, 110.0}, 0.02, 0.22, 0.01, E, true);
            for (std::size_t k = 0; k < 2; ++k) {
                EXPECT_NEAR(ladder[k].npv, plain[k].npv, 1e-12 * std::fabs(plain[k].npv));
                EXPECT_NEAR(ladder[k].delta, plain[k].delta, 1e-9 * (1 + std::fabs(plain[k].delta)));
            }
            if (std::string(engine) != "pde") {
                const auto s = n->statistics(flat, E), c = n->statistics(curves, E);
                EXPECT_NEAR(c.npv, s.npv, 1e-12 * std::fabs(s.npv));
                EXPECT_NEAR(c.expected_life, s.expected_life, 1e-12);
                EXPECT_NEAR(c.ko_total, s.ko_total, 1e-12);
            }
        }
    // The kernel's steps and the conditional payoff's betas themselves.
    const detail::mc::Grid grid = detail::mc::make_grid(E, utils::parse_date("2026-01-05"));
    const auto a = detail::mc::make_model(grid, E, flat), b = detail::mc::make_model(grid, E, curves);
    const auto za = detail::mc::terminal(a), zb = detail::mc::terminal(b);
    for (std::size_t j = 0; j < grid.size(); ++j) {
        EXPECT_NEAR(b.drift[j], a.drift[j], 1e-15) << j;
        EXPECT_NEAR(b.diffusion[j], a.diffusion[j], 1e-15) << j;
        EXPECT_NEAR(b.discount[j], a.discount[j], 1e-15) << j;
        EXPECT_NEAR(zb.beta[j], za.beta[j], 1e-14) << j;
    }
}

TEST_F(NoteMarketTest, EnginesAgreeUnderASteepFuturesDiscount) {
    test::ScopedPaths more{40000};
    for (const char* type : {"snowball", "phoenix"}) {
        SCOPED_TRACE(type);
        const Market m = steep(100.0);
        const auto mc = note(type, "mc")->statistics(m, E);
        const auto qmc = note(type, "qmc")->statistics(m, E);
        const double fd = note(type, "pde")->npv(m, E);
        EXPECT_NEAR(mc.npv, fd, 3 * mc.standard_error);
        EXPECT_NEAR(qmc.npv, fd, 3 * qmc.standard_error + 1e-3);
        // The carry moves the value far beyond the noise: a note that ignored
        // the q curve could not pass the checks above.
        const double flat_q = note(type, "pde")->npv(Market(100.0, m.r, m.vol, RateCurve(0.0)), E);
        EXPECT_GT(std::fabs(flat_q - fd), 20 * mc.standard_error);
    }
}

TEST_F(NoteMarketTest, WithoutVolatilityTheForwardPathKnocksOutWhereTheCurvesSay) {
    // A futures premium (q below zero, steepest first) lifts the forward
    // through the knock-out level 103 from 100 a few months in.
    const Market m(100.0, RateCurve({at("1M", 0.015), at("1Y", 0.025)}), VolCurve(0.0),
                   RateCurve({at("1M", -0.09), at("6M", -0.05), at("1Y", -0.02)}));
    const Date maturity = utils::parse_date("2026-01-05");
    auto forward = [&](const Date& d) {
        const double t = static_cast<double>(d - E) / 365.0;
        return m.spot * std::exp((m.r.zero_rate(E, t) - m.q.zero_rate(E, t)) * t);
    };
    const auto sb = note("snowball", "mc"), ph = note("phoenix", "mc");
    const auto& dates = sb->ko_obs_dates();
    const detail::mc::Grid grid = detail::mc::make_grid(E, maturity);
    const auto pos = detail::mc::positions(grid, dates);
    std::size_t first = dates.size();
    for (std::size_t i = 0; i < dates.size(); ++i)
        if (forward(grid.dates[pos[i]]) > 103.0) {
            first = i;
            break;
        }
    ASSERT_GT(first, 1u);
    ASSERT_LT(first, dates.size());
    // Well clear of the level on either side of that date.
    ASSERT_GT(forward(grid.dates[pos[first]]), 103.01);
    ASSERT_LT(forward(grid.dates[pos[first - 1]]), 102.99);
    const Date out = grid.dates[pos[first]];
    const double discount = m.r.discount(E, static_cast<double>(out - E) / 365.0);
    const double snowball = sb->coupon()[first] * discount;
    double phoenix = 0.0;  // every coupon up to the knock-out, the path staying above 80
    for (std::size_t i = 0; i <= first; ++i)
        phoenix += ph->coupon()[i] * m.r.discount(E, static_cast<double>(grid.dates[pos[i]] - E) / 365.0);
    for (const char* engine : {"mc", "qmc", "pde"}) {
        SCOPED_TRACE(engine);
        EXPECT_NEAR(note("snowball", engine)->npv(m, E), snowball, 1e-12 * snowball);
        EXPECT_NEAR(note("phoenix", engine)->npv(m, E), phoenix, 1e-12 * phoenix);
    }
    const auto life = note("snowball", "mc")->statistics(m, E);
    EXPECT_EQ(life.ko_probability[first], 1.0);
    EXPECT_NEAR(life.expected_life, static_cast<double>(out - E) / 365.0, 1e-12);
}

TEST_F(NoteMarketTest, GreeksBumpTheCurvesAsTheSeparateValuationsDo) {
    const Market m = steep(98.0);
    for (const char* type : {"snowball", "phoenix"})
        for (const char* engine : {"mc", "qmc", "pde"}) {
            SCOPED_TRACE(std::string(type) + " on " + engine);
            const auto n = note(type, engine);
            const OptionGreeks g = n->greeks(m, E);
            EXPECT_EQ(g.npv, n->npv(m, E));
            EXPECT_EQ(g.vega, (n->npv(m.with_vol_shift(kVolBump), E) - n->npv(m.with_vol_shift(-kVolBump), E)) / 2);
            EXPECT_EQ(g.rho, n->npv(m.with_r_shift(-kRateBump), E) - n->npv(m.with_r_shift(kRateBump), E));
            EXPECT_EQ(g.theta, n->npv(m, EvalDate(E + 1)) - n->npv(m, E));
            // carry_rho: the q curve moved, the value rises as the carry falls.
            const double carry = n->carry_rho(m, E);
            EXPECT_EQ(carry, n->npv(m.with_q_shift(-kRateBump), E) - n->npv(m.with_q_shift(kRateBump), E));
            EXPECT_GT(carry, 0.0);
        }
}

TEST_F(NoteMarketTest, AMarketThatCannotBeResolvedIsAValueError) {
    // Total variance falling from 6M to 1Y.
    const Market bad(100.0, RateCurve(0.02), VolCurve({at("6M", 0.4), at("1Y", 0.2)}), RateCurve(0.0));
    for (const char* engine : {"mc", "pde"}) {
        const auto n = note("snowball", engine);
        try {
            n->npv(bad, E);
            ADD_FAILURE() << "valued on " << engine;
        } catch (const ValueError& e) {
            EXPECT_NE(std::string(e.what()).find("vol"), std::string::npos) << e.what();
        }
    }
}

TEST_F(NoteMarketTest, EnginesSayWhatTheyCarry) {
    // The table: each name its engine.
    for (const auto& [name, id] : detail::NOTE_ENGINE_MAP) EXPECT_EQ(detail::note_pricing_engine(id).name(), name);
    // The finite-difference engine has no standard error and no one-pass
    // Greeks: absent, not an error. Its statistics are probabilities.
    const auto sb = note("snowball", "pde");
    const detail::NoteData data{sb->terms(), sb->legs(), sb->maturity_date(), nullptr, detail::pde::Rule::snowball};
    const detail::NoteContext context{E, steep(100.0), detail::NoteCarry{}};
    const detail::NotePricingEngine& pde = detail::note_pricing_engine(detail::NoteEngine::pde);
    const detail::NoteResults r = pde.value(data, context, true, true);
    EXPECT_FALSE(r.standard_error);
    ASSERT_TRUE(r.delta && r.gamma && r.statistics);
    EXPECT_EQ(r.npv, sb->npv(steep(100.0), E));
    EXPECT_FALSE(pde.greeks(data, context, {}));
    EXPECT_FALSE(pde.value(data, context, false, false).statistics);
    // Under the steep carry curve: the engines' probabilities agree.
    test::ScopedPaths more{20000};
    const auto mc = note("snowball", "mc")->statistics(steep(100.0), E);
    const auto& fd = *r.statistics;
    EXPECT_GT(mc.standard_error, 0.0);
    EXPECT_NEAR(fd.ko_total, mc.ko_total, 0.015);
    EXPECT_NEAR(fd.ki_probability, mc.ki_probability, 0.015);
    EXPECT_NEAR(fd.loss_probability, mc.loss_probability, 0.015);
    EXPECT_NEAR(fd.expected_life, mc.expected_life, 0.01);
}

// A valuation's context carries the Monte Carlo settings and the holiday
// table in force where it is made; the engines read those, not the process's
// settings at the time they run.
TEST_F(NoteMarketTest, EnginesValueWithTheSettingsAndHolidaysTheirContextCarries) {
    for (const detail::NoteEngine id : {detail::NoteEngine::mc, detail::NoteEngine::qmc}) {
        const detail::NotePricingEngine& engine = detail::note_pricing_engine(id);
        SCOPED_TRACE(std::string(engine.name()));
        const auto n = note("snowball", std::string(engine.name()).c_str());
        const double at_4000 = n->npv(steep(100.0), E);
        const detail::NoteContext made{E, steep(100.0), detail::NoteCarry{}};
        EXPECT_EQ(made.mc.paths, 4000u);
        double at_1500 = 0;
        {
            test::ScopedPaths other{1500, 7};
            random_sample::set_threads(1);
            at_1500 = n->npv(steep(100.0), E);
            // The settings changed since the context was made: it keeps its own.
            EXPECT_EQ(engine.value(n->note_data(), made, false, false).npv, at_4000);
            random_sample::reset();
        }
        EXPECT_NE(at_1500, at_4000);
        detail::NoteContext own = made;
        own.mc.paths = 1500;
        own.mc.seed = 7;
        EXPECT_EQ(engine.value(n->note_data(), own, false, false).npv, at_1500);
        // Every instruction set and thread count, the same numbers; single
        // precision draws others (pseudo-random shocks only).
        for (const random_sample::Simd simd : random_sample::supported_simd()) {
            detail::NoteContext c = made;
            c.mc.simd = simd;
            c.mc.threads = 3;
            EXPECT_EQ(engine.value(n->note_data(), c, false, false).npv, at_4000) << random_sample::simd_name(simd);
        }
        detail::NoteContext single = made;
        single.mc.draws = random_sample::Draws::single_precision;
        const double at_single = engine.value(n->note_data(), single, false, false).npv;
        if (id == detail::NoteEngine::mc)
            EXPECT_NE(at_single, at_4000);
        else
            EXPECT_EQ(at_single, at_4000);
        detail::NoteContext none = made;
        none.mc.paths = 0;
        EXPECT_THROW(engine.value(n->note_data(), none, false, false), ValueError);
    }
}

TEST_F(NoteMarketTest, EnginesValueUnderTheHolidayTableOfTheirContext) {
    // A 2027 note; an official 2027 list closing the first week of March
    // takes five days off its grid.
    Terms t = test::one_year_note("snowball");
    for (const char* key : {"effect_date", "obs_start_date"}) t.set(key, "2027-01-04");
    for (const char* key : {"maturity_date", "obs_end_date"}) t.set(key, "2028-01-04");
    const Date e = utils::parse_date("2027-01-04");
    const auto list = calendar::read_closures(
        "date,holiday\n2027-03-01,Test\n2027-03-02,Test\n2027-03-03,Test\n2027-03-04,Test\n2027-03-05,Test\n",
        "march.csv");
    for (const char* engine : {"mc", "pde"}) {
        SCOPED_TRACE(engine);
        t.set("engine", engine);
        std::unique_ptr<BaseOption> o = make_option(t);
        auto& n = dynamic_cast<AutocallableNote&>(*o);
        const Market m(100.0, 0.02, 0.25, 0.0);
        const double projected = n.npv(m, e);
        double official = 0;
        std::optional<detail::NoteContext> made;
        {
            const calendar::ScopedClosures closures(list);
            official = n.npv(m, e);
            made.emplace(detail::NoteContext{e, m, detail::NoteCarry{}});
        }
        EXPECT_NE(official, projected);
        // Valued outside the scope (and from another thread), the context's
        // table still holds.
        const detail::NotePricingEngine& pricing = detail::note_pricing_engine(n.engine());
        EXPECT_EQ(pricing.value(n.note_data(), *made, false, false).npv, official);
        double elsewhere = 0;
        std::thread([&] { elsewhere = pricing.value(n.note_data(), *made, false, false).npv; }).join();
        EXPECT_EQ(elsewhere, official);
        EXPECT_EQ(n.npv(m, e), projected);
    }
}
