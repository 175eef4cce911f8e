"""The `mellix` command line, run as a user runs it; answers are checked against
the native engine's own."""

import io
import json
import os
import pathlib
import pty
import subprocess
import sys

import pytest

from varnok_mellix import Context, Market, Mellix, _samples
from varnok_mellix.__main__ import main

REPO = pathlib.Path(__file__).resolve().parents[2]
SPEC_FILE = REPO / "samples" / "spec.json"
FEEDS_FILE = REPO / "samples" / "feeds.json"
BIN = pathlib.Path(sys.executable).parent
QUESTION = "why did it dump, and what about funding?"


def engine(request):
    return Mellix(SPEC_FILE.read_text()).command(json.dumps(request))


def engine_context():
    return engine({"cmd": "build_context", "feeds": json.loads(FEEDS_FILE.read_text())})


def engine_query(question):
    return engine({"cmd": "query", "question": question,
                   "context": json.loads(engine_context())})


def run_main(monkeypatch, capsys, argv, stdin=b""):
    """main's status, output and errors; argparse's exit is taken as the status."""
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin), encoding="utf-8"))
    try:
        status = main(argv)
    except SystemExit as done:
        status = done.code
    captured = capsys.readouterr()
    return status, captured.out, captured.err


@pytest.mark.parametrize("entry", [[str(BIN / "mellix")], [str(BIN / "varnok-mellix")],
                                   [sys.executable, "-m", "varnok_mellix"]],
                         ids=["mellix", "varnok-mellix", "python -m"])
def test_entry_points_build_from_standard_input(entry):
    done = subprocess.run(entry + ["build", "--spec", str(SPEC_FILE), "--feeds", "-"],
                          input=FEEDS_FILE.read_bytes(), capture_output=True, check=False)
    assert done.returncode == 0, done.stderr
    missing = [s for s in json.loads(SPEC_FILE.read_text())["symbols"]
               if s not in json.loads(FEEDS_FILE.read_text())]
    # The engine's text, and the spec's symbols without a snapshot as its last member.
    assert done.stdout.decode() == engine_context()[:-1] + ',"missing_symbols":%s}\n' % \
        json.dumps(missing, separators=(",", ":"))
    assert done.stderr.decode() == f"mellix: note: <stdin> has no snapshot for {', '.join(missing)}\n"
    # The one view of a context: from_json reads all of it back, to_dict is the same.
    read = Context.from_json(done.stdout)
    assert (read, read.missing_symbols) == (Market(SPEC_FILE.read_text()).build(
        FEEDS_FILE.read_bytes()), tuple(missing))
    assert json.loads(done.stdout) == read.to_dict()
    assert read.to_json(missing_symbols=True) + "\n" == done.stdout.decode()


@pytest.mark.parametrize("source", ["--feeds", "--context", "--context text", None])
def test_query_prints_the_engines_calls_and_tables_show_their_facts(
        monkeypatch, capsys, tmp_path, source):
    """query prints the engine's calls, and with --table a row per call with its
    fact; build --table (source None) ranks every fact of the context. A value
    starting with { or [ (after white space) is the JSON text itself."""
    context_file = tmp_path / "context.json"
    context_file.write_text(engine_context())
    context = Context.from_json(engine_context())
    if source is None:
        argv = ["build", "--spec", "\n " + SPEC_FILE.read_text(),
                "--feeds", "\n " + FEEDS_FILE.read_text()]
        rows = [(str(rank), f) for rank, f in enumerate(context.facts, 1)]
    else:
        given = {"--feeds": FEEDS_FILE, "--context": context_file,
                 "--context text": "\n " + engine_context()}[source]
        argv = ["query", QUESTION, "--spec", str(SPEC_FILE), source.split()[0], str(given)]
        assert run_main(monkeypatch, capsys, argv)[:2] == (0, engine_query(QUESTION) + "\n")
        rows = [("get_fact", context.fact(call["kind"], call["symbol"]))
                for call in json.loads(engine_query(QUESTION))["tool_calls"]]
    status, table, _ = run_main(monkeypatch, capsys, argv + ["--table"])
    lines = table.splitlines()  # a header, the rows, and for build a summary
    assert status == 0 and rows and len(lines) == len(rows) + 1 + (source is None)
    printed = lines[1:len(rows) + 1]
    assert [row.split()[:3] for row in printed] == [[first, f.kind.value, f.symbol]
                                                    for first, f in rows]
    assert all(row.endswith(f.human) for row, (_, f) in zip(printed, rows))


@pytest.mark.parametrize("extra, status", [([], 0), (["--table"], 2)])
def test_build_explain_prints_each_fact_with_its_evidence_under_it(monkeypatch, capsys, extra,
                                                                   status):
    argv = ["build", "--spec", str(SPEC_FILE), "--feeds", str(FEEDS_FILE), "--explain", *extra]
    done, out, err = run_main(monkeypatch, capsys, argv)
    assert done == status
    if status:  # a usage error
        assert "--table: not allowed with argument --explain" in err
        return
    context = Market(SPEC_FILE.read_text()).build(FEEDS_FILE.read_bytes(), explain=True)
    blocks = out.split("\n\n")
    *facts, summary = blocks[:-1] + blocks[-1].rsplit("\n", 2)[:2]
    assert summary == "symbols: BTC, ETH, SOL; lookback 20; no snapshot: DOGE"
    assert len(facts) == len(context.facts)
    for rank, (block, fact) in enumerate(zip(facts, context.facts), 1):
        head, numbers, *lines = block.splitlines()
        assert head == f"{rank}. {fact.kind.value} {fact.symbol}: {fact.human}"
        assert numbers == f"   value {fact.value!r}, magnitude {fact.magnitude!r}, ts {fact.ts}"
        printed = dict(line.split() for line in lines)
        assert list(printed) == list(fact.evidence)
        assert printed == {key: repr(value) if isinstance(value, float) else str(value)
                           for key, value in fact.evidence.items()}


@pytest.mark.parametrize("command", [[], ["build"], ["query"], ["demo"], ["run"], ["replay"]])
def test_every_help_lists_the_exit_statuses(monkeypatch, capsys, command):
    status, help_text, _ = run_main(monkeypatch, capsys, command + ["--help"])
    assert status == 0
    assert "exit status:" in help_text
    assert all(f"\n  {status}  " in help_text for status in (0, 1, 2))


@pytest.mark.parametrize("files, argv, status, err", [
    ({"f.json": '{"BTC": {"symbol": "BTC"}}'},
     ["build", "--spec", "{spec}", "--feeds", "{dir}/f.json"],
     1, "mellix: {dir}/f.json:1:9: BTC: parse: missing field `candles`\n"),
    ({"s.json": '{"symbols": [],\n"lookback": 1, "facts": ["oi_change"]}'},
     ["build", "--spec", "{dir}/s.json", "--feeds", "-"],
     2, "mellix: {dir}/s.json: bad spec: at least one symbol is required\n"),
    ({"c.json": '{"facts": [],\n "symbols": [], "lookback": 1.5}'},
     ["query", "q", "--spec", "{spec}", "--context", "{dir}/c.json"],
     1, "mellix: {dir}/c.json: lookback: parse: invalid type: floating point `1.5`, expected u32\n"),
    ({}, ["build", "--spec", "{dir}/absent.json", "--feeds", "-"],
     2, "mellix: cannot read {dir}/absent.json: No such file or directory\n"),
    ({}, ["run", "--spec", "-", "-"], 2, "mellix: error: only one argument may read"),
    ({"r.jsonl": '{"cmd":"version"}\n\n{"cmd":"Version"}\n{"cmd": ]\n'},
     ["run", "--spec", "{spec}", "{dir}/r.jsonl"], 1,
     "mellix: {dir}/r.jsonl:3: bad spec: unknown cmd: Version\nmellix: {dir}/r.jsonl:4:9: parse: "),
    ({"r.jsonl": '{"cmd":"facts","feeds":{"BTC":{"symbol":"BTC","candles":[[1,1,1,1,"1",1]]}}}'},
     ["run", "--spec", "{spec}", "{dir}/r.jsonl"], 1, "mellix: {dir}/r.jsonl:1:67: "
     'feeds.BTC.candles[0][4]: parse: invalid type: string "1", expected f64\n'),
    ({}, ["run", "--spec", "{spec}", "{feeds}"], 2,
     "mellix: {feeds}:1: a line holding only '{{' starts a JSON text written over several lines"),
    # JSON text given inline: the option stands for the file.
    ({}, ["build", "--spec", '{{"symbols": ["BTC"],\n "lookback": 0, "facts": ["price_move"]}}',
          "--feeds", "{{}}"], 2, "mellix: --spec: bad spec: lookback must be greater than zero\n"),
    ({}, ["build", "--spec", "{spec}", "--feeds", '{{"SOL":\n {{"symbol": "SOL", "candles": [}}}}'],
     1, "mellix: --feeds:2:32: parse: expected a value\n"),
    ({}, ["query", "q", "--spec", "[[], 1,", "--context", "{{}}"], 2,
     "mellix: --spec:1:8: parse: "),
])
def test_errors_name_the_file_and_line(monkeypatch, capsys, tmp_path, files, argv, status, err):
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    names = {"dir": tmp_path, "spec": SPEC_FILE, "feeds": FEEDS_FILE}
    done = run_main(monkeypatch, capsys, [arg.format(**names) for arg in argv],
                    stdin=FEEDS_FILE.read_bytes())
    assert done[0] == status
    assert done[2].startswith(err.format(**names))


def test_run_says_when_it_reads_a_terminal():
    controller, terminal = pty.openpty()
    with subprocess.Popen([str(BIN / "mellix"), "run", "--spec", str(SPEC_FILE)], stdin=terminal,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE) as process:
        os.close(terminal)
        os.write(controller, b'{"cmd":"version"}\n\x04')
        out, err = process.communicate()
    os.close(controller)
    assert process.returncode == 0
    assert out.decode() == Mellix.version().join(['{"version":"', '"}\n'])
    assert err.decode().startswith("mellix: reading requests from the terminal")


@pytest.mark.parametrize("demo", [[str(BIN / "mellix"), "demo"],
                                  [sys.executable, str(REPO / "samples" / "demo.py")]])
def test_demo_builds_queries_and_resolves_the_sample(demo):
    done = subprocess.run(demo, capture_output=True, text=True, check=False)
    assert done.returncode == 0, done.stderr
    market = Market(_samples.SPEC)
    context = market.build(_samples.feeds())
    calls = market.query(_samples.QUESTION)
    assert calls and all(fact.human in done.stdout for fact in context.facts)
    assert done.stdout.count("get_fact ") == len(calls)
    # The bundled sample is the data of samples/.
    assert json.loads(SPEC_FILE.read_text()) == _samples.SPEC
    assert json.loads(FEEDS_FILE.read_text()) == _samples.feeds()


BIG = "A" * 3_000_000


@pytest.mark.parametrize("files, argv, status", [
    ({"f.json": {"BTC": {"symbol": "BTC", "candles": BIG}}},
     ["build", "--spec", "{spec}", "--feeds", "{dir}/f.json"], 1),
    ({"r.jsonl": [{"cmd": BIG}, {"cmd": "build_context", "feeds": {"BTC": BIG}},
                  {"cmd": "query", "question": "q", "context": [[], [], BIG]}]},
     ["run", "--spec", "{spec}", "{dir}/r.jsonl"], 1),
    ({}, [BIG], 2),
], ids=["feeds", "run", "command"])
def test_errors_shorten_what_they_repeat_and_run_prints_the_engines_answers(
        monkeypatch, capsys, tmp_path, files, argv, status):
    for name, value in files.items():
        lines = value if name.endswith(".jsonl") else [value]
        (tmp_path / name).write_text("\n".join(json.dumps(line) for line in lines))
    names = {"dir": tmp_path, "spec": SPEC_FILE, "feeds": FEEDS_FILE}
    done = run_main(monkeypatch, capsys, [arg.format(**names) for arg in argv])
    assert done[0] == status
    err_lines = done[2].splitlines()
    assert all(len(line) < 1000 for line in err_lines) and "shortened from" in done[2]
    if "r.jsonl" in files:
        engine_answers = [engine(request) for request in files["r.jsonl"]]
        assert done[1] == "".join(answer + "\n" for answer in engine_answers)
        assert len(err_lines) == len(engine_answers)


@pytest.mark.parametrize("from_file", [True, False])
@pytest.mark.parametrize("end", ["\n", "\r\n"])
def test_run_answers_each_request_line_in_order(monkeypatch, capsys, tmp_path, from_file, end):
    """A blank line is passed over; a character that str.splitlines() takes for
    a line end, inside a string, stays in its request."""
    lines = ['{"cmd":"reset"}', "", '{"cmd":"query","question":"x"}']  # no context: status 1
    for character in ["\u2028", "\u0085", "\x0c", "\x1c", "\r", "\x1e"]:
        lines += ['{"cmd":"ver%ssion"}' % character, '{"cmd":"version"}']
    text = end.join(lines).encode()
    (tmp_path / "requests.jsonl").write_bytes(text)
    source = str(tmp_path / "requests.jsonl") if from_file else "-"
    status, out, _ = run_main(monkeypatch, capsys, ["run", "--spec", str(SPEC_FILE), source],
                              stdin=text)
    mellix = Mellix(SPEC_FILE.read_text())
    assert out.split("\n") == [mellix.command(line) for line in lines if line] + [""]
    assert status == 1


@pytest.mark.parametrize("argv, stdin, status, out, err", [
    (["run", "--spec", "{spec}"], b'{"cmd":"version"}\n{"cmd":"v\xffersion"}\n{"cmd":"version"}',
     2, '{"version":"%s"}\n' % Mellix.version(), "mellix: <stdin>:2:10: not UTF-8 text (byte 0xff)"),
    (["build", "--spec", "/dev/zero", "--feeds", "{feeds}"], b"", 2, "",
     "mellix: cannot read /dev/zero: it is a device, not a file; give a file, or -"),
    (["run", "--spec", "{spec}", "/dev/zero"], b"", 2, "", "mellix: cannot read /dev/zero: it is a"),
    (["build", "--spec", "{spec}", "--feeds", "{dir}"], b"", 2, "",
     "mellix: cannot read {dir}: it is a directory"),
    (["build", "--spec", "-", "--feeds", "{feeds}"], b" " * (16 * 2**20 + 1), 2, "",
     "mellix: cannot read <stdin>: it holds more than 16 MiB, the most a spec may hold"),
], ids=["not UTF-8", "device spec", "device requests", "directory", "spec too large"])
def test_unreadable_input_is_a_usage_error(monkeypatch, capsys, tmp_path, argv, stdin, status,
                                           out, err):
    names = {"dir": tmp_path, "spec": SPEC_FILE, "feeds": FEEDS_FILE}
    done = run_main(monkeypatch, capsys, [arg.format(**names) for arg in argv], stdin)
    assert done == (status, out, done[2])
    assert done[2].startswith(err.format(**names))


@pytest.mark.parametrize("sink", ["closed pipe", "full disk"])
@pytest.mark.parametrize("argv", [
    ["build", "--spec", str(SPEC_FILE), "--feeds", str(FEEDS_FILE)],
    ["build", "--spec", str(SPEC_FILE), "--feeds", str(FEEDS_FILE), "--table"],
    ["demo"],
    ["run", "--spec", str(SPEC_FILE), "-"],
    ["--version"],
    ["build", "--help"],
], ids=["build", "table", "demo", "run", "version", "help"])
def test_a_failed_write_ends_the_command_without_a_traceback(argv, sink):
    """A closed output ends it quietly (status 141, as SIGPIPE would); a full
    disk is one line and status 1."""
    reader, writer = os.pipe()
    os.close(reader)  # closed before the command starts: every write to it fails
    with open("/dev/full", "w") as full:
        done = subprocess.run([sys.executable, "-m", "varnok_mellix", *argv],
                              input=b'{"cmd":"version"}\n' * 20000,
                              stdout=writer if sink == "closed pipe" else full,
                              stderr=subprocess.PIPE, check=False)
    os.close(writer)
    assert b"Traceback" not in done.stderr and b"Exception ignored" not in done.stderr
    if sink == "closed pipe":
        assert done.returncode == 141
        return
    assert done.returncode == 1
    # After the note of build on the sample (DOGE has no snapshot), if any.
    assert done.stderr.decode().splitlines()[-1:] == [
        "mellix: cannot write to standard output: No space left on device"]


def test_an_interrupt_ends_the_command_quietly(monkeypatch, capsys):
    class Interrupted(io.BytesIO):
        def readline(self, *_):
            raise KeyboardInterrupt

    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(Interrupted()))
    assert main(["run", "--spec", str(SPEC_FILE)]) == 130
    assert capsys.readouterr() == ("", "")


def test_replay_writes_the_replays_rows_with_a_bar_on_a_terminal(tmp_path):
    output = tmp_path / "facts.csv"
    controller, terminal = pty.openpty()
    with subprocess.Popen([str(BIN / "mellix"), "replay", "--spec", str(SPEC_FILE), "--feeds",
                           str(FEEDS_FILE), "--every", "1", "--sentences", "-o", str(output)],
                          stdout=subprocess.PIPE, stderr=terminal) as process:
        os.close(terminal)
        process.communicate()
        shown = os.read(controller, 65536).decode()
    os.close(controller)
    assert process.returncode == 0
    assert "replay [" in shown and "40/40 moments" in shown
    replay = Market(SPEC_FILE.read_bytes()).replay(FEEDS_FILE.read_bytes(), every=1,
                                                  sentences=True)
    header, *rows = output.read_text().splitlines()
    assert header == "at,symbol,kind,value,magnitude,ts,rank,human"
    assert len(rows) == len(replay) > 0
    assert [row.split(",", 7) for row in rows] == \
        [[str(at), symbol, kind.value, repr(value), repr(magnitude), str(ts), str(rank), human]
         for at, symbol, kind, value, magnitude, ts, rank, human in replay]
