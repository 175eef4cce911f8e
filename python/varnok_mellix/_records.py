"""Typed results: fact kinds, facts, their evidence, market contexts and tool
calls.

A :class:`Context` built by the engine keeps the engine's own JSON text, so
:meth:`Context.to_json` hands back exactly what the engine wrote. The engine
also reads and writes every other context text (:meth:`Context.from_json`, a
context made in Python): the format is written once, in the engine.

Every view of a context outside the engine (``Context.to_dict``, the JSON of
``mellix build``, the MCP server's ``build_context`` answer) holds the same
four members: ``facts``, ``symbols``, ``lookback`` and ``missing_symbols``.
The engine's own text has the first three (and ignores the fourth when it
reads a context back); :meth:`Context.from_json` reads all four.
"""

from __future__ import annotations

import enum
import itertools
import json
from collections.abc import Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Final, TypeAlias

from ._errors import ArgumentError, ParseError, error_from_rendering, with_location
from ._varnok_mellix import FACT_KINDS, read_context, write_context

__all__ = ["Context", "Evidence", "Fact", "FactKind", "ToolCall"]


class FactKind(enum.StrEnum):
    """The kinds of fact, by wire name, in the engine's ranking order.

    The engine's table of kinds is the source: the members are declared here
    for type checkers, and importing the package fails if they differ from
    the engine's (``_varnok_mellix.FACT_KINDS``), which also gives each kind's
    :attr:`description` and :attr:`evidence`.
    """

    PRICE_MOVE = "price_move"
    ORDERBOOK_IMBALANCE = "orderbook_imbalance"
    LIQUIDATION_CLUSTER = "liquidation_cluster"
    FUNDING_FLIP = "funding_flip"
    OI_CHANGE = "oi_change"
    VOLATILITY_SPIKE = "volatility_spike"

    @classmethod
    def _missing_(cls, value: object) -> FactKind:
        # Raised instead of the enum's own error, which repeats the value whole
        # (unshortened) and names no kind.
        raise ArgumentError(f"{value!r} is not a fact kind; the kinds are "
                            f"{', '.join(kind.value for kind in cls)}")

    @property
    def description(self) -> str:
        """What the fact's value measures, in the engine's words."""
        return _TEXTS[self.value][0]

    @property
    def evidence(self) -> str:
        """The numbers its rule records as evidence besides ``from_ts`` and ``to_ts``, and
        how the value follows from them, in the engine's words (docs/evidence.md)."""
        return _TEXTS[self.value][1]


_TEXTS: Final = {name: (description, evidence) for name, description, evidence in FACT_KINDS}


if tuple(FactKind) != tuple(_TEXTS):
    raise ImportError(f"varnok_mellix's FactKind {tuple(FactKind)} differs from the native "
                      f"module's kinds {tuple(_TEXTS)}: the package and its extension "
                      "are of different builds; reinstall varnok-mellix")

# (kind, symbol, value, magnitude, ts, human) tuples, symbols, lookback: a
# context as the engine's read_context, write_context and merge_contexts take it.
FactRecord: TypeAlias = tuple[str, str, float, float, int, str]
ContextRecord: TypeAlias = tuple[tuple[FactRecord, ...], tuple[str, ...], int]


EvidenceValue: TypeAlias = float | int | str
"""One entry of a fact's :class:`Evidence`: a number the rule read (an int
for timestamps and counts), a threshold, or a short text."""


class Evidence(Mapping[str, EvidenceValue]):
    """What a fact rule read to state its fact, and the threshold its number
    crossed: a read-only mapping of name to value, in the order the rule
    recorded them. Every kind has ``from_ts`` and ``to_ts`` (the first and
    last data point the rule read; ``to_ts`` is the fact's ``ts``) and, but
    for ``funding_flip``, ``threshold``; the other keys are the kind's (see
    docs/evidence.md, which also gives the formula that turns them into the
    fact's value and magnitude). Equal to any mapping of the same items;
    pickles; not hashable."""

    __slots__ = ("_items",)

    def __init__(self, items: Mapping[str, EvidenceValue] | Iterable[tuple[str, EvidenceValue]]
                 = (), /) -> None:
        self._items: dict[str, EvidenceValue] = dict(items)

    def __getitem__(self, key: str) -> EvidenceValue:
        return self._items[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self._items)

    def __len__(self) -> int:
        return len(self._items)

    def __repr__(self) -> str:
        return f"Evidence({self._items!r})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (Evidence, (self._items,))


@dataclass(frozen=True, slots=True)
class Fact:
    """One statement about one symbol, as a fact rule produced it.

    `value` is the rule's signed measurement (percent change, imbalance, net
    notional, funding rate or volatility ratio), `magnitude` the size that
    ranks it, `ts` the timestamp of the record it rests on (in the feed's own
    unit) and `human` one English sentence.

    `evidence` is what the rule read to state it (:class:`Evidence`), for a
    fact of a build made with ``explain=True`` (or of :meth:`Market.explain`),
    else None. It takes no part in equality, hashing or ``repr``: a fact is
    the claim, and the same claim is equal with or without its evidence
    (a fact read back from JSON equals the one built). It pickles with the
    fact.
    """

    kind: FactKind
    symbol: str
    value: float
    magnitude: float
    ts: int
    human: str
    evidence: Evidence | None = field(default=None, compare=False, repr=False)

    def __post_init__(self) -> None:
        object.__setattr__(self, "kind", FactKind(self.kind))
        if self.evidence is not None and not isinstance(self.evidence, Evidence):
            object.__setattr__(self, "evidence", Evidence(self.evidence))

    def to_dict(self, *, evidence: bool = False) -> dict[str, Any]:
        """The fact as a JSON-able dict, with the members of the engine's JSON;
        with `evidence`, a last member ``"evidence"``: a dict, or None for a
        fact without."""
        out: dict[str, Any] = {"kind": self.kind.value, "symbol": self.symbol,
                               "value": self.value, "magnitude": self.magnitude, "ts": self.ts,
                               "human": self.human}
        if evidence:
            out["evidence"] = None if self.evidence is None else dict(self.evidence)
        return out


@dataclass(frozen=True, slots=True)
class ToolCall:
    """One ``get_fact`` call of a query answer: look up the fact of `kind` for
    `symbol`."""

    kind: FactKind
    symbol: str
    tool: str = "get_fact"

    def __post_init__(self) -> None:
        object.__setattr__(self, "kind", FactKind(self.kind))

    def to_dict(self) -> dict[str, str]:
        """The call as a JSON-able dict, with the members of the engine's query
        answer: ``{"kind": ..., "symbol": ..., "tool": ...}``."""
        return {"kind": self.kind.value, "symbol": self.symbol, "tool": self.tool}


@dataclass(frozen=True, slots=True)
class Context:
    """A market context: every fact of a build, most significant first.

    `symbols` are the spec symbols that had a snapshot (ascending, each once)
    and `lookback` the spec's look-back at build time. `missing_symbols` are
    the spec symbols that had no snapshot, in spec order; it is only known for
    a context returned by :meth:`Market.build` and takes no part in equality.
    """

    facts: tuple[Fact, ...]
    symbols: tuple[str, ...]
    lookback: int
    missing_symbols: tuple[str, ...] = field(default=(), compare=False)
    _text: str | None = field(default=None, init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        object.__setattr__(self, "facts", tuple(self.facts))
        object.__setattr__(self, "symbols", tuple(self.symbols))
        object.__setattr__(self, "missing_symbols", tuple(self.missing_symbols))

    def fact(self, kind: FactKind | str, symbol: str) -> Fact | None:
        """The highest-ranked fact of `kind` about `symbol`, or None."""
        kind = FactKind(kind)
        return next((f for f in self.facts if f.kind is kind and f.symbol == symbol), None)

    def _repr_html_(self) -> str:
        """The facts as an HTML table, for Jupyter: the first rows (see
        :data:`varnok_mellix.report.TABLE_ROWS`), with the symbols and the
        look-back. No charts: a context does not hold the feeds it was built
        from; :meth:`Market.report` draws each fact over them."""
        from .report import TABLE_ROWS, facts_table

        return facts_table(self, TABLE_ROWS)

    def to_dict(self) -> dict[str, Any]:
        """The context as a JSON-able dict: ``facts`` (as :meth:`Fact.to_dict`),
        ``symbols``, ``lookback`` and ``missing_symbols``."""
        return {"facts": [fact.to_dict() for fact in self.facts], "symbols": list(self.symbols),
                "lookback": self.lookback, "missing_symbols": list(self.missing_symbols)}

    def to_json(self, *, missing_symbols: bool = False) -> str:
        """The context as the engine writes it; for a context that came from the
        engine (or from :meth:`from_json` of a text without
        ``missing_symbols``), the very text it came as.

        With `missing_symbols`, the same text with a last member
        ``"missing_symbols"``: what ``mellix build`` prints, and what
        :meth:`from_json` and the engine (which ignores the member) read."""
        if self._text is None:
            object.__setattr__(self, "_text", _write_context(self))
        assert self._text is not None
        if not missing_symbols:
            return self._text
        text = self._text.strip()
        if not text.startswith("{"):  # the array form, read by from_json
            text = _write_context(self)
        return f'{text[:-1]},"{_MISSING_KEY}":{_write_strings(self.missing_symbols)}}}'

    @classmethod
    def from_json(cls, text: str | bytes) -> Context:
        """Reads a context in the engine's JSON format (objects or arrays of
        their fields in declared order), with ``missing_symbols`` when the
        object holds it (as ``to_json(missing_symbols=True)`` writes it).
        Raises :class:`ParseError` with the engine's own message: the engine
        reads it."""
        if isinstance(text, (bytearray, memoryview)):
            text = bytes(text)
        try:
            record = read_context(text)
        except UnicodeEncodeError:  # a str with a lone surrogate: no UTF-8 to read
            raise ParseError("lone surrogate in string") from None
        except ValueError as error:
            rendering, path = error.args
            raise with_location(error_from_rendering(rendering), (("context", *path), None),
                                text, None) from None
        missing = _missing_symbols(text)
        if missing is None:
            return context_from_record(record, text if isinstance(text, str) else None)
        # to_json() is the engine's text, which has no such member: written anew.
        return context_from_record(record, None, missing)


# ---------------------------------------------------------------------------
# The engine reads and writes the context format (read_context, write_context);
# this module only turns its records into the classes above and back.

_MISSING_KEY: Final = "missing_symbols"


def _missing_symbols(text: str | bytes) -> tuple[str, ...] | None:
    """The ``missing_symbols`` member of a context text the engine has read,
    which the engine ignores; None when there is none."""
    present = _MISSING_KEY in text if isinstance(text, str) else _MISSING_KEY.encode() in text
    if not present:
        return None
    value = json.loads(text)
    if not isinstance(value, dict) or _MISSING_KEY not in value:
        return None
    missing = value[_MISSING_KEY]
    if not isinstance(missing, list) or not all(isinstance(s, str) for s in missing):
        raise ParseError(f"`{_MISSING_KEY}` must be an array of strings")
    return tuple(missing)


def context_from_record(record: ContextRecord, text: str | None = None,
                        missing_symbols: Iterable[str] = (),
                        evidence: Sequence[Mapping[str, EvidenceValue]] | None = None) -> Context:
    """The context of a record of the engine's; `text`, when given, is kept as
    the context's JSON text, and `evidence[i]`, when given, is the i-th fact's."""
    facts, symbols, lookback = record
    if evidence is not None and len(evidence) != len(facts):
        raise AssertionError(f"evidence for {len(evidence)} facts, not {len(facts)}")
    records: Iterable[Mapping[str, EvidenceValue] | None] = \
        itertools.repeat(None) if evidence is None else evidence
    context = Context(tuple(Fact(FactKind(kind), symbol, value, magnitude, ts, human,
                                 None if found is None else Evidence(found))
                            for (kind, symbol, value, magnitude, ts, human), found
                            in zip(facts, records)),
                      symbols, lookback, tuple(missing_symbols))
    if text is not None:
        object.__setattr__(context, "_text", text)
    return context


def context_record(context: Context) -> ContextRecord:
    """The record of `context` that the engine reads."""
    return (tuple((f.kind.value, f.symbol, f.value, f.magnitude, f.ts, f.human)
                  for f in context.facts), context.symbols, context.lookback)


def _write_context(context: Context) -> str:
    return write_context(*context_record(context))


def _write_strings(texts: tuple[str, ...]) -> str:
    """`texts` as the engine writes a JSON array of strings."""
    written = write_context((), texts, 0)
    return written[written.index('"symbols":') + len('"symbols":'):written.rindex(',"lookback"')]
