"""Fuzzes the float64 intake: numeric_state_f64, numeric_profile_f64 and
NumericAccumulator.update_f64 over exporters of any shape, format, strides, length and address
(hand-built views whose fields need not agree, and NumPy arrays of any dtype and layout).

Besides crashes it checks that a call fails exactly when the view breaks a rule of the intake,
with BufferError (TypeError or OverflowError for a bad stream_id), that a failing update leaves
snapshot() unchanged, that every view is released once, and that the counts match the elements.
Run it as long as you like with scripts/fuzz.sh fuzz_float64_intake [libFuzzer options]."""

import math
import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import numpy as np  # noqa: E402

from exporters import NULL, BufferExporter  # noqa: E402
from helpers import exact  # noqa: E402
from tessary._native import NumericAccumulator, numeric_profile_f64, numeric_state_f64  # noqa: E402

SPECIALS = [math.nan, -math.nan, math.inf, -math.inf, 0.0, -0.0, 5e-324, -5e-324, 1e-300, 1e300,
            -1.7976931348623157e308, 1.7976931348623157e308, 1e-12, 1.0, -1.0, 0.5]
FORMATS = [b"d", b"<d", b"@d", b"=d", b">d", b"!d", None, b"B", b"f", b"q", b"", b"dd", b"<dd",
           b"xd", b"2d", b"@", b"D", b"e"]
ACCEPTED_FORMATS = {b"d", b"<d", b"@d", b"=d"}  # on a little-endian host
DTYPES = ["<f8", "<f8", "<f8", ">f8", "<f4", "<i8", "u1", "<c16"]
STREAM_IDS = [0, 1, 2**64 - 1, -1, 2**64, 1.5, None]


@atheris.instrument_func
def split_input(data):
    """(provider of the choices, float64 elements): the first byte gives the number of
    elements, whose bytes follow; the choices come from the rest."""
    count = data[0] % 41 if data else 0
    raw = data[1:1 + 8 * count]
    values = np.frombuffer(raw[: len(raw) // 8 * 8], "<f8").copy()
    fdp = atheris.FuzzedDataProvider(data[1 + 8 * count:])
    for _ in range(fdp.ConsumeIntInRange(0, 4) if len(values) else 0):
        values[fdp.ConsumeIntInRange(0, len(values) - 1)] = fdp.PickValueInList(SPECIALS)
    return fdp, values


@atheris.instrument_func
def c_contiguous(length, itemsize, ndim, shape, strides):
    """CPython's C-contiguity test of a view that has shape and strides."""
    if length == 0:
        return True
    step = itemsize
    for extent, stride in reversed(list(zip(shape[:ndim], strides[:ndim]))):
        if extent > 1 and stride != step:
            return False
        step *= extent
    return True


@atheris.instrument_func
def hand_built(fdp, values):
    """(exporter, elements it must yield or None when it must be refused)."""
    size = values.nbytes
    shift = fdp.PickValueInList([0, 0, 0, 0, 1, 4, 8])
    itemsize = fdp.PickValueInList([8, 8, 8, 8, 1, 4, 16, 0, -8])
    fmt = fdp.PickValueInList(FORMATS)
    ndim = fdp.PickValueInList([1, 1, 1, 1, 0, 2, 3, -1])
    length = fdp.PickValueInList(["all", "all", "all", "less", "zero", "negative"])
    length = {"all": max(size - shift, 0), "less": fdp.ConsumeIntInRange(0, max(size - shift, 0)),
              "zero": 0, "negative": -fdp.ConsumeIntInRange(1, 2**63 - 1)}[length]
    null = fdp.ConsumeProbability() > 0.92
    layout = fdp.PickValueInList(["natural", "natural", "natural", "random", "no shape",
                                  "no strides", "suboffsets"])
    dims = max(ndim, 1)
    shape = strides = suboffsets = None
    natural = [length // 8 if length > 0 else 0] + [1] * (dims - 1)
    if layout == "random":
        shape = [fdp.ConsumeIntInRange(-1, 6) for _ in range(dims)]
        strides = [fdp.PickValueInList([8, 8, -8, 0, 16, 4, 1]) for _ in range(dims)]
    elif layout != "no shape":
        shape = natural
        strides = None if layout == "no strides" else [8 * math.prod(natural[i + 1:]) for i in range(dims)]
        suboffsets = [-1] * dims if layout == "suboffsets" else None
    exporter = BufferExporter(values.tobytes(), padding=8, offset=shift, buf=NULL if null else
                              BufferExporter.DEFAULT, len=length, itemsize=itemsize, format=fmt,
                              ndim=ndim, shape=shape, strides=strides, suboffsets=suboffsets)
    accepted = (length >= 0 and shape is not None and strides is not None and itemsize == 8
                and fmt in ACCEPTED_FORMATS and (length == 0 or shift % 8 == 0) and ndim == 1
                and suboffsets is None and c_contiguous(length, itemsize, ndim, shape, strides)
                and not null)
    if not accepted:
        return exporter, None
    return exporter, np.frombuffer(values.tobytes() + bytes(8), "<f8", count=length // 8,
                                   offset=shift)


@atheris.instrument_func
def numpy_exporter(fdp, values):
    """(array, elements it must yield or None when it must be refused)."""
    raw = np.frombuffer(bytes(1) + values.tobytes() + bytes(16), np.uint8)
    shift = fdp.PickValueInList([1, 1, 1, 2, 5])  # 1: aligned copy below
    dtype = np.dtype(fdp.PickValueInList(DTYPES))
    count = (len(raw) - shift) // dtype.itemsize
    array = np.frombuffer(raw, dtype, count=count, offset=shift)
    if shift == 1:
        array = array.copy()
    step = fdp.PickValueInList([1, 1, 1, 2, -1, 3])
    array = array[fdp.ConsumeIntInRange(0, max(count - 1, 0)):][::step]
    array = array[: fdp.ConsumeIntInRange(0, len(array))]
    if fdp.ConsumeProbability() > 0.85:
        array = array.reshape(1, -1) if fdp.ConsumeBool() else array[:0].reshape(0, 0)
    accepted = (dtype.kind == "f" and dtype.itemsize == 8 and dtype.byteorder in "=<"
                and array.ndim == 1 and (array.size <= 1 or array.strides[0] == 8)
                and (array.nbytes == 0 or array.ctypes.data % 8 == 0))
    return array, (np.array(array) if accepted else None)


@atheris.instrument_func
def expect_counts(result, elements):
    nan, inf = np.isnan(elements), np.isinf(elements)
    assert (result["count"], result["missing"], result["infinite"]) == (
        int((~nan & ~inf).sum()), int(nan.sum()), int(inf.sum())), (result, elements)


@atheris.instrument_func
def TestOneInput(data: bytes):
    fdp, values = split_input(data)
    make = hand_built if fdp.ConsumeBool() else numpy_exporter
    exporter, elements = make(fdp, values)
    entry = fdp.ConsumeIntInRange(0, 2)
    stream_id = fdp.PickValueInList(STREAM_IDS) if fdp.ConsumeProbability() > 0.9 else 7
    bad_id = not isinstance(stream_id, int) or not 0 <= stream_id < 2**64
    acc = NumericAccumulator(3)
    acc.update_f64(np.array([1.5, math.nan, -2.0]))
    before = exact(acc.snapshot())
    try:
        if entry == 0:
            result = numeric_state_f64(exporter)
        elif entry == 1:
            result = numeric_profile_f64(exporter, stream_id)
        else:
            result = acc.update_f64(exporter)
    except (BufferError, TypeError, OverflowError) as error:
        if entry == 1 and bad_id:
            assert isinstance(error, (TypeError, OverflowError)), error
        else:
            assert isinstance(error, BufferError) and elements is None, error
        assert exact(acc.snapshot()) == before
    else:
        assert elements is not None and not (entry == 1 and bad_id), "accepted a bad view"
        if entry == 2:
            result = acc.snapshot()
            expect_counts(result, np.concatenate([[1.5, math.nan, -2.0], elements]))
            assert result["observations"] == 3 + len(elements)
        else:
            expect_counts(result, elements)
            assert result["observations"] == len(elements)
        if entry == 1:
            state = numeric_state_f64(np.array(elements))
            assert exact(list(result.items())[:13]) == exact(list(state.items())[:13])
    if isinstance(exporter, BufferExporter):
        assert exporter.released == exporter.acquired <= 1, (exporter.acquired, exporter.released)


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
