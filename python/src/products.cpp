// The product classes of kestrel._core. Each product is one bind_* function:
// its constructor from a terms dict, its own operations (triggered, engine,
// construct_option) and its terms as read-only properties. npv, greeks and the
// single Greeks come from BaseOption (core.cpp) and dispatch to the product.
#include "binding.hpp"

#include <kestrel/market/process.hpp>
#include <kestrel/kestrel.hpp>

#include <ql/settings.hpp>

#include <cxxabi.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <typeinfo>

namespace kestrel::python {

namespace {

// A product class with its constructor from a terms mapping.
template <class Product>
py::class_<Product, BaseOption> product_class(py::module_& m, const char* name, const char* doc) {
    py::class_<Product, BaseOption> cls(m, name, doc);
    cls.def(py::init([](py::object terms) {
                const Terms t = to_terms(terms);
                py::gil_scoped_release nogil;
                return std::make_unique<Product>(t);
            }),
            py::arg("terms"));
    return cls;
}

// Read-only properties shared by the QuantLib option products.
template <class Product>
void option_terms(py::class_<Product, BaseOption>& cls) {
    cls.def_property_readonly("call_put", [](const Product& o) { return call_put_text(o.call_put()); })
        .def_property_readonly("strike", &Product::strike);
}

// The contract text a QuantLib enumerator was read from.
template <class Enum>
std::string table_key(const std::map<std::string, Enum>& table, Enum value) {
    for (const auto& [key, v] : table)
        if (v == value) return key;
    return std::to_string(static_cast<int>(value));
}

py::object optional_number(const std::optional<double>& x) { return x ? py::object(py::float_(*x)) : py::none(); }

py::dict from_terms(const Terms& terms) {
    py::dict out;
    for (const auto& [key, value] : terms) out[py::str(key)] = from_value(value);
    return out;
}

// triggered(evaluation_date) of the barrier-style products.
template <class Product>
void bind_triggered(py::class_<Product, BaseOption>& cls) {
    cls.def(
        "triggered",
        [](Product& o, py::object evaluation_date) {
            const QuantLib::Date d = to_date(evaluation_date, "evaluation_date");
            py::gil_scoped_release nogil;
            return o.triggered(d);
        },
        py::arg("evaluation_date"),
        "Whether the price history from the effect date to evaluation_date already crossed a barrier.");
}

// The QuantLib class name of an engine ("AnalyticDoubleBarrierEngine").
std::string engine_name(const QuantLib::PricingEngine& engine) {
    const char* mangled = typeid(engine).name();
    int status = 0;
    char* plain = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string name = status == 0 && plain ? plain : mangled;
    std::free(plain);
    const auto template_start = name.find('<');
    const auto scope = name.rfind("::", template_start);
    if (scope != std::string::npos) name.erase(0, scope + 2);
    return name;
}

void bind_vanilla(py::module_& m) {
    auto cls = product_class<VanillaOption>(
        m, "VanillaOption", "Vanilla and digital options, European or American, on QuantLib's engines.");
    option_terms(cls);
    cls.def_property_readonly("exercise_type", &VanillaOption::exercise_type)
        .def_property_readonly("payoff_type", &VanillaOption::payoff_type)
        .def_property_readonly("pay_at_expiry", &VanillaOption::pay_at_expiry);
}

void bind_barrier(py::module_& m) {
    auto cls = product_class<BarrierOption>(
        m, "BarrierOption",
        "Single-barrier options: up or down, knock-in or knock-out, European or American, with a rebate.");
    option_terms(cls);
    bind_triggered(cls);
    cls.def_property_readonly("barrier_type",
                              [](const BarrierOption& o) { return table_key(barrier::BARRIER_TYPE, o.barrier_type()); })
        .def_property_readonly("barrier", &BarrierOption::barrier)
        .def_property_readonly("rebate", &BarrierOption::rebate)
        .def_property_readonly("exercise_type", &BarrierOption::exercise_type)
        .def_property_readonly("payoff_type", &BarrierOption::payoff_type)
        .def_property_readonly("pay_at_expiry", &BarrierOption::pay_at_expiry)
        .def_property_readonly("digital_payoff",
                               [](const BarrierOption& o) { return optional_number(o.digital_payoff()); })
        .def_property_readonly(
            "_vanilla", [](BarrierOption& o) -> VanillaOption& { return o.vanilla(); },
            py::return_value_policy::reference_internal, "The option a crossed knock-in barrier turns this one into.");
}

void bind_corridor(py::module_& m) {
    auto cls = product_class<DoubleBarrierOption>(
        m, "DoubleBarrierOption",
        "Double-barrier options: knock-in, knock-out, KIKO or KOKI, European or American.");
    option_terms(cls);
    bind_triggered(cls);
    cls.def(
           "engine",
           [](DoubleBarrierOption& o, double spot, double r, double vol, double q) {
               py::gil_scoped_release nogil;
               ValuationLock lock;
               return engine_name(*o.engine(market::make_process(Market(spot, r, vol, q), utils::today())));
           },
           py::arg("spot"), py::arg("r"), py::arg("vol"), py::arg("q"),
           "The QuantLib pricing engine npv uses for this contract on the market model of (spot, r, vol, q),\n"
           "by its class name; fails as npv would for an unsupported contract.")
        .def_property_readonly(
            "barrier_type", [](const DoubleBarrierOption& o) { return table_key(corridor::CORRIDOR_TYPE, o.barrier_type()); })
        .def_property_readonly("barrier_hi", &DoubleBarrierOption::barrier_hi)
        .def_property_readonly("barrier_lo", &DoubleBarrierOption::barrier_lo)
        .def_property_readonly("rebate", &DoubleBarrierOption::rebate)
        .def_property_readonly("exercise_type", &DoubleBarrierOption::exercise_type)
        .def_property_readonly("payoff_type", &DoubleBarrierOption::payoff_type)
        .def_property_readonly("pay_at_expiry", &DoubleBarrierOption::pay_at_expiry)
        .def_property_readonly("digital_payoff",
                               [](const DoubleBarrierOption& o) { return optional_number(o.digital_payoff()); })
        .def_property_readonly(
            "_vanilla", [](DoubleBarrierOption& o) -> VanillaOption& { return o.vanilla(); },
            py::return_value_policy::reference_internal, "The option a triggered knock-in turns this one into.");
}

void bind_tandem(py::module_& m) {
    auto cls = product_class<DoubleTouchOption>(
        m, "DoubleTouchOption", "Double one-touch, double no-touch, KIKO and KOKI digitals on two touch levels.");
    bind_triggered(cls);
    cls.def_property_readonly("touch_type", &DoubleTouchOption::touch_type)
        .def_property_readonly("touch_price_lo", &DoubleTouchOption::touch_price_lo)
        .def_property_readonly("touch_price_hi", &DoubleTouchOption::touch_price_hi)
        .def_property_readonly("rebate", &DoubleTouchOption::rebate)
        .def_property_readonly("digital_payoff", &DoubleTouchOption::digital_payoff)
        .def_property_readonly("pay_at", [](const DoubleTouchOption& o) { return from_value(o.pay_at()); })
        .def("inner_terms", [](const DoubleTouchOption& o) { return from_terms(o.inner_terms()); },
             "The terms of the inner DoubleBarrierOption.")
        .def_property_readonly(
            "_option", [](DoubleTouchOption& o) -> DoubleBarrierOption& { return o.option(); },
            py::return_value_policy::reference_internal, "The inner DoubleBarrierOption.");
}

// What AsianOption::construct_option returns: a QuantLib instrument, engine
// attached, for one evaluation date. Python has no QuantLib objects, so it is
// wrapped with what a caller reads from it.
struct AsianInstrument {
    AsianOption::InstrumentPtr instrument;
    QuantLib::Date evaluation_date;

    QuantLib::DiscreteAveragingAsianOption::arguments arguments() const {
        QuantLib::DiscreteAveragingAsianOption::arguments args;
        instrument->setupArguments(&args);
        return args;
    }
};

const char* average_text(QuantLib::Average::Type t) { return t == QuantLib::Average::Geometric ? "geometric" : "arithmetic"; }

void bind_asian(py::module_& m) {
    py::class_<AsianInstrument>(m, "AsianInstrument",
                                "The QuantLib instrument construct_option builds, at the market's price level.")
        .def(
            "NPV",
            [](AsianInstrument& a) {
                py::gil_scoped_release nogil;
                ValuationLock lock;
                QuantLib::Settings::instance().evaluationDate() = a.evaluation_date;
                return a.instrument->NPV();
            },
            "QuantLib's value, with QuantLib's evaluation date set to the date the instrument was built for.")
        .def_property_readonly("evaluation_date", [](const AsianInstrument& a) { return from_date(a.evaluation_date); })
        .def_property_readonly("average_type", [](const AsianInstrument& a) { return average_text(a.arguments().averageType); })
        .def_property_readonly("past_fixings", [](const AsianInstrument& a) { return a.arguments().pastFixings; })
        .def_property_readonly("running_accumulator",
                               [](const AsianInstrument& a) { return a.arguments().runningAccumulator; })
        .def_property_readonly("fixing_dates", [](const AsianInstrument& a) { return from_dates(a.arguments().fixingDates); });

    auto cls = product_class<AsianOption>(
        m, "AsianOption", "Discretely averaged (average price) Asian options, geometric or arithmetic.");
    option_terms(cls);
    cls.def_property_readonly("average_type", [](const AsianOption& o) { return average_text(o.average_type()); })
        .def_property_readonly("fixing_dates", [](const AsianOption& o) { return from_dates(o.fixing_dates()); })
        .def(
            "construct_option",
            [](const AsianOption& o, double spot, double r, double vol, double q, py::object evaluation_date) {
                check_caller_vol(vol);
                const QuantLib::Date d = to_date(evaluation_date, "evaluation_date");
                py::gil_scoped_release nogil;
                return AsianInstrument{o.construct_option(spot, r, vol, q, d), d};
            },
            py::arg("spot"), py::arg("r"), py::arg("vol"), py::arg("q"), py::arg("evaluation_date"),
            "The QuantLib instrument for this valuation, past fixings from the price history included.")
        .def(
            "past_closes",
            [](const AsianOption& o, py::object evaluation_date) {
                const QuantLib::Date d = to_date(evaluation_date, "evaluation_date");
                py::gil_scoped_release nogil;
                return o.past_closes(d);
            },
            py::arg("evaluation_date"), "The adjusted closes from the effect date to evaluation_date.");
}

py::dict statistics_dict(const detail::NoteStatistics& s) {
    py::dict by_date;
    for (std::size_t i = 0; i < s.ko_dates.size(); ++i) by_date[from_date(s.ko_dates[i])] = s.ko_probability[i];
    py::dict out;
    out["npv"] = s.npv;
    out["standard_error"] = s.standard_error;
    out["knock_out_probability"] = s.ko_total;
    out["knock_out_by_date"] = by_date;
    out["knock_in_probability"] = s.ki_probability;
    out["loss_probability"] = s.loss_probability;
    out["expected_life"] = s.expected_life;
    return out;
}

py::dict fair_coupon_dict(const detail::FairCoupon& f) {
    py::dict out;
    out["fair_coupon_rate"] = f.fair_coupon_rate;
    out["standard_error"] = f.standard_error;
    return out;
}

// npv per spot, or (npv, delta, gamma) tuples.
py::list ladder_list(const std::vector<detail::ValueDeltaGamma>& v, bool delta_and_gamma) {
    py::list out;
    for (const detail::ValueDeltaGamma& x : v) {
        if (delta_and_gamma)
            out.append(py::make_tuple(x.npv, x.delta, x.gamma));
        else
            out.append(x.npv);
    }
    return out;
}

// The autocallable notes: terms, observation schedules and coupons. The
// accessors are AutocallableNote's, which Python does not know: each goes
// through a lambda on the note's own class.
template <class Note>
void bind_note(py::module_& m, const char* name, const char* doc) {
    auto cls = product_class<Note>(m, name, doc);
    cls.def_property_readonly("strike", [](const Note& o) { return o.strike(); })
        .def_property_readonly("ki_barrier", [](const Note& o) { return o.ki_barrier(); })
        .def_property_readonly("ko_barrier", [](const Note& o) { return o.ko_barrier(); })
        .def_property_readonly("coupon_rate", [](const Note& o) { return o.coupon_rate(); })
        .def_property_readonly("ki_obs_freq", [](const Note& o) { return from_value(o.ki_obs_freq()); })
        .def_property_readonly("ko_obs_freq", [](const Note& o) { return from_value(o.ko_obs_freq()); })
        .def_property_readonly("obs_start_date", [](const Note& o) { return from_date(o.obs_start_date()); })
        .def_property_readonly("obs_end_date", [](const Note& o) { return from_date(o.obs_end_date()); })
        .def_property_readonly("ki_obs_dates", [](const Note& o) { return from_dates(o.ki_obs_dates()); })
        .def_property_readonly("ko_obs_dates", [](const Note& o) { return from_dates(o.ko_obs_dates()); })
        .def_property_readonly(
            "coupon",
            [](const Note& o) {
                py::dict out;
                const auto& dates = o.ko_obs_dates();
                const auto& amounts = o.coupon();
                for (std::size_t i = 0; i < dates.size() && i < amounts.size(); ++i)
                    out[from_date(dates[i])] = amounts[i];
                return out;
            },
            "The amount paid on each knock-out date, {date: amount} in date order.")
        .def_property_readonly("ko_barriers", [](const Note& o) { return o.terms().ko_barriers; },
                               "The knock-out level of each knock-out date.")
        .def_property_readonly("coupon_rates", [](const Note& o) { return o.terms().coupon_rates; },
                               "The annual coupon rate of each knock-out date.")
        .def_property_readonly("floor_price", [](const Note& o) { return optional_number(o.terms().floor_price); })
        .def(
            "statistics",
            [](Note& o, double spot, double r, double vol, double q, py::object evaluation_date) {
                check_caller_vol(vol);
                const EvalDate e = to_eval_date(evaluation_date);
                detail::NoteStatistics s;
                {
                    py::gil_scoped_release nogil;
                    s = o.statistics(spot, r, vol, q, e);
                }
                return statistics_dict(s);
            },
            py::arg("spot"), py::arg("r"), py::arg("vol"), py::arg("q"), py::arg("evaluation_date") = py::none(),
            "From one simulation (or, on \"pde\", the backward solution): npv, its standard error, the "
            "probability of knocking out (in all, and {date: probability} by remaining knock-out date), of "
            "reaching maturity knocked in, of a loss at maturity, and the expected remaining life in years.")
        .def(
            "statistics",
            [](Note& o, const Market& market, py::object evaluation_date) {
                const EvalDate e = to_eval_date(evaluation_date);
                detail::NoteStatistics s;
                {
                    py::gil_scoped_release nogil;
                    s = o.statistics(market, e);
                }
                return statistics_dict(s);
            },
            py::arg("market"), py::arg("evaluation_date") = py::none())
        .def(
            "fair_coupon_rate",
            [](Note& o, double spot, double r, double vol, double q, py::object evaluation_date, double target) {
                check_caller_vol(vol);
                const EvalDate e = to_eval_date(evaluation_date);
                detail::FairCoupon f;
                {
                    py::gil_scoped_release nogil;
                    f = o.fair_coupon_rate(spot, r, vol, q, e, target);
                }
                return fair_coupon_dict(f);
            },
            py::arg("spot"), py::arg("r"), py::arg("vol"), py::arg("q"), py::arg("evaluation_date") = py::none(),
            py::arg("target") = 0.0,
            "The coupon rate at which npv equals target, exact on one simulation's paths: "
            "{\"fair_coupon_rate\": ..., \"standard_error\": ...}.")
        .def(
            "fair_coupon_rate",
            [](Note& o, const Market& market, py::object evaluation_date, double target) {
                const EvalDate e = to_eval_date(evaluation_date);
                detail::FairCoupon f;
                {
                    py::gil_scoped_release nogil;
                    f = o.fair_coupon_rate(market, e, target);
                }
                return fair_coupon_dict(f);
            },
            py::arg("market"), py::arg("evaluation_date") = py::none(), py::arg("target") = 0.0)
        .def(
            "spot_ladder",
            [](Note& o, const std::vector<double>& spots, double r, double vol, double q, py::object evaluation_date,
               bool delta_and_gamma) {
                check_caller_vol(vol);
                const EvalDate e = to_eval_date(evaluation_date);
                std::vector<detail::ValueDeltaGamma> v;
                {
                    py::gil_scoped_release nogil;
                    v = o.spot_ladder(spots, r, vol, q, e, delta_and_gamma);
                }
                return ladder_list(v, delta_and_gamma);
            },
            py::arg("spots"), py::arg("r"), py::arg("vol"), py::arg("q"), py::arg("evaluation_date") = py::none(),
            py::arg("delta_and_gamma") = false,
            "npv at each of spots from one simulation (each equal to the valuation at that spot alone); with "
            "delta_and_gamma (npv, delta, gamma) tuples, gamma as d2V/dS2.")
        .def(
            "spot_ladder",
            [](Note& o, const std::vector<double>& spots, const Market& market, py::object evaluation_date,
               bool delta_and_gamma) {
                const EvalDate e = to_eval_date(evaluation_date);
                std::vector<detail::ValueDeltaGamma> v;
                {
                    py::gil_scoped_release nogil;
                    v = o.spot_ladder(spots, market, e, delta_and_gamma);
                }
                return ladder_list(v, delta_and_gamma);
            },
            py::arg("spots"), py::arg("market"), py::arg("evaluation_date") = py::none(),
            py::arg("delta_and_gamma") = false, "The same on a Market's curves (its own spot unused).");
}

}  // namespace

void bind_products(py::module_& m) {
    bind_vanilla(m);
    bind_barrier(m);
    bind_corridor(m);
    bind_tandem(m);
    bind_asian(m);
    bind_note<SnowBallOption>(m, "SnowBallOption",
                              "The snowball autocallable note: coupon accrued from obs_start_date to the knock-out "
                              "date, valued by Monte Carlo.");
    bind_note<PhoenixOption>(m, "PhoenixOption",
                             "The phoenix autocallable note: a coupon per period while at or above ki_barrier, "
                             "valued by Monte Carlo.");
}

}  // namespace kestrel::python
