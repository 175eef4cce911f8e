"""Sharded builds on a Dask cluster: the workers load and build the shards,
the client merges their contexts into the context of one build over all of
them (see :func:`varnok_mellix.merge_contexts`).

Needs Dask's ``distributed``, the ``dask`` extra::

    pip install "varnok-mellix[dask]"
"""

from __future__ import annotations

import os
import pathlib
import uuid
from collections.abc import Callable, Iterable, Mapping
from typing import TypeAlias

from distributed import Client, as_completed

from ._errors import shorten
from ._market import Feeds, Market, Spec, release_gone_markets
from ._merge import merge_contexts
from ._records import Context

__all__ = ["Shard", "ShardError", "build_context"]

Shard: TypeAlias = Callable[[], Feeds] | str | os.PathLike[str]
"""A callable that returns a shard's feeds (run on a worker), or the path of a
JSON feeds file that the workers can read."""


class ShardError(RuntimeError):
    """A shard that failed to load or build; `shard` is its position in the
    list of shards, `name` its path or the name of its callable, and the
    shard's own exception is the cause (``__cause__``)."""

    shard: int
    name: str

    def __init__(self, shard: int, name: str, error: BaseException) -> None:
        super().__init__(f"shard {shard} ({shorten(name)}) failed: {type(error).__name__}: "
                         f"{shorten(str(error))}")
        self.shard = shard
        self.name = name


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
    shards = list(shards)
    run = uuid.uuid4().hex
    futures = [client.submit(_build_shard, market.spec_json, shard,
                             key=f"varnok-mellix-shard-{number}-{run}")
               for number, shard in enumerate(shards)]
    numbers = {future.key: number for number, future in enumerate(futures)}
    texts = [""] * len(shards)
    # distributed leaves as_completed and Client.cancel unannotated.
    for future in as_completed(futures):  # type: ignore[no-untyped-call]
        number = numbers[future.key]
        try:
            texts[number] = future.result()
        except Exception as error:
            client.cancel(futures)  # type: ignore[no-untyped-call]
            raise ShardError(number, _shard_name(shards[number]), error) from error
    # An empty context last, so that no shards merge to an empty build and the
    # contexts keep the shards' numbers.
    merged = merge_contexts([*texts, Context((), (), market.lookback)])
    built = set(merged.symbols)
    missing = dict.fromkeys(symbol for symbol in market.symbols if symbol not in built)
    return Context(merged.facts, merged.symbols, merged.lookback, tuple(missing))


def _shard_name(shard: Shard) -> str:
    if isinstance(shard, (str, os.PathLike)):
        return os.fspath(shard)
    name: str = getattr(shard, "__qualname__", None) or repr(shard)
    return name


def _build_shard(spec_json: str, shard: Shard) -> str:
    """The context text of one shard; runs on a worker."""
    feeds = pathlib.Path(shard).read_bytes() if isinstance(shard, (str, os.PathLike)) \
        else shard()
    try:
        return _context_text(Market(spec_json), feeds)
    finally:
        # The engine keeps buffers the size of the shard's text: free them now,
        # not when this worker thread next builds.
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
