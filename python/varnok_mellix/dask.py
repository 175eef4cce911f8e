"""Sharded builds and replays on a Dask cluster: the workers load and build
(or replay) the shards, the client merges their contexts into the context of
one build over all of them (see :func:`varnok_mellix.merge_contexts`), or
their replays, moment by moment, into one replay.

Needs Dask's ``distributed``, the ``dask`` extra::

    pip install "varnok-mellix[dask]"
"""

from __future__ import annotations

import os
import uuid
from array import array
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, TypeAlias

from ._errors import ShardError, missing_extra

try:
    from distributed import Client, as_completed
except ImportError as _missing:
    raise missing_extra(__name__, "dask", _missing) from _missing

from ._files import read_file
from ._market import Feeds, Market, Spec, release_gone_markets
from ._merge import merge_contexts
from ._records import Context, Fact, FactKind
from ._replay import Replay, ReplayCut

__all__ = ["Shard", "ShardError", "build_context", "replay"]

Shard: TypeAlias = Callable[[], Feeds] | str | os.PathLike[str]
"""A callable that returns a shard's feeds (run on a worker), or the path of a
JSON feeds file that the workers can read."""


def build_context(client: Client, spec: Spec, shards: Iterable[Shard]) -> Context:
    """The context of one build from `spec` over the feeds of all `shards`,
    each shard loaded and built on a worker of `client`'s cluster.

    Shards hold disjoint sets of feeds keys; the keys whose snapshots share a
    `symbol` member (normally each key is its snapshot's symbol) belong in one
    shard. The result's ``to_json()`` is byte for byte that of
    ``Market(spec).build(all_feeds)``, and its `missing_symbols` are the spec
    symbols that no shard has.

    Raises :class:`~varnok_mellix.ParseError` or
    :class:`~varnok_mellix.BadSpecError` for a refused spec (before any work is
    sent), :class:`ShardError` for the first shard found to fail (the others are
    cancelled), and :class:`~varnok_mellix.MergeError` for shards that share a
    key or whose facts cannot be ordered (contexts are numbered as the shards).
    """
    market = Market(spec)
    texts = _run_shards(client, shards, _build_shard, market.spec_json)
    # An empty context last, so that no shards merge to an empty build and the
    # contexts keep the shards' numbers.
    merged = merge_contexts([*texts, Context((), (), market.lookback)])
    built = set(merged.symbols)
    missing = dict.fromkeys(symbol for symbol in market.symbols if symbol not in built)
    return Context(merged.facts, merged.symbols, merged.lookback, tuple(missing))


def replay(client: Client, spec: Spec, shards: Iterable[Shard], *, at: Sequence[int],
           cut: ReplayCut = "all", sentences: bool = False) -> Replay:
    """The replay (:meth:`Market.replay`) at the moments `at` of the feeds of
    all `shards`, each shard loaded and replayed on a worker of `client`'s
    cluster, and the shards' facts at each moment ranked together as one
    replay ranks them: row for row, the result's text columns are those of
    ``Market(spec).replay(all_feeds, at=at, ...)``.

    Shards hold disjoint sets of feeds keys, as for :func:`build_context`;
    raises as it does."""
    market = Market(spec)
    moments = [int(moment) for moment in at]
    parts = [Replay(columns) for columns in _run_shards(
        client, shards, _replay_shard, market.spec_json, moments, cut, sentences)]
    contexts_by_moment = [[Context(tuple(facts), part.keys, market.lookback)
                           for part, facts in zip(parts, rows)]
                          for rows in zip(*(_facts_by_moment(part) for part in parts))]
    merged = [merge_contexts([*contexts, Context((), (), market.lookback)])
              for contexts in contexts_by_moment]
    return _replay_of(moments, parts, merged, sentences)


def _run_shards(client: Client, shards: Iterable[Shard], work: Callable[..., Any],
                *arguments: Any) -> list[Any]:
    """`work(*arguments, shard)` of each shard on the cluster, in the shards'
    order; the first failure found raises ShardError and cancels the rest."""
    shards = list(shards)
    run = uuid.uuid4().hex
    futures = [client.submit(work, *arguments, shard, key=f"varnok-mellix-shard-{number}-{run}")
               for number, shard in enumerate(shards)]
    numbers = {future.key: number for number, future in enumerate(futures)}
    results: list[Any] = [None] * len(shards)
    # distributed leaves as_completed and Client.cancel unannotated.
    for future in as_completed(futures):  # type: ignore[no-untyped-call]
        number = numbers[future.key]
        try:
            results[number] = future.result()
        except Exception as error:
            client.cancel(futures)  # type: ignore[no-untyped-call]
            raise ShardError(number, _shard_name(shards[number]), error) from error
    return results


def _facts_by_moment(part: Replay) -> list[list[Fact]]:
    """A shard's facts, moment by moment."""
    human = part.human or [""] * len(part)
    facts = [Fact(kind, symbol, value, magnitude, ts, text) for kind, symbol, value, magnitude, ts,
             text in zip(part.kind, part.symbol, part.value, part.magnitude, part.ts, human)]
    rows = part._columns["moment_rows"]
    return [facts[rows[i]:rows[i + 1]] for i in range(len(part.moments))]


def _replay_of(moments: list[int], parts: list[Replay], merged: list[Context],
               sentences: bool) -> Replay:
    """One replay of the merged facts, in the engine's column form."""
    snapshots = sorted((key, symbol) for part in parts for key, symbol in zip(part.keys,
                                                                              part.symbols))
    number: dict[str, int] = {}
    for i, (_, symbol) in enumerate(snapshots):
        number.setdefault(symbol, i)
    kinds = {kind: i for i, kind in enumerate(FactKind)}
    facts = [fact for context in merged for fact in context.facts]
    rows = array("Q", [0])
    for context in merged:
        rows.append(rows[-1] + len(context.facts))
    return Replay({
        "moments": moments, "keys": [key for key, _ in snapshots],
        "symbols": [symbol for _, symbol in snapshots],
        "human": [fact.human for fact in facts] if sentences else None,
        "moment_rows": rows.tobytes(),
        "symbol": array("I", [number[fact.symbol] for fact in facts]).tobytes(),
        "kind": array("B", [kinds[fact.kind] for fact in facts]).tobytes(),
        "value": array("d", [fact.value for fact in facts]).tobytes(),
        "magnitude": array("d", [fact.magnitude for fact in facts]).tobytes(),
        "ts": array("q", [fact.ts for fact in facts]).tobytes(),
    })


def _shard_name(shard: Shard) -> str:
    if isinstance(shard, (str, os.PathLike)):
        return os.fspath(shard)
    name: str = getattr(shard, "__qualname__", None) or repr(shard)
    return name


def _load(shard: Shard) -> Feeds:
    return read_file(shard) if isinstance(shard, (str, os.PathLike)) else shard()


def _build_shard(spec_json: str, shard: Shard) -> str:
    """The context text of one shard; runs on a worker."""
    try:
        return _context_text(Market(spec_json), _load(shard))
    finally:
        # The engine keeps buffers the size of the shard's text: free them now,
        # not when this worker thread next builds.
        release_gone_markets()


def _replay_shard(spec_json: str, moments: list[int], cut: ReplayCut, sentences: bool,
                  shard: Shard) -> dict[str, Any]:
    """The replay columns of one shard; runs on a worker."""
    try:
        return Market(spec_json)._replay_columns(_load(shard), moments, None, None, cut,
                                                 sentences, None)
    finally:
        release_gone_markets()


def _context_text(market: Market, feeds: Feeds) -> str:
    if isinstance(feeds, Mapping):
        # The spec's other symbols are in other shards, not missing: a market
        # of this shard's own symbols does not warn of near misses for them.
        own = [symbol for symbol in market.symbols if symbol in feeds]
        if not own:
            return Context((), (), market.lookback).to_json()
        market = Market(symbols=own, lookback=market.lookback, facts=market.facts,
                        timeframe=market.timeframe)
    return market.build(feeds).to_json()
