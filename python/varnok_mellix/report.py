"""An HTML report of a build that lets a person check each fact by eye.

:func:`render_report` (and :meth:`Market.report <varnok_mellix.Market.report>`,
``mellix report``) writes one self-contained page: a table of the facts, then
for each fact, most notable first, its sentence, its evidence as a small
table, and a chart of the data it rests on with the rule's window shaded:

- ``price_move``, ``volatility_spike``: the candles (the spike's two halves,
  baseline and recent, apart);
- ``funding_flip``: the funding rates, the two of the flip marked;
- ``oi_change``: the open-interest samples, the first and last marked;
- ``liquidation_cluster``: liquidated notional (price × qty) by side over time;
- ``orderbook_imbalance``: the book's levels, bids and asks.

The charts are plotly's (the ``report`` extra: ``pip install
'varnok-mellix[report]'``): a chart library that draws candlesticks, shaded
spans, hover read-outs and zoom out of the box, whose JavaScript embeds in the
page, so that the file opens offline and can be mailed or archived as it is.
The library's script is embedded once per page, after the facts' text (which
so shows first), and each chart is drawn from its figure's JSON as it comes
near the screen; nothing is fetched over the network. plotly is imported
only when a report is rendered; without it that raises ImportError naming
the extra.

Large inputs stay quick to open: the candles inside a rule's window are drawn
one by one, and those outside it in at most :data:`OUTSIDE_CANDLES` buckets of
consecutive candles (open of the first, highest high, lowest low, close of
the last). Funding and open-interest series longer than :data:`SERIES_POINTS`
keep the first, lowest, highest and last point of each bucket, and the marked
points always; liquidations are summed per side into at most that many equal
spans of time. At most :data:`BOOK_LEVELS` levels of each side of a book and
:data:`MAX_CHARTS` charts are drawn; the table lists every fact.

Evidence. For each (kind, symbol) a build may give the numbers a rule read,
with ``from_ts`` and ``to_ts``, the timestamps of the first and last data
point it read: that span is the shaded window. Without evidence, the window
is the one the rule reads by the spec's look-back L: the last min(n, L)
candles of a price move, the last 2L of a volatility spike (L baseline, L
recent), the whole funding, open-interest and liquidation series, and the
book's own timestamp.

Timestamps are drawn as dates when their size tells an epoch unit (seconds to
nanoseconds, as :func:`varnok_mellix.feeds.snapshot` tells them), else as
plain numbers.
"""

from __future__ import annotations

import datetime as dt
import html
import importlib
import math
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Final, TypeAlias

from ._errors import answer_error, locate_in, missing_extra, shorten
from ._market import Feeds, _feeds_request
from ._records import Context, Fact, FactKind
from ._varnok_mellix import Mellix
from .feeds import _NS_PER, _UNIT_FLOORS

__all__ = ["BOOK_LEVELS", "Evidence", "MAX_CHARTS", "OUTSIDE_CANDLES", "SERIES_POINTS",
           "TABLE_ROWS", "chart", "facts_table", "render_report", "require_plotly", "thin_candles",
           "thin_points"]

Evidence: TypeAlias = Mapping[tuple[str, str], Mapping[str, object] | None]
"""The evidence of a build's facts by (kind, symbol): named numbers, with
``from_ts`` and ``to_ts``, or None for a fact without."""

OUTSIDE_CANDLES: Final = 300
"""The most candles drawn outside a rule's window (in buckets)."""
SERIES_POINTS: Final = 1000
"""The most points of a funding or open-interest series, and liquidation spans."""
BOOK_LEVELS: Final = 50
"""The levels of each side of an order book that are drawn."""
MAX_CHARTS: Final = 100
"""The facts charted on one page; the table lists all of them."""
TABLE_ROWS: Final = 50
"""The rows of a context's table in a notebook."""

# The engine reads the feeds for the charts (Mellix.read_feeds), as it reads
# them for a build: the feeds format is written once, in the engine. Its spec
# only has to be valid; reading feeds uses none of it.
_READER_SPEC: Final = '{"symbols":[""],"lookback":1,"facts":["price_move"]}'

_UP, _DOWN = "#26a69a", "#ef5350"
_WINDOW, _BASELINE, _MARK = "rgba(255,179,0,0.20)", "rgba(120,144,156,0.16)", "#6a1b9a"

Candle: TypeAlias = tuple[int, float, float, float, float]
Point: TypeAlias = tuple[int, float]
Figure: TypeAlias = dict[str, Any]


def require_plotly(needer: str) -> tuple[Callable[..., str], str]:
    """plotly's figure writer (``plotly.io.to_json``) and the text of its
    JavaScript library; when plotly is not installed, raises the ImportError
    that names the extra and `needer`, what needs it."""
    try:
        plotly_io = importlib.import_module("plotly.io")
        offline = importlib.import_module("plotly.offline")
    except ImportError as error:
        raise missing_extra(needer, "report", error) from error
    return plotly_io.to_json, offline.get_plotlyjs()


# ---------------------------------------------------------------------------
# The data a chart needs, as the engine read it.


@dataclass
class _Snapshot:
    """One symbol's series, as the charts draw them."""

    candles: list[Candle] = field(default_factory=list)
    book: tuple[int, list[Point], list[Point]] | None = None
    funding: list[Point] = field(default_factory=list)
    open_interest: list[Point] = field(default_factory=list)
    liquidations: list[tuple[int, str, float, float]] = field(default_factory=list)

    @classmethod
    def of(cls, record: Any) -> _Snapshot:
        _, candles, book, funding, open_interest, liquidations = record
        return cls([candle[:5] for candle in candles], book, funding, open_interest,
                   liquidations)


def _read_feeds(feeds: Feeds) -> dict[str, Any]:
    """{key: the engine's record of the snapshot}: `feeds` as a build reads
    them; raises the build's error for feeds the engine refuses."""
    request, embedded = _feeds_request(feeds)
    read = Mellix(_READER_SPEC).read_feeds(request)
    if isinstance(read, str):
        error = answer_error(read)
        raise locate_in(error, embedded) if error and embedded else error or ValueError(read)
    return read


def _snapshots(context: Context, feeds: Feeds) -> dict[str, _Snapshot]:
    """The snapshots the build read, by the symbol their facts carry (a
    snapshot's own ``symbol`` member)."""
    read = _read_feeds(feeds)
    found: dict[str, _Snapshot] = {}
    for key in context.symbols:
        if key in read and read[key][0] not in found:
            found[read[key][0]] = _Snapshot.of(read[key])
    return found


# ---------------------------------------------------------------------------
# Windows and thinning.


@dataclass(frozen=True)
class _Window:
    start: int
    end: int
    computed: bool  # from the look-back, not from the build's evidence


def _window(fact: Fact, snap: _Snapshot, lookback: int,
            evidence: Mapping[str, object] | None) -> _Window | None:
    if evidence is not None:
        start, end = evidence.get("from_ts"), evidence.get("to_ts")
        if isinstance(start, int) and isinstance(end, int):
            return _Window(start, end, False)
    series: Sequence[tuple[Any, ...]]
    match fact.kind:
        case FactKind.PRICE_MOVE:
            series = snap.candles[-min(len(snap.candles), lookback):]
        case FactKind.VOLATILITY_SPIKE:
            series = snap.candles[-2 * lookback:]
        case FactKind.FUNDING_FLIP:
            series = snap.funding
        case FactKind.OI_CHANGE:
            series = snap.open_interest
        case FactKind.LIQUIDATION_CLUSTER:
            series = snap.liquidations
        case FactKind.ORDERBOOK_IMBALANCE:
            series = [(snap.book[0],)] if snap.book else []
    return _Window(series[0][0], series[-1][0], True) if series else None


def _buckets(rows: Sequence[Candle], size: int) -> list[Candle]:
    """`rows` merged `size` at a time, the first bucket the short one (so the
    last ends where the rows do)."""
    out = []
    first = len(rows) % size or size
    starts = [0, *range(first, len(rows), size)] if rows else []
    for begin, end in zip(starts, [*starts[1:], len(rows)]):
        group = rows[begin:end]
        out.append((group[0][0], group[0][1], max(r[2] for r in group),
                    min(r[3] for r in group), group[-1][4]))
    return out


def thin_candles(candles: Sequence[Candle], start: int, end: int,
                 budget: int = OUTSIDE_CANDLES) -> list[Candle]:
    """`candles` with those timed from `start` to `end` kept whole and the others,
    before and after, merged into buckets of consecutive candles so that at
    most about `budget` are left outside."""
    lo = next((i for i, c in enumerate(candles) if c[0] >= start), len(candles))
    hi = next((i for i in range(len(candles) - 1, lo - 1, -1) if candles[i][0] <= end), lo - 1) + 1
    outside = lo + len(candles) - hi
    if outside <= budget:
        return list(candles)
    size = math.ceil(outside / budget)
    return _buckets(candles[:lo], size) + list(candles[lo:hi]) + _buckets(candles[hi:], size)


def thin_points(points: Sequence[Point], keep: set[int],
                budget: int = SERIES_POINTS) -> list[Point]:
    """`points` when they are at most `budget`; else the first, lowest, highest
    and last of each bucket of consecutive points, and those indexed in
    `keep`."""
    if len(points) <= budget:
        return list(points)
    size = math.ceil(4 * len(points) / budget)
    chosen = set(keep)
    for begin in range(0, len(points), size):
        span = range(begin, min(begin + size, len(points)))
        chosen.update((span[0], span[-1], min(span, key=lambda i: points[i][1]),
                       max(span, key=lambda i: points[i][1])))
    return [points[i] for i in sorted(chosen)]


# ---------------------------------------------------------------------------
# Charts, as plotly figure dicts.


@dataclass(frozen=True)
class _Time:
    """How a chart's timestamps are drawn: as dates (epoch milliseconds, which a
    date axis takes) when their size tells a unit, else as they are."""

    scale: float | None

    @classmethod
    def of(cls, stamps: Sequence[int]) -> _Time:
        size = min((abs(ts) for ts in stamps), default=0)
        unit = next((unit for unit, floor in _UNIT_FLOORS if size >= floor), None)
        return cls(None if unit is None else _NS_PER[unit] / _NS_PER["ms"])

    def x(self, ts: int) -> float:
        return ts if self.scale is None else ts * self.scale

    def xs(self, stamps: Sequence[int]) -> list[float]:
        return [self.x(ts) for ts in stamps]

    def axis(self) -> dict[str, Any]:
        return {"type": "date"} if self.scale is not None else {"type": "linear"}


def _layout(title: str, time: _Time | None, **more: Any) -> dict[str, Any]:
    layout: dict[str, Any] = {
        "title": {"text": html.escape(title), "font": {"size": 13}, "x": 0.01},
        "height": 340, "margin": {"l": 60, "r": 20, "t": 40, "b": 40},
        "paper_bgcolor": "#ffffff", "plot_bgcolor": "#fafafa", "hovermode": "x",
        "legend": {"orientation": "h", "y": 1.02, "x": 1, "xanchor": "right",
                   "yanchor": "bottom"},
        "xaxis": {"rangeslider": {"visible": False}, "gridcolor": "#e0e0e0"},
        "yaxis": {"gridcolor": "#e0e0e0"}, "shapes": [], "annotations": []}
    if time is not None:
        layout["xaxis"].update(time.axis())
    layout.update(more)
    return layout


def _shade(layout: dict[str, Any], time: _Time, start: int, end: int, label: str,
           color: str = _WINDOW, pad: float = 0.0) -> None:
    """Shades the span from `start` to `end`, widened by `pad` (in the axis's
    units) either side; a span of one moment is a line."""
    x0, x1 = time.x(start), time.x(end)
    if x0 != x1:
        x0, x1 = x0 - pad, x1 + pad
    if x0 == x1:
        layout["shapes"].append({"type": "line", "xref": "x", "yref": "paper", "x0": x0,
                                 "x1": x1, "y0": 0, "y1": 1,
                                 "line": {"color": "rgba(255,143,0,0.9)", "width": 2}})
    else:
        layout["shapes"].append({"type": "rect", "xref": "x", "yref": "paper", "x0": x0,
                                 "x1": x1, "y0": 0, "y1": 1, "fillcolor": color,
                                 "line": {"width": 0}, "layer": "below"})
    layout["annotations"].append({"xref": "x", "yref": "paper", "x": x0, "y": 1,
                                  "xanchor": "left", "yanchor": "top", "showarrow": False,
                                  "text": label, "font": {"size": 11, "color": "#8d6e00"}})


def _markers(time: _Time, points: Sequence[Point], labels: Sequence[str],
             name: str) -> dict[str, Any]:
    return {"type": "scatter", "mode": "markers+text", "name": name,
            "x": time.xs([p[0] for p in points]), "y": [p[1] for p in points],
            "text": list(labels), "textposition": "top center",
            "marker": {"color": _MARK, "size": 10, "symbol": "diamond"}}


def _candles_chart(fact: Fact, snap: _Snapshot, window: _Window | None,
                   lookback: int) -> Figure:
    candles = snap.candles
    time = _Time.of([c[0] for c in candles])
    drawn = thin_candles(candles, window.start, window.end) if window else list(candles)
    data: list[dict[str, Any]] = [{
        "type": "candlestick", "name": "candles", "x": time.xs([c[0] for c in drawn]),
        "open": [c[1] for c in drawn], "high": [c[2] for c in drawn],
        "low": [c[3] for c in drawn], "close": [c[4] for c in drawn],
        "increasing": {"line": {"color": _UP}}, "decreasing": {"line": {"color": _DOWN}}}]
    note = f" ({len(candles)} candles, {len(drawn)} drawn)" if len(drawn) < len(candles) else ""
    layout = _layout(f"candles{note}", time)
    # Half a bar either side, so that the first and last candles lie inside.
    pad = (time.x(candles[-1][0]) - time.x(candles[0][0])) / max(len(candles) - 1, 1) / 2
    if window is not None:
        inside = [c for c in candles if window.start <= c[0] <= window.end]
        if fact.kind is FactKind.VOLATILITY_SPIKE and len(candles) > lookback \
                and window.start < candles[-lookback][0] <= window.end:
            # The baseline's L closes, then the recent L.
            _shade(layout, time, window.start, candles[-lookback - 1][0], "baseline",
                   _BASELINE, pad)
            _shade(layout, time, candles[-lookback][0], window.end, "recent", _WINDOW, pad)
        else:
            _shade(layout, time, window.start, window.end, "window", _WINDOW, pad)
        if fact.kind is FactKind.PRICE_MOVE and inside:
            ends = [(inside[0][0], inside[0][4]), (inside[-1][0], inside[-1][4])]
            data.append(_markers(time, ends, [f"{c:,.10g}" for _, c in ends],
                                 "closes compared"))
    return {"data": data, "layout": layout}


def _series_chart(points: list[Point], window: _Window | None, name: str,
                  marked: list[int], labels: list[str], step: bool) -> Figure:
    time = _Time.of([p[0] for p in points])
    drawn = thin_points(points, set(marked))
    line: dict[str, Any] = {"color": "#1e88e5", "width": 1.5}
    if step:
        line["shape"] = "hv"
    data = [{"type": "scatter", "mode": "lines+markers", "name": name,
             "x": time.xs([p[0] for p in drawn]), "y": [p[1] for p in drawn], "line": line,
             "marker": {"size": 4}},
            _markers(time, [points[i] for i in marked], labels, "compared")]
    note = f" ({len(points)} samples, {len(drawn)} drawn)" if len(drawn) < len(points) else ""
    layout = _layout(f"{name}{note}", time)
    layout["yaxis"].update({"zeroline": True, "zerolinecolor": "#9e9e9e",
                            "exponentformat": "none"})
    if window is not None:
        _shade(layout, time, window.start, window.end, "window")
    return {"data": data, "layout": layout}


def _flip(fact: Fact, rates: list[Point]) -> list[int]:
    """The indices of the two rates of the flip the fact reports: the latest
    pair of opposite signs whose second rate has the fact's timestamp, else the
    latest such pair."""
    pairs = [i for i in range(1, len(rates)) if rates[i - 1][1] * rates[i][1] < 0]
    timed = [i for i in pairs if rates[i][0] == fact.ts]
    chosen = (timed or pairs or [0])[-1]
    return [chosen - 1, chosen] if chosen else []


def _funding_chart(fact: Fact, snap: _Snapshot, window: _Window | None) -> Figure:
    marked = _flip(fact, snap.funding)
    labels = [f"{snap.funding[i][1]:+.6g}" for i in marked]
    return _series_chart(snap.funding, window, "funding rate", marked, labels, True)


def _open_interest_chart(snap: _Snapshot, window: _Window | None) -> Figure:
    points = snap.open_interest
    inside = [i for i, p in enumerate(points)
              if window is None or window.start <= p[0] <= window.end]
    marked = [inside[0], inside[-1]] if len(inside) > 1 else inside
    labels = [f"{points[i][1]:,.10g}" for i in marked]
    return _series_chart(points, window, "open interest", marked, labels, False)


def _liquidations_chart(snap: _Snapshot, window: _Window | None) -> Figure:
    rows = snap.liquidations
    time = _Time.of([r[0] for r in rows])
    first, last = rows[0][0], rows[-1][0]
    span = max(1, math.ceil((last - first + 1) / SERIES_POINTS)) \
        if len(rows) > SERIES_POINTS else 0
    sums: dict[str, dict[int, float]] = {"long": {}, "short": {}}
    for ts, side, price, qty in rows:
        start = ts if not span else first + (ts - first) // span * span
        by_time = sums.setdefault(side, {})
        by_time[start] = by_time.get(start, 0.0) + price * qty
    data = [{"type": "bar", "name": f"{side} liquidated", "x": time.xs(list(by_time)),
             "y": list(by_time.values()), "marker": {"color": color}}
            for side, color in (("long", _DOWN), ("short", _UP))
            for by_time in [sums.get(side, {})]]
    what = "notional liquidated (price × qty)" + (" per span of time" if span else "")
    layout = _layout(what, time, barmode="relative")
    if window is not None:
        # Half the narrowest bar either side, so that the first and last bars lie inside.
        xs = sorted({time.x(ts) for by_time in sums.values() for ts in by_time})
        pad = min((b - a for a, b in zip(xs, xs[1:])), default=0.0) / 2
        _shade(layout, time, window.start, window.end, "window", _WINDOW, pad)
    return {"data": data, "layout": layout}


def _book_chart(snap: _Snapshot) -> Figure:
    assert snap.book is not None
    ts, bids, asks = snap.book
    data = [{"type": "bar", "name": name, "x": [level[0] for level in levels[:BOOK_LEVELS]],
             "y": [level[1] for level in levels[:BOOK_LEVELS]], "marker": {"color": color}}
            for name, levels, color in (("bids", bids, _UP), ("asks", asks, _DOWN))]
    shown = max(len(bids), len(asks))
    note = f", first {BOOK_LEVELS} of {shown} levels a side" if shown > BOOK_LEVELS else ""
    stamp = _Time.of([ts])
    when = _date_text(stamp, ts)
    title = f"order book at ts {ts}{' (' + when + ')' if when else ''}: quantity by price{note}"
    layout = _layout(title, None, bargap=0.1)
    layout["xaxis"]["title"] = {"text": "price", "font": {"size": 11}}
    return {"data": data, "layout": layout}


def _date_text(time: _Time, ts: int) -> str:
    """The UTC date and time of `ts` on a date axis, else ""."""
    if time.scale is None:
        return ""
    try:
        moment = dt.datetime.fromtimestamp(time.x(ts) / 1000, dt.timezone.utc)
    except (OverflowError, ValueError, OSError):
        return ""
    return moment.strftime("%Y-%m-%d %H:%M:%S UTC")


def _figure(fact: Fact, snap: _Snapshot, window: _Window | None, lookback: int
            ) -> Figure | None:
    """The chart of `fact`, or None when `snap` lacks the data it rests on."""
    match fact.kind:
        case FactKind.PRICE_MOVE | FactKind.VOLATILITY_SPIKE if snap.candles:
            return _candles_chart(fact, snap, window, lookback)
        case FactKind.ORDERBOOK_IMBALANCE if snap.book is not None:
            return _book_chart(snap)
        case FactKind.LIQUIDATION_CLUSTER if snap.liquidations:
            return _liquidations_chart(snap, window)
        case FactKind.FUNDING_FLIP if len(snap.funding) > 1:
            return _funding_chart(fact, snap, window)
        case FactKind.OI_CHANGE if snap.open_interest:
            return _open_interest_chart(snap, window)
    return None


def chart(fact: Fact, snapshot: Any, lookback: int,
          evidence: Mapping[str, object] | None = None) -> Figure | None:
    """The plotly figure (a dict) of `fact` over its `snapshot` (as the feeds
    hold it), or None when the snapshot lacks the data the fact rests on."""
    snap = _Snapshot.of(_read_feeds({"": snapshot})[""])
    return _figure(fact, snap, _window(fact, snap, lookback, evidence), lookback)


# ---------------------------------------------------------------------------
# The page.


def _number_text(name: str, value: object) -> str:
    """`value` with the digits the engine writes (the shortest that read back
    exactly); a timestamp with its date when its size tells an epoch unit."""
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, int) and (name == "ts" or name.endswith("_ts")):
        date = _date_text(_Time.of([value]), value)
        return f"{value} ({date})" if date else str(value)
    return shorten(str(value))


def facts_table(context: Context, limit: int | None = None) -> str:
    """The facts of `context` as an HTML table (rank, kind, symbol, value,
    magnitude, ts, sentence), at most `limit` rows, with a caption naming the
    symbols and the look-back."""
    facts = context.facts if limit is None else context.facts[:limit]
    rows = "".join(
        f'<tr><td class="n">{rank}</td><td>{fact.kind.value}</td>'
        f"<td>{html.escape(shorten(fact.symbol))}</td>"
        f'<td class="n">{fact.value!r}</td>'
        f'<td class="n">{fact.magnitude!r}</td><td class="n">{fact.ts}</td>'
        f"<td>{html.escape(fact.human)}</td></tr>"
        for rank, fact in enumerate(facts, 1))
    more = len(context.facts) - len(facts)
    if more:
        rows += f'<tr><td colspan="7">… and {more} more facts</td></tr>'
    summary = (f"{len(context.facts)} facts; symbols: "
               f"{html.escape(shorten(', '.join(context.symbols))) or '(none)'}; "
               f"lookback {context.lookback}")
    if context.missing_symbols:
        summary += f"; no snapshot: {html.escape(shorten(', '.join(context.missing_symbols)))}"
    head = "".join(f'<th class="n">{name}</th>' if name not in ("kind", "symbol", "sentence")
                   else f"<th>{name}</th>"
                   for name in ("rank", "kind", "symbol", "value", "magnitude", "ts", "sentence"))
    return (f'<table class="mellix-facts"><caption style="text-align:left">{summary}</caption>'
            f"<thead><tr>{head}</tr></thead><tbody>{rows}</tbody></table>")


def _evidence_table(evidence: Mapping[str, object], note: str) -> str:
    rows = "".join(f"<tr><th>{html.escape(shorten(str(name)))}</th>"
                   f'<td class="n">{html.escape(_number_text(str(name), value))}</td></tr>'
                   for name, value in evidence.items())
    caption = f"<caption>{html.escape(note)}</caption>" if note else ""
    return f'<table class="evidence">{caption}{rows}</table>'


_STYLE: Final = """
body{font-family:system-ui,-apple-system,"Segoe UI",sans-serif;margin:24px auto;
max-width:1100px;padding:0 16px;color:#212121}
h1{font-size:1.4em;margin-bottom:4px}
.sub{color:#616161;margin-top:0}
table{border-collapse:collapse;font-size:13px;margin:8px 0}
th,td{border:1px solid #e0e0e0;padding:3px 8px;text-align:left}
td.n,th.n{text-align:right}
caption{color:#616161;padding:4px 0;text-align:left;white-space:nowrap}
section.fact{border-top:2px solid #eeeeee;margin-top:22px;padding-top:6px}
section.fact h2{font-size:1.05em;margin:6px 0;color:#424242}
.sentence{font-size:1.15em;margin:6px 0 4px}
.evidence th{text-align:left;font-weight:normal;color:#616161}
.mellix-chart{height:340px}
.nochart{color:#9e9e9e}
"""

# Draws each chart as it comes near the screen (and all before printing): a
# page of a hundred charts opens as fast as one of two.
_DRAW: Final = """(function () {
  var charts = document.querySelectorAll("div.mellix-chart");
  function draw(chart) {
    if (chart.dataset.drawn) return;
    chart.dataset.drawn = "1";
    var figure = JSON.parse(document.getElementById(chart.id + "-figure").textContent);
    Plotly.newPlot(chart, figure.data, figure.layout, {displaylogo: false, responsive: true});
  }
  window.addEventListener("beforeprint", function () { charts.forEach(draw); });
  if (!("IntersectionObserver" in window)) { charts.forEach(draw); return; }
  var near = new IntersectionObserver(function (entries) {
    entries.forEach(function (entry) {
      if (entry.isIntersecting) { near.unobserve(entry.target); draw(entry.target); }
    });
  }, {rootMargin: "600px 0px"});
  charts.forEach(function (chart) { near.observe(chart); });
})();"""


def _script_text(text: str) -> str:
    """`text` safe inside a <script> element."""
    return text.replace("</", "<\\/")


def _fact_section(number: int, fact: Fact, chart_html: str, evidence_html: str) -> str:
    return (f'<section class="fact" id="fact-{number}"><h2>#{number} · {fact.kind.value} · '
            f'{html.escape(shorten(fact.symbol))}</h2><p class="sentence">'
            f"{html.escape(fact.human)}</p>{evidence_html}{chart_html}</section>")


def _evidence_html(given: Mapping[str, object] | None, window: _Window | None,
                   lookback: int) -> str:
    if given is not None:
        return _evidence_table(given, "evidence")
    if window is None:
        return ""
    return _evidence_table({"from_ts": window.start, "to_ts": window.end},
                           f"window from the look-back ({lookback}); the build gave no "
                           "evidence")


def render_report(context: Context, feeds: Mapping[str, Any] | str | bytes,
                  evidence: Evidence | None = None, *, title: str | None = None) -> str:
    """The report of `context`, built from `feeds` (the same feeds: a mapping
    or its JSON text), as the text of one self-contained HTML page. `evidence`
    holds the numbers each rule read, by (kind, symbol) (see the module's
    text); without it, the windows come from the context's look-back. Raises
    ImportError naming the ``report`` extra when plotly is not installed."""
    to_json, library = require_plotly("varnok_mellix.report")
    snapshots = _snapshots(context, feeds)
    known = {(FactKind(kind).value, symbol): value
             for (kind, symbol), value in (evidence or {}).items()}
    sections = []
    for number, fact in enumerate(context.facts[:MAX_CHARTS], 1):
        given = known.get((fact.kind.value, fact.symbol))
        chart_html, window = '<p class="nochart">no data to draw for this fact</p>', None
        if fact.symbol in snapshots:
            snap = snapshots[fact.symbol]
            window = _window(fact, snap, context.lookback, given)
            figure = _figure(fact, snap, window, context.lookback)
            if figure is not None:
                chart_html = (f'<div class="mellix-chart" id="chart-{number}"></div>'
                              f'<script type="application/json" id="chart-{number}-figure">'
                              f"{_script_text(to_json(figure, validate=False))}</script>")
        sections.append(_fact_section(number, fact, chart_html,
                                      _evidence_html(given, window, context.lookback)))
    more = len(context.facts) - len(sections)
    tail = (f'<p class="nochart">{more} more facts are in the table above; the first '
            f"{MAX_CHARTS} are charted.</p>") if more else ""
    heading = html.escape(shorten(title or "varnok-mellix report"))
    # The library's script once, before the charts it draws.
    return (f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
            f'<meta name="viewport" content="width=device-width, initial-scale=1">'
            f"<title>{heading}</title><style>{_STYLE}</style></head><body>"
            f"<h1>{heading}</h1><p class=\"sub\">Each fact, most notable first, with the data "
            f"it rests on; the shaded span is the window the rule read.</p>"
            f"{facts_table(context)}{''.join(sections)}{tail}"
            f"<script>{library}</script><script>{_DRAW}</script>"
            f"</body></html>\n")
