"""The documentation's Python examples run and print what the documentation
shows (scripts/lint type-checks them)."""

import contextlib
import io
import pathlib
import re

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

