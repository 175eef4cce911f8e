"""Prints timings of the Python-facing hot paths (a benchmark, not a test).

    .venv/bin/python bench/bench.py [--symbols 200] [--candles 2000]

- a tiny command against json.loads of the same text;
- a build of a large request (about 30 MB by default) against json.loads of
  the same text, and the resident-set growth it causes;
- the same build pinned to one core and to every core (in child processes).
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import timeit

import varnok_mellix
from varnok_mellix._samples import generated_feeds

KINDS = ["price_move", "orderbook_imbalance", "liquidation_cluster", "funding_flip",
         "oi_change", "volatility_spike"]


def make_request(symbols: int, candles: int) -> tuple[str, str]:
    feeds = generated_feeds(range(symbols), candles)
    spec = json.dumps({"symbols": list(feeds), "lookback": 20, "facts": KINDS})
    return spec, json.dumps({"cmd": "build_context", "feeds": feeds}, separators=(",", ":"))


def best(fn, repeat: int, number: int) -> float:
    return min(timeit.repeat(fn, repeat=repeat, number=number)) / number


def status_kb(field: str) -> int:
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def child(path: str) -> None:
    """Builds the request stored at `path` and reports time and memory growth."""
    with open(path, encoding="utf-8") as f:
        spec, request = f.read().split("\n", 1)
    mellix = varnok_mellix.Mellix(spec)
    # Reset the peak-RSS mark (Linux) so that it covers the build alone.
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")
    before = status_kb("VmRSS")
    mellix.command(request)
    after = status_kb("VmHWM")
    seconds = best(lambda: mellix.command(request), repeat=5, number=1)
    print(json.dumps({"seconds": seconds, "rss_growth_kb": after - before}))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--symbols", type=int, default=200)
    parser.add_argument("--candles", type=int, default=2000)
    parser.add_argument("--child", metavar="FILE", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child)
        return

    spec, request = make_request(args.symbols, args.candles)
    mellix = varnok_mellix.Mellix(spec)

    tiny = '{"cmd":"version"}'
    t_cmd = best(lambda: mellix.command(tiny), repeat=7, number=20000)
    t_loads = best(lambda: json.loads(tiny), repeat=7, number=20000)
    print(f"tiny command      {t_cmd * 1e9:9.0f} ns   json.loads of it {t_loads * 1e9:7.0f} ns"
          f"   ratio {t_cmd / t_loads:.2f}")

    t_build = best(lambda: mellix.command(request), repeat=5, number=1)
    t_loads_big = best(lambda: json.loads(request), repeat=3, number=1)
    mb = len(request) / 1e6
    print(f"build {mb:5.1f} MB     {t_build * 1e3:9.1f} ms   json.loads of it {t_loads_big * 1e3:7.1f} ms"
          f"   ({mb / t_build:.0f} MB/s)")

    with tempfile.NamedTemporaryFile("w", suffix=".json", encoding="utf-8") as f:
        f.write(spec + "\n" + request)
        f.flush()
        for workers in sorted({1, os.cpu_count() or 1}):
            # oneTBB sizes its pool from the process's CPU affinity: pinning the
            # child to N cores gives a pool of N.
            cores = ",".join(str(c) for c in range(workers))
            out = subprocess.run(["taskset", "-c", cores, sys.executable, __file__, "--child",
                                  f.name], check=True, capture_output=True, text=True).stdout
            result = json.loads(out)
            print(f"build on {workers} core(s): {result['seconds'] * 1e3:9.1f} ms; peak RSS grew "
                  f"{result['rss_growth_kb'] / 1024:.1f} MB during the first build "
                  f"({result['rss_growth_kb'] / 1024 / mb:.2f}x the request)")


if __name__ == "__main__":
    main()
