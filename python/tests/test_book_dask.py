"""The book on a local Dask cluster of two worker processes: bit for bit the one-process
valuation, through a killed worker and with one clear error for a store the workers
cannot open."""
import json
import logging
import os
import signal
import subprocess
import sys

import pytest

distributed = pytest.importorskip("distributed")

import kestrel
from kestrel import book as kbook

from test_book import ARGS, BOOK, MARKET, kestrel_cli, python_cli


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address=None, silence_logs=logging.ERROR)
    with distributed.Client(cluster, set_as_default=False) as c:
        yield c
    cluster.close()


def test_two_local_workers_give_the_command_lines_json_byte_for_byte():
    exe = kestrel_cli()
    cli = subprocess.run([exe, "book", BOOK, "--market", MARKET, "--format", "json", *ARGS],
                         capture_output=True, text=True, timeout=300)
    py = python_cli(BOOK, "--market", MARKET, "--format", "json", "--workers", "2", *ARGS)
    assert cli.returncode == 0 and py.returncode == 0, py.stderr
    assert py.stdout == cli.stdout


def big_book():
    """200 contracts, mostly notes, with one duplicate id and one broken contract."""
    examples = json.load(open(BOOK))
    book = []
    for k in range(200):
        c = dict(examples[(k * 5) % len(examples)] if k % 3 else examples[10 + k % 2])  # 2 in 3 are notes
        c["id"] = f"c{k}"
        book.append(c)
    book[50]["id"] = "c7"
    book[120]["type"] = "no_such_type"
    return book


def test_a_worker_killed_mid_book_loses_nothing_and_values_nothing_twice(client):
    kestrel.random_sample.set_paths(500)
    book = big_book()
    clean = kbook.value_book(book, MARKET, date="2024-12-31", progress=False)
    assert clean.failed() == 2

    pid = next(iter(client.run(os.getpid).values()))
    killed_at = []

    def progress(done, total):
        if not killed_at and done >= 20:
            os.kill(pid, signal.SIGKILL)
            killed_at.append(done)

    result = kbook.value_book(book, MARKET, date="2024-12-31", client=client, progress=progress)
    assert killed_at and killed_at[0] < len(book)
    assert pid not in client.run(os.getpid).values()
    assert list(result.rows) == list(clean.rows)
    assert result.text("json") == clean.text("json")


def test_a_store_the_workers_cannot_open_fails_before_any_task(client, tmp_path):
    client.wait_for_workers(2, timeout=120)  # the nanny restarts a worker killed by an earlier test
    executed = client.run(lambda dask_worker: dask_worker.executed_count)
    missing = str(tmp_path / "nowhere" / "prices.db")
    with pytest.raises(kestrel.heron.HeronError, match=r"2 of 2 Dask workers cannot open the price store '.*nowhere"):
        kbook.value_book(BOOK, MARKET, date="2024-12-31", client=client, db=missing, progress=False)
    assert client.run(lambda dask_worker: dask_worker.executed_count) == executed


# A vanilla maturing on Friday 5 February 2027 rolls to the 8th under list "a" (4-5 February
# closed), stays under "b" (8-12 February closed) and rolls to the 15th under the projection.
CLOSURES = {"a": ["2027-02-04", "2027-02-05"], "b": [f"2027-02-{d:02d}" for d in range(8, 13)], "none": []}
MATURITY = {"a": "2027-02-08", "b": "2027-02-05", "none": "2027-02-15"}
VANILLA = {"id": "v", "type": "vanilla", "underlying": "AAA", "effect_date": "2024-01-02",
           "maturity_date": "2027-02-05", "s0": 100.0, "notional": 1.0, "call_put": "call", "strike": 95.0,
           "exercise_type": "european", "payoff_type": "plain_vanilla"}
FLAT = {"r": 0.02, "underlyings": {"AAA": {"vol": 0.2, "q": 0.01, "spot": 100}}}


@pytest.fixture(scope="module")
def thread_client():
    """Two workers that are threads of this process."""
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                       dashboard_address=None, silence_logs=logging.ERROR)
    with distributed.Client(cluster, set_as_default=False) as c:
        yield c
    cluster.close()


@pytest.mark.parametrize("workers", ["client", "thread_client"])
def test_each_worker_values_with_the_closures_of_the_store_it_was_given(workers, request, tmp_path):
    cluster = request.getfixturevalue(workers)
    cluster.wait_for_workers(2, timeout=120)
    dbs = {}
    for name, days in CLOSURES.items():
        dbs[name] = str(tmp_path / f"{name}.db")
        store = kestrel.heron.SqliteStore(dbs[name])
        if days:
            listed = tmp_path / f"{name}.csv"
            listed.write_text("date,holiday\n" + "".join(f"{d},Spring Festival\n" for d in days))
            store.import_closures(str(listed))
    values = {}
    for name in ["a", "b", "none", "a"]:  # back to "a": no store leaves its list behind
        result = kbook.value_book([VANILLA], FLAT, date="2024-03-01", client=cluster, db=dbs[name], progress=False)
        assert kestrel.calendar.official_years() == []
        store = kestrel.heron.SqliteStore(dbs[name], read_only=True)
        kestrel.heron.install(store)
        with kestrel.calendar.ScopedClosures(store):
            option = kestrel.make_option(VANILLA)
            assert str(option.maturity_date) == MATURITY[name]
            expected = option.npv(100, 0.02, 0.2, 0.01, "2024-03-01")
        assert result.rows[0].ok, result.rows[0].error
        assert result.rows[0].value.npv == expected, name
        values[name] = expected
    assert len(set(values.values())) == 3
