"""Executors run the node instances of one superstep and hand back one outcome per call,
as each finishes, so that the runner records every result the moment it exists. Before an
attempt of a call runs they hand back `Started`, and before a failed attempt is tried again
`Retrying`, so that the run's events follow the nodes as they go (see attempts.py).

An outcome is a result, an exception (with its traceback text, taken where the node ran),
or the question of an `interrupt()`. A failing node does not stop the others of its
superstep, and the runner reports every failure, so every executor fails the same way on
the same graph.

Async nodes run on an event loop of their own thread, many at once, at most `workers`
attempts at a time (100 when `workers` is not given); sync nodes run as each executor
runs them. A superstep with both runs both at once.
"""

from __future__ import annotations

import concurrent.futures
import functools
import importlib
import importlib.metadata
import inspect
import math
import os
import pickle
import queue
import sys
import threading
import time
from collections.abc import Callable, Iterator, Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from types import ModuleType
from typing import Any, NamedTuple, Protocol

from .attempts import Call, EventLoopThread, Outcome, Report, Started, attempt_once, attempts, failed, gather, split
from .errors import RuntimeFailure
from .graph import State
from .policies import Policy

EXECUTORS = ("sequential", "threads", "ray")
ASYNC_WORKERS = 100  # async attempts at once when `workers` is not given


class Executor(Protocol):
    name: str
    starts: bool  # whether to report `Started` (the runner turns it off when nobody follows nodes)

    def run(self, calls: Sequence[Call], state: State) -> Iterator[Report]: ...
    def close(self) -> None: ...


class _Ended(NamedTuple):
    """An async batch finished: any of its calls without an outcome failed with it."""

    batch: concurrent.futures.Future[None]
    calls: Sequence[Call]


class _Batch(NamedTuple):
    """Reports of a lane, handed over together."""

    reports: list[Report]


class _Inbox:
    """The reports of calls running elsewhere, read on the runner's thread."""

    def __init__(self, expected: int) -> None:
        self.queue: queue.SimpleQueue[Report | _Ended | _Batch] = queue.SimpleQueue()
        self.left = expected
        self.seen: set[int] = set()

    def put(self, item: Report | _Ended | _Batch) -> None:
        self.queue.put(item)

    def start(self, loop: EventLoopThread, calls: Sequence[Call], state: State, limit: int) -> None:
        batch = loop.submit(gather(calls, state, limit, self.put))
        batch.add_done_callback(lambda ended: self.put(_Ended(ended, calls)))

    def _take(self, item: Report | _Ended | _Batch) -> Iterator[Report]:
        if isinstance(item, Outcome):
            self.seen.add(item.position)
            self.left -= 1
            yield item
        elif isinstance(item, _Batch):
            for report in item.reports:
                yield from self._take(report)
        elif isinstance(item, _Ended):
            problem = (
                RuntimeFailure("the async nodes were cancelled") if item.batch.cancelled() else item.batch.exception()
            )
            for call in item.calls:
                if call.position not in self.seen:
                    yield from self._take(failed(call.position, problem or RuntimeFailure("no outcome")))
        else:
            yield item

    def ready(self) -> Iterator[Report]:
        """The reports in so far."""
        while True:
            try:
                item = self.queue.get_nowait()
            except queue.Empty:
                return
            yield from self._take(item)

    def rest(self) -> Iterator[Report]:
        """Every report until each expected call has its outcome."""
        get = self.queue.get
        while self.left > 0:
            item = get()
            if type(item) is Started:  # the common cases without a generator of their own
                yield item
            elif type(item) is Outcome:
                self.seen.add(item.position)
                self.left -= 1
                yield item
            else:
                yield from self._take(item)


def _chunks(calls: Sequence[Call], parts: int) -> list[Sequence[Call]]:
    size = max(1, math.ceil(len(calls) / parts))
    return [calls[start : start + size] for start in range(0, len(calls), size)]


class SequentialExecutor:
    """Sync nodes one after another on the calling thread; async nodes meanwhile on an
    event loop, at most `workers` (default 100) attempts at a time."""

    name = "sequential"
    starts = True

    def __init__(self, workers: int | None = None) -> None:
        self.limit = workers or ASYNC_WORKERS
        self.loop: EventLoopThread | None = None

    def run(self, calls: Sequence[Call], state: State) -> Iterator[Report]:
        waiting, plain = split(calls)
        if not waiting:
            starts = self.starts
            for call in plain:
                if call.policy is None and not starts:
                    yield attempt_once(call, state, 1)
                else:
                    yield from attempts(call, state)
            return
        if self.loop is None:
            self.loop = EventLoopThread()
        inbox = _Inbox(len(waiting))
        inbox.start(self.loop, waiting, state, self.limit)
        for call in plain:
            for report in attempts(call, state):
                yield report
                yield from inbox.ready()
        yield from inbox.rest()

    def close(self) -> None:
        if self.loop is not None:
            self.loop.close()
            self.loop = None


class _Watchdog:
    """Watches the node a lane runs, by looking every SLOW / 2 seconds while a lane runs
    (so that a lane's nodes cost it nothing but two assignments each): a node still
    running SLOW seconds after it began makes it call the lane's `fire`, once."""

    def __init__(self) -> None:
        self.cond = threading.Condition()
        self.fire: Callable[[], None] | None = None  # the running lane's
        self.node: tuple[int, float] | None = None  # the lane's running node: place, start
        self.closed = False
        self.thread = threading.Thread(target=self._watch, name="zelk-watchdog", daemon=True)
        self.thread.start()

    def watch(self, fire: Callable[[], None] | None) -> None:
        """Start watching a lane (or stop, with None)."""
        with self.cond:
            self.fire, self.node = fire, None
            self.cond.notify()

    def _watch(self) -> None:
        with self.cond:
            while not self.closed:
                if self.fire is None:
                    self.cond.wait()
                    continue
                self.cond.wait(SLOW / 2)
                running = self.node
                if self.fire is not None and running is not None and time.perf_counter() - running[1] >= SLOW:
                    fire, self.fire = self.fire, None
                    fire()

    def close(self) -> None:
        with self.cond:
            self.closed = True
            self.cond.notify()
        self.thread.join(timeout=1)


SLOW = 0.002  # seconds a node may run in a lane before the lane's other calls go to the pool
FLUSH = 0.001  # seconds a lane gathers reports before it hands them to the runner


class ThreadExecutor:
    """Sync nodes on threads, async nodes on an event loop (at most `workers` attempts at
    a time). Each outcome reaches the runner as its node finishes (within FLUSH seconds).

    Nodes that do not wait gain nothing from threads, which share one interpreter lock, and
    lose time handing every result from thread to thread. So a superstep's sync nodes run
    in turn in one lane, a pool thread that hands its reports over in batches, until one
    of them has run for SLOW seconds: then the reports so far go at once, the lane's other
    calls go to the pool (cut into a few chunks per thread), and that node goes straight to
    the pool in later supersteps. Nodes with a policy always run in the pool."""

    name = "threads"
    starts = True

    def __init__(self, workers: int | None = None) -> None:
        self.workers = workers or min(32, (os.cpu_count() or 1) + 4)
        self.limit = workers or ASYNC_WORKERS
        self.pool = ThreadPoolExecutor(max_workers=max(2, self.workers), thread_name_prefix="zelk-node")
        self.loop: EventLoopThread | None = None
        self.watchdog: _Watchdog | None = None
        self.slow: set[str] = set()  # nodes seen running past SLOW: the pool's from the start

    def _submit(self, calls: Sequence[Call], state: State, inbox: _Inbox) -> None:
        starts = self.starts

        def chunk(part: Sequence[Call]) -> None:
            for call in part:
                try:
                    if call.policy is None and not starts:  # one report a node, through one queue
                        inbox.put(attempt_once(call, state, 1))
                        continue
                    for report in attempts(call, state):
                        inbox.put(report)
                except BaseException as error:  # a node's KeyboardInterrupt: never leave the runner waiting
                    inbox.put(failed(call.position, error))

        for part in _chunks(calls, self.workers * 4):
            self.pool.submit(chunk, part)

    def run(self, calls: Sequence[Call], state: State) -> Iterator[Report]:
        waiting, plain = split(calls)
        lane = [call for call in plain if call.policy is None and call.node not in self.slow]
        pooled = [call for call in plain if call.policy is not None or call.node in self.slow]
        inbox = _Inbox(len(calls))
        if waiting:
            if self.loop is None:
                self.loop = EventLoopThread()
            inbox.start(self.loop, waiting, state, self.limit)
        if pooled:
            self._submit(pooled, state, inbox)
        if lane:
            if self.watchdog is None:
                self.watchdog = _Watchdog()
            self.pool.submit(self._lane, lane, state, inbox)
        yield from inbox.rest()

    def _lane(self, calls: Sequence[Call], state: State, inbox: _Inbox) -> None:
        """Run `calls` in turn, reports handed over in batches, until one runs too long."""
        assert self.watchdog is not None
        lock = threading.Lock()
        batch: list[Report] = []
        handed = False
        place = 0

        def flush() -> None:
            if batch:
                inbox.put(_Batch(list(batch)))
                batch.clear()

        def fire() -> None:  # on the watchdog's thread, while calls[place] runs (or just ended)
            nonlocal handed
            with lock:
                flush()
                handed = True
                rest = calls[place + 1 :]
                if rest:
                    self._submit(rest, state, inbox)

        starts = self.starts
        watchdog = self.watchdog
        watchdog.watch(fire)
        since = time.perf_counter()
        try:
            for place, call in enumerate(calls):
                if starts:
                    with lock:
                        batch.append(Started(call.position))
                began = time.perf_counter()
                watchdog.node = (place, began)
                try:
                    outcome = attempt_once(call, state, 1)
                except BaseException as error:  # a node's KeyboardInterrupt: never leave the runner waiting
                    outcome = failed(call.position, error)
                watchdog.node = None
                ended = time.perf_counter()
                if ended - began >= SLOW:
                    self.slow.add(call.node)
                with lock:
                    batch.append(outcome)
                    if handed:
                        flush()
                        return
                    if starts or ended - since >= FLUSH:
                        flush()
                        since = ended
            with lock:
                flush()
        finally:
            watchdog.watch(None)

    def close(self) -> None:
        self.pool.shutdown(wait=True, cancel_futures=True)
        if self.loop is not None:
            self.loop.close()
            self.loop = None
        if self.watchdog is not None:
            self.watchdog.close()
            self.watchdog = None


class RemoteNodeFailure(Exception):
    """A node failed on a Ray worker with an exception that could not travel back."""


def _portable(outcome: Outcome) -> Outcome:
    if outcome.error is None:
        return outcome
    try:
        pickle.dumps(outcome.error)
    except Exception:  # anything unpicklable is described instead
        return outcome._replace(error=RemoteNodeFailure(f"{type(outcome.error).__name__}: {outcome.error}"))
    return outcome


_worker_loop: EventLoopThread | None = None
_worker_lock = threading.Lock()


def _shared_loop() -> EventLoopThread:
    """The event loop of this Ray worker process, started by its first async node."""
    global _worker_loop
    with _worker_lock:
        if _worker_loop is None:
            _worker_loop = EventLoopThread()
        return _worker_loop


def _ray_chunk(calls: Sequence[Call], state: State, limit: int = ASYNC_WORKERS) -> list[bytes]:
    """Run calls on a Ray worker, with their policies (retries happen here, where the node
    runs): the async ones on the worker's event loop, at most `limit` attempts at a time,
    the sync ones meanwhile one after another. Hands back every report but the first
    `Started` of each call (the driver made that when it handed the call over), each
    pickled here, so that a result that cannot travel back (an object pickle refuses, a
    value nested too deep for it) fails its own node rather than the whole task."""
    cloudpickle: Any = importlib.import_module("ray.cloudpickle")
    waiting, plain = split(calls)
    reports: list[Report] = []
    batch = _shared_loop().submit(gather(waiting, state, limit, reports.append)) if waiting else None
    for call in plain:
        reports.extend(attempts(call, state))
    if batch is not None:
        try:
            batch.result()
        except BaseException as error:  # the batch itself failed: its calls without an outcome fail with it
            ended = {report.position for report in reports if isinstance(report, Outcome)}
            reports.extend(failed(call.position, error) for call in waiting if call.position not in ended)
    packed = []
    for report in list(reports):
        if isinstance(report, Started) and report.attempt == 1:
            continue
        if not isinstance(report, Outcome):
            packed.append(cloudpickle.dumps(report))
            continue
        outcome = _portable(report)
        try:
            packed.append(cloudpickle.dumps(outcome))
        except Exception as error:  # RecursionError included
            problem = RemoteNodeFailure(
                f"its result cannot travel back from the Ray worker ({type(error).__name__}: {error}); "
                "a node returns JSON values"
            )
            packed.append(cloudpickle.dumps(Outcome(report.position, error=problem, seconds=outcome.seconds)))
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


TASK_RETRIES = 3  # times Ray runs a task again when the worker or Ray node running it dies
CHECK_EVERY = 1.0  # seconds between looks at whether a waiting task's request can still be met
PATIENCE = 30.0  # seconds a task may wait while no live Ray node could hold it, before its nodes fail


class _Task(NamedTuple):
    """A Ray task of a superstep: its calls, and what it asks of the node that runs it."""

    calls: Sequence[Call]
    needs: dict[str, float]


def _needs(options: dict[str, Any]) -> dict[str, float]:
    """The resources a task with these options takes on the node that runs it."""
    needs: dict[str, float] = {}
    cpus = options.get("num_cpus", 1)
    for name, amount in (("CPU", cpus), ("GPU", options.get("num_gpus")), ("memory", options.get("memory"))):
        if amount:
            needs[name] = float(amount)
    if options.get("accelerator_type"):
        needs[f"accelerator_type:{options['accelerator_type']}"] = 0.001
    for name, amount in (options.get("resources") or {}).items():
        if amount:
            needs[str(name)] = float(amount)
    return needs


def _fits(needs: Mapping[str, float], nodes: Sequence[Mapping[str, Any]]) -> bool:
    """Whether some live Ray node has (in all) the resources `needs` asks for."""
    for node in nodes:
        if node.get("Alive"):
            has = node.get("Resources") or {}
            if all(has.get(name, 0.0) >= amount for name, amount in needs.items()):
                return True
    return False


class RayExecutor:
    """Each superstep as `ray.remote` tasks on a cluster (the one at `address`, else the one
    RAY_ADDRESS names, else a local one started here): one per sync node instance, or a few
    chunks per CPU for a large superstep; the async instances in tasks of up to `workers`
    (default 100), each running its own at once on the worker's event loop. Policies apply
    on the worker, where the node runs: its retries are reported when the task comes back,
    before its outcome.

    Tasks spread over the cluster's nodes. When the worker or Ray node running a task dies,
    Ray runs the task again elsewhere (up to TASK_RETRIES times, or a node policy's
    `max_retries`): a node may so run twice, but only what comes back is recorded, once. A
    task that fails for good fails its nodes, as does one that no live Ray node can hold
    (it asks for resources none has) for `patience` seconds. A node's policy may set the
    options of its task (`Policy(ray={...})`: resources, placement, retries); such a node
    runs in a task of its own. Ray workers only run nodes and hand back what they gave:
    the process running the executor records and commits everything.

    Nodes must be picklable callables: plain module-level functions (or instances of
    module-level classes) of the graph file. The graph file's module, and every module of
    the graph's own folders it uses (a helper module beside it), travel to the workers by
    value; what comes from site-packages must be installed where the workers run.
    """

    name = "ray"
    starts = True

    def __init__(self, workers: int | None = None, address: str | None = None, patience: float = PATIENCE) -> None:
        try:
            ray: Any = importlib.import_module("ray")
        except ImportError as error:
            raise RuntimeFailure("the ray executor needs Ray: pip install 'zelk_runtime[ray]'") from error
        if isinstance(patience, bool) or not isinstance(patience, (int, float)) or not patience >= 0:
            raise RuntimeFailure(f"patience must be a number of seconds, 0 or more, not {patience!r}")
        self.ray = ray
        self.started = False
        address = address or os.environ.get("RAY_ADDRESS") or None
        if not ray.is_initialized():
            if address:
                ray.init(address=address, include_dashboard=False, log_to_driver=False)
            else:
                ray.init(num_cpus=workers or os.cpu_count() or 1, include_dashboard=False, log_to_driver=False)
            self.started = True
        self.workers = workers or max(1, int(ray.cluster_resources().get("CPU", 1)))
        self.limit = workers or ASYNC_WORKERS
        self.patience = float(patience)
        self.chunk = ray.remote(_ray_chunk)
        self.spread = {"scheduling_strategy": "SPREAD", "max_retries": TASK_RETRIES, "retry_exceptions": False}
        self.task = self.chunk.options(**self.spread)
        self.plain = _needs({})
        # The task (and what it asks for) of each node with Ray options, or why Ray refused them.
        self.tasks: dict[tuple[str, Policy], tuple[Any, dict[str, float]] | RuntimeFailure] = {}
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

    def _remote(self, call: Call) -> tuple[Any, dict[str, float]] | RuntimeFailure:
        """The task a call with Ray options runs in, and what it asks for; or why Ray refused."""
        policy = call.policy
        assert policy is not None and policy.ray is not None
        made = self.tasks.get((call.node, policy))
        if made is None:
            options = dict(policy.ray)
            try:
                made = (self.chunk.options(**{**self.spread, **options}), _needs(options))
            except Exception as error:  # Ray's own check of the values: name the node instead
                made = RuntimeFailure(f"Ray refused the options of node {call.node!r} ({options!r}): {error}")
            self.tasks[call.node, policy] = made
        return made

    def run(self, calls: Sequence[Call], state: State) -> Iterator[Report]:
        for call in calls:
            self._ship(_home_module(call.fn))
        shared = self.ray.put(state)
        # The workers start the nodes as they get to them; the driver reports them started
        # when it hands them over, and a node's retries when its task comes back.
        yield from (Started(call.position) for call in calls)
        tasks: dict[Any, _Task] = {}
        alone = [call for call in calls if call.policy is not None and call.policy.ray is not None]
        for call in alone:
            made = self._remote(call)
            if isinstance(made, RuntimeFailure):
                yield failed(call.position, made)
                continue
            remote, needs = made
            tasks[remote.remote([call], shared, self.limit)] = _Task([call], needs)
        rest = [call for call in calls if call.policy is None or call.policy.ray is None]
        waiting, plain = split(rest)
        parts = [[call] for call in plain] if len(plain) <= self.workers * 4 else _chunks(plain, self.workers * 2)
        # Async nodes go in tasks of up to `limit`, which run them at once on the worker's loop.
        parts += [waiting[start : start + self.limit] for start in range(0, len(waiting), self.limit)]
        for part in parts:
            tasks[self.task.remote(part, shared, self.limit)] = _Task(part, self.plain)
        yield from self._gather(tasks)

    def _gather(self, tasks: dict[Any, _Task]) -> Iterator[Report]:
        """The reports of every task as it comes back; a task that failed, or that no live
        node could hold for `patience` seconds, fails its calls."""
        pending = list(tasks)
        stuck: dict[Any, float] = {}  # task -> since when no live node could hold it
        looked = time.monotonic()
        while pending:
            ready, pending = self.ray.wait(pending, num_returns=1, timeout=CHECK_EVERY)
            for reference in ready:
                stuck.pop(reference, None)
                try:
                    packed = self.ray.get(reference)
                except self.ray.exceptions.RayError as error:
                    # The task itself failed for good (its worker died, Ray's retries spent): each of its nodes failed.
                    reason = (str(error).strip().splitlines() or [""])[0]
                    problem = RemoteNodeFailure(f"the Ray task running it failed: {type(error).__name__}: {reason}")
                    yield from (Outcome(call.position, error=problem) for call in tasks[reference].calls)
                    continue
                yield from (pickle.loads(data) for data in packed)
            now = time.monotonic()
            if pending and now - looked >= CHECK_EVERY:
                looked = now
                yield from self._give_up(pending, tasks, stuck, now)
                pending = [reference for reference in pending if reference in tasks]

    def _give_up(
        self, pending: list[Any], tasks: dict[Any, _Task], stuck: dict[Any, float], now: float
    ) -> Iterator[Report]:
        """Fail the tasks that no live Ray node could hold for `patience` seconds (they ask
        for resources no node has, or only nodes that died had), dropping them from `tasks`."""
        try:
            nodes = self.ray.nodes()
        except Exception:  # the cluster's control service is not answering: look again later
            return
        for reference in pending:
            task = tasks[reference]
            if _fits(task.needs, nodes):
                stuck.pop(reference, None)
                continue
            since = stuck.setdefault(reference, now)
            if now - since < self.patience:
                continue
            self.ray.cancel(reference, force=False)
            del tasks[reference], stuck[reference]
            live = [dict(node.get("Resources") or {}) for node in nodes if node.get("Alive")]
            for call in task.calls:
                problem = RemoteNodeFailure(
                    f"no live Ray node could run it for {self.patience:g} s: its task asks for {task.needs}, "
                    f"and the live nodes have {_described(live)}"
                )
                yield Outcome(call.position, error=problem)

    def close(self) -> None:
        if self.started:
            self.ray.shutdown()


def _described(nodes: list[dict[str, Any]]) -> str:
    """The resources of live nodes, briefly (no per-node address entries)."""
    if not nodes:
        return "nothing (none is alive)"
    shown = []
    for has in nodes:
        kept = {name: amount for name, amount in sorted(has.items()) if not name.startswith("node:")}
        kept.pop("object_store_memory", None)
        shown.append(str(kept))
    return "; ".join(shown)


def make_executor(kind: str | Executor, workers: int | None = None, address: str | None = None) -> Executor:
    if not isinstance(kind, str):
        return kind
    if workers is not None and workers < 1:
        raise RuntimeFailure(f"workers must be at least 1, not {workers}")
    if kind == "sequential":
        return SequentialExecutor(workers)
    if kind == "threads":
        return ThreadExecutor(workers)
    if kind == "ray":
        return RayExecutor(workers, address)
    raise RuntimeFailure(f"unknown executor {kind!r}; choose one of {', '.join(EXECUTORS)}")
