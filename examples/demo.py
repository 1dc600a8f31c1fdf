"""Runs the Escanciano-Lobato test on a short embedded series and prints the result."""
import numpy as np

from zorvane import statistical_tests

# Daily percentage changes of a made-up price series with some momentum.
SERIES = np.array([
    0.42, 0.61, 0.18, -0.35, -0.52, -0.12, 0.27, 0.55, 0.71, 0.22, -0.15, -0.48, -0.66, -0.21, 0.09,
    0.38, 0.47, 0.12, -0.29, -0.41, -0.57, -0.08, 0.31, 0.66, 0.52, 0.05, -0.33, -0.58, -0.24, 0.14,
    0.45, 0.39, -0.02, -0.37, -0.61, -0.30, 0.11, 0.49, 0.58, 0.26,
])

r = statistical_tests.EscancianoLobato(SERIES)
print(f"n = {SERIES.size}, lags chosen p~ = {r.p_tilde}, statistic = {r.statistic:.4f}, p-value = {r.pvalue:.4g}")
