// The autocallable notes under a local volatility: a surface of one implied
// volatility everywhere values as that flat volatility (mc on the same draws
// to rounding, pde within its tolerance); under the surface calibrated to the
// SSE 50 ETF options the three engines agree; the grid the paths read
// reproduces the surface's local volatility; the market keeps the surface's
// at-the-money term structure, its theta offset and its vega shifts.
#include <kestrel/engines/mc/kernel.hpp>
#include <kestrel/engines/pde/notes.hpp>
#include <kestrel/kestrel.hpp>
#include <kestrel/market/calibrated_surface.hpp>
#include <kestrel/notes/engine.hpp>
#include <kestrel/notes/note.hpp>

#include "support/note_support.hpp"
#include "support/surface_support.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

using namespace kestrel;
using QuantLib::Date;

namespace {

using test::flat_surface;
using test::k510050;

std::unique_ptr<AutocallableNote> as_note(Terms t) {
    std::unique_ptr<BaseOption> o = make_option(t);
    auto* n = dynamic_cast<AutocallableNote*>(o.get());
    if (!n) throw std::logic_error("not a note");
    o.release();
    return std::unique_ptr<AutocallableNote>(n);
}

// The 6-month note on the ETF from 2023-12-04: knock-in 85 % daily,
// knock-out 100 % monthly.
Terms six_month_note(const std::string& type, const std::string& engine,
                     const std::string& maturity = "2024-06-04") {
    return Terms{{"type", type},           {"effect_date", "2023-12-04"}, {"maturity_date", maturity},
                 {"underlying", "NOTE.TEST"}, {"s0", 2.367},             {"notional", 1.0},
                 {"strike", 2.367},        {"ki_barrier", 0.85 * 2.367}, {"ko_barrier", 2.367},
                 {"coupon_rate", 0.07},    {"ki_obs_freq", "daily"},     {"ko_obs_freq", "monthly"},
                 {"obs_start_date", "2023-12-04"}, {"obs_end_date", maturity}, {"engine", engine}};
}

class LocalVolNotesTest : public ::testing::Test {
  protected:
    std::shared_ptr<test::CountingClient> client = std::make_shared<test::CountingClient>();
    test::ScopedClient scoped{client};
    test::ScopedPaths paths{4000};
    const Date E = utils::parse_date("2025-01-02");
};

}  // namespace

TEST_F(LocalVolNotesTest, ASurfaceOfOneVolatilityValuesAsThatFlatVolatility) {
    const Market flat(97.0, 0.02, 0.22, 0.01);
    const Market local(97.0, RateCurve(0.02), VolCurve(flat_surface(97.0, 0.22, E)), RateCurve(0.01));
    ASSERT_FALSE(local.is_flat());
    EXPECT_NEAR(local.vol.variance(E, 0.7), 0.22 * 0.22 * 0.7, 1e-15);
    for (const char* type : {"snowball", "phoenix"}) {
        Terms t = test::one_year_note(type);
        for (const char* engine : {"mc", "pde"}) {
            SCOPED_TRACE(std::string(type) + " on " + engine);
            t.set("engine", engine);
            const auto n = as_note(t);
            const double tol = std::string(engine) == "pde" ? 1e-6 * 100.0 : 1e-9 * 100.0;
            EXPECT_NEAR(n->npv(local, E), n->npv(flat, E), tol);
            const auto ladder = n->spot_ladder({90.0, 104.0}, local, E, true);
            const auto plain = n->spot_ladder({90.0, 104.0}, 0.02, 0.22, 0.01, E, true);
            for (std::size_t k = 0; k < 2; ++k) {
                EXPECT_NEAR(ladder[k].npv, plain[k].npv, tol);
                EXPECT_NEAR(ladder[k].delta, plain[k].delta, std::string(engine) == "pde" ? 1e-4 : 1e-6);
            }
            const auto f = n->fair_coupon_rate(flat, E), g = n->fair_coupon_rate(local, E);
            EXPECT_NEAR(g.fair_coupon_rate, f.fair_coupon_rate, std::string(engine) == "pde" ? 1e-6 : 1e-9);
        }
        // qmc falls back to plain paths under a local volatility: the same
        // value within its standard errors, not the same numbers.
        t.set("engine", "qmc");
        const auto n = as_note(t);
        const auto a = n->statistics(flat, E), b = n->statistics(local, E);
        EXPECT_NEAR(b.npv, a.npv, 3 * std::hypot(a.standard_error, b.standard_error) + 1e-9);
        EXPECT_GT(b.standard_error, a.standard_error);  // no conditional payoff
    }
}

TEST_F(LocalVolNotesTest, TheGridThePathsReadIsTheSurfacesLocalVolatility) {
    const Date D = utils::parse_date("2023-12-04");
    const Market market(2.367, 0.02, 0.0, 0.0);
    const auto surface = vol::CalibratedSurface::calibrate(vol::read_quotes(k510050, D), market, D);
    Market m = market;
    m.vol = VolCurve(surface);
    m.q = surface->implied_carry();
    const auto grid = detail::mc::make_grid(D, utils::parse_date("2024-06-04"));
    const auto model = detail::mc::make_model(grid, D, m);
    ASSERT_TRUE(model.local);
    // Row j at the start of step j, between nodes 0.5 % apart in log price.
    double worst = 0;
    for (std::size_t j = 0; j < grid.size(); j += 7) {
        const double start = j == 0 ? 0.0 : static_cast<double>(grid.dates[j - 1] - D) / 365.0;
        for (double s = 1.6; s < 3.2; s += 0.0137) {
            const double want = surface->surface().local_vol(start, s);
            worst = std::max(worst, std::fabs(model.local->at(j, std::log(s)) - want) / want);
        }
    }
    EXPECT_LT(worst, 2e-3);
    RecordProperty("grid_worst_relative_error", std::to_string(worst));
    std::printf("local volatility grid: %zu days x %zu nodes, worst relative error %.2e\n", grid.size(),
                model.local->nodes, worst);
    // The market reads the surface's at-the-money term structure, from a
    // later date as the forward variance.
    const double T = surface->expiry_times()[1];
    EXPECT_NEAR(m.vol.variance(D, T), surface->atm_variance(T), 1e-15);
    EXPECT_NEAR(m.vol.variance(D + 10, T - 10 / 365.0), surface->atm_variance(T) - surface->atm_variance(10 / 365.0),
                1e-15);
    // A vega shift is calibrated once and shared.
    const auto up = m.with_vol_shift(0.01), again = m.with_vol_shift(0.01);
    EXPECT_EQ(up.vol.surface(), again.vol.surface());
    EXPECT_NEAR(std::sqrt(up.vol.variance(D, T) / T), std::sqrt(m.vol.variance(D, T) / T) + 0.01, 2e-3);
    const auto bucket = m.with_vol_shift(std::size_t{0}, 0.01);
    EXPECT_NEAR(bucket.vol.variance(D, surface->expiry_times()[3]), m.vol.variance(D, surface->expiry_times()[3]),
                1e-3 * m.vol.variance(D, surface->expiry_times()[3]));
    EXPECT_THROW(m.with_vol_shift(std::size_t{9}, 0.01), IndexError);
}

TEST_F(LocalVolNotesTest, TheEnginesAgreeUnderTheCalibratedEtfSurface) {
    test::ScopedPaths more{40000};
    const Date D = utils::parse_date("2023-12-04");
    const Market market(2.367, 0.02, 0.0, 0.0);
    const auto surface = vol::CalibratedSurface::calibrate(vol::read_quotes(k510050, D), market, D);
    Market m = market;
    m.vol = VolCurve(surface);
    m.q = surface->implied_carry();
    for (const char* type : {"snowball", "phoenix"}) {
        SCOPED_TRACE(type);
        const double pde = as_note(six_month_note(type, "pde"))->npv(m, D);
        for (const char* engine : {"mc", "qmc"}) {
            SCOPED_TRACE(engine);
            const auto s = as_note(six_month_note(type, engine))->statistics(m, D);
            EXPECT_GT(s.standard_error, 0);
            EXPECT_NEAR(s.npv, pde, 3 * s.standard_error);
        }
        // The smile is worth something to the note: the at-the-money
        // volatility (15.1 %) values it differently from the surface.
        const Market atm(2.367, RateCurve(0.02), VolCurve(0.151), m.q);
        EXPECT_GT(std::fabs(as_note(six_month_note(type, "pde"))->npv(atm, D) - pde), 1e-3);
    }
}

// The pde holds the local volatility over each stretch between
// observations (a day, or a weekend's three): the same values as taking it
// at every step's start within a few hundred-thousandths of the notional,
// and fair coupons within 0.01 % (desks quote 0.1 %).
TEST_F(LocalVolNotesTest, TheLocalVolatilityHeldBetweenObservationsValuesAsOneTakenEveryStep) {
    const Date D = utils::parse_date("2023-12-04");
    const Market market(2.367, 0.02, 0.0, 0.0);
    const auto surface = vol::CalibratedSurface::calibrate(vol::read_quotes(k510050, D), market, D);
    const Market m(2.367, RateCurve(0.02), VolCurve(surface), surface->implied_carry());
    detail::pde::Settings every;
    every.local_vol_hold = 0;
    for (const char* type : {"snowball", "phoenix"})
        for (const char* maturity : {"2024-06-04", "2024-12-04"}) {
            SCOPED_TRACE(std::string(type) + " to " + maturity);
            const auto n = as_note(six_month_note(type, "pde", maturity));
            const auto rule = std::string(type) == "snowball" ? detail::pde::Rule::snowball : detail::pde::Rule::phoenix;
            auto note = [&](double shift) {
                return detail::pde_note(n->terms(), rule, n->legs(), D, n->maturity_date(), m, false, shift);
            };
            ASSERT_TRUE(note(0).local_vol);
            auto fair = [&](const detail::pde::Settings& s) {
                const double v0 = detail::pde::solve(note(0), m.spot, false, s).npv;
                const double v1 = detail::pde::solve(note(1), m.spot, false, s).npv;
                return std::array<double, 2>{v0, 0.07 - v0 / (v1 - v0)};
            };
            const auto held = fair({}), exact = fair(every);
            std::printf("%s to %s: npv held %.8f every step %.8f; fair coupon %.6f %% against %.6f %%\n", type,
                        maturity, held[0], exact[0], 100 * held[1], 100 * exact[1]);
            EXPECT_NE(held[0], exact[0]);
            EXPECT_NEAR(held[0], exact[0], 5e-5);
            EXPECT_NEAR(held[1], exact[1], 1e-4);
        }
    detail::pde::Settings bad;
    bad.local_vol_hold = -1.0 / 365;
    EXPECT_THROW(detail::pde::check(bad), ValueError);
}

// The QuantLib products under a surface: vanillas on QuantLib's finite
// differences with the process's local volatility; a product without a
// local-volatility engine (an American plain-vanilla barrier) refuses the
// surface by name.
TEST_F(LocalVolNotesTest, VanillasValueOnTheLocalVolatilityAndTheOthersRefuseIt) {
    auto vanilla = [](const char* call_put, double strike, const char* exercise, const char* maturity) {
        return make_option(Terms{{"type", "vanilla"},       {"effect_date", "2023-12-04"}, {"maturity_date", maturity},
                                 {"underlying", "NOTE.TEST"}, {"s0", 2.367},             {"notional", 1.0},
                                 {"call_put", call_put},     {"strike", strike},          {"exercise_type", exercise},
                                 {"payoff_type", "plain_vanilla"}});
    };
    const Date D = utils::parse_date("2023-12-04");
    // One volatility everywhere: the analytic value within the mesh's error.
    const Market flat(2.367, 0.02, 0.2, 0.0);
    const Market one(2.367, RateCurve(0.02), VolCurve(flat_surface(2.367, 0.2, D)), RateCurve(0.0));
    for (const char* exercise : {"european", "american"}) {
        const auto o = vanilla("put", 2.3, exercise, "2024-06-26");
        EXPECT_NEAR(o->npv(one, D), o->npv(flat, D), 2e-3 * o->npv(flat, D)) << exercise;
    }
    // The calibrated surface reprices a quoted put within its fit (0.5 vol
    // points) plus the mesh's error: between the flat values 0.6 points
    // either side of the quote's implied volatility.
    const Market market(2.367, 0.02, 0.0, 0.0);
    const auto surface = vol::CalibratedSurface::calibrate(vol::read_quotes(k510050, D), market, D);
    const Market m(2.367, RateCurve(0.02), VolCurve(surface), surface->implied_carry());
    const auto& table = surface->calibration()->table;
    // The June put nearest 95 % of spot that the fit used.
    auto quote = table.end();
    for (auto it = table.begin(); it != table.end(); ++it)
        if (it->quote.expiry == utils::parse_date("2024-06-26") && it->quote.type == vol::OptionType::Put &&
            (quote == table.end() || std::fabs(it->quote.strike - 2.25) < std::fabs(quote->quote.strike - 2.25)))
            quote = it;
    ASSERT_NE(quote, table.end());
    const auto put = vanilla("put", quote->quote.strike, "european", "2024-06-26");
    const double local = put->npv(m, D);
    auto at = [&](double v) { return put->npv(Market(2.367, RateCurve(0.02), VolCurve(v), m.q), D); };
    EXPECT_GT(local, at(quote->implied_vol - 0.006));
    EXPECT_LT(local, at(quote->implied_vol + 0.006));
    // The smile's skew: a put far below spot is worth more than at the
    // at-the-money volatility.
    const auto low = vanilla("put", 2.0, "european", "2024-06-26");
    EXPECT_GT(low->npv(m, D), low->npv(Market(2.367, RateCurve(0.02), VolCurve(0.151), m.q), D));

    const auto barrier = make_option(Terms{{"type", "barrier"}, {"effect_date", "2023-12-04"},
                                           {"maturity_date", "2024-06-26"}, {"underlying", "NOTE.TEST"},
                                           {"s0", 2.367}, {"notional", 1.0}, {"call_put", "put"},
                                           {"barrier_type", "down_and_in"}, {"strike", 2.367}, {"barrier", 2.0},
                                           {"exercise_type", "american"}, {"payoff_type", "plain_vanilla"}});
    try {
        (void)barrier->npv(m, D);
        ADD_FAILURE() << "an American barrier under a surface valued";
    } catch (const NotImplementedError& e) {
        EXPECT_NE(std::string(e.what()).find("no local-volatility engine"), std::string::npos) << e.what();
    } catch (const Error& e) {
        ADD_FAILURE() << e.what();
    }
}
