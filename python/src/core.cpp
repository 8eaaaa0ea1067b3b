// kestrel._core: the compiled half of the Python package kestrel.
//
// This file holds the conversions, the error translation, the market-data
// service (kestrel.heron, including the bridge to a client written in Python),
// the random-sample settings and BaseOption; products.cpp binds the products.
//
// Valuations run with the GIL released, so other Python threads keep running
// while a note is simulated; a client written in Python takes the GIL back for
// each of its calls.
#include "binding.hpp"

#include <heron/csv.hpp>
#include <heron/heron.hpp>
#include <heron/memory_store.hpp>
#include <heron/sqlite_store.hpp>
#include <kestrel/calendar.hpp>
#include <kestrel/kestrel.hpp>

#include <ql/errors.hpp>

#include <datetime.h>

#include <algorithm>
#include <sstream>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kestrel::python {

using namespace pybind11::literals;
using QuantLib::Date;

namespace {

// QuantLib's serial number of 1970-01-01, the origin of numpy's datetime64.
constexpr std::int64_t kEpochSerial = 25569;

// kestrel.heron.HeronError, for heron's own errors (no client installed,
// unusable store). Kept, like the OptionGreeks type, for the life of the process.
PyObject* g_heron_error = nullptr;

// The OptionGreeks type, made once at import and kept for the life of the
// process (never released: it must outlive every module-level object).
PyObject* g_greeks_type = nullptr;

std::string type_name(py::handle obj) { return py::str(py::type::handle_of(obj).attr("__name__")); }

std::string repr_text(py::handle obj) { return py::repr(obj); }

bool is_numpy(py::handle obj, const char* name) {
    const py::handle t = py::type::handle_of(obj);
    return py::hasattr(t, "__module__") && py::str(t.attr("__module__")).cast<std::string>() == "numpy" &&
           py::str(t.attr("__name__")).cast<std::string>() == name;
}

Date from_ymd(int y, int m, int d) {
    // Through the text form, so every date form fails with the same message.
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
    return utils::parse_date(buf);
}

// The day `days` after 1970-01-01.
Date from_days(std::int64_t days) {
    const std::chrono::year_month_day ymd{std::chrono::sys_days{std::chrono::days{days}}};
    return from_ymd(static_cast<int>(ymd.year()), static_cast<int>(static_cast<unsigned>(ymd.month())),
                    static_cast<int>(static_cast<unsigned>(ymd.day())));
}

[[noreturn]] void not_a_date(py::handle obj, std::string_view what) {
    throw TypeError(std::string(what) +
                    ": expected a date (YYYY-MM-DD text, datetime.date, datetime.datetime at midnight or "
                    "pandas.Timestamp), got " +
                    type_name(obj) + " " + repr_text(obj));
}

// Day count since 1970-01-01 of a numpy datetime64 scalar or array, as int64
// values; ValueError for NaT or a time of day.
py::object datetime64_days(py::handle values, std::string_view what) {
    auto np = py::module_::import("numpy");
    py::object days = values.attr("astype")("datetime64[D]");
    if (np.attr("any")(np.attr("isnat")(values)).cast<bool>())
        throw ValueError(std::string(what) + ": not a date (NaT)");
    if (np.attr("any")(py::reinterpret_steal<py::object>(
                           PyObject_RichCompare(values.ptr(), days.ptr(), Py_NE)))
            .cast<bool>())
        throw ValueError(std::string(what) + ": a date with a time of day, expected midnight");
    return days.attr("astype")("int64");
}

}  // namespace

QuantLib::Date to_date(py::handle obj, std::string_view what) {
    if (py::isinstance<py::str>(obj)) return utils::parse_date(obj.cast<std::string>());
    // pandas.NaT passes for a datetime.datetime but holds no day.
    if (type_name(obj) == "NaTType") throw ValueError(std::string(what) + ": not a date (NaT)");
    if (PyDateTime_Check(obj.ptr())) {
        // datetime.datetime and its subclass pandas.Timestamp.
        if (!py::getattr(obj, "tzinfo", py::none()).is_none())
            throw ValueError(std::string(what) + ": " + repr_text(obj) +
                             " has a time zone; expected a calendar day (no time zone)");
        const bool midnight = PyDateTime_DATE_GET_HOUR(obj.ptr()) == 0 && PyDateTime_DATE_GET_MINUTE(obj.ptr()) == 0 &&
                              PyDateTime_DATE_GET_SECOND(obj.ptr()) == 0 &&
                              PyDateTime_DATE_GET_MICROSECOND(obj.ptr()) == 0 &&
                              py::getattr(obj, "nanosecond", py::int_(0)).cast<long>() == 0;
        if (!midnight)
            throw ValueError(std::string(what) + ": " + repr_text(obj) + " is not at midnight; expected a calendar day");
        return from_ymd(PyDateTime_GET_YEAR(obj.ptr()), PyDateTime_GET_MONTH(obj.ptr()),
                        PyDateTime_GET_DAY(obj.ptr()));
    }
    if (PyDate_Check(obj.ptr()))
        return from_ymd(PyDateTime_GET_YEAR(obj.ptr()), PyDateTime_GET_MONTH(obj.ptr()),
                        PyDateTime_GET_DAY(obj.ptr()));
    if (is_numpy(obj, "datetime64")) {
        return from_days(datetime64_days(obj, what).cast<std::int64_t>());
    }
    not_a_date(obj, what);
}

EvalDate to_eval_date(py::handle obj) {
    if (obj.is_none()) return std::nullopt;
    return utils::DateInput(to_date(obj, "evaluation_date"));
}

std::vector<QuantLib::Date> to_dates(py::handle obj, std::string_view what) {
    if (py::isinstance<py::str>(obj) || !py::hasattr(obj, "__iter__"))
        throw TypeError(std::string(what) + ": expected a sequence of dates, got " + type_name(obj));
    std::vector<Date> out;
    // Fast path for datetime64 arrays and indexes (pandas DatetimeIndex).
    const py::object dtype = py::getattr(obj, "dtype", py::none());
    if (!dtype.is_none() && py::getattr(dtype, "kind", py::str("")).cast<std::string>() == "M") {
        if (!py::getattr(obj, "tz", py::none()).is_none())
            throw ValueError(std::string(what) + ": dates with a time zone; expected calendar days");
        auto np = py::module_::import("numpy");
        py::object values = np.attr("asarray")(obj, "dtype"_a = "datetime64[ns]");
        const auto days = datetime64_days(values, what).attr("tolist")().cast<std::vector<std::int64_t>>();
        out.reserve(days.size());
        for (const auto d : days) out.push_back(from_days(d));
        return out;
    }
    std::size_t i = 0;
    for (py::handle item : obj) {
        out.push_back(to_date(item, std::string(what) + "[" + std::to_string(i) + "]"));
        ++i;
    }
    return out;
}

py::object from_date(const QuantLib::Date& d) {
    if (d == Date()) return py::none();
    return py::reinterpret_steal<py::object>(
        PyDate_FromDate(d.year(), static_cast<int>(d.month()), d.dayOfMonth()));
}

py::list from_dates(const std::vector<QuantLib::Date>& dates) {
    py::list out(dates.size());
    for (std::size_t i = 0; i < dates.size(); ++i) out[i] = from_date(dates[i]);
    return out;
}

namespace {

Value to_value(py::handle obj, const std::string& key) {
    if (obj.is_none()) return Value();
    if (PyBool_Check(obj.ptr()) || is_numpy(obj, "bool_")) return Value(obj.cast<bool>());
    if (PyDate_Check(obj.ptr()) || is_numpy(obj, "datetime64") || type_name(obj) == "NaTType")
        return Value(to_date(obj, key));
    // Integers, numpy's integer scalars included (an array has __index__ too).
    if (PyLong_Check(obj.ptr()) ||
        (PyIndex_Check(obj.ptr()) && !PyFloat_Check(obj.ptr()) && !PySequence_Check(obj.ptr()))) {
        const py::object i = py::reinterpret_steal<py::object>(PyNumber_Index(obj.ptr()));
        if (!i) throw py::error_already_set();
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
        if (overflow != 0) throw ValueError(key + ": integer " + repr_text(obj) + " is out of range");
        return Value(v);
    }
    if (PyFloat_Check(obj.ptr())) return Value(PyFloat_AS_DOUBLE(obj.ptr()));
    if (py::isinstance<py::str>(obj)) return Value(obj.cast<std::string>());
    if (py::isinstance<py::bytes>(obj) || PyDict_Check(obj.ptr()))
        throw TypeError(key + ": unsupported value of type " + type_name(obj));
    if (PySequence_Check(obj.ptr())) {
        Value::List list;
        std::size_t i = 0;
        for (py::handle item : obj) list.push_back(to_value(item, key + "[" + std::to_string(i++) + "]"));
        return Value(std::move(list));
    }
    // Other numbers (numpy.float32, decimal.Decimal, ...).
    if (py::hasattr(obj, "__float__")) return Value(py::float_(py::reinterpret_borrow<py::object>(obj)).cast<double>());
    throw TypeError(key + ": unsupported value of type " + type_name(obj));
}

}  // namespace

Terms to_terms(py::handle mapping) {
    if (!py::hasattr(mapping, "items") || py::isinstance<py::str>(mapping))
        throw TypeError("terms: expected a mapping (dict) of text keys to values, got " + type_name(mapping));
    Terms terms;
    for (py::handle item : mapping.attr("items")()) {
        const py::tuple kv = py::reinterpret_borrow<py::tuple>(item);
        if (!py::isinstance<py::str>(kv[0]))
            throw TypeError("terms: keys must be text, got " + type_name(kv[0]) + " " + repr_text(kv[0]));
        std::string key = kv[0].cast<std::string>();
        Value v = to_value(kv[1], key);
        terms.set(std::move(key), std::move(v));
    }
    return terms;
}

py::object from_value(const Value& v) {
    return std::visit(
        [](const auto& x) -> py::object {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::monostate>) return py::none();
            else if constexpr (std::is_same_v<T, bool>) return py::bool_(x);
            else if constexpr (std::is_same_v<T, std::int64_t>) return py::int_(x);
            else if constexpr (std::is_same_v<T, double>) return py::float_(x);
            else if constexpr (std::is_same_v<T, std::string>) return py::str(x);
            else if constexpr (std::is_same_v<T, QuantLib::Date>) return from_date(x);
            else {
                py::list out;
                for (const auto& e : x) out.append(from_value(e));
                return out;
            }
        },
        v.storage());
}

py::object make_greeks(const OptionGreeks& g) {
    return py::reinterpret_borrow<py::object>(g_greeks_type)(g.npv, g.delta, g.gamma, g.vega, g.theta, g.rho);
}

const char* call_put_text(int option_type) { return option_type == QuantLib::Option::Call ? "call" : "put"; }

// ---------------------------------------------------------------------------
// Price tables <-> pandas DataFrames

namespace {

// A table as the service describes it: rows indexed by (order_book_id, date),
// dates as a pandas DatetimeIndex, one float column per field.
py::object to_dataframe(const heron::PriceTable& table) {
    auto np = py::module_::import("numpy");
    auto pd = py::module_::import("pandas");
    const auto& dates = table.dates();
    std::vector<std::int64_t> days;
    days.reserve(dates.size());
    for (const auto& d : dates) days.push_back(d.serialNumber() - kEpochSerial);
    py::object stamps = np.attr("array")(py::cast(days), "dtype"_a = "int64")
                            .attr("astype")("datetime64[D]")
                            .attr("astype")("datetime64[ns]");
    py::object ids = np.attr("full")(dates.size(), py::str(table.order_book_id()), "dtype"_a = "object");
    py::object index = pd.attr("MultiIndex").attr("from_arrays")(
        py::make_tuple(ids, pd.attr("DatetimeIndex")(stamps)), "names"_a = py::make_tuple("order_book_id", "date"));
    py::dict data;
    for (const auto& field : table.columns())
        data[py::str(field)] = np.attr("array")(py::cast(table.column(field)), "dtype"_a = "float64");
    return pd.attr("DataFrame")(data, "index"_a = index, "columns"_a = py::cast(table.columns()));
}

// What a Python client's get_price returned, as the table the products read.
std::optional<heron::PriceTable> from_dataframe(py::handle result, const std::string& order_book_id,
                                                const std::vector<std::string>& fields) {
    if (result.is_none()) return std::nullopt;
    if (!py::hasattr(result, "index") || !py::hasattr(result, "columns"))
        throw TypeError("get_price: expected None or a pandas DataFrame, got " + type_name(result));
    const py::object index = result.attr("index");
    const int levels = py::getattr(index, "nlevels", py::int_(1)).cast<int>();
    py::object date_level = index;
    if (levels == 2) {
        const auto names = py::list(index.attr("names"));
        const bool named = names.contains("date") && names.contains("order_book_id");
        date_level = index.attr("get_level_values")(named ? py::object(py::str("date")) : py::object(py::int_(1)));
        const py::object ids = index.attr("get_level_values")(named ? py::object(py::str("order_book_id"))
                                                                    : py::object(py::int_(0)));
        for (py::handle id : ids.attr("unique")())
            if (!py::isinstance<py::str>(id) || id.cast<std::string>() != order_book_id)
                throw ValueError("get_price: rows of " + repr_text(id) + " in the answer to a request for '" +
                                 order_book_id + "'");
    } else if (levels != 1) {
        throw ValueError("get_price: expected rows indexed by (order_book_id, date), got " + std::to_string(levels) +
                         " index levels");
    }
    std::vector<Date> dates = to_dates(date_level, "get_price index");

    const py::object columns = result.attr("columns");
    std::vector<std::vector<double>> data;
    for (const auto& field : fields) {
        if (!columns.contains(py::str(field))) throw KeyError(field);
        data.push_back(result[py::str(field)]
                           .attr("to_numpy")("dtype"_a = "float64")
                           .attr("tolist")()
                           .cast<std::vector<double>>());
    }

    // The products read the rows in date order; a client may answer unsorted.
    if (!std::is_sorted(dates.begin(), dates.end())) {
        std::vector<std::size_t> order(dates.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(), [&](auto a, auto b) { return dates[a] < dates[b]; });
        auto permute = [&](auto& v) {
            auto copy = v;
            for (std::size_t i = 0; i < order.size(); ++i) v[i] = copy[order[i]];
        };
        permute(dates);
        for (auto& col : data) permute(col);
    }
    const auto dup = std::adjacent_find(dates.begin(), dates.end());
    if (dup != dates.end())
        throw ValueError("get_price: the answer holds " + utils::format_date(*dup) + " twice");
    return heron::PriceTable(order_book_id, heron::Frame(std::move(dates), fields, std::move(data)));
}

py::object to_timestamp(const Date& d) {
    return py::module_::import("pandas").attr("Timestamp")(utils::format_date(d));
}

// A market-data client written in Python: any object with the service's four
// methods. Dates reach it as pandas Timestamps (midnight, no time zone); its
// errors travel back to the Python caller unchanged.
class PythonClient final : public heron::Client {
  public:
    explicit PythonClient(py::object client) : client_(std::move(client)) {}

    ~PythonClient() override {
        if (!Py_IsInitialized()) {
            client_.release();  // the interpreter is gone: nothing to release into
            return;
        }
        py::gil_scoped_acquire gil;
        client_ = py::object();
    }

    const py::object& object() const noexcept { return client_; }

    Date get_previous_trading_date(const Date& d) override {
        py::gil_scoped_acquire gil;
        return to_date(client_.attr("get_previous_trading_date")(to_timestamp(d)),
                       "get_previous_trading_date result");
    }

    Date get_next_trading_date(const Date& d) override {
        py::gil_scoped_acquire gil;
        return to_date(client_.attr("get_next_trading_date")(to_timestamp(d)), "get_next_trading_date result");
    }

    std::vector<Date> get_trading_dates(const Date& start, const Date& end) override {
        py::gil_scoped_acquire gil;
        return to_dates(client_.attr("get_trading_dates")(to_timestamp(start), to_timestamp(end)),
                        "get_trading_dates result");
    }

    std::optional<heron::PriceTable> get_price(const std::string& order_book_id, const Date& start, const Date& end,
                                               const std::vector<std::string>& fields, const std::string& adjust_type,
                                               bool expect_df) override {
        py::gil_scoped_acquire gil;
        // One field goes as its text, several as a list, as the products ask.
        py::object fields_arg = fields.size() == 1 ? py::object(py::str(fields[0])) : py::object(py::cast(fields));
        py::object result = client_.attr("get_price")(order_book_id, to_timestamp(start), to_timestamp(end),
                                                      "fields"_a = fields_arg, "adjust_type"_a = adjust_type,
                                                      "expect_df"_a = expect_df);
        return from_dataframe(result, order_book_id, fields);
    }

  private:
    py::object client_;
};

const char* const kClientMethods[] = {"get_previous_trading_date", "get_next_trading_date", "get_trading_dates",
                                      "get_price"};

void install(py::object client) {
    if (client.is_none()) {
        heron::install(nullptr);
        return;
    }
    if (py::isinstance<heron::Client>(client)) {
        heron::install(client.cast<std::shared_ptr<heron::Client>>());
        return;
    }
    std::string missing;
    for (const char* name : kClientMethods)
        if (!py::hasattr(client, name) || !PyCallable_Check(client.attr(name).ptr()))
            missing += std::string(missing.empty() ? "" : ", ") + name;
    if (!missing.empty())
        throw TypeError("heron.install: " + type_name(client) + " lacks the market-data method(s) " + missing);
    heron::install(std::make_shared<PythonClient>(std::move(client)));
}

py::object installed() {
    auto client = heron::installed();
    if (!client) return py::none();
    if (auto* py_client = dynamic_cast<PythonClient*>(client.get())) return py_client->object();
    return py::cast(client);
}

std::vector<std::string> fields_of(py::handle fields) {
    if (py::isinstance<py::str>(fields)) return {fields.cast<std::string>()};
    return fields.cast<std::vector<std::string>>();
}

py::object price_frame(const std::optional<heron::PriceTable>& table) {
    if (!table) return py::none();
    return to_dataframe(*table);
}

// The heron bars of a DataFrame: a date index (or a "date" column) and the
// columns open, high, low, close and optionally volume.
std::vector<heron::Bar> bars_of(py::handle frame) {
    if (!py::hasattr(frame, "columns") || !py::hasattr(frame, "index"))
        throw TypeError("bars: expected a pandas DataFrame, got " + type_name(frame));
    py::object df = py::reinterpret_borrow<py::object>(frame);
    const py::object columns = df.attr("columns");
    std::vector<Date> dates =
        columns.contains("date") ? to_dates(df["date"], "bars date") : to_dates(df.attr("index"), "bars index");
    auto column = [&](const char* name) {
        if (!columns.contains(name)) throw KeyError(name);
        return df[name].attr("to_numpy")("dtype"_a = "float64").attr("tolist")().cast<std::vector<double>>();
    };
    const auto open = column("open"), high = column("high"), low = column("low"), close = column("close");
    std::optional<std::vector<double>> volume;
    if (columns.contains("volume")) volume = column("volume");
    std::vector<heron::Bar> bars(dates.size());
    for (std::size_t i = 0; i < dates.size(); ++i) {
        bars[i].date = dates[i];
        bars[i].open = open[i];
        bars[i].high = high[i];
        bars[i].low = low[i];
        bars[i].close = close[i];
        if (volume && !std::isnan((*volume)[i])) bars[i].volume = (*volume)[i];
    }
    return bars;
}

py::dict import_report(const heron::SqliteStore::ImportReport& r) {
    return py::dict("source"_a = r.source, "instrument"_a = r.instrument, "adjusts"_a = r.adjusts, "rows"_a = r.rows,
                    "inserted"_a = r.inserted, "replaced"_a = r.replaced, "unchanged"_a = r.unchanged);
}

void bind_heron(py::module_& m) {
    py::module_ h = m.def_submodule("heron", "The market-data service the products ask for trading days and prices.");

    py::object heron_error = py::reinterpret_steal<py::object>(
        PyErr_NewExceptionWithDoc("kestrel.heron.HeronError",
                                  "An error of the market-data service itself (no client installed, unusable store).",
                                  PyExc_RuntimeError, nullptr));
    if (!heron_error) throw py::error_already_set();
    h.attr("HeronError") = heron_error;
    g_heron_error = heron_error.inc_ref().ptr();

    h.def("install", &install, py::arg("client"),
          "Install the market-data client every product uses: a bundled store (MemoryStore, SqliteStore),\n"
          "any object with the methods get_previous_trading_date, get_next_trading_date,\n"
          "get_trading_dates and get_price, or None to uninstall.");
    h.def("installed", &installed, "The installed client, or None.");

    // The service's operations, through the installed client.
    h.def(
        "get_previous_trading_date",
        [](py::object d) {
            const Date date = to_date(d, "date");
            Date out;
            {
                py::gil_scoped_release nogil;
                out = heron::get_previous_trading_date(date);
            }
            return from_date(out);
        },
        py::arg("date"));
    h.def(
        "get_next_trading_date",
        [](py::object d) {
            const Date date = to_date(d, "date");
            Date out;
            {
                py::gil_scoped_release nogil;
                out = heron::get_next_trading_date(date);
            }
            return from_date(out);
        },
        py::arg("date"));
    h.def(
        "get_trading_dates",
        [](py::object start, py::object end) {
            const Date s = to_date(start, "start"), e = to_date(end, "end");
            std::vector<Date> out;
            {
                py::gil_scoped_release nogil;
                out = heron::get_trading_dates(s, e);
            }
            return from_dates(out);
        },
        py::arg("start"), py::arg("end"));
    h.def(
        "get_price",
        [](const std::string& id, py::object start, py::object end, py::object fields, const std::string& adjust_type,
           bool expect_df) {
            const Date s = to_date(start, "start"), e = to_date(end, "end");
            const auto f = fields_of(fields);
            std::optional<heron::PriceTable> table;
            {
                py::gil_scoped_release nogil;
                table = heron::get_price(id, s, e, f, adjust_type, expect_df);
            }
            return price_frame(table);
        },
        py::arg("order_book_id"), py::arg("start"), py::arg("end"), py::arg("fields") = "close",
        py::arg("adjust_type") = "pre", py::arg("expect_df") = true,
        "Daily prices of one instrument from start to end inclusive: None, or a DataFrame indexed by\n"
        "(order_book_id, date) with one column per field.");

    py::class_<heron::Client, std::shared_ptr<heron::Client>> client(
        h, "Client", "A market-data client implemented in C++ (the bundled stores).");
    client
        .def(
            "get_previous_trading_date",
            [](heron::Client& c, py::object d) {
                const Date date = to_date(d, "date");
                Date out;
                {
                    py::gil_scoped_release nogil;
                    out = c.get_previous_trading_date(date);
                }
                return from_date(out);
            },
            py::arg("date"))
        .def(
            "get_next_trading_date",
            [](heron::Client& c, py::object d) {
                const Date date = to_date(d, "date");
                Date out;
                {
                    py::gil_scoped_release nogil;
                    out = c.get_next_trading_date(date);
                }
                return from_date(out);
            },
            py::arg("date"))
        .def(
            "get_trading_dates",
            [](heron::Client& c, py::object start, py::object end) {
                const Date s = to_date(start, "start"), e = to_date(end, "end");
                std::vector<Date> out;
                {
                    py::gil_scoped_release nogil;
                    out = c.get_trading_dates(s, e);
                }
                return from_dates(out);
            },
            py::arg("start"), py::arg("end"))
        .def(
            "official_closures",
            [](heron::Client& c) {
                py::gil_scoped_release nogil;
                return c.official_closures();
            },
            "The official exchange closures the client holds (a kestrel.calendar.ClosureList, no years when none).\n"
            "Opening a store changes no calendar; kestrel.calendar.ScopedClosures installs this list.")
        .def(
            "get_price",
            [](heron::Client& c, const std::string& id, py::object start, py::object end, py::object fields,
               const std::string& adjust_type, bool expect_df) {
                const Date s = to_date(start, "start"), e = to_date(end, "end");
                const auto f = fields_of(fields);
                std::optional<heron::PriceTable> table;
                {
                    py::gil_scoped_release nogil;
                    table = c.get_price(id, s, e, f, adjust_type, expect_df);
                }
                return price_frame(table);
            },
            py::arg("order_book_id"), py::arg("start"), py::arg("end"), py::arg("fields") = "close",
            py::arg("adjust_type") = "pre", py::arg("expect_df") = true);
    py::class_<heron::MemoryStore, heron::Client, std::shared_ptr<heron::MemoryStore>>(
        h, "MemoryStore", "Prices held in memory: for embedding, tests, and CSV directories loaded at start-up.")
        .def(py::init<>())
        .def(
            "add",
            [](heron::MemoryStore& s, const std::string& instrument, const std::string& adjust, py::handle bars) {
                auto b = bars_of(bars);
                return s.add(instrument, adjust, std::move(b));
            },
            py::arg("instrument"), py::arg("adjust"), py::arg("bars"),
            "Add or replace daily bars from a DataFrame indexed by date with columns open, high, low, close\n"
            "(and optionally volume); adjust is 'pre' or 'none'. Returns how many dates were replaced.")
        .def(
            "add_closes",
            [](heron::MemoryStore& s, const std::string& instrument, const std::string& adjust, py::handle closes) {
                // A mapping or Series of date -> close, or (date, close) pairs.
                const py::object items = py::hasattr(closes, "items") ? closes.attr("items")()
                                                                      : py::reinterpret_borrow<py::object>(closes);
                std::vector<std::pair<Date, double>> rows;
                for (py::handle item : items) {
                    const auto kv = py::reinterpret_borrow<py::sequence>(item);
                    rows.emplace_back(to_date(kv[0], "closes date"), kv[1].cast<double>());
                }
                s.add_closes(instrument, adjust, rows);
            },
            py::arg("instrument"), py::arg("adjust"), py::arg("closes"),
            "Add closing prices only (open = high = low = close) from a mapping or Series of date -> close,\n"
            "without checking the trading calendar.")
        .def(
            "load_directory",
            [](heron::MemoryStore& s, const std::string& dir) {
                py::gil_scoped_release nogil;
                return heron::load_directory(s, dir);
            },
            py::arg("directory"),
            "Load every price file of a directory (<instrument>.<pre|none>.csv or <instrument>.csv).\n"
            "Returns the number of rows stored.")
        .def("summary", [](const heron::MemoryStore& s) {
            py::list out;
            for (const auto& x : s.summary())
                out.append(py::dict("instrument"_a = x.instrument, "adjust"_a = x.adjust, "first"_a = from_date(x.first),
                                    "last"_a = from_date(x.last), "rows"_a = x.rows));
            return out;
        });

    py::class_<heron::SqliteStore, heron::Client, std::shared_ptr<heron::SqliteStore>>(
        h, "SqliteStore", "Daily prices in an SQLite database file, kestrel's embedded store.")
        .def(py::init([](const std::string& path, bool read_only) {
                 heron::SqliteStore::Options options;
                 options.mode = read_only ? heron::SqliteStore::Mode::ReadOnly : heron::SqliteStore::Mode::ReadWrite;
                 py::gil_scoped_release nogil;
                 return std::make_shared<heron::SqliteStore>(path, options);
             }),
             py::arg("path"), py::arg("read_only") = false)
        .def_property_readonly("path", &heron::SqliteStore::path)
        .def(
            "import_csv",
            [](heron::SqliteStore& s, const std::string& csv, const std::string& instrument, const std::string& adjust) {
                heron::SqliteStore::ImportReport r;
                {
                    py::gil_scoped_release nogil;
                    r = s.import_csv(csv, instrument, adjust);
                }
                return import_report(r);
            },
            py::arg("path"), py::arg("instrument"), py::arg("adjust"))
        .def(
            "import_directory",
            [](heron::SqliteStore& s, const std::string& dir) {
                std::vector<heron::SqliteStore::ImportReport> reports;
                {
                    py::gil_scoped_release nogil;
                    reports = s.import_directory(dir);
                }
                py::list out;
                for (const auto& r : reports) out.append(import_report(r));
                return out;
            },
            py::arg("directory"))
        .def("summary", [](heron::SqliteStore& s) {
            std::vector<heron::SeriesSummary> rows;
            {
                py::gil_scoped_release nogil;
                rows = s.summary();
            }
            py::list out;
            for (const auto& x : rows)
                out.append(py::dict("instrument"_a = x.instrument, "adjust"_a = x.adjust, "first"_a = from_date(x.first),
                                    "last"_a = from_date(x.last), "rows"_a = x.rows));
            return out;
        })
        .def(
            "import_closures",
            [](heron::SqliteStore& s, const std::string& path) {
                std::vector<int> years;
                {
                    py::gil_scoped_release nogil;
                    const auto list = calendar::read_closures_file(path);
                    s.import_closures(list);
                    years = list.years;
                }
                return years;
            },
            py::arg("path"),
            "Store a file of official closures (date,holiday) in place of the projection for its years; returns the\n"
            "years. A refused file leaves the store as it was. Changes no calendar: value inside\n"
            "kestrel.calendar.ScopedClosures(store) to follow the list.");
}

// ---------------------------------------------------------------------------
// Calendar

py::list closure_tuples(const std::vector<calendar::Closure>& list) {
    py::list out;
    for (const auto& c : list) out.append(py::make_tuple(from_date(c.date), c.name, calendar::source_name(c.source)));
    return out;
}

// kestrel.calendar.ScopedClosures: a holiday table installed on the thread
// that enters it, until it exits there.
class ScopedClosures {
  public:
    explicit ScopedClosures(calendar::ClosureList list) : list_(std::move(list)) {}
    ~ScopedClosures() {
        // Dropped on another thread while still entered: the entering thread
        // keeps the table (leaked rather than freed under it).
        if (scope_ && thread_ != std::this_thread::get_id()) (void)scope_.release();
    }
    ScopedClosures(const ScopedClosures&) = delete;
    ScopedClosures& operator=(const ScopedClosures&) = delete;

    void enter() {
        if (scope_) throw ValueError("ScopedClosures: already entered");
        scope_ = std::make_unique<calendar::ScopedClosures>(list_);
        thread_ = std::this_thread::get_id();
    }
    void exit() {
        if (!scope_) return;
        if (thread_ != std::this_thread::get_id())
            throw ValueError("ScopedClosures: exited on another thread than the one that entered it");
        scope_.reset();
    }

  private:
    calendar::ClosureList list_;
    std::unique_ptr<calendar::ScopedClosures> scope_;
    std::thread::id thread_;
};

void bind_calendar(py::module_& m) {
    py::module_ c = m.def_submodule("calendar", "The exchange's trading calendar: published, official and projected closures.");
    c.def("is_trading_day", [](py::handle d) { return calendar::is_trading_day(to_date(d, "date")); }, py::arg("date"));
    c.def("trading_days", [](py::handle a, py::handle b) {
        return from_dates(calendar::trading_days(to_date(a, "start"), to_date(b, "end")));
    }, py::arg("start"), py::arg("end"));
    c.def("covered_from", [] { return from_date(calendar::covered_from()); });
    c.def("covered_until", [] { return from_date(calendar::covered_until()); },
          "Last day of the last published (or official) year.");
    c.def("projected_until", [] { return from_date(calendar::projected_until()); }, "Last day of the projected years.");
    c.def("is_projected", [](py::handle d) { return calendar::is_projected(to_date(d, "date")); }, py::arg("date"));
    c.def("projected_years", [](py::handle a, py::handle b) {
        return calendar::projected_years(to_date(a, "start"), to_date(b, "end"));
    }, py::arg("start"), py::arg("end"));
    c.def("closures", [](py::handle a, py::handle b) {
        return closure_tuples(calendar::closures(to_date(a, "start"), to_date(b, "end")));
    }, py::arg("start"), py::arg("end"), "Weekday closures as (date, name, source) tuples.");
    c.def("project_year", [](int y) { return closure_tuples(calendar::project_year(y)); }, py::arg("year"),
          "A year's closures by the exchange's holiday rules.");
    py::class_<calendar::ClosureList>(c, "ClosureList",
                                      "An official list of exchange closures for whole years (read_closures, or a "
                                      "store's official_closures()).")
        .def_property_readonly("years", [](const calendar::ClosureList& l) { return l.years; })
        .def_property_readonly("closures", [](const calendar::ClosureList& l) { return closure_tuples(l.closures); },
                               "(date, name, source) tuples, ascending.")
        .def_property_readonly("source", [](const calendar::ClosureList& l) { return l.source; })
        .def("__len__", [](const calendar::ClosureList& l) { return l.closures.size(); })
        .def("__repr__",
             [](const calendar::ClosureList& l) {
                 std::string years;
                 for (int y : l.years) years += (years.empty() ? "" : ", ") + std::to_string(y);
                 return "<ClosureList " + std::to_string(l.closures.size()) + " closures for [" + years + "] from '" +
                        l.source + "'>";
             })
        .def(py::pickle(
            [](const calendar::ClosureList& l) {
                py::list days;
                for (const auto& x : l.closures) days.append(py::make_tuple(utils::format_date(x.date), x.name));
                return py::make_tuple(l.years, days, l.lines, l.source);
            },
            [](const py::tuple& t) {
                if (t.size() != 4) throw ValueError("ClosureList: bad pickled state");
                calendar::ClosureList l;
                l.years = t[0].cast<std::vector<int>>();
                for (const auto& day : t[1].cast<std::vector<std::pair<std::string, std::string>>>())
                    l.closures.push_back({utils::parse_date(day.first), day.second, calendar::Source::Official});
                l.lines = t[2].cast<std::vector<std::size_t>>();
                l.source = t[3].cast<std::string>();
                return l;
            }));
    c.def("read_closures", &calendar::read_closures_file, py::arg("path"),
          "Read a file of official closures (date,holiday) without installing it.");
    py::class_<ScopedClosures>(c, "ScopedClosures",
                               "with ScopedClosures(list_or_store): the calendar, the stores' trading days and the\n"
                               "products of this thread follow the official list (or the store's) inside the block;\n"
                               "the calendar in force before comes back after it. Other threads are not affected.")
        .def(py::init<calendar::ClosureList>(), py::arg("closures"))
        .def(py::init([](heron::Client& store) {
                 calendar::ClosureList list;
                 {
                     py::gil_scoped_release nogil;
                     list = store.official_closures();
                 }
                 return std::make_unique<ScopedClosures>(std::move(list));
             }),
             py::arg("store"))
        .def("__enter__", [](ScopedClosures& s) -> ScopedClosures& {
            s.enter();
            return s;
        }, py::return_value_policy::reference)
        .def("__exit__", [](ScopedClosures& s, const py::args&) { s.exit(); });
    c.def("load_closures", [](const std::string& path) {
        const auto list = calendar::read_closures_file(path);
        calendar::set_official_closures(list);
        return list.years;
    }, py::arg("path"), "Make a file of official closures the process default for its years (every thread outside a\n"
                        "ScopedClosures).");
    c.def("official_years", &calendar::official_years, "The years of an official list in the calendar in force.");
    c.def("clear_official_closures", &calendar::clear_official_closures);
}

// ---------------------------------------------------------------------------
// Errors

void set_error(PyObject* type, const std::string& message) {
    if (message.empty()) PyErr_SetNone(type);
    else PyErr_SetString(type, message.c_str());
}

void translate(std::exception_ptr p) {
    try {
        if (p) std::rethrow_exception(p);
    } catch (const KeyError& e) {
        set_error(PyExc_KeyError, e.message());
    } catch (const ValueError& e) {
        set_error(PyExc_ValueError, e.message());
    } catch (const NotImplementedError& e) {
        set_error(PyExc_NotImplementedError, e.message());
    } catch (const AssertionError& e) {
        set_error(PyExc_AssertionError, e.message());
    } catch (const TypeError& e) {
        set_error(PyExc_TypeError, e.message());
    } catch (const IndexError& e) {
        set_error(PyExc_IndexError, e.message());
    } catch (const ZeroDivisionError& e) {
        set_error(PyExc_ZeroDivisionError, e.message());
    } catch (const heron::ServiceError& e) {
        set_error(g_heron_error, e.message());
    } catch (const Error& e) {
        set_error(PyExc_RuntimeError, e.message());
    } catch (const QuantLib::Error& e) {
        set_error(PyExc_RuntimeError, e.what());
    }
}

}  // namespace

void check_caller_vol(double vol) {
    if (vol < 0) {
        std::ostringstream os;
        os << "vol must not be negative, got " << vol;
        throw ValueError(os.str());
    }
}

namespace {

// ---------------------------------------------------------------------------
// BaseOption and the valuation methods every product shares

using Valuation = double (BaseOption::*)(double, double, double, double, const EvalDate&);

template <Valuation F>
double value(BaseOption& option, double spot, double r, double vol, double q, py::object evaluation_date) {
    check_caller_vol(vol);
    const EvalDate date = to_eval_date(evaluation_date);
    py::gil_scoped_release nogil;
    return (option.*F)(spot, r, vol, q, date);
}

using MarketValuation = double (BaseOption::*)(const Market&, const EvalDate&);

template <MarketValuation F>
double market_value(BaseOption& option, const Market& market, py::object evaluation_date) {
    const EvalDate date = to_eval_date(evaluation_date);
    py::gil_scoped_release nogil;
    return (option.*F)(market, date);
}

void bind_base(py::module_& m) {
    const auto spot = py::arg("spot"), r = py::arg("r"), vol = py::arg("vol"), q = py::arg("q");
    const auto date = py::arg("evaluation_date") = py::none();
    const auto market = py::arg("market");

    py::class_<BaseOption>(m, "BaseOption",
                           "The root of every product: the base terms, npv and finite-difference Greeks.")
        .def(py::init([](py::object terms) {
                 const Terms t = to_terms(terms);
                 py::gil_scoped_release nogil;
                 return std::make_unique<BaseOption>(t);
             }),
             py::arg("terms"))
        .def("npv", &value<&BaseOption::npv>, spot, r, vol, q, date, "Present value per unit of the underlying.")
        .def(
            "greeks",
            [](BaseOption& o, double s, double r_, double v, double q_, py::object d) {
                check_caller_vol(v);
                const EvalDate e = to_eval_date(d);
                OptionGreeks g;
                {
                    py::gil_scoped_release nogil;
                    g = o.greeks(s, r_, v, q_, e);
                }
                return make_greeks(g);
            },
            spot, r, vol, q, date, "Value and sensitivities as an OptionGreeks named tuple.")
        .def("delta", &value<&BaseOption::delta>, spot, r, vol, q, date)
        .def("gamma", &value<&BaseOption::gamma>, spot, r, vol, q, date)
        .def("vega", &value<&BaseOption::vega>, spot, r, vol, q, date)
        .def("rho", &value<&BaseOption::rho>, spot, r, vol, q, date)
        .def("theta", &value<&BaseOption::theta>, spot, r, vol, q, date)
        .def("carry_rho", &value<&BaseOption::carry_rho>, spot, r, vol, q, date,
             "V(q - 0.005) - V(q + 0.005): the value's change per percentage point of carry.")
        // The same on a kestrel.Market (curves of r, q and vol): vega shifts the
        // whole vol curve, rho the whole r curve, carry_rho the whole q curve.
        .def("npv", &market_value<&BaseOption::npv>, market, date)
        .def(
            "greeks",
            [](BaseOption& o, const Market& mk, py::object d) {
                const EvalDate e = to_eval_date(d);
                OptionGreeks g;
                {
                    py::gil_scoped_release nogil;
                    g = o.greeks(mk, e);
                }
                return make_greeks(g);
            },
            market, date)
        .def("delta", &market_value<&BaseOption::delta>, market, date)
        .def("gamma", &market_value<&BaseOption::gamma>, market, date)
        .def("vega", &market_value<&BaseOption::vega>, market, date)
        .def("rho", &market_value<&BaseOption::rho>, market, date)
        .def("theta", &market_value<&BaseOption::theta>, market, date)
        .def("carry_rho", &market_value<&BaseOption::carry_rho>, market, date)
        .def_property_readonly("effect_date", [](const BaseOption& o) { return from_date(o.effect_date()); })
        .def_property_readonly("maturity_date", [](const BaseOption& o) { return from_date(o.maturity_date()); })
        .def_property_readonly("underlying", [](const BaseOption& o) { return from_value(o.underlying()); })
        .def_property_readonly("s0", [](const BaseOption& o) { return from_value(o.s0()); })
        .def_property_readonly("notional", [](const BaseOption& o) { return from_value(o.notional()); })
        .def("__repr__", [](py::handle self) {
            const auto& o = self.cast<const BaseOption&>();
            return "<kestrel." + py::str(py::type::handle_of(self).attr("__name__")).cast<std::string>() + " " +
                   repr_text(from_value(o.underlying())) + " maturing " + utils::format_date(o.maturity_date()) + ">";
        });

    m.def(
        "make_option",
        [](py::object terms) {
            const Terms t = to_terms(terms);
            py::gil_scoped_release nogil;
            return make_option(t);
        },
        py::arg("terms"), "Build the product named by the term \"type\" (see known_types()).");
    m.def("known_types", &known_types, "The product type names make_option knows.");
}

void bind_random_sample(py::module_& m) {
    py::module_ rs = m.def_submodule("random_sample", "Settings of the Monte Carlo products' random draws.");
    rs.def("set_paths", [](std::size_t n) { random_sample::set_paths(n); }, py::arg("n"),
           "Number of simulated paths (at least 1).");
    rs.def("paths", &random_sample::paths);
    rs.def("set_seed", [](std::uint64_t s) { random_sample::set_seed(s); }, py::arg("seed"));
    rs.def("seed", &random_sample::seed);
    rs.def("set_threads", [](std::size_t n) { random_sample::set_threads(n); }, py::arg("n"),
           "Threads the Monte Carlo products simulate on (at least 1); values do not depend on it.");
    rs.def("threads", &random_sample::threads);
    rs.def("hardware_threads", &random_sample::hardware_threads, "The cores this process may run on.");
    rs.def(
        "set_draws",
        [](const std::string& precision) {
            if (precision == "double")
                random_sample::set_draws(random_sample::Draws::double_precision);
            else if (precision == "single")
                random_sample::set_draws(random_sample::Draws::single_precision);
            else
                throw ValueError("draws: '" + precision + "' is not a precision; give \"double\" or \"single\"");
        },
        py::arg("precision"),
        "\"double\" (the default) or \"single\": Box-Muller in 32-bit floats on the same generator words, about "
        "twice the draws a second; values move within their Monte Carlo error.");
    rs.def("draws", [] {
        return random_sample::draws() == random_sample::Draws::single_precision ? "single" : "double";
    });
    rs.def(
        "set_simd", [](const std::string& name) { random_sample::set_simd(random_sample::parse_simd(name)); },
        py::arg("name"),
        "Instruction set of the Monte Carlo kernels: \"auto\" (the best this machine has), \"avx512\", \"avx2\", "
        "\"sse4\" or \"baseline\" (ValueError for one this machine lacks); values are the same on every one. "
        "KESTREL_SIMD sets the default.");
    rs.def("simd", [] { return std::string(random_sample::simd_name(random_sample::simd())); });
    rs.def("dispatched_simd", [] { return std::string(random_sample::simd_name(random_sample::dispatched_simd())); },
           "The instruction set the kernels run on now.");
    rs.def(
        "supported_simd",
        [] {
            std::vector<std::string> out;
            for (random_sample::Simd s : random_sample::supported_simd()) out.emplace_back(random_sample::simd_name(s));
            return out;
        },
        "The instruction sets this machine runs the kernels on, best first.");
    rs.def("reset", &random_sample::reset, "Put paths, seed, threads and draws back to their defaults.");
    rs.attr("DEFAULT_PATHS") = random_sample::kDefaultPaths;
    rs.attr("DEFAULT_SEED") = random_sample::kDefaultSeed;
}

}  // namespace

}  // namespace kestrel::python

PYBIND11_MODULE(_core, m) {
    namespace kp = kestrel::python;
    namespace py = pybind11;
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw py::error_already_set();

    m.doc() = "kestrel's compiled core; import the package kestrel instead.";
    m.attr("__version__") = KESTREL_VERSION;

    py::object greeks = py::module_::import("collections")
                            .attr("namedtuple")("OptionGreeks",
                                                py::make_tuple("npv", "delta", "gamma", "vega", "theta", "rho"));
    greeks.attr("__module__") = "kestrel";
    greeks.attr("__doc__") = "A product's present value and its sensitivities, theta before rho.";
    m.attr("OptionGreeks") = greeks;
    kp::g_greeks_type = greeks.inc_ref().ptr();

    py::register_local_exception_translator(&kp::translate);

    kp::bind_heron(m);
    kp::bind_random_sample(m);
    kp::bind_calendar(m);
    kp::bind_market(m);
    kp::bind_base(m);
    kp::bind_products(m);
    kp::bind_book(m);
    kp::bind_nightly(m);
    kp::bind_vol(m);

    // An installed Python client must be let go while the interpreter still runs.
    py::module_::import("atexit").attr("register")(py::cpp_function([] { heron::install(nullptr); }));
}
