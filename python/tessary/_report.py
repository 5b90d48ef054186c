"""Renders a profile's plain data as a text, rich or Arrow table (the HTML report is in _html).

Every renderer starts from `Profile.to_dict()`, so they all show the same figures.
"""

from __future__ import annotations

import re
from typing import Any

NUMERIC_HEADERS = ("column", "type", "count", "missing", "mean", "std", "min", "p25", "p50",
                   "p75", "max", "distinct")
TEMPORAL_HEADERS = ("column", "type", "count", "missing", "min", "p50", "max", "std", "distinct")
OTHER_HEADERS = ("column", "type", "count", "missing", "distinct", "top values (count)")
QUANTILES = ("p01", "p05", "p25", "p50", "p75", "p95", "p99")
NOTE = ("count: present values; missing: nulls and NaN; mean, std: exact; distinct, quantiles "
        "and top values: exact up to 1,000 distinct values, beyond that distinct is an estimate "
        "(about 1.6% standard error), quantiles are within 1% or a thousandth of the range and "
        "top counts are lower bounds")


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
    if x is None:
        return ""
    if isinstance(x, str):
        # Temporal figures: whole seconds are enough for a table.
        head, dot, tail = x.partition(".")
        if dot and tail[:1].isdigit():
            digits = len(tail) - len(tail.lstrip("0123456789"))
            return head + tail[digits:]
        return x
    if isinstance(x, int):
        return f"{x:,}"
    return f"{x:.4g}"


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
    for name, c in profile["columns"].items():
        head = [printable(name), printable(_type(c["type"])), _number(c["count"]),
                _number(c["missing"])]
        if c["kind"] == "temporal":
            temporal.append(head + [_number(x) for x in (c["min"], c["quantiles"]["p50"],
                                                          c["max"], c["std"], c["distinct"])])
        elif c["kind"] == "numeric":
            q = c["quantiles"]
            numeric.append(head + [_number(c[k]) for k in ("mean", "std", "min")]
                           + [_number(q[k]) for k in ("p25", "p50", "p75")]
                           + [_number(c["max"]), _number(c["distinct"])])
        elif c["kind"] == "string":
            other.append(head + [_number(c["distinct"]), _top(c["top"])])
        elif c["kind"] == "boolean":
            other.append(head + ["", f"true ({c['true']:,}), false ({c['false']:,})"])
        else:
            other.append(head + ["", printable(c.get("reason", ""))])
    out: list[tuple[str, tuple[str, ...], list[list[str]]]] = []
    if numeric:
        out.append(("numeric columns", NUMERIC_HEADERS, numeric))
    if temporal:
        out.append(("date and time columns", TEMPORAL_HEADERS, temporal))
    if other:
        out.append(("other columns", OTHER_HEADERS, other))
    return out


def title(profile: dict[str, Any]) -> str:
    n = len(profile["columns"])
    return f"tessary profile: {profile['rows']:,} rows, {n} column{'s' if n != 1 else ''}"


def _left(headers: tuple[str, ...], i: int) -> bool:
    return i < 2 or headers[i].startswith("top")


def text(profile: dict[str, Any]) -> str:
    """Plain-text tables, one row per column."""
    lines = [title(profile)]
    for caption, headers, body in sections(profile):
        body = [list(headers)] + body
        widths = [max(len(r[i]) for r in body) for i in range(len(headers))]
        lines.append("")
        lines.append(caption)
        for r in body:
            lines.append("  ".join(cell.ljust(w) if _left(headers, i) else cell.rjust(w)
                                   for i, (cell, w) in enumerate(zip(r, widths))).rstrip())
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
    out.append(Text(NOTE, style="dim"))
    return out


def summary_schema(pa: Any) -> Any:
    """The schema of `Profile.to_arrow()`."""
    floats = ["mean", "std", "skewness", "kurtosis", "min", *QUANTILES, "max"]
    return pa.schema([("column", pa.string()), ("kind", pa.string()), ("type", pa.string()),
                      ("count", pa.int64()), ("missing", pa.int64()),
                      *[(name, pa.float64()) for name in floats],
                      ("distinct", pa.int64()), ("top", pa.string())])


def summary_rows(profile: dict[str, Any]) -> list[dict[str, Any]]:
    """One dict per column for `Profile.to_arrow()`; figures of temporal
    columns are text, so only their counts enter the numeric fields."""
    out = []
    for name, c in profile["columns"].items():
        row = {"column": name, "kind": c["kind"], "type": c["type"], "count": c["count"],
               "missing": c["missing"], "distinct": c.get("distinct"),
               "top": _top(c["top"], limit=10) if "top" in c else None}
        if c["kind"] == "numeric":
            row.update({k: c[k] for k in ("mean", "std", "skewness", "kurtosis")})
            row.update({k: None if c[k] is None else float(c[k]) for k in ("min", "max")})
            row.update(c["quantiles"])
        out.append(row)
    return out
