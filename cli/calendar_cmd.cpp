// kestrel calendar FROM TO [--count | --closures]: the exchange's trading
// days, or its weekday closures with where each comes from.
#include "common.hpp"

#include <heron/sqlite_store.hpp>
#include <kestrel/calendar.hpp>
#include <kestrel/utils.hpp>

#include <iostream>
#include <memory>

namespace kestrel::cli {
namespace {

struct CalendarOptions {
    std::string from, to;
    bool count = false;
    bool closures = false;
    std::string db;
};

void run_calendar(const CalendarOptions& o) {
    const auto from = utils::parse_date(o.from), to = utils::parse_date(o.to);
    // The official closures a store holds, when one is named.
    calendar::ClosureList official;
    if (!o.db.empty())
        official = heron::SqliteStore(o.db, heron::SqliteStore::Options{heron::SqliteStore::Mode::ReadOnly})
                       .official_closures();
    const calendar::ScopedClosures closures(official);
    const auto days = calendar::trading_days(from, to);
    std::string out;
    if (o.closures) {
        // "2027-02-08  Spring Festival  (projected)"; published and official
        // closures carry no mark.
        for (const auto& c : calendar::closures(from, to))
            out += utils::format_date(c.date) + "  " + c.name +
                   (c.source == calendar::Source::Projected ? "  (projected)" : "") + "\n";
    } else if (o.count) {
        out = std::to_string(days.size()) + "\n";
    } else {
        out.reserve(days.size() * 11);
        for (const auto& d : days) out += utils::format_date(d) + "\n";
    }
    write_stdout(out);
    const auto projected = calendar::projected_years(from, to);
    if (!projected.empty())
        std::cerr << "note: exchange closures are known until " << utils::format_date(calendar::covered_until())
                  << "; those of " << projected.front()
                  << (projected.size() > 1 ? "-" + std::to_string(projected.back()) : std::string())
                  << " are projected by the exchange's holiday rules (import the official list with "
                     "`kestrel data holidays import`)"
                  << std::endl;
    if (to > calendar::projected_until())
        std::cerr << "note: after " << utils::format_date(calendar::projected_until())
                  << " only weekends close" << std::endl;
}

}  // namespace

void add_calendar_command(CLI::App& app, Action& action) {
    auto o = std::make_shared<CalendarOptions>();
    auto* cmd = app.add_subcommand("calendar", "Trading days of the Shanghai exchange from FROM to TO, inclusive");
    cmd->add_option("FROM", o->from, "first day (YYYY-MM-DD)")->required()->check(date_text());
    cmd->add_option("TO", o->to, "last day (YYYY-MM-DD)")->required()->check(date_text());
    auto* count = cmd->add_flag("--count", o->count, "print only how many there are");
    cmd->add_flag("--closures", o->closures, "print the weekday closures instead, projected ones marked")
        ->excludes(count);
    cmd->add_option("--db", o->db, "SQLite price store whose official closures to use")->check(CLI::ExistingFile);
    cmd->callback([&action, o] { action = [o] { run_calendar(*o); }; });
}

}  // namespace kestrel::cli
