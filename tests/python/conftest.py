"""Shared fixtures and helpers for the Python suite."""
import math
import os
import struct

import numpy as np
import pytest
from hypothesis import settings

# "ci" for `make test`; "fuzz" (about 100,000 generated cases over the
# property tests) for `make fuzz`.
settings.register_profile("ci", max_examples=150)
settings.register_profile("fuzz", max_examples=17_000)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

from zorvane import statistical_tests

# Subprocesses started by the tests may run in other directories.
os.environ["PYTHONPATH"] = os.pathsep.join(
    os.path.abspath(entry) for entry in os.environ.get("PYTHONPATH", "").split(os.pathsep) if entry
)

EscancianoLobato = statistical_tests.EscancianoLobato

# AddressSanitizer reserves a large address space and dies rather than
# returning null when it runs out, so limits on the address space are left
# to the uninstrumented runs.
SKIP_UNDER_SANITIZER = pytest.mark.skipif(bool(os.environ.get("ZORVANE_SANITIZED")),
                                          reason="address-space limits do not work under AddressSanitizer")


def bits(value: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def outcome(result):
    """A result's values in a form that compares bit for bit (NaN as NaN)."""
    return (
        result.p_tilde,
        "nan" if math.isnan(result.statistic) else bits(result.statistic),
        "nan" if math.isnan(result.pvalue) else bits(result.pvalue),
    )


@pytest.fixture(scope="session")
def series():
    """A fixed series with some autocorrelation, 64 values."""
    rng = np.random.default_rng(20261207)
    noise = rng.standard_normal(64)
    values = np.empty(64)
    values[0] = noise[0]
    for t in range(1, 64):
        values[t] = 0.4 * values[t - 1] + noise[t]
    values.setflags(write=False)
    return values
