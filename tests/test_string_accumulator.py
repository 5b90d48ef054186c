"""StringAccumulator: the UTF-8 kernels over Arrow string buffers and the string snapshot. Which
rows are present or missing, refusals leaving the state as it was and the release of every view
are checked by tests/fuzz/fuzz_string_kernels.py."""

from array import array

import numpy as np
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


def snapshot_of(strings):
    acc = StringAccumulator()
    acc.update_utf8(b"".join(strings), np.cumsum([0] + [len(s) for s in strings], dtype=np.int32),
                    len(strings))
    return acc.snapshot()


def test_new_instance_keyword_call_and_reset():
    acc = StringAccumulator()
    assert exact(acc.snapshot()) == exact(EMPTY) and acc.observations == 0
    # Buffers of any number of dimensions are read in C order.
    assert acc.update_utf8(offsets=I32.reshape(2, 2), length=np.uint64(3), array_offset=np.int8(0),
                           data=np.frombuffer(b"abc", np.uint8).reshape(3, 1), validity=b"\x05") is None
    assert acc.observations == 3 and acc.snapshot()["heavy_hitters"] == [("a", 1), ("c", 1)]
    assert acc.reset() is None
    assert exact(acc.snapshot()) == exact(EMPTY) and acc.observations == 0


def test_labels_keep_256_bytes_while_the_hash_covers_all():
    # Where a label is cut is the sketch's own test in the core; here, how a cut one reads.
    strings = [b"a" * 256 + b"x", b"a" * 256 + b"y", b"a" * 256 + b"y", "€".encode() * 100]
    assert snapshot_of(strings)["heavy_hitters"] == [("a" * 256, 2), ("a" * 256, 1), ("€" * 85 + "\ufffd", 1)]


def view(values, fmt, itemsize=1, **fields):
    """A view of `values` ("<i4"/"<i8" offsets for itemsize 4/8, else bytes) with format `fmt`."""
    data = np.array(values, f"<i{itemsize}").tobytes() if itemsize > 1 else values
    return BufferExporter(data, format=fmt, itemsize=itemsize, **fields)


# Per buffer: formats taken (native-order prefixes, "c" for bytes, no format meaning "B", sizes
# native or standard) and refused (unsigned, other sizes or kinds, other byte orders).
FORMATS = [(False, 0, [b"c", b"@B", b"<c", b"=B", None], [b"b", b">B", b"BB", b"?"]),
           (False, 4, [b"i", b"@i", b"=l", b"<i"], [b"I", b">i", b"!i", b"l", b"f", b"ii"]),
           (True, 8, [b"q", b"l", b"n", b"@q", b"=q", b"<q"], [b"Q", b">q", b"=l", b"=n", b"d", b"N"])]


@pytest.mark.parametrize(("large", "width", "taken", "refused"), FORMATS)
def test_buffer_formats(large, width, taken, refused):
    def calls(fmt):
        if width:
            return [lambda: kernel(acc, large)(b"abc", view(ABC, fmt, width), 3, b"\x07")]
        return [lambda: kernel(acc, large)(view(b"abc", fmt), I32, 3, b"\x07"),
                lambda: kernel(acc, large)(b"abc", I32, 3, view(b"\x07", fmt))]

    acc = StringAccumulator()
    for fmt in taken:
        for call in calls(fmt):
            call()
    assert exact(acc.snapshot()) == exact(snapshot_of([b"a", b"b", b"c"] * len(taken) * len(calls(None))))
    for fmt in refused:
        for call in calls(fmt):
            with pytest.raises(BufferError, match="^buffer contents are not compatible with "):
                call()


BAD_VALIDITY = view(b"\x07", b"b")
STRIDED_VALIDITY = np.frombuffer(b"\x07\x00\x00\x00", np.uint8)[::2]
STRIDED_DATA = np.frombuffer(b"aabbcc", np.uint8)[::2]
RANGE = "Arrow string offsets contain an invalid range."
EXCEEDS = "Arrow string offset exceeds the UTF8 data buffer."


# In check order: each case also carries faults that later checks would report. None: the
# exporter's own TypeError.
@pytest.mark.parametrize(("large", "arguments", "message"), [
    (False, dict(data=None, offsets=I64), None),
    (True, dict(data=BufferExporter(b"abc", len=-3, shape=None), offsets=None),
     "buffer exporter reported a negative length"),
    (False, dict(data=view(b"abc", b"B", strides=None), offsets=I64), "strides is null"),
    (False, dict(data=view(b"abc", b"b"), offsets=I64), "buffer contents are not compatible with u8"),
    (False, dict(data=STRIDED_DATA, offsets=None), None),
    (False, dict(offsets=I64, validity=BAD_VALIDITY), "buffer contents are not compatible with i32"),
    (True, dict(offsets=I32, validity=BAD_VALIDITY), "buffer contents are not compatible with i64"),
    (False, dict(offsets=view([9, *ABC], b"i", 4, offset=1, len=16), validity=BAD_VALIDITY),
     "buffer contents are insufficiently aligned for i32"),
    (True, dict(offsets=view([9, *ABC], b"q", 8, offset=1, len=32), validity=BAD_VALIDITY),
     "buffer contents are insufficiently aligned for i64"),
    (False, dict(data=STRIDED_DATA, validity=view(b"\x07", b"B", strides=None)), "strides is null"),
    (False, dict(data=STRIDED_DATA, validity=BAD_VALIDITY), "buffer contents are not compatible with u8"),
    (False, dict(data=STRIDED_DATA, validity=STRIDED_VALIDITY),
     "Tessary string kernels require contiguous Arrow data/offset buffers."),
    (False, dict(validity=STRIDED_VALIDITY, array_offset=2**64 - 1),
     "Tessary string kernels require a contiguous validity bitmap."),
    (True, dict(data=BufferExporter(buf=NULL, len=3), offsets=BufferExporter(buf=NULL, len=32,
                itemsize=8, format=b"q"), validity=BufferExporter(buf=NULL, len=1)),
     "Could not borrow Arrow UTF8 data as a byte slice."),
    (False, dict(offsets=BufferExporter(buf=NULL, len=16, itemsize=4, format=b"i"),
                 validity=BufferExporter(buf=NULL, len=1)),
     "Could not borrow Arrow UTF8 offsets as a typed slice."),
    (True, dict(validity=BufferExporter(buf=NULL, len=1), array_offset=2**64 - 1),
     "Could not borrow Arrow validity bitmap as a byte slice."),
    (False, dict(length=0, array_offset=2**64 - 1, offsets=array("i")), "Arrow string offset range overflowed."),
    (True, dict(length=2**63, array_offset=2**63), "Arrow string offset range overflowed."),
    # CPython gives an empty array('i') an address that is not a multiple of 4.
    (False, dict(length=0, offsets=array("i")), "Arrow string offsets are shorter than the requested array range."),
    (True, dict(array_offset=1, offsets=np.array([0, -1, 2, 3], np.int64)),
     "Arrow string offsets are shorter than the requested array range."),
    (False, dict(offsets=np.array([0, 1, 2, 4], np.int32)), EXCEEDS),
    (True, dict(offsets=np.array([-1, 1, 2, 3], np.int64)), RANGE),
    (False, dict(offsets=np.array([0, 2, 1, 3], np.int32)), RANGE),
    # The first failing present row decides the message.
    (False, dict(offsets=np.array([0, 5, 4, 3], np.int32)), EXCEEDS),
    (True, dict(offsets=np.array([0, 9, 2, 3], np.int64), validity=b"\x06"), RANGE),
])
def test_rejections_in_check_order_change_nothing(large, arguments, message):
    call = dict(data=b"abc", offsets=I64 if large else I32, length=3, validity=None, array_offset=0)
    acc = StringAccumulator()
    acc.update_utf8(b"xyz", I32, 3, b"\x03")
    fails_unchanged(acc, lambda: kernel(acc, large)(**call | arguments),
                    BufferError if message else TypeError, message)


@pytest.mark.parametrize("parameter", ["length", "array_offset"])
def test_reentrant_calls_get_the_borrow_error(parameter):
    acc, errors = StringAccumulator(), []
    acc.update_utf8(b"x", I32[:2], 1)

    class CallsBack:  # an integer argument whose conversion calls back into acc
        def __index__(self):
            for call in (acc.snapshot, lambda: acc.observations,
                         lambda: acc.update_utf8(b"zz", I32[:3], 2), acc.reset):
                with pytest.raises(RuntimeError) as info:
                    call()
                errors.append(str(info.value))
            return 3 if parameter == "length" else 0

    acc.update_utf8(**{"data": b"abc", "offsets": I32, "length": 3, parameter: CallsBack()})
    assert errors == ["Already mutably borrowed"] * 2 + ["Already borrowed"] * 2
    assert exact(acc.snapshot()) == exact(snapshot_of([b"x", b"a", b"b", b"c"]))
    raising = type("Raising", (), {"__index__": lambda self: acc.reset()})()
    fails_unchanged(acc, lambda: acc.update_large_utf8(b"abc", I64, raising), RuntimeError,
                    "Already borrowed", ["while processing 'length'"])
