"""Replay figures: a replay of many moments against one build of the same
request, the replay's peak memory against the request's size, and the wall
time of a year of one-minute candles.

    .venv/bin/python bench/bench_replay.py [--repeat 5] [--skip-year]

Ratios are taken in the same run (the machine is shared and noisy); each
prints its min and median over the repeats.
"""

from __future__ import annotations

import argparse
import gc
import json
import statistics
import time

import numpy as np

from varnok_mellix import Market, _samples

MINUTE = 60_000


def status_mib(key: str) -> float:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(key):
                return int(line.split()[1]) / 1024
    raise KeyError(key)


def peak_growth_mib(run) -> float:
    """How far the resident set grew above where it stood, while `run` ran."""
    gc.collect()
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # restarts the peak
    before = status_mib("VmRSS")
    result = run()
    growth = status_mib("VmHWM") - before
    del result
    return growth


def timed(run) -> float:
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def figure(name: str, values: list[float], unit: str = "") -> None:
    print(f"{name:58} min {min(values):8.2f}{unit}  median {statistics.median(values):8.2f}{unit}")


def medium(repeat: int) -> None:
    feeds = _samples.generated_feeds(range(200), 1000)
    spec = {"symbols": sorted(feeds), "lookback": 20, "facts": _samples.SPEC["facts"]}
    text = json.dumps(feeds).encode()
    del feeds
    market = Market(spec)
    market.build(text)
    ratios, builds, replays = [], [], []
    for _ in range(repeat):
        build = timed(lambda: market.build(text))
        replay = timed(lambda: market.replay(text, every=1))
        builds.append(build * 1e3)
        replays.append(replay * 1e3)
        ratios.append(replay / build)
    replay = market.replay(text, every=1)
    print(f"medium request: {len(text) / 2**20:.1f} MiB, 200 symbols x 1,000 candles; "
          f"{len(replay.moments)} moments, {len(replay):,} facts")
    figure("one build (ms)", builds)
    figure("replay of 1,000 moments (ms)", replays)
    figure("replay / build", ratios)
    growth = [peak_growth_mib(lambda: market.replay(text, every=1)) for _ in range(3)]
    figure("replay: peak RSS growth / request", [g / (len(text) / 2**20) for g in growth])
    growth = [peak_growth_mib(lambda: market.build(text)) for _ in range(3)]
    figure("(build: peak RSS growth / request)", [g / (len(text) / 2**20) for g in growth])


def year_of_minutes(symbols: int = 20) -> None:
    """A year of one-minute candles for each symbol, funding every 8 hours,
    open interest hourly and a liquidation every half hour."""
    minutes = 365 * 24 * 60
    start = _samples.T0
    ts = start + np.arange(minutes, dtype=np.int64) * MINUTE
    generator = np.random.default_rng(7)
    parts = []
    for s in range(symbols):
        closes = 100.0 * np.exp(np.cumsum(generator.normal(0, 1e-3, minutes)))
        candles = ",".join(f"[{t},{c:.4f},{c * 1.001:.4f},{c * 0.999:.4f},{c:.4f},1]"
                           for t, c in zip(ts.tolist(), closes.tolist()))
        funding = ",".join(f"[{t},{r:.6f}]" for t, r in
                           zip(ts[::480].tolist(), generator.normal(0, 1e-4, minutes // 480 + 1)))
        oi = ",".join(f"[{t},{v:.1f}]" for t, v in
                      zip(ts[::60].tolist(), 1e6 + np.cumsum(generator.normal(0, 1e3,
                                                                              minutes // 60))))
        sides = generator.integers(0, 2, minutes // 30)
        liquidations = ",".join(f'[{t},"{"long" if side else "short"}",{c:.2f},0.5]' for t, side, c
                                in zip(ts[::30].tolist(), sides.tolist(), closes[::30].tolist()))
        parts.append(f'"S{s}":{{"symbol":"S{s}","candles":[{candles}],"funding":[{funding}],'
                     f'"open_interest":[{oi}],"liquidations":[{liquidations}]}}')
    text = ("{" + ",".join(parts) + "}").encode()
    del parts
    market = Market({"symbols": [f"S{s}" for s in range(symbols)], "lookback": 60,
                     "facts": _samples.SPEC["facts"]})
    build = timed(lambda: market.build(text))
    for cut in ("all", "window"):
        start_time = time.perf_counter()
        replay = market.replay(text, every=60, cut=cut)
        wall = time.perf_counter() - start_time
        print(f"a year of minutes ({len(text) / 2**20:.0f} MiB, {symbols} symbols x {minutes:,} "
              f"candles), every 60 candles, cut={cut}: {len(replay.moments):,} moments, "
              f"{len(replay):,} facts in {wall:.1f} s (one build: {build:.1f} s)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--skip-year", action="store_true")
    args = parser.parse_args()
    medium(args.repeat)
    if not args.skip_year:
        year_of_minutes()


if __name__ == "__main__":
    main()
