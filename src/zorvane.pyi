# Type information for the zorvane extension module.
from collections.abc import Sequence
from typing import Any, Protocol, SupportsFloat, SupportsIndex, final, type_check_only

import numpy as np
import numpy.typing as npt

__all__ = ["statistical_tests"]

# Anything with a to_numpy method: a pandas Series (of any dtype backend), a
# polars Series, a pyarrow Array or ChunkedArray, an xarray DataArray.
@type_check_only
class _ToNumpy(Protocol):
    def to_numpy(self, *args: Any, **kwargs: Any) -> Any: ...

# Python's buffers of numbers.
@type_check_only
class _Buffer(Protocol):
    def __buffer__(self, flags: int, /) -> memoryview: ...

_Data = (
    npt.NDArray[np.floating[Any]]
    | npt.NDArray[np.integer[Any]]
    | npt.NDArray[np.bool_]
    | _ToNumpy
    | Sequence[SupportsFloat]
    | bytes
    | bytearray
    | memoryview
)

# At run time `statistical_tests` is a module (an attribute of zorvane, not
# importable by its dotted name) whose only member is the class below.
@final
class statistical_tests:
    __all__: list[str]

    @final
    class EscancianoLobato:
        """Result of the Escanciano–Lobato heteroscedasticity proxy \\(EL\\) test."""

        def __new__(
            cls,
            raw_data: _Data,
            q: SupportsFloat | None = 2.4,
            d: SupportsIndex | None = None,
        ) -> statistical_tests.EscancianoLobato: ...
        @property
        def p_tilde(self) -> int:
            """The selected lag \\(p\\) that maximizes the penalized statistic."""
        @property
        def statistic(self) -> float:
            """The EL test statistic."""
        @property
        def pvalue(self) -> float:
            """The p-value of the EL test."""
