#pragma once
// The root of every kestrel product: the terms mapping, the OptionGreeks
// record, and BaseOption with its finite-difference Greeks.
#include <kestrel/export.hpp>
#include <kestrel/errors.hpp>
#include <kestrel/market.hpp>
#include <kestrel/utils.hpp>

#include <nlohmann/json_fwd.hpp>
#include <ql/time/date.hpp>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace kestrel {

// One value of a terms mapping: none, bool, integer, floating point, text,
// date, or a list of values (explicit schedules).
class KESTREL_KEEL_EXPORT Value {
  public:
    using List = std::vector<Value>;
    using Storage = std::variant<std::monostate, bool, std::int64_t, double, std::string, QuantLib::Date, List>;

    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool b) : v_(b) {}
    Value(int i) : v_(static_cast<std::int64_t>(i)) {}
    Value(long i) : v_(static_cast<std::int64_t>(i)) {}
    Value(long long i) : v_(static_cast<std::int64_t>(i)) {}
    Value(double d) : v_(d) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(std::string_view s) : v_(std::string(s)) {}
    Value(const QuantLib::Date& d) : v_(d) {}
    Value(std::chrono::year_month_day d) : v_(utils::to_timestamp(d)) {}
    Value(List l) : v_(std::move(l)) {}

    const Storage& storage() const noexcept { return v_; }
    // "none", "bool", "integer", "float", "text", "date" or "list".
    const char* kind() const noexcept;

    bool is_none() const noexcept { return std::holds_alternative<std::monostate>(v_); }
    bool is_text() const noexcept { return std::holds_alternative<std::string>(v_); }
    bool is_number() const noexcept {
        return std::holds_alternative<std::int64_t>(v_) || std::holds_alternative<double>(v_);
    }
    bool is_list() const noexcept { return std::holds_alternative<List>(v_); }

    // Typed reads; `key` names the term in the TypeError / ValueError.
    double as_number(std::string_view key) const;
    const std::string& as_text(std::string_view key) const;
    QuantLib::Date as_date(std::string_view key) const;  // text or date
    const List& as_list(std::string_view key) const;

    // Readable form: numbers round-trip, dates as YYYY-MM-DD, text as is.
    std::string to_string() const;

    friend bool operator==(const Value& a, const Value& b) { return a.v_ == b.v_; }
    friend bool operator!=(const Value& a, const Value& b) { return !(a == b); }

  private:
    Storage v_;
};

KESTREL_KEEL_EXPORT std::ostream& operator<<(std::ostream& os, const Value& v);

// A contract's terms: text keys mapped to values, in insertion order.
//   Terms t{{"strike", 100.0}, {"call_put", "call"}, {"effect_date", "2024-01-02"}};
class KESTREL_KEEL_EXPORT Terms {
  public:
    using Entry = std::pair<std::string, Value>;

    Terms() = default;
    Terms(std::initializer_list<Entry> entries);

    bool contains(std::string_view key) const noexcept { return find(key) != nullptr; }
    const Value* find(std::string_view key) const noexcept;
    // The value under key; KeyError naming the key when absent.
    const Value& at(std::string_view key) const;
    const Value& operator[](std::string_view key) const { return at(key); }

    // Adds the key at the end, or replaces its value in place.
    void set(std::string key, Value value);
    bool erase(std::string_view key);

    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    auto begin() const noexcept { return entries_.begin(); }
    auto end() const noexcept { return entries_.end(); }

    // Typed reads of one key (KeyError when absent, TypeError for the wrong kind).
    double number(std::string_view key) const { return at(key).as_number(key); }
    const std::string& text(std::string_view key) const { return at(key).as_text(key); }
    QuantLib::Date date(std::string_view key) const { return at(key).as_date(key); }

    // From a JSON object: strings stay text, integers and floats keep their
    // kind, null is none, arrays are lists. Anything else is a TypeError.
    static Terms from_json(const nlohmann::json& object);
    static Terms from_json(const nlohmann::ordered_json& object);
    static Terms from_json_text(std::string_view text);
    nlohmann::ordered_json to_json() const;

    friend bool operator==(const Terms& a, const Terms& b) { return a.entries_ == b.entries_; }

  private:
    std::vector<Entry> entries_;
};

// A product's present value and its sensitivities, theta before rho.
struct KESTREL_KEEL_EXPORT OptionGreeks {
    double npv = 0, delta = 0, gamma = 0, vega = 0, theta = 0, rho = 0;

    static constexpr std::array<const char*, 6> field_names{"npv", "delta", "gamma", "vega", "theta", "rho"};
    static constexpr const char* type_name = "OptionGreeks";
    static constexpr std::size_t size() noexcept { return 6; }
    // By position: 0 npv, 1 delta, 2 gamma, 3 vega, 4 theta, 5 rho; IndexError beyond.
    double operator[](std::size_t i) const;

    friend bool operator==(const OptionGreeks&, const OptionGreeks&) = default;
};

KESTREL_KEEL_EXPORT std::ostream& operator<<(std::ostream& os, const OptionGreeks& g);

// The optional evaluation date every valuation takes.
using EvalDate = std::optional<utils::DateInput>;

// Non-finite spot, r, vol or q, or a spot that is not positive, is a
// ValueError naming the input. Products check this before valuing.
KESTREL_KEEL_EXPORT void check_market_inputs(double spot, double r, double vol, double q);

// The bumps of the finite-difference sensitivities below.
inline constexpr double kSpotBump = 0.005;  // of spot
inline constexpr double kVolBump = 0.01;
inline constexpr double kRateBump = 0.005;

class KESTREL_KEEL_EXPORT BaseOption {
  public:
    // Reads "effect_date", "maturity_date", "underlying", "s0", "notional" in
    // that order (KeyError naming the first missing one). The maturity is
    // rolled to the first trading day on or after it through the market-data
    // service; the effect date is never moved.
    explicit BaseOption(const Terms& option);
    virtual ~BaseOption();

    BaseOption(const BaseOption&) = delete;
    BaseOption& operator=(const BaseOption&) = delete;

    // Present value; the base class has none (NotImplementedError).
    virtual double npv(double spot, double r, double vol, double q, const EvalDate& evaluation_date = std::nullopt);
    // Present value on a market of curves. The base class values a market of
    // plain numbers through the plain-number npv above (so a product that
    // overrides only that one keeps working) and has nothing for curves
    // (NotImplementedError). Products override both: the plain-number form
    // builds Market(spot, r, vol, q) and values that, the same numbers.
    virtual double npv(const Market& market, const EvalDate& evaluation_date = std::nullopt);

    // Finite-difference sensitivities through npv:
    //   greeks: value, delta, spot x gamma, vega, theta, rho (9 valuations);
    //   delta:  (V(S+h) - V(S-h)) / 2h, h = 0.5 % of spot;
    //   gamma:  (V(S+h) + V(S-h) - 2V(S)) / h^2;
    //   vega:   (V(vol+0.01) - V(vol-0.01)) / 2, per volatility point;
    //   rho:    V(r-0.005) - V(r+0.005), per percentage point;
    //   theta:  V(E+1 day) - V(E), 0.0 within one day of maturity.
    // greeks and delta value as of today when no date is given; gamma, vega and
    // rho hand the absent date to npv; theta needs a date (TypeError).
    virtual OptionGreeks greeks(double spot, double r, double vol, double q,
                                const EvalDate& evaluation_date = std::nullopt);
    // The value, delta and spot x gamma of the base class's greeks alone
    // (vega, theta and rho left 0): its first three valuations, the same
    // numbers. For a ladder of spots, where the other sensitivities are not
    // wanted. The notes, whose greeks are their own, ladder through their
    // spot_ladder instead.
    virtual OptionGreeks spot_greeks(double spot, double r, double vol, double q,
                                     const EvalDate& evaluation_date = std::nullopt);
    virtual double delta(double spot, double r, double vol, double q, const EvalDate& evaluation_date = std::nullopt);
    virtual double gamma(double spot, double r, double vol, double q, const EvalDate& evaluation_date = std::nullopt);
    virtual double vega(double spot, double r, double vol, double q, const EvalDate& evaluation_date = std::nullopt);
    virtual double rho(double spot, double r, double vol, double q, const EvalDate& evaluation_date = std::nullopt);
    virtual double theta(double spot, double r, double vol, double q, const EvalDate& evaluation_date = std::nullopt);
    // carry_rho: V(q - 0.005) - V(q + 0.005), per percentage point of carry.
    double carry_rho(double spot, double r, double vol, double q, const EvalDate& evaluation_date = std::nullopt);

    // The same sensitivities on a market of curves, through npv(Market):
    // spot bumped with the curves unchanged; vega shifts the whole vol curve,
    // rho the whole r curve and carry_rho the whole q curve; theta moves the
    // evaluation date one day with the market as given (tenor pillars move
    // with it, date pillars stay). On a market of plain numbers each equals
    // its plain-number form above, bit for bit.
    virtual OptionGreeks greeks(const Market& market, const EvalDate& evaluation_date = std::nullopt);
    virtual OptionGreeks spot_greeks(const Market& market, const EvalDate& evaluation_date = std::nullopt);
    virtual double delta(const Market& market, const EvalDate& evaluation_date = std::nullopt);
    virtual double gamma(const Market& market, const EvalDate& evaluation_date = std::nullopt);
    virtual double vega(const Market& market, const EvalDate& evaluation_date = std::nullopt);
    virtual double rho(const Market& market, const EvalDate& evaluation_date = std::nullopt);
    virtual double theta(const Market& market, const EvalDate& evaluation_date = std::nullopt);
    virtual double carry_rho(const Market& market, const EvalDate& evaluation_date = std::nullopt);

    const QuantLib::Date& effect_date() const noexcept { return effect_date_; }
    const QuantLib::Date& maturity_date() const noexcept { return maturity_date_; }
    const Value& underlying() const noexcept { return underlying_; }
    const Value& s0() const noexcept { return s0_; }
    const Value& notional() const noexcept { return notional_; }

  protected:
    // The underlying as the instrument id the market-data service takes.
    std::string underlying_id() const;
    // s0 as a number (TypeError naming "s0" otherwise).
    double s0_number() const;

  private:
    // spot_greeks of the base class, on date e.
    OptionGreeks spot_differences(const Market& market, const EvalDate& e);

    QuantLib::Date effect_date_;
    QuantLib::Date maturity_date_;
    Value underlying_;
    Value s0_;
    Value notional_;
};

// QuantLib's evaluation date (and its observer registry) is process-wide: every
// QuantLib-based valuation holds this lock from building its market model until
// that model is destroyed, so valuations on several threads queue instead of
// pricing at each other's dates. It is recursive: a product may value an inner
// product while holding it. The Monte Carlo products do not touch QuantLib and
// do not take it.
class KESTREL_KEEL_EXPORT ValuationLock {
  public:
    ValuationLock();
    ~ValuationLock();
    ValuationLock(const ValuationLock&) = delete;
    ValuationLock& operator=(const ValuationLock&) = delete;

  private:
    std::unique_lock<std::recursive_mutex> lock_;
};

// The evaluation date, or today when absent.
KESTREL_KEEL_EXPORT QuantLib::Date eval_or_today(const EvalDate& evaluation_date);

}  // namespace kestrel
