"""The distributed book's figures: a generated book valued in this process and on local
Dask clusters of 1 and 2 worker processes, in contracts per second.

    PYTHONPATH=build/python python3 bench/book_dask_bench.py [--contracts 2000] [--paths 5000]
        [--greeks] [--workers 1,2]

The book is the example book's contracts repeated with new ids: 7 in 10 notes (snowball
and phoenix), the rest vanillas, barriers, Asians, a corridor and a tandem. Every worker
runs its simulations on one thread, so N workers use N cores and the scaling efficiency
is rate(N) / (N x rate(1)). Each cluster run is checked equal, row for row, to the
in-process run. Also printed: the per-task cost on one worker and the scheduler's cost
per task (a cluster run of no-op tasks), the two figures a larger cluster's rate follows
from.
"""
import argparse
import json
import os
import time

import kestrel
from kestrel import book as kbook

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, "..", "examples")


def generated_book(n):
    examples = json.load(open(os.path.join(EXAMPLES, "book.json")))
    notes = [c for c in examples if c["type"] in kbook.EXPENSIVE_TYPES]
    others = [c for c in examples if c["type"] not in kbook.EXPENSIVE_TYPES]
    book = []
    for k in range(n):
        pool = notes if k % 10 < 7 else others
        c = dict(pool[k % len(pool)])
        c["id"] = f"g{k}"
        book.append(c)
    return book


def noop(x):
    return x


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--contracts", type=int, default=2000)
    ap.add_argument("--paths", type=int, default=5000)
    ap.add_argument("--greeks", action="store_true")
    ap.add_argument("--workers", default="1,2")
    ap.add_argument("--date", default="2024-12-31")
    args = ap.parse_args()

    from distributed import Client

    kestrel.random_sample.set_paths(args.paths)
    kestrel.random_sample.set_threads(1)
    market = os.path.join(EXAMPLES, "market.json")
    book = kbook.as_book(json.dumps(generated_book(args.contracts)))
    n = len(book)
    print(f"{n} contracts, {args.paths} paths, greeks {args.greeks}, one simulation thread per process")

    t = time.perf_counter()
    base = kbook.value_book(book, market, args.date, args.greeks, progress=False)
    t_local = time.perf_counter() - t
    print(f"in process: {t_local:8.2f} s  {n / t_local:8.1f} contracts/s")

    rates = {}
    for w in (int(x) for x in args.workers.split(",")):
        cluster = kbook.local_cluster(w)
        with Client(cluster, set_as_default=False) as client:
            t = time.perf_counter()
            result = kbook.value_book(book, market, args.date, args.greeks, client, threads=1, progress=False)
            elapsed = time.perf_counter() - t
            assert list(result.rows) == list(base.rows), "the cluster's rows differ from the in-process run"
            rates[w] = n / elapsed
            line = f"{w} worker{'s' if w > 1 else ' '}: {elapsed:8.2f} s  {rates[w]:8.1f} contracts/s"
            if 1 in rates and w > 1:
                line += f"  scaling efficiency {rates[w] / (w * rates[1]):.2f}"
            print(line)
            t = time.perf_counter()
            client.gather(client.map(noop, range(1000), pure=False))
            per_task = (time.perf_counter() - t) / 1000
            print(f"   scheduler: {per_task * 1e3:.2f} ms per no-op task (1000 tasks)")
        cluster.close()
    if 1 in rates:
        print(f"per contract on one worker: {1e3 / rates[1]:.2f} ms (in process {1e3 * t_local / n:.2f} ms)")


if __name__ == "__main__":
    main()
