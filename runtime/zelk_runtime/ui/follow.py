"""How an open page follows what it shows: short polling.

The run may be going on in another process (or on a database's worker), so the server
learns of new supersteps only from the store itself. The page's script asks its page's
`/live` address every second or so, with the version of what it shows; the server reads
the store and answers with the version alone when nothing changed, or with the new
version and the sections that show the run (HTML, rendered and escaped as on the page),
plus the supersteps the state pickers can offer. A version is made of what the sections
show (state, head, the nodes finished in the superstep in progress, a resume started from
the page), so a superstep committed anywhere shows within one poll.
"""

from __future__ import annotations

import hashlib
from collections.abc import Callable, Iterable
from typing import Any

POLL_MS = 1000  # a run page asks this often
LIST_POLL_MS = 3000  # the runs page reads every store, so it asks less often


def version(parts: Iterable[str]) -> str:
    """A short fingerprint of what a page shows."""
    digest = hashlib.sha256("\x00".join(parts).encode("utf-8", "surrogatepass"))
    return digest.hexdigest()[:20]


def reply(
    current: str,
    seen: str | None,
    sections: Callable[[], dict[str, str]],
    states: Callable[[], list[tuple[int, str]]] | None = None,
) -> dict[str, Any]:
    """What a poll gets: the version alone when the page shows it already, else the
    sections (and the state pickers' supersteps) made now."""
    if seen == current:
        return {"version": current}
    found: dict[str, Any] = {"version": current, "sections": sections()}
    if states is not None:
        found["states"] = [[number, f"{number}: {label}"] for number, label in states()]
    return found
