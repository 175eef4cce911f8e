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
SPEC_TEXT = (REPO / "samples" / "spec.json").read_text()
FEEDS_TEXT = (REPO / "samples" / "feeds.json").read_text()
QUESTION = "Why did SOL dump, and is leverage building up anywhere?"


async def conversation():
    server = StdioServerParameters(command=sys.executable, cwd=REPO,
                                   args=["-m", "varnok_mellix.mcp", "--spec", "samples/spec.json"])
    async with Client(server) as client:
        listed = await client.list_tools()
        results = [[tool.model_dump(by_alias=True, exclude_none=True) for tool in listed.tools]]
        for name, arguments in [
            ("query", {"question": QUESTION}),                      # before any build
            ("build_context", {}),
            ("build_context", {"path": "samples/no-such-file.json"}),
            ("build_context", {"path": "samples/feeds.json"}),
            ("build_context", {"feeds": '{"BTC": {"symbol": "BTC"}}'}),  # refused: no candles
            ("query", {"question": QUESTION}),
            ("get_fact", {"kind": "liquidation_cluster", "symbol": "SOL"}),
            ("get_fact", {"kind": "funding_flip", "symbol": "SOL"}),
            ("get_fact", {"kind": "liquidations", "symbol": "SOL"}),
            ("build_context", {"feeds": json.loads(FEEDS_TEXT)}),
            ("no_such_tool", {}),
        ]:
            result = await client.call_tool(name, arguments)
            results.append((result.is_error, result.content[0].text, result.structured_content))
        return results


def test_the_server_builds_queries_and_gets_facts_and_reports_errors_as_tool_errors():
    tools, early_query, neither, unreadable, built, refused, query, fact, no_fact, bad_kind, \
        inline, unknown = anyio.run(conversation)
    assert [tool["name"] for tool in tools] == ["build_context", "query", "get_fact"]
    assert tools[2] == mcp_tool()

    market = Market(SPEC_TEXT)
    context = market.build(FEEDS_TEXT)
    for is_error, text, _ in [early_query, neither, unreadable, refused, bad_kind, unknown]:
        assert is_error
    assert "call build_context first" in early_query[1]
    assert "give either path (a feeds file) or feeds" in neither[1]
    assert "cannot read samples/no-such-file.json: No such file or directory" == unreadable[1]
    assert refused[1] == "parse: missing field `candles`"
    assert "kind \"liquidations\" is unknown" in bad_kind[1]

    expected_build = {"facts": [fact_to_dict(f) for f in context.facts],
                      "symbols": ["BTC", "ETH", "SOL"], "missing_symbols": ["DOGE"]}
    assert built == (False, json.dumps(expected_build), expected_build)
    assert inline[2] == expected_build
    # the refused build left the context of the file in place
    assert query[2]["tool_calls"] == [{"kind": c.kind.value, "symbol": c.symbol, "tool": "get_fact"}
                                      for c in market.query(QUESTION)]
    assert fact[2] == {"found": True, "fact": fact_to_dict(market.get_fact(
        "liquidation_cluster", "SOL"))}
    assert not no_fact[0] and no_fact[2]["found"] is False


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
