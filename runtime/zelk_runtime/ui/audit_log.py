"""The audit log of a run as a table (the last ROWS entries): each entry's superstep, time,
kind, the people named in it (an update's author, the authors of answers), marked, and the
start of its link hash; above it, the result of verifying the whole store."""

from __future__ import annotations

from dataclasses import dataclass

from .html import Child, Html, h, join
from .pages import ROWS, left_out, when
from .reading import RunView, moment


@dataclass(frozen=True)
class Verified:
    ok: bool
    text: str


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
    return join([check, summary, forked, left_out(skipped, "entries"), table])
