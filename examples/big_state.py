"""A state that grows large: what a superstep stores and how much memory a run needs.

    python examples/big_state.py [--megabytes 100] [--supersteps 10] [--store DIR]

One node writes a channel of MEGABYTES megabytes; then a loop changes one integer per
superstep, SUPERSTEPS times, in a second process that resumes the store (so the memory
it needs is the run's own, not what building the big value took). The example prints the
store's size against the state's, each process's peak memory (resident set, above what the
interpreter held before the run), and the time per superstep.
"""

from __future__ import annotations

import argparse
import json
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

from zelk_runtime import Graph, run


def peak_megabytes() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # kilobytes on Linux


def make(state: dict[str, Any], megabytes: int) -> dict[str, Any]:
    return {"blob": "x" * (megabytes << 20)}


def tick(state: dict[str, Any]) -> dict[str, Any]:
    return {"counter": 1}


def route(limit: int, state: dict[str, Any]) -> str:
    return "tick" if state["counter"] < limit else "done"


def done(state: dict[str, Any]) -> None:
    return None


def build_graph(megabytes: int, supersteps: int) -> Graph:
    import functools

    return Graph(
        {"make": functools.partial(make, megabytes=megabytes), "tick": tick, "done": done},
        [("make", "tick")],
        branches={"tick": (functools.partial(route, supersteps), ["tick", "done"])},
        initial_state={"counter": 0},
        channels=["blob"],
        reducers={"counter": "add"},
        step_limit=supersteps + 10,
    )


def measure(store: str, megabytes: int, supersteps: int, stop_after: int | None) -> dict[str, Any]:
    """One process's part: run (at most `stop_after` supersteps) and report."""
    graph = build_graph(megabytes, supersteps)
    before = peak_megabytes()
    started = time.perf_counter()
    result = run(graph, store, executor="sequential", progress=None, max_supersteps=stop_after)
    elapsed = time.perf_counter() - started
    return {
        "supersteps": len(result.reports),
        "seconds": elapsed,
        "per_superstep": [report.seconds for report in result.reports],
        "peak_megabytes": peak_megabytes(),
        "baseline_megabytes": before,
        "completed": result.completed,
    }


def child(store: str, megabytes: int, supersteps: int, stop_after: int | None) -> dict[str, Any]:
    command = [sys.executable, __file__, "--child", store, str(megabytes), str(supersteps), str(stop_after or 0)]
    found = subprocess.run(command, check=True, capture_output=True, text=True)
    measured: dict[str, Any] = json.loads(found.stdout.strip().splitlines()[-1])
    return measured


def store_bytes(location: Path) -> int:
    return sum(path.stat().st_size for path in location.rglob("*") if path.is_file())


def main(argv: list[str] | None = None) -> int:
    arguments = sys.argv[1:] if argv is None else argv
    if arguments and arguments[0] == "--child":
        store, megabytes, supersteps, stop = arguments[1:]
        print(json.dumps(measure(store, int(megabytes), int(supersteps), int(stop) or None)))
        return 0
    options = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    options.add_argument("--megabytes", type=int, default=100)
    options.add_argument("--supersteps", type=int, default=10)
    options.add_argument("--store", help="where to keep the run (default: a temporary folder)")
    given = options.parse_args(arguments)
    folder = Path(given.store) if given.store else Path(tempfile.mkdtemp(prefix="zelk-big-state-"))
    location = folder / "run"
    try:
        size = given.megabytes << 20
        made = child(str(location), given.megabytes, given.supersteps, 1)
        after_make = store_bytes(location)
        ticks = child(str(location), given.megabytes, given.supersteps, None)
        after_ticks = store_bytes(location)
        mb = size / (1 << 20)
        print(f"state: {mb:.0f} MB (one channel), then {ticks['supersteps']} supersteps changing one integer")
        print(
            f"store: {after_make / (1 << 20):.1f} MB after the first superstep, {after_ticks / (1 << 20):.1f} MB "
            f"after all ({after_ticks / size:.2f}x the state)"
        )
        print(
            f"memory, making the state: peak {made['peak_megabytes'] - made['baseline_megabytes']:.0f} MB above the "
            f"interpreter's {made['baseline_megabytes']:.0f} MB ({(made['peak_megabytes'] - made['baseline_megabytes']) / mb:.2f}x)"
        )
        grown = ticks["peak_megabytes"] - ticks["baseline_megabytes"]
        print(
            f"memory, resuming and changing the integer: peak {grown:.0f} MB above the interpreter's "
            f"{ticks['baseline_megabytes']:.0f} MB ({grown / mb:.2f}x the state)"
        )
        times = ticks["per_superstep"]
        print(
            f"time per superstep changing the integer: {1000 * sum(times) / max(1, len(times)):.2f} ms "
            f"(resuming the store, reading the state back, included in the process's {ticks['seconds']:.2f} s)"
        )
        print(
            json.dumps(
                {
                    "state_bytes": size,
                    "store_bytes": after_ticks,
                    "peak_making": made["peak_megabytes"] - made["baseline_megabytes"],
                    "peak_ticking": grown,
                    "superstep_seconds": sum(times) / max(1, len(times)),
                }
            )
        )
    finally:
        if not given.store:
            shutil.rmtree(folder, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
