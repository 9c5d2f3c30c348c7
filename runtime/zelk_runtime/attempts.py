"""Running one node instance with its policy: every attempt, the backoff between them,
the timeout of each; for sync nodes on the thread that runs the call, for async nodes as
tasks on an event loop. What happens is reported as it happens: `Started` before each
attempt, `Retrying` before each retry, the `Outcome` last.

Async nodes are `async def` functions, partials of them, and instances whose `__call__` is
one; a sync node that returns an awaitable has it awaited where it ran. A timed-out async
attempt is cancelled; a sync node with a timeout runs each attempt on a thread of its own,
which is abandoned when the time is up (a thread cannot be stopped). An `interrupt()` is
never retried.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import contextvars
import functools
import inspect
import queue
import threading
import time
import traceback
from collections.abc import Awaitable, Callable, Coroutine, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any, NamedTuple

from .graph import NodeFn, NodeResult, State
from .interrupts import NodeInterrupt, asking, done
from .policies import NodeTimeout, Policy
from .view import load

CANCEL_GRACE = 1.0  # seconds a cancelled async attempt gets to stop
ONCE = Policy()


class Call(NamedTuple):
    """One node instance to run: `position` in the superstep's fold order, the node, its
    Send argument (JSON text, or None for a plain node), the answers to its interrupts,
    and its policy (None: one attempt, no timeout)."""

    position: int
    node: str
    fn: NodeFn
    arg: str | None = None
    answers: tuple[str, ...] = ()
    policy: Policy | None = None
    waits: bool | None = None  # whether the node is async, when the caller knows it


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
    question of an interrupt() call; the node's own time (every attempt and the waits
    between them), and the attempts it took."""

    position: int
    result: NodeResult = None
    error: BaseException | None = None
    traceback: str | None = None
    interrupt: Any = None
    interrupted: bool = False
    seconds: float = 0.0
    attempts: int = 1


Report = Started | Retrying | Outcome
Reporter = Callable[[Report], None]


def waits(fn: object) -> bool:
    """Whether a node is async: a coroutine function, a partial of one, or an instance
    whose `__call__` is one."""
    target = fn
    while isinstance(target, functools.partial):
        target = target.func
    if inspect.iscoroutinefunction(target):
        return True
    if inspect.isroutine(target) or inspect.isclass(target):
        return False
    kind: Any = type(target)  # a callable instance: its class's __call__ says
    return inspect.iscoroutinefunction(kind.__call__)


def _text(error: BaseException) -> str:
    return "".join(traceback.format_exception(error))


def failed(position: int, error: BaseException, attempt: int = 1, seconds: float = 0.0) -> Outcome:
    return Outcome(position, error=error, traceback=_text(error), seconds=seconds, attempts=attempt)


def _limit(seconds: float) -> str:
    return f"{seconds:g} s"


# Sync nodes: every attempt on the thread that runs the call, or, with a timeout, on a
# thread of its own that is abandoned when the time is up.


def attempt_once(call: Call, state: State, attempt: int) -> Outcome:
    """One attempt on this thread; never raises for what the node does. A sync node that
    returns an awaitable has it awaited."""
    token = asking(call.node, call.answers)
    started = time.perf_counter()
    try:
        result = call.fn(state) if call.arg is None else call.fn(state, load(call.arg))
        if type(result) is not dict and inspect.isawaitable(result):
            result = _settle(result)
        return Outcome(call.position, result=result, seconds=time.perf_counter() - started, attempts=attempt)
    except NodeInterrupt as stop:
        seconds = time.perf_counter() - started
        return Outcome(call.position, interrupt=stop.value, interrupted=True, seconds=seconds, attempts=attempt)
    except (Exception, SystemExit) as error:  # reported by the runner, naming the node
        return failed(call.position, error, attempt, time.perf_counter() - started)
    finally:
        done(token)


def _settle(awaitable: Awaitable[Any]) -> Any:
    """Await what a sync node returned, on a loop of this thread (or of a thread of its own
    when this one already runs a loop); `interrupt()` in it still sees its node."""

    async def settle() -> Any:
        return await awaitable

    context = contextvars.copy_context()
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return context.run(asyncio.run, settle())
    with ThreadPoolExecutor(1, thread_name_prefix="zelk-settle") as one:
        return one.submit(context.run, asyncio.run, settle()).result()


def _attempt_within(call: Call, state: State, attempt: int, policy: Policy) -> Outcome:
    """One attempt, within the policy's timeout: a thread of its own runs it then, and is
    abandoned (it cannot be stopped) when the time is up."""
    if policy.timeout is None:
        return attempt_once(call, state, attempt)
    box: queue.SimpleQueue[Outcome] = queue.SimpleQueue()

    def work() -> None:
        try:
            box.put(attempt_once(call, state, attempt))
        except BaseException as error:  # whatever the node raised, the waiting side hears of it
            box.put(failed(call.position, error, attempt))

    started = time.perf_counter()
    threading.Thread(target=work, name=f"zelk-node-{call.node}", daemon=True).start()
    try:
        return box.get(timeout=policy.timeout)
    except queue.Empty:
        error = NodeTimeout(
            f"node {call.node!r} did not finish within {_limit(policy.timeout)} (attempt {attempt} of "
            f"{policy.attempts}); its thread was abandoned and may still be running"
        )
        return failed(call.position, error, attempt, time.perf_counter() - started)


def attempts(call: Call, state: State) -> Iterator[Report]:
    """Run a sync call with its policy: `Started` before each attempt, `Retrying` before
    each retry (the backoff is slept when the next report is asked for), the `Outcome` last."""
    if call.policy is None:  # the common case: one attempt, here
        yield Started(call.position)
        yield attempt_once(call, state, 1)
        return
    policy = call.policy
    first = time.perf_counter()
    attempt = 1
    while True:
        yield Started(call.position, attempt)
        outcome = _attempt_within(call, state, attempt, policy)
        if outcome.error is None or not policy.retries_after(outcome.error, attempt):
            yield outcome if attempt == 1 else outcome._replace(seconds=time.perf_counter() - first)
            return
        attempt += 1
        delay = policy.delay(attempt)
        yield Retrying(call.position, attempt, outcome.traceback or "", delay)
        time.sleep(delay)


# Async nodes: a task per attempt on the event loop, at most `limit` attempts at a time.


async def _attempt_async(call: Call, state: State, attempt: int) -> Outcome:
    token = asking(call.node, call.answers)
    started = time.perf_counter()
    try:
        result = call.fn(state) if call.arg is None else call.fn(state, load(call.arg))
        if inspect.isawaitable(result):
            result = await result
        return Outcome(call.position, result=result, seconds=time.perf_counter() - started, attempts=attempt)
    except asyncio.CancelledError:
        raise
    except NodeInterrupt as stop:
        seconds = time.perf_counter() - started
        return Outcome(call.position, interrupt=stop.value, interrupted=True, seconds=seconds, attempts=attempt)
    except BaseException as error:  # reported by the runner, naming the node
        return failed(call.position, error, attempt, time.perf_counter() - started)
    finally:
        done(token)


async def _bounded(
    call: Call, state: State, attempt: int, policy: Policy, gate: asyncio.Semaphore, report: Reporter
) -> Outcome:
    """One attempt once the gate lets it in, cancelled when its time is up."""
    async with gate:
        report(Started(call.position, attempt))
        started = time.perf_counter()
        task = asyncio.get_running_loop().create_task(_attempt_async(call, state, attempt))
        try:
            finished, _ = await asyncio.wait({task}, timeout=policy.timeout)
        except asyncio.CancelledError:
            task.cancel()
            raise
        if finished:
            if task.cancelled():
                cancelled = asyncio.CancelledError(f"node {call.node!r} was cancelled (attempt {attempt})")
                return failed(call.position, cancelled, attempt, time.perf_counter() - started)
            return task.result()
        task.cancel()
        stopped, _ = await asyncio.wait({task}, timeout=CANCEL_GRACE)
        assert policy.timeout is not None
        note = (
            "it was cancelled"
            if stopped
            else f"it was cancelled but did not stop within {_limit(CANCEL_GRACE)} and may still be running"
        )
        error = NodeTimeout(
            f"node {call.node!r} did not finish within {_limit(policy.timeout)} (attempt {attempt} of "
            f"{policy.attempts}); {note}"
        )
        return failed(call.position, error, attempt, time.perf_counter() - started)


async def _run_async(call: Call, state: State, gate: asyncio.Semaphore, report: Reporter) -> None:
    """Run an async call with its policy, reporting as `attempts` does."""
    try:
        policy = call.policy or ONCE
        first = time.perf_counter()
        attempt = 1
        while True:
            outcome = await _bounded(call, state, attempt, policy, gate, report)
            if outcome.error is None or not policy.retries_after(outcome.error, attempt):
                report(outcome._replace(seconds=time.perf_counter() - first) if attempt > 1 else outcome)
                return
            attempt += 1
            delay = policy.delay(attempt)
            report(Retrying(call.position, attempt, outcome.traceback or "", delay))
            await asyncio.sleep(delay)
    except asyncio.CancelledError:
        raise
    except BaseException as error:  # never leave the runner waiting for this call
        report(failed(call.position, error))


async def gather(calls: Sequence[Call], state: State, limit: int, report: Reporter) -> None:
    gate = asyncio.Semaphore(limit)
    await asyncio.gather(*(_run_async(call, state, gate, report) for call in calls))


class EventLoopThread:
    """An event loop running on a thread of its own: the async nodes of every superstep
    run there (a client a node keeps between supersteps stays on the same loop)."""

    def __init__(self) -> None:
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, name="zelk-async", daemon=True)
        self.thread.start()

    def submit(self, work: Coroutine[Any, Any, None]) -> concurrent.futures.Future[None]:
        return asyncio.run_coroutine_threadsafe(work, self.loop)

    def close(self) -> None:
        """Cancel what still runs (a run stopped mid-superstep), then stop the loop; a node
        that blocks the loop's thread is left to it, which is a daemon thread."""

        async def cancel() -> None:
            tasks = [task for task in asyncio.all_tasks() if task is not asyncio.current_task()]
            for task in tasks:
                task.cancel()
            if tasks:
                await asyncio.wait(tasks, timeout=CANCEL_GRACE)

        try:
            self.submit(cancel()).result(timeout=2 * CANCEL_GRACE)
        except Exception:  # the loop is blocked by a node: nothing more to do
            pass
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(timeout=2 * CANCEL_GRACE)
        if not self.thread.is_alive() and not asyncio.all_tasks(self.loop):
            self.loop.close()


def split(calls: Sequence[Call]) -> tuple[list[Call], list[Call]]:
    """The async calls and the sync ones, each in order."""
    waiting: list[Call] = []
    plain: list[Call] = []
    known: dict[int, bool] = {}  # by the callable: a superstep's Send instances share one
    for call in calls:
        kind = call.waits
        if kind is None:
            kind = known.get(id(call.fn))
            if kind is None:
                kind = known[id(call.fn)] = waits(call.fn)
        (waiting if kind else plain).append(call)
    return waiting, plain
