#pragma once
// P&L explained: why a book's value moved between two kept runs.
//
// Per contract, per underlying and for the book, the total is
//     v2 - v1 + cash,
// v1 and v2 the values the runs stored, cash the contract's cash flows dated
// after the first run's date up to and including the second's (cashflows).
// It is split two ways.
//
// (a) Revaluation steps, each a full revaluation of the contract as held at
//     the first run (its terms there), in this order:
//       R1  the date rolled to D2, the first run's market (its curves read on
//           D2, tenor pillars rolling) at the first run's spot;
//       R2  the same at the second run's spot;
//       R3  with the second run's volatility;
//       R4  with the second run's rates and carry: the second run's market.
//     time   = R1 + cash - v1   the history between the dates (knock-ins,
//                               coupons, knock-outs, expiries) falls here
//                               and so does the cash it paid;
//     spot   = R2 - R1;  vol = R3 - R2;  rates = R4 - R3;
//     trades = v2 - R4          new contracts (v1 = 0), contracts gone
//                               without an ending cash flow (v2 = 0), and
//                               changed terms; 0 for a contract in both runs
//                               with the same terms (R4 is the second run's
//                               own valuation: same engine, paths and seed).
//     The steps telescope, so they sum to the total up to rounding.
//     Revaluations on D2 use the second run's engine settings.
//
//     A contract that a cash flow between the dates ends (a knock-out, a
//     touch, its maturity) is worth nothing after it: its v2 and R1..R4 are
//     0 whatever the second run stored (a barrier knocked out is valued at
//     its rebate by npv after the touch, but that rebate is the cash paid on
//     the touch day: counting both would count it twice).
//
// (b) The first run's Greeks (it must have been saved with them):
//       theta      theta x calendar days between the runs
//       delta      delta x dS
//       gamma      1/2 (gamma / S1) x dS^2   (the book's gamma is S x d2V/dS2)
//       vega       vega x dvol / 0.01        (vega is per vol point)
//       rho        -rho x dr / 0.01          (rho = V(r - 0.005) - V(r + 0.005))
//       carry_rho  -carry_rho x dq / 0.01    (the same on the carry)
//       unexplained  total - trades - the terms above
//     dvol, dr and dq are the changes of the Black vol, the zero rate and the
//     carry at the contract's maturity date (read on D1 in the first market,
//     on D2 in the second): for plain numbers, the change of the number.
#include <kestrel/export.hpp>
#include <kestrel/book.hpp>
#include <kestrel/runs.hpp>

#include <nlohmann/json.hpp>
#include <ql/time/date.hpp>

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::explain {

struct KESTREL_EXPLAIN_EXPORT Steps {
    double time = 0, spot = 0, vol = 0, rates = 0, trades = 0;
    double sum() const noexcept { return time + spot + vol + rates + trades; }
    Steps& operator+=(const Steps& o) noexcept;
};

struct KESTREL_EXPLAIN_EXPORT GreekSplit {
    double theta = 0, delta = 0, gamma = 0, vega = 0, rho = 0, carry_rho = 0, unexplained = 0;
    GreekSplit& operator+=(const GreekSplit& o) noexcept;
};

struct KESTREL_EXPLAIN_EXPORT Event {
    QuantLib::Date date;
    // "knock_out", "knock_in", "coupon", "touch", "matured" (the cash flows'
    // kinds, "maturity" named "matured"), "new", "removed" (gone from the
    // second run without an ending cash flow).
    std::string kind;
    double amount = 0;
};

// The market moves a row's Greek split used.
struct KESTREL_EXPLAIN_EXPORT Moves {
    int days = 0;
    double spot1 = 0, spot2 = 0;
    double dvol = 0, dr = 0, dq = 0;
};

struct KESTREL_EXPLAIN_EXPORT ExplainRow {
    std::size_t position = 0;  // in the first run, else in the second (new contracts)
    std::string id;            // the id, or "(contract N)"
    std::optional<std::string> type, underlying;
    double v1 = 0, v2 = 0, cash = 0, total = 0;
    Steps steps;
    std::optional<GreekSplit> greeks;  // absent when the first run has no Greeks
    Moves moves;
    std::vector<Event> events;
    std::optional<book::RowError> error;  // a row that could not be explained

    bool ok() const noexcept { return !error; }
};

// Sums over the explained rows of one underlying, or of the book.
struct KESTREL_EXPLAIN_EXPORT ExplainTotal {
    std::optional<std::string> underlying;  // absent: the book
    std::size_t contracts = 0, failed = 0;
    double v1 = 0, v2 = 0, cash = 0, total = 0;
    Steps steps;
    std::optional<GreekSplit> greeks;
};

struct KESTREL_EXPLAIN_EXPORT Explanation {
    runs::RunInfo from, to;
    std::vector<ExplainRow> rows;
    std::vector<ExplainTotal> totals;  // per underlying in order of first use, then the book

    std::size_t failed() const noexcept;
};

// The steps' order and meaning, as the output writes it.
extern const char* const kStepOrder;

// A run named by its id ("12") or by its evaluation date ("2024-12-31": the
// latest run of that date). KeyError when there is none, ValueError for text
// that is neither.
KESTREL_EXPLAIN_EXPORT std::int64_t resolve_run(const std::string& db_path, const std::string& ref);

// Explains run `to` against run `from` (the date of `to` not before that of
// `from`: ValueError). Cash flows and the notes' history come from the
// installed store.
KESTREL_EXPLAIN_EXPORT Explanation explain_runs(const runs::StoredRun& from, const runs::StoredRun& to);
KESTREL_EXPLAIN_EXPORT Explanation explain(const std::string& db_path, const std::string& from, const std::string& to);

// {"from": {run}, "to": {run}, "order": kStepOrder, "rows": [...], "totals": [...]};
// each row and total: "id", "underlying", "type", "v1", "v2", "cash",
// "total", "steps" {...}, "greeks" {...} | null, "events" [{"date", "kind",
// "amount"}], "error" {"kind", "message"} | null (totals: "contracts",
// "failed" instead of type, events and error; "id" the underlying, or
// "book").
KESTREL_EXPLAIN_EXPORT nlohmann::ordered_json explain_to_json(const Explanation& e);
KESTREL_EXPLAIN_EXPORT void write_explain_table(std::ostream& out, const Explanation& e);
KESTREL_EXPLAIN_EXPORT void write_explain_csv(std::ostream& out, const Explanation& e);
KESTREL_EXPLAIN_EXPORT void write_explain(std::ostream& out, const Explanation& e, book::BookFormat format);
// A standalone HTML page: per underlying and for the book a waterfall chart
// (inline SVG) from v1 through the steps and the cash paid to v2, then the
// rows' steps, Greek split and events.
KESTREL_EXPLAIN_EXPORT std::string explain_html(const Explanation& e);

}  // namespace kestrel::explain
