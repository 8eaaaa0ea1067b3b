"""The example book's workbook read back with openpyxl: its sheets, frozen
header rows and headers, and figures equal to the json output of the same run.

Run by CTest (label report) where python3-openpyxl is installed; KESTREL_CLI
names the program, KESTREL_EXAMPLES the examples directory.
"""
import datetime
import json
import math
import os
import subprocess

import openpyxl
import pytest

CLI = os.environ["KESTREL_CLI"]
EXAMPLES = os.environ["KESTREL_EXAMPLES"]


@pytest.fixture(scope="module")
def outputs(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("xlsx")
    book, out = tmp / "book.xlsx", tmp / "book.json"
    # One run writes both, so they hold the same numbers.
    run = subprocess.run(
        [CLI, "book", f"{EXAMPLES}/book.json", "--market", f"{EXAMPLES}/market.json", "--date", "2024-12-31",
         "--greeks", "--stats", "--ladder", "--paths", "2000", "--seed", "7", "--spot-shifts", "-20,-10,0,10,20",
         "--format", "json", "--out", str(out), "--report", str(book)],
        capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    assert sorted(p.name for p in tmp.iterdir()) == ["book.json", "book.xlsx"]  # no temporary left
    return openpyxl.load_workbook(book), json.loads(out.read_text())


def rows_of(sheet):
    header = [c.value for c in sheet[1]]
    return header, [dict(zip(header, (c.value for c in row))) for row in sheet.iter_rows(min_row=2)]


def test_sheets_and_frozen_headers(outputs):
    book, _ = outputs
    assert book.sheetnames == ["Positions", "Ladders", "Matrices", "Market"]
    for name in ("Positions", "Ladders", "Market"):
        assert book[name].freeze_panes == "A2", name
    assert book["Matrices"].freeze_panes == "C2"
    header, _ = rows_of(book["Ladders"])
    assert header == ["underlying", "spot_shift", "spot", "npv", "delta", "gamma", "failed"]
    header, _ = rows_of(book["Positions"])
    assert header[:12] == ["record", "position", "id", "type", "underlying", "npv", "delta", "gamma", "vega",
                           "theta", "rho", "carry_rho"]
    assert header[12:16] == ["standard_error", "ko_probability", "ki_probability", "expected_life"]
    _, market = rows_of(book["Market"])
    assert [r["underlying"] for r in market] == ["000300.XSHG", "000905.XSHG", "000852.XSHG", "600519.XSHG"]
    assert market[0]["r"] == 0.016 and market[0]["vol"] == 0.19 and market[0]["spot_source"] == "store"
    assert market[0]["valuation_date"] == datetime.datetime(2024, 12, 31)


def test_positions_equal_the_json(outputs):
    book, out = outputs
    _, rows = rows_of(book["Positions"])
    contracts = [r for r in rows if r["record"] == "contract"]
    assert [r["id"] for r in contracts] == [r["id"] for r in out["rows"]]
    for mine, theirs in zip(contracts, out["rows"]):
        for key in ("npv", "delta", "gamma", "carry_rho", "ko_probability", "spot"):
            if theirs.get(key) is None:
                assert mine[key] is None, (theirs["id"], key)
            else:
                assert isinstance(mine[key], (int, float)), (theirs["id"], key)  # a number, not text
                assert mine[key] == pytest.approx(theirs[key], rel=1e-12, abs=1e-300), (theirs["id"], key)
    book_total = next(r for r in rows if r["record"] == "book")
    assert book_total["npv"] == pytest.approx(out["totals"][-1]["npv"], rel=1e-12)
    assert book_total["delta"] is None  # several underlyings: no book delta


def test_ladders_and_matrices_equal_the_json(outputs):
    book, out = outputs
    _, ladder_rows = rows_of(book["Ladders"])
    _, matrix_rows = rows_of(book["Matrices"])
    header = [c.value for c in book["Matrices"][1]]
    assert header[4:] == ["spot -20%", "spot -10%", "spot 0%", "spot +10%", "spot +20%"]
    ladders = out["ladders"]
    assert len(ladder_rows) == sum(len(l["spot_ladder"]) for l in ladders)
    for l in ladders:
        mine = [r for r in ladder_rows if r["underlying"] == l["underlying"]]
        for r, p in zip(mine, l["spot_ladder"]):
            for key in ("spot", "npv", "delta", "gamma"):
                assert r[key] == pytest.approx(p[key], rel=1e-12, abs=1e-300), (l["underlying"], key)
            assert r["spot_shift"] == pytest.approx(p["spot_shift"])
        matrix = l["spot_vol_matrix"]
        lines = [r for r in matrix_rows if r["underlying"] == l["underlying"]]
        assert [r["vol_shift"] for r in lines] == pytest.approx(matrix["vol_shifts"])
        for r, expected in zip(lines, matrix["change_of_value"]):
            got = [r[h] for h in header[4:]]
            for g, e in zip(got, expected):
                if e is None:
                    assert g is None  # a failed point is an empty cell
                else:
                    assert isinstance(g, (int, float)) and math.isclose(g, e, rel_tol=1e-12, abs_tol=1e-9)


def test_a_book_on_a_calibrated_surface_adds_its_smile_and_bucketed_vega(tmp_path):
    book_file, report, out = tmp_path / "book.json", tmp_path / "book.xlsx", tmp_path / "out.json"
    book_file.write_text(json.dumps([{
        "id": "put-90", "type": "vanilla", "effect_date": "2023-12-04", "maturity_date": "2024-03-04",
        "underlying": "510050.XSHG", "s0": 2.367, "notional": 1.0, "call_put": "put", "strike": 2.13,
        "exercise_type": "european", "payoff_type": "plain_vanilla"}]))
    run = subprocess.run(
        [CLI, "book", str(book_file), "--market", f"{EXAMPLES}/market_local_vol.json", "--date", "2023-12-04",
         "--greeks", "--bucketed", "--format", "json", "--out", str(out), "--report", str(report)],
        capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    book, result = openpyxl.load_workbook(report), json.loads(out.read_text())
    assert book.sheetnames == ["Positions", "Ladders", "Matrices", "Market", "Smiles", "Bucketed vega"]
    header, smiles = rows_of(book["Smiles"])
    assert header[:2] == ["underlying", "expiry"] and len(smiles) > 40
    assert all(abs(r["error_vol_points"]) <= 0.5 for r in smiles)
    assert all(abs(r["model_vol"] - r["implied_vol"]) * 100 == pytest.approx(abs(r["error_vol_points"]), abs=1e-9)
               for r in smiles)
    _, buckets = rows_of(book["Bucketed vega"])
    want = result["rows"][0]["bucketed_vega"]
    got = [(r["expiry"], r["vega"]) for r in buckets if r["record"] == "bucketed"]
    assert [e for e, _ in got] == [b["expiry"] for b in want]
    assert [v for _, v in got] == pytest.approx([b["vega"] for b in want], rel=1e-14)  # the cell's 15-16 digits
    # The buckets add up to about the parallel vega.
    assert sum(v for _, v in got) == pytest.approx(result["rows"][0]["vega"], rel=0.05)
