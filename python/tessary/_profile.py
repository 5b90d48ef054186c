"""The public entry points: `profile`, `Profiler` and the `Profile` they return."""

from __future__ import annotations

import copy
import itertools
import json
import struct
import threading
from collections.abc import Callable, Sequence
from typing import Any

from tessary import _columns, _inputs, _report


_MAGIC = b"TSRYPROF"
_FORMAT_VERSION = 1


def _feed_nulls(column: _columns.Column, rows: int) -> None:
    """Counts `rows` rows in which `column` was absent, as nulls."""
    pa = _inputs.require("pyarrow", "Profiler.merge")
    for start in range(0, rows, 1 << 20):
        column.update(pa.nulls(min(1 << 20, rows - start), column.type))


class Profile:
    """The profile of a table: its row count and one figure set per column.

    Columns keep the order of the input. `to_dict()` gives the figures as plain
    JSON-ready data; `to_pandas()` and `to_arrow()` give one row per column.
    """

    def __init__(self, rows: int, columns: dict[str, dict[str, Any]]) -> None:
        self._rows = rows
        self._columns = columns

    @property
    def rows(self) -> int:
        """The number of rows profiled."""
        return self._rows

    @property
    def columns(self) -> list[str]:
        """The column names, in the input's order."""
        return list(self._columns)

    def __getitem__(self, name: str) -> dict[str, Any]:
        """The figures of one column, as in `to_dict()["columns"][name]`."""
        return copy.deepcopy(self._columns[name])

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Profile):
            return NotImplemented
        return json.dumps(self.to_dict()) == json.dumps(other.to_dict())

    __hash__ = None  # type: ignore[assignment]

    def to_dict(self) -> dict[str, Any]:
        """Plain data: {"rows": int, "columns": {name: {figure: value}}}.

        Every column has "kind" ("numeric", "string", "boolean", "temporal" or
        "other"), "type" (the Arrow type as text), "count" (present values) and
        "missing". Numeric columns add "mean", "std", "variance", "skewness",
        "kurtosis" (excess), "min", "max", "infinite", "quantiles" ("p01" to
        "p99"), "distinct" (an estimate), "top" ([value, count] pairs whose
        counts are lower bounds) and "sample" (a reproducible sample of up to
        256 values, ascending). String columns add "distinct" and "top";
        boolean columns "true" and "false"; temporal columns show their figures
        in their own type and time zone, with "std" in their "unit". Other
        columns add the "reason" they are not profiled.
        """
        return {"rows": self._rows, "columns": copy.deepcopy(self._columns)}

    def to_arrow(self) -> Any:
        """A pyarrow Table with one row per column, like a describe() table."""
        pa = _inputs.require("pyarrow", "Profile.to_arrow")
        return pa.Table.from_pylist(_report.summary_rows(self.to_dict()),
                                    schema=_report.summary_schema(pa))

    def to_pandas(self) -> Any:
        """A pandas DataFrame with one row per column, indexed by column name."""
        _inputs.require("pandas", "Profile.to_pandas")
        return self.to_arrow().to_pandas().set_index("column")

    def __repr__(self) -> str:
        return _report.text(self.to_dict())

    def _repr_html_(self) -> str:
        return _report.html(self.to_dict())


class Profiler:
    """Profiles data that arrives in pieces.

    Each `update(data)` takes any input of `tessary.profile`; `profile()`
    returns the profile of everything seen so far. Splitting the data anywhere
    gives the same profile as one call, bit for bit.

    `columns` selects and orders columns by name; `stream_id` seeds the
    reproducible sample of numeric columns.
    """

    def __init__(self, *, columns: Sequence[str] | None = None, stream_id: int = 0) -> None:
        if isinstance(columns, str):
            raise TypeError("columns must be a list of column names, not one string")
        if not isinstance(stream_id, int) or not 0 <= stream_id < 2 ** 64:
            raise ValueError(f"stream_id must be an int from 0 to 2**64 - 1, got {stream_id!r}")
        self._select = None if columns is None else [str(c) for c in columns]
        self._stream_id = stream_id
        self._rows = 0
        self._columns: dict[str, _columns.Column] = {}
        self._progress: Callable[[int, int | None], None] | None = None
        # One update or profile at a time: a batch is applied to every column
        # before another thread can see or change them.
        self._lock = threading.RLock()

    @property
    def rows(self) -> int:
        """The number of rows seen so far."""
        return self._rows

    def update(self, data: Any) -> None:
        """Adds the rows of `data`: a file path, NumPy array, sequence, pandas,
        polars or pyarrow object, or any Arrow PyCapsule producer.

        If the data cannot be read, a TypeError or ValueError says why, and the
        profiler is left as it was, even when the failure comes after some
        batches of a file were read.
        """
        source = _inputs.source(data, self._select)
        batches = source.batches
        if isinstance(data, (str, _inputs.os.PathLike)):
            batches = _inputs.prefetched(batches)
        with self._lock:
            # A refused batch changes nothing. When more than one batch comes,
            # a copy of the state is kept, to undo the batches before a failure.
            iterator = iter(batches)
            ahead = list(itertools.islice(iterator, 2))
            saved = None
            if len(ahead) == 2:
                saved = (self._rows, {n: self._copy(c) for n, c in self._columns.items()})
            try:
                for batch in itertools.chain(ahead, iterator):
                    self._add(batch)
                    if self._progress is not None:
                        self._progress(batch.num_rows, source.total)
            except BaseException:
                if saved is not None:
                    self._rows, self._columns = saved
                raise

    def _add(self, batch: Any) -> None:
        pa = _inputs.require("pyarrow", "tessary.profile")
        names = batch.schema.names
        if len(set(names)) != len(names):
            raise ValueError(f"the data has duplicate column names: {names}")
        if self._select is not None:
            absent = [c for c in self._select if c not in names]
            if absent:
                raise ValueError(f"no column named {absent[0]!r}; the columns are: "
                                 + ", ".join(names))
            batch = batch.select(self._select)
            names = self._select
        # Every column is checked (and cast where needed) before any changes, so
        # that a refused batch leaves the profiler as it was.
        arrays, fresh = [], {}
        for name, array in zip(names, batch.columns):
            column = self._columns.get(name)
            if column is None or (pa.types.is_null(column.type)
                                  and not pa.types.is_null(array.type)):
                fresh[name] = _columns.new_column(array.type, self._stream_id)
            elif array.type != column.type and not _columns.feeds_directly(column, array.type):
                # Another type of the same kind (or all nulls) is cast to the
                # column's first type; another kind is refused.
                try:
                    if not pa.types.is_null(array.type) and \
                            _columns.new_column(array.type, 0).kind != column.kind:
                        raise pa.ArrowTypeError
                    array = array.cast(column.type)
                except (pa.ArrowInvalid, pa.ArrowNotImplementedError, pa.ArrowTypeError):
                    raise TypeError(f"column {name!r} was {column.type} and is now "
                                    f"{array.type}; cast the pieces to one type") from None
            arrays.append(array)
        for name, column in fresh.items():
            if self._rows:  # the rows before this column appeared, as nulls
                column.update(pa.nulls(self._rows, column.type))
            self._columns[name] = column
        _columns.update_columns([self._columns[name] for name in names], arrays)
        if batch.num_rows:
            for name, column in self._columns.items():
                if name not in fresh and name not in names:
                    column.update(pa.nulls(batch.num_rows, column.type))
        self._rows += batch.num_rows

    def profile(self) -> Profile:
        """The profile of every row seen so far."""
        with self._lock:
            return Profile(self._rows, {name: column.to_dict()
                                        for name, column in self._columns.items()})

    def to_bytes(self) -> bytes:
        """The running state as bytes, for `Profiler.from_bytes` in this or another process.

        The same state always gives the same bytes, on every machine.
        """
        blobs: list[bytes] = []

        def refer(value: Any) -> Any:  # bytes move out of the JSON header
            if isinstance(value, bytes):
                blobs.append(value)
                return {"blob": len(blobs) - 1}
            return {k: refer(v) for k, v in value.items()} if isinstance(value, dict) else value

        pa = _inputs.require("pyarrow", "Profiler.to_bytes")
        with self._lock:
            columns = [[name, refer(pa.schema([pa.field(name, column.type)]).serialize()
                                    .to_pybytes()), refer(column.state())]
                       for name, column in self._columns.items()]
            header = {"rows": self._rows, "stream_id": self._stream_id,
                      "select": self._select, "columns": columns}
        head = json.dumps(header, separators=(",", ":")).encode()
        parts = [_MAGIC, struct.pack("<HI", _FORMAT_VERSION, len(head)), head]
        for blob in blobs:
            parts += [struct.pack("<Q", len(blob)), blob]
        return b"".join(parts)

    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview) -> Profiler:
        """A profiler with the state that `to_bytes()` saved.

        Raises ValueError when `data` is not such bytes (truncated, corrupt or
        of another version).
        """
        pa = _inputs.require("pyarrow", "Profiler.from_bytes")
        data = bytes(data)
        try:
            if data[:len(_MAGIC)] != _MAGIC:
                raise ValueError("it does not start with the profiler magic")
            if len(data) < len(_MAGIC) + 6:
                raise ValueError("it is truncated")
            version, size = struct.unpack_from("<HI", data, len(_MAGIC))
            if version != _FORMAT_VERSION:
                raise ValueError(f"format version {version} is not supported")
            at = len(_MAGIC) + 6
            if size > len(data) - at:
                raise ValueError("it is truncated")
            header = json.loads(data[at:at + size])
            at += size
            blobs = []
            while at < len(data):
                if len(data) - at < 8:
                    raise ValueError("it is truncated")
                (length,) = struct.unpack_from("<Q", data, at)
                if length > len(data) - at - 8:
                    raise ValueError("it is truncated")
                blobs.append(data[at + 8:at + 8 + length])
                at += 8 + length

            def resolve(value: Any) -> Any:
                if isinstance(value, dict):
                    if set(value) == {"blob"}:
                        index = value["blob"]
                        if type(index) is not int or not 0 <= index < len(blobs):
                            raise ValueError("it refers to a part it does not have")
                        return blobs[index]
                    return {k: resolve(v) for k, v in value.items()}
                return value

            profiler = cls(columns=header["select"], stream_id=header["stream_id"])
            profiler._rows = _columns._count(header["rows"])
            for name, schema, state in header["columns"]:
                arrow_type = pa.ipc.read_schema(pa.py_buffer(resolve(schema))).field(0).type
                column = _columns.new_column(arrow_type, profiler._stream_id)
                column.load(resolve(state))
                profiler._columns[str(name)] = column
        except (ValueError, TypeError, KeyError, IndexError, struct.error, pa.ArrowException) as e:
            raise ValueError(f"not a serialized tessary Profiler: {e}") from None
        return profiler

    def merge(self, other: Profiler) -> None:
        """Adds the rows that `other` has seen; `other` is left unchanged.

        Counts, extremes, distinct-count registers and quantile bins add up
        exactly; the moments merge pairwise, within rounding of one pass (the
        mean and std within about 1e-12 x (|mean| + std)); heavy hitters
        follow the mergeable Misra-Gries rule, so their counts stay lower
        bounds. A column that only one side has counts the other side's rows
        as missing. The same profilers merged in the same order give the same
        bytes.
        """
        if not isinstance(other, Profiler):
            raise TypeError(f"expected a Profiler, not {type(other).__name__}")
        theirs = Profiler.from_bytes(other.to_bytes())  # a copy: other may be self
        with self._lock:
            merged = {}
            for name, mine in self._columns.items():
                column = self._copy(mine)
                if name in theirs._columns:
                    column = self._merged(name, column, theirs._columns[name], theirs._rows)
                else:
                    _feed_nulls(column, theirs._rows)
                merged[name] = column
            for name, column in theirs._columns.items():
                if name not in merged:  # absent from this profiler's rows
                    merged[name] = fresh = _columns.new_column(column.type, self._stream_id)
                    _feed_nulls(fresh, self._rows)
                    fresh.merge(column)
            self._columns, self._rows = merged, self._rows + theirs._rows

    def _copy(self, column: _columns.Column) -> _columns.Column:
        copy = _columns.new_column(column.type, self._stream_id)
        copy.load(column.state())
        return copy

    def _merged(self, name: str, mine: _columns.Column, theirs: _columns.Column,
                their_rows: int) -> _columns.Column:
        """`mine` (this profiler's rows) followed by `theirs` (their_rows rows)."""
        pa = _inputs.require("pyarrow", "Profiler.merge")
        if pa.types.is_null(theirs.type) and not pa.types.is_null(mine.type):
            _feed_nulls(mine, their_rows)
            return mine
        if pa.types.is_null(mine.type) and not pa.types.is_null(theirs.type):
            fresh = _columns.new_column(theirs.type, self._stream_id)
            _feed_nulls(fresh, self._rows)
            mine = fresh
        elif type(mine) is not type(theirs) or (
                mine.type != theirs.type and not _columns.feeds_directly(mine, theirs.type)):
            raise TypeError(f"column {name!r} is {mine.type} here and {theirs.type} in the "
                            "other profiler; cast the pieces to one type")
        mine.merge(theirs)
        return mine

    def __reduce__(self) -> tuple[Any, ...]:
        return (Profiler.from_bytes, (self.to_bytes(),))


def profile(data: Any, *, columns: Sequence[str] | None = None, stream_id: int = 0) -> Profile:
    """Profiles `data` and returns a `Profile`.

    `data` may be a file path (CSV, TSV, Parquet, Arrow IPC/Feather,
    newline-delimited JSON, .npy; read batch by batch), a NumPy array (1-D, or
    2-D as columns), a sequence of numbers or strings, a mapping of column
    names to sequences, a pandas or polars Series/DataFrame (or polars
    LazyFrame), a pyarrow Array/ChunkedArray/RecordBatch/Table/
    RecordBatchReader/Dataset, or any object with `__arrow_c_stream__` or
    `__arrow_c_array__`. A single unnamed column is named "values".

    `columns` selects columns by name; `stream_id` seeds the reproducible
    sample of numeric columns.

    >>> tessary.profile([1.0, 2.0, 4.0])["values"]["mean"]
    2.3333333333333335
    """
    profiler = Profiler(columns=columns, stream_id=stream_id)
    profiler.update(data)
    return profiler.profile()
