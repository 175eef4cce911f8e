"""The ``get_fact`` and ``explain_fact`` tools for language-model hosts, and
their executor.

A query answers with ``get_fact`` calls; a model that is handed the tool makes
such calls itself. ``explain_fact`` takes the same arguments and answers the
fact with its evidence: what the rule read and the threshold it crossed
(docs/evidence.md), for a context built with ``explain=True``. This module
gives each tool's definition in the shapes hosts take (``get_fact`` unless
``tool="explain_fact"``) and carries out one call against a market's
context::

    openai_tool()            {"type": "function", "function": {"name", "description",
                                                               "parameters", "strict"}}
    openai_responses_tool()  {"type": "function", "name", "description", "parameters",
                              "strict"}
    anthropic_tool()         {"name", "description", "input_schema"}
    mcp_tool()               {"name", "description", "inputSchema", "outputSchema",
                              "annotations"}

    run_tool_call(market, call) -> dict   # JSON-able, never raises for bad arguments

Given a market (``openai_tool(market)``), a definition lists the market's
symbols as the only values of ``symbol``, so that a model picks
``BTC/USDT:USDT`` rather than guessing ``BTC``.

The definitions are typed as TypedDicts of the hosts' own parameter types
(:class:`OpenAITool` is ``openai.types.chat.ChatCompletionFunctionToolParam``,
:class:`OpenAIResponsesTool` is ``openai.types.responses.FunctionToolParam``,
:class:`AnthropicTool` is ``anthropic.types.ToolParam``), so that
``tools=[openai_tool()]`` passes ``mypy --strict`` without a cast, while
nothing here imports the host packages. mypy compares TypedDicts key by key
and needs every key of the host's type, with the same value type: the keys
this module never sets are declared for that alone, and follow the host
packages' current releases.

What a result repeats of the call (a symbol, an unknown kind or tool) is
shortened when it is long (see :func:`varnok_mellix._errors.shorten`): a
result goes into a model's context.

Each definition is a new dict on every call, so a host may change its copy.
"""

from __future__ import annotations

import json
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import (Any, Final, Literal, Protocol, Required, SupportsIndex, TypeAlias, TypedDict,
                    TypeVar, overload)

from ._errors import ArgumentError, NoContextError, shorten
from ._market import Market
from ._records import Context, Fact, FactKind, ToolCall

__all__ = [
    "EXPLAIN_TOOL_DESCRIPTION",
    "EXPLAIN_TOOL_NAME",
    "TOOL_NAME",
    "TOOL_DESCRIPTION",
    "ToolName",
    "AnthropicTool",
    "FunctionDefinition",
    "MCPTool",
    "MCPToolAnnotations",
    "OpenAIResponsesTool",
    "OpenAITool",
    "ToolArguments",
    "anthropic_tool",
    "evidence_schema",
    "fact_schema",
    "fact_to_dict",
    "input_schema",
    "mcp_tool",
    "openai_responses_tool",
    "openai_tool",
    "output_schema",
    "run_tool_call",
]

TOOL_NAME: Final = "get_fact"

TOOL_DESCRIPTION: Final = (
    "Look up one fact about one market symbol in the current market context. A fact is a "
    "ranked statement that the market-analysis engine derived from the symbol's recent data: "
    "a signed number (value), its size (magnitude, by which facts are ranked; larger is more "
    "notable), the timestamp of the data it rests on (ts, in the feed's own unit) and one "
    "English sentence (human). Kinds: "
    + ", ".join(f"{kind.value} ({kind.description})" for kind in FactKind)
    + ". Answers {\"found\": true, \"fact\": {...}}, or "
    "{\"found\": false, \"message\": ...} when the context holds no such fact, which is an "
    "answer too: nothing notable of that kind happened for that symbol."
)

EXPLAIN_TOOL_NAME: Final = "explain_fact"

EXPLAIN_TOOL_DESCRIPTION: Final = (
    "Explain one fact about one market symbol: the same answer as get_fact, with the fact's "
    "evidence, the numbers its rule read and the threshold it crossed. Every kind has from_ts "
    "and to_ts (the first and last data point read); then "
    + "; ".join(f"{kind.value}: {kind.evidence}" for kind in FactKind)
    + ". Use it to check a fact or to say why it holds."
)

ToolName: TypeAlias = Literal["get_fact"] | Literal["explain_fact"]
"""The tools of this module."""

_DESCRIPTIONS: Final[dict[str, str]] = {TOOL_NAME: TOOL_DESCRIPTION,
                                        EXPLAIN_TOOL_NAME: EXPLAIN_TOOL_DESCRIPTION}
_TITLES: Final[dict[str, str]] = {TOOL_NAME: "Get a market fact",
                                  EXPLAIN_TOOL_NAME: "Explain a market fact"}

ToolArguments: TypeAlias = ToolCall | Mapping[str, Any] | str | bytes
"""One call: a :class:`ToolCall`, the arguments a model produced as a mapping
(``{"kind": ..., "symbol": ...}``), or their JSON text."""

_KIND_NAMES: Final = tuple(kind.value for kind in FactKind)


# ---------------------------------------------------------------------------
# The hosts' parameter types, key for key (see the module's docstring).


class FunctionDefinition(TypedDict, total=False):
    """The ``function`` of an :class:`OpenAITool`
    (``openai.types.shared_params.FunctionDefinition``)."""

    name: Required[str]
    description: str
    parameters: dict[str, object]
    strict: bool | None


class OpenAITool(TypedDict):
    """A chat-completions function tool
    (``openai.types.chat.ChatCompletionFunctionToolParam``)."""

    type: Literal["function"]
    function: FunctionDefinition


# "async" is a keyword, so the key is declared in the functional form.
_ResponsesToolKeywords = TypedDict("_ResponsesToolKeywords", {"async": bool}, total=False)


class OpenAIResponsesTool(_ResponsesToolKeywords, total=False):
    """A Responses API function tool (``openai.types.responses.FunctionToolParam``)."""

    name: Required[str]
    parameters: Required[dict[str, object] | None]
    strict: Required[bool | None]
    type: Required[Literal["function"]]
    allowed_callers: list[Literal["direct", "programmatic"]] | None
    defer_loading: bool
    description: str | None
    output_schema: dict[str, object] | None


_T_co = TypeVar("_T_co", covariant=True)


class _SequenceNotStr(Protocol[_T_co]):
    """A sequence that a str is not (anthropic's ``SequenceNotStr``, when type
    checking): str.__contains__ takes no object."""

    @overload
    def __getitem__(self, index: SupportsIndex, /) -> _T_co: ...
    @overload
    def __getitem__(self, index: slice, /) -> Sequence[_T_co]: ...
    def __contains__(self, value: object, /) -> bool: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[_T_co]: ...
    def __reversed__(self) -> Iterator[_T_co]: ...


class _AnthropicInputSchema(TypedDict, total=False):
    """``anthropic.types.tool_param.InputSchemaTyped``."""

    type: Required[Literal["object"]]
    properties: dict[str, object] | None
    required: _SequenceNotStr[str] | None


class _AnthropicCacheControl(TypedDict, total=False):
    """``anthropic.types.CacheControlEphemeralParam``."""

    type: Required[Literal["ephemeral"]]
    ttl: Literal["5m", "1h"]


class AnthropicTool(TypedDict, total=False):
    """A Messages API tool (``anthropic.types.ToolParam``)."""

    input_schema: Required[_AnthropicInputSchema | dict[str, object]]
    name: Required[str]
    allowed_callers: list[Literal["direct", "code_execution_20250825", "code_execution_20260120",
                                  "code_execution_20260521"]]
    cache_control: _AnthropicCacheControl | None
    defer_loading: bool
    description: str
    eager_input_streaming: bool | None
    input_examples: Iterable[dict[str, object]]
    strict: bool
    type: Literal["custom"] | None


class MCPToolAnnotations(TypedDict, total=False):
    """An MCP tool's ``annotations``: hints for the host."""

    title: str
    readOnlyHint: bool
    destructiveHint: bool
    idempotentHint: bool
    openWorldHint: bool


class MCPTool(TypedDict, total=False):
    """An MCP tool definition, in the ``tools/list`` wire form."""

    name: Required[str]
    description: Required[str]
    inputSchema: Required[dict[str, Any]]
    outputSchema: dict[str, Any]
    annotations: MCPToolAnnotations


# ---------------------------------------------------------------------------
# The definitions.


def input_schema(market: Market | None = None) -> dict[str, Any]:
    """The JSON schema of the tool's arguments: ``kind`` (one of the six wire
    names) and ``symbol``, both required, nothing else. With `market`,
    ``symbol`` is one of the market's symbols."""
    symbol: dict[str, Any] = {"type": "string",
                              "description": "The market symbol, exactly as the market names "
                                             "it (case included), e.g. BTC."}
    if market is not None:
        symbol["enum"] = list(dict.fromkeys(market.symbols))
        symbol["description"] = "The market symbol, one of the market's (case included)."
    return {
        "type": "object",
        "properties": {
            "kind": {"type": "string", "enum": list(_KIND_NAMES),
                     "description": "The kind of fact to look up."},
            "symbol": symbol,
        },
        "required": ["kind", "symbol"],
        "additionalProperties": False,
    }


def fact_schema() -> dict[str, Any]:
    """The JSON schema of a fact as :func:`fact_to_dict` writes it."""
    return {
        "type": "object",
        "properties": {
            "kind": {"type": "string", "enum": list(_KIND_NAMES)},
            "symbol": {"type": "string"},
            "value": {"type": "number"},
            "magnitude": {"type": "number", "minimum": 0},
            "ts": {"type": "integer"},
            "human": {"type": "string"},
        },
        "required": ["kind", "symbol", "value", "magnitude", "ts", "human"],
        "additionalProperties": False,
    }


def evidence_schema() -> dict[str, Any]:
    """The JSON schema of a fact's evidence as :func:`run_tool_call` answers
    it: names to numbers, and one short text for a liquidation cluster."""
    return {
        "type": "object",
        "properties": {"from_ts": {"type": "integer"}, "to_ts": {"type": "integer"}},
        "required": ["from_ts", "to_ts"],
        "additionalProperties": {"type": ["number", "string"]},
    }


def output_schema(tool: ToolName = TOOL_NAME) -> dict[str, Any]:
    """The JSON schema of what :func:`run_tool_call` answers for a valid call
    of `tool`: ``{"found": true, "fact": {...}}`` (with ``"evidence"`` for
    ``explain_fact``) or ``{"found": false, "kind", "symbol", "message"}``.
    The answer to arguments that are not a valid call, ``{"found": false,
    "error"}``, is not of it: a host reports that as a failed call (an MCP
    tool error)."""
    found: dict[str, Any] = {"found": {"const": True}, "fact": fact_schema()}
    if _tool(tool) == EXPLAIN_TOOL_NAME:
        found["evidence"] = evidence_schema()
    return {
        "type": "object",
        "oneOf": [
            {"properties": found, "required": list(found), "additionalProperties": False},
            {"properties": {"found": {"const": False}, "kind": {"type": "string"},
                            "symbol": {"type": "string"}, "message": {"type": "string"}},
             "required": ["found", "kind", "symbol", "message"], "additionalProperties": False},
        ],
    }


def _tool(tool: str) -> str:
    if tool not in _DESCRIPTIONS:
        raise ArgumentError(f"unknown tool {shorten(repr(tool))}; the tools are "
                            f"{', '.join(_DESCRIPTIONS)}")
    return tool


def openai_tool(market: Market | None = None, *, tool: ToolName = TOOL_NAME) -> OpenAITool:
    """The tool (``get_fact``, or `tool`) as an OpenAI chat-completions
    function tool, for ``tools=[...]`` of ``chat.completions.create``. Its
    schema meets the rules of strict mode, which it sets. With `market`,
    ``symbol`` is one of its symbols."""
    return {"type": "function",
            "function": {"name": _tool(tool), "description": _DESCRIPTIONS[tool],
                         "parameters": input_schema(market), "strict": True}}


def openai_responses_tool(market: Market | None = None, *, tool: ToolName = TOOL_NAME
                          ) -> OpenAIResponsesTool:
    """The tool (``get_fact``, or `tool`) as an OpenAI Responses API function
    tool, for ``tools=[...]`` of ``responses.create``: the chat-completions
    tool without its ``function`` wrapper. Strict mode, as
    :func:`openai_tool`."""
    return {"type": "function", "name": _tool(tool), "description": _DESCRIPTIONS[tool],
            "parameters": input_schema(market), "strict": True}


def anthropic_tool(market: Market | None = None, *, tool: ToolName = TOOL_NAME
                   ) -> AnthropicTool:
    """The tool (``get_fact``, or `tool`) as an Anthropic Messages API tool,
    for ``tools=[...]`` of ``messages.create``. With `market`, ``symbol`` is
    one of its symbols."""
    return {"name": _tool(tool), "description": _DESCRIPTIONS[tool],
            "input_schema": input_schema(market)}


def mcp_tool(market: Market | None = None, *, tool: ToolName = TOOL_NAME) -> MCPTool:
    """The tool (``get_fact``, or `tool`) as an MCP tool definition (the
    ``tools/list`` wire form), with the schema of its structured results
    (:func:`output_schema`) and the hint that it only reads. With `market`,
    ``symbol`` is one of its symbols."""
    return {"name": _tool(tool), "description": _DESCRIPTIONS[tool],
            "inputSchema": input_schema(market), "outputSchema": output_schema(tool),
            "annotations": {"title": _TITLES[tool], "readOnlyHint": True,
                            "openWorldHint": False}}


def fact_to_dict(fact: Fact) -> dict[str, Any]:
    """A fact as a JSON-able dict, with the members of the engine's JSON
    (:meth:`Fact.to_dict <varnok_mellix.Fact.to_dict>`)."""
    return fact.to_dict()


def run_tool_call(market: Market, call: ToolArguments,
                  context: Context | None = None, *, tool: ToolName | None = None
                  ) -> dict[str, Any]:
    """Carries out one ``get_fact`` or ``explain_fact`` call against `context`
    (by default the market's current context) and returns a JSON-able
    result. The tool is `tool` when given (the name a host received with the
    arguments), else the call's own (a :class:`ToolCall`'s, or a mapping's
    ``"tool"`` member), else ``get_fact``:

    - ``{"found": True, "fact": {...}}`` when the context holds the fact, with
      ``"evidence": {...}`` for ``explain_fact``;
    - ``{"found": False, "kind": ..., "symbol": ..., "message": ...}`` when it
      does not (the message says which symbols do have such a fact; a symbol
      longer than a few hundred characters is shortened);
    - ``{"found": False, "error": ...}`` for arguments that are not a valid
      call (not JSON, not an object, a missing or unknown kind, a symbol that
      is not a string): a host reports it to the model as a failed call.

    Bad arguments never raise. With no context (no build yet, none given) it
    raises :class:`~varnok_mellix.NoContextError`, and for ``explain_fact``
    on a fact without evidence (a context built without ``explain=True``)
    :class:`~varnok_mellix.ArgumentError`: both are the host's to fix, not the
    model's.
    """
    chosen = context if context is not None else market.context
    if chosen is None:
        raise NoContextError()
    parsed = _arguments(call, tool)
    if isinstance(parsed, str):
        return {"found": False, "error": parsed}
    name, kind, symbol = parsed
    fact = chosen.fact(kind, symbol)
    if fact is not None and name == EXPLAIN_TOOL_NAME:
        explained = market.explain(fact)
        assert explained is not None and explained.evidence is not None
        return {"found": True, "fact": fact_to_dict(fact), "evidence": dict(explained.evidence)}
    if fact is not None:
        return {"found": True, "fact": fact_to_dict(fact)}
    return {"found": False, "kind": kind.value, "symbol": shorten(symbol),
            "message": _no_fact(chosen, kind, symbol)}


def _arguments(call: ToolArguments, tool: str | None) -> tuple[str, FactKind, str] | str:
    """(tool, kind, symbol) of a call, or the message that says what is wrong."""
    if isinstance(call, ToolCall):
        name = call.tool if tool is None else tool
        if name not in _DESCRIPTIONS:
            return f"unknown tool {shorten(repr(name))}; the tools are {', '.join(_DESCRIPTIONS)}"
        return name, call.kind, call.symbol
    if isinstance(call, (str, bytes, bytearray)):
        try:
            call = json.loads(call)
        except (ValueError, UnicodeDecodeError) as error:
            return f"the arguments are not JSON ({error}); expected {_EXPECTED}"
    if not isinstance(call, Mapping):
        return f"the arguments are a JSON {_json_type(call)}; expected {_EXPECTED}"
    name = call.get("tool", TOOL_NAME) if tool is None else tool
    if not isinstance(name, str) or name not in _DESCRIPTIONS:
        return f"unknown tool {shorten(repr(name))}; the tools are {', '.join(_DESCRIPTIONS)}"
    kind, symbol = call.get("kind"), call.get("symbol")
    problems = []
    if not isinstance(kind, str) or kind not in _KIND_NAMES:
        found = "is missing" if kind is None else \
            f"{shorten(json.dumps(kind, default=str))} is unknown"
        problems.append(f"kind {found}; it must be one of {', '.join(_KIND_NAMES)}")
    if not isinstance(symbol, str):
        found = "is missing" if symbol is None else \
            f"must be a string, not a JSON {_json_type(symbol)}"
        problems.append(f"symbol {found}")
    if problems:
        return "; ".join(problems)
    assert isinstance(kind, str) and isinstance(symbol, str)
    return name, FactKind(kind), symbol


_EXPECTED: Final = 'an object like {"kind": "price_move", "symbol": "BTC"}'


def _json_type(value: object) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, (int, float)):
        return "number"
    if isinstance(value, str):
        return "string"
    return "array" if isinstance(value, (list, tuple)) else "value"


def _no_fact(context: Context, kind: FactKind, symbol: str) -> str:
    shown = shorten(symbol)
    having = list(dict.fromkeys(f.symbol for f in context.facts if f.kind is kind))
    if symbol in context.symbols:
        head = f"no {kind.value} fact about {shown}: nothing of that kind stood out"
    elif symbol in context.missing_symbols:
        head = f"no {kind.value} fact about {shown}: the market had no data for it"
    else:
        near = [s for s in context.symbols if s.casefold() == symbol.casefold()]
        hint = f" (did you mean {near[0]}?)" if near else ""
        known = ", ".join(context.symbols) or "none"
        head = f"{shown} is not a symbol of this market{hint}; its symbols: {known}"
    if having:
        return f"{head}. {kind.value} facts exist about: {', '.join(having)}"
    return f"{head}. No symbol has a {kind.value} fact."
