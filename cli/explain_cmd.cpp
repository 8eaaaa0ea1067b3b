// kestrel explain --db DB --from RUN1 --to RUN2: why the book's value moved
// between two kept runs, by revaluation steps and by the first run's Greeks.
#include "common.hpp"

#include <kestrel/book.hpp>
#include <kestrel/explain.hpp>

#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

namespace kestrel::cli {
namespace {

struct ExplainOptions {
    std::string db, from, to, format = "table";
    std::string store_db, prices, report;
};

void run_explain(const ExplainOptions& o) {
    install_store(StoreOptions{o.store_db, o.prices});
    const auto e = explain::explain(o.db, o.from, o.to);
    std::ostringstream out;
    explain::write_explain(out, e, book::parse_book_format(o.format));
    write_stdout(out.str());
    if (!o.report.empty()) {
        std::ofstream page(o.report, std::ios::binary | std::ios::trunc);
        page << explain::explain_html(e);
        page.flush();
        if (!page) throw ValueError("cannot write '" + o.report + "'");
    }
    if (const std::size_t failed = e.failed())
        throw std::runtime_error(std::to_string(failed) + " of " + std::to_string(e.rows.size()) +
                                 (e.rows.size() == 1 ? " contract" : " contracts") +
                                 " could not be explained; their lines give the error");
}

}  // namespace

void add_explain_command(CLI::App& app, Action& action) {
    auto o = std::make_shared<ExplainOptions>();
    auto* cmd = app.add_subcommand(
        "explain",
        "P&L explained between two runs kept by `kestrel book --save DB`: per contract, per underlying and for the "
        "book, v2 - v1 + the cash paid between the dates, split by revaluation steps (time, spot, vol, rates, "
        "trades, in that order; they sum to the total) and by the first run's Greeks with the unexplained rest. "
        "Exits 1 when a contract could not be explained.");
    cmd->add_option("--db", o->db, "the SQLite database the runs were saved in")->required()->check(CLI::ExistingFile);
    cmd->add_option("--from", o->from, "the first run: its id, or a date YYYY-MM-DD (that date's latest run)")
        ->required();
    cmd->add_option("--to", o->to, "the second run: its id, or a date (that date's latest run)")->required();
    cmd->add_option("--format", o->format, "table (default), csv or json")
        ->check(CLI::IsMember({"table", "csv", "json"}));
    cmd->add_option("--report", o->report,
                    "also write an HTML page: a waterfall chart per underlying and for the book, then the tables");
    auto* store = cmd->add_option("--store", o->store_db,
                                  "SQLite price store for the cash flows and the notes' history (default: the "
                                  "bundled store)")
                      ->check(CLI::ExistingFile);
    auto* prices = cmd->add_option("--prices", o->prices,
                                   "directory of price files <instrument>[.pre|.none].csv to load instead")
                       ->check(CLI::ExistingDirectory);
    store->excludes(prices);
    cmd->callback([&action, o] { action = [o] { run_explain(*o); }; });
}

}  // namespace kestrel::cli
