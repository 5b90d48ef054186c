"""Profiles of data columns: exact moments and sketches, computed natively.

    >>> import tessary
    >>> tessary.profile("data.parquet")        # or a DataFrame, array, list...

`profile(data)` returns a `Profile`; `Profiler` takes data in pieces. The
native engine is `tessary._native`; its classes are also available here, and
its two float64 functions with an error that points to `profile`.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from tessary import _native
from tessary._inputs import MissingDependencyError
from tessary._native import (ArrowBatchProfileAccumulator, NumericAccumulator, StringAccumulator,
                             __version__, backend_info)
from tessary._compare import Comparison, compare
from tessary._profile import Profile, Profiler, profile

if TYPE_CHECKING:
    from typing_extensions import Buffer

    from tessary._native import NumericProfile, NumericStateResult

__all__ = ["profile", "Profiler", "Profile", "compare", "Comparison", "MissingDependencyError",
           "NumericAccumulator", "ArrowBatchProfileAccumulator", "StringAccumulator",
           "numeric_state_f64", "numeric_profile_f64", "backend_info", "__version__"]

_F64_HINT = ("{name} reads float64 buffers only: use tessary.profile(values) for any numeric "
             "type, or cast first, e.g. numpy.asarray(values, dtype='float64')")


def numeric_state_f64(values: Buffer) -> NumericStateResult:
    """Exact moments of a one-dimensional float64 buffer (see tessary._native)."""
    try:
        return _native.numeric_state_f64(values)
    except BufferError as error:
        error.add_note(_F64_HINT.format(name="numeric_state_f64"))
        raise


def numeric_profile_f64(values: Buffer, stream_id: int = 0) -> NumericProfile:
    """Exact moments and sketches of a one-dimensional float64 buffer (see tessary._native)."""
    try:
        return _native.numeric_profile_f64(values, stream_id)
    except BufferError as error:
        error.add_note(_F64_HINT.format(name="numeric_profile_f64"))
        raise
