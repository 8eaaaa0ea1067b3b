// The SQLite price store under faults: an importer killed part way, two
// importers at once, damaged or foreign files given as the store. Importers
// run as forked child processes going through heron::SqliteStore (what
// `kestrel data import` does); the kestrel command itself is run when it was
// built beside this test.
//
// Also replays the CSV fuzz corpus (fuzz/corpus/csv, the seeds and every
// input a fuzzing run found a fault with) through the fuzz target's check.
#include <heron/sqlite_store.hpp>
#include <kestrel/calendar.hpp>

#include "../fuzz/csv_import_check.hpp"
#include "support/test_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <new>
#include <random>
#include <set>
#include <thread>

namespace {

namespace fs = std::filesystem;
using heron::Date;
using kestrel::test::TempDir;
using kestrel::utils::parse_date;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

// A price file of sane bars (low <= open, close <= high) on every trading day
// from `from` to `to`, a random walk fixed by the seed.
std::string price_file(const char* from, const char* to, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> shock(0.0, 0.015);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::string out = "date,open,high,low,close,volume\n";
    double level = 100.0;
    char line[160];
    for (const Date& d : kestrel::calendar::trading_days(parse_date(from), parse_date(to))) {
        const double open = level, close = level * std::exp(shock(rng));
        const double high = std::max(open, close) * (1 + 0.01 * unit(rng));
        const double low = std::min(open, close) * (1 - 0.01 * unit(rng));
        std::snprintf(line, sizeof line, "%s,%.4f,%.4f,%.4f,%.4f,%.0f\n", kestrel::utils::format_date(d).c_str(), open,
                      high, low, close, std::floor(1e6 * unit(rng)));
        out += line;
        level = close;
    }
    return out;
}

// A raw connection to a database file, outside heron.
class RawDb {
  public:
    explicit RawDb(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
            ADD_FAILURE() << "cannot open " << path << ": " << sqlite3_errmsg(db_);
    }
    ~RawDb() { sqlite3_close(db_); }
    RawDb(const RawDb&) = delete;
    RawDb& operator=(const RawDb&) = delete;

    // Every row of a result as text, columns separated by spaces, numbers in
    // hex so they compare exactly.
    std::vector<std::string> rows(const char* sql) {
        std::vector<std::string> out;
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
            return out;
        }
        int rc;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
            std::string row;
            for (int c = 0; c < sqlite3_column_count(s); ++c) {
                if (c) row += ' ';
                if (sqlite3_column_type(s, c) == SQLITE_FLOAT || sqlite3_column_type(s, c) == SQLITE_INTEGER) {
                    char num[64];
                    std::snprintf(num, sizeof num, "%a", sqlite3_column_double(s, c));
                    row += num;
                } else if (const auto* t = sqlite3_column_text(s, c)) {
                    row += reinterpret_cast<const char*>(t);
                } else {
                    row += "NULL";
                }
            }
            out.push_back(row);
        }
        if (rc != SQLITE_DONE) ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
        sqlite3_finalize(s);
        return out;
    }

  private:
    sqlite3* db_ = nullptr;
};

// Checks the file's integrity and returns every stored row.
std::vector<std::string> checked_contents(const std::string& db) {
    RawDb raw(db);
    EXPECT_EQ(raw.rows("PRAGMA integrity_check"), std::vector<std::string>{"ok"}) << db;
    return raw.rows("SELECT instrument, adjust, date, open, high, low, close, volume FROM prices "
                    "ORDER BY instrument, adjust, date");
}

// Removes a database file and its journal side files.
void remove_store(const std::string& db) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) fs::remove(db + suffix);
}

// A database file and its journal side files copied elsewhere.
void copy_store(const std::string& from, const std::string& to) {
    remove_store(to);
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
        if (fs::exists(from + suffix)) fs::copy_file(from + suffix, to + suffix);
}

// An import in a child process, as `kestrel data import` does it. The child
// exits 0 when the import went in, 3 for "store is busy", 1 for another
// kestrel error, 2 for anything else; the error message goes to `err_file`.
struct Importer {
    std::string db, csv, instrument, adjust = "both", err_file;
    std::chrono::milliseconds busy_timeout{5000};
    // When set, the child closes its copy of the pipe's write end and waits
    // for the parent to close the other.
    int start_fd[2] = {-1, -1};

    pid_t start() const {
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid != 0) return pid;
        int code = 2;
        std::string message;
        try {
            if (start_fd[0] >= 0) {
                close(start_fd[1]);
                char c;
                while (read(start_fd[0], &c, 1) > 0) {
                }
            }
            heron::SqliteStore::Options options;
            options.busy_timeout = busy_timeout;
            heron::SqliteStore store(db, options);
            store.import_csv(csv, instrument, adjust);
            code = 0;
        } catch (const kestrel::Error& e) {
            message = e.what();
            code = message.find("store is busy") != std::string::npos ? 3 : 1;
        } catch (const std::exception& e) {
            message = e.what();
        }
        if (!err_file.empty()) {
            const int fd = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                [[maybe_unused]] auto n = write(fd, message.data(), message.size());
                close(fd);
            }
        }
        _exit(code);
    }
};

// The exit code of a finished child, or -signal when a signal ended it.
int wait_for(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

std::uintmax_t size_or_zero(const std::string& path) {
    std::error_code ec;
    const auto n = fs::file_size(path, ec);
    return ec ? 0 : n;
}

// ---------------------------------------------------------------------------
// A killed import

// Integrity and rows of what a killed import left: no rows when it left no
// file, or a file without the table yet.
std::vector<std::string> contents_after_kill(const std::string& db) {
    if (!fs::exists(db)) return {};
    {
        RawDb raw(db);
        EXPECT_EQ(raw.rows("PRAGMA integrity_check"), std::vector<std::string>{"ok"}) << db;
        if (raw.rows("SELECT name FROM sqlite_schema WHERE name = 'prices'").empty()) return {};
    }
    return checked_contents(db);
}

struct KillFixture : ::testing::Test {
    TempDir dir;
    std::string seed_db = dir.file("seed.db"), csv = dir.file("big.csv");

    void SetUp() override {
        // A store already holding another instrument and, under "pre", two
        // years of the instrument about to be imported at other prices: a
        // half-done import would show as a mix.
        heron::SqliteStore store(seed_db);
        store.import_csv(dir.write("other.csv", price_file("2015-01-01", "2016-12-31", 7)), "OTHER.XSHG", "both");
        store.import_csv(dir.write("old.csv", price_file("2000-01-01", "2001-12-31", 8)), "BIG.XSHG", "pre");
        // About 20 000 trading days, stored twice (both adjust types): a few
        // megabytes, more than SQLite's page cache, so pages reach the
        // write-ahead log before the commit.
        dir.write("big.csv", price_file("1990-01-01", "2069-12-31", 9));
    }

    Importer importer(const std::string& db) const {
        Importer i;
        i.db = db;
        i.csv = csv;
        i.instrument = "BIG.XSHG";
        return i;
    }

    // Kills the import at random moments, into a copy of `from` each time
    // ("" for no store yet): half the rounds over the whole run, half once
    // pages started reaching the write-ahead log (mid-transaction). Each time
    // the file must pass the integrity check and hold exactly what it held
    // before or exactly the complete import, and open again.
    void kill_rounds(const std::string& from, int rounds) {
        const std::string db = dir.file("kill.db");
        auto fresh_copy = [&] {
            if (from.empty()) remove_store(db);
            else copy_store(from, db);
        };
        fresh_copy();
        const auto before = contents_after_kill(db);
        auto t0 = Clock::now();
        ASSERT_EQ(wait_for(importer(db).start()), 0);
        const std::chrono::duration<double> full = Clock::now() - t0;
        const auto after = checked_contents(db);
        ASSERT_GT(after.size(), before.size() + 39000);  // ~19,750 trading days 1990-2069, two adjust types

        std::mt19937 rng(std::random_device{}());
        std::uniform_real_distribution<double> fraction(0.0, 1.0);
        int as_before = 0, as_after = 0, mid_write = 0;
        std::string moments;
        for (int round = 0; round < rounds; ++round) {
            const bool after_wal = 2 * round >= rounds;
            fresh_copy();
            const pid_t pid = importer(db).start();
            t0 = Clock::now();
            if (after_wal)
                while (size_or_zero(db + "-wal") == 0 && Clock::now() - t0 < 2 * full)
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
            const auto delay = std::chrono::duration<double>(fraction(rng) * (after_wal ? 0.3 : 1.1) * full.count());
            std::this_thread::sleep_until(Clock::now() + std::chrono::duration_cast<Clock::duration>(delay));
            const auto log_at_kill = size_or_zero(db + "-wal");
            kill(pid, SIGKILL);
            const int code = wait_for(pid);
            char moment[64];
            std::snprintf(moment, sizeof moment, " %.0fms%s",
                          1000 * std::chrono::duration<double>(Clock::now() - t0).count(),
                          code == -SIGKILL ? (log_at_kill > 0 ? "(log)" : "") : "(done)");
            moments += moment;

            // A reader (what `kestrel price --db` opens) is the first to open
            // the file after the kill; then a raw connection checks it.
            // A reader cannot roll back a journal left by a kill while the
            // store was being created (a window of a millisecond or so); it
            // must then say so with a ServiceError.
            std::size_t series_read = 0, rows_read = 0;
            bool refused = false;
            if (fs::exists(db)) {
                try {
                    heron::SqliteStore reader(db, {heron::SqliteStore::Mode::ReadOnly});
                    for (const auto& s : reader.summary()) {
                        ++series_read;
                        rows_read += s.rows;
                    }
                } catch (const heron::ServiceError& e) {
                    refused = true;
                    moments += std::string("(reader: ") + e.what() + ")";
                }
            }
            const auto now = contents_after_kill(db);
            if (now == before) {
                ++as_before;
                if (log_at_kill > 0) ++mid_write;
            } else if (now == after) {
                ++as_after;
            } else {
                ADD_FAILURE() << "round " << round << ": " << now.size() << " rows, neither the " << before.size()
                              << " before nor the " << after.size() << " after the import";
            }
            std::set<std::string> series;  // "instrument adjust" of each row
            for (const auto& row : now) series.insert(row.substr(0, row.find(' ', row.find(' ') + 1)));
            if (!refused) {
                EXPECT_EQ(series_read, series.size());
                EXPECT_EQ(rows_read, now.size());
            }
            // After the last kill (one with pages in the log, most likely)
            // the store takes the import again.
            if (round + 1 == rounds) {
                ASSERT_EQ(wait_for(importer(db).start()), 0);
                EXPECT_EQ(checked_contents(db), after);
            }
        }
        std::printf("full import %.0f ms; killed at%s; %d left as before (%d with pages in the log), %d fully imported\n",
                    1000 * full.count(), moments.c_str(), as_before, mid_write, as_after);
        EXPECT_EQ(as_before + as_after, rounds);
        // Some kills did land part way through writing the transaction.
        EXPECT_GT(mid_write, 0);
    }
};

TEST_F(KillFixture, KilledImportLeavesTheStoreAsBeforeOrFullyImported) { kill_rounds(seed_db, 8); }

TEST_F(KillFixture, KilledFirstImportLeavesNoRowsOrAll) { kill_rounds("", 4); }

// ---------------------------------------------------------------------------
// Two importers at once

struct RaceFixture : ::testing::Test {
    TempDir dir;
    // Overlapping years of one instrument at different prices.
    std::string a_csv = dir.write("a.csv", price_file("2005-01-01", "2016-12-31", 21));
    std::string b_csv = dir.write("b.csv", price_file("2012-01-01", "2024-12-31", 22));
    // Another instrument, already in the store when there is one.
    std::string c_csv = dir.write("c.csv", price_file("2020-01-01", "2020-12-31", 23));

    Importer importer(const std::string& db, const std::string& csv, const char* name, const int (&gate)[2],
                      std::chrono::milliseconds busy) {
        Importer i{db, csv, "RACE.XSHG", "both", dir.file(name), busy, {gate[0], gate[1]}};
        return i;
    }

    // What serial imports in the given order leave, starting from `seed_db`
    // ("" for no store at all).
    std::vector<std::string> serial(const std::string& seed_db, const std::vector<std::string>& csvs) {
        const std::string db = dir.file("serial.db");
        if (seed_db.empty()) remove_store(db);
        else copy_store(seed_db, db);
        {
            heron::SqliteStore store(db);
            for (const auto& f : csvs) store.import_csv(f, "RACE.XSHG", "both");
        }
        return checked_contents(db);
    }
};

TEST_F(RaceFixture, BothFinishInSomeOrderOrOneSaysBusyNothingMixed) {
    const std::string seed_db = dir.file("seed.db");
    {
        heron::SqliteStore store(seed_db);
        store.import_csv(c_csv, "OTHER.XSHG", "pre");
    }
    std::string outcomes;
    struct Round {
        bool fresh;  // no store file yet: both create it
        std::chrono::milliseconds busy;
    };
    const Round rounds[] = {{true, std::chrono::milliseconds(5000)},  {true, std::chrono::milliseconds(5000)},
                            {false, std::chrono::milliseconds(5000)}, {false, std::chrono::milliseconds(5000)},
                            {true, std::chrono::milliseconds(1)},     {false, std::chrono::milliseconds(1)},
                            {false, std::chrono::milliseconds(1)}};
    // What each outcome must leave, from no store and from the seed store.
    struct Serial {
        std::vector<std::string> only_a, only_b, a_then_b, b_then_a;
    };
    std::map<bool, Serial> serials;
    for (const bool fresh : {true, false}) {
        const std::string seed = fresh ? "" : seed_db;
        serials[fresh] = {serial(seed, {a_csv}), serial(seed, {b_csv}), serial(seed, {a_csv, b_csv}),
                          serial(seed, {b_csv, a_csv})};
        ASSERT_NE(serials[fresh].a_then_b, serials[fresh].b_then_a);
    }
    for (const auto& round : rounds) {
        const auto& [only_a, only_b, a_then_b, b_then_a] = serials[round.fresh];

        const std::string db = dir.file("race.db");
        if (round.fresh) remove_store(db);
        else copy_store(seed_db, db);
        int gate[2];
        ASSERT_EQ(pipe(gate), 0);
        const pid_t a = importer(db, a_csv, "a.err", gate, round.busy).start();
        const pid_t b = importer(db, b_csv, "b.err", gate, round.busy).start();
        close(gate[0]);
        close(gate[1]);  // both go
        const int ca = wait_for(a), cb = wait_for(b);
        const std::string ea = kestrel::test::read_file(dir.file("a.err")),
                          eb = kestrel::test::read_file(dir.file("b.err"));
        outcomes += " " + std::to_string(ca) + "/" + std::to_string(cb);

        for (const auto& [code, message] : {std::pair{ca, ea}, std::pair{cb, eb}}) {
            // With a timeout far longer than an import, nobody gives up.
            if (round.busy >= std::chrono::milliseconds(5000)) EXPECT_EQ(code, 0) << message;
            else EXPECT_TRUE(code == 0 || code == 3) << "exit " << code << ": " << message;
            if (code == 3) {
                EXPECT_THAT(message, HasSubstr("store is busy: price store '" + db + "'"));
            }
        }
        EXPECT_FALSE(ca == 3 && cb == 3) << "both importers gave up";
        const auto now = checked_contents(db);
        if (ca == 0 && cb == 0) {
            EXPECT_TRUE(now == a_then_b || now == b_then_a) << "a mix of the two imports";
        } else if (ca == 0) {
            EXPECT_EQ(now, only_a);
        } else if (cb == 0) {
            EXPECT_EQ(now, only_b);
        }
    }
    std::printf("exit codes (a/b, 3 = store is busy):%s\n", outcomes.c_str());
}

TEST_F(RaceFixture, TwoProcessesCreatingTheStoreAtOnceBothGetIn) {
    // Whoever loses the race to set up a new file waits for the winner. (The
    // switch to the write-ahead log used to answer "busy" at once, in one
    // race in fifty to a hundred, well inside the busy timeout.) Two child
    // processes meet at a shared barrier before each of many fresh files.
    constexpr int kRounds = 250;
    const std::string csvs[2] = {dir.write("first.csv", price_file("2024-01-01", "2024-01-31", 41)),
                                 dir.write("second.csv", price_file("2024-02-01", "2024-02-29", 42))};
    const char* instruments[2] = {"FIRST.XSHG", "SECOND.XSHG"};
    auto db = [&](int round) { return dir.file("new-" + std::to_string(round) + ".db"); };

    struct Shared {
        pthread_barrier_t barrier;
        int failures[2];
        char first_failure[2][512];
    };
    void* memory = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    auto* shared = new (memory) Shared{};
    pthread_barrierattr_t attr;
    pthread_barrierattr_init(&attr);
    pthread_barrierattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_barrier_init(&shared->barrier, &attr, 2);

    pid_t children[2];
    for (int k = 0; k < 2; ++k) {
        std::fflush(nullptr);
        children[k] = fork();
        if (children[k] != 0) continue;
        for (int round = 0; round < kRounds; ++round) {
            pthread_barrier_wait(&shared->barrier);
            try {
                heron::SqliteStore store(db(round));
                store.import_csv(csvs[k], instruments[k], "both");
            } catch (const std::exception& e) {
                if (shared->failures[k]++ == 0)
                    std::snprintf(shared->first_failure[k], sizeof shared->first_failure[k], "round %d: %s", round,
                                  e.what());
            }
        }
        _exit(0);
    }
    // A child that died would leave the other waiting at the barrier.
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    int done = 0, status = 0;
    while (done < 2 && Clock::now() < deadline) {
        if (waitpid(-1, &status, WNOHANG) > 0) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "an importer died";
            ++done;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    if (done < 2) {
        ADD_FAILURE() << "importers still running after two minutes";
        for (pid_t c : children) kill(c, SIGKILL);
        for (pid_t c : children) wait_for(c);
    }
    for (int k = 0; k < 2; ++k) EXPECT_EQ(shared->failures[k], 0) << shared->first_failure[k];
    for (int round = 0; round < kRounds; ++round) {
        heron::SqliteStore store(db(round), {heron::SqliteStore::Mode::ReadOnly});
        ASSERT_EQ(store.summary().size(), 4u) << "round " << round;
    }
    pthread_barrier_destroy(&shared->barrier);
    munmap(memory, sizeof(Shared));
}

// ---------------------------------------------------------------------------
// Damaged and foreign files

// The kestrel executable built beside this test, "" when there is none.
std::string kestrel_cli() {
    std::error_code ec;
    const auto exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return "";
    const auto cli = exe.parent_path() / "kestrel";
    return fs::exists(cli) ? cli.string() : "";
}

struct Damaged {
    std::string name, bytes;
};

// A healthy store of a few thousand rows, then copies of it damaged in the
// ways a disk, a bad copy or a wrong argument damage files.
std::vector<Damaged> damaged_files(const TempDir& dir) {
    const std::string good = dir.file("good.db");
    {
        heron::SqliteStore store(good);
        store.import_csv(dir.write("g.csv", price_file("2010-01-01", "2019-12-31", 31)), "GOOD.XSHG", "both");
    }
    const std::string bytes = kestrel::test::read_file(good);
    EXPECT_GT(bytes.size(), 64u * 1024);
    std::mt19937 rng(5);
    auto noise = [&](std::size_t n) {
        std::string s(n, '\0');
        for (auto& c : s) c = static_cast<char>(rng());
        return s;
    };
    std::vector<Damaged> out;
    auto with = [&](std::size_t at, const std::string& patch) {
        std::string b = bytes;
        b.replace(at, patch.size(), patch);
        return b;
    };
    out.push_back({"header magic overwritten", with(0, "NOT A DATABASE!!")});
    out.push_back({"truncated to half", bytes.substr(0, bytes.size() / 2)});
    out.push_back({"truncated inside the first page", bytes.substr(0, 1000)});
    out.push_back({"noise over the middle pages", with(2 * 4096, noise(bytes.size() - 4 * 4096))});
    out.push_back({"first page's tree zeroed", with(100, std::string(4096 - 100, '\0'))});
    out.push_back({"one page of noise", with(bytes.size() / 2 / 4096 * 4096, noise(4096))});
    out.push_back({"SQLite magic then noise", "SQLite format 3" + std::string(1, '\0') + noise(8192 - 16)});
    out.push_back({"a price file", price_file("2024-01-01", "2024-03-31", 1)});
    out.push_back({"zeros", std::string(8192, '\0')});
    return out;
}

// Every way the store is used, each of which must either work or throw a
// heron::ServiceError; returns the messages of the errors.
std::vector<std::string> use_store(const std::string& path, heron::SqliteStore::Mode mode, const std::string& csv) {
    std::vector<std::string> errors;
    auto attempt = [&](auto&& f) {
        try {
            f();
        } catch (const heron::ServiceError& e) {
            errors.push_back(e.what());
        } catch (const std::exception& e) {
            ADD_FAILURE() << "not a ServiceError: " << e.what();
            errors.push_back(e.what());
        }
    };
    attempt([&] {
        heron::SqliteStore store(path, {mode});
        if (mode == heron::SqliteStore::Mode::ReadWrite) attempt([&] { store.import_csv(csv, "NEW.XSHG", "pre"); });
        attempt([&] { store.summary(); });
        attempt([&] {
            store.get_price("GOOD.XSHG", Date::minDate(), Date::maxDate(), heron::known_fields(), "pre", true);
        });
    });
    return errors;
}

TEST(DamagedStore, IsAClearErrorAndTheFileIsLeftByteForByte) {
    TempDir dir;
    const std::string csv = dir.write("new.csv", price_file("2024-01-01", "2024-01-31", 2));
    for (const auto& damaged : damaged_files(dir)) {
        for (auto mode : {heron::SqliteStore::Mode::ReadWrite, heron::SqliteStore::Mode::ReadOnly}) {
            SCOPED_TRACE(damaged.name + (mode == heron::SqliteStore::Mode::ReadOnly ? " (read-only)" : ""));
            const std::string path = dir.write("damaged.db", damaged.bytes);
            const auto errors = use_store(path, mode, csv);
            ASSERT_FALSE(errors.empty()) << "used without complaint";
            EXPECT_THAT(errors.front(), HasSubstr("'" + path + "'"));
            EXPECT_THAT(errors.front(), ::testing::AnyOf(HasSubstr("is damaged"), HasSubstr("is not a kestrel price store")));
            EXPECT_TRUE(kestrel::test::read_file(path) == damaged.bytes) << "the file changed";
            // A writer leaves no journal behind. A reader of a WAL-mode file
            // opens the log and its index as SQLite always does (and as for a
            // healthy store, cannot remove them), but writes no page.
            if (mode == heron::SqliteStore::Mode::ReadWrite) {
                for (const char* suffix : {"-wal", "-shm", "-journal"})
                    EXPECT_FALSE(fs::exists(path + suffix)) << suffix << " left behind";
            } else {
                EXPECT_EQ(size_or_zero(path + "-wal"), 0u);
                EXPECT_FALSE(fs::exists(path + "-journal"));
            }
            remove_store(path);
        }
    }
}

TEST(DamagedStore, TheCommandLineSaysSoInOneLine) {
    const std::string cli = kestrel_cli();
    if (cli.empty()) GTEST_SKIP() << "the kestrel command is not built";
    TempDir dir;
    const std::string csv = dir.write("new.csv", price_file("2024-01-01", "2024-01-31", 2));
    for (const auto& damaged : damaged_files(dir)) {
        SCOPED_TRACE(damaged.name);
        const std::string path = dir.write("damaged.db", damaged.bytes);
        for (const std::string& args : {"data import " + csv + " --db " + path + " --instrument NEW.XSHG --adjust pre",
                                       "data info --db " + path}) {
            const int status = std::system((cli + " " + args + " >" + dir.file("out") + " 2>" + dir.file("err")).c_str());
            ASSERT_TRUE(WIFEXITED(status)) << args;
            EXPECT_EQ(WEXITSTATUS(status), 1) << args;
            const std::string err = kestrel::test::read_file(dir.file("err"));
            EXPECT_THAT(err, ::testing::StartsWith("error: HeronError: ")) << args;
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
            EXPECT_EQ(kestrel::test::read_file(dir.file("out")), "");
            EXPECT_TRUE(kestrel::test::read_file(path) == damaged.bytes) << args << ": the file changed";
        }
    }
}

// ---------------------------------------------------------------------------
// The CSV fuzz corpus, replayed through the fuzz target's check

TEST(CsvFuzzCorpus, EveryInputIsRejectedWithATypedErrorOrImportedExactly) {
    const fs::path corpus = fs::path(kestrel::test::data_dir()).parent_path() / "fuzz" / "corpus" / "csv";
    std::size_t files = 0, imported = 0;
    for (const auto& entry : fs::directory_iterator(corpus)) {
        const std::string text = kestrel::test::read_file(entry.path().string());
        EXPECT_EQ(kestrel::fuzz::csv_import_problem(text), "") << entry.path();
        ++files;
        try {
            heron::parse_csv(text, "x");
            ++imported;
        } catch (const kestrel::Error&) {
        }
    }
    // Seeds of both kinds are there.
    EXPECT_GE(imported, 3u);
    EXPECT_GE(files - imported, 5u);
}

}  // namespace
