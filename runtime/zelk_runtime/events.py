"""What happens in a run, as it happens: small frozen records, one per event.

    run_started / run_resumed   the run opened (detail: store, superstep it goes on with)
    superstep_started           detail: nodes, the instances in fold order
    node_started                node, attempt (detail: instance, for a Send instance)
    node_finished               node, seconds, cost, attempt (detail: channels written, sends,
                                and instance for a Send instance)
    node_failed                 node, seconds, attempt, error (the traceback text); detail:
                                message, and instance for a Send instance
    retry                       node, attempt (the one about to start), error, detail: delay
    superstep_committed         seconds, cost; detail: bytes stored, state or update hash,
                                checkpoint kind, and the time in nodes, module, Python, store
    interrupted                 detail: the interrupts the run waits at
    finished / stopped          cost (the run's total); detail: head, supersteps in the store

`run(..., on_event=callback)` hands each event to the callback on the run's own thread;
`stream(graph, store, ...)` yields them. The progress bar, the command line's --follow
and --events (zelk_runtime.follow) and the OpenTelemetry spans (zelk_runtime.tracing) are
consumers of the same events.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Mapping
from typing import Any, NamedTuple, TypeAlias

KINDS = (
    "run_started",
    "run_resumed",
    "superstep_started",
    "node_started",
    "node_finished",
    "node_failed",
    "retry",
    "superstep_committed",
    "interrupted",
    "finished",
    "stopped",
)


class Event(NamedTuple):
    """One thing that happened: `kind`, the `superstep` it belongs to, and where they apply
    `node`, `seconds`, `cost`, `attempt`, `error` (traceback text) and `detail`; `time` is
    when (seconds since the epoch)."""

    kind: str
    superstep: int | None = None
    node: str | None = None
    seconds: float | None = None
    cost: float | None = None
    attempt: int | None = None
    error: str | None = None
    detail: Mapping[str, Any] | None = None
    time: float = 0.0

    def record(self) -> dict[str, Any]:
        """The event as a JSON object (fields that do not apply left out)."""
        found: dict[str, Any] = {"kind": self.kind, "time": round(self.time, 6)}
        for name in ("superstep", "node", "seconds", "cost", "attempt", "error"):
            value = getattr(self, name)
            if value is not None:
                found[name] = round(value, 6) if name == "seconds" else value
        if self.detail:
            found["detail"] = dict(self.detail)
        return found


def event(kind: str, superstep: int | None = None, node: str | None = None, **fields: Any) -> Event:
    """An event that happens now."""
    return Event(kind, superstep, node, time=time.time(), **fields)


Listener: TypeAlias = Callable[[Event], None]
