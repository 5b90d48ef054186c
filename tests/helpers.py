"""Shared helpers of the test suite."""

import glob
import math
import os
import shutil
import struct
import subprocess
import sys


def exact(value):
    """A value with every float replaced by its bit pattern, for bit-for-bit comparison."""
    if isinstance(value, float):
        return ("float", struct.pack("<d", value))
    if isinstance(value, dict):
        return ("dict", [(k, exact(v)) for k, v in value.items()])
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [exact(v) for v in value])
    return value


def child_environment(**extra):
    """os.environ for child interpreters. Under the sanitizer run the child
    keeps the preloaded runtime (the module is instrumented) but does not
    check the other interpreter for leaks."""
    env = dict(os.environ)
    if "LD_PRELOAD" in env:
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    env.update(extra)
    return env


def later_interpreters():
    """{minor: path} of the CPython 3.12+ interpreters on this machine."""
    found = {}
    for minor in range(12, 20):
        name = f"python3.{minor}"
        candidates = sorted(glob.glob(os.path.expanduser(f"~/.pyenv/versions/3.{minor}*/bin/{name}")))
        if shutil.which(name):
            candidates.insert(0, shutil.which(name))
        for candidate in candidates:
            probe = subprocess.run([candidate, "-c", "import sys; print(sys.version_info[1])"],
                                   capture_output=True, text=True, env=child_environment())
            if probe.returncode == 0 and probe.stdout.strip() == str(minor):
                found[minor] = candidate
                break
    if sys.version_info >= (3, 12):
        found[sys.version_info[1]] = sys.executable
    return found


def run_with_installed_module(interpreter, script, tmp_path):
    """Runs `script` under `interpreter` with this process's tessary package on its path."""
    import tessary

    package = tmp_path / "tessary"
    package.mkdir(exist_ok=True)
    for source in (tessary.__file__, tessary._native.__file__):
        shutil.copy(source, package / os.path.basename(source))
    return subprocess.run([interpreter, "-c", script], capture_output=True, text=True,
                          env=child_environment(PYTHONPATH=str(tmp_path)), cwd=tmp_path)


def is_nan(x):
    return isinstance(x, float) and math.isnan(x)
