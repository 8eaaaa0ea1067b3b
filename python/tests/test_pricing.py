"""Values through Python are the C++ library's values, bit for bit; the Python
surface (classes, signatures, OptionGreeks, attributes, settings) is as documented."""
import datetime
import threading

import pytest

import kestrel
from support import EVAL, MARKET, asian_terms, barrier_terms, snowball_terms, vanilla_terms

GREEK_FIELDS = ("npv", "delta", "gamma", "vega", "theta", "rho")


def assert_same_bits(python_greeks, cli_answer):
    # == on floats is exact: any difference in the last bit fails.
    assert list(cli_answer) == list(GREEK_FIELDS)
    for name in GREEK_FIELDS:
        assert getattr(python_greeks, name) == cli_answer[name], name


# (terms, evaluation date, Monte Carlo paths) priced both ways.
PARITY_CASES = {
    "barrier_alive": (barrier_terms(), EVAL, None),
    "barrier_knocked_out": (barrier_terms(), "2024-10-31", None),  # CSI 300 rallied above 4000 in October
    "barrier_down_and_in_american": (
        barrier_terms(barrier_type="down_and_in", barrier=3200.0, exercise_type="american",
                      payoff_type="cash_or_nothing", digital_payoff=100.0), EVAL, None),
    "snowball_knocked_in": (snowball_terms(), EVAL, 3000),
    "snowball_alive": (snowball_terms(ki_barrier=4000.0, effect_date="2024-03-01", obs_start_date="2024-03-01",
                                      maturity_date="2025-03-03", obs_end_date="2025-03-03"), EVAL, 3000),
    "phoenix": (snowball_terms(type="phoenix", ki_barrier=4000.0), EVAL, 3000),
    "snowball_pde": (snowball_terms(engine="pde"), EVAL, None),
    "phoenix_pde": (snowball_terms(type="phoenix", ki_barrier=4000.0, engine="pde"), EVAL, None),
    "phoenix_memory_step_down": (snowball_terms(type="phoenix", ki_barrier=4000.0, ko_barrier_step=50.0,
                                                coupon_barrier=4800.0, memory=True, floor_price=4000.0),
                                 EVAL, 3000),
    "asian_geometric": (asian_terms(), EVAL, None),
    # Monte Carlo to QuantLib's tolerance: a short one, and its value only (greeks would take nine).
    "asian_arithmetic_put": (asian_terms(average_type="arithmetic", call_put="put", maturity_date="2024-07-31"),
                             EVAL, None),
}
VALUE_ONLY = {"asian_arithmetic_put"}


@pytest.mark.parametrize("case", sorted(PARITY_CASES))
def test_values_equal_the_command_line(case, bundled, cli):
    terms, date, paths = PARITY_CASES[case]
    if paths is not None:
        kestrel.random_sample.set_paths(paths)
    option = kestrel.make_option(terms)
    m = MARKET if terms["underlying"] == "000300.XSHG" else dict(MARKET, spot=5100.0)
    npv = option.npv(m["spot"], m["r"], m["vol"], m["q"], date)
    assert npv == cli(terms, **m, date=date, paths=paths)["npv"]
    if case in VALUE_ONLY:
        return
    greeks = option.greeks(m["spot"], m["r"], m["vol"], m["q"], date)
    assert_same_bits(greeks, cli(terms, **m, date=date, greeks=True, paths=paths))
    assert greeks.npv == npv


def test_every_method_takes_positional_and_keyword_arguments(bundled):
    option = kestrel.BarrierOption(barrier_terms())
    m = MARKET
    for method in ("npv", "greeks", "delta", "gamma", "vega", "rho", "theta"):
        f = getattr(option, method)
        positional = f(m["spot"], m["r"], m["vol"], m["q"], EVAL)
        keywords = f(q=m["q"], vol=m["vol"], evaluation_date=EVAL, r=m["r"], spot=m["spot"])
        assert positional == keywords, method
    assert option.triggered(EVAL) == option.triggered(evaluation_date=EVAL) is False
    with pytest.raises(TypeError):
        option.npv(m["spot"], m["r"], m["vol"])  # q is required


def test_single_greeks_agree_with_the_greeks_record(bundled):
    option = kestrel.VanillaOption(vanilla_terms())
    m = MARKET
    g = option.greeks(**m, evaluation_date=EVAL)
    assert g.delta == option.delta(**m, evaluation_date=EVAL)
    assert g.vega == option.vega(**m, evaluation_date=EVAL)
    assert g.rho == option.rho(**m, evaluation_date=EVAL)
    assert g.theta == option.theta(**m, evaluation_date=EVAL)
    # The record's gamma is spot x gamma().
    assert g.gamma == pytest.approx(m["spot"] * option.gamma(**m, evaluation_date=EVAL), rel=1e-12)


def test_npv_without_a_date_values_as_of_today(bundled):
    # A contract well in the future, so today's valuation is defined on any day.
    option = kestrel.VanillaOption(vanilla_terms(effect_date="2030-01-02", maturity_date="2030-12-31"))
    today = datetime.date.today()
    assert option.npv(**MARKET) == option.npv(**MARKET, evaluation_date=today)
    assert option.npv(**MARKET, evaluation_date=None) == option.npv(**MARKET, evaluation_date=today)


def test_option_greeks_is_a_named_tuple():
    g = kestrel.OptionGreeks(1, 2, 3, 4, 5, 6)
    assert type(g).__name__ == "OptionGreeks"
    assert kestrel.OptionGreeks._fields == GREEK_FIELDS
    assert isinstance(g, tuple) and len(g) == 6
    assert (g.theta, g.rho, g[4], g[5]) == (5, 6, 5, 6)
    assert tuple(g) == (1, 2, 3, 4, 5, 6)
    with pytest.raises(AttributeError):
        g.npv = 0.0
    npv, delta, *_ = g
    assert (npv, delta) == (1, 2)


def test_greeks_returns_the_package_record(bundled):
    g = kestrel.VanillaOption(vanilla_terms()).greeks(**MARKET, evaluation_date=EVAL)
    assert type(g) is kestrel.OptionGreeks
    assert all(type(x) is float for x in g)


def test_make_option_builds_the_named_class(bundled):
    kestrel.random_sample.set_paths(500)
    cases = {"vanilla": (vanilla_terms(), kestrel.VanillaOption),
             "barrier": (barrier_terms(), kestrel.BarrierOption),
             "snowball": (snowball_terms(), kestrel.SnowBallOption),
             "phoenix": (snowball_terms(type="phoenix"), kestrel.PhoenixOption),
             "asian": (asian_terms(), kestrel.AsianOption)}
    for name, (terms, cls) in cases.items():
        option = kestrel.make_option(terms)
        assert type(option) is cls, name
        assert isinstance(option, kestrel.BaseOption)
        assert option.npv(**MARKET, evaluation_date=EVAL) == cls(terms).npv(**MARKET, evaluation_date=EVAL)
    assert {"vanilla", "barrier", "corridor", "tandem", "snowball", "phoenix",
            "asian"} <= set(kestrel.known_types())


def test_terms_come_back_as_attributes(bundled):
    terms = barrier_terms(maturity_date="2024-12-28", s0=3400, notional="1mm", pay_at="expiry")
    option = kestrel.BarrierOption(terms)
    assert option.effect_date == datetime.date(2024, 1, 2)
    assert option.maturity_date == datetime.date(2024, 12, 30)  # a Saturday rolls to Monday
    assert type(option.maturity_date) is datetime.date
    # Stored unchanged, type included.
    assert option.underlying == "000300.XSHG"
    assert option.s0 == 3400 and type(option.s0) is int
    assert option.notional == "1mm"
    assert (option.call_put, option.barrier_type, option.barrier, option.rebate, option.strike) == \
        ("call", "up_and_out", 4000.0, 5.0, 3400.0)
    assert (option.exercise_type, option.payoff_type, option.pay_at_expiry, option.digital_payoff) == \
        ("european", "plain_vanilla", True, None)
    # The inner vanilla option a knock-in turns into, owned by the barrier option.
    inner = option._vanilla
    assert type(inner) is kestrel.VanillaOption and inner.strike == 3400.0
    del option
    assert inner.maturity_date == datetime.date(2024, 12, 30)
    with pytest.raises(AttributeError):
        inner.strike = 1.0


def test_numpy_numbers_in_terms_are_numbers(bundled):
    import numpy as np
    plain = kestrel.BarrierOption(barrier_terms())
    option = kestrel.BarrierOption(barrier_terms(strike=np.float64(3400.0), barrier=np.float32(4000.0),
                                                 rebate=np.int64(5), s0=np.int32(3400)))
    assert (option.strike, option.barrier, option.rebate) == (3400.0, 4000.0, 5.0)
    assert option.s0 == 3400 and type(option.s0) is int
    assert option.npv(**MARKET, evaluation_date=EVAL) == plain.npv(**MARKET, evaluation_date=EVAL)


def test_note_terms_schedules_and_coupons(bundled):
    note = kestrel.SnowBallOption(snowball_terms())
    assert (note.strike, note.ki_barrier, note.ko_barrier, note.coupon_rate) == (5400.0, 4500.0, 5562.0, 0.15)
    assert (note.ki_obs_freq, note.ko_obs_freq) == ("daily", "monthly")
    assert (note.obs_start_date, note.obs_end_date) == (datetime.date(2024, 1, 2), datetime.date(2025, 1, 2))
    assert note.ko_obs_dates[:3] == [datetime.date(2024, 2, 2), datetime.date(2024, 3, 4), datetime.date(2024, 4, 2)]
    assert note.ki_obs_dates == kestrel.heron.get_trading_dates("2024-01-02", "2025-01-02")
    assert list(note.coupon) == note.ko_obs_dates
    # Accrued from obs_start_date: s0 x rate x days / 365.
    assert note.coupon[datetime.date(2024, 3, 4)] == 5400.0 * 0.15 * 62 / 365


def test_asian_construct_option_carries_the_past_fixings(bundled):
    import math
    asian = kestrel.AsianOption(asian_terms())
    assert (asian.average_type, asian.call_put, asian.strike) == ("geometric", "call", 3600.0)
    assert asian.fixing_dates == kestrel.heron.get_trading_dates("2024-06-03", "2024-12-31")
    closes = asian.past_closes(EVAL)
    assert len(closes) == len(kestrel.heron.get_trading_dates("2024-06-03", EVAL)) == 19
    instrument = asian.construct_option(**MARKET, evaluation_date=EVAL)
    assert type(instrument) is kestrel.AsianInstrument
    assert (instrument.evaluation_date, instrument.average_type, instrument.past_fixings) == \
        (datetime.date(2024, 6, 28), "geometric", 19)
    assert instrument.running_accumulator == pytest.approx(math.prod(closes), rel=1e-12)
    assert instrument.fixing_dates == asian.fixing_dates
    # npv values the same contract at a working price scale: equal up to rounding.
    assert instrument.NPV() == pytest.approx(asian.npv(**MARKET, evaluation_date=EVAL), rel=1e-11)


def test_double_barrier_engine_and_double_touch_inner_option(bundled):
    corridor = kestrel.make_option(dict(vanilla_terms(type="corridor"), barrier_lo=3000.0, barrier_hi=4500.0,
                                        barrier_type="knock_out"))
    assert corridor.engine(**MARKET) == "AnalyticDoubleBarrierEngine"
    assert corridor.engine(3500.0, 0.02, 0.2, 0.0) == corridor.engine(spot=3500.0, r=0.02, vol=0.2, q=0.0)
    assert (corridor.barrier_lo, corridor.barrier_hi, corridor.barrier_type) == (3000.0, 4500.0, "knock_out")

    touch = kestrel.make_option(dict(vanilla_terms(type="tandem"), touch_type="double_no_touch",
                                     touch_price_lo=2500.0, touch_price_hi=5000.0, pay_at="expiry"))
    assert type(touch) is kestrel.DoubleTouchOption
    inner = touch._option
    assert type(inner) is kestrel.DoubleBarrierOption
    assert (inner.barrier_lo, inner.barrier_hi) == (2500.0, 5000.0)
    assert touch.inner_terms()["barrier_lo"] == 2500.0
    assert touch.triggered(EVAL) is False
    assert touch.npv(**MARKET, evaluation_date=EVAL) == pytest.approx(inner.npv(**MARKET, evaluation_date=EVAL))


def test_random_sample_settings_round_trip():
    rs = kestrel.random_sample
    assert (rs.paths(), rs.seed()) == (rs.DEFAULT_PATHS, rs.DEFAULT_SEED)
    rs.set_paths(1234)
    rs.set_seed(99)
    rs.set_threads(1)
    assert (rs.paths(), rs.seed(), rs.threads()) == (1234, 99, 1)
    with pytest.raises(ValueError):
        rs.set_threads(0)
    with pytest.raises(TypeError):
        rs.set_paths(-1)  # not a size
    rs.set_draws("single")
    assert rs.draws() == "single"
    with pytest.raises(ValueError, match="double.*single"):
        rs.set_draws("half")
    rs.reset()
    assert (rs.paths(), rs.seed(), rs.draws()) == (rs.DEFAULT_PATHS, rs.DEFAULT_SEED, "double")
    assert rs.hardware_threads() >= 1


def test_paths_and_seed_reach_the_simulation_and_threads_do_not_change_it(bundled):
    rs = kestrel.random_sample
    note = kestrel.SnowBallOption(snowball_terms(ki_barrier=4000.0))
    rs.set_paths(2000)
    rs.set_threads(1)
    one_thread = note.npv(**MARKET, evaluation_date=EVAL)
    rs.set_threads(2)
    assert note.npv(**MARKET, evaluation_date=EVAL) == one_thread
    rs.set_seed(7)
    other_seed = note.npv(**MARKET, evaluation_date=EVAL)
    assert other_seed != one_thread
    rs.set_paths(4000)
    assert note.npv(**MARKET, evaluation_date=EVAL) not in (one_thread, other_seed)


def test_every_instruction_set_values_a_note_bit_for_bit_the_same(bundled):
    rs = kestrel.random_sample
    have = rs.supported_simd()
    assert have[-1] == "baseline" and "auto" not in have
    with pytest.raises(ValueError, match="auto, avx512, avx2, sse4 or baseline"):
        rs.set_simd("avx")
    note = kestrel.SnowBallOption(snowball_terms(ki_barrier=4000.0))
    rs.set_paths(1500)
    values = {}
    try:
        for name in have:
            rs.set_simd(name)
            assert (rs.simd(), rs.dispatched_simd()) == (name, name)
            values[name] = note.greeks(**MARKET, evaluation_date=EVAL)
        rs.set_simd("auto")
        assert rs.dispatched_simd() == have[0]
    finally:
        rs.set_simd("auto")
    assert all(v == values["baseline"] for v in values.values()), values


def test_valuations_from_several_python_threads(bundled):
    # Valuations release the GIL; QuantLib's process-wide evaluation date is
    # guarded inside the library, so concurrent valuations at different dates
    # each price at their own date.
    option = kestrel.BarrierOption(barrier_terms())
    dates = ["2024-03-29", "2024-06-28", "2024-08-30"] * 4
    expected = {d: option.npv(**MARKET, evaluation_date=d) for d in set(dates)}
    results = [None] * len(dates)

    def work(i):
        results[i] = option.npv(**MARKET, evaluation_date=dates[i])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(dates))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [expected[d] for d in dates]


def test_fair_coupon_and_statistics_equal_the_command_line(bundled, cli):
    terms = snowball_terms(ki_barrier=4000.0, ko_barrier=[5900.0 - 20 * i for i in range(12)],
                           maturity_coupon_rate=0.05)
    kestrel.random_sample.set_paths(3000)
    note = kestrel.SnowBallOption(terms)
    m = dict(MARKET, spot=5100.0)
    fair = note.fair_coupon_rate(**m, evaluation_date=EVAL, target=-10.0)
    assert fair == cli(terms, **m, date=EVAL, paths=3000, extra=["--fair-coupon", "--target", "-10"])
    stats = note.statistics(**m, evaluation_date=EVAL)
    from_cli = cli(terms, **m, date=EVAL, paths=3000, extra=["--stats"])
    by_date = stats.pop("knock_out_by_date")
    assert {str(d): p for d, p in by_date.items()} == from_cli.pop("knock_out_by_date")
    assert stats == from_cli
    assert stats["npv"] == note.npv(**m, evaluation_date=EVAL)
    assert note.ko_barriers == terms["ko_barrier"]
