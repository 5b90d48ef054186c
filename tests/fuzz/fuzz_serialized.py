"""Fuzzes from_bytes of every accumulator class with mutated valid serializations and with the raw
input. A failure must be ValueError; a success must encode back to exactly the same bytes (the
format is canonical) and give a snapshot. Run it with scripts/fuzz.sh fuzz_serialized [options]."""

import atheris
import numpy as np
import pyarrow as pa
from common import fuzz, mutated_bytes

from tessary._native import ArrowBatchProfileAccumulator, NumericAccumulator, StringAccumulator

CLASSES = (NumericAccumulator, StringAccumulator, ArrowBatchProfileAccumulator)
numeric, strings, batch = NumericAccumulator(stream_id=3), StringAccumulator(), CLASSES[2]()
numeric.update_f64(np.append(np.arange(600) % 37 * 1.5 - 9.0, [np.nan, -0.0]))
words = [b"", b"a", b"bc", "été".encode()] + [str(i % 40).encode() for i in range(60)]
strings.update_utf8(b"".join(words), np.cumsum([0] + list(map(len, words)), dtype=np.int32),
                    len(words), b"\xfb" * 9)
batch.update(pa.record_batch({"x": [1.5, None, -2.0, 1e300], "n": [1, 2, 3, 4], "s": list("abcd")}))
# Merged from another stream (priorities written out), over magnitudes far apart.
merged = NumericAccumulator(stream_id=5)
merged.update_f64(np.geomspace(1e-30, 1e30, 300) * (-1.0) ** np.arange(300))
merged.merge(numeric)
SEEDS = [numeric.to_bytes(), strings.to_bytes(), batch.to_bytes(), NumericAccumulator().to_bytes(),
         merged.to_bytes()]


def TestOneInput(data: bytes):
    fdp = atheris.FuzzedDataProvider(data)
    for blob in (mutated_bytes(fdp, fdp.PickValueInList(SEEDS)), data):
        for cls in CLASSES:
            try:
                acc = cls.from_bytes(blob)
            except ValueError:
                continue
            assert acc.to_bytes() == blob, cls.__name__
            acc.snapshot()


if __name__ == "__main__":
    fuzz(TestOneInput)
