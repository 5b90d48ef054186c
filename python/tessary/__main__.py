"""Demo: profile generated data with the native core and print the results."""

import json
import random
from array import array

from tessary import _native


def main() -> None:
    rng = random.Random(2026)
    values = array("d", (rng.gauss(10.0, 3.0) for _ in range(100_000)))
    values[17] = float("nan")
    values[42] = float("inf")
    print(f"tessary {_native.__version__} (backend {_native.backend_info()[0]})")

    print("\nnumeric_profile_f64 of 100,000 normal values (mean 10, sd 3), one NaN, one inf:")
    profile = _native.numeric_profile_f64(values, stream_id=7)
    profile["reservoir"] = profile["reservoir"][:5] + ["..."]
    profile["heavy_hitters"] = profile["heavy_hitters"][:3] + ["..."]
    print(json.dumps(profile, indent=2))

    accumulator = _native.NumericAccumulator(stream_id=7)
    for start in range(0, len(values), 30_000):
        accumulator.update_f64(values[start:start + 30_000])
    same = accumulator.snapshot()["m4"] == _native.numeric_profile_f64(values, 7)["m4"]
    print(f"\nNumericAccumulator over four pieces matches the one-call profile: {same}")

    if hasattr(_native, "StringAccumulator"):
        words = [rng.choice(["red", "green", "blue", "cyan"]) for _ in range(10_000)]
        data = "".join(words).encode()
        offsets = array("i", [0])
        for word in words:
            offsets.append(offsets[-1] + len(word))
        strings = _native.StringAccumulator()
        strings.update_utf8(data, offsets, len(words))
        print("\nStringAccumulator over 10,000 colour names:")
        print(json.dumps(strings.snapshot(), indent=2))

    try:
        import pyarrow as pa
    except ImportError:
        return
    batch = pa.record_batch({
        "price": pa.array([rng.lognormvariate(3.0, 0.5) for _ in range(50_000)]),
        "quantity": pa.array([rng.randint(1, 20) if rng.random() > 0.1 else None
                              for _ in range(50_000)], type=pa.int32()),
        "label": pa.array(["a", "b"] * 25_000),
    })
    batches = _native.ArrowBatchProfileAccumulator()
    batches.update(batch)
    batches.update(batch.slice(0, 10_000))
    print("\nArrowBatchProfileAccumulator over a pyarrow batch and a slice of it:")
    print(json.dumps(batches.snapshot(), indent=2))


if __name__ == "__main__":
    main()
