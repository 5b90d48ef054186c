"""Fuzzes from_bytes of every accumulator class with mutated valid serializations (bytes flipped,
cut, inserted or deleted) and with the raw input. A failure must be ValueError; a success must
encode back to exactly the same bytes (the format is canonical) and give a snapshot.
Run it as long as you like with scripts/fuzz.sh fuzz_serialized [libFuzzer options]."""

import atheris
import numpy as np
import pyarrow as pa
from common import fuzz

from tessary._native import ArrowBatchProfileAccumulator, NumericAccumulator, StringAccumulator

CLASSES = (NumericAccumulator, StringAccumulator, ArrowBatchProfileAccumulator)
numeric, strings, batch = NumericAccumulator(stream_id=3), StringAccumulator(), CLASSES[2]()
numeric.update_f64(np.append(np.arange(600) % 37 * 1.5 - 9.0, [np.nan, -0.0]))
words = [b"", b"a", b"bc", "été".encode()] + [str(i % 40).encode() for i in range(60)]
strings.update_utf8(b"".join(words), np.cumsum([0] + list(map(len, words)), dtype=np.int32),
                    len(words), b"\xfb" * 9)
batch.update(pa.record_batch({"x": [1.5, None, -2.0, 1e300], "n": [1, 2, 3, 4], "s": list("abcd")}))
SEEDS = [numeric.to_bytes(), strings.to_bytes(), batch.to_bytes(), NumericAccumulator().to_bytes()]


@atheris.instrument_func
def mutated(fdp):
    out = bytearray(fdp.PickValueInList(SEEDS))
    for _ in range(fdp.ConsumeIntInRange(1, 4)):
        at, edit = fdp.ConsumeIntInRange(0, len(out)), fdp.ConsumeIntInRange(0, 3)
        if edit == 0 and at < len(out):
            out[at] ^= fdp.ConsumeIntInRange(1, 255)
        elif edit == 1:
            del out[at:]
        elif edit == 2:
            out[at:at] = fdp.ConsumeBytes(fdp.ConsumeIntInRange(1, 16))
        else:
            del out[at:at + fdp.ConsumeIntInRange(1, 16)]
    return bytes(out)


def TestOneInput(data: bytes):
    for blob in (mutated(atheris.FuzzedDataProvider(data)), data):
        for cls in CLASSES:
            try:
                acc = cls.from_bytes(blob)
            except ValueError:
                continue
            assert acc.to_bytes() == blob, (cls.__name__, blob)
            acc.snapshot()


if __name__ == "__main__":
    fuzz(TestOneInput)
