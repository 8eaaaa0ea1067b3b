"""Shared fixtures: the bundled store, the command line for parity checks, and a
clean slate of process-wide settings around every test."""
import json
import os
import subprocess

import pytest

import kestrel

@pytest.fixture(autouse=True)
def _clean_state():
    kestrel.heron.install(None)
    kestrel.random_sample.reset()
    yield
    kestrel.heron.install(None)
    kestrel.random_sample.reset()


@pytest.fixture
def bundled():
    store = kestrel.heron.bundled_store()
    kestrel.heron.install(store)
    return store


@pytest.fixture
def cli(tmp_path):
    """Runs `kestrel price` on terms and returns its JSON answer."""
    exe = os.environ.get("KESTREL_CLI")
    if not exe:
        pytest.skip("the kestrel command line is not part of this build")

    def price(terms, spot, r, vol, q, date, greeks=False, paths=None, seed=None, extra=()):
        path = tmp_path / "terms.json"
        path.write_text(json.dumps(terms))
        # repr() of a float is the shortest text that reads back as the same double.
        cmd = [exe, "price", str(path), "--spot", repr(spot), "--r", repr(r), "--vol", repr(vol),
               "--q", repr(q), "--date", date]
        if greeks:
            cmd.append("--greeks")
        if paths is not None:
            cmd += ["--paths", str(paths)]
        if seed is not None:
            cmd += ["--seed", str(seed)]
        cmd += list(extra)
        run = subprocess.run(cmd, capture_output=True, text=True, timeout=300)
        assert run.returncode == 0, f"{' '.join(cmd)}: {run.stderr}"
        return json.loads(run.stdout)

    return price
