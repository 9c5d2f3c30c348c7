"""Headless Chromium for the page tests: Debian's chromium driven by Playwright, started once a test module.

Playwright is always given the system browser's path, so it never looks for (or fetches) a build of its
own. Every page a test gets fails the test when it opens a dialog or throws an uncaught error, so a
value that escapes its escaping shows up as a failure rather than as a silently dismissed alert.

A test module imports the fixtures `browser` and `browser_page` by their function names
(browser_fixture, browser_page_fixture), so that the test's parameters do not shadow the imports.
"""

from __future__ import annotations

import os
import shutil
import socket
import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pytest

ROOT = Path(__file__).resolve().parents[2]
SHOTS = ROOT / "build" / "ui-shots"
# The binary itself first: /usr/bin/chromium is Debian's shell launcher around it.
CHROMIUM_PATHS = ("/usr/lib/chromium/chromium", "/usr/bin/chromium")
# Pages are served by the test itself on the loopback address; the sandbox cannot start as root.
CHROMIUM_ARGS = ["--no-sandbox", "--disable-dev-shm-usage"]
# It starts in well under a second here; a browser that has not come up by then will not.
LAUNCH_MS = 30_000


def chromium_path() -> str | None:
    """ZELK_CHROMIUM when set, else Debian's chromium where it is installed."""
    named = os.environ.get("ZELK_CHROMIUM")
    if named:
        return named
    for path in CHROMIUM_PATHS:
        if os.access(path, os.X_OK):
            return path
    return shutil.which("chromium")


@dataclass
class Watch:
    """What a page did that no test expects: dialogs it opened and errors its scripts threw."""

    dialogs: list[str] = field(default_factory=list)
    errors: list[str] = field(default_factory=list)

    def problems(self) -> list[str]:
        return [f"dialog {text!r}" for text in self.dialogs] + [f"script error {text!r}" for text in self.errors]


def watch(page: Any) -> Watch:
    """Records (and dismisses, so the page goes on) every dialog and uncaught error of `page`."""
    seen = Watch()

    def on_dialog(dialog: Any) -> None:
        seen.dialogs.append(dialog.message)
        dialog.dismiss()

    page.on("dialog", on_dialog)
    page.on("pageerror", lambda error: seen.errors.append(str(error)))
    return seen


def start_driver(sync_api: Any) -> Any:
    """Playwright's driver process, started without LD_PRELOAD: the sanitizer build preloads its runtime
    for the module under test, and the driver and the browser it starts (which inherits the driver's
    environment) do not run under it (the browser then never comes up)."""
    preload = os.environ.pop("LD_PRELOAD", None)
    try:
        return sync_api.sync_playwright().start()
    finally:
        if preload is not None:
            os.environ["LD_PRELOAD"] = preload


@pytest.fixture(name="browser", scope="module")
def browser_fixture() -> Iterator[Any]:
    """One headless Chromium per test module; skips when it or Playwright is missing. (Not one per
    session: while Playwright's synchronous driver is up, the main thread counts as running an event
    loop, so a later module's `asyncio.run()` would be refused.)"""
    if os.environ.get("ZELK_LIGHT") == "1":
        pytest.skip("Ray, PostgreSQL and browser tests run on one interpreter only (ZELK_LIGHT=1)")
    sync_api = pytest.importorskip("playwright.sync_api", reason="playwright is not installed (requirements-dev.txt)")
    path = chromium_path()
    if path is None:
        pytest.skip("Debian's chromium is not installed (apt-get install chromium; `make test` does it)")
    driver = start_driver(sync_api)
    try:
        started = driver.chromium.launch(executable_path=path, headless=True, args=CHROMIUM_ARGS, timeout=LAUNCH_MS)
    except sync_api.Error as error:
        driver.stop()
        pytest.skip(f"Chromium at {path} did not start: {str(error).splitlines()[0]}")
    yield started
    started.close()
    driver.stop()


@pytest.fixture(name="browser_page")
def browser_page_fixture(browser: Any) -> Iterator[Any]:
    """A fresh page in its own context (no cookies or storage shared); fails on a dialog or a script error."""
    context = browser.new_context(viewport={"width": 1000, "height": 700})
    context.set_default_timeout(10_000)
    page = context.new_page()
    seen = watch(page)
    yield page
    context.close()
    if seen.problems():
        pytest.fail("the page " + ", ".join(seen.problems()))


def screenshot(page: Any, name: str) -> Path:
    """Saves the whole page as build/ui-shots/NAME.png under the repository root and returns the path."""
    if not name or "/" in name or name.startswith("."):
        raise ValueError(f"screenshot name {name!r} must be a plain file name")
    SHOTS.mkdir(parents=True, exist_ok=True)
    path = SHOTS / f"{name}.png"
    page.screenshot(path=str(path), full_page=True)
    return path


@contextmanager
def serving(app: Any) -> Iterator[str]:
    """Runs the ASGI `app` under uvicorn in a background thread on a free loopback port; yields its base URL."""
    uvicorn = pytest.importorskip("uvicorn", reason="uvicorn is not installed (requirements-dev.txt)")
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    port = listener.getsockname()[1]
    server = uvicorn.Server(uvicorn.Config(app, log_level="warning", lifespan="off"))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [listener]}, name="uvicorn", daemon=True)
    thread.start()
    deadline = time.monotonic() + 10
    while not server.started:
        if not thread.is_alive() or time.monotonic() > deadline:
            listener.close()
            raise RuntimeError(f"the test server on 127.0.0.1:{port} did not start")
        time.sleep(0.01)
    try:
        yield f"http://127.0.0.1:{port}"
    finally:
        server.should_exit = True
        thread.join(timeout=10)
        listener.close()
