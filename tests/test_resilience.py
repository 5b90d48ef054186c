"""Racing writers, memory exhaustion and interpreter exit: a clean exception or an in-bounds
result, never a crash, and a failing update leaves the accumulator as it was. Each case runs in a
child interpreter."""

import os
import subprocess
import sys
import textwrap

import pytest

from helpers import child_environment, run_python


@pytest.mark.parametrize("large", [False, True])
def test_offsets_and_bitmap_rewritten_during_a_call(large):
    # A writer thread flips offsets (far past the data) and the bitmap while the kernel runs;
    # NumPy's copyto releases the interpreter lock for copies this size.
    run_python(f"""
        import threading
        import numpy as np
        from tessary._native import StringAccumulator
        rows, large = 200_000, {large}
        good = np.arange(rows + 1, dtype=np.int64 if large else np.int32)
        bad = good.copy(); bad[-1] = 2**40 if large else 2**31 - 1; bad[rows // 2] = -5
        offsets, data, stop = good.copy(), np.zeros(rows, np.uint8), threading.Event()
        ones = np.full(rows // 8, 255, np.uint8); zeros = ones * 0; validity = ones.copy()
        def writer():
            while not stop.is_set():
                np.copyto(offsets, bad); np.copyto(validity, zeros)
                np.copyto(offsets, good); np.copyto(validity, ones)
        thread = threading.Thread(target=writer); thread.start()
        for _ in range(500):
            acc = StringAccumulator()
            update = acc.update_large_utf8 if large else acc.update_utf8
            for bitmap in (None, validity):
                try:
                    update(data, offsets, rows, bitmap)
                except BufferError:
                    pass
            assert acc.snapshot()["observations"] in (0, rows, 2 * rows)
        stop.set(); thread.join()
    """)


@pytest.mark.skipif("LD_PRELOAD" in os.environ,
                    reason="address-space limits break the sanitizer's allocator")
def test_memory_exhaustion_while_bins_grow():
    # The first values open a window of bins near 1.0; 1e300 and 1e-300 need windows of
    # hundreds of KiB, which an address-space limit just above the current size refuses.
    run_python("""
        import resource
        import numpy as np
        import pyarrow as pa
        from tessary._native import (ArrowBatchProfileAccumulator, NumericAccumulator,
                                     numeric_profile_f64)
        near_one, spread = np.linspace(0.5, 2.0, 100), np.array([1e300, -1e300, 1e-300, 1.0, 3.0])
        numeric, batches = NumericAccumulator(stream_id=7), ArrowBatchProfileAccumulator()
        numeric.update_f64(near_one)
        batches.update(pa.record_batch({"x": near_one}))
        state = lambda: (repr(numeric.snapshot()), repr(batches.snapshot()), batches.rows)
        before, big_batch = state(), pa.record_batch({"x": spread})
        (soft, hard), failures = resource.getrlimit(resource.RLIMIT_AS), 0
        for call in (lambda: numeric.update_f64(spread), lambda: numeric_profile_f64(spread),
                     lambda: batches.update(big_batch)):
            with open("/proc/self/status") as status:
                size = next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmSize:"))
            resource.setrlimit(resource.RLIMIT_AS, (size + 64 * 1024, hard))
            try:
                call()
            except MemoryError:
                failures += 1
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        assert failures == 3 and state() == before
        numeric.update_f64(spread)  # unchanged means usable: the same calls now succeed
        batches.update(big_batch)
        assert numeric.observations == 105 and batches.rows == 105
    """)


# Each of the forked interpreters exits while daemon threads loop over the engine's calls;
# the interpreter ends them when they ask for the interpreter lock back, often inside
# Python code run from those calls (an export method, __index__) with references and
# imported arrays held. Every interpreter must exit cleanly.
EXITS_SCRIPT = textwrap.dedent("""
    import os, sys, threading, time
    import pyarrow as pa
    import tessary
    from tessary._native import NumericAccumulator, StringAccumulator

    TABLE = pa.table({"i": range(3000), "x": [i / 7 for i in range(3000)],
                      "s": [str(i % 50) for i in range(3000)]})
    ARRAY = TABLE.column("x").chunk(0)
    OFFSETS = memoryview(bytes(4) + bytes([1, 0, 0, 0])).cast("i")

    class Producer:
        def __arrow_c_array__(self, requested_schema=None):
            return ARRAY.__arrow_c_array__()

    class Length:
        def __index__(self):
            return 1

    def loops():
        numeric, strings = NumericAccumulator(), StringAccumulator()
        pair = [NumericAccumulator(), NumericAccumulator()]
        return [lambda: tessary.profile(TABLE), lambda: numeric.update_arrow(ARRAY),
                lambda: NumericAccumulator.update_arrow_columns(pair, [Producer(), Producer()]),
                lambda: strings.update_utf8(b"a", OFFSETS, Length())]

    def spin(call):
        while True:
            call()

    children = []
    for _ in range(20):
        pid = os.fork()
        if pid == 0:
            for call in loops():
                threading.Thread(target=spin, args=(call,), daemon=True).start()
            time.sleep(0.01)
            sys.exit(0)
        children.append(pid)
    print([os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) for pid in children])
""")


def test_interpreter_exits_with_daemon_threads_inside_calls():
    result = subprocess.run([sys.executable, "-c", EXITS_SCRIPT], capture_output=True, text=True,
                            timeout=120, env=child_environment())
    assert result.returncode == 0 and "FATAL" not in result.stderr, result.stderr[-3000:]
    assert result.stdout.strip() == str([0] * 20), result.stderr[-3000:]
