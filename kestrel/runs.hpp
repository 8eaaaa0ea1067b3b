#pragma once
// Runs kept: a valued book written into an SQLite database, read back whole.
//
// A run is the evaluation date, the market file as given (its text), the
// engine settings, and per contract its terms (as given), value, Greeks,
// statistics and failure: enough to value every contract again under that
// run's own market. Each save is one transaction, so a run is in the database
// whole or not at all (a process killed mid-save leaves it as it was), and
// every save is a new run with its own id and time: a second run of the same
// date sits beside the first. Several processes may save into one database at
// once; each waits its turn (busy timeout) and all land.
//
// The tables (kestrel_runs, kestrel_run_rows) live beside whatever else the
// database holds, a price store included; they are made when first needed.
#include <kestrel/export.hpp>
#include <kestrel/book.hpp>

#include <nlohmann/json.hpp>
#include <ql/time/date.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::runs {

// What a run records besides the valued rows.
struct KESTREL_RUNS_EXPORT RunInput {
    const book::BookResult* result = nullptr;
    const nlohmann::ordered_json* book = nullptr;  // the contracts valued, aligned with result->rows
    std::string market_text;                       // the market file exactly as read
    std::string market_source, book_source;        // where they came from (file names), informative
    nlohmann::ordered_json settings = nlohmann::ordered_json::object();  // engine, paths, seed, draws, ...
};

struct KESTREL_RUNS_EXPORT SaveOptions {
    std::chrono::milliseconds busy_timeout{60000};
    // Called after each row is written inside the open transaction (tests use
    // it to stop a save half-way).
    std::function<void(std::size_t written)> after_row;
};

// Appends the run; returns its id. A database that cannot be opened or
// written, a result without rows that match the book, is an error naming the
// file and what failed; the database is then as it was.
KESTREL_RUNS_EXPORT std::int64_t save_run(const std::string& db_path, const RunInput& run, const SaveOptions& options = {});

// One line of the list.
struct KESTREL_RUNS_EXPORT RunInfo {
    std::int64_t id = 0;
    std::string created_at;   // UTC, "2026-12-08T10:13:34.123456Z"
    QuantLib::Date evaluation_date;
    std::string market_source, book_source;
    std::size_t contracts = 0, failed = 0;
    double total_npv = 0;     // the book's sum over valued rows
    bool greeks = false, stats = false;
    nlohmann::ordered_json settings;
};

// A run read back: its rows as a BookResult (totals recomputed the way
// value_book makes them), with each contract's terms and the market text.
struct KESTREL_RUNS_EXPORT StoredRun {
    RunInfo info;
    std::string market_text;
    book::BookResult result;
    std::vector<nlohmann::ordered_json> terms;  // aligned with result.rows
};

// Runs in id order (oldest first); with a date, only that date's. A database
// without runs gives none; one that does not exist is a ValueError.
KESTREL_RUNS_EXPORT std::vector<RunInfo> list_runs(const std::string& db_path, const std::optional<QuantLib::Date>& date = std::nullopt);
// KeyError naming the id when there is no such run.
KESTREL_RUNS_EXPORT StoredRun load_run(const std::string& db_path, std::int64_t id);

KESTREL_RUNS_EXPORT void write_runs(std::ostream& out, const std::vector<RunInfo>& runs, book::BookFormat format);
KESTREL_RUNS_EXPORT nlohmann::ordered_json run_info_json(const RunInfo& info);
// The run's rows as `kestrel book` writes them, after a header (table), or
// {"run": {...}, "market": {...}, "rows", "totals"} (json).
KESTREL_RUNS_EXPORT void write_run(std::ostream& out, const StoredRun& run, book::BookFormat format);

}  // namespace kestrel::runs
