"""Threads constructing at once on shared arrays, private arrays, lists and
other libraries' containers, while other threads take and release borrows
through the registry's capsule as a foreign module would: every result must
equal the serial one bit for bit.

    python tests/stress_threads.py [--processes 20] [--rounds 200]

Runs each trial in a fresh process (a crash there is a failed trial, reported
with its signal) and ends with "N passed, N failed". Meant for a free-threaded
CPython run with PYTHON_GIL=0; elsewhere the threads take turns and it checks
the same things.
"""
import argparse
import ctypes
import math
import os
import signal
import struct
import subprocess
import sys
import sysconfig
import threading
import time

CONSTRUCTORS = 8
BORROWERS = 2


def other_containers(values):
    """The values in the containers read from their memory: Python's buffers,
    and pandas' and pyarrow's where they are installed."""
    import array
    made = [array.array("d", values), memoryview(values.astype("float32")), bytes(values.astype("uint8"))]
    try:
        import pandas as pd
        made += [pd.Series(values, dtype="Float64"), pd.Series(values.astype("int32"), dtype="Int32")]
        import pyarrow as pa
        made += [pa.chunked_array([values[:1000], values[1000:]]), pd.Series(values, dtype="float64[pyarrow]"),
                 pa.array(values.astype("int16"))]
    except ImportError:
        pass
    return made


def child(rounds):
    import numpy as np

    from zorvane import statistical_tests

    el = statistical_tests.EscancianoLobato

    def outcome(r):
        return (r.p_tilde, struct.pack("<d", r.statistic), struct.pack("<d", r.pvalue))

    rng = np.random.default_rng(2026)
    shared = [rng.standard_normal(n) for n in (40, 333, 4000)] + [rng.standard_normal(3000)[::-2]]
    lists = [a.tolist() for a in shared]
    serial_shared = [outcome(el(a)) for a in shared]
    serial_lists = [outcome(el(x)) for x in lists]
    containers = other_containers(shared[2])
    serial_containers = [outcome(el(c)) for c in containers]
    private_seeds = range(CONSTRUCTORS)
    serial_private = [outcome(el(np.random.default_rng(s).standard_normal(700))) for s in private_seeds]

    numpy_major = int(np.__version__.split(".")[0])
    multiarray = sys.modules["numpy._core.multiarray" if numpy_major >= 2 else "numpy.core.multiarray"]
    acquire = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
    release = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)

    class BorrowApi(ctypes.Structure):
        _fields_ = [("version", ctypes.c_uint64), ("state", ctypes.c_void_p), ("acquire_shared", acquire),
                    ("acquire_exclusive", acquire), ("release_shared", release), ("release_exclusive", release)]

    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    api = BorrowApi.from_address(get_pointer(multiarray._ARRAY_BORROW_REGISTRY, b"_ARRAY_BORROW_REGISTRY"))
    # read once here: ctypes builds a new function object on each read of a
    # field, which is not safe from several threads at once
    state, acquire_shared, acquire_exclusive, release_shared, release_exclusive = (
        api.state, api.acquire_shared, api.acquire_exclusive, api.release_shared, api.release_exclusive)

    failures = []
    start = threading.Barrier(CONSTRUCTORS + BORROWERS)

    def guarded(body, i):
        try:
            start.wait()
            body(i)
        except BaseException as e:  # noqa: BLE001 - reported by the process
            failures.append(f"thread {i}: {type(e).__name__}: {e}")

    def constructor(i):
        own = np.random.default_rng(private_seeds[i]).standard_normal(700)
        for r in range(rounds):
            for j in range(len(shared)):
                k = (i + j + r) % len(shared)
                if outcome(el(shared[k])) != serial_shared[k]:
                    raise AssertionError(f"shared array {k} differs")
                if outcome(el(lists[k])) != serial_lists[k]:
                    raise AssertionError(f"list {k} differs")
            k = (i + r) % len(containers)
            if outcome(el(containers[k])) != serial_containers[k]:
                raise AssertionError(f"container {k} differs")
            if outcome(el(own)) != serial_private[i]:
                raise AssertionError("private array differs")

    def borrower(i):
        scratch = np.zeros(256)
        halves = (scratch[:128], scratch[128:])
        for _ in range(rounds * 20):
            for a in shared:
                if acquire_shared(state, a) != 0:
                    raise AssertionError("a read borrow was refused")
            for h in halves:
                if acquire_exclusive(state, h) != 0:
                    raise AssertionError("a write borrow of a private slice was refused")
            if acquire_shared(state, halves[0]) != -1:
                raise AssertionError("a read borrow beside a write borrow was granted")
            for h in halves:
                release_exclusive(state, h)
            for a in shared:
                release_shared(state, a)

    threads = [threading.Thread(target=guarded, args=(constructor, i)) for i in range(CONSTRUCTORS)]
    threads += [threading.Thread(target=guarded, args=(borrower, i)) for i in range(BORROWERS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for a in shared:  # nothing left borrowed
        if acquire_exclusive(state, a) != 0:
            failures.append("a borrow was left behind")
        release_exclusive(state, a)
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    for f in failures:
        print(f, file=sys.stderr)
    print(f"{'ok' if not failures else 'FAILED'}: {CONSTRUCTORS * rounds * (2 * len(shared) + 2)} constructions, "
          f"interpreter lock {'on' if gil else 'off'}")
    return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--processes", type=int, default=20)
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(args.rounds)

    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    print(f"{args.processes} processes of {CONSTRUCTORS} constructing and {BORROWERS} borrowing threads, "
          f"{'free-threaded' if free_threaded else 'regular'} CPython {sys.version.split()[0]}, "
          f"PYTHON_GIL={os.environ.get('PYTHON_GIL', '(unset)')}")
    passed = failed = 0
    started = time.monotonic()
    for trial in range(args.processes):
        proc = subprocess.run([sys.executable, __file__, "--child", "--rounds", str(args.rounds)],
                              capture_output=True, text=True, timeout=600)
        if proc.returncode == 0:
            passed += 1
            continue
        failed += 1
        how = (f"signal {signal.Signals(-proc.returncode).name}" if proc.returncode < 0
               else f"exit {proc.returncode}")
        print(f"trial {trial + 1}: {how}\n{proc.stdout}{proc.stderr[-3000:]}", file=sys.stderr)
    print(f"{time.monotonic() - started:.1f} s; last trial: {proc.stdout.strip()}")
    print(f"stress: {passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
