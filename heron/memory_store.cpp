#include <heron/memory_store.hpp>

namespace heron {

namespace {
void check_instrument(const std::string& instrument) {
    if (instrument.empty()) throw kestrel::ValueError("instrument id is empty");
}
}  // namespace

std::size_t MemoryStore::add(const std::string& instrument, const std::string& adjust, std::vector<Bar> bars) {
    check_instrument(instrument);
    validate_request({"close"}, adjust);
    validate_bars(bars, instrument + "." + adjust);
    std::lock_guard lock(mutex_);
    auto& series = data_[{instrument, adjust}];
    std::size_t replaced = 0;
    for (auto& b : bars) {
        const auto it = series.find(b.date);
        if (it == series.end()) {
            series.emplace(b.date, std::move(b));
        } else if (!(it->second == b)) {
            it->second = std::move(b);
            ++replaced;
        }
    }
    return replaced;
}

void MemoryStore::add_closes(const std::string& instrument, const std::string& adjust,
                             const std::vector<std::pair<Date, double>>& closes) {
    check_instrument(instrument);
    validate_request({"close"}, adjust);
    std::lock_guard lock(mutex_);
    auto& series = data_[{instrument, adjust}];
    for (const auto& [d, c] : closes) series.insert_or_assign(d, Bar{d, c, c, c, c, std::nullopt});
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
