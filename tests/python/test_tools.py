"""The get_fact tool, checked against the hosts' own packages: each definition
is a valid tool of its host, and recorded model responses with tool calls are
carried out by run_tool_call. Nothing here calls a model."""

import json

import jsonschema
import mcp_types
import pytest
from anthropic.types import Message, ToolParam, ToolResultBlockParam
from openai.types.chat import ChatCompletion, ChatCompletionToolMessageParam, ChatCompletionToolParam
from openai.types.shared_params import FunctionDefinition
from pydantic import TypeAdapter

from varnok_mellix import BadSpecError, FactKind, Market, ToolCall, _samples
from varnok_mellix.tools import anthropic_tool, mcp_tool, openai_tool, run_tool_call

WANTED = [("price_move", "SOL"), ("funding_flip", "BTC"), ("oi_change", "ETH")]  # ETH has none


@pytest.fixture(scope="module")
def market():
    market = Market(_samples.SPEC)
    market.build(_samples.feeds())
    return market


def keys(typed_dict):
    return typed_dict.__required_keys__ | typed_dict.__optional_keys__


def check_openai(tool):
    TypeAdapter(ChatCompletionToolParam).validate_python(tool)
    assert set(tool) <= keys(ChatCompletionToolParam) and set(tool["function"]) <= keys(
        FunctionDefinition)
    return tool["function"]


def check_anthropic(tool):
    TypeAdapter(ToolParam).validate_python(tool)
    assert set(tool) <= keys(ToolParam)
    return {**tool, "parameters": tool["input_schema"]}


def check_mcp(tool):
    parsed = mcp_types.Tool.model_validate(tool)
    assert parsed.model_dump(by_alias=True, exclude_none=True) == tool  # no member ignored
    return {**tool, "parameters": tool["inputSchema"]}


@pytest.mark.parametrize("make, check", [(openai_tool, check_openai),
                                         (anthropic_tool, check_anthropic),
                                         (mcp_tool, check_mcp)], ids=["openai", "anthropic", "mcp"])
def test_each_definition_is_its_hosts_tool_with_a_strict_schema(make, check):
    function = check(make())
    assert function["name"] == "get_fact" and "A fact is" in function["description"]
    schema = function["parameters"]
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    for kind in FactKind:
        assert validator.is_valid({"kind": kind.value, "symbol": "BTC"})
    for bad in [{"kind": "price_move"}, {"kind": "PRICE_MOVE", "symbol": "BTC"},
                {"kind": "price_move", "symbol": 1}, {"kind": "price_move", "symbol": "B", "x": 1}]:
        assert not validator.is_valid(bad)


def openai_calls():
    completion = ChatCompletion.model_validate({
        "id": "chatcmpl-rec", "object": "chat.completion", "created": 1733002400,
        "model": "gpt-4o-2024-08-06",
        "choices": [{"index": 0, "finish_reason": "tool_calls", "logprobs": None, "message": {
            "role": "assistant", "content": None, "refusal": None, "tool_calls": [
                {"id": f"call_{i}", "type": "function", "function": {
                    "name": "get_fact", "arguments": json.dumps({"kind": k, "symbol": s})}}
                for i, (k, s) in enumerate(WANTED)]}}],
        "usage": {"prompt_tokens": 412, "completion_tokens": 61, "total_tokens": 473}})
    for call in completion.choices[0].message.tool_calls:
        yield call.function.arguments, lambda result, call=call: TypeAdapter(
            ChatCompletionToolMessageParam).validate_python(
                {"role": "tool", "tool_call_id": call.id, "content": json.dumps(result)})


def anthropic_calls():
    message = Message.model_validate({
        "id": "msg_rec", "type": "message", "role": "assistant", "model": "claude-sonnet-4-5",
        "content": [{"type": "text", "text": "Let me read the facts."}] + [
            {"type": "tool_use", "id": f"toolu_{i}", "name": "get_fact",
             "input": {"kind": k, "symbol": s}} for i, (k, s) in enumerate(WANTED)],
        "stop_reason": "tool_use", "stop_sequence": None,
        "usage": {"input_tokens": 530, "output_tokens": 88}})
    for block in message.content:
        if block.type == "tool_use":
            yield block.input, lambda result, block=block: TypeAdapter(
                ToolResultBlockParam).validate_python(
                    {"type": "tool_result", "tool_use_id": block.id,
                     "content": json.dumps(result), "is_error": "error" in result})


def mcp_calls():
    for i, (kind, symbol) in enumerate(WANTED):
        request = mcp_types.CallToolRequest.model_validate_json(json.dumps({
            "method": "tools/call",
            "params": {"name": "get_fact", "arguments": {"kind": kind, "symbol": symbol}}}))
        yield request.params.arguments, lambda result: mcp_types.CallToolResult(
            content=[mcp_types.TextContent(text=json.dumps(result))], structured_content=result)


@pytest.mark.parametrize("recorded", [openai_calls, anthropic_calls, mcp_calls],
                         ids=["openai", "anthropic", "mcp"])
def test_recorded_tool_calls_round_trip(market, recorded):
    results = []
    for arguments, reply in recorded():
        result = run_tool_call(market, arguments)
        reply(result)  # the result goes back to the model in the host's own type
        results.append(json.loads(json.dumps(result)))
    found = [r["fact"] for r in results if r["found"]]
    assert [(f["kind"], f["symbol"]) for f in found] == WANTED[:2]
    for fact in found:
        assert market.get_fact(fact["kind"], fact["symbol"]).human == fact["human"]
    assert results[2] == {"found": False, "kind": "oi_change", "symbol": "ETH", "message":
                          "no oi_change fact about ETH: nothing of that kind stood out. "
                          "oi_change facts exist about: BTC, SOL"}


@pytest.mark.parametrize("arguments, error", [
    ('{"kind": "price_move", "symbol": ', "not JSON"),
    (b"\xff", "not JSON"),
    ("[1, 2]", "a JSON array"),
    ({"kind": "Price_Move", "symbol": "SOL"}, 'kind "Price_Move" is unknown; it must be one of'),
    ({"symbol": "SOL"}, "kind is missing"),
    ({"kind": "price_move", "symbol": None}, "symbol is missing"),
    ({"kind": "price_move", "symbol": ["SOL"]}, "symbol must be a string, not a JSON array"),
    ({"kind": "price_move", "symbol": "SOL", "tool": "get_facts"}, "unknown tool 'get_facts'"),
])
def test_bad_arguments_give_an_error_result_not_an_exception(market, arguments, error):
    result = run_tool_call(market, arguments)
    assert result["found"] is False and error in result["error"]


@pytest.mark.parametrize("call, message", [
    (ToolCall("price_move", "SOL"), None),
    ({"kind": "price_move", "symbol": "sol"}, "sol is not a symbol of this market (did you mean "
                                              "SOL?); its symbols: BTC, ETH, SOL. price_move facts "
                                              "exist about: BTC, SOL"),
    ({"kind": "funding_flip", "symbol": "DOGE"}, "no funding_flip fact about DOGE: the market had "
                                                 "no data for it. funding_flip facts exist about: "
                                                 "BTC"),
])
def test_missing_facts_say_where_to_look(market, call, message):
    result = run_tool_call(market, call)
    assert result.get("message") == message and result["found"] is (message is None)


def test_a_call_before_any_build_is_the_hosts_error():
    with pytest.raises(BadSpecError, match="no context built"):
        run_tool_call(Market(_samples.SPEC), {"kind": "price_move", "symbol": "SOL"})
