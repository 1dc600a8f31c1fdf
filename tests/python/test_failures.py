"""Internal failures reach Python as PanicException after a report on
standard error; exhausted memory and a missing NumPy end in orderly errors."""
import sys

import numpy as np
import pytest

from conftest import SKIP_WITHOUT_ADDRESS_SPACE_LIMITS, EscancianoLobato, borrow_registry, outcome, run_python


def panic_from_write_borrow():
    """A PanicException, provoked through the borrow registry."""
    api = borrow_registry()
    array = np.arange(5.0)
    api.acquire_exclusive(api.state, array)
    try:
        EscancianoLobato(array)
    except BaseException as e:  # noqa: B036 - the point is what kind it is
        return e
    finally:
        api.release_exclusive(api.state, array)
    raise AssertionError("no failure")


def test_panic_exception_class():
    error = panic_from_write_borrow()
    cls = type(error)
    assert cls.__name__ == "PanicException"
    assert cls.__qualname__ == "PanicException"
    assert cls.__module__ == "tarvic_runtime"
    assert cls.__bases__ == (BaseException,)
    assert not isinstance(error, Exception)
    assert cls.__doc__.startswith("\n") and cls.__doc__.endswith("\n")
    paragraphs = [p for p in cls.__doc__.strip("\n").split("\n\n")]
    assert len(paragraphs) == 2
    assert "BaseException" in paragraphs[1] and "SystemExit" in paragraphs[1]
    assert len(error.args) == 1 and isinstance(error.args[0], str)
    # one class per process
    assert type(panic_from_write_borrow()) is cls


def test_panic_is_reported_on_stderr_and_process_goes_on(tmp_path):
    proc = run_python(
        """
        import test_failures
        e = test_failures.panic_from_write_borrow()
        print(type(e).__name__, e)
        from zorvane import statistical_tests
        print(statistical_tests.EscancianoLobato([1.0, 3.0, 2.0, 4.0]).p_tilde >= 0)
        """,
        extra_path=__import__("pathlib").Path(__file__).parent,
    )
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout.splitlines()
    assert out[0].startswith("PanicException ") and out[0].endswith("AlreadyBorrowed")
    assert out[1] == "True"
    assert "failed at" in proc.stderr and "borrow_registry.cpp" in proc.stderr
    assert "AlreadyBorrowed" in proc.stderr
    assert "backtrace" in proc.stderr


@pytest.mark.parametrize(
    "stub, expected",
    [
        ("raise ImportError('numpy is broken here')", "ImportError: numpy is broken here"),
        ("__version__ = 'not a version'", "ValueError"),
        ("__version__ = '2.0.0'\nimport types, sys\n"
         "sys.modules['numpy.lib'] = types.SimpleNamespace(NumpyVersion=lambda v: types.SimpleNamespace(major=2))\n"
         "sys.modules['numpy._core'] = types.ModuleType('numpy._core')\n"
         "m = types.ModuleType('numpy._core.multiarray'); m._ARRAY_API = object()\n"
         "sys.modules['numpy._core.multiarray'] = m\n", "TypeError"),
    ],
    ids=["import-fails", "bad-version", "api-not-a-capsule"],
)
def test_numpy_unavailable_at_first_construction(tmp_path, stub, expected):
    package = tmp_path / "numpy"
    package.mkdir()
    (package / "__init__.py").write_text(stub + "\n")
    (package / "lib.py").write_text(
        "class NumpyVersion:\n    def __init__(self, v):\n        raise ValueError('Not a valid numpy version string')\n"
    )
    proc = run_python(
        """
        from zorvane import statistical_tests
        for attempt in range(2):
            try:
                statistical_tests.EscancianoLobato([1.0, 2.0, 3.0])
            except BaseException as e:
                print(type(e).__name__, "|", e)
        print("alive")
        """,
        extra_path=tmp_path,
    )
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert len(lines) == 3 and lines[2] == "alive"
    for line in lines[:2]:  # the lookup is tried again on the next use
        kind, message = line.split(" | ", 1)
        assert kind == "PanicException"
        assert message.startswith("Failed to access NumPy array API capsule: ")
        assert expected in message


@SKIP_WITHOUT_ADDRESS_SPACE_LIMITS
def test_memory_exhausted_while_copying_raises_memory_error():
    proc = run_python(
        """
        import resource
        from zorvane import statistical_tests
        statistical_tests.EscancianoLobato([1.0, 2.0, 4.0])  # NumPy loaded first

        class Endless:
            def __len__(self):
                return 0
            def __getitem__(self, i):
                return 1.5
            def __iter__(self):
                while True:
                    yield 1.5

        limit = 1 << 30
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        import os
        used = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        resource.setrlimit(resource.RLIMIT_AS, (used + limit, hard))
        try:
            statistical_tests.EscancianoLobato(Endless())
        except MemoryError as e:
            print("MemoryError", e)
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(statistical_tests.EscancianoLobato([1.0, 3.0, 2.0, 4.0]).p_tilde >= 0)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["MemoryError out of memory while copying the data", "True"]


@pytest.mark.parametrize(
    "raised, expected",
    [("MemoryError('no room')", "MemoryError | no room"), ("KeyboardInterrupt()", "KeyboardInterrupt | "),
     ("RuntimeError('odd module')", "computed")],
    ids=["memory", "interrupt", "other-error"],
)
def test_errors_while_looking_for_pandas_series(raised, expected):
    """Looking for pandas' Series class is a trial: its errors send the data
    on to iteration, but for the two that must propagate."""
    proc = run_python(
        f"""
        import sys, types
        from zorvane import statistical_tests
        statistical_tests.EscancianoLobato([1.0, 2.0, 4.0])  # NumPy loaded first

        class Module(types.ModuleType):
            def __getattr__(self, name):
                raise {raised}

        sys.modules["pandas.core.series"] = Module("pandas.core.series")

        class Values:
            def __len__(self):
                return 4
            def __getitem__(self, i):
                return [1.0, 3.0, 2.0, 5.0][i]

        try:
            statistical_tests.EscancianoLobato(Values())
            print("computed")
        except BaseException as e:
            print(type(e).__name__, "|", e)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [expected]


pandas = pytest.importorskip("pandas")


@pytest.mark.parametrize(
    "make",
    [
        lambda v: pandas.Series(v),
        lambda v: pandas.Series(v, index=[f"t{i}" for i in range(len(v))]),
        lambda v: pandas.Series(v, dtype="float32"),
        lambda v: pandas.Series(v).iloc[::-1].sort_index(),
        lambda v: pandas.DataFrame({"r": v})["r"],
    ],
    ids=["default-index", "string-index", "float32", "reindexed", "dataframe-column"],
)
def test_pandas_series_values(series, make):
    s = make(list(series))
    expected = np.asarray(s.to_numpy(), dtype=np.float64)
    assert outcome(EscancianoLobato(s)) == outcome(EscancianoLobato(expected))
    assert outcome(EscancianoLobato(s.to_numpy())) == outcome(EscancianoLobato(expected))
