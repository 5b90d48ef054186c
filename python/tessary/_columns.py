"""One running profile per column kind, fed Arrow arrays chunk by chunk.

Each column keeps the engine's accumulator for its kind and turns the engine's
dict into the figures a reader expects. No method looks at individual values
in Python: every array goes to the engine (or to one pyarrow kernel) whole.
"""

from __future__ import annotations

import contextlib
import math
from typing import Any, Callable, Iterator, Sequence

from tessary import _native

# pyarrow ships no type information; these names say what is meant.
Array = Any
DataType = Any

QUANTILE_KEYS = ("p01", "p05", "p25", "p50", "p75", "p95", "p99")

# A heavy-hitter count is a lower bound; a value is worth showing only when it
# is known to occur more than once.
MIN_TOP_COUNT = 2


def _pa() -> Any:
    import pyarrow  # type: ignore[import-untyped]

    return pyarrow


def _feed_numeric(acc: _native.NumericAccumulator, array: Array) -> None:
    """Feeds one Arrow array of the ten numeric types to `acc`, read in place, nulls as NaN."""
    if len(array):
        acc.update_arrow(array)


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


def update_columns(columns: Sequence[Column], arrays: Sequence[Array], names: Sequence[str]) -> None:
    """Feeds arrays[i] to columns[i], named names[i]. The numeric columns go to
    the engine in one call, which profiles them side by side on its threads."""
    numeric, name = [], ""
    try:
        for column, array, name in zip(columns, arrays, names):
            if isinstance(column, NumericColumn) and len(array):
                numeric.append((column, column.engine_array(array)))
        if numeric:
            _native.NumericAccumulator.update_arrow_columns([c.acc for c, _ in numeric],
                                                            [a for _, a in numeric])
        for column, array, name in zip(columns, arrays, names):
            if not isinstance(column, NumericColumn):
                column.update(array)
    except _pa().ArrowException as error:
        raise data_error(error, f"column {name!r}")


def _unsigned_bytes(buffer: Any) -> Any:
    # pyarrow exports its buffers as signed bytes ("b"); the string kernels
    # read unsigned ones. A memoryview cast reinterprets without copying.
    return memoryview(b"" if buffer is None else buffer).cast("B")


def _count(value: Any) -> int:
    if type(value) is not int or not 0 <= value < 2 ** 64:
        raise ValueError(f"a count must be an int from 0 to 2**64 - 1, got {value!r}")
    return value


def _fields(state: Any, keys: tuple[str, ...]) -> dict[str, Any]:
    """A saved column state, checked to have exactly `keys`, in that order."""
    if type(state) is not dict or tuple(state) != keys:
        raise ValueError(f"a column state is not an object with the keys {', '.join(keys)}")
    return state


def _top(pairs: list[tuple[Any, int]], convert: Callable[[Any], Any] = lambda v: v) -> list[list[Any]]:
    return [[convert(value), count] for value, count in pairs if count >= MIN_TOP_COUNT]


def _within(q: Any, low: float | None, high: float | None) -> float | None:
    # A sketch quantile is a bucket's representative, which can fall just
    # outside the values seen; the true quantile never does.
    if q is None or low is None or high is None:
        return q
    return min(max(q, low), high)


_SECONDS = {"s": 1.0, "ms": 1e-3, "us": 1e-6, "ns": 1e-9, "days": 86400.0}
_PER_DAY = {"s": 86_400, "ms": 86_400_000, "us": 86_400_000_000, "ns": 86_400_000_000_000,
            "days": 1}
_FRACTION_DIGITS = {"s": 0, "ms": 3, "us": 6, "ns": 9, "days": 0}
# pyarrow writes the dates from 0001-01-02 to 9999-12-30 (days since 1970-01-01) faithfully,
# with a day to spare for the shift of a time zone; beyond them it can wrap around.
_PYARROW_DAYS = (-719_161, 2_932_895)


def _duration_text(amount: float, unit: str) -> str:
    """A spread in the column's unit as readable text, e.g. "3.5 days"."""
    seconds = amount * _SECONDS[unit]
    for name, size in (("days", 86400.0), ("h", 3600.0), ("min", 60.0), ("s", 1.0),
                       ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= size:
            return f"{seconds / size:.4g} {name}"
    return f"{seconds / 1e-9:.4g} ns"


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


class Column:
    """The running profile of one column: its kind, Arrow type and counts."""

    kind = "other"

    def __init__(self, arrow_type: DataType, reason: str = "") -> None:
        self.type = arrow_type
        self.reason = reason
        self.count = 0
        self.missing = 0

    def update(self, array: Array) -> None:
        nulls = array.null_count if array.type != _pa().null() else len(array)
        self.missing += nulls
        self.count += len(array) - nulls

    def add_missing(self, n: int) -> None:
        """Counts `n` rows in which the column is absent, as that many nulls would count."""
        self.missing += n

    def copy(self) -> Column:
        """A copy to change while this column stays as it is."""
        twin = object.__new__(type(self))
        twin.__dict__.update(self.__dict__)
        return twin

    def seen(self) -> int:
        """The rows this column has seen: present, missing and infinite values."""
        return self.count + self.missing

    @property
    def nbytes(self) -> int:
        """The bytes of memory that the engine holds for this column."""
        return 0

    # The running state as plain data (ints and bytes), for Profiler.to_bytes;
    # load() takes it back, checked, from the header's data with each bytes
    # value replaced by a reference that take() resolves; merge() folds
    # another column of the same type in.
    def state(self) -> dict[str, Any]:
        return {"count": self.count, "missing": self.missing}

    def load(self, state: Any, take: Callable[[Any], bytes]) -> None:
        state = _fields(state, ("count", "missing"))
        self.count, self.missing = _count(state["count"]), _count(state["missing"])
        if self.count and _pa().types.is_null(self.type):
            raise ValueError("a column of nulls counts values")

    def merge(self, other: Column) -> None:
        self.count += other.count
        self.missing += other.missing

    def to_dict(self) -> dict[str, Any]:
        out: dict[str, Any] = {"kind": self.kind, "type": str(self.type),
                               "count": self.count, "missing": self.missing}
        if self.reason:
            out["reason"] = self.reason
        return out


class _EngineColumn(Column):
    """A column whose whole running state is one engine accumulator, `acc`."""

    acc: Any

    def copy(self) -> Column:
        twin = super().copy()
        assert isinstance(twin, _EngineColumn)
        twin.acc = self.acc.__copy__()
        return twin

    def add_missing(self, n: int) -> None:
        self.acc.add_missing(n)

    def seen(self) -> int:
        return int(self.acc.observations)

    @property
    def nbytes(self) -> int:
        return int(self.acc.nbytes)

    def state(self) -> dict[str, Any]:
        return {"acc": self.acc.to_bytes()}

    def load(self, state: Any, take: Callable[[Any], bytes]) -> None:
        self.acc = type(self.acc).from_bytes(take(_fields(state, ("acc",))["acc"]))

    def merge(self, other: Column) -> None:
        assert isinstance(other, _EngineColumn)
        self.acc.merge(other.acc)  # the engine refuses another accumulator class


class NumericColumn(_EngineColumn):
    """Integers and floats through the engine's full numeric profile."""

    kind = "numeric"

    def __init__(self, arrow_type: DataType, stream_id: int,
                 convert: Callable[[Array], Array] | None = None) -> None:
        super().__init__(arrow_type)
        self.acc = _native.NumericAccumulator(stream_id)
        self.stream_id = stream_id
        self.convert = convert
        self.integral = _pa().types.is_integer(arrow_type)

    def load(self, state: Any, take: Callable[[Any], bytes]) -> None:
        blob = take(_fields(state, ("acc",))["acc"])
        self.acc = _native.NumericAccumulator.from_bytes(blob)
        if self.acc.stream_id != self.stream_id:
            raise ValueError("a numeric column was sampled with another stream_id")

    def update(self, array: Array) -> None:
        _feed_numeric(self.acc, self.engine_array(array))

    def engine_array(self, array: Array) -> Array:
        """The array as the engine reads it: converted to the numeric storage when needed."""
        return self.convert(array) if self.convert else array

    def _value(self, x: float | None) -> Any:
        # Integer columns show integral figures as ints (exact below 2**53).
        if self.integral and x is not None and math.isfinite(x) and x == int(x):
            return int(x)
        return x

    def to_dict(self) -> dict[str, Any]:
        s = self.acc.snapshot()
        out = {"kind": self.kind, "type": str(self.type), "count": s["count"] + s["infinite"],
               "missing": s["missing"], "mean": s["mean"], "std": s["std"],
               "variance": s["variance"], "skewness": s["skewness"], "kurtosis": s["kurtosis"],
               "min": self._value(s["minimum"]), "max": self._value(s["maximum"]),
               "infinite": s["infinite"],
               "quantiles": {k: _within(v, s["minimum"], s["maximum"])
                             for k, v in s["quantiles"].items() if k in QUANTILE_KEYS},
               # The estimate can overshoot; it never counts more values than were seen.
               "distinct": min(s["cardinality_estimate"], s["count"]),
               "top": _top(s["heavy_hitters"], self._value),
               "sample": [self._value(v) for v in s["reservoir"]]}
        return out


class TemporalColumn(NumericColumn):
    """Dates, times, timestamps and durations: their integer storage goes
    through the numeric engine, and the figures are shown in the column's own
    type, unit and time zone."""

    kind = "temporal"

    def __init__(self, arrow_type: DataType, stream_id: int) -> None:
        pa = _pa()
        storage = pa.int32() if arrow_type.bit_width == 32 else pa.int64()
        super().__init__(arrow_type, stream_id, lambda a: a.view(storage))
        self.storage = storage
        self.integral = True

    @property
    def unit(self) -> str:
        pa = _pa()
        if self.type == pa.date32():
            return "days"
        return "ms" if self.type == pa.date64() else str(self.type.unit)

    def _render(self, values: list[Any]) -> list[str | None]:
        """The values (storage units, possibly fractional) as the column's own text.

        The engine's figures are float64: one near the end of the storage range can
        round past it, so each is brought back into the range the true value lies in.
        pyarrow writes the values it renders faithfully; the others are written here
        from the integer: dates and timestamps as ISO text (in UTC, ending in Z, for a
        timestamp with a time zone; every value when pyarrow does not know the zone),
        times outside a day as the integer and its unit.
        """
        pa = _pa()
        bits = self.storage.bit_width
        low, high = -2 ** (bits - 1), 2 ** (bits - 1) - 1
        ints = [None if v is None or not math.isfinite(v) else min(max(round(v), low), high)
                for v in values]
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

    def to_dict(self) -> dict[str, Any]:
        d = super().to_dict()
        quantiles = list(d["quantiles"].values())
        top_values = [v for v, _ in d["top"]]
        rendered = self._render([d["mean"], d["min"], d["max"], *quantiles, *top_values,
                                 *d["sample"]])
        mean, low, high = rendered[:3]
        quantile_text = rendered[3:3 + len(quantiles)]
        top_text = rendered[3 + len(quantiles):3 + len(quantiles) + len(top_values)]
        std = None if d["std"] is None else _duration_text(d["std"], self.unit)
        return {"kind": self.kind, "type": d["type"], "count": d["count"],
                "missing": d["missing"], "unit": self.unit, "mean": mean, "std": std,
                "skewness": d["skewness"], "kurtosis": d["kurtosis"], "min": low, "max": high,
                "quantiles": dict(zip(QUANTILE_KEYS, quantile_text)),
                "distinct": d["distinct"],
                "top": [[text, count] for text, (_, count) in zip(top_text, d["top"])],
                "sample": rendered[3 + len(quantiles) + len(top_values):]}


class StringColumn(_EngineColumn):
    """UTF-8 strings and binary through the engine's string kernels, read on
    the array's own buffers."""

    kind = "string"

    def __init__(self, arrow_type: DataType,
                 convert: Callable[[Array], Array] | None = None) -> None:
        super().__init__(arrow_type)
        self.acc = _native.StringAccumulator()
        self.convert = convert

    def update(self, array: Array) -> None:
        if self.convert is not None:
            array = self.convert(array)
        if len(array) == 0:
            return
        pa = _pa()
        validity, offsets, data = array.buffers()
        large = pa.types.is_large_string(array.type) or pa.types.is_large_binary(array.type)
        kernel = self.acc.update_large_utf8 if large else self.acc.update_utf8
        kernel(_unsigned_bytes(data), memoryview(offsets).cast("q" if large else "i"),
               len(array), None if validity is None else _unsigned_bytes(validity),
               array.offset)

    def to_dict(self) -> dict[str, Any]:
        s = self.acc.snapshot()
        return {"kind": self.kind, "type": str(self.type), "count": s["count"],
                "missing": s["missing"], "distinct": min(s["cardinality_estimate"], s["count"]),
                "top": _top(s["heavy_hitters"])}


class BooleanColumn(Column):
    """Booleans: true, false and null counts."""

    kind = "boolean"

    def __init__(self, arrow_type: DataType) -> None:
        super().__init__(arrow_type)
        self.true = 0

    def update(self, array: Array) -> None:
        super().update(array)
        self.true += array.true_count

    def state(self) -> dict[str, Any]:
        return {**super().state(), "true": self.true}

    def load(self, state: Any, take: Callable[[Any], bytes]) -> None:
        state = _fields(state, ("count", "missing", "true"))
        super().load({"count": state["count"], "missing": state["missing"]}, take)
        self.true = _count(state["true"])
        if self.true > self.count:
            raise ValueError("a boolean column counts more true values than values")

    def merge(self, other: Column) -> None:
        assert isinstance(other, BooleanColumn)
        super().merge(other)
        self.true += other.true

    def to_dict(self) -> dict[str, Any]:
        return {**super().to_dict(), "true": self.true, "false": self.count - self.true}


def new_column(arrow_type: DataType, stream_id: int) -> Column:
    """The running profile for a column of `arrow_type`."""
    pa = _pa()
    t = pa.types
    if t.is_integer(arrow_type) or arrow_type in (pa.float32(), pa.float64()):
        return NumericColumn(arrow_type, stream_id)
    if t.is_float16(arrow_type) or t.is_decimal(arrow_type):
        # Converted to float64 first: decimals beyond 15 digits lose precision.
        return NumericColumn(arrow_type, stream_id, lambda a: a.cast(pa.float64(), safe=False))
    if t.is_temporal(arrow_type) and not t.is_interval(arrow_type):
        return TemporalColumn(arrow_type, stream_id)
    if t.is_boolean(arrow_type):
        return BooleanColumn(arrow_type)
    if t.is_string(arrow_type) or t.is_large_string(arrow_type) or t.is_binary(arrow_type) \
            or t.is_large_binary(arrow_type):
        return StringColumn(arrow_type)
    if t.is_string_view(arrow_type):
        return StringColumn(arrow_type, lambda a: a.cast(pa.large_string()))
    if t.is_binary_view(arrow_type):
        return StringColumn(arrow_type, lambda a: a.cast(pa.large_binary()))
    if t.is_fixed_size_binary(arrow_type):
        return StringColumn(arrow_type, lambda a: a.cast(pa.binary()))
    if t.is_dictionary(arrow_type):
        inner = new_column(arrow_type.value_type, stream_id)
        return _Decoded(arrow_type, inner)
    if isinstance(arrow_type, pa.ExtensionType):
        return _Decoded(arrow_type, new_column(arrow_type.storage_type, stream_id), storage=True)
    if t.is_null(arrow_type):
        return Column(arrow_type, "no values: every row is null")
    if t.is_nested(arrow_type):
        return Column(arrow_type, "nested values are not profiled")
    return Column(arrow_type, "this type is not profiled")


class _Decoded(Column):
    """A dictionary-encoded or extension column, profiled as its values but
    reported under its own type."""

    def __init__(self, arrow_type: DataType, inner: Column, storage: bool = False) -> None:
        super().__init__(arrow_type)
        self.inner = inner
        self.storage = storage
        self.kind = inner.kind

    def update(self, array: Array) -> None:
        self.inner.update(array.storage if self.storage else array.dictionary_decode())

    def copy(self) -> Column:
        twin = super().copy()
        assert isinstance(twin, _Decoded)
        twin.inner = self.inner.copy()
        return twin

    def add_missing(self, n: int) -> None:
        self.inner.add_missing(n)

    def seen(self) -> int:
        return self.inner.seen()

    @property
    def nbytes(self) -> int:
        return self.inner.nbytes

    def state(self) -> dict[str, Any]:
        return {"inner": self.inner.state()}

    def load(self, state: Any, take: Callable[[Any], bytes]) -> None:
        self.inner.load(_fields(state, ("inner",))["inner"], take)

    def merge(self, other: Column) -> None:
        assert isinstance(other, _Decoded)
        self.inner.merge(other.inner)

    def to_dict(self) -> dict[str, Any]:
        return {**self.inner.to_dict(), "type": str(self.type)}


def feeds_directly(column: Column, arrow_type: DataType) -> bool:
    """Whether arrays of `arrow_type` go to `column` as they are: any integer or
    float type to a plain numeric column (the engine reads them all as float64),
    and any string or binary layout to a plain string column."""
    t = _pa().types
    if type(column) is NumericColumn and column.convert is None:
        return t.is_integer(arrow_type) or t.is_float32(arrow_type) or t.is_float64(arrow_type)
    if type(column) is StringColumn and column.convert is None:
        return (t.is_string(arrow_type) or t.is_large_string(arrow_type)) == (
            t.is_string(column.type) or t.is_large_string(column.type)) and (
            t.is_string(arrow_type) or t.is_large_string(arrow_type) or t.is_binary(arrow_type)
            or t.is_large_binary(arrow_type))
    return False
