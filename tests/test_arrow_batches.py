"""ArrowBatchProfileAccumulator and the import of Arrow record batches. The conversion of each
numeric type is shared with NumericAccumulator.update_arrow and tested there."""

import gc
import math
import struct

import nanoarrow as na
import numpy as np
import pyarrow as pa
import pytest

from tessary._native import ArrowBatchProfileAccumulator, numeric_profile_f64, numeric_state_f64

from exporters import SCHEMA_RELEASE, ArrowArray, ArrowSchema, CExport, P, node
from helpers import exact, fails_unchanged

POLICY = "moments_and_log_quantiles"
NOTE = ["while processing 'batch'"]
NULLS = "Cannot convert nullable StructArray to RecordBatch: found {} top-level nulls, expected 0"


def snapshot_of(*batches):
    acc = ArrowBatchProfileAccumulator()
    for batch in batches:
        acc.update(batch)
    return acc.snapshot()


def expected_column(values):
    """The column entry for `values` (None is null): the float64 profile of the same values."""
    floats = np.array([math.nan if v is None else float(v) for v in values])
    return dict(numeric_state_f64(floats), sketch_policy=POLICY,
                quantiles=numeric_profile_f64(floats)["quantiles"])


def seeded():
    acc = ArrowBatchProfileAccumulator()
    acc.update(pa.record_batch({"seed": [1.0, 2.0], "s": ["a", "b"]}))
    return acc


# Which types are skipped is fuzzed by tests/fuzz/fuzz_arrow_import.py.
def test_name_order_duplicates_and_skipped_columns():
    named = [("z", [1], pa.int8()), ("a", [2], pa.int8()), ("m", [3], pa.int8()),
             ("b", ["s"], None), ("B", ["s"], None), ("a", ["s"], None), ("ab", ["s"], None),
             ("é", [4], pa.int8()), ("日本", [5], pa.int8()), ("Z", [6], pa.int8()),
             ("d", [7], pa.int32()), ("d", [2.5], pa.float64()), ("s", ["s"], None), ("s", ["t"], None)]
    snapshot = snapshot_of(pa.RecordBatch.from_arrays([pa.array(v, t) for _, v, t in named],
                                                      [n for n, _, _ in named]))
    assert list(snapshot["profiles"]) == ["Z", "a", "d", "m", "z", "é", "日本"] and snapshot["rows"] == 1
    assert snapshot["skipped_columns"] == ["B", "a", "ab", "b", "s"]
    assert exact(snapshot["profiles"]["d"]) == exact(expected_column([2.5]))


def plain(values):
    doubled = [None if v is None else int(2 * v) for v in values]
    return pa.record_batch({"x": pa.array(values), "y": pa.array(doubled, pa.int16())})


VISIBLE = [1.0, None, 3.0, 9.0, 4.0, 9.0, 1.0, None, 3.0]
LONGER = [9.0, 1.0, None, 3.0, 9.0, 4.0] * 3  # rows 7 to 15 are VISIBLE


@pytest.mark.parametrize("make", [
    lambda: plain(LONGER).slice(7, 9),
    lambda: pa.StructArray.from_arrays(plain(LONGER).columns, names=["x", "y"]).slice(7, 9),
    lambda: na.c_array_from_buffers(na.struct({"x": na.float64(), "y": na.int16()}), 9, [None],
                                    children=plain(VISIBLE).columns),
    lambda: pa.record_batch(plain(VISIBLE).columns, schema=pa.schema(
        [pa.field("x", pa.float64(), metadata={"k": "v"}), pa.field("y", pa.int16())],
        metadata={"s": "t"})),
], ids=["sliced batch", "sliced struct array", "nanoarrow", "metadata"])
def test_producers_slices_and_metadata_profile_the_visible_rows(make):
    assert exact(snapshot_of(make())) == exact(snapshot_of(plain(VISIBLE)))


def test_columns_read_side_by_side_match_their_own_profiles():
    """Columns are read in pairs, a block of rows at a time. Several blocks; nulls, NaN and infinities
    in some columns only, so that one column of a pair runs out of values first; an odd offset; zeros
    of both signs as the lowest and the highest value, each sign seen first in one of them."""
    rng = np.random.default_rng(11)
    floats, zeros = rng.standard_normal(5000), rng.random(5000)
    floats[::7], floats[3::501], zeros[::3], zeros[3001::3] = np.nan, -np.inf, 0.0, -0.0
    batch = pa.record_batch({
        "f64": floats, "f32": pa.array(floats.astype(np.float32), mask=rng.random(5000) < 0.3),
        "i64": rng.integers(-2**62, 2**62, 5000), "u8": pa.array(rng.integers(0, 255, 5000, np.uint8),
                                                                 mask=rng.random(5000) < 0.9),
        "clean": rng.standard_normal(5000), "zeros": zeros, "negated": -zeros}).slice(13)
    profiles = snapshot_of(batch)["profiles"]
    for name, column in zip(batch.schema.names, batch.columns):
        assert exact(profiles[name]) == exact(expected_column(column.to_pylist())), name


def test_zero_rows_merging_and_reset():
    empty = snapshot_of(pa.record_batch({"x": pa.array([], pa.int64())}))
    assert empty["rows"] == 0 and exact(empty["profiles"]["x"]) == exact(expected_column([]))
    acc = seeded()
    acc.update(batch=pa.record_batch({"seed": pa.array([3.0, None]), "s": pa.array([1, 2], pa.int64())}))
    assert acc.rows == acc.snapshot()["rows"] == 4 and acc.snapshot()["skipped_columns"] == ["s"]
    assert exact(acc.snapshot()["profiles"]) == exact({"s": expected_column([1, 2]),
                                                       "seed": expected_column([1.0, 2.0, 3.0, None])})
    assert acc.reset() is None and acc.rows == 0
    assert acc.snapshot() == ArrowBatchProfileAccumulator().snapshot() == {
        "backend": "rust", "rows": 0, "sketch_policy": POLICY, "profiles": {}, "skipped_columns": []}


class Producer:
    """__arrow_c_array__ returns `result`, or raises it when it is an exception."""

    def __init__(self, result):
        self.result = result

    def __arrow_c_array__(self, requested_schema=None):
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


class LookupFails(Producer):
    """Looking __arrow_c_array__ up raises `result`."""

    __arrow_c_array__ = property(Producer.__arrow_c_array__)


DUNDER = "Expected an object with dunder __arrow_c_array__"


@pytest.mark.parametrize("make, error, message", [
    (lambda s, a: None, ValueError, DUNDER), (lambda s, a: [s, a], ValueError, DUNDER),
    (lambda s, a: LookupFails(type("Missing", (AttributeError,), {})()), ValueError, DUNDER),
    (lambda s, a: LookupFails(KeyError("lookup")), KeyError, "'lookup'"),
    (lambda s, a: Producer(KeyError("export")), KeyError, "'export'"),
    (lambda s, a: Producer([s, a]), TypeError, "Expected __arrow_c_array__ to return a tuple."),
    (lambda s, a: Producer((s, 5)), TypeError, "'int' object is not an instance of 'PyCapsule'"),
    (lambda s, a: Producer((None, a)), TypeError, "'None' is not an instance of 'PyCapsule'"),
    (lambda s, a: Producer((s,)), IndexError, "tuple index out of range"),
    (lambda s, a: Producer((a, s)), ValueError, "PyCapsule_GetPointer called with incorrect name"),
    (lambda s, a: pa.array([[1.5]]), ValueError, "Unexpected data type list<item: double>"),
])
def test_failed_conversions_carry_the_note_and_change_nothing(make, error, message):
    acc, batch = seeded(), make(*pa.record_batch({"x": [1.0]}).__arrow_c_array__())
    fails_unchanged(acc, lambda: acc.update(batch), error, message, NOTE)


def test_producer_cannot_reenter_the_accumulator():
    acc, batch, errors = ArrowBatchProfileAccumulator(), pa.record_batch({"x": [1.0]}), []

    class Reentrant:
        def __arrow_c_array__(self, requested_schema=None):
            for call in (acc.snapshot, lambda: acc.rows, lambda: acc.update(batch), acc.reset):
                with pytest.raises(RuntimeError) as info:
                    call()
                errors.append(str(info.value))
            return batch.__arrow_c_array__()

    acc.update(Reentrant())
    assert errors == ["Already mutably borrowed"] * 2 + ["Already borrowed"] * 2
    assert acc.rows == 1


# Hand-built C Data Interface structures, for what no library exports.
def int64s(values, validity=None, **kw):
    return node(b"l", len(values), [validity, struct.pack(f"<{len(values)}q", *values)], **kw)


def broken(change, *columns, length=1, **struct_fields):
    return CExport.struct(list(columns) or [int64s([1])], length, change=change, **struct_fields)


# Accepted batches give the profiles of their visible rows; the internal error, whose text alone
# is promised, comes without the argument note; TypeError: malformed. Other lies that
# tests/fuzz/fuzz_arrow_import.py tells (released children, bad names, fewer buffers or
# children) are checked there.
@pytest.mark.parametrize("make, outcome", [
    (lambda: CExport.struct([int64s([1, 2, 3])], 3, b"\x07", null_count=-1), {"x": [1, 2, 3]}),
    (lambda: CExport.struct([int64s([5, 1, 2, 9], b"\x0e", null_count=1, flags=0)], 2, offset=1),
     {"x": [1, 2]}),
    # A non-nullable column with an offset of its own: no nulls in the batch's slots.
    (lambda: CExport.struct([node(b"l", 4, [b"\x18", struct.pack("<5q", 0, 5, 1, 2, 9)], offset=1,
                                  null_count=2, flags=0)], 2, offset=2), {"x": [2, 9]}),
    (lambda: CExport.struct([], 5), {}),
    (lambda: CExport.struct([int64s([4], name=None)], 1), {"": [4]}),
    (lambda: broken(None, int64s([1, 2]), length=2, validity=b"\x01", null_count=1), NULLS.format(1)),
    (lambda: broken(None, int64s([1, 2, 3]), length=3, validity=b"\x02", null_count=-1), NULLS.format(2)),
    # Not a record batch: a column too short for the struct's offset, nulls (given or counted)
    # in a non-nullable column.
    (lambda: broken(None, int64s([1, 2, 3]), length=3, offset=1), ValueError),
    (lambda: broken(None, int64s([1, 2, 3], b"\x05", null_count=1, flags=0), length=3), ValueError),
    (lambda: broken(None, int64s([1, 2, 3], b"\x01", null_count=-1, flags=0), length=3), ValueError),
    (lambda: broken(lambda e: setattr(e.array.children[0].contents, "buffers", None)), TypeError),
    (lambda: broken(None, node(b"l", 3, [None, None]), length=3), TypeError),
    (lambda: broken(lambda e: setattr(e.array, "children", None)), TypeError),
    (lambda: broken(lambda e: e.array.children.__setitem__(0, P(ArrowArray)())), TypeError),
    (lambda: broken(lambda e: e.schema.children.__setitem__(0, P(ArrowSchema)())), TypeError),
    (lambda: broken(lambda e: setattr(e.schema.children[0].contents, "format", None)), TypeError),
    (lambda: broken(lambda e: setattr(e.schema, "release", SCHEMA_RELEASE())), TypeError),
])
def test_hand_built_batches_are_released_once(make, outcome):
    acc, export = seeded(), make()
    schema_release, rows = bool(export.schema.release), export.array.length
    if isinstance(outcome, dict):
        snapshot = snapshot_of(export)
        assert snapshot["rows"] == rows
        assert exact(snapshot["profiles"]) == exact({n: expected_column(v) for n, v in outcome.items()})
    elif isinstance(outcome, type):
        raised = fails_unchanged(acc, lambda: acc.update(export), outcome)
        assert type(raised) is outcome and raised.__notes__ == NOTE
    else:
        raised = fails_unchanged(acc, lambda: acc.update(export), BaseException, outcome)
        assert type(raised).__name__ == "PanicException" and not isinstance(raised, Exception)
        assert not hasattr(raised, "__notes__")
    assert export.released == 1
    gc.collect()
    assert export.released == 1 and bool(export.schema.release) == schema_release


def test_a_consumed_capsule_is_refused():
    export = CExport.struct([int64s([1, 2])], 2)
    capsules = export.__arrow_c_array__()
    acc = ArrowBatchProfileAccumulator()
    acc.update(Producer(capsules))
    fails_unchanged(acc, lambda: acc.update(Producer(capsules)), TypeError, notes=NOTE)
    del capsules
    gc.collect()
    assert export.released == 1 and acc.rows == 2
