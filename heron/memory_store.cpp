#include <heron/memory_store.hpp>
#include <kestrel/calendar.hpp>

#include <cmath>
#include <limits>
#include <set>

namespace heron {

void validate_bars(const std::vector<Bar>& bars, const std::string& source, const std::vector<std::size_t>& lines) {
    std::set<Date> seen;
    for (std::size_t i = 0; i < bars.size(); ++i) {
        const Bar& b = bars[i];
        const std::size_t line = i < lines.size() ? lines[i] : i + 1;
        auto fail = [&](const std::string& why) {
            throw kestrel::ValueError(source + ":" + std::to_string(line) + ": " + why);
        };
        for (double v : {b.open, b.high, b.low, b.close})
            if (!std::isfinite(v) || v <= 0) fail("prices must be positive numbers");
        if (b.volume && (!std::isfinite(*b.volume) || *b.volume < 0)) fail("volume must be a non-negative number");
        if (b.low > b.open || b.low > b.close) fail("low is above open or close");
        if (b.high < b.open || b.high < b.close) fail("high is below open or close");
        if (!kestrel::calendar::is_trading_day(b.date))
            fail(kestrel::utils::format_date(b.date) + " is not a trading day");
        if (!seen.insert(b.date).second) fail("duplicate date " + kestrel::utils::format_date(b.date));
    }
}

std::size_t MemoryStore::add(const std::string& instrument, const std::string& adjust, std::vector<Bar> bars) {
    validate_request({"close"}, adjust);
    validate_bars(bars, instrument + "." + adjust);
    std::lock_guard lock(mutex_);
    auto& series = data_[{instrument, adjust}];
    std::size_t replaced = 0;
    for (auto& b : bars) {
        auto [it, inserted] = series.insert_or_assign(b.date, b);
        (void)it;
        if (!inserted) ++replaced;
    }
    return replaced;
}

void MemoryStore::add_closes(const std::string& instrument, const std::string& adjust,
                             const std::vector<std::pair<Date, double>>& closes) {
    validate_request({"close"}, adjust);
    std::lock_guard lock(mutex_);
    auto& series = data_[{instrument, adjust}];
    for (const auto& [d, c] : closes) series.insert_or_assign(d, Bar{d, c, c, c, c, std::nullopt});
}

PriceTable make_table(const std::string& order_book_id, const std::vector<Bar>& bars,
                      const std::vector<std::string>& fields) {
    std::vector<Date> index;
    index.reserve(bars.size());
    for (const auto& b : bars) index.push_back(b.date);
    std::vector<std::vector<double>> data;
    for (const auto& f : fields) {
        std::vector<double> col;
        col.reserve(bars.size());
        for (const auto& b : bars) {
            if (f == "open") col.push_back(b.open);
            else if (f == "high") col.push_back(b.high);
            else if (f == "low") col.push_back(b.low);
            else if (f == "close") col.push_back(b.close);
            else col.push_back(b.volume ? *b.volume : std::numeric_limits<double>::quiet_NaN());
        }
        data.push_back(std::move(col));
    }
    return PriceTable(order_book_id, Frame(std::move(index), fields, std::move(data)));
}

std::optional<PriceTable> MemoryStore::get_price(const std::string& order_book_id, const Date& start,
                                                 const Date& end, const std::vector<std::string>& fields,
                                                 const std::string& adjust_type, bool) {
    validate_request(fields, adjust_type);
    if (end < start) return std::nullopt;
    std::lock_guard lock(mutex_);
    const auto it = data_.find({order_book_id, adjust_type});
    if (it == data_.end()) return std::nullopt;
    std::vector<Bar> rows;
    for (auto b = it->second.lower_bound(start); b != it->second.end() && b->first <= end; ++b)
        rows.push_back(b->second);
    if (rows.empty()) return std::nullopt;
    return make_table(order_book_id, rows, fields);
}

std::vector<MemoryStore::Summary> MemoryStore::summary() const {
    std::lock_guard lock(mutex_);
    std::vector<Summary> out;
    for (const auto& [key, series] : data_) {
        if (series.empty()) continue;
        out.push_back({key.first, key.second, series.begin()->first, series.rbegin()->first, series.size()});
    }
    return out;
}

}  // namespace heron
