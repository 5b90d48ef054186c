"""Everyday inputs (a table of them) and the figures as shown (a table of them)."""

import datetime
import os

import pandas as pd
import polars as pl
import pyarrow as pa
import pyarrow.dataset as pads
import pyarrow.parquet as pq
import pytest

import tessary

from helpers import exact

SALES = pa.table({"month": [1, 1, 2, 2, 2], "price": [1.5, 2.0, None, 4.0, 8.0],
                  "city": ["Oslo", "Rome", "Oslo", None, "Oslo"]})


def parquet(path, table=SALES):
    pq.write_table(table, path)
    return path


def hive(tmp):
    pads.write_dataset(SALES, tmp / "sales", format="parquet", partitioning=["month"],
                       partitioning_flavor="hive")
    return tmp / "sales"


def spark_like(tmp):
    # A directory named like a file, its parts beside the markers writers leave.
    os.mkdir(tmp / "sales.parquet")
    parquet(tmp / "sales.parquet" / "part-0.parquet", SALES.slice(0, 2))
    parquet(tmp / "sales.parquet" / "part-1.parquet", SALES.slice(2))
    (tmp / "sales.parquet" / "_SUCCESS").touch()
    (tmp / "sales.parquet" / ".part-0.parquet.crc").write_bytes(b"\0")
    return tmp / "sales.parquet"


def text_file(path, text):
    path.write_text(text)
    return path


def csv_directory(tmp):
    os.mkdir(tmp / "d")
    text_file(tmp / "d" / "a.csv", "x,y\n1,p\n2,q\n")
    text_file(tmp / "d" / "b.csv", "x,y\n3,\n")
    return tmp / "d"


WHOLE = [("month", "numeric", 5), ("price", "numeric", 4), ("city", "string", 4)]
# Each input, and each column's (name, kind, count) in order.
INPUTS = [
    ("mixed object column", lambda tmp: pd.DataFrame({"m": [1, "a", 2.5, None], "x": [1, 2, 3, 4]}),
     [("m", "string", 3), ("x", "numeric", 4)]),
    ("0-row DataFrame", lambda tmp: pd.DataFrame({"a": pd.Series([], dtype="int64")}),
     [("a", "numeric", 0)]),
    ("0-row Table", lambda tmp: SALES.slice(0, 0), [(n, k, 0) for n, k, _ in WHOLE]),
    ("0-row Parquet", lambda tmp: parquet(tmp / "e.parquet", SALES.slice(0, 0)),
     [(n, k, 0) for n, k, _ in WHOLE]),
    ("header-only CSV", lambda tmp: text_file(tmp / "h.csv", "a,b\n"),
     [("a", "other", 0), ("b", "other", 0)]),
    ("0-row LazyFrame", lambda tmp: pl.LazyFrame({"a": [1]}).filter(pl.col("a") > 1),
     [("a", "numeric", 0)]),
    ("repeated names", lambda tmp: pd.DataFrame([[1, "x", True, 2]], columns=["a", "a", "b", "a"]),
     [("a", "numeric", 1), ("a.1", "string", 1), ("b", "boolean", 1), ("a.2", "numeric", 1)]),
    ("repeated names, two batches", lambda tmp: pa.Table.from_batches(
        [pa.record_batch([[1], ["x"]], names=["a", "a"])] * 2),
     [("a", "numeric", 2), ("a.1", "string", 2)]),
    ("hive directory", hive, [("price", "numeric", 4), ("city", "string", 4), ("month", "numeric", 5)]),
    ("directory named .parquet", spark_like, WHOLE),
    ("CSV directory", csv_directory, [("x", "numeric", 3), ("y", "string", 2)]),
]


@pytest.mark.parametrize(("make", "columns"), [row[1:] for row in INPUTS],
                         ids=[row[0] for row in INPUTS])
def test_every_input_lists_every_column(tmp_path, make, columns):
    p = tessary.profile(make(tmp_path))
    assert [(name, c["kind"], c["count"]) for name, c in p.to_dict()["columns"].items()] == columns


def test_a_directory_profiles_as_its_files_in_one(tmp_path):
    whole = tessary.profile(parquet(tmp_path / "whole.parquet"))
    assert exact(tessary.profile(spark_like(tmp_path)).to_dict()) == exact(whole.to_dict())
    os.mkdir(tmp_path / "mixed")
    parquet(tmp_path / "mixed" / "a.parquet")
    text_file(tmp_path / "mixed" / "b.csv", "x\n1\n")
    with pytest.raises(ValueError, match=r"all of one format \(found: csv, parquet\)"):
        tessary.profile(tmp_path / "mixed")


def test_parquet_text_read_as_dictionaries_profiles_as_decoded(tmp_path, monkeypatch):
    # A column of 3,000 values stored as dictionary indices is read as a dictionary; one
    # whose dictionary overflowed into plain pages is read as it is. Both profile as the
    # decoded table does, bit for bit, with their declared type.
    table = pa.table({"few": [f"k{(i * 7919) % 3000}" for i in range(60_000)],
                      "many": [f"{i:x}" * 3 for i in range(60_000)]})
    path = tmp_path / "t.parquet"
    pq.write_table(table, path, dictionary_pagesize_limit=64 << 10, row_group_size=20_000)
    opened, asked = pq.ParquetFile, []

    def parquet_file(*args, **kwargs):
        asked.append(kwargs.get("read_dictionary"))
        return opened(*args, **kwargs)

    monkeypatch.setattr(pq, "ParquetFile", parquet_file)
    assert exact(tessary.profile(path).to_dict()) == exact(tessary.profile(table).to_dict())
    assert asked == [["few"]]


def test_a_lazy_frame_is_streamed_not_collected(tmp_path, monkeypatch):
    frame = pl.scan_parquet(parquet(tmp_path / "s.parquet"))
    expected = tessary.profile(frame.collect())

    def collect(*args, **kwargs):
        raise AssertionError("collected whole")

    monkeypatch.setattr(pl.LazyFrame, "collect", collect)
    assert tessary.profile(frame) == expected


def test_a_note_says_how_a_column_was_read_and_is_kept():
    profiler = tessary.Profiler()
    profiler.update(pd.DataFrame({"m": [1, "a", 2.5, None]}))
    note = "values of several types (float, int, str) profiled as text"
    restored = tessary.Profiler.from_bytes(profiler.to_bytes()).profile()
    assert restored["m"]["note"] == note and f"m: {note}" in repr(restored)


DAY = datetime.date(2024, 1, 1)
# Each column, a text its table shows, and one figure of to_pandas() with its typed value.
FIGURES = [
    ([1.0, float("inf"), 2.0], "infinite", "infinite", 1),
    (pa.array([1, None, None, None]), "75.0%", "missing_share", 0.75),
    ([2007.0, 2009.0], "2,008  1.414  2,007  2,007", "mean", 2008.0),
    ([2007, 2009], "2,008  1.414  2,007  2,007", "min", 2007),
    (pa.array([1_200_000_000, 7_000_000_000], pa.duration("us")), "20 min", "min",
     pd.Timedelta(minutes=20)),
    (pa.array([0, 3600, 9000], pa.duration("s")), "1.258 h", "std", pd.Timedelta(hours=1.258)),
    (pa.array([0, 500], pa.timestamp("ms", "UTC")), "1970-01-01 00:00:00.5Z", "max",
     pd.Timestamp("1970-01-01 00:00:00.5", tz="UTC")),
    ([DAY, DAY + datetime.timedelta(days=2)], "2024-01-03", "max", pd.Timestamp("2024-01-03")),
    (pa.array([0, 5_400_123_000], pa.time64("us")), "01:30:00.123", "max",
     datetime.time(1, 30, 0, 123_000)),
    ([True, True, False], "true (2)", "true", 2),
    ([1.0, 2.0, 4.0], "2.333", "variance", 2.3333333333333335),
    (["a", "a", "b"], "a (2)", "top", [["a", 2]]),
]


@pytest.mark.parametrize(("data", "shown", "key", "typed"), FIGURES,
                         ids=[f"{row[2]}-{i}" for i, row in enumerate(FIGURES)])
def test_figures_are_shown_in_full_and_typed(data, shown, key, typed):
    p = tessary.profile(data)
    assert shown in repr(p)
    assert p.to_pandas().loc["values", key] == typed
