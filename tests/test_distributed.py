"""Profiles that leave their process: Profiler bytes, pickling and merging, and the Dask and
Spark runs that are built on them."""

import itertools
import json
import math
import os
import pickle
import sys

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import tessary
import tessary.dask
import tessary.spark

from helpers import profiler_bytes, profiler_parts

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


def test_profiler_and_profile_pickle():
    # That a restored profiler continues bit for bit is checked after every interrupt below.
    original = tessary.Profiler(stream_id=5)
    original.update(TABLE.slice(0, 1000))
    assert pickle.loads(pickle.dumps(original)).to_bytes() == original.to_bytes()
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
    selective = tessary.Profiler(columns=["b"])
    selective.merge(profiler)
    assert selective.profile().columns == ["b"] and selective.rows == 5
    profiler.merge(profiler)  # with itself: every row twice
    assert profiler.rows == 10


def test_engine_state_read_by_column_and_merged_without_a_selection():
    from tessary import _native
    left, right = _native.TableAccumulator(), _native.TableAccumulator()
    left.update(pa.record_batch({"a": [1.0, 2.0]}))
    right.update(pa.record_batch({"a": [3.0], "b": ["x"]}))
    left.merge(right)  # every column of right: no selection given
    whole = left.snapshot()
    assert list(whole["columns"]) == ["a", "b"] and whole["columns"]["b"]["missing"] == 2
    left.summarise()  # figures kept until the next change
    assert left.snapshot() == whole and left.snapshot(["b"])["columns"] == {"b": whole["columns"]["b"]}
    left.update(pa.record_batch({"a": [4.0], "b": ["y"]}))
    assert left.snapshot(["a"])["columns"]["a"]["count"] == 4
    with pytest.raises(KeyError, match="no column is named 'c'"):
        left.snapshot(["a", "c"])


def test_a_refused_update_or_merge_leaves_the_profiler_unchanged():
    profiler, clash = tessary.Profiler(), tessary.Profiler()
    profiler.update({"a": [1.0, 2.0], "b": ["x", "y"]})
    clash.update({"a": [5.0], "b": [True]})  # "a" merges, then "b" clashes
    before = profiler.to_bytes()

    def batches():
        yield from pa.table({"a": [3.0, 4.0], "b": ["z", "w"]}).to_batches(max_chunksize=1)
        raise ValueError("the source broke")

    out_of_range = pa.DictionaryArray.from_arrays(pa.array([0, 5], pa.int32()), pa.array(["x"]), safe=False)
    for call, error, message in [
        (lambda: profiler.update({"a": [3.0], "b": [True]}), TypeError, "column 'b' was string and is now bool"),
        (lambda: profiler.update(pa.record_batch({"a": [3.0, 4.0], "k": out_of_range})), ValueError,
         "column 'k'"),
        (lambda: profiler.update(pa.RecordBatchReader.from_batches(
            pa.schema({"a": pa.float64(), "b": pa.string()}), batches())), ValueError, "the source broke"),
        (lambda: profiler.merge(clash), TypeError, "column 'b' is string here and bool"),
        (lambda: tessary.Profiler(columns=["c"]).update({"a": [1], "b": [2]}), ValueError,
         "no column named 'c'; the columns are: a, b"),
    ]:
        with pytest.raises(error, match=message):
            call()
        assert profiler.to_bytes() == before


def test_an_interrupt_anywhere_in_an_update_leaves_the_profiler_unchanged():
    # KeyboardInterrupt at the k-th line that tessary runs in an update, for every k until the update
    # completes: the state is then as before, and a later update gives what it gives without it.
    package = os.path.dirname(tessary.__file__)

    def interrupted(call, k):
        lines = 0

        def trace(frame, event, arg):
            nonlocal lines
            if not frame.f_code.co_filename.startswith(package):
                return None
            lines += event == "line"
            if lines == k:
                raise KeyboardInterrupt
            return trace

        sys.settrace(trace)
        try:
            call()
        except KeyboardInterrupt:
            return True
        finally:
            sys.settrace(None)
        return False

    first, later = TABLE.slice(0, 10), TABLE.slice(20, 10)
    for data in (lambda: TABLE.slice(10, 10), lambda: TABLE.slice(10, 10).to_reader(max_chunksize=4)):
        reference = tessary.Profiler()
        reference.update(first)
        saved = reference.to_bytes()
        reference.update(later)
        for k in itertools.count(1):
            profiler = tessary.Profiler.from_bytes(saved)
            if not interrupted(lambda: profiler.update(data()), k):
                break
            assert profiler.to_bytes() == saved, k
            profiler.update(later)
            assert profiler.to_bytes() == reference.to_bytes(), k
        assert k > 100


MIXED = pa.table({
    "x": [1.5, None, -2.0], "t": pa.array([0, 86_400, None], pa.timestamp("s", tz="Europe/Paris")),
    "s": ["a", None, "b"], "b": [True, None, False], "k": pa.array(["lo", "hi", "lo"]).dictionary_encode(),
    "z": pa.nulls(3), "l": [[1], None, []],
})


def edited(change):
    def damage(data):
        header, blobs = profiler_parts(data)
        change(header, blobs)
        return profiler_bytes(header, blobs)
    return damage


def flipped(at):
    return edited(lambda h, b: b.__setitem__(1, b[1][:at] + bytes([b[1][at] ^ 255]) + b[1][at + 1:]))


@pytest.mark.parametrize(("damage", "message"), [
    (lambda d: d[:-1], "it is truncated"), (lambda d: d[:20], "it is truncated"),
    (lambda d: b"X" + d[1:], "magic"), (lambda d: d[:8] + b"\x07" + d[9:], "format version 7"),
    (lambda d: d[:8] + b"\x01" + d[9:], "before 0.3"),
    (lambda d: profiler_bytes(json.dumps(profiler_parts(d)[0]).encode(), profiler_parts(d)[1]), "written as"),
    (lambda d: profiler_bytes(b"[" * 100_000 + b"]" * 100_000, []), "recursion"),
    (edited(lambda h, b: h.update(rows=0)), "does not match the header"),
    (edited(lambda h, b: h.update(rows=-2)), "a count must be"),
    (edited(lambda h, b: h.update(stream_id=True)), "a count must be an int"),
    (edited(lambda h, b: h.update(stream_id=5)), "does not match the header"),
    (edited(lambda h, b: h.update(more=1)), "keys rows, stream_id"),
    (edited(lambda h, b: h.update(select=["x"])), "not one of the selected"),
    (edited(lambda h, b: h.update(select=list("xtsbkzlx"))), "columns lists 'x' twice"),
    (edited(lambda h, b: h["columns"].__setitem__(1, "x")), "does not name the columns"),
    (edited(lambda h, b: b.__setitem__(0, pa.schema({"x": pa.string(), "t": pa.int8()}).serialize().to_pybytes())),
     "does not name the columns"),
    (edited(lambda h, b: b.append(b"")), "parts, not 2"),
    (flipped(-1), ""), (flipped(12), ""),
])
def test_malformed_profiler_bytes_are_refused_as_they_are_read(damage, message):
    profiler = tessary.Profiler()
    profiler.update(MIXED)
    data = profiler.to_bytes()
    assert tessary.Profiler.from_bytes(data).to_bytes() == data
    with pytest.raises(ValueError, match="^not a serialized tessary Profiler: .*" + message):
        tessary.Profiler.from_bytes(damage(data))


@pytest.mark.parametrize("name", MIXED.column_names)
def test_absent_rows_count_exactly_as_the_nulls_they_stand_for(name):
    # A column that a batch lacks, against the same rows fed to it as nulls of its type (a
    # later value keeps its place in the numeric sample), and one that a merge lacks.
    rows = pa.table({"o": [1, 2, 3], name: MIXED[name]})
    absent, nulls = rows.select(["o"]), rows.set_column(1, name, pa.nulls(3, MIXED[name].type))

    def fed(*batches):
        profiler = tessary.Profiler(stream_id=9)
        for batch in batches:
            profiler.update(batch)
        return profiler

    def outcomes(lacking):
        first, second = fed(rows), fed(lacking)
        first.merge(fed(lacking))
        second.merge(fed(rows))
        for profiler in (first, second):
            profiler.update(rows)
        return [p.to_bytes() for p in (fed(rows, lacking, rows), fed(lacking, rows))], [
            {n: (c["count"], c["missing"]) for n, c in p.profile().to_dict()["columns"].items()}
            for p in (first, second)]

    assert outcomes(absent) == outcomes(nulls)


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
