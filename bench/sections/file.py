"""File section: tessary.profile(path) end to end on a Parquet file against reading
it alone, the engine wired by hand for the same information, DuckDB and polars."""

from __future__ import annotations

import math
import os
from pathlib import Path

import numpy as np
import tessary

from harness import (LEVELS, PEER_REPEATS, SEED, Table, best_time, optional_import, print_ratios,
                     vs_part, vs_peer, write_parquet)


def run(native, rows, workdir):
    pa = optional_import("pyarrow")
    if pa is None:
        print("\n== File: skipped (pyarrow is not installed) ==")
        return
    import pyarrow.parquet as pq

    path = str(Path(workdir) / "profile.parquet")
    write_parquet(path, rows, np.random.default_rng(SEED + 3))
    size = os.path.getsize(path)
    table = Table(f"File: tessary.profile on Parquet, {rows:,} rows x 9 columns (4 float64, "
                  f"4 int64, 1 string), row groups of 500,000, {size / 2**20:.0f} MiB", rows,
                  unit="row")

    def read_alone():
        for _ in pq.ParquetFile(path).iter_batches(batch_size=1 << 20):
            pass

    def by_hand():
        numeric = {}
        strings = native.StringAccumulator()
        for batch in pq.ParquetFile(path).iter_batches(batch_size=1 << 20):
            for name, column in zip(batch.schema.names, batch.columns):
                if pa.types.is_string(column.type):
                    validity, offsets, data = column.buffers()
                    strings.update_utf8(np.frombuffer(data, np.uint8),
                                        np.frombuffer(offsets, np.int32), len(column),
                                        None if validity is None else np.frombuffer(validity, np.uint8),
                                        column.offset)
                    continue
                acc = numeric.setdefault(name, native.NumericAccumulator())
                acc.update_f64(np.asarray(column.cast(pa.float64()).fill_null(math.nan)))
        return [acc.snapshot() for acc in numeric.values()], strings.snapshot()

    def batch_path():
        acc = native.ArrowBatchProfileAccumulator()
        for batch in pq.ParquetFile(path).iter_batches(batch_size=1 << 20):
            acc.update(batch)
        return acc.snapshot()

    read = table.add("read", "pyarrow: read the file alone (iter_batches)",
                     best_time(read_alone, PEER_REPEATS))
    table.add("batch", "ArrowBatchProfileAccumulator per batch",
              best_time(batch_path, PEER_REPEATS), "moments and quantiles only")
    hand = table.add("hand", "engine by hand: cast f64 + NaN, Numeric/String acc.",
                     best_time(by_hand, PEER_REPEATS), "same information as the report")
    ours = table.add("tessary", "tessary.profile(path)",
                     best_time(lambda: tessary.profile(path), PEER_REPEATS),
                     "the table engine")
    duckdb = optional_import("duckdb")
    if duckdb is None:
        table.skip("DuckDB SUMMARIZE", "not installed")
    else:
        con = duckdb.connect()
        con.execute("SET enable_progress_bar = false")
        table.add("duckdb", "DuckDB SUMMARIZE of read_parquet(path)",
                  best_time(lambda: con.sql(f"SUMMARIZE SELECT * FROM read_parquet('{path}')")
                            .fetchall(), PEER_REPEATS))
        con.close()
    pl = optional_import("polars")
    if pl is None:
        table.skip("polars describe", "not installed")
    else:
        table.add("polars", "polars read_parquet(path).describe(7 levels)",
                  best_time(lambda: pl.read_parquet(path).describe(percentiles=LEVELS),
                            PEER_REPEATS))
    table.print()
    ns = table.ns
    print_ratios("Ratios (time / time; a goal is an upper bound):", [
        ("tessary.profile / by hand", ours, hand, 0.9),
        vs_part("profile / reading alone", ours, read),
        vs_peer("profile / DuckDB SUMMARIZE", ours, ns.get("duckdb")),
        vs_peer("profile / polars describe", ours, ns.get("polars")),
    ])
