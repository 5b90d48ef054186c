"""numeric_profile_f64 and NumericAccumulator."""

import inspect
import math
import sys
import textwrap
from array import array

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tessary._native import NumericAccumulator, numeric_profile_f64

from helpers import exact, later_interpreters, run_with_installed_module

PROFILE_KEYS = ["count", "missing", "infinite", "mean", "m2", "m3", "m4", "variance", "std",
                "skewness", "kurtosis", "minimum", "maximum", "backend", "observations",
                "cardinality_estimate", "quantiles", "heavy_hitters", "reservoir"]
QUANTILE_KEYS = ["p01", "p05", "p25", "p50", "p75", "p95", "p99", "relative_accuracy"]
BIN0 = math.exp(0.5 * math.log(1.01 / 0.99))


def test_empty_profile():
    result = numeric_profile_f64(array("d"))
    assert list(result) == PROFILE_KEYS
    assert list(result["quantiles"]) == QUANTILE_KEYS
    assert result["observations"] == 0 and result["cardinality_estimate"] == 0
    assert all(result["quantiles"][k] is None for k in QUANTILE_KEYS[:-1])
    assert result["quantiles"]["relative_accuracy"] == 0.01
    assert result["heavy_hitters"] == [] and result["reservoir"] == []
    assert NumericAccumulator().snapshot() == result


def test_profile_of_one_finite_value():
    result = numeric_profile_f64(array("d", [1.0, math.nan, math.inf]))
    assert (result["observations"], result["cardinality_estimate"]) == (3, 1)
    assert all(result["quantiles"][k] == BIN0 for k in QUANTILE_KEYS[:-1])
    assert result["heavy_hitters"] == [(1.0, 1)]
    assert result["reservoir"] == [1.0]


def test_sketch_contents_on_a_known_stream():
    values = np.array([1.0, 2.0, 3.0, 4.0, 5.0] + [2.0] * 5 + [-0.0, 0.0])
    result = numeric_profile_f64(values)
    assert result["quantiles"]["p50"] == pytest.approx(2.0, rel=0.01)
    # Both zeros are one value: one candidate, one distinct value.
    assert result["heavy_hitters"][:2] == [(2.0, 6), (0.0, 2)]
    assert result["cardinality_estimate"] == 6
    assert sorted(result["reservoir"]) == result["reservoir"] and len(result["reservoir"]) == 12
    assert math.copysign(1.0, result["reservoir"][0]) in (-1.0, 1.0)
    assert [math.copysign(1.0, z) for z in result["reservoir"][:2]].count(-1.0) == 1


def test_reservoir_depends_on_stream_id_only_beyond_capacity():
    small = np.linspace(-3.0, 3.0, 256)
    assert numeric_profile_f64(small, 5)["reservoir"] == sorted(small.tolist())
    large = np.random.default_rng(1).normal(size=5000)
    first = numeric_profile_f64(large, stream_id=1)
    second = numeric_profile_f64(large, stream_id=2)
    assert len(first["reservoir"]) == 256 and first["reservoir"] != second["reservoir"]
    first.pop("reservoir"), second.pop("reservoir")
    assert exact(first) == exact(second)


def test_argument_forms_are_equivalent():
    values = np.random.default_rng(3).normal(size=1000)
    expected = exact(numeric_profile_f64(values))
    assert exact(numeric_profile_f64(values, 0)) == expected
    assert exact(numeric_profile_f64(values=values, stream_id=0)) == expected
    assert exact(numeric_profile_f64(values, stream_id=np.uint64(0))) == expected


@pytest.mark.parametrize(
    ("stream_id", "error"),
    [(-1, OverflowError), (2**64, OverflowError), (1.5, TypeError), (None, TypeError),
     ("1", TypeError)],
)
def test_stream_id_conversion_errors_carry_the_note(stream_id, error):
    for call in (lambda: numeric_profile_f64(array("d"), stream_id),
                 lambda: NumericAccumulator(stream_id=stream_id)):
        with pytest.raises(error) as info:
            call()
        assert info.value.__notes__ == ["while processing 'stream_id'"]


def test_binding_messages_of_the_class():
    with pytest.raises(TypeError, match=r"^numeric_profile_f64\(\) takes from 1 to 2 positional "
                                        r"arguments but 3 were given$"):
        numeric_profile_f64(array("d"), 0, 0)
    with pytest.raises(TypeError, match=r"^NumericAccumulator\.update_f64\(\) takes 1 positional "
                                        r"arguments but 2 were given$"):
        NumericAccumulator().update_f64(array("d"), 1)
    with pytest.raises(TypeError, match=r"^NumericAccumulator\.update_f64\(\) missing 1 required "
                                        r"positional argument: 'values'$"):
        NumericAccumulator().update_f64()
    with pytest.raises(TypeError, match=r"^NumericAccumulator\.__new__\(\) got an unexpected "
                                        r"keyword argument 'seed'$"):
        NumericAccumulator(seed=1)
    with pytest.raises(TypeError):
        NumericAccumulator().snapshot(1)


def test_class_conventions():
    assert NumericAccumulator.__name__ == "NumericAccumulator"
    assert NumericAccumulator.__text_signature__ == "(stream_id=0)"
    assert str(inspect.signature(NumericAccumulator)) == "(stream_id=0)"
    assert str(inspect.signature(numeric_profile_f64)) == "(values, stream_id=0)"
    assert NumericAccumulator.update_f64.__text_signature__ == "($self, values)"
    assert list(inspect.signature(NumericAccumulator.update_f64).parameters) == ["self", "values"]
    with pytest.raises(TypeError):
        type("Sub", (NumericAccumulator,), {})
    acc = NumericAccumulator()
    with pytest.raises(AttributeError):
        acc.observations = 3
    with pytest.raises(AttributeError):
        acc.anything = 1
    with pytest.raises(TypeError):
        import weakref
        weakref.ref(acc)


@settings(max_examples=40, deadline=None)
@given(
    values=st.lists(st.one_of(st.floats(allow_nan=True, allow_infinity=True),
                              st.sampled_from([0.0, -0.0, 1.0, 2.5])), max_size=700),
    cuts=st.lists(st.integers(0, 700), max_size=6),
    stream_id=st.integers(0, 2**64 - 1),
)
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
    acc.reset()
    assert acc.observations == 0
    assert exact(acc.snapshot()) == exact(NumericAccumulator(9).snapshot())
    acc.update_f64(data)
    assert exact(acc.snapshot()) == exact(numeric_profile_f64(data, 9))
    assert exact(acc.snapshot()) == exact(acc.snapshot())


@pytest.mark.parametrize(
    "bad",
    [np.zeros(4, dtype=np.float32), np.zeros((2, 2)), np.arange(8.0)[::2],
     np.frombuffer(bytearray(40), dtype=np.float64, offset=1, count=4), [1.0]],
)
def test_a_failing_update_leaves_the_accumulator_unchanged(bad):
    acc = NumericAccumulator(3)
    acc.update_f64(np.array([1.0, math.nan, 2.0]))
    before = exact(acc.snapshot())
    with pytest.raises((BufferError, TypeError)):
        acc.update_f64(bad)
    assert exact(acc.snapshot()) == before and acc.observations == 3
    acc.update_f64(np.array([4.0]))
    assert exact(acc.snapshot()) == exact(numeric_profile_f64(np.array([1.0, math.nan, 2.0, 4.0]), 3))


REENTRANT_EXPORTER = textwrap.dedent("""
    import math
    from array import array
    from tessary._native import NumericAccumulator

    acc = NumericAccumulator(1)
    acc.update_f64(array("d", [1.0, 2.0]))
    before = acc.snapshot()
    seen = []

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
        except RuntimeError:
            pass
        else:
            raise AssertionError("re-entry was not refused")
    assert seen == ["Already mutably borrowed", "Already mutably borrowed",
                    "Already borrowed", "Already borrowed"], seen
    assert acc.snapshot() == before and acc.observations == 2
    acc.update_f64(Exporter(lambda: None))
    assert acc.observations == 3
    print("ok")
""")


def test_reentry_through_a_python_buffer_exporter_is_refused(tmp_path):
    interpreters = later_interpreters()
    if not interpreters:
        pytest.skip("Python-level buffer exporters need Python 3.12 or later")
    interpreter = interpreters[min(interpreters)]
    result = run_with_installed_module(interpreter, REENTRANT_EXPORTER, tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
