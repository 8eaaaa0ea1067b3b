// kestrel price TERMS.json --spot S --r R --vol V --q Q ...: one contract's
// value, or its value and Greeks, as one JSON object.
#include "common.hpp"
#include <kestrel/book.hpp>
#include <kestrel/calendar.hpp>
#include <kestrel/notes/extras.hpp>

#include <kestrel/kestrel.hpp>

#include <nlohmann/json.hpp>

#include <cmath>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>

namespace kestrel::cli {
namespace {

struct PriceOptions {
    std::string terms_file;
    std::optional<double> spot, r, vol, q;
    std::string market_file;
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

// The underlying's adjusted ("pre") close on `day` from the installed store.
double store_spot(const std::string& underlying, const QuantLib::Date& day) {
    const auto table = heron::get_price(underlying, day, day, "close", "pre", true);
    if (table && !table->empty()) {
        const auto frame = table->droplevel("order_book_id");
        if (frame.contains(day)) {
            const double close = frame.at(day, "close");
            if (std::isfinite(close) && close > 0) return close;
        }
    }
    throw ValueError("no spot for " + underlying + ": neither --spot nor the market file gives one and the store has "
                     "no \"pre\" close on " + utils::format_date(day));
}

// The contract's market: --spot, --r, --vol and --q where given, else the
// market file's entry for the contract's underlying (its spot, else the
// store's close; q implied from its forwards where it has them).
Market price_market(const PriceOptions& o, const std::optional<book::BookMarket>& file, const Terms& terms,
                    const QuantLib::Date& day) {
    if (!file) return Market(*o.spot, *o.r, *o.vol, *o.q);
    const std::string underlying = terms.at("underlying").to_string();
    const book::UnderlyingMarket* m = file->find(underlying);
    if (!m)
        throw InputError{std::make_exception_ptr(
            ValueError(file->source + ": the market has no inputs for underlying " + underlying))};
    const double spot = o.spot ? *o.spot : m->spot ? *m->spot : store_spot(underlying, day);
    const RateCurve r = o.r ? RateCurve(*o.r) : file->r;
    if (m->surface && !o.vol) {
        // The file's surface, calibrated on its r and q (with forwards from
        // parity, q is the quotes' carry unless --q gives one).
        Market mk = input_checked([&] { return file->market_of(underlying, spot, day); });
        mk.r = r;
        if (o.q) mk.q = RateCurve(*o.q);
        return mk;
    }
    const VolCurve vol = o.vol ? VolCurve(*o.vol) : m->vol;
    if (o.q) return Market(spot, r, vol, RateCurve(*o.q));
    if (m->forwards.empty()) return Market(spot, r, vol, m->q);
    return Market(spot, r, vol, input_checked([&] { return file->market_of(underlying, spot, day).q; }));
}

void run_price(const PriceOptions& o) {
    const QuantLib::Date day = o.date.empty() ? utils::today() : utils::parse_date(o.date);
    std::optional<book::BookMarket> file;
    if (!o.market_file.empty()) {
        // A market file wrong anywhere is refused before anything is valued.
        file = input_checked([&] {
            std::ifstream in(o.market_file, std::ios::binary);
            if (!in) throw ValueError("cannot read market file '" + o.market_file + "'");
            std::ostringstream text;
            text << in.rdbuf();
            nlohmann::ordered_json json;
            try {
                json = nlohmann::ordered_json::parse(text.str());
            } catch (const nlohmann::json::parse_error& e) {
                throw ValueError(o.market_file + ": not valid JSON: " + e.what());
            }
            book::BookMarket m = book::BookMarket::from_json(json, o.market_file);
            m.check(day);
            return m;
        });
    }
    Terms terms = read_terms(o.terms_file);
    std::string engine = o.engine;
    if (engine.empty() && file && terms.contains("type") && terms.at("type").is_text())
        engine = file->engine_for(terms.text("type"));
    terms = with_note_engine(std::move(terms), engine);
    apply_simulation_options(o.simulation);
    // Schedules follow the official closures the store holds, for this valuation.
    const calendar::ScopedClosures closures(install_store(o.store)->official_closures());
    const auto option = make_option(terms);
    const EvalDate date = o.date.empty() ? EvalDate{} : EvalDate{utils::DateInput(o.date)};
    warn_projected_calendar(*option, day);

    const Market mk = price_market(o, file, terms, day);
    // A market of plain numbers goes through the plain-number entry points
    // (the same numbers as the Market ones).
    nlohmann::ordered_json out;
    if (mk.is_flat()) {
        const double spot = mk.spot, r = mk.r.number(), vol = mk.vol.number(), q = mk.q.number();
        if (o.fair_coupon) {
            const auto f = detail::note_fair_coupon(*option, terms.at("type").to_string(), spot, r, vol, q, date, o.target);
            out["fair_coupon_rate"] = f.fair_coupon_rate;
            out["standard_error"] = f.standard_error;
        } else if (o.stats) {
            const auto s = detail::note_statistics(*option, spot, r, vol, q, date);
            if (!s)
                throw TypeError("statistics are simulated for the snowball and phoenix notes only, not " +
                                terms.at("type").to_string());
            out = detail::statistics_json(*s);
        } else if (o.greeks) {
            const OptionGreeks g = option->greeks(spot, r, vol, q, date);
            for (std::size_t i = 0; i < OptionGreeks::size(); ++i) out[OptionGreeks::field_names[i]] = g[i];
        } else {
            out["npv"] = option->npv(spot, r, vol, q, date);
        }
    } else if (o.fair_coupon) {
        const auto f = detail::note_fair_coupon(*option, terms.at("type").to_string(), mk, date, o.target);
        out["fair_coupon_rate"] = f.fair_coupon_rate;
        out["standard_error"] = f.standard_error;
    } else if (o.stats) {
        const auto s = detail::note_statistics(*option, mk, date);
        if (!s)
            throw TypeError("statistics are simulated for the snowball and phoenix notes only, not " +
                            terms.at("type").to_string());
        out = detail::statistics_json(*s);
    } else if (o.greeks) {
        const OptionGreeks g = option->greeks(mk, date);
        for (std::size_t i = 0; i < OptionGreeks::size(); ++i) out[OptionGreeks::field_names[i]] = g[i];
    } else {
        out["npv"] = option->npv(mk, date);
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
    cmd->add_option("--spot", o->spot, "price of the underlying")->check(finite_number());
    cmd->add_option("--r", o->r, "risk-free rate, continuously compounded")->check(finite_number());
    cmd->add_option("--vol", o->vol, "Black volatility, not negative")->check(non_negative_number());
    cmd->add_option("--q", o->q, "continuous dividend yield")->check(finite_number());
    cmd->add_option("--market", o->market_file,
                    "market file as `kestrel book --market` reads it (r, q and vol numbers or curves, q also from "
                    "forwards, \"engines\"): the contract's underlying's entry; --spot, --r, --vol and --q win where "
                    "given. Without it all four are required")
        ->check(CLI::ExistingFile);
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
    cmd->callback([&action, o] {
        if (o->market_file.empty()) {
            for (const auto& [name, given] : {std::pair{"--spot", o->spot.has_value()}, {"--r", o->r.has_value()},
                                              {"--vol", o->vol.has_value()}, {"--q", o->q.has_value()}})
                if (!given) throw CLI::RequiredError(std::string(name) + " (or --market FILE)");
        }
        action = [o] { run_price(*o); };
    });
}

}  // namespace kestrel::cli
