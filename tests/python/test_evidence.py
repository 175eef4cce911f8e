"""Evidence: the formulas of docs/evidence.md, applied in Python to each fact's
evidence, give the fact's value and magnitude bit for bit, over the sample
market and 1,000 seeded random ones; an explained build is the build; the
engine is left as it was; Fact and Market.explain keep their promises."""

from __future__ import annotations

import functools
import json
import math
import pickle
import random
import re
from pathlib import Path
from typing import Any

import pytest

from varnok_mellix import ArgumentError, Evidence, FactKind, Market, Mellix, NoContextError

REPO = Path(__file__).resolve().parents[2]
KINDS = [kind.value for kind in FactKind]


# ---- the formulas of docs/evidence.md ----------------------------------------


def round_fact_number(x: float) -> float:
    """x on a grid of 1e-8: x / 1e-8, rounded half away from zero, * 1e-8."""
    steps = x / 1e-8
    if not math.isfinite(steps):
        return x
    whole = float(math.trunc(steps))
    if abs(steps - whole) >= 0.5:
        whole += math.copysign(1.0, steps)
    return math.copysign(whole, steps) * 1e-8


def window_std_dev(closes: list[float]) -> float:
    """The population standard deviation of docs/evidence.md, sums in order."""
    n = float(len(closes))
    total = 0.0
    for x in closes:
        total += x
    k = total / n
    s1 = s2 = 0.0
    for x in closes:
        s1 += x - k
        s2 += (x - k) * (x - k)
    variance = s2 / n - (s1 / n) * (s1 / n)
    return math.sqrt(variance if variance > 0.0 else 0.0)


def percent(first: float, last: float) -> float:
    return (last / first - 1.0) * 100.0


# kind -> evidence -> (value, magnitude) before rounding.
FORMULAS = {
    "price_move": lambda e: (percent(e["first_close"], e["last_close"]),
                             abs(percent(e["first_close"], e["last_close"]))),
    "orderbook_imbalance": lambda e: (
        (e["bid_qty"] - e["ask_qty"]) / (e["bid_qty"] + e["ask_qty"]),
        abs((e["bid_qty"] - e["ask_qty"]) / (e["bid_qty"] + e["ask_qty"]))),
    "liquidation_cluster": lambda e: (e["long_notional"] - e["short_notional"],
                                      e["long_notional"] + e["short_notional"]),
    "funding_flip": lambda e: (e["rate"], abs(e["rate"] - e["previous_rate"])),
    "oi_change": lambda e: (percent(e["first_oi"], e["last_oi"]),
                            abs(percent(e["first_oi"], e["last_oi"]))),
    "volatility_spike": lambda e: (e["recent_std_dev"] / e["baseline_std_dev"],
                                   e["recent_std_dev"] / e["baseline_std_dev"]),
}

# The keys of each kind, in the order the rule records them.
KEYS = {
    "price_move": ["from_ts", "to_ts", "threshold", "first_close", "last_close", "bars",
                   "lookback"],
    "orderbook_imbalance": ["from_ts", "to_ts", "threshold", "bid_qty", "ask_qty", "bid_levels",
                            "ask_levels"],
    "liquidation_cluster": ["from_ts", "to_ts", "threshold", "long_notional", "short_notional",
                            "long_count", "short_count", "dominant"],
    "funding_flip": ["from_ts", "to_ts", "previous_rate", "rate"],
    "oi_change": ["from_ts", "to_ts", "threshold", "first_oi", "last_oi", "points"],
    "volatility_spike": ["from_ts", "to_ts", "threshold", "recent_std_dev", "baseline_std_dev",
                         "period", "recent_from_ts"],
}


@pytest.mark.parametrize("kind", list(FactKind))
def test_each_kinds_evidence_text_names_the_keys_its_rule_records(kind):
    # The text models read in the explain_fact tool, held to what the rules record.
    named = set(re.findall(r"[a-z_]+", kind.evidence))
    assert set(KEYS[kind.value]) - {"from_ts", "to_ts"} <= named


# ---- seeded random markets in which every kind fires often --------------------


def random_number(rng: random.Random, low: float, high: float) -> float:
    """Full-precision floats mostly, round ones at times (ties of rounding)."""
    x = rng.uniform(low, high)
    return round(x, rng.choice([0, 2, 8])) if rng.random() < 0.3 else x


def random_snapshot(rng: random.Random, symbol: str, lookback: int) -> dict[str, Any]:
    t0 = rng.randrange(0, 2_000_000_000_000)
    step = rng.choice([1, 60_000])
    closes, price = [], random_number(rng, 0.001, 70_000.0)
    calm = rng.uniform(0.0001, 0.01)
    count = rng.randrange(0, 3 * lookback + 4)
    for i in range(count):
        # Calm at first, wilder later: volatility spikes and price moves.
        swing = calm if i < count - lookback else calm * rng.uniform(0.5, 12.0)
        price = max(price * (1.0 + rng.gauss(0.0, swing)), 1e-9)
        closes.append(price)
    if closes and rng.random() < 0.03:
        closes[0] = 0.0  # a first close of zero: no percent change
    if closes and rng.random() < 0.05:
        closes[-lookback:] = [closes[-1]] * len(closes[-lookback:])  # a flat window
    snapshot: dict[str, Any] = {
        "symbol": symbol,
        "candles": [[t0 + i * step, c, c, c, c, 1.0] for i, c in enumerate(closes)]}
    if rng.random() < 0.8:
        snapshot["orderbook"] = {
            "ts": t0 + count * step,
            "bids": [[100.0 - k, random_number(rng, 0.0, 9.0)] for k in range(rng.randrange(16))],
            "asks": [[101.0 + k, random_number(rng, 0.0, 9.0)] for k in range(rng.randrange(16))]}
    if rng.random() < 0.8:
        snapshot["funding"] = [
            [t0 + k * 8 * step, 0.0 if rng.random() < 0.1 else random_number(rng, -0.001, 0.001)]
            for k in range(rng.randrange(7))]
    if rng.random() < 0.8:
        scale = random_number(rng, 1.0, 1e7)
        snapshot["open_interest"] = [[t0 + k * 5 * step, rng.choice(
            [scale, scale * rng.uniform(0.9, 1.1), 0.0 if k == 0 and rng.random() < 0.1
             else scale * rng.uniform(0.98, 1.02)])] for k in range(rng.randrange(6))]
    if rng.random() < 0.8:
        events = [[t0 + rng.randrange(count + 1) * step, rng.choice(["long", "short"]),
                   random_number(rng, 0.01, 500.0), random_number(rng, 0.0, 3.0)]
                  for _ in range(rng.randrange(9))]
        snapshot["liquidations"] = events  # in no particular time order
    return snapshot


def random_market(seed: int) -> tuple[dict[str, Any], dict[str, Any]]:
    rng = random.Random(seed)
    lookback = rng.randrange(1, 25)
    symbols = [f"S{k}" for k in range(rng.randrange(1, 5))]
    facts = rng.sample(KINDS, rng.randrange(1, 7)) if rng.random() < 0.3 else KINDS
    feeds = {s: random_snapshot(rng, s, lookback) for s in symbols if rng.random() < 0.9}
    return {"symbols": symbols, "lookback": lookback, "facts": facts}, feeds


def market_of(source: str) -> tuple[Any, dict[str, Any], Any]:
    """The spec, the feeds, and the feeds as given to the build."""
    if source == "samples":
        text = (REPO / "samples" / "feeds.json").read_text()
        return (REPO / "samples" / "spec.json").read_text(), json.loads(text), text
    spec, feeds = random_market(int(source))
    # Half as objects, half as text: both ways a build reads its request.
    return spec, feeds, feeds if int(source) % 2 else json.dumps(feeds)


@functools.cache
def explained(source: str) -> tuple[Any, Any, Any]:
    spec, _, given = market_of(source)
    market = Market(spec)
    return market.build(given), market.build(given, explain=True), market


SOURCES = ["samples"] + [str(seed) for seed in range(1000)]


@pytest.mark.parametrize("source", SOURCES)
def test_the_formulas_give_every_facts_value_and_magnitude_bit_for_bit(source):
    plain, context, market = explained(source)
    feeds = market_of(source)[1]
    assert context.to_json() == plain.to_json() and context == plain
    assert market.context is context
    for fact in context.facts:
        evidence = fact.evidence
        assert isinstance(evidence, Evidence)
        assert list(evidence) == KEYS[fact.kind]
        value, magnitude = FORMULAS[fact.kind](evidence)
        assert (round_fact_number(value), round_fact_number(magnitude)) == \
            (fact.value, fact.magnitude), (fact, evidence)
        if "threshold" in evidence:
            assert magnitude >= evidence["threshold"]
        else:
            assert evidence["previous_rate"] * evidence["rate"] < 0.0
        assert evidence["to_ts"] == fact.ts
        if fact.kind == "volatility_spike":
            closes = [candle[4] if isinstance(candle, list) else candle["close"]
                      for candle in feeds[fact.symbol]["candles"]]
            period = evidence["period"]
            assert (window_std_dev(closes[-period:]),
                    window_std_dev(closes[-2 * period:-period])) == \
                (evidence["recent_std_dev"], evidence["baseline_std_dev"])
        if fact.kind == "liquidation_cluster":
            assert evidence["dominant"] == ("long" if evidence["long_notional"] >=
                                            evidence["short_notional"] else "short")
        assert all(isinstance(evidence[key], int) for key in evidence if key.endswith("ts"))


def test_the_random_markets_make_every_kind_fire_often():
    fired = {kind: 0 for kind in FactKind}
    for source in SOURCES:
        for fact in explained(source)[1].facts:
            fired[fact.kind] += 1
    assert min(fired.values()) >= 300, fired


# ---- the native entry point ---------------------------------------------------

SPEC = (REPO / "samples" / "spec.json").read_text()
FEEDS = (REPO / "samples" / "feeds.json").read_text()
BUILD = '{"cmd":"build_context","feeds":' + FEEDS + "}"
OTHER_BUILD = json.dumps({"cmd": "build_context", "feeds": {
    "BTC": {"symbol": "BTC", "candles": [[0, 1, 1, 1, 1.0, 1], [1, 1, 1, 1, 2.0, 1]]}}})


@pytest.mark.parametrize("request_, answered", [
    (BUILD, "context"),
    (BUILD.encode(), "context"),
    (json.loads(BUILD), "context"),
    (BUILD[:-1], "refused"),
    (json.loads(BUILD) | {"feeds": {"BTC": {"symbol": "BTC"}}}, "refused"),
    ('{"cmd":"reset"}', "no build"),
    ({"cmd": "set_spec", "spec": {"symbols": ["X"], "lookback": 2, "facts": ["oi_change"]}},
     "no build"),
    ('{"cmd":"query","question":"btc?"}', "no build"),
])
def test_explain_answers_as_a_build_and_leaves_the_engine_as_it_was(request_, answered):
    mellix = Mellix(SPEC)
    built = mellix.command(OTHER_BUILD)
    query = '{"cmd":"query","question":"why did BTC pump?"}'
    before = mellix.command(query)
    answer = mellix.explain(request_)
    if answered == "context":
        text, evidence = answer
        assert text == Mellix(SPEC).command(BUILD)
        assert len(evidence) == len(json.loads(text)["facts"]) > 0
    elif answered == "refused":
        assert answer == Mellix(SPEC).command(
            request_ if isinstance(request_, str) else json.dumps(request_))
    else:
        assert json.loads(answer)["error"].startswith(
            'bad spec: explain reads a build request ("cmd": "build_context"), not ')
    # The stored context and the answers that read it are the build's before.
    assert mellix.command(query) == before
    assert mellix.command(OTHER_BUILD) == built


# ---- Fact, Evidence, Market.explain -------------------------------------------


def test_evidence_takes_no_part_in_equality_and_survives_a_pickle():
    plain, context, _ = explained("samples")
    for bare, explained_fact in zip(plain.facts, context.facts, strict=True):
        assert bare.evidence is None and explained_fact.evidence is not None
        assert bare == explained_fact and hash(bare) == hash(explained_fact)
        assert repr(bare) == repr(explained_fact)
        again = pickle.loads(pickle.dumps(explained_fact))
        assert again == explained_fact and again.evidence == explained_fact.evidence
        assert explained_fact.to_dict() == bare.to_dict()
        assert explained_fact.to_dict(evidence=True)["evidence"] == dict(explained_fact.evidence)
    evidence = context.facts[0].evidence
    with pytest.raises(TypeError):
        evidence["threshold"] = 0.0  # type: ignore[index]


OTHER_FEEDS = json.loads(FEEDS) | {"BTC": {"symbol": "BTC", "candles": [
    [0, 1, 1, 1, 63000.0, 1], [1, 1, 1, 1, 64000.0, 1]]}}


@pytest.mark.parametrize("call, explained_build, outcome", [
    # A fact with evidence is its own answer; without, the feeds give it, with no
    # context built too.
    (lambda m, c: m.explain(c.fact("price_move", "SOL")), True, ("price_move", "SOL")),
    (lambda m, c: m.explain(c.fact("price_move", "SOL"), feeds=FEEDS), False,
     ("price_move", "SOL")),
    (lambda m, c: m.explain("oi_change", "BTC", feeds=json.loads(FEEDS)), False,
     ("oi_change", "BTC")),
    (lambda m, c: m.explain("oi_change", "BTC"), True, ("oi_change", "BTC")),
    (lambda m, c: m.explain(FactKind.PRICE_MOVE, "BTC", context=c, feeds=FEEDS), False,
     ("price_move", "BTC")),
    (lambda m, c: m.explain("funding_flip", "SOL", feeds=FEEDS), False, None),
    (lambda m, c: m.explain("price_move", "SOL", feeds=FEEDS), None, ("price_move", "SOL")),
    # Without a context, evidence or feeds; with feeds that give another fact, or none.
    (lambda m, c: m.explain("price_move", "SOL"), None, NoContextError),
    (lambda m, c: m.explain("price_move", "BTC"), False,
     "carries no evidence: pass the feeds it was built from"),
    (lambda m, c: m.explain("price_move", "BTC", feeds=OTHER_FEEDS), False,
     "they give 'BTC rose "),
    (lambda m, c: m.explain("oi_change", "BTC", feeds=OTHER_FEEDS), False,
     "they give no such fact"),
])
def test_market_explain_answers_the_fact_asked_about_or_says_why_not(call, explained_build,
                                                                     outcome):
    market = Market(SPEC)
    context = None if explained_build is None else market.build(FEEDS, explain=explained_build)
    if isinstance(outcome, str | type):
        error, match = (ArgumentError, outcome) if isinstance(outcome, str) else (outcome, None)
        with pytest.raises(error, match=match):
            call(market, context)
    elif outcome is None:
        assert call(market, context) is None
    else:
        fact = call(market, context)
        assert fact == explained("samples")[0].fact(*outcome)
        assert list(fact.evidence) == KEYS[outcome[0]]
    assert market.context is context  # explaining never replaces the current context
