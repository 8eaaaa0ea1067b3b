"""kestrel: equity options and autocallable notes on A-share underlyings.

Install a market-data client, build a product from a dict of terms and value it::

    import kestrel
    kestrel.heron.install(kestrel.heron.bundled_store())
    note = kestrel.make_option({"type": "snowball", ...})
    note.npv(spot=6000.0, r=0.02, vol=0.22, q=0.0, evaluation_date="2024-06-28")
    note.greeks(6000.0, 0.02, 0.22, 0.0, "2024-06-28")   # an OptionGreeks named tuple

The products are the C++ library's own; this package converts arguments and
errors, nothing more. Dates may be "YYYY-MM-DD" text, datetime.date,
datetime.datetime or pandas.Timestamp at midnight; they come back as
datetime.date. Errors arrive as Python's own KeyError, ValueError,
NotImplementedError, AssertionError, TypeError, IndexError and
ZeroDivisionError; QuantLib's as RuntimeError.
"""
from . import _core
from . import book, calendar, heron, random_sample, vol
from ._core import (AsianInstrument, AsianOption, BarrierOption, BaseOption, CashFlow, DoubleBarrierOption,
                    DoubleTouchOption, Market, OptionGreeks, PhoenixOption, SnowBallOption, VanillaOption,
                    known_types, make_option)

__version__ = _core.__version__

__all__ = ["BaseOption", "Market", "OptionGreeks", "CashFlow", "VanillaOption", "BarrierOption", "DoubleBarrierOption",
           "DoubleTouchOption", "AsianOption", "AsianInstrument", "SnowBallOption", "PhoenixOption",
           "make_option", "known_types", "book", "calendar", "heron", "random_sample", "vol"]

for _cls in (BaseOption, Market, VanillaOption, BarrierOption, DoubleBarrierOption, DoubleTouchOption, AsianOption,
             AsianInstrument, SnowBallOption, PhoenixOption):
    _cls.__module__ = __name__
del _cls
