"""Executors run the nodes of one superstep and hand back one outcome per node, in order.

An outcome is (result, None) or (None, exception): a failing node does not stop the
others of its superstep, and the runner reports the first failure in superstep order, so
every executor fails the same way on the same graph.
"""

from __future__ import annotations

import functools
import importlib
import inspect
import math
import os
import pickle
import sys
import traceback
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Protocol, TypeAlias

from .errors import RuntimeFailure
from .graph import NodeFn, NodeResult, State

Call: TypeAlias = tuple[str, NodeFn]
Outcome: TypeAlias = tuple[NodeResult, BaseException | None]
EXECUTORS = ("sequential", "threads", "ray")


class Executor(Protocol):
    name: str

    def run(self, calls: Sequence[Call], state: State) -> list[Outcome]: ...
    def close(self) -> None: ...


def _call(fn: NodeFn, state: State) -> Outcome:
    try:
        return fn(state), None
    except Exception as error:  # reported by the runner, naming the node
        return None, error


def _run_chunk(calls: Sequence[Call], state: State) -> list[Outcome]:
    return [_call(fn, state) for _, fn in calls]


def _chunks(calls: Sequence[Call], parts: int) -> list[Sequence[Call]]:
    size = max(1, math.ceil(len(calls) / parts))
    return [calls[start : start + size] for start in range(0, len(calls), size)]


class SequentialExecutor:
    """Nodes one after another on the calling thread."""

    name = "sequential"

    def run(self, calls: Sequence[Call], state: State) -> list[Outcome]:
        return _run_chunk(calls, state)

    def close(self) -> None:
        pass


class ThreadExecutor:
    """A pool of threads; a large superstep is cut into a few chunks per thread."""

    name = "threads"

    def __init__(self, workers: int | None = None) -> None:
        self.workers = workers or min(32, (os.cpu_count() or 1) + 4)
        self.pool = ThreadPoolExecutor(max_workers=self.workers, thread_name_prefix="zelk-node")

    def run(self, calls: Sequence[Call], state: State) -> list[Outcome]:
        if len(calls) == 1:
            return _run_chunk(calls, state)
        futures = [self.pool.submit(_run_chunk, chunk, state) for chunk in _chunks(calls, self.workers * 4)]
        return [outcome for future in futures for outcome in future.result()]

    def close(self) -> None:
        self.pool.shutdown(wait=True, cancel_futures=True)


class RemoteNodeFailure(Exception):
    """A node failed on a Ray worker with an exception that could not travel back."""


def _portable(outcomes: list[Outcome]) -> list[Outcome]:
    portable: list[Outcome] = []
    for result, error in outcomes:
        if error is not None:
            try:
                pickle.dumps(error)
            except Exception:  # anything unpicklable is described instead
                text = "".join(traceback.format_exception(error))
                error = RemoteNodeFailure(f"{type(error).__name__}: {error}\n{text}")
        portable.append((result, error))
    return portable


def _ray_chunk(calls: Sequence[Call], state: State) -> list[Outcome]:
    return _portable(_run_chunk(calls, state))


def _installed(module_name: str) -> bool:
    """Whether a module comes from the environment (stdlib or site-packages), so Ray
    workers import it themselves; other modules travel by value."""
    module = sys.modules.get(module_name)
    path = getattr(module, "__file__", None)
    if module is None or path is None:
        return True
    path = os.path.abspath(path)
    return any(part in path for part in ("site-packages", "dist-packages")) or path.startswith(
        os.path.dirname(os.__file__)
    )


class RayExecutor:
    """Each superstep as a few `ray.remote` tasks on a cluster (a local one by default).

    Nodes must be picklable callables: plain module-level functions (or instances of
    module-level classes) of the graph file. The graph file's module travels to the
    workers by value; what it imports must be installed where the workers run.
    """

    name = "ray"

    def __init__(self, workers: int | None = None, address: str | None = None) -> None:
        try:
            ray: Any = importlib.import_module("ray")
        except ImportError as error:
            raise RuntimeFailure("the ray executor needs Ray: pip install 'zelk_runtime[ray]'") from error
        self.ray = ray
        self.started = False
        if not ray.is_initialized():
            if address:
                ray.init(address=address, include_dashboard=False, log_to_driver=False)
            else:
                ray.init(num_cpus=workers or os.cpu_count() or 1, include_dashboard=False, log_to_driver=False)
            self.started = True
        self.workers = workers or max(1, int(ray.cluster_resources().get("CPU", 1)))
        self.task = ray.remote(_ray_chunk)
        self.shipped: set[str] = set()

    def _ship_modules(self, calls: Sequence[Call]) -> None:
        for _, fn in calls:
            target: object = fn
            while isinstance(target, functools.partial):
                target = target.func
            if inspect.isfunction(target) or inspect.ismethod(target):
                name = target.__module__
            else:
                name = type(target).__module__
            if name in self.shipped or name == "__main__":
                continue
            self.shipped.add(name)
            if not _installed(name):
                self.ray.cloudpickle.register_pickle_by_value(sys.modules[name])

    def run(self, calls: Sequence[Call], state: State) -> list[Outcome]:
        self._ship_modules(calls)
        shared = self.ray.put(state)
        pending = [self.task.remote(chunk, shared) for chunk in _chunks(calls, self.workers * 2)]
        return [outcome for chunk in self.ray.get(pending) for outcome in chunk]

    def close(self) -> None:
        if self.started:
            self.ray.shutdown()


def make_executor(kind: str | Executor, workers: int | None = None, address: str | None = None) -> Executor:
    if not isinstance(kind, str):
        return kind
    if workers is not None and workers < 1:
        raise RuntimeFailure(f"workers must be at least 1, not {workers}")
    if kind == "sequential":
        return SequentialExecutor()
    if kind == "threads":
        return ThreadExecutor(workers)
    if kind == "ray":
        return RayExecutor(workers, address)
    raise RuntimeFailure(f"unknown executor {kind!r}; choose one of {', '.join(EXECUTORS)}")
