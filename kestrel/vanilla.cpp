#include <kestrel/engines/fd/double_barrier.hpp>
#include <kestrel/utils.hpp>
#include <kestrel/vanilla.hpp>

#include <ql/methods/lattices/binomialtree.hpp>
#include <ql/pricingengines/vanilla/analyticdigitalamericanengine.hpp>
#include <ql/pricingengines/vanilla/analyticeuropeanengine.hpp>
#include <ql/pricingengines/vanilla/binomialengine.hpp>
#include <ql/pricingengines/vanilla/fdblackscholesvanillaengine.hpp>
#include <ql/settings.hpp>

namespace kestrel {

using namespace QuantLib;

namespace {
constexpr Size kLocalVolTimeSteps = 200, kLocalVolSpaceNodes = 400;
// A touch (a Dirichlet condition at the barrier) converges in the time step
// only at first order: four times the vanilla's steps.
constexpr Size kBarrierTimeSteps = 800;

// An American digital under a local volatility: a touch of the strike from
// below (call) or above (put), watched from today. Paid at the touch, it is
// the claim that lives until the price reaches the strike and is paid there
// (the cash, or the asset, worth the strike then); paid at expiry, it is the
// undiscounted claim (cash D(T), or spot Dq(T)) less the one paid only
// when the strike was never reached. Finite differences on the process's
// local volatility, kBarrierTimeSteps x kLocalVolSpaceNodes.
double american_digital_local_vol(const market::ProcessPtr& process, const StrikedTypePayoff& payoff,
                                  const Exercise& exercise, bool pay_at_expiry) {
    if (exercise.dates().front() > process->blackVolatility()->referenceDate())
        throw NotImplementedError("American option with window exercise not handled yet");
    const auto* cash = dynamic_cast<const CashOrNothingPayoff*>(&payoff);
    const double K = payoff.strike(), spot = process->x0();
    const Date expiry = exercise.lastDate();
    const bool call = payoff.optionType() == Option::Call;
    const bool touched = call ? spot >= K : spot <= K;
    const double at_expiry = cash ? cash->cashPayoff() * process->riskFreeRate()->discount(expiry)
                                  : spot * process->dividendYield()->discount(expiry);
    if (touched) return pay_at_expiry ? at_expiry : (cash ? cash->cashPayoff() : spot);
    detail::fd::Corridor corridor;
    (call ? corridor.upper : corridor.lower) = K;
    const detail::fd::Grid grid{kBarrierTimeSteps, kLocalVolSpaceNodes};
    const Time maturity = process->time(expiry);
    if (!pay_at_expiry) {
        const double amount = cash ? cash->cashPayoff() : K;
        corridor.lower_value = corridor.upper_value = amount;
        return detail::fd::corridor_value(process, maturity, ext::make_shared<CashOrNothingPayoff>(Option::Call, 0.0, 0.0),
                                          K, corridor, grid);
    }
    const ext::shared_ptr<Payoff> untouched =
        cash ? ext::shared_ptr<Payoff>(ext::make_shared<CashOrNothingPayoff>(Option::Call, 0.0, cash->cashPayoff()))
             : ext::shared_ptr<Payoff>(ext::make_shared<AssetOrNothingPayoff>(Option::Call, 0.0));
    return at_expiry - detail::fd::corridor_value(process, maturity, untouched, K, corridor, grid);
}
}  // namespace

const std::map<EngineKey, EngineFactory> VANILLA_PRICING_ENGINE_MAP = {
    {{"american", "plain_vanilla"},
     [](const market::ProcessPtr& p) -> EnginePtr { return ext::make_shared<BinomialVanillaEngine<JarrowRudd>>(p, 801); }},
    {{"american", "cash_or_nothing"},
     [](const market::ProcessPtr& p) -> EnginePtr { return ext::make_shared<AnalyticDigitalAmericanEngine>(p); }},
    {{"american", "asset_or_nothing"},
     [](const market::ProcessPtr& p) -> EnginePtr { return ext::make_shared<AnalyticDigitalAmericanEngine>(p); }},
    {{"european", "plain_vanilla"},
     [](const market::ProcessPtr& p) -> EnginePtr { return ext::make_shared<AnalyticEuropeanEngine>(p); }},
    {{"european", "cash_or_nothing"},
     [](const market::ProcessPtr& p) -> EnginePtr { return ext::make_shared<AnalyticEuropeanEngine>(p); }},
    {{"european", "asset_or_nothing"},
     [](const market::ProcessPtr& p) -> EnginePtr { return ext::make_shared<AnalyticEuropeanEngine>(p); }},
};

ext::shared_ptr<Exercise> make_exercise(const std::string& exercise_type, const Date& effect_date,
                                        const Date& maturity_date, bool pay_at_expiry) {
    if (exercise_type == "american")
        return ext::make_shared<AmericanExercise>(utils::to_qldate(effect_date), utils::to_qldate(maturity_date),
                                                  pay_at_expiry);
    if (exercise_type == "european") return ext::make_shared<EuropeanExercise>(utils::to_qldate(maturity_date));
    if (exercise_type == "bermudan") throw NotImplementedError("BERMUDAN EXERCISE not supported yet");
    throw ValueError("unknown exercise type: " + exercise_type);
}

ext::shared_ptr<StrikedTypePayoff> make_payoff(const std::string& payoff_type, Option::Type call_put, double strike,
                                               double cash) {
    if (payoff_type == "plain_vanilla") return ext::make_shared<PlainVanillaPayoff>(call_put, strike);
    if (payoff_type == "cash_or_nothing") return ext::make_shared<CashOrNothingPayoff>(call_put, strike, cash);
    if (payoff_type == "asset_or_nothing") return ext::make_shared<AssetOrNothingPayoff>(call_put, strike);
    throw AssertionError();
}

Option::Type read_call_put(const Terms& option) {
    const Value& v = option.at("call_put");
    return (v.is_text() && v.as_text("call_put") == "call") ? Option::Call : Option::Put;
}

bool read_pay_at_expiry(const Terms& option) {
    const Value* v = option.find("pay_at");
    return v && v->is_text() && v->as_text("pay_at") == "expiry";
}

VanillaOption::VanillaOption(const Terms& option) : BaseOption(option) {
    call_put_ = read_call_put(option);
    strike_ = option.number("strike");
    exercise_type_ = option.text("exercise_type");
    payoff_type_ = option.text("payoff_type");
    pay_at_expiry_ = read_pay_at_expiry(option);

    double cash = 0.0;  // "digital_payoff" is read for a cash-or-nothing payoff only
    if (payoff_type_ == "cash_or_nothing")
        if (const Value* v = option.find("digital_payoff")) cash = v->as_number("digital_payoff");
    payoff_ = make_payoff(payoff_type_, call_put_, strike_, cash);
    exercise_ = make_exercise(exercise_type_, effect_date(), maturity_date(), pay_at_expiry_);
    _option = ext::make_shared<QuantLib::VanillaOption>(payoff_, exercise_);
}

double VanillaOption::npv(double spot, double r, double vol, double q, const EvalDate& evaluation_date) {
    check_market_inputs(spot, r, vol, q);
    return npv(Market(spot, r, vol, q), evaluation_date);
}

double VanillaOption::npv(const Market& m, const EvalDate& evaluation_date) {
    const Date e = eval_or_today(evaluation_date);
    m.check(e);
    // Held until the model objects built below are gone: QuantLib's observer
    // registrations and its evaluation date are process-wide.
    const ValuationLock lock;
    const auto process = market::make_process(m, e);
    const auto it = VANILLA_PRICING_ENGINE_MAP.find({exercise_type_, payoff_type_});
    if (it == VANILLA_PRICING_ENGINE_MAP.end())
        throw NotImplementedError(exercise_type_ + " exercise, " + payoff_type_ + " not supported yet");
    if (m.vol.has_surface()) {
        // Under a calibrated surface: QuantLib's finite differences on the
        // process's local volatility (kLocalVolTimeSteps x kLocalVolSpaceNodes,
        // Douglas). An American digital's touch is not a vanilla payoff there:
        // it values as a barrier claim (american_digital_local_vol).
        if (exercise_type_ == "american" && payoff_type_ != "plain_vanilla") {
            Settings::instance().evaluationDate() = utils::to_qldate(e);
            return american_digital_local_vol(process, *payoff_, *exercise_, pay_at_expiry_);
        }
        _option->setPricingEngine(ext::make_shared<FdBlackScholesVanillaEngine>(
            process, kLocalVolTimeSteps, kLocalVolSpaceNodes, 0, FdmSchemeDesc::Douglas(), true));
    } else {
        _option->setPricingEngine(it->second(process));
    }
    Settings::instance().evaluationDate() = utils::to_qldate(e);
    return _option->NPV();
}

}  // namespace kestrel
