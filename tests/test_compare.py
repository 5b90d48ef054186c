"""tessary.compare: every interval holds the statistic computed on the raw values, for any data,
sizes, splits and merges; results do not depend on the split; the verdict's error rates."""

import json
import subprocess
import sys

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import tessary

from helpers import child_environment, exact


def ks_exact(a, b):
    """sup |F_a - F_b| of the empirical distribution functions."""
    a, b = np.sort(a), np.sort(b)
    points = np.concatenate([a, b])
    return float(np.abs(np.searchsorted(a, points, "right") / len(a)
                        - np.searchsorted(b, points, "right") / len(b)).max())


def wasserstein_exact(a, b):
    """The integral of |F_a - F_b|."""
    a, b = np.sort(a), np.sort(b)
    points = np.sort(np.concatenate([a, b]))
    gaps = np.diff(points)
    return float(np.sum(np.abs(np.searchsorted(a, points[:-1], "right") / len(a)
                               - np.searchsorted(b, points[:-1], "right") / len(b)) * gaps))


def tvd_exact(a, b):
    values = np.union1d(a, b)
    p, q = np.zeros(len(values)), np.zeros(len(values))
    for shares, x in ((p, a), (q, b)):
        seen, counts = np.unique(x, return_counts=True)
        shares[np.searchsorted(values, seen)] = counts / len(x)
    return 0.5 * float(np.abs(p - q).sum())


def pieces(values, rng, merge):
    """A Profile of `values` fed in random pieces, or with the pieces merged from Profilers."""
    cuts = np.sort(rng.integers(0, len(values) + 1, rng.integers(0, 4)))
    parts = np.split(values, cuts)
    profiler = tessary.Profiler()
    for part in parts:
        if merge:
            other = tessary.Profiler()
            other.update({"x": part})
            profiler.merge(other)
        else:
            profiler.update({"x": part})
    return profiler.profile()


def draw(rng, shape, size, shift):
    """Values of one of several shapes: smooth, skewed, few distinct, integers, ties, signs,
    integers at the top of the uint64 range."""
    if shape == 0:
        return rng.normal(shift, 1.0, size)
    if shape == 1:
        return np.exp(rng.normal(shift, 2.0, size))
    if shape == 2:
        return rng.integers(-3, 4, size).astype(np.int64) + int(shift * 3)
    if shape == 3:
        return rng.integers(-10**6, 10**6, size) + int(shift * 10**5)
    if shape == 4:
        return np.round(rng.normal(shift, 50.0, size), 1)
    if shape == 5:
        return rng.standard_cauchy(size) * 1e-3 + shift
    top = np.iinfo(np.uint64).max
    x = top - rng.integers(0, 3000, size).astype(np.uint64) - np.uint64(shift * 1000)
    x[0] = top
    return x


def contains(interval, value, slack=0.0):
    return interval[0] <= value + slack and value - slack <= interval[1]


@pytest.mark.filterwarnings("error")  # numpy's overflow warnings too
@pytest.mark.parametrize("merge", [False, True], ids=["split", "merged"])
def test_number_intervals_contain_the_exact_statistics(merge):
    rng = np.random.default_rng(7 + merge)
    for trial in range(40):
        sizes = rng.choice([1, 7, 300, 2000, 20000], 2)
        shift = rng.choice([0.0, 0.0, 0.05, 1.0])
        shape = rng.integers(0, 7)
        a, b = draw(rng, shape, sizes[0], 0.0), draw(rng, shape, sizes[1], shift)
        c = tessary.compare(pieces(a, rng, merge), pieces(b, rng, merge)).to_dict()["columns"]["x"]
        where = f"trial {trial}: shape {shape}, sizes {sizes}, shift {shift}"
        assert contains(c["ks"], ks_exact(a, b), 1e-12), where
        w = wasserstein_exact(a, b)
        assert contains(c["wasserstein"], w, 1e-12 * w), where
        if "tvd" in c:
            assert contains(c["tvd"], tvd_exact(a, b), 1e-12), where


def test_exact_mode_gives_the_exact_statistics():
    rng = np.random.default_rng(11)
    a, b = rng.integers(0, 50, 5000), rng.integers(2, 60, 3000)
    c = tessary.compare({"x": a}, {"x": b}).to_dict()["columns"]["x"]
    for key, value in (("ks", ks_exact(a, b)), ("wasserstein", wasserstein_exact(a, b)),
                       ("tvd", tvd_exact(a, b))):
        low, high = c[key]
        assert low <= value <= high and high - low <= 1e-8 * value, key
    assert c["top_changes"][0] == [int(c["top_changes"][0][0]), *c["top_changes"][0][1:]]


def test_text_and_boolean_intervals_contain_the_exact_tvd():
    rng = np.random.default_rng(12)
    for trial in range(12):
        sizes = rng.choice([50, 3000, 30000], 2)
        exponent = rng.choice([1.1, 1.5, 3.0])
        a = np.array([f"v{k}" for k in rng.zipf(exponent, sizes[0])])
        b = np.array([f"v{k + rng.integers(0, 2)}" for k in rng.zipf(exponent, sizes[1])])
        flags = (rng.random(sizes[0]) < 0.3, rng.random(sizes[1]) < rng.choice([0.3, 0.4]))
        c = tessary.compare({"s": a, "f": flags[0]}, {"s": b, "f": flags[1]}).to_dict()["columns"]
        assert contains(c["s"]["tvd"], tvd_exact(a, b), 1e-12), trial
        assert contains(c["f"]["tvd"], tvd_exact(*flags), 1e-12), trial
        assert c["f"]["tvd"][1] - c["f"]["tvd"][0] < 1e-12


def test_results_do_not_depend_on_merges():
    # Splits and threads give the same profile bit for bit (tests of the profile and the
    # engine), so the same comparison; a merge gives the same counts and bins, the moments
    # agree up to rounding, and the heavy hitters of text beyond exact mode depend on the
    # merge order (their bounds hold either way).
    rng = np.random.default_rng(13)
    n = 60_000
    table = pa.table({"x": rng.normal(0, 1, n), "i": rng.integers(0, 5000, n),
                      "s": [f"v{k}" for k in rng.zipf(1.3, n)], "b": rng.random(n) < 0.5})
    current = pa.table({"x": rng.normal(0.01, 1, n), "i": rng.integers(0, 5100, n),
                        "s": [f"v{k}" for k in rng.zipf(1.3, n)], "b": rng.random(n) < 0.5})
    whole = tessary.compare(table, current).to_dict()
    left, right = tessary.Profiler(), tessary.Profiler()
    left.update(table.slice(0, 12_345))
    right.update(table.slice(12_345))
    left.merge(right)
    merged = tessary.compare(left, current).to_dict()
    for name, column in merged["columns"].items():
        for key in ("ks", "wasserstein", "psi", "missing") + (("tvd", "status") if name != "s" else ()):
            assert exact(column.get(key)) == exact(whole["columns"][name].get(key)), (name, key)


def test_intervals_are_tight_for_normal_samples():
    rng = np.random.default_rng(14)
    for scale in (1.0, 1e-6, 3e4):
        a, b = rng.normal(5, scale, 100_000), rng.normal(5, scale, 100_000)
        c = tessary.compare({"x": a}, {"x": b}).to_dict()["columns"]["x"]
        assert c["ks"][1] - c["ks"][0] <= 0.02
        assert c["wasserstein"][1] - c["wasserstein"][0] <= 0.02 * scale


def test_verdict_rates():
    rng = np.random.default_rng(15)
    n, columns = 100_000, 40
    same_ref = {f"c{k}": rng.normal(0, 1, n) for k in range(columns)}
    same_cur = {f"c{k}": rng.normal(0, 1, n) for k in range(columns)}
    cats = np.array([f"k{i}" for i in range(200)])
    same_ref |= {f"t{k}": cats[rng.zipf(1.5, n) % 200] for k in range(10)}
    same_cur |= {f"t{k}": cats[rng.zipf(1.5, n) % 200] for k in range(10)}
    assert tessary.compare(same_ref, same_cur).drifted == []
    shifted = {f"c{k}": rng.normal(0.1, 1, n) for k in range(columns)}
    assert len(tessary.compare(same_ref, shifted, columns=list(shifted)).drifted) == columns
    # Configurable: a floor above the shift's KS lets it pass.
    assert tessary.compare(same_ref, shifted, columns=["c0"], ks_floor=0.1).drifted == []


def test_statuses_and_what_each_column_reports():
    ref = {"n": [1.0, 2.0, None], "gone": [1, 2, 3], "k": ["a", "b", "c"], "b": [True, False, True]}
    cur = {"n": [1.0, 2.0, 2.0], "new": [1, 2, 3], "k": [1, 2, 3], "b": [True, True, False]}
    c = tessary.compare(ref, cur)
    columns = c.to_dict()["columns"]
    assert {name: col["status"] for name, col in columns.items()} == {
        "n": "same", "gone": "removed", "k": "kind changed", "b": "same", "new": "added"}
    assert c.drifted == ["gone", "k", "new"]
    assert columns["n"]["missing"] == [1 / 3, 0.0] and columns["n"]["distinct"] == [2, 2]
    assert set(columns["b"]) >= {"tvd", "top_changes", "missing"}
    assert "drift" not in repr(c) and c.to_html().count('class="chart histogram"') == 1
    assert c._repr_html_().count('class="chart shares"') == 1
    saved = tessary.Profiler()
    saved.update(ref)
    restored = tessary.Profiler.from_bytes(saved.to_bytes()).profile()
    assert tessary.compare(restored, cur).to_dict() == c.to_dict()
    with pytest.raises(ValueError, match="figures only"):
        tessary.compare(tessary.Profile(3, restored.to_dict()["columns"]), cur)


def test_command_line_exit_statuses(tmp_path):
    rng = np.random.default_rng(16)
    paths = {}
    for name, loc in (("ref", 0.0), ("same", 0.0), ("moved", 1.0)):
        paths[name] = str(tmp_path / f"{name}.parquet")
        pq.write_table(pa.table({"x": rng.normal(loc, 1, 3000)}), paths[name])

    def run(*args):
        return subprocess.run([sys.executable, "-m", "tessary", "compare", *args],
                              capture_output=True, text=True, env=child_environment())

    assert run(paths["ref"], paths["same"]).returncode == 0
    moved = run(paths["ref"], paths["moved"], "--json", "--html", str(tmp_path / "out.html"))
    assert moved.returncode == 1 and json.loads(moved.stdout)["columns"]["x"]["status"] == "drift"
    assert "<table" in (tmp_path / "out.html").read_text()
    failed = run(paths["ref"], str(tmp_path / "absent.parquet"))
    assert failed.returncode == 2 and failed.stderr.startswith("tessary: error:")
