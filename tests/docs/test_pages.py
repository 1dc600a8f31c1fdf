"""The site's pages as programs: every session shown with its output runs and
prints what the page says, and the API page says what the module holds and
raises, so that neither can drift from the module."""
from __future__ import annotations

import doctest
import inspect
import re
import warnings
from pathlib import Path

import pytest

from zorvane import statistical_tests

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
PAGES = sorted(p for p in DOCS.rglob("*.md") if "_build" not in p.parts)
FENCE = re.compile(r"^```(\w+)[^\n]*\n(.*?)^```$", re.M | re.S)
EL = statistical_tests.EscancianoLobato


def fenced(page: Path, language: str) -> list[str]:
    return [body for lang, body in FENCE.findall(page.read_text(encoding="utf-8")) if lang == language]


SESSIONS = [page for page in PAGES if fenced(page, "pycon")]


def test_the_pages_show_sessions():
    shown = {p.relative_to(DOCS).as_posix() for p in SESSIONS}
    assert {"index.md", "getting-started.md", "guide/inputs.md", "guide/reading.md", "api.md"} - shown <= {"api.md"}


@pytest.mark.parametrize("page", SESSIONS, ids=lambda p: p.relative_to(DOCS).as_posix())
def test_every_session_prints_what_the_page_shows(page, monkeypatch):
    """The sessions of one page run in order in one namespace, from the
    project's root, as a reader would type them."""
    monkeypatch.chdir(ROOT)
    parser, globs = doctest.DocTestParser(), {"__name__": "__main__"}
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    for number, body in enumerate(fenced(page, "pycon")):
        test = parser.get_doctest(body, globs, f"{page.name}[{number}]", str(page), 0)
        assert test.examples, f"session {number} of {page.name} shows no example"
        with warnings.catch_warnings():
            warnings.simplefilter("default")
            runner.run(test, clear_globs=False)
        globs = test.globs  # a test runs in a copy of what it was given
    assert runner.failures == 0, f"{runner.failures} of the examples of {page.name} print something else"


# --- the API page ------------------------------------------------------------

API = (DOCS / "api.md").read_text(encoding="utf-8")


def directive(kind: str, name: str) -> str:
    match = re.search(r"^```\{" + kind + r"\} " + re.escape(name) + r"(.*?)^```$", API, re.M | re.S)
    assert match, f"the API page has no {kind} {name}"
    return match.group(1)


def test_the_signature_is_the_classes():
    assert directive("py:class", "EscancianoLobato").startswith(str(inspect.signature(EL)) + "\n")


def test_the_class_docstring_is_quoted_as_it_stands():
    quoted = API.split("The class's own docstring, as `help()` shows it:", 1)[1]
    block = FENCE.search(quoted).group(2)
    # editors strip trailing blanks; the docstring's third line ends in two
    assert [line.rstrip() for line in block.splitlines()] == [line.rstrip() for line in EL.__doc__.splitlines()]


@pytest.mark.parametrize("name", ["p_tilde", "statistic", "pvalue"])
def test_each_property_and_its_docstring(name):
    body = directive("py:property", "EscancianoLobato." + name)
    assert f":type: {type(getattr(EL([1.0, 2.0, 4.0]), name)).__name__}\n" in body
    assert f"Docstring: `{getattr(EL, name).__doc__}`" in body
    documented = set(re.findall(r"\{py:property\} EscancianoLobato\.(\w+)", API))
    assert documented == {n for n, v in vars(EL).items() if isinstance(v, type(EL.pvalue))}


def exception_rows() -> list[tuple[str, str, str]]:
    """Each documented exception: `Class`: `message`, then when, with an example call."""
    listed = API.split("## Exceptions", 1)[1].split("A warning, not an exception:", 1)[0]
    rows = []
    for exception, message, when in re.findall(r"^`(\w+)`: `(.*)`\n: (.*(?:\n  .*)*)", listed, re.M):
        example = re.search(r"`(EscancianoLobato\(.*?\))`", when)
        assert example, f"the entry of {message!r} gives no example"
        rows.append((exception, message, example.group(1)))
    assert len(rows) == listed.count("\n: ")
    return rows


ROWS = exception_rows()
TEN = [0.1, -0.4, 0.3, 0.9, -1.2, 0.5, 0.2, -0.8, 0.7, -0.1]


def raised(call) -> BaseException:
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(BaseException) as caught:
            call()
    return caught.value


@pytest.mark.parametrize("exception, message, example", ROWS, ids=[r[1][:40] for r in ROWS])
def test_each_documented_exception_is_raised_by_its_example(exception, message, example):
    error = raised(lambda: eval(example, {"EscancianoLobato": EL, "x": TEN}))
    assert (type(error).__name__, str(error)) == (exception, message)


# One call of each kind of misuse: each must be in the table, so that an
# exception the module gains cannot go undocumented.
MISUSES = {
    "positional": lambda: EL(TEN, 2.4, 2, 4),
    "twice": lambda: EL(TEN, 2.4, q=1.0),
    "keyword": lambda: EL(data=TEN),
    "no data": lambda: EL(),
    "q type": lambda: EL(TEN, q="2"),
    "d type": lambda: EL(TEN, d=2.0),
    "d negative": lambda: EL(TEN, d=-1),
    "d huge": lambda: EL(TEN, d=2**64),
    "q huge": lambda: EL(TEN, q=10**400),
    "q zero": lambda: EL(TEN, q=0.0),
    "q NaN": lambda: EL(TEN, q=float("nan")),
    "text": lambda: EL("1, 2, 3"),
    "dict": lambda: EL({"a": 1.0}),
    "generator": lambda: EL(v for v in TEN),
    "None": lambda: EL([1.0, None, 2.0]),
    "empty": lambda: EL([]),
    "NaN": lambda: EL([1.0, float("nan"), 2.0]),
    "infinity": lambda: EL([1.0, float("-inf"), 2.0]),
    "d zero": lambda: EL(TEN, d=0),
    "d above n": lambda: EL(TEN, d=11),
    "constant": lambda: EL([3.0] * 10),
}


@pytest.mark.parametrize("call", MISUSES.values(), ids=MISUSES.keys())
def test_each_misuse_is_in_the_table(call):
    error = raised(call)
    assert (type(error).__name__, str(error)) in {(e, m) for e, m, _ in ROWS}


def test_the_warning_is_documented():
    with pytest.warns(RuntimeWarning, match="at least half the series length"):
        EL(TEN, d=5)
    assert "`RuntimeWarning`\n: `d` is given and is at least n/2" in API


# --- the README, which points into the pages ---------------------------------

def slug(heading: str) -> str:
    """The anchor GitHub and MyST give a heading."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def test_the_readme_links_to_pages_and_headings_that_exist():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    links = re.findall(r"\]\(([^)\s]+)\)", readme)
    assert len(links) >= 10
    for link in links:
        if re.match(r"\w+://", link):
            continue
        path, _, anchor = link.partition("#")
        target = ROOT / path
        assert target.is_file(), link
        if anchor:
            headings = re.findall(r"^#+ (.+)$", target.read_text(encoding="utf-8"), re.M)
            assert anchor in {slug(h) for h in headings}, link
