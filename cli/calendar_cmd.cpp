// kestrel calendar FROM TO [--count]: the exchange's trading days.
#include "common.hpp"

#include <kestrel/calendar.hpp>
#include <kestrel/utils.hpp>

#include <iostream>
#include <memory>

namespace kestrel::cli {
namespace {

struct CalendarOptions {
    std::string from, to;
    bool count = false;
};

void run_calendar(const CalendarOptions& o) {
    const auto from = utils::parse_date(o.from), to = utils::parse_date(o.to);
    const auto days = calendar::trading_days(from, to);
    std::string out;
    if (o.count) {
        out = std::to_string(days.size()) + "\n";
    } else {
        out.reserve(days.size() * 11);
        for (const auto& d : days) out += utils::format_date(d) + "\n";
    }
    write_stdout(out);
    if (to > calendar::covered_until())
        std::cerr << "note: exchange closures are known until " << utils::format_date(calendar::covered_until())
                  << "; later days close on weekends only" << std::endl;
}

}  // namespace

void add_calendar_command(CLI::App& app, Action& action) {
    auto o = std::make_shared<CalendarOptions>();
    auto* cmd = app.add_subcommand("calendar", "Trading days of the Shanghai exchange from FROM to TO, inclusive");
    cmd->add_option("FROM", o->from, "first day (YYYY-MM-DD)")->required()->check(date_text());
    cmd->add_option("TO", o->to, "last day (YYYY-MM-DD)")->required()->check(date_text());
    cmd->add_flag("--count", o->count, "print only how many there are");
    cmd->callback([&action, o] { action = [o] { run_calendar(*o); }; });
}

}  // namespace kestrel::cli
