#include <kestrel/explain.hpp>

#include <heron/heron.hpp>
#include <kestrel/book_ladder.hpp>
#include <kestrel/cashflows.hpp>
#include <kestrel/errors.hpp>
#include <kestrel/kestrel.hpp>
#include <kestrel/random_sample.hpp>
#include <kestrel/utils.hpp>

#include <ql/errors.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iomanip>
#include <map>
#include <ostream>
#include <sstream>

namespace kestrel::explain {
namespace {

using Json = nlohmann::ordered_json;
using QuantLib::Date;

constexpr double kPoint = 0.01;  // a vol or rate point, as vega and rho count them

// The outputs' number and text forms.
constexpr auto exact = utils::format_exact;
constexpr auto fixed = utils::format_fixed;
using utils::csv_field;
using utils::html_escape;

Json parse_json(const std::string& text, const std::string& what) {
    try {
        return Json::parse(text);
    } catch (const nlohmann::json::parse_error& e) {
        throw ValueError(what + ": not valid JSON: " + e.what());
    }
}

// The second run's simulation settings for the scope of an explanation, and
// the ones found put back after.
class ScopedSettings {
  public:
    explicit ScopedSettings(const Json& settings)
        : paths_(random_sample::paths()), seed_(random_sample::seed()), draws_(random_sample::draws()) {
        if (const auto p = settings.find("paths"); p != settings.end() && p->is_number_unsigned() && p->get<std::size_t>() > 0)
            random_sample::set_paths(p->get<std::size_t>());
        if (const auto s = settings.find("seed"); s != settings.end() && s->is_number_unsigned())
            random_sample::set_seed(s->get<std::uint64_t>());
        if (const auto d = settings.find("draws"); d != settings.end() && d->is_string())
            random_sample::set_draws(d->get<std::string>() == "single" ? random_sample::Draws::single_precision
                                                                       : random_sample::Draws::double_precision);
    }
    ~ScopedSettings() {
        random_sample::set_paths(paths_);
        random_sample::set_seed(seed_);
        random_sample::set_draws(draws_);
    }
    ScopedSettings(const ScopedSettings&) = delete;
    ScopedSettings& operator=(const ScopedSettings&) = delete;

  private:
    std::size_t paths_;
    std::uint64_t seed_;
    random_sample::Draws draws_;
};

// A full revaluation as `kestrel book` values it (plain numbers through the
// plain-number entry points), a spot beyond a barrier as the history check
// would value it.
double revalue(BaseOption& option, const Market& mk, const Date& date) {
    const EvalDate d = utils::DateInput(date);
    if (const auto crossed = book::value_if_crossed(option, mk, d)) return *crossed;
    const double v = mk.is_flat() ? option.npv(mk.spot, mk.r.number(), mk.vol.number(), mk.q.number(), d)
                                  : option.npv(mk, d);
    if (!std::isfinite(v)) throw ValueError("the revaluation on " + utils::format_date(date) + " gave " + exact(v));
    return v;
}

// The Black vol, zero rate and carry at `maturity` read on `date`.
struct AtMaturity {
    double vol = 0, r = 0, q = 0;
};

AtMaturity at_maturity(const Market& m, const Date& date, const Date& maturity) {
    const double t = static_cast<double>(maturity - date) / 365.0;
    AtMaturity a;
    if (t <= 0) {
        a.vol = m.vol.is_number() ? m.vol.number() : 0;
        a.r = m.r.is_number() ? m.r.number() : 0;
        a.q = m.q.is_number() ? m.q.number() : 0;
        return a;
    }
    a.vol = m.vol.is_number() ? m.vol.number() : std::sqrt(m.vol.variance(date, t) / t);
    a.r = m.r.is_number() ? m.r.number() : m.r.zero_rate(date, t);
    a.q = m.q.is_number() ? m.q.number() : m.q.zero_rate(date, t);
    return a;
}

bool ends_contract(const CashFlow& f) { return f.kind == "knock_out" || f.kind == "touch" || f.kind == "maturity"; }

// One stored run made ready for revaluation.
struct Side {
    const runs::StoredRun* run = nullptr;
    book::BookMarket market;
    Date date;
    std::map<std::string, std::size_t> by_id;  // contract label -> row index

    explicit Side(const runs::StoredRun& r, const char* which) : run(&r), date(r.info.evaluation_date) {
        const std::string source = std::string(which) + " run " + std::to_string(r.info.id) + "'s market";
        market = book::BookMarket::from_json(parse_json(r.market_text, source), source);
        for (std::size_t i = 0; i < r.result.rows.size(); ++i) by_id.emplace(r.result.rows[i].label(), i);
    }

    const book::BookRow* row(const std::string& label) const {
        const auto it = by_id.find(label);
        return it == by_id.end() ? nullptr : &run->result.rows[it->second];
    }
    const Json& terms(const std::string& label) const { return run->terms.at(by_id.at(label)); }

    // The underlying's spot in this run: a valued row's, the market's, or the
    // store's "pre" close on the run's date.
    std::optional<double> spot(const std::string& underlying) const {
        for (const auto& r : run->result.rows)
            if (r.ok() && r.underlying == underlying && r.spot > 0) return r.spot;
        if (const auto* m = market.find(underlying); m && m->spot) return *m->spot;
        if (!heron::installed()) return std::nullopt;
        const auto table = heron::get_price(underlying, date, date, "close", "pre", true);
        if (!table || table->empty()) return std::nullopt;
        const auto frame = table->droplevel("order_book_id");
        if (!frame.contains(date)) return std::nullopt;
        return frame.at(date, "close");
    }
};

std::string run_error(const book::RowError& e, const runs::RunInfo& info) {
    return "in run " + std::to_string(info.id) + " (" + utils::format_date(info.evaluation_date) + ") it failed: " +
           e.kind + ": " + e.message;
}

// Explains a contract of the first run (`label`), present in the second or not.
void explain_held(ExplainRow& row, const Side& a, const Side& b, const book::BookOptions& options2) {
    const book::BookRow& r1 = *a.row(row.id);
    const book::BookRow* r2 = b.row(row.id);
    if (!r1.ok()) throw ValueError(run_error(*r1.error, a.run->info));
    if (!row.underlying) throw ValueError("the contract has no underlying");
    row.v1 = r1.value.npv;

    const Terms terms = book::contract_terms(a.terms(row.id), b.market, options2);
    const auto option = make_option(terms);
    const std::string underlying = *row.underlying;

    bool ended = false;
    for (const CashFlow& f : cashflows(*option, a.date, b.date)) {
        row.cash += f.amount;
        ended = ended || ends_contract(f);
        row.events.push_back({f.date, f.kind == "maturity" ? "matured" : f.kind, f.amount});
    }
    if (!ended && !r2) row.events.push_back({b.date, "removed", 0.0});
    if (!ended && r2 && !r2->ok()) throw ValueError(run_error(*r2->error, b.run->info));

    const double s1 = r1.spot;
    std::optional<double> s2 = r2 && r2->ok() ? std::optional<double>(r2->spot) : b.spot(underlying);
    if (!s2 && !ended)
        throw ValueError("no spot of " + underlying + " on " + utils::format_date(b.date) +
                         ": the second run has none and the store has no close");

    const Market m1 = a.market.market_of(underlying, s1, a.date);
    double rv1 = 0, rv2 = 0, rv3 = 0, rv4 = 0;
    if (!ended) {
        // The first market read on D2: tenor pillars roll, dates stay.
        const Market rolled = a.market.market_of(underlying, s1, b.date);
        const Market second = b.market.market_of(underlying, *s2, b.date);
        rv1 = revalue(*option, rolled, b.date);
        rv2 = revalue(*option, rolled.with_spot(*s2), b.date);
        rv3 = revalue(*option, Market(*s2, rolled.r, second.vol, rolled.q), b.date);
        rv4 = revalue(*option, second, b.date);
        row.v2 = r2 ? r2->value.npv : 0.0;
    }
    row.total = row.v2 - row.v1 + row.cash;
    row.steps.time = rv1 + row.cash - row.v1;
    row.steps.spot = rv2 - rv1;
    row.steps.vol = rv3 - rv2;
    row.steps.rates = rv4 - rv3;
    row.steps.trades = row.v2 - rv4;

    row.moves.days = static_cast<int>(b.date - a.date);
    row.moves.spot1 = s1;
    row.moves.spot2 = s2.value_or(s1);
    if (a.run->info.greeks && s2) {
        const Market m2 = b.market.market_of(underlying, *s2, b.date);
        const AtMaturity x1 = at_maturity(m1, a.date, option->maturity_date());
        const AtMaturity x2 = at_maturity(m2, b.date, option->maturity_date());
        row.moves.dvol = x2.vol - x1.vol;
        row.moves.dr = x2.r - x1.r;
        row.moves.dq = x2.q - x1.q;
        const double ds = *s2 - s1;
        GreekSplit g;
        g.theta = r1.value.theta * row.moves.days;
        g.delta = r1.value.delta * ds;
        g.gamma = 0.5 * (r1.value.gamma / s1) * ds * ds;
        g.vega = r1.value.vega * row.moves.dvol / kPoint;
        g.rho = -r1.value.rho * row.moves.dr / kPoint;
        g.carry_rho = -r1.carry_rho * row.moves.dq / kPoint;
        g.unexplained = row.total - row.steps.trades - (g.theta + g.delta + g.gamma + g.vega + g.rho + g.carry_rho);
        row.greeks = g;
    }
}

// A contract only the second run has.
void explain_new(ExplainRow& row, const Side& a, const Side& b) {
    const book::BookRow& r2 = *b.row(row.id);
    if (!r2.ok()) throw ValueError(run_error(*r2.error, b.run->info));
    row.v2 = r2.value.npv;
    row.total = row.v2;
    row.steps.trades = row.v2;
    row.moves.days = static_cast<int>(b.date - a.date);
    row.moves.spot1 = row.moves.spot2 = r2.spot;
    row.events.push_back({b.date, "new", row.v2});
    if (a.run->info.greeks) row.greeks = GreekSplit{};
}

void add_to(ExplainTotal& t, const ExplainRow& row, bool greeks) {
    ++t.contracts;
    if (!row.ok()) {
        ++t.failed;
        return;
    }
    t.v1 += row.v1;
    t.v2 += row.v2;
    t.cash += row.cash;
    t.total += row.total;
    t.steps += row.steps;
    if (greeks) {
        if (!t.greeks) t.greeks = GreekSplit{};
        if (row.greeks) *t.greeks += *row.greeks;
    }
}

Json steps_json(const Steps& s) {
    return Json{{"time", s.time}, {"spot", s.spot}, {"vol", s.vol}, {"rates", s.rates}, {"trades", s.trades}};
}

Json greeks_json(const std::optional<GreekSplit>& g) {
    if (!g) return nullptr;
    return Json{{"theta", g->theta}, {"delta", g->delta},         {"gamma", g->gamma},
                {"vega", g->vega},   {"rho", g->rho},             {"carry_rho", g->carry_rho},
                {"unexplained", g->unexplained}};
}

Json run_json(const runs::RunInfo& info) {
    return Json{{"id", info.id}, {"date", utils::format_date(info.evaluation_date)}, {"created_at", info.created_at}};
}

std::string opt(const std::optional<std::string>& s) { return s ? *s : ""; }

}  // namespace

const char* const kStepOrder =
    "time (the date rolled to the second run's, the first run's market and spot; the history between the dates "
    "and its cash fall here), spot (the second run's spot), vol (its volatility), rates (its rates and carry: its "
    "whole market), trades (new, removed and changed contracts)";

Steps& Steps::operator+=(const Steps& o) noexcept {
    time += o.time;
    spot += o.spot;
    vol += o.vol;
    rates += o.rates;
    trades += o.trades;
    return *this;
}

GreekSplit& GreekSplit::operator+=(const GreekSplit& o) noexcept {
    theta += o.theta;
    delta += o.delta;
    gamma += o.gamma;
    vega += o.vega;
    rho += o.rho;
    carry_rho += o.carry_rho;
    unexplained += o.unexplained;
    return *this;
}

std::size_t Explanation::failed() const noexcept {
    return static_cast<std::size_t>(std::count_if(rows.begin(), rows.end(), [](const ExplainRow& r) { return !r.ok(); }));
}

std::int64_t resolve_run(const std::string& db_path, const std::string& ref) {
    if (!ref.empty() && std::all_of(ref.begin(), ref.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        std::int64_t id = 0;
        const auto res = std::from_chars(ref.data(), ref.data() + ref.size(), id);
        if (res.ec != std::errc() || id <= 0) throw ValueError("run '" + ref + "': not a run id");
        return id;
    }
    Date date;
    try {
        date = utils::parse_date(ref);
    } catch (const Error&) {
        throw ValueError("run '" + ref + "': neither a run id nor a date YYYY-MM-DD");
    }
    const auto found = runs::list_runs(db_path, date);
    if (found.empty()) throw KeyError("no run of " + ref + " in '" + db_path + "'");
    return found.back().id;
}

Explanation explain_runs(const runs::StoredRun& from, const runs::StoredRun& to) {
    if (to.info.evaluation_date < from.info.evaluation_date)
        throw ValueError("run " + std::to_string(to.info.id) + " (" + utils::format_date(to.info.evaluation_date) +
                         ") is before run " + std::to_string(from.info.id) + " (" +
                         utils::format_date(from.info.evaluation_date) + "): explain goes forward in time");
    const Side a(from, "the first");
    const Side b(to, "the second");
    ScopedSettings settings(to.info.settings);
    book::BookOptions options2;
    options2.evaluation_date = b.date;
    if (const auto e = to.info.settings.find("engine"); e != to.info.settings.end() && e->is_string())
        options2.engine = e->get<std::string>();

    Explanation out;
    out.from = from.info;
    out.to = to.info;
    const auto fill = [](ExplainRow& row, const book::BookRow& r) {
        row.position = r.position;
        row.id = r.label();
        row.type = r.type;
        row.underlying = r.underlying;
    };
    for (const auto& r : from.result.rows) {
        ExplainRow row;
        fill(row, r);
        try {
            explain_held(row, a, b, options2);
        } catch (...) {
            row.error = book::describe_error(std::current_exception());
        }
        out.rows.push_back(std::move(row));
    }
    for (const auto& r : to.result.rows) {
        if (a.row(r.label())) continue;
        ExplainRow row;
        fill(row, r);
        try {
            explain_new(row, a, b);
        } catch (...) {
            row.error = book::describe_error(std::current_exception());
        }
        out.rows.push_back(std::move(row));
    }

    const bool greeks = from.info.greeks;
    ExplainTotal book_total;
    for (const auto& row : out.rows) {
        const std::string u = row.underlying.value_or("");
        auto it = std::find_if(out.totals.begin(), out.totals.end(),
                               [&](const ExplainTotal& t) { return t.underlying.value_or("") == u; });
        if (it == out.totals.end()) {
            out.totals.push_back(ExplainTotal{});
            out.totals.back().underlying = u;
            it = out.totals.end() - 1;
        }
        add_to(*it, row, greeks);
        add_to(book_total, row, greeks);
    }
    if (greeks && !book_total.greeks) book_total.greeks = GreekSplit{};
    out.totals.push_back(book_total);
    return out;
}

Explanation explain(const std::string& db_path, const std::string& from, const std::string& to) {
    const auto a = runs::load_run(db_path, resolve_run(db_path, from));
    const auto b = runs::load_run(db_path, resolve_run(db_path, to));
    return explain_runs(a, b);
}

Json explain_to_json(const Explanation& e) {
    Json rows = Json::array();
    for (const auto& r : e.rows) {
        Json events = Json::array();
        for (const auto& ev : r.events)
            events.push_back(Json{{"date", utils::format_date(ev.date)}, {"kind", ev.kind}, {"amount", ev.amount}});
        Json j{{"id", r.id}, {"underlying", r.underlying ? Json(*r.underlying) : Json(nullptr)},
               {"type", r.type ? Json(*r.type) : Json(nullptr)}};
        if (r.ok()) {
            j["v1"] = r.v1;
            j["v2"] = r.v2;
            j["cash"] = r.cash;
            j["total"] = r.total;
            j["steps"] = steps_json(r.steps);
            j["greeks"] = greeks_json(r.greeks);
            j["moves"] = Json{{"days", r.moves.days}, {"spot1", r.moves.spot1}, {"spot2", r.moves.spot2},
                              {"dvol", r.moves.dvol}, {"dr", r.moves.dr},       {"dq", r.moves.dq}};
            j["error"] = nullptr;
        } else {
            for (const char* k : {"v1", "v2", "cash", "total", "steps", "greeks", "moves"}) j[k] = nullptr;
            j["error"] = Json{{"kind", r.error->kind}, {"message", r.error->message}};
        }
        j["events"] = events;
        rows.push_back(std::move(j));
    }
    Json totals = Json::array();
    for (const auto& t : e.totals) {
        totals.push_back(Json{{"id", t.underlying ? *t.underlying : "book"},
                              {"underlying", t.underlying ? Json(*t.underlying) : Json(nullptr)},
                              {"contracts", t.contracts},
                              {"failed", t.failed},
                              {"v1", t.v1},
                              {"v2", t.v2},
                              {"cash", t.cash},
                              {"total", t.total},
                              {"steps", steps_json(t.steps)},
                              {"greeks", greeks_json(t.greeks)},
                              {"events", Json::array()}});
    }
    return Json{{"from", run_json(e.from)}, {"to", run_json(e.to)}, {"order", kStepOrder},
                {"rows", rows},             {"totals", totals}};
}

void write_explain_csv(std::ostream& out, const Explanation& e) {
    out << "level,id,underlying,type,v1,v2,cash,total,time,spot,vol,rates,trades,theta,delta,gamma,vega,rho,"
           "carry_rho,unexplained,events,error_kind,error_message\n";
    const auto numbers = [&](double v1, double v2, double cash, double total, const Steps& s,
                             const std::optional<GreekSplit>& g) {
        out << exact(v1) << ',' << exact(v2) << ',' << exact(cash) << ',' << exact(total) << ',' << exact(s.time)
            << ',' << exact(s.spot) << ',' << exact(s.vol) << ',' << exact(s.rates) << ',' << exact(s.trades);
        if (g)
            out << ',' << exact(g->theta) << ',' << exact(g->delta) << ',' << exact(g->gamma) << ',' << exact(g->vega)
                << ',' << exact(g->rho) << ',' << exact(g->carry_rho) << ',' << exact(g->unexplained);
        else
            out << ",,,,,,,";
    };
    for (const auto& r : e.rows) {
        out << "contract," << csv_field(r.id) << ',' << csv_field(opt(r.underlying)) << ',' << csv_field(opt(r.type))
            << ',';
        if (r.ok()) {
            numbers(r.v1, r.v2, r.cash, r.total, r.steps, r.greeks);
        } else {
            out << ",,,,,,,,,,,,,,,";
        }
        std::string events;
        for (const auto& ev : r.events)
            events += (events.empty() ? "" : "; ") + utils::format_date(ev.date) + " " + ev.kind + " " + exact(ev.amount);
        out << ',' << csv_field(events) << ',';
        if (r.error) out << csv_field(r.error->kind) << ',' << csv_field(r.error->message);
        else out << ',';
        out << '\n';
    }
    for (const auto& t : e.totals) {
        out << (t.underlying ? "underlying," : "book,") << csv_field(t.underlying ? *t.underlying : "book") << ','
            << csv_field(opt(t.underlying)) << ",,";
        numbers(t.v1, t.v2, t.cash, t.total, t.steps, t.greeks);
        out << ",,,\n";
    }
}

void write_explain_table(std::ostream& out, const Explanation& e) {
    out << "P&L explained: run " << e.from.id << " (" << utils::format_date(e.from.evaluation_date) << ") to run "
        << e.to.id << " (" << utils::format_date(e.to.evaluation_date) << "), total = v2 - v1 + cash\n";
    out << "steps in order: " << kStepOrder << "\n\n";

    std::size_t w = std::string("contract").size();
    for (const auto& r : e.rows) w = std::max(w, r.id.size());
    for (const auto& t : e.totals) w = std::max(w, t.underlying ? t.underlying->size() + 2 : std::size_t{6});
    constexpr int kNum = 14;
    const auto head = [&](std::initializer_list<const char*> names) {
        out << std::left << std::setw(static_cast<int>(w)) << "contract" << std::right;
        for (const char* n : names) out << ' ' << std::setw(kNum) << n;
        out << '\n';
    };
    const auto cell = [&](double x) { out << ' ' << std::setw(kNum) << fixed(x, 4); };
    const auto name = [&](const std::string& s) { out << std::left << std::setw(static_cast<int>(w)) << s << std::right; };
    const auto total_name = [](const ExplainTotal& t) { return t.underlying ? "= " + *t.underlying : std::string("= book"); };

    head({"v1", "v2", "cash", "total", "time", "spot", "vol", "rates", "trades"});
    for (const auto& r : e.rows) {
        name(r.id);
        if (!r.ok()) {
            out << "  failed: " << r.error->kind << ": " << r.error->message << '\n';
            continue;
        }
        for (double x : {r.v1, r.v2, r.cash, r.total, r.steps.time, r.steps.spot, r.steps.vol, r.steps.rates,
                         r.steps.trades})
            cell(x);
        out << '\n';
    }
    for (const auto& t : e.totals) {
        name(total_name(t));
        for (double x : {t.v1, t.v2, t.cash, t.total, t.steps.time, t.steps.spot, t.steps.vol, t.steps.rates,
                         t.steps.trades})
            cell(x);
        if (t.failed) out << "  (" << t.failed << " failed, left out)";
        out << '\n';
    }

    out << "\nby the Greeks of run " << e.from.id << ": theta x days, delta x dS, 1/2 gamma/S x dS^2, vega x dvol, "
        << "-rho x dr, -carry_rho x dq (dvol, dr, dq at each contract's maturity, in points); "
        << "unexplained = total - trades - these\n";
    if (!e.from.greeks) {
        out << "(run " << e.from.id << " was saved without Greeks: save it with --greeks for this split)\n";
    } else {
        head({"total", "theta", "delta", "gamma", "vega", "rho", "carry_rho", "trades", "unexplained"});
        for (const auto& r : e.rows) {
            if (!r.ok() || !r.greeks) continue;
            name(r.id);
            const GreekSplit& g = *r.greeks;
            for (double x : {r.total, g.theta, g.delta, g.gamma, g.vega, g.rho, g.carry_rho, r.steps.trades,
                             g.unexplained})
                cell(x);
            out << '\n';
        }
        for (const auto& t : e.totals) {
            if (!t.greeks) continue;
            name(total_name(t));
            const GreekSplit& g = *t.greeks;
            for (double x : {t.total, g.theta, g.delta, g.gamma, g.vega, g.rho, g.carry_rho, t.steps.trades,
                             g.unexplained})
                cell(x);
            out << '\n';
        }
    }

    bool any = false;
    for (const auto& r : e.rows) {
        for (const auto& ev : r.events) {
            if (!any) out << "\nevents:\n";
            any = true;
            out << "  " << utils::format_date(ev.date) << "  " << std::left << std::setw(static_cast<int>(w)) << r.id
                << std::right << "  " << std::left << std::setw(10) << ev.kind << std::right << ' '
                << fixed(ev.amount, 4) << '\n';
        }
    }
}

namespace {

// v1, the steps, the cash paid out and v2 as a waterfall: the bars of v1
// and v2 from zero, each step floating from the running sum before it.
std::string waterfall(const std::string& title, const ExplainTotal& t) {
    struct Bar {
        const char* name;
        double from, to;
        bool level;
    };
    std::vector<Bar> bars;
    double run = t.v1;
    bars.push_back({"v1", 0, t.v1, true});
    for (const auto& [name, x] : {std::pair{"time", t.steps.time}, {"spot", t.steps.spot}, {"vol", t.steps.vol},
                                  {"rates", t.steps.rates}, {"trades", t.steps.trades}, {"cash", -t.cash}}) {
        bars.push_back({name, run, run + x, false});
        run += x;
    }
    bars.push_back({"v2", 0, t.v2, true});
    double lo = 0, hi = 0;
    for (const auto& b : bars) lo = std::min({lo, b.from, b.to}), hi = std::max({hi, b.from, b.to});
    if (hi - lo < 1e-12) hi = lo + 1;
    constexpr double W = 560, H = 220, L = 70, T = 24, B = 36;
    const double slot = (W - L - 10) / static_cast<double>(bars.size());
    const auto y = [&](double v) { return T + (H - T - B) * (hi - v) / (hi - lo); };
    std::ostringstream o;
    o << std::fixed << std::setprecision(1);
    o << "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " << W << ' ' << H << "\" width=\"" << W
      << "\" height=\"" << H << "\" role=\"img\" aria-label=\"" << html_escape(title) << "\">\n";
    o << "<text x=\"" << L << "\" y=\"16\" font-size=\"13\" font-weight=\"bold\">" << html_escape(title) << "</text>\n";
    o << "<line x1=\"" << L << "\" x2=\"" << (W - 10) << "\" y1=\"" << y(0) << "\" y2=\"" << y(0)
      << "\" stroke=\"#888\" stroke-width=\"0.5\"/>\n";
    for (int k = 0; k <= 4; ++k) {
        const double v = lo + (hi - lo) * k / 4.0;
        o << "<text x=\"" << (L - 4) << "\" y=\"" << (y(v) + 4) << "\" font-size=\"10\" text-anchor=\"end\">"
          << fixed(v, 1) << "</text>\n";
    }
    for (std::size_t i = 0; i < bars.size(); ++i) {
        const Bar& b = bars[i];
        const double x = L + slot * static_cast<double>(i) + slot * 0.15;
        const double top = y(std::max(b.from, b.to)), bottom = y(std::min(b.from, b.to));
        const char* colour = b.level ? "#1f5fa8" : (b.to >= b.from ? "#2a8a3a" : "#c33");
        o << "<rect x=\"" << x << "\" y=\"" << top << "\" width=\"" << slot * 0.7 << "\" height=\""
          << std::max(bottom - top, 0.5) << "\" fill=\"" << colour << "\"><title>" << b.name << ": "
          << fixed(b.to - b.from, 4) << "</title></rect>\n";
        o << "<text x=\"" << (x + slot * 0.35) << "\" y=\"" << (H - 20) << "\" font-size=\"10\" text-anchor=\"middle\">"
          << b.name << "</text>\n";
        o << "<text x=\"" << (x + slot * 0.35) << "\" y=\"" << (H - 8) << "\" font-size=\"9\" text-anchor=\"middle\">"
          << fixed(b.to - b.from, 2) << "</text>\n";
    }
    o << "</svg>\n";
    return o.str();
}

}  // namespace

std::string explain_html(const Explanation& e) {
    std::ostringstream s;
    s << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>P&amp;L explained</title>\n"
      << "<style>body{font-family:sans-serif;margin:24px;color:#222}pre{font-size:11px;overflow-x:auto}"
         ".charts{display:flex;flex-wrap:wrap;gap:12px}</style></head><body>\n";
    s << "<h1>P&amp;L explained: run " << e.from.id << " (" << utils::format_date(e.from.evaluation_date) << ") to run "
      << e.to.id << " (" << utils::format_date(e.to.evaluation_date) << ")</h1>\n";
    s << "<p>Steps in order: " << html_escape(kStepOrder) << ". Each bar of a step floats from the running sum; "
      << "the cash paid between the dates leaves before v2.</p>\n<div class=\"charts\">\n";
    for (const auto& t : e.totals) s << waterfall(t.underlying ? *t.underlying : "book", t);
    s << "</div>\n<h2>Contracts</h2>\n<pre>";
    std::ostringstream table;
    write_explain_table(table, e);
    s << html_escape(table.str()) << "</pre>\n</body></html>\n";
    return s.str();
}

void write_explain(std::ostream& out, const Explanation& e, book::BookFormat format) {
    switch (format) {
        case book::BookFormat::Json: out << explain_to_json(e).dump(2) << '\n'; break;
        case book::BookFormat::Csv: write_explain_csv(out, e); break;
        case book::BookFormat::Table: write_explain_table(out, e); break;
    }
}

}  // namespace kestrel::explain
