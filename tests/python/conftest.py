"""Shared fixtures and helpers for the Python suite."""
import ctypes
import math
import os
import pickle
import struct
import subprocess
import sys
import sysconfig
import textwrap
import time

import numpy as np
import pytest
from hypothesis import HealthCheck, settings

# "ci" for `make test`; "fuzz" (about 100,000 generated cases over the
# property tests) for `make fuzz`. Hypothesis's timing checks are off: on a
# shared machine, beside another suite, under CPU emulation or a sanitizer,
# they would measure the machine rather than the test.
SLOWED = bool(os.environ.get("ZORVANE_SANITIZED") or os.environ.get("ZORVANE_EMULATED"))
settings.register_profile("ci", max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("fuzz", max_examples=17_000)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

from zorvane import statistical_tests

# A free-threaded CPython runs the module without the interpreter lock (unless
# PYTHON_GIL=1 forces it on), and refuses sub-interpreter imports itself
# before the module is asked.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
GIL_FORCED = os.environ.get("PYTHON_GIL") == "1"


# Helpers shared with the benchmark.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "tools"))

# Subprocesses started by the tests may run in other directories.
os.environ["PYTHONPATH"] = os.pathsep.join(
    os.path.abspath(entry) for entry in os.environ.get("PYTHONPATH", "").split(os.pathsep) if entry
)

EscancianoLobato = statistical_tests.EscancianoLobato

VALUES = [0.3, -1.2, 2.5, 0.7, -0.4, 1.9, -2.2, 0.1, 1.4, -0.8, 0.6, 2.1, -1.7, 0.05, 1.1, -0.3]
UNACCEPTED = "expected a 1-D numpy.ndarray, pandas.Series, or sequence of float64"


class ToNumpy:
    """Duck-typed object with a to_numpy method that returns `result` or raises `error`."""

    def __init__(self, result=None, error=None, sequence=None, record=False):
        self.result, self.error, self.sequence = result, error, sequence
        self.calls = [] if record else None

    def to_numpy(self, *args, **kwargs):
        if self.calls is not None:
            self.calls.append((args, kwargs))
        if self.error is not None:
            raise self.error
        return self.result

    def __getstate__(self):
        # what the caller gave, without the record of calls or the traceback
        # that raising attaches to the error (for snapshot)
        state = {name: value for name, value in vars(self).items() if name != "calls"}
        state["error"] = None if self.error is None else (type(self.error), self.error.args)
        return state


class SequenceToNumpy(ToNumpy):
    """The same, and also a sequence of `sequence`."""

    def __len__(self):
        return len(self.sequence)

    def __getitem__(self, i):
        return self.sequence[i]


def snapshot(data):
    """What must not change in the caller's data: an array's bytes, layout and
    flags (an object array's items), or anything else's pickle. Objects that
    convert to arrays (a pandas Series, whose pickle holds caches that reading
    fills) are compared through their array."""
    if hasattr(type(data), "__array__") and not isinstance(data, np.ndarray):
        data = np.asarray(data)
    if isinstance(data, np.ndarray):
        content = list(data.ravel(order="A")) if data.dtype == object else data.tobytes(order="A")
        return (content, data.strides, data.flags.writeable, data.dtype.str, data.shape)
    try:
        return pickle.dumps(data)
    except Exception:  # noqa: BLE001 - not picklable: nothing to compare
        return None

# AddressSanitizer keeps freed memory in quarantine, so resident-memory
# measurements are left to the uninstrumented runs.
SKIP_UNDER_SANITIZER = pytest.mark.skipif(bool(os.environ.get("ZORVANE_SANITIZED")),
                                          reason="AddressSanitizer keeps freed memory")

# Limits on the address space (RLIMIT_AS) work neither under AddressSanitizer,
# which reserves a large address space and dies rather than returning null,
# nor under qemu-user, which does not pass them on to the host.
SKIP_WITHOUT_ADDRESS_SPACE_LIMITS = pytest.mark.skipif(
    SLOWED or not sys.platform.startswith("linux") or not os.path.exists("/proc/self/statm"),
    reason="address-space limits are set from the size in /proc/self/statm, which only Linux has, and do "
           "not work under AddressSanitizer or CPU emulation")

# Under CPU emulation (the aarch64 suite runs under qemu-user) the tests that
# compute on 10**7 values and more would take many minutes.
SKIP_UNDER_EMULATION = pytest.mark.skipif(bool(os.environ.get("ZORVANE_EMULATED")),
                                          reason="too slow under CPU emulation")


def _under_wine() -> bool:
    if sys.platform != "win32":
        return False
    try:
        return hasattr(ctypes.WinDLL("ntdll"), "wine_get_version")
    except OSError:
        return False


# Windows CPython run by wine on Linux (make test-wheels): wine 8 lacks
# ucrtbase's crealf and cimag, which NumPy calls on complex values, and
# starting worker processes from a pool hangs there.
UNDER_WINE = _under_wine()
SKIP_UNDER_WINE_PROCESSES = pytest.mark.skipif(
    UNDER_WINE, reason="a pool of worker processes hangs under wine 8")


def bits(value: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def outcome(result):
    """A result's values in a form that compares bit for bit (NaN as NaN)."""
    return (
        result.p_tilde,
        "nan" if math.isnan(result.statistic) else bits(result.statistic),
        "nan" if math.isnan(result.pvalue) else bits(result.pvalue),
    )


@pytest.fixture(scope="session")
def series():
    """A fixed series with some autocorrelation, 64 values."""
    rng = np.random.default_rng(20261207)
    noise = rng.standard_normal(64)
    values = np.empty(64)
    values[0] = noise[0]
    for t in range(1, 64):
        values[t] = 0.4 * values[t - 1] + noise[t]
    values.setflags(write=False)
    return values


def run_python(code, *, cwd=None, extra_path=None, timeout=300):
    """Runs `code` in a fresh interpreter; `extra_path` goes first on sys.path."""
    prelude = f"import sys; sys.path[:0] = {[str(extra_path)] if extra_path else []!r}\n"
    return run_process([sys.executable, "-c", prelude + textwrap.dedent(code)], timeout=timeout, cwd=cwd)


def run_process(command, *, timeout=300, **kwargs):
    """subprocess.run with its output captured as text."""
    for attempt in range(3):
        try:
            return subprocess.run(command, capture_output=True, text=True, timeout=timeout, **kwargs)
        except OSError as e:
            # wine, on a loaded machine, now and then fails to create a process
            # ("[WinError 1359] Internal error"); the child never ran, so trying again is safe.
            if not UNDER_WINE or getattr(e, "winerror", None) != 1359 or attempt == 2:
                raise
            time.sleep(1.0)


# --- the borrow registry, reached as another extension module would ---------

_ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)  # keeps the GIL, as required
_RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)


class BorrowApi(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint64),
        ("state", ctypes.c_void_p),
        ("acquire_shared", _ACQUIRE),
        ("acquire_exclusive", _ACQUIRE),
        ("release_shared", _RELEASE),
        ("release_exclusive", _RELEASE),
    ]


def borrow_registry():
    """The registry's function table, created by a first construction if need be."""
    EscancianoLobato([1.0, 2.0, 4.0])
    major = int(np.__version__.split(".")[0])
    multiarray = sys.modules["numpy._core.multiarray" if major >= 2 else "numpy.core.multiarray"]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    api = BorrowApi.from_address(get_pointer(multiarray._ARRAY_BORROW_REGISTRY, b"_ARRAY_BORROW_REGISTRY"))
    assert api.version >= 1
    return api


@pytest.fixture
def registry():
    return borrow_registry()


class Iterated:
    """The same items through the general path: len, then iter()."""

    def __init__(self, data):
        self.data = data

    def __len__(self):
        return len(self.data)

    def __getitem__(self, i):
        return self.data[i]

    def __iter__(self):
        return iter(self.data)
