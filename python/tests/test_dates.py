"""Every accepted date form names the same day and gives the same value; dates
come back as datetime.date; anything else is a clear error."""
import datetime

import numpy as np
import pandas as pd
import pytest

import kestrel
from support import EVAL, MARKET, barrier_terms, snowball_terms


def forms(day):
    """The accepted forms of one calendar day."""
    d = datetime.date.fromisoformat(day)
    return {
        "text": day,
        "date": d,
        "datetime": datetime.datetime(d.year, d.month, d.day),
        "Timestamp": pd.Timestamp(day),
        "datetime64[D]": np.datetime64(day),
        "datetime64[ns]": np.datetime64(day, "ns"),
    }


def test_every_form_gives_the_same_contract_and_value(bundled):
    reference = kestrel.BarrierOption(barrier_terms())
    expected = (reference.effect_date, reference.maturity_date,
                reference.greeks(**MARKET, evaluation_date="2024-06-28"))
    effect, maturity, evaluation = forms("2024-01-02"), forms("2024-12-31"), forms("2024-06-28")
    for name in effect:
        option = kestrel.BarrierOption(barrier_terms(effect_date=effect[name], maturity_date=maturity[name]))
        got = (option.effect_date, option.maturity_date,
               option.greeks(**MARKET, evaluation_date=evaluation[name]))
        assert got == expected, name
        assert reference.triggered(evaluation[name]) == reference.triggered("2024-06-28"), name


def test_dates_come_back_as_dates(bundled):
    option = kestrel.BarrierOption(barrier_terms(effect_date=pd.Timestamp("2024-01-02"),
                                                 maturity_date=datetime.datetime(2024, 12, 28)))
    for value in (option.effect_date, option.maturity_date,
                  kestrel.heron.get_next_trading_date(pd.Timestamp("2024-09-30")),
                  *kestrel.heron.get_trading_dates("2024-09-27", "2024-10-09")):
        assert type(value) is datetime.date
    assert option.maturity_date == datetime.date(2024, 12, 30)
    # The National Day holiday: 30 September, then 8 October.
    assert kestrel.heron.get_trading_dates("2024-09-27", "2024-10-09") == [
        datetime.date(2024, 9, 27), datetime.date(2024, 9, 30), datetime.date(2024, 10, 8),
        datetime.date(2024, 10, 9)]


def test_explicit_schedules_take_lists_of_any_date_form(bundled):
    kestrel.random_sample.set_paths(1000)
    days = ["2024-03-29", "2024-06-28", "2024-09-30", "2024-12-31"]
    as_text = kestrel.SnowBallOption(snowball_terms(ko_obs_freq=days, ki_barrier=4000.0))
    mixed = [forms(days[0])["date"], forms(days[1])["Timestamp"], forms(days[2])["datetime64[D]"],
             forms(days[3])["datetime"]]
    for schedule in (mixed, tuple(mixed), pd.DatetimeIndex(days), np.array(days, dtype="datetime64[D]")):
        note = kestrel.SnowBallOption(snowball_terms(ko_obs_freq=schedule, ki_barrier=4000.0))
        assert note.ko_obs_dates == as_text.ko_obs_dates == [datetime.date.fromisoformat(d) for d in days]
        assert note.ko_obs_freq == as_text.ko_obs_dates  # the list as given, back as dates
        market = dict(MARKET, spot=5100.0)
        assert note.npv(**market, evaluation_date=EVAL) == as_text.npv(**market, evaluation_date=EVAL)


BAD_DATES = {
    "time of day": (datetime.datetime(2024, 6, 28, 15, 0), ValueError, "is not at midnight"),
    "nanoseconds": (pd.Timestamp("2024-06-28") + pd.Timedelta(1, "ns"), ValueError, "is not at midnight"),
    "time zone": (pd.Timestamp("2024-06-28", tz="Asia/Shanghai"), ValueError, "has a time zone"),
    "datetime64 with a time": (np.datetime64("2024-06-28T09:30"), ValueError, "a time of day"),
    "NaT": (pd.NaT, ValueError, "not a date (NaT)"),
    "datetime64 NaT": (np.datetime64("NaT"), ValueError, "not a date (NaT)"),
    "slashes": ("2024/06/28", ValueError, "invalid date: '2024/06/28' (expected YYYY-MM-DD)"),
    "impossible day": ("2024-06-31", ValueError, "invalid date: '2024-06-31'"),
    "out of QuantLib's range": (datetime.date(1850, 1, 1), ValueError, "invalid date: '1850-01-01'"),
    "a number": (20240628, TypeError, "evaluation_date: expected a date"),
}


@pytest.mark.parametrize("case", sorted(BAD_DATES))
def test_bad_evaluation_dates(case, bundled):
    value, cls, text = BAD_DATES[case]
    option = kestrel.BarrierOption(barrier_terms())
    with pytest.raises(cls) as info:
        option.npv(**MARKET, evaluation_date=value)
    assert text in str(info.value)


def test_bad_dates_in_terms_name_the_key(bundled):
    with pytest.raises(ValueError, match=r"^maturity_date: .* is not at midnight"):
        kestrel.BarrierOption(barrier_terms(maturity_date=datetime.datetime(2024, 12, 31, 9, 30)))
    with pytest.raises(ValueError, match=r"^effect_date: not a date \(NaT\)"):
        kestrel.BarrierOption(barrier_terms(effect_date=pd.NaT))
