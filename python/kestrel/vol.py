"""Option quotes to a calibrated volatility surface and its local volatility.

    cal = kestrel.vol.calibrate("QUOTES.csv", "2023-12-04", spot=2.367, r=0.02)
    cal = kestrel.vol.calibrate(rows, "2023-12-04", market="market.json", underlying="510050.XSHG")
    print(cal.report())
    cal.local_vol(0.25, 2.2)

Quotes are a CSV file (expiry,type,strike,price) or rows as dicts or
(expiry, type, strike, price) tuples; European, prices in the underlying's
units. Each expiry's forward comes from put-call parity (forwards="parity") or
from r and q (forwards="market"); out-of-the-money quotes are fitted by SVI and
the local volatility is Dupire's on that surface (see the README)."""
from ._core import vol as _v

calibrate = _v.calibrate
Calibration = _v.Calibration

__all__ = ["calibrate", "Calibration"]
