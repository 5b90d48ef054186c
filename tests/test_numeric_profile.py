"""numeric_profile_f64 and NumericAccumulator."""

import math
import textwrap
from array import array

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tessary._native import NumericAccumulator, numeric_profile_f64, numeric_state_f64

from helpers import exact, later_interpreters, run_with_installed_module

QUANTILE_KEYS = ["p01", "p05", "p25", "p50", "p75", "p95", "p99"]
BIN0 = math.exp(0.5 * math.log(1.01 / 0.99))


def test_empty_and_single_value_profiles():
    empty = dict(numeric_state_f64(array("d")), cardinality_estimate=0,
                 quantiles=dict.fromkeys(QUANTILE_KEYS, None) | {"relative_accuracy": 0.01},
                 heavy_hitters=[], reservoir=[])
    assert exact(numeric_profile_f64(array("d"))) == exact(empty)
    assert exact(NumericAccumulator().snapshot()) == exact(empty)
    one = numeric_profile_f64(array("d", [1.0, math.nan, math.inf]))
    assert (one["observations"], one["cardinality_estimate"]) == (3, 1)
    assert exact(one["quantiles"]) == exact(dict.fromkeys(QUANTILE_KEYS, BIN0) | {"relative_accuracy": 0.01})
    assert (one["heavy_hitters"], one["reservoir"]) == ([(1.0, 1)], [1.0])


def test_sketch_contents_on_a_known_stream():
    result = numeric_profile_f64(np.array([1.0, 2.0, 3.0, 4.0, 5.0] + [2.0] * 5 + [-0.0, 0.0]))
    assert result["quantiles"]["p50"] == pytest.approx(2.0, rel=0.01)
    # Both zeros are one value: one candidate, one distinct value.
    assert result["heavy_hitters"][:2] == [(2.0, 6), (0.0, 2)]
    assert result["cardinality_estimate"] == 6
    assert sorted(result["reservoir"]) == result["reservoir"] and len(result["reservoir"]) == 12
    assert [math.copysign(1.0, z) for z in result["reservoir"][:2]].count(-1.0) == 1


def test_reservoir_depends_on_stream_id_only_beyond_capacity():
    small = np.linspace(-3.0, 3.0, 256)
    assert numeric_profile_f64(small, 5)["reservoir"] == sorted(small.tolist())
    large = np.random.default_rng(1).normal(size=5000)
    first, second = numeric_profile_f64(large, stream_id=1), numeric_profile_f64(large, stream_id=2)
    assert len(first["reservoir"]) == 256 and first.pop("reservoir") != second.pop("reservoir")
    assert exact(first) == exact(second)
    # Every argument form gives the same profile.
    expected = exact(numeric_profile_f64(large))
    for result in (numeric_profile_f64(large, 0), numeric_profile_f64(values=large, stream_id=0),
                   numeric_profile_f64(large, stream_id=np.uint64(0))):
        assert exact(result) == expected


@pytest.mark.parametrize(("stream_id", "error"), [
    (-1, OverflowError), (2**64, OverflowError), (1.5, TypeError), (None, TypeError), ("1", TypeError)])
def test_stream_id_conversion_errors_carry_the_note(stream_id, error):
    for call in (lambda: numeric_profile_f64(array("d"), stream_id),
                 lambda: NumericAccumulator(stream_id=stream_id)):
        with pytest.raises(error) as info:
            call()
        assert info.value.__notes__ == ["while processing 'stream_id'"]


@settings(max_examples=40, deadline=None)
@given(values=st.lists(st.one_of(st.floats(), st.sampled_from([0.0, -0.0, 1.0, 2.5])), max_size=700),
       cuts=st.lists(st.integers(0, 700), max_size=6), stream_id=st.integers(0, 2**64 - 1))
def test_a_stream_split_anywhere_gives_the_whole(values, cuts, stream_id):
    data = np.array(values, dtype=np.float64)
    acc = NumericAccumulator(stream_id)
    bounds = sorted({min(c, len(values)) for c in cuts} | {0, len(values)})
    for start, stop in zip(bounds, bounds[1:]):
        acc.update_f64(data[start:stop])
    assert acc.observations == len(values)
    assert exact(acc.snapshot()) == exact(numeric_profile_f64(data, stream_id))


def test_reset_starts_the_stream_again():
    data = np.random.default_rng(5).normal(size=2000)
    acc = NumericAccumulator(9)
    acc.update_f64(data[:700])
    assert acc.reset() is None and acc.observations == 0
    assert exact(acc.snapshot()) == exact(NumericAccumulator(9).snapshot())
    acc.update_f64(data)
    assert exact(acc.snapshot()) == exact(numeric_profile_f64(data, 9)) == exact(acc.snapshot())


REENTRANT_EXPORTER = textwrap.dedent("""
    from array import array
    from tessary._native import NumericAccumulator

    acc = NumericAccumulator(1)
    acc.update_f64(array("d", [1.0, 2.0]))
    before, seen = acc.snapshot(), []

    class Exporter:
        def __init__(self, action):
            self.action = action
        def __buffer__(self, flags):
            try:
                self.action()
            except RuntimeError as error:
                seen.append(str(error))
                raise
            return memoryview(array("d", [5.0]))

    for action in (acc.snapshot, lambda: acc.observations, acc.reset,
                   lambda: acc.update_f64(array("d", [9.0]))):
        try:
            acc.update_f64(Exporter(action))
            raise AssertionError("re-entry was not refused")
        except RuntimeError:
            pass
    assert seen == ["Already mutably borrowed"] * 2 + ["Already borrowed"] * 2, seen
    assert acc.snapshot() == before and acc.observations == 2
    acc.update_f64(Exporter(lambda: None))
    assert acc.observations == 3
    print("ok")
""")


def test_reentry_through_a_python_buffer_exporter_is_refused(tmp_path):
    interpreters = later_interpreters()
    if not interpreters:
        pytest.skip("Python-level buffer exporters need Python 3.12 or later")
    result = run_with_installed_module(interpreters[min(interpreters)], REENTRANT_EXPORTER, tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
