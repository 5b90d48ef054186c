"""numeric_state_f64: float64 buffer intake and the exact-state dictionary."""

import math
import struct
import sys
from array import array

import numpy as np
import pytest

from tessary._native import numeric_state_f64

EXACT_KEYS = ["count", "missing", "infinite", "mean", "m2", "m3", "m4", "variance", "std",
              "skewness", "kurtosis", "minimum", "maximum"]


def bits(x):
    return struct.pack("<d", x)


def test_empty_buffers_give_the_empty_state():
    expected = {"count": 0, "missing": 0, "infinite": 0, "mean": None, "m2": 0.0, "m3": 0.0,
                "m4": 0.0, "variance": None, "std": None, "skewness": None, "kurtosis": None,
                "minimum": None, "maximum": None, "backend": "rust", "observations": 0}
    # CPython exports an empty array('d') at a dummy, unaligned address.
    for empty in (array("d"), np.empty(0), memoryview(b"").cast("d")):
        result = numeric_state_f64(empty)
        assert list(result) == list(expected)
        assert result == expected


def test_check_values_bit_for_bit():
    result = numeric_state_f64(array("d", [1.0, 2.0, 3.0, 4.0]))
    assert list(result) == EXACT_KEYS + ["backend", "observations"]
    expected = {"count": 4, "missing": 0, "infinite": 0, "mean": 2.5, "m2": 5.0, "m3": 0.0,
                "m4": 10.25, "variance": 1.6666666666666667, "std": 1.2909944487358056,
                "skewness": 0.0, "kurtosis": -1.200000000000001, "minimum": 1.0, "maximum": 4.0,
                "backend": "rust", "observations": 4}
    assert result == expected
    for key in ("mean", "m2", "m4", "variance", "std", "kurtosis"):
        assert bits(result[key]) == bits(expected[key])
    outlier = numeric_state_f64(np.array([1.0, 2.0, 3.0, 4.0, 10.0]))
    assert (outlier["m3"], outlier["m4"]) == (180.0, 1394.0)
    assert outlier["skewness"] == 1.6970562748477138
    assert outlier["kurtosis"] == 3.1519999999999992


def test_missing_and_infinite_values():
    result = numeric_state_f64(np.array([1.0, math.nan, math.inf, -math.inf, 3.0]))
    assert (result["count"], result["missing"], result["infinite"]) == (2, 1, 2)
    assert (result["mean"], result["m2"], result["minimum"], result["maximum"]) == (2.0, 2.0, 1.0, 3.0)
    assert result["observations"] == 5


def test_signed_zero_extremes():
    result = numeric_state_f64(np.array([0.0, -0.0]))
    assert bits(result["minimum"]) == bits(-0.0)
    assert bits(result["maximum"]) == bits(0.0)


def test_matches_a_python_model_of_the_recurrence():
    rng = np.random.default_rng(7)
    values = rng.normal(5.0, 3.0, 500)
    count, mean, m2, m3, m4 = 0, 0.0, 0.0, 0.0, 0.0
    for x in values.tolist():
        p = float(count)
        count += 1
        n = float(count)
        delta = x - mean
        dn = delta / n
        dn2 = dn * dn
        term1 = (delta * dn) * p
        m4 = m4 + ((((dn2 * 6) * m2) + ((((n * n) - (n * 3)) + 3) * (dn2 * term1))) + ((dn * -4) * m3))
        m3 = m3 + (((n - 2) * (dn * term1)) - ((dn * 3) * m2))
        m2 = m2 + term1
        mean = mean + dn
    result = numeric_state_f64(values)
    assert [bits(result[k]) for k in ("mean", "m2", "m3", "m4")] == [bits(v) for v in (mean, m2, m3, m4)]


INCOMPATIBLE = "buffer contents are not compatible with f64"


@pytest.mark.parametrize(
    ("make", "error", "message"),
    [
        (lambda: np.zeros(3, dtype=np.float32), BufferError, INCOMPATIBLE),
        (lambda: np.zeros(3, dtype=np.int64), BufferError, INCOMPATIBLE),
        (lambda: b"12345678", BufferError, INCOMPATIBLE),
        (lambda: np.zeros(3, dtype=">f8"), BufferError, INCOMPATIBLE),
        (lambda: np.zeros(3, dtype=np.complex64), BufferError, INCOMPATIBLE),
        (lambda: np.zeros((2, 2)), BufferError,
         "Tessary native numeric kernels require a 1D float64 buffer."),
        # A zero-dimensional export has no shape array at all.
        (lambda: np.zeros(()), BufferError, "shape is null"),
        (lambda: np.arange(6.0)[::2], BufferError,
         "Tessary native numeric kernels require a C-contiguous float64 buffer."),
        (lambda: np.arange(6.0)[::-1], BufferError,
         "Tessary native numeric kernels require a C-contiguous float64 buffer."),
        (lambda: np.frombuffer(bytearray(33), dtype=np.float64, offset=1, count=4), BufferError,
         "buffer contents are insufficiently aligned for f64"),
        (lambda: [1.0, 2.0], TypeError, None),
        (lambda: None, TypeError, None),
    ],
)
def test_rejected_buffers(make, error, message):
    with pytest.raises(error) as info:
        numeric_state_f64(make())
    if message is not None:
        assert str(info.value) == message


def test_accepted_layouts():
    data = np.arange(10.0)
    assert numeric_state_f64(data[3:5:2])["count"] == 1  # one element: no stride to speak of
    little = np.arange(4.0).astype("<f8")
    assert numeric_state_f64(memoryview(little).cast("B").cast("d"))["count"] == 4
    for fmt in ("<d", "=d", "@d"):
        view = memoryview(struct.pack(f"{fmt[0]}4d", 1.0, 2.0, 3.0, 4.0)).cast("B")
        # memoryview.cast only takes native formats; go through numpy for prefixed ones.
        arr = np.frombuffer(view, dtype=np.dtype(fmt.replace("@", "=")))
        assert numeric_state_f64(arr)["mean"] == 2.5


def test_big_endian_format_is_rejected_on_little_endian_hosts():
    if sys.byteorder != "little":
        pytest.skip("little-endian host only")
    with pytest.raises(BufferError, match="not compatible with f64"):
        numeric_state_f64(np.zeros(2, dtype=">f8"))


def test_the_view_is_released_on_every_path():
    data = bytearray(16)
    with pytest.raises(BufferError, match=INCOMPATIBLE):
        numeric_state_f64(data)
    data.extend(b"x")  # would raise BufferError if an export were still held
    source = bytearray(struct.pack("2d", 1.0, 2.0))
    assert numeric_state_f64(memoryview(source).cast("d"))["count"] == 2
    source.extend(b"x")
