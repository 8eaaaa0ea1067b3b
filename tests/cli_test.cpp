// The kestrel command line, run as a process: output, error lines and exit
// codes.
#include <heron/sqlite_store.hpp>
#include <kestrel/kestrel.hpp>

#include "support/test_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace {

using kestrel::test::TempDir;
using ::testing::HasSubstr;
using ::testing::StartsWith;

struct Outcome {
    int code = -1;
    std::string out, err;
};

Outcome run_with(const std::string& exe, const std::string& args) {
    TempDir dir;
    const std::string cmd = exe + " " + args + " >" + dir.file("out") + " 2>" + dir.file("err");
    const int status = std::system(cmd.c_str());
    Outcome r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = kestrel::test::read_file(dir.file("out"));
    r.err = kestrel::test::read_file(dir.file("err"));
    return r;
}

Outcome kestrel_cli(const std::string& args) { return run_with(KESTREL_CLI, args); }

const std::string kExample = std::string(KESTREL_SOURCE_DIR) + "/examples/vanilla.json";
const std::string kMarket = " --spot 3936.0791 --r 0.018 --vol 0.2 --q 0.015 --date 2025-06-30";

// One "error: ..." line on stderr, nothing on stdout.
void expect_error_line(const Outcome& r, int code, const std::string& prefix) {
    EXPECT_EQ(r.code, code) << r.err;
    EXPECT_THAT(r.err, StartsWith(prefix));
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out, "");
}

// ---------------------------------------------------------------------------
// kestrel price

TEST(CliPrice, GreeksOfTheExampleAsTheLibraryComputesThem) {
    const Outcome r = kestrel_cli("price " + kExample + kMarket + " --greeks");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const auto json = nlohmann::ordered_json::parse(r.out);
    std::vector<std::string> keys;
    for (const auto& [k, v] : json.items()) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"npv", "delta", "gamma", "vega", "theta", "rho"}));

    kestrel::test::ScopedClient store(kestrel::test::bundled_store());
    const auto option = kestrel::make_option(kestrel::Terms::from_json_text(kestrel::test::read_file(kExample)));
    const auto g = option->greeks(3936.0791, 0.018, 0.2, 0.015, "2025-06-30");
    // Printed at full precision: the numbers read back exactly.
    for (std::size_t i = 0; i < kestrel::OptionGreeks::size(); ++i)
        EXPECT_EQ(json.at(kestrel::OptionGreeks::field_names[i]).get<double>(), g[i]) << keys[i];
    EXPECT_GT(g.npv, 0);
}

TEST(CliPrice, NpvAloneFromEveryKindOfStore) {
    const Outcome bundled = kestrel_cli("price " + kExample + kMarket);
    ASSERT_EQ(bundled.code, 0) << bundled.err;
    const auto json = nlohmann::json::parse(bundled.out);
    ASSERT_EQ(json.size(), 1u);
    ASSERT_TRUE(json.contains("npv"));

    const std::string prices = kestrel::test::data_dir() + "/prices";
    TempDir dir;
    {
        heron::SqliteStore db(dir.file("p.db"));
        db.import_directory(prices);
    }
    EXPECT_EQ(kestrel_cli("price " + kExample + kMarket + " --prices " + prices).out, bundled.out);
    EXPECT_EQ(kestrel_cli("price " + kExample + kMarket + " --db " + dir.file("p.db")).out, bundled.out);
    EXPECT_EQ(kestrel_cli("price " + kExample + kMarket + " --paths 1000 --seed 7 --threads 2").out, bundled.out)
        << "simulation settings are accepted and leave an analytic value alone";
}

TEST(CliPrice, BundledStoreIsFoundBesideTheExecutableWithTheFilesAsFallback) {
    // A copy of the program with no share/kestrel beside it reads the price
    // files; with a database there, it reads that database.
    TempDir dir;
    std::filesystem::create_directories(dir.file("bin"));
    std::filesystem::copy_file(KESTREL_CLI, dir.file("bin/kestrel"));
    const std::string copy = dir.file("bin/kestrel");
    const Outcome reference = kestrel_cli("price " + kExample + kMarket);
    EXPECT_EQ(run_with(copy, "price " + kExample + kMarket).out, reference.out);

    std::filesystem::create_directories(dir.file("share/kestrel"));
    { heron::SqliteStore empty(dir.file("share/kestrel/prices.db")); }
    // The maturity rolls through the store's calendar, which an empty store
    // still has, so the value is unchanged ...
    EXPECT_EQ(run_with(copy, "price " + kExample + kMarket).out, reference.out);
    // ... while a store that is not one shows it was the one opened.
    std::filesystem::remove(dir.file("share/kestrel/prices.db"));
    dir.write("share/kestrel/prices.db", std::string(4096, 'x'));
    expect_error_line(run_with(copy, "price " + kExample + kMarket), 1,
                      "error: HeronError: '" + dir.file("share/kestrel/prices.db") + "' is not a kestrel price store");
}

TEST(CliPrice, LibraryErrorsAreOneLineWithTheirKindAndExitOne) {
    TempDir dir;
    const std::string terms = kestrel::test::read_file(kExample);
    struct Case {
        std::string file_text, market, prefix;
    };
    const Case cases[] = {
        {terms, " --spot 0 --r 0.018 --vol 0.2 --q 0.015 --date 2025-06-30", "error: ValueError: "},
        {[&] {
             auto j = nlohmann::ordered_json::parse(terms);
             j.erase("strike");
             return j.dump();
         }(),
         kMarket, "error: KeyError: strike"},
        {[&] {
             auto j = nlohmann::ordered_json::parse(terms);
             j["type"] = "rainbow";
             return j.dump();
         }(),
         kMarket, "error: ValueError: unknown product type: 'rainbow'"},
        {[&] {
             auto j = nlohmann::ordered_json::parse(terms);
             j["exercise_type"] = "bermudan";
             return j.dump();
         }(),
         kMarket, "error: NotImplementedError: BERMUDAN EXERCISE not supported yet"},
        {"{\"type\": \"vanilla\",", kMarket, "error: ValueError: "},
        {"[1, 2]", kMarket, "error: TypeError: "},
    };
    for (const auto& c : cases) {
        const std::string file = dir.write("terms.json", c.file_text);
        SCOPED_TRACE(c.file_text);
        expect_error_line(kestrel_cli("price " + file + c.market), 1, c.prefix);
    }
}

TEST(CliPrice, FairCouponAndStatsAreForTheNotesOnly) {
    expect_error_line(kestrel_cli("price " + kExample + kMarket + " --fair-coupon"), 1,
                      "error: TypeError: a fair coupon is solved for the snowball and phoenix notes only, not vanilla");
    expect_error_line(kestrel_cli("price " + kExample + kMarket + " --stats"), 1, "error: TypeError: statistics");
    for (const char* clash : {" --fair-coupon --greeks", " --stats --greeks", " --fair-coupon --stats", " --target 1"})
        EXPECT_EQ(kestrel_cli("price " + kExample + kMarket + clash).code, 2) << clash;
}

TEST(CliPrice, EngineOptionSetsTheEngineOfANoteThatNamesNone) {
    TempDir dir;
    const std::string note = R"({"type": "snowball", "effect_date": "2025-01-02", "maturity_date": "2026-01-05",
        "underlying": "000300.XSHG", "s0": 100, "notional": 1, "strike": 100, "ki_barrier": 80, "ko_barrier": 103,
        "coupon_rate": 0.2, "ki_obs_freq": "daily", "ko_obs_freq": "monthly", "obs_start_date": "2025-01-02",
        "obs_end_date": "2026-01-05")";
    const std::string plain = dir.write("plain.json", note + "}");
    const std::string qmc = dir.write("qmc.json", note + R"(, "engine": "qmc"})");
    const std::string mc = dir.write("mc.json", note + R"(, "engine": "mc"})");
    const std::string market = " --spot 100 --r 0.02 --vol 0.2 --q 0 --date 2025-01-02 --paths 2000";
    const Outcome by_option = kestrel_cli("price " + plain + market + " --engine qmc");
    ASSERT_EQ(by_option.code, 0) << by_option.err;
    EXPECT_EQ(by_option.out, kestrel_cli("price " + qmc + market).out);
    EXPECT_NE(by_option.out, kestrel_cli("price " + plain + market).out);
    EXPECT_EQ(kestrel_cli("price " + mc + market + " --engine qmc").out, kestrel_cli("price " + plain + market).out)
        << "the terms' own engine wins";
    expect_error_line(kestrel_cli("price " + plain + market + " --engine sobol"), 2, "error: ");
    // --draws single: the same generator words in float precision, a value a hair away.
    const Outcome single = kestrel_cli("price " + plain + market + " --draws single");
    ASSERT_EQ(single.code, 0) << single.err;
    const double a = nlohmann::json::parse(single.out)["npv"];
    const double b = nlohmann::json::parse(kestrel_cli("price " + plain + market).out)["npv"];
    EXPECT_NE(a, b);
    EXPECT_NEAR(a, b, 1e-3 * std::abs(b));
    expect_error_line(kestrel_cli("price " + plain + market + " --draws half"), 2, "error: ");
}

TEST(CliPrice, CommandLineMistakesExitTwo) {
    TempDir dir;
    const std::string mistakes[] = {
        "price " + kExample + " --r 0.018 --vol 0.2 --q 0.015",  // no --spot
        "price " + kExample + " --spot abc --r 0.018 --vol 0.2 --q 0.015",
        "price " + kExample + kMarket + " --date 2025-02-30",
        "price " + kExample + " --spot 1 --r 0 --vol 0.2 --q 0 --date 06/30/2025",
        "price " + dir.file("missing.json") + kMarket,
        "price " + kExample + kMarket + " --db " + kExample + " --prices " + dir.path(),
        "price " + kExample + kMarket + " --paths 0",
        "price " + kExample + kMarket + " --threads 0",
        "price " + kExample + kMarket + " --frobnicate",
        "frobnicate",
        "",
    };
    for (const auto& args : mistakes) {
        SCOPED_TRACE(args);
        expect_error_line(kestrel_cli(args), 2, "error: ");
    }
    const Outcome help = kestrel_cli("price --help");
    EXPECT_EQ(help.code, 0);
    EXPECT_THAT(help.out, HasSubstr("--greeks"));
}

TEST(CliPrice, EngineOptionFillsInANoteThatNamesNone) {
    TempDir dir;
    kestrel::Terms terms{{"type", "snowball"},      {"effect_date", "2024-01-02"}, {"maturity_date", "2025-01-02"},
                         {"underlying", "000300.XSHG"}, {"s0", 3400.0},             {"notional", 1.0},
                         {"strike", 3400.0},         {"ki_barrier", 2720.0},        {"ko_barrier", 3502.0},
                         {"coupon_rate", 0.15},      {"ki_obs_freq", "daily"},      {"ko_obs_freq", "monthly"},
                         {"obs_start_date", "2024-01-02"}, {"obs_end_date", "2025-01-02"}};
    const std::string plain = dir.write("note.json", terms.to_json().dump());
    terms.set("engine", "mc");
    const std::string named = dir.write("named.json", terms.to_json().dump());
    const std::string market = " --spot 3300 --r 0.02 --vol 0.2 --q 0.0 --date 2024-01-02 --paths 2000";
    const Outcome fd = kestrel_cli("price " + plain + market + " --engine pde");
    ASSERT_EQ(fd.code, 0) << fd.err;
    kestrel::test::ScopedClient store(kestrel::test::bundled_store());
    terms.set("engine", "pde");
    EXPECT_EQ(nlohmann::json::parse(fd.out).at("npv").get<double>(),
              kestrel::make_option(terms)->npv(3300, 0.02, 0.2, 0.0, "2024-01-02"));
    // The terms' own engine wins; an unknown one is a usage error.
    EXPECT_EQ(kestrel_cli("price " + named + market + " --engine pde").out, kestrel_cli("price " + plain + market).out);
    expect_error_line(kestrel_cli("price " + plain + market + " --engine fdm"), 2, "error: ");
}

TEST(CliPrice, NumericOptionsSayWhatTheyTake) {
    const std::string vanilla = "price " + kExample + " --date 2025-06-30 ";
    const std::string market = " --spot 3936.0791 --r 0.018 --vol 0.2 --q 0.015";
    const std::pair<std::string, std::string> cases[] = {
        {vanilla + market + " --paths 0", "--paths must be a whole number of at least 1, not '0'"},
        {vanilla + market + " --paths -5", "--paths must be a whole number of at least 1, not '-5'"},
        {vanilla + market + " --paths 1.5", "--paths must be a whole number of at least 1, not '1.5'"},
        {vanilla + market + " --paths 2e-1", "--paths must be a whole number of at least 1, not '2e-1'"},
        {vanilla + market + " --threads 0", "--threads must be a whole number from 1 to 1024, not '0'"},
        {vanilla + market + " --seed -1", "--seed must be a whole number from 0 to 18446744073709551615, not '-1'"},
        {vanilla + market + " --seed 18446744073709551616",
         "--seed must be a whole number from 0 to 18446744073709551615, not '18446744073709551616'"},
        {vanilla + "--spot abc --r 0.018 --vol 0.2 --q 0.015", "--spot must be a number, not 'abc'"},
        {vanilla + "--spot 1 --r 0.018 --vol nan --q 0.015", "--vol must be a finite number, not 'nan'"},
        {vanilla + "--spot 1 --r 1e999 --vol 0.2 --q 0.015", "--r must be a finite number, not '1e999'"},
        {"bench snowball --repeat 0", "--repeat must be a whole number from 1 to 1000, not '0'"},
        {"bench snowball --years 3", "--years must be a whole number from 1 to 2, not '3'"},
    };
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(args);
        const Outcome r = kestrel_cli(args);
        EXPECT_EQ(r.code, 2);
        EXPECT_EQ(r.err, "error: " + message + " (see kestrel --help)\n");
    }

    // A path count with an exponent is the number it names; the largest seed
    // is a seed.
    TempDir dir;
    const auto book = nlohmann::ordered_json::parse(kestrel::test::read_file(std::string(KESTREL_SOURCE_DIR) +
                                                                             "/examples/book.json"));
    const auto note = std::find_if(book.begin(), book.end(), [](const auto& c) { return c["type"] == "snowball"; });
    ASSERT_NE(note, book.end());
    const std::string snowball = "price " + dir.write("note.json", note->dump()) +
                                 " --spot 3934.91 --r 0.016 --vol 0.19 --q 0.025 --date 2024-12-31 --paths ";
    const Outcome thousand = kestrel_cli(snowball + "1000");
    ASSERT_EQ(thousand.code, 0) << thousand.err;
    EXPECT_EQ(kestrel_cli(snowball + "1e3").out, thousand.out);
    EXPECT_EQ(kestrel_cli(snowball + "0.1e4").out, thousand.out);
    EXPECT_NE(kestrel_cli(snowball + "1001").out, thousand.out);
    EXPECT_EQ(kestrel_cli(snowball + "1000 --seed 18446744073709551615").code, 0);
}

TEST(CliPrice, SimdRestrictsTheKernelsWithoutMovingAValue) {
    namespace rs = kestrel::random_sample;
    TempDir dir;
    const auto book = nlohmann::ordered_json::parse(kestrel::test::read_file(std::string(KESTREL_SOURCE_DIR) +
                                                                             "/examples/book.json"));
    const auto note = std::find_if(book.begin(), book.end(), [](const auto& c) { return c["type"] == "snowball"; });
    ASSERT_NE(note, book.end());
    const std::string price = "price " + dir.write("note.json", note->dump()) +
                              " --spot 3934.91 --r 0.016 --vol 0.19 --q 0.025 --date 2024-12-31 --paths 1500 --greeks";
    const Outcome automatic = kestrel_cli(price);
    ASSERT_EQ(automatic.code, 0) << automatic.err;
    std::string have;
    for (rs::Simd s : rs::supported_simd()) have += (have.empty() ? "" : ", ") + std::string(rs::simd_name(s));
    for (rs::Simd s : rs::supported_simd()) {
        const std::string name = rs::simd_name(s);
        EXPECT_EQ(kestrel_cli(price + " --simd " + name).out, automatic.out) << name;
        EXPECT_EQ(run_with("KESTREL_SIMD=" + name + " " + KESTREL_CLI, price).out, automatic.out) << name;
        const Outcome bench =
            kestrel_cli("bench snowball --years 1 --paths 300 --threads 1 --repeat 1 --simd " + name);
        ASSERT_EQ(bench.code, 0) << bench.err;
        EXPECT_EQ(bench.out.substr(0, bench.out.find('\n')),
                  "instruction set: " + name + " (this machine: " + have + ")");
    }
    // The names, and a target this machine lacks, are usage errors.
    const std::pair<std::string, std::string> cases[] = {
        {price + " --simd avx", "--simd: unknown instruction set 'avx' (choose auto, avx512, avx2, sse4 or baseline)"},
        {"book " + std::string(KESTREL_SOURCE_DIR) + "/examples/book.json --simd neon", "--simd: unknown instruction set 'neon' (choose auto, avx512, avx2, sse4 or baseline)"},
    };
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(args);
        const Outcome r = kestrel_cli(args);
        EXPECT_EQ(r.code, 2);
        EXPECT_EQ(r.err, "error: " + message + " (see kestrel --help)\n");
    }
    const Outcome from_environment = run_with("KESTREL_SIMD=avx " + std::string(KESTREL_CLI), price);
    EXPECT_EQ(from_environment.code, 2);
    EXPECT_THAT(from_environment.err, HasSubstr("KESTREL_SIMD: unknown instruction set 'avx'"));
    for (rs::Simd s : {rs::Simd::avx512, rs::Simd::avx2, rs::Simd::sse4}) {
        const auto supported = rs::supported_simd();
        if (std::find(supported.begin(), supported.end(), s) != supported.end()) continue;
        const Outcome r = kestrel_cli(price + " --simd " + rs::simd_name(s));
        EXPECT_EQ(r.code, 2);
        EXPECT_EQ(r.err, std::string("error: --simd: this machine has no ") + rs::simd_name(s) + " (it has " + have +
                             ") (see kestrel --help)\n");
    }
}

// ---------------------------------------------------------------------------
// kestrel data

TEST(CliData, ImportInfoAndABadFileLeavingTheStoreUntouched) {
    TempDir dir;
    const std::string db = dir.file("p.db");
    const std::string good = dir.write("good.csv", "date,open,high,low,close,volume\n"
                                                   "2024-01-02,10,11,9,10.5,100\n"
                                                   "2024-01-03,10.5,12,10,11.5,200\n");
    Outcome r = kestrel_cli("data import " + good + " --db " + db + " --instrument TEST.XSHG --adjust both");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("4 rows: 4 new, 0 replaced, 0 unchanged"));
    r = kestrel_cli("data import " + good + " --db " + db + " --instrument TEST.XSHG --adjust pre");
    EXPECT_THAT(r.out, HasSubstr("2 rows: 0 new, 0 replaced, 2 unchanged"));

    const Outcome info = kestrel_cli("data info --db " + db);
    ASSERT_EQ(info.code, 0) << info.err;
    EXPECT_THAT(info.out, HasSubstr("TEST.XSHG   pre     2024-01-02  2024-01-03     2"));
    EXPECT_THAT(info.out, HasSubstr("2 series, 4 rows"));

    const std::string bytes = kestrel::test::read_file(db);
    const std::string bad = dir.write("bad.csv", "date,open,high,low,close,volume\n"
                                                 "2024-01-02,10,11,9,10.7,100\n"
                                                 "2024-01-04,10.5,12,10,11.5,200\n"
                                                 "2024-01-05,10.5,12,10,oops,200\n");
    expect_error_line(kestrel_cli("data import " + bad + " --db " + db + " --instrument TEST.XSHG --adjust pre"), 1,
                      "error: ValueError: " + bad + ":4: close is not a number: 'oops'");
    EXPECT_EQ(kestrel::test::read_file(db), bytes);
    EXPECT_EQ(kestrel_cli("data info --db " + db).out, info.out);

    expect_error_line(kestrel_cli("data import " + good + " --db " + db + " --instrument X --adjust post"), 2,
                      "error: ");
    expect_error_line(kestrel_cli("data info --db " + dir.file("missing.db")), 2, "error: ");
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing.db")));
    expect_error_line(kestrel_cli("data info --db " + good), 1, "error: HeronError: '" + good + "' is not a kestrel price store");
}

TEST(CliData, InfoWithoutADatabaseShowsTheBundledStore) {
    const std::string bundled =
        (std::filesystem::path(KESTREL_CLI).parent_path().parent_path() / "share/kestrel/prices.db").string();
    const Outcome named = kestrel_cli("data info --db " + bundled);
    ASSERT_EQ(named.code, 0) << named.err;
    const Outcome info = kestrel_cli("data info");
    ASSERT_EQ(info.code, 0) << info.err;
    EXPECT_EQ(info.out, "bundled store: " + bundled + "\n" + named.out);

    // A copy of the program with no database beside it shows the price files
    // it would read, with the same series.
    TempDir dir;
    std::filesystem::create_directories(dir.file("bin"));
    std::filesystem::copy_file(KESTREL_CLI, dir.file("bin/kestrel"));
    const Outcome files = run_with(dir.file("bin/kestrel"), "data info");
    ASSERT_EQ(files.code, 0) << files.err;
    EXPECT_EQ(files.out, "bundled store: " + kestrel::test::data_dir() + "/prices\n" + named.out);
}

// ---------------------------------------------------------------------------
// kestrel calendar

TEST(CliCalendar, ListsOrCountsTradingDays) {
    Outcome r = kestrel_cli("calendar 2024-02-07 2024-02-20");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "2024-02-07\n2024-02-08\n2024-02-19\n2024-02-20\n");
    r = kestrel_cli("calendar 2024-01-01 2024-12-31 --count");
    EXPECT_EQ(r.out, "242\n");
    EXPECT_EQ(r.err, "");
    r = kestrel_cli("calendar 2024-03-01 2024-02-01 --count");
    EXPECT_EQ(r.out, "0\n");
    expect_error_line(kestrel_cli("calendar 2024-02-30 2024-03-01"), 2, "error: ");
}

// ---------------------------------------------------------------------------
// projected and official closures

TEST(CliHolidays, ProjectionMarkedThenAnOfficialListImportedAndBadFilesRefused) {
    TempDir dir;
    const std::string db = dir.file("p.db");
    const std::string prices = dir.write("p.csv", "date,open,high,low,close\n"
                                                  "2027-01-04,100,101,99,100\n2027-01-05,100,101,99,100.5\n");
    ASSERT_EQ(kestrel_cli("data import " + prices + " --db " + db + " --instrument TEST.XSHG --adjust pre").code, 0);

    Outcome r = kestrel_cli("calendar 2027-02-03 2027-02-09 --closures --db " + db);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "2027-02-05  Spring Festival  (projected)\n2027-02-08  Spring Festival  (projected)\n"
                     "2027-02-09  Spring Festival  (projected)\n");
    EXPECT_THAT(r.err, HasSubstr("those of 2027 are projected"));

    // A note over 2027-2028 says its schedule runs into projected years.
    const std::string terms = dir.write(
        "note.json",
        R"({"type": "snowball", "underlying": "TEST.XSHG", "effect_date": "2027-01-04", "maturity_date": "2028-12-29",
            "s0": 100, "notional": 1, "strike": 100, "ki_barrier": 75, "ko_barrier": 103, "coupon_rate": 0.1,
            "ki_obs_freq": "daily", "ko_obs_freq": "monthly", "obs_start_date": "2027-01-04",
            "obs_end_date": "2028-12-29"})");
    const std::string price = "price " + terms + " --spot 100.5 --r 0.02 --vol 0.2 --q 0 --date 2027-01-05 "
                              "--paths 500 --db " + db;
    r = kestrel_cli(price);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.err, StartsWith("warning: the schedule runs through 2027-2028, whose exchange closures are projected"));

    const std::string bytes = kestrel::test::read_file(db);
    const std::pair<std::string, std::string> refused[] = {
        {"date,holiday\n2027-02-04,Spring Festival\n2027-02-06,Spring Festival\n", ":3: 2027-02-06 is a Saturday"},
        {"date,holiday\n2027-02-04,Spring Festival\n2027-02-04,National Day\n", ":3: 2027-02-04 is named twice"},
        {"date,holiday\n2027-01-01,New Year's Day\n2027-01-05,Bridge\n",
         ":3: 2027-01-05 is a trading day in the price history (TEST.XSHG has prices on it)"},
    };
    for (const auto& [text, reason] : refused) {
        const std::string file = dir.write("bad.csv", text);
        expect_error_line(kestrel_cli("data holidays import " + file + " --db " + db), 1,
                          "error: ValueError: " + file + reason);
        EXPECT_EQ(kestrel::test::read_file(db), bytes) << reason;
    }

    // The official list differs from the projection: 4 February closes, 9-12 February trade.
    const std::string official = dir.write("official.csv", "date,holiday\n2027-01-01,New Year's Day\n"
                                                           "2027-02-04,Spring Festival\n2027-02-05,Spring Festival\n"
                                                           "2027-02-08,Spring Festival\n");
    r = kestrel_cli("data holidays import " + official + " --db " + db);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("4 official closures for 2027 (in place of the projection)"));
    r = kestrel_cli("calendar 2027-02-03 2027-02-10 --db " + db);
    EXPECT_EQ(r.out, "2027-02-03\n2027-02-09\n2027-02-10\n");
    EXPECT_EQ(r.err, "");
    r = kestrel_cli("calendar 2027-02-03 2027-02-10 --closures --db " + db);
    EXPECT_EQ(r.out, "2027-02-04  Spring Festival\n2027-02-05  Spring Festival\n2027-02-08  Spring Festival\n");
    r = kestrel_cli(price);
    EXPECT_THAT(r.err, StartsWith("warning: the schedule runs through 2028,"));
}

TEST(CliPrice, MarketFileGivesWhatTheOptionsDoNotAndNegativeVolIsRefused) {
    TempDir dir;
    const std::string market = dir.write("m.json", R"({"r": 0.018, "underlyings": {
        "000300.XSHG": {"vol": 0.2, "q": 0.015, "spot": 3936.0791}}})");
    // A market file of plain numbers gives the plain numbers' value, bit for bit.
    const Outcome plain = kestrel_cli("price " + kExample + kMarket);
    const Outcome from_file = kestrel_cli("price " + kExample + " --market " + market + " --date 2025-06-30");
    ASSERT_EQ(from_file.code, 0) << from_file.err;
    EXPECT_EQ(from_file.out, plain.out);
    // Options win where given.
    const Outcome spot = kestrel_cli("price " + kExample + " --market " + market + " --spot 3900 --date 2025-06-30");
    const Outcome spot_plain =
        kestrel_cli("price " + kExample + " --spot 3900 --r 0.018 --vol 0.2 --q 0.015 --date 2025-06-30");
    EXPECT_EQ(spot.out, spot_plain.out);
    // Curves: a different value, still a number.
    const std::string curve = dir.write("c.json", R"({"r": {"curve": [["1M", 0.015], ["2Y", 0.025]]}, "underlyings": {
        "000300.XSHG": {"vol": {"curve": [["3M", 0.22], ["1Y", 0.2]]}, "q": {"curve": [["1Y", 0.01]]}, "spot": 3936.0791}}})");
    const Outcome curved = kestrel_cli("price " + kExample + " --market " + curve + " --date 2025-06-30 --greeks");
    ASSERT_EQ(curved.code, 0) << curved.err;
    EXPECT_NE(nlohmann::json::parse(curved.out)["npv"], nlohmann::json::parse(plain.out)["npv"]);
    // Mistakes exit 2.
    const Outcome negative = kestrel_cli("price " + kExample + " --spot 3936 --r 0.018 --vol -0.2 --q 0.015");
    EXPECT_EQ(negative.code, 2);
    EXPECT_THAT(negative.err, HasSubstr("--vol must not be negative"));
    const Outcome no_spot = kestrel_cli("price " + kExample + " --r 0.018 --vol 0.2 --q 0.015");
    EXPECT_EQ(no_spot.code, 2);
    EXPECT_THAT(no_spot.err, HasSubstr("--spot (or --market FILE) is required"));
    const Outcome bad = kestrel_cli("price " + kExample + " --market " +
                                    dir.write("b.json", R"({"r": {"curve": []}, "underlyings": {}})"));
    EXPECT_EQ(bad.code, 2);
    EXPECT_THAT(bad.err, HasSubstr("\"r\": the curve has no points"));
    const Outcome other = kestrel_cli("price " + kExample + " --market " +
                                      dir.write("o.json", R"({"r": 0.02, "underlyings": {}})"));
    EXPECT_EQ(other.code, 2);
    EXPECT_THAT(other.err, HasSubstr("no inputs for underlying 000300.XSHG"));
}

}  // namespace
