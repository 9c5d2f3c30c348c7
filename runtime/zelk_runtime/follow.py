"""A run's events for people and for programs: one readable line per superstep and per node
(`run --follow`), or one JSON object per event (`run --events jsonl`), each written and
flushed as it happens."""

from __future__ import annotations

import json
from collections.abc import Sequence
from typing import Any, TextIO

from .events import Event

FAILED_TEXT = 300  # characters of a failure's message kept on its line


def names(found: Sequence[str], shown: int = 8) -> str:
    """Node names with repeats counted, in order: "plan, score x3"."""
    counted: dict[str, int] = {}
    for name in found:
        counted[name] = counted.get(name, 0) + 1
    parts = [name if count == 1 else f"{name} x{count}" for name, count in counted.items()]
    return ", ".join(parts[:shown]) + (f", ... ({len(found)} instances)" if len(parts) > shown else "")


def _node(event: Event) -> str:
    instance = (event.detail or {}).get("instance")
    return f"{event.node}#{instance}" if instance is not None else str(event.node)


def _failure(event: Event) -> str:
    """The line's account of a failure: the exception's own last line when there is a
    traceback, else the runtime's message."""
    text = event.error or ""
    if "Traceback" in text:
        lines = [line for line in text.splitlines() if line.strip()]
        text = lines[-1] if lines else text
    else:
        text = (event.detail or {}).get("message") or text
    text = " ".join(text.split())
    return text if len(text) <= FAILED_TEXT else text[:FAILED_TEXT] + "..."


def _seconds(value: float | None) -> str:
    seconds = value or 0.0
    return f"{seconds:.3f} s" if seconds >= 0.001 or seconds == 0 else f"{seconds * 1000:.3f} ms"


def line(event: Event) -> str | None:
    """The readable line for an event, or None for one that gets none (a node's start: its
    end has the line)."""
    detail: dict[str, Any] = dict(event.detail or {})
    kind = event.kind
    if kind == "run_started":
        return f"run started: store {detail.get('store')}"
    if kind == "run_resumed":
        after = f" after superstep {event.superstep - 1}" if event.superstep else ""
        return f"run resumed{after}: store {detail.get('store')}"
    if kind == "superstep_started":
        found = list(detail.get("nodes", ()))
        recorded = detail.get("recorded") or 0
        kept = f", {recorded} already recorded" if recorded else ""
        plural = "" if len(found) == 1 else "s"
        return f"superstep {event.superstep}: started {len(found)} node{plural} ({names(found)}){kept}"
    if kind == "node_finished":
        text = f"  node {_node(event)} finished in {_seconds(event.seconds)}"
        if event.cost:
            text += f", cost {event.cost:g}"
        channels = detail.get("channels") or []
        text += f", wrote {', '.join(channels)}" if channels else ", wrote nothing"
        if detail.get("sends"):
            text += f", sent {detail['sends']}"
        if event.attempt and event.attempt > 1:
            text += f" (attempt {event.attempt})"
        return text
    if kind == "node_failed":
        return f"  node {_node(event)} FAILED: {_failure(event)} (attempt {event.attempt or 1})"
    if kind == "retry":
        delay = detail.get("delay")
        wait = f" in {delay:g} s" if isinstance(delay, (int, float)) and delay else ""
        return f"  node {_node(event)} failed, retrying as attempt {event.attempt}{wait}: {_failure(event)}"
    if kind == "superstep_committed":
        text = (
            f"superstep {event.superstep} committed in {_seconds(event.seconds)}: "
            f"{detail.get('checkpoint')} checkpoint {detail.get('bytes', 0):,} bytes"
        )
        return text + (f", cost {event.cost:g}" if event.cost else "")
    if kind == "interrupted":
        waits = []
        for item in detail.get("interrupts", ()):
            node = item["node"] + ("" if item.get("instance") is None else f"#{item['instance']}")
            waits.append(
                {"before": f"before {node} runs", "after": f"after {node} ran", "call": f"{node} asks"}[item["when"]]
            )
        return f"run interrupted at superstep {event.superstep}: {'; '.join(waits)}"
    if kind in ("finished", "stopped"):
        return f"run {kind} at superstep {event.superstep}: {detail.get('supersteps')} supersteps in the store"
    return None


class FollowLines:
    """Writes each event's readable line as it happens."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream

    def __call__(self, event: Event) -> None:
        text = line(event)
        if text is not None:
            print(text, file=self.stream, flush=True)


class JsonLines:
    """Writes each event as one JSON object on a line of its own, as it happens."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream

    def __call__(self, event: Event) -> None:
        print(json.dumps(event.record(), ensure_ascii=False), file=self.stream, flush=True)
