"""The README and docs/ as a new user meets them: every Python example runs on
its own, in a fresh namespace, and prints what the page shows after it; every
link between the pages leads to a file and a heading that exist; the README
stays short; the package's URLs point at pages of the repository."""

import contextlib
import io
import pathlib
import re
import tomllib

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
README = REPO / "README.md"
PAGES = [README, *sorted((REPO / "docs").glob("*.md"))]
FENCED = re.compile(r"^```(\w*)\n(.*?)^```", re.MULTILINE | re.DOTALL)
LINK = re.compile(r"(?<!!)\[[^\]\n]*\]\(([^)\s]+)\)")


def examples():
    """(page, number, code, the text block after it or None) of every python block."""
    for page in PAGES:
        blocks = FENCED.findall(page.read_text(encoding="utf-8"))
        number = 0
        for i, (language, code) in enumerate(blocks):
            if language == "python":
                number += 1
                after = blocks[i + 1] if i + 1 < len(blocks) else ("", "")
                yield pytest.param(page, number, code, after[1] if after[0] == "text" else None,
                                   id=f"{page.name} {number}")


@pytest.mark.parametrize("page, number, code, shown", list(examples()))
def test_each_example_runs_alone_and_prints_what_the_page_shows(monkeypatch, tmp_path, page,
                                                                 number, code, shown):
    monkeypatch.chdir(tmp_path)  # examples may write files
    namespace = {"__name__": "__example__"}
    printed = io.StringIO()
    try:
        with contextlib.redirect_stdout(printed):
            exec(compile(code, f"{page.name}, python block {number}", "exec"), namespace)
    finally:
        # The examples' functions hold the namespace in a cycle; clear it here so
        # that their Mellix objects go on this thread.
        namespace.clear()
    if shown is not None:
        assert printed.getvalue() == shown


def slug(heading):
    """The anchor GitHub gives a heading."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def anchors(page):
    text = FENCED.sub("", page.read_text(encoding="utf-8"))
    found, seen = set(), {}
    for heading in re.findall(r"^#{1,6} (.+)$", text, re.MULTILINE):
        base = slug(heading)
        found.add(base if base not in seen else f"{base}-{seen[base]}")
        seen[base] = seen.get(base, 0) + 1
    return found


@pytest.mark.parametrize("page", PAGES, ids=lambda page: page.name)
def test_every_link_leads_to_a_page_and_heading_that_exist(page):
    links = LINK.findall(FENCED.sub("", page.read_text(encoding="utf-8")))
    assert links or page.name != "README.md"
    for link in links:
        if re.match(r"[a-z]+:", link):
            assert link.startswith(("https://", "mailto:")), link
            continue
        path, _, anchor = link.partition("#")
        target = (page.parent / path).resolve() if path else page
        assert target.exists(), f"{page.name}: {link}"
        if anchor:
            assert target.suffix == ".md" and anchor in anchors(target), f"{page.name}: {link}"


def test_the_readme_is_short_and_reaches_every_page_of_docs():
    assert README.stat().st_size <= 15 * 1024
    linked = {(README.parent / link.partition("#")[0]).resolve()
              for link in LINK.findall(README.read_text(encoding="utf-8"))}
    assert set(PAGES[1:]) <= linked


def test_the_package_urls_point_at_pages_of_the_repository():
    urls = tomllib.loads((REPO / "pyproject.toml").read_text())["project"]["urls"]
    assert set(urls) == {"Homepage", "Documentation", "Changelog", "Issues"}
    assert all(url.startswith("https://") for url in urls.values())
    home = urls["Homepage"].rstrip("/")
    for name in ("Documentation", "Changelog"):
        assert urls[name].startswith(home + "/blob/main/")
        assert (REPO / urls[name].removeprefix(home + "/blob/main/")).is_file(), name
    assert urls["Issues"] == home + "/issues"
