"""Market-analysis assistant: ranked market facts from feed snapshots, and the
fact lookups that answer a question.

Most code uses :class:`Market`::

    >>> from varnok_mellix import Market
    >>> market = Market(symbols=["BTC"], lookback=3)
    >>> candles = [[t, c, c, c, c, 1.0] for t, c in enumerate([100.0, 101.0, 103.0])]
    >>> context = market.build({"BTC": {"symbol": "BTC", "candles": candles}})
    >>> [fact.human for fact in context.facts]
    ['BTC rose +3.00% over the last 3 bars.']
    >>> market.resolve(market.query("why did BTC pump?"))[0].value
    3.0

:func:`merge_contexts` merges contexts built over disjoint sets of symbols
into the context of one build; :mod:`varnok_mellix.dask` builds shards on a
Dask cluster.

:class:`Mellix` is the native engine underneath, driven by JSON command texts;
an instance is bound to the thread that created it.

Every exception the package raises for input it refuses is a
:class:`MellixError` (a ValueError), of a subclass that says what was
refused; a wrong argument type raises TypeError and an unreadable file
OSError. An optional module (:mod:`varnok_mellix.mcp`,
:mod:`varnok_mellix.dask`) whose extra is not installed raises ImportError
naming it.
"""

from ._errors import (ArgumentError, BadSpecError, DataError, FeedsError, MellixError, MergeError,
                      MissingSymbolWarning, NoContextError, ParseError, ShardError,
                      TimestampUnitError, UnknownIndicatorError)
from ._market import Feeds, Market, Spec
from ._merge import merge_contexts
from ._records import Context, Evidence, Fact, FactKind, ToolCall
from ._replay import Replay
from ._varnok_mellix import Mellix, __version__

__all__ = [
    "__version__",
    "ArgumentError",
    "BadSpecError",
    "Context",
    "DataError",
    "Evidence",
    "Fact",
    "FactKind",
    "Feeds",
    "FeedsError",
    "Market",
    "Mellix",
    "MellixError",
    "MergeError",
    "MissingSymbolWarning",
    "NoContextError",
    "ParseError",
    "Replay",
    "ShardError",
    "Spec",
    "TimestampUnitError",
    "ToolCall",
    "UnknownIndicatorError",
    "merge_contexts",
]

# What this package exports names it as its module, not the private module it
# is written in: a pickle finds a class by module and name, and so pickles,
# reprs and tracebacks keep working when the private modules change.
for _name in __all__:
    if getattr(globals()[_name], "__module__", "").startswith(f"{__name__}._"):
        setattr(globals()[_name], "__module__", __name__)
del _name
