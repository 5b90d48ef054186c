"""Numeric section: float64 profiling against the bare NumericState loop, NumPy
and Apache DataSketches."""

from __future__ import annotations

import numpy as np

from harness import (LEVELS, LOOP_SUBSAMPLE, PEER_REPEATS, SEED, TESSARY_REPEATS, Table, best_time,
                     floor_kernel, optional_import, print_ratios, scaled_loop_time, vs_part, vs_peer)


def numeric_shapes(n):
    rng = np.random.default_rng(SEED)
    yield "normal(0,1)", rng.standard_normal(n)
    yield "1,000 distinct values (integers 0..999 / 7)", rng.integers(0, 1000, n) / 7.0


def run(native, n, workdir):
    for shape, x in numeric_shapes(n):
        table = Table(f"Numeric: {n:,} float64 values, {shape}", n)
        floor_ns = table.add("floor", "floor: bare NumericState loop (C++)",
                             floor_kernel(x, workdir) * n / 1e9,
                             "latency bound: serial chain, one division per value")

        state = table.add("state", "tessary numeric_state_f64",
                          best_time(lambda: native.numeric_state_f64(x), TESSARY_REPEATS))
        profile = table.add("profile", "tessary numeric_profile_f64",
                            best_time(lambda: native.numeric_profile_f64(x), TESSARY_REPEATS))
        accumulator = table.add("accumulator", "tessary NumericAccumulator.update_f64",
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
        print_ratios("Ratios (time / time; a goal is an upper bound):", [
            ("numeric_state_f64 / floor", state, floor_ns, 1.10),
            ("numeric_profile_f64 / floor", profile, floor_ns, 1.5),
            ("NumericAccumulator.update_f64 / floor", accumulator, floor_ns, None),
            ("tessary numeric_state_f64 / NumPy mean+var+min+max", state, np_moments, None),
            vs_part("profile / NumPy quantile", profile, np_quantiles),
            vs_part("profile / NumPy unique + top-32", profile, np_unique),
            vs_peer("profile / NumPy (same information)", profile, ns.get("np_total")),
            vs_part("profile / DataSketches KLL", profile, ns.get("ds_kll")),
            vs_part("profile / DataSketches HLL (scaled)", profile, ns.get("ds_hll")),
            vs_part("profile / DataSketches frequent items (scaled)", profile, ns.get("ds_fi")),
            vs_peer("profile / DataSketches total", profile, ns.get("ds_total")),
        ])
