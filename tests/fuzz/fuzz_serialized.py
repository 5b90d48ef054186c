"""Fuzz target: from_bytes of every accumulator class, fed mutated valid serializations.

Each input picks a valid serialization of one of the three kinds and edits it (flips bytes,
cuts, inserts, deletes); the result, and the raw input as well, go to every class's
from_bytes. A failure must be ValueError; a success must encode back to exactly the same
bytes (the format is canonical) and give a snapshot.
"""

import sys
from array import array

import atheris

with atheris.instrument_imports():
    from tessary._native import ArrowBatchProfileAccumulator, NumericAccumulator, StringAccumulator

CLASSES = (NumericAccumulator, StringAccumulator, ArrowBatchProfileAccumulator)


def _seeds() -> list[bytes]:
    numeric = NumericAccumulator(stream_id=3)
    numeric.update_f64(array("d", [float(i % 37) * 1.5 - 9.0 for i in range(600)] + [float("nan"), -0.0]))
    strings = StringAccumulator()
    words = [b"", b"a", b"bc", b"\xc3\xa9t\xc3\xa9"] + [str(i % 40).encode() for i in range(60)]
    offsets = array("i", [0])
    for word in words:
        offsets.append(offsets[-1] + len(word))
    strings.update_utf8(b"".join(words), offsets, len(words), b"\xfb" * 9)
    batch = ArrowBatchProfileAccumulator()
    try:
        import pyarrow as pa

        batch.update(pa.record_batch({"x": [1.5, None, -2.0, 1e300], "n": [1, 2, 3, 4], "s": list("abcd")}))
    except ImportError:
        pass
    return [numeric.to_bytes(), strings.to_bytes(), batch.to_bytes(), NumericAccumulator().to_bytes()]


SEEDS = _seeds()


def _mutated(data: bytes) -> bytes:
    fdp = atheris.FuzzedDataProvider(data)
    out = bytearray(SEEDS[fdp.ConsumeIntInRange(0, len(SEEDS) - 1)])
    for _ in range(fdp.ConsumeIntInRange(1, 4)):
        at = fdp.ConsumeIntInRange(0, len(out))
        edit = fdp.ConsumeIntInRange(0, 3)
        if edit == 0 and at < len(out):
            out[at] ^= fdp.ConsumeIntInRange(1, 255)
        elif edit == 1:
            del out[at:]
        elif edit == 2:
            out[at:at] = fdp.ConsumeBytes(fdp.ConsumeIntInRange(1, 16))
        else:
            del out[at:at + fdp.ConsumeIntInRange(1, 16)]
    return bytes(out)


def TestOneInput(data: bytes) -> None:
    for blob in (_mutated(data), data):
        for cls in CLASSES:
            try:
                acc = cls.from_bytes(blob)
            except ValueError:
                continue
            assert acc.to_bytes() == blob, (cls.__name__, blob)
            acc.snapshot()


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
