#include <kestrel/backtest.hpp>

#include <kestrel/errors.hpp>
#include <kestrel/snowball.hpp>
#include <kestrel/utils.hpp>

#include "support/note_support.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

using namespace kestrel;
using Json = nlohmann::ordered_json;
using QuantLib::Date;

namespace {

Date d(const char* text) { return utils::parse_date(text); }

book::BookMarket flat_market(const std::string& underlying, double r, double vol, double q) {
    return book::BookMarket::from_json(Json{{"r", r}, {"underlyings", {{underlying, {{"vol", vol}, {"q", q}}}}}});
}

double stdev(const std::vector<double>& x) {
    double m = 0;
    for (double v : x) m += v;
    m /= static_cast<double>(x.size());
    double s = 0;
    for (double v : x) s += (v - m) * (v - m);
    return std::sqrt(s / static_cast<double>(x.size() - 1));
}

double split_sum(const backtest::Result& r) { return r.gamma_pnl + r.theta_pnl + r.unhedged + r.jump + r.other; }

TEST(Backtest, HedgingSimulatedPathsAtTheirVolTheErrorShrinksLikeTheRootOfTheStep) {
    auto store = std::make_shared<heron::MemoryStore>();
    test::ScopedClient installed(store);
    const double vol = 0.2, r = 0.02, s0 = 100;
    const auto days = store->get_trading_dates(d("2025-01-02"), d("2025-04-30"));
    const Date maturity = days.back();
    constexpr int kPaths = 160;
    std::mt19937_64 rng(20250102);
    std::normal_distribution<double> z;
    for (int p = 0; p < kPaths; ++p) {
        std::vector<std::pair<Date, double>> closes{{days[0], s0}};
        for (std::size_t i = 1; i < days.size(); ++i) {
            const double dt = static_cast<double>(days[i] - days[i - 1]) / 365.0;
            closes.emplace_back(days[i], closes.back().second * std::exp((r - 0.5 * vol * vol) * dt + vol * std::sqrt(dt) * z(rng)));
        }
        store->add_closes("GBM." + std::to_string(p), "pre", closes);
        store->add_closes("GBM." + std::to_string(p), "none", closes);
    }
    std::vector<double> daily, every4;
    for (int p = 0; p < kPaths; ++p) {
        const std::string u = "GBM." + std::to_string(p);
        const Json call{{"id", "call"},       {"type", "vanilla"},           {"underlying", u},
                        {"effect_date", "2025-01-02"}, {"maturity_date", utils::format_date(maturity)},
                        {"s0", s0},           {"notional", 1.0},              {"call_put", "call"},
                        {"strike", s0},       {"exercise_type", "european"},  {"payoff_type", "plain_vanilla"}};
        const auto market = flat_market(u, r, vol, 0.0);
        backtest::Options o;
        o.from = days[0];
        const auto a = backtest::run_backtest(call, market, o);
        o.rebalance_every = 4;
        const auto b = backtest::run_backtest(call, market, o);
        // Held to expiry: the payoff paid, the shares sold, nothing left.
        ASSERT_EQ(a.days.back().date, maturity);
        EXPECT_EQ(a.days.back().value, 0.0);
        EXPECT_EQ(a.days.back().held, 0.0);
        EXPECT_NEAR(a.cash_paid, std::max(a.days.back().spot - s0, 0.0), 1e-12);
        EXPECT_NEAR(split_sum(a), a.pnl, 1e-9);
        daily.push_back(a.pnl);
        every4.push_back(b.pnl);
    }
    const double premium_scale = 0.4 * vol * std::sqrt(static_cast<double>(maturity - days[0]) / 365.0) * s0;
    const double sd1 = stdev(daily), sd4 = stdev(every4);
    // A small error against the premium, about twice as large (sqrt 4) rebalancing a quarter as
    // often. (Measured on 400 paths: 1.30, 1.32, 1.37, 1.32 per doubling of the step from 1 to 16
    // closes, the variance close to linear in the step with a small floor from the discrete
    // daily closes themselves.)
    EXPECT_LT(sd1, 0.15 * premium_scale);
    EXPECT_GT(sd4 / sd1, 1.45) << sd1 << " " << sd4;
    EXPECT_LT(sd4 / sd1, 2.3) << sd1 << " " << sd4;
}

TEST(Backtest, ANoteOnTheBundledHistoryReproducesAndStartsAtTheBooksValue) {
    test::ScopedClient installed(test::bundled_store());
    std::ifstream in(test::data_dir() + "/../examples/book.json");
    ASSERT_TRUE(in) << "examples/book.json";
    const Json book = Json::parse(in);
    Json note;
    for (const auto& c : book)
        if (c["id"] == "snowball-limited-loss-csi500-2411") note = c;
    ASSERT_TRUE(note.is_object());
    const Json market_json = Json::parse(R"({"r": 0.016, "underlyings": {"000905.XSHG": {"vol": 0.24, "q": 0.015}}})");
    const auto market = book::BookMarket::from_json(market_json);
    backtest::Options o;
    o.from = d("2024-11-01");
    o.to = d("2025-01-31");
    o.engine = "pde";
    const auto a = backtest::run_backtest(note, market, o);
    const auto b = backtest::run_backtest(note, market, o);
    EXPECT_EQ(backtest::backtest_to_json(a).dump(), backtest::backtest_to_json(b).dump());
    EXPECT_EQ(a.days.back().date, d("2025-01-27"));  // the last close before the Spring Festival
    EXPECT_EQ(a.end, "the end date");

    // Sold at the value the book gives it that day.
    book::BookOptions bo;
    bo.evaluation_date = o.from;
    bo.engine = "pde";
    const auto valued = book::value_book(Json::array({note}), market, bo);
    ASSERT_TRUE(valued.rows.at(0).ok());
    EXPECT_EQ(a.premium, valued.rows[0].value.npv);
    EXPECT_EQ(a.days.front().pnl, 0.0);
    for (const auto& day : a.days) EXPECT_NEAR(day.pnl, day.hedge - day.value, 1e-9);
    EXPECT_NEAR(split_sum(a), a.pnl, 1e-9);
    // A monthly note: its observation dates are the days whose rest is a jump.
    int observed = 0;
    for (const auto& day : a.days) observed += day.observation;
    EXPECT_GE(observed, 2);

    // Weekly holds each delta five closes.
    o.rebalance_every = backtest::parse_rebalance("weekly");
    const auto w = backtest::run_backtest(note, market, o);
    EXPECT_EQ(w.days[1].held, w.days[0].held);
    EXPECT_TRUE(w.days[5].rebalanced);
    EXPECT_FALSE(w.days[4].rebalanced);
    EXPECT_EQ(a.unhedged, 0.0);  // every close rebalanced: nothing unhedged
    EXPECT_NE(w.unhedged, 0.0);
    EXPECT_NEAR(split_sum(w), w.pnl, 1e-9);
    EXPECT_EQ(w.gamma_pnl, a.gamma_pnl);  // the same closes, values and gammas

    const std::string html = backtest::backtest_html(a);
    EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_NE(html.find("ko_barrier"), std::string::npos);
    std::size_t svgs = 0;
    for (auto at = html.find("<svg"); at != std::string::npos; at = html.find("<svg", at + 1)) ++svgs;
    EXPECT_EQ(svgs, 3u);
}

TEST(Backtest, ANoteKnockedOutPaysItsCouponAndTheHedgeIsUnwoundThatDay) {
    auto store = std::make_shared<heron::MemoryStore>();
    test::ScopedClient installed(store);
    Terms terms = test::one_year_note("snowball");
    SnowBallOption probe(terms);
    const Date ko = probe.ko_obs_dates().at(2);
    std::vector<std::pair<Date, double>> closes;
    for (const Date& day : store->get_trading_dates(d("2025-01-02"), d("2025-12-31")))
        closes.emplace_back(day, day == ko ? 110.0 : 100.0 + 0.5 * std::sin(static_cast<double>(day.serialNumber())));
    store->add_closes("NOTE.TEST", "pre", closes);
    store->add_closes("NOTE.TEST", "none", closes);
    Json note = Json::parse(terms.to_json().dump());
    note["engine"] = "pde";
    backtest::Options o;
    o.from = d("2025-01-02");
    const auto r = backtest::run_backtest(note, flat_market("NOTE.TEST", 0.02, 0.2, 0.0), o);
    const auto& last = r.days.back();
    EXPECT_EQ(last.date, ko);
    EXPECT_NE(r.end.find("knock_out"), std::string::npos);
    EXPECT_EQ(r.cash_paid, probe.coupon().at(2));
    ASSERT_EQ(last.flows.size(), 1u);
    EXPECT_EQ(last.value, 0.0);
    EXPECT_EQ(last.held, 0.0);
    EXPECT_EQ(last.pnl, last.cash);  // unwound: the cash is all that is left
    EXPECT_TRUE(last.observation);
    EXPECT_EQ(last.other, 0.0);
    EXPECT_NEAR(split_sum(r), r.pnl, 1e-9);
}

TEST(Backtest, BadInputsAreNamedErrors) {
    auto store = std::make_shared<heron::MemoryStore>();
    test::ScopedClient installed(store);
    store->add_closes("AAA", "pre", {{d("2025-01-02"), 100.0}, {d("2025-01-03"), 101.0}});
    const Json call{{"type", "vanilla"},    {"underlying", "AAA"},   {"effect_date", "2025-01-02"},
                    {"maturity_date", "2025-06-30"}, {"s0", 100.0},  {"notional", 1.0},
                    {"call_put", "call"},   {"strike", 100.0},       {"exercise_type", "european"},
                    {"payoff_type", "plain_vanilla"}};
    const auto market = flat_market("AAA", 0.02, 0.2, 0.0);
    backtest::Options o;
    o.from = d("2025-01-06");  // no close
    EXPECT_THROW(backtest::run_backtest(call, market, o), ValueError);
    o.from = d("2025-01-02");
    o.to = d("2025-01-01");
    EXPECT_THROW(backtest::run_backtest(call, market, o), ValueError);
    o.to.reset();
    o.rebalance_every = 0;
    EXPECT_THROW(backtest::run_backtest(call, market, o), ValueError);
    o.rebalance_every = 1;
    EXPECT_THROW(backtest::run_backtest(Json::array(), market, o), TypeError);
    EXPECT_THROW(backtest::run_backtest(call, flat_market("BBB", 0.02, 0.2, 0.0), o), Error);
    EXPECT_THROW(backtest::parse_rebalance("hourly"), ValueError);
    // Two closes: one day hedged, the store's last close ends it.
    const auto r = backtest::run_backtest(call, market, o);
    EXPECT_EQ(r.days.size(), 2u);
    EXPECT_EQ(r.end, "the store's last close");
}

}  // namespace
