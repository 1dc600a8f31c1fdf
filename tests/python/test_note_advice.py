"""Notes that are true of the data, and whose advice, followed as written,
gets past the refusal."""
import sys
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

from conftest import EscancianoLobato

pytestmark = pytest.mark.skipif(sys.version_info < (3, 11), reason="exception notes came with Python 3.11")

BIG = 2**62  # integers 1 apart that float64 holds as one value


def refusal(data, kind=Exception, **kwargs):
    with pytest.raises(kind) as info:
        EscancianoLobato(data, **kwargs)
    return info.value.__notes__[0]


@pytest.mark.parametrize(
    "data, note, followed",
    [
        # real numbers that offer __complex__ too are not called complex
        ([Fraction(10**400), Fraction(3 * 10**400), Fraction(2 * 10**400), Fraction(5 * 10**400)],
         "item 0 is a Fraction (Fraction(1000000000000000000000000000...) too large for a float64: bring every value "
         "into float64's range first, e.g. divide all of them by the same power of ten",
         lambda x: [v / 10**400 for v in x]),
        ([Decimal("sNaN"), Decimal(1), Decimal(3), Decimal(2), Decimal(5)],
         "item 0 is a decimal.Decimal (Decimal('sNaN')), which float() refuses (cannot convert signaling NaN to "
         "float): drop it or replace it first",
         lambda x: [v for v in x if not v.is_nan()]),
        # a list has no .real: the advice is one a list takes
        ([1 + 0j, 3 + 0j, 2 + 0j, 5 + 0j],
         "item 0 is a complex number ((1+0j)): pass its real part or its magnitude, e.g. [v.real for v in x] or "
         "[abs(v) for v in x]",
         lambda x: [v.real for v in x]),
    ],
    ids=["huge-fraction", "signalling-nan", "complex-list"],
)
def test_item_notes(data, note, followed):
    assert refusal(data, TypeError) == note
    EscancianoLobato(followed(data), d=1)


@pytest.mark.parametrize(
    "make, advice",
    [
        (lambda: np.array([BIG, BIG + 1, BIG + 3, BIG + 2, BIG + 7], dtype=np.int64), lambda x: x - x.min()),
        (lambda: np.array([2**64 - 1, 2**64 - 5, 2**64 - 2, 2**64 - 9], dtype=np.uint64), lambda x: x - x.min()),
        (lambda: [BIG, BIG + 1, BIG + 3, BIG + 2, BIG + 7], lambda x: [v - min(x) for v in x]),
        (lambda: pytest.importorskip("pandas").Series([BIG, BIG + 1, BIG + 3, BIG + 2]), lambda x: x - x.min()),
    ],
    ids=["int64", "uint64", "list", "series"],
)
def test_integers_that_float64_made_equal_say_so(make, advice):
    data = make()
    note = refusal(data, OSError, d=1)
    assert note.startswith(f"the integers given differ, but as float64 all {len(data)} of them are ")
    assert "float64 holds integers exactly only up to 2**53" in note
    EscancianoLobato(advice(data), d=1)


def test_a_constant_is_still_a_constant():
    assert refusal(np.full(6, 7), OSError) == "all 6 values are 7.0: a constant series has no autocorrelation to measure"


def test_the_mean_in_the_note_is_the_exact_one():
    # every other value is the exact mean; (0.83, 2.28, 3.73) is answered
    # instead, as the exact mean of those floats is not 2.28
    assert refusal([0.5, 2.25, 4.0, 2.25, 0.5, 2.25, 4.0], OSError, d=1) == (
        "every pair of values 1 apart holds one equal to the mean (2.25), so the robust variance at lag 1 is zero")


@pytest.mark.parametrize("gap", [float("nan"), None], ids=["nan", "null"])
def test_pyarrow_nan_advice_drops_the_gap(gap):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.compute as pc  # the advice's own spelling

    a = pa.array([1.0, 3.0, gap, 2.0, 5.0, 4.0, 7.0, float("nan")])
    advice = "pc.filter(a, pc.invert(pc.is_nan(a)))"
    assert refusal(a, ValueError).endswith(f"({advice} drops them)")
    EscancianoLobato(pc.filter(a, pc.invert(pc.is_nan(a))), d=1)


def test_a_subclass_of_a_polars_series_gets_polars_verbs():
    pl = pytest.importorskip("polars")

    class Prices(pl.Series):
        pass

    note = refusal(Prices([1.0, None, 2.0, 3.0, 5.0]), TypeError)
    assert note.endswith("(s.drop_nulls() drops them)")
