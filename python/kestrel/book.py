"""A book of contracts valued at once: one row per contract, totals per underlying and for the book.

In this process (exactly what `kestrel book` gives)::

    result = kestrel.book.value_book("book.json", "market.json", date="2024-12-31", greeks=True)
    print(result.text("table"))          # or "csv", "json"; result.rows, result.to_dict()

On a Dask cluster, every note (or a batch of cheap contracts) a task on its workers::

    from dask.distributed import Client
    result = kestrel.book.value_book("book.json", "market.json", greeks=True,
                                     client=Client("tcp://scheduler:8786"), db="/shared/prices.db")

The rows come back in book order and the rows, totals and outputs are bit for bit those of
the one-process run. Each worker opens the price store named by `db` (or `prices`, a
directory of price files; neither: the bundled store) itself, so the path must be reachable
on every worker; that is checked on all of them before anything is submitted. The workers
value with this process's Monte Carlo paths and seed, and each task under the official
exchange closures of the store its worker opened (installed for that task's thread only, as
in this process: no store changes the calendar of the process it is opened in).
"""
import json as _json
import math as _math
import os as _os
import sys as _sys
import threading as _threading
import time as _time

from . import heron as _heron
from . import random_sample as _random_sample
from ._core import book as _book

Book = _book.Book
Market = _book.Market
Row = _book.Row
Result = _book.Result
Ladders = _book.Ladders
progress_line = _book.progress_line
value_rows = _book.value_rows

# The Monte Carlo notes: a valuation costs a simulation (several with Greeks). Everything
# else values in closed form or on a short grid, and goes to the workers in batches.
EXPENSIVE_TYPES = frozenset({"snowball", "phoenix"})
# Task attempts beyond the first when a worker is lost.
RETRIES = 3


def _read(path, what):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except OSError as e:
        raise ValueError(f"cannot read {what} file '{path}': {e.strerror}") from None


def as_book(book):
    """A Book from a Book, a path to a JSON file, JSON text or a list of contract dicts."""
    if isinstance(book, Book):
        return book
    if isinstance(book, (str, _os.PathLike)) and not str(book).lstrip().startswith("["):
        return Book(_read(_os.fspath(book), "book"), _os.fspath(book))
    if isinstance(book, str):
        return Book(book)
    return Book(_json.dumps(book, allow_nan=False))


def as_market(market):
    """A Market from a Market, a path to a JSON file, JSON text or a dict."""
    if isinstance(market, Market):
        return market
    if isinstance(market, (str, _os.PathLike)) and not str(market).lstrip().startswith("{"):
        return Market(_read(_os.fspath(market), "market"), _os.fspath(market))
    if isinstance(market, str):
        return Market(market)
    return Market(_json.dumps(market, allow_nan=False))


# --------------------------------------------------------------------------- store and settings

def _settings(db, prices, threads):
    """What a worker needs besides the contracts: the store and the simulation settings."""
    if db is not None and prices is not None:
        raise ValueError("give the price store as db or as prices, not both")
    return {"db": None if db is None else _os.fspath(db),
            "prices": None if prices is None else _os.fspath(prices),
            "paths": _random_sample.paths(), "seed": _random_sample.seed(), "draws": _random_sample.draws(),
            "threads": threads}


def open_store(db=None, prices=None):
    """The store `kestrel book` opens for --db FILE (read-only), --prices DIR, or neither
    (the bundled store)."""
    if db is not None:
        return _heron.SqliteStore(_os.fspath(db), read_only=True)
    if prices is not None:
        store = _heron.MemoryStore()
        store.load_directory(_os.fspath(prices))
        return store
    return _heron.bundled_store()


def _store_name(settings):
    if settings["db"]:
        return f"price store '{settings['db']}'"
    if settings["prices"]:
        return f"price files '{settings['prices']}'"
    return "bundled price store"


def _error_text(e):
    message = e.args[0] if isinstance(e, KeyError) and len(e.args) == 1 else str(e)
    return f"{type(e).__name__}: {message}"


# The worker process's store and settings, kept between tasks.
_worker_state = {"key": None}


def _prepare_worker(settings):
    key = tuple(sorted(settings.items()))
    if _worker_state["key"] != key:
        _heron.install(open_store(settings["db"], settings["prices"]))
        _random_sample.set_paths(settings["paths"])
        _random_sample.set_seed(settings["seed"])
        _random_sample.set_draws(settings["draws"])
        if settings["threads"]:
            _random_sample.set_threads(settings["threads"])
        _worker_state["key"] = key


def _check_worker(settings):
    """Run on every worker before a book is submitted: None, or why the store does not open."""
    try:
        _prepare_worker(settings)
        return None
    except Exception as e:  # reported to the client, which fails with one message
        _worker_state["key"] = None
        return _error_text(e)


def _value_task(rows, contracts, market, date, greeks, settings, engine=""):
    """One task: the rows of some contracts of the book, valued on this worker."""
    _prepare_worker(settings)
    return value_rows(rows, contracts, market, date, greeks, engine)


# --------------------------------------------------------------------------- progress

class ProgressBar:
    """The bar `kestrel book` draws on stderr, redrawn a few times a second; silent unless
    stderr is a terminal."""

    def __init__(self, total, stream=None):
        self._stream = stream or _sys.stderr
        self._total, self._done = total, 0
        self._start = _time.monotonic()
        self._enabled = hasattr(self._stream, "isatty") and self._stream.isatty()
        self._stop = _threading.Event()
        self._lock = _threading.Lock()
        if self._enabled:
            self._ticker = _threading.Thread(target=self._run, daemon=True)
            self._ticker.start()

    def update(self, done, total=None):
        self._done = done
        if self._enabled:
            self._draw()

    def finish(self):
        if self._enabled and not self._stop.is_set():
            self._stop.set()
            self._ticker.join()
            self._draw()
            self._stream.write("\n")
            self._stream.flush()

    def _run(self):
        while not self._stop.wait(0.25):
            self._draw()

    def _draw(self):
        with self._lock:
            line = progress_line(self._done, self._total, _time.monotonic() - self._start)
            self._stream.write("\r" + line + "\033[K")
            self._stream.flush()


# --------------------------------------------------------------------------- clusters

# How long connecting to a scheduler may take before it is reported as unreachable.
CONNECT_TIMEOUT = 10


class ClusterError(RuntimeError):
    """A Dask cluster that cannot be used as asked: refused, unreachable, bad certificates."""


def _is_local_host(host):
    import ipaddress
    import socket
    if host in ("localhost", ""):
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        pass
    try:
        infos = socket.getaddrinfo(host, None)
    except OSError:
        return False
    return bool(infos) and all(ipaddress.ip_address(i[4][0].split("%")[0]).is_loopback for i in infos)


def tls_security(tls_ca_file, tls_cert, tls_key):
    """The distributed.security.Security of a client (and a local cluster) with mutual TLS: the
    scheduler verified against the CA, this side presenting its own certificate, encryption
    required. Each file must exist and be readable."""
    from distributed.security import Security
    named = {"--tls-ca-file": tls_ca_file, "--tls-cert": tls_cert, "--tls-key": tls_key}
    missing = [k for k, v in named.items() if not v]
    if missing:
        raise ClusterError(f"TLS needs a CA file, a certificate and its key: give {', '.join(missing)}")
    for option, path in named.items():
        try:
            with open(path, "rb") as f:
                f.read(1)
        except OSError as e:
            raise ClusterError(f"{option} '{path}': {e.strerror}") from None
    import ssl
    try:  # a certificate or key that does not load fails here, not halfway through a connection
        ssl.create_default_context(cafile=tls_ca_file).load_cert_chain(tls_cert, tls_key)
    except (ssl.SSLError, ValueError) as e:
        raise ClusterError(f"unusable TLS files (CA '{tls_ca_file}', certificate '{tls_cert}', key "
                           f"'{tls_key}'): {e}") from None
    return Security(tls_ca_file=tls_ca_file, tls_client_cert=tls_cert, tls_client_key=tls_key,
                    tls_scheduler_cert=tls_cert, tls_scheduler_key=tls_key,
                    tls_worker_cert=tls_cert, tls_worker_key=tls_key, require_encryption=True)


def connect(address, *, tls_ca_file=None, tls_cert=None, tls_key=None, security=None, insecure=False,
            warn=None):
    """A dask.distributed.Client of the scheduler at `address`.

    tls://HOST:PORT: mutual TLS with the CA, certificate and key given (or `security`, a
    distributed.security.Security). tcp://: only to this machine, unless insecure=True (a
    warning then goes to `warn`, default stderr): a plain scheduler runs whatever any
    client that reaches its port sends it. Whatever fails, fails here with one ClusterError
    and leaves nothing running."""
    from distributed import Client
    from distributed.comm import parse_address, parse_host_port

    scheme, location = parse_address(address if "://" in address else "tcp://" + address)
    if scheme == "tls":
        if security is None:
            security = tls_security(tls_ca_file, tls_cert, tls_key)
    elif scheme == "tcp":
        if security is not None or tls_ca_file or tls_cert or tls_key:
            raise ClusterError(f"{address}: TLS files given for a plain tcp:// address; use tls://{location}")
        host = parse_host_port(location)[0]
        if not _is_local_host(host):
            if not insecure:
                raise ClusterError(
                    f"refusing plain tcp:// to {host}: anyone who can reach that scheduler can run code on its "
                    f"workers and read the book. Start the scheduler and workers with TLS and use "
                    f"tls://{location} with --tls-ca-file, --tls-cert and --tls-key (see the README), or pass "
                    f"--insecure to connect anyway")
            (warn or _sys.stderr).write(f"warning: --insecure: {address} is plain tcp://, unencrypted and "
                                        f"unauthenticated\n")
    else:
        raise ClusterError(f"{address}: a scheduler address is tls://HOST:PORT or tcp://HOST:PORT")
    if scheme == "tls":
        _check_tls(address, location, security)
    try:
        return Client(address, security=security, timeout=CONNECT_TIMEOUT, set_as_default=False)
    except Exception as e:
        raise ClusterError(f"cannot connect to the Dask scheduler at {address}"
                           f"{' over TLS' if scheme == 'tls' else ''}: {' '.join(str(e).split()) or type(e).__name__}"
                           f"{' (is it a TLS scheduler, and does it accept this certificate?)' if scheme == 'tls' else ''}"
                           ) from None


def _check_tls(address, location, security):
    """Shakes hands with the scheduler over TLS before a Client is made (a Client that fails
    to connect lingers and stalls the exit): a scheduler that does not speak TLS, or one that
    turns this certificate down, is one ClusterError here."""
    import socket
    import ssl
    from distributed.comm import parse_host_port
    host, port = parse_host_port(location)
    context = security.get_connection_args("client")["ssl_context"]
    why = None
    try:
        with socket.create_connection((host, port), timeout=CONNECT_TIMEOUT) as raw:
            with context.wrap_socket(raw, server_hostname=host) as tls:
                # A scheduler speaks first once it has accepted the client's certificate; one
                # that turns it down sends an alert instead.
                if not tls.recv(1):
                    why = "the scheduler closed the connection"
    except ssl.SSLError as e:
        why = f"TLS failed ({e.reason or e}): not a TLS scheduler, or one that does not accept this certificate"
    except socket.timeout:
        why = f"no answer in {CONNECT_TIMEOUT} s"
    except OSError as e:
        why = e.strerror or str(e)
    if why:
        raise ClusterError(f"cannot connect to the Dask scheduler at {address} over TLS: {why}")


def local_cluster(workers, *, security=None, dashboard=False):
    """A Dask cluster of `workers` processes on this machine, listening on 127.0.0.1 only,
    one valuation at a time per process (the notes use the cores themselves), with TLS when
    `security` is given and a dashboard (127.0.0.1:8787) only when asked for."""
    import logging
    import dask
    from distributed import LocalCluster
    extra = {"protocol": "tls://", "security": security} if security is not None else {}
    # The scheduler and the workers start an HTTP server whatever the dashboard setting: on
    # 127.0.0.1 here, and without a single route unless the dashboard is asked for.
    config = {} if dashboard else {"distributed.scheduler.http.routes": [], "distributed.worker.http.routes": []}
    with dask.config.set(config):
        return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                            dashboard_address="127.0.0.1:8787" if dashboard else None,
                            worker_dashboard_address="127.0.0.1:0",
                            scheduler_kwargs={"dashboard": dashboard,
                                              "dashboard_address": "127.0.0.1:8787" if dashboard else "127.0.0.1:0"},
                            silence_logs=logging.ERROR, **extra)


# --------------------------------------------------------------------------- valuation

def _tasks(book, rows, greeks, workers):
    """(rows, contracts, priority) per task: each note alone, most expensive first; the
    cheap contracts in batches of a size that gives every worker a few of them."""
    expensive, cheap = [], []
    for i, row in enumerate(rows):
        if row.ok:  # rows with an error already (a duplicate id, ...) stay on the client
            (expensive if row.type in EXPENSIVE_TYPES else cheap).append(i)
    tasks = [([i], 2 if greeks else 1) for i in expensive]
    if cheap:
        size = max(1, min(64, _math.ceil(len(cheap) / (4 * max(1, workers)))))
        tasks += [(cheap[k:k + size], 0) for k in range(0, len(cheap), size)]
    return [([rows[i] for i in idx], [book.contract(i) for i in idx], p) for idx, p in tasks]


def _value_on_cluster(client, book, market, date, greeks, settings, progress, engine=""):
    workers = client.scheduler_info().get("workers", {})
    if not workers:
        raise RuntimeError("the Dask cluster has no workers")
    failures = {addr: why for addr, why in client.run(_check_worker, settings).items() if why}
    if failures:
        where = "; ".join(f"{addr}: {why}" for addr, why in sorted(failures.items()))
        raise _heron.HeronError(f"{len(failures)} of {len(workers)} Dask workers cannot open the "
                                f"{_store_name(settings)} (it must be reachable at that path on every "
                                f"worker): {where}")

    from distributed import as_completed

    if date is None:  # today as this process sees it, the same on every worker
        date = Result([], None).evaluation_date
    rows = book.rows()
    tasks = _tasks(book, rows, greeks, len(workers))
    done = len(rows) - sum(len(t[0]) for t in tasks)
    if progress:
        progress(done, len(rows))
    futures = [client.submit(_value_task, task_rows, contracts, market, date, greeks, settings, engine,
                             priority=priority, retries=RETRIES, pure=False)
               for task_rows, contracts, priority in tasks]
    filled = [not row.ok for row in rows]
    try:
        for future in as_completed(futures, loop=client.loop):
            for row in future.result():
                i = row.position - 1
                if filled[i]:
                    raise RuntimeError(f"{row.label()} came back twice from the cluster")
                rows[i], filled[i] = row, True
                done += 1
            if progress:
                progress(done, len(rows))
    finally:
        client.cancel(futures)
    if not all(filled):
        missing = [rows[i].label() for i, f in enumerate(filled) if not f]
        raise RuntimeError(f"the cluster gave no row for {', '.join(missing[:5])}")
    return Result(rows, date, greeks)


def _in_process(db, prices, threads):
    """The store and threads of a valuation in this process."""
    if db is not None or prices is not None:
        _heron.install(open_store(db, prices))
    elif _heron.installed() is None:
        _heron.install(_heron.bundled_store())
    if threads:
        _random_sample.set_threads(threads)


def value_book(book, market, date=None, greeks=False, client=None, *, db=None, prices=None,
               threads=None, progress=None, tls_ca_file=None, tls_cert=None, tls_key=None, security=None,
               insecure=False, engine=None, save=None):
    """Values every contract of `book` on `market` as of `date` (default: today), with the
    Greeks if asked, and returns a Result: rows in book order, totals, and text(format) for
    the command line's outputs.

    book: a path to a JSON file, JSON text, a list of contract dicts or a Book. market: the
    same for the market object, or a Market. client: a dask.distributed.Client, or None to
    value in this process (on the store db / prices name, else on the installed market-data
    client, else on the bundled store, which it then installs). db / prices: the price store
    (an SQLite file, or a directory of price files) to open; on a cluster every worker opens
    it by that path, and without either it opens the bundled store. threads: Monte Carlo threads per worker (default: all its cores).
    progress: None for a bar on stderr when it is a terminal, False for none, or a
    callable(done, total). client may also be a scheduler's address, connected to (and
    closed after) as connect() does with the TLS files, security and insecure given.
    engine: the engine ("mc", "qmc", "pde") of every note whose terms name none, as
    `kestrel book --engine`; None: the market's "engines" for the note's type, else the
    note's own. Each row carries carry_rho beside its Greeks.
    save: an SQLite database to keep the valued book in as a new run (save_run), on a
    cluster as in this process.
    """
    if isinstance(client, str):
        with connect(client, tls_ca_file=tls_ca_file, tls_cert=tls_cert, tls_key=tls_key, security=security,
                     insecure=insecure) as c:
            return value_book(book, market, date, greeks, c, db=db, prices=prices, threads=threads,
                              progress=progress, engine=engine, save=save)
    given = book
    book, market = as_book(book), as_market(market)
    bar = None
    if progress is None:
        bar = ProgressBar(len(book))
        progress = bar.update
    elif progress is False:
        progress = None
    try:
        if client is None:
            _in_process(db, prices, threads)
            result = book.value(market, date, greeks, progress, engine or "")
        else:
            result = _value_on_cluster(client, book, market, date, greeks, _settings(db, prices, threads), progress,
                                       engine or "")
    finally:
        if bar is not None:
            bar.finish()
    if save is not None:
        save_run(save, given if isinstance(given, (str, _os.PathLike)) else book, market, result)
    return result


def save_run(db, book, market, result, *, settings=None):
    """Keeps `result` (value_book of `book` on `market`) in the SQLite database db as a new
    run, as `kestrel book --save DB` does: the evaluation date, the market text as given,
    the simulation settings (default: this process's paths, seed and draws), and every
    contract's terms, value, Greeks and error, in one transaction. Returns the run's id."""
    book_source = _os.fspath(book) if isinstance(book, (str, _os.PathLike)) and _os.path.isfile(book) else ""
    book, market = as_book(book), as_market(market)
    if len(result.rows) != len(book):
        raise ValueError(f"save_run: the result has {len(result.rows)} rows but the book {len(book)} contracts")
    if settings is None:
        settings = {"engine": "", "paths": _random_sample.paths(), "seed": _random_sample.seed(),
                    "draws": _random_sample.draws()}
    return _book.save_run(_os.fspath(db), [book.contract(i) for i in range(len(book))], market.text, result,
                          _json.dumps(settings), book_source, market.source)


def runs(db, date=None):
    """The runs kept in db, oldest first: a list of dicts as `kestrel runs list --format json`."""
    return _book.list_runs(_os.fspath(db), date)


def load_run(db, run_id):
    """Run run_id of db: {"run": its line, "market_text": the market as given, "terms": each
    contract's terms, "result": a Result of its rows}."""
    return _book.load_run(_os.fspath(db), run_id)


def explain(db, from_, to, *, store=None, prices=None):
    """The P&L explained between two runs kept in db (each a run id, or a date: that date's
    latest run), as `kestrel explain --format json` gives it: {"from", "to", "order", "rows",
    "totals"}, each row and total with v1, v2, cash, total = v2 - v1 + cash, its revaluation
    steps (time, spot, vol, rates, trades: they sum to the total) and its split by the first
    run's Greeks with the unexplained rest, and its events. The cash flows and the notes'
    history come from the price store `store` (an SQLite file) or `prices` (a directory),
    else the installed one, else the bundled store."""
    _in_process(store, prices, None)
    ref = lambda r: r.isoformat() if hasattr(r, "isoformat") else str(r)
    return _book.explain(_os.fspath(db), ref(from_), ref(to))


def backtest(contract, market, from_, to=None, *, rebalance="daily", engine=None, db=None, prices=None):
    """A contract (its terms: a dict or JSON text) sold on from_ at its value and delta-hedged
    in its underlying on each close of the price store (db / prices, else the installed one,
    else the bundled store) until it ends, `to` or the last close, as `kestrel backtest
    --format json` gives it: the premium, the vol assumed and realised, the P&L and its split
    (gamma, theta, vol, jump, other) and each day's spot, value, delta, shares held, cash,
    hedge and P&L. rebalance: "daily" or "weekly" (every fifth close)."""
    _in_process(db, prices, None)
    market = as_market(market)
    contract = contract if isinstance(contract, str) else _json.dumps(contract)
    return _book.backtest(contract, market.text, from_, to, rebalance, engine or "")


def cashflows(book, start, end, *, db=None, prices=None):
    """Every contract's cash flows after start up to and including end, from the price
    history (the store db / prices, else the installed one, else the bundled store), as
    `kestrel cashflows --format json` gives them."""
    book = as_book(book)
    _in_process(db, prices, None)
    return _book.book_cashflows(_json.dumps([_json.loads(book.contract(i)) for i in range(len(book))]), start, end)


def ladder(book, market, date=None, *, spot_shifts=None, vol_shifts=None, result=None, db=None, prices=None,
           threads=None):
    """Risk ladders of `book` on `market` as of `date` (default: today), in this process, as
    `kestrel book --ladder` gives them: per underlying, every contract valued at
    spot x (1 + s) for s in spot_shifts (default -0.30, -0.20, -0.10, -0.05, 0, 0.05, 0.10,
    0.20, 0.30) with value, delta and gamma summed, and the change of value from the base at
    each spot shift and vol shift (vol_shifts, absolute: default -0.05, 0, 0.05). A note's
    whole spot column is one simulation. Contracts whose base valuation fails are left out
    (their rows keep the error); a failure at one shifted point is counted there.

    result: the book's Result from value_book in this process (its date and Greeks are
    used); without it the book is valued first. Returns Ladders: to_dict(), text(format).
    book, market, db, prices and threads as in value_book.
    """
    book, market = as_book(book), as_market(market)
    _in_process(db, prices, threads)
    if result is None:
        result = book.value(market, date, False)
    if len(result.rows) != len(book):
        raise ValueError(f"ladder: the result has {len(result.rows)} rows but the book {len(book)} contracts")
    return _book.ladder_book(book, result, market, date,
                             None if spot_shifts is None else [float(x) for x in spot_shifts],
                             None if vol_shifts is None else [float(x) for x in vol_shifts])


for _cls in (Book, Market, Row, Result, Ladders):
    _cls.__module__ = __name__
del _cls

__all__ = ["Book", "Market", "Row", "Result", "Ladders", "value_book", "ladder", "save_run", "runs", "load_run",
           "cashflows", "explain", "backtest", "value_rows", "open_store", "as_book", "as_market",
           "progress_line", "ProgressBar", "EXPENSIVE_TYPES", "ClusterError", "connect", "local_cluster",
           "tls_security"]
