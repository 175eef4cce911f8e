"""Merged contexts and sharded builds on Dask against one build of the engine."""

import functools
import json

import distributed
import pytest
from hypothesis import given, settings, strategies as st

from varnok_mellix import FactKind, Market, MergeError, ParseError, merge_contexts
from varnok_mellix import dask as mellix_dask
from varnok_mellix._samples import STEP, T0, generated_feeds

KEYS = st.text(alphabet='aBé\U0001f600"', max_size=2)
SNAPSHOT = st.fixed_dictionaries({  # values from small sets, so that facts tie
    "symbol": KEYS,
    "candles": st.lists(st.sampled_from([98.0, 100.0, 102.0]).map(lambda c: [1, c, c, c, c, 1]),
                        max_size=5),
    "funding": st.lists(st.tuples(st.integers(0, 1), st.sampled_from([-1e-3, 1e-3, 2e-3])),
                        max_size=3),
    "liquidations": st.lists(st.tuples(st.integers(0, 1), st.sampled_from(["long", "short"]),
                                       st.just(10), st.sampled_from([1, 2])), max_size=2)})


@settings(max_examples=200, deadline=None)
@given(st.dictionaries(KEYS, SNAPSHOT, max_size=6), st.data())
def test_merged_parts_are_the_one_build(feeds, data):
    # Keys whose snapshots share a symbol go to one part.
    part_of = {s["symbol"]: data.draw(st.integers(0, 3)) for s in feeds.values()}
    spec = {"symbols": data.draw(st.permutations([*feeds, "missing"])), "lookback": 2,
            "facts": data.draw(st.permutations(list(FactKind)))}
    parts = [Market(spec).build({k: s for k, s in feeds.items() if part_of[s["symbol"]] == i},
                                explain=True) for i in range(4)]
    # A text has no missing symbols and no evidence.
    as_text = [data.draw(st.booleans()) for _ in parts]
    merged = merge_contexts([p.to_json() if text else p for p, text in zip(parts, as_text)])
    single = Market(spec).build(feeds, explain=True)
    assert merged.to_json() == single.to_json()
    assert merged.missing_symbols == (() if all(as_text) else single.missing_symbols)
    kept = {(f.kind, f.symbol) for p, text in zip(parts, as_text) if not text for f in p.facts}
    assert [f.evidence if (f.kind, f.symbol) in kept else None for f in single.facts] == \
        [f.evidence for f in merged.facts]


def rising(symbol, last=102.0, ts=1):
    return {"symbol": symbol, "candles": [[ts, c, c, c, c, 1.0] for c in (100.0, last)]}


@pytest.mark.parametrize("parts, refused", [
    ([({"A": rising("A")}, 2), ({"B": rising("B")}, 3)], "context 1 has lookback 3"),
    ([({"A": rising("A")}, 2), ({"A": rising("A")}, 2)], 'contexts 0 and 1 both hold symbol "A"'),
    ([({"A": rising("X")}, 2), ({"B": rising("X", 98.0)}, 2)], '"X" in contexts 0, 1 tie'),
    ([({"A": rising("X")}, 2), ({"B": rising("X")}, 2)], None),  # alike: order cannot show
    ([({"A": rising("X", ts=2)}, 2), ({"B": rising("X", 98.0)}, 2)], None),  # ranked by ts
], ids=["lookbacks", "shared symbol", "differing tie", "alike tie", "ts order"])
def test_merge_refuses_only_what_one_build_could_not_give(parts, refused):
    contexts = [Market(symbols=[*f], lookback=n).build(f) for f, n in parts]
    if refused is None:
        everything = {k: v for f, _ in parts for k, v in f.items()}
        single = Market(symbols=[*everything], lookback=2).build(everything)
        assert merge_contexts(contexts).to_json() == single.to_json()
    else:
        with pytest.raises(MergeError, match=refused):
            merge_contexts(contexts)


SPEC = {"symbols": [f"SYM{n}" for n in reversed(range(48))] + ["NONE", "SYM7"], "lookback": 20,
        "facts": list(FactKind)}


@pytest.fixture(scope="module")
def client():
    with distributed.Client(n_workers=2, threads_per_worker=1, dashboard_address=None) as client:
        yield client  # a LocalCluster of two worker processes


@pytest.mark.parametrize("broken", [None, '{"SYM9": {"symbol": "SYM9",\n "candles": [}}'])
def test_a_sharded_build_is_the_one_build_or_names_the_failed_shard(client, tmp_path, broken):
    # Symbols interleave over 8 shards; odd shards make their feeds on the
    # worker, even ones are files (one of them broken when `broken` is given).
    shards = [functools.partial(generated_feeds, range(k, 48, 8), 100) for k in range(8)]
    for k in range(0, 8, 2):
        (tmp_path / f"{k}.json").write_text(broken if k == 4 and broken else
                                            json.dumps(shards[k]()), encoding="utf-8")
        shards[k] = tmp_path / f"{k}.json"
    if broken:
        with pytest.raises(mellix_dask.ShardError, match=r"^shard 4 \(.*4.json\) failed: "
                           "ParseError: parse: expected a value at line 2 column 14") as error:
            mellix_dask.build_context(client, SPEC, shards)
        assert error.value.shard == 4 and isinstance(error.value.__cause__, ParseError)
    else:
        context = mellix_dask.build_context(client, SPEC, shards)
        single = Market(SPEC).build(generated_feeds(range(48), 100))
        assert context.to_json() == single.to_json()
        assert context.missing_symbols == single.missing_symbols == ("NONE",)


def test_a_sharded_replay_is_the_one_replay(client):
    shards = [functools.partial(generated_feeds, range(k, 48, 8), 100) for k in range(8)]
    at = [T0 + minute * STEP for minute in range(-1, 101, 9)]
    sharded = mellix_dask.replay(client, SPEC, shards, at=at, cut="window", sentences=True)
    single = Market(SPEC).replay(generated_feeds(range(48), 100), at=at, cut="window",
                                 sentences=True)
    assert len(single) > 0 and sharded.moments == single.moments
    assert [(*row[:3], repr(row[3]), repr(row[4]), *row[5:]) for row in sharded] == \
        [(*row[:3], repr(row[3]), repr(row[4]), *row[5:]) for row in single]
