"""The main job on bundled sample data: build a market context, then query it.

Run through scripts/sample (which installs and builds first), or directly with
the package installed: python samples/demo.py
"""

import json
import pathlib

import varnok_mellix

HERE = pathlib.Path(__file__).parent


def show(title: str, answer: str) -> None:
    print(f"== {title}")
    print(json.dumps(json.loads(answer), indent=2, ensure_ascii=False))
    print()


def main() -> None:
    mellix = varnok_mellix.Mellix((HERE / "spec.json").read_text(encoding="utf-8"))
    feeds = json.loads((HERE / "feeds.json").read_text(encoding="utf-8"))

    show("version", mellix.command('{"cmd":"version"}'))
    show("a malformed request", mellix.command('{"cmd": "build_context", "feeds": '))
    show("build_context over samples/feeds.json",
         mellix.command(json.dumps({"cmd": "build_context", "feeds": feeds})))
    question = "Why did SOL dump, and is leverage building up anywhere?"
    show(f"query: {question}", mellix.command(json.dumps({"cmd": "query", "question": question})))


if __name__ == "__main__":
    main()
