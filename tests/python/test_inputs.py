"""Which forms of `data` are accepted, what the computation sees, and that the
caller's data is left untouched."""
import array
import pickle

import numpy as np
import pytest

from conftest import EscancianoLobato, outcome

VALUES = [0.3, -1.2, 2.5, 0.7, -0.4, 1.9, -2.2, 0.1, 1.4, -0.8, 0.6, 2.1, -1.7, 0.05, 1.1, -0.3]
UNACCEPTED = "expected a 1-D numpy.ndarray, pandas.Series, or sequence of float64"


class ToNumpy:
    """Duck-typed object with a to_numpy method."""

    def __init__(self, result=None, error=None, sequence=None):
        self.result, self.error, self.sequence = result, error, sequence
        self.calls = []

    def to_numpy(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error is not None:
            raise self.error
        return self.result


class SequenceToNumpy(ToNumpy):
    def __len__(self):
        return len(self.sequence)

    def __getitem__(self, i):
        return self.sequence[i]


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
    pytest.param(lambda: np.ma.masked_array(VALUES, mask=[i % 3 == 0 for i in range(len(VALUES))]), VALUES,
                 id="masked-array-mask-ignored"),
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
    pytest.param(lambda: SequenceToNumpy(error=KeyboardInterrupt(), sequence=VALUES), VALUES,
                 id="to_numpy-raises-base-exception"),
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
    obj = ToNumpy(result=np.array(VALUES))
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


def test_nan_and_infinities_pass_conversion():
    with pytest.raises(ValueError, match="^data must not contain NaN values$"):
        EscancianoLobato([1.0, float("nan"), 2.0])
    r = EscancianoLobato([1.0, float("inf"), 2.0, 3.0])
    assert (r.p_tilde, r.pvalue) == (0, 1.0)


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
