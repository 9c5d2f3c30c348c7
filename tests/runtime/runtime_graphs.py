"""Graphs for the runtime tests, and a pure-Python fold to check runs against.

Nodes are module-level functions (or partials of them) so that Ray can ship them.
"""

from __future__ import annotations

import functools
import json
import os
import time
from typing import Any

from zelk_runtime import Graph, Output


def channel_node(index: int, channels: tuple[str, ...], state: dict[str, Any]) -> Output:
    """Writes every channel in `channels` by its kind (a*: add, l*: append, other: replace);
    the values depend on what the state already holds, so supersteps must run in order."""
    seen = sum(len(json.dumps(value)) for value in state.values()) % 101
    update: dict[str, Any] = {}
    for channel in channels:
        if channel.startswith("a"):
            update[channel] = index * 3 + seen
        elif channel.startswith("l"):
            update[channel] = [index, seen] if index % 2 else index
        else:
            update[channel] = {"by": index, "saw": sorted(state)[:3]}
    return Output(update, cost=index / 8)


def random_graph(
    nodes: int, edges: list[tuple[int, int]], writes: list[tuple[str, ...]], initial: dict[str, Any] | None = None
) -> Graph:
    """Node i writes `writes[i % len(writes)]`; edges (i, j) are kept only for i < j (acyclic)."""
    names = [f"node{i}" for i in range(nodes)]
    table = {names[i]: functools.partial(channel_node, i, writes[i % len(writes)]) for i in range(nodes)}
    channels = {channel for group in writes for channel in group}
    # Replace channels written by several nodes of one superstep need their reducer declared:
    # the later name wins, as the module folds.
    kinds = {"a": "add", "l": "append"}
    reducers = {channel: kinds.get(channel[0], "last_value") for channel in channels}
    kept = sorted({(names[i], names[j]) for i, j in edges if i < j < nodes})
    return Graph(table, kept, reducers=reducers, initial_state=initial or {}, channels=sorted(channels))


def reference_fold(graph: Graph) -> dict[str, Any]:
    """The run's final state computed without the module: every reducer written in Python."""
    state: dict[str, Any] = json.loads(graph.initial_state_json)
    for step in graph.plan:
        view = json.loads(json.dumps(state))
        outputs = [graph.nodes[name](view) for name in step]
        for output in outputs:
            update = output.update if isinstance(output, Output) else output
            for channel in sorted(update or {}):
                value, current = update[channel], state.get(channel)
                reducer = graph.reducers.get(channel, "last_value")
                if reducer == "add":
                    state[channel] = (current if isinstance(current, int) else 0) + value
                elif reducer == "append":
                    start = [] if current is None else current if isinstance(current, list) else [current]
                    state[channel] = start + (value if isinstance(value, list) else [value])
                else:
                    state[channel] = value
    return state


# The graph the kill test runs in a child process: the middle superstep blocks until killed
# when ZELK_TEST_BLOCK names a file to create first.
def first(state: dict[str, Any]) -> dict[str, Any]:
    return {"steps": ["first"], "total": 1}


def middle(state: dict[str, Any]) -> dict[str, Any]:
    marker = os.environ.get("ZELK_TEST_BLOCK")
    if marker:
        with open(marker, "w") as handle:
            handle.write("started")
        time.sleep(60)
    return {"steps": ["middle"], "total": 10}


def last(state: dict[str, Any]) -> dict[str, Any]:
    return {"steps": ["last"], "total": 100}


def build_graph() -> Graph:
    return Graph(
        [first, middle, last],
        [("first", "middle"), ("middle", "last")],
        reducers={"steps": "append", "total": "add"},
        channels=["steps", "total"],
    )
