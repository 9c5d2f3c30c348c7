"""Many runs, many workers, workers killed at random: every run still finishes once.

    python examples/workers_proof.py [--store URL] [--runs 200] [--workers 4] [--kill-for 20] [--lease 2]
                                     [--measure] [--measure-runs 100]

RUNS runs of the graph below (it loops two to four rounds, each fanning out three to five
Send instances) are submitted to a PostgreSQL database, with `{"seed": i}` folded in; WORKERS
worker processes run them while, for KILL_FOR seconds, a random worker is killed with
SIGKILL and a new one started every 0.2 to 1 seconds. Then, once every run finished, the
proof checks that each run's audit chain and checkpoints verify, that zelk_commits holds no
(run, superstep) twice, and that each final state equals the state of the same run made in
this one process on SQLite. `--measure` then prints runs per second with 1, 2 and 4
workers on PostgreSQL, without kills, and with one process on SQLite (a file per run, run
one after another). Without --store a throwaway server is started (tests/runtime/pg_server.py).

This file is also the graph file the workers load (`graph`, below).
"""

from __future__ import annotations

import os
import time
from typing import Any

from zelk_runtime import END, Graph, Output, Send

WORK_SECONDS = "ZELK_PROOF_WORK_SECONDS"  # how long each Send instance pretends to work


def rounds(seed: int) -> int:
    return 2 + seed % 3


def plan(state: Any) -> Output:
    fan = 3 + state["seed"] % 3
    return Output({"round": 1}, sends=[Send("work", [state["round"] + 1, i]) for i in range(fan)])


def work(state: Any, item: list[int]) -> dict[str, Any]:
    pause = float(os.environ.get(WORK_SECONDS, "0") or 0)
    if pause:
        time.sleep(pause)
    round_, i = item
    return {"sums": [(state["seed"] * 31 + round_ * 7 + i * i) % 1009]}


def join(state: Any) -> dict[str, Any]:
    return {"totals": [sum(state["sums"])]}


def route(state: Any) -> Any:
    return END if state["round"] >= rounds(state["seed"]) else "plan"


graph = Graph(
    [plan, work, join],
    [("work", "join")],
    branches={"join": (route, ["plan"])},
    sends={"plan": ["work"]},
    start=["plan"],
    initial_state={"seed": 0, "round": 0, "sums": [], "totals": []},
    reducers={"round": "add", "sums": "append", "totals": "append"},
)


# The proof.


def reference_states(seeds: list[int], folder: str) -> tuple[dict[int, str], float]:
    """Each run made in this process on SQLite (a file per run, one after another), as submit
    and a worker make it: the update folded, then the run. Returns the states and runs/s."""
    import json

    from zelk_runtime import resume, run

    states = {}
    began = time.perf_counter()
    for seed in seeds:
        location = os.path.join(folder, f"run-{seed}.sqlite")
        run(graph, location, progress=None, max_supersteps=0, executor="sequential")
        result = resume(graph, location, update={"seed": seed}, author="submit", progress=None, executor="sequential")
        assert result.finished, result.status
        states[seed] = json.dumps(json.loads(result.state_json), sort_keys=True)
    return states, len(seeds) / (time.perf_counter() - began)


def submit_all(url: str, seeds: list[int], prefix: str) -> None:
    from zelk_runtime import submit

    for seed in seeds:
        submit(__file__, url, run_id=f"{prefix}{seed}", update={"seed": seed})


def start_worker(url: str, lease: float, log: Any, until_idle: bool = False) -> Any:
    import subprocess
    import sys

    command = [sys.executable, "-m", "zelk_runtime", "worker", "--store", url, "--lease", str(lease)]
    command += ["--poll", "0.05", "--executor", "sequential"] + (["--until-idle"] if until_idle else [])
    return subprocess.Popen(command, stdout=log, stderr=log)


def states_of(url: str, prefix: str) -> dict[str, str]:
    from zelk_runtime.workers import runs

    return {row.name: row.state for row in runs(url) if row.name.startswith(prefix)}


def chaos(url: str, workers: int, lease: float, kill_for: float, log: Any, rng: Any) -> tuple[list[Any], int]:
    """Run `workers` worker processes, killing one at random with SIGKILL and starting another
    every 0.2 to 1 s for `kill_for` seconds. Returns the processes left and the kills."""
    import signal

    alive = [(time.monotonic(), start_worker(url, lease, log)) for _ in range(workers)]
    kills = 0
    ends = time.monotonic() + kill_for
    while time.monotonic() < ends:
        time.sleep(rng.uniform(0.2, 1.0))
        # A worker that had the time to start and take up a run, where there is one.
        settled = [index for index, (born, _) in enumerate(alive) if time.monotonic() - born > 0.6]
        _, victim = alive.pop(rng.choice(settled) if settled else rng.randrange(len(alive)))
        victim.send_signal(signal.SIGKILL)
        victim.wait()
        kills += 1
        alive.append((time.monotonic(), start_worker(url, lease, log)))
    return [child for _, child in alive], kills


def check(url: str, prefix: str, expected: dict[int, str]) -> dict[str, int]:
    """Every run finished, verifies, was committed once per superstep and ends in the state
    the single process reached. Returns what was counted."""
    import json

    import psycopg
    from zelk_runtime import load_checkpoint, read_run, verify
    from zelk_runtime.stores import open_store

    states = states_of(url, prefix)
    assert len(states) == len(expected) and set(states.values()) == {"finished"}, states
    with psycopg.connect(url, autocommit=True) as connection:
        twice = connection.execute(
            "SELECT run, superstep, count(*) FROM zelk_commits WHERE run LIKE %s GROUP BY run, superstep "
            "HAVING count(*) > 1",
            (prefix + "%",),
        ).fetchall()
        assert not twice, f"supersteps committed twice: {twice}"
        (commits,) = connection.execute(
            "SELECT count(*) FROM zelk_commits WHERE run LIKE %s", (prefix + "%",)
        ).fetchone()
        (taken_over,) = connection.execute(
            "SELECT count(*) FROM zelk_runs WHERE name LIKE %s AND fence > 2", (prefix + "%",)
        ).fetchone()
    supersteps = 0
    for seed, state in expected.items():
        name = f"{prefix}{seed}"
        stored = verify(url, run_id=name)
        supersteps += stored.completed
        store = open_store(url, run_id=name, create=False)
        try:
            text = load_checkpoint(store, read_run(store), stored.completed - 1)
        finally:
            store.close()
        assert json.dumps(json.loads(text), sort_keys=True) == state, f"run {name} ends elsewhere than in one process"
    assert commits == supersteps, (commits, supersteps)
    return {"runs": len(expected), "supersteps": supersteps, "taken_over": int(taken_over)}


def prove(
    url: str, runs: int, workers: int, kill_for: float, lease: float, folder: str, seed: int = 0
) -> dict[str, Any]:
    """The proof on the database at `url` (runs named proof-N-...); returns its figures."""
    import random
    import signal

    rng = random.Random(seed)
    prefix = f"proof-{os.getpid()}-{seed}-"
    seeds = list(range(runs))
    expected, _ = reference_states(seeds, folder)
    submit_all(url, seeds, prefix)
    with open(os.path.join(folder, "workers.log"), "ab") as log:
        alive, kills = chaos(url, workers, lease, kill_for, log, rng)
        try:
            limit = time.monotonic() + 120 + runs
            while set(states_of(url, prefix).values()) != {"finished"}:
                assert time.monotonic() < limit, f"runs left unfinished: {states_of(url, prefix)}"
                time.sleep(0.1)
        finally:
            for child in alive:
                child.send_signal(signal.SIGTERM)
            for child in alive:
                child.wait(60)
    figures = check(url, prefix, expected)
    return figures | {"kills": kills, "seconds": round(worker_span(url, prefix), 1)}


def worker_span(url: str, prefix: str) -> float:
    """Seconds from the first superstep a worker committed to the last (submitting not included)."""
    import psycopg

    with psycopg.connect(url, autocommit=True) as connection:
        (span,) = connection.execute(
            "SELECT extract(epoch FROM max(at) - min(at)) FROM zelk_commits WHERE worker LIKE %s AND run LIKE %s",
            ("%:w%", prefix + "%"),
        ).fetchone()
    return float(span)


def measure(url_for: Any, runs: int, folder: str) -> dict[str, float]:
    """Runs per second: 1, 2 and 4 worker processes on PostgreSQL (each on a fresh database,
    timed from the first commit a worker made to the last; submitting them is timed apart),
    and one process on SQLite (making each run and its update included)."""
    figures = {}
    for workers in (1, 2, 4):
        url = url_for(f"measure_{workers}")
        began = time.perf_counter()
        submit_all(url, list(range(runs)), "m-")
        if workers == 1:
            figures["postgres, submit from one process"] = runs / (time.perf_counter() - began)
        with open(os.path.join(folder, f"measure-{workers}.log"), "ab") as log:
            children = [start_worker(url, 30, log, until_idle=True) for _ in range(workers)]
            for child in children:
                child.wait(600)
        assert set(states_of(url, "m-").values()) == {"finished"}
        figures[f"postgres, {workers} worker{'s' if workers > 1 else ''}"] = runs / worker_span(url, "m-")
    sqlite = os.path.join(folder, "sqlite")
    os.mkdir(sqlite)
    _, figures["sqlite, 1 process"] = reference_states(list(range(runs)), sqlite)
    return figures


def main() -> int:
    import argparse
    import sys
    import tempfile

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--store", metavar="URL", help="a PostgreSQL database (default: a throwaway server)")
    parser.add_argument("--runs", type=int, default=200, help="0: no proof, only --measure")
    parser.add_argument("--workers", type=int, default=4)
    parser.add_argument("--kill-for", type=float, default=20.0, metavar="SECONDS")
    parser.add_argument("--lease", type=float, default=2.0, metavar="SECONDS")
    parser.add_argument(
        "--work-seconds", type=float, default=0.02, help="each Send instance's pretended work in the proof"
    )
    parser.add_argument("--measure", action="store_true", help="then runs/s with 1, 2, 4 workers and on SQLite")
    parser.add_argument("--measure-runs", type=int, default=200)
    arguments = parser.parse_args()
    server = None
    if arguments.store is None:
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "runtime"))
        from pg_server import PgServer

        server = PgServer()
        server.start()
    try:
        with tempfile.TemporaryDirectory() as folder:
            os.environ[WORK_SECONDS] = str(arguments.work_seconds)
            url = arguments.store or server.create_database("proof")
            if arguments.runs:
                print(
                    f"proof: {arguments.runs} runs, {arguments.workers} workers, one killed every 0.2-1 s for "
                    f"{arguments.kill_for:g} s, lease {arguments.lease:g} s",
                    flush=True,
                )
                figures = prove(url, arguments.runs, arguments.workers, arguments.kill_for, arguments.lease, folder)
                print(
                    f"  {figures['runs']} runs finished, over {figures['seconds']} s; {figures['kills']} workers killed, "
                    f"{figures['taken_over']} runs taken over from a killed worker; {figures['supersteps']} supersteps, "
                    "each committed once; every chain verifies; every final state equals the single-process run",
                    flush=True,
                )
            if arguments.measure:
                os.environ[WORK_SECONDS] = "0"
                if server is not None:
                    url_for = server.create_database
                else:
                    raise SystemExit("--measure needs databases of its own: run it without --store")
                print(f"runs per second ({arguments.measure_runs} runs, no kills, nodes do no work):", flush=True)
                for label, rate in measure(url_for, arguments.measure_runs, folder).items():
                    print(f"  {label}: {rate:.1f} runs/s", flush=True)
    finally:
        if server is not None:
            server.close()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
