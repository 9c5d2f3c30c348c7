"""The runtime end to end against a hand-written loop doing the same work as plainly as a user would.

Each case is a graph whose nodes do trivial work, so the comparison is the runtime's own
cost: on one side `Graph(...)` and `run(graph, store, executor=..., progress=None)` on a
fresh run directory; on the other a loop that plans with graphlib (or simply goes round),
calls the same node functions, folds their updates into a dict with the same reducers, and
writes each superstep's state (`json.dumps(sort_keys=True)`, compact) with the link of a
hashlib chain to a file of its own, fsynced, in the same folder of the same filesystem.
Both sides run exactly the same supersteps and end in the same state, which each case
checks once.

    (a) a layered random DAG: 5,000 nodes, 25,000 edges, 1,000 channels (each node reads
        two channels and writes an "add", an "append" and a "last_value" one);
    (b) a loop: a chain of 4 nodes whose last node's branch routes back to the first until
        a counter channel shows 500 supersteps, over a 200 KB state of 200 channels; each
        superstep writes 4 channels;
    (c) a small loop: 4 chains of 5 nodes (20 nodes) over 20 channels for 50 supersteps,
        the four nodes of a superstep sometimes writing the same "last_value" channel.

bench.py times them (`-k runtime`); run this file to profile the runtime side of each case:

    python bench/runtime_cases.py [--quick] [--top N] [a b c]
"""

import copy
import functools
import graphlib
import hashlib
import json
import os
import random
import shutil
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

# The runtime measured is this tree's, whatever an environment has installed.
RUNTIME = Path(__file__).resolve().parent.parent / "runtime"
sys.path.insert(0, str(RUNTIME))

import zelk_runtime  # noqa: E402 - after the tree's runtime is first on the path
from zelk_runtime import END, Graph  # noqa: E402

GENESIS = hashlib.sha256(b"genesis").hexdigest()


# ------------------------------------------------------------------ the hand loop's parts


def hand_fold(state, reducers, updates):
    """Fold the updates into `state` in order: "add" sums (a non-number counts as 0),
    "append" extends a list (a non-list value becomes [value]), anything else replaces."""
    for update in updates:
        if not update:
            continue
        for channel, value in update.items():
            reducer = reducers.get(channel, "last_value")
            if reducer == "add":
                current = state.get(channel)
                state[channel] = (current if type(current) in (int, float) else 0) + (
                    value if type(value) in (int, float) else 0
                )
            elif reducer == "append":
                current = state.get(channel)
                if current is None:
                    current = state[channel] = []
                elif type(current) is not list:
                    current = state[channel] = [current]
                if type(value) is list:
                    current.extend(value)
                else:
                    current.append(value)
            else:
                state[channel] = value


def write_superstep(folder, number, state, previous):
    """The superstep's file: the chain's link, then the state as sorted compact JSON; fsynced."""
    text = json.dumps(state, sort_keys=True, separators=(",", ":"))
    link = hashlib.sha256((previous + text).encode()).hexdigest()
    with open(folder / f"{number:06d}.json", "wb") as handle:
        handle.write(f"{link}\n{text}".encode())
        handle.flush()
        os.fsync(handle.fileno())
    return link


class Folders:
    """Fresh run directories under one temporary folder, cleared between rounds (untimed)."""

    def __init__(self):
        self.root = Path(tempfile.mkdtemp(prefix="zelk-bench-runs-"))
        self.count = 0

    def fresh(self, kind):
        self.count += 1
        return self.root / f"{kind}-{self.count}"

    def clear(self):
        for path in self.root.iterdir():
            shutil.rmtree(path)

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


# ------------------------------------------------------------------ (a) a layered DAG


def dag_node(index, adds, lists, lasts, state):
    """Reads a sum and a list written earlier; writes a sum, a list item and a replaced value.
    Channel c{3i} is the i-th "add" channel, c{3i+1} the i-th "append", c{3i+2} the i-th "last_value"."""
    seen = state.get(f"c{3 * ((index * 7) % adds):04d}", 0)
    seen += len(state.get(f"c{3 * ((index * 13) % lists) + 1:04d}", ()))
    return {
        f"c{3 * (index % adds):04d}": index + seen % 97,
        f"c{3 * (index % lists) + 1:04d}": [index],
        f"c{3 * (index % lasts) + 2:04d}": {"node": index, "seen": seen},
    }


@dataclass
class Dag:
    nodes: dict
    edges: list
    reducers: dict


def make_dag(nodes, edges, channels, layers=20, seed=7):
    """Nodes in layers, edges only from a lower layer to a higher one; channel i's reducer
    is "add", "append" or "last_value" as i % 3 is 0, 1 or 2."""
    chooser = random.Random(seed)
    width = max(1, nodes // layers)
    names = [f"n{index:05d}" for index in range(nodes)]
    layer_of = [min(index // width, layers - 1) for index in range(nodes)]
    chosen = set()
    while len(chosen) < edges:
        source, target = chooser.randrange(nodes), chooser.randrange(nodes)
        if layer_of[source] < layer_of[target]:
            chosen.add((source, target))
    kinds = ("add", "append", "last_value")
    reducers = {f"c{i:04d}": kinds[i % 3] for i in range(channels)}
    counts = ((channels + 2) // 3, (channels + 1) // 3, channels // 3)  # channels of each reducer
    table = {names[i]: functools.partial(dag_node, i, *counts) for i in range(nodes)}
    return Dag(table, [(names[s], names[t]) for s, t in sorted(chosen)], reducers)


def dag_graph(dag):
    return Graph(dag.nodes, dag.edges, reducers=dag.reducers, channels=list(dag.reducers))


def hand_dag(dag, folder):
    """Plan with graphlib batch by batch, run each batch's nodes in name order, fold, write."""
    folder.mkdir()
    sorter = graphlib.TopologicalSorter()
    for name in dag.nodes:
        sorter.add(name)
    for before, after in dag.edges:
        sorter.add(after, before)
    sorter.prepare()
    state, link, number = {}, GENESIS, 0
    while sorter.is_active():
        ready = sorted(sorter.get_ready())
        hand_fold(state, dag.reducers, [dag.nodes[name](state) for name in ready])
        link = write_superstep(folder, number, state, link)
        number += 1
        sorter.done(*ready)
    return state, number


# ------------------------------------------------------------------ (b), (c) loops


def loop_node(index, data, width, state):
    """Counts one step, logs the round, and replaces two data channels picked by index and
    round with values as large as the ones they replace (six-digit numbers)."""
    rounds = state["steps"]
    first = f"v{(index + rounds) % data:03d}"
    second = f"v{(index * 7 + rounds * 3 + 1) % data:03d}"
    return {
        "steps": 1,
        "log": [rounds],
        first: {"by": index, "round": rounds, "values": [100_000 + rounds * 1000 + j for j in range(width)]},
        second: {
            "by": index,
            "round": rounds,
            "before": state[second]["round"],
            "values": [100_000 + index * 1000 + rounds + j for j in range(width)],
        },
    }


def loop_route(limit, head, state):
    return END if state["steps"] >= limit else head


@dataclass
class Loop:
    chains: list  # chains[k][p]: the node at position p of chain k
    nodes: dict
    reducers: dict
    initial: dict
    limit: int  # the counter's value after the last superstep
    supersteps: int


def make_loop(chains, length, data, width, supersteps):
    """`chains` chains of `length` nodes; each chain's last node routes back to its first until
    the counter "steps" (one per node run) shows `supersteps` supersteps. Channels: "steps"
    (add), "log" (append) and `data` data channels of about `width` * 7 bytes (last_value)."""
    if supersteps % length:
        raise ValueError("the loop stops only after a chain's last node: supersteps must be a multiple of length")
    names = [[f"k{k}p{p}" for p in range(length)] for k in range(chains)]
    nodes = {
        name: functools.partial(loop_node, k * length + p, data, width)
        for k, chain in enumerate(names)
        for p, name in enumerate(chain)
    }
    reducers = {"steps": "add", "log": "append"} | {f"v{i:03d}": "last_value" for i in range(data)}
    initial = {"steps": 0, "log": []} | {
        f"v{i:03d}": {"by": -1, "round": -1, "values": [100_000 + i * 1000 + j for j in range(width)]}
        for i in range(data)
    }
    return Loop(names, nodes, reducers, initial, chains * supersteps, supersteps)


def loop_graph(loop):
    edges = [(chain[p], chain[p + 1]) for chain in loop.chains for p in range(len(chain) - 1)]
    branches = {chain[-1]: (functools.partial(loop_route, loop.limit, chain[0]), [chain[0]]) for chain in loop.chains}
    return Graph(
        loop.nodes,
        edges,
        branches=branches,
        reducers=loop.reducers,
        initial_state=loop.initial,
        start=[chain[0] for chain in loop.chains],
        step_limit=loop.supersteps + 1,
    )


def hand_loop(loop, folder):
    """Go round the chains position by position until the counter shows the last superstep."""
    folder.mkdir()
    state, link, number = copy.deepcopy(loop.initial), GENESIS, 0
    length = len(loop.chains[0])
    while True:
        ready = sorted(chain[number % length] for chain in loop.chains)
        hand_fold(state, loop.reducers, [loop.nodes[name](state) for name in ready])
        link = write_superstep(folder, number, state, link)
        number += 1
        if number % length == 0 and state["steps"] >= loop.limit:
            return state, number


# ------------------------------------------------------------------ the cases


@dataclass
class Case:
    function: str
    label: str
    peer: str
    ours: object  # callable: Graph(...) and run(...) on a fresh run directory
    hand: object  # callable: the hand loop on a fresh folder
    check: object  # callable: None when both end in the same state after as many supersteps
    target: float | None


def same_end(graph_of, shape, hand, folders, executor="sequential"):
    def check():
        result = zelk_runtime.run(graph_of(shape), folders.fresh("check-run"), executor=executor, progress=None)
        state, supersteps = hand(shape, folders.fresh("check-hand"))
        folders.clear()
        if result.completed != supersteps:
            return f"SUPERSTEPS DIFFER: the runtime ran {result.completed}, the hand loop {supersteps}"
        if result.state != state:
            return "FINAL STATE DIFFERS from the hand loop's"
        return None

    return check


def cases(quick, folders, wants):
    """The runtime cases whose labels `wants` selects, their inputs built only when selected."""
    hand_peer = "hand loop: {}, fold, json.dumps, sha256, fsync"
    nodes, edges, channels = (1_000, 5_000, 200) if quick else (5_000, 25_000, 1_000)
    dag_label = f"(a) DAG {nodes:,} nodes, {edges:,} edges, {channels:,} channels; Graph() + run"
    dag = None
    for executor, target in (("sequential", 0.5), ("threads", None)):
        function = f"runtime {executor}"
        peer = hand_peer.format("graphlib plan")
        if not wants(function, dag_label, peer):
            continue
        dag = dag or make_dag(nodes, edges, channels, layers=10 if quick else 20)

        def ours(dag=dag, executor=executor):
            return zelk_runtime.run(dag_graph(dag), folders.fresh("run"), executor=executor, progress=None)

        yield Case(
            function,
            dag_label,
            peer,
            ours,
            lambda dag=dag: hand_dag(dag, folders.fresh("hand")),
            same_end(dag_graph, dag, hand_dag, folders, executor),
            target,
        )
    loops = [
        ("(b) loop, 4 nodes in a chain, 200 KB in 200 channels", 1, 4, 198, 140, 40 if quick else 500),
        ("(c) loop, 20 nodes in 4 chains of 5, 20 channels", 4, 5, 18, 4, 50),
    ]
    for name, chains, length, data, width, supersteps in loops:
        label = f"{name}, {supersteps} supersteps; Graph() + run"
        peer = hand_peer.format("while loop")
        if not wants("runtime sequential", label, peer):
            continue
        loop = make_loop(chains, length, data, width, supersteps)
        yield Case(
            "runtime sequential",
            label,
            peer,
            lambda loop=loop: zelk_runtime.run(
                loop_graph(loop), folders.fresh("run"), executor="sequential", progress=None
            ),
            lambda loop=loop: hand_loop(loop, folders.fresh("hand")),
            same_end(loop_graph, loop, hand_loop, folders),
            0.5,
        )


# ------------------------------------------------------------------ profiles


def profile(argv=None):
    """cProfile of the runtime side of each case: the top functions by own and by total time."""
    import argparse
    import cProfile
    import pstats

    parser = argparse.ArgumentParser(description="profile the runtime side of the runtime cases")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--top", type=int, default=25)
    parser.add_argument("which", nargs="*", default=["(a)", "(b)", "(c)"], help="a, b or c")
    args = parser.parse_args(argv)
    which = [f"({name.strip('()')})" for name in args.which]
    folders = Folders()
    try:
        for case in cases(args.quick, folders, lambda *labels: any(w in " ".join(labels) for w in which)):
            if case.function != "runtime sequential":
                continue
            case.ours()  # once first: imports, caches
            folders.clear()
            profiler = cProfile.Profile()
            profiler.runcall(case.ours)
            folders.clear()
            print(f"\n==== {case.label}")
            for order in ("tottime", "cumulative"):
                stats = pstats.Stats(profiler)
                stats.sort_stats(order).print_stats(args.top)
    finally:
        folders.remove()


if __name__ == "__main__":
    profile()
