"""The documentation site: Sphinx, the PyData theme and MyST Markdown.

`make docs` builds it into build/docs/html with warnings as errors. Nothing is
fetched at build time and nothing is fetched by the pages: the formulas are
typeset by the MathJax that Debian's libjs-mathjax ships, copied into the
site, and the recipes' output is produced by running them (see
_ext/zorvane_docs.py).
"""
from __future__ import annotations

import re
import sys
from pathlib import Path

DOCS = Path(__file__).resolve().parent
ROOT = DOCS.parent
sys.path.insert(0, str(DOCS / "_ext"))

project = "zorvane"
author = "The zorvane developers"
copyright = "2026, The zorvane developers"
release = version = re.search(r'^version = "([^"]+)"', (ROOT / "pyproject.toml").read_text(), re.M).group(1)

extensions = ["myst_parser", "sphinx.ext.mathjax", "sphinx_copybutton", "zorvane_docs"]
source_suffix = {".md": "markdown"}
exclude_patterns = ["_build", "_ext", "README.md"]
root_doc = "index"

myst_enable_extensions = ["dollarmath", "colon_fence", "deflist"]
myst_heading_anchors = 3

# MathJax 2 from Debian's libjs-mathjax, copied into _static/mathjax by the
# extension; only what TeX input and CommonHTML output load goes in.
mathjax_path = "mathjax/MathJax.js?config=TeX-AMS_CHTML"
mathjax2_config = {
    "tex2jax": {"processClass": "math", "ignoreClass": ".*", "processEscapes": True},
    "menuSettings": {"zoom": "None"},
    "showMathMenu": False,
    "messageStyle": "none",
}

html_theme = "pydata_sphinx_theme"
html_title = "zorvane"
html_favicon = "_static/zorvane.svg"
html_logo = "_static/zorvane.svg"
html_static_path = ["_static"]
html_css_files = ["zorvane.css"]
# Without a default mode the theme's script logs an error on every page.
html_context = {"default_mode": "auto"}
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version"],
    "navbar_align": "left",
    "header_links_before_dropdown": 6,
}
# the section navigation only where a section has pages of its own
html_sidebars = {page: [] for page in
                 ["index", "getting-started", "api", "tutorial", "validation", "performance", "changelog", "citing", "development"]}
html_copy_source = False
html_show_sourcelink = False

# Copy code without the prompts and without the output of a session.
copybutton_prompt_text = r">>> |\.\.\. |\$ "
copybutton_prompt_is_regexp = True
copybutton_only_copy_prompt_lines = True
