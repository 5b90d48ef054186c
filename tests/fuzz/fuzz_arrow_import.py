"""Fuzzes ArrowBatchProfileAccumulator.update: random pyarrow schemas and record batches
(sliced, with nulls, non-nullable fields and every kind of column), and hand-built C Data
Interface structures whose lengths, offsets, null counts, buffer counts, children, dictionaries,
names and formats lie. Every buffer a structure points to covers what its fields claim.

Besides crashes it checks that a failing update raises TypeError or ValueError with the argument
note (PanicException for top-level nulls) and leaves snapshot() unchanged, that the imported array
is released exactly once, that a well-formed batch is accepted, and that an accepted batch adds its
rows and gives each numeric column the exact state of its values as float64, nulls as NaN.
Run it as long as you like with scripts/fuzz.sh fuzz_arrow_import [libFuzzer options]."""

import gc
import os
import struct
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import numpy as np  # noqa: E402
import pyarrow as pa  # noqa: E402

from exporters import ARRAY_RELEASE, ArrowArray, CExport, P, metadata, node  # noqa: E402
from helpers import exact  # noqa: E402
from tessary._native import ArrowBatchProfileAccumulator, numeric_state_f64  # noqa: E402

NOTE = ["while processing 'batch'"]
# Format of each profiled type, and the NumPy type of its elements.
NUMERIC = {b"c": "i1", b"C": "u1", b"s": "<i2", b"S": "<u2", b"i": "<i4", b"I": "<u4",
           b"l": "<i8", b"L": "<u8", b"f": "<f4", b"g": "<f8"}
# Other formats, with their number of buffers and children.
OTHER = {b"n": (0, 0), b"b": (2, 0), b"e": (2, 0), b"u": (3, 0), b"U": (3, 0), b"z": (3, 0),
         b"vu": (3, 0), b"tdD": (2, 0), b"tdm": (2, 0), b"tts": (2, 0), b"tsu:UTC": (2, 0),
         b"tDs": (2, 0), b"tiM": (2, 0), b"tin": (2, 0), b"d:5,2": (2, 0), b"w:4": (2, 0),
         b"+l": (2, 1), b"+L": (2, 1), b"+w:2": (1, 1), b"+s": (1, 2), b"+ud:0,1": (2, 2),
         b"+us:0": (1, 1), b"+r": (0, 2), b"+m": (2, 1), b"": (2, 0), b"+": (1, 0),
         b"w:": (2, 0), b"d:": (2, 0), b"tsx:": (2, 0), b"xyz": (2, 0), b"+w:-1": (1, 1),
         b"d:40,2,512": (2, 0), b"ld": (2, 0)}
BAD_FORMATS = [b"", b"+w", b"xyz", b"+s", b"n", b"c", b"tdx"]
NAMES = [b"a", b"b", b"a", b"\xc3\xa9", b"", None, b"B", b"ab"]
BAD_NAME = b"\xed\xa0\x80"  # a surrogate: not UTF-8
PA_NUMERIC = [pa.int8(), pa.int16(), pa.int32(), pa.int64(), pa.uint8(), pa.uint16(), pa.uint32(),
              pa.uint64(), pa.float32(), pa.float64()]
PA_OTHER = {"bool": pa.bool_(), "f16": pa.float16(), "utf8": pa.string(), "large": pa.large_string(),
            "view": pa.string_view(), "date": pa.date32(), "ts": pa.timestamp("us"),
            "dec": pa.decimal128(5, 2), "dict": pa.dictionary(pa.int8(), pa.string()),
            "list": pa.list_(pa.int32()), "struct": pa.struct([("v", pa.int32())]),
            "null": pa.null(), "ree": pa.run_end_encoded(pa.int32(), pa.float64())}
SPECIALS = [float("nan"), float("inf"), float("-inf"), 0.0, -0.0, 1e300, -1e-300, 5e-324]
np.seterr(all="ignore")  # values that do not fit their narrower type become inf or NaN
SEED = pa.record_batch({"seed": [1.0, 2.5], "seed skipped": ["x", "y"]})


def fresh_accumulator():
    acc = ArrowBatchProfileAccumulator()
    acc.update(SEED)
    return acc


def as_float64(values, validity, first, count):
    """Elements [first, first + count) as float64, NaN where the validity bit is 0."""
    out = values[first:first + count].astype(np.float64)
    if validity is not None:
        bits = np.unpackbits(np.frombuffer(validity, np.uint8), bitorder="little")
        out[bits[first:first + count] == 0] = np.nan
    return out


@atheris.instrument_func
def pyarrow_column(fdp, rows):
    """(type, array, float64 values or None when the column is skipped)."""
    if fdp.ConsumeProbability() < 0.7:
        kind = fdp.PickValueInList(PA_NUMERIC)
        if pa.types.is_floating(kind):
            values = np.frombuffer(fdp.ConsumeBytes(8 * rows).ljust(8 * rows, b"\0"), "<f8").copy()
            for i in range(rows):
                if fdp.ConsumeProbability() > 0.8:
                    values[i] = fdp.PickValueInList(SPECIALS)
            values = values.astype(kind.to_pandas_dtype())
        else:
            dtype = np.dtype(kind.to_pandas_dtype())
            values = np.frombuffer(fdp.ConsumeBytes(dtype.itemsize * rows).ljust(
                dtype.itemsize * rows, b"\0"), dtype)
        mask = np.array([fdp.ConsumeProbability() > 0.8 for _ in range(rows)], bool)
        array = pa.array(values, kind, mask=mask)
        expected = values.astype(np.float64)
        expected[mask] = np.nan
        return kind, array, expected
    name = fdp.PickValueInList(list(PA_OTHER))
    kind = PA_OTHER[name]  # the type of the array built below
    if name == "dict":
        array = pa.array(["x", None, "y"] * rows, pa.string())[:rows].dictionary_encode()
    elif name == "ree":
        array = pa.RunEndEncodedArray.from_arrays(
            pa.array(list(range(1, rows + 1)), pa.int32()), pa.array([1.5] * rows))
    elif name == "struct":
        array = pa.StructArray.from_arrays([pa.array(range(rows), pa.int32())], ["v"])
    elif name == "null":
        array = pa.nulls(rows)
    else:
        source = {"bool": [True, None], "f16": [np.float16(1.5), None], "date": [1, None],
                  "ts": [5, None], "dec": [None, None], "list": [[1, 2], None]}
        array = pa.array((source.get(name) or ["s", None]) * rows, kind)[:rows]
    return array.type, array, None


@atheris.instrument_func
def pyarrow_export(fdp):
    """(CExport of a pyarrow record batch, its rows, {name: float64 values}, skipped names,
    whether it must be accepted)."""
    rows = fdp.ConsumeIntInRange(0, 12)
    fields, arrays, profiled, skipped = [], [], {}, set()
    for _ in range(fdp.ConsumeIntInRange(0, 4)):
        name = (fdp.PickValueInList(NAMES) or b"").decode()
        kind, array, values = pyarrow_column(fdp, rows)
        nullable = fdp.ConsumeProbability() < 0.85 or pa.types.is_null(kind)
        fields.append(pa.field(name, kind, nullable))
        arrays.append(array)
        if values is None:
            skipped.add(name)
        else:
            profiled[name] = values
    schema = pa.schema(fields, metadata={"k": "v"} if fdp.ConsumeBool() else None)
    batch = pa.RecordBatch.from_arrays(arrays, schema=schema)
    start = fdp.ConsumeIntInRange(0, rows)
    batch = batch.slice(start, fdp.ConsumeIntInRange(0, rows - start))
    rows = batch.num_rows
    profiled = {n: v[start:start + rows] for n, v in profiled.items()}
    accepted = all(f.nullable or c.null_count == 0 for f, c in zip(batch.schema, batch.columns))
    export = CExport.of_pyarrow(batch)
    lie = fdp.PickValueInList(["none"] * 4 + ["length", "null count", "children", "format"])
    width = export.array.n_children
    if lie == "length":
        export.array.length = fdp.ConsumeIntInRange(0, rows + 3)
    elif lie == "null count":
        export.array.null_count = fdp.PickValueInList([1, -1, rows])
    elif lie == "children" and width:
        export.array.n_children = width - 1
        export.before_release = lambda array: setattr(array, "n_children", width)
    elif lie == "format" and width:
        child = export.schema.children[fdp.ConsumeIntInRange(0, width - 1)].contents
        child.format = fdp.PickValueInList(BAD_FORMATS)  # constants: they outlive the export
    else:
        lie = "none"
    if lie != "none":
        export.columns = None  # the rows are still known, the columns not
        return export, None
    return export, (batch.num_rows, profiled, skipped, accepted)


@atheris.instrument_func
def hand_built_node(fdp, length, depth, columns):
    """A (schema, array) pair of any format; when it is a profiled type without lies, its
    float64 values are appended to `columns` as (name, values)."""
    numeric = fdp.ConsumeProbability() < 0.6
    fmt = fdp.PickValueInList(list(NUMERIC) if numeric else list(OTHER))
    n_buffers, n_children = (2, 0) if numeric else OTHER[fmt]
    offset = fdp.ConsumeIntInRange(0, 3)
    capacity = 16 * (length + offset + 2) + 64
    validity = fdp.PickValueInList([None, None, "random", "ones"])
    if validity is not None:
        validity = fdp.ConsumeBytes(capacity) if validity == "random" else b"\xff" * capacity
        validity = validity.ljust(capacity, b"\0")
    data = fdp.ConsumeBytes(capacity).ljust(capacity, b"\0")
    if fmt in (b"u", b"U", b"z", b"+l", b"+L", b"+m") and fdp.ConsumeBool():
        data = bytes(capacity)  # offsets: every row empty
    buffers = ([validity, data] + [None] * 4)[:n_buffers]
    children = [hand_built_node(fdp, length + offset, depth + 1, [])
                for _ in range(n_children if depth < 2 else 0)]
    name = fdp.PickValueInList(NAMES)
    null_count = fdp.PickValueInList([0, 0, -1, 1, length])
    flags = fdp.PickValueInList([2, 2, 2, 0])
    lie = fdp.PickValueInList(["none"] * 5 + ["fewer buffers", "more buffers", "length",
                                              "dictionary", "bad name", "no buffers",
                                              "released"])
    dictionary = None
    if lie == "fewer buffers" and n_buffers:
        buffers = buffers[:-1]
    elif lie == "more buffers":
        buffers = buffers + [data]
    elif lie == "length":
        length = fdp.ConsumeIntInRange(0, length + 3)  # capacity still covers it
    elif lie == "dictionary":
        dictionary = hand_built_node(fdp, 3, 2, [])
    elif lie == "bad name":
        name = BAD_NAME
    elif lie == "no buffers" and n_buffers:
        buffers = [None] * n_buffers
    pair = node(fmt, length, buffers, children, name=name, flags=flags, null_count=null_count,
                offset=offset, dictionary=dictionary)
    if lie == "released":
        pair[1].release = ARRAY_RELEASE()
    if lie == "bad name":
        columns.append((name, None))
    elif numeric and dictionary is None:
        values = np.frombuffer(data, NUMERIC[fmt])
        columns.append((name, as_float64(values, validity, offset, len(values) - offset)))
    return pair


@atheris.instrument_func
def hand_built_export(fdp):
    """(CExport of a hand-built struct, None): nothing is predicted beyond the invariants."""
    rows = fdp.ConsumeIntInRange(0, 10)
    columns, pairs = [], []
    for _ in range(fdp.ConsumeIntInRange(0, 4)):
        pairs.append(hand_built_node(fdp, rows, 0, columns))
    offset = fdp.ConsumeIntInRange(0, 2)
    validity = fdp.PickValueInList([None, None, b"\xff" * 8, b"\xfe\xff"])
    export = CExport.struct(pairs, fdp.ConsumeIntInRange(0, rows), validity,
                            null_count=fdp.PickValueInList([0, -1, 1]), offset=offset)
    lie = fdp.PickValueInList(["none"] * 6 + ["format", "n_children", "array dictionary",
                                              "extension", "length"])
    if lie == "format":
        export.schema.format = fdp.PickValueInList([b"+l", b"i", b"+", b"+ss", b"u"])
    elif lie == "n_children" and pairs:
        export.array.n_children = fdp.ConsumeIntInRange(0, len(pairs) - 1)
    elif lie == "array dictionary" and pairs:
        export.array.dictionary = P(ArrowArray)(pairs[0][1])
    elif lie == "extension":
        export.schema.metadata = metadata([(b"ARROW:extension:name", b"x")])
    elif lie == "length":
        export.array.length = fdp.ConsumeIntInRange(0, rows + 3)
    export.columns = columns
    return export, None


def batch_columns(export):
    """{name: float64 values} of the profiled columns of an accepted hand-built export, and
    whether a column with a bad name was accepted."""
    length, offset = export.array.length, export.array.offset
    profiled, bad = {}, False
    for name, values in export.columns:
        if values is None:
            bad = True
            continue
        profiled[(name or b"").decode()] = values[offset:offset + length]
    return profiled, bad


@atheris.instrument_func
def TestOneInput(data: bytes):
    fdp = atheris.FuzzedDataProvider(data)
    export, expected = (pyarrow_export if fdp.ConsumeBool() else hand_built_export)(fdp)
    acc = fresh_accumulator()
    check_update(acc, export, expected)
    assert export.released == 1, export.released


@atheris.instrument_func
def check_update(acc, export, expected):
    before = exact(acc.snapshot())
    try:
        acc.update(export)
    except (TypeError, ValueError) as error:
        assert getattr(error, "__notes__", None) == NOTE, error
        assert expected is None or not expected[3], ("refused a well-formed batch", error)
        assert exact(acc.snapshot()) == before
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise
        assert "Cannot convert nullable StructArray to RecordBatch" in str(error), error
        assert expected is None, error
        assert exact(acc.snapshot()) == before
    else:
        snapshot = acc.snapshot()
        if expected is not None:
            rows, profiled, skipped = expected[:3]
            assert expected[3], "accepted nulls in a non-nullable column"
            assert sorted(skipped | {"seed skipped"}) == snapshot["skipped_columns"]
        else:
            rows = export.array.length
            profiled, bad = batch_columns(export) if export.columns is not None else (None, False)
            assert not bad, "accepted a column name that is not UTF-8"
        assert snapshot["rows"] == 2 + rows
        if profiled is None:
            return
        assert sorted(profiled.keys() | {"seed"}) == list(snapshot["profiles"])
        for name, values in profiled.items():
            column = snapshot["profiles"][name]
            assert column["observations"] == rows == len(values)
            state = numeric_state_f64(values)
            assert exact(list(column.items())[:13]) == exact(list(state.items())[:13]), name


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
