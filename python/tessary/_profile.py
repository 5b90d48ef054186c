"""The public entry points: `profile`, `Profiler` and the `Profile` they return."""

from __future__ import annotations

import copy
import json
import os
import struct
import threading
from collections.abc import Callable, Sequence
from typing import Any

from tessary import _columns, _inputs, _report


_MAGIC = b"TSRYPROF"
_FORMAT_VERSION = 1
_MAX_COUNT = 2 ** 64 - 1


def _schema_bytes(pa: Any, name: str, arrow_type: Any) -> bytes:
    """The Arrow IPC schema of one column, as the profiler's bytes hold it."""
    return pa.schema([pa.field(name, arrow_type)]).serialize().to_pybytes()


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
        if not isinstance(stream_id, int) or not 0 <= stream_id <= _MAX_COUNT:
            raise ValueError(f"stream_id must be an int from 0 to 2**64 - 1, got {stream_id!r}")
        self._select = None if columns is None else [str(c) for c in columns]
        self._selected: set[str] | None = None
        if self._select is not None:
            self._selected = set()
            for name in self._select:
                if name in self._selected:
                    raise ValueError(f"columns lists {name!r} twice")
                self._selected.add(name)
        self._stream_id = stream_id
        # The rows seen and the running profile of each column. Every update and
        # merge builds the next state apart, on copies, and replaces this one
        # whole in one assignment: a column in it is never changed again, and a
        # call that fails anywhere (KeyboardInterrupt included) leaves it as it was.
        self._state: tuple[int, dict[str, _columns.Column]] = (0, {})
        # Called after each batch with the progress and the total (rows, or bytes of a text file).
        self._progress: Callable[[int, int | None], None] | None = None
        # One update or merge at a time, so that none is lost.
        self._lock = threading.RLock()

    @property
    def rows(self) -> int:
        """The number of rows seen so far."""
        return self._state[0]

    def update(self, data: Any) -> None:
        """Adds the rows of `data`: a file path, NumPy array, sequence, pandas,
        polars or pyarrow object, or any Arrow PyCapsule producer.

        Raises TypeError or ValueError when the data cannot be profiled (an
        error that pyarrow reports about the data becomes a ValueError that
        says where), OSError when a file cannot be read, and OverflowError when
        the rows would number more than 2**64 - 1. Whatever fails, even after
        some batches of a file were read, and a KeyboardInterrupt too, the
        profiler is left exactly as it was.
        """
        with _columns.data_errors("cannot read the data"):
            source = _inputs.source(data, self._select)
        # The last step of this line replaces the state: nothing that could
        # raise comes after it.
        with self._lock: self._state = self._updated(source, data)

    def _updated(self, source: _inputs.Source, data: Any) -> tuple[int, dict[str, _columns.Column]]:
        """The state after the batches of `source`, built apart from this one."""
        rows, columns = self._state
        batches, reader = source.batches, None
        if isinstance(data, (str, os.PathLike)):
            batches = reader = _inputs.prefetched(batches)
        copied, read = False, 0
        try:
            with _columns.data_errors("cannot read the data"):
                for done, batch in enumerate(batches, 1):
                    if not copied:  # one copy for all the batches of the call
                        columns, copied = {n: c.copy() for n, c in columns.items()}, True
                    rows = self._add(columns, rows, batch)
                    read += batch.num_rows
                    if self._progress is not None:
                        self._progress(source.done(read, done), source.total)
        finally:
            if reader is not None:  # stops the reading thread now
                reader.close()
        return rows, columns

    def _add(self, columns: dict[str, _columns.Column], rows: int, batch: Any) -> int:
        """Feeds `batch` to `columns`, which have seen `rows` rows; returns the rows after it."""
        pa = _inputs.require("pyarrow", "tessary.profile")
        names = batch.schema.names
        if len(set(names)) != len(names):
            raise ValueError(f"the data has duplicate column names: {names}")
        if self._select is not None:
            error = _inputs.absent_column(self._select, names)
            if error is not None:
                raise error
            batch = batch.select(self._select)
            names = self._select
        if rows + batch.num_rows > _MAX_COUNT:
            raise OverflowError("a Profiler counts at most 2**64 - 1 rows")
        arrays, fresh = [], {}
        for name, array in zip(names, batch.columns):
            column = columns.get(name)
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
            column.add_missing(rows)  # the rows before this column appeared
            columns[name] = column
        _columns.update_columns([columns[name] for name in names], arrays, names)
        if batch.num_rows:
            for name, column in columns.items():
                if name not in fresh and name not in names:
                    column.add_missing(batch.num_rows)
        return rows + batch.num_rows

    def profile(self) -> Profile:
        """The profile of every row seen so far."""
        rows, columns = self._state
        return Profile(rows, {name: column.to_dict() for name, column in columns.items()})

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
        rows, columns = self._state
        header = {"rows": rows, "stream_id": self._stream_id, "select": self._select,
                  "columns": [[name, refer(_schema_bytes(pa, name, column.type)), refer(column.state())]
                              for name, column in columns.items()]}
        head = json.dumps(header, separators=(",", ":")).encode()
        parts = [_MAGIC, struct.pack("<HI", _FORMAT_VERSION, len(head)), head]
        for blob in blobs:
            parts += [struct.pack("<Q", len(blob)), blob]
        return b"".join(parts)

    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview) -> Profiler:
        """A profiler with the state that `to_bytes()` saved.

        Raises ValueError when `data` is not such bytes: truncated, corrupt, of
        another version, or describing more memory than bytes of its size can
        (128 MiB plus 512 bytes per byte).
        """
        pa = _inputs.require("pyarrow", "Profiler.from_bytes")
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"expected bytes, not {type(data).__name__}")
        data = bytes(data)
        try:
            return cls._decode(pa, data)
        except (ValueError, TypeError, LookupError, ArithmeticError, RecursionError, OSError,
                struct.error, pa.ArrowException) as error:
            raise ValueError(f"not a serialized tessary Profiler: {error}") from None

    @classmethod
    def _decode(cls, pa: Any, data: bytes) -> Profiler:
        """from_bytes, whose every check raises one of the errors it turns into ValueError."""
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
        head = data[at:at + size]
        header = json.loads(head)
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
        # The header as to_bytes writes it, its keys in order, ints that are
        # not bools, and no other spelling of the same JSON.
        if type(header) is not dict or tuple(header) != ("rows", "stream_id", "select", "columns"):
            raise ValueError("its header is not an object with the keys rows, stream_id, select "
                             "and columns")
        if json.dumps(header, separators=(",", ":")).encode() != head:
            raise ValueError("its header is not written as to_bytes writes it")
        rows, stream_id, select = (header["rows"], header["stream_id"], header["select"])
        rows = _columns._count(rows)
        stream_id = _columns._count(stream_id)
        if select is not None and (type(select) is not list
                                   or any(type(name) is not str for name in select)):
            raise ValueError("select is not null or a list of column names")
        if type(header["columns"]) is not list:
            raise ValueError("columns is not a list")
        profiler = cls(columns=select, stream_id=stream_id)
        taken = 0

        def take(reference: Any) -> bytes:
            # Each part belongs to one place, and the places take them in order.
            nonlocal taken
            if type(reference) is not dict or tuple(reference) != ("blob",) \
                    or type(reference["blob"]) is not int:
                raise ValueError("it refers to a part in another form")
            if reference["blob"] != taken or taken == len(blobs):
                raise ValueError("it refers to its parts out of order, twice, or to one it "
                                 "does not have")
            taken += 1
            return blobs[taken - 1]

        # What the columns' engines may hold, as the engine's own decoders
        # allow one call: 2**24 quantile bins of 8 bytes plus 64 per input byte.
        budget, memory = (1 << 27) + 512 * len(data), 0
        columns: dict[str, _columns.Column] = {}
        for entry in header["columns"]:
            if type(entry) is not list or len(entry) != 3 or type(entry[0]) is not str:
                raise ValueError("a column is not a list of its name, schema and state")
            name, schema, state = entry
            if name in columns:
                raise ValueError(f"it has two columns named {name!r}")
            if profiler._selected is not None and name not in profiler._selected:
                raise ValueError(f"column {name!r} is not one of the selected columns")
            schema = take(schema)
            fields = pa.ipc.read_schema(pa.py_buffer(schema))
            if len(fields) != 1 or fields[0].name != name \
                    or _schema_bytes(pa, name, fields[0].type) != schema:
                raise ValueError(f"the schema of column {name!r} is not its one field")
            column = _columns.new_column(fields[0].type, stream_id)
            column.load(state, take)
            if column.seen() != rows:
                raise ValueError(f"column {name!r} has seen {column.seen()} rows, not {rows}")
            memory += column.nbytes
            if memory > budget:
                raise ValueError(f"its columns would hold more than {budget} bytes of memory")
            columns[name] = column
        if taken != len(blobs):
            raise ValueError("it has parts that no column refers to")
        profiler._state = (rows, columns)
        return profiler

    def merge(self, other: Profiler) -> None:
        """Adds the rows that `other` has seen; `other` is left unchanged.

        Counts, extremes, distinct-count registers and quantile bins add up
        exactly; the moments merge pairwise, within rounding of one pass (the
        mean and std within about 1e-12 x (|mean| + std)); heavy hitters
        follow the mergeable Misra-Gries rule, so their counts stay lower
        bounds. A column that only one side has counts the other side's rows
        as missing; one that this profiler does not select is left out. The
        same profilers merged in the same order give the same bytes.

        Raises TypeError when a column has another kind of type on each side,
        and OverflowError when the rows would number more than 2**64 - 1; then,
        as after any failure, this profiler is left as it was.
        """
        if not isinstance(other, Profiler):
            raise TypeError(f"expected a Profiler, not {type(other).__name__}")
        with self._lock: self._state = self._merged(other._state)

    def _merged(self, other: tuple[int, dict[str, _columns.Column]]
                ) -> tuple[int, dict[str, _columns.Column]]:
        """The state after merging `other`'s, built apart: a state's columns never
        change, so other's are read as they are, even when other is self."""
        rows, mine = self._state
        their_rows, theirs = other
        if rows + their_rows > _MAX_COUNT:
            raise OverflowError("a Profiler counts at most 2**64 - 1 rows")
        merged = {}
        for name, column in mine.items():
            column = column.copy()
            if name in theirs:
                column = self._merged_column(name, column, rows, theirs[name], their_rows)
            else:
                column.add_missing(their_rows)
            merged[name] = column
        for name, column in theirs.items():
            if name not in merged and (self._selected is None or name in self._selected):
                merged[name] = fresh = _columns.new_column(column.type, self._stream_id)
                fresh.add_missing(rows)
                fresh.merge(column)
        return rows + their_rows, merged

    def _merged_column(self, name: str, mine: _columns.Column, rows: int,
                       theirs: _columns.Column, their_rows: int) -> _columns.Column:
        """`mine` (a copy, `rows` rows) followed by `theirs` (their_rows rows)."""
        pa = _inputs.require("pyarrow", "Profiler.merge")
        if pa.types.is_null(theirs.type) and not pa.types.is_null(mine.type):
            mine.add_missing(their_rows)
            return mine
        if pa.types.is_null(mine.type) and not pa.types.is_null(theirs.type):
            mine = _columns.new_column(theirs.type, self._stream_id)
            mine.add_missing(rows)
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

    Raises TypeError or ValueError when the data cannot be profiled (an error
    that pyarrow reports about the data becomes a ValueError that says where)
    and OSError when a file cannot be read.

    >>> tessary.profile([1.0, 2.0, 4.0])["values"]["mean"]
    2.3333333333333335
    """
    profiler = Profiler(columns=columns, stream_id=stream_id)
    profiler.update(data)
    return profiler.profile()
