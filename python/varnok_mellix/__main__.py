"""python -m varnok_mellix: the `mellix` command line (see varnok_mellix._cli)."""

import sys

from ._cli import main

__all__ = ["main"]

if __name__ == "__main__":
    sys.exit(main())
