// kestrel runs list|show --db DB: the runs `kestrel book --save DB` kept.
#include "common.hpp"

#include <kestrel/book.hpp>
#include <kestrel/runs.hpp>
#include <kestrel/utils.hpp>

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

namespace kestrel::cli {
namespace {

struct RunsOptions {
    std::string db, date, format = "table";
    std::int64_t id = 0;
};

}  // namespace

void add_runs_command(CLI::App& app, Action& action) {
    auto o = std::make_shared<RunsOptions>();
    auto* cmd = app.add_subcommand("runs", "The runs kept by `kestrel book --save DB`: list them, or show one.");
    cmd->require_subcommand(1);

    auto* list = cmd->add_subcommand("list", "One line per run, oldest first: id, time saved, evaluation date, "
                                             "contracts, failed, the book's total value.");
    list->add_option("--db", o->db, "the SQLite database the runs were saved in")->required()->check(CLI::ExistingFile);
    list->add_option("--date", o->date, "only the runs of this evaluation date YYYY-MM-DD")->check(date_text());
    list->add_option("--format", o->format, "table (default), csv or json")
        ->check(CLI::IsMember({"table", "csv", "json"}));
    list->callback([&action, o] {
        action = [o] {
            std::optional<QuantLib::Date> date;
            if (!o->date.empty()) date = utils::parse_date(o->date);
            std::ostringstream out;
            runs::write_runs(out, runs::list_runs(o->db, date), book::parse_book_format(o->format));
            write_stdout(out.str());
        };
    });

    auto* show = cmd->add_subcommand("show", "One run: its date, sources and settings, then its rows and totals as "
                                             "`kestrel book` wrote them (json adds the market as given).");
    show->add_option("ID", o->id, "the run's id (see `kestrel runs list`)")->required()->check(CLI::PositiveNumber);
    show->add_option("--db", o->db, "the SQLite database the runs were saved in")->required()->check(CLI::ExistingFile);
    show->add_option("--format", o->format, "table (default), csv or json")
        ->check(CLI::IsMember({"table", "csv", "json"}));
    show->callback([&action, o] {
        action = [o] {
            std::ostringstream out;
            runs::write_run(out, runs::load_run(o->db, o->id), book::parse_book_format(o->format));
            write_stdout(out.str());
        };
    });
}

}  // namespace kestrel::cli
