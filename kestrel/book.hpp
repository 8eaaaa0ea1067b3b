#pragma once
// Valuing a book of contracts: the logic behind `kestrel book`, kept apart
// from the command line so it can be tested without a process.
//
// A book is a JSON array of contracts, each a terms mapping with "type" and a
// unique "id". Every contract gets exactly one row, in book order: its value
// (and Greeks), or the kind and message of the error that stopped it. The rest
// of the book is valued whatever one contract does.
//
// The market is one JSON object:
//   {"r": 0.018,
//    "underlyings": {"000300.XSHG": {"vol": 0.2, "q": 0.015, "spot": 3934.91},
//                    "600519.XSHG": {"vol": 0.25, "q": 0.02}},
//    "engines": {"snowball": "pde"}}
// An underlying without "spot" takes its adjusted ("pre") close on the
// evaluation date from the installed market-data store. Each of "r", "q" and
// "vol" is a number or a term structure:
//   "r":   {"curve": [[PILLAR, RATE], ...]}   zero rates (RateCurve)
//   "q":   {"curve": [[PILLAR, RATE], ...]}   the same form, negative allowed
//          {"forwards": [[DATE, PRICE], ...]} futures or forward prices: the q
//                                             curve implied with the r curve
//                                             and the underlying's spot
//   "vol": {"curve": [[PILLAR, VOL], ...]}    Black vols by expiry (VolCurve)
//          {"local": {"quotes": FILE_OR_ROWS, "forwards": "parity" | "market",
//                     "calibration": {...}}}
//                                             option quotes calibrated to a
//                                             local volatility surface
//                                             (kestrel::vol, market_entry); a
//                                             relative FILE is relative to
//                                             the market file
//          {"surface": {"expiries": [PILLAR, ...], "strikes": [K, ...],
//                       "vols": [[VOL per strike] per expiry]}}
//                                             implied vols on a grid,
//                                             calibrated the same way (their
//                                             forwards the market's r and q)
// A surface is calibrated once per underlying, evaluation date and spot in a
// run (on the market's r and q; with forwards "parity" the underlying's q is
// then the carry the quotes' forwards imply), and shared by every contract
// and every bump on it.
// A PILLAR is a date ("2025-06-30") or a tenor from the evaluation date
// ("1M", "1Y"). "engines" (optional) maps a note type to the engine of every
// such note that names none in its terms, and "asian" to the engine of every
// arithmetic Asian that names none ("mc", "fd", "turnbull_wakeman").
#include <kestrel/export.hpp>
#include <kestrel/keel.hpp>
#include <kestrel/market/vol_calibration.hpp>

#include <nlohmann/json.hpp>
#include <ql/time/date.hpp>

#include <cstddef>
#include <exception>
#include <functional>
#include <tuple>
#include <iosfwd>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestrel::book {

// A volatility given as quotes or as a grid of implied vols, to calibrate.
struct KESTREL_BOOK_EXPORT SurfaceInput {
    // "local": the quotes and settings; "surface": the grid, its quotes made
    // on the evaluation date (vol::grid_quotes), forwards "market".
    bool grid = false;
    vol::MarketEntry entry;
    std::vector<Pillar> expiries;
    std::vector<double> strikes;
    std::vector<std::vector<double>> vols;
};

// Market inputs of one underlying.
struct KESTREL_BOOK_EXPORT UnderlyingMarket {
    VolCurve vol;  // unused with a surface
    RateCurve q;
    // Futures or forward prices, by date: when given, q is implied from them
    // (implied_carry) once the spot is known, and the "q" above is unused.
    std::vector<std::pair<QuantLib::Date, double>> forwards;
    std::optional<double> spot;  // absent: the store's close on the evaluation date
    std::optional<SurfaceInput> surface;  // "local" or "surface": calibrated by market_of

    // The lowest volatility it gives (its number, or its curve's lowest
    // point; a surface's: 0, as the ladder's vol shifts need no floor there).
    double lowest_vol() const;
};

struct KESTREL_BOOK_EXPORT BookMarket {
    RateCurve r;
    std::vector<std::pair<std::string, UnderlyingMarket>> underlyings;  // in file order
    // Note type (or "asian") -> engine ("snowball" -> "pde"), in file order.
    std::vector<std::pair<std::string, std::string>> engines;
    // The file it was read from, for messages.
    std::string source = "market";
    // Calibrated surfaces by underlying, evaluation date and spot: made once
    // per run, shared by copies of this market.
    struct Surfaces {
        std::mutex mutex;
        std::map<std::tuple<std::string, int, double>, std::shared_ptr<const SmileSurface>> made;
    };
    std::shared_ptr<Surfaces> surfaces = std::make_shared<Surfaces>();

    const UnderlyingMarket* find(const std::string& underlying) const noexcept;
    // The engine "engines" gives the type, or "".
    std::string engine_for(const std::string& type) const;

    // Reads the market object above. A missing or wrongly shaped "r", "vol" or
    // "q", a non-numeric "spot", a non-finite number, a negative vol, a curve
    // with no points or a bad entry, a forward price that is not positive, an
    // "engines" entry for a type that takes no engine choice or an unknown
    // engine is a KeyError / TypeError / ValueError naming `source` (the
    // file), the underlying, the field and the entry.
    static BookMarket from_json(const nlohmann::ordered_json& market, const std::string& source = "market");

    // What can only be checked on the evaluation date: every curve's pillars
    // in order, each once, a total variance that never decreases, every
    // forward after the date. A ValueError naming the source, the underlying,
    // the field and the entry. value_rows checks this before valuing anything.
    void check(const QuantLib::Date& evaluation_date) const;

    // The Market of one underlying at `spot` on evaluation_date: its curves,
    // q implied from its forwards where it has them, its surface calibrated
    // (once). KeyError for an underlying the market does not have; a
    // calibration's ValueError naming the source and the underlying.
    Market market_of(const std::string& underlying, double spot, const QuantLib::Date& evaluation_date) const;
};

struct KESTREL_BOOK_EXPORT RowError {
    std::string kind, message;
};
// The kind and message of an error, each on one line: a kestrel error's kind()
// ("KeyError", ...), "QuantLib" for QuantLib's, "Error" for anything else.
KESTREL_BOOK_EXPORT RowError describe_error(std::exception_ptr error);

// Where a row's spot came from.
enum class SpotSource { Market, Store };

// A note's figures from its simulation (--stats).
struct KESTREL_BOOK_EXPORT RowStats {
    double standard_error = 0;  // of npv
    double ko_probability = 0;  // of knocking out on any remaining date
    double ki_probability = 0;  // of reaching maturity knocked in (and never knocked out)
    double expected_life = 0;   // years to knock-out or maturity
};

struct KESTREL_BOOK_EXPORT BookRow {
    std::size_t position = 0;      // 1-based place in the book
    std::optional<std::string> id; // absent when the contract has none
    std::optional<std::string> type;
    std::optional<std::string> underlying;
    double spot = 0;
    SpotSource spot_source = SpotSource::Market;
    OptionGreeks value;            // npv only, unless Greeks were asked for
    double carry_rho = 0;          // with the Greeks: V(q - 0.005) - V(q + 0.005)
    std::optional<RowStats> stats; // a note's, when asked for
    std::optional<RowError> error;
    // --bucketed, on an underlying with a calibrated surface: per quoted
    // expiry, (V(that expiry's quotes + 1 vol point) - V(- 1 point)) / 2,
    // each bump recalibrated (once per underlying).
    std::vector<std::pair<QuantLib::Date, double>> bucketed_vega;
    // Projected calendar years the contract's schedule or grid touches.
    std::vector<int> projected_years;

    bool ok() const noexcept { return !error; }
    // The id, or "(contract N)" for a contract without one.
    std::string label() const;
};

// Sums over the valued rows of one underlying, or of the whole book.
struct KESTREL_BOOK_EXPORT BookTotal {
    std::optional<std::string> underlying;  // absent: the whole book
    std::size_t contracts = 0, failed = 0;
    OptionGreeks sum;
    double carry_rho = 0;
    // Per quoted expiry, the rows' bucketed vegas summed (one underlying's).
    std::vector<std::pair<QuantLib::Date, double>> bucketed_vega;
    // Delta and gamma are per unit of one underlying: a book total over
    // several underlyings has none.
    bool has_delta_gamma = true;
};

struct KESTREL_BOOK_EXPORT BookResult {
    QuantLib::Date evaluation_date;
    bool greeks = false;
    bool stats = false;
    bool bucketed = false;
    std::vector<BookRow> rows;
    std::vector<BookTotal> totals;  // per underlying in order of first use, then the book
    // Underlyings the market gives no spot for and the store has no "pre"
    // close of on the evaluation date, in order of first use.
    std::vector<std::string> missing_spots;

    std::size_t failed() const noexcept;
};

struct KESTREL_BOOK_EXPORT BookOptions {
    QuantLib::Date evaluation_date;
    // Adds delta, gamma, vega, theta, rho and carry_rho. Gamma is spot x d2V/dS2 on every
    // row (the autocallable notes' own d2V/dS2 is scaled to match).
    bool greeks = false;
    // Called after each contract with (done, total).
    std::function<void(std::size_t, std::size_t)> progress;
    // Adds standard_error, ko_probability, ki_probability and expected_life on the snowball
    // and phoenix rows (blank on the others, on notes valued by the pde
    // engine, which has no simulation to count, and on totals).
    bool stats = false;
    // The engine of every note ("snowball", "phoenix") that names none ("mc",
    // "qmc", "pde"); empty: the market's "engines" for the note's type, else
    // the note's own or the default. A contract's own "engine" term wins.
    std::string engine = {};
    // Adds each contract's bucketed vega on an underlying with a calibrated
    // surface (BookRow::bucketed_vega), its sum beside the parallel vega.
    bool bucketed = false;
};

// The terms of a book contract as valued: its own, with the engine of
// `options` or else of the market's "engines" for a note that names none.
KESTREL_BOOK_EXPORT Terms contract_terms(const nlohmann::ordered_json& contract, const BookMarket& market, const BookOptions& options);

// Values every contract of `book` (a JSON array; anything else is a
// TypeError), one after another.
KESTREL_BOOK_EXPORT BookResult value_book(const nlohmann::ordered_json& book, const BookMarket& market, const BookOptions& options);

// For a result with missing spots, one sentence saying where the store's
// "pre" closes of those underlyings end (or begin) and how to value them all
// the same: a --date that has closes, or a "spot" for each in the market
// file. Asks the installed store; empty when no spot was missing.
KESTREL_BOOK_EXPORT std::string missing_spot_hint(const BookResult& result);
// value_book in two steps, for valuing parts of one book in other processes.
// book_rows: every contract's row before valuation, with its id, type and
// underlying, or the error that stops it before any market is needed (not an
// object, no usable id, an id an earlier contract has).
KESTREL_BOOK_EXPORT std::vector<BookRow> book_rows(const nlohmann::ordered_json& book);
// Values the contract of each row that has no error yet; `contracts[i]` is the
// contract of `rows[i]`. One store read per underlying and call. Returns the
// underlyings the store had no close for on the evaluation date.
KESTREL_BOOK_EXPORT std::vector<std::string> value_rows(std::vector<BookRow>& rows, const std::vector<const nlohmann::ordered_json*>& contracts,
                const BookMarket& market, const BookOptions& options);

// The projected calendar years (no published or official closures) that a
// valuation's schedule or grid touches: from the earlier of the contract's
// effect date and the evaluation date to its maturity.
KESTREL_BOOK_EXPORT std::vector<int> projected_years_of(const QuantLib::Date& effect, const QuantLib::Date& maturity,
                                    const QuantLib::Date& evaluation);
// "2027" or "2027-2029".
KESTREL_BOOK_EXPORT std::string years_text(const std::vector<int>& years);

// The totals of a set of rows, as value_book computes them.
KESTREL_BOOK_EXPORT std::vector<BookTotal> book_totals(const std::vector<BookRow>& rows);

enum class BookFormat { Table, Csv, Json };
// "table", "csv" or "json"; ValueError otherwise.
KESTREL_BOOK_EXPORT BookFormat parse_book_format(const std::string& text);

// table: aligned for a terminal; csv and json: every number at full
// (round-trip) precision. With bucketed vegas, csv adds after the totals a
// blank line and "record,id,underlying,expiry,vega" rows ("bucketed" per
// contract, "bucketed_total" per underlying); json a "bucketed_vega" list of
// {"expiry", "vega"} on each such row and total.
KESTREL_BOOK_EXPORT void write_book(std::ostream& out, const BookResult& result, BookFormat format);
KESTREL_BOOK_EXPORT void write_table(std::ostream& out, const BookResult& result);
KESTREL_BOOK_EXPORT void write_csv(std::ostream& out, const BookResult& result);
KESTREL_BOOK_EXPORT nlohmann::ordered_json book_to_json(const BookResult& result);

// "[#######.............]  7/12  elapsed 3.1 s  left ~2.2 s"
KESTREL_BOOK_EXPORT std::string progress_line(std::size_t done, std::size_t total, double elapsed_seconds, std::size_t width = 30);

}  // namespace kestrel::book
