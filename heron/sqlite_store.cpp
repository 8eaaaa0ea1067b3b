#include <heron/sqlite_store.hpp>

#include <sqlite3.h>

#include <filesystem>
#include <thread>
#include <utility>

namespace heron {
namespace {

namespace fs = std::filesystem;

constexpr int kApplicationId = 0x4B535452;  // "KSTR"
constexpr int kSchemaVersion = 1;

constexpr const char* kCreateSchema = R"sql(
CREATE TABLE IF NOT EXISTS prices (
    instrument TEXT NOT NULL,
    adjust     TEXT NOT NULL CHECK (adjust IN ('pre', 'none')),
    date       TEXT NOT NULL,
    open       REAL NOT NULL,
    high       REAL NOT NULL,
    low        REAL NOT NULL,
    close      REAL NOT NULL,
    volume     REAL,
    PRIMARY KEY (instrument, adjust, date)
) WITHOUT ROWID;
)sql";

// A prepared statement; finalized when it goes out of scope.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql, int& rc) { rc = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    void bind(int i, const std::string& text) { sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT); }
    void bind(int i, double v) { sqlite3_bind_double(stmt_, i, v); }
    void bind(int i, std::int64_t v) { sqlite3_bind_int64(stmt_, i, v); }
    void bind(int i, const std::optional<double>& v) {
        if (v) sqlite3_bind_double(stmt_, i, *v);
        else sqlite3_bind_null(stmt_, i);
    }
    int step() { return sqlite3_step(stmt_); }
    std::string text(int i) const {
        const auto* p = sqlite3_column_text(stmt_, i);
        return p ? std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(sqlite3_column_bytes(stmt_, i)))
                 : std::string();
    }
    double number(int i) const { return sqlite3_column_double(stmt_, i); }
    std::optional<double> maybe_number(int i) const {
        if (sqlite3_column_type(stmt_, i) == SQLITE_NULL) return std::nullopt;
        return sqlite3_column_double(stmt_, i);
    }
    std::int64_t integer(int i) const { return sqlite3_column_int64(stmt_, i); }

  private:
    sqlite3_stmt* stmt_ = nullptr;
};

Bar read_bar(const Statement& s, int first_price_column, const Date& date) {
    const int c = first_price_column;
    return Bar{date, s.number(c), s.number(c + 1), s.number(c + 2), s.number(c + 3), s.maybe_number(c + 4)};
}

}  // namespace

SqliteStore::SqliteStore(std::string path) : SqliteStore(std::move(path), Options{}) {}

SqliteStore::SqliteStore(std::string path, Options options) : path_(std::move(path)), options_(options) {
    try {
        open();
    } catch (...) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
        throw;
    }
}

SqliteStore::~SqliteStore() { sqlite3_close_v2(db_); }

void SqliteStore::fail(int rc, const std::string& doing) const {
    const std::string where = "price store '" + path_ + "'";
    const std::string detail = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    switch (rc & 0xff) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            throw ServiceError("store is busy: " + where + " is being written by someone else (gave up after " +
                               std::to_string(options_.busy_timeout.count()) + " ms)");
        case SQLITE_NOTADB:
            throw ServiceError("'" + path_ + "' is not a kestrel price store: " + detail);
        case SQLITE_CORRUPT:
            throw ServiceError(where + " is damaged: " + detail);
        case SQLITE_CANTOPEN:
            throw ServiceError("cannot open " + where + ": " + detail);
        default:
            throw ServiceError(where + ": " + doing + ": " + detail);
    }
}

void SqliteStore::open() {
    std::error_code ec;
    const bool exists = fs::exists(path_, ec);
    if (options_.mode == Mode::ReadOnly && !exists) throw ServiceError("no such price store: '" + path_ + "'");
    if (exists && fs::is_directory(path_, ec))
        throw ServiceError("cannot open price store '" + path_ + "': it is a directory");

    const int flags = SQLITE_OPEN_NOMUTEX | (options_.mode == Mode::ReadOnly
                                                 ? SQLITE_OPEN_READONLY
                                                 : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    int rc = sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) fail(rc, "opening");
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, static_cast<int>(options_.busy_timeout.count()));

    // Reading the schema is the first access to the file: a file that is not
    // a database fails here, before anything could be written to it.
    auto query_int = [&](const char* sql) -> std::int64_t {
        Statement s(db_, sql, rc);
        if (rc != SQLITE_OK) fail(rc, "reading the schema");
        rc = s.step();
        if (rc != SQLITE_ROW) fail(rc, "reading the schema");
        return s.integer(0);
    };
    const std::int64_t objects = query_int("SELECT count(*) FROM sqlite_schema");
    const std::int64_t tables = query_int("SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name = 'prices'");
    const std::int64_t app_id = query_int("PRAGMA application_id");
    const std::int64_t version = query_int("PRAGMA user_version");

    if (objects > 0) {
        if (app_id != kApplicationId || tables == 0)
            throw ServiceError("'" + path_ + "' is an SQLite database but not a kestrel price store");
        if (version > kSchemaVersion)
            throw ServiceError("price store '" + path_ + "' has schema version " + std::to_string(version) +
                               ", newer than this kestrel reads (" + std::to_string(kSchemaVersion) + ")");
        has_schema_ = true;
    }
    if (options_.mode == Mode::ReadOnly) return;

    // A damaged file that still opens may have its damage away from the pages
    // an import reads; writing into it would change a file that should be
    // left for repair. Check every page before the first write.
    if (exists && fs::file_size(path_, ec) > 0) {
        Statement check(db_, "PRAGMA quick_check(1)", rc);
        if (rc != SQLITE_OK) fail(rc, "checking the store");
        rc = check.step();
        if (rc != SQLITE_ROW) fail(rc, "checking the store");
        const std::string verdict = check.text(0);
        if (verdict != "ok") throw ServiceError("price store '" + path_ + "' is damaged: " + verdict);
    }

    auto exec = [&](const std::string& sql, const char* doing) {
        rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) fail(rc, doing);
    };
    if (!has_schema_) {
        exec("BEGIN IMMEDIATE", "creating the schema");
        try {
            exec(kCreateSchema, "creating the schema");
            exec("PRAGMA application_id = " + std::to_string(kApplicationId), "creating the schema");
            exec("PRAGMA user_version = " + std::to_string(kSchemaVersion), "creating the schema");
            exec("COMMIT", "creating the schema");
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
        has_schema_ = true;
    }
    // Changing the journal mode takes an exclusive lock without going through
    // the busy handler: a second process opening the store at the same moment
    // would be told "busy" at once. Retry within the busy timeout instead.
    const char* journal = options_.wal ? "PRAGMA journal_mode = WAL" : "PRAGMA journal_mode = DELETE";
    const auto deadline = std::chrono::steady_clock::now() + options_.busy_timeout;
    while ((rc = sqlite3_exec(db_, journal, nullptr, nullptr, nullptr)) != SQLITE_OK) {
        if ((rc & 0xff) != SQLITE_BUSY || std::chrono::steady_clock::now() >= deadline)
            fail(rc, "setting the journal mode");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

namespace {

// BEGIN IMMEDIATE ... COMMIT, rolled back unless committed.
class Transaction {
  public:
    explicit Transaction(sqlite3* db) : db_(db) {}
    int begin() { return sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr); }
    int commit() {
        const int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) done_ = true;
        return rc;
    }
    ~Transaction() {
        if (!done_ && sqlite3_get_autocommit(db_) == 0) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }

  private:
    sqlite3* db_;
    bool done_ = false;
};

}  // namespace

std::vector<SqliteStore::ImportReport> SqliteStore::write(const std::vector<Job>& jobs) {
    // Everything is checked before the database is touched.
    for (const auto& job : jobs) {
        if (job.instrument.empty()) throw kestrel::ValueError(job.rows->source + ": instrument id is empty");
        if (job.adjusts.empty()) throw kestrel::ValueError(job.rows->source + ": no adjust type given");
        for (const auto& a : job.adjusts) validate_request({"close"}, a);
        validate_bars(job.rows->bars, job.rows->source, job.rows->lines);
    }

    std::lock_guard lock(mutex_);
    if (options_.mode == Mode::ReadOnly)
        throw ServiceError("price store '" + path_ + "' is open read-only and cannot import");
    Transaction tx(db_);
    int rc = tx.begin();
    if (rc != SQLITE_OK) fail(rc, "starting the import");
    Statement find(db_, "SELECT open, high, low, close, volume FROM prices WHERE instrument = ?1 AND adjust = ?2 AND date = ?3", rc);
    if (rc != SQLITE_OK) fail(rc, "preparing the import");
    Statement put(db_, "INSERT OR REPLACE INTO prices (instrument, adjust, date, open, high, low, close, volume) "
                       "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)", rc);
    if (rc != SQLITE_OK) fail(rc, "preparing the import");

    std::vector<ImportReport> reports;
    for (const auto& job : jobs) {
        ImportReport r{job.rows->source, job.instrument, job.adjusts, 0, 0, 0, 0};
        for (const auto& adjust : job.adjusts) {
            for (const auto& bar : job.rows->bars) {
                const std::string day = kestrel::utils::format_date(bar.date);
                ++r.rows;
                find.reset();
                find.bind(1, job.instrument);
                find.bind(2, adjust);
                find.bind(3, day);
                rc = find.step();
                if (rc == SQLITE_ROW) {
                    if (read_bar(find, 0, bar.date) == bar) {
                        ++r.unchanged;
                        continue;
                    }
                    ++r.replaced;
                } else if (rc == SQLITE_DONE) {
                    ++r.inserted;
                } else {
                    fail(rc, "importing " + job.rows->source);
                }
                put.reset();
                put.bind(1, job.instrument);
                put.bind(2, adjust);
                put.bind(3, day);
                put.bind(4, bar.open);
                put.bind(5, bar.high);
                put.bind(6, bar.low);
                put.bind(7, bar.close);
                put.bind(8, bar.volume);
                rc = put.step();
                if (rc != SQLITE_DONE) fail(rc, "importing " + job.rows->source);
            }
        }
        reports.push_back(std::move(r));
    }
    find.reset();
    put.reset();
    rc = tx.commit();
    if (rc != SQLITE_OK) fail(rc, "committing the import");
    return reports;
}

SqliteStore::ImportReport SqliteStore::import(const std::string& instrument, const std::vector<std::string>& adjusts,
                                              const CsvRows& rows) {
    kestrel::calendar::ScopedClosures closures(official_closures());
    return write({Job{instrument, adjusts, &rows}}).front();
}

SqliteStore::ImportReport SqliteStore::import_csv(const std::string& csv_path, const std::string& instrument,
                                                  const std::string& adjust) {
    const auto adjusts = expand_adjust(adjust);
    // Prices are checked against the trading days of the closures this store holds.
    kestrel::calendar::ScopedClosures closures(official_closures());
    const CsvRows rows = read_csv(csv_path);
    return write({Job{instrument, adjusts, &rows}}).front();
}

std::vector<SqliteStore::ImportReport> SqliteStore::import_directory(const std::string& dir) {
    const auto files = list_price_files(dir);
    kestrel::calendar::ScopedClosures closures(official_closures());
    std::vector<CsvRows> rows;
    rows.reserve(files.size());
    for (const auto& f : files) rows.push_back(read_csv(f.path));
    std::vector<Job> jobs;
    for (std::size_t i = 0; i < files.size(); ++i) jobs.push_back({files[i].instrument, files[i].adjusts, &rows[i]});
    return write(jobs);
}

std::optional<PriceTable> SqliteStore::get_price(const std::string& order_book_id, const Date& start, const Date& end,
                                                 const std::vector<std::string>& fields,
                                                 const std::string& adjust_type, bool) {
    validate_request(fields, adjust_type);
    if (end < start) return std::nullopt;
    std::lock_guard lock(mutex_);
    if (!has_schema_) return std::nullopt;
    int rc = SQLITE_OK;
    Statement s(db_, "SELECT date, open, high, low, close, volume FROM prices "
                     "WHERE instrument = ?1 AND adjust = ?2 AND date BETWEEN ?3 AND ?4 ORDER BY date", rc);
    if (rc != SQLITE_OK) fail(rc, "reading prices");
    s.bind(1, order_book_id);
    s.bind(2, adjust_type);
    s.bind(3, kestrel::utils::format_date(start));
    s.bind(4, kestrel::utils::format_date(end));
    std::vector<Bar> bars;
    while ((rc = s.step()) == SQLITE_ROW) {
        Date d;
        try {
            d = kestrel::utils::parse_date(s.text(0));
        } catch (const kestrel::ValueError& e) {
            throw ServiceError("price store '" + path_ + "' holds a bad date for " + order_book_id + ": " + e.what());
        }
        bars.push_back(read_bar(s, 1, d));
    }
    if (rc != SQLITE_DONE) fail(rc, "reading prices");
    if (bars.empty()) return std::nullopt;
    return make_table(order_book_id, bars, fields);
}

std::vector<SeriesSummary> SqliteStore::summary() {
    std::lock_guard lock(mutex_);
    std::vector<SeriesSummary> out;
    if (!has_schema_) return out;
    int rc = SQLITE_OK;
    Statement s(db_, "SELECT instrument, adjust, min(date), max(date), count(*) FROM prices "
                     "GROUP BY instrument, adjust ORDER BY instrument, adjust", rc);
    if (rc != SQLITE_OK) fail(rc, "reading the summary");
    while ((rc = s.step()) == SQLITE_ROW) {
        try {
            out.push_back({s.text(0), s.text(1), kestrel::utils::parse_date(s.text(2)),
                           kestrel::utils::parse_date(s.text(3)), static_cast<std::size_t>(s.integer(4))});
        } catch (const kestrel::ValueError& e) {
            throw ServiceError("price store '" + path_ + "' holds a bad date for " + s.text(0) + ": " + e.what());
        }
    }
    if (rc != SQLITE_DONE) fail(rc, "reading the summary");
    return out;
}

namespace {

constexpr const char* kCreateClosures = R"sql(
CREATE TABLE IF NOT EXISTS closure_years (year INTEGER PRIMARY KEY);
CREATE TABLE IF NOT EXISTS closures (date TEXT PRIMARY KEY, name TEXT NOT NULL) WITHOUT ROWID;
)sql";

}  // namespace

void SqliteStore::check_closures(const kestrel::calendar::ClosureList& list) {
    std::lock_guard lock(mutex_);
    if (!has_schema_) return;
    int rc = SQLITE_OK;
    Statement s(db_, "SELECT instrument FROM prices WHERE date = ?1 LIMIT 1", rc);
    if (rc != SQLITE_OK) fail(rc, "checking the closures");
    for (std::size_t i = 0; i < list.closures.size(); ++i) {
        const std::string day = kestrel::utils::format_date(list.closures[i].date);
        s.reset();
        s.bind(1, day);
        rc = s.step();
        if (rc == SQLITE_ROW) {
            const std::size_t line = i < list.lines.size() ? list.lines[i] : i + 1;
            throw kestrel::ValueError(list.source + ":" + std::to_string(line) + ": " + day +
                                      " is a trading day in the price history (" + s.text(0) + " has prices on it)");
        }
        if (rc != SQLITE_DONE) fail(rc, "checking the closures");
    }
}

kestrel::calendar::ClosureList SqliteStore::official_closures() {
    std::lock_guard lock(mutex_);
    kestrel::calendar::ClosureList list;
    list.source = path_;
    if (!has_schema_) return list;
    int rc = SQLITE_OK;
    {
        Statement t(db_, "SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name = 'closure_years'", rc);
        if (rc != SQLITE_OK || t.step() != SQLITE_ROW) fail(rc, "reading the closures");
        if (t.integer(0) == 0) return list;
    }
    Statement years(db_, "SELECT year FROM closure_years ORDER BY year", rc);
    if (rc != SQLITE_OK) fail(rc, "reading the closures");
    while ((rc = years.step()) == SQLITE_ROW) list.years.push_back(static_cast<int>(years.integer(0)));
    if (rc != SQLITE_DONE) fail(rc, "reading the closures");
    Statement days(db_, "SELECT date, name FROM closures ORDER BY date", rc);
    if (rc != SQLITE_OK) fail(rc, "reading the closures");
    while ((rc = days.step()) == SQLITE_ROW) {
        try {
            list.closures.push_back({kestrel::utils::parse_date(days.text(0)), days.text(1),
                                     kestrel::calendar::Source::Official});
        } catch (const kestrel::ValueError& e) {
            throw ServiceError("price store '" + path_ + "' holds a bad closure date: " + e.what());
        }
        list.lines.push_back(list.closures.size());
    }
    if (rc != SQLITE_DONE) fail(rc, "reading the closures");
    return list;
}

std::size_t SqliteStore::import_closures(const kestrel::calendar::ClosureList& list) {
    if (options_.mode == Mode::ReadOnly)
        throw ServiceError("price store '" + path_ + "' is open read-only and cannot import");
    check_closures(list);
    std::size_t replaced = 0;
    {
        std::lock_guard lock(mutex_);
        Transaction tx(db_);
        int rc = tx.begin();
        if (rc != SQLITE_OK) fail(rc, "starting the import");
        rc = sqlite3_exec(db_, kCreateClosures, nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) fail(rc, "creating the closure tables");
        Statement count(db_, "SELECT count(*) FROM closures WHERE substr(date, 1, 4) = ?1", rc);
        if (rc != SQLITE_OK) fail(rc, "preparing the import");
        Statement drop(db_, "DELETE FROM closures WHERE substr(date, 1, 4) = ?1", rc);
        if (rc != SQLITE_OK) fail(rc, "preparing the import");
        Statement year(db_, "INSERT OR IGNORE INTO closure_years (year) VALUES (?1)", rc);
        if (rc != SQLITE_OK) fail(rc, "preparing the import");
        Statement put(db_, "INSERT INTO closures (date, name) VALUES (?1, ?2)", rc);
        if (rc != SQLITE_OK) fail(rc, "preparing the import");
        for (int y : list.years) {
            const std::string text = std::to_string(y);
            count.reset();
            count.bind(1, text);
            if ((rc = count.step()) != SQLITE_ROW) fail(rc, "importing " + list.source);
            replaced += static_cast<std::size_t>(count.integer(0));
            drop.reset();
            drop.bind(1, text);
            if ((rc = drop.step()) != SQLITE_DONE) fail(rc, "importing " + list.source);
            year.reset();
            year.bind(1, static_cast<std::int64_t>(y));
            if ((rc = year.step()) != SQLITE_DONE) fail(rc, "importing " + list.source);
        }
        for (const auto& c : list.closures) {
            put.reset();
            put.bind(1, kestrel::utils::format_date(c.date));
            put.bind(2, c.name);
            if ((rc = put.step()) != SQLITE_DONE) fail(rc, "importing " + list.source);
        }
        count.reset();
        drop.reset();
        year.reset();
        put.reset();
        rc = tx.commit();
        if (rc != SQLITE_OK) fail(rc, "committing the import");
    }
    return replaced;
}

}  // namespace heron
