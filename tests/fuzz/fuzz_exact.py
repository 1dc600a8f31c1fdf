"""Differential fuzzing against exact arithmetic: atheris (coverage-guided)
turns its input into a series from the families where float64 formulas go
wrong, and each answer is held to the exact reference of the Python suite.

    python tests/fuzz/fuzz_exact.py CORPUS_DIR [libFuzzer options, e.g. -max_total_time=180]

`make fuzz-exact` runs it for longer and replays what it found against the
ASan/UBSan build; CI runs a minute of it, from the seed corpus in
tests/fuzz/exact-corpus."""

import math
import sys
import warnings
from pathlib import Path

import atheris

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))
with atheris.instrument_imports():
    from exact_reference import check, exact_answer

import numpy as np  # noqa: E402

from zorvane import statistical_tests  # noqa: E402

EL = statistical_tests.EscancianoLobato
OFFSETS = [1e15, 2.0**52, 1e12, 9192631770.0, 0.1, 1234.5, -3e14, 5.33, 37.0, 1e6]
QUANTA = [0.01, 0.25, 1e-4, 1.0, 0.0025, 1e-5]


def finite(value, fallback=0.0):
    return value if math.isfinite(value) else fallback


def series_from(fdp):
    family = fdp.ConsumeIntInRange(0, 6)
    n = fdp.ConsumeIntInRange(2, 12 if family == 3 else 160)
    if family == 0:  # a large offset carrying small integers, in ulps or units
        offset = fdp.PickValueInList(OFFSETS)
        step = math.ulp(offset) * fdp.ConsumeIntInRange(1, 64) if fdp.ConsumeBool() else 1.0
        x = [offset + step * fdp.ConsumeIntInRange(-8, 8) for _ in range(n)]
    elif family == 1:  # a constant with one-ulp artefacts and a few outliers
        c = fdp.PickValueInList(OFFSETS)
        up, down = math.nextafter(c, math.inf), math.nextafter(c, -math.inf)
        x = [fdp.PickValueInList([c, c, c, up, down]) for _ in range(n)]
        for _ in range(fdp.ConsumeIntInRange(0, 4)):
            x[fdp.ConsumeIntInRange(0, n - 1)] = c + fdp.PickValueInList([1.0, -1.0, 0.5, 1e-3, -1e-3])
    elif family == 2:  # one spike of 1 to 10^6 ulps
        c = fdp.PickValueInList(OFFSETS)
        x = [c] * n
        x[fdp.ConsumeIntInRange(0, n - 1)] = c + math.ulp(c) * fdp.ConsumeIntInRange(1, 10**6)
    elif family == 3:  # 0/1 series
        x = [float(fdp.ConsumeIntInRange(0, 1)) for _ in range(n)]
    elif family == 4:  # quantised everyday data: prices, ticks, rates
        base, quantum = fdp.PickValueInList([0.0, 50.0, 4000.0, 1.085]), fdp.PickValueInList(QUANTA)
        x = [base + quantum * fdp.ConsumeIntInRange(-300, 300) for _ in range(n)]
    elif family == 5:  # extreme scales and subnormals
        scale = 2.0 ** fdp.ConsumeIntInRange(-1074, 1000)
        x = [scale * fdp.ConsumeIntInRange(-50, 50) for _ in range(n)]
    else:  # any finite doubles
        x = [finite(fdp.ConsumeRegularFloat()) for _ in range(n)]
        if not any(v != x[0] for v in x):
            x[-1] = x[-1] + 1.0
    d = fdp.ConsumeIntInRange(1, min(n - 1, 12)) if n > 1 and fdp.ConsumeBool() else None
    q = fdp.PickValueInList([1.0, 2.4, 2.4, 0.5, 7.0])
    return x, d, q


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    x, d, q = series_from(fdp)
    if len(set(x)) < 2:
        return  # a constant series: refused as such, nothing to compare
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        try:
            result = EL(np.array(x), q=q, d=d)
        except OSError as error:
            result = error
    check(result, exact_answer(x, d=d, q=q))


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
