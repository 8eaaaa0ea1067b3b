"""The nightly run from Python: a contract's cash flows, a book's, and runs kept in SQLite,
in this process and from a Dask cluster, each the command line's."""
import datetime
import json
import logging
import subprocess

import pytest

import kestrel
from kestrel import book as kbook

from test_book import BOOK, MARKET, kestrel_cli, python_cli

# The example book without its notes: quick to value, and every kind of option.
OPTIONS = [c for c in json.load(open(BOOK)) if c["type"] not in ("snowball", "phoenix")]


def test_a_knocked_out_barrier_pays_its_rebate_on_the_day_it_crossed(bundled):
    terms = next(c for c in json.load(open(BOOK)) if c["id"] == "uo-call-csi300-knocked-out")
    option = kestrel.make_option(terms)
    flows = option.cashflows("2023-01-01", "2024-12-31")
    assert len(flows) == 1
    f = flows[0]
    assert isinstance(f, kestrel.CashFlow)
    assert f.kind == "knock_out" and f.amount == terms["rebate"]
    assert isinstance(f.date, datetime.date) and f.level > terms["barrier"]
    # After the day it crossed, nothing more; up to the day before, nothing yet.
    assert option.cashflows(f.date, "2030-01-01") == []
    assert option.cashflows("2023-01-01", f.date - datetime.timedelta(days=1)) == []
    with pytest.raises(ValueError):
        option.cashflows("2024-12-31", "2024-01-01")


def test_book_cashflows_are_the_command_lines_json():
    exe = kestrel_cli()
    cli = subprocess.run([exe, "cashflows", BOOK, "--market", MARKET, "--from", "2023-01-01", "--to", "2024-12-31",
                          "--format", "json"], capture_output=True, text=True, timeout=300)
    assert cli.returncode == 0, cli.stderr
    assert kbook.cashflows(BOOK, "2023-01-01", "2024-12-31") == json.loads(cli.stdout)


def test_runs_saved_twice_for_one_date_read_back_as_valued(tmp_path):
    db = tmp_path / "runs.db"
    first = kbook.value_book(OPTIONS, MARKET, "2024-12-31", greeks=True, progress=False, save=db)
    kbook.value_book(OPTIONS, MARKET, "2024-12-31", greeks=True, progress=False, save=db)
    listed = kbook.runs(db)
    assert [r["evaluation_date"] for r in listed] == ["2024-12-31", "2024-12-31"]
    assert listed[0]["id"] != listed[1]["id"]
    run = kbook.load_run(db, listed[0]["id"])
    assert run["market_text"] == open(MARKET).read()
    assert run["terms"] == OPTIONS
    assert list(run["result"].rows) == list(first.rows)
    assert run["result"].to_dict()["totals"] == first.to_dict()["totals"]
    with pytest.raises(KeyError):
        kbook.load_run(db, 999)
    # The command line shows the same rows.
    exe = kestrel_cli()
    shown = subprocess.run([exe, "runs", "show", str(listed[1]["id"]), "--db", str(db), "--format", "json"],
                           capture_output=True, text=True, timeout=60)
    assert shown.returncode == 0, shown.stderr
    assert json.loads(shown.stdout)["rows"] == first.to_dict()["rows"]


def test_a_book_on_dask_saves_the_same_rows(tmp_path):
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address=None, silence_logs=logging.ERROR)
    try:
        with distributed.Client(cluster, set_as_default=False) as client:
            db = tmp_path / "runs.db"
            here = kbook.value_book(OPTIONS, MARKET, "2024-12-31", greeks=True, progress=False)
            there = kbook.value_book(OPTIONS, MARKET, "2024-12-31", greeks=True, client=client, progress=False,
                                     save=db)
    finally:
        cluster.close()
    assert list(there.rows) == list(here.rows)
    (saved,) = kbook.runs(db)
    assert list(kbook.load_run(db, saved["id"])["result"].rows) == list(here.rows)


def test_the_python_command_line_saves_what_it_prints(tmp_path):
    db = tmp_path / "runs.db"
    py = python_cli(BOOK, "--market", MARKET, "--date", "2024-12-31", "--paths", "2000", "--format", "csv",
                    "--save", str(db))
    assert py.returncode == 0, py.stderr
    assert "saved run 1 in" in py.stderr
    shown = subprocess.run([kestrel_cli(), "runs", "show", "1", "--db", str(db), "--format", "csv"],
                           capture_output=True, text=True, timeout=60)
    assert shown.returncode == 0, shown.stderr
    assert shown.stdout == py.stdout
    assert kbook.runs(db)[0]["book_source"] == BOOK


def test_explain_between_two_saved_runs_is_the_command_lines(tmp_path):
    db = tmp_path / "runs.db"
    kbook.value_book(OPTIONS, MARKET, "2024-12-30", greeks=True, progress=False, save=db)
    kbook.value_book(OPTIONS, MARKET, "2024-12-31", greeks=True, progress=False, save=db)
    here = kbook.explain(db, "2024-12-30", datetime.date(2024, 12, 31))
    assert [r["id"] for r in here["rows"]] == [c["id"] for c in OPTIONS]
    for row in here["rows"] + here["totals"]:
        assert set(row["steps"]) == {"time", "spot", "vol", "rates", "trades"}
        assert set(row["greeks"]) == {"theta", "delta", "gamma", "vega", "rho", "carry_rho", "unexplained"}
        assert sum(row["steps"].values()) == pytest.approx(row["total"], abs=1e-9)
        assert row["total"] == pytest.approx(row["v2"] - row["v1"] + row["cash"], abs=1e-12)
    assert here["totals"][-1]["id"] == "book"
    assert kbook.explain(db, 1, 2) == here
    cli = subprocess.run([kestrel_cli(), "explain", "--db", str(db), "--from", "1", "--to", "2", "--format", "json"],
                         capture_output=True, text=True, timeout=120)
    assert cli.returncode == 0, cli.stderr
    assert json.loads(cli.stdout) == here
    with pytest.raises(KeyError):
        kbook.explain(db, "2024-12-29", 2)


def test_backtest_is_the_command_lines_and_reproduces(tmp_path):
    note = next(c for c in json.load(open(BOOK)) if c["id"] == "snowball-limited-loss-csi500-2411")
    here = kbook.backtest(note, MARKET, "2024-11-01", datetime.date(2025, 1, 31), engine="pde")
    assert kbook.backtest(note, MARKET, "2024-11-01", "2025-01-31", engine="pde") == here
    assert here["days"][0]["date"] == "2024-11-01" and here["days"][-1]["pnl"] == here["pnl"]
    split = here["split"]
    assert split["gamma"] + split["theta"] + split["unhedged"] + split["jump"] + split["other"] == pytest.approx(here["pnl"], abs=1e-9)
    path = tmp_path / "note.json"
    path.write_text(json.dumps(note))
    cli = subprocess.run([kestrel_cli(), "backtest", str(path), "--market", MARKET, "--from", "2024-11-01", "--to",
                          "2025-01-31", "--engine", "pde", "--format", "json"], capture_output=True, text=True,
                         timeout=300)
    assert cli.returncode == 0, cli.stderr
    assert json.loads(cli.stdout) == here
    with pytest.raises(ValueError):
        kbook.backtest(note, MARKET, "2024-11-01", rebalance="hourly")
