"""The documentation's Python examples run and print what the documentation
shows; the package and the examples pass mypy --strict and stubtest."""

import contextlib
import io
import pathlib
import re
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
DOCS = [REPO / "README.md", *sorted((REPO / "docs").glob("*.md"))]
FENCED = re.compile(r"^```(\w*)\n(.*?)^```", re.MULTILINE | re.DOTALL)


def python_blocks(doc):
    """(code, shown output or None) of each python block; a text block right
    after a python block is its output."""
    blocks = FENCED.findall(doc.read_text(encoding="utf-8"))
    return [(body, blocks[i + 1][1] if i + 1 < len(blocks) and blocks[i + 1][0] == "text"
             else None)
            for i, (language, body) in enumerate(blocks) if language == "python"]


@pytest.mark.parametrize("doc", DOCS, ids=lambda doc: doc.name)
def test_examples_print_what_the_docs_show(monkeypatch, tmp_path, doc):
    monkeypatch.chdir(tmp_path)
    blocks = python_blocks(doc)
    assert blocks or doc.name != "README.md"
    namespace = {"__name__": "__example__"}
    try:
        for number, (code, shown) in enumerate(blocks, 1):
            printed = io.StringIO()
            with contextlib.redirect_stdout(printed):
                exec(compile(code, f"{doc.name}, python block {number}", "exec"), namespace)
            if shown is not None:
                assert printed.getvalue() == shown, f"{doc.name}, python block {number}"
    finally:
        # The examples' functions hold the namespace in a cycle; clear it here so
        # that their Mellix objects go on this thread, not in a later collection
        # on whichever thread runs it.
        namespace.clear()


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    """One cache for both mypy runs: they share most of what mypy loads."""
    return str(tmp_path_factory.mktemp("mypy-cache"))


@pytest.mark.parametrize("command", [
    ["mypy", "--strict", "-p", "varnok_mellix"],
    ["mypy", "--strict", "examples"],
    ["mypy.stubtest", "varnok_mellix"],
], ids=["mypy package", "mypy examples", "stubtest"])
def test_types_check(tmp_path, mypy_cache, command):
    (tmp_path / "examples").mkdir()
    for doc in DOCS:
        code = "\n".join(body for body, _ in python_blocks(doc))
        (tmp_path / "examples" / f"{doc.stem.lower()}.py").write_text(code, encoding="utf-8")
    if command[0] == "mypy":
        command = [*command, "--cache-dir", mypy_cache]
    done = subprocess.run([sys.executable, "-m", *command], cwd=tmp_path, capture_output=True,
                          text=True, check=False)
    assert done.returncode == 0, done.stdout + done.stderr
