"""Fuzzes StringAccumulator.update_utf8 and update_large_utf8 with random data, offsets (some out
of range), bitmaps, lengths and array offsets, each buffer a NumPy array or a hand-built view
(see common.py). Offsets that leave the data for a present row or end before the range must be
refused; an accepted call gives, bit for bit, the state of its present rows, in order, and of
its missing rows. Run it as long as you like with scripts/fuzz.sh fuzz_string_kernels [options]."""

import struct

import atheris
import numpy as np
from common import attempt, buffer_argument, exact, fuzz, released_once

from tessary._native import StringAccumulator

WRONG_BYTES = ["i1", "S1", "<u2"]
WRONG_OFFSETS = {4: ["<u4", ">i4", "<i8", "<f4"], 8: ["<u8", ">i8", "<i4", "<f8"]}
HUGE = [2**64 - 1, 2**63, 2**63 - 1, 2**32, 2**31 - 1]


@atheris.instrument_func
def rows_of(data, offsets, bitmap, length, first, width):
    """(present row strings, number of missing rows), or None when the call must fail."""
    offsets = np.frombuffer(offsets, f"<i{width}").tolist()
    if first + length >= len(offsets):
        return None
    present, missing = [], 0
    for r in range(first, first + length):
        if bitmap is not None and not (r // 8 < len(bitmap) and bitmap[r // 8] >> r % 8 & 1):
            missing += 1
        elif 0 <= offsets[r] <= offsets[r + 1] <= len(data):
            present.append(data[offsets[r]:offsets[r + 1]])
        else:
            return None
    return present, missing


@atheris.instrument_func
def TestOneInput(data: bytes):
    fdp = atheris.FuzzedDataProvider(data)
    width = fdp.PickValueInList([4, 8])
    text = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 48))
    rows = fdp.ConsumeIntInRange(0, 24)
    offsets = sorted(fdp.ConsumeIntInRange(0, len(text)) for _ in range(rows + 1))
    if fdp.ConsumeProbability() > 0.7:
        offsets[fdp.ConsumeIntInRange(0, rows)] = fdp.PickValueInList(
            [-1, len(text) + 1, 2**(8 * width - 1) - 1, -2**(8 * width - 1)])
    first = fdp.ConsumeIntInRange(0, rows)
    length = fdp.ConsumeIntInRange(0, rows + 1 - first)
    if fdp.ConsumeProbability() > 0.9:
        first, length = fdp.PickValueInList(HUGE), fdp.PickValueInList([0, 1] + HUGE)
    (data_arg, data_read, v1), (offsets_arg, offsets_read, v2), (validity_arg, bitmap, v3) = (
        buffer_argument(fdp, text, "u1", WRONG_BYTES),
        buffer_argument(fdp, struct.pack(f"<{rows + 1}{'iq'[width // 8]}", *offsets), f"<i{width}",
                        WRONG_OFFSETS[width]),
        buffer_argument(fdp, fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 4)), "u1", WRONG_BYTES)
        if fdp.ConsumeBool() else (None, None, "ok"))
    expected = rows_of(data_read, offsets_read, bitmap, length, first, width)
    verdict = max(v1, v2, v3, "ok" if expected else "bad", key=["ok", "any", "bad"].index)
    acc, reference = StringAccumulator(), StringAccumulator()
    for seeded in (acc, reference):
        seeded.update_utf8(b"seedx", np.array([0, 4, 5], np.int32), 2)
    update = acc.update_large_utf8 if width == 8 else acc.update_utf8
    accepted, _ = attempt(acc, lambda: update(data_arg, offsets_arg, length, validity_arg, first),
                          BufferError, verdict)
    if accepted:
        present, missing = expected
        assert (acc.snapshot()["count"], acc.snapshot()["missing"]) == (2 + len(present), missing)
        reference.update_large_utf8(b"".join(present), np.cumsum([0] + list(map(len, present))),
                                    len(present))
        reference.update_utf8(b"", np.zeros(missing + 1, np.int32), missing, b"")
        assert exact(acc.snapshot()) == exact(reference.snapshot())
    released_once(data_arg, offsets_arg, validity_arg)


if __name__ == "__main__":
    fuzz(TestOneInput)
