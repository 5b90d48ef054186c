"""The public entry points: `profile`, `Profiler` and the `Profile` they return."""

from __future__ import annotations

import copy
import gc
import json
import os
import threading
from collections.abc import Callable, Sequence
from typing import Any

from tessary import _columns, _html, _inputs, _native, _report, _saved


_MAX_COUNT = 2 ** 64 - 1


def _schema_bytes(pa: Any, types: dict[str, Any], notes: dict[str, str]) -> bytes:
    """The columns' names and types as an Arrow IPC schema, as the profiler's bytes hold them,
    with the note of a column read otherwise than as it is in its field's metadata."""
    return pa.schema([pa.field(name, arrow_type, metadata={_NOTE: notes[name]} if name in notes else None)
                      for name, arrow_type in types.items()]).serialize().to_pybytes()


_NOTE = "tessary.note"


# The engine's kind of state for each kind of figures.
_ENGINE_KIND = {"numeric": "number", "temporal": "number", "string": "text",
                "boolean": "boolean", "other": "other"}


def _marking_last(batches: Any) -> Any:
    """(batch, whether it is the last) for each batch, reading one batch ahead."""
    ahead = iter(batches)
    batch = next(ahead, _END)
    while batch is not _END:
        following = next(ahead, _END)
        yield batch, following is _END
        batch = following


_END = object()


class _Plan:
    """How the batches of one update reach the engine: which columns are
    converted, worked out once per schema (batches of a file share theirs)."""

    def __init__(self, declared: dict[str, Any]) -> None:
        self._declared = declared  # Source.declared
        self._schema: Any = None
        self._steps: list[tuple[int, Any]] = []
        self._types: dict[str, Any] = {}

    def prepared(self, batch: Any, types: dict[str, Any]) -> Any:
        """`batch` with its columns converted as the engine reads them, and cast
        to a column's first type where another type of the same kind arrives."""
        pa = _inputs.require("pyarrow", "tessary.profile")
        schema = batch.schema
        if self._schema is None or not schema.equals(self._schema):
            self._schema = schema
            self._steps = []
            self._types = {}
            names, found_types = schema.names, schema.types
            if not self._declared and types.keys().isdisjoint(names):
                # Only new columns, each of the type it comes in: the types are looked
                # at once each, not once per column (a wide table has few).
                self._types = dict(zip(names, found_types))
                steps = {t: _columns.converter(t) for t in set(found_types)}
                if any(steps.values()):
                    self._steps = [(i, steps[t]) for i, t in enumerate(found_types) if steps[t] is not None]
                found_types = ()
            for i, (name, found) in enumerate(zip(names, found_types)):
                known = types.get(name)
                if known is None or (pa.types.is_null(known) and not pa.types.is_null(found)):
                    self._types[name] = known = self._declared.get(name, found)
                step = _columns.converter(known)
                if found is not known and found != known:
                    if _text(found) and _text(known):
                        continue  # the engine reads text of every layout as it is
                    if not pa.types.is_null(found):
                        if _columns.kind(found) != _columns.kind(known):
                            self._steps.append((i, _refuse(name, known, found)))
                        else:
                            self._steps.append((i, _cast(name, known, step)))
                        continue
                if step is not None:
                    self._steps.append((i, step))
        if not self._steps:
            return batch
        arrays = list(batch.columns)
        for i, step in self._steps:
            arrays[i] = step(arrays[i])
        return pa.RecordBatch.from_arrays(arrays, names=schema.names)

    def adopt(self, types: dict[str, Any]) -> None:
        """Records the types of the columns that the last batch brought."""
        types.update(self._types)
        self._types = {}


def _text(arrow_type: Any) -> bool:
    """Whether the engine reads columns of `arrow_type` as text, unconverted."""
    return _columns.kind(arrow_type) == "string" and _columns.converter(arrow_type) is None


def _refuse(name: str, known: Any, found: Any) -> Callable[[Any], Any]:
    def refuse(array: Any) -> Any:
        raise TypeError(f"column {name!r} was {known} and is now {found}; "
                        "cast the pieces to one type")
    return refuse


def _cast(name: str, known: Any, then: Callable[[Any], Any] | None) -> Callable[[Any], Any]:
    def cast(array: Any) -> Any:
        pa = _inputs.require("pyarrow", "tessary.profile")
        try:
            array = array.cast(known)
        except (pa.ArrowInvalid, pa.ArrowNotImplementedError, pa.ArrowTypeError):
            raise TypeError(f"column {name!r} was {known} and is now {array.type}; "
                            "cast the pieces to one type") from None
        return array if then is None else then(array)
    return cast


def _figures(acc: Any, types: dict[str, Any], notes: dict[str, str],
             names: list[str] | None = None) -> dict[str, dict[str, Any]]:
    """The figures of every column of the engine's state `acc`, or of those `names` lists,
    as fresh dicts."""
    # The figures are a tree of fresh containers without cycles: collecting while it
    # grows would walk it again and again.
    collecting = gc.isenabled()
    gc.disable()
    try:
        columns = {name: _columns.figures(types[name], column)
                   for name, column in acc.snapshot(names)["columns"].items()}
    finally:
        if collecting:
            gc.enable()
    for name, note in notes.items():
        if name in columns:
            columns[name]["note"] = note
    return columns


class Profile:
    """The profile of a table: its row count and one figure set per column.

    Columns keep the order of the input. `to_dict()` gives the figures as plain
    JSON-ready data; `to_pandas()` and `to_arrow()` give one row per column.
    """

    def __init__(self, rows: int, columns: dict[str, dict[str, Any]]) -> None:
        self._rows = rows
        self._figured: dict[str, dict[str, Any]] | None = columns
        # The engine's state the figures are read from, with the columns'
        # types and notes (never changed: a Profiler replaces its state whole).
        # Its figures are worked out when the profile is made; their dicts are
        # made when first read, a column alone for `p[name]`, and `to_dict()`
        # makes them anew each time. `tessary.compare` reads from it what the
        # figures leave out. None for a Profile built from figures alone.
        self._state: tuple[Any, dict[str, Any], dict[str, str]] | None = None
        self._detail: dict[str, dict[str, Any]] | None = None

    @classmethod
    def _of(cls, state: tuple[Any, dict[str, Any], dict[str, str]]) -> Profile:
        """The profile of a Profiler's state."""
        state[0].summarise()
        result = cls(int(state[0].rows), {})
        result._figured, result._state = None, state
        return result

    @property
    def _columns(self) -> dict[str, dict[str, Any]]:
        """Every column's figures, made once, for readers that do not change them."""
        if self._figured is None:
            assert self._state is not None
            self._figured = _figures(*self._state)
        return self._figured

    def _details(self) -> dict[str, dict[str, Any]] | None:
        """The engine's detail of every column (TableAccumulator.detail), read once."""
        if self._detail is None and self._state is not None:
            self._detail = self._state[0].detail()
        return self._detail

    @property
    def rows(self) -> int:
        """The number of rows profiled."""
        return self._rows

    @property
    def columns(self) -> list[str]:
        """The column names, in the input's order."""
        # A Profiler's types list its columns in the engine's order.
        return list(self._columns if self._state is None else self._state[1])

    def __getitem__(self, name: str) -> dict[str, Any]:
        """The figures of one column, as in `to_dict()["columns"][name]`."""
        if self._figured is None and self._state is not None:
            if not isinstance(name, str) or name not in self._state[1]:
                raise KeyError(name)
            return _figures(*self._state, [name])[name]
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
        "p99"), "distinct", "top" ([value, count] pairs of values seen more than
        once), "sample" (a reproducible sample of up to 256 values, ascending)
        and "histogram" ({"edges": [...], "counts": [...]}: at most 64 bins of
        equal, power-of-two width, exact counts of the finite values). While a
        column holds at most 1,000 distinct values, "distinct", "top" and the
        quantiles are exact; beyond, "distinct" is an estimate, "top" counts
        are lower bounds and each quantile is within 1% of the true one or a
        thousandth of the range, whichever is tighter. Integer columns show
        integers, exactly. String columns add "distinct" and "top" (the first
        32 bytes of each value); boolean columns "true" and "false"; temporal
        columns show their figures in their own type and time zone, with "std"
        in their "unit". Other columns add the "reason" they are not profiled;
        a column read otherwise than as it is (a pandas column of objects of
        several types, as text) adds a "note" saying so.
        """
        columns = copy.deepcopy(self._columns) if self._state is None else _figures(*self._state)
        return {"rows": self._rows, "columns": columns}

    def to_arrow(self) -> Any:
        """A pyarrow Table with one row per column, like a describe() table."""
        pa = _inputs.require("pyarrow", "Profile.to_arrow")
        return pa.Table.from_pylist(_report.summary_rows(self._plain()),
                                    schema=_report.summary_schema(pa))

    def to_pandas(self) -> Any:
        """A pandas DataFrame with one row per column, indexed by column name."""
        _inputs.require("pandas", "Profile.to_pandas")
        return _report.summary_frame(self._plain())

    def __repr__(self) -> str:
        return _report.text(self._plain())

    def to_html(self, title: str = "tessary profile") -> str:
        """The report as one self-contained HTML page: an overview with alerts, then a
        card per column with histograms, quantiles and top values, in inline SVG.

        No script and no request to a network or a file; its size depends on the
        columns, never on the rows.
        """
        return _html.document([(title, self._plain())])

    def _plain(self) -> dict[str, Any]:
        """`to_dict()` without the copy, for renderers that only read it."""
        return {"rows": self._rows, "columns": self._columns}

    def _repr_html_(self) -> str:
        return _html.fragment(self._plain())


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
        # The engine's running profile and the Arrow type of each column, in
        # the order the columns appeared. Every update and merge builds the
        # next state apart, on a copy, and replaces this one whole in one
        # assignment: a call that fails anywhere (KeyboardInterrupt included)
        # leaves it as it was.
        self._state: tuple[Any, dict[str, Any], dict[str, str]] = (
            _native.TableAccumulator(stream_id), {}, {})
        # Called after each batch with the progress and the total (rows, or bytes of a text file).
        self._progress: Callable[[int, int | None], None] | None = None
        # One update or merge at a time, so that none is lost.
        self._lock = threading.RLock()

    @property
    def rows(self) -> int:
        """The number of rows seen so far."""
        return int(self._state[0].rows)

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
        self._update(data)

    def _update(self, data: Any, summarise: bool = False) -> None:
        """update(); with `summarise`, the engine also works out the figures of
        every column with the last batch, for a profile read right after."""
        with _columns.data_errors("cannot read the data"):
            source = _inputs.source(data, self._select)
        # The last step of this line replaces the state: nothing that could
        # raise comes after it.
        with self._lock: self._state = self._updated(source, data, summarise)

    def _updated(self, source: _inputs.Source, data: Any,
                 summarise: bool) -> tuple[Any, dict[str, Any], dict[str, str]]:
        """The state after the batches of `source`, built apart from this one."""
        acc, types, notes = self._state
        batches, reader = source.batches, None
        if isinstance(data, (str, os.PathLike)):
            batches = reader = _inputs.prefetched(batches)
        copied, read = False, 0
        plan = _Plan(source.declared)
        try:
            with _columns.data_errors("cannot read the data"):
                # Only a caller that wants the figures reads a batch ahead.
                marked = _marking_last(batches) if summarise else ((batch, False) for batch in batches)
                for done, (batch, last) in enumerate(marked, 1):
                    if not copied:  # one copy for all the batches of the call
                        acc, types, copied = acc.__copy__(), dict(types), True
                    self._add(acc, types, plan, batch, summarise and last)
                    read += batch.num_rows
                    if self._progress is not None:
                        self._progress(source.done(read, done), source.total)
        finally:
            if reader is not None:  # stops the reading thread now
                reader.close()
        return acc, types, {**notes, **{k: v for k, v in source.notes.items() if k in types}}

    def _add(self, acc: Any, types: dict[str, Any], plan: _Plan, batch: Any, summarise: bool) -> None:
        """Feeds `batch` to `acc`, whose columns have the Arrow `types`."""
        if self._select is not None:
            error = _inputs.absent_column(self._select, batch.schema.names)
            if error is not None:
                raise error
            batch = batch.select(self._select)
        batch = plan.prepared(batch, types)
        if acc.rows + batch.num_rows > _MAX_COUNT:
            raise OverflowError("a Profiler counts at most 2**64 - 1 rows")
        acc.update(batch, summarise)
        plan.adopt(types)

    def profile(self) -> Profile:
        """The profile of every row seen so far."""
        return Profile._of(self._state)

    def to_bytes(self) -> bytes:
        """The running state as bytes, for `Profiler.from_bytes` in this or another process.

        The same state always gives the same bytes, on every machine.
        """
        pa = _inputs.require("pyarrow", "Profiler.to_bytes")
        acc, types, notes = self._state
        header = {"rows": int(acc.rows), "stream_id": self._stream_id, "select": self._select,
                  "columns": list(types)}
        return _saved.to_bytes(header, [_schema_bytes(pa, types, notes)], acc.to_bytes())

    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview) -> Profiler:
        """A profiler with the state that `to_bytes()` saved.

        Raises ValueError when `data` is not such bytes: truncated, corrupt, or
        of another version (a profile saved by tessary before 0.3 cannot be read:
        profile the data again).
        """
        pa = _inputs.require("pyarrow", "Profiler.from_bytes")
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"expected bytes, not {type(data).__name__}")
        try:
            return cls._decode(pa, bytes(data))
        except (ValueError, TypeError, LookupError, ArithmeticError, RecursionError, OSError,
                pa.ArrowException) as error:
            raise ValueError(f"not a serialized tessary Profiler: {error}") from None

    @classmethod
    def _decode(cls, pa: Any, data: bytes) -> Profiler:
        """from_bytes, whose every check raises one of the errors it turns into ValueError."""
        header, (schema,), engine = _saved.from_bytes(data, ("rows", "stream_id", "select", "columns"), 1)
        rows, stream_id, select, names = (_columns._count(header["rows"]),
                                          _columns._count(header["stream_id"]),
                                          header["select"], header["columns"])
        if select is not None and (type(select) is not list
                                   or any(type(name) is not str for name in select)):
            raise ValueError("select is not null or a list of column names")
        if type(names) is not list or any(type(name) is not str for name in names):
            raise ValueError("columns is not a list of column names")
        profiler = cls(columns=select, stream_id=stream_id)
        fields = pa.ipc.read_schema(pa.py_buffer(schema))
        notes = {f.name: f.metadata[_NOTE.encode()].decode() for f in fields
                 if f.metadata and _NOTE.encode() in f.metadata}
        if fields.names != names or _schema_bytes(pa, dict(zip(fields.names, fields.types)), notes) != schema:
            raise ValueError("the schema does not name the columns in order")
        if profiler._selected is not None and not profiler._selected.issuperset(names):
            raise ValueError("a column is not one of the selected columns")
        acc = _native.TableAccumulator.from_bytes(engine)
        snapshot = acc.snapshot()
        if acc.rows != rows or acc.stream_id != stream_id or list(snapshot["columns"]) != names:
            raise ValueError("the engine's state does not match the header")
        types = dict(zip(fields.names, fields.types))
        for name, column in snapshot["columns"].items():
            expected = _ENGINE_KIND[_columns.kind(types[name])]
            if column["kind"] != expected and not (column["kind"] == "other" and pa.types.is_null(types[name])):
                raise ValueError(f"column {name!r} holds the state of another type")
        profiler._state = (acc, types, notes)
        return profiler

    def merge(self, other: Profiler) -> None:
        """Adds the rows that `other` has seen; `other` is left unchanged.

        Counts, extremes, exact value counts, distinct-count registers and
        histogram bins add up exactly; the moments merge pairwise, within
        rounding of one pass (the mean and std within about 1e-12 x (|mean| +
        std)); heavy hitters follow the mergeable Misra-Gries rule, so their
        counts stay lower bounds. A column that only one side has counts the
        other side's rows as missing; one that this profiler does not select
        is left out. The same profilers merged in the same order give the same
        bytes.

        Raises TypeError when a column has another type on each side, and
        OverflowError when the rows would number more than 2**64 - 1; then, as
        after any failure, this profiler is left as it was.
        """
        if not isinstance(other, Profiler):
            raise TypeError(f"expected a Profiler, not {type(other).__name__}")
        with self._lock: self._state = self._merged(other._state)

    def _merged(self, other: tuple[Any, dict[str, Any], dict[str, str]]
                ) -> tuple[Any, dict[str, Any], dict[str, str]]:
        """The state after merging `other`'s, built apart (other may be self's)."""
        pa = _inputs.require("pyarrow", "Profiler.merge")
        acc, types, notes = self._state
        their_acc, their_types, their_notes = other
        if acc.rows + their_acc.rows > _MAX_COUNT:
            raise OverflowError("a Profiler counts at most 2**64 - 1 rows")
        merged = dict(types)
        for name, theirs in their_types.items():
            if self._selected is not None and name not in self._selected:
                continue
            mine = merged.get(name)
            if mine is None or (pa.types.is_null(mine) and not pa.types.is_null(theirs)):
                merged[name] = theirs
            elif mine != theirs and not pa.types.is_null(theirs) and not (_text(mine) and _text(theirs)):
                raise TypeError(f"column {name!r} is {mine} here and {theirs} in the "
                                "other profiler; cast the pieces to one type")
        acc = acc.__copy__()
        acc.merge(their_acc, self._select)
        return acc, merged, {**{k: v for k, v in their_notes.items() if k in merged}, **notes}

    def __reduce__(self) -> tuple[Any, ...]:
        return (Profiler.from_bytes, (self.to_bytes(),))


def profile(data: Any, *, columns: Sequence[str] | None = None, stream_id: int = 0) -> Profile:
    """Profiles `data` and returns a `Profile`.

    `data` may be a file path (CSV, TSV, Parquet, Arrow IPC/Feather,
    newline-delimited JSON, .npy; read batch by batch), a directory of such
    files (one dataset, hive-style keys as columns), a NumPy array (1-D, or
    2-D as columns), a sequence of numbers or strings, a mapping of column
    names to sequences, a pandas or polars Series/DataFrame (or polars
    LazyFrame, streamed batch by batch), a pyarrow Array/ChunkedArray/RecordBatch/Table/
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
    profiler._update(data, summarise=True)
    return profiler.profile()
