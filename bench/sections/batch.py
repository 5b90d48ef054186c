"""Batch section: ArrowBatchProfileAccumulator.update on 8 numeric columns against
8 x the moments floor, pyarrow.compute, DuckDB and polars."""

from __future__ import annotations

import numpy as np

from harness import (LEVELS, PEER_REPEATS, SEED, TESSARY_REPEATS, Table, best_time, floor_kernel,
                     optional_import, print_ratios, vs_peer)


def numeric_batch(rows, rng):
    """A record batch of 8 numeric columns: float64, float32, int64, int32,
    each without and with ~10% nulls."""
    import pyarrow as pa

    base = {
        "f64": rng.standard_normal(rows),
        "f32": rng.standard_normal(rows).astype(np.float32),
        "i64": rng.integers(-1_000_000, 1_000_000, rows, dtype=np.int64),
        "i32": rng.integers(-1_000, 1_000, rows, dtype=np.int32),
    }
    columns, names = [], []
    for name, values in base.items():
        columns.append(pa.array(values))
        names.append(name)
        columns.append(pa.array(values, mask=rng.random(rows) < 0.1))
        names.append(name + "_nulls")
    return pa.RecordBatch.from_arrays(columns, names=names), base["f64"]


def run(native, rows, workdir):
    pa = optional_import("pyarrow")
    if pa is None:
        print("\n== Batch: skipped (pyarrow is not installed) ==")
        return
    import pyarrow.compute as pc

    batch, f64_values = numeric_batch(rows, np.random.default_rng(SEED + 2))
    width = batch.num_columns
    cells = rows * width
    table = Table(f"Batch: {rows:,} rows x {width} numeric columns (f64, f32, i64, i32; "
                  "with and without ~10% nulls)", cells, unit="value")

    floor_single = floor_kernel(f64_values, workdir)
    floor_ns = table.add("floor", f"floor: {width} x moments loop on {rows:,} doubles (C++)",
                         floor_single * cells / 1e9)

    table.add("tessary", "tessary ArrowBatchProfileAccumulator.update",
              best_time(lambda acc: acc.update(batch), TESSARY_REPEATS,
                        prepare=native.ArrowBatchProfileAccumulator),
              "new accumulator per repetition")

    have_moments = all(hasattr(pc, f) for f in ("skew", "kurtosis"))

    def pyarrow_profile():
        out = []
        for column in batch.columns:
            out.append((pc.min_max(column), pc.mean(column), pc.variance(column, ddof=1),
                        pc.tdigest(column, q=LEVELS)))
            if have_moments:
                out.append((pc.skew(column), pc.kurtosis(column)))
        return out

    pa_note = "min_max, mean, variance, " + ("skew, kurtosis, " if have_moments else "") + "tdigest(7)"
    table.add("pyarrow", "pyarrow.compute per column", best_time(pyarrow_profile, PEER_REPEATS), pa_note)

    duckdb = optional_import("duckdb")
    if duckdb is None:
        table.skip("DuckDB SUMMARIZE", "not installed")
    else:
        con = duckdb.connect()
        con.execute("SET enable_progress_bar = false")
        con.register("tbl", pa.Table.from_batches([batch]))
        threads = con.sql("SELECT current_setting('threads')").fetchall()[0][0]
        table.add("duckdb", "DuckDB SUMMARIZE (full fetch)",
                  best_time(lambda: con.sql("SUMMARIZE SELECT * FROM tbl").fetchall(), PEER_REPEATS),
                  f"{threads} threads; approx_unique, 3 quantiles, no skew/kurtosis")
        con.close()

    pl = optional_import("polars")
    if pl is None:
        table.skip("polars describe", "not installed")
    else:
        convert = best_time(lambda: pl.from_arrow(batch), PEER_REPEATS)
        frame = pl.from_arrow(batch)
        table.add("polars", "polars DataFrame.describe(7 percentiles)",
                  best_time(lambda: frame.describe(percentiles=LEVELS), PEER_REPEATS),
                  f"prebuilt DataFrame; pl.from_arrow adds {convert * 1e9 / cells:.2f} ns/value; "
                  f"{pl.thread_pool_size()} threads")
    table.print()

    ns = table.ns
    tessary = ns["tessary"]
    print_ratios("Ratios (time / time; a goal is an upper bound):", [
        (f"update / ({width} x moments floor)", tessary, floor_ns, 1.0),
        (f"update / ({width} x moments floor), stretch goal", tessary, floor_ns, 0.5),
        vs_peer("update / pyarrow.compute", tessary, ns.get("pyarrow")),
        vs_peer("update / DuckDB SUMMARIZE", tessary, ns.get("duckdb")),
        vs_peer("update / polars describe", tessary, ns.get("polars")),
    ])
