// kestrel cashflows BOOK --from D1 --to D2: each contract's cash flows
// between two dates, from the price history.
#include "common.hpp"

#include <kestrel/book.hpp>
#include <kestrel/cashflows.hpp>
#include <kestrel/utils.hpp>

#include <nlohmann/json.hpp>

#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

namespace kestrel::cli {
namespace {

struct CashflowsOptions {
    std::string book_file, market_file, from, to, format = "table";
    StoreOptions store;
};

void run_cashflows(const CashflowsOptions& o) {
    std::ifstream in(o.book_file, std::ios::binary);
    if (!in) throw ValueError("cannot read book file '" + o.book_file + "'");
    std::ostringstream text;
    text << in.rdbuf();
    nlohmann::ordered_json book;
    try {
        book = nlohmann::ordered_json::parse(text.str());
    } catch (const nlohmann::json::parse_error& e) {
        throw ValueError(o.book_file + ": not valid JSON: " + e.what());
    }
    install_store(o.store);
    const auto flows = book_cashflows(book, utils::parse_date(o.from), utils::parse_date(o.to));
    std::ostringstream out;
    switch (book::parse_book_format(o.format)) {
        case book::BookFormat::Json: out << cashflows_to_json(flows).dump(2) << '\n'; break;
        case book::BookFormat::Csv: write_cashflows_csv(out, flows); break;
        case book::BookFormat::Table: write_cashflows_table(out, flows); break;
    }
    write_stdout(out.str());
    if (const std::size_t failed = flows.failed())
        throw std::runtime_error(std::to_string(failed) + " of " + std::to_string(flows.contracts.size()) +
                                 (flows.contracts.size() == 1 ? " contract" : " contracts") +
                                 " failed; their lines give the error");
}

}  // namespace

void add_cashflows_command(CLI::App& app, Action& action) {
    auto o = std::make_shared<CashflowsOptions>();
    auto* cmd = app.add_subcommand(
        "cashflows",
        "Each contract's cash flows after --from up to and including --to, read off the price history by the "
        "rules of the history checks: notes' coupons and knock-outs, rebates on a barrier touch, payoffs at "
        "expiry. Amounts per unit of the underlying, undiscounted. Exits 1 when any contract failed.");
    cmd->add_option("BOOK", o->book_file, "JSON array of contracts, as `kestrel book` reads it")
        ->required()
        ->check(CLI::ExistingFile);
    cmd->add_option("--market", o->market_file,
                    "the book's market file; accepted for symmetry with `kestrel book` (cash flows depend on the "
                    "price history only)")
        ->check(CLI::ExistingFile);
    cmd->add_option("--from", o->from, "start date YYYY-MM-DD (flows after it)")->required()->check(date_text());
    cmd->add_option("--to", o->to, "end date YYYY-MM-DD (flows up to and including it)")->required()->check(date_text());
    cmd->add_option("--format", o->format, "table (default), csv or json")
        ->check(CLI::IsMember({"table", "csv", "json"}));
    add_store_options(*cmd, o->store);
    cmd->callback([&action, o] { action = [o] { run_cashflows(*o); }; });
}

}  // namespace kestrel::cli
