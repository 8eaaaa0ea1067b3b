"""Market data from the caller's own Python client (pandas DataFrames), and the
bundled stores as Python objects."""
import os
import threading

import pandas as pd
import pytest

import kestrel
from support import EVAL, MARKET, barrier_terms, snowball_terms, vanilla_terms

DATA = os.environ.get("KESTREL_DATA_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "data"))


def read_prices(instrument):
    frame = pd.read_csv(os.path.join(DATA, "prices", f"{instrument}.csv"), parse_dates=["date"])
    return frame.set_index("date")


class PandasClient:
    """A desk's data client: pandas only, nothing from kestrel. Trading days are
    the dates of its first instrument's history; it records every request."""

    def __init__(self, frames):
        self.frames = frames
        self.calendar = next(iter(frames.values())).index
        self.requests = []

    def get_previous_trading_date(self, date):
        return self.calendar[self.calendar.searchsorted(pd.Timestamp(date), "left") - 1]

    def get_next_trading_date(self, date):
        return self.calendar[self.calendar.searchsorted(pd.Timestamp(date), "right")]

    def get_trading_dates(self, start, end):
        return self.calendar[(self.calendar >= start) & (self.calendar <= end)]

    def get_price(self, order_book_id, start, end, fields="close", adjust_type="pre", expect_df=True):
        self.requests.append((order_book_id, start, end, fields, adjust_type, expect_df))
        rows = self.frames[order_book_id].loc[start:end]
        if rows.empty:
            return None
        out = rows[[fields] if isinstance(fields, str) else list(fields)].copy()
        out.index = pd.MultiIndex.from_arrays([[order_book_id] * len(out), out.index],
                                              names=["order_book_id", "date"])
        return out


@pytest.fixture
def csi300():
    return read_prices("000300.XSHG")


def test_a_python_client_gives_the_values_of_the_bundled_store(csi300):
    client = PandasClient({"000300.XSHG": csi300})
    kestrel.heron.install(client)
    assert kestrel.heron.installed() is client
    option = kestrel.BarrierOption(barrier_terms())
    for date in (EVAL, "2024-10-31"):
        through_python = (option.triggered(date), option.greeks(**MARKET, evaluation_date=date))
        kestrel.heron.install(kestrel.heron.bundled_store())
        bundled = kestrel.BarrierOption(barrier_terms())
        assert through_python == (bundled.triggered(date), bundled.greeks(**MARKET, evaluation_date=date))
        kestrel.heron.install(client)


def test_barrier_triggered_follows_the_clients_history(csi300):
    history = csi300.copy()
    history.loc["2024-03-15", "close"] = 4000.01  # one close a tick above the up barrier
    client = PandasClient({"000300.XSHG": history})
    kestrel.heron.install(client)
    option = kestrel.BarrierOption(barrier_terms(barrier=4000.0))
    assert option.triggered("2024-03-14") is False
    assert option.triggered("2024-03-15") is True
    # What the product asked for: adjusted closes from its effect date, as a table.
    order_book_id, start, end, fields, adjust_type, expect_df = client.requests[-1]
    assert (order_book_id, fields, adjust_type, expect_df) == ("000300.XSHG", "close", "pre", True)
    assert (start, end) == (pd.Timestamp("2024-01-02"), pd.Timestamp("2024-03-15"))
    assert type(start) is pd.Timestamp
    # Knocked out: worth its rebate.
    assert option.npv(**MARKET, evaluation_date="2024-03-15") == 5.0
    history.loc["2024-03-15", "close"] = 4000.0  # equal to the barrier crosses nothing
    assert option.triggered("2024-03-15") is False


def test_snowball_history_check_reads_the_clients_closes():
    csi500 = read_prices("000905.XSHG")
    client = PandasClient({"000905.XSHG": csi500})
    kestrel.heron.install(client)
    kestrel.random_sample.set_paths(2000)
    market = dict(MARKET, spot=5100.0)
    # ki_barrier 4000: the real history neither knocked in nor out by 28 June.
    note = kestrel.SnowBallOption(snowball_terms(ki_barrier=4000.0))
    alive = note.npv(**market, evaluation_date=EVAL)
    requests = len(client.requests)
    assert client.requests[-1][0] == "000905.XSHG" and client.requests[-1][3:] == ("close", "pre", True)

    # A close below ki_barrier on a knock-in date: knocked in, every path bears the loss.
    csi500.loc["2024-04-16", "close"] = 3999.99
    knocked_in = note.npv(**market, evaluation_date=EVAL)
    assert knocked_in < alive
    assert len(client.requests) == requests + 1  # the history is fetched again for every valuation

    # A close above ko_barrier on a knock-out date: knocked out, worth nothing.
    ko_date = note.ko_obs_dates[2]
    csi500.loc[pd.Timestamp(ko_date), "close"] = 5562.01
    assert note.npv(**market, evaluation_date=EVAL) == 0.0
    assert note.greeks(**market, evaluation_date=EVAL) == (0.0,) * 6
    # The knock-out date itself counts once the client has its close.
    assert note.npv(**market, evaluation_date=ko_date) == 0.0
    assert note.npv(**market, evaluation_date=note.ko_obs_dates[1]) != 0.0


def test_double_touch_asks_for_lows_and_highs(csi300):
    client = PandasClient({"000300.XSHG": csi300})
    kestrel.heron.install(client)
    touch = kestrel.make_option(dict(vanilla_terms(type="tandem"), touch_type="double_one_touch",
                                     touch_price_lo=3000.0, touch_price_hi=3800.0, pay_at="expiry"))
    assert touch.triggered(EVAL) is False
    assert client.requests[-1][3] == ["low", "high"]
    assert touch.triggered("2024-10-08") is True  # the October rally passed 3800


def test_no_history_means_not_triggered(csi300):
    client = PandasClient({"000300.XSHG": csi300})
    client.get_price = lambda *args, **kwargs: None
    kestrel.heron.install(client)
    assert kestrel.BarrierOption(barrier_terms(barrier=3500.0)).triggered("2024-10-31") is False


class DeskError(Exception):
    pass


def test_the_clients_own_errors_pass_through_unchanged(csi300):
    client = PandasClient({"000300.XSHG": csi300})
    kestrel.heron.install(client)
    option = kestrel.BarrierOption(barrier_terms())
    failure = DeskError("quote server unreachable")

    def broken(*args, **kwargs):
        raise failure

    client.get_price = broken
    with pytest.raises(DeskError) as info:
        option.npv(**MARKET, evaluation_date=EVAL)
    assert info.value is failure
    with pytest.raises(DeskError) as info:
        option.greeks(**MARKET, evaluation_date=EVAL)
    assert info.value is failure
    # A built-in exception class keeps its identity too, not a translated copy.
    missing = KeyError("600000.XSHG")
    client.get_price = lambda *a, **k: (_ for _ in ()).throw(missing)
    with pytest.raises(KeyError) as info:
        option.triggered(EVAL)
    assert info.value is missing
    # Errors during construction (the maturity roll asks the client).
    client.get_previous_trading_date = broken
    with pytest.raises(DeskError) as info:
        kestrel.BarrierOption(barrier_terms())
    assert info.value is failure


def test_malformed_answers_are_typed_errors(csi300):
    client = PandasClient({"000300.XSHG": csi300})
    kestrel.heron.install(client)
    option = kestrel.BarrierOption(barrier_terms())
    answer = client.get_price
    cases = [
        (lambda *a, **k: [1.0, 2.0], TypeError, "expected None or a pandas DataFrame, got list"),
        (lambda *a, **k: answer(*a, **k).rename(columns={"close": "last"}), KeyError, "close"),
        (lambda *a, **k: answer(*a, **k).rename(index={"000300.XSHG": "000905.XSHG"}), ValueError,
         "rows of '000905.XSHG' in the answer to a request for '000300.XSHG'"),
        (lambda *a, **k: pd.concat([answer(*a, **k)] * 2), ValueError, "holds 2024-01-02 twice"),
    ]
    for fake, cls, text in cases:
        client.get_price = fake
        with pytest.raises(cls) as info:
            option.triggered(EVAL)
        assert text in str(info.value)


def test_any_reasonable_answer_shape_is_read(csi300):
    client = PandasClient({"000300.XSHG": csi300})
    kestrel.heron.install(client)
    option = kestrel.BarrierOption(barrier_terms(barrier=3500.0))
    expected = option.triggered("2024-05-20")
    answer = client.get_price
    shapes = {
        "reverse order": lambda *a, **k: answer(*a, **k).iloc[::-1],
        "date index only": lambda *a, **k: answer(*a, **k).droplevel("order_book_id"),
        "dates as datetime.date": lambda *a, **k: answer(*a, **k).droplevel(0).set_axis(
            [d.date() for d in answer(*a, **k).index.get_level_values(1)]),
        "integer closes": lambda *a, **k: answer(*a, **k).round().astype("int64"),
    }
    for name, fake in shapes.items():
        client.get_price = fake
        assert option.triggered("2024-05-20") == expected, name


def test_install_accepts_only_clients():
    class Partial:
        def get_price(self, *args, **kwargs):
            return None

    with pytest.raises(TypeError) as info:
        kestrel.heron.install(Partial())
    assert str(info.value) == ("heron.install: Partial lacks the market-data method(s) get_previous_trading_date, "
                               "get_next_trading_date, get_trading_dates")
    assert kestrel.heron.installed() is None


def test_python_client_from_several_threads(csi300):
    # Valuations release the GIL and the client takes it back for each call:
    # several Python threads pricing through a Python client neither deadlock
    # nor mix up their answers.
    kestrel.heron.install(PandasClient({"000300.XSHG": csi300}))
    option = kestrel.BarrierOption(barrier_terms(barrier=3700.0))
    dates = ["2024-02-05", "2024-05-20", "2024-06-28", "2024-09-30"] * 3
    expected = {d: (option.triggered(d), option.npv(**MARKET, evaluation_date=d)) for d in set(dates)}
    results = [None] * len(dates)

    def work(i):
        results[i] = (option.triggered(dates[i]), option.npv(**MARKET, evaluation_date=dates[i]))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(dates))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads)
    assert results == [expected[d] for d in dates]


def test_stores_answer_with_dataframes(tmp_path, csi300):
    store = kestrel.heron.MemoryStore()
    bars = csi300.loc["2024-01-02":"2024-01-31", ["open", "high", "low", "close"]]
    assert store.add("000300.XSHG", "pre", bars) == 0
    table = store.get_price("000300.XSHG", "2024-01-01", "2024-01-10", fields=["close", "high"])
    assert list(table.index.names) == ["order_book_id", "date"]
    assert list(table.columns) == ["close", "high"]
    pd.testing.assert_frame_equal(table.droplevel("order_book_id"),
                                  bars.loc["2024-01-02":"2024-01-10", ["close", "high"]], check_names=False,
                                  check_freq=False)
    assert store.get_price("000300.XSHG", "2025-01-01", "2025-02-01") is None

    kestrel.heron.install(store)
    assert kestrel.heron.get_previous_trading_date("2024-02-10") == pd.Timestamp("2024-02-08").date()
    assert kestrel.heron.get_trading_dates("2024-02-08", "2024-02-19")[-1] == pd.Timestamp("2024-02-19").date()

    db = kestrel.heron.SqliteStore(str(tmp_path / "prices.db"))
    reports = db.import_directory(os.path.join(DATA, "prices"))
    assert {r["instrument"] for r in reports} >= {"000300.XSHG", "600519.XSHG"}
    from_db = db.get_price("000300.XSHG", "2024-01-01", "2024-01-10", fields=["close", "high"])
    pd.testing.assert_frame_equal(from_db, table)
