"""The bundled sample market that `mellix demo` runs on (samples/ in the
source tree holds the same spec and feeds as files).

BTC climbs steadily with a funding flip and rising open interest; ETH is calm,
then turns volatile, with a bid-heavy book; SOL slides into a long liquidation
cascade; XRP has a snapshot the spec does not ask for, and the spec's DOGE has
none.

`generated_feeds` makes synthetic markets of any size, for benchmarks and for
tests of sharded builds.
"""

from __future__ import annotations

import math
from collections.abc import Iterable
from typing import Any

T0 = 1_733_000_000_000  # ms
STEP = 60_000

SPEC: dict[str, Any] = {
    "symbols": ["SOL", "BTC", "ETH", "DOGE"],
    "lookback": 20,
    "facts": ["price_move", "orderbook_imbalance", "liquidation_cluster", "funding_flip",
              "oi_change", "volatility_spike"],
    "timeframe": "1m",
}

QUESTION = "Why did SOL dump, and is leverage building up anywhere?"


def _candles(closes: list[float]) -> list[dict[str, Any]]:
    out = []
    prev = closes[0]
    for i, close in enumerate(closes):
        high = max(prev, close) * 1.001
        low = min(prev, close) * 0.999
        out.append({"ts": T0 + i * STEP, "open": round(prev, 4), "high": round(high, 4),
                    "low": round(low, 4), "close": round(close, 4), "volume": 10 + i % 7})
        prev = close
    return out


def feeds() -> dict[str, Any]:
    """The sample feeds: symbol -> snapshot, timestamps in milliseconds."""
    btc = [60000 * (1 + 0.0025 * i) for i in range(40)]
    eth = [3000 + 0.5 * math.sin(i) for i in range(20)] + \
          [3000 + 25 * math.sin(1.7 * i) * (1 if i % 2 else -1) for i in range(20)]
    sol = [150 - 0.3 * i for i in range(40)]
    xrp = [0.6] * 40
    return {
        "BTC": {
            "symbol": "BTC",
            "candles": _candles(btc),
            "orderbook": {"ts": T0 + 39 * STEP, "bids": [[70000 - i, 1.0] for i in range(10)],
                          "asks": [[70001 + i, 1.1] for i in range(10)]},
            "funding": [{"ts": T0 + i * 8 * STEP, "rate": r}
                        for i, r in enumerate([0.0001, 0.0002, -0.0001, -0.0003, 0.0004])],
            "open_interest": [{"ts": T0 + i * 10 * STEP, "oi": 1_000_000 + 40_000 * i}
                              for i in range(4)],
        },
        "ETH": {
            "symbol": "ETH",
            "candles": _candles(eth),
            "orderbook": {"ts": T0 + 39 * STEP, "bids": [[2999 - i, 5.0] for i in range(12)],
                          "asks": [[3001 + i, 1.5] for i in range(12)]},
            "trades": [{"ts": T0 + 39 * STEP, "price": 3001.0, "qty": 0.4,
                        "buyer_maker": False}],
        },
        "SOL": {
            "symbol": "SOL",
            "candles": _candles(sol),
            "liquidations": [{"ts": T0 + (30 + i) * STEP, "side": "long" if i % 4 else "short",
                              "price": 140 - 0.5 * i, "qty": 200 + 25 * i} for i in range(8)],
            "open_interest": [[T0, 5_000_000], [T0 + 39 * STEP, 4_700_000]],
        },
        "XRP": {"symbol": "XRP", "candles": _candles(xrp)},
    }


def generated_feeds(symbols: Iterable[int], candles: int) -> dict[str, Any]:
    """Synthetic snapshots: for each n of `symbols`, one under the key SYM<n>
    with `candles` one-minute bars, an order book, funding, open interest and
    liquidations. A given n and `candles` give the same snapshot in any call,
    so the feeds of a range of symbols can be made in parts, in any process.

    The markets are much alike: the order books, funding, open interest and
    liquidations are the same for every symbol, so their facts tie on
    magnitude and rank by symbol."""
    feeds: dict[str, Any] = {}
    for s in symbols:
        rows = []
        for i in range(candles):
            close = 100.0 + (i % 97) * 0.37 + s * 0.01 + (i % 7 if i > candles - 40 else 0)
            rows.append({"ts": T0 + i * STEP, "open": close - 0.25, "high": close + 1.5,
                         "low": close - 1.5, "close": close, "volume": 10 + i % 13})
        feeds[f"SYM{s}"] = {
            "symbol": f"SYM{s}", "candles": rows,
            "orderbook": {"ts": 1, "bids": [[99.5, 3], [99.4, 2]], "asks": [[100.5, 1]]},
            "funding": [[1, 0.0001], [2, -0.0002], [3, 0.0003]],
            "open_interest": [[1, 1000], [2, 1100]],
            "liquidations": [[1, "long", 100, 5], [2, "short", 101, 2]],
        }
    return feeds
