#pragma once
// What a valuation reads of the market for one underlying: the spot, the
// risk-free rate, the carry (dividend yield or futures discount) and the
// volatility, each a plain number or a term structure.
//
//   r, q   continuously compounded zero rates, Actual/365 Fixed, linear in
//          the zero rate between pillars and flat beyond the ends (RateCurve);
//   vol    Black volatilities by expiry, linear in total variance between
//          pillars (QuantLib's BlackVarianceCurve) and flat in volatility
//          beyond the ends (VolCurve).
//
// A pillar is a fixed date or a tenor counted from the evaluation date, so
// a tenor pillar moves when the evaluation date does (theta) and a date
// pillar stays. A Market of plain numbers is what the plain-number entry
// points (npv(spot, r, vol, q, date)) build: every engine values it exactly as
// those numbers, bit for bit.
#include <kestrel/errors.hpp>
#include <kestrel/export.hpp>

#include <ql/handle.hpp>
#include <ql/processes/blackscholesprocess.hpp>
#include <ql/termstructures/volatility/equityfx/blackvoltermstructure.hpp>
#include <ql/termstructures/yieldtermstructure.hpp>
#include <ql/time/date.hpp>
#include <ql/time/period.hpp>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace kestrel {

// A curve point's position: a date ("2025-06-30") or a tenor ("1M", "3M",
// "1Y", "2W", "10D") from the evaluation date.
class KESTREL_KEEL_EXPORT Pillar {
  public:
    Pillar(const QuantLib::Date& date) : at_(date) {}      // NOLINT: implicit by design
    Pillar(const QuantLib::Period& tenor) : at_(tenor) {}  // NOLINT
    // A date as YYYY-MM-DD or a tenor as a positive count and one of D, W, M,
    // Y; ValueError naming the text otherwise.
    static Pillar parse(std::string_view text);

    bool is_tenor() const noexcept { return std::holds_alternative<QuantLib::Period>(at_); }
    // The pillar's date when valued on evaluation_date.
    QuantLib::Date date(const QuantLib::Date& evaluation_date) const;
    // As parse reads it.
    std::string to_string() const;

    friend bool operator==(const Pillar& a, const Pillar& b) { return a.at_ == b.at_; }

  private:
    std::variant<QuantLib::Date, QuantLib::Period> at_;
};

struct KESTREL_KEEL_EXPORT CurvePoint {
    Pillar pillar;
    double value = 0;
    friend bool operator==(const CurvePoint&, const CurvePoint&) = default;
};

// A curve's points resolved on one evaluation date: times in years
// (calendar days / 365) and values, in pillar order.
struct KESTREL_KEEL_EXPORT ResolvedCurve {
    std::vector<double> times, values;
};

// Zero rates: a plain number or points.
class KESTREL_KEEL_EXPORT RateCurve {
  public:
    RateCurve(double rate = 0.0) : flat_(rate) {}  // NOLINT: a number is a flat curve
    // ValueError when there are no points or a rate is not finite.
    explicit RateCurve(std::vector<CurvePoint> points);

    bool is_number() const noexcept { return points_.empty(); }
    // The plain number (a curve's is meaningless: ValueError).
    double number() const;
    const std::vector<CurvePoint>& points() const noexcept { return points_; }

    // Every rate moved by dz (a number stays a number: rate + dz).
    RateCurve shifted(double dz) const;

    // The points' times and rates on evaluation_date. ValueError naming the
    // entry (1-based) for a pillar at or before the one before it.
    ResolvedCurve resolve(const QuantLib::Date& evaluation_date) const;
    // The zero rate and the discount factor exp(-z t) at t years.
    double zero_rate(const QuantLib::Date& evaluation_date, double t) const;
    double discount(const QuantLib::Date& evaluation_date, double t) const;

    // As a QuantLib curve with its reference date on evaluation_date: a
    // number as FlatForward (0 settlement days, the A-share calendar,
    // Actual365Fixed, following QuantLib's evaluation date), points as a
    // zero curve fixed on evaluation_date.
    QuantLib::Handle<QuantLib::YieldTermStructure> handle(const QuantLib::Date& evaluation_date) const;

    friend bool operator==(const RateCurve&, const RateCurve&) = default;

  private:
    double flat_ = 0.0;
    std::vector<CurvePoint> points_;
};

// A calibrated volatility surface as a market carries it: immutable, made
// once per underlying and shared by every valuation on it. Times are years
// (calendar days / 365) from its reference date, the date it was calibrated
// on; spots are price levels, so the local volatility stays where it is in
// price when the spot moves (delta and gamma with the surface held in price
// levels). The volatility models (kestrel/market/calibrated_surface.hpp)
// implement it.
class KESTREL_KEEL_EXPORT SmileSurface {
  public:
    virtual ~SmileSurface() = default;
    virtual QuantLib::Date reference_date() const = 0;
    // The quoted expiries, in years, ascending.
    virtual std::vector<double> expiry_times() const = 0;
    // The at-the-money-forward total Black variance to t years.
    virtual double atm_variance(double t) const = 0;
    // The local volatility sigma(t, S) at each of n spots given by their logs.
    virtual void local_vol_row(double t, const double* log_spots, std::size_t n, double* out) const = 0;
    // The surface recalibrated with every quote's implied volatility moved by
    // dv, or (expiry given, an index into expiry_times) that expiry's quotes
    // only. Made once per shift and kept: every contract shares it.
    virtual std::shared_ptr<const SmileSurface> shifted(double dv) const = 0;
    virtual std::shared_ptr<const SmileSurface> shifted(std::size_t expiry, double dv) const = 0;
};

// Black volatilities: a plain number, points by expiry, or a calibrated
// surface (its at-the-money term structure where a Black volatility is
// read, its local volatility where an engine models it).
class KESTREL_KEEL_EXPORT VolCurve {
  public:
    VolCurve(double vol = 0.0) : flat_(vol) {}  // NOLINT: a number is a flat curve
    // ValueError when there are no points or a vol is negative or not finite.
    explicit VolCurve(std::vector<CurvePoint> points);
    // ValueError for a null surface.
    explicit VolCurve(std::shared_ptr<const SmileSurface> surface);

    bool is_number() const noexcept { return points_.empty() && !surface_; }
    bool has_surface() const noexcept { return static_cast<bool>(surface_); }
    const std::shared_ptr<const SmileSurface>& surface() const noexcept { return surface_; }
    // A surface's offset on evaluation_date: years from its reference date
    // (0 before it).
    double surface_offset(const QuantLib::Date& evaluation_date) const;
    double number() const;
    const std::vector<CurvePoint>& points() const noexcept { return points_; }

    // Every volatility moved by dv (a number stays a number: vol + dv; a
    // surface is recalibrated with its quotes moved by dv).
    VolCurve shifted(double dv) const;
    // A surface with one expiry's quotes moved (ValueError for a number or
    // points, which have no quotes).
    VolCurve shifted(std::size_t expiry, double dv) const;

    // The points after evaluation_date (those on or before it are dropped;
    // when none is left, the last point's vol holds flat); a surface's
    // quoted expiries after it with their at-the-money volatilities from it. ValueError naming
    // the entry for a pillar at or before the one before it, or a total
    // variance that decreases.
    ResolvedCurve resolve(const QuantLib::Date& evaluation_date) const;
    // The total Black variance to t years (a surface's at the money, from
    // evaluation_date).
    double variance(const QuantLib::Date& evaluation_date, double t) const;

    // A number as BlackConstantVol (as the QuantLib products have always
    // built it), points as BlackVarianceCurve on evaluation_date.
    QuantLib::Handle<QuantLib::BlackVolTermStructure> handle(const QuantLib::Date& evaluation_date) const;

    friend bool operator==(const VolCurve&, const VolCurve&) = default;

  private:
    double flat_ = 0.0;
    std::vector<CurvePoint> points_;
    std::shared_ptr<const SmileSurface> surface_;
};

// One underlying's market.
struct KESTREL_KEEL_EXPORT Market {
    double spot = 0;
    RateCurve r;
    RateCurve q;
    VolCurve vol;

    Market() = default;
    // The plain numbers.
    Market(double spot, double r, double vol, double q) : spot(spot), r(r), q(q), vol(vol) {}
    Market(double spot, RateCurve r, VolCurve vol, RateCurve q)
        : spot(spot), r(std::move(r)), q(std::move(q)), vol(std::move(vol)) {}

    // Whether r, q and vol are all plain numbers.
    bool is_flat() const noexcept { return r.is_number() && q.is_number() && vol.is_number(); }

    Market with_spot(double s) const;
    Market with_vol_shift(double dv) const;
    Market with_vol_shift(std::size_t expiry, double dv) const;  // a surface's one expiry
    Market with_r_shift(double dz) const;
    Market with_q_shift(double dz) const;

    // ValueError for a spot that is not a positive finite number, a rate or
    // volatility that is not finite, or a curve that cannot be resolved on
    // evaluation_date (resolve's errors).
    void check(const QuantLib::Date& evaluation_date) const;

    friend bool operator==(const Market&, const Market&) = default;
};

// The q curve implied by forward (or futures) prices and the r curve: at each
// forward's date, q = r - ln(F / spot) / t. ValueError naming the entry for a
// price that is not positive and finite or a date not after evaluation_date.
KESTREL_KEEL_EXPORT RateCurve implied_carry(const std::vector<std::pair<QuantLib::Date, double>>& forwards, const RateCurve& r,
                        double spot, const QuantLib::Date& evaluation_date);

}  // namespace kestrel
