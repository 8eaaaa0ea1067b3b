"""kestrel from Python: value a snowball note on the bundled CSI 500 history.

Run after `bash scripts/main.sh`, which builds the Python package and ends
with the line to paste (see README.md, "Python"):
    export PYTHONPATH=$PWD/build/python
    python3 examples/quickstart.py
"""
import datetime

import kestrel

# Trading days and price history: the store shipped with kestrel. A desk can
# install its own client instead (any object with get_previous_trading_date,
# get_next_trading_date, get_trading_dates and get_price).
kestrel.heron.install(kestrel.heron.bundled_store())

# A one-year snowball on the CSI 500 struck at the level of 2 January 2025:
# knock-out above 103 % on monthly dates, knock-in below 80 % on any day,
# 15 % a year accrued until knock-out.
s0 = 5545.8174
note = kestrel.make_option({
    "type": "snowball",
    "underlying": "000905.XSHG",
    "effect_date": "2025-01-02",
    "maturity_date": datetime.date(2026, 1, 2),  # text, dates and pandas Timestamps all work
    "s0": s0,
    "notional": 1_000_000,
    "strike": s0,
    "ko_barrier": 1.03 * s0,
    "ki_barrier": 0.80 * s0,
    "coupon_rate": 0.15,
    "ko_obs_freq": "monthly",
    "ki_obs_freq": "daily",
    "obs_start_date": "2025-01-02",
    "obs_end_date": "2026-01-02",
})
print(note)
print("knock-out dates:", ", ".join(d.isoformat() for d in note.ko_obs_dates[:4]), "...")

# Value per unit of the underlying on 28 February 2025 (CSI 500 closed at
# 5859.8708), before the first knock-out date above the barrier.
market = dict(spot=5859.8708, r=0.018, vol=0.22, q=0.0, evaluation_date="2025-02-28")
print(f"value  {note.npv(**market):12.4f}")
greeks = note.greeks(**market)  # an OptionGreeks named tuple: npv, delta, gamma, vega, theta, rho
for field in ("delta", "gamma", "vega", "theta", "rho"):
    print(f"{field:6} {getattr(greeks, field):12.4f}")

# On 3 March 2025 the index closed at 5885.7696, above the knock-out barrier:
# from then on the history says the note has ended.
print("npv on 2025-06-30:", note.npv(5915.3876, 0.018, 0.22, 0.0, "2025-06-30"))
