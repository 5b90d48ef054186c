"""Fuzzes ArrowBatchProfileAccumulator.update with hand-built C Data Interface structures of every
kind of column, which lie in any field but cover with their buffers what they claim (what
pyarrow exports is tested in tests/test_arrow_batches.py). Every export is released once; a
refusal carries the argument note; an accepted batch adds its rows and gives each numeric
column, bit for bit, the state of its values as float64 with nulls as NaN.
Run it as long as you like with scripts/fuzz.sh fuzz_arrow_import [libFuzzer options]."""

import atheris
import numpy as np
import pyarrow as pa
from common import attempt, exact, fuzz

from exporters import ARRAY_RELEASE, ArrowArray, CExport, P, node
from tessary._native import ArrowBatchProfileAccumulator, numeric_state_f64

NOTE = ["while processing 'batch'"]
NUMERIC = {b"c": "i1", b"C": "u1", b"s": "<i2", b"S": "<u2", b"i": "<i4", b"I": "<u4",
           b"l": "<i8", b"L": "<u8", b"f": "<f4", b"g": "<f8"}
# Other formats, valid or not, with their numbers of buffers and children.
OTHER = {f.encode(): (int(b), int(c)) for f, b, c in (t.rsplit(":", 2) for t in """n:0:0 b:2:0 e:2:0
    u:3:0 U:3:0 z:3:0 vu:3:0 tdD:2:0 tdm:2:0 tts:2:0 tsu:UTC:2:0 tDs:2:0 tiM:2:0 tin:2:0 d:5,2:2:0
    w:4:2:0 +l:2:1 +L:2:1 +w:2:1:1 +s:1:2 +ud:0,1:2:2 +us:0:1:1 +r:0:2 +m:2:1 :2:0 +:1:0 w::2:0
    d::2:0 tsx::2:0 xyz:2:0 +w:-1:1:1 d:40,2,512:2:0 ld:2:0""".split())}
NAMES = [b"a", b"b", b"a", b"\xc3\xa9", b"", None, b"B", b"ab"]
BAD_NAME = b"\xed\xa0\x80"  # a surrogate: not UTF-8
np.seterr(all="ignore")  # values that do not fit their narrower type become inf or NaN
SEED = pa.record_batch({"seed": [1.0, 2.5], "seed skipped": ["x", "y"]})


@atheris.instrument_func
def column_buffers(fdp, fmt, length):
    """(validity or None, data, offset, float64 values from the offset on, nulls as NaN, or None
    when `fmt` is not profiled): random buffers of a column that cover up to length + 3 rows."""
    offset, n, validity = fdp.ConsumeIntInRange(0, 3), 16 * length + 128, None
    if fdp.ConsumeBool():
        validity = (fdp.ConsumeBytes(n) if fdp.ConsumeBool() else b"\xff" * n).ljust(n, b"\0")
    data = fdp.ConsumeBytes(n if fdp.ConsumeProbability() > 0.2 else 0).ljust(n, b"\0")
    if fmt not in NUMERIC:
        return validity, data, offset, None
    values = np.frombuffer(data, NUMERIC[fmt])[offset:].astype(np.float64)
    if validity is not None:
        bits = np.unpackbits(np.frombuffer(validity, np.uint8), bitorder="little")
        values[bits[offset:offset + len(values)] == 0] = np.nan
    return validity, data, offset, values


@atheris.instrument_func
def hand_built_node(fdp, length, depth, columns):
    """A (schema, array) pair of any format, which may lie; appends (name, float64 values from
    its offset on or None when not profiled, whether it must be refused) to `columns`."""
    fmt = fdp.PickValueInList(list(NUMERIC) if fdp.ConsumeProbability() < 0.6 else list(OTHER))
    n_buffers, n_children = OTHER.get(fmt, (2, 0))
    validity, data, offset, values = column_buffers(fdp, fmt, length)
    buffers = ([validity, data] + [None] * 4)[:n_buffers]
    children = [hand_built_node(fdp, length + offset, depth + 1, [])
                for _ in range(n_children if depth < 2 else 0)]
    lie = fdp.PickValueInList(["none"] * 5 + ["fewer buffers", "more buffers", "length",
                                              "dictionary", "bad name", "no buffers", "released"])
    buffers = {"fewer buffers": buffers[:-1], "more buffers": buffers + [data],
               "no buffers": [None] * n_buffers}.get(lie, buffers)
    dictionary = hand_built_node(fdp, 3, 2, []) if lie == "dictionary" else None
    name = BAD_NAME if lie == "bad name" else fdp.PickValueInList(NAMES)
    pair = node(fmt, fdp.ConsumeIntInRange(0, length + 3) if lie == "length" else length, buffers,
                children, name=name, flags=fdp.PickValueInList([2, 2, 2, 0]), offset=offset,
                null_count=fdp.PickValueInList([0, 0, -1, 1, length]), dictionary=dictionary)
    if lie == "released":
        pair[1].release = ARRAY_RELEASE()
    values = values if dictionary is None else None
    refused = lie in ("bad name", "released") or lie == "fewer buffers" and n_buffers
    columns.append(((name or b"").decode(errors="replace"), values, refused))
    return pair


@atheris.instrument_func
def hand_built_export(fdp):
    """(export of a hand-built struct, verdict); its columns are cut to its rows when checked."""
    rows, columns = fdp.ConsumeIntInRange(0, 10), []
    pairs = [hand_built_node(fdp, rows, 0, columns) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    export = CExport.struct(pairs, fdp.ConsumeIntInRange(0, rows),
                            fdp.PickValueInList([None, None, b"\xff" * 8, b"\xfe\xff"]),
                            null_count=fdp.PickValueInList([0, -1, 1]),
                            offset=fdp.ConsumeIntInRange(0, 2))
    lie = fdp.PickValueInList(["none"] * 6 + ["format", "n_children", "array dictionary",
                                              "extension", "length"])
    if lie == "format":
        export.schema.format = fdp.PickValueInList([b"+l", b"i", b"+", b"+ss", b"u"])
    elif lie == "n_children" and pairs:
        export.array.n_children = fdp.ConsumeIntInRange(0, len(pairs) - 1)
    elif lie == "array dictionary" and pairs:
        export.array.dictionary = P(ArrowArray)(pairs[0][1])
    elif lie == "extension":
        export.schema.metadata = b"\1\0\0\0\x14\0\0\0ARROW:extension:name\1\0\0\0x"
    elif lie == "length":
        export.array.length = fdp.ConsumeIntInRange(0, rows + 3)
    export.columns = [(name, values) for name, values, _ in columns]
    refused = lie == "format" or lie == "n_children" and pairs or any(r for *_, r in columns)
    return export, "bad" if refused else "any"


@atheris.instrument_func
def TestOneInput(data: bytes):
    fdp = atheris.FuzzedDataProvider(data)
    export, verdict = hand_built_export(fdp)
    acc = ArrowBatchProfileAccumulator()
    acc.update(SEED)
    accepted, error = attempt(acc, lambda: acc.update(export), BaseException, verdict)
    if not accepted and isinstance(error, (TypeError, ValueError)):
        assert getattr(error, "__notes__", None) == NOTE, error
    elif not accepted:  # the internal error of a struct with top-level nulls
        assert "Cannot convert nullable StructArray to RecordBatch" in str(error), error
    else:
        snapshot, rows, offset = acc.snapshot(), export.array.length, export.array.offset
        profiled = {n: v[offset:offset + rows] for n, v in export.columns if v is not None}
        assert snapshot["rows"] == 2 + rows
        assert sorted(profiled.keys() | {"seed"}) == list(snapshot["profiles"])
        assert sorted({n for n, v in export.columns if v is None} | {"seed skipped"}) == \
            snapshot["skipped_columns"]
        for name, values in profiled.items():  # observations included: len(values) must be rows
            state = list(numeric_state_f64(values).items())
            assert exact(list(snapshot["profiles"][name].items())[:len(state)]) == exact(state), name
    assert export.released == 1, export.released


if __name__ == "__main__":
    fuzz(TestOneInput)
