"""Shared fixtures and helpers for the Python suite."""
import math
import os
import struct

import numpy as np
import pytest

from zorvane import statistical_tests

# Subprocesses started by the tests may run in other directories.
os.environ["PYTHONPATH"] = os.pathsep.join(
    os.path.abspath(entry) for entry in os.environ.get("PYTHONPATH", "").split(os.pathsep) if entry
)

EscancianoLobato = statistical_tests.EscancianoLobato


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
