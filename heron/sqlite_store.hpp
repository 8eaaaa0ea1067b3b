#pragma once
// heron::SqliteStore: daily prices in an SQLite database file, kestrel's
// embedded default store.
//
// One table, prices(instrument, adjust, date, open, high, low, close, volume),
// primary key (instrument, adjust, date), dates as YYYY-MM-DD text, WAL
// journal so readers never wait for a writer. The file is tagged as a kestrel
// store (SQLite application_id) with a schema version (user_version).
//
// Imports are all-or-nothing: every row is checked before the database is
// touched, and the rows are written in one transaction, so a bad row or a
// failure part way leaves the database exactly as it was.
//
// A store may also hold official exchange closures for years after the
// published calendar (tables closure_years(year) and closures(date, name)).
// Opening a store changes no calendar: it hands its list over
// (official_closures), and whoever values on the store installs it for the
// valuation (kestrel::calendar::ScopedClosures), so the trading-day
// operations and every product agree with the store there. Its own imports
// check prices against the trading days of its list.
#include <kestrel/export.hpp>
#include <heron/csv.hpp>
#include <heron/heron.hpp>
#include <kestrel/calendar.hpp>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;

namespace heron {

class HERON_EXPORT SqliteStore : public CalendarClient {
  public:
    enum class Mode {
        ReadOnly,   // the file must exist; the store is never written
        ReadWrite,  // the file is created when missing
    };
    struct Options {
        Mode mode = Mode::ReadWrite;
        // How long a write waits for another writer before "store is busy".
        std::chrono::milliseconds busy_timeout{5000};
        // Journal mode a ReadWrite store keeps: WAL (the default), or a plain
        // rollback journal for a file that will be shipped and read from
        // read-only media (one self-contained file).
        bool wal = true;
    };

    // Opens (or creates) the store at path. A file that is not an SQLite
    // database, a database that is not a kestrel store, a store of a newer
    // schema or a missing file in ReadOnly mode is a ServiceError naming the
    // path, and the file is left untouched. A ReadWrite opening first checks
    // every page of an existing file (PRAGMA quick_check, time in proportion
    // to the file's size): a damaged store is a ServiceError "... is
    // damaged: ..." and is never written to.
    explicit SqliteStore(std::string path);
    SqliteStore(std::string path, Options options);
    ~SqliteStore() override;
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

    const std::string& path() const noexcept { return path_; }

    // What an import did, counted in stored rows (a row per date and adjust type).
    struct ImportReport {
        std::string source, instrument;
        std::vector<std::string> adjusts;
        std::size_t rows = 0;       // rows in the input, times the adjust types
        std::size_t inserted = 0;   // dates new to the store
        std::size_t replaced = 0;   // existing dates whose values changed
        std::size_t unchanged = 0;  // existing dates already holding these values
    };

    // Stores bars under each adjust type ("pre" and/or "none") in one
    // transaction, after validate_bars (errors quote `source` and `lines`).
    ImportReport import(const std::string& instrument, const std::vector<std::string>& adjusts,
                        const CsvRows& rows);
    // Reads a price file and imports it; adjust is "pre", "none" or "both".
    ImportReport import_csv(const std::string& csv_path, const std::string& instrument, const std::string& adjust);
    // Imports every price file of a directory (see heron/csv.hpp for the file
    // names), all in one transaction.
    std::vector<ImportReport> import_directory(const std::string& dir);

    std::optional<PriceTable> get_price(const std::string& order_book_id, const Date& start, const Date& end,
                                        const std::vector<std::string>& fields, const std::string& adjust_type,
                                        bool expect_df) override;

    // The stored series, by instrument then adjust type.
    std::vector<SeriesSummary> summary();

    // Checks an official closure list against the store: a closure on a day
    // the store holds prices for is a ValueError "<source>:<line>: ..." naming
    // the day and an instrument. Reads only.
    void check_closures(const kestrel::calendar::ClosureList& list);
    // Stores the list in place of what the store held for its years, in one
    // transaction after check_closures. Changes no calendar. Returns how many
    // closures replaced the ones stored before for those years.
    std::size_t import_closures(const kestrel::calendar::ClosureList& list);
    // The official closures the store holds (no years when none), read anew
    // on each call.
    kestrel::calendar::ClosureList official_closures() override;

  private:
    struct Job {
        std::string instrument;
        std::vector<std::string> adjusts;
        const CsvRows* rows;
    };
    std::vector<ImportReport> write(const std::vector<Job>& jobs);
    void open();
    [[noreturn]] void fail(int rc, const std::string& doing) const;

    std::string path_;
    Options options_;
    sqlite3* db_ = nullptr;
    bool has_schema_ = false;
    std::mutex mutex_;
};

}  // namespace heron
