"""End-to-end: build a context from feeds, store it, and query it."""

import json
import pathlib
import threading

import pytest

from varnok_mellix import Mellix

SAMPLES = pathlib.Path(__file__).resolve().parents[2] / "samples"
ALL_KINDS = ["price_move", "orderbook_imbalance", "liquidation_cluster", "funding_flip",
             "oi_change", "volatility_spike"]


def spec(symbols, facts=ALL_KINDS, lookback=20):
    return json.dumps({"symbols": symbols, "lookback": lookback, "facts": facts})


def candles(closes, t0=1000):
    return [[t0 + i, c, c, c, c, 1.0] for i, c in enumerate(closes)]


def snapshot(symbol, closes, **extra):
    return {"symbol": symbol, "candles": candles(closes), **extra}


FEEDS = {
    "BTC": snapshot("BTC", [100 + 5 * i / 9 for i in range(10)],
                    funding=[[1, 0.01], [2, -0.02], [3, 0.03]],
                    open_interest=[[1, 200], [2, 190]],
                    orderbook={"ts": 7, "bids": [[99, 3]], "asks": [[101, 2]]}),
    "ETH": snapshot("ETH", [100 + (-1) ** i * 0.5 for i in range(20)]
                    + [100 + (-1) ** i * 4 for i in range(20)],
                    liquidations=[{"ts": 5, "side": "long", "price": 10, "qty": 3},
                                  {"ts": 9, "side": "short", "price": 10, "qty": 1}]),
}


def build(mellix, feeds=FEEDS, cmd="build_context"):
    return json.loads(mellix.command(json.dumps({"cmd": cmd, "feeds": feeds})))


def query(mellix, question, **extra):
    return json.loads(mellix.command(json.dumps({"cmd": "query", "question": question, **extra})))


def test_build_ranks_every_kind_and_stores_the_context():
    m = Mellix(spec(["ETH", "BTC", "SOL"]))
    context = build(m)
    assert context["symbols"] == ["BTC", "ETH"]
    assert context["lookback"] == 20
    kinds = {f["kind"] for f in context["facts"]}
    assert kinds == set(ALL_KINDS)
    magnitudes = [f["magnitude"] for f in context["facts"]]
    assert magnitudes == sorted(magnitudes, reverse=True)
    assert "BTC funding flipped to positive (+0.0300)." in {f["human"] for f in context["facts"]}

    calls = query(m, "Why did it DUMP?")["tool_calls"]
    assert calls == [
        {"kind": "price_move", "symbol": "BTC", "tool": "get_fact"},
        {"kind": "price_move", "symbol": "ETH", "tool": "get_fact"},
        {"kind": "liquidation_cluster", "symbol": "ETH", "tool": "get_fact"},
    ]


def test_build_answer_is_the_exact_context_text():
    m = Mellix(spec(["BTC"], ["oi_change"]))
    text = m.command(json.dumps({"cmd": "build_context", "feeds": FEEDS}))
    assert text == ('{"facts":[{"kind":"oi_change","symbol":"BTC","value":-5.0,"magnitude":5.0,'
                    '"ts":2,"human":"BTC open interest fell -5.00% over the window."}],'
                    '"symbols":["BTC"],"lookback":20}')


@pytest.mark.parametrize("cmd", ["build_context", "facts"])
def test_both_build_names_store_the_context(cmd):
    m = Mellix(spec(["BTC"]))
    assert "error" in query(m, "anything")
    assert "facts" in build(m, cmd=cmd)
    assert query(m, "funding?")["tool_calls"] == [
        {"kind": "funding_flip", "symbol": "BTC", "tool": "get_fact"}]
    assert m.command('{"cmd":"reset"}') == '{"ok":true}'
    assert query(m, "funding") == {
        "error": "bad spec: no context built; call build_context first", "ok": False}


def test_query_with_a_supplied_context_does_not_store_it():
    m = Mellix(spec(["BTC"]))
    supplied = {"facts": [{"kind": {"oi_change": None}, "symbol": "ZZZ", "value": 1, "magnitude": 1,
                           "ts": 1, "human": ""},
                          ["oi_change", "AAA", 2, 2, 2, "x"], ["oi_change", "AAA", 3, 3, 3, "y"]],
                "symbols": [], "lookback": 0}
    assert query(m, "open interest", context=supplied)["tool_calls"] == [
        {"kind": "oi_change", "symbol": "AAA", "tool": "get_fact"},
        {"kind": "oi_change", "symbol": "ZZZ", "tool": "get_fact"}]
    assert "error" in query(m, "open interest")  # nothing was stored
    build(m)
    stored = query(m, "")
    assert query(m, "", context={"facts": [], "symbols": ["BTC"], "lookback": 1}) == {
        "tool_calls": []}
    assert query(m, "") == stored
    assert query(m, "x", context=None) == {
        "error": "parse: invalid type: null, expected struct MarketContext", "ok": False}


def test_question_text_never_reaches_the_answer():
    m = Mellix(spec(["BTC"]))
    build(m)
    answer = m.command(json.dumps({"cmd": "query", "question": 'book "\n\\'}))
    assert answer == ('{"tool_calls":[{"kind":"orderbook_imbalance","symbol":"BTC",'
                      '"tool":"get_fact"}]}')


def test_sample_data_fires_at_least_four_kinds():
    m = Mellix((SAMPLES / "spec.json").read_text())
    feeds = json.loads((SAMPLES / "feeds.json").read_text())
    context = build(m, feeds=feeds)
    assert len({f["kind"] for f in context["facts"]}) >= 4
    assert "volatility_spike" in {f["kind"] for f in context["facts"]}
    assert "XRP" not in context["symbols"]


def test_many_instances_build_concurrently_on_several_threads():
    symbols = [f"S{i}" for i in range(30)]
    feeds = {s: snapshot(s, [100 + (i % 7) * k for k in range(45)],
                         funding=[[1, 0.01], [2, -0.01 * (i % 3 + 1)]])
             for i, s in enumerate(symbols)}
    request = json.dumps({"cmd": "build_context", "feeds": feeds})
    expected = Mellix(spec(symbols)).command(request)
    results = []
    errors = []

    def worker():
        try:
            instances = [Mellix(spec(symbols)) for _ in range(2)]
            for _ in range(3):
                for instance in instances:
                    results.append(instance.command(request))
        except Exception as error:  # pragma: no cover - reported below
            errors.append(error)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    assert len(results) == 4 * 2 * 3
    assert all(result == expected for result in results)
