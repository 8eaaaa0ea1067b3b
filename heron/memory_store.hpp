#pragma once
// An in-memory price store: for embedding, for tests, and for a directory of
// CSV files loaded at start-up.
#include <heron/heron.hpp>

#include <map>
#include <mutex>
#include <utility>

namespace heron {

// One trading day of one instrument.
struct Bar {
    Date date;
    double open = 0, high = 0, low = 0, close = 0;
    std::optional<double> volume;
};

// Checks bars as an import does: positive prices, low <= open, close <= high,
// trading days only, no duplicate dates. Throws ValueError naming `source`,
// the 1-based row (line_of(i) gives the line to report) and the reason.
void validate_bars(const std::vector<Bar>& bars, const std::string& source,
                   const std::vector<std::size_t>& lines = {});

class MemoryStore : public CalendarClient {
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

    struct Summary {
        std::string instrument, adjust;
        Date first, last;
        std::size_t rows = 0;
    };
    std::vector<Summary> summary() const;

  private:
    mutable std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, std::map<Date, Bar>> data_;
};

// Builds a table from bars already in date order (shared by the stores).
PriceTable make_table(const std::string& order_book_id, const std::vector<Bar>& bars,
                      const std::vector<std::string>& fields);

}  // namespace heron
