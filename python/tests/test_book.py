"""kestrel.book in this process and python3 -m kestrel book without a cluster: the same
rows, outputs and exit codes as `kestrel book`."""
import json
import math
import os
import pickle
import subprocess
import sys

import pytest

import kestrel
from kestrel import book as kbook

EXAMPLES = os.path.join(os.environ.get("KESTREL_DATA_DIR", "../../data"), "..", "examples")
BOOK = os.path.join(EXAMPLES, "book.json")
MARKET = os.path.join(EXAMPLES, "market.json")
ARGS = ["--date", "2024-12-31", "--greeks", "--paths", "2000"]


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=300, **kw)


def kestrel_cli():
    exe = os.environ.get("KESTREL_CLI")
    if not exe:
        pytest.skip("the kestrel command line is not part of this build")
    return exe


def python_cli(*args):
    return run([sys.executable, "-m", "kestrel", "book", *args])


def test_value_book_gives_the_command_lines_table_rows_and_totals():
    exe = kestrel_cli()
    cli = run([exe, "book", BOOK, "--market", MARKET, *ARGS])
    assert cli.returncode == 0, cli.stderr
    kestrel.random_sample.set_paths(2000)
    result = kbook.value_book(BOOK, MARKET, date="2024-12-31", greeks=True, progress=False)
    assert result.text("table") == cli.stdout
    rows = json.load(open(BOOK))
    assert [r.id for r in result.rows] == [c["id"] for c in rows]
    # A row survives pickling (how a worker sends it back) field for field.
    for row in result.rows:
        assert pickle.loads(pickle.dumps(row)) == row
    # The totals of the rows, rebuilt from them, are those of the valuation.
    rebuilt = kbook.Result(list(result.rows), "2024-12-31", True)
    assert rebuilt.text("csv") == result.text("csv")


def test_broken_book_and_bad_arguments_exit_as_kestrel_book(tmp_path):
    exe = kestrel_cli()
    book = json.load(open(BOOK))[:3]
    book.append(dict(book[0]))                        # a duplicate id
    book.append({"id": "no-type", "underlying": "000300.XSHG"})
    path = tmp_path / "broken.json"
    path.write_text(json.dumps(book))
    for fmt in ("json", "table"):
        cli = run([exe, "book", str(path), "--market", MARKET, "--format", fmt, *ARGS])
        py = python_cli(str(path), "--market", MARKET, "--format", fmt, *ARGS)
        assert (py.returncode, py.stdout, py.stderr) == (cli.returncode, cli.stdout, cli.stderr) \
            and cli.returncode == 1
    # Command-line mistakes are usage errors (2) before any work.
    for bad in (["--market", str(tmp_path / "none.json")], ["--market", MARKET, "--date", "2024-13-01"],
                ["--market", MARKET, "--workers", "0"], ["--market", MARKET, "--db", str(tmp_path / "no.db")]):
        py = python_cli(str(path), *bad)
        assert py.returncode == 2 and py.stdout == "" and py.stderr.startswith("error: "), (bad, py.stderr)


def test_ladder_gives_the_command_lines_ladders(tmp_path):
    exe = kestrel_cli()
    # The notes and a vanilla: the Asian's own Monte Carlo would only add time.
    book = [c for c in json.load(open(BOOK)) if c["type"] in ("snowball", "phoenix", "vanilla")]
    path = tmp_path / "book.json"
    path.write_text(json.dumps(book))
    shifts = ["--spot-shifts", "-20,0,10", "--vol-shifts", "0,5"]
    cli = run([exe, "book", str(path), "--market", MARKET, "--date", "2024-12-31", "--paths", "1000",
               "--format", "json", "--ladder", *shifts])
    assert cli.returncode == 0, cli.stderr
    kestrel.random_sample.set_paths(1000)
    ladders = kbook.ladder(str(path), MARKET, "2024-12-31", spot_shifts=[-0.2, 0, 0.1], vol_shifts=[0, 0.05])
    assert ladders.to_dict() == json.loads(cli.stdout)["ladders"]
    assert ladders.underlyings == [u["underlying"] for u in ladders.to_dict()]
    # A result of this process is laddered as it stands; one of another book is refused.
    result = kbook.value_book(str(path), MARKET, date="2024-12-31", progress=False)
    again = kbook.ladder(str(path), MARKET, spot_shifts=[-0.2, 0, 0.1], vol_shifts=[0, 0.05], result=result)
    assert again.text("csv") == ladders.text("csv")
    with pytest.raises(ValueError, match="rows but the book"):
        kbook.ladder(BOOK, MARKET, result=result)
    with pytest.raises(ValueError, match="spot shift"):
        kbook.ladder(str(path), MARKET, "2024-12-31", spot_shifts=[-1.5], result=result)


def test_market_curves_forwards_engines_and_carry_rho(tmp_path):
    """The market file's term structures, in this process: a vanilla on curves has carry_rho
    beside its Greeks; a wrong curve is a ValueError naming the underlying, the field and the
    entry, before anything is valued; engine= and "engines" fill in a note's engine."""
    contract = {"id": "put", "type": "vanilla", "underlying": "000300.XSHG", "effect_date": "2024-06-03",
                "maturity_date": "2025-06-30", "s0": 3588.7, "notional": 1, "call_put": "put", "strike": 3600,
                "exercise_type": "european", "payoff_type": "plain_vanilla"}
    market = {"r": {"curve": [["1M", 0.02], ["1Y", 0.0232]]},
              "underlyings": {"000300.XSHG": {"vol": {"curve": [["3M", 0.17], ["1Y", 0.16]]},
                                              "q": {"forwards": [["2024-06-21", 3461.0], ["2024-12-20", 3455.0]]},
                                              "spot": 3580.0}}}
    result = kbook.value_book([contract], market, date="2024-06-03", greeks=True, progress=False)
    row = result.rows[0]
    assert row.ok, row.error
    assert row.value.npv > 0 and row.carry_rho < 0
    assert pickle.loads(pickle.dumps(row)) == row and pickle.loads(pickle.dumps(row)).carry_rho == row.carry_rho
    assert '"carry_rho"' in result.text("json")

    bad = json.loads(json.dumps(market))
    bad["underlyings"]["000300.XSHG"]["vol"] = {"curve": [["3M", 0.4], ["6M", 0.2]]}
    with pytest.raises(ValueError, match=r'000300.XSHG: "vol": entry 2 \(6M\): total variance'):
        kbook.value_book([contract], bad, date="2024-06-03", progress=False)
    with pytest.raises(ValueError, match=r'"engines": vanilla: this product type takes no engine choice'):
        kbook.as_market({"r": 0.02, "underlyings": {}, "engines": {"vanilla": "pde"}})
    with pytest.raises(ValueError, match='unknown engine "fdm"'):
        kbook.value_book([contract], market, date="2024-06-03", engine="fdm", progress=False)
    # The python command line refuses the wrong market with the usage exit code.
    path = tmp_path / "bad.json"
    path.write_text(json.dumps(bad))
    book = tmp_path / "book.json"
    book.write_text(json.dumps([contract]))
    py = python_cli(str(book), "--market", str(path), "--date", "2024-06-03")
    assert py.returncode == 2 and py.stdout == "" and "total variance" in py.stderr, py.stderr


def test_a_negative_vol_from_the_caller_is_refused():
    if kestrel.heron.installed() is None:
        kestrel.heron.install(kestrel.heron.bundled_store())
    option = kestrel.make_option({"type": "vanilla", "underlying": "000300.XSHG", "effect_date": "2024-06-03",
                                  "maturity_date": "2025-06-30", "s0": 3588.7, "notional": 1, "call_put": "put",
                                  "strike": 3600, "exercise_type": "european", "payoff_type": "plain_vanilla"})
    for method in (option.npv, option.greeks, option.vega, option.carry_rho):
        with pytest.raises(ValueError, match="vol must not be negative"):
            method(3600.0, 0.02, -0.2, 0.0, "2024-06-03")
    # vol = 0 is a value; vega's down-bump below zero stays inside the library.
    assert math.isfinite(option.vega(3600.0, 0.02, 0.0, 0.0, "2024-06-03"))
    # carry_rho: V(q - 0.005) - V(q + 0.005).
    assert option.carry_rho(3600.0, 0.02, 0.2, 0.01, "2024-06-03") == \
        option.npv(3600.0, 0.02, 0.2, 0.005, "2024-06-03") - option.npv(3600.0, 0.02, 0.2, 0.015, "2024-06-03")
