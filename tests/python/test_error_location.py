"""A value the engine refuses is located: the exception's path and symbol,
its text, and for text the line and column of the value (test_cli checks how
the command line prints them)."""

import json

import pytest

from varnok_mellix import Market, ParseError, _samples


def set_at(path, value):
    """An edit of the sample feeds that puts `value` at `path`."""
    def edit(feeds):
        *parents, last = path
        for step in parents:
            feeds = feeds[step]
        feeds[last] = value
    return edit


def rename_candles(feeds):
    feeds["SOL"]["candle"] = feeds["SOL"].pop("candles")


# Bad values at different depths: where the error stands, as a path and as
# text, and its message.
CASES = [
    pytest.param(set_at(("BTC", "candles", 7, "close"), "61000"), ("BTC", "candles", 7, "close"),
                 "BTC.candles[7].close", 'invalid type: string "61000", expected f64',
                 id="candle field"),
    pytest.param(set_at(("ETH", "orderbook", "asks", 2, 1), None),
                 ("ETH", "orderbook", "asks", 2, 1), "ETH.orderbook.asks[2][1]",
                 "invalid type: null, expected f64", id="order-book level"),
    pytest.param(rename_candles, ("SOL",), "SOL", "missing field `candles`",
                 id="unknown series key"),
    pytest.param(set_at(("XRP", "symbol"), 5), ("XRP", "symbol"), "XRP.symbol",
                 "invalid type: integer `5`, expected a string", id="top-level field"),
]


def value_at(value, path):
    for step in path:
        value = value[step]
    return value


@pytest.mark.parametrize("form", ["text", "bytes", "objects"])
@pytest.mark.parametrize("edit, path, where, message", CASES)
def test_a_refused_value_is_located(edit, path, where, message, form):
    feeds = _samples.feeds()
    edit(feeds)
    text = json.dumps(feeds, indent=1)  # ASCII: a column in bytes is one in characters
    given = {"text": text, "bytes": text.encode(), "objects": feeds}[form]
    with pytest.raises(ParseError) as raised:
        Market(_samples.SPEC).build(given)
    error = raised.value
    assert (error.message, error.path, error.symbol) == (message, path, path[0])
    assert str(error) == f"parse: {message} (at {where})"
    if form == "objects":
        assert error.line is None and error.column is None
        return
    # The line and column are those of the refused value itself.
    start = sum(len(line) + 1 for line in text.split("\n")[:error.line - 1]) + error.column - 1
    assert json.JSONDecoder().raw_decode(text, start)[0] == value_at(feeds, path)
