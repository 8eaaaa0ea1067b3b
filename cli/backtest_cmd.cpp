// kestrel backtest NOTE.json --market MARKET.json --from D1: a contract sold on
// D1 and delta-hedged on the store's closes, day by day.
#include "common.hpp"

#include <kestrel/backtest.hpp>
#include <kestrel/book.hpp>
#include <kestrel/utils.hpp>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace kestrel::cli {
namespace {

struct BacktestOptions {
    std::string contract_file, market_file, from, to, rebalance = "daily", engine, report, format = "table";
    StoreOptions store;
    SimulationOptions simulation;
};

void write_whole(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
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

void run_backtest_command(const BacktestOptions& o) {
    auto contract = parse_json(o.contract_file, read_text(o.contract_file, "contract"));
    // A book of one contract will do.
    if (contract.is_array() && contract.size() == 1) contract = contract[0];
    if (!contract.is_object())
        throw TypeError(o.contract_file + ": expected one contract (a JSON object of terms)");
    backtest::Options options;
    options.from = utils::parse_date(o.from);
    if (!o.to.empty()) options.to = utils::parse_date(o.to);
    options.rebalance_every = backtest::parse_rebalance(o.rebalance);
    options.engine = o.engine;
    const book::BookMarket market = input_checked([&] {
        return book::BookMarket::from_json(parse_json(o.market_file, read_text(o.market_file, "market")),
                                           o.market_file);
    });
    apply_simulation_options(o.simulation);
    install_store(o.store);
    const auto result = backtest::run_backtest(contract, market, options);
    std::ostringstream out;
    backtest::write_backtest(out, result, book::parse_book_format(o.format));
    write_stdout(out.str());
    if (!o.report.empty()) write_whole(o.report, backtest::backtest_html(result));
}

}  // namespace

void add_backtest_command(CLI::App& app, Action& action) {
    auto o = std::make_shared<BacktestOptions>();
    auto* cmd = app.add_subcommand(
        "backtest",
        "A contract sold on --from at its value and delta-hedged in its underlying on each close of the store's "
        "history (financed at r, the shares earning the carry, the contract's cash flows paid) until it ends, "
        "--to or the last close: each day's value, delta, hedge and cumulative P&L, and the P&L split into gamma, "
        "theta (at the assumed vol), jumps on observation days and the rest.");
    cmd->add_option("CONTRACT", o->contract_file, "JSON terms of one contract (a note, or any product)")
        ->required()
        ->check(CLI::ExistingFile);
    cmd->add_option("--market", o->market_file, "the market file, as `kestrel book` reads it (its spot is unused)")
        ->required()
        ->check(CLI::ExistingFile);
    cmd->add_option("--from", o->from, "the day it is sold YYYY-MM-DD (a close in the store)")
        ->required()
        ->check(date_text());
    cmd->add_option("--to", o->to, "the last day YYYY-MM-DD (default: the contract's end or the last close)")
        ->check(date_text());
    cmd->add_option("--rebalance", o->rebalance, "daily (default) or weekly (every fifth close)")
        ->check(CLI::IsMember({"daily", "weekly"}));
    add_engine_option(*cmd, o->engine);
    cmd->add_option("--report", o->report, "also write an HTML page: price path, barriers, delta held, P&L");
    cmd->add_option("--format", o->format, "table (default), csv or json")
        ->check(CLI::IsMember({"table", "csv", "json"}));
    add_store_options(*cmd, o->store);
    add_simulation_options(*cmd, o->simulation);
    cmd->callback([&action, o] { action = [o] { run_backtest_command(*o); }; });
}

}  // namespace kestrel::cli
