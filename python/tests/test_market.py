"""kestrel.Market: one underlying's market of numbers or curves, read as a market
file reads it, and the Market forms of the valuation methods."""
import datetime
import pickle

import pytest

import kestrel
from support import EVAL, MARKET, snowball_terms, vanilla_terms

CURVES = dict(r={"curve": [["3M", 0.018], ["1Y", 0.021]]},
              vol={"curve": [["1M", 0.21], ["6M", 0.23], ["2025-06-30", 0.24]]},
              q={"curve": [["1M", 0.20], ["3M", 0.12], ["1Y", 0.05]]})


def flat_curves(r, vol, q):
    """One level at date and tenor pillars: the curve code on flat numbers."""
    return dict(r={"curve": [["1M", r], ["2026-03-31", r]]}, vol={"curve": [["2W", vol], ["2Y", vol]]},
                q={"curve": [["6M", q]]})


def test_numbers_and_curves_read_back_and_pickle():
    plain = kestrel.Market(3500.0, 0.021, 0.23, 0.012)
    assert plain.is_flat and (plain.spot, plain.r, plain.vol, plain.q) == (3500.0, 0.021, 0.23, 0.012)
    curves = kestrel.Market(3500.0, **CURVES, evaluation_date=EVAL)
    assert not curves.is_flat
    assert curves.vol == {"curve": [("1M", 0.21), ("6M", 0.23), ("2025-06-30", 0.24)]}
    assert pickle.loads(pickle.dumps(curves)) == curves
    assert curves.with_spot(3600.0).spot == 3600.0 and curves.with_spot(3600.0) != curves
    # Dates as datetime.date in a curve.
    dated = kestrel.Market(3500.0, {"curve": [[datetime.date(2025, 6, 30), 0.02]]}, 0.2, 0.0, EVAL)
    assert dated.r == {"curve": [("2025-06-30", 0.02)]}


def test_forwards_imply_the_carry_with_the_r_curve():
    # F = S exp((r - q) t): a forward above spot at 2 % over 1 % carry.
    t = (datetime.date(2025, 6, 30) - datetime.date(2024, 6, 28)).days / 365
    import math
    forward = 3500.0 * math.exp((0.02 - 0.01) * t)
    m = kestrel.Market(3500.0, 0.02, 0.2, {"forwards": [["2025-06-30", forward]]}, EVAL)
    (pillar, q), = m.q["curve"]
    assert pillar == "2025-06-30" and q == pytest.approx(0.01, abs=1e-12)


@pytest.mark.parametrize("r, vol, q, words", [
    ({"curve": [["1Y", 0.02], ["3M", 0.01]]}, 0.2, 0.0, ["\"r\"", "2"]),
    (0.02, {"curve": [["1M", 0.3], ["2M", 0.1]]}, 0.0, ["\"vol\"", "variance"]),
    (0.02, -0.2, 0.0, ["vol", "negative"]),
    (0.02, 0.2, {"forwards": [["2024-06-01", 3500.0]]}, ["\"q\"", "2024-06-01"]),
    (0.02, 0.2, {"forwards": [["2025-06-30", 0.0]]}, ["\"q\""]),
    (0.02, {"curve": []}, 0.0, ["\"vol\""]),
    (float("nan"), 0.2, 0.0, ["r", "finite"]),
    (0.02, 0.2, {"curve": [["1Y", float("inf")]]}, ["\"q\"", "finite"]),
])
def test_a_wrong_entry_is_a_value_error_naming_it(r, vol, q, words):
    with pytest.raises((ValueError, TypeError)) as e:
        kestrel.Market(3500.0, r, vol, q, EVAL)
    for w in words:
        assert w in str(e.value)


def test_every_method_on_a_market_of_numbers_is_the_plain_number_value(bundled):
    kestrel.random_sample.set_paths(2000)
    m = dict(MARKET, spot=5100.0)
    market = kestrel.Market(m["spot"], m["r"], m["vol"], m["q"])
    note = kestrel.SnowBallOption(snowball_terms(ki_barrier=4000.0))
    assert note.npv(market, EVAL) == note.npv(**m, evaluation_date=EVAL)
    assert note.greeks(market, EVAL) == note.greeks(**m, evaluation_date=EVAL)
    assert note.carry_rho(market, EVAL) == note.carry_rho(**m, evaluation_date=EVAL)
    assert note.statistics(market, EVAL) == note.statistics(**m, evaluation_date=EVAL)
    assert note.fair_coupon_rate(market, EVAL, 5.0) == note.fair_coupon_rate(**m, evaluation_date=EVAL, target=5.0)
    spots = [4800.0, 5100.0, 5400.0]
    ladder = note.spot_ladder(spots, market, EVAL, True)
    assert ladder == note.spot_ladder(spots, m["r"], m["vol"], m["q"], EVAL, True)
    # Each entry is the valuation at that spot alone.
    for s, (npv, delta, gamma) in zip(spots, ladder):
        assert npv == note.npv(market.with_spot(s), EVAL)
    assert note.spot_ladder(spots, market, EVAL) == [v for v, _, _ in ladder]


def test_curves_of_one_level_value_as_the_numbers_and_curves_move_the_value(bundled):
    kestrel.random_sample.set_paths(2000)
    note = kestrel.SnowBallOption(snowball_terms(ki_barrier=4000.0))
    plain = kestrel.Market(5100.0, 0.021, 0.23, 0.012)
    flat = kestrel.Market(5100.0, **flat_curves(0.021, 0.23, 0.012), evaluation_date=EVAL)
    for method in ("npv", "carry_rho"):
        want = getattr(note, method)(plain, EVAL)
        assert getattr(note, method)(flat, EVAL) == pytest.approx(want, rel=1e-9, abs=1e-9)
    want = note.fair_coupon_rate(plain, EVAL)["fair_coupon_rate"]
    assert note.fair_coupon_rate(flat, EVAL)["fair_coupon_rate"] == pytest.approx(want, rel=1e-12)
    # A steep futures discount (q well above r) makes the coupon dearer.
    steep = kestrel.Market(5100.0, **CURVES, evaluation_date=EVAL)
    assert note.fair_coupon_rate(steep, EVAL)["fair_coupon_rate"] > want
    assert note.statistics(steep, EVAL)["knock_out_probability"] < note.statistics(plain, EVAL)["knock_out_probability"]


def test_carry_rho_is_the_value_for_q_down_minus_q_up(bundled):
    option = kestrel.make_option(vanilla_terms())
    m = kestrel.Market(3500.0, 0.021, 0.23, 0.012)
    want = option.npv(3500.0, 0.021, 0.23, 0.012 - 0.005, EVAL) - option.npv(3500.0, 0.021, 0.23, 0.012 + 0.005, EVAL)
    assert option.carry_rho(m, EVAL) == want
    assert option.carry_rho(3500.0, 0.021, 0.23, 0.012, EVAL) == want
    # A call gains when the carry falls.
    assert want > 0
    curves = kestrel.Market(3500.0, **CURVES, evaluation_date=EVAL)
    shifted = option.npv(curves.with_q_shift(-0.005), EVAL) - option.npv(curves.with_q_shift(0.005), EVAL)
    assert option.carry_rho(curves, EVAL) == shifted


def test_a_calibrated_surface_reads_back_pickles_and_values_alike(bundled):
    import os
    data = os.environ.get("KESTREL_DATA_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "data"))
    quotes = os.path.join(data, "options", "510050.XSHG-2023-12-04.csv")
    smile = kestrel.Market(2.367, 0.02, {"local": {"quotes": quotes}}, 0.0, "2023-12-04")
    # The at-the-money vol on the quotes' own carry (forwards above spot).
    flat = kestrel.Market(2.367, 0.02, 0.151, smile.q, "2023-12-04")
    assert smile.has_surface and smile.surface_date == "2023-12-04" and not flat.has_surface
    entry = smile.vol["local"]
    assert entry["forwards"] == "parity" and len(entry["quotes"]) == 160
    assert "calibrated on 2023-12-04" in repr(smile)
    # A 90 % put on the ETF, 3 months: the smile's skew puts it above the flat ATM value.
    put = kestrel.VanillaOption(dict(effect_date="2023-12-04", maturity_date="2024-03-04",
                                     underlying="510050.XSHG", s0=2.367, notional=1.0, type="vanilla",
                                     call_put="put", strike=2.13, exercise_type="european",
                                     payoff_type="plain_vanilla"))
    on_smile = put.npv(smile, "2023-12-04")
    assert on_smile > put.npv(flat, "2023-12-04")
    # The surface travels as its quotes and settings and comes back the same:
    # same value, same vega shifts (a shifted surface pickles its moved quotes).
    back = pickle.loads(pickle.dumps(smile))
    assert back.has_surface and back.vol == smile.vol and back.q == smile.q
    assert put.npv(back, "2023-12-04") == on_smile
    up = smile.with_vol_shift(0.01)
    assert put.npv(pickle.loads(pickle.dumps(up)), "2023-12-04") == put.npv(up, "2023-12-04")
    assert pickle.loads(pickle.dumps(smile.with_spot(2.4))).spot == 2.4
