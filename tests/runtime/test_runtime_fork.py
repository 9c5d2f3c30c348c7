"""Fork and history: a store started from the state after a superstep of another.

The differential test forks random graphs' runs at random supersteps (into either kind
of store, and forks of forks) and holds each fork's run to the parent's: the same
supersteps after the fork point, the same final state and cost. The hand cases pin what
the fork records (its parent and the parent's link there), keyed stores, a fork run with
changed code, forks of waiting and updated runs, refusals, and the command line.
"""

from __future__ import annotations

import json
import re
import tempfile
from pathlib import Path
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

zelk_runtime = pytest.importorskip("zelk_runtime")
import human_graphs as hg  # noqa: E402
from runtime_graphs import random_graph  # noqa: E402
from store_kinds import STORES, exists, shown  # noqa: E402
from test_runtime_flow import case_loop, deadline, flows  # noqa: E402
from zelk_runtime import (  # noqa: E402
    AuditError,
    ChangedCodeError,
    Graph,
    GraphError,
    Interrupt,
    NodeError,
    StepLimitError,
    StoreError,
    UsageError,
    fork,
    resume,
    run,
    verify,
)
from zelk_runtime.cli import main  # noqa: E402

KEY = b"fork key"
GRAPH = str(Path(__file__).resolve().parent / "human_graphs.py")


@pytest.fixture(autouse=True)
def no_key_in_the_environment(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.delenv("ZELK_AUDIT_KEY", raising=False)


def quiet(**options: Any) -> dict[str, Any]:
    return {"progress": None, **options}


def history(location: Path, key: bytes | None = None) -> list[tuple[int, str, list[str], Any]]:
    """Each entry's superstep, kind, nodes and what runs next."""
    return [(p["superstep"], p["kind"], p["nodes"], p["next"]) for p in verify(location, audit_key=key).payloads]


def outcome_of(graph: Graph, location: Path, limit: Any = None, **options: Any) -> tuple[str, Any]:
    """Run until the run ends, in calls of `limit()` supersteps (all at once without)."""
    try:
        while True:
            result = run(graph, location, **quiet(max_supersteps=limit() if limit else None, **options))
            if result.status == "finished":
                return "finished", result
    except StepLimitError:
        return "step_limit", None
    except NodeError as error:
        return "node_error", (error.node, error.superstep)


def same_outcome(fork_outcome: tuple[str, Any], parent_outcome: tuple[str, Any]) -> None:
    assert fork_outcome[0] == parent_outcome[0]
    if fork_outcome[0] == "finished":
        mine, theirs = fork_outcome[1], parent_outcome[1]
        assert (mine.state_json, mine.completed, mine.cost) == (theirs.state_json, theirs.completed, theirs.cost)
    else:
        assert fork_outcome[1] == parent_outcome[1]


@settings(
    max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture]
)
@given(
    flows(max_limit=20),
    st.sampled_from(STORES),
    st.sampled_from(STORES),
    st.sampled_from(["sequential", "threads"]),
    st.sampled_from([None, KEY]),
    st.data(),
)
def test_a_fork_goes_on_as_its_parent_did(place, flow, parent_kind, fork_kind, executor, key, data):
    try:
        graph = flow.graph()
    except GraphError:
        return  # no start node
    options = {"executor": executor, "audit_key": key}
    with tempfile.TemporaryDirectory() as directory, deadline(120):
        parent = place(directory, parent_kind)
        expected = outcome_of(graph, parent, **options)
        parent_history, parent_run = history(parent, key), verify(parent, audit_key=key)
        if not parent_history:
            return  # failed in superstep 0: nothing to fork
        at = data.draw(st.integers(0, len(parent_history) - 1), label="fork at")
        into = place(directory, fork_kind, "fork-")
        assert fork(parent, at, into, audit_key=key) == shown(into)
        stored = verify(into, audit_key=key)
        assert (stored.first, stored.completed, stored.entries, stored.keyed) == (at + 1, at + 1, [], key is not None)
        link = parent_run.entries[at].link
        assert stored.manifest["parent"] == {"store": shown(parent), "superstep": at, "link": link}
        forked = outcome_of(graph, into, lambda: data.draw(st.integers(1, 3)), **options)
        same_outcome(forked, expected)
        assert history(into, key) == parent_history[at + 1 :]
        if forked[0] == "finished":
            assert forked[1].head == str(verify(into, audit_key=key).head)
        assert verify(parent, audit_key=key).head == parent_run.head  # the parent is untouched
        # A fork of the fork, at one of its own supersteps.
        if len(parent_history) > at + 1:
            again = data.draw(st.integers(at + 1, len(parent_history) - 1), label="fork the fork at")
            second = place(directory, parent_kind, "second-")
            fork(into, again, second, audit_key=key)
            link = verify(into, audit_key=key).entries[again - at - 1].link
            assert verify(second, audit_key=key).manifest["parent"]["link"] == link
            same_outcome(outcome_of(graph, second, **options), expected)
            assert history(second, key) == parent_history[again + 1 :]


@pytest.mark.parametrize(
    "parent_kind, fork_kind",
    [("run-dir", "run.sqlite"), ("run.sqlite", "run-dir"), ("postgres", "run-dir"), ("run.sqlite", "postgres")],
)
def test_a_fork_carries_the_cost_and_state_of_its_parent(tmp_path, place, parent_kind, fork_kind):
    graph = random_graph(7, [(0, 1), (1, 2), (2, 3), (3, 4), (1, 5), (5, 6)], [("a1", "l1"), ("r1",)])
    parent = place(tmp_path, parent_kind)
    whole = run(graph, parent, **quiet())
    for at in range(whole.completed):
        into = place(tmp_path, fork_kind, f"fork-{at}-")
        fork(parent, at, into)
        result = run(graph, into, **quiet())
        assert (result.state_json, result.cost, result.completed, result.resumed_from) == (
            whole.state_json,
            whole.cost,
            whole.completed,
            at + 1,
        )
        assert verify(into, head=result.head).completed == whole.completed  # the head counts the fork's entries


# Changed code.


def start(state):
    return {"log": ["start"]}


def score(state):
    return {"log": ["score 1"], "n": 1}


def score_changed(state):
    return {"log": ["score 2"], "n": 2}


def finish(state):
    return {"log": ["finish"], "n": 100}


def chain(middle: Any) -> Graph:
    return Graph(
        {"start": start, "score": middle, "finish": finish},
        [("start", "score"), ("score", "finish")],
        reducers={"log": "append", "n": "add"},
        channels=["log", "n"],
    )


@pytest.mark.parametrize("store", STORES)
def test_a_fork_runs_with_changed_code_from_where_it_starts(tmp_path, place, store):
    parent = place(tmp_path, store)
    run(chain(score), parent, **quiet())
    with pytest.raises(ChangedCodeError, match="'score' changed"):
        run(chain(score_changed), parent, **quiet())
    # Forked before score ran: the new score runs, and its fingerprint is recorded.
    early = place(tmp_path, store, "early-")
    fork(parent, 0, early)
    result = run(chain(score_changed), early, **quiet())
    assert result.state == {"log": ["start", "score 2", "finish"], "n": 102}
    changed = chain(score_changed).code()["nodes"]["score"]
    assert verify(early).payload(1)["code"]["nodes"] == {"score": changed}
    with pytest.raises(ChangedCodeError, match="'score' changed"):  # its own history now holds the new code
        run(chain(score), early, **quiet())
    # Forked after score ran: score does not run again, finish runs with the old result.
    late = place(tmp_path, store, "late-")
    fork(parent, 1, late)
    assert run(chain(score_changed), late, **quiet()).state == {"log": ["start", "score 1", "finish"], "n": 101}


@pytest.mark.parametrize("store", STORES)
def test_a_fork_records_each_fingerprint_once(tmp_path, place, store):
    """A fork continued over many calls records a node's code in the entry where it first
    ran, not again in every call."""
    graph = case_loop().graph()
    into = place(tmp_path, store)
    run(graph, tmp_path / "parent", **quiet())
    fork(tmp_path / "parent", 0, into)
    while run(graph, into, **quiet(max_supersteps=1)).status != "finished":
        pass
    recorded = [sorted(p.get("code", {}).get("nodes", {})) for p in verify(into).payloads]
    assert recorded[:3] == [["act"], ["check"], ["plan"]] and not any(recorded[3:])


# Forks of runs that waited or were updated.


@pytest.mark.parametrize("store", STORES)
def test_a_fork_of_a_waiting_run_asks_again_on_its_own(tmp_path, place, store):
    parent, into = place(tmp_path, store), place(tmp_path, store, "fork-")
    graph = hg.build_graph()
    run(graph, parent, **quiet())
    fork(parent, 0, into)
    asked = run(graph, into, **quiet())
    assert asked.interrupts == [Interrupt("review", 1, {"question": "publish this?", "text": "first draft"})]
    assert resume(graph, into, answers={"review": "fork"}, **quiet()).state["verdict"] == "fork"
    assert run(graph, parent, **quiet()).status == "interrupted"  # the parent still waits
    assert resume(graph, parent, answers={"review": "parent"}, **quiet()).state["verdict"] == "parent"


@pytest.mark.parametrize("store", STORES)
def test_a_fork_at_an_update_starts_from_the_updated_state(tmp_path, place, store):
    """Forks at the update entries, one folded before superstep 0 (every start node still
    runs first) and one between supersteps, go on as the parent did."""

    def x(state):
        return {"log": ["x"]}

    def y(state):
        return {"log": ["y"], "n": state.get("n", 0)}

    graph = Graph(
        {"x": x, "y": y},
        [("y", "x")],
        start=["x", "y"],
        reducers={"log": "append"},
        channels=["log", "n"],
        interrupt_before=["x"],
    )
    parent = place(tmp_path, store)
    run(graph, parent, **quiet())
    resume(graph, parent, update={"n": 1}, **quiet())
    final = resume(graph, parent, update={"n": 2}, **quiet())
    assert final.finished and final.state == {"log": ["x", "y", "x"], "n": 2}
    kinds = [(kind, nodes) for _, kind, nodes, _ in history(parent)]
    assert kinds == [("update", []), ("nodes", ["x", "y"]), ("update", []), ("nodes", ["x"])]
    # The fork runs the graph without its interrupts (they are no part of what a store
    # must agree with), so it goes on without the second update.
    plain = Graph({"x": x, "y": y}, [("y", "x")], start=["x", "y"], reducers={"log": "append"}, channels=["log", "n"])
    early = place(tmp_path, store, "early-")
    fork(parent, 0, early)
    assert run(plain, early, **quiet()).state == {"log": ["x", "y", "x"], "n": 1}
    assert [nodes for _, _, nodes, _ in history(early)] == [["x", "y"], ["x"]]
    late = place(tmp_path, store, "late-")
    fork(parent, 2, late)
    assert run(plain, late, **quiet()).state == final.state
    assert history(late) == history(parent)[3:]


# Keyed stores, refusals.


@pytest.mark.parametrize("store", STORES)
def test_forking_a_keyed_store_needs_its_key(tmp_path, place, store):
    parent, into = place(tmp_path, store), place(tmp_path, store, "fork-")
    graph = hg.build_graph(nodes={"review": hg.side})
    whole = run(graph, parent, **quiet(audit_key=KEY))
    with pytest.raises(AuditError, match="needs its audit key"):
        fork(parent, 1, into)
    with pytest.raises(AuditError, match="is not the key of store"):
        fork(parent, 1, into, audit_key=b"another key")
    assert not exists(into)
    fork(parent, 1, into, audit_key=KEY)
    with pytest.raises(AuditError, match="needs its audit key"):
        verify(into)
    assert verify(into, audit_key=KEY).keyed
    assert run(graph, into, **quiet(audit_key=KEY)).state_json == whole.state_json
    assert len(verify(into, audit_key=KEY).entries) == 1
    run(graph, tmp_path / "plain", **quiet())
    with pytest.raises(AuditError, match="unkeyed audit log, but an audit key was given"):
        fork(tmp_path / "plain", 0, tmp_path / "other", audit_key=KEY)


@pytest.mark.parametrize("store", STORES)
def test_bad_forks_are_refused_with_what_the_store_holds(tmp_path, place, store):
    parent = place(tmp_path, store)
    graph = hg.build_graph(nodes={"review": hg.side})
    run(graph, parent, **quiet())
    target = tmp_path / "target"
    for at in (-1, 3, 10, "1", True, 1.0, None):
        with pytest.raises(
            UsageError, match=re.escape(f"store {shown(parent)} holds supersteps 0 to 2; cannot fork at {at!r}")
        ):
            fork(parent, at, target)
    assert not target.exists()
    with pytest.raises(UsageError, match=re.escape(f"store {shown(parent)} is not empty; fork into a new store")):
        fork(parent, 1, parent)
    fork(parent, 1, target)
    with pytest.raises(UsageError, match="is not empty"):
        fork(parent, 0, target)
    with pytest.raises(UsageError, match="holds no superstep of its own yet; cannot fork at 2"):
        fork(target, 2, tmp_path / "next")
    run(graph, target, **quiet())
    words = (
        f"holds supersteps 2 to 2; cannot fork at 1 (it is a fork: superstep 1 is in its parent {shown(parent)}; "
        "fork that)"
    )
    with pytest.raises(UsageError, match=re.escape(words)):
        fork(target, 1, tmp_path / "next")
    with pytest.raises(StoreError, match="does not exist"):
        fork(tmp_path / "missing", 0, tmp_path / "next")
    empty = place(tmp_path, store, "empty-")
    run(graph, empty, **quiet(max_supersteps=0))
    with pytest.raises(UsageError, match="holds no superstep yet; cannot fork at 0"):
        fork(empty, 0, tmp_path / "next")
    assert not (tmp_path / "next").exists()


# The command line.


@pytest.mark.parametrize("store", STORES)
def test_cli_fork_verify_show(tmp_path, place, capsys, store):
    parent, into = str(place(tmp_path, store)), str(tmp_path / "fork")
    graph = ["--quiet", "--executor", "sequential"]
    assert main(["run", GRAPH, "--store", parent, *graph]) == 0
    assert main(["resume", GRAPH, "--store", parent, "--answer", 'review="yes"', "--author", "ann", *graph]) == 0
    capsys.readouterr()
    assert main(["fork", parent, "--superstep", "1", "--into", into]) == 0
    assert capsys.readouterr().out == f"forked {shown(parent)} after superstep 1 into {into}\n"
    assert main(["verify", into]) == 0
    out = capsys.readouterr().out
    link = verify(parent).entries[1].link
    assert "audit chain of 0 entries intact; 1 checkpoints decode" in out
    assert f"forked from {shown(parent)} at superstep 1 (link {link})" in out
    assert main(["show", into]) == 0
    out = capsys.readouterr().out
    assert f"forked from {shown(parent)} after superstep 1" in out and "next: [publish]" in out
    assert main(["run", GRAPH, "--store", into, *graph]) == 0
    assert "continued after superstep 1" in capsys.readouterr().out
    assert main(["show", into]) == 0
    out = capsys.readouterr().out
    assert "  2: " in out and "[publish]" in out and "  1: " not in out and "  0: " not in out
    assert main(["show", into, "--superstep", "1"]) == 0
    base = json.loads(capsys.readouterr().out)
    assert main(["show", parent, "--superstep", "1"]) == 0
    assert json.loads(capsys.readouterr().out) == base and base["verdict"] == "yes"
    assert main(["show", into, "--superstep", "2"]) == 0
    assert json.loads(capsys.readouterr().out)["count"] == 11
    assert main(["show", into, "--superstep", "0"]) == 1
    assert f"superstep 0 is not in {into} (it holds supersteps 1 to 2)" in capsys.readouterr().err
    assert main(["verify", parent]) == 0
    for arguments, words in [
        (
            ["fork", parent, "--superstep", "5", "--into", str(tmp_path / "x")],
            "holds supersteps 0 to 2; cannot fork at 5",
        ),
        (["fork", parent, "--superstep", "0", "--into", into], "is not empty; fork into a new store"),
        (["fork", str(tmp_path / "missing"), "--superstep", "0", "--into", str(tmp_path / "x")], "does not exist"),
    ]:
        assert main(arguments) == 1
        error = capsys.readouterr().err
        assert error.startswith("error: ") and words in error and "Traceback" not in error
