#include <heron/heron.hpp>
#include <kestrel/tandem.hpp>

#include <algorithm>
#include <vector>

namespace kestrel {

namespace tandem {

const std::map<std::string, std::pair<std::string, std::string>> TOUCH_TYPE_MAP = {
    {"double_one_touch", {"knock_in", "european"}},
    {"double_no_touch", {"knock_out", "european"}},
    {"kiko", {"kiko", "american"}},
    {"koki", {"koki", "american"}},
};

}  // namespace tandem

namespace {

const std::pair<std::string, std::string>& touch_entry(const std::string& touch_type) {
    const auto it = tandem::TOUCH_TYPE_MAP.find(touch_type);
    if (it == tandem::TOUCH_TYPE_MAP.end()) throw KeyError(touch_type);
    return it->second;
}

}  // namespace

DoubleTouchOption::DoubleTouchOption(const Terms& option) : BaseOption(option) {
    touch_type_ = option.text("touch_type");
    touch_price_lo_ = option.number("touch_price_lo");
    touch_price_hi_ = option.number("touch_price_hi");
    corridor::check_levels("touch_price_lo", touch_price_lo_, "touch_price_hi", touch_price_hi_);
    const Value* rebate = option.find("rebate");
    rebate_ = rebate ? rebate->as_number("rebate") : 0.0;
    const Value* cash = option.find("digital_payoff");
    digital_payoff_ = cash ? cash->as_number("digital_payoff") : s0_number();
    pay_at_ = option.at("pay_at");
    _option = std::make_unique<DoubleBarrierOption>(inner_terms());
}

Terms DoubleTouchOption::inner_terms() const {
    const auto& [barrier_type, exercise_type] = touch_entry(touch_type_);
    return Terms{
        {"type", "corridor"},
        {"underlying", underlying()},
        {"notional", notional()},
        {"s0", s0()},
        {"call_put", "call"},
        {"strike", 0},
        {"barrier_type", barrier_type},
        {"barrier_lo", touch_price_lo_},
        {"barrier_hi", touch_price_hi_},
        {"payoff_type", "cash_or_nothing"},
        {"exercise_type", exercise_type},
        {"rebate", rebate_},
        {"digital_payoff", digital_payoff_},
        {"pay_at", pay_at_},
        {"effect_date", effect_date()},
        {"maturity_date", maturity_date()},
    };
}

bool DoubleTouchOption::triggered(const utils::DateInput& evaluation_date) {
    const auto history = heron::get_price(underlying_id(), effect_date(), evaluation_date,
                                          std::vector<std::string>{"low", "high"}, "pre", true);
    if (!history) return false;
    const heron::Frame days = history->droplevel("order_book_id");
    const auto& highs = days.column("high");
    if (std::any_of(highs.begin(), highs.end(), [this](double h) { return h > touch_price_hi_; })) return true;
    const auto& lows = days.column("low");
    return std::any_of(lows.begin(), lows.end(), [this](double l) { return l < touch_price_lo_; });
}

double DoubleTouchOption::npv(double spot, double r, double vol, double q, const EvalDate& evaluation_date) {
    check_market_inputs(spot, r, vol, q);
    return npv(Market(spot, r, vol, q), evaluation_date);
}

double DoubleTouchOption::npv(const Market& market, const EvalDate& evaluation_date) {
    const QuantLib::Date e = eval_or_today(evaluation_date);
    market.check(e);
    if (triggered(e)) return 0.0;
    return _option->npv(market, e);
}

OptionGreeks DoubleTouchOption::greeks(double spot, double r, double vol, double q,
                                       const EvalDate& evaluation_date) {
    check_market_inputs(spot, r, vol, q);
    return greeks(Market(spot, r, vol, q), evaluation_date);
}

OptionGreeks DoubleTouchOption::greeks(const Market& market, const EvalDate& evaluation_date) {
    const QuantLib::Date e = eval_or_today(evaluation_date);
    market.check(e);
    if (triggered(e)) return OptionGreeks{0, 0, 0, 0, 0, 0};
    return _option->greeks(market, e);
}

OptionGreeks DoubleTouchOption::spot_greeks(double spot, double r, double vol, double q,
                                            const EvalDate& evaluation_date) {
    check_market_inputs(spot, r, vol, q);
    return spot_greeks(Market(spot, r, vol, q), evaluation_date);
}

OptionGreeks DoubleTouchOption::spot_greeks(const Market& market, const EvalDate& evaluation_date) {
    const QuantLib::Date e = eval_or_today(evaluation_date);
    market.check(e);
    if (triggered(e)) return OptionGreeks{0, 0, 0, 0, 0, 0};
    return _option->spot_greeks(market, e);
}

}  // namespace kestrel
