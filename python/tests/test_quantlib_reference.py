"""The arithmetic Asian option is QuantLib-Python's own engine: its
MCDiscreteArithmeticAPEngine with "pr" paths, the control variate, a tolerance
of 0.005 and seed 42, every other argument the binding's default (so no
Brownian bridge). QuantLib-Python is Debian's quantlib-python, the same
QuantLib release the library links."""
import datetime

import pytest
import QuantLib as ql

import kestrel

EVAL = "2024-03-01"  # a trading day: with 0 settlement days the curves start on it whatever the calendar


def ql_date(d):
    return ql.Date(d.day, d.month, d.year)


def quantlib_npv(option, spot, r, vol, q):
    ql.Settings.instance().evaluationDate = ql_date(datetime.date.fromisoformat(EVAL))
    calendar, day_count = ql.China(ql.China.SSE), ql.Actual365Fixed()
    process = ql.BlackScholesMertonProcess(
        ql.QuoteHandle(ql.SimpleQuote(spot)),
        ql.YieldTermStructureHandle(ql.FlatForward(0, calendar, q, day_count)),
        ql.YieldTermStructureHandle(ql.FlatForward(0, calendar, r, day_count)),
        ql.BlackVolTermStructureHandle(ql.BlackConstantVol(0, calendar, vol, day_count)))
    kind = ql.Option.Call if option.call_put == "call" else ql.Option.Put
    instrument = ql.DiscreteAveragingAsianOption(
        ql.Average.Arithmetic, 0.0, 0, [ql_date(d) for d in option.fixing_dates],
        ql.PlainVanillaPayoff(kind, option.strike), ql.EuropeanExercise(ql_date(option.maturity_date)))
    instrument.setPricingEngine(
        ql.MCDiscreteArithmeticAPEngine(process, "pr", controlVariate=True, requiredTolerance=0.005, seed=42))
    return instrument.NPV()


# Six months of fixings, none past yet, below a price level of 100 (nothing
# rescaled). The pinned values are asian_test's.
@pytest.mark.parametrize("call_put, strike, vol, pinned", [("call", 54.5, 0.25, 2.3388853606670814),
                                                           ("put", 56.0, 0.35, 3.93413754017631)])
def test_arithmetic_asian_is_quantlib_pythons_value(bundled, call_put, strike, vol, pinned):
    option = kestrel.make_option({"type": "asian", "underlying": "000300.XSHG", "effect_date": "2024-03-04",
                                  "maturity_date": "2024-09-03", "s0": 54.5, "notional": 1, "call_put": call_put,
                                  "strike": strike, "average_type": "arithmetic"})
    reference = quantlib_npv(option, 54.5, 0.02, vol, 0.01)
    assert reference == pytest.approx(pinned, rel=1e-12)
    assert option.npv(54.5, 0.02, vol, 0.01, EVAL) == pytest.approx(reference, rel=1e-12)
