"""Arrays of other dtypes and pandas Series are read from memory: every
result and every exception must be what iterating them would give."""
import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import EscancianoLobato, Iterated, outcome, run_python, snapshot

pd = pytest.importorskip("pandas")

DTYPES = ["bool", "int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64",
          "float16", "float32", "float64"]


def result_or_error(data, **kwargs):
    try:
        return outcome(EscancianoLobato(data, **kwargs))
    except (ValueError, TypeError, OSError) as e:
        return type(e).__name__, str(e)


def assert_same_as_iterated(data, **kwargs):
    before = snapshot(data)
    assert result_or_error(data, **kwargs) == result_or_error(Iterated(data), **kwargs)
    assert snapshot(data) == before  # left untouched


def values_for(dtype, rng, n):
    info = np.iinfo(dtype) if np.dtype(dtype).kind in "iu" else None
    if dtype == "bool":
        return rng.random(n) < 0.4
    if info is not None:
        # the extremes too: beyond 2**53 they round when made float64
        raw = rng.integers(info.min, info.max, size=n, dtype=dtype, endpoint=True)
        raw[: min(n, 2)] = [info.max, info.min][: min(n, 2)]
        return raw
    return (rng.standard_normal(n) * 50).astype(dtype)


def layouts(array):
    """The array itself, in the other byte order, strided and reversed."""
    doubled = np.repeat(array, 2)
    yield "contiguous", array
    yield "swapped", array.astype(array.dtype.newbyteorder())
    yield "every-second", doubled[::2]
    yield "reversed", array[::-1]
    yield "swapped-strided", doubled.astype(doubled.dtype.newbyteorder())[1::2]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n", [0, 1, 2, 37, 1000])
def test_arrays_of_every_plain_dtype(dtype, n):
    rng = np.random.default_rng(n)
    for _, array in layouts(values_for(dtype, rng, n)):
        assert_same_as_iterated(array)
        if n > 3:
            assert_same_as_iterated(array, d=3)


@pytest.mark.parametrize("dtype", ["float16", "float32", "float64"])
@pytest.mark.parametrize("special", [np.nan, np.inf, -np.inf, -0.0])
def test_special_float_values(dtype, special):
    array = np.array([0.5, -1.0, 2.0, special, 1.5, 0.25], dtype=dtype)
    for _, laid_out in layouts(array):
        assert_same_as_iterated(laid_out)


@given(st.lists(st.integers(-(2**63), 2**63 - 1), min_size=2, max_size=40))
def test_int64_values_that_round(values):
    array = np.array(values, dtype=np.int64)
    assert_same_as_iterated(array)
    assert_same_as_iterated(pd.Series(array))


@given(st.lists(st.integers(0, 2**64 - 1), min_size=2, max_size=40))
def test_uint64_values_that_round(values):
    assert_same_as_iterated(np.array(values, dtype=np.uint64))


INDEXES = {
    "range": lambda n: None,
    "strings": lambda n: [f"r{i}" for i in range(n)],
    "dates": lambda n: pd.date_range("2001-01-01", periods=n, freq="D"),
    "reversed-ints": lambda n: list(range(n))[::-1],
}


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("index", sorted(INDEXES))
@pytest.mark.parametrize("n", [0, 1, 50])
def test_series_of_every_plain_dtype(dtype, index, n):
    values = values_for(dtype, np.random.default_rng(7), n)
    series = pd.Series(values, index=INDEXES[index](n))
    assert_same_as_iterated(series)


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda: pd.Series([1, 2, None, 4, 5], dtype="Int64"), id="nullable-with-NA"),
        pytest.param(lambda: pd.Series([1, 2, 3, 4, 5], dtype="Int64"), id="nullable"),
        pytest.param(lambda: pd.Series([1.0, 2.5, 3.0, 0.5], dtype="Float64"), id="nullable-float"),
        pytest.param(lambda: pd.Series(pd.Categorical([1.0, 2.0, 1.0, 3.0])), id="categorical"),
        pytest.param(lambda: pd.Series([1 + 2j, 2, 3, 4]), id="complex"),
        pytest.param(lambda: pd.Series([1.0, "2", 3.0], dtype=object), id="object"),
        pytest.param(lambda: pd.Series(np.array([1.0, 2.0, 4.0, 3.0], dtype=np.longdouble)), id="longdouble"),
        pytest.param(lambda: pd.Series(pd.date_range("2001", periods=4)), id="datetime"),
        pytest.param(lambda: pd.Series(np.arange(6.0)).iloc[::2], id="strided-view"),
    ],
)
def test_series_left_to_iteration(make):
    assert_same_as_iterated(make())


def test_a_series_subclass_that_customises_access_is_iterated():
    class Doubled(pd.Series):
        @property
        def _constructor(self):
            return Doubled

        def __iter__(self):
            return (2.0 * v for v in super().__iter__())

    class Plain(pd.Series):
        @property
        def _constructor(self):
            return Plain

    values = np.array([0.3, -1.2, 2.5, 0.7, -0.4, 1.9, -2.2])
    assert outcome(EscancianoLobato(Doubled(values))) == outcome(EscancianoLobato(2.0 * values))
    assert outcome(EscancianoLobato(Plain(values))) == outcome(EscancianoLobato(values))
    assert outcome(EscancianoLobato(Plain(values.astype(np.int32)))) == outcome(EscancianoLobato(Iterated(
        values.astype(np.int32))))


def test_no_library_is_ever_imported():
    """Containers are recognised by their classes in the libraries already
    loaded: a construction on anything else imports none of them."""
    proc = run_python(
        """
        import array, sys
        import numpy as np
        from zorvane import statistical_tests
        statistical_tests.EscancianoLobato([1.0, 3.0, 2.0, 5.0])
        statistical_tests.EscancianoLobato(np.arange(9) % 4)
        statistical_tests.EscancianoLobato(array.array("d", [1.0, 3.0, 2.0, 5.0]))
        statistical_tests.EscancianoLobato(memoryview(np.arange(9.0) % 4))
        print([name for name in ("pandas", "polars", "pyarrow", "xarray") if name in sys.modules])
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["[]"]
