"""The Ray executor on a local cluster (skipped where Ray is not installed)."""

from __future__ import annotations

import os

import pytest

zelk_runtime = pytest.importorskip("zelk_runtime")
ray = pytest.importorskip("ray", reason="Ray is not installed for this interpreter")
if "asan" in os.environ.get("LD_PRELOAD", ""):
    pytest.skip("Ray's own programs do not run under the sanitizer preload", allow_module_level=True)
from runtime_graphs import random_graph, reference_fold  # noqa: E402
from zelk_runtime import Graph, NodeError, run  # noqa: E402


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
