"""Command line: `python -m zelk_runtime run|verify|show ...`."""

from __future__ import annotations

import argparse
import importlib.util
import json
import sys
from collections.abc import Sequence
from pathlib import Path
from types import ModuleType

from .errors import RuntimeFailure
from .executors import EXECUTORS
from .graph import Graph
from .runner import load_checkpoint, read_run, run, verify
from .stores import open_store


def load_graph_file(path: str) -> Graph:
    """The graph a file defines: a module-level `graph` (a Graph) or `build_graph()`."""
    file = Path(path)
    if not file.is_file():
        raise RuntimeFailure(f"graph file {path} does not exist")
    name = "zelk_graph_" + "".join(c if c.isalnum() else "_" for c in file.stem)
    found = importlib.util.spec_from_file_location(name, file)
    if found is None or found.loader is None:
        raise RuntimeFailure(f"cannot load {path} as Python")
    module: ModuleType = importlib.util.module_from_spec(found)
    sys.modules[name] = module  # picklers find the node functions by their module
    found.loader.exec_module(module)
    graph = getattr(module, "graph", None)
    if graph is None and callable(getattr(module, "build_graph", None)):
        graph = module.build_graph()
    if not isinstance(graph, Graph):
        raise RuntimeFailure(f"{path} defines neither `graph` (a zelk_runtime.Graph) nor `build_graph()` returning one")
    return graph


def _key(arguments: argparse.Namespace) -> bytes | None:
    """The audit key from --audit-key-file; None leaves it to ZELK_AUDIT_KEY."""
    if arguments.audit_key_file is None:
        return None
    try:
        key = Path(arguments.audit_key_file).read_bytes().strip()
    except OSError as error:
        raise RuntimeFailure(f"cannot read the audit key file {arguments.audit_key_file}: {error}") from error
    if not key:
        raise RuntimeFailure(f"the audit key file {arguments.audit_key_file} is empty")
    return key


def _run(arguments: argparse.Namespace) -> int:
    graph = load_graph_file(arguments.graph)
    result = run(
        graph,
        arguments.store,
        executor=arguments.executor,
        workers=arguments.workers,
        ray_address=arguments.ray_address,
        progress="none" if arguments.quiet else "auto",
        max_supersteps=arguments.max_supersteps,
        audit_key=_key(arguments),
    )
    if result.dropped_torn_entry:
        print("dropped an audit entry cut short by an earlier crash")
    if result.resumed_from:
        print(f"resumed after superstep {result.resumed_from - 1} of {result.supersteps}")
    state = result.state_json
    print(f"{result.completed}/{result.supersteps} supersteps done, total cost {result.cost:g}")
    print("state:", state if len(state) <= 2000 else state[:2000] + f"... ({len(state)} characters)")
    print(f"head {result.head}")
    return 0


def _verify(arguments: argparse.Namespace) -> int:
    stored = verify(arguments.store, head=arguments.head, audit_key=_key(arguments))
    keyed = "keyed " if stored.keyed else ""
    print(
        f"{arguments.store}: {keyed}audit chain of {stored.completed} entries intact; "
        f"{stored.completed} checkpoints decode and match their entries"
    )
    print(f"head {stored.head}" + (" (as expected)" if arguments.head else ""))
    return 0


def _show(arguments: argparse.Namespace) -> int:
    store = open_store(arguments.store, create=False)
    try:
        stored = read_run(store)
        if arguments.superstep is not None:
            number = arguments.superstep
            if not 0 <= number < stored.completed:
                raise RuntimeFailure(
                    f"superstep {number} is not completed in {arguments.store} (completed: {stored.completed})"
                )
            print(json.dumps(json.loads(load_checkpoint(store, stored, number)), indent=2, ensure_ascii=False))
            return 0
        plan = stored.plan
        print(
            f"store {arguments.store}: {stored.completed}/{len(plan)} supersteps done, "
            f"created {stored.manifest.get('created')}"
        )
        for number, names in enumerate(plan):
            shown = ", ".join(names[:6]) + (f", ... ({len(names)} nodes)" if len(names) > 6 else "")
            if number < stored.completed:
                entry = stored.payloads[number]
                print(
                    f"  {number}: done {entry['time']}  cost {entry['cost']:g}  "
                    f"checkpoint {entry['checkpoint_bytes']} bytes  [{shown}]"
                )
            else:
                print(f"  {number}: pending  [{shown}]")
        return 0
    finally:
        store.close()


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="python -m zelk_runtime", description="Run, verify and inspect zelk graphs.")
    commands = top.add_subparsers(dest="command", required=True)

    run_command = commands.add_parser(
        "run",
        help="run a graph, or resume the run its store holds",
        description="Run the graph defined in GRAPH.py (a module-level `graph` or `build_graph()`); "
        "a store that already holds its run is verified and resumed.",
    )
    run_command.add_argument("graph", metavar="GRAPH.py")
    run_command.add_argument(
        "--store", required=True, metavar="DIR", help="run directory, or an SQLite file ending in .sqlite/.sqlite3/.db"
    )
    run_command.add_argument("--executor", choices=EXECUTORS, default="threads")
    run_command.add_argument("--workers", type=int, metavar="N", help="threads, or Ray CPUs of a local cluster")
    run_command.add_argument("--ray-address", metavar="ADDRESS", help="an existing Ray cluster (default: a local one)")
    run_command.add_argument("--max-supersteps", type=int, metavar="N", help="stop after N supersteps")
    run_command.add_argument("--quiet", action="store_true", help="no progress output")
    run_command.add_argument(
        "--audit-key-file", metavar="FILE", help="key a new store's audit log (default: ZELK_AUDIT_KEY if set)"
    )
    run_command.set_defaults(action=_run)

    verify_command = commands.add_parser(
        "verify",
        help="check a store's audit chain and checkpoints",
        description="Verify the audit chain and decode every checkpoint of a store.",
    )
    verify_command.add_argument("store", metavar="DIR")
    verify_command.add_argument(
        "--head", metavar="COUNT:HASH", help="refuse a log that does not end at this head (recorded elsewhere)"
    )
    verify_command.add_argument(
        "--audit-key-file", metavar="FILE", help="the key of a keyed store (default: ZELK_AUDIT_KEY)"
    )
    verify_command.set_defaults(action=_verify)

    show_command = commands.add_parser(
        "show",
        help="show a stored run, or the state of one superstep",
        description="Show the plan and progress of a stored run, or the state after superstep N.",
    )
    show_command.add_argument("store", metavar="DIR")
    show_command.add_argument("--superstep", type=int, metavar="N")
    show_command.set_defaults(action=_show)
    return top


def main(argv: Sequence[str] | None = None) -> int:
    arguments = parser().parse_args(argv)
    try:
        code: int = arguments.action(arguments)
        return code
    except RuntimeFailure as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
