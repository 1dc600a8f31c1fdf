"""No confident finding that exact arithmetic would not give: values equal but
for a few ulps are answered as exact arithmetic answers them, and warned of
where they differ only in their last bits; every zero-variance refusal says
which case it is, lags the data cannot carry are warned of, and complex data
lose no imaginary part silently."""

import math
import warnings
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest

from conftest import UNDER_WINE
from zorvane import statistical_tests

EL = statistical_tests.EscancianoLobato
ZERO_AT_LAG_ONE = ("Zero τ̂ value at lag 1",)
LAST_BITS = r"^the values differ only in their last bits \(from "
HAS_NOTES = hasattr(BaseException, "add_note")  # notes came with 3.11
needs_notes = pytest.mark.skipif(not HAS_NOTES, reason="exception notes came with 3.11")


def exact_spike_answer(n, at, d, q=2.4):
    """p~ and the statistic of a constant series with one other value at
    `at`, in exact arithmetic given ln n. Its deviations from the exact mean
    are -D/n and D(n - 1)/n for D the difference of the two values, and
    rho~^2_k does not depend on D: taking D = n leaves integers."""
    lam, q = Fraction(math.log(n)), Fraction(q)
    rho_sq = []
    for k in range(1, d + 1):
        m = n - k
        spiked = (at - k >= 0) + (at + k <= n - 1)  # pairs holding the odd value
        g = (m - spiked) - spiked * (n - 1)
        t = (m - spiked) + spiked * (n - 1) ** 2
        rho_sq.append(Fraction(g * g, m * t))
    logarithmic = q * lam >= n * max(rho_sq)
    best, p_tilde, running, chosen = None, 0, Fraction(0), Fraction(0)
    for p in range(1, d + 1):
        running += rho_sq[p - 1]
        penalised = n * running - (p * lam if logarithmic else 2 * p)
        if best is None or penalised > best:
            best, p_tilde, chosen = penalised, p, running
    return p_tilde, float(n * chosen)


def spike_cases():
    for n in (32, 250, 10_000, 1_000_000):
        values = (5.33, 1e-200, 1e200) if n == 1_000_000 else (5.33, 0.23, -3.7, 1e-200, 2.5e-7, 6.1e10, 1e200)
        for value in values:
            for ulps in (1, 2, 16, 1_000, 10**6):
                for at in (0, n // 2, n - 1):
                    yield pytest.param(n, value, ulps, at, id=f"{n}-{value}-{ulps}ulps-at{at}")


@pytest.mark.parametrize("n, value, ulps, at", list(spike_cases()))
def test_a_spike_of_a_few_ulps_is_answered_exactly(n, value, ulps, at):
    x = np.full(n, value)
    x[at] = value + ulps * math.ulp(value)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        r = EL(x)
    p_tilde, statistic = exact_spike_answer(n, at, int(n**0.2))
    assert r.p_tilde == p_tilde
    assert abs(r.statistic - statistic) <= 2**-9 * (1 + statistic)


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda: np.full(250, 5.33), id="1-ulp-above"),
        pytest.param(lambda: np.full(250, 0.23), id="percent-round-trip"),
    ],
)
def test_values_differing_in_their_last_bits_are_answered_and_warned_of(make):
    x = make()
    x[7] = np.nextafter(x[7], 1.0) if x[0] == 5.33 else 0.23 / 100 * 100
    with pytest.warns(RuntimeWarning, match=LAST_BITS) as caught:
        r = EL(x)
    assert len(caught) == 1
    # the advice, followed, gives the same answer without the warning
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        shifted = EL(x - x[0])
    assert r.p_tilde == shifted.p_tilde
    assert abs(r.statistic - shifted.statistic) <= 2**-30 * max(1.0, shifted.statistic)


@pytest.mark.parametrize("x", [np.full(50, 37.0), 37.0 + np.arange(50.0) * 1e-6, np.arange(50.0) * 1e-300,
                               np.random.default_rng(5).standard_normal(50) + 1e9])
def test_other_data_is_not_warned_of_as_last_bits(x):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            EL(x)
        except OSError:
            assert np.all(x == x[0])


@pytest.mark.parametrize(
    "level, scale, n",
    [(100.0, 1e-8, 100_000), (100.0, 10.0, 1_000_000), (1e6, 1e-3, 10_000), (0.0, 1.0, 250), (-40.0, 2e-6, 5_000)],
)
def test_sound_data_far_from_zero_is_answered(level, scale, n):
    x = level + scale * np.random.default_rng(n).standard_normal(n)
    r = EL(x)
    assert 0 < r.p_tilde and r.pvalue > 1e-6


@needs_notes
def test_fourth_powers_out_of_range_say_the_magnitudes():
    x = np.random.default_rng(3).standard_normal(300)
    x[[5, 9]] = 1.7e308, -1.7e308
    with pytest.raises(OSError) as info:
        EL(x)
    assert info.value.args == ZERO_AT_LAG_ONE
    (note,) = info.value.__notes__
    assert note.startswith("deviations from the mean range from 1.7e+308 down to ")
    assert "too far apart for float64 to hold the products of their squares" in note


@pytest.mark.parametrize(
    "data, lag, note",
    [
        ([5.0] * 10, 1, "all 10 values are 5.0: a constant series has no autocorrelation to measure"),
        ([-2.9e-300] * 3, 1, "all 3 values are -2.9e-300: a constant series has no autocorrelation to measure"),
        ([0.0, 1.0, -1.0, 0.0, 0.0, 0.0, 0.0], 2,
         "every pair of values 2 apart holds one equal to the mean (0.0), so the robust variance at lag 2 is zero"),
    ],
)
@needs_notes
def test_every_zero_variance_refusal_says_its_case(data, lag, note):
    with pytest.raises(OSError) as info:
        EL(data, d=lag)
    assert info.value.args == (f"Zero τ̂ value at lag {lag}",)
    assert info.value.__notes__ == [note]


def test_one_value_gives_a_statistic_of_positive_zero():
    r = EL([4.25], d=None)
    assert (r.p_tilde, math.copysign(1.0, r.statistic), r.pvalue) == (0, 1.0, 1.0)


@pytest.mark.parametrize("n, d", [(50, 25), (50, 49), (50, 50), (11, 6), (1000, 500), (2, 1)])
def test_lags_of_half_the_series_or_more_are_warned_of(n, d):
    x = np.random.default_rng(n + d).standard_normal(n)
    with pytest.warns(RuntimeWarning, match=rf"^d = {d} is at least half the series length \(n = {n}\)") as caught:
        r = EL(x, d=d)
    assert len(caught) == 1 and "chi-square approximation fails" in str(caught[0].message)
    assert Path(caught[0].filename).name == Path(__file__).name  # the caller's line (wine names it its own way)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert (r.p_tilde, r.statistic, r.pvalue) == (lambda s: (s.p_tilde, s.statistic, s.pvalue))(EL(x, d=d))


@pytest.mark.parametrize("n, d", [(50, None), (50, 12), (1000, 250), (2, None), (1, None), (10, 2)])
def test_the_default_and_a_quarter_of_the_series_are_not_warned_of(n, d):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        EL(np.random.default_rng(n).standard_normal(n), d=d)


def test_a_warning_made_an_error_raises_and_creates_nothing():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning):
            EL(np.arange(10.0) % 3, d=5)


# wine 8 lacks ucrtbase's crealf and cimag, which NumPy calls on complex values
complex_dtypes = pytest.mark.parametrize(
    "dtype", [pytest.param(t, marks=pytest.mark.skipif(UNDER_WINE, reason="wine lacks crealf and cimag"))
              for t in (np.complex64, np.complex128, np.clongdouble)])


@complex_dtypes
@pytest.mark.parametrize("wrap", [np.asarray, list, lambda a: a[::-1][::-1].copy()], ids=["array", "list", "copy"])
def test_complex_values_with_an_imaginary_part_are_refused(dtype, wrap):
    x = np.array([1 + 2j, 2 - 1j, 3 + 5j, 0.5, 1.5j], dtype=dtype)
    with pytest.raises(TypeError) as info:
        EL(wrap(x))
    if not HAS_NOTES:
        return
    # the advice is one the container takes: a list has no .real
    advice = "[v.real for v in x] or [abs(v) for v in x]" if wrap is list else "x.real or np.abs(x)"
    assert info.value.__notes__[0].endswith(f"pass its real part or its magnitude, e.g. {advice}")
    assert info.value.__notes__[0].startswith("item 0 is a complex number (")


@complex_dtypes
def test_complex_values_without_an_imaginary_part_read_as_their_real_parts(dtype):
    real = np.cos(np.arange(60) * 0.7)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        r = EL(real.astype(dtype))
    want = EL(real.astype(dtype).real.astype(np.float64))
    assert (r.p_tilde, r.statistic, r.pvalue) == (want.p_tilde, want.statistic, want.pvalue)


@needs_notes
def test_a_plain_series_subclass_gets_pandas_words_and_labels():
    pd = pytest.importorskip("pandas")

    class Prices(pd.Series):
        pass

    with pytest.raises(ValueError) as info:
        EL(Prices([1.0, np.nan, 2.0, 3.0], index=list("wxyz")))
    assert info.value.__notes__[0].startswith("1 NaN value, the first at position 1 (index label 'x'), inside")
    assert info.value.__notes__[0].endswith("(s.dropna() drops them)")
