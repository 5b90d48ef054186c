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

Every time is the best of a few repetitions (time.perf_counter). Sections
whose tessary entry point is missing are skipped; missing peers are listed as
such. Nothing here asserts on timings.
"""

from __future__ import annotations

import argparse
import importlib.metadata
import math
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
BUILD_DIR = ROOT / "build" / "bench"
FLOOR_EXE = BUILD_DIR / "bench" / "tessary_bench_floor"
LEVELS = [0.01, 0.05, 0.25, 0.5, 0.75, 0.95, 0.99]
SEED = 20240611

TESSARY_REPEATS = 5
PEER_REPEATS = 3
# Per-element Python loops of peers without a batch update run on this many
# elements; their time is scaled linearly to the full size.
LOOP_SUBSAMPLE = 1_000_000


# ---------------------------------------------------------------------------
# Helpers


def best_time(run, repeats, prepare=None):
    """Best wall time in seconds of `run` over `repeats` calls.

    With `prepare`, each repetition first calls prepare() outside the timed
    region and passes its result to run().
    """
    best = math.inf
    for _ in range(repeats):
        arg = prepare() if prepare is not None else None
        start = time.perf_counter()
        if prepare is not None:
            run(arg)
        else:
            run()
        best = min(best, time.perf_counter() - start)
    return best


def scaled_loop_time(loop, items, total, repeats=1):
    """Time of a per-item Python loop over `items`, scaled to `total` items."""
    seconds = best_time(lambda: loop(items), repeats)
    return seconds * total / len(items)


def module_version(name):
    try:
        return importlib.metadata.version(name)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"


def optional_import(name):
    try:
        return __import__(name)
    except ImportError:
        return None


class Table:
    """Rows of (label, ns per element, note), printed with ratios to a base."""

    def __init__(self, title, elements, unit="element"):
        self.title = title
        self.elements = elements
        self.unit = unit
        self.rows = []
        self.ns = {}

    def add(self, key, label, seconds, note=""):
        ns = seconds * 1e9 / self.elements
        self.ns[key] = ns
        self.rows.append((label, ns, note))
        return ns

    def skip(self, label, reason):
        self.rows.append((label, None, reason))

    def print(self):
        print()
        print(f"== {self.title} ==")
        print(f"  {'':<50} {'ns/' + self.unit:>14}")
        for label, ns, note in self.rows:
            value = f"{ns:14.2f}" if ns is not None else f"{'-':>14}"
            print(f"  {label:<50} {value}  {note}".rstrip())


def print_ratios(title, ratios):
    """ratios: (label, numerator ns or None, denominator ns or None, goal)."""
    print()
    print(f"  {title}")
    for label, num, den, goal in ratios:
        if num is None or den is None:
            print(f"    {label:<58} {'n/a':>7}")
            continue
        ratio = num / den
        verdict = ""
        if goal is not None:
            verdict = f"goal <= {goal:.2f}: {'met' if ratio <= goal else 'NOT met'}"
        print(f"    {label:<58} {ratio:7.3f}   {verdict}".rstrip())


def vs_peer(label, tessary_ns, peer_ns):
    """A ratio tessary / peer computing the same information, with the goal 'faster' (< 1)."""
    return (f"tessary {label}", tessary_ns, peer_ns, 1.0)


def vs_part(label, tessary_ns, part_ns):
    """A ratio tessary / one part of a peer's work: for reading, no goal."""
    return (f"tessary {label}", tessary_ns, part_ns, None)


# ---------------------------------------------------------------------------
# Machine context and the floor program


def print_context(native):
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    print("tessary benchmark")
    print(f"  CPU: {cpu}; {os.cpu_count()} logical cores; {platform.machine()}, {platform.system()}")
    print(f"  Python {platform.python_version()}; tessary {getattr(native, '__version__', '?')} "
          f"{native.backend_info() if hasattr(native, 'backend_info') else ''}")
    print("  " + ", ".join(f"{name} {module_version(name)}"
                           for name in ("numpy", "pyarrow", "datasketches", "polars", "duckdb")))
    threads = os.environ.get("TESSARY_NUM_THREADS", "unset: all cores")
    print(f"  Threads: tessary uses TESSARY_NUM_THREADS ({threads}) for long inputs; NumPy, "
          "DataSketches and the floor run on one thread; pyarrow.compute,")
    print("  DuckDB and polars may use several threads (this machine has "
          f"{os.cpu_count()} cores), so all times are wall times.")
    coretype = os.environ.get("OPENBLAS_CORETYPE")
    if coretype:
        print(f"  Note: OPENBLAS_CORETYPE={coretype} is set; it only affects BLAS calls, and "
              "NumPy's mean/var/min/max/quantile/unique do not use BLAS.")


def build_floor():
    """Configures and builds the floor program; returns its path."""
    configure = ["cmake", "-S", str(ROOT), "-B", str(BUILD_DIR),
                 "-DCMAKE_BUILD_TYPE=Release", "-DTESSARY_BUILD_MODULE=OFF",
                 "-DTESSARY_BUILD_BENCH=ON", "-DTESSARY_BUILD_TESTS=OFF"]
    if not (BUILD_DIR / "CMakeCache.txt").exists() and shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    build = ["cmake", "--build", str(BUILD_DIR), "--target", "tessary_bench_floor", "-j2"]
    for command in (configure, build):
        result = subprocess.run(command, capture_output=True, text=True)
        if result.returncode != 0:
            sys.stdout.write(result.stdout)
            sys.stderr.write(result.stderr)
            sys.exit(f"bench: building the floor program failed: {' '.join(command)}")
    print(f"  Floor program: {FLOOR_EXE.relative_to(ROOT)} (Release, -ffp-contract=off "
          "-fno-fast-math, the module's flags)")
    return FLOOR_EXE


def run_floor(*args):
    """Runs the floor program; returns (best ns per element, checksum)."""
    result = subprocess.run([str(FLOOR_EXE), *map(str, args)], capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"bench: floor program failed: {result.stderr.strip()}")
    fields = dict(part.split("=", 1) for part in result.stdout.split()[1:])
    return float(fields["best_ns_per_element"]), fields["checksum"]


def floor_kernel(values, workdir, kernel="moments"):
    """Best ns per value of a floor-program kernel (default: the bare moments loop) on `values`."""
    path = Path(workdir) / "values.f64"
    np.ascontiguousarray(values, dtype="<f8").tofile(path)
    ns, _ = run_floor(kernel, path, TESSARY_REPEATS)
    path.unlink()
    return ns


# ---------------------------------------------------------------------------
# Numeric section


def numeric_shapes(n):
    rng = np.random.default_rng(SEED)
    yield "normal(0,1)", rng.standard_normal(n)
    yield "1,000 distinct values (integers 0..999 / 7)", rng.integers(0, 1000, n) / 7.0


def bench_numeric(native, n, workdir):
    for shape, x in numeric_shapes(n):
        table = Table(f"Numeric: {n:,} float64 values, {shape}", n)
        floor_ns = table.add("floor", "floor: bare NumericState loop (C++)",
                             floor_kernel(x, workdir) * n / 1e9,
                             "latency bound: serial chain, one division per value")

        if hasattr(native, "numeric_state_f64"):
            table.add("state", "tessary numeric_state_f64",
                      best_time(lambda: native.numeric_state_f64(x), TESSARY_REPEATS))
        if hasattr(native, "numeric_profile_f64"):
            table.add("profile", "tessary numeric_profile_f64",
                      best_time(lambda: native.numeric_profile_f64(x), TESSARY_REPEATS))
        if hasattr(native, "NumericAccumulator"):
            table.add("accumulator", "tessary NumericAccumulator.update_f64",
                      best_time(lambda acc: acc.update_f64(x), TESSARY_REPEATS,
                                prepare=native.NumericAccumulator),
                      "new accumulator per repetition")

        def numpy_moments():
            return x.mean(), x.var(ddof=1), x.min(), x.max()

        def numpy_top32():
            values, counts = np.unique(x, return_counts=True)
            top = np.argsort(-counts, kind="stable")[:32]
            return len(values), values[top], counts[top]

        np_moments = table.add("np_moments", "NumPy mean+var+min+max",
                               best_time(numpy_moments, PEER_REPEATS))
        np_quantiles = table.add("np_quantiles", "NumPy quantile (7 levels, exact)",
                                 best_time(lambda: np.quantile(x, LEVELS), PEER_REPEATS))
        np_unique = table.add("np_unique", "NumPy unique(return_counts) + argsort top-32",
                              best_time(numpy_top32, PEER_REPEATS))
        table.add("np_total", "NumPy (same information)", (np_moments + np_quantiles + np_unique) * n / 1e9,
                  "sum of the three; no skewness/kurtosis")

        ds = optional_import("datasketches")
        if ds is None:
            table.skip("Apache DataSketches", "not installed")
        else:
            def kll():
                sketch = ds.kll_doubles_sketch(200)
                sketch.update(x)  # batch update from the NumPy array
                return sketch.get_quantiles(LEVELS)

            sub = x[:min(n, LOOP_SUBSAMPLE)].tolist()

            def hll(items):
                sketch = ds.hll_sketch(12, ds.tgt_hll_type.HLL_8)
                for v in items:
                    sketch.update(v)
                return sketch.get_estimate()

            def frequent(items):
                sketch = ds.frequent_items_sketch(6)
                for v in items:
                    sketch.update(v)
                return sketch.get_frequent_items(ds.frequent_items_error_type.NO_FALSE_POSITIVES)

            scaled = f"Python loop on {len(sub):,} values, scaled x{n / len(sub):g}"
            ds_kll = table.add("ds_kll", "DataSketches KLL k=200 (batch update) + 7 quantiles",
                               best_time(kll, PEER_REPEATS))
            ds_hll = table.add("ds_hll", "DataSketches HLL lg_k=12 HLL_8",
                               scaled_loop_time(hll, sub, n), scaled)
            ds_fi = table.add("ds_fi", "DataSketches frequent_items lg_max_k=6",
                              scaled_loop_time(frequent, sub, n), scaled)
            table.add("ds_total", "DataSketches (KLL + HLL + frequent items)",
                      (ds_kll + ds_hll + ds_fi) * n / 1e9)
        table.print()

        ns = table.ns
        profile = ns.get("profile")
        print_ratios("Ratios (time / time; a goal is an upper bound):", [
            ("numeric_state_f64 / floor", ns.get("state"), floor_ns, 1.10),
            ("numeric_profile_f64 / floor", profile, floor_ns, 1.5),
            ("NumericAccumulator.update_f64 / floor", ns.get("accumulator"), floor_ns, None),
            ("tessary numeric_state_f64 / NumPy mean+var+min+max", ns.get("state"), np_moments, None),
            vs_part("profile / NumPy quantile", profile, np_quantiles),
            vs_part("profile / NumPy unique + top-32", profile, np_unique),
            vs_peer("profile / NumPy (same information)", profile, ns.get("np_total")),
            vs_part("profile / DataSketches KLL", profile, ns.get("ds_kll")),
            vs_part("profile / DataSketches HLL (scaled)", profile, ns.get("ds_hll")),
            vs_part("profile / DataSketches frequent items (scaled)", profile, ns.get("ds_fi")),
            vs_peer("profile / DataSketches total", profile, ns.get("ds_total")),
        ])


def bench_update_arrow(native, n):
    """NumericAccumulator.update_arrow, reading an Arrow column in place, against the
    float64 copy it replaces (cast, nulls filled with NaN, then update_f64)."""
    pa = optional_import("pyarrow")
    if pa is None or not hasattr(native.NumericAccumulator, "update_arrow"):
        print("\n== Arrow columns: skipped (needs pyarrow and NumericAccumulator.update_arrow) ==")
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


# ---------------------------------------------------------------------------
# String section


def zipf_strings(n, distinct, rng):
    """An Arrow string array of n rows drawn from `distinct` values of 1 to 16
    ASCII bytes with a Zipf-like (rank^-1.1) frequency skew, built with NumPy."""
    import pyarrow as pa

    alphabet = np.frombuffer(b"abcdefghijklmnopqrstuvwxyz0123456789", dtype=np.uint8)
    unique = {}
    while len(unique) < distinct:
        need = distinct - len(unique)
        lengths = rng.integers(1, 17, need)
        chars = alphabet[rng.integers(0, len(alphabet), (need, 16))]
        for row, length in zip(chars, lengths):
            unique.setdefault(row[:length].tobytes(), None)
    strings = list(unique)[:distinct]
    order = rng.permutation(distinct)  # rank independent of length
    table = np.zeros((distinct, 16), dtype=np.uint8)
    table_lengths = np.empty(distinct, dtype=np.int32)
    for slot, i in enumerate(order):
        s = strings[i]
        table[slot, :len(s)] = np.frombuffer(s, dtype=np.uint8)
        table_lengths[slot] = len(s)

    weights = 1.0 / np.arange(1, distinct + 1, dtype=np.float64) ** 1.1
    cdf = np.cumsum(weights)
    cdf /= cdf[-1]
    picks = np.minimum(np.searchsorted(cdf, rng.random(n), side="right"), distinct - 1)

    lengths = table_lengths[picks]
    offsets = np.zeros(n + 1, dtype=np.int32)
    np.cumsum(lengths, out=offsets[1:])
    columns = np.arange(16, dtype=np.int32)
    pieces = []
    for start in range(0, n, 1_000_000):
        chunk = picks[start:start + 1_000_000]
        pieces.append(table[chunk][columns < table_lengths[chunk, None]])
    data = np.concatenate(pieces)
    return pa.Array.from_buffers(pa.string(), n, [None, pa.py_buffer(offsets), pa.py_buffer(data)])


def bench_strings(native, n, workdir):
    if not hasattr(native, "StringAccumulator"):
        print()
        print("== Strings: skipped (tessary._native has no StringAccumulator) ==")
        return
    pa = optional_import("pyarrow")
    if pa is None:
        print("\n== Strings: skipped (pyarrow is not installed) ==")
        return
    import pyarrow.compute as pc

    distinct = 100_000
    arr = zipf_strings(n, distinct, np.random.default_rng(SEED + 1))
    table = Table(f"Strings: {n:,} UTF-8 values of 1-16 bytes, {distinct:,} distinct, Zipf-like", n)

    validity_buf, offsets_buf, data_buf = arr.buffers()
    # pyarrow buffers export the format "b" (signed char); NumPy views give the
    # unsigned-byte and int32 formats the kernel takes, without copying.
    data = np.frombuffer(data_buf, dtype=np.uint8)
    offsets = np.frombuffer(offsets_buf, dtype=np.int32)
    validity = None if validity_buf is None else np.frombuffer(validity_buf, dtype=np.uint8)
    length = len(arr)

    offsets_path = Path(workdir) / "offsets.i32"
    data_path = Path(workdir) / "data.bin"
    offsets[arr.offset:arr.offset + length + 1].astype("<i4").tofile(offsets_path)
    data.tofile(data_path)
    floor_ns, _ = run_floor("string_hash", offsets_path, data_path, TESSARY_REPEATS)
    offsets_path.unlink()
    data_path.unlink()
    table.add("floor", "floor: FNV-1a 64 + splitmix64 per row (C++)", floor_ns * n / 1e9,
              "hash only, no sketch updates")

    table.add("tessary", "tessary StringAccumulator.update_utf8",
              best_time(lambda acc: acc.update_utf8(data, offsets, length, validity,
                                                    array_offset=arr.offset),
                        TESSARY_REPEATS, prepare=native.StringAccumulator),
              "new accumulator per repetition")

    def top32():
        counts = pc.value_counts(arr)
        order = pc.array_sort_indices(counts.field("counts"), order="descending")[:32]
        return counts.take(order)

    pa_distinct = table.add("pa_distinct", "pyarrow.compute count_distinct (exact)",
                            best_time(lambda: pc.count_distinct(arr), PEER_REPEATS))
    pa_top = table.add("pa_top", "pyarrow.compute value_counts + sort, top-32 (exact)",
                       best_time(top32, PEER_REPEATS))
    table.add("pa_total", "pyarrow (same information)", (pa_distinct + pa_top) * n / 1e9)

    ds = optional_import("datasketches")
    if ds is None:
        table.skip("Apache DataSketches", "not installed")
    else:
        sub = arr.slice(0, min(n, LOOP_SUBSAMPLE)).to_pylist()
        scaled = f"Python loop on {len(sub):,} strings, scaled x{n / len(sub):g}"

        def hll(items):
            sketch = ds.hll_sketch(12, ds.tgt_hll_type.HLL_8)
            for s in items:
                sketch.update(s)
            return sketch.get_estimate()

        def frequent(items):
            sketch = ds.frequent_strings_sketch(6)
            for s in items:
                sketch.update(s)
            return sketch.get_frequent_items(ds.frequent_items_error_type.NO_FALSE_POSITIVES)

        ds_hll = table.add("ds_hll", "DataSketches HLL lg_k=12 HLL_8", scaled_loop_time(hll, sub, n), scaled)
        ds_fi = table.add("ds_fi", "DataSketches frequent_strings lg_max_k=6",
                          scaled_loop_time(frequent, sub, n), scaled)
        table.add("ds_total", "DataSketches (HLL + frequent strings)", (ds_hll + ds_fi) * n / 1e9)
    table.print()

    ns = table.ns
    tessary = ns["tessary"]
    print_ratios("Ratios (time / time; a goal is an upper bound):", [
        ("StringAccumulator.update_utf8 / hash floor", tessary, floor_ns, 1.5),
        vs_part("/ pyarrow count_distinct", tessary, pa_distinct),
        vs_part("/ pyarrow value_counts + top-32", tessary, pa_top),
        vs_peer("/ pyarrow (same information)", tessary, ns.get("pa_total")),
        vs_part("/ DataSketches HLL (scaled)", tessary, ns.get("ds_hll")),
        vs_part("/ DataSketches frequent strings (scaled)", tessary, ns.get("ds_fi")),
        vs_peer("/ DataSketches total", tessary, ns.get("ds_total")),
    ])


# ---------------------------------------------------------------------------
# Batch section


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


def bench_batch(native, rows, workdir):
    if not hasattr(native, "ArrowBatchProfileAccumulator"):
        print()
        print("== Batch: skipped (tessary._native has no ArrowBatchProfileAccumulator) ==")
        return
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


# ---------------------------------------------------------------------------
# End-to-end section


def write_parquet(path, rows, rng):
    """4 float64 and 4 int64 columns (one of each kind with ~10% nulls) and one
    string column, in row groups of 500,000 rows."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    columns = {}
    for i in range(4):
        columns[f"f{i}"] = pa.array(rng.standard_normal(rows) * (i + 1),
                                    mask=rng.random(rows) < 0.1 if i == 0 else None)
    for i in range(4):
        columns[f"i{i}"] = pa.array(rng.integers(-10 ** (i + 2), 10 ** (i + 2), rows),
                                    mask=rng.random(rows) < 0.1 if i == 0 else None)
    columns["s"] = zipf_strings(rows, 10_000, rng)
    pq.write_table(pa.table(columns), path, row_group_size=500_000)


def bench_file(native, rows, workdir):
    pa = optional_import("pyarrow")
    tessary = optional_import("tessary")
    if pa is None or not hasattr(tessary, "profile"):
        print("\n== File: skipped (needs pyarrow and tessary.profile) ==")
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
                     "update_arrow" if hasattr(native.NumericAccumulator, "update_arrow")
                     else "numeric columns through the float64 fallback")
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


# ---------------------------------------------------------------------------
# Threads: the same work with TESSARY_NUM_THREADS=1 and =2, each in its own process (the pool
# is sized once per process)

THREADED_WORK = """
import os, sys, time, math
import numpy as np, pyarrow as pa, tessary
from tessary import _native
what, n, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
rng = np.random.default_rng(%d)
if what == "profile":
    x = rng.standard_normal(n)
    run = lambda: _native.numeric_profile_f64(x)
elif what == "batch":
    batch = pa.record_batch({f"c{i}": rng.standard_normal(n) for i in range(8)})
    run = lambda: _native.ArrowBatchProfileAccumulator().update(batch)
elif what == "strings":
    import pyarrow.parquet as pq
    s = pq.read_table(path, columns=["s"]).column("s").combine_chunks()
    validity, offsets, data = s.buffers()
    args = (np.frombuffer(data, np.uint8), np.frombuffer(offsets, np.int32), len(s),
            None if validity is None else np.frombuffer(validity, np.uint8), s.offset)
    run = lambda: _native.StringAccumulator().update_utf8(*args)
elif what == "read_cpu":  # the reading of tessary.profile(path) alone, in CPU seconds of all threads
    from tessary import _inputs
    def run():
        for _ in _inputs.prefetched(_inputs.source(path, None).batches):
            pass
elif what == "engine":  # tessary.profile(path) on batches already read
    from tessary import _inputs
    table = pa.Table.from_batches(list(_inputs.source(path, None).batches))
    run = lambda: tessary.Profiler().update(table)
else:
    run = lambda: tessary.profile(path)
clock = time.process_time if what == "read_cpu" else time.perf_counter
best = math.inf
for _ in range(%d):
    start = clock(); run(); best = min(best, clock() - start)
print(best)
""" % (SEED, TESSARY_REPEATS)


def threaded_time(what, n, path, threads):
    result = subprocess.run([sys.executable, "-c", THREADED_WORK, what, str(n), path],
                            capture_output=True, text=True,
                            env=dict(os.environ, TESSARY_NUM_THREADS=str(threads)))
    if result.returncode != 0:
        sys.exit(f"bench: threaded run failed: {result.stderr.strip()}")
    return float(result.stdout)


def bench_threads(native, elements, batch_rows, file_rows, workdir):
    rng = np.random.default_rng(SEED)
    values = rng.standard_normal(elements)
    floor_ns = floor_kernel(values, workdir)
    halves_ns = [floor_kernel(values, workdir, kernel) for kernel in ("moments_and_reservoir", "other_sketches")]
    batch_floor_ns = floor_kernel(np.random.default_rng(SEED).standard_normal(batch_rows), workdir)
    path = str(Path(workdir) / "threads.parquet")
    write_parquet(path, file_rows, np.random.default_rng(SEED + 3))
    rows = {}
    read_cpu_ns = threaded_time("read_cpu", file_rows, path, 1) * 1e9 / file_rows
    engine_ns = threaded_time("engine", file_rows, path, 1) * 1e9 / file_rows
    for threads in (1, 2, 4):
        rows[threads] = (threaded_time("profile", elements, path, threads) * 1e9 / elements,
                         threaded_time("batch", batch_rows, path, threads) * 1e9 / batch_rows,
                         threaded_time("strings", file_rows, path, threads) * 1e9 / file_rows,
                         threaded_time("file", file_rows, path, threads) * 1e9 / file_rows)
    print()
    print(f"== Threads: TESSARY_NUM_THREADS=1, 2 and 4 ({os.cpu_count()} cores) ==")
    print(f"  {'threads':>7} {'numeric_profile_f64':>20} {'8-column batch':>15} {'update_utf8':>12} "
          f"{'tessary.profile(path)':>22}   (ns per value or row)")
    for threads, (profile, batch, strings, file) in rows.items():
        print(f"  {threads:>7} {profile:>20.2f} {batch:>15.2f} {strings:>12.2f} {file:>22.2f}")
    print(f"  numeric_profile_f64 on two threads folds the moments and feeds the reservoir on one "
          f"({halves_ns[0]:.2f} ns/value alone, C++; the moments floor is {floor_ns:.2f}) and feeds the other "
          f"three sketches on the other ({halves_ns[1]:.2f} ns/value alone)")
    print(f"  tessary.profile(path) on one engine thread: reading the file takes {read_cpu_ns:.1f} ns/row of CPU "
          f"(pyarrow, on every core), the engine {engine_ns:.1f} ns/row on batches already read; two cores can "
          f"do both in no less than {(read_cpu_ns + engine_ns) / 2:.1f} ns/row")
    (p1, b1, s1, f1), (p2, b2, s2, f2) = rows[1], rows[2]
    print_ratios("Ratios (time / time; a goal is an upper bound):", [
        (f"numeric_profile_f64, 1 thread / moments floor ({elements:,})", p1, floor_ns, None),
        ("numeric_profile_f64, 2 threads / moments floor", p2, floor_ns, 1.3),
        ("slower half alone / moments floor (bounds the 2-thread figure)", max(halves_ns), floor_ns, None),
        (f"8-column batch of {batch_rows:,} rows, 1 thread / (8 x floor)", b1, 8 * batch_floor_ns, None),
        ("8-column batch, 2 threads / (8 x floor)", b2, 8 * batch_floor_ns, 0.55),
        (f"update_utf8 on the file's string column, 2 threads / 1 thread", s2, s1, None),
        (f"tessary.profile(path) {file_rows:,} rows, 2 threads / 1 thread", f2, f1, 0.6),
        ("  its bound on two cores: (reading CPU + engine) / 2 / 1 thread", (read_cpu_ns + engine_ns) / 2, f1, None),
    ])


# ---------------------------------------------------------------------------
# Beyond one process: tessary.dask and tessary.spark against tessary.profile


def bench_distributed(rows, workdir):
    pa = optional_import("pyarrow")
    tessary = optional_import("tessary")
    if pa is None or not hasattr(tessary, "Profiler"):
        print("\n== Distributed: skipped (needs pyarrow and tessary) ==")
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
        import tessary.dask

        with dask.config.set(scheduler="processes", num_workers=os.cpu_count()):
            table.add("dask", "tessary.dask.profile(dd.read_parquet), process scheduler",
                      best_time(lambda: tessary.dask.profile(dd.read_parquet(str(folder))), 1))
    except ImportError:
        table.skip("tessary.dask", "dask is not installed")
    try:
        from pyspark.sql import SparkSession

        import tessary.spark

        os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
        spark = (SparkSession.builder.master(f"local[{os.cpu_count()}]").appName("tessary-bench")
                 .config("spark.ui.enabled", "false").getOrCreate())
        spark.sparkContext.setLogLevel("ERROR")
        try:
            df = spark.read.parquet(str(folder))
            table.add("spark", "tessary.spark.profile(spark.read.parquet), local session",
                      best_time(lambda: tessary.spark.profile(df), 1), "session already started")
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


# ---------------------------------------------------------------------------


def bench_wide(cells):
    """tessary.profile on float64 tables of one size and three shapes: the per-value cost of
    a wide table against that of a long one shows what each column costs on top of its values."""
    pa = optional_import("pyarrow")
    tessary = optional_import("tessary")
    if pa is None:
        print("\n== Wide tables: skipped (needs pyarrow) ==")
        return
    rng = np.random.default_rng(SEED + 5)
    shapes = [(cells // 8, 8), (cells // 1_000, 1_000), (cells // 10_000, 10_000)]
    print(f"\n== Wide tables: tessary.profile on {cells:,} float64 values in three shapes ==")
    per_value = {}
    for rows, width in shapes:
        values = rng.standard_normal((width, rows))
        table = pa.table({f"c{i}": values[i] for i in range(width)})
        seconds = best_time(lambda: tessary.profile(table), TESSARY_REPEATS)
        per_value[(rows, width)] = seconds / (rows * width) * 1e9
        print(f"  {rows:>10,} x {width:>6,}: {per_value[(rows, width)]:6.2f} ns/value")
    base = per_value[shapes[0]]
    for shape in shapes[1:]:
        print(f"  {shape[0]:,} x {shape[1]:,} per value / {shapes[0][0]:,} x 8: "
              f"{per_value[shape] / base:.2f}x")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="smaller inputs (1,000,000 values, 200,000 batch rows) for a smoke run")
    parser.add_argument("--only", choices=("numeric", "arrow", "strings", "batch", "file", "threads",
                                           "distributed", "wide"),
                        help="run one section only")
    args = parser.parse_args(argv)

    from tessary import _native as native

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
            bench_numeric(native, elements, workdir)
        if args.only in (None, "arrow"):
            bench_update_arrow(native, elements)
        if args.only in (None, "strings"):
            bench_strings(native, elements, workdir)
        if args.only in (None, "batch"):
            bench_batch(native, batch_rows, workdir)
        if args.only in (None, "file"):
            bench_file(native, 1_000_000 if args.quick else 5_000_000, workdir)
        if args.only in (None, "threads"):
            bench_threads(native, elements, batch_rows, 1_000_000 if args.quick else 5_000_000,
                          workdir)
        if args.only in (None, "wide"):
            bench_wide(2_000_000 if args.quick else 20_000_000)
        if args.only in (None, "distributed"):
            bench_distributed(2_000_000 if args.quick else 20_000_000, workdir)
    print()
    print(f"Total benchmark time: {time.perf_counter() - started:.1f} s")


if __name__ == "__main__":
    main()
