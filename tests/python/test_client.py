"""The Python client: Market, the typed records and the exceptions, checked
against the native engine's own answers."""

import gc
import json
import pickle
import subprocess
import sys
import threading
import warnings
from concurrent.futures import ThreadPoolExecutor

import pytest
from hypothesis import given, settings, strategies as st

from varnok_mellix import (ArgumentError, BadSpecError, Context, Fact, FactKind, FeedsError,
                           Market, Mellix, MellixError, MergeError, MissingSymbolWarning,
                           NoContextError, ParseError, ShardError, TimestampUnitError, ToolCall)
from varnok_mellix import merge_contexts
from varnok_mellix._errors import format_path
from varnok_mellix.feeds import snapshot as snapshot_of

SPEC = {"symbols": ["ETH", "BTC", "SOL"], "lookback": 5, "facts": list(FactKind)}


def snapshot(symbol, closes, **extra):
    return {"symbol": symbol, "candles": [[i, c, c, c, c, 1.0] for i, c in enumerate(closes)],
            **extra}


FEEDS = {
    "BTC": snapshot("BTC", [100, 101, 103, 104, 106], funding=[[1, 0.01], [2, -0.02]],
                    orderbook={"ts": 9, "bids": [[99, 3]], "asks": [[101, 1]]}),
    "ETH": snapshot("ETH", [50, 48, 47, 45, 44],
                    liquidations=[{"ts": 3, "side": "long", "price": 45, "qty": 2}]),
    "XRP": snapshot("XRP", [1, 2]),
}


def engine(request):
    """The raw engine's answer to `request` under SPEC."""
    return Mellix(json.dumps(SPEC)).command(json.dumps(request))


def engine_calls(question, feeds=FEEDS):
    context = json.loads(engine({"cmd": "build_context", "feeds": feeds}))
    answer = json.loads(engine({"cmd": "query", "question": question, "context": context}))
    return [ToolCall(c["kind"], c["symbol"], c["tool"]) for c in answer["tool_calls"]]


finite = st.floats(min_value=-1e30, max_value=1e30, allow_nan=False)
positive = st.floats(min_value=1e-12, max_value=1e30)


@st.composite
def feeds(draw):
    symbol = draw(st.text(min_size=1, max_size=4))
    closes = draw(st.lists(positive, min_size=10, max_size=12))
    return {symbol: {
        "symbol": symbol, "candles": [[i, c, c, c, c, 1.0] for i, c in enumerate(closes)],
        "orderbook": {"ts": -1, "bids": draw(st.lists(st.tuples(finite, positive), max_size=3)),
                      "asks": draw(st.lists(st.tuples(finite, positive), max_size=3))},
        "funding": [[i, r] for i, r in enumerate(draw(st.lists(finite, max_size=4)))],
        "open_interest": [[i, v] for i, v in enumerate(draw(st.lists(positive, max_size=3)))],
        "liquidations": [[i, side, p, q] for i, (side, p, q) in enumerate(draw(st.lists(
            st.tuples(st.sampled_from(["long", "short"]), positive, positive), max_size=3)))],
    }}


@settings(max_examples=60, deadline=None)
@given(feeds())
def test_a_context_made_in_python_is_written_like_the_engines(feeds):
    """Facts with arbitrary numbers and symbols: the Python writer must give the
    engine's text byte for byte, and reading that text must give the facts."""
    symbol = next(iter(feeds))
    market = Market(symbols=[symbol], lookback=5)
    built = market.build(feeds)
    remade = Context(list(built.facts), list(built.symbols), built.lookback)
    assert remade.to_json() == built.to_json()
    assert Context.from_json(built.to_json().encode()) == built == remade
    assert market.query("", remade) == market.query("")


def failed_shard():
    try:
        Market(SPEC).build("[]")
    except ParseError as error:
        raise ShardError(2, "part.json", error) from error


@pytest.mark.parametrize("action, error_type, message, line", [
    (lambda: Market({"symbols": [], "lookback": 5, "facts": ["oi_change"]}), BadSpecError,
     "at least one symbol is required", None),
    (lambda: Market(SPEC).build(b'{"BTC": \xff}'), ParseError, None, None),
    (lambda: Market(SPEC).query("why?"), NoContextError,
     "no context built; call build() first", None),
    (lambda: Market(SPEC).get_fact("oi_change", "BTC"), NoContextError, None, None),
    # The engine's own answer to a query without a context.
    (lambda: Market(SPEC)._command('{"cmd":"query","question":"x"}'), NoContextError,
     "no context built; call build_context first", None),
    (lambda: Context.from_json('{"facts": [],\n"symbols": [] "lookback": 1}'), ParseError,
     None, 2),
    (lambda: merge_contexts([]), MergeError, "no contexts to merge", None),
    (lambda: Context.from_json('[[],["\ud800"],1]'), ParseError, "lone surrogate in string",
     None),
    (lambda: Fact("PRICE_MOVE", "BTC", 1.0, 1.0, 1, ""), ArgumentError, None, None),
    (lambda: Market(SPEC).resolve([{"kind": "oi_change", "symbol": "BTC", "tool": "sql"}],
                                  Context((), (), 1)),
     ArgumentError, "unknown tool 'sql'; only get_fact is known", None),
    (lambda: Market(SPEC).replay(FEEDS, every=0), ArgumentError, None, None),
    (lambda: snapshot_of("BTC", ohlcv=[[1, 2, 3]]), FeedsError, None, None),
    (lambda: snapshot_of("BTC", ohlcv=[[1_733_000_000, 1, 1, 1, 1, 1]]), TimestampUnitError,
     None, None),
    (failed_shard, ShardError,
     "shard 2 (part.json) failed: ParseError: parse: invalid type: sequence, expected a map",
     None),
])
def test_refusals_raise_typed_errors_that_pickle_as_the_packages(action, error_type, message,
                                                                 line):
    with pytest.raises(error_type) as caught:
        action()
    error = caught.value
    assert isinstance(error, MellixError) and isinstance(error, ValueError)
    # And what its callers catch it as.
    assert isinstance(error, {ShardError: RuntimeError, NoContextError: BadSpecError,
                              TimestampUnitError: FeedsError}.get(error_type, ValueError))
    where = f" (at {format_path(error.path)})" if error.path else ""
    assert str(error) == (f"{error.kind}: " if error.kind else "") + error.message + where
    if message is not None:
        assert error.message == message
    if error_type is ParseError:
        assert error.line == line
    # The error alone: tblib, which distributed installs, pickles its traceback
    # too, and that names the modules of its frames.
    error.__traceback__ = error.__cause__ = error.__context__ = None
    pickled = pickle.dumps(error)
    assert b"varnok_mellix._" not in pickled  # names no private module
    copy = pickle.loads(pickled)
    assert (type(copy), str(copy), copy.__dict__) == (error_type, str(error), error.__dict__)


@pytest.mark.parametrize("text", [
    '{"facts":[],"symbols":[],"lookback":1e20}',
    '{"facts":5,"symbols":[]}',
    '{"facts":[{"kind":"price_jump","symbol":"A","value":1,"magnitude":1,"ts":1,"human":""}],'
    '"symbols":[],"lookback":1}',
    '{"facts":[["oi_change","A",1,1,1.5,""]],"symbols":[],"lookback":1}',
    '[[],[],4294967296]',
    '[[],["A"]]',
])
def test_context_refusals_are_the_engines(text):
    """Context.from_json is the engine's reader: the engine answers a query
    that carries the same context with the same refusal, at the same place."""
    engine = Mellix(json.dumps(SPEC))
    refusal = json.loads(engine.command(f'{{"cmd":"query","question":"","context":{text}}}'))
    path, _ = engine.last_error_location()
    with pytest.raises(ParseError) as caught:
        Context.from_json(text)
    error = caught.value
    assert (f"{error.kind}: {error.message}", ("context", *error.path)) == (refusal["error"], path)


@pytest.mark.parametrize("action", [
    lambda big: Market({"symbols": ["BTC"], "lookback": 5, "facts": [big]}),
    lambda big: Market(SPEC).build({"BTC": {"symbol": "BTC", "candles": big}}),
    lambda big: Context.from_json(json.dumps({"facts": [], "symbols": [], "lookback": big})),
    lambda big: Market(SPEC).get_fact(big, "BTC", Context((), (), 1)),
    lambda big: Market(SPEC).resolve([{"kind": "oi_change", "symbol": "B", "tool": big}],
                                     Context((), (), 1)),
    lambda big: snapshot_of(big, ohlcv=[[1, 2]]),
    lambda big: merge_contexts([Context((), (big,), 1), Context((), (big,), 1)]),
], ids=["spec", "build", "context", "kind", "tool", "snapshot", "merge"])
def test_error_texts_shorten_the_values_they_repeat(action):
    big = "Z" * 4_000_000
    with pytest.raises(MellixError) as caught:
        action(big)
    error = caught.value
    assert len(str(error)) <= 400 and "shortened from" in str(error)
    # The whole text stays on the error, and in a copy.
    assert big in error.message
    copy = pickle.loads(pickle.dumps(error))
    assert (copy.message, str(copy)) == (error.message, str(error))


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_the_packages_objects_pickle_under_its_own_name(protocol):
    """A pickle names varnok_mellix, never the private module a class is
    written in, so that it loads after the private modules change."""
    market = Market(SPEC)
    context = market.build(FEEDS)
    objects = [context, context.facts[0], FactKind.OI_CHANGE, ToolCall("oi_change", "BTC"),
               market, merge_contexts, MergeError("no contexts to merge")]
    for item in objects:
        pickled = pickle.dumps(item, protocol)
        assert b"varnok_mellix." not in pickled and b"_records" not in pickled
        copy = pickle.loads(pickled)
        assert type(copy) is type(item) and repr(copy) == repr(item)


@pytest.mark.parametrize("blocked, code, needer, extra", [
    ("mcp", "import varnok_mellix.mcp", "varnok_mellix.mcp", "mcp"),
    ("distributed", "import varnok_mellix.dask", "varnok_mellix.dask", "dask"),
    ("pandas", "Market(_samples.SPEC).replay(_samples.feeds(), every=10).to_pandas()",
     "Replay.to_pandas", "pandas"),
])
def test_an_optional_part_without_its_extra_names_the_extra(blocked, code, needer, extra):
    script = (f"import sys\nsys.modules[{blocked!r}] = None  # as if not installed\n"
              "from varnok_mellix import Market, _samples\n"
              f"try:\n    {code}\nexcept ImportError as error:\n"
              "    print(type(error).__name__, error.name.partition('.')[0], error, sep='|')\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          check=True)
    assert done.stdout == (f"ModuleNotFoundError|{blocked}|{needer} needs the {extra} extra: "
                           f"pip install 'varnok-mellix[{extra}]'\n")


def test_resolve_reads_mappings_from_the_context_given_and_leaves_out_what_it_lacks():
    market = Market(SPEC)
    context = market.build(FEEDS)
    calls = [call.to_dict() for call in market.query("hello")]  # a call per fact
    market.build({})  # the current context is now one without facts
    facts = market.resolve(calls + [{"kind": "oi_change", "symbol": "BTC"}], context)
    assert sorted(facts, key=context.facts.index) == list(context.facts)


@pytest.mark.parametrize("feeds, warned", [
    ({"btc": snapshot("btc", [1, 2]), "Eth": snapshot("Eth", [1, 2])}, ["'btc'", "'Eth'"]),
    (json.dumps({"btc": snapshot("btc", [1, 2])}), []),
    ({"BTC": snapshot("BTC", [1, 2])}, []),
])
def test_missing_symbols_warn_about_near_misses(feeds, warned):
    market = Market(symbols=["BTC", "ETH", "BTC"], lookback=3)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        context = market.build(feeds)
    assert context.missing_symbols == tuple(s for s in ("BTC", "ETH") if s not in context.symbols)
    messages = [str(w.message) for w in caught if w.category is MissingSymbolWarning]
    assert len(messages) == len(warned)
    assert all(name in message for name, message in zip(warned, messages))


def test_threads_share_the_last_context_and_release_their_engines(monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    market = Market(SPEC)
    market.build(FEEDS)
    other = {"SOL": snapshot("SOL", [10, 9, 8, 7, 6])}
    with ThreadPoolExecutor(4) as pool:
        # A worker sees the main thread's build...
        assert pool.submit(market.query, "dump").result() == engine_calls("dump")
        # ...and the main thread sees a worker's, though its own engine stored the first.
        pool.submit(market.build, other).result()
        assert market.query("dump") == engine_calls("dump", other)
        questions = ["dump", "book", "funding", "liquidat"] * 25
        answers = list(pool.map(market.query, questions))
        assert answers == [engine_calls(q, other) for q in questions]
        # The market goes while the workers live: their engines are released on
        # their own threads, when they next use a market or when they end; an
        # error raised there and kept here holds none of them.
        del market
        pool.submit(lambda: Market(SPEC).build(FEEDS)).result()
        refusal = pool.submit(Market(SPEC).build, "[]").exception()
    del refusal
    gc.collect()
    thread = threading.Thread(target=lambda: Market(SPEC).query("", Context((), (), 1)))
    thread.start()
    thread.join()
    assert reports == []

