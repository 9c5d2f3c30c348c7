"""The state after a chosen superstep, as a collapsible tree, and the difference between two
chosen supersteps, as a table of changes; each with its picker, a GET form the page's script
sends for the fragment alone (and that works as a plain form without it)."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from ..follow import names
from . import jsonview
from .diff import ADDED, CHANGED, REMOVED, Change, path_text
from .html import Html, h, join
from .pages import run_href
from .reading import RunView


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
