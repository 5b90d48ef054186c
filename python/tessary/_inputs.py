"""Turns what users hand to `tessary.profile` into a stream of Arrow record batches.

Every input becomes an iterator of `pyarrow.RecordBatch`, read in place where
pyarrow can (NumPy arrays, Arrow data, memory-mapped files) and batch by batch
for files, so that memory stays bounded by one batch whatever the input size.
"""

from __future__ import annotations

import collections
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
    `position(batches)` the bytes read once that many batches are done. `schema`,
    where the input has one, lists the columns of an input without rows; `notes`
    says, per column, how it was read when not as it is.
    """

    def __init__(self, batches: Iterable[Any], total: int | None = None,
                 position: Callable[[int], int] | None = None, schema: Any = None,
                 notes: dict[str, str] | None = None, declared: dict[str, Any] | None = None) -> None:
        self.batches = batches
        self.total = total
        self.position = position
        self.schema = schema if schema is not None else getattr(batches, "schema", None)
        self.notes = notes or {}
        # The type of a column as the data declares it, where the batches carry it in
        # another layout (a Parquet text column read as a dictionary).
        self.declared = declared or {}
        self.reader: Any = None

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


def _check_columns(columns: Sequence[str] | None, names: Sequence[str]) -> Sequence[str] | None:
    """The selection to hand a reader of columns `names`. Checked before a reader is
    asked for it: readers drop or refuse an unknown name in their own words, and the
    data's columns are lost. Where names repeat, the reader reads every column and the
    selection is made once the repeats are renamed."""
    unique = unique_names(names)
    error = absent_column(columns, unique) if columns is not None else None
    if error is not None:
        raise error
    return columns if unique == list(names) else None


def unique_names(names: Sequence[str]) -> list[str]:
    """`names` with each repeat renamed as pandas does: a, a.1, a.2 (skipping names taken)."""
    seen: dict[str, int] = {}
    out = []
    for name in names:
        count = seen.get(name, 0)
        while count > 0:
            seen[name] = count + 1
            name = f"{name}.{count}"
            count = seen.get(name, 0)
        out.append(name)
        seen[name] = count + 1
    return out


def _complete(pa: Any, batches: Iterable[Any], schema: Any) -> Iterator[Any]:
    """The batches with repeated column names renamed (the same way in every batch), and,
    when there are none, one empty batch of `schema`, so that an input without rows keeps
    its columns."""
    empty = True
    for batch in batches:
        empty = False
        names = batch.schema.names
        if len(set(names)) != len(names):
            batch = batch.rename_columns(unique_names(names))
        yield batch
    if empty and schema is not None:
        yield from _complete(pa, [pa.RecordBatch.from_arrays(
            [pa.nulls(0, field.type) for field in schema], names=schema.names)], None)


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


def _dictionary_columns(pa: Any, schema: Any, metadata: Any) -> list[str]:
    """The text columns of a Parquet file stored as dictionary indices throughout. Read as
    dictionaries they decode in a fraction of the time and profile the same. A column whose
    pages fell back to plain values (its dictionary grew too large) takes four bytes a value
    or more outside its dictionary page; it is read as it is, since building a dictionary
    from plain values costs more than it saves."""
    text = (pa.types.is_string, pa.types.is_large_string, pa.types.is_binary, pa.types.is_large_binary)
    candidates = [field for field in schema if any(is_text(field.type) for is_text in text)]
    if not candidates:
        return []
    repeated = {name for name, n in collections.Counter(schema.names).items() if n > 1}
    leaves = {metadata.schema.column(j).path: j for j in range(metadata.num_columns)}
    picked = []
    for field in candidates:
        j = leaves.get(field.name)
        if j is None or field.name in repeated:
            continue
        for g in range(metadata.num_row_groups):
            chunk = metadata.row_group(g).column(j)
            if not chunk.has_dictionary_page or chunk.dictionary_page_offset is None:
                break
            dictionary = chunk.data_page_offset - chunk.dictionary_page_offset
            if not 0 < dictionary or chunk.total_uncompressed_size - dictionary >= 4 * chunk.num_values:
                break
        else:
            if metadata.num_row_groups:
                picked.append(field.name)
    return picked


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


def _format(path: str) -> tuple[str | None, str]:
    """The format of a file named `path` ("csv", "parquet", ...; None when its suffix names
    none) and its name without the suffix of a compression."""
    stem = path.lower()
    for suffix in _COMPRESSION:
        if stem.endswith(suffix):
            stem = stem[:-len(suffix)]
    return FORMATS.get(os.path.splitext(stem)[1]), stem


def _hidden(name: str) -> bool:
    # What writers leave beside the data: _SUCCESS, _metadata, .part-0.crc, ...
    return name.startswith((".", "_"))


def _from_directory(pa: Any, path: str, columns: Sequence[str] | None) -> Source:
    """The files of one format under `path` as one dataset, read batch by batch, with the
    keys of hive-style subdirectories (year=2024/) as columns. Files whose suffix names no
    format, and hidden ones, are left out."""
    ds = require("pyarrow.dataset", "reading directories", "pyarrow")
    files: dict[str, list[str]] = {}
    for root, dirs, names in os.walk(path):
        dirs[:] = sorted(d for d in dirs if not _hidden(d))
        for name in sorted(names):
            kind, stem = _format(name)
            if kind is not None and not _hidden(name):
                key = "tsv" if kind == "csv" and stem.endswith(".tsv") else kind
                files.setdefault(key, []).append(os.path.join(root, name))
    if len(files) != 1 or "npy" in files:
        found = ", ".join(sorted(files)) or "none"
        raise ValueError(f"{path} is a directory; tessary reads one of Parquet, Arrow IPC, CSV, "
                         f"TSV or JSON files there, all of one format (found: {found})")
    (kind, paths), = files.items()
    if kind in ("csv", "tsv"):
        csv = require("pyarrow.csv", "reading CSV files", "pyarrow")
        file_format = ds.CsvFileFormat(
            parse_options=csv.ParseOptions(delimiter="\t" if kind == "tsv" else ","),
            convert_options=csv.ConvertOptions(strings_can_be_null=True),
            read_options=csv.ReadOptions(block_size=TEXT_BLOCK))
    elif kind == "json":
        json = require("pyarrow.json", "reading JSON files", "pyarrow")
        file_format = ds.JsonFileFormat(read_options=json.ReadOptions(block_size=TEXT_BLOCK))
    elif kind == "parquet":  # as for one file: the row group it decodes, not several ahead
        file_format = ds.ParquetFileFormat(
            default_fragment_scan_options=ds.ParquetFragmentScanOptions(pre_buffer=False))
    else:
        file_format = kind
    return _from_dataset(ds.dataset(paths, format=file_format, partitioning="hive",
                                    partition_base_dir=path), columns)


def _from_dataset(dataset: Any, columns: Sequence[str] | None) -> Source:
    """A pyarrow dataset, scanned batch by batch with little read ahead, so that memory
    stays bounded by a few batches whatever the number of files."""
    selected = _check_columns(columns, dataset.schema.names)
    parquet = type(getattr(dataset, "format", None)).__name__ == "ParquetFileFormat"
    batches = dataset.to_batches(columns=selected, batch_size=BATCH_ROWS, batch_readahead=2,
                                 fragment_readahead=1)
    # The rows of Parquet files are in their footers; other formats would be read twice.
    return Source(batches, dataset.count_rows() if parquet else None, schema=dataset.schema)


def _from_pandas(pa: Any, frame: Any) -> Source:
    """A pandas DataFrame without its index, which is not a column of the data. A column of
    Python objects of several types, which no Arrow type holds, is profiled as their text."""
    names = unique_names([str(name) for name in frame.columns])
    if names != list(frame.columns):
        frame = frame.set_axis(names, axis=1)
    notes: dict[str, str] = {}
    try:
        table = pa.Table.from_pandas(frame, preserve_index=False)
    except (pa.ArrowInvalid, pa.ArrowTypeError, pa.ArrowNotImplementedError):
        arrays = []
        for name in names:
            column = frame[name]
            try:
                arrays.append(pa.Array.from_pandas(column))
                continue
            except (pa.ArrowInvalid, pa.ArrowTypeError, pa.ArrowNotImplementedError):
                if column.dtype != object:
                    raise
            values = [None if _missing(v) else v for v in column]
            kinds = ", ".join(sorted({type(v).__name__ for v in values if v is not None}))
            arrays.append(pa.array([None if v is None else str(v) for v in values], pa.string()))
            notes[name] = (f"values of several types ({kinds}) profiled as text" if "," in kinds
                           else f"values ({kinds}) that no Arrow type holds, profiled as text")
        table = pa.Table.from_arrays(arrays, names=names)
    return Source(table.to_batches(), len(frame), schema=table.schema, notes=notes)


def _missing(value: Any) -> bool:
    """Whether a Python object in a pandas column is a missing value (None, NaN, NA, NaT)."""
    return (value is None or (isinstance(value, float) and value != value)
            or type(value).__name__ in ("NAType", "NaTType"))


def _from_lazy(frame: Any, columns: Sequence[str] | None) -> Source:
    """A polars LazyFrame, run by polars' streaming engine and profiled batch by batch as
    the batches come, never collected whole."""
    pa = _pa()
    names = frame.collect_schema().names()
    selected = _check_columns(columns, names)
    if selected is not None:
        frame = frame.select(list(selected))

    def batches() -> Iterator[Any]:
        empty, chunks = True, frame.collect_batches(chunk_size=BATCH_ROWS)
        try:
            for chunk in chunks:
                empty = False
                yield from _source(chunk, None).batches
        except BaseException:  # the query would run on to its end
            getattr(chunks, "stop", lambda: None)()
            raise
        if empty:  # the columns, from a frame of no rows
            found = _source(frame.head(0).collect(), None)
            yield from _complete(pa, found.batches, found.schema)

    return Source(batches())


def _from_file(pa: Any, path: str, columns: Sequence[str] | None) -> Source:
    if os.path.isdir(path):
        return _from_directory(pa, path, columns)
    kind, stem = _format(path)
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
        metadata = pq.read_metadata(path)
        schema = metadata.schema.to_arrow_schema()
        selected = _check_columns(columns, schema.names)
        dictionaries = _dictionary_columns(pa, schema, metadata)
        file = pq.ParquetFile(path, metadata=metadata, pre_buffer=False, read_dictionary=dictionaries)
        return Source(file.iter_batches(batch_size=_parquet_batch_rows(metadata), columns=selected),
                      metadata.num_rows, schema=schema,
                      declared={name: schema.field(name).type for name in dictionaries})
    if kind == "ipc":
        try:
            reader = pa.ipc.open_file(pa.memory_map(path))
            return Source((reader.get_batch(i) for i in range(reader.num_record_batches)),
                          reader.count_rows() if hasattr(reader, "count_rows") else None,
                          schema=reader.schema)
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
            if _check_columns(columns, open_csv(None)[0].schema.names) is not None:
                raise
            reader, position = open_csv(None)  # a repeated name, renamed once read
        return Source(reader, os.path.getsize(path), position)
    if kind == "json":
        json = require("pyarrow.json", "reading JSON files", "pyarrow")
        stream, position = _text(pa, path)
        options = json.ReadOptions(block_size=TEXT_BLOCK)
        if hasattr(json, "open_json"):
            return Source(json.open_json(stream, read_options=options),
                          os.path.getsize(path), position)
        table = json.read_json(stream, read_options=options)
        return Source(table.to_batches(), table.num_rows, schema=table.schema)
    np = require("numpy", "reading .npy files")
    try:
        array = np.load(path, mmap_mode="r", allow_pickle=False)
    except ValueError as error:
        raise ValueError(f"cannot read {path} without unpickling objects: {error}") from None
    return _from_numpy(pa, array, "values")


def _module(obj: Any) -> str:
    return type(obj).__module__.split(".")[0]


def source(data: Any, columns: Sequence[str] | None = None) -> Source:
    """The record batches of `data`, any input that `tessary.profile` takes: repeated
    column names renamed as pandas does (a, a.1), and the columns of an input without
    rows kept in one empty batch."""
    found = _source(data, columns)
    # The reader stays referenced by the source: a compressed stream closes with it, and
    # the progress reads its position.
    found.reader = found.batches
    found.batches = _complete(_pa(), found.batches, found.schema)
    return found


def _source(data: Any, columns: Sequence[str] | None) -> Source:
    if isinstance(data, (str, os.PathLike)):
        return _from_file(_pa(), os.fspath(data), columns)
    pa = _pa()
    name = "values"
    module = _module(data)
    if module == "pandas" and hasattr(data, "to_frame"):  # Series
        name = "values" if data.name is None else str(data.name)
        data = data.to_frame(name)
    if module == "pandas" and hasattr(data, "columns"):
        return _from_pandas(pa, data)
    if module == "polars":
        if hasattr(data, "collect_batches") and not hasattr(data, "to_arrow"):  # LazyFrame
            return _from_lazy(data, columns)
        if hasattr(data, "collect") and not hasattr(data, "to_arrow"):
            data = data.collect()  # a polars without streamed batches
        if hasattr(data, "name"):  # Series
            name = data.name or "values"
    if isinstance(data, pa.RecordBatch):
        return Source([data], data.num_rows)
    if isinstance(data, pa.Table):
        return Source(data.to_batches(), data.num_rows, schema=data.schema)
    if isinstance(data, pa.ChunkedArray):
        return _chunks(pa, data, name)
    if isinstance(data, pa.Array):
        if isinstance(data, pa.StructArray):
            return Source([pa.RecordBatch.from_struct_array(data)], len(data))
        return Source([_batch(pa, [data], [name])], len(data))
    if isinstance(data, pa.RecordBatchReader):
        return Source(data)
    if module == "pyarrow" and hasattr(data, "to_batches") and hasattr(data, "count_rows"):
        return _from_dataset(data, columns)
    if module == "numpy" and hasattr(data, "dtype"):
        return _from_numpy(pa, data, name)
    if hasattr(data, "__arrow_c_stream__"):
        return _from_stream(pa, data, name)
    if hasattr(data, "__arrow_c_array__"):
        return _source(pa.array(data), columns)
    if isinstance(data, Mapping):
        return _source(pa.table({str(k): _column(pa, v) for k, v in data.items()}), columns)
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
