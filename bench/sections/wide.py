"""Wide tables section: tessary.profile on float64 tables of one size in three shapes."""

from __future__ import annotations

import math

import numpy as np
import tessary

from harness import SEED, TESSARY_REPEATS, best_time, optional_import


def run(cells):
    """tessary.profile on float64 tables of one size and three shapes: the per-value cost of
    a wide table against that of a long one shows what each column costs on top of its values."""
    pa = optional_import("pyarrow")
    if pa is None:
        print("\n== Wide tables: skipped (needs pyarrow) ==")
        return
    rng = np.random.default_rng(SEED + 5)
    shapes = [(cells // 8, 8), (cells // 1_000, 1_000), (cells // 10_000, 10_000)]
    print(f"\n== Wide tables: tessary.profile on {cells:,} float64 values in three shapes ==")
    tables = {}
    for rows, width in shapes:
        values = rng.standard_normal((width, rows))
        tables[(rows, width)] = pa.table({f"c{i}": values[i] for i in range(width)})
    # The shapes take turns, so that a slower spell of the machine touches each alike.
    best = dict.fromkeys(shapes, math.inf)
    for _ in range(TESSARY_REPEATS):
        for shape in shapes:
            best[shape] = min(best[shape], best_time(lambda: tessary.profile(tables[shape]), 1))
    per_value = {(rows, width): best[(rows, width)] / (rows * width) * 1e9 for rows, width in shapes}
    for rows, width in shapes:
        print(f"  {rows:>10,} x {width:>6,}: {per_value[(rows, width)]:6.2f} ns/value")
    base = per_value[shapes[0]]
    for shape in shapes[1:]:
        print(f"  {shape[0]:,} x {shape[1]:,} per value / {shapes[0][0]:,} x 8: "
              f"{per_value[shape] / base:.2f}x")
