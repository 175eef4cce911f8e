"""The surface of varnok_mellix._varnok_mellix as Python code sees it."""

import importlib.metadata
import importlib.util
import inspect
import json
import sys
import threading

import pytest
from hypothesis import given, strategies as st

import varnok_mellix
from varnok_mellix import _varnok_mellix
from varnok_mellix._varnok_mellix import Mellix

SPEC = '{"symbols":["BTC"],"lookback":20,"facts":["price_move"]}'
VERSION = importlib.metadata.version("varnok-mellix")
VERSION_REQUEST = '{"cmd":"version"}'
VERSION_ANSWER = json.dumps({"version": VERSION}, separators=(",", ":"))

NAMES = ["__version__", "Mellix"]


def test_second_module_execution_reuses_the_type():
    spec = importlib.util.find_spec("varnok_mellix._varnok_mellix")
    other = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(other)
    assert other is not _varnok_mellix
    assert other.Mellix is Mellix and other.__all__ == _varnok_mellix.__all__ == NAMES
    assert (Mellix.__module__, Mellix.__qualname__) == ("builtins", "Mellix")
    assert [str(inspect.signature(call)) for call in (Mellix, Mellix.command, Mellix.version)] \
        == ["(spec_json)", "(self, /, cmd_json)", "()"]


def run_in_thread(target):
    thread = threading.Thread(target=target)
    thread.start()
    thread.join()


def test_one_version_everywhere_and_text_passed_any_way():
    """The package metadata, the module, the class and the engine agree."""
    class Text(str):
        pass

    assert Mellix.version() == _varnok_mellix.__version__ == varnok_mellix.__version__ == VERSION
    for mellix in (Mellix(SPEC), Mellix(spec_json=SPEC), Mellix(Text(SPEC))):
        assert mellix.version() == VERSION
        assert mellix.command(VERSION_REQUEST) == mellix.command(cmd_json=Text(VERSION_REQUEST))
        assert mellix.command(VERSION_REQUEST) == VERSION_ANSWER


@pytest.fixture(params=["constructor", "command"])
def entry(request):
    """(callable, parameter name, check) for both text-taking calls. `check` runs after a
    failed call: a failed read must have released the engine."""
    if request.param == "constructor":
        return Mellix, "spec_json", lambda: None
    instance = Mellix(SPEC)

    def check():
        assert instance.command(VERSION_REQUEST) == VERSION_ANSWER

    return instance.command, "cmd_json", check


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((SPEC, SPEC), {}), ((), {"bogus": SPEC}), ((SPEC,), {"spec_json": SPEC})],
    ids=["missing", "surplus", "unknown-keyword", "twice"],
)
def test_bad_argument_binding_raises_type_error(entry, args, kwargs):
    call, _, check = entry
    with pytest.raises(TypeError):
        call(*args, **kwargs)
    check()


@pytest.mark.parametrize(
    "value, error, message",
    [
        (1, TypeError, "must be str, not int"),
        (b"{}", TypeError, "must be str, not bytes"),
        ('{"cmd":"version","x":"\ud800"}', UnicodeEncodeError, "surrogates not allowed"),
    ],
)
def test_unreadable_text_raises_with_note_naming_the_parameter(entry, value, error, message):
    call, param, check = entry
    with pytest.raises(error, match=message) as e:
        call(value)
    assert any(param in note for note in e.value.__notes__)
    check()


def test_command_from_foreign_thread_is_refused_without_touching_the_engine(mellix):
    assert "facts" in json.loads(mellix.command('{"cmd":"build_context","feeds":{}}'))
    errors = []

    def reset_elsewhere():
        try:
            mellix.command('{"cmd":"reset"}')
        except RuntimeError as error:
            errors.append(str(error))

    run_in_thread(reset_elsewhere)
    assert len(errors) == 1 and "thread" in errors[0]
    # The stored context survived: the reset never reached the engine.
    assert "tool_calls" in json.loads(mellix.command('{"cmd":"query","question":"price"}'))


def test_a_new_thread_never_passes_for_an_ended_owner(monkeypatch):
    # The OS hands an ended thread's id to new threads; the owner check must
    # not take them for the owner.
    monkeypatch.setattr(sys, "unraisablehook", lambda report: None)
    box = []
    run_in_thread(lambda: box.append(Mellix(SPEC)))
    accepted = []

    def try_command():
        try:
            accepted.append(box[0].command(VERSION_REQUEST))
        except RuntimeError:
            pass

    for _ in range(50):
        run_in_thread(try_command)
    assert accepted == []
    box.clear()  # dropped away from its ended owner: reported, not raised


JSON = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(), inner, max_size=4),
    max_leaves=12,
)
COMMANDS = ["build_context", "facts", "query", "reset", "set_spec", "version", "Version"]
REQUESTS = st.fixed_dictionaries(
    {"cmd": st.sampled_from(COMMANDS)},
    optional={"feeds": JSON, "question": st.text(), "context": JSON, "spec": JSON},
)


@given(st.text() | JSON.map(json.dumps) | REQUESTS.map(lambda r: json.dumps(r, ensure_ascii=False)))
def test_command_always_answers_one_json_text(request_text):
    answer = json.loads(Mellix(SPEC).command(request_text))
    if "error" in answer:
        assert answer.keys() == {"error", "ok"} and answer["ok"] is False
        assert answer["error"].startswith(("parse: ", "unknown indicator: ", "bad spec: ", "data: "))
    else:
        assert answer in ({"ok": True}, {"version": VERSION}) or list(answer) in (
            ["tool_calls"], ["facts", "symbols", "lookback"])
