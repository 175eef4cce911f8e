"""The exceptions that :class:`~varnok_mellix.Market` raises for refused input.

The engine answers every failed command with the envelope
``{"error":"<kind>: <message>","ok":false}``. The client turns that answer, and
a spec refused by the native constructor, into one of the subclasses of
:class:`MellixError` below, chosen by the kind.
"""

from __future__ import annotations

import re
from typing import Final

__all__ = [
    "BadSpecError",
    "DataError",
    "MellixError",
    "MissingSymbolWarning",
    "ParseError",
    "UnknownIndicatorError",
]

_POSITION: Final = re.compile(r" at line (\d+) column (\d+)\Z")


class MellixError(ValueError):
    """A request the engine refused.

    `kind` is one of ``"parse"``, ``"bad spec"``, ``"unknown indicator"`` and
    ``"data"``; `message` is the engine's text after the kind. ``str(error)``
    is the engine's own rendering, ``"<kind>: <message>"``.
    """

    kind: str
    message: str

    def __init__(self, kind: str, message: str) -> None:
        super().__init__(f"{kind}: {message}" if kind else message)
        self.kind = kind
        self.message = message

    def __reduce__(self) -> tuple[object, ...]:
        return (error_from_rendering, (str(self),))


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
