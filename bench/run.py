#!/usr/bin/env python3
"""Benchmark of tessary against a C++ floor and against peer libraries.

Usage: python3 bench/run.py [--quick] [--only numeric|arrow|strings|batch|file|threads|wide|distributed]

Builds the floor program (bench/floor.cpp) with CMake in build/bench, using
the flags of the extension module, then times in one run:

  numeric  float64 profiling (numeric_state_f64, numeric_profile_f64,
           NumericAccumulator.update_f64) against the bare NumericState loop,
           NumPy and Apache DataSketches;
  arrow    NumericAccumulator.update_arrow on an int64 and a nullable float64
           column against casting to float64, then update_f64;
  strings  StringAccumulator.update_utf8 against the bare string hash loop,
           pyarrow.compute and DataSketches;
  batch    ArrowBatchProfileAccumulator.update against 8 x the moments floor,
           pyarrow.compute, DuckDB SUMMARIZE and polars describe();
  file     tessary.profile(path) end to end on a Parquet file of 5,000,000 rows
           against reading it alone, today's engine wired by hand for the same
           information, DuckDB SUMMARIZE and polars describe();
  threads  numeric_profile_f64, an 8-column batch and tessary.profile(path) with
           TESSARY_NUM_THREADS=1 and 2, against the moments floor and each other;
  distributed  tessary.dask.profile and tessary.spark.profile of a 20,000,000-row
           Parquet folder against tessary.profile of the same data in one process,
           and the size and cost of a 100-column Profiler.to_bytes.

Every time is the best of a few repetitions (time.perf_counter). Missing peers
are listed as such. Nothing here asserts on timings. bench/harness.py holds what
the sections share; each section is a module of bench/sections/.
"""

from __future__ import annotations

import argparse
import tempfile
import time


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="smaller inputs (1,000,000 values, 200,000 batch rows) for a smoke run")
    parser.add_argument("--only", choices=("numeric", "arrow", "strings", "batch", "file", "threads",
                                           "distributed", "wide"),
                        help="run one section only")
    args = parser.parse_args(argv)

    # Imported once the command line is read, so that --help needs no tessary.
    from tessary import _native as native

    from harness import PEER_REPEATS, TESSARY_REPEATS, build_floor, print_context
    from sections import arrow, batch, distributed, file, numeric, strings, threads, wide

    elements = 1_000_000 if args.quick else 10_000_000
    batch_rows = 200_000 if args.quick else 1_000_000

    started = time.perf_counter()
    print_context(native)
    build_floor()
    print("  Times: best of "
          f"{TESSARY_REPEATS} (tessary, floor) or {PEER_REPEATS} (peers) repetitions; "
          "ratios are time / time.")
    print("  The moments floor is the bare NumericState recurrence: a serial dependency chain "
          "through count and mean")
    print("  with one division per value, so it is bound by instruction latency, not by "
          "memory bandwidth.")
    with tempfile.TemporaryDirectory(prefix="tessary-bench-") as workdir:
        if args.only in (None, "numeric"):
            numeric.run(native, elements, workdir)
        if args.only in (None, "arrow"):
            arrow.run(native, elements)
        if args.only in (None, "strings"):
            strings.run(native, elements, workdir)
        if args.only in (None, "batch"):
            batch.run(native, batch_rows, workdir)
        if args.only in (None, "file"):
            file.run(native, 1_000_000 if args.quick else 5_000_000, workdir)
        if args.only in (None, "threads"):
            threads.run(elements, batch_rows, 1_000_000 if args.quick else 5_000_000, workdir)
        if args.only in (None, "wide"):
            wide.run(2_000_000 if args.quick else 20_000_000)
        if args.only in (None, "distributed"):
            distributed.run(2_000_000 if args.quick else 20_000_000, workdir)
    print()
    print(f"Total benchmark time: {time.perf_counter() - started:.1f} s")


if __name__ == "__main__":
    main()
