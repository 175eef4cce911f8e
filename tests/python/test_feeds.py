"""Feed adapters on recorded structures of an exchange library's unified
methods and on pandas DataFrames."""

import datetime
import json
import os
import pathlib
import re

import pandas as pd
import pytest

from varnok_mellix import ArgumentError, FactKind, FeedsError, Market, ParseError, _samples
from varnok_mellix.feeds import TimestampUnitError, load, snapshot, to_feeds

T = 1_733_000_000_000  # ms
M = 60_000
NAN = float("nan")

# As fetch_ohlcv returns them, plus a 7th column, numbers as text, a NaN, a
# missing volume, a float timestamp and one row out of order.
OHLCV = [[T, "100", "101", "99", "100", "5", 0], [T + 2 * M, 102.0, 103, 101, 102, 7, 0],
         [T + M, 101, 102, 100, 101, 6, 0], [T + 3 * M, NAN, 1, 1, 1, 1, 0],
         [T + 4 * M, 104, 104, 104, 104, None, 0], [float(T + 5 * M), 106, 107, 105, 106, 9, 0]]
CANDLES = [[T, 100.0, 101.0, 99.0, 100.0, 5.0], [T + M, 101.0, 102.0, 100.0, 101.0, 6.0],
           [T + 2 * M, 102.0, 103.0, 101.0, 102.0, 7.0], [T + 5 * M, 106.0, 107.0, 105.0, 106.0, 9.0]]
ORDER_BOOK = {"symbol": "BTC/USDT:USDT", "bids": [[105.9, 4.0, 3], [105.8, None, 1]],
              "asks": [["106.1", "1.0", 1]], "timestamp": None, "nonce": 7}
TRADES = [{"id": "2", "timestamp": T + M, "price": "101", "amount": 0.5, "side": "sell"},
          {"id": "1", "timestamp": T, "price": 100, "amount": 2, "side": "buy", "info": {}},
          {"id": "3", "timestamp": T + 2 * M, "price": 102, "amount": 1, "side": None}]
FUNDING = [{"symbol": "BTC/USDT:USDT", "fundingRate": 0.0001, "timestamp": T, "info": {}},
           {"symbol": "BTC/USDT:USDT", "fundingRate": "-0.0002", "timestamp": T + 480 * M}]
OPEN_INTEREST = [{"openInterestAmount": None, "openInterestValue": v, "timestamp": T + i * M}
                 for i, v in enumerate([1e6, 1.1e6, NAN])]
LIQUIDATIONS = [{"contracts": 3, "contractSize": 0.5, "price": 100, "baseValue": None,
                 "timestamp": T + 2 * M, "side": "long"},
                {"contracts": None, "price": 200, "baseValue": 2, "timestamp": T, "side": "SHORT"},
                {"price": 50, "quoteValue": 100, "timestamp": T + M, "side": "long"},
                {"price": 50, "timestamp": T + M, "side": "long"}]


def test_exchange_structures_become_a_snapshot_the_engine_builds():
    snap = snapshot("BTC", ohlcv=OHLCV, order_book=ORDER_BOOK, trades=TRADES,
                    funding_rates=FUNDING, open_interest=OPEN_INTEREST, liquidations=LIQUIDATIONS)
    assert snap.data == {
        "symbol": "BTC", "candles": CANDLES,
        "orderbook": [T + 5 * M, [[105.9, 4.0]], [[106.1, 1.0]]],  # the newest candle's time
        "trades": [[T, 100.0, 2.0, False], [T + M, 101.0, 0.5, True]],  # sell: buyer was maker
        "funding": [[T, 0.0001], [T + 480 * M, -0.0002]],
        "open_interest": [[T, 1e6], [T + M, 1.1e6]],
        "liquidations": [[T, "short", 200.0, 2.0], [T + M, "long", 50.0, 2.0],
                         [T + 2 * M, "long", 100.0, 1.5]],
    }
    assert snap.dropped == {"candles": 2, "orderbook": 1, "trades": 1, "open_interest": 1,
                            "liquidations": 1}
    context = Market(symbols=["BTC"], lookback=4).build(to_feeds(snap))
    assert {fact.kind for fact in context.facts} == set(FactKind) - {FactKind.VOLATILITY_SPIKE}


def frame(**renamed):
    """CANDLES newest first, then a row with a NaN, with a millisecond column."""
    rows = CANDLES[::-1] + [[T + 6 * M, NAN, 1.0, 1.0, 1.0, 1.0]]
    columns = ["timestamp", "open", "high", "low", "close", "volume"]
    return pd.DataFrame(rows, columns=columns).rename(columns=renamed)


def naive(ms):
    return datetime.datetime(1970, 1, 1) + datetime.timedelta(milliseconds=ms)


def dated(df, tz=None):
    df["timestamp"] = pd.to_datetime(df["timestamp"], unit="ms", utc=tz is not None)
    return df if tz is None else df.assign(timestamp=df["timestamp"].dt.tz_convert(tz))


@pytest.mark.parametrize("make, kwargs", [
    (lambda: frame(), {}),
    (lambda: frame(open="Open", close="CLOSE"), {}),
    (lambda: dated(frame()).set_index("timestamp"), {}),
    (lambda: dated(frame(), "Asia/Tokyo").rename(columns={"timestamp": "opened"}),
     {"time_column": "opened"}),
    (lambda: dated(frame()).rename(columns={"timestamp": "date"}), {}),
    (lambda: frame().values.tolist(), {}),  # the timestamp turned into a float
    (lambda: [[naive(row[0]), *row[1:]] for row in frame().values.tolist()], {}),
    (lambda: [[naive(row[0]).isoformat() + "+00:00", *row[1:]]
              for row in frame().values.tolist()], {}),
    (lambda: dated(frame()), {"unit": "s"}),  # datetimes in the unit asked for
], ids=["ms column", "capitalised", "datetime index", "zoned column", "date column", "tolist",
        "naive datetimes", "ISO text", "seconds"])
def test_candle_frames_and_times_of_every_form_give_the_same_candles(make, kwargs):
    snap = snapshot("BTC", ohlcv=make(), **kwargs)
    scale = 1000 if kwargs.get("unit") == "s" else 1
    assert snap.data["candles"] == [[row[0] // scale, *row[1:]] for row in CANDLES]
    assert snap.dropped == {"candles": 1}


@pytest.mark.parametrize("kwargs, error, message", [
    ({"ohlcv": [[T, 1, 1, 1, 1, 1]], "unit": "s"}, TimestampUnitError,
     "looks like milliseconds, not seconds; pass unit='ms'"),
    ({"funding_rates": [{"timestamp": T * 1000, "fundingRate": 0.1}]}, TimestampUnitError,
     "BTC funding: timestamp 1733000000000000 looks like microseconds, not milliseconds"),
    ({"ohlcv": [[T + 0.5, 1, 1, 1, 1, 1]]}, FeedsError, "not a whole number of milliseconds"),
    ({"ohlcv": [[T, 1, 1, 1, 1]]}, FeedsError, "an OHLCV row needs 6 columns"),
    ({"ohlcv": [[T, "1,5", 1, 1, 1, 1]]}, FeedsError, "open '1,5' is not a number"),
    ({"trades": [{"timestamp": T, "price": 1, "amount": 1, "side": "bid"}]}, FeedsError,
     "a trade's side is 'buy' or 'sell'"),
    ({"liquidations": [{"timestamp": T, "price": 1, "baseValue": 1, "side": "bid"}]},
     FeedsError, "a liquidation's side is 'long' or 'short' (the position liquidated), or 'buy'"),
    ({"liquidations": [], "liquidation_side": "taker"}, ArgumentError,
     "liquidation_side must be 'order' or 'position', not 'taker'"),
    ({"funding_rates": "0.0001"}, FeedsError, "BTC funding: expected a list of records, not a str"),
    ({"open_interest": 5}, FeedsError, "BTC open_interest: expected a list of records, not a int"),
    ({"unit": "m"}, ArgumentError, "unit must be one of s, ms, us, ns"),
])
def test_data_of_the_wrong_unit_or_shape_is_refused_with_a_reason(kwargs, error, message):
    with pytest.raises(error, match=re.escape(message)):
        snapshot("BTC", **kwargs)


def even_frame(rows=5):
    """Evenly spaced one-minute candles: pandas 3 keeps such a time column,
    set as the index, as a RangeIndex."""
    return pd.DataFrame([[T + i * M, 100.0 + i, 101.0 + i, 99.0 + i, 100.5 + i, 5.0]
                         for i in range(rows)],
                        columns=["timestamp", "open", "high", "low", "close", "volume"])


@pytest.mark.parametrize("make", [
    lambda: even_frame().set_index("timestamp").rename_axis(None),  # unnamed, not from 0
    lambda: even_frame().assign(timestamp=range(5)).set_index("timestamp"),  # named, from 0
], ids=["unnamed range of times", "named range from 0"])
def test_an_index_of_evenly_spaced_times_is_time(make):
    frame = make()
    snap = snapshot("BTC", ohlcv=frame)
    assert snap.data["candles"] == [[int(ts), *row] for ts, row in
                                    zip(frame.index, frame.values.tolist())]


def test_a_single_open_interest_record_is_one_row():
    # fetch_open_interest answers with one structure, not a list.
    interest = {"symbol": "BTC/USDT:USDT", "openInterestAmount": 5100.0,
                "openInterestValue": None, "timestamp": T, "info": {}}
    assert snapshot("BTC", open_interest=interest).data["open_interest"] == [[T, 5100.0]]


SAMPLE = _samples.feeds()
ORDER = ["symbol", "candles", "orderbook", "trades", "funding", "open_interest", "liquidations"]


@pytest.mark.parametrize("name, text, lines", [
    ("feeds.json", json.dumps(SAMPLE, indent=1), None),
    ("feeds.JSONL", "\n".join(json.dumps(snap) for snap in SAMPLE.values()) + "\n\n", None),
    ("feeds.txt", "\r\n".join(json.dumps([snap.get(m, None if m == "orderbook" else [])
                                            for m in ORDER])
                               for snap in SAMPLE.values()), True),
], ids=["json", "json lines", "arrays, lines=True"])
def test_a_feeds_file_loads_and_builds_as_its_feeds(tmp_path, name, text, lines):
    path = tmp_path / name
    path.write_text(text)
    loaded = load(path, lines=lines)
    market = Market(_samples.SPEC)
    assert market.build(loaded) == market.build(SAMPLE)
    assert market.build_file(str(path), lines=lines) == market.build(SAMPLE)
    assert market.build_file(path, lines=lines).missing_symbols == ("DOGE",)


@pytest.mark.parametrize("name, data, error, message", [
    ("f.jsonl", '{"symbol": "BTC", "candles": []}\n\n{"symbol": "BTC", "candles": []}\n',
     FeedsError, "line 3: a second snapshot of 'BTC' (the first is on line 1); give one line per"),
    ("f.jsonl", '{"symbol": "BTC", "candles": []}\n{"symbol": "ETH", "candles": [}\n', ParseError,
     "parse: Expecting value at line 2 column 31"),
    ("f.ndjson", '{"candles": []}\n', FeedsError, "line 1: expected a snapshot with its symbol"),
    ("f.json", "[1, 2]", FeedsError, "the feeds are a JSON list; expected an object of symbol"),
    ("f.json", '{"BTC":\n {"symbol": "BTC",\n "candles": [}}', ParseError,
     "parse: Expecting value at line 3 column 14"),
    ("f.json", b"\xff{}", ParseError, "parse: not UTF-8 text: invalid start byte at byte 0"),
], ids=["symbol twice", "not JSON", "no symbol", "not an object", "JSON fault", "not UTF-8"])
def test_a_feeds_file_that_is_not_feeds_is_refused_with_its_line(tmp_path, name, data, error,
                                                                 message):
    path = tmp_path / name
    path.write_bytes(data if isinstance(data, bytes) else data.encode())
    with pytest.raises(error, match=re.escape(message)):
        load(path)


@pytest.mark.parametrize("path, error, message", [
    (lambda folder: folder / "absent.json", FileNotFoundError, "No such file"),
    (lambda folder: folder, IsADirectoryError, "Is a directory"),
    # A device may never end (/dev/zero): refused before it is read.
    (lambda folder: pathlib.Path(os.devnull), OSError, "it is a device, not a file"),
], ids=["absent", "folder", "device"])
@pytest.mark.parametrize("read", [
    lambda path: Market(symbols=["BTC"], lookback=2).build_file(path),
    lambda path: Market(symbols=["BTC"], lookback=2).replay(path, every=1),
    lambda path: load(path, lines=True),
], ids=["build_file", "replay", "load"])
def test_the_library_reads_only_files_and_raises_the_systems_errors(tmp_path, read, path, error,
                                                                    message):
    with pytest.raises(error, match=message):
        read(path(tmp_path))
