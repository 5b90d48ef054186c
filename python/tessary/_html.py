"""The visual report: one self-contained HTML page drawn from `Profile.to_dict()`.

Inline CSS and inline SVG only: no script, no request to a network or a file. The
page's size depends on the columns, never on the rows. Every chart carries an SVG
<title> with its numbers and shows its figures as text, not by colour alone.

The chart primitives (`histogram_svg`, `shares_svg`, `quantile_strip_svg`) take
one or more series, so that two profiles can be drawn over or beside each other.
"""

from __future__ import annotations

import html as _html
import math
import re
from collections.abc import Callable, Sequence
from typing import Any

from tessary._report import NOTE, QUANTILES, _number, _percent, _short, _type, printable, title

# Alerts: a column is flagged when its missing share reaches MISSING_SHARE, when
# its distinct count reaches IDENTIFIER_SHARE of its count (with at least
# IDENTIFIER_MIN_COUNT values), and when |skewness| reaches SKEWNESS.
MISSING_SHARE = 0.2
IDENTIFIER_SHARE = 0.95
IDENTIFIER_MIN_COUNT = 50
SKEWNESS = 2.0
# Columns at most this many distinct values have exact counts of every value.
EXACT_DISTINCT = 1000
# Bars of a chart of top values.
TOP_BARS = 10
# A histogram's count axis turns logarithmic when at least half of its bins would
# be too low to see on a linear one: under LOG_SHARE of the highest bin.
LOG_SHARE = 0.01

_CSS = """
.tessary{--fg:#1d2430;--muted:#5b6577;--line:#d5dae3;--bg:#fff;--card:#f7f8fb;--bar:#3b6fb6;
--bar2:#d9822b;--miss:#c0392b;--warn:#fff4e0;--warnline:#e0a040;
font:14px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,"DejaVu Sans",sans-serif;color:var(--fg);
background:var(--bg)}
.tessary h1{font-size:1.5em;margin:.2em 0 .4em}.tessary h2{font-size:1.15em;margin:1em 0 .4em}
.tessary h3{font-size:1.05em;margin:0;overflow-wrap:anywhere}
.tessary .overview{display:flex;flex-wrap:wrap;gap:.6em 2em;margin:.4em 0}
.tessary .overview div{display:flex;flex-direction:column}
.tessary .overview b{font-size:1.35em}.tessary .overview span{color:var(--muted);font-size:.9em}
.tessary .alerts{list-style:none;padding:0;margin:.4em 0;display:grid;
grid-template-columns:repeat(auto-fill,minmax(330px,1fr));gap:.3em .8em}
.tessary .alert{background:var(--warn);border-left:4px solid var(--warnline);padding:.25em .6em}
.tessary .alert a{color:inherit;font-weight:600}
.tessary .tag{font-size:.78em;text-transform:uppercase;letter-spacing:.04em;color:#8a5a00;
font-weight:700;margin-right:.4em}
.tessary .cards{display:grid;grid-template-columns:repeat(auto-fill,minmax(400px,1fr));gap:12px;
align-items:start}
.tessary .card{background:var(--card);border:1px solid var(--line);border-radius:6px;
padding:10px 12px;min-width:0;content-visibility:auto;contain-intrinsic-size:auto 420px}
.tessary .card header{display:flex;justify-content:space-between;gap:1em;align-items:baseline}
.tessary .kind{color:var(--muted);font-size:.85em;white-space:nowrap}
.tessary .counts{margin:.3em 0 .1em;font-size:.92em}
.tessary table.figures{border-collapse:collapse;width:100%;font-size:.9em;margin:.3em 0}
.tessary table.figures th{text-align:left;font-weight:500;color:var(--muted);padding:1px 6px 1px 0}
.tessary table.figures td{text-align:right;font-variant-numeric:tabular-nums;padding:1px 10px 1px 0;
overflow-wrap:anywhere}
.tessary figure{margin:.5em 0 0}.tessary svg{display:block;max-width:100%;height:auto}
.tessary svg text{font:11px system-ui,"DejaVu Sans",sans-serif;fill:var(--fg)}
.tessary svg .muted{fill:var(--muted)}
.tessary .s0{fill:var(--bar)}.tessary .s1{fill:var(--bar2);fill-opacity:.55;stroke:#8a4a10;
stroke-width:1}
.tessary .axis{stroke:var(--muted);stroke-width:1}.tessary .present{fill:#9db8dd}
.tessary .absent{fill:var(--miss)}.tessary .box{fill:#9db8dd;stroke:var(--bar)}
.tessary .tick{stroke:var(--fg);stroke-width:1.5}
.tessary .median{stroke:var(--miss);stroke-width:2.5}.tessary .muted{color:var(--muted)}
.tessary .note,.tessary .reason{color:var(--muted);font-size:.85em}
"""

_e = _html.escape


def _text(value: Any) -> str:
    """A figure or value as escaped text for the page."""
    return _e(printable(value) if isinstance(value, str) else _number(value))


def _f(x: float) -> str:
    """A coordinate."""
    return "%.1f" % x


# --- chart primitives ---------------------------------------------------------------

def _scale(lo: float, hi: float, start: float, length: float) -> Callable[[float], float]:
    """The map of positions from lo..hi onto start..start + length; halved first, so
    that the extremes of float64 do not overflow."""
    half_lo = lo / 2
    half_span = (hi / 2 - half_lo) or 0.5

    def x(pos: float) -> float:
        return start + (pos / 2 - half_lo) / half_span * length
    return x


def histogram_svg(series: Sequence[tuple[str, Sequence[float], Sequence[int]]],
                  ticks: Sequence[tuple[float, str]], label: str, *, unit: str = "",
                  log: bool = False, edge_texts: Sequence[Sequence[str]] | None = None,
                  shares: bool = False, width: int = 380, height: int = 150) -> str:
    """Bars of one or more histograms over one axis, drawn over each other.

    Each series is (name, edges, counts): len(edges) == len(counts) + 1, edges as
    positions on the axis. `ticks` are (position, text) marks of the axis; `label`
    names the chart in its <title>, which lists every bin and count (each bin by
    the text of its lower edge: `edge_texts`, one list per series, or the edge);
    `log` draws the count axis on a log scale; `shares` draws each bin's share of its
    series instead of its count, so that series of different sizes compare. More than
    one series get a legend.
    """
    left, right, top, bottom = 46, 8, 6 if len(series) < 2 else 22, 30
    plot_w, plot_h = width - left - right, height - top - bottom
    lows = [s[1][0] for s in series if s[2]]
    highs = [s[1][-1] for s in series if s[2]]
    lo, hi = (min(lows), max(highs)) if lows else (0.0, 1.0)
    x = _scale(lo, hi, left, plot_w)
    totals = [sum(s[2]) or 1 for s in series]
    heights: list[Sequence[float]] = [[c / t for c in s[2]] if shares else s[2]
                                      for s, t in zip(series, totals)]
    peak = max((c for counts in heights for c in counts), default=0) or 1

    def y(count: float) -> float:
        if count <= 0:
            return 0.0
        if log:
            return plot_h * math.log10(count + 1) / math.log10(peak + 1)
        return plot_h * count / peak

    words = [f"{label}: histogram" + (" (count axis on a log scale)" if log else "")]
    bars = []
    base = top + plot_h
    for i, (name, edges, counts) in enumerate(series):
        # One path of all the bars: a page of many charts stays light for the browser.
        cells = []
        xs = [x(e) for e in edges]
        for b, count in enumerate(counts):
            if count:
                h = y(heights[i][b])
                h = h if h > 1.0 else 1.0
                x0 = xs[b]
                w = xs[b + 1] - x0 - 0.6
                cells.append("M%.1f %dv%.1fh%.1fv%.1fz" % (x0, base, -h, w if w > 0.8 else 0.8, h))
        bars.append(f'<path class="s{i % 2}" d="{"".join(cells)}"/>')
        words.append(f"{name + ': ' if name else ''}{sum(counts):,} values in {len(counts)} bins")
    gridlines = []
    levels: list[float] = [peak] if not log else [10 ** d for d in range(int(math.log10(peak)) + 1)]
    for level in levels:
        yy = top + plot_h - y(level)
        mark = f"{level:.0%}" if shares else _compact(int(level))
        gridlines.append(f'<text x="{left - 4}" y="{_f(yy + 4)}" text-anchor="end" '
                         f'class="muted">{_e(mark)}</text>'
                         f'<line class="axis" x1="{left - 3}" x2="{left}" y1="{_f(yy)}" '
                         f'y2="{_f(yy)}"/>')
    marks = []
    for pos, text in ticks:
        xx = x(pos)
        anchor = "start" if xx < left + 20 else "end" if xx > width - right - 20 else "middle"
        marks.append(f'<line class="axis" x1="{_f(xx)}" x2="{_f(xx)}" y1="{top + plot_h}" '
                     f'y2="{top + plot_h + 4}"/><text x="{_f(xx)}" y="{top + plot_h + 15}" '
                     f'text-anchor="{anchor}">{_e(text)}</text>')
    if len(series) > 1:  # a legend: the series differ by outline too, not by colour alone
        for i, (name, _, _) in enumerate(series):
            xx = left + 120 * i
            marks.append(f'<rect class="s{i % 2}" x="{xx}" y="3" width="10" height="10"/>'
                         f'<text x="{xx + 14}" y="12">{_e(_short(name, 16))}</text>')
    caption = ("share" if shares else f"count{' (log)' if log else ''}") + (f" · {unit}" if unit else "")
    texts = edge_texts or [[_number(v) for v in s[1]] for s in series]
    details = "; ".join(
        (f"{name}: " if name else "") + ", ".join(
            f"from {edge_text[b]}: {count:,}" + (f" ({_percent(count, total)})" if shares else "")
            for b, count in enumerate(counts))
        for (name, _, counts), edge_text, total in zip(series, texts, totals))
    return (f'<svg class="chart histogram" viewBox="0 0 {width} {height}" width="{width}" '
            f'height="{height}" role="img"><title>{_e("; ".join(words))}. Bins: '
            f'{_e(details)}</title>{"".join(bars)}'
            f'<line class="axis" x1="{left}" x2="{width - right}" y1="{top + plot_h}" '
            f'y2="{top + plot_h}"/><line class="axis" x1="{left}" x2="{left}" y1="{top}" '
            f'y2="{top + plot_h}"/>{"".join(gridlines)}{"".join(marks)}'
            f'<text x="{width - right}" y="{height - 2}" text-anchor="end" class="muted">'
            f'{_e(caption)}</text></svg>')


def _compact(count: int) -> str:
    for size, suffix in ((10 ** 9, "G"), (10 ** 6, "M"), (10 ** 3, "k")):
        if count >= size:
            return f"{count / size:.3g}{suffix}"
    return str(count)


def shares_svg(labels: Sequence[str], series: Sequence[tuple[str, Sequence[int], int]],
               label: str, *, bound: bool = False, width: int = 380) -> str:
    """Horizontal bars of shares: one row per label, one bar per series in each row.

    Each series is (name, counts by label, total); a bar's length is count / total
    and its text gives the count and the share (after the series' name, when more
    than one). `bound` marks counts as lower bounds.
    """
    name_w, bar_h, gap = 120, 14, 5
    row_h = bar_h * len(series) + gap
    height = row_h * len(labels) + 2
    plot_w = width - name_w - (110 if len(series) < 2 else 180)  # room for the text after a bar
    peak = max((c / t for _, counts, t in series if t for c in counts), default=0.0) or 1.0
    sign = "≥" if bound else ""
    rows, words = [], []
    for r, text in enumerate(labels):
        y0 = 1 + r * row_h
        rows.append(f'<text x="{name_w - 6}" y="{_f(y0 + row_h / 2 + 2)}" text-anchor="end">'
                    f'{_e(_short(text, 18))}</text>')
        for i, (name, counts, total) in enumerate(series):
            tag = f"{_short(name, 10)}: " if len(series) > 1 else ""
            count = counts[r]
            share = count / total if total else 0.0
            w = max(plot_w * share / peak, 1.0 if count else 0.0)
            yy = y0 + i * bar_h
            rows.append(f'<rect class="s{i % 2}" x="{name_w}" y="{yy}" width="{_f(w)}" '
                        f'height="{bar_h - 2}"/><text x="{_f(name_w + w + 4)}" y="{yy + 10}">'
                        f'{_e(tag)}{sign}{count:,} ({_percent(count, total)})</text>')
            words.append(f"{printable(text)}{' (' + name + ')' if name else ''}: {sign}{count:,} "
                         f"({_percent(count, total)})")
    return (f'<svg class="chart shares" viewBox="0 0 {width} {height}" width="{width}" '
            f'height="{height}" role="img"><title>{_e(label)}: shares of values. '
            f'{_e("; ".join(words))}</title>{"".join(rows)}</svg>')


def quantile_strip_svg(points: Sequence[tuple[str, float, str]], label: str, *,
                       width: int = 380, height: int = 54) -> str:
    """A strip from the minimum to the maximum with a mark at each quantile.

    `points` are (name, position, text) in order: "min", "p01" … "p99", "max";
    p25 to p75 is drawn as a box, p50 as a heavier mark, p05 and p95 as whiskers.
    """
    left, right = 10, 10
    at = {name: pos for name, pos, _ in points}
    lo, hi = min(at.values()), max(at.values())
    x = _scale(lo, hi, left, width - left - right)

    mid = 26
    parts = [f'<line class="axis" x1="{_f(x(lo))}" x2="{_f(x(hi))}" y1="{mid}" y2="{mid}"/>']
    if "p25" in at and "p75" in at:
        parts.append(f'<rect class="box" x="{_f(x(at["p25"]))}" y="{mid - 7}" '
                     f'width="{_f(max(x(at["p75"]) - x(at["p25"]), 1))}" height="14"/>')
    for name, pos, _ in points:
        size = 9 if name in ("p05", "p95", "min", "max") else 5
        cls = "median" if name == "p50" else "tick"
        parts.append(f'<line class="{cls}" x1="{_f(x(pos))}" x2="{_f(x(pos))}" '
                     f'y1="{mid - size}" y2="{mid + size}"/>')
    texts = {name: text for name, _, text in points}
    # The extremes below the strip, at its ends; the median above it.
    for name, anchor in (("min", "start"), ("p50", "middle"), ("max", "end")):
        if name in texts:
            xx, yy = x(at[name]), height - 3
            if name == "p50":
                anchor = "start" if xx < 90 else "end" if xx > width - 90 else "middle"
                yy = 10
            parts.append(f'<text x="{_f(xx)}" y="{yy}" text-anchor="{anchor}">'
                         f'{_e(name if name != "p50" else "median")} {_e(texts[name])}</text>')
    words = ", ".join(f"{name} {text}" for name, _, text in points)
    return (f'<svg class="chart quantiles" viewBox="0 0 {width} {height}" width="{width}" '
            f'height="{height}" role="img"><title>{_e(label)}: quantiles: {_e(words)}</title>'
            f'{"".join(parts)}</svg>')


def missing_svg(count: int, missing: int, width: int = 380) -> str:
    """A bar of present and missing values, with the numbers in its <title>."""
    rows = count + missing
    w = width * missing / rows if rows else 0.0
    if missing and w < 2:
        w = 2.0
    return (f'<svg class="missing" viewBox="0 0 {width} 8" width="{width}" height="8" '
            f'role="img"><title>{count:,} present, {missing:,} missing '
            f'({_percent(missing, rows)})</title><rect class="present" x="0" y="0" '
            f'width="{_f(width - w)}" height="8"/><rect class="absent" x="{_f(width - w)}" '
            f'y="0" width="{_f(w)}" height="8"/></svg>')


# --- positions of figures ------------------------------------------------------------

_DATE = re.compile(r"^(-?\d{4,})-(\d\d)-(\d\d)(?:[ T](\d\d):(\d\d):(\d\d)(\.\d+)?)?"
                   r"(?:Z|[+-]\d\d:?\d\d)?$")
_CLOCK = re.compile(r"^(\d\d):(\d\d):(\d\d)(\.\d+)?$")
_AMOUNT = re.compile(r"^(-?\d+) ?[a-z]*$")
_NUMBER = re.compile(r"^\s*[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?\s*$")


def _days(year: int, month: int, day: int) -> int:
    """Days from 1970-01-01 to a proleptic Gregorian date, for any year."""
    year -= month <= 2
    era = year // 400
    year_of_era = year - era * 400
    day_of_year = (153 * (month + (-3 if month > 2 else 9)) + 2) // 5 + day - 1
    day_of_era = year_of_era * 365 + year_of_era // 4 - year_of_era // 100 + day_of_year
    return era * 146_097 + day_of_era - 719_468


def position(value: Any) -> float | None:
    """Where a figure lies on its column's axis: numbers as they are, dates and
    times as seconds, "N unit" as N; None when the text is not understood."""
    if isinstance(value, bool) or value is None:
        return None
    if isinstance(value, (int, float)):
        return float(value) if math.isfinite(value) else None
    m = _DATE.match(value)
    if m:
        seconds = _days(int(m[1]), int(m[2]), int(m[3])) * 86400.0
        if m[4]:
            seconds += int(m[4]) * 3600 + int(m[5]) * 60 + int(m[6]) + float(m[7] or 0)
        return seconds
    m = _CLOCK.match(value)
    if m:
        return int(m[1]) * 3600 + int(m[2]) * 60 + int(m[3]) + float(m[4] or 0)
    m = _AMOUNT.match(value)
    return float(m[1]) if m else None


# --- the report ----------------------------------------------------------------------

def alerts(profile: dict[str, Any]) -> list[tuple[str, str, str]]:
    """(column, alert, detail) for each column that deserves a look, in column order."""
    out = []
    for name, c in profile["columns"].items():
        count, missing, kind = c["count"], c["missing"], c["kind"]
        rows = count + missing

        def add(alert: str, detail: str) -> None:
            out.append((name, alert, detail))

        if count == 0:
            if missing:
                add("all missing", f"every one of {missing:,} rows is missing")
            continue
        if missing and missing >= MISSING_SHARE * rows:
            add("missing", f"{missing:,} of {rows:,} missing ({_percent(missing, rows)})")
        distinct = c.get("distinct")
        if kind == "boolean" and 0 in (c["true"], c["false"]):
            add("constant", f"always {'true' if c['true'] else 'false'}")
        elif distinct == 1:
            add("constant", f"one value: {_short(c['min'] if 'min' in c else c['top'][0][0], 24)}"
                if kind != "string" or c["top"] else "one value")
        integral = kind == "string" or (kind == "numeric" and "int" in c["type"])
        if (integral and distinct is not None and count >= IDENTIFIER_MIN_COUNT
                and distinct >= IDENTIFIER_SHARE * count):
            add("identifier?", f"{distinct:,} distinct of {count:,} values")
        skew = c.get("skewness")
        if kind == "numeric" and skew is not None and abs(skew) >= SKEWNESS:
            add("skewed", f"skewness {skew:.3g}")
        if c.get("infinite"):
            add("infinite", f"{c['infinite']:,} infinite values")
        top = c.get("top") or []
        if kind == "string" and top and all(_NUMBER.match(v) for v, _ in top):
            shown = sum(n for _, n in top)
            if distinct == len(top) or shown * 2 >= count:
                add("numbers as text", f"the {len(top)} most frequent values are numbers "
                    f"({_percent(shown, count)} of values)")
    return out


def _figures(rows: list[tuple[str, str]], per_row: int = 2) -> str:
    cells = [f"<th>{_e(k)}</th><td>{v}</td>" for k, v in rows]
    # Two figures a row, so that a card stays short (one where they are long, as dates).
    pairs = ["<tr>" + "".join(cells[i:i + per_row]) + "</tr>"
             for i in range(0, len(cells), per_row)]
    return f'<table class="figures">{"".join(pairs)}</table>'


def _histogram(name: str, c: dict[str, Any]) -> str:
    hist = c.get("histogram") or {"edges": [], "counts": []}
    edges, counts = hist["edges"], hist["counts"]
    if not counts:
        return ""
    temporal = c["kind"] == "temporal"
    # Bins are of equal width: temporal edges (text) are placed by their index.
    at = list(range(len(edges))) if temporal else [float(v) for v in edges]
    n = len(counts)
    # Three marks of the axis; two where they are long (dates and times).
    long = temporal and len(str(edges[0])) > 12
    picks = sorted({0, n // 2, n} if n >= 4 and not long else {0, n})
    ticks = [(at[i], _short(edges[i], 24 if len(picks) < 3 else 14)) for i in picks]
    nonzero = [k for k in counts if k]
    log = 2 * sum(k < LOG_SHARE * max(nonzero) for k in nonzero) >= len(nonzero)
    unit = c.get("unit", "") if temporal else ""
    texts = [[printable(v) if isinstance(v, str) else _number(v) for v in edges]]
    svg = histogram_svg([("", at, counts)], ticks, _short(name, 80), unit=unit, log=log,
                        edge_texts=texts)
    return f"<figure>{svg}</figure>"


def _strip(name: str, c: dict[str, Any]) -> str:
    q = c.get("quantiles")
    if not q or c.get("min") is None:
        return ""
    named = [("min", c["min"]), *((k, q[k]) for k in QUANTILES), ("max", c["max"])]
    points = []
    for key, value in named:
        pos = position(value)
        if pos is None:
            return ""
        points.append((key, pos, _short(value, 21)))
    if points[0][1] == points[-1][1]:
        return ""  # one value: the figures say it all
    return f"<figure>{quantile_strip_svg(points, _short(name, 80))}</figure>"


def _shares(name: str, c: dict[str, Any]) -> str:
    count = c["count"]
    if not count:
        return ""
    if c["kind"] == "boolean":
        labels, counts, bound = ["true", "false"], [c["true"], c["false"]], False
    else:
        top = c.get("top") or []
        if not top:
            return ""
        exact = c.get("distinct") is not None and c["distinct"] <= EXACT_DISTINCT
        labels = [v if isinstance(v, str) else _number(v) for v, _ in top[:TOP_BARS]]
        counts = [n for _, n in top[:TOP_BARS]]
        rest = count - sum(counts)
        if rest > 0 and exact:
            more = c["distinct"] - len(counts)
            labels.append(f"{more:,} other value{'s' if more != 1 else ''}")
            counts.append(rest)
        bound = not exact
    svg = shares_svg(labels, [("", counts, count)], _short(name, 80), bound=bound)
    return f"<figure>{svg}</figure>"


def card(index: int, name: str, c: dict[str, Any]) -> str:
    """One column's card: kind and type, counts, figures and charts."""
    kind, count, missing = c["kind"], c["count"], c["missing"]
    rows = count + missing
    parts = [f'<article class="card" id="col{index}"><header><h3>{_e(_short(name, 300))}</h3>'
             f'<span class="kind">{_e(kind)} · {_e(printable(_type(c["type"])))}</span></header>'
             f'<div class="counts">{count:,} present · {missing:,} missing '
             f'({_percent(missing, rows)})</div>{missing_svg(count, missing)}']
    figures: list[tuple[str, str]] = []
    if kind in ("numeric", "temporal"):
        infinite = c.get("infinite") or 0
        for key in ("min", "max"):
            text = _text(c.get(key))
            if infinite:
                text += f' <span class="muted">({infinite:,} infinite)</span>'
            figures.append((key, text))
        for key in ("mean", "std", "skewness", "kurtosis"):
            if c.get(key) is not None:
                figures.append((key, _text(c[key])))
        figures.append(("distinct", _text(c.get("distinct"))))
        if c.get("quantiles"):
            figures += [(k, _text(c["quantiles"][k])) for k in ("p25", "p50", "p75")]
    elif kind == "string":
        figures.append(("distinct", _text(c["distinct"])))
    elif kind == "boolean":
        figures += [("true", f"{c['true']:,}"), ("false", f"{c['false']:,}")]
    if count == 0:
        parts.append('<p class="reason">no values</p>' if kind != "other" else "")
    elif figures:
        parts.append(_figures(figures, 1 if kind == "temporal" else 2))
    if kind in ("numeric", "temporal"):
        parts.append(_histogram(name, c))
        parts.append(_strip(name, c))
    exact = c.get("distinct") is not None and c["distinct"] <= EXACT_DISTINCT
    if kind in ("string", "boolean") or (exact and kind == "numeric"):
        parts.append(_shares(name, c))
    if kind == "other":
        parts.append(f'<p class="reason">{_e(printable(c.get("reason", "")))}</p>')
    parts.append("</article>")
    return "".join(parts)


def cards(profile: dict[str, Any]) -> str:
    return '<div class="cards">' + "".join(
        card(i, name, c) for i, (name, c) in enumerate(profile["columns"].items())) + "</div>"


def overview(profile: dict[str, Any], anchor: str = "") -> str:
    """The table's figures and the alerts, each linking to its column's card."""
    columns = profile["columns"]
    kinds: dict[str, int] = {}
    for c in columns.values():
        kinds[c["kind"]] = kinds.get(c["kind"], 0) + 1
    cells = len(columns) * profile["rows"]
    missing = sum(c["missing"] for c in columns.values())
    items = [(f"{profile['rows']:,}", "rows"), (f"{len(columns):,}", "columns")]
    items += [(f"{n:,}", kind) for kind, n in kinds.items()]
    items.append((f"{missing:,} ({_percent(missing, cells)})", "missing cells"))
    parts = ['<div class="overview">' + "".join(
        f"<div><b>{_e(v)}</b><span>{_e(k)}</span></div>" for v, k in items) + "</div>"]
    index = {name: i for i, name in enumerate(columns)}
    found = alerts(profile)
    parts.append(f"<h2>Alerts ({len(found)})</h2>")
    if found:
        parts.append('<ul class="alerts">' + "".join(
            f'<li class="alert"><span class="tag">{_e(alert)}</span>'
            f'<a href="#{anchor}col{index[name]}">{_e(_short(name, 40))}</a> {_e(detail)}</li>'
            for name, alert, detail in found) + "</ul>")
    else:
        parts.append("<p>None.</p>")
    return "".join(parts)


def section(profile: dict[str, Any], heading: str, number: int = 0) -> str:
    """One table's part of the page: heading, overview, alerts and column cards."""
    anchor = f"t{number}-" if number else ""
    body = cards(profile)
    if anchor:
        body = body.replace('id="col', f'id="{anchor}col')
    return (f'<section><h1>{_e(printable(heading))}</h1>'
            f'<p class="note">{_e(title(profile))}</p>{overview(profile, anchor)}'
            f'<h2>Columns</h2>{body}</section>')


def document(sections: Sequence[tuple[str, dict[str, Any]]]) -> str:
    """A whole HTML page with one section per (heading, profile)."""
    heading = sections[0][0] if len(sections) == 1 else f"{len(sections)} tables"
    body = "".join(section(p, h, i if len(sections) > 1 else 0)
                   for i, (h, p) in enumerate(sections, 1))
    return page(heading, f'{body}<p class="note">{_e(NOTE)}</p>')


def page(heading: str, body: str) -> str:
    """A whole HTML page of the report's style around `body` (HTML)."""
    return ('<!DOCTYPE html><html lang="en"><head><meta charset="utf-8">'
            '<meta name="viewport" content="width=device-width,initial-scale=1">'
            f'<title>{_e(printable(heading))} · tessary</title><style>{_CSS}'
            'body{margin:0}main{padding:16px 20px;max-width:1700px;margin:auto}</style></head>'
            f'<body class="tessary"><main>{body}</main></body></html>')


def styled(body: str) -> str:
    """`body` (HTML) with the report's style, as a fragment for a notebook."""
    return f'<div class="tessary"><style>{_CSS}</style>{body}</div>'


def fragment(profile: dict[str, Any]) -> str:
    """The column cards alone, with their style, for a notebook."""
    return styled(f'<p><b>{_e(title(profile))}</b></p>{cards(profile)}'
                  f'<p class="note">{_e(NOTE)}</p>')
