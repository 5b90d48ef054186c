"""Shared helpers of the test suite."""

import glob
import json
import os
import shutil
import struct
import subprocess
import sys
import textwrap

import pytest


def exact(value):
    """A value with every float replaced by its bit pattern (dicts keep their key order)."""
    if isinstance(value, float):
        return ("float", struct.pack("<d", value))
    if isinstance(value, dict):
        return ("dict", [(k, exact(v)) for k, v in value.items()])
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [exact(v) for v in value])
    return value


def figures(profile):
    """Column figures without the Arrow type, which differs between producers."""
    return {name: {k: v for k, v in c.items() if k != "type"}
            for name, c in profile.to_dict()["columns"].items()}


def fails_unchanged(acc, call, error, message=None, notes=None):
    """Runs call(), which must raise `error` (with exactly `message` and `notes` when given),
    and checks that acc's snapshot is unchanged bit for bit. Returns the exception."""
    before = exact(acc.snapshot())
    with pytest.raises(error) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    if notes is not None:
        assert getattr(info.value, "__notes__", None) == notes
    assert exact(acc.snapshot()) == before
    return info.value


def child_environment(**extra):
    """os.environ for child interpreters; under the sanitizer run the child keeps the
    preloaded runtime but does not check the other interpreter for leaks."""
    env = dict(os.environ, **extra)
    if "LD_PRELOAD" in env:
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    return env


def run_python(script, **env):
    """Runs `script` in a child interpreter, so that a crash fails the test instead of ending the
    run; returns its output."""
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True,
                            text=True, timeout=120, env=child_environment(**env))
    assert result.returncode == 0, result.stderr[-3000:]
    return result.stdout


def later_interpreter(minor):
    """The path of a working CPython 3.<minor> on this machine (pyenv's included), or None."""
    name = f"python3.{minor}"
    pyenv = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    for candidate in [shutil.which(name)] + sorted(
            glob.glob(os.path.join(pyenv, f"versions/3.{minor}*/bin/{name}"))):
        if candidate and subprocess.run(
                [candidate, "-c", "import sys; print(sys.version_info[1])"], capture_output=True,
                text=True, env=child_environment()).stdout.strip() == str(minor):
            return candidate


def run_with_installed_module(interpreter, script, tmp_path):
    """Runs `script` under `interpreter` with this process's tessary package on its path."""
    import tessary

    (tmp_path / "tessary").mkdir(exist_ok=True)
    package = os.path.dirname(tessary.__file__)
    for source in glob.glob(os.path.join(package, "*.py")) + [tessary._native.__file__]:
        shutil.copy(source, tmp_path / "tessary" / os.path.basename(source))
    return subprocess.run([interpreter, "-c", script], capture_output=True, text=True,
                          env=child_environment(PYTHONPATH=str(tmp_path)), cwd=tmp_path)


def profiler_parts(data):
    """(header, blobs) of Profiler.to_bytes() output: the JSON header and the parts after it."""
    (size,) = struct.unpack_from("<I", data, 10)
    header, at, blobs = json.loads(data[14:14 + size]), 14 + size, []
    while at < len(data):
        (length,) = struct.unpack_from("<Q", data, at)
        blobs.append(data[at + 8:at + 8 + length])
        at += 8 + length
    return header, blobs


def profiler_bytes(header, blobs):
    """profiler_parts reversed: the bytes of a header (or of its JSON text) and its parts."""
    head = header if isinstance(header, bytes) else json.dumps(header, separators=(",", ":")).encode()
    return b"".join([b"TSRYPROF", struct.pack("<HI", 2, len(head)), head]
                    + [struct.pack("<Q", len(b)) + b for b in blobs])
