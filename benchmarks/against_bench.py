"""Long series, this build beside another (one from before a change, say):
the whole construction at n = 10^4 and 10^6, d = 6, 15, 25 and 100, on
returns (N(0,1)) and on price levels (100 + N(0,1)), whose mean's rounding
error the accuracy bound has to measure. Each build runs in processes of its
own; they take turns case by case, six rounds of fresh processes (each
chooses its kernel anew), and the best of each is kept.

    python benchmarks/against_bench.py OTHER_DIR [--rounds R]

Prints a Markdown table: milliseconds per construction and this build's time
over the other's.
"""
from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from bench import machine  # noqa: E402

CHILD = r'''
import json, sys, time
import numpy as np
from zorvane import statistical_tests
test = statistical_tests.EscancianoLobato
made = {}
for line in sys.stdin:
    n, d, kind, repeats = json.loads(line)
    if (n, kind) not in made:
        noise = np.random.default_rng(1).standard_normal(n)
        made[(n, kind)] = noise if kind == "returns" else 100 + noise
    x = made[(n, kind)]
    test(x, d=d)
    best = float("inf")
    for _ in range(repeats):
        started = time.perf_counter()
        test(x, d=d)
        best = min(best, time.perf_counter() - started)
    print(best, flush=True)
'''
CASES = [(n, d, kind) for kind in ("returns", "prices") for n in (10**4, 10**6) for d in (6, 15, 25, 100)]


def main() -> None:
    other = os.path.abspath(sys.argv[1])
    rounds = int(sys.argv[sys.argv.index("--rounds") + 1]) if "--rounds" in sys.argv else 6
    here = os.environ.get("PYTHONPATH", "")
    builds = {"this": here, "other": other}
    best = {name: {} for name in builds}
    for round_ in range(rounds):
        children = {name: subprocess.Popen([sys.executable, "-c", CHILD], env={**os.environ, "PYTHONPATH": path},
                                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
                    for name, path in builds.items()}
        for case in CASES:
            n, d, _ = case
            repeats = max(5, int(1e8 // (n * (d + 3))))  # about 0.1 s of tests per case and build
            order = list(children.items())
            for name, child in order if round_ % 2 == 0 else order[::-1]:
                child.stdin.write(json.dumps([*case, repeats]) + "\n")
                child.stdin.flush()
                best[name][case] = min(best[name].get(case, float("inf")), float(child.stdout.readline()))
        for child in children.values():
            child.stdin.close()
            child.wait()
    print(f"Machine: {machine()}; {rounds} rounds, the two builds in turn case by case, best of each.\n")
    print("| n | d | data | other ms | this ms | this / other |")
    print("|---:|---:|---|---:|---:|---:|")
    for case in CASES:
        n, d, kind = case
        a, b = best["other"][case], best["this"][case]
        print(f"| {n:,} | {d} | {kind} | {a * 1e3:.3f} | {b * 1e3:.3f} | {b / a:.2f} |")


if __name__ == "__main__":
    main()
