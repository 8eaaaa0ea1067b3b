// kestrel.Market: one underlying's market (spot, r curve, q curve, volatility)
// for the Market forms of the valuation methods.
//
// r, q and vol are each a number or the market file's forms: {"curve":
// [[PILLAR, VALUE], ...]} (PILLAR a date or a tenor such as "3M"), and for q
// also {"forwards": [[DATE, PRICE], ...]}, implied with the r curve on
// evaluation_date. They are read by the market file's own reader, so a
// Market refuses exactly what a market file would, with the same messages.
#include "binding.hpp"

#include <kestrel/book.hpp>
#include <kestrel/market.hpp>
#include <kestrel/market/calibrated_surface.hpp>
#include <kestrel/utils.hpp>

#include <nlohmann/json.hpp>
#include <pybind11/operators.h>

#include <string>

namespace kestrel::python {

namespace {

using Json = nlohmann::ordered_json;
using namespace pybind11::literals;

// A market input as JSON text: dates (datetime.date and the like) as
// YYYY-MM-DD.
Json to_json(py::handle obj, const char* field) {
    py::module_ json = py::module_::import("json");
    py::cpp_function as_text([field](py::handle o) -> py::str {
        try {
            return py::str(utils::format_date(to_date(o, field)));
        } catch (const Error&) {
            throw TypeError(std::string("Market: \"") + field + "\": " +
                            py::str(py::type::handle_of(o).attr("__name__")).cast<std::string>() +
                            " is not a number, a date or text");
        }
    });
    std::string text;
    try {
        text = json.attr("dumps")(obj, "default"_a = as_text, "allow_nan"_a = false).cast<std::string>();
    } catch (const py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        throw ValueError(std::string("Market: \"") + field + "\": a number is not finite");
    }
    return Json::parse(text);
}

// A curve in the form Market reads it: a number, or {"curve": [[PILLAR, VALUE], ...]}.
template <class Curve>
py::object from_curve(const Curve& c) {
    if (c.is_number()) return py::float_(c.number());
    py::list points;
    for (const CurvePoint& p : c.points()) points.append(py::make_tuple(p.pillar.to_string(), p.value));
    py::dict out;
    out["curve"] = points;
    return out;
}

py::object json_to_python(const nlohmann::json& j) { return py::module_::import("json").attr("loads")(j.dump()); }

const vol::CalibratedSurface& calibrated(const Market& mk) {
    const auto* s = dynamic_cast<const vol::CalibratedSurface*>(mk.vol.surface().get());
    if (!s || !s->calibration())
        throw TypeError("Market: its volatility surface was not calibrated from quotes, so it cannot be written out");
    return *s;
}

// A surface's vol as a market file writes it: {"local": {"quotes", "forwards",
// "calibration"}}, the quotes inline (moved, for a shifted surface).
py::object surface_entry(const Market& mk) {
    const vol::CalibratedSurface& s = calibrated(mk);
    return json_to_python(vol::market_entry(s.quotes(), s.calibration()->settings));
}

// check: whether to check the curves on the evaluation date (not when a
// pickled Market is read back: its date is gone).
Market make_market(double spot, py::handle r, py::handle vol, py::handle q, py::handle evaluation_date,
                   bool check = true) {
    const bool numbers = py::isinstance<py::float_>(r) || py::isinstance<py::int_>(r);
    if (numbers && (py::isinstance<py::float_>(vol) || py::isinstance<py::int_>(vol)) &&
        (py::isinstance<py::float_>(q) || py::isinstance<py::int_>(q))) {
        const double v = vol.cast<double>();
        check_caller_vol(v);
        const Market m(spot, r.cast<double>(), v, q.cast<double>());
        if (check) m.check(evaluation_date.is_none() ? utils::today() : to_date(evaluation_date, "evaluation_date"));
        return m;
    }
    // The market file's reader, on a market of one underlying.
    Json market;
    market["r"] = to_json(r, "r");
    Json& u = market["underlyings"]["underlying"];
    u["vol"] = to_json(vol, "vol");
    u["q"] = to_json(q, "q");
    const QuantLib::Date day =
        evaluation_date.is_none() ? utils::today() : to_date(evaluation_date, "evaluation_date");
    const book::BookMarket file = book::BookMarket::from_json(market, "Market");
    if (check) file.check(day);
    Market m = file.market_of("underlying", spot, day);
    if (check) m.check(day);
    return m;
}

}  // namespace

void bind_market(py::module_& m) {
    py::class_<Market>(m, "Market",
                       "One underlying's market: spot, and r, vol and q each a number or a curve.\n\n"
                       "Market(spot, r, vol, q, evaluation_date=None): r and q are continuously compounded zero "
                       "rates, a number or {\"curve\": [[PILLAR, RATE], ...]} (PILLAR a date or a tenor such as "
                       "\"3M\" or \"1Y\" from the evaluation date; linear in zero rate, flat beyond the ends); q may "
                       "also be {\"forwards\": [[DATE, PRICE], ...]}, futures or forward prices from which the q "
                       "curve is implied with the r curve on evaluation_date (today when None); vol is a number or "
                       "{\"curve\": [[PILLAR, VOL], ...]}, Black volatilities linear in total variance. A wrong entry "
                       "is a ValueError naming the field and the entry, as in a market file.")
        .def(py::init([](double spot, py::object r, py::object vol, py::object q, py::object evaluation_date) {
                 return make_market(spot, r, vol, q, evaluation_date);
             }),
             py::arg("spot"), py::arg("r"), py::arg("vol"), py::arg("q"), py::arg("evaluation_date") = py::none())
        .def_readonly("spot", &Market::spot)
        .def_property_readonly("r", [](const Market& mk) { return from_curve(mk.r); })
        .def_property_readonly("q", [](const Market& mk) { return from_curve(mk.q); },
                               "A number or {\"curve\": ...} (forwards are given as the curve implied from them).")
        .def_property_readonly(
            "vol",
            [](const Market& mk) { return mk.vol.has_surface() ? surface_entry(mk) : from_curve(mk.vol); },
            "A number, {\"curve\": ...}, or for a calibrated surface its market-file entry {\"local\": ...} with "
            "the quotes inline.")
        .def_property_readonly("has_surface", [](const Market& mk) { return mk.vol.has_surface(); },
                               "Whether vol is a calibrated surface (local volatility).")
        .def_property_readonly(
            "surface_date",
            [](const Market& mk) -> py::object {
                if (!mk.vol.has_surface()) return py::none();
                return py::str(utils::format_date(mk.vol.surface()->reference_date()));
            },
            "The date a calibrated surface was calibrated on (its times run from it), or None.")
        .def_property_readonly("is_flat", &Market::is_flat, "Whether r, q and vol are all plain numbers.")
        .def("with_spot", &Market::with_spot, py::arg("spot"))
        .def("with_vol_shift", static_cast<Market (Market::*)(double) const>(&Market::with_vol_shift), py::arg("dv"),
             "Every volatility moved by dv.")
        .def("with_r_shift", &Market::with_r_shift, py::arg("dz"), "Every zero rate of r moved by dz.")
        .def("with_q_shift", &Market::with_q_shift, py::arg("dz"), "Every zero rate of q moved by dz.")
        .def(py::self == py::self)
        .def(py::pickle(
            [](const Market& mk) {
                if (!mk.vol.has_surface())
                    return py::make_tuple(mk.spot, from_curve(mk.r), from_curve(mk.vol), from_curve(mk.q));
                // A surface travels as what it was calibrated from; calibration
                // is deterministic, so the same surface comes back.
                const vol::CalibratedSurface& s = calibrated(mk);
                const Market& c = s.calibration_market();
                py::dict surface;
                surface["entry"] = surface_entry(mk);
                surface["date"] = utils::format_date(s.reference_date());
                surface["spot"] = c.spot;
                surface["r"] = from_curve(c.r);
                surface["q"] = from_curve(c.q);
                return py::make_tuple(mk.spot, from_curve(mk.r), py::none(), from_curve(mk.q), surface);
            },
            [](const py::tuple& t) {
                if (t.size() == 4) return make_market(t[0].cast<double>(), t[1], t[2], t[3], py::none(), false);
                if (t.size() != 5 || !py::isinstance<py::dict>(t[4]))
                    throw ValueError("a Market's state has 4 fields, or 5 with a surface");
                const py::dict surface = t[4].cast<py::dict>();
                const Market c = make_market(surface["spot"].cast<double>(), surface["r"], py::float_(0.0),
                                             surface["q"], py::none(), false);
                const QuantLib::Date date = utils::parse_date(surface["date"].cast<std::string>());
                const vol::MarketEntry entry = vol::read_market_entry(to_json(surface["entry"], "vol"), date);
                Market m = make_market(t[0].cast<double>(), t[1], py::float_(0.0), t[3], py::none(), false);
                m.vol = VolCurve(vol::CalibratedSurface::calibrate(entry.quotes, c, date, entry.settings));
                return m;
            }))
        .def("__repr__", [](const Market& mk) {
            return "<kestrel.Market spot " + py::repr(py::float_(mk.spot)).cast<std::string>() + " r " +
                   py::repr(from_curve(mk.r)).cast<std::string>() + " vol " +
                   (mk.vol.has_surface()
                        ? "local (a surface calibrated on " + utils::format_date(mk.vol.surface()->reference_date()) +
                              ")"
                        : py::repr(from_curve(mk.vol)).cast<std::string>()) +
                   " q " +
                   py::repr(from_curve(mk.q)).cast<std::string>() + ">";
        });
}

}  // namespace kestrel::python
