"""Snapshots from common market data: exchange-library structures and pandas.

:func:`snapshot` turns what an exchange library's unified methods return
(OHLCV rows, an order book, trades, funding-rate history, open-interest
history, liquidations), or a pandas DataFrame of candles, into one snapshot
that :meth:`Market.build <varnok_mellix.Market.build>` reads::

    btc = snapshot("BTC", ohlcv=rows, order_book=book, funding_rates=rates)
    eth = snapshot("ETH", ohlcv=frame)
    market.build(to_feeds(btc, eth))
    btc.dropped        # {"candles": 2}: rows left out for a missing or NaN value

Numbers may be given as strings; rows with a missing, NaN or infinite value
are left out and counted in :attr:`Snapshot.dropped`; every list is sorted by
time, oldest first, since the engine takes the last entry as the newest.
Timestamps are kept in `unit` (milliseconds by default), which the engine
copies and never converts; a number that looks like another unit raises
:class:`TimestampUnitError`. Data of the wrong shape raises
:class:`~varnok_mellix.FeedsError`, an option outside its choices
:class:`~varnok_mellix.ArgumentError` (both are a
:class:`~varnok_mellix.MellixError`). pandas is optional: nothing here imports
it.

:func:`load` reads feeds from a file: a JSON object (symbol -> snapshot), or
JSON Lines with one snapshot per line.
"""

from __future__ import annotations

import datetime as _dt
import decimal
import functools
import json
import math
import numbers
import os
import sys
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass, field
from typing import Any, Final, Literal, TypeAlias

from ._errors import ArgumentError, FeedsError, ParseError, TimestampUnitError
from ._files import read_file

__all__ = ["LiquidationSide", "Records", "Snapshot", "TimestampUnitError", "load", "snapshot",
           "to_feeds"]

LiquidationSide: TypeAlias = Literal["order"] | Literal["position"]
"""How a liquidation's ``"buy"`` or ``"sell"`` is read: as the side of the
liquidation order (``"order"``: a sell closes a long) or as the side of the
position liquidated (``"position"``: a buy is a long). See :func:`snapshot`."""

# A liquidation closes the position with an order of the opposite side.
_LIQUIDATED: Final[dict[str, dict[str, str]]] = {
    "order": {"sell": "long", "buy": "short"},
    "position": {"buy": "long", "sell": "short"},
}
_LINES_SUFFIXES: Final = (".jsonl", ".ndjson")


_UNIT_NAMES: Final[dict[str, str]] = {"s": "seconds", "ms": "milliseconds",
                                      "us": "microseconds", "ns": "nanoseconds"}
_NS_PER: Final[dict[str, int]] = {"s": 10**9, "ms": 10**6, "us": 10**3, "ns": 1}
# Epoch timestamps of the years 1973 to 5138 are 9 to 11 digits long in
# seconds, 12 to 14 in milliseconds, and so on: the ranges do not overlap, so
# a number's size tells its unit. Smaller numbers (bar indices, test data)
# tell nothing and are taken in the unit given.
_UNIT_FLOORS: Final = (("ns", 10**17), ("us", 10**14), ("ms", 10**11), ("s", 10**8))
_EPOCH: Final = _dt.datetime(1970, 1, 1, tzinfo=_dt.timezone.utc)
_TIME_COLUMNS: Final = ("timestamp", "ts", "time", "datetime", "date")
_CANDLE_COLUMNS: Final = ("open", "high", "low", "close", "volume")


@dataclass(frozen=True)
class Snapshot:
    """One symbol's snapshot, ready for :meth:`Market.build`.

    `data` is the snapshot itself (records as arrays, lists oldest first);
    `dropped` counts, per snapshot member (``"candles"``, ``"orderbook"``,
    ``"trades"``, ``"funding"``, ``"open_interest"``, ``"liquidations"``), the
    rows left out for a missing or non-finite value. It lists only members
    that lost rows, so ``if snap.dropped:`` tells whether anything was left out.
    """

    symbol: str
    data: dict[str, Any] = field(hash=False)
    dropped: dict[str, int] = field(default_factory=dict, hash=False)


def to_feeds(*snapshots: Snapshot) -> dict[str, dict[str, Any]]:
    """The feeds of a build (symbol -> snapshot). A symbol given twice raises
    :class:`~varnok_mellix.FeedsError`."""
    feeds: dict[str, dict[str, Any]] = {}
    for snap in snapshots:
        if snap.symbol in feeds:
            raise FeedsError(f"two snapshots for {snap.symbol!r}")
        feeds[snap.symbol] = snap.data
    return feeds


def load(path: str | os.PathLike[str], *, lines: bool | None = None) -> dict[str, Any]:
    """The feeds (symbol -> snapshot) of a file: a JSON object of snapshots, or
    JSON Lines, one snapshot per line (an object with its ``symbol``, or the
    array form), keyed by the snapshot's own symbol.

    `lines` says which; by default a name ending in .jsonl or .ndjson is JSON
    Lines and any other JSON. Blank lines are skipped. Raises OSError for a
    file that cannot be read (a directory or a device included),
    :class:`~varnok_mellix.ParseError` for text that is not JSON (`line` and
    `column` locate the fault in the file) and
    :class:`~varnok_mellix.FeedsError` for JSON of another shape or a symbol
    on two lines.
    """
    if lines is None:
        lines = _names_json_lines(path)
    data = read_file(path)
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise ParseError(f"not UTF-8 text: {error.reason} at byte {error.start}") from None
    if not lines:
        feeds = _json_value(text, 0)
        if not isinstance(feeds, dict):
            raise FeedsError(f"the feeds are a JSON {type(feeds).__name__}; expected an object "
                             "of symbol -> snapshot (or JSON Lines of snapshots: lines=True)")
        return feeds
    feeds = {}
    first_line: dict[str, int] = {}
    for number, line in enumerate(text.split("\n"), 1):
        if not line.strip():
            continue
        snap = _json_value(line, number - 1)
        symbol = snap.get("symbol") if isinstance(snap, dict) else \
            snap[0] if isinstance(snap, list) and snap else None
        if not isinstance(symbol, str):
            raise FeedsError(f"line {number}: expected a snapshot with its symbol, an object "
                             "with a \"symbol\" string or an array starting with it")
        if symbol in first_line:
            raise FeedsError(f"line {number}: a second snapshot of {symbol!r} "
                             f"(the first is on line {first_line[symbol]}); give one line per "
                             "symbol")
        first_line[symbol] = number
        feeds[symbol] = snap
    return feeds


def _names_json_lines(path: str | os.PathLike[str]) -> bool:
    """Whether the file name says JSON Lines (.jsonl, .ndjson)."""
    return os.fspath(path).lower().endswith(_LINES_SUFFIXES)


def _json_value(text: str, lines_before: int) -> Any:
    """The JSON value of `text`, which starts after `lines_before` lines of its
    file; a ParseError gives the position in the file."""
    try:
        return json.loads(text)
    except json.JSONDecodeError as error:
        raise ParseError(f"{error.msg} at line {error.lineno + lines_before} column "
                         f"{error.colno}") from None


Records: TypeAlias = Iterable[Mapping[str, Any]] | Mapping[str, Any]
"""Records as a list, or one record."""


def snapshot(symbol: str, *, ohlcv: Any = None, order_book: Mapping[str, Any] | None = None,
             trades: Records | None = None, funding_rates: Records | None = None,
             open_interest: Records | None = None, liquidations: Records | None = None,
             unit: Literal["s", "ms", "us", "ns"] = "ms",
             time_column: str | None = None,
             liquidation_side: LiquidationSide = "order") -> Snapshot:
    """The snapshot of `symbol` from exchange-library structures.

    - `ohlcv`: rows ``[timestamp, open, high, low, close, volume, ...]``
      (columns past the sixth are ignored), or a pandas DataFrame with
      columns open, high, low, close and volume (any case) and the time in
      `time_column`, by default the first of the columns timestamp, ts, time,
      datetime, date, else the index. Timestamps may be numbers in `unit`,
      datetimes (naive ones are taken as UTC) or ISO 8601 text.
    - `order_book`: ``{"bids": [[price, amount], ...], "asks": ...,
      "timestamp": ...}``; levels may carry a third member (a count), which is
      ignored. Without a timestamp the book takes the newest candle's.
    - `trades`: ``{"timestamp", "price", "amount", "side"}`` with side
      "buy" or "sell", the taker's side: a sell means the buyer was the maker.
    - `funding_rates`: ``{"timestamp", "fundingRate"}``.
    - `open_interest`: ``{"timestamp", "openInterestAmount"}``, or
      ``"openInterestValue"`` when no entry has an amount.
    - `liquidations`: ``{"timestamp", "side", "price", ...}`` with the
      quantity from ``baseValue``, else ``contracts`` × ``contractSize`` (1
      when absent), else ``quoteValue`` / price. A side "long" or "short" is
      the position liquidated. A side "buy" or "sell", as ccxt's unified
      liquidation structure gives it, is read by `liquidation_side`:

      - ``"order"`` (the default): the side of the liquidation order, which
        closes the position, so "sell" is a long liquidated and "buy" a
        short. Binance's liquidation order streams (USD-M and COIN-M futures)
        report this side, and ccxt passes it on for binance; ccxt's okx
        passes on OKX's order side too (its recorded message pairs side "buy"
        with posSide "short").
      - ``"position"``: the side of the position, so "buy" is a long
        liquidated. Bybit documents the side of its v5 liquidation streams
        as the position's ("Buy" means a long was liquidated), and ccxt
        passes it on for bybit; ccxt's gate turns Gate's position into this
        side as well ("long" or a positive size becomes "buy").

      Checked against Binance's and Bybit's public API documents and the
      parsers of ccxt 4.5; an exchange or ccxt can change its convention, so
      check the venue you read before trusting the long/short split.

    funding_rates, open_interest, trades and liquidations also take a single
    record (a mapping), as ``fetch_funding_rate`` and ``fetch_open_interest``
    return it.

    Raises :class:`~varnok_mellix.FeedsError` for data of the wrong shape (a
    short row, a side it does not know, text that is not a number),
    :class:`TimestampUnitError` (a FeedsError) for timestamps that look like
    another unit and :class:`~varnok_mellix.ArgumentError` for a `unit`,
    `liquidation_side` or `time_column` it does not take.
    """
    if unit not in _NS_PER:
        raise ArgumentError(f"unit must be one of {', '.join(_NS_PER)}, not {unit!r}")
    if liquidation_side not in _LIQUIDATED:
        raise ArgumentError(f"liquidation_side must be 'order' or 'position', not "
                            f"{liquidation_side!r}")
    reader = _Reader(symbol, unit)
    candles = reader.candles(ohlcv, time_column)
    data: dict[str, Any] = {"symbol": symbol, "candles": candles}
    if order_book is not None:
        fallback = candles[-1][0] if candles else None
        book = reader.order_book(order_book, fallback)
        if book is not None:
            data["orderbook"] = book
    if trades is not None:
        data["trades"] = reader.records("trades", trades, _trade)
    if funding_rates is not None:
        data["funding"] = reader.records(
            "funding", funding_rates, lambda r: [_number(r.get("fundingRate"), "fundingRate")])
    if open_interest is not None:
        data["open_interest"] = reader.open_interest(open_interest)
    if liquidations is not None:
        data["liquidations"] = reader.records(
            "liquidations", liquidations,
            functools.partial(_liquidation, _LIQUIDATED[liquidation_side]))
    return Snapshot(symbol, data, {k: n for k, n in reader.dropped.items() if n})


# ---------------------------------------------------------------------------
# Values. A value that is absent (None, NaN, NaT, an infinity, empty text)
# is _Missing, which drops its row; one of the wrong type is a FeedsError.


class _Missing(Exception):
    pass


_Values: TypeAlias = Callable[[Any], list[Any]]
"""The values of a record after its timestamp; raises _Missing or FeedsError."""


def _number(value: Any, name: str) -> float:
    if value is None:
        raise _Missing
    if isinstance(value, str):
        text = value.strip()
        if not text:
            raise _Missing
        try:
            number = float(text)
        except ValueError:
            raise FeedsError(f"{name} {value!r} is not a number") from None
    elif isinstance(value, (numbers.Real, decimal.Decimal)) and not isinstance(value, bool):
        number = float(value)
    else:
        raise FeedsError(f"{name} must be a number, not {type(value).__name__}")
    if not math.isfinite(number):
        raise _Missing
    return number


def _is_missing(value: Any) -> bool:
    try:
        return value is None or bool(value != value)  # NaN and NaT differ from themselves
    except (TypeError, ValueError):
        return False


class _Reader:
    """Converts the records of one snapshot, counting what it drops."""

    def __init__(self, symbol: str, unit: str) -> None:
        self.symbol = str(symbol)  # names the snapshot in error texts only
        self.unit = unit
        self.dropped: dict[str, int] = {}

    def timestamp(self, value: Any, member: str) -> int:
        """A timestamp in the reader's unit."""
        if _is_missing(value):
            raise _Missing
        if isinstance(value, _dt.datetime):
            return self._from_datetime(value)
        if type(value).__name__ == "datetime64":  # numpy's, as to_numpy() gives them
            return int(value.astype("datetime64[ns]").astype("int64")) // _NS_PER[self.unit]
        if isinstance(value, str):
            text = value.strip()
            if not text:
                raise _Missing
            try:
                number: Any = int(text)
            except ValueError:
                try:
                    number = float(text)
                except ValueError:
                    try:
                        return self._from_datetime(_dt.datetime.fromisoformat(text))
                    except ValueError:
                        raise FeedsError(f"{self.symbol} {member}: timestamp {value!r} is "
                                         "neither a number nor an ISO 8601 time") from None
        elif isinstance(value, numbers.Real) and not isinstance(value, bool):
            number = value
        else:
            raise FeedsError(f"{self.symbol} {member}: a timestamp must be a number or a "
                             f"datetime, not {type(value).__name__}")
        if not isinstance(number, numbers.Integral):
            number = float(number)
            if not math.isfinite(number):
                raise _Missing
            if not number.is_integer():
                raise FeedsError(
                    f"{self.symbol} {member}: timestamp {number!r} is not a whole number of "
                    f"{_UNIT_NAMES[self.unit]}; give a finer unit")
        ts = int(number)
        self._check_unit(ts, member)
        return ts

    def _from_datetime(self, value: _dt.datetime) -> int:
        nanoseconds = getattr(value, "value", None)  # a pandas Timestamp, exact to the ns
        if not isinstance(nanoseconds, int):
            if value.tzinfo is None:
                value = value.replace(tzinfo=_dt.timezone.utc)
            delta = value - _EPOCH
            nanoseconds = ((delta.days * 86_400 + delta.seconds) * 10**6
                           + delta.microseconds) * 1000
        return nanoseconds // _NS_PER[self.unit]

    def _check_unit(self, ts: int, member: str) -> None:
        size = abs(ts)
        looks = next((unit for unit, floor in _UNIT_FLOORS if size >= floor), None)
        if looks is not None and looks != self.unit:
            raise TimestampUnitError(
                f"{self.symbol} {member}: timestamp {ts} looks like {_UNIT_NAMES[looks]}, "
                f"not {_UNIT_NAMES[self.unit]}; pass unit={looks!r} if it is")

    def _row(self, member: str, record: Any, values: _Values) -> list[Any] | None:
        """[ts, *values(record)], or None (counted) when a value is missing."""
        if member != "candles" and not isinstance(record, Mapping):
            raise FeedsError(f"{self.symbol} {member}: expected records as mappings with a "
                             f"timestamp, got {type(record).__name__}")
        try:
            rest = values(record)  # first: it checks the record's shape
            time = record.get("timestamp") if isinstance(record, Mapping) else record[0]
            return [self.timestamp(time, member), *rest]
        except _Missing:
            self.dropped[member] = self.dropped.get(member, 0) + 1
            return None

    def listed(self, member: str, records: Any) -> list[Any]:
        """`records` as a list; a mapping is one record."""
        if member != "candles" and isinstance(records, Mapping):
            return [records]
        if isinstance(records, (str, bytes, bytearray, Mapping)) or \
                not isinstance(records, Iterable):
            raise FeedsError(f"{self.symbol} {member}: expected a list of records, "
                             f"not a {type(records).__name__}")
        return list(records)

    def records(self, member: str, records: Any, values: _Values) -> list[list[Any]]:
        rows = [row for row in (self._row(member, r, values)
                                for r in self.listed(member, records)) if row]
        rows.sort(key=lambda row: row[0])  # stable: equal times keep their order
        return rows

    def candles(self, ohlcv: Any, time_column: str | None) -> list[list[Any]]:
        if ohlcv is None:
            return []
        if _is_dataframe(ohlcv):
            ohlcv = _frame_rows(ohlcv, time_column)
        elif time_column is not None:
            raise ArgumentError("time_column applies to a DataFrame only")

        def values(row: Any) -> list[float]:
            if isinstance(row, (str, bytes, Mapping)) or len(row) < 6:
                raise FeedsError(f"{self.symbol} candles: an OHLCV row needs 6 columns "
                                 f"[timestamp, open, high, low, close, volume], got {row!r}")
            return [_number(row[i], name) for i, name in enumerate(_CANDLE_COLUMNS, 1)]

        return self.records("candles", ohlcv, values)

    def order_book(self, book: Mapping[str, Any], fallback: int | None) -> list[Any] | None:
        if not isinstance(book, Mapping):
            raise FeedsError(f"{self.symbol} order book: expected a mapping with bids and asks")
        sides = []
        for name in ("bids", "asks"):
            levels = []
            for level in book.get(name) or ():
                if isinstance(level, (str, bytes, Mapping)) or len(level) < 2:
                    raise FeedsError(f"{self.symbol} order book: a level is [price, amount], "
                                     f"got {level!r}")
                try:
                    levels.append([_number(level[0], "price"), _number(level[1], "amount")])
                except _Missing:
                    self.dropped["orderbook"] = self.dropped.get("orderbook", 0) + 1
            sides.append(levels)
        try:
            ts = self.timestamp(book.get("timestamp"), "order book")
        except _Missing:
            if fallback is None:
                self.dropped["orderbook"] = self.dropped.get("orderbook", 0) + 1
                return None
            ts = fallback
        return [ts, *sides]

    def open_interest(self, history: Records) -> list[list[Any]]:
        history = self.listed("open_interest", history)
        # One series must not mix contracts and quote value: the change between
        # them would be meaningless. The amount is used when any entry has it.
        key = "openInterestAmount"
        if not any(isinstance(r, Mapping) and not _is_missing(r.get(key)) for r in history):
            key = "openInterestValue"
        return self.records("open_interest", history, lambda r: [_number(r.get(key), key)])


def _trade(record: Mapping[str, Any]) -> list[Any]:
    side = record.get("side")
    if _is_missing(side):
        raise _Missing
    if not isinstance(side, str) or side.lower() not in ("buy", "sell"):
        raise FeedsError(f"a trade's side is 'buy' or 'sell', not {side!r}")
    # The side is the taker's: when the taker sold, the buyer was the resting order.
    return [_number(record.get("price"), "price"), _number(record.get("amount"), "amount"),
            side.lower() == "sell"]


def _liquidation(liquidated: Mapping[str, str], record: Mapping[str, Any]) -> list[Any]:
    side = record.get("side")
    if _is_missing(side):
        raise _Missing
    position = side.lower() if isinstance(side, str) else None
    position = liquidated.get(position, position) if position else None
    if position not in ("long", "short"):
        raise FeedsError(f"a liquidation's side is 'long' or 'short' (the position "
                         f"liquidated), or 'buy' or 'sell' (read as liquidation_side says), "
                         f"not {side!r}")
    price = _number(record.get("price"), "price")
    if not _is_missing(record.get("baseValue")):
        qty = _number(record["baseValue"], "baseValue")
    elif not _is_missing(record.get("contracts")):
        size = record.get("contractSize")
        qty = _number(record["contracts"], "contracts") * \
            (1.0 if _is_missing(size) else _number(size, "contractSize"))
    elif not _is_missing(record.get("quoteValue")) and price:
        qty = _number(record["quoteValue"], "quoteValue") / price
    else:
        raise _Missing
    return [position, price, qty]


# ---------------------------------------------------------------------------
# pandas, found only when the caller has imported it.


def _is_dataframe(value: Any) -> bool:
    pandas = sys.modules.get("pandas")
    return pandas is not None and isinstance(value, pandas.DataFrame)


def _is_row_positions(index: Any) -> bool:
    """Whether `index` is a DataFrame's default index, 0, 1, ..., n - 1.

    pandas 3 keeps evenly spaced integers as a RangeIndex, also when they are
    timestamps (``set_index("timestamp")`` of one-minute bars), so the type
    alone does not tell; an unnamed range from 0 in steps of 1 is the default
    one."""
    return (type(index).__name__ == "RangeIndex" and index.name is None
            and index.start == 0 and index.step == 1)


def _frame_rows(frame: Any, time_column: str | None) -> list[list[Any]]:
    """The rows [time, open, high, low, close, volume] of a DataFrame, with
    Python values (pandas Timestamps for datetimes, NaT and NaN kept)."""
    columns = {str(name).lower(): name for name in frame.columns}
    absent = [name for name in _CANDLE_COLUMNS if name not in columns]
    if absent:
        raise FeedsError(f"the DataFrame has no column {', '.join(absent)} "
                         f"(it has {', '.join(map(str, frame.columns))})")
    if time_column is not None:
        if time_column not in frame.columns:
            raise FeedsError(f"the DataFrame has no column {time_column!r}")
        times = frame[time_column]
    else:
        found = next((columns[name] for name in _TIME_COLUMNS if name in columns), None)
        if found is not None:
            times = frame[found]
        elif _is_row_positions(frame.index) and len(frame):
            raise FeedsError("the DataFrame has no time: its index is the row numbers 0 to "
                             f"{len(frame) - 1} and no column is named "
                             f"{', '.join(_TIME_COLUMNS)}; name the time column "
                             "(time_column=...) or set it as the index")
        else:
            times = frame.index
    parts = [list(times), *(frame[columns[name]].tolist() for name in _CANDLE_COLUMNS)]
    return [list(row) for row in zip(*parts)]

