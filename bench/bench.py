"""Prints the build's figures against anchors measured in the same run (a benchmark, not a test).

    .venv/bin/python bench/bench.py [--sizes small,medium,large] [--repeat 7] [--build-only]

Requests come from one generator in three sizes: small = 20 symbols x 100
candles, medium = 200 x 1,000, large = 2,000 x 1,000. The anchors are a bare
simdjson DOM parse of the same text, already padded, with a reused parser (a
small C++ program, bench/simdjson_anchor.cpp, compiled here on first use),
`orjson.loads` and `json.loads`; the build from the request's Python objects
(`command_object`) is measured against the build from its text. Each timed figure is a ratio of wall times
taken in this run: min and median over the repeats. The build, the bare parse and
`orjson.loads` are measured in turn, round after round, and their figures are the
min and median of the rounds' ratios. Figures about a first
build or about memory run in a fresh child process each, so that nothing
earlier in this run is warm or resident.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import varnok_mellix

try:
    import orjson
except ImportError:  # the figure is then left out
    orjson = None

HERE = Path(__file__).resolve().parent
KINDS = [kind.value for kind in varnok_mellix.FactKind]
SIZES = {"small": (20, 100), "medium": (200, 1000), "large": (2000, 1000)}
MIB = 1024 * 1024


def snapshot_text(s: int, candles: int) -> str:
    """One symbol's snapshot: mostly candles, a 50-level book, trades, funding, open interest
    (as [ts, oi] arrays) and liquidations, with floats written as Python writes them."""
    t0 = 1_733_000_000_000
    rows = []
    for i in range(candles):
        close = 100.0 + (i % 97) * 0.37 + s * 0.01 + (i % 7 if i > candles - 40 else 0)
        rows.append(f'{{"ts":{t0 + i * 60_000},"open":{close - 0.25!r},'
                    f'"high":{close + 1.5!r},"low":{close - 1.5!r},"close":{close!r},'
                    f'"volume":{10 + (i * 7919) % 1000 / 8},"count":{1000 + (i * 31) % 9000}}}')
    bids = ",".join(f"[{100.0 - k * 0.05 - s * 0.001!r},{1 + k % 9 * 0.25}]" for k in range(50))
    asks = ",".join(f"[{100.05 + k * 0.05 + s * 0.001!r},{1 + k % 7 * 0.5}]" for k in range(50))
    trades = ",".join(f'{{"ts":{t0 + k * 1_000},"price":{100.0 + (k % 13) * 0.01!r},'
                      f'"qty":{0.001 * (1 + k % 50)!r},"buyer_maker":{"true" if k % 3 else "false"}}}'
                      for k in range(330))
    funding = ",".join(f'{{"ts":{t0 + k * 28_800_000},"rate":{(k % 5 - 2) * 1e-4!r}}}' for k in range(30))
    oi = ",".join(f"[{t0 + k * 300_000},{1_000_000 + k * 1_234.5!r}]" for k in range(100))
    liq = ",".join(f'{{"ts":{t0 + k * 60_000},"side":"{"long" if k % 3 else "short"}",'
                   f'"price":{100.0 - k * 0.1!r},"qty":{1 + k}}}' for k in range(20))
    return (f'{{"symbol":"SYM{s}","candles":[{",".join(rows)}],'
            f'"orderbook":{{"ts":{t0},"bids":[{bids}],"asks":[{asks}]}},'
            f'"trades":[{trades}],"funding":[{funding}],"open_interest":[{oi}],'
            f'"liquidations":[{liq}]}}')


def make_request(symbols: int, candles: int) -> tuple[str, str]:
    spec = json.dumps({"symbols": [f"SYM{s}" for s in range(symbols)], "lookback": 20,
                       "facts": KINDS})
    feeds = ",".join(f'"SYM{s}":{snapshot_text(s, candles)}' for s in range(symbols))
    return spec, '{"cmd":"build_context","feeds":{' + feeds + "}}"


def times(fn, repeat: int, number: int = 1, cpu: list[float] | None = None) -> list[float]:
    """Wall seconds per call, one figure per repeat; process CPU seconds into `cpu`."""
    out = []
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        for _ in range(number):
            fn()
        out.append((time.perf_counter() - start) / number)
        if cpu is not None:
            cpu.append((time.process_time() - start_cpu) / number)
    return out


def status_kb(field: str) -> int:
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def reset_peak() -> None:
    """Resets the peak-RSS mark (Linux), so that VmHWM covers what follows."""
    with open("/proc/self/clear_refs", "w", encoding="ascii") as refs:
        refs.write("5")


# ---- child processes --------------------------------------------------------


def child(kind: str, path: str, repeat: int) -> dict:
    with open(path, encoding="utf-8") as f:
        spec, request = f.read().split("\n", 1)
    if kind == "spec":  # the constructor, given `spec` as its text
        before = status_kb("VmRSS")
        reset_peak()
        mellix = varnok_mellix.Mellix(spec)
        return {"held_kb": status_kb("VmRSS") - before, "peak_kb": status_kb("VmHWM") - before}
    mellix = varnok_mellix.Mellix(spec)
    run = mellix.command
    if kind == "objects":  # the request as the Python objects it holds
        request, run = json.loads(request), mellix.command_object
    before = status_kb("VmRSS")
    reset_peak()
    start = time.perf_counter()
    run(request)
    first = time.perf_counter() - start
    result = {"first": first, "peak_kb": status_kb("VmHWM") - before,
              "held_kb": status_kb("VmRSS") - before}
    later = times(lambda: run(request), repeat)
    result["later"] = later
    result["held_kb"] = max(result["held_kb"], status_kb("VmRSS") - before)
    return result


def run_child(kind: str, spec: str, request: str, repeat: int = 3) -> dict:
    with tempfile.NamedTemporaryFile("w", suffix=".json", encoding="utf-8") as f:
        f.write(spec + "\n" + request)
        f.flush()
        out = subprocess.run([sys.executable, __file__, "--child", kind, f.name,
                              "--repeat", str(repeat)],
                             check=True, capture_output=True, text=True).stdout
    return json.loads(out)


# ---- anchors ------------------------------------------------------------------


def anchor_program() -> Path:
    exe = HERE.parent / "build" / "bench-anchor" / "simdjson_anchor"
    source = HERE / "simdjson_anchor.cpp"
    if not exe.exists() or exe.stat().st_mtime < source.stat().st_mtime:
        exe.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run([os.environ.get("CXX", "c++"), "-O3", "-std=c++17", str(source),
                        "-lsimdjson", "-o", str(exe)], check=True)
    return exe


def simdjson_parse(path: str, number: int) -> tuple[float, float]:
    """Wall and CPU seconds of a bare DOM parse of the file at `path`, the mean of `number`."""
    out = json.loads(subprocess.run([str(anchor_program()), path, str(number)], check=True,
                                    capture_output=True, text=True).stdout)
    return statistics.fmean(out["seconds"]), statistics.fmean(out["cpu_seconds"])


def in_turn(mellix, request: str, repeat: int, number: int) -> dict[str, list[float]]:
    """The build's wall and CPU seconds, the bare parse's and those of `orjson.loads`, one
    figure each per round, measured in turn round after round so that all see the machine
    alike (it is shared and its speed drifts)."""
    out: dict[str, list[float]] = {"build": [], "build_cpu": [], "anchor": [], "anchor_cpu": [],
                                   "orjson": []}
    with tempfile.NamedTemporaryFile("w", suffix=".json", encoding="utf-8") as f:
        f.write(request)
        f.flush()
        for _ in range(repeat):
            out["build"] += times(lambda: mellix.command(request), 1, number, out["build_cpu"])
            wall, cpu = simdjson_parse(f.name, number)
            out["anchor"].append(wall)
            out["anchor_cpu"].append(cpu)
            if orjson is not None:
                out["orjson"] += times(lambda: orjson.loads(request), 1, number)
    return out


# ---- report -------------------------------------------------------------------


def ratio(a: list[float], b: list[float]) -> str:
    """min and median of a ÷ the same of b."""
    return f"{min(a) / min(b):.2f} / {statistics.median(a) / statistics.median(b):.2f}"


def paired(a: list[float], b: list[float]) -> str:
    """min and median of a ÷ b round by round, for figures measured in turn."""
    ratios = [x / y for x, y in zip(a, b, strict=True)]
    return f"{min(ratios):.2f} / {statistics.median(ratios):.2f}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="small,medium,large")
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--build-only", action="store_true",
                        help="only the build against the bare parse (comparing two builds)")
    parser.add_argument("--child", nargs=2, metavar=("KIND", "FILE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(child(*args.child, args.repeat)))
        return

    rows: dict[str, dict[str, str]] = {}

    def put(figure: str, size: str, value: str) -> None:
        rows.setdefault(figure, {})[size] = value

    sizes = [s for s in args.sizes.split(",") if s]
    mbps = {}
    for size in sizes:
        symbols, candles = SIZES[size]
        spec, request = make_request(symbols, candles)
        mb = len(request) / 1e6
        repeat = args.repeat if size != "large" else max(3, args.repeat // 2)
        number = 20 if size == "small" else 1
        mellix = varnok_mellix.Mellix(spec)
        mellix.command(request)  # warm
        measured = in_turn(mellix, request, repeat, number)
        build = measured["build"]
        put("request size (MB)", size, f"{mb:.1f}")
        put("build: ms (min / median)", size,
            f"{min(build) * 1e3:.1f} / {statistics.median(build) * 1e3:.1f}")
        put("build ÷ bare simdjson DOM parse (reused parser)", size,
            paired(build, measured["anchor"]))
        put("the same in CPU time (all threads) ÷ the parse's", size,
            paired(measured["build_cpu"], measured["anchor_cpu"]))
        if args.build_only:
            continue
        if orjson is not None:
            put("`orjson.loads` ÷ build", size, paired(measured["orjson"], build))
        loads = times(lambda: json.loads(request), max(2, repeat // 2), number)
        put("`json.loads` ÷ build", size, ratio(loads, build))
        mbps[size] = [mb / t for t in build]
        objects = json.loads(request)
        from_objects = times(lambda: mellix.command_object(objects), repeat, number)
        put("dict → context (`command_object`) ÷ build from text", size,
            ratio(from_objects, build))
        if size != "large":  # what a dict cost before: written as text, then built
            dumps = times(lambda: mellix.command(json.dumps(objects)), max(2, repeat // 2), number)
            put("dict → context through `json.dumps` ÷ build from text", size, ratio(dumps, build))
            if orjson is not None:
                dumps = times(lambda: mellix.command(orjson.dumps(objects).decode()), repeat,
                              number)
                put("dict → context through `orjson.dumps` ÷ build from text", size,
                    ratio(dumps, build))
        del objects
        put("build MB/s (max / median)", size,
            f"{max(mbps[size]):.0f} / {statistics.median(mbps[size]):.0f}")
        del mellix

        fresh = [run_child("build", spec, request) for _ in range(3)]
        firsts = [f["first"] / statistics.median(f["later"]) for f in fresh]
        put("first build in a new process ÷ a later build", size,
            f"{min(firsts):.2f} / {statistics.median(firsts):.2f}")
        put("peak RSS growth during a build ÷ request", size,
            f"{min(f['peak_kb'] for f in fresh) * 1024 / len(request):.2f}")
        put("held after the command, beyond spec and context (MiB)", size,
            f"{max(f['held_kb'] for f in fresh) / 1024:.1f}")
        from_objects = [run_child("objects", spec, request, repeat=1) for _ in range(2)]
        put("peak RSS growth during a build: from objects ÷ from text", size,
            f"{min(f['peak_kb'] for f in from_objects) / min(f['peak_kb'] for f in fresh):.2f}")

        broken = run_child("build", spec, request[:-1], repeat=max(2, repeat // 2))
        put("malformed (last byte missing) ÷ valid build: time", size,
            ratio(broken["later"], build))
        put("malformed: peak RSS growth ÷ request", size,
            f"{broken['peak_kb'] * 1024 / len(request):.2f}")
        put("malformed: held after the command (MiB)", size, f"{broken['held_kb'] / 1024:.1f}")

    if "small" in mbps and "medium" in mbps:
        put("MB/s small ÷ MB/s medium", "medium",
            f"{max(mbps['small']) / max(mbps['medium']):.2f} / "
            f"{statistics.median(mbps['small']) / statistics.median(mbps['medium']):.2f}")

    if args.build_only:
        print_table(rows, [c for c in SIZES if c in sizes])
        return

    # The smallest command against json.loads of its own text.
    spec, _ = make_request(2, 1)
    mellix = varnok_mellix.Mellix(spec)
    tiny = '{"cmd":"version"}'
    t_cmd = times(lambda: mellix.command(tiny), args.repeat, 20000)
    t_loads = times(lambda: json.loads(tiny), args.repeat, 20000)
    put("`command('{\"cmd\":\"version\"}')` ÷ `json.loads` of it", "small", ratio(t_cmd, t_loads))

    # Bad input that is not a build: a 20 MB array left open, and a spec
    # with a 200 MB member.
    unclosed = '{"cmd":"version","x":[' + "0," * 10_000_000
    bad = run_child("build", spec, unclosed, repeat=2)
    put("20 MB unclosed array in a version request: s; peak RSS growth ÷ request", "medium",
        f"{min(bad['later'] + [bad['first']]):.3f}; {bad['peak_kb'] * 1024 / len(unclosed):.2f}")
    big_version = '{"cmd":"version","x":[' + "0," * 50_000_000 + "0]}"
    held = run_child("build", spec, big_version, repeat=1)
    put("held after a valid 100 MB version request, read by the DOM (MiB)", "large",
        f"{held['held_kb'] / 1024:.1f}")
    big_spec = ('{"symbols":["BTC"],"lookback":20,"facts":["price_move"],"x":['
                + "0," * 100_000_000 + "0]}")
    held = run_child("spec", big_spec, "")
    put("held by a new object whose spec has a 200 MB member (MiB)", "large",
        f"{held['held_kb'] / 1024:.1f}")

    print_table(rows, list(SIZES))


def print_table(rows: dict[str, dict[str, str]], columns: list[str]) -> None:
    print("| figure | " + " | ".join(columns) + " |")
    print("|---|" + "---|" * len(columns))
    for figure, values in rows.items():
        print(f"| {figure} | " + " | ".join(values.get(c, "") for c in columns) + " |")


if __name__ == "__main__":
    main()
