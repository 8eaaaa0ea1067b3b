#include <kestrel/book.hpp>
#include <kestrel/market/calibrated_surface.hpp>
#include <kestrel/notes/extras.hpp>

#include <heron/heron.hpp>
#include <kestrel/calendar.hpp>
#include <kestrel/errors.hpp>
#include <kestrel/kestrel.hpp>

#include <ql/errors.hpp>

#include <algorithm>
#include <filesystem>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <iomanip>
#include <map>
#include <ostream>
#include <sstream>

namespace kestrel::book {
namespace {

using Json = nlohmann::ordered_json;

double market_number(const Json& object, const std::string& where, const char* key) {
    const auto it = object.find(key);
    if (it == object.end()) throw KeyError(where + ": missing \"" + key + "\"");
    if (!it->is_number()) throw TypeError(where + ": \"" + key + "\" must be a number, not " + it->type_name());
    const double x = it->get<double>();
    if (!std::isfinite(x)) throw ValueError(where + ": \"" + key + "\" is not finite");
    return x;
}

// One curve's points: [[PILLAR, VALUE], ...], each entry named in errors.
std::vector<CurvePoint> curve_points(const Json& list, const std::string& where) {
    if (!list.is_array()) throw TypeError(where + ": \"curve\" must be a list of [PILLAR, VALUE] pairs");
    if (list.empty()) throw ValueError(where + ": the curve has no points");
    std::vector<CurvePoint> out;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const Json& e = list[i];
        const std::string entry = where + ": entry " + std::to_string(i + 1);
        if (!e.is_array() || e.size() != 2 || !e[0].is_string())
            throw TypeError(entry + " must be a [PILLAR, VALUE] pair with the pillar as text (\"3M\", \"2025-06-30\"), not " +
                            e.dump());
        if (!e[1].is_number()) throw TypeError(entry + ": the value must be a number, not " + e[1].dump());
        try {
            out.push_back({Pillar::parse(e[0].get<std::string>()), e[1].get<double>()});
        } catch (const ValueError& err) {
            throw ValueError(entry + ": " + err.message());
        }
    }
    return out;
}

template <class Curve>
Curve curve_from(const Json& object, const std::string& where, const char* key) {
    const auto it = object.find(key);
    if (it == object.end()) throw KeyError(where + ": missing \"" + key + "\"");
    const std::string field = where + ": \"" + key + "\"";
    if (it->is_number()) {
        const double x = it->get<double>();
        if (!std::isfinite(x)) throw ValueError(field + " is not finite");
        return Curve(x);
    }
    if (!it->is_object() || !it->contains("curve"))
        throw TypeError(field + " must be a number or {\"curve\": [[PILLAR, VALUE], ...]}, not " + it->dump());
    if (it->size() != 1) throw ValueError(field + ": a curve object holds \"curve\" only");
    auto points = curve_points((*it)["curve"], field);
    try {
        return Curve(std::move(points));
    } catch (const ValueError& e) {
        throw ValueError(field + ": " + e.message());
    }
}

// A "vol" of {"local": ...} or {"surface": ...}. The quotes are read here
// (a file once) and checked against their evaluation date when calibrated.
SurfaceInput surface_from(const Json& vol, const std::string& field, const std::string& base_dir) {
    SurfaceInput out;
    if (vol.size() != 1) throw ValueError(field + ": a \"local\" or \"surface\" object holds that key only");
    try {
        if (vol.contains("local")) {
            out.entry = vol::read_market_entry(nlohmann::json::parse(vol.dump()), QuantLib::Date::minDate(), base_dir);
            return out;
        }
        const Json& g = vol["surface"];
        if (!g.is_object()) throw TypeError("\"surface\" must be an object {\"expiries\", \"strikes\", \"vols\"}");
        for (const char* key : {"expiries", "strikes", "vols"})
            if (!g.contains(key) || !g[key].is_array() || g[key].empty())
                throw KeyError(std::string("\"surface\": \"") + key + "\" must be a non-empty list");
        out.grid = true;
        out.entry.settings.forwards = vol::ForwardSource::Market;
        for (const Json& e : g["expiries"]) {
            if (!e.is_string()) throw TypeError("\"surface\": an expiry must be a date or a tenor, not " + e.dump());
            out.expiries.push_back(Pillar::parse(e.get<std::string>()));
        }
        for (const Json& k : g["strikes"]) {
            if (!k.is_number()) throw TypeError("\"surface\": a strike must be a number, not " + k.dump());
            out.strikes.push_back(k.get<double>());
        }
        for (std::size_t i = 0; i < g["vols"].size(); ++i) {
            const Json& row = g["vols"][i];
            if (!row.is_array())
                throw TypeError("\"surface\": \"vols\" row " + std::to_string(i + 1) + " must be a list");
            std::vector<double> v;
            for (const Json& x : row) {
                if (!x.is_number())
                    throw TypeError("\"surface\": \"vols\" row " + std::to_string(i + 1) +
                                    " holds a non-number: " + x.dump());
                v.push_back(x.get<double>());
            }
            out.vols.push_back(std::move(v));
        }
        if (out.vols.size() != out.expiries.size())
            throw ValueError("\"surface\": \"vols\" has " + std::to_string(out.vols.size()) + " rows for " +
                             std::to_string(out.expiries.size()) + " expiries");
        return out;
    } catch (const Error& e) {
        throw ValueError(field + ": " + e.message());
    }
}

std::vector<std::pair<QuantLib::Date, double>> forwards_from(const Json& list, const std::string& field) {
    if (!list.is_array()) throw TypeError(field + ": \"forwards\" must be a list of [DATE, PRICE] pairs");
    if (list.empty()) throw ValueError(field + ": forwards: no prices");
    std::vector<std::pair<QuantLib::Date, double>> out;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const Json& e = list[i];
        const std::string entry = field + ": forwards: entry " + std::to_string(i + 1);
        if (!e.is_array() || e.size() != 2 || !e[0].is_string() || !e[1].is_number())
            throw TypeError(entry + " must be a [DATE, PRICE] pair (\"2024-01-19\", 5620.4), not " + e.dump());
        QuantLib::Date d;
        try {
            d = utils::parse_date(e[0].get<std::string>());
        } catch (const Error& err) {
            throw ValueError(entry + ": " + err.message());
        }
        const double price = e[1].get<double>();
        if (!std::isfinite(price) || price <= 0)
            throw ValueError(entry + " (" + e[0].get<std::string>() + "): a forward price must be positive and finite, got " +
                             e[1].dump());
        if (!out.empty() && d <= out.back().first)
            throw ValueError(entry + " (" + e[0].get<std::string>() +
                             "): not after the entry before it: dates must be in order, each once");
        out.emplace_back(d, price);
    }
    return out;
}

// The outputs' number and text forms.
constexpr auto exact = utils::format_exact;
constexpr auto fixed = utils::format_fixed;
using utils::csv_field;

// The text of a term that should be text, for display ("" when absent).
std::optional<std::string> text_term(const Json& contract, const char* key) {
    const auto it = contract.find(key);
    if (it == contract.end() || it->is_null()) return std::nullopt;
    if (it->is_string()) return it->get<std::string>();
    return it->dump();
}

const char* source_name(SpotSource s) { return s == SpotSource::Store ? "store" : "market"; }

// Spots read from the store, one request per underlying and book.
class SpotCache {
  public:
    explicit SpotCache(const QuantLib::Date& date) : date_(date) {}

    double get(const std::string& underlying) {
        auto it = cache_.find(underlying);
        if (it == cache_.end()) {
            it = cache_.emplace(underlying, fetch(underlying)).first;
            if (!it->second) missing_.push_back(underlying);
        }
        if (!it->second) {
            throw ValueError("no spot for " + underlying + ": the market gives none and the store has no \"pre\" close on " +
                             utils::format_date(date_));
        }
        return *it->second;
    }

    // Underlyings without a close, in order of first use.
    const std::vector<std::string>& missing() const noexcept { return missing_; }

  private:
    std::optional<double> fetch(const std::string& underlying) const {
        const auto table = heron::get_price(underlying, date_, date_, "close", "pre", true);
        if (!table || table->empty()) return std::nullopt;
        const auto frame = table->droplevel("order_book_id");
        if (!frame.contains(date_)) return std::nullopt;
        const double close = frame.at(date_, "close");
        if (!std::isfinite(close) || close <= 0) return std::nullopt;
        return close;
    }

    QuantLib::Date date_;
    std::map<std::string, std::optional<double>> cache_;
    std::vector<std::string> missing_;
};

std::string join_names(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& n : names) out += (out.empty() ? "" : ", ") + n;
    return out;
}

void check_finite(const OptionGreeks& g, bool greeks) {
    for (std::size_t i = 0; i < (greeks ? OptionGreeks::size() : 1); ++i) {
        if (!std::isfinite(g[i])) {
            throw ValueError(std::string("the valuation gave a non-finite ") + OptionGreeks::field_names[i] + " (" +
                             exact(g[i]) + ")");
        }
    }
}


// Values one contract into `row` (its id, type and underlying already set).
void value_contract(BookRow& row, const Json& contract, const BookMarket& market, SpotCache& spots,
                    const BookOptions& options) {
    const Terms terms = contract_terms(contract, market, options);
    const auto option = make_option(terms);
    const std::string underlying = terms.at("underlying").to_string();
    const UnderlyingMarket* m = market.find(underlying);
    if (!m) throw ValueError("the market has no inputs for underlying " + underlying);
    if (m->spot) {
        row.spot = *m->spot;
        row.spot_source = SpotSource::Market;
    } else {
        row.spot = spots.get(underlying);
        row.spot_source = SpotSource::Store;
    }
    const EvalDate date = utils::DateInput(options.evaluation_date);
    row.projected_years = projected_years_of(option->effect_date(), option->maturity_date(), options.evaluation_date);
    const Market mk = market.market_of(underlying, row.spot, options.evaluation_date);
    // A market of plain numbers goes through the plain-number entry points:
    // the notes' own Greeks answer there.
    const bool flat = mk.is_flat();
    const double r = flat ? mk.r.number() : 0, vol = flat ? mk.vol.number() : 0, q = flat ? mk.q.number() : 0;
    if (options.greeks) {
        row.value = flat ? option->greeks(row.spot, r, vol, q, date) : option->greeks(mk, date);
        // The autocallable notes report gamma as d2V/dS2, every other product
        // as spot x d2V/dS2. The book shows the latter on every row so that
        // the column adds up per underlying.
        if (detail::as_note(*option)) row.value.gamma = spot_gamma(row.value.gamma, row.spot);
        row.carry_rho = flat ? option->carry_rho(row.spot, r, vol, q, date) : option->carry_rho(mk, date);
        if (!std::isfinite(row.carry_rho))
            throw ValueError("the valuation gave a non-finite carry_rho (" + exact(row.carry_rho) + ")");
    } else {
        row.value = OptionGreeks{};
        row.value.npv = flat ? option->npv(row.spot, r, vol, q, date) : option->npv(mk, date);
    }
    check_finite(row.value, options.greeks);
    if (options.bucketed && mk.vol.has_surface()) {
        const auto& surface = *mk.vol.surface();
        const auto times = surface.expiry_times();
        for (std::size_t i = 0; i < times.size(); ++i) {
            const double up = option->npv(mk.with_vol_shift(i, kVolBump), date);
            const double down = option->npv(mk.with_vol_shift(i, -kVolBump), date);
            const double v = (up - down) / 2;
            if (!std::isfinite(v)) throw ValueError("the valuation gave a non-finite bucketed vega");
            row.bucketed_vega.emplace_back(
                surface.reference_date() + static_cast<QuantLib::Date::serial_type>(std::lround(times[i] * 365.0)), v);
        }
    }
    // A note's statistics: counts over the simulated paths on mc and qmc,
    // probabilities from the backward solution on pde (standard error 0).
    const AutocallableNote* note = detail::as_note(*option);
    if (options.stats && note) {
        if (const auto s = flat ? detail::note_statistics(*option, row.spot, r, vol, q, date)
                                : detail::note_statistics(*option, mk, date))
            row.stats = RowStats{s->standard_error, s->ko_total, s->ki_probability, s->expected_life};
    }
}

constexpr std::array<const char*, 4> kStatNames{"standard_error", "ko_probability", "ki_probability", "expected_life"};

double stat(const RowStats& s, std::size_t i) {
    return i == 0 ? s.standard_error : i == 1 ? s.ko_probability : i == 2 ? s.ki_probability : s.expected_life;
}

void add_to(BookTotal& t, const BookRow& row) {
    ++t.contracts;
    if (!row.ok()) {
        ++t.failed;
        return;
    }
    t.sum.npv += row.value.npv;
    t.sum.delta += row.value.delta;
    t.sum.gamma += row.value.gamma;
    t.sum.vega += row.value.vega;
    t.sum.theta += row.value.theta;
    t.sum.rho += row.value.rho;
    t.carry_rho += row.carry_rho;
    for (const auto& bucket : row.bucketed_vega) {
        auto it = std::find_if(t.bucketed_vega.begin(), t.bucketed_vega.end(),
                               [&](const auto& b) { return b.first == bucket.first; });
        if (it == t.bucketed_vega.end()) {
            t.bucketed_vega.emplace_back(bucket.first, 0.0);
            it = t.bucketed_vega.end() - 1;
        }
        it->second += bucket.second;
    }
}

std::string one_line(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

}  // namespace

// ------------------------------------------------------------------ market

double UnderlyingMarket::lowest_vol() const {
    if (surface) return 0.0;
    if (vol.is_number()) return vol.number();
    double low = vol.points().front().value;
    for (const auto& p : vol.points()) low = std::min(low, p.value);
    return low;
}

const UnderlyingMarket* BookMarket::find(const std::string& underlying) const noexcept {
    for (const auto& [name, m] : underlyings)
        if (name == underlying) return &m;
    return nullptr;
}

std::string BookMarket::engine_for(const std::string& type) const {
    for (const auto& [t, engine] : engines)
        if (t == type) return engine;
    return {};
}

BookMarket BookMarket::from_json(const Json& market, const std::string& source) {
    if (!market.is_object()) throw TypeError(source + ": the market must be a JSON object, not " + market.type_name());
    BookMarket out;
    out.source = source;
    out.r = curve_from<RateCurve>(market, source, "r");
    const auto it = market.find("underlyings");
    if (it == market.end()) throw KeyError(source + ": missing \"underlyings\"");
    if (!it->is_object()) throw TypeError(source + ": \"underlyings\" must be an object of underlying ids");
    for (auto u = it->begin(); u != it->end(); ++u) {
        const std::string where = source + ": " + u.key();
        if (!u->is_object()) throw TypeError(where + " must be an object with \"vol\", \"q\" and optionally \"spot\"");
        UnderlyingMarket m;
        if (const auto v = u->find("vol");
            v != u->end() && v->is_object() && (v->contains("local") || v->contains("surface"))) {
            const auto dir = std::filesystem::path(source).parent_path();
            m.surface = surface_from(*v, where + ": \"vol\"", dir.empty() ? "." : dir.string());
        } else {
            m.vol = curve_from<VolCurve>(*u, where, "vol");
        }
        if (m.vol.is_number() && m.vol.number() < 0)
            throw ValueError(where + ": \"vol\" must not be negative, not " + exact(m.vol.number()));
        const auto q = u->find("q");
        if (q != u->end() && q->is_object() && q->contains("forwards")) {
            if (q->size() != 1) throw ValueError(where + ": \"q\": a forwards object holds \"forwards\" only");
            m.forwards = forwards_from((*q)["forwards"], where + ": \"q\"");
        } else {
            m.q = curve_from<RateCurve>(*u, where, "q");
        }
        if (u->contains("spot") && !(*u)["spot"].is_null()) {
            m.spot = market_number(*u, where, "spot");
            if (*m.spot <= 0) throw ValueError(where + ": \"spot\" must be positive, not " + exact(*m.spot));
        }
        out.underlyings.emplace_back(u.key(), m);
    }
    if (const auto e = market.find("engines"); e != market.end()) {
        if (!e->is_object()) throw TypeError(source + ": \"engines\" must be an object {TYPE: ENGINE}");
        const auto types = known_types();
        for (auto t = e->begin(); t != e->end(); ++t) {
            const std::string where = source + ": \"engines\": " + t.key();
            if (t.key() != "snowball" && t.key() != "phoenix" && t.key() != "asian") {
                if (std::find(types.begin(), types.end(), t.key()) == types.end())
                    throw ValueError(where + ": unknown product type");
                throw ValueError(where +
                                 ": this product type takes no engine choice (only snowball, phoenix and asian do)");
            }
            if (!t->is_string()) throw TypeError(where + ": the engine must be text (" + t->dump() + ")");
            const std::string engine = t->get<std::string>();
            std::vector<std::string> names = note_engines();
            if (t.key() == "asian") {
                // The arithmetic average's engines (a geometric one keeps its closed form).
                names = AsianOption::engine_names();
                names.erase(std::find(names.begin(), names.end(), "analytic"));
            }
            if (std::find(names.begin(), names.end(), engine) == names.end())
                throw ValueError(where + ": unknown engine \"" + engine + "\" (known: " + join_names(names) + ")");
            out.engines.emplace_back(t.key(), engine);
        }
    }
    return out;
}

void BookMarket::check(const QuantLib::Date& evaluation_date) const {
    const auto resolve = [&](const auto& curve, const std::string& field) {
        if (curve.is_number()) return;
        try {
            (void)curve.resolve(evaluation_date);
        } catch (const ValueError& e) {
            throw ValueError(field + ": " + e.message() + " (on " + utils::format_date(evaluation_date) + ")");
        }
    };
    resolve(r, source + ": \"r\"");
    for (const auto& [name, m] : underlyings) {
        const std::string where = source + ": " + name;
        if (m.surface && !m.surface->grid) {
            try {
                vol::check_quotes(m.surface->entry.quotes, evaluation_date, "quotes");
            } catch (const Error& e) {
                throw ValueError(where + ": \"vol\": " + e.message() + " (on " + utils::format_date(evaluation_date) + ")");
            }
        }
        if (!m.surface) resolve(m.vol, where + ": \"vol\"");
        if (m.forwards.empty()) {
            resolve(m.q, where + ": \"q\"");
            continue;
        }
        for (std::size_t i = 0; i < m.forwards.size(); ++i)
            if (m.forwards[i].first <= evaluation_date)
                throw ValueError(where + ": \"q\": forwards: entry " + std::to_string(i + 1) + " (" +
                                 utils::format_date(m.forwards[i].first) + ") is not after the evaluation date " +
                                 utils::format_date(evaluation_date));
    }
}

Market BookMarket::market_of(const std::string& underlying, double spot, const QuantLib::Date& evaluation_date) const {
    const UnderlyingMarket* m = find(underlying);
    if (!m) throw KeyError(source + ": no market for underlying " + underlying);
    Market out;
    if (m->forwards.empty()) {
        out = Market(spot, r, m->vol, m->q);
    } else {
        try {
            out = Market(spot, r, m->vol, implied_carry(m->forwards, r, spot, evaluation_date));
        } catch (const ValueError& e) {
            throw ValueError(source + ": " + underlying + ": \"q\": " + e.message());
        }
    }
    if (!m->surface) return out;
    const auto key = std::make_tuple(underlying, static_cast<int>(evaluation_date.serialNumber()), spot);
    std::lock_guard<std::mutex> lock(surfaces->mutex);
    auto it = surfaces->made.find(key);
    if (it == surfaces->made.end()) {
        const SurfaceInput& in = *m->surface;
        std::shared_ptr<const vol::CalibratedSurface> made;
        try {
            std::vector<vol::OptionQuote> quotes = in.entry.quotes;
            if (in.grid) {
                std::vector<QuantLib::Date> expiries;
                for (const Pillar& p : in.expiries) expiries.push_back(p.date(evaluation_date));
                quotes = vol::grid_quotes(expiries, in.strikes, in.vols, out, evaluation_date);
            }
            made = vol::CalibratedSurface::calibrate(std::move(quotes), out, evaluation_date, in.entry.settings);
        } catch (const Error& e) {
            throw ValueError(source + ": " + underlying + ": \"vol\": calibration: " + e.message());
        }
        it = surfaces->made.emplace(key, std::move(made)).first;
    }
    out.vol = VolCurve(it->second);
    // Forwards from the quotes: the carry is the options' own.
    if (!m->surface->grid && m->surface->entry.settings.forwards == vol::ForwardSource::Parity)
        out.q = static_cast<const vol::CalibratedSurface&>(*it->second).implied_carry();
    return out;
}

Terms contract_terms(const Json& contract, const BookMarket& market, const BookOptions& options) {
    Terms terms = Terms::from_json(contract);
    const Value* type = terms.find("type");
    const bool asian = type && type->is_text() && type->as_text("type") == "asian";
    if (asian) {
        // The market's engine for an arithmetic average that names none.
        const std::string engine = market.engine_for("asian");
        const Value* average = terms.find("average_type");
        const bool geometric = average && average->is_text() && average->as_text("average_type") == "geometric";
        if (!engine.empty() && !geometric && !terms.contains("engine")) terms.set("engine", engine);
    }
    std::string engine = options.engine;
    if (engine.empty() && !asian && type && type->is_text()) engine = market.engine_for(type->as_text("type"));
    return with_note_engine(std::move(terms), engine);
}

// ------------------------------------------------------------------ valuation

std::string BookRow::label() const { return id ? *id : "(contract " + std::to_string(position) + ")"; }

std::size_t BookResult::failed() const noexcept {
    return static_cast<std::size_t>(std::count_if(rows.begin(), rows.end(), [](const BookRow& r) { return !r.ok(); }));
}

RowError describe_error(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const kestrel::Error& e) {
        return {e.kind(), one_line(e.what())};
    } catch (const QuantLib::Error& e) {
        return {"QuantLib", one_line(e.what())};
    } catch (const std::exception& e) {
        return {"Error", one_line(e.what())};
    } catch (...) {
        return {"Error", "unknown failure"};
    }
}

std::vector<BookRow> book_rows(const Json& book) {
    if (!book.is_array()) throw TypeError(std::string("a book must be a JSON array of contracts, not ") + book.type_name());
    std::vector<BookRow> rows;
    std::map<std::string, std::size_t> seen;  // id -> first position

    const std::size_t n = book.size();
    for (std::size_t i = 0; i < n; ++i) {
        const Json& contract = book[i];
        BookRow row;
        row.position = i + 1;
        try {
            if (!contract.is_object()) {
                throw TypeError("contract " + std::to_string(row.position) + " of the book is not a JSON object but " +
                                contract.type_name());
            }
            row.type = text_term(contract, "type");
            row.underlying = text_term(contract, "underlying");
            const auto id = contract.find("id");
            if (id == contract.end() || id->is_null()) throw KeyError("id");
            if (id->is_string()) {
                row.id = id->get<std::string>();
            } else if (id->is_number_integer()) {
                row.id = id->dump();
            } else {
                throw TypeError(std::string("id: must be text or an integer, not ") + id->type_name());
            }
            if (row.id->empty()) throw ValueError("id: empty");
            const auto [first, fresh] = seen.emplace(*row.id, row.position);
            if (!fresh) {
                throw ValueError("duplicate id \"" + *row.id + "\": contract " + std::to_string(first->second) +
                                 " of the book has it too");
            }
        } catch (...) {
            row.error = describe_error(std::current_exception());
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<std::string> value_rows(std::vector<BookRow>& rows, const std::vector<const Json*>& contracts,
                                    const BookMarket& market, const BookOptions& options) {
    if (contracts.size() != rows.size()) {
        throw ValueError("value_rows: " + std::to_string(rows.size()) + " rows but " +
                         std::to_string(contracts.size()) + " contracts");
    }
    market.check(options.evaluation_date);
    // The contracts' schedules follow the closures of the store they value on
    // (installed for this thread: work handed to other threads takes
    // calendar::holidays_in_force() with it).
    const calendar::ScopedClosures closures(heron::official_closures());
    SpotCache spots(options.evaluation_date);
    const std::size_t n = rows.size();
    for (std::size_t i = 0; i < n; ++i) {
        BookRow& row = rows[i];
        if (row.ok()) {
            try {
                if (!contracts[i]) throw ValueError("value_rows: no contract for " + row.label());
                value_contract(row, *contracts[i], market, spots, options);
            } catch (...) {
                row.error = describe_error(std::current_exception());
                row.value = OptionGreeks{};
                row.stats.reset();
                row.bucketed_vega.clear();
            }
        }
        if (options.progress) options.progress(i + 1, n);
    }
    return spots.missing();
}

BookResult value_book(const Json& book, const BookMarket& market, const BookOptions& options) {
    BookResult result;
    result.evaluation_date = options.evaluation_date;
    result.greeks = options.greeks;
    result.stats = options.stats;
    result.bucketed = options.bucketed;
    result.rows = book_rows(book);
    std::vector<const Json*> contracts;
    contracts.reserve(book.size());
    for (const auto& contract : book) contracts.push_back(&contract);
    result.missing_spots = value_rows(result.rows, contracts, market, options);
    result.totals = book_totals(result.rows);
    return result;
}

std::string missing_spot_hint(const BookResult& result) {
    if (result.missing_spots.empty()) return {};
    const QuantLib::Date& date = result.evaluation_date;
    // Underlyings by the last (or first) day of their closes, in date order.
    std::map<QuantLib::Date, std::vector<std::string>> end_before, begin_after;
    std::vector<std::string> none, gap;
    for (const auto& u : result.missing_spots) {
        std::optional<heron::PriceTable> closes;
        try {
            closes = heron::get_price(u, QuantLib::Date::minDate(), QuantLib::Date::maxDate(), "close", "pre", true);
        } catch (...) {
            closes.reset();  // the rows already carry the store's own error
        }
        if (!closes || closes->empty()) none.push_back(u);
        else if (closes->dates().back() < date) end_before[closes->dates().back()].push_back(u);
        else if (closes->dates().front() > date) begin_after[closes->dates().front()].push_back(u);
        else gap.push_back(u);
    }
    const std::string day = utils::format_date(date);
    std::vector<std::string> parts;
    const auto dated = [&](const std::map<QuantLib::Date, std::vector<std::string>>& by_date, const char* verb,
                           const char* side) {
        if (by_date.empty()) return;
        std::string part = std::string("the store's \"pre\" closes ") + verb + " on ";
        std::size_t k = 0;
        for (const auto& [d, names] : by_date)
            part += std::string(k++ ? " and " : "") + utils::format_date(d) + " (" + join_names(names) + ")";
        parts.push_back(part + ", " + side + " " + day);
    };
    dated(end_before, "end", "before");
    dated(begin_after, "begin", "after");
    if (!gap.empty()) parts.push_back("the store has no \"pre\" close on " + day + " for " + join_names(gap));
    if (!none.empty()) parts.push_back("the store has no \"pre\" closes of " + join_names(none) + " at all");
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i) text += (i ? "; " : "") + parts[i];
    text += ": pass --date ";
    if (!end_before.empty() && begin_after.empty()) {
        text += utils::format_date(end_before.begin()->first) + " (or an earlier trading day)";
    } else {
        text += "YYYY-MM-DD, a trading day with closes,";
    }
    return text + " or give each underlying a \"spot\" in the market file";
}

std::vector<BookTotal> book_totals(const std::vector<BookRow>& rows) {
    std::vector<BookTotal> totals;
    BookTotal book;
    for (const auto& row : rows) {
        add_to(book, row);
        if (!row.underlying) continue;
        auto it = std::find_if(totals.begin(), totals.end(),
                               [&](const BookTotal& t) { return t.underlying == row.underlying; });
        if (it == totals.end()) {
            totals.push_back(BookTotal{});
            it = totals.end() - 1;
            it->underlying = row.underlying;
        }
        add_to(*it, row);
    }
    // Delta and gamma only add up within one underlying.
    std::size_t valued_underlyings = 0;
    for (const auto& t : totals) valued_underlyings += t.contracts > t.failed ? 1 : 0;
    book.has_delta_gamma = valued_underlyings <= 1;
    if (!book.has_delta_gamma) book.sum.delta = book.sum.gamma = 0;
    totals.push_back(book);
    return totals;
}

// ------------------------------------------------------------------ output

BookFormat parse_book_format(const std::string& text) {
    if (text == "table") return BookFormat::Table;
    if (text == "csv") return BookFormat::Csv;
    if (text == "json") return BookFormat::Json;
    throw ValueError("unknown output format: " + text + " (table, csv or json)");
}

void write_book(std::ostream& out, const BookResult& result, BookFormat format) {
    switch (format) {
        case BookFormat::Table: write_table(out, result); break;
        case BookFormat::Csv: write_csv(out, result); break;
        case BookFormat::Json: out << book_to_json(result).dump(2) << '\n'; break;
    }
}

namespace {
Json bucketed_json(const std::vector<std::pair<QuantLib::Date, double>>& buckets) {
    Json out = Json::array();
    for (const auto& [expiry, v] : buckets) out.push_back(Json{{"expiry", utils::format_date(expiry)}, {"vega", v}});
    return out;
}
}  // namespace

Json book_to_json(const BookResult& result) {
    const std::size_t fields = result.greeks ? OptionGreeks::size() : 1;
    Json rows = Json::array();
    for (const auto& row : result.rows) {
        Json j = Json::object();
        j["id"] = row.id ? Json(*row.id) : Json(nullptr);
        j["type"] = row.type ? Json(*row.type) : Json(nullptr);
        if (row.ok()) {
            j["underlying"] = row.underlying ? Json(*row.underlying) : Json(nullptr);
            for (std::size_t i = 0; i < fields; ++i) j[OptionGreeks::field_names[i]] = row.value[i];
            if (result.greeks) j["carry_rho"] = row.carry_rho;
            if (result.stats)
                for (std::size_t i = 0; i < kStatNames.size(); ++i)
                    j[kStatNames[i]] = row.stats ? Json(stat(*row.stats, i)) : Json(nullptr);
            j["spot"] = row.spot;
            j["spot_source"] = source_name(row.spot_source);
            if (!row.projected_years.empty()) j["projected_calendar"] = row.projected_years;
            if (!row.bucketed_vega.empty()) j["bucketed_vega"] = bucketed_json(row.bucketed_vega);
        } else {
            j["error"] = Json{{"kind", row.error->kind}, {"message", row.error->message}};
        }
        rows.push_back(std::move(j));
    }
    Json totals = Json::array();
    for (const auto& t : result.totals) {
        Json j = Json::object();
        j["scope"] = t.underlying ? "underlying" : "book";
        if (t.underlying) j["underlying"] = *t.underlying;
        j["contracts"] = t.contracts;
        j["failed"] = t.failed;
        for (std::size_t i = 0; i < fields; ++i) {
            const bool blank = !t.has_delta_gamma && (i == 1 || i == 2);
            j[OptionGreeks::field_names[i]] = blank ? Json(nullptr) : Json(t.sum[i]);
        }
        if (result.greeks) j["carry_rho"] = t.carry_rho;
        if (!t.bucketed_vega.empty()) j["bucketed_vega"] = bucketed_json(t.bucketed_vega);
        totals.push_back(std::move(j));
    }
    Json out = Json::object();
    out["rows"] = std::move(rows);
    out["totals"] = std::move(totals);
    return out;
}

void write_csv(std::ostream& out, const BookResult& result) {
    const std::size_t fields = result.greeks ? OptionGreeks::size() : 1;
    out << "record,id,type,underlying";
    for (std::size_t i = 0; i < fields; ++i) out << ',' << OptionGreeks::field_names[i];
    if (result.greeks) out << ",carry_rho";
    if (result.stats)
        for (const char* name : kStatNames) out << ',' << name;
    out << ",spot,spot_source,contracts,failed,error_kind,error_message\n";
    for (const auto& row : result.rows) {
        out << "contract," << csv_field(row.id.value_or("")) << ',' << csv_field(row.type.value_or("")) << ','
            << csv_field(row.underlying.value_or(""));
        for (std::size_t i = 0; i < fields; ++i) out << ',' << (row.ok() ? exact(row.value[i]) : "");
        if (result.greeks) out << ',' << (row.ok() ? exact(row.carry_rho) : "");
        if (result.stats)
            for (std::size_t i = 0; i < kStatNames.size(); ++i)
                out << ',' << (row.stats ? exact(stat(*row.stats, i)) : "");
        if (row.ok()) {
            out << ',' << exact(row.spot) << ',' << source_name(row.spot_source) << ",,,,\n";
        } else {
            out << ",,,,," << csv_field(row.error->kind) << ',' << csv_field(row.error->message) << '\n';
        }
    }
    for (const auto& t : result.totals) {
        out << "total,,," << csv_field(t.underlying.value_or(""));
        for (std::size_t i = 0; i < fields; ++i) {
            const bool blank = !t.has_delta_gamma && (i == 1 || i == 2);
            out << ',' << (blank ? "" : exact(t.sum[i]));
        }
        if (result.greeks) out << ',' << exact(t.carry_rho);
        if (result.stats) out << std::string(kStatNames.size(), ',');
        out << ",,," << t.contracts << ',' << t.failed << ",,\n";
    }
    if (!result.bucketed) return;
    out << "\nrecord,id,underlying,expiry,vega\n";
    for (const auto& row : result.rows)
        for (const auto& [expiry, v] : row.bucketed_vega)
            out << "bucketed," << csv_field(row.id.value_or("")) << ',' << csv_field(row.underlying.value_or("")) << ','
                << utils::format_date(expiry) << ',' << exact(v) << '\n';
    for (const auto& t : result.totals)
        if (t.underlying)
            for (const auto& [expiry, v] : t.bucketed_vega)
                out << "bucketed_total,," << csv_field(*t.underlying) << ',' << utils::format_date(expiry) << ','
                    << exact(v) << '\n';
}

void write_table(std::ostream& out, const BookResult& result) {
    const std::size_t fields = result.greeks ? OptionGreeks::size() : 1;
    // Columns: id, type, underlying, spot, the value fields, then a note.
    std::vector<std::string> header{"id", "type", "underlying", "spot"};
    for (std::size_t i = 0; i < fields; ++i) header.push_back(OptionGreeks::field_names[i]);
    if (result.greeks) header.push_back("carry_rho");
    if (result.stats)
        for (const char* name : kStatNames) header.push_back(name);
    const std::size_t numeric_from = 3;

    std::vector<std::vector<std::string>> lines;
    std::vector<std::string> notes;
    bool any_store_spot = false;
    std::vector<int> projected;
    for (const auto& row : result.rows) {
        if (row.ok()) projected.insert(projected.end(), row.projected_years.begin(), row.projected_years.end());
        std::vector<std::string> cells{row.label(), row.type.value_or("-"), row.underlying.value_or("-")};
        if (row.ok()) {
            const bool store = row.spot_source == SpotSource::Store;
            any_store_spot = any_store_spot || store;
            cells.push_back(fixed(row.spot, 4) + (store ? "*" : " "));
            for (std::size_t i = 0; i < fields; ++i) cells.push_back(fixed(row.value[i], 4));
            if (result.greeks) cells.push_back(fixed(row.carry_rho, 4));
            if (result.stats)
                for (std::size_t i = 0; i < kStatNames.size(); ++i)
                    cells.push_back(row.stats ? fixed(stat(*row.stats, i), 4) : "-");
            notes.push_back(row.projected_years.empty() ? "" : "(projected calendar)");
        } else {
            cells.emplace_back();
            for (std::size_t i = 0; i < fields; ++i) cells.emplace_back();
            if (result.greeks) cells.emplace_back();
            if (result.stats)
                for (std::size_t i = 0; i < kStatNames.size(); ++i) cells.emplace_back();
            notes.push_back(row.error->kind + ": " + row.error->message);
        }
        lines.push_back(std::move(cells));
    }
    const std::size_t first_total = lines.size();
    for (const auto& t : result.totals) {
        std::vector<std::string> cells{t.underlying ? "total" : "total book", "", t.underlying.value_or(""), ""};
        for (std::size_t i = 0; i < fields; ++i) {
            const bool blank = !t.has_delta_gamma && (i == 1 || i == 2);
            cells.push_back(blank ? "-" : fixed(t.sum[i], 4));
        }
        if (result.greeks) cells.push_back(fixed(t.carry_rho, 4));
        if (result.stats)
            for (std::size_t i = 0; i < kStatNames.size(); ++i) cells.emplace_back();
        lines.push_back(std::move(cells));
        const std::string count = std::to_string(t.contracts) + (t.contracts == 1 ? " contract" : " contracts");
        notes.push_back(t.failed ? count + ", " + std::to_string(t.failed) + " failed (not in the total)" : count);
    }

    std::vector<std::size_t> width(header.size());
    for (std::size_t c = 0; c < header.size(); ++c) {
        width[c] = header[c].size();
        for (const auto& l : lines) width[c] = std::max(width[c], l[c].size());
    }
    const auto put = [&](const std::vector<std::string>& cells, const std::string& note) {
        std::string line;
        for (std::size_t c = 0; c < cells.size(); ++c) {
            const std::size_t pad = width[c] - cells[c].size();
            if (c) line += "  ";
            if (c >= numeric_from) {
                line += std::string(pad, ' ') + cells[c];
            } else {
                line += cells[c] + std::string(pad, ' ');
            }
        }
        if (!note.empty()) line += "  " + note;
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out << line << '\n';
    };
    std::size_t rule = 0;
    for (auto w : width) rule += w + 2;

    out << "book valued as of " << utils::format_date(result.evaluation_date) << ": " << result.rows.size()
        << (result.rows.size() == 1 ? " contract" : " contracts") << ", " << result.failed() << " failed\n\n";
    put(header, "");
    out << std::string(rule - 2, '-') << '\n';
    for (std::size_t l = 0; l < lines.size(); ++l) {
        if (l == first_total) out << std::string(rule - 2, '-') << '\n';
        put(lines[l], notes[l]);
    }
    if (any_store_spot) {
        out << "\n* spot: the underlying's adjusted (\"pre\") close on " << utils::format_date(result.evaluation_date)
            << " from the price store\n";
    }
    if (!projected.empty()) {
        std::sort(projected.begin(), projected.end());
        projected.erase(std::unique(projected.begin(), projected.end()), projected.end());
        out << "\n(projected calendar): the schedule runs through " << years_text(projected)
            << ", whose exchange closures are projected by the holiday rules, not published\n";
    }
    if (result.greeks) {
        out << "delta per unit of spot; gamma = spot x d2V/dS2; vega per volatility point; theta per calendar day; "
               "rho and carry_rho per percentage point of r and of q\n";
    }
    if (result.stats) {
        out << "standard_error: of npv (Monte Carlo); ko_probability: of knocking out on a remaining date; "
               "ki_probability: of reaching maturity knocked in; "
               "expected_life: years to knock-out or maturity\n";
    }
    if (!result.bucketed) return;
    // Bucketed vega: one line per contract and per underlying's total.
    bool titled = false;
    auto bucket_line = [&](const std::string& who, const std::string& underlying,
                           const std::vector<std::pair<QuantLib::Date, double>>& buckets) {
        if (buckets.empty()) return;
        if (!titled) out << "\nvega by quoted expiry (each expiry's quotes moved alone, recalibrated):\n";
        titled = true;
        double sum = 0;
        out << "  " << who << " (" << underlying << "):";
        for (const auto& [expiry, v] : buckets) {
            out << "  " << utils::format_date(expiry) << ' ' << fixed(v, 4);
            sum += v;
        }
        out << "  sum " << fixed(sum, 4) << '\n';
    };
    for (const auto& row : result.rows)
        if (row.ok()) bucket_line(row.label(), row.underlying.value_or("-"), row.bucketed_vega);
    for (const auto& t : result.totals)
        if (t.underlying) bucket_line("total", *t.underlying, t.bucketed_vega);
}

std::string progress_line(std::size_t done, std::size_t total, double elapsed_seconds, std::size_t width) {
    const std::size_t filled = total ? std::min(width, done * width / total) : width;
    // Appended piece by piece: g++ 12 warns (-Wrestrict, wrongly) on "[" + std::string(...).
    std::string line(1, '[');
    line.append(filled, '#').append(width - filled, '.');
    line += "]  " + std::to_string(done) + "/" + std::to_string(total) + "  elapsed " + fixed(elapsed_seconds, 1) + " s";
    if (done > 0 && done < total) {
        const double left = elapsed_seconds / static_cast<double>(done) * static_cast<double>(total - done);
        line += "  left ~" + fixed(left, 1) + " s";
    }
    return line;
}

std::vector<int> projected_years_of(const QuantLib::Date& effect, const QuantLib::Date& maturity,
                                    const QuantLib::Date& evaluation) {
    return calendar::projected_years(std::min(effect, evaluation), maturity);
}

std::string years_text(const std::vector<int>& years) {
    if (years.empty()) return "";
    const std::string first = std::to_string(years.front());
    return years.size() == 1 ? first : first + "-" + std::to_string(years.back());
}

}  // namespace kestrel::book
