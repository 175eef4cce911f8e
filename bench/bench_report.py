"""Report figures, measured in Debian's chromium: the page's size, the time to
write it, and the time it takes to open, for the sample market and for 5,000
one-minute candles of each of 3 symbols (with funding, open interest,
liquidations and books). With --screenshot, also writes the top of the
sample's page as a PNG (scripts/report-screenshot makes docs/report.png so).

    .venv/bin/python bench/bench_report.py [--repeat 3] [--screenshot PNG]

"text" is from the start of navigation to the first paint of the page's text
(the table and sentences, drawn before the chart library is read); "load" to
the page's load event (the library's script parsed and run); "charts" until
every chart that shows in a 1100 x 900 window has drawn. Each prints its min and median over
the repeats; the machine is shared and noisy.
"""

from __future__ import annotations

import argparse
import pathlib
import statistics
import tempfile
import time

from playwright.sync_api import Browser, sync_playwright

from varnok_mellix import FactKind, Market, _samples

CHROMIUM = "/usr/bin/chromium"
FIRST_SCREEN_DRAWN = """() => [...document.querySelectorAll("div.mellix-chart")]
  .filter(chart => chart.getBoundingClientRect().top < window.innerHeight)
  .every(chart => chart.querySelector(".main-svg"))"""


def markets() -> dict[str, tuple[dict[str, object], dict[str, object]]]:
    symbols = ["SYM0", "SYM1", "SYM2"]
    return {"sample": (_samples.SPEC, _samples.feeds()),
            "5000 candles x 3": ({"symbols": symbols, "lookback": 50,
                                  "facts": [kind.value for kind in FactKind]},
                                 _samples.generated_feeds(range(3), 5000))}


def open_times(browser: Browser, page_path: pathlib.Path) -> tuple[float, float, float]:
    """Milliseconds to the first paint of text, the load event and a drawn first
    screen."""
    context = browser.new_context(offline=True, viewport={"width": 1100, "height": 900})
    page = context.new_page()
    page.goto(page_path.as_uri())
    page.wait_for_function(FIRST_SCREEN_DRAWN, polling="raf")
    drawn = page.evaluate("performance.now()")
    load = page.evaluate("performance.getEntriesByType('navigation')[0].loadEventEnd")
    text = page.evaluate("performance.getEntriesByName('first-contentful-paint')[0].startTime")
    context.close()
    return text, load, drawn


def screenshot(browser: Browser, page_path: pathlib.Path, png: pathlib.Path) -> None:
    context = browser.new_context(offline=True, viewport={"width": 1000, "height": 1400})
    page = context.new_page()
    page.goto(page_path.as_uri())
    page.wait_for_function(FIRST_SCREEN_DRAWN, polling="raf")
    page.screenshot(path=str(png))
    context.close()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--screenshot", type=pathlib.Path, metavar="PNG")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder, sync_playwright() as playwright:
        browser = playwright.chromium.launch(executable_path=CHROMIUM)
        for name, (spec, feeds) in markets().items():
            page_path = pathlib.Path(folder) / "report.html"
            market = Market(spec)
            start = time.perf_counter()
            text = market.report(feeds, page_path)
            written = time.perf_counter() - start
            facts = len(market.context.facts) if market.context else 0
            times = zip(*(open_times(browser, page_path) for _ in range(args.repeat)))
            figures = ", ".join(f"{what} {min(ms):.0f} ms (median {statistics.median(ms):.0f})"
                                for what, ms in zip(("text", "load", "charts"), times))
            print(f"{name}: {facts} facts, {len(text.encode()) / 2**20:.2f} MiB, written in "
                  f"{written * 1000:.0f} ms; {figures}")
            if args.screenshot and name == "sample":
                screenshot(browser, page_path, args.screenshot)
                print(f"{args.screenshot}: {args.screenshot.stat().st_size / 1024:.0f} KiB")
        browser.close()


if __name__ == "__main__":
    main()
