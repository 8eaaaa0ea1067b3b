#include <heron/heron.hpp>
#include <kestrel/corridor.hpp>
#include <kestrel/engines/fd/double_barrier.hpp>
#include <kestrel/utils.hpp>

#include <ql/experimental/barrieroption/analyticdoublebarrierbinaryengine.hpp>
#include <ql/experimental/barrieroption/analyticdoublebarrierengine.hpp>
#include <ql/settings.hpp>

#include <algorithm>
#include <sstream>

namespace kestrel {

using namespace QuantLib;

namespace corridor {

const std::map<std::string, DoubleBarrier::Type> CORRIDOR_TYPE = {
    {"knock_in", DoubleBarrier::KnockIn},
    {"knock_out", DoubleBarrier::KnockOut},
    {"kiko", DoubleBarrier::KIKO},
    {"koki", DoubleBarrier::KOKI},
};

void check_levels(const char* lo_name, double lo, const char* hi_name, double hi) {
    if (lo < hi) return;
    std::ostringstream os;
    os << lo_name << " (" << lo << ") must be below " << hi_name << " (" << hi << ")";
    throw ValueError(os.str());
}

}  // namespace corridor

namespace {

DoubleBarrier::Type read_corridor_type(const Terms& option) {
    const std::string& text = option.text("barrier_type");
    const auto it = corridor::CORRIDOR_TYPE.find(text);
    if (it == corridor::CORRIDOR_TYPE.end()) throw KeyError(text);
    return it->second;
}

bool is_in_or_out(DoubleBarrier::Type t) { return t == DoubleBarrier::KnockIn || t == DoubleBarrier::KnockOut; }

std::string type_text(DoubleBarrier::Type t) {
    for (const auto& [text, type] : corridor::CORRIDOR_TYPE)
        if (type == t) return text;
    return "double barrier";
}

}  // namespace

DoubleBarrierOption::DoubleBarrierOption(const Terms& option) : BaseOption(option) {
    barrier_hi_ = option.number("barrier_hi");
    barrier_lo_ = option.number("barrier_lo");
    corridor::check_levels("barrier_lo", barrier_lo_, "barrier_hi", barrier_hi_);
    barrier_type_ = read_corridor_type(option);
    call_put_ = read_call_put(option);
    strike_ = option.number("strike");
    exercise_type_ = option.text("exercise_type");
    const Value* rebate = option.find("rebate");
    rebate_ = rebate ? rebate->as_number("rebate") : 0.0;
    if (rebate_ != 0.0) throw NotImplementedError();
    const Value* payoff_type = option.find("payoff_type");
    payoff_type_ = payoff_type ? payoff_type->as_text("payoff_type") : "plain_vanilla";
    pay_at_expiry_ = read_pay_at_expiry(option);

    if (payoff_type_ == "cash_or_nothing") {
        const Value* cash = option.find("digital_payoff");
        digital_payoff_ = cash ? cash->as_number("digital_payoff") : s0_number();
    }
    payoff_ = make_payoff(payoff_type_, call_put_, strike_, digital_payoff_.value_or(0.0));
    exercise_ = make_exercise(exercise_type_, effect_date(), maturity_date(), pay_at_expiry_);
    _option = ext::make_shared<QuantLib::DoubleBarrierOption>(barrier_type_, barrier_lo_, barrier_hi_, rebate_,
                                                              payoff_, exercise_);
    _vanilla = std::make_unique<VanillaOption>(option);
}

EnginePtr DoubleBarrierOption::engine(const market::ProcessPtr& proc) {
    if (exercise_type_ == "european" && payoff_type_ == "cash_or_nothing") {
        if (!is_in_or_out(barrier_type_)) throw AssertionError("not implemented");
        return ext::make_shared<AnalyticDoubleBarrierBinaryEngine>(proc);
    }
    if (exercise_type_ == "american" && payoff_type_ == "cash_or_nothing") {
        if (is_in_or_out(barrier_type_)) throw AssertionError("not implemented");
        return ext::make_shared<AnalyticDoubleBarrierBinaryEngine>(proc);
    }
    if (exercise_type_ == "european" && payoff_type_ == "plain_vanilla")
        return ext::make_shared<AnalyticDoubleBarrierEngine>(proc);
    throw NotImplementedError();
}

bool DoubleBarrierOption::triggered(const utils::DateInput& evaluation_date) {
    const auto history = heron::get_price(underlying_id(), effect_date(), evaluation_date, "close", "none", true);
    if (!history) return false;
    if (!is_in_or_out(barrier_type_)) throw NotImplementedError("KIKO and KOKI not implemented yet");
    const auto& closes = history->column("close");
    if (std::any_of(closes.begin(), closes.end(), [this](double c) { return c < barrier_lo_; })) return true;
    return std::any_of(closes.begin(), closes.end(), [this](double c) { return c > barrier_hi_; });
}

double DoubleBarrierOption::npv(double spot, double r, double vol, double q, const EvalDate& evaluation_date) {
    check_market_inputs(spot, r, vol, q);
    return npv(Market(spot, r, vol, q), evaluation_date);
}

double DoubleBarrierOption::npv(const Market& m, const EvalDate& evaluation_date) {
    const Date e = eval_or_today(evaluation_date);
    m.check(e);
    if (triggered(e)) {
        if (barrier_type_ == DoubleBarrier::KnockOut) return rebate_;
        if (barrier_type_ == DoubleBarrier::KnockIn) return _vanilla->npv(m, e);
        // KIKO and KOKI get here only from a derived class's triggered: they
        // are valued on the instrument as if untriggered.
    }
    // Held until the model objects built below are gone: QuantLib's observer
    // registrations and its evaluation date are process-wide.
    const ValuationLock lock;
    if (m.vol.has_surface()) {
        // Under a calibrated surface: finite differences on the process's
        // local volatility for what the analytic engines value on a flat
        // volatility (European knock-in and knock-out, plain or digital).
        const bool local = exercise_type_ == "european" && is_in_or_out(barrier_type_) &&
                           (payoff_type_ == "plain_vanilla" || payoff_type_ == "cash_or_nothing");
        if (!local)
            throw NotImplementedError("a " + type_text(barrier_type_) + " double barrier with " + exercise_type_ +
                                      " exercise and a " + payoff_type_ +
                                      " payoff has no local-volatility engine: value it on a number or a vol curve");
        _option->setPricingEngine(ext::make_shared<detail::fd::FdLocalVolDoubleBarrierEngine>(market::make_process(m, e)));
    } else {
        _option->setPricingEngine(engine(market::make_process(m, e)));
    }
    Settings::instance().evaluationDate() = utils::to_qldate(e);
    return _option->NPV();
}

}  // namespace kestrel
