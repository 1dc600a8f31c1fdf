"""Testing many series at once with a process pool on one machine.

The module computes while holding the interpreter lock, so threads do not run
tests in parallel; processes do. Each worker imports zorvane once and tests a
share of the series. Result objects stay in the worker: the values come back.

    python examples/many_series_pool.py          # 2,000 simulated series
"""
from __future__ import annotations

import os
from concurrent.futures import ProcessPoolExecutor
from typing import NamedTuple

import numpy as np


class Outcome(NamedTuple):
    p_tilde: int
    statistic: float
    pvalue: float


def el_test(series) -> Outcome:
    from zorvane import statistical_tests

    r = statistical_tests.EscancianoLobato(series)
    return Outcome(r.p_tilde, r.statistic, r.pvalue)


def test_many(series: list[np.ndarray], processes: int | None = None) -> list[Outcome]:
    processes = processes or os.cpu_count() or 1
    # a few large chunks per worker keep the pickling overhead small
    chunksize = max(1, len(series) // (4 * processes))
    with ProcessPoolExecutor(max_workers=processes) as pool:
        return list(pool.map(el_test, series, chunksize=chunksize))


def simulated(count: int, length: int = 1000, seed: int = 0) -> list[np.ndarray]:
    """GARCH-like returns: no serial correlation, strong volatility clustering."""
    rng = np.random.default_rng(seed)
    out = []
    for _ in range(count):
        shocks = rng.standard_normal(length)
        variance = np.empty(length)
        variance[0] = 1.0
        for t in range(1, length):
            variance[t] = 0.05 + 0.1 * shocks[t - 1] ** 2 * variance[t - 1] + 0.85 * variance[t - 1]
        out.append(shocks * np.sqrt(variance))
    return out


if __name__ == "__main__":
    series = simulated(2000)
    outcomes = test_many(series)
    rejected = sum(o.pvalue < 0.05 for o in outcomes)
    print(f"{len(outcomes)} series tested; rejected at 5%: {rejected} ({100 * rejected / len(outcomes):.1f}%)")
