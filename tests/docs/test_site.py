"""Every page of the built site in a real browser: what a reader behind a
firewall, on a phone or in dark mode meets."""
from __future__ import annotations

import re
import struct
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


LAYOUT = """() => {
  // boxes meant to scroll sideways on their own: code, tables, display formulas
  const own = 'pre, .highlight, .pst-scrollable-table-container, .table-wrapper, div.math, .MathJax_Display';
  const main = [...document.querySelectorAll('main, main *')];
  const label = e => e.tagName + '.' + e.className + ': ' + (e.innerText || e.textContent || '').slice(0, 60);
  const scrolls = e => ['auto', 'scroll'].includes(getComputedStyle(e).overflowX) && e.scrollWidth > e.clientWidth + 1;
  const outside = main.filter(e => scrolls(e) && !e.matches(own) && !e.closest(own));
  // a box that scrolls shows it: the shadows at its edges
  const uncued = main.filter(e => e.matches(own) && scrolls(e) && !getComputedStyle(e).backgroundImage.includes('radial-gradient'));
  // text cut off by a box that hides its overflow (MathJax's copy for screen readers is hidden on purpose)
  const clipped = main.filter(e => ['hidden', 'clip'].includes(getComputedStyle(e).overflowX) &&
      e.scrollWidth > e.clientWidth + 1 && (e.innerText || '').trim() && !e.matches('.MJX_Assistive_MathML'));
  // code that wraps between two characters of a name
  const split = [];
  for (const code of document.querySelectorAll('main code, main .sig')) {
    if (code.getClientRects().length < 2 && code.getBoundingClientRect().height < 2.5 * parseFloat(getComputedStyle(code).lineHeight || 20)) continue;
    const walker = document.createTreeWalker(code, NodeFilter.SHOW_TEXT);
    let last = null;
    for (let node = walker.nextNode(); node; node = walker.nextNode()) {
      for (let i = 0; i < node.textContent.length; i++) {
        const range = document.createRange();
        range.setStart(node, i); range.setEnd(node, i + 1);
        const box = range.getClientRects()[0], c = node.textContent[i];
        // collapsed white space has no box, and a line may break there
        if (!box) { if (/\\s/.test(c)) last = null; continue; }
        if (last && box.top >= last.box.bottom - 1 && /[\\w\\u0300-\\u036f]/.test(c) && /\\w/.test(last.c))
          split.push(label(code) + ' before character ' + i);
        last = {box, c};
      }
    }
  }
  return {outside: outside.map(label), uncued: uncued.map(label), clipped: clipped.map(label), split: split};
}"""


@pytest.mark.parametrize("viewport", [PHONE, DESKTOP], ids=["phone", "desktop"])
@pytest.mark.parametrize("name", PAGES)
def test_nothing_runs_past_the_page_is_cut_or_splits_a_name(browser, site, name, viewport):
    """The page never scrolls sideways: only code, tables and formulas sit
    in boxes of their own that scroll, each with a cue that more lies past
    its edge. No text is cut off, and code wraps between names, never
    inside one."""
    phone = viewport is PHONE
    context = browser.new_context(viewport=viewport, is_mobile=phone, has_touch=phone)
    page = open_page(context, site + name)
    width = page.evaluate("[document.documentElement.scrollWidth, document.documentElement.clientWidth]")
    found = page.evaluate(LAYOUT)
    context.close()
    assert width[0] <= width[1], width
    assert found == {"outside": [], "uncued": [], "clipped": [], "split": []}


def test_a_combining_mark_in_code_sits_on_its_letter(browser, site):
    """The message's τ̂ in code: the letter and its mark come from one font,
    which places the mark on the letter (a monospaced one sets it beside)."""
    context = browser.new_context(viewport=DESKTOP)
    page = open_page(context, site + "api.html")
    assert page.evaluate("[...document.querySelectorAll('main code')].some(c => c.textContent.includes('Zero \u03c4\u0302'))")
    bare = page.evaluate("""[...document.querySelectorAll('main code, main pre')].flatMap(c => {
        const w = document.createTreeWalker(c, NodeFilter.SHOW_TEXT), found = [];
        for (let n = w.nextNode(); n; n = w.nextNode())
          if (/[\\u0300-\\u036f]/.test(n.textContent) && !n.parentElement.closest('.zv-combined')) found.push(n.textContent);
        return found; })""")
    assert not bare
    cdp = context.new_cdp_session(page)
    cdp.send("DOM.enable")
    cdp.send("CSS.enable")
    root = cdp.send("DOM.getDocument")["root"]["nodeId"]
    marked = cdp.send("DOM.querySelectorAll", {"nodeId": root, "selector": "main code .zv-combined"})["nodeIds"]
    assert marked
    for node in marked:
        fonts = cdp.send("CSS.getPlatformFontsForNode", {"nodeId": node})["fonts"]
        assert len(fonts) == 1 and fonts[0]["glyphCount"] == 2, fonts
    context.close()


# The figures' smallest text (tick labels, legends), as their scripts draw it
SMALLEST_TEXT_PT = 8
LEGIBLE_PX = 9


def png_dpi(path: Path) -> float:
    """The resolution a PNG records (its pHYs chunk, in pixels per metre)."""
    data = path.read_bytes()
    at = data.index(b"pHYs")
    per_metre, _, unit = struct.unpack(">IIB", data[at + 4:at + 13])
    assert unit == 1, path
    return per_metre * 0.0254


@pytest.mark.parametrize("viewport", [PHONE, DESKTOP], ids=["phone", "desktop"])
@pytest.mark.parametrize("name", ["tutorial.html", "validation.html", "performance.html"])
def test_figures_stay_legible(browser, site, name, viewport):
    """On a phone each figure is its narrow variant, and its smallest text
    is drawn at 9 px or more; on a desktop the wide one stays."""
    phone = viewport is PHONE
    context = browser.new_context(viewport=viewport, is_mobile=phone, has_touch=phone)
    page = open_page(context, site + name)
    page.evaluate("() => Promise.all([...document.images].map(i => { i.loading = 'eager'; return i.decode().catch(() => null); }))")
    shown = page.eval_on_selector_all("main img", "els => els.map(i => [i.currentSrc, i.naturalWidth, i.getBoundingClientRect().width])")
    context.close()
    assert shown
    for source, natural, width in shown:
        assert source.endswith(".phone.png") == phone, source
        if phone:
            file = SITE / urlsplit(source).path.lstrip("/")
            text_px = SMALLEST_TEXT_PT / 72 * png_dpi(file) * width / natural
            assert text_px >= LEGIBLE_PX, (source, round(text_px, 1))


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
