"""The main job on the sample data in this folder: build a market context from
feeds.json under spec.json, rank its facts, ask a question and resolve the
tool calls it maps to. The same as `mellix demo`, which runs on the copy of
this data bundled with the package.

Run through scripts/sample (which installs and builds first), or directly with
the package installed: python samples/demo.py
"""

import pathlib
import sys

from varnok_mellix.__main__ import main

HERE = pathlib.Path(__file__).parent

if __name__ == "__main__":
    sys.exit(main(["demo", "--spec", str(HERE / "spec.json"), "--feeds", str(HERE / "feeds.json")]))
