"""The example book's HTML report opened in headless Chromium: the page logs
nothing to the console, its charts are there with one series per underlying,
and what it draws is not blank.

Run by CTest (label browser) where chromium is installed; KESTREL_CLI and
CHROMIUM name the programs, KESTREL_EXAMPLES the examples directory.
"""
import json
import os
import re
import subprocess
import tempfile
from html.parser import HTMLParser

import pytest

from png_pixels import distinct_colours, non_white_fraction, read_png

CLI = os.environ["KESTREL_CLI"]
CHROMIUM = os.environ["CHROMIUM"]
EXAMPLES = os.environ["KESTREL_EXAMPLES"]

# A message the page writes to the console, in Chromium's log on stderr:
#   [...:INFO:CONSOLE:12] "Uncaught Error: ...", source: file:///... (12)
# The report has no script, so any console message at all is a fault.
CONSOLE_LINE = re.compile(r":CONSOLE[:(]\d+")


def chromium(tmp, *args, timeout=120):
    profile = tempfile.mkdtemp(dir=tmp)
    cmd = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync",
           "--hide-scrollbars", "--enable-logging=stderr", "--v=0", f"--user-data-dir={profile}", *args]
    return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)


def console_messages(stderr):
    return [line for line in stderr.splitlines() if CONSOLE_LINE.search(line)]


class Charts(HTMLParser):
    """The data-underlying of every series in each line chart, and the heat maps."""

    def __init__(self):
        super().__init__()
        self.series = {}
        self.heat_maps = []
        self._chart = None

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "svg":
            if "line-chart" in a.get("class", ""):
                self._chart = a["data-chart"]
                self.series[self._chart] = []
            elif "heat-map" in a.get("class", ""):
                self.heat_maps.append(a["data-underlying"])
        elif tag == "g" and self._chart and a.get("class") == "series":
            self.series[self._chart].append(a["data-underlying"])

    def handle_endtag(self, tag):
        if tag == "svg":
            self._chart = None


@pytest.fixture(scope="module")
def report(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("report")
    page = tmp / "book.html"
    run = subprocess.run(
        [CLI, "book", f"{EXAMPLES}/book.json", "--market", f"{EXAMPLES}/market.json", "--date", "2024-12-31",
         "--greeks", "--paths", "2000", "--spot-shifts", "-20,-10,0,10,20", "--ladder", "--format", "json",
         "--report", str(page)],
        capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    underlyings = [l["underlying"] for l in json.loads(run.stdout)["ladders"]]
    return tmp, page, underlyings


def test_console_detector_sees_errors(tmp_path):
    # Without this the console check below could never fail.
    bad = tmp_path / "bad.html"
    bad.write_text('<!DOCTYPE html><p>x</p><script>console.error("probe-error");'
                   'throw new Error("probe-throw");</script>')
    run = chromium(tmp_path, "--dump-dom", bad.as_uri())
    seen = "\n".join(console_messages(run.stderr))
    assert "probe-error" in seen and "probe-throw" in seen, run.stderr


def test_page_loads_without_console_messages_and_fetches_nothing(report):
    tmp, page, _ = report
    text = page.read_text()
    assert "<script" not in text and not re.search(r"https?://", text)
    run = chromium(tmp, "--dump-dom", page.as_uri())
    assert run.returncode == 0, run.stderr
    assert console_messages(run.stderr) == []
    assert "Book report" in run.stdout


def test_charts_have_one_series_per_underlying(report):
    tmp, page, underlyings = report
    run = chromium(tmp, "--dump-dom", page.as_uri())
    charts = Charts()
    charts.feed(run.stdout)
    assert len(underlyings) == 4
    assert set(charts.series) == {"value", "delta", "gamma"}
    for name, series in charts.series.items():
        assert series == underlyings, name
    assert charts.heat_maps == underlyings


def test_screenshot_is_not_blank(report, tmp_path):
    _, page, _ = report
    shot = tmp_path / "report.png"
    run = chromium(tmp_path, f"--screenshot={shot}", "--window-size=800,1600", page.as_uri())
    assert shot.exists(), run.stderr
    pixels = read_png(shot)
    assert distinct_colours(pixels) > 200
    assert non_white_fraction(pixels) > 0.03

    # The same measures call an empty page blank.
    empty = tmp_path / "empty.html"
    empty.write_text("<!DOCTYPE html><html><body></body></html>")
    blank = tmp_path / "blank.png"
    chromium(tmp_path, f"--screenshot={blank}", "--window-size=900,600", empty.as_uri())
    blank_pixels = read_png(blank)
    assert distinct_colours(blank_pixels) < 5 and non_white_fraction(blank_pixels) < 0.001
