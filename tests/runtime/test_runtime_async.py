"""Nodes that wait: async nodes run at once on an event loop, `workers` bounding them, beside
sync nodes on every executor and store; interrupt() works inside them; a Policy gives a node
attempts, a backoff and a timeout (async attempts cancelled, sync ones abandoned), reported
in the events and the audit entry; a run killed with kill -9 among async nodes goes on."""

from __future__ import annotations

import asyncio
import collections
import functools
import itertools
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

zelk_runtime = pytest.importorskip("zelk_runtime")
from store_kinds import STORES, exists  # noqa: E402
from zelk_runtime import (  # noqa: E402
    Graph,
    GraphError,
    NodeError,
    Policy,
    Send,
    SequentialExecutor,
    interrupt,
    open_store,
    read_run,
    resume,
    run,
    verify,
)
from zelk_runtime import attempts as attempts_module  # noqa: E402
from zelk_runtime.attempts import Call, Outcome, Retrying, Started  # noqa: E402
from zelk_runtime.cli import load_graph_file  # noqa: E402


def payloads(location: Path) -> list[dict[str, Any]]:
    store = open_store(location, create=False)
    try:
        return read_run(store).payloads
    finally:
        store.close()


def collect(graph: Graph, location: Path, **options: Any) -> tuple[Any, list[Any]]:
    """Run, keeping the events."""
    events: list[Any] = []
    result = run(graph, location, progress=None, on_event=events.append, **options)
    return result, events


def on(executor: str, request: pytest.FixtureRequest) -> str:
    if executor == "ray":
        request.getfixturevalue("ray_cluster")
    return executor


# A mixed graph: every kind of async node (a coroutine function, a partial of one, an
# instance whose __call__ is one, a sync node handing back a coroutine) beside sync nodes,
# in the same supersteps, with Send instances of an async target.


async def alpha(state):
    await asyncio.sleep(0.01)
    return {"log": ["a"], "total": 1}


def bravo(state):
    return {"log": ["b"], "total": 2}


async def _later(state):
    await asyncio.sleep(0)
    return {"log": ["c"], "total": 4}


def charlie(state):
    return _later(state)  # a sync node returning an awaitable: awaited where it ran


class Frozen:
    async def __call__(self, state):
        await asyncio.sleep(0.005)
        try:
            state["log"].append("changed")
        except TypeError:  # async nodes read the same read-only view
            return {"log": ["frozen"], "total": 8}
        return {"log": ["changed it"]}


def split(state):
    return [Send("scale", n) for n in range(5)]


async def scaled(factor, state, arg):
    await asyncio.sleep(0.005 * (5 - arg))  # later Sends finish first: the fold keeps Send order
    return {"log": [f"s{arg}"], "total": factor * arg}


async def join(state):
    await asyncio.sleep(0)
    return {"log": [f"join saw {state['total']}"]}


def mixed_graph() -> Graph:
    return Graph(
        {
            "a": alpha,
            "b": bravo,
            "c": charlie,
            "frozen": Frozen(),
            "split": split,
            "scale": functools.partial(scaled, 3),
            "join": join,
        },
        [("a", "join"), ("b", "join"), ("c", "join")],
        sends={"split": ["scale"]},
        initial_state={"log": [], "total": 0},
        reducers={"log": "append", "total": "add"},
    )


MIXED_STATE = {
    "log": ["a", "b", "c", "frozen", "join saw 15", "s0", "s1", "s2", "s3", "s4"],
    "total": 45,
}


@pytest.mark.parametrize("executor", ["sequential", "threads", "ray"])
@pytest.mark.parametrize("store", STORES)
def test_mixed_supersteps_give_the_same_states_on_every_executor(tmp_path, place, request, executor, store):
    location = place(tmp_path, store)
    result = run(mixed_graph(), location, executor=on(executor, request), workers=3, progress=None)
    assert result.finished and result.state == MIXED_STATE
    assert [p["nodes"] for p in payloads(location)] == [
        ["a", "b", "c", "frozen", "split"],
        ["join", "scale", "scale", "scale", "scale", "scale"],
    ]


@pytest.mark.parametrize("executor", ["sequential", "threads"])
def test_a_run_called_from_async_code_works_the_same(tmp_path, executor):
    # The caller's thread runs an event loop already: the nodes' loop is another one.
    async def caller() -> Any:
        return run(mixed_graph(), tmp_path / "run", executor=executor, progress=None)

    # On a thread of its own: an earlier test's driver (the browser's) may leave this thread
    # looking as if a loop ran on it, and asyncio.run would refuse.
    results: list[Any] = []
    thread = threading.Thread(target=lambda: results.append(asyncio.run(caller())))
    thread.start()
    thread.join()
    assert results[0].state == MIXED_STATE


# Many at once: a counter of the attempts in flight, shared by the nodes.

FLIGHT = {"now": 0, "most": 0}
FLIGHT_LOCK = threading.Lock()


async def hold(state, arg):
    with FLIGHT_LOCK:
        FLIGHT["now"] += 1
        FLIGHT["most"] = max(FLIGHT["most"], FLIGHT["now"])
    await asyncio.sleep(0.1)
    with FLIGHT_LOCK:
        FLIGHT["now"] -= 1
    return {"done": [arg]}


def fan(state):
    return [Send("hold", n) for n in range(20)]


@pytest.mark.parametrize("executor", ["sequential", "threads"])
@pytest.mark.parametrize("workers", [20, 5])
def test_async_nodes_run_at_once_and_workers_bounds_them(tmp_path, executor, workers):
    FLIGHT.update(now=0, most=0)
    graph = Graph({"fan": fan, "hold": hold}, sends={"fan": ["hold"]}, channels=["done"], reducers={"done": "append"})
    began = time.perf_counter()
    result, events = collect(graph, tmp_path / "run", executor=executor, workers=workers)
    took = time.perf_counter() - began
    assert result.state["done"] == list(range(20))  # Send order, whatever the finishing order
    assert FLIGHT["most"] == workers
    # A node is reported started when it starts: `workers` of them before the first finishes.
    kinds = [event.kind for event in events if event.node == "hold"]
    assert kinds.index("node_finished") == workers
    if workers == 20:
        assert took < 20 * 0.1 / 2  # one after another would take 2 s
    else:
        assert took >= 4 * 0.1  # four rounds of five


# interrupt() inside an async node, with a sibling async node whose result is kept.

RUNS: collections.Counter[str] = collections.Counter()


def draft(state):
    RUNS["draft"] += 1
    return {"text": "hello"}


async def review(state):
    RUNS["review"] += 1
    await asyncio.sleep(0.01)
    answer = interrupt({"approve?": state["text"]})
    await asyncio.sleep(0.01)
    return {"approved": answer}


async def sibling(state):
    RUNS["sibling"] += 1
    await asyncio.sleep(0.02)
    return {"seen": state["text"]}


@pytest.mark.parametrize("executor", ["sequential", "threads"])
@pytest.mark.parametrize("store", STORES)
def test_interrupt_inside_an_async_node_then_resume(tmp_path, place, executor, store):
    RUNS.clear()
    location = place(tmp_path, store)
    graph = Graph(
        [draft, review, sibling],
        [("draft", "review"), ("draft", "sibling")],
        channels=["text", "approved", "seen"],
        policies={"review": Policy(retries=2, retry_on=(Exception,))},  # an interrupt is never retried
    )
    first, events = collect(graph, location, executor=executor)
    assert first.status == "interrupted"
    assert [(item.node, item.superstep, item.value) for item in first.interrupts] == [
        ("review", 1, {"approve?": "hello"})
    ]
    assert RUNS == {"draft": 1, "review": 1, "sibling": 1}
    assert not [event for event in events if event.kind == "retry"]
    done = resume(graph, location, answers={"review": "yes"}, executor=executor, progress=None)
    assert done.finished and done.state == {"text": "hello", "approved": "yes", "seen": "hello"}
    assert RUNS == {"draft": 1, "review": 2, "sibling": 1}  # the sibling's result was kept


# Attempts. Nodes note each attempt's start in a file, so that Ray workers can too.


def note(folder: str, name: str) -> list[float]:
    path = Path(folder) / name
    with open(path, "a") as handle:
        handle.write(f"{time.monotonic()}\n")
    return [float(line) for line in path.read_text().split()]


def flaky(folder, state):
    tries = note(folder, "flaky")
    if len(tries) < 3:
        raise OSError(f"attempt {len(tries)} failed")
    return {"flaky": len(tries)}


async def flaky_async(folder, state):
    await asyncio.sleep(0)
    tries = note(folder, "flaky_async")
    if len(tries) < 3:
        raise OSError(f"attempt {len(tries)} failed")
    return {"flaky_async": len(tries)}


@pytest.mark.parametrize("executor", ["sequential", "threads", "ray"])
def test_retries_with_backoff_appear_in_events_and_audit(tmp_path, request, executor):
    policy = Policy(retries=3, backoff=0.05, retry_on=(OSError,))
    graph = Graph(
        {
            "flaky": functools.partial(flaky, str(tmp_path)),
            "flaky_async": functools.partial(flaky_async, str(tmp_path)),
        },
        channels=["flaky", "flaky_async"],
        policies={"flaky": policy, "flaky_async": policy},
    )
    result, events = collect(graph, tmp_path / "run.sqlite", executor=on(executor, request))
    assert result.state == {"flaky": 3, "flaky_async": 3}
    assert payloads(tmp_path / "run.sqlite")[0]["attempts"] == {"flaky": 3, "flaky_async": 3}
    for name in ("flaky", "flaky_async"):
        mine = [event for event in events if event.node == name]
        # On Ray the retries are reported when the node's task comes back, in the same order.
        assert [(event.kind, event.attempt) for event in mine] == [
            ("node_started", 1),
            ("retry", 2),
            ("node_started", 2),
            ("retry", 3),
            ("node_started", 3),
            ("node_finished", 3),
        ]
        retries = [event for event in mine if event.kind == "retry"]
        assert [event.detail["delay"] for event in retries] == [0.05, 0.1]
        assert [f"OSError: attempt {n} failed" in event.error for n, event in enumerate(retries, 1)] == [True, True]
        starts = [float(line) for line in (tmp_path / name).read_text().split()]
        gaps = [later - earlier for earlier, later in itertools.pairwise(starts)]
        assert gaps[0] >= 0.05 and gaps[1] >= 0.1, gaps
        assert mine[-1].seconds >= 0.15  # the node's time spans its attempts


def wrong(state):
    RUNS["wrong"] += 1
    raise ValueError("not worth another attempt")


async def down(state):
    RUNS["down"] += 1
    raise OSError("still down")


def test_failures_outside_retry_on_are_not_retried_and_the_attempts_are_named(tmp_path):
    RUNS.clear()
    policy = Policy(retries=2, retry_on=(OSError,))
    graph = Graph([wrong, down], channels=["x"], policies={"wrong": policy, "down": policy})
    events: list[Any] = []
    with pytest.raises(NodeError) as caught:
        run(graph, tmp_path / "run", progress=None, on_event=events.append)
    assert RUNS == {"wrong": 1, "down": 3}
    failures = {failure.node: failure for failure in caught.value.failures}
    assert failures["down"].message == "node 'down' failed in superstep 0 after 3 attempts: OSError: still down"
    assert failures["wrong"].message == "node 'wrong' failed in superstep 0: ValueError: not worth another attempt"
    assert isinstance(failures["down"].error, OSError)
    failed = {event.node: event for event in events if event.kind == "node_failed"}
    assert failed["down"].attempt == 3 and "after 3 attempts" in failed["down"].detail["message"]
    assert failed["wrong"].attempt == 1
    assert [event.node for event in events if event.kind == "retry"] == ["down", "down"]


# The attempt loop against a model of it: each attempt does what a script says (the last
# step repeats); the reports must be those the policy allows.

STEPS = ["ok", "os", "value", "interrupt"]
RETRY_ON = [(), (OSError,), (Exception,), (OSError, ValueError)]


def scripted(script: list[str], asynchronous: bool) -> Any:
    taken = [0]

    def step() -> dict[str, int]:
        kind = script[min(taken[0], len(script) - 1)]
        taken[0] += 1
        if kind == "os":
            raise OSError("os")
        if kind == "value":
            raise ValueError("value")
        if kind == "interrupt":
            interrupt("why?")
        return {"x": taken[0]}

    if not asynchronous:
        return lambda state: step()

    async def node(state: Any) -> dict[str, int]:
        await asyncio.sleep(0)
        return step()

    return node


def model(script: list[str], retries: int, retry_on: tuple[type[Exception], ...]) -> list[tuple[Any, ...]]:
    kinds = {"os": OSError, "value": ValueError}
    reports: list[tuple[Any, ...]] = []
    attempt = 1
    while True:
        reports.append(("started", attempt))
        kind = script[min(attempt - 1, len(script) - 1)]
        if kind not in kinds or attempt > retries or not issubclass(kinds[kind], retry_on):
            reports.append(("outcome", attempt, kind))
            return reports
        attempt += 1
        reports.append(("retrying", attempt, round(0.0005 * 2 ** (attempt - 2), 9)))


def observed(report: Any) -> tuple[Any, ...]:
    if isinstance(report, Started):
        return ("started", report.attempt)
    if isinstance(report, Retrying):
        return ("retrying", report.attempt, round(report.delay, 9))
    assert isinstance(report, Outcome)
    kind = (
        "interrupt"
        if report.interrupted
        else "ok"
        if report.error is None
        else {OSError: "os"}.get(type(report.error), "value")
    )
    return ("outcome", report.attempts, kind)


@settings(max_examples=60, deadline=None)
@given(
    script=st.lists(st.sampled_from(STEPS), min_size=1, max_size=5),
    retries=st.integers(0, 4),
    retry_on=st.sampled_from(RETRY_ON),
    asynchronous=st.booleans(),
)
def test_attempts_follow_the_policy(script, retries, retry_on, asynchronous):
    policy = Policy(retries=retries, backoff=0.0005, retry_on=retry_on)
    executor = SequentialExecutor()
    try:
        call = Call(0, "node", scripted(script, asynchronous), policy=policy)
        reports = [observed(report) for report in executor.run([call], {})]
    finally:
        executor.close()
    assert reports == model(script, retries, retry_on)


# Timeouts.

CANCELLED = threading.Event()


async def stalls(state):
    try:
        await asyncio.sleep(30)
    except asyncio.CancelledError:
        CANCELLED.set()
        raise
    return {"x": 1}


async def stubborn(state):
    try:
        await asyncio.sleep(30)
    except asyncio.CancelledError:  # ignores being cancelled once
        await asyncio.sleep(0.5)
    return {"x": 1}


async def slow_first(folder, state):
    if len(note(folder, "slow_first")) == 1:
        await asyncio.sleep(30)
    return {"x": 2}


def test_a_timed_out_async_attempt_is_cancelled(tmp_path, monkeypatch):
    CANCELLED.clear()
    graph = Graph([stalls], channels=["x"], policies={"stalls": Policy(timeout=0.2)})
    began = time.perf_counter()
    with pytest.raises(NodeError) as caught:
        run(graph, tmp_path / "stalls", progress=None)
    assert time.perf_counter() - began < 5
    assert CANCELLED.is_set()
    assert str(caught.value) == (
        "node 'stalls' failed in superstep 0: NodeTimeout: node 'stalls' did not finish within 0.2 s "
        "(attempt 1 of 1); it was cancelled"
    )
    assert isinstance(caught.value.failures[0].error, TimeoutError)

    # Retried when retry_on takes TimeoutError (an OSError too); not when it does not.
    policy = Policy(retries=1, timeout=0.2, retry_on=(TimeoutError,))
    graph = Graph({"slow": functools.partial(slow_first, str(tmp_path))}, channels=["x"], policies={"slow": policy})
    result, events = collect(graph, tmp_path / "slow.sqlite")
    assert result.state == {"x": 2} and payloads(tmp_path / "slow.sqlite")[0]["attempts"] == {"slow": 2}
    (retry,) = [event for event in events if event.kind == "retry"]
    assert "did not finish within 0.2 s (attempt 1 of 2); it was cancelled" in retry.error
    (tmp_path / "slow_first").unlink()
    graph = Graph(
        {"slow": functools.partial(slow_first, str(tmp_path))},
        channels=["x"],
        policies={"slow": Policy(retries=1, timeout=0.2, retry_on=(ValueError,))},
    )
    with pytest.raises(NodeError, match=r"within 0\.2 s \(attempt 1 of 2\)"):
        run(graph, tmp_path / "not-retried", progress=None)

    # A node that will not stop when cancelled is left behind, said so, and nothing hangs.
    monkeypatch.setattr(attempts_module, "CANCEL_GRACE", 0.1)
    graph = Graph([stubborn], channels=["x"], policies={"stubborn": Policy(timeout=0.1)})
    with pytest.raises(NodeError, match=r"it was cancelled but did not stop within 0\.1 s and may still be running"):
        run(graph, tmp_path / "stubborn", progress=None)


RELEASE = threading.Event()
THREADS: list[int] = []


def stuck_first(folder, state):
    THREADS.append(threading.get_ident())
    if len(note(folder, "stuck_first")) == 1:
        RELEASE.wait(10)
        return {"late": True}
    return {"x": 2}


def quick(state):
    return {"y": threading.current_thread().name}


@pytest.mark.parametrize("executor", ["sequential", "threads"])
def test_a_timed_out_sync_attempt_is_abandoned_and_the_run_goes_on(tmp_path, executor):
    RELEASE.clear()
    THREADS.clear()
    node = functools.partial(stuck_first, str(tmp_path))
    graph = Graph(
        {"stuck": node, "quick": quick}, channels=["x", "y", "late"], policies={"stuck": Policy(retries=1, timeout=0.2)}
    )
    try:
        result, events = collect(graph, tmp_path / "run", executor=executor)
        assert result.state["x"] == 2 and "late" not in result.state
        (retry,) = [event for event in events if event.kind == "retry"]
        assert "did not finish within 0.2 s (attempt 1 of 2); its thread was abandoned and may still be running" in (
            retry.error
        )
        # Each attempt of a node with a timeout has a thread of its own, on every executor.
        assert len(set(THREADS)) == 2 and threading.get_ident() not in THREADS
        if executor == "sequential":
            assert result.state["y"] == threading.current_thread().name

        (tmp_path / "stuck_first").unlink()
        graph = Graph({"stuck": node}, channels=["x", "late"], policies={"stuck": Policy(timeout=0.2)})
        with pytest.raises(NodeError, match="its thread was abandoned and may still be running"):
            run(graph, tmp_path / "failed", executor=executor, progress=None)
    finally:
        RELEASE.set()


# Policies and the graph.


def fetch(state):
    return {"pages": 1}


def rank(state):
    return {"best": state["pages"]}


@pytest.mark.parametrize(
    "fields, words",
    [
        ({"retries": -1}, "retries must be a whole number, 0 or more"),
        ({"retries": 1.5}, "retries must be a whole number"),
        ({"retries": True}, "retries must be a whole number"),
        ({"backoff": -0.5}, "backoff must be a finite number of seconds, 0 or more"),
        ({"backoff": float("nan")}, "backoff must be"),
        ({"backoff": "1"}, "backoff must be"),
        ({"timeout": 0}, "timeout must be a finite number of seconds above 0, or None"),
        ({"timeout": float("inf")}, "timeout must be"),
        ({"retry_on": "OSError"}, "retry_on must be an exception type or a tuple of them"),
        ({"retry_on": (OSError, 3)}, "retry_on must name exception types (subclasses of Exception), not 3"),
        ({"retry_on": KeyboardInterrupt}, "retry_on must name exception types"),
        ({"ray": ["num_cpus"]}, "ray must be a mapping of Ray task options, not ['num_cpus']"),
        ({"ray": {"num_cpu": 2}}, "ray has no option 'num_cpu' (did you mean 'num_cpus'?); a node may set "),
        ({"ray": {"placement_group": "pg"}}, "ray has no option 'placement_group'; a node may set accelerator_type, "),
    ],
)
def test_policy_fields_are_checked_naming_the_field_and_the_node(fields, words):
    with pytest.raises(GraphError) as caught:
        Policy(**fields)
    assert str(caught.value).startswith("Policy: " + words)
    with pytest.raises(GraphError) as caught:
        Graph([fetch], channels=["pages"], policies={"fetch": fields})
    assert str(caught.value).startswith(f"the policy of node 'fetch': {words}")


@pytest.mark.parametrize(
    "policies, message",
    [
        ({"fetc": Policy()}, "policies names unknown node 'fetc' (did you mean 'fetch'?)"),
        ({"fetch": 3}, "the policy of node 'fetch' is 3, not a Policy"),
        ({"fetch": {"retires": 2}}, "the policy of node 'fetch' has no field 'retires' (did you mean 'retries'?)"),
        ([Policy()], "policies must be a mapping from node to Policy, not list"),
    ],
)
def test_graph_policies_are_checked(policies, message):
    with pytest.raises(GraphError) as caught:
        Graph([fetch, rank], [("fetch", "rank")], channels=["pages", "best"], policies=policies)
    assert str(caught.value).startswith(message)


def test_policies_are_not_what_the_graph_is(tmp_path):
    def build(policies: dict[str, Any]) -> Graph:
        return Graph([fetch, rank], [("fetch", "rank")], channels=["pages", "best"], policies=policies)

    plain = build({})
    careful = build(
        {"fetch": Policy(retries=2, timeout=5, retry_on=OSError), "rank": {"backoff": 1, "ray": {"num_cpus": 2}}}
    )
    assert careful.policies["fetch"].retry_on == (OSError,) and careful.policies["rank"].backoff == 1
    assert careful.policies["rank"].ray == {"num_cpus": 2}
    assert plain.describe() == careful.describe()
    first = run(plain, tmp_path / "run", max_supersteps=1, progress=None)
    assert first.status == "stopped"
    second = run(careful, tmp_path / "run", progress=None)  # the same graph, run another way
    assert second.finished and second.resumed_from == 1 and second.state == {"pages": 1, "best": 1}


# kill -9 among async nodes: a run killed mid-superstep runs again only the unfinished ones.

KILL_GRAPH = """
import asyncio
import os
from pathlib import Path

from zelk_runtime import Graph

COUNTS = Path(__file__).with_name("counts.txt")


def counted(name, state):
    with open(COUNTS, "a") as handle:
        handle.write(name + "\\n")
    return {"log": [f"{name} saw {len(state.get('log', []))}"], "total": len(name)}


def start(state):
    return counted("start", state)


async def alpha(state):
    await asyncio.sleep(0.01)
    return counted("alpha", state)


async def beta(state):
    result = counted("beta", state)
    marker = os.environ.get("ZELK_TEST_BLOCK")
    if marker:
        Path(marker).write_text("blocked")
        await asyncio.sleep(60)
    return result


def delta(state):
    return counted("delta", state)


async def gamma(state):
    await asyncio.sleep(0.02)
    return counted("gamma", state)


async def end(state):
    return counted("end", state)


MIDDLE = ["alpha", "beta", "delta", "gamma"]
graph = Graph(
    [start, alpha, beta, delta, gamma, end],
    [("start", name) for name in MIDDLE] + [(name, "end") for name in MIDDLE],
    reducers={"log": "append", "total": "add"},
    channels=["log", "total"],
)
"""


def recorded(location: Path, superstep: int) -> int:
    store = open_store(location, create=False)
    try:
        return len(store.results(superstep))
    finally:
        store.close()


@pytest.mark.parametrize("store", ["run.sqlite", "postgres"])
def test_kill_9_among_async_nodes_runs_again_only_the_unfinished_ones(tmp_path, place, monkeypatch, store):
    """A PostgreSQL run's lease held by the killed process is taken at once: its holder, a
    process of this host, is gone."""
    monkeypatch.setattr(sys, "path", list(sys.path))
    folder = tmp_path / "killed"
    folder.mkdir()
    path = folder / "kill_graph.py"
    path.write_text(KILL_GRAPH)
    location = place(tmp_path, store)
    marker = tmp_path / "blocked"
    command = [sys.executable, "-m", "zelk_runtime", "run", str(path), "--store", str(location), "--quiet"]
    child = subprocess.Popen(
        command, env=os.environ | {"ZELK_TEST_BLOCK": str(marker)}, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE
    )
    try:
        deadline = time.monotonic() + 30
        while not (marker.exists() and exists(location) and recorded(location, 1) == 3):
            assert child.poll() is None, child.stderr.read().decode() if child.stderr else ""
            assert time.monotonic() < deadline, "the child never reached the blocking node"
            time.sleep(0.02)
        child.send_signal(signal.SIGKILL)
        child.wait(timeout=10)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
        if child.stderr:
            child.stderr.close()
    assert child.returncode == -signal.SIGKILL
    counts = collections.Counter((folder / "counts.txt").read_text().split())
    assert counts == {"start": 1, "alpha": 1, "beta": 1, "delta": 1, "gamma": 1}
    result = run(load_graph_file(str(path)), location, progress=None)
    assert result.finished and result.resumed_from == 1
    counts = collections.Counter((folder / "counts.txt").read_text().split())
    assert counts == {"start": 1, "alpha": 1, "beta": 2, "delta": 1, "gamma": 1, "end": 1}
    reference_folder = tmp_path / "reference"
    reference_folder.mkdir()
    (reference_folder / "kill_graph.py").write_text(KILL_GRAPH)
    reference = run(load_graph_file(str(reference_folder / "kill_graph.py")), reference_folder / "run", progress=None)
    assert result.state_json == reference.state_json
    assert verify(location).completed == 3
