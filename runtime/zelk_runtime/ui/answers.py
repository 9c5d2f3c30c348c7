"""Answers from the page, for a server started with `--graph GRAPH.py --allow-answers`.

A run page then has a form: the answer (JSON) for each node that waits at `interrupt()`,
an optional state update (a JSON object of channel to value) and the author's name, which
is required. What is submitted is checked before anything is written: the form's nonce
(an HMAC of the run and the time the page was made, with a key of this server process), the
author, every answer and the update's channels; a refusal is shown on the page with the
values kept. Then `resume` runs in a thread of its own, so the pages stay responsive, and
its outcome (or error) is shown on the run's page; the run's new supersteps appear there
as they are committed. A database run is handed to its workers the same way (`resume`
queues it).

Without --allow-answers, or for a run of another graph than GRAPH.py, no form is shown and
a submission is refused: the server then never writes to a store.
"""

from __future__ import annotations

import hashlib
import hmac
import json
import secrets
import threading
import time
import unicodedata
from dataclasses import dataclass
from typing import Any
from urllib.parse import parse_qsl

from ..audit import AuditKey
from ..errors import NodeError
from ..graph import Graph
from ..runs import resume
from .reading import RUNNING, UNREADABLE, RunView, error_text
from .sources import RunRef

BODY_MOST = 256 * 1024  # bytes of a submitted form
FIELDS_MOST = 200
AUTHOR_MOST = 100  # characters of an author's name
NONCE_SECONDS = 12 * 3600  # a page's form can be sent for this long
OUTCOME_MOST = 4000  # characters of a failed resume's report kept for the page


OFF = "this server does not write to stores: start it with --graph GRAPH.py --allow-answers to answer from the page"


class FormError(Exception):
    """A submission refused before anything was written; the message is for the page."""


@dataclass(frozen=True)
class Submission:
    author: str
    answers: dict[str, Any]
    update: dict[str, Any] | None


@dataclass
class Job:
    """A resume started from the page, and how it went."""

    author: str
    started: float
    state: str = "running"  # "running", "done" or "failed"
    outcome: str = ""

    @property
    def version(self) -> str:
        return f"{self.state}|{self.started}|{len(self.outcome)}"


def parse_form(body: bytes) -> dict[str, str]:
    """The fields of a URL-encoded form; a field named twice is refused."""
    if len(body) > BODY_MOST:
        raise FormError(f"the form is larger than {BODY_MOST:,} bytes")
    try:
        pairs = parse_qsl(body.decode("utf-8"), keep_blank_values=True, max_num_fields=FIELDS_MOST)
    except UnicodeDecodeError:
        raise FormError("the form is not UTF-8 text") from None
    except ValueError as error:
        raise FormError(f"the form cannot be read: {error}") from None
    fields: dict[str, str] = {}
    for name, value in pairs:
        if name in fields:
            raise FormError(f"the form names field {name!r} twice")
        fields[name] = value
    return fields


def same_graph(graph: Graph, stored: Any) -> bool:
    """Whether a manifest's graph description is `graph`'s (edges in any order)."""
    if not isinstance(stored, dict):
        return False
    for part, value in graph.describe().items():
        if part == "edges":
            edges = stored.get(part)
            if not isinstance(edges, list) or {tuple(edge) for edge in edges} != {tuple(edge) for edge in value}:
                return False
        elif stored.get(part) != value:
            return False
    return True


def _author(text: str) -> str:
    author = text.strip()
    if not author:
        raise FormError("give your name as the author: the audit log records who answered")
    if len(author) > AUTHOR_MOST:
        raise FormError(f"the author's name is longer than {AUTHOR_MOST} characters")
    if any(unicodedata.category(ch) in ("Cc", "Cf", "Zl", "Zp") for ch in author):
        raise FormError("the author's name holds control or formatting characters")
    return author


def _json(text: str, what: str) -> Any:
    try:
        return json.loads(text)
    except ValueError as error:
        raise FormError(f"{what} is not JSON: {error}") from None


class Answering:
    def __init__(self, graph: Graph | None, graph_file: str | None, allowed: bool, key: AuditKey | None) -> None:
        self.graph = graph
        self.graph_file = graph_file
        self.allowed = allowed and graph is not None
        self.key = key
        self._secret = secrets.token_bytes(32)
        self._jobs: dict[str, Job] = {}
        self._lock = threading.Lock()

    # The nonce a page's form carries.

    def _mac(self, ref: RunRef, issued: int) -> str:
        return hmac.new(self._secret, f"{issued}\0{ref.key}".encode(), hashlib.sha256).hexdigest()

    def nonce(self, ref: RunRef) -> str:
        issued = int(time.time())
        return f"{issued}.{self._mac(ref, issued)}"

    def nonce_ok(self, ref: RunRef, given: str) -> bool:
        issued, _, mac = given.partition(".")
        if not issued.isdigit() or not 0 <= time.time() - int(issued) <= NONCE_SECONDS:
            return False
        return hmac.compare_digest(mac.encode(), self._mac(ref, int(issued)).encode())

    # What the page may do.

    def job(self, ref: RunRef) -> Job | None:
        with self._lock:
            return self._jobs.get(ref.key)

    def refusal(self, view: RunView) -> str | None:
        """Why this run cannot be answered from its page (None when it can)."""
        if not self.allowed or self.graph is None:
            return OFF
        if view.stored is None or view.state == UNREADABLE:
            return "the run cannot be read"
        if not same_graph(self.graph, view.stored.manifest.get("graph")):
            return f"{self.graph_file} is another graph than this run's: answers need the run's own graph"
        job = self.job(view.ref)
        if job is not None and job.state == "running":
            return f"a resume by {job.author} is going on"
        if view.state == RUNNING:
            return "the run is going on in another process"
        return None

    def read(self, view: RunView, fields: dict[str, str]) -> Submission:
        """The submission, checked: every node that asks answered in JSON, the update a
        JSON object of the graph's channels, and an author."""
        assert self.graph is not None
        asking = sorted({item.node for item in view.waiting if item.when == "call"})
        known = {f"answer:{node}" for node in asking} | {"author", "update", "nonce"}
        for name in fields:
            if name not in known:
                raise FormError(f"the form has a field {name!r} this run does not ask for")
        answers = {}
        for node in asking:
            text = fields.get(f"answer:{node}", "").strip()
            if not text:
                raise FormError(f'node {node!r} asks a question: give its answer as JSON (true, 3, "text", ...)')
            answers[node] = _json(text, f"the answer for node {node!r}")
        update = None
        text = fields.get("update", "").strip()
        if text:
            update = _json(text, "the update")
            if not isinstance(update, dict):
                raise FormError('the update must be a JSON object of channel to value, like {"channel": 1}')
            unknown = sorted(channel for channel in update if channel not in self.graph.channels)
            if unknown:
                raise FormError(f"the update writes {', '.join(map(repr, unknown))}, which the graph does not declare")
        if not view.waiting and update is None:
            raise FormError("the run does not wait for an answer: give a state update to fold before it goes on")
        return Submission(_author(fields.get("author", "")), answers, update)

    def start(self, view: RunView, submission: Submission) -> Job:
        """Resume the run in a thread of its own; the job tells how it went."""
        graph = self.graph
        assert graph is not None
        job = Job(submission.author, time.time())
        with self._lock:
            current = self._jobs.get(view.ref.key)
            if current is not None and current.state == "running":
                raise FormError(f"a resume by {current.author} is going on")
            self._jobs[view.ref.key] = job

        def work() -> None:
            try:
                result = resume(
                    graph,
                    view.ref.location,
                    answers=submission.answers,
                    update=submission.update,
                    author=submission.author,
                    progress=None,
                    audit_key=self.key,
                )
                job.outcome = f"{result.status}: {result.completed} supersteps in the store"
                job.state = "done"
            except NodeError as error:
                job.outcome = (f"{error}\n{error.tracebacks()}")[:OUTCOME_MOST]
                job.state = "failed"
            except Exception as error:  # whatever stopped it is shown on the run's page
                job.outcome = error_text(error)[:OUTCOME_MOST]
                job.state = "failed"

        threading.Thread(target=work, name=f"zelk-ui-resume {view.ref.key}", daemon=True).start()
        return job
