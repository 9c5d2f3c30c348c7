"""Which nodes run next: the rule "a node runs once everything that leads to it and can
still run has run", as pure functions over a graph's topology and a frontier.

The frontier is all a run needs to go on: the signalled nodes and the pending Sends with
their arguments. Superstep 0 runs the start nodes, all of them. A node is signalled by a static edge
from a node that ran, by a branch that chose it, or (one instance per Send) by a Send, and
stays signalled until it runs. A signalled node waits while one of its static
predecessors other than itself can still run: is signalled, is the target of a pending
Send, or is reachable from one of those (other than the waiting node) along edges,
possible branch targets and declared Send targets without passing through the waiting
node. Otherwise it runs in the next superstep, once however often it was signalled; every
pending Send runs in the next superstep. When signalled nodes wait only on one another
(a loop entered at two points), those that wait on nothing outside their group run.
"""

from __future__ import annotations

from collections import deque
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any

from .graph import Topology
from .values import dumps, loads


@dataclass(frozen=True)
class Frontier:
    """What is signalled next: node names (sorted) and pending Sends as (target, argument
    as compact JSON text), in the order they were sent."""

    nodes: tuple[str, ...] = ()
    sends: tuple[tuple[str, str], ...] = ()
    start: bool = False  # the start nodes: superstep 0 runs them all, none waits

    @property
    def empty(self) -> bool:
        return not self.nodes and not self.sends

    def record(self) -> dict[str, Any]:
        """The frontier as an audit entry holds it. Only an update folded before superstep 0
        leaves the start nodes next; its entry says so, since they run without waiting."""
        record: dict[str, Any] = {
            "nodes": list(self.nodes),
            "sends": [[target, loads(arg)] for target, arg in self.sends],
        }
        if self.start:
            record["start"] = True
        return record

    @classmethod
    def from_record(cls, record: Any) -> Frontier:
        if not isinstance(record, dict):
            raise ValueError("a frontier is an object with nodes and sends")
        nodes, sends = record.get("nodes"), record.get("sends")
        if not isinstance(nodes, list) or not all(isinstance(name, str) for name in nodes):
            raise ValueError("the frontier's nodes are not a list of names")
        if not isinstance(sends, list) or not all(
            isinstance(send, list) and len(send) == 2 and isinstance(send[0], str) for send in sends
        ):
            raise ValueError("the frontier's sends are not a list of [target, argument] pairs")
        start = record.get("start", False)
        if not isinstance(start, bool):
            raise ValueError("the frontier's start flag is not true or false")
        return cls(tuple(nodes), tuple((target, dumps(arg)) for target, arg in sends), start)


@dataclass(frozen=True)
class Step:
    """The nodes of one superstep: ready names in byte order, and the Send instances."""

    nodes: tuple[str, ...]
    sends: tuple[tuple[str, str], ...]

    @property
    def empty(self) -> bool:
        return not self.nodes and not self.sends


def first(topology: Topology) -> Frontier:
    return Frontier(topology.start, (), start=True)


def select(topology: Topology, frontier: Frontier) -> Step:
    """The superstep the frontier runs next."""
    signalled = set(frontier.nodes)
    if not signalled or frontier.start:
        return Step(frontier.nodes, frontier.sends)
    if topology.plan is not None:
        # No decisions in the graph: the rule gives the planned supersteps, and the ready
        # nodes are the signalled ones of the lowest planned superstep.
        depth = topology.depth
        lowest = min(depth[name] for name in signalled)
        return Step(tuple(sorted(name for name in signalled if depth[name] == lowest)), frontier.sends)
    sources = signalled | {target for target, _ in frontier.sends}
    live = _reachable(topology, sources, avoid=None)
    ready = [name for name in signalled if not _blockers(topology, name, sources, live, first_only=True)]
    if not ready and not frontier.sends:
        ready = _unblock(topology, signalled, sources, live)
    return Step(tuple(sorted(ready)), frontier.sends)


def advance(
    topology: Topology, frontier: Frontier, ran: Iterable[str], routed: Iterable[str], sends: Sequence[tuple[str, str]]
) -> Frontier:
    """The frontier after a superstep in which the nodes `ran` ran (Send targets included),
    branches chose `routed` and nodes sent `sends`."""
    ran = set(ran)
    signalled = set(frontier.nodes) - ran
    for name in ran:
        signalled.update(topology.succs[name])
    signalled.update(routed)
    return Frontier(tuple(sorted(signalled)), tuple(sends))


def _reachable(topology: Topology, sources: Iterable[str], avoid: str | None) -> set[str]:
    """The sources and everything reachable from them, never entering `avoid`."""
    seen = {name for name in sources if name != avoid}
    queue = deque(seen)
    reach = topology.reach
    while queue:
        for following in reach[queue.popleft()]:
            if following not in seen and following != avoid:
                seen.add(following)
                queue.append(following)
    return seen


def _blockers(topology: Topology, name: str, sources: set[str], live: set[str], *, first_only: bool) -> list[str]:
    """The predecessors of `name` that can still run (only the first found when
    `first_only`). A predecessor outside the node's strongly connected component reaches
    it only through paths that cannot pass through it, so being live is enough; inside the
    component the search must avoid the node."""
    blockers = []
    avoiding: set[str] | None = None
    component = topology.component
    for predecessor in topology.preds[name]:
        if predecessor == name or predecessor not in live:
            continue
        if predecessor not in sources and component[predecessor] == component[name]:
            if avoiding is None:
                avoiding = _reachable(topology, sources - {name}, avoid=name)
            if predecessor not in avoiding:
                continue
        blockers.append(predecessor)
        if first_only:
            break
    return blockers


def _unblock(topology: Topology, signalled: set[str], sources: set[str], live: set[str]) -> list[str]:
    """Signalled nodes that all wait: run those that wait on nothing outside their group.

    n waits on m (both signalled) when m is a predecessor of n that can still run, or
    reaches one without passing through n. The groups are the strongly connected parts of
    that relation; a group none of whose members waits on a node outside it runs.
    """
    waits_on: dict[str, set[str]] = {}
    for name in signalled:
        blockers = set(_blockers(topology, name, sources, live, first_only=False))
        others = signalled - {name}
        waited = {m for m in others if m in blockers or blockers & _reachable(topology, {m}, avoid=name)}
        waits_on[name] = waited
    closure = {name: _closure(name, waits_on) for name in signalled}
    return [name for name in signalled if all(name in closure[other] for other in closure[name])]


def _closure(name: str, edges: dict[str, set[str]]) -> set[str]:
    seen: set[str] = set()
    stack = [name]
    while stack:
        for following in edges[stack.pop()]:
            if following not in seen:
                seen.add(following)
                stack.append(following)
    return seen
