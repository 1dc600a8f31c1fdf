"""The many-series recipe on local Spark: a shuffled panel of a few hundred
tickers, tested per ticker through applyInPandas and applyInArrow, gives
bit for bit the rows of the pandas loop over the same panel, refusals
included. It runs as typed: no PYSPARK_PYTHON, and snappy-compressed input
on this machine, which has musl beside glibc."""
import math
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples"))
import many_series_spark  # noqa: E402

TICKERS = 240


def make_panel(seed: int = 11) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    frames = []
    for i in range(TICKERS):
        n = int(rng.integers(40, 400))
        ret = rng.standard_normal(n) * 0.01
        if i % 7 == 0:  # serially correlated
            for t in range(1, n):
                ret[t] += 0.5 * ret[t - 1]
        frames.append(pd.DataFrame({"ticker": f"T{i:03d}", "date": pd.bdate_range("2020-01-01", periods=n).date,
                                    "ret": ret}))
    odd = {
        "GAP": np.r_[np.ones(30) * 0.01, np.nan, np.arange(40) * 0.001],  # a NaN inside
        "FLAT": np.zeros(60),  # constant
        "ULP": np.r_[np.full(100, 5.33), np.nextafter(5.33, 6.0), np.full(99, 5.33)],  # equal but for an ulp
        "ONE": np.array([0.5]),  # one value: no lag selected, not refused
        "TWICE": np.arange(50) * 0.001,  # a date twice: no one order
    }
    for ticker, ret in odd.items():
        dates = pd.bdate_range("2021-01-01", periods=len(ret)).date
        if ticker == "TWICE":
            dates[20] = dates[19]
        frames.append(pd.DataFrame({"ticker": ticker, "date": dates, "ret": ret}))
    panel = pd.concat(frames, ignore_index=True)
    return panel.sample(frac=1.0, random_state=seed).reset_index(drop=True)  # rows in any order


@pytest.fixture(scope="module")
def panel():
    return make_panel()


def write_panel(panel: pd.DataFrame, folder: Path, compression: str) -> Path:
    table = pa.Table.from_pandas(panel, schema=pa.schema([("ticker", pa.string()), ("date", pa.date32()),
                                                           ("ret", pa.float64())]), preserve_index=False)
    # several files and row groups: Spark reads them as several partitions,
    # and a ticker's rows arrive from more than one of them
    folder.mkdir()
    for part, chunk in enumerate(np.array_split(np.arange(table.num_rows), 4)):
        pq.write_table(table.take(pa.array(chunk)), folder / f"part-{part}.parquet", compression=compression,
                       row_group_size=2000)
    return folder


def bits(x):
    return None if x is None or (isinstance(x, float) and math.isnan(x)) else np.float64(x).view(np.int64)


def rows_of(frame: pd.DataFrame) -> list[tuple]:
    return [(r.ticker, int(r.n), None if pd.isna(r.p_tilde) else int(r.p_tilde), bits(r.statistic), bits(r.pvalue),
             None if r.error is None or (isinstance(r.error, float) and math.isnan(r.error)) else r.error)
            for r in frame.sort_values("ticker").itertuples(index=False)]


@pytest.mark.parametrize(
    "arrow, compression",
    [(False, "gzip"), (True, "gzip"), (False, "snappy")],
    ids=["applyInPandas", "applyInArrow", "applyInPandas-snappy-input"],
)
def test_spark_gives_the_rows_of_the_pandas_loop(panel, tmp_path, arrow, compression):
    folder = write_panel(panel, tmp_path / "panel", compression)
    target = tmp_path / "results"
    # as typed: the workers' Python left to the recipe (python3 on PATH has no pandas)
    env = {name: value for name, value in os.environ.items() if not name.startswith("PYSPARK_")}
    proc = subprocess.run([sys.executable, str(ROOT / "examples" / "many_series_spark.py"), str(folder), str(target),
                           "--master", "local[2]", *(["--arrow"] if arrow else [])],
                          capture_output=True, text=True, timeout=600, env=env)
    assert proc.returncode == 0, proc.stderr[-5000:]
    got = pd.read_parquet(target)
    assert list(got.columns) == many_series_spark.COLUMNS
    assert str(got["n"].dtype) == "int64" and str(got["statistic"].dtype) == "float64"
    want = many_series_spark.loop_over_pandas(panel)
    assert len(got) == TICKERS + 5
    assert rows_of(got) == rows_of(want)
    refused = dict(zip(got["ticker"], got["error"]))
    assert refused["GAP"].startswith("ValueError: data must not contain NaN values")
    assert refused["FLAT"].startswith("OSError: Zero \u03c4\u0302 value at lag 1; all 60 values are 0.0")
    assert refused["TWICE"].startswith("ValueError: the date 2021-01-28 appears 2 times: the order of its values")
    # answered as exact arithmetic answers it (with a warning that the values differ only in their last bits)
    assert pd.isna(refused["ONE"]) and pd.isna(refused["T000"]) and pd.isna(refused["ULP"])
    if not arrow and compression == "gzip":
        assert page_output() == as_shown(got)


SHOWN = ["FLAT", "GAP", "ONE", "T000", "T001", "T007", "TWICE", "ULP"]


def as_shown(got: pd.DataFrame) -> str:
    """The rows the recipe's page shows, as it says it shows them."""
    rows = got.sort_values("ticker")
    rows = rows[rows["ticker"].isin(SHOWN)].assign(error=lambda f: f["error"].str[:46])
    return "\n".join(line.rstrip() for line in rows.to_string(index=False).splitlines())


def page_output() -> str:
    """The block of output on the recipe's page: Spark cannot run where the
    site is built, so the page holds a run's output, which this run checks."""
    page = (ROOT / "docs" / "examples" / "spark.md").read_text(encoding="utf-8")
    return page.split("## Output", 1)[1].split("```text\n", 1)[1].split("```", 1)[0].rstrip("\n")


def test_an_unsorted_group_would_test_another_series(panel):
    """Why each group is sorted by date: the same rows in Spark's order are
    another series, with another answer."""
    group = panel[panel["ticker"] == "T007"]
    as_stored = many_series_spark.el_row("T007", group["ret"].to_numpy())
    in_order = many_series_spark.el_row("T007", group.sort_values("date")["ret"].to_numpy())
    assert in_order["pvalue"] < 0.01 < as_stored["pvalue"]
