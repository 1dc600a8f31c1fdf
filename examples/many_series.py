"""Testing many series on one machine: one row of results per series.

A plain loop in one process is the fastest way for series that are already in
memory: one test costs about 2 ns per value, less than sending the values to
another process would. A pool of processes pays off only when each worker
reads its own series from files, so that no values travel between processes
(the benchmark, `make bench`, measures both; see the README).

    python examples/many_series.py                # 500 simulated assets in a DataFrame, in a loop
    python examples/many_series.py FOLDER         # every .npy file in FOLDER, by a pool of processes
"""
from __future__ import annotations

import os
import sys
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path
from typing import Iterable, Mapping

import numpy as np
import pandas as pd

from zorvane import statistical_tests

COLUMNS = ["p_tilde", "statistic", "pvalue", "error"]


def test_one(values) -> tuple:
    """(p~, statistic, p-value, None), or (None, NaN, NaN, "ValueError: ...") for a
    series the test refuses (a NaN, too short, constant, not numbers)."""
    try:
        r = statistical_tests.EscancianoLobato(values)
    except (TypeError, ValueError, OSError) as e:
        return None, float("nan"), float("nan"), f"{type(e).__name__}: {e}"
    return r.p_tilde, r.statistic, r.pvalue


def results_frame(names: Iterable, rows: Iterable[tuple]) -> pd.DataFrame:
    frame = pd.DataFrame([row + (None,) * (4 - len(row)) for row in rows], index=list(names), columns=COLUMNS)
    frame["p_tilde"] = frame["p_tilde"].astype("Int64")
    return frame


def test_columns(data: pd.DataFrame | Mapping | list) -> pd.DataFrame:
    """Every column of a DataFrame (one per asset), every value of a mapping, or
    every array of a list, tested in a loop; one row per series, by name."""
    if isinstance(data, pd.DataFrame):
        named = data.items()
    elif isinstance(data, Mapping):
        named = data.items()
    else:
        named = enumerate(data)
    names, rows = [], []
    for name, values in named:
        names.append(name)
        rows.append(test_one(values))
    return results_frame(names, rows)


def test_file(path: str) -> tuple:
    """The test on one series stored as a .npy file, read where it runs."""
    return test_one(np.load(path))


def test_files(paths: list[str], processes: int | None = None) -> pd.DataFrame:
    """Each worker reads and tests its own files: only the names go out and
    three numbers per series come back."""
    processes = processes or os.cpu_count() or 1
    chunksize = max(1, len(paths) // (8 * processes))
    with ProcessPoolExecutor(max_workers=processes) as pool:
        rows = list(pool.map(test_file, paths, chunksize=chunksize))
    return results_frame([Path(p).stem for p in paths], rows)


def simulated_returns(assets: int = 500, days: int = 1000, seed: int = 0) -> pd.DataFrame:
    """GARCH(1,1) returns: no serial correlation, strong volatility clustering."""
    rng = np.random.default_rng(seed)
    shocks = rng.standard_normal((days, assets))
    variance = np.ones(assets)
    returns = np.empty((days, assets))
    for t in range(days):
        returns[t] = shocks[t] * np.sqrt(variance)
        variance = 0.05 + 0.1 * returns[t] ** 2 + 0.85 * variance
    return pd.DataFrame(returns, columns=[f"asset{i:03d}" for i in range(assets)])


def main() -> None:
    if len(sys.argv) > 1:
        paths = sorted(str(p) for p in Path(sys.argv[1]).glob("*.npy"))
        results = test_files(paths)
    else:
        returns = simulated_returns()
        returns.iloc[5, 3] = np.nan  # a gap in one asset: reported in its row, the others go on
        results = test_columns(returns)
    tested = results["error"].isna()
    rejected = int((results.loc[tested, "pvalue"] < 0.05).sum())
    print(f"{len(results)} series: {int(tested.sum())} tested, rejected at 5%: {rejected}; "
          f"refused: {int((~tested).sum())}")
    print(results.head().to_string())
    if (~tested).any():
        print(results.loc[~tested, ["error"]].to_string())


if __name__ == "__main__":
    main()
