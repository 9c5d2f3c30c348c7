"""The driver of the multi-node Ray tests (test_runtime_ray_nodes.py), run in a process of
its own so that it never meets the suite's single-process cluster, and the graph it runs.

    RAY_ADDRESS=HOST:PORT python ray_nodes_driver.py --work DIR --kill-group PGID

It connects to the cluster RAY_ADDRESS names, waits for its three Ray nodes (known by the resource each was
started with: head_node, node_a, node_b), and runs three scenarios on it:

    spread    the work of a fan-out, and a join pinned to node_b by its policy
    kill      the same with slow work; node_a's process group is killed as soon as one of
              its workers starts a work instance, and the run goes on
    stranded  a node pinned to node_a, which is dead by then: it fails by name

and prints one JSON object with what each gave. Nodes say which Ray node ran them in the
channel `ran_on` (the one channel where a thread run differs) and, when given a marks file,
append a line to it as they start (the store is never touched by them).
"""

from __future__ import annotations

import argparse
import functools
import json
import os
import signal
import sys
import threading
import time
from collections import Counter
from pathlib import Path
from typing import Any

from zelk_runtime import Graph, NodeError, Policy, RayExecutor, Send, run, verify

PLACES = ("head_node", "node_a", "node_b")  # the resource each Ray node of the test cluster has
INCOMPLETE = 3  # the exit status when the cluster's nodes did not all come up


def where() -> str:
    """The Ray node running this, or "local" outside Ray."""
    try:
        import ray
    except ImportError:
        return "local"
    return str(ray.get_runtime_context().get_node_id()) if ray.is_initialized() else "local"


def split(width: int, state: dict[str, Any]) -> list[Send]:
    return [Send("work", index) for index in range(width)]


def work(marks: str, slow: float, state: dict[str, Any], index: int) -> dict[str, Any]:
    if marks:
        with open(marks, "a") as out:
            out.write(f"{index} {where()}\n")
    time.sleep(slow)
    return {"total": index * index + 1, "count": 1, "ran_on": [[f"work {index}", where()]]}


def join(state: dict[str, Any]) -> dict[str, Any]:
    # An add folded twice would show here: total and count are both sums over the instances.
    return {"summary": state["total"] * 100 + state["count"], "ran_on": [["join", where()]]}


def build_graph(width: int = 6, slow: float = 0.0, marks: str = "", pin: str | None = "node_b") -> Graph:
    """A fan-out of `width` work instances (each sleeping `slow` seconds) and a join, which
    asks Ray for the resource `pin` (the Ray node it must run on)."""
    policies = {"join": Policy(ray={"resources": {pin: 1}})} if pin else {}
    return Graph(
        {"split": functools.partial(split, width), "work": functools.partial(work, marks, slow), "join": join},
        [("work", "join")],
        sends={"split": ["work"]},
        channels=["summary"],
        initial_state={"total": 0, "count": 0, "ran_on": []},
        reducers={"total": "add", "count": "add", "ran_on": "append"},
        policies=policies,
    )


def lonely(state: dict[str, Any]) -> dict[str, Any]:
    return {"count": 1}


def stranded_graph() -> Graph:
    return Graph(
        {"lonely": lonely},
        channels=["count"],
        policies={"lonely": Policy(ray={"resources": {"node_a": 1}})},
    )


def wait_for_nodes(ray: Any, seconds: float) -> dict[str, str]:
    """Ray node id of each of PLACES, once all three are alive."""
    deadline = time.monotonic() + seconds
    while True:
        found = {
            place: node["NodeID"]
            for node in ray.nodes()
            if node["Alive"]
            for place in PLACES
            if place in node["Resources"]
        }
        if len(found) == len(PLACES):
            return found
        if time.monotonic() > deadline:
            print(f"the cluster has only {sorted(found)} of {list(PLACES)} after {seconds:g} s", file=sys.stderr)
            raise SystemExit(INCOMPLETE)
        time.sleep(0.2)


def finished(events: list[Any]) -> dict[str, int]:
    """How often each node instance finished, by "node" or "node instance"."""
    seen: Counter[str] = Counter()
    for item in events:
        if item.kind == "node_finished":
            instance = (item.detail or {}).get("instance")
            seen[item.node if instance is None else f"{item.node} {instance}"] += 1
    return dict(seen)


def scenario(graph: Graph, store: Path, executor: RayExecutor) -> dict[str, Any]:
    events: list[Any] = []
    began = time.perf_counter()
    result = run(graph, store, executor=executor, progress=None, on_event=events.append)
    seconds = time.perf_counter() - began
    verify(store)
    return {"state": result.state, "seconds": round(seconds, 2), "finished": finished(events)}


def kill_when_started(marks: Path, node_id: str, group: int, told: dict[str, Any]) -> threading.Thread:
    """Kill the process group `group` (a whole Ray node) once `marks` shows a node started there."""

    def watch() -> None:
        began = time.monotonic()
        while time.monotonic() - began < 60:
            lines = marks.read_text().splitlines() if marks.exists() else []
            if any(line.split()[1] == node_id for line in lines):
                os.killpg(group, signal.SIGKILL)
                told["killed_after"] = round(time.monotonic() - began, 2)
                return
            time.sleep(0.02)
        told["killed_after"] = None

    thread = threading.Thread(target=watch, daemon=True)
    thread.start()
    return thread


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--work", required=True, type=Path)
    parser.add_argument("--kill-group", required=True, type=int)
    arguments = parser.parse_args()
    import ray

    began = time.perf_counter()
    executor = RayExecutor(patience=2)  # connects to the cluster RAY_ADDRESS names
    nodes = wait_for_nodes(ray, 30)
    report: dict[str, Any] = {"nodes": nodes, "address": ray.get_runtime_context().gcs_address}
    report["connect"] = round(time.perf_counter() - began, 2)
    report["spread"] = scenario(build_graph(slow=0.3), arguments.work / "spread", executor)

    marks = arguments.work / "marks.txt"
    told: dict[str, Any] = {}
    watcher = kill_when_started(marks, nodes["node_a"], arguments.kill_group, told)
    report["kill"] = scenario(build_graph(slow=2.0, marks=str(marks)), arguments.work / "kill.sqlite", executor)
    watcher.join()
    report["kill"].update(told, marks=marks.read_text().splitlines())
    report["kill"]["alive"] = sorted(place for place, node in nodes.items() if node in _alive(ray))

    began = time.perf_counter()
    try:
        run(stranded_graph(), arguments.work / "stranded", executor=executor, progress=None)
        report["stranded"] = {"error": None}
    except NodeError as error:
        report["stranded"] = {"node": error.node, "superstep": error.superstep, "error": str(error)}
    report["stranded"]["seconds"] = round(time.perf_counter() - began, 2)
    print(json.dumps(report))


def _alive(ray: Any) -> set[str]:
    return {node["NodeID"] for node in ray.nodes() if node["Alive"]}


if __name__ == "__main__":
    main()
