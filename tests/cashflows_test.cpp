#include <kestrel/cashflows.hpp>

#include <kestrel/barrier.hpp>
#include <kestrel/kestrel.hpp>
#include <kestrel/phoenix.hpp>
#include <kestrel/snowball.hpp>
#include <kestrel/utils.hpp>

#include "support/note_support.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sstream>

using namespace kestrel;
using QuantLib::Date;
using Json = nlohmann::ordered_json;

namespace {

Date d(const char* text) { return utils::parse_date(text); }

// A store whose instrument NOTE.TEST closes at price(day) on every trading
// day from 2025-01-02 to `last` (both adjust types).
struct History {
    std::shared_ptr<heron::MemoryStore> store = std::make_shared<heron::MemoryStore>();
    test::ScopedClient installed{store};

    void fill(const Date& last, const std::function<double(const Date&)>& price) {
        std::vector<std::pair<Date, double>> closes;
        for (const Date& day : store->get_trading_dates(d("2025-01-02"), last)) closes.emplace_back(day, price(day));
        store->add_closes("NOTE.TEST", "pre", closes);
        store->add_closes("NOTE.TEST", "none", closes);
    }
};

// The single flow of a list, checked to be the only one.
CashFlow only(const std::vector<CashFlow>& flows) {
    EXPECT_EQ(flows.size(), 1u);
    return flows.at(0);
}

TEST(CashflowsNotes, SnowballKnockOutPaysThatDatesCouponOnceAndTheHistoryCheckAgrees) {
    History h;
    test::ScopedPaths paths(2000);
    Terms terms = test::one_year_note("snowball");
    SnowBallOption probe(terms);
    const Date ko = probe.ko_obs_dates().at(3);  // the fourth monthly date
    h.fill(d("2026-01-05"), [&](const Date& day) { return day == ko ? 110.0 : 100.0; });
    SnowBallOption note(terms);

    const CashFlow f = only(cashflows(note, d("2025-01-02"), d("2026-01-05")));
    EXPECT_EQ(f.date, ko);
    EXPECT_EQ(f.kind, "knock_out");
    EXPECT_DOUBLE_EQ(f.amount, 100.0 * 0.2 * static_cast<double>(ko - d("2025-01-02")) / 365.0);
    EXPECT_EQ(f.amount, note.coupon().at(3));
    EXPECT_DOUBLE_EQ(f.level, 110.0);
    // (from, to]: a valuation on the knock-out date already counts it.
    EXPECT_TRUE(cashflows(note, ko, d("2026-01-05")).empty());
    EXPECT_EQ(only(cashflows(note, ko - 1, ko)).date, ko);
    // Nothing after: no maturity flow once knocked out.
    EXPECT_TRUE(cashflows(note, ko, d("2030-01-01")).empty());
    // The value the cash replaces: worth something the day before, nothing on the day.
    EXPECT_GT(note.npv(100.0, 0.02, 0.2, 0.0, utils::DateInput(ko - 1)), 0.0);
    EXPECT_EQ(note.npv(110.0, 0.02, 0.2, 0.0, utils::DateInput(ko)), 0.0);
}

TEST(CashflowsNotes, SnowballAtMaturityKnockedInBearsTheLossUntouchedGetsTheMaturityCoupon) {
    {
        History h;
        h.fill(d("2026-01-05"), [](const Date& day) { return day < d("2025-06-02") ? 100.0 : 75.0; });
        SnowBallOption note(test::one_year_note("snowball"));
        const auto flows = cashflows(note, d("2025-01-02"), d("2026-01-31"));
        ASSERT_EQ(flows.size(), 2u);
        EXPECT_EQ(flows[0].kind, "knock_in");
        EXPECT_EQ(flows[0].amount, 0.0);
        EXPECT_GE(flows[0].date, d("2025-06-02"));
        EXPECT_EQ(flows[1].kind, "maturity");
        EXPECT_EQ(flows[1].date, note.maturity_date());
        EXPECT_DOUBLE_EQ(flows[1].amount, 75.0 - 100.0);
        // Before the maturity close is there, no maturity flow.
        EXPECT_EQ(cashflows(note, d("2025-01-02"), note.maturity_date() - 1).size(), 1u);
    }
    {
        History h;
        h.fill(d("2026-01-05"), [](const Date&) { return 95.0; });
        Terms terms = test::one_year_note("snowball");
        terms.set("floor_price", 85.0);
        SnowBallOption note(terms);
        const CashFlow f = only(cashflows(note, d("2025-01-02"), d("2026-01-31")));
        EXPECT_EQ(f.kind, "maturity");
        EXPECT_EQ(f.amount, note.coupon().back());
    }
}

TEST(CashflowsNotes, PhoenixPaysCouponsAboveTheBarrierAndMemoryCatchesUpMissedOnes) {
    for (const bool memory : {false, true}) {
        History h;
        Terms terms = test::one_year_note("phoenix");
        terms.set("memory", memory);
        PhoenixOption probe(terms);
        const auto& dates = probe.ko_obs_dates();
        // Below the coupon barrier (80) on the first date, above it after, no knock-out.
        h.fill(d("2026-01-05"), [&](const Date& day) { return day == dates.at(0) ? 79.0 : 90.0; });
        PhoenixOption note(terms);
        const auto flows = cashflows(note, d("2025-01-02"), dates.at(2));
        ASSERT_EQ(flows.size(), 3u) << "memory " << memory;
        // A close of 79 is also a knock-in (daily, below 80): an event, no cash.
        EXPECT_EQ(flows[0].kind, "knock_in");
        EXPECT_EQ(flows[0].date, dates.at(0));
        EXPECT_EQ(flows[0].amount, 0.0);
        EXPECT_EQ(flows[1].date, dates.at(1));
        EXPECT_EQ(flows[1].kind, "coupon");
        const double owed = memory ? note.coupon().at(0) : 0.0;
        EXPECT_DOUBLE_EQ(flows[1].amount, note.coupon().at(1) + owed);
        EXPECT_DOUBLE_EQ(flows[2].amount, note.coupon().at(2));
        // Knocked in and never out: the loss at maturity.
        const auto all = cashflows(note, d("2025-01-02"), d("2026-01-31"));
        EXPECT_EQ(all.size(), 1 + dates.size() - 1 + 1);  // knock-in, every coupon but the first, maturity
        EXPECT_EQ(all.back().kind, "maturity");
        EXPECT_EQ(all.back().amount, 90.0 - 100.0);
    }
}

TEST(CashflowsNotes, PhoenixKnockOutEndsItWithThatDatesCoupon) {
    History h;
    Terms terms = test::one_year_note("phoenix");
    PhoenixOption probe(terms);
    const Date ko = probe.ko_obs_dates().at(1);
    h.fill(d("2026-01-05"), [&](const Date& day) { return day >= ko ? 104.0 : 90.0; });
    PhoenixOption note(terms);
    const auto flows = cashflows(note, d("2025-01-01"), d("2026-12-31"));
    ASSERT_EQ(flows.size(), 2u);
    EXPECT_EQ(flows[0].kind, "coupon");
    EXPECT_EQ(flows[1].kind, "knock_out");
    EXPECT_EQ(flows[1].date, ko);
    EXPECT_EQ(flows[1].amount, note.coupon().at(1));
}

Terms barrier_terms(const std::string& type, double barrier, double rebate) {
    return Terms{{"effect_date", "2025-01-02"}, {"maturity_date", "2025-12-31"}, {"underlying", "NOTE.TEST"},
                 {"s0", 100.0},  {"notional", 1.0},  {"call_put", "call"},  {"barrier_type", type},
                 {"rebate", rebate}, {"strike", 100.0}, {"exercise_type", "european"},
                 {"payoff_type", "plain_vanilla"}, {"barrier", barrier}};
}

TEST(CashflowsOptions, BarrierRebateOnTheFirstCloseBeyondAndPayoffsAtExpiry) {
    History h;
    h.fill(d("2025-12-31"), [](const Date& day) { return day >= d("2025-03-03") ? 125.0 : 100.0; });
    {
        BarrierOption uo(barrier_terms("up_and_out", 120.0, 3.0));
        const CashFlow f = only(cashflows(uo, d("2025-01-02"), d("2025-12-31")));
        EXPECT_EQ(f.date, d("2025-03-03"));
        EXPECT_EQ(f.kind, "knock_out");
        EXPECT_EQ(f.amount, 3.0);
    }
    {
        // Knocked in: the inner vanilla's payoff at expiry.
        BarrierOption ui(barrier_terms("up_and_in", 120.0, 3.0));
        const auto flows = cashflows(ui, d("2025-01-02"), d("2025-12-31"));
        ASSERT_EQ(flows.size(), 2u);
        EXPECT_EQ(flows[0].kind, "knock_in");
        EXPECT_EQ(flows[1].kind, "maturity");
        EXPECT_EQ(flows[1].amount, 25.0);
    }
    {
        // Never knocked in: the rebate at expiry; never knocked out: the payoff.
        BarrierOption di(barrier_terms("down_and_in", 90.0, 3.0));
        EXPECT_EQ(only(cashflows(di, d("2025-01-02"), d("2025-12-31"))).amount, 3.0);
        BarrierOption dout(barrier_terms("down_and_out", 90.0, 3.0));
        EXPECT_EQ(only(cashflows(dout, d("2025-01-02"), d("2025-12-31"))).amount, 25.0);
    }
}

TEST(CashflowsOptions, CorridorTandemAndAsianByTheirOwnRules) {
    History h;
    // 100 until March, then one day at 131, then 100 again.
    h.fill(d("2025-12-31"), [](const Date& day) { return day == d("2025-03-03") ? 131.0 : 100.0; });
    Terms common{{"effect_date", "2025-01-02"}, {"maturity_date", "2025-12-31"}, {"underlying", "NOTE.TEST"},
                 {"s0", 100.0}, {"notional", 1.0}};
    {
        Terms t = common;
        for (const auto& [k, v] : Terms{{"type", "corridor"}, {"barrier_hi", 130.0}, {"barrier_lo", 70.0},
                                         {"barrier_type", "knock_in"}, {"call_put", "put"}, {"strike", 105.0},
                                         {"exercise_type", "european"}, {"payoff_type", "plain_vanilla"}})
            t.set(k, v);
        const auto option = make_option(t);
        const auto flows = cashflows(*option, d("2025-01-01"), d("2025-12-31"));
        ASSERT_EQ(flows.size(), 2u);
        EXPECT_EQ(flows[0].kind, "knock_in");
        EXPECT_EQ(flows[0].date, d("2025-03-03"));
        EXPECT_EQ(flows[1].amount, 5.0);  // the inner put at the maturity close
    }
    {
        Terms t = common;
        for (const auto& [k, v] : Terms{{"type", "tandem"}, {"touch_type", "double_one_touch"},
                                         {"touch_price_lo", 70.0}, {"touch_price_hi", 130.0},
                                         {"digital_payoff", 12.0}, {"pay_at", "hit"}})
            t.set(k, v);
        const auto option = make_option(t);
        const CashFlow f = only(cashflows(*option, d("2025-01-01"), d("2025-12-31")));
        EXPECT_EQ(f.kind, "touch");
        EXPECT_EQ(f.date, d("2025-03-03"));
        EXPECT_EQ(f.amount, 12.0);
        t.set("touch_type", "double_no_touch");
        EXPECT_EQ(only(cashflows(*make_option(t), d("2025-01-01"), d("2025-12-31"))).amount, 0.0);
    }
    {
        Terms t = common;
        for (const auto& [k, v] : Terms{{"type", "asian"}, {"call_put", "call"}, {"strike", 100.0}}) t.set(k, v);
        const auto option = make_option(t);
        const std::size_t days = h.store->get_trading_dates(d("2025-01-02"), d("2025-12-31")).size();
        const CashFlow f = only(cashflows(*option, d("2025-01-01"), d("2025-12-31")));
        EXPECT_DOUBLE_EQ(f.level, 100.0 + 31.0 / static_cast<double>(days));
        EXPECT_NEAR(f.amount, 31.0 / static_cast<double>(days), 1e-12);
    }
}

TEST(CashflowsOptions, VanillaPaysAtExpiryOnlyOnceTheCloseIsThere) {
    History h;
    h.fill(d("2025-06-30"), [](const Date&) { return 93.0; });
    Terms put{{"effect_date", "2025-01-02"}, {"maturity_date", "2025-12-31"}, {"underlying", "NOTE.TEST"},
              {"s0", 100.0},  {"notional", 1.0},  {"call_put", "put"},  {"strike", 100.0},
              {"exercise_type", "european"}, {"payoff_type", "plain_vanilla"}};
    auto option = make_option([&] {
        Terms t = put;
        t.set("type", "vanilla");
        return t;
    }());
    // The history stops before expiry: nothing settled yet.
    EXPECT_TRUE(cashflows(*option, d("2025-01-02"), d("2026-06-30")).empty());
    h.fill(d("2025-12-31"), [](const Date&) { return 93.0; });
    EXPECT_EQ(only(cashflows(*option, d("2025-01-02"), d("2026-06-30"))).amount, 7.0);
    EXPECT_THROW(cashflows(*option, d("2025-06-30"), d("2025-01-02")), ValueError);
}

TEST(CashflowsBook, EveryContractGetsItsLineAndABadOneItsError) {
    History h;
    h.fill(d("2025-12-31"), [](const Date&) { return 93.0; });
    Json book = Json::array();
    book.push_back(Json{{"id", "put"}, {"type", "vanilla"}, {"effect_date", "2025-01-02"},
                        {"maturity_date", "2025-12-31"}, {"underlying", "NOTE.TEST"}, {"s0", 100.0},
                        {"notional", 1.0}, {"call_put", "put"}, {"strike", 100.0},
                        {"exercise_type", "european"}, {"payoff_type", "plain_vanilla"}});
    book.push_back(Json{{"id", "broken"}, {"type", "vanilla"}});
    const auto flows = book_cashflows(book, d("2025-01-01"), d("2025-12-31"));
    ASSERT_EQ(flows.contracts.size(), 2u);
    EXPECT_EQ(flows.contracts[0].total(), 7.0);
    EXPECT_EQ(flows.contracts[1].error_kind, "KeyError");
    EXPECT_EQ(flows.failed(), 1u);
    const Json j = cashflows_to_json(flows);
    EXPECT_EQ(j["contracts"][0]["flows"][0]["date"], "2025-12-31");
    EXPECT_EQ(j["contracts"][0]["flows"][0]["amount"], 7.0);
    EXPECT_TRUE(j["contracts"][0]["error"].is_null());
    std::ostringstream csv;
    write_cashflows_csv(csv, flows);
    EXPECT_NE(csv.str().find("put,vanilla,NOTE.TEST,2025-12-31,maturity,7,93,,\n"), std::string::npos) << csv.str();
    EXPECT_NE(csv.str().find("broken,vanilla,,,,,,KeyError,"), std::string::npos) << csv.str();
}

}  // namespace
