#pragma once
// A hedging backtest: a contract sold on a date at its value and delta-hedged
// in its underlying on the store's closes until it ends.
//
// On the first close the contract is sold at its value V0 (cash V0) and the
// engine's delta bought. On each later close t (after the close before, p):
//   - the cash grows at the r curve's rate from p to t, and the shares held
//     earn the carry (q curve) on their value at p;
//   - the contract's cash flows dated after p up to t are paid (cashflows);
//   - the contract is valued on t at the close (its value V, delta, gamma);
//     one that a flow ended (knock-out, touch, maturity) is worth nothing;
//   - on a rebalancing close the shares are brought to the new delta at the
//     close (daily: every close; weekly: every fifth);
//   - the hedge is shares x close + cash, the cumulative P&L hedge - V.
// The market stays as the file gives it (its curves read on each date), the
// spot being each day's adjusted ("pre") close. Each day's P&L is split:
//   gamma  -1/2 gamma_p (S_t - S_p)^2         (gamma as d2V/dS2)
//   theta  1/2 vol^2 S_p^2 gamma_p dt         the time value a hedged short
//                                             earns at the assumed vol (dt in
//                                             calendar years, vol the Black
//                                             vol at the maturity on p)
//   unhedged  (held_p - delta_p) (S_t - S_p): the delta not held between
//          rebalancings (0 when rebalancing every close)
//   jump   the rest, on a close where the contract observes (a note's
//          knock-out date) or a cash flow or knock-in falls
//   other  the rest on the other closes (interest on the P&L, higher orders)
// gamma + theta is the vol assumed against the vol realised:
// sum 1/2 gamma S^2 (vol^2 dt - (dS/S)^2).
#include <kestrel/export.hpp>
#include <kestrel/book.hpp>
#include <kestrel/cashflows.hpp>

#include <nlohmann/json.hpp>
#include <ql/time/date.hpp>

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::backtest {

struct KESTREL_BACKTEST_EXPORT Options {
    QuantLib::Date from;
    std::optional<QuantLib::Date> to;  // absent: until the contract ends or the store's last close
    std::size_t rebalance_every = 1;   // closes between rebalancings (1 daily, 5 weekly)
    std::string engine;                // a note's engine when its terms name none ("" : the market's, else the default)
};

struct KESTREL_BACKTEST_EXPORT Day {
    QuantLib::Date date;
    double spot = 0;
    double value = 0, delta = 0, gamma = 0;  // the contract's on this close (gamma d2V/dS2)
    double held = 0;                         // shares held after this close's rebalancing
    double cash = 0;                         // the cash account after it
    double hedge = 0;                        // held x spot + cash, before rebalancing (the same after)
    double pnl = 0;                          // cumulative: hedge - value
    double day_pnl = 0, gamma_pnl = 0, theta_pnl = 0, unhedged = 0, jump = 0, other = 0;
    bool rebalanced = false, observation = false;
    std::vector<CashFlow> flows;             // paid after the close before, up to this one
};

struct KESTREL_BACKTEST_EXPORT Level {
    std::string name;  // the term: "ko_barrier", "ki_barrier", "barrier", "strike", ...
    double level = 0;
};

struct KESTREL_BACKTEST_EXPORT Result {
    std::string id, type, underlying, engine;
    std::size_t rebalance_every = 1;
    double premium = 0;        // the value sold at on the first close
    double assumed_vol = 0;    // the Black vol at the maturity on the first close
    double realised_vol = 0;   // sqrt(sum ln(S_t/S_p)^2 / sum dt) over the closes
    double cash_paid = 0;      // the contract's flows, summed
    double pnl = 0, gamma_pnl = 0, theta_pnl = 0, unhedged = 0, jump = 0, other = 0;
    std::string end;           // why it stopped: "ended (knock_out on ...)", "to date", "last close"
    std::vector<Level> levels; // the contract's barriers and strike, for the chart
    std::vector<Day> days;
};

// ValueError for a contract that is not an object, a `from` without a close
// of the underlying in the installed store, `to` before `from`, a rebalance
// step of 0; a valuation that fails on a close names the date.
KESTREL_BACKTEST_EXPORT Result run_backtest(const nlohmann::ordered_json& contract, const book::BookMarket& market, const Options& options);

// "daily" -> 1, "weekly" -> 5; ValueError otherwise.
KESTREL_BACKTEST_EXPORT std::size_t parse_rebalance(const std::string& text);

// json: {"id", "type", "underlying", "engine", "rebalance_every", "premium",
// "assumed_vol", "realised_vol", "cash_paid", "pnl", "split": {"gamma",
// "theta", "vol", "unhedged", "jump", "other"}, "end", "levels", "days": [...]}.
KESTREL_BACKTEST_EXPORT nlohmann::ordered_json backtest_to_json(const Result& r);
KESTREL_BACKTEST_EXPORT void write_backtest_table(std::ostream& out, const Result& r);
KESTREL_BACKTEST_EXPORT void write_backtest_csv(std::ostream& out, const Result& r);
KESTREL_BACKTEST_EXPORT void write_backtest(std::ostream& out, const Result& r, book::BookFormat format);
// A standalone HTML page: the summary, the price path with its barriers, the
// delta held, the cumulative P&L and its split (inline SVG), and the days.
KESTREL_BACKTEST_EXPORT std::string backtest_html(const Result& r);

}  // namespace kestrel::backtest
