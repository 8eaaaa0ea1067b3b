// kestrel price TERMS.json --spot S --r R --vol V --q Q ...: one contract's
// value, or its value and Greeks, as one JSON object.
#include "common.hpp"
#include <kestrel/book.hpp>
#include <kestrel/notes/extras.hpp>

#include <kestrel/kestrel.hpp>

#include <nlohmann/json.hpp>

#include <cmath>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

namespace kestrel::cli {
namespace {

struct PriceOptions {
    std::string terms_file;
    double spot = 0, r = 0, vol = 0, q = 0;
    std::string date;
    bool greeks = false;
    std::string engine;
    bool fair_coupon = false, stats = false;
    double target = 0.0;
    StoreOptions store;
    SimulationOptions simulation;
};

Terms read_terms(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ValueError("cannot read terms file '" + path + "'");
    std::ostringstream text;
    text << in.rdbuf();
    nlohmann::ordered_json json;
    try {
        json = nlohmann::ordered_json::parse(text.str());
    } catch (const nlohmann::json::parse_error& e) {
        throw ValueError(path + ": not valid JSON: " + e.what());
    }
    if (!json.is_object()) throw TypeError(path + ": expected one JSON object of terms, found " + json.type_name());
    return Terms::from_json(json);
}

// A valuation whose schedule or grid runs into projected closures says so.
void warn_projected_calendar(const BaseOption& option, const QuantLib::Date& date) {
    const auto years = book::projected_years_of(option.effect_date(), option.maturity_date(), date);
    if (years.empty()) return;
    std::cerr << "warning: the schedule runs through " << book::years_text(years)
              << ", whose exchange closures are projected by the holiday rules, not published "
                 "(import the official list with `kestrel data holidays import`)"
              << std::endl;
}

void run_price(const PriceOptions& o) {
    const Terms terms = with_note_engine(read_terms(o.terms_file), o.engine);
    apply_simulation_options(o.simulation);
    install_store(o.store);
    const auto option = make_option(terms);
    const EvalDate date = o.date.empty() ? EvalDate{} : EvalDate{utils::DateInput(o.date)};
    warn_projected_calendar(*option, o.date.empty() ? utils::today() : utils::parse_date(o.date));

    nlohmann::ordered_json out;
    if (o.fair_coupon) {
        const auto f = detail::note_fair_coupon(*option, terms.at("type").to_string(), o.spot, o.r, o.vol, o.q, date, o.target);
        out["fair_coupon_rate"] = f.fair_coupon_rate;
        out["standard_error"] = f.standard_error;
    } else if (o.stats) {
        const auto s = detail::note_statistics(*option, o.spot, o.r, o.vol, o.q, date);
        if (!s)
            throw TypeError("statistics are simulated for the snowball and phoenix notes only, not " +
                            terms.at("type").to_string());
        out = detail::statistics_json(*s);
    } else if (o.greeks) {
        const OptionGreeks g = option->greeks(o.spot, o.r, o.vol, o.q, date);
        for (std::size_t i = 0; i < OptionGreeks::size(); ++i) out[OptionGreeks::field_names[i]] = g[i];
    } else {
        out["npv"] = option->npv(o.spot, o.r, o.vol, o.q, date);
    }
    // JSON has no NaN or infinity; a valuation that produced one is a failure,
    // never a number.
    for (const auto& [name, value] : out.items())
        if (value.is_number() && !std::isfinite(value.get<double>()))
            throw std::runtime_error("the valuation gave a non-finite " + name + " (" +
                                     std::to_string(value.get<double>()) + ")");
    write_stdout(out.dump() + "\n");
}

}  // namespace

void add_price_command(CLI::App& app, Action& action) {
    auto o = std::make_shared<PriceOptions>();
    auto* cmd = app.add_subcommand("price", "Value one contract: prints {\"npv\": ...}, or with --greeks the six "
                                            "fields npv, delta, gamma, vega, theta, rho");
    cmd->add_option("TERMS", o->terms_file, "JSON object: the contract's terms and its \"type\"")
        ->required()
        ->check(CLI::ExistingFile);
    cmd->add_option("--spot", o->spot, "price of the underlying")->required()->check(finite_number());
    cmd->add_option("--r", o->r, "risk-free rate, continuously compounded")->required()->check(finite_number());
    cmd->add_option("--vol", o->vol, "Black volatility")->required()->check(finite_number());
    cmd->add_option("--q", o->q, "continuous dividend yield")->required()->check(finite_number());
    cmd->add_option("--date", o->date, "evaluation date YYYY-MM-DD (default: today)")->check(date_text());
    add_engine_option(*cmd, o->engine);
    auto* greeks = cmd->add_flag("--greeks", o->greeks, "also the finite-difference Greeks");
    auto* fair = cmd->add_flag("--fair-coupon", o->fair_coupon,
                               "snowball, phoenix: prints {\"fair_coupon_rate\": ..., \"standard_error\": ...}, the "
                               "coupon rate at which npv is --target");
    cmd->add_option("--target", o->target, "the npv --fair-coupon solves for (default 0)")->needs(fair);
    auto* stats = cmd->add_flag("--stats", o->stats,
                                "snowball, phoenix: npv, its standard error, knock-out probabilities (in all and by "
                                "date), knock-in and loss probabilities, expected life in years");
    fair->excludes(greeks)->excludes(stats);
    stats->excludes(greeks);
    add_store_options(*cmd, o->store);
    add_simulation_options(*cmd, o->simulation);
    cmd->callback([&action, o] { action = [o] { run_price(*o); }; });
}

}  // namespace kestrel::cli
