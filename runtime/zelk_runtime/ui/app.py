"""The web app: its addresses, each a small function over sources.py, reading.py and the
page builders. Store reads run in Starlette's thread pool, so a slow store holds up only
its own page.

    GET  /                          the runs of every source
    GET  /live?v=VERSION            the runs list again, when it changed
    GET  /run/S/NAME?at=&a=&b=      one run (S: the source's index, NAME: the run's name there)
    GET  /live/S/NAME?v=VERSION     its sections again, when they changed
    GET  /state/S/NAME?at=N         the state after superstep N (a fragment of the page)
    GET  /diff/S/NAME?a=N&b=M       the difference between two supersteps (a fragment)
    GET  /state.json/S/NAME?at=N    the state after superstep N as JSON
    POST /answer/S/NAME             the answer form (with --allow-answers only)
    GET  /static/app.js, app.css
"""

from __future__ import annotations

import json
import shlex
import threading
from dataclasses import dataclass
from importlib import resources

from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import HTMLResponse, JSONResponse, RedirectResponse, Response
from starlette.routing import Route

from ..audit import AuditKey
from ..graph import Graph
from . import follow
from .answers import BODY_MOST, OFF, Answering, FormError, parse_form
from .audit_log import Verified
from .diff import diff
from .pages import Listed, message_page, runs_page, runs_section
from .reading import RUNNING, RunView, check_store, error_text, load_states, read_view
from .run_page import Sections, run_page, sections
from .security import Guard, Guarded
from .sources import RunRef, Source, find
from .states_view import Shown, choices, diff_body, state_body
from .waiting import FormView

STATIC = {
    "app.js": "text/javascript; charset=utf-8",
    "app.css": "text/css; charset=utf-8",
    "icon.svg": "image/svg+xml",
}
VERIFIED_KEPT = 256  # verification results kept for the live updates of unchanged runs


@dataclass
class Settings:
    sources: list[Source]
    token: str | None = None
    loopback_only: bool = True
    graph: Graph | None = None
    graph_file: str | None = None
    allow_answers: bool = False
    audit_key: AuditKey | None = None


class Pages:
    def __init__(self, settings: Settings) -> None:
        self.settings = settings
        self.key = settings.audit_key
        self.answering = Answering(settings.graph, settings.graph_file, settings.allow_answers, settings.audit_key)
        self._verified: dict[tuple[str, str], Verified] = {}
        self._lock = threading.Lock()
        folder = resources.files(__package__) / "static"
        self.static = {name: (folder / name).read_bytes() for name in STATIC}

    # Finding what a request names.

    def ref(self, request: Request) -> RunRef:
        source = request.path_params["source"]
        name = request.path_params["name"]
        try:
            found = find(self.settings.sources, source, name)
        except Exception as error:  # the source cannot be listed now (a folder gone, say)
            raise HTTPException(404, error_text(error)) from error
        if found is None:
            raise HTTPException(404, f"no run {name!r} is served under source {source}")
        return found

    @staticmethod
    def number(request: Request, name: str) -> int | None:
        text = request.query_params.get(name, "")
        try:
            return int(text) if text.lstrip("-").isdigit() and len(text) < 12 else None
        except ValueError:
            return None

    # What the pages show.

    def listed(self) -> list[Listed]:
        found = []
        for source in self.settings.sources:
            try:
                refs = source.runs()
            except Exception as error:  # a source that cannot be listed says so in its place
                found.append(Listed(source, [], error_text(error)))
                continue
            found.append(Listed(source, [read_view(ref, self.key) for ref in refs]))
        return found

    @staticmethod
    def list_version(listed: list[Listed]) -> str:
        return follow.version(
            [item.source.label + (item.error or "") for item in listed]
            + [f"{view.ref.key}:{view.version}" for item in listed for view in item.runs]
        )

    def verified(self, view: RunView, fresh: bool) -> Verified | None:
        """The store verified: afresh for a page; for a live update, from the last check of
        the same head, and not at all while the run goes on (a poll a second would otherwise
        read every checkpoint a second): it is checked once it stops."""
        if view.stored is None or (view.state == RUNNING and not fresh):
            return None
        key = (view.ref.key, view.head)
        with self._lock:
            kept = None if fresh else self._verified.get(key)
        if kept is not None:
            return kept
        ok, text = check_store(view.ref, self.key)
        found = Verified(ok, text)
        with self._lock:
            if len(self._verified) >= VERIFIED_KEPT:
                self._verified.clear()
            self._verified[key] = found
        return found

    def form(self, view: RunView, error: str | None = None, values: dict[str, str] | None = None) -> FormView:
        refusal = self.answering.refusal(view)
        nonce = self.answering.nonce(view.ref) if refusal is None else ""
        return FormView(refusal, nonce, self.answering.job(view.ref), error, values or {})

    def command(self, view: RunView) -> str:
        graph = self.settings.graph_file or "GRAPH.py"
        asking = sorted({item.node for item in view.waiting if item.when == "call"})
        answers = "".join(f" --answer {shlex.quote(node + '=JSON')}" for node in asking)
        store = shlex.quote(view.ref.shown)
        return f"python -m zelk_runtime resume {shlex.quote(graph)} --store {store}{answers} --author NAME"

    def sections(self, view: RunView, form: FormView, fresh: bool) -> Sections:
        graph = self.settings.graph
        return sections(view, self.verified(view, fresh), form, graph, self.command(view))

    def run_version(self, view: RunView, form: FormView) -> str:
        job = form.job.version if form.job is not None else ""
        return follow.version([view.version, job, form.refusal or ""])

    def shown(self, view: RunView, at: int | None, a: int | None, b: int | None) -> Shown | None:
        numbers = [number for number, _ in choices(view)]
        if not numbers:
            return None
        last = numbers[-1]
        pick_at = at if at in numbers else last
        pick_b = b if b in numbers else last
        pick_a = a if a in numbers else numbers[max(0, numbers.index(pick_b) - 1)]
        shown = Shown(pick_at, a=pick_a, b=pick_b, follow=at is None and a is None and b is None)
        try:
            states = load_states(view.ref, self.key, [pick_at, pick_a, pick_b])
        except Exception as error:  # the state cannot be rebuilt: its section says why
            shown.error = shown.diff_error = error_text(error)
            return shown
        shown.state = states[pick_at]
        shown.changes, shown.more = diff(states[pick_a], states[pick_b])
        return shown

    # The addresses.

    def home(self, request: Request) -> Response:
        listed = self.listed()
        return HTMLResponse(runs_page(listed, self.list_version(listed)))

    def home_live(self, request: Request) -> Response:
        listed = self.listed()
        current = self.list_version(listed)
        return JSONResponse(
            follow.reply(current, request.query_params.get("v"), lambda: {"runs": str(runs_section(listed))})
        )

    def run(self, request: Request) -> Response:
        return self._run_page(self.ref(request), request)

    def _run_page(
        self,
        ref: RunRef,
        request: Request,
        error: str | None = None,
        values: dict[str, str] | None = None,
        status: int = 200,
    ) -> Response:
        view = read_view(ref, self.key, drawn=True)
        form = self.form(view, error, values)
        shown = None
        if view.stored is not None:
            shown = self.shown(view, self.number(request, "at"), self.number(request, "a"), self.number(request, "b"))
        page = run_page(view, self.sections(view, form, fresh=True), shown, self.run_version(view, form))
        return HTMLResponse(page, status_code=status)

    def run_live(self, request: Request) -> Response:
        ref = self.ref(request)
        view = read_view(ref, self.key, drawn=True)
        form = self.form(view)
        current = self.run_version(view, form)
        return JSONResponse(
            follow.reply(
                current,
                request.query_params.get("v"),
                lambda: self.sections(view, form, fresh=False).live(),
                lambda: choices(view),
            )
        )

    def _fragment(self, request: Request) -> tuple[RunView, Shown]:
        view = read_view(self.ref(request), self.key)
        if view.stored is None:
            raise HTTPException(409, view.error or "the run cannot be read")
        at, a, b = (self.number(request, name) for name in ("at", "a", "b"))
        shown = self.shown(view, at, a, b)
        if shown is None:
            raise HTTPException(404, "the store holds no state yet")
        return view, shown

    def state(self, request: Request) -> Response:
        view, shown = self._fragment(request)
        return HTMLResponse(state_body(view, shown))

    def difference(self, request: Request) -> Response:
        _, shown = self._fragment(request)
        return HTMLResponse(diff_body(shown))

    def state_json(self, request: Request) -> Response:
        ref = self.ref(request)
        view = read_view(ref, self.key)
        numbers = [number for number, _ in choices(view)]
        at = self.number(request, "at")
        if at not in numbers:
            raise HTTPException(404, f"the store holds no state after superstep {at}" if numbers else "no state")
        try:
            state = load_states(ref, self.key, [at])[at]
        except Exception as error:  # a damaged checkpoint: say which
            raise HTTPException(409, error_text(error)) from error
        text = json.dumps(state, ensure_ascii=False, indent=1)
        return Response(text, media_type="application/json")

    async def answer(self, request: Request) -> Response:
        ref = self.ref(request)
        if not self.answering.allowed:
            return _message(403, "Answers are off", OFF)
        if request.headers.get("content-type", "").split(";")[0].strip() != "application/x-www-form-urlencoded":
            return _message(415, "Refused", "the answer form is sent URL-encoded")
        body = bytearray()
        async for chunk in request.stream():
            body += chunk
            if len(body) > BODY_MOST:
                return _message(413, "Refused", f"the form is larger than {BODY_MOST:,} bytes")
        return await run_in_threadpool(self._answer, ref, request, bytes(body))

    def _answer(self, ref: RunRef, request: Request, body: bytes) -> Response:
        try:
            fields = parse_form(body)
        except FormError as error:
            return self._run_page(ref, request, str(error), status=400)
        if not self.answering.nonce_ok(ref, fields.get("nonce", "")):
            return _message(403, "Refused", "the form did not come from this server's page of this run: reload it")
        kept = {name: value for name, value in fields.items() if name != "nonce"}
        view = read_view(ref, self.key, drawn=True)
        refusal = self.answering.refusal(view)
        if refusal is not None:
            return self._run_page(ref, request, f"Not sent: {refusal}", kept, status=409)
        try:
            self.answering.start(view, self.answering.read(view, fields))
        except FormError as error:
            return self._run_page(ref, request, str(error), kept, status=400)
        return RedirectResponse(f"/run/{ref.key}#waiting", status_code=303)

    def asset(self, request: Request) -> Response:
        name = request.path_params["name"]
        if name not in STATIC:
            raise HTTPException(404, "no such file")
        return Response(self.static[name], media_type=STATIC[name])


def _message(status: int, title: str, text: str) -> Response:
    return HTMLResponse(message_page(title, text), status_code=status)


async def _error(request: Request, error: Exception) -> Response:
    if isinstance(error, HTTPException):
        titles = {404: "Not found", 409: "Cannot be read"}
        return _message(error.status_code, titles.get(error.status_code, "Refused"), str(error.detail))
    return _message(500, "Error", error_text(error))


def make_app(settings: Settings) -> Guarded:
    """The app for `settings`, behind its guard (security.py)."""
    pages = Pages(settings)
    routes = [
        Route("/", pages.home),
        Route("/live", pages.home_live),
        Route("/run/{source:int}/{name:path}", pages.run),
        Route("/live/{source:int}/{name:path}", pages.run_live),
        Route("/state/{source:int}/{name:path}", pages.state),
        Route("/diff/{source:int}/{name:path}", pages.difference),
        Route("/state.json/{source:int}/{name:path}", pages.state_json),
        Route("/answer/{source:int}/{name:path}", pages.answer, methods=["POST"]),
        Route("/static/{name}", pages.asset),
    ]
    app = Starlette(routes=routes, exception_handlers={HTTPException: _error, Exception: _error})
    return Guarded(app, Guard(settings.token, settings.loopback_only))
