"""The main job on bundled sample data: build a market context, then query it.

Run through scripts/sample (which installs and builds first), or directly with
the package installed: python samples/demo.py
"""

import json
import pathlib

import varnok_mellix

HERE = pathlib.Path(__file__).parent
QUESTION = "Why did SOL dump, and is leverage building up anywhere?"


def main() -> None:
    spec_text = (HERE / "spec.json").read_text(encoding="utf-8")
    feeds = json.loads((HERE / "feeds.json").read_text(encoding="utf-8"))
    mellix = varnok_mellix.Mellix(spec_text)
    print(f"varnok-mellix {varnok_mellix.__version__}; spec: {json.dumps(json.loads(spec_text))}")
    malformed = '{"cmd": "build_context", '
    print(f"a malformed request answers: {mellix.command(malformed)}")
    print()

    answer = mellix.command(json.dumps({"cmd": "build_context", "feeds": feeds}))
    context = json.loads(answer)
    print(f"build_context over {len(feeds)} snapshots -> {len(answer)} bytes of JSON; "
          f"symbols {context['symbols']}, lookback {context['lookback']}")
    print(f"  {'rank':>4}  {'kind':<20} {'symbol':<6} {'magnitude':>12}  sentence")
    for rank, fact in enumerate(context["facts"], 1):
        print(f"  {rank:>4}  {fact['kind']:<20} {fact['symbol']:<6} {fact['magnitude']:>12}"
              f"  {fact['human']}")
    print()

    answer = mellix.command(json.dumps({"cmd": "query", "question": QUESTION}))
    print(f"query {QUESTION!r} -> {answer}")
    for call in json.loads(answer)["tool_calls"]:
        print(f"  {call['tool']}(kind={call['kind']!r}, symbol={call['symbol']!r})")


if __name__ == "__main__":
    main()
