"""Command-line driver: run JSON commands against one Mellix instance.

    python -m varnok_mellix --spec SPEC.json [--command FILE|-]
    varnok-mellix --spec SPEC.json [--command FILE|-]

The spec file holds one JSON document. The commands are read one
JSON request per line (blank lines are skipped) from FILE, or from standard
input when FILE is "-" or left out; each answer is printed on its own line.

Exit status: 0 when every command succeeded, 1 when any answer was an error
envelope, 2 for a refused spec or an unreadable file.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Iterable, Sequence
from typing import TextIO

from . import Mellix, __version__


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="varnok-mellix",
        description="Create a Mellix from a spec file and run JSON commands, "
        "one request per line, printing one JSON answer per line.",
    )
    parser.add_argument("--spec", required=True, metavar="FILE",
                        help="file holding the spec JSON")
    parser.add_argument("--command", default="-", metavar="FILE",
                        help='file of JSON requests, one per line; "-" (the default) '
                             "reads standard input")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    return parser


def run(mellix: Mellix, requests: Iterable[str], out: TextIO) -> bool:
    """Runs every non-blank line as a request; returns True when none failed."""
    all_ok = True
    for line in requests:
        request = line.rstrip("\r\n")
        if not request.strip():
            continue
        answer = mellix.command(request)
        out.write(answer + "\n")
        if "error" in json.loads(answer):
            all_ok = False
    return all_ok


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        with open(args.spec, encoding="utf-8") as spec_file:
            mellix = Mellix(spec_file.read())
        if args.command == "-":
            all_ok = run(mellix, sys.stdin, sys.stdout)
        else:
            with open(args.command, encoding="utf-8") as requests:
                all_ok = run(mellix, requests, sys.stdout)
    except (OSError, ValueError) as error:  # ValueError: a refused spec or bad UTF-8
        print(f"varnok-mellix: {error}", file=sys.stderr)
        return 2
    return 0 if all_ok else 1


if __name__ == "__main__":
    sys.exit(main())
