"""kestrel.calendar: projected years, and an official list followed by the calendar,
the stores' trading-day operations and the products alike."""
import datetime

import pytest

import kestrel

D = datetime.date


@pytest.fixture
def clean_calendar():
    yield
    kestrel.calendar.clear_official_closures()


def test_projected_closures_are_marked_and_published_ones_win():
    cal = kestrel.calendar
    assert cal.covered_until() == D(2026, 12, 31)
    assert cal.projected_until() == D(2050, 12, 31)
    # The 2027 Lunar New Year is Saturday 6 February: its eve and the week after close.
    spring = cal.closures("2027-02-01", "2027-02-28")
    assert [c[0] for c in spring] == [D(2027, 2, 5)] + [D(2027, 2, d) for d in range(8, 13)]
    assert {c[1:] for c in spring} == {("Spring Festival", "projected")}
    assert cal.closures("2026-02-16", "2026-02-16") == [(D(2026, 2, 16), "Spring Festival", "published")]
    assert cal.projected_years("2026-12-01", "2028-06-30") == [2027, 2028]
    assert not cal.is_trading_day("2027-10-01") and cal.is_trading_day(D(2027, 10, 8))


def test_a_stores_list_is_in_force_only_inside_its_scope(tmp_path, clean_calendar):
    prices = tmp_path / "p.csv"
    prices.write_text("date,open,high,low,close\n2027-01-04,100,101,99,100\n")
    store = kestrel.heron.SqliteStore(str(tmp_path / "p.db"))
    store.import_csv(str(prices), "TEST.XSHG", "pre")
    bad = tmp_path / "bad.csv"
    bad.write_text("date,holiday\n2027-01-04,Bridge\n")
    before = (tmp_path / "p.db").read_bytes()
    with pytest.raises(ValueError, match=r"bad.csv:2: 2027-01-04 is a trading day in the price history"):
        store.import_closures(str(bad))
    assert (tmp_path / "p.db").read_bytes() == before and len(store.official_closures()) == 0

    official = tmp_path / "h.csv"
    official.write_text("date,holiday\n2027-02-04,Spring Festival\n2027-02-05,Spring Festival\n")
    assert store.import_closures(str(official)) == [2027]
    # Importing, opening and installing a store change no calendar.
    reopened = kestrel.heron.SqliteStore(str(tmp_path / "p.db"), read_only=True)
    kestrel.heron.install(reopened)
    assert kestrel.calendar.official_years() == []
    assert kestrel.heron.get_next_trading_date("2027-02-03") == D(2027, 2, 4)
    terms = {
        "effect_date": "2027-01-04", "maturity_date": "2027-12-31", "underlying": "TEST.XSHG", "s0": 100.0,
        "notional": 1.0, "strike": 100.0, "ki_barrier": 80.0, "ko_barrier": 103.0, "coupon_rate": 0.1,
        "ki_obs_freq": "daily", "ko_obs_freq": ["2027-02-04"], "obs_start_date": "2027-01-04",
        "obs_end_date": "2027-12-31"}
    assert list(kestrel.SnowBallOption(terms).ko_obs_dates) == [D(2027, 2, 4)]
    with kestrel.calendar.ScopedClosures(reopened):
        assert kestrel.calendar.official_years() == [2027]
        assert kestrel.heron.get_next_trading_date("2027-02-03") == D(2027, 2, 8)
        assert kestrel.calendar.trading_days("2027-02-03", "2027-02-09") == [D(2027, 2, 3), D(2027, 2, 8),
                                                                            D(2027, 2, 9)]
        assert kestrel.calendar.covered_until() == D(2027, 12, 31)
        # A product's schedule rolls onto the same calendar.
        assert list(kestrel.SnowBallOption(terms).ko_obs_dates) == [D(2027, 2, 8)]
    assert kestrel.calendar.official_years() == [] and kestrel.calendar.covered_until() == D(2026, 12, 31)


def test_closure_lists_are_values_that_travel_and_scope_per_thread(tmp_path, clean_calendar):
    import pickle
    import threading

    path = tmp_path / "h.csv"
    path.write_text("date,holiday\n2027-02-04,Spring Festival\n2027-02-05,Spring Festival\n")
    listed = kestrel.calendar.read_closures(str(path))
    assert listed.years == [2027] and len(listed) == 2 and listed.source == str(path)
    back = pickle.loads(pickle.dumps(listed))
    assert back.years == listed.years and back.closures == listed.closures == [
        (D(2027, 2, 4), "Spring Festival", "official"), (D(2027, 2, 5), "Spring Festival", "official")]
    assert kestrel.calendar.official_years() == []

    seen = {}
    with kestrel.calendar.ScopedClosures(back):
        worker = threading.Thread(target=lambda: seen.update(other=kestrel.calendar.is_trading_day("2027-02-04")))
        worker.start()
        worker.join()
        assert not kestrel.calendar.is_trading_day("2027-02-04")
        with kestrel.calendar.ScopedClosures(kestrel.heron.MemoryStore()):  # no list: nothing changes
            assert not kestrel.calendar.is_trading_day("2027-02-04")
    assert seen == {"other": True} and kestrel.calendar.is_trading_day("2027-02-04")

    # The process default, for every thread outside a scope.
    assert kestrel.calendar.load_closures(str(path)) == [2027]
    assert not kestrel.calendar.is_trading_day("2027-02-04")
    bad = tmp_path / "bad.csv"
    bad.write_text("date,holiday\n2026-12-31,Bridge\n")
    with pytest.raises(ValueError, match=r"the closures of 2026 are published"):
        kestrel.calendar.read_closures(str(bad))
