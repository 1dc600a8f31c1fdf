"""A long panel (one row per asset and date) tested per group, in pandas and in
polars. A group the test refuses (a gap, a constant price, too few values)
keeps its row, with the refusal in `error`, so one bad group does not stop
the rest.

Each group is tested as it stands, in date order. Missing values are not
dropped here: a leading one (what pct_change() leaves) could be, but one
inside a group would join values that were not adjacent, so it is reported.
A group in which a date appears twice has no one date order: its series
would be one of several, picked by the sort, so it is refused in `error`
with the date named.

    python examples/panel.py

Needs pandas; the polars half runs where polars is installed (no pyarrow
needed).
"""
from __future__ import annotations

import sys
import traceback

import numpy as np

try:
    import pandas as pd
except ImportError:
    sys.exit("this recipe needs pandas (and polars for its second half): pip install pandas polars")

from zorvane import statistical_tests

FIELDS = ["p_tilde", "statistic", "pvalue", "error"]


def el_row(values) -> dict:
    """The test on one group's values as a dict of FIELDS."""
    try:
        r = statistical_tests.EscancianoLobato(values)
    except (TypeError, ValueError, OSError) as e:
        # the note (Python 3.11+) says where and what to do
        error = "; ".join(line.rstrip("\n") for line in traceback.format_exception_only(type(e), e))
        return {"p_tilde": None, "statistic": None, "pvalue": None, "error": error}
    return {"p_tilde": r.p_tilde, "statistic": r.statistic, "pvalue": r.pvalue, "error": None}


def as_text(date) -> str:
    if isinstance(date, np.datetime64):
        date = pd.Timestamp(date)
    if isinstance(date, pd.Timestamp) and date == date.normalize():
        return date.date().isoformat()
    return str(date)


def repeated_date(dates) -> dict | None:
    """A row of FIELDS refusing the group if a date appears more than once
    among its `dates` (sorted), else None."""
    dates = np.asarray(dates)
    same = np.flatnonzero(dates[1:] == dates[:-1])
    if not same.size:
        return None
    first = dates[same[0]]
    error = (f"ValueError: the date {as_text(first)} appears {np.count_nonzero(dates == first)} times: the order "
             "of its values, and so the series tested, would be arbitrary; keep one row per date")
    return {"p_tilde": None, "statistic": None, "pvalue": None, "error": error}


def by_group_pandas(panel: pd.DataFrame, group: str, value: str, order: str) -> pd.DataFrame:
    """One row per group of `panel`, its values taken in `order`."""
    ordered = panel.sort_values([group, order])
    rows = {name: repeated_date(rows[order].to_numpy()) or el_row(rows[value])
            for name, rows in ordered.groupby(group, sort=True)}
    table = pd.DataFrame.from_dict(rows, orient="index", columns=FIELDS).rename_axis(group)
    return table.astype({"p_tilde": "Int64", "statistic": "float64", "pvalue": "float64"})


def by_group_polars(panel, group: str, value: str, order: str):
    """The same with polars: group_by(...).agg(map_batches), one struct per group."""
    import polars as pl

    dtype = pl.Struct({"p_tilde": pl.Int64, "statistic": pl.Float64, "pvalue": pl.Float64, "error": pl.String})
    return (
        panel.sort(group, order)
        .group_by(group, maintain_order=True)
        .agg(pl.struct(value, order).map_batches(
            lambda s: pl.Series([repeated_date(s.struct.field(order).to_numpy()) or el_row(s.struct.field(value))],
                                dtype=dtype), return_dtype=dtype, returns_scalar=True).alias("el"))
        .unnest("el")
    )


def simulated_panel(seed: int = 3) -> pd.DataFrame:
    """Daily returns of six assets; one is correlated, one has a gap, one is
    flat, one has a day twice."""
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2024-01-01", periods=250)
    frames = []
    for asset in ["AAA", "BBB", "CCC", "DDD", "EEE", "FFF"]:
        ret = rng.standard_normal(dates.size) * 0.01
        if asset == "BBB":
            for t in range(1, ret.size):
                ret[t] += 0.4 * ret[t - 1]
        if asset == "CCC":
            ret[100] = np.nan
        if asset == "DDD":
            ret[:] = 0.0
        days = dates.insert(50, dates[50]) if asset == "FFF" else dates  # a correction appended, say
        frames.append(pd.DataFrame({"asset": asset, "date": days, "ret": np.resize(ret, days.size)}))
    return pd.concat(frames, ignore_index=True).sample(frac=1.0, random_state=seed)  # rows in any order


def main() -> None:
    panel = simulated_panel()
    print(by_group_pandas(panel, "asset", "ret", "date").to_string(max_colwidth=70))
    try:
        import polars as pl
    except ImportError:
        print("\npolars is not installed: its half is left out (pip install polars)")
        return
    print()
    # built from the columns themselves, not pl.from_pandas (which needs
    # pyarrow), so the gap stays a NaN as in pandas
    frame = pl.DataFrame({"asset": panel["asset"].tolist(), "date": panel["date"].to_numpy(),
                          "ret": panel["ret"].to_numpy()})
    print(by_group_polars(frame, "asset", "ret", "date"))


if __name__ == "__main__":
    # A console or file in a legacy code page (cp1252 on Windows, once the
    # output is redirected) cannot hold every character of the notes (the
    # tau-hat of a refusal, say): those are written escaped, not refused.
    sys.stdout.reconfigure(errors="backslashreplace")
    sys.stderr.reconfigure(errors="backslashreplace")
    main()
