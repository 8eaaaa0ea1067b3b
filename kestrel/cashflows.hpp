#pragma once
// Cash flows of a contract between two dates, read off the underlying's price
// history by the same rules the products' history checks apply.
//
// Amounts are in the units of the product's value (per unit of the
// underlying, notional not applied) and undiscounted, on the day they are
// settled. The autocallable notes' principal is not part of their value, so a
// knock-out's redemption adds no amount beyond the coupon paid with it.
//
// Kinds, per product:
//   snowball   knock_out: the knock-out date's coupon (a close strictly above
//              its date's knock-out level); knock_in (amount 0); maturity:
//              the maturity coupon (by default the last knock-out date's) when
//              neither knocked in nor out, or min(max(final, floor) - strike,
//              0) when knocked in and never out.
//   phoenix    coupon: a knock-out date's coupon when the close is at or above
//              its coupon barrier (with memory, with the coupons missed since
//              the last one paid); knock_out: the same date's coupon when it
//              also ends the note (strictly above its knock-out level);
//              knock_in (0); maturity: the loss as the snowball's (0 when
//              none).
//   vanilla    maturity: the payoff at the maturity close (an American
//              contract is taken as held to expiry).
//   asian      maturity: the payoff on the average of every close from the
//              effect date to maturity (arithmetic or geometric).
//   barrier    knock_out: the rebate, on the first close strictly beyond the
//              barrier ("pre" closes); knock_in (0) there; maturity: the
//              payoff (the inner vanilla's once knocked in), or for a
//              knock-in never knocked in its rebate.
//   corridor   as barrier, on unadjusted closes outside the corridor (KIKO
//              and KOKI: NotImplementedError, as their history check).
//   tandem     touch: the digital payoff of a double one-touch on the first
//              day whose high or low crosses a level ("pre"); knock_out (0)
//              for a double no-touch there; maturity: the digital payoff of a
//              double no-touch never touched (0 for an untouched one-touch).
//
// A flow is reported only once the history settles it: a date after the last
// close in the store has no flow yet. A decisive date before the last close
// that has no close is a KeyError naming it.
#include <kestrel/export.hpp>
#include <kestrel/keel.hpp>

#include <nlohmann/json.hpp>
#include <ql/time/date.hpp>

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace kestrel {

struct KESTREL_CASHFLOWS_EXPORT CashFlow {
    QuantLib::Date date;
    std::string kind;   // "coupon", "knock_out", "knock_in", "touch", "maturity"
    double amount = 0;  // 0 for an event without cash (knock_in)
    double level = 0;   // the close (average, high or low) that settled it
};

// The flows of `option` dated after `from` up to and including `to` (the
// convention of a valuation on `from`, which already counts that day's
// close). ValueError when `to` is before `from`; TypeError for a product
// without cash-flow rules.
KESTREL_CASHFLOWS_EXPORT std::vector<CashFlow> cashflows(BaseOption& option, const QuantLib::Date& from, const QuantLib::Date& to);

// The cash flows of every contract of a book (a JSON array of terms, as
// `kestrel book` reads it), one entry per contract in book order: its flows,
// or the error that stopped it.
struct KESTREL_CASHFLOWS_EXPORT ContractCashflows {
    std::size_t position = 0;
    std::optional<std::string> id, type, underlying;
    std::vector<CashFlow> flows;
    std::optional<std::string> error_kind, error_message;
    double total() const noexcept;
};

struct KESTREL_CASHFLOWS_EXPORT BookCashflows {
    QuantLib::Date from, to;
    std::vector<ContractCashflows> contracts;
    std::size_t failed() const noexcept;
};

KESTREL_CASHFLOWS_EXPORT BookCashflows book_cashflows(const nlohmann::ordered_json& book, const QuantLib::Date& from, const QuantLib::Date& to);

// table: one line per flow; csv and json: amounts at full precision.
// json: {"from", "to", "contracts": [{"id", "type", "underlying", "total",
// "flows": [{"date", "kind", "amount", "level"}], "error": {"kind",
// "message"} | null}]}.
KESTREL_CASHFLOWS_EXPORT nlohmann::ordered_json cashflows_to_json(const BookCashflows& flows);
KESTREL_CASHFLOWS_EXPORT void write_cashflows_table(std::ostream& out, const BookCashflows& flows);
KESTREL_CASHFLOWS_EXPORT void write_cashflows_csv(std::ostream& out, const BookCashflows& flows);

}  // namespace kestrel
