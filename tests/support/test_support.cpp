#include "support/test_support.hpp"

namespace kestrel::test {

heron::Date CountingClient::get_previous_trading_date(const heron::Date& d) {
    ++previous_calls;
    return MemoryStore::get_previous_trading_date(d);
}

heron::Date CountingClient::get_next_trading_date(const heron::Date& d) {
    ++next_calls;
    return MemoryStore::get_next_trading_date(d);
}

std::vector<heron::Date> CountingClient::get_trading_dates(const heron::Date& start, const heron::Date& end) {
    ++trading_dates_calls;
    return MemoryStore::get_trading_dates(start, end);
}

std::optional<heron::PriceTable> CountingClient::get_price(const std::string& id, const heron::Date& start,
                                                           const heron::Date& end,
                                                           const std::vector<std::string>& fields,
                                                           const std::string& adjust_type, bool expect_df) {
    ++price_calls;
    last_fields = fields;
    last_adjust = adjust_type;
    last_start = start;
    last_end = end;
    auto t = MemoryStore::get_price(id, start, end, fields, adjust_type, expect_df);
    if (!t && empty_table_instead_of_absent)
        return heron::PriceTable(id, heron::Frame({}, fields, std::vector<std::vector<double>>(fields.size())));
    return t;
}

void CountingClient::reset_counts() {
    previous_calls = next_calls = trading_dates_calls = price_calls = 0;
}

ScopedClient::ScopedClient(std::shared_ptr<heron::Client> c) : previous_(heron::installed()) {
    heron::install(std::move(c));
}

ScopedClient::~ScopedClient() { heron::install(previous_); }

std::string data_dir() { return KESTREL_DATA_DIR; }

}  // namespace kestrel::test
