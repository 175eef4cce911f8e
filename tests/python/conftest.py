"""Fixtures shared by the tests of the native module."""

import pytest

from varnok_mellix._varnok_mellix import Mellix


@pytest.fixture
def mellix() -> Mellix:
    return Mellix('{"symbols":["BTC"],"lookback":20,"facts":["price_move"]}')
