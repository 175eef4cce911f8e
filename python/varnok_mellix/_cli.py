"""The `mellix` command (also `python -m varnok_mellix`).

    mellix build --spec SPEC --feeds FEEDS [--table | --explain]
    mellix query QUESTION --spec SPEC (--feeds FEEDS | --context CONTEXT) [--table]
    mellix demo [--spec SPEC --feeds FEEDS]
    mellix run --spec SPEC [REQUESTS | -]
    mellix replay --spec SPEC --feeds FEEDS (--every N | --at TS...) [-o FILE]
    mellix report --spec SPEC --feeds FEEDS -o FILE

Every FILE argument may be "-" for standard input (at most one of them), and
SPEC, FEEDS and CONTEXT may be the JSON text itself: a value that starts with
"{" or "[" (after blanks) is JSON, anything else a path. A spec may hold at
most 16 MiB, a feeds or context file 1 GiB; a directory or a device
(/dev/zero) is refused.

`build` prints the context as the engine writes it with one more member,
"missing_symbols" (the spec's symbols without a snapshot), which
`query --context` and `Context.from_json` read back and the engine ignores.
With `--explain` it prints each fact, ranked, with its evidence under it: a
line per number the rule read, floats as their shortest round-trip digits.

`run` reads JSON Lines: a request ends at "\n" only (a "\r" before it is
dropped), so a U+2028 or U+0085 inside a string stays in its request, and
answer N is the answer to line N. A line that is not UTF-8 stops `run` with
status 2, after the answers to the lines before it.

Errors go to standard error as compilers write theirs, which editors and
their error lists follow: `mellix: FILE:LINE:COLUMN: message` for a fault
in the JSON text, and `mellix: FILE:LINE:COLUMN: PATH: message` for a value
the engine refused, LINE and COLUMN (counted from 1, the column in bytes)
those of the value and PATH where it stands in the feeds or context
(`SOL.liquidations[3].side`, see `_errors.format_path`); for `run`, LINE is
the request's line. Error texts shorten any value longer than a few hundred
characters that they repeat (see `_errors.shorten`); the answers `run` prints
are the engine's own.
When standard output is closed early (`mellix build ... | head -1`), the
command stops quietly with status 141, as a process that SIGPIPE ends; when it
refuses a write (a full disk, `> /dev/full`), the command says so in one line
and ends with status 1.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import sys
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import IO, TYPE_CHECKING, Final, NoReturn, Protocol

from . import _samples
from ._errors import (MellixError, ParseError, answer_error, format_path, line_column,
                      rendering, shorten)
from ._files import (JSON_SPACE, FileRefused, MiB, describe_size, is_json_text, open_checked,
                     read_bounded, read_stream)
from ._market import Market, open_engine
from ._records import Context, Fact, FactKind, ToolCall
from ._replay import Replay
from ._varnok_mellix import __version__

if TYPE_CHECKING:
    from _typeshed import SupportsWrite

PROG = "mellix"
STDIN = "-"

EXIT_OK, EXIT_REFUSED, EXIT_USAGE = 0, 1, 2
EXIT_INTERRUPTED, EXIT_CLOSED_OUTPUT = 130, 141  # as a shell reports SIGINT, SIGPIPE

SPEC_LIMIT: Final = 16 * MiB
DATA_LIMIT: Final = 1024 * MiB  # a feeds or context file, a request line of run

_EXIT_CODES = """\
exit status:
  0  success
  1  {refused}, or standard output refused a write (a full disk)
  2  bad usage, an unreadable file, or a refused spec
  130  interrupted (Ctrl-C)
  141  standard output was closed before all was written (as by | head)"""


class _Failure(Exception):
    """Ends the command with a message on standard error and an exit status."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status


class _Writer(Protocol):
    def write(self, text: str, /) -> object: ...


class _OutputRefused(Exception):
    """Standard output refused a write for a reason other than a closed pipe."""

    def __init__(self, error: OSError) -> None:
        super().__init__(error.strerror or str(error))


class _Output:
    """Standard output as the subcommands write to it: a write the system
    refuses (a full disk, an I/O error) raises _OutputRefused. A closed pipe
    still raises BrokenPipeError, which ends the command quietly."""

    def __init__(self, stream: _Writer) -> None:
        self._stream = stream

    def write(self, text: str, /) -> object:
        try:
            return self._stream.write(text)
        except BrokenPipeError:
            raise
        except OSError as error:
            raise _OutputRefused(error) from None


def _located(name: str, error: MellixError) -> str:
    """`error` prefixed with the file it concerns and, when known, its line and
    column there and the path of the value it refused, as compilers write
    theirs: ``FILE:LINE:COLUMN: SOL.liquidations[3].side: parse: ...``."""
    where = f"{format_path(error.path)}: " if error.path else ""
    if isinstance(error, ParseError) and error.line is not None:
        return f"{name}:{error.line}:{error.column}: {where}parse: {shorten(error.description)}"
    return f"{name}: {where}{rendering(error.kind, error.message)}"


def _name(path: str) -> str:
    return "<stdin>" if path == STDIN else shorten(path)


def _read(path: str, limit: int, what: str, option: str) -> tuple[str, bytes]:
    """The display name and the bytes of a FILE argument that holds `what`:
    the JSON text itself (named by its `option`) or a file's."""
    if is_json_text(path):
        return option, path.encode("utf-8", "surrogateescape")
    name = _name(path)
    try:
        if path == STDIN:
            return name, read_stream(sys.stdin.buffer, limit)
        return name, read_bounded(path, limit)
    except FileRefused as refusal:
        hint = {"size": f", the most a {what} may hold; check that it is the right file",
                "type": "; give a file, or - for standard input"}.get(refusal.cause, "")
        raise _Failure(f"cannot read {name}: {refusal}{hint}", EXIT_USAGE) from None


def _market(spec_path: str) -> Market:
    name, spec = _read(spec_path, SPEC_LIMIT, "spec", "--spec")
    try:
        return Market(spec)
    except MellixError as error:
        raise _Failure(_located(name, error), EXIT_USAGE) from None


def _build(market: Market, feeds_path: str, err: IO[str], explain: bool = False) -> Context:
    name, feeds = _read(feeds_path, DATA_LIMIT, "feeds file", "--feeds")
    try:
        context = market.build(feeds, explain=explain)
    except MellixError as error:
        raise _Failure(_located(name, error), EXIT_REFUSED) from None
    if context.missing_symbols:
        err.write(f"{PROG}: note: {name} has no snapshot for "
                  f"{shorten(', '.join(context.missing_symbols))}\n")
    return context


def _table(header: Sequence[str], rows: Iterable[Sequence[object]], right: Sequence[int] = ()
           ) -> str:
    """Rows in aligned columns, the last one left unpadded."""
    cells = [list(header)] + [[str(cell) for cell in row] for row in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(header))]
    lines = []
    for row in cells:
        padded = [cell.rjust(w) if i in right else cell.ljust(w)
                  for i, (cell, w) in enumerate(zip(row, widths))]
        padded[-1] = row[-1]
        lines.append("  ".join(padded))
    return "\n".join(lines) + "\n"


def _facts_table(context: Context) -> str:
    rows = [(rank, fact.kind.value, fact.symbol, repr(fact.magnitude), fact.human)
            for rank, fact in enumerate(context.facts, 1)]
    table = _table(("rank", "kind", "symbol", "magnitude", "sentence"), rows, right=(0, 3))
    return table + _summary(context)


def _summary(context: Context) -> str:
    summary = f"symbols: {', '.join(context.symbols) or '(none)'}; lookback {context.lookback}"
    if context.missing_symbols:
        summary += f"; no snapshot: {', '.join(context.missing_symbols)}"
    return summary + "\n"


def _explained(context: Context) -> str:
    """Each fact, ranked, with its evidence under it, a line per entry."""
    lines: list[str] = []
    for rank, fact in enumerate(context.facts, 1):
        if lines:
            lines.append("")
        lines.append(f"{rank}. {fact.kind.value} {fact.symbol}: {fact.human}")
        lines.append(f"   value {fact.value!r}, magnitude {fact.magnitude!r}, ts {fact.ts}")
        evidence: Mapping[str, object] = fact.evidence or {}
        width = max(map(len, evidence), default=0)
        lines.extend(f"   {key.ljust(width)}  {value!r}" if isinstance(value, float)
                     else f"   {key.ljust(width)}  {value}" for key, value in evidence.items())
    return "\n".join(lines) + ("\n" if lines else "") + _summary(context)


def _calls_table(calls: Sequence[ToolCall], facts: Callable[[ToolCall], Fact | None]) -> str:
    rows = []
    for call in calls:
        fact = facts(call)
        rows.append((call.tool, call.kind.value, call.symbol, fact.human if fact else "-"))
    return _table(("tool", "kind", "symbol", "fact"), rows)


def _calls_json(calls: Sequence[ToolCall]) -> str:
    return json.dumps({"tool_calls": [call.to_dict() for call in calls]}, separators=(",", ":"),
                      ensure_ascii=False)


# ---------------------------------------------------------------------------
# Subcommands. Each returns its exit status or raises _Failure.


def _cmd_build(args: argparse.Namespace, out: _Writer, err: IO[str]) -> int:
    market = _market(args.spec)
    context = _build(market, args.feeds, err, explain=args.explain)
    if args.explain:
        out.write(_explained(context))
    else:
        out.write(_facts_table(context) if args.table
                  else context.to_json(missing_symbols=True) + "\n")
    return EXIT_OK


def _cmd_query(args: argparse.Namespace, out: _Writer, err: IO[str]) -> int:
    market = _market(args.spec)
    if args.feeds is not None:
        context = _build(market, args.feeds, err)
    else:
        name, text = _read(args.context, DATA_LIMIT, "context file", "--context")
        try:
            context = Context.from_json(text)
        except MellixError as error:
            raise _Failure(_located(name, error), EXIT_REFUSED) from None
    try:
        calls = market.query(args.question, context)
    except MellixError as error:
        raise _Failure(str(error), EXIT_REFUSED) from None
    if args.table:
        out.write(_calls_table(calls, lambda call: context.fact(call.kind, call.symbol)))
    else:
        out.write(_calls_json(calls) + "\n")
    return EXIT_OK


def _cmd_demo(args: argparse.Namespace, out: _Writer, err: IO[str]) -> int:
    if (args.spec is None) != (args.feeds is None):
        raise _Failure("demo takes both --spec and --feeds, or neither", EXIT_USAGE)
    if args.spec is None:
        market = Market(_samples.SPEC)
        feeds_name = "the bundled sample feeds"
        context = market.build(_samples.feeds())
    else:
        market = _market(args.spec)
        feeds_name = "--feeds" if is_json_text(args.feeds) else shorten(args.feeds)
        context = _build(market, args.feeds, err)
    out.write(f"varnok-mellix {__version__}; {market!r}\n\n")
    out.write(f"build over {feeds_name}: {len(context.facts)} facts, ranked\n")
    out.write(_facts_table(context))
    try:
        market.build('{"BTC": {"symbol": "BTC"}}')
    except MellixError as error:
        out.write(f"(a snapshot without candles is refused: {type(error).__name__}: {error})\n")
    question = _samples.QUESTION
    calls = market.query(question, context)
    out.write(f"\nquery {question!r} -> {len(calls)} tool calls, resolved:\n")
    out.write(_calls_table(calls, lambda call: context.fact(call.kind, call.symbol)))
    return EXIT_OK


def _requests(path: str, err: IO[str]) -> tuple[str, Iterator[bytes]]:
    """The display name of the requests and their lines, as bytes with their
    "\n"; a line is read whole only up to DATA_LIMIT bytes."""
    if path == STDIN:
        if sys.stdin.isatty():
            err.write(f"{PROG}: reading requests from the terminal, one JSON request per line; "
                      "end with Ctrl-D\n")
        stream, owned = sys.stdin.buffer, False
    else:
        try:
            stream, owned = open_checked(path), True
        except FileRefused as refusal:
            hint = "; give a file, or - for standard input" if refusal.cause == "type" else ""
            raise _Failure(f"cannot read {_name(path)}: {refusal}{hint}", EXIT_USAGE) from None

    def lines() -> Iterator[bytes]:
        with stream if owned else contextlib.nullcontext():
            while line := stream.readline(DATA_LIMIT + 1):
                yield line

    return _name(path), lines()


def _request(raw: bytes, name: str, number: int) -> str:
    """Line `number` of the requests, without its line end, as text."""
    if len(raw) > DATA_LIMIT and not raw.endswith(b"\n"):
        raise _Failure(f"{name}:{number}: a request line longer than "
                       f"{describe_size(DATA_LIMIT)}; run reads one request per line",
                       EXIT_USAGE)
    raw = raw.removesuffix(b"\n").removesuffix(b"\r")
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError as error:
        column = len(raw[:error.start].decode("utf-8")) + 1
        raise _Failure(f"{name}:{number}:{column}: not UTF-8 text (byte "
                       f"0x{raw[error.start]:02x}); requests are JSON written in UTF-8",
                       EXIT_USAGE) from None



def _cmd_run(args: argparse.Namespace, out: _Writer, err: IO[str]) -> int:
    spec_name, spec = _read(args.spec, SPEC_LIMIT, "spec", "--spec")
    try:
        mellix = open_engine(spec.decode("utf-8"))
    except UnicodeDecodeError as error:
        raise _Failure(f"{spec_name}: not UTF-8: {error}", EXIT_USAGE) from None
    except MellixError as error:
        raise _Failure(_located(spec_name, error), EXIT_USAGE) from None
    name, lines = _requests(args.requests, err)
    status = EXIT_OK
    for number, raw in enumerate(lines, 1):
        line = _request(raw, name, number)
        if not line.strip(JSON_SPACE):
            continue
        if line.strip(JSON_SPACE) in ("{", "["):
            raise _Failure(
                f"{name}:{number}: a line holding only {line.strip()!r} starts a JSON text "
                "written over several lines; run reads one request per line (to build from a "
                f"feeds file, use: {PROG} build --spec SPEC --feeds FILE)", EXIT_USAGE)
        answer = mellix.command(line)
        out.write(answer + "\n")
        refusal = answer_error(answer)
        if refusal is not None:
            status = EXIT_REFUSED
            location = mellix.last_error_location()
            if isinstance(refusal, ParseError) and refusal.line is not None:
                err.write(f"{PROG}: {name}:{number}:{refusal.column}: parse: "
                          f"{shorten(refusal.description)}\n")
            elif location is not None:
                path, offset = location
                column = "" if offset is None else \
                    f"{line_column(line.encode('utf-8', 'surrogatepass'), offset)[1]}:"
                err.write(f"{PROG}: {name}:{number}:{column} {format_path(path)}: "
                          f"{rendering(refusal.kind, refusal.message)}\n")
            else:
                err.write(f"{PROG}: {name}:{number}: {refusal}\n")
    return status


# ---------------------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    def _print_message(self, message: str, file: SupportsWrite[str] | None = None) -> None:
        # argparse drops a write that fails; --help and --version to a full
        # disk must say so, as every other output does.
        if message and file is not None and file is sys.stdout:
            _Output(file).write(message)
        else:
            super()._print_message(message, file)

    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, f"{self.prog}: error: {shorten(message)}\n")


def _cmd_replay(args: argparse.Namespace, out: _Writer, err: IO[str]) -> int:
    market = _market(args.spec)
    name, feeds = _read(args.feeds, DATA_LIMIT, "feeds file", "--feeds")
    progress = _progress_bar(err) if err.isatty() else None
    try:
        replay = market.replay(feeds, at=args.at, every=args.every, reference=args.reference,
                               cut=args.cut, sentences=args.sentences, progress=progress)
    except MellixError as error:
        raise _Failure(_located(name, error), EXIT_REFUSED) from None
    finally:
        if progress is not None:
            err.write("\n")
    if args.output.endswith(".parquet"):
        _write_parquet(replay, args.output)
    else:
        _write_csv(replay, out if args.output == STDIN else None, args.output)
    err.write(f"{PROG}: {len(replay)} facts at {len(replay.moments)} moments\n")
    return EXIT_OK


def _cmd_report(args: argparse.Namespace, out: _Writer, err: IO[str]) -> int:
    market = _market(args.spec)
    name, feeds = _read(args.feeds, DATA_LIMIT, "feeds file", "--feeds")
    try:
        text = market.report(feeds)
    except ImportError as error:
        raise _Failure(str(error), EXIT_USAGE) from None
    except MellixError as error:
        raise _Failure(_located(name, error), EXIT_REFUSED) from None
    context = market.context
    assert context is not None
    if context.missing_symbols:
        err.write(f"{PROG}: note: {name} has no snapshot for "
                  f"{shorten(', '.join(context.missing_symbols))}\n")
    if args.output == STDIN:
        out.write(text)
    else:
        try:
            with open(args.output, "w", encoding="utf-8") as file:
                file.write(text)
        except OSError as error:
            raise _Failure(f"cannot write {shorten(args.output)}: {error.strerror}",
                           EXIT_REFUSED) from None
        err.write(f"{PROG}: {len(context.facts)} facts in {shorten(args.output)} "
                  f"({len(text.encode('utf-8')) / MiB:.1f} MiB)\n")
    return EXIT_OK


def _progress_bar(err: IO[str]) -> Callable[[int, int], None]:
    def show(done: int, total: int) -> None:
        filled = 30 * done // max(total, 1)
        err.write(f"\r{PROG}: replay [{'#' * filled}{'.' * (30 - filled)}] {done}/{total} moments")
        err.flush()
    return show


def _write_csv(replay: Replay, out: _Writer | None, path: str) -> None:
    """The replay as CSV: a header, then a row per fact."""
    import csv
    import io

    def write(stream: IO[str]) -> None:
        writer = csv.writer(stream, lineterminator="\n")
        columns = replay.columns()
        writer.writerow(columns)
        for row in zip(*columns.values()):
            writer.writerow([cell.value if isinstance(cell, FactKind) else
                             repr(cell) if isinstance(cell, float) else cell for cell in row])

    if out is not None:
        buffer = io.StringIO()
        write(buffer)
        out.write(buffer.getvalue())
        return
    try:
        with open(path, "w", encoding="utf-8", newline="") as file:
            write(file)
    except OSError as error:
        raise _Failure(f"cannot write {shorten(path)}: {error.strerror}", EXIT_REFUSED) from None


def _write_parquet(replay: Replay, path: str) -> None:
    import importlib.util

    if importlib.util.find_spec("pyarrow") is None:  # pandas writes Parquet through it
        raise _Failure("writing Parquet needs pyarrow (pip install pyarrow); or name a .csv "
                       "file", EXIT_USAGE)
    try:
        replay.to_pandas().to_parquet(path, index=False)
    except ImportError as error:  # no pandas: the text names its extra
        raise _Failure(f"writing Parquet: {error}; or name a .csv file", EXIT_USAGE) from None
    except OSError as error:
        raise _Failure(f"cannot write {shorten(path)}: {error.strerror}", EXIT_REFUSED) from None


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Build ranked market facts from feed snapshots and map questions to fact "
                    "lookups. FILE arguments may be - for standard input.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=_EXIT_CODES.format(refused="the engine refused the feeds, context or a request"))
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                     parser_class=_Parser)

    spec_help = "the spec: a JSON file, - for standard input, or the JSON text itself"
    feeds_help = "the feeds (symbol -> snapshot): a JSON file, -, or the JSON text itself"

    def command(name: str, summary: str, refused: str, *,
                inputs: tuple[str, ...] = ()) -> argparse.ArgumentParser:
        """A subcommand; `inputs` names the required ones of --spec and --feeds."""
        sub = commands.add_parser(name, help=summary, description=summary,
                                  formatter_class=argparse.RawDescriptionHelpFormatter,
                                  epilog=_EXIT_CODES.format(refused=refused))
        for option in inputs:
            sub.add_argument(f"--{option}", required=True, metavar=option.upper(),
                             help={"spec": spec_help, "feeds": feeds_help}[option])
        return sub

    table_help = "print a readable table instead of JSON"

    build = command("build", "Build the market context from feed snapshots and print it.",
                    "the engine refused the feeds", inputs=("spec", "feeds"))
    build_form = build.add_mutually_exclusive_group()
    build_form.add_argument("--table", action="store_true", help=table_help)
    build_form.add_argument("--explain", action="store_true",
                            help="print each fact with its evidence under it: the numbers its "
                                 "rule read and the threshold it crossed")
    build.set_defaults(run=_cmd_build)

    query = command("query", "Print the get_fact tool calls that answer a question.",
                    "the engine refused the feeds or the context", inputs=("spec",))
    query.add_argument("question", metavar="QUESTION")
    source = query.add_mutually_exclusive_group(required=True)
    source.add_argument("--feeds", metavar="FEEDS", help=feeds_help + "; built first")
    source.add_argument("--context", metavar="CONTEXT",
                        help="a context as `build` prints it: a JSON file, -, or the JSON text "
                             "itself")
    query.add_argument("--table", action="store_true",
                       help="print a table of the calls with the facts they resolve to")
    query.set_defaults(run=_cmd_query)

    demo = command("demo", "Build a context from the bundled sample market, query it and "
                           "resolve the calls.", "the engine refused the given feeds")
    demo.add_argument("--spec", metavar="SPEC", help="a spec file instead of the sample's")
    demo.add_argument("--feeds", metavar="FEEDS", help="a feeds file instead of the sample's")
    demo.set_defaults(run=_cmd_demo)

    run = command("run", "Run JSON requests, one per line (lines end at \\n only), printing "
                         "one JSON answer per line (errors also go to standard error with their "
                         "file and line). A line that is not UTF-8 stops the run with status 2.",
                  "at least one request was answered with an error", inputs=("spec",))
    run.add_argument("requests", nargs="?", default=STDIN, metavar="REQUESTS",
                     help="a file of JSON requests, one per line; - (the default) reads "
                          "standard input")
    run.set_defaults(run=_cmd_run)

    replay = command("replay", "The facts a build would answer at each moment of the feeds' "
                               "history, as a table (CSV, or Parquet with pyarrow).",
                     "the engine refused the feeds", inputs=("spec", "feeds"))
    moments = replay.add_mutually_exclusive_group(required=True)
    moments.add_argument("--every", type=int, metavar="N",
                         help="a moment at every N-th candle of the reference snapshot")
    moments.add_argument("--at", type=int, nargs="+", metavar="TS",
                         help="the moments, as timestamps in the feeds' unit")
    replay.add_argument("--reference", metavar="KEY",
                        help="the feeds key whose candles --every counts (default: the first "
                             "spec symbol that has a snapshot)")
    replay.add_argument("--cut", choices=("all", "window"), default="all",
                        help="funding, open interest and liquidations up to each moment "
                             "(all), or only inside its candle window")
    replay.add_argument("--sentences", action="store_true", help="add each fact's sentence")
    replay.add_argument("-o", "--output", default=STDIN, metavar="FILE",
                        help="the table: a .csv file, a .parquet file, or - (the default) for "
                             "CSV on standard output")
    replay.set_defaults(run=_cmd_replay)

    report = command("report", "Build the market context and write an HTML page that shows "
                               "each fact over the data it rests on (needs the report extra).",
                     "the engine refused the feeds, or the page could not be written",
                     inputs=("spec", "feeds"))
    report.add_argument("-o", "--output", required=True, metavar="FILE",
                        help="the page: an .html file, or - for standard output")
    report.set_defaults(run=_cmd_report)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the `mellix` command line; returns the exit status."""
    try:
        try:
            return _main(argv)
        finally:
            _flush_output()  # here, where a failed write can still be handled
    except BrokenPipeError:
        _discard_output()
        return EXIT_CLOSED_OUTPUT
    except _OutputRefused as refusal:
        _discard_output()
        print(f"{PROG}: cannot write to standard output: {refusal}", file=sys.stderr)
        return EXIT_REFUSED
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED


def _flush_output() -> None:
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as error:
        raise _OutputRefused(error) from None


def _discard_output() -> None:
    """Points standard output at the null device, as the Python documentation
    advises after a BrokenPipeError (and as fits a full disk): what is left in
    its buffer is then flushed there at exit, rather than failing again with a
    traceback."""
    try:
        fd = sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):
        return  # not a file (a test's capture): nothing is flushed at exit
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, fd)
    os.close(devnull)


def _main(argv: Sequence[str] | None) -> int:
    args = _parser().parse_args(argv)
    stdin_users = [value for value in (getattr(args, "spec", None), getattr(args, "feeds", None),
                                       getattr(args, "context", None),
                                       getattr(args, "requests", None)) if value == STDIN]
    if len(stdin_users) > 1:
        print(f"{PROG}: error: only one argument may read standard input (-)", file=sys.stderr)
        return EXIT_USAGE
    try:
        status: int = args.run(args, _Output(sys.stdout), sys.stderr)
    except _Failure as failure:
        print(f"{PROG}: {failure}", file=sys.stderr)
        return failure.status
    return status
