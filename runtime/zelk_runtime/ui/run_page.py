"""One run's page, in sections the page's script can replace as the run goes on: the
summary, what it waits for (with the answer form where the server allows one), the graph
drawn by supersteps with what each node did, the timeline of supersteps and node times,
the state after any superstep, the difference between two supersteps, and the audit log
with its authors and the result of verifying it."""

from __future__ import annotations

import shlex
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

from ..draw import duration, svg
from ..follow import names
from ..graph import Graph
from ..interrupts import Interrupt
from . import jsonview
from .answers import Job
from .diff import ADDED, CHANGED, REMOVED, Change, path_text
from .follow import POLL_MS
from .html import Child, Html, h, join
from .pages import badge, cost, page, run_href, seconds, short_head, when
from .reading import RUNNING, UNREADABLE, RunView, moment

LIVE = ("summary", "waiting", "graph", "timeline", "audit")  # the sections a live update replaces
ROWS = 500  # supersteps and audit entries in a table: the last ones
DRAWN_NODES = 400  # a larger graph is not drawn on the page


@dataclass(frozen=True)
class Verified:
    ok: bool
    text: str


@dataclass
class FormView:
    """The answer form as the page shows it: `refusal` says why there is none."""

    refusal: str | None
    nonce: str = ""
    job: Job | None = None
    error: str | None = None  # why a submission was refused
    values: dict[str, str] = field(default_factory=dict)


@dataclass
class Shown:
    """What the state and difference sections show: supersteps chosen, and the state (or
    the changes) found, or the error that stopped it."""

    at: int
    state: Any = None
    a: int = 0
    b: int = 0
    changes: list[Change] | None = None
    more: bool = False
    error: str | None = None
    diff_error: str | None = None
    follow: bool = False  # nothing was chosen: the sections move on to each new superstep


def choices(view: RunView) -> list[tuple[int, str]]:
    """Every superstep whose state the store holds, with a label for the pickers."""
    stored = view.stored
    if stored is None:
        return []
    found = []
    if stored.base is not None:
        found.append((stored.first - 1, "forked state" if stored.forked else "initial state"))
    for payload in stored.payloads:
        number = int(payload["superstep"])
        if payload.get("kind") == "update":
            found.append((number, f"update by {payload.get('author')}"))
        else:
            found.append((number, names([str(name) for name in payload.get("nodes", [])], shown=4)))
    return found


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


def _question(item: Interrupt) -> Html:
    where = f"superstep {item.superstep}" + ("" if item.instance is None else f", Send instance {item.instance}")
    if item.when == "call":
        head = h("p", None, "Node ", h("strong", None, item.node), f" asks ({where}):")
        return h("div", {"class": "question"}, head, jsonview.tree(item.value, open_depth=3))
    words = "waits before it runs" if item.when == "before" else "waits after it ran"
    return h("div", {"class": "question"}, h("p", None, "Node ", h("strong", None, item.node), f" {words} ({where})."))


def _job(job: Job | None) -> Child:
    if job is None:
        return None
    if job.state == "running":
        return h("p", {"class": "job running", "id": "job"}, f"Resuming with the answers of {job.author}...")
    if job.state == "done":
        return h("p", {"class": "job ok", "id": "job"}, f"Resumed with the answers of {job.author}: {job.outcome}")
    return h(
        "div",
        {"class": "job error", "id": "job"},
        h("p", None, f"The resume with the answers of {job.author} failed:"),
        h("pre", None, job.outcome),
    )


def _form(view: RunView, form: FormView) -> Html:
    asking = sorted({item.node for item in view.waiting if item.when == "call"})
    fields: list[Child] = [h("input", {"type": "hidden", "name": "nonce", "value": form.nonce})]
    for node in asking:
        name = f"answer:{node}"
        fields.append(
            h(
                "label",
                None,
                h("span", None, "Answer for ", h("strong", None, node), " (JSON)"),
                h(
                    "textarea",
                    {"name": name, "rows": "2", "required": True, "placeholder": 'true, 42, "text", {"key": 1}'},
                    form.values.get(name, ""),
                ),
            )
        )
    fields.append(
        h(
            "label",
            None,
            h(
                "span",
                None,
                "State update" + (" (optional)" if view.waiting else ""),
                ": a JSON object of channel to value",
            ),
            h(
                "textarea",
                {"name": "update", "rows": "2", "placeholder": '{"channel": "value"}', "required": not view.waiting},
                form.values.get("update", ""),
            ),
        )
    )
    fields.append(
        h(
            "label",
            {"class": "who"},
            h("span", None, "Your name (recorded in the audit log)"),
            h(
                "input",
                {"name": "author", "required": True, "maxlength": "100", "value": form.values.get("author", "")},
            ),
        )
    )
    button = "Answer and resume" if asking else "Resume" if view.waiting else "Update and resume"
    fields.append(h("button", {"type": "submit"}, button))
    error = h("p", {"class": "error", "id": "form-error"}, form.error) if form.error else None
    return h("form", {"method": "post", "action": f"/answer/{view.ref.key}", "class": "answer"}, error, fields)


def waiting_section(view: RunView, form: FormView, command: str) -> Html:
    parts: list[Child] = [_job(form.job)]
    if view.waiting:
        parts.append(h("h2", None, "Waiting"))
        parts += [_question(item) for item in view.waiting]
    if form.refusal is None:
        if view.waiting:
            parts.append(_form(view, form))
        else:
            summary = h("summary", None, "Update the state and resume the run")
            parts.append(h("details", {"class": "update", "open": bool(form.error)}, summary, _form(view, form)))
    elif view.waiting:
        parts.append(h("p", {"class": "muted"}, f"Answer from here: {form.refusal}. Or: ", h("code", None, command)))
    if form.refusal is not None and form.error:
        parts.append(h("p", {"class": "error", "id": "form-error"}, form.error))
    return join(parts)


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


def size(count: int) -> str:
    """A byte count in three figures: 11 B, 4.66 kB, 513 kB, 1.2 MB."""
    if count < 1000:
        return f"{count} B"
    value, unit = count / 1000, "kB"
    for larger in ("MB", "GB"):
        if value < 999.5:
            break
        value, unit = value / 1000, larger
    return f"{value:.3g} {unit}"


def _bar(fraction: float) -> Html:
    width = max(0.5, min(100.0, fraction * 100))
    return h(
        "svg",
        {"class": "bar", "viewBox": "0 0 100 10", "preserveAspectRatio": "none", "aria-hidden": "true"},
        h("rect", {"width": f"{width:.2f}", "height": "10"}),
    )


def _nodes(payload: dict[str, Any]) -> Html:
    found = [str(name) for name in payload.get("nodes", [])]
    times = payload.get("seconds")
    if not isinstance(times, list) or len(times) != len(found):
        times = [None] * len(found)
    grouped: dict[str, list[float | None]] = {}
    for name, spent in zip(found, times, strict=True):
        grouped.setdefault(name, []).append(spent if isinstance(spent, (int, float)) else None)
    chips = []
    for name, spent in grouped.items():
        timed = [value for value in spent if value is not None]
        label = name if len(spent) == 1 else f"{name} x{len(spent)}"
        took = f" {duration(sum(timed))}" if timed else None
        detail = ", ".join(duration(value) if value is not None else "not timed" for value in spent)
        chips.append(h("span", {"class": "chip", "title": f"{name}: {detail}"}, h("b", None, label), took))
    return join(chips)


def _notes(payload: dict[str, Any]) -> list[Child]:
    notes: list[Child] = []
    routes = payload.get("routes")
    if isinstance(routes, dict):
        for node, targets in routes.items():
            chosen = ", ".join(map(str, targets)) if isinstance(targets, list) and targets else "END"
            notes.append(h("span", {"class": "note"}, f"{node} -> {chosen}"))
    answers = payload.get("answers")
    if isinstance(answers, dict):
        for node, given in answers.items():
            for answer in given if isinstance(given, list) else []:
                author = answer.get("author") if isinstance(answer, dict) else None
                notes.append(h("span", {"class": "note human"}, f"{node} answered by {author}"))
    if payload.get("kind") == "update":
        update = payload.get("update")
        channels = ", ".join(map(str, update)) if isinstance(update, dict) else ""
        notes.append(h("span", {"class": "note human"}, f"update by {payload.get('author')}: {channels}"))
    if payload.get("changed_code"):
        notes.append(h("span", {"class": "note warn"}, "changed code: " + ", ".join(map(str, payload["changed_code"]))))
    attempts = payload.get("attempts")
    if isinstance(attempts, dict) and attempts:
        notes.append(h("span", {"class": "note"}, "retried: " + ", ".join(map(str, attempts))))
    return notes


def _human(payload: dict[str, Any]) -> bool:
    return payload.get("kind") == "update" or bool(payload.get("answers"))


TIMELINE_COLUMNS = ("#", "At", "Took", "Nodes and their time", "Cost", "Stored", "")


def timeline_section(view: RunView) -> Html:
    stored = view.stored
    if stored is None:
        return h("p", {"class": "muted"}, "-")
    start = view.created
    rows = []
    previous = start
    spans: list[float | None] = []
    for payload in stored.payloads:
        at = moment(payload.get("time"))
        spans.append((at - previous).total_seconds() if at and previous else None)
        previous = at or previous
    longest = max((span for span in spans if span is not None), default=0.0) or 1.0
    skipped = max(0, len(stored.payloads) - ROWS)
    for payload, span in zip(stored.payloads[skipped:], spans[skipped:], strict=True):
        at = moment(payload.get("time"))
        offset = (at - start).total_seconds() if at and start else None
        kind = str(payload.get("checkpoint", "full"))
        rows.append(
            h(
                "tr",
                {"class": "human" if _human(payload) else None, "data-superstep": str(payload["superstep"])},
                h("td", {"class": "num"}, str(payload["superstep"])),
                h("td", {"class": "num"}, "-" if offset is None else f"+{duration(offset)}"),
                h("td", {"class": "num took"}, seconds(span), _bar((span or 0.0) / longest)),
                h("td", None, _nodes(payload)),
                h("td", {"class": "num"}, cost(float(payload["cost"]))),
                h("td", {"class": "num"}, f"{size(int(payload.get('checkpoint_bytes', 0)))} {kind}"),
                h("td", None, _notes(payload)),
            )
        )
    if view.progress or view.state == RUNNING:
        done = [
            h(
                "span",
                {"class": "chip"},
                h("b", None, item.node),
                "" if item.cost is None else f" cost {cost(item.cost)}",
            )
            for item in view.progress
        ]
        rows.append(
            h(
                "tr",
                {"class": "progress"},
                h("td", {"class": "num"}, str(view.completed)),
                h("td", {"colspan": "2"}, "in progress"),
                h("td", {"colspan": "4"}, done or h("span", {"class": "muted"}, "no node finished yet")),
            )
        )
    if not rows:
        return h("p", {"class": "muted"}, "No superstep committed yet.")
    table = h(
        "table",
        {"class": "timeline"},
        h("thead", None, h("tr", None, [h("th", None, column) for column in TIMELINE_COLUMNS])),
        h("tbody", None, rows),
    )
    return join([_skipped(skipped, "supersteps"), table])


def _skipped(count: int, what: str) -> Child:
    if not count:
        return None
    return h("p", {"class": "muted"}, f"The first {count:,} {what} are left out: the last {ROWS} are shown.")


def _picker(name: str, options: Sequence[tuple[int, str]], chosen: int) -> Html:
    return h(
        "select",
        {"name": name, "data-states": "1"},
        [
            h("option", {"value": str(number), "selected": number == chosen}, f"{number}: {label}")
            for number, label in options
        ],
    )


def state_body(view: RunView, shown: Shown) -> Html:
    if shown.error is not None:
        return h("p", {"class": "error"}, shown.error)
    raw = h("a", {"href": f"/state.json/{view.ref.key}?at={shown.at}", "class": "raw"}, "raw JSON")
    return h(
        "div",
        None,
        h("p", {"class": "muted"}, f"The state after superstep {shown.at} ", raw),
        jsonview.tree(shown.state),
    )


def state_section(view: RunView, shown: Shown) -> Html:
    options = choices(view)
    form = h(
        "form",
        {
            "method": "get",
            "action": run_href(view),
            "class": "picker",
            "data-fragment": f"/state/{view.ref.key}",
            "data-follow": shown.follow,
        },
        h("label", None, "After superstep ", _picker("at", options, shown.at)),
        h("button", {"type": "submit"}, "Show"),
    )
    return join([form, h("div", {"class": "fragment", "id": "state-body"}, state_body(view, shown))])


_SIGN = {ADDED: "+", REMOVED: "-", CHANGED: "~"}


def diff_body(shown: Shown) -> Html:
    if shown.diff_error is not None:
        return h("p", {"class": "error"}, shown.diff_error)
    changes = shown.changes or []
    if not changes:
        return h("p", {"class": "muted", "id": "diff-summary"}, f"No difference between {shown.a} and {shown.b}.")
    rows = []
    for change in changes:
        old = jsonview.inline(change.old) if change.kind != ADDED else None
        new = jsonview.inline(change.new) if change.kind != REMOVED else None
        rows.append(
            h(
                "tr",
                {"class": f"change {change.kind}"},
                h("td", {"class": "sign"}, _SIGN[change.kind]),
                h("td", None, h("code", None, path_text(change.path))),
                h("td", None, old),
                h("td", None, new),
            )
        )
    more = " (more not shown)" if shown.more else ""
    count = len(changes)
    return join(
        [
            h(
                "p",
                {"id": "diff-summary"},
                f"{count} change{'s' if count != 1 else ''} from superstep {shown.a} to {shown.b}{more}",
            ),
            h(
                "table",
                {"class": "diff"},
                h(
                    "thead",
                    None,
                    h(
                        "tr",
                        None,
                        h("th", None, ""),
                        h("th", None, "Where"),
                        h("th", None, "Before"),
                        h("th", None, "After"),
                    ),
                ),
                h("tbody", None, rows),
            ),
        ]
    )


def diff_section(view: RunView, shown: Shown) -> Html:
    options = choices(view)
    form = h(
        "form",
        {
            "method": "get",
            "action": run_href(view),
            "class": "picker",
            "data-fragment": f"/diff/{view.ref.key}",
            "data-follow": shown.follow,
        },
        h("label", None, "From ", _picker("a", options, shown.a)),
        h("label", None, " to ", _picker("b", options, shown.b)),
        h("input", {"type": "hidden", "name": "at", "value": str(shown.at)}),
        h("button", {"type": "submit"}, "Compare"),
    )
    return join([form, h("div", {"class": "fragment", "id": "diff-body"}, diff_body(shown))])


AUDIT_COLUMNS = ("Entry", "Superstep", "Time (UTC)", "Kind", "By", "Link")


def audit_section(view: RunView, verified: Verified | None) -> Html:
    stored = view.stored
    if stored is None:
        return h("p", {"class": "muted"}, "-")
    rows = []
    skipped = max(0, len(stored.entries) - ROWS)
    pairs = list(enumerate(zip(stored.entries, stored.payloads, strict=True)))[skipped:]
    for index, (entry, payload) in pairs:
        authors: list[str] = []
        if payload.get("kind") == "update":
            authors.append(str(payload.get("author")))
        for given in (payload.get("answers") or {}).values():
            authors += [str(answer.get("author")) for answer in given if isinstance(answer, dict)]
        rows.append(
            h(
                "tr",
                {"class": "human" if authors else None},
                h("td", {"class": "num"}, str(index)),
                h("td", {"class": "num"}, str(payload["superstep"])),
                h("td", None, when(moment(payload.get("time")))),
                h("td", None, str(payload.get("kind", "nodes"))),
                h("td", None, [h("span", {"class": "author"}, name) for name in dict.fromkeys(authors)] or "-"),
                h("td", None, h("code", {"title": entry.link}, entry.link[:16])),
            )
        )
    keyed = "keyed (HMAC-SHA256 tags)" if stored.keyed else "unkeyed (SHA-256 chain)"
    check: Child = None
    if verified is not None:
        check = h(
            "p",
            {"class": "verified " + ("ok" if verified.ok else "error"), "id": "verified"},
            ("Verified: " if verified.ok else "Verification FAILED: ") + verified.text,
        )
    parent = stored.manifest.get("parent")
    forked = None
    if isinstance(parent, dict):
        forked = h(
            "p", {"class": "muted"}, f"Forked from {parent.get('store')} after superstep {parent.get('superstep')}"
        )
    table = h(
        "table",
        {"class": "audit"},
        h("thead", None, h("tr", None, [h("th", None, column) for column in AUDIT_COLUMNS])),
        h("tbody", None, rows),
    )
    summary = h("p", {"class": "muted"}, f"{len(stored.entries)} entries, {keyed}")
    return join([check, summary, forked, _skipped(skipped, "entries"), table])


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
