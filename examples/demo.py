"""The Escanciano-Lobato test on US quarterly macroeconomic data, 1959-2009.

Real GDP growth is serially correlated (a good quarter tends to follow a good
quarter); the residuals of an AR(1) fitted to it should not be. Inflation and
its AR(1) residuals, and the quarterly change in the unemployment rate, are
tested the same way.
"""
from __future__ import annotations

import csv
import sys
from pathlib import Path

import numpy as np

from zorvane import statistical_tests

DATA = Path(__file__).resolve().parent.parent / "data" / "us_macro_quarterly.csv"


def load(column: str) -> np.ndarray:
    with DATA.open(newline="") as f:
        return np.array([float(row[column]) for row in csv.DictReader(f)])


def ar1_residuals(x: np.ndarray) -> np.ndarray:
    """Residuals of x_t = a + b x_{t-1} + e_t fitted by least squares."""
    design = np.column_stack([np.ones(x.size - 1), x[:-1]])
    coef, *_ = np.linalg.lstsq(design, x[1:], rcond=None)
    return x[1:] - design @ coef


def main() -> None:
    gdp_growth = 100.0 * np.diff(np.log(load("real_gdp")))
    inflation = 100.0 * np.diff(np.log(load("cpi")))
    series = [
        ("Real GDP growth, % q/q", gdp_growth),
        ("  residuals of an AR(1) fit", ar1_residuals(gdp_growth)),
        ("CPI inflation, % q/q", inflation),
        ("  residuals of an AR(1) fit", ar1_residuals(inflation)),
        ("Change in unemployment rate", np.diff(load("unemployment_rate"))),
    ]
    print("Escanciano-Lobato test for serial correlation, US quarterly data 1959Q1-2009Q3")
    print()
    print(f"{'series':<30} {'n':>4} {'lags p~':>8} {'statistic':>10} {'p-value':>10}  at 5%")
    for name, x in series:
        r = statistical_tests.EscancianoLobato(x)
        verdict = "serially correlated" if r.pvalue < 0.05 else "no evidence of correlation"
        print(f"{name:<30} {x.size:>4} {r.p_tilde:>8} {r.statistic:>10.3f} {r.pvalue:>10.3g}  {verdict}")


if __name__ == "__main__":
    # A console or file in a legacy code page (cp1252 on Windows, once the
    # output is redirected) cannot hold every character of the notes (the
    # tau-hat of a refusal, say): those are written escaped, not refused.
    sys.stdout.reconfigure(errors="backslashreplace")
    sys.stderr.reconfigure(errors="backslashreplace")
    main()
