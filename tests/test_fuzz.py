"""Every fuzz harness in tests/fuzz runs for a few thousand inputs from a fixed seed in a child
interpreter: a crash, a broken check or a leaked export fails the test. scripts/fuzz.sh runs one
harness for as long as one likes."""

import glob
import os
import subprocess
import sys

import pytest

from helpers import child_environment

HARNESSES = sorted(glob.glob(os.path.join(os.path.dirname(__file__), "fuzz", "fuzz_*.py")))
RUNS = 5000


def test_every_harness_is_found():  # a lost one would be skipped silently
    assert len(HARNESSES) == 5


@pytest.mark.parametrize("harness", HARNESSES, ids=os.path.basename)
def test_harness_runs_clean(harness, tmp_path):
    # Inputs of any length from the start: growing them slowly would leave most choices of a
    # harness untried in a short run. Leaks are the sanitizer run's own check; per input they
    # would report the interpreter's caches.
    result = subprocess.run(
        [sys.executable, harness, f"-runs={RUNS}", "-seed=1", "-len_control=0", "-detect_leaks=0",
         f"-artifact_prefix={tmp_path}/"],
        capture_output=True, text=True, env=child_environment(), timeout=600)
    # The harness's traceback goes to stdout, libFuzzer's report to stderr.
    assert result.returncode == 0 and f"Done {RUNS} runs" in result.stderr, \
        result.stdout[-3000:] + result.stderr[-2000:]
