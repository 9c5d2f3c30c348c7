"""Each zelk_core function side by side with what a Python user would write instead.

Prints, per case, the best time of each side and the speed-up (peer time / zelk time).
Run through `make bench`; numbers are wall-clock on this machine, best of several rounds.
"""

import graphlib
import hashlib
import json
import math
import random
import sys
import time

import numpy as np
import orjson

import zelk_core


def best_time(function, rounds=7, budget=0.2):
    """Best seconds per call over `rounds` rounds of enough calls to fill `budget`."""
    start = time.perf_counter()
    function()
    once = max(time.perf_counter() - start, 1e-7)
    calls = max(1, int(budget / rounds / once))
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(calls):
            function()
        times.append((time.perf_counter() - start) / calls)
    return min(times)


ROWS = []


def compare(name, ours, peer_name, peer, check=True):
    if check:
        try:
            mine, theirs = ours(), peer()
        except BaseException as error:  # noqa: BLE001 - a body that is not built yet
            print(f"{name:<44} skipped: {type(error).__name__}: {error}")
            return
        assert mine == theirs, f"{name}: results differ"
    ours_time = best_time(ours)
    peer_time = best_time(peer)
    ratio = peer_time / ours_time
    ROWS.append((name, ours_time, peer_name, peer_time, ratio))
    print(f"{name:<44} {ours_time * 1e3:10.3f} ms   {peer_name:<34} {peer_time * 1e3:10.3f} ms   x{ratio:7.2f}",
          flush=True)


# ------------------------------------------------------------------ vectors and cost

def bench_vectors(rng):
    a = [rng.gauss(0, 1) for _ in range(768)]
    b = [rng.gauss(0, 1) for _ in range(768)]

    def numpy_cosine():
        x, y = np.asarray(a, dtype=np.float32), np.asarray(b, dtype=np.float32)
        return float(np.float32(np.dot(x, y) / (np.linalg.norm(x) * np.linalg.norm(y))))

    compare("cosine_similarity 768-d lists", lambda: zelk_core.cosine_similarity(a, b),
            "numpy float32 from lists", numpy_cosine, check=False)

    query = [rng.gauss(0, 1) for _ in range(256)]
    matrix = [[rng.gauss(0, 1) for _ in range(256)] for _ in range(2000)]

    def numpy_top_k():
        q = np.asarray(query, dtype=np.float32)
        m = np.asarray(matrix, dtype=np.float32)
        scores = (m @ q) / (np.linalg.norm(m, axis=1) * np.linalg.norm(q))
        order = np.argsort(-scores, kind="stable")[:10]
        return [int(i) for i in order]

    compare("top_k 2000x256 lists, k=10", lambda: [i for i, _ in zelk_core.top_k(query, matrix, 10)],
            "numpy float32 from lists", numpy_top_k, check=False)

    costs = [rng.random() for _ in range(1_000_000)]
    compare("aggregate_cost 1,000,000 floats", lambda: zelk_core.aggregate_cost(costs),
            "sum(values)", lambda: sum(costs, -0.0))
    compare("aggregate_cost 1,000,000 floats", lambda: zelk_core.aggregate_cost(costs),
            "math.fsum(values)", lambda: math.fsum(costs), check=False)


# ------------------------------------------------------------------ planner

def random_dag(rng, nodes, edges):
    names = [f"node-{i:06d}" for i in range(nodes)]
    order = list(range(nodes))
    rng.shuffle(order)
    pairs = []
    for _ in range(edges):
        i, j = rng.randrange(nodes), rng.randrange(nodes)
        if i == j:
            continue
        if order[i] > order[j]:
            i, j = j, i
        pairs.append((names[i], names[j]))
    return names, pairs


def graphlib_plan(nodes, edges):
    sorter = graphlib.TopologicalSorter()
    for node in nodes:
        sorter.add(node)
    for before, after in edges:
        sorter.add(after, before)
    sorter.prepare()
    plan = []
    while sorter.is_active():
        ready = sorted(sorter.get_ready(), key=lambda s: s.encode())
        plan.append(ready)
        sorter.done(*ready)
    return plan


def bench_planner(rng):
    nodes, edges = random_dag(rng, 100_000, 500_000)
    compare("plan_supersteps 100k nodes, 500k edges", lambda: zelk_core.plan_supersteps(nodes, edges),
            "graphlib batches, sorted", lambda: graphlib_plan(nodes, edges))


# ------------------------------------------------------------------ audit chain

def bench_chain(rng):
    payload = "".join(rng.choice("abcdefghijklmnopqrstuvwxyz ") for _ in range(10 * 2**20))
    prev = "0" * 64
    compare("hash_event 10 MB ASCII payload", lambda: zelk_core.hash_event(prev, payload),
            "hashlib.sha256 incl. encode", lambda: hashlib.sha256((prev + "\x1f" + payload).encode()).hexdigest())
    small = "event: user logged in"
    compare("hash_event 21-byte payload", lambda: zelk_core.hash_event(prev, small),
            "hashlib.sha256 incl. encode", lambda: hashlib.sha256((prev + "\x1f" + small).encode()).hexdigest())

    entries = []
    link = "genesis"
    for i in range(100_000):
        text = f"entry {i}: {rng.random()}"
        link = hashlib.sha256((link + "\x1f" + text).encode()).hexdigest()
        entries.append((text, link))

    def python_verify():
        expected = "genesis"
        for i, (text, stored) in enumerate(entries):
            expected = hashlib.sha256((expected + "\x1f" + text).encode()).hexdigest()
            if expected != stored:
                return i
        return None

    compare("verify_chain 100,000 entries", lambda: zelk_core.verify_chain("genesis", entries),
            "Python loop over hashlib", python_verify)


# ------------------------------------------------------------------ JSON state

def random_value(rng, depth=0):
    kind = rng.random()
    if depth > 3 or kind < 0.35:
        return rng.choice([rng.randint(-10**6, 10**12), round(rng.uniform(-1e3, 1e3), rng.randint(0, 6)),
                           f"text {rng.random()}", True, None, "caf\u00e9 \u00e9t\u00e9"])
    if kind < 0.6:
        return [random_value(rng, depth + 1) for _ in range(rng.randint(0, 8))]
    return {f"k{rng.randint(0, 10**6)}": random_value(rng, depth + 1) for _ in range(rng.randint(0, 8))}


def state_of_size(rng, size):
    state = {}
    while len(json.dumps(state)) < size:
        state[f"channel-{len(state):05d}"] = random_value(rng)
    return json.dumps(state, indent=1)


def bench_json(rng):
    text = state_of_size(rng, 2**20)
    compare("encode_checkpoint 1 MB state", lambda: zelk_core.encode_checkpoint(text)[5:],
            "orjson loads + dumps(sort keys)",
            lambda: orjson.dumps(orjson.loads(text), option=orjson.OPT_SORT_KEYS), check=False)
    compare("encode_checkpoint 1 MB state", lambda: zelk_core.encode_checkpoint(text)[5:],
            "json loads + dumps(sort keys)",
            lambda: json.dumps(json.loads(text), sort_keys=True, separators=(",", ":"),
                               ensure_ascii=False).encode(), check=False)
    try:
        blob = zelk_core.encode_checkpoint(text)
    except BaseException:  # noqa: BLE001
        blob = b"ZELK\x01" + text.encode()

    def orjson_decode():
        if blob[:4] != b"ZELK" or blob[4] != 1:
            raise ValueError("bad header")
        return orjson.dumps(orjson.loads(blob[5:]), option=orjson.OPT_SORT_KEYS).decode()

    compare("decode_checkpoint 1 MB blob (bytes)", lambda: zelk_core.decode_checkpoint(blob),
            "header check + orjson round trip", orjson_decode, check=False)

    compare("reduce_channel add", lambda: zelk_core.reduce_channel("add", "41", "1"),
            "json loads, +, dumps", lambda: json.dumps(json.loads("41") + json.loads("1")))
    compare("reduce_channel append 100 items", lambda: zelk_core.reduce_channel("append", "[1,2]", "[" + ",".join(["3"] * 100) + "]"),
            "json loads, +, dumps",
            lambda: json.dumps(json.loads("[1,2]") + json.loads("[" + ",".join(["3"] * 100) + "]"), separators=(",", ":")))

    state = json.dumps({f"c{i:04d}": i for i in range(1000)})
    reducers = json.dumps({f"c{i:04d}": ("add" if i % 2 else "append") for i in range(1000)})
    updates = json.dumps([{f"c{rng.randrange(1000):04d}": rng.randint(0, 9) for _ in range(10)} for _ in range(100)])

    def python_advance():
        current = json.loads(state)
        table = json.loads(reducers)
        for update in json.loads(updates):
            for name, value in sorted(update.items()):
                reducer = table.get(name, "last_value")
                if reducer == "add":
                    current[name] = current.get(name, 0) + value
                elif reducer == "append":
                    old = current.get(name)
                    base = [] if old is None else (list(old) if isinstance(old, list) else [old])
                    current[name] = base + (value if isinstance(value, list) else [value])
                else:
                    current[name] = value
        return json.dumps(current, sort_keys=True, separators=(",", ":"))

    compare("advance_superstep 1000 channels, 100 updates",
            lambda: zelk_core.advance_superstep(state, reducers, updates), "json + Python fold", python_advance)


def main():
    rng = random.Random(12345)
    print(f"zelk_core {zelk_core.__version__} on CPython {sys.version.split()[0]}; speed-up = peer time / zelk time")
    for section in (bench_vectors, bench_planner, bench_chain, bench_json):
        section(rng)


if __name__ == "__main__":
    main()
