"""The native module (`varnok_mellix._varnok_mellix`)."""

from collections.abc import Callable, Sequence
from typing import Any, Final, final

__version__: Final[str]
FACT_KINDS: Final[tuple[tuple[str, str, str], ...]]
__all__ = ["__version__", "Mellix"]

_FactRecord = tuple[str, str, float, float, int, str]
_SnapshotRecord = tuple[str, list[tuple[int, float, float, float, float, float]],
                        tuple[int, list[tuple[float, float]], list[tuple[float, float]]] | None,
                        list[tuple[int, float]], list[tuple[int, float]],
                        list[tuple[int, str, float, float]]]
_ContextRecord = tuple[tuple[_FactRecord, ...], tuple[str, ...], int]

def read_context(text: str | bytes, /) -> _ContextRecord:
    """The record (facts, symbols, lookback) of a context's JSON text (str or
    bytes); ValueError(rendering, path) with the engine's error text and the
    refused value's keys and indices when it is refused."""

def write_context(facts: Sequence[Sequence[object]], symbols: Sequence[str], lookback: int,
                  /) -> str:
    """A context record as the engine writes it."""

def merge_contexts(records: Sequence[_ContextRecord], /) -> _ContextRecord:
    """The record of one build over all the symbols of `records`, context
    records of one spec over disjoint sets of symbols, ranked as a build ranks;
    ValueError saying why when they do not merge."""

@final
class Mellix:
    """A mellix instance driven by JSON commands.

    `unsendable`: a handle owns a mutable spec and the last-built context, so it
    is bound to the thread that created it.
    """

    def __new__(cls, spec_json: str) -> Mellix:
        """Create an instance from a spec JSON text.

        Raises TypeError when `spec_json` is not a str and ValueError when the
        spec is refused.
        """

    def command(self, cmd_json: str) -> str:
        """Apply a command JSON and return the resulting response JSON."""

    def command_object(self, cmd: Any) -> str:
        """Apply a command given as Python objects (dict, list, str, int, float,
        bool, None) and return the response JSON: the same response as
        command(json.dumps(cmd)), with no JSON text made on the way.

        Dict members are read in ascending order of their UTF-8 keys, and a
        tuple as an array, as json.dumps writes it. A value JSON cannot carry
        (a NaN or infinite float, a set, a key that is not a str...) gets a
        "parse: ..." error response naming it; an object with a tolist()
        method (numpy arrays and scalars) is read as what that method returns.
        """

    def replay(self, request: Any, at: Sequence[int], every: int, reference: str, cut: str,
               sentences: bool, progress: Callable[[int, int], object] | None, /
               ) -> dict[str, Any] | str:
        """The facts a build of `request` (text, bytes or objects) would answer
        at each moment, as a dict of columns; the error response as a str when
        the request is refused. varnok_mellix.Market.replay is the documented
        way to call it."""

    def spec(self, /) -> tuple[tuple[str, ...], int, tuple[str, ...], str | None]:
        """The spec as the engine holds it: (symbols, lookback, facts,
        timeframe), facts as wire names and timeframe None when the spec has
        none."""

    def last_error_location(self) -> tuple[tuple[str | int, ...], int | None] | None:
        """Where the value stands that the last command refused, as (path,
        offset): the path's keys and indices from the request's root, and for a
        request given as text the byte offset of the value in it (else None).
        None when the last command succeeded or was refused for anything but a
        value of the request."""

    def explain(self, request: Any, /) -> tuple[str, list[dict[str, float | int | str]]] | str:
        """Builds from `request` (text, bytes or objects) with the evidence of
        every fact: (the context's JSON text, [one dict per fact]), or the
        error response as a str when the request is refused. The built context
        and every answer of command() stay as they were.
        varnok_mellix.Market.build(feeds, explain=True) is the documented way
        to call it."""

    def read_feeds(self, request: Any, /) -> dict[str, _SnapshotRecord] | str:
        """The feeds of a build request (text, bytes or objects) as the engine
        reads them: {key: (symbol, candles, book, funding, open_interest,
        liquidations)}, or the error response as a str when the request is
        refused. Nothing is built; the stored context stays.
        varnok_mellix.report draws from it."""

    @staticmethod
    def version() -> str:
        """The library version."""
