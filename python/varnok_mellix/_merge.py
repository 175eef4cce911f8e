"""Merging the contexts of builds over disjoint sets of symbols into the
context of one build over all of them.

A build derives each symbol's facts from that symbol's snapshot alone and
ranks them only at the end, so the contexts of one spec over disjoint sets of
feeds hold between them every fact of the whole build, and ranking those by
the engine's key gives the whole build's order. One thing a context does not
record decides the order of facts that are equal on every ranking key: the
feeds key each came from (the engine stable-sorts the facts taken key by key,
in ascending key order). Such facts share their snapshot's `symbol` member.
Within one context they already stand in that order; across contexts their
order is unknown, which is harmless only when they are alike (it does not show
in the text), so differing ones are refused.
"""

from __future__ import annotations

import struct
from collections import defaultdict, deque
from collections.abc import Iterable

from ._errors import MergeError
from ._records import Context, ContextRecord, Fact, FactRecord, context_record
from ._varnok_mellix import merge_contexts as _merge_records

__all__ = ["MergeError", "merge_contexts"]


def merge_contexts(contexts: Iterable[Context | str | bytes]) -> Context:
    """The context of one build over all the symbols of `contexts`: contexts
    (or their JSON texts) built from one spec over disjoint sets of symbols.

    The result's ``to_json()`` is byte for byte the text of that one build: the
    engine ranks its facts with a build's ranking, facts equal on every key in
    the engine's order; its `symbols` ascending, the contexts' `lookback`. Its
    `missing_symbols` are those of the contexts that none of them holds, in
    order of first appearance.

    Raises :class:`MergeError` for no contexts, different look-backs, a
    symbol held by two contexts, or facts from different contexts that tie on
    every ranking key (magnitude, kind, symbol, ts) but are not all alike in
    value and sentence: their order follows the feeds keys they came from,
    which contexts do not record. Only snapshots whose `symbol` member is the same
    under different keys give such facts; building those keys into one
    context avoids it. Raises :class:`ParseError` for a text that is not a
    context.
    """
    parts = [c if isinstance(c, Context) else Context.from_json(c) for c in contexts]
    records = tuple(context_record(part) for part in parts)
    try:
        merged = _merge_records(records)
    except ValueError as error:
        raise MergeError(str(error)) from None
    held = {symbol for part in parts for symbol in part.symbols}
    missing = (s for part in parts for s in part.missing_symbols if s not in held)
    facts, symbols, lookback = merged
    return Context(_the_same_facts(facts, parts, records), symbols, lookback,
                   tuple(dict.fromkeys(missing)))


def _the_same_facts(merged: tuple[FactRecord, ...], parts: list[Context],
                    records: tuple[ContextRecord, ...]) -> tuple[Fact, ...]:
    """The parts' own Fact objects, in the merged order: they keep their
    evidence, which the engine's records do not carry. Facts whose records
    are equal are taken in the order the merge keeps them, theirs."""
    originals: dict[tuple[object, ...], deque[Fact]] = defaultdict(deque)
    for part, (facts, _, _) in zip(parts, records):
        for fact, record in zip(part.facts, facts):
            originals[_record_key(record)].append(fact)
    return tuple(originals[_record_key(record)].popleft() for record in merged)


def _record_key(record: FactRecord) -> tuple[object, ...]:
    # Numbers by their bits: a NaN equals itself there.
    kind, symbol, value, magnitude, ts, human = record
    return kind, symbol, struct.pack("<dd", value, magnitude), ts, human
