"""The command-line driver, python -m varnok_mellix."""

import io
import subprocess
import sys

import pytest

from varnok_mellix import __version__
from varnok_mellix.__main__ import main

SPEC = '{"symbols":["BTC"],"lookback":20,"facts":["price_move"]}'
VERSION_REQUEST = '{"cmd":"version"}'
VERSION_ANSWER = '{"version":"%s"}' % __version__

UNKNOWN = '{"error":"bad spec: unknown cmd: Version","ok":false}'


@pytest.mark.parametrize(
    "spec_text, lines, status, out",
    [
        (SPEC, [VERSION_REQUEST, "", '{"cmd":"reset"}'], 0, [VERSION_ANSWER, '{"ok":true}']),
        (SPEC, ['{"cmd":"Version"}', VERSION_REQUEST], 1, [UNKNOWN, VERSION_ANSWER]),
        (SPEC + " trailing", [VERSION_REQUEST], 2, []),
    ],
)
def test_runs_each_line(monkeypatch, capsys, tmp_path, spec_text, lines, status, out):
    (tmp_path / "spec.json").write_text(spec_text, encoding="utf-8")
    (tmp_path / "commands.jsonl").write_text("\n".join(lines) + "\n", encoding="utf-8")
    monkeypatch.setattr(sys, "stdin", io.StringIO("\n".join(lines)))
    for source in ["-", str(tmp_path / "commands.jsonl")]:
        assert main(["--spec", str(tmp_path / "spec.json"), "--command", source]) == status
        captured = capsys.readouterr()
        assert captured.out.splitlines() == out
        assert captured.err.startswith("varnok-mellix: parse: ") == (status == 2)


def test_module_entry_point_help():
    done = subprocess.run([sys.executable, "-m", "varnok_mellix", "--help"],
                          capture_output=True, text=True, check=True)
    assert "--spec" in done.stdout and "--command" in done.stdout
