"""Shared fixtures: click's runner, PDF page rendering and a headless browser."""

import os
import shutil
import subprocess
import sys

import pytest
from click.testing import CliRunner

# Programs installed into the virtual environment (mmdc) are found by the
# tests also when pytest is started without activating it.
_VENV_BIN = os.path.dirname(sys.executable)
if _VENV_BIN not in os.environ.get("PATH", "").split(os.pathsep):
    os.environ["PATH"] = _VENV_BIN + os.pathsep + os.environ.get("PATH", "")

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
CHROMIUM_ARGS = [
    "--no-sandbox",
    "--disable-gpu",
    "--disable-dev-shm-usage",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    "--no-first-run",
]


@pytest.fixture(scope="session", autouse=True)
def render_cache_in_tmp(tmp_path_factory):
    """No test run writes into the user's own ~/.cache (chartsite keeps its
    drawings there); children started by tests inherit the setting."""
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("XDG_CACHE_HOME", str(tmp_path_factory.mktemp("xdg-cache")))
        yield


@pytest.fixture
def runner():
    return CliRunner()


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    """Run the test with the temporary folder as the current directory."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture
def render_pdf_page(tmp_path):
    """render_pdf_page(pdf, page=1, dpi=50) -> a Pillow image of that page."""
    from PIL import Image

    def render(pdf, page=1, dpi=50):
        out = tmp_path / f"render-{os.path.basename(pdf)}-{page}"
        subprocess.run(
            ["pdftoppm", "-png", "-r", str(dpi), "-f", str(page), "-l", str(page),
             "-singlefile", str(pdf), str(out)],
            check=True,
        )
        with Image.open(f"{out}.png") as img:
            return img.convert("RGB")

    return render


@pytest.fixture(scope="session")
def browser():
    """A headless Debian Chromium driven by Playwright."""
    from playwright.sync_api import sync_playwright

    with sync_playwright() as p:
        b = p.chromium.launch(executable_path=CHROMIUM, args=CHROMIUM_ARGS)
        yield b
        b.close()


@pytest.fixture
def page(browser):
    ctx = browser.new_context()
    pg = ctx.new_page()
    yield pg
    ctx.close()
