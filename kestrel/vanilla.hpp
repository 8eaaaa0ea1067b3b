#pragma once
// Vanilla and digital options, European or American, on QuantLib's engines.
//
// Terms (besides the base keys): "call_put" ("call", anything else a put),
// "strike", "exercise_type" ("european" | "american"), "payoff_type"
// ("plain_vanilla" | "cash_or_nothing" | "asset_or_nothing"), optional
// "pay_at" ("expiry": an American digital pays at expiry, not when hit) and
// "digital_payoff" (cash of a cash-or-nothing digital, default 0.0).
#include <kestrel/export.hpp>
#include <kestrel/keel.hpp>
#include <kestrel/market/process.hpp>

#include <ql/exercise.hpp>
#include <ql/instruments/payoffs.hpp>
#include <ql/instruments/vanillaoption.hpp>
#include <ql/option.hpp>
#include <ql/pricingengine.hpp>

#include <functional>
#include <map>
#include <string>
#include <utility>

namespace kestrel {

using EnginePtr = QuantLib::ext::shared_ptr<QuantLib::PricingEngine>;
using EngineFactory = std::function<EnginePtr(const market::ProcessPtr&)>;
using EngineKey = std::pair<std::string, std::string>;  // (exercise type, payoff type)

// (exercise, payoff) -> engine on the process:
//   american plain_vanilla     BinomialVanillaEngine<JarrowRudd>, 801 steps
//   american cash_or_nothing   AnalyticDigitalAmericanEngine
//   american asset_or_nothing  AnalyticDigitalAmericanEngine
//   european *                 AnalyticEuropeanEngine
KESTREL_VANILLA_EXPORT extern const std::map<EngineKey, EngineFactory> VANILLA_PRICING_ENGINE_MAP;

// The exercise named by an exercise type text, shared by the products that
// read "exercise_type": "american" (effect date to maturity), "european"
// (maturity); "bermudan" is NotImplementedError, anything else ValueError.
KESTREL_VANILLA_EXPORT QuantLib::ext::shared_ptr<QuantLib::Exercise> make_exercise(const std::string& exercise_type,
                                                            const QuantLib::Date& effect_date,
                                                            const QuantLib::Date& maturity_date,
                                                            bool pay_at_expiry);

// The payoff named by a payoff type text, shared by the products that read
// "payoff_type": "plain_vanilla", "cash_or_nothing" (paying `cash`) or
// "asset_or_nothing"; anything else is an AssertionError without message.
KESTREL_VANILLA_EXPORT QuantLib::ext::shared_ptr<QuantLib::StrikedTypePayoff> make_payoff(const std::string& payoff_type,
                                                                   QuantLib::Option::Type call_put, double strike,
                                                                   double cash);

// "call" is a call; any other value (of any kind) a put.
KESTREL_VANILLA_EXPORT QuantLib::Option::Type read_call_put(const Terms& option);
// Whether "pay_at" is present and equals "expiry".
KESTREL_VANILLA_EXPORT bool read_pay_at_expiry(const Terms& option);

class KESTREL_VANILLA_EXPORT VanillaOption : public BaseOption {
  public:
    explicit VanillaOption(const Terms& option);

    using BaseOption::npv;
    // The plain numbers value Market(spot, r, vol, q).
    double npv(double spot, double r, double vol, double q, const EvalDate& evaluation_date = std::nullopt) override;
    // QuantLib's engine (VANILLA_PRICING_ENGINE_MAP) on the market's process.
    // Under a calibrated surface: QuantLib's finite differences on the local
    // volatility, an American digital as a touch of the strike (paid at the
    // touch or at expiry) on the local-volatility barrier engine.
    double npv(const Market& market, const EvalDate& evaluation_date = std::nullopt) override;

    QuantLib::Option::Type call_put() const noexcept { return call_put_; }
    double strike() const noexcept { return strike_; }
    const std::string& exercise_type() const noexcept { return exercise_type_; }
    const std::string& payoff_type() const noexcept { return payoff_type_; }
    bool pay_at_expiry() const noexcept { return pay_at_expiry_; }
    const QuantLib::ext::shared_ptr<QuantLib::StrikedTypePayoff>& payoff() const noexcept { return payoff_; }
    const QuantLib::ext::shared_ptr<QuantLib::Exercise>& exercise() const noexcept { return exercise_; }
    const QuantLib::VanillaOption& option() const noexcept { return *_option; }

  private:
    QuantLib::Option::Type call_put_;
    double strike_;
    std::string exercise_type_;
    std::string payoff_type_;
    bool pay_at_expiry_;
    QuantLib::ext::shared_ptr<QuantLib::StrikedTypePayoff> payoff_;
    QuantLib::ext::shared_ptr<QuantLib::Exercise> exercise_;
    QuantLib::ext::shared_ptr<QuantLib::VanillaOption> _option;
};

}  // namespace kestrel
