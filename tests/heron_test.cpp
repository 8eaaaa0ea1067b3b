#include <heron/csv.hpp>
#include <heron/memory_store.hpp>
#include <heron/sqlite_store.hpp>
#include <kestrel/calendar.hpp>

#include "support/test_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <random>
#include <sstream>

namespace {

using heron::Date;
using kestrel::utils::parse_date;
using kestrel::test::TempDir;
using ::testing::HasSubstr;

const std::string kHeader = "date,open,high,low,close,volume\n";

// Three good January 2024 rows.
const std::string kGood = kHeader +
                          "2024-01-02,10,11,9,10.5,100\n"
                          "2024-01-03,10.5,12,10,11.5,200\n"
                          "2024-01-04,11.5,11.5,10.8,11,150\n";

// The message of the ValueError `f` throws ("" when it throws none).
template <class F>
std::string value_error(F&& f) {
    try {
        f();
    } catch (const kestrel::ValueError& e) {
        return e.what();
    }
    return "";
}

// Every row and column a store holds for the instruments it lists: two stores
// (or one store before and after) compare equal through this.
template <class Store>
std::string dump(Store& store) {
    std::ostringstream out;
    for (const auto& s : store.summary()) {
        out << s.instrument << ' ' << s.adjust << ' ' << s.rows << '\n';
        const auto t = store.get_price(s.instrument, s.first, s.last, heron::known_fields(), s.adjust, true);
        if (!t) continue;
        for (std::size_t i = 0; i < t->size(); ++i) {
            out << kestrel::utils::format_date(t->dates()[i]);
            for (const auto& f : heron::known_fields()) out << ' ' << t->column(f)[i];
            out << '\n';
        }
    }
    return out.str();
}

// A second, raw connection to a store's file.
struct RawDb {
    sqlite3* db = nullptr;
    explicit RawDb(const std::string& path) { EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK); }
    ~RawDb() { sqlite3_close(db); }
    int exec(const std::string& sql) { return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr); }
    std::string text(const std::string& sql) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr);
        std::string out;
        if (sqlite3_step(s) == SQLITE_ROW) out = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        sqlite3_finalize(s);
        return out;
    }
};

// ---------------------------------------------------------------------------
// CSV files

TEST(Csv, ReadsRowsWithTheirLines) {
    const auto rows = heron::parse_csv("\xEF\xBB\xBF" "Date,Open,High,Low,Close\r\n"
                                       "2024-01-02,10,11,9,10.5\r\n"
                                       "\r\n"
                                       "2024-01-03, 10.5 ,12,10,11.5\r\n",
                                       "x.csv");
    ASSERT_EQ(rows.bars.size(), 2u);
    EXPECT_EQ(rows.lines, (std::vector<std::size_t>{2, 4}));
    EXPECT_EQ(rows.bars[1].date, parse_date("2024-01-03"));
    EXPECT_EQ(rows.bars[1].open, 10.5);
    EXPECT_FALSE(rows.bars[0].volume.has_value());
}

TEST(Csv, PricesReadAsTheNearestDouble) {
    // Prices of every length up to 17 digits with the point anywhere, and the
    // forms only the general reader takes, each the double from_chars gives.
    std::vector<std::string> texts{"1e2", "2.5E-1", "0.1", "9007199254740993", "123456789012345.6", ".5", "7.",
                                   "0.000000000000000000000123", "3431.1053", "999999999999999"};
    std::mt19937_64 random(7);
    while (texts.size() < 3000) {
        const std::size_t digits = 1 + random() % 17, point = random() % digits;
        std::string t;
        for (std::size_t k = 0; k < digits; ++k) {
            if (k == point && k > 0) t += '.';
            t += static_cast<char>('0' + (k == 0 ? 1 + random() % 9 : random() % 10));
        }
        texts.push_back(t);
    }
    const auto days = kestrel::calendar::trading_days(parse_date("2005-01-04"), parse_date("2020-12-31"));
    ASSERT_GE(days.size(), texts.size());
    std::string csv = "date,open,high,low,close\n";
    for (std::size_t i = 0; i < texts.size(); ++i)
        csv += kestrel::utils::format_date(days[i]) + "," + texts[i] + "," + texts[i] + "," + texts[i] + "," + texts[i] + "\n";
    const auto rows = heron::parse_csv(csv, "prices.csv");
    ASSERT_EQ(rows.bars.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        double expected = 0;
        std::from_chars(texts[i].data(), texts[i].data() + texts[i].size(), expected);
        ASSERT_EQ(rows.bars[i].close, expected) << texts[i];
    }
}

TEST(Csv, DatesReadAsParseDateReadsThem) {
    // Every trading day QuantLib's dates can hold, leap days included.
    const auto days = kestrel::calendar::trading_days(parse_date("1901-01-01"), parse_date("2199-12-31"));
    std::string csv = "date,open,high,low,close\n";
    std::vector<std::string> texts;
    for (const auto& d : days) {
        texts.push_back(kestrel::utils::format_date(d));
        csv += texts.back() + ",1,1,1,1\n";
    }
    const auto rows = heron::parse_csv(csv, "days.csv");
    ASSERT_EQ(rows.bars.size(), days.size());
    for (std::size_t i = 0; i < days.size(); ++i) ASSERT_EQ(rows.bars[i].date, parse_date(texts[i])) << texts[i];
    for (const char* bad : {"2100-02-29", "2023-02-29", "2024-13-01", "2024-00-10", "2024-04-31", "1900-12-31",
                            "2200-01-01", "2024-1-02", "2024/01/02"}) {
        EXPECT_THAT(value_error([&] { heron::parse_csv(kHeader + bad + ",1,1,1,1,\n", "bad.csv"); }),
                    HasSubstr("bad.csv:2: invalid date '" + std::string(bad) + "'"));
    }
}

TEST(Csv, ColumnsMayComeInAnyOrderAndVolumeMayBeBlank) {
    const auto rows = heron::parse_csv("close,date,volume,low,high,open\n"
                                       "10.5,2024-01-02,,9,11,10\n"
                                       "11.5,2024-01-03,7.5e3,10,12,10.5\n",
                                       "x.csv");
    ASSERT_EQ(rows.bars.size(), 2u);
    EXPECT_EQ(rows.bars[0], (heron::Bar{parse_date("2024-01-02"), 10, 11, 9, 10.5, std::nullopt}));
    EXPECT_EQ(rows.bars[1].volume, 7500.0);
}

TEST(Csv, BadInputNamesFileLineAndReason) {
    struct Case {
        std::string text, expected;
    };
    const std::string ok = "2024-01-02,10,11,9,10.5,100\n";
    const Case cases[] = {
        {kHeader + ok + "2024-01-03,10,11,9,x,100\n", "bad.csv:3: close is not a number: 'x'"},
        {kHeader + ok + "2024-01-03,10,11,9,,100\n", "bad.csv:3: close is not a number: ''"},
        {kHeader + ok + "2024-01-03,1e999,11,9,10,100\n", "bad.csv:3: open is not a number: '1e999'"},
        {kHeader + "2024-02-30,10,11,9,10.5,100\n", "bad.csv:2: invalid date '2024-02-30'"},
        {kHeader + "03/01/2024,10,11,9,10.5,100\n", "bad.csv:2: invalid date '03/01/2024'"},
        {kHeader + ok + "2024-01-03,-1,11,-2,10.5,100\n", "bad.csv:3: open is not a positive price (-1)"},
        {kHeader + ok + "2024-01-03,10,11,0,10.5,100\n", "bad.csv:3: low is not a positive price (0)"},
        {kHeader + "2024-01-03,nan,11,9,10.5,100\n", "bad.csv:2: open is not a positive price (nan)"},
        {kHeader + "2024-01-03,10,11,10.2,10.5,100\n", "bad.csv:2: low (10.2) is above open (10)"},
        {kHeader + "2024-01-03,10,11,9.5,9.4,100\n", "bad.csv:2: low (9.5) is above close (9.4)"},
        {kHeader + "2024-01-03,10,10.4,9,10.5,100\n", "bad.csv:2: high (10.4) is below close (10.5)"},
        {kHeader + "2024-01-03,12,11,9,10.5,100\n", "bad.csv:2: high (11) is below open (12)"},
        {kHeader + "2024-01-03,10,11,9,10.5,-5\n", "bad.csv:2: volume is not a non-negative number (-5)"},
        {kHeader + ok + "2024-01-06,10,11,9,10.5,100\n", "bad.csv:3: 2024-01-06 is not a trading day (weekend)"},
        {kHeader + "2024-02-12,10,11,9,10.5,100\n", "bad.csv:2: 2024-02-12 is not a trading day (exchange closed)"},
        {kHeader + ok + "\n" + ok, "bad.csv:4: duplicate date 2024-01-02 (first on line 2)"},
        // Out of order: a repeat of a day two rows back, and one after the order broke.
        {kHeader + ok + "2024-01-04,10,11,9,10.5,100\n" + ok, "bad.csv:4: duplicate date 2024-01-02 (first on line 2)"},
        {kHeader + "2024-01-04,10,11,9,10.5,100\n" + ok + "2024-01-05,10,11,9,10.5,100\n" +
             "2024-01-04,10,11,9,10.5,100\n",
         "bad.csv:5: duplicate date 2024-01-04 (first on line 2)"},
        {kHeader + "2024-01-02,10,11,9,10.5\n", "bad.csv:2: expected 6 fields, found 5"},
        {ok, "bad.csv:1: missing header line"},
        {"date,open,high,low,close,amount\n", "bad.csv:1: unknown column 'amount'"},
        {"date,open,high,low,volume\n", "bad.csv:1: missing column 'close'"},
        {"date,open,high,low,close,close\n", "bad.csv:1: column 'close' appears twice"},
        {"\n\n", "bad.csv: empty file"},
    };
    for (const auto& c : cases) {
        const std::string msg = value_error([&] { heron::parse_csv(c.text, "bad.csv"); });
        EXPECT_THAT(msg, HasSubstr(c.expected)) << "input:\n" << c.text;
    }
}

TEST(Csv, UnreadableFileIsAValueErrorNamingIt) {
    TempDir dir;
    EXPECT_THAT(value_error([&] { heron::read_csv(dir.file("missing.csv")); }),
                HasSubstr("cannot read price file '" + dir.file("missing.csv") + "'"));
    EXPECT_THAT(value_error([&] { heron::read_csv(dir.path()); }), HasSubstr("it is a directory"));
}

TEST(Csv, FileNamesSayInstrumentAndAdjustType) {
    struct Case {
        std::string name;
        std::optional<std::string> instrument;
        std::vector<std::string> adjusts;
    };
    const Case cases[] = {
        {"000300.XSHG.csv", "000300.XSHG", {"pre", "none"}},
        {"600519.XSHG.pre.csv", "600519.XSHG", {"pre"}},
        {"600519.XSHG.none.csv", "600519.XSHG", {"none"}},
        {"AAPL.csv", "AAPL", {"pre", "none"}},
        {"X.prefix.csv", "X.prefix", {"pre", "none"}},
        {"X.nonexistent.csv", "X.nonexistent", {"pre", "none"}},
        {"README.md", std::nullopt, {}},
        {"prices.csv.bak", std::nullopt, {}},
        {".csv", std::nullopt, {}},
    };
    for (const auto& c : cases) {
        const auto got = heron::parse_price_file_name(c.name);
        ASSERT_EQ(got.has_value(), c.instrument.has_value()) << c.name;
        if (!got) continue;
        EXPECT_EQ(got->instrument, *c.instrument) << c.name;
        EXPECT_EQ(got->adjusts, c.adjusts) << c.name;
    }
}

TEST(Csv, DirectoryListingIgnoresOtherFilesAndRejectsTwoOwners) {
    TempDir dir;
    dir.write("B.XSHG.pre.csv", kGood);
    dir.write("A.XSHG.csv", kGood);
    dir.write("notes.txt", "not prices");
    const auto files = heron::list_price_files(dir.path());
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].instrument, "A.XSHG");
    EXPECT_EQ(files[1].instrument, "B.XSHG");

    dir.write("A.XSHG.none.csv", kGood);
    EXPECT_THAT(value_error([&] { heron::list_price_files(dir.path()); }),
                HasSubstr("both A.XSHG.csv and A.XSHG.none.csv hold A.XSHG prices of adjust type 'none'"));

    TempDir empty;
    EXPECT_THAT(value_error([&] { heron::list_price_files(empty.path()); }), HasSubstr("no price files"));
    EXPECT_THAT(value_error([&] { heron::list_price_files(empty.file("nope")); }), HasSubstr("not a directory"));
}

// ---------------------------------------------------------------------------
// Memory store

TEST(MemoryStore, AddReportsReplacedDatesAndRejectsBadBarsWhole) {
    heron::MemoryStore store;
    auto bars = heron::parse_csv(kGood, "good.csv").bars;
    EXPECT_EQ(store.add("X", "pre", bars), 0u);
    EXPECT_EQ(store.add("X", "pre", bars), 0u) << "the same bars again change nothing";
    bars[1].close = 11.9;
    EXPECT_EQ(store.add("X", "pre", bars), 1u);
    const std::string before = dump(store);

    // Days between and around the stored ones, given out of order, land in
    // date order; of the stored days given again only a changed one counts.
    heron::MemoryStore merged;
    ASSERT_EQ(merged.add("X", "pre", {bars[2], bars[0]}), 0u);
    auto later = bars[2];
    later.date = parse_date("2024-01-05");
    auto changed = bars[2];
    changed.close = 11.2;
    EXPECT_EQ(merged.add("X", "pre", {later, bars[1], bars[0], changed}), 1u);
    auto expected = bars;
    expected[2] = changed;
    expected.push_back(later);
    heron::MemoryStore direct;
    direct.add("X", "pre", expected);
    EXPECT_EQ(dump(merged), dump(direct));
    EXPECT_EQ(merged.summary().at(0).rows, 4u);

    auto bad = bars;
    bad[0].close = 10.7;  // a change that must not land
    bad[2].low = 99;      // low above open
    EXPECT_THROW(store.add("X", "pre", bad), kestrel::ValueError);
    EXPECT_THROW(store.add("X", "both", bars), kestrel::ValueError);
    EXPECT_THROW(store.add("", "pre", bars), kestrel::ValueError);
    EXPECT_EQ(dump(store), before);
}

TEST(MemoryStore, DirectoryWithABadFileLeavesTheStoreUntouched) {
    TempDir dir;
    dir.write("A.csv", kGood);
    dir.write("B.pre.csv", kHeader + "2024-01-02,10,11,9,10.5,100\n2024-01-07,10,11,9,10.5,100\n");
    heron::MemoryStore store;
    store.add_closes("Z", "pre", {{parse_date("2024-01-02"), 5.0}});
    const std::string before = dump(store);
    EXPECT_THAT(value_error([&] { heron::load_directory(store, dir.path()); }),
                HasSubstr("B.pre.csv:3: 2024-01-07 is not a trading day"));
    EXPECT_EQ(dump(store), before);
}

// ---------------------------------------------------------------------------
// The get_price contract, for both stores

class Stores : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_.write("IDX.csv", kGood);
        dir_.write("STK.pre.csv", kHeader + "2024-01-02,5,6,4,5.5,\n2024-01-03,5.5,6,5,5.8,\n");
        heron::load_directory(*memory_, dir_.path());
        sqlite_ = std::make_shared<heron::SqliteStore>(dir_.file("store.db"));
        sqlite_->import_directory(dir_.path());
    }
    std::vector<std::shared_ptr<heron::Client>> clients() const { return {memory_, sqlite_}; }

    TempDir dir_;
    std::shared_ptr<heron::MemoryStore> memory_ = std::make_shared<heron::MemoryStore>();
    std::shared_ptr<heron::SqliteStore> sqlite_;
};

TEST_F(Stores, TablesHaveTheRequestedFieldsInOrder) {
    for (const auto& c : clients()) {
        const auto t = c->get_price("IDX", parse_date("2024-01-03"), parse_date("2024-01-31"), {"low", "high"}, "none", true);
        ASSERT_TRUE(t.has_value());
        EXPECT_EQ(t->order_book_id(), "IDX");
        EXPECT_EQ(t->dates(), (std::vector<Date>{parse_date("2024-01-03"), parse_date("2024-01-04")}));
        EXPECT_EQ(t->columns(), (std::vector<std::string>{"low", "high"}));
        const auto frame = t->droplevel("order_book_id");
        EXPECT_EQ(frame.column("low"), (std::vector<double>{10, 10.8}));
        EXPECT_EQ(frame.at(parse_date("2024-01-04"), "high"), 11.5);
        EXPECT_EQ(frame.last_date(), parse_date("2024-01-04"));
    }
}

TEST_F(Stores, AbsentWhenNoRowInRange) {
    for (const auto& c : clients()) {
        auto get = [&](const std::string& id, const char* a, const char* b, const std::string& adjust) {
            return c->get_price(id, parse_date(a), parse_date(b), {"close"}, adjust, true);
        };
        EXPECT_FALSE(get("IDX", "2023-01-01", "2023-12-31", "pre")) << "before the history";
        EXPECT_FALSE(get("IDX", "2024-01-05", "2024-02-01", "pre")) << "after the history";
        EXPECT_FALSE(get("IDX", "2024-01-04", "2024-01-02", "pre")) << "end before start";
        EXPECT_FALSE(get("NOPE", "2024-01-01", "2024-12-31", "pre")) << "unknown instrument";
        EXPECT_FALSE(get("STK", "2024-01-01", "2024-12-31", "none")) << "a pre-only file has no none series";
        EXPECT_TRUE(get("IDX", "2024-01-04", "2024-01-04", "pre")) << "one day";
    }
}

TEST_F(Stores, UnknownFieldOrAdjustTypeIsAValueErrorNamingIt) {
    for (const auto& c : clients()) {
        const Date a = parse_date("2024-01-01"), b = parse_date("2024-12-31");
        EXPECT_THAT(value_error([&] { c->get_price("IDX", a, b, {"close", "vwap"}, "pre", true); }), HasSubstr("'vwap'"));
        EXPECT_THAT(value_error([&] { c->get_price("IDX", a, b, {"close"}, "post", true); }), HasSubstr("'post'"));
        // Checked before anything else, even for a range that would be absent.
        EXPECT_THROW(c->get_price("IDX", b, a, {"close"}, "both", true), kestrel::ValueError);
    }
}

TEST_F(Stores, MissingVolumeReadsAsNaN) {
    for (const auto& c : clients()) {
        const auto t = c->get_price("STK", parse_date("2024-01-01"), parse_date("2024-01-31"), {"close", "volume"}, "pre", true);
        ASSERT_TRUE(t.has_value());
        EXPECT_EQ(t->column("close"), (std::vector<double>{5.5, 5.8}));
        EXPECT_TRUE(std::isnan(t->column("volume")[0]));
    }
}

TEST_F(Stores, SqliteAndMemoryHoldTheSameRows) {
    EXPECT_EQ(dump(*sqlite_), dump(*memory_));
    EXPECT_EQ(sqlite_->summary(), memory_->summary());
}

// ---------------------------------------------------------------------------
// SQLite store

TEST(SqliteStore, ReimportIsHarmlessAndReplacementsAreCounted) {
    TempDir dir;
    heron::SqliteStore store(dir.file("p.db"));
    const auto first = store.import_csv(dir.write("a.csv", kGood), "X", "both");
    EXPECT_EQ(first.rows, 6u);
    EXPECT_EQ(first.inserted, 6u);
    const std::string before = dump(store);

    const auto again = store.import_csv(dir.file("a.csv"), "X", "both");
    EXPECT_EQ(again.inserted, 0u);
    EXPECT_EQ(again.replaced, 0u);
    EXPECT_EQ(again.unchanged, 6u);
    EXPECT_EQ(dump(store), before);

    // One date changed, one the same, one new.
    const auto update = store.import_csv(dir.write("b.csv", kHeader +
                                                                "2024-01-03,10.5,12,10,11.6,200\n"
                                                                "2024-01-04,11.5,11.5,10.8,11,150\n"
                                                                "2024-01-05,11,11.2,10.9,11.1,\n"),
                                         "X", "pre");
    EXPECT_EQ(update.inserted, 1u);
    EXPECT_EQ(update.replaced, 1u);
    EXPECT_EQ(update.unchanged, 1u);
    const auto pre = store.get_price("X", parse_date("2024-01-01"), parse_date("2024-01-31"), {"close"}, "pre", true);
    const auto none = store.get_price("X", parse_date("2024-01-01"), parse_date("2024-01-31"), {"close"}, "none", true);
    EXPECT_EQ(pre->column("close"), (std::vector<double>{10.5, 11.6, 11, 11.1}));
    EXPECT_EQ(none->column("close"), (std::vector<double>{10.5, 11.5, 11})) << "the none series is untouched";
}

TEST(SqliteStore, BadCsvRejectsTheWholeFileAndLeavesTheDatabaseAsItWas) {
    TempDir dir;
    const std::string db = dir.file("p.db");
    {
        heron::SqliteStore store(db);
        store.import_csv(dir.write("a.csv", kGood), "X", "both");
    }
    const std::string bytes = kestrel::test::read_file(db);
    heron::SqliteStore store(db);
    const std::string before = dump(store);
    // Good new rows and a change first, the bad row last.
    const std::string bad = dir.write("bad.csv", kHeader +
                                                     "2024-01-02,10,11,9,10.9,100\n"
                                                     "2024-01-05,11,11.2,10.9,11.1,5\n"
                                                     "2024-01-08,11,11.2,11.3,11.1,5\n");
    EXPECT_THAT(value_error([&] { store.import_csv(bad, "X", "pre"); }),
                HasSubstr(bad + ":4: low (11.3) is above open (11)"));
    EXPECT_EQ(dump(store), before);
    EXPECT_EQ(kestrel::test::read_file(db), bytes);
    EXPECT_THROW(store.import_csv(dir.file("a.csv"), "X", "post"), kestrel::ValueError);
    EXPECT_THROW(store.import_csv(dir.file("a.csv"), "", "pre"), kestrel::ValueError);
    EXPECT_EQ(dump(store), before);
}

TEST(SqliteStore, FailurePartWayRollsBackEveryRow) {
    TempDir dir;
    const std::string db = dir.file("p.db");
    heron::SqliteStore store(db);
    store.import_csv(dir.write("a.csv", kGood), "X", "pre");
    const std::string before = dump(store);
    {
        RawDb raw(db);
        // The database itself refuses the third new row.
        ASSERT_EQ(raw.exec("CREATE TRIGGER refuse BEFORE INSERT ON prices WHEN NEW.date = '2024-01-09' "
                           "BEGIN SELECT RAISE(ABORT, 'refused'); END"),
                  SQLITE_OK);
    }
    const std::string more = dir.write("more.csv", kHeader +
                                                       "2024-01-02,10,11,9,10.1,100\n"
                                                       "2024-01-05,11,11.2,10.9,11.1,5\n"
                                                       "2024-01-08,11,11.2,10.9,11.1,5\n"
                                                       "2024-01-09,11,11.2,10.9,11.1,5\n");
    try {
        store.import_csv(more, "X", "pre");
        ADD_FAILURE() << "the import should fail";
    } catch (const heron::ServiceError& e) {
        EXPECT_THAT(e.what(), HasSubstr("refused"));
    }
    EXPECT_EQ(dump(store), before);
    RawDb(db).exec("DROP TRIGGER refuse");
    EXPECT_EQ(store.import_csv(more, "X", "pre").inserted, 3u);
}

TEST(SqliteStore, PersistsAndReopensReadOnly) {
    TempDir dir;
    const std::string db = dir.file("p.db");
    std::string written;
    {
        heron::SqliteStore store(db);
        store.import_csv(dir.write("a.csv", kGood), "X", "none");
        written = dump(store);
        EXPECT_EQ(RawDb(db).text("PRAGMA journal_mode"), "wal");
    }
    heron::SqliteStore reader(db, {heron::SqliteStore::Mode::ReadOnly});
    EXPECT_EQ(dump(reader), written);
    try {
        reader.import_csv(dir.file("a.csv"), "X", "none");
        ADD_FAILURE() << "a read-only store imported";
    } catch (const heron::ServiceError& e) {
        EXPECT_THAT(e.what(), HasSubstr("read-only"));
    }
}

TEST(SqliteStore, ReadOnlyOpeningOfAMissingFileCreatesNothing) {
    TempDir dir;
    try {
        heron::SqliteStore store(dir.file("none.db"), {heron::SqliteStore::Mode::ReadOnly});
        ADD_FAILURE() << "opened a missing store";
    } catch (const heron::ServiceError& e) {
        EXPECT_THAT(e.what(), HasSubstr("no such price store: '" + dir.file("none.db") + "'"));
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("none.db")));
}

TEST(SqliteStore, NonStoreFilesAreRefusedAndLeftUntouched) {
    TempDir dir;
    std::string garbage(8192, '\0');
    for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>((i * 7919) % 251);
    const std::string junk = dir.write("junk.db", garbage);
    // A real SQLite database of someone else's.
    const std::string other = dir.file("other.db");
    RawDb(other).exec("CREATE TABLE t(x); INSERT INTO t VALUES (1)");
    const std::string other_bytes = kestrel::test::read_file(other);

    const std::pair<std::string, std::string> cases[] = {
        {junk, "'" + junk + "' is not a kestrel price store"},
        {other, "'" + other + "' is an SQLite database but not a kestrel price store"},
    };
    for (const auto& [path, expected] : cases) {
        const std::string bytes = kestrel::test::read_file(path);
        for (auto mode : {heron::SqliteStore::Mode::ReadWrite, heron::SqliteStore::Mode::ReadOnly}) {
            try {
                heron::SqliteStore store(path, {mode});
                ADD_FAILURE() << "opened " << path;
            } catch (const heron::ServiceError& e) {
                EXPECT_THAT(e.what(), HasSubstr(expected));
            }
            EXPECT_EQ(kestrel::test::read_file(path), bytes) << path;
            for (const char* suffix : {"-wal", "-shm", "-journal"})
                EXPECT_FALSE(std::filesystem::exists(path + suffix)) << path << suffix;
        }
    }
    EXPECT_EQ(kestrel::test::read_file(other), other_bytes);
}

TEST(SqliteStore, ABusyStoreWaitsBoundedThenSaysSo) {
    TempDir dir;
    const std::string db = dir.file("p.db");
    const std::string csv = dir.write("a.csv", kGood);
    heron::SqliteStore store(db, {heron::SqliteStore::Mode::ReadWrite, std::chrono::milliseconds(200)});
    store.import_csv(csv, "X", "pre");

    RawDb writer(db);
    ASSERT_EQ(writer.exec("BEGIN IMMEDIATE"), SQLITE_OK);
    const auto t0 = std::chrono::steady_clock::now();
    try {
        store.import_csv(csv, "Y", "pre");
        ADD_FAILURE() << "imported into a locked store";
    } catch (const heron::ServiceError& e) {
        EXPECT_THAT(e.what(), HasSubstr("store is busy"));
    }
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(150));
    // Readers are not held up by the writer (WAL).
    EXPECT_TRUE(store.get_price("X", parse_date("2024-01-02"), parse_date("2024-01-04"), {"close"}, "pre", true));
    ASSERT_EQ(writer.exec("COMMIT"), SQLITE_OK);
    EXPECT_EQ(store.import_csv(csv, "Y", "pre").inserted, 3u);
}

// ---------------------------------------------------------------------------
// Bundled data

TEST(Bundled, HoldsTheDocumentedSeries) {
    const auto store = kestrel::test::bundled_store();
    struct Row {
        std::string instrument, adjust, first, last;
        std::size_t rows;
    };
    const Row expected[] = {
        {"000300.XSHG", "none", "2005-01-04", "2026-07-31", 5240}, {"000300.XSHG", "pre", "2005-01-04", "2026-07-31", 5240},
        {"000852.XSHG", "none", "2012-01-04", "2026-07-31", 3539}, {"000852.XSHG", "pre", "2012-01-04", "2026-07-31", 3539},
        {"000905.XSHG", "none", "2005-01-04", "2026-07-31", 5240}, {"000905.XSHG", "pre", "2005-01-04", "2026-07-31", 5240},
        {"600519.XSHG", "none", "2015-01-05", "2025-12-31", 2674}, {"600519.XSHG", "pre", "2015-01-05", "2025-12-31", 2674},
    };
    const auto summary = store->summary();
    ASSERT_EQ(summary.size(), std::size(expected));
    for (std::size_t i = 0; i < summary.size(); ++i) {
        EXPECT_EQ(summary[i].instrument, expected[i].instrument);
        EXPECT_EQ(summary[i].adjust, expected[i].adjust);
        EXPECT_EQ(summary[i].first, parse_date(expected[i].first));
        EXPECT_EQ(summary[i].last, parse_date(expected[i].last));
        EXPECT_EQ(summary[i].rows, expected[i].rows);
    }
    // Every trading day is present: the files have no gaps.
    const auto days = kestrel::calendar::trading_days(parse_date("2005-01-04"), parse_date("2026-07-31"));
    EXPECT_EQ(days.size(), 5240u);
}

TEST(Bundled, PublishedLevelsAndAdjustment) {
    const auto store = kestrel::test::bundled_store();
    auto close = [&](const std::string& id, const char* day, const char* adjust) {
        const auto t = store->get_price(id, parse_date(day), parse_date(day), {"close"}, adjust, true);
        return t ? t->column("close").at(0) : -1.0;
    };
    EXPECT_EQ(close("000300.XSHG", "2015-12-31", "pre"), 3731.005);
    EXPECT_EQ(close("000300.XSHG", "2023-12-29", "none"), 3431.1099);
    EXPECT_EQ(close("000905.XSHG", "2023-12-29", "pre"), 5429.2288);
    EXPECT_EQ(close("000852.XSHG", "2026-07-31", "pre"), 7075.5065);
    // Moutai: forward-adjusted equals as-traded from the last ex-date on, and
    // sits below it before (2015-07-17 factor about 0.81).
    EXPECT_EQ(close("600519.XSHG", "2025-12-31", "pre"), close("600519.XSHG", "2025-12-31", "none"));
    EXPECT_NEAR(close("600519.XSHG", "2015-07-17", "pre") / close("600519.XSHG", "2015-07-17", "none"), 0.811758, 1e-5);
}

TEST(Bundled, SqliteImportOfTheBundledFilesMatchesTheMemoryStore) {
    TempDir dir;
    heron::SqliteStore store(dir.file("bundled.db"));
    const auto reports = store.import_directory(kestrel::test::data_dir() + "/prices");
    std::size_t rows = 0;
    for (const auto& r : reports) rows += r.inserted;
    EXPECT_EQ(rows, 2u * (5240 + 5240 + 3539 + 2674));
    EXPECT_EQ(store.summary(), kestrel::test::bundled_store()->summary());
    const auto a = store.get_price("600519.XSHG", parse_date("2019-06-01"), parse_date("2019-07-31"),
                                   heron::known_fields(), "none", true);
    const auto b = kestrel::test::bundled_store()->get_price("600519.XSHG", parse_date("2019-06-01"),
                                                             parse_date("2019-07-31"), heron::known_fields(), "none", true);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->dates(), b->dates());
    for (const auto& f : heron::known_fields()) EXPECT_EQ(a->column(f), b->column(f)) << f;
}

// ---------------------------------------------------------------------------
// The installed client

TEST(Heron, CallsWithoutAClientSayWhatIsMissing) {
    kestrel::test::ScopedClient none(nullptr);
    try {
        heron::get_next_trading_date("2024-01-05");
        ADD_FAILURE() << "no error without a client";
    } catch (const heron::ServiceError& e) {
        EXPECT_THAT(e.what(), HasSubstr("no market-data client installed"));
    }
    EXPECT_THROW(heron::get_price("000300.XSHG", "2024-01-02", "2024-01-05"), heron::ServiceError);
}

TEST(Heron, FreeFunctionsForwardToTheInstalledStore) {
    kestrel::test::ScopedClient bundled(kestrel::test::bundled_store());
    EXPECT_EQ(heron::get_next_trading_date("2024-02-08"), parse_date("2024-02-19"));
    EXPECT_EQ(heron::get_previous_trading_date("2024-02-19"), parse_date("2024-02-08"));
    EXPECT_EQ(heron::get_trading_dates("2024-02-08", "2024-02-19"),
              (std::vector<Date>{parse_date("2024-02-08"), parse_date("2024-02-19")}));
    const auto t = heron::get_price("000300.XSHG", "2024-02-08", "2024-02-19", std::vector<std::string>{"low", "high"});
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(t->size(), 2u);
    EXPECT_EQ(t->columns(), (std::vector<std::string>{"low", "high"}));
}

// Official closures kept in a store: refused on a day the store has prices
// for, handed over (never installed) when the store is opened again, replaced
// year by year; the store's own imports check prices against its list.
TEST(SqliteStoreClosures, StoredClosuresComeBackWithTheStoreAndChangeNoCalendar) {
    namespace cal = kestrel::calendar;
    TempDir dir;
    const std::string path = dir.file("p.db");
    const auto list = [](const std::string& rows) { return cal::read_closures("date,holiday\n" + rows, "h.csv"); };
    const Date feb4 = parse_date("2027-02-04"), feb8 = parse_date("2027-02-08");
    {
        heron::SqliteStore store(path);
        store.import("TEST.XSHG", {"pre"}, heron::parse_csv(kHeader + "2027-01-04,10,11,9,10.5,100\n", "p.csv"));
        EXPECT_EQ(value_error([&] { store.import_closures(list("2027-02-04,Spring Festival\n2027-01-04,Bridge\n")); }),
                  "h.csv:3: 2027-01-04 is a trading day in the price history (TEST.XSHG has prices on it)");
        EXPECT_TRUE(store.official_closures().years.empty());
        EXPECT_EQ(store.import_closures(list("2027-02-04,Spring Festival\n2027-02-05,Spring Festival\n")), 0u);
        EXPECT_TRUE(cal::official_years().empty());
        EXPECT_TRUE(cal::is_trading_day(feb4));
        // 8 February trades under the store's list (the projection closes it), 4 February does not.
        const std::string bar = ",10,11,9,10.5,100\n";
        EXPECT_EQ(store.import_csv(dir.write("feb8.csv", kHeader + "2027-02-08" + bar), "TEST.XSHG", "pre").inserted, 1u);
        EXPECT_THAT(value_error([&] { store.import_csv(dir.write("feb4.csv", kHeader + "2027-02-04" + bar), "TEST.XSHG", "pre"); }),
                    ::testing::HasSubstr("2027-02-04 is not a trading day (exchange closed)"));
        EXPECT_THAT(value_error([&] { heron::parse_csv(kHeader + "2027-02-08" + bar, "p.csv"); }),
                    ::testing::HasSubstr("2027-02-08 is not a trading day (a projected exchange closure"));
    }
    {
        auto store = std::make_shared<heron::SqliteStore>(path, heron::SqliteStore::Options{heron::SqliteStore::Mode::ReadOnly});
        EXPECT_TRUE(cal::official_years().empty());  // opening installs nothing
        kestrel::test::ScopedClient scoped{store};
        EXPECT_EQ(heron::get_next_trading_date("2027-02-03"), feb4);
        {
            const cal::ScopedClosures closures(heron::official_closures());
            EXPECT_EQ(cal::official_years(), std::vector<int>{2027});
            EXPECT_EQ(heron::get_next_trading_date("2027-02-03"), feb8);
        }
        EXPECT_EQ(heron::get_next_trading_date("2027-02-03"), feb4);
        EXPECT_THROW(store->import_closures(list("2027-02-04,Spring Festival\n")), heron::ServiceError);
    }
    heron::SqliteStore store(path);
    EXPECT_EQ(store.import_closures(list("2027-02-09,Spring Festival\n")), 2u);
    const auto back = store.official_closures();
    EXPECT_EQ(back.years, std::vector<int>{2027});
    ASSERT_EQ(back.closures.size(), 1u);
    EXPECT_EQ(back.closures[0].date, parse_date("2027-02-09"));
    EXPECT_FALSE(cal::is_trading_day(parse_date("2027-02-09")));  // projected closed, never replaced here
    const cal::ScopedClosures closures(back);
    EXPECT_TRUE(cal::is_trading_day(feb4));
    EXPECT_FALSE(cal::is_trading_day(parse_date("2027-02-09")));
    EXPECT_TRUE(cal::is_trading_day(feb8));
    // No client: no list.
    const kestrel::test::ScopedClient none{nullptr};
    EXPECT_TRUE(heron::official_closures().years.empty());
}

}  // namespace
