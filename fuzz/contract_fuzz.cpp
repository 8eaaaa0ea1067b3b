// Fuzzes a JSON contract through make_option, npv and greeks on a small
// memory store. A kestrel::Error or a QuantLib error is an expected outcome; a
// crash, a sanitizer report or a non-finite value returned as a price is a bug.
//
// Input: {"terms": {...}, "market": {"spot": S, "r": R, "vol": V, "q": Q, "date": "YYYY-MM-DD"}}
#include <heron/memory_store.hpp>
#include <kestrel/kestrel.hpp>
#include <kestrel/random_sample.hpp>

#include <nlohmann/json.hpp>
#include <ql/errors.hpp>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace {

// A few weeks of prices around the start of 2024 for two underlyings.
std::shared_ptr<heron::MemoryStore> store() {
    auto s = std::make_shared<heron::MemoryStore>();
    std::vector<std::pair<QuantLib::Date, double>> closes;
    double level = 3400.0;
    for (QuantLib::Date d(2, QuantLib::January, 2024); d <= QuantLib::Date(29, QuantLib::February, 2024); ++d) {
        if (!kestrel::calendar::is_trading_day(d)) continue;
        level *= (d.dayOfMonth() % 3 == 0) ? 1.012 : 0.994;
        closes.emplace_back(d, level);
    }
    for (const char* adjust : {"pre", "none"}) {
        s->add_closes("000300.XSHG", adjust, closes);
        std::vector<std::pair<QuantLib::Date, double>> scaled;
        for (auto [d, c] : closes) scaled.emplace_back(d, c / 34.0);
        s->add_closes("600519.XSHG", adjust, scaled);
    }
    return s;
}

bool bounded(const kestrel::Terms& t) {
    // Long contracts are legitimately slow to simulate; keep each input quick.
    const auto* e = t.find("effect_date");
    const auto* m = t.find("maturity_date");
    if (!e || !m) return true;
    try {
        const auto ed = e->as_date("effect_date");
        const auto md = m->as_date("maturity_date");
        return md - ed <= 800 && md - ed >= -800;
    } catch (const kestrel::Error&) {
        return true;
    }
}

double number(const nlohmann::json& m, const char* key, double fallback) {
    const auto it = m.find(key);
    if (it == m.end()) return fallback;
    if (it->is_number()) return it->get<double>();
    if (it->is_string()) {
        const auto s = it->get<std::string>();
        if (s == "nan") return std::nan("");
        if (s == "inf") return INFINITY;
        if (s == "-inf") return -INFINITY;
    }
    return fallback;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    heron::install(store());
    kestrel::random_sample::set_paths(64);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = nlohmann::ordered_json::parse(data, data + size, nullptr, false);
    if (input.is_discarded() || !input.is_object()) return 0;
    try {
        const auto terms = kestrel::Terms::from_json(input.value("terms", nlohmann::ordered_json::object()));
        if (!bounded(terms)) return 0;
        const auto market = input.value("market", nlohmann::json::object());
        const double spot = number(market, "spot", 100.0);
        const double r = number(market, "r", 0.03);
        const double vol = number(market, "vol", 0.2);
        const double q = number(market, "q", 0.0);
        kestrel::EvalDate date;
        if (market.contains("date") && market["date"].is_string())
            date = kestrel::utils::DateInput(market["date"].get<std::string>());
        auto option = kestrel::make_option(terms);
        const double v = option->npv(spot, r, vol, q, date ? date : kestrel::EvalDate("2024-02-01"));
        if (!std::isfinite(v)) __builtin_trap();
        const auto g = option->greeks(spot, r, vol, q, date ? date : kestrel::EvalDate("2024-02-01"));
        for (std::size_t i = 0; i < g.size(); ++i)
            if (!std::isfinite(g[i])) __builtin_trap();
    } catch (const kestrel::Error&) {
    } catch (const QuantLib::Error&) {
    }
    return 0;
}
