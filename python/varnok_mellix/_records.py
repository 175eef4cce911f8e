"""Typed results: fact kinds, facts, their evidence, market contexts and tool
calls.

A :class:`Context` built by the engine keeps the engine's own JSON text, so
:meth:`Context.to_json` hands back exactly what the engine wrote. A context
made in Python is written in the same format: compact, members in declared
order, floats as the shortest round-trip decimal with ``.0`` on whole numbers
and exponent form outside 1e-5 to 1e16.

Every view of a context outside the engine (``Context.to_dict``, the JSON of
``mellix build``, the MCP server's ``build_context`` answer) holds the same
four members: ``facts``, ``symbols``, ``lookback`` and ``missing_symbols``.
The engine's own text has the first three (and ignores the fourth when it
reads a context back); :meth:`Context.from_json` reads all four.
"""

from __future__ import annotations

import decimal
import enum
import itertools
import json
import math
from collections.abc import Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Final, TypeAlias

from ._errors import ArgumentError, ParseError

__all__ = ["Context", "Evidence", "Fact", "FactKind", "ToolCall"]


class FactKind(enum.StrEnum):
    """The six kinds of fact, by wire name, in the engine's ranking order."""

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
        members = ",".join(_write_string(symbol) for symbol in self.missing_symbols)
        return f'{text[:-1]},"missing_symbols":[{members}]}}'

    @classmethod
    def from_json(cls, text: str | bytes) -> Context:
        """Reads a context in the engine's JSON format (objects or arrays of
        their fields in declared order), with ``missing_symbols`` when the
        object holds it (as ``to_json(missing_symbols=True)`` writes it).
        Raises :class:`ParseError`."""
        if isinstance(text, (bytes, bytearray)):
            try:
                text = bytes(text).decode("utf-8")
            except UnicodeDecodeError as error:
                raise ParseError(f"invalid UTF-8: {error.reason}") from error
        try:
            value = json.loads(text, parse_constant=_refuse_constant)
        except json.JSONDecodeError as error:
            raise ParseError(f"{error.msg} at line {error.lineno} column {error.colno}") from None
        if isinstance(value, dict) and "missing_symbols" in value:
            missing = tuple(_string(s) for s in _list(value["missing_symbols"]))
            # to_json() is the engine's text, which has no such member: written anew.
            return context_from_value(value, None, missing)
        return context_from_value(value, text)


# ---------------------------------------------------------------------------
# Reading: the engine's record forms, with messages in the engine's words.

_U32_MAX: Final = 2**32 - 1
_I64_RANGE: Final = range(-(2**63), 2**63)
_CONTEXT_KEYS: Final = ("facts", "symbols", "lookback")
_FACT_KEYS: Final = ("kind", "symbol", "value", "magnitude", "ts", "human")


def _refuse_constant(name: str) -> float:
    raise ParseError(f"invalid number: {name}")


def _found(value: object) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return f"boolean `{'true' if value else 'false'}`"
    if isinstance(value, int):
        return f"integer `{value}`"
    if isinstance(value, float):
        return f"floating point `{value}`"
    if isinstance(value, str):
        return f"string {json.dumps(value, ensure_ascii=False)}"
    return "sequence" if isinstance(value, list) else "map"


def _invalid_type(value: object, expected: str) -> ParseError:
    return ParseError(f"invalid type: {_found(value)}, expected {expected}")


def _fields(value: object, name: str, keys: tuple[str, ...]) -> list[object]:
    if isinstance(value, dict):
        for key in keys:
            if key not in value:
                raise ParseError(f"missing field `{key}`")
        return [value[key] for key in keys]
    if isinstance(value, list):
        if len(value) < len(keys):
            raise ParseError(
                f"invalid length {len(value)}, expected struct {name} with {len(keys)} elements")
        if len(value) > len(keys):
            raise ParseError(f"invalid length {len(value)}, expected fewer elements in array")
        return value
    raise _invalid_type(value, f"struct {name}")


def _string(value: object) -> str:
    if not isinstance(value, str):
        raise _invalid_type(value, "a string")
    return value


def _integer(value: object, allowed: range, expected: str) -> int:
    if not isinstance(value, int) or isinstance(value, bool):
        raise _invalid_type(value, expected)
    if value not in allowed:
        raise ParseError(f"invalid value: {_found(value)}, expected {expected}")
    return value


def _number(value: object) -> float:
    if not isinstance(value, (int, float)) or isinstance(value, bool):
        raise _invalid_type(value, "f64")
    return float(value)


def _list(value: object) -> list[object]:
    if not isinstance(value, list):
        raise _invalid_type(value, "a sequence")
    return value


def _kind(value: object) -> FactKind:
    if isinstance(value, dict):
        if len(value) != 1:
            raise ParseError("invalid value: map, expected map with a single key")
        [(value, unit)] = value.items()
        if unit is not None:
            raise _invalid_type(unit, "unit")
    if not isinstance(value, str):
        raise _invalid_type(value, "string or map")
    try:
        return FactKind(value)
    except ValueError:
        names = ", ".join(f"`{kind.value}`" for kind in FactKind)
        raise ParseError(f"unknown variant `{value}`, expected one of {names}") from None


def _fact(value: object, evidence: Mapping[str, EvidenceValue] | None = None) -> Fact:
    kind, symbol, number, magnitude, ts, human = _fields(value, "Fact", _FACT_KEYS)
    return Fact(_kind(kind), _string(symbol), _number(number), _number(magnitude),
                _integer(ts, _I64_RANGE, "i64"), _string(human),
                None if evidence is None else Evidence(evidence))


def context_from_value(value: object, text: str | None = None,
                       missing_symbols: Iterable[str] = (),
                       evidence: Sequence[Mapping[str, EvidenceValue]] | None = None) -> Context:
    """The context of a parsed JSON value; `text`, when given, is kept as the
    context's JSON text, and `evidence[i]`, when given, is the i-th fact's."""
    facts, symbols, lookback = _fields(value, "MarketContext", _CONTEXT_KEYS)
    records: Iterable[Mapping[str, EvidenceValue] | None] = \
        itertools.repeat(None) if evidence is None else evidence
    read = tuple(_fact(f, record) for f, record in zip(_list(facts), records))
    if evidence is not None and len(evidence) != len(read):
        raise AssertionError(f"evidence for {len(evidence)} facts, not {len(read)}")
    context = Context(read,
                      tuple(_string(s) for s in _list(symbols)),
                      _integer(lookback, range(_U32_MAX + 1), "u32"),
                      tuple(missing_symbols))
    if text is not None:
        object.__setattr__(context, "_text", text)
    return context


# ---------------------------------------------------------------------------
# Writing, in the engine's format.


def format_number(x: float) -> str:
    """A float as the engine writes it: null when not finite, else the shortest
    round-trip digits, in fixed notation when the first digit's decimal
    exponent is from -5 to 15 (with ".0" on a whole number), else as d.ddde±x."""
    if not math.isfinite(x):
        return "null"
    if x == 0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    sign, digit_tuple, exponent = decimal.Decimal(repr(x)).normalize().as_tuple()
    assert isinstance(exponent, int)
    digits = "".join(map(str, digit_tuple))
    e = len(digits) - 1 + exponent  # decimal exponent of the first digit
    if -5 <= e <= 15:
        if e < 0:
            text = "0." + "0" * (-e - 1) + digits
        elif len(digits) <= e + 1:
            text = digits + "0" * (e + 1 - len(digits)) + ".0"
        else:
            text = digits[: e + 1] + "." + digits[e + 1:]
    else:
        fraction = "." + digits[1:] if len(digits) > 1 else ""
        text = f"{digits[0]}{fraction}e{'+' if e > 0 else '-'}{abs(e)}"
    return "-" + text if sign else text


def _write_string(text: str) -> str:
    return json.dumps(text, ensure_ascii=False)


def _write_fact(fact: Fact) -> str:
    return (f'{{"kind":"{fact.kind.value}","symbol":{_write_string(fact.symbol)},'
            f'"value":{format_number(fact.value)},"magnitude":{format_number(fact.magnitude)},'
            f'"ts":{int(fact.ts)},"human":{_write_string(fact.human)}}}')


def _write_context(context: Context) -> str:
    facts = ",".join(_write_fact(fact) for fact in context.facts)
    symbols = ",".join(_write_string(symbol) for symbol in context.symbols)
    return f'{{"facts":[{facts}],"symbols":[{symbols}],"lookback":{int(context.lookback)}}}'

