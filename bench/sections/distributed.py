"""Distributed section: tessary.dask and tessary.spark against tessary.profile of the
same Parquet folder in one process, and the size and cost of Profiler.to_bytes."""

from __future__ import annotations

import os
import sys
from pathlib import Path

import numpy as np
import tessary

from harness import SEED, TESSARY_REPEATS, Table, best_time, optional_import, print_ratios, write_parquet


def run(rows, workdir):
    pa = optional_import("pyarrow")
    if pa is None:
        print("\n== Distributed: skipped (pyarrow is not installed) ==")
        return
    import pyarrow.dataset as ds

    folder = Path(workdir) / "lake"
    folder.mkdir()
    parts = 8
    rng = np.random.default_rng(SEED + 4)
    for i in range(parts):
        write_parquet(str(folder / f"part-{i}.parquet"), rows // parts, rng)
    table = Table(f"Distributed: {rows:,} rows x 9 columns in {parts} Parquet files", rows, unit="row")
    single = table.add("single", "tessary.profile(pyarrow dataset), one process",
                       best_time(lambda: tessary.profile(ds.dataset(str(folder))), 1))
    try:
        import dask
        import dask.dataframe as dd
        from tessary import dask as tessary_dask

        with dask.config.set(scheduler="processes", num_workers=os.cpu_count()):
            table.add("dask", "tessary.dask.profile(dd.read_parquet), process scheduler",
                      best_time(lambda: tessary_dask.profile(dd.read_parquet(str(folder))), 1))
    except ImportError:
        table.skip("tessary.dask", "dask is not installed")
    try:
        from pyspark.sql import SparkSession

        from tessary import spark as tessary_spark

        os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
        spark = (SparkSession.builder.master(f"local[{os.cpu_count()}]").appName("tessary-bench")
                 .config("spark.ui.enabled", "false").getOrCreate())
        spark.sparkContext.setLogLevel("ERROR")
        try:
            df = spark.read.parquet(str(folder))
            table.add("spark", "tessary.spark.profile(spark.read.parquet), local session",
                      best_time(lambda: tessary_spark.profile(df), 1), "session already started")
        finally:
            spark.stop()
    except ImportError:
        table.skip("tessary.spark", "pyspark is not installed")
    table.print()
    ns = table.ns
    print_ratios("Ratios (time / time):", [
        ("tessary.dask.profile / tessary.profile", ns.get("dask"), single, None),
        ("tessary.spark.profile / tessary.profile", ns.get("spark"), single, None),
    ])
    profiler = tessary.Profiler()
    profiler.update({f"c{i}": np.random.default_rng(i).standard_normal(200_000) for i in range(100)})
    data = profiler.to_bytes()
    encode = best_time(profiler.to_bytes, TESSARY_REPEATS)
    decode = best_time(lambda: tessary.Profiler.from_bytes(data), TESSARY_REPEATS)
    print(f"\n  A profile of 100 numeric columns: {len(data) / 1024:.0f} KiB; to_bytes "
          f"{encode * 1e6 / 100:.1f} us and from_bytes {decode * 1e6 / 100:.1f} us per column")
