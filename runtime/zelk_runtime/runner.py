"""Running a graph superstep by superstep through the module, and resuming a stored run.

One superstep: parse the state text once into the dict the nodes read, run the nodes,
check their updates and serialise them as one JSON list in the superstep's order, fold
them with `advance_superstep`, frame the state with `encode_checkpoint`, and chain an
audit entry with `hash_event`. The run carries on from the checkpoint's body text, the
very text a resumed run reads back, so an interrupted and resumed run and an uninterrupted
one fold the same texts.
"""

from __future__ import annotations

import json
import math
import os
import time
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from datetime import UTC, datetime
from typing import Any

import zelk_core

from .audit import KEYED, AuditKey, Entry, Head, check_chain, check_head, check_tags, genesis, head_of
from .audit import audit_key as resolve_key
from .errors import AuditError, CheckpointError, NodeError, RuntimeFailure, StoreError
from .executors import Executor, Outcome, make_executor
from .graph import Graph, Output, dumps, json_problem
from .progress import Progress, SuperstepReport, make_progress
from .stores import Store, lock_store, open_store

MANIFEST_FORMAT = 1
MAGIC_LENGTH = 5  # "ZELK" and the version byte before a checkpoint's JSON body


@dataclass
class RunResult:
    """The outcome of `run`: the state after the last completed superstep, and what ran."""

    store: str
    state_json: str
    supersteps: int  # in the plan
    completed: int  # done in the store, this call included
    resumed_from: int  # done before this call started
    reports: list[SuperstepReport] = field(default_factory=list)
    cost: float = -0.0  # total over every completed superstep, earlier calls included
    dropped_torn_entry: bool = False
    head: str = ""  # where the audit log ends: "COUNT:HASH"

    @property
    def state(self) -> dict[str, Any]:
        parsed: dict[str, Any] = json.loads(self.state_json)
        return parsed

    @property
    def finished(self) -> bool:
        return self.completed == self.supersteps


@dataclass
class StoredRun:
    """A store read back and checked: its manifest and the payloads of its audit entries."""

    store: str
    manifest: dict[str, Any]
    genesis: str
    entries: list[Entry]
    payloads: list[dict[str, Any]]

    @property
    def head(self) -> Head:
        return head_of(self.genesis, self.entries)

    @property
    def keyed(self) -> bool:
        return self.manifest.get("audit") == KEYED

    @property
    def plan(self) -> list[list[str]]:
        plan: list[list[str]] = self.manifest["graph"]["plan"]
        return plan

    @property
    def completed(self) -> int:
        return len(self.entries)


def _now() -> str:
    return datetime.now(UTC).isoformat(timespec="microseconds")


def _manifest_text(graph: Graph, key: AuditKey | None) -> str:
    manifest: dict[str, Any] = {"format": MANIFEST_FORMAT, "created": _now(), "graph": graph.describe()}
    if key is not None:
        manifest["audit"] = KEYED
        manifest["key_check"] = key.check()
    return dumps(manifest)


def _parse_manifest(store: Store, text: str) -> dict[str, Any]:
    try:
        manifest = json.loads(text)
    except ValueError as error:
        raise StoreError(f"the manifest of store {store.location} is not JSON: {error}") from error
    if not isinstance(manifest, dict) or manifest.get("format") != MANIFEST_FORMAT or "graph" not in manifest:
        raise StoreError(f"store {store.location} has no run manifest of format {MANIFEST_FORMAT}")
    return manifest


def _check_key(store: Store, manifest: dict[str, Any], key: AuditKey | None) -> None:
    keyed = manifest.get("audit") == KEYED
    if keyed and key is None:
        raise AuditError(
            f"store {store.location} has a keyed audit log: checking it needs its audit key "
            "(audit_key=, or the ZELK_AUDIT_KEY environment variable)",
            None,
        )
    if not keyed and key is not None:
        raise AuditError(
            f"store {store.location} has an unkeyed audit log, but an audit key was given: a keyed log "
            "stripped of its tags reads like this; if the store was never keyed, go on without the key",
            None,
        )
    if keyed and key is not None and manifest.get("key_check") != key.check():
        raise AuditError(f"the audit key given is not the key of store {store.location}", None)


def read_run(store: Store, key: AuditKey | None = None) -> StoredRun:
    """Read the manifest and the audit log, and verify the chain with `verify_chain`, the
    tags and head record of a keyed log, and that the log covers every checkpoint.

    Raises `AuditError` with the index of the first entry that does not hold.
    """
    text = store.read_manifest()
    if text is None:
        raise StoreError(f"store {store.location} holds no run")
    manifest = _parse_manifest(store, text)
    start = genesis(text)
    entries = store.audit_entries()
    check_chain(store.location, start, entries)
    _check_key(store, manifest, key)
    if key is not None:
        check_tags(store.location, key, entries, store.read_head())
    beyond = [number for number in store.checkpoint_superstep_numbers() if number >= len(entries)]
    if beyond:
        raise AuditError(
            f"the audit log of store {store.location} was truncated: it holds {len(entries)} entries, but the "
            f"store holds checkpoints up to superstep {beyond[-1]}; refusing to go on (nothing was run again)",
            len(entries),
        )
    plan_length = len(manifest["graph"]["plan"])
    payloads = []
    for index, entry in enumerate(entries):
        try:
            record = json.loads(entry.payload)
        except ValueError:
            record = None
        if not isinstance(record, dict) or record.get("superstep") != index or index >= plan_length:
            raise AuditError(f"audit entry {index} of store {store.location} is not superstep {index}", index)
        if not isinstance(record.get("state"), str) or not isinstance(record.get("cost"), (int, float)):
            raise AuditError(f"audit entry {index} of store {store.location} lacks its state hash or cost", index)
        payloads.append(record)
    return StoredRun(store.location, manifest, start, entries, payloads)


def load_checkpoint(store: Store, run: StoredRun, superstep: int) -> str:
    """The state text of a superstep's checkpoint, decoded and checked against its entry."""
    name = store.checkpoint_name(superstep)
    blob = store.read_checkpoint(superstep)
    try:
        zelk_core.decode_checkpoint(blob)
        body = blob[MAGIC_LENGTH:].decode("utf-8")
    except ValueError as error:  # UnicodeDecodeError included
        raise CheckpointError(f"checkpoint {name} is damaged or truncated: {error}", superstep, name) from error
    if zelk_core.hash_event("state", body) != run.payloads[superstep]["state"]:
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
    the log covers every checkpoint, and every completed superstep's checkpoint. With
    `head` ("COUNT:HASH", recorded elsewhere), the log must end exactly there.
    """
    store = open_store(location, create=False)
    try:
        run = read_run(store, resolve_key(audit_key))
        if head is not None:
            check_head(store.location, run.head, head)
        for superstep in range(run.completed):
            load_checkpoint(store, run, superstep)
        return run
    finally:
        store.close()


def _same_graph(store: Store, stored: Mapping[str, Any], graph: Graph) -> None:
    current = graph.describe()
    for key in ("plan", "edges", "reducers", "initial_state"):
        if stored.get(key) != current[key]:
            raise StoreError(
                f"store {store.location} holds a run of another graph (its {key.replace('_', ' ')} differs); "
                "use a new store to run this graph"
            )


def _collect(names: Sequence[str], outcomes: Sequence[Outcome], superstep: int) -> tuple[list[Any], list[float]]:
    """The superstep's updates and costs in its order; the first failing node raises."""
    updates: list[Any] = []
    costs: list[float] = []
    for name, (result, error) in zip(names, outcomes, strict=False):
        if error is not None:
            raise NodeError(
                f"node {name!r} failed in superstep {superstep}: {type(error).__name__}: {error}", name, superstep
            ) from error
        cost: object = 0.0
        if isinstance(result, Output):
            cost = result.cost
            result = result.update
        if result is not None and not isinstance(result, Mapping):
            raise NodeError(
                f"node {name!r} returned a {type(result).__name__}; a node returns a dict of channel to value, "
                "an Output or None",
                name,
                superstep,
            )
        if isinstance(cost, bool) or not isinstance(cost, (int, float)) or not math.isfinite(cost):
            raise NodeError(f"node {name!r} reported the cost {cost!r}; a cost is a finite number", name, superstep)
        update = None if result is None else dict(result)
        if update is not None:
            problem = json_problem(update, f"the update of node {name!r}")
            if problem is not None:
                raise NodeError(problem, name, superstep)
        updates.append(update)
        costs.append(float(cost))
    return updates, costs


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
) -> RunResult:
    """Run `graph` on `store`, or resume the run the store holds.

    A store that already holds a run of this graph is verified (audit chain, last
    checkpoint) and continued after its last completed superstep. `max_supersteps` stops
    this call after that many supersteps (a later call resumes). With `audit_key` (or the
    ZELK_AUDIT_KEY environment variable) a new store's audit log is keyed.
    """
    if max_supersteps is not None and max_supersteps < 0:
        raise RuntimeFailure(f"max_supersteps must not be negative, not {max_supersteps}")
    opened = open_store(store)
    try:
        lock = lock_store(opened)
        try:
            key = resolve_key(audit_key)
            return _run(graph, opened, executor, workers, ray_address, progress, max_supersteps, key)
        finally:
            lock.release()
    finally:
        if opened is not store:
            opened.close()


def _run(
    graph: Graph,
    store: Store,
    executor_kind: str | Executor,
    workers: int | None,
    ray_address: str | None,
    progress_kind: str | Progress | None,
    max_supersteps: int | None,
    key: AuditKey | None,
) -> RunResult:
    dropped = False
    if store.read_manifest() is None:
        if store.audit_entries() or store.checkpoint_superstep_numbers():
            raise StoreError(f"store {store.location} holds checkpoints or audit entries but no manifest")
        text = _manifest_text(graph, key)
        first = Head(0, genesis(text))
        store.write_manifest(text, None if key is None else (first, key.head_tag(first)))
        stored = read_run(store, key)
        state_text = graph.initial_state_json
    else:
        dropped = bool(store.recover())
        stored = read_run(store, key)
        _same_graph(store, stored.manifest["graph"], graph)
        last = stored.completed - 1
        state_text = load_checkpoint(store, stored, last) if last >= 0 else graph.initial_state_json

    plan = graph.plan
    done = stored.completed
    previous = stored.head.link
    costs = [float(payload["cost"]) for payload in stored.payloads]
    result = RunResult(store.location, state_text, len(plan), done, done, dropped_torn_entry=dropped)
    stop = len(plan) if max_supersteps is None else min(len(plan), done + max_supersteps)
    if done < stop:
        runner = make_executor(executor_kind, workers, ray_address)
        bar = make_progress(progress_kind)
        try:
            bar.start(len(plan), done)
            for number in range(done, stop):
                state_text, previous, report = _superstep(graph, store, runner, number, state_text, previous, key)
                costs.append(report.cost)
                result.reports.append(report)
                result.completed = number + 1
                result.state_json = state_text
                bar.superstep(report)
        finally:
            bar.close()
            if runner is not executor_kind:
                runner.close()
    result.cost = zelk_core.aggregate_cost(costs)
    result.head = str(Head(result.completed, previous))
    return result


def _superstep(
    graph: Graph, store: Store, executor: Executor, number: int, state_text: str, previous: str, key: AuditKey | None
) -> tuple[str, str, SuperstepReport]:
    names = graph.plan[number]
    started = time.perf_counter()
    state = json.loads(state_text)
    parsed = time.perf_counter()
    outcomes = executor.run([(name, graph.nodes[name]) for name in names], state)
    ran = time.perf_counter()
    updates, node_costs = _collect(names, outcomes, number)
    updates_json = dumps(updates)
    serialised = time.perf_counter()
    try:
        folded = zelk_core.advance_superstep(state_text, graph.reducers_json, updates_json)
    except ValueError as error:
        raise RuntimeFailure(f"superstep {number} could not be folded: {error}") from error
    blob = zelk_core.encode_checkpoint(folded)
    cost = zelk_core.aggregate_cost(node_costs)
    body = blob[MAGIC_LENGTH:].decode("utf-8")
    digest = zelk_core.hash_event("state", body)
    payload = dumps(
        {
            "superstep": number,
            "time": _now(),
            "nodes": len(names),
            "cost": cost,
            "state": digest,
            "checkpoint_bytes": len(blob),
        }
    )
    link = zelk_core.hash_event(previous, payload)
    entry = Entry(payload, link, None if key is None else key.entry_tag(link))
    head = None if key is None else (Head(number + 1, link), key.head_tag(Head(number + 1, link)))
    folded_at = time.perf_counter()
    store.commit(number, blob, entry, head)
    stored_at = time.perf_counter()
    report = SuperstepReport(
        superstep=number,
        nodes=len(names),
        nodes_seconds=ran - parsed,
        python_seconds=(parsed - started) + (serialised - ran),
        module_seconds=folded_at - serialised,
        store_seconds=stored_at - folded_at,
        checkpoint_bytes=len(blob),
        cost=cost,
    )
    return body, link, report
