"""Commands given as Python objects answer as their JSON text does."""

import copy
import json
import math
import re

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from varnok_mellix import Market, _samples
from varnok_mellix._varnok_mellix import Mellix

SPEC = json.dumps(_samples.SPEC)
KEYS = ["cmd", "feeds", "symbol", "candles", "orderbook", "bids", "asks", "ts", "close",
        "rate", "side", "facts", "lookback", "symbols", "question", "context", "BTC", "SOL"]

scalars = (st.none() | st.booleans() | st.integers(-2**70, 2**70)
           | st.floats(allow_nan=False, allow_infinity=False) | st.text(max_size=6))
values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=4)
                      | st.lists(inner, max_size=3).map(tuple)
                      | st.dictionaries(st.sampled_from(KEYS) | st.text(max_size=4), inner,
                                        max_size=4), max_leaves=12)


def locations(value, out):
    """Every (container, key-or-index) place in `value`."""
    items = value.items() if isinstance(value, dict) else enumerate(value)
    for key, item in items:
        out.append((value, key))
        if isinstance(item, (dict, list)):
            locations(item, out)
    return out


@st.composite
def mutated(draw, value):
    """`value` with a few of its places replaced, removed or doubled."""
    value = copy.deepcopy(value)
    for _ in range(draw(st.integers(0, 3))):
        places = locations(value, [])
        if not places:
            break
        container, key = draw(st.sampled_from(places))
        action = draw(st.sampled_from(["replace", "remove", "double"]))
        if action == "replace":
            container[key] = draw(values)
        elif action == "remove":
            del container[key]
        elif isinstance(container, list):
            container.insert(key, copy.deepcopy(container[key]))
    return value


def built_context():
    mellix = Mellix(SPEC)
    return json.loads(mellix.command(json.dumps({"cmd": "build_context",
                                                 "feeds": _samples.feeds()})))


commands = st.one_of(
    st.builds(lambda cmd, feeds: {"cmd": cmd, "feeds": feeds},
              st.sampled_from(["build_context", "facts"]), mutated(_samples.feeds())),
    st.builds(lambda q, ctx: {"question": q, "cmd": "query", **ctx}, st.text(max_size=30),
              st.just({}) | mutated(built_context()).map(lambda c: {"context": c})),
    st.builds(lambda spec: {"cmd": "set_spec", "spec": spec}, mutated(_samples.SPEC)),
    st.dictionaries(st.sampled_from(KEYS), values).map(
        lambda d: {**d, "cmd": d.get("cmd", "reset")}),
    values,
)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(commands, min_size=1, max_size=3))
def test_objects_answer_as_their_json_text(sequence):
    by_text, by_objects = Mellix(SPEC), Mellix(SPEC)
    for command in sequence:
        text = json.dumps(command)  # ASCII: a byte offset is a character's
        assert by_objects.command_object(command) == by_text.command(text)
        located, text_located = by_objects.last_error_location(), by_text.last_error_location()
        assert (located and located[0]) == (text_located and text_located[0])
        if text_located is not None:  # the offset is that of the value at the path
            refused = command
            for step in text_located[0]:
                refused = refused[step]
            assert located[1] is None and text_located[1] is not None
            assert json.JSONDecoder().raw_decode(text, text_located[1])[0] == \
                json.loads(json.dumps(refused))


def nested(depth):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


def cycle():
    value = []
    value.append(value)
    return value


def parse_error(message):
    return json.dumps({"error": "parse: " + message, "ok": False}, separators=(",", ":"))


# Where a value meets the reading of a build: an element read as a field, a
# member passed over, and a request member beside the feeds.
def sample_with(value, *path):
    feeds = _samples.feeds()
    place = feeds
    for step in path[:-1]:
        place = place[step]
    place[path[-1]] = value
    return feeds


PLACES = {
    "field": lambda v: {"feeds": {"BTC": [v]}, "cmd": "build_context"},
    "passed over": lambda v: {"cmd": "facts", "feeds": sample_with([v], "BTC", "candles", 3, "x")},
    "beside": lambda v: {"cmd": "build_context", "feeds": _samples.feeds(), "x": [v]},
}


# Values JSON cannot carry, each with its error; `text` when its JSON text
# (where json.dumps writes one) fails with the same message and a position.
@pytest.mark.parametrize("place", PLACES)
@pytest.mark.parametrize("value, message, text", [
    (math.nan, "float `nan` has no JSON form", False),
    (-math.inf, "float `-inf` has no JSON form", False),
    (1j, "a value of type complex has no JSON form", False),
    ({1.5}, "a value of type set has no JSON form", False),
    (b"BTC", "a value of type bytes has no JSON form", False),
    ({1: 2}, "key must be a str, not int", False),
    ("\ud800", "lone surrogate in string", False),
    ({"\udc00": 1}, "lone surrogate in key", False),
    (10**400, "number out of range", True),
    (nested(127), "recursion limit exceeded", True),  # 128 deep with the request
    (cycle(), "recursion limit exceeded", False),
    ((nested(126),), "recursion limit exceeded", True),
])
def test_values_without_json_form_are_parse_errors(place, value, message, text):
    mellix = Mellix(SPEC)
    before = mellix.command_object({"cmd": "build_context", "feeds": _samples.feeds()})
    command = PLACES[place](value)
    assert mellix.command_object(command) == parse_error(message)
    if text:
        answer = Mellix(SPEC).command(json.dumps(command))
        assert re.sub(r" at line \d+ column \d+", "", answer) == parse_error(message)
    # the failed command left the built context in place
    assert mellix.command_object({"cmd": "query", "question": "SOL"}) == \
        Mellix(SPEC).command_object({"cmd": "query", "question": "SOL",
                                     "context": json.loads(before)})


def test_arrays_with_tolist_read_as_their_lists():
    feeds = _samples.feeds()
    as_arrays = copy.deepcopy(feeds)
    as_arrays["SOL"]["open_interest"] = np.array(feeds["SOL"]["open_interest"])
    as_arrays["BTC"]["orderbook"]["bids"] = np.array(feeds["BTC"]["orderbook"]["bids"])
    as_arrays["BTC"]["candles"][0]["close"] = np.float32(feeds["BTC"]["candles"][0]["close"])
    as_arrays["BTC"]["candles"][0]["ts"] = np.int64(feeds["BTC"]["candles"][0]["ts"])
    as_arrays["ETH"]["trades"][0]["buyer_maker"] = np.bool_(False)
    feeds["BTC"]["candles"][0]["close"] = float(np.float32(feeds["BTC"]["candles"][0]["close"]))
    mellix = Mellix(SPEC)
    assert mellix.command_object({"cmd": "facts", "feeds": as_arrays}) == \
        mellix.command(json.dumps({"cmd": "facts", "feeds": feeds}))

    class Broken:
        def tolist(self):
            raise ValueError("no list today")

    with pytest.raises(ValueError, match="no list today") as raised:
        mellix.command_object({"cmd": "facts", "feeds": {"BTC": Broken()}})
    assert raised.value.__notes__ == ["while reading argument 'cmd' of command_object()"]


def test_market_builds_a_mapping_without_writing_json(monkeypatch):
    expected = Market(_samples.SPEC).build(json.dumps(_samples.feeds()))
    market = Market(_samples.SPEC)

    def refuse(*args, **kwargs):
        raise AssertionError("a mapping was written as JSON")

    monkeypatch.setattr(json, "dumps", refuse)
    monkeypatch.setattr(json.JSONEncoder, "encode", refuse)
    assert market.build(_samples.feeds()).to_json() == expected.to_json()
