"""Many series: the fixed cost of one call (instructions counted by callgrind,
which a loaded machine does not disturb) and series per second for the ways of
testing many series on one machine, measured side by side in one run."""
from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
import many_series  # noqa: E402
from many_series_dask import test_parquet_file  # noqa: E402

CALLS_PROGRAM = """
import sys
import numpy as np
from zorvane import statistical_tests
n, calls = int(sys.argv[1]), int(sys.argv[2])
x = np.sin(np.arange(n) * 0.7) + 0.01 * np.arange(n)
test = statistical_tests.EscancianoLobato
test.__new__(test, x)  # the first call chooses the kernel: through __new__, outside the count
for _ in range(calls):
    test(x)
"""


def instructions_per_call(n: int, calls: int = 1000) -> float:
    """Instructions of one default-d construction on n values, counted by
    callgrind inside the constructor only (from the binding of the arguments
    to the finished result object), averaged over `calls` calls after a first
    one that is not counted (it measures the CPU to choose the kernel, a
    timing whose instruction count varies from run to run)."""
    proc = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", "--collect-atstart=no",
                           "--toggle-collect=zorvane::lib::escanciano_lobato_vectorcall*", sys.executable, "-c",
                           CALLS_PROGRAM, str(n), str(calls)], capture_output=True, text=True, check=True)
    return int(re.search(r"Collected : (\d+)", proc.stderr).group(1)) / calls


def rate(fn, count: int) -> float:
    """Series per second: the best of three runs of fn() over `count` series."""
    best = float("inf")
    for _ in range(3):
        started = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - started)
    return count / best


def test_shipped(values) -> tuple:
    return many_series.test_one(values)


def many_series_tables(quick: bool) -> list[str]:
    lines = []
    if shutil.which("valgrind"):
        counts = {n: instructions_per_call(n) for n in (50, 250)}
        print("instructions per call (callgrind): " + ", ".join(f"n = {n}: {c:,.0f}" for n, c in counts.items()))
        lines += ["Instructions per call, counted by callgrind inside the constructor over 1,000 default-d calls on one array:", "",
                  "| n | instructions per call |", "|---:|---:|"]
        lines += [f"| {n} | {c:,.0f} |" for n, c in counts.items()]
        lines.append("")
    processes = os.cpu_count() or 1
    cases = [(250, 10_000), (10_000, 2_000), (10**6, 40)]
    if quick:
        cases = [(250, 2_000), (10_000, 400), (10**6, 8)]
    rng = np.random.default_rng(3)
    header = (f"{'n':>9} {'series':>7} {'loop, in memory':>16} {'loop, files':>12} "
              f"{f'pool of {processes}, own files':>22} {f'pool of {processes}, shipped':>20}")
    print(header)
    lines += [f"Series per second on one machine ({processes} cores), the best of three runs:", "",
              f"| n | series | loop over arrays in memory | loop reading .npy files | pool of {processes} "
              f"reading its own files | pool of {processes} sent the arrays |", "|---:|---:|---:|---:|---:|---:|"]
    for n, count in cases:
        series = [rng.standard_normal(n) for _ in range(count)]
        with tempfile.TemporaryDirectory() as folder:
            paths = []
            for i, values in enumerate(series):
                paths.append(os.path.join(folder, f"s{i:05d}.npy"))
                np.save(paths[-1], values)
            in_memory = rate(lambda: many_series.test_columns(series), count)
            from_files = rate(lambda: [many_series.test_file(p) for p in paths], count)
            own_files = rate(lambda: many_series.test_files(paths, processes=processes), count)

            def shipped():
                with ProcessPoolExecutor(max_workers=processes) as pool:
                    list(pool.map(test_shipped, series, chunksize=max(1, count // (8 * processes))))

            sent = rate(shipped, count)
        print(f"{n:>9} {count:>7} {in_memory:>16,.0f} {from_files:>12,.0f} {own_files:>22,.0f} {sent:>20,.0f}",
              flush=True)
        lines.append(f"| {n:,} | {count:,} | {in_memory:,.0f} | {from_files:,.0f} | {own_files:,.0f} | {sent:,.0f} |")
    return lines


def parquet_job(quick: bool) -> list[str]:
    """Files of 10**6 returns in Parquet, read and tested one after another:
    the time per instrument, and what 500 instruments take at that rate."""
    import pandas as pd

    count = 5 if quick else 20
    rng = np.random.default_rng(4)
    with tempfile.TemporaryDirectory() as folder:
        paths = []
        for i in range(count):
            paths.append(os.path.join(folder, f"instrument{i:03d}.parquet"))
            pd.DataFrame({"returns": rng.standard_normal(10**6)}).to_parquet(paths[-1])
        per_file = 1 / rate(lambda: [test_parquet_file(p) for p in paths], count)
        read_only = 1 / rate(lambda: [pd.read_parquet(p) for p in paths], count)
    line = (f"Parquet, 10**6 returns per instrument: {per_file * 1e3:.1f} ms per instrument read and tested "
            f"({read_only * 1e3:.1f} ms of it reading), so 500 instruments take about {500 * per_file:.1f} s "
            f"in one process.")
    print(line)
    return [line]


def panel_rates(quick: bool) -> list[str]:
    """A long panel (one row per ticker and date) tested per ticker three ways
    on this machine: a loop over pandas groups, Dask's groupby-apply on a
    local cluster of 2 processes, and Spark local[2] through applyInPandas
    (examples/many_series_spark.py), with each cluster's start-up apart."""
    import pandas as pd

    from many_series_spark import loop_over_pandas, test_pandas_group

    tickers, n = (400, 250) if quick else (2_000, 250)
    rng = np.random.default_rng(5)
    panel = pd.DataFrame({"ticker": np.repeat([f"T{i:04d}" for i in range(tickers)], n),
                          "date": np.tile(pd.bdate_range("2020-01-01", periods=n).date, tickers),
                          "ret": rng.standard_normal(tickers * n)}).sample(frac=1.0, random_state=5)
    rows = [f"| loop over pandas groups | {tickers / seconds(lambda: loop_over_pandas(panel)):,.0f} | none |"]
    try:
        from dask.distributed import Client, LocalCluster
        import dask.dataframe as dd
    except ImportError:
        print("no Dask here: left out")
    else:
        started = time.perf_counter()
        with Client(LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)) as client:
            startup = time.perf_counter() - started
            frame = client.persist(dd.from_pandas(panel, npartitions=8))
            meta = test_pandas_group(panel.iloc[:10])

            def dask_job():
                frame.groupby("ticker").apply(dask_group, meta=meta).compute()

            rows.append(f"| Dask, local cluster of 2 processes | {tickers / seconds(dask_job):,.0f} | "
                        f"{startup:.1f} s |")
    try:
        from pyspark.sql import SparkSession
    except ImportError:
        print("no pyspark here: left out")
    else:
        from many_series_spark import SCHEMA

        # Spark's Python workers import the recipe's functions by name: they see examples/ too
        examples = str(Path(__file__).resolve().parent.parent / "examples")
        os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [examples, os.environ.get("PYTHONPATH")]))
        os.environ.setdefault("PYSPARK_PYTHON", sys.executable)

        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "panel.parquet")
            panel.to_parquet(path, compression="gzip")
            started = time.perf_counter()
            spark = (SparkSession.builder.master("local[2]").config("spark.ui.enabled", "false")
                     .config("spark.sql.shuffle.partitions", "8").getOrCreate())
            startup = time.perf_counter() - started
            try:
                frame = spark.read.parquet(path).cache()
                frame.count()

                def spark_job():
                    frame.groupBy("ticker").applyInPandas(test_pandas_group, schema=SCHEMA).collect()

                rows.append(f"| Spark local[2], applyInPandas | {tickers / seconds(spark_job):,.0f} | "
                            f"{startup:.1f} s |")
            finally:
                spark.stop()
    lines = [f"A panel of {tickers:,} tickers of {n} returns each, rows in any order, tested per ticker (series "
             "per second, the best of three runs, the cluster started beforehand):", "",
             "| way | series per second | start-up |", "|---|---:|---:|", *rows]
    print("\n".join(lines))
    return lines


def dask_group(group):
    """One ticker's rows in a Dask groupby-apply, which leaves the key out of them."""
    import pandas as pd

    from many_series_spark import el_row, result_frame

    values = group.sort_values("date", kind="stable")["ret"].to_numpy(dtype=np.float64)
    return result_frame([el_row(str(group.name), values)]).set_index(pd.RangeIndex(1))


def seconds(fn) -> float:
    """The best of three runs of fn(), in seconds."""
    best = float("inf")
    for _ in range(3):
        started = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - started)
    return best
