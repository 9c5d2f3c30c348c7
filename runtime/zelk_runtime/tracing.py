"""Spans of a run for OpenTelemetry (the optional extra `[otel]`): one per run, one per
superstep under it, one per node attempt under its superstep, made from the run's events
and timed by them.

Nothing of OpenTelemetry is imported unless its API is installed. Spans are made only once
a tracer provider is set (`opentelemetry.trace.set_tracer_provider`, or the
OTEL_PYTHON_TRACER_PROVIDER variable): before that every span would go nowhere, and
following the nodes costs something on large supersteps.

    zelk.run              store, superstep (where it starts), resumed; at its end status,
                          supersteps, cost, head; an error status when the run raised
    zelk.superstep        superstep, nodes, recorded; bytes, checkpoint, sha256, cost
    zelk.node NAME        node, superstep, attempt, instance (a Send instance); cost, seconds,
                          channels; an error status with the message when the attempt failed
"""

from __future__ import annotations

import importlib
import importlib.util
import time
from collections.abc import Generator
from typing import Any, TypeVar

from .events import Event

Result = TypeVar("Result")
NodeKey = tuple[str | None, int | None]


def _ns(seconds: float) -> int:
    return int(seconds * 1_000_000_000)


def _first_line(text: str | None) -> str:
    """An error's message: the exception's own last line of a traceback, else the text."""
    lines = [line for line in (text or "").splitlines() if line.strip()]
    if not lines:
        return ""
    return lines[-1].strip() if lines[0].startswith("Traceback") else lines[0].strip()


class Spans:
    """Turns a run's events into spans as they come."""

    def __init__(self, trace: Any) -> None:
        self.trace = trace
        self.tracer: Any = trace.get_tracer("zelk_runtime")
        self.run: Any = None
        self.step: Any = None
        self.nodes: dict[NodeKey, Any] = {}

    def _start(self, name: str, parent: Any, event: Event, attributes: dict[str, Any]) -> Any:
        context = None if parent is None else self.trace.set_span_in_context(parent)
        return self.tracer.start_span(name, context=context, start_time=_ns(event.time), attributes=attributes)

    def _error(self, span: Any, message: str, stack: str | None = None) -> None:
        span.set_status(self.trace.Status(self.trace.StatusCode.ERROR, message))
        if stack:
            span.add_event("exception", {"exception.message": message, "exception.stacktrace": stack})

    def event(self, event: Event) -> None:
        kind, detail = event.kind, dict(event.detail or {})
        key: NodeKey = (event.node, detail.get("instance"))
        if kind in ("run_started", "run_resumed"):
            attributes = {"store": str(detail.get("store")), "resumed": kind == "run_resumed"}
            self.run = self._start("zelk.run", None, event, {**attributes, "superstep": event.superstep or 0})
        elif kind == "superstep_started":
            attributes = {"superstep": event.superstep, "nodes": len(detail.get("nodes", ())), "recorded": 0}
            attributes["recorded"] = int(detail.get("recorded") or 0)
            self.step = self._start("zelk.superstep", self.run, event, attributes)
        elif kind == "node_started":
            attributes = {"node": event.node, "superstep": event.superstep, "attempt": event.attempt or 1}
            if key[1] is not None:
                attributes["instance"] = key[1]
            self.nodes[key] = self._start(f"zelk.node {event.node}", self.step, event, attributes)
        elif kind in ("node_finished", "node_failed", "retry"):
            self._end_node(key, event, detail)
        elif kind == "superstep_committed" and self.step is not None:
            self.step.set_attributes(
                {
                    "bytes": int(detail.get("bytes") or 0),
                    "checkpoint": str(detail.get("checkpoint")),
                    "sha256": str(detail.get("sha256")),
                    "cost": event.cost or 0.0,
                }
            )
            self.step.end(end_time=_ns(event.time))
            self.step = None
        elif kind in ("interrupted", "finished", "stopped"):
            # Nodes that asked, and their superstep, end where the run waits.
            for span in self.nodes.values():
                span.set_attribute("interrupted", True)
                span.end(end_time=_ns(event.time))
            self.nodes.clear()
            if self.step is not None:
                self.step.set_attribute("interrupted", True)
                self.step.end(end_time=_ns(event.time))
                self.step = None
            if self.run is not None:
                self.run.set_attributes({"status": kind, "head": str(detail.get("head"))})
                if kind != "interrupted":
                    self.run.set_attributes(
                        {"supersteps": int(detail.get("supersteps") or 0), "cost": event.cost or 0.0}
                    )
                self.run.end(end_time=_ns(event.time))
                self.run = None

    def _end_node(self, key: NodeKey, event: Event, detail: dict[str, Any]) -> None:
        span = self.nodes.pop(key, None)
        if span is None:
            return
        if event.kind == "node_finished":
            span.set_attributes(
                {
                    "cost": event.cost or 0.0,
                    "seconds": event.seconds or 0.0,
                    "channels": list(detail.get("channels", ())),
                }
            )
        else:  # failed, or failed and tried again
            message = detail.get("message") or _first_line(event.error)
            self._error(span, str(message), event.error)
            if event.seconds is not None:
                span.set_attribute("seconds", event.seconds)
        span.end(end_time=_ns(event.time))

    def close(self, error: BaseException | None) -> None:
        """End what is still open when the run ended without its end event: it raised
        (`error`), or its events stopped being taken (a stream closed early)."""
        now = time.time_ns()
        message = "" if error is None else f"{type(error).__name__}: {error}"
        for span in [*self.nodes.values(), self.step, self.run]:
            if span is None:
                continue
            if error is not None:
                self._error(span, message)
            else:
                span.set_attribute("closed", True)
            span.end(end_time=now)
        self.nodes.clear()
        self.step = self.run = None


def spans() -> Spans | None:
    """Spans for a run, when OpenTelemetry's API is installed and a tracer provider is set."""
    try:
        if importlib.util.find_spec("opentelemetry") is None:
            return None
        trace: Any = importlib.import_module("opentelemetry.trace")
    except (ImportError, ValueError):  # a package of that name without the API, or one made unimportable
        return None
    provider = trace.get_tracer_provider()
    if isinstance(provider, (trace.ProxyTracerProvider, trace.NoOpTracerProvider)):
        return None
    return Spans(trace)


def traced(drive: Generator[Event, None, Result], found: Spans) -> Generator[Event, None, Result]:
    """`drive`, its events turned into spans on the way."""
    try:
        while True:
            try:
                item = next(drive)
            except StopIteration as ended:
                value: Result = ended.value
                return value
            found.event(item)
            yield item
    except GeneratorExit:
        found.close(None)
        raise
    except BaseException as error:
        found.close(error)
        raise
    finally:
        drive.close()
