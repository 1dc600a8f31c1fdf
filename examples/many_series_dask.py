"""Testing many series on a Dask cluster, each task reading its own file where
it runs: only file names go out and three numbers per series come back.

The series are Parquet files, one per instrument (or a partitioned dataset,
one folder per instrument): a task reads one file on its worker, so the
workers must see the folder (a shared or network file system, or the same
machine). Nothing but an installed zorvane, pandas and pyarrow is needed on
the workers: the task function travels with the tasks.

    python examples/many_series_dask.py                          # local cluster, sample files
    python examples/many_series_dask.py tcp://HOST:8786          # a running scheduler, sample files
    python examples/many_series_dask.py tcp://HOST:8786 FOLDER   # your own files
    python examples/many_series_dask.py FOLDER                   # your own files, local cluster

Options: --column NAME (default: the first floating-point column),
--output FILE.csv (the results, one row per file).
"""
from __future__ import annotations

import argparse
import sys
import tempfile
import traceback
from pathlib import Path

import numpy as np

try:
    import pandas as pd
except ImportError:
    sys.exit("this recipe needs pandas, pyarrow and dask's distributed scheduler: "
             "pip install pandas pyarrow 'dask[distributed]'")

PROGRESS_BAR_FROM = 100  # tasks


def test_parquet_file(path: str, column: str | None = None) -> tuple:
    """(p~, statistic, p-value, error) for one file's series, read on the worker."""
    import pandas as pd

    from zorvane import statistical_tests

    frame = pd.read_parquet(path)
    if column is None:
        floating = [name for name, dtype in frame.dtypes.items() if pd.api.types.is_float_dtype(dtype)]
        if not floating:
            return None, float("nan"), float("nan"), "no floating-point column"
        column = floating[0]
    try:
        r = statistical_tests.EscancianoLobato(frame[column])
    except (TypeError, ValueError, OSError, KeyError) as e:
        # the exception and its notes (Python 3.11+: where, and what to do) on one line
        return None, float("nan"), float("nan"), "; ".join(
            line.rstrip("\n") for line in traceback.format_exception_only(type(e), e))
    return r.p_tilde, r.statistic, r.pvalue, None


def instrument_name(path: Path, root: Path) -> str:
    """The file's stem, or for a partitioned dataset (instrument=X/part-0.parquet) its folder."""
    relative = path.relative_to(root)
    if len(relative.parts) > 1 and path.stem.startswith("part"):
        return relative.parts[-2].split("=")[-1]
    return str(relative.with_suffix(""))


def test_folder(client, folder: Path, column: str | None = None) -> pd.DataFrame:
    """One task per Parquet file below `folder`; one row of results per file."""
    from dask.distributed import progress

    paths = sorted(folder.rglob("*.parquet"))
    futures = client.map(test_parquet_file, [str(p) for p in paths], column=column, pure=False)
    if len(futures) >= PROGRESS_BAR_FROM:
        progress(futures)
    rows = client.gather(futures)
    frame = pd.DataFrame(rows, index=[instrument_name(p, folder) for p in paths],
                         columns=["p_tilde", "statistic", "pvalue", "error"])
    frame["p_tilde"] = frame["p_tilde"].astype("Int64")
    return frame


def write_sample(folder: Path, instruments: int = 200, days: int = 2500, seed: int = 0) -> None:
    """GARCH(1,1) daily returns, one Parquet file per instrument."""
    rng = np.random.default_rng(seed)
    for i in range(instruments):
        shocks = rng.standard_normal(days)
        returns = np.empty(days)
        variance = 1.0
        for t in range(days):
            returns[t] = shocks[t] * np.sqrt(variance)
            variance = 0.05 + 0.1 * returns[t] ** 2 + 0.85 * variance
        pd.DataFrame({"returns": returns}).to_parquet(folder / f"instrument{i:04d}.parquet")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("where", nargs="*", help="[scheduler address] [folder of Parquet files]")
    parser.add_argument("--column")
    parser.add_argument("--output", type=Path)
    args = parser.parse_args()
    address = next((w for w in args.where if "://" in w), None)
    folders = [Path(w) for w in args.where if "://" not in w]

    try:
        import pyarrow  # noqa: F401  (Parquet, here and on the workers)
        from dask.distributed import Client, LocalCluster
    except ImportError as e:
        sys.exit(f"this recipe needs pyarrow and dask's distributed scheduler ({e}): "
                 "pip install pyarrow 'dask[distributed]'")

    with tempfile.TemporaryDirectory(prefix="el-sample-") as sample:
        folder = folders[0] if folders else Path(sample)
        if not folders:
            write_sample(folder)  # on this machine: workers started here can read it
        if address:
            client = Client(address)
        else:
            client = Client(LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None))
        with client:
            results = test_folder(client, folder, args.column)
    if args.output:
        results.to_csv(args.output, float_format="%.17g")  # round-trips every double
    tested = results["error"].isna()
    rejected = int((results.loc[tested, "pvalue"] < 0.05).sum())
    print(f"{len(results)} files: {int(tested.sum())} tested, rejected at 5%: {rejected} "
          f"({100 * rejected / max(1, int(tested.sum())):.1f}%); refused: {int((~tested).sum())}")


if __name__ == "__main__":
    # A console or file in a legacy code page (cp1252 on Windows, once the
    # output is redirected) cannot hold every character of the notes (the
    # tau-hat of a refusal, say): those are written escaped, not refused.
    sys.stdout.reconfigure(errors="backslashreplace")
    sys.stderr.reconfigure(errors="backslashreplace")
    main()
