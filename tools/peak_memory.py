"""Peak resident memory that one construction adds, measured in a fresh
interpreter, for the tests and the benchmark; on Linux, macOS and Windows.

Where the process can reset its high-water mark (Linux, /proc/self/clear_refs)
the probe builds the series, resets the mark and reads the peak around the
construction. Elsewhere (macOS, Windows, a Linux without /proc) the mark
cannot be reset, so the series is written to a .npy file first and the probe
loads it into one buffer: nothing before the construction then raises the
peak above what stays resident, and the peak's growth across the construction
is what it added. A peak that the loading did not raise was inherited (Linux
passes the parent's peak on through exec): then nothing can be measured, and
PeakUnmeasurable says so.
"""
from __future__ import annotations

import os
import subprocess
import sys
import tempfile

# The peak and current resident bytes of this process, by what the platform offers.
MEMORY = r"""
import os, sys
def _linux(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1]) * 1024
if sys.platform == "win32":
    import ctypes
    from ctypes import wintypes
    class _Counters(ctypes.Structure):
        _fields_ = [("cb", wintypes.DWORD), ("PageFaultCount", wintypes.DWORD),
                    ("PeakWorkingSetSize", ctypes.c_size_t), ("WorkingSetSize", ctypes.c_size_t),
                    ("QuotaPeakPagedPoolUsage", ctypes.c_size_t), ("QuotaPagedPoolUsage", ctypes.c_size_t),
                    ("QuotaPeakNonPagedPoolUsage", ctypes.c_size_t), ("QuotaNonPagedPoolUsage", ctypes.c_size_t),
                    ("PagefileUsage", ctypes.c_size_t), ("PeakPagefileUsage", ctypes.c_size_t)]
    # declared, as ctypes would pass the process's pseudo-handle (-1) as a
    # 32-bit int and GetProcessMemoryInfo would refuse it
    _current_process = ctypes.windll.kernel32.GetCurrentProcess
    _current_process.restype = wintypes.HANDLE
    _current_process.argtypes = []
    _memory_info = ctypes.windll.psapi.GetProcessMemoryInfo
    _memory_info.restype = wintypes.BOOL
    _memory_info.argtypes = [wintypes.HANDLE, ctypes.POINTER(_Counters), wintypes.DWORD]
    def _counters():
        c = _Counters()
        c.cb = ctypes.sizeof(c)
        if not _memory_info(_current_process(), ctypes.byref(c), c.cb):
            raise OSError("GetProcessMemoryInfo failed")
        return c
    def peak_bytes():
        return _counters().PeakWorkingSetSize
    RESETTABLE = False
elif os.path.exists("/proc/self/clear_refs"):
    def peak_bytes():
        return _linux("VmHWM:")
    def current_bytes():
        return _linux("VmRSS:")
    def reset_peak():
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    RESETTABLE = True
else:
    import resource
    def peak_bytes():
        # kilobytes on Linux, bytes on macOS
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        return peak if sys.platform == "darwin" else peak * 1024
    RESETTABLE = False
"""

PROBE = MEMORY + """
import numpy as np
from zorvane import statistical_tests
loading = peak_bytes()
x = {load}
statistical_tests.EscancianoLobato(x[:100])  # NumPy's table and the registry, filled first
if RESETTABLE:
    reset_peak()
    before = current_bytes()
else:
    before = peak_bytes()
    if before - loading < x.nbytes // 2:
        print("unmeasurable", before)
        raise SystemExit(0)
r = statistical_tests.EscancianoLobato(x)
print(r.p_tilde, peak_bytes() - before)
"""


class PeakUnmeasurable(Exception):
    """The fresh interpreter's peak was inherited and cannot be reset here."""


def can_reset_peak() -> bool:
    """Whether a fresh interpreter here can reset its peak (else the series goes through a file)."""
    return sys.platform != "win32" and os.path.exists("/proc/self/clear_refs")


def construction_peak(series: str, *, timeout: float = 600) -> tuple[int, int]:
    """(p~, bytes added at the peak) for EscancianoLobato(x), x = eval(series)
    with NumPy as np, in a fresh interpreter that inherits the environment."""
    with tempfile.TemporaryDirectory() as folder:
        if can_reset_peak():
            load = series
        else:
            path = os.path.join(folder, "series.npy")
            maker = subprocess.run([sys.executable, "-c", f"import numpy as np; np.save({path!r}, {series})"],
                                   capture_output=True, text=True, timeout=timeout)
            if maker.returncode != 0:
                raise RuntimeError(maker.stderr)
            load = f"np.load({path!r})"
        proc = subprocess.run([sys.executable, "-c", PROBE.format(load=load)], capture_output=True, text=True,
                              timeout=timeout)
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr)
    first, second = proc.stdout.split()
    if first == "unmeasurable":
        raise PeakUnmeasurable(f"a fresh process starts with a peak of {int(second) >> 20} MiB that it cannot reset")
    return int(first), int(second)
