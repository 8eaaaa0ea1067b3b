#pragma once
// Conversions between Python objects and kestrel's C++ types, shared by the
// translation units of kestrel._core.
//
// Dates: "YYYY-MM-DD" text, datetime.date, datetime.datetime at midnight
// without a time zone, pandas.Timestamp (the same) and numpy.datetime64 at
// midnight all name one calendar day. Dates go back to Python as
// datetime.date.
#include <kestrel/keel.hpp>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <ql/time/date.hpp>

#include <string_view>
#include <vector>

namespace kestrel::python {

namespace py = pybind11;

// A date from any accepted form; `what` names the argument in errors
// (TypeError for an object that is not a date, ValueError for a date that is
// not a calendar day at midnight or outside QuantLib's range).
QuantLib::Date to_date(py::handle obj, std::string_view what);
// None is absent.
EvalDate to_eval_date(py::handle obj);
// A caller's vol: a negative one is a ValueError (the finite differences
// bump below zero inside the library only).
void check_caller_vol(double vol);
// Every element of an iterable (a list, a pandas DatetimeIndex, a numpy
// datetime64 array, ...), in order.
std::vector<QuantLib::Date> to_dates(py::handle obj, std::string_view what);

py::object from_date(const QuantLib::Date& d);  // None for the null date
py::list from_dates(const std::vector<QuantLib::Date>& dates);

// A terms mapping from a dict (or any mapping with text keys). Values: None,
// bool, int, float, text, dates, lists (or tuples, arrays) of those.
Terms to_terms(py::handle mapping);
// The stored value back as a Python object (dates as datetime.date).
py::object from_value(const Value& v);

// The OptionGreeks named tuple of the package.
py::object make_greeks(const OptionGreeks& g);

// "call" / "put".
const char* call_put_text(int option_type);

// Registers kestrel.Market (market.cpp); before the products.
void bind_market(py::module_& m);
// Registers the product classes on the module (products.cpp).
void bind_products(py::module_& m);
// Registers kestrel._core.book (book.cpp).
void bind_book(py::module_& m);
// Adds cash flows and kept runs (nightly.cpp); after bind_products and bind_book.
void bind_nightly(py::module_& m);
// Registers kestrel._core.vol (vol.cpp).
void bind_vol(py::module_& m);

}  // namespace kestrel::python
