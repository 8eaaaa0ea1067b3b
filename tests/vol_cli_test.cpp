// `kestrel vol calibrate` run as a process: the printed calibration, the
// market-file entry it writes, and refused input.
#include "support/test_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

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

const std::string kOptions = std::string(KESTREL_SOURCE_DIR) + "/data/options";
const std::string kArgs = " --market " + kOptions + "/market-2023-12-04.json --underlying 510050.XSHG --date 2023-12-04";

TEST(VolCli, CalibratesThe510050QuotesAndWritesTheEntry) {
    TempDir dir;
    const auto r = kestrel_cli("vol calibrate " + kOptions + "/510050.XSHG-2023-12-04.csv" + kArgs + " --out " +
                               dir.file("surface.json"));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("forwards (put-call parity; spot 2.367, 2023-12-04)"));
    EXPECT_THAT(r.out, HasSubstr("row 161 (2024-06-26 put 2.657) at 0.255: left out of the forward"));
    EXPECT_THAT(r.out, HasSubstr("butterfly (g >= 0 on each smile's check grid): holds"));
    EXPECT_THAT(r.out, HasSubstr("calendar (total variance non-decreasing in expiry at each k): holds"));
    const auto entry = nlohmann::json::parse(kestrel::test::read_file(dir.file("surface.json")));
    EXPECT_EQ(entry["local"]["forwards"], "parity");
    EXPECT_EQ(entry["local"]["quotes"].size(), 160u);
    EXPECT_EQ(entry["local"]["calibration"]["model"], "svi-raw");
}

TEST(VolCli, RefusesABadFileNamingTheRowAndWritesNothing) {
    TempDir dir;
    {
        std::ofstream f(dir.file("q.csv"));
        f << "expiry,type,strike,price\n2024-01-24,call,2.4,0.05\n2024-01-24,put,2.4,-0.05\n";
    }
    const auto r = kestrel_cli("vol calibrate " + dir.file("q.csv") + kArgs + " --out " + dir.file("s.json"));
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.err, HasSubstr("row 3: negative price"));
    EXPECT_FALSE(std::ifstream(dir.file("s.json")).good());
    const auto usage = kestrel_cli("vol calibrate " + dir.file("q.csv") + " --underlying X --date 2023-12-04");
    EXPECT_EQ(usage.code, 2);
}

}  // namespace

// The calibrated surface in a market file values through price --market and
// book --market alike (the example market, its quotes relative to the file),
// and differently from the flat at-the-money volatility.
TEST(VolCli, PriceAndBookValueOnTheMarketFilesSurface) {
    TempDir dir;
    {
        std::ofstream note(dir.file("note.json"));
        note << R"({"id": "sb", "type": "snowball", "effect_date": "2023-12-04", "maturity_date": "2024-06-04",
            "underlying": "510050.XSHG", "s0": 2.367, "notional": 1.0, "strike": 2.367, "ki_barrier": 2.01195,
            "ko_barrier": 2.367, "coupon_rate": 0.07, "ki_obs_freq": "daily", "ko_obs_freq": "monthly",
            "obs_start_date": "2023-12-04", "obs_end_date": "2024-06-04", "engine": "pde"})";
    }
    {
        std::ofstream book(dir.file("book.json"));
        book << "[" << kestrel::test::read_file(dir.file("note.json")) << "]";
    }
    const std::string market = std::string(KESTREL_SOURCE_DIR) + "/examples/market_local_vol.json";
    const auto price = kestrel_cli("price " + dir.file("note.json") + " --market " + market + " --date 2023-12-04");
    ASSERT_EQ(price.code, 0) << price.err;
    const auto book = kestrel_cli("book " + dir.file("book.json") + " --market " + market +
                                  " --date 2023-12-04 --format json");
    ASSERT_EQ(book.code, 0) << book.err;
    const double npv = nlohmann::json::parse(price.out)["npv"].get<double>();
    EXPECT_EQ(nlohmann::json::parse(book.out)["rows"][0]["npv"].get<double>(), npv);
    const auto flat = kestrel_cli("price " + dir.file("note.json") +
                                  " --spot 2.367 --r 0.02 --q 0 --vol 0.151 --date 2023-12-04");
    ASSERT_EQ(flat.code, 0) << flat.err;
    EXPECT_GT(std::fabs(nlohmann::json::parse(flat.out)["npv"].get<double>() - npv), 2e-4);
}

// The QuantLib products value on the market file's surface through book
// --market (their local-volatility engines; none fails) and price --market
// alike, and differently from the flat at-the-money volatility.
TEST(VolCli, TheQuantLibProductsValueOnTheMarketFilesSurface) {
    TempDir dir;
    const std::string common = R"("underlying": "510050.XSHG", "effect_date": "2023-12-04", "s0": 2.367, "notional": 1.0)";
    const std::string contracts[] = {
        R"({"id": "di", "type": "barrier", "maturity_date": "2024-06-26", "call_put": "put", "barrier_type": "down_and_in",
            "strike": 2.367, "barrier": 2.0, "rebate": 0.01, "exercise_type": "european", "payoff_type": "plain_vanilla", )",
        R"({"id": "ko", "type": "corridor", "maturity_date": "2024-06-26", "call_put": "call", "barrier_type": "knock_out",
            "strike": 2.367, "barrier_lo": 2.0, "barrier_hi": 2.8, "exercise_type": "european",
            "payoff_type": "plain_vanilla", )",
        R"({"id": "dnt", "type": "tandem", "maturity_date": "2024-06-26", "touch_type": "double_no_touch",
            "touch_price_lo": 2.1, "touch_price_hi": 2.6, "digital_payoff": 1.0, "pay_at": "expiry", )",
        R"({"id": "asian", "type": "asian", "maturity_date": "2024-03-04", "call_put": "call", "strike": 2.367, )",
        R"({"id": "touch", "type": "vanilla", "maturity_date": "2024-06-26", "call_put": "put", "strike": 2.1,
            "exercise_type": "american", "payoff_type": "cash_or_nothing", "digital_payoff": 1.0, )",
    };
    {
        std::ofstream book(dir.file("book.json"));
        book << "[";
        for (const auto& c : contracts) book << (&c == contracts ? "" : ",") << c << common << "}";
        book << "]";
        std::ofstream dnt(dir.file("dnt.json"));
        dnt << contracts[2] << common << "}";
    }
    const std::string market = std::string(KESTREL_SOURCE_DIR) + "/examples/market_local_vol.json";
    const auto book = kestrel_cli("book " + dir.file("book.json") + " --market " + market +
                                  " --date 2023-12-04 --format json");
    ASSERT_EQ(book.code, 0) << book.err;
    const auto out = nlohmann::json::parse(book.out);
    ASSERT_EQ(out["rows"].size(), 5u);
    for (const auto& row : out["rows"]) {
        EXPECT_FALSE(row.contains("error")) << row.dump();
        EXPECT_GT(row["npv"].get<double>(), 0.01) << row.dump();
    }
    const auto price = kestrel_cli("price " + dir.file("dnt.json") + " --market " + market + " --date 2023-12-04");
    ASSERT_EQ(price.code, 0) << price.err;
    const double npv = nlohmann::json::parse(price.out)["npv"].get<double>();
    EXPECT_EQ(out["rows"][2]["npv"].get<double>(), npv);
    const auto flat = kestrel_cli("price " + dir.file("dnt.json") +
                                  " --spot 2.367 --r 0.02 --q 0 --vol 0.151 --date 2023-12-04");
    ASSERT_EQ(flat.code, 0) << flat.err;
    EXPECT_GT(std::fabs(nlohmann::json::parse(flat.out)["npv"].get<double>() - npv), 1e-3);
}
