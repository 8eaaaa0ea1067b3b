"""kestrel.vol.calibrate: the 510050 closes, rows inline, and refused input."""
import math
import os

import pytest

import kestrel

DATA = os.environ.get("KESTREL_DATA_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "data"))
QUOTES = os.path.join(DATA, "options", "510050.XSHG-2023-12-04.csv")
MARKET = os.path.join(DATA, "options", "market-2023-12-04.json")


def test_510050_from_the_file_and_the_market_file_agree():
    a = kestrel.vol.calibrate(QUOTES, "2023-12-04", spot=2.367, r=0.02)
    b = kestrel.vol.calibrate(QUOTES, "2023-12-04", market=MARKET, underlying="510050.XSHG")
    assert a.rms_error <= 0.2 and a.max_error <= 0.5
    assert a.butterfly_free and a.calendar_free
    assert [f["forward"] for f in a.forwards] == [f["forward"] for f in b.forwards]
    assert any(d["row"] == 161 for d in a.dropped)  # the stale June put
    grid = a.local_vol_grid([0.1, 0.3], [math.log(2.0), math.log(2.367)])
    assert len(grid) == 2 and len(grid[0]) == 2
    assert grid[1][1] == pytest.approx(a.local_vol(0.3, 2.367))
    entry = a.market_entry()
    assert entry["local"]["forwards"] == "parity" and len(entry["local"]["quotes"]) == 160


def test_rows_inline_give_the_same_fit():
    a = kestrel.vol.calibrate(QUOTES, "2023-12-04", spot=2.367, r=0.02)
    rows = [(q["expiry"], q["type"], q["strike"], q["price"]) for q in a.market_entry()["local"]["quotes"]]
    b = kestrel.vol.calibrate(rows, "2023-12-04", spot=2.367, r=0.02)
    assert b.rms_error == a.rms_error
    assert b.implied_vol(2.2, 0.4) == a.implied_vol(2.2, 0.4)


def test_bad_rows_are_refused():
    with pytest.raises(ValueError, match="row 2: negative price"):
        kestrel.vol.calibrate([("2024-01-24", "call", 2.4, 0.05), ("2024-01-24", "put", 2.4, -0.01)],
                              "2023-12-04", spot=2.367, r=0.02)
    with pytest.raises(KeyError):
        kestrel.vol.calibrate(QUOTES, "2023-12-04")
