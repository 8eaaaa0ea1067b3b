#pragma once
// Double-touch options: a digital paying "digital_payoff" (default s0) on a
// lower and an upper touch level; double one-touch, double no-touch, KIKO or
// KOKI.
//
// Terms (besides the base keys), read in this order: "touch_type"
// ("double_one_touch" | "double_no_touch" | "kiko" | "koki"),
// "touch_price_lo", "touch_price_hi" (ValueError unless above the lower
// level), "rebate" (default 0.0; the inner option
// accepts only zero), "digital_payoff" (default s0) and "pay_at" (required;
// "expiry" makes an American payoff payable at expiry).
//
// The option holds a DoubleBarrierOption, a cash-or-nothing call struck at 0
// with the touch levels as its barriers, and values through it while no
// adjusted daily high has been above the upper level and no adjusted daily
// low below the lower one. Once one has (a touch), the contract is settled:
// whatever the touch type, it is worth 0.0 and its Greeks are all zero (a
// one-touch's payment is taken as made at the touch).
#include <kestrel/export.hpp>
#include <kestrel/corridor.hpp>
#include <kestrel/keel.hpp>

#include <map>
#include <memory>
#include <string>
#include <utility>

namespace kestrel {

namespace tandem {

// Touch type -> (barrier type, exercise type) of the inner double-barrier option.
KESTREL_TANDEM_EXPORT extern const std::map<std::string, std::pair<std::string, std::string>> TOUCH_TYPE_MAP;

}  // namespace tandem

class KESTREL_TANDEM_EXPORT DoubleTouchOption : public BaseOption {
  public:
    explicit DoubleTouchOption(const Terms& option);

    // 0.0 once touched, else the inner option's value. Asks triggered first,
    // on every call.
    // The plain-number forms value Market(spot, r, vol, q); the inner option
    // values the same market.
    double npv(double spot, double r, double vol, double q, const EvalDate& evaluation_date = std::nullopt) override;
    double npv(const Market& market, const EvalDate& evaluation_date = std::nullopt) override;
    // One touch test: all zeros once touched, else the inner option's Greeks
    // (their repricings run through the inner option's own trigger test).
    OptionGreeks greeks(double spot, double r, double vol, double q,
                        const EvalDate& evaluation_date = std::nullopt) override;
    OptionGreeks greeks(const Market& market, const EvalDate& evaluation_date = std::nullopt) override;
    // Likewise: all zeros once touched, else the inner option's.
    OptionGreeks spot_greeks(double spot, double r, double vol, double q,
                             const EvalDate& evaluation_date = std::nullopt) override;
    OptionGreeks spot_greeks(const Market& market, const EvalDate& evaluation_date = std::nullopt) override;

    // Whether an adjusted daily high from the effect date to evaluation_date
    // lies strictly above touch_price_hi, or a daily low strictly below
    // touch_price_lo. No history means untouched.
    virtual bool triggered(const utils::DateInput& evaluation_date);

    // The 16 terms the inner DoubleBarrierOption is built from, in order.
    Terms inner_terms() const;

    const std::string& touch_type() const noexcept { return touch_type_; }
    double touch_price_lo() const noexcept { return touch_price_lo_; }
    double touch_price_hi() const noexcept { return touch_price_hi_; }
    double rebate() const noexcept { return rebate_; }
    double digital_payoff() const noexcept { return digital_payoff_; }
    const Value& pay_at() const noexcept { return pay_at_; }
    DoubleBarrierOption& option() noexcept { return *_option; }

  private:
    std::string touch_type_;
    double touch_price_lo_;
    double touch_price_hi_;
    double rebate_;
    double digital_payoff_;
    Value pay_at_;
    std::unique_ptr<DoubleBarrierOption> _option;
};

}  // namespace kestrel
