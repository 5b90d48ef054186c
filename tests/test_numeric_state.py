"""numeric_state_f64 and the float64 buffer intake shared by the numeric entry points. That all of
them refuse the same views, leave the state as it was, release every view once and count finite, NaN
and infinite elements as NumPy does is checked by tests/fuzz/fuzz_float64_intake.py. The moments of
huge values are checked through every numeric entry point."""

import math
import sys
from array import array
from decimal import Decimal, localcontext
from fractions import Fraction

import numpy as np
import pyarrow as pa
import pytest

import tessary
from tessary._native import (ArrowBatchProfileAccumulator, NumericAccumulator, numeric_profile_f64,
                             numeric_state_f64)

from exporters import NULL, BufferExporter
from helpers import exact


def test_values_bit_for_bit():
    expected = {"count": 4, "missing": 0, "infinite": 0, "mean": 2.5, "m2": 5.0, "m3": 0.0,
                "m4": 10.25, "variance": 1.6666666666666667, "std": 1.2909944487358056,
                "skewness": 0.0, "kurtosis": -1.200000000000001, "minimum": 1.0, "maximum": 4.0,
                "backend": "rust", "observations": 4}
    assert exact(numeric_state_f64(array("d", [1.0, 2.0, 3.0, 4.0]))) == exact(expected)
    for fmt in (b"<d", b"=d", b"@d"):  # native byte order however it is written
        values = BufferExporter(np.arange(1.0, 5.0).tobytes(), itemsize=8, format=fmt)
        assert exact(numeric_state_f64(values=values)) == exact(expected)
    empty = dict(expected, count=0, mean=None, m2=0.0, m4=0.0, variance=None, std=None,
                 skewness=None, kurtosis=None, minimum=None, maximum=None, observations=0)
    # CPython exports an empty array('d') at a dummy, unaligned address.
    for values in (array("d"), np.empty(0), memoryview(b"").cast("d")):
        assert exact(numeric_state_f64(values)) == exact(empty)


@pytest.mark.parametrize(("values", "message"), [
    (b"12345678", "buffer contents are not compatible with f64"),
    (np.zeros((2, 2)), "Tessary native numeric kernels require a 1D float64 buffer."),
    (np.zeros(()), "shape is null"),
    (np.arange(6.0)[::-2], "Tessary native numeric kernels require a C-contiguous float64 buffer."),
    (np.frombuffer(bytearray(33), np.float64, 4, offset=1),
     "buffer contents are insufficiently aligned for f64"),
    (BufferExporter(bytes(16), itemsize=8, format=b"d", len=-8, shape=None),
     "buffer exporter reported a negative length"),
    (BufferExporter(bytes(16), itemsize=8, format=b"d", buf=NULL),
     "Tessary could not borrow the supplied float64 buffer as a contiguous slice."),
    ([1.0, 2.0], None),  # the interpreter's TypeError
    # Only native-order doubles are taken.
    *[(BufferExporter(bytes(16), itemsize=8, format=fmt), "buffer contents are not compatible with f64")
      for fmt in (b">d", b"!d", b"f", b"q", b"Q", b"dd", b"e")],
])
def test_rejected_buffers(values, message):
    with pytest.raises(BufferError if message else TypeError) as info:
        numeric_state_f64(values)
    assert message is None or str(info.value) == message



def exact_figures(values):
    """The mean and derived figures of `values` from exact sums, rounded once: None where absent,
    inf beyond the largest double. A state keeps m2 as a double: where it overflows, std is inf
    too, and skewness and kurtosis are left out, as they are where m3 or m4 overflows."""
    with localcontext() as context:
        context.prec = 60
        xs = [Fraction(v) for v in values]
        n, mean = len(xs), sum(xs, Fraction(0)) / len(xs)
        m2, m3, m4 = (sum((x - mean) ** k for x in xs) for k in (2, 3, 4))
        fits = lambda *sums: all(abs(m) <= sys.float_info.max for m in sums)
        dec = lambda f: Decimal(f.numerator) / Decimal(f.denominator)
        variance = dec(m2) / (n - 1)
        out = {"mean": float(mean), "variance": float(variance),
               "std": float(variance.sqrt()) if fits(m2) else math.inf}
        if fits(m2, m3):
            out["skewness"] = None if m2 == 0 else float(
                Decimal(n * (n - 1)).sqrt() / (n - 2) * Decimal(n).sqrt() * dec(m3) / dec(m2).sqrt() ** 3)
        if fits(m2, m4):
            g2 = Decimal(n) * dec(m4) / dec(m2) ** 2 - 3 if m2 else None
            out["kurtosis"] = None if n < 4 or not m2 else float(
                Decimal(n - 1) / ((n - 2) * (n - 3)) * ((n + 1) * g2 + 6))
        return out


def every_entry_point(values, merge=True):
    """The column dict of `values` from each numeric entry point (and a merge of its halves); the
    batch reads it beside its negation, in the loop that folds two columns together."""
    x = np.array(values)
    yield numeric_state_f64(x)
    yield numeric_profile_f64(x)
    accs = [NumericAccumulator() for _ in range(4)]
    accs[0].update_f64(x)
    accs[1].update_arrow(pa.array(x))
    NumericAccumulator.update_arrow_columns([accs[2]], [pa.array(x)])
    accs[3].update_f64(x[: len(x) // 2])
    rest = NumericAccumulator()
    rest.update_f64(x[len(x) // 2:])
    accs[3].merge(rest)
    yield from (acc.snapshot() for acc in accs[:3 + merge])
    batch = ArrowBatchProfileAccumulator()
    batch.update(pa.record_batch({"x": x, "y": -x}))
    yield batch.snapshot()["profiles"]["x"]


@pytest.mark.parametrize("values", [
    [1e200] * 5, [2e154] * 3, [1e154] * 3,   # the first value's term1 is inf * 0
    [1e200, -1e200],                         # variance beyond the largest double
    [1.7e308, -1.7e308, 1.7e308],            # x - mean overflows
    [1e103, -1e103, 1e101],                  # pow(m2, 1.5) overflows
    [5e76, -5e76] * 4,                       # m2 * m2 and m4 * n overflow
])
def test_huge_values_give_the_representable_figures(values):
    expected = exact_figures(values)
    # Rounding: of the values' size for a merged mean, absolute for the scale-free figures.
    absolute = {"mean": 1e-15 * max(map(abs, values)), "skewness": 1e-14, "kurtosis": 1e-14}
    for got in every_entry_point(values):
        for key, want in expected.items():
            if want is None or math.isinf(want):
                assert got[key] == want, (key, got[key], want)
            else:
                assert math.isclose(got[key], want, rel_tol=1e-14, abs_tol=absolute.get(key, 0.0)), (
                    key, got[key], want)


def test_huge_values_in_long_columns_fold_as_one_at_a_time():
    """Long columns fold blocks of values and repair a block in which a sum overflowed; the two
    threads of a long column and the nulls of an Arrow column change nothing either."""
    rng = np.random.default_rng(5)
    x = -1.7e308 * rng.uniform(0.5, 1.0, 70_000)
    x[[0, 50_000, 60_001]] = [1e200, 1.7e308, 0.0]
    one_at_a_time = NumericAccumulator()
    for value in x:
        one_at_a_time.update_f64(np.array([value]))
    want = one_at_a_time.snapshot()
    assert math.isclose(want["mean"], sum(map(Fraction, x)) / len(x), rel_tol=1e-13)
    with_nulls = NumericAccumulator()
    with_nulls.update_arrow(pa.array(np.insert(x, [7, 50_000], 0.0), mask=np.isin(np.arange(70_002), [7, 50_001])))
    for got in [*every_entry_point(x, merge=False), with_nulls.snapshot()]:
        keys = [k for k in ("mean", "m2", "m3", "m4", "variance", "std", "skewness", "kurtosis") if k in got]
        assert exact([got[k] for k in keys]) == exact([want[k] for k in keys])
