"""Profiles that leave their process: Profiler bytes, pickling and merging, and the Dask and
Spark runs that are built on them."""

import math
import pickle
import sys

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import tessary
import tessary.dask
import tessary.spark

ROWS = 3000


rng = np.random.default_rng(3)
X = rng.normal(10.0, 3.0, ROWS)
X[::17] = np.nan
TABLE = pa.table({
    "x": X,
    "n": pa.array(rng.integers(-50, 50, ROWS), mask=rng.random(ROWS) < 0.1),
    "s": pa.array([f"v{i % 41}" for i in range(ROWS)]),
    "b": pa.array(rng.random(ROWS) < 0.3),
    "t": pa.array(rng.integers(0, 10**12, ROWS), pa.timestamp("ms", tz="UTC")),
    "k": pa.array([["lo", "hi"][i % 2] for i in range(ROWS)]).dictionary_encode(),
})


def assert_same_figures(merged, whole):
    """Exact where the merge is exact; moments within 1e-12; heavy hitters are lower bounds
    and the sample depends on the partitioning, so neither is compared."""
    assert merged.rows == whole.rows and merged.columns == whole.columns
    for name in whole.columns:
        got, want = merged[name], whole[name]
        for key in set(want) - {"top", "sample"}:
            if key in ("mean", "std", "variance", "skewness", "kurtosis"):
                if isinstance(want[key], float):  # temporal columns show them as rounded text
                    assert math.isclose(got[key], want[key], rel_tol=1e-12, abs_tol=1e-12), (name, key)
            else:
                assert got[key] == want[key], (name, key)


def test_profiler_bytes_pickling_and_later_updates():
    original = tessary.Profiler(stream_id=5)
    original.update(TABLE.slice(0, 1000))
    restored, unpickled = tessary.Profiler.from_bytes(original.to_bytes()), pickle.loads(pickle.dumps(original))
    assert restored.to_bytes() == original.to_bytes()
    for profiler in (restored, unpickled, original):
        profiler.update(TABLE.slice(1000))
    assert restored.profile() == unpickled.profile() == original.profile()
    profile = original.profile()
    assert pickle.loads(pickle.dumps(profile)) == profile


@pytest.mark.parametrize("cuts", [[1, 2999], [500, 1500, 2500]])
def test_merging_any_split_gives_the_whole(cuts):
    merged = tessary.Profiler()
    for start, stop in zip([0, *cuts], [*cuts, ROWS]):
        piece = tessary.Profiler()
        piece.update(TABLE.slice(start, stop - start))
        before = piece.to_bytes()
        merged.merge(piece)
        assert piece.to_bytes() == before
    assert_same_figures(merged.profile(), tessary.profile(TABLE))


def test_columns_that_come_and_go_count_as_missing():
    profiler, other = tessary.Profiler(), tessary.Profiler()
    for columns in ({"a": [1.0, 2.0]}, {"b": ["x"], "a": [None]}, {"a": [4.0]}):
        profiler.update(columns)
    other.update({"c": [True]})
    profiler.merge(other)
    got = profiler.profile()
    assert got.columns == ["a", "b", "c"] and got.rows == 5
    assert [(got[n]["count"], got[n]["missing"]) for n in "abc"] == [(3, 2), (1, 4), (1, 4)]
    profiler.merge(profiler)  # with itself: every row twice
    assert profiler.rows == 10


def test_a_refused_update_or_merge_leaves_the_profiler_unchanged():
    profiler, clash = tessary.Profiler(), tessary.Profiler()
    profiler.update({"a": [1.0, 2.0], "b": ["x", "y"]})
    clash.update({"a": [5.0], "b": [True]})  # "a" merges, then "b" clashes
    before = profiler.to_bytes()

    def batches():
        yield from pa.table({"a": [3.0, 4.0], "b": ["z", "w"]}).to_batches(max_chunksize=1)
        raise ValueError("the source broke")

    for call, error, message in [
        (lambda: profiler.update({"a": [3.0], "b": [True]}), TypeError, "column 'b' was string and is now bool"),
        (lambda: profiler.update(pa.RecordBatchReader.from_batches(
            pa.schema({"a": pa.float64(), "b": pa.string()}), batches())), ValueError, "the source broke"),
        (lambda: profiler.merge(clash), TypeError, "column 'b' is string here and bool"),
        (lambda: tessary.Profiler(columns=["c"]).update({"a": [1], "b": [2]}), ValueError,
         "no column named 'c'; the columns are: a, b"),
    ]:
        with pytest.raises(error, match=message):
            call()
        assert profiler.to_bytes() == before


@pytest.mark.parametrize("damage", [lambda b: b[:-1], lambda b: b[:20], lambda b: b"X" + b[1:],
                                    lambda b: b[:8] + b"\x07" + b[9:],
                                    lambda b: b.replace(b'"rows":2', b'"rows":-2')])
def test_corrupt_profiler_bytes(damage):
    profiler = tessary.Profiler()
    profiler.update({"a": [1.0, 2.0], "s": ["x", "y"]})
    with pytest.raises(ValueError, match="not a serialized tessary Profiler"):
        tessary.Profiler.from_bytes(damage(profiler.to_bytes()))


def test_dask_dataframe_and_array():
    dd = pytest.importorskip("dask.dataframe")
    da = pytest.importorskip("dask.array")
    frame = dd.from_pandas(TABLE.to_pandas(), npartitions=5)
    assert_same_figures(tessary.dask.profile(frame, split_every=2), tessary.profile(frame.compute()))
    values = np.random.default_rng(1).normal(size=(ROWS, 2))
    assert_same_figures(tessary.dask.profile(da.from_array(values, chunks=(700, 1))),
                        tessary.profile(values))
    with pytest.raises(TypeError, match="Dask DataFrame, Series or Array"):
        tessary.dask.profile([1, 2])


@pytest.mark.spark
def test_spark_dataframe(tmp_path, monkeypatch):
    pytest.importorskip("pyspark")
    monkeypatch.setenv("PYSPARK_PYTHON", sys.executable)  # the workers import this tessary
    from pyspark.sql import SparkSession

    path = str(tmp_path / "data.parquet")
    pq.write_table(TABLE.drop_columns(["k"]), path)
    spark = (SparkSession.builder.master("local[2]").config("spark.ui.enabled", "false")
             .config("spark.sql.session.timeZone", "UTC").getOrCreate())
    try:
        df = spark.read.parquet(path).repartition(3)
        assert_same_figures(tessary.spark.profile(df), tessary.profile(df.toArrow()))
    finally:
        spark.stop()
