"""Fuzzes Profiler.from_bytes with genuine profilers' bytes whose JSON header has a node replaced,
removed or repeated, whose parts are cut, flipped, swapped or taken from another profiler, and with
the raw input. A failure must be ValueError; a success must write back exactly the same bytes, give
a profile, and merge with itself. Run it with scripts/fuzz.sh fuzz_profiler [options]."""

import copy
import decimal

import atheris
import numpy as np
import pyarrow as pa
from common import fuzz, mutated_bytes
from helpers import profiler_bytes, profiler_parts

with atheris.instrument_imports(include=["tessary"]):  # the decoder is Python: its branches guide
    import tessary

MIXED = pa.table({
    "x": [1.5, np.nan, -np.inf, None], "i": pa.array([3, None, -7, 2**40], pa.int64()),
    "d": pa.array([decimal.Decimal("1.25"), None, None, decimal.Decimal("-3")], pa.decimal128(5, 2)),
    "t": pa.array([0, 86_400, None, -1], pa.timestamp("ms", tz="Europe/Paris")),
    "day": pa.array([0, 1, None, 19_000], pa.date32()), "dt": pa.array([5, 6, 7, None], pa.duration("s")),
    "s": ["a", None, "été", "a"], "bin": pa.array([b"\x00", b"", None, b"\xff"], pa.large_binary()),
    "b": [True, None, False, True], "k": pa.array(["lo", "hi", "lo", None]).dictionary_encode(),
    "z": pa.nulls(4), "l": [[1], None, [], [2, 3]], "st": [{"a": 1}, None, {"a": 2}, {"a": 3}],
})


def genuine():
    whole = tessary.Profiler(stream_id=7)
    whole.update(MIXED)
    selected = tessary.Profiler(columns=["s", "x"])
    selected.update(MIXED.slice(0, 3))
    spread = tessary.Profiler()
    spread.update({"x": [1e-11, 1e308, -2.5]})
    spread.update({"y": ["b", "b"]})  # a column that comes late, and one that goes
    spread.merge(tessary.Profiler.from_bytes(whole.to_bytes()))
    return [p.to_bytes() for p in (whole, selected, spread, tessary.Profiler(columns=[]))]


SEEDS = genuine()
PARTS = [profiler_parts(seed) for seed in SEEDS]
BLOBS = [blob for _, blobs in PARTS for blob in blobs]
LEAVES = [0, 1, 3, 4, -1, 2**63, 2**64 - 1, 2**64, True, False, None, 1.0, "", "x", "a", [], {},
          {"blob": 0}, {"blob": 1}, {"acc": {"blob": 1}}, {"count": 4, "missing": 0}]


@atheris.instrument_func
def mutated_json(fdp, value):
    """`value` with one node, reached from the top, replaced, removed, repeated or renamed."""
    if isinstance(value, list) and value and fdp.ConsumeBool():
        i = fdp.ConsumeIntInRange(0, len(value) - 1)
        action = fdp.ConsumeIntInRange(0, 3)
        if action == 0:
            value[i] = mutated_json(fdp, value[i])
        elif action == 1:
            del value[i]
        elif action == 2:
            value.insert(fdp.ConsumeIntInRange(0, len(value)), copy.deepcopy(value[i]))
        else:
            value[i], value[-1] = value[-1], value[i]
        return value
    if isinstance(value, dict) and value and fdp.ConsumeBool():
        key = fdp.PickValueInList(list(value))
        action = fdp.ConsumeIntInRange(0, 3)
        if action == 0:
            value[key] = mutated_json(fdp, value[key])
        elif action == 1:
            del value[key]
        elif action == 2:
            value[fdp.ConsumeUnicode(3)] = value.pop(key)
        else:
            value[key] = value.pop(key)  # the same key, moved to the end
        return value
    choice = fdp.ConsumeIntInRange(0, 3)
    if choice == 0:
        return fdp.ConsumeInt(9)
    if choice == 1:
        return fdp.ConsumeUnicode(4)
    return copy.deepcopy(fdp.PickValueInList(LEAVES))


@atheris.instrument_func
def candidate(fdp):
    header, blobs = copy.deepcopy(fdp.PickValueInList(PARTS))
    for _ in range(fdp.ConsumeIntInRange(1, 3)):
        what = fdp.ConsumeIntInRange(0, 3)
        if what == 0:
            header = mutated_json(fdp, header)
        elif what == 1 and blobs:
            i = fdp.ConsumeIntInRange(0, len(blobs) - 1)
            blobs[i] = mutated_bytes(fdp, blobs[i])
        elif what == 2 and blobs:
            i = fdp.ConsumeIntInRange(0, len(blobs) - 1)
            blobs[i] = fdp.PickValueInList(BLOBS)
        elif what == 3:
            blobs.insert(fdp.ConsumeIntInRange(0, len(blobs)), fdp.PickValueInList(BLOBS))
    data = profiler_bytes(header, blobs)
    return mutated_bytes(fdp, data) if fdp.ConsumeIntInRange(0, 7) == 0 else data


def TestOneInput(data: bytes):
    for blob in (candidate(atheris.FuzzedDataProvider(data)), data):
        try:
            profiler = tessary.Profiler.from_bytes(blob)
        except ValueError:
            continue
        assert profiler.to_bytes() == blob
        rows = profiler.profile().rows
        try:
            profiler.merge(profiler)
        except OverflowError:
            assert profiler.to_bytes() == blob
            continue
        assert profiler.profile().rows == 2 * rows


if __name__ == "__main__":
    fuzz(TestOneInput)
