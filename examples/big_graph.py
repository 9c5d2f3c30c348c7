"""A generated graph of 10,000 nodes, 50,000 edges and 3,000 channels, run end to end.

    python examples/big_graph.py                      # threads, then Ray when installed
    python examples/big_graph.py --executors threads --nodes 2000 --edges 8000

Nodes sit in layers; every edge goes from a lower layer to a higher one, so the plan has
about as many supersteps as layers. Each node reads two channels written earlier and
writes three: a sum ("add"), a list ("append") and a replaced value ("last_value"). The
example prints the time of every superstep, split into the nodes, the Python side and the
module, and checks that threads and Ray end in the same state.
"""

from __future__ import annotations

import argparse
import functools
import random
import sys
import tempfile
import time
from typing import Any

from zelk_runtime import Graph, run


def node_work(index: int, channels: int, state: dict[str, Any]) -> dict[str, Any]:
    """Node `index`: reads what earlier supersteps wrote, writes one channel of each kind."""
    group = channels // 3
    seen = state.get(f"sum{(index * 7) % group}", 0) + len(state.get(f"list{(index * 13) % group}", ()))
    return {
        f"sum{index % group}": index + seen % 97,
        f"list{index % group}": [index],
        f"last{index % group}": {"node": index, "seen": seen},
    }


def build_graph(
    nodes: int = 10_000, edges: int = 50_000, channels: int = 3_000, layers: int = 20, seed: int = 7
) -> Graph:
    """A layered random graph: edges only from a lower layer to a higher one (no cycle)."""
    if edges > nodes * (nodes - 1) // 2 * (layers - 1) // layers:
        raise ValueError("too many edges for that many nodes")
    chooser = random.Random(seed)
    width = max(1, nodes // layers)
    names = [f"n{index:05d}" for index in range(nodes)]
    layer_of = [min(index // width, layers - 1) for index in range(nodes)]
    chosen: set[tuple[int, int]] = set()
    while len(chosen) < edges:
        source, target = chooser.randrange(nodes), chooser.randrange(nodes)
        if layer_of[source] < layer_of[target]:
            chosen.add((source, target))
    group = channels // 3
    # Several nodes of a superstep write the same "last" channel: its reducer is declared
    # "last_value", accepting that the later name wins.
    reducers = (
        {f"sum{i}": "add" for i in range(group)}
        | {f"list{i}": "append" for i in range(group)}
        | {f"last{i}": "last_value" for i in range(group)}
    )
    table = {names[index]: functools.partial(node_work, index, channels) for index in range(nodes)}
    return Graph(table, [(names[s], names[t]) for s, t in sorted(chosen)], reducers=reducers, channels=list(reducers))


def main(argv: list[str] | None = None) -> int:
    options = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    options.add_argument("--nodes", type=int, default=10_000)
    options.add_argument("--edges", type=int, default=50_000)
    options.add_argument("--channels", type=int, default=3_000)
    options.add_argument("--executors", default="threads,ray")
    options.add_argument("--workers", type=int, default=2)
    arguments = options.parse_args(argv)

    started = time.perf_counter()
    graph = build_graph(arguments.nodes, arguments.edges, arguments.channels)
    print(
        f"built and validated {len(graph.nodes)} nodes, {len(graph.edges)} edges, "
        f"{arguments.channels} channels into {len(graph.plan)} supersteps in {time.perf_counter() - started:.2f} s"
    )
    finals = {}
    for executor in arguments.executors.split(","):
        if executor == "ray":
            try:
                import ray  # noqa: F401
            except ImportError:
                print("ray: not installed, skipped (pip install 'zelk_runtime[ray]')")
                continue
        with tempfile.TemporaryDirectory() as store:
            started = time.perf_counter()
            result = run(graph, store, executor=executor, workers=arguments.workers, progress=None)
            elapsed = time.perf_counter() - started
        finals[executor] = result.state_json
        steps = sum(report.seconds for report in result.reports)
        print(
            f"{executor}: {result.completed} supersteps in {steps:.2f} s (plus {elapsed - steps:.2f} s to start "
            f"the executor and open the store), final state {len(result.state_json)} bytes"
        )
        print("  superstep  nodes   nodes s  python s  module s   store s")
        for report in result.reports:
            print(
                f"  {report.superstep:9d}  {report.nodes:5d}  {report.nodes_seconds:8.3f}  "
                f"{report.python_seconds:8.3f}  {report.module_seconds:8.3f}  {report.store_seconds:8.3f}"
            )
        module = sum(report.module_seconds for report in result.reports)
        python = sum(report.python_seconds for report in result.reports)
        print(f"  module total {module:.3f} s, python total {python:.3f} s")
    if len(set(finals.values())) > 1:
        print("executors disagree on the final state", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
