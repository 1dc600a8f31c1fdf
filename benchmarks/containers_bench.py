"""Constructions on the containers users hold, beside the float64 NumPy array
of the same values and beside converting the container with np.asarray first.

    python benchmarks/containers_bench.py [--n 1000000]

bench.py prints the same table as part of `make bench`.
"""
import argparse
import array
import gc
import statistics
import time

import numpy as np

from zorvane import statistical_tests

EscancianoLobato = statistical_tests.EscancianoLobato


def containers(x: np.ndarray) -> list[tuple[str, object]]:
    """The values of x in each container that is installed here."""
    half = x.size // 2
    made: list[tuple[str, object]] = [("array.array('d')", array.array("d", x)),
                                      ("memoryview of a float64 array", memoryview(x))]
    try:
        import pandas as pd
        made = [("pandas Series, float64 (NumPy)", pd.Series(x)),
                ("pandas Series, nullable Float64", pd.Series(x, dtype="Float64"))] + made
        import pyarrow as pa
        made += [("pandas Series, float64[pyarrow]", pd.Series(x, dtype="float64[pyarrow]")),
                 ("pandas Series over 2 Arrow chunks",
                  pd.Series(pd.arrays.ArrowExtensionArray(pa.chunked_array([x[:half], x[half:]])))),
                 ("pyarrow Array", pa.array(x)),
                 ("pyarrow ChunkedArray, 2 chunks", pa.chunked_array([x[:half], x[half:]]))]
    except ImportError:
        pass
    try:
        import polars as pl
        made += [("polars Series, Float64", pl.Series(x)),
                 ("polars Series, 2 chunks", pl.concat([pl.Series(x[:half]), pl.Series(x[half:])], rechunk=False))]
    except ImportError:
        pass
    try:
        import xarray as xr
        made += [("xarray DataArray", xr.DataArray(x, dims="time"))]
    except ImportError:
        pass
    return made


def best_times(fns, repeats: int = 15) -> list[float]:
    """The best time of each function, run in turns, so that a slow spell of
    the machine falls on all of them alike."""
    for fn in fns:
        fn()  # warm up
    best = [float("inf")] * len(fns)
    for _ in range(repeats):
        for i, fn in enumerate(fns):
            gc.disable()
            t0 = time.perf_counter()
            fn()
            best[i] = min(best[i], time.perf_counter() - t0)
            gc.enable()
    return best


def containers_table(n: int, rng: np.random.Generator) -> list[str]:
    """Markdown lines of the table, printed as they are measured: each
    container beside the array and np.asarray measured in turns with it."""
    x = rng.standard_normal(n)
    expected = EscancianoLobato(x).statistic
    print(f"{'container at n = ' + format(n, ','):<36} {'ms':>8} {'array ms':>9} {'/ array':>8} {'/ asarray+test':>14}")
    lines = [f"Best of 15 at n = {n:,}, each container measured in turns with the NumPy float64 array of the same "
             "values and with np.asarray(container) followed by the test.", "",
             "| container | ms | array ms | / array | / np.asarray + test |", "|---|---:|---:|---:|---:|"]
    for name, data in containers(x):
        assert EscancianoLobato(data).statistic == expected, name
        t, t_array, t_asarray = best_times([lambda: EscancianoLobato(data), lambda: EscancianoLobato(x),
                                            lambda: EscancianoLobato(np.asarray(data))])
        print(f"{name:<36} {t * 1e3:>8.2f} {t_array * 1e3:>9.2f} {t / t_array:>8.2f} {t / t_asarray:>14.2f}",
              flush=True)
        lines.append(f"| {name} | {t * 1e3:.2f} | {t_array * 1e3:.2f} | {t / t_array:.2f} | {t / t_asarray:.2f} |")
    return lines


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=10**6)
    print("\n".join(containers_table(parser.parse_args().n, np.random.default_rng(7))))
