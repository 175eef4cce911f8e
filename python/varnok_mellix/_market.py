"""`Market`: the Python client over the native engine.

Threads. A native `Mellix` is bound to the thread that created it, so a
`Market` keeps one per thread, created on first use, in a thread-local table.
A thread's native objects are released on that thread: when it exits, or when
it next uses a `Market` after the one they belong to has gone. The last built
context is shared by all threads: it is kept here as a `Context`, and a
thread whose own native object did not build it hands its text to the query.
Only the swap of that shared context (and a read of it) takes the market's
lock; the native calls themselves take turns on the interpreter lock, which
they hold throughout (a build spreads its work over all cores by itself).
"""

from __future__ import annotations

import json
import os
import threading
import warnings
import weakref
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, TypeAlias

from ._errors import (ArgumentError, MissingSymbolWarning, NoContextError, ParseError,
                      answer_error, error_from_rendering, locate_in, shorten, with_location)
from ._files import read_file
from ._records import Context, Fact, FactKind, ToolCall, context_from_record
from ._replay import Progress, Replay, ReplayCut, check_moments, replay_request
from ._varnok_mellix import Mellix, read_context
from .feeds import _names_json_lines, load

__all__ = ["Feeds", "Market", "Spec", "open_engine"]

Spec: TypeAlias = Mapping[str, Any] | str | bytes
"""A spec as a mapping, or as its JSON text (str, or UTF-8 bytes)."""

Feeds: TypeAlias = Mapping[str, Any] | str | bytes
"""Feeds (symbol -> snapshot) as a mapping, or as their JSON text."""


class _Slot:
    """One thread's native object for one market, and the build it holds."""

    __slots__ = ("market", "mellix", "generation")

    def __init__(self, market: weakref.ref[Market], mellix: Mellix) -> None:
        self.market = market
        self.mellix = mellix
        self.generation = 0  # the generation of the context `mellix` stored, 0 for none


_thread_slots = threading.local()


def _slots() -> dict[int, _Slot]:
    slots: dict[int, _Slot] | None = getattr(_thread_slots, "by_market", None)
    if slots is None:
        slots = _thread_slots.by_market = {}
    return slots


def release_gone_markets() -> None:
    """Releases the calling thread's native objects of markets that have gone.
    A native object keeps buffers as large as the largest request it parsed,
    so code that drops a market after a big build calls this to free them at
    once rather than at the thread's next use of a market."""
    slots = _slots()
    for key in [key for key, old in slots.items() if old.market() is None]:
        del slots[key]  # released here, on the thread that created it


def open_engine(spec_json: str) -> Mellix:
    """A native engine for `spec_json`; a spec it refuses raises the
    :class:`MellixError` of the refusal. (A text with a lone surrogate, which
    UTF-8 cannot carry, raises the native UnicodeEncodeError.)"""
    try:
        return Mellix(spec_json)
    except UnicodeError:
        raise
    except ValueError as error:
        raise error_from_rendering(str(error)) from None


def _decode(text: str | bytes, what: str) -> str:
    if isinstance(text, str):
        return text
    try:
        return bytes(text).decode("utf-8")
    except UnicodeDecodeError as error:
        raise ParseError(f"{what} not UTF-8 text: {error.reason} at byte {error.start}") \
            from error


def _feeds_request(feeds: Feeds) -> tuple[str | dict[str, Any], str | None]:
    """The build request for `feeds`, and the caller's text within it: text is
    embedded as it is, a mapping goes to the engine as Python objects."""
    if isinstance(feeds, (str, bytes, bytearray)):
        text = _decode(feeds, "the feeds are")
        return '{"feeds":\n' + text + '\n,"cmd":"build_context"}', text
    if isinstance(feeds, Mapping) and not isinstance(feeds, dict):
        feeds = dict(feeds)
    return {"feeds": feeds, "cmd": "build_context"}, None


class Market:
    """A client of the engine for one spec: build contexts, query, resolve.

    Create it from a spec mapping, its JSON text, or keywords::

        Market({"symbols": ["BTC"], "lookback": 20, "facts": ["price_move"]})
        Market('{"symbols": ["BTC"], "lookback": 20, "facts": ["price_move"]}')
        Market(symbols=["BTC"], lookback=20)           # facts default to all six

    A refused spec raises :class:`ParseError` or :class:`BadSpecError`. A
    market may be used from any thread.
    """

    def __init__(self, spec: Spec | None = None, /, *, symbols: Sequence[str] | None = None,
                 lookback: int | None = None, facts: Iterable[FactKind | str] | None = None,
                 timeframe: str | None = None) -> None:
        keywords = symbols is not None or lookback is not None or facts is not None \
            or timeframe is not None
        if spec is None:
            if symbols is None or lookback is None:
                raise TypeError("Market() needs a spec, or the keywords symbols and lookback")
            if isinstance(symbols, str):
                raise TypeError("symbols must be a sequence of str, not a str")
            spec = {"symbols": list(symbols), "lookback": lookback,
                    "facts": list(FactKind if facts is None else facts), "timeframe": timeframe}
        elif keywords:
            raise TypeError("Market() takes a spec or keywords, not both")
        if isinstance(spec, (str, bytes, bytearray)):
            self._spec_json = _decode(spec, "the spec is")
        else:
            self._spec_json = json.dumps(dict(spec), separators=(",", ":"), ensure_ascii=False)
        mellix = open_engine(self._spec_json)
        symbols, self._lookback, facts, self._timeframe = mellix.spec()
        self._symbols = tuple(symbols)
        self._facts = tuple(FactKind(kind) for kind in facts)
        self._lock = threading.Lock()
        self._latest: tuple[int, Context] | None = None
        self._generations = 0
        release_gone_markets()
        _slots()[id(self)] = _Slot(weakref.ref(self), mellix)

    # -- the spec ---------------------------------------------------------

    @property
    def spec_json(self) -> str:
        """The spec's JSON text, as given or as written from the mapping."""
        return self._spec_json

    @property
    def symbols(self) -> tuple[str, ...]:
        return self._symbols

    @property
    def lookback(self) -> int:
        return self._lookback

    @property
    def facts(self) -> tuple[FactKind, ...]:
        return self._facts

    @property
    def timeframe(self) -> str | None:
        return self._timeframe

    @property
    def context(self) -> Context | None:
        """The context of the last build that completed, on any thread."""
        with self._lock:
            return None if self._latest is None else self._latest[1]

    def __repr__(self) -> str:
        return (f"Market(symbols={list(self._symbols)!r}, lookback={self._lookback!r}, "
                f"facts={[k.value for k in self._facts]!r}, timeframe={self._timeframe!r})")

    def __reduce__(self) -> tuple[Any, ...]:
        return (Market, (self._spec_json,))

    # -- commands ---------------------------------------------------------

    def build(self, feeds: Feeds, *, explain: bool = False) -> Context:
        """Builds the market context from `feeds` (symbol -> snapshot) and makes
        it this market's current context. Raises :class:`ParseError` for feeds
        the engine cannot read, and warns with :class:`MissingSymbolWarning`
        when a spec symbol's snapshot is filed under a key of another case.

        With `explain`, every fact carries its :attr:`Fact.evidence`: what its
        rule read and the threshold it crossed (docs/evidence.md). The facts
        and the context's JSON text are those of a build without; only the
        evidence is added. The engine then keeps no copy of the context, so
        each query hands it the context's text, as for a context built on
        another thread."""
        context = self._built(feeds, explain)
        with self._lock:
            self._generations += 1
            self._latest = (self._generations, context)
            if not explain:
                self._slot().generation = self._generations
        if context.missing_symbols and isinstance(feeds, Mapping):
            _warn_near_misses(context.missing_symbols, feeds)
        return context

    def _built(self, feeds: Feeds, explain: bool) -> Context:
        """The context that `feeds` build, with evidence when `explain`; the
        current context stays as it is."""
        request, embedded = _feeds_request(feeds)
        evidence = None
        if explain:
            answer = self._slot().mellix.explain(request)
            if isinstance(answer, str):
                self._check(answer, request, embedded)
                raise AssertionError(f"an answer that is no refusal: {shorten(answer)}")
            text, evidence = answer
        else:
            text = self._command(request, embedded)
        record = read_context(text)
        built = set(record[1])
        missing = tuple(dict.fromkeys(s for s in self._symbols if s not in built))
        return context_from_record(record, text, missing, evidence)

    def explain(self, fact: Fact | FactKind | str, symbol: str | None = None, *,
                feeds: Feeds | None = None, context: Context | None = None) -> Fact | None:
        """The fact with its :attr:`~Fact.evidence`: `fact` itself, or the fact
        of kind `fact` about `symbol` in `context` (by default the current
        context; None when it holds no such fact).

        A fact that carries evidence (from ``build(..., explain=True)``) is
        answered as it is. Otherwise the evidence comes from `feeds`, which
        must be the feeds the fact was built from: they are built again with
        evidence (the current context stays as it is) and the fact they give
        must equal the one asked about, or :class:`ArgumentError` says how
        they differ, so that evidence never explains another fact than the
        one asked about. With no context at all, a kind and a symbol ask what
        `feeds` give (None when they give no such fact).

        Raises :class:`ArgumentError` for a fact without evidence and no
        `feeds`, :class:`NoContextError` for a kind with neither a context nor
        `feeds`, and as :meth:`build` does for `feeds` it cannot read."""
        target: Fact | None
        if isinstance(fact, Fact):
            if symbol is not None:
                raise TypeError("explain() takes a Fact, or a kind and a symbol, not both")
            target, wanted = fact, (fact.kind, fact.symbol)
        else:
            if symbol is None:
                raise TypeError("explain() takes the symbol with a kind: explain(kind, symbol)")
            wanted = (FactKind(fact), symbol)
            chosen = context if context is not None else self.context
            if chosen is None and feeds is None:
                raise NoContextError()
            target = None if chosen is None else chosen.fact(*wanted)
            if chosen is not None and target is None:
                return None
        if target is not None and target.evidence is not None:
            return target
        if feeds is None:
            assert target is not None
            raise ArgumentError(
                f"the {target.kind.value} fact about {shorten(target.symbol)} carries no "
                "evidence: pass the feeds it was built from (explain(..., feeds=...)), or build "
                "with build(feeds, explain=True)")
        built = self._built(feeds, explain=True)
        if target is None:
            return built.fact(*wanted)
        found = next((f for f in built.facts if f == target), None)
        if found is None:
            again = built.fact(*wanted)
            raise ArgumentError(
                f"the feeds given do not give the fact asked about ({shorten(target.human)!r}); "
                + ("they give no such fact" if again is None
                   else f"they give {shorten(again.human)!r}, value {again.value!r}, ts "
                        f"{again.ts}")
                + ": pass the feeds the fact was built from, with this market's spec")
        return found

    def build_file(self, path: str | os.PathLike[str], *, lines: bool | None = None) -> Context:
        """Builds from the feeds in a file, as :meth:`build` does: a JSON object
        of symbol -> snapshot, or with `lines` JSON Lines of snapshots (by
        default when the name ends in .jsonl or .ndjson; see
        :func:`varnok_mellix.feeds.load`). A JSON file goes to the engine as
        it is, so a :class:`ParseError`'s line and column are in the file.
        Raises OSError for a file that cannot be read, a directory or a
        device."""
        if lines is None:
            lines = _names_json_lines(path)
        if lines:
            return self.build(load(path, lines=True))
        return self.build(read_file(path))

    def query(self, question: str, context: Context | None = None) -> list[ToolCall]:
        """The ``get_fact`` calls that answer `question` over `context`, by
        default the current context. Raises :class:`NoContextError` when there
        is none."""
        if not isinstance(question, str):
            raise TypeError(f"question must be str, not {type(question).__name__}")
        request = '{"question":' + json.dumps(question)
        if context is None:
            with self._lock:
                latest = self._latest
            if latest is None:
                raise NoContextError()
            if latest[0] != self._slot().generation:
                context = latest[1]
        if context is None:
            answer = self._command(request + ',"cmd":"query"}')
        else:
            text = context.to_json()
            answer = self._command(request + ',"context":\n' + text + '\n,"cmd":"query"}', text)
        return [ToolCall(FactKind(call["kind"]), call["symbol"], call["tool"])
                for call in json.loads(answer)["tool_calls"]]

    def get_fact(self, kind: FactKind | str, symbol: str,
                 context: Context | None = None) -> Fact | None:
        """The fact of `kind` about `symbol` in `context` (by default the
        current context), or None. Raises :class:`NoContextError` when there
        is no context."""
        return self._context(context).fact(kind, symbol)

    def resolve(self, tool_calls: Iterable[ToolCall | Mapping[str, Any]],
                context: Context | None = None) -> list[Fact]:
        """The facts that `tool_calls` ask for, in their order, from one context
        (by default the current one). A call may be a :class:`ToolCall` or a
        mapping with "kind", "symbol" and "tool"; calls whose fact the context
        does not hold are left out. Raises :class:`ArgumentError` for a tool
        other than ``get_fact``, and :class:`NoContextError` when there is no
        context."""
        chosen = self._context(context)
        facts = []
        for call in tool_calls:
            if isinstance(call, Mapping):
                call = ToolCall(call["kind"], call["symbol"], call.get("tool", "get_fact"))
            if call.tool != "get_fact":
                raise ArgumentError(f"unknown tool {call.tool!r}; only get_fact is known")
            fact = chosen.fact(call.kind, call.symbol)
            if fact is not None:
                facts.append(fact)
        return facts

    def report(self, feeds: Feeds, path: str | os.PathLike[str] | None = None) -> str:
        """Builds from `feeds` with evidence, as ``build(feeds, explain=True)``
        does (the context becomes the current one), and returns a
        self-contained HTML page that shows each fact, its evidence, and a
        chart of the data it rests on with the rule's window shaded (see
        :mod:`varnok_mellix.report`); with `path`, also writes the page there.
        Needs the ``report`` extra (plotly): without it, raises ImportError
        naming it, before building. Raises as :meth:`build` does, and OSError
        for a `path` that cannot be written."""
        from . import report

        report.require_plotly("Market.report")
        context = self.build(feeds, explain=True)
        evidence = {(fact.kind.value, fact.symbol): fact.evidence for fact in context.facts
                    if fact.evidence is not None}
        spec = f"symbols {', '.join(self._symbols)}; lookback {self._lookback}"
        if self._timeframe:
            spec += f"; timeframe {self._timeframe}"
        text = report.render_report(context, feeds, evidence,
                                    title=f"varnok-mellix report: {spec}")
        if path is not None:
            with open(path, "w", encoding="utf-8") as file:
                file.write(text)
        return text

    def replay(self, feeds: Feeds | os.PathLike[str], *, at: Sequence[int] | None = None,
               every: int | None = None, reference: str | None = None, cut: ReplayCut = "all",
               sentences: bool = False, progress: Progress | None = None) -> Replay:
        """The facts a build would answer at each moment of `feeds`, read once
        (text, bytes, a mapping, or a file's path): at each timestamp of `at`,
        or at every `every`-th candle of `reference`'s snapshot (by default the
        first spec symbol's that has one). `cut` chooses what funding, open
        interest and liquidations count at a moment: ``"all"`` up to it, or
        ``"window"``, those inside its candle window (see
        :mod:`varnok_mellix._replay`). `sentences` adds each fact's sentence;
        `progress(done, total)` is called as moments are done, and may raise
        to stop. The current context stays as it is. Raises as
        :meth:`build` does."""
        return Replay(self._replay_columns(feeds, at, every, reference, cut, sentences, progress))

    def _replay_columns(self, feeds: Feeds | os.PathLike[str], at: Sequence[int] | None,
                        every: int | None, reference: str | None, cut: ReplayCut,
                        sentences: bool, progress: Progress | None) -> dict[str, Any]:
        """The engine's columns of a replay (see :class:`Replay`), which pickle."""
        moments, step = check_moments(at, every)
        request, embedded = replay_request(feeds)
        answer = self._slot().mellix.replay(request, moments, step, reference or "", cut,
                                            sentences, progress)
        if isinstance(answer, str):
            self._check(answer, request, embedded)
            raise AssertionError(f"an answer that is no refusal: {shorten(answer)}")
        return answer

    # -- plumbing ---------------------------------------------------------

    def _context(self, context: Context | None) -> Context:
        if context is not None:
            return context
        latest = self.context
        if latest is None:
            raise NoContextError()
        return latest

    def _slot(self) -> _Slot:
        """This thread's native object for this market, created on first use.
        Callers keep it in no variable (see `_command`)."""
        slots = _slots()
        slot = slots.get(id(self))
        if slot is None or slot.market() is not self:
            release_gone_markets()
            slot = slots[id(self)] = _Slot(weakref.ref(self), open_engine(self._spec_json))
        return slot

    def _command(self, request: str | dict[str, Any], embedded: str | None = None) -> str:
        """Runs `request`, JSON text or Python objects, on this thread's engine;
        raises the error of an error answer. `embedded` is the caller's text
        that the request holds from its second line on: a parse error's
        position is given within it.

        No frame on the way to a raise holds the engine: a traceback that
        outlives this thread must not be the engine's last reference, since it
        may only be released on this thread."""
        answer = (self._slot().mellix.command(request) if isinstance(request, str)
                  else self._slot().mellix.command_object(request))
        return self._check(answer, request, embedded)

    def _check(self, answer: str, request: object, embedded: str | None) -> str:
        """`answer` to `request`, or the error of an error answer raised, with
        where the refused value stands when the engine says."""
        error = answer_error(answer)
        if error is None:
            return answer
        if embedded is not None:
            error = locate_in(error, embedded)
        raise with_location(error, self._slot().mellix.last_error_location(), request, embedded)


def _warn_near_misses(missing: Iterable[str], feeds: Mapping[str, Any]) -> None:
    folded: dict[str, list[str]] = {}
    for key in feeds:
        if isinstance(key, str):
            folded.setdefault(key.casefold(), []).append(key)
    for symbol in missing:
        near = folded.get(symbol.casefold())
        if near:
            warnings.warn(
                f"spec symbol {shorten(repr(symbol))} has no snapshot; the feeds have "
                f"{shorten(', '.join(map(repr, near)))} (symbols are matched exactly, case "
                "included)",
                MissingSymbolWarning, stacklevel=3)
