"""Racing writers and memory exhaustion: a clean exception or an in-bounds result, never a crash,
and a failing update leaves the accumulator as it was. Each case runs in a child interpreter so
that a crash fails the test instead of ending the run."""

import os
import subprocess
import sys
import textwrap

import pytest

from helpers import child_environment

UNDER_SANITIZER = "LD_PRELOAD" in os.environ


def run_child(script, timeout=60):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True,
                            text=True, env=child_environment(), timeout=timeout)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.strip().endswith("ok"), result.stdout[-3000:]


@pytest.mark.parametrize("large", [False, True])
def test_offsets_and_bitmap_rewritten_during_a_call(large):
    # A writer thread flips offsets (far past the data) and the bitmap while the kernel runs;
    # NumPy's copyto releases the interpreter lock for copies this size.
    run_child(f"""
        import threading, time
        import numpy as np
        from tessary._native import StringAccumulator
        rows = 200_000
        kind = np.int64 if {large} else np.int32
        good = np.arange(rows + 1, dtype=kind)
        bad = good.copy(); bad[-1] = 2**40 if {large} else 2**31 - 1; bad[rows // 2] = -5
        offsets = good.copy()
        data = np.zeros(rows, np.uint8)
        bits_all = np.full(rows // 8, 255, np.uint8); bits_none = np.zeros_like(bits_all)
        validity = bits_all.copy()
        stop = threading.Event()
        def writer():
            while not stop.is_set():
                np.copyto(offsets, bad); np.copyto(validity, bits_none)
                np.copyto(offsets, good); np.copyto(validity, bits_all)
        thread = threading.Thread(target=writer); thread.start()
        deadline = time.monotonic() + 2.0
        try:
            while time.monotonic() < deadline:
                acc = StringAccumulator()
                update = acc.update_large_utf8 if {large} else acc.update_utf8
                for bitmap in (None, validity):
                    try:
                        update(data, offsets, rows, validity=bitmap)
                    except BufferError:
                        pass
                snap = acc.snapshot()
                assert snap["observations"] in (0, rows, 2 * rows), snap
        finally:
            stop.set(); thread.join()
        print("ok")
    """)


@pytest.mark.skipif(UNDER_SANITIZER, reason="address-space limits break the sanitizer's allocator")
def test_memory_exhaustion_while_bins_grow():
    # The first values open a window of bins near 1.0; 1e300 and 1e-300 need windows of
    # hundreds of KiB, which an address-space limit just above the current size refuses.
    run_child("""
        import resource
        import numpy as np
        import pyarrow as pa
        from tessary._native import (ArrowBatchProfileAccumulator, NumericAccumulator,
                                     numeric_profile_f64)

        def snapshot_bits(acc):
            return repr(acc.snapshot())

        near_one = np.linspace(0.5, 2.0, 100)
        spread = np.array([1e300, -1e300, 1e-300, 1.0, 3.0])
        numeric = NumericAccumulator(stream_id=7)
        numeric.update_f64(near_one)
        batches = ArrowBatchProfileAccumulator()
        batches.update(pa.record_batch({"x": near_one}))
        before = (snapshot_bits(numeric), snapshot_bits(batches), batches.rows)
        big_batch = pa.record_batch({"x": spread})

        def address_space():
            with open("/proc/self/status") as status:
                for line in status:
                    if line.startswith("VmSize:"):
                        return int(line.split()[1]) * 1024

        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        failures = []
        for call in (lambda: numeric.update_f64(spread), lambda: numeric_profile_f64(spread),
                     lambda: batches.update(big_batch)):
            resource.setrlimit(resource.RLIMIT_AS, (address_space() + 64 * 1024, hard))
            try:
                call()
            except MemoryError:
                failures.append(True)
            else:
                failures.append(False)
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        assert failures == [True, True, True], failures
        assert (snapshot_bits(numeric), snapshot_bits(batches), batches.rows) == before
        # Unchanged means usable: the same calls now succeed.
        numeric.update_f64(spread)
        batches.update(big_batch)
        assert numeric.observations == 105 and batches.rows == 105
        print("ok")
    """)
