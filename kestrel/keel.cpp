#include <heron/heron.hpp>
#include <kestrel/keel.hpp>

#include <nlohmann/json.hpp>

#include <cmath>
#include <iomanip>
#include <limits>
#include <ostream>
#include <sstream>

namespace kestrel {

// ---------------------------------------------------------------- Value

const char* Value::kind() const noexcept {
    switch (v_.index()) {
        case 0: return "none";
        case 1: return "bool";
        case 2: return "integer";
        case 3: return "float";
        case 4: return "text";
        case 5: return "date";
        default: return "list";
    }
}

namespace {
[[noreturn]] void wrong_kind(std::string_view key, const char* expected, const Value& v) {
    throw TypeError(std::string(key) + ": expected " + expected + ", got " + v.kind() + " (" + v.to_string() + ")");
}
}  // namespace

double Value::as_number(std::string_view key) const {
    if (const auto* i = std::get_if<std::int64_t>(&v_)) return static_cast<double>(*i);
    if (const auto* d = std::get_if<double>(&v_)) return *d;
    wrong_kind(key, "a number", *this);
}

const std::string& Value::as_text(std::string_view key) const {
    if (const auto* s = std::get_if<std::string>(&v_)) return *s;
    wrong_kind(key, "text", *this);
}

QuantLib::Date Value::as_date(std::string_view key) const {
    if (const auto* d = std::get_if<QuantLib::Date>(&v_)) return *d;
    if (const auto* s = std::get_if<std::string>(&v_)) {
        try {
            return utils::parse_date(*s);
        } catch (const ValueError& e) {
            throw ValueError(std::string(key) + ": " + e.message());
        }
    }
    wrong_kind(key, "a date", *this);
}

const Value::List& Value::as_list(std::string_view key) const {
    if (const auto* l = std::get_if<List>(&v_)) return *l;
    wrong_kind(key, "a list", *this);
}

std::string Value::to_string() const {
    switch (v_.index()) {
        case 0: return "none";
        case 1: return std::get<bool>(v_) ? "true" : "false";
        case 2: return std::to_string(std::get<std::int64_t>(v_));
        case 3: {
            std::ostringstream os;
            os << std::setprecision(std::numeric_limits<double>::max_digits10) << std::get<double>(v_);
            return os.str();
        }
        case 4: return std::get<std::string>(v_);
        case 5: return utils::format_date(std::get<QuantLib::Date>(v_));
        default: {
            std::string out = "[";
            const auto& l = std::get<List>(v_);
            for (std::size_t i = 0; i < l.size(); ++i) out += (i ? ", " : "") + l[i].to_string();
            return out + "]";
        }
    }
}

std::ostream& operator<<(std::ostream& os, const Value& v) { return os << v.to_string(); }

// ---------------------------------------------------------------- Terms

Terms::Terms(std::initializer_list<Entry> entries) {
    for (const auto& e : entries) set(e.first, e.second);
}

const Value* Terms::find(std::string_view key) const noexcept {
    for (const auto& e : entries_)
        if (e.first == key) return &e.second;
    return nullptr;
}

const Value& Terms::at(std::string_view key) const {
    if (const Value* v = find(key)) return *v;
    throw KeyError(std::string(key));
}

void Terms::set(std::string key, Value value) {
    for (auto& e : entries_)
        if (e.first == key) {
            e.second = std::move(value);
            return;
        }
    entries_.emplace_back(std::move(key), std::move(value));
}

bool Terms::erase(std::string_view key) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it)
        if (it->first == key) {
            entries_.erase(it);
            return true;
        }
    return false;
}

namespace {

template <class Json>
Value value_from_json(const Json& j, const std::string& key) {
    switch (j.type()) {
        case Json::value_t::null: return Value();
        case Json::value_t::boolean: return Value(j.template get<bool>());
        case Json::value_t::number_integer: return Value(j.template get<std::int64_t>());
        case Json::value_t::number_unsigned: {
            const auto u = j.template get<std::uint64_t>();
            if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                return Value(static_cast<double>(u));
            return Value(static_cast<std::int64_t>(u));
        }
        case Json::value_t::number_float: return Value(j.template get<double>());
        case Json::value_t::string: return Value(j.template get<std::string>());
        case Json::value_t::array: {
            Value::List l;
            for (const auto& x : j) l.push_back(value_from_json(x, key));
            return Value(std::move(l));
        }
        default: throw TypeError(key + ": a term must be null, a boolean, a number, text or a list");
    }
}

nlohmann::ordered_json value_to_json(const Value& v) {
    const auto& s = v.storage();
    switch (s.index()) {
        case 0: return nullptr;
        case 1: return std::get<bool>(s);
        case 2: return std::get<std::int64_t>(s);
        case 3: return std::get<double>(s);
        case 4: return std::get<std::string>(s);
        case 5: return utils::format_date(std::get<QuantLib::Date>(s));
        default: {
            auto arr = nlohmann::ordered_json::array();
            for (const auto& x : std::get<Value::List>(s)) arr.push_back(value_to_json(x));
            return arr;
        }
    }
}

template <class Json>
Terms terms_from(const Json& object) {
    if (!object.is_object()) throw TypeError("terms must be a JSON object");
    Terms t;
    for (auto it = object.begin(); it != object.end(); ++it) t.set(it.key(), value_from_json(it.value(), it.key()));
    return t;
}

}  // namespace

Terms Terms::from_json(const nlohmann::json& object) { return terms_from(object); }
Terms Terms::from_json(const nlohmann::ordered_json& object) { return terms_from(object); }

Terms Terms::from_json_text(std::string_view text) {
    nlohmann::ordered_json j;
    try {
        j = nlohmann::ordered_json::parse(text);
    } catch (const nlohmann::ordered_json::parse_error& e) {
        throw ValueError(std::string("terms are not valid JSON: ") + e.what());
    }
    return from_json(j);
}

nlohmann::ordered_json Terms::to_json() const {
    auto j = nlohmann::ordered_json::object();
    for (const auto& [k, v] : entries_) j[k] = value_to_json(v);
    return j;
}

// ---------------------------------------------------------------- OptionGreeks

double OptionGreeks::operator[](std::size_t i) const {
    switch (i) {
        case 0: return npv;
        case 1: return delta;
        case 2: return gamma;
        case 3: return vega;
        case 4: return theta;
        case 5: return rho;
        default: throw IndexError("OptionGreeks index " + std::to_string(i) + " out of range (6 fields)");
    }
}

std::ostream& operator<<(std::ostream& os, const OptionGreeks& g) {
    const auto flags = os.flags();
    const auto prec = os.precision();
    os << std::setprecision(std::numeric_limits<double>::max_digits10) << "OptionGreeks(npv=" << g.npv
       << ", delta=" << g.delta << ", gamma=" << g.gamma << ", vega=" << g.vega << ", theta=" << g.theta
       << ", rho=" << g.rho << ")";
    os.flags(flags);
    os.precision(prec);
    return os;
}

// ---------------------------------------------------------------- inputs

void check_market_inputs(double spot, double r, double vol, double q) {
    auto finite = [](const char* name, double x) {
        if (!std::isfinite(x)) {
            std::ostringstream os;
            os << name << " must be a finite number, got " << x;
            throw ValueError(os.str());
        }
    };
    finite("spot", spot);
    finite("r", r);
    finite("vol", vol);
    finite("q", q);
    if (spot <= 0) {
        std::ostringstream os;
        os << "spot must be positive, got " << spot;
        throw ValueError(os.str());
    }
}

namespace {
std::recursive_mutex& valuation_mutex() {
    static std::recursive_mutex m;
    return m;
}
}  // namespace

ValuationLock::ValuationLock() : lock_(valuation_mutex()) {}
ValuationLock::~ValuationLock() = default;

QuantLib::Date eval_or_today(const EvalDate& evaluation_date) {
    return evaluation_date ? evaluation_date->date() : utils::today();
}

// ---------------------------------------------------------------- BaseOption

namespace {
QuantLib::Date read_date(const Terms& t, std::string_view key) { return t.date(key); }
}  // namespace

BaseOption::BaseOption(const Terms& option) {
    effect_date_ = read_date(option, "effect_date");
    // Roll the maturity onto a trading day: the first trading day on or after it.
    const Value& maturity = option.at("maturity_date");
    const QuantLib::Date contractual = maturity.as_date("maturity_date");
    const QuantLib::Date previous = heron::get_previous_trading_date(contractual);
    maturity_date_ = heron::get_next_trading_date(previous);
    underlying_ = option.at("underlying");
    s0_ = option.at("s0");
    notional_ = option.at("notional");
}

BaseOption::~BaseOption() = default;

std::string BaseOption::underlying_id() const {
    if (underlying_.is_text()) return underlying_.as_text("underlying");
    if (underlying_.is_number()) return underlying_.to_string();
    throw TypeError(std::string("underlying: expected an instrument id (text), got ") + underlying_.kind());
}

double BaseOption::s0_number() const { return s0_.as_number("s0"); }

double BaseOption::npv(double, double, double, double, const EvalDate&) { throw NotImplementedError(); }

double BaseOption::npv(const Market& market, const EvalDate& evaluation_date) {
    if (!market.is_flat())
        throw NotImplementedError("this product values on plain numbers only, not on rate or volatility curves");
    return npv(market.spot, market.r.number(), market.vol.number(), market.q.number(), evaluation_date);
}

namespace {
double spot_bump(double spot) {
    const double h = spot * kSpotBump;
    if (h == 0.0)
        throw ZeroDivisionError("spot bump is zero (spot = 0): delta and gamma need a non-zero spot");
    return h;
}
}  // namespace

// The plain-number sensitivities are those of the market of those numbers:
// its bumps (spot + h, vol + 0.01, r - 0.005, ...) are the same numbers.

OptionGreeks BaseOption::spot_greeks(double spot, double r, double vol, double q, const EvalDate& evaluation_date) {
    return spot_greeks(Market(spot, r, vol, q), evaluation_date);
}

OptionGreeks BaseOption::greeks(double spot, double r, double vol, double q, const EvalDate& evaluation_date) {
    return greeks(Market(spot, r, vol, q), evaluation_date);
}

double BaseOption::delta(double spot, double r, double vol, double q, const EvalDate& evaluation_date) {
    return delta(Market(spot, r, vol, q), evaluation_date);
}

double BaseOption::gamma(double spot, double r, double vol, double q, const EvalDate& evaluation_date) {
    return gamma(Market(spot, r, vol, q), evaluation_date);
}

double BaseOption::vega(double spot, double r, double vol, double q, const EvalDate& evaluation_date) {
    return vega(Market(spot, r, vol, q), evaluation_date);
}

double BaseOption::rho(double spot, double r, double vol, double q, const EvalDate& evaluation_date) {
    return rho(Market(spot, r, vol, q), evaluation_date);
}

double BaseOption::theta(double spot, double r, double vol, double q, const EvalDate& evaluation_date) {
    return theta(Market(spot, r, vol, q), evaluation_date);
}

double BaseOption::carry_rho(double spot, double r, double vol, double q, const EvalDate& evaluation_date) {
    return carry_rho(Market(spot, r, vol, q), evaluation_date);
}

OptionGreeks BaseOption::spot_differences(const Market& m, const EvalDate& e) {
    const double h = spot_bump(m.spot);
    const double centre = npv(m, e);
    const double up = npv(m.with_spot(m.spot + h), e);
    const double down = npv(m.with_spot(m.spot - h), e);
    return OptionGreeks{centre, (up - down) / (h * 2), m.spot * (up + down - 2 * centre) / (h * h), 0, 0, 0};
}

OptionGreeks BaseOption::spot_greeks(const Market& market, const EvalDate& evaluation_date) {
    return spot_differences(market, eval_or_today(evaluation_date));
}

OptionGreeks BaseOption::greeks(const Market& market, const EvalDate& evaluation_date) {
    const EvalDate e = eval_or_today(evaluation_date);
    OptionGreeks g = spot_differences(market, e);
    g.vega = vega(market, e);
    g.rho = rho(market, e);
    g.theta = theta(market, e);
    return g;
}

double BaseOption::delta(const Market& m, const EvalDate& evaluation_date) {
    const EvalDate e = eval_or_today(evaluation_date);
    const double h = spot_bump(m.spot);
    const double up = npv(m.with_spot(m.spot + h), e);
    const double down = npv(m.with_spot(m.spot - h), e);
    return (up - down) / (h * 2);
}

double BaseOption::gamma(const Market& m, const EvalDate& evaluation_date) {
    const double h = spot_bump(m.spot);
    const double centre = npv(m, evaluation_date);
    const double up = npv(m.with_spot(m.spot + h), evaluation_date);
    const double down = npv(m.with_spot(m.spot - h), evaluation_date);
    return (up + down - 2 * centre) / (h * h);
}

double BaseOption::vega(const Market& m, const EvalDate& evaluation_date) {
    const double up = npv(m.with_vol_shift(kVolBump), evaluation_date);
    const double down = npv(m.with_vol_shift(-kVolBump), evaluation_date);
    return (up - down) / 2;
}

double BaseOption::rho(const Market& m, const EvalDate& evaluation_date) {
    const double up = npv(m.with_r_shift(kRateBump), evaluation_date);
    const double down = npv(m.with_r_shift(-kRateBump), evaluation_date);
    return down - up;
}

double BaseOption::carry_rho(const Market& m, const EvalDate& evaluation_date) {
    const double up = npv(m.with_q_shift(kRateBump), evaluation_date);
    const double down = npv(m.with_q_shift(-kRateBump), evaluation_date);
    return down - up;
}

double BaseOption::theta(const Market& m, const EvalDate& evaluation_date) {
    if (!evaluation_date)
        throw TypeError("theta needs an evaluation date: cannot count the days from none to the maturity date");
    const QuantLib::Date e = evaluation_date->date();
    const auto n = maturity_date_ - e;
    if (n > 1) {
        const double tomorrow = npv(m, EvalDate(e + 1));
        const double today = npv(m, EvalDate(e));
        return tomorrow - today;
    }
    return 0.0;
}

}  // namespace kestrel
