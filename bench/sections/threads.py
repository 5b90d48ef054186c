"""Threads section: the same work with TESSARY_NUM_THREADS=1, 2 and 4, each in its
own process (the pool is sized once per process)."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import numpy as np

from harness import SEED, TESSARY_REPEATS, floor_kernel, print_ratios, write_parquet


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


def run(elements, batch_rows, file_rows, workdir):
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
