"""What the engine is given for each column type, and the figures a reader sees.

The engine profiles each batch whole (tessary._native.TableAccumulator); this
module decides, from the Arrow types alone, which columns it is handed
converted (decimals, half floats, extension types, dictionaries of
non-text values), and turns the engine's figures into those of
`Profile.to_dict()`: numbers as ints where the column holds integers, dates
and times in their own type, text decoded. Nothing here looks at values.
"""

from __future__ import annotations

import contextlib
import functools
import math
from typing import Any, Callable, Iterator, TypeVar, cast

# pyarrow ships no type information; these names say what is meant.
Array = Any
DataType = Any

QUANTILE_KEYS = ("p01", "p05", "p25", "p50", "p75", "p95", "p99")


def _pa() -> Any:
    import pyarrow  # type: ignore[import-untyped]

    return pyarrow


def data_error(error: BaseException, context: str) -> BaseException:
    """What to raise for `error`, raised by pyarrow about the data: the kinds
    tessary documents, TypeError, OSError and MemoryError as they are,
    NotImplementedError as TypeError, any other (an invalid value, an index
    out of range) as ValueError with its message after `context`."""
    if isinstance(error, (TypeError, OSError, MemoryError)):
        return error
    kind = TypeError if isinstance(error, NotImplementedError) else ValueError
    converted = kind(f"{context}: {error}")
    converted.__cause__ = error
    return converted


@contextlib.contextmanager
def data_errors(context: str) -> Iterator[None]:
    """Raises the errors that pyarrow raises about the data as data_error says."""
    try:
        yield
    except _pa().ArrowException as error:
        raise data_error(error, context)


def _count(value: Any) -> int:
    if type(value) is not int or not 0 <= value < 2 ** 64:
        raise ValueError(f"a count must be an int from 0 to 2**64 - 1, got {value!r}")
    return value


_OfType = TypeVar("_OfType", bound=Callable[[Any], Any])


def _per_type(function: _OfType) -> _OfType:
    """`function` of an Arrow type, worked out once per type: a wide table has many
    columns and few types."""
    cached = functools.lru_cache(maxsize=1024)(function)

    @functools.wraps(function)
    def of(arrow_type: DataType) -> Any:
        try:
            return cached(arrow_type)
        except TypeError:  # an extension type defined in Python need not hash
            return function(arrow_type)
    return cast(_OfType, of)


@_per_type
def kind(arrow_type: DataType) -> str:
    """The kind of figures a column of `arrow_type` gets: "numeric", "temporal",
    "string", "boolean" or "other"."""
    pa = _pa()
    t = pa.types
    if isinstance(arrow_type, pa.ExtensionType):
        return kind(arrow_type.storage_type)
    if t.is_dictionary(arrow_type):
        return kind(arrow_type.value_type)
    if t.is_integer(arrow_type) or t.is_floating(arrow_type) or t.is_decimal(arrow_type):
        return "numeric"
    if t.is_temporal(arrow_type) and not t.is_interval(arrow_type):
        return "temporal"
    if t.is_boolean(arrow_type):
        return "boolean"
    if (t.is_string(arrow_type) or t.is_large_string(arrow_type) or t.is_binary(arrow_type)
            or t.is_large_binary(arrow_type) or t.is_string_view(arrow_type)
            or t.is_binary_view(arrow_type) or t.is_fixed_size_binary(arrow_type)):
        return "string"
    return "other"


@_per_type
def converter(arrow_type: DataType) -> Callable[[Array], Array] | None:
    """How an array of `arrow_type` is converted before the engine reads it, or
    None when the engine reads it as it is: decimals become float64 (beyond 15
    digits they lose precision), half floats float32, an extension type its
    storage, a dictionary of anything but text its decoded values."""
    pa = _pa()
    t = pa.types
    if t.is_decimal(arrow_type):
        return lambda a: a.cast(pa.float64(), safe=False)
    if t.is_float16(arrow_type):
        return lambda a: a.cast(pa.float32())
    if isinstance(arrow_type, pa.ExtensionType):
        return _then(lambda a: a.storage, converter(arrow_type.storage_type))
    if t.is_dictionary(arrow_type) and kind(arrow_type.value_type) != "string":
        return _then(lambda a: a.dictionary_decode(), converter(arrow_type.value_type))
    return None


def _then(first: Callable[[Array], Array],
          second: Callable[[Array], Array] | None) -> Callable[[Array], Array]:
    return first if second is None else lambda a: second(first(a))


def reason(arrow_type: DataType) -> str:
    """Why a column of kind "other" is not profiled."""
    t = _pa().types
    if t.is_null(arrow_type):
        return "no values: every row is null"
    if t.is_nested(arrow_type):
        return "nested values are not profiled"
    return "this type is not profiled"


@_per_type
def _shown(arrow_type: DataType) -> tuple[str, str]:
    """The kind and the type name shown for a column of `arrow_type`."""
    return kind(arrow_type), str(arrow_type)


def figures(arrow_type: DataType, engine: dict[str, Any]) -> dict[str, Any]:
    """The figures of one column of `arrow_type`, made from the engine's fresh dict for it.

    The engine lays out numbers, text and booleans as they are shown, so the dict is
    completed in place: with many columns, copying it would cost more than making it.
    """
    column_kind, type_name = _shown(arrow_type)
    engine.pop("exact", None)
    engine_kind = engine["kind"]
    if engine_kind == "number" and column_kind == "temporal":
        out = {"kind": column_kind, "type": type_name, "count": engine["count"],
               "missing": engine["missing"]}
        return _temporal(arrow_type, engine, out)
    engine["kind"] = {"number": "numeric", "text": "string"}.get(engine_kind, engine_kind)
    engine["type"] = type_name
    if engine_kind == "boolean":
        engine["false"] = engine["count"] - engine["true"]
    elif engine_kind == "other":
        engine["reason"] = reason(arrow_type)
    return engine


_SECONDS = {"s": 1.0, "ms": 1e-3, "us": 1e-6, "ns": 1e-9, "days": 86400.0}
_PER_DAY = {"s": 86_400, "ms": 86_400_000, "us": 86_400_000_000, "ns": 86_400_000_000_000,
            "days": 1}
_FRACTION_DIGITS = {"s": 0, "ms": 3, "us": 6, "ns": 9, "days": 0}
# pyarrow writes the dates from 0001-01-02 to 9999-12-30 (days since 1970-01-01) faithfully,
# with a day to spare for the shift of a time zone; beyond them it can wrap around.
_PYARROW_DAYS = (-719_161, 2_932_895)


def _duration_text(amount: float, unit: str) -> str:
    """A span in the column's unit as readable text with 4 significant digits, in the
    largest unit it fills: "3.5 days", "1.561 h", "-3 ns", "0 s"."""
    seconds = abs(amount) * _SECONDS[unit]
    sign = "-" if amount < 0 else ""
    if seconds == 0:
        return "0 s"
    for name, size in (("days", 86400.0), ("h", 3600.0), ("min", 60.0), ("s", 1.0),
                       ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= size:
            return f"{sign}{seconds / size:.4g} {name}"
    return f"{sign}{seconds / 1e-9:.4g} ns"


def _civil_date(days: int) -> str:
    """The proleptic Gregorian date `days` after 1970-01-01 as ISO text, for any int
    (years beyond 9999 in full, years before 1 counted astronomically: 0, -1, ...)."""
    days += 719_468  # from 0000-03-01, so that a leap day ends each year
    era, day_of_era = divmod(days, 146_097)
    year_of_era = (day_of_era - day_of_era // 1460 + day_of_era // 36_524
                   - day_of_era // 146_096) // 365
    day_of_year = day_of_era - (365 * year_of_era + year_of_era // 4 - year_of_era // 100)
    shifted_month = (5 * day_of_year + 2) // 153
    day = day_of_year - (153 * shifted_month + 2) // 5 + 1
    month = shifted_month + 3 if shifted_month < 10 else shifted_month - 9
    year = year_of_era + era * 400 + (month <= 2)
    return f"{'-' if year < 0 else ''}{abs(year):04d}-{month:02d}-{day:02d}"


def _clock(ticks: int, unit: str) -> str:
    """`ticks` (0 <= ticks < a day in `unit`) as HH:MM:SS with the unit's fraction digits."""
    digits = _FRACTION_DIGITS[unit]
    seconds, fraction = divmod(ticks, 10 ** digits)
    minutes, second = divmod(seconds, 60)
    hour, minute = divmod(minutes, 60)
    return f"{hour:02d}:{minute:02d}:{second:02d}" + (f".{fraction:0{digits}d}" if digits else "")



def _unit(arrow_type: DataType) -> str:
    pa = _pa()
    if arrow_type == pa.date32():
        return "days"
    return "ms" if arrow_type == pa.date64() else str(arrow_type.unit)


def _temporal(arrow_type: DataType, engine: dict[str, Any], out: dict[str, Any]) -> dict[str, Any]:
    """Dates, times, timestamps and durations: the engine's figures are in the
    integer storage; they are shown in the column's own type, unit and time zone."""
    unit = _unit(arrow_type)
    render = _Renderer(arrow_type, unit)
    quantiles = list(engine["quantiles"].values())
    top = engine["top"]
    histogram = engine["histogram"]
    values = [engine["mean"], engine["min"], engine["max"], *quantiles, *(v for v, _ in top),
              *engine["sample"], *histogram["edges"]]
    texts = iter(render(values))
    mean, low, high = next(texts), next(texts), next(texts)
    out.update({"unit": unit, "mean": mean,
                "std": None if engine["std"] is None else _duration_text(engine["std"], unit),
                "skewness": engine["skewness"], "kurtosis": engine["kurtosis"],
                "min": low, "max": high,
                "quantiles": {k: next(texts) for k in QUANTILE_KEYS},
                "distinct": engine["distinct"],
                "top": [[next(texts), count] for _, count in top],
                "sample": [next(texts) for _ in engine["sample"]],
                "histogram": {"edges": [next(texts) for _ in histogram["edges"]],
                              "counts": histogram["counts"]}})
    return out


class _Renderer:
    """Storage values (ints, or a float mean) of one temporal type as its own text."""

    def __init__(self, arrow_type: DataType, unit: str) -> None:
        pa = _pa()
        self.type = arrow_type
        self.unit = unit
        self.storage = pa.int32() if arrow_type.bit_width == 32 else pa.int64()

    def __call__(self, values: list[Any]) -> list[str | None]:
        """The values as the column's own text.

        A mean is a float; one near the end of the storage range can round past
        it, so each value is brought back into the range the true value lies in.
        pyarrow writes the values it renders faithfully; the others are written
        here from the integer: dates and timestamps as ISO text (in UTC, ending in
        Z, for a timestamp with a time zone; every value when pyarrow does not
        know the zone), times outside a day as the integer and its unit.
        """
        pa = _pa()
        bits = self.storage.bit_width
        low, high = -2 ** (bits - 1), 2 ** (bits - 1) - 1
        ints = [None if v is None or (isinstance(v, float) and not math.isfinite(v))
                else min(max(round(v), low), high) for v in values]
        first, last = self._faithful(low, high)
        plain = [v if v is not None and first <= v <= last else None for v in ints]
        typed = pa.array(plain, pa.int64()).cast(self.storage).view(self.type)
        try:
            texts = typed.cast(pa.string()).to_pylist()
        except pa.ArrowInvalid:  # a time zone that pyarrow does not know
            first, last, texts = 0, -1, plain
        return [text if v is None or first <= v <= last else self._text(v)
                for v, text in zip(ints, texts)]

    def _faithful(self, low: int, high: int) -> tuple[int, int]:
        """The storage values from first to last that pyarrow renders faithfully."""
        t = _pa().types
        per_day = _PER_DAY[self.unit]
        if t.is_time(self.type):
            return 0, per_day - 1
        if t.is_duration(self.type):
            return low, high
        return (max(_PYARROW_DAYS[0] * per_day, low + per_day),
                min(_PYARROW_DAYS[1] * per_day, high - per_day))

    def _text(self, value: int) -> str:
        t = _pa().types
        if t.is_time(self.type):
            return f"{value} {self.unit}"
        if t.is_duration(self.type):
            return str(value)
        days, ticks = divmod(value, _PER_DAY[self.unit])
        if t.is_date(self.type):
            return _civil_date(days)
        return f"{_civil_date(days)} {_clock(ticks, self.unit)}" + ("Z" if self.type.tz else "")
