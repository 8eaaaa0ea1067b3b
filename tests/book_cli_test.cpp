// `kestrel book` run as a process: every row written, exit codes, formats,
// files, and the bundled example book.
#include "support/test_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <charconv>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Json = nlohmann::ordered_json;
using kestrel::test::TempDir;
using ::testing::HasSubstr;
using ::testing::StartsWith;

struct Outcome {
    int code = -1;
    std::string out, err;
};

Outcome kestrel_cli(const std::string& args) {
    TempDir dir;
    const std::string cmd = std::string(KESTREL_CLI) + " " + args + " >" + dir.file("out") + " 2>" + dir.file("err");
    const int status = std::system(cmd.c_str());
    Outcome r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = kestrel::test::read_file(dir.file("out"));
    r.err = kestrel::test::read_file(dir.file("err"));
    return r;
}

const std::string kExamples = std::string(KESTREL_SOURCE_DIR) + "/examples";

Json vanilla(const std::string& id, const std::string& underlying) {
    return Json{{"id", id},          {"type", "vanilla"},          {"underlying", underlying},
                {"effect_date", "2024-06-03"}, {"maturity_date", "2025-06-30"}, {"s0", 3588.7},
                {"notional", 1},     {"call_put", "put"},          {"strike", 3600},
                {"exercise_type", "european"}, {"payoff_type", "plain_vanilla"}};
}

const char* kMarket = R"({"r": 0.016, "underlyings": {
    "000300.XSHG": {"vol": 0.19, "q": 0.025},
    "600519.XSHG": {"vol": 0.24, "q": 0.03, "spot": 1500}}})";

std::vector<std::string> split_csv_line(const std::string& line) {
    std::vector<std::string> out(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
            out.back() += '"';
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            out.emplace_back();
        } else {
            out.back() += c;
        }
    }
    return out;
}

}  // namespace

TEST(CliBook, ExampleBookValuesEveryContractWithGreeks) {
    const Outcome r = kestrel_cli("book " + kExamples + "/book.json --market " + kExamples +
                                  "/market.json --date 2024-12-31 --greeks --paths 2000 --format json");
    ASSERT_EQ(r.code, 0) << r.err << r.out;
    EXPECT_EQ(r.err, "");  // no progress bar when stderr is not a terminal
    const Json out = Json::parse(r.out);
    const Json book = Json::parse(kestrel::test::read_file(kExamples + "/book.json"));
    ASSERT_EQ(out["rows"].size(), book.size());
    for (std::size_t i = 0; i < book.size(); ++i) {
        const auto& row = out["rows"][i];
        EXPECT_EQ(row["id"], book[i]["id"]);
        EXPECT_FALSE(row.contains("error")) << row.dump();
        for (const char* f : {"npv", "delta", "gamma", "vega", "theta", "rho"})
            EXPECT_TRUE(row[f].is_number()) << row["id"] << " " << f;
        EXPECT_EQ(row["spot_source"], "store");
    }
    EXPECT_EQ(out["totals"].back()["scope"], "book");
    EXPECT_EQ(out["totals"].back()["contracts"], book.size());
    EXPECT_EQ(out["totals"].back()["failed"], 0);
}


TEST(CliBook, WithoutSpotsPastTheStoresLastCloseEveryRowStaysAndTheLastLineSaysWhatToPass) {
    // The market file gives no spots; the bundled closes end on 2026-07-31
    // (the indices) and 2025-12-31 (Kweichow Moutai), data/prices/README.md.
    const Outcome r = kestrel_cli("book " + kExamples + "/book.json --market " + kExamples + "/market.json --date 2026-09-01");
    EXPECT_EQ(r.code, 1);
    const Json book = Json::parse(kestrel::test::read_file(kExamples + "/book.json"));
    EXPECT_THAT(r.out, HasSubstr("15 contracts, 15 failed"));
    for (const auto& contract : book) EXPECT_THAT(r.out, HasSubstr(contract["id"].get<std::string>()));
    EXPECT_EQ(r.err,
              "error: 15 of 15 contracts failed; their rows give the error; the store's \"pre\" closes end on "
              "2025-12-31 (600519.XSHG) and 2026-07-31 (000300.XSHG, 000905.XSHG, 000852.XSHG), before 2026-09-01: "
              "pass --date 2025-12-31 (or an earlier trading day) or give each underlying a \"spot\" in the market "
              "file\n");
}
TEST(CliBook, BrokenContractsAreReportedAfterEveryRowAndExitOne) {
    TempDir dir;
    Json missing = vanilla("missing-strike", "000300.XSHG");
    missing.erase("strike");
    Json unknown_type = vanilla("unknown-type", "000300.XSHG");
    unknown_type["type"] = "lookback";
    const Json book = Json::array({vanilla("good-1", "000300.XSHG"), missing, unknown_type,
                                   vanilla("unknown-underlying", "000001.XSHE"), vanilla("good-2", "600519.XSHG")});
    const std::string args = "book " + dir.write("book.json", book.dump()) + " --market " +
                             dir.write("market.json", kMarket) + " --date 2024-12-31";

    const Outcome json = kestrel_cli(args + " --format json");
    EXPECT_EQ(json.code, 1);
    EXPECT_EQ(json.err, "error: 3 of 5 contracts failed; their rows give the error\n");
    const Json out = Json::parse(json.out);
    ASSERT_EQ(out["rows"].size(), 5u);
    EXPECT_TRUE(out["rows"][0]["npv"].is_number());
    EXPECT_EQ(out["rows"][0]["spot"], 3934.9109);  // the store's close
    EXPECT_EQ(out["rows"][1]["error"], (Json{{"kind", "KeyError"}, {"message", "strike"}}));
    EXPECT_EQ(out["rows"][2]["error"]["kind"], "ValueError");
    EXPECT_THAT(out["rows"][2]["error"]["message"].get<std::string>(), HasSubstr("lookback"));
    EXPECT_EQ(out["rows"][3]["error"]["message"], "the market has no inputs for underlying 000001.XSHE");
    EXPECT_EQ(out["rows"][4]["spot"], 1500);  // the market's own spot
    EXPECT_EQ(out["rows"][4]["spot_source"], "market");

    // The table tells the same story.
    const Outcome table = kestrel_cli(args);
    EXPECT_EQ(table.code, 1);
    EXPECT_THAT(table.out, HasSubstr("KeyError: strike"));
    EXPECT_THAT(table.out, HasSubstr("5 contracts, 3 failed (not in the total)"));
}

TEST(CliBook, CsvFileAndJsonGiveTheSameNumbers) {
    TempDir dir;
    const Json book = Json::array({vanilla("p1", "000300.XSHG"), vanilla("p2", "600519.XSHG")});
    const std::string args = "book " + dir.write("book.json", book.dump()) + " --market " +
                             dir.write("market.json", kMarket) + " --date 2024-12-31 --greeks";
    const Outcome json = kestrel_cli(args + " --format json");
    ASSERT_EQ(json.code, 0) << json.err;
    const Outcome csv = kestrel_cli(args + " --format csv --out " + dir.file("book.csv"));
    ASSERT_EQ(csv.code, 0) << csv.err;
    EXPECT_EQ(csv.out, "");

    const Json out = Json::parse(json.out);
    std::istringstream in(kestrel::test::read_file(dir.file("book.csv")));
    std::string line;
    std::getline(in, line);
    const auto header = split_csv_line(line);
    std::size_t row = 0, total = 0;
    while (std::getline(in, line)) {
        const auto cells = split_csv_line(line);
        ASSERT_EQ(cells.size(), header.size()) << line;
        const bool is_total = cells[0] == "total";
        const Json& expect = is_total ? out["totals"][total++] : out["rows"][row++];
        for (std::size_t c = 0; c < header.size(); ++c) {
            if (!expect.contains(header[c]) || !expect[header[c]].is_number_float()) continue;
            double x = 0;
            std::from_chars(cells[c].data(), cells[c].data() + cells[c].size(), x);
            EXPECT_EQ(x, expect[header[c]].get<double>()) << header[c] << " in " << line;
        }
    }
    EXPECT_EQ(row, 2u);
    EXPECT_EQ(total, 3u);
}

TEST(CliBook, NoCloseInTheStoreIsARowErrorAndBadArgumentsExitTwo) {
    TempDir dir;
    const std::string book = dir.write("book.json", Json::array({vanilla("p1", "000300.XSHG")}).dump());
    const std::string market = dir.write("market.json", kMarket);
    // The bundled indices end on 2026-07-31.
    const Outcome late = kestrel_cli("book " + book + " --market " + market + " --date 2026-08-03 --format json");
    EXPECT_EQ(late.code, 1);
    EXPECT_EQ(Json::parse(late.out)["rows"][0]["error"]["message"],
              "no spot for 000300.XSHG: the market gives none and the store has no \"pre\" close on 2026-08-03");

    const Outcome format = kestrel_cli("book " + book + " --market " + market + " --format xml");
    EXPECT_EQ(format.code, 2);
    EXPECT_THAT(format.err, StartsWith("error: "));
    const Outcome no_market = kestrel_cli("book " + book);
    EXPECT_EQ(no_market.code, 2);

    const Outcome bad_market = kestrel_cli("book " + book + " --market " + dir.write("m.json", R"({"r": 0.01})"));
    EXPECT_EQ(bad_market.code, 2);  // a wrong market file is refused before anything is valued
    EXPECT_EQ(bad_market.err, "error: KeyError: " + dir.file("m.json") + ": missing \"underlyings\"\n");
    EXPECT_EQ(bad_market.out, "");
    const Outcome not_a_book =
        kestrel_cli("book " + dir.write("b.json", R"({"id": "x"})") + " --market " + market);
    EXPECT_EQ(not_a_book.code, 1);
    EXPECT_THAT(not_a_book.err, HasSubstr("a book is a JSON array of contracts, not object"));
}

TEST(CliBook, EngineOptionRevaluesOnlyTheNotesThatNameNone) {
    const std::string args = "book " + kExamples + "/book.json --market " + kExamples +
                             "/market.json --date 2024-12-31 --paths 2000 --format json";
    const Outcome mc = kestrel_cli(args), fd = kestrel_cli(args + " --engine pde");
    ASSERT_EQ(mc.code, 0) << mc.err;
    // The memory phoenix is the one row the pde engine refuses.
    EXPECT_EQ(fd.code, 1) << fd.err;
    const Json a = Json::parse(mc.out)["rows"], b = Json::parse(fd.out)["rows"];
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        const std::string type = a[i]["type"];
        if (b[i].contains("error")) {
            EXPECT_EQ(b[i]["error"]["kind"], "NotImplementedError") << a[i]["id"];
            EXPECT_NE(b[i]["error"]["message"].get<std::string>().find("memory"), std::string::npos);
        } else if (type == "snowball" || type == "phoenix")
            EXPECT_NE(a[i]["npv"], b[i]["npv"]) << a[i]["id"];
        else
            EXPECT_EQ(a[i]["npv"], b[i]["npv"]) << a[i]["id"];
    }
    // --stats gives a pde note the probabilities of its backward solution
    // (standard error 0: nothing is sampled), its value as it is.
    const Json c = Json::parse(kestrel_cli(args + " --engine pde --stats").out)["rows"];
    ASSERT_EQ(c.size(), b.size());
    for (std::size_t i = 0; i < c.size(); ++i) {
        EXPECT_EQ(c[i].value("npv", Json()), b[i].value("npv", Json())) << a[i]["id"];
        const std::string type = a[i]["type"];
        if ((type == "snowball" || type == "phoenix") && !b[i].contains("error")) {
            EXPECT_EQ(c[i]["standard_error"], 0.0) << a[i]["id"];
            const double ko = c[i]["ko_probability"], life = c[i]["expected_life"];
            EXPECT_GE(ko, 0.0) << a[i]["id"];
            EXPECT_LE(ko, 1.0) << a[i]["id"];
            EXPECT_GT(life, 0.0) << a[i]["id"];
        } else {
            EXPECT_TRUE(c[i].value("standard_error", Json()).is_null()) << a[i]["id"];
        }
    }
    EXPECT_EQ(kestrel_cli(args + " --engine fdm").code, 2);
}

TEST(CliBook, ReportsAreWrittenWhenContractsFailAndTheOutputKeepsItsForm) {
    TempDir dir;
    Json missing = vanilla("missing-strike", "000300.XSHG");
    missing.erase("strike");
    const Json book = Json::array({vanilla("good-1", "000300.XSHG"), missing, vanilla("good-2", "600519.XSHG")});
    const std::string args = "book " + dir.write("book.json", book.dump()) + " --market " +
                             dir.write("market.json", kMarket) + " --date 2024-12-31 --format json";
    const Outcome r = kestrel_cli(args + " --spot-shifts -10,0,10 --vol-shifts 0 --report " + dir.file("r.html") +
                                  " --report " + dir.file("r.xlsx"));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "error: 1 of 3 contracts failed; their rows give the error\n");
    const Json out = Json::parse(r.out);
    EXPECT_FALSE(out.contains("ladders"));  // asked for by the report, not by --ladder
    EXPECT_FALSE(out["rows"][0].contains("ko_probability"));
    const std::string page = kestrel::test::read_file(dir.file("r.html"));
    EXPECT_THAT(page, HasSubstr("<td>missing-strike</td><td>vanilla</td><td>KeyError</td>"));
    EXPECT_THAT(page, HasSubstr("data-chart=\"value\""));
    EXPECT_EQ(kestrel::test::read_file(dir.file("r.xlsx")).substr(0, 2), "PK");
    EXPECT_EQ(kestrel::test::read_file(dir.file("r.html.tmp")), "");

    // A name that is neither .html nor .xlsx is refused before any valuation.
    const Outcome bad = kestrel_cli(args + " --report " + dir.file("r.pdf"));
    EXPECT_EQ(bad.code, 2);
    EXPECT_THAT(bad.err, HasSubstr("r.pdf"));
    EXPECT_THAT(bad.err, HasSubstr(".xlsx"));
    EXPECT_EQ(bad.out, "");
}

TEST(CliBook, MarketFileCurvesForwardsAndTheirMistakes) {
    TempDir dir;
    const std::string book = dir.write("book.json", Json::array({vanilla("p", "000300.XSHG")}).dump());
    // An r curve, a vol curve and the CSI 300's carry from forwards: the book
    // values on them and prints carry_rho beside the Greeks.
    const std::string curves = dir.write("m.json", R"({"r": {"curve": [["1M", 0.02], ["1Y", 0.0232]]},
        "underlyings": {"000300.XSHG": {"vol": {"curve": [["3M", 0.17], ["1Y", 0.16]]},
            "q": {"forwards": [["2024-06-21", 3461.0], ["2024-12-20", 3455.0]]}}}})");
    const auto ok = kestrel_cli("book " + book + " --market " + curves + " --date 2024-06-03 --greeks --format json");
    ASSERT_EQ(ok.code, 0) << ok.err;
    const Json row = Json::parse(ok.out)["rows"][0];
    EXPECT_GT(row["npv"].get<double>(), 0.0);
    EXPECT_LT(row["carry_rho"].get<double>(), 0.0);  // a put loses when the carry falls
    EXPECT_EQ(row["spot_source"], "store");

    // Wrong anywhere: exit 2 naming the underlying, the field and the entry,
    // before anything is valued (no output).
    const auto forward_past = kestrel_cli("book " + book + " --market " +
                                          dir.write("f.json", R"({"r": 0.02, "underlyings": {"000300.XSHG": {"vol": 0.2,
                                              "q": {"forwards": [["2024-06-21", 3461.0]]}}}})") +
                                          " --date 2024-06-21 --format json");
    EXPECT_EQ(forward_past.code, 2);
    EXPECT_EQ(forward_past.out, "");
    EXPECT_THAT(forward_past.err, HasSubstr("000300.XSHG: \"q\": forwards: entry 1 (2024-06-21) is not after the "
                                            "evaluation date 2024-06-21"));
    const auto negative_vol = kestrel_cli("book " + book + " --market " +
                                          dir.write("v.json", R"({"r": 0.02, "underlyings": {"000300.XSHG": {
                                              "vol": -0.2, "q": 0}}})"));
    EXPECT_EQ(negative_vol.code, 2);
    EXPECT_THAT(negative_vol.err, HasSubstr("000300.XSHG: \"vol\" must not be negative"));
    const auto engine = kestrel_cli("book " + book + " --market " +
                                    dir.write("e.json", R"({"r": 0.02, "underlyings": {}, "engines": {"barrier": "pde"}})"));
    EXPECT_EQ(engine.code, 2);
    EXPECT_THAT(engine.err, HasSubstr("\"engines\": barrier: this product type takes no engine choice"));
}
