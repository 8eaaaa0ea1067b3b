// kestrel._core.vol: option quotes to a calibrated surface and its local
// volatility.
#include "binding.hpp"

#include <kestrel/errors.hpp>
#include <kestrel/market/vol_calibration.hpp>
#include <kestrel/utils.hpp>

#include <nlohmann/json.hpp>

#include <memory>
#include <string>

namespace kestrel::python {
namespace {

const char* type_name(vol::OptionType t) { return t == vol::OptionType::Call ? "call" : "put"; }

py::dict quote_dict(const vol::OptionQuote& q) {
    py::dict d;
    d["row"] = q.row;
    d["expiry"] = from_date(q.expiry);
    d["type"] = type_name(q.type);
    d["strike"] = q.strike;
    d["price"] = q.price;
    return d;
}

// Rows as dicts {expiry, type, strike, price} or 4-sequences in that order.
std::vector<vol::OptionQuote> to_quotes(py::handle rows) {
    std::vector<vol::OptionQuote> out;
    std::size_t i = 0;
    for (py::handle row : rows) {
        ++i;
        const std::string where = "quotes: row " + std::to_string(i);
        py::object e, t, k, p;
        if (py::isinstance<py::dict>(row)) {
            const auto d = py::reinterpret_borrow<py::dict>(row);
            for (const char* key : {"expiry", "type", "strike", "price"})
                if (!d.contains(key)) throw KeyError(where + ": missing \"" + key + "\"");
            e = d["expiry"], t = d["type"], k = d["strike"], p = d["price"];
        } else {
            const auto s = py::reinterpret_borrow<py::sequence>(row);
            if (s.size() != 4) throw ValueError(where + ": expected (expiry, type, strike, price)");
            e = s[0], t = s[1], k = s[2], p = s[3];
        }
        vol::OptionQuote q;
        q.row = i;
        q.expiry = to_date(e, where + ": expiry");
        const auto type = py::str(t).cast<std::string>();
        if (type == "call") q.type = vol::OptionType::Call;
        else if (type == "put") q.type = vol::OptionType::Put;
        else throw ValueError(where + ": type must be call or put, got \"" + type + "\"");
        try {
            q.strike = k.cast<double>();
            q.price = p.cast<double>();
        } catch (const py::cast_error&) {
            throw TypeError(where + ": strike and price must be numbers");
        }
        out.push_back(q);
    }
    return out;
}

struct PyCalibration {
    std::vector<vol::OptionQuote> quotes;
    vol::Calibration c;
};

py::object json_to_python(const nlohmann::json& j) {
    return py::module_::import("json").attr("loads")(j.dump());
}

}  // namespace

void bind_vol(py::module_& m) {
    py::module_ v = m.def_submodule("vol", "Option quotes to a calibrated volatility surface and local volatility.");
    py::class_<PyCalibration, std::shared_ptr<PyCalibration>>(v, "Calibration")
        .def_property_readonly("evaluation_date", [](const PyCalibration& p) { return from_date(p.c.evaluation_date); })
        .def_property_readonly("spot", [](const PyCalibration& p) { return p.c.spot; })
        .def_property_readonly("forwards", [](const PyCalibration& p) {
            py::list out;
            for (const auto& f : p.c.forwards) {
                py::dict d;
                d["expiry"] = from_date(f.expiry);
                d["t"] = f.t;
                d["forward"] = f.forward;
                d["discount"] = f.discount;
                d["parity_discount"] = f.parity_discount;
                d["pairs"] = f.pairs;
                d["parity_rms"] = f.parity_rms;
                d["implied_q"] = f.implied_q;
                d["market_q"] = f.market_q;
                out.append(d);
            }
            return out;
        })
        .def_property_readonly("dropped", [](const PyCalibration& p) {
            py::list out;
            for (const auto& d : p.c.dropped) {
                auto row = quote_dict(d.quote);
                row["reason"] = d.reason;
                out.append(row);
            }
            return out;
        })
        .def_property_readonly("table", [](const PyCalibration& p) {
            py::list out;
            for (const auto& r : p.c.table) {
                auto row = quote_dict(r.quote);
                row["forward"] = r.forward;
                row["k"] = r.k;
                row["implied_vol"] = r.implied_vol;
                row["model_vol"] = r.model_vol;
                row["error"] = r.error;
                out.append(row);
            }
            return out;
        })
        .def_property_readonly("fits", [](const PyCalibration& p) {
            py::list out;
            for (const auto& f : p.c.fits) {
                py::dict d;
                d["expiry"] = from_date(f.expiry);
                d["t"] = f.t;
                d["svi"] = py::dict(py::arg("a") = f.svi.a, py::arg("b") = f.svi.b, py::arg("rho") = f.svi.rho,
                                    py::arg("m") = f.svi.m, py::arg("sigma") = f.svi.sigma);
                d["quotes"] = f.quotes;
                d["rms_error"] = f.rms_error;
                d["max_error"] = f.max_error;
                d["min_g"] = f.min_g;
                d["min_calendar"] = f.min_calendar;
                out.append(d);
            }
            return out;
        })
        .def_property_readonly("rms_error", [](const PyCalibration& p) { return p.c.rms_error; })
        .def_property_readonly("max_error", [](const PyCalibration& p) { return p.c.max_error; })
        .def_property_readonly("butterfly_free", [](const PyCalibration& p) { return p.c.butterfly_free; })
        .def_property_readonly("calendar_free", [](const PyCalibration& p) { return p.c.calendar_free; })
        .def("forward", [](const PyCalibration& p, double t) { return p.c.surface.forward(t); }, py::arg("t"))
        .def("implied_vol", [](const PyCalibration& p, double strike, double t) {
            return p.c.surface.implied_vol(strike, t);
        }, py::arg("strike"), py::arg("t"))
        .def("local_vol", [](const PyCalibration& p, double t, double spot) { return p.c.surface.local_vol(t, spot); },
             py::arg("t"), py::arg("spot"))
        .def("local_vol_grid", [](const PyCalibration& p, const std::vector<double>& times,
                                  const std::vector<double>& log_spots) {
            const auto g = p.c.surface.local_vol_grid(times, log_spots);
            py::list rows;
            for (std::size_t i = 0; i < times.size(); ++i) {
                py::list row;
                for (std::size_t j = 0; j < log_spots.size(); ++j) row.append(g.at(i, j));
                rows.append(row);
            }
            return rows;
        }, py::arg("times"), py::arg("log_spots"), "Local volatilities, one list per time, one value per log spot.")
        .def("market_entry", [](const PyCalibration& p) {
            return json_to_python(vol::market_entry(p.quotes, p.c.settings));
        }, "The market-file volatility entry {\"local\": {...}} of these quotes and settings.")
        .def("report", [](const PyCalibration& p) { return vol::format_calibration(p.c); },
             "The text kestrel vol calibrate prints.");

    v.def("calibrate", [](py::object quotes, py::object evaluation_date, py::object spot, py::object r, double q,
                          py::object market, py::object underlying, const std::string& forwards, double tolerance) {
        const auto date = to_date(evaluation_date, "evaluation_date");
        vol::CalibrationSettings settings;
        settings.forwards = vol::parse_forward_source(forwards);
        settings.tolerance = tolerance;
        Market mkt;
        if (!market.is_none()) {
            if (underlying.is_none()) throw KeyError("calibrate: a market file needs underlying=");
            mkt = vol::read_market_file(py::str(market).cast<std::string>(), py::str(underlying).cast<std::string>());
        } else {
            if (spot.is_none() || r.is_none()) throw KeyError("calibrate: give spot= and r=, or market= and underlying=");
            mkt = Market(spot.cast<double>(), r.cast<double>(), 0.0, q);
        }
        auto out = std::make_shared<PyCalibration>();
        const auto os = py::module_::import("os");
        if (py::isinstance<py::str>(quotes) || py::isinstance(quotes, os.attr("PathLike")))
            out->quotes = vol::read_quotes(py::str(os.attr("fspath")(quotes)).cast<std::string>(), date);
        else
            out->quotes = to_quotes(quotes);
        {
            py::gil_scoped_release nogil;
            out->c = vol::calibrate(out->quotes, mkt, date, settings);
        }
        return out;
    }, py::arg("quotes"), py::arg("evaluation_date"), py::kw_only(), py::arg("spot") = py::none(),
       py::arg("r") = py::none(), py::arg("q") = 0.0, py::arg("market") = py::none(),
       py::arg("underlying") = py::none(), py::arg("forwards") = "parity", py::arg("tolerance") = 0.0);
}

}  // namespace kestrel::python
