"""`compare`: how two profiles of the same table differ, from the profiles alone.

Every distance is given as an interval [low, high] that contains the value
computed on the raw rows, because it is computed from exact counts: the exact
value counts of a column in exact mode, the fine histogram's bins otherwise
(exact counts over bins aligned to a power-of-two width, identical for any
split or merge of the rows), the heavy hitters of a text column with the
bound on their undercount. Nothing here is sampled or estimated, so the same
rows give the same comparison, however they were split, merged or threaded.

Number columns (finite values; infinities and missing values left out):
- "ks": sup |F_ref - F_cur| of the empirical distribution functions. Both
  sides in exact mode: exact. Otherwise both sides are binned at their
  common (the coarser) width: at every bin edge both functions are exact,
  which gives the low end; inside a bin each may take any value between its
  values at the bin's two edges, which gives the high end.
- "wasserstein": the integral of |F_ref - F_cur|, in the column's unit (for
  temporal columns the unit of "unit"). Exact in exact mode; otherwise,
  between bins exact, and inside each bin the least and the most that moving
  each side's mass within the bin can make of it.
- "psi": the population stability index over the reference's histogram bins
  (those of its to_dict() histogram, at most 64, coarsened to the current
  side's bin width where that is coarser), current values beyond them counted
  in the first or the last bin, each count smoothed by adding 0.5:
  sum (c - r) ln(c / r) over the shares r, c.
Text, boolean and number columns in exact mode on both sides:
- "tvd": half the sum over values of |share_ref - share_cur| among the
  present (for numbers: finite) values. Exact when both sides are exact
  (text values are told apart by their 64-bit hash). Otherwise each heavy
  hitter's count lies between its counter and the counter plus the bound on
  the undercount, and a value not listed has at most that bound: the low end
  sums the differences that these ranges prove, the high end is 1 minus the
  shares both sides are known to hold in common.
Computed figures are widened outward (Wasserstein by a relative 1e-9, shares
by 1e-12, both by 1e-15 absolute) so that float rounding never excludes the
exact value.

The verdict: a column drifts when a bound proves an effect that sampling
alone would not explain at level `alpha`, and that is at least a floor:
- numbers: the KS low end exceeds both the two-sample critical value
  sqrt(-ln(alpha / 2) / 2) * sqrt((n + m) / (n m)) and `ks_floor`;
- text and booleans: the TVD low end exceeds both
  0.5 sqrt(1/n + 1/m) sum_v sqrt(p_v) + sqrt((1/n + 1/m) ln(1 / alpha) / 2)
  (a bound on the mean of the TVD of two samples of one distribution p,
  estimated from both sides' shares, plus the deviation that the
  bounded-differences inequality allows at level alpha) and `tvd_floor`;
- any column: the share of missing values changes by more than the same
  TVD rule allows for two categories (present, missing).
"""

from __future__ import annotations

import html
import math
from collections.abc import Sequence
from typing import Any

from tessary import _report

# The verdict's defaults.
ALPHA = 0.001
KS_FLOOR = 0.02
TVD_FLOOR = 0.02

# How far computed figures are widened, for float rounding: shares and their
# differences are a few roundings from exact, sums over bins a few thousand.
_RELATIVE = 1e-9
_SHARE_RELATIVE = 1e-12
_ABSOLUTE = 1e-15
# Values shown in "top_changes".
_TOP_CHANGES = 5
_PSI_BINS = 64
_PSI_SMOOTHING = 0.5

def _np() -> Any:
    from tessary import _inputs

    return _inputs.require("numpy", "tessary.compare")


def _widen(low: float, high: float, top: float = math.inf, relative: float = _RELATIVE) -> list[float]:
    """[low, high] widened outward for rounding, kept within [0, top]."""
    low = max(0.0, low - abs(low) * relative - _ABSOLUTE)
    high = min(top, high + abs(high) * relative + _ABSOLUTE)
    return [low, max(low, high)]


# ------------------------------------------------------------ numbers

def _union(np: Any, a: Any, b: Any) -> Any:
    """The distinct values of two arrays, ascending."""
    both = np.concatenate((a, b))
    both.sort()
    return both[np.concatenate(([True], both[1:] != both[:-1]))] if len(both) else both


def _fits_float(np: Any, values: Any) -> bool:
    """Whether every value (ascending) converts to a float64 exactly."""
    return values.dtype == np.float64 or len(values) == 0 or (
        -2 ** 53 <= int(values[0]) and int(values[-1]) <= 2 ** 53)


def _exact_positions(np: Any, ref: Any, cur: Any) -> tuple[Any, Any, Any]:
    """Both sides' values and their union, ascending: float64 where that is
    exact, Python numbers otherwise."""
    if _fits_float(np, ref) and _fits_float(np, cur):
        r, c = ref.astype(np.float64), cur.astype(np.float64)
        return r, c, _union(np, r, c)
    r, c = np.array(ref.tolist(), dtype=object), np.array(cur.tolist(), dtype=object)
    return r, c, np.array(sorted(set(ref.tolist()) | set(cur.tolist())), dtype=object)


def _exact_numbers(np: Any, ref: dict[str, Any], cur: dict[str, Any]) -> dict[str, Any]:
    """KS, Wasserstein and TVD of two exact value-count lists."""
    r, c, union = _exact_positions(np, ref["values"], cur["values"])
    rc = np.zeros(len(union), dtype=np.uint64)
    cc = np.zeros(len(union), dtype=np.uint64)
    rc[np.searchsorted(union, r)] = ref["counts"]
    cc[np.searchsorted(union, c)] = cur["counts"]
    n, m = float(ref["n"]), float(cur["n"])
    f = np.cumsum(rc).astype(np.float64) / n
    g = np.cumsum(cc).astype(np.float64) / m
    diff = np.abs(f - g)
    ks = float(diff.max())
    if union.dtype == object:
        gaps = np.array([float(b - a) for a, b in zip(union[:-1], union[1:])], dtype=np.float64)
    else:
        gaps = np.diff(union)
    w = float(np.dot(diff[:-1], gaps)) if len(gaps) else 0.0
    p, q = rc.astype(np.float64) / n, cc.astype(np.float64) / m
    tvd = 0.5 * float(np.abs(p - q).sum())
    return {"ks": _widen(ks, ks, 1.0, _SHARE_RELATIVE), "wasserstein": _widen(w, w),
            "tvd": _widen(tvd, tvd, 1.0, _SHARE_RELATIVE), "shares": (union, p, q)}


def _bin_exponent(side: dict[str, Any]) -> int | None:
    """The width exponent of a side's fine bins; None for exact values (any width)."""
    return None if side["exact"] else side["width_exponent"]


def _index(value: Any, e: int) -> int:
    """floor(value / 2^e), exactly."""
    if type(value) is int:
        return value >> e if e >= 0 else value << -e
    if math.frexp(value)[1] - e > 1000:  # far beyond int64: a number as far
        return int(math.copysign(2.0 ** 1000, value))
    k = math.floor(math.ldexp(value, -e))
    return -1 if k == 0 and value < 0 else k


def _fits_bins(side: dict[str, Any], e: int) -> bool:
    """Whether a side's bins at exponent e are numbered within int64 (with room)."""
    if side["n"] == 0 or not side["exact"]:
        return True
    return max(abs(_index(side["min"], e)), abs(_index(side["max"], e))) < 2 ** 61


def _binned(np: Any, side: dict[str, Any], e: int) -> tuple[Any, Any]:
    """A side's (bin numbers ascending, counts) at width exponent e, no finer
    than its own bins; exact values must fit (_fits_bins)."""
    counts = side["counts"]
    if side["n"] == 0:
        return np.zeros(0, dtype=np.int64), counts
    if not side["exact"]:
        bins = side["first_bin"] + np.arange(len(counts), dtype=np.int64)
        if e == side["width_exponent"]:
            return bins, counts
        bins >>= e - side["width_exponent"]
    elif side["values"].dtype == np.float64:
        v = side["values"]
        bins = np.floor(np.ldexp(v, -e))
        bins[(bins == 0) & (v < 0)] = -1  # a quotient that underflowed to -0.0
        bins = bins.astype(np.int64)
    else:
        v = side["values"]
        bins = (v >> np.uint64(e) if e >= 0 else v << np.uint64(-e)) if v.dtype == np.uint64 else (
            v >> e if e >= 0 else v << -e)
        bins = bins.astype(np.int64)
    starts = np.flatnonzero(np.concatenate(([True], bins[1:] != bins[:-1])))
    return bins[starts], np.add.reduceat(counts, starts)


def _common_exponent(ref: dict[str, Any], cur: dict[str, Any]) -> int:
    e = max(x for x in (_bin_exponent(ref), _bin_exponent(cur)) if x is not None)
    while not (_fits_bins(ref, e) and _fits_bins(cur, e)):
        e += 1
    return e


def _aligned(np: Any, a: tuple[Any, Any], b: tuple[Any, Any]) -> tuple[Any, Any, Any]:
    """The bins either side occupies, and both sides' counts in them."""
    if len(a[0]) and len(b[0]):
        first = min(a[0][0], b[0][0])
        span = int(max(a[0][-1], b[0][-1]) - first) + 1
        if span <= len(a[0]) + len(b[0]):  # dense: each side's bins by offset
            ca = np.zeros(span, dtype=np.uint64)
            cb = np.zeros(span, dtype=np.uint64)
            ca[a[0] - first] = a[1]
            cb[b[0] - first] = b[1]
            # Offsets added to the first bin: the last may be the largest int64.
            return first + np.arange(span, dtype=np.int64), ca, cb
    bins = _union(np, a[0], b[0])
    ca = np.zeros(len(bins), dtype=np.uint64)
    cb = np.zeros(len(bins), dtype=np.uint64)
    ca[np.searchsorted(bins, a[0])] = a[1]
    cb[np.searchsorted(bins, b[0])] = b[1]
    return bins, ca, cb


def _binned_numbers(np: Any, ref: dict[str, Any], cur: dict[str, Any]) -> dict[str, Any]:
    """KS and Wasserstein bounds from both sides' bins at their common width."""
    e = _common_exponent(ref, cur)
    bins, rc, cc = _aligned(np, _binned(np, ref, e), _binned(np, cur, e))
    n, m = float(ref["n"]), float(cur["n"])
    f_end = np.cumsum(rc).astype(np.float64) / n  # F at each bin's right edge (from below)
    g_end = np.cumsum(cc).astype(np.float64) / m
    f_start = np.concatenate(([0.0], f_end[:-1]))
    g_start = np.concatenate(([0.0], g_end[:-1]))
    ks_low = float(np.abs(f_end - g_end).max())
    most = np.maximum(f_end - g_start, g_end - f_start)
    ks_high = float(most.max())
    width = math.ldexp(1.0, e)
    # Inside a bin: the least and the most |F - G| can integrate to.
    inside_low = float(np.maximum(0.0, np.maximum(g_start - f_end, f_start - g_end)).sum())
    inside_high = float(most.sum())
    # Between occupied bins both functions are constant.
    gaps = (np.diff(bins) - 1).astype(np.float64)
    between = float(np.dot(np.abs(f_end[:-1] - g_end[:-1]), gaps)) if len(gaps) else 0.0
    return {"ks": _widen(ks_low, ks_high, 1.0, _SHARE_RELATIVE),
            "wasserstein": _widen((inside_low + between) * width, (inside_high + between) * width)}


def _grid(ref: dict[str, Any], cur: dict[str, Any], most: int) -> tuple[int, int, int]:
    """(width exponent, first bin, bins) of the reference's histogram of at most
    `most` bins, no finer than either side's own bins."""
    known = [x for x in (_bin_exponent(ref), _bin_exponent(cur)) if x is not None]
    lo_v, hi_v = ref["min"], ref["max"]
    if known:
        e = max(known)
    else:  # both exact: the narrowest width that spans the range in `most` bins
        span = float(hi_v) - float(lo_v)
        e = math.frexp(span)[1] - most.bit_length() if 0 < span < math.inf else -1074
        if all(type(v) is int for v in (lo_v, hi_v)):
            e = max(e, 0)
    while not (_fits_bins(ref, e) and _fits_bins(cur, e)):
        e += 1
    while _index(hi_v, e) - _index(lo_v, e) + 1 > most:
        e += 1
    first = _index(lo_v, e)
    return e, first, _index(hi_v, e) - first + 1


def _shares(np: Any, side: dict[str, Any], e: int, first: int, k: int) -> Any:
    """A side's counts in the k bins from `first` at width 2^e, those beyond counted in the end bins."""
    bins, counts = _binned(np, side, e)
    return np.bincount(np.clip(bins - first, 0, k - 1), counts.astype(np.float64), k)


def _psi(np: Any, ref: dict[str, Any], cur: dict[str, Any]) -> float:
    """The PSI over the reference's histogram bins (see the module's text)."""
    e, first, k = _grid(ref, cur, _PSI_BINS)
    r = _shares(np, ref, e, first, k)
    c = _shares(np, cur, e, first, k)
    r = (r + _PSI_SMOOTHING) / (r.sum() + _PSI_SMOOTHING * k)
    c = (c + _PSI_SMOOTHING) / (c.sum() + _PSI_SMOOTHING * k)
    return float(((c - r) * np.log(c / r)).sum())


# ------------------------------------------------------------ categories

def _tvd_of_counts(np: Any, ref: dict[str, Any], cur: dict[str, Any]) -> dict[str, Any]:
    """TVD bounds from value counts keyed alike on both sides ("keys" ascending,
    "counts", "labels"): exact counts, or heavy hitters whose counts are short
    by at most the side's undercount."""
    rk, ck = ref["keys"], cur["keys"]
    keys = _union(np, rk, ck)
    n, m = float(ref["n"]), float(cur["n"])
    r_lo = np.zeros(len(keys))
    c_lo = np.zeros(len(keys))
    r_lo[np.searchsorted(keys, rk)] = ref["counts"] / n
    c_lo[np.searchsorted(keys, ck)] = cur["counts"] / m
    if ref["exact"] and cur["exact"]:
        low = high = 0.5 * float(np.abs(r_lo - c_lo).sum())
    else:
        # A value that a side does not list has at most its undercount there.
        r_hi, c_hi = r_lo + ref["undercount"] / n, c_lo + cur["undercount"] / m
        low = max(float(np.maximum(0.0, r_lo - c_hi).sum()), float(np.maximum(0.0, c_lo - r_hi).sum()))
        high = 1.0 - float(np.minimum(r_lo, c_lo).sum())
    order = np.argsort(-np.abs(c_lo - r_lo), kind="stable")[:_TOP_CHANGES].tolist()
    changes = []
    for i in order:
        key = keys[i]
        at = int(np.searchsorted(rk, key))
        side, at = (ref, at) if at < len(rk) and rk[at] == key else (cur, int(np.searchsorted(ck, key)))
        changes.append([side["label"](at), float(r_lo[i]), float(c_lo[i])])
    return {"tvd": _widen(low, high, 1.0, _SHARE_RELATIVE), "top_changes": changes,
            "root_sum": _root_sum(np, r_lo, c_lo, n, m, ref, cur)}


def _root_sum(np: Any, r: Any, c: Any, n: float, m: float, ref: dict[str, Any],
              cur: dict[str, Any]) -> float:
    """sum_v sqrt(p_v) for the pooled shares p; values that no side lists share
    the rest of the mass, spread over at most the distinct values not listed."""
    pooled = (r * n + c * m) / (n + m)
    total = float(np.sqrt(pooled).sum())
    rest = max(0.0, 1.0 - float(pooled.sum()))
    if rest > 0.0:
        unlisted = max(1, max(ref["distinct"], cur["distinct"]) - len(pooled))
        total += math.sqrt(unlisted * rest)
    return total


def _tvd_critical(n: int, m: int, root_sum: float, alpha: float) -> float:
    spread = 1.0 / n + 1.0 / m
    return 0.5 * math.sqrt(spread) * root_sum + math.sqrt(spread * math.log(1.0 / alpha) / 2.0)


def _ks_critical(n: int, m: int, alpha: float) -> float:
    return math.sqrt(-math.log(alpha / 2.0) / 2.0) * math.sqrt((n + m) / (n * m))


# ------------------------------------------------------------ columns

def _share(missing: int, count: int) -> float | None:
    rows = missing + count
    return None if rows == 0 else missing / rows


_STORAGE = {"float64": "f8", "int64": "i8", "uint64": "u8"}


def _number_side(np: Any, figures: dict[str, Any], detail: dict[str, Any]) -> dict[str, Any]:
    """A number column's finite values as counted: exact values or fine bins."""
    side: dict[str, Any] = {"exact": detail["exact"], "n": figures["count"] - (figures.get("infinite") or 0),
                            "counts": np.frombuffer(detail["counts"], dtype=np.uint64)}
    if detail["exact"]:
        values = np.frombuffer(detail["values"], dtype=_STORAGE[detail["storage"]])
        side["values"] = values
        if len(values):
            side["min"], side["max"] = values[0].item(), values[-1].item()
    else:
        e, first, last = detail["width_exponent"], detail["first_bin"], detail["first_bin"] + len(side["counts"]) - 1
        side.update(first_bin=first, width_exponent=e)
        # The extremes' bins are the first and the last: all that the PSI grid needs of them.
        side["min"], side["max"] = ((first << e, last << e) if e >= 0 else
                                    (math.ldexp(first, e), math.ldexp(last, e)))
    return side


def _compare_numbers(np: Any, rf: dict[str, Any], cf: dict[str, Any], rd: dict[str, Any],
                     cd: dict[str, Any], out: dict[str, Any], rule: dict[str, float]) -> list[str]:
    ref, cur = _number_side(np, rf, rd), _number_side(np, cf, cd)
    if ref["n"] == 0 or cur["n"] == 0:
        out.update({"ks": None, "wasserstein": None, "psi": None})
        return []
    exact = _exact_numbers(np, ref, cur) if ref["exact"] and cur["exact"] else None
    out.update(_binned_numbers(np, ref, cur) if exact is None else
               {"ks": exact["ks"], "wasserstein": exact["wasserstein"]})
    out["psi"] = _psi(np, ref, cur)
    if exact is not None:
        out["tvd"] = exact["tvd"]
        union, p, q = exact["shares"]
        integer = ref["values"].dtype != np.float64 and cur["values"].dtype != np.float64
        order = np.argsort(-np.abs(q - p), kind="stable")[:_TOP_CHANGES].tolist()
        out["top_changes"] = [[int(union[i]) if integer else float(union[i]), float(p[i]), float(q[i])]
                              for i in order]
    critical = _ks_critical(ref["n"], cur["n"], rule["alpha"])
    return ["ks"] if out["ks"][0] > max(critical, rule["ks_floor"]) else []


def _categories(np: Any, out: dict[str, Any], ref: dict[str, Any], cur: dict[str, Any],
                rule: dict[str, float]) -> list[str]:
    if ref["n"] == 0 or cur["n"] == 0:
        out["tvd"] = None
        return []
    result = _tvd_of_counts(np, ref, cur)
    out["tvd"] = result["tvd"]
    out["top_changes"] = result["top_changes"]
    critical = _tvd_critical(ref["n"], cur["n"], result["root_sum"], rule["alpha"])
    return ["tvd"] if out["tvd"][0] > max(critical, rule["tvd_floor"]) else []


def _text_side(np: Any, figures: dict[str, Any], detail: dict[str, Any]) -> dict[str, Any]:
    return {"exact": detail["exact"], "n": figures["count"], "distinct": figures.get("distinct") or 0,
            "undercount": detail["undercount"], "keys": np.frombuffer(detail["hashes"], dtype=np.uint64),
            "counts": np.frombuffer(detail["counts"], dtype=np.uint64),
            "label": _labels(np, detail)}


def _labels(np: Any, detail: dict[str, Any]) -> Any:
    """The text of the i-th value's label (its first 32 bytes)."""
    ends = np.frombuffer(detail["label_ends"], dtype=np.uint64)
    blob = detail["labels"]

    def label(i: int) -> str:
        start = int(ends[i - 1]) if i else 0
        return str(blob[start:int(ends[i])].decode("utf-8", "backslashreplace"))
    return label


def _boolean_side(np: Any, figures: dict[str, Any]) -> dict[str, Any]:
    return {"exact": True, "n": figures["count"], "distinct": 2, "undercount": 0,
            "keys": np.array([0, 1], dtype=np.uint64), "label": bool,
            "counts": np.array([figures["count"] - figures["true"], figures["true"]], dtype=np.uint64)}


def _missing_drifts(rf: dict[str, Any], cf: dict[str, Any], rule: dict[str, float]) -> bool:
    n, m = rf["count"] + rf["missing"], cf["count"] + cf["missing"]
    if n == 0 or m == 0:
        return False
    p, q = rf["missing"] / n, cf["missing"] / m
    pooled = (rf["missing"] + cf["missing"]) / (n + m)
    critical = _tvd_critical(n, m, math.sqrt(pooled) + math.sqrt(1.0 - pooled), rule["alpha"])
    return bool(abs(p - q) > max(critical, rule["tvd_floor"]))


def _column(np: Any, name: str, reference: Any, current: Any, rule: dict[str, float]) -> dict[str, Any]:
    rf = reference._columns.get(name)
    cf = current._columns.get(name)
    if rf is None or cf is None:
        present = rf if cf is None else cf
        status = "removed" if cf is None else "added"
        return {"status": status, "kind": present["kind"]}
    kind = rf["kind"]
    if cf["kind"] != kind or rf.get("unit") != cf.get("unit"):
        changed: dict[str, Any] = {"status": "kind changed", "kind": [rf["kind"], cf["kind"]]}
        if kind == cf["kind"]:  # temporal values of another unit
            changed["unit"] = [rf.get("unit"), cf.get("unit")]
        return changed
    out: dict[str, Any] = {"status": "same", "kind": kind,
                           "missing": [_share(rf["missing"], rf["count"]), _share(cf["missing"], cf["count"])]}
    if kind in ("numeric", "temporal"):
        for key in ("mean", "std", "distinct"):
            out[key] = [rf.get(key), cf.get(key)]
        if kind == "temporal":
            out["unit"] = rf.get("unit")
        reasons = _compare_numbers(np, rf, cf, _detail(reference, name), _detail(current, name), out, rule)
    elif kind == "string":
        out["distinct"] = [rf.get("distinct"), cf.get("distinct")]
        reasons = _categories(np, out, _text_side(np, rf, _detail(reference, name)),
                              _text_side(np, cf, _detail(current, name)), rule)
    elif kind == "boolean":
        reasons = _categories(np, out, _boolean_side(np, rf), _boolean_side(np, cf), rule)
    else:
        reasons = []
    if _missing_drifts(rf, cf, rule):
        reasons.append("missing")
    out["reasons"] = reasons
    if reasons:
        out["status"] = "drift"
    return out


def _detail(profile: Any, name: str) -> dict[str, Any]:
    details: dict[str, dict[str, Any]] | None = profile._details()
    if details is None or name not in details:
        raise ValueError("this Profile holds figures only (it was not made by tessary.profile or a "
                         "Profiler): compare the data, a Profiler, or a Profile that one made")
    return details[name]


# ------------------------------------------------------------ the result

class Comparison:
    """How the current profile differs from the reference, column by column.

    `to_dict()` gives the figures as plain data; `drifted` the columns whose
    status is not "same". The module text of `tessary._compare` (and the README)
    says what each interval bounds and how the verdict is reached.
    """

    def __init__(self, reference_rows: int, current_rows: int, columns: dict[str, dict[str, Any]],
                 profiles: tuple[Any, Any] | None = None) -> None:
        self._reference_rows = reference_rows
        self._current_rows = current_rows
        self._columns = columns
        self._profiles = profiles  # for the drawings of to_html()

    @property
    def drifted(self) -> list[str]:
        """The columns whose status is not "same": drifting, added, removed or of another kind."""
        return [name for name, c in self._columns.items() if c["status"] != "same"]

    def to_dict(self) -> dict[str, Any]:
        """{"reference_rows": n, "current_rows": m, "columns": {name: {...}}}."""
        import copy

        return {"reference_rows": self._reference_rows, "current_rows": self._current_rows,
                "columns": copy.deepcopy(self._columns)}

    def __repr__(self) -> str:
        rows = [("column", "status", "kind", "missing", "ks", "wasserstein", "psi", "tvd")]
        for name, c in self._columns.items():
            rows.append((name, c["status"], _kind_text(c.get("kind")), _pair_text(c.get("missing")),
                         _interval_text(c.get("ks")), _interval_text(c.get("wasserstein")),
                         "" if c.get("psi") is None else f"{c['psi']:.4g}", _interval_text(c.get("tvd"))))
        return "\n".join([f"Comparison: {self._caption()}", *_report.aligned(rows, lambda i: True)])

    def to_html(self) -> str:
        """A self-contained HTML page: a table of the columns, with each column's two
        distributions drawn as the profile report draws them."""
        from tessary import _html

        return _html.page("comparison", self._table())

    def _repr_html_(self) -> str:
        from tessary import _html

        return _html.styled(self._table())

    def _table(self) -> str:
        head = ("<tr><th>column</th><th>status</th><th>kind</th><th>missing</th><th>KS</th>"
                "<th>Wasserstein</th><th>PSI</th><th>TVD</th><th>reference / current</th></tr>")
        body = []
        for name, c in self._columns.items():
            colour = {"same": "#2a7", "drift": "#c33"}.get(c["status"], "#c80")
            cells = [html.escape(name), f'<b style="color:{colour}">{html.escape(c["status"])}</b>',
                     html.escape(_kind_text(c.get("kind"))), _pair_text(c.get("missing")),
                     _interval_text(c.get("ks")), _interval_text(c.get("wasserstein")),
                     "" if c.get("psi") is None else f"{c['psi']:.4g}", _interval_text(c.get("tvd")),
                     _svg(name, self._shape(name), c, self._counts(name))]
            body.append("<tr>" + "".join(f"<td>{cell}</td>" for cell in cells) + "</tr>")
        caption = self._caption()
        return ('<table class="tessary-compare" style="border-collapse:collapse;font-family:sans-serif;'
                f'font-size:13px"><caption>{html.escape(caption)}</caption>{head}{"".join(body)}</table>')

    def _caption(self) -> str:
        return (f"{self._reference_rows} reference rows, {self._current_rows} current rows, "
                f"{len(self.drifted)} of {len(self._columns)} columns changed")

    def _counts(self, name: str) -> tuple[int, int]:
        """The present values of the column on each side (0 where it is absent)."""
        if self._profiles is None:
            return 0, 0
        ref, cur = (p._columns.get(name, {}).get("count", 0) for p in self._profiles)
        return ref, cur

    def _shape(self, name: str) -> Any:
        if self._profiles is None or self._columns[name].get("ks") is None:
            return None
        return _shape(_np(), *self._profiles, name)


def _kind_text(kind: Any) -> str:
    return " -> ".join(kind) if isinstance(kind, list) else str(kind or "")


def _pair_text(pair: Any) -> str:
    if not pair:
        return ""
    return " / ".join("-" if x is None else f"{x:.3g}" for x in pair)


def _interval_text(interval: Any) -> str:
    if not interval:
        return ""
    low, high = interval
    # One figure where the interval is only the widening against rounding.
    return f"{low:.4g}" if high - low <= 1e-8 * max(1.0, abs(high)) else f"[{low:.4g}, {high:.4g}]"


def _svg(name: str, shape: Any, column: dict[str, Any], counts: tuple[int, int]) -> str:
    """The two sides drawn with the report's charts: overlaid histograms of their shares
    for numbers, side-by-side shares of the values whose share moved most otherwise."""
    from tessary import _html

    if shape is not None:
        edges, r, c = shape
        ticks = [(edges[0], _report._number(edges[0])), (edges[-1], _report._number(edges[-1]))]
        return _html.histogram_svg([("reference", edges, r), ("current", edges, c)], ticks,
                                   name, shares=True, width=300, height=110)
    rows = column.get("top_changes")
    if not rows:
        return ""
    n, m = counts
    # Counts are exact where the TVD is (an interval of one figure), lower bounds otherwise.
    exact = "[" not in _interval_text(column.get("tvd") or [0.0, 1.0])
    return _html.shares_svg([str(v) for v, _, _ in rows],
                            [("reference", [round(r * n) for _, r, _ in rows], n),
                             ("current", [round(c * m) for _, _, c in rows], m)],
                            name, bound=not exact, width=440)


# ------------------------------------------------------------ entry point

def _as_profile(side: Any) -> Any:
    from tessary._profile import Profile, Profiler, profile

    if isinstance(side, Profile):
        return side
    if isinstance(side, Profiler):
        return side.profile()
    return profile(side)


def _shape(np: Any, reference: Any, current: Any, name: str) -> Any:
    """Both sides' shares over the reference's PSI bins, for the drawing."""
    try:
        rf, cf = reference._columns[name], current._columns[name]
        ref = _number_side(np, rf, _detail(reference, name))
        cur = _number_side(np, cf, _detail(current, name))
        if ref["n"] == 0 or cur["n"] == 0:
            return None
        e, first, k = _grid(ref, cur, 32)
        edges = [math.ldexp(first + i, e) for i in range(k + 1)]
        r, c = ([int(x) for x in _shares(np, side, e, first, k)] for side in (ref, cur))
        return edges, r, c
    except (ValueError, OverflowError):
        return None


def compare(reference: Any, current: Any, *, columns: Sequence[str] | None = None,
            alpha: float = ALPHA, ks_floor: float = KS_FLOOR, tvd_floor: float = TVD_FLOOR) -> Comparison:
    """Compares two profiles of a table: `reference` (before) and `current` (now).

    Each side is a `Profile` (made by `tessary.profile` or a `Profiler`), a
    `Profiler`, or any data that `tessary.profile` takes. `columns` restricts
    the comparison to those names (in that order). `alpha`, `ks_floor` and
    `tvd_floor` set the verdict (see the README: a column drifts when the low
    end of its KS or TVD interval exceeds both the critical value at `alpha`
    for the two sample sizes and the floor, or its share of missing values
    moves beyond the same rule).

    Returns a `Comparison`; raises ValueError for a Profile built from figures
    alone, or a column named in `columns` that neither side has.
    """
    if isinstance(columns, str):
        raise TypeError("columns must be a list of column names, not one string")
    if not 0.0 < alpha < 1.0:
        raise ValueError(f"alpha must lie between 0 and 1, got {alpha!r}")
    if not (ks_floor >= 0.0 and tvd_floor >= 0.0):
        raise ValueError("ks_floor and tvd_floor must be at least 0")
    np = _np()
    ref = _as_profile(reference)
    cur = _as_profile(current)
    if columns is None:
        names = list(ref._columns) + [n for n in cur._columns if n not in ref._columns]
    else:
        names = [str(n) for n in columns]
        absent = [n for n in names if n not in ref._columns and n not in cur._columns]
        if absent:
            raise ValueError(f"neither profile has the column {absent[0]!r}")
    rule = {"alpha": alpha, "ks_floor": ks_floor, "tvd_floor": tvd_floor}
    out = {name: _column(np, name, ref, cur, rule) for name in names}
    return Comparison(ref.rows, cur.rows, out, (ref, cur))
