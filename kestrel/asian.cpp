#include <kestrel/asian.hpp>
#include <kestrel/market/process.hpp>
#include <kestrel/utils.hpp>

#include <heron/heron.hpp>

#include <ql/pricingengines/asian/analytic_discr_geom_av_price.hpp>
#include <ql/pricingengines/asian/fdblackscholesasianengine.hpp>
#include <ql/pricingengines/asian/mc_discr_arith_av_price.hpp>
#include <ql/pricingengines/asian/mc_discr_geom_av_price.hpp>
#include <ql/pricingengines/asian/turnbullwakemanasianengine.hpp>
#include <ql/settings.hpp>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <sstream>

namespace kestrel {

using namespace QuantLib;

namespace {

Option::Type read_call_put(const Terms& option) {
    const Value& v = option.at("call_put");
    return (v.is_text() && v.as_text("call_put") == "call") ? Option::Call : Option::Put;
}

Average::Type read_average_type(const Terms& option) {
    const Value* v = option.find("average_type");
    return (v && v->is_text() && v->as_text("average_type") == "geometric") ? Average::Geometric : Average::Arithmetic;
}

AsianOption::Engine read_engine(const Terms& option, Average::Type average_type) {
    using Engine = AsianOption::Engine;
    const bool geometric = average_type == Average::Geometric;
    const Value* v = option.find("engine");
    if (!v || v->is_none()) return geometric ? Engine::analytic : Engine::mc;
    const std::string name = v->as_text("engine");
    const auto& names = AsianOption::engine_names();
    std::size_t i = 0;
    while (i < names.size() && names[i] != name) ++i;
    if (i == names.size()) {
        std::string known;
        for (const auto& n : names) known += (known.empty() ? "" : ", ") + n;
        throw ValueError("engine: unknown Asian option engine '" + name + "' (known: " + known + ")");
    }
    const auto engine = static_cast<Engine>(i);
    if (geometric != (engine == Engine::analytic))
        throw ValueError("engine: '" + name + "' does not value a" + (geometric ? " geometric" : "n arithmetic") +
                         " average (" + (geometric ? "analytic" : "mc, fd or turnbull_wakeman") + " does)");
    return engine;
}

// Under a calibrated surface: QuantLib's Monte Carlo on the process's local
// volatility, paths stepped from fixing to fixing (Euler in log price, the
// local volatility read at each step's start), pseudo-random with the flat
// case's seed, without the control variate: its analytic geometric value
// would read the at-the-money Black volatility, not the smile the paths
// follow, and bias the estimate. Without it the flat case's tolerance
// (0.005 at the working scale) stops at QuantLib's first 1023 paths, a
// standard error of about 5 % of an at-the-money value on a price of 2:
// instead antithetic paths until the standard error is
// local_vol_relative_tolerance of the spot.
ext::shared_ptr<PricingEngine> make_local_vol_engine(Average::Type average_type, const market::ProcessPtr& process) {
    const double tolerance = AsianOption::local_vol_relative_tolerance * process->x0();
    if (average_type == Average::Geometric)
        return MakeMCDiscreteGeometricAPEngine<PseudoRandom>(process)
            .withBrownianBridge(false)
            .withAntitheticVariate(true)
            .withAbsoluteTolerance(tolerance)
            .withSeed(AsianOption::mc_seed);
    return MakeMCDiscreteArithmeticAPEngine<PseudoRandom>(process)
        .withBrownianBridge(false)
        .withAntitheticVariate(true)
        .withControlVariate(false)
        .withAbsoluteTolerance(tolerance)
        .withSeed(AsianOption::mc_seed);
}

ext::shared_ptr<PricingEngine> make_engine(AsianOption::Engine engine, const market::ProcessPtr& process) {
    switch (engine) {
        case AsianOption::Engine::analytic:
            return ext::make_shared<AnalyticDiscreteGeometricAveragePriceAsianEngine>(process);
        case AsianOption::Engine::fd:
            return ext::make_shared<FdBlackScholesAsianEngine>(process, AsianOption::fd_time_steps,
                                                               AsianOption::fd_spot_steps,
                                                               AsianOption::fd_average_steps);
        case AsianOption::Engine::turnbull_wakeman:
            return ext::make_shared<TurnbullWakemanAsianEngine>(process);
        case AsianOption::Engine::mc:
            break;
    }
    // Paths drawn fixing by fixing, without a Brownian bridge: the engine as
    // QuantLib's Python binding defaults it. MakeMCDiscreteArithmeticAPEngine
    // turns the bridge on unless told, which changes the draws and the value.
    return MakeMCDiscreteArithmeticAPEngine<PseudoRandom>(process)
        .withBrownianBridge(false)
        .withControlVariate(true)
        .withAbsoluteTolerance(AsianOption::mc_tolerance)
        .withSeed(AsianOption::mc_seed);
}

}  // namespace

const std::vector<std::string>& AsianOption::engine_names() {
    static const std::vector<std::string> names{"analytic", "mc", "fd", "turnbull_wakeman"};
    return names;
}

AsianOption::AsianOption(const Terms& option) : BaseOption(option) {
    call_put_ = read_call_put(option);
    strike_ = option.number("strike");
    average_type_ = read_average_type(option);
    engine_ = read_engine(option, average_type_);
    exercise_ = ext::make_shared<EuropeanExercise>(utils::to_qldate(maturity_date()));
    payoff_ = ext::make_shared<PlainVanillaPayoff>(call_put_, strike_);
    for (const Date& d : heron::get_trading_dates(effect_date(), maturity_date()))
        fixing_dates_.push_back(utils::to_qldate(d));
}

std::vector<double> AsianOption::past_closes(const utils::DateInput& evaluation_date) const {
    const auto table = heron::get_price(underlying_id(), effect_date(), evaluation_date, "close", "pre", true);
    if (!table) return {};
    std::vector<double> closes = table->column("close");
    for (std::size_t i = 0; i < closes.size(); ++i) {
        if (!(std::isfinite(closes[i]) && closes[i] > 0)) {
            std::ostringstream os;
            os << "close of " << underlying_id() << " on " << utils::format_date(table->dates().at(i))
               << " is not a positive price: " << closes[i];
            throw ValueError(os.str());
        }
    }
    return closes;
}

double AsianOption::working_scale(double spot, const std::vector<double>& closes) const {
    if (average_type_ == Average::Geometric) {
        if (closes.empty()) return 1.0;
        double log_sum = 0.0;
        for (double c : closes) log_sum += std::log(c);
        return std::exp(log_sum / static_cast<double>(closes.size()));
    }
    return spot > mc_price_level ? spot / mc_price_level : 1.0;
}

AsianOption::InstrumentPtr AsianOption::build(const Market& m, const Date& evaluation_date,
                                              const std::vector<double>& closes, double scale) const {
    const Size past_fixings = closes.size();
    double accumulator;
    if (average_type_ == Average::Geometric) {
        if (scale == 1.0) {
            accumulator = std::accumulate(closes.begin(), closes.end(), 1.0, std::multiplies<>());
        } else {
            // In logarithms: the product of close / scale stays in range for any
            // history length when the scale is near the closes.
            double log_sum = 0.0;
            for (double c : closes) log_sum += std::log(c / scale);
            accumulator = std::exp(log_sum);
        }
    } else {
        accumulator = std::accumulate(closes.begin(), closes.end(), 0.0) / scale;
    }
    const auto payoff = scale == 1.0 ? payoff_ : ext::make_shared<PlainVanillaPayoff>(call_put_, strike_ / scale);
    // The finite-difference and Turnbull-Wakeman engines take only the
    // fixings still to come (the past ones are in the count and the sum); the
    // others skip the past ones themselves.
    const bool surface = m.vol.has_surface();
    const bool future_only = engine_ == Engine::fd || engine_ == Engine::turnbull_wakeman;
    if (surface && future_only)
        throw NotImplementedError("engine: '" + engine_names()[static_cast<std::size_t>(engine_)] +
                                  "' reads one Black volatility, not a calibrated surface: value this Asian option "
                                  "on \"mc\", which runs on the surface's local volatility");
    std::vector<Date> fixings;
    if (future_only) {
        for (const Date& d : fixing_dates_)
            if (d >= evaluation_date) fixings.push_back(d);
    }
    auto instrument = ext::make_shared<DiscreteAveragingAsianOption>(
        average_type_, accumulator, past_fixings, future_only ? fixings : fixing_dates_, payoff, exercise_);
    if (surface)
        instrument->setPricingEngine(make_local_vol_engine(
            average_type_, market::make_process(m.with_spot(m.spot / scale), evaluation_date, scale)));
    else
        instrument->setPricingEngine(
            make_engine(engine_, market::make_process(m.with_spot(m.spot / scale), evaluation_date)));
    return instrument;
}

AsianOption::InstrumentPtr AsianOption::construct_option(double spot, double r, double vol, double q,
                                                         const utils::DateInput& evaluation_date) const {
    return construct_option(spot, r, vol, q, evaluation_date, 1.0);
}

AsianOption::InstrumentPtr AsianOption::construct_option(double spot, double r, double vol, double q,
                                                         const utils::DateInput& evaluation_date,
                                                         double scale) const {
    check_market_inputs(spot, r, vol, q);
    return construct_option(Market(spot, r, vol, q), evaluation_date, scale);
}

AsianOption::InstrumentPtr AsianOption::construct_option(const Market& market, const utils::DateInput& evaluation_date,
                                                         double scale) const {
    market.check(evaluation_date.date());
    if (!(std::isfinite(scale) && scale > 0)) {
        std::ostringstream os;
        os << "scale must be a positive finite number, got " << scale;
        throw ValueError(os.str());
    }
    return build(market, evaluation_date.date(), past_closes(evaluation_date), scale);
}

double AsianOption::npv(double spot, double r, double vol, double q, const EvalDate& evaluation_date) {
    check_market_inputs(spot, r, vol, q);
    return npv(Market(spot, r, vol, q), evaluation_date);
}

double AsianOption::npv(const Market& market, const EvalDate& evaluation_date) {
    const Date e = eval_or_today(evaluation_date);
    market.check(e);
    const std::vector<double> closes = past_closes(e);
    const double scale = working_scale(market.spot, closes);
    // Held until the model objects built below are gone: QuantLib's observer
    // registrations and its evaluation date are process-wide.
    const ValuationLock lock;
    const InstrumentPtr instrument = build(market, e, closes, scale);
    Settings::instance().evaluationDate() = utils::to_qldate(e);
    return instrument->NPV() * scale;
}

}  // namespace kestrel
