#pragma once
// An in-memory price store: for embedding, for tests, and for a directory of
// CSV files loaded at start-up.
#include <kestrel/export.hpp>
#include <heron/heron.hpp>

#include <map>
#include <mutex>
#include <utility>

namespace heron {

class HERON_EXPORT MemoryStore : public CalendarClient {
  public:
    // Adds or replaces bars of (instrument, adjust), adjust "pre" or "none".
    // Bars are validated first; nothing changes when one is bad. Returns how
    // many existing dates were replaced.
    std::size_t add(const std::string& instrument, const std::string& adjust, std::vector<Bar> bars);
    // Test helper: closes only (open = high = low = close), no validation of
    // the trading calendar so tests can build any history.
    void add_closes(const std::string& instrument, const std::string& adjust,
                    const std::vector<std::pair<Date, double>>& closes);

    std::optional<PriceTable> get_price(const std::string& order_book_id, const Date& start, const Date& end,
                                        const std::vector<std::string>& fields, const std::string& adjust_type,
                                        bool expect_df) override;

    // The stored series, by instrument then adjust type.
    using Summary = SeriesSummary;
    std::vector<Summary> summary() const;

  private:
    // add() for bars parse_csv has checked already (load_directory).
    friend std::size_t load_directory(MemoryStore& store, const std::string& dir);
    std::size_t add_checked(const std::string& instrument, const std::string& adjust, std::vector<Bar> bars);

    // One series in date order, with each date's serial number beside it:
    // look-ups and merges compare day numbers, not QuantLib dates.
    struct Series {
        std::vector<Date::serial_type> serials;
        std::vector<Bar> bars;
    };
    // Puts `bars` (ascending, distinct dates) into the series; where a date is
    // stored already the new bar replaces it. Returns how many stored bars
    // changed. Caller holds the lock.
    static std::size_t merge(Series& series, std::vector<Date::serial_type> serials, std::vector<Bar> bars);

    mutable std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, Series> data_;
};

}  // namespace heron
