"""python -m varnok_mellix.mcp, driven over stdio by the mcp package's own
client: one server process for the whole conversation."""

import json
import os
import pathlib
import sys

import anyio
import jsonschema
import pytest
from mcp import Client, StdioServerParameters

from varnok_mellix import FactKind, Market
from varnok_mellix.mcp import main
from varnok_mellix.tools import fact_to_dict, mcp_tool

REPO = pathlib.Path(__file__).resolve().parents[2]
FEEDS = json.loads((REPO / "samples" / "feeds.json").read_text())
QUESTION = {"question": "Why did SOL dump, and is leverage building up anywhere?"}


def steps():
    """(tool, arguments, the error text or the structured result)."""
    market = Market((REPO / "samples" / "spec.json").read_text())
    explained = market.build(FEEDS, explain=True)
    built = explained.to_dict()  # the one view of a context, lookback included, no evidence
    assert built["lookback"] == 20 and built["missing_symbols"] == ["DOGE"]
    calls = [call.to_dict() for call in market.query(QUESTION["question"])]
    sol = {"kind": "liquidation_cluster", "symbol": "SOL"}
    return [
        ("query", QUESTION, "no context built yet; call build_context first"),
        ("explain_fact", sol, "no context built yet; call build_context first"),
        ("build_context", {}, "give either path (a feeds file) or feeds (the snapshots), not "
                              "neither"),
        ("build_context", {"path": "samples/none.json"},
         "cannot read samples/none.json: No such file or directory"),
        ("build_context", {"path": "samples/feeds.json"}, built),
        ("build_context", {"feeds": '{"BTC": {"symbol": "BTC"}}'},
         "parse: missing field `candles` (at BTC)"),  # refused: the file's context stays
        ("query", QUESTION, {"tool_calls": calls}),
        ("get_fact", sol, {"found": True, "fact": fact_to_dict(market.get_fact(**sol))}),
        ("explain_fact", sol, {"found": True, "fact": fact_to_dict(market.get_fact(**sol)),
                               "evidence": dict(explained.fact(**sol).evidence)}),
        ("explain_fact", {**sol, "symbol": "DOGE"}, {
            "found": False, "kind": "liquidation_cluster", "symbol": "DOGE", "message":
            "no liquidation_cluster fact about DOGE: the market had no data for it. "
            "liquidation_cluster facts exist about: SOL"}),
        ("get_fact", {**sol, "kind": "liquidations"}, 'kind "liquidations" is unknown; it must '
         f"be one of {', '.join(FactKind)}"),
        ("build_context", {"feeds": FEEDS}, built),
        ("get_facts", {}, "unknown tool 'get_facts'; the tools are build_context, query, "
                          "get_fact, explain_fact"),
    ]


async def conversation(steps, *options):
    server = StdioServerParameters(command=sys.executable, cwd=REPO,
                                   args=["-m", "varnok_mellix.mcp", "--spec", "samples/spec.json",
                                         *options])
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
    """The client checks every structured result against its tool's output
    schema, and raises for one that does not fit."""
    expected = steps()
    tools, outcomes = anyio.run(conversation, expected, "--root", "samples")
    assert [tool["name"] for tool in tools] == ["build_context", "query", "get_fact",
                                                "explain_fact"]
    market = Market((REPO / "samples" / "spec.json").read_text())
    assert tools[2:] == [mcp_tool(market), mcp_tool(market, tool="explain_fact")]
    assert tools[2]["inputSchema"]["properties"]["symbol"]["enum"] == ["SOL", "BTC", "ETH", "DOGE"]
    assert [(tool["annotations"]["readOnlyHint"], tool["annotations"]["openWorldHint"])
            for tool in tools] == [(False, False)] + [(True, False)] * 3
    for tool in tools:
        jsonschema.Draft202012Validator.check_schema(tool["outputSchema"])
        assert tool["outputSchema"]["type"] == "object"
    assert outcomes == [outcome for _, _, outcome in expected]


def test_a_client_reads_only_regular_files_inside_the_roots(tmp_path):
    """Every refusal is a tool error, and nothing hangs (a FIFO) or grows
    without end (/dev/zero)."""
    root, outside = tmp_path / "root", tmp_path / "outside.json"
    root.mkdir()
    (root / "sub").mkdir()
    (root / "feeds.json").write_text(json.dumps(FEEDS))
    outside.write_text(json.dumps(FEEDS))
    (root / "big.json").write_text(json.dumps(FEEDS) + " " * 100)
    os.mkfifo(root / "fifo")
    (root / "zero").symlink_to("/dev/zero")
    (root / "out.json").symlink_to(outside)
    (root / "in.json").symlink_to(root / "feeds.json")
    built = Market((REPO / "samples" / "spec.json").read_text()).build(FEEDS).to_dict()
    paths = [
        (root / "feeds.json", built),
        (root / "in.json", built),
        (root / "sub" / ".." / "feeds.json", built),
        (root / ".." / "outside.json", "is outside the folders this server may read"),
        (root / "out.json", "is outside the folders"),
        (root / "zero", "is outside the folders"),
        ("/dev/zero", "is outside the folders"),
        (root / "fifo", "it is not a regular file"),
        (root / "sub", "it is a directory"),
        (root / "absent.json", "No such file or directory"),
        (root / "big.json", "more than"),
        (f"{root}/feeds.json\0x", "the path holds a NUL character"),
    ]
    steps = [("build_context", {"path": str(path)}, outcome) for path, outcome in paths]
    limit = str(len(json.dumps(FEEDS)) + 10)
    _, outcomes = anyio.run(conversation, steps, "--root", str(root), "--max-bytes", limit)
    for (path, wanted), outcome in zip(paths, outcomes):
        assert outcome == wanted if isinstance(wanted, dict) else wanted in outcome, path
    _, [refused] = anyio.run(conversation, steps[:1])  # a server without --root
    assert "start" in refused and "--root DIR" in refused


def test_error_texts_and_results_shorten_what_the_call_repeats():
    big = "Q" * 4_000_000
    steps = [
        ("build_context", {"feeds": '{"BTC": {"symbol": "BTC", "candles": "%s"}}' % big}, None),
        ("build_context", {"path": big}, None),
        (big, {}, None),
    ]
    _, outcomes = anyio.run(conversation, steps, "--feeds", "samples/feeds.json",
                            "--root", "samples")
    for (name, _, _), outcome in zip(steps, outcomes):
        shown = json.dumps(outcome)
        assert len(shown) < 2000 and "shortened from" in shown, name[:20]


@pytest.mark.parametrize("args, message", [
    (["--spec", '{"symbols": ["BTC"], "lookback": 0, "facts": ["price_move"]}'],
     "--spec: bad spec: lookback must be greater than zero"),
    (["--spec", "samples/spec.json", "--feeds", '{"BTC": {"symbol": "BTC"}}'],
     "--feeds: parse: missing field `candles` (at BTC)"),
    (["--spec", "samples/spec.json", "--max-bytes", "10"], "--spec: cannot read "
     "samples/spec.json: it holds"),
])
def test_a_refused_start_exits_with_status_2_and_says_why(monkeypatch, capsys, args, message):
    monkeypatch.chdir(REPO)
    assert main(args) == 2
    assert message in capsys.readouterr().err
