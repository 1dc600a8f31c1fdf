"""Usage: python tools/golden_check.py SERIES GOLDEN

Runs every case of the golden file through the zorvane module that Python
imports (an installed wheel, say) and compares: p~, the statistic's and the
p-value's bits for a result; OSError with the lag for a zero variance;
ValueError for a lag beyond the series. SERIES is the output of
`zorvane_golden --series` (the cases' inputs); GOLDEN the golden file. A
series holding an infinity is refused by the module where the core answers,
so there the module must raise ValueError; where no lag is selected (one
value), the module's statistic is +0.0 where the core's is -0.0. Everything
else must agree bit for bit, on every platform: the module computes exp and
log itself. Prints one summary line; exits 1 on any difference.
"""
from __future__ import annotations

import struct
import sys
import warnings

import numpy as np
from zorvane import statistical_tests


def double(bits: str) -> float:
    return struct.unpack("<d", bytes.fromhex(bits)[::-1])[0]


def bits(value: float) -> str:
    return struct.pack(">d", value).hex()


def check(name: str, d: int, q: float, x: np.ndarray, recorded: str) -> str | None:
    kind, *fields = recorded.split()
    try:
        with warnings.catch_warnings():
            # the golden cases include d of n/2 and more on purpose: the
            # answer is still defined, and compared like any other
            warnings.filterwarnings("ignore", "d = .* is at least half the series length", RuntimeWarning)
            r = statistical_tests.EscancianoLobato(x, d=d, q=q)
    except OSError as error:
        if kind == "zero" and str(error).endswith(f"lag {fields[0]}"):
            return None
        return f"{name}: OSError {error}, recorded {recorded}"
    except ValueError as error:
        if kind == "beyond" or not np.isfinite(x).all():
            return None
        return f"{name}: ValueError {error}, recorded {recorded}"
    if not np.isfinite(x).all():
        return f"{name}: a series with an infinity was accepted"
    got = f"ok {r.p_tilde} {bits(r.statistic)} {bits(r.pvalue)}"
    # where no lag is selected the core's statistic is -0.0 and the module's +0.0
    expected = recorded.replace("ok 0 8000000000000000 ", "ok 0 0000000000000000 ")
    return None if got == expected else f"{name}: {got}, recorded {recorded}"


def main(series_file: str, golden_file: str) -> int:
    with open(golden_file, encoding="utf-8") as golden:
        recorded = dict(line.rstrip("\r\n").split(" | ", 1) for line in golden)
    failures, checked = [], 0
    with open(series_file, encoding="utf-8") as series:
        for line in series:
            name, d, q, values = line.rstrip("\n").split("\t")
            x = np.array([double(v) for v in values.split()], dtype=np.float64)
            failure = check(name, int(d), double(q), x, recorded.pop(name))
            if failure:
                failures.append(failure)
            checked += 1
    if recorded:
        failures.append(f"{len(recorded)} recorded cases have no series")
    for failure in failures[:20]:
        print(failure)
    print(f"golden (Python module): {checked} cases, {len(failures)} differ")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
