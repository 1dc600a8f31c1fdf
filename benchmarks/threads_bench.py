"""Many series on a free-threaded CPython: a loop against a pool of threads
over chunks (examples/many_series.py), series per second side by side in one
run (the two in turn, round by round), at n = 250, 10^4 and 10^6, each as float64 arrays, as lists (copied) and
as float32 arrays (converted). Writes benchmarks/threads_latest.md.

    PYTHON_GIL=0 python benchmarks/threads_bench.py [--quick] [--against DIR]

--against DIR measures, size by size in the same run, the module found in DIR
(another build of it, say from before a change) beside this one.
"""
from __future__ import annotations

import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "examples"))
import many_series  # noqa: E402

SIZES = (250, 10**4, 10**6)
# the same values as the series' containers: read in place, or copied
KINDS = {
    "float64 array": lambda values: values,
    "list": lambda values: values.tolist(),
    "float32 array": lambda values: values.astype(np.float32),
}
VALUES_PER_ROUND = 2 * 10**7  # about 40 ms of tests per round, whatever n
REPEATS = 7  # rounds of loop and threads in turn; the best of each is kept


def best_of(repeats, run) -> float:
    best = float("inf")
    for _ in range(repeats):
        started = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - started)
    return best


def cpu_name() -> str:
    try:
        info = Path("/proc/cpuinfo").read_text().splitlines()
    except OSError:
        return platform.processor() or "unknown CPU"
    fields = {}
    for line in info:
        key, _, value = line.partition(":")
        fields.setdefault(key.strip(), value.strip())
    return f"{fields.get('model name', '?')} (family {fields.get('cpu family', '?')}, model {fields.get('model', '?')})"


def commit() -> str:
    """The checkout's commit, with a + where its files differ from it."""
    try:
        head = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=HERE, capture_output=True, text=True,
                              check=True).stdout.strip()
        # the benchmarks' own output files do not count
        dirty = subprocess.run(["git", "status", "--porcelain", "--untracked-files=no", "--", ":/",
                                ":!benchmarks/*latest*", ":!benchmarks/timings.png"], cwd=HERE,
                               capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "an unknown commit"
    return f"commit {head}{'+' if dirty else ''}"


def measure(n: int, kind: str, threads: int) -> tuple:
    """(n, kind, series, loop series/s, threads series/s, ratio, same results) at n."""
    count = max(4 * threads, VALUES_PER_ROUND // n)
    rng = np.random.default_rng(n)
    series = [KINDS[kind](rng.standard_normal(n)) for _ in range(count)]
    same = many_series.test_columns(series, threads=1).equals(many_series.test_columns(series, threads=threads))
    # the two timed in turn, round by round: this machine kind's clock moves
    # within minutes, and a loop timed before the threads would carry it
    loop = pooled = float("inf")
    for _ in range(REPEATS):
        loop = min(loop, best_of(1, lambda: many_series.test_columns(series, threads=1)))
        pooled = min(pooled, best_of(1, lambda: many_series.test_columns(series, threads=threads)))
    return n, kind, count, count / loop, count / pooled, loop / pooled, same


def measure_elsewhere(folder: str, n: int, kind: str) -> tuple:
    """The same row for the module in `folder`, measured in a fresh process."""
    env = dict(os.environ, PYTHONPATH=folder)
    out = subprocess.run([sys.executable, __file__, "--row", str(n), kind], env=env, capture_output=True, text=True,
                         check=True).stdout
    return tuple(json.loads(out))


def table(rows: list) -> list[str]:
    return ["| n | each series as | series | loop, series/s | threads, series/s | threads / loop | same results |",
            "|---:|---|---:|---:|---:|---:|---|"] + [
        f"| {n:,} | {kind} | {count:,} | {a:,.0f} | {b:,.0f} | {r:.2f}x | {'yes' if same else 'NO'} |"
        for n, kind, count, a, b, r, same in rows]


def main() -> int:
    threads = os.cpu_count() or 1
    if "--row" in sys.argv:
        at = sys.argv.index("--row")
        print(json.dumps(measure(int(sys.argv[at + 1]), sys.argv[at + 2], threads)))
        return 0
    quick = "--quick" in sys.argv
    against = sys.argv[sys.argv.index("--against") + 1] if "--against" in sys.argv else None
    lock = getattr(sys, "_is_gil_enabled", lambda: True)()
    rows, other = [], []
    for n in SIZES[:2] if quick else SIZES:
        for kind in KINDS:
            rows.append(measure(n, kind, threads))
            if against:
                other.append(measure_elsewhere(against, n, kind))
    # no paths of the machine: the table is published as it is
    lines = [
        f"Measured {time.strftime('%Y-%m-%d', time.gmtime())} at {commit()}: CPython {sys.version.split()[0]}"
        f"{' free-threaded' if not lock or hasattr(sys, '_is_gil_enabled') else ''}, interpreter lock "
        f"{'on' if lock else 'off'}; {threads} threads on {threads} cores; {cpu_name()}; loop and threads timed in turn, best of {REPEATS}",
        "",
    ]
    if against:
        lines += ["This build:", ""]
    lines += table(rows)
    if against:
        lines += ["", "Beside it, size by size, the build given by --against:", ""] + table(other)
    text = "\n".join(lines) + "\n"
    print(text, end="")
    (HERE / "threads_latest.md").write_text(text)
    return 0 if all(row[-1] for row in rows + other) else 1


if __name__ == "__main__":
    sys.exit(main())
