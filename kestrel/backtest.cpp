#include <kestrel/backtest.hpp>
#include <kestrel/notes/extras.hpp>

#include <heron/heron.hpp>
#include <kestrel/errors.hpp>
#include <kestrel/kestrel.hpp>
#include <kestrel/utils.hpp>

#include <ql/errors.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iomanip>
#include <ostream>
#include <sstream>

namespace kestrel::backtest {
namespace {

using Json = nlohmann::ordered_json;
using QuantLib::Date;

// The outputs' number and text forms.
constexpr auto exact = utils::format_exact;
constexpr auto fixed = utils::format_fixed;
using utils::html_escape;

struct Vdg {
    double npv = 0, delta = 0, gamma = 0;  // gamma d2V/dS2
};

// Value, delta and d2V/dS2 on one close: a note's from one solution or
// simulation, any other product's from its value at the spot and 0.5 % either
// side; plain numbers through the plain-number entry points, as the book.
Vdg value_delta_gamma(BaseOption& option, const Market& m, const Date& date) {
    const EvalDate d = utils::DateInput(date);
    const bool flat = m.is_flat();
    const auto ladder = flat ? detail::note_spot_ladder(option, {m.spot}, m.r.number(), m.vol.number(), m.q.number(), d, true)
                             : detail::note_spot_ladder(option, {m.spot}, m, d, true);
    Vdg out;
    if (ladder) {
        out = {ladder->at(0).npv, ladder->at(0).delta, ladder->at(0).gamma};
    } else {
        const OptionGreeks g = flat ? option.spot_greeks(m.spot, m.r.number(), m.vol.number(), m.q.number(), d)
                                    : option.spot_greeks(m, d);
        out = {g.npv, g.delta, g.gamma / m.spot};
    }
    if (!std::isfinite(out.npv) || !std::isfinite(out.delta) || !std::isfinite(out.gamma))
        throw ValueError("the valuation gave a non-finite value, delta or gamma");
    return out;
}

double black_vol_at(const Market& m, const Date& date, const Date& maturity) {
    if (m.vol.is_number()) return m.vol.number();
    const double t = std::max(static_cast<double>(maturity - date), 1.0) / 365.0;
    return std::sqrt(m.vol.variance(date, t) / t);
}

bool ends_contract(const CashFlow& f) { return f.kind == "knock_out" || f.kind == "touch" || f.kind == "maturity"; }

const char* kLevelNames[] = {"ko_barrier", "ki_barrier", "coupon_barrier", "barrier", "barrier_lo", "barrier_hi",
                             "touch_price_lo", "touch_price_hi", "strike"};

// ---------------------------------------------------------------- the chart

struct Series {
    std::string name, colour;
    std::vector<double> y;
    bool step = false;
};

// A line chart of series over the days (x by index), with dashed horizontal
// levels; inline SVG.
std::string line_chart(const std::string& title, const std::vector<Date>& dates, const std::vector<Series>& series,
                       const std::vector<Level>& levels = {}) {
    constexpr double W = 760, H = 220, L = 70, R = 130, T = 24, B = 30;
    double lo = INFINITY, hi = -INFINITY;
    for (const auto& s : series)
        for (double v : s.y) lo = std::min(lo, v), hi = std::max(hi, v);
    for (const auto& l : levels) lo = std::min(lo, l.level), hi = std::max(hi, l.level);
    if (!std::isfinite(lo)) lo = 0, hi = 1;
    if (hi - lo < 1e-12) hi = lo + 1;
    const double pad = 0.05 * (hi - lo);
    lo -= pad, hi += pad;
    const std::size_t n = dates.size();
    const auto x = [&](std::size_t i) { return L + (n > 1 ? (W - L - R) * static_cast<double>(i) / (n - 1) : 0); };
    const auto y = [&](double v) { return T + (H - T - B) * (hi - v) / (hi - lo); };
    std::ostringstream o;
    o << std::fixed << std::setprecision(1);
    o << "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " << W << ' ' << H << "\" width=\"" << W
      << "\" height=\"" << H << "\" role=\"img\" aria-label=\"" << html_escape(title) << "\">\n";
    o << "<text x=\"" << L << "\" y=\"16\" font-size=\"13\" font-weight=\"bold\">" << html_escape(title) << "</text>\n";
    o << "<rect x=\"" << L << "\" y=\"" << T << "\" width=\"" << (W - L - R) << "\" height=\"" << (H - T - B)
      << "\" fill=\"none\" stroke=\"#bbb\"/>\n";
    for (int k = 0; k <= 4; ++k) {
        const double v = lo + (hi - lo) * k / 4.0;
        o << "<text x=\"" << (L - 4) << "\" y=\"" << (y(v) + 4) << "\" font-size=\"10\" text-anchor=\"end\">"
          << fixed(v, std::abs(hi - lo) < 10 ? 3 : 1) << "</text>\n";
    }
    if (n) {
        o << "<text x=\"" << L << "\" y=\"" << (H - 8) << "\" font-size=\"10\">" << utils::format_date(dates.front())
          << "</text>\n";
        o << "<text x=\"" << (W - R) << "\" y=\"" << (H - 8) << "\" font-size=\"10\" text-anchor=\"end\">"
          << utils::format_date(dates.back()) << "</text>\n";
    }
    if (lo < 0 && hi > 0)
        o << "<line x1=\"" << L << "\" x2=\"" << (W - R) << "\" y1=\"" << y(0) << "\" y2=\"" << y(0)
          << "\" stroke=\"#888\" stroke-width=\"0.5\"/>\n";
    for (const auto& l : levels) {
        o << "<line x1=\"" << L << "\" x2=\"" << (W - R) << "\" y1=\"" << y(l.level) << "\" y2=\"" << y(l.level)
          << "\" stroke=\"#c33\" stroke-dasharray=\"4 3\"/>\n";
        o << "<text x=\"" << (W - R + 4) << "\" y=\"" << (y(l.level) + 4) << "\" font-size=\"10\" fill=\"#c33\">"
          << html_escape(l.name) << ' ' << fixed(l.level, 2) << "</text>\n";
    }
    int legend = 0;
    for (const auto& s : series) {
        o << "<polyline fill=\"none\" stroke=\"" << s.colour << "\" stroke-width=\"1.4\" points=\"";
        for (std::size_t i = 0; i < s.y.size(); ++i) {
            if (s.step && i > 0) o << x(i) << ',' << y(s.y[i - 1]) << ' ';
            o << x(i) << ',' << y(s.y[i]) << ' ';
        }
        o << "\"/>\n";
        if (series.size() > 1 || levels.empty()) {
            o << "<text x=\"" << (W - R + 4) << "\" y=\"" << (T + 12 + 14 * legend++) << "\" font-size=\"10\" fill=\""
              << s.colour << "\">" << html_escape(s.name) << "</text>\n";
        }
    }
    o << "</svg>\n";
    return o.str();
}

}  // namespace

std::size_t parse_rebalance(const std::string& text) {
    if (text == "daily") return 1;
    if (text == "weekly") return 5;
    throw ValueError("rebalance: expected daily or weekly, not '" + text + "'");
}

Result run_backtest(const Json& contract, const book::BookMarket& market, const Options& options) {
    if (!contract.is_object())
        throw TypeError("the contract must be a JSON object of terms, not " + std::string(contract.type_name()));
    if (options.rebalance_every == 0) throw ValueError("rebalance: every 0 closes is not a schedule");
    if (options.to && *options.to < options.from)
        throw ValueError("--to " + utils::format_date(*options.to) + " is before --from " +
                         utils::format_date(options.from));
    book::BookOptions bo;
    bo.engine = options.engine;
    const Terms terms = book::contract_terms(contract, market, bo);
    const auto option = make_option(terms);
    Result out;
    out.id = contract.contains("id") && contract["id"].is_string() ? contract["id"].get<std::string>() : "";
    out.type = terms.at("type").to_string();
    out.underlying = terms.at("underlying").to_string();
    if (const Value* e = terms.find("engine"); e && e->is_text()) out.engine = e->as_text("engine");
    out.rebalance_every = options.rebalance_every;
    for (const char* name : kLevelNames) {
        const auto it = contract.find(name);
        if (it != contract.end() && it->is_number()) out.levels.push_back({name, it->get<double>()});
    }
    const Date maturity = option->maturity_date();
    const Date last = std::min(options.to.value_or(maturity), maturity);

    const auto table = heron::get_price(out.underlying, options.from, last, "close", "pre", true);
    if (!table || table->empty() || table->dates().front() != options.from)
        throw ValueError("no close of " + out.underlying + " on " + utils::format_date(options.from) +
                         " in the store: the backtest starts on a close");
    const std::vector<Date>& dates = table->dates();
    const std::vector<double>& closes = table->column("close");
    std::vector<Date> observed;
    if (const auto* note = detail::as_note(*option)) observed = note->ko_obs_dates();

    const auto valued = [&](const Date& t, double s, Market& m) {
        try {
            m = market.market_of(out.underlying, s, t);
            return value_delta_gamma(*option, m, t);
        } catch (const Error& e) {
            throw ValueError("valuing on " + utils::format_date(t) + ": " + e.message());
        } catch (const QuantLib::Error& e) {
            throw ValueError("valuing on " + utils::format_date(t) + ": " + e.what());
        }
    };

    Market m;
    Day day;
    day.date = dates[0];
    day.spot = closes[0];
    const Vdg v0 = valued(day.date, day.spot, m);
    day.value = v0.npv, day.delta = v0.delta, day.gamma = v0.gamma;
    out.premium = v0.npv;
    out.assumed_vol = black_vol_at(m, day.date, maturity);
    day.held = v0.delta;
    day.cash = v0.npv - v0.delta * day.spot;
    day.hedge = day.held * day.spot + day.cash;
    day.rebalanced = true;
    out.days.push_back(day);
    double sum_r2 = 0, sum_dt = 0;
    out.end = dates.back() == maturity ? "maturity" : options.to ? "the end date" : "the store's last close";

    for (std::size_t i = 1; i < dates.size(); ++i) {
        const Day& p = out.days.back();
        const Market mp = m;
        Day d;
        d.date = dates[i];
        d.spot = closes[i];
        const double dt = static_cast<double>(d.date - p.date) / 365.0;
        d.cash = p.cash / mp.r.discount(p.date, dt) + p.held * p.spot * (1.0 / mp.q.discount(p.date, dt) - 1.0);
        d.flows = cashflows(*option, p.date, d.date);
        bool ended = false;
        for (const auto& f : d.flows) {
            d.cash -= f.amount;
            out.cash_paid += f.amount;
            ended = ended || ends_contract(f);
        }
        if (ended) {
            d.value = d.delta = d.gamma = 0;
            m = market.market_of(out.underlying, d.spot, d.date);
        } else {
            const Vdg v = valued(d.date, d.spot, m);
            d.value = v.npv, d.delta = v.delta, d.gamma = v.gamma;
        }
        d.held = p.held;
        d.hedge = d.held * d.spot + d.cash;
        d.pnl = d.hedge - d.value;
        d.day_pnl = d.pnl - p.pnl;
        const double ds = d.spot - p.spot;
        const double vol = black_vol_at(mp, p.date, maturity);
        d.gamma_pnl = -0.5 * p.gamma * ds * ds;
        d.theta_pnl = 0.5 * vol * vol * p.spot * p.spot * p.gamma * dt;
        d.unhedged = (p.held - p.delta) * ds;
        d.observation = !d.flows.empty() || std::binary_search(observed.begin(), observed.end(), d.date);
        const double rest = d.day_pnl - d.gamma_pnl - d.theta_pnl - d.unhedged;
        (d.observation ? d.jump : d.other) = rest;
        const double lr = std::log(d.spot / p.spot);
        sum_r2 += lr * lr;
        sum_dt += dt;
        if (ended) {
            // Unwound at the close: the shares sold, the cash is the P&L.
            d.cash += d.held * d.spot;
            d.held = 0;
            d.rebalanced = true;
            std::string what;
            for (const auto& f : d.flows)
                if (ends_contract(f)) what = f.kind;
            out.end = "ended (" + what + " on " + utils::format_date(d.date) + ")";
        } else if (i % options.rebalance_every == 0) {
            d.cash -= (d.delta - d.held) * d.spot;
            d.held = d.delta;
            d.rebalanced = true;
        }
        out.days.push_back(std::move(d));
        if (ended) break;
    }
    for (const auto& d : out.days) {
        out.gamma_pnl += d.gamma_pnl;
        out.theta_pnl += d.theta_pnl;
        out.unhedged += d.unhedged;
        out.jump += d.jump;
        out.other += d.other;
    }
    out.pnl = out.days.back().pnl;
    out.realised_vol = sum_dt > 0 ? std::sqrt(sum_r2 / sum_dt) : 0.0;
    return out;
}

Json backtest_to_json(const Result& r) {
    Json levels = Json::array();
    for (const auto& l : r.levels) levels.push_back(Json{{"name", l.name}, {"level", l.level}});
    Json days = Json::array();
    for (const auto& d : r.days) {
        Json flows = Json::array();
        for (const auto& f : d.flows)
            flows.push_back(Json{{"date", utils::format_date(f.date)}, {"kind", f.kind}, {"amount", f.amount}});
        days.push_back(Json{{"date", utils::format_date(d.date)},
                            {"spot", d.spot},
                            {"value", d.value},
                            {"delta", d.delta},
                            {"gamma", d.gamma},
                            {"held", d.held},
                            {"cash", d.cash},
                            {"hedge", d.hedge},
                            {"pnl", d.pnl},
                            {"day_pnl", d.day_pnl},
                            {"gamma_pnl", d.gamma_pnl},
                            {"theta_pnl", d.theta_pnl},
                            {"unhedged", d.unhedged},
                            {"jump", d.jump},
                            {"other", d.other},
                            {"rebalanced", d.rebalanced},
                            {"observation", d.observation},
                            {"flows", flows}});
    }
    return Json{{"id", r.id},
                {"type", r.type},
                {"underlying", r.underlying},
                {"engine", r.engine},
                {"rebalance_every", r.rebalance_every},
                {"premium", r.premium},
                {"assumed_vol", r.assumed_vol},
                {"realised_vol", r.realised_vol},
                {"cash_paid", r.cash_paid},
                {"pnl", r.pnl},
                {"split",
                 {{"gamma", r.gamma_pnl},
                  {"theta", r.theta_pnl},
                  {"vol", r.gamma_pnl + r.theta_pnl},
                  {"unhedged", r.unhedged},
                  {"jump", r.jump},
                  {"other", r.other}}},
                {"end", r.end},
                {"levels", levels},
                {"days", days}};
}

void write_backtest_csv(std::ostream& out, const Result& r) {
    out << "date,spot,value,delta,gamma,held,cash,hedge,pnl,day_pnl,gamma_pnl,theta_pnl,unhedged,jump,other,rebalanced,"
           "observation,flows\n";
    for (const auto& d : r.days) {
        double flows = 0;
        for (const auto& f : d.flows) flows += f.amount;
        out << utils::format_date(d.date) << ',' << exact(d.spot) << ',' << exact(d.value) << ',' << exact(d.delta)
            << ',' << exact(d.gamma) << ',' << exact(d.held) << ',' << exact(d.cash) << ',' << exact(d.hedge) << ','
            << exact(d.pnl) << ',' << exact(d.day_pnl) << ',' << exact(d.gamma_pnl) << ',' << exact(d.theta_pnl)
            << ',' << exact(d.unhedged) << ',' << exact(d.jump) << ',' << exact(d.other) << ',' << (d.rebalanced ? 1 : 0) << ','
            << (d.observation ? 1 : 0) << ',' << exact(flows) << '\n';
    }
}

namespace {

void summary(std::ostream& out, const Result& r) {
    out << "hedging backtest: " << (r.id.empty() ? r.type : r.id) << " (" << r.type << " on " << r.underlying
        << (r.engine.empty() ? "" : ", engine " + r.engine) << "), sold " << utils::format_date(r.days.front().date)
        << " at " << fixed(r.premium, 4) << ", delta-hedged "
        << (r.rebalance_every == 1 ? std::string("every close")
                                   : "every " + std::to_string(r.rebalance_every) + " closes")
        << ", to " << utils::format_date(r.days.back().date) << " (" << r.end << ")\n";
    out << "vol assumed " << fixed(100 * r.assumed_vol, 2) << " %, realised " << fixed(100 * r.realised_vol, 2)
        << " %; cash paid " << fixed(r.cash_paid, 4) << "\n";
    out << "hedge P&L " << fixed(r.pnl, 4) << " = gamma " << fixed(r.gamma_pnl, 4) << " + theta "
        << fixed(r.theta_pnl, 4) << " (vol " << fixed(r.gamma_pnl + r.theta_pnl, 4) << ") + unhedged "
        << fixed(r.unhedged, 4) << " + jumps "
        << fixed(r.jump, 4) << " + other " << fixed(r.other, 4) << "\n";
}

}  // namespace

void write_backtest_table(std::ostream& out, const Result& r) {
    summary(out, r);
    out << '\n';
    const char* names[] = {"spot", "value", "delta", "held", "hedge", "P&L", "day", "gamma", "theta", "unhedged", "jump", "other"};
    out << std::left << std::setw(12) << "date" << std::right;
    for (const char* n : names) out << ' ' << std::setw(12) << n;
    out << "  events\n";
    for (const auto& d : r.days) {
        out << std::left << std::setw(12) << utils::format_date(d.date) << std::right;
        for (double x : {d.spot, d.value, d.delta, d.held, d.hedge, d.pnl, d.day_pnl, d.gamma_pnl, d.theta_pnl,
                         d.unhedged, d.jump, d.other})
            out << ' ' << std::setw(12) << fixed(x, 4);
        out << "  ";
        for (const auto& f : d.flows) out << f.kind << ' ' << fixed(f.amount, 4) << "; ";
        if (d.observation && d.flows.empty()) out << "observation";
        out << '\n';
    }
}

void write_backtest(std::ostream& out, const Result& r, book::BookFormat format) {
    switch (format) {
        case book::BookFormat::Json: out << backtest_to_json(r).dump(2) << '\n'; break;
        case book::BookFormat::Csv: write_backtest_csv(out, r); break;
        case book::BookFormat::Table: write_backtest_table(out, r); break;
    }
}

std::string backtest_html(const Result& r) {
    std::vector<Date> dates;
    Series spot{"close", "#1f5fa8", {}, false}, held{"delta held", "#1f5fa8", {}, true},
        delta{"engine's delta", "#999", {}, false}, pnl{"hedge P&L", "#222", {}, false},
        gamma{"gamma", "#c33", {}, false}, theta{"theta", "#2a8a3a", {}, false}, jump{"jumps", "#d08a00", {}, false},
        unhedged{"unhedged", "#7a4fb0", {}, false},
        other{"other", "#888", {}, false};
    double g = 0, t = 0, j = 0, o = 0, u = 0;
    for (const auto& d : r.days) {
        dates.push_back(d.date);
        spot.y.push_back(d.spot);
        held.y.push_back(d.held);
        delta.y.push_back(d.delta);
        pnl.y.push_back(d.pnl);
        g += d.gamma_pnl, t += d.theta_pnl, j += d.jump, o += d.other, u += d.unhedged;
        gamma.y.push_back(g);
        theta.y.push_back(t);
        jump.y.push_back(j);
        other.y.push_back(o);
        unhedged.y.push_back(u);
    }
    std::ostringstream s;
    s << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Hedging backtest "
      << html_escape(r.id.empty() ? r.type : r.id) << "</title>\n"
      << "<style>body{font-family:sans-serif;margin:24px;color:#222}table{border-collapse:collapse;font-size:11px}"
         "td,th{padding:2px 6px;border-bottom:1px solid #eee}td.n{text-align:right;font-variant-numeric:"
         "tabular-nums}pre{font-size:12px;white-space:pre-wrap}</style></head><body>\n";
    s << "<h1>Hedging backtest: " << html_escape(r.id.empty() ? r.type : r.id) << "</h1>\n<pre>";
    std::ostringstream text;
    summary(text, r);
    s << html_escape(text.str()) << "</pre>\n";
    s << line_chart("Close of " + r.underlying + " and the contract's levels", dates, {spot}, r.levels);
    s << line_chart("Delta held (step) and the engine's delta", dates, {held, delta});
    s << line_chart("Cumulative hedge P&L and its split", dates, {pnl, gamma, theta, unhedged, jump, other});
    s << "<h2>Days</h2>\n<table><tr><th>date</th><th>spot</th><th>value</th><th>delta</th><th>held</th>"
         "<th>hedge</th><th>P&amp;L</th><th>gamma</th><th>theta</th><th>unhedged</th><th>jump</th><th>other</th><th>events</th></tr>\n";
    for (const auto& d : r.days) {
        s << "<tr><td>" << utils::format_date(d.date) << "</td>";
        for (double x : {d.spot, d.value, d.delta, d.held, d.hedge, d.pnl, d.gamma_pnl, d.theta_pnl, d.unhedged, d.jump,
                         d.other})
            s << "<td class=\"n\">" << fixed(x, 4) << "</td>";
        s << "<td>";
        for (const auto& f : d.flows) s << html_escape(f.kind) << ' ' << fixed(f.amount, 4) << "; ";
        s << "</td></tr>\n";
    }
    s << "</table>\n</body></html>\n";
    return s.str();
}

}  // namespace kestrel::backtest
