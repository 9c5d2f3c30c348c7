"""Executors run the node instances of one superstep and hand back one outcome per call,
as each finishes, so that the runner records every result the moment it exists. Before a
call runs they hand back `Started`, and before a failed attempt is tried again `Retrying`,
so that the run's events follow the nodes as they go.

An outcome is a result, an exception (with its traceback text, taken where the node ran),
or the question of an `interrupt()`. A failing node does not stop the others of its
superstep, and the runner reports every failure, so every executor fails the same way on
the same graph.
"""

from __future__ import annotations

import functools
import importlib
import importlib.metadata
import inspect
import math
import os
import pickle
import queue
import sys
import time
import traceback
from collections.abc import Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from types import ModuleType
from typing import Any, NamedTuple, Protocol

from .errors import RuntimeFailure
from .graph import NodeFn, NodeResult, State
from .interrupts import NodeInterrupt, asking, done
from .view import load

EXECUTORS = ("sequential", "threads", "ray")


class Call(NamedTuple):
    """One node instance to run: `position` in the superstep's fold order, the node, its
    Send argument (JSON text, or None for a plain node) and the answers to its interrupts."""

    position: int
    node: str
    fn: NodeFn
    arg: str | None = None
    answers: tuple[str, ...] = ()


class Started(NamedTuple):
    """The call at `position` starts its attempt `attempt` (from 1)."""

    position: int
    attempt: int = 1


class Retrying(NamedTuple):
    """The call at `position` failed its attempt `attempt - 1` with `error` (traceback
    text) and is tried again as attempt `attempt` after `delay` seconds."""

    position: int
    attempt: int
    error: str
    delay: float


class Outcome(NamedTuple):
    """What running a call gave: its result, or the exception and traceback text, or the
    question of an interrupt() call; the node's own time, and the attempts it took."""

    position: int
    result: NodeResult = None
    error: BaseException | None = None
    traceback: str | None = None
    interrupt: Any = None
    interrupted: bool = False
    seconds: float = 0.0
    attempts: int = 1


Report = Started | Retrying | Outcome


class Executor(Protocol):
    name: str

    def run(self, calls: Sequence[Call], state: State) -> Iterator[Report]: ...
    def close(self) -> None: ...


def execute(call: Call, state: State) -> Outcome:
    """Run one node instance; never raises for what the node does."""
    token = asking(call.node, call.answers)
    started = time.perf_counter()
    try:
        result = call.fn(state) if call.arg is None else call.fn(state, load(call.arg))
        return Outcome(call.position, result=result, seconds=time.perf_counter() - started)
    except NodeInterrupt as stop:
        return Outcome(call.position, interrupt=stop.value, interrupted=True, seconds=time.perf_counter() - started)
    except (Exception, SystemExit) as error:  # reported by the runner, naming the node
        text = "".join(traceback.format_exception(error))
        return Outcome(call.position, error=error, traceback=text, seconds=time.perf_counter() - started)
    finally:
        done(token)


def _chunks(calls: Sequence[Call], parts: int) -> list[Sequence[Call]]:
    size = max(1, math.ceil(len(calls) / parts))
    return [calls[start : start + size] for start in range(0, len(calls), size)]


class SequentialExecutor:
    """Nodes one after another on the calling thread."""

    name = "sequential"

    def run(self, calls: Sequence[Call], state: State) -> Iterator[Report]:
        for call in calls:
            yield Started(call.position)
            yield execute(call, state)

    def close(self) -> None:
        pass


class ThreadExecutor:
    """A pool of threads; a large superstep is cut into a few chunks per thread, and each
    outcome is handed back the moment its node finishes."""

    name = "threads"

    def __init__(self, workers: int | None = None) -> None:
        self.workers = workers or min(32, (os.cpu_count() or 1) + 4)
        self.pool = ThreadPoolExecutor(max_workers=self.workers, thread_name_prefix="zelk-node")

    def run(self, calls: Sequence[Call], state: State) -> Iterator[Report]:
        if len(calls) <= 1:
            for call in calls:
                yield Started(call.position)
                yield execute(call, state)
            return
        finished: queue.SimpleQueue[Report] = queue.SimpleQueue()

        def chunk(part: Sequence[Call]) -> None:
            for call in part:
                finished.put(Started(call.position))
                try:
                    outcome = execute(call, state)
                except BaseException as error:  # a node's SystemExit: never leave the runner waiting
                    outcome = Outcome(call.position, error=error, traceback="".join(traceback.format_exception(error)))
                finished.put(outcome)

        futures = [self.pool.submit(chunk, part) for part in _chunks(calls, self.workers * 4)]
        left = len(calls)
        while left:
            report = finished.get()
            left -= isinstance(report, Outcome)
            yield report
        for future in futures:
            future.result()

    def close(self) -> None:
        self.pool.shutdown(wait=True, cancel_futures=True)


class RemoteNodeFailure(Exception):
    """A node failed on a Ray worker with an exception that could not travel back."""


def _portable(outcome: Outcome) -> Outcome:
    if outcome.error is None:
        return outcome
    try:
        pickle.dumps(outcome.error)
    except Exception:  # anything unpicklable is described instead
        error = RemoteNodeFailure(f"{type(outcome.error).__name__}: {outcome.error}")
        return Outcome(outcome.position, error=error, traceback=outcome.traceback, seconds=outcome.seconds)
    return outcome


def _ray_chunk(calls: Sequence[Call], state: State) -> list[bytes]:
    """Run calls on a Ray worker; each outcome is pickled here, so that a result that
    cannot travel back (an object pickle refuses, a value nested too deep for it) fails its
    own node rather than the whole task."""
    cloudpickle: Any = importlib.import_module("ray.cloudpickle")
    packed = []
    for call in calls:
        outcome = _portable(execute(call, state))
        try:
            packed.append(cloudpickle.dumps(outcome))
        except Exception as error:  # RecursionError included
            problem = RemoteNodeFailure(
                f"its result cannot travel back from the Ray worker ({type(error).__name__}: {error}); "
                "a node returns JSON values"
            )
            packed.append(cloudpickle.dumps(Outcome(call.position, error=problem, seconds=outcome.seconds)))
    return packed


@functools.lru_cache(maxsize=1)
def _distributed() -> frozenset[str]:
    """Top-level names that installed distributions provide (editable installs included)."""
    return frozenset(importlib.metadata.packages_distributions())


def _installed(module_name: str) -> bool:
    """Whether a module comes from the environment (the standard library, or an installed
    distribution), so Ray workers import it themselves; other modules travel by value."""
    module = sys.modules.get(module_name)
    path = getattr(module, "__file__", None)
    if module is None or path is None or module_name.partition(".")[0] in _distributed():
        return True
    path = os.path.abspath(path)
    return any(part in path for part in ("site-packages", "dist-packages")) or path.startswith(
        os.path.dirname(os.__file__)
    )


def _home_module(fn: object) -> str | None:
    target = fn
    while isinstance(target, functools.partial):
        target = target.func
    if inspect.ismethod(target):
        target = target.__func__
    if not (inspect.isfunction(target) or inspect.isclass(target)):
        target = type(target)
    name = getattr(target, "__module__", None)
    return name if isinstance(name, str) else None


class RayExecutor:
    """Each superstep as `ray.remote` tasks on a cluster (a local one by default): one per
    node instance, or a few chunks per CPU for a large superstep.

    Nodes must be picklable callables: plain module-level functions (or instances of
    module-level classes) of the graph file. The graph file's module, and every module of
    the graph's own folders it uses (a helper module beside it), travel to the workers by
    value; what comes from site-packages must be installed where the workers run.
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

    def _ship(self, name: str | None) -> None:
        """Register a module, and the project modules it refers to, to travel by value."""
        pending = [name]
        while pending:
            current = pending.pop()
            if current is None or current in self.shipped or current == "__main__":
                continue
            self.shipped.add(current)
            if _installed(current):
                continue
            module = sys.modules[current]
            self.ray.cloudpickle.register_pickle_by_value(module)
            for value in list(vars(module).values()):
                if isinstance(value, ModuleType):
                    pending.append(value.__name__)
                elif callable(value):
                    pending.append(_home_module(value))

    def run(self, calls: Sequence[Call], state: State) -> Iterator[Report]:
        for call in calls:
            self._ship(_home_module(call.fn))
        shared = self.ray.put(state)
        # The workers start the nodes as they get to them; the driver reports them started
        # when it hands them over.
        yield from (Started(call.position) for call in calls)
        parts = [[call] for call in calls] if len(calls) <= self.workers * 4 else _chunks(calls, self.workers * 2)
        tasks = {self.task.remote(part, shared): part for part in parts}
        pending = list(tasks)
        while pending:
            ready, pending = self.ray.wait(pending, num_returns=1)
            for reference in ready:
                try:
                    packed = self.ray.get(reference)
                except self.ray.exceptions.RayError as error:
                    # The task itself failed (its worker died, say): each of its nodes failed.
                    reason = (str(error).strip().splitlines() or [""])[0]
                    for call in tasks[reference]:
                        problem = RemoteNodeFailure(f"the Ray task running it failed: {type(error).__name__}: {reason}")
                        yield Outcome(call.position, error=problem)
                    continue
                yield from (pickle.loads(data) for data in packed)

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
