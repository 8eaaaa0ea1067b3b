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
