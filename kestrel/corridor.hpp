#pragma once
// Double-barrier options: a lower and an upper barrier, knock-in, knock-out,
// KIKO or KOKI, European or American, with a zero rebate.
//
// Terms (besides the base keys), read in this order: "barrier_hi",
// "barrier_lo" (ValueError unless below "barrier_hi"), "barrier_type" ("knock_in" |
// "knock_out" | "kiko" | "koki"), "call_put" ("call", anything else a put),
// "strike", "exercise_type" ("european" | "american"), "rebate" (default 0.0,
// anything else is refused), "payoff_type" ("plain_vanilla" |
// "cash_or_nothing" | "asset_or_nothing"; defaults to "plain_vanilla" here,
// but the inner vanilla option needs it), "pay_at" ("expiry": an American
// payoff is paid at expiry) and, for a cash-or-nothing payoff,
// "digital_payoff" (default s0).
//
// While no unadjusted close since the effect date lies outside the corridor,
// the option is valued on QuantLib's DoubleBarrierOption with the engine that
// engine() picks. Once one does, a knock-out is worth its rebate and a
// knock-in the vanilla option built from the same terms (whose
// "digital_payoff" defaults to 0.0, not s0). KIKO and KOKI contracts with
// price history are refused.
//
// Under a calibrated surface (a market's vol with has_surface()) engine() is
// not asked: a European knock-in or knock-out, plain vanilla or
// cash-or-nothing, values by finite differences on the process's local
// volatility (engines/fd/double_barrier.hpp; the cash paid at expiry whatever
// the strike, as the analytic binary engine reads it); anything else is
// refused with a NotImplementedError naming it.
#include <kestrel/export.hpp>
#include <kestrel/keel.hpp>
#include <kestrel/vanilla.hpp>

#include <ql/experimental/barrieroption/doublebarrieroption.hpp>
#include <ql/experimental/barrieroption/doublebarriertype.hpp>

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace kestrel {

namespace corridor {

// Contract text -> QuantLib double-barrier type.
KESTREL_CORRIDOR_EXPORT extern const std::map<std::string, QuantLib::DoubleBarrier::Type> CORRIDOR_TYPE;

// ValueError "<lo_name> (lo) must be below <hi_name> (hi)" unless lo < hi
// (so also when either is NaN). With the levels swapped every price would lie
// outside the corridor and a knock-out would be worth nothing without a word.
KESTREL_CORRIDOR_EXPORT void check_levels(const char* lo_name, double lo, const char* hi_name, double hi);

}  // namespace corridor

class KESTREL_CORRIDOR_EXPORT DoubleBarrierOption : public BaseOption {
  public:
    explicit DoubleBarrierOption(const Terms& option);

    // The rebate once knocked out, the inner vanilla's value once knocked in,
    // else QuantLib's value with the engine engine() picks. Reaches triggered
    // and engine through the object, so a derived class may replace either.
    double npv(double spot, double r, double vol, double q, const EvalDate& evaluation_date = std::nullopt) override;
    // The same on a market of curves; the plain numbers value Market(spot, r,
    // vol, q). The inner vanilla values the same market.
    double npv(const Market& market, const EvalDate& evaluation_date = std::nullopt) override;

    // A new engine for this contract on the process; the first row that
    // matches wins:
    //   european cash_or_nothing  knock_in, knock_out  AnalyticDoubleBarrierBinaryEngine
    //   american cash_or_nothing  kiko, koki           AnalyticDoubleBarrierBinaryEngine
    //   european plain_vanilla    any                  AnalyticDoubleBarrierEngine
    // Another barrier type in a cash-or-nothing row is AssertionError("not
    // implemented"); any other pair a NotImplementedError without message.
    virtual EnginePtr engine(const market::ProcessPtr& proc);

    // Whether an unadjusted close from the effect date to evaluation_date lies
    // strictly below barrier_lo or strictly above barrier_hi. No history means
    // not triggered; KIKO and KOKI with history are NotImplementedError.
    virtual bool triggered(const utils::DateInput& evaluation_date);

    double barrier_hi() const noexcept { return barrier_hi_; }
    double barrier_lo() const noexcept { return barrier_lo_; }
    QuantLib::DoubleBarrier::Type barrier_type() const noexcept { return barrier_type_; }
    QuantLib::Option::Type call_put() const noexcept { return call_put_; }
    double strike() const noexcept { return strike_; }
    const std::string& exercise_type() const noexcept { return exercise_type_; }
    double rebate() const noexcept { return rebate_; }
    const std::string& payoff_type() const noexcept { return payoff_type_; }
    bool pay_at_expiry() const noexcept { return pay_at_expiry_; }
    // The cash of a cash-or-nothing payoff; absent for the other payoffs.
    const std::optional<double>& digital_payoff() const noexcept { return digital_payoff_; }
    const QuantLib::ext::shared_ptr<QuantLib::StrikedTypePayoff>& payoff() const noexcept { return payoff_; }
    const QuantLib::ext::shared_ptr<QuantLib::Exercise>& exercise() const noexcept { return exercise_; }
    const QuantLib::DoubleBarrierOption& option() const noexcept { return *_option; }
    // The option a triggered knock-in turns this one into.
    VanillaOption& vanilla() noexcept { return *_vanilla; }

  private:
    double barrier_hi_;
    double barrier_lo_;
    QuantLib::DoubleBarrier::Type barrier_type_;
    QuantLib::Option::Type call_put_;
    double strike_;
    std::string exercise_type_;
    double rebate_;
    std::string payoff_type_;
    bool pay_at_expiry_;
    std::optional<double> digital_payoff_;
    QuantLib::ext::shared_ptr<QuantLib::StrikedTypePayoff> payoff_;
    QuantLib::ext::shared_ptr<QuantLib::Exercise> exercise_;
    QuantLib::ext::shared_ptr<QuantLib::DoubleBarrierOption> _option;
    std::unique_ptr<VanillaOption> _vanilla;
};

}  // namespace kestrel
