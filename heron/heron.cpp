#include <heron/heron.hpp>
#include <kestrel/calendar.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <map>
#include <mutex>
#include <unordered_map>

namespace heron {

ServiceError::~ServiceError() = default;
Client::~Client() = default;

kestrel::calendar::ClosureList Client::official_closures() { return {}; }

Frame::Frame(std::vector<Date> index, std::vector<std::string> columns, std::vector<std::vector<double>> data)
    : index_(std::move(index)), columns_(std::move(columns)), data_(std::move(data)) {
    if (columns_.size() != data_.size()) throw kestrel::ValueError("frame: one data column per column name");
    for (const auto& c : data_)
        if (c.size() != index_.size()) throw kestrel::ValueError("frame: every column needs one value per row");
}

const std::vector<double>& Frame::column(std::string_view field) const {
    for (std::size_t i = 0; i < columns_.size(); ++i)
        if (columns_[i] == field) return data_[i];
    throw kestrel::KeyError(std::string(field));
}

bool Frame::contains(const Date& d) const { return std::binary_search(index_.begin(), index_.end(), d); }

double Frame::at(const Date& d, std::string_view field) const {
    const auto& col = column(field);
    const auto it = std::lower_bound(index_.begin(), index_.end(), d);
    if (it == index_.end() || *it != d) throw kestrel::KeyError(kestrel::utils::format_date(d));
    return col[static_cast<std::size_t>(it - index_.begin())];
}

const Date& Frame::last_date() const {
    if (index_.empty()) throw kestrel::IndexError("index 0 is out of bounds: the history has no rows");
    return index_.back();
}

Frame PriceTable::droplevel(std::string_view level) const {
    if (level != "order_book_id")
        throw kestrel::ValueError("cannot drop index level '" + std::string(level) +
                                  "': only 'order_book_id' can be dropped");
    return frame_;
}

Date CalendarClient::get_previous_trading_date(const Date& d) {
    Date x = d - 1;
    while (!kestrel::calendar::is_trading_day(x)) --x;
    return x;
}

Date CalendarClient::get_next_trading_date(const Date& d) {
    Date x = d + 1;
    while (!kestrel::calendar::is_trading_day(x)) ++x;
    return x;
}

std::vector<Date> CalendarClient::get_trading_dates(const Date& start, const Date& end) {
    return kestrel::calendar::trading_days(start, end);
}

void validate_request(const std::vector<std::string>& fields, const std::string& adjust_type) {
    if (adjust_type != "pre" && adjust_type != "none")
        throw kestrel::ValueError("unknown adjust_type: '" + adjust_type + "' (expected 'pre' or 'none')");
    if (fields.empty()) throw kestrel::ValueError("no price fields requested");
    for (const auto& f : fields)
        if (std::find(known_fields().begin(), known_fields().end(), f) == known_fields().end())
            throw kestrel::ValueError("unknown price field: '" + f + "'");
}

namespace {

// Shortest text that reads back as the same double.
std::string number_text(double v) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

}  // namespace

void validate_bars(const std::vector<Bar>& bars, const std::string& source, const std::vector<std::size_t>& lines) {
    // Dates as day numbers (QuantLib's own comparisons convert each date to a
    // calendar date first). Rows usually come in date order, where a date past
    // the last one cannot repeat an earlier one; from the first row out of
    // order on, every date is looked up among all before it.
    std::vector<Date::serial_type> serials;
    serials.reserve(bars.size());
    std::unordered_map<Date::serial_type, std::size_t> first_row;  // filled once the order breaks
    bool ordered = true;
    for (std::size_t i = 0; i < bars.size(); ++i) {
        const Bar& b = bars[i];
        const auto line_of = [&](std::size_t k) { return k < lines.size() ? lines[k] : k + 1; };
        auto fail = [&](const std::string& why) {
            throw kestrel::ValueError(source + ":" + std::to_string(line_of(i)) + ": " + why);
        };
        const Date::serial_type n = kestrel::calendar::serial_number(b.date);
        if (n == 0) fail("missing date");
        const std::pair<const char*, double> prices[] = {
            {"open", b.open}, {"high", b.high}, {"low", b.low}, {"close", b.close}};
        for (const auto& [name, v] : prices)
            if (!std::isfinite(v) || v <= 0) fail(std::string(name) + " is not a positive price (" + number_text(v) + ")");
        if (b.volume && (!std::isfinite(*b.volume) || *b.volume < 0))
            fail("volume is not a non-negative number (" + number_text(*b.volume) + ")");
        if (b.low > b.open) fail("low (" + number_text(b.low) + ") is above open (" + number_text(b.open) + ")");
        if (b.low > b.close) fail("low (" + number_text(b.low) + ") is above close (" + number_text(b.close) + ")");
        if (b.high < b.open) fail("high (" + number_text(b.high) + ") is below open (" + number_text(b.open) + ")");
        if (b.high < b.close)
            fail("high (" + number_text(b.high) + ") is below close (" + number_text(b.close) + ")");
        if (!kestrel::calendar::is_trading_serial(n)) {
            const auto w = b.date.weekday();
            fail(kestrel::utils::format_date(b.date) + " is not a trading day" +
                 (w == QuantLib::Saturday || w == QuantLib::Sunday ? std::string(" (weekend)")
                  : kestrel::calendar::is_projected(b.date)
                      ? std::string(" (a projected exchange closure: import the year's official closures first)")
                      : std::string(" (exchange closed)")));
        }
        if (ordered && !serials.empty() && n <= serials.back()) {
            ordered = false;
            for (std::size_t k = 0; k < serials.size(); ++k) first_row.emplace(serials[k], k);
        }
        if (!ordered) {
            const auto [it, inserted] = first_row.emplace(n, i);
            if (!inserted)
                fail("duplicate date " + kestrel::utils::format_date(b.date) + " (first on line " +
                     std::to_string(line_of(it->second)) + ")");
        }
        serials.push_back(n);
    }
}

PriceTable make_table(const std::string& order_book_id, const std::vector<Bar>& bars,
                      const std::vector<std::string>& fields) {
    std::vector<Date> index;
    index.reserve(bars.size());
    for (const auto& b : bars) index.push_back(b.date);
    std::vector<std::vector<double>> data;
    data.reserve(fields.size());
    for (const auto& f : fields) {
        std::vector<double> col;
        col.reserve(bars.size());
        for (const auto& b : bars) {
            if (f == "open") col.push_back(b.open);
            else if (f == "high") col.push_back(b.high);
            else if (f == "low") col.push_back(b.low);
            else if (f == "close") col.push_back(b.close);
            else if (f == "volume") col.push_back(b.volume ? *b.volume : std::numeric_limits<double>::quiet_NaN());
            else throw kestrel::ValueError("unknown price field: '" + f + "'");
        }
        data.push_back(std::move(col));
    }
    return PriceTable(order_book_id, Frame(std::move(index), fields, std::move(data)));
}

namespace {
std::mutex g_mutex;
std::shared_ptr<Client> g_client;
}  // namespace

void install(std::shared_ptr<Client> c) {
    std::lock_guard lock(g_mutex);
    g_client = std::move(c);
}

std::shared_ptr<Client> installed() {
    std::lock_guard lock(g_mutex);
    return g_client;
}

std::shared_ptr<Client> client() {
    std::lock_guard lock(g_mutex);
    if (!g_client)
        throw ServiceError("no market-data client installed: call heron::install() with a store first");
    return g_client;
}

kestrel::calendar::ClosureList official_closures() {
    const auto c = installed();
    return c ? c->official_closures() : kestrel::calendar::ClosureList{};
}

Date get_previous_trading_date(const DateInput& d) { return client()->get_previous_trading_date(d.date()); }

Date get_next_trading_date(const DateInput& d) { return client()->get_next_trading_date(d.date()); }

std::vector<Date> get_trading_dates(const DateInput& start, const DateInput& end) {
    return client()->get_trading_dates(start.date(), end.date());
}

std::optional<PriceTable> get_price(const std::string& order_book_id, const DateInput& start,
                                    const DateInput& end, const Fields& fields, std::string_view adjust_type,
                                    bool expect_df) {
    return client()->get_price(order_book_id, start.date(), end.date(), fields.names(), std::string(adjust_type),
                              expect_df);
}

}  // namespace heron
