"""Argument binding, conversion of q and d, the order of the checks, and
every message compared whole."""
import math

import numpy as np
import pytest

from conftest import EscancianoLobato, bits, outcome

X = np.array([0.3, -1.2, 2.5, 0.7, -0.4, 1.9, -2.2, 0.1, 1.4, -0.8, 0.6, 2.1])
NEW = "EscancianoLobato.__new__()"


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((X,), {}),
        ((X, 2.4, None), {}),
        ((X,), {"q": None, "d": None}),
        ((), {"raw_data": X}),
        ((X, 2.4), {"d": None}),
        ((X,), {"q": 2.4}),
    ],
)
def test_equivalent_calls(args, kwargs):
    assert outcome(EscancianoLobato(*args, **kwargs)) == outcome(EscancianoLobato(X))


BINDING_ERRORS = [
    ((X,), {"data": X}, f"{NEW} got an unexpected keyword argument 'data'"),
    ((), {"data": X}, f"{NEW} got an unexpected keyword argument 'data'"),
    ((), {}, f"{NEW} missing 1 required positional argument: 'raw_data'"),
    ((), {"q": 2.0}, f"{NEW} missing 1 required positional argument: 'raw_data'"),
    ((X, 2.0, 3, 4), {}, f"{NEW} takes from 1 to 3 positional arguments but 4 were given"),
    # the count is checked before any keyword is looked at
    ((X, 2.0, 3, 4, 5), {"bogus": 1}, f"{NEW} takes from 1 to 3 positional arguments but 5 were given"),
    ((X, 2.0), {"q": 3.0}, f"{NEW} got multiple values for argument 'q'"),
    ((X,), {"raw_data": X}, f"{NEW} got multiple values for argument 'raw_data'"),
    ((X, 2.0, 3), {"d": 3}, f"{NEW} got multiple values for argument 'd'"),
    ((X,), {"\udc80": 1}, f"{NEW} got an unexpected keyword argument '\udc80'"),
    ((X,), {"Q": 1}, f"{NEW} got an unexpected keyword argument 'Q'"),
]


# A call of the type and an explicit __new__ reach the constructor by two
# routes (the arguments as they lie on the stack, or as a tuple and a dict):
# both bind alike.
ROUTES = {
    "call": EscancianoLobato,
    "__new__": lambda *args, **kwargs: EscancianoLobato.__new__(EscancianoLobato, *args, **kwargs),
}


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("args, kwargs, message", BINDING_ERRORS)
def test_binding_errors(route, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        ROUTES[route](*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


@pytest.mark.parametrize("route", ROUTES)
def test_first_offending_keyword_decides(route):
    with pytest.raises(TypeError) as info:
        ROUTES[route](X, **{"zz": 1, "q": 1.0, "aa": 2})
    assert info.value.args == (f"{NEW} got an unexpected keyword argument 'zz'",)


@pytest.mark.parametrize("args, kwargs", [((X,), {}), ((X, 1.0), {"d": 3}), ((), {"raw_data": X, "q": 9.0})])
def test_both_routes_give_the_same_result(args, kwargs):
    assert outcome(ROUTES["__new__"](*args, **kwargs)) == outcome(EscancianoLobato(*args, **kwargs))


VALUE_ERRORS = [
    ({"q": 0.0}, "q must be positive"),
    ({"q": -0.0}, "q must be positive"),
    ({"q": -1}, "q must be positive"),
    ({"q": float("nan")}, "q must be positive"),
    ({"q": -math.inf}, "q must be positive"),
    ({"d": 0}, "d must be positive"),
    ({"d": False}, "d must be positive"),
    ({"d": np.uint8(0)}, "d must be positive"),
    ({"d": len(X) + 1}, "d must not be larger than the length of data"),
    ({"d": 2**64 - 1}, "d must not be larger than the length of data"),
]


@pytest.mark.parametrize("kwargs, message", VALUE_ERRORS)
def test_value_errors(kwargs, message):
    with pytest.raises(ValueError) as info:
        EscancianoLobato(X, **kwargs)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)


@pytest.mark.parametrize(
    "kwargs, exception, message",
    [
        ({"q": "2.4"}, TypeError, "argument 'q': must be real number, not str"),
        ({"q": [2.4]}, TypeError, "argument 'q': must be real number, not list"),
        ({"d": 2.0}, TypeError, "argument 'd': 'float' object cannot be interpreted as an integer"),
        ({"d": "3"}, TypeError, "argument 'd': 'str' object cannot be interpreted as an integer"),
        ({"d": -1}, OverflowError, "can't convert negative int to unsigned"),
        ({"d": 2**64}, OverflowError, "int too big to convert"),
        ({"q": 10**400}, OverflowError, "int too large to convert to float"),
        # d's conversion runs before q's check
        ({"q": -1, "d": -1}, OverflowError, "can't convert negative int to unsigned"),
        ({"q": 0, "d": 2.0}, TypeError, "argument 'd': 'float' object cannot be interpreted as an integer"),
    ],
)
def test_conversion_errors(kwargs, exception, message):
    with pytest.raises(exception) as info:
        EscancianoLobato(X, **kwargs)
    assert type(info.value) is exception
    assert info.value.args == (message,)


def test_conversion_type_error_keeps_its_cause():
    cause = KeyError("inner")

    class BadFloat:
        def __float__(self):
            raise TypeError("no float for you") from cause

    with pytest.raises(TypeError) as info:
        EscancianoLobato(X, q=BadFloat())
    assert info.value.args == ("argument 'q': no float for you",)
    assert info.value.__cause__ is cause


def test_other_conversion_exceptions_pass_unchanged():
    error = ZeroDivisionError("from __index__")

    class BadIndex:
        def __index__(self):
            raise error

    with pytest.raises(ZeroDivisionError) as info:
        EscancianoLobato(X, d=BadIndex())
    assert info.value is error


@pytest.mark.parametrize(
    "data, kwargs, exception, message",
    [
        # q is checked before the data is looked at
        ("not data", {"q": 0}, ValueError, "q must be positive"),
        # emptiness and NaN before d's zero check
        ([], {"d": 0}, ValueError, "data must not be empty"),
        (np.array([]), {}, ValueError, "data must not be empty"),
        ([1.0, float("nan"), 2.0], {"d": 0}, ValueError, "data must not contain NaN values"),
        (np.array([1.0, 2.0, -np.nan]), {}, ValueError, "data must not contain NaN values"),
        ([5.0] * 10, {}, OSError, "Zero \u03c4\u0302 value at lag 1"),
        ([1.0] * 10, {"d": 3}, OSError, "Zero \u03c4\u0302 value at lag 1"),
        # a zero variance up to lag n is reported before the refusal of d > n
        ([2.0] * 4, {"d": 2**64 - 1}, OSError, "Zero \u03c4\u0302 value at lag 1"),
        ([0.0, 1.0, -1.0, 0.0, 0.0, 0.0, 0.0], {"d": 5}, OSError, "Zero \u03c4\u0302 value at lag 2"),
    ],
)
def test_order_of_checks(data, kwargs, exception, message):
    with pytest.raises(exception) as info:
        EscancianoLobato(data, **kwargs)
    assert type(info.value) is exception
    assert info.value.args == (message,)


def test_zero_variance_message_bytes():
    with pytest.raises(OSError) as info:
        EscancianoLobato([3.0] * 12)
    assert str(info.value).encode() == b"Zero \xcf\x84\xcc\x82 value at lag 1"
    assert info.value.errno is None


@pytest.mark.parametrize(
    "kwargs, same_as",
    [
        ({"q": 1}, {"q": 1.0}),
        ({"q": np.float64(0.7)}, {"q": 0.7}),
        ({"q": np.float32(0.5)}, {"q": 0.5}),
        ({"d": True}, {"d": 1}),
        ({"d": np.int64(3)}, {"d": 3}),
        ({"d": np.uint64(2)}, {"d": 2}),
        ({"q": math.inf}, {"q": math.inf}),
        ({"q": 1e-300}, {"q": 1e-300}),
    ],
)
def test_accepted_argument_types(kwargs, same_as):
    assert outcome(EscancianoLobato(X, **kwargs)) == outcome(EscancianoLobato(X, **same_as))


@pytest.mark.parametrize("n, d", [(1, 1), (2, 1), (31, 1), (32, 2), (242, 2), (243, 3), (3125, 5), (161051, 11)])
def test_default_d(n, d):
    x = np.sin(np.arange(n) * 1.7) + 0.001 * np.arange(n)
    if n == 1:
        x = np.array([0.5])
    assert outcome(EscancianoLobato(x)) == outcome(EscancianoLobato(x, d=d))


def test_reference_numbers():
    x = list(range(1, 11))
    r = EscancianoLobato(x, d=1)
    h = float.fromhex
    assert (r.p_tilde, bits(r.statistic), bits(r.pvalue)) == (1, bits(h("0x1.5d80e865ac7b9p+2")), bits(h("0x1.3e98bb92d6cep-6")))
    r = EscancianoLobato(x, d=2)
    assert (r.p_tilde, bits(r.statistic), bits(r.pvalue)) == (2, bits(h("0x1.42b8430becc4fp+3")), bits(h("0x1.87db7f081c4p-10")))
    r = EscancianoLobato([4.25])  # no lag selected: a statistic of +0.0
    assert (r.p_tilde, bits(r.statistic), r.pvalue) == (0, bits(0.0), 1.0)
    assert type(r.p_tilde) is int and type(r.statistic) is float and type(r.pvalue) is float
