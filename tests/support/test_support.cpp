#include "support/test_support.hpp"

#include <heron/csv.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

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

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrel-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary directory");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::write(const std::string& name, const std::string& text) const {
    const std::string p = file(name);
    std::ofstream out(p, std::ios::binary);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + p);
    return p;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::shared_ptr<heron::MemoryStore> bundled_store() {
    // Loaded once (thread-safe static initialisation) and shared read-only.
    static const std::shared_ptr<heron::MemoryStore> store = [] {
        auto s = std::make_shared<heron::MemoryStore>();
        heron::load_directory(*s, data_dir() + "/prices");
        return s;
    }();
    return store;
}

}  // namespace kestrel::test
