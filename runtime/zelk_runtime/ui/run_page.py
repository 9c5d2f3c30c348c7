"""One run's page, in sections the page's script can replace as the run goes on: the
summary, what it waits for (waiting.py), the graph drawn by supersteps with what each node
did, the timeline (timeline.py), the state after any superstep and the difference between
two (states_view.py), and the audit log with the result of verifying it (audit_log.py)."""

from __future__ import annotations

import shlex
from dataclasses import dataclass

from ..draw import svg
from ..graph import Graph
from .audit_log import Verified, audit_section
from .follow import POLL_MS
from .html import Child, Html, h
from .pages import badge, cost, page, seconds, short_head, when
from .reading import RUNNING, UNREADABLE, RunView
from .states_view import Shown, diff_section, state_section
from .timeline import timeline_section
from .waiting import FormView, waiting_section

LIVE = ("summary", "waiting", "graph", "timeline", "audit")  # the sections a live update replaces
DRAWN_NODES = 400  # a larger graph is not drawn on the page


def _fact(label: str, *value: Child) -> Html:
    return h("div", {"class": "fact"}, h("dt", None, label), h("dd", None, *value))


def summary_section(view: RunView, verified: Verified | None) -> Html:
    ref = view.ref
    if view.state == UNREADABLE:
        return h(
            "div",
            None,
            h("p", None, badge(view.state), " ", h("code", None, ref.shown)),
            h("p", {"class": "error", "id": "run-error"}, view.error or ""),
        )
    check: Child = h("span", {"class": "muted"}, "checked once it stops" if view.state == RUNNING else "not checked")
    if verified is not None:
        check = h("span", {"class": "ok" if verified.ok else "error"}, "intact" if verified.ok else "FAILED")
    return h(
        "dl",
        {"class": "facts"},
        _fact("Status", badge(view.state), f" {ref.queue}" if ref.queue else None),
        _fact("Supersteps", str(view.completed)),
        _fact("Cost", cost(view.cost)),
        _fact("Started (UTC)", when(view.created)),
        _fact("Duration", seconds(view.seconds)),
        _fact("Head", short_head(view.head)),
        _fact("Audit log", check),
        _fact("Store", h("code", None, ref.shown)),
    )


def _svg(view: RunView, graph: Graph | None) -> Html:
    assert view.model is not None
    model = view.model
    if graph is not None and set(graph.nodes) == set(model.nodes):
        model = model.with_interrupts(graph)
    text = svg(model, view.marks)
    if text.startswith("<?xml"):
        text = text.split("\n", 1)[1]
    return Html(text)  # draw.svg escapes every name and text it writes


def graph_section(view: RunView, graph: Graph | None) -> Html:
    if view.model is None:
        return h("p", {"class": "muted"}, "No graph to draw.")
    if len(view.model.nodes) > DRAWN_NODES:
        return h(
            "p",
            {"class": "muted"},
            f"A graph of {len(view.model.nodes):,} nodes is drawn here only up to {DRAWN_NODES}: ",
            h("code", None, f"python -m zelk_runtime draw --store {shlex.quote(view.ref.shown)} --svg FILE"),
            " draws it whole.",
        )
    return h("div", {"class": "drawing"}, _svg(view, graph))


@dataclass
class Sections:
    """The run page's sections, rendered; a live update sends the LIVE ones."""

    summary: Html
    waiting: Html
    graph: Html
    timeline: Html
    audit: Html

    def live(self) -> dict[str, str]:
        return {name: str(getattr(self, name)) for name in LIVE}


def sections(view: RunView, verified: Verified | None, form: FormView, graph: Graph | None, command: str) -> Sections:
    return Sections(
        summary_section(view, verified),
        waiting_section(view, form, command),
        graph_section(view, graph),
        timeline_section(view),
        audit_section(view, verified),
    )


def _section(name: str, title: str | None, body: Child, *classes: str) -> Html:
    return h(
        "section",
        {"class": " ".join(["panel", *classes]), "id": name},
        h("h2", None, title) if title else None,
        h("div", {"data-section": name}, body),
    )


def run_page(view: RunView, parts: Sections, shown: Shown | None, version: str) -> Html:
    crumbs = [h("span", {"class": "sep"}, " / "), h("span", None, view.ref.name)]
    body: list[Child] = [
        h("h1", None, view.ref.name),
        _section("summary", None, parts.summary),
        _section("waiting", None, parts.waiting, "waiting"),
    ]
    if view.stored is not None:
        overview = [_section("graph", "Graph", parts.graph), _section("timeline", "Timeline", parts.timeline)]
        body.append(h("div", {"class": "overview"}, overview))
        if shown is not None:
            body += [
                h("section", {"class": "panel", "id": "state"}, h("h2", None, "State"), state_section(view, shown)),
                h("section", {"class": "panel", "id": "diff"}, h("h2", None, "Difference"), diff_section(view, shown)),
            ]
        body.append(_section("audit", "Audit log", parts.audit))
    return page(view.ref.name, crumbs, body, live=f"/live/{view.ref.key}", version=version, poll=POLL_MS)
