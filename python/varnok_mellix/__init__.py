"""Market-analysis assistant driven by JSON commands.

Create a :class:`Mellix` from a JSON spec and drive it with
:meth:`Mellix.command`, which always answers with one JSON text::

    >>> from varnok_mellix import Mellix
    >>> m = Mellix('{"symbols": ["BTC"], "lookback": 20, "facts": ["price_move"]}')
    >>> m.command('{"cmd": "version"}')
    '{"version":"0.1.4"}'

A ``Mellix`` instance is bound to the thread that created it.
"""

from ._varnok_mellix import Mellix, __version__

__all__ = ["__version__", "Mellix"]
