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
"""

from ._errors import (BadSpecError, DataError, MellixError, MissingSymbolWarning, ParseError,
                      UnknownIndicatorError)
from ._market import Feeds, Market, Spec
from ._merge import MergeError, merge_contexts
from ._records import Context, Fact, FactKind, ToolCall
from ._replay import Replay
from ._varnok_mellix import Mellix, __version__

__all__ = [
    "__version__",
    "BadSpecError",
    "Context",
    "DataError",
    "Fact",
    "FactKind",
    "Feeds",
    "Market",
    "Mellix",
    "MellixError",
    "MergeError",
    "MissingSymbolWarning",
    "ParseError",
    "Replay",
    "Spec",
    "ToolCall",
    "UnknownIndicatorError",
    "merge_contexts",
]
