"""What every benchmark section shares: timing, the printed tables and ratios,
the machine context, the floor program and the generated inputs."""

from __future__ import annotations

import importlib.metadata
import math
import os
import platform
import shutil
import subprocess
import sys
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
    print(f"  Python {platform.python_version()}; tessary {native.__version__} {native.backend_info()}")
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
# Generated inputs shared by several sections


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
