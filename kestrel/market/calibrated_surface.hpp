#pragma once
// A market's calibrated volatility surface: option quotes calibrated once
// (vol_calibration.hpp) on one date, spot and r and q curves, kept with the
// quotes so that a vega bump recalibrates from them. It is the SmileSurface
// a VolCurve carries: the at-the-money Black term structure where a Black
// volatility is read, Dupire's local volatility where an engine models it.
//
// Vega: every quote's implied volatility (at its expiry's calibrated
// forward) moved by dv, repriced by Black's formula and recalibrated; a
// bucket moves one expiry's quotes only. A call and a put of one strike move
// together, so put-call parity (and the forwards it gives) holds to second
// order in dv. A quote without an implied volatility is kept as it is (the
// calibration drops it again). Each shift is calibrated once and kept.
#include <kestrel/market.hpp>
#include <kestrel/market/vol_calibration.hpp>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace kestrel::vol {

class KESTREL_VOL_EXPORT CalibratedSurface : public SmileSurface, public std::enable_shared_from_this<CalibratedSurface> {
  public:
    // Calibrates quotes on market (spot, r and q; vol unused) on date:
    // calibrate()'s errors.
    static std::shared_ptr<const CalibratedSurface> calibrate(std::vector<OptionQuote> quotes, const Market& market,
                                                              const QuantLib::Date& date,
                                                              const CalibrationSettings& settings = {});
    // A given surface with no quotes (shifted() is a ValueError).
    CalibratedSurface(VolSurface surface, const QuantLib::Date& reference_date);

    const VolSurface& surface() const noexcept { return surface_; }
    // The calibration report; null for a given surface.
    const Calibration* calibration() const noexcept { return calibration_ ? &*calibration_ : nullptr; }
    // What it was calibrated from (empty for a given surface): the quotes and
    // the market's spot, r and q (vol unused). calibrate() on them, its
    // reference date and its settings makes the same surface again.
    const std::vector<OptionQuote>& quotes() const noexcept { return quotes_; }
    const Market& calibration_market() const noexcept { return market_; }
    // The carry the calibrated forwards imply (q at each expiry: r - ln(F /
    // spot) / t), for a market whose forwards come from the quotes.
    RateCurve implied_carry() const;

    QuantLib::Date reference_date() const override { return reference_date_; }
    std::vector<double> expiry_times() const override { return surface_.times(); }
    double atm_variance(double t) const override;
    void local_vol_row(double t, const double* log_spots, std::size_t n, double* out) const override;
    std::shared_ptr<const SmileSurface> shifted(double dv) const override;
    std::shared_ptr<const SmileSurface> shifted(std::size_t expiry, double dv) const override;

  private:
    std::shared_ptr<const SmileSurface> shift(long expiry, double dv) const;

    VolSurface surface_;
    QuantLib::Date reference_date_;
    std::optional<Calibration> calibration_;
    std::vector<OptionQuote> quotes_;
    Market market_;
    mutable std::mutex mutex_;
    mutable std::map<std::pair<long, double>, std::shared_ptr<const SmileSurface>> shifts_;
};

// The quotes of a grid of implied volatilities: at each expiry and strike a
// call and a put at the volatility, priced on the market's forward
// (spot, r, q) and discounted with r. Calibrated with forwards "market", they
// give the surface of the grid. ValueError naming the cell for a volatility
// that is not positive and finite, a strike that is not positive, an expiry
// not after date, or a grid whose rows do not match its expiries and strikes.
KESTREL_VOL_EXPORT std::vector<OptionQuote> grid_quotes(const std::vector<QuantLib::Date>& expiries, const std::vector<double>& strikes,
                                     const std::vector<std::vector<double>>& vols, const Market& market,
                                     const QuantLib::Date& date);

}  // namespace kestrel::vol
