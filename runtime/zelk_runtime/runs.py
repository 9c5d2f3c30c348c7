"""Runs: start or continue one (`run`, or `stream` to watch its events), answer one that
waits (`resume`), and branch one off at an earlier superstep (`fork`)."""

from __future__ import annotations

import os
from collections.abc import Callable, Generator, Iterator, Mapping
from dataclasses import dataclass, field
from typing import Any

import zelk_core

from . import flow, tracing, view
from .audit import KEYED, AuditKey, Head, genesis
from .audit import audit_key as resolve_key
from .errors import ChangedCodeError, RuntimeFailure, StepLimitError, StoreError, StoreUnavailable, UsageError
from .events import Event, Listener, event
from .executors import Executor, make_executor
from .graph import Graph
from .history import StoredRun, checkpointing, load_checkpoint, read_run
from .interrupts import Interrupt
from .progress import Progress, SuperstepReport, make_progress
from .records import FORMAT, Answer, NodeRecord, Status, effective_code, now
from .runner import Run, commit_update, instance_node, superstep
from .states import Checkpointing, blob_hash
from .stores import PgStore, Store, open_store
from .values import dumps, json_problem

STATUSES = ("finished", "interrupted", "stopped", "queued")


@dataclass
class RunResult:
    """The outcome of `run` or `resume`: the state after the last committed superstep."""

    store: str
    status: str  # "finished", "interrupted" or "stopped"; "queued" when resume handed a submitted run back
    completed: int  # supersteps in the store, this call's included
    resumed_from: int  # supersteps in the store before this call
    cost: float = -0.0  # total over every committed superstep, earlier calls included
    head: str = ""  # where the audit log ends: "COUNT:HASH"
    interrupts: list[Interrupt] = field(default_factory=list)
    reports: list[SuperstepReport] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)  # what was mended of a crash before going on
    _view: Any = field(default=None, repr=False)
    _text: str | None = field(default=None, repr=False)

    @property
    def state_json(self) -> str:
        """The module's compact text of the state (made on first use)."""
        if self._text is None:
            self._text = zelk_core.advance_superstep(dumps(self._view), "{}", "[]")
        return self._text

    @property
    def state(self) -> dict[str, Any]:
        """The state as plain, changeable Python values."""
        thawed: dict[str, Any] = view.thaw(self._view)
        return thawed

    @property
    def finished(self) -> bool:
        return self.status == "finished"


def _base(blob: bytes, superstep: int, following: Any, cost: float) -> dict[str, Any]:
    """The manifest's record of the state a run starts from, stored as superstep `superstep`."""
    return {
        "superstep": superstep,
        "checkpoint_bytes": len(blob),
        "sha256": blob_hash(blob),
        "next": following,
        "cost": cost,
    }


def _create(graph: Graph, store: Store, key: AuditKey | None) -> StoredRun:
    """A new run in an empty store: its base state (the initial state) and its manifest."""
    if store.audit_entries() or store.checkpoint_superstep_numbers():
        raise StoreError(f"store {store.location} holds checkpoints or audit entries but no manifest")
    blob = zelk_core.encode_checkpoint(graph.initial_state_json)
    manifest: dict[str, Any] = {
        "format": FORMAT,
        "created": now(),
        "graph": graph.describe(),
        "code": graph.code(),
        "base": _base(blob, -1, None, 0.0),
    }
    if key is not None:
        manifest["audit"] = KEYED
        manifest["key_check"] = key.check()
    text = dumps(manifest)
    store.write_base(-1, blob)
    start = Head(0, genesis(text))
    store.write_manifest(text, None if key is None else (start, key.head_tag(start)))
    return StoredRun(store.location, manifest, start.link, [], [])


def _same_graph(store: Store, manifest: Mapping[str, Any], graph: Graph) -> None:
    if manifest.get("format") != FORMAT:
        raise StoreError(
            f"store {store.location} holds a run of format {manifest.get('format')}, written by an earlier "
            "zelk_runtime; it can be verified and shown, and forked into a new store to go on"
        )
    stored = manifest["graph"]
    for part, value in graph.describe().items():
        if part == "edges":
            same = isinstance(stored.get(part), list) and {tuple(edge) for edge in stored[part]} == {
                tuple(edge) for edge in value
            }
        else:
            same = stored.get(part) == value
        if not same:
            raise StoreError(
                f"store {store.location} holds a run of another graph (its {part.replace('_', ' ')} differs); "
                "use a new store to run this graph"
            )


def _check_code(
    store: Store, stored: StoredRun, graph: Graph, allow: bool
) -> tuple[dict[str, dict[str, str]], list[str]]:
    """The store's fingerprints, refusing nodes whose code changed after they ran here."""
    code = effective_code(stored.manifest, stored.payloads)
    ran = {name for payload in stored.payloads for name in payload.get("nodes", ())}
    current = graph.code()
    # A result of the superstep in progress names the code that made it: one made by a node
    # changed before its first committed run is no change.
    made = set()
    for key, text in store.results(stored.completed).items():
        name, record = instance_node(key), NodeRecord.parse(text)
        if record is None or record.code is None:
            ran.add(name)
        elif record.code != current["nodes"][name]:
            made.add(name)
    changed = sorted(
        made
        | {name for name in ran if code["nodes"].get(name, current["nodes"][name]) != current["nodes"][name]}
        | {
            name
            for name in ran & graph.branches.keys()
            if code["routes"].get(name, current["routes"][name]) != current["routes"][name]
        }
    )
    if changed and not allow:
        raise ChangedCodeError(
            f"the code of {', '.join(map(repr, changed))} changed since {'it' if len(changed) == 1 else 'they'} ran "
            f"in store {store.location}; going on would mix results of the old and the new code in one state. "
            "Pass allow_changed_code=True (--allow-changed-code) to go on anyway (the audit log records it), "
            "or fork the run at an earlier superstep",
            changed,
        )
    return code, changed  # a fork's manifest has no code: its entries record the code it runs with


def _open_run(
    graph: Graph, store: Store, key: AuditKey | None, allow_changed_code: bool
) -> tuple[Run, StoredRun, list[str]]:
    """The run a store holds (started if it holds none), checked and ready to go on."""
    notes: list[str] = []
    if store.read_manifest() is None:
        stored = _create(graph, store, key)
        text = graph.initial_state_json
    else:
        notes = store.recover()
        stored = read_run(store, key)
        _same_graph(store, stored.manifest, graph)
        text = load_checkpoint(store, stored, stored.completed - 1)
    state = view.load(text)
    size = len(text)
    del text  # a large state is held once, as the view
    code, changed = _check_code(store, stored, graph, allow_changed_code)
    if stored.entries:
        frontier = flow.Frontier.from_record(stored.payloads[-1]["next"])
    elif stored.base is not None and stored.base["next"] is not None:
        frontier = flow.Frontier.from_record(stored.base["next"])
    else:
        frontier = flow.first(graph.topology)
    costs = [float(stored.base["cost"])] if stored.base is not None else []
    costs += [float(payload["cost"]) for payload in stored.payloads]
    status = Status.parse(store.location, store.read_status())
    if status is not None and status.at != stored.completed:
        status = None  # left over from before the last commit
    rhythm: Checkpointing = checkpointing(store, stored)
    rhythm.state_bytes = size
    run = Run(graph, store, key, stored.completed, state, frontier, stored.head.link, costs, code, rhythm)
    run.changed_code = changed
    run.status = status
    run.first = stored.first
    return run, stored, notes


@dataclass(frozen=True)
class Options:
    """How `run`, `resume` and `stream` drive a run (checked when made)."""

    executor: str | Executor = "threads"
    workers: int | None = None
    ray_address: str | None = None
    max_supersteps: int | None = None
    audit_key: bytes | str | AuditKey | None = None
    allow_changed_code: bool = False
    run_id: str | None = None
    node_events: bool = True  # whether events of each node are wanted (someone follows them)

    def __post_init__(self) -> None:
        steps = self.max_supersteps
        if steps is not None and (isinstance(steps, bool) or steps < 0):
            raise UsageError(f"max_supersteps must not be negative, not {steps}")
        if self.workers is not None and self.workers < 1:
            raise UsageError(f"workers must be at least 1, not {self.workers}")


Drive = Generator[Event, None, tuple[str, list[Interrupt]]]


def _drive(
    run: Run,
    executor_kind: str | Executor,
    workers: int | None,
    ray_address: str | None,
    max_supersteps: int | None,
    resumed: bool,
) -> Drive:
    """Run supersteps until the run finishes, waits for a person, or stops, yielding the
    events as they happen; returns the status and the interrupts it waits at."""
    graph = run.graph
    opened = "run_resumed" if resumed else "run_started"
    # The superstep the store stood at when opened: an update `resume` folded since is told next.
    yield event(opened, run.number - len(run.told), detail={"store": run.store.location})
    yield from run.told
    run.told.clear()
    if run.status is not None and run.status.kind == "interrupted":
        # Only `resume` goes past an interrupt.
        return (yield from _ended(run, "interrupted", run.status.interrupts))
    executor: Executor | None = None
    done = 0
    try:
        while True:
            if run.frontier.empty:
                return (yield from _ended(run, "finished", []))
            if max_supersteps is not None and done >= max_supersteps:
                return (yield from _ended(run, "stopped", []))
            if run.number >= graph.step_limit:
                raise StepLimitError(
                    f"the run would start superstep {run.number}, but the graph's step_limit is {graph.step_limit}: "
                    "a loop that does not end? The store keeps every superstep done; run again with a higher "
                    "step_limit to go on",
                    run.number,
                )
            step = flow.select(graph.topology, run.frontier)
            skip = run.status is not None and run.status.skip_before
            if not skip:
                before = sorted(({*step.nodes} | {target for target, _ in step.sends}) & graph.interrupt_before)
                if before:
                    waiting = _wait(run, [Interrupt(name, run.number, None, "before") for name in before])
                    return (yield from _ended(run, "interrupted", waiting))
            if executor is None:
                executor = make_executor(executor_kind, workers, ray_address)
            number = run.number
            interrupts = yield from superstep(run, executor, step)
            if interrupts:
                return (yield from _ended(run, "interrupted", interrupts))
            done += 1
            ran = set(step.nodes) | {target for target, _ in step.sends}
            after = sorted(ran & graph.interrupt_after)
            if after:
                waiting = _wait(run, [Interrupt(name, number, None, "after") for name in after])
                return (yield from _ended(run, "interrupted", waiting))
    finally:
        if executor is not None and executor is not executor_kind:
            executor.close()


def _ended(run: Run, status: str, interrupts: list[Interrupt]) -> Drive:
    if status == "interrupted":
        records = [item.record() for item in interrupts]
        yield event("interrupted", run.number, detail={"interrupts": records, "head": str(run.head)})
    else:
        detail = {"head": str(run.head), "supersteps": run.number}
        yield event(status, run.number, cost=zelk_core.aggregate_cost(run.costs), detail=detail)
    return status, interrupts


def _wait(run: Run, interrupts: list[Interrupt]) -> list[Interrupt]:
    before = run.status
    carried = dict(before.answers) if before is not None else {}
    run.status = Status("interrupted", run.number, interrupts, carried)
    run.store.write_status(run.status.text())
    return interrupts


def _result(run: Run, status: str, interrupts: list[Interrupt], resumed_from: int, notes: list[str]) -> RunResult:
    return RunResult(
        store=run.store.location,
        status=status,
        completed=run.number,
        resumed_from=resumed_from,
        cost=zelk_core.aggregate_cost(run.costs),
        head=str(run.head),
        interrupts=interrupts,
        reports=run.reports,
        notes=notes,
        _view=run.view,
    )


def _listeners(progress: str | Progress | None, on_event: Listener | None) -> tuple[Progress, list[Listener]]:
    bar = make_progress(progress)
    listeners: list[Listener] = [bar.event]
    if on_event is not None:
        if not callable(on_event):
            raise UsageError(f"on_event must be a callable taking an Event, not {on_event!r}")
        listeners.append(on_event)
    return bar, listeners


def _session(
    graph: Graph,
    store: str | os.PathLike[str] | Store,
    options: Options,
    prepare: Callable[[Run, Store], None] | None,
    create: bool,
) -> Generator[Event, None, RunResult]:
    """Open the store under its lock, get the run ready, and drive it: the one road of
    `run`, `resume` and `stream`."""
    key = resolve_key(options.audit_key)
    opened = open_store(store, create=create, run_id=options.run_id)
    try:
        lock = opened.lock()
        outcome: str | None = None  # what became of the run, for a store that keeps it (None: nothing ran)
        failure: str | None = None
        driving = False
        try:
            if not create and opened.read_manifest() is None:
                raise StoreError(f"store {opened.location} holds no run to resume; start one with run")
            current, stored, notes = _open_run(graph, opened, key, options.allow_changed_code)
            spans = tracing.spans()
            current.node_events = options.node_events or spans is not None
            if prepare is not None:
                prepare(current, opened)
                if isinstance(opened, PgStore) and opened.submitted and not opened.adopted:
                    # A run of the queue goes on under a worker: the answers are recorded, and
                    # the run waits for one to claim it.
                    outcome = "queued"
                    return _result(current, "queued", [], stored.completed, notes)
            drive = _drive(
                current,
                options.executor,
                options.workers,
                options.ray_address,
                options.max_supersteps,
                resumed=bool(stored.entries) or stored.forked,
            )
            driving = True
            status, interrupts = yield from (drive if spans is None else tracing.traced(drive, spans))
            outcome = status
            return _result(current, status, interrupts, stored.completed, notes)
        except (GeneratorExit, KeyboardInterrupt):
            outcome = "stopped" if driving else None
            raise
        except StoreUnavailable:
            outcome = None  # the run itself is sound: it goes on when the store is back
            raise
        except BaseException as error:
            failure = str(error) if isinstance(error, RuntimeFailure) else f"{type(error).__name__}: {error}"
            outcome = "failed" if driving else None
            raise
        finally:
            lock.release(outcome, failure)
    finally:
        if opened is not store:
            opened.close()


def _finish(session: Generator[Event, None, RunResult], progress: Any, on_event: Listener | None) -> RunResult:
    bar, listeners = _listeners(progress, on_event)
    try:
        while True:
            try:
                event = next(session)
            except StopIteration as ended:
                result: RunResult = ended.value
                return result
            for listener in listeners:
                listener(event)
    finally:
        bar.close()
        session.close()


def run(
    graph: Graph,
    store: str | os.PathLike[str] | Store,
    *,
    executor: str | Executor = "threads",
    workers: int | None = None,
    ray_address: str | None = None,
    progress: str | Progress | None = "auto",
    max_supersteps: int | None = None,
    audit_key: bytes | str | AuditKey | None = None,
    allow_changed_code: bool = False,
    on_event: Listener | None = None,
    run_id: str | None = None,
) -> RunResult:
    """Run `graph` on `store`, or continue the run the store holds.

    A store that already holds a run of this graph is verified (audit chain, last
    checkpoint, node code) and continued after its last committed superstep; one that
    waits at an interrupt stays waiting (see `resume`). `max_supersteps` stops this call
    after that many supersteps. With `audit_key` (or ZELK_AUDIT_KEY) a new store's audit
    log is keyed, and a keyed store can be continued only with its key. `on_event` is
    called with every event of the run as it happens (see zelk_runtime.events). A
    PostgreSQL store (a postgresql:// URL) holds many runs: `run_id` names this one.
    """
    options = Options(
        executor=executor,
        workers=workers,
        ray_address=ray_address,
        max_supersteps=max_supersteps,
        audit_key=audit_key,
        allow_changed_code=allow_changed_code,
        node_events=on_event is not None,
        run_id=run_id,
    )
    return _finish(_session(graph, store, options, None, create=True), progress, on_event)


class EventStream(Iterator[Event]):
    """The events of a run as it goes; once they are all taken, `result` is the RunResult.
    Closing the stream early (or leaving a `for` loop) stops the run after the event it is
    at: what is committed stays, and the store's lock is released."""

    def __init__(self, session: Generator[Event, None, RunResult]) -> None:
        self._session = session
        self.result: RunResult | None = None

    def __iter__(self) -> EventStream:
        return self

    def __next__(self) -> Event:
        try:
            return next(self._session)
        except StopIteration as ended:
            self.result = ended.value
            raise StopIteration from None

    def close(self) -> None:
        self._session.close()

    def __enter__(self) -> EventStream:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def stream(
    graph: Graph,
    store: str | os.PathLike[str] | Store,
    *,
    executor: str | Executor = "threads",
    workers: int | None = None,
    ray_address: str | None = None,
    max_supersteps: int | None = None,
    audit_key: bytes | str | AuditKey | None = None,
    allow_changed_code: bool = False,
    run_id: str | None = None,
) -> EventStream:
    """`run`, yielding its events as they happen:

    for event in stream(graph, "runs/first"):
        print(event.kind, event.superstep, event.node)
    """
    options = Options(
        executor=executor,
        workers=workers,
        ray_address=ray_address,
        max_supersteps=max_supersteps,
        audit_key=audit_key,
        allow_changed_code=allow_changed_code,
        run_id=run_id,
    )
    return EventStream(_session(graph, store, options, None, create=True))


def resume(
    graph: Graph,
    store: str | os.PathLike[str] | Store,
    *,
    answers: Mapping[str, Any] | None = None,
    update: Mapping[str, Any] | None = None,
    author: str = "human",
    executor: str | Executor = "threads",
    workers: int | None = None,
    ray_address: str | None = None,
    progress: str | Progress | None = "auto",
    max_supersteps: int | None = None,
    audit_key: bytes | str | AuditKey | None = None,
    allow_changed_code: bool = False,
    on_event: Listener | None = None,
    run_id: str | None = None,
) -> RunResult:
    """Continue a run past the interrupt it waits at.

    `answers={"node": value}` makes that node's `interrupt(...)` call return `value` when it
    runs again (a node that asked several times gets its answers in order, one per
    resume). `update={...}` is folded first, as an audited superstep of its own naming
    `author`, the time and the update. Then the run goes on as `run` does; a run submitted
    to the workers of a PostgreSQL store goes back to their queue instead (status "queued").
    """
    if not isinstance(author, str) or not author.strip():
        raise UsageError(f"author must be a non-empty name, not {author!r}")
    if answers is not None and not isinstance(answers, Mapping):
        raise UsageError(f"answers must be a dict of node to answer, not {type(answers).__name__}")

    def answer(current: Run, opened: Store) -> None:
        status = current.status
        texts = _answers(graph, opened.location, status, answers or {})
        given = dict(status.answers) if status is not None else {}
        for node, text in texts.items():
            # Each answer keeps the question it answers and who gave it.
            asked = next(item.value for item in status.interrupts if item.node == node) if status else None
            given[node] = [*given.get(node, []), Answer(asked, text, author)]
        skip = status is not None and (status.skip_before or any(item.when == "before" for item in status.interrupts))
        # The answers are recorded before anything runs; with an update, in the update's own
        # commit, so that no crash separates the two.
        resuming = Status("resuming", current.number + (update is not None), [], given, skip_before=skip)
        if update is not None:
            commit_update(current, update, author, resuming)
        else:
            opened.write_status(resuming.text())
        current.status = resuming

    options = Options(
        executor=executor,
        workers=workers,
        ray_address=ray_address,
        max_supersteps=max_supersteps,
        audit_key=audit_key,
        allow_changed_code=allow_changed_code,
        node_events=on_event is not None,
        run_id=run_id,
    )
    return _finish(_session(graph, store, options, answer, create=False), progress, on_event)


def _answers(graph: Graph, location: str, status: Status | None, answers: Mapping[str, Any]) -> dict[str, str]:
    """The answers as JSON texts, each for a node that waits at an interrupt() call."""
    asked = {item.node for item in status.interrupts if item.when == "call"} if status is not None else set()
    texts = {}
    for node, answer in answers.items():
        if node not in graph.nodes:
            raise UsageError(f"answers name unknown node {node!r}")
        if node not in asked:
            waiting = ", ".join(sorted(asked)) or "none"
            raise UsageError(
                f"node {node!r} of store {location} is not waiting for an answer (waiting at interrupt(): {waiting})"
            )
        problem = json_problem(answer, f"the answer for node {node!r}")
        if problem is not None:
            raise UsageError(problem)
        texts[node] = dumps(answer)
    return texts


def fork(
    store: str | os.PathLike[str] | Store,
    superstep: int,
    into: str | os.PathLike[str],
    *,
    audit_key: bytes | str | AuditKey | None = None,
    run_id: str | None = None,
    into_run_id: str | None = None,
) -> str:
    """A new store whose run starts from the state after `superstep` of `store`.

    The fork's manifest names the parent store and the parent's link hash at that
    superstep, so both verify and the fork's history is anchored in the parent's. The
    fork keeps the parent's graph and records the code it first runs with: running it with
    a changed node goes on from there. Returns the new store's location. In a PostgreSQL
    database `run_id` names the parent run and `into_run_id` the new one (or URL#NAME).
    """
    key = resolve_key(audit_key)
    parent = open_store(store, create=False, run_id=run_id)
    try:
        stored = read_run(parent, key)
        number = superstep if isinstance(superstep, int) and not isinstance(superstep, bool) else None
        if number is None or not stored.first <= number < stored.completed:
            origin = stored.manifest.get("parent")
            held = f"holds supersteps {stored.first} to {stored.completed - 1}"
            if not stored.entries:
                held = "holds no superstep of its own yet" if stored.forked else "holds no superstep yet"
            earlier = ""
            if isinstance(origin, dict) and number is not None and 0 <= number < stored.first:
                earlier = f" (it is a fork: superstep {number} is in its parent {origin.get('store')}; fork that)"
            raise UsageError(f"store {parent.location} {held}; cannot fork at {superstep!r}{earlier}")
        if stored.manifest.get("format") != FORMAT:
            raise StoreError(f"store {parent.location} holds a run of format {stored.manifest.get('format')}")
        blob = zelk_core.encode_checkpoint(load_checkpoint(parent, stored, superstep))
        payload = stored.payload(superstep)
        link = stored.entries[superstep - stored.first].link
        costs = ([float(stored.base["cost"])] if stored.base is not None else []) + [
            float(p["cost"]) for p in stored.payloads[: superstep - stored.first + 1]
        ]
        # The parent named so that it can be found from anywhere: a path made absolute.
        parent_location = parent.location if "://" in parent.location else os.path.abspath(parent.location)
    finally:
        if parent is not store:
            parent.close()
    target = open_store(into, run_id=into_run_id)
    try:
        lock = target.lock()
        made = False
        try:
            if target.read_manifest() is not None or target.audit_entries() or target.checkpoint_superstep_numbers():
                raise UsageError(f"store {target.location} is not empty; fork into a new store")
            manifest: dict[str, Any] = {
                "format": FORMAT,
                "created": now(),
                "graph": stored.manifest["graph"],
                "code": None,
                "base": _base(blob, superstep, payload["next"], zelk_core.aggregate_cost(costs)),
                "parent": {"store": parent_location, "superstep": superstep, "link": link},
            }
            if key is not None:
                manifest["audit"] = KEYED
                manifest["key_check"] = key.check()
            text = dumps(manifest)
            target.write_base(superstep, blob)
            start = Head(0, genesis(text))
            target.write_manifest(text, None if key is None else (start, key.head_tag(start)))
            made = True
            return target.location
        finally:
            lock.release("new" if made else None)
    finally:
        target.close()
