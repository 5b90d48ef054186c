"""numeric_state_f64 and the float64 buffer intake shared by the numeric entry points."""

import math
import struct
from array import array

import numpy as np
import pytest

from tessary._native import NumericAccumulator, numeric_profile_f64, numeric_state_f64

from exporters import NULL, BufferExporter
from helpers import exact, fails_unchanged


def test_empty_buffers_give_the_empty_state():
    expected = {"count": 0, "missing": 0, "infinite": 0, "mean": None, "m2": 0.0, "m3": 0.0,
                "m4": 0.0, "variance": None, "std": None, "skewness": None, "kurtosis": None,
                "minimum": None, "maximum": None, "backend": "rust", "observations": 0}
    # CPython exports an empty array('d') at a dummy, unaligned address.
    for empty in (array("d"), np.empty(0), memoryview(b"").cast("d")):
        assert exact(numeric_state_f64(empty)) == exact(expected)


def test_values_bit_for_bit():
    expected = {"count": 4, "missing": 0, "infinite": 0, "mean": 2.5, "m2": 5.0, "m3": 0.0,
                "m4": 10.25, "variance": 1.6666666666666667, "std": 1.2909944487358056,
                "skewness": 0.0, "kurtosis": -1.200000000000001, "minimum": 1.0, "maximum": 4.0,
                "backend": "rust", "observations": 4}
    assert exact(numeric_state_f64(array("d", [1.0, 2.0, 3.0, 4.0]))) == exact(expected)
    assert exact(numeric_state_f64(values=np.arange(1.0, 5.0))) == exact(expected)
    odd = numeric_state_f64(np.array([1.0, math.nan, math.inf, -math.inf, 3.0, 0.0, -0.0]))
    assert [odd[k] for k in ("count", "missing", "infinite", "observations")] == [4, 1, 2, 7]


INCOMPATIBLE = "buffer contents are not compatible with f64"
CONTIGUOUS = "Tessary native numeric kernels require a C-contiguous float64 buffer."


@pytest.mark.parametrize(("make", "error", "message"), [
    (lambda: np.zeros(3, dtype=np.float32), BufferError, INCOMPATIBLE),
    (lambda: np.zeros(3, dtype=np.int64), BufferError, INCOMPATIBLE),
    (lambda: b"12345678", BufferError, INCOMPATIBLE),
    (lambda: np.zeros(3, dtype=">f8"), BufferError, INCOMPATIBLE),
    (lambda: np.zeros(3, dtype=np.complex64), BufferError, INCOMPATIBLE),
    (lambda: np.zeros((2, 2)), BufferError, "Tessary native numeric kernels require a 1D float64 buffer."),
    (lambda: np.zeros(()), BufferError, "shape is null"),  # no shape array at all
    (lambda: np.arange(6.0)[::2], BufferError, CONTIGUOUS),
    (lambda: np.arange(6.0)[::-1], BufferError, CONTIGUOUS),
    (lambda: np.frombuffer(bytearray(33), dtype=np.float64, offset=1, count=4), BufferError,
     "buffer contents are insufficiently aligned for f64"),
    (lambda: BufferExporter(bytes(16), itemsize=8, format=b"d", len=-8, shape=None), BufferError,
     "buffer exporter reported a negative length"),
    (lambda: BufferExporter(bytes(16), itemsize=8, format=b"d", buf=NULL), BufferError,
     "Tessary could not borrow the supplied float64 buffer as a contiguous slice."),
    (lambda: [1.0, 2.0], TypeError, None),
    (lambda: None, TypeError, None),
])
def test_rejected_buffers_on_every_entry_point(make, error, message):
    made = []

    def values():
        made.append(make())
        return made[-1]

    for function in (numeric_state_f64, numeric_profile_f64):
        with pytest.raises(error) as info:
            function(values())
        assert message is None or str(info.value) == message
    acc = NumericAccumulator(3)
    acc.update_f64(np.array([1.0, math.nan, 2.0]))
    fails_unchanged(acc, lambda: acc.update_f64(values()), error, message)
    assert all(e.released == e.acquired == 1 for e in made if isinstance(e, BufferExporter))
    assert acc.observations == 3
    acc.update_f64(np.array([4.0]))
    assert exact(acc.snapshot()) == exact(numeric_profile_f64(np.array([1.0, math.nan, 2.0, 4.0]), 3))


def test_accepted_layouts():
    assert numeric_state_f64(np.arange(10.0)[3:5:2])["count"] == 1  # one element: no stride
    assert numeric_state_f64(memoryview(np.arange(4.0)).cast("B").cast("d"))["count"] == 4
    for fmt in ("<d", "=d"):
        assert numeric_state_f64(np.frombuffer(struct.pack("<4d", 1, 2, 3, 4), fmt))["mean"] == 2.5


def test_the_view_is_released_on_every_path():
    data = bytearray(16)
    with pytest.raises(BufferError, match=INCOMPATIBLE):
        numeric_state_f64(data)
    data.extend(b"x")  # would raise BufferError if an export were still held
    source = bytearray(struct.pack("2d", 1.0, 2.0))
    assert numeric_state_f64(memoryview(source).cast("d"))["count"] == 2
    source.extend(b"x")
