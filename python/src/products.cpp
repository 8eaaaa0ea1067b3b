// The product classes of kestrel._core. Each product is one bind_* function:
// its constructor from a terms dict, its own operations (triggered, engine,
// construct_option) and its terms as read-only properties. npv, greeks and the
// single Greeks come from BaseOption (core.cpp) and dispatch to the product.
#include "binding.hpp"

#include <kestrel/kestrel.hpp>

#include <memory>
#include <string>

namespace kestrel::python {

namespace {

// A product class with its constructor from a terms mapping.
template <class Product>
py::class_<Product, BaseOption> product_class(py::module_& m, const char* name, const char* doc) {
    py::class_<Product, BaseOption> cls(m, name, doc);
    cls.def(py::init([](py::handle terms) {
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

void bind_vanilla(py::module_& m) {
    auto cls = product_class<VanillaOption>(
        m, "VanillaOption", "Vanilla and digital options, European or American, on QuantLib's engines.");
    option_terms(cls);
    cls.def_property_readonly("exercise_type", &VanillaOption::exercise_type)
        .def_property_readonly("payoff_type", &VanillaOption::payoff_type)
        .def_property_readonly("pay_at_expiry", &VanillaOption::pay_at_expiry);
}

}  // namespace

void bind_products(py::module_& m) {
    bind_vanilla(m);
}

}  // namespace kestrel::python
