"""Turns what users hand to `tessary.profile` into a stream of Arrow record batches.

Every input becomes an iterator of `pyarrow.RecordBatch`, read in place where
pyarrow can (NumPy arrays, Arrow data, memory-mapped files) and batch by batch
for files, so that memory stays bounded by one batch whatever the input size.
"""

from __future__ import annotations

import os
import queue
import stat
import threading
from collections.abc import Callable, Generator, Iterable, Iterator, Mapping, Sequence
from typing import Any

# Rows per batch for inputs that pyarrow does not already cut into batches.
BATCH_ROWS = 1 << 20

# Bytes of CSV or JSON text parsed at a time: each block becomes one batch.
TEXT_BLOCK = 16 << 20

# File suffixes of compressed text and their codecs.
_COMPRESSION = {".gz": "gzip", ".bz2": "bz2", ".zst": "zstd", ".lz4": "lz4"}
FORMATS = {".csv": "csv", ".tsv": "csv", ".txt": "csv", ".parquet": "parquet", ".pq": "parquet",
           ".arrow": "ipc", ".feather": "ipc", ".ipc": "ipc", ".arrows": "ipc",
           ".json": "json", ".jsonl": "json", ".ndjson": "json", ".npy": "npy"}

# struct-module formats of the buffer protocol and their Arrow types.
_BUFFER_TYPES = {"b": "int8", "B": "uint8", "h": "int16", "H": "uint16", "i": "int32",
                 "I": "uint32", "l": "int64", "L": "uint64", "q": "int64", "Q": "uint64",
                 "n": "int64", "N": "uint64", "e": "float16", "f": "float32", "d": "float64",
                 "?": "bool_"}


class MissingDependencyError(ImportError):
    """An optional library that this input needs is not installed."""


def require(module: str, purpose: str, install: str | None = None) -> Any:
    """Imports `module`, or raises MissingDependencyError saying what to install."""
    try:
        return __import__(module, fromlist=["_"])
    except ImportError:
        package = install or module.split(".")[0]
        raise MissingDependencyError(
            f"{purpose} needs {package}, which is not installed: pip install {package}") from None


def _pa() -> Any:
    return require("pyarrow", "tessary.profile")


class Source:
    """A stream of record batches, with the progress of reading when it is known.

    `total` is the size of the input: its rows, or with `position` its bytes, and
    `position(batches)` the bytes read once that many batches are done.
    """

    def __init__(self, batches: Iterable[Any], total: int | None = None,
                 position: Callable[[int], int] | None = None) -> None:
        self.batches = batches
        self.total = total
        self.position = position

    def done(self, rows: int, batches: int) -> int:
        """The progress once `rows` rows in `batches` batches are done, in the unit of `total`."""
        return rows if self.position is None else self.position(batches)


def absent_column(columns: Sequence[str], names: Sequence[str]) -> ValueError | None:
    """The error for the first of `columns` that is not among `names`, the data's columns."""
    present = set(names)
    absent = [c for c in columns if c not in present]
    if not absent:
        return None
    return ValueError(f"no column named {absent[0]!r}; the columns are: " + ", ".join(names))


def _check_columns(columns: Sequence[str] | None, names: Sequence[str]) -> None:
    # Checked before a reader is asked for a selection: readers drop or refuse an
    # unknown name in their own words, and the data's columns are lost.
    error = absent_column(columns, names) if columns is not None else None
    if error is not None:
        raise error


def _batch(pa: Any, arrays: Sequence[Any], names: Sequence[str]) -> Any:
    return pa.RecordBatch.from_arrays(list(arrays), names=list(names))


def _chunks(pa: Any, chunked: Any, name: str) -> Source:
    return Source((_batch(pa, [chunk], [name]) for chunk in chunked.chunks), len(chunked))


def _from_numpy(pa: Any, array: Any, name: str) -> Source:
    if array.ndim == 0 or array.ndim > 2:
        raise TypeError(f"expected a 1-D or 2-D NumPy array, got {array.ndim} dimensions; "
                        "pass one column per array, or reshape it")
    if array.dtype.kind == "c":
        raise TypeError(f"complex NumPy arrays ({array.dtype}) are not profiled; "
                        "pass their .real and .imag parts as separate columns")
    if array.dtype.byteorder == ">":
        array = array.astype(array.dtype.newbyteorder("="))
    if array.ndim == 1:
        columns, names = [array], [name]
    else:
        columns = [array[:, i] for i in range(array.shape[1])]
        names = [str(i) for i in range(array.shape[1])]

    def batches() -> Iterator[Any]:
        for start in range(0, max(len(array), 1), BATCH_ROWS):
            yield _batch(pa, [pa.array(c[start:start + BATCH_ROWS]) for c in columns], names)

    return Source(batches(), len(array))


def _from_buffer(pa: Any, obj: Any, name: str) -> Source:
    view = memoryview(obj)
    fmt = view.format
    if fmt[:1] in ("@", "=", "<"):
        fmt = fmt[1:]
    if view.ndim != 1 or fmt not in _BUFFER_TYPES:
        raise TypeError(f"{type(obj).__name__} buffer of format {view.format!r} and "
                        f"{view.ndim} dimensions is not a column of numbers; pass a 1-D "
                        "buffer of a native-endian numeric type, or a NumPy array")
    if not view.c_contiguous:
        view = memoryview(view.tobytes()).cast(fmt)  # type: ignore[call-overload]
    if fmt == "?":  # one byte per flag; Arrow packs them into bits
        array = pa.Array.from_buffers(pa.uint8(), len(view), [None, pa.py_buffer(view)])
        array = array.cast(pa.bool_())
    else:
        arrow_type = getattr(pa, _BUFFER_TYPES[fmt])()
        array = pa.Array.from_buffers(arrow_type, len(view), [None, pa.py_buffer(view)])
    return Source([_batch(pa, [array], [name])], len(view))


def _from_stream(pa: Any, obj: Any, name: str) -> Source:
    try:
        reader = pa.RecordBatchReader.from_stream(obj)
    except pa.ArrowInvalid as error:
        if "non-struct" not in str(error):
            raise
        return _chunks(pa, pa.chunked_array(obj), name)
    return Source(reader)


def _parquet_batch_rows(metadata: Any) -> int:
    """Batches of whole row groups where the row groups are long enough to profile on several
    cores: a batch that spans two row groups is a copy of both, which costs about a fifth of
    the reading. Shorter row groups are gathered into batches of BATCH_ROWS."""
    longest = max((metadata.row_group(i).num_rows for i in range(metadata.num_row_groups)), default=0)
    return longest if 1 << 16 <= longest <= BATCH_ROWS else BATCH_ROWS


_SPECIAL = ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
            (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"))


def _refuse_special(path: str) -> None:
    """Raises OSError for a path that is neither a regular file nor a directory, before
    anything opens it: reading a FIFO or a device can wait for ever, or never end."""
    mode = os.stat(path).st_mode
    if stat.S_ISREG(mode) or stat.S_ISDIR(mode):
        return
    what = next((name for test, name in _SPECIAL if test(mode)), "a special file")
    raise OSError(f"{path} is {what}, not a regular file")


def _text(pa: Any, path: str) -> tuple[Any, Callable[[int], int]]:
    """The stream of a CSV or JSON file, through a decompressor where its suffix names one,
    and the bytes of the file read once a number of batches are done.

    The readers make one batch of each block of text, and read many blocks ahead, so the
    progress is counted in blocks rather than taken from the file's position; only for
    compressed text, whose blocks are of unknown size in the file, is the position used.
    """
    raw = pa.OSFile(path)
    codec = _COMPRESSION.get(os.path.splitext(path.lower())[1])
    if codec:
        return pa.CompressedInputStream(raw, codec), lambda batches: raw.tell()
    size = raw.size()
    return raw, lambda batches: min(batches * TEXT_BLOCK, size)


def _from_file(pa: Any, path: str, columns: Sequence[str] | None) -> Source:
    lower = path.lower()
    stem = lower
    for suffix in _COMPRESSION:
        if stem.endswith(suffix):
            stem = stem[:-len(suffix)]
    kind = FORMATS.get(os.path.splitext(stem)[1])
    if kind is None:
        known = ", ".join(sorted(FORMATS))
        raise ValueError(f"unknown file format {os.path.splitext(stem)[1] or '(no suffix)'!r}; "
                         f"tessary reads {known} (CSV and JSON also compressed)")
    if not os.path.exists(path):
        raise FileNotFoundError(f"no such file: {path}")
    _refuse_special(path)
    if kind == "parquet":
        pq = require("pyarrow.parquet", "reading Parquet files", "pyarrow")
        # Without pre-buffering, the reader holds only the row group it decodes
        # rather than several read ahead: a fraction of the memory, no slower.
        file = pq.ParquetFile(path, pre_buffer=False)
        _check_columns(columns, file.schema_arrow.names)
        return Source(file.iter_batches(batch_size=_parquet_batch_rows(file.metadata), columns=columns),
                      file.metadata.num_rows)
    if kind == "ipc":
        try:
            reader = pa.ipc.open_file(pa.memory_map(path))
            return Source((reader.get_batch(i) for i in range(reader.num_record_batches)),
                          reader.count_rows() if hasattr(reader, "count_rows") else None)
        except pa.ArrowInvalid:
            return Source(pa.ipc.open_stream(pa.OSFile(path)))
    if kind == "csv":
        csv = require("pyarrow.csv", "reading CSV files", "pyarrow")
        parse = csv.ParseOptions(delimiter="\t" if stem.endswith(".tsv") else ",")

        def open_csv(include: Sequence[str] | None) -> tuple[Any, Callable[[int], int]]:
            # An empty field is a missing value, as in every spreadsheet.
            convert = csv.ConvertOptions(include_columns=list(include) if include else None,
                                         strings_can_be_null=True)
            stream, position = _text(pa, path)
            return csv.open_csv(stream, read_options=csv.ReadOptions(block_size=TEXT_BLOCK),
                                parse_options=parse, convert_options=convert), position

        try:
            reader, position = open_csv(columns)
        except pa.ArrowKeyError:  # a selected column is not in the file: name its columns
            _check_columns(columns, open_csv(None)[0].schema.names)
            raise
        return Source(reader, os.path.getsize(path), position)
    if kind == "json":
        json = require("pyarrow.json", "reading JSON files", "pyarrow")
        stream, position = _text(pa, path)
        options = json.ReadOptions(block_size=TEXT_BLOCK)
        if hasattr(json, "open_json"):
            return Source(json.open_json(stream, read_options=options),
                          os.path.getsize(path), position)
        return Source(json.read_json(stream, read_options=options).to_batches())
    np = require("numpy", "reading .npy files")
    try:
        array = np.load(path, mmap_mode="r", allow_pickle=False)
    except ValueError as error:
        raise ValueError(f"cannot read {path} without unpickling objects: {error}") from None
    return _from_numpy(pa, array, "values")


def _module(obj: Any) -> str:
    return type(obj).__module__.split(".")[0]


def source(data: Any, columns: Sequence[str] | None = None) -> Source:
    """The record batches of `data`, any input that `tessary.profile` takes."""
    if isinstance(data, (str, os.PathLike)):
        return _from_file(_pa(), os.fspath(data), columns)
    pa = _pa()
    name = "values"
    module = _module(data)
    if module == "pandas" and hasattr(data, "to_frame"):  # Series
        name = "values" if data.name is None else str(data.name)
        data = data.to_frame(name)
    if module == "pandas" and hasattr(data, "columns"):
        # The index is not a column of the data.
        return Source(pa.Table.from_pandas(data, preserve_index=False).to_batches(), len(data))
    if module == "polars":
        if hasattr(data, "collect") and not hasattr(data, "to_arrow"):  # LazyFrame
            data = data.collect()
        if hasattr(data, "name"):  # Series
            name = data.name or "values"
    if isinstance(data, pa.RecordBatch):
        return Source([data], data.num_rows)
    if isinstance(data, pa.Table):
        return Source(data.to_batches(), data.num_rows)
    if isinstance(data, pa.ChunkedArray):
        return _chunks(pa, data, name)
    if isinstance(data, pa.Array):
        if isinstance(data, pa.StructArray):
            return Source([pa.RecordBatch.from_struct_array(data)], len(data))
        return Source([_batch(pa, [data], [name])], len(data))
    if isinstance(data, pa.RecordBatchReader):
        return Source(data)
    if module == "pyarrow" and hasattr(data, "to_batches") and hasattr(data, "count_rows"):
        _check_columns(columns, data.schema.names)  # a dataset
        return Source(data.to_batches(columns=columns))
    if module == "numpy" and hasattr(data, "dtype"):
        return _from_numpy(pa, data, name)
    if hasattr(data, "__arrow_c_stream__"):
        return _from_stream(pa, data, name)
    if hasattr(data, "__arrow_c_array__"):
        return source(pa.array(data), columns)
    if isinstance(data, Mapping):
        return source(pa.table({str(k): _column(pa, v) for k, v in data.items()}), columns)
    try:
        memoryview(data)
    except TypeError:
        pass
    else:
        return _from_buffer(pa, data, name)
    if isinstance(data, Sequence) and not isinstance(data, (str, bytes)):
        return Source([_batch(pa, [_column(pa, data)], [name])], len(data))
    raise TypeError(f"cannot profile an object of type {type(data).__module__}."
                    f"{type(data).__qualname__}; pass a file path, a NumPy array, a sequence, "
                    "a pandas, polars or pyarrow object, or any object with "
                    "__arrow_c_stream__ or __arrow_c_array__")


def _column(pa: Any, values: Any) -> Any:
    """One column from a sequence, NumPy array or Arrow array."""
    if _module(values) == "numpy" and hasattr(values, "dtype"):
        return pa.array(values)
    if isinstance(values, (pa.Array, pa.ChunkedArray)):
        return values
    try:
        return pa.array(values)
    except (pa.ArrowInvalid, pa.ArrowTypeError) as error:
        raise TypeError(f"cannot read the sequence as one column: {error}; a column holds "
                        "numbers, strings, booleans or dates, not a mix") from None


def prefetched(batches: Iterable[Any], depth: int = 2) -> Generator[Any, None, None]:
    """Yields the items of `batches`, reading up to `depth` ahead in a thread.

    pyarrow decodes files without holding the interpreter lock, so the next
    batch is read while the engine profiles the current one. The thread ends
    with the iterator, also when the consumer stops early.
    """
    items: queue.Queue[tuple[str, Any]] = queue.Queue(depth)
    stop = threading.Event()

    def produce() -> None:
        try:
            for item in batches:
                while not stop.is_set():
                    try:
                        items.put(("item", item), timeout=0.1)
                        break
                    except queue.Full:
                        continue
                if stop.is_set():
                    return
            items.put(("end", None))
        except BaseException as error:  # handed to the consumer, raised there
            items.put(("error", error))

    thread = threading.Thread(target=produce, name="tessary-reader", daemon=True)
    thread.start()
    try:
        while True:
            kind, item = items.get()
            if kind == "end":
                return
            if kind == "error":
                raise item
            yield item
    finally:
        stop.set()
        while thread.is_alive():
            try:
                items.get(timeout=0.1)
            except queue.Empty:
                pass
        thread.join()
