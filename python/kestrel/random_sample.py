"""Settings of the Monte Carlo products (process-wide): paths, seed, threads and the
precision of the draws ("double", the default, or "single").

The draws are a pure function of (seed, path, day), so a value depends on the paths
and the seed but never on the thread count."""
from ._core import random_sample as _rs

set_paths = _rs.set_paths
paths = _rs.paths
set_seed = _rs.set_seed
seed = _rs.seed
set_threads = _rs.set_threads
threads = _rs.threads
hardware_threads = _rs.hardware_threads
set_draws = _rs.set_draws
draws = _rs.draws
reset = _rs.reset
DEFAULT_PATHS = _rs.DEFAULT_PATHS
DEFAULT_SEED = _rs.DEFAULT_SEED

__all__ = ["set_paths", "paths", "set_seed", "seed", "set_threads", "threads",
           "hardware_threads", "set_draws", "draws", "reset", "DEFAULT_PATHS", "DEFAULT_SEED"]
