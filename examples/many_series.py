"""Testing many series on one machine: one row of results per series.

For series that are already in memory: on a free-threaded CPython (3.13t and
later, run without the interpreter lock), a pool of threads, one chunk of
series per core; elsewhere a plain loop in one process, since one test costs
about 2 ns per value, less than sending the values to another process would.
A pool of processes pays off only when each worker reads its own series from
files, so that no values travel between processes (the benchmark, `make
bench`, measures all three; see docs/guide/many-series.md).

    python examples/many_series.py                # 500 simulated assets in a DataFrame
    python examples/many_series.py FOLDER         # every .npy file in FOLDER, by a pool of processes
"""
from __future__ import annotations

import os
import sys
import traceback
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from pathlib import Path
from typing import Iterable, Mapping

import numpy as np

try:
    import pandas as pd
except ImportError:
    sys.exit("this recipe needs pandas: pip install pandas")

from zorvane import statistical_tests

COLUMNS = ["p_tilde", "statistic", "pvalue", "error"]


def refusal_text(e: BaseException) -> str:
    """The exception and its notes (Python 3.11+: where, and what to do) on one line."""
    return "; ".join(line.rstrip("\n") for line in traceback.format_exception_only(type(e), e))


def test_one(values) -> tuple:
    """(p~, statistic, p-value, None), or (None, NaN, NaN, "ValueError: ...") for a
    series the test refuses (a NaN, too short, constant, not numbers)."""
    try:
        r = statistical_tests.EscancianoLobato(values)
    except (TypeError, ValueError, OSError) as e:
        return None, float("nan"), float("nan"), refusal_text(e)
    return r.p_tilde, r.statistic, r.pvalue


def results_frame(names: Iterable, rows: Iterable[tuple]) -> pd.DataFrame:
    frame = pd.DataFrame([row + (None,) * (4 - len(row)) for row in rows], index=list(names), columns=COLUMNS)
    frame["p_tilde"] = frame["p_tilde"].astype("Int64")
    return frame


def test_chunk(chunk: list) -> tuple:
    """The results of a list of series as columns: p~ with a mask of the
    refused series, the statistics, the p-values and the refusals. Built where
    the tests run, so that a pool of threads builds them side by side."""
    count = len(chunk)
    p_tilde, refused = np.zeros(count, dtype=np.int64), np.zeros(count, dtype=bool)
    statistic, pvalue = np.full(count, np.nan), np.full(count, np.nan)
    errors = [None] * count
    for i, values in enumerate(chunk):
        try:
            r = statistical_tests.EscancianoLobato(values)
        except (TypeError, ValueError, OSError) as e:
            refused[i], errors[i] = True, refusal_text(e)
            continue
        p_tilde[i], statistic[i], pvalue[i] = r.p_tilde, r.statistic, r.pvalue
    return p_tilde, refused, statistic, pvalue, errors


def columns_frame(names: pd.Index, chunks: list[tuple]) -> pd.DataFrame:
    """One frame from the column chunks of test_chunk, in order."""
    p_tilde, refused, statistic, pvalue = (np.concatenate([c[k] for c in chunks]) for k in range(4))
    errors = [e for c in chunks for e in c[4]]
    return pd.DataFrame({"p_tilde": pd.arrays.IntegerArray(p_tilde, refused), "statistic": statistic,
                         "pvalue": pvalue, "error": errors},
                        index=names, columns=COLUMNS)


def threads_run_in_parallel() -> bool:
    """True on a free-threaded CPython running without its interpreter lock."""
    return not getattr(sys, "_is_gil_enabled", lambda: True)()


def test_columns(data: pd.DataFrame | Mapping | list, threads: int | None = None) -> pd.DataFrame:
    """Every column of a DataFrame (one per asset), every value of a mapping, or
    every array of a list; one row per series, by name. With `threads` > 1 (by
    default one per core where threads run in parallel, else 1), the series
    are split into that many chunks, each tested in a loop on its own thread.
    The results are the same either way, bit for bit."""
    # the names as an index made once (from a long list of names, that costs
    # as much as thousands of short tests)
    if isinstance(data, pd.DataFrame):
        names, series = data.columns, [values for _, values in data.items()]
    elif isinstance(data, Mapping):
        names, series = pd.Index(list(data.keys())), list(data.values())
    else:
        series = list(data)
        names = pd.RangeIndex(len(series))
    if threads is None:
        threads = (os.cpu_count() or 1) if threads_run_in_parallel() else 1
    threads = max(1, min(threads, len(series)))
    # a few large chunks: one task per series would cost more in the pool than the test
    bounds = [len(series) * i // threads for i in range(threads + 1)]
    chunks = [series[lo:hi] for lo, hi in zip(bounds, bounds[1:])]
    if threads == 1:
        return columns_frame(names, [test_chunk(chunks[0])])
    with ThreadPoolExecutor(max_workers=threads) as pool:
        return columns_frame(names, list(pool.map(test_chunk, chunks)))


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
        if threads_run_in_parallel():
            print(f"tested on {os.cpu_count()} threads (free-threaded CPython, no interpreter lock)")
    tested = results["error"].isna()
    rejected = int((results.loc[tested, "pvalue"] < 0.05).sum())
    print(f"{len(results)} series: {int(tested.sum())} tested, rejected at 5%: {rejected}; "
          f"refused: {int((~tested).sum())}")
    print(results.head().to_string())
    if (~tested).any():
        print(results.loc[~tested, ["error"]].to_string())


if __name__ == "__main__":
    # A console or file in a legacy code page (cp1252 on Windows, once the
    # output is redirected) cannot hold every character of the notes (the
    # tau-hat of a refusal, say): those are written escaped, not refused.
    sys.stdout.reconfigure(errors="backslashreplace")
    sys.stderr.reconfigure(errors="backslashreplace")
    main()
