"""numeric_state_f64 and the float64 buffer intake shared by the numeric entry points. That all of
them refuse the same views, leave the state as it was, release every view once and count finite, NaN
and infinite elements as NumPy does is checked by tests/fuzz/fuzz_float64_intake.py."""

from array import array

import numpy as np
import pytest

from tessary._native import numeric_state_f64

from exporters import NULL, BufferExporter
from helpers import exact


def test_values_bit_for_bit():
    expected = {"count": 4, "missing": 0, "infinite": 0, "mean": 2.5, "m2": 5.0, "m3": 0.0,
                "m4": 10.25, "variance": 1.6666666666666667, "std": 1.2909944487358056,
                "skewness": 0.0, "kurtosis": -1.200000000000001, "minimum": 1.0, "maximum": 4.0,
                "backend": "rust", "observations": 4}
    assert exact(numeric_state_f64(array("d", [1.0, 2.0, 3.0, 4.0]))) == exact(expected)
    for fmt in (b"<d", b"=d", b"@d"):  # native byte order however it is written
        values = BufferExporter(np.arange(1.0, 5.0).tobytes(), itemsize=8, format=fmt)
        assert exact(numeric_state_f64(values=values)) == exact(expected)
    empty = dict(expected, count=0, mean=None, m2=0.0, m4=0.0, variance=None, std=None,
                 skewness=None, kurtosis=None, minimum=None, maximum=None, observations=0)
    # CPython exports an empty array('d') at a dummy, unaligned address.
    for values in (array("d"), np.empty(0), memoryview(b"").cast("d")):
        assert exact(numeric_state_f64(values)) == exact(empty)


@pytest.mark.parametrize(("values", "message"), [
    (b"12345678", "buffer contents are not compatible with f64"),
    (np.zeros((2, 2)), "Tessary native numeric kernels require a 1D float64 buffer."),
    (np.zeros(()), "shape is null"),
    (np.arange(6.0)[::-2], "Tessary native numeric kernels require a C-contiguous float64 buffer."),
    (np.frombuffer(bytearray(33), np.float64, 4, offset=1),
     "buffer contents are insufficiently aligned for f64"),
    (BufferExporter(bytes(16), itemsize=8, format=b"d", len=-8, shape=None),
     "buffer exporter reported a negative length"),
    (BufferExporter(bytes(16), itemsize=8, format=b"d", buf=NULL),
     "Tessary could not borrow the supplied float64 buffer as a contiguous slice."),
    ([1.0, 2.0], None),  # the interpreter's TypeError
    # Only native-order doubles are taken.
    *[(BufferExporter(bytes(16), itemsize=8, format=fmt), "buffer contents are not compatible with f64")
      for fmt in (b">d", b"!d", b"f", b"q", b"Q", b"dd", b"e")],
])
def test_rejected_buffers(values, message):
    with pytest.raises(BufferError if message else TypeError) as info:
        numeric_state_f64(values)
    assert message is None or str(info.value) == message

