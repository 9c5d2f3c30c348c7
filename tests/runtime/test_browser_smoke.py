"""The page-test harness end to end: a small app under uvicorn, its script run by headless Chromium."""

from __future__ import annotations

from html import escape

import pytest
from browser import browser_fixture, browser_page_fixture, screenshot, serving, watch  # noqa: F401  (fixtures)

pytest.importorskip("starlette", reason="starlette is not installed (requirements-dev.txt)")
from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import HTMLResponse, Response
from starlette.routing import Route

HOSTILE = "<script>alert(1)</script> & \"quoted\" 'x'"

PAGE = """<!doctype html>
<html><head><meta charset="utf-8"><title>smoke</title></head>
<body data-name="{name}">
<h1 id="name">{name}</h1>
<p id="status">waiting</p>
<button id="add">add</button>
<ol id="items"></ol>
<script src="/page.js"></script>
</body></html>
"""

# Fills the list from the body's data attribute, as text: the value never becomes markup.
SCRIPT = """
document.getElementById("status").textContent = "ready";
document.getElementById("add").addEventListener("click", () => {
  const item = document.createElement("li");
  item.textContent = document.body.dataset.name;
  document.getElementById("items").append(item);
});
"""


async def page(request: Request) -> HTMLResponse:
    return HTMLResponse(PAGE.format(name=escape(request.query_params.get("name", ""))))


async def script(request: Request) -> Response:
    return Response(SCRIPT, media_type="text/javascript")


APP = Starlette(routes=[Route("/", page), Route("/page.js", script)])


def test_page_script_runs_and_escapes(browser_page):
    with serving(APP) as base:
        browser_page.goto(f"{base}/?name={HOSTILE.replace('&', '%26')}")
        assert browser_page.text_content("#status") == "ready"
        browser_page.click("#add")
        browser_page.click("#add")
        assert browser_page.locator("#items li").all_text_contents() == [HOSTILE, HOSTILE]
        assert browser_page.text_content("#name") == HOSTILE
        assert browser_page.locator("script").count() == 1
        path = screenshot(browser_page, "smoke")
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_watch_catches_dialogs_and_script_errors(browser):
    # The check the page fixture relies on, shown to fire: the same value left unescaped does open a dialog.
    page = browser.new_page()
    seen = watch(page)
    page.set_content(f"<p>{HOSTILE}</p><script>null.x</script>")
    page.close()
    assert seen.dialogs == ["1"]
    assert len(seen.errors) == 1 and "null" in seen.errors[0]
