// kestrel book BOOK.json --market MARKET.json ...: every contract of a book
// valued (and with --greeks its Greeks), one row each, with totals per
// underlying and for the book.
#include "common.hpp"

#include <kestrel/book.hpp>
#include <kestrel/book_ladder.hpp>
#ifdef KESTREL_HAVE_BOOK_REPORT
#include <kestrel/book_report.hpp>
#endif
#include <kestrel/random_sample.hpp>
#include <kestrel/runs.hpp>

#include <kestrel/utils.hpp>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <unistd.h>

namespace kestrel::cli {
namespace {

using namespace kestrel::book;

struct BookCommandOptions {
    std::string book_file, market_file, date, format = "table", out;
    bool greeks = false, stats = false, bucketed = false;
    bool ladder = false;
    std::string spot_shifts, vol_shifts;
    std::string engine;
    std::string save;
    std::vector<std::string> reports;
    StoreOptions store;
    SimulationOptions simulation;
};

// A progress bar on stderr, redrawn a few times a second so the clock moves
// during a long valuation. Silent unless stderr is a terminal.
class ProgressBar {
  public:
    explicit ProgressBar(std::size_t total) : total_(total), enabled_(::isatty(STDERR_FILENO) == 1) {
        if (enabled_) ticker_ = std::thread([this] { run(); });
    }
    ~ProgressBar() { finish(); }

    void update(std::size_t done) {
        done_.store(done);
        if (enabled_) draw();
    }

    void finish() {
        if (!enabled_) return;
        {
            std::lock_guard lock(mutex_);
            if (stopped_) return;
            stopped_ = true;
        }
        wake_.notify_all();
        ticker_.join();
        draw();
        std::cerr << '\n' << std::flush;
    }

  private:
    void run() {
        std::unique_lock lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::milliseconds(250), [this] { return stopped_; })) {
            lock.unlock();
            draw();
            lock.lock();
        }
    }

    void draw() {
        std::lock_guard lock(draw_mutex_);
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        std::cerr << '\r' << progress_line(done_.load(), total_, elapsed) << "\033[K" << std::flush;
    }

    const std::size_t total_;
    const bool enabled_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::atomic<std::size_t> done_{0};
    std::mutex mutex_, draw_mutex_;
    std::condition_variable wake_;
    bool stopped_ = false;
    std::thread ticker_;
};

// Writes the whole text to path, or leaves path as it was.
void write_file(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) throw ValueError("cannot write '" + tmp + "'");
        out << text;
        out.flush();
        if (!out) {
            std::remove(tmp.c_str());
            throw ValueError("cannot write '" + tmp + "'");
        }
    }
    std::error_code ec;
    std::filesystem::rename(tmp, path, ec);
    if (ec) {
        std::remove(tmp.c_str());
        throw ValueError("cannot write '" + path + "': " + ec.message());
    }
}

void run_book(const BookCommandOptions& o) {
    const auto book = parse_json(o.book_file, read_text(o.book_file, "book"));
    if (!book.is_array()) {
        throw TypeError(o.book_file + ": a book is a JSON array of contracts, not " + std::string(book.type_name()));
    }
    BookOptions options;
    options.evaluation_date = o.date.empty() ? utils::today() : utils::parse_date(o.date);
    // A market file wrong anywhere is refused before anything is valued.
    const std::string market_text = read_text(o.market_file, "market");
    const BookMarket market = input_checked([&] {
        BookMarket m = BookMarket::from_json(parse_json(o.market_file, market_text), o.market_file);
        m.check(options.evaluation_date);
        return m;
    });
    const BookFormat format = parse_book_format(o.format);
    apply_simulation_options(o.simulation);
    install_store(o.store);

    options.greeks = o.greeks;
    options.engine = o.engine;
    // A report shows the notes' statistics, the ladders and (on calibrated
    // surfaces) the bucketed vegas whatever else was asked.
    options.bucketed = o.bucketed || !o.reports.empty();
    options.stats = o.stats || !o.reports.empty();
    ProgressBar bar(book.size());
    options.progress = [&bar](std::size_t done, std::size_t) { bar.update(done); };
    const BookResult result = value_book(book, market, options);
    bar.finish();

    std::ostringstream text;
    std::optional<BookLadders> ladders;
    if (o.ladder || !o.reports.empty()) {
        LadderOptions lo;
        if (!o.spot_shifts.empty()) lo.spot_shifts = parse_shift_list(o.spot_shifts, "--spot-shifts");
        if (!o.vol_shifts.empty()) lo.vol_shifts = parse_shift_list(o.vol_shifts, "--vol-shifts");
        ladders = ladder_book(book, result, market, options, lo);
    }
#ifdef KESTREL_HAVE_BOOK_REPORT
    for (const std::string& report : o.reports) write_report(report, result, *ladders, market);
#endif
    // The output itself keeps the form the flags ask for.
    BookResult shown_copy;
    const BookResult* shown = &result;
    if ((result.stats && !o.stats) || (result.bucketed && !o.bucketed)) {
        shown_copy = result;
        shown_copy.stats = o.stats;
        if (!o.bucketed) {
            shown_copy.bucketed = false;
            for (auto& row : shown_copy.rows) row.bucketed_vega.clear();
            for (auto& total : shown_copy.totals) total.bucketed_vega.clear();
        }
        shown = &shown_copy;
    }
    if (o.ladder) {
        if (format == BookFormat::Json) {
            auto j = book_to_json(*shown);
            j["ladders"] = ladders_to_json(*ladders);
            text << j.dump(2) << '\n';
        } else if (format == BookFormat::Csv) {
            write_book(text, *shown, format);
            text << '\n';
            write_ladders_csv(text, *ladders);
        } else {
            write_book(text, *shown, format);
            write_ladders_table(text, *ladders);
        }
    } else {
        write_book(text, *shown, format);
    }
    if (o.out.empty()) {
        write_stdout(text.str());
    } else {
        write_file(o.out, text.str());
    }
    if (!o.save.empty()) {
        // The run as valued, after the output is out: a failed save is an error.
        runs::RunInput run{&result, &book, market_text, o.market_file, o.book_file, {}};
        run.settings["engine"] = o.engine;
        run.settings["paths"] = random_sample::paths();
        run.settings["seed"] = random_sample::seed();
        run.settings["draws"] = random_sample::draws() == random_sample::Draws::single_precision ? "single" : "double";
        const auto id = runs::save_run(o.save, run);
        std::cerr << "saved run " << id << " in " << o.save << '\n';
    }
    if (const std::size_t failed = result.failed()) {
        const std::string hint = missing_spot_hint(result);
        throw std::runtime_error(std::to_string(failed) + " of " + std::to_string(result.rows.size()) +
                                 (result.rows.size() == 1 ? " contract" : " contracts") +
                                 " failed; their rows give the error" + (hint.empty() ? "" : "; " + hint));
    }
}

}  // namespace

void add_book_command(CLI::App& app, Action& action) {
    auto o = std::make_shared<BookCommandOptions>();
    auto* cmd = app.add_subcommand(
        "book", "Value a book of contracts: one row per contract (value, or the error that stopped it), then totals "
                "per underlying and for the book. Exits 1 when any contract failed, after writing every row.");
    cmd->add_option("BOOK", o->book_file, "JSON array of contracts, each its terms with \"type\" and a unique \"id\"")
        ->required()
        ->check(CLI::ExistingFile);
    cmd->add_option("--market", o->market_file,
                    "JSON object {\"r\": R, \"underlyings\": {ID: {\"vol\": V, \"q\": Q, \"spot\": S}}, "
                    "\"engines\": {TYPE: ENGINE}}; r, q and vol each a number or {\"curve\": [[PILLAR, VALUE], ...]}, "
                    "q also {\"forwards\": [[DATE, PRICE], ...]}; an underlying without \"spot\" takes its \"pre\" "
                    "close on the evaluation date from the store. Wrong anywhere: exit 2")
        ->required()
        ->check(CLI::ExistingFile);
    cmd->add_option("--date", o->date, "evaluation date YYYY-MM-DD (default: today)")->check(date_text());
    cmd->add_flag("--greeks", o->greeks, "also delta, gamma, vega, theta, rho and carry_rho");
    add_engine_option(*cmd, o->engine);
    cmd->add_flag("--stats", o->stats,
                  "also, for the snowball and phoenix notes, the value's Monte Carlo standard error, the probability "
                  "of knocking out and the expected life in years (one more simulation each)");
    cmd->add_flag("--bucketed", o->bucketed,
                  "also, on an underlying whose vol is a calibrated surface, each contract's vega per quoted expiry "
                  "(that expiry's quotes moved by 1 vol point and recalibrated) and their sums per underlying (csv, json)");
    cmd->add_flag("--ladder", o->ladder,
                  "add per underlying a spot ladder (value, delta, gamma) and a spot x vol matrix of the change of value");
    cmd->add_option("--spot-shifts", o->spot_shifts, "ladder spot shifts in % (default -30,-20,-10,-5,0,5,10,20,30)");
    cmd->add_option("--vol-shifts", o->vol_shifts, "matrix vol shifts in vol points (default -5,0,5)");
    cmd->add_option("--format", o->format, "table (default), csv or json")
        ->check(CLI::IsMember({"table", "csv", "json"}));
    cmd->add_option("--out", o->out, "write the output to this file instead of stdout");
#ifdef KESTREL_HAVE_BOOK_REPORT
    cmd->add_option("--report", o->reports,
                    "also write a report: FILE.html (a page with tables and charts, prints on A4) or FILE.xlsx (a "
                    "workbook); repeatable. Computes the ladders and the notes' statistics for it")
        ->check(CLI::Validator(
            [](std::string& path) {
                try {
                    report_format_of(path);
                    return std::string();
                } catch (const std::exception& e) {
                    return std::string(e.what());
                }
            },
            "FILE.html|FILE.xlsx"));
#else
    cmd->add_option("--report", o->reports, "not available: this kestrel was built without libxlsxwriter")
        ->check(CLI::Validator(
            [](std::string&) {
                return std::string("reports are not available: this kestrel was built without libxlsxwriter");
            },
            "FILE.html|FILE.xlsx"));
#endif
    cmd->add_option("--save", o->save,
                    "also keep the run in this SQLite database (created when absent; the price store will do): "
                    "date, market file, settings and every row, as a new run (see `kestrel runs`)");
    add_store_options(*cmd, o->store);
    add_simulation_options(*cmd, o->simulation);
    cmd->callback([&action, o] { action = [o] { run_book(*o); }; });
}

}  // namespace kestrel::cli
