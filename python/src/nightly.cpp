// The nightly run for Python: a contract's cash flows between two dates
// (BaseOption.cashflows), a book's cash flows, and runs kept in SQLite
// (kestrel._core.book.save_run / list_runs / load_run), and the P&L explained
// between two of them (explain).
#include "binding.hpp"

#include <kestrel/backtest.hpp>
#include <kestrel/book.hpp>
#include <kestrel/cashflows.hpp>
#include <kestrel/explain.hpp>
#include <kestrel/runs.hpp>
#include <kestrel/utils.hpp>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::python {

namespace {

using Json = nlohmann::ordered_json;

py::object to_python(const Json& j) { return py::module_::import("json").attr("loads")(j.dump()); }

Json parse(const std::string& text, const std::string& what) {
    try {
        return Json::parse(text);
    } catch (const nlohmann::json::parse_error& e) {
        throw ValueError(what + ": not valid JSON: " + e.what());
    }
}

}  // namespace

void bind_nightly(py::module_& m) {
    py::object cashflow = py::module_::import("collections")
                              .attr("namedtuple")("CashFlow", py::make_tuple("date", "kind", "amount", "level"));
    cashflow.attr("__module__") = "kestrel";
    cashflow.attr("__doc__") =
        "One cash flow: its date, kind (coupon, knock_out, knock_in, touch, maturity), amount (per unit of the "
        "underlying, undiscounted) and the close that settled it.";
    m.attr("CashFlow") = cashflow;

    py::object base = m.attr("BaseOption");
    base.attr("cashflows") = py::cpp_function(
        [cashflow](BaseOption& option, py::handle start, py::handle end) {
            const auto flows = cashflows(option, to_date(start, "start"), to_date(end, "end"));
            py::list out;
            for (const auto& f : flows) out.append(cashflow(from_date(f.date), f.kind, f.amount, f.level));
            return out;
        },
        py::name("cashflows"), py::is_method(base), py::arg("start"), py::arg("end"),
        "The cash flows dated after start up to and including end, from the installed store's price history "
        "by the rules of the history check: coupons and knock-outs of the notes, rebates on a barrier touch, "
        "payoffs at expiry. A list of CashFlow.");

    py::module_ b = m.attr("book");
    b.def(
        "book_cashflows",
        [](const std::string& book_text, py::handle start, py::handle end) {
            const auto flows = book_cashflows(parse(book_text, "book"), to_date(start, "start"), to_date(end, "end"));
            return to_python(cashflows_to_json(flows));
        },
        py::arg("book"), py::arg("start"), py::arg("end"),
        "Every contract's cash flows as `kestrel cashflows --format json` gives them.");

    b.def(
        "save_run",
        [](const std::string& db, const std::vector<std::string>& contracts, const std::string& market_text,
           const book::BookResult& result, const std::string& settings, const std::string& book_source,
           const std::string& market_source) {
            Json book = Json::array();
            for (std::size_t i = 0; i < contracts.size(); ++i)
                book.push_back(parse(contracts[i], "contract " + std::to_string(i + 1)));
            runs::RunInput run{&result, &book, market_text, market_source, book_source,
                               parse(settings.empty() ? "{}" : settings, "settings")};
            py::gil_scoped_release nogil;
            return runs::save_run(db, run);
        },
        py::arg("db"), py::arg("contracts"), py::arg("market_text"), py::arg("result"), py::arg("settings") = "",
        py::arg("book_source") = "", py::arg("market_source") = "",
        "Keeps a valued book in the SQLite database db as a new run (one transaction) and returns its id.");

    b.def(
        "list_runs",
        [](const std::string& db, py::handle date) {
            std::optional<QuantLib::Date> d;
            if (!date.is_none()) d = to_date(date, "date");
            py::list out;
            for (const auto& r : runs::list_runs(db, d)) out.append(to_python(runs::run_info_json(r)));
            return out;
        },
        py::arg("db"), py::arg("date") = py::none(),
        "The runs of db, oldest first, as `kestrel runs list --format json` gives them.");

    b.def(
        "load_run",
        [](const std::string& db, std::int64_t id) {
            auto run = runs::load_run(db, id);
            py::dict out;
            out["run"] = to_python(runs::run_info_json(run.info));
            out["market_text"] = run.market_text;
            py::list terms;
            for (const auto& t : run.terms) terms.append(to_python(t));
            out["terms"] = terms;
            out["result"] = py::cast(std::move(run.result));
            return out;
        },
        py::arg("db"), py::arg("id"),
        "Run id of db: {\"run\": its line, \"market_text\": the market as given, \"terms\": each contract's, "
        "\"result\": a Result of its rows}.");

    b.def(
        "explain",
        [](const std::string& db, const std::string& from, const std::string& to) {
            Json out;
            {
                py::gil_scoped_release nogil;
                out = explain::explain_to_json(explain::explain(db, from, to));
            }
            return to_python(out);
        },
        py::arg("db"), py::arg("from_"), py::arg("to"),
        "The P&L explained from run from_ to run to (ids or dates) as `kestrel explain --format json` gives it.");

    b.def(
        "backtest",
        [](const std::string& contract, const std::string& market, py::handle from, py::handle to,
           const std::string& rebalance, const std::string& engine) {
            backtest::Options o;
            o.from = to_date(from, "from_");
            if (!to.is_none()) o.to = to_date(to, "to");
            o.rebalance_every = backtest::parse_rebalance(rebalance);
            o.engine = engine;
            const auto m = book::BookMarket::from_json(parse(market, "market"));
            const Json terms = parse(contract, "contract");
            Json out;
            {
                py::gil_scoped_release nogil;
                out = backtest::backtest_to_json(backtest::run_backtest(terms, m, o));
            }
            return to_python(out);
        },
        py::arg("contract"), py::arg("market"), py::arg("from_"), py::arg("to") = py::none(),
        py::arg("rebalance") = "daily", py::arg("engine") = "",
        "The hedging backtest of one contract as `kestrel backtest --format json` gives it.");
}

}  // namespace kestrel::python
