#include "common.hpp"

#include <kestrel/calendar.hpp>

#include <heron/csv.hpp>
#include <heron/memory_store.hpp>
#include <heron/sqlite_store.hpp>
#include <kestrel/errors.hpp>
#include <kestrel/kestrel.hpp>
#include <kestrel/random_sample.hpp>
#include <kestrel/utils.hpp>

#include <ql/errors.hpp>

#include <charconv>
#include <sstream>
#include <fstream>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string_view>

namespace kestrel::cli {
namespace {

namespace fs = std::filesystem;

std::string one_line(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The value of text that names a whole number: digits, an optional fraction
// and an optional decimal exponent ("250", "1e5", "2.5e4", "10e-1"), worked
// out on the digits so that no rounding can turn 1.5 or 0.999e3 into a whole
// number. Nothing for anything else, a sign included, or beyond 2^64 - 1.
std::optional<std::uint64_t> parse_whole_number(std::string_view text) {
    std::string digits;    // every digit written, the point left out
    long long scale = 0;   // the value is digits x 10^scale
    std::size_t i = 0;
    for (; i < text.size() && is_digit(text[i]); ++i) digits += text[i];
    if (i < text.size() && text[i] == '.') {
        for (++i; i < text.size() && is_digit(text[i]); ++i, --scale) digits += text[i];
    }
    if (digits.empty()) return std::nullopt;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        const bool negative = i < text.size() && text[i] == '-';
        if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
        const std::size_t first = i;
        long long exponent = 0;
        for (; i < text.size() && is_digit(text[i]); ++i) {
            exponent = exponent * 10 + (text[i] - '0');
            if (exponent > 1000) return std::nullopt;
        }
        if (i == first) return std::nullopt;
        scale += negative ? -exponent : exponent;
    }
    if (i != text.size()) return std::nullopt;
    digits.erase(0, digits.find_first_not_of('0'));
    if (digits.empty()) return 0;
    if (scale < 0) {
        const auto fraction = static_cast<std::size_t>(-scale);
        if (fraction >= digits.size() || digits.find_first_not_of('0', digits.size() - fraction) != std::string::npos)
            return std::nullopt;
        digits.resize(digits.size() - fraction);
    } else {
        if (digits.size() + static_cast<std::size_t>(scale) > 20) return std::nullopt;
        digits.append(static_cast<std::size_t>(scale), '0');
    }
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return value;
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
    std::string text = one_line(error.what());
    // A failed check reads "<option>: must ...": make it one sentence.
    if (const auto at = text.find(": must "); !text.empty() && text[0] == '-' && at < text.find(' '))
        text.erase(at, 1);
    std::cerr << "error: " << text << " (see kestrel --help)" << std::endl;
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

CLI::Validator whole_number(std::uint64_t min, std::uint64_t max) {
    const std::string range = max == UINT64_MAX && min > 0 ? "of at least " + std::to_string(min)
                                                : "from " + std::to_string(min) + " to " + std::to_string(max);
    return CLI::Validator(
        [min, max, range](std::string& text) -> std::string {
            const auto value = parse_whole_number(text);
            if (!value || *value < min || *value > max)
                return "must be a whole number " + range + ", not '" + text + "'";
            text = std::to_string(*value);
            return {};
        },
        "", "WHOLE_NUMBER");
}

CLI::Validator finite_number() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            std::string_view digits = text;
            if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
            double x = 0;
            const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), x);
            if (digits.empty() || end != digits.data() + digits.size() ||
                (ec != std::errc() && ec != std::errc::result_out_of_range))
                return "must be a number, not '" + text + "'";
            if (ec == std::errc::result_out_of_range || !std::isfinite(x))
                return "must be a finite number, not '" + text + "'";
            return {};
        },
        "", "FINITE_NUMBER");
}

CLI::Validator non_negative_number() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            std::string checked = text;
            if (std::string finite = finite_number()(checked); !finite.empty()) return finite;
            std::string_view digits = text;
            if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
            double x = 0;
            std::from_chars(digits.data(), digits.data() + digits.size(), x);
            if (x < 0) return "must not be negative, not '" + text + "'";
            return {};
        },
        "", "NON_NEGATIVE_NUMBER");
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
        store = open_bundled_store().store;
    }
    heron::install(store);
    return store;
}

BundledStore open_bundled_store() {
    std::error_code ec;
    const std::string bundled = bundled_db_path();
    if (!bundled.empty() && fs::is_regular_file(bundled, ec)) {
        return {std::make_shared<heron::SqliteStore>(bundled,
                                                     heron::SqliteStore::Options{heron::SqliteStore::Mode::ReadOnly}),
                bundled};
    }
    if (fs::is_directory(KESTREL_SOURCE_PRICES, ec)) {
        // A build tree whose database was not made: the price files themselves.
        auto memory = std::make_shared<heron::MemoryStore>();
        heron::load_directory(*memory, KESTREL_SOURCE_PRICES);
        return {memory, KESTREL_SOURCE_PRICES};
    }
    throw heron::ServiceError("no bundled price store (looked for '" + bundled +
                              "'); give one with --db FILE or --prices DIR");
}

void add_engine_option(CLI::App& command, std::string& engine) {
    command.add_option("--engine", engine, "engine of the notes (snowball, phoenix) whose terms name none: mc (default), qmc or pde")
        ->check(CLI::IsMember(kestrel::note_engines()));
}

void add_simulation_options(CLI::App& command, SimulationOptions& options) {
    command.add_option("--paths", options.paths, "Monte Carlo paths (default 100000; 1e5 reads as 100000)")
        ->transform(whole_number(1));
    command.add_option("--seed", options.seed, "Monte Carlo seed, 0 to 2^64 - 1 (default 20240101)")
        ->transform(whole_number(0));
    command.add_option("--threads", options.threads, "Monte Carlo worker threads (default: all cores)")
        ->transform(whole_number(1, kMaxThreads));
    add_draws_option(command, options.draws);
    add_simd_option(command, options.simd);
}

void add_draws_option(CLI::App& command, std::string& draws) {
    command.add_option("--draws", draws,
                       "precision of the Monte Carlo draws: double (default) or single (Box-Muller in 32-bit floats, "
                       "about twice as fast; values move within their standard error)")
        ->check(CLI::IsMember({"double", "single"}));
}

void apply_draws(const std::string& draws) {
    if (!draws.empty())
        kestrel::random_sample::set_draws(draws == "single" ? kestrel::random_sample::Draws::single_precision
                                                            : kestrel::random_sample::Draws::double_precision);
}

void apply_simulation_options(const SimulationOptions& options) {
    if (options.paths) kestrel::random_sample::set_paths(*options.paths);
    if (options.seed) kestrel::random_sample::set_seed(*options.seed);
    apply_threads(options.threads);
    apply_draws(options.draws);
    apply_simd(options.simd);
}

void apply_threads(std::optional<std::size_t> threads) {
    if (threads) kestrel::random_sample::set_threads(*threads);
}

// --- instruction set of the Monte Carlo kernels -----------------------------

std::string machine_simd() {
    std::string out;
    for (kestrel::random_sample::Simd s : kestrel::random_sample::supported_simd())
        out += (out.empty() ? "" : ", ") + std::string(kestrel::random_sample::simd_name(s));
    return out;
}

void add_simd_option(CLI::App& command, std::string& simd) {
    namespace rs = kestrel::random_sample;
    const CLI::Validator available(
        [](std::string& text) -> std::string {
            // The value may come from the environment rather than the option.
            const char* env = std::getenv("KESTREL_SIMD");
            const std::string from = env && text == env ? "KESTREL_SIMD: " : "";
            try {
                const rs::Simd s = rs::parse_simd(text);
                for (rs::Simd have : rs::supported_simd())
                    if (have == s) return {};
                if (s == rs::Simd::automatic) return {};
                return from + "this machine has no " + rs::simd_name(s) + " (it has " + machine_simd() + ")";
            } catch (const std::exception& e) {
                return from + e.what();
            }
        },
        "auto|avx512|avx2|sse4|baseline", "simd");
    command
        .add_option("--simd", simd,
                    "instruction set of the Monte Carlo kernels: auto (default: the best this machine has), avx512, "
                    "avx2, sse4 or baseline; values are the same on every one")
        ->envname("KESTREL_SIMD")
        ->check(available);
}

void apply_simd(const std::string& simd) {
    if (!simd.empty()) kestrel::random_sample::set_simd(kestrel::random_sample::parse_simd(simd));
}

std::string read_text(const std::string& path, const char* what) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ValueError(std::string("cannot read ") + what + " file '" + path + "'");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

nlohmann::ordered_json parse_json(const std::string& path, const std::string& text) {
    try {
        return nlohmann::ordered_json::parse(text);
    } catch (const nlohmann::json::parse_error& e) {
        throw ValueError(path + ": not valid JSON: " + e.what());
    }
}

}  // namespace kestrel::cli
