"""The Ray executor on a local cluster (skipped where Ray is not installed)."""

from __future__ import annotations

import functools
import os
import time

import pytest

zelk_runtime = pytest.importorskip("zelk_runtime")
ray = pytest.importorskip("ray", reason="Ray is not installed for this interpreter")
if "asan" in os.environ.get("LD_PRELOAD", ""):
    pytest.skip("Ray's own programs do not run under the sanitizer preload", allow_module_level=True)
from runtime_graphs import random_graph, reference_fold  # noqa: E402
from zelk_runtime import Graph, NodeError, Policy, RayExecutor, open_store, run  # noqa: E402
from zelk_runtime.executors import TASK_RETRIES  # noqa: E402
from zelk_runtime.runner import instance_node  # noqa: E402


@pytest.fixture(scope="module")
def cluster(ray_cluster):
    return ray_cluster


def test_ray_run_equals_threads_and_the_python_fold(cluster, tmp_path):
    edges = [(i, j) for i in range(40) for j in range(i + 1, 40) if (i * 7 + j) % 9 == 0]
    graph = random_graph(40, edges, [("a1", "l1"), ("r1",), ("a2", "l2", "r2")])
    on_ray = run(graph, tmp_path / "ray", executor="ray", progress=None)
    on_threads = run(graph, tmp_path / "threads.sqlite", executor="threads", progress=None)
    assert on_ray.state_json == on_threads.state_json
    assert on_ray.state == reference_fold(graph)
    assert on_ray.cost == on_threads.cost


class Unpicklable(Exception):
    def __reduce__(self):
        raise TypeError("cannot pickle")


def fine(state):
    return {"x": 1}


def raises(state):
    raise ValueError("bad input on a worker")


def raises_unpicklable(state):
    raise Unpicklable("held a socket")


@pytest.mark.parametrize(
    "node, words",
    [
        (raises, "ValueError: bad input on a worker"),
        (raises_unpicklable, "Unpicklable: held a socket"),
    ],
)
def test_ray_node_failure_names_the_node(cluster, tmp_path, node, words):
    graph = Graph({"fine": fine, "bad": node}, [("fine", "bad")], channels=["x"])
    with pytest.raises(NodeError) as caught:
        run(graph, tmp_path / "run", executor="ray", progress=None)
    assert caught.value.node == "bad" and words in str(caught.value)


# A node's Ray options (Policy(ray=...)): they reach its task, and a task Ray refuses or no
# live node can hold fails its node by name instead of waiting forever.


def nowhere(state):
    return {"x": 2}


def refused(state):
    return {"x": 3}


def test_a_task_no_node_can_hold_or_ray_refuses_fails_its_node(cluster, tmp_path):
    graph = Graph(
        {"fine": fine, "nowhere": nowhere, "refused": refused},
        channels=["x"],
        reducers={"x": "add"},
        policies={
            "nowhere": Policy(ray={"resources": {"a_node_nobody_has": 1}}),
            "refused": Policy(ray={"num_cpus": -1}),
        },
    )
    began = time.monotonic()
    with pytest.raises(NodeError) as caught:
        run(graph, tmp_path / "run", executor=RayExecutor(patience=0.5), progress=None)
    assert time.monotonic() - began < 20
    failures = {failure.node: failure.message for failure in caught.value.failures}
    assert sorted(failures) == ["nowhere", "refused"]
    assert (
        "no live Ray node could run it for 0.5 s: its task asks for {'CPU': 1.0, 'a_node_nobody_has': 1.0}"
        in (failures["nowhere"])
    )
    assert "Ray refused the options of node 'refused' ({'num_cpus': -1})" in failures["refused"]
    assert recorded_nodes(tmp_path / "run", 0) == ["fine"]
    # Without the options (not part of the graph a store holds) the run goes on, running only those two.
    events = []
    plain = Graph({"fine": fine, "nowhere": nowhere, "refused": refused}, channels=["x"], reducers={"x": "add"})
    again = run(plain, tmp_path / "run", executor="ray", progress=None, on_event=events.append)
    assert again.state == {"x": 6}
    assert sorted(item.node for item in events if item.kind == "node_finished") == ["nowhere", "refused"]
    # On threads the options mean nothing: the same graph runs.
    assert run(graph, tmp_path / "threads", executor="threads", progress=None).state == {"x": 6}


def recorded_nodes(location, superstep):
    store = open_store(location, create=False)
    try:
        return sorted(instance_node(key) for key in store.results(superstep))
    finally:
        store.close()


def exits_counting(marks, state):
    with open(marks, "a") as out:
        out.write("ran\n")
    os._exit(3)


@pytest.mark.parametrize("policy, runs", [(None, 1 + TASK_RETRIES), (Policy(ray={"max_retries": 0}), 1)])
def test_ray_runs_a_task_whose_worker_died_again_unless_the_node_says_not(cluster, tmp_path, policy, runs):
    marks = tmp_path / "marks"
    graph = Graph(
        {"exits": functools.partial(exits_counting, str(marks))},
        channels=["x"],
        policies={"exits": policy} if policy else {},
    )
    with pytest.raises(NodeError) as caught:
        run(graph, tmp_path / "run", executor="ray", progress=None)
    assert caught.value.node == "exits" and "the Ray task running it failed: WorkerCrashedError" in str(caught.value)
    assert marks.read_text().count("ran") == runs
