"""The events of a run: well-formed on random graphs (loops, branches, Sends, failing,
refused and asking nodes, stops before and after nodes) on both executors and stores, the
same through `stream()` and `run(on_event=)`, matching what the store records; a stream
closed at any event leaves a store that verifies and runs on to the same end; events
arrive while nodes run; a raising callback and failing nodes leave nothing half done.
"""

from __future__ import annotations

import dataclasses
import itertools
import tempfile
import threading
from collections import Counter
from collections.abc import Callable
from pathlib import Path
from typing import Any

import hypothesis
import pytest

pytest.importorskip("zelk_runtime")
import flow_graphs as fg
from flow_graphs import Flow
from flow_reference import Trace
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st
from store_kinds import STORES
from test_runtime_flow import canonical, case_fan_out, case_loop, deadline, flows, reference_or_error
from zelk_runtime import (
    Event,
    Graph,
    GraphError,
    NodeError,
    Output,
    Send,
    StepLimitError,
    StoreError,
    interrupt,
    resume,
    run,
    stream,
    verify,
)

SHARED = [HealthCheck.too_slow, HealthCheck.function_scoped_fixture]
EXECUTORS = ["sequential", "threads"]
OPENING = ("run_started", "run_resumed")
ENDING = ("finished", "stopped", "interrupted")
NODE_ENDS = ("node_finished", "node_failed")

# What the nodes of the random graphs returned, in the order they returned: (node, keys
# of the update). Appended on the node's own thread, before its result reaches the run.
WRITES: list[tuple[str, tuple[str, ...]]] = []
ASKED: set[str] = set()  # the nodes that called interrupt()


def watched(
    kit: fg.Kit,
    name: str,
    inner: Callable[..., Any],
    params: tuple[Any, ...],
    trouble: tuple[str | None, int],
    state: Any,
    *arg: Any,
) -> Any:
    """Runs `inner` and notes what it wrote; once the ticks reach `at`, first makes the
    trouble `mode` names: raise, return a refused cost, or ask with interrupt()."""
    mode, at = trouble
    if mode is not None and fg.number(state.get("ticks")) >= at:
        if mode == "raise":
            raise LookupError(f"{name} gave up at {at}")
        if mode == "refuse":
            return Output({"ticks": 1}, cost=-1.0)
        ASKED.add(name)
        interrupt({"node": name, "at": at})
    result = inner(kit, *params, state, *arg)
    update = result.update if isinstance(result, Output) else result if isinstance(result, dict) else None
    WRITES.append((name, tuple(update or ())))
    return result


@st.composite
def troubled_flows(draw: st.DrawFn) -> tuple[Flow, dict[str, Any]]:
    """A random flow whose nodes sometimes fail, are refused or ask, and graph options that
    stop before or after a node."""
    flow = draw(flows(max_nodes=5, max_limit=16))
    modes = st.sampled_from([None, None, None, None, "raise", "refuse", "interrupt", "interrupt"])
    nodes = {
        name: (watched, (name, inner, params, (draw(modes), draw(st.integers(0, 14)))))
        for name, (inner, params) in flow.nodes.items()
    }
    stops = st.lists(st.sampled_from(sorted(flow.nodes)), max_size=1)
    options = {"interrupt_before": draw(stops), "interrupt_after": draw(stops)}
    return dataclasses.replace(flow, nodes=nodes), options


class Watcher:
    """Collects a call's events and, for each, how many node results had been noted."""

    def __init__(self) -> None:
        self.events: list[Event] = []
        self.marks: list[int] = []

    def __call__(self, event: Event) -> None:
        assert isinstance(event, Event) and isinstance(event.time, float) and event.time > 0
        self.events.append(event)
        self.marks.append(len(WRITES))


def key(event: Event) -> tuple[str | None, int | None]:
    """A node instance: its node, and its Send ordinal (None for a plain node)."""
    return event.node, (event.detail or {}).get("instance")


def check_sequence(
    watcher: Watcher, location: Path, result: Any = None, error: BaseException | None = None, noted: bool = False
) -> None:
    """The events of one call of run, stream or resume are well-formed and agree with the
    store and, when the nodes are `watched` (`noted`), with what they wrote. `result` is
    what the call returned, `error` what it raised."""
    events, marks = watcher.events, watcher.marks
    stored = verify(location)
    payloads = {payload["superstep"]: payload for payload in stored.payloads}
    assert events and events[0].kind in OPENING
    number = events[0].superstep
    if result is not None:
        assert number == result.resumed_from
    if events[0].kind == "run_resumed":
        assert number > 0 or stored.forked
    running: set[tuple[str | None, int | None]] | None = None  # instances started, not yet ended
    ended: set[tuple[str | None, int | None]] = set()
    nodes: list[str] = []
    recorded = begin = since = 0
    failed: list[Event] = []
    for place, event in enumerate(events[1:], start=1):
        assert event.superstep == number, (event, number)
        if running is None:  # between supersteps
            if event.kind == "superstep_started":
                running, ended, failed = set(), set(), []
                nodes, recorded = list(event.detail["nodes"]), event.detail["recorded"]
                begin, since = place, marks[place - 1]
                assert nodes == sorted(nodes, key=str.encode)  # fold order
                continue
            if event.kind == "superstep_committed" and event.detail["kind"] == "update":
                # An update folded by resume before the run goes on: a superstep of its own.
                assert payloads[number]["kind"] == "update" and payloads[number]["author"] == event.detail["author"]
                assert (payloads[number]["checkpoint_bytes"], payloads[number]["sha256"]) == (
                    event.detail["bytes"],
                    event.detail["sha256"],
                )
                number += 1
                continue
            assert event.kind in ENDING and place == len(events) - 1, event
            continue
        if event.kind == "node_started":
            assert key(event) not in running and key(event) not in ended and event.node in nodes
            assert event.attempt == 1
            running.add(key(event))
        elif (
            event.kind == "node_failed"
            and event.seconds is None
            and event.node in nodes
            and (recorded or any(node == event.node for node, _ in ended))
        ):
            # Found after the node ran (a write conflict, a refused route), in this call or
            # in an earlier one whose result was recorded.
            failed.append(event)
        elif event.kind in NODE_ENDS:
            assert key(event) in running, event
            running.discard(key(event))
            ended.add(key(event))
            assert event.seconds is not None and event.seconds >= 0 and event.attempt == 1
            if event.kind == "node_failed":
                failed.append(event)
                assert event.error
        elif event.kind == "superstep_committed":
            assert not running and not failed
            assert len(ended) == len(nodes) - recorded
            payload = payloads[number]
            assert payload["nodes"] == nodes
            assert (payload["checkpoint_bytes"], payload["sha256"], payload["checkpoint"], payload["cost"]) == (
                event.detail["bytes"],
                event.detail["sha256"],
                event.detail["checkpoint"],
                event.cost,
            )
            # What each node wrote, as the node itself returned it.
            finished = Counter(
                (item.node, tuple(item.detail["channels"]))
                for item in events[begin:place]
                if item.kind == "node_finished"
            )
            assert not noted or finished == Counter(WRITES[since : marks[place]])
            running = None
            number += 1
        elif event.kind == "interrupted":
            assert place == len(events) - 1
            asking = {(item["node"], item["instance"]) for item in event.detail["interrupts"] if item["when"] == "call"}
            assert running == asking and not failed
        else:
            raise AssertionError(f"unexpected event {event} inside superstep {number}")
    final = events[-1]
    assert stored.completed == number
    if error is None:
        assert final.kind in ENDING
        assert final.detail["head"] == result.head == str(stored.head)
        assert result.status == final.kind and result.completed == number
        if final.kind == "interrupted":
            assert final.detail["interrupts"] == [item.record() for item in result.interrupts]
        else:
            assert final.cost == result.cost and final.detail["supersteps"] == result.completed
        return
    assert final.kind not in ENDING
    if isinstance(error, NodeError):
        # Every started instance ended, but those that asked (a failure beside them drops
        # their questions); the failures the nodes made are the node_failed events; a
        # refused route or write comes after every node finished.
        assert running is not None
        assert not running or (noted and {node for node, _ in running} <= ASKED)
        assert error.superstep == number
        if failed:
            reported = [(failure.node, failure.message) for failure in error.failures]
            assert sorted(reported) == sorted((item.node, item.detail["message"]) for item in failed)
            for item, failure in zip(
                sorted(failed, key=lambda item: item.node), sorted(error.failures, key=lambda f: f.node), strict=True
            ):
                assert item.error == (failure.traceback or failure.message)
    else:
        assert isinstance(error, StepLimitError) and running is None


def call(how: str, graph: Graph, location: Path, **options: Any) -> tuple[Watcher, Any, BaseException | None]:
    """Run (by stream or run with on_event) or resume, collecting the events."""
    watcher = Watcher()
    try:
        if how == "stream":
            with stream(graph, location, **options) as events:
                for item in events:
                    watcher(item)
            result = events.result
            assert result is not None
        elif how == "run":
            result = run(graph, location, progress=None, on_event=watcher, **options)
        else:
            result = resume(graph, location, progress=None, on_event=watcher, **options)
    except (NodeError, StepLimitError) as error:
        return watcher, None, error
    return watcher, result, None


@settings(max_examples=200, deadline=None, suppress_health_check=SHARED)
@given(troubled_flows(), st.sampled_from(STORES), st.sampled_from(EXECUTORS), st.sampled_from(["stream", "run"]))
def test_events_of_random_runs_are_well_formed(place, shape, store, executor, how):
    flow, options = shape
    try:
        graph = flow.graph(**options)
    except GraphError:  # no start node
        assume(False)
    WRITES.clear()
    ASKED.clear()
    with tempfile.TemporaryDirectory() as directory, deadline(60):
        location = place(directory, store)
        watcher, result, error = call(how, graph, location, executor=executor)
        check_sequence(watcher, location, result, error, noted=True)
        hypothesis.event(type(error).__name__ if error else result.status)
        # Resumed a few times past its stops and questions.
        for _ in range(3):
            if result is None or result.status != "interrupted":
                break
            answers = {item.node: "yes" for item in result.interrupts if item.when == "call"}
            watcher, result, error = call("resume", graph, location, executor=executor, answers=answers)
            assert watcher.events[0].kind == "run_resumed" or watcher.events[0].superstep == 0
            check_sequence(watcher, location, result, error, noted=True)


def shape_of(events: list[Event], ordered: bool) -> list[Any]:
    """What two runs of one graph share: kinds, supersteps, nodes and what they wrote;
    the node events of a superstep sorted unless `ordered` (threads finish in any order)."""
    found: list[Any] = []
    group: list[Any] = []
    for event in events:
        detail = event.detail or {}
        item = (event.kind, event.superstep, event.node, detail.get("instance"), tuple(detail.get("channels", ())))
        if event.kind.startswith("node_"):
            group.append(item)
            continue
        found += group if ordered else sorted(group, key=repr)
        group = []
        extra = detail.get("sha256") or detail.get("nodes") or detail.get("supersteps")
        found.append((*item, repr(extra), event.cost))
    return found + (group if ordered else sorted(group, key=repr))


@settings(max_examples=30, deadline=None, suppress_health_check=SHARED)
@given(flows(max_nodes=5, max_limit=16), st.sampled_from(STORES), st.sampled_from(EXECUTORS), st.data())
def test_stream_and_on_event_see_the_same_events(place, flow, store, executor, data):
    expected = reference_or_error(flow)
    assume(isinstance(expected, Trace))
    stop = data.draw(st.none() | st.integers(1, 4), label="max_supersteps")
    graph = flow.graph()
    with tempfile.TemporaryDirectory() as directory, deadline(60):
        streamed, _, _ = call("stream", graph, place(directory, store, "a-"), executor=executor, max_supersteps=stop)
        called, _, _ = call("run", graph, place(directory, store, "b-"), executor=executor, max_supersteps=stop)
    ordered = executor == "sequential"
    assert shape_of(streamed.events, ordered) == shape_of(called.events, ordered)
    if ordered:
        # One instance at a time: each node_started is followed by its own end.
        for before, after in itertools.pairwise(streamed.events):
            if before.kind == "node_started":
                assert after.kind in NODE_ENDS and key(after) == key(before)


@settings(max_examples=100, deadline=None, suppress_health_check=SHARED)
@given(flows(max_nodes=5, max_limit=16), st.sampled_from(STORES), st.sampled_from(EXECUTORS), st.data())
def test_a_stream_closed_at_any_event_leaves_a_run_that_goes_on_to_the_same_end(place, flow, store, executor, data):
    expected = reference_or_error(flow)
    assume(isinstance(expected, Trace) and expected.status == "finished")
    graph = flow.graph()
    with tempfile.TemporaryDirectory() as directory, deadline(60):
        location = place(directory, store)
        for _ in range(data.draw(st.integers(1, 3), label="closed streams")):
            cut = data.draw(st.integers(0, 12), label="events taken")
            with stream(graph, location, executor=executor) as events:
                taken = list(itertools.islice(events, cut))
            if taken and taken[-1].kind == "finished":
                break
            if taken:  # an untouched stream opened nothing
                verify(location)  # the store is whole, and its lock is free for the next call
        result = run(graph, location, executor=executor, progress=None)
    assert result.finished and canonical(result.state) == canonical(expected.state)


# Events as they happen.


class Gate:
    def __init__(self) -> None:
        self.entered = threading.Event()
        self.release = threading.Event()
        self.left = threading.Event()


GATE = Gate()


def slow(state: Any) -> dict[str, Any]:
    GATE.entered.set()
    assert GATE.release.wait(20), "never released"
    GATE.left.set()
    return {"log": ["slow"]}


def quick(state: Any) -> dict[str, Any]:
    return {"log": ["quick"]}


def then(state: Any) -> dict[str, Any]:
    return {"log": ["then"]}


def gated_graph() -> Graph:
    return Graph(
        [slow, quick, then], [("slow", "then"), ("quick", "then")], reducers={"log": "append"}, channels=["log"]
    )


@pytest.mark.parametrize("store", STORES)
def test_threads_events_arrive_while_a_node_still_runs(tmp_path, place, store):
    global GATE
    GATE = Gate()
    seen: list[tuple[str, str | None]] = []
    with deadline(30), stream(gated_graph(), place(tmp_path, store), executor="threads", workers=2) as events:
        for event in events:
            seen.append((event.kind, event.node))
            if event.kind == "node_started" and event.node == "slow":
                assert GATE.entered.wait(10) and not GATE.left.is_set()
            if {("node_started", "slow"), ("node_finished", "quick")} <= set(seen) and not GATE.release.is_set():
                # slow still waits: what came so far came while it ran.
                assert GATE.entered.is_set() and not GATE.left.is_set()
                GATE.release.set()
            if event.kind == "node_finished" and event.node == "slow":
                assert GATE.left.is_set()
    assert ("node_finished", "quick") in seen[: seen.index(("node_finished", "slow"))]
    assert events.result is not None and events.result.state["log"] == ["quick", "slow", "then"]


def test_sequential_node_started_comes_before_the_node_runs(tmp_path):
    global GATE
    GATE = Gate()

    def follow(event: Event) -> None:
        if event.kind == "node_started" and event.node == "slow":
            assert not GATE.entered.is_set()
            GATE.release.set()
        if event.kind == "node_finished" and event.node == "slow":
            assert GATE.left.is_set()

    with deadline(30):
        result = run(gated_graph(), tmp_path / "run", executor="sequential", progress=None, on_event=follow)
    assert result.finished and GATE.left.is_set()


# A callback that raises, and nodes that fail.


class Refused(Exception):
    pass


# (event kind, superstep) at which the callback raises, and the supersteps committed then.
RAISE_AT = [
    ("run_started", 0, 0),
    ("superstep_started", 4, 4),
    ("node_started", 4, 4),
    ("node_finished", 4, 4),
    ("superstep_committed", 4, 5),
    ("finished", 9, 9),
]


@pytest.mark.parametrize("store", STORES)
@pytest.mark.parametrize("executor", EXECUTORS)
@pytest.mark.parametrize("kind, superstep, committed", RAISE_AT)
def test_a_raising_callback_stops_the_run_with_its_exception_and_nothing_half_done(
    tmp_path, place, store, executor, kind, superstep, committed
):
    flow = case_loop()
    expected = flow.reference()
    location = place(tmp_path, store)
    refused = Refused("no more")

    def callback(event: Event) -> None:
        if event.kind == kind and event.superstep == superstep:
            raise refused

    with pytest.raises(Refused) as caught:
        run(flow.graph(), location, executor=executor, progress=None, on_event=callback)
    assert caught.value is refused
    assert verify(location).completed == committed
    # The lock was released, and the run goes on to the end the uninterrupted run reaches.
    result = run(flow.graph(), location, executor=executor, progress=None)
    assert result.finished and result.completed == len(expected.supersteps) == 9
    assert canonical(result.state) == canonical(expected.state)


def broken(state: Any) -> dict[str, Any]:
    raise KeyError("missing")


def refusing(state: Any) -> Output:
    return Output({"log": ["refusing"]}, cost=-1.0)


def fine(state: Any) -> dict[str, Any]:
    return {"log": ["fine"]}


@pytest.mark.parametrize("store", STORES)
@pytest.mark.parametrize("executor", EXECUTORS)
@pytest.mark.parametrize("how", ["stream", "run"])
def test_node_failed_events_then_a_node_error_naming_every_failure(tmp_path, place, store, executor, how):
    graph = Graph([broken, fine, refusing], [], reducers={"log": "append"}, channels=["log"])
    location = place(tmp_path, store)
    watcher, result, error = call(how, graph, location, executor=executor)
    assert result is None and isinstance(error, NodeError)
    assert [failure.node for failure in error.failures] == ["broken", "refusing"]
    check_sequence(watcher, location, None, error)
    failed = {event.node: event for event in watcher.events if event.kind == "node_failed"}
    assert "Traceback" in failed["broken"].error and "KeyError: 'missing'" in failed["broken"].error
    assert failed["refusing"].error == error.failures[1].message and "cost -1.0" in failed["refusing"].error
    assert [event.kind for event in watcher.events if event.node == "fine"] == ["node_started", "node_finished"]


def route_nowhere(state: Any) -> str:
    return "elsewhere"


def test_a_refused_route_fails_after_every_node_finished(tmp_path):
    graph = Graph(
        [fine, then], [], branches={"fine": (route_nowhere, ["then"])}, reducers={"log": "append"}, channels=["log"]
    )
    watcher, _, error = call("run", graph, tmp_path / "run", executor="sequential")
    assert isinstance(error, NodeError) and error.node == "fine"
    check_sequence(watcher, tmp_path / "run", None, error)
    assert [event.kind for event in watcher.events][-3:] == ["node_started", "node_finished", "node_failed"]
    assert "chose 'elsewhere'" in watcher.events[-1].error


def writes_x(state: Any) -> dict[str, Any]:
    return {"x": 1}


def asks_then_writes_x(state: Any) -> dict[str, Any]:
    return {"x": interrupt("which x?")}


@pytest.mark.parametrize("store", STORES)
def test_a_conflict_with_a_result_recorded_by_an_earlier_call(tmp_path, place, store):
    # The first call records writes_x's result and stops at the question; the resume runs
    # only the asking node, whose write then conflicts with the recorded one: the failure
    # names a node that did not run in this call.
    graph = Graph([writes_x, asks_then_writes_x], [], channels=["x"])
    location = place(tmp_path, store)
    watcher, result, error = call("run", graph, location, executor="sequential")
    assert error is None and result.status == "interrupted"
    check_sequence(watcher, location, result, error)
    watcher, result, error = call("resume", graph, location, executor="sequential", answers={"asks_then_writes_x": 2})
    assert isinstance(error, NodeError)
    check_sequence(watcher, location, None, error)
    started = {event.node for event in watcher.events if event.kind == "node_started"}
    assert started == {"asks_then_writes_x"}
    assert "writes_x" in {event.node for event in watcher.events if event.kind == "node_failed"}


# Runs that wait, and the Send instances of one node.


def split(state: Any) -> list[Send]:
    return [Send("check", item) for item in (1, 2, 3)]


def check(state: Any, item: int) -> dict[str, Any]:
    verdict = interrupt({"item": item}) if item == 2 else "fine"
    return {"checked": [[item, verdict]]}


def test_an_asking_send_instance_stays_started_until_resumed(tmp_path):
    graph = Graph([split, check], [], sends={"split": ["check"]}, reducers={"checked": "append"}, channels=["checked"])
    location = tmp_path / "run"
    watcher, result, _ = call("run", graph, location, executor="threads")
    check_sequence(watcher, location, result)
    started = [key(event) for event in watcher.events if event.kind == "node_started" and event.superstep == 1]
    finished = [key(event) for event in watcher.events if event.kind == "node_finished" and event.superstep == 1]
    assert sorted(started) == [("check", 0), ("check", 1), ("check", 2)]
    assert sorted(finished) == [("check", 0), ("check", 2)]
    assert watcher.events[-1].detail["interrupts"] == [
        {"node": "check", "superstep": 1, "value": {"item": 2}, "when": "call", "instance": 1}
    ]
    # run again: it stays waiting, and says so at once.
    again, waiting, _ = call("run", graph, location)
    assert [event.kind for event in again.events] == ["run_resumed", "interrupted"]
    assert waiting.head == result.head
    # Resumed with an update: its superstep is told first; then only the instance that asked
    # runs, the others' results were recorded.
    update = {"checked": [[0, "by hand"]]}
    watcher, result, _ = call("resume", graph, location, answers={"check": "ok"}, update=update, author="ann")
    check_sequence(watcher, location, result)
    assert [event.kind for event in watcher.events][:3] == ["run_resumed", "superstep_committed", "superstep_started"]
    assert watcher.events[1].detail["kind"] == "update" and watcher.events[1].detail["author"] == "ann"
    started = [event for event in watcher.events if event.kind == "superstep_started"]
    assert started[0].detail == {"nodes": ["check", "check", "check"], "recorded": 2}
    assert [key(event) for event in watcher.events if event.kind.startswith("node_")] == [("check", 1)] * 2
    assert result.state["checked"] == [[0, "by hand"], [1, "fine"], [2, "ok"], [3, "fine"]]


def test_events_of_a_stopped_and_continued_fan_out(tmp_path):
    flow = case_fan_out()
    location = tmp_path / "run.sqlite"
    first, result, _ = call("stream", flow.graph(), location, executor="threads", max_supersteps=2)
    check_sequence(first, location, result)
    assert result.status == "stopped" and first.events[-1].detail["supersteps"] == 2
    second, result, _ = call("stream", flow.graph(), location, executor="threads")
    check_sequence(second, location, result)
    assert second.events[0].kind == "run_resumed" and second.events[0].superstep == 2
    assert canonical(result.state) == canonical(flow.reference().state)


def test_record_is_plain_json(tmp_path):
    import json

    watcher, result, _ = call("run", case_loop().graph(), tmp_path / "run", executor="sequential")
    records = [json.loads(json.dumps(event.record(), allow_nan=False)) for event in watcher.events]
    assert {record["kind"] for record in records} == {
        "run_started",
        "superstep_started",
        "node_started",
        "node_finished",
        "superstep_committed",
        "finished",
    }
    assert all("error" not in record and record["time"] > 0 for record in records)
    assert records[-1]["detail"]["head"] == result.head


@pytest.mark.parametrize("store", STORES)
def test_an_abandoned_stream_releases_the_store_when_closed(tmp_path, place, store):
    """A stream left half read holds the store's lock (a PostgreSQL run's lease) until
    closed; `with` closes it."""
    flow = case_loop()
    location = place(tmp_path, store)
    events = stream(flow.graph(), location)
    taken = [next(events) for _ in range(4)]
    assert [event.kind for event in taken] == ["run_started", "superstep_started", "node_started", "node_finished"]
    with pytest.raises(StoreError, match="in use by another run"):
        run(flow.graph(), location, progress=None)
    events.close()
    assert run(flow.graph(), location, progress=None).finished
