"""to_bytes, from_bytes, merge and pickling of the three accumulator classes."""

import copy
import pickle

import numpy as np
import pyarrow as pa
import pytest

from tessary._native import ArrowBatchProfileAccumulator, NumericAccumulator, StringAccumulator

from helpers import exact, fails_unchanged

RNG = np.random.default_rng(5)
NUMBERS = np.concatenate([RNG.normal(3.0, 2.0, 3000), [np.nan, np.inf, -0.0, 0.0]])
WORDS = pa.array([f"w{int(i)}" if i % 9 else None for i in RNG.zipf(1.3, 3000) % 400])


def feed(acc, part):
    """Feeds part `part` (0, 1 or 2) of a fixed stream of the accumulator's kind."""
    rows = slice(part * 1000, (part + 1) * 1000 + (4 if part == 2 else 0))  # 4 special values last
    if isinstance(acc, NumericAccumulator):
        acc.update_f64(NUMBERS[rows])
    elif isinstance(acc, StringAccumulator):
        words = WORDS[rows]
        validity, offsets, data = words.buffers()
        acc.update_utf8(np.frombuffer(data, np.uint8), np.frombuffer(offsets, np.int32), len(words),
                        np.frombuffer(validity, np.uint8), words.offset)
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
