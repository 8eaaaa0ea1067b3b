"""The market-data service: trading days and daily price history.

Install one client before building products. A client is a bundled store or any
object with the four methods below (a desk's own data client)::

    kestrel.heron.install(kestrel.heron.bundled_store())  # the price history kestrel ships

    store = kestrel.heron.SqliteStore("prices.db")
    kestrel.heron.install(store)
    with kestrel.calendar.ScopedClosures(store):  # the official closures it holds, if any
        ...                                          # products valued here follow them

    store = kestrel.heron.MemoryStore()
    store.load_directory("data/prices")          # <instrument>[.pre|.none].csv files
    kestrel.heron.install(store)

    class DeskClient:
        def get_previous_trading_date(self, date): ...   # latest trading day before date
        def get_next_trading_date(self, date): ...       # earliest trading day after date
        def get_trading_dates(self, start, end): ...     # trading days, both ends included
        def get_price(self, order_book_id, start, end, fields="close",
                      adjust_type="pre", expect_df=True):
            ...  # None, or a DataFrame indexed by ("order_book_id", "date"), a column per field
    kestrel.heron.install(DeskClient())

Dates reach a client as pandas Timestamps at midnight; it may answer with any date
form kestrel accepts. Errors it raises reach the caller of npv (or of the product's
constructor) unchanged.
"""
import os as _os

from . import _paths
from ._core import heron as _heron

Client = _heron.Client
MemoryStore = _heron.MemoryStore
SqliteStore = _heron.SqliteStore
HeronError = _heron.HeronError
install = _heron.install
installed = _heron.installed
get_previous_trading_date = _heron.get_previous_trading_date
get_next_trading_date = _heron.get_next_trading_date
get_trading_dates = _heron.get_trading_dates
get_price = _heron.get_price



def bundled_store():
    """The price history shipped with kestrel (CSI 300, CSI 500, CSI 1000 and 600519.XSHG):
    the bundled SQLite store, read-only, or in a build tree without it, the bundled price
    files loaded into a MemoryStore. Install it with install(bundled_store())."""
    if _os.path.isfile(_paths.BUNDLED_DB):
        return SqliteStore(_paths.BUNDLED_DB, read_only=True)
    if _paths.PRICE_FILES and _os.path.isdir(_paths.PRICE_FILES):
        store = MemoryStore()
        store.load_directory(_paths.PRICE_FILES)
        return store
    raise HeronError(f"no bundled price store (looked for '{_paths.BUNDLED_DB}')")


for _cls in (Client, MemoryStore, SqliteStore):
    _cls.__module__ = __name__
del _cls

__all__ = ["Client", "MemoryStore", "SqliteStore", "HeronError", "bundled_store", "install", "installed",
           "get_previous_trading_date", "get_next_trading_date", "get_trading_dates", "get_price"]
