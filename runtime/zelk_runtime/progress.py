"""Progress of a run on a terminal: a consumer of the run's events, drawn as a bar (tqdm or
rich when installed) or as one plain line per superstep."""

from __future__ import annotations

import importlib
import sys
from dataclasses import dataclass
from typing import Any, Protocol, TextIO

from .events import Event


@dataclass(frozen=True)
class SuperstepReport:
    """What one committed superstep took. Times are wall-clock seconds."""

    superstep: int
    nodes: int
    nodes_seconds: float  # running the nodes, checking and recording their results
    python_seconds: float  # preparing the superstep, serialising the updates
    module_seconds: float  # folding, routing, framing what is stored, the audit entry
    store_seconds: float  # writing it all
    checkpoint_bytes: int
    cost: float

    @property
    def seconds(self) -> float:
        return self.nodes_seconds + self.python_seconds + self.module_seconds + self.store_seconds


class Progress(Protocol):
    def event(self, event: Event) -> None: ...
    def close(self) -> None: ...


class SilentProgress:
    def event(self, event: Event) -> None:
        pass

    def close(self) -> None:
        pass


class LineProgress:
    """One plain line per superstep."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream

    def event(self, event: Event) -> None:
        if event.kind == "run_resumed" and event.superstep:
            print(f"resuming after superstep {event.superstep - 1}", file=self.stream, flush=True)
        elif event.kind == "superstep_committed":
            detail = event.detail or {}
            print(
                f"superstep {event.superstep}: {event.seconds or 0.0:.3f} s (nodes "
                f"{detail.get('nodes_seconds', 0.0):.3f}, python {detail.get('python_seconds', 0.0):.3f}, "
                f"module {detail.get('module_seconds', 0.0):.3f}, store {detail.get('store_seconds', 0.0):.3f}), "
                f"{detail.get('checkpoint')} checkpoint {detail.get('bytes')} bytes",
                file=self.stream,
                flush=True,
            )

    def close(self) -> None:
        pass


class TqdmProgress:
    def __init__(self, stream: TextIO) -> None:
        self.tqdm: Any = importlib.import_module("tqdm").tqdm
        self.stream = stream
        self.bar: Any = None

    def event(self, event: Event) -> None:
        if event.kind in ("run_started", "run_resumed"):
            self.bar = self.tqdm(total=None, initial=event.superstep or 0, unit="superstep", file=self.stream)
        elif event.kind == "superstep_committed" and self.bar is not None:
            self.bar.set_postfix(seconds=f"{event.seconds or 0.0:.3f}")
            self.bar.update(1)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


class RichProgress:
    def __init__(self, stream: TextIO) -> None:
        console: Any = importlib.import_module("rich.console").Console(file=stream)
        self.bar: Any = importlib.import_module("rich.progress").Progress(console=console)
        self.task: Any = None

    def event(self, event: Event) -> None:
        if event.kind in ("run_started", "run_resumed"):
            self.bar.start()
            self.task = self.bar.add_task("supersteps", total=None, completed=event.superstep or 0)
        elif event.kind == "superstep_committed" and self.task is not None:
            self.bar.update(self.task, advance=1)

    def close(self) -> None:
        self.bar.stop()


def make_progress(kind: str | Progress | None = "auto", stream: TextIO | None = None) -> Progress:
    """ "auto": a bar when `stream` is a terminal and tqdm or rich is installed, else lines;
    "lines", "tqdm", "rich", or None / "none" for silence; or any object with `event(event)`
    and `close()`."""
    if kind is None or kind == "none":
        return SilentProgress()
    if not isinstance(kind, str):
        return kind
    out = stream or sys.stderr
    if kind == "lines":
        return LineProgress(out)
    if kind == "tqdm":
        return TqdmProgress(out)
    if kind == "rich":
        return RichProgress(out)
    if kind != "auto":
        raise ValueError(f"unknown progress kind {kind!r}")
    if out.isatty():
        for bar in (TqdmProgress, RichProgress):
            try:
                return bar(out)
            except ImportError:
                continue
    return LineProgress(out)
