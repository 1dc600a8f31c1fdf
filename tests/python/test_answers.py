"""Answers on the data users hold: constant series are refused as exact
arithmetic refuses them, and the scale of the data changes nothing."""

import math

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from zorvane import statistical_tests

EL = statistical_tests.EscancianoLobato


def outcome(data, **kwargs):
    r = EL(data, **kwargs)
    return r.p_tilde, r.statistic, r.pvalue


@pytest.mark.parametrize("value", [5.33, 3.7, 0.1, 0.25, 0.0, -1e-300, 1e300, 2.0**-1074])
@pytest.mark.parametrize("n", [2, 10, 250])
@pytest.mark.parametrize(
    "form", [np.array, list, tuple, lambda x: np.array(x, dtype=np.float16)], ids=["array", "list", "tuple", "f16"]
)
def test_equal_values_have_zero_variance_at_lag_one(value, n, form):
    with np.errstate(over="ignore"):
        if not np.isfinite(form([value])[0]):
            return
    with pytest.raises(OSError) as info:
        EL(form([value] * n))
    assert info.value.args == ("Zero τ̂ value at lag 1",)
    if hasattr(BaseException, "add_note"):  # notes came with 3.11
        assert info.value.__notes__[0].startswith(f"all {n} values are ")


def test_one_value_apart_is_tested():
    x = np.full(250, 5.33)
    x[17] = 5.34
    assert EL(x).p_tilde >= 1


def test_a_single_value_selects_no_lag():
    assert outcome([5.33]) == (0, -0.0, 1.0)


@pytest.fixture(scope="module")
def normal_series():
    return np.random.default_rng(41).standard_normal(1000)


def test_powers_of_two_give_the_same_bits(normal_series):
    base = outcome(normal_series)
    assert base[0] == 1
    for k in range(-1060, 1024):
        with np.errstate(over="ignore"):
            y = normal_series * 2.0**k if abs(k) < 1000 else np.ldexp(normal_series, k)
        if not np.all(np.isfinite(y)) or np.any(np.abs(y) < np.finfo(np.float64).tiny):
            continue
        assert outcome(y) == base, k


@given(
    st.lists(st.floats(-1e3, 1e3, allow_subnormal=False), min_size=3, max_size=60).filter(lambda v: len(set(v)) > 1),
    st.integers(-1100, 1100),
)
def test_any_series_times_a_power_of_two(values, k):
    x = np.array(values)
    with np.errstate(over="ignore"):
        y = np.ldexp(x, k)
    # every value of both finite and normal (or zero in both)
    tiny = np.finfo(np.float64).tiny
    if not np.all(np.isfinite(y)) or np.any((y == 0) != (x == 0)) or np.any((x != 0) & (np.abs(x) < tiny)):
        return
    if np.any((y != 0) & (np.abs(y) < tiny)):
        return
    try:
        expected = outcome(x)
    except OSError as e:
        with pytest.raises(OSError, match=str(e)):
            EL(y)
        return
    assert outcome(y) == expected


@pytest.mark.parametrize("factor", [1e-200, 1e-100, 1e-80, 1e-77, 1e77, 1e80, 1e200, 2.0**256])
@pytest.mark.parametrize("seed", range(5))
def test_decimal_rescalings_keep_the_answer(factor, seed):
    x = np.random.default_rng(seed).standard_normal(1000)
    base = EL(x)
    scaled = EL(x * factor)
    assert scaled.p_tilde == base.p_tilde
    assert math.isclose(scaled.statistic, base.statistic, rel_tol=1e-12)  # the README's figure
    assert math.isclose(scaled.pvalue, base.pvalue, rel_tol=1e-9)


def test_values_whose_sum_overflows(normal_series):
    x = np.abs(normal_series) + 1.0  # at most about 5: times 2**1020 stays finite
    y = x * 2.0**1020
    with np.errstate(over="ignore"):
        assert np.isinf(y.sum())
    assert outcome(y) == outcome(x)


# --- refusals whose notes say where and what to do (notes: Python 3.11+) ----

needs_notes = pytest.mark.skipif(not hasattr(BaseException, "add_note"), reason="exception notes came with 3.11")


def refusal(data, error=ValueError, **kwargs):
    with pytest.raises(error) as info:
        EL(data, **kwargs)
    return str(info.value), getattr(info.value, "__notes__", [None])[0] if hasattr(BaseException, "add_note") else None


@needs_notes
@pytest.mark.parametrize(
    "positions, want",
    [
        ([0], "1 NaN value, the first at position 0, at the start or end of the series: drop it, e.g. x[~np.isnan(x)]"),
        ([0, 1, 4999], "3 NaN values, the first at position 0, all at the start or end of the series: drop them"),
        ([2500], "1 NaN value, the first at position 2500, inside the series: dropping it joins values that were not "
                 "adjacent and changes what lag 1 means"),
        ([0, 17, 30], "3 NaN values, the first at position 0, 2 inside the series: dropping those joins"),
    ],
)
def test_nan_notes_count_locate_and_tell_edges_from_gaps(positions, want):
    x = np.random.default_rng(0).standard_normal(5000)
    x[positions] = np.nan
    message, note = refusal(x)
    assert message == "data must not contain NaN values"
    assert note.startswith(want)


@needs_notes
def test_infinity_notes_name_the_position():
    message, note = refusal([1.0, 2.0, float("-inf"), 3.0])
    assert message == "data must not contain infinite values"
    assert note.startswith("1 infinite value, the first at position 2, inside the series")
    assert note.endswith("([v for v in data if math.isfinite(v)] drops them)")


@needs_notes
def test_a_pandas_note_names_the_index_label_and_dropna():
    pd = pytest.importorskip("pandas")
    prices = pd.Series(np.linspace(100, 120, 50), index=pd.date_range("2024-01-01", periods=50))
    _, note = refusal(prices.pct_change())
    assert note == ("1 NaN value, the first at position 0 (index label Timestamp('2024-01-01 00:00:00')), "
                    "at the start or end of the series: drop it, e.g. s.dropna()")
    _, note = refusal(pd.Series([1.0, np.nan, 2.0, 3.0]))  # a default index: the position says it all
    assert note.startswith("1 NaN value, the first at position 1, inside")


@needs_notes
@pytest.mark.parametrize(
    "make, verb",
    [
        (lambda pl, pa: pl.Series([1.0, float("nan"), 2.0, 3.0]), "s.drop_nans()"),
        # a pyarrow null reads as NaN: the verb drops both
        (lambda pl, pa: pa.array([1.0, None, 2.0, 3.0]), "pc.filter(a, pc.invert(pc.is_nan(a)))"),
        (lambda pl, pa: pa.chunked_array([[1.0, 2.0], [None, 3.0]]), "pc.filter(a, pc.invert(pc.is_nan(a)))"),
        (lambda pl, pa: pl.Series([1.0, float("inf"), 2.0, 3.0]), "s.filter(s.is_finite())"),
    ],
)
def test_other_libraries_get_their_own_verbs(make, verb):
    pl = pytest.importorskip("polars")
    pa = pytest.importorskip("pyarrow")
    _, note = refusal(make(pl, pa))
    assert f"({verb} drops them)" in note


@needs_notes
def test_a_polars_null_is_dropped_with_drop_nulls():
    pl = pytest.importorskip("polars")
    _, note = refusal(pl.Series([1.0, None, 2.0]), TypeError)
    assert note == ("1 missing value (None), the first at position 1, inside the series: dropping it joins values "
                    "that were not adjacent and changes what lag 1 means; test the stretches between gaps separately, "
                    "or fill the gaps if that suits the data (s.drop_nulls() drops them)")


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64, np.bool_])
@pytest.mark.parametrize("at", [0, 7, 49])
def test_masked_items_are_refused_as_iteration_refuses_them(dtype, at):
    rng = np.random.default_rng(3)
    x = rng.random(50) < 0.5 if dtype is np.bool_ else (rng.standard_normal(50) * 10).astype(dtype)
    masked = np.ma.array(x, mask=np.arange(50) == at)
    before = masked.data.copy(), masked.mask.copy()
    message, note = refusal(masked)
    assert message == "data must not contain NaN values"
    if note is not None:
        assert note.startswith(f"1 masked or NaN value, the first at position {at}")
        assert "x.compressed()" in note
    assert np.array_equal(masked.data, before[0]) and np.array_equal(masked.mask, before[1])
    # nothing masked: read as the array it is
    assert outcome(np.ma.array(x, mask=np.zeros(50, bool))) == outcome(x)


def test_a_strided_masked_array():
    x = np.ma.array(np.random.default_rng(3).standard_normal(100), mask=np.arange(100) == 40)[::2]
    assert refusal(x)[0] == "data must not contain NaN values"
    assert outcome(x[21:]) == outcome(x.data[21:].copy())


@needs_notes
def test_d_beyond_the_data_names_both_numbers():
    message, note = refusal(np.arange(10.0) % 3, d=12)
    assert message == "d must not be larger than the length of data"
    assert note == "d = 12, and data has 10 values"


@needs_notes
def test_a_record_batch_reader_is_pointed_to_one_column():
    pa = pytest.importorskip("pyarrow")
    reader = pa.table({"x": [1.0, 2.0, 3.0]}).to_reader()
    _, note = refusal(reader, TypeError)
    assert note == "got a pyarrow RecordBatchReader: read it into a table and pass one column, e.g. reader.read_all()['x']"
    assert outcome(pa.table({"x": [1.0, 2.0, 0.5, 3.0]}).to_reader().read_all()["x"]) == outcome([1.0, 2.0, 0.5, 3.0])


def test_an_exception_that_stops_the_reading_is_chained():
    class Closed:
        def __len__(self):
            return 3

        def __getitem__(self, i):
            raise ConnectionError("the connection was closed")

    with pytest.raises(TypeError) as info:
        EL(Closed())
    assert isinstance(info.value.__cause__, ConnectionError)


@pytest.mark.parametrize("stop", [KeyboardInterrupt, MemoryError])
def test_a_note_never_swallows_an_interrupt(stop):
    class DataFrame:  # named and placed as pandas' table, so the note asks for its columns
        __module__ = "pandas.core.frame"

        @property
        def columns(self):
            raise stop()

    with pytest.raises(stop):
        EL(DataFrame())


def test_a_note_leaves_out_what_an_ordinary_exception_hides():
    class DataFrame:
        __module__ = "pandas.core.frame"

        @property
        def columns(self):
            raise RuntimeError("no columns today")

    with pytest.raises(TypeError) as info:
        EL(DataFrame())
    if hasattr(BaseException, "add_note"):
        assert info.value.__notes__ == ["got a pandas DataFrame: pass one column, e.g. df['x']"]
