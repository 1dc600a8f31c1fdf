"""The built site, served from its folder on a local port, and Debian's
Chromium driven by Playwright (which is told where the browser is, so that
it downloads none)."""
from __future__ import annotations

import functools
import http.server
import os
import shutil
import threading
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SITE = ROOT / "build" / "docs" / "html"
SCREENSHOTS = ROOT / "build" / "docs" / "screenshots"
CHROMIUM = os.environ.get("ZORVANE_CHROMIUM", "/usr/bin/chromium")


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format, *args):
        pass


@pytest.fixture(scope="session")
def site() -> str:
    """The address of the site's root, served by a thread of this process."""
    if not (SITE / "index.html").is_file():
        pytest.fail(f"no site in {SITE}: run make docs first")
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(QuietHandler, directory=str(SITE)))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield f"http://127.0.0.1:{server.server_address[1]}/"
    server.shutdown()


@pytest.fixture(scope="session")
def browser():
    playwright = pytest.importorskip("playwright.sync_api")
    if not shutil.which(CHROMIUM):
        pytest.fail(f"no Chromium at {CHROMIUM} (Debian's chromium package)")
    with playwright.sync_playwright() as p:
        # root in a container has no user namespaces for the sandbox
        browser = p.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox"])
        yield browser
        browser.close()


@pytest.fixture(scope="session")
def screenshots() -> Path:
    SCREENSHOTS.mkdir(parents=True, exist_ok=True)
    return SCREENSHOTS
