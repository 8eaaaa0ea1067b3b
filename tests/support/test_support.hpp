#pragma once
// Market-data clients for tests.
#include <heron/memory_store.hpp>

#include <atomic>
#include <memory>
#include <string>

namespace kestrel::test {

// A memory store that counts the calls it gets, so a test can say "no
// simulation ran" (no trading days asked for) or "two roll requests".
class CountingClient : public heron::MemoryStore {
  public:
    heron::Date get_previous_trading_date(const heron::Date& d) override;
    heron::Date get_next_trading_date(const heron::Date& d) override;
    std::vector<heron::Date> get_trading_dates(const heron::Date& start, const heron::Date& end) override;
    std::optional<heron::PriceTable> get_price(const std::string& id, const heron::Date& start, const heron::Date& end,
                                               const std::vector<std::string>& fields, const std::string& adjust_type,
                                               bool expect_df) override;

    // When set, get_price answers an empty table instead of "absent" for a
    // range with no rows.
    bool empty_table_instead_of_absent = false;

    std::atomic<int> previous_calls{0}, next_calls{0}, trading_dates_calls{0}, price_calls{0};
    // The arguments of the last get_price call.
    std::vector<std::string> last_fields;
    std::string last_adjust;
    heron::Date last_start, last_end;
    void reset_counts();
};

// Installs a client for the life of the object and puts back the one before.
class ScopedClient {
  public:
    explicit ScopedClient(std::shared_ptr<heron::Client> c);
    ~ScopedClient();
    ScopedClient(const ScopedClient&) = delete;
    ScopedClient& operator=(const ScopedClient&) = delete;

  private:
    std::shared_ptr<heron::Client> previous_;
};

// A memory store holding the bundled price files of data/prices.
std::shared_ptr<heron::MemoryStore> bundled_store();

// The bundled data directory.
std::string data_dir();

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const noexcept { return path_; }
    // path() + "/" + name
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Writes text to file(name) and returns that path.
    std::string write(const std::string& name, const std::string& text) const;

  private:
    std::string path_;
};

// A file's bytes ("" when it does not exist).
std::string read_file(const std::string& path);

}  // namespace kestrel::test
