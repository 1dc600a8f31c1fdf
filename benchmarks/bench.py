"""End-to-end timings of EscancianoLobato against what users would write or
reach for instead, for growing n, printed as one table of medians and ratios.

Peers:
  numpy       the NumPy formulation: deviations and squares once, np.dot per
              lag, the same penalty rule and a chi-square(1) p-value; timed
              with NumPy's BLAS threads as installed (all cores) and limited
              to one thread (zorvane runs on the calling thread only)
  ljungbox    statsmodels' acorr_ljungbox on the same lags (not robust to
              conditional heteroscedasticity, shown for speed only); it
              computes autocorrelations by direct correlation, O(n^2), so it
              is timed up to n = 10**5 only (about 90 s a call at 10**6)
  ljungbox_fft  Ljung-Box as one would write it fast: statsmodels'
              acf(fft=True), the Q sum and scipy's chi-square tail
Input forms of zorvane: a float64 array, a list, a pandas Series and a
non-contiguous view; then int64 arrays and float64 and int64 Series beside
the float64 array of the same values, and the refusal of d = n + 1 beside a
default-d construction on the same data.
"""
from __future__ import annotations

import argparse
import gc
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from zorvane import statistical_tests

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
from peak_memory import construction_peak  # noqa: E402

EscancianoLobato = statistical_tests.EscancianoLobato
HERE = Path(__file__).resolve().parent
LJUNG_BOX_MAX_N = 10**5


def ms(t: float | None) -> str:
    return "-" if t is None else f"{t * 1e3:.3f}"


def ratio(a: float | None, b: float) -> str:
    return "-" if a is None else f"{a / b:.2f}x"


def ljung_box_fft(x: np.ndarray, lags: int):
    """Ljung-Box's Q and p-value from FFT autocorrelations."""
    from scipy.stats import chi2
    from statsmodels.tsa.stattools import acf

    n = len(x)
    rho = acf(x, nlags=lags, fft=True)[1:]
    q = n * (n + 2) * np.sum(rho**2 / (n - np.arange(1, lags + 1)))
    return q, chi2.sf(q, lags)


def commit() -> str:
    """The commit measured, with "+" where the tree holds changes beside it."""
    try:
        head = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True,
                              cwd=HERE, check=True).stdout.strip()
        dirty = subprocess.run(["git", "status", "--porcelain", "--", "src"], capture_output=True, text=True,
                               cwd=HERE, check=True).stdout.strip()
        return head + ("+" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def numpy_formulation(x: np.ndarray, q: float = 2.4, d: int | None = None):
    n = x.size
    d = int(n**0.2) if d is None else d
    w = x - x.mean()
    s = w * w
    rho2 = np.empty(d)
    for k in range(1, d + 1):
        g = np.dot(w[:-k], w[k:]) / (n - k)
        t = np.dot(s[:-k], s[k:]) / (n - k)
        rho2[k - 1] = g * g / t
    lam = math.log(n)
    lags = np.arange(1, d + 1)
    logarithmic = math.sqrt(q * lam) >= math.sqrt(n) * math.sqrt(rho2.max())
    penalised = n * np.cumsum(rho2) - (lags * lam if logarithmic else 2.0 * lags)
    p = int(np.argmax(penalised)) + 1
    statistic = n * float(np.sum(rho2[:p]))
    return p, statistic, math.erfc(math.sqrt(statistic / 2.0))


def median_time(fn, budget: float = 1.0, at_least: int = 3, at_most: int = 200) -> float:
    fn()  # warm up
    times = []
    started = time.perf_counter()
    while len(times) < at_most and (len(times) < at_least or time.perf_counter() - started < budget):
        gc.disable()
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
        gc.enable()
    return statistics.median(times)


def peak_extra_memory(n: int) -> int:
    """Peak resident memory a construction adds on top of an n-value array (bytes)."""
    return construction_peak(f"np.random.default_rng(0).standard_normal({n})")[1]


def input_forms(sizes: list[int], rng: np.random.Generator) -> list[str]:
    """Each input form beside the float64 array of the same values."""
    import pandas as pd

    print(f"{'n':>9} {'f64 array':>10} {'f64 Series':>10} {'ratio':>6} {'i64 array':>10} {'ratio':>6} "
          f"{'i64 Series':>10} {'ratio':>6}")
    lines = ["| n | float64 array ms | float64 Series ms | ratio | int64 array ms | ratio | int64 Series ms | ratio |",
             "|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for n in sizes:
        integers = np.round(rng.standard_normal(n) * 1000).astype(np.int64)
        floats = integers.astype(np.float64)
        budget = 0.5 if n <= 10**5 else 2.0
        t = {name: median_time(lambda: EscancianoLobato(data), budget)
             for name, data in (("array", floats), ("series", pd.Series(floats)), ("int_array", integers),
                                ("int_series", pd.Series(integers)))}
        assert EscancianoLobato(pd.Series(integers)).statistic == EscancianoLobato(floats).statistic
        print(f"{n:>9} {ms(t['array']):>10} {ms(t['series']):>10} {ratio(t['series'], t['array']):>6} "
              f"{ms(t['int_array']):>10} {ratio(t['int_array'], t['array']):>6} {ms(t['int_series']):>10} "
              f"{ratio(t['int_series'], t['array']):>6}", flush=True)
        lines.append(f"| {n:,} | {ms(t['array'])} | {ms(t['series'])} | {ratio(t['series'], t['array'])} | "
                     f"{ms(t['int_array'])} | {ratio(t['int_array'], t['array'])} | {ms(t['int_series'])} | "
                     f"{ratio(t['int_series'], t['array'])} |")
    return lines


def refusal_of_d_beyond_n(sizes: list[int], rng: np.random.Generator) -> list[str]:
    """The time to refuse d = n + 1 beside a default-d construction."""

    def refuse(x):
        try:
            EscancianoLobato(x, d=x.size + 1)
        except ValueError:
            return
        raise AssertionError("d = n + 1 accepted")

    print(f"{'n':>9} {'default d ms':>13} {'d = n+1 ms':>11} {'ratio':>6}")
    lines = ["| n | default d ms | refusing d = n + 1 ms | ratio |", "|---:|---:|---:|---:|"]
    for n in sizes:
        x = rng.standard_normal(n)
        t_default = median_time(lambda: EscancianoLobato(x), 0.5)
        t_refused = median_time(lambda: refuse(x), 0.5)
        print(f"{n:>9} {ms(t_default):>13} {ms(t_refused):>11} {ratio(t_refused, t_default):>6}", flush=True)
        lines.append(f"| {n:,} | {ms(t_default)} | {ms(t_refused)} | {ratio(t_refused, t_default)} |")
    return lines


INTERRUPT_PROGRAM = """
import signal, sys, time
import numpy as np
from zorvane import statistical_tests
n, d, delay = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
x = np.random.default_rng(3).standard_normal(n)
signal.signal(signal.SIGALRM, signal.default_int_handler)  # raises KeyboardInterrupt, as for Ctrl-C
started = time.perf_counter()
signal.setitimer(signal.ITIMER_REAL, delay)
try:
    statistical_tests.EscancianoLobato(x, d=d)
    print("finished", time.perf_counter() - started - delay)
except KeyboardInterrupt:
    print("interrupted", time.perf_counter() - started - delay)
"""


def interrupt_latency(cases: list[tuple[int, int]]) -> list[str]:
    """The time from a signal to the exception that ends a long construction:
    the system's interval timer sends SIGALRM into it, whose handler raises
    KeyboardInterrupt as Ctrl-C's does. The handler runs at the module's next
    check, so this is the time from the signal to that check and out."""
    import signal
    import subprocess

    if not hasattr(signal, "setitimer"):
        return ["(no interval timer on this system)"]
    print(f"{'n':>9} {'d':>7} {'signal at s':>11} {'to the exception ms':>20}")
    lines = ["| n | d | signal after | from the signal to the exception |", "|---:|---:|---:|---:|"]
    for n, d in cases:
        delays = []
        for delay in (0.3, 0.5, 0.7):
            proc = subprocess.run([sys.executable, "-c", INTERRUPT_PROGRAM, str(n), str(d), str(delay)],
                                  capture_output=True, text=True, check=True)
            words = proc.stdout.split()
            assert words[0] == "interrupted", proc.stdout
            delays.append(float(words[1]))
        worst = max(delays)
        print(f"{n:>9} {d:>7} {'0.3-0.7':>11} {worst * 1e3:>20.3f}", flush=True)
        lines.append(f"| {n:,} | {d:,} | 0.3, 0.5, 0.7 s | {worst * 1e3:.3f} ms (the longest of 3) |")
    return lines


def machine() -> str:
    cpu = platform.processor() or platform.machine()
    try:
        fields = {}
        for line in open("/proc/cpuinfo"):
            key, _, value = line.partition(":")
            fields.setdefault(key.strip(), value.strip())
        if "model name" in fields:
            cpu = f"{fields['model name']} (family {fields.get('cpu family', '?')}, model {fields.get('model', '?')})"
    except OSError:
        pass
    return f"{cpu}, {os.cpu_count()} cores, Python {platform.python_version()}, NumPy {np.__version__}"


def plot_timings(rows: list[dict], path: Path) -> None:
    """The time of one test against n, for the default d and for d = 100:
    into `path` side by side, and into NAME.phone.png one above the other,
    3.6 inches wide at 160 dpi, which the site shows on a phone."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    for phone in (False, True):
        if phone:
            fig, axes = plt.subplots(2, 1, figsize=(3.6, 8.0), sharey=True)
        else:
            fig, axes = plt.subplots(1, 2, figsize=(11, 4.2), sharey=True)
        for ax, default in zip(axes, (True, False)):
            sel = [r for r in rows if (r["d"] == 100) != default]
            for key, label in (("array", "zorvane, float64 array"), ("list", "zorvane, list"),
                               ("numpy", "NumPy formulation"), ("numpy1", "NumPy formulation, 1 thread"),
                               ("ljungbox", "Ljung-Box, statsmodels' acorr_ljungbox"),
                               ("ljungbox_fft", "Ljung-Box, FFT autocorrelations")):
                points = [(r["n"], r[key]) for r in sel if r[key] is not None]
                ax.loglog([p[0] for p in points], [p[1] for p in points], marker="o", label=label)
            ax.set_title("default d = floor(n^0.2)" if default else "d = 100")
            ax.set_xlabel("n")
            ax.grid(True, which="both", alpha=0.3)
            if phone:
                ax.tick_params(labelsize=8)
        axes[0].set_ylabel("seconds per test (median)")
        if phone:  # below the panels, where it covers no line
            fig.legend(*axes[0].get_legend_handles_labels(), loc="lower center", fontsize=8, frameon=False)
            fig.tight_layout(rect=(0, 0.17, 1, 1))
        else:
            axes[0].legend()
            fig.tight_layout()
        if phone:
            fig.savefig(path.with_name(path.stem + ".phone.png"), dpi=160, metadata={"Software": None})
        else:
            fig.savefig(path, dpi=110)
        plt.close(fig)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="n up to 10**5 only")
    parser.add_argument("--plot", type=Path, default=HERE / "timings.png")
    parser.add_argument("--markdown", type=Path, default=HERE / "latest.md")
    parser.add_argument("--plot-only", action="store_true",
                        help="redraw the figures from the timings beside --plot (NAME.json)")
    args = parser.parse_args()
    if args.plot_only:
        plot_timings(json.loads(args.plot.with_suffix(".json").read_text())["rows"], args.plot)
        print(f"redrew {args.plot}")
        return

    import pandas as pd
    from statsmodels.stats.diagnostic import acorr_ljungbox
    from threadpoolctl import threadpool_info, threadpool_limits

    blas_threads = max((p["num_threads"] for p in threadpool_info() if p["user_api"] == "blas"), default=1)

    sizes = [10**3, 10**4, 10**5] if args.quick else [10**3, 10**4, 10**5, 10**6, 10**7]
    rng = np.random.default_rng(7)
    rows = []
    header = (f"{'n':>9} {'d':>4} {'array ms':>9} {'list ms':>9} {'Series ms':>9} {'view ms':>9} "
              f"{'numpy ms':>9} {'numpy1 ms':>9} {'LB ms':>9} {'vs numpy':>9} {'vs numpy1':>9} {'vs LB':>9} "
              f"{'list vs np.array':>16}")
    print(header)
    for n in sizes:
        x = rng.standard_normal(n)
        lst = x.tolist()
        series = pd.Series(x)
        view = np.repeat(x, 2)[::2]
        budget = 0.5 if n <= 10**5 else 2.0
        for d in (None, 100):
            lags = int(n**0.2) if d is None else d
            t_array = median_time(lambda: EscancianoLobato(x, d=d), budget)
            t_list = median_time(lambda: EscancianoLobato(lst, d=d), budget)
            t_series = median_time(lambda: EscancianoLobato(series, d=d), budget)
            t_view = median_time(lambda: EscancianoLobato(view, d=d), budget)
            t_numpy = median_time(lambda: numpy_formulation(x, d=d), budget)
            with threadpool_limits(1):
                t_numpy_1 = median_time(lambda: numpy_formulation(x, d=d), budget)
            t_lb = median_time(lambda: acorr_ljungbox(x, lags=[lags]), budget) if n <= LJUNG_BOX_MAX_N else None
            t_lb_fft = median_time(lambda: ljung_box_fft(x, lags), budget)
            t_list_np = median_time(lambda: EscancianoLobato(np.array(lst), d=d), budget)
            # the two computations agree on the selected lag
            assert EscancianoLobato(x, d=d).p_tilde == numpy_formulation(x, d=d)[0]
            row = dict(n=n, d=lags, array=t_array, list=t_list, series=t_series, view=t_view,
                       numpy=t_numpy, numpy1=t_numpy_1, ljungbox=t_lb, ljungbox_fft=t_lb_fft,
                       list_via_numpy=t_list_np)
            rows.append(row)
            print(f"{n:>9} {lags:>4} {ms(t_array):>9} {ms(t_list):>9} {ms(t_series):>9} {ms(t_view):>9} "
                  f"{ms(t_numpy):>9} {ms(t_numpy_1):>9} {ms(t_lb):>9} {ratio(t_numpy, t_array):>9} "
                  f"{ratio(t_numpy_1, t_array):>9} {ratio(t_lb, t_array):>9} "
                  f"{ratio(t_list_np, t_list):>16}", flush=True)

    memory_n = 10**5 if args.quick else 10**7
    extra = peak_extra_memory(memory_n)
    print(f"peak extra memory of a construction on {memory_n} float64 values: {extra / 1024:.0f} KiB")

    lines = [
        f"Measured {time.strftime('%Y-%m-%d', time.gmtime())} at commit {commit()} on {machine()}, "
        f"NumPy's BLAS with {blas_threads} thread(s).",
        "",
        "Against the peers, on a float64 array (ratios: the peer's time over the module's):",
        "",
        "| n | d | module ms | NumPy ms | vs NumPy | vs NumPy, 1 thread | Ljung-Box, direct acf ms | vs | "
        "Ljung-Box, FFT acf ms | vs |",
        "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for r in rows:
        lines.append(
            f"| {r['n']:,} | {r['d']} | {ms(r['array'])} | {ms(r['numpy'])} | {ratio(r['numpy'], r['array'])} | "
            f"{ratio(r['numpy1'], r['array'])} | {ms(r['ljungbox'])} | {ratio(r['ljungbox'], r['array'])} | "
            f"{ms(r['ljungbox_fft'])} | {ratio(r['ljungbox_fft'], r['array'])} |"
        )
    lines += ["", "The module on each form of the same values:", "",
              "| n | d | array ms | list ms | Series ms | view ms | list vs np.array(list) |",
              "|---:|---:|---:|---:|---:|---:|---:|"]
    for r in rows:
        lines.append(
            f"| {r['n']:,} | {r['d']} | {ms(r['array'])} | {ms(r['list'])} | {ms(r['series'])} | "
            f"{ms(r['view'])} | {ratio(r['list_via_numpy'], r['list'])} |"
        )
    lines += ["", f"Peak extra memory of a construction on {memory_n:,} float64 values: {extra / 1024:.0f} KiB."]
    form_sizes = [10**4, 10**5] if args.quick else [10**4, 10**5, 10**6]
    lines += ["", "Input forms beside the float64 array of the same values (integers as float64):", ""]
    lines += input_forms(form_sizes, rng)
    from containers_bench import containers_table

    lines += ["", "Other libraries' containers beside the float64 array, and beside np.asarray(container) "
              "followed by the test:", ""]
    lines += containers_table(10**5 if args.quick else 10**6, rng)
    lines += ["", "Refusing d = n + 1 beside a default-d construction on the same data:", ""]
    lines += refusal_of_d_beyond_n([10**4, 2 * 10**5] if args.quick else [10**4, 2 * 10**5, 10**6], rng)
    lines += ["", f"Ctrl-C during a long construction: the time from the signal to the exception "
              f"({time.strftime('%Y-%m-%d', time.gmtime())}, {machine()}):", ""]
    lines += interrupt_latency([(10**6, 200_000), (10**7, 10_000), (10**8, 100)] if not args.quick else [(10**6, 20_000)])
    from many_series_bench import many_series_tables, panel_rates, parquet_job

    lines += ["", "## Many series", ""]
    lines += many_series_tables(args.quick)
    lines += [""] + parquet_job(args.quick)
    lines += [""] + panel_rates(args.quick)
    args.markdown.write_text("\n".join(lines) + "\n")

    args.plot.with_suffix(".json").write_text(json.dumps({"measured": lines[0], "rows": rows}, indent=1) + "\n")
    plot_timings(rows, args.plot)
    print(f"wrote {args.markdown} and {args.plot}")


if __name__ == "__main__":
    main()
