"""Other libraries' containers (pandas on every dtype backend, polars,
pyarrow, xarray) and Python's buffers are read from their memory: every
result, exception and note must be what the conversion through Python gives,
that is to_numpy(False) where it returns a conforming array, else iteration."""
import array
import re
import sys
import threading

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import EscancianoLobato, Iterated, outcome, run_python, snapshot
from test_properties import check, is_conforming_array



def optional(name, probe):
    """The library, if it is installed (polars has no free-threaded wheels)
    and works here (xarray asks psutil, which needs /proc)."""
    try:
        module = __import__(name)
        probe(module)
        return module
    except Exception:  # noqa: BLE001 - whatever stops it, the tests of it are left out
        return None


# Python's own buffers (array.array, memoryview, bytes) need none of them
pd = optional("pandas", lambda pd: pd.Series([1.0]))
pa = optional("pyarrow", lambda pa: pa.array([1.0]))
pl = optional("polars", lambda pl: pl.Series([1.0, 2.0]).__arrow_c_stream__())
xr = optional("xarray", lambda xr: xr.DataArray(np.arange(3.0)).isel(dim_0=0))

NUMBERS = ["float64", "float32", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64", "bool"]
MASKED = {"float64": "Float64", "float32": "Float32", "bool": "boolean",
          **{t: t.capitalize().replace("Uint", "UInt") for t in NUMBERS if "int" in t}}


# What a note says of the data itself: which item, how many, where. The rest
# (an index label, the library's own way to drop values) depends on the
# container, which reading it through Python replaces.
WHERE = re.compile(r"^(item \d+ is [^:(]*|\d+ [A-Za-z ]+ values?(?: \([^)]*\))?, the first at position \d+)")


def verdict(data, **kwargs):
    try:
        return ("ok", outcome(EscancianoLobato(data, **kwargs)))
    except (ValueError, TypeError, OSError) as e:
        notes = [m.group(1) if (m := WHERE.match(note)) else note for note in getattr(e, "__notes__", [])]
        return (type(e).__name__, str(e), notes)


def through_python(data, **kwargs):
    """The conversion as the module made it before it read containers' memory."""
    to_numpy = getattr(data, "to_numpy", None)
    if to_numpy is not None:
        try:
            candidate = to_numpy(False)
        except Exception:  # noqa: BLE001 - the form does not fit
            candidate = None
        if is_conforming_array(candidate):
            return verdict(candidate, **kwargs)
    return verdict(Iterated(data), **kwargs)


def assert_as_through_python(data, **kwargs):
    before = snapshot(data)
    assert verdict(data, **kwargs) == through_python(data, **kwargs)
    assert snapshot(data) == before


def numbers(dtype, rng, n):
    if dtype == "bool":
        return rng.random(n) < 0.5
    if np.dtype(dtype).kind in "iu":
        info = np.iinfo(dtype)
        raw = rng.integers(info.min, info.max, size=n, dtype=dtype, endpoint=True)
        raw[: min(n, 2)] = [info.max, info.min][: min(n, 2)]  # beyond 2**53 they round
        return raw
    return (rng.standard_normal(n) * 50).astype(dtype)


def with_missing(values, missing):
    return [None if i in missing else v for i, v in enumerate(values.tolist())]


def arrow_chunks(values, dtype, missing, splits, type_=None):
    """A ChunkedArray split at `splits` (empty chunks where they repeat)."""
    type_ = type_ or pa.from_numpy_dtype(np.dtype(dtype))
    items = with_missing(values, missing)
    bounds = [0, *sorted(splits), len(items)]
    return pa.chunked_array([pa.array(items[a:b], type=type_) for a, b in zip(bounds, bounds[1:])], type=type_)


# --- one maker per kind of container: (values, dtype, missing positions, chunk
# splits, leading values to slice off) -> container --------------------------

def pandas_numpy(v, dtype, missing, splits, skip):
    return pd.Series(v).iloc[skip:]


def pandas_masked(v, dtype, missing, splits, skip):
    return pd.Series(pd.array(with_missing(v, missing), dtype=MASKED[dtype])).iloc[skip:]


def pandas_arrow(v, dtype, missing, splits, skip):
    return pd.Series(pd.arrays.ArrowExtensionArray(arrow_chunks(v, dtype, missing, splits))).iloc[skip:]


def pyarrow_array(v, dtype, missing, splits, skip):
    return pa.array(with_missing(v, missing), type=pa.from_numpy_dtype(np.dtype(dtype))).slice(skip)


def pyarrow_chunked(v, dtype, missing, splits, skip):
    return arrow_chunks(v, dtype, missing, splits).slice(skip)


def polars_series(v, dtype, missing, splits, skip):
    kind = {"bool": pl.Boolean, "float64": pl.Float64, "float32": pl.Float32}.get(dtype) or getattr(
        pl, dtype.capitalize().replace("Uint", "UInt"))
    items = with_missing(v, missing)
    bounds = [0, *sorted(splits), len(items)]
    parts = [pl.Series(items[a:b], dtype=kind) for a, b in zip(bounds, bounds[1:])]
    return pl.concat(parts, rechunk=False).slice(skip)


def xarray_data_array(v, dtype, missing, splits, skip):
    return xr.DataArray(v[skip:] if not splits else np.repeat(v, 2)[::2][skip:])


def python_array(v, dtype, missing, splits, skip):
    codes = {"float64": "d", "float32": "f", "int8": "b", "uint8": "B", "int16": "h", "uint16": "H", "int32": "i",
             "uint32": "I", "int64": "q", "uint64": "Q", "bool": "B"}
    return array.array(codes[dtype], v.astype(np.uint8) if dtype == "bool" else v)[skip:]


def memory_view(v, dtype, missing, splits, skip):
    view = memoryview(np.repeat(v, 2)[::2] if splits else v)  # strided, or contiguous
    return view[::-1] if skip % 2 else view[skip:]


MAKERS = {f.__name__: f for f in [python_array, memory_view]}
if pd is not None:
    MAKERS.update({f.__name__: f for f in [pandas_numpy, pandas_masked]})
if pa is not None:
    MAKERS.update({f.__name__: f for f in [pyarrow_array, pyarrow_chunked]})
if pd is not None and pa is not None:
    MAKERS["pandas_arrow"] = pandas_arrow
if pl is not None:
    MAKERS["polars_series"] = polars_series
if xr is not None:
    MAKERS["xarray_data_array"] = xarray_data_array


def available(kinds):
    return [kind for kind in kinds if kind in MAKERS]


needs_pandas_and_pyarrow = pytest.mark.skipif(pd is None or pa is None, reason="needs pandas and pyarrow")


@st.composite
def containers(draw):
    kind = draw(st.sampled_from(sorted(MAKERS)))
    dtype = draw(st.sampled_from(NUMBERS))
    n = draw(st.sampled_from([0, 1, 2, 3, 8, 40, 300]))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    values = numbers(dtype, rng, n)
    missing = set(draw(st.sets(st.sampled_from([0, n // 2, n - 1]), max_size=3))) if n else set()
    splits = draw(st.lists(st.integers(0, n), max_size=3))
    skip = draw(st.integers(0, min(n, 3)))
    return kind, dtype, values, missing, splits, skip


@given(containers(), st.sampled_from([None, 1, 3]))
def test_every_container_as_through_python(case, d):
    kind, dtype, values, missing, splits, skip = case
    data = MAKERS[kind](values, dtype, missing, splits, skip)
    assert_as_through_python(data, d=d)
    check(lambda: MAKERS[kind](values, dtype, missing, splits, skip), d=d)  # and as the documented rules say


@pytest.mark.parametrize("kind", sorted(MAKERS))
@pytest.mark.parametrize("dtype", NUMBERS)
def test_sliced_and_chunked_containers_of_every_dtype(kind, dtype):
    values = numbers(dtype, np.random.default_rng(len(kind)), 40)
    assert_as_through_python(MAKERS[kind](values, dtype, set(), [0, 7, 7, 40], 3))  # empty chunks, an offset
    assert_as_through_python(MAKERS[kind](values, dtype, set(), [], 1), d=4)


@pytest.mark.parametrize("kind", available(["pandas_arrow", "pyarrow_array", "pyarrow_chunked", "polars_series",
                                             "pandas_masked"]))
@pytest.mark.parametrize("where", ["first", "middle", "last"])
@pytest.mark.parametrize("dtype", ["float64", "float32", "int64", "uint8", "bool"])
def test_a_missing_value_is_named_where_it_is(kind, where, dtype):
    n = 50
    at = {"first": 0, "middle": 25, "last": n - 1}[where]
    values = numbers(dtype, np.random.default_rng(5), n)
    assert_as_through_python(MAKERS[kind](values, dtype, {at}, [10, 10, 30], 0))


@pytest.mark.parametrize("kind", available(["pandas_arrow", "pyarrow_array", "pyarrow_chunked", "polars_series",
                                             "pandas_masked"]))
@pytest.mark.parametrize("at, skip", [(64, 0), (127, 0), (128, 0), (200, 0), (191, 67), (75, 70), (299, 131)])
@pytest.mark.parametrize("dtype", ["float64", "int32", "bool"])
def test_a_missing_value_past_the_first_words_of_the_bitmap(kind, at, skip, dtype):
    # the validity bitmap is scanned 64 values at a time: a null in a later
    # word, and a slice that starts inside a word, put it off the word's start
    n = 300
    values = numbers(dtype, np.random.default_rng(at), n)
    data = MAKERS[kind](values, dtype, {at}, [100, 100, 250], skip)
    assert_as_through_python(data)
    _, message, notes = verdict(data)
    if notes and "BooleanScalar" not in notes[0]:  # pyarrow's booleans are no numbers to float()
        assert re.match(rf"^(item {at - skip} |1 (NaN|missing) value( \([^)]*\))?, the first at position {at - skip}$)",
                        notes[0]), notes


@pytest.mark.parametrize("special", [np.nan, np.inf, -np.inf, -0.0])
@pytest.mark.parametrize("kind", sorted(set(MAKERS) - {"pandas_numpy", "pandas_masked"}))
def test_special_values_pass_as_stored(kind, special):
    values = np.array([0.5, -1.0, 2.0, special, 1.5, 0.25, 3.0])
    assert_as_through_python(MAKERS[kind](values, "float64", set(), [2], 0))


def others():
    """Types that no reader takes: their iteration decides, as before."""
    if pd is not None and pa is not None:
        yield from arrow_others()
    yield array.array("w" if sys.version_info >= (3, 13) else "u", "abc")  # "u" goes in 3.16
    yield memoryview(b"abcdef").cast("c")
    yield memoryview(np.arange(6.0).reshape(2, 3))
    yield memoryview(np.arange(6.0).astype(">f8"))
    yield memoryview(np.arange(6.0)).cast("B").cast("d", (6,))
    yield b"\x01\x02\x07\x03"
    yield bytearray(b"\x01\x02\x07\x03")


def arrow_others():
    import datetime
    import decimal
    yield pd.Series(["1.5", "2"], dtype="string[pyarrow]")
    yield pd.Series([decimal.Decimal("1.5"), decimal.Decimal("2.25")], dtype=pd.ArrowDtype(pa.decimal128(5, 2)))
    yield pd.Series([datetime.datetime(2001, 1, 1)] * 3, dtype=pd.ArrowDtype(pa.timestamp("s")))
    yield pd.Series(pa.array([1.5, 2.5, 1.5]).dictionary_encode(), dtype=pd.ArrowDtype(pa.dictionary(pa.int8(),
                                                                                                        pa.float64())))
    yield pa.array([1.5, 2.0, 3.0], type=pa.float16())
    yield pa.array([True, False, True])
    yield pa.array([1.5, 2.0, 3.0]).dictionary_encode()
    yield pa.array(["1", "2"])
    yield pa.chunked_array([[True, False]])
    if hasattr(pa, "bool8"):  # an extension type over int8 storage: its own values, not its storage's
        yield pa.chunked_array([pa.array([1, 0, 1, 1], type=pa.bool8())])
        if int(pd.__version__.split(".")[0]) >= 3:  # pandas 2 cannot handle the dtype
            yield pd.Series(pa.array([1, 0, 1, 1], type=pa.bool8()), dtype=pd.ArrowDtype(pa.bool8()))


@pytest.mark.parametrize("data", list(others()), ids=lambda d: type(d).__name__)
def test_other_types_as_through_python(data):
    assert_as_through_python(data)


def test_containers_that_customise_iteration_are_iterated():
    class HalvedArray(array.array):
        def __iter__(self):
            return (x / 2 for x in super().__iter__())

    data = HalvedArray("d", [0.3, -1.2, 2.5, 0.7, -0.4, 1.9, -2.2])
    assert verdict(data) == verdict(np.array(list(data)))


@pytest.mark.skipif(pl is None or xr is None or pd is None, reason="needs polars, xarray and pandas")
def test_polars_and_xarray_variants():
    import datetime
    import decimal
    for data in [
        pl.Series([1.5, 2.0, 3.0], dtype=pl.Decimal(10, 2)),
        pl.Series(["a", "b"]),
        pl.Series([datetime.date(2001, 1, 1)] * 3),
        pl.Series(["1.5", "2.5"], dtype=pl.Categorical),
        xr.DataArray(np.arange(12.0).reshape(12, 1)),
        xr.DataArray(pd.date_range("2001", periods=5)),
        xr.DataArray(np.arange(5.0), coords={"x": np.arange(5)}, dims="x").x,
    ]:
        assert verdict(data)[:2] == through_python(data)[:2]  # a 2-D DataArray's note is its own


def test_memory_read_in_place_outlives_the_construction():
    """The arrays made over another library's memory keep it alive only while
    they are used: nothing of it stays referenced afterwards."""
    import gc
    values = np.random.default_rng(3).standard_normal(500)
    buffer = array.array("d", values)
    arrow = [pa.chunked_array([values]), pa.array(values)] if pa is not None else []
    for data in [*arrow, buffer, memoryview(values)]:
        count = sys.getrefcount(data)
        EscancianoLobato(data)
        gc.collect()
        assert sys.getrefcount(data) == count
    buffer.append(1.0)  # no export left behind, or this would raise BufferError


def owning_classes(kind):
    """The classes whose methods the conversion through Python would call."""
    return {"pandas_numpy": [pd and pd.Series], "pandas_masked": [pd and pd.Series],
            "pandas_arrow": [pd and pd.Series], "polars_series": [pl and pl.Series],
            "xarray_data_array": [xr and xr.DataArray]}[kind]


@pytest.mark.thread_unsafe  # patches the containers' classes
@pytest.mark.parametrize("kind", available(["pandas_numpy", "pandas_masked", "pandas_arrow", "polars_series",
                                            "xarray_data_array"]))
@pytest.mark.parametrize("dtype", ["float64", "float32", "int32", "uint64", "bool"])
@pytest.mark.parametrize("missing", [set(), {7}], ids=["complete", "a missing value"])
def test_each_fast_path_is_the_one_taken(kind, dtype, missing, monkeypatch):
    """With every method of the conversion through Python made to fail, the
    container is still read, to the same verdict: its memory was read
    directly, not through to_numpy, __array__ or iteration."""
    if kind in ("pandas_numpy", "xarray_data_array") and missing:
        pytest.skip("NumPy-backed: no missing values")
    data = MAKERS[kind](numbers(dtype, np.random.default_rng(5), 200), dtype, missing, [50], 2)
    expected = verdict(data)

    def through_python_ran(*args, **kwargs):
        raise AssertionError("the conversion through Python ran")

    for cls in owning_classes(kind):
        for name in ("to_numpy", "__array__", "__iter__", "tolist", "__getitem__"):
            if hasattr(cls, name):
                monkeypatch.setattr(cls, name, through_python_ran)
    assert verdict(data) == expected


@pytest.mark.thread_unsafe  # patches pandas' Series
@pytest.mark.skipif(pd is None, reason="needs pandas")
@pytest.mark.parametrize("dtype", ["Float64", "float64", "int32"])
def test_a_plain_series_subclass_is_read_from_memory(dtype, monkeypatch):
    """A Series subclass that redefines none of its access is read as the
    Series is: from memory, with the conversion through Python made to fail."""
    class Prices(pd.Series):
        @property
        def _constructor(self):
            return Prices

    values = numbers(dtype.lower(), np.random.default_rng(6), 200)
    data = Prices(values, dtype=dtype)
    expected = verdict(pd.Series(values, dtype=dtype))

    def through_python_ran(*args, **kwargs):
        raise AssertionError("the conversion through Python ran")

    for name in ("to_numpy", "__array__", "__iter__", "tolist", "__getitem__"):
        monkeypatch.setattr(pd.Series, name, through_python_ran)
    assert verdict(data) == expected


@pytest.mark.thread_unsafe  # pyarrow's memory pool is the whole process's
@pytest.mark.parametrize("kind", available(["pandas_arrow", "pyarrow_array", "pyarrow_chunked"]))
@pytest.mark.parametrize("dtype, missing", [("float64", set()), ("float64", {150}), ("int32", set()), ("bool", set())])
@pytest.mark.parametrize("splits", [[], [100, 200]], ids=["one chunk", "three chunks"])
def test_arrow_memory_is_all_released_after_constructions(kind, dtype, missing, splits):
    """Every Arrow chunk the constructions export is released: pyarrow's pool
    holds no byte more once the container is gone (reference counts alone do
    not see a chunk whose release callback never ran)."""
    import gc
    values = numbers(dtype, np.random.default_rng(4), 300)

    def constructions():
        data = MAKERS[kind](values, dtype, missing, splits, 3)
        for _ in range(20):
            try:
                EscancianoLobato(data)
            except (ValueError, TypeError):  # refusals (a null, Arrow's booleans) export and release chunks too
                pass
        del data
        gc.collect()

    constructions()  # what pandas or pyarrow set up once, on first use
    start = pa.total_allocated_bytes()
    constructions()
    assert pa.total_allocated_bytes() == start


@pytest.mark.skipif(pa is None, reason="needs pyarrow")
@pytest.mark.parametrize("dtype", ["int64", "uint16", "float64"])
def test_chunked_arrow_numbers_are_read_without_a_converted_copy(dtype):
    """A ChunkedArray of numbers is read from the chunks it exports: pyarrow's
    pool never holds the column converted to one array (its to_numpy would
    concatenate the chunks there)."""
    proc = run_python(f"""
        import numpy as np, pyarrow as pa
        from zorvane import statistical_tests
        values = (np.arange(200_000) % 1000).astype("{dtype}")
        data = pa.chunked_array([values[:100_000], values[100_000:]])
        pool = pa.default_memory_pool()
        before = pool.max_memory()
        statistical_tests.EscancianoLobato(data)
        print(pool.max_memory() - before)
        """)
    assert proc.returncode == 0, proc.stderr
    assert int(proc.stdout) < 100_000, proc.stdout  # the values are 200,000 items of 2 bytes or more


def test_shared_containers_from_four_threads():
    rng = np.random.default_rng(8)
    values = rng.standard_normal(3000)
    shared = [array.array("d", values), memoryview(values.astype(np.float32))]
    if pd is not None and pa is not None:
        shared += [pd.Series(values, dtype="float64[pyarrow]"), pd.Series(values, dtype="Float64"),
                   pa.chunked_array([values[:1000], values[1000:]]), pd.Series(values.astype(np.int32), dtype="Int32")]
    shared += [pl.Series(values)] if pl is not None else []
    expected = [verdict(x) for x in shared]
    failures = []
    barrier = threading.Barrier(4)

    def worker(i):
        barrier.wait()
        for _ in range(20):
            for k, x in enumerate(shared):
                got = verdict(x)
                if got != expected[k]:
                    failures.append((i, k, got))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


@pytest.mark.parametrize(
    "make, note",
    [
        (lambda: pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, 4.0]}),
         "got a pandas DataFrame with 2 columns: pass one column, e.g. df['x']"),
        (lambda: pl.DataFrame({"a": [1.0, 2.0], "b": [3.0, 4.0]}),
         "got a polars DataFrame with 2 columns: pass one column, e.g. df['x'] or df.get_column('x')"),
        pytest.param(lambda: pa.table({"a": [1.0, 2.0]}),
                     "got a pyarrow Table with 1 column: pass one column, e.g. table['x'] or table.column('x')",
                     marks=needs_pandas_and_pyarrow),
        pytest.param(lambda: pa.record_batch({"a": [1.0, 2.0], "b": [1, 2]}),
                     "got a pyarrow RecordBatch with 2 columns: pass one column, e.g. batch['x'] or batch.column('x')",
                     marks=needs_pandas_and_pyarrow),
        (lambda: xr.Dataset({"a": ("t", [1.0, 2.0]), "b": ("t", [3.0, 4.0])}),
         "got an xarray Dataset with 2 data variables: pass one variable, e.g. ds['x']"),
        (lambda: xr.DataArray(np.zeros((3, 4)), dims=("time", "asset")),
         "got an xarray DataArray of shape (3, 4): select one series, e.g. da.isel(asset=0)"),
        pytest.param(lambda: pd.Series([None, 1.5, None, 2.5], dtype="float64[pyarrow]"),
                     "2 missing values (<NA>), the first at position 0, 1 inside the series: dropping it joins "
                     "values that were not adjacent and changes what lag 1 means; test the stretches between gaps "
                     "separately, or fill the gaps if that suits the data (s.dropna() drops them)",
                     marks=needs_pandas_and_pyarrow),
        (lambda: pl.Series([1.5, 2.5, None]),
         "1 missing value (None), the first at position 2, at the start or end of the series: drop it, "
         "e.g. s.drop_nulls()"),
        pytest.param(lambda: pa.array([1.5, None, 2.5, None], type=pa.float32()),
                     "2 missing values (<pyarrow.FloatScalar: None>), the first at position 1, 1 inside the series: "
                     "dropping it joins values that were not adjacent and changes what lag 1 means; test the "
                     "stretches between gaps separately, or fill the gaps if that suits the data (pc.drop_null(a) "
                     "drops them)", marks=needs_pandas_and_pyarrow),
    ],
)
def test_notes_name_the_library_and_the_way_to_one_series(make, note):
    try:
        data = make()
    except AttributeError:  # polars or xarray not installed here
        pytest.skip("needs polars and xarray")
    with pytest.raises(TypeError) as caught:
        EscancianoLobato(data)
    assert getattr(caught.value, "__notes__", [note]) == [note]
