"""python3 -m kestrel book BOOK.json --market MARKET.json [--scheduler ADDR | --workers N] ...

`kestrel book` with the book valued on a Dask cluster: an existing one (--scheduler) or a
local one of N worker processes (--workers); with neither, in this process. The options,
outputs and exit codes are those of `kestrel book`: 0 when every contract valued, 1 when
any failed (after every row is written) or the work failed, 2 for a command-line mistake.
"""
import argparse
import datetime
import os
import sys

EXIT_FAILURE, EXIT_USAGE = 1, 2


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        sys.stderr.write(f"error: {message} (see python3 -m kestrel --help)\n")
        sys.exit(EXIT_USAGE)


def _existing_file(text):
    if not os.path.isfile(text):
        raise argparse.ArgumentTypeError(f"File does not exist: {text}")
    return text


def _existing_dir(text):
    if not os.path.isdir(text):
        raise argparse.ArgumentTypeError(f"Directory does not exist: {text}")
    return text


def _date(text):
    try:
        if len(text) != 10:
            raise ValueError
        datetime.date.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a date YYYY-MM-DD: {text}") from None
    return text


def _positive(text):
    try:
        n = int(text)
    except ValueError:
        n = 0
    if n <= 0:
        raise argparse.ArgumentTypeError(f"not a positive number: {text}")
    return n


def _seed(text):
    try:
        n = int(text)
    except ValueError:
        n = -1
    if not 0 <= n < 2**64:
        raise argparse.ArgumentTypeError(f"not a seed (0 to 2^64 - 1): {text}")
    return n


def _parser():
    parser = _Parser(prog="python3 -m kestrel", description="kestrel's command line verbs that run on Dask.")
    verbs = parser.add_subparsers(dest="verb", required=True, parser_class=_Parser)
    book = verbs.add_parser(
        "book", help="value a book of contracts, in this process or on a Dask cluster",
        description="Value a book of contracts: one row per contract (value, or the error that stopped it), then "
                    "totals per underlying and for the book. Exits 1 when any contract failed, after writing every "
                    "row.")
    book.add_argument("book", metavar="BOOK", type=_existing_file,
                      help='JSON array of contracts, each its terms with "type" and a unique "id"')
    book.add_argument("--market", required=True, type=_existing_file,
                      help='JSON object {"r": R, "underlyings": {ID: {"vol": V, "q": Q, "spot": S}}}; an underlying '
                           'without "spot" takes its "pre" close on the evaluation date from the store')
    book.add_argument("--date", type=_date, help="evaluation date YYYY-MM-DD (default: today)")
    book.add_argument("--greeks", action="store_true", help="also delta, gamma, vega, theta, rho and carry_rho")
    book.add_argument("--engine", choices=["mc", "qmc", "pde"],
                      help="engine of the notes (snowball, phoenix) whose terms name none")
    book.add_argument("--format", default="table", choices=["table", "csv", "json"],
                      help="table (default), csv or json")
    book.add_argument("--out", help="write the output to this file instead of stdout")
    book.add_argument("--save", metavar="DB", help="also keep the run in this SQLite database, as `kestrel book "
                                                   "--save` does (see `kestrel runs`)")
    store = book.add_mutually_exclusive_group()
    store.add_argument("--db", help="SQLite price store to read (default: the bundled store); with --scheduler, "
                                    "the path on the workers")
    store.add_argument("--prices", help="directory of price files <instrument>[.pre|.none].csv to load instead")
    book.add_argument("--paths", type=_positive, help="Monte Carlo paths (default 100000)")
    book.add_argument("--seed", type=_seed, help="Monte Carlo seed (default 20240101)")
    book.add_argument("--draws", choices=["double", "single"],
                      help="precision of the Monte Carlo draws (default double)")
    book.add_argument("--threads", type=_positive, help="Monte Carlo threads per worker (default: all cores)")
    where = book.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDR", help="the Dask scheduler of an existing cluster, "
                                                           "tcp://HOST:PORT")
    where.add_argument("--workers", type=_positive, metavar="N",
                       help="start a local cluster of N worker processes for this book (on 127.0.0.1 only)")
    book.add_argument("--tls-ca-file", metavar="CA", help="TLS: the CA that signed the scheduler's certificate")
    book.add_argument("--tls-cert", metavar="CERT", help="TLS: this client's certificate (signed by the CA)")
    book.add_argument("--tls-key", metavar="KEY", help="TLS: the key of --tls-cert")
    book.add_argument("--insecure", action="store_true",
                      help="allow a plain tcp:// scheduler on another machine (unencrypted, unauthenticated)")
    book.add_argument("--dashboard", action="store_true",
                      help="with --workers: the Dask dashboard on 127.0.0.1:8787")
    return parser


def _write_file(path, text):
    """The whole text at path, or path left as it was."""
    tmp = path + ".tmp"
    try:
        with open(tmp, "w", encoding="utf-8", newline="") as f:
            f.write(text)
        os.replace(tmp, path)
    except OSError as e:
        try:
            os.remove(tmp)
        except OSError:
            pass
        raise ValueError(f"cannot write '{path}': {e.strerror}") from None


def _run_book(args):
    import kestrel
    from kestrel import book as kbook

    if args.scheduler is None:
        # Local paths are checked here, as `kestrel book` checks them; a scheduler's workers
        # check theirs before the book is submitted.
        for option, path, check in (("--db", args.db, os.path.isfile), ("--prices", args.prices, os.path.isdir)):
            if path is not None and not check(path):
                _parser().error(f"{option}: {'File' if check is os.path.isfile else 'Directory'} "
                                f"does not exist: {path}")
    book = kbook.as_book(args.book)
    # A market file wrong anywhere is a usage error (2) before anything is valued.
    try:
        market = kbook.as_market(args.market)
        market.check(args.date)
    except (KeyError, TypeError, ValueError) as e:
        message = e.args[0] if isinstance(e, KeyError) and len(e.args) == 1 else str(e)
        sys.stdout.flush()
        sys.stderr.write(f"error: {type(e).__name__}: {' '.join(str(message).split())}\n")
        sys.exit(EXIT_USAGE)
    if args.paths is not None:
        kestrel.random_sample.set_paths(args.paths)
    if args.seed is not None:
        kestrel.random_sample.set_seed(args.seed)
    if args.draws is not None:
        kestrel.random_sample.set_draws(args.draws)
    db = os.path.abspath(args.db) if args.db and args.scheduler is None else args.db
    prices = os.path.abspath(args.prices) if args.prices and args.scheduler is None else args.prices

    tls = args.tls_ca_file or args.tls_cert or args.tls_key
    if args.scheduler is None and args.workers is None:
        if tls or args.insecure or args.dashboard:
            _parser().error("--tls-*, --insecure and --dashboard need --scheduler or --workers")
        result = kbook.value_book(book, market, args.date, args.greeks, db=db, prices=prices, threads=args.threads,
                                  engine=args.engine)
    elif args.scheduler is not None:
        if args.dashboard:
            _parser().error("--dashboard is for the local cluster of --workers")
        result = kbook.value_book(book, market, args.date, args.greeks, args.scheduler, db=db, prices=prices,
                                  threads=args.threads, tls_ca_file=args.tls_ca_file, tls_cert=args.tls_cert,
                                  tls_key=args.tls_key, insecure=args.insecure, engine=args.engine)
    else:
        from distributed import Client
        security = kbook.tls_security(args.tls_ca_file, args.tls_cert, args.tls_key) if tls else None
        with kbook.local_cluster(args.workers, security=security, dashboard=args.dashboard) as cluster, \
                Client(cluster, security=security, set_as_default=False) as client:
            result = kbook.value_book(book, market, args.date, args.greeks, client, db=db, prices=prices,
                                      threads=args.threads, engine=args.engine)

    text = result.text(args.format)
    if args.out:
        _write_file(args.out, text)
    else:
        sys.stdout.write(text)
        sys.stdout.flush()
    if args.save:
        run_id = kbook.save_run(args.save, args.book, market, result)
        sys.stderr.write(f"saved run {run_id} in {args.save}\n")
    failed = result.failed()
    if failed:
        n = len(result.rows)
        raise RuntimeError(f"{failed} of {n} {'contract' if n == 1 else 'contracts'} failed; their rows give the error")


def main(argv=None):
    args = _parser().parse_args(argv)
    try:
        _run_book(args)
        return 0
    except KeyboardInterrupt:
        sys.stderr.write("error: interrupted\n")
        return EXIT_FAILURE
    except Exception as e:  # one line, as `kestrel book` reports the failures of the work
        message = e.args[0] if isinstance(e, KeyError) and len(e.args) == 1 else str(e)
        kind = "" if type(e) is RuntimeError else f"{type(e).__name__}: "
        sys.stdout.flush()
        sys.stderr.write(f"error: {kind}{' '.join(str(message).split())}\n")
        return EXIT_FAILURE


if __name__ == "__main__":
    sys.exit(main())
