"""Module conventions: members, binding, signatures, the one abi3 build."""

import inspect
import shutil
import subprocess
import sys
from array import array

import pytest

import tessary
from tessary import _native

from helpers import later_interpreters, run_with_installed_module

MEMBERS = [
    "NumericAccumulator",
    "ArrowBatchProfileAccumulator",
    "StringAccumulator",
    "numeric_state_f64",
    "numeric_profile_f64",
    "backend_info",
    "__version__",
]


def test_members_version_and_backend():
    assert _native.__all__ == [m for m in MEMBERS if hasattr(_native, m)]
    assert _native.__version__ == "0.2.0"
    assert _native.backend_info() == ("rust", "0.2.0")
    assert tessary.__version__ == "0.2.0"
    assert _native.__doc__ == ""
    assert _native.numeric_state_f64.__module__ == "tessary._native"


def test_no_argument_callables_reject_arguments():
    with pytest.raises(TypeError):
        _native.backend_info(1)
    with pytest.raises(TypeError):
        _native.backend_info(x=1)


BUF = array("d", [1.0])


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: _native.numeric_state_f64(),
         "numeric_state_f64() missing 1 required positional argument: 'values'"),
        (lambda: _native.numeric_state_f64(BUF, values=BUF),
         "numeric_state_f64() got multiple values for argument 'values'"),
        (lambda: _native.numeric_state_f64(BUF, x=1),
         "numeric_state_f64() got an unexpected keyword argument 'x'"),
        (lambda: _native.numeric_state_f64(BUF, BUF),
         "numeric_state_f64() takes 1 positional arguments but 2 were given"),
        # An unknown keyword is reported before a missing argument.
        (lambda: _native.numeric_state_f64(valu=BUF),
         "numeric_state_f64() got an unexpected keyword argument 'valu'"),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keyword_binding_equals_positional():
    assert _native.numeric_state_f64(values=BUF) == _native.numeric_state_f64(BUF)


def test_text_signatures():
    assert str(inspect.signature(_native.numeric_state_f64)) == "(values)"
    assert str(inspect.signature(_native.backend_info)) == "()"
    assert _native.numeric_state_f64.__doc__ in (None, "")


def _module_file():
    return _native.__file__


def test_built_module_is_abi3_and_exports_only_its_init():
    path = _module_file()
    assert path.endswith(".abi3.so")
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", path], capture_output=True, text=True,
                         check=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit__native"]
    ldd = shutil.which("ldd")
    if ldd is not None:
        linked = subprocess.run([ldd, path], capture_output=True, text=True).stdout
        assert "libpython" not in linked


_INTERPRETERS = later_interpreters()


@pytest.mark.parametrize("minor", [12, 13])
def test_the_same_build_loads_under_later_interpreters(minor, tmp_path):
    if sys.version_info[:2] == (3, minor):
        pytest.skip("this is the running interpreter")
    interpreter = _INTERPRETERS.get(minor)
    if interpreter is None:
        pytest.skip(f"Python 3.{minor} is not installed")
    script = (
        "from array import array; import tessary._native as n; "
        "r = n.numeric_state_f64(array('d', [1.0, 2.0, 3.0, 4.0])); "
        "assert r['kurtosis'] == -1.200000000000001, r; print(n.__file__)"
    )
    result = run_with_installed_module(interpreter, script, tmp_path)
    assert result.returncode == 0, result.stderr
    assert str(tmp_path) in result.stdout
