"""StringAccumulator: the UTF-8 kernels over Arrow string buffers and the string snapshot."""

import ctypes
from array import array

import numpy as np
import pyarrow as pa
import pytest

from tessary._native import StringAccumulator

from exporters import NULL, BufferExporter
from helpers import exact, fails_unchanged

EMPTY = {"backend": "rust", "count": 0, "missing": 0, "observations": 0, "cardinality_estimate": 0,
         "heavy_hitters": [], "cardinality_method": "hyperloglog",
         "heavy_hitter_method": "misra_gries_candidates", "heavy_hitter_count_semantics": "lower_bound",
         "max_retained_label_bytes": 256}
ABC = [0, 1, 2, 3]
I32, I64 = np.array(ABC, np.int32), np.array(ABC, np.int64)


def kernel(acc, large):
    return acc.update_large_utf8 if large else acc.update_utf8


def snapshot_of(strings, missing=0):
    """The snapshot of `strings` as present rows plus `missing` null rows."""
    acc = StringAccumulator()
    acc.update_utf8(b"".join(strings), np.cumsum([0] + [len(s) for s in strings], dtype=np.int32),
                    len(strings))
    return acc.snapshot() | {"missing": missing, "observations": len(strings) + missing}


def test_new_instance_keyword_call_and_reset():
    acc = StringAccumulator()
    assert exact(acc.snapshot()) == exact(EMPTY) and acc.observations == 0
    assert acc.update_utf8(offsets=array("i", ABC), length=3, data=b"abc", array_offset=0,
                           validity=b"\x05") is None
    assert acc.observations == 3 and acc.snapshot()["heavy_hitters"] == [("a", 1), ("c", 1)]
    assert acc.reset() is None
    assert exact(acc.snapshot()) == exact(EMPTY) and acc.observations == 0


@pytest.mark.parametrize("large", [False, True])
@pytest.mark.parametrize(("data", "offsets", "length", "validity", "array_offset", "present", "missing"), [
    (b"abc", ABC, 3, b"\x05", 0, [b"a", b"c"], 1),
    # Rows use offsets[1..3] and bitmap bits 1 and 2.
    (b"abc", ABC, 2, None, 1, [b"b", b"c"], 0), (b"abc", ABC, 2, b"\x02", 1, [b"b"], 1),
    (b"abcdefghij", range(11), 3, b"\xff\x05", 7, [b"h", b"i"], 1),
    # Rows beyond the bitmap are missing; an empty bitmap makes all rows missing.
    (b"abcdefghijkl", list(range(13)), 12, b"\xff", 0, [bytes([c]) for c in b"abcdefgh"], 4),
    (b"abc", ABC, 3, b"", 0, [], 3),
    # The offsets of null rows are neither read nor checked.
    (b"abc", [0, 1, 99, -1, 2, 3], 5, b"\x11", 0, [b"a", b"c"], 3),
    # The first offset need not be 0, extra offsets and bytes are ignored.
    (b"xxabcyy", [2, 3, 4, 5, -9, 100], 3, None, 0, [b"a", b"b", b"c"], 0),
    (b"", [0, 0, 0], 2, None, 0, [b"", b""], 0), (b"abc", [0], 0, None, 0, [], 0),
])
def test_rows_bitmaps_and_array_offset(large, data, offsets, length, validity, array_offset,
                                       present, missing):
    acc = StringAccumulator()
    kernel(acc, large)(data, np.array(offsets, np.int64 if large else np.int32), length, validity,
                       array_offset)
    result = acc.snapshot()
    counts = sorted({s.decode(): present.count(s) for s in present}.items(), key=lambda kv: (-kv[1], kv[0]))
    assert (result["count"], result["missing"], result["cardinality_estimate"], result["heavy_hitters"]) == \
        (len(present), missing, len(set(present)), counts)
    assert exact(result) == exact(snapshot_of(present, missing))


def test_labels_keep_256_bytes_while_the_hash_covers_all():
    strings = [b"a" * 256 + b"x", b"a" * 256 + b"y", b"a" * 256 + b"y", "é".encode() * 150,
               "€".encode() * 100, b"b" * 300]
    assert snapshot_of(strings)["heavy_hitters"] == [
        ("a" * 256, 2), ("a" * 256, 1), ("b" * 256, 1), ("é" * 128, 1), ("€" * 85 + "\ufffd", 1)]


def ctypes_bytes(ctype, raw):
    """A ctypes array: it exports formats such as "<i", and no strides."""
    raw = bytes(raw)
    return (ctype * (len(raw) // ctypes.sizeof(ctype))).from_buffer_copy(raw)


def unaligned(dtype, values):
    """A NumPy view one byte off an aligned address; NumPy exports it as "=i" or "=q"."""
    raw = np.zeros(len(values) * np.dtype(dtype).itemsize + 16, np.uint8)
    start = (-raw.ctypes.data) % 16 + 1
    view = raw[start:start + len(values) * np.dtype(dtype).itemsize].view(dtype)
    view[:] = values
    return view


# memoryview() of a ctypes array adds the strides the array itself does not export.
@pytest.mark.parametrize(("large", "data", "offsets", "validity"), [
    (False, memoryview(b"abc").cast("c"), array("i", ABC), None),
    (False, memoryview(b"abc").cast("@B"), memoryview(ctypes_bytes(ctypes.c_int32, I32)), b"\x07"),
    (False, memoryview(ctypes_bytes(ctypes.c_uint8, b"abc")), I32.reshape(2, 2),
     memoryview(ctypes_bytes(ctypes.c_char, b"\x07"))),
    (False, memoryview(ctypes_bytes(ctypes.c_char, b"abc")),
     memoryview(array("i", ABC)).cast("B").cast("@i"), bytearray(b"\xff\xff")),
    (True, array("B", b"abc"), array("l", ABC), memoryview(b"\x07").cast("c")),
    (True, b"abc", memoryview(array("q", ABC)).cast("B").cast("n"), None),
    (True, b"abc", memoryview(ctypes_bytes(ctypes.c_longlong, I64)), None),
    (True, b"abc", np.array(ABC, np.longlong).reshape(1, 4, 1), None),
])
def test_accepted_buffers(large, data, offsets, validity):
    acc = StringAccumulator()
    kernel(acc, large)(data, offsets, 3, validity)
    assert exact(acc.snapshot()) == exact(snapshot_of([b"a", b"b", b"c"]))


BAD_FORMAT_VALIDITY = pa.py_buffer(b"\x07")  # format "b"
STRIDED_VALIDITY = np.frombuffer(b"\x07\x00\x00\x00", np.uint8)[::2]
STRIDED_DATA = np.frombuffer(b"aabbcc", np.uint8)[::2]
MESSAGES = {
    "u8": "buffer contents are not compatible with u8",
    "i32": "buffer contents are not compatible with i32",
    "i64": "buffer contents are not compatible with i64",
    "aligned i32": "buffer contents are insufficiently aligned for i32",
    "aligned i64": "buffer contents are insufficiently aligned for i64",
    "strides": "strides is null",
    "negative": "buffer exporter reported a negative length",
    "null data": "Could not borrow Arrow UTF8 data as a byte slice.",
    "null offsets": "Could not borrow Arrow UTF8 offsets as a typed slice.",
    "null validity": "Could not borrow Arrow validity bitmap as a byte slice.",
    "contiguous": "Tessary string kernels require contiguous Arrow data/offset buffers.",
    "bitmap": "Tessary string kernels require a contiguous validity bitmap.",
    "overflow": "Arrow string offset range overflowed.",
    "shorter": "Arrow string offsets are shorter than the requested array range.",
    "range": "Arrow string offsets contain an invalid range.",
    "exceeds": "Arrow string offset exceeds the UTF8 data buffer.",
}


# In check order. Each case also carries faults that later checks would
# report, so the expected message shows the order of the checks.
@pytest.mark.parametrize(("large", "arguments", "failure"), [
    (False, dict(data=None, offsets=I64), "TypeError"),
    (True, dict(data=BufferExporter(b"abc", len=-3, shape=None), offsets=None), "negative"),
    (False, dict(offsets=BufferExporter(bytes(16), len=-4, itemsize=4, format=b"i", strides=None),
                 validity=None), "negative"),
    (True, dict(validity=BufferExporter(b"\x07", len=-1, format=b"b")), "negative"),
    (False, dict(data=ctypes_bytes(ctypes.c_uint8, b"abc"), offsets=I64), "strides"),
    (False, dict(data=pa.py_buffer(b"abc"), offsets=I64), "u8"),
    (False, dict(data=array("H", b"ab"), offsets=I64), "u8"),
    (False, dict(data=STRIDED_DATA, offsets=None), "TypeError"),
    (True, dict(offsets=ctypes_bytes(ctypes.c_int64, I64)), "strides"),
    (False, dict(offsets=I64, validity=BAD_FORMAT_VALIDITY), "i32"),
    (True, dict(offsets=I32, validity=BAD_FORMAT_VALIDITY), "i64"),
    (False, dict(offsets=array("I", ABC)), "i32"),
    (False, dict(offsets=np.array(ABC, ">i4")), "i32"),
    (True, dict(offsets=np.array(ABC, np.uint64)), "i64"),
    (False, dict(offsets=unaligned(np.int32, ABC), validity=BAD_FORMAT_VALIDITY), "aligned i32"),
    (True, dict(offsets=unaligned(np.int64, ABC), validity=BAD_FORMAT_VALIDITY), "aligned i64"),
    (False, dict(data=STRIDED_DATA, validity=ctypes_bytes(ctypes.c_uint8, b"\x07")), "strides"),
    (False, dict(data=STRIDED_DATA, validity=BAD_FORMAT_VALIDITY), "u8"),
    (False, dict(data=STRIDED_DATA, validity=STRIDED_VALIDITY), "contiguous"),
    (False, dict(offsets=np.asfortranarray(np.array([[0, 1, 9], [2, 3, 9]], np.int32))), "contiguous"),
    (False, dict(validity=STRIDED_VALIDITY, array_offset=2**64 - 1), "bitmap"),
    (True, dict(data=BufferExporter(buf=NULL, len=3), offsets=BufferExporter(buf=NULL, len=32,
                itemsize=8, format=b"q"), validity=BufferExporter(buf=NULL, len=1)), "null data"),
    (False, dict(offsets=BufferExporter(buf=NULL, len=16, itemsize=4, format=b"i"),
                 validity=BufferExporter(buf=NULL, len=1)), "null offsets"),
    (True, dict(validity=BufferExporter(buf=NULL, len=1), array_offset=2**64 - 1), "null validity"),
    (False, dict(length=0, array_offset=2**64 - 1, offsets=array("i")), "overflow"),
    (True, dict(length=2**63, array_offset=2**63), "overflow"),
    (False, dict(length=0, array_offset=2**64 - 3), "shorter"),
    # CPython gives an empty array('i') an address that is not a multiple of 4.
    (False, dict(length=0, offsets=array("i")), "shorter"),
    (True, dict(array_offset=1, offsets=np.array([0, -1, 2, 3], np.int64)), "shorter"),
    (False, dict(offsets=np.array([0, 1, 2, 4], np.int32)), "exceeds"),
    (True, dict(offsets=np.array([-1, 1, 2, 3], np.int64)), "range"),
    (False, dict(offsets=np.array([0, 2, 1, 3], np.int32)), "range"),
    # The first failing present row decides the message.
    (False, dict(offsets=np.array([0, 5, 4, 3], np.int32)), "exceeds"),
    (True, dict(offsets=np.array([0, 1, 0, 9], np.int64)), "range"),
    (False, dict(offsets=np.array([0, 1, 9, -1], np.int32), validity=b"\x05"), "range"),
    (True, dict(offsets=np.array([0, 9, 2, 3], np.int64), validity=b"\x06"), "range"),
])
def test_rejections_in_check_order_change_nothing(large, arguments, failure):
    call = dict(data=b"abc", offsets=I64 if large else I32, length=3, validity=None, array_offset=0)
    call.update(arguments)
    acc = StringAccumulator()
    acc.update_utf8(b"xyz", I32, 3, b"\x03")
    fails_unchanged(acc, lambda: kernel(acc, large)(**call),
                    TypeError if failure == "TypeError" else BufferError, MESSAGES.get(failure))
    assert all(e.released == e.acquired for e in call.values() if isinstance(e, BufferExporter))


class CallsBack:
    """An integer argument whose conversion calls into the accumulator."""

    def __init__(self, action, value=3, catch=True):
        self.action, self.value, self.catch, self.errors = action, value, catch, []

    def __index__(self):
        try:
            self.action()
        except RuntimeError as error:
            if not self.catch:
                raise
            self.errors.append(str(error))
        return self.value


@pytest.mark.parametrize(("action", "message"), [
    (lambda acc: acc.snapshot, "Already mutably borrowed"),
    (lambda acc: lambda: acc.observations, "Already mutably borrowed"),
    (lambda acc: lambda: acc.update_utf8(b"zz", I32[:3], 2), "Already borrowed"),
    (lambda acc: acc.reset, "Already borrowed"),
])
@pytest.mark.parametrize("parameter", ["length", "array_offset"])
def test_reentrant_calls_get_the_borrow_error(action, message, parameter):
    acc = StringAccumulator()
    acc.update_utf8(b"x", I32[:2], 1)
    callback = CallsBack(action(acc), value=3 if parameter == "length" else 0)
    acc.update_utf8(**{"data": b"abc", "offsets": I32, "length": 3, parameter: callback})
    assert callback.errors == [message]
    assert exact(acc.snapshot()) == exact(snapshot_of([b"x", b"a", b"b", b"c"]))
    fails_unchanged(acc, lambda: acc.update_large_utf8(b"abc", I64, CallsBack(action(acc), catch=False)),
                    RuntimeError, message, ["while processing 'length'"])


@pytest.mark.parametrize(("arguments", "error", "name"), [
    (dict(length=-1, data=None), OverflowError, "length"), (dict(length=3.0), TypeError, "length"),
    (dict(array_offset=-1, offsets=None), OverflowError, "array_offset"),
    (dict(array_offset=None), TypeError, "array_offset"),
])
def test_integer_conversion_errors_carry_notes(arguments, error, name):
    acc = StringAccumulator()
    fails_unchanged(acc, lambda: acc.update_utf8(**dict(dict(data=b"abc", offsets=I32, length=3), **arguments)),
                    error, notes=[f"while processing '{name}'"])
    acc.update_utf8(b"abc", I32, np.uint64(3), array_offset=np.int8(0))
    assert acc.snapshot()["count"] == 3
