"""Feed adapters on recorded structures of an exchange library's unified
methods and on pandas DataFrames."""

import datetime
import re

import pandas as pd
import pytest

from varnok_mellix import FactKind, Market
from varnok_mellix.feeds import TimestampUnitError, snapshot, to_feeds

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
    ({"ohlcv": [[T // 1000, 1, 1, 1, 1, 1]]}, TimestampUnitError,
     "BTC candles: timestamp 1733000000 looks like seconds, not milliseconds; pass unit='s'"),
    ({"ohlcv": [[T, 1, 1, 1, 1, 1]], "unit": "s"}, TimestampUnitError,
     "looks like milliseconds, not seconds; pass unit='ms'"),
    ({"funding_rates": [{"timestamp": T * 1000, "fundingRate": 0.1}]}, TimestampUnitError,
     "BTC funding: timestamp 1733000000000000 looks like microseconds, not milliseconds"),
    ({"ohlcv": [[T + 0.5, 1, 1, 1, 1, 1]]}, ValueError, "not a whole number of milliseconds"),
    ({"ohlcv": [[T, 1, 1, 1, 1]]}, ValueError, "an OHLCV row needs 6 columns"),
    ({"ohlcv": [[T, "1,5", 1, 1, 1, 1]]}, ValueError, "open '1,5' is not a number"),
    ({"trades": [{"timestamp": T, "price": 1, "amount": 1, "side": "bid"}]}, ValueError,
     "a trade's side is 'buy' or 'sell'"),
    ({"liquidations": [{"timestamp": T, "price": 1, "baseValue": 1, "side": "sell"}]},
     ValueError, "a liquidation's side is 'long' or 'short'"),
    ({"ohlcv": frame().drop(columns="timestamp")}, ValueError, "the DataFrame has no time"),
    ({"unit": "m"}, ValueError, "unit must be one of s, ms, us, ns"),
])
def test_data_of_the_wrong_unit_or_shape_is_refused_with_a_reason(kwargs, error, message):
    with pytest.raises(error, match=re.escape(message)):
        snapshot("BTC", **kwargs)
