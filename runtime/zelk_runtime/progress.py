"""Progress per superstep: a bar on a terminal (tqdm or rich when installed), lines otherwise."""

from __future__ import annotations

import importlib
import sys
from dataclasses import dataclass
from typing import Any, Protocol, TextIO


@dataclass(frozen=True)
class SuperstepReport:
    """What one completed superstep took. Times are wall-clock seconds."""

    superstep: int
    nodes: int
    nodes_seconds: float  # running the nodes
    python_seconds: float  # parsing the state, checking and serialising the updates
    module_seconds: float  # advance_superstep, encode_checkpoint, hash_event
    store_seconds: float  # writing the checkpoint and the audit entry
    checkpoint_bytes: int
    cost: float

    @property
    def seconds(self) -> float:
        return self.nodes_seconds + self.python_seconds + self.module_seconds + self.store_seconds


class Progress(Protocol):
    def start(self, total: int | None, done: int) -> None: ...
    def superstep(self, report: SuperstepReport) -> None: ...
    def close(self) -> None: ...


class SilentProgress:
    def start(self, total: int | None, done: int) -> None:
        pass

    def superstep(self, report: SuperstepReport) -> None:
        pass

    def close(self) -> None:
        pass


class LineProgress:
    """One plain line per superstep."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream

    def start(self, total: int | None, done: int) -> None:
        if done:
            print(f"resuming after superstep {done - 1}", file=self.stream, flush=True)

    def superstep(self, report: SuperstepReport) -> None:
        print(
            f"superstep {report.superstep}: {report.nodes} nodes in {report.seconds:.3f} s "
            f"(nodes {report.nodes_seconds:.3f}, python {report.python_seconds:.3f}, "
            f"module {report.module_seconds:.3f}, store {report.store_seconds:.3f}), "
            f"checkpoint {report.checkpoint_bytes} bytes",
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

    def start(self, total: int | None, done: int) -> None:
        self.bar = self.tqdm(total=total, initial=done, unit="superstep", file=self.stream)

    def superstep(self, report: SuperstepReport) -> None:
        self.bar.set_postfix(nodes=report.nodes, seconds=f"{report.seconds:.3f}")
        self.bar.update(1)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


class RichProgress:
    def __init__(self, stream: TextIO) -> None:
        console: Any = importlib.import_module("rich.console").Console(file=stream)
        self.bar: Any = importlib.import_module("rich.progress").Progress(console=console)
        self.task: Any = None

    def start(self, total: int | None, done: int) -> None:
        self.bar.start()
        self.task = self.bar.add_task("supersteps", total=total, completed=done)

    def superstep(self, report: SuperstepReport) -> None:
        self.bar.update(self.task, advance=1)

    def close(self) -> None:
        self.bar.stop()


def make_progress(kind: str | Progress | None = "auto", stream: TextIO | None = None) -> Progress:
    """ "auto": a bar when `stream` is a terminal and tqdm or rich is installed, else lines;
    "lines", "tqdm", "rich", or None / "none" for silence."""
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
