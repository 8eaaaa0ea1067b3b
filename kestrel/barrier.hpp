#pragma once
// Single-barrier options: up or down, knock-in or knock-out, European or
// American, plain vanilla or cash-or-nothing, with an optional rebate.
//
// Terms (besides the base keys), read in this order: "call_put" ("call",
// anything else a put), "barrier_type" ("down_and_in" | "down_and_out" |
// "up_and_in" | "up_and_out"), "rebate" (default 0.0), "strike",
// "exercise_type" ("european" | "american"), "payoff_type" ("plain_vanilla" |
// "cash_or_nothing"; defaults to "plain_vanilla" here, but the inner vanilla
// option needs it), "barrier", "pay_at" ("expiry": an American payoff is paid
// at expiry) and, for a cash-or-nothing payoff, "digital_payoff" (default s0).
//
// While the adjusted closes since the effect date have not crossed the
// barrier, the option is valued on QuantLib's BarrierOption. Once they have,
// a knock-out is worth its rebate and a knock-in the vanilla option built
// from the same terms (whose "digital_payoff" defaults to 0.0, not s0).
#include <kestrel/export.hpp>
#include <kestrel/keel.hpp>
#include <kestrel/vanilla.hpp>

#include <ql/instruments/barrieroption.hpp>
#include <ql/instruments/barriertype.hpp>

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace kestrel {

namespace barrier {

// Contract text -> QuantLib barrier type.
KESTREL_BARRIER_EXPORT extern const std::map<std::string, QuantLib::Barrier::Type> BARRIER_TYPE;

// (exercise, payoff) -> engine on the process:
//   american plain_vanilla    BinomialBarrierEngine<CoxRossRubinstein, DiscretizedDermanKaniBarrierOption>,
//                             400 steps, default Boyle-Lau step limit
//   american cash_or_nothing  AnalyticBinaryBarrierEngine
//   european plain_vanilla    AnalyticBarrierEngine
//   european cash_or_nothing  FdBlackScholesBarrierEngine, QuantLib's default grid
// Under a calibrated surface (a market's vol with has_surface()) the European
// ones, and the American cash-or-nothing one (paid at expiry), value on
// FdBlackScholesBarrierEngine with the process's local volatility; an
// American plain-vanilla knock-out on finite differences with early exercise
// (engines/fd/double_barrier.hpp); an American plain-vanilla knock-in is
// refused (NotImplementedError).
KESTREL_BARRIER_EXPORT extern const std::map<EngineKey, EngineFactory> PRICING_ENGINE_MAP;

}  // namespace barrier

class KESTREL_BARRIER_EXPORT BarrierOption : public BaseOption {
  public:
    explicit BarrierOption(const Terms& option);

    // The rebate once knocked out, the inner vanilla's value once knocked in,
    // else QuantLib's value. Asks triggered first, on every call.
    double npv(double spot, double r, double vol, double q, const EvalDate& evaluation_date = std::nullopt) override;
    // The same on a market of curves; the plain numbers value Market(spot, r,
    // vol, q). The inner vanilla values the same market.
    double npv(const Market& market, const EvalDate& evaluation_date = std::nullopt) override;

    // Whether an adjusted close from the effect date to evaluation_date lies
    // strictly beyond the barrier (below a down barrier, above an up one).
    // No history means not triggered.
    virtual bool triggered(const utils::DateInput& evaluation_date);

    QuantLib::Option::Type call_put() const noexcept { return call_put_; }
    QuantLib::Barrier::Type barrier_type() const noexcept { return barrier_type_; }
    double rebate() const noexcept { return rebate_; }
    double strike() const noexcept { return strike_; }
    const std::string& exercise_type() const noexcept { return exercise_type_; }
    const std::string& payoff_type() const noexcept { return payoff_type_; }
    double barrier() const noexcept { return barrier_; }
    bool pay_at_expiry() const noexcept { return pay_at_expiry_; }
    // The cash of a cash-or-nothing payoff; absent for the other payoffs.
    const std::optional<double>& digital_payoff() const noexcept { return digital_payoff_; }
    const QuantLib::ext::shared_ptr<QuantLib::StrikedTypePayoff>& payoff() const noexcept { return payoff_; }
    const QuantLib::ext::shared_ptr<QuantLib::Exercise>& exercise() const noexcept { return exercise_; }
    const QuantLib::BarrierOption& option() const noexcept { return *_option; }
    // The option a crossed knock-in barrier turns this one into.
    VanillaOption& vanilla() noexcept { return *_vanilla; }

  private:
    // The untriggered value under a calibrated surface (local volatility).
    double local_vol_npv(const Market& market, const QuantLib::Date& evaluation_date);

    QuantLib::Option::Type call_put_;
    QuantLib::Barrier::Type barrier_type_;
    double rebate_;
    double strike_;
    std::string exercise_type_;
    std::string payoff_type_;
    double barrier_;
    bool pay_at_expiry_;
    std::optional<double> digital_payoff_;
    QuantLib::ext::shared_ptr<QuantLib::StrikedTypePayoff> payoff_;
    QuantLib::ext::shared_ptr<QuantLib::Exercise> exercise_;
    QuantLib::ext::shared_ptr<QuantLib::BarrierOption> _option;
    std::unique_ptr<VanillaOption> _vanilla;
};

}  // namespace kestrel
