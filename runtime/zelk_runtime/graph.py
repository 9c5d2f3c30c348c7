"""Graph definition and validation: everything is checked before a single node runs."""

from __future__ import annotations

import difflib
import json
import math
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, NamedTuple, TypeAlias

import zelk_core

from .errors import CycleError, GraphError

# A JSON value as the module holds it: the runtime checks values against this before
# they cross into the module, because `json.dumps` would quietly turn NaN into a token the
# module refuses, integer keys into strings, and big integers into doubles.
JSON: TypeAlias = None | bool | int | float | str | list["JSON"] | dict[str, "JSON"]
State: TypeAlias = dict[str, Any]
Update: TypeAlias = Mapping[str, Any]


class Output(NamedTuple):
    """What a node may return instead of a bare update: the update and the cost it reports."""

    update: Update | None
    cost: float = 0.0


NodeResult: TypeAlias = Update | Output | None
NodeFn: TypeAlias = Callable[[State], NodeResult]

BUILTIN_REDUCERS = ("add", "append", "last_value")
# The module's integers: unsigned 64-bit, and signed 64-bit for negative values. Anything
# outside becomes a double there and loses digits.
INT_MIN = -(2**63)
INT_MAX = 2**64 - 1


def json_problem(value: object, where: str) -> str | None:
    """Why `value` is not a JSON value the module keeps exactly, or None when it is.

    `where` names the value in the message (for example "initial state['a']"); the path
    of the first offending part is appended to it.
    """
    stack: list[tuple[object, str]] = [(value, where)]
    while stack:
        item, path = stack.pop()
        kind = type(item)
        if item is None or kind is bool:
            continue
        if kind is str or isinstance(item, str):
            text: str = item  # type: ignore[assignment]
            if not text.isascii():
                try:
                    text.encode("utf-8")
                except UnicodeEncodeError:
                    return f"{path} is a string with a lone surrogate, which has no UTF-8 form"
            continue
        if isinstance(item, bool):
            continue
        if isinstance(item, int):
            if not INT_MIN <= item <= INT_MAX:
                return f"{path} is the integer {item}, outside the 64-bit range JSON state keeps exactly"
            continue
        if isinstance(item, float):
            if not math.isfinite(item):
                return f"{path} is {item!r}, which JSON cannot hold"
            continue
        if isinstance(item, (list, tuple)):
            stack.extend((child, f"{path}[{index}]") for index, child in reversed(list(enumerate(item))))
            continue
        if isinstance(item, dict):
            for key, child in item.items():
                if not isinstance(key, str):
                    return f"{path} has the key {key!r} of type {type(key).__name__}; JSON keys are strings"
                if not key.isascii():
                    try:
                        key.encode("utf-8")
                    except UnicodeEncodeError:
                        return f"{path} has a key with a lone surrogate, which has no UTF-8 form"
                stack.append((child, f"{path}[{key!r}]"))
            continue
        hint = " (convert it with .item() or .tolist())" if hasattr(item, "tolist") else ""
        article = "an" if kind.__name__[:1] in "aeiou" else "a"
        return f"{path} is {article} {kind.__name__}, which JSON cannot hold{hint}"
    return None


def dumps(value: object) -> str:
    """Compact JSON text of a value that passed `json_problem`."""
    return json.dumps(value, ensure_ascii=False, allow_nan=False, separators=(",", ":"))


def _suggest(name: str, choices: Iterable[str]) -> str:
    close = difflib.get_close_matches(name, list(choices), n=1)
    return f" (did you mean {close[0]!r}?)" if close else ""


def _node_name(fn: object) -> str:
    name = getattr(fn, "__name__", None)
    if not isinstance(name, str):
        raise GraphError(f"node {fn!r} has no __name__; give the nodes as a mapping from name to callable")
    return name


def find_cycle(names: Iterable[str], edges: Sequence[tuple[str, str]]) -> list[str] | None:
    """One cycle among the edges between `names`, as its nodes in order, or None."""
    members = set(names)
    successors: dict[str, list[str]] = {}
    for source, target in edges:
        if source in members and target in members:
            successors.setdefault(source, []).append(target)
    colour: dict[str, int] = {}  # 1 on the current path, 2 finished
    for start in sorted(members):
        if start in colour:
            continue
        path = [start]
        iterators = [iter(successors.get(start, ()))]
        colour[start] = 1
        while iterators:
            following = next(iterators[-1], None)
            if following is None:
                colour[path.pop()] = 2
                iterators.pop()
            elif colour.get(following) == 1:
                return path[path.index(following) :]
            elif following not in colour:
                colour[following] = 1
                path.append(following)
                iterators.append(iter(successors.get(following, ())))
    return None


class Graph:
    """A validated graph: nodes, edges, reducers, initial state, and its plan.

    nodes: a mapping from name to callable, or a sequence of callables (named by their
        `__name__`) or of (name, callable) pairs. A node takes the state (a dict, shared by
        the superstep's nodes: read it, don't change it) and returns an update (a dict from
        channel to value), an `Output(update, cost)`, or None.
    edges: (before, after) pairs of node names.
    reducers: channel -> reducer name: "add", "append", "last_value" (replace, the default
        for channels not listed) or a name declared in `replace_names`.
    initial_state: channel -> JSON value before the first superstep.
    allow_cycles: run nodes on and after a cycle once, together, in the last superstep,
        instead of refusing the graph.
    """

    nodes: dict[str, NodeFn]
    edges: tuple[tuple[str, str], ...]
    reducers: dict[str, str]
    initial_state: dict[str, Any]
    plan: tuple[tuple[str, ...], ...]
    reducers_json: str
    initial_state_json: str
    allow_cycles: bool
    replace_names: frozenset[str]

    def __init__(
        self,
        nodes: Mapping[str, NodeFn] | Iterable[NodeFn | tuple[str, NodeFn]],
        edges: Iterable[tuple[str, str]] = (),
        *,
        reducers: Mapping[str, str] | None = None,
        initial_state: Mapping[str, Any] | None = None,
        replace_names: Iterable[str] = (),
        allow_cycles: bool = False,
    ) -> None:
        table = _collect_nodes(nodes)
        edge_list = _check_edges(edges, table)
        replace = _check_replace_names(replace_names)
        reducer_table = _check_reducers(reducers or {}, replace)
        state = _check_initial_state(initial_state or {})

        plan = zelk_core.plan_supersteps(list(table), edge_list)
        if not allow_cycles:
            _refuse_cycles(plan, edge_list)

        self.nodes = table
        self.edges = tuple(edge_list)
        self.reducers = reducer_table
        self.initial_state = state
        self.plan = tuple(tuple(step) for step in plan)
        self.reducers_json = dumps(reducer_table)
        # The module's canonical form of the initial state: members sorted, compact.
        self.initial_state_json = zelk_core.advance_superstep(dumps(state), "{}", "[]")
        self.allow_cycles = allow_cycles
        self.replace_names = replace

    def describe(self) -> dict[str, Any]:
        """The parts of the graph that a stored run must agree with to be resumed."""
        return {
            "plan": [list(step) for step in self.plan],
            "edges": [list(edge) for edge in self.edges],
            "reducers": self.reducers,
            "initial_state": self.initial_state_json,
        }


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
        if json_problem(name, "node name") is not None:
            raise GraphError(f"node name {name!r} has no UTF-8 form")
        if name in table:
            raise GraphError(f"duplicate node {name!r}")
        if not callable(fn):
            raise GraphError(f"node {name!r} is not callable: {fn!r}")
        table[name] = fn
    return table


def _check_edges(edges: Iterable[tuple[str, str]], table: Mapping[str, NodeFn]) -> list[tuple[str, str]]:
    if isinstance(edges, (str, bytes)):
        raise GraphError("edges must be a sequence of (before, after) pairs, not a string")
    checked: list[tuple[str, str]] = []
    for edge in edges:
        if not isinstance(edge, (tuple, list)) or len(edge) != 2:
            raise GraphError(f"edge {edge!r} is not a (before, after) pair")
        source, target = edge
        for end in (source, target):
            if not isinstance(end, str):
                raise GraphError(f"edge {tuple(edge)!r} names {end!r}, which is not a string")
            if end not in table:
                raise GraphError(f"edge {tuple(edge)!r} names unknown node {end!r}{_suggest(end, table)}")
        checked.append((source, target))
    return checked


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


def _check_reducers(reducers: Mapping[str, str], replace: frozenset[str]) -> dict[str, str]:
    if not isinstance(reducers, Mapping):
        raise GraphError(f"reducers must be a mapping from channel to reducer name, not {type(reducers).__name__}")
    known = set(BUILTIN_REDUCERS) | replace
    table: dict[str, str] = {}
    for channel, reducer in reducers.items():
        if not isinstance(channel, str) or json_problem(channel, "channel") is not None:
            raise GraphError(f"reducer channel {channel!r} is not a string with a UTF-8 form")
        if not isinstance(reducer, str):
            raise GraphError(f"reducer for channel {channel!r} is {reducer!r}, not a reducer name")
        if reducer not in known:
            raise GraphError(
                f"unknown reducer {reducer!r} for channel {channel!r}{_suggest(reducer, known)}; "
                f"known: {', '.join(sorted(known))} (declare custom replace names with replace_names=)"
            )
        table[channel] = reducer
    return table


def _check_initial_state(state: Mapping[str, Any]) -> dict[str, Any]:
    if not isinstance(state, Mapping):
        raise GraphError(f"initial state must be a mapping from channel to value, not {type(state).__name__}")
    checked = dict(state)
    problem = json_problem(checked, "initial state")
    if problem is not None:
        raise GraphError(problem)
    return checked


def _refuse_cycles(plan: list[list[str]], edges: Sequence[tuple[str, str]]) -> None:
    for source, target in edges:
        if source == target:
            raise CycleError(
                f"node {source!r} has an edge to itself; pass allow_cycles=True to run such a graph "
                "(nodes on and after a cycle then run once, together, in the last superstep)",
                [source],
            )
    if not plan:
        return
    # Only the remainder superstep can hold both ends of an edge; a cycle lies inside it.
    last = set(plan[-1])
    if any(source in last and target in last for source, target in edges):
        cycle = find_cycle(last, edges) or sorted(last)
        shown = " -> ".join(cycle + cycle[:1])
        raise CycleError(
            f"the graph has a cycle: {shown}; pass allow_cycles=True to run it anyway "
            "(nodes on and after a cycle then run once, together, in the last superstep)",
            cycle,
        )
