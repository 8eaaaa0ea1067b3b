#pragma once
// Discretely averaged (average price) Asian options, geometric or arithmetic,
// on QuantLib's DiscreteAveragingAsianOption. Every trading day from the
// effect date to maturity is a fixing; fixings already past enter as a count
// and a running product (geometric) or sum (arithmetic) of the underlying's
// adjusted ("pre") closes.
//
// Terms (besides the base keys): "call_put" ("call", anything else a put),
// "strike", optional "average_type" ("geometric"; absent or any other value
// gives an arithmetic average), optional "engine" (below).
//
// Engines: AnalyticDiscreteGeometricAveragePriceAsianEngine (geometric; its
// "engine" may only be "analytic"). Arithmetic, by "engine":
//   "mc" (the default): MCDiscreteArithmeticAPEngine<PseudoRandom> with the
//        geometric control variate, absolute tolerance 0.005, seed 42 and no
//        Brownian bridge, QuantLib's own defaults otherwise;
//   "fd": FdBlackScholesAsianEngine, the Black-Scholes equation in the spot
//        and the running average, on fd_time_steps x fd_spot_steps x
//        fd_average_steps with the Douglas scheme (the fixings still to come
//        are stopping times); within the Monte Carlo's error on the tests'
//        contracts, 1.4 x faster than it on a fresh one-year contract and
//        about 30 x on a seasoned one;
//   "turnbull_wakeman": TurnbullWakemanAsianEngine, the closed form of the
//        average approximated by a log-normal of the same first two moments;
//        near instant, good at the volatilities of an index, worse far from
//        the money and at high volatility.
// Any other name, or an arithmetic engine on a geometric average, is a
// ValueError naming the term and the names it takes.
//
// Price scale. The value is homogeneous of degree one in (spot, strike, past
// closes), so npv values the contract with every price divided by one scale
// and multiplies the result back:
//   geometric:  the geometric mean of the past closes (1 with no history), so
//               the running product handed to QuantLib is 1 up to rounding for
//               any history length; the plain product of a year of closes near
//               6,000 is far beyond the range of a double;
//   arithmetic: spot / 100 when the spot is above 100, else 1, so the engine's
//               tolerance of 0.005 applies at a price level of 100 (0.005 x
//               spot / 100 in the market's units) and the number of paths no
//               longer grows with the square of the price level.
// The geometric value equals the unscaled one to rounding wherever that one is
// finite. The arithmetic value at a spot of 100 or less is the unscaled one
// exactly; above 100 it is the value QuantLib gives at a tolerance of
// 0.005 x spot / 100, the same seed and the same draws.
#include <kestrel/export.hpp>
#include <kestrel/keel.hpp>

#include <ql/exercise.hpp>
#include <ql/instruments/asianoption.hpp>
#include <ql/instruments/averagetype.hpp>
#include <ql/instruments/payoffs.hpp>
#include <ql/option.hpp>

#include <cstddef>
#include <string>
#include <vector>

namespace kestrel {

class KESTREL_ASIAN_EXPORT AsianOption : public BaseOption {
  public:
    using InstrumentPtr = QuantLib::ext::shared_ptr<QuantLib::DiscreteAveragingAsianOption>;

    // Monte Carlo settings of the arithmetic engine.
    static constexpr double mc_tolerance = 0.005;
    static constexpr double mc_price_level = 100.0;
    static constexpr unsigned long mc_seed = 42;
    // Grid of the "fd" engine: time steps (besides the fixings), log-spot
    // points and log-average points.
    static constexpr std::size_t fd_time_steps = 25;
    static constexpr std::size_t fd_spot_steps = 100;
    static constexpr std::size_t fd_average_steps = 100;
    // Under a calibrated surface both averages run QuantLib's Monte Carlo on
    // the local volatility, antithetic and without the control variate (whose
    // analytic value would not see the smile), seed mc_seed, sampled until
    // the standard error is this fraction of the spot.
    static constexpr double local_vol_relative_tolerance = 2e-4;

    enum class Engine { analytic, mc, fd, turnbull_wakeman };
    // The names "engine" takes, in the order of Engine.
    static const std::vector<std::string>& engine_names();

    // Reads the base keys, then "call_put", "strike", "average_type", "engine"; asks the
    // market-data service once for the trading days from the effect date to
    // maturity (the fixing dates).
    explicit AsianOption(const Terms& option);

    // Present value of one option, at the working price scale (see above).
    // Non-finite market inputs or a spot that is not positive are ValueErrors
    // naming the input. Sets QuantLib's evaluation date (today when absent).
    double npv(double spot, double r, double vol, double q, const EvalDate& evaluation_date = std::nullopt) override;
    // The same on a market of curves (the plain numbers value Market(spot, r,
    // vol, q)); the working scale divides the spot, the curves stay as given.
    double npv(const Market& market, const EvalDate& evaluation_date = std::nullopt) override;

    // A new instrument at the market's own price level, engine attached; its
    // NPV() is the option's value once QuantLib's evaluation date is set (this
    // does not set it). Past fixings: the closes from the effect date to the
    // evaluation date, every one counted, the geometric accumulator their plain
    // product. The instrument's model is QuantLib's: a caller pricing it while
    // other threads value QuantLib products holds a ValuationLock.
    InstrumentPtr construct_option(double spot, double r, double vol, double q,
                                   const utils::DateInput& evaluation_date) const;

    // The same contract with every price divided by `scale` (spot, strike, each
    // past close: the geometric accumulator becomes the product of close /
    // scale, the arithmetic one sum / scale); its NPV() times `scale` is the
    // option's value. `scale` must be positive and finite (ValueError).
    InstrumentPtr construct_option(double spot, double r, double vol, double q, const utils::DateInput& evaluation_date,
                                   double scale) const;
    // Both on a market of curves (the evaluation date also fixes the curves'
    // tenor pillars).
    InstrumentPtr construct_option(const Market& market, const utils::DateInput& evaluation_date,
                                   double scale = 1.0) const;

    // The scale npv values at, for this spot and these past closes.
    double working_scale(double spot, const std::vector<double>& closes) const;

    // Adjusted closes from the effect date to the evaluation date (one
    // market-data request); empty when the service has none. A close that is
    // not a positive finite number is a ValueError naming its date.
    std::vector<double> past_closes(const utils::DateInput& evaluation_date) const;

    QuantLib::Option::Type call_put() const noexcept { return call_put_; }
    double strike() const noexcept { return strike_; }
    QuantLib::Average::Type average_type() const noexcept { return average_type_; }
    Engine engine() const noexcept { return engine_; }
    const QuantLib::ext::shared_ptr<QuantLib::EuropeanExercise>& exercise() const noexcept { return exercise_; }
    const QuantLib::ext::shared_ptr<QuantLib::PlainVanillaPayoff>& payoff() const noexcept { return payoff_; }
    const std::vector<QuantLib::Date>& fixing_dates() const noexcept { return fixing_dates_; }

  private:
    InstrumentPtr build(const Market& market, const QuantLib::Date& evaluation_date, const std::vector<double>& closes,
                        double scale) const;

    QuantLib::Option::Type call_put_;
    double strike_;
    QuantLib::Average::Type average_type_;
    Engine engine_;
    QuantLib::ext::shared_ptr<QuantLib::EuropeanExercise> exercise_;
    QuantLib::ext::shared_ptr<QuantLib::PlainVanillaPayoff> payoff_;
    std::vector<QuantLib::Date> fixing_dates_;
};

}  // namespace kestrel
