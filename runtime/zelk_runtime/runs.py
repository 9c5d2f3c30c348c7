"""Runs: start or continue one (`run`), answer one that waits (`resume`), branch one off
at an earlier superstep (`fork`), and check a store (`verify`, `read_run`)."""

from __future__ import annotations

import json
import os
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import zelk_core

from . import flow
from .audit import KEYED, AuditKey, Entry, Head, check_chain, check_head, check_tags, genesis, head_of
from .audit import audit_key as resolve_key
from .errors import (
    AuditError,
    ChangedCodeError,
    CheckpointError,
    StepLimitError,
    StoreError,
    UsageError,
)
from .executors import Executor, make_executor
from .graph import Graph
from .interrupts import Interrupt
from .progress import Progress, SuperstepReport, make_progress
from .records import (
    FORMAT,
    MAGIC_LENGTH,
    Answer,
    NodeRecord,
    Status,
    check_payload,
    effective_code,
    now,
    parse_manifest,
)
from .runner import Run, commit_update, instance_node, superstep
from .stores import Store, open_store
from .values import dumps, json_problem

STATUSES = ("finished", "interrupted", "stopped")


@dataclass
class RunResult:
    """The outcome of `run` or `resume`: the state after the last committed superstep."""

    store: str
    status: str  # "finished", "interrupted" or "stopped"
    state_json: str
    completed: int  # supersteps in the store, this call's included
    resumed_from: int  # supersteps in the store before this call
    cost: float = -0.0  # total over every committed superstep, earlier calls included
    head: str = ""  # where the audit log ends: "COUNT:HASH"
    interrupts: list[Interrupt] = field(default_factory=list)
    reports: list[SuperstepReport] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)  # what was mended of a crash before going on

    @property
    def state(self) -> dict[str, Any]:
        parsed: dict[str, Any] = json.loads(self.state_json)
        return parsed

    @property
    def finished(self) -> bool:
        return self.status == "finished"


@dataclass
class StoredRun:
    """A store read back and checked: its manifest and the payloads of its audit entries.
    Entry i is superstep `first + i` (a fork's entries start after its base superstep)."""

    store: str
    manifest: dict[str, Any]
    genesis: str
    entries: list[Entry]
    payloads: list[dict[str, Any]]

    @property
    def first(self) -> int:
        base = self.manifest.get("base")
        return int(base["superstep"]) + 1 if isinstance(base, dict) else 0

    @property
    def completed(self) -> int:
        return self.first + len(self.entries)

    @property
    def head(self) -> Head:
        return head_of(self.genesis, self.entries)

    @property
    def keyed(self) -> bool:
        return self.manifest.get("audit") == KEYED

    def payload(self, superstep: int) -> dict[str, Any]:
        return self.payloads[superstep - self.first]


def _check_key(location: str, manifest: Mapping[str, Any], key: AuditKey | None) -> None:
    keyed = manifest.get("audit") == KEYED
    if keyed and key is None:
        raise AuditError(
            f"store {location} has a keyed audit log: checking it needs its audit key "
            "(audit_key=, or the ZELK_AUDIT_KEY environment variable)",
            None,
        )
    if not keyed and key is not None:
        raise AuditError(
            f"store {location} has an unkeyed audit log, but an audit key was given: a keyed log "
            "stripped of its tags reads like this; if the store was never keyed, go on without the key",
            None,
        )
    if keyed and key is not None and manifest.get("key_check") != key.check():
        raise AuditError(f"the audit key given is not the key of store {location}", None)


def read_run(store: Store, key: AuditKey | None = None) -> StoredRun:
    """Read the manifest and the audit log and check them: the chain (`verify_chain`), a
    keyed log's tags and head record, that the log covers every checkpoint, and each
    payload's shape. Raises `AuditError` with the index of the first entry that does not hold.
    """
    text = store.read_manifest()
    if text is None:
        raise StoreError(f"store {store.location} holds no run")
    manifest = parse_manifest(store.location, text)
    start = genesis(text)
    entries = store.audit_entries()
    check_chain(store.location, start, entries)
    _check_key(store.location, manifest, key)
    if key is not None:
        check_tags(store.location, key, entries, store.read_head())
    stored = StoredRun(store.location, manifest, start, entries, [])
    beyond = [number for number in store.checkpoint_superstep_numbers() if number >= stored.completed]
    if beyond:
        raise AuditError(
            f"the audit log of store {store.location} was truncated: it holds {len(entries)} entries, but the "
            f"store holds checkpoints up to superstep {beyond[-1]}; refusing to go on (nothing was run again)",
            len(entries),
        )
    for index, entry in enumerate(entries):
        stored.payloads.append(
            check_payload(store.location, index, stored.first + index, entry.payload, manifest["format"])
        )
    return stored


def load_checkpoint(store: Store, stored: StoredRun, superstep: int) -> str:
    """The state text after a superstep, decoded and checked against its audit entry (or,
    for a fork's base superstep, against the manifest)."""
    name = store.checkpoint_name(superstep)
    expected = stored.manifest["base"]["state"] if superstep == stored.first - 1 else stored.payload(superstep)["state"]
    blob = store.read_checkpoint(superstep)
    try:
        zelk_core.decode_checkpoint(blob)
        body = blob[MAGIC_LENGTH:].decode("utf-8")
    except ValueError as error:  # UnicodeDecodeError included
        raise CheckpointError(f"checkpoint {name} is damaged or truncated: {error}", superstep, name) from error
    if zelk_core.hash_event("state", body) != expected:
        raise CheckpointError(
            f"checkpoint {name} does not match audit entry {superstep}: its state was changed or replaced",
            superstep,
            name,
        )
    return body


def verify(
    location: str | os.PathLike[str] | Store,
    *,
    head: str | Head | None = None,
    audit_key: bytes | str | AuditKey | None = None,
) -> StoredRun:
    """Check a whole store: the audit chain (and a keyed log's tags and head record), that
    the log covers every checkpoint, and every superstep's checkpoint. With `head`
    ("COUNT:HASH", recorded elsewhere), the log must end exactly there.
    """
    expected = None if head is None else Head.parse(head)
    store = open_store(location, create=False)
    try:
        stored = read_run(store, resolve_key(audit_key))
        if expected is not None:
            check_head(store.location, stored.head, expected)
        for superstep in range(stored.first - 1 if stored.first else 0, stored.completed):
            load_checkpoint(store, stored, superstep)
        return stored
    finally:
        if store is not location:
            store.close()


def _manifest(graph: Graph, key: AuditKey | None, **extra: Any) -> str:
    manifest: dict[str, Any] = {"format": FORMAT, "created": now(), "graph": graph.describe(), "code": graph.code()}
    if key is not None:
        manifest["audit"] = KEYED
        manifest["key_check"] = key.check()
    manifest.update(extra)
    return dumps(manifest)


def _same_graph(store: Store, manifest: Mapping[str, Any], graph: Graph) -> None:
    if manifest.get("format") != FORMAT:
        raise StoreError(
            f"store {store.location} holds a run of format {manifest.get('format')}, written by an earlier "
            "zelk_runtime; it can be verified and shown, and forked into a new store to go on"
        )
    stored = manifest["graph"]
    for part, value in graph.describe().items():
        if stored.get(part) != value:
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
        if store.audit_entries() or store.checkpoint_superstep_numbers():
            raise StoreError(f"store {store.location} holds checkpoints or audit entries but no manifest")
        text = _manifest(graph, key)
        first = Head(0, genesis(text))
        store.write_manifest(text, None if key is None else (first, key.head_tag(first)))
    else:
        notes = store.recover()
    stored = read_run(store, key)
    _same_graph(store, stored.manifest, graph)
    code, changed = _check_code(store, stored, graph, allow_changed_code)
    if stored.entries:
        last = stored.payloads[-1]
        state_text = load_checkpoint(store, stored, stored.completed - 1)
        frontier = flow.Frontier.from_record(last["next"])
    elif stored.first:
        base = stored.manifest["base"]
        state_text = load_checkpoint(store, stored, stored.first - 1)
        frontier = flow.Frontier.from_record(base["next"])
    else:
        state_text = graph.initial_state_json
        frontier = flow.first(graph.topology)
    costs = [float(payload["cost"]) for payload in stored.payloads]
    if stored.first:
        costs.insert(0, float(stored.manifest["base"]["cost"]))
    status = Status.parse(store.location, store.read_status())
    if status is not None and status.at != stored.completed:
        status = None  # left over from before the last commit
    run = Run(graph, store, key, stored.completed, state_text, frontier, stored.head.link, costs, code)
    run.changed_code = changed
    run.status = status
    run.first = stored.first
    return run, stored, notes


def _options(executor: str | Executor, workers: int | None, max_supersteps: int | None) -> None:
    if max_supersteps is not None and (isinstance(max_supersteps, bool) or max_supersteps < 0):
        raise UsageError(f"max_supersteps must not be negative, not {max_supersteps}")
    if workers is not None and workers < 1:
        raise UsageError(f"workers must be at least 1, not {workers}")


def _drive(
    run: Run,
    executor_kind: str | Executor,
    workers: int | None,
    ray_address: str | None,
    progress_kind: str | Progress | None,
    max_supersteps: int | None,
) -> tuple[str, list[Interrupt]]:
    """Run supersteps until the run finishes, waits for a person, or stops."""
    graph = run.graph
    if run.status is not None and run.status.kind == "interrupted":
        return "interrupted", run.status.interrupts  # only `resume` goes past it
    executor: Executor | None = None
    bar = make_progress(progress_kind)
    bar.start(None, run.number)
    done = 0
    try:
        while True:
            if run.frontier.empty:
                return "finished", []
            if max_supersteps is not None and done >= max_supersteps:
                return "stopped", []
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
                    return "interrupted", _wait(run, [Interrupt(name, run.number, None, "before") for name in before])
            if executor is None:
                executor = make_executor(executor_kind, workers, ray_address)
            number = run.number
            interrupts = superstep(run, executor, step)
            if interrupts:
                return "interrupted", interrupts
            done += 1
            bar.superstep(run.reports[-1])
            ran = set(step.nodes) | {target for target, _ in step.sends}
            after = sorted(ran & graph.interrupt_after)
            if after:
                return "interrupted", _wait(run, [Interrupt(name, number, None, "after") for name in after])
    finally:
        bar.close()
        if executor is not None and executor is not executor_kind:
            executor.close()


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
        state_json=run.state_text,
        completed=run.number,
        resumed_from=resumed_from,
        cost=zelk_core.aggregate_cost(run.costs),
        head=str(run.head),
        interrupts=interrupts,
        reports=run.reports,
        notes=notes,
    )


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
) -> RunResult:
    """Run `graph` on `store`, or continue the run the store holds.

    A store that already holds a run of this graph is verified (audit chain, last
    checkpoint, node code) and continued after its last committed superstep; one that
    waits at an interrupt stays waiting (see `resume`). `max_supersteps` stops this call
    after that many supersteps. With `audit_key` (or ZELK_AUDIT_KEY) a new store's audit
    log is keyed, and a keyed store can be continued only with its key.
    """
    _options(executor, workers, max_supersteps)
    key = resolve_key(audit_key)
    opened = open_store(store)
    try:
        lock = opened.lock()
        try:
            current, stored, notes = _open_run(graph, opened, key, allow_changed_code)
            status, interrupts = _drive(current, executor, workers, ray_address, progress, max_supersteps)
            return _result(current, status, interrupts, stored.completed, notes)
        finally:
            lock.release()
    finally:
        if opened is not store:
            opened.close()


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
) -> RunResult:
    """Continue a run past the interrupt it waits at.

    `answers={"node": value}` makes that node's `interrupt(...)` call return `value` when it
    runs again (a node that asked several times gets its answers in order, one per
    resume). `update={...}` is folded first, as an audited superstep of its own naming
    `author`, the time and the update. Then the run goes on as `run` does.
    """
    _options(executor, workers, max_supersteps)
    if not isinstance(author, str) or not author.strip():
        raise UsageError(f"author must be a non-empty name, not {author!r}")
    if answers is not None and not isinstance(answers, Mapping):
        raise UsageError(f"answers must be a dict of node to answer, not {type(answers).__name__}")
    key = resolve_key(audit_key)
    opened = open_store(store, create=False)
    try:
        lock = opened.lock()
        try:
            if opened.read_manifest() is None:
                raise StoreError(f"store {opened.location} holds no run to resume; start one with run")
            current, stored, notes = _open_run(graph, opened, key, allow_changed_code)
            status = current.status
            texts = _answers(graph, opened.location, status, answers or {})
            given = dict(status.answers) if status is not None else {}
            for node, answer in texts.items():
                # Each answer keeps the question it answers and who gave it.
                asked = next(item.value for item in status.interrupts if item.node == node) if status else None
                given[node] = [*given.get(node, []), Answer(asked, answer, author)]
            skip = status is not None and (
                status.skip_before or any(item.when == "before" for item in status.interrupts)
            )
            # The answers are recorded before anything runs; with an update, in the update's
            # own commit, so that no crash separates the two.
            resuming = Status("resuming", current.number + (update is not None), [], given, skip_before=skip)
            if update is not None:
                commit_update(current, update, author, resuming)
            else:
                opened.write_status(resuming.text())
            current.status = resuming
            status_now, interrupts = _drive(current, executor, workers, ray_address, progress, max_supersteps)
            return _result(current, status_now, interrupts, stored.completed, notes)
        finally:
            lock.release()
    finally:
        if opened is not store:
            opened.close()


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
) -> str:
    """A new store whose run starts from the state after `superstep` of `store`.

    The fork's manifest names the parent store and the parent's link hash at that
    superstep, so both verify and the fork's history is anchored in the parent's. The
    fork keeps the parent's graph and records the code it first runs with: running it with
    a changed node goes on from there. Returns the new store's location.
    """
    key = resolve_key(audit_key)
    parent = open_store(store, create=False)
    try:
        stored = read_run(parent, key)
        number = superstep if isinstance(superstep, int) and not isinstance(superstep, bool) else None
        if number is None or not stored.first <= number < stored.completed:
            origin = stored.manifest.get("parent")
            held = f"holds supersteps {stored.first} to {stored.completed - 1}"
            if not stored.entries:
                held = "holds no superstep of its own yet" if stored.first else "holds no superstep yet"
            earlier = ""
            if isinstance(origin, dict) and number is not None and 0 <= number < stored.first:
                earlier = f" (it is a fork: superstep {number} is in its parent {origin.get('store')}; fork that)"
            raise UsageError(f"store {parent.location} {held}; cannot fork at {superstep!r}{earlier}")
        if stored.manifest.get("format") != FORMAT:
            raise StoreError(f"store {parent.location} holds a run of format {stored.manifest.get('format')}")
        state_text = load_checkpoint(parent, stored, superstep)
        payload = stored.payload(superstep)
        link = stored.entries[superstep - stored.first].link
        costs = ([float(stored.manifest["base"]["cost"])] if stored.first else []) + [
            float(p["cost"]) for p in stored.payloads[: superstep - stored.first + 1]
        ]
        # The parent named so that it can be found from anywhere: a path made absolute.
        parent_location = parent.location if "://" in parent.location else os.path.abspath(parent.location)
    finally:
        if parent is not store:
            parent.close()
    target = open_store(into)
    try:
        lock = target.lock()
        try:
            if target.read_manifest() is not None or target.audit_entries() or target.checkpoint_superstep_numbers():
                raise UsageError(f"store {target.location} is not empty; fork into a new store")
            manifest: dict[str, Any] = {
                "format": FORMAT,
                "created": now(),
                "graph": stored.manifest["graph"],
                "code": None,
                "base": {
                    "superstep": superstep,
                    "state": payload["state"],
                    "next": payload["next"],
                    "cost": zelk_core.aggregate_cost(costs),
                },
                "parent": {"store": parent_location, "superstep": superstep, "link": link},
            }
            if key is not None:
                manifest["audit"] = KEYED
                manifest["key_check"] = key.check()
            text = dumps(manifest)
            target.write_base(superstep, zelk_core.encode_checkpoint(state_text))
            first = Head(0, genesis(text))
            target.write_manifest(text, None if key is None else (first, key.head_tag(first)))
            return target.location
        finally:
            lock.release()
    finally:
        target.close()
