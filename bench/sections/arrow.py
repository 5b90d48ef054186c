"""Arrow section: NumericAccumulator.update_arrow on Arrow columns against casting
them to float64 first."""

from __future__ import annotations

import math

import numpy as np

from harness import SEED, TESSARY_REPEATS, Table, best_time, optional_import, print_ratios


def run(native, n):
    """NumericAccumulator.update_arrow, reading an Arrow column in place, against the
    float64 copy it replaces (cast, nulls filled with NaN, then update_f64)."""
    pa = optional_import("pyarrow")
    if pa is None:
        print("\n== Arrow columns: skipped (pyarrow is not installed) ==")
        return
    rng = np.random.default_rng(SEED)
    columns = [
        ("int64, no nulls", pa.array(rng.integers(-10**6, 10**6, n))),
        ("float64, 10% nulls", pa.array(rng.standard_normal(n), mask=rng.random(n) < 0.1)),
    ]
    for shape, column in columns:
        table = Table(f"Arrow column: {n:,} values, {shape}", n)
        dense = column.cast(pa.float64()).fill_null(math.nan).to_numpy()
        arrow = table.add("arrow", "tessary NumericAccumulator.update_arrow",
                          best_time(lambda acc: acc.update_arrow(column), TESSARY_REPEATS,
                                    prepare=native.NumericAccumulator),
                          "in place")
        copy = table.add("copy", "cast to float64 + fill_null(NaN) + update_f64",
                         best_time(lambda acc: acc.update_f64(
                             column.cast(pa.float64()).fill_null(math.nan).to_numpy()),
                                   TESSARY_REPEATS, prepare=native.NumericAccumulator))
        f64 = table.add("f64", "update_f64 on the float64 copy alone",
                        best_time(lambda acc: acc.update_f64(dense), TESSARY_REPEATS,
                                  prepare=native.NumericAccumulator),
                        "the loop without the copy")
        table.print()
        print_ratios("Ratios (time / time; a goal is an upper bound):", [
            ("update_arrow / cast + update_f64", arrow, copy, 1.0),
            ("update_arrow / update_f64 on the copy", arrow, f64, None),
        ])
