"""kestrel: equity options and autocallable notes on A-share underlyings.

Build a product from a dict of terms and value it::

    import kestrel
    kestrel.heron.install(kestrel.heron.SqliteStore("prices.db"))
    note = kestrel.make_option({"type": "snowball", ...})
    note.npv(spot=6000.0, r=0.02, vol=0.22, q=0.0, evaluation_date="2024-06-28")
    note.greeks(6000.0, 0.02, 0.22, 0.0, "2024-06-28")   # an OptionGreeks named tuple

The products are the C++ library's own; this package only converts arguments.
"""
from . import _core
from ._core import BaseOption, OptionGreeks, known_types, make_option
from . import heron, random_sample

__version__ = _core.__version__

# The products make_option knows, as classes (those this build has).
_PRODUCTS = ("VanillaOption", "BarrierOption", "DoubleBarrierOption", "DoubleTouchOption",
             "AsianOption", "SnowBallOption", "PhoenixOption")
for _name in _PRODUCTS:
    if hasattr(_core, _name):
        globals()[_name] = getattr(_core, _name)
        getattr(_core, _name).__module__ = __name__
BaseOption.__module__ = __name__
del _name

__all__ = ["BaseOption", "OptionGreeks", "make_option", "known_types", "heron", "random_sample",
           *(n for n in _PRODUCTS if n in globals())]
