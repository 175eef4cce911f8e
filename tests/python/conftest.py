"""Shared values and fixtures for the tests of the native module."""

import threading
from collections.abc import Callable

import pytest

from varnok_mellix._varnok_mellix import Mellix

SPEC = '{"symbols":["BTC"],"lookback":20,"facts":["price_move"]}'
VERSION_REQUEST = '{"cmd":"version"}'
VERSION_ANSWER = '{"version":"0.1.4"}'


@pytest.fixture
def mellix() -> Mellix:
    return Mellix(SPEC)


def run_in_thread(target: Callable[[], object]) -> None:
    """Runs `target` on a new thread and waits for it."""
    thread = threading.Thread(target=target)
    thread.start()
    thread.join()
