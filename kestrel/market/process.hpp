#pragma once
// The model every QuantLib-based product values under: the Black-Scholes-
// Merton process over a market's r curve, q curve and volatility, built for
// one valuation.
#include <kestrel/market.hpp>

#include <ql/processes/blackscholesprocess.hpp>
#include <ql/quotes/simplequote.hpp>

namespace kestrel::market {

using ProcessPtr = QuantLib::ext::shared_ptr<QuantLib::GeneralizedBlackScholesProcess>;

// Spot quote; q, r and vol as the market's curves' QuantLib forms on
// evaluation_date (RateCurve::handle, VolCurve::handle). A market of plain
// numbers gives flat curves on the A-share calendar with Actual365Fixed and
// 0 settlement days.
inline ProcessPtr make_process(const Market& m, const QuantLib::Date& evaluation_date) {
    using namespace QuantLib;
    Handle<Quote> spot_handle(ext::make_shared<SimpleQuote>(m.spot));
    const auto dividend = m.q.handle(evaluation_date);
    const auto risk_free = m.r.handle(evaluation_date);
    const auto volatility = m.vol.handle(evaluation_date);
    return ext::make_shared<BlackScholesMertonProcess>(spot_handle, dividend, risk_free, volatility);
}

}  // namespace kestrel::market
