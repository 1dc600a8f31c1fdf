"""Ctrl-C during a long test: the handler's exception ends the construction
between chunks of its work, nothing is created and nothing is kept, and the
same data then give the same bits. Each case runs in a fresh interpreter, so
that a signal that came too late cannot reach the suite.

A construction holds the interpreter lock throughout, so on a CPython with
the lock no other Python thread runs meanwhile: the interrupt comes from the
system's interval timer there, whose SIGALRM handler calls
_thread.interrupt_main() as Ctrl-C's would (the system sets the flag
that the check reads, as for Ctrl-C). Without the lock, a thread's timer
calls it."""
import json
import signal
from pathlib import Path

import pytest

from conftest import FREE_THREADED, GIL_FORCED, run_python

# How the interrupt is sent 0.2 s into the construction: TRIGGERS[name] is
# code that arranges for fire() to be called then.
TRIGGERS = {
    "system-timer": "signal.signal(signal.SIGALRM, lambda signum, frame: fire())\n"
    "signal.setitimer(signal.ITIMER_REAL, {delay})",
    "thread-timer": "threading.Timer({delay}, fire).start()",
}
AVAILABLE = [
    pytest.param(
        "system-timer", marks=pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="no interval timer here")
    ),
    pytest.param(
        "thread-timer",
        marks=pytest.mark.skipif(
            not FREE_THREADED or GIL_FORCED, reason="no other thread runs while a construction holds the lock"
        ),
    ),
]

# signals go to the main thread of the process
pytestmark = pytest.mark.thread_unsafe(reason="interrupts the main thread")

# n = 10^6 at d = 200,000 takes seconds to minutes by the machine, the
# sanitizers or the emulator: a signal 0.2 s in always finds it running.
LONG = """
import _thread, json, signal, sys, threading, time
import numpy as np
from conftest import EscancianoLobato, borrow_registry

# Ctrl-C's handler, as an interactive interpreter has it (one started with
# SIGINT ignored, as a background job of a shell is, leaves it ignored)
signal.signal(signal.SIGINT, signal.default_int_handler)
registry = borrow_registry()
x = np.random.default_rng(7).standard_normal(10**6)
data = {data}
before = EscancianoLobato(x, d=5)
refs = sys.getrefcount(x), sys.getrefcount(EscancianoLobato)
{handler}
fired = []
def fire():
    fired.append(time.perf_counter())
    _thread.interrupt_main()
{trigger}
started = time.perf_counter()
try:
    EscancianoLobato(data, d=200_000)
    outcome = "finished"
except BaseException as e:
    outcome = type(e).__name__
waited = time.perf_counter() - started
refs_kept = (sys.getrefcount(x), sys.getrefcount(EscancianoLobato)) == refs
after = EscancianoLobato(x, d=5)
exclusive = registry.acquire_exclusive(registry.state, x)
if exclusive == 0:
    registry.release_exclusive(registry.state, x)
print(json.dumps({{
    "outcome": outcome,
    "waited": waited,
    "refs_kept": refs_kept,
    "same_bits": (after.p_tilde, after.statistic.hex(), after.pvalue.hex())
                 == (before.p_tilde, before.statistic.hex(), before.pvalue.hex()),
    "unborrowed": exclusive == 0,
}}))
"""

RAISES_VALUE_ERROR = """
def handler(signum, frame):
    raise ValueError("stopped by the handler")
signal.signal(signal.SIGINT, handler)
"""


@pytest.mark.parametrize("trigger", AVAILABLE)
@pytest.mark.parametrize(
    "data, handler, expected",
    [
        ("x", "", "KeyboardInterrupt"),
        ("x.tolist()", "", "KeyboardInterrupt"),
        ("x", RAISES_VALUE_ERROR, "ValueError"),
    ],
    ids=["array", "list", "handler-raises-its-own"],
)
def test_a_signal_stops_a_long_construction(trigger, data, handler, expected):
    code = LONG.format(data=data, handler=handler, trigger=TRIGGERS[trigger].format(delay=0.2))
    result = run_python(code, extra_path=Path(__file__).parent)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout.splitlines()[-1])
    assert report["outcome"] == expected
    # The uninterrupted call takes 17 s or more; the check comes every few
    # milliseconds of work. (A signal handled only after the call would
    # raise the same exception inside the try: the time tells them apart.)
    assert report["waited"] < 5.0
    assert report["refs_kept"]
    assert report["same_bits"]
    assert report["unborrowed"], "the read borrow was left in the registry"


@pytest.mark.parametrize("trigger", AVAILABLE)
def test_a_handler_that_returns_leaves_the_answer_alone(trigger):
    # The handler runs between chunks, on the same thread, and the test goes
    # on where it stopped: the answer is the one without any signal.
    code = f"""
import _thread, json, signal, threading
import numpy as np
from conftest import EscancianoLobato

x = np.random.default_rng(11).standard_normal(300_000)
calls = []
signal.signal(signal.SIGINT, lambda signum, frame: calls.append(signum))
quiet = EscancianoLobato(x, d=2000)
def fire():
    _thread.interrupt_main()
{TRIGGERS[trigger].format(delay=0.01)}
signalled = EscancianoLobato(x, d=2000)
while not calls:
    pass
print(json.dumps([quiet.p_tilde == signalled.p_tilde, quiet.statistic.hex() == signalled.statistic.hex(),
                  len(calls)]))
"""
    result = run_python(code, extra_path=Path(__file__).parent)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout.splitlines()[-1]) == [True, True, 1]
