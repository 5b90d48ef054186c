"""Fuzzes the UTF-8 kernels StringAccumulator.update_utf8 and update_large_utf8: random data,
offsets of both widths, bitmaps, lengths and array offsets, given as NumPy arrays of any dtype and
layout or as hand-built views with null, negative, short or inconsistent fields.

Besides crashes it checks, against a model of the kernel's rules, that a call fails exactly when
the arguments break one (BufferError; TypeError or OverflowError for the integers), that a failing
call leaves snapshot() unchanged, that every view is released once, and that a successful call
records exactly the present rows, in order, and the missing ones.
Run it as long as you like with scripts/fuzz.sh fuzz_string_kernels [libFuzzer options]."""

import os
import struct
import sys
from dataclasses import dataclass

import atheris

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import numpy as np  # noqa: E402

from exporters import NULL, BufferExporter  # noqa: E402
from helpers import exact  # noqa: E402
from tessary._native import StringAccumulator  # noqa: E402

BYTE_FORMATS = [b"B", b"c", b"@B", b"=c", b"<B", b">B", b"b", None, b"x", b"BB", b"s", b"?", b""]
OFFSET_FORMATS = {4: [b"i", b"@i", b"=i", b"<i", b"=l", b"<l", b"l", b"I", b"f", b">i", b"!i",
                      b"q", b"ii", None],
                  8: [b"q", b"l", b"n", b"@q", b"=q", b"<q", b"=l", b"=n", b"Q", b"d", b">q",
                      b"i", None]}
OFFSET_DTYPES = {4: ["<i4", "<i4", "<i4", "<u4", ">i4", "<i8", "<f4"],
                 8: ["<i8", "<i8", "<i8", "<u8", ">i8", "<i4", "<f8"]}
BYTE_DTYPES = ["u1", "u1", "u1", "S1", "i1", "<u2"]
HUGE = [2**64 - 1, 2**64 - 2, 2**63, 2**63 - 1, 2**32, 2**31 - 1]
BAD_INTEGERS = [-1, 2**64, None, 1.0]
LIES = ["none", "none", "none", "null", "empty null", "negative", "short", "format", "no shape",
        "no strides", "dims", "strides", "suboffsets", "shift"]


@dataclass
class View:
    """The fields of the view an exporter hands out, and the bytes it covers."""
    null: bool
    address: int
    length: int
    itemsize: int
    format: object
    ndim: int
    shape: object
    strides: object
    suboffsets: object
    memory: bytes


@atheris.instrument_func
def type_char(fmt):
    """(type character, struct prefix) of a one-character format on a little-endian host."""
    fmt = b"B" if fmt is None else fmt
    if len(fmt) == 1:
        return chr(fmt[0]), "@"
    if len(fmt) == 2 and fmt[:1] in (b"@", b"=", b"<"):
        return chr(fmt[1]), chr(fmt[0])
    return None, None


@atheris.instrument_func
def acceptable(view, width):
    """Whether the kernel takes the view as bytes (width 0) or as offsets of `width` bytes."""
    if view.length < 0 or view.shape is None or view.strides is None:
        return False
    code, prefix = type_char(view.format)
    if width == 0:
        return view.itemsize == 1 and code is not None and code in "Bc"
    if view.itemsize != width or code is None or code not in "bhilqn":
        return False
    try:
        if struct.calcsize(prefix + code) != width:
            return False
    except struct.error:
        return False
    return view.length == 0 or view.address % width == 0


@atheris.instrument_func
def c_contiguous(view):
    if view.suboffsets is not None:
        return False
    if view.length == 0:
        return True
    step = view.itemsize
    for extent, stride in reversed(list(zip(view.shape[:view.ndim], view.strides[:view.ndim]))):
        if extent > 1 and stride != step:
            return False
        step *= extent
    return True


@atheris.instrument_func
def numpy_buffer(fdp, payload, dtypes):
    """A NumPy array over `payload` in one of `dtypes` and layouts, with its View."""
    dtype = np.dtype(fdp.PickValueInList(dtypes))
    raw = np.zeros(2 * len(payload) + 16, np.uint8)
    layout = fdp.PickValueInList(["plain", "plain", "plain", "2d", "strided", "shift"])
    start = (-raw.ctypes.data) % 16 + (1 if layout == "shift" else 0)
    count = len(payload) // dtype.itemsize
    if layout == "strided":
        spread = raw[start:start + 2 * count * dtype.itemsize].view(dtype)
        spread[::2] = np.frombuffer(payload, dtype, count)
        array = spread[::2]
    else:
        array = raw[start:start + count * dtype.itemsize].view(dtype)
        array[:] = np.frombuffer(payload, dtype, count)
        if layout == "2d" and count % 2 == 0:
            array = array.reshape(2, -1) if fdp.ConsumeBool() else array.reshape(-1, 2).T
    exported = memoryview(array)
    view = View(False, array.ctypes.data, exported.nbytes, exported.itemsize,
                exported.format.encode(), exported.ndim, exported.shape, exported.strides, None,
                array.tobytes() if exported.c_contiguous else b"")
    return array, view


@atheris.instrument_func
def hand_built_buffer(fdp, payload, itemsize, formats):
    """A BufferExporter over `payload` that may lie in its fields, with its View."""
    lie = fdp.PickValueInList(LIES)
    shift = fdp.ConsumeIntInRange(1, 7) if lie == "shift" else 0
    length = len(payload) - shift
    if lie == "negative":
        length = -fdp.ConsumeIntInRange(1, 2**63 - 1)
    elif lie == "short":
        length = fdp.ConsumeIntInRange(0, max(length, 0))
    elif lie == "empty null":
        length = 0
    fmt = fdp.PickValueInList(formats) if lie == "format" else formats[0]
    size = fdp.PickValueInList([itemsize, 1, 2, 4, 8, 0]) if lie == "format" else itemsize
    items = max(length, 0) // size if size > 0 else 0
    ndim, shape, strides, suboffsets = 1, [items], [size], None
    if lie == "dims":
        ndim = fdp.PickValueInList([0, 2, 3])
        shape = [items] + [1] * (ndim - 1) if fdp.ConsumeBool() else [1] * (ndim - 1) + [items]
        strides = [size * int(np.prod(shape[i + 1:])) for i in range(ndim)]
        shape, strides = (shape, strides) if ndim else ([], [])
    elif lie == "strides":
        ndim = fdp.ConsumeIntInRange(1, 3)
        shape = [fdp.ConsumeIntInRange(-1, 5) for _ in range(ndim)]
        strides = [fdp.PickValueInList([size, -size, 0, 2 * size, 1]) for _ in range(ndim)]
    elif lie == "no shape":
        shape = None
    elif lie == "no strides":
        strides = None
    elif lie == "suboffsets":
        suboffsets = [-1] * ndim
    null = lie in ("null", "empty null")
    exporter = BufferExporter(payload, padding=8, offset=shift,
                              buf=NULL if null else BufferExporter.DEFAULT, len=length,
                              itemsize=size, format=fmt, ndim=ndim, shape=shape,
                              strides=strides, suboffsets=suboffsets)
    view = View(null, 0 if null else exporter.address, length, size, fmt, ndim, shape, strides,
                suboffsets, (payload + bytes(8))[shift:shift + max(length, 0)])
    return exporter, view


@atheris.instrument_func
def buffer_argument(fdp, payload, width):
    """(object, View) for data or a bitmap (width 0) or offsets of `width` bytes."""
    if fdp.ConsumeBool():
        return numpy_buffer(fdp, payload, OFFSET_DTYPES[width] if width else BYTE_DTYPES)
    return hand_built_buffer(fdp, payload, width or 1,
                             OFFSET_FORMATS[width] if width else BYTE_FORMATS)


@atheris.instrument_func
def expected_rows(data, offsets, validity, length, array_offset, width):
    """(present row strings, missing rows) of a call, or None when it must fail."""
    views = [data, offsets] + ([validity] if validity else [])
    if not all(acceptable(v, w) for v, w in zip(views, (0, width, 0))):
        return None
    if not all(c_contiguous(v) for v in views):
        return None
    if data.null or offsets.null or (validity and validity.null and validity.length):
        return None
    end = array_offset + length
    if end >= 2**64 - 1 or offsets.length // width <= end:
        return None
    values = np.frombuffer(offsets.memory[: offsets.length // width * width],
                           "<i4" if width == 4 else "<i8")
    bitmap = validity.memory[: validity.length] if validity else None
    present, missing = [], 0
    for r in range(array_offset, end):
        if bitmap is not None and (r // 8 >= len(bitmap) or not bitmap[r // 8] >> (r % 8) & 1):
            missing += 1
            continue
        start, stop = int(values[r]), int(values[r + 1])
        if start < 0 or stop < start or stop > data.length:
            return None
        present.append(data.memory[start:stop])
    return present, missing


def seeded():
    acc = StringAccumulator()
    acc.update_utf8(b"seedx", np.array([0, 4, 5], np.int32), 2)
    return acc


def reference_snapshot(present, missing):
    """The snapshot after the seed, then `present` rows in order, then `missing` null rows."""
    acc = seeded()
    offsets = np.zeros(len(present) + 1, np.int64)
    np.cumsum([len(s) for s in present], out=offsets[1:])
    acc.update_large_utf8(b"".join(present), offsets, len(present))
    acc.update_utf8(b"", np.zeros(missing + 1, np.int32), missing, b"")
    return acc.snapshot()


@atheris.instrument_func
def offsets_payload(fdp, data_length, width):
    rows = fdp.ConsumeIntInRange(0, 24)
    kind = fdp.PickValueInList(["sorted", "sorted", "random", "extreme"])
    if kind == "sorted":
        values = sorted(fdp.ConsumeIntInRange(0, data_length) for _ in range(rows + 1))
    else:
        values = [fdp.ConsumeIntInRange(-3, data_length + 3) for _ in range(rows + 1)]
    if kind == "extreme" and values:
        limit = 2 ** (8 * width - 1)
        values[fdp.ConsumeIntInRange(0, rows)] = fdp.PickValueInList(
            [limit - 1, -limit, data_length + 1, 2**40 % limit, -1])
    return rows, struct.pack(f"<{len(values)}{'i' if width == 4 else 'q'}", *values)


@atheris.instrument_func
def TestOneInput(data: bytes):
    fdp = atheris.FuzzedDataProvider(data)
    large = fdp.ConsumeBool()
    width = 8 if large else 4
    data_payload = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 48))
    rows, offsets_bytes = offsets_payload(fdp, len(data_payload), width)
    bitmap = fdp.PickValueInList([None, None, "random", "ones"])
    if bitmap is not None:
        size = fdp.ConsumeIntInRange(0, 4)
        bitmap = fdp.ConsumeBytes(size) if bitmap == "random" else b"\xff" * size
    array_offset = fdp.ConsumeIntInRange(0, rows)
    length = fdp.ConsumeIntInRange(0, rows + 1 - array_offset)
    integers = fdp.PickValueInList(["plain"] * 6 + ["huge", "bad length", "bad offset"])
    if integers == "huge":
        array_offset, length = fdp.PickValueInList(HUGE), fdp.PickValueInList([0, 1] + HUGE)
    elif integers == "bad length":
        length = fdp.PickValueInList(BAD_INTEGERS)
    elif integers == "bad offset":
        array_offset = fdp.PickValueInList(BAD_INTEGERS)

    data_arg, data_view = buffer_argument(fdp, data_payload, 0)
    offsets_arg, offsets_view = buffer_argument(fdp, offsets_bytes, width)
    validity_arg, validity_view = None, None
    if bitmap is not None:
        validity_arg, validity_view = buffer_argument(fdp, bitmap, 0)

    acc = seeded()
    before = exact(acc.snapshot())
    update = acc.update_large_utf8 if large else acc.update_utf8
    bad_integer = integers.startswith("bad")
    expected = None if bad_integer else expected_rows(
        data_view, offsets_view, validity_view, length, array_offset, width)
    try:
        update(data_arg, offsets_arg, length, validity_arg, array_offset)
    except (BufferError, TypeError, OverflowError) as error:
        kinds = (TypeError, OverflowError) if bad_integer else BufferError
        assert isinstance(error, kinds) and expected is None, (error, expected)
        assert exact(acc.snapshot()) == before
    else:
        assert expected is not None, "accepted a call that breaks the rules"
        assert exact(acc.snapshot()) == exact(reference_snapshot(*expected))
    for exporter in (data_arg, offsets_arg, validity_arg):
        if isinstance(exporter, BufferExporter):
            assert exporter.released == exporter.acquired <= 1, (exporter.acquired,
                                                                 exporter.released)


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
