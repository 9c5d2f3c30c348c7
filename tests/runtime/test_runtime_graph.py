"""Graph validation: every refused definition names its culprit; a graph has a static plan
exactly when it needs no decisions."""

from __future__ import annotations

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

zelk_runtime = pytest.importorskip("zelk_runtime")
from zelk_runtime import END, Graph, GraphError  # noqa: E402


def fetch(state):
    return None


def rank(state):
    return None


def answer(state):
    return None


def score(state, arg):
    return None


def route(state):
    return END


def deep(levels):
    value = 1
    for _ in range(levels):
        value = [value]
    return value


REFUSED = [
    # (nodes, edges, keyword arguments, words the message must hold)
    ([fetch, rank], [("fetch", "rnak")], {}, ["unknown node 'rnak'", "did you mean 'rank'"]),
    ([fetch, rank], [("fetch",)], {}, ["not a (before, after) pair"]),
    ([fetch, rank], [("fetch", 3)], {}, ["names 3"]),
    ([fetch, rank], "fetch", {}, ["not a string"]),
    (
        [fetch],
        [],
        {"reducers": {"log": "apend"}, "channels": ["log"]},
        ["unknown reducer 'apend'", "'log'", "did you mean 'append'"],
    ),
    ([fetch], [], {"reducers": {"n": "Add"}, "channels": ["n"]}, ["unknown reducer 'Add'"]),
    ([fetch], [], {"reducers": {"n": 1}, "channels": ["n"]}, ["reducer for channel 'n'"]),
    ([fetch], [], {"reducers": {"n": "append"}, "replace_names": ["append"]}, ["'append' cannot be declared"]),
    ([fetch], [], {"reducers": {"n": "add"}}, ["reducers names channel 'n', which the graph does not declare"]),
    ([fetch, fetch], [], {}, ["duplicate node 'fetch'"]),
    ([("a", fetch), ("a", rank)], [], {}, ["duplicate node 'a'"]),
    ({"a": 3}, [], {}, ["node 'a' is not callable"]),
    ({"": fetch}, [], {}, ["not a non-empty string"]),
    ({"\ud800": fetch}, [], {}, ["no UTF-8 form"]),
    ([print.__call__, 5], [], {}, ["has no __name__"]),
    ([fetch], [], {"initial_state": {"x": math.nan}}, ["initial state['x'] is nan"]),
    ([fetch], [], {"initial_state": {"x": [1, -math.inf]}}, ["initial state['x'][1] is -inf"]),
    ([fetch], [], {"initial_state": {"x": {1: "a"}}}, ["initial state['x'] has the key 1"]),
    ([fetch], [], {"initial_state": {"x": {"y": {1, 2}}}}, ["initial state['x']['y'] is a set"]),
    ([fetch], [], {"initial_state": {"x": b"raw"}}, ["is a bytes"]),
    ([fetch], [], {"initial_state": {"x": 2**64}}, ["outside the 64-bit range"]),
    ([fetch], [], {"initial_state": {"x": -(2**63) - 1}}, ["outside the 64-bit range"]),
    ([fetch], [], {"initial_state": {"x": "\udc00"}}, ["lone surrogate"]),
    ([fetch], [], {"initial_state": [("x", 1)]}, ["must be a mapping"]),
    ([fetch], [], {"initial_state": {"x": deep(126)}}, ["initial state['x']", "deeper than 125 levels"]),
    (
        [fetch, rank],
        [("fetch", "rank"), ("rank", "fetch")],
        {},
        ["every node of the graph has a predecessor", "start="],
    ),
    ([fetch], [("fetch", "fetch")], {}, ["start="]),
    ([fetch, rank], [], {"start": ["rnak"]}, ["start names unknown node 'rnak'", "did you mean 'rank'"]),
    ([fetch, rank], [], {"start": []}, ["start names no node"]),
    ([fetch, rank], [], {"branches": {"fetch": (route, ["rnak"])}}, ["unknown node 'rnak'", "did you mean 'rank'"]),
    ([fetch, rank], [], {"branches": {"fech": (route, ["rank"])}}, ["branches names unknown node 'fech'"]),
    ([fetch, rank], [], {"branches": {"fetch": ("rank",)}}, ["(route, [possible targets])"]),
    ([fetch, rank], [], {"branches": {"fetch": (route, "rank")}}, ["must list its possible targets"]),
    ([fetch, score], [], {"sends": {"fetch": ["scor"]}}, ["unknown node 'scor'", "did you mean 'score'"]),
    ([fetch, rank], [], {"sends": {"fetch": ["rank"]}}, ["Send target", "does not take two arguments"]),
    ([fetch, score], [("fetch", "score")], {"sends": {"fetch": ["score"]}}, ["'score' is a Send target", "'fetch'"]),
    ([fetch, score], [], {"sends": {"fetch": ["score"]}, "start": ["score"]}, ["start names 'score', a Send target"]),
    ([fetch], [], {"channels": ["log"], "reducers": {"logs": "append"}}, ["channel 'logs'", "did you mean 'log'"]),
    ([fetch], [], {"channels": "log"}, ["not a string"]),
    ([fetch], [], {"interrupt_before": ["fech"]}, ["interrupt_before names unknown node 'fech'"]),
    ([fetch], [], {"interrupt_after": [3]}, ["interrupt_after names 3"]),
    ([fetch], [], {"step_limit": 0}, ["step_limit must be a positive integer"]),
    ([fetch], [], {"step_limit": True}, ["step_limit must be a positive integer"]),
]


@pytest.mark.parametrize("nodes, edges, options, words", REFUSED)
def test_refused_definitions_name_the_culprit(nodes, edges, options, words):
    with pytest.raises(GraphError) as caught:
        Graph(nodes, edges, **options)
    for word in words:
        assert word in str(caught.value)


@pytest.mark.parametrize(
    "options, expected_reducers",
    [
        (
            {"reducers": {"a": "add", "b": "append", "c": "last_value"}, "channels": ["a", "b", "c"]},
            '{"a":"add","b":"append","c":"last_value"}',
        ),
        ({"reducers": {"k": "keep"}, "replace_names": ["keep"], "initial_state": {"k": 0}}, '{"k":"keep"}'),
        ({"initial_state": {"t": (1, 2), "b": True, "n": None, "x": 2**64 - 1, "y": -(2**63)}}, "{}"),
    ],
)
def test_accepted_definitions(options, expected_reducers):
    graph = Graph([fetch], [], **options)
    assert graph.reducers_json == expected_reducers
    assert graph.plan == (("fetch",),)


def test_declared_channels():
    assert Graph([fetch], reducers={"log": "append"}, initial_state={"log": []}).channels == {"log"}
    graph = Graph([fetch], channels=["log", "x"], reducers={"log": "append", "n": "add"}, initial_state={"n": 1})
    assert graph.channels == {"log", "n", "x"}


@settings(max_examples=200, deadline=None)
@given(
    st.integers(1, 8).flatmap(
        lambda n: st.tuples(st.just(n), st.lists(st.tuples(st.integers(0, n - 1), st.integers(0, n - 1)), max_size=14))
    )
)
def test_a_static_plan_exactly_when_the_graph_has_no_cycle(graph_shape):
    """Differential: a graph without branches or Sends keeps the planner's plan iff no node
    reaches itself (transitive closure); with a cycle it is a loop, and the default start
    is the nodes no edge leads to (none: start= is needed)."""
    count, pairs = graph_shape
    names = [f"v{i}" for i in range(count)]
    edges = [(names[i], names[j]) for i, j in pairs]
    nodes = {name: fetch for name in names}
    reach = [[False] * count for _ in range(count)]  # transitive closure, Warshall's algorithm
    for i, j in pairs:
        reach[i][j] = True
    for k in range(count):
        for i in range(count):
            if reach[i][k]:
                reach[i] = [a or b for a, b in zip(reach[i], reach[k], strict=False)]
    has_cycle = any(reach[i][i] for i in range(count))
    sources = [name for index, name in enumerate(names) if not any(j == index for _, j in pairs)]
    if not sources:
        with pytest.raises(GraphError, match="start="):
            Graph(nodes, edges)
        graph = Graph(nodes, edges, start=[names[0]])
        assert graph.plan is None
        return
    graph = Graph(nodes, edges)
    assert graph.topology.start == tuple(sorted(sources))
    if has_cycle:
        assert graph.plan is None
    else:
        import zelk_core

        assert graph.plan == tuple(tuple(step) for step in zelk_core.plan_supersteps(names, edges))
