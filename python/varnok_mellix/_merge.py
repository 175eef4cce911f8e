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
from collections.abc import Iterable
from itertools import groupby
from operator import itemgetter
from typing import Final

from ._errors import MergeError
from ._records import Context, Fact, FactKind, format_number

__all__ = ["MergeError", "merge_contexts"]

_KIND_ORDER: Final = {kind: order for order, kind in enumerate(FactKind)}
_ALL_BUT_SIGN: Final = (1 << 63) - 1


def _total_order(x: float) -> int:
    """An integer whose order is IEEE-754 totalOrder of `x`: -NaN < -inf <
    ... < -0.0 < 0.0 < ... < inf < NaN."""
    bits: int = struct.unpack("<q", struct.pack("<d", x))[0]
    return bits ^ _ALL_BUT_SIGN if bits < 0 else bits


def _rank(fact: Fact) -> tuple[int, int, str, int]:
    # Symbols compare as str: code-point order is the order of their UTF-8
    # bytes, which is how the engine compares them.
    return -_total_order(fact.magnitude), _KIND_ORDER[fact.kind], fact.symbol, fact.ts


def merge_contexts(contexts: Iterable[Context | str | bytes]) -> Context:
    """The context of one build over all the symbols of `contexts`: contexts
    (or their JSON texts) built from one spec over disjoint sets of symbols.

    The result's ``to_json()`` is byte for byte the text of that one build: its
    facts ranked by the engine's key, with facts equal on every key in the
    engine's order, its `symbols` ascending, the contexts' `lookback`. Its
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
    if not parts:
        raise MergeError("no contexts to merge")
    for number, part in enumerate(parts):
        if part.lookback != parts[0].lookback:
            raise MergeError(f"context {number} has lookback {part.lookback}, context 0 has "
                             f"{parts[0].lookback}: only contexts of one spec merge")
    holder: dict[str, int] = {}
    for number, part in enumerate(parts):
        for symbol in part.symbols:
            first = holder.setdefault(symbol, number)
            if first != number:
                raise MergeError(f"contexts {first} and {number} both hold symbol {symbol!r}: "
                                 "only contexts of disjoint sets of symbols merge")
    # Python's sort is stable: facts equal on the key keep their order within
    # each context, which is the engine's.
    ranked = sorted(((_rank(fact), number, fact) for number, part in enumerate(parts)
                     for fact in part.facts), key=itemgetter(0))
    for _, group in groupby(ranked, key=itemgetter(0)):
        tied = list(group)
        numbers = sorted({number for _, number, _ in tied})
        if len(numbers) > 1 and \
                len({(format_number(fact.value), fact.human) for _, _, fact in tied}) > 1:
            fact = tied[0][2]
            raise MergeError(
                f"{fact.kind.value} facts of {fact.symbol!r} in contexts "
                f"{', '.join(map(str, numbers))} tie on every ranking key but differ, and their "
                "order follows the feeds keys they came from; build the keys whose snapshots "
                "share a symbol member into one context")
    missing = (s for part in parts for s in part.missing_symbols if s not in holder)
    return Context(tuple(fact for _, _, fact in ranked), tuple(sorted(holder)),
                   parts[0].lookback, tuple(dict.fromkeys(missing)))
