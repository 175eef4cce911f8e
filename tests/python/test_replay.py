"""A replay answers at each moment what a build of the feeds cut at that
moment answers: the cut is written out here as its definition, and every
moment is compared with a full build of it."""

import json

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from varnok_mellix import ArgumentError, FactKind, Market, ParseError, _samples


def ts_of(entry):
    return entry["ts"] if isinstance(entry, dict) else entry[0]


def cut(feeds, moment, lookback, window):
    """The feeds as of `moment`: each series' entries with ts <= moment, in the
    order received; with `window`, the series the rules read whole keep only
    the entries from the earliest ts of the last `lookback` candles on."""
    out = {}
    for key, snapshot in feeds.items():
        snapshot = dict(snapshot)
        candles = [c for c in snapshot.get("candles", []) if ts_of(c) <= moment]
        snapshot["candles"] = candles
        start = min((ts_of(c) for c in candles[-lookback:]), default=None) if window else \
            float("-inf")
        for name in ("funding", "open_interest", "liquidations", "trades"):
            if name in snapshot:
                floor = float("-inf") if name == "trades" else start
                snapshot[name] = [] if floor is None else \
                    [e for e in snapshot[name] if floor <= ts_of(e) <= moment]
        if snapshot.get("orderbook") is not None and snapshot["orderbook"]["ts"] > moment:
            del snapshot["orderbook"]
        out[key] = snapshot
    return out


def facts_of_builds(spec, feeds, moments, window):
    rows = []
    for moment in moments:
        context = Market(spec).build(cut(feeds, moment, spec["lookback"], window))
        rows += [(moment, f.symbol, f.kind, repr(f.value), repr(f.magnitude), f.ts, rank, f.human)
                 for rank, f in enumerate(context.facts)]
    return rows


def facts_of_replay(replay):
    """The rows, numbers as their shortest text (so -0.0 is not 0.0)."""
    return [(*row[:3], repr(row[3]), repr(row[4]), *row[5:]) for row in replay]


times = st.integers(0, 12)
prices = st.sampled_from([1.0, 2.0, 2.5, 3.0, 100.0, 101.5, 0.0])
rates = st.sampled_from([-0.002, -0.001, 0.0, 0.0005, 0.003])


def series(entry):
    """Entries in time order, in any order, or with repeated times."""
    return st.lists(entry, max_size=7).flatmap(
        lambda rows: st.sampled_from([rows, sorted(rows, key=ts_of), rows[::-1]]))


snapshots = st.fixed_dictionaries({
    "candles": series(st.tuples(times, prices, prices, prices, prices, st.just(1.0)).map(list)),
    "funding": series(st.tuples(times, rates).map(list)),
    "open_interest": series(st.tuples(times, prices).map(list)),
    "liquidations": series(st.tuples(times, st.sampled_from(["long", "short"]), prices,
                                     st.sampled_from([0.5, 2.0])).map(list)),
}, optional={
    "orderbook": st.builds(lambda ts, bid, ask: {"ts": ts, "bids": [[99.0, bid]],
                                                "asks": [[101.0, ask]]},
                           times, st.sampled_from([1.0, 5.0]), st.sampled_from([1.0, 4.0])),
})


@st.composite
def histories(draw):
    keys = draw(st.lists(st.sampled_from(["A", "B", "C"]), min_size=1, max_size=3, unique=True))
    feeds = {key: {"symbol": draw(st.sampled_from([key, "A"])), **draw(snapshots)}
             for key in keys}
    spec = {"symbols": draw(st.permutations(["A", "B", "C"])),
            "lookback": draw(st.integers(1, 4)),
            "facts": draw(st.permutations([kind.value for kind in FactKind]))}
    moments = draw(st.lists(st.integers(-1, 13), max_size=6))
    return spec, feeds, moments


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(histories(), st.sampled_from(["all", "window"]))
def test_each_moment_is_a_build_of_the_feeds_cut_there(history, window):
    spec, feeds, moments = history
    replay = Market(spec).replay(feeds, at=moments, cut=window, sentences=True)
    assert facts_of_replay(replay) == facts_of_builds(spec, feeds, moments, window == "window")


@pytest.mark.parametrize("window", ["all", "window"])
@pytest.mark.parametrize("spec, feeds", [
    (_samples.SPEC, _samples.feeds()),
    ({**_samples.SPEC, "symbols": [f"SYM{i}" for i in range(6)]},
     _samples.generated_feeds(range(6), 120)),
], ids=["sample", "generated"])
def test_sample_and_generated_feeds_replay_as_builds(spec, feeds, window):
    replay = Market(spec).replay(feeds, every=7, cut=window, sentences=True)
    assert len(replay.moments) >= 5
    assert facts_of_replay(replay) == facts_of_builds(spec, feeds, replay.moments,
                                                      window == "window")


def test_every_reading_gives_one_table_and_leaves_the_context(tmp_path):
    market = Market(_samples.SPEC)
    built = market.build(_samples.feeds())
    text = json.dumps(_samples.feeds())
    path = tmp_path / "feeds.json"
    path.write_text(text)
    tables = [facts_of_replay(market.replay(feeds, every=3, reference="SOL"))
              for feeds in (_samples.feeds(), text, text.encode(), path)]
    assert tables[0] and all(table == tables[0] for table in tables)
    assert market.context is built
    frame = market.replay(text, every=3, reference="SOL").to_pandas()
    assert list(frame.columns) == ["at", "symbol", "kind", "value", "magnitude", "ts", "rank"]
    assert [tuple(row) for row in frame.astype(object).itertuples(index=False)] == \
        [(at, symbol, kind.value, *rest) for at, symbol, kind, *rest
         in market.replay(text, every=3, reference="SOL")]


def test_refusals_are_a_builds():
    market = Market(_samples.SPEC)
    for feeds in ('{"BTC":\n   nul}', {"BTC": {"candles": [[1, 2]]}}):
        with pytest.raises(ParseError) as built:
            market.build(feeds)
        with pytest.raises(ParseError) as replayed:
            market.replay(feeds, every=1)
        assert str(replayed.value) == str(built.value) and built.value.line in (2, None)
    with pytest.raises(ArgumentError, match="either at"):
        market.replay(_samples.feeds())
    seen = []

    def stop(done, total):
        seen.append((done, total))
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        Market({**_samples.SPEC, "symbols": ["SYM0", "SYM1"]}).replay(
            _samples.generated_feeds(range(2), 200), every=1, progress=stop)
    assert seen == [(64, 200)]
