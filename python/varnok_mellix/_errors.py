"""The exceptions that :class:`~varnok_mellix.Market` raises for refused input.

The engine answers every failed command with the envelope
``{"error":"<kind>: <message>","ok":false}``. The client turns that answer, and
a spec refused by the native constructor, into one of the subclasses of
:class:`MellixError` below, chosen by the kind.

Error texts may repeat what the caller sent (an unknown command, a symbol, a
path), which can be megabytes. :func:`shorten` bounds every such text shown to
a person or a model: this module's exceptions, the command line, the MCP
server and :func:`varnok_mellix.tools.run_tool_call` all use it, so that no
input is multiplied into a log or a model's context. The engine's answers
themselves are never shortened.
"""

from __future__ import annotations

import re
from typing import Final

__all__ = [
    "ECHO_LIMIT",
    "BadSpecError",
    "DataError",
    "MellixError",
    "MissingSymbolWarning",
    "ParseError",
    "UnknownIndicatorError",
    "shorten",
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


class MellixError(ValueError):
    """A request the engine refused.

    `kind` is one of ``"parse"``, ``"bad spec"``, ``"unknown indicator"`` and
    ``"data"``; `message` is the engine's text after the kind, whole.
    ``str(error)`` is the engine's own rendering, ``"<kind>: <message>"``,
    shortened by :func:`shorten` when it is longer than :data:`ECHO_LIMIT`
    characters (it may repeat a value of any size).
    """

    kind: str
    message: str

    def __init__(self, kind: str, message: str) -> None:
        super().__init__(shorten(f"{kind}: {message}" if kind else message))
        self.kind = kind
        self.message = message

    def __reduce__(self) -> tuple[object, ...]:
        return (error_from_rendering,
                (f"{self.kind}: {self.message}" if self.kind else self.message,))


class ParseError(MellixError):
    """Input that is not valid JSON, or JSON of the wrong shape.

    For a fault in the text itself (as opposed to a value of the wrong type)
    `line` and `column` locate it, counted from 1 in the text that was handed
    in; they are None otherwise.
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
    (no context built yet, a missing member)."""

    def __init__(self, message: str) -> None:
        super().__init__("bad spec", message)


class UnknownIndicatorError(MellixError):
    """An indicator the engine does not know."""

    def __init__(self, message: str) -> None:
        super().__init__("unknown indicator", message)


class DataError(MellixError):
    """Data the engine cannot use."""

    def __init__(self, message: str) -> None:
        super().__init__("data", message)


class MissingSymbolWarning(UserWarning):
    """A spec symbol had no snapshot, but the feeds hold a key that differs from
    it only in letter case (symbols are matched exactly)."""


_KINDS: Final[dict[str, type[ParseError | BadSpecError | UnknownIndicatorError | DataError]]] = {
    "parse": ParseError,
    "bad spec": BadSpecError,
    "unknown indicator": UnknownIndicatorError,
    "data": DataError,
}


def error_from_rendering(rendering: str) -> MellixError:
    """The exception for an engine error text such as ``"bad spec: ..."``."""
    kind, separator, message = rendering.partition(": ")
    error_type = _KINDS.get(kind) if separator else None
    if error_type is None:
        return MellixError("", rendering)
    return error_type(message)


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
