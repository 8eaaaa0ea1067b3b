#pragma once
// The QuantLib market model the QuantLib-based products share: a fresh
// Black-Scholes-Merton process over flat curves, built for one valuation.
#include <kestrel/calendar.hpp>

#include <ql/processes/blackscholesprocess.hpp>
#include <ql/quotes/simplequote.hpp>
#include <ql/termstructures/volatility/equityfx/blackconstantvol.hpp>
#include <ql/termstructures/yield/flatforward.hpp>
#include <ql/time/daycounters/actual365fixed.hpp>

namespace kestrel::detail {

using ProcessPtr = QuantLib::ext::shared_ptr<QuantLib::GeneralizedBlackScholesProcess>;

// Spot quote; dividend curve (q) and risk-free curve (r) as FlatForward with 0
// settlement days; BlackConstantVol (vol); all on the A-share calendar (asked
// anew for each term structure) with Actual365Fixed.
inline ProcessPtr make_process(double spot, double r, double vol, double q) {
    using namespace QuantLib;
    Handle<Quote> spot_handle(ext::make_shared<SimpleQuote>(spot));
    Handle<YieldTermStructure> dividend(
        ext::make_shared<FlatForward>(0, calendar::get_a_share_calendar(), q, Actual365Fixed()));
    Handle<YieldTermStructure> risk_free(
        ext::make_shared<FlatForward>(0, calendar::get_a_share_calendar(), r, Actual365Fixed()));
    Handle<BlackVolTermStructure> volatility(
        ext::make_shared<BlackConstantVol>(0, calendar::get_a_share_calendar(), vol, Actual365Fixed()));
    return ext::make_shared<BlackScholesMertonProcess>(spot_handle, dividend, risk_free, volatility);
}

}  // namespace kestrel::detail
