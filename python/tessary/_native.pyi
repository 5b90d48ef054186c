"""Type stubs of the native core."""

from collections.abc import Iterable
from typing import Final, Protocol, TypedDict, final

from typing_extensions import Buffer, Self

__all__ = ["NumericAccumulator", "ArrowBatchProfileAccumulator", "StringAccumulator",
           "numeric_state_f64", "numeric_profile_f64", "backend_info", "__version__"]
__version__: Final[str]

class _ArrowArrayExportable(Protocol):
    def __arrow_c_array__(self, requested_schema: object | None = ...) -> tuple[object, object]: ...

class ExactState(TypedDict):
    count: int
    missing: int
    infinite: int
    mean: float | None
    m2: float
    m3: float
    m4: float
    variance: float | None
    std: float | None
    skewness: float | None
    kurtosis: float | None
    minimum: float | None
    maximum: float | None

class Quantiles(TypedDict):
    p01: float | None
    p05: float | None
    p25: float | None
    p50: float | None
    p75: float | None
    p95: float | None
    p99: float | None
    relative_accuracy: float

class NumericStateResult(ExactState):
    backend: str
    observations: int

class NumericProfile(ExactState):
    backend: str
    observations: int
    cardinality_estimate: int
    quantiles: Quantiles
    heavy_hitters: list[tuple[float, int]]
    reservoir: list[float]

class ColumnProfile(ExactState):
    backend: str
    observations: int
    sketch_policy: str
    quantiles: Quantiles

class BatchProfile(TypedDict):
    backend: str
    rows: int
    sketch_policy: str
    profiles: dict[str, ColumnProfile]
    skipped_columns: list[str]

class StringProfile(TypedDict):
    backend: str
    count: int
    missing: int
    observations: int
    cardinality_estimate: int
    heavy_hitters: list[tuple[str, int]]
    cardinality_method: str
    heavy_hitter_method: str
    heavy_hitter_count_semantics: str
    max_retained_label_bytes: int

def numeric_state_f64(values: Buffer) -> NumericStateResult: ...
def numeric_profile_f64(values: Buffer, stream_id: int = 0) -> NumericProfile: ...
def backend_info() -> tuple[str, str]: ...

@final
class NumericAccumulator:
    def __new__(cls, stream_id: int = 0) -> NumericAccumulator: ...
    def update_f64(self, values: Buffer) -> None: ...
    def update_arrow(self, array: _ArrowArrayExportable) -> None: ...
    @classmethod
    def update_arrow_columns(
        cls, accumulators: Iterable[NumericAccumulator], arrays: Iterable[_ArrowArrayExportable]
    ) -> None: ...
    def add_missing(self, count: int) -> None: ...
    def snapshot(self) -> NumericProfile: ...
    def reset(self) -> None: ...
    @property
    def observations(self) -> int: ...
    @property
    def stream_id(self) -> int: ...
    def to_bytes(self) -> bytes: ...
    @classmethod
    def from_bytes(cls, data: Buffer) -> Self: ...
    def merge(self, other: Self) -> None: ...
    def __reduce__(self) -> tuple[object, tuple[bytes]]: ...
    def __copy__(self) -> Self: ...
    @property
    def nbytes(self) -> int: ...

@final
class ArrowBatchProfileAccumulator:
    def __new__(cls) -> ArrowBatchProfileAccumulator: ...
    def update(self, batch: _ArrowArrayExportable) -> None: ...
    def snapshot(self) -> BatchProfile: ...
    def reset(self) -> None: ...
    @property
    def rows(self) -> int: ...
    def to_bytes(self) -> bytes: ...
    @classmethod
    def from_bytes(cls, data: Buffer) -> Self: ...
    def merge(self, other: Self) -> None: ...
    def __reduce__(self) -> tuple[object, tuple[bytes]]: ...
    def __copy__(self) -> Self: ...
    @property
    def nbytes(self) -> int: ...

@final
class StringAccumulator:
    def __new__(cls) -> StringAccumulator: ...
    def update_utf8(
        self, data: Buffer, offsets: Buffer, length: int, validity: Buffer | None = None,
        array_offset: int = 0,
    ) -> None: ...
    def update_large_utf8(
        self, data: Buffer, offsets: Buffer, length: int, validity: Buffer | None = None,
        array_offset: int = 0,
    ) -> None: ...
    def add_missing(self, count: int) -> None: ...
    def snapshot(self) -> StringProfile: ...
    def reset(self) -> None: ...
    @property
    def observations(self) -> int: ...
    def to_bytes(self) -> bytes: ...
    @classmethod
    def from_bytes(cls, data: Buffer) -> Self: ...
    def merge(self, other: Self) -> None: ...
    def __reduce__(self) -> tuple[object, tuple[bytes]]: ...
    def __copy__(self) -> Self: ...
    @property
    def nbytes(self) -> int: ...
