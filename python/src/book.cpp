// kestrel._core.book: the book valuation of kestrel::book for Python.
//
// The pieces are the library's own: a parsed book, the market, rows that
// pickle (so a worker process can send them back), results whose totals and
// writers are the command line's. kestrel/book.py builds value_book on them.
#include "binding.hpp"

#include <kestrel/book.hpp>
#include <kestrel/book_ladder.hpp>
#include <kestrel/kestrel.hpp>
#include <kestrel/utils.hpp>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace kestrel::python {

using namespace pybind11::literals;
using Json = nlohmann::ordered_json;

namespace {

namespace kb = kestrel::book;

Json parse_json(const std::string& text, const std::string& source) {
    try {
        return Json::parse(text);
    } catch (const nlohmann::json::parse_error& e) {
        throw ValueError(source + ": not valid JSON: " + e.what());
    }
}

// A parsed book: the JSON array of contracts.
struct Book {
    Json contracts;
    std::string source;
};

// The market, with the text it was read from (what a worker is sent).
struct Market {
    kb::BookMarket market;
    std::string text, source;
};

QuantLib::Date to_eval_day(py::handle date) { return date.is_none() ? utils::today() : to_date(date, "date"); }

template <class T>
py::object optional_text(const std::optional<T>& v) {
    return v ? py::object(py::str(*v)) : py::object(py::none());
}

std::optional<std::string> text_or_none(py::handle h) {
    if (h.is_none()) return std::nullopt;
    return h.cast<std::string>();
}

py::tuple row_state(const kb::BookRow& r) {
    return py::make_tuple(r.position, optional_text(r.id), optional_text(r.type), optional_text(r.underlying), r.spot,
                          r.spot_source == kb::SpotSource::Store ? 1 : 0,
                          py::make_tuple(r.value.npv, r.value.delta, r.value.gamma, r.value.vega, r.value.theta,
                                         r.value.rho),
                          r.error ? py::object(py::make_tuple(r.error->kind, r.error->message)) : py::object(py::none()),
                          r.carry_rho);
}

kb::BookRow row_from_state(const py::tuple& t) {
    if (t.size() != 9) throw ValueError("a book row's state has 9 fields, not " + std::to_string(t.size()));
    kb::BookRow r;
    r.position = t[0].cast<std::size_t>();
    r.id = text_or_none(t[1]);
    r.type = text_or_none(t[2]);
    r.underlying = text_or_none(t[3]);
    r.spot = t[4].cast<double>();
    r.spot_source = t[5].cast<int>() ? kb::SpotSource::Store : kb::SpotSource::Market;
    const auto v = t[6].cast<py::tuple>();
    if (v.size() != OptionGreeks::size()) throw ValueError("a book row's value has 6 fields");
    r.value = OptionGreeks{v[0].cast<double>(), v[1].cast<double>(), v[2].cast<double>(),
                           v[3].cast<double>(), v[4].cast<double>(), v[5].cast<double>()};
    if (!t[7].is_none()) {
        const auto e = t[7].cast<py::tuple>();
        r.error = kb::RowError{e[0].cast<std::string>(), e[1].cast<std::string>()};
    }
    r.carry_rho = t[8].cast<double>();
    return r;
}

kb::BookOptions options_for(py::handle date, bool greeks, const std::string& engine = {}) {
    kb::BookOptions o;
    o.evaluation_date = to_eval_day(date);
    o.greeks = greeks;
    if (!engine.empty()) {
        const auto names = kestrel::note_engines();
        if (std::find(names.begin(), names.end(), engine) == names.end()) {
            std::string known;
            for (const auto& n : names) known += (known.empty() ? "" : ", ") + n;
            throw ValueError("engine: unknown engine \"" + engine + "\" (known: " + known + ")");
        }
    }
    o.engine = engine;
    return o;
}

kb::BookFormat format_of(const std::string& text) { return kb::parse_book_format(text); }

std::string write_text(const kb::BookResult& result, const std::string& format) {
    const kb::BookFormat f = format_of(format);
    std::ostringstream out;
    kb::write_book(out, result, f);
    return out.str();
}

}  // namespace

void bind_book(py::module_& m) {
    py::module_ b = m.def_submodule("book", "A book of contracts valued at once (kestrel::book).");

    py::class_<Book>(b, "Book", "A book: a JSON array of contracts, each its terms with \"type\" and a unique \"id\".")
        .def(py::init([](const std::string& text, const std::string& source) {
                 Book book{parse_json(text, source), source};
                 if (!book.contracts.is_array()) {
                     throw TypeError(source + ": a book is a JSON array of contracts, not " +
                                     std::string(book.contracts.type_name()));
                 }
                 return book;
             }),
             py::arg("text"), py::arg("source") = "book")
        .def("__len__", [](const Book& book) { return book.contracts.size(); })
        .def(
            "contract",
            [](const Book& book, std::size_t i) {
                if (i >= book.contracts.size()) throw IndexError("contract " + std::to_string(i) + " of the book");
                return book.contracts[i].dump();
            },
            py::arg("index"), "The JSON text of contract `index` (0-based), numbers exact.")
        .def(
            "rows", [](const Book& book) { return kb::book_rows(book.contracts); },
            "Every contract's row before valuation: its id, type and underlying, or the error that stops it "
            "before any market is needed (an id an earlier contract has, ...).")
        .def(
            "value",
            [](const Book& book, const Market& market, py::handle date, bool greeks, py::object progress,
               const std::string& engine) {
                kb::BookOptions o = options_for(date, greeks, engine);
                if (!progress.is_none()) {
                    o.progress = [&progress](std::size_t done, std::size_t total) {
                        py::gil_scoped_acquire gil;
                        progress(done, total);
                    };
                }
                py::gil_scoped_release nogil;
                return kb::value_book(book.contracts, market.market, o);
            },
            py::arg("market"), py::arg("date") = py::none(), py::arg("greeks") = false,
            py::arg("progress") = py::none(), py::arg("engine") = "",
            "Values every contract in this process, as `kestrel book` does; progress(done, total) after each.\n"
            "engine: of every note that names none (as --engine); empty: the market's \"engines\", else each note's own.");

    py::class_<Market>(b, "Market", "The market of a book: {\"r\": R, \"underlyings\": {ID: {\"vol\", \"q\", \"spot\"}}}.")
        .def(py::init([](const std::string& text, const std::string& source) {
                 return Market{kb::BookMarket::from_json(parse_json(text, source), source), text, source};
             }),
             py::arg("text"), py::arg("source") = "market")
        .def(
            "check", [](const Market& mk, py::handle date) { mk.market.check(to_eval_day(date)); },
            py::arg("date") = py::none(),
            "ValueError naming the underlying, the field and the entry for what can only be checked on the "
            "evaluation date: curve pillars in order, each once; a total variance that never decreases; forwards "
            "after the date. value_book checks this before valuing anything.")
        .def_property_readonly("text", [](const Market& mk) { return mk.text; })
        .def_property_readonly("source", [](const Market& mk) { return mk.source; })
        .def(py::pickle([](const Market& mk) { return py::make_tuple(mk.text, mk.source); },
                        [](const py::tuple& t) {
                            const auto text = t[0].cast<std::string>(), source = t[1].cast<std::string>();
                            return Market{kb::BookMarket::from_json(parse_json(text, source), source), text, source};
                        }));

    py::class_<kb::BookRow>(b, "Row", "One contract's row: its value (and Greeks), or the error that stopped it.")
        .def_readonly("position", &kb::BookRow::position, "1-based place in the book")
        .def_property_readonly("id", [](const kb::BookRow& r) { return optional_text(r.id); })
        .def_property_readonly("type", [](const kb::BookRow& r) { return optional_text(r.type); })
        .def_property_readonly("underlying", [](const kb::BookRow& r) { return optional_text(r.underlying); })
        .def_readonly("spot", &kb::BookRow::spot)
        .def_property_readonly("spot_source",
                               [](const kb::BookRow& r) { return r.spot_source == kb::SpotSource::Store ? "store" : "market"; })
        .def_property_readonly("value", [](const kb::BookRow& r) { return make_greeks(r.value); })
        .def_readonly("carry_rho", &kb::BookRow::carry_rho,
                      "With the Greeks: V(q - 0.005) - V(q + 0.005), per percentage point of carry (else 0)")
        .def_property_readonly("error",
                               [](const kb::BookRow& r) {
                                   return r.error ? py::object(py::make_tuple(r.error->kind, r.error->message))
                                                  : py::object(py::none());
                               })
        .def_property_readonly("ok", &kb::BookRow::ok)
        .def("label", &kb::BookRow::label)
        .def("__eq__", [](const kb::BookRow& a, const kb::BookRow& c) { return row_state(a).equal(row_state(c)); })
        .def("__repr__",
             [](const kb::BookRow& r) {
                 return "<kestrel.book.Row " + r.label() +
                        (r.ok() ? " npv=" + std::to_string(r.value.npv) : " " + r.error->kind) + ">";
             })
        .def(py::pickle([](const kb::BookRow& r) { return row_state(r); },
                        [](const py::tuple& t) { return row_from_state(t); }));

    b.def(
        "value_rows",
        [](std::vector<kb::BookRow> rows, const std::vector<std::string>& contracts, const Market& market,
           py::handle date, bool greeks, const std::string& engine) {
            if (contracts.size() != rows.size()) {
                throw ValueError("value_rows: " + std::to_string(rows.size()) + " rows but " +
                                 std::to_string(contracts.size()) + " contracts");
            }
            std::vector<Json> parsed;
            parsed.reserve(contracts.size());
            for (std::size_t i = 0; i < contracts.size(); ++i)
                parsed.push_back(parse_json(contracts[i], "contract " + std::to_string(rows[i].position)));
            std::vector<const Json*> pointers;
            for (const auto& c : parsed) pointers.push_back(&c);
            const kb::BookOptions o = options_for(date, greeks, engine);
            py::gil_scoped_release nogil;
            kb::value_rows(rows, pointers, market.market, o);
            return rows;
        },
        py::arg("rows"), py::arg("contracts"), py::arg("market"), py::arg("date") = py::none(),
        py::arg("greeks") = false, py::arg("engine") = "",
        "Values the contract (JSON text) of each row without an error yet, as value_book does, and returns the rows.");

    py::class_<kb::BookResult>(b, "Result", "A valued book: its rows in book order and the totals.")
        .def(py::init([](const std::vector<kb::BookRow>& rows, py::handle date, bool greeks) {
                 kb::BookResult r;
                 r.evaluation_date = to_eval_day(date);
                 r.greeks = greeks;
                 r.rows = rows;
                 r.totals = kb::book_totals(r.rows);
                 return r;
             }),
             py::arg("rows"), py::arg("date"), py::arg("greeks") = false,
             "The result of these rows (book order), with the totals value_book computes.")
        .def_property_readonly("evaluation_date", [](const kb::BookResult& r) { return from_date(r.evaluation_date); })
        .def_readonly("greeks", &kb::BookResult::greeks)
        .def_readonly("rows", &kb::BookResult::rows)
        .def("failed", &kb::BookResult::failed)
        .def(
            "text", [](const kb::BookResult& r, const std::string& format) { return write_text(r, format); },
            py::arg("format") = "table", "The output of `kestrel book --format FORMAT` (table, csv or json).")
        .def(
            "to_dict",
            [](const kb::BookResult& r) {
                return py::module_::import("json").attr("loads")(kb::book_to_json(r).dump());
            },
            "The rows and totals as `--format json` gives them, as Python objects.");

    py::class_<kb::BookLadders>(b, "Ladders",
                                "Risk ladders of a book: per underlying, value, delta and gamma at each spot shift "
                                "and the spot x vol matrix of the change of value.")
        .def_readonly("spot_shifts", &kb::BookLadders::spot_shifts)
        .def_property_readonly("underlyings",
                               [](const kb::BookLadders& l) {
                                   py::list out;
                                   for (const auto& u : l.underlyings) out.append(u.underlying);
                                   return out;
                               })
        .def(
            "text",
            [](const kb::BookLadders& l, const std::string& format) {
                std::ostringstream out;
                const kb::BookFormat f = format_of(format);
                if (f == kb::BookFormat::Json)
                    out << kb::ladders_to_json(l).dump(2) << '\n';
                else if (f == kb::BookFormat::Csv)
                    kb::write_ladders_csv(out, l);
                else
                    kb::write_ladders_table(out, l);
                return out.str();
            },
            py::arg("format") = "table",
            "The ladders as `kestrel book --ladder --format FORMAT` writes them after the rows.")
        .def(
            "to_dict",
            [](const kb::BookLadders& l) {
                return py::module_::import("json").attr("loads")(kb::ladders_to_json(l).dump());
            },
            "The ladders as `--format json` gives them under \"ladders\", as Python objects (a failed cell: None).");

    b.def(
        "ladder_book",
        [](const Book& book, const kb::BookResult& base, const Market& market, py::handle date,
           std::optional<std::vector<double>> spot_shifts, std::optional<std::vector<double>> vol_shifts) {
            kb::LadderOptions lo;
            if (spot_shifts) lo.spot_shifts = *spot_shifts;
            if (vol_shifts) lo.vol_shifts = *vol_shifts;
            // The base's own date, which a date given must be.
            if (!date.is_none() && to_eval_day(date) != base.evaluation_date)
                throw ValueError("ladder: date " + utils::format_date(to_eval_day(date)) +
                                 " is not the evaluation date of the result (" +
                                 utils::format_date(base.evaluation_date) + ")");
            kb::BookOptions o;
            o.evaluation_date = base.evaluation_date;
            py::gil_scoped_release nogil;
            return kb::ladder_book(book.contracts, base, market.market, o, lo);
        },
        py::arg("book"), py::arg("base"), py::arg("market"), py::arg("date") = py::none(),
        py::arg("spot_shifts") = py::none(), py::arg("vol_shifts") = py::none(),
        "The ladders of `base` (value_book of `book` on `market`, on its evaluation date; a `date` given must be "
        "it); shifts as fractions (spot: -0.1 is spot x 0.9; "
        "vol: 0.05 is five vol points).");

    b.def("progress_line", &kb::progress_line, py::arg("done"), py::arg("total"), py::arg("elapsed_seconds"),
          py::arg("width") = 30, "\"[#######.............]  7/12  elapsed 3.1 s  left ~2.2 s\"");
}

}  // namespace kestrel::python
