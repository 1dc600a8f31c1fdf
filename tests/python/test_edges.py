"""Resource and import edges: each ends in a result or a clear exception
within bounded memory, never in a dead process."""

import pytest

from conftest import (FREE_THREADED, SKIP_UNDER_EMULATION, SKIP_UNDER_SANITIZER, SKIP_WITHOUT_ADDRESS_SPACE_LIMITS,
                      run_python)
import peak_memory


def construction_peak(series):
    try:
        return peak_memory.construction_peak(series)
    except peak_memory.PeakUnmeasurable as e:
        pytest.skip(f"no resettable peak memory here: {e}")


@SKIP_UNDER_EMULATION
def test_hundred_million_values_in_bounded_memory():
    p_tilde, extra = construction_peak("np.sin(np.arange(10**8, dtype=np.float64) * 0.37)")
    assert 1 <= p_tilde <= 39  # the default d at n = 10**8 is 39
    assert extra < 1 << 20


@SKIP_UNDER_EMULATION
@SKIP_UNDER_SANITIZER  # its shadow memory adds an eighth to every allocation
def test_the_peak_probe_sees_a_copy():
    # int64 values are copied into a float64 buffer of the same size, which the probe must see
    _, extra = construction_peak("np.arange(4 * 10**7, dtype=np.int64) % 1000")
    assert 300 << 20 < extra < 340 << 20


@SKIP_WITHOUT_ADDRESS_SPACE_LIMITS
def test_unallocatable_working_vector_raises_instead_of_dying():
    # d = n asks for n + 1 working values; with the address space capped the
    # allocation fails and the failure reaches Python as an exception.
    proc = run_python(
        """
        import os, resource
        import numpy as np
        from zorvane import statistical_tests
        x = np.arange(10**7, dtype=np.float64) % 7
        statistical_tests.EscancianoLobato(x[:50])
        used = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (used + (16 << 20), hard))
        try:
            statistical_tests.EscancianoLobato(x, d=x.size)
        except BaseException as e:
            print(type(e).__name__, "|", e)
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(statistical_tests.EscancianoLobato(x[:100]).p_tilde >= 0)
        """,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0].startswith("PanicException | ") and "bad_alloc" in lines[0]
    assert lines[1] == "True"
    assert "bad_alloc" in proc.stderr


def test_import_from_a_sub_interpreter_raises_import_error():
    pytest.importorskip("_testcapi", reason="this CPython comes without its test modules (python.org's embeddable one)")
    proc = run_python(
        """
        import zorvane, _testcapi
        status = _testcapi.run_in_subinterp("import zorvane")
        print("status", status)
        r = zorvane.statistical_tests.EscancianoLobato([1.0, 3.0, 2.0, 5.0, 4.0])
        print(r.p_tilde >= 0)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["status -1", "True"]
    assert "ImportError" in proc.stderr
    if FREE_THREADED:  # CPython refuses before the module is asked
        assert "does not support loading in subinterpreters" in proc.stderr
    else:
        assert "only once per interpreter process" in proc.stderr
