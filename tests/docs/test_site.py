"""Every page of the built site in a real browser: what a reader behind a
firewall, on a phone or in dark mode meets."""
from __future__ import annotations

import re
from dataclasses import dataclass, field
from pathlib import Path
from urllib.parse import urldefrag, urljoin, urlsplit

import pytest

from conftest import SITE

PAGES = sorted(p.relative_to(SITE).as_posix() for p in SITE.rglob("*.html") if not p.relative_to(SITE).parts[0].startswith("_"))
DESKTOP = {"width": 1280, "height": 900}
PHONE = {"width": 375, "height": 812}


@dataclass
class Visit:
    """What loading one page did: its requests, their failures, the console's
    errors, and then what the page holds."""
    requests: list[str] = field(default_factory=list)
    failures: list[str] = field(default_factory=list)
    errors: list[str] = field(default_factory=list)
    links: list[str] = field(default_factory=list)
    ids: set[str] = field(default_factory=set)
    images: list[tuple[str, int]] = field(default_factory=list)
    text: str = ""
    formulas: list[tuple[float, int]] = field(default_factory=list)


def wait_for_formulas(page) -> None:
    """MathJax typesets after the load event: wait until its queue is empty."""
    page.wait_for_function("""() => !window.MathJax ||
        (window.MathJax.Hub && window.MathJax.Hub.queue && window.MathJax.Hub.queue.pending === 0 &&
         !window.MathJax.Hub.queue.running &&
         document.querySelectorAll('.math').length === document.querySelectorAll('.math .MathJax_CHTML').length)""",
                           timeout=20_000)


def open_page(context, url: str, visit: Visit | None = None):
    page = context.new_page()
    if visit is not None:
        page.on("request", lambda r: visit.requests.append(r.url))
        page.on("requestfailed", lambda r: visit.failures.append(f"{r.url}: {r.failure}"))
        page.on("response", lambda r: r.status >= 400 and visit.failures.append(f"{r.url}: HTTP {r.status}"))
        page.on("console", lambda m: m.type == "error" and visit.errors.append(m.text))
        page.on("pageerror", lambda e: visit.errors.append(str(e)))
    page.goto(url, wait_until="networkidle")
    wait_for_formulas(page)
    return page


@pytest.fixture(scope="module")
def visits(browser, site) -> dict[str, Visit]:
    """Every page, loaded once at desktop width."""
    context = browser.new_context(viewport=DESKTOP)
    found = {}
    for name in PAGES:
        visit = Visit()
        page = open_page(context, site + name, visit)
        page.evaluate("() => Promise.all([...document.images].map(i => { i.loading = 'eager'; return i.decode().catch(() => null); }))")
        visit.links = page.eval_on_selector_all("a[href]", "els => els.map(a => a.href)")
        visit.ids = set(page.eval_on_selector_all("[id], a[name]", "els => els.map(e => e.id || e.name)"))
        visit.images = page.eval_on_selector_all("img", "els => els.map(i => [i.currentSrc || i.src, i.naturalWidth])")
        visit.text = page.evaluate(READER_TEXT)
        visit.formulas = page.eval_on_selector_all(".math", FORMULAS)
        found[name] = visit
        page.close()
    context.close()
    return found


@pytest.mark.parametrize("name", PAGES)
def test_page_loads_cleanly_and_only_from_the_local_server(visits, site, name):
    visit = visits[name]
    assert not visit.errors, visit.errors
    assert not visit.failures, visit.failures
    local = urlsplit(site).netloc
    elsewhere = [u for u in visit.requests if urlsplit(u).scheme not in ("data", "blob") and urlsplit(u).netloc != local]
    assert not elsewhere, elsewhere


@pytest.mark.parametrize("name", PAGES)
def test_every_image_has_loaded(visits, name):
    assert all(width > 0 for _, width in visits[name].images), visits[name].images


def test_every_internal_link_and_anchor_resolves(visits, site):
    broken = []
    for name, visit in visits.items():
        for link in visit.links:
            if not link.startswith(site):
                continue
            target, anchor = urldefrag(link)
            path = target[len(site):] or "index.html"
            if path.endswith("/"):
                path += "index.html"
            if not (SITE / path).is_file():
                broken.append(f"{name}: {link}")
            elif anchor and path.endswith(".html") and anchor not in visits[path].ids:
                broken.append(f"{name}: {link} (no #{anchor})")
    assert not broken, broken


def test_the_pages_link_to_each_other(visits, site):
    """Every page is reached from another: none is left out of the navigation."""
    reached = {urldefrag(link)[0][len(site):] for v in visits.values() for link in v.links if link.startswith(site)}
    assert set(PAGES) - reached <= {"genindex.html", "search.html", "index.html"}


@pytest.mark.parametrize("term, expected", [
    ("p_tilde", "api.html"),
    ("heteroscedasticity", "guide/what-it-answers.html"),
    ("DuckDB", "examples/duckdb.html"),
])
def test_search_finds_each_term_on_its_page(browser, site, term, expected):
    context = browser.new_context(viewport=DESKTOP)
    page = open_page(context, f"{site}search.html?q={term}")
    page.wait_for_function("() => /Search finished|found/.test(document.querySelector('#search-results')?.innerText || '')",
                           timeout=20_000)
    found = {urldefrag(href)[0][len(site):] for href in page.eval_on_selector_all("#search-results a", "els => els.map(a => a.href)")}
    context.close()
    assert expected in found, found


RAW_TEX = re.compile(r"\\\(|\\\)|\\\[|\\\]|\$\$|\\(frac|sum|sqrt|begin|hat|tilde|rho|lfloor|text|max)\b")
# what a reader sees, code aside (the API page quotes a docstring with TeX-like escapes in code)
READER_TEXT = """() => { const main = document.querySelector('main').cloneNode(true);
    main.querySelectorAll('pre, code, script, .MathJax_CHTML, .MJX_Assistive_MathML').forEach(e => e.remove());
    return main.innerText; }"""
# each formula's typeset width, and its errors
FORMULAS = """els => els.map(e => [e.querySelector('.MathJax_CHTML')?.getBoundingClientRect().width || 0,
    e.querySelectorAll('.merror, .MathJax_Error').length])"""


@pytest.mark.parametrize("name", PAGES)
def test_formulas_are_typeset_and_no_tex_is_left(visits, name):
    visit = visits[name]
    assert not RAW_TEX.search(visit.text), RAW_TEX.search(visit.text)
    assert all(width > 0 and not errors for width, errors in visit.formulas), visit.formulas


def test_the_guide_shows_formulas(visits):
    assert len(visits["guide/what-it-answers.html"].formulas) >= 10


def copied_without_prompts(code: str) -> str:
    """What a reader should get from a session: the lines typed, not the
    prompts, not the output."""
    typed = [re.sub(r"^(>>> |\.\.\. |\$ )", "", line) for line in code.splitlines() if re.match(r"(>>> |\.\.\. |\$ )", line)]
    return "\n".join(typed) if typed else code


@pytest.mark.parametrize("name", ["getting-started.html", "api.html", "guide/inputs.html"])
def test_copy_buttons_copy_the_code_without_prompts(browser, site, name):
    context = browser.new_context(viewport=DESKTOP, permissions=["clipboard-read", "clipboard-write"])
    page = open_page(context, site + name)
    blocks = page.query_selector_all("div.highlight")
    assert blocks
    for block in blocks:
        button = block.query_selector("button.copybtn")
        assert button, block.inner_text()[:80]
        code = block.query_selector("pre").inner_text()
        block.hover()
        button.click()
        copied = page.evaluate("navigator.clipboard.readText()")
        assert copied.rstrip("\n") == copied_without_prompts(code).rstrip("\n")
        assert not re.search(r"^(>>>|\.\.\.|\$) ", copied, re.M)
    context.close()


OUTSIDE = """() => {
  // boxes meant to scroll sideways on their own: code, tables, display formulas
  const own = 'pre, .highlight, .pst-scrollable-table-container, .table-wrapper, .math, .MathJax_Display, .MathJax_CHTML';
  return [...document.querySelectorAll('main, main *')].filter(e => {
      const style = getComputedStyle(e);
      return ['auto', 'scroll'].includes(style.overflowX) && e.scrollWidth > e.clientWidth + 1 && !e.matches(own) && !e.closest(own);
  }).slice(0, 5).map(e => e.tagName + '.' + e.className + ': ' + (e.innerText || '').slice(0, 60));
}"""


@pytest.mark.parametrize("name", PAGES)
def test_no_page_scrolls_sideways_on_a_phone(browser, site, name):
    """Nor does the article scroll, or cut, what runs past its edge: only
    code, tables and formulas sit in boxes of their own that scroll."""
    context = browser.new_context(viewport=PHONE, is_mobile=True, has_touch=True)
    page = open_page(context, site + name)
    width = page.evaluate("[document.documentElement.scrollWidth, document.documentElement.clientWidth]")
    outside = page.evaluate(OUTSIDE)
    context.close()
    assert width[0] <= width[1], width
    assert not outside, outside


CONTRAST = """() => {
  const rgb = s => (s.match(/[\\d.]+/g) || []).map(Number);
  const luminance = ([r, g, b]) => [r, g, b].map(c => { c /= 255; return c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4; })
      .reduce((sum, c, i) => sum + c * [0.2126, 0.7152, 0.0722][i], 0);
  const background = e => { for (; e; e = e.parentElement) { const c = rgb(getComputedStyle(e).backgroundColor);
      if (c.length === 3 || c[3] > 0) return c.slice(0, 3); } return [255, 255, 255]; };
  return [...document.querySelectorAll('main article p, main article li')].filter(e => e.innerText.trim()).map(e => {
      const a = luminance(rgb(getComputedStyle(e).color).slice(0, 3)), b = luminance(background(e));
      return [(Math.max(a, b) + 0.05) / (Math.min(a, b) + 0.05), e.innerText.slice(0, 40)]; });
}"""


@pytest.mark.parametrize("scheme", ["light", "dark"])
@pytest.mark.parametrize("name", ["index.html", "getting-started.html", "api.html", "tutorial.html"])
def test_body_text_keeps_its_contrast(browser, site, scheme, name):
    context = browser.new_context(viewport=DESKTOP, color_scheme=scheme)
    page = open_page(context, site + name)
    assert page.evaluate("document.documentElement.dataset.theme") == scheme
    ratios = page.evaluate(CONTRAST)
    context.close()
    assert ratios
    assert min(r for r, _ in ratios) >= 4.5, min(ratios)


@pytest.mark.parametrize("viewport", [DESKTOP, PHONE], ids=["desktop", "phone"])
def test_screenshots(browser, site, screenshots, viewport):
    context = browser.new_context(viewport=viewport, is_mobile=viewport is PHONE)
    kind = "desktop" if viewport is DESKTOP else "phone"
    for name in ["index.html", "api.html", "tutorial.html"]:
        page = open_page(context, site + name)
        path = screenshots / f"{Path(name).stem}-{kind}.png"
        page.screenshot(path=str(path), full_page=True)
        assert path.stat().st_size > 10_000
        page.close()
    context.close()
