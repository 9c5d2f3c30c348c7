"""The page frame, the list of runs, and the small words every page uses for times, costs
and heads. Everything is built with html.h, so every value is text."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from datetime import UTC, datetime

from ..draw import duration
from .follow import LIST_POLL_MS
from .html import Child, Html, h, join
from .jsonview import inline
from .reading import FINISHED, RUNNING, UNREADABLE, WAITING, RunView
from .sources import Source

TITLE = "zelk runs"
ROWS = 500  # supersteps and audit entries a table shows: the last ones


def when(moment: datetime | None) -> str:
    if moment is None:
        return "-"
    return moment.astimezone(UTC).strftime("%Y-%m-%d %H:%M:%S")


def seconds(value: float | None) -> str:
    return "-" if value is None else duration(value)


def cost(value: float) -> str:
    return f"{value:.6g}"


def short_head(head: str) -> Html:
    """A head as COUNT:first 12 digits of the hash, the whole head in its title."""
    if not head:
        return h("span", {"class": "muted"}, "-")
    count, _, link = head.partition(":")
    return h("code", {"class": "head", "title": head}, f"{count}:{link[:12]}")


def left_out(count: int, what: str) -> Child:
    """The note above a table that shows only its last ROWS rows."""
    if not count:
        return None
    return h("p", {"class": "muted"}, f"The first {count:,} {what} are left out: the last {ROWS} are shown.")


def badge(state: str) -> Html:
    return h("span", {"class": f"badge state-{state}"}, state)


def run_href(view: RunView) -> str:
    return f"/run/{view.ref.key}"


def page(
    title: str, crumbs: Sequence[Child], body: Child, *, live: str | None = None, version: str = "", poll: int = 0
) -> Html:
    """A whole page: `live` is the address its script polls every `poll` milliseconds for changes."""
    return Html(
        "<!doctype html>\n"
        + h(
            "html",
            {"lang": "en"},
            h(
                "head",
                None,
                h("meta", {"charset": "utf-8"}),
                h("meta", {"name": "viewport", "content": "width=device-width, initial-scale=1"}),
                h("title", None, f"{title} - {TITLE}" if title != TITLE else TITLE),
                h("link", {"rel": "stylesheet", "href": "/static/app.css"}),
                h("link", {"rel": "icon", "href": "/static/icon.svg", "type": "image/svg+xml"}),
                h("script", {"src": "/static/app.js", "defer": True}),
            ),
            h(
                "body",
                {
                    "data-live": live,
                    "data-version": version if live else None,
                    "data-poll": str(poll) if live else None,
                },
                h(
                    "header",
                    {"class": "top"},
                    h("a", {"href": "/", "class": "home"}, TITLE),
                    join(crumbs),
                    h("span", {"id": "live-status", "class": "live"}, "") if live else None,
                ),
                h("main", None, body),
            ),
        )
        + "\n"
    )


def message_page(title: str, text: str) -> Html:
    """A page that only says something: a refusal, or an address that names no run."""
    return page(title, [], h("section", {"class": "panel"}, h("h1", None, title), h("p", None, text)))


@dataclass
class Listed:
    """A source as the runs page shows it: its runs, or why they cannot be listed."""

    source: Source
    runs: list[RunView]
    error: str | None = None


def _waiting_text(view: RunView) -> Child:
    if not view.waiting:
        return h("span", {"class": "muted"}, "-")
    parts = []
    for item in view.waiting:
        if item.when == "call":
            parts.append(h("li", None, h("strong", None, item.node), " asks ", inline(item.value, 48)))
        else:
            words = "before it runs" if item.when == "before" else "after it ran"
            parts.append(h("li", None, h("strong", None, item.node), f" waits {words}"))
    return h("ul", {"class": "plain"}, parts)


def _run_row(view: RunView) -> Html:
    name = h("a", {"href": run_href(view)}, view.ref.name)
    if view.state == UNREADABLE:
        return h(
            "tr",
            {"class": "broken"},
            h("td", None, name),
            h("td", None, badge(view.state)),
            h("td", {"colspan": "6", "class": "error-text"}, view.error or ""),
        )
    return h(
        "tr",
        {"data-state": view.state},
        h("td", None, name),
        h(
            "td",
            None,
            badge(view.state),
            h("span", {"class": "queue"}, f" {view.ref.queue}") if view.ref.queue else None,
        ),
        h("td", {"class": "num"}, str(view.completed)),
        h("td", {"class": "num"}, cost(view.cost)),
        h("td", {"class": "when"}, when(view.created)),
        h("td", {"class": "num"}, seconds(view.seconds)),
        h("td", None, short_head(view.head)),
        h("td", {"class": "asks"}, _waiting_text(view)),
    )


RUN_COLUMNS = ("Run", "Status", "Supersteps", "Cost", "Started (UTC)", "Duration", "Head", "Waiting")


def _heading(listed: Sequence[Listed]) -> Html:
    total = sum(len(item.runs) for item in listed)
    counts = {
        state: sum(view.state == state for item in listed for view in item.runs)
        for state in (RUNNING, WAITING, FINISHED, UNREADABLE)
    }
    summary = ", ".join(f"{count} {state}" for state, count in counts.items() if count)
    return h("h1", None, "Runs", h("span", {"class": "sub"}, f" {total} in all" + (f": {summary}" if summary else "")))


def runs_section(listed: Sequence[Listed]) -> Html:
    """The heading and a table per source: what a live update of the runs page replaces."""
    parts = [_heading(listed)]
    for item in listed:
        heading = h("h2", None, h("code", None, item.source.label))
        if item.error is not None:
            parts.append(h("section", {"class": "panel"}, heading, h("p", {"class": "error"}, item.error)))
            continue
        if not item.runs:
            body: Html = h("p", {"class": "muted"}, "No runs here yet.")
        else:
            body = h(
                "table",
                {"class": "runs"},
                h("thead", None, h("tr", None, [h("th", None, column) for column in RUN_COLUMNS])),
                h("tbody", None, [_run_row(view) for view in item.runs]),
            )
        parts.append(h("section", {"class": "panel"}, heading, body))
    return join(parts)


def runs_page(listed: Sequence[Listed], version: str) -> Html:
    body = h("div", {"id": "runs", "data-section": "runs"}, runs_section(listed))
    return page(TITLE, [], body, live="/live", version=version, poll=LIST_POLL_MS)
