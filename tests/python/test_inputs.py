"""Which forms of `data` are accepted, what the computation sees, and that the
caller's data is left untouched."""
import array
import pickle
import sys

import numpy as np
import pytest

from conftest import UNACCEPTED, VALUES, EscancianoLobato, SequenceToNumpy, ToNumpy, outcome

class LyingSequence:
    """A sequence whose len raises or lies; iteration tells the truth."""

    def __init__(self, values, length):
        self.values, self.length = values, length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.values[i]

    def __iter__(self):
        return iter(self.values)


class Reading:
    """Something with __float__."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Masked(np.ndarray):
    pass


def strided():
    base = np.empty(2 * len(VALUES))
    base[::2] = VALUES
    return base[::2]


def reversed_view():
    return np.array(VALUES[::-1])[::-1]


def fortran():
    return np.asfortranarray(np.array(VALUES))


def read_only():
    a = np.array(VALUES)
    a.setflags(write=False)
    return a


def big_endian():
    return np.array(VALUES, dtype=">f8")


ACCEPTED = [
    pytest.param(lambda: np.array(VALUES), VALUES, id="float64-array"),
    pytest.param(read_only, VALUES, id="read-only-array"),
    pytest.param(fortran, VALUES, id="f-contiguous"),
    pytest.param(lambda: np.array(VALUES).view(Masked), VALUES, id="ndarray-subclass"),
    pytest.param(lambda: np.ma.masked_array(VALUES), VALUES, id="masked-array-without-mask"),
    pytest.param(lambda: np.ma.masked_array(VALUES, mask=False), VALUES, id="masked-array-nothing-masked"),
    pytest.param(strided, VALUES, id="strided-view"),
    pytest.param(reversed_view, VALUES, id="reversed-view"),
    pytest.param(big_endian, VALUES, id="big-endian"),
    pytest.param(lambda: np.array(VALUES, dtype=np.float32), [float(np.float32(v)) for v in VALUES], id="float32"),
    pytest.param(lambda: np.arange(16, dtype=np.int64) % 5, [float(i % 5) for i in range(16)], id="int-array"),
    pytest.param(lambda: list(VALUES), VALUES, id="list"),
    pytest.param(lambda: tuple(VALUES), VALUES, id="tuple"),
    pytest.param(lambda: [i % 4 for i in range(16)], [float(i % 4) for i in range(16)], id="list-of-ints"),
    pytest.param(lambda: [i % 3 == 0 for i in range(16)], [float(i % 3 == 0) for i in range(16)], id="list-of-bools"),
    pytest.param(lambda: [Reading(v) for v in VALUES], VALUES, id="objects-with-float"),
    pytest.param(lambda: [np.float32(v) for v in VALUES], [float(np.float32(v)) for v in VALUES], id="numpy-scalars"),
    pytest.param(lambda: bytes([3, 1, 4, 1, 5, 9, 2, 6, 5, 3]), [3.0, 1, 4, 1, 5, 9, 2, 6, 5, 3], id="bytes"),
    pytest.param(lambda: array.array("d", VALUES), VALUES, id="array-module"),
    pytest.param(lambda: range(1, 20, 2), [float(v) for v in range(1, 20, 2)], id="range"),
    pytest.param(lambda: [-1.0, 2.0, -1.0, 3.0, 0.5], [-1.0, 2.0, -1.0, 3.0, 0.5], id="minus-one-is-a-value"),
    pytest.param(lambda: ToNumpy(result=np.array(VALUES)), VALUES, id="to_numpy-array"),
    pytest.param(lambda: SequenceToNumpy(result=np.array(VALUES), sequence=[9.0] * 16), VALUES,
                 id="to_numpy-wins-over-sequence"),
    pytest.param(lambda: SequenceToNumpy(error=TypeError("no"), sequence=VALUES), VALUES, id="to_numpy-raises"),
    pytest.param(lambda: SequenceToNumpy(result="junk", sequence=VALUES), VALUES, id="to_numpy-returns-junk"),
    pytest.param(lambda: SequenceToNumpy(result=np.array(VALUES)[::2], sequence=VALUES), VALUES,
                 id="to_numpy-returns-strided"),
    pytest.param(lambda: LyingSequence(VALUES, 3), VALUES, id="len-too-short"),
    pytest.param(lambda: LyingSequence(VALUES, 10**6), VALUES, id="len-too-long"),
    pytest.param(lambda: LyingSequence(VALUES, 2**40), VALUES, id="len-unallocatable"),
    pytest.param(lambda: LyingSequence(VALUES, 2**62), VALUES, id="len-beyond-byte-range"),
    pytest.param(lambda: LyingSequence(VALUES, RuntimeError("len")), VALUES, id="len-raises"),
]


@pytest.mark.parametrize("make, expected", ACCEPTED)
def test_accepted_inputs_read_the_right_values(make, expected):
    data = make()
    before = pickle.dumps(data) if not isinstance(data, (ToNumpy, LyingSequence)) else None
    want = outcome(EscancianoLobato(np.array(expected, dtype=np.float64), d=3))
    assert outcome(EscancianoLobato(data, d=3)) == want
    if before is not None:
        assert pickle.dumps(data) == before


REFUSED = [
    pytest.param(lambda: "1.0 2.0 3.0", id="str"),
    pytest.param(lambda: ["1.0", "2.0", "3.0"], id="numeric-strings"),
    pytest.param(lambda: [1.0, None, 3.0], id="none-item"),
    pytest.param(lambda: None, id="none"),
    pytest.param(lambda: {1: 1.0, 2: 2.0}, id="dict"),
    pytest.param(lambda: {1.0, 2.0}, id="set"),
    pytest.param(lambda: (v for v in [1.0, 2.0]), id="generator"),
    pytest.param(lambda: 3.5, id="plain-number"),
    pytest.param(lambda: [1.0, 2**1024], id="int-too-large-for-float"),
    pytest.param(lambda: [1.0, complex(1, 2)], id="complex-item"),
    pytest.param(lambda: np.array([[1.0, 2.0], [3.0, 4.0]]), id="2d-rows-of-two"),
    pytest.param(lambda: np.array(["a", "b"]), id="str-array"),
    pytest.param(lambda: ToNumpy(result=np.array(VALUES)[::2]), id="to_numpy-strided-not-a-sequence"),
    pytest.param(lambda: ToNumpy(error=ValueError("no")), id="to_numpy-raises-not-a-sequence"),
    pytest.param(lambda: LyingSequence([1.0, "x"], 2), id="bad-item-late"),
    pytest.param(lambda: [Reading("not a float")], id="float-returns-junk"),
]


@pytest.mark.parametrize("make", REFUSED)
def test_refused_inputs(make):
    data = make()
    try:
        before = None if isinstance(data, ToNumpy) else pickle.dumps(data)
    except (TypeError, pickle.PicklingError):
        before = None
    with pytest.raises(TypeError) as info:
        EscancianoLobato(data)
    assert type(info.value) is TypeError
    assert info.value.args == (UNACCEPTED,)
    assert info.value.__cause__ is None
    assert info.value.__context__ is None
    if before is not None:
        assert pickle.dumps(data) == before


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_2d_array_rows_are_items():
    # Each row is one item; whether a one-element row converts to a float is
    # NumPy's decision (NumPy 1.x warns and converts, 2.x refuses).
    column = np.array(VALUES).reshape(-1, 1)
    try:
        got = outcome(EscancianoLobato(column, d=3))
    except TypeError as e:
        assert e.args == (UNACCEPTED,)
    else:
        assert got == outcome(EscancianoLobato(np.array(VALUES), d=3))


def test_to_numpy_called_with_false_only():
    obj = ToNumpy(result=np.array(VALUES), record=True)
    EscancianoLobato(obj)
    assert obj.calls == [((False,), {})]


def test_iteration_stops_at_first_bad_item():
    fetched = []

    class Counting:
        def __len__(self):
            return 5

        def __getitem__(self, i):
            if i >= 5:
                raise IndexError
            fetched.append(i)
            return [1.0, "x", 3.0, 4.0, 5.0][i]

    with pytest.raises(TypeError):
        EscancianoLobato(Counting())
    assert fetched == [0, 1]


def test_sequence_raising_mid_iteration_is_refused():
    class Broken:
        def __len__(self):
            return 3

        def __getitem__(self, i):
            if i == 1:
                raise RuntimeError("boom")
            return 1.0

    with pytest.raises(TypeError, match="^expected a 1-D"):
        EscancianoLobato(Broken())


INF, NAN = float("inf"), float("nan")


@pytest.mark.parametrize("values, message", [
    ([1.0, NAN, 2.0], "data must not contain NaN values"),
    ([1.0, INF, 2.0, 3.0], "data must not contain infinite values"),
    ([-INF, 1.0, 2.0, 3.0], "data must not contain infinite values"),
    ([INF, -INF, 2.0, 3.0], "data must not contain infinite values"),
    # a NaN wins, wherever it stands: every case that raised before raises as before
    ([INF, 1.0, NAN], "data must not contain NaN values"),
    ([NAN, -INF, 1.0], "data must not contain NaN values"),
])
@pytest.mark.parametrize("form", [list, np.array, lambda v: np.array(v, dtype=np.float32)], ids=["list", "array", "f32"])
def test_nan_and_infinities_are_refused(values, message, form):
    with pytest.raises(ValueError) as info:
        EscancianoLobato(form(values), d=1)
    assert info.value.args == (message,)


def test_finite_values_whose_sum_overflows_are_accepted():
    big = 1.7976931348623157e308
    r = EscancianoLobato([big, big, -big, 0.5 * big, -big, big, 0.25 * big])
    assert r.p_tilde >= 0


class Interrupting:
    """An item whose conversion raises `error`."""

    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


class RaisingSequence:
    """A sequence whose len, iteration or item fetch raises `error` (where == that step)."""

    def __init__(self, error, where):
        self.error, self.where = error, where

    def __len__(self):
        if self.where == "len":
            raise self.error
        return 3

    def __getitem__(self, i):
        if self.where == "getitem" and i == 1:
            raise self.error
        if i >= 3:
            raise IndexError
        return 1.0 + i


STOPPING = [KeyboardInterrupt(), SystemExit(3), MemoryError("no room")]
WAYS = {
    "list-item": lambda e: [1.0, 2.0, Interrupting(e), 4.0],
    "tuple-item": lambda e: (1.0, Interrupting(e)),
    "iterated-item": lambda e: LyingSequence([1.0, Interrupting(e)], 2),
    "fetching-item": lambda e: RaisingSequence(e, "getitem"),
    "length-query": lambda e: RaisingSequence(e, "len"),
    "to_numpy": lambda e: SequenceToNumpy(error=e, sequence=VALUES),
}


@pytest.mark.parametrize("error", STOPPING, ids=lambda e: type(e).__name__)
@pytest.mark.parametrize("way", WAYS)
def test_interrupts_and_memory_errors_propagate(way, error):
    # Ctrl-C, exit and exhausted memory while the data are read stop the
    # construction with that very exception, not the TypeError of a misfit
    with pytest.raises(type(error)) as info:
        EscancianoLobato(WAYS[way](error))
    assert info.value is error


@pytest.mark.parametrize("error", [RuntimeError("x"), ValueError("x"), ArithmeticError("x"), LookupError("x")],
                         ids=lambda e: type(e).__name__)
def test_other_item_errors_still_refuse_the_data(error):
    with pytest.raises(TypeError) as info:
        EscancianoLobato([1.0, Interrupting(error)])
    assert info.value.args == (UNACCEPTED,)


def test_array_is_read_in_place(series):
    # A view whose memory is the caller's: modifying it between two runs shows
    # in the result, so no private copy was kept.
    data = np.array(series)
    first = outcome(EscancianoLobato(data))
    data[3] += 1.0
    assert outcome(EscancianoLobato(data)) != first


class Mutating:
    """An item whose conversion changes the list being read."""

    def __init__(self, target, action):
        self.target, self.action = target, action

    def __float__(self):
        self.action(self.target)
        return 0.5


@pytest.mark.parametrize(
    "action",
    [lambda l: l.clear(), lambda l: l.append(9.0), lambda l: l.__setitem__(slice(3, None), [])],
    ids=["clear", "append", "truncate"],
)
def test_list_mutated_while_read_behaves_as_its_iterator(action):
    def make(kind):
        data = kind([1.0, 2.0, 4.0, 3.0, 7.0, 5.0, 6.0, 8.0])
        data.insert(2, Mutating(data, action))
        return data

    class ListSubclass(list):  # read through its iterator
        pass

    fast, slow = make(list), make(ListSubclass)
    try:
        expected = outcome(EscancianoLobato(slow, d=1))
    except ValueError as e:  # the list may end up too short
        with pytest.raises(ValueError, match=str(e)):
            EscancianoLobato(fast, d=1)
    else:
        assert outcome(EscancianoLobato(fast, d=1)) == expected


def test_item_dropped_by_the_list_during_its_own_conversion_stays_alive():
    data = []

    class Dropper:
        def __float__(self):
            data.clear()  # the list's reference to this very item goes
            self.payload = [0.0] * 1000  # would land in freed memory
            return 2.5

    data.extend([1.0, Dropper(), 3.0])
    # read: 1.0, then 2.5; then the list is empty and reading stops
    assert outcome(EscancianoLobato(data, d=1)) == outcome(EscancianoLobato(np.array([1.0, 2.5]), d=1))


class IterReversed(np.ndarray):
    def __iter__(self):
        return iter(np.asarray(self)[::-1].tolist())


def test_non_contiguous_subclass_is_iterated_not_read_from_memory():
    base = np.arange(20.0) ** 1.5
    view = base[::2].view(IterReversed)
    assert outcome(EscancianoLobato(view, d=2)) == outcome(EscancianoLobato(base[::2][::-1].copy(), d=2))


@pytest.mark.parametrize("offset", [1, 3, 4])
@pytest.mark.parametrize("kind", ["plain", "subclass", "memmap"])
def test_unaligned_arrays_are_copied_not_read_in_place(tmp_path, offset, kind):
    # An array unpickled from a network frame can start at any byte.
    values = np.array(VALUES)
    if kind == "memmap":
        path = tmp_path / "series.bin"
        path.write_bytes(b"\0" * offset + values.tobytes())
        data = np.memmap(path, dtype=np.float64, mode="r", offset=offset, shape=values.shape)
    else:
        raw = np.zeros(values.nbytes + offset, dtype=np.uint8)
        data = raw[offset:].view(np.float64)
        data[:] = values
        if kind == "subclass":
            data = data.view(Masked)
    assert data.ctypes.data % 8 != 0 and data.flags.c_contiguous
    assert outcome(EscancianoLobato(data, d=3)) == outcome(EscancianoLobato(values, d=3))


class Opaque:
    pass


NOTES = [
    pytest.param(lambda pd: pd.DataFrame({"a": VALUES, "b": VALUES, "c": VALUES}),
                 "got a pandas DataFrame with 3 columns: pass one column, e.g. df['x']", id="data-frame"),
    # (NumPy 1.x still reads the one-element rows of a (250, 1) array as numbers)
    pytest.param(lambda pd: np.ones((250, 2)), "got an array of shape (250, 2): use .ravel(), or pass one column, "
                 "e.g. a[:, 0]", id="two-column-array"),
    pytest.param(lambda pd: np.zeros((2, 3, 4), dtype=np.int32), "got an array of shape (2, 3, 4): use .ravel(), or "
                 "pass one column, e.g. a[:, 0]", id="3-d-array"),
    pytest.param(lambda pd: np.array(2.5), "got a 0-d array: pass a 1-D array of values", id="0-d-array"),
    pytest.param(lambda pd: VALUES[:17] + [None],
                 "1 missing value (None), the first at position 16, at the start or end of the series: drop it, "
                 "e.g. [v for v in data if v is not None]", id="none"),
    pytest.param(lambda pd: [None, 1.0, None, 2.0, 3.0, None],
                 "3 missing values (None), the first at position 0, 1 inside the series: dropping it joins values "
                 "that were not adjacent and changes what lag 1 means; test the stretches between gaps separately, or "
                 "fill the gaps if that suits the data ([v for v in data if v is not None] drops them)", id="nones"),
    pytest.param(lambda pd: pd.Series([1.0, 2.0, pd.NA, 4.0], dtype=object, index=list("abcd")),
                 "1 missing value (<NA>), the first at position 2 (index label 'c'), inside the series: dropping it "
                 "joins values that were not adjacent and changes what lag 1 means; test the stretches between gaps "
                 "separately, or fill the gaps if that suits the data (s.dropna() drops them)", id="pd-na"),
    pytest.param(lambda pd: pd.array([1.5, 2.5, None], dtype="Float64"),
                 "1 missing value (<NA>), the first at position 2, at the start or end of the series: drop it, "
                 "e.g. s.dropna()", id="nullable-array"),
    pytest.param(lambda pd: [1.0, 2.0, 3.0, "4.5"],
                 "item 3 is a str ('4.5'): text is not parsed; convert it first, e.g. pd.to_numeric(s)", id="str-item"),
    pytest.param(lambda pd: [1.0, 2**1024], "item 1 is an int too large for a float64", id="huge-int"),
    pytest.param(lambda pd: [1.0, 2j], "item 1 is a complex number (2j): pass its real part or its magnitude, "
                 "e.g. [v.real for v in x] or [abs(v) for v in x]", id="complex"),
    pytest.param(lambda pd: [[1.0, 2.0], [3.0, 4.0]],
                 "item 0 is a list: the data must be one series of numbers; flatten it first", id="nested"),
    pytest.param(lambda pd: [1.0, Opaque()], "item 1 is an Opaque, which float() does not accept", id="object"),
    pytest.param(lambda pd: "1 2 3", "got a str: text is not parsed; convert it to numbers first", id="str"),
    pytest.param(lambda pd: {"a": 1.0}, "got a dict, which is not a sequence: pass its values, e.g. "
                 "list(d.values())", id="dict"),
    pytest.param(lambda pd: (v for v in VALUES), "got a generator, which is not a sequence: collect it first, "
                 "e.g. list(it)", id="generator"),
    pytest.param(lambda pd: 4.5, "got a float, which is not a sequence: pass a list, a tuple, a 1-D array or a Series",
                 id="number"),
    pytest.param(lambda pd: LyingSequence(RaisingSequence(RuntimeError("x"), "getitem"), 3),
                 "reading item 1 raised an exception (the cause above): pass the values as a list, an array or a "
                 "Series", id="raising-sequence"),
]


@pytest.mark.skipif(sys.version_info < (3, 11), reason="exception notes came with Python 3.11")
@pytest.mark.parametrize("make, note", NOTES)
def test_unaccepted_data_gets_a_note(make, note):
    pd = pytest.importorskip("pandas")
    with pytest.raises(TypeError) as info:
        EscancianoLobato(make(pd))
    # the message stays the one fixed text; the note says what was given
    assert info.value.args == (UNACCEPTED,)
    assert info.value.__notes__ == [note]
    # an exception that stopped the reading is chained, not lost
    if "raised" in note:
        assert isinstance(info.value.__cause__, RuntimeError)
