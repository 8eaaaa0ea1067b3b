"""Settings of the Monte Carlo products (process-wide): paths, seed, threads and the
precision of the draws ("double", the default, or "single") and the instruction set
the kernels run on ("auto", the default, "avx512", "avx2", "sse4" or "baseline"; the
same values on every one).

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
set_simd = _rs.set_simd
simd = _rs.simd
dispatched_simd = _rs.dispatched_simd
supported_simd = _rs.supported_simd
reset = _rs.reset
DEFAULT_PATHS = _rs.DEFAULT_PATHS
DEFAULT_SEED = _rs.DEFAULT_SEED

__all__ = ["set_paths", "paths", "set_seed", "seed", "set_threads", "threads",
           "hardware_threads", "set_draws", "draws", "set_simd", "simd", "dispatched_simd",
           "supported_simd", "reset", "DEFAULT_PATHS", "DEFAULT_SEED"]
