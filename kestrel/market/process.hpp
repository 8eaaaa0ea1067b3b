#pragma once
// The model every QuantLib-based product values under: the Black-Scholes-
// Merton process over a market's r curve, q curve and volatility, built for
// one valuation.
#include <kestrel/market.hpp>

#include <kestrel/calendar.hpp>
#include <kestrel/errors.hpp>

#include <ql/processes/blackscholesprocess.hpp>
#include <ql/quotes/simplequote.hpp>
#include <ql/termstructures/volatility/equityfx/localvoltermstructure.hpp>
#include <ql/time/daycounters/actual365fixed.hpp>

#include <cmath>
#include <limits>
#include <memory>
#include <string>

namespace kestrel::market {

using ProcessPtr = QuantLib::ext::shared_ptr<QuantLib::GeneralizedBlackScholesProcess>;

// A calibrated surface's local volatility sigma(t, S) as QuantLib reads it:
// t in years from evaluation_date (Actual/365), the surface's own times
// offset by evaluation_date's distance from its reference date; S in price
// levels.
class SurfaceLocalVol : public QuantLib::LocalVolTermStructure {
  public:
    // price_scale: the process's prices are the surface's divided by it (a
    // product valued at a working price scale).
    SurfaceLocalVol(const QuantLib::Date& evaluation_date, std::shared_ptr<const SmileSurface> surface, double offset,
                    double price_scale = 1.0)
        : QuantLib::LocalVolTermStructure(evaluation_date, calendar::get_a_share_calendar(), QuantLib::Following,
                                          QuantLib::Actual365Fixed()),
          surface_(std::move(surface)), offset_(offset), price_scale_(price_scale) {}
    QuantLib::Date maxDate() const override { return QuantLib::Date::maxDate(); }
    QuantLib::Real minStrike() const override { return 0.0; }
    QuantLib::Real maxStrike() const override { return std::numeric_limits<double>::max(); }

  protected:
    QuantLib::Volatility localVolImpl(QuantLib::Time t, QuantLib::Real S) const override {
        const double y = std::log(std::max(S * price_scale_, std::numeric_limits<double>::min()));
        double out = 0.0;
        surface_->local_vol_row(offset_ + std::max(t, 0.0), &y, 1, &out);
        return out;
    }

  private:
    std::shared_ptr<const SmileSurface> surface_;
    double offset_;
    double price_scale_;
};

// Spot quote; q, r and vol as the market's curves' QuantLib forms on
// evaluation_date (RateCurve::handle, VolCurve::handle). A market of plain
// numbers gives flat curves on the A-share calendar with Actual365Fixed and
// 0 settlement days. A calibrated surface gives the process its local
// volatility (SurfaceLocalVol) beside the at-the-money Black term structure:
// an engine that reads localVolatility() models the smile, one that reads
// the Black volatility sees the at-the-money term structure only.
// price_scale: m's prices are in units of price_scale (m.spot already
// divided by it), so a surface's local volatility is read at S * price_scale.
inline ProcessPtr make_process(const Market& m, const QuantLib::Date& evaluation_date, double price_scale = 1.0) {
    using namespace QuantLib;
    Handle<Quote> spot_handle(ext::make_shared<SimpleQuote>(m.spot));
    const auto dividend = m.q.handle(evaluation_date);
    const auto risk_free = m.r.handle(evaluation_date);
    const auto volatility = m.vol.handle(evaluation_date);
    if (m.vol.has_surface()) {
        Handle<LocalVolTermStructure> local(ext::make_shared<SurfaceLocalVol>(
            evaluation_date, m.vol.surface(), m.vol.surface_offset(evaluation_date), price_scale));
        return ext::make_shared<GeneralizedBlackScholesProcess>(spot_handle, dividend, risk_free, volatility, local);
    }
    return ext::make_shared<BlackScholesMertonProcess>(spot_handle, dividend, risk_free, volatility);
}

}  // namespace kestrel::market
