"""Graph validation: every refused definition names its culprit; cycles name a real cycle."""

from __future__ import annotations

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

zelk_runtime = pytest.importorskip("zelk_runtime")
from zelk_runtime import CycleError, Graph, GraphError  # noqa: E402


def fetch(state):
    return None


def rank(state):
    return None


def answer(state):
    return None


REFUSED = [
    # (nodes, edges, keyword arguments, words the message must hold)
    ([fetch, rank], [("fetch", "rnak")], {}, ["unknown node 'rnak'", "did you mean 'rank'"]),
    ([fetch, rank], [("fetch",)], {}, ["not a (before, after) pair"]),
    ([fetch, rank], [("fetch", 3)], {}, ["names 3"]),
    ([fetch, rank], "fetch", {}, ["not a string"]),
    ([fetch], [], {"reducers": {"log": "apend"}}, ["unknown reducer 'apend'", "'log'", "did you mean 'append'"]),
    ([fetch], [], {"reducers": {"n": "Add"}}, ["unknown reducer 'Add'"]),
    ([fetch], [], {"reducers": {"n": 1}}, ["reducer for channel 'n'"]),
    ([fetch], [], {"reducers": {"n": "append"}, "replace_names": ["append"]}, ["'append' cannot be declared"]),
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
    ([fetch, rank], [("fetch", "rank"), ("rank", "fetch")], {}, ["cycle: fetch -> rank -> fetch", "allow_cycles"]),
    ([fetch], [("fetch", "fetch")], {}, ["'fetch' has an edge to itself"]),
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
        ({"reducers": {"a": "add", "b": "append", "c": "last_value"}}, '{"a":"add","b":"append","c":"last_value"}'),
        ({"reducers": {"k": "keep"}, "replace_names": ["keep"]}, '{"k":"keep"}'),
        ({"initial_state": {"t": (1, 2), "b": True, "n": None, "x": 2**64 - 1, "y": -(2**63)}}, "{}"),
    ],
)
def test_accepted_definitions(options, expected_reducers):
    graph = Graph([fetch], [], **options)
    assert graph.reducers_json == expected_reducers
    assert graph.plan == (("fetch",),)


def test_cycles_downstream_share_the_last_superstep_only_when_allowed():
    edges = [("fetch", "rank"), ("rank", "fetch"), ("rank", "answer")]
    with pytest.raises(CycleError) as caught:
        Graph([fetch, rank, answer], edges)
    assert caught.value.cycle == ["fetch", "rank"]
    assert Graph([fetch, rank, answer], edges, allow_cycles=True).plan == (("answer", "fetch", "rank"),)


@settings(max_examples=200, deadline=None)
@given(
    st.integers(1, 8).flatmap(
        lambda n: st.tuples(st.just(n), st.lists(st.tuples(st.integers(0, n - 1), st.integers(0, n - 1)), max_size=14))
    )
)
def test_cycle_refused_exactly_when_one_exists(graph_shape):
    """Differential: the graph is refused iff some node reaches itself (transitive closure), and
    the cycle named is made of real edges."""
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
    if not has_cycle:
        Graph(nodes, edges)
        return
    with pytest.raises(CycleError) as caught:
        Graph(nodes, edges)
    cycle = caught.value.cycle
    assert all((a, b) in edges for a, b in zip(cycle, cycle[1:] + cycle[:1], strict=False))
