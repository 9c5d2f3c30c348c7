"""Every zelk_core function side by side with what a Python user would pick instead.

Run through `make bench` (arguments via `make bench BENCH_ARGS="--quick -k top_k"`):

    python bench/bench.py [--quick] [-k SUBSTRING ...] [--rounds N] [--out DIR]

Method: each case times ours and every peer in the same round, the side that goes first
rotating from round to round; each side repeats its call until it has used enough CPU time
(process time, so helper threads of a peer count too) and the figure of a round is its CPU
time per call. The ratio is ours / peer per round, and the reported ratio is the median of
those per-round ratios. A peer that does not import is skipped with a note.

The runtime cases (bench/runtime_cases.py, `-k runtime`) run a whole graph against a
hand-written loop doing the same work; a call of a side takes milliseconds to seconds and
waits on fsync, so those rows report wall-clock time (time.perf_counter) beside CPU time,
each as the median of per-round ratios.

A full run writes bench/results.json, bench/results.png and bench/RESULTS.md; a run with
--quick or -k writes them to build/bench/ unless --out says otherwise.
"""

import argparse
import datetime
import gc
import graphlib
import hashlib
import importlib
import json
import math
import os
import platform
import random
import shlex
import statistics
import subprocess
import sys
import time
from itertools import repeat
from pathlib import Path

# Some machines set these for old OpenBLAS builds; they slow a current numpy, so the bench
# runs without them (they must be gone before numpy loads its BLAS).
UNSET_ENVIRONMENT = [
    name for name in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE") if os.environ.pop(name, None) is not None
]

import numpy as np  # noqa: E402 - after the environment is settled
import zelk_core  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
DOCUMENTS = ROOT.parent / "shared" / "testdata" / "bench"
if not DOCUMENTS.is_dir():  # run from a clone next to shared/, or from the main tree
    DOCUMENTS = Path("/work/shared/testdata/bench")

NOTES = []


def optional(module):
    """The peer module, or None with a note when it does not import."""
    try:
        return importlib.import_module(module)
    except Exception as error:  # any import failure skips the peer
        NOTES.append(f"peer {module} skipped: {type(error).__name__}: {error}")
        print(f"note: peer {module} skipped ({type(error).__name__}: {error})", flush=True)
        return None


orjson = optional("orjson")
msgspec = optional("msgspec")
rustworkx = optional("rustworkx")
usearch_index = optional("usearch.index")
faiss = optional("faiss")
threadpoolctl = optional("threadpoolctl")

try:  # beside this file; it imports this tree's runtime
    import runtime_cases
except Exception as error:  # the runtime cases are skipped, the rest runs
    runtime_cases = None
    NOTES.append(f"runtime cases skipped: {type(error).__name__}: {error}")
    print(f"note: runtime cases skipped ({type(error).__name__}: {error})", flush=True)

cpu = time.process_time
wall = time.perf_counter


# ------------------------------------------------------------------ harness


class Peer:
    """A side to compare with: a callable, or a fixed reference time (a throughput bar)."""

    def __init__(self, name, function=None, target=None, reference=None, info=False):
        self.name, self.function, self.target, self.reference, self.info = name, function, target, reference, info


class Bench:
    def __init__(self, rounds, budget, patterns):
        self.rounds, self.budget, self.patterns = rounds, budget, patterns
        self.rows = []

    def wants(self, *labels):
        text = " ".join(labels)
        return not self.patterns or any(p in text for p in self.patterns)

    def calls_for(self, function):
        """Calls per round so that one round of `function` takes about `budget` CPU seconds."""
        calls = 1
        while True:
            start = cpu()
            for _ in repeat(None, calls):
                function()
            spent = cpu() - start
            if spent >= self.budget:
                return calls
            if spent >= 0.002:
                return math.ceil(calls * self.budget / spent)
            calls *= 10

    def case(self, function, label, ours, peers, nbytes=None, per_call=1, check=None, with_wall=False, between=None):
        """Time `ours` against `peers` (a list of Peer) and record one row per peer.

        `per_call` is the number of calls one invocation of a side makes (unrolled loops);
        `nbytes` the input size for a throughput figure; `check` compares the results once;
        `with_wall` adds the wall-clock times and their ratio to the rows; `between` is
        called, untimed, after every side's turn (to clear what the calls left on disk).
        """
        peers = [p for p in peers if p is not None]
        if not self.wants(function, label, *(p.name for p in peers)):
            return
        note, checked = None, check is not None
        if check is not None:
            try:
                note = check()
            except Exception as error:  # reported, the timing still runs
                note = f"check failed: {type(error).__name__}: {error}"
            if note:
                print(f"note: {function} {label}: {note}", flush=True)
        timed_peers = [p for p in peers if p.function is not None]
        sides = [ours] + [p.function for p in timed_peers]
        gc.collect()
        calls = []
        for side in sides:
            calls.append(self.calls_for(side))
            if between is not None:
                between()
        times = [[] for _ in sides]
        walls = [[] for _ in sides]
        for r in range(self.rounds):
            for j in range(len(sides)):
                i = (r + j) % len(sides)  # the side that goes first rotates
                function_i, n = sides[i], calls[i]
                start, wall_start = cpu(), wall()
                for _ in repeat(None, n):
                    function_i()
                wall_end = wall()
                times[i].append((cpu() - start) / n / per_call)
                walls[i].append((wall_end - wall_start) / n / per_call)
                if between is not None:
                    between()
        ours_times = times[0]
        ours_median = statistics.median(ours_times)
        for peer in peers:
            side = None if peer.function is None else 1 + timed_peers.index(peer)
            peer_times = [peer.reference] * self.rounds if side is None else times[side]
            ratios = [o / p for o, p in zip(ours_times, peer_times, strict=False)]
            row = {
                "function": function,
                "input": label,
                "peer": peer.name,
                "ours_s": ours_median,
                "peer_s": statistics.median(peer_times),
                "ratio": statistics.median(ratios),
                "round_ratios": ratios,
                "ours_round_s": ours_times,
                "peer_round_s": peer_times,
                "rounds": self.rounds,
                "calls_per_round": [calls[0] * per_call, None if side is None else calls[side] * per_call],
                "target": peer.target,
                "met": None if peer.target is None else statistics.median(ratios) <= peer.target,
                "ours_MBps": None if nbytes is None else nbytes / ours_median / 1e6,
                "checked_equal": None if not checked else note is None,
                "note": note,
            }
            if with_wall and side is not None:
                wall_ratios = [o / p for o, p in zip(walls[0], walls[side], strict=True)]
                row |= {
                    "ours_wall_s": statistics.median(walls[0]),
                    "peer_wall_s": statistics.median(walls[side]),
                    "wall_ratio": statistics.median(wall_ratios),
                    "wall_round_ratios": wall_ratios,
                    "ours_wall_round_s": walls[0],
                    "peer_wall_round_s": walls[side],
                    "wall_met": None if peer.target is None else statistics.median(wall_ratios) <= peer.target,
                }
            self.rows.append(row)
            print_row(row)


def format_time(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale or unit == "ns":
            return f"{seconds / scale:.3g} {unit}"
    return str(seconds)


def format_target(row):
    if row["target"] is None:
        return "info"
    return f"<= {row['target']:g} " + ("met" if row["met"] else "MISSED")


HEADER = f"{'function':<19} {'input':<52} {'ours':>9} {'peer':<40} {'peer time':>9} {'ratio':>8}  target"


def format_wall(row):
    """The wall-clock part of a row that has one: times, ratio and target."""
    target = "" if row["target"] is None else f" <= {row['target']:g} " + ("met" if row["wall_met"] else "MISSED")
    return (
        f"  wall {format_time(row['ours_wall_s'])} / {format_time(row['peer_wall_s'])} = {row['wall_ratio']:.3f}"
        f"{target}"
    )


def print_row(row):
    speed = f"  {row['ours_MBps']:.0f} MB/s" if row["ours_MBps"] is not None else ""
    clock = format_wall(row) if "wall_ratio" in row else ""
    print(
        f"{row['function']:<19} {row['input']:<52} {format_time(row['ours_s']):>9} {row['peer']:<40} "
        f"{format_time(row['peer_s']):>9} {row['ratio']:8.3f}  {format_target(row)}{speed}{clock}",
        flush=True,
    )


def unrolled(function, *args, unroll=20, loops=500):
    """A callable making loops * unroll calls of function(*args) with little loop overhead."""
    names = ", ".join(f"a{i}" for i in range(len(args)))
    call = f"f({names})"
    source = f"def run(f, {names}):\n    for _ in repeat(None, {loops}):\n" + "".join(
        f"        {call}\n" for _ in range(unroll)
    )
    scope = {"repeat": repeat}
    exec(source, scope)  # a loop body written out, our own text
    run = scope["run"]
    return (lambda: run(function, *args)), unroll * loops


# ------------------------------------------------------------------ vectors


def numpy_top_k(m, q, k):
    scores = (m @ q) / (np.linalg.norm(m, axis=1) * np.linalg.norm(q))
    part = np.argpartition(-scores, k)[:k]
    return part[np.argsort(-scores[part], kind="stable")]


def top_k_peers(m, q, k, target_numpy, with_index_peers):
    peers = [Peer("numpy @, norms, argpartition, sort of k", lambda: numpy_top_k(m, q, k), target_numpy)]
    if with_index_peers and usearch_index is not None:
        search, cos = usearch_index.search, usearch_index.MetricKind.Cos
        peers.append(Peer("usearch exact search (Cos)", lambda: search(m, q, k, cos, exact=True), 1.0))
    if with_index_peers and faiss is not None:
        rows = m / np.linalg.norm(m, axis=1, keepdims=True)
        index = faiss.IndexFlatIP(m.shape[1])
        index.add(np.ascontiguousarray(rows, dtype=np.float32))
        del rows

        def faiss_search():
            query = (q / np.linalg.norm(q)).reshape(1, -1)
            return index.search(query, k)

        peers.append(Peer("faiss IndexFlatIP, rows normalised ahead", faiss_search, None))
    return peers


def top_k_check(ours, reference):
    def check():
        mine = [i for i, _ in ours()]
        theirs = [int(i) for i in reference()]
        if mine == theirs:
            return None
        same = len(set(mine) & set(theirs))
        return f"top-k indices differ from numpy's ({same} of {len(mine)} shared; float32 rounding or ties)"

    return check


def bench_vectors(bench, rng, quick):
    k = 10
    a = np.asarray([rng.gauss(0, 1) for _ in range(768)], dtype=np.float32)
    b = np.asarray([rng.gauss(0, 1) for _ in range(768)], dtype=np.float32)
    bench.case(
        "cosine_similarity",
        "768-d float32 numpy arrays",
        lambda: zelk_core.cosine_similarity(a, b),
        [Peer("numpy dot / (norm * norm)", lambda: float(np.dot(a, b) / (np.linalg.norm(a) * np.linalg.norm(b))), 0.5)],
    )
    la, lb = a.tolist(), b.tolist()

    def numpy_lists():
        x, y = np.asarray(la, dtype=np.float32), np.asarray(lb, dtype=np.float32)
        return float(np.dot(x, y) / (np.linalg.norm(x) * np.linalg.norm(y)))

    bench.case(
        "cosine_similarity",
        "768-d lists of floats",
        lambda: zelk_core.cosine_similarity(la, lb),
        [Peer("numpy asarray + dot / (norm * norm)", numpy_lists, None)],
    )

    shapes = [(100_000, 128)] + ([] if quick else [(1_000_000, 64)])
    nrng = np.random.default_rng(7)
    for rows, dim in shapes:
        label = f"{rows:,} x {dim} float32 numpy, k=10"
        if not bench.wants("top_k", label, "numpy usearch faiss"):
            continue
        m = nrng.standard_normal((rows, dim), dtype=np.float32)
        q = nrng.standard_normal(dim, dtype=np.float32)
        bench.case(
            "top_k",
            label,
            lambda: zelk_core.top_k(q, m, k),
            top_k_peers(m, q, k, 0.5, True),
            check=top_k_check(lambda: zelk_core.top_k(q, m, k), lambda: numpy_top_k(m, q, k)),
        )
        del m, q
        gc.collect()

    label = "20,000 x 128 lists of lists, k=10"
    if bench.wants("top_k", label, "numpy asarray"):
        matrix = nrng.standard_normal((20_000, 128), dtype=np.float32).tolist()
        query = nrng.standard_normal(128, dtype=np.float32).tolist()

        def numpy_lists():
            return numpy_top_k(np.asarray(matrix, dtype=np.float32), np.asarray(query, dtype=np.float32), k)

        bench.case(
            "top_k",
            label,
            lambda: zelk_core.top_k(query, matrix, k),
            [Peer("numpy asarray + @, norms, argpartition", numpy_lists, 0.5)],
            check=top_k_check(lambda: zelk_core.top_k(query, matrix, k), numpy_lists),
        )
        del matrix, query


# ------------------------------------------------------------------ cost


def bench_cost(bench, rng, quick):
    sizes = [10, 1_000, 100_000, 1_000_000] + ([] if quick else [10_000_000])
    exact_sum = sys.version_info < (3, 12)  # from 3.12 on sum() of floats is compensated
    for size in sizes:
        label = f"list of {size:,} floats"
        if not bench.wants("aggregate_cost", label, "sum fsum numpy"):
            continue
        values = [rng.random() * 10 for _ in range(size)]
        target = 0.8 if size >= 1_000_000 else None
        check = (
            (lambda: None if zelk_core.aggregate_cost(values) == sum(values) else "differs from sum()")
            if exact_sum
            else None
        )
        bench.case(
            "aggregate_cost",
            label,
            lambda: zelk_core.aggregate_cost(values),
            [
                Peer("sum(values)", lambda: sum(values), target),
                Peer("math.fsum(values)", lambda: math.fsum(values), None),
                Peer("numpy.sum(values)", lambda: np.sum(values), None) if size <= 1_000_000 else None,
            ],
            check=check,
        )
        del values
        gc.collect()
    for size in [10, 1_000_000] + ([] if quick else [10_000_000]):
        label = f"float64 numpy array of {size:,}"
        if not bench.wants("aggregate_cost", label, "numpy.sum"):
            continue
        array = np.random.default_rng(3).random(size) * 10
        bench.case(
            "aggregate_cost",
            label,
            lambda: zelk_core.aggregate_cost(array),
            [Peer("numpy.sum(array)", lambda: np.sum(array), 3.0 if size >= 10_000_000 else None)],
        )
        del array
        gc.collect()


# ------------------------------------------------------------------ JSON states and checkpoints

WORDS = [
    "graph",
    "node",
    "state",
    "superstep",
    "channel",
    "café",
    "naïve",
    "Grüße",
    "東京",
    "данные",
    "rank",
    "answer",
    "fetch",
    "tool",
    "message",
    "user",
    "assistant",
    "score",
    "0.5",
    "line\nbreak",
    'say "hi"',
]


def text_value(rng):
    return " ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 12)))


def mixed_value(rng, depth=0):
    kind = rng.random()
    if depth > 3 or kind < 0.4:
        pick = rng.random()
        if pick < 0.25:
            return rng.randint(-(10**6), 10**12)
        if pick < 0.5:
            return round(rng.uniform(-1e4, 1e4), rng.randint(1, 9))
        if pick < 0.85:
            return text_value(rng)
        return rng.choice([True, False, None])
    if kind < 0.65:
        return [mixed_value(rng, depth + 1) for _ in range(rng.randint(0, 8))]
    return {
        rng.choice(WORDS[:18]) + f"_{rng.randint(0, 999)}": mixed_value(rng, depth + 1)
        for _ in range(rng.randint(0, 8))
    }


def generated_state(rng, size, shape):
    """A graph state of about `size` bytes of compact JSON, channel by channel."""
    state, total = {}, 2
    while total < size:
        if shape == "ints":
            value = [rng.randint(-(10**9), 10**12) if rng.random() < 0.5 else rng.randint(0, 999) for _ in range(256)]
        elif shape == "strings":
            value = [text_value(rng) * rng.randint(1, 4) for _ in range(32)]
        else:
            value = mixed_value(rng)
        name = f"channel-{len(state):06d}"
        state[name] = value
        total += len(json.dumps(value, ensure_ascii=False, separators=(",", ":")).encode()) + len(name) + 4
    return state


def json_peers(text, target_orjson, target_json, decode=False):
    """Peers for a JSON re-print: parse, then print compact with sorted keys."""
    peers = []
    if decode:
        blob = zelk_core.encode_checkpoint(text)

        def header(b):
            if b[:4] != b"ZELK" or b[4] != 1:
                raise ValueError("bad checkpoint header")
            return memoryview(b)[5:]

        if orjson is not None:
            peers.append(
                Peer(
                    "header + orjson loads + dumps(sorted)",
                    lambda: orjson.dumps(orjson.loads(header(blob)), option=orjson.OPT_SORT_KEYS).decode(),
                    target_orjson,
                )
            )
        if msgspec is not None:
            peers.append(
                Peer(
                    "header + msgspec decode + encode(sorted)",
                    lambda: msgspec.json.encode(msgspec.json.decode(header(blob)), order="sorted").decode(),
                    None,
                )
            )
        peers.append(
            Peer(
                "header + json loads + dumps(sorted)",
                lambda: json.dumps(
                    json.loads(bytes(header(blob))), sort_keys=True, separators=(",", ":"), ensure_ascii=False
                ),
                target_json,
            )
        )
        return peers
    if orjson is not None:
        peers.append(
            Peer(
                "orjson loads + dumps(sorted)",
                lambda: orjson.dumps(orjson.loads(text), option=orjson.OPT_SORT_KEYS),
                target_orjson,
            )
        )
    if msgspec is not None:
        peers.append(
            Peer(
                "msgspec decode + encode(sorted)",
                lambda: msgspec.json.encode(msgspec.json.decode(text), order="sorted"),
                None,
            )
        )
    peers.append(
        Peer(
            "json loads + dumps(sorted)",
            lambda: json.dumps(json.loads(text), sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode(),
            target_json,
        )
    )
    return peers


def codec_check(text):
    def check():
        body = zelk_core.encode_checkpoint(text)[5:]
        if orjson is None:
            return None
        if body == orjson.dumps(orjson.loads(text), option=orjson.OPT_SORT_KEYS):
            return None
        return "body differs from orjson's sorted print (number layout)"

    return check


def bench_checkpoint(bench, rng, quick):
    inputs = []
    for size, shape, indent, targets in [
        (2**10, "mixed", None, False),
        (2**20, "mixed", None, True),
        (2**20, "mixed", 2, True),
        (2**20, "ints", None, True),
        (2**20, "strings", None, True),
        (10 * 2**20, "mixed", None, False),
    ]:
        if quick and size > 2**20:
            continue
        name = {"mixed": "mixed state", "ints": "integer-array state", "strings": "string-heavy state"}[shape]
        label = f"{size // 2**10:,} KB {name}" if size < 2**20 else f"{size // 2**20} MB {name}"
        inputs.append((label + (", indented" if indent else ""), (size, shape, indent), targets, shape != "mixed"))
    for document in ("twitter.json", "canada.json", "citm_catalog.json"):
        inputs.append((document, DOCUMENTS / document, "document", False))

    for label, source, targets, fast in inputs:
        if not bench.wants("encode_checkpoint decode_checkpoint", label, "orjson msgspec json"):
            continue
        if isinstance(source, Path):
            if not source.exists():
                NOTES.append(f"{source} missing: its cases skipped")
                print(f"note: {source} missing, skipped", flush=True)
                continue
            text = source.read_text(encoding="utf-8")
        else:
            size, shape, indent = source
            state = generated_state(rng, size, shape)
            text = json.dumps(state, ensure_ascii=False, indent=indent, separators=None if indent else (",", ":"))
            del state
        nbytes = len(text.encode())
        label = f"{label} ({nbytes / 1e6:.2f} MB)"
        target_orjson, target_json = {True: (0.25, 0.06), "document": (0.5, None), False: (None, None)}[targets]
        bar = [Peer("1 GB/s", reference=nbytes / 1e9, target=1.0)] if fast else []
        bench.case(
            "encode_checkpoint",
            label,
            lambda: zelk_core.encode_checkpoint(text),
            json_peers(text, target_orjson, target_json) + bar,
            nbytes=nbytes,
            check=codec_check(text),
        )
        blob = zelk_core.encode_checkpoint(text)
        bench.case(
            "decode_checkpoint",
            label,
            lambda: zelk_core.decode_checkpoint(blob),
            json_peers(text, target_orjson, target_json, decode=True) + bar,
            nbytes=nbytes,
        )
        del text, blob
        gc.collect()


# ------------------------------------------------------------------ channels


def python_add(current, update):
    """The "add" reducer in Python: double arithmetic, whole sums back to integers."""

    def number(v):
        return v if type(v) in (int, float) else 0

    x, y = number(current), number(update)
    if type(x) is int and type(y) is int and abs(x) < 2**53 and abs(y) < 2**53:
        return x + y
    s = float(x) + float(y)
    if not math.isfinite(s):
        return None
    return max(-(2**63), min(2**63 - 1, int(s))) if s == int(s) else s


def python_fold(state, reducers, updates):
    """Fold the updates into the state dict (in place) the way advance_superstep does."""
    for update in updates:
        if update is None:
            continue
        for name, value in update.items():
            reducer = reducers.get(name, "last_value")
            if reducer == "add":
                state[name] = python_add(state.get(name), value)
            elif reducer == "append":
                old = state.get(name)
                base = [] if old is None else (list(old) if type(old) is list else [old])
                if type(value) is list:
                    base.extend(value)
                else:
                    base.append(value)
                state[name] = base
            else:
                state[name] = value
    return state


def superstep_inputs(rng, channels):
    """State, reducer table and updates: every channel written twice, reducers mixed."""
    names = [f"ch{i:07d}" for i in range(channels)]
    reducers, state = {}, {}
    for i, name in enumerate(names):
        kind = i % 3
        if kind == 0:
            reducers[name] = "add"
            state[name] = rng.randint(0, 10**6)
        elif kind == 1:
            reducers[name] = "append"
            state[name] = [text_value(rng) for _ in range(3)]
        else:
            reducers[name] = "last_value" if i % 2 else "replace"
            state[name] = mixed_value(rng, 2)
    writes = names * 2
    rng.shuffle(writes)
    per_node = 20 if channels <= 1000 else 200
    updates = []
    for start in range(0, len(writes), per_node):
        update = {}
        for name in writes[start : start + per_node]:
            kind = reducers[name]
            if kind == "add":
                update[name] = rng.randint(1, 100) if rng.random() < 0.7 else round(rng.uniform(0, 10), 2)
            elif kind == "append":
                update[name] = text_value(rng) if rng.random() < 0.5 else [rng.randint(0, 99), text_value(rng)]
            else:
                update[name] = mixed_value(rng, 2)
        updates.append(update)
        if rng.random() < 0.05:
            updates.append(None)
    return (
        json.dumps(state, ensure_ascii=False, separators=(",", ":")),
        json.dumps(reducers, separators=(",", ":")),
        updates,
    )


def bench_channels(bench, rng, quick):
    for label, current, update in [
        ("add of two integers", "41", "1"),
        ("append of 1,000 items", json.dumps(list(range(10))), json.dumps(list(range(1000)))),
        ("replace by a 100 KB object", "null", None),
    ]:
        reducer = label.split()[0]
        if not bench.wants("reduce_channel", label, "json"):
            continue
        if update is None:
            update = json.dumps(generated_state(rng, 100_000, "mixed"), ensure_ascii=False)

        def python_reduce(reducer=reducer, current=current, update=update):
            table = {"c": reducer}
            return json.dumps(
                python_fold({"c": json.loads(current)}, table, [{"c": json.loads(update)}])["c"],
                separators=(",", ":"),
                ensure_ascii=False,
                sort_keys=True,
            )

        bench.case(
            "reduce_channel",
            label,
            lambda: zelk_core.reduce_channel(reducer, current, update),
            [Peer("json loads + Python reducer + dumps", python_reduce, None)],
        )

    # The peer reads and prints with orjson; without it the standard library's json stands in
    # (no targets then, and the check compares values: its number layout differs from ours).
    if orjson is not None:
        codec, loads, targets = "orjson", orjson.loads, (0.5, 0.8)

        def dumps(value, sort=False):
            return orjson.dumps(value, option=orjson.OPT_SORT_KEYS if sort else 0).decode()
    else:
        codec, loads, targets = "json", json.loads, (None, None)

        def dumps(value, sort=False):
            return json.dumps(value, sort_keys=sort, separators=(",", ":"), ensure_ascii=False)

    peer_name = f"{codec} loads + Python fold + dumps(sorted)"
    for channels in [1_000, 100_000]:
        if not bench.wants("advance_superstep", f"{channels:,} channels", codec):
            continue
        state_text, reducers_text, updates = superstep_inputs(rng, channels)
        updates_text = dumps(updates)
        label = f"{channels:,} channels, {len([u for u in updates if u is not None]):,} updates"

        def peer_text():
            return dumps(python_fold(loads(state_text), loads(reducers_text), loads(updates_text)), sort=True)

        def peer_dicts():
            return dumps(python_fold(loads(state_text), loads(reducers_text), updates), sort=True)

        def check():
            ours = zelk_core.advance_superstep(state_text, reducers_text, updates_text)
            same = (lambda a, b: a == b) if orjson is not None else (lambda a, b: json.loads(a) == json.loads(b))
            if not same(ours, peer_text()):
                return "RESULT TEXT DIFFERS from the Python fold"
            if not same(ours, peer_dicts()):
                return "RESULT TEXT DIFFERS from the Python fold over dicts"
            return None

        bench.case(
            "advance_superstep",
            label + ", updates as text",
            lambda: zelk_core.advance_superstep(state_text, reducers_text, updates_text),
            [Peer(peer_name, peer_text, targets[0])],
            check=check,
        )
        bench.case(
            "advance_superstep",
            label + ", updates as dicts",
            lambda: zelk_core.advance_superstep(state_text, reducers_text, dumps(updates)),
            [Peer(peer_name, peer_dicts, targets[1])],
        )
        del state_text, reducers_text, updates, updates_text
        gc.collect()


# ------------------------------------------------------------------ audit chain


def hashlib_link(prev, payload):
    link = hashlib.sha256()
    link.update(prev.encode())
    link.update(b"\x1f")
    link.update(payload.encode())
    return link.hexdigest()


def bench_chain(bench, rng, quick):
    prev = hashlib.sha256(b"genesis").hexdigest()
    chunk = None
    wide = "äöüßé€漢字データ😀ж"
    payloads = [("10 MB ASCII payload", 10, 0.8), ("100 MB ASCII payload", 100, 0.8)]
    if quick:
        payloads = payloads[:1]
    for label, megabytes, target in payloads:
        if not bench.wants("hash_event", label, "hashlib"):
            continue
        if chunk is None:
            chunk = "".join(rng.choice("abcdefghijklmnopqrstuvwxyz ,.0123456789") for _ in range(2**20))
        payload = chunk * megabytes
        bench.case(
            "hash_event",
            label,
            lambda: zelk_core.hash_event(prev, payload),
            [Peer("hashlib sha256, three updates", lambda: hashlib_link(prev, payload), target)],
            nbytes=len(payload),
            check=lambda: None
            if zelk_core.hash_event(prev, payload) == hashlib_link(prev, payload)
            else "HASH DIFFERS",
        )
        del payload
        gc.collect()
    label = "1M non-ASCII characters"
    if bench.wants("hash_event", label, "hashlib"):
        payload = "".join(rng.choice(wide) for _ in range(10**6))
        bench.case(
            "hash_event",
            label,
            lambda: zelk_core.hash_event(prev, payload),
            [Peer("hashlib sha256, three updates", lambda: hashlib_link(prev, payload), 1.0)],
            nbytes=len(payload.encode()),
            check=lambda: None
            if zelk_core.hash_event(prev, payload) == hashlib_link(prev, payload)
            else "HASH DIFFERS",
        )
        del payload

    for count in [100_000] + ([] if quick else [1_000_000]):
        label = f"{count:,} entries"
        if not bench.wants("verify_chain", label, "hashlib Python loop"):
            continue
        entries, link = [], "genesis"
        for i in range(count):
            text = f'{{"event":{i},"user":"u{rng.randrange(10**4)}","cost":{rng.random():.6f}}}'
            link = hashlib.sha256((link + "\x1f" + text).encode()).hexdigest()
            entries.append((text, link))

        def python_verify():
            expected = "genesis"
            for i, (text, stored) in enumerate(entries):
                expected = hashlib.sha256((expected + "\x1f" + text).encode()).hexdigest()
                if expected != stored:
                    return i
            return None

        bench.case(
            "verify_chain",
            label,
            lambda: zelk_core.verify_chain("genesis", entries),
            [Peer("Python loop over hashlib", python_verify, 0.2)],
            check=lambda: None
            if zelk_core.verify_chain("genesis", entries) is None and python_verify() is None
            else "results differ",
        )
        del entries
        gc.collect()


# ------------------------------------------------------------------ planner


def random_dag(rng, nodes, edges):
    names = [f"node-{i:07d}" for i in range(nodes)]
    rng.shuffle(names)
    rank = {name: i for i, name in enumerate(rng.sample(names, nodes))}
    pairs = []
    while len(pairs) < edges:
        a, b = rng.choice(names), rng.choice(names)
        if a == b:
            continue
        pairs.append((a, b) if rank[a] < rank[b] else (b, a))
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
        ready = sorted(sorter.get_ready())  # code-point order is UTF-8 byte order
        plan.append(ready)
        sorter.done(*ready)
    return plan


def rustworkx_plan(nodes, edges):
    graph = rustworkx.PyDiGraph()
    index = {}
    for node in nodes:
        if node not in index:
            index[node] = graph.add_node(node)
    graph.add_edges_from_no_data([(index[a], index[b]) for a, b in edges])
    return [sorted(graph[i] for i in layer) for layer in rustworkx.topological_generations(graph)]


def bench_planner(bench, rng, quick):
    sizes = [(200, 1_000), (1_000, 5_000), (100_000, 500_000)] + ([] if quick else [(200_000, 1_000_000)])
    for nodes, edges in sizes:
        label = f"{nodes:,} nodes, {edges:,} edges"
        if not bench.wants("plan_supersteps", label, "graphlib rustworkx"):
            continue
        names, pairs = random_dag(rng, nodes, edges)
        graphlib_target = {1_000: 0.05, 100_000: 0.03}.get(nodes)
        rustworkx_target = 0.25 if nodes in (1_000, 100_000) else None

        def check():
            ours = zelk_core.plan_supersteps(names, pairs)
            if ours != graphlib_plan(names, pairs):
                return "PLAN DIFFERS from graphlib's"
            if rustworkx is not None and ours != rustworkx_plan(names, pairs):
                return "PLAN DIFFERS from rustworkx's"
            return None

        bench.case(
            "plan_supersteps",
            label,
            lambda: zelk_core.plan_supersteps(names, pairs),
            [
                Peer("graphlib batches, sorted", lambda: graphlib_plan(names, pairs), graphlib_target),
                Peer("rustworkx build + generations, sorted", lambda: rustworkx_plan(names, pairs), rustworkx_target)
                if rustworkx is not None
                else None,
            ],
            check=check,
        )
        del names, pairs
        gc.collect()


# ------------------------------------------------------------------ call overhead


def bench_overhead(bench, rng, quick):
    empty = []
    one, two, three = (len, (empty,)), (isinstance, (1, int)), (pow, (2, 1, 3))
    builtin_names = {len: "len([])", isinstance: "isinstance(1, int)", pow: "pow(2, 1, 3)"}
    cases = [
        ("aggregate_cost", "aggregate_cost([])", (empty,), one, 1.5),
        ("encode_checkpoint", 'encode_checkpoint("0")', ("0",), one, 2.0),
        ("decode_checkpoint", 'decode_checkpoint(b"ZELK\\x010")', (b"ZELK\x010",), one, 2.0),
        ("cosine_similarity", "cosine_similarity([], [])", (empty, empty), two, 2.0),
        ("plan_supersteps", "plan_supersteps([], [])", (empty, empty), two, 2.0),
        ("hash_event", 'hash_event("", "")', ("", ""), two, 2.0),
        ("verify_chain", 'verify_chain("", [])', ("", empty), two, 2.0),
        ("top_k", "top_k([], [], 0)", (empty, empty, 0), three, 2.0),
        ("reduce_channel", 'reduce_channel("add", "1", "1")', ("add", "1", "1"), three, 2.0),
        ("advance_superstep", 'advance_superstep("{}", "{}", "[]")', ("{}", "{}", "[]"), three, 2.0),
    ]
    for function, label, args, (builtin, builtin_args), target in cases:
        ours, calls = unrolled(getattr(zelk_core, function), *args)
        peer, _ = unrolled(builtin, *builtin_args)
        bench.case(
            function,
            "call overhead: " + label,
            ours,
            [Peer(builtin_names[builtin] + " (same arity)", peer, target)],
            per_call=calls,
        )


# ------------------------------------------------------------------ runtime end to end


def bench_runtime(bench, rng, quick):
    """Graph() and run() on a fresh run directory against a hand-written loop (runtime_cases.py)."""
    if runtime_cases is None:
        return
    folders = runtime_cases.Folders()
    try:
        for case in runtime_cases.cases(quick, folders, bench.wants):
            bench.case(
                case.function,
                case.label,
                case.ours,
                [Peer(case.peer, case.hand, case.target)],
                check=case.check,
                with_wall=True,
                between=folders.clear,
            )
    finally:
        folders.remove()


# ------------------------------------------------------------------ machine, outputs


def machine():
    model = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    flags = ""
    try:
        text = Path("/proc/cpuinfo").read_text()
        present = set(text.split("flags", 1)[1].split("\n", 1)[0].split())
        flags = " ".join(f for f in ("avx2", "sha_ni", "avx512f") if f in present)
    except (OSError, IndexError):
        pass
    blas = None
    if threadpoolctl is not None:
        blas = [
            {
                key: info.get(key)
                for key in ("internal_api", "version", "num_threads", "architecture", "threading_layer", "filepath")
            }
            for info in threadpoolctl.threadpool_info()
        ]
    try:
        commit = (
            subprocess.run(
                ["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"], capture_output=True, text=True, timeout=10
            ).stdout.strip()
            or None
        )
    except (OSError, subprocess.SubprocessError):
        commit = None
    return {
        "cpu": model,
        "cpu_flags": flags,
        "cores": os.cpu_count(),
        "python": platform.python_version(),
        "numpy": np.__version__,
        "blas": blas,
        "date": datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC"),
        "load_average_at_start": os.getloadavg(),
        "zelk_core": zelk_core.__version__,
        "zelk_runtime": None if runtime_cases is None else runtime_cases.zelk_runtime.__version__,
        "commit": commit,
        "unset_environment": UNSET_ENVIRONMENT,
    }


def write_results(out, rows, info, arguments):
    out.mkdir(parents=True, exist_ok=True)
    results = {"machine": info, "method": arguments, "notes": NOTES, "cases": rows}
    (out / "results.json").write_text(json.dumps(results, indent=1, ensure_ascii=False) + "\n")
    chart = draw_chart(out / "results.png", rows, info)
    (out / "RESULTS.md").write_text(markdown(rows, info, arguments, chart))


def draw_chart(path, rows, info):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except Exception as error:
        NOTES.append(f"chart skipped: matplotlib: {error}")
        print(f"note: chart skipped (matplotlib: {error})")
        return None
    labels = [f"{r['function']} {r['input']} / {r['peer']}" for r in rows]
    ratios = [r["ratio"] for r in rows]
    colours = ["#9e9e9e" if r["target"] is None else ("#2e7d32" if r["met"] else "#c62828") for r in rows]
    height = max(3.0, 0.22 * len(rows) + 1.2)
    figure, axis = plt.subplots(figsize=(13, height))
    positions = range(len(rows))
    axis.barh(positions, ratios, color=colours, height=0.7, left=0)
    axis.set_xscale("log")
    axis.axvline(1.0, color="black", linewidth=1)
    for y, row in enumerate(rows):
        if row["target"] is not None:
            axis.plot([row["target"]], [y], marker="|", markersize=11, markeredgewidth=2.5, color="#1565c0")
    axis.set_yticks(list(positions))
    axis.set_yticklabels(labels, fontsize=6.5)
    axis.invert_yaxis()
    axis.set_xlabel("CPU time ratio, zelk_core / peer (log scale; below 1 is faster; blue mark = target)")
    for y, row in enumerate(rows):
        axis.text(row["ratio"] * 1.04, y, f"{row['ratio']:.3g}", va="center", fontsize=5.5)
    axis.set_title(
        f"zelk_core against its peers: green met, red missed, grey information\n{info['cpu']}, "
        f"{info['cores']} cores, CPython {info['python']}, numpy {info['numpy']}, {info['date']}",
        fontsize=9,
    )
    axis.grid(axis="x", which="both", alpha=0.3)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)
    return path.name


def numpy_blas(info):
    """numpy's own BLAS as threadpoolctl reports it, for the results page."""
    for pool in info["blas"] or []:
        if "numpy" in (pool["filepath"] or "") and pool["internal_api"] != "openmp":
            return f"{pool['internal_api']} {pool['version']} ({pool['architecture']} kernels, {pool['num_threads']} threads by default)"
    return "BLAS not reported (threadpoolctl missing)"


def markdown(rows, info, arguments, chart):
    met = [r for r in rows if r["target"] is not None]
    lines = [
        "## Benchmark",
        "",
        f"Generated by `make bench` (`{shlex.join(['python', 'bench/bench.py'] + arguments['argv'])}`) on {info['date']}: "
        f"{info['cpu']} ({info['cpu_flags']}), {info['cores']} cores, CPython {info['python']}, numpy {info['numpy']} "
        f"with {numpy_blas(info)}, "
        f"zelk_core {info['zelk_core']}"
        + (f" at {info['commit']}" if info["commit"] else "")
        + f"; load average at start {info['load_average_at_start'][0]:.1f} (the machine was shared).",
        "",
        f"Ratio = CPU time of zelk_core / CPU time of the peer, the median over {arguments['rounds']} rounds of "
        "per-round ratios; in each round every side runs for enough calls to use "
        f"about {arguments['budget_s'] * 1e3:.0f} ms of CPU, the first side rotating. Below 1 zelk_core is faster. "
        f"Targets met: {sum(r['met'] for r in met)} of {len(met)}. "
        f"BLAS and OpenMP pools limited to {arguments['blas_threads']} thread(s) while timing (CPU time is compared).",
        "",
    ]
    if chart:
        lines += [f"![ratios](bench/{chart})", ""]
    lines += [
        "| function | input | ours | peer | peer time | ratio | target | ours MB/s |",
        "|---|---|---:|---|---:|---:|---|---:|",
    ]
    for r in rows:
        target = "info" if r["target"] is None else f"<= {r['target']:g} " + ("met" if r["met"] else "**missed**")
        speed = "" if r["ours_MBps"] is None else f"{r['ours_MBps']:.0f}"
        lines.append(
            f"| {r['function']} | {r['input']} | {format_time(r['ours_s'])} | {r['peer']} | "
            f"{format_time(r['peer_s'])} | {r['ratio']:.3f} | {target} | {speed} |"
        )
    timed = [r for r in rows if "wall_ratio" in r]
    if timed:
        lines += [
            "",
            "The runtime end to end against a hand-written loop doing the same supersteps (sides alternating, "
            "fresh run directories in one temporary folder, cleared between turns): CPU and wall-clock time per "
            "run, each ratio the median of the per-round ratios.",
            "",
            "| case | input | runtime CPU | hand CPU | CPU ratio | runtime wall | hand wall | wall ratio | target |",
            "|---|---|---:|---:|---:|---:|---:|---:|---|",
        ]
        for r in timed:
            verdict = {True: "met", False: "**missed**"}
            target = (
                "info"
                if r["target"] is None
                else f"<= {r['target']:g}: CPU {verdict[r['met']]}, wall {verdict[r['wall_met']]}"
            )
            lines.append(
                f"| {r['function']} | {r['input']} | {format_time(r['ours_s'])} | {format_time(r['peer_s'])} | "
                f"{r['ratio']:.3f} | {format_time(r['ours_wall_s'])} | {format_time(r['peer_wall_s'])} | "
                f"{r['wall_ratio']:.3f} | {target} |"
            )
    same = sorted({f"{r['function']} {r['input']}" for r in rows if r["checked_equal"]})
    if same:
        lines += ["", "Results compared once with the peer's and found equal: " + "; ".join(same) + "."]
    lines += ["", f"The run took {arguments['elapsed_s']:.0f} s ({arguments['cpu_s']:.0f} s of CPU)."]
    notes = NOTES + sorted({f"{r['function']} {r['input']}: {r['note']}" for r in rows if r["note"]})
    if notes:
        lines += ["", "Notes:", ""] + [f"- {n}" for n in notes]
    return "\n".join(lines) + "\n"


SECTIONS = {
    "vectors": bench_vectors,
    "cost": bench_cost,
    "checkpoint": bench_checkpoint,
    "channels": bench_channels,
    "chain": bench_chain,
    "planner": bench_planner,
    "overhead": bench_overhead,
    "runtime": bench_runtime,
}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds, smaller sizes")
    parser.add_argument(
        "-k",
        action="append",
        default=[],
        metavar="SUBSTRING",
        help="run only cases whose function, input or peer contains SUBSTRING (repeatable)",
    )
    parser.add_argument("--rounds", type=int, help="rounds per case (default 7, quick 3)")
    parser.add_argument("--budget", type=float, help="CPU seconds per side per round (default 0.03, quick 0.01)")
    parser.add_argument("--out", type=Path, help="folder for results.json, results.png, RESULTS.md")
    parser.add_argument("--blas-threads", type=int, default=1, help="BLAS/OpenMP threads while timing (default 1)")
    args = parser.parse_args(argv)
    rounds = args.rounds or (3 if args.quick else 7)
    budget = args.budget or (0.01 if args.quick else 0.03)
    out = args.out or (ROOT / ("build/bench" if (args.quick or args.k) else "bench"))

    info = machine()
    print(
        f"zelk_core {info['zelk_core']} on CPython {info['python']}, numpy {info['numpy']}, {info['cpu']}, "
        f"{info['cores']} cores; ratio = ours / peer CPU time, median of {rounds} per-round ratios",
        flush=True,
    )
    if UNSET_ENVIRONMENT:
        print(f"note: unset {', '.join(UNSET_ENVIRONMENT)} for this run", flush=True)
    print(HEADER, flush=True)
    bench = Bench(rounds, budget, args.k)
    started, cpu_started = time.monotonic(), cpu()
    limits = threadpoolctl.threadpool_limits(args.blas_threads) if threadpoolctl is not None else None
    try:
        for name, section in SECTIONS.items():
            section(bench, random.Random(f"zelk-{name}"), args.quick)
    finally:
        if limits is not None:
            limits.unregister()
    elapsed, spent = time.monotonic() - started, cpu() - cpu_started
    met = [r for r in bench.rows if r["target"] is not None]
    print(
        f"\n{len(bench.rows)} rows in {elapsed:.0f} s ({spent:.0f} s of CPU); "
        f"targets met {sum(r['met'] for r in met)} of {len(met)}"
    )
    arguments = {
        "argv": sys.argv[1:] if argv is None else argv,
        "rounds": rounds,
        "budget_s": budget,
        "clock": "time.process_time",
        "blas_threads": args.blas_threads,
        "elapsed_s": elapsed,
        "cpu_s": spent,
    }
    write_results(out, bench.rows, info, arguments)
    print(f"wrote {out / 'results.json'}, {out / 'results.png'}, {out / 'RESULTS.md'}")


if __name__ == "__main__":
    main()
