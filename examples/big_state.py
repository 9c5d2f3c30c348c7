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


def figures(megabytes: int, supersteps: int, folder: Path) -> dict[str, Any]:
    """Make the state in one process, change the integer in another; what each cost."""
    location = folder / "run"
    size = megabytes << 20
    made = child(str(location), megabytes, supersteps, 1)
    after_make = store_bytes(location)
    ticks = child(str(location), megabytes, supersteps, None)
    return {
        "state_bytes": size,
        "store_bytes_made": after_make,
        "store_bytes": store_bytes(location),
        "peak_making": made["peak_megabytes"] - made["baseline_megabytes"],
        "baseline_making": made["baseline_megabytes"],
        "peak_ticking": ticks["peak_megabytes"] - ticks["baseline_megabytes"],
        "baseline_ticking": ticks["baseline_megabytes"],
        "supersteps": ticks["supersteps"],
        "superstep_seconds": sum(ticks["per_superstep"]) / max(1, len(ticks["per_superstep"])),
        "process_seconds": ticks["seconds"],
    }


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
    try:
        found = figures(given.megabytes, given.supersteps, folder)
    finally:
        if not given.store:
            shutil.rmtree(folder, ignore_errors=True)
    mb = found["state_bytes"] / (1 << 20)
    print(f"state: {mb:.0f} MB (one channel), then {found['supersteps']} supersteps changing one integer")
    print(
        f"store: {found['store_bytes_made'] / (1 << 20):.1f} MB after the first superstep, "
        f"{found['store_bytes'] / (1 << 20):.1f} MB after all ({found['store_bytes'] / found['state_bytes']:.2f}x the state)"
    )
    print(
        f"memory, making the state: peak {found['peak_making']:.0f} MB above the interpreter's "
        f"{found['baseline_making']:.0f} MB ({found['peak_making'] / mb:.2f}x)"
    )
    print(
        f"memory, resuming and changing the integer: peak {found['peak_ticking']:.0f} MB above the interpreter's "
        f"{found['baseline_ticking']:.0f} MB ({found['peak_ticking'] / mb:.2f}x the state)"
    )
    print(
        f"time per superstep changing the integer: {1000 * found['superstep_seconds']:.2f} ms "
        f"(the process, resuming the store and reading the state back, took {found['process_seconds']:.2f} s)"
    )
    print(json.dumps(found))
    return 0


if __name__ == "__main__":
    sys.exit(main())
