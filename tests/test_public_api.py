"""tessary.profile, Profiler and Profile over each input kind and each column kind."""

import array
import datetime
import gc
import math
import weakref

import numpy as np
import pyarrow as pa
import pyarrow.dataset as pads
import pytest

import tessary

from helpers import exact, figures

rng = np.random.default_rng(7)
N = 3000
INTS = rng.integers(-50, 50, N)
MASK = rng.random(N) < 0.1
WORDS = rng.choice(["red", "green", "blue", "a" * 300], N)
TABLE = pa.table({
    "i": pa.array(INTS, mask=MASK),
    "f": pa.array(rng.standard_normal(N).astype(np.float32)),
    "s": pa.array(WORDS, mask=MASK),
    "b": pa.array(rng.random(N) < 0.3, mask=MASK),
    "t": pa.array(INTS * 86_400, pa.timestamp("s", tz="Europe/Paris"), mask=MASK),
})


def test_numeric_figures_are_exact_while_values_are_few():
    col = tessary.profile(TABLE)["i"]
    present = INTS[~MASK]
    values, counts = np.unique(present, return_counts=True)
    assert (col["count"], col["missing"], col["min"], col["max"], col["distinct"]) == \
        (len(present), MASK.sum(), present.min(), present.max(), 100)
    assert math.isclose(col["mean"], present.mean(), rel_tol=1e-15)
    assert math.isclose(col["std"], present.std(ddof=1), rel_tol=1e-14)
    assert col["quantiles"] == {k: int(np.quantile(present, q, method="lower")) for k, q in zip(
        ("p01", "p05", "p25", "p50", "p75", "p95", "p99"), (.01, .05, .25, .5, .75, .95, .99))}
    assert col["top"] == sorted([[int(v), int(c)] for v, c in zip(values, counts)],
                                key=lambda vc: (-vc[1], vc[0]))[:32]
    assert sum(col["histogram"]["counts"]) == len(present) and len(col["histogram"]["edges"]) <= 65
    assert set(col["sample"]) <= set(present.tolist()) and len(col["sample"]) == 256


def test_string_boolean_temporal_and_other_columns():
    cols = tessary.profile(TABLE.append_column("l", pa.array([[1]] * N))).to_dict()["columns"]
    words, counts = np.unique(WORDS[~MASK], return_counts=True)
    assert cols["s"] == {"kind": "string", "type": "string", "count": N - MASK.sum(),
                         "missing": MASK.sum(), "distinct": 4,
                         "top": sorted([[w[:32], int(n)] for w, n in zip(words, counts)],
                                       key=lambda wn: (-wn[1], wn[0]))}
    trues = int(pa.compute.sum(TABLE["b"]).as_py())
    assert cols["b"] == {"kind": "boolean", "type": "bool", "count": N - MASK.sum(),
                         "missing": MASK.sum(), "true": trues, "false": N - MASK.sum() - trues}
    t = cols["t"]
    assert (t["kind"], t["unit"], t["std"].endswith("days")) == ("temporal", "s", True)
    low, high = pa.compute.min_max(TABLE["t"]).values()
    assert [t["min"], t["max"]] == pa.array([low, high]).cast(pa.string()).to_pylist()
    assert cols["l"] == {"kind": "other", "type": "list<item: int64>", "count": N, "missing": 0,
                         "reason": "nested values are not profiled"}


I32, I64 = (-2**31, 2**31 - 1), (-2**63, 2**63 - 1)
# The ends of each type's storage: the engine's float64 figures round the 64-bit ones past
# the end, and pyarrow cannot write most of them.
EXTREMES = [
    (pa.date32(), I32, "-5877641-06-23", "5881580-07-11"),
    (pa.date64(), I64, "-292275055-05-16", "292278994-08-17"),
    (pa.time32("ms"), I32, "-2147483648 ms", "2147483647 ms"),
    (pa.time64("ns"), I64, "-9223372036854775808 ns", "9223372036854775807 ns"),
    (pa.duration("us"), I64, "-9223372036854775808", "9223372036854775807"),
    *[(pa.timestamp(unit, tz), I64, low + z, high + z) for unit, low, high in [
        ("s", "-292277022657-01-27 08:29:52", "292277026596-12-04 15:30:07"),
        ("ms", "-292275055-05-16 16:47:04.192", "292278994-08-17 07:12:55.807"),
        ("us", "-290308-12-21 19:59:05.224192", "294247-01-10 04:00:54.775807"),
        ("ns", "1677-09-21 00:12:43.145224192", "2262-04-11 23:47:16.854775807"),
    ] for tz, z in [(None, ""), ("Asia/Tokyo", "Z")]],
    (pa.timestamp("s", "Nowhere/Atlantis"), (0, 86_400), "1970-01-01 00:00:00Z",
     "1970-01-02 00:00:00Z"),  # a zone unknown to pyarrow
]


@pytest.mark.parametrize(("arrow_type", "ends", "low", "high"), EXTREMES,
                         ids=[str(row[0]) for row in EXTREMES])
def test_temporal_extremes_are_shown_from_their_storage(arrow_type, ends, low, high):
    storage = pa.int32() if arrow_type.bit_width == 32 else pa.int64()
    p = tessary.profile(pa.table({"t": pa.array(ends * 2, storage).view(arrow_type)}))
    t = p["t"]
    q = t["quantiles"]
    assert [t["min"], q["p01"], q["p99"], t["max"]] == [low, low, high, high] == t["sample"]
    assert sorted(t["top"]) == sorted([[low, 2], [high, 2]])
    shown = "1.068e+08 days" if pa.types.is_duration(arrow_type) else high.split(".")[0]
    assert p.to_pandas().loc["t", "count"] == 4 and shown in repr(p)


@pytest.mark.parametrize("convert", [
    lambda c: c.dictionary_encode(), lambda c: c.cast(pa.large_string()),
    lambda c: c.cast(pa.string_view()), lambda c: c.cast(pa.binary()),
], ids=["dictionary", "large_string", "string_view", "binary"])
def test_string_layouts_profile_like_string(convert):
    plain = tessary.profile(TABLE.select(["s"]))
    other = tessary.profile(pa.table({"s": convert(TABLE["s"])}))
    assert figures(other) == figures(plain)


def test_converted_columns_profile_like_their_conversion_in_one_update_or_two():
    values = [1.25, None, -3.5, 1.25]
    data = pa.table({"d": pa.array(values).cast(pa.decimal128(10, 2)), "h": pa.array(values).cast(pa.float16()),
                     "k": pa.array(values).dictionary_encode(), "x": values})
    expected = figures(tessary.profile(pa.table({"d": values, "h": pa.array(values, pa.float32()),
                                                 "k": values, "x": values})))
    in_two = tessary.Profiler()
    in_two.update(data.slice(0, 1))
    in_two.update(data.slice(1))
    assert figures(tessary.profile(data)) == figures(in_two.profile()) == expected


COLUMN, SMALL = INTS[:2000], pa.table({"0": INTS[:500].astype(float), "1": rng.standard_normal(500)})
ONE_COLUMN = [
    ("numpy", lambda v: v),
    ("list", lambda v: v.tolist()), ("array.array", lambda v: array.array("q", v)),
    ("memoryview", lambda v: memoryview(v)), ("pa.Array", pa.array),
    ("ChunkedArray", lambda v: pa.chunked_array([v[:1000], v[1000:]])),
    ("pandas Series", lambda v: pytest.importorskip("pandas").Series(v)),
    ("polars Series", lambda v: pytest.importorskip("polars").Series(v)),
    ("nanoarrow", lambda v: pytest.importorskip("nanoarrow").c_array(pa.array(v))),
]
TABLES = [
    ("RecordBatch", lambda t: t.to_batches()[0]), ("RecordBatchReader", lambda t: t.to_reader()),
    ("Dataset", pads.dataset), ("dict", lambda t: {n: t[n].to_numpy(False) for n in t.column_names}),
    ("pandas", lambda t: t.to_pandas()),
    ("polars", lambda t: pytest.importorskip("polars").from_arrow(t)),
    ("polars lazy", lambda t: pytest.importorskip("polars").from_arrow(t).lazy()),
    ("duckdb", lambda t: pytest.importorskip("duckdb").sql("select * from t")),
    ("numpy 2-D", lambda t: np.column_stack([t["0"], t["1"]])),
]


@pytest.mark.parametrize(("source", "make"), [(COLUMN, m) for _, m in ONE_COLUMN] + [(SMALL, m) for _, m in TABLES],
                         ids=[name for name, _ in ONE_COLUMN + TABLES])
def test_every_input_kind_profiles_like_arrow(source, make):
    reference = pa.array(source) if source is COLUMN else source
    assert figures(tessary.profile(make(source))) == figures(tessary.profile(reference))


def test_profiler_split_anywhere_is_bit_identical():
    whole = tessary.profile(TABLE)
    profiler = tessary.Profiler()
    for start, stop in [(0, 1), (1, 700), (700, 701), (701, N)]:
        profiler.update(TABLE.slice(start, stop - start))
    assert profiler.rows == N
    assert exact(profiler.profile().to_dict()) == exact(whole.to_dict())


def test_figures_worked_out_with_the_last_batch_are_those_read_later():
    # tessary.profile has the engine work the figures out as it profiles the last batch:
    # here it lacks "b", brings "c", and gives "n" its first values.
    batches = [pa.record_batch({"a": [1.5, 2.5], "b": ["x", "y"], "n": pa.nulls(2)}),
               pa.record_batch({"a": [3.5], "c": [True], "n": [4]})]
    ahead, later = tessary._native.TableAccumulator(), tessary._native.TableAccumulator()
    for batch in batches:
        ahead.update(batch, summarise=batch is batches[-1])
        later.update(batch)
    assert exact(ahead.snapshot()) == exact(later.snapshot())


@pytest.mark.parametrize(("data", "error", "message"), [
    (object(), TypeError, "cannot profile an object of type builtins.object; pass a file path"),
    (np.zeros((2, 2, 2)), TypeError, "expected a 1-D or 2-D NumPy array, got 3 dimensions"),
    ([1, "a"], TypeError, "cannot read the sequence as one column"),
    ("data.xlsx", ValueError, "unknown file format '.xlsx'"),
    ("missing.csv", FileNotFoundError, "no such file: missing.csv"),
])
def test_bad_input_says_what_to_do(data, error, message):
    with pytest.raises(error, match="^" + message.replace("(", r"\(").replace(".", r"\.")):
        tessary.profile(data)


def test_float64_path_points_to_profile():
    with pytest.raises(BufferError) as info:
        tessary.numeric_profile_f64(np.arange(3))
    assert "use tessary.profile(values) for any numeric type" in info.value.__notes__[0]


class Probe:
    pass


def test_report_and_tables():
    p = tessary.profile(TABLE, columns=["s", "i"])
    assert p.columns == ["s", "i"]
    assert repr(p).splitlines()[0] == f"tessary profile: {N:,} rows, 2 columns"
    assert 'class="card"' in p._repr_html_() and "red" in p._repr_html_()
    summary = p.to_arrow()
    assert summary.column("column").to_pylist() == ["s", "i"]
    assert summary.column("mean").to_pylist()[1] == p["i"]["mean"]
    assert list(p.to_pandas().index) == ["s", "i"]
    assert p == tessary.profile(TABLE, columns=["s", "i"]) != tessary.profile(TABLE)
    # What to_dict() and p[name] give is the caller's to change.
    plain = p.to_dict()
    plain["columns"]["i"]["sample"].append(1)
    plain["columns"]["i"]["histogram"]["counts"][0] += 1
    p["i"]["top"][0][1] = 0
    assert p.to_dict() != plain and p.to_dict()["columns"]["i"] == p["i"] == tessary.profile(TABLE)["i"]
    with pytest.raises(KeyError):
        tessary.profile(TABLE)["nope"]
    # ... and a cycle made through them is collected.
    probe = Probe()
    gone = weakref.ref(probe)
    probe.back, sample = plain, plain["columns"]["i"]["sample"]
    sample.append(probe)
    del plain, probe, sample
    gc.collect()
    assert gone() is None


def test_temporal_figures_keep_unit_and_time_zone():
    day = datetime.date(2024, 1, 1)
    col = tessary.profile([day, day + datetime.timedelta(days=2)])["values"]
    assert (col["kind"], col["min"], col["max"], col["mean"], col["std"]) == \
        ("temporal", "2024-01-01", "2024-01-03", "2024-01-02", "1.414 days")
    # 2**63 - 1 is 2**63 as a float, one past the storage type.
    extreme = tessary.profile(pa.array([2**63 - 1]).view(pa.timestamp("ns")))["values"]
    assert extreme["max"] == extreme["mean"] == "2262-04-11 23:47:16.854775807"


def test_text_pieces_of_any_layout_fold_into_one_column():
    # Dictionary indices that widen as categories grow (pandas reading a CSV in chunks), then
    # plain and view strings: one text column, as if it had come whole.
    words = [f"v{i % 300}" for i in range(900)]
    pieces = [pa.DictionaryArray.from_arrays(pa.array(range(100), pa.int8()), pa.array(words[:100])),
              pa.DictionaryArray.from_arrays(pa.array(range(300), pa.int16()), pa.array(words[:300])),
              pa.array(words[400:650], pa.large_string()), pa.array(words[650:], pa.string_view())]
    profiler = tessary.Profiler()
    for piece in pieces:
        profiler.update(pa.table({"k": piece}))
    whole = tessary.profile(pa.table({"k": [w for p in pieces for w in p.to_pylist()]}))
    assert {**profiler.profile()["k"], "type": "string"} == whole["k"]
