"""Facts over history: the facts a build would answer at each moment.

:meth:`Market.replay` reads the feeds once and runs the very rules of a build
over each moment's cut of them, so that every row is what a build of that
cut answers, bit for bit. The cut "as of t" keeps, of every series, the
entries with ``ts <= t`` in the order received (the rules never sort); an
order book counts when its ``ts <= t``. With ``cut="window"`` funding, open
interest and liquidations keep only the entries inside the candle window
that ends at t: from the earliest ts among the last ``lookback`` candles as
of t, through t (no candles, no window).
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Final, Literal, TypeAlias

from ._errors import ArgumentError, missing_extra
from ._files import read_file
from ._records import FactKind

if TYPE_CHECKING:
    import pandas

__all__ = ["Replay", "ReplayCut"]

ReplayCut: TypeAlias = Literal["all"] | Literal["window"]

COLUMNS: Final = ("at", "symbol", "kind", "value", "magnitude", "ts", "rank")
"""The columns of a replay, in order; ``"human"`` follows when sentences were
asked for."""

# The engine numbers kinds in the order FactKind lists them.
_KINDS: Final = tuple(FactKind)


def _numbers(typecode: Literal["B", "I", "Q", "q", "d"], data: bytes) -> memoryview[Any]:
    # A view of the engine's bytes, read in place: no copy of a column.
    return memoryview(data).cast(typecode)


class Replay:
    """The facts of a replay, a row per fact: moments in the order replayed,
    facts in rank order within a moment.

    Columns: `at` (the moment, in the feeds' time unit), `symbol`, `kind`,
    `value`, `magnitude`, `ts` (the fact's own timestamp), `rank` (0 for the
    most notable fact of its moment) and, when sentences were asked for,
    `human`. Each is a list, or a :class:`memoryview` of numbers; :meth:`to_pandas`
    makes a DataFrame of them. `moments` are the moments replayed, those
    without facts too; `keys` the feeds keys of the snapshots replayed, in
    ascending order, and `symbols` their snapshots' symbols."""

    __slots__ = ("moments", "keys", "symbols", "_columns", "human")

    def __init__(self, native: Mapping[str, Any]) -> None:
        self.moments: tuple[int, ...] = tuple(native["moments"])
        self.keys: tuple[str, ...] = tuple(native["keys"])
        self.symbols: tuple[str, ...] = tuple(native["symbols"])
        # The rows of moment i are moment_rows[i] to moment_rows[i + 1].
        self._columns = {
            "moment_rows": _numbers("Q", native["moment_rows"]),
            "symbol": _numbers("I", native["symbol"]),
            "kind": _numbers("B", native["kind"]),
            "value": _numbers("d", native["value"]),
            "magnitude": _numbers("d", native["magnitude"]),
            "ts": _numbers("q", native["ts"]),
        }
        self.human: list[str] | None = native["human"]

    def __len__(self) -> int:
        return len(self._columns["kind"])

    def __repr__(self) -> str:
        return f"<Replay: {len(self)} facts at {len(self.moments)} moments>"

    def _spans(self) -> Iterator[tuple[int, int, int]]:
        """(moment, first row, end row) for each moment."""
        rows = self._columns["moment_rows"]
        for i, moment in enumerate(self.moments):
            yield moment, rows[i], rows[i + 1]

    @property
    def at(self) -> list[int]:
        return [moment for moment, first, end in self._spans() for _ in range(first, end)]

    @property
    def symbol(self) -> list[str]:
        return [self.symbols[i] for i in self._columns["symbol"]]

    @property
    def kind(self) -> list[FactKind]:
        return [_KINDS[i] for i in self._columns["kind"]]

    @property
    def value(self) -> memoryview[float]:
        return self._columns["value"]

    @property
    def magnitude(self) -> memoryview[float]:
        return self._columns["magnitude"]

    @property
    def ts(self) -> memoryview[int]:
        return self._columns["ts"]

    @property
    def rank(self) -> list[int]:
        return [rank for _, first, end in self._spans() for rank in range(end - first)]

    def columns(self) -> dict[str, Sequence[Any]]:
        """Every column by name, in :data:`COLUMNS` order (then ``human``)."""
        out: dict[str, Sequence[Any]] = {name: getattr(self, name) for name in COLUMNS}
        if self.human is not None:
            out["human"] = self.human
        return out

    def __iter__(self) -> Iterator[tuple[Any, ...]]:
        """The rows, as tuples in :meth:`columns` order."""
        return zip(*self.columns().values())

    def to_pandas(self) -> pandas.DataFrame:
        """The rows as a DataFrame (needs the ``pandas`` extra): `symbol` and
        `kind` as categoricals, `kind` by its wire name. Raises ImportError
        naming the extra when pandas is not installed."""
        try:
            import numpy as np
            import pandas as pd
        except ImportError as error:
            raise missing_extra("Replay.to_pandas", "pandas", error) from error

        def numbers(name: str, dtype: str) -> Any:
            return np.frombuffer(self._columns[name], dtype=dtype)

        per_moment = np.diff(numbers("moment_rows", "uint64")).astype(np.int64)
        first_rows = numbers("moment_rows", "uint64")[:-1].astype(np.int64)
        # Two feeds keys may hold snapshots of one symbol: categories are unique.
        names = list(dict.fromkeys(self.symbols))
        number = {name: i for i, name in enumerate(names)}
        symbol_codes = np.array([number[s] for s in self.symbols], dtype=np.int32)
        frame = pd.DataFrame({
            "at": np.repeat(np.array(self.moments, dtype=np.int64), per_moment),
            "symbol": pd.Categorical.from_codes(symbol_codes[numbers("symbol", "uint32")],
                                                categories=pd.Index(names)),
            "kind": pd.Categorical.from_codes(numbers("kind", "uint8").astype(np.int8),
                                              categories=pd.Index([k.value for k in _KINDS])),
            "value": numbers("value", "float64"),
            "magnitude": numbers("magnitude", "float64"),
            "ts": numbers("ts", "int64"),
            "rank": np.arange(len(self), dtype=np.int64) - np.repeat(first_rows, per_moment),
        })
        if self.human is not None:
            frame["human"] = self.human
        return frame


def replay_request(feeds: Any) -> tuple[Any, str | None]:
    """The build request for `feeds` (text, bytes, a mapping or a file's
    path), and the caller's text within it, as Market.build makes it."""
    from ._market import _feeds_request

    return _feeds_request(read_file(feeds) if isinstance(feeds, os.PathLike) else feeds)


def check_moments(at: Sequence[int] | None, every: int | None) -> tuple[list[int], int]:
    """`at` and `every` as the engine takes them; exactly one is given."""
    if (at is None) == (every is None):
        raise ArgumentError("give either at (a list of moments) or every (a number of candles)")
    if every is not None:
        if isinstance(every, bool) or not isinstance(every, int) or every < 1:
            raise ArgumentError(f"every must be a whole number of candles from 1, not {every!r}")
        return [], every
    assert at is not None
    moments = list(at)
    if not all(isinstance(t, int) and not isinstance(t, bool) for t in moments):
        raise TypeError("at must hold int timestamps")
    return moments, 0


Progress = Callable[[int, int], object]
