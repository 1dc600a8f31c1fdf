"""The module tree, the type's surface and the once-per-process rule."""
import inspect
import sys

import pytest

import zorvane
from conftest import FREE_THREADED, GIL_FORCED, run_python
from zorvane import statistical_tests

EscancianoLobato = statistical_tests.EscancianoLobato

CLASS_DOC = (
    "Result of the Escanciano\u2013Lobato heteroscedasticity proxy \\(EL\\) test.\n"
    "\n"
    "Returned by [`statistical_tests.escanciano_lobato`].  \n"
    "The statistic is asymptotically \u03c7\u00b2(1) under the null."
)


def test_module_tree():
    assert zorvane.__all__ == ["statistical_tests"]
    assert zorvane.__doc__ == ""
    assert statistical_tests.__all__ == ["EscancianoLobato"]
    assert statistical_tests.__name__ == "statistical_tests"
    assert statistical_tests.__doc__ is None
    assert type(statistical_tests) is type(zorvane)
    own = {name for name in vars(zorvane) if not name.startswith("__")}
    assert own == {"statistical_tests"}
    assert {n for n in vars(statistical_tests) if not n.startswith("__")} == {"EscancianoLobato"}


def test_submodule_is_not_importable_by_dotted_name():
    assert "statistical_tests" not in sys.modules
    assert "zorvane.statistical_tests" not in sys.modules
    with pytest.raises(ImportError):
        __import__("zorvane.statistical_tests")


def test_class_names_docs_and_signature():
    assert EscancianoLobato.__name__ == "EscancianoLobato"
    assert EscancianoLobato.__qualname__ == "EscancianoLobato"
    assert EscancianoLobato.__module__ == "builtins"
    assert EscancianoLobato.__doc__ == CLASS_DOC
    assert EscancianoLobato.__text_signature__ == "(data, /, q=2.4, d=None)"
    assert str(inspect.signature(EscancianoLobato)) == "(data, /, q=2.4, d=None)"
    assert EscancianoLobato.__base__ is object
    assert EscancianoLobato.__bases__ == (object,)


@pytest.mark.parametrize(
    "name, doc",
    [
        ("p_tilde", "The selected lag \\(p\\) that maximizes the penalized statistic."),
        ("statistic", "The EL test statistic."),
        ("pvalue", "The p-value of the EL test."),
    ],
)
def test_properties_are_documented_and_read_only(name, doc):
    prop = vars(EscancianoLobato)[name]
    assert prop.__doc__ == doc
    result = EscancianoLobato([1.0, 3.0, 2.0, 5.0, 4.0])
    with pytest.raises(AttributeError):
        setattr(result, name, 1)
    with pytest.raises(AttributeError):
        delattr(result, name)


def test_class_has_nothing_else():
    own = set(vars(EscancianoLobato)) - {"__doc__", "__new__", "__module__"}
    assert own == {"p_tilde", "statistic", "pvalue"}


def test_result_is_immutable(series):
    r = EscancianoLobato(series)
    before = (r.p_tilde, r.statistic, r.pvalue)
    with pytest.raises(AttributeError):
        r.pvalue = 0.5
    with pytest.raises(AttributeError):
        del r.statistic
    with pytest.raises(AttributeError):
        r.p_tilde = 3
    with pytest.raises(AttributeError):
        r.extra = 1
    assert not hasattr(r, "__dict__")
    for _ in range(100):
        assert (r.p_tilde, r.statistic, r.pvalue) == before


def test_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("S", (EscancianoLobato,), {})


def test_equality_and_hash_by_identity(series):
    a = EscancianoLobato(series)
    b = EscancianoLobato(series)
    assert (a.p_tilde, a.statistic, a.pvalue) == (b.p_tilde, b.statistic, b.pvalue)
    assert a != b
    # no comparison or hash of its own: equal only to itself, as object() is
    assert EscancianoLobato.__eq__ is object.__eq__ and EscancianoLobato.__hash__ is object.__hash__
    assert hash(a) != hash(b) or a is b
    assert "EscancianoLobato object at 0x" in repr(a)  # object's default representation


def test_getter_refuses_foreign_objects():
    with pytest.raises(TypeError):
        vars(EscancianoLobato)["pvalue"].__get__(object())


def test_second_initialisation_raises_import_error_and_first_module_keeps_working():
    proc = run_python(
        """
        import importlib, sys
        import zorvane
        first = zorvane
        del sys.modules["zorvane"]
        try:
            import zorvane
        except ImportError as e:
            print("ImportError:", e)
        else:
            print("imported twice")
        try:
            importlib.reload(first)
        except ImportError:
            print("reload refused")
        r = first.statistical_tests.EscancianoLobato([1.0, 3.0, 2.0, 5.0, 4.0, 6.0])
        print(r.p_tilde >= 0)
        """
    )
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0].startswith("ImportError:")
    assert "only once per interpreter process" in lines[0]
    assert lines[1:] == ["reload refused", "True"]


def test_numpy_is_not_imported_at_import_time():
    proc = run_python(
        """
        import sys
        import zorvane
        print("numpy" in sys.modules)
        zorvane.statistical_tests.EscancianoLobato([1.0, 3.0, 2.0, 5.0])
        print("numpy" in sys.modules)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["False", "True"]


@pytest.mark.skipif(not FREE_THREADED or GIL_FORCED, reason="needs a free-threaded CPython running without its lock")
def test_import_leaves_the_interpreter_lock_off():
    assert not sys._is_gil_enabled()  # this process imported the module long ago
    proc = run_python(
        """
        import sys, warnings
        warnings.simplefilter("error")
        import zorvane
        r = zorvane.statistical_tests.EscancianoLobato([1.0, 3.0, 2.0, 5.0, 4.0])
        print(sys._is_gil_enabled(), r.p_tilde)
        """
    )
    assert (proc.returncode, proc.stderr, proc.stdout) == (0, "", "False 1\n")
