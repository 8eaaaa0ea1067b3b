from datetime import date
from os import PathLike
from typing import Any, Dict, Iterable, List, Optional, Sequence, Union

from .heron import DateLike

class Calibration:
    evaluation_date: date
    spot: float
    forwards: List[Dict[str, Any]]
    dropped: List[Dict[str, Any]]
    table: List[Dict[str, Any]]
    fits: List[Dict[str, Any]]
    rms_error: float
    max_error: float
    butterfly_free: bool
    calendar_free: bool
    def forward(self, t: float) -> float: ...
    def implied_vol(self, strike: float, t: float) -> float: ...
    def local_vol(self, t: float, spot: float) -> float: ...
    def local_vol_grid(self, times: Sequence[float], log_spots: Sequence[float]) -> List[List[float]]: ...
    def market_entry(self) -> Dict[str, Any]: ...
    def report(self) -> str: ...

def calibrate(quotes: Union[str, PathLike, Iterable[Any]], evaluation_date: DateLike, *, spot: Optional[float] = ...,
              r: Optional[float] = ..., q: float = ..., market: Optional[Union[str, PathLike]] = ...,
              underlying: Optional[str] = ..., forwards: str = ..., tolerance: float = ...) -> Calibration: ...
