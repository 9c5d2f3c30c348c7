"""The timeline of a run: a row per superstep (the last ROWS of them) with when it was
committed and how long it took (a bar against the longest), each node with its instances
and their wall time, the cost, what was stored, the routes chosen, and the updates and
answers of people marked; then the nodes finished so far in the superstep in progress."""

from __future__ import annotations

from typing import Any

from ..draw import duration
from .html import Child, Html, h, join
from .pages import ROWS, cost, left_out, seconds
from .reading import RUNNING, RunView, moment


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
    return join([left_out(skipped, "supersteps"), table])
