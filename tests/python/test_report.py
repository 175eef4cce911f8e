"""The HTML report: each chart marks the data its fact was derived from (so
that the fact can be recomputed from the chart alone), the page is one
offline file, and in a real browser every chart draws."""

import base64
import json
import os
import pathlib
import shutil
import statistics
import sys

import pytest

from varnok_mellix import Context, Fact, FactKind, Market, _samples
from varnok_mellix.__main__ import main

pytest.importorskip("plotly", reason="the report extra (plotly) is not installed")
from varnok_mellix import report  # noqa: E402

REPO = pathlib.Path(__file__).resolve().parents[2]
CHROMIUM = "/usr/bin/chromium"


MARKETS = {
    "sample": (_samples.SPEC, _samples.feeds()),
    "5000 candles x 3": ({"symbols": ["SYM0", "SYM1", "SYM2"], "lookback": 50,
                          "facts": list(FactKind)}, _samples.generated_feeds(range(3), 5000)),
}


def trace(figure, name):
    return next(t for t in figure["data"] if t["name"] == name)


def spans(figure):
    return {a["text"]: (s["x0"], s["x1"])
            for s, a in zip(figure["layout"]["shapes"], figure["layout"]["annotations"])}


def closes_in(figure, span):
    candles = trace(figure, "candles")
    return [c for x, c in zip(candles["x"], candles["close"]) if span[0] <= x <= span[1]]


def recomputed(fact, figure, lookback):
    """The fact's value as computed from what its chart marks."""
    match fact.kind:
        case FactKind.PRICE_MOVE:
            first, last = trace(figure, "closes compared")["y"]
            assert len(closes_in(figure, spans(figure)["window"])) == lookback
            return (last - first) / first * 100
        case FactKind.VOLATILITY_SPIKE:
            recent, baseline = (closes_in(figure, spans(figure)[name])
                                for name in ("recent", "baseline"))
            assert len(recent) == len(baseline) == lookback
            return statistics.pstdev(recent) / statistics.pstdev(baseline)
        case FactKind.FUNDING_FLIP:
            before, after = trace(figure, "compared")["y"]
            assert before * after < 0 and abs(after - before) == pytest.approx(fact.magnitude)
            return after
        case FactKind.OI_CHANGE:
            first, last = trace(figure, "compared")["y"]
            return (last - first) / first * 100
        case FactKind.LIQUIDATION_CLUSTER:
            longs, shorts = (sum(trace(figure, f"{side} liquidated")["y"])
                             for side in ("long", "short"))
            assert longs + shorts == pytest.approx(fact.magnitude)
            return longs - shorts
        case FactKind.ORDERBOOK_IMBALANCE:
            bids, asks = (sum(trace(figure, side)["y"][:10]) for side in ("bids", "asks"))
            return (bids - asks) / (bids + asks)


@pytest.mark.parametrize("name", MARKETS)
def test_each_chart_marks_the_data_that_gives_its_facts_value(name):
    spec, feeds = MARKETS[name]
    context = Market(spec).build(feeds)
    assert context.facts
    by_symbol = {s["symbol"]: s for s in feeds.values()}
    for fact in context.facts:
        figure = report.chart(fact, by_symbol[fact.symbol], context.lookback)
        assert recomputed(fact, figure, context.lookback) == pytest.approx(fact.value, abs=1e-7)
        if "candles" in [t["name"] for t in figure["data"]]:
            assert len(trace(figure, "candles")["x"]) <= \
                2 * context.lookback + report.OUTSIDE_CANDLES + 2


@pytest.mark.parametrize("before, inside, after, budget", [
    (0, 20, 0, 5), (4000, 50, 0, 300), (1000, 10, 997, 100), (7, 3, 0, 2)])
def test_thinning_keeps_the_window_whole_and_the_extremes_outside_it(before, inside, after,
                                                                     budget):
    rows = [(i, 100.0 + i % 17, 120.0 + (i * 7919) % 101, 80.0 - (i * 104729) % 89,
             100.0 + i % 23) for i in range(before + inside + after)]
    kept = report.thin_candles(rows, before, before + inside - 1, budget)
    window = [r for r in kept if before <= r[0] < before + inside]
    assert window == rows[before:before + inside]
    assert len(kept) - inside <= budget + 2
    for part, drawn in ((rows[:before], [r for r in kept if r[0] < before]),
                        (rows[before + inside:], [r for r in kept if r[0] >= before + inside])):
        if part:
            assert (drawn[0][0], drawn[0][1], drawn[-1][4]) == (part[0][0], part[0][1],
                                                                part[-1][4])
            assert max(r[2] for r in drawn) == max(r[2] for r in part)
            assert min(r[3] for r in drawn) == min(r[3] for r in part)
    points = [(r[0], r[2]) for r in rows]
    marked = {len(points) // 3}
    thinned = report.thin_points(points, marked, budget * 4)
    assert len(thinned) <= budget * 4 + len(marked) + 4
    assert {points[i] for i in marked} | {max(points, key=lambda p: p[1])} <= set(thinned)


def test_the_page_is_one_offline_file_with_a_chart_per_fact_and_its_evidence(monkeypatch):
    spec, feeds = MARKETS["sample"]
    context = Market(spec).build(feeds)
    fact = context.fact("price_move", "BTC")
    candles = feeds["BTC"]["candles"]
    evidence = {("price_move", "BTC"): {"from_ts": candles[5]["ts"], "to_ts": candles[9]["ts"],
                                        "first_close": 60075.0},
                ("oi_change", "BTC"): None}
    figure = report.chart(fact, feeds["BTC"], context.lookback, evidence[("price_move", "BTC")])
    assert len(closes_in(figure, spans(figure)["window"])) == 5  # the evidence's window
    page = report.render_report(context, json.dumps(feeds), evidence)
    assert '<th>first_close</th><td class="n">60075.0</td>' in page
    assert page.count("window from the look-back") == len(context.facts) - 1
    library = report.require_plotly("test")[1]
    assert page.count(library[:200]) == 1
    assert "<script src" not in page and "<link" not in page
    assert page.count('class="mellix-chart"') == len(context.facts)
    monkeypatch.setattr(report, "MAX_CHARTS", 3)
    page = report.render_report(context, feeds)
    assert page.count('class="mellix-chart"') == 3
    assert f"{len(context.facts) - 3} more facts are in the table" in page


def test_a_contexts_table_is_escaped_and_bounded():
    facts = [Fact("price_move", f"<b>S{i}</b>", 1.5, 1.5, i, "S rose & fell.")
             for i in range(report.TABLE_ROWS + 5)]
    table = Context(tuple(facts), ("<b>S0</b>",), 20, ("<i>X</i>",))._repr_html_()
    assert "<b>" not in table and "<i>" not in table and "&amp;" in table
    assert table.count("<tr>") == 1 + report.TABLE_ROWS + 1
    assert "… and 5 more facts" in table and "no snapshot: &lt;i&gt;X&lt;/i&gt;" in table


@pytest.mark.parametrize("feeds, status, message", [
    ("samples/feeds.json", 0, "mellix: note: {feeds} has no snapshot for DOGE\n"
                              "mellix: {facts} facts in {out} ("),
    ('{"BTC": {"symbol": "BTC",\n "candles": [}}', 1, "mellix: --feeds:2:14: parse: "),
    ("samples/feeds.json", 2, "mellix: Market.report needs the report extra: "
                              "pip install 'varnok-mellix[report]'\n"),
])
def test_the_report_command(monkeypatch, capsys, tmp_path, feeds, status, message):
    if status == 2:
        monkeypatch.setitem(sys.modules, "plotly.io", None)
    feeds = str(REPO / feeds) if feeds.endswith(".json") else feeds
    out = tmp_path / "report.html"
    code = main(["report", "--spec", str(REPO / "samples/spec.json"), "--feeds", feeds,
                 "-o", str(out)])
    err = capsys.readouterr().err
    facts = len(Market(_samples.SPEC).build(_samples.feeds()).facts)
    assert code == status and err.startswith(message.format(feeds=feeds, out=out, facts=facts))
    assert out.exists() == (status == 0)


# ---------------------------------------------------------------------------
# In chromium.

COLOURED = """async (png) => {
  const image = new Image();
  image.src = "data:image/png;base64," + png;
  await image.decode();
  const canvas = document.createElement("canvas");
  canvas.width = image.width; canvas.height = image.height;
  const context = canvas.getContext("2d");
  context.drawImage(image, 0, 0);
  const pixels = context.getImageData(0, 0, image.width, image.height).data;
  let coloured = 0;
  for (let i = 0; i < pixels.length; i += 4) {
    const [r, g, b] = [pixels[i], pixels[i + 1], pixels[i + 2]];
    if (Math.max(r, g, b) - Math.min(r, g, b) > 60) coloured++;
  }
  return coloured / (pixels.length / 4);
}"""


@pytest.fixture(scope="module")
def browser():
    reason = None
    try:
        from playwright.sync_api import sync_playwright
    except ImportError:
        reason = "playwright is not installed (scripts/setup installs it)"
    if reason is None and not shutil.which(CHROMIUM):
        reason = f"no {CHROMIUM} (Debian's chromium; scripts/setup installs it)"
    if reason is not None:
        if os.environ.get("VARNOK_MELLIX_REQUIRE_BROWSER"):
            pytest.fail(reason)
        pytest.skip(reason)
    with sync_playwright() as playwright:
        chromium = playwright.chromium.launch(executable_path=CHROMIUM)
        yield chromium
        chromium.close()


@pytest.mark.parametrize("name", ["sample", "5000 candles x 3"])
def test_every_chart_draws_in_chromium_offline(browser, tmp_path, name):
    spec, feeds = MARKETS[name]
    path = tmp_path / "report.html"
    context = Market(spec).build(feeds)
    Market(spec).report(feeds, path)
    page = browser.new_context(offline=True, viewport={"width": 1100, "height": 800}).new_page()
    fetched, errors = [], []
    page.route("**/*", lambda route: route.continue_() if route.request.url == path.as_uri()
               else (fetched.append(route.request.url), route.abort()))
    page.on("console", lambda message: message.type == "error" and errors.append(message.text))
    page.on("pageerror", lambda error: errors.append(str(error)))
    page.goto(path.as_uri())
    charts = page.locator("div.mellix-chart")
    assert charts.count() == len(context.facts)
    for i in range(charts.count()):
        chart = charts.nth(i)
        chart.scroll_into_view_if_needed()
        chart.locator(".main-svg").first.wait_for(timeout=10_000)
        share = page.evaluate(COLOURED, base64.b64encode(chart.screenshot()).decode())
        assert share > 0.005, f"chart {i + 1} ({context.facts[i].kind}) drew almost nothing"
    assert fetched == [] and errors == []
    page.context.close()
