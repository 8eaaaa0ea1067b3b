#include <heron/memory_store.hpp>
#include <kestrel/calendar.hpp>

#include <algorithm>
#include <iterator>
#include <numeric>

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
    return add_checked(instrument, adjust, std::move(bars));
}

std::size_t MemoryStore::add_checked(const std::string& instrument, const std::string& adjust,
                                     std::vector<Bar> bars) {
    check_instrument(instrument);
    validate_request({"close"}, adjust);
    // Distinct dates (checked); put them in order.
    std::vector<Date::serial_type> serials(bars.size());
    for (std::size_t i = 0; i < bars.size(); ++i) serials[i] = kestrel::calendar::serial_number(bars[i].date);
    if (!std::is_sorted(serials.begin(), serials.end())) {
        std::vector<std::size_t> order(bars.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return serials[a] < serials[b]; });
        std::vector<Date::serial_type> s(bars.size());
        std::vector<Bar> b(bars.size());
        for (std::size_t i = 0; i < order.size(); ++i) {
            s[i] = serials[order[i]];
            b[i] = std::move(bars[order[i]]);
        }
        serials = std::move(s);
        bars = std::move(b);
    }
    std::lock_guard lock(mutex_);
    return merge(data_[{instrument, adjust}], std::move(serials), std::move(bars));
}

void MemoryStore::add_closes(const std::string& instrument, const std::string& adjust,
                             const std::vector<std::pair<Date, double>>& closes) {
    check_instrument(instrument);
    validate_request({"close"}, adjust);
    // In date order, the last close given for a date winning.
    std::map<Date::serial_type, Bar> by_day;
    for (const auto& [d, c] : closes) by_day.insert_or_assign(kestrel::calendar::serial_number(d), Bar{d, c, c, c, c, std::nullopt});
    std::vector<Date::serial_type> serials;
    std::vector<Bar> bars;
    for (auto& [n, b] : by_day) {
        serials.push_back(n);
        bars.push_back(std::move(b));
    }
    std::lock_guard lock(mutex_);
    merge(data_[{instrument, adjust}], std::move(serials), std::move(bars));
}

std::size_t MemoryStore::merge(Series& series, std::vector<Date::serial_type> serials, std::vector<Bar> bars) {
    if (series.serials.empty() || serials.empty() || serials.front() > series.serials.back()) {
        // New days after the stored ones: the usual load of a file.
        series.serials.insert(series.serials.end(), serials.begin(), serials.end());
        series.bars.insert(series.bars.end(), std::make_move_iterator(bars.begin()),
                           std::make_move_iterator(bars.end()));
        return 0;
    }
    Series out;
    out.serials.reserve(series.serials.size() + serials.size());
    out.bars.reserve(series.serials.size() + serials.size());
    std::size_t replaced = 0, i = 0, j = 0;
    while (i < series.serials.size() || j < serials.size()) {
        if (j == serials.size() || (i < series.serials.size() && series.serials[i] < serials[j])) {
            out.serials.push_back(series.serials[i]);
            out.bars.push_back(std::move(series.bars[i++]));
        } else {
            if (i < series.serials.size() && series.serials[i] == serials[j]) {
                if (!(series.bars[i] == bars[j])) ++replaced;
                ++i;
            }
            out.serials.push_back(serials[j]);
            out.bars.push_back(std::move(bars[j++]));
        }
    }
    series = std::move(out);
    return replaced;
}

std::optional<PriceTable> MemoryStore::get_price(const std::string& order_book_id, const Date& start,
                                                 const Date& end, const std::vector<std::string>& fields,
                                                 const std::string& adjust_type, bool) {
    validate_request(fields, adjust_type);
    if (end < start) return std::nullopt;
    std::lock_guard lock(mutex_);
    const auto it = data_.find({order_book_id, adjust_type});
    if (it == data_.end()) return std::nullopt;
    const auto& s = it->second.serials;
    const auto first = std::lower_bound(s.begin(), s.end(), kestrel::calendar::serial_number(start));
    const auto last = std::upper_bound(first, s.end(), kestrel::calendar::serial_number(end));
    if (first == last) return std::nullopt;
    const auto& bars = it->second.bars;
    const std::vector<Bar> rows(bars.begin() + (first - s.begin()), bars.begin() + (last - s.begin()));
    return make_table(order_book_id, rows, fields);
}

std::vector<MemoryStore::Summary> MemoryStore::summary() const {
    std::lock_guard lock(mutex_);
    std::vector<Summary> out;
    for (const auto& [key, series] : data_) {
        if (series.bars.empty()) continue;
        out.push_back({key.first, key.second, series.bars.front().date, series.bars.back().date, series.bars.size()});
    }
    return out;
}

}  // namespace heron
