"""Peak resident memory that one construction adds, measured in a fresh
interpreter (Linux: /proc/self/status), for the tests and the benchmark."""
from __future__ import annotations

import subprocess
import sys

PROBE = """
import numpy as np
from zorvane import statistical_tests
x = {series}
statistical_tests.EscancianoLobato(x[:100])  # NumPy's table and the registry, filled first
def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1]) * 1024
open("/proc/self/clear_refs", "w").write("5")  # resets the high-water mark
before = status("VmRSS:")
r = statistical_tests.EscancianoLobato(x)
print(r.p_tilde, status("VmHWM:") - before)
"""


def construction_peak(series: str, *, timeout: float = 600) -> tuple[int, int]:
    """(p~, bytes added at the peak) for EscancianoLobato(x), x = eval(series)
    with NumPy as np, in a fresh interpreter that inherits the environment."""
    proc = subprocess.run([sys.executable, "-c", PROBE.format(series=series)], capture_output=True, text=True,
                          timeout=timeout)
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr)
    p_tilde, extra = map(int, proc.stdout.split())
    return p_tilde, extra
