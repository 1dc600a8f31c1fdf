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
    with pytest.raises(OSError, match="^Zero τ̂ value at lag 1$"):
        EL(form([value] * n))


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
    st.lists(st.floats(-1e3, 1e3, allow_subnormal=False), min_size=3, max_size=60).filter(
        lambda v: len(set(v)) > 1 and min(abs(x) for x in v if x != 0) > 1e-200 if any(v) else False
    ),
    st.integers(-1100, 1100),
)
def test_any_series_times_a_power_of_two(values, k):
    x = np.array(values)
    with np.errstate(over="ignore"):
        y = np.ldexp(x, k)
    if not np.all(np.isfinite(y)) or np.any((y != 0) & (np.abs(y) < np.finfo(np.float64).tiny)):
        return
    try:
        expected = outcome(x)
    except OSError as e:
        with pytest.raises(OSError, match=str(e)):
            EL(y)
        return
    assert outcome(y) == expected


@pytest.mark.parametrize("factor", [1e-200, 1e-100, 1e-80, 1e-77, 1e77, 1e80, 1e200, 2.0**256])
def test_decimal_rescalings_keep_the_answer(normal_series, factor):
    base = EL(normal_series)
    scaled = EL(normal_series * factor)
    assert scaled.p_tilde == base.p_tilde
    assert math.isclose(scaled.statistic, base.statistic, rel_tol=1e-9)
    assert math.isclose(scaled.pvalue, base.pvalue, rel_tol=1e-9)


def test_values_whose_sum_overflows(normal_series):
    x = np.abs(normal_series) + 1.0  # at most about 5: times 2**1020 stays finite
    y = x * 2.0**1020
    with np.errstate(over="ignore"):
        assert np.isinf(y.sum())
    assert outcome(y) == outcome(x)
