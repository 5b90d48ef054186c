"""NumericAccumulator.update_arrow: numeric Arrow arrays read in place."""

import math

import numpy as np
import pyarrow as pa
import pytest

from tessary._native import NumericAccumulator

from helpers import exact, fails_unchanged

TYPES = [pa.int8(), pa.int16(), pa.int32(), pa.int64(), pa.uint8(), pa.uint16(), pa.uint32(),
         pa.uint64(), pa.float32(), pa.float64()]
NOTE = ["while processing 'array'"]


@pytest.mark.parametrize("nulls", [False, True], ids=["dense", "nulls"])
@pytest.mark.parametrize("arrow_type", TYPES, ids=str)
def test_equals_update_f64_on_the_converted_values_however_split(arrow_type, nulls):
    # 600 values with the type's extremes (and NaN and infinities for floats), nulls on a
    # pattern and on a run across 64-slot words; sliced so that it starts at offset 5.
    dtype, rng = np.dtype(arrow_type.to_pandas_dtype()), np.random.default_rng(7)
    if dtype.kind == "f":
        values = (rng.standard_normal(600) * 1e3).astype(dtype)
        values[[1, 2, 3]] = [math.nan, math.inf, -math.inf]
    else:
        info = np.iinfo(dtype)
        values = rng.integers(info.min, info.max, 600, dtype=dtype, endpoint=True)
        values[[1, 2, 3]] = [info.min, info.max, (2**53 + 1) % (int(info.max) + 1)]
    mask = ((np.arange(600) % 7 == 3) | ((np.arange(600) >= 100) & (np.arange(600) < 180))) & nulls
    array = pa.array(values, arrow_type, mask=mask if nulls else None).slice(5, 590)
    expected, acc = NumericAccumulator(9), NumericAccumulator(9)
    expected.update_f64(np.where(mask, math.nan, values.astype(np.float64))[5:595])
    cuts = [0, 0, 1, 64, 200, 590]
    for start, stop in zip(cuts, cuts[1:]):
        assert acc.update_arrow(array.slice(start, stop - start)) is None
    assert acc.observations == 590 and exact(acc.snapshot()) == exact(expected.snapshot())


# What is not an Arrow array at all is refused as by ArrowBatchProfileAccumulator.update, through
# the same import.
@pytest.mark.parametrize("make, message", [
    (lambda: pa.array(["x"]), "not string"),
    (lambda: pa.array([1], pa.timestamp("s")), "not timestamp('s', '')"),
    (lambda: pa.record_batch({"x": [1.0]}), "not struct<x: double>"),
])
def test_refused_arrays_carry_the_note_and_change_nothing(make, message):
    acc = NumericAccumulator()
    acc.update_arrow(pa.array([1.5, None]))
    fails_unchanged(acc, lambda: acc.update_arrow(make()), TypeError, notes=NOTE, message=(
        "NumericAccumulator.update_arrow() takes an Arrow array of a numeric type (int8 to int64, "
        f"uint8 to uint64, float32 or float64), {message}; tessary.profile() profiles columns of every type"))


@pytest.mark.parametrize("arrays, message", [
    ([pa.array([2.0]), pa.array(["x"])], "or float64), not string;"),
    ([pa.array([2.0])], "got 2 accumulators and 1 arrays; pass one array per accumulator"),
    (None, "the same NumericAccumulator appears twice"),
])
def test_update_arrow_columns_changes_all_or_none(arrays, message):
    first, second = NumericAccumulator(), NumericAccumulator()
    first.update_arrow(pa.array([1.5]))
    accs = [first, first] if arrays is None else [first, second]
    error = fails_unchanged(first, lambda: NumericAccumulator.update_arrow_columns(
        accs, arrays or [pa.array([2.0])] * 2), (TypeError, ValueError))
    assert message in str(error) and second.observations == 0
