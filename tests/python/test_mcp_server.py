"""python -m varnok_mellix.mcp, driven over stdio by the mcp package's own
client: one server process for the whole conversation."""

import json
import pathlib
import sys

import anyio
import pytest
from mcp import Client, StdioServerParameters

from varnok_mellix import Market
from varnok_mellix.mcp import main
from varnok_mellix.tools import fact_to_dict, mcp_tool

REPO = pathlib.Path(__file__).resolve().parents[2]
FEEDS = json.loads((REPO / "samples" / "feeds.json").read_text())
QUESTION = {"question": "Why did SOL dump, and is leverage building up anywhere?"}


def steps():
    """(tool, arguments, the error text or the structured result)."""
    market = Market((REPO / "samples" / "spec.json").read_text())
    built = {"facts": [fact_to_dict(f) for f in market.build(FEEDS).facts],
             "symbols": ["BTC", "ETH", "SOL"], "missing_symbols": ["DOGE"]}
    calls = [{"kind": c.kind.value, "symbol": c.symbol, "tool": c.tool}
             for c in market.query(QUESTION["question"])]
    sol = {"kind": "liquidation_cluster", "symbol": "SOL"}
    return [
        ("query", QUESTION, "no context built yet; call build_context first"),
        ("build_context", {}, "give either path (a feeds file) or feeds (the snapshots), not "
                              "neither"),
        ("build_context", {"path": "samples/none.json"},
         "cannot read samples/none.json: No such file or directory"),
        ("build_context", {"path": "samples/feeds.json"}, built),
        ("build_context", {"feeds": '{"BTC": {"symbol": "BTC"}}'},
         "parse: missing field `candles`"),  # refused: the context of the file stays
        ("query", QUESTION, {"tool_calls": calls}),
        ("get_fact", sol, {"found": True, "fact": fact_to_dict(market.get_fact(**sol))}),
        ("get_fact", {**sol, "kind": "liquidations"}, 'kind "liquidations" is unknown; it must '
         "be one of price_move, orderbook_imbalance, liquidation_cluster, funding_flip, "
         "oi_change, volatility_spike"),
        ("build_context", {"feeds": FEEDS}, built),
        ("get_facts", {}, "unknown tool 'get_facts'; the tools are build_context, query, "
                          "get_fact"),
    ]


async def conversation(steps):
    server = StdioServerParameters(command=sys.executable, cwd=REPO,
                                   args=["-m", "varnok_mellix.mcp", "--spec", "samples/spec.json"])
    async with Client(server) as client:
        tools = [tool.model_dump(by_alias=True, exclude_none=True)
                 for tool in (await client.list_tools()).tools]
        outcomes = []
        for name, arguments, _ in steps:
            result = await client.call_tool(name, arguments)
            [text] = [block.text for block in result.content]
            structured = result.structured_content
            outcomes.append(text if result.is_error else
                            structured if text == json.dumps(structured) else (text, structured))
        return tools, outcomes


def test_the_server_builds_queries_and_gets_facts_and_reports_errors_as_tool_errors():
    expected = steps()
    tools, outcomes = anyio.run(conversation, expected)
    assert [tool["name"] for tool in tools] == ["build_context", "query", "get_fact"]
    assert tools[2] == mcp_tool()
    assert outcomes == [outcome for _, _, outcome in expected]


@pytest.mark.parametrize("args, message", [
    (["--spec", '{"symbols": ["BTC"], "lookback": 0, "facts": ["price_move"]}'],
     "--spec: bad spec: lookback must be greater than zero"),
    (["--spec", "no-such-spec.json"], "--spec: cannot read no-such-spec.json: No such file"),
    (["--spec", "samples/spec.json", "--feeds", '{"BTC": {"symbol": "BTC"}}'],
     "--feeds: parse: missing field `candles`"),
])
def test_a_refused_start_exits_with_status_2_and_says_why(monkeypatch, capsys, args, message):
    monkeypatch.chdir(REPO)
    assert main(args) == 2
    assert message in capsys.readouterr().err
