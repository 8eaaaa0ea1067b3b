#pragma once
// Pieces the verbs of the `kestrel` command line share.
//
// Each verb lives in its own file and provides one add_<verb>_command
// function, which registers its subcommand and, from the subcommand's
// callback, sets the Action that main runs once parsing is done. Command-line
// mistakes therefore end as usage errors (exit 2) before any work starts;
// failures of the work itself end as one "error: <kind>: <message>" line on
// stderr (exit 1).
#include <heron/heron.hpp>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::cli {

using Action = std::function<void()>;

// The verbs (one file each).
void add_data_command(CLI::App& app, Action& action);      // data_cmd.cpp
void add_calendar_command(CLI::App& app, Action& action);  // calendar_cmd.cpp
void add_price_command(CLI::App& app, Action& action);     // price_cmd.cpp
void add_bench_command(CLI::App& app, Action& action);     // bench_cmd.cpp
void add_book_command(CLI::App& app, Action& action);      // book_cmd.cpp
void add_runs_command(CLI::App& app, Action& action);      // runs_cmd.cpp
void add_cashflows_command(CLI::App& app, Action& action); // cashflows_cmd.cpp
void add_vol_command(CLI::App& app, Action& action);       // vol_cmd.cpp
void add_explain_command(CLI::App& app, Action& action);   // explain_cmd.cpp
void add_backtest_command(CLI::App& app, Action& action);  // backtest_cmd.cpp

// --- errors ---------------------------------------------------------------

// "error: <kind>: <message>" for kestrel errors (kind() as users see it),
// "error: QuantLib: <message>" for QuantLib's, "error: <message>" for the
// rest; always one line.
std::string error_line(std::exception_ptr error);
// Prints error_line on stderr and returns the exit code 1.
int report_error(std::exception_ptr error);
// A command-line mistake: help and version go to stdout with exit 0; anything
// else is one "error: <message>" line on stderr and exit 2.
int report_usage_error(const CLI::App& app, const CLI::ParseError& error);

inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// An input file found wrong before any work starts (a market file): main
// reports the error it wraps as report_error does, with the exit code 2.
struct InputError {
    std::exception_ptr error;
};
// Runs fn; any exception it throws leaves as an InputError.
template <class Fn>
auto input_checked(Fn&& fn) -> decltype(fn()) {
    try {
        return fn();
    } catch (...) {
        throw InputError{std::current_exception()};
    }
}

// --- output ---------------------------------------------------------------

// Writes text to stdout in one piece and flushes; throws when stdout fails,
// so a verb never reports success for output that was lost.
void write_stdout(const std::string& text);

// A whole input file's text; ValueError "cannot read WHAT file 'PATH'".
std::string read_text(const std::string& path, const char* what);
// JSON text read from path; ValueError naming the path when it is not JSON.
nlohmann::ordered_json parse_json(const std::string& path, const std::string& text);

// --- arguments ------------------------------------------------------------

// Accepts YYYY-MM-DD text naming a real day (a usage error otherwise).
CLI::Validator date_text();

// A whole number from `min` to `max`, in digits or with a decimal exponent
// ("100000", "1e5", "2.5e4" all read as what they say; the text is rewritten
// to plain digits). Anything else, a sign included, is the usage error
// "<option> must be a whole number of at least <min>" ("... from <min> to
// <max>" when `max` is below 2^64 - 1 or `min` is 0), quoting what was
// given. A transform: add it with ->transform(), not ->check().
CLI::Validator whole_number(std::uint64_t min, std::uint64_t max = UINT64_MAX);
// A finite decimal number ("3936.08", "-0.5", "2e-2"); otherwise "<option>
// must be a number" (or "a finite number" for nan and inf).
CLI::Validator finite_number();
// finite_number, and not below zero ("<option> must not be negative").
CLI::Validator non_negative_number();

// Where market data comes from: --db FILE (an SQLite price store, read
// only), --prices DIR (a directory of price files loaded into memory), or,
// with neither, the bundled store.
struct StoreOptions {
    std::string db;
    std::string prices;
};
void add_store_options(CLI::App& command, StoreOptions& options);

// Opens the store the options name and installs it as heron's client.
std::shared_ptr<heron::Client> install_store(const StoreOptions& options);

// The bundled market data, read only: the database bundled_db_path() names
// or, in a build tree without one, the price files it is built from. `where`
// says which (the path). A ServiceError when there is neither.
struct BundledStore {
    std::shared_ptr<heron::Client> store;
    std::string where;
};
BundledStore open_bundled_store();

// The bundled price database: share/kestrel/prices.db beside the directory
// of the executable (the same layout in the build tree and once installed).
std::string bundled_db_path();

// The most worker threads a command takes.
inline constexpr std::uint64_t kMaxThreads = 1024;
// --engine mc|pde: the engine of every snowball or phoenix that names none
// in its terms ("engine"); empty when not given.
void add_engine_option(CLI::App& command, std::string& engine);

// --engine mc|qmc: the engine of every snowball or phoenix that names none
// in its terms ("engine"); empty when not given.
void add_engine_option(CLI::App& command, std::string& engine);

// Monte Carlo settings: --paths N, --seed K, --threads N, --draws double|single.
struct SimulationOptions {
    std::optional<std::size_t> paths;
    std::optional<std::uint64_t> seed;
    std::optional<std::size_t> threads;
    std::string draws;  // empty: the default (double)
    std::string simd;   // empty: KESTREL_SIMD's choice or auto
};
void add_simulation_options(CLI::App& command, SimulationOptions& options);
// Hands the given settings to kestrel::random_sample (absent ones keep the
// library's defaults).
void apply_simulation_options(const SimulationOptions& options);

// Sets the simulation's worker threads (absent: the library's default, all
// cores). Values do not depend on it.
void apply_threads(std::optional<std::size_t> threads);

// --draws double|single on a command; empty when not given.
void add_draws_option(CLI::App& command, std::string& draws);
// Sets the draws' precision when given.
void apply_draws(const std::string& draws);

// --simd auto|avx512|avx2|sse4|baseline (or KESTREL_SIMD when the option is
// not given): the instruction set the Monte Carlo kernels may dispatch to.
// One this machine lacks is a usage error naming it and what the machine has.
void add_simd_option(CLI::App& command, std::string& simd);
// Restricts the kernels' dispatch when given.
void apply_simd(const std::string& simd);
// The instruction sets this machine runs the kernels on, best first ("avx2, sse4, baseline").
std::string machine_simd();

}  // namespace kestrel::cli
