"""Several Python threads constructing at once on shared data: same results
as one thread, no borrow left behind, and write borrows held by another party
stop exactly the constructions on their arrays."""
import threading

import numpy as np
import pytest

from conftest import EscancianoLobato, outcome

pandas = pytest.importorskip("pandas")


def shared_inputs():
    rng = np.random.default_rng(11)
    arrays = [rng.standard_normal(n) for n in (50, 500, 5000)]
    return arrays + [a.tolist() for a in arrays] + [pandas.Series(a) for a in arrays] + [a[::-1] for a in arrays]


def run_threads(worker, count):
    errors = []

    def guarded(i):
        try:
            worker(i)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=guarded, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors


def test_threads_agree_with_one_thread(registry):
    inputs = shared_inputs()
    expected = [outcome(EscancianoLobato(x)) for x in inputs]
    results = {}

    def worker(i):
        got = []
        for _ in range(30):
            for j, x in enumerate(inputs):
                got.append((j, outcome(EscancianoLobato(x))))
        results[i] = got

    assert run_threads(worker, 8) == []
    for got in results.values():
        for j, value in got:
            assert value == expected[j]
    # nothing is left borrowed: a write borrow succeeds on every array
    for x in inputs[:3]:
        assert registry.acquire_exclusive(registry.state, x) == 0
        registry.release_exclusive(registry.state, x)


def test_write_borrows_stop_exactly_their_arrays(registry):
    rng = np.random.default_rng(5)
    arrays = [rng.standard_normal(300) for _ in range(6)]
    locked = {1, 4}
    expected = [outcome(EscancianoLobato(a)) for a in arrays]
    for i in locked:
        assert registry.acquire_exclusive(registry.state, arrays[i]) == 0
    failures = {i: 0 for i in range(len(arrays))}
    lock = threading.Lock()
    try:
        def worker(_):
            for _ in range(40):
                for i, a in enumerate(arrays):
                    try:
                        assert outcome(EscancianoLobato(a)) == expected[i]
                    except BaseException as e:  # noqa: BLE001
                        assert type(e).__name__ == "PanicException" and str(e).endswith("AlreadyBorrowed")
                        with lock:
                            failures[i] += 1

        assert run_threads(worker, 4) == []
    finally:
        for i in locked:
            registry.release_exclusive(registry.state, arrays[i])
    assert {i for i, count in failures.items() if count} == locked
    assert all(failures[i] == 4 * 40 for i in locked)
    for i in locked:
        assert outcome(EscancianoLobato(arrays[i])) == expected[i]


def test_capsule_clients_on_threads_while_others_construct(registry):
    """Foreign modules take and release borrows through the capsule from their
    own threads while constructions borrow the same arrays."""
    rng = np.random.default_rng(3)
    shared = [rng.standard_normal(400) for _ in range(4)]
    expected = [outcome(EscancianoLobato(a)) for a in shared]
    common = np.zeros(8 * 64)  # one owner; each client writes its own slice
    # read once here: ctypes builds a new function object on each read of a
    # field, which is not safe from several threads at once
    state, acquire_shared, acquire_exclusive, release_shared, release_exclusive = (
        registry.state, registry.acquire_shared, registry.acquire_exclusive, registry.release_shared,
        registry.release_exclusive)

    def client(i):
        own = common[i * 64:(i + 1) * 64]
        for _ in range(1500):
            assert acquire_exclusive(state, own) == 0
            assert acquire_shared(state, own) == -1
            for a in shared:
                assert acquire_shared(state, a) == 0
            for a in shared:
                release_shared(state, a)
            release_exclusive(state, own)

    def constructor(_):
        for _ in range(150):
            for a, value in zip(shared, expected):
                assert outcome(EscancianoLobato(a)) == value

    assert run_threads(lambda i: (client if i % 2 else constructor)(i), 8) == []
    for a in shared + [common]:
        assert acquire_exclusive(state, a) == 0
        release_exclusive(state, a)
