// `kestrel book --save`, `kestrel runs`, `kestrel cashflows`, `kestrel explain` and `kestrel backtest` run as processes.
#include "support/test_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <cstdlib>
#include <string>

namespace {

using Json = nlohmann::ordered_json;
using kestrel::test::TempDir;
using ::testing::HasSubstr;

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
const std::string kBookArgs =
    kExamples + "/book.json --market " + kExamples + "/market.json --date 2024-12-31 --greeks --paths 2000";

TEST(NightlyCli, SavedRunsAreListedAndShowTheBooksOwnRows) {
    TempDir dir;
    const std::string db = dir.file("runs.db");
    const Outcome plain = kestrel_cli("book " + kBookArgs + " --format csv");
    ASSERT_EQ(plain.code, 0) << plain.err;
    const Outcome saved = kestrel_cli("book " + kBookArgs + " --format csv --save " + db);
    ASSERT_EQ(saved.code, 0) << saved.err;
    EXPECT_EQ(saved.out, plain.out);  // saving changes nothing printed
    EXPECT_THAT(saved.err, HasSubstr("saved run 1 in " + db));
    ASSERT_EQ(kestrel_cli("book " + kBookArgs + " --save " + db).code, 0);

    const Outcome list = kestrel_cli("runs list --db " + db + " --format json");
    ASSERT_EQ(list.code, 0) << list.err;
    const Json runs = Json::parse(list.out);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0]["id"], 1);
    EXPECT_EQ(runs[1]["id"], 2);
    EXPECT_EQ(runs[0]["evaluation_date"], "2024-12-31");
    EXPECT_EQ(runs[1]["evaluation_date"], "2024-12-31");
    EXPECT_EQ(runs[0]["settings"]["paths"], 2000);
    EXPECT_EQ(runs[0]["contracts"], 15);

    const Outcome shown = kestrel_cli("runs show 1 --db " + db + " --format csv");
    ASSERT_EQ(shown.code, 0) << shown.err;
    EXPECT_EQ(shown.out, plain.out);  // every number as valued, to the last digit

    const Outcome missing = kestrel_cli("runs show 9 --db " + db);
    EXPECT_EQ(missing.code, 1);
    EXPECT_THAT(missing.err, HasSubstr("KeyError"));
    EXPECT_THAT(missing.err, HasSubstr("no run 9"));
}

TEST(NightlyCli, ASaveThatCannotBeWrittenIsAnErrorNamingTheFile) {
    const Outcome r = kestrel_cli("book " + kBookArgs + " --format csv --save /nonexistent-dir/runs.db");
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.out, HasSubstr("vanilla-eu-call-600519"));  // the valuation is still written
    EXPECT_THAT(r.err, HasSubstr("/nonexistent-dir/runs.db"));
}

TEST(NightlyCli, CashflowsOfTheExampleBook) {
    const std::string args = "cashflows " + kExamples + "/book.json --market " + kExamples + "/market.json";
    const Outcome csv = kestrel_cli(args + " --from 2023-01-01 --to 2024-12-31 --format csv");
    ASSERT_EQ(csv.code, 0) << csv.err;
    EXPECT_THAT(csv.out, HasSubstr("uo-call-csi300-knocked-out,barrier,000300.XSHG,2024-09-30,knock_out,35,"));
    // The knock-out is before this window: nothing.
    const Outcome later = kestrel_cli(args + " --from 2024-09-30 --to 2024-12-31 --format json");
    ASSERT_EQ(later.code, 0) << later.err;
    const Json later_json = Json::parse(later.out);
    for (const auto& c : later_json["contracts"]) {
        if (c["id"] == "uo-call-csi300-knocked-out") {
            EXPECT_TRUE(c["flows"].empty());
        }
    }
    const Outcome backwards = kestrel_cli(args + " --from 2024-12-31 --to 2024-01-01");
    EXPECT_EQ(backwards.code, 1);
    EXPECT_THAT(backwards.err, HasSubstr("ValueError"));
}

}  // namespace

TEST(NightlyCli, ExplainBetweenTwoSavedDatesSumsItsStepsAndNamesBadRuns) {
    TempDir dir;
    const std::string db = dir.file("runs.db");
    const std::string args = kExamples + "/book.json --market " + kExamples + "/market.json --greeks --paths 2000";
    ASSERT_EQ(kestrel_cli("book " + args + " --date 2024-12-30 --save " + db).code, 0);
    ASSERT_EQ(kestrel_cli("book " + args + " --date 2024-12-31 --save " + db).code, 0);
    const Outcome e = kestrel_cli("explain --db " + db + " --from 2024-12-30 --to 2024-12-31 --format json");
    ASSERT_EQ(e.code, 0) << e.err;
    const Json j = Json::parse(e.out);
    ASSERT_EQ(j["rows"].size(), 15u);
    for (const auto& row : j["rows"]) {
        double steps = 0;
        for (const auto& [k, v] : row["steps"].items()) steps += v.get<double>();
        EXPECT_NEAR(steps, row["total"].get<double>(), 1e-9) << row["id"];
        EXPECT_EQ(row["steps"]["trades"], 0.0) << row["id"];  // the same book: no trades
        EXPECT_TRUE(row["greeks"].contains("unexplained"));
    }
    EXPECT_EQ(j["totals"].back()["id"], "book");
    const Outcome table = kestrel_cli("explain --db " + db + " --from 1 --to 2");
    ASSERT_EQ(table.code, 0) << table.err;
    EXPECT_THAT(table.out, HasSubstr("steps in order: time"));

    const Outcome bad = kestrel_cli("explain --db " + db + " --from last-week --to 2");
    EXPECT_EQ(bad.code, 1);
    EXPECT_THAT(bad.err, HasSubstr("neither a run id nor a date"));
    const Outcome none = kestrel_cli("explain --db " + db + " --from 2024-12-29 --to 2");
    EXPECT_EQ(none.code, 1);
    EXPECT_THAT(none.err, HasSubstr("no run of 2024-12-29"));
}

TEST(NightlyCli, BacktestOnTheBundledHistoryReproducesToTheCentAndWritesItsPage) {
    TempDir dir;
    const std::string note = dir.write("note.json", R"({"id": "sb", "type": "snowball", "underlying": "000905.XSHG",
      "effect_date": "2024-11-01", "maturity_date": "2026-11-02", "s0": 5831.8217, "notional": 1000000,
      "strike": 5831.8217, "ki_barrier": 4373.8663, "ko_barrier": 6006.7764, "coupon_rate": 0.1,
      "ki_obs_freq": "daily", "ko_obs_freq": "monthly", "obs_start_date": "2024-11-01", "obs_end_date": "2026-11-02"})");
    const std::string args = "backtest " + note + " --market " + kExamples +
                             "/market.json --from 2024-11-01 --to 2025-02-28 --engine pde";
    const Outcome a = kestrel_cli(args + " --format csv --report " + dir.file("bt.html"));
    ASSERT_EQ(a.code, 0) << a.err;
    const Outcome b = kestrel_cli(args + " --format csv");
    EXPECT_EQ(a.out, b.out);
    EXPECT_THAT(a.out, HasSubstr("2025-02-28,"));
    const std::string page = kestrel::test::read_file(dir.file("bt.html"));
    EXPECT_THAT(page, HasSubstr("<svg"));
    EXPECT_THAT(page, HasSubstr("ko_barrier"));
    const Outcome j = kestrel_cli(args + " --format json --rebalance weekly");
    ASSERT_EQ(j.code, 0) << j.err;
    const Json r = Json::parse(j.out);
    EXPECT_EQ(r["rebalance_every"], 5);
    EXPECT_EQ(r["pnl"], r["days"].back()["pnl"]);
    const Outcome bad = kestrel_cli("backtest " + note + " --market " + kExamples + "/market.json --from 2024-11-02");
    EXPECT_EQ(bad.code, 1);
    EXPECT_THAT(bad.err, HasSubstr("no close of 000905.XSHG on 2024-11-02"));
}
