"""Fuzzes numeric_state_f64, numeric_profile_f64 and NumericAccumulator.update_f64 with NumPy
arrays and hand-built views (see common.py). An accepted view gives, bit for bit, what the same
call gives on a clean float64 copy of its bytes, and counts finite, NaN and infinite elements as
NumPy does. Run it as long as you like with scripts/fuzz.sh fuzz_float64_intake [options]."""

import math

import atheris
import numpy as np
from common import attempt, buffer_argument, exact, fuzz, released_once

from tessary._native import NumericAccumulator, numeric_profile_f64, numeric_state_f64

SPECIALS = [math.nan, -math.nan, math.inf, -math.inf, 0.0, -0.0, 5e-324, 1e-300, 1e300,
            1.7976931348623157e308, 1.0, -1.0]
SEED = np.array([1.5, math.nan, -2.0])


def entry_points(acc):
    return [numeric_state_f64, lambda values: numeric_profile_f64(values, 7), acc.update_f64]


@atheris.instrument_func
def TestOneInput(data: bytes):
    fdp = atheris.FuzzedDataProvider(data)
    count = fdp.ConsumeIntInRange(0, 40)
    values = np.frombuffer(fdp.ConsumeBytes(8 * count).ljust(8 * count, b"\0"), "<f8").copy()
    for _ in range(fdp.ConsumeIntInRange(0, 4) if count else 0):
        values[fdp.ConsumeIntInRange(0, count - 1)] = fdp.PickValueInList(SPECIALS)
    argument, read, verdict = buffer_argument(fdp, values.tobytes(), "<f8",
                                              ["<f4", "<i8", ">f8", "<c16"])
    acc, reference, entry = NumericAccumulator(3), NumericAccumulator(3), fdp.ConsumeIntInRange(0, 2)
    for seeded in (acc, reference):
        seeded.update_f64(SEED)
    call = entry_points(acc)[entry]
    accepted, result = attempt(acc, lambda: call(argument), BufferError, verdict)
    if accepted:
        elements = np.frombuffer(read, "<f8").copy()
        expected = entry_points(reference)[entry](elements)
        if entry == 2:
            result, expected = acc.snapshot(), reference.snapshot()
            elements = np.append(SEED, elements)
        assert exact(result) == exact(expected)
        nan, inf = np.isnan(elements), np.isinf(elements)
        assert (result["count"], result["missing"], result["infinite"], result["observations"]) == (
            len(elements) - nan.sum() - inf.sum(), nan.sum(), inf.sum(), len(elements)), result
    released_once(argument)


if __name__ == "__main__":
    fuzz(TestOneInput)
