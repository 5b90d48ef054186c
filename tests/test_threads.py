"""Worker threads: every result is the same bit for bit whatever TESSARY_NUM_THREADS says, and a
forked child can use the engine although it inherited none of the parent's threads."""

import textwrap

from helpers import run_python

# Large enough for the parallel paths; values of every kind, NaN and infinities included.
WORKLOAD = """
import numpy as np
import pyarrow as pa
from tessary import _native
rng = np.random.default_rng(5)
values = rng.standard_cauchy(300_000)
values[::97] = np.nan
values[::1013] = np.inf
def results():
    acc = _native.NumericAccumulator(stream_id=3)
    for piece in np.array_split(values, 3):
        acc.update_f64(piece)
    arrow = _native.NumericAccumulator(stream_id=3)
    column = pa.array(values, mask=np.arange(values.size) % 89 == 0)
    for start in range(0, values.size, 100_000):
        arrow.update_arrow(column.slice(start, 100_000))
    columns = [_native.NumericAccumulator(stream_id=i) for i in (3, 4, 5)]
    _native.NumericAccumulator.update_arrow_columns(columns, [column, column.slice(7), column[:5]])
    assert columns[0].to_bytes() == arrow.to_bytes()
    batches = _native.ArrowBatchProfileAccumulator()
    batches.update(pa.record_batch({f"c{i}": values * i for i in range(8)}))
    text = pa.array((np.arange(values.size) * 7919 % 5000).astype(str), mask=np.arange(values.size) % 89 == 0).slice(3)
    strings = _native.StringAccumulator()
    validity, offsets, data = (memoryview(b) for b in text.buffers())
    strings.update_utf8(data.cast("B"), offsets.cast("i"), len(text), validity.cast("B"), text.offset)
    table = _native.TableAccumulator(3)
    table.update(pa.record_batch({**{f"c{i}": values[3:] * i for i in range(3)}, "t": text,
                                  "i": np.nan_to_num(values[3:] * 1e6, posinf=0, neginf=0).astype(np.int64)}))
    return repr((_native.numeric_profile_f64(values, stream_id=9), acc.snapshot(), arrow.snapshot(),
                 [c.snapshot() for c in columns], batches.snapshot(), strings.to_bytes(),
                 table.to_bytes()))
"""


def run(script, **env):
    return run_python(WORKLOAD + textwrap.dedent(script), **env)


def test_results_do_not_depend_on_the_thread_count():
    outputs = {n: run("print(results())", TESSARY_NUM_THREADS=str(n)) for n in (1, 2, 4)}
    assert outputs[1] == outputs[2] == outputs[4]


def test_forked_child_uses_the_engine():
    assert run("""
        import os, signal
        before = results()  # starts the parent's workers
        pid = os.fork()
        if pid == 0:
            signal.alarm(60)  # a deadlock ends the child instead of the test run
            os._exit(0 if results() == before else 1)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status))
    """, TESSARY_NUM_THREADS="2").strip() == "0"
