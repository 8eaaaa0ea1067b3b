"""kestrel.book in this process and python3 -m kestrel book without a cluster: the same
rows, outputs and exit codes as `kestrel book`."""
import json
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
