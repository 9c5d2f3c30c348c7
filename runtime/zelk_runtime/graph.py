"""Graph declaration and validation: everything is checked before a single node runs."""

from __future__ import annotations

import difflib
import functools
import inspect
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, NamedTuple, TypeAlias

import zelk_core

from .errors import GraphError
from .fingerprint import fingerprint
from .policies import Policy, check_policies
from .values import dumps, json_problem

State: TypeAlias = dict[str, Any]
Update: TypeAlias = Mapping[str, Any]


class Send(NamedTuple):
    """Run one instance of `node` in the next superstep, called as `node(state, arg)`."""

    node: str
    arg: Any = None


class Output(NamedTuple):
    """What a node may return instead of a bare update: the update, the cost it reports,
    and the Sends it makes."""

    update: Update | None = None
    cost: float = 0.0
    sends: Sequence[Send] = ()


class _End:
    """The route result that signals nothing: the branch ends here."""

    _instance: _End | None = None

    def __new__(cls) -> _End:
        if cls._instance is None:
            cls._instance = super().__new__(cls)
        return cls._instance

    def __repr__(self) -> str:
        return "END"

    def __reduce__(self) -> str:
        return "END"


END = _End()

NodeResult: TypeAlias = Update | Output | Send | Sequence[Send] | None
NodeFn: TypeAlias = Callable[..., NodeResult]
Route: TypeAlias = Callable[[State], Any]

BUILTIN_REDUCERS = ("add", "append", "last_value")


def suggest(name: str, choices: Iterable[str]) -> str:
    """The text " (did you mean 'x'?)" for the closest of `choices`, or an empty string."""
    close = difflib.get_close_matches(name, list(choices), n=1)
    return f" (did you mean {close[0]!r}?)" if close else ""


@dataclass(frozen=True)
class Topology:
    """The graph's shape as the flow rule reads it.

    preds/succs: static edges (self-edges included); reach: everything a node can lead to,
    static successors, possible branch targets and declared Send targets. `plan` is the
    superstep plan when the flow needs no decisions (no branch, Send or cycle, the default
    start): then the rule gives exactly that plan.
    """

    names: tuple[str, ...]
    preds: Mapping[str, tuple[str, ...]]
    succs: Mapping[str, tuple[str, ...]]
    reach: Mapping[str, tuple[str, ...]]
    start: tuple[str, ...]
    send_targets: frozenset[str]
    plan: tuple[tuple[str, ...], ...] | None
    depth: Mapping[str, int] = field(default_factory=dict)  # superstep of each node in `plan`
    component: Mapping[str, int] = field(default_factory=dict)  # strongly connected, over `reach`


class Graph:
    """A validated graph.

    nodes: a mapping from name to callable, or a sequence of callables (named by their
        `__name__`) or of (name, callable) pairs. A node takes the state (a read-only dict)
        and returns None, an update (a dict from channel to value), an `Output(update,
        cost, sends)`, a `Send` or a list of them.
    edges: (before, after) pairs of node names; a cycle is a loop.
    branches: node -> (route, [possible targets]): after the superstep in which the node
        ran, `route(state)` names the nodes to signal (a name, a list of names, or END).
    sends: node -> [targets] it may Send to; a Send target is called `target(state, arg)`.
    reducers: channel -> "add", "append", "last_value" (replace) or a name declared in
        `replace_names`.
    channels: the state's channels besides those `initial_state` gives a value; a node
        may write only declared channels, and `reducers` name only declared channels.
    initial_state: channel -> JSON value before the first superstep (declares them).
    start: the nodes of superstep 0 (default: those no edge, branch or Send leads to).
    step_limit: a run stops with StepLimitError before superstep `step_limit`.
    interrupt_before / interrupt_after: node names the run stops before / after.
    policies: node -> Policy(retries, backoff, timeout, retry_on): how the node is run.
        Policies are not part of what a stored run must agree with: changing one does not
        make a stored run another graph's.
    """

    def __init__(
        self,
        nodes: Mapping[str, NodeFn] | Iterable[NodeFn | tuple[str, NodeFn]],
        edges: Iterable[tuple[str, str]] = (),
        *,
        branches: Mapping[str, tuple[Route, Sequence[str]]] | None = None,
        sends: Mapping[str, Sequence[str]] | None = None,
        reducers: Mapping[str, str] | None = None,
        channels: Iterable[str] = (),
        initial_state: Mapping[str, Any] | None = None,
        start: Iterable[str] | None = None,
        step_limit: int = 100,
        interrupt_before: Iterable[str] = (),
        interrupt_after: Iterable[str] = (),
        replace_names: Iterable[str] = (),
        policies: Mapping[str, Policy | Mapping[str, Any]] | None = None,
    ) -> None:
        table = _collect_nodes(nodes)
        edge_list = _check_edges(edges, table)
        branch_table = _check_branches(branches or {}, table)
        send_table = _check_sends(sends or {}, table)
        replace = _check_replace_names(replace_names)
        state = _check_initial_state(initial_state or {})
        declared = _check_channels(channels) | frozenset(state)
        reducer_table = _check_reducers(reducers or {}, replace, declared)

        self.nodes: dict[str, NodeFn] = table
        self.edges: tuple[tuple[str, str], ...] = tuple(edge_list)
        self.branches: dict[str, tuple[Route, tuple[str, ...]]] = branch_table
        self.sends: dict[str, tuple[str, ...]] = send_table
        self.reducers: dict[str, str] = reducer_table
        self.channels: frozenset[str] = declared
        self.initial_state: dict[str, Any] = state
        self.replace_names: frozenset[str] = replace
        self.step_limit: int = _check_step_limit(step_limit)
        self.interrupt_before: frozenset[str] = _check_names(interrupt_before, table, "interrupt_before")
        self.interrupt_after: frozenset[str] = _check_names(interrupt_after, table, "interrupt_after")
        self.policies: dict[str, Policy] = check_policies(policies or {}, table, suggest)
        self.topology: Topology = _topology(table, edge_list, branch_table, send_table, start)
        self.reducers_json: str = dumps(reducer_table)
        # The module's canonical form of the initial state: members sorted, compact.
        self.initial_state_json: str = zelk_core.advance_superstep(dumps(state), "{}", "[]")
        self._code: dict[str, dict[str, str]] | None = None
        self._description: dict[str, Any] | None = None
        self._waits: dict[Any, bool] = {}  # by the function under any partials

    def waits(self, name: str) -> bool:
        """Whether node `name` is async (an `async def`, a partial of one, or a callable
        object whose `__call__` is one); found once per function the nodes share."""
        target: Any = self.nodes[name]
        while isinstance(target, functools.partial):
            target = target.func
        found = self._waits.get(target)
        if found is None:
            from .attempts import waits

            found = self._waits[target] = waits(target)
        return found

    def code(self) -> dict[str, dict[str, str]]:
        """Fingerprints of the nodes' and routes' code: {"nodes": {...}, "routes": {...}}."""
        if self._code is None:
            self._code = {
                "nodes": {name: fingerprint(fn) for name, fn in self.nodes.items()},
                "routes": {name: fingerprint(route) for name, (route, _) in self.branches.items()},
            }
        return self._code

    @property
    def plan(self) -> tuple[tuple[str, ...], ...] | None:
        """The superstep plan of a graph that needs no decisions, else None."""
        return self.topology.plan

    def describe(self) -> dict[str, Any]:
        """The parts of the graph that a stored run must agree with to be continued."""
        if self._description is None:
            topology = self.topology
            self._description = {
                "nodes": sorted(self.nodes),
                # In the order given, each once; a stored run compares them as a set.
                "edges": [list(edge) for edge in dict.fromkeys(self.edges)],
                "branches": {name: list(targets) for name, (_, targets) in sorted(self.branches.items())},
                "sends": {name: list(targets) for name, targets in sorted(self.sends.items())},
                "reducers": self.reducers,
                "channels": sorted(self.channels),
                "initial_state": zelk_core.hash_event("state", self.initial_state_json),
                "start": list(topology.start),
            }
        return self._description


def _collect_nodes(nodes: Mapping[str, NodeFn] | Iterable[NodeFn | tuple[str, NodeFn]]) -> dict[str, NodeFn]:
    if isinstance(nodes, (str, bytes)):
        raise GraphError("nodes must be a mapping or a sequence of callables, not a string")
    pairs: list[tuple[object, object]]
    if isinstance(nodes, Mapping):
        pairs = list(nodes.items())
    else:
        pairs = [item if isinstance(item, tuple) else (_node_name(item), item) for item in nodes]
    table: dict[str, NodeFn] = {}
    for pair in pairs:
        if len(pair) != 2:
            raise GraphError(f"node entry {pair!r} is not a (name, callable) pair")
        name, fn = pair
        if not isinstance(name, str) or not name:
            raise GraphError(f"node name {name!r} is not a non-empty string")
        if not name.isascii() and json_problem(name, "node name") is not None:
            raise GraphError(f"node name {name!r} has no UTF-8 form")
        if name in table:
            raise GraphError(f"duplicate node {name!r}")
        if not callable(fn):
            raise GraphError(f"node {name!r} is not callable: {fn!r}")
        table[name] = fn
    return table


def _node_name(fn: object) -> str:
    name = getattr(fn, "__name__", None)
    if not isinstance(name, str):
        raise GraphError(f"node {fn!r} has no __name__; give the nodes as a mapping from name to callable")
    return name


def _known(name: object, table: Mapping[str, object], what: str) -> str:
    if not isinstance(name, str):
        raise GraphError(f"{what} names {name!r}, which is not a string")
    if name not in table:
        raise GraphError(f"{what} names unknown node {name!r}{suggest(name, table)}")
    return name


def _check_edges(edges: Iterable[tuple[str, str]], table: Mapping[str, NodeFn]) -> list[tuple[str, str]]:
    if isinstance(edges, (str, bytes)):
        raise GraphError("edges must be a sequence of (before, after) pairs, not a string")
    checked: list[tuple[str, str]] = []
    for edge in edges:
        # The common case in one test: a pair of names of nodes (node names are strings).
        if (
            type(edge) is tuple
            and len(edge) == 2
            and type(edge[0]) is str
            and type(edge[1]) is str
            and edge[0] in table
            and edge[1] in table
        ):
            checked.append(edge)
            continue
        if not isinstance(edge, (tuple, list)) or len(edge) != 2:
            raise GraphError(f"edge {edge!r} is not a (before, after) pair")
        source = _known(edge[0], table, f"edge {tuple(edge)!r}")
        target = _known(edge[1], table, f"edge {tuple(edge)!r}")
        checked.append((source, target))
    return checked


def _target_list(value: object, what: str, table: Mapping[str, NodeFn]) -> tuple[str, ...]:
    if isinstance(value, str) or not isinstance(value, Iterable):
        raise GraphError(f"{what} must list its possible targets, not {value!r}")
    targets = []
    for target in value:
        if target is END:
            continue
        name = _known(target, table, what)
        if name not in targets:
            targets.append(name)
    return tuple(targets)


def _check_branches(
    branches: Mapping[str, tuple[Route, Sequence[str]]], table: Mapping[str, NodeFn]
) -> dict[str, tuple[Route, tuple[str, ...]]]:
    if not isinstance(branches, Mapping):
        raise GraphError(f"branches must be a mapping from node to (route, targets), not {type(branches).__name__}")
    checked: dict[str, tuple[Route, tuple[str, ...]]] = {}
    for name, branch in branches.items():
        node = _known(name, table, "branches")
        if not isinstance(branch, (tuple, list)) or len(branch) != 2 or not callable(branch[0]):
            raise GraphError(
                f"the branch of node {node!r} must be (route, [possible targets]) with a callable route, not {branch!r}"
            )
        checked[node] = (branch[0], _target_list(branch[1], f"the branch of node {node!r}", table))
    return checked


def _check_sends(sends: Mapping[str, Sequence[str]], table: Mapping[str, NodeFn]) -> dict[str, tuple[str, ...]]:
    if not isinstance(sends, Mapping):
        raise GraphError(f"sends must be a mapping from node to the nodes it sends to, not {type(sends).__name__}")
    checked: dict[str, tuple[str, ...]] = {}
    for name, targets in sends.items():
        node = _known(name, table, "sends")
        checked[node] = _target_list(targets, f"the sends of node {node!r}", table)
        for target in checked[node]:
            _takes_an_argument(target, table[target])
    return checked


def _takes_an_argument(name: str, fn: NodeFn) -> None:
    try:
        signature = inspect.signature(fn)
    except (TypeError, ValueError):
        return  # a callable without a signature: it is called and fails as a node if it must
    try:
        signature.bind(None, None)
    except TypeError:
        raise GraphError(
            f"node {name!r} is a Send target, so it is called as {name}(state, arg), but it does not take two "
            f"arguments: {name}{signature}"
        ) from None


def _check_replace_names(names: Iterable[str]) -> frozenset[str]:
    if isinstance(names, str):
        names = (names,)
    replace = frozenset(names)
    for name in replace:
        if not isinstance(name, str):
            raise GraphError(f"replace name {name!r} is not a string")
        if name in ("add", "append"):
            raise GraphError(f"{name!r} cannot be declared a replace name: it is a built-in reducer")
    return replace


def _channel_name(name: object, what: str) -> str:
    if not isinstance(name, str) or json_problem(name, "channel") is not None:
        raise GraphError(f"{what} {name!r} is not a string with a UTF-8 form")
    return name


def _check_channels(channels: Iterable[str]) -> frozenset[str]:
    if isinstance(channels, str):
        raise GraphError("channels must be a sequence of channel names, not a string")
    return frozenset(_channel_name(name, "channel") for name in channels)


def _undeclared(channel: str, declared: frozenset[str], what: str) -> GraphError:
    return GraphError(
        f"{what} names channel {channel!r}, which the graph does not declare{suggest(channel, declared)}; "
        "declare channels with channels= or initial_state="
    )


def _check_reducers(reducers: Mapping[str, str], replace: frozenset[str], declared: frozenset[str]) -> dict[str, str]:
    if not isinstance(reducers, Mapping):
        raise GraphError(f"reducers must be a mapping from channel to reducer name, not {type(reducers).__name__}")
    known = set(BUILTIN_REDUCERS) | replace
    table: dict[str, str] = {}
    for channel, reducer in reducers.items():
        name = _channel_name(channel, "reducer channel")
        if name not in declared:
            raise _undeclared(name, declared, "reducers")
        if not isinstance(reducer, str):
            raise GraphError(f"reducer for channel {name!r} is {reducer!r}, not a reducer name")
        if reducer not in known:
            raise GraphError(
                f"unknown reducer {reducer!r} for channel {name!r}{suggest(reducer, known)}; "
                f"known: {', '.join(sorted(known))} (declare custom replace names with replace_names=)"
            )
        table[name] = reducer
    return table


def _check_initial_state(state: Mapping[str, Any]) -> dict[str, Any]:
    if not isinstance(state, Mapping):
        raise GraphError(f"initial state must be a mapping from channel to value, not {type(state).__name__}")
    checked = dict(state)
    problem = json_problem(checked, "initial state", channels=True)
    if problem is not None:
        raise GraphError(problem)
    return checked


def _check_step_limit(limit: int) -> int:
    if isinstance(limit, bool) or not isinstance(limit, int) or limit < 1:
        raise GraphError(f"step_limit must be a positive integer, not {limit!r}")
    return limit


def _check_names(names: Iterable[str], table: Mapping[str, NodeFn], what: str) -> frozenset[str]:
    if isinstance(names, str):
        names = (names,)
    return frozenset(_known(name, table, what) for name in names)


def _topology(
    table: Mapping[str, NodeFn],
    edges: Sequence[tuple[str, str]],
    branches: Mapping[str, tuple[Route, tuple[str, ...]]],
    sends: Mapping[str, tuple[str, ...]],
    start: Iterable[str] | None,
) -> Topology:
    names = tuple(table)
    preds: dict[str, list[str]] = {name: [] for name in names}
    succs: dict[str, list[str]] = {name: [] for name in names}
    looped = False  # a self-edge: a loop the planner does not see
    for source, target in dict.fromkeys(edges):  # a repeated edge signals once
        succs[source].append(target)
        preds[target].append(source)
        looped = looped or source == target
    branch_targets = {target for _, targets in branches.values() for target in targets}
    send_targets = frozenset(target for targets in sends.values() for target in targets)
    for target in sorted(send_targets):
        callers = [source for source in preds[target]] + [n for n, (_, ts) in branches.items() if target in ts]
        if callers:
            raise GraphError(
                f"node {target!r} is a Send target (called with an argument) but node {callers[0]!r} also leads "
                "to it by an edge or a branch; give the Send target its own node"
            )
    frozen_preds = {name: tuple(items) for name, items in preds.items()}
    frozen_succs = {name: tuple(items) for name, items in succs.items()}
    reach: Mapping[str, tuple[str, ...]] = frozen_succs
    if branches or sends:
        reach = {
            name: tuple(dict.fromkeys([*succs[name], *branches.get(name, (None, ()))[1], *sends.get(name, ())]))
            for name in names
        }
    if start is None:
        first = tuple(
            name for name in names if not preds[name] and name not in branch_targets and name not in send_targets
        )
        if not first:
            raise GraphError(
                "every node of the graph has a predecessor (an edge, branch or Send leads to it): name the nodes "
                "of the first superstep with start="
            )
    else:
        first = tuple(sorted(_check_names(start, table, "start")))
        if not first:
            raise GraphError("start names no node; leave it out to start from the nodes nothing leads to")
        for name in first:
            if name in send_targets:
                raise GraphError(f"start names {name!r}, a Send target; it runs only when a node sends to it")
    plan = None
    if not branches and not sends and start is None:
        steps = zelk_core.plan_supersteps(list(names), list(edges))
        if not looped and not _has_cycle(steps, frozen_preds):
            plan = tuple(tuple(step) for step in steps)
    return Topology(
        names=names,
        preds=frozen_preds,
        succs=frozen_succs,
        reach=reach,
        start=tuple(sorted(first)),
        send_targets=send_targets,
        plan=plan,
        depth={name: number for number, step in enumerate(plan or ()) for name in step},
        # The flow needs the components only when it decides; a planned graph follows its plan.
        component=_components(names, reach) if plan is None else {},
    )


def _has_cycle(plan: Sequence[Sequence[str]], preds: Mapping[str, Sequence[str]]) -> bool:
    # The planner gathers nodes on or after a cycle into its last superstep: only that
    # superstep can hold both ends of an edge.
    last = set(plan[-1]) if plan else set()
    return any(source in last for target in last for source in preds[target])


def _components(names: Sequence[str], reach: Mapping[str, Sequence[str]]) -> dict[str, int]:
    """Strongly connected components (Tarjan's algorithm, iterative): node -> component id."""
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    on_stack: set[str] = set()
    stack: list[str] = []
    component: dict[str, int] = {}
    counter = 0
    for root in names:
        if root in index:
            continue
        work: list[tuple[str, int]] = [(root, 0)]
        while work:
            node, position = work.pop()
            if position == 0:
                index[node] = low[node] = counter
                counter += 1
                stack.append(node)
                on_stack.add(node)
            following = reach[node]
            if position < len(following):
                work.append((node, position + 1))
                child = following[position]
                if child not in index:
                    work.append((child, 0))
                elif child in on_stack:
                    low[node] = min(low[node], index[child])
                continue
            if low[node] == index[node]:
                while True:
                    member = stack.pop()
                    on_stack.discard(member)
                    component[member] = index[node]
                    if member == node:
                        break
            if work:
                parent = work[-1][0]
                low[parent] = min(low[parent], low[node])
    return component
