"""What a hostile caller can do to the native module: Python code that changes
a request while it is read, requests json.dumps reads in its own way, walks
that never end, memory that runs out, and instances dropped where they should
not be. Nothing may crash the process or let a value past the checks."""

import json
import os
import signal
import subprocess
import sys
import textwrap
from collections import namedtuple
from pathlib import Path

import pytest

from varnok_mellix import _samples
from varnok_mellix._varnok_mellix import Mellix, merge_contexts, read_context, write_context

SPEC = json.dumps(_samples.SPEC)
BUILD = {"cmd": "build_context", "feeds": _samples.feeds()}
QUERY = {"cmd": "query", "question": "SOL BTC ETH"}
ROOT = Path(__file__).resolve().parents[2]


def built():
    """An instance with a context, and what a query of it answers."""
    mellix = Mellix(SPEC)
    mellix.command_object(BUILD)
    return mellix, mellix.command_object(QUERY)


# Each makes a value whose reading runs Python code that changes the request
# (`box` holds what the code reaches); then the request that holds it.
def clears_its_list(box):
    class T:
        def tolist(self):
            box["list"].clear()
            return 1
    box["list"] = [T(), 2, 3]
    return {"cmd": "version", "x": box["list"]}


def clears_the_request(box):
    class T:
        def tolist(self):
            box["request"].clear()
            return 1
    box["request"] = {"cmd": "facts", "x": [T(), 2, 3], "feeds": _samples.feeds()}
    return box["request"]


def property_clears(box):
    class T:
        @property
        def tolist(self):
            box["list"].clear()
            return lambda: 1
    box["list"] = [T(), 2]
    return {"cmd": "version", "x": box["list"]}


def getattr_clears(box):
    class G:
        def __getattr__(self, name):
            box["list"].clear()
            raise AttributeError(name)
    box["list"] = [G(), 2]
    return {"cmd": "version", "x": box["list"]}


def nan_behind_the_walk(box):
    class T:
        def tolist(self):
            box["feeds"]["BTC"]["candles"][0]["close"] = float("nan")
            return 1
    box["feeds"] = _samples.feeds()
    return {"cmd": "build_context", "feeds": box["feeds"], "x": T()}


def items_empties_itself(box):
    class D(dict):
        def items(self):
            pairs = list(super().items())
            self.clear()
            return pairs
    return {"cmd": "build_context", "feeds": D(_samples.feeds())}


BUILT = Mellix(SPEC).command(json.dumps(BUILD))


@pytest.mark.parametrize("make, answer", [
    (clears_its_list, RuntimeError("list changed size during iteration")),
    (clears_the_request, RuntimeError("dictionary changed size during iteration")),
    (property_clears, RuntimeError("list changed size during iteration")),
    (getattr_clears, '{"error":"parse: a value of type G has no JSON form","ok":false}'),
    # The feeds as they were read: the NaN written behind the walk stays out.
    (nan_behind_the_walk, BUILT),
    (items_empties_itself, BUILT),
])
def test_python_code_that_changes_the_request_reads_nothing_freed(make, answer):
    mellix, before = built()
    request = make({})
    if isinstance(answer, Exception):
        with pytest.raises(type(answer), match=str(answer)) as raised:
            mellix.command_object(request)
        assert raised.value.__notes__ == ["while reading argument 'cmd' of command_object()"]
        assert mellix.command_object(QUERY) == before  # the engine is as it was
    else:
        assert mellix.command_object(request) == answer


class Items(dict):
    def items(self):
        return [(key, value) for key, value in super().items() if key != "hidden"]


class Reversed(list):
    def __iter__(self):
        return reversed(list(super().__iter__()))


Level = namedtuple("Level", "price qty")


@pytest.mark.parametrize("request_", [
    {"cmd": "build_context", "feeds": Items(_samples.feeds(), hidden=float("nan"))},
    Items(cmd="version", hidden=object()),
    {"cmd": "set_spec", "spec": {**_samples.SPEC, "symbols": Reversed(["BTC", "SOL"])}},
    {"cmd": "build_context",
     "feeds": {"BTC": {**_samples.feeds()["BTC"],
                       "orderbook": {"ts": 1, "bids": [Level(99.0, 2.0)], "asks": [(101, 1)]}}}},
    {"cmd": "build_context",
     "feeds": {"BTC": {**_samples.feeds()["BTC"], "symbol": "\ud83d\ude00"}}},
    {"cmd": "version", "\ud83d\ude00": "\ud83d\ude00"},
], ids=["dict items()", "root items()", "list __iter__", "namedtuple", "surrogate pair",
        "surrogate pair key"])
def test_objects_are_read_as_json_dumps_reads_them(request_):
    by_text, by_objects = Mellix(SPEC), Mellix(SPEC)
    assert by_objects.command_object(request_) == by_text.command(json.dumps(request_))
    assert by_objects.command_object(QUERY) == by_text.command(json.dumps(QUERY))


def shared(depth):
    """A list that reaches 2**depth leaves through shared references."""
    value = [1.5]
    for _ in range(depth):
        value = [value, value]
    return value


class Clearing:
    """A number whose conversion empties the list it was read from."""

    def __init__(self, victim: list) -> None:
        self.victim = victim

    def __float__(self) -> float:
        self.victim.clear()
        return 1.0


def clearing_facts():
    facts = [["price_move", "A", 1.0, 1.0, 1, ""]]
    facts[0][2] = Clearing(facts[0])
    return facts


@pytest.mark.parametrize("call, error", [
    (lambda: write_context(clearing_facts(), ["A"], 1), None),
    (lambda: write_context([["price_move", "A", 1.0]], [], 1), TypeError),
    (lambda: write_context([["jump", "A", 1.0, 1.0, 1, ""]], [], 1), ValueError),
    (lambda: write_context([], ["\ud800"], 1), UnicodeEncodeError),
    (lambda: write_context([], [], 2**32), OverflowError),
    (lambda: write_context(iter(()), (s for s in "AB"), 1), None),
    (lambda: merge_contexts([((), ("A",), 1), ((), ("A",), 1)]), ValueError),
    (lambda: merge_contexts([((), (), 1, "extra")]), TypeError),
    (lambda: read_context(memoryview(b"{}")), TypeError),
    (lambda: read_context("[" * 100_000), ValueError),
])
def test_the_context_functions_copy_before_they_run_python_code(call, error):
    """Arguments are copied into tuples the function owns before any of their
    Python code runs, so a conversion that changes them reads nothing freed."""
    if error is None:
        assert isinstance(call(), str)
    else:
        with pytest.raises(error):
            call()


@pytest.mark.parametrize("place", ["beside", "passed over", "substituted"])
def test_ctrl_c_stops_a_walk_that_would_not_end(place):
    class Array:
        def tolist(self):
            return shared(40)
    feeds = _samples.feeds()
    request = {"cmd": "build_context", "feeds": feeds}
    if place == "passed over":
        feeds["BTC"]["extra"] = shared(40)
    else:
        request["x"] = Array() if place == "substituted" else shared(40)
    mellix, before = built()

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    try:
        if place == "substituted":
            # A copy is made of each shared value once: no walk to stop.
            assert mellix.command_object(request) == BUILT
            return
        with pytest.raises(KeyboardInterrupt):
            mellix.command_object(request)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert mellix.command_object(QUERY) == before


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)


PREFIX = f"""
import os, threading
from varnok_mellix._varnok_mellix import Mellix, merge_contexts, read_context, write_context
SPEC = {SPEC!r}
held = []
def make():
    held.append(Mellix(SPEC))
"""


@pytest.mark.parametrize("scenario, reported", [
    # Another thread's instance, dropped as the interpreter exits.
    ("""
     thread = threading.Thread(target=make); thread.start(); thread.join()
     """, False),
    # Another thread's instance, dropped in a child made by fork().
    ("""
     thread = threading.Thread(target=make); thread.start(); thread.join()
     pid = os.fork()
     if pid == 0:
         held.clear()
         os._exit(0)
     os.waitpid(pid, 0)
     os._exit(0)  # the parent's own exit is the case above
     """, False),
    # Another thread's instance, dropped by this one while it runs on: reported.
    ("""
     thread = threading.Thread(target=make); thread.start(); thread.join()
     held.clear()
     """, True),
], ids=["at exit", "in a forked child", "while running"])
def test_a_foreign_drop_is_reported_only_while_it_means_something(scenario, reported):
    child = run_python(PREFIX + textwrap.dedent(scenario))
    assert child.returncode == 0, child.stderr
    assert ("is being dropped on another thread" in child.stderr) == reported, child.stderr


# AddressSanitizer reserves terabytes of address space and aborts when it
# cannot grow: a cap on the address space means nothing under it.
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="under AddressSanitizer")
@pytest.mark.parametrize("headroom", ["0.5", "2", "16"])
def test_running_out_of_memory_raises_memory_error(headroom):
    """A sample of scripts/memory-sweep, which runs every headroom."""
    sweep = subprocess.run([sys.executable, str(ROOT / "scripts" / "memory-sweep"),
                            "--headrooms", headroom], capture_output=True, text=True,
                           timeout=600)
    assert sweep.returncode == 0, sweep.stdout + sweep.stderr
