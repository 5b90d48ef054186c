"""Renders a profile's plain data as a text, rich or Arrow table (the HTML report is in _html).

Every renderer starts from `Profile.to_dict()`, so they all show the same figures.
"""

from __future__ import annotations

import datetime
import math
import re
from collections.abc import Callable, Sequence
from typing import Any

from tessary._columns import _duration_text

NUMERIC_HEADERS = ("column", "type", "count", "missing", "missing %", "mean", "std", "min", "p25",
                   "p50", "p75", "max", "distinct")
# Shown after "max" when a column holds infinite values.
INFINITE_HEADER = "infinite"
TEMPORAL_HEADERS = ("column", "type", "count", "missing", "missing %", "min", "p50", "max", "std",
                    "distinct")
OTHER_HEADERS = ("column", "type", "count", "missing", "missing %", "distinct",
                 "top values (count)")
QUANTILES = ("p01", "p05", "p25", "p50", "p75", "p95", "p99")
NOTE = ("count: present values; missing: nulls and NaN, and their share of the rows; infinite: "
        "values of ±inf, counted in count but not in the mean, std, min, max or quantiles; mean, "
        "std: exact; distinct, quantiles and top values: exact up to 1,000 distinct values, "
        "beyond that distinct is an estimate (about 1.6% standard error), quantiles are within "
        "1% or a thousandth of the range and top counts are lower bounds")


# Characters that must not reach a terminal raw: the C0 and C1 controls and DEL (which start
# escape sequences), line and paragraph separators, the bidirectional overrides, and lone
# surrogates (from file names that are not UTF-8).
_UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u2028\u2029\u202a-\u202e"
                     "\u2066-\u2069\ud800-\udfff]")


def printable(text: str) -> str:
    """`text` with each unsafe character written as its Python escape ("\\x1b",
    "\\n", "\\u202e"); everything else, non-ASCII letters included, as it is."""
    return _UNSAFE.sub(lambda m: repr(m.group())[1:-1], text)


def _number(x: Any) -> str:
    """A figure in the one format of the tables: integers in full with thousands separators,
    other numbers to 4 significant digits in the same style ("2,009", "2,008.5" is "2,009",
    "5.916", "0.0123"), with an exponent only beyond 1e15 or below 1e-4."""
    if x is None:
        return ""
    if isinstance(x, str):
        return x
    if isinstance(x, int):
        return f"{x:,}"
    if not math.isfinite(x):
        return "nan" if math.isnan(x) else "inf" if x > 0 else "-inf"
    if x == 0:
        return "0"
    magnitude = math.floor(math.log10(abs(x)))
    if magnitude >= 15 or magnitude < -4:
        return f"{x:.4g}"
    text = f"{x:,.{max(0, 3 - magnitude)}f}"
    return text.rstrip("0").rstrip(".") if "." in text else text


# The fraction of a second of a date-time or time, with its trailing zeros.
_FRACTION = re.compile(r"(:\d\d)\.(\d*?)0*(?!\d)")


def _temporal(x: str | None, column: dict[str, Any]) -> str:
    """A date, time or duration figure in full: a fraction of a second without its trailing
    zeros, a duration in the largest unit it fills ("20 min", "1.561 h")."""
    if x is None:
        return ""
    if column["type"].startswith("duration") and re.fullmatch(r"-?\d+", x):
        return _duration_text(int(x), column["unit"])
    return _FRACTION.sub(lambda m: m.group(1) + ("." + m.group(2) if m.group(2) else ""), x)


def _percent(part: int, whole: int) -> str:
    """part / whole as a percentage to one decimal, never 0.0% or 100.0% when it is not."""
    if whole == 0:
        return "0%"
    share = 100.0 * part / whole
    if 0 < share < 0.1:
        return "<0.1%"
    if 99.9 < share < 100:
        return ">99.9%"
    return f"{share:.1f}%"


def _share(column: dict[str, Any]) -> str:
    """The missing values' share of the column's rows, as a percentage."""
    rows = column["count"] + column["missing"]
    return _percent(column["missing"], rows) if rows else ""


def _top(pairs: list[list[Any]], limit: int = 3) -> str:
    shown = [f"{_short(value)} ({count:,})" for value, count in pairs[:limit]]
    more = len(pairs) - limit
    return ", ".join(shown) + (f", +{more} more" if more > 0 else "")


def _short(value: Any, width: int = 20) -> str:
    text = printable(value) if isinstance(value, str) else _number(value)
    return text if len(text) <= width else text[:width - 1] + "…"


def _type(text: str) -> str:
    # "dictionary<values=string, indices=int32, ordered=0>" says more than a
    # reader needs; the value type is what matters.
    if text.startswith("dictionary<values="):
        return "dictionary<" + text[len("dictionary<values="):].split(",")[0] + ">"
    return text


def sections(profile: dict[str, Any]) -> list[tuple[str, tuple[str, ...], list[list[str]]]]:
    """The report's tables: (title, headers, rows of text), empty ones left out."""
    numeric, temporal, other = [], [], []
    infinite = any(c["kind"] == "numeric" and c["infinite"] for c in profile["columns"].values())
    for name, c in profile["columns"].items():
        head = [printable(name), printable(_type(c["type"])), _number(c["count"]),
                _number(c["missing"]), _share(c)]
        if c["kind"] == "temporal":
            temporal.append(head + [_temporal(x, c) for x in (c["min"], c["quantiles"]["p50"],
                                                              c["max"])]
                            + [c["std"] or "", _number(c["distinct"])])
        elif c["kind"] == "numeric":
            q = c["quantiles"]
            numeric.append(head + [_number(c[k]) for k in ("mean", "std", "min")]
                           + [_number(q[k]) for k in ("p25", "p50", "p75")]
                           + [_number(c["max"])] + ([_number(c["infinite"])] if infinite else [])
                           + [_number(c["distinct"])])
        elif c["kind"] == "string":
            other.append(head + [_number(c["distinct"]), _top(c["top"])])
        elif c["kind"] == "boolean":
            other.append(head + ["", f"true ({c['true']:,}), false ({c['false']:,})"])
        else:
            other.append(head + ["", printable(c.get("reason", ""))])
    out: list[tuple[str, tuple[str, ...], list[list[str]]]] = []
    if numeric:
        headers: tuple[str, ...] = NUMERIC_HEADERS
        if infinite:
            headers = headers[:-1] + (INFINITE_HEADER, headers[-1])
        out.append(("numeric columns", headers, numeric))
    if temporal:
        out.append(("date and time columns", TEMPORAL_HEADERS, temporal))
    if other:
        out.append(("other columns", OTHER_HEADERS, other))
    return out


def notes(profile: dict[str, Any]) -> list[str]:
    """One line per column read otherwise than as it is: "name: how"."""
    return [printable(f"{name}: {c['note']}") for name, c in profile["columns"].items()
            if "note" in c]


def title(profile: dict[str, Any]) -> str:
    n = len(profile["columns"])
    return f"tessary profile: {profile['rows']:,} rows, {n} column{'s' if n != 1 else ''}"


def _left(headers: tuple[str, ...], i: int) -> bool:
    return i < 2 or headers[i].startswith("top")


def aligned(rows: Sequence[Sequence[str]], left: Callable[[int], bool]) -> list[str]:
    """`rows` (the headers first) as lines of columns two spaces apart, column i
    aligned to the left where left(i), else to the right."""
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    return ["  ".join(cell.ljust(w) if left(i) else cell.rjust(w)
                      for i, (cell, w) in enumerate(zip(r, widths))).rstrip() for r in rows]


def text(profile: dict[str, Any]) -> str:
    """Plain-text tables, one row per column."""
    lines = [title(profile)]
    for caption, headers, body in sections(profile):
        lines += ["", caption, *aligned([list(headers)] + body, lambda i: _left(headers, i))]
    if notes(profile):
        lines += ["", "notes", *notes(profile)]
    lines += ["", NOTE]
    return "\n".join(lines)


def _needed_width(headers: tuple[str, ...], body: list[list[str]]) -> int:
    return sum(max(len(r[i]) for r in [list(headers)] + body) + 3 for i in range(len(headers)))


def rich_tables(profile: dict[str, Any], width: int = 200) -> list[Any]:
    """rich renderables of the report for a console `width` characters wide (needs rich).

    A table of figures too wide for the console is turned on its side, one
    column of the data per table column, in as many tables as needed.
    """
    from rich import box
    from rich.table import Table
    from rich.text import Text

    out: list[Any] = [Text(title(profile), style="bold")]
    for caption, headers, body in sections(profile):
        if headers[-1].startswith("top") or _needed_width(headers, body) <= width:
            table = Table(title=caption, title_justify="left", box=box.SIMPLE_HEAD)
            for i, header in enumerate(headers):
                left = _left(headers, i)
                longest = max(len(r[i]) for r in [list(headers)] + body)
                # Figures keep their width; names, types and top values fold.
                table.add_column(header, justify="left" if left else "right", overflow="fold",
                                 min_width=min(longest, 12) if left else longest)
            for r in body:
                table.add_row(*(Text(cell) for cell in r))  # no markup in the data
            out.append(table)
            continue
        groups: list[list[list[str]]] = [[]]
        label_width = max(len(h) for h in headers) + 3
        used = label_width
        for r in body:
            needed = max(len(cell) for cell in r) + 3
            if groups[-1] and used + needed > width:
                groups.append([])
                used = label_width
            groups[-1].append(r)
            used += needed
        for group in groups:
            table = Table(title=caption, title_justify="left", box=box.SIMPLE_HEAD)
            table.add_column("")
            for r in group:
                table.add_column(Text(r[0]), justify="right", overflow="fold")
            for i, label in enumerate(headers[1:], start=1):
                table.add_row(label, *(Text(r[i]) for r in group))
            out.append(table)
    if notes(profile):
        out.append(Text("\n".join(["notes", *notes(profile)])))
    out.append(Text(NOTE, style="dim"))
    return out


# The figures of `Profile.to_arrow()` and `to_pandas()`, one row per column, and their Arrow types.
SUMMARY = (("kind", "string"), ("type", "string"), ("count", "int64"), ("missing", "int64"),
           ("missing_share", "float64"), ("mean", "float64"), ("std", "float64"),
           ("variance", "float64"), ("skewness", "float64"), ("kurtosis", "float64"),
           ("min", "float64"), *((q, "float64") for q in QUANTILES), ("max", "float64"),
           ("infinite", "int64"), ("distinct", "int64"), ("true", "int64"),
           ("false", "int64"), ("top", "string"), ("note", "string"))
_FLOATS = ("mean", "std", "variance", "skewness", "kurtosis", "min", *QUANTILES, "max")


def summary_schema(pa: Any) -> Any:
    """The schema of `Profile.to_arrow()`."""
    return pa.schema([("column", pa.string()),
                      *((name, getattr(pa, kind)()) for name, kind in SUMMARY)])


def summary_rows(profile: dict[str, Any], typed: bool = False) -> list[dict[str, Any]]:
    """One dict per column, with the keys of SUMMARY after "column".

    For `to_arrow()` (typed false) every figure is a number: the figures of temporal columns,
    which are text, are left out and `top` is text. For `to_pandas()` (typed true) each figure
    keeps its type: integers as ints, dates and timestamps as pandas Timestamps, durations and a
    temporal std as Timedeltas, times of day as datetime.time, `top` as its [value, count] pairs.
    """
    out = []
    for name, c in profile["columns"].items():
        rows = c["count"] + c["missing"]
        row: dict[str, Any] = {"column": name, **{key: c.get(key) for key, _ in SUMMARY}}
        row["missing_share"] = c["missing"] / rows if rows else None
        row["note"] = c.get("note", c.get("reason"))
        if "top" in c:
            row["top"] = [list(pair) for pair in c["top"]] if typed else _top(c["top"], limit=10)
        if c["kind"] == "numeric":
            row.update(c["quantiles"])
            if not typed:
                row.update({k: None if row[k] is None else float(row[k]) for k in _FLOATS})
        elif c["kind"] == "temporal":
            row.update({k: None for k in ("mean", "std", "min", "max", *QUANTILES)})
            if typed:
                row.update({k: _typed(c[k], c) for k in ("mean", "min", "max")})
                row.update({k: _typed(v, c) for k, v in c["quantiles"].items()})
                row["std"] = _typed_span(c["std"])
        out.append(row)
    return out


def summary_frame(profile: dict[str, Any]) -> Any:
    """`Profile.to_pandas()`: the typed summary rows indexed by column name. Counts are
    nullable integers; each other figure has the type pandas infers from its values, object
    where they differ (numbers beside Timestamps)."""
    import pandas as pd  # type: ignore[import-untyped]

    rows = summary_rows(profile, typed=True)
    data = {}
    for key, kind in SUMMARY:
        values = [row[key] for row in rows]
        data[key] = (pd.array(values, dtype="Int64") if kind == "int64"
                     else pd.Series(values, dtype=object).infer_objects().array)
    return pd.DataFrame(data, index=pd.Index([row["column"] for row in rows], name="column"))


_SPAN_UNITS = {"days": "D", "h": "h", "min": "min", "s": "s", "ms": "ms", "us": "us", "ns": "ns"}


def _typed_span(text: str | None) -> Any:
    """A temporal std ("1.561 h") as a pandas Timedelta."""
    import pandas as pd  # type: ignore[import-untyped]

    if text is None:
        return None
    amount, _, unit = text.partition(" ")
    try:
        return pd.Timedelta(float(amount), unit=_SPAN_UNITS[unit])
    except (ValueError, OverflowError):  # beyond pandas' range: the text
        return text


def _typed(text: str | None, column: dict[str, Any]) -> Any:
    """A temporal figure as a pandas Timestamp (dates too, in the column's time zone),
    Timedelta, or datetime.time; the text itself where pandas cannot hold the value."""
    import pandas as pd  # type: ignore[import-untyped]

    if text is None:
        return None
    kind = column["type"]
    try:
        if kind.startswith("duration"):
            return pd.Timedelta(int(text), unit=column["unit"])
        if kind.startswith(("timestamp", "date")):
            stamp = pd.Timestamp(text)
            zone = re.search(r"tz=([^\]]+)", kind)
            if zone and stamp.tzinfo is not None:
                try:
                    stamp = stamp.tz_convert(zone.group(1))
                except Exception:  # a zone unknown here: the stamp stays in UTC
                    pass
            return stamp
        clock, _, fraction = text.partition(".")
        return datetime.time.fromisoformat(clock + ("." + fraction[:6].ljust(6, "0") if fraction else ""))
    except (ValueError, OverflowError):
        return text
