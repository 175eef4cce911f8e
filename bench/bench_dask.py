"""Prints the time of a sharded build on a local Dask cluster, with 1 and with 2
worker processes, against one in-process build of the same data, and the
memory a worker needs per shard (a benchmark, not a test; needs the dask extra).

    .venv/bin/python bench/bench_dask.py [--symbols 200] [--candles 2000] [--shards 8] [--runs 5]

The data are the benchmarks' synthetic markets (_samples.generated_feeds),
with symbols dealt round the shards, each shard a compact JSON file; the
in-process build reads one file holding all of them. Every timing includes
reading the files. Ratios are against the in-process build measured in the
same run.
"""

from __future__ import annotations

import argparse
import functools
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable

import distributed

from bench import status_kb  # bench.py, beside this file
from varnok_mellix import FactKind, Market, merge_contexts
from varnok_mellix._samples import generated_feeds
from varnok_mellix.dask import Shard, _build_shard, build_context


def timings(fn: Callable[[], object], runs: int) -> tuple[float, float]:
    """min and median seconds of `runs` calls, after one unmeasured call."""
    fn()
    seconds = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        seconds.append(time.perf_counter() - start)
    return min(seconds), statistics.median(seconds)


def child(spec_path: str, shard: Shard) -> None:
    """Builds one shard as a worker does, in a fresh process, and prints the
    peak resident-set growth from before loading the shard to the end."""
    spec_json = pathlib.Path(spec_path).read_text(encoding="utf-8")
    Market(spec_json)  # the engine's one-time setup is not the shard's
    with open("/proc/self/clear_refs", "w", encoding="ascii") as refs:
        refs.write("5")  # reset the peak mark (Linux)
    before = status_kb("VmRSS")
    _build_shard(spec_json, shard)
    print(json.dumps({"growth_kb": status_kb("VmHWM") - before}))


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--symbols", type=int, default=200)
    parser.add_argument("--candles", type=int, default=2000)
    parser.add_argument("--shards", type=int, default=8)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--child", nargs=2, metavar=("SPEC", "SHARD"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        spec_path, shard = args.child
        child(spec_path, shard if shard.endswith(".json") else functools.partial(
            generated_feeds, range(0, args.symbols, args.shards), args.candles))
        return

    spec = json.dumps({"symbols": [f"SYM{n}" for n in range(args.symbols)], "lookback": 20,
                       "facts": list(FactKind)})
    with tempfile.TemporaryDirectory() as folder:
        root = pathlib.Path(folder)
        (root / "spec.json").write_text(spec, encoding="utf-8")
        paths = []
        for k in range(args.shards):
            feeds = generated_feeds(range(k, args.symbols, args.shards), args.candles)
            paths.append(root / f"shard-{k}.json")
            paths[-1].write_text(json.dumps(feeds, separators=(",", ":")), encoding="utf-8")
        whole = root / "all.json"
        whole.write_text(json.dumps(generated_feeds(range(args.symbols), args.candles),
                                    separators=(",", ":")), encoding="utf-8")
        mb = whole.stat().st_size / 1e6
        print(f"{args.symbols} symbols x {args.candles} candles = {mb:.1f} MB of feeds in "
              f"{args.shards} shards; {os.cpu_count()} cores; min / median of {args.runs} runs")

        market = Market(spec)
        anchor = timings(lambda: market.build(whole.read_bytes()), args.runs)
        single = market.build(whole.read_bytes()).to_json()
        print(f"in-process build           {anchor[0] * 1e3:8.1f} / {anchor[1] * 1e3:8.1f} ms")

        texts = [Market(spec).build(path.read_bytes()).to_json() for path in paths]
        merge = timings(lambda: merge_contexts(texts).to_json(), args.runs)
        facts = len(json.loads(single)["facts"])
        print(f"merging the shard contexts {merge[0] * 1e3:8.1f} / {merge[1] * 1e3:8.1f} ms "
              f"({facts} facts)")

        for workers in (1, 2):
            with distributed.Client(n_workers=workers, threads_per_worker=1,
                                    dashboard_address=None) as client:
                sharded = timings(lambda: build_context(client, spec, paths), args.runs)
                assert build_context(client, spec, paths).to_json() == single
                empty = [dict] * 64
                fixed = timings(lambda: build_context(client, spec, empty), args.runs)
                idle_mb = max(client.run(status_kb, "VmRSS").values()) / 1024
            print(f"sharded, {workers} worker(s)        {sharded[0] * 1e3:8.1f} / "
                  f"{sharded[1] * 1e3:8.1f} ms   x{sharded[0] / anchor[0]:.2f} / "
                  f"x{sharded[1] / anchor[1]:.2f} the in-process build")
            print(f"  64 empty shards         {fixed[0] * 1e3:8.1f} / {fixed[1] * 1e3:8.1f} ms"
                  f"   ({fixed[0] / 64 * 1e3:.2f} ms a shard); a worker's RSS {idle_mb:.0f} MB")

        shard_mb = paths[0].stat().st_size / 1e6
        for shard, made in ((str(paths[0]), "read from its file"),
                            ("mapping", "made as a mapping on the worker")):
            out = subprocess.run([sys.executable, __file__, *sys.argv[1:], "--child",
                                  str(root / "spec.json"), shard],
                                 check=True, capture_output=True, text=True).stdout
            growth_mb = json.loads(out)["growth_kb"] / 1024
            print(f"one shard ({shard_mb:.1f} MB of JSON), {made}: a worker's peak RSS grew "
                  f"{growth_mb:.1f} MB ({growth_mb / shard_mb:.1f}x its JSON)")

if __name__ == "__main__":
    main()
