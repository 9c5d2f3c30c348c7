"""One superstep: run the nodes, record each result as it comes, check the updates, fold
them into the channels they write with `advance_superstep`, route the branches, frame what
the superstep stores with `encode_checkpoint`, chain the audit entry with `hash_event` and
commit it all at once; yielding the superstep's events as they happen.

Node results are recorded as the nodes finish and read back as recorded, and every view of
the state is parsed from the module's own text of it, so an interrupted and resumed run
and an uninterrupted one fold the same texts and reach the same states.
"""

from __future__ import annotations

import math
import time
import traceback
from collections.abc import Generator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import zelk_core

from . import flow, states
from .attempts import Call, Outcome, Retrying, Started
from .audit import AuditKey, Entry, Head
from .errors import NodeError, NodeFailure, RuntimeFailure, UsageError
from .events import Event, event
from .executors import Executor
from .graph import END, Graph, Output, Send, suggest
from .interrupts import Interrupt
from .progress import SuperstepReport
from .records import NodeRecord, Status, now
from .stores import Commit, Store
from .values import checked_dumps, dumps, json_problem
from .view import StateDict


@dataclass
class Run:
    """A run between two supersteps: where it stands and what it carries to the next."""

    graph: Graph
    store: Store
    key: AuditKey | None
    number: int  # the next superstep
    view: StateDict  # the state the next superstep's nodes read
    frontier: flow.Frontier
    previous: str  # the last link of the audit chain
    costs: list[float]
    code: dict[str, dict[str, str]]  # fingerprints to record with the next superstep that changes them
    checkpointing: states.Checkpointing
    changed_code: list[str] = field(default_factory=list)  # nodes allowed to run with changed code
    status: Status | None = None  # answers and skip flag of a resumed run, until consumed
    first: int = 0  # the store's first superstep (after its base): its audit log counts from there
    reports: list[SuperstepReport] = field(default_factory=list)
    node_events: bool = True  # whether anyone follows the nodes (their events cost on large supersteps)
    told: list[Event] = field(default_factory=list)  # events of work done before the run is driven
    # Whether the store may hold results recorded for the next superstep: when the run was
    # opened (a run killed or interrupted mid-superstep left them) or an update carried them.
    recorded: bool = True

    @property
    def head(self) -> Head:
        return Head(self.number - self.first, self.previous)

    def state_json(self) -> str:
        """The module's text of the state (a pass over the whole state)."""
        return zelk_core.advance_superstep(dumps(self.view), "{}", "[]")


@dataclass(frozen=True)
class Instance:
    """A node instance of a superstep: a plain node (`ordinal` None) or a Send instance.
    `key` names its recorded result: "n:NAME", or "s:ORDINAL:NAME" for a Send instance."""

    node: str
    arg: str | None = None
    ordinal: int | None = None
    key: str = ""


def instance_node(key: str) -> str:
    """The node a result key names."""
    kind, _, rest = key.partition(":")
    return rest.partition(":")[2] if kind == "s" else rest


def instances(step: flow.Step) -> list[Instance]:
    """A superstep's instances in fold order: names in byte order, a node's Send instances
    in the order they were sent."""
    found = [Instance(name, None, None, "n:" + name) for name in step.nodes]
    counts: dict[str, int] = {}
    for target, arg in step.sends:
        ordinal = counts.get(target, 0)
        counts[target] = ordinal + 1
        found.append(Instance(target, arg, ordinal, f"s:{ordinal}:{target}"))
    found.sort(key=lambda instance: instance.node)  # stable: Send order kept within a node
    return found


def _failure(node: str, superstep: int, message: str) -> NodeFailure:
    return NodeFailure(node, superstep, message)


def normalise(graph: Graph, node: str, superstep: int, result: object) -> NodeRecord | NodeFailure:
    """A node's return value as a record, or why it is refused."""
    if type(result) is dict:  # the common case: a bare update
        return _update_record(graph, node, superstep, result, 0.0, ())
    if result is None:
        return NodeRecord(None, (), 0.0)
    cost: object = 0.0
    sends: object = ()
    update: object = result
    if isinstance(result, Output):
        update, cost, sends = result.update, result.cost, result.sends
    elif isinstance(result, Send):
        update, sends = None, [result]
    elif isinstance(result, (list, tuple)) and all(isinstance(item, Send) for item in result):
        update, sends = None, result
    if update is not None and not isinstance(update, Mapping):
        return _failure(
            node,
            superstep,
            f"node {node!r} returned a {type(update).__name__}; a node returns a dict of channel to value, "
            "an Output, a Send or a list of Sends, or None",
        )
    if isinstance(cost, bool) or not isinstance(cost, (int, float)) or not math.isfinite(cost) or cost < 0:
        return _failure(
            node,
            superstep,
            f"node {node!r} reported the cost {cost!r} in superstep {superstep}; a cost is a finite number, not negative",
        )
    if isinstance(sends, (str, bytes, Mapping)) or not isinstance(sends, Sequence):
        return _failure(node, superstep, f"node {node!r} gave sends={sends!r}; sends are a list of Send")
    sent = []
    for send in sends:
        if not isinstance(send, Send):
            return _failure(node, superstep, f"node {node!r} sent {send!r}, which is not a Send")
        allowed = graph.sends.get(node, ())
        if send.node not in allowed:
            declared = f"it may send to {', '.join(map(repr, allowed))}" if allowed else "it declares no Sends"
            return _failure(
                node,
                superstep,
                f"node {node!r} sent to {send.node!r} in superstep {superstep}, but {declared} "
                f"(sends={{{node!r}: [...]}}){suggest(str(send.node), allowed)}",
            )
        problem = json_problem(send.arg, f"the argument node {node!r} sent to {send.node!r}")
        if problem is not None:
            return _failure(node, superstep, f"{problem} (superstep {superstep})")
        sent.append((send.node, dumps(send.arg)))
    if update is None:
        return NodeRecord(None, (), float(cost), tuple(sent))
    return _update_record(graph, node, superstep, update, float(cost), tuple(sent))


def _update_record(
    graph: Graph,
    node: str,
    superstep: int,
    update: Mapping[str, Any],
    cost: float,
    sends: tuple[tuple[str, str], ...],
) -> NodeRecord | NodeFailure:
    written = update if type(update) is dict else dict(update)
    text, problem = checked_dumps(written, f"the update of node {node!r}", channels=True)
    if text is None:
        return _failure(node, superstep, f"{problem} (superstep {superstep})")
    if not graph.channels.issuperset(written):
        channel = next(name for name in written if name not in graph.channels)
        return _failure(
            node,
            superstep,
            f"node {node!r} wrote channel {channel!r} in superstep {superstep}, which the graph does not "
            f"declare{suggest(channel, graph.channels)}; declare channels with channels= or initial_state=",
        )
    return NodeRecord(text, tuple(written), cost, sends)


def _conflicts(
    graph: Graph, found: Sequence[Instance], records: Sequence[NodeRecord], superstep: int
) -> list[NodeFailure]:
    """Refuse a channel without a reducer written by two different nodes of one superstep:
    which write wins would depend on the nodes' names."""
    writer: dict[str, str] = {}
    failures = []
    for instance, record in zip(found, records, strict=True):
        for channel in record.channels:
            if channel in graph.reducers:
                continue
            first = writer.setdefault(channel, instance.node)
            if first != instance.node:
                failures.append(
                    _failure(
                        instance.node,
                        superstep,
                        f"nodes {first!r} and {instance.node!r} both wrote channel {channel!r} in superstep "
                        f"{superstep}, which has no reducer, so the later name would win; declare a reducer for "
                        f'it (reducers={{{channel!r}: "append"}}, or "last_value" to accept that)',
                    )
                )
                writer[channel] = instance.node
    return failures


def _route(graph: Graph, node: str, state: Any, superstep: int) -> list[str] | NodeFailure:
    route, targets = graph.branches[node]
    try:
        chosen = route(state)
    except Exception as error:
        failure = NodeFailure(
            node,
            superstep,
            f"the route of node {node!r} failed in superstep {superstep}: {type(error).__name__}: {error}",
            error,
            "".join(traceback.format_exception(error)),
        )
        return failure
    if chosen is END or chosen is None:
        return []
    items = [chosen] if isinstance(chosen, str) else chosen
    if not isinstance(items, (list, tuple)):
        return _failure(
            node, superstep, f"the route of node {node!r} returned {chosen!r}; a route returns a name, names or END"
        )
    names = []
    for item in items:
        if item is END:
            continue
        if not isinstance(item, str) or item not in targets:
            return _failure(
                node,
                superstep,
                f"the route of node {node!r} chose {item!r} in superstep {superstep}, which is not among its "
                f"declared targets {list(targets)}{suggest(str(item), targets)}",
            )
        names.append(item)
    return names


def _which(instance: Instance) -> dict[str, int]:
    """The detail naming a Send instance among its node's instances, so that a consumer
    pairs each node_finished or node_failed with its node_started."""
    return {} if instance.ordinal is None else {"instance": instance.ordinal}


def superstep(run: Run, executor: Executor, step: flow.Step) -> Generator[Event, None, list[Interrupt]]:
    """Run one superstep and commit it, yielding its events; or, when nodes interrupt,
    record the others' results and the interrupts and return them (nothing is committed)."""
    graph, store, number = run.graph, run.store, run.number
    started = time.perf_counter()
    found = instances(step)
    recorded = store.results(number) if run.recorded else {}
    records: list[NodeRecord | None] = [None] * len(found)
    timed: list[float | None] = [None] * len(found)  # none for a result recorded by an earlier attempt
    calls = []
    answers = run.status.answers if run.status is not None else {}
    for position, instance in enumerate(found):
        text = recorded.get(instance.key)
        record = NodeRecord.parse(text) if text is not None else None
        if record is not None and record.arg == instance.arg:
            records[position] = record
            continue
        fn = graph.nodes[instance.node]
        given = tuple(answer.answer for answer in answers.get(instance.node, ()))
        node = instance.node
        calls.append(Call(position, node, fn, instance.arg, given, graph.policies.get(node), graph.waits(node)))
    yield event(
        "superstep_started",
        number,
        detail={"nodes": [instance.node for instance in found], "recorded": len(found) - len(calls)},
    )
    state = run.view
    prepared = time.perf_counter()
    failures: list[tuple[int, NodeFailure]] = []
    interrupts: list[Interrupt] = []
    attempts: dict[str, int] = {}
    follow = run.node_events
    executor.starts = follow
    for item in executor.run(calls, state):
        instance = found[item.position]
        if type(item) is Outcome:
            pass  # the common report first
        elif isinstance(item, Started):
            if not follow:
                continue
            yield event("node_started", number, instance.node, attempt=item.attempt, detail=_which(instance) or None)
            continue
        elif isinstance(item, Retrying):
            if not follow:
                continue
            yield event(
                "retry",
                number,
                instance.node,
                attempt=item.attempt,
                error=item.error,
                detail={"delay": item.delay, **_which(instance)},
            )
            continue
        position, seconds, tries = item.position, item.seconds, item.attempts
        if tries > 1:
            attempts[instance.node] = max(attempts.get(instance.node, 1), tries)
        handled = _outcome(run, found, item)
        del item  # the node's own value, now held as text (a large one is not kept twice)
        if isinstance(handled, NodeRecord):
            records[position] = handled
            timed[position] = round(seconds, 6)
            store.record_result(number, instance.key, handled.text())
            if not follow:
                continue
            yield event(
                "node_finished",
                number,
                instance.node,
                seconds=seconds,
                cost=handled.cost,
                attempt=tries,
                detail={"channels": list(handled.channels), "sends": len(handled.sends), **_which(instance)},
            )
        elif isinstance(handled, NodeFailure):
            failures.append((position, handled))
            yield event(
                "node_failed",
                number,
                instance.node,
                seconds=seconds,
                attempt=tries,
                error=handled.traceback or handled.message,
                detail={"message": handled.message, **_which(instance)},
            )
        else:
            interrupts.append(handled)
    ran_at = time.perf_counter()
    if failures:
        raise NodeError.of([failure for _, failure in sorted(failures, key=lambda item: item[0])])
    if interrupts:
        interrupts.sort(key=lambda item: (item.node, item.instance or 0))
        # The answers given so far (and who gave them) stay for the next resume, and so does
        # being past an interrupt_before of this superstep: the person already let it run.
        before = run.status
        carried = dict(before.answers) if before is not None else {}
        skip = before is not None and before.skip_before
        run.status = Status("interrupted", number, interrupts, carried, skip_before=skip)
        store.write_status(run.status.text())
        return interrupts
    done: list[NodeRecord] = [record for record in records if record is not None]
    conflicts = _conflicts(graph, found, done, number)
    if conflicts:
        yield from _failed(conflicts)
        raise NodeError.of(conflicts)
    updates_json = "[" + ",".join(record.update or "null" for record in done) + "]"
    written = {channel for record in done for channel in record.channels}
    sends = [send for record in done for send in record.sends]
    costs = [record.cost for record in done]
    del done, records  # the update texts live on in updates_json alone
    serialised = time.perf_counter()
    try:
        new_view, grown = states.fold(run.view, graph.reducers_json, updates_json, written)
    except ValueError as error:
        raise RuntimeFailure(f"superstep {number} could not be folded: {error}") from error
    ran_names = list(dict.fromkeys(instance.node for instance in found))
    routes: dict[str, list[str]] = {}
    route_failures = []
    for name in sorted(set(ran_names) & graph.branches.keys()):
        chosen = _route(graph, name, new_view, number)
        if isinstance(chosen, NodeFailure):
            route_failures.append(chosen)
        else:
            routes[name] = chosen
    if route_failures:
        yield from _failed(route_failures)
        raise NodeError.of(route_failures)
    routed = [target for chosen in routes.values() for target in chosen]
    frontier = flow.advance(graph.topology, run.frontier, ran_names, routed, sends)
    cost = zelk_core.aggregate_cost(costs)
    payload: dict[str, Any] = {
        "superstep": number,
        "kind": "nodes",
        "time": now(),
        "nodes": [instance.node for instance in found],
        "seconds": timed,
        "cost": cost,
        "next": frontier.record(),
    }
    if routes:
        payload["routes"] = routes
    used = {instance.node for instance in found} & answers.keys()
    if used:
        payload["answers"] = {node: [answer.record() for answer in answers[node]] for node in sorted(used)}
    if attempts:
        payload["attempts"] = dict(sorted(attempts.items()))
    _note_code(run, payload, ran_names)
    run.checkpointing.grown(grown)
    if run.checkpointing.full_now(len(updates_json)):
        del updates_json
        blob = _stored(run, payload, "full", states.full_blob(new_view))
    else:
        blob = _stored(run, payload, "delta", zelk_core.encode_checkpoint(updates_json))
        del updates_json
    module_at = time.perf_counter()
    _commit(run, payload, blob, clear_results=True)
    run.recorded = False
    stored_at = time.perf_counter()
    run.view = new_view
    run.frontier = frontier
    run.costs.append(cost)
    summary = SuperstepReport(
        superstep=number,
        nodes=len(found),
        nodes_seconds=ran_at - prepared,
        python_seconds=(prepared - started) + (serialised - ran_at),
        module_seconds=module_at - serialised,
        store_seconds=stored_at - module_at,
        checkpoint_bytes=len(blob),
        cost=cost,
    )
    run.reports.append(summary)
    yield event(
        "superstep_committed",
        number,
        seconds=summary.seconds,
        cost=cost,
        detail={
            "bytes": len(blob),
            "checkpoint": payload["checkpoint"],
            "sha256": payload["sha256"],
            "nodes_seconds": summary.nodes_seconds,
            "module_seconds": summary.module_seconds,
            "python_seconds": summary.python_seconds,
            "store_seconds": summary.store_seconds,
        },
    )
    return []


def _failed(failures: Sequence[NodeFailure]) -> Generator[Event, None, None]:
    """node_failed events for failures found after the nodes ran (a write conflict, a route)."""
    for failure in failures:
        detail = {"message": failure.message}
        yield event(
            "node_failed", failure.superstep, failure.node, error=failure.traceback or failure.message, detail=detail
        )


def _stored(run: Run, payload: dict[str, Any], kind: str, blob: bytes) -> bytes:
    """Note in the payload what the superstep stores: its update list ("delta") or the
    whole state ("full"), its size and hash."""
    run.checkpointing.stored(kind, len(blob))
    payload["checkpoint"] = kind
    payload["checkpoint_bytes"] = len(blob)
    payload["sha256"] = states.blob_hash(blob)
    return blob


def _outcome(run: Run, found: Sequence[Instance], outcome: Outcome) -> NodeRecord | NodeFailure | Interrupt:
    instance = found[outcome.position]
    number = run.number
    if outcome.interrupted:
        problem = json_problem(outcome.interrupt, f"the value node {instance.node!r} passed to interrupt()")
        if problem is not None:
            return _failure(instance.node, number, f"{problem} (superstep {number})")
        return Interrupt(instance.node, number, outcome.interrupt, "call", instance.ordinal)
    if outcome.error is not None:
        error = outcome.error
        tries = f" after {outcome.attempts} attempts" if outcome.attempts > 1 else ""
        return NodeFailure(
            instance.node,
            number,
            f"node {instance.node!r} failed in superstep {number}{tries}: {type(error).__name__}: {error}",
            error,
            outcome.traceback,
        )
    record = normalise(run.graph, instance.node, number, outcome.result)
    if type(record) is NodeRecord:  # noted with what made it: the Send argument and the code
        return record._replace(arg=instance.arg, code=run.graph.code()["nodes"][instance.node])
    return record


def _note_code(run: Run, payload: dict[str, Any], ran: Sequence[str]) -> None:
    """Record in the entry the fingerprints this superstep used for the first time, and
    the nodes whose changed code the run was told to accept. Those are recorded in the
    first entry after the acceptance, whether or not they run in it: the state goes on
    from their old code's results under their new code from there."""
    current = run.graph.code()
    names = list(dict.fromkeys([*ran, *run.changed_code]))
    changed: dict[str, dict[str, str]] = {}
    for part, group in (("nodes", names), ("routes", [name for name in names if name in run.graph.branches])):
        for name in group:
            if run.code[part].get(name) != current[part][name]:
                changed.setdefault(part, {})[name] = current[part][name]
                run.code[part][name] = current[part][name]
    if changed:
        payload["code"] = changed
    if run.changed_code:
        payload["changed_code"] = sorted(run.changed_code)
        run.changed_code = []


def _commit(
    run: Run, payload: dict[str, Any], blob: bytes, *, clear_results: bool, status: Status | None = None
) -> None:
    text = dumps(payload)
    link = zelk_core.hash_event(run.previous, text)
    key = run.key
    entry = Entry(text, link, None if key is None else key.entry_tag(link))
    head = Head(run.number + 1 - run.first, link)
    consumed = clear_results and run.status is not None
    run.store.commit(
        Commit(
            run.number,
            blob,
            entry,
            None if key is None else (head, key.head_tag(head)),
            clear_results=clear_results,
            clear_status=consumed,
            status=None if status is None else status.text(),
        )
    )
    if consumed:
        run.status = None
    run.previous = link
    run.number += 1


def commit_update(run: Run, update: Mapping[str, Any], author: str, status: Status | None = None) -> None:
    """Fold a person's update into the state as a superstep of its own, naming the author;
    the frontier stays as it was, and results recorded for the superstep in progress are
    carried over to the superstep after it. `status` is written in the same commit."""
    graph = run.graph
    if not isinstance(update, Mapping):
        raise UsageError(f"an update is a dict of channel to value, not {type(update).__name__}")
    written = dict(update)
    problem = json_problem(written, "the update", channels=True)
    if problem is not None:
        raise UsageError(problem)
    for channel in written:
        if channel not in graph.channels:
            raise UsageError(
                f"the update writes channel {channel!r}, which the graph does not declare"
                f"{suggest(channel, graph.channels)}"
            )
    updates_json = "[" + dumps(written) + "]"
    try:
        new_view, grown = states.fold(run.view, graph.reducers_json, updates_json, written)
    except ValueError as error:
        raise UsageError(f"the update could not be folded: {error}") from error
    number = run.number
    carried = run.store.results(number)
    payload: dict[str, Any] = {
        "superstep": number,
        "kind": "update",
        "time": now(),
        "author": author,
        "update": written,
        "nodes": [],
        "cost": 0.0,
        "next": run.frontier.record(),
    }
    run.checkpointing.grown(grown)
    kind = "full" if run.checkpointing.full_now(len(updates_json)) else "delta"
    blob = _stored(
        run, payload, kind, states.full_blob(new_view) if kind == "full" else zelk_core.encode_checkpoint(updates_json)
    )
    _commit(run, payload, blob, clear_results=False, status=status)
    detail = {"kind": "update", "author": author, "bytes": len(blob), "checkpoint": kind, "sha256": payload["sha256"]}
    run.told.append(event("superstep_committed", number, cost=0.0, detail=detail))
    for key, text in carried.items():
        run.store.record_result(run.number, key, text)
    run.recorded = True
    run.view = new_view
    run.costs.append(0.0)
