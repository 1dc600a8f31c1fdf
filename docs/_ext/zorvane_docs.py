"""What the site needs beyond Sphinx's own: the recipes' output, captured by
running them when the site is built; MathJax from the machine's Debian
package, copied into the site so that no page fetches anything; code
that wraps on a phone between names, never inside one; and each figure's
narrow variant (NAME.phone.png beside NAME.png), shown on a phone.
"""
from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

from docutils import nodes
from docutils.parsers.rst import directives
from sphinx.errors import ExtensionError
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective

ROOT = Path(__file__).resolve().parents[2]
MATHJAX = Path("/usr/share/javascript/mathjax")
# What MathJax.js?config=TeX-AMS_CHTML loads: the combined configuration,
# the TeX input and CommonHTML output it names, the extensions TeX input
# asks for on demand, and the TeX fonts in WOFF.
MATHJAX_PARTS = [
    "MathJax.js",
    "config/TeX-AMS_CHTML.js",
    "extensions",
    "jax/element",
    "jax/input/TeX",
    "jax/output/CommonHTML",
    "fonts/HTML-CSS/TeX/woff",
]

logger = logging.getLogger(__name__)


class ExampleOutput(SphinxDirective):
    """Runs examples/NAME with the given arguments from the project's root and
    shows what it printed; a recipe that fails fails the build."""

    required_arguments = 1
    optional_arguments = 0
    final_argument_whitespace = False
    has_content = False
    option_spec = {"args": directives.unchanged, "timeout": directives.positive_int}

    def run(self) -> list[nodes.Node]:
        script = ROOT / "examples" / self.arguments[0]
        if not script.is_file():
            raise self.error(f"no recipe {script}")
        args = self.options.get("args", "").split()
        command = [sys.executable, str(script), *args]
        self.env.note_dependency(str(script))
        began = time.monotonic()
        env = dict(os.environ, PYTHONIOENCODING="utf-8", PYTHONHASHSEED="0")
        try:
            # bytes: text mode would turn a progress bar's carriage returns into new lines
            done = subprocess.run(command, cwd=ROOT, env=env, capture_output=True, timeout=self.options.get("timeout", 300))
        except subprocess.TimeoutExpired as e:
            raise ExtensionError(f"{script.name} {' '.join(args)} did not finish in {e.timeout} s") from None
        if done.returncode != 0:
            raise ExtensionError(f"{script.name} {' '.join(args)} exited with {done.returncode}:\n{done.stderr.decode(errors='replace')}")
        logger.info(f"ran {script.name} {' '.join(args)} in {time.monotonic() - began:.1f} s")
        shown = "$ python examples/" + " ".join([script.name, *args]) + "\n" + printed(done.stdout.decode("utf-8"))
        block = nodes.literal_block(shown, shown, language="text")
        block["classes"].append("example-output")
        return [block]


ANSI = re.compile(r"\x1b\[[0-9;]*[A-Za-z]")


def printed(stdout: str) -> str:
    """What a terminal would show at the end: a progress bar redrawn with
    carriage returns keeps its last state, and no escape sequence is left."""
    lines = [ANSI.sub("", line.rsplit("\r", 1)[-1]).rstrip() for line in stdout.replace("\r\n", "\n").split("\n")]
    return "\n".join(lines).strip("\n")


def copy_mathjax(app) -> None:
    if not (MATHJAX / "MathJax.js").is_file():
        raise ExtensionError(f"MathJax is not at {MATHJAX}: install Debian's libjs-mathjax and fonts-mathjax")
    target = Path(app.outdir) / "_static" / "mathjax"
    for part in MATHJAX_PARTS:
        source, dest = MATHJAX / part, target / part
        if source.is_dir():
            shutil.copytree(source, dest, dirs_exist_ok=True)
        else:
            dest.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(source, dest)


INLINE_CODE = re.compile(r'(<code class="docutils literal[^"]*">)(.*?)(</code>)', re.S)
# in a name's text (not inside a tag): after a dot, slash, comma or opening
# parenthesis that a letter, underscore or quote follows (not
# inside a number)
BREAK_AFTER = re.compile(r'([./(,])(?=[A-Za-z_"\'&])(?![^<>]*>)')
# a letter and the combining marks on it, in text
COMBINED = re.compile(r"(\w[\u0300-\u036f]+)(?![^<>]*>)")


def readable_code(body: str) -> str:
    """Inline code may wrap after the dots, slashes, commas and parentheses between
    its names (a <wbr>, which copies as nothing), and a letter with a
    combining mark (τ̂) is set in the text font, whose marks sit on their
    letters where monospaced fonts set them beside."""
    body = INLINE_CODE.sub(lambda m: m[1] + BREAK_AFTER.sub(r"\1<wbr>", m[2]) + m[3], body)
    return COMBINED.sub(r'<span class="zv-combined">\1</span>', body)


PHONE = "(max-width: 575.98px)"  # the theme's narrowest layout
IMAGE = re.compile(r'<img ([^>]*?)src="([^"]*?)([^"/]+)\.png"([^>]*)>')


def phone_figures(app, doctree, docname) -> None:
    """Copies the narrow variant of each figure of the page into the site
    beside the figure, and notes its name for phone_sources."""
    for node in doctree.findall(nodes.image):
        uri = node["uri"]
        if not uri.endswith(".png") or uri not in app.env.images:
            continue
        phone = uri[:-4] + ".phone.png"
        if (Path(app.srcdir) / phone).is_file():
            name = app.env.images[uri][1][:-4] + ".phone.png"
            app.builder.images[phone] = name
            app.env.zorvane_phone_figures = getattr(app.env, "zorvane_phone_figures", set()) | {name}


def phone_sources(app, body: str) -> str:
    """A figure with a narrow variant becomes a <picture> whose source for a
    phone's width is that variant."""
    names = getattr(app.env, "zorvane_phone_figures", set())

    def picture(m: re.Match) -> str:
        phone = m[3] + ".phone.png"
        if phone not in names:
            return m[0]
        return f'<picture><source media="{PHONE}" srcset="{m[2]}{phone}">{m[0]}</picture>'

    return IMAGE.sub(picture, body)


def page_context(app, pagename, templatename, context, doctree) -> None:
    if "body" in context:
        context["body"] = phone_sources(app, readable_code(context["body"]))


def setup(app):
    app.add_directive("example-output", ExampleOutput)
    app.connect("builder-inited", copy_mathjax)
    app.connect("doctree-resolved", phone_figures)
    app.connect("html-page-context", page_context)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
