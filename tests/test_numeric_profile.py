"""numeric_profile_f64 and NumericAccumulator."""

import math
from array import array

import numpy as np
from hypothesis import given, settings
from hypothesis import strategies as st

from tessary._native import NumericAccumulator, numeric_profile_f64, numeric_state_f64

from helpers import exact

QUANTILE_KEYS = ["p01", "p05", "p25", "p50", "p75", "p95", "p99"]


def test_empty_and_single_value_profiles():
    empty = dict(numeric_state_f64(array("d")), cardinality_estimate=0,
                 quantiles=dict.fromkeys(QUANTILE_KEYS, None) | {"relative_accuracy": 0.01},
                 heavy_hitters=[], reservoir=[])
    assert exact(numeric_profile_f64(array("d"))) == exact(empty)
    assert exact(NumericAccumulator().snapshot()) == exact(empty)
    one = numeric_profile_f64(array("d", [1.0, math.nan, math.inf]))
    assert (one["observations"], one["cardinality_estimate"]) == (3, 1)
    assert (one["heavy_hitters"], one["reservoir"]) == ([(1.0, 1)], [1.0])
    # 64 distinct values: the raw estimate, 64.505, is rounded to the nearest integer.
    assert numeric_profile_f64(np.arange(64.0))["cardinality_estimate"] == 65


def test_stream_id_reaches_only_the_reservoir_and_outlives_reset():
    large = np.random.default_rng(1).normal(size=5000)
    first, second = numeric_profile_f64(large, stream_id=1), numeric_profile_f64(values=large, stream_id=2)
    assert first.pop("reservoir") != second.pop("reservoir") and exact(first) == exact(second)
    assert exact(numeric_profile_f64(large, np.uint64(0))) == exact(numeric_profile_f64(large))
    # reset keeps the stream id and starts the stream again.
    acc = NumericAccumulator(9)
    acc.update_f64(large[:700])
    assert acc.reset() is None and acc.observations == 0
    acc.update_f64(large)
    assert exact(acc.snapshot()) == exact(numeric_profile_f64(large, 9))


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

