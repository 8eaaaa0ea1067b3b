"""The exchange's trading calendar, the one every product and the market-data
stores use.

Weekday closures come from the list published with kestrel (through
covered_until() as shipped), from official lists loaded at run time
(load_closures here, or SqliteStore.import_closures, which also keeps the list
in the store), and for the other years through projected_until() from the
exchange's holiday rules (project_year). closures() tells each day's source:
"published", "official" or "projected"."""
from ._core import calendar as _c

is_trading_day = _c.is_trading_day
trading_days = _c.trading_days
covered_from = _c.covered_from
covered_until = _c.covered_until
projected_until = _c.projected_until
is_projected = _c.is_projected
projected_years = _c.projected_years
closures = _c.closures
project_year = _c.project_year
ClosureList = _c.ClosureList
read_closures = _c.read_closures
ScopedClosures = _c.ScopedClosures
load_closures = _c.load_closures
official_years = _c.official_years
clear_official_closures = _c.clear_official_closures

__all__ = ["is_trading_day", "trading_days", "covered_from", "covered_until", "projected_until", "is_projected",
           "projected_years", "closures", "project_year", "ClosureList", "read_closures", "ScopedClosures", "load_closures", "official_years",
           "clear_official_closures"]
