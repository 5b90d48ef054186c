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
    print("numeric_state_f64 of 100,000 normal values (mean 10, sd 3):")
    print(json.dumps(_native.numeric_state_f64(values), indent=2))


if __name__ == "__main__":
    main()
