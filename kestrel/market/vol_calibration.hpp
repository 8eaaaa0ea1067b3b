#pragma once
// Listed option quotes in, an arbitrage-checked implied volatility surface
// out.
//
//   1. quotes: expiry, call or put, strike, price (European, in the
//      underlying's units); rows that cannot be read are refused by number;
//   2. each expiry's forward from put-call parity on the strikes quoted both
//      ways: C - P = D (F - K), so the least-squares line of C - P on K has
//      slope -D and intercept D F (F = intercept / -slope); a pair whose
//      residual stands out from the others' is left out and the line refitted
//      (forwards "parity"), or the forward from the market's r and q curves
//      (forwards "market");
//   3. out-of-the-money quotes (puts below the forward, calls at or above it)
//      to Black implied volatilities, discounting with the market's r; a
//      quote that is not above its intrinsic value, breaks monotonicity or
//      convexity in strike, or has no implied volatility is dropped, with the
//      reason;
//   4. each expiry fitted by SVI's raw parameterisation in log-moneyness
//      k = ln(K / F):  w(k) = a + b (rho (k - m) + sqrt((k - m)^2 + sigma^2)),
//      least squares of the implied volatilities (with a fourth-power term on
//      errors above half a vol point), from the last expiry back to the
//      first, with penalties keeping the butterfly density g(k) >= 0 and the
//      total variance below the next expiry's on a dense k grid; both
//      conditions are then checked and reported;
//   5. between expiries total variance linear in time at fixed k, before the
//      first one w(k, t) = w_1(k) t / T_1, after the last one the last
//      expiry's implied volatility per k; the forward log-linear in time
//      between expiries (a constant carry on each interval), the last
//      interval's carry beyond the last expiry.
//
// Beyond the quoted strikes the surface keeps SVI's own wings, linear in
// total variance and not capped: the fit bounds b (1 + |rho|) <= 2 (Lee's
// moment bound), so the wings stay free of arbitrage however far out.
#include <kestrel/export.hpp>
#include <kestrel/market.hpp>
#include <kestrel/market/local_vol.hpp>

#include <nlohmann/json_fwd.hpp>

#include <ql/time/date.hpp>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::vol {

enum class OptionType { Call, Put };

struct KESTREL_VOL_EXPORT OptionQuote {
    QuantLib::Date expiry;
    OptionType type = OptionType::Call;
    double strike = 0;
    double price = 0;
    // The row in its file (1-based, the header being row 1), or its position
    // in an inline list (1-based); 0 when unknown.
    std::size_t row = 0;
};

// Reads `expiry,type,strike,price` text (a header row naming those columns in
// any order, then one quote a row; blank lines skipped). ValueError naming
// the source and the row for a missing column, a field that is not a number
// or a date, a type other than call or put, a strike that is not positive, a
// negative price, an expiry at or before evaluation_date, or the same
// expiry, type and strike twice. `source` names the text in messages.
KESTREL_VOL_EXPORT std::vector<OptionQuote> parse_quotes(std::string_view text, const QuantLib::Date& evaluation_date,
                                      std::string_view source = "quotes");
// The same from a file (ValueError when it cannot be read).
KESTREL_VOL_EXPORT std::vector<OptionQuote> read_quotes(const std::string& path, const QuantLib::Date& evaluation_date);
// Rows checked as parse_quotes checks them (row numbers are positions).
KESTREL_VOL_EXPORT void check_quotes(const std::vector<OptionQuote>& quotes, const QuantLib::Date& evaluation_date,
                  std::string_view source = "quotes");

enum class ForwardSource { Parity, Market };
KESTREL_VOL_EXPORT ForwardSource parse_forward_source(std::string_view text);  // "parity" | "market"
KESTREL_VOL_EXPORT const char* to_string(ForwardSource s);

struct KESTREL_VOL_EXPORT CalibrationSettings {
    ForwardSource forwards = ForwardSource::Parity;
    // Price tolerance of the monotonicity and convexity checks (a quote is
    // dropped when it breaks them by more than this); 0: strict.
    double tolerance = 0.0;
    // A parity pair is left out of the forward's line when its residual is
    // above this many times the median absolute residual (and above
    // parity_floor in price).
    double parity_outlier = 5.0;
    double parity_floor = 5e-4;
    // The butterfly and calendar conditions are enforced and checked on
    // check_points values of k from the lowest quoted k less check_margin to
    // the highest plus check_margin (0.75: about 47 % to 212 % of the forward).
    double check_margin = 0.75;
    std::size_t check_points = 201;
    // Local volatility is clamped to [floor, cap]; a point where Dupire's
    // denominator is not positive takes the cap.
    double local_vol_floor = 0.01;
    double local_vol_cap = 1.5;
};

struct KESTREL_VOL_EXPORT ExpiryForward {
    QuantLib::Date expiry;
    double t = 0;         // years, Actual/365
    double forward = 0;   // F
    double discount = 0;  // the market's exp(-r t), which prices and implies vols
    // From the parity line (parity only; 0 otherwise): its discount factor
    // -slope, the strikes it used and the RMS of its residuals.
    double parity_discount = 0;
    std::size_t pairs = 0;
    double parity_rms = 0;
    // The carry the forward implies: r(t) - ln(F / spot) / t.
    double implied_q = 0;
    double market_q = 0;  // the market's q(t), for comparison
};

struct KESTREL_VOL_EXPORT DroppedQuote {
    OptionQuote quote;
    std::string reason;
};

struct KESTREL_VOL_EXPORT ExpiryFit {
    QuantLib::Date expiry;
    double t = 0;
    SviParameters svi;
    std::size_t quotes = 0;  // used in the fit
    double rms_error = 0;    // vol points
    double max_error = 0;    // vol points
    double min_g = 0;        // least butterfly g on the check grid
    // Least w(k) - w_previous(k) on the check grid (the first expiry: least
    // w(k)); negative breaks the calendar condition.
    double min_calendar = 0;
};

// One out-of-the-money quote as used: its implied volatility and the fitted
// surface's at the same strike and expiry.
struct KESTREL_VOL_EXPORT FittedQuote {
    OptionQuote quote;
    double forward = 0;
    double k = 0;  // ln(K / F)
    double implied_vol = 0;
    double model_vol = 0;
    double error = 0;  // (model - implied) in vol points (1 point = 0.01)
};

struct KESTREL_VOL_EXPORT Calibration {
    QuantLib::Date evaluation_date;
    double spot = 0;
    CalibrationSettings settings;
    std::vector<ExpiryForward> forwards;
    std::vector<DroppedQuote> dropped;
    std::vector<ExpiryFit> fits;
    std::vector<FittedQuote> table;  // by expiry, then strike
    double rms_error = 0;            // vol points, over the table
    double max_error = 0;            // vol points (absolute)
    bool butterfly_free = false;     // every expiry's min_g >= 0
    bool calendar_free = false;      // every expiry's min_calendar >= 0
    VolSurface surface;
};

// Calibrates the quotes (checked as check_quotes does) to market's spot, r
// and q on evaluation_date (market.vol is not read). ValueError naming the
// expiry (and its rows) when an expiry has no usable quote on one side of
// its forward, fewer than five usable quotes in all, or (forwards "parity")
// fewer than two strikes quoted both ways.
KESTREL_VOL_EXPORT Calibration calibrate(const std::vector<OptionQuote>& quotes, const Market& market,
                      const QuantLib::Date& evaluation_date, const CalibrationSettings& settings = {});

// Black's formula on the forward (undiscounted) and its inverse: the implied
// volatility of an undiscounted price at t years, NaN when there is none
// (the price is not strictly between the intrinsic value and the upper
// bound).
KESTREL_VOL_EXPORT double black_price(OptionType type, double forward, double strike, double stddev);
KESTREL_VOL_EXPORT double implied_vol(OptionType type, double forward, double strike, double t, double undiscounted_price);

// As the command line prints it: forwards, dropped quotes, the table per
// expiry and strike, the fit conditions and the errors.
KESTREL_VOL_EXPORT std::string format_calibration(const Calibration& c);


// --- market files ---------------------------------------------------------

// The volatility entry of a market file for these quotes and settings:
//   {"local": {"quotes": [{"expiry", "type", "strike", "price"}, ...],
//              "forwards": "parity" | "market",
//              "calibration": {"model": "svi-raw", "tolerance", ...}}}
KESTREL_VOL_EXPORT nlohmann::json market_entry(const std::vector<OptionQuote>& quotes, const CalibrationSettings& settings);
// Reads such an entry back ("quotes" inline rows, or a file name read
// relative to base_dir; "forwards" defaulting to "parity"; "calibration"
// optional, each setting defaulting). ValueError / KeyError / TypeError
// naming what is wrong.
struct KESTREL_VOL_EXPORT MarketEntry {
    std::vector<OptionQuote> quotes;
    CalibrationSettings settings;
};
KESTREL_VOL_EXPORT MarketEntry read_market_entry(const nlohmann::json& entry, const QuantLib::Date& evaluation_date,
                              const std::string& base_dir = ".");

// What calibration reads of a market file: the top-level "r" (a number, or
// {"curve": [[pillar, rate], ...]} / {"curve": {pillar: rate}}) and the
// underlying's "spot" and "q" (a number; q defaults to 0). A minimal reader
// of its own until the market file's parser takes this form; KeyError naming
// a missing underlying or spot, TypeError / ValueError for values.
KESTREL_VOL_EXPORT Market read_market_file(const std::string& path, const std::string& underlying);

}  // namespace kestrel::vol
