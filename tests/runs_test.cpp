#include <kestrel/runs.hpp>

#include <kestrel/errors.hpp>
#include <kestrel/utils.hpp>

#include "support/test_support.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

using namespace kestrel;
using namespace kestrel::book;
using Json = nlohmann::ordered_json;
using QuantLib::Date;

namespace {

const Date kEval = utils::parse_date("2025-03-03");

Json vanilla(const std::string& id, double strike) {
    return Json{{"id", id},          {"type", "vanilla"},     {"underlying", "AAA"},
                {"effect_date", "2025-01-02"}, {"maturity_date", "2025-12-31"}, {"s0", 100.0},
                {"notional", 1.0},   {"call_put", "call"},    {"strike", strike},
                {"exercise_type", "european"}, {"payoff_type", "plain_vanilla"}};
}

const char* kMarketText = "{\"r\": 0.02,\n \"underlyings\": {\"AAA\": {\"vol\": 0.2, \"q\": 0.01, \"spot\": 100}}}\n";

struct Valued {
    Json book = Json::array();
    BookResult result;
};

// Three contracts, the last one failing, valued with Greeks.
Valued valued_book() {
    Valued v;
    v.book.push_back(vanilla("c90", 90.0));
    v.book.push_back(vanilla("c110", 110.0));
    v.book.push_back(Json{{"id", "broken"}, {"type", "vanilla"}});
    BookOptions o;
    o.evaluation_date = kEval;
    o.greeks = true;
    v.result = value_book(v.book, BookMarket::from_json(Json::parse(kMarketText)), o);
    return v;
}

// n made-up valued rows (no valuation), for big saves.
Valued synthetic(std::size_t n) {
    Valued v;
    v.result.evaluation_date = kEval;
    for (std::size_t i = 0; i < n; ++i) {
        const std::string id = std::string("c").append(std::to_string(i));
        v.book.push_back(vanilla(id, 100.0));
        BookRow r;
        r.position = i + 1;
        r.id = id;
        r.type = "vanilla";
        r.underlying = "AAA";
        r.spot = 100;
        r.value.npv = static_cast<double>(i) * 0.25;
        v.result.rows.push_back(r);
    }
    v.result.totals = book_totals(v.result.rows);
    return v;
}

runs::RunInput input(const Valued& v) {
    runs::RunInput in{&v.result, &v.book, kMarketText, "market.json", "book.json", {}};
    in.settings["engine"] = "pde";
    in.settings["paths"] = 1000;
    return in;
}

std::int64_t count(const std::string& db, const char* sql) {
    sqlite3* h = nullptr;
    EXPECT_EQ(sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(h, sql, -1, &s, nullptr), SQLITE_OK) << sqlite3_errmsg(h);
    std::int64_t n = -1;
    if (sqlite3_step(s) == SQLITE_ROW) n = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    sqlite3_close(h);
    return n;
}

std::string integrity(const std::string& db) {
    sqlite3* h = nullptr;
    sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(h, "PRAGMA integrity_check", -1, &s, nullptr);
    std::string out;
    if (sqlite3_step(s) == SQLITE_ROW) out = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    sqlite3_finalize(s);
    sqlite3_close(h);
    return out;
}

class Runs : public ::testing::Test {
  protected:
    std::shared_ptr<heron::MemoryStore> store = std::make_shared<heron::MemoryStore>();
    test::ScopedClient installed{store};
    test::TempDir dir;
    std::string db = dir.file("runs.db");
};

TEST_F(Runs, ARunReadsBackAsSavedTermsMarketTextValuesGreeksAndFailures) {
    const Valued v = valued_book();
    ASSERT_EQ(v.result.failed(), 1u);
    const auto id = runs::save_run(db, input(v));
    const runs::StoredRun run = runs::load_run(db, id);

    EXPECT_EQ(run.market_text, kMarketText);  // byte for byte, layout included
    EXPECT_EQ(run.info.evaluation_date, kEval);
    EXPECT_EQ(run.info.settings["engine"], "pde");
    EXPECT_EQ(run.info.contracts, 3u);
    EXPECT_EQ(run.info.failed, 1u);
    EXPECT_TRUE(run.info.greeks);
    ASSERT_EQ(run.result.rows.size(), 3u);
    ASSERT_EQ(run.terms.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(run.terms[i], v.book[i]);
        EXPECT_EQ(run.result.rows[i].id, v.result.rows[i].id);
        EXPECT_EQ(run.result.rows[i].ok(), v.result.rows[i].ok());
    }
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(run.result.rows[i].value, v.result.rows[i].value);  // every Greek, bit for bit
        EXPECT_EQ(run.result.rows[i].spot, v.result.rows[i].spot);
    }
    EXPECT_EQ(run.result.rows[2].error->kind, v.result.rows[2].error->kind);
    EXPECT_EQ(run.result.rows[2].error->message, v.result.rows[2].error->message);
    // The totals are the ones value_book made, and the book's table the same text.
    std::ostringstream a, b;
    write_book(a, v.result, BookFormat::Csv);
    write_book(b, run.result, BookFormat::Csv);
    EXPECT_EQ(a.str(), b.str());
    EXPECT_DOUBLE_EQ(run.info.total_npv, v.result.rows[0].value.npv + v.result.rows[1].value.npv);
}

TEST_F(Runs, ASecondRunOfTheSameDateIsKeptBesideTheFirst) {
    const Valued v = valued_book();
    const auto first = runs::save_run(db, input(v));
    const auto second = runs::save_run(db, input(v));
    EXPECT_NE(first, second);
    const auto all = runs::list_runs(db);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].id, first);
    EXPECT_EQ(all[1].id, second);
    EXPECT_LE(all[0].created_at, all[1].created_at);
    EXPECT_EQ(runs::list_runs(db, kEval).size(), 2u);
    EXPECT_TRUE(runs::list_runs(db, kEval + 1).empty());
    EXPECT_EQ(count(db, "SELECT COUNT(*) FROM kestrel_run_rows"), 6);
}

TEST_F(Runs, MissingDatabaseOrRunIsAClearError) {
    EXPECT_THROW(runs::list_runs(dir.file("none.db")), ValueError);
    runs::save_run(db, input(valued_book()));
    try {
        runs::load_run(db, 42);
        FAIL() << "no error";
    } catch (const KeyError& e) {
        EXPECT_NE(std::string(e.what()).find("42"), std::string::npos);
    }
    // A book that does not match its rows is refused before anything is written.
    Valued bad = valued_book();
    bad.book.erase(0);
    EXPECT_THROW(runs::save_run(db, input(bad)), ValueError);
    EXPECT_EQ(runs::list_runs(db).size(), 1u);
}

TEST_F(Runs, AnErrorMidSaveRollsTheWholeRunBack) {
    runs::save_run(db, input(valued_book()));
    const Valued big = synthetic(500);
    runs::SaveOptions o;
    o.after_row = [](std::size_t n) {
        if (n == 250) throw std::runtime_error("disk gone");
    };
    EXPECT_THROW(runs::save_run(db, input(big), o), std::runtime_error);
    EXPECT_EQ(runs::list_runs(db).size(), 1u);
    EXPECT_EQ(count(db, "SELECT COUNT(*) FROM kestrel_run_rows"), 3);
}

TEST_F(Runs, AProcessKilledMidSaveLeavesTheDatabaseAsItWas) {
    const auto kept = runs::save_run(db, input(valued_book()));
    const Valued big = synthetic(20000);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        runs::SaveOptions o;
        // Half the rows are in the open transaction (some spilled to the file).
        o.after_row = [](std::size_t n) {
            if (n == 10000) ::kill(::getpid(), SIGKILL);
        };
        try {
            runs::save_run(db, input(big), o);
        } catch (...) {
        }
        ::_exit(3);  // not reached when the kill lands
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the saver was not killed (exit " << WEXITSTATUS(status) << ")";
    EXPECT_EQ(WTERMSIG(status), SIGKILL);

    // The hot journal is rolled back by the next reader: only the first run.
    const auto all = runs::list_runs(db);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].id, kept);
    EXPECT_EQ(count(db, "SELECT COUNT(*) FROM kestrel_run_rows"), 3);
    EXPECT_EQ(integrity(db), "ok");
    // And it takes the next run whole.
    const auto next = runs::save_run(db, input(big));
    EXPECT_EQ(runs::load_run(db, next).result.rows.size(), 20000u);
}

TEST_F(Runs, TwoProcessesSavingAtOnceBothLand) {
    const Valued big = synthetic(5000);
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    pid_t children[2];
    for (pid_t& c : children) {
        c = fork();
        ASSERT_GE(c, 0);
        if (c == 0) {
            ::close(go[1]);
            char byte;
            if (::read(go[0], &byte, 1) != 0) ::_exit(4);  // waits for the parent to close its end
            try {
                runs::save_run(db, input(big));
            } catch (...) {
                ::_exit(1);
            }
            ::_exit(0);
        }
    }
    ::close(go[0]);
    ::close(go[1]);  // both start now
    for (pid_t c : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(c, &status, 0), c);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    const auto all = runs::list_runs(db);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_NE(all[0].id, all[1].id);
    for (const auto& r : all) EXPECT_EQ(runs::load_run(db, r.id).result.rows.size(), 5000u);
    EXPECT_EQ(integrity(db), "ok");
}

TEST_F(Runs, ListAndShowWriters) {
    const Valued v = valued_book();
    const auto id = runs::save_run(db, input(v));
    std::ostringstream csv;
    runs::write_runs(csv, runs::list_runs(db), BookFormat::Csv);
    EXPECT_EQ(csv.str().substr(0, csv.str().find('\n')),
              "id,created_at,evaluation_date,contracts,failed,total_npv,greeks,stats,book_source,market_source");
    EXPECT_NE(csv.str().find(std::to_string(id) + ","), std::string::npos);
    EXPECT_NE(csv.str().find(",2025-03-03,3,1,"), std::string::npos);
    std::ostringstream json;
    runs::write_run(json, runs::load_run(db, id), BookFormat::Json);
    const Json j = Json::parse(json.str());
    EXPECT_EQ(j["run"]["id"], id);
    EXPECT_EQ(j["market"]["r"], 0.02);
    EXPECT_EQ(j["rows"].size(), 3u);
    EXPECT_EQ(j["totals"], book_to_json(v.result)["totals"]);
}

}  // namespace
