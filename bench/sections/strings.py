"""Strings section: StringAccumulator.update_utf8 against the bare string hash loop,
pyarrow.compute and Apache DataSketches."""

from __future__ import annotations

from pathlib import Path

import numpy as np

from harness import (LOOP_SUBSAMPLE, PEER_REPEATS, SEED, TESSARY_REPEATS, Table, best_time,
                     optional_import, print_ratios, run_floor, scaled_loop_time, vs_part, vs_peer,
                     zipf_strings)


def run(native, n, workdir):
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
