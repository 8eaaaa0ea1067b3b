#include <heron/heron.hpp>
#include <kestrel/barrier.hpp>
#include <kestrel/engines/fd/double_barrier.hpp>
#include <kestrel/utils.hpp>

#include <ql/methods/lattices/binomialtree.hpp>
#include <ql/pricingengines/barrier/analyticbarrierengine.hpp>
#include <ql/pricingengines/barrier/analyticbinarybarrierengine.hpp>
#include <ql/pricingengines/barrier/binomialbarrierengine.hpp>
#include <ql/pricingengines/barrier/discretizedbarrieroption.hpp>
#include <ql/pricingengines/barrier/fdblackscholesbarrierengine.hpp>
#include <ql/pricingengines/vanilla/fdblackscholesvanillaengine.hpp>
#include <ql/settings.hpp>

#include <algorithm>

namespace kestrel {

using namespace QuantLib;

namespace barrier {

const std::map<std::string, Barrier::Type> BARRIER_TYPE = {
    {"down_and_in", Barrier::DownIn},
    {"down_and_out", Barrier::DownOut},
    {"up_and_in", Barrier::UpIn},
    {"up_and_out", Barrier::UpOut},
};

const std::map<EngineKey, EngineFactory> PRICING_ENGINE_MAP = {
    {{"american", "plain_vanilla"},
     [](const market::ProcessPtr& p) -> EnginePtr {
         return ext::make_shared<BinomialBarrierEngine<CoxRossRubinstein, DiscretizedDermanKaniBarrierOption>>(p, 400);
     }},
    {{"american", "cash_or_nothing"},
     [](const market::ProcessPtr& p) -> EnginePtr { return ext::make_shared<AnalyticBinaryBarrierEngine>(p); }},
    {{"european", "plain_vanilla"},
     [](const market::ProcessPtr& p) -> EnginePtr { return ext::make_shared<AnalyticBarrierEngine>(p); }},
    {{"european", "cash_or_nothing"},
     [](const market::ProcessPtr& p) -> EnginePtr { return ext::make_shared<FdBlackScholesBarrierEngine>(p); }},
};

}  // namespace barrier

namespace {

Barrier::Type read_barrier_type(const Terms& option) {
    const std::string& text = option.text("barrier_type");
    const auto it = barrier::BARRIER_TYPE.find(text);
    if (it == barrier::BARRIER_TYPE.end()) throw KeyError(text);
    return it->second;
}

bool is_knock_out(Barrier::Type t) { return t == Barrier::DownOut || t == Barrier::UpOut; }
bool is_down(Barrier::Type t) { return t == Barrier::DownIn || t == Barrier::DownOut; }

// Under a calibrated surface: QuantLib's finite differences on the process's
// local volatility (time steps x log-price nodes, Douglas): the vanillas'
// nodes, four times their time steps, as a barrier's Dirichlet condition
// converges in the time step at first order only.
constexpr Size kLocalVolTimeSteps = 800, kLocalVolSpaceNodes = 400;

EnginePtr local_vol_barrier_engine(const market::ProcessPtr& process) {
    return ext::make_shared<FdBlackScholesBarrierEngine>(process, kLocalVolTimeSteps, kLocalVolSpaceNodes, 0,
                                                         FdmSchemeDesc::Douglas(), true);
}

}  // namespace

BarrierOption::BarrierOption(const Terms& option) : BaseOption(option) {
    call_put_ = read_call_put(option);
    barrier_type_ = read_barrier_type(option);
    const Value* rebate = option.find("rebate");
    rebate_ = rebate ? rebate->as_number("rebate") : 0.0;
    strike_ = option.number("strike");
    exercise_type_ = option.text("exercise_type");
    const Value* payoff_type = option.find("payoff_type");
    payoff_type_ = payoff_type ? payoff_type->as_text("payoff_type") : "plain_vanilla";
    barrier_ = option.number("barrier");
    pay_at_expiry_ = read_pay_at_expiry(option);

    if (payoff_type_ == "asset_or_nothing")
        throw NotImplementedError("asset_or_nothing not supported in barrier option");
    if (payoff_type_ == "cash_or_nothing") {
        const Value* cash = option.find("digital_payoff");
        digital_payoff_ = cash ? cash->as_number("digital_payoff") : s0_number();
    }
    payoff_ = make_payoff(payoff_type_, call_put_, strike_, digital_payoff_.value_or(0.0));
    exercise_ = make_exercise(exercise_type_, effect_date(), maturity_date(), pay_at_expiry_);
    _option = ext::make_shared<QuantLib::BarrierOption>(barrier_type_, barrier_, rebate_, payoff_, exercise_);
    _vanilla = std::make_unique<VanillaOption>(option);
}

bool BarrierOption::triggered(const utils::DateInput& evaluation_date) {
    const auto history = heron::get_price(underlying_id(), effect_date(), evaluation_date, "close", "pre", true);
    if (!history) return false;
    const auto& closes = history->column("close");
    if (is_down(barrier_type_))
        return std::any_of(closes.begin(), closes.end(), [this](double c) { return c < barrier_; });
    return std::any_of(closes.begin(), closes.end(), [this](double c) { return c > barrier_; });
}

double BarrierOption::npv(double spot, double r, double vol, double q, const EvalDate& evaluation_date) {
    check_market_inputs(spot, r, vol, q);
    return npv(Market(spot, r, vol, q), evaluation_date);
}

double BarrierOption::npv(const Market& m, const EvalDate& evaluation_date) {
    const Date e = eval_or_today(evaluation_date);
    m.check(e);
    if (triggered(e)) {
        if (is_knock_out(barrier_type_)) return rebate_;
        return _vanilla->npv(m, e);
    }
    // Held until the model objects built below are gone: QuantLib's observer
    // registrations and its evaluation date are process-wide.
    const ValuationLock lock;
    if (m.vol.has_surface()) return local_vol_npv(m, e);
    const auto process = market::make_process(m, e);
    const auto not_supported = [this] {
        return NotImplementedError(exercise_type_ + " exercise, " + payoff_type_ + " not supported yet");
    };
    const auto factory = barrier::PRICING_ENGINE_MAP.find({exercise_type_, payoff_type_});
    if (factory == barrier::PRICING_ENGINE_MAP.end()) throw not_supported();
    EnginePtr engine;
    try {
        engine = factory->second(process);
    } catch (const KeyError&) {
        throw not_supported();
    }
    _option->setPricingEngine(engine);
    Settings::instance().evaluationDate() = utils::to_qldate(e);
    return _option->NPV();
}

double BarrierOption::local_vol_npv(const Market& m, const Date& e) {
    const auto process = market::make_process(m, e);
    Settings::instance().evaluationDate() = utils::to_qldate(e);
    if (exercise_type_ == "european") {
        // A knock-out's rebate is paid at the touch (the Dirichlet value at
        // the barrier); a knock-in's at expiry when never knocked in
        // (QuantLib's rebate engine inside the barrier engine): as the
        // analytic engine pays them.
        _option->setPricingEngine(local_vol_barrier_engine(process));
        return _option->NPV();
    }
    if (exercise_->dates().front() > process->blackVolatility()->referenceDate())
        throw NotImplementedError("American option with window exercise not handled yet");
    if (payoff_type_ != "cash_or_nothing") {
        // American plain vanilla: a knock-out exercisable at any time while
        // alive, its rebate paid at the touch, on the corridor engine. A
        // knock-in may be exercised only once knocked in, into an American
        // vanilla whose value at the barrier this mesh does not carry.
        if (!is_knock_out(barrier_type_))
            throw NotImplementedError("an american plain_vanilla knock-in barrier option has no local-volatility "
                                      "engine: value it on a number or a vol curve");
        if (is_down(barrier_type_) ? m.spot <= barrier_ : m.spot >= barrier_) return rebate_;
        detail::fd::Corridor corridor;
        (is_down(barrier_type_) ? corridor.lower : corridor.upper) = barrier_;
        corridor.lower_value = corridor.upper_value = rebate_;
        corridor.early_exercise = true;
        return detail::fd::corridor_value(process, process->time(exercise_->lastDate()), payoff_, strike_, corridor,
                                          {kLocalVolTimeSteps, kLocalVolSpaceNodes});
    }
    // American cash-or-nothing: the digital paid at expiry when the barrier
    // (watched from today) was or was not crossed, without the rebate, as the
    // analytic binary-barrier engine values it: the same payoff with European
    // exercise on the local-volatility barrier engine.
    if (!pay_at_expiry_)
        throw NotImplementedError("an american cash_or_nothing barrier option is valued paid at expiry only: give "
                                  "pay_at \"expiry\"");
    const auto european = ext::make_shared<EuropeanExercise>(exercise_->lastDate());
    const bool crossed = is_down(barrier_type_) ? m.spot <= barrier_ : m.spot >= barrier_;
    if (crossed) {
        if (is_knock_out(barrier_type_)) return 0.0;
        QuantLib::VanillaOption digital(payoff_, european);
        digital.setPricingEngine(ext::make_shared<FdBlackScholesVanillaEngine>(
            process, kLocalVolTimeSteps, kLocalVolSpaceNodes, 0, FdmSchemeDesc::Douglas(), true));
        return digital.NPV();
    }
    QuantLib::BarrierOption watched(barrier_type_, barrier_, 0.0, payoff_, european);
    watched.setPricingEngine(local_vol_barrier_engine(process));
    return watched.NPV();
}

}  // namespace kestrel
