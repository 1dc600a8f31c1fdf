"""Many series on Spark: a long Parquet panel (one row per ticker and date)
tested per ticker, one result row per ticker, written back as Parquet.

    python examples/many_series_spark.py IN.parquet OUT.parquet
    python examples/many_series_spark.py IN.parquet OUT.parquet --master local[2] --arrow

Input columns: ticker (string), date (date), ret (float64). Output columns:
ticker, n, p_tilde, statistic, pvalue, error; error is null unless the test
refused the ticker's series (a NaN, a constant series, too few values), and
then holds the exception's class, message and notes, so one bad ticker does
not stop the job. A ticker with a date twice is refused there too, the date
named: its rows have no one date order, so its series would be whichever
order the shuffle left.

Run as above, on a local master, the Python workers are the interpreter
that runs this program where PYSPARK_PYTHON is unset (an environment need not
be activated); on a cluster, set PYSPARK_PYTHON to the executors' Python.

Spark is for a panel that does not fit on one machine, or that lives in a
warehouse already (Parquet or Delta tables): on one machine a loop over
pandas groups (examples/panel.py) or threads (examples/many_series.py) are
faster, and Spark takes several seconds to start.

The executors need zorvane installed: it is a compiled module, which
spark.submit.pyFiles and --py-files do not carry. Either install the wheel
on every node as the cluster's library (Databricks, EMR and Dataproc have a
library or bootstrap setting for a wheel from PyPI), or ship a packed
environment with the job:

    python -m venv env && env/bin/pip install zorvane pandas pyarrow venv-pack
    env/bin/venv-pack -o env.tar.gz
    PYSPARK_PYTHON=./env/bin/python spark-submit --archives env.tar.gz#env \\
        examples/many_series_spark.py IN.parquet OUT.parquet

Compression: the output is written with gzip, which Java decompresses itself.
Snappy, Spark's default and that of most Parquet writers, goes through
snappy-java's native library, which on a glibc machine that also has musl
installed (as build machines for musllinux wheels do: /lib/ld-musl-*.so.1
exists) loads its musl build and fails with an UnsatisfiedLinkError, on
reading as on writing. On a local master this program sees that case and
points snappy-java at its glibc build itself, taken from pyspark's jar into
a folder of the temporary directory. Elsewhere (or to choose the folder),
pass --snappy-library DIR, or the Java option -Dorg.xerial.snappy.lib.path=DIR
for driver and executors:

    unzip -j "$SPARK_HOME"/jars/snappy-java-*.jar \
        'org/xerial/snappy/native/Linux/x86_64/libsnappyjava.so' -d /opt/snappy-glibc
    python examples/many_series_spark.py IN.parquet OUT.parquet --snappy-library /opt/snappy-glibc
"""
from __future__ import annotations

import argparse
import glob
import hashlib
import os
import platform
import sys
import tempfile
import traceback
import zipfile

import numpy as np

try:
    import pandas as pd
except ImportError:
    sys.exit("this recipe needs pyspark, pandas and pyarrow, and Java 17 or newer: pip install pyspark pandas pyarrow")

# The explicit result schema: Spark checks every returned frame against it.
SCHEMA = "ticker string, n long, p_tilde long, statistic double, pvalue double, error string"
COLUMNS = ["ticker", "n", "p_tilde", "statistic", "pvalue", "error"]


def el_row(ticker: str, values: np.ndarray) -> dict:
    """The test on one ticker's returns, in date order, as one result row."""
    from zorvane import statistical_tests

    try:
        r = statistical_tests.EscancianoLobato(values)
    except (TypeError, ValueError, OSError) as e:
        # the exception and its notes (Python 3.11+: where, and what to do) on one line
        error = "; ".join(line.rstrip("\n") for line in traceback.format_exception_only(type(e), e))
        return {"ticker": ticker, "n": len(values), "p_tilde": None, "statistic": None, "pvalue": None, "error": error}
    return {"ticker": ticker, "n": len(values), "p_tilde": r.p_tilde, "statistic": r.statistic, "pvalue": r.pvalue,
            "error": None}


def repeated_date(ticker: str, dates: np.ndarray) -> dict | None:
    """A row refusing the ticker if a date appears more than once among its
    `dates` (sorted), else None."""
    same = np.flatnonzero(dates[1:] == dates[:-1])
    if not same.size:
        return None
    first = dates[same[0]]
    error = (f"ValueError: the date {first} appears {np.count_nonzero(dates == first)} times: the order of its "
             "values, and so the series tested, would be arbitrary; keep one row per date")
    return {"ticker": ticker, "n": len(dates), "p_tilde": None, "statistic": None, "pvalue": None, "error": error}


def group_row(ticker: str, dates: np.ndarray, values: np.ndarray) -> dict:
    return repeated_date(ticker, dates) or el_row(ticker, values)


def result_frame(rows: list[dict]) -> pd.DataFrame:
    frame = pd.DataFrame(rows, columns=COLUMNS)
    return frame.astype({"ticker": object, "n": "int64", "p_tilde": "Int64", "statistic": "float64",
                         "pvalue": "float64", "error": object})


def test_pandas_group(group: pd.DataFrame) -> pd.DataFrame:
    """applyInPandas: one ticker's rows, in no particular order."""
    # Spark keeps no row order inside a group (a shuffle interleaves the
    # partitions): unsorted, the test would run on a shuffled series and
    # answer about that. A stable sort by date restores the series.
    group = group.sort_values("date", kind="stable")
    values = group["ret"].to_numpy(dtype=np.float64, na_value=np.nan)
    return result_frame([group_row(str(group["ticker"].iloc[0]), group["date"].to_numpy(), values)])


def test_arrow_group(table):
    """applyInArrow: the same on one ticker's rows as an Arrow table."""
    import pyarrow as pa
    import pyarrow.compute as pc

    # no row order inside a group, as above: sorted by date here too
    table = table.take(pc.sort_indices(table, sort_keys=[("date", "ascending")]))
    values = table.column("ret").to_numpy().astype(np.float64)  # a null reads as NaN, as in pandas
    dates = np.array(table.column("date").to_pylist(), dtype=object)
    row = group_row(str(table.column("ticker")[0].as_py()), dates, values)
    return pa.Table.from_pylist([row], schema=pa.schema([
        ("ticker", pa.string()), ("n", pa.int64()), ("p_tilde", pa.int64()), ("statistic", pa.float64()),
        ("pvalue", pa.float64()), ("error", pa.string())]))


def loop_over_pandas(panel: pd.DataFrame) -> pd.DataFrame:
    """The same rows from a plain loop over the panel's groups in pandas: what
    the Spark job must give, and what to use where the panel fits in memory."""
    rows = []
    for ticker, group in panel.groupby("ticker", sort=True):
        group = group.sort_values("date", kind="stable")
        rows.append(group_row(ticker, group["date"].to_numpy(), group["ret"].to_numpy(dtype=np.float64)))
    return result_frame(rows)


def glibc_snappy_library() -> str | None:
    """A folder holding snappy-java's glibc build, on a glibc Linux that also
    has musl installed, where snappy-java would load its musl build; else
    None. Taken once from pyspark's jar, into a folder named by the jar's
    checksum."""
    if platform.system() != "Linux" or platform.libc_ver()[0] != "glibc" or not glob.glob("/lib/ld-musl-*.so.1"):
        return None
    arch = {"x86_64": "x86_64", "amd64": "x86_64", "aarch64": "aarch64", "arm64": "aarch64"}.get(platform.machine())
    import pyspark

    jars = glob.glob(os.path.join(os.path.dirname(pyspark.__file__), "jars", "snappy-java-*.jar"))
    if arch is None or len(jars) != 1:
        return None
    with open(jars[0], "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()[:16]
    folder = os.path.join(tempfile.gettempdir(), f"snappy-java-glibc-{digest}")
    library = os.path.join(folder, "libsnappyjava.so")
    if not os.path.exists(library):
        with zipfile.ZipFile(jars[0]) as jar:
            try:
                data = jar.read(f"org/xerial/snappy/native/Linux/{arch}/libsnappyjava.so")
            except KeyError:
                return None
        os.makedirs(folder, exist_ok=True)
        partial = f"{library}.{os.getpid()}"
        with open(partial, "wb") as f:
            f.write(data)
        os.replace(partial, library)
    return folder


def spark_session(master: str, codec: str, snappy_library: str | None = None):
    from pyspark.sql import SparkSession

    builder = (SparkSession.builder.master(master).appName("escanciano-lobato per ticker")
               .config("spark.sql.parquet.compression.codec", codec)
               .config("spark.ui.enabled", "false")
               .config("spark.sql.shuffle.partitions", "8"))
    if snappy_library:  # snappy-java's glibc build, where it would pick its musl one
        option = f"-Dorg.xerial.snappy.lib.path={snappy_library}"
        builder = builder.config("spark.driver.extraJavaOptions", option).config("spark.executor.extraJavaOptions",
                                                                                 option)
    return builder.getOrCreate()


def run(spark, source: str, target: str, use_arrow: bool) -> None:
    panel = spark.read.parquet(source).select("ticker", "date", "ret")
    grouped = panel.groupBy("ticker")
    if use_arrow and hasattr(grouped, "applyInArrow"):  # Spark 4.0 on
        results = grouped.applyInArrow(test_arrow_group, schema=SCHEMA)
    else:
        if use_arrow:
            print(f"--arrow needs applyInArrow (Spark 4.0 or newer); Spark {spark.version} runs applyInPandas",
                  file=sys.stderr)
        results = grouped.applyInPandas(test_pandas_group, schema=SCHEMA)
    results.orderBy("ticker").write.mode("overwrite").parquet(target)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Escanciano-Lobato test per ticker of a Parquet panel, on Spark")
    parser.add_argument("source", help="Parquet file or folder with columns ticker, date, ret")
    parser.add_argument("target", help="Parquet folder for the results, one row per ticker")
    parser.add_argument("--master", default="local[2]", help="Spark master (default local[2])")
    parser.add_argument("--arrow", action="store_true", help="applyInArrow instead of applyInPandas")
    parser.add_argument("--codec", default="gzip", help="Parquet compression of the output (default gzip)")
    parser.add_argument("--snappy-library", metavar="DIR", help="folder of snappy-java's glibc libsnappyjava.so")
    args = parser.parse_args(argv)
    try:
        import pyarrow  # noqa: F401  (applyInPandas and applyInArrow both pass Arrow batches)
        import pyspark  # noqa: F401
    except ImportError as e:
        print(f"this recipe needs pyspark and pyarrow ({e}): pip install pyspark pyarrow", file=sys.stderr)
        return 1
    snappy_library = args.snappy_library
    if args.master.startswith("local"):
        # the workers run this interpreter, which has pandas and zorvane
        os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
        snappy_library = snappy_library or glibc_snappy_library()
    spark = spark_session(args.master, args.codec, snappy_library)
    try:
        run(spark, args.source, args.target, args.arrow)
    finally:
        spark.stop()
    return 0


if __name__ == "__main__":
    # A console or file in a legacy code page (cp1252 on Windows, once the
    # output is redirected) cannot hold every character of the notes (the
    # tau-hat of a refusal, say): those are written escaped, not refused.
    sys.stdout.reconfigure(errors="backslashreplace")
    sys.stderr.reconfigure(errors="backslashreplace")
    sys.exit(main())
