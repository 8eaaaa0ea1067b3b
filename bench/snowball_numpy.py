"""The snowball's _npv as whole-array numpy, the formulation kestrel's
Monte Carlo kernel is measured against, timed beside kestrel's own npv of the
same note in the same run.

The note is the benchmarks' (kestrel/notes/bench_notes.hpp): from 2 January
2024 over one year (243 trading days) or two, knock-in 80 daily, knock-out 103
monthly, 15 % a year, valued on its effect date at spot 100, r 2 %, vol 20 %,
q 0. Grid, schedules and coupons come from kestrel (not timed); the numpy part
draws its own normals (numpy's default generator) and is timed whole: samples,
paths, discount factors, payoff.

    export PYTHONPATH=$PWD/build/python     # as scripts/main.sh prints
    /usr/bin/python3 bench/snowball_numpy.py [--paths 100000] [--years 1] [--repeat 3] [--simd auto]

Prints the values (the draws differ: they agree to within a few standard
errors), the best of --repeat times of each, and kestrel's speed-up, for
kestrel's double-precision draws (the default) and its single-precision ones
(`--draws single`).
"""
import argparse
import datetime
import time

import numpy as np

import kestrel

EVALUATION_DATE = datetime.date(2024, 1, 2)
SPOT, R, VOL, Q = 100.0, 0.02, 0.2, 0.0


def note_terms(years):
    maturity = "2025-01-02" if years == 1 else "2026-01-05"
    return {"type": "snowball", "effect_date": "2024-01-02", "maturity_date": maturity, "underlying": "BENCH.NOTE",
            "s0": 100.0, "notional": 1.0, "strike": 100.0, "ki_barrier": 80.0, "ko_barrier": 103.0,
            "coupon_rate": 0.15, "ki_obs_freq": "daily", "ko_obs_freq": "monthly", "obs_start_date": "2024-01-02",
            "obs_end_date": maturity}


def days(dates):
    return np.array([np.datetime64(d, "D") for d in dates], dtype="datetime64[D]")


def mc_pricing(paths, spot, ki_ob_indexes, ko_ob_indexes, discount, coupon, ki_barrier, ko_barrier, strike,
               knocked_in=False):
    n = paths.shape[0]
    ki_level, ko_level = ki_barrier / spot, ko_barrier / spot
    have_coupon = np.zeros((n, len(ko_ob_indexes)), dtype=bool)
    ko = paths[:, ko_ob_indexes] > ko_level
    already_ko = np.zeros(n, dtype=bool)
    for i in range(len(ko_ob_indexes)):
        have_coupon[:, i] = ~already_ko & ko[:, i]
        already_ko |= ko[:, i]
    if knocked_in:
        ki = np.ones(n, dtype=bool)
    else:
        ki = paths[:, ki_ob_indexes].min(axis=1) < ki_level
        have_coupon[:, -1] |= ~ki & ~already_ko
    c = coupon * discount[ko_ob_indexes]
    coupons_paid = have_coupon.astype(np.float32) @ c.astype(np.float32)
    coupon_npv = coupons_paid.sum()
    put_payoff = paths[:, -1] - strike / spot
    put_payoff[~ki | already_ko] = 0.0
    put_payoff[put_payoff > 0] = 0.0
    principal_npv = (put_payoff * discount[-1]).sum() * spot
    # The value, and (not part of the formulation) its standard error.
    per_path = coupons_paid + put_payoff * discount[-1] * spot
    return float((coupon_npv + principal_npv) / n), float(per_path.std() / np.sqrt(n))


def numpy_npv(grid, ko_dates, coupons, ki_dates, note, n_paths, rng):
    e = np.datetime64(EVALUATION_DATE, "D")
    future = ko_dates >= e
    ko_ob_indexes = np.searchsorted(grid, ko_dates[future], side="left")
    ki_ob_indexes = np.searchsorted(grid, ki_dates[ki_dates >= e], side="left")
    dtt = np.diff(np.concatenate(([e], grid))).astype(np.int64) / 365.0
    samples = rng.standard_normal((n_paths, len(grid)))
    increments = (R - Q - VOL ** 2 / 2) * dtt + VOL * np.sqrt(dtt) * samples
    paths = np.exp(np.cumsum(increments, axis=1))
    discount = np.exp(-R * np.cumsum(dtt))
    return mc_pricing(paths, SPOT, ki_ob_indexes, ko_ob_indexes, discount, coupons[future], note.ki_barrier,
                      note.ko_barrier, note.strike)


def dispatched_simd():
    rs = kestrel.random_sample
    return rs.dispatched_simd() if hasattr(rs, "dispatched_simd") else "instruction set not reported"


def best_of(repeat, f):
    best, value = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        value = f()
        best = min(best, time.perf_counter() - t0)
    return best, value


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--paths", type=int, default=100_000)
    parser.add_argument("--years", type=int, choices=(1, 2), default=1)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--simd", default="auto", help="instruction set of kestrel's kernels (auto, avx512, avx2, "
                        "sse4, baseline)")
    args = parser.parse_args()
    if args.simd != "auto":
        kestrel.random_sample.set_simd(args.simd)

    kestrel.heron.install(kestrel.heron.MemoryStore())  # the calendar only: valued on the effect date
    kestrel.random_sample.set_paths(args.paths)
    note = kestrel.make_option(note_terms(args.years))
    grid = days(kestrel.heron.get_trading_dates(EVALUATION_DATE, note.maturity_date))
    coupon = note.coupon
    ko_dates, coupons = days(coupon.keys()), np.array(list(coupon.values()), dtype=np.float64)
    ki_dates = days(note.ki_obs_dates)
    rng = np.random.default_rng(20240101)

    t_numpy, v_numpy = best_of(args.repeat, lambda: numpy_npv(grid, ko_dates, coupons, ki_dates, note, args.paths, rng))
    print(f"snowball npv, {args.years} year ({len(grid)} grid days), {args.paths} paths, "
          f"kestrel on {kestrel.random_sample.threads()} threads ({dispatched_simd()}), "
          f"best of {args.repeat}")
    print(f"numpy             {t_numpy * 1e3:9.2f} ms   value {v_numpy[0]:.6f} +- {v_numpy[1]:.6f}")
    for draws in ("double", "single"):
        kestrel.random_sample.set_draws(draws)
        t_kestrel, v_kestrel = best_of(args.repeat, lambda: note.npv(SPOT, R, VOL, Q, EVALUATION_DATE))
        print(f"kestrel {draws:>6}    {t_kestrel * 1e3:9.2f} ms   value {v_kestrel:.6f} "
              f"({(v_kestrel - v_numpy[0]) / v_numpy[1]:+.2f} standard errors from numpy's)   "
              f"speed {t_numpy / t_kestrel:.1f}x numpy's")
    kestrel.random_sample.reset()

if __name__ == "__main__":
    main()
