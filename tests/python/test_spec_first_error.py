"""The constructor reads its spec as it stands: the first error in the text is the one raised."""

import pytest

from varnok_mellix import FactKind
from varnok_mellix._varnok_mellix import Mellix

KINDS = ", ".join(f"`{kind}`" for kind in FactKind)


@pytest.mark.parametrize(
    "spec_text, message",
    [
        # A value that does not convert stands before a later fault in the text.
        ('{"symbols":["BTC"],"lookback":20.0,"facts":["price_move"]} x',
         "parse: invalid type: floating point `20.0`, expected u32 at line 1 column 31"),
        ('{"symbols":["BTC"],"lookback":"20","facts":["price_move"]',
         'parse: invalid type: string "20", expected u32 at line 1 column 31'),
        ('[["ETH"],-1,["volatility_spike"],null] x',
         "parse: invalid value: integer `-1`, expected u32 at line 1 column 10"),
        ('{"symbols":["BTC"],"lookback":20,"facts":["PRICE_MOVE"],"timeframe":"1m"',
         f"parse: unknown variant `PRICE_MOVE`, expected one of {KINDS} at line 1 column 43"),
        # A fault that stands first is reported, even inside a member no one reads.
        ('{"x":[1,},"symbols":[1]}', "parse: expected a value at line 1 column 9"),
        # A text that reads is then checked as a spec.
        ('{"symbols":[],"lookback":20,"facts":["price_move"]}',
         "bad spec: at least one symbol is required"),
    ],
)
def test_first_error_in_text_order(spec_text, message):
    with pytest.raises(ValueError) as raised:
        Mellix(spec_text)
    assert str(raised.value) == message
