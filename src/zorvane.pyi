# Type information for the zorvane extension module.
from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

__all__ = ["statistical_tests"]

_Data = npt.NDArray[np.floating] | npt.NDArray[np.integer] | Sequence[SupportsFloat] | bytes

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
