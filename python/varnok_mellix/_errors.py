"""The exceptions of the package, all under :class:`MellixError`.

The engine answers every failed command with the envelope
``{"error":"<kind>: <message>","ok":false}``. The client turns that answer, and
a spec refused by the native constructor, into the subclass of
:class:`MellixError` of that kind (:func:`answer_error`,
:func:`error_from_rendering`). What the package refuses itself (a value its
functions do not take, market data the feeds adapters cannot read, contexts
that do not merge, a failed shard) raises the other subclasses, with an empty
`kind`::

    MellixError (ValueError)
    ├── ParseError                  kind "parse"
    ├── BadSpecError                kind "bad spec"
    │   └── NoContextError          no context built yet (the engine's kind)
    ├── UnknownIndicatorError       kind "unknown indicator"
    ├── DataError                   kind "data"
    ├── ArgumentError               a value a function does not take
    ├── FeedsError                  market data varnok_mellix.feeds cannot read
    │   └── TimestampUnitError      timestamps of another unit than the one given
    ├── MergeError                  contexts that do not merge
    └── ShardError (RuntimeError)   a shard of a Dask build that failed

A wrong argument type raises TypeError, as Python's own functions do; a file
that cannot be read raises OSError.

When the engine refuses a value inside the request (a liquidation side it
does not know, a candle field of the wrong type), the exception says where
the value stands: `path`, its keys and indices within what the caller handed
in (``("SOL", "liquidations", 3, "side")``), and `symbol`, the feeds key it
belongs to. ``str(error)`` adds the path after the engine's message, written
by :func:`format_path` (``SOL.liquidations[3].side``); the engine's answer
itself is unchanged (:func:`with_location`).

Error texts may repeat what the caller sent (an unknown command, a symbol, a
path), which can be megabytes. :func:`shorten` bounds every such text shown to
a person or a model: this module's exceptions (``str()``; `message` stays
whole), the command line, the MCP server and
:func:`varnok_mellix.tools.run_tool_call` all use it, so that no input is
multiplied into a log or a model's context. The engine's answers themselves
are never shortened.
"""

from __future__ import annotations

import copyreg
import json
import re
from collections.abc import Callable
from collections.abc import Sequence
from typing import Final, TypeAlias

__all__ = [
    "ECHO_LIMIT",
    "ArgumentError",
    "BadSpecError",
    "DataError",
    "FeedsError",
    "MellixError",
    "MergeError",
    "MissingSymbolWarning",
    "NoContextError",
    "ParseError",
    "ShardError",
    "TimestampUnitError",
    "UnknownIndicatorError",
    "answer_error",
    "error_from_rendering",
    "format_path",
    "line_column",
    "missing_extra",
    "rendering",
    "shorten",
    "with_location",
]

_POSITION: Final = re.compile(r" at line (\d+) column (\d+)\Z")

ECHO_LIMIT: Final = 400
"""The most characters of a text that :func:`shorten` lets through."""

_TAIL: Final = 160  # enough for an engine error's "expected one of ..." and position


def shorten(text: str) -> str:
    """`text` when it holds at most :data:`ECHO_LIMIT` characters; otherwise its
    start and end around a mark, at the cut, that gives the whole text's
    length: ``"unknown cmd: AAAA…[shortened from 104857613 characters]…AAAA"``.
    The result holds at most ECHO_LIMIT characters, so shortening twice
    changes nothing."""
    if len(text) <= ECHO_LIMIT:
        return text
    mark = f"…[shortened from {len(text)} characters]…"
    return text[:ECHO_LIMIT - _TAIL - len(mark)] + mark + text[-_TAIL:]


ErrorPath: TypeAlias = tuple[str | int, ...]
"""Where a value stands: member keys and array indices from the outside in."""

# A key written bare in a path; any other is written as a JSON string in brackets.
_BARE_KEY: Final = re.compile(r"[^\s.\[\]\"\\]+")


def format_path(path: Sequence[str | int]) -> str:
    """`path` as one readable text, ``SOL.liquidations[3].side``: an index in
    brackets, a key after a dot (none before the first), or as a JSON string
    in brackets when it is empty or holds white space, a dot, a bracket, a
    quote or a backslash (``["BTC USD"].candles[0]``). Each key is shortened
    by :func:`shorten`, and the whole text too."""
    parts = []
    for step in path:
        if isinstance(step, int):
            parts.append(f"[{step}]")
            continue
        key = shorten(step)
        if _BARE_KEY.fullmatch(key):
            parts.append(f".{key}" if parts else key)
        else:
            parts.append(f"[{json.dumps(key, ensure_ascii=False)}]")
    return shorten("".join(parts))


def rendering(kind: str, message: str, path: Sequence[str | int] = ()) -> str:
    """An error's text as :class:`MellixError` shows it: ``"<kind>: <message>"``,
    or the message alone for an empty kind, then ``" (at <path>)"`` for a
    path that is not empty; shortened by :func:`shorten` as a whole, which
    keeps its end, where the path stands."""
    text = f"{kind}: {message}" if kind else message
    return shorten(f"{text} (at {format_path(path)})" if path else text)


# copyreg.__newobj__(cls, *args) is cls.__new__(cls, *args), which pickle (from
# protocol 2) writes as its NEWOBJ opcode: the pickle names the class alone.
_NEW_OBJECT: Final[Callable[..., object]] = copyreg.__newobj__  # type: ignore[attr-defined]


class MellixError(ValueError):
    """The root of the package's exceptions: a request the engine refused, or
    input that a function of the package does not take.

    `kind` is the engine's kind of refusal, ``"parse"``, ``"bad spec"``,
    ``"unknown indicator"`` or ``"data"``, and ``""`` for what the package
    refuses itself; `message` is the text after the kind, whole.
    ``str(error)`` is ``"<kind>: <message>"`` (for an engine refusal, the
    engine's own rendering), or the message alone when `kind` is empty,
    shortened by :func:`shorten` when it is longer than :data:`ECHO_LIMIT`
    characters (it may repeat a value of any size).

    For a value of the request that the engine refused, `path` is where it
    stands in what was handed in (keys and indices, ``("SOL", "liquidations",
    3, "side")``) and `symbol` the feeds key it belongs to; ``str(error)``
    then ends with ``" (at SOL.liquidations[3].side)"`` (:func:`format_path`).
    Otherwise `path` is ``()`` and `symbol` None.
    """

    kind: str
    message: str
    path: ErrorPath = ()
    symbol: str | None = None

    def __init__(self, kind: str, message: str) -> None:
        super().__init__(rendering(kind, message))
        self.kind = kind
        self.message = message

    def __reduce__(self) -> tuple[object, ...]:
        # Made again without __init__, whose parameters differ by subclass:
        # the arguments (the text) and the attributes are restored as they are.
        return _NEW_OBJECT, (type(self), *self.args), self.__dict__


class ParseError(MellixError):
    """Input that is not valid JSON, or JSON of the wrong shape.

    For input handed in as text, `line` and `column` locate the fault in the
    text itself, or the value of the wrong type or shape (where `path` names
    it), counted from 1 in the text that was handed in, the column in bytes;
    they are None otherwise (objects, or a fault the engine gave no place for).
    """

    line: int | None
    column: int | None

    def __init__(self, message: str) -> None:
        super().__init__("parse", message)
        found = _POSITION.search(message)
        self.line = int(found[1]) if found else None
        self.column = int(found[2]) if found else None

    @property
    def description(self) -> str:
        """`message` without its position suffix."""
        return _POSITION.sub("", self.message)


class BadSpecError(MellixError):
    """A spec that fails validation, or a request the engine cannot run as asked
    (a missing member)."""

    def __init__(self, message: str) -> None:
        super().__init__("bad spec", message)


_NO_CONTEXT: Final = "no context built"


class NoContextError(BadSpecError):
    """A query or a fact lookup with no context to answer from: none was
    built yet, and none was given. Build first. Its `kind` is the engine's
    for this refusal, ``"bad spec"``."""

    def __init__(self, message: str = f"{_NO_CONTEXT}; call build() first") -> None:
        super().__init__(message)


class UnknownIndicatorError(MellixError):
    """An indicator the engine does not know."""

    def __init__(self, message: str) -> None:
        super().__init__("unknown indicator", message)


class DataError(MellixError):
    """Data the engine cannot use."""

    def __init__(self, message: str) -> None:
        super().__init__("data", message)


class ArgumentError(MellixError):
    """A value that a function of the package does not take: an unknown fact
    kind or tool, an option outside its choices or range."""

    def __init__(self, message: str) -> None:
        super().__init__("", message)


class FeedsError(MellixError):
    """Market data that :mod:`varnok_mellix.feeds` cannot turn into feeds: a
    record of the wrong shape, a value that is not a number, a side it does
    not know, a symbol given twice, a feeds file of another shape."""

    def __init__(self, message: str) -> None:
        super().__init__("", message)


class TimestampUnitError(FeedsError):
    """Timestamps that look like another unit than the one given."""


class MergeError(MellixError):
    """Contexts that do not merge into the context of one build: none at all,
    different look-backs, a symbol in two of them, or facts tied on every
    ranking key whose order in one build the contexts cannot tell."""

    def __init__(self, message: str) -> None:
        super().__init__("", message)


class ShardError(MellixError, RuntimeError):
    """A shard of :mod:`varnok_mellix.dask` that failed to load or build;
    `shard` is its position in the list of shards, `name` its path or the
    name of its callable, and the shard's own exception is the cause
    (``__cause__``). Also a RuntimeError."""

    shard: int
    name: str

    def __init__(self, shard: int, name: str, error: BaseException) -> None:
        super().__init__("", f"shard {shard} ({name}) failed: {type(error).__name__}: {error}")
        self.shard = shard
        self.name = name


class MissingSymbolWarning(UserWarning):
    """A spec symbol had no snapshot, but the feeds hold a key that differs from
    it only in letter case (symbols are matched exactly)."""


_KINDS: Final[dict[str, type[ParseError | BadSpecError | UnknownIndicatorError | DataError]]] = {
    "parse": ParseError,
    "bad spec": BadSpecError,
    "unknown indicator": UnknownIndicatorError,
    "data": DataError,
}

_ERROR_PREFIX: Final = '{"error":'


def error_from_rendering(rendering: str) -> MellixError:
    """The exception for an engine error text such as ``"bad spec: ..."``."""
    kind, separator, message = rendering.partition(": ")
    error_type = _KINDS.get(kind) if separator else None
    if error_type is None:
        return MellixError("", rendering)
    if error_type is BadSpecError and message.startswith(_NO_CONTEXT):
        return NoContextError(message)
    return error_type(message)


def answer_error(answer: str) -> MellixError | None:
    """The exception of an engine answer that is a refusal,
    ``{"error":"<kind>: <message>","ok":false}``; None for any other answer."""
    if not answer.startswith(_ERROR_PREFIX):
        return None
    return error_from_rendering(json.loads(answer)["error"])


def missing_extra(needer: str, extra: str, error: ImportError) -> ImportError:
    """The error to raise, from `error`, when `needer` (a module or a method of
    the package) cannot import what the optional extra `extra` installs."""
    text = f"{needer} needs the {extra} extra: pip install 'varnok-mellix[{extra}]'"
    if not isinstance(error, ModuleNotFoundError):  # there, but not a release that fits
        return ImportError(f"{text} ({error})", name=error.name)
    return ModuleNotFoundError(text, name=error.name)


def line_column(text: bytes, offset: int) -> tuple[int, int]:
    """The line and column, from 1, of the byte at `offset` of `text`; the
    column counts bytes, as the engine's positions do."""
    line_start = text.rfind(b"\n", 0, offset) + 1
    return text.count(b"\n", 0, offset) + 1, offset - line_start + 1


def with_location(error: MellixError, location: tuple[ErrorPath, int | None] | None,
                  request: object, embedded: str | None) -> MellixError:
    """`error`, refused for a request whose engine reports `location` (see
    ``Mellix.last_error_location``), with where the refused value stands
    within the caller's value: the request's member that holds it is left out
    of the path. For a text `request` holding the caller's text `embedded` on
    lines of its own after its first line, a :class:`ParseError` also gets
    the value's line and column in `embedded`."""
    if location is None or not location[0]:
        return error
    path, offset = location[0][1:], location[1]
    error.path = path
    if location[0][0] == "feeds" and path and isinstance(path[0], str):
        error.symbol = path[0]
    if path:
        error.args = (rendering(error.kind, error.message, path),)
    if isinstance(error, ParseError) and offset is not None and isinstance(request, str) \
            and embedded is not None:
        line, column = line_column(request.encode("utf-8", "surrogatepass"), offset)
        error.line, error.column = max(line - 1, 1), column
    return error


def locate_in(error: MellixError, text: str) -> MellixError:
    """`error`, raised for a request that holds `text` on lines of its own
    after its first line, with its position moved into `text`. A position
    past the end of `text` (text cut short) becomes the end of `text`."""
    if not isinstance(error, ParseError) or error.line is None or error.column is None:
        return error
    line, column = error.line - 1, error.column
    lines = text.count("\n") + 1
    if line > lines:
        line, column = lines, len(text) - (text.rfind("\n") + 1) + 1
    return ParseError(f"{error.description} at line {max(line, 1)} column {column}")
