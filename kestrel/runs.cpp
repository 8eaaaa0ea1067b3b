#include <kestrel/runs.hpp>

#include <kestrel/errors.hpp>
#include <kestrel/utils.hpp>

#include <sqlite3.h>

#include <charconv>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <iomanip>
#include <ostream>
#include <sstream>
#include <thread>

namespace kestrel::runs {
namespace {

using Json = nlohmann::ordered_json;

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS kestrel_runs (
  run_id INTEGER PRIMARY KEY AUTOINCREMENT,
  created_at TEXT NOT NULL,
  evaluation_date TEXT NOT NULL,
  market_text TEXT NOT NULL,
  market_source TEXT NOT NULL,
  book_source TEXT NOT NULL,
  settings TEXT NOT NULL,
  greeks INTEGER NOT NULL,
  stats INTEGER NOT NULL,
  contracts INTEGER NOT NULL,
  failed INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS kestrel_runs_by_date ON kestrel_runs(evaluation_date);
CREATE TABLE IF NOT EXISTS kestrel_run_rows (
  run_id INTEGER NOT NULL REFERENCES kestrel_runs(run_id),
  position INTEGER NOT NULL,
  contract_id TEXT,
  type TEXT,
  underlying TEXT,
  terms TEXT NOT NULL,
  spot REAL,
  spot_source TEXT,
  npv REAL, delta REAL, gamma REAL, vega REAL, theta REAL, rho REAL,
  standard_error REAL, ko_probability REAL, ki_probability REAL, expected_life REAL,
  projected_years TEXT,
  error_kind TEXT,
  error_message TEXT,
  carry_rho REAL,
  PRIMARY KEY (run_id, position)
);
)sql";

// An open database, closed on scope exit.
class Db {
  public:
    Db(const std::string& path, bool create, std::chrono::milliseconds busy) : path_(path) {
        if (!create && !std::filesystem::exists(path)) throw ValueError("runs database '" + path + "' does not exist");
        // Readers open it for writing too when they may: a save killed half-way
        // leaves a journal that only a writer can roll back.
        int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0), nullptr);
        if (rc != SQLITE_OK && !create) {
            sqlite3_close(db_);
            db_ = nullptr;
            rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr);
        }
        if (rc != SQLITE_OK) {
            // A failed open still hands back a handle, and a constructor that
            // throws runs no destructor: close it here.
            try {
                fail(rc, "opening it");
            } catch (...) {
                sqlite3_close(db_);
                db_ = nullptr;
                throw;
            }
        }
        sqlite3_busy_timeout(db_, static_cast<int>(busy.count()));
    }
    ~Db() { sqlite3_close(db_); }
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;

    [[noreturn]] void fail(int rc, const std::string& what) const {
        std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        if ((rc & 0xff) == SQLITE_BUSY) message = "the database is busy (another process holds it): " + message;
        throw ValueError("runs database '" + path_ + "': " + what + ": " + message);
    }
    void exec(const char* sql, const std::string& what) {
        char* err = nullptr;
        const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &err);
        if (rc != SQLITE_OK) {
            const std::string message = err ? err : sqlite3_errstr(rc);
            sqlite3_free(err);
            if ((rc & 0xff) == SQLITE_BUSY) fail(rc, what);
            throw ValueError("runs database '" + path_ + "': " + what + ": " + message);
        }
    }
    bool has_runs_table() {
        Stmt s(*this, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'kestrel_runs'");
        return s.step();
    }
    sqlite3* get() const noexcept { return db_; }

    class Stmt {
      public:
        Stmt(Db& db, const char* sql) : db_(db) {
            const int rc = sqlite3_prepare_v2(db.db_, sql, -1, &s_, nullptr);
            if (rc != SQLITE_OK) db.fail(rc, "preparing a statement");
        }
        ~Stmt() { sqlite3_finalize(s_); }
        Stmt(const Stmt&) = delete;
        Stmt& operator=(const Stmt&) = delete;

        void bind(int i, const std::string& v) { check(sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT)); }
        void bind(int i, const std::optional<std::string>& v) { v ? bind(i, *v) : null(i); }
        void bind(int i, double v) { std::isfinite(v) ? check(sqlite3_bind_double(s_, i, v)) : null(i); }
        void bind(int i, std::int64_t v) { check(sqlite3_bind_int64(s_, i, v)); }
        void null(int i) { check(sqlite3_bind_null(s_, i)); }
        // One step: true for a row, false when done.
        bool step() {
            const int rc = sqlite3_step(s_);
            if (rc == SQLITE_ROW) return true;
            if (rc == SQLITE_DONE) return false;
            db_.fail(rc, "running a statement");
        }
        void reset() {
            sqlite3_reset(s_);
            sqlite3_clear_bindings(s_);
        }
        bool is_null(int c) const { return sqlite3_column_type(s_, c) == SQLITE_NULL; }
        std::string text(int c) const {
            const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s_, c));
            return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(s_, c))) : std::string();
        }
        std::optional<std::string> opt_text(int c) const { return is_null(c) ? std::nullopt : std::optional(text(c)); }
        double real(int c) const { return is_null(c) ? std::nan("") : sqlite3_column_double(s_, c); }
        std::int64_t integer(int c) const { return sqlite3_column_int64(s_, c); }

      private:
        void check(int rc) {
            if (rc != SQLITE_OK) db_.fail(rc, "binding a value");
        }
        Db& db_;
        sqlite3_stmt* s_ = nullptr;
    };

  private:
    std::string path_;
    sqlite3* db_ = nullptr;
};

std::string utc_now() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() % 1000000;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    std::ostringstream s;
    s << buf << '.' << std::setw(6) << std::setfill('0') << micros << 'Z';
    return s.str();
}

std::string years_json(const std::vector<int>& years) {
    Json a = Json::array();
    for (int y : years) a.push_back(y);
    return a.dump();
}

const char* const kRunColumns =
    "run_id, created_at, evaluation_date, market_source, book_source, settings, greeks, stats, contracts, failed, "
    "(SELECT COALESCE(SUM(npv), 0) FROM kestrel_run_rows r WHERE r.run_id = kestrel_runs.run_id AND "
    "r.error_kind IS NULL)";

RunInfo read_info(const Db::Stmt& s) {
    RunInfo i;
    i.id = s.integer(0);
    i.created_at = s.text(1);
    i.evaluation_date = utils::parse_date(s.text(2));
    i.market_source = s.text(3);
    i.book_source = s.text(4);
    i.settings = Json::parse(s.text(5));
    i.greeks = s.integer(6) != 0;
    i.stats = s.integer(7) != 0;
    i.contracts = static_cast<std::size_t>(s.integer(8));
    i.failed = static_cast<std::size_t>(s.integer(9));
    i.total_npv = s.real(10);
    return i;
}

// The outputs' number and text forms.
constexpr auto exact = utils::format_exact_or_blank;
using utils::csv_field;

}  // namespace

std::int64_t save_run(const std::string& db_path, const RunInput& run, const SaveOptions& options) {
    if (!run.result || !run.book) throw ValueError("save_run: no result or no book to save");
    const book::BookResult& result = *run.result;
    const Json& contracts = *run.book;
    if (!contracts.is_array() || contracts.size() != result.rows.size())
        throw ValueError("save_run: the book does not match its valued rows");
    Db db(db_path, true, options.busy_timeout);
    // Immediate: the write lock is taken (waiting within the busy timeout) before
    // anything is read, so two savers never deadlock on an upgrade.
    db.exec("BEGIN IMMEDIATE", "starting the transaction");
    try {
        db.exec(kSchema, "creating the tables");
        Db::Stmt head(db,
                      "INSERT INTO kestrel_runs (created_at, evaluation_date, market_text, market_source, book_source, "
                      "settings, greeks, stats, contracts, failed) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        head.bind(1, utc_now());
        head.bind(2, utils::format_date(result.evaluation_date));
        head.bind(3, run.market_text);
        head.bind(4, run.market_source);
        head.bind(5, run.book_source);
        head.bind(6, run.settings.dump());
        head.bind(7, std::int64_t{result.greeks});
        head.bind(8, std::int64_t{result.stats});
        head.bind(9, static_cast<std::int64_t>(result.rows.size()));
        head.bind(10, static_cast<std::int64_t>(result.failed()));
        head.step();
        const std::int64_t id = sqlite3_last_insert_rowid(db.get());

        Db::Stmt row(db,
                     "INSERT INTO kestrel_run_rows (run_id, position, contract_id, type, underlying, terms, spot, "
                     "spot_source, npv, delta, gamma, vega, theta, rho, standard_error, ko_probability, "
                     "ki_probability, expected_life, projected_years, error_kind, error_message, carry_rho) "
                     "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        for (std::size_t k = 0; k < result.rows.size(); ++k) {
            const book::BookRow& r = result.rows[k];
            row.reset();
            row.bind(1, id);
            row.bind(2, static_cast<std::int64_t>(r.position));
            row.bind(3, r.id);
            row.bind(4, r.type);
            row.bind(5, r.underlying);
            row.bind(6, contracts[k].dump());
            if (r.ok()) {
                row.bind(7, r.spot);
                row.bind(8, std::string(r.spot_source == book::SpotSource::Store ? "store" : "market"));
                row.bind(9, r.value.npv);
                if (result.greeks) {
                    row.bind(10, r.value.delta);
                    row.bind(11, r.value.gamma);
                    row.bind(12, r.value.vega);
                    row.bind(13, r.value.theta);
                    row.bind(14, r.value.rho);
                    row.bind(22, r.carry_rho);
                }
                if (r.stats) {
                    row.bind(15, r.stats->standard_error);
                    row.bind(16, r.stats->ko_probability);
                    row.bind(17, r.stats->ki_probability);
                    row.bind(18, r.stats->expected_life);
                }
            } else {
                row.bind(20, r.error->kind);
                row.bind(21, r.error->message);
            }
            row.bind(19, years_json(r.projected_years));
            row.step();
            if (options.after_row) options.after_row(k + 1);
        }
        db.exec("COMMIT", "committing the run");
        return id;
    } catch (...) {
        sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

std::vector<RunInfo> list_runs(const std::string& db_path, const std::optional<QuantLib::Date>& date) {
    Db db(db_path, false, std::chrono::milliseconds(60000));
    std::vector<RunInfo> out;
    if (!db.has_runs_table()) return out;
    const std::string sql = std::string("SELECT ") + kRunColumns + " FROM kestrel_runs" +
                            (date ? " WHERE evaluation_date = ?" : "") + " ORDER BY run_id";
    Db::Stmt s(db, sql.c_str());
    if (date) s.bind(1, utils::format_date(*date));
    while (s.step()) out.push_back(read_info(s));
    return out;
}

StoredRun load_run(const std::string& db_path, std::int64_t id) {
    Db db(db_path, false, std::chrono::milliseconds(60000));
    if (!db.has_runs_table()) throw KeyError("no run " + std::to_string(id) + " in '" + db_path + "' (it holds no runs)");
    StoredRun run;
    {
        const std::string sql = std::string("SELECT ") + kRunColumns + ", market_text FROM kestrel_runs WHERE run_id = ?";
        Db::Stmt s(db, sql.c_str());
        s.bind(1, id);
        if (!s.step()) throw KeyError("no run " + std::to_string(id) + " in '" + db_path + "'");
        run.info = read_info(s);
        run.market_text = s.text(11);
    }
    run.result.evaluation_date = run.info.evaluation_date;
    run.result.greeks = run.info.greeks;
    run.result.stats = run.info.stats;
    Db::Stmt s(db,
               "SELECT position, contract_id, type, underlying, terms, spot, spot_source, npv, delta, gamma, vega, "
               "theta, rho, standard_error, ko_probability, ki_probability, expected_life, projected_years, "
               "error_kind, error_message, carry_rho FROM kestrel_run_rows WHERE run_id = ? ORDER BY position");
    s.bind(1, id);
    while (s.step()) {
        book::BookRow r;
        r.position = static_cast<std::size_t>(s.integer(0));
        r.id = s.opt_text(1);
        r.type = s.opt_text(2);
        r.underlying = s.opt_text(3);
        run.terms.push_back(Json::parse(s.text(4)));
        for (const auto& y : Json::parse(s.is_null(17) ? std::string("[]") : s.text(17))) r.projected_years.push_back(y.get<int>());
        if (!s.is_null(18)) {
            r.error = book::RowError{s.text(18), s.text(19)};
        } else {
            r.spot = s.real(5);
            r.spot_source = s.text(6) == "store" ? book::SpotSource::Store : book::SpotSource::Market;
            r.value.npv = s.real(7);
            if (run.result.greeks)
            {
                r.value = OptionGreeks{r.value.npv, s.real(8), s.real(9), s.real(10), s.real(11), s.real(12)};
                r.carry_rho = s.real(20);
            }
            if (!s.is_null(13)) r.stats = book::RowStats{s.real(13), s.real(14), s.real(15), s.real(16)};
        }
        run.result.rows.push_back(std::move(r));
    }
    run.result.totals = book::book_totals(run.result.rows);
    return run;
}

Json run_info_json(const RunInfo& i) {
    Json j;
    j["id"] = i.id;
    j["created_at"] = i.created_at;
    j["evaluation_date"] = utils::format_date(i.evaluation_date);
    j["contracts"] = i.contracts;
    j["failed"] = i.failed;
    j["total_npv"] = i.total_npv;
    j["greeks"] = i.greeks;
    j["stats"] = i.stats;
    j["market_source"] = i.market_source;
    j["book_source"] = i.book_source;
    j["settings"] = i.settings;
    return j;
}

void write_runs(std::ostream& out, const std::vector<RunInfo>& runs, book::BookFormat format) {
    if (format == book::BookFormat::Json) {
        Json a = Json::array();
        for (const auto& r : runs) a.push_back(run_info_json(r));
        out << a.dump(2) << '\n';
        return;
    }
    if (format == book::BookFormat::Csv) {
        out << "id,created_at,evaluation_date,contracts,failed,total_npv,greeks,stats,book_source,market_source\n";
        for (const auto& r : runs)
            out << r.id << ',' << r.created_at << ',' << utils::format_date(r.evaluation_date) << ',' << r.contracts
                << ',' << r.failed << ',' << exact(r.total_npv) << ',' << (r.greeks ? 1 : 0) << ','
                << (r.stats ? 1 : 0) << ',' << csv_field(r.book_source) << ',' << csv_field(r.market_source) << '\n';
        return;
    }
    if (runs.empty()) {
        out << "no runs\n";
        return;
    }
    out << std::setw(6) << "id" << "  " << std::left << std::setw(29) << "saved (UTC)" << std::setw(12) << "date"
        << std::right << std::setw(10) << "contracts" << std::setw(8) << "failed" << std::setw(18) << "total npv"
        << "  book\n";
    for (const auto& r : runs) {
        std::ostringstream npv;
        npv << std::fixed << std::setprecision(4) << r.total_npv;
        out << std::setw(6) << r.id << "  " << std::left << std::setw(29) << r.created_at << std::setw(12)
            << utils::format_date(r.evaluation_date) << std::right << std::setw(10) << r.contracts << std::setw(8)
            << r.failed << std::setw(18) << npv.str() << "  " << r.book_source << '\n';
    }
}

void write_run(std::ostream& out, const StoredRun& run, book::BookFormat format) {
    if (format == book::BookFormat::Json) {
        Json j;
        j["run"] = run_info_json(run.info);
        try {
            j["market"] = Json::parse(run.market_text);
        } catch (const nlohmann::json::parse_error&) {
            j["market"] = run.market_text;
        }
        Json body = book::book_to_json(run.result);
        for (auto it = body.begin(); it != body.end(); ++it) j[it.key()] = it.value();
        out << j.dump(2) << '\n';
        return;
    }
    if (format == book::BookFormat::Table) {
        out << "run " << run.info.id << " saved " << run.info.created_at << ", evaluation date "
            << utils::format_date(run.info.evaluation_date) << ", book " << run.info.book_source << ", market "
            << run.info.market_source << ", settings " << run.info.settings.dump() << "\n\n";
    }
    book::write_book(out, run.result, format);
}

}  // namespace kestrel::runs
