"""Runs that wait for people: `interrupt()` inside a node, interrupt_before and
interrupt_after, and `resume` with answers and updates, on every store and both in-process
executors, through the API and the command line.

The differential test drives random graphs (loops, branches, Sends) whose nodes ask
questions: answered over many resumed calls stopped at random points, with updates
folded at some stops, a run must end exactly as the run of the same graph answered at
once, given the same updates at the same points.
"""

from __future__ import annotations

import dataclasses
import math
import os
import signal
import subprocess
import sys
import tempfile
import time
from datetime import datetime
from pathlib import Path
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

zelk_runtime = pytest.importorskip("zelk_runtime")
import human_graphs as hg  # noqa: E402
import runtime_graphs  # noqa: E402
from store_kinds import STORES  # noqa: E402
from test_runtime_flow import deadline, flows  # noqa: E402
from zelk_runtime import (  # noqa: E402
    Graph,
    GraphError,
    Interrupt,
    NodeError,
    RuntimeFailure,
    StepLimitError,
    StoreError,
    UsageError,
    interrupt,
    resume,
    run,
    verify,
)
from zelk_runtime.cli import main  # noqa: E402
from zelk_runtime.stores import open_store  # noqa: E402

EXECUTORS = ["sequential", "threads"]
GRAPH = str(Path(__file__).resolve().parent / "human_graphs.py")
QUESTION = {"question": "publish this?", "text": "first draft"}


def answers_of(entry):
    """An entry's answers as node -> [(answer, author)]."""
    return {node: [(a["answer"], a["author"]) for a in answers] for node, answers in entry.get("answers", {}).items()}


@pytest.fixture(autouse=True)
def calls() -> Any:
    hg.CALLS.clear()
    yield hg.CALLS
    hg.CALLS.clear()


def quiet(**options: Any) -> dict[str, Any]:
    return {"progress": None, **options}


def payloads(location: Path) -> list[dict[str, Any]]:
    return verify(location).payloads


def status_text(location: Path) -> str | None:
    store = open_store(location, create=False)
    try:
        return store.read_status()
    finally:
        store.close()


# interrupt() inside a node.


@pytest.mark.parametrize("store", STORES)
@pytest.mark.parametrize("executor", EXECUTORS)
def test_a_node_asks_the_others_are_kept_and_the_answer_reaches_it(tmp_path, place, store, executor, calls):
    location, graph = place(tmp_path, store), hg.build_graph()
    first = run(graph, location, **quiet(executor=executor))
    assert (first.status, first.finished, first.completed) == ("interrupted", False, 1)
    assert first.interrupts == [Interrupt("review", 1, QUESTION, "call")]
    assert first.state == {"log": ["draft"], "text": "first draft"}
    assert calls == {"draft": 1, "review": 1, "side": 1}

    # run does not go past a question: it runs nothing and reports it again.
    again = run(graph, location, **quiet(executor=executor))
    assert (again.status, again.interrupts, again.completed, again.head) == (
        "interrupted",
        first.interrupts,
        1,
        first.head,
    )
    assert calls == {"draft": 1, "review": 1, "side": 1}

    done = resume(graph, location, answers={"review": {"ok": True}}, author="alice", **quiet(executor=executor))
    assert (done.status, done.finished, done.interrupts, done.completed, done.resumed_from) == (
        "finished",
        True,
        [],
        3,
        1,
    )
    assert done.state == {
        "log": ["draft", "review", "side", "publish"],
        "text": "first draft",
        "verdict": {"ok": True},
        "count": 11,
    }
    assert calls == {"draft": 1, "review": 2, "side": 1, "publish": 1}  # side did not run again
    entries = payloads(location)
    assert [(p["kind"], p["nodes"]) for p in entries] == [
        ("nodes", ["draft"]),
        ("nodes", ["review", "side"]),
        ("nodes", ["publish"]),
    ]
    assert answers_of(entries[1]) == {"review": [({"ok": True}, "alice")]}
    assert entries[1]["answers"]["review"][0]["question"]["question"] == "publish this?"
    assert "answers" not in entries[2] and "author" not in entries[2]
    assert status_text(location) is None


@pytest.mark.parametrize("store", STORES)
@pytest.mark.parametrize("executor", EXECUTORS)
def test_a_node_asking_twice_gets_its_answers_in_order_over_two_resumes(tmp_path, place, store, executor, calls):
    location, graph = place(tmp_path, store), hg.build_graph(nodes={"review": hg.double})
    assert run(graph, location, **quiet(executor=executor)).interrupts == [Interrupt("review", 1, "first?")]
    second = resume(graph, location, answers={"review": "a"}, author="alice", **quiet(executor=executor))
    assert (second.status, second.completed) == ("interrupted", 1)
    assert second.interrupts == [Interrupt("review", 1, {"second": "a"})]
    done = resume(graph, location, answers={"review": ["b"]}, author="bob", **quiet(executor=executor))
    assert done.finished and done.state["pair"] == ["a", ["b"]]
    assert calls == {"draft": 1, "double": 3, "side": 1, "publish": 1}
    entry = payloads(location)[1]
    assert answers_of(entry) == {"review": [("a", "alice"), (["b"], "bob")]}


@pytest.mark.parametrize("store", STORES)
@pytest.mark.parametrize("executor", EXECUTORS)
def test_send_instances_that_ask(tmp_path, place, store, executor, calls):
    """The instances for odd items ask; the even ones' results are kept; one answer per
    node reaches every instance that asked."""
    location, graph = place(tmp_path, store), hg.fan_graph()
    first = run(graph, location, **quiet(executor=executor))
    assert first.status == "interrupted"
    assert first.interrupts == [
        Interrupt("check", 1, {"item": 1}, "call", 0),
        Interrupt("check", 1, {"item": 3}, "call", 2),
    ]
    done = resume(graph, location, answers={"check": "yes"}, **quiet(executor=executor))
    assert done.finished
    assert done.state["checked"] == [[1, "yes"], [2, "fine"], [3, "yes"], [4, "fine"]]
    assert calls == {"fan": 1, "check 1": 2, "check 2": 1, "check 3": 2, "check 4": 1, "publish": 1}
    entry = payloads(location)[1]
    assert (entry["nodes"], answers_of(entry)) == (["check"] * 4, {"check": [("yes", "human")]})


# interrupt_before and interrupt_after.

STOPS = [
    ({"interrupt_before": ["middle"]}, [("middle", 1, "before", 1)]),
    ({"interrupt_after": ["middle"]}, [("middle", 1, "after", 2)]),
    (
        {"interrupt_before": ["middle"], "interrupt_after": ["middle"]},
        [("middle", 1, "before", 1), ("middle", 1, "after", 2)],
    ),
    ({"interrupt_before": ["first"]}, [("first", 0, "before", 0)]),
    ({"interrupt_after": ["last"]}, [("last", 2, "after", 3)]),  # after the last superstep
    (
        {"interrupt_before": ["first", "last"], "interrupt_after": ["first", "last"]},
        [("first", 0, "before", 0), ("first", 0, "after", 1), ("last", 2, "before", 2), ("last", 2, "after", 3)],
    ),
]


@pytest.mark.parametrize("store", STORES)
@pytest.mark.parametrize("options, stops", STOPS)
def test_interrupt_before_and_after_stop_where_named(tmp_path, place, store, options, stops):
    location = place(tmp_path, store)
    graph = Graph(
        [runtime_graphs.first, runtime_graphs.middle, runtime_graphs.last],
        [("first", "middle"), ("middle", "last")],
        reducers={"steps": "append", "total": "add"},
        channels=["steps", "total"],
        **options,
    )
    result = run(graph, location, **quiet())
    for node, superstep, when, completed in stops:
        assert (result.status, result.completed) == ("interrupted", completed)
        assert result.interrupts == [Interrupt(node, superstep, None, when)]
        again = run(graph, location, **quiet(executor="sequential"))
        assert (again.status, again.interrupts, again.head) == ("interrupted", result.interrupts, result.head)
        result = resume(graph, location, **quiet())
    assert (result.status, result.completed) == ("finished", 3)
    assert result.state == {"steps": ["first", "middle", "last"], "total": 111}
    assert [p["nodes"] for p in payloads(location)] == [["first"], ["middle"], ["last"]]
    assert run(graph, location, **quiet()).status == "finished"


@pytest.mark.parametrize("store", STORES)
@pytest.mark.parametrize("executor", EXECUTORS)
def test_a_node_stopped_before_then_asking_is_not_stopped_before_again(tmp_path, place, store, executor, calls):
    """Past interrupt_before the superstep runs; when a node of it asks, answering it
    must not stop the run before that superstep a second time."""
    location = place(tmp_path, store)
    graph = hg.fan_graph(interrupt_before=["check"], interrupt_after=["check"])
    seen = []
    result = run(graph, location, **quiet(executor=executor))
    while result.status == "interrupted":
        seen += [(item.node, item.superstep, item.when) for item in result.interrupts]
        asked = {item.node: "ok" for item in result.interrupts if item.when == "call"}
        result = resume(graph, location, answers=asked, **quiet(executor=executor))
    assert seen == [("check", 1, "before"), ("check", 1, "call"), ("check", 1, "call"), ("check", 1, "after")]
    assert result.finished and result.state["checked"] == [[1, "ok"], [2, "fine"], [3, "ok"], [4, "fine"]]
    assert calls["check 2"] == 1


# Updates.


@pytest.mark.parametrize("store", STORES)
@pytest.mark.parametrize("executor", EXECUTORS)
@pytest.mark.parametrize("stop_after_update", [False, True])
def test_an_update_is_an_audited_superstep_and_answers_carry_across_it(
    tmp_path, place, store, executor, stop_after_update, calls
):
    location, graph = place(tmp_path, store), hg.build_graph()
    run(graph, location, **quiet(executor=executor))
    update = {"notes": ["typo fixed"], "count": 5, "text": "second draft"}
    before = datetime.now().astimezone()
    options = quiet(executor=executor, max_supersteps=0 if stop_after_update else None)
    result = resume(graph, location, answers={"review": "yes"}, update=update, author="bob", **options)
    if stop_after_update:
        # The update is committed, the answer waits in the status record for the next call.
        assert (result.status, result.completed, result.interrupts) == ("stopped", 2, [])
        assert result.state["notes"] == ["typo fixed"] and calls["review"] == 1
        result = run(graph, location, **quiet(executor=executor))
    assert result.finished and result.completed == 4
    assert result.state == {
        "log": ["draft", "review", "side", "publish"],
        "text": "second draft",
        "verdict": "yes",
        "count": 16,
        "notes": ["typo fixed"],
    }
    assert calls == {"draft": 1, "review": 2, "side": 1, "publish": 1}  # side's result carried over
    entries = payloads(location)
    assert [(p["kind"], p["nodes"]) for p in entries] == [
        ("nodes", ["draft"]),
        ("update", []),
        ("nodes", ["review", "side"]),
        ("nodes", ["publish"]),
    ]
    change = entries[1]
    assert (change["author"], change["update"], change["cost"], "answers" in change) == ("bob", update, 0, False)
    assert before <= datetime.fromisoformat(change["time"]) <= datetime.fromisoformat(entries[2]["time"])
    assert change["next"] == entries[0]["next"]
    assert answers_of(entries[2]) == {"review": [("yes", "bob")]}


@pytest.mark.parametrize("store", STORES)
@pytest.mark.parametrize("stop_after_update", [False, True])
def test_an_update_before_superstep_0_keeps_every_start_node_running(tmp_path, place, store, stop_after_update):
    """Superstep 0 runs all start nodes, even one that another start node leads to; an
    update folded before it must not turn that into the waiting rule."""

    def x(state):
        return {"log": ["x"]}

    def y(state):
        return {"log": ["y"]}

    shape = {"start": ["x", "y"], "reducers": {"log": "append"}, "channels": ["log", "n"]}
    whole = run(Graph({"x": x, "y": y}, [("y", "x")], **shape), place(tmp_path, store, "whole-"), **quiet())
    assert whole.state == {"log": ["x", "y", "x"]}
    graph = Graph({"x": x, "y": y}, [("y", "x")], interrupt_before=["x"], **shape)
    location = place(tmp_path, store)
    assert run(graph, location, **quiet()).interrupts == [Interrupt("x", 0, None, "before")]
    result = resume(graph, location, update={"n": 1}, **quiet(max_supersteps=0 if stop_after_update else None))
    if stop_after_update:
        result = run(graph, location, **quiet())
    assert result.interrupts == [Interrupt("x", 2, None, "before")]
    result = resume(graph, location, **quiet())
    assert result.state == {"log": ["x", "y", "x"], "n": 1}
    assert [p["nodes"] for p in payloads(location)] == [[], ["x", "y"], ["x"]]


# Bad input: refused with a message naming what is wrong, and nothing written.

BAD_RESUMES = [
    ({"answers": {"side": 1}}, UsageError, "node 'side' of store .* is not waiting for an answer .*: review"),
    ({"answers": {"reveiw": 1}}, UsageError, "answers name unknown node 'reveiw'"),
    ({"answers": {"review": {1, 2}}}, UsageError, r"the answer for node 'review' is a set"),
    ({"answers": {"review": [math.nan]}}, UsageError, r"the answer for node 'review'\[0\] is nan"),
    ({"answers": [("review", 1)]}, UsageError, "answers must be a dict of node to answer, not list"),
    ({"update": {"notes": object()}}, UsageError, r"the update\['notes'\] is an object"),
    (
        {"update": {"nots": ["x"]}},
        UsageError,
        "the update writes channel 'nots', which the graph does not declare.*notes",
    ),
    ({"update": ["notes"]}, UsageError, "an update is a dict of channel to value, not list"),
    ({"author": ""}, UsageError, "author must be a non-empty name, not ''"),
    ({"author": "  "}, UsageError, "author must be a non-empty name"),
    ({"author": None}, UsageError, "author must be a non-empty name, not None"),
    ({"answers": {"review": 1}, "update": {"nots": 1}}, UsageError, "channel 'nots'"),
]


def snapshot(location: Path) -> tuple[str, str | None]:
    return str(verify(location).head), status_text(location)


@pytest.mark.parametrize("store", STORES)
def test_bad_resumes_are_refused_and_change_nothing(tmp_path, place, store):
    location, graph = place(tmp_path, store), hg.build_graph()
    run(graph, location, **quiet())
    kept = snapshot(location)
    for arguments, error, words in BAD_RESUMES:
        with pytest.raises(error, match=words):
            resume(graph, location, **quiet(), **arguments)
        assert snapshot(location) == kept, arguments
    assert resume(graph, location, answers={"review": "yes"}, **quiet()).finished
    with pytest.raises(UsageError, match="is not waiting for an answer \\(waiting at interrupt\\(\\): none\\)"):
        resume(graph, location, answers={"review": "again"}, **quiet())


@pytest.mark.parametrize("store", STORES)
def test_resume_needs_a_stored_run(tmp_path, place, store):
    missing = place(tmp_path, store, "missing-")
    with pytest.raises(StoreError, match="does not exist"):
        resume(hg.build_graph(), missing, answers={"review": 1}, **quiet())
    with pytest.raises(StoreError, match="does not exist"):
        open_store(missing, create=False)  # nothing was made
    empty = place(tmp_path, store)
    made = open_store(empty)  # an empty store: a directory, a file, or a run named but never run
    made.lock().release()
    made.close()
    with pytest.raises(StoreError, match="holds no run to resume"):
        resume(hg.build_graph(), empty, answers={"review": 1}, **quiet())
    store_ = open_store(empty, create=False)
    try:
        assert store_.read_manifest() is None and store_.read_status() is None
    finally:
        store_.close()


# Statuses, and resume of a run that waits for nobody.


@pytest.mark.parametrize("store", STORES)
def test_status_is_finished_interrupted_or_stopped(tmp_path, place, store, calls):
    graph = hg.build_graph(nodes={"review": hg.side})
    location = place(tmp_path, store)
    assert (run(graph, location, **quiet(max_supersteps=0))).status == "stopped"
    assert run(graph, location, **quiet(max_supersteps=1)).status == "stopped"
    assert run(graph, location, **quiet(max_supersteps=2)).status == "finished"  # ends exactly at the limit
    assert run(graph, location, **quiet(max_supersteps=0)).status == "finished"
    # A run that waits for nobody resumes as it runs; an update is folded all the same.
    other = place(tmp_path, store, "other-")
    assert run(graph, other, **quiet(max_supersteps=1)).status == "stopped"
    assert resume(graph, other, **quiet()).status == "finished"
    after = resume(graph, other, update={"notes": ["late"]}, author="carol", **quiet())
    assert (after.status, after.completed, after.state["notes"]) == ("finished", 4, ["late"])
    assert payloads(other)[-1]["kind"] == "update" and payloads(other)[-1]["author"] == "carol"
    assert run(hg.build_graph(), place(tmp_path, store, "asks-"), **quiet()).status == "interrupted"


@pytest.mark.parametrize("store", STORES)
@pytest.mark.parametrize("executor", EXECUTORS)
def test_a_superstep_with_a_failing_node_and_a_question_fails(tmp_path, place, store, executor, calls):
    """The failure is what the run reports; the question is asked again once the failing
    node is fixed, and the results of the nodes that succeeded are kept throughout."""

    def spare(state):
        hg.counted("spare")
        return {"notes": ["spare"]}

    extra = {"edges": [("draft", "spare"), ("spare", "publish")]}
    location = place(tmp_path, store)
    failing = hg.build_graph(nodes={"side": hg.broken, "spare": spare}, **extra)
    with pytest.raises(NodeError) as caught:
        run(failing, location, **quiet(executor=executor))
    assert (caught.value.node, caught.value.superstep, len(caught.value.failures)) == ("side", 1, 1)
    assert "node 'side' failed in superstep 1: ValueError: no input" in str(caught.value)
    with pytest.raises(UsageError, match="not waiting for an answer"):
        resume(failing, location, answers={"review": "yes"}, **quiet(executor=executor))
    fixed = hg.build_graph(nodes={"spare": spare}, **extra)
    asked = run(fixed, location, **quiet(executor=executor))
    assert asked.interrupts == [Interrupt("review", 1, QUESTION)]
    done = resume(fixed, location, answers={"review": "yes"}, **quiet(executor=executor))
    assert done.finished and done.state["notes"] == ["spare"] and done.state["count"] == 11
    assert calls == {"draft": 1, "review": 3, "broken": 1, "spare": 1, "side": 1, "publish": 1}


def asks_a_set(state):
    return {"verdict": interrupt({1, 2})}


def routes_by_asking(state):
    return interrupt("where to?")


def test_questions_that_cannot_be_kept_are_refused(tmp_path):
    with pytest.raises(NodeError) as caught:
        run(hg.build_graph(nodes={"review": asks_a_set}), tmp_path / "set", **quiet())
    assert (caught.value.node, caught.value.superstep) == ("review", 1)
    assert "the value node 'review' passed to interrupt() is a set" in str(caught.value)
    graph = hg.build_graph(branches={"draft": (routes_by_asking, ["review"])})
    with pytest.raises(NodeError, match=r"the route of node 'draft' failed in superstep 0: .*outside a node"):
        run(graph, tmp_path / "route", **quiet())
    with pytest.raises(RuntimeFailure, match="interrupt\\(\\) was called outside a node"):
        interrupt("anyone?")


@pytest.mark.parametrize("store", STORES)
def test_a_status_left_over_from_before_the_last_commit_is_ignored(tmp_path, place, store):
    """A process killed after a commit but before it cleared the status record leaves the
    record behind; it names an earlier superstep and must not hold the run up again."""
    location, graph = place(tmp_path, store), hg.build_graph()
    run(graph, location, **quiet())
    waiting = status_text(location)
    resume(graph, location, answers={"review": "yes"}, **quiet(max_supersteps=1))
    opened = open_store(location)
    try:
        held = opened.lock()
        opened.write_status(waiting)
        held.release()
    finally:
        opened.close()
    result = run(graph, location, **quiet())
    assert (result.status, result.completed, result.state["verdict"]) == ("finished", 3, "yes")


@pytest.mark.parametrize("store", STORES)
def test_answers_survive_a_process_killed_mid_superstep(tmp_path, place, store):
    """resume records the answers before it runs; killed before the superstep commits,
    the run goes on with them (a plain run, no new answer)."""
    location = place(tmp_path, store)
    assert run(hg.build_graph(), location, **quiet()).status == "interrupted"
    marker = tmp_path / "answered"
    command = [sys.executable, "-m", "zelk_runtime", "resume", GRAPH, "--store", str(location), "--quiet"]
    command += ["--answer", 'review={"ok": 1}', "--author", "dora", "--executor", "threads"]
    child = subprocess.Popen(
        command, env=os.environ | {"ZELK_TEST_BLOCK": str(marker)}, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE
    )
    try:
        limit = time.monotonic() + 30
        while not marker.exists():
            assert child.poll() is None, child.stderr.read().decode() if child.stderr else ""
            assert time.monotonic() < limit, "the child never reached the answered node"
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
    assert verify(location).completed == 1
    result = run(hg.build_graph(), location, **quiet())
    assert result.finished and result.state["verdict"] == {"ok": 1}
    entry = payloads(location)[1]
    assert answers_of(entry) == {"review": [({"ok": 1}, "dora")]}


# The command line.


@pytest.mark.parametrize("store", STORES)
def test_cli_resume_and_show(tmp_path, place, capsys, store):
    location = str(place(tmp_path, store))
    assert main(["run", GRAPH, "--store", location, "--quiet", "--executor", "sequential"]) == 0
    out = capsys.readouterr().out
    assert "interrupted at superstep 1: node 'review', it asks: " in out and '"publish this?"' in out
    assert "interrupted: 1 supersteps in the store" in out and "resume with:" in out
    assert main(["show", location]) == 0
    out = capsys.readouterr().out
    assert "  0: " in out and "[draft]" in out and "next: [review, side]" in out
    assert "waiting: node 'review' asks in superstep 1: " in out and '"first draft"' in out
    arguments = ["--answer", 'review={"ok": true}', "--update", '{"notes": ["fixed"]}', "--author", "carol"]
    assert main(["resume", GRAPH, "--store", location, "--quiet", "--max-supersteps", "0", *arguments]) == 0
    assert "stopped: 2 supersteps" in capsys.readouterr().out
    assert main(["show", location]) == 0
    out = capsys.readouterr().out
    assert "answers given, used when the run goes on: review={\"ok\":true} by 'carol'" in out
    assert main(["run", GRAPH, "--store", location, "--quiet"]) == 0
    out = capsys.readouterr().out
    assert "continued after superstep 1" in out and "finished: 4 supersteps" in out and '"verdict":{"ok":true}' in out
    assert main(["show", location]) == 0
    out = capsys.readouterr().out
    assert "  1: update by 'carol' at " in out and 'notes=["fixed"]' in out
    assert "[review, side]" in out and "answers: review={\"ok\": true} by 'carol'" in out
    assert "finished: nothing is signalled" in out and "waiting" not in out


@pytest.mark.parametrize(
    "arguments, words",
    [
        (["--answer", "review"], "--answer 'review' is not NODE=JSON"),
        (["--answer", "=1"], "--answer '=1' is not NODE=JSON"),
        (["--answer", "review={"], "the answer for node 'review' is not JSON"),
        (["--answer", "review=1", "--answer", "review=2"], "--answer names node 'review' twice"),
        (["--answer", "side=1"], "node 'side' of store"),
        (["--answer", "nobody=1"], "unknown node 'nobody'"),
        (["--update", "[1]"], "--update must be a JSON object of channel to value"),
        (["--update", "{'a': 1}"], "--update is not JSON"),
        (["--update", '{"nope": 1}'], "channel 'nope'"),
        (["--author", ""], "author must be a non-empty name"),
    ],
)
def test_cli_bad_resumes_are_one_line_and_exit_1(tmp_path, capsys, arguments, words):
    location = str(tmp_path / "run")
    main(["run", GRAPH, "--store", location, "--quiet"])
    capsys.readouterr()
    assert main(["resume", GRAPH, "--store", location, "--quiet", *arguments]) == 1
    error = capsys.readouterr().err
    assert error.startswith("error: ") and words in error and "Traceback" not in error


# The differential test: random graphs whose nodes ask.


def asking(flow: Any, asks: dict[str, int], mode: str) -> Any:
    nodes = {name: (hg.ask_step, (mode, asks.get(name, 0), fn, params)) for name, (fn, params) in flow.nodes.items()}
    return dataclasses.replace(flow, nodes=nodes, reducers={**flow.reducers, "asked": "append", "u": "append"})


def stored(location: Path) -> tuple[list[tuple[str, list[str], Any]], str]:
    """Each superstep's kind, nodes and update, and the last state."""
    from zelk_runtime import load_checkpoint, read_run

    store = open_store(location, create=False)
    try:
        found = read_run(store)
        last = load_checkpoint(store, found, found.completed - 1) if found.completed else ""
    finally:
        store.close()
    return [(p["kind"], p["nodes"], p.get("update")) for p in found.payloads], last


def outcome_of(call: Any) -> tuple[str, Any]:
    try:
        return "ok", call()
    except StepLimitError:
        return "step_limit", None
    except NodeError as error:
        return "node_error", (error.node, error.superstep)


def drive_by_hand(graph: Any, location: Path, data: st.DataObject, executor: str) -> tuple[Any, list[Any]]:
    """Run, answering every question with `reply` over resumed calls stopped at random
    points; fold an update at some stops where no node has asked. Returns the outcome and
    the updates with the number of node supersteps before each."""
    limits = st.none() | st.integers(0, 3)
    updates: list[tuple[int, dict[str, Any]]] = []
    stopped_before: set[tuple[str, int]] = set()
    kind, result = outcome_of(
        lambda: run(graph, location, **quiet(executor=executor, max_supersteps=data.draw(limits)))
    )
    for _ in range(300):
        if kind != "ok" or result.status == "finished":
            return (kind, result if kind != "ok" else "finished"), updates
        options = quiet(executor=executor, max_supersteps=data.draw(limits))
        if result.status == "stopped":
            call = run if data.draw(st.booleans()) else resume
            kind, result = outcome_of(lambda: call(graph, location, **options))  # noqa: B023
            continue
        calls = [item for item in result.interrupts if item.when == "call"]
        for item in result.interrupts:
            assert item.superstep == result.completed - (item.when == "after")
            if item.when == "before":
                assert (item.node, item.superstep) not in stopped_before, "stopped before the same superstep twice"
                stopped_before.add((item.node, item.superstep))
        if data.draw(st.integers(0, 4)) == 0:
            again = run(graph, location, **quiet(executor=executor))
            assert (again.status, again.interrupts, again.head) == ("interrupted", result.interrupts, result.head)
        answers = {item.node: hg.reply(item.value) for item in calls}
        for item in calls:  # every instance of a node asks the same question
            assert hg.reply(item.value) == answers[item.node]
        if len(answers) > 1:
            chosen = data.draw(st.sets(st.sampled_from(sorted(answers)), min_size=1))
            answers = {node: answer for node, answer in answers.items() if node in chosen}
        update = None
        if not calls and data.draw(st.integers(0, 2)) == 0:
            update = {"u": [len(updates)]}
            updates.append((result.completed - len(updates), update))
        kind, result = outcome_of(
            lambda: resume(graph, location, answers=answers, update=update, author="tester", **options)  # noqa: B023
        )
    raise AssertionError("the run did not end within 300 calls")


def drive_at_once(graph: Any, location: Path, updates: list[Any], executor: str) -> Any:
    """Run without stops for people, folding each update after as many node supersteps."""
    points = [count for count, _ in updates]
    first = points[0] if points else None
    kind, result = outcome_of(lambda: run(graph, location, **quiet(executor=executor, max_supersteps=first)))
    for index, (count, update) in enumerate(updates):
        if kind != "ok":
            break
        following = points[index + 1] - count if index + 1 < len(points) else None
        options = quiet(executor=executor, max_supersteps=following)
        kind, result = outcome_of(lambda: resume(graph, location, update=update, **options))  # noqa: B023
    return kind, result if kind != "ok" else result.status


@settings(
    max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture]
)
@given(flows(max_limit=20), st.sampled_from(STORES), st.sampled_from(EXECUTORS), st.data())
def test_answered_by_hand_equals_answered_at_once(place, flow, store, executor, data):
    names = sorted(flow.nodes)
    asks = data.draw(st.dictionaries(st.sampled_from(names), st.integers(1, 2), min_size=1, max_size=4), label="asks")
    stops = {
        "interrupt_before": data.draw(st.lists(st.sampled_from(names), unique=True, max_size=2), label="before"),
        "interrupt_after": data.draw(st.lists(st.sampled_from(names), unique=True, max_size=2), label="after"),
    }
    try:
        human, auto = asking(flow, asks, "human").graph(**stops), asking(flow, asks, "auto").graph()
    except GraphError:
        return  # no start node: the control-flow tests cover the refusal
    with tempfile.TemporaryDirectory() as directory, deadline(120):
        by_hand, at_once = place(directory, store), place(directory, store, "once-")
        outcome, updates = drive_by_hand(human, by_hand, data, executor)
        assert drive_at_once(auto, at_once, updates, executor) == outcome
        assert stored(by_hand) == stored(at_once)
        if outcome != ("ok", "finished"):
            return
        for payload in verify(by_hand).payloads:
            for node, given_answers in payload.get("answers", {}).items():
                assert node in payload["nodes"] and 1 <= len(given_answers) <= asks[node]
                assert {answer["author"] for answer in given_answers} == {"tester"}
