"""Writes the fuzzers' seed corpus from the bundled sample data.

    .venv/bin/python fuzz/make_corpus.py      (with the package installed)

Each seed is a small, valid input: build requests over a few candles of the
sample snapshots (object and array forms), queries with and without a
supplied context, set_spec requests, and specs. The fuzzers start from these
and mutate them; libFuzzer keeps what reaches new code in its own corpus.
"""

from __future__ import annotations

import json
import pathlib
import shutil

from varnok_mellix import FactKind

HERE = pathlib.Path(__file__).resolve().parent
SAMPLES = HERE.parent / "samples"
KINDS = [kind.value for kind in FactKind]


def compact(value: object) -> str:
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def small_snapshot(snapshot: dict, candles: int, as_arrays: bool) -> dict | list:
    small = dict(snapshot)
    small["candles"] = snapshot["candles"][-candles:]
    for key in ("trades", "funding", "open_interest", "liquidations"):
        if key in small:
            small[key] = small[key][-3:]
    if "orderbook" in small:
        book = small["orderbook"]
        small["orderbook"] = {"ts": book["ts"], "bids": book["bids"][:3], "asks": book["asks"][:3]}
    if not as_arrays:
        return small
    fields = ["ts", "open", "high", "low", "close", "volume"]
    small["candles"] = [[c[f] for f in fields] for c in small["candles"]]
    return [small.get(k) for k in ("symbol", "candles", "orderbook", "trades", "funding",
                                   "open_interest", "liquidations")]


def seeds() -> dict[str, list[str]]:
    feeds = json.loads((SAMPLES / "feeds.json").read_text(encoding="utf-8"))
    spec = json.loads((SAMPLES / "spec.json").read_text(encoding="utf-8"))
    builds = []
    for as_arrays in (False, True):
        for symbols in (["BTC"], ["SOL", "ETH"], sorted(feeds)):
            small = {s: small_snapshot(feeds[s], 6, as_arrays) for s in symbols}
            builds.append(compact({"cmd": "build_context", "feeds": small}))
    context = {"facts": [{"kind": "price_move", "symbol": "SOL", "value": -8.5, "magnitude": 8.5,
                          "ts": 1733001140000, "human": "SOL dropped -8.50% over the last 20 bars."},
                         ["funding_flip", "BTC", 0.0003, 0.0004, 1, "x"]],
               "symbols": ["BTC", "SOL"], "lookback": 20}
    queries = [compact({"cmd": "query", "question": q}) for q in
               ("why did SOL dump?", "Is leverage building? Funding, open interest",
                "\u00c9TAT DU MARCH\u00c9 \u03a3")]
    queries.append(compact({"cmd": "query", "question": "order book", "context": context}))
    specs = [compact(spec), compact([spec["symbols"], 20, [{"oi_change": None}], None])]
    set_specs = [compact({"cmd": "set_spec", "spec": s}) for s in (spec, json.loads(specs[1]))]
    small = ['{"cmd":"version"}', '{"cmd":"reset"}']
    # Numbers at the edges of what each reader takes: a decimal of more digits
    # than a double holds, an integer beyond 64 bits, one beyond a double.
    numbers = ['{"cmd":"build_context","feeds":{"BTC":{"symbol":"BTC","candles":[],'
               '"funding":[[3,-0.01],[4,0.1844674407370955161602]]}}}',
               '{"cmd":"build_context","feeds":{"BTC":{"symbol":"BTC","candles":[],'
               '"open_interest":[[1,18446744073709551616],[2,1e308]]}}}']
    requests = builds + queries + set_specs + small + numbers
    return {"command_fuzzer": requests, "request_fuzzer": requests,
            "json_paths_fuzzer": requests + specs, "spec_fuzzer": specs}


def main() -> None:
    for target, texts in seeds().items():
        folder = HERE / "corpus" / target
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        for i, text in enumerate(texts):
            data = text.encode("utf-8")
            assert len(data) <= 4096, (target, i, len(data))
            (folder / f"seed-{i:02d}.json").write_bytes(data)


if __name__ == "__main__":
    main()
