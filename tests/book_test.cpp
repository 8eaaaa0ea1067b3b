#include <kestrel/book.hpp>
#include <kestrel/book_ladder.hpp>

#include <heron/sqlite_store.hpp>
#include <kestrel/calendar.hpp>

#include <kestrel/notes/extras.hpp>
#include <kestrel/kestrel.hpp>
#include <kestrel/random_sample.hpp>

#include "support/note_support.hpp"
#include "support/test_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <set>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace kestrel;
using namespace kestrel::book;
using Json = nlohmann::ordered_json;
using QuantLib::Date;

namespace {

const Date kEval = utils::parse_date("2024-03-01");

Json vanilla(const std::string& id, const std::string& underlying, double strike) {
    return Json{{"id", id},
                {"type", "vanilla"},
                {"underlying", underlying},
                {"effect_date", "2024-01-02"},
                {"maturity_date", "2024-12-31"},
                {"s0", 100.0},
                {"notional", 1.0},
                {"call_put", "call"},
                {"strike", strike},
                {"exercise_type", "european"},
                {"payoff_type", "plain_vanilla"}};
}

BookMarket book_market(const std::string& text) { return BookMarket::from_json(Json::parse(text)); }

const char* kMarket = R"({"r": 0.02, "underlyings": {
    "AAA": {"vol": 0.2, "q": 0.01, "spot": 100},
    "BBB": {"vol": 0.3, "q": 0.0, "spot": 50}}})";

double direct_npv(const Json& contract, double spot, double r, double vol, double q) {
    return make_option(Terms::from_json(contract))->npv(spot, r, vol, q, utils::DateInput(kEval));
}

std::vector<std::string> split_csv_line(const std::string& line) {
    std::vector<std::string> out(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                out.back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                out.back() += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            out.emplace_back();
        } else {
            out.back() += c;
        }
    }
    return out;
}

double read_double(const std::string& s) {
    double x = 0;
    const auto res = std::from_chars(s.data(), s.data() + s.size(), x);
    EXPECT_TRUE(res.ec == std::errc() && res.ptr == s.data() + s.size()) << "not a number: '" << s << "'";
    return x;
}

class BookTest : public ::testing::Test {
  protected:
    std::shared_ptr<test::CountingClient> client = std::make_shared<test::CountingClient>();
    test::ScopedClient scoped{client};
};

}  // namespace

TEST(BookMarketTest, ReadsRateAndUnderlyingsAndNamesWhatIsWrong) {
    const auto m = book_market(R"({"r": 0.02, "underlyings": {"AAA": {"vol": 0.2, "q": 0.01, "spot": 101.5},
                                                         "BBB": {"vol": 0.3, "q": 0}}})");
    EXPECT_DOUBLE_EQ(m.r.number(), 0.02);
    ASSERT_NE(m.find("AAA"), nullptr);
    EXPECT_DOUBLE_EQ(*m.find("AAA")->spot, 101.5);
    ASSERT_NE(m.find("BBB"), nullptr);
    EXPECT_FALSE(m.find("BBB")->spot.has_value());
    EXPECT_DOUBLE_EQ(m.find("BBB")->vol.number(), 0.3);
    EXPECT_EQ(m.find("CCC"), nullptr);

    const auto message = [](const char* text) -> std::string {
        try {
            book_market(text);
        } catch (const Error& e) {
            return std::string(e.kind()) + ": " + e.what();
        }
        return "no error";
    };
    EXPECT_EQ(message(R"({"underlyings": {}})"), "KeyError: market: missing \"r\"");
    EXPECT_EQ(message(R"({"r": "2%", "underlyings": {}})"),
              "TypeError: market: \"r\" must be a number or {\"curve\": [[PILLAR, VALUE], ...]}, not \"2%\"");
    EXPECT_EQ(message(R"({"r": 0.02, "underlyings": {"AAA": {"q": 0}}})"), "KeyError: market: AAA: missing \"vol\"");
    EXPECT_EQ(message(R"({"r": 0.02, "underlyings": {"AAA": {"vol": 0.2, "q": 0, "spot": -1}}})"),
              "ValueError: market: AAA: \"spot\" must be positive, not -1");
    EXPECT_EQ(message(R"({"r": 0.02})"), "KeyError: market: missing \"underlyings\"");
    EXPECT_EQ(message("[1, 2]"), "TypeError: market: the market must be a JSON object, not array");
}

TEST(BookMarketTest, ReadsCurvesForwardsAndEngines) {
    const auto m = book_market(R"({"r": {"curve": [["1M", 0.018], ["2024-12-31", 0.021]]},
        "underlyings": {
          "AAA": {"vol": {"curve": [["3M", 0.3], ["1Y", 0.25]]}, "q": {"curve": [["6M", -0.05]]}, "spot": 100},
          "BBB": {"vol": 0.2, "q": {"forwards": [["2024-03-15", 99.0], ["2024-06-21", 97.5]]}}},
        "engines": {"snowball": "pde", "phoenix": "qmc"}})");
    ASSERT_FALSE(m.r.is_number());
    EXPECT_EQ(m.r.points().size(), 2u);
    EXPECT_TRUE(m.r.points()[0].pillar.is_tenor());
    EXPECT_FALSE(m.r.points()[1].pillar.is_tenor());
    const UnderlyingMarket& a = *m.find("AAA");
    EXPECT_EQ(a.vol.points().size(), 2u);
    EXPECT_DOUBLE_EQ(a.q.points()[0].value, -0.05);  // a futures discount: negative allowed
    EXPECT_DOUBLE_EQ(a.lowest_vol(), 0.25);
    const UnderlyingMarket& b = *m.find("BBB");
    ASSERT_EQ(b.forwards.size(), 2u);
    EXPECT_EQ(b.forwards[1].first, Date(21, QuantLib::June, 2024));
    EXPECT_EQ(m.engine_for("snowball"), "pde");
    EXPECT_EQ(m.engine_for("phoenix"), "qmc");
    EXPECT_EQ(m.engine_for("vanilla"), "");
    // q implied from the forwards at the spot given: the forwards come back.
    EXPECT_NO_THROW(m.check(kEval));
    const Market mk = m.market_of("BBB", 100.0, kEval);
    for (const auto& [date, price] : b.forwards) {
        const double t = (date - kEval) / 365.0;
        EXPECT_NEAR(100.0 * std::exp((mk.r.zero_rate(kEval, t) - mk.q.zero_rate(kEval, t)) * t), price, 1e-10);
    }
    EXPECT_THROW(m.market_of("CCC", 100.0, kEval), KeyError);
}

TEST(BookMarketTest, WrongAnywhereNamesTheUnderlyingTheFieldAndTheEntry) {
    const auto message = [](const std::string& text, bool on_date = false) -> std::string {
        try {
            const BookMarket m = BookMarket::from_json(Json::parse(text), "m.json");
            if (on_date) m.check(kEval);
        } catch (const Error& e) {
            return std::string(e.kind()) + ": " + e.what();
        }
        return "no error";
    };
    const auto with = [](const std::string& underlying) {
        return R"({"r": 0.02, "underlyings": {"AAA": )" + underlying + "}}";
    };
    const auto has = [](const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos ? ::testing::AssertionSuccess()
                                                    : ::testing::AssertionFailure() << text;
    };
    EXPECT_TRUE(has(message(with(R"({"vol": -0.1, "q": 0})")), "ValueError: m.json: AAA: \"vol\" must not be negative"));
    EXPECT_TRUE(has(message(with(R"({"vol": {"curve": [["1M", 0.2], ["3M", -0.2]]}, "q": 0})")),
                    "ValueError: m.json: AAA: \"vol\": entry 2 (3M)"));
    EXPECT_TRUE(has(message(with(R"({"vol": {"curve": []}, "q": 0})")), "m.json: AAA: \"vol\": the curve has no points"));
    EXPECT_TRUE(has(message(with(R"({"vol": 0.2, "q": {"curve": [["1M", 0.01], ["1X", 0.02]]}})")),
                    "m.json: AAA: \"q\": entry 2: pillar \"1X\""));
    EXPECT_TRUE(has(message(with(R"({"vol": 0.2, "q": {"curve": [["1M", 0.01], [3, 0.02]]}})")),
                    "TypeError: m.json: AAA: \"q\": entry 2 must be a [PILLAR, VALUE] pair"));
    EXPECT_TRUE(has(message(with(R"({"vol": 0.2, "q": {"forwards": [["2024-03-15", 99], ["2024-06-21", 0]]}})")),
                    "m.json: AAA: \"q\": forwards: entry 2 (2024-06-21): a forward price must be positive"));
    EXPECT_TRUE(has(message(with(R"({"vol": 0.2, "q": {"forwards": [["2024-06-21", 99], ["2024-03-15", 98]]}})")),
                    "m.json: AAA: \"q\": forwards: entry 2 (2024-03-15): not after the entry before it"));
    EXPECT_TRUE(has(message(R"({"r": 0.02, "underlyings": {}, "engines": {"vanilla": "pde"}})"),
                    "m.json: \"engines\": vanilla: this product type takes no engine choice"));
    EXPECT_TRUE(has(message(R"({"r": 0.02, "underlyings": {}, "engines": {"snowball": "fdm"}})"),
                    "m.json: \"engines\": snowball: unknown engine \"fdm\""));
    // On the evaluation date: order, total variance, forwards after the date.
    EXPECT_TRUE(has(message(R"({"r": {"curve": [["3M", 0.02], ["2024-04-01", 0.02]]}, "underlyings": {}})", true),
                    "ValueError: m.json: \"r\": entry 2 (2024-04-01)"));
    EXPECT_TRUE(has(message(with(R"({"vol": {"curve": [["3M", 0.4], ["6M", 0.2]]}, "q": 0})"), true),
                    "m.json: AAA: \"vol\": entry 2 (6M): total variance"));
    EXPECT_TRUE(has(message(with(R"({"vol": 0.2, "q": {"forwards": [["2024-03-01", 99]]}})"), true),
                    "m.json: AAA: \"q\": forwards: entry 1 (2024-03-01) is not after the evaluation date"));
}

TEST_F(BookTest, ValuesEachContractOnItsUnderlyingsCurves) {
    const BookMarket m = book_market(R"({"r": {"curve": [["1M", 0.015], ["1Y", 0.025]]}, "underlyings": {
        "AAA": {"vol": {"curve": [["3M", 0.25], ["1Y", 0.22]]}, "q": {"forwards": [["2024-06-21", 98.0], ["2024-12-20", 96.5]]},
                "spot": 100},
        "BBB": {"vol": 0.3, "q": 0.0, "spot": 50}}})");
    const Json book = Json::array({vanilla("a", "AAA", 95), vanilla("b", "BBB", 50)});
    const BookResult result = value_book(book, m, BookOptions{kEval, true, {}});
    ASSERT_TRUE(result.rows[0].ok()) << result.rows[0].error->message;
    const auto option = make_option(Terms::from_json(book[0]));
    const Market mk = m.market_of("AAA", 100.0, kEval);
    const OptionGreeks g = option->greeks(mk, utils::DateInput(kEval));
    EXPECT_EQ(result.rows[0].value, g);
    EXPECT_EQ(result.rows[0].carry_rho, option->carry_rho(mk, utils::DateInput(kEval)));
    EXPECT_GT(result.rows[0].carry_rho, 0.0);  // a call gains when the carry falls
    // BBB's numbers sit on the book's r curve.
    const auto b = make_option(Terms::from_json(book[1]));
    EXPECT_EQ(result.rows[1].value.npv, b->npv(m.market_of("BBB", 50.0, kEval), utils::DateInput(kEval)));
    EXPECT_EQ(result.totals.back().carry_rho, result.rows[0].carry_rho + result.rows[1].carry_rho);
    // The output carries carry_rho beside the six fields.
    const Json j = book_to_json(result);
    EXPECT_EQ(j["rows"][0]["carry_rho"].get<double>(), result.rows[0].carry_rho);
    std::ostringstream csv;
    write_csv(csv, result);
    EXPECT_NE(csv.str().find(",rho,carry_rho,"), std::string::npos);
    // A wrong curve stops the whole book before anything is valued.
    BookMarket bad = m;
    bad.r = RateCurve(std::vector<CurvePoint>{{Pillar::parse("6M"), 0.02}, {Pillar::parse("3M"), 0.02}});
    std::size_t calls = 0;
    BookOptions counted{kEval, false, [&](std::size_t, std::size_t) { ++calls; }};
    EXPECT_THROW(value_book(book, bad, counted), ValueError);
    EXPECT_EQ(calls, 0u);
}

TEST_F(BookTest, LaddersOnCurvesMoveTheSpotAndShiftTheWholeVolCurve) {
    const BookMarket m = book_market(R"({"r": {"curve": [["1M", 0.015], ["1Y", 0.025]]}, "underlyings": {
        "AAA": {"vol": {"curve": [["3M", 0.25], ["1Y", 0.22]]}, "q": {"forwards": [["2024-06-21", 98.0]]},
                "spot": 100}}})");
    const Json book = Json::array({vanilla("a", "AAA", 95), vanilla("b", "AAA", 105)});
    BookOptions options;
    options.evaluation_date = kEval;
    const BookResult base = value_book(book, m, options);
    LadderOptions lo;
    lo.spot_shifts = {-0.1, 0.0, 0.1};
    lo.vol_shifts = {-0.05, 0.0, 0.05};
    const BookLadders ladders = ladder_book(book, base, m, options, lo);
    ASSERT_EQ(ladders.underlyings.size(), 1u);
    const UnderlyingLadder& l = ladders.underlyings[0];
    EXPECT_DOUBLE_EQ(l.base_vol, 0.22);  // a curve shows its lowest vol
    // The q curve is implied once, at the market's spot; the ladder moves the
    // spot with the curves as they are.
    const Market mk = m.market_of("AAA", 100.0, kEval);
    const EvalDate date = utils::DateInput(kEval);
    for (std::size_t k = 0; k < lo.spot_shifts.size(); ++k) {
        double npv = 0, up = 0;
        for (const auto& c : book) {
            const auto o = make_option(Terms::from_json(c));
            npv += o->npv(mk.with_spot(100.0 * (1 + lo.spot_shifts[k])), date);
            up += o->npv(mk.with_spot(100.0 * (1 + lo.spot_shifts[k])).with_vol_shift(0.05), date);
        }
        EXPECT_EQ(l.points[k].failed, 0u);
        EXPECT_DOUBLE_EQ(l.points[k].npv, npv) << k;
        EXPECT_DOUBLE_EQ(l.matrix[2][k], up - l.base_value) << k;
    }
    EXPECT_DOUBLE_EQ(l.matrix[1][1], 0.0);
}

TEST_F(BookTest, EnginesFromTheMarketFileFillInNotesThatNameNone) {
    const BookMarket m = book_market(R"({"r": 0.02, "underlyings": {"AAA": {"vol": 0.2, "q": 0, "spot": 100}},
                                         "engines": {"snowball": "pde"}})");
    BookOptions plain;
    plain.evaluation_date = kEval;
    const Json note{{"type", "snowball"}, {"id", "n"}};
    Json own = note;
    own["engine"] = "qmc";
    EXPECT_EQ(contract_terms(note, m, plain).at("engine"), Value("pde"));
    EXPECT_EQ(contract_terms(own, m, plain).at("engine"), Value("qmc"));  // its own wins
    BookOptions cli = plain;
    cli.engine = "mc";
    EXPECT_EQ(contract_terms(note, m, cli).at("engine"), Value("mc"));  // --engine over the file
    EXPECT_FALSE(contract_terms(vanilla("v", "AAA", 90), m, cli).contains("engine"));
}

TEST_F(BookTest, BrokenContractsGetTheirOwnRowsAndTheOthersAreValued) {
    Json missing_strike = vanilla("no-strike", "AAA", 95);
    missing_strike.erase("strike");
    Json unknown_type = vanilla("bad-type", "AAA", 95);
    unknown_type["type"] = "rainbow";
    Json no_id = vanilla("x", "AAA", 95);
    no_id.erase("id");
    const Json book = Json::array({vanilla("a1", "AAA", 95), missing_strike, unknown_type,
                                   vanilla("zzz", "ZZZ", 95), no_id, vanilla("a1", "AAA", 105), 42,
                                   vanilla("b1", "BBB", 50)});
    std::vector<std::size_t> progress;
    BookOptions options{kEval, false, [&](std::size_t done, std::size_t total) {
                            EXPECT_EQ(total, 8u);
                            progress.push_back(done);
                        }};
    const auto result = value_book(book, book_market(kMarket), options);

    ASSERT_EQ(result.rows.size(), 8u);
    EXPECT_EQ(progress, (std::vector<std::size_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(result.failed(), 6u);
    const auto& r = result.rows;
    for (std::size_t i = 0; i < r.size(); ++i) EXPECT_EQ(r[i].position, i + 1);

    ASSERT_TRUE(r[0].ok()) << r[0].error->message;
    EXPECT_DOUBLE_EQ(r[0].value.npv, direct_npv(book[0], 100, 0.02, 0.2, 0.01));
    EXPECT_EQ(r[0].spot_source, SpotSource::Market);
    ASSERT_TRUE(r[7].ok()) << r[7].error->message;
    EXPECT_DOUBLE_EQ(r[7].value.npv, direct_npv(book[7], 50, 0.02, 0.3, 0.0));

    const auto expect_error = [&](std::size_t i, const std::string& kind, const std::string& text) {
        ASSERT_FALSE(r[i].ok()) << "contract " << i + 1 << " was valued";
        EXPECT_EQ(r[i].error->kind, kind) << r[i].error->message;
        EXPECT_NE(r[i].error->message.find(text), std::string::npos) << r[i].error->message;
    };
    expect_error(1, "KeyError", "strike");
    EXPECT_EQ(*r[1].id, "no-strike");
    expect_error(2, "ValueError", "rainbow");
    EXPECT_EQ(*r[2].type, "rainbow");
    expect_error(3, "ValueError", "the market has no inputs for underlying ZZZ");
    expect_error(4, "KeyError", "id");
    EXPECT_FALSE(r[4].id.has_value());
    EXPECT_EQ(r[4].label(), "(contract 5)");
    expect_error(5, "ValueError", "duplicate id \"a1\": contract 1");
    expect_error(6, "TypeError", "contract 7 of the book is not a JSON object");
}

TEST_F(BookTest, TotalsPerUnderlyingAndForTheBookLeaveOutFailedRows) {
    Json broken = vanilla("broken", "AAA", 95);
    broken.erase("strike");
    const Json book = Json::array({vanilla("a1", "AAA", 95), vanilla("b1", "BBB", 50), vanilla("a2", "AAA", 110),
                                   broken});
    const auto result = value_book(book, book_market(kMarket), BookOptions{kEval, true, {}});
    ASSERT_EQ(result.totals.size(), 3u);
    const BookTotal& aaa = result.totals[0];
    const BookTotal& bbb = result.totals[1];
    const BookTotal& all = result.totals[2];
    EXPECT_EQ(aaa.underlying, "AAA");
    EXPECT_EQ(bbb.underlying, "BBB");
    EXPECT_FALSE(all.underlying.has_value());
    EXPECT_EQ(aaa.contracts, 3u);
    EXPECT_EQ(aaa.failed, 1u);
    EXPECT_EQ(all.contracts, 4u);
    EXPECT_EQ(all.failed, 1u);
    const auto& r = result.rows;
    for (std::size_t f = 0; f < OptionGreeks::size(); ++f) {
        EXPECT_DOUBLE_EQ(aaa.sum[f], r[0].value[f] + r[2].value[f]) << OptionGreeks::field_names[f];
        EXPECT_DOUBLE_EQ(bbb.sum[f], r[1].value[f]) << OptionGreeks::field_names[f];
    }
    EXPECT_TRUE(aaa.has_delta_gamma);
    EXPECT_GT(aaa.sum.delta, 0.5);
    // Deltas of different underlyings do not add up; the rest does.
    EXPECT_FALSE(all.has_delta_gamma);
    EXPECT_DOUBLE_EQ(all.sum.npv, aaa.sum.npv + bbb.sum.npv);
    EXPECT_DOUBLE_EQ(all.sum.vega, aaa.sum.vega + bbb.sum.vega);
    EXPECT_DOUBLE_EQ(all.sum.theta, aaa.sum.theta + bbb.sum.theta);
    EXPECT_DOUBLE_EQ(all.sum.rho, aaa.sum.rho + bbb.sum.rho);

    // A one-underlying book keeps its delta.
    const auto single = value_book(Json::array({vanilla("a1", "AAA", 95), vanilla("a2", "AAA", 110)}),
                                   book_market(kMarket), BookOptions{kEval, true, {}});
    EXPECT_TRUE(single.totals.back().has_delta_gamma);
    EXPECT_DOUBLE_EQ(single.totals.back().sum.delta, single.rows[0].value.delta + single.rows[1].value.delta);
}

TEST_F(BookTest, SpotComesFromTheStoreCloseOnTheEvaluationDate) {
    client->add_closes("AAA", "pre", {{utils::parse_date("2024-02-29"), 90.0}, {kEval, 97.5}});
    client->add_closes("BBB", "pre", {{utils::parse_date("2024-02-29"), 48.0}});  // nothing on the date
    const auto m = book_market(R"({"r": 0.02, "underlyings": {"AAA": {"vol": 0.2, "q": 0.01},
                                                         "BBB": {"vol": 0.3, "q": 0}}})");
    const Json book = Json::array({vanilla("a1", "AAA", 95), vanilla("b1", "BBB", 50), vanilla("a2", "AAA", 100)});
    client->reset_counts();
    const auto result = value_book(book, m, BookOptions{kEval, false, {}});

    const auto& r = result.rows;
    ASSERT_TRUE(r[0].ok()) << r[0].error->message;
    EXPECT_EQ(r[0].spot, 97.5);
    EXPECT_EQ(r[0].spot_source, SpotSource::Store);
    EXPECT_DOUBLE_EQ(r[0].value.npv, direct_npv(book[0], 97.5, 0.02, 0.2, 0.01));
    ASSERT_TRUE(r[2].ok());
    EXPECT_EQ(r[2].spot, 97.5);
    ASSERT_FALSE(r[1].ok());
    EXPECT_EQ(r[1].error->kind, "ValueError");
    EXPECT_EQ(r[1].error->message,
              "no spot for BBB: the market gives none and the store has no \"pre\" close on 2024-03-01");
    EXPECT_EQ(client->last_adjust, "pre");
    // One look-up per underlying, not per contract (vanilla asks for no history itself).
    EXPECT_EQ(client->price_calls.load(), 2);

    std::ostringstream table;
    write_table(table, result);
    EXPECT_NE(table.str().find("97.5000*"), std::string::npos) << table.str();
    EXPECT_NE(table.str().find("close on 2024-03-01 from the price store"), std::string::npos) << table.str();
    EXPECT_EQ(book_to_json(result)["rows"][0]["spot_source"], "store");
}

TEST_F(BookTest, MissingSpotsEndInOneSentenceOnWhereTheStoresClosesAre) {
    const auto d = [](const char* text) { return utils::parse_date(text); };
    client->add_closes("AAA", "pre", {{d("2024-02-28"), 90.0}, {d("2024-02-29"), 91.0}});  // ends before
    client->add_closes("EEE", "pre", {{d("2024-02-28"), 40.0}});                          // ends earlier still
    client->add_closes("BBB", "pre", {{d("2024-03-04"), 50.0}});                          // begins after
    client->add_closes("CCC", "pre", {{d("2024-02-29"), 20.0}, {d("2024-03-04"), 21.0}}); // a gap on the day
    const auto m = book_market(R"({"r": 0.02, "underlyings": {"AAA": {"vol": 0.2, "q": 0}, "BBB": {"vol": 0.2, "q": 0},
        "CCC": {"vol": 0.2, "q": 0}, "DDD": {"vol": 0.2, "q": 0}, "EEE": {"vol": 0.2, "q": 0},
        "FFF": {"vol": 0.2, "q": 0, "spot": 10}}})");
    const auto value = [&](const Json& book) { return value_book(book, m, BookOptions{kEval, false, {}}); };

    // Ended: the earliest end is a --date that serves every such underlying.
    const auto ended = value(Json::array({vanilla("a", "AAA", 95), vanilla("e", "EEE", 40), vanilla("a2", "AAA", 90),
                                          vanilla("f", "FFF", 10)}));
    EXPECT_EQ(ended.failed(), 3u);
    EXPECT_TRUE(ended.rows[3].ok());
    EXPECT_EQ(ended.missing_spots, (std::vector<std::string>{"AAA", "EEE"}));
    EXPECT_EQ(missing_spot_hint(ended),
              "the store's \"pre\" closes end on 2024-02-28 (EEE) and 2024-02-29 (AAA), before 2024-03-01: pass "
              "--date 2024-02-28 (or an earlier trading day) or give each underlying a \"spot\" in the market file");

    const auto others = value(Json::array({vanilla("b", "BBB", 50), vanilla("c", "CCC", 20), vanilla("d", "DDD", 1)}));
    EXPECT_EQ(missing_spot_hint(others),
              "the store's \"pre\" closes begin on 2024-03-04 (BBB), after 2024-03-01; the store has no \"pre\" "
              "close on 2024-03-01 for CCC; the store has no \"pre\" closes of DDD at all: pass --date YYYY-MM-DD, "
              "a trading day with closes, or give each underlying a \"spot\" in the market file");

    EXPECT_EQ(missing_spot_hint(value(Json::array({vanilla("f", "FFF", 10)}))), "");
}

TEST_F(BookTest, CsvAndJsonReadBackToTheSameNumbers) {
    Json broken = vanilla("broken, \"quoted\"", "AAA", 95);
    broken["exercise_type"] = "bermudan";
    const Json book = Json::array({vanilla("a1", "AAA", 95.123456789), broken, vanilla("b1", "BBB", 47.3)});
    const auto result = value_book(book, book_market(kMarket), BookOptions{kEval, true, {}});
    ASSERT_EQ(result.failed(), 1u);

    // JSON
    std::ostringstream js;
    write_book(js, result, BookFormat::Json);
    const Json back = Json::parse(js.str());
    ASSERT_EQ(back.size(), 2u);
    ASSERT_EQ(back["rows"].size(), 3u);
    for (std::size_t i : {0u, 2u}) {
        const auto& row = back["rows"][i];
        EXPECT_EQ(row["id"], *result.rows[i].id);
        EXPECT_EQ(row["type"], "vanilla");
        for (std::size_t f = 0; f < OptionGreeks::size(); ++f)
            EXPECT_EQ(row[OptionGreeks::field_names[f]].get<double>(), result.rows[i].value[f]);
    }
    EXPECT_EQ(back["rows"][1], Json::parse(R"({"id": "broken, \"quoted\"", "type": "vanilla",
        "error": {"kind": "NotImplementedError", "message": "BERMUDAN EXERCISE not supported yet"}})"));
    ASSERT_EQ(back["totals"].size(), 3u);
    EXPECT_EQ(back["totals"][0]["npv"].get<double>(), result.totals[0].sum.npv);
    EXPECT_EQ(back["totals"][0]["failed"], 1);
    EXPECT_EQ(back["totals"][2]["scope"], "book");
    EXPECT_TRUE(back["totals"][2]["delta"].is_null());
    EXPECT_EQ(back["totals"][2]["rho"].get<double>(), result.totals[2].sum.rho);

    // CSV
    std::ostringstream cs;
    write_book(cs, result, BookFormat::Csv);
    std::istringstream in(cs.str());
    std::string line;
    std::vector<std::vector<std::string>> lines;
    while (std::getline(in, line)) lines.push_back(split_csv_line(line));
    ASSERT_EQ(lines.size(), 1u + 3u + 3u);
    const auto& header = lines[0];
    const auto col = [&](const std::string& name) {
        const auto it = std::find(header.begin(), header.end(), name);
        EXPECT_NE(it, header.end()) << name;
        return static_cast<std::size_t>(it - header.begin());
    };
    for (const auto& l : lines) EXPECT_EQ(l.size(), header.size());
    for (std::size_t i : {0u, 2u}) {
        const auto& l = lines[1 + i];
        EXPECT_EQ(l[col("record")], "contract");
        EXPECT_EQ(l[col("id")], *result.rows[i].id);
        for (std::size_t f = 0; f < OptionGreeks::size(); ++f)
            EXPECT_EQ(read_double(l[col(OptionGreeks::field_names[f])]), result.rows[i].value[f]);
        EXPECT_EQ(read_double(l[col("spot")]), result.rows[i].spot);
    }
    EXPECT_EQ(lines[2][col("id")], "broken, \"quoted\"");
    EXPECT_EQ(lines[2][col("error_kind")], "NotImplementedError");
    EXPECT_EQ(lines[2][col("npv")], "");
    const auto& book_total = lines.back();
    EXPECT_EQ(book_total[col("record")], "total");
    EXPECT_EQ(book_total[col("underlying")], "");
    EXPECT_EQ(read_double(book_total[col("npv")]), result.totals.back().sum.npv);
    EXPECT_EQ(book_total[col("delta")], "");
    EXPECT_EQ(book_total[col("contracts")], "3");
    EXPECT_EQ(book_total[col("failed")], "1");
}

TEST_F(BookTest, TableShowsEveryRowAlignedWithErrorsAndTotals) {
    Json broken = vanilla("broken", "AAA", 95);
    broken.erase("call_put");
    const Json book = Json::array({vanilla("a-long-identifier", "AAA", 95), broken, vanilla("b1", "BBB", 50)});
    const auto result = value_book(book, book_market(kMarket), BookOptions{kEval, false, {}});
    std::ostringstream out;
    write_book(out, result, BookFormat::Table);
    const std::string t = out.str();
    EXPECT_NE(t.find("as of 2024-03-01: 3 contracts, 1 failed"), std::string::npos) << t;
    EXPECT_NE(t.find("KeyError: call_put"), std::string::npos) << t;
    EXPECT_NE(t.find("3 contracts, 1 failed (not in the total)"), std::string::npos) << t;
    EXPECT_NE(t.find("total book"), std::string::npos) << t;
    // The npv column ends at the same place on every valued row.
    std::istringstream in(t);
    std::string line;
    std::vector<std::size_t> ends;
    for (const std::string& id : {std::string("a-long-identifier "), std::string("b1 ")}) {
        in.clear();
        in.seekg(0);
        while (std::getline(in, line))
            if (line.rfind(id, 0) == 0) ends.push_back(line.find_last_not_of(' ') + 1);
    }
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[0], ends[1]) << t;
}

// A contract running into projected calendar years is flagged in the table
// (row note and footnote) and in json; the others are not.
TEST_F(BookTest, ContractsOverProjectedYearsAreNoted) {
    Json later = vanilla("later", "AAA", 95);
    later["maturity_date"] = "2028-06-30";
    const auto result = value_book(Json::array({vanilla("now", "AAA", 95), later}), book_market(kMarket),
                                   BookOptions{kEval, false, {}});
    ASSERT_TRUE(result.rows[1].ok());
    EXPECT_TRUE(result.rows[0].projected_years.empty());
    EXPECT_EQ(result.rows[1].projected_years, (std::vector<int>{2027, 2028}));
    std::ostringstream out;
    write_book(out, result, BookFormat::Table);
    EXPECT_THAT(out.str(), ::testing::HasSubstr("  (projected calendar)\n"));
    EXPECT_THAT(out.str(), ::testing::HasSubstr("\n(projected calendar): the schedule runs through 2027-2028, whose "
                                                "exchange closures are projected"));
    const Json json = book_to_json(result);
    EXPECT_FALSE(json["rows"][0].contains("projected_calendar"));
    EXPECT_EQ(json["rows"][1]["projected_calendar"], Json::array({2027, 2028}));
}

TEST(BookFormatTest, ParsesTheThreeFormatsAndProgressLines) {
    EXPECT_EQ(parse_book_format("table"), BookFormat::Table);
    EXPECT_EQ(parse_book_format("csv"), BookFormat::Csv);
    EXPECT_EQ(parse_book_format("json"), BookFormat::Json);
    EXPECT_THROW(parse_book_format("xml"), ValueError);

    EXPECT_EQ(progress_line(3, 12, 6.0, 12), "[###.........]  3/12  elapsed 6.0 s  left ~18.0 s");
    EXPECT_EQ(progress_line(12, 12, 9.25, 12), "[############]  12/12  elapsed 9.2 s");
    EXPECT_EQ(progress_line(0, 0, 0.0, 4), "[####]  0/0  elapsed 0.0 s");
}

TEST(BookInputTest, NotABookIsATypeError) {
    EXPECT_THROW(value_book(Json::object(), book_market(kMarket), BookOptions{kEval, false, {}}), TypeError);
}

namespace {

Json read_example(const std::string& name) {
    std::ifstream in(std::string(KESTREL_EXAMPLES_DIR) + "/" + name);
    EXPECT_TRUE(in) << name;
    return Json::parse(in);
}

}  // namespace

// The bundled example book on the bundled prices, as the README runs it (with
// fewer Monte Carlo paths).
TEST(ExampleBookTest, EveryContractValuesWithGreeksOnTheBundledHistory) {
    test::ScopedClient scoped{test::bundled_store()};
    random_sample::set_paths(2000);
    const Json book = read_example("book.json");
    const auto market = BookMarket::from_json(read_example("market.json"));
    const Date eval = utils::parse_date("2024-12-31");
    const auto result = value_book(book, market, BookOptions{eval, true, {}});

    // The notes' own gamma is d2V/dS2; the book shows spot x d2V/dS2 like
    // every other row (same seed, same draws, same figures otherwise).
    for (std::size_t i = 0; i < book.size(); ++i) {
        const std::string type = book[i]["type"];
        if (type != "snowball" && type != "phoenix") continue;
        const auto& row = result.rows[i];
        const UnderlyingMarket& m = *market.find(*row.underlying);
        const auto own = make_option(Terms::from_json(book[i]))->greeks(row.spot, market.r.number(), m.vol.number(), m.q.number(), eval);
        EXPECT_EQ(row.value.npv, own.npv) << type;
        EXPECT_EQ(row.value.delta, own.delta) << type;
        EXPECT_EQ(row.value.gamma, own.gamma * row.spot) << type;
        EXPECT_NE(own.gamma, 0.0) << type;
    }
    random_sample::reset();

    std::ostringstream table;
    write_table(table, result);
    ASSERT_EQ(result.rows.size(), book.size());
    EXPECT_EQ(result.failed(), 0u) << table.str();
    std::set<std::string> types;
    for (const auto& row : result.rows) {
        types.insert(row.type.value_or(""));
        EXPECT_EQ(row.spot_source, SpotSource::Store) << row.label();
        for (std::size_t f = 0; f < OptionGreeks::size(); ++f)
            EXPECT_TRUE(std::isfinite(row.value[f])) << row.label() << " " << OptionGreeks::field_names[f];
    }
    // Every product type make_option knows is in the book.
    for (const auto& type : known_types()) EXPECT_TRUE(types.count(type)) << type << " missing from the example book";

    const auto row = [&](const std::string& id) -> const BookRow& {
        for (const auto& r : result.rows)
            if (r.id == id) return r;
        ADD_FAILURE() << id << " not in the book";
        return result.rows.front();
    };
    // Closes of 2024-12-31 from the bundled history.
    EXPECT_EQ(row("vanilla-am-put-csi300").spot, 3934.9109);
    EXPECT_EQ(row("vanilla-eu-call-600519").spot, 1469.6786);
    // CSI 300 closed above 4000 in October 2024: the up-and-out call is its rebate.
    EXPECT_EQ(row("uo-call-csi300-knocked-out").value, (OptionGreeks{35, 0, 0, 0, 0, 0}));
    EXPECT_GT(row("uo-call-600519").value.npv, 0);
    EXPECT_GT(row("dnt-csi300").value.npv, 0);
    EXPECT_LT(row("dnt-csi300").value.npv, 100);
}

// --stats: the notes' own statistics on their rows, nothing on the others,
// and three more columns in every format.
TEST(ExampleBookTest, StatsColumnsAreTheNotesOwnStatistics) {
    test::ScopedClient scoped{test::bundled_store()};
    test::ScopedPaths paths{1000};
    const Json book = read_example("book.json");
    const auto market = BookMarket::from_json(read_example("market.json"));
    const Date eval = utils::parse_date("2024-12-31");
    const auto result = value_book(book, market, BookOptions{eval, false, {}, true});
    ASSERT_EQ(result.failed(), 0u);
    for (std::size_t i = 0; i < book.size(); ++i) {
        const auto& row = result.rows[i];
        auto option = make_option(Terms::from_json(book[i]));
        auto* note = dynamic_cast<PhoenixOption*>(option.get());
        auto* snowball = dynamic_cast<SnowBallOption*>(option.get());
        ASSERT_EQ(row.stats.has_value(), note || snowball) << row.label();
        if (!row.stats) continue;
        const UnderlyingMarket& m = *market.find(*row.underlying);
        const auto s = note ? note->statistics(row.spot, market.r.number(), m.vol.number(), m.q.number(), eval)
                            : snowball->statistics(row.spot, market.r.number(), m.vol.number(), m.q.number(), eval);
        EXPECT_EQ(s.npv, row.value.npv) << row.label();
        EXPECT_EQ(row.stats->standard_error, s.standard_error) << row.label();
        EXPECT_EQ(row.stats->ko_probability, s.ko_total) << row.label();
        EXPECT_EQ(row.stats->ki_probability, s.ki_probability) << row.label();
        EXPECT_EQ(row.stats->expected_life, s.expected_life) << row.label();
    }
    std::ostringstream csv;
    write_csv(csv, result);
    EXPECT_THAT(csv.str(), ::testing::StartsWith("record,id,type,underlying,npv,standard_error,ko_probability,"
                                                 "ki_probability,expected_life,spot,"));
    const Json json = book_to_json(result);
    EXPECT_TRUE(json["rows"][0]["standard_error"].is_null()) << "a vanilla has none";
}

TEST_F(BookTest, VanillaLadderMatchesSeparateValuationsAndSkipsFailedContracts) {
    const Json book = Json::array({vanilla("a1", "AAA", 100), vanilla("a2", "AAA", 110), vanilla("b1", "BBB", 50),
                                   vanilla("z1", "ZZZ", 100)});
    const BookMarket m = book_market(kMarket);
    BookOptions options;
    options.evaluation_date = kEval;
    const BookResult base = value_book(book, m, options);
    ASSERT_FALSE(base.rows[3].ok());
    LadderOptions lo;
    lo.spot_shifts = {-0.2, 0.0, 0.1};
    lo.vol_shifts = {-0.05, 0.0, 0.05};
    const BookLadders ladders = ladder_book(book, base, m, options, lo);
    // The contract that failed keeps its row; the other underlyings still get ladders.
    ASSERT_EQ(ladders.underlyings.size(), 2u);
    const auto& a = ladders.underlyings[0];
    EXPECT_EQ(a.underlying, "AAA");
    EXPECT_EQ(a.contracts, 2u);
    for (std::size_t k = 0; k < lo.spot_shifts.size(); ++k) {
        const double spot = 100 * (1 + lo.spot_shifts[k]);
        EXPECT_NEAR(a.points[k].npv, direct_npv(book[0], spot, 0.02, 0.2, 0.01) + direct_npv(book[1], spot, 0.02, 0.2, 0.01),
                    1e-10);
        EXPECT_GT(a.points[k].delta, 0);  // two calls
        for (std::size_t v = 0; v < lo.vol_shifts.size(); ++v) {
            const double vol = 0.2 + lo.vol_shifts[v];
            const double expected = direct_npv(book[0], spot, 0.02, vol, 0.01) +
                                    direct_npv(book[1], spot, 0.02, vol, 0.01) - a.base_value;
            EXPECT_NEAR(a.matrix[v][k], expected, 1e-10);
        }
    }
    // The 0 point is the base value, and the matrix is zero there.
    EXPECT_NEAR(a.points[1].npv, base.rows[0].value.npv + base.rows[1].value.npv, 1e-12);
    EXPECT_NEAR(a.matrix[1][1], 0, 1e-12);
    EXPECT_NEAR(ladders.underlyings[1].points[1].npv, base.rows[2].value.npv, 1e-12);
    EXPECT_EQ(ladders_to_json(ladders).size(), 2u);

    EXPECT_THROW(parse_shift_list("-10,x", "--spot-shifts"), ValueError);
    EXPECT_EQ(parse_shift_list("-10, 5", "s"), (std::vector<double>{-0.1, 0.05}));
    lo.spot_shifts = {-1.0};
    EXPECT_THROW(ladder_book(book, base, m, options, lo), ValueError);
}

// A note's ladder column is one simulation at every spot; each entry is what
// the separate valuation at that spot gives, bit for bit, on every engine.
TEST(ExampleBookTest, NoteLadderColumnsEqualSeparateValuations) {
    test::ScopedClient scoped{test::bundled_store()};
    test::ScopedPaths paths{600};
    const Json book = read_example("book.json");
    const auto market = BookMarket::from_json(read_example("market.json"));
    const Date eval = utils::parse_date("2024-12-31");
    const EvalDate date = utils::DateInput(eval);
    const std::vector<double> shifts{-0.2, 0.0, 0.1};
    Json notes = Json::array();
    for (const auto& contract : book) {
        const std::string type = contract["type"];
        if (type != "snowball" && type != "phoenix") continue;
        notes.push_back(contract);
        BookOptions options;
        options.evaluation_date = eval;
        const BookResult one = value_book(Json::array({contract}), market, options);
        ASSERT_TRUE(one.rows[0].ok());
        const double spot = one.rows[0].spot;
        const UnderlyingMarket& m = *market.find(contract["underlying"]);
        std::vector<double> spots;
        for (double s : shifts) spots.push_back(spot * (1 + s));
        for (const char* engine : {"mc", "qmc", "pde"}) {
            const Terms terms = with_note_engine(Terms::from_json(contract), engine);
            if (contract.contains("memory") && std::string(engine) == "pde") continue;  // refused when made
            auto option = make_option(terms);
            const auto with_greeks = detail::note_spot_ladder(*option, spots, market.r.number(), m.vol.number(), m.q.number(), date, true);
            const auto values = detail::note_spot_ladder(*option, spots, market.r.number(), m.vol.number() + 0.05, m.q.number(), date, false);
            ASSERT_TRUE(with_greeks && values);
            for (std::size_t k = 0; k < spots.size(); ++k) {
                const OptionGreeks g = make_option(terms)->greeks(spots[k], market.r.number(), m.vol.number(), m.q.number(), date);
                EXPECT_EQ((*with_greeks)[k].npv, g.npv) << contract["id"] << " " << engine << " " << k;
                EXPECT_EQ((*with_greeks)[k].delta, g.delta) << contract["id"] << " " << engine << " " << k;
                EXPECT_EQ((*with_greeks)[k].gamma, g.gamma) << contract["id"] << " " << engine << " " << k;
                EXPECT_EQ((*values)[k].npv, make_option(terms)->npv(spots[k], market.r.number(), m.vol.number() + 0.05, m.q.number(), date))
                    << contract["id"] << " " << engine << " " << k;
            }
        }
    }
    // The book's ladder of the notes alone: its points and matrix are the sums
    // of those separate valuations in book order.
    BookOptions options;
    options.evaluation_date = eval;
    const BookResult base = value_book(notes, market, options);
    LadderOptions lo;
    lo.spot_shifts = shifts;
    lo.vol_shifts = {0.0, 0.05};
    const BookLadders ladders = ladder_book(notes, base, market, options, lo);
    ASSERT_EQ(ladders.underlyings.size(), 3u);
    for (const auto& l : ladders.underlyings) {
        const UnderlyingMarket& m = *market.find(l.underlying);
        for (std::size_t k = 0; k < shifts.size(); ++k) {
            double npv = 0, gamma = 0, shifted = 0;
            for (const auto& contract : notes) {
                if (contract["underlying"] != l.underlying) continue;
                auto option = make_option(Terms::from_json(contract));
                const OptionGreeks g = option->greeks(l.points[k].spot, market.r.number(), m.vol.number(), m.q.number(), date);
                npv += g.npv;
                gamma += g.gamma * l.points[k].spot;
                shifted += option->npv(l.points[k].spot, market.r.number(), m.vol.number() + 0.05, m.q.number(), date);
            }
            EXPECT_EQ(l.points[k].npv, npv) << l.underlying << " " << k;
            EXPECT_EQ(l.points[k].gamma, gamma) << l.underlying << " " << k;
            EXPECT_EQ(l.matrix[1][k], shifted - l.base_value) << l.underlying << " " << k;
        }
        EXPECT_EQ(l.points[1].npv, l.base_value) << l.underlying;
    }
}

// The example book mixes notes and QuantLib products: the ladder values the
// notes on a second thread while the others run on the calling one. Every
// point and matrix cell is what the serial valuation gives: the sum, in book
// order, of each contract's ladder alone.
TEST(ExampleBookTest, LaddersOfTheNotesOnASecondThreadEqualTheSerialSums) {
    test::ScopedClient scoped{test::bundled_store()};
    test::ScopedPaths paths{600};
    const Json book = read_example("book.json");
    const auto market = BookMarket::from_json(read_example("market.json"));
    BookOptions options;
    options.evaluation_date = utils::parse_date("2024-12-31");
    options.greeks = true;
    const BookResult base = value_book(book, market, options);
    ASSERT_EQ(base.failed(), 0u);
    LadderOptions lo;
    lo.spot_shifts = {-0.1, 0.1};
    lo.vol_shifts = {0.0, 0.05};
    const BookLadders ladders = ladder_book(book, base, market, options, lo);
    bool notes = false, others = false;
    for (const auto& c : book) (c["type"] == "snowball" || c["type"] == "phoenix" ? notes : others) = true;
    ASSERT_TRUE(notes && others);
    ASSERT_FALSE(ladders.underlyings.empty());
    for (const auto& l : ladders.underlyings) {
        std::vector<LadderPoint> sum(lo.spot_shifts.size());
        std::vector<std::vector<double>> shifted(lo.vol_shifts.size(), std::vector<double>(lo.spot_shifts.size()));
        double base_value = 0;
        for (std::size_t i = 0; i < book.size(); ++i) {
            if (book[i]["underlying"] != l.underlying) continue;
            const Json one = Json::array({book[i]});
            const BookResult row = value_book(one, market, options);
            const BookLadders alone = ladder_book(one, row, market, options, lo);
            ASSERT_EQ(alone.underlyings.size(), 1u);
            const UnderlyingLadder& a = alone.underlyings[0];
            base_value += a.base_value;
            for (std::size_t k = 0; k < sum.size(); ++k) {
                sum[k].npv += a.points[k].npv;
                sum[k].delta += a.points[k].delta;
                sum[k].gamma += a.points[k].gamma;
                sum[k].failed += a.points[k].failed;
                for (std::size_t v = 0; v < lo.vol_shifts.size(); ++v) shifted[v][k] += a.matrix[v][k] + a.base_value;
            }
        }
        for (std::size_t k = 0; k < sum.size(); ++k) {
            EXPECT_EQ(l.points[k].npv, sum[k].npv) << l.underlying << " " << k;
            EXPECT_EQ(l.points[k].delta, sum[k].delta) << l.underlying << " " << k;
            EXPECT_EQ(l.points[k].gamma, sum[k].gamma) << l.underlying << " " << k;
            EXPECT_EQ(l.points[k].failed, sum[k].failed) << l.underlying << " " << k;
        }
        // The matrix: change from the base, NaN where a contract failed.
        for (std::size_t v = 0; v < lo.vol_shifts.size(); ++v)
            for (std::size_t k = 0; k < sum.size(); ++k) {
                if (!std::isfinite(l.matrix[v][k])) continue;
                EXPECT_NEAR(l.matrix[v][k] + l.base_value, shifted[v][k], 1e-9 * (1 + std::fabs(shifted[v][k])))
                    << l.underlying << " " << v << " " << k;
            }
        EXPECT_EQ(l.base_value, base_value) << l.underlying;
    }
}

// The ladder's 0 point at the base vol is the book's own totals: every
// product's value, delta and gamma as its row gives them.
TEST(ExampleBookTest, LadderBasePointIsTheBooksTotals) {
    test::ScopedClient scoped{test::bundled_store()};
    test::ScopedPaths paths{600};
    const Json book = read_example("book.json");
    const auto market = BookMarket::from_json(read_example("market.json"));
    BookOptions options;
    options.evaluation_date = utils::parse_date("2024-12-31");
    options.greeks = true;
    const BookResult base = value_book(book, market, options);
    ASSERT_EQ(base.failed(), 0u);
    LadderOptions lo;
    lo.spot_shifts = {0.0};
    lo.vol_shifts = {0.0};
    const BookLadders ladders = ladder_book(book, base, market, options, lo);
    ASSERT_EQ(ladders.underlyings.size(), 4u);
    for (const auto& l : ladders.underlyings) {
        const auto total = std::find_if(base.totals.begin(), base.totals.end(),
                                        [&](const BookTotal& t) { return t.underlying == l.underlying; });
        ASSERT_NE(total, base.totals.end());
        EXPECT_EQ(l.points[0].failed, 0u) << l.underlying;
        EXPECT_EQ(l.points[0].npv, total->sum.npv) << l.underlying;
        EXPECT_EQ(l.points[0].delta, total->sum.delta) << l.underlying;
        EXPECT_EQ(l.points[0].gamma, total->sum.gamma) << l.underlying;
        EXPECT_EQ(l.matrix[0][0], 0.0) << l.underlying;
    }
}

// Two stores holding different official 2027 lists, valued one after the
// other in one process: each book, and its ladder, follows its own store's
// list, and neither leaves a calendar behind. A vanilla maturing on Friday
// 5 February 2027 rolls to the 8th under list A (4-5 February closed), stays
// under list B (8-12 February closed) and rolls to the 15th under the
// projection (5 and 8-12 February closed).
TEST(BookCalendarTest, EachStoreValuesUnderItsOwnOfficialClosures) {
    namespace cal = kestrel::calendar;
    test::TempDir dir;
    const auto list_a = cal::read_closures("date,holiday\n2027-02-04,Spring Festival\n2027-02-05,Spring Festival\n", "a.csv");
    const auto list_b = cal::read_closures(
        "date,holiday\n2027-02-08,Spring Festival\n2027-02-09,Spring Festival\n2027-02-10,Spring Festival\n"
        "2027-02-11,Spring Festival\n2027-02-12,Spring Festival\n",
        "b.csv");
    const auto open = [&](const std::string& name, const cal::ClosureList& list) {
        heron::SqliteStore(dir.file(name)).import_closures(list);
        return std::make_shared<heron::SqliteStore>(dir.file(name), heron::SqliteStore::Options{heron::SqliteStore::Mode::ReadOnly});
    };
    const auto store_a = open("a.db", list_a);
    const auto store_b = open("b.db", list_b);
    Json contract = vanilla("v", "AAA", 95);
    contract["maturity_date"] = "2027-02-05";
    const Json book = Json::array({contract});
    const BookMarket mk = book_market(kMarket);
    LadderOptions lo;
    lo.spot_shifts = {0.1};
    lo.vol_shifts = {0.0};

    struct Case {
        std::shared_ptr<heron::Client> store;
        const cal::ClosureList* list;
        const char* maturity;
    };
    const Case cases[] = {{store_a, &list_a, "2027-02-08"}, {store_b, &list_b, "2027-02-05"},
                          {std::make_shared<test::CountingClient>(), nullptr, "2027-02-15"}};
    std::set<double> values;
    for (const Case& c : cases) {
        test::ScopedClient scoped{c.store};
        const BookResult result = value_book(book, mk, BookOptions{kEval, false, {}});
        const BookLadders ladders = ladder_book(book, result, mk, BookOptions{kEval, false, {}}, lo);
        EXPECT_TRUE(cal::official_years().empty()) << c.maturity;
        ASSERT_TRUE(result.rows[0].ok()) << c.maturity;
        EXPECT_EQ(result.rows[0].projected_years, c.list ? std::vector<int>{} : std::vector<int>{2027});
        const cal::ScopedClosures closures(c.list ? *c.list : cal::ClosureList{});
        const auto option = make_option(Terms::from_json(contract));
        EXPECT_EQ(option->maturity_date(), utils::parse_date(c.maturity));
        EXPECT_EQ(result.rows[0].value.npv, direct_npv(contract, 100, 0.02, 0.2, 0.01));
        ASSERT_EQ(ladders.underlyings.size(), 1u);
        EXPECT_EQ(ladders.underlyings[0].points[0].npv, direct_npv(contract, 100 * (1 + 0.1), 0.02, 0.2, 0.01));
        values.insert(result.rows[0].value.npv);
    }
    EXPECT_EQ(values.size(), 3u);
}

// The market file's calibrated forms: quotes from a file relative to the
// market file or inline, a grid of implied vols; each calibrated once per
// underlying, date and spot, and shared by every contract and bump.
TEST(BookMarketTest, LocalAndSurfaceVolsCalibrateOnceAndNameWhatIsWrong) {
    const Date D = utils::parse_date("2023-12-04");
    const std::string dir = std::string(KESTREL_EXAMPLES_DIR);
    std::ifstream in(dir + "/market_local_vol.json");
    const Json file = Json::parse(in);
    const BookMarket m = BookMarket::from_json(file, dir + "/market_local_vol.json");
    m.check(D);
    const Market a = m.market_of("510050.XSHG", 2.367, D), b = m.market_of("510050.XSHG", 2.367, D);
    ASSERT_TRUE(a.vol.has_surface());
    EXPECT_EQ(a.vol.surface(), b.vol.surface());
    EXPECT_FALSE(a.is_flat());
    // Forwards from parity: the carry is the quotes' own (about -1.5 %).
    EXPECT_NEAR(a.q.zero_rate(D, 0.5), -0.0155, 0.002);
    EXPECT_NEAR(std::sqrt(a.vol.variance(D, 0.5) / 0.5), 0.151, 0.01);
    // After the last expiry the quotes are past: refused naming the field.
    EXPECT_THROW(m.check(utils::parse_date("2024-07-01")), ValueError);

    // A grid of one vol everywhere, forwards from the market's r and q.
    const Json grid = Json::parse(R"({"r": 0.02, "underlyings": {"X": {"spot": 100, "q": 0.01,
        "vol": {"surface": {"expiries": ["3M", "6M", "1Y"], "strikes": [80, 90, 100, 110, 120],
                            "vols": [[0.2, 0.2, 0.2, 0.2, 0.2], [0.2, 0.2, 0.2, 0.2, 0.2], [0.2, 0.2, 0.2, 0.2, 0.2]]}}}}})");
    const Market g = BookMarket::from_json(grid).market_of("X", 100.0, D);
    ASSERT_TRUE(g.vol.has_surface());
    EXPECT_NEAR(std::sqrt(g.vol.variance(D, 0.5) / 0.5), 0.2, 2e-3);
    EXPECT_EQ(g.q, RateCurve(0.01));

    auto error = [](const char* text) {
        try {
            (void)BookMarket::from_json(Json::parse(text), "m.json").market_of("X", 100.0, utils::parse_date("2023-12-04"));
        } catch (const Error& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_THAT(error(R"({"r": 0.02, "underlyings": {"X": {"q": 0, "vol": {"surface": {"expiries": ["3M"], "strikes": [90, 100],
        "vols": [[0.2]]}}}}})"), testing::HasSubstr("m.json: X: \"vol\""));
    EXPECT_THAT(error(R"({"r": 0.02, "underlyings": {"X": {"q": 0, "vol": {"surface": {"expiries": ["3M"], "strikes": [90, 100],
        "vols": [[0.2, -0.1]]}}}}})"), testing::HasSubstr("the volatility must be positive"));
    EXPECT_THAT(error(R"({"r": 0.02, "underlyings": {"X": {"q": 0, "vol": {"local": {"quotes": "no-such-file.csv"}}}}})"),
                testing::HasSubstr("m.json: X: \"vol\""));
    EXPECT_THAT(error(R"({"r": 0.02, "underlyings": {"X": {"q": 0, "vol": {"local": {"quotes": [
        {"expiry": "2024-01-24", "type": "call", "strike": 100, "price": -1}]}}}}})"),
                testing::HasSubstr("row 1: negative price"));
}

// --bucketed: each expiry's quotes moved alone; the buckets sum to about the
// parallel vega, and the csv and json carry them per contract and underlying.
TEST(BookMarketTest, BucketedVegasSumToAboutTheParallelVega) {
    test::ScopedPaths paths{4000};
    auto client = std::make_shared<test::CountingClient>();
    test::ScopedClient scoped{client};
    const std::string dir = std::string(KESTREL_EXAMPLES_DIR);
    std::ifstream in(dir + "/market_local_vol.json");
    const BookMarket market = BookMarket::from_json(Json::parse(in), dir + "/market_local_vol.json");
    const Json book = Json::parse(R"([{"id": "sb", "type": "snowball", "effect_date": "2023-12-04",
        "maturity_date": "2024-06-04", "underlying": "510050.XSHG", "s0": 2.367, "notional": 1.0, "strike": 2.367,
        "ki_barrier": 2.01195, "ko_barrier": 2.367, "coupon_rate": 0.07, "ki_obs_freq": "daily",
        "ko_obs_freq": "monthly", "obs_start_date": "2023-12-04", "obs_end_date": "2024-06-04", "engine": "pde"}])");
    BookOptions options;
    options.evaluation_date = utils::parse_date("2023-12-04");
    options.greeks = true;
    options.bucketed = true;
    const BookResult r = value_book(book, market, options);
    ASSERT_TRUE(r.rows[0].ok()) << r.rows[0].error->message;
    ASSERT_EQ(r.rows[0].bucketed_vega.size(), 4u);
    EXPECT_EQ(r.rows[0].bucketed_vega[0].first, utils::parse_date("2023-12-27"));
    double sum = 0;
    for (const auto& [expiry, v] : r.rows[0].bucketed_vega) sum += v;
    const double vega = r.rows[0].value.vega;
    EXPECT_LT(vega, 0);  // short the knock-in put
    EXPECT_NEAR(sum, vega, 0.02 * std::fabs(vega));
    EXPECT_EQ(r.totals[0].bucketed_vega, r.rows[0].bucketed_vega);
    std::ostringstream csv;
    write_csv(csv, r);
    EXPECT_THAT(csv.str(), testing::HasSubstr("\nbucketed,sb,510050.XSHG,2024-06-26,"));
    EXPECT_THAT(csv.str(), testing::HasSubstr("\nbucketed_total,,510050.XSHG,2023-12-27,"));
    const Json j = book_to_json(r);
    EXPECT_EQ(j["rows"][0]["bucketed_vega"].size(), 4u);
    EXPECT_EQ(j["totals"][0]["bucketed_vega"][3]["expiry"], "2024-06-26");
}
