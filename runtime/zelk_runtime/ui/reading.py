"""A run read back for its pages: what it did, where it stands, and what it waits for.

Reading never writes and never takes the store's lock, so a run may be going on in another
process while its page is open. Its writer commits in steps (an entry, then the checkpoint
under its final name), so a read that lands between two of them can see a store that looks
short or truncated for a moment: a failed read is tried again twice, a few tens of
milliseconds apart, before its error is the run's. Any error is kept as the run's text and
shown on its page; the other runs are read as ever.
"""

from __future__ import annotations

import json
import time
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from datetime import datetime
from typing import Any, TypeVar

import zelk_core

from ..audit import AuditKey
from ..draw import Drawing, RunMarks, describe_drawing, run_marks
from ..errors import RuntimeFailure
from ..history import StoredRun, load_checkpoint, read_run, verify
from ..interrupts import Interrupt
from ..records import NodeRecord, Status
from ..runner import instance_node
from .sources import RunRef, open_run, running

FINISHED, WAITING, RUNNING, RESUMING, STOPPED, UNREADABLE = (
    "finished",
    "waiting",
    "running",
    "resuming",
    "stopped",
    "unreadable",
)
TRIES = 3
PAUSE = 0.04


@dataclass
class Progress:
    """A node instance that finished in the superstep in progress."""

    node: str
    cost: float | None


@dataclass
class RunView:
    ref: RunRef
    state: str
    error: str | None = None
    stored: StoredRun | None = None
    status: Status | None = None  # the status record, when it is the run's current one
    progress: list[Progress] = field(default_factory=list)
    model: Drawing | None = None
    marks: RunMarks | None = None

    @property
    def completed(self) -> int:
        return self.stored.completed if self.stored is not None else 0

    @property
    def head(self) -> str:
        return str(self.stored.head) if self.stored is not None else ""

    @property
    def waiting(self) -> list[Interrupt]:
        if self.status is None or self.status.kind != "interrupted":
            return []
        return self.status.interrupts

    @property
    def cost(self) -> float:
        if self.stored is None:
            return 0.0
        base = self.stored.base
        costs = ([float(base["cost"])] if base is not None else []) + [float(p["cost"]) for p in self.stored.payloads]
        return float(zelk_core.aggregate_cost(costs))

    @property
    def created(self) -> datetime | None:
        return moment(self.stored.manifest.get("created")) if self.stored is not None else None

    @property
    def last(self) -> datetime | None:
        """When the last superstep was committed."""
        if self.stored is None or not self.stored.payloads:
            return None
        return moment(self.stored.payloads[-1].get("time"))

    @property
    def seconds(self) -> float | None:
        """From the run's creation to its last commit (to now while it runs)."""
        start = self.created
        end = datetime.now(start.tzinfo) if self.state == RUNNING and start is not None else self.last
        if start is None or end is None:
            return None
        return max(0.0, (end - start).total_seconds())

    @property
    def version(self) -> str:
        """Changes whenever something its page shows changes (but the clock)."""
        return "|".join([self.state, self.head, str(len(self.progress)), self.error or "", self.ref.queue or ""])


def moment(value: Any) -> datetime | None:
    """An ISO time of a record, or None."""
    if not isinstance(value, str):
        return None
    try:
        return datetime.fromisoformat(value)
    except ValueError:
        return None


def _finished(stored: StoredRun) -> bool:
    following = stored.payloads[-1].get("next") if stored.payloads else (stored.base or {}).get("next")
    return isinstance(following, dict) and not following.get("nodes") and not following.get("sends")


def _read(ref: RunRef, key: AuditKey | None, drawn: bool) -> RunView:
    store = open_run(ref)
    try:
        held = running(ref)
        stored = read_run(store, key)
        status = Status.parse(store.location, store.read_status())
        if status is not None and status.at != stored.completed:
            status = None  # left over from before the last commit
        results = store.results(stored.completed)
    finally:
        store.close()
    progress = []
    for instance, text in sorted(results.items()):
        record = NodeRecord.parse(text)
        progress.append(Progress(instance_node(instance), None if record is None else record.cost))
    if held:
        state = RUNNING
    elif ref.queue is not None and ref.queue not in ("interrupted", "finished"):
        state = ref.queue
    elif status is not None and status.kind == "interrupted":
        state = WAITING
    elif status is not None and status.kind == "resuming":
        state = RESUMING
    elif _finished(stored):
        state = FINISHED
    else:
        state = STOPPED
    view = RunView(ref, state, stored=stored, status=status, progress=progress)
    if drawn:
        view.model = describe_drawing(stored.manifest.get("graph"), f"the manifest of store {ref.shown}")
        view.marks = run_marks(view.model, stored, status)
    return view


T = TypeVar("T")


def retried(read: Callable[[], T]) -> T:
    """`read()`, tried again after a short pause when it fails (a writer between two steps)."""
    for _ in range(TRIES - 1):
        try:
            return read()
        except Exception:
            time.sleep(PAUSE)
    return read()


def read_view(ref: RunRef, key: AuditKey | None, *, drawn: bool = False) -> RunView:
    """The run as its pages show it; `drawn` adds the drawing of its graph and what ran.
    An unreadable run comes back with its error, never as an exception."""
    try:
        return retried(lambda: _read(ref, key, drawn))
    except Exception as error:  # a broken store's error is shown on its page, whatever it is
        return RunView(ref, UNREADABLE, error=error_text(error))


def load_states(ref: RunRef, key: AuditKey | None, numbers: Iterable[int]) -> dict[int, Any]:
    """The states after the supersteps `numbers`; raises the store's error."""
    wanted = sorted(set(numbers))

    def load() -> dict[int, Any]:
        store = open_run(ref)
        try:
            stored = read_run(store, key)
            return {number: json.loads(load_checkpoint(store, stored, number)) for number in wanted}
        finally:
            store.close()

    return retried(load)


def check_store(ref: RunRef, key: AuditKey | None) -> tuple[bool, str]:
    """`verify` over the whole store: whether it holds, and what was checked or what failed."""

    def check() -> StoredRun:
        store = open_run(ref)
        try:
            return verify(store, audit_key=key)
        finally:
            store.close()

    try:
        stored = retried(check)
    except Exception as error:  # a tampered store's error is the result
        return False, error_text(error)
    count = stored.completed - stored.first + (1 if stored.base is not None else 0)
    kind = "keyed audit chain" if stored.keyed else "audit chain"
    return True, f"{kind} of {len(stored.entries)} entries intact; {count} checkpoints match their entries"


def error_text(error: BaseException) -> str:
    """The runtime's own message for its errors; the exception's name before any other's."""
    if isinstance(error, RuntimeFailure):
        return str(error)
    return f"{type(error).__name__}: {error}"
