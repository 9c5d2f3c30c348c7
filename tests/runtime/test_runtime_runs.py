"""Runs: results against a pure-Python fold, resume, failing nodes, on every store."""

from __future__ import annotations

import hashlib
import math
import tempfile
from array import array

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

zelk_runtime = pytest.importorskip("zelk_runtime")
from runtime_graphs import random_graph, reference_fold  # noqa: E402
from store_kinds import STORES  # noqa: E402
from zelk_runtime import Graph, NodeError, Output, StoreError, read_run, run, verify  # noqa: E402
from zelk_runtime.stores import open_store  # noqa: E402

WRITES = [("a1", "l1"), ("r1",), ("a2", "l2", "r2"), ("l1",)]

graphs = st.integers(1, 10).flatmap(
    lambda n: st.tuples(
        st.just(n),
        st.lists(st.tuples(st.integers(0, n - 1), st.integers(0, n - 1)), max_size=20),
    )
)


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(graphs, st.sampled_from(STORES), st.sampled_from(["sequential", "threads"]))
def test_final_state_equals_a_python_fold(place, shape, store, executor):
    graph = random_graph(shape[0], shape[1], WRITES, initial={"a1": 5, "l2": "seed"})
    with tempfile.TemporaryDirectory() as directory:
        result = run(graph, place(directory, store), executor=executor, progress=None)
    assert result.state == reference_fold(graph)
    assert result.completed == len(graph.plan) and result.resumed_from == 0
    expected_cost = sum(i / 8 for i in range(shape[0]))
    assert math.isclose(result.cost, expected_cost)


@settings(max_examples=20, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(graphs, st.sampled_from(STORES), st.data())
def test_stopped_and_resumed_run_equals_an_uninterrupted_one(place, shape, store, data):
    graph = random_graph(shape[0], shape[1], WRITES)
    with tempfile.TemporaryDirectory() as directory:
        whole = run(graph, place(directory, store, "whole-"), progress=None)
        location = place(directory, store)
        done = 0
        while done < len(graph.plan):
            step = data.draw(st.integers(1, 2))
            part = run(graph, location, executor="sequential", progress=None, max_supersteps=step)
            assert part.resumed_from == done
            done = part.completed
        assert part.state_json == whole.state_json
        assert part.cost == whole.cost
        assert verify(location).completed == len(graph.plan)


def ok(state):
    return {"seen": ["ok"]}


def boom(state):
    raise KeyError("missing input")


def twice(state):
    return {"seen": ["twice"]}


@pytest.mark.parametrize("store", STORES)
@pytest.mark.parametrize("executor", ["sequential", "threads"])
@pytest.mark.parametrize(
    "bad, words",
    [
        (boom, ["node 'bad' failed in superstep 1", "KeyError", "missing input"]),
        (lambda state: [1], ["node 'bad' returned a list"]),
        (lambda state: {"x": math.nan}, ["the update of node 'bad'['x'] is nan"]),
        (lambda state: {"x": {1, 2}}, ["the update of node 'bad'['x'] is a set"]),
        (lambda state: {3: 1}, ["has the key 3"]),
        (lambda state: {"v": [array("f", [1.0])]}, ["['v'][0] is an array", ".tolist()"]),
        (lambda state: Output({"x": 1}, cost=math.inf), ["node 'bad' reported the cost inf"]),
        (lambda state: Output({"x": 1}, cost="1"), ["node 'bad' reported the cost '1'"]),
    ],
)
def test_a_failing_node_fails_its_superstep_and_leaves_the_last_checkpoint(
    tmp_path, place, store, executor, bad, words
):
    location = place(tmp_path, store)
    nodes = {"first": ok, "bad": bad, "good": twice, "after": ok}
    edges = [("first", "bad"), ("first", "good"), ("bad", "after"), ("good", "after")]
    graph = Graph(nodes, edges, reducers={"seen": "append"}, channels=["seen", "x", "v"])
    with pytest.raises(NodeError) as caught:
        run(graph, location, executor=executor, progress=None)
    assert (caught.value.node, caught.value.superstep) == ("bad", 1)
    for word in words:
        assert word in str(caught.value)
    stored = verify(location)
    assert stored.completed == 1
    # The same graph with the node fixed resumes after the last good superstep.
    fixed = Graph({**nodes, "bad": ok}, edges, reducers={"seen": "append"}, channels=["seen", "x", "v"])
    result = run(fixed, location, executor=executor, progress=None)
    assert result.resumed_from == 1
    assert result.state == {"seen": ["ok", "ok", "twice", "ok"]}


@pytest.mark.parametrize("store", STORES)
@pytest.mark.parametrize(
    "change",
    [
        {"reducers": {"seen": "last_value"}},
        {"initial_state": {"seen": ["before"]}},
        {"edges": []},
    ],
)
def test_a_store_refuses_another_graph(tmp_path, place, store, change):
    location = place(tmp_path, store)
    base = {
        "nodes": {"first": ok, "good": twice},
        "edges": [("first", "good")],
        "reducers": {"seen": "append"},
        "channels": ["seen"],
    }
    run(Graph(**base), location, progress=None, max_supersteps=1)
    with pytest.raises(StoreError, match="holds a run of another graph"):
        run(Graph(**(base | change)), location, progress=None)


@pytest.mark.parametrize("store", STORES)
def test_audit_payloads_record_each_superstep(tmp_path, place, store):
    graph = random_graph(6, [(0, 1), (1, 2), (2, 3), (0, 4)], WRITES)
    location = place(tmp_path, store)
    result = run(graph, location, progress=None)
    opened = open_store(location)
    try:
        stored = read_run(opened)
        blobs = [opened.read_checkpoint(n) for n in range(stored.completed)]
        sizes = [len(blob) for blob in blobs]
    finally:
        opened.close()
    assert [p["superstep"] for p in stored.payloads] == list(range(len(graph.plan)))
    assert [p["nodes"] for p in stored.payloads] == [list(step) for step in graph.plan]
    assert [p["checkpoint_bytes"] for p in stored.payloads] == sizes == [r.checkpoint_bytes for r in result.reports]
    assert [p["sha256"] for p in stored.payloads] == [hashlib.sha256(blob).hexdigest() for blob in blobs]
    assert {p["checkpoint"] for p in stored.payloads} <= {"full", "delta"}
