"""Settings of the Monte Carlo products' random draws (process-wide)."""
from ._core import random_sample as _rs

set_paths = _rs.set_paths
paths = _rs.paths
set_seed = _rs.set_seed
seed = _rs.seed
reset = _rs.reset
DEFAULT_PATHS = _rs.DEFAULT_PATHS
DEFAULT_SEED = _rs.DEFAULT_SEED

__all__ = ["set_paths", "paths", "set_seed", "seed", "reset", "DEFAULT_PATHS", "DEFAULT_SEED"]
