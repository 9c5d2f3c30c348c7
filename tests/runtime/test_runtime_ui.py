"""`serve`: the pages in headless Chromium, and the server's safety over plain HTTP.

The stores (ui_graphs.make_stores) hold a run waiting at a question, a finished loop in
SQLite, a run whose node, channel, values, question, author and folder name are markup, a
run with a changed audit entry and one with a changed checkpoint, beside another program's
SQLite database, a link to a run outside the folder, and a secret file. Each browser test
saves a screenshot of its page under build/ui-shots/.
"""

from __future__ import annotations

import hashlib
import json
import re
import sqlite3
import threading
import time
import urllib.error
import urllib.request
from collections.abc import Iterator
from html.parser import HTMLParser
from pathlib import Path
from typing import Any
from urllib.parse import quote

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

pytest.importorskip("zelk_runtime")
pytest.importorskip("starlette", reason="starlette is not installed (extra [ui])")
pytest.importorskip("uvicorn", reason="uvicorn is not installed (extra [ui])")
import ui_graphs as ug
from browser import browser_fixture, browser_page_fixture, screenshot, serving  # noqa: F401  (fixtures)
from zelk_runtime import END, Graph, read_run, run
from zelk_runtime.audit import audit_key
from zelk_runtime.cli import main
from zelk_runtime.stores import open_store
from zelk_runtime.ui.app import Settings, make_app
from zelk_runtime.ui.diff import ADDED, REMOVED, diff, same
from zelk_runtime.ui.html import Html, h
from zelk_runtime.ui.jsonview import tree
from zelk_runtime.ui.sources import sources


@pytest.fixture(scope="module")
def stores(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Path]:
    return ug.make_stores(tmp_path_factory.mktemp("ui") / "runs")


def app_of(*served: Path, **options: Any) -> Any:
    return make_app(Settings(sources([str(path) for path in served]), **options))


@pytest.fixture(scope="module")
def site(stores: dict[str, Path]) -> Iterator[str]:
    """A read-only server of the folder of runs (source 0) and, again, the loop store (source 1)."""
    with serving(app_of(stores["review"].parent, stores["loop"])) as base:
        yield base


def page_of(base: str, name: str, source: int = 0) -> str:
    return f"{base}/run/{source}/{quote(name, safe='')}"


class _Keep(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args: Any, **kwargs: Any) -> None:
        return None  # a redirect is an answer of its own here


def fetch(url: str, *, data: bytes | None = None, headers: dict[str, str] | None = None) -> tuple[int, Any, str]:
    request = urllib.request.Request(
        url, data=data, headers=headers or {}, method="POST" if data is not None else "GET"
    )
    try:
        response = urllib.request.build_opener(_Keep).open(request, timeout=15)
    except urllib.error.HTTPError as error:
        return error.code, error.headers, error.read().decode("utf-8", "replace")
    return response.status, response.headers, response.read().decode("utf-8", "replace")


def snapshot(folder: Path) -> dict[str, tuple[str, int]]:
    """Every file under `folder` (links not followed): its content's hash and its mtime. (SQLite's
    -shm file is its readers' shared memory: every reader marks it, so only its content counts.)"""
    found = {}
    for path in sorted(folder.rglob("*")):
        if path.is_file() and not path.is_symlink():
            mtime = 0 if path.name.endswith("-shm") else path.stat().st_mtime_ns
            found[str(path)] = (hashlib.sha256(path.read_bytes()).hexdigest(), mtime)
    return found


# In the browser.


def test_runs_page_lists_the_runs(browser_page: Any, site: str, stores: dict[str, Path]) -> None:
    browser_page.goto(site)
    rows = browser_page.locator("table.runs tbody tr")
    names = [text.strip() for text in browser_page.locator("table.runs tbody tr td:first-child").all_text_contents()]
    assert sorted(names[:5]) == sorted(["review", "loop.sqlite", ug.HOSTILE_STORE, "tampered", "damaged"]), names
    assert names[5:] == ["loop.sqlite"]  # the second source
    assert "other.db" not in names and "elsewhere" not in names
    assert rows.count() == 6
    review = browser_page.locator("tr", has_text="review")
    assert review.locator(".badge").text_content() == "waiting"
    assert "review" in (review.locator("td").last.text_content() or "")
    assert browser_page.locator("tr", has_text="loop.sqlite").first.locator(".badge").text_content() == "finished"
    tampered = browser_page.locator("tr.broken", has_text="tampered")
    assert "does not match the hash chain" in (tampered.text_content() or "")
    screenshot(browser_page, "runs")


def test_run_page_shows_graph_timeline_and_state(browser_page: Any, site: str, stores: dict[str, Path]) -> None:
    browser_page.goto(page_of(site, "loop.sqlite"))
    nodes = browser_page.locator("#graph svg g.node")
    assert sorted(nodes.locator("text.name").all_text_contents()) == ["act", "check", "plan"]
    assert all("ran" in (nodes.nth(i).get_attribute("class") or "") for i in range(3))
    stored = read_run(open_store(stores["loop"], create=False))
    rows = browser_page.locator("table.timeline tbody tr")
    assert rows.count() == stored.completed == 9
    assert "check -> plan" in (rows.nth(2).text_content() or "")
    assert "check -> END" in (rows.nth(8).text_content() or "")
    assert browser_page.locator("#state-body .j-key").first.text_content() == '"draft"'
    assert "draft 3" in (browser_page.locator("#state-body").text_content() or "")
    assert browser_page.locator("#verified").text_content().startswith("Verified: audit chain of 9 entries")
    assert browser_page.locator("table.audit tbody tr").count() == 9
    screenshot(browser_page, "run")


def test_choosing_two_supersteps_shows_their_difference(browser_page: Any, site: str) -> None:
    browser_page.goto(page_of(site, "loop.sqlite"))
    browser_page.evaluate("window.zelkMarker = 7")
    browser_page.select_option("select[name=a]", "1")
    browser_page.select_option("select[name=b]", "7")
    browser_page.click("#diff button")
    browser_page.wait_for_selector("#diff-summary:has-text('from superstep 1 to 7')")
    changes = {
        row.locator("td").nth(1).text_content(): row.get_attribute("class")
        for row in browser_page.locator("table.diff tbody tr").all()
    }
    # From the first round's act (superstep 1) to the third's (7): two more notes, a new draft, round and score.
    assert changes == {
        "draft": "change changed",
        "notes[1]": "change added",
        "notes[2]": "change added",
        "round": "change changed",
        "score": "change changed",
    }
    assert browser_page.evaluate("window.zelkMarker") == 7  # no reload
    assert "a=1" in browser_page.url and "b=7" in browser_page.url
    browser_page.select_option("select[name=at]", "-1")
    browser_page.click("#state button")
    browser_page.wait_for_selector("#state-body:has-text('after superstep -1')")
    screenshot(browser_page, "diff")


def test_hostile_names_and_values_render_as_text(browser_page: Any, site: str) -> None:
    browser_page.goto(page_of(site, ug.HOSTILE_STORE))
    text = browser_page.locator("main").text_content() or ""
    assert browser_page.locator("h1").text_content() == ug.HOSTILE_STORE
    assert ug.HOSTILE in browser_page.locator("#graph svg g.node text.name").all_text_contents()
    assert f'"{ug.HOSTILE}"' in browser_page.locator(".question .j-key").all_text_contents()
    assert json.dumps(ug.HOSTILE_VALUE) in text
    assert ug.HOSTILE_AUTHOR in browser_page.locator("table.audit .author").all_text_contents()
    assert browser_page.locator("script").count() == 1  # the page's own
    assert browser_page.locator("main img, main [onerror], main [onmouseover]").count() == 0
    browser_page.select_option("select[name=a]", "-1")
    browser_page.click("#diff button")
    browser_page.wait_for_selector("#diff-summary:has-text('from superstep -1')")
    assert f"[{json.dumps(ug.HOSTILE)}]" in browser_page.locator("table.diff code").all_text_contents()
    screenshot(browser_page, "hostile")  # the page fixture fails the test had a dialog opened


def test_a_broken_store_shows_its_error(browser_page: Any, site: str) -> None:
    browser_page.goto(page_of(site, "tampered"))
    assert "audit entry 2" in (browser_page.locator("#run-error").text_content() or "")
    assert browser_page.locator("#graph").count() == 0
    browser_page.goto(page_of(site, "damaged"))
    assert browser_page.locator("#verified").text_content().startswith("Verification FAILED: checkpoint")
    assert "damaged or truncated" in (browser_page.locator("#state-body .error").text_content() or "")
    assert browser_page.locator("#graph svg g.node").count() == 3  # what can be read still shows
    screenshot(browser_page, "broken")


def test_a_running_run_page_shows_new_supersteps(browser_page: Any, tmp_path: Path) -> None:
    store = tmp_path / "live"
    graph = ug.gated_graph()
    outcome: list[Any] = []
    worker = threading.Thread(target=lambda: outcome.append(run(graph, store, progress=None)), daemon=True)
    worker.start()
    try:
        deadline = time.monotonic() + 10
        while not (store / "run.json").exists() and time.monotonic() < deadline:
            time.sleep(0.01)
        with serving(app_of(tmp_path)) as base:
            browser_page.goto(page_of(base, "live"))
            assert browser_page.locator("#summary .badge").text_content() == "running"
            browser_page.evaluate("window.zelkMarker = 11")
            for number, name in enumerate(ug.CHAIN[:3]):
                ug.GATES[name].set()
                browser_page.wait_for_selector(f"table.timeline tr[data-superstep='{number}']", timeout=10_000)
            assert browser_page.locator("#graph svg g.node.ran").count() == 3
            assert browser_page.evaluate("window.zelkMarker") == 11  # followed, not reloaded
            assert browser_page.locator("table.timeline tr.progress").count() == 1
            screenshot(browser_page, "live")
            assert browser_page.locator("#summary").text_content().count("checked once it stops") == 1
            ug.GATES["four"].set()
            browser_page.wait_for_selector("#summary .badge:has-text('finished')", timeout=10_000)
            assert "intact" in (browser_page.locator("#summary").text_content() or "")  # checked once stopped
            assert browser_page.locator("select[name=b] option").count() == 5  # the pickers grew too
            # Untouched, the state and difference sections moved on with the run.
            browser_page.wait_for_selector("#state-body:has-text('after superstep 3')")
            browser_page.wait_for_selector("#diff-summary:has-text('from superstep 2 to 3')")
            assert browser_page.locator("table.diff code").all_text_contents() == ["steps[3]"]
            assert browser_page.evaluate("window.zelkMarker") == 11
    finally:
        for gate in ug.GATES.values():
            gate.set()
        worker.join(30)
    assert outcome and outcome[0].status == "finished"


def test_answering_from_the_page_resumes_the_run(browser_page: Any, stores: dict[str, Path], tmp_path: Path) -> None:
    folder = tmp_path / "runs"
    folder.mkdir()
    ug.copy_store(stores["review"], folder / "review")
    app = app_of(folder, graph=ug.review_graph(), graph_file="review.py", allow_answers=True)
    with serving(app) as base:
        browser_page.goto(page_of(base, "review"))
        assert "publish this?" in (browser_page.locator(".question").text_content() or "")
        browser_page.click("form.answer button")  # the browser refuses it unfilled
        assert browser_page.locator("#job").count() == 0
        browser_page.fill("textarea[name='answer:review']", "true")
        browser_page.fill("input[name=author]", "alice")
        browser_page.fill("textarea[name=update]", '{"text": "second draft"}')
        browser_page.click("form.answer button")
        browser_page.wait_for_selector("#summary .badge:has-text('finished')", timeout=15_000)
        browser_page.wait_for_selector("#job.ok")
        assert "alice" in (browser_page.locator("table.audit tr.human").first.text_content() or "")
        screenshot(browser_page, "answered")
    stored = read_run(open_store(folder / "review", create=False))
    kinds = [(p.get("kind"), p.get("author")) for p in stored.payloads]
    assert kinds[1] == ("update", "alice")
    answers = [p["answers"] for p in stored.payloads if "answers" in p]
    assert answers == [
        {
            "review": [
                {"question": {"question": "publish this?", "text": "first draft"}, "answer": True, "author": "alice"}
            ]
        }
    ]


def test_a_token_server_refuses_a_visit_without_it(browser_page: Any, stores: dict[str, Path]) -> None:
    with serving(app_of(stores["loop"], token="s3cret-token")) as base:
        response = browser_page.goto(base)
        assert response.status == 401
        assert "needs its token" in (browser_page.locator("main").text_content() or "")
        assert browser_page.locator("table.runs").count() == 0
        screenshot(browser_page, "token-refused")
        browser_page.goto(f"{base}/?token=s3cret-token")
        assert browser_page.url == f"{base}/"  # the token left the address
        assert browser_page.locator("table.runs tbody tr").count() == 1
        (cookie,) = browser_page.context.cookies()
        assert cookie["httpOnly"] and cookie["sameSite"] == "Strict"
        browser_page.goto(page_of(base, "loop.sqlite"))
        assert browser_page.locator("#graph svg g.node").count() == 3


# Over plain HTTP.


def test_token_is_required_of_every_address(stores: dict[str, Path]) -> None:
    with serving(app_of(stores["loop"], token="s3cret-token")) as base:
        for path in ("/", "/live", "/run/0/loop.sqlite", "/state.json/0/loop.sqlite?at=0", "/live/0/loop.sqlite"):
            status, _, body = fetch(base + path)
            assert status == 401 and "loop" not in body, path
            assert fetch(base + path, headers={"Cookie": "zelk_ui_token=s3cret-tokem"})[0] == 401
            assert fetch(base + path + ("&" if "?" in path else "?") + "token=wrong")[0] == 401
        status, headers, _ = fetch(base + "/run/0/loop.sqlite?token=s3cret-token&at=2")
        assert status == 303 and headers["location"] == "/run/0/loop.sqlite?at=2"
        cookie = headers["set-cookie"].lower()
        assert "zelk_ui_token=s3cret-token" in cookie and "httponly" in cookie and "samesite=strict" in cookie
        assert fetch(base + "/run/0/loop.sqlite", headers={"Cookie": "zelk_ui_token=s3cret-token"})[0] == 200
        assert fetch(base + "/static/app.css")[0] == 200  # the same for every server, so a refusal is readable


def test_only_the_named_stores_can_be_read(site: str, stores: dict[str, Path]) -> None:
    secret = stores["secret"].read_text()
    probes = [
        "/run/0/..%2Fsecret.txt",
        "/run/0/../secret.txt",
        "/run/0/%2Fetc%2Fpasswd",
        "/run/0/elsewhere",  # a link out of the folder
        "/run/0/other.db",  # another program's database
        "/run/0/.",
        "/run/0/",
        "/run/2/loop.sqlite",
        "/run/-1/loop.sqlite",
        "/state.json/0/..%2F..%2Fsecret.txt?at=0",
        "/state/0/%2Ftmp?at=0",
        "/live/1/..",
        "/static/..%2Fapp.py",
        "/static/../sources.py",
        "/static/app.js%00",
        "/secret.txt",
    ]
    for path in probes:
        status, _, body = fetch(site + path)
        assert status in (404, 405), (path, status)
        assert secret not in body and "root:" not in body and "zelk_runtime" not in body
    status, _, body = fetch(site + "/")
    assert "elsewhere" not in body and "other.db" not in body and "outside-run" not in body


def test_every_store_value_is_escaped_in_the_html(site: str) -> None:
    status, headers, body = fetch(page_of(site, ug.HOSTILE_STORE))
    assert status == 200
    for raw in (ug.HOSTILE, ug.HOSTILE_AUTHOR, ug.HOSTILE_STORE, "<img", "</script><script>"):
        assert raw not in body.replace('<script src="/static/app.js" defer></script>', "")
    assert "&lt;script&gt;alert(1)&lt;/script&gt;" in body
    assert "&lt;b onmouseover=alert(3)&gt;eve&lt;/b&gt;" in body
    policy = headers["content-security-policy"]
    assert "script-src 'self'" in policy and "default-src 'self'" in policy and "unsafe-inline" not in policy
    assert headers["x-content-type-options"] == "nosniff"
    status, headers, text = fetch(page_of(site, ug.HOSTILE_STORE).replace("/run/", "/live/"))
    for html in json.loads(text)["sections"].values():
        assert ug.HOSTILE not in html and "<img" not in html
    status, headers, text = fetch(page_of(site, ug.HOSTILE_STORE).replace("/run/", "/state.json/") + "?at=0")
    assert headers["content-type"].startswith("application/json") and json.loads(text)[ug.HOSTILE] == ug.HOSTILE_VALUE
    assert fetch(f"{site}/", headers={"Host": "evil.example"})[0] == 400  # a name pointed at the loopback address


def test_a_broken_store_leaves_the_others_working(site: str) -> None:
    status, _, body = fetch(site + "/")
    assert status == 200 and "does not match the hash chain" in body and body.count('data-state="finished"') == 3
    status, _, body = fetch(page_of(site, "tampered"))
    assert status == 200 and "audit entry 2" in body
    status, _, body = fetch(page_of(site, "damaged"))
    assert status == 200 and "Verification FAILED" in body
    assert fetch(page_of(site, "damaged").replace("/run/", "/state.json/") + "?at=8")[0] == 409
    for name in ("review", "loop.sqlite"):
        status, _, body = fetch(page_of(site, name))
        assert status == 200 and "Verified: audit chain" in body


def test_without_allow_answers_nothing_is_written(site: str, stores: dict[str, Path]) -> None:
    before = snapshot(stores["review"].parent)
    for path in (
        "/",
        "/live",
        "/live/0/review",
        "/run/0/review",
        "/run/0/loop.sqlite?at=3&a=0&b=8",
        "/state/0/review?at=0",
    ):
        assert fetch(site + path)[0] == 200
    form = b"nonce=x&author=mallory&answer%3Areview=true"
    headers = {"Content-Type": "application/x-www-form-urlencoded"}
    status, _, body = fetch(site + "/answer/0/review", data=form, headers=headers)
    assert status == 403 and "does not write to stores" in body
    assert "form" not in fetch(site + "/run/0/review")[2].split("<h2>Waiting</h2>", 1)[1].split("</section>")[0]
    assert snapshot(stores["review"].parent) == before
    other = sqlite3.connect(stores["other"])
    assert [row[0] for row in other.execute("SELECT name FROM sqlite_master")] == ["notes"]
    other.close()


def _nonce(body: str) -> str:
    found = re.search(r'name="nonce" value="([^"]+)"', body)
    assert found is not None
    return found.group(1)


def test_the_answer_form_is_checked_before_anything_is_written(stores: dict[str, Path], tmp_path: Path) -> None:
    folder = tmp_path / "runs"
    folder.mkdir()
    ug.copy_store(stores["review"], folder / "review")
    ug.copy_store(stores["loop"], folder / "loop.sqlite")
    app = app_of(folder, graph=ug.review_graph(), graph_file="review.py", allow_answers=True)
    with serving(app) as base:
        url = f"{base}/answer/0/review"
        nonce = _nonce(fetch(f"{base}/run/0/review")[2])
        form = {"Content-Type": "application/x-www-form-urlencoded"}
        before = snapshot(folder)
        refused = [
            (403, f"nonce=0.{'0' * 64}&author=a&answer%3Areview=true", form, "did not come from this server"),
            (403, f"nonce={nonce}&author=a&answer%3Areview=true", {**form, "Origin": "http://evil.example"}, ""),
            (403, f"nonce={nonce}&author=a&answer%3Areview=true", {**form, "Sec-Fetch-Site": "cross-site"}, ""),
            (415, f"nonce={nonce}&author=a", {"Content-Type": "text/plain"}, "URL-encoded"),
            (400, f"nonce={nonce}&author=+&answer%3Areview=true", form, "give your name"),
            (400, f"nonce={nonce}&author=a&answer%3Areview=yes", form, "is not JSON"),
            (400, f"nonce={nonce}&author=a&answer%3Areview=", form, "asks a question"),
            (400, f"nonce={nonce}&author=a&answer%3Areview=1&answer%3Adraft=1", form, "does not ask for"),
            (400, f"nonce={nonce}&author=a&answer%3Areview=1&update=%5B1%5D", form, "JSON object"),
            (400, f"nonce={nonce}&author=a&answer%3Areview=1&update=%7B%22nope%22%3A1%7D", form, "does not declare"),
            (400, f"nonce={nonce}&author=a&author=b&answer%3Areview=1", form, "twice"),
            (400, f"nonce={nonce}&author=a%07b&answer%3Areview=1", form, "control"),
        ]
        for status, data, headers, words in refused:
            got, _, body = fetch(url, data=data.encode(), headers=headers)
            assert got == status and words in body, (data, headers, got, body[-400:])
        got, _, body = fetch(url, data=f"nonce={nonce}&author=a&answer%3Areview=yes".encode(), headers=form)
        assert 'value="a"' in body and ">yes</textarea>" in body  # what was typed is kept
        # The loop is of another graph: no form, and a post for it is refused.
        status, _, body = fetch(f"{base}/run/0/loop.sqlite")
        assert "another graph" not in body or 'class="answer"' not in body
        loop_nonce = "1." + "0" * 64
        got, _, _ = fetch(f"{base}/answer/0/loop.sqlite", data=f"nonce={loop_nonce}&author=a".encode(), headers=form)
        assert got == 403
        assert snapshot(folder) == before
        got, headers, _ = fetch(url, data=f"nonce={nonce}&author=bob&answer%3Areview=false".encode(), headers=form)
        assert got == 303 and headers["location"] == "/run/0/review#waiting"
        deadline = time.monotonic() + 15
        while "state-finished" not in fetch(f"{base}/live/0/review")[2] and time.monotonic() < deadline:
            time.sleep(0.05)
    stored = read_run(open_store(folder / "review", create=False))
    assert (
        stored.payloads[-1]["nodes"] == ["publish"] and stored.payloads[-2]["answers"]["review"][0]["author"] == "bob"
    )


def count(state: Any) -> dict[str, Any]:
    return {"n": 1}


def again(state: Any) -> Any:
    return "count" if state["n"] < 520 else END


def noop(state: Any) -> None:
    return None


def test_long_runs_and_large_graphs_keep_their_pages_small(tmp_path: Path) -> None:
    looping = Graph(
        [count],
        [],
        branches={"count": (again, ["count"])},
        initial_state={"n": 0},
        start=["count"],
        reducers={"n": "add"},
        step_limit=600,
    )
    run(looping, tmp_path / "long", progress=None, executor="sequential")
    wide = Graph({f"node{i}": noop for i in range(401)}, [])
    run(wide, tmp_path / "wide", progress=None, executor="sequential")
    with serving(app_of(tmp_path)) as base:
        status, _, body = fetch(page_of(base, "long"))
        assert status == 200 and "The first 20 supersteps are left out" in body and "The first 20 entries" in body
        assert body.count('<tr data-superstep="') == 500 and 'data-superstep="519"' in body
        assert len(body) < 1_500_000
        status, _, body = fetch(page_of(base, "wide"))
        assert (
            status == 200
            and "A graph of 401 nodes is drawn here only up to 400" in body
            and "<svg" not in body.split('id="timeline"')[0].split('id="graph"')[1]
        )


def test_keyed_stores_need_their_key(tmp_path: Path) -> None:
    run(ug.loop_graph(), tmp_path / "keyed", progress=None, audit_key=b"the key")
    with serving(app_of(tmp_path)) as base:
        status, _, body = fetch(page_of(base, "keyed"))
        assert status == 200 and "keyed audit log" in body and "needs its audit key" in body
    with serving(app_of(tmp_path, audit_key=audit_key(b"the key"))) as base:
        status, _, body = fetch(page_of(base, "keyed"))
        assert status == 200 and "Verified: keyed audit chain of 9 entries intact" in body
    with serving(app_of(tmp_path, audit_key=audit_key(b"another key"))) as base:
        assert "is not the key of store" in fetch(page_of(base, "keyed"))[2]


def test_a_database_is_served_with_its_queue(pg_server: Any, tmp_path: Path) -> None:
    """A PostgreSQL store (where this runtime has one): its runs listed with their queue states, no page
    showing the password, and an answer from the page going on as on the other stores."""
    workers = pytest.importorskip("zelk_runtime.workers", reason="this runtime has no PostgreSQL store")
    url = pg_server.create_database("ui_served")
    run(ug.loop_graph(), f"{url}#loop", progress=None)
    run(ug.review_graph(), f"{url}#review", progress=None)
    graph_file = tmp_path / "review.py"
    graph_file.write_text("import ui_graphs\n\ngraph = ui_graphs.review_graph()\n")
    workers.submit(graph_file, url, run_id="queued")
    app = app_of_urls([url], graph=ug.review_graph(), graph_file=str(graph_file), allow_answers=True)
    with serving(app) as base:
        status, _, body = fetch(base + "/")
        assert status == 200 and pg_server.password not in body
        states = dict(re.findall(r'<tr data-state="([a-z]+)"><td><a href="/run/0/([a-z]+)"', body))
        assert {name: state for state, name in states.items()} == {
            "loop": "finished",
            "review": "waiting",
            "queued": "queued",
        }
        for name in ("loop", "review", "queued"):
            status, _, page = fetch(f"{base}/run/0/{name}")
            assert status == 200 and "Verified: audit chain" in page and pg_server.password not in page
        nonce = _nonce(fetch(f"{base}/run/0/review")[2])
        form = f"nonce={nonce}&author=alice&answer%3Areview=true".encode()
        headers = {"Content-Type": "application/x-www-form-urlencoded"}
        assert fetch(f"{base}/answer/0/review", data=form, headers=headers)[0] == 303
        deadline = time.monotonic() + 15
        while "state-finished" not in fetch(f"{base}/live/0/review")[2] and time.monotonic() < deadline:
            time.sleep(0.05)
        assert 'state-finished">finished' in fetch(f"{base}/run/0/review")[2]


def app_of_urls(urls: list[str], **options: Any) -> Any:
    return make_app(Settings(sources(urls), **options))


def test_serve_command_refusals(stores: dict[str, Path], capsys: pytest.CaptureFixture[str], monkeypatch: Any) -> None:
    cases = [
        (["serve", str(stores["loop"]), "--host", "0.0.0.0"], "needs --token"),
        (["serve", str(stores["loop"]), "--allow-answers"], "--allow-answers needs --graph"),
        (["serve", str(stores["loop"].parent / "missing")], "no such file or folder"),
        (["serve", str(stores["secret"])], "neither a run directory"),
        (["serve", str(stores["loop"]), "--port", "99999"], "cannot listen on 127.0.0.1:99999"),
        (["serve", "postgresql://user:pw@127.0.0.1:1/db"], "cannot serve postgresql://user@127.0.0.1:1/db"),
    ]
    monkeypatch.delenv("ZELK_UI_TOKEN", raising=False)
    for argv, words in cases:
        assert main(argv) == 1
        err = capsys.readouterr().err
        assert words in err and "pw" not in err, err
    monkeypatch.setitem(__import__("sys").modules, "uvicorn", None)
    assert main(["serve", str(stores["loop"])]) == 1
    assert "pip install 'zelk_runtime[ui]'" in capsys.readouterr().err


# The parts.

json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False, allow_infinity=False) | st.text(max_size=5),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=3), inner, max_size=4),
    max_leaves=20,
)


def apply(value: Any, changes: list[Any]) -> Any:
    """A reference for the changes: set, add and remove along each path (removals from the highest position)."""
    root = [json.loads(json.dumps(value))]
    ordered = [c for c in changes if c.kind != REMOVED] + sorted(
        (c for c in changes if c.kind == REMOVED),
        key=lambda c: c.path[-1] if isinstance(c.path[-1], int) else 0,
        reverse=True,
    )
    for change in ordered:
        holder: Any = root
        steps: list[Any] = [0, *change.path]
        for step in steps[:-1]:
            holder = holder[step]
        last = steps[-1]
        if change.kind == REMOVED:
            del holder[last]
        elif change.kind == ADDED and isinstance(holder, list):
            holder.insert(last, change.new)
        else:
            holder[last] = change.new
    return root[0]


@settings(max_examples=300, deadline=None)
@given(json_values, json_values)
def test_diff_changes_make_the_first_state_into_the_second(a: Any, b: Any) -> None:
    changes, more = diff(a, b)
    assert not more
    assert same(apply(a, changes), b)
    assert (changes == []) == same(a, b)
    assert diff(a, a) == ([], False)
    if len(changes) > 1:
        assert diff(a, b, most=1) == (changes[:1], True)


def test_diff_tells_json_types_apart() -> None:
    assert [c.kind for c in diff({"x": 1}, {"x": True})[0]] == ["changed"]
    assert [c.kind for c in diff([1], [1.0])[0]] == ["changed"]
    assert diff({"x": [1, 2]}, {"x": [1, 2, 3]})[0][0].path == ("x", 2)


class _Collect(HTMLParser):
    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.tags: list[str] = []
        self.text: list[str] = []
        self.attributes: list[tuple[str, str | None]] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        self.tags.append(tag)
        self.attributes += attrs

    def handle_data(self, data: str) -> None:
        self.text.append(data)


@settings(max_examples=300, deadline=None)
@given(st.text(), st.text())
def test_html_escapes_every_text_and_attribute(text: str, attribute: str) -> None:
    parsed = _Collect()
    parsed.feed(h("p", {"title": attribute, "data-x": attribute}, text, h("b", None, text)))
    parsed.close()
    assert parsed.tags == ["p", "b"]
    assert parsed.attributes == [("title", attribute), ("data-x", attribute)]
    assert "".join(parsed.text) == text * 2


def test_json_tree_escapes_and_cuts() -> None:
    value = {ug.HOSTILE: [ug.HOSTILE_VALUE] * 1000, "long": "x" * 10_000}
    parsed = _Collect()
    parsed.feed(tree(value))
    assert set(parsed.tags) <= {"div", "details", "summary", "ul", "li", "span"}
    shown = "".join(parsed.text)
    assert ug.HOSTILE in shown and "800 more" in shown and "(10,000 characters)" in shown
    assert len(tree(value)) < 60_000
    with pytest.raises(ValueError):
        h("p", {"onclick x": "1"})
    assert isinstance(h("br"), Html)


def test_the_readme_shows_a_page() -> None:
    root = Path(__file__).resolve().parents[2]
    shown = re.findall(r"!\[[^\]]*\]\(([^)]+)\)", (root / "README.md").read_text(encoding="utf-8"))
    assert "docs/ui-run.png" in shown  # relative: it renders wherever the repository is viewed
    image = (root / "docs" / "ui-run.png").read_bytes()
    assert image[:8] == b"\x89PNG\r\n\x1a\n" and len(image) < 200_000
