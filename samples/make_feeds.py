"""Writes samples/feeds.json from the sample market bundled with the package
(varnok_mellix._samples), which `mellix demo` runs on.

Run with the package installed: python samples/make_feeds.py
"""

import json
import pathlib

from varnok_mellix import _samples

path = pathlib.Path(__file__).with_name("feeds.json")
path.write_text(json.dumps(_samples.feeds(), indent=1) + "\n", encoding="utf-8")
print(f"wrote {path}")
