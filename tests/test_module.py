"""Module conventions: members, argument binding, signatures, classes, the one abi3 build."""

import os
import shutil
import subprocess
import sys
import textwrap
import weakref
from array import array

import pytest

import tessary
from tessary import _native
from tessary._native import (ArrowBatchProfileAccumulator, NumericAccumulator, StringAccumulator,
                             numeric_profile_f64, numeric_state_f64)

from helpers import later_interpreter, run_with_installed_module

BUF = array("d", [1.0])


def test_members_version_backend_and_docstrings():
    assert _native.__all__ == ["NumericAccumulator", "ArrowBatchProfileAccumulator",
                               "StringAccumulator", "numeric_state_f64", "numeric_profile_f64",
                               "backend_info", "__version__"]
    assert _native.__version__ == tessary.__version__ == "0.2.0"
    assert _native.backend_info() == ("rust", "0.2.0")
    assert _native.__doc__ == "" and numeric_state_f64.__module__ == "tessary._native"
    # Docstrings; the text signatures are checked against the stubs by test_stubs_match_the_runtime.
    assert numeric_state_f64.__doc__ in (None, "") and NumericAccumulator.update_f64.__doc__ in (None, "")
    assert ArrowBatchProfileAccumulator.__doc__.startswith(
        "Persistent zero-copy Arrow batch profiler.\n\nRecord batches")
    # Callables without parameters reject any argument.
    for call in (lambda: _native.backend_info(1), lambda: _native.backend_info(x=1),
                 lambda: NumericAccumulator().snapshot(1), lambda: StringAccumulator().reset(1)):
        with pytest.raises(TypeError):
            call()


@pytest.mark.parametrize(("call", "message"), [
    (lambda: numeric_state_f64(), "numeric_state_f64() missing 1 required positional argument: 'values'"),
    (lambda: numeric_state_f64(BUF, BUF),
     "numeric_state_f64() takes 1 positional arguments but 2 were given"),
    # An unknown keyword is reported before a missing argument.
    (lambda: numeric_state_f64(valu=BUF), "numeric_state_f64() got an unexpected keyword argument 'valu'"),
    (lambda: numeric_profile_f64(BUF, 0, 0),
     "numeric_profile_f64() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: NumericAccumulator().update_f64(BUF, 1),
     "NumericAccumulator.update_f64() takes 1 positional arguments but 2 were given"),
    (lambda: NumericAccumulator(seed=1),
     "NumericAccumulator.__new__() got an unexpected keyword argument 'seed'"),
    (lambda: ArrowBatchProfileAccumulator().update(),
     "ArrowBatchProfileAccumulator.update() missing 1 required positional argument: 'batch'"),
    (lambda: StringAccumulator().update_large_utf8(b"abc", BUF, 3, None, 0, 1),
     "StringAccumulator.update_large_utf8() takes from 3 to 5 positional arguments but 6 were given"),
    (lambda: StringAccumulator().update_utf8(b"abc", BUF, 3, data=b"abc"),
     "StringAccumulator.update_utf8() got multiple values for argument 'data'"),
    (lambda: StringAccumulator(1), "StringAccumulator.__new__() takes 0 positional arguments but 1 was given"),
])
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


# Integer parameters are unsigned 64-bit, converted before any buffer is requested; a failure
# names the parameter in a note.
@pytest.mark.parametrize(("call", "name"), [
    (lambda v: numeric_profile_f64(None, v), "stream_id"), (lambda v: NumericAccumulator(v), "stream_id"),
    (lambda v: StringAccumulator().update_utf8(None, None, v), "length"),
    (lambda v: StringAccumulator().update_large_utf8(None, None, 0, None, v), "array_offset"),
    (lambda v: StringAccumulator().update_utf8(None, None, v, None, v), "length"),  # both fail: the first
])
def test_integer_conversion_errors_carry_the_note(call, name):
    for value, error in [(-1, OverflowError), (2**64, OverflowError), (1.5, TypeError), ("1", TypeError)]:
        with pytest.raises(error) as info:
            call(value)
        assert info.value.__notes__ == [f"while processing '{name}'"]


@pytest.mark.parametrize("cls, attribute", [(NumericAccumulator, "observations"),
                                            (ArrowBatchProfileAccumulator, "rows"),
                                            (StringAccumulator, "observations")])
def test_classes_are_final_without_dict_or_weakrefs(cls, attribute):
    assert cls.__name__ == cls.__qualname__ and "." not in cls.__name__
    instance = cls()
    for error, call in [(TypeError, lambda: type("Sub", (cls,), {})), (TypeError, lambda: weakref.ref(instance)),
                        (AttributeError, lambda: setattr(instance, attribute, 1)),
                        (AttributeError, lambda: setattr(instance, "anything", 1)),
                        (AttributeError, lambda: delattr(instance, attribute))]:
        with pytest.raises(error):
            call()


def test_built_module_is_abi3_and_exports_only_its_init():
    path = _native.__file__
    assert path.endswith(".abi3.so")
    if shutil.which("nm") is None:
        pytest.skip("nm is not installed")
    out = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True,
                         check=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit__native"]
    if shutil.which("ldd"):
        assert "libpython" not in subprocess.run(["ldd", path], capture_output=True, text=True).stdout


# Python-level buffer exporters (3.12+) can call back into the accumulator that
# requested them: the borrow is taken before the buffer is requested.
LATER_INTERPRETER_SCRIPT = textwrap.dedent("""
    from array import array
    import tessary._native as n

    r = n.numeric_state_f64(array('d', [1.0, 2.0, 3.0, 4.0]))
    assert r['kurtosis'] == -1.200000000000001, r
    acc, seen = n.NumericAccumulator(1), []

    for action in (acc.snapshot, lambda: acc.observations, acc.reset,
                   lambda: acc.update_f64(array("d", [9.0]))):
        class Exporter:
            def __buffer__(self, flags):
                try:
                    action()
                except RuntimeError as error:
                    seen.append(str(error))
                return memoryview(array("d", [5.0]))

        acc.update_f64(Exporter())
    print(n.__file__, seen, acc.snapshot()["count"])
""")


@pytest.mark.parametrize("minor", [12, 13])
def test_the_same_build_loads_under_later_interpreters(minor, tmp_path):
    interpreter = sys.version_info[:2] != (3, minor) and later_interpreter(minor)
    if not interpreter:
        pytest.skip(f"Python 3.{minor} is the running interpreter or not installed")
    result = run_with_installed_module(interpreter, LATER_INTERPRETER_SCRIPT, tmp_path)
    borrow_errors = ["Already mutably borrowed"] * 2 + ["Already borrowed"] * 2
    assert result.stdout.split(" ", 1) == [f"{tmp_path}/tessary/{os.path.basename(_native.__file__)}",
                                           f"{borrow_errors} 4\n"], result.stderr
