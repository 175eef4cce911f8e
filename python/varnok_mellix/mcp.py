"""An MCP server over stdio::

    python -m varnok_mellix.mcp --spec SPEC [--feeds FEEDS] [--root DIR ...] [--max-bytes N]

Needs the optional extra ``mcp`` (``pip install "varnok-mellix[mcp]"``). One
market, made from SPEC (a file, or the spec's JSON text itself), serves four
tools:

- ``build_context``: builds the market context from feed snapshots, given as
  a file (``path``) or inline (``feeds``: the snapshots object, or its JSON
  text), and answers with the ranked facts;
- ``query``: the ``get_fact`` calls that answer a question;
- ``get_fact``: one fact (the result of :func:`varnok_mellix.tools.run_tool_call`);
- ``explain_fact``: one fact with its evidence, the numbers its rule read and
  the threshold it crossed (``run_tool_call`` of ``explain_fact``). The
  server builds every context with evidence, so this reads no file and
  answers at most one fact and its few numbers.

Each tool declares the schema of its structured results (``outputSchema``)
and annotations: ``query``, ``get_fact`` and ``explain_fact`` only read;
``build_context``
replaces the server's context, which is all it changes. A refused call
(unreadable feeds, no context yet, bad arguments) is answered as a tool error
(``isError``) whose text says what went wrong, so that the model can correct
itself; the server keeps running. With ``--feeds`` the server builds once at
start, so a host can query at once.

A client names files on the server's machine, so ``path`` reads only what the
person who started the server allowed: regular files inside a ``--root``
folder (after symbolic links are resolved), of at most ``--max-bytes`` bytes
(256 MiB unless set). Without ``--root``, ``path`` is refused and feeds come
inline. Error texts and results shorten any value of the call longer than a
few hundred characters that they repeat.
"""

from __future__ import annotations

import argparse
import functools
import json
import os
import sys
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, Final

from ._errors import ArgumentError, MellixError, NoContextError, missing_extra, shorten

try:
    import anyio
    import anyio.to_thread
    import mcp_types as types
    from mcp.server.lowlevel import Server
    from mcp.server.stdio import stdio_server
except ImportError as _missing:
    raise missing_extra(__name__, "mcp", _missing) from _missing

from ._files import FileRefused, MiB, describe_size, is_json_text, read_bounded
from ._market import Market
from ._records import FactKind
from ._varnok_mellix import __version__
from .tools import EXPLAIN_TOOL_NAME, MCPTool, ToolName, fact_schema, mcp_tool, run_tool_call

__all__ = ["DEFAULT_MAX_BYTES", "SERVER_NAME", "create_server", "main", "tool_definitions"]

SERVER_NAME: Final = "varnok-mellix"

DEFAULT_MAX_BYTES: Final = 256 * MiB
"""The largest file the server reads unless told otherwise."""

_INSTRUCTIONS: Final = (
    f"Market analysis: facts about each market symbol ({', '.join(FactKind)}), ranked by size. "
    "Call build_context with the feeds first (unless the server was started with them), then "
    "query with the user's question to learn which facts answer it, and get_fact to read each; "
    "explain_fact gives a fact with the numbers it rests on, to check it or say why it holds."
)

# The library's text names Market.build(); a model calls build_context.
_NO_CONTEXT: Final = "no context built yet; call build_context first"


class _Refused(Exception):
    """A tool call that is answered as a tool error with this message."""


def _strings() -> dict[str, Any]:
    return {"type": "array", "items": {"type": "string"}}


def tool_definitions(market: Market | None = None) -> list[MCPTool]:
    """The server's tools in the ``tools/list`` wire form. With `market`,
    ``get_fact``'s and ``explain_fact``'s ``symbol`` is one of the market's
    symbols."""
    return [
        {
            "name": "build_context",
            "description": (
                "Build the market context from feed snapshots (symbol -> snapshot with candles, "
                "and optionally orderbook, funding, open_interest, liquidations), replacing the "
                "previous one. Give either path, a JSON file on the server's machine inside a "
                "folder the server may read (--root), or feeds, the snapshots themselves. Answers "
                "with every fact, most notable first, and the symbols that had no snapshot."),
            "inputSchema": {
                "type": "object",
                "properties": {
                    "path": {"type": "string",
                             "description": "A JSON file of feeds inside a folder the server "
                                            "may read (absolute, or relative to the server's "
                                            "working directory)."},
                    "feeds": {"type": ["object", "string"],
                              "description": "The feeds: an object from symbol to snapshot, "
                                             "or its JSON text."},
                },
                "additionalProperties": False,
            },
            "outputSchema": {
                "type": "object",
                "properties": {"facts": {"type": "array", "items": fact_schema()},
                               "symbols": _strings(),
                               "lookback": {"type": "integer", "minimum": 1},
                               "missing_symbols": _strings()},
                "required": ["facts", "symbols", "lookback", "missing_symbols"],
                "additionalProperties": False,
            },
            # It replaces the server's own context, which the same call makes
            # again: nothing outside the server changes, and nothing is lost
            # that a call cannot restore.
            "annotations": {"title": "Build the market context", "readOnlyHint": False,
                            "destructiveHint": False, "idempotentHint": True,
                            "openWorldHint": False},
        },
        {
            "name": "query",
            "description": (
                "Which facts answer a question about the market: answers with get_fact calls "
                "(kind and symbol), one per fact the question's words point to, in the "
                "context built last. Call get_fact for each to read it."),
            "inputSchema": {
                "type": "object",
                "properties": {"question": {"type": "string",
                                            "description": "The question, in plain words."}},
                "required": ["question"],
                "additionalProperties": False,
            },
            "outputSchema": {
                "type": "object",
                "properties": {"tool_calls": {"type": "array", "items": {
                    "type": "object",
                    "properties": {"kind": {"type": "string",
                                            "enum": [kind.value for kind in FactKind]},
                                   "symbol": {"type": "string"},
                                   "tool": {"const": "get_fact"}},
                    "required": ["kind", "symbol", "tool"],
                    "additionalProperties": False}}},
                "required": ["tool_calls"],
                "additionalProperties": False,
            },
            "annotations": {"title": "Which facts answer a question", "readOnlyHint": True,
                            "openWorldHint": False},
        },
        mcp_tool(market),
        mcp_tool(market, tool=EXPLAIN_TOOL_NAME),
    ]


def _argument(arguments: Mapping[str, Any], name: str, kinds: tuple[type, ...],
              expected: str) -> Any:
    value = arguments.get(name)
    if value is not None and not isinstance(value, kinds):
        raise _Refused(f"{name} must be {expected}")
    return value


class _Files:
    """Reads the files that clients name: regular files inside `roots` only."""

    def __init__(self, roots: Iterable[str | os.PathLike[str]], max_bytes: int) -> None:
        given = [os.fspath(root) for root in roots]
        for root in given:
            if not os.path.isdir(root):
                raise ArgumentError(f"root {root} is not a directory")
        self.roots = tuple(os.path.realpath(root) for root in given)
        if max_bytes < 0:
            raise ArgumentError(f"max_bytes must be at least 0, not {max_bytes}")
        self.max_bytes = max_bytes

    def read(self, path: str) -> bytes:
        if not self.roots:
            raise _Refused("this server reads no files: give the feeds inline, or have the "
                           "server started with --root DIR to let clients read the files in DIR")
        shown = shorten(path)
        if "\0" in path:
            raise _Refused(f"cannot read {shown!r}: the path holds a NUL character")
        real = os.path.realpath(path)
        if not any(_within(real, root) for root in self.roots):
            raise _Refused(f"cannot read {shown}: it is outside the folders this server may "
                           f"read: {shorten(', '.join(self.roots))}")
        try:
            return read_bounded(real, self.max_bytes, regular_only=True)
        except FileRefused as refusal:
            hint = " (the server's --max-bytes)" if refusal.cause == "size" else ""
            raise _Refused(f"cannot read {shown}: {refusal}{hint}") from None


def _within(path: str, root: str) -> bool:
    try:
        common = os.path.commonpath([path, root])
    except ValueError:  # on different drives
        return False
    return os.path.normcase(common) == os.path.normcase(root)


def _feeds(arguments: Mapping[str, Any], files: _Files) -> str | bytes | Mapping[str, Any]:
    path = _argument(arguments, "path", (str,), "a string")
    feeds = _argument(arguments, "feeds", (dict, str), "an object or its JSON text")
    if (path is None) == (feeds is None):
        raise _Refused("give either path (a feeds file) or feeds (the snapshots), not "
                       + ("both" if path is not None else "neither"))
    if path is None:
        assert isinstance(feeds, (dict, str))
        return feeds
    return files.read(path)


def _build(files: _Files, market: Market, arguments: Mapping[str, Any]) -> dict[str, Any]:
    # With evidence, so that explain_fact answers from the context itself.
    return market.build(_feeds(arguments, files), explain=True).to_dict()


def _query(market: Market, arguments: Mapping[str, Any]) -> dict[str, Any]:
    question = _argument(arguments, "question", (str,), "a string")
    if question is None:
        raise _Refused("question is missing")
    return {"tool_calls": [call.to_dict() for call in market.query(question)]}


def _get_fact(market: Market, arguments: Mapping[str, Any], tool: ToolName = "get_fact"
              ) -> dict[str, Any]:
    try:
        result = run_tool_call(market, arguments, tool=tool)
    except ArgumentError:  # a context built without evidence, outside the server
        raise _Refused("this context carries no evidence; call build_context to build it "
                       "again with evidence") from None
    if "error" in result:
        raise _Refused(result["error"])
    return result


def _text_result(text: str, structured: dict[str, Any] | None = None,
                 is_error: bool = False) -> types.CallToolResult:
    return types.CallToolResult(content=[types.TextContent(text=text)],
                                structured_content=structured, is_error=is_error)


def create_server(market: Market, roots: Iterable[str | os.PathLike[str]] = (),
                  max_bytes: int = DEFAULT_MAX_BYTES) -> Server[Any]:
    """The MCP server (not yet running) whose tools use `market`. Clients may
    name in ``build_context``'s ``path`` the regular files inside the folders
    `roots` (none: ``path`` is refused) of at most `max_bytes` bytes. Raises
    :class:`~varnok_mellix.ArgumentError` for a root that is not a directory
    and a negative `max_bytes`."""
    files = _Files(roots, max_bytes)
    handlers: dict[str, Callable[[Market, Mapping[str, Any]], dict[str, Any]]] = {
        "build_context": functools.partial(_build, files),
        "query": _query,
        "get_fact": _get_fact,
        EXPLAIN_TOOL_NAME: functools.partial(_get_fact, tool=EXPLAIN_TOOL_NAME),
    }
    tools = [types.Tool.model_validate(tool) for tool in tool_definitions(market)]

    async def list_tools(_context: Any, _params: types.PaginatedRequestParams | None
                         ) -> types.ListToolsResult:
        return types.ListToolsResult(tools=tools)

    async def call_tool(_context: Any, params: types.CallToolRequestParams
                        ) -> types.CallToolResult:
        handler = handlers.get(params.name)
        if handler is None:
            return _text_result(f"unknown tool {shorten(repr(params.name))}; the tools are "
                                f"{', '.join(handlers)}", is_error=True)
        arguments = params.arguments or {}
        try:
            # A build can take a while on large feeds: off the event loop, the
            # server keeps answering pings and cancellations meanwhile.
            result = await anyio.to_thread.run_sync(handler, market, arguments)
        except NoContextError:
            return _text_result(_NO_CONTEXT, is_error=True)
        except (_Refused, MellixError) as error:
            return _text_result(str(error), is_error=True)
        return _text_result(json.dumps(result, ensure_ascii=False), result)

    return Server(SERVER_NAME, version=__version__, instructions=_INSTRUCTIONS,
                  on_list_tools=list_tools, on_call_tool=call_tool)


def _read_argument(argument: str, max_bytes: int) -> str | bytes:
    """The JSON text itself when `argument` starts like JSON, else the file's bytes."""
    if is_json_text(argument):
        return argument
    try:
        return read_bounded(argument, max_bytes)
    except FileRefused as refusal:
        hint = " (--max-bytes)" if refusal.cause == "size" else ""
        raise _Refused(f"cannot read {shorten(argument)}: {refusal}{hint}") from None


def _byte_count(text: str) -> int:
    try:
        count = int(text)
    except ValueError:
        count = -1
    if count < 0:
        raise argparse.ArgumentTypeError(f"{shorten(text)!r} is not a number of bytes")
    return count


async def _serve(market: Market, roots: Sequence[str], max_bytes: int) -> None:
    server = create_server(market, roots, max_bytes)
    async with stdio_server() as (read_stream, write_stream):
        await server.run(read_stream, write_stream, server.create_initialization_options())


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the server over standard input and output until the client closes it."""
    parser = argparse.ArgumentParser(
        prog="python -m varnok_mellix.mcp",
        description="MCP server of varnok-mellix over stdio: tools build_context, query, "
                    "get_fact, explain_fact.")
    parser.add_argument("--spec", required=True,
                        help="the market's spec: a JSON file, or the JSON text itself")
    parser.add_argument("--feeds", help="feeds to build a context from at start: a JSON "
                                        "file, or the JSON text itself")
    parser.add_argument("--root", action="append", default=[], metavar="DIR",
                        help="a folder whose files (subfolders included) clients may name in "
                             "build_context's path; repeat for more. Without it, path is "
                             "refused")
    parser.add_argument("--max-bytes", type=_byte_count, default=DEFAULT_MAX_BYTES, metavar="N",
                        help="the largest file the server reads, in bytes (default "
                             f"{DEFAULT_MAX_BYTES}: {describe_size(DEFAULT_MAX_BYTES)})")
    args = parser.parse_args(argv)
    for root in args.root:
        if not os.path.isdir(root):
            parser.error(f"--root {shorten(root)}: not a directory")
    try:
        market = Market(_read_argument(args.spec, args.max_bytes))
    except (_Refused, MellixError) as error:
        print(f"{SERVER_NAME}: --spec: {error}", file=sys.stderr)
        return 2
    try:
        if args.feeds is not None:
            market.build(_read_argument(args.feeds, args.max_bytes), explain=True)
    except (_Refused, MellixError) as error:
        print(f"{SERVER_NAME}: --feeds: {error}", file=sys.stderr)
        return 2
    anyio.run(_serve, market, args.root, args.max_bytes)
    return 0


if __name__ == "__main__":
    sys.exit(main())
