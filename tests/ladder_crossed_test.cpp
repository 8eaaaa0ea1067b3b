// Ladder points whose spot lies beyond a barrier: valued as the history check
// values a crossed barrier, not failed.
#include <kestrel/book.hpp>
#include <kestrel/book_ladder.hpp>

#include <kestrel/kestrel.hpp>
#include <kestrel/vanilla.hpp>

#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <memory>

using namespace kestrel;
using namespace kestrel::book;
using Json = nlohmann::ordered_json;

namespace {

const QuantLib::Date kEval = utils::parse_date("2024-03-01");

Json base(const std::string& id, const std::string& type) {
    return Json{{"id", id},          {"type", type},       {"underlying", "AAA"}, {"effect_date", "2024-01-02"},
                {"maturity_date", "2024-12-31"}, {"s0", 100.0}, {"notional", 1.0}, {"call_put", "call"},
                {"strike", 100.0},   {"exercise_type", "european"}, {"payoff_type", "plain_vanilla"}};
}

Json barrier(const std::string& id, const std::string& type, double level, double rebate) {
    Json j = base(id, "barrier");
    j["barrier_type"] = type;
    j["barrier"] = level;
    j["rebate"] = rebate;
    return j;
}

struct Fixture : ::testing::Test {
    std::shared_ptr<heron::MemoryStore> store = std::make_shared<heron::MemoryStore>();
    test::ScopedClient installed{store};
    BookMarket market = BookMarket::from_json(Json::parse(R"({"r": 0.02, "underlyings": {"AAA": {"vol": 0.25, "q": 0.0, "spot": 100}}})"));
    LadderOptions ladder{{-0.30, -0.10, 0.0, 0.10, 0.19, 0.30}, {-0.05, 0.0, 0.05}};

    BookLadders ladders(const Json& book, BookResult& result) {
        BookOptions o;
        o.evaluation_date = kEval;
        o.greeks = true;
        result = value_book(book, market, o);
        return ladder_book(book, result, market, o, ladder);
    }
};

TEST_F(Fixture, KnockOutBeyondItsBarrierIsItsRebateAndKnockInItsVanilla) {
    for (const char* type : {"up_and_out", "up_and_in"}) {
        const Json contract = barrier("b", type, 120.0, 2.5);
        Json book = Json::array({contract});
        BookResult result;
        const BookLadders l = ladders(book, result);
        ASSERT_TRUE(result.rows[0].ok());
        ASSERT_EQ(l.underlyings.size(), 1u);
        const auto& points = l.underlyings[0].points;
        for (const auto& p : points) EXPECT_EQ(p.failed, 0u) << type << " at " << p.shift;
        const auto option = make_option(Terms::from_json(contract));
        const EvalDate e = utils::DateInput(kEval);
        // A spot beyond the barrier: price still says it is crossed.
        EXPECT_ANY_THROW(option->npv(130.0, 0.02, 0.25, 0.0, e)) << type;
        const bool out = std::string(type) == "up_and_out";
        VanillaOption inner(Terms::from_json(base("v", "vanilla")));
        const OptionGreeks crossed = out ? OptionGreeks{2.5, 0, 0, 0, 0, 0}
                                         : inner.spot_greeks(points[5].spot, 0.02, 0.25, 0.0, e);
        EXPECT_EQ(points[5].npv, crossed.npv) << type;
        EXPECT_EQ(points[5].delta, crossed.delta) << type;
        EXPECT_EQ(points[5].gamma, crossed.gamma) << type;
        // Inside the barrier the points are the contract's own spot Greeks, bit for bit.
        const OptionGreeks g = option->spot_greeks(points[3].spot, 0.02, 0.25, 0.0, e);
        EXPECT_EQ(points[3].npv, g.npv);
        EXPECT_EQ(points[3].delta, g.delta);
        EXPECT_EQ(points[3].gamma, g.gamma);
        // Next to it (119, bumped to 119.595) the bump up still crosses nothing: the contract's own.
        EXPECT_TRUE(std::isfinite(points[4].delta));
        // The vol matrix has a number at every point.
        for (const auto& line : l.underlyings[0].matrix)
            for (double x : line) EXPECT_TRUE(std::isfinite(x)) << type;
    }
}

TEST_F(Fixture, BumpAcrossTheBarrierGivesFiniteGreeksFromTheCrossedValue) {
    ladder.spot_shifts = {0.0, 0.198};  // 119.8: the bump up (120.399) is beyond 120
    const Json contract = barrier("b", "up_and_out", 120.0, 0.0);
    Json book = Json::array({contract});
    BookResult result;
    const BookLadders l = ladders(book, result);
    const auto& p = l.underlyings[0].points[1];
    EXPECT_EQ(p.failed, 0u);
    const auto option = make_option(Terms::from_json(contract));
    const EvalDate e = utils::DateInput(kEval);
    const double s = 119.8, h = s * kSpotBump;
    const double centre = option->npv(s, 0.02, 0.25, 0.0, e), down = option->npv(s - h, 0.02, 0.25, 0.0, e);
    EXPECT_EQ(p.npv, centre);
    EXPECT_DOUBLE_EQ(p.delta, (0.0 - down) / (2 * h));
}

TEST_F(Fixture, DoubleKnockOutOutsideItsCorridorIsWorthItsZeroRebate) {
    Json c = base("dko", "corridor");
    c["barrier_type"] = "knock_out";
    c["barrier_lo"] = 80.0;
    c["barrier_hi"] = 125.0;
    Json book = Json::array({c});
    BookResult result;
    const BookLadders l = ladders(book, result);
    const auto& points = l.underlyings[0].points;
    EXPECT_EQ(points[0].failed, 0u);  // 70: below the corridor
    EXPECT_EQ(points[0].npv, 0.0);
    EXPECT_EQ(points[5].failed, 0u);  // 130: above it
    EXPECT_EQ(points[5].npv, 0.0);
    EXPECT_GT(points[2].npv, 0.0);
}

}  // namespace
