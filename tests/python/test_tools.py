"""The get_fact tool, checked against the hosts' own packages: each definition
is a valid tool of its host, and run_tool_call answers every call (recorded
model responses are carried out by the examples of docs/agents.md, MCP's own
calls by test_mcp_server). Nothing here calls a model."""

import json

import jsonschema
import mcp_types
import pytest
from anthropic.types import ToolParam
from openai.types.chat import ChatCompletionToolParam
from openai.types.responses import FunctionToolParam
from openai.types.shared_params import FunctionDefinition
from pydantic import TypeAdapter

from varnok_mellix import ArgumentError, FactKind, Market, ToolCall, _samples
from varnok_mellix.tools import (EXPLAIN_TOOL_DESCRIPTION, TOOL_DESCRIPTION, anthropic_tool,
                                 fact_to_dict, mcp_tool, openai_responses_tool, openai_tool,
                                 output_schema, run_tool_call)


@pytest.fixture(scope="module")
def market():
    market = Market(_samples.SPEC)
    market.build(_samples.feeds())
    return market


def keys(typed_dict):
    return typed_dict.__required_keys__ | typed_dict.__optional_keys__


def known(typed_dict, tool):
    """`tool` is a valid `typed_dict` with no member the type does not know."""
    TypeAdapter(typed_dict).validate_python(tool)
    return set(tool) <= keys(typed_dict)


MARKET_SYMBOLS = ["BTC/USDT:USDT", "ETH/USDT:USDT", "BTC/USDT:USDT"]  # a repeat is listed once


@pytest.mark.parametrize("tool", ["get_fact", "explain_fact"])
@pytest.mark.parametrize("symbols", [None, MARKET_SYMBOLS], ids=["any symbol", "a market's"])
@pytest.mark.parametrize("make, valid, function", [
    (openai_tool, lambda tool: known(ChatCompletionToolParam, tool) and known(
        FunctionDefinition, tool["function"]), lambda tool: tool["function"]),
    (openai_responses_tool, lambda tool: known(FunctionToolParam, tool), lambda tool: tool),
    (anthropic_tool, lambda tool: known(ToolParam, tool),
     lambda tool: {**tool, "parameters": tool["input_schema"]}),
    (mcp_tool, lambda tool: mcp_types.Tool.model_validate(tool).model_dump(
        by_alias=True, exclude_none=True) == tool,
     lambda tool: {**tool, "parameters": tool["inputSchema"]}),
], ids=["openai", "openai responses", "anthropic", "mcp"])
def test_each_definition_is_its_hosts_tool_with_a_strict_schema(make, valid, function, symbols,
                                                                tool):
    name = tool
    tool = make(tool=name) if symbols is None else make(Market(symbols=symbols, lookback=5),
                                                        tool=name)
    assert valid(tool)
    function = function(tool)
    assert (function["name"], function["description"]) == \
        (name, {"get_fact": TOOL_DESCRIPTION, "explain_fact": EXPLAIN_TOOL_DESCRIPTION}[name])
    validator = jsonschema.Draft202012Validator(function["parameters"])
    validator.check_schema(function["parameters"])
    symbol = "BTC" if symbols is None else "ETH/USDT:USDT"
    for kind in FactKind:
        assert validator.is_valid({"kind": kind.value, "symbol": symbol})
    for bad in [{"kind": "price_move"}, {"kind": "PRICE_MOVE", "symbol": symbol},
                {"kind": "price_move", "symbol": 1},
                {"kind": "price_move", "symbol": symbol, "x": 1}]:
        assert not validator.is_valid(bad)
    if symbols is not None:
        assert function["parameters"]["properties"]["symbol"]["enum"] == MARKET_SYMBOLS[:2]
        assert not validator.is_valid({"kind": "price_move", "symbol": "BTC"})


@pytest.fixture(scope="module")
def explained_market():
    market = Market(_samples.SPEC)
    market.build(_samples.feeds(), explain=True)
    return market


@pytest.mark.parametrize("call, tool", [
    ({"kind": "price_move", "symbol": "SOL", "tool": "explain_fact"}, None),
    (ToolCall("volatility_spike", "ETH", "explain_fact"), None),
    ('{"kind": "oi_change", "symbol": "ETH"}', "explain_fact"),  # no such fact
    ({"kind": "price_move", "symbol": "SOL", "tool": "get_fact"}, None),
])
def test_explain_fact_answers_the_fact_with_its_evidence(explained_market, market, call, tool):
    result = run_tool_call(explained_market, call, tool=tool)
    name = tool or (call.tool if isinstance(call, ToolCall) else call.get("tool", "get_fact"))
    assert jsonschema.Draft202012Validator(output_schema(name)).is_valid(result)
    if "fact" not in result:
        assert result["found"] is False
        return
    fact = explained_market.context.fact(result["fact"]["kind"], result["fact"]["symbol"])
    assert result["fact"] == fact_to_dict(fact)
    assert result.get("evidence") == (dict(fact.evidence) if name == "explain_fact" else None)
    json.dumps(result, allow_nan=False)
    if name == "explain_fact":  # a context built without evidence is the host's to fix
        with pytest.raises(ArgumentError, match="carries no evidence"):
            run_tool_call(market, call, tool=tool)


@pytest.mark.parametrize("arguments, answer", [
    ('{"kind": "price_move", "symbol": ', "error: the arguments are not JSON"),
    (b"\xff", "error: the arguments are not JSON"),
    ("[1, 2]", "error: the arguments are a JSON array; expected an object like"),
    ({"symbol": ["SOL"]}, "error: kind is missing; it must be one of price_move, orderbook_"),
    ({"kind": "oi_change", "symbol": 7}, "error: symbol must be a string, not a JSON number"),
    ({"kind": "price_move", "symbol": "SOL", "tool": "get_facts"}, "error: unknown tool"),
    (ToolCall("price_move", "sol"), "message: sol is not a symbol of this market (did you mean "
     "SOL?); its symbols: BTC, ETH, SOL. price_move facts exist about: BTC, SOL"),
    ({"kind": "funding_flip", "symbol": "DOGE"}, "message: no funding_flip fact about DOGE: the "
     "market had no data for it. funding_flip facts exist about: BTC"),
])
def test_calls_without_a_fact_answer_why_and_never_raise(market, arguments, answer):
    member, text = answer.split(": ", 1)
    result = run_tool_call(market, arguments)
    assert result["found"] is False and result[member].startswith(text)
    # A missing fact is an answer of the tool's output schema; bad arguments are not.
    assert jsonschema.Draft202012Validator(output_schema()).is_valid(result) == \
        (member == "message")


@pytest.mark.parametrize("arguments", [
    lambda big: {"kind": "price_move", "symbol": big},
    lambda big: {"kind": big, "symbol": "BTC"},
    lambda big: {"kind": "price_move", "symbol": "BTC", "tool": big},
    lambda big: ToolCall("price_move", "BTC", big),
    lambda big: json.dumps({"kind": [big], "symbol": "BTC"}),
], ids=["symbol", "kind", "tool", "ToolCall", "text"])
def test_answers_shorten_what_the_call_repeats(market, arguments):
    result = run_tool_call(market, arguments("S" * 4_000_000))
    assert result["found"] is False
    assert len(json.dumps(result)) < 2000 and "shortened from" in json.dumps(result)
