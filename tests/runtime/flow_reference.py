"""A plain-Python interpreter of the runtime's control-flow rule, to compare runs against.

`run_reference` takes what a `Graph` takes (nodes, edges, branches, Sends, reducers, initial
state, start, step limit) and returns, for every superstep, the names it ran in fold order
(a Send target once per instance) and what was signalled or sent after it, and the final
state. Every decision is recomputed from the words of the rule each superstep: slow and
plain on purpose. Nodes here return this module's `Send`, `Output` and `END`.
"""

from __future__ import annotations

import json
import math
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from types import MappingProxyType
from typing import Any, NamedTuple


class Send(NamedTuple):
    target: str
    arg: Any


class Output(NamedTuple):
    update: Mapping[str, Any] | None = None
    cost: float = 0.0
    sends: Sequence[Send] = ()


class _End:
    def __repr__(self) -> str:
        return "END"


END = _End()

# The module's integers: signed 64-bit below zero, unsigned 64-bit above.
INT_MIN = -(2**63)
INT_MAX = 2**64 - 1


def is_number(value: object) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def reduce_add(current: Any, update: Any) -> Any:
    """Numeric sum; anything that is not a number counts as the integer 0.

    Two integers add exactly; a sum outside the 64-bit range becomes a double. Once a double
    is involved the sum is a double: infinite becomes null, whole and in range an integer.
    """
    left = current if is_number(current) else 0
    right = update if is_number(update) else 0
    if isinstance(left, int) and isinstance(right, int):
        total = left + right
        return total if INT_MIN <= total <= INT_MAX else float(total)
    result = float(left) + float(right)
    if math.isinf(result):
        return None
    if result.is_integer() and INT_MIN <= result <= INT_MAX:
        return int(result)
    return result


def reduce_append(current: Any, update: Any) -> list[Any]:
    """The current value as a list (null is empty, anything else one item), extended by a
    list update one level deep or by any other update as one item."""
    if current is None:
        items = []
    elif isinstance(current, list):
        items = list(current)
    else:
        items = [current]
    return items + (list(update) if isinstance(update, list) else [update])


def reduce_value(reducer: str | None, current: Any, update: Any) -> Any:
    """One written value folded into a channel; every reducer but add and append replaces."""
    if reducer == "add":
        return reduce_add(current, update)
    if reducer == "append":
        return reduce_append(current, update)
    return update


def json_copy(value: Any) -> Any:
    return json.loads(json.dumps(value, allow_nan=False))


@dataclass
class Trace:
    """What a run did: per superstep the names run and what came next, and the state after
    the last completed superstep. `status` is "finished" or "step_limit"."""

    supersteps: list[list[str]] = field(default_factory=list)
    nexts: list[dict[str, Any]] = field(default_factory=list)
    state: dict[str, Any] = field(default_factory=dict)
    status: str = "running"


class FlowError(Exception):
    """The run fails in `superstep`; `trace` holds the supersteps completed before it."""

    def __init__(self, message: str, superstep: int, names: Sequence[str], trace: Trace, channel: str | None = None):
        super().__init__(message)
        self.superstep = superstep
        self.names = tuple(names)
        self.trace = trace
        self.channel = channel


class NoStart(ValueError):
    """The default start is empty: every node is led to by something."""


class RefusedWrite(FlowError):
    """Two different nodes wrote a channel without a declared reducer in one superstep."""


class UndeclaredWrite(FlowError):
    """A node wrote a channel that was never declared."""


class BadRoute(FlowError):
    """A route chose something outside its branch's declared targets."""


class BadSend(FlowError):
    """A node sent to something it does not declare as a Send target."""


class Structure:
    """The static shape the waiting rule reads: predecessors along static edges, and every
    way one node can lead to another (static edges, possible branch targets, declared Send
    targets)."""

    def __init__(
        self,
        names: Iterable[str],
        edges: Iterable[tuple[str, str]],
        branch_targets: Mapping[str, Sequence[str]],
        send_targets: Mapping[str, Sequence[str]],
    ) -> None:
        self.names = list(names)
        self.successors: dict[str, set[str]] = {name: set() for name in self.names}
        self.predecessors: dict[str, set[str]] = {name: set() for name in self.names}
        self.leads: dict[str, set[str]] = {name: set() for name in self.names}
        for before, after in edges:
            self.successors[before].add(after)
            if before != after:
                self.predecessors[after].add(before)
            self.leads[before].add(after)
        for table in (branch_targets, send_targets):
            for source, targets in table.items():
                self.leads[source].update(targets)

    def reachable(self, sources: Iterable[str], avoid: str) -> set[str]:
        """Nodes reachable from `sources` (themselves included) without entering `avoid`."""
        seen: set[str] = set()
        todo = [source for source in sources if source != avoid]
        while todo:
            node = todo.pop()
            if node in seen:
                continue
            seen.add(node)
            todo.extend(following for following in self.leads[node] if following != avoid)
        return seen

    def waits(self, node: str, signalled: set[str], sent_to: set[str]) -> bool:
        """Whether a static predecessor of `node` (other than itself) can still run: is
        signalled, is a pending Send target, or is reachable from one of those other than
        `node` without passing through `node`."""
        live = self.reachable((signalled | sent_to) - {node}, avoid=node)
        return bool(self.predecessors[node] & live)

    def waits_on(self, node: str, other: str) -> bool:
        """Whether signalled `other` is a predecessor of `node` or reaches one avoiding `node`."""
        return other != node and bool(self.predecessors[node] & self.reachable([other], avoid=node))

    def fallback(self, signalled: set[str]) -> set[str]:
        """Among signalled nodes that all wait: the members of the strongly connected
        components of "waits on" that wait on nothing outside themselves."""
        waits_on = {node: {other for other in signalled if self.waits_on(node, other)} for node in signalled}

        def closure(node: str) -> set[str]:
            seen = {node}
            todo = [node]
            while todo:
                for other in waits_on[todo.pop()]:
                    if other not in seen:
                        seen.add(other)
                        todo.append(other)
            return seen

        closures = {node: closure(node) for node in signalled}
        chosen: set[str] = set()
        for node in signalled:
            component = {other for other in closures[node] if node in closures[other]}
            if all(waits_on[member] <= component for member in component):
                chosen |= component
        return chosen

    def next_to_run(self, signalled: set[str], sent_to: set[str]) -> set[str]:
        """The signalled nodes that run in the next superstep (pending Sends run anyway)."""
        free = {node for node in signalled if not self.waits(node, signalled, sent_to)}
        if free or not signalled or sent_to:
            return free
        # Every signalled node waits and no Send is pending (pending Send instances run, so
        # the run goes on without the fallback).
        chosen = self.fallback(signalled)
        assert chosen, f"no signalled node can run: {sorted(signalled)}"
        return chosen


def _split(name: str, result: object, superstep: int, trace: Trace) -> tuple[dict[str, Any] | None, list[Send]]:
    """A node's return value as (update or None, Sends in order)."""
    if result is None:
        return None, []
    if isinstance(result, Send):
        return None, [result]
    if isinstance(result, Output):
        update = None if result.update is None else dict(result.update)
        return update, list(result.sends)
    if isinstance(result, list) and all(isinstance(item, Send) for item in result):
        return None, list(result)
    if isinstance(result, Mapping):
        return dict(result), []
    raise FlowError(f"node {name!r} returned a {type(result).__name__}", superstep, [name], trace)


def _route_targets(name: str, chosen: object, declared: Sequence[str], superstep: int, trace: Trace) -> list[str]:
    if chosen is END:
        return []
    names = [chosen] if isinstance(chosen, str) else list(chosen) if isinstance(chosen, list) else None
    if names is None or any(not isinstance(item, str) or item not in declared for item in names):
        raise BadRoute(f"route of branch {name!r} chose {chosen!r}", superstep, [name], trace)
    return names


def run_reference(
    nodes: Mapping[str, Callable[..., Any]],
    edges: Iterable[tuple[str, str]] = (),
    *,
    branches: Mapping[str, tuple[Callable[[Mapping[str, Any]], Any], Sequence[str]]] | None = None,
    sends: Mapping[str, Sequence[str]] | None = None,
    reducers: Mapping[str, str] | None = None,
    channels: Iterable[str] = (),
    initial_state: Mapping[str, Any] | None = None,
    start: Iterable[str] | None = None,
    step_limit: int = 100,
    replace_names: Iterable[str] = (),
) -> Trace:
    """Run the graph by the rule; returns the Trace, or raises a FlowError (with the trace
    so far) or NoStart. `replace_names` only mirrors Graph: every such name replaces."""
    branches = dict(branches or {})
    sends = {sender: list(targets) for sender, targets in (sends or {}).items()}
    reducers = dict(reducers or {})
    initial = dict(initial_state or {})
    edges = list(edges)
    declared = set(channels) | set(reducers) | set(initial)
    structure = Structure(nodes, edges, {name: targets for name, (_, targets) in branches.items()}, sends)

    send_targets = {target for targets in sends.values() for target in targets}
    led_to = {after for _, after in edges} | {t for _, targets in branches.values() for t in targets} | send_targets
    if start is None:
        start = [name for name in nodes if name not in led_to]
        if not start:
            raise NoStart("every node is led to by an edge, a branch or a Send")
    start = list(start)
    assert not send_targets & (set(start) | {after for _, after in edges}), "a Send target is led to otherwise"

    trace = Trace(state=json_copy(initial))
    signalled: set[str] = set()
    to_run = sorted(set(start))
    instances: list[Send] = []
    number = 0
    while to_run or instances:
        if number >= step_limit:
            trace.status = "step_limit"
            return trace
        # Fold order: names in code point order, a target's instances in the order sent.
        calls: list[tuple[str, tuple[Any, ...]]] = []
        for name in sorted(set(to_run) | {send.target for send in instances}):
            if name in to_run:
                calls.append((name, ()))
            calls.extend((name, (json_copy(send.arg),)) for send in instances if send.target == name)

        view = MappingProxyType(json_copy(trace.state))
        results = [(name, nodes[name](view, *arg)) for name, arg in calls]

        updates: list[tuple[str, dict[str, Any]]] = []
        sent: list[Send] = []
        for name, result in results:
            update, its_sends = _split(name, result, number, trace)
            for send in its_sends:
                if send.target not in sends.get(name, []):
                    raise BadSend(f"node {name!r} sent to {send.target!r}", number, [name], trace)
            sent.extend(Send(send.target, json_copy(send.arg)) for send in its_sends)
            if update is not None:
                updates.append((name, update))

        writers: dict[str, list[str]] = {}
        for name, update in updates:
            for channel in update:
                if channel not in declared:
                    raise UndeclaredWrite(f"node {name!r} wrote {channel!r}", number, [name], trace, channel)
                if channel not in reducers and name not in writers.setdefault(channel, []):
                    writers[channel].append(name)
        for channel, names in sorted(writers.items()):
            if len(names) > 1:
                raise RefusedWrite(f"{names[0]!r} and {names[1]!r} wrote {channel!r}", number, names, trace, channel)

        state = json_copy(trace.state)
        for _, update in updates:
            for channel in sorted(update):
                state[channel] = reduce_value(reducers.get(channel), state.get(channel), json_copy(update[channel]))

        ran = {name for name, _ in calls}
        signalled -= set(to_run)
        for name in ran:
            signalled |= structure.successors[name]
        after = MappingProxyType(json_copy(state))
        for name in sorted(ran & set(branches)):
            route, declared_targets = branches[name]
            signalled |= set(_route_targets(name, route(after), declared_targets, number, trace))

        trace.state = state
        trace.supersteps.append([name for name, _ in calls])
        trace.nexts.append({"nodes": sorted(signalled), "sends": [[send.target, send.arg] for send in sent]})
        instances = sent
        to_run = sorted(structure.next_to_run(signalled, {send.target for send in instances}))
        number += 1
    trace.status = "finished"
    return trace
