"""What the fuzz harnesses share. They state no rules of the engine beyond a verdict per argument
("ok": a call must take it, "bad": must refuse it, "any": either) and check invariants: a refusal
leaves snapshot() as it was, bit for bit; an accepted call reads exactly the bytes its arguments
stand for; every view is released once."""

import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import numpy as np  # noqa: E402

from exporters import NULL, BufferExporter  # noqa: E402
from helpers import exact  # noqa: E402


@atheris.instrument_func
def buffer_argument(fdp, payload, dtype, wrong_dtypes):
    """(argument, the bytes it stands for, verdict) for `payload` as elements of `dtype`: a NumPy
    array of any layout or dtype, or a hand-built view that may lie in its fields."""
    dtype = np.dtype(dtype)
    size = dtype.itemsize
    payload = payload[:len(payload) // size * size]
    if fdp.ConsumeBool():
        layout = fdp.PickValueInList(["plain"] * 6 + ["2d", "strided", "shift", "dtype"])
        if layout == "dtype":
            wrong = np.dtype(fdp.PickValueInList(wrong_dtypes))
            return np.frombuffer(payload, wrong, len(payload) // wrong.itemsize), payload, "bad"
        raw = np.zeros(2 * len(payload) + 32, np.uint8)
        start = -raw.ctypes.data % 16 + (layout == "shift")
        step = fdp.PickValueInList([2, -1]) if layout == "strided" else 1
        array = raw[start:start + abs(step) * len(payload)].view(dtype)[::step]
        array[:] = np.frombuffer(payload, dtype)
        if layout == "2d" and len(array) % 2 == 0:
            return array.reshape(2, -1), payload, "any"
        bad = layout == "shift" and size > 1 and payload or layout == "strided" and len(array) > 1
        return array, payload, "bad" if bad else "ok"
    lie = fdp.PickValueInList(["none"] * 10 + ["short", "null", "negative", "format", "itemsize",
                                               "no shape", "no strides", "suboffsets", "strides", "shift"])
    fmt = memoryview(np.empty(0, dtype)).format.encode()
    fields, verdict, length, shift = {"itemsize": size, "format": fmt}, "bad", len(payload), 0
    if lie in ("none", "short"):
        length, verdict = fdp.ConsumeIntInRange(0, length) if lie == "short" else length, "ok"
    elif lie == "null":
        fields["buf"], verdict = NULL, "bad" if payload else "any"
    elif lie == "negative":
        length = -fdp.ConsumeIntInRange(1, 2**63 - 1)
    elif lie == "format":
        fields["format"] = fdp.PickValueInList([b"", b">" + fmt[-1:]] + [
            memoryview(np.empty(0, w)).format.encode() for w in wrong_dtypes])
    elif lie == "itemsize":
        fields["itemsize"] = fdp.PickValueInList([i for i in (0, 1, 2, 4, 8, 16) if i != size])
    elif lie == "strides":
        dims = range(fdp.ConsumeIntInRange(1, 3))
        fields.update(ndim=len(dims), shape=[fdp.ConsumeIntInRange(-1, 5) for _ in dims],
                      strides=[fdp.PickValueInList([size, -size, 0, 2 * size]) for _ in dims])
        verdict = "any"
    elif lie == "shift":
        shift = fdp.ConsumeIntInRange(1, 7)
        verdict = "bad" if shift % size and length else "ok"
    else:
        fields[lie.replace("no ", "")] = [-1] if lie == "suboffsets" else None
    exporter = BufferExporter(payload, padding=8, offset=shift, len=length, **fields)
    read = (payload + bytes(8))[shift:shift + max(length, 0)]
    return exporter, read[:len(read) // size * size], verdict


def attempt(acc, call, errors, verdict):
    """(True, call()'s result), or (False, the error) when it raises one of `errors`, which must
    leave acc's snapshot unchanged bit for bit."""
    before = exact(acc.snapshot())
    try:
        result = call()
    except errors as error:
        assert verdict != "ok", ("refused a well-formed call", error)
        assert exact(acc.snapshot()) == before, ("a refused call changed the state", error)
        return False, error
    assert verdict != "bad", "accepted a call that breaks the rules"
    return True, result


@atheris.instrument_func
def mutated_bytes(fdp, out):
    """`out` with 1 to 4 spans replaced by fuzzed bytes: flips, cuts, insertions, deletions."""
    for _ in range(fdp.ConsumeIntInRange(1, 4)):
        at = fdp.ConsumeIntInRange(0, len(out)) if fdp.ConsumeBool() else len(out)  # the end often
        cut = fdp.PickValueInList([0, 1, 16, len(out)])
        out = out[:at] + fdp.ConsumeBytes(fdp.PickValueInList([0, 1, 16])) + out[at + cut:]
    return out


def released_once(*arguments):
    for argument in arguments:
        if isinstance(argument, BufferExporter):
            acquired = len(argument.tokens)
            assert argument.released == acquired <= 1, (acquired, argument.released)


def fuzz(test_one_input):
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
