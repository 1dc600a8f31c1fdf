"""The robust correlogram as a table per lag, next to the automatic test.

Users of Ljung-Box expect one row per lag: the autocorrelation, a band it
would stay inside under no correlation, and a cumulative statistic. This is
that table for the Escanciano-Lobato test, from the definitions:

    rho~_k   = gamma_k / sqrt(tau_k), gamma_k and tau_k the means over the
               n - k pairs of u_t u_(t+k) and u_t^2 u_(t+k)^2 (u = x - mean);
    band     = +-1.96 / sqrt(n): under no correlation, even with changing
               volatility, each rho~_k stays inside it about 95% of the time;
    Q~_p     = n (rho~_1^2 + ... + rho~_p^2), the statistic with p lags.

The test picks p~ from these numbers; its statistic is Q~ at p~ (to about
1e-15: NumPy sums in another order than the module), compared with chi2(1).

    python examples/correlogram.py              # a simulated AR(1) with GARCH volatility
    python examples/correlogram.py FILE.csv COLUMN
"""
from __future__ import annotations

import math
import sys

import numpy as np

try:
    import pandas as pd
except ImportError:
    sys.exit("this recipe needs pandas: pip install pandas")

from zorvane import statistical_tests


def robust_correlogram(x, lags: int | None = None) -> pd.DataFrame:
    """One row per lag 1..lags (default: the test's d): rho_tilde, the 95% band,
    whether rho_tilde lies outside it, and the cumulative statistic Q~_p."""
    x = np.asarray(x, dtype=np.float64)
    n = x.size
    lags = lags or max(1, math.floor(n**0.2))
    u = x - x.mean()
    rho = np.empty(lags)
    for k in range(1, lags + 1):
        gamma = np.mean(u[:-k] * u[k:])
        tau = np.mean((u[:-k] * u[:-k]) * (u[k:] * u[k:]))
        rho[k - 1] = gamma / math.sqrt(tau)
    band = 1.96 / math.sqrt(n)
    return pd.DataFrame(
        {
            "rho_tilde": rho,
            "band": band,
            "outside": np.abs(rho) > band,
            "q_tilde": n * np.cumsum(rho * rho),
        },
        index=pd.RangeIndex(1, lags + 1, name="lag"),
    )


def simulated(n: int = 1000, phi: float = 0.15, seed: int = 7) -> np.ndarray:
    """AR(1) returns whose shocks have GARCH(1,1) volatility."""
    rng = np.random.default_rng(seed)
    x = np.empty(n)
    variance, previous, shock = 1.0, 0.0, 0.0
    for t in range(n):
        variance = 0.05 + 0.1 * shock * shock + 0.85 * variance
        shock = math.sqrt(variance) * rng.standard_normal()
        previous = x[t] = phi * previous + shock
    return x


def main(argv: list[str]) -> None:
    if len(argv) == 2:
        x = pd.read_csv(argv[0])[argv[1]].dropna().to_numpy(dtype=np.float64)
    else:
        x = simulated()
    r = statistical_tests.EscancianoLobato(x)
    table = robust_correlogram(x)
    print(table.to_string(float_format=lambda v: f"{v:.4f}"))
    print(f"\nselected p~ = {r.p_tilde}, statistic = {r.statistic:.4f} (Q~ at p~), p-value = {r.pvalue:.4g}")


if __name__ == "__main__":
    # A console or file in a legacy code page (cp1252 on Windows, once the
    # output is redirected) cannot hold every character of the notes (the
    # tau-hat of a refusal, say): those are written escaped, not refused.
    sys.stdout.reconfigure(errors="backslashreplace")
    sys.stderr.reconfigure(errors="backslashreplace")
    main(sys.argv[1:])
