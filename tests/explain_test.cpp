#include <kestrel/explain.hpp>

#include <kestrel/errors.hpp>
#include <kestrel/runs.hpp>
#include <kestrel/snowball.hpp>
#include <kestrel/utils.hpp>

#include "support/note_support.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>

using namespace kestrel;
using Json = nlohmann::ordered_json;
using QuantLib::Date;

namespace {

Date d(const char* text) { return utils::parse_date(text); }

Json vanilla(const std::string& id, const std::string& call_put, double strike) {
    return Json{{"id", id},
                {"type", "vanilla"},
                {"underlying", "AAA"},
                {"effect_date", "2025-01-02"},
                {"maturity_date", "2025-12-31"},
                {"s0", 100.0},
                {"notional", 1.0},
                {"call_put", call_put},
                {"strike", strike},
                {"exercise_type", "european"},
                {"payoff_type", "plain_vanilla"}};
}

std::string market(double spot, double r, const Json& vol, double q) {
    return Json{{"r", r}, {"underlyings", {{"AAA", {{"vol", vol}, {"q", q}, {"spot", spot}}}, {"NOTE.TEST", {{"vol", vol}, {"q", q}, {"spot", spot}}}}}}
        .dump();
}

const explain::ExplainRow& row_of(const explain::Explanation& e, const std::string& id) {
    for (const auto& r : e.rows)
        if (r.id == id) return r;
    throw std::runtime_error("no row " + id);
}

// Runs saved in a scratch database, valued with Greeks against a store of
// flat closes (100 on every trading day of 2025) unless a test adds its own.
class Explain : public ::testing::Test {
  public:
    std::shared_ptr<heron::MemoryStore> store = std::make_shared<heron::MemoryStore>();
    test::ScopedClient installed{store};
    test::TempDir dir;
    std::string db = dir.file("runs.db");

    void SetUp() override { fill([](const Date&) { return 100.0; }); }

    void fill(const std::function<double(const Date&)>& price) {
        std::vector<std::pair<Date, double>> closes;
        for (const Date& day : store->get_trading_dates(d("2025-01-02"), d("2025-12-31")))
            closes.emplace_back(day, price(day));
        for (const char* u : {"AAA", "NOTE.TEST"}) {
            store->add_closes(u, "pre", closes);
            store->add_closes(u, "none", closes);
        }
    }

    std::int64_t save(const Json& book, const std::string& market_text, const Date& date, bool greeks = true) {
        book::BookOptions o;
        o.evaluation_date = date;
        o.greeks = greeks;
        const auto result = book::value_book(book, book::BookMarket::from_json(Json::parse(market_text)), o);
        EXPECT_EQ(result.failed(), 0u);
        runs::RunInput in{&result, &book, market_text, "market.json", "book.json", {}};
        in.settings["engine"] = "";
        return runs::save_run(db, in);
    }

    explain::Explanation explain(std::int64_t a, std::int64_t b) {
        return explain::explain(db, std::to_string(a), std::to_string(b));
    }
};

void expect_steps_sum(const explain::Explanation& e) {
    for (const auto& r : e.rows) {
        ASSERT_TRUE(r.ok()) << r.id << ": " << r.error->message;
        EXPECT_NEAR(r.steps.sum(), r.total, 1e-12 * (1 + std::abs(r.v1) + std::abs(r.v2))) << r.id;
        EXPECT_DOUBLE_EQ(r.total, r.v2 - r.v1 + r.cash) << r.id;
    }
    for (const auto& t : e.totals) EXPECT_NEAR(t.steps.sum(), t.total, 1e-10) << t.underlying.value_or("book");
}

TEST_F(Explain, StepsTelescopeToTheTotalWithEveryMarketMoveNewAndRemovedContracts) {
    Json book1 = Json::array({vanilla("c90", "call", 90), vanilla("p100", "put", 100), vanilla("gone", "call", 120)});
    Json book2 = Json::array({vanilla("c90", "call", 90), vanilla("p100", "put", 100), vanilla("fresh", "put", 95)});
    const auto a = save(book1, market(100, 0.02, 0.20, 0.01), d("2025-03-03"));
    const Json vol_curve{{"curve", Json::array({Json::array({"3M", 0.24}), Json::array({"1Y", 0.22})})}};
    const auto b = save(book2, market(97, 0.025, vol_curve, 0.015), d("2025-03-10"));
    const auto e = explain(a, b);
    expect_steps_sum(e);

    const auto& c90 = row_of(e, "c90");
    // Every step moved something; the contract held in both runs reproduces the second run's value.
    EXPECT_LT(c90.steps.time, 0.0);
    EXPECT_LT(c90.steps.spot, 0.0);
    EXPECT_GT(c90.steps.vol, 0.0);
    EXPECT_NE(c90.steps.rates, 0.0);
    EXPECT_EQ(c90.steps.trades, 0.0);
    EXPECT_EQ(c90.moves.days, 7);
    EXPECT_DOUBLE_EQ(c90.moves.spot2 - c90.moves.spot1, -3.0);
    EXPECT_EQ(row_of(e, "p100").steps.trades, 0.0);

    const auto& gone = row_of(e, "gone");
    EXPECT_EQ(gone.v2, 0.0);
    ASSERT_EQ(gone.events.size(), 1u);
    EXPECT_EQ(gone.events[0].kind, "removed");
    EXPECT_LT(gone.steps.trades, 0.0);  // its value on the second market, given up

    const auto& fresh = row_of(e, "fresh");
    EXPECT_EQ(fresh.v1, 0.0);
    EXPECT_EQ(fresh.steps.trades, fresh.v2);
    EXPECT_EQ(fresh.total, fresh.v2);
    ASSERT_EQ(fresh.events.size(), 1u);
    EXPECT_EQ(fresh.events[0].kind, "new");

    // One underlying, then the book: both sum the rows.
    ASSERT_EQ(e.totals.size(), 2u);
    EXPECT_EQ(*e.totals[0].underlying, "AAA");
    EXPECT_FALSE(e.totals[1].underlying);
    double total = 0;
    for (const auto& r : e.rows) total += r.total;
    EXPECT_NEAR(e.totals[1].total, total, 1e-12);
    EXPECT_EQ(e.totals[1].contracts, 4u);

    // The json carries the same numbers under the documented keys.
    const Json j = explain::explain_to_json(e);
    ASSERT_EQ(j["rows"].size(), 4u);
    EXPECT_EQ(j["rows"][0]["id"], "c90");
    EXPECT_EQ(j["rows"][0]["steps"]["spot"].get<double>(), c90.steps.spot);
    EXPECT_EQ(j["rows"][0]["greeks"]["unexplained"].get<double>(), c90.greeks->unexplained);
    EXPECT_EQ(j["totals"][1]["id"], "book");

    // The page: one waterfall per underlying and one for the book, each ending at v2.
    const std::string html = explain::explain_html(e);
    std::size_t svgs = 0;
    for (auto at = html.find("<svg"); at != std::string::npos; at = html.find("<svg", at + 1)) ++svgs;
    EXPECT_EQ(svgs, 2u);
    EXPECT_NE(html.find("<title>trades: "), std::string::npos);
}

// Unexplained rest of a European call whose spot alone moves by a fraction h.
double unexplained_after_spot_move(Explain& t, double h, int k) {
    const Json book = Json::array({vanilla("c", "call", 100)});
    const auto a = t.save(book, market(100, 0.02, 0.2, 0.01), d("2025-03-03"));
    const auto b = t.save(book, market(100 * (1 + h), 0.02, 0.2, 0.01), d("2025-03-03"));
    const auto e = explain::explain(t.db, std::to_string(a), std::to_string(b));
    const auto& r = e.rows.at(0);
    EXPECT_EQ(r.steps.spot, r.total) << k;  // nothing else moved
    EXPECT_EQ(r.greeks->theta, 0.0);
    EXPECT_EQ(r.greeks->vega, 0.0);
    // Delta and gamma carry nearly all of it.
    EXPECT_LT(std::abs(r.greeks->unexplained), 0.03 * std::abs(r.total)) << h;
    return r.greeks->unexplained;
}

TEST_F(Explain, TheGreekSplitsRestOnASpotMoveIsOfOrderDsCubed) {
    const double u1 = unexplained_after_spot_move(*this, 0.03, 1);
    const double u2 = unexplained_after_spot_move(*this, 0.06, 2);
    const double u3 = unexplained_after_spot_move(*this, 0.12, 3);
    // Doubling the move multiplies the rest by about 2^3.
    EXPECT_NEAR(u2 / u1, 8.0, 1.5);
    EXPECT_NEAR(u3 / u2, 8.0, 1.5);
}

TEST_F(Explain, RhoAndCarryTermsFollowTheirSignConvention) {
    const Json book = Json::array({vanilla("c", "call", 100)});
    const auto a = save(book, market(100, 0.02, 0.2, 0.01), d("2025-03-03"));
    const auto b = save(book, market(100, 0.025, 0.2, 0.01), d("2025-03-03"));
    const auto r = explain(a, b).rows.at(0);
    EXPECT_GT(r.total, 0.0);  // a call gains when rates rise
    EXPECT_EQ(r.total, r.steps.rates);
    EXPECT_NEAR(r.moves.dr, 0.005, 1e-15);
    EXPECT_NEAR(r.greeks->rho, r.total, 0.02 * r.total);

    const auto c = save(book, market(100, 0.02, 0.2, 0.02), d("2025-03-03"));
    const auto s = explain(a, c).rows.at(0);
    EXPECT_LT(s.total, 0.0);  // and loses when the carry does
    EXPECT_NEAR(s.greeks->carry_rho, s.total, 0.03 * std::abs(s.total));

    // A vol curve moved in parallel: dvol at the maturity is the shift.
    const Json v1{{"curve", Json::array({Json::array({"3M", 0.20}), Json::array({"2Y", 0.22})})}};
    const Json v2{{"curve", Json::array({Json::array({"3M", 0.21}), Json::array({"2Y", 0.23})})}};
    const auto f = save(book, market(100, 0.02, v1, 0.01), d("2025-03-03"));
    const auto g = save(book, market(100, 0.02, v2, 0.01), d("2025-03-03"));
    const auto v = explain(f, g).rows.at(0);
    EXPECT_NEAR(v.moves.dvol, 0.01, 1e-4);
    EXPECT_EQ(v.total, v.steps.vol);
    EXPECT_NEAR(v.greeks->vega, v.total, 0.02 * v.total);
}

TEST_F(Explain, ANoteKnockedOutBetweenTheRunsShowsItsCouponAsCashAndNothingAfter) {
    Terms terms = test::one_year_note("snowball");
    const Date ko = SnowBallOption(terms).ko_obs_dates().at(1);
    fill([&](const Date& day) { return day == ko ? 110.0 : 100.0; });
    SnowBallOption probe(terms);
    Json note = Json::parse(terms.to_json().dump());
    note["id"] = "note";
    note["engine"] = "pde";
    const Json book = Json::array({note, vanilla("c", "call", 100)});
    const Date d1 = ko - 3, d2 = ko + 2;
    const auto a = save(book, market(100, 0.02, 0.2, 0.0), d1);
    const auto b = save(book, market(100, 0.02, 0.2, 0.0), d2);
    const auto e = explain(a, b);
    expect_steps_sum(e);
    const auto& r = row_of(e, "note");
    EXPECT_GT(r.v1, 0.0);
    EXPECT_EQ(r.v2, 0.0);
    EXPECT_EQ(r.cash, probe.coupon().at(1));
    EXPECT_DOUBLE_EQ(r.total, r.cash - r.v1);
    EXPECT_GT(r.total, -0.5 * r.v1);  // the coupon replaces the value: no loss of the note's worth
    EXPECT_DOUBLE_EQ(r.steps.time, r.total);  // the history and its cash fall in the time step
    EXPECT_EQ(r.steps.spot, 0.0);
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0].kind, "knock_out");
    EXPECT_EQ(r.events[0].date, ko);
    EXPECT_EQ(r.events[0].amount, r.cash);
}

TEST_F(Explain, RunsByDateTakeThatDatesLatestAndBadReferencesAreErrors) {
    const Json book = Json::array({vanilla("c", "call", 100)});
    const auto a = save(book, market(100, 0.02, 0.2, 0.01), d("2025-03-03"));
    const auto b = save(book, market(101, 0.02, 0.2, 0.01), d("2025-03-03"));
    const auto c = save(book, market(102, 0.02, 0.2, 0.01), d("2025-03-04"));
    EXPECT_EQ(explain::resolve_run(db, "2025-03-03"), b);
    EXPECT_EQ(explain::resolve_run(db, std::to_string(a)), a);
    EXPECT_THROW(explain::resolve_run(db, "2025-03-05"), KeyError);
    EXPECT_THROW(explain::resolve_run(db, "yesterday"), ValueError);
    EXPECT_THROW(explain(c, a), ValueError);  // backwards
    EXPECT_THROW(explain(a, 99), KeyError);

    // Without Greeks in the first run there is no Greek split, only the steps.
    const auto n = save(book, market(100, 0.02, 0.2, 0.01), d("2025-03-04"), false);
    const auto e = explain(n, c);
    EXPECT_FALSE(e.rows.at(0).greeks);
    EXPECT_FALSE(e.totals.back().greeks);
    std::ostringstream table;
    explain::write_explain_table(table, e);
    EXPECT_NE(table.str().find("saved without Greeks"), std::string::npos);
}

TEST_F(Explain, AContractThatFailedInARunIsAnErrorRowLeftOutOfTheTotals) {
    Json book = Json::array({vanilla("c", "call", 100), Json{{"id", "broken"}, {"type", "vanilla"}}});
    book::BookOptions o;
    o.evaluation_date = d("2025-03-03");
    o.greeks = true;
    const std::string m = market(100, 0.02, 0.2, 0.01);
    const auto result = book::value_book(book, book::BookMarket::from_json(Json::parse(m)), o);
    runs::RunInput in{&result, &book, m, "market.json", "book.json", {}};
    const auto a = runs::save_run(db, in);
    const auto e = explain(a, a);
    EXPECT_EQ(e.failed(), 1u);
    EXPECT_NE(row_of(e, "broken").error->message.find("failed"), std::string::npos);
    EXPECT_EQ(e.totals.back().failed, 1u);
    EXPECT_EQ(row_of(e, "c").total, 0.0);
    EXPECT_EQ(row_of(e, "c").steps.trades, 0.0);
    std::ostringstream csv;
    explain::write_explain_csv(csv, e);
    EXPECT_NE(csv.str().find("contract,broken"), std::string::npos);
}

}  // namespace
