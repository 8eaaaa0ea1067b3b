#pragma once
// heron: the market-data service kestrel's products ask for trading days and
// daily price history.
//
// A process installs one client (heron::install); the products call the free
// functions below, which forward to it. Two stores ship with kestrel:
// heron::MemoryStore (<heron/memory_store.hpp>) and heron::SqliteStore
// (<heron/sqlite_store.hpp>). Any other source can be plugged in by deriving
// from heron::Client (or heron::CalendarClient, which answers the three date
// operations from the A-share calendar and leaves only get_price).
#include <kestrel/calendar.hpp>
#include <kestrel/errors.hpp>
#include <kestrel/export.hpp>
#include <kestrel/utils.hpp>

#include <ql/time/date.hpp>

#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace heron {

using QuantLib::Date;
using kestrel::utils::DateInput;

// Errors of the service itself (no client installed, store unusable, ...).
class HERON_EXPORT ServiceError : public kestrel::Error {
  public:
    using kestrel::Error::Error;
    ~ServiceError() override;
    const char* kind() const noexcept override { return "HeronError"; }
};

// The price fields a store knows.
inline const std::vector<std::string>& known_fields() {
    static const std::vector<std::string> f{"open", "high", "low", "close", "volume"};
    return f;
}

// Daily rows indexed by date, one column per field.
class HERON_EXPORT Frame {
  public:
    Frame() = default;
    Frame(std::vector<Date> index, std::vector<std::string> columns, std::vector<std::vector<double>> data);

    const std::vector<Date>& index() const noexcept { return index_; }
    const std::vector<std::string>& columns() const noexcept { return columns_; }
    std::size_t size() const noexcept { return index_.size(); }
    bool empty() const noexcept { return index_.empty(); }

    // The column of a field; KeyError naming the field when absent.
    const std::vector<double>& column(std::string_view field) const;
    // The value of a field on a date; KeyError naming the date when absent.
    double at(const Date& d, std::string_view field) const;
    bool contains(const Date& d) const;
    // Date of the last row; IndexError when there is none.
    const Date& last_date() const;

  private:
    std::vector<Date> index_;
    std::vector<std::string> columns_;
    std::vector<std::vector<double>> data_;  // data_[column][row]
};

// What get_price returns: rows indexed by (order_book_id, date).
class HERON_EXPORT PriceTable {
  public:
    PriceTable(std::string order_book_id, Frame frame)
        : order_book_id_(std::move(order_book_id)), frame_(std::move(frame)) {}

    const std::string& order_book_id() const noexcept { return order_book_id_; }
    // Index level names, outermost first.
    static std::vector<std::string> index_names() { return {"order_book_id", "date"}; }
    std::size_t size() const noexcept { return frame_.size(); }
    bool empty() const noexcept { return frame_.empty(); }
    const std::vector<std::string>& columns() const noexcept { return frame_.columns(); }
    const std::vector<double>& column(std::string_view field) const { return frame_.column(field); }
    const std::vector<Date>& dates() const noexcept { return frame_.index(); }

    // Drops the named index level; only "order_book_id" can go, leaving a
    // table indexed by date alone.
    Frame droplevel(std::string_view level = "order_book_id") const;

  private:
    std::string order_book_id_;
    Frame frame_;
};

// One field name or a list of them.
class HERON_EXPORT Fields {
  public:
    Fields(const char* one) : names_{one} {}
    Fields(std::string one) : names_{std::move(one)} {}
    Fields(std::initializer_list<std::string> names) : names_(names) {}
    Fields(std::vector<std::string> names) : names_(std::move(names)) {}
    const std::vector<std::string>& names() const noexcept { return names_; }

  private:
    std::vector<std::string> names_;
};

// The service's four operations.
class HERON_EXPORT Client {
  public:
    virtual ~Client();
    // Latest trading day strictly before d.
    virtual Date get_previous_trading_date(const Date& d) = 0;
    // Earliest trading day strictly after d.
    virtual Date get_next_trading_date(const Date& d) = 0;
    // Trading days from start to end, both included when trading days, ascending.
    virtual std::vector<Date> get_trading_dates(const Date& start, const Date& end) = 0;
    // Daily prices of one instrument from start to end inclusive; absent when
    // the store has no row in the range (or end is before start).
    // adjust_type: "pre" (adjusted) or "none" (as traded); fields from
    // known_fields(). Anything else is a ValueError naming it.
    virtual std::optional<PriceTable> get_price(const std::string& order_book_id, const Date& start,
                                                const Date& end, const std::vector<std::string>& fields,
                                                const std::string& adjust_type, bool expect_df) = 0;
    // The official exchange closures the client's data follows, which a
    // valuation on it installs (kestrel::calendar::ScopedClosures). None (no
    // years) by default.
    virtual kestrel::calendar::ClosureList official_closures();
};

// A client whose trading days are the A-share calendar's: the holiday table
// in force on the calling thread.
class HERON_EXPORT CalendarClient : public Client {
  public:
    Date get_previous_trading_date(const Date& d) override;
    Date get_next_trading_date(const Date& d) override;
    std::vector<Date> get_trading_dates(const Date& start, const Date& end) override;
};

// Checks a get_price request's fields and adjust type (ValueError naming the
// bad one).
HERON_EXPORT void validate_request(const std::vector<std::string>& fields, const std::string& adjust_type);

// One trading day of one instrument, as the stores keep it.
struct HERON_EXPORT Bar {
    Date date;
    double open = 0, high = 0, low = 0, close = 0;
    std::optional<double> volume;

    friend bool operator==(const Bar&, const Bar&) = default;
};

// Checks bars as an import does: a date on each, positive finite prices,
// low <= open, close <= high, a non-negative volume, trading days only, no
// duplicate dates. Throws ValueError "<source>:<line>: <reason>" for the first
// bad bar; lines[i] is the line of bars[i] (the 1-based position when lines is
// shorter).
HERON_EXPORT void validate_bars(const std::vector<Bar>& bars, const std::string& source,
                   const std::vector<std::size_t>& lines = {});

// Builds a table from bars already in date order (shared by the stores). A
// "volume" column holds NaN on days stored without a volume.
HERON_EXPORT PriceTable make_table(const std::string& order_book_id, const std::vector<Bar>& bars,
                      const std::vector<std::string>& fields);

// One stored series: an instrument under one adjust type.
struct HERON_EXPORT SeriesSummary {
    std::string instrument, adjust;
    Date first, last;
    std::size_t rows = 0;

    friend bool operator==(const SeriesSummary&, const SeriesSummary&) = default;
};

// The installed client. install(nullptr) uninstalls.
HERON_EXPORT void install(std::shared_ptr<Client> client);
HERON_EXPORT std::shared_ptr<Client> installed();  // may be null
// The installed client, or ServiceError saying none is installed.
HERON_EXPORT std::shared_ptr<Client> client();

// The installed client's official closures; none (no years) when no client
// is installed.
HERON_EXPORT kestrel::calendar::ClosureList official_closures();

// The operations, forwarded to the installed client.
HERON_EXPORT Date get_previous_trading_date(const DateInput& d);
HERON_EXPORT Date get_next_trading_date(const DateInput& d);
HERON_EXPORT std::vector<Date> get_trading_dates(const DateInput& start, const DateInput& end);
HERON_EXPORT std::optional<PriceTable> get_price(const std::string& order_book_id, const DateInput& start,
                                    const DateInput& end, const Fields& fields = "close",
                                    std::string_view adjust_type = "pre", bool expect_df = true);

}  // namespace heron
