"""to_bytes, from_bytes, merge and pickling of the three accumulator classes."""

import copy
import pickle
import struct

import numpy as np
import pyarrow as pa
import pytest

from tessary._native import ArrowBatchProfileAccumulator, NumericAccumulator, StringAccumulator

from helpers import exact, fails_unchanged

RNG = np.random.default_rng(5)
NUMBERS = np.concatenate([RNG.normal(3.0, 2.0, 3000), [np.nan, np.inf, -0.0, 0.0]])
WORDS = pa.array([f"w{int(i)}" if i % 9 else None for i in RNG.zipf(1.3, 3000) % 400])


def update_strings(acc, words):
    """Feeds the Arrow string array `words` (with a null) through the UTF-8 kernel."""
    validity, offsets, data = words.buffers()
    acc.update_utf8(np.frombuffer(data, np.uint8), np.frombuffer(offsets, np.int32), len(words),
                    np.frombuffer(validity, np.uint8), words.offset)
    return acc


def feed(acc, part):
    """Feeds part `part` (0, 1 or 2) of a fixed stream of the accumulator's kind."""
    rows = slice(part * 1000, (part + 1) * 1000 + (4 if part == 2 else 0))  # 4 special values last
    if isinstance(acc, NumericAccumulator):
        acc.update_f64(NUMBERS[rows])
    elif isinstance(acc, StringAccumulator):
        update_strings(acc, WORDS[rows])
    else:
        acc.update(pa.record_batch({"x": NUMBERS[rows], "w": pa.nulls(len(NUMBERS[rows]), pa.string())})
                   if part != 1 else pa.record_batch({"y": np.arange(5, dtype=np.int16)}))
    return acc


KINDS = [lambda: NumericAccumulator(stream_id=9), StringAccumulator, ArrowBatchProfileAccumulator]
IDS = ["numeric", "string", "batch"]


@pytest.mark.parametrize("new", KINDS, ids=IDS)
@pytest.mark.parametrize("restore", [
    lambda acc: type(acc).from_bytes(acc.to_bytes()),
    lambda acc: type(acc).from_bytes(data=bytearray(acc.to_bytes())),
    # copy.deepcopy takes the same __reduce__ value, which pickle checks more strictly.
    lambda acc: pickle.loads(pickle.dumps(acc)), copy.copy,
], ids=["from_bytes", "bytearray", "pickle", "copy"])
def test_round_trip_equals_and_continues_bit_for_bit(new, restore):
    for parts in ([], [0], [0, 1]):
        original = new()
        for part in parts:
            feed(original, part)
        restored = restore(original)
        assert type(restored) is type(original)
        assert exact(restored.snapshot()) == exact(original.snapshot())
        assert restored.to_bytes() == original.to_bytes()
        # Later updates give what the original's give.
        assert exact(feed(restored, 2).snapshot()) == exact(feed(original, 2).snapshot())


@pytest.mark.parametrize("new", KINDS, ids=IDS)
def test_merge_is_in_place_and_leaves_other_unchanged(new):
    first, second, whole = feed(new(), 0), feed(feed(new(), 1), 2), new()
    for part in range(3):
        feed(whole, part)
    other_bytes = second.to_bytes()
    assert first.merge(second) is None
    assert second.to_bytes() == other_bytes
    merged, one_pass = first.snapshot(), whole.snapshot()
    if isinstance(first, ArrowBatchProfileAccumulator):
        # update merges each batch into the running state the same way.
        assert exact(merged) == exact(one_pass)
    else:
        for key in ("count", "missing", "observations", "cardinality_estimate"):
            assert merged[key] == one_pass[key]
    # With itself: the stream counted twice.
    before = first.snapshot()
    first.merge(other=first)
    counted = "rows" if isinstance(first, ArrowBatchProfileAccumulator) else "observations"
    assert first.snapshot()[counted] == 2 * before[counted]


def test_merge_keeps_the_receiving_state_as_the_left_operand():
    # The operand order shows in the last bit of the mean for these values; update() merges
    # each batch into the running state as the right operand.
    first = pa.record_batch({"x": [1.35, 4.975, -1.525, 1e-13]})
    second = pa.record_batch({"x": [-11.45, np.nan, -5.2, None]})
    left, right, one_pass = (ArrowBatchProfileAccumulator() for _ in range(3))
    for acc, batch in [(left, first), (right, second), (one_pass, first), (one_pass, second)]:
        acc.update(batch)
    left.merge(right)
    assert exact(left.snapshot()) == exact(one_pass.snapshot())


@pytest.mark.parametrize("new", KINDS, ids=IDS)
def test_merge_takes_only_its_own_class(new):
    acc = feed(new(), 0)
    for other in (None, NumericAccumulator() if isinstance(acc, StringAccumulator) else StringAccumulator()):
        fails_unchanged(acc, lambda: acc.merge(other), TypeError,
                        f"expected {type(acc).__name__}, not {type(other).__name__}",
                        ["while processing 'other'"])


VALID = feed(NumericAccumulator(), 0).to_bytes()


@pytest.mark.parametrize("data, error, message", [
    # The decoder's messages pass through unchanged; the core tests list them all.
    (VALID[:-1], ValueError, "serialized data is truncated"),
    ("TSRY", TypeError, "a bytes-like object is required, not 'str'"),
    (memoryview(VALID)[::2], BufferError, "serialized data must be a contiguous buffer"),
])
def test_from_bytes_rejects_with_a_clear_message(data, error, message):
    with pytest.raises(error) as info:
        NumericAccumulator.from_bytes(data)
    assert str(info.value) == message and info.value.__notes__ == ["while processing 'data'"]


def numeric_state(values, stream_id=0):
    acc = NumericAccumulator(stream_id=stream_id)
    acc.update_f64(np.ascontiguousarray(values, dtype=np.float64))
    return acc


def string_state(words):
    return update_strings(StringAccumulator(), pa.array(words, pa.string()))


def batch_state(columns):
    acc = ArrowBatchProfileAccumulator()
    acc.update(pa.record_batch(columns))
    return acc


def edit(at, new):
    """An edit of serialized bytes: the float64 (`new` a float) or the one-byte varint (`new` an
    int) at offset `at` replaced by `new`."""
    width, new = (8, struct.pack("<d", new)) if isinstance(new, float) else (1, varint(new))
    return lambda data: data[:at] + new + data[at % len(data) + width:]


def varint(n):
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    return bytes(out + bytes([n]))


# Genuine states and where their fields are: [1, 2, 4] has its moments (mean, m2, m3, m4,
# minimum, maximum) from byte 13, its last sampled value in the last 8 bytes and its heavy hitter
# 4.0 followed by the count 1; the strings a, a, b, None their count at byte 7; the batch its rows
# at byte 7 and the column's moments from byte 14.
NUMBERS_124 = numeric_state([1.0, 2.0, 4.0]).to_bytes()
WORDS_AAB = string_state(["a", "a", "b", None]).to_bytes()
BATCH_124 = batch_state({"x": [1.0, 2.0, 4.0]}).to_bytes()
HEAVY_4 = NUMBERS_124.index(struct.pack("<d", 4.0) + b"\x01")


REFUSED = [
    (NumericAccumulator, NUMBERS_124, edit(13, float("nan")), "moments"),
    (NumericAccumulator, NUMBERS_124, edit(21, -5.0), "moments"),
    (NumericAccumulator, NUMBERS_124, edit(37, float("nan")), "moments beyond the extremes"),
    (NumericAccumulator, NUMBERS_124, edit(13, 1e300), "mean outside the extremes"),
    (NumericAccumulator, NUMBERS_124, edit(21, 1e300), "moments beyond the extremes"),
    (NumericAccumulator, NUMBERS_124, edit(45, 4.0), "moments of equal values"),
    (NumericAccumulator, NUMBERS_124, edit(53, 4.5), "quantile bins outside the extremes"),
    (NumericAccumulator, NUMBERS_124, edit(-8, 1e300), "reservoir value outside the extremes"),
    (NumericAccumulator, NUMBERS_124, edit(HEAVY_4, 1e300), "heavy hitter outside the extremes"),
    (NumericAccumulator, NUMBERS_124, edit(8, 4), "position beyond the observations"),
    (StringAccumulator, WORDS_AAB, edit(7, 1), "HyperLogLog registers and count disagree"),
    (StringAccumulator, WORDS_AAB, edit(7, 2), "heavy hitter counts"),
    (ArrowBatchProfileAccumulator, BATCH_124, edit(7, 2), "column values beyond the rows"),
    (ArrowBatchProfileAccumulator, BATCH_124, edit(14, float("nan")), "moments"),
    (ArrowBatchProfileAccumulator, BATCH_124, edit(54, 4.5), "quantile bins outside the extremes"),
]


@pytest.mark.parametrize("cls, genuine, change, reason", REFUSED,
                         ids=[f"{cls.__name__}: {reason}" for cls, _, _, reason in REFUSED])
def test_from_bytes_refuses_states_that_no_stream_gives(cls, genuine, change, reason):
    # Merged in, any of these would spoil the figures of a genuine state.
    data = change(genuine)
    assert data != genuine and len(data) == len(genuine)
    with pytest.raises(ValueError) as info:
        cls.from_bytes(data)
    assert str(info.value) == "corrupt serialized data: " + reason


@pytest.mark.parametrize("values", [
    [5e-324, 0.0, -1e-323, 2e-308] * 40,  # products that underflow
    [-0.0] * 50 + [0.0],
    1e10 + np.arange(60) % 3 * np.spacing(1e10),  # a spread of two units in the last place
    np.geomspace(1e-300, 1e70, 600) * (-1.0) ** np.arange(600),
    [1.0] * 299 + [1e70],
    [1e120, -1e120] * 50,  # m3 and m4 overflow with both signs: NaN
    [1.7e308, -1.7e308, 1.7e308],
])
def test_every_state_of_a_stream_and_its_merges_decodes(values):
    parts = [numeric_state(np.asarray(values)[i::3], stream_id=i) for i in range(3)]
    parts[1].merge(parts[0])
    parts[2].merge(parts[1])
    parts[2].merge(parts[2])
    for acc in parts:
        assert NumericAccumulator.from_bytes(acc.to_bytes()).to_bytes() == acc.to_bytes()


def test_a_merge_that_rounds_the_mean_past_the_extremes_decodes():
    # A value merged with 2^62 copies of another: the mean steps a unit in the last place past
    # the maximum.
    many = numeric_state([0.00010192065653546221] * 4)
    for _ in range(60):
        many.merge(many)
    acc = numeric_state([-26.589187155779804])
    acc.merge(many)
    assert acc.snapshot()["mean"] > acc.snapshot()["maximum"]
    assert NumericAccumulator.from_bytes(acc.to_bytes()).to_bytes() == acc.to_bytes()


FULL = 2**64 - 1


@pytest.mark.parametrize("full, one, grow", [
    # Observations and missing (bytes 9 and 11) at 2**64 - 1: a state of NaN.
    (edit(9, FULL)(edit(11, FULL)(numeric_state([np.nan]).to_bytes())), numeric_state([np.nan]),
     lambda acc: acc.update_f64(np.array([np.nan]))),
    # Missing (byte 8) at 2**64 - 1; updates saturate by design.
    (edit(8, FULL)(string_state([None]).to_bytes()), string_state([None]), None),
    # Rows (byte 7) at 2**64 - 1.
    (edit(7, FULL)(ArrowBatchProfileAccumulator().to_bytes()), batch_state({"x": [1.0]}),
     lambda acc: acc.update(pa.record_batch({"x": [1.0]}))),
], ids=IDS)
def test_counts_past_2_64_are_refused_and_change_nothing(full, one, grow):
    full = type(one).from_bytes(full)
    for acc, call in [(full, lambda: full.merge(full)), (full, lambda: full.merge(one)),
                      (one, lambda: one.merge(full))]:
        fails_unchanged(acc, call, OverflowError, "the merged counts would exceed 2**64 - 1")
    if grow:
        fails_unchanged(full, lambda: grow(full), OverflowError, "the updated counts would exceed 2**64 - 1")


def test_self_merges_stop_before_the_count_wraps():
    acc = numeric_state([1.0, 2.0, 3.0])
    for _ in range(62):
        acc.merge(acc)
    assert acc.snapshot()["count"] == 3 * 2**62
    fails_unchanged(acc, lambda: acc.merge(acc), OverflowError, "the merged counts would exceed 2**64 - 1")
