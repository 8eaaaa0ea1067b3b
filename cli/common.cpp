#include "common.hpp"

#include <heron/csv.hpp>
#include <heron/memory_store.hpp>
#include <heron/sqlite_store.hpp>
#include <kestrel/errors.hpp>
#include <kestrel/kestrel.hpp>
#include <kestrel/random_sample.hpp>
#include <kestrel/utils.hpp>

#include <ql/errors.hpp>

#include <filesystem>
#include <iostream>
#include <stdexcept>

namespace kestrel::cli {
namespace {

namespace fs = std::filesystem;

std::string one_line(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

}  // namespace

std::string error_line(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const kestrel::Error& e) {
        const std::string message = one_line(e.what());
        return std::string("error: ") + e.kind() + (message.empty() ? "" : ": " + message);
    } catch (const QuantLib::Error& e) {
        return "error: QuantLib: " + one_line(e.what());
    } catch (const std::exception& e) {
        return "error: " + one_line(e.what());
    } catch (...) {
        return "error: unknown failure";
    }
}

ErrorText describe_error(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const kestrel::Error& e) {
        return {e.kind(), one_line(e.what())};
    } catch (const QuantLib::Error& e) {
        return {"QuantLib", one_line(e.what())};
    } catch (const std::exception& e) {
        return {"Error", one_line(e.what())};
    } catch (...) {
        return {"Error", "unknown failure"};
    }
}

int report_error(std::exception_ptr error) {
    std::cout.flush();
    std::cerr << error_line(error) << std::endl;
    return kExitFailure;
}

int report_usage_error(const CLI::App& app, const CLI::ParseError& error) {
    if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
        // --help or --version
        CLI::App& mutable_app = const_cast<CLI::App&>(app);
        mutable_app.exit(error, std::cout, std::cerr);
        return 0;
    }
    std::cerr << "error: " << one_line(error.what()) << " (see kestrel --help)" << std::endl;
    return kExitUsage;
}

void write_stdout(const std::string& text) {
    std::cout << text;
    std::cout.flush();
    if (!std::cout) throw std::runtime_error("cannot write to standard output");
}

CLI::Validator date_text() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            try {
                (void)kestrel::utils::parse_date(text);
                return {};
            } catch (const kestrel::ValueError& e) {
                return e.what();
            }
        },
        "YYYY-MM-DD", "DATE");
}

void add_store_options(CLI::App& command, StoreOptions& options) {
    auto* db = command.add_option("--db", options.db, "SQLite price store to read (default: the bundled store)")
                   ->check(CLI::ExistingFile);
    auto* prices = command.add_option("--prices", options.prices,
                                      "directory of price files <instrument>[.pre|.none].csv to load instead")
                       ->check(CLI::ExistingDirectory);
    db->excludes(prices);
}

std::string bundled_db_path() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    return (exe.parent_path().parent_path() / "share" / "kestrel" / "prices.db").string();
}

std::shared_ptr<heron::Client> install_store(const StoreOptions& options) {
    std::shared_ptr<heron::Client> store;
    if (!options.db.empty()) {
        store = std::make_shared<heron::SqliteStore>(options.db,
                                                     heron::SqliteStore::Options{heron::SqliteStore::Mode::ReadOnly});
    } else if (!options.prices.empty()) {
        auto memory = std::make_shared<heron::MemoryStore>();
        heron::load_directory(*memory, options.prices);
        store = memory;
    } else {
        std::error_code ec;
        const std::string bundled = bundled_db_path();
        if (!bundled.empty() && fs::is_regular_file(bundled, ec)) {
            store = std::make_shared<heron::SqliteStore>(
                bundled, heron::SqliteStore::Options{heron::SqliteStore::Mode::ReadOnly});
        } else if (fs::is_directory(KESTREL_SOURCE_PRICES, ec)) {
            // A build tree whose database was not made: the price files themselves.
            auto memory = std::make_shared<heron::MemoryStore>();
            heron::load_directory(*memory, KESTREL_SOURCE_PRICES);
            store = memory;
        } else {
            throw heron::ServiceError("no bundled price store (looked for '" + bundled +
                                      "'); give one with --db FILE or --prices DIR");
        }
    }
    heron::install(store);
    return store;
}

void add_engine_option(CLI::App& command, std::string& engine) {
    command.add_option("--engine", engine, "engine of the notes (snowball, phoenix) whose terms name none: mc (default) or qmc")
        ->check(CLI::IsMember(kestrel::note_engines()));
}

void add_simulation_options(CLI::App& command, SimulationOptions& options) {
    command.add_option("--paths", options.paths, "Monte Carlo paths (default 100000)")->check(CLI::PositiveNumber);
    command.add_option("--seed", options.seed, "Monte Carlo seed (default 20240101)");
    command.add_option("--threads", options.threads, "Monte Carlo worker threads (default: all cores)")
        ->check(CLI::PositiveNumber);
}

void apply_simulation_options(const SimulationOptions& options) {
    if (options.paths) kestrel::random_sample::set_paths(*options.paths);
    if (options.seed) kestrel::random_sample::set_seed(*options.seed);
    apply_threads(options.threads);
}

void apply_threads(std::optional<std::size_t> threads) {
    if (threads) kestrel::random_sample::set_threads(*threads);
}

}  // namespace kestrel::cli
