"""Safety of a run: nodes read a state they cannot change, code that changed since it ran
is caught, channels are declared, every failing node is reported with its traceback, and
values the state cannot hold (bad costs, deep nesting, cycles) are refused naming node,
channel and superstep."""

from __future__ import annotations

import contextlib
import copy
import json
import math
import os
import pickle
import re
import signal
import sys
import threading
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

zelk_runtime = pytest.importorskip("zelk_runtime")
from store_kinds import STORES, shown  # noqa: E402
from zelk_runtime import (  # noqa: E402
    ChangedCodeError,
    Graph,
    NodeError,
    Output,
    Send,
    UsageError,
    interrupt,
    read_run,
    resume,
    run,
    verify,
)
from zelk_runtime import view as state_view  # noqa: E402
from zelk_runtime.cli import load_graph_file, main  # noqa: E402
from zelk_runtime.runner import instance_node  # noqa: E402
from zelk_runtime.stores import open_store  # noqa: E402

READ_ONLY = "the state a node reads is read-only"


@pytest.fixture(params=["sequential", "threads", "ray"])
def executor(request: pytest.FixtureRequest) -> str:
    if request.param == "ray":
        request.getfixturevalue("ray_cluster")
    return str(request.param)


@pytest.fixture
def graph_files(monkeypatch: pytest.MonkeyPatch) -> None:
    """Loading a graph file puts its folder on sys.path; keep that to the test."""
    monkeypatch.setattr(sys, "path", list(sys.path))


@contextlib.contextmanager
def within(seconds: float) -> Iterator[None]:
    """Fail instead of hanging (the main thread gets SIGALRM)."""

    def expired(*_: object) -> None:
        raise AssertionError(f"still running after {seconds} s")

    previous = signal.signal(signal.SIGALRM, expired)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


# The read-only view against plain values. Which methods change a dict or a list is found
# by calling every method of a plain one with a few arguments, so no mutator can hide.

SAMPLES: dict[type, Any] = {dict: {"k": 0, "a": [2]}, list: [3, 0, 2, 1]}
ARGUMENTS: list[tuple[Any, ...]] = [
    (),
    ("k",),
    ("new",),
    ("new", 1),
    (0,),
    (1,),
    (2,),
    (0, 5),
    ([1],),
    ({"new": 1},),
    (slice(None),),
    (slice(0, 0), [1]),
]
NOT_METHODS = {"__new__", "__init_subclass__", "__subclasshook__", "__class_getitem__", "__class__", "fromkeys"}


def find_mutations(kind: type) -> list[tuple[str, tuple[Any, ...]]]:
    found = []
    for name in sorted(dir(kind)):
        if name in NOT_METHODS or not callable(getattr(kind, name)):
            continue
        for arguments in ARGUMENTS:
            plain = copy.deepcopy(SAMPLES[kind])
            before = repr(plain)
            with contextlib.suppress(Exception):
                getattr(plain, name)(*arguments)
            if repr(plain) != before:
                found.append((name, arguments))
    return found


MUTATIONS = {kind: find_mutations(kind) for kind in SAMPLES}


def test_the_search_finds_the_mutating_methods():
    names = {kind: {name for name, _ in found} for kind, found in MUTATIONS.items()}
    assert {"__setitem__", "__delitem__", "__ior__", "clear", "pop", "popitem", "setdefault", "update"} <= names[dict]
    assert {"__setitem__", "__delitem__", "__iadd__", "__imul__", "append", "extend", "insert", "pop"} <= names[list]
    assert {"remove", "clear", "sort", "reverse", "__init__"} <= names[list] and "__init__" in names[dict]
    assert {"get", "keys", "copy", "__getitem__", "__or__"}.isdisjoint(names[dict])


def containers(value: Any) -> list[Any]:
    found, stack = [], [value]
    while stack:
        item = stack.pop()
        if isinstance(item, dict):
            found.append(item)
            stack.extend(item.values())
        elif isinstance(item, list):
            found.append(item)
            stack.extend(item)
    return found


def assert_read_only(value: Any) -> None:
    """Every container inside `value` is a view, and every mutating call raises TypeError
    with the advice and leaves the whole value as it was."""
    text = json.dumps(value)
    for item in containers(value):
        kind = dict if isinstance(item, dict) else list
        assert type(item) is (state_view.StateDict if kind is dict else state_view.StateList)
        for name, arguments in MUTATIONS[kind]:
            with pytest.raises(TypeError, match=READ_ONLY):
                getattr(item, name)(*arguments)
            assert json.dumps(value) == text, f"{name}{arguments} changed the view"


json_values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(-(2**63), 2**64 - 1)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(max_size=4),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=3), inner, max_size=4),
    max_leaves=12,
)


@settings(max_examples=150, deadline=None)
@given(json_values)
def test_a_loaded_view_is_the_json_value_and_refuses_every_change(value):
    text = json.dumps(value, ensure_ascii=False)
    loaded = state_view.load(text)
    assert loaded == json.loads(text)
    assert json.dumps(loaded, ensure_ascii=False) == text  # members keep their order
    assert_read_only(loaded)
    travelled = pickle.loads(pickle.dumps(loaded))  # as the Ray executor ships it
    assert travelled == loaded and json.dumps(travelled, ensure_ascii=False) == text
    assert_read_only(travelled)
    thawed = copy.deepcopy(loaded)  # a plain copy changes freely, the view stays
    assert thawed == loaded and all(type(item) in (dict, list) for item in containers(thawed))
    for item in containers(thawed):
        item.clear()
    assert json.dumps(loaded, ensure_ascii=False) == text


def test_a_duplicate_member_loads_as_json_reads_it():
    for text in ['{"a": [1], "a": 2}', '{"a": 2, "a": [1]}', '[{"b": {"c": []}, "b": [[]]}]']:
        assert state_view.load(text) == json.loads(text)
        assert_read_only(state_view.load(text))


# Nodes that try to change what they read, on every executor: the state (top level and
# nested), a Send argument and an interrupt answer.

CHANGES = [
    lambda value: value.__setitem__("new", 1),
    lambda value: value.update(doc=None),
    lambda value: value.pop("doc"),
    lambda value: value["doc"]["items"].append(3),
    lambda value: value["doc"]["meta"].setdefault("other", 1),
    lambda value: value["doc"].__delitem__("meta"),
    lambda value: value["grid"][0].sort(),
    lambda value: value["grid"].__iadd__([[9]]),
    lambda value: value["grid"][1].__init__([7]),
    lambda value: value.__init__(doc=None),
]


def attempt(value: Any, changes: list[Any]) -> list[str]:
    before = json.dumps(value)
    outcome = []
    for change in changes:
        try:
            change(value)
            outcome.append("changed")
        except TypeError as error:
            outcome.append("refused" if READ_ONLY in str(error) else f"TypeError: {error}")
        if json.dumps(value) != before:
            outcome[-1] += " but changed"
    return outcome


def tamper(state):
    return {"tamper": attempt(state, CHANGES)}


def spread(state):
    arg = {"doc": {"items": [1], "meta": {}}, "grid": [[2, 1], [0]]}
    return [Send("each", arg), Send("each", arg)]


def each(state, arg):
    return {"each": [attempt(arg, CHANGES)]}


def ask(state):
    answer = interrupt("which document?")
    return {"ask": attempt(answer, CHANGES)}


def read_only_graph() -> Graph:
    return Graph(
        {"tamper": tamper, "spread": spread, "each": each, "ask": ask},
        sends={"spread": ["each"]},
        reducers={"each": "append"},
        channels=["tamper", "each", "ask"],
        initial_state={"doc": {"items": [1, 2], "meta": {"k": "v"}}, "grid": [[3, 1], [2]]},
    )


@pytest.mark.parametrize("store", STORES)
def test_every_executor_refuses_every_change_alike(tmp_path, place, executor, store):
    graph = read_only_graph()
    location = place(tmp_path, store)
    waiting = run(graph, location, executor=executor, progress=None)
    assert waiting.status == "interrupted" and [item.node for item in waiting.interrupts] == ["ask"]
    answer = {"doc": {"items": [5], "meta": {}}, "grid": [[1, 0], []]}
    result = resume(graph, location, answers={"ask": answer}, executor=executor, progress=None)
    assert result.finished
    state = result.state
    assert state["tamper"] == state["ask"] == ["refused"] * len(CHANGES)
    assert state["each"] == [["refused"] * len(CHANGES)] * 2
    assert state["doc"] == {"items": [1, 2], "meta": {"k": "v"}} and state["grid"] == [[3, 1], [2]]


# Code fingerprints: a node whose code changed after it ran is refused by name.

GRAPH_FILE = """
from zelk_runtime import Graph


def first(state):
    return {"log": ["first"]}


def second(state):
    return {"log": ["second"]}


def third(state):
    return {"log": ["third"]}


graph = Graph(
    [first, second, third],
    [("first", "second"), ("second", "third")],
    reducers={"log": "append"},
    channels=["log"],
)
"""
CHANGED_FILE = (
    GRAPH_FILE.replace('["first"]', '["first, changed"]')
    .replace('["third"]', '["third, changed"]')
    .replace("def second(state):", "def second(state):  # a comment is no change")
)


def write(path: Path, text: str) -> str:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)
    return str(path)


def entries(location: Path) -> list[dict[str, Any]]:
    store = open_store(location, create=False)
    try:
        return read_run(store).payloads
    finally:
        store.close()


@pytest.mark.parametrize("store", STORES)
def test_changed_code_is_refused_by_name_and_accepted_on_request(tmp_path, place, graph_files, store):
    location = place(tmp_path, store)
    path = write(tmp_path / "graph" / "graph.py", GRAPH_FILE)
    before = load_graph_file(path).code()["nodes"]
    assert run(load_graph_file(path), location, progress=None, max_supersteps=1).completed == 1
    write(tmp_path / "graph" / "graph.py", CHANGED_FILE)
    changed = load_graph_file(path)
    after = changed.code()["nodes"]
    assert after["second"] == before["second"]
    assert after["first"] != before["first"] and after["third"] != before["third"]
    with pytest.raises(ChangedCodeError) as caught:
        run(changed, location, progress=None)
    # `third` changed too, but it never ran: nothing of the old code is in the state.
    assert caught.value.nodes == ["first"]
    message = str(caught.value)
    assert "the code of 'first' changed since it ran" in message and shown(location) in message
    assert "allow_changed_code=True" in message and "'third'" not in message
    assert verify(location).completed == 1
    result = run(changed, location, progress=None, allow_changed_code=True)
    assert result.finished and result.state == {"log": ["first", "second", "third, changed"]}
    payloads = entries(location)
    # The superstep after the acceptance says so, and records the fingerprint it went on with.
    assert payloads[1]["nodes"] == ["second"]
    assert payloads[1]["changed_code"] == ["first"] and payloads[1]["code"] == {"nodes": {"first": after["first"]}}
    assert "changed_code" not in payloads[2] and payloads[2]["code"] == {"nodes": {"third": after["third"]}}
    assert run(changed, location, progress=None).finished  # accepted once, for good
    with pytest.raises(ChangedCodeError) as caught:  # and going back is a change again
        run(load_graph_file(write(tmp_path / "graph" / "graph.py", GRAPH_FILE)), location, progress=None)
    assert caught.value.nodes == ["first", "third"]


def asker(state):
    return {"answer": interrupt("go on?")}


def worker(state):
    return {"work": 1}


def worker_changed(state):
    return {"work": 2}


@pytest.mark.parametrize("store", STORES)
def test_a_recorded_result_counts_as_having_run(tmp_path, place, store):
    """A node whose result was recorded in a superstep that did not commit (here: another
    node asked a question) ran with the old code: its result would be folded as it is."""
    location = place(tmp_path, store)

    def graph(work: Any) -> Graph:
        return Graph({"asker": asker, "worker": work}, channels=["answer", "work"])

    assert run(graph(worker), location, progress=None).status == "interrupted"
    with pytest.raises(ChangedCodeError) as caught:
        resume(graph(worker_changed), location, answers={"asker": "yes"}, progress=None)
    assert caught.value.nodes == ["worker"]
    result = resume(graph(worker_changed), location, answers={"asker": "yes"}, progress=None, allow_changed_code=True)
    assert result.state == {"answer": "yes", "work": 1}  # the recorded result, not run again
    assert entries(location)[0]["changed_code"] == ["worker"]


def test_changed_code_on_the_command_line(tmp_path, graph_files, capsys):
    location = str(tmp_path / "run.db")
    path = write(tmp_path / "graph" / "graph.py", GRAPH_FILE)
    assert main(["run", path, "--store", location, "--max-supersteps", "1", "--quiet"]) == 0
    write(tmp_path / "graph" / "graph.py", CHANGED_FILE)
    capsys.readouterr()
    assert main(["run", path, "--store", location, "--quiet"]) == 1
    error = capsys.readouterr().err
    assert error.startswith("error: the code of 'first' changed") and "--allow-changed-code" in error
    assert "Traceback" not in error
    assert main(["run", path, "--store", location, "--quiet", "--allow-changed-code"]) == 0
    assert '"third, changed"' in capsys.readouterr().out
    assert main(["show", location]) == 0
    assert "changed code: first" in capsys.readouterr().out


# Channels: a write to one the graph does not declare names node, superstep and channel.


def start(state):
    return {"total": 1}


def typo(state):
    return {"totl": 2}


def fan(state):
    return [Send("item", 1)]


def item(state, arg):
    return {"lgo": [arg]}


@pytest.mark.parametrize("store", STORES)
@pytest.mark.parametrize(
    "nodes, words",
    [
        (
            {"typo": typo},
            "node 'typo' wrote channel 'totl' in superstep 1, which the graph does not declare (did you mean 'total'?)",
        ),
        (
            {"fan": fan, "item": item},
            "node 'item' wrote channel 'lgo' in superstep 2, which the graph does not declare (did you mean 'log'?)",
        ),
    ],
)
def test_an_undeclared_channel_is_refused_with_a_suggestion(tmp_path, place, store, nodes, words):
    first = next(iter(nodes))
    graph = Graph(
        {"start": start, **nodes},
        [("start", first)],
        sends={"fan": ["item"]} if "fan" in nodes else None,
        channels=["total", "log"],
        reducers={"log": "append"},
    )
    location = place(tmp_path, store)
    with pytest.raises(NodeError) as caught:
        run(graph, location, progress=None)
    assert words in str(caught.value) and caught.value.node == words.split("'")[1]
    with pytest.raises(UsageError, match=r"the update writes channel 'totl', .*\(did you mean 'total'\?\)"):
        resume(graph, location, update={"totl": 3}, progress=None)


# Failures: every failing node of a superstep, each with the traceback of where it ran.


def fails_here(state):
    raise ValueError("first problem")


def helper_that_fails(value):
    return value["missing"]


def fails_deeper(state):
    return {"total": helper_that_fails(state)}


def returns_a_list(state):
    return [1, 2]


def succeeds(state):
    return {"log": ["fine"]}


FAILING = {
    "start": start,
    "a_raise": fails_here,
    "b_deeper": fails_deeper,
    "c_list": returns_a_list,
    "d_fine": succeeds,
}


def failing_graph() -> Graph:
    later = [name for name in FAILING if name != "start"]
    return Graph(FAILING, [("start", name) for name in later], channels=["total", "log"], reducers={"log": "append"})


def test_every_failing_node_is_reported_with_its_traceback(tmp_path, executor):
    with pytest.raises(NodeError) as caught:
        run(failing_graph(), tmp_path / "run.sqlite", executor=executor, progress=None)
    error = caught.value
    assert (error.node, error.superstep) == ("a_raise", 1)
    assert [(failure.node, failure.superstep) for failure in error.failures] == [
        ("a_raise", 1),
        ("b_deeper", 1),
        ("c_list", 1),
    ]
    assert str(error).startswith("3 nodes failed in superstep 1: ")
    raised, deeper, listed = error.failures
    assert "ValueError: first problem" in raised.message and isinstance(raised.error, ValueError)
    assert 'raise ValueError("first problem")' in raised.traceback and "in fails_here" in raised.traceback
    assert "KeyError: 'missing'" in deeper.message
    assert "in fails_deeper" in deeper.traceback and "in helper_that_fails" in deeper.traceback
    assert "returned a list" in listed.message and listed.traceback is None
    text = error.tracebacks()
    assert text.count("Traceback (most recent call last)") == 2 and "--- node 'c_list', superstep 1" in text
    assert verify(tmp_path / "run.sqlite").completed == 1


FAILING_FILE = """
from zelk_runtime import Graph


def start(state):
    return {"n": 1}


def one(state):
    raise RuntimeError("one went wrong")


def two(state):
    return {"n": 1 / 0}


graph = Graph([start, one, two], [("start", "one"), ("start", "two")], channels=["n"])
"""


def test_the_command_line_prints_every_failure(tmp_path, graph_files, capsys):
    path = write(tmp_path / "graph" / "failing.py", FAILING_FILE)
    assert main(["run", path, "--store", str(tmp_path / "run"), "--quiet"]) == 1
    error = capsys.readouterr().err
    assert error.startswith("error: 2 nodes failed in superstep 1: ")
    assert "--- node 'one', superstep 1" in error and "--- node 'two', superstep 1" in error
    assert 'raise RuntimeError("one went wrong")' in error and "ZeroDivisionError: division by zero" in error
    assert error.count("Traceback (most recent call last)") == 2 and "in one" in error and "in two" in error


def holds_a_lock(state):
    return {"total": threading.Lock()}


def far_too_deep(state):
    return {"log": nested(100_000)}


def test_a_result_that_cannot_travel_or_be_kept_fails_its_node_on_every_executor(tmp_path, executor):
    """On Ray a result has to be pickled to travel back; one that cannot be fails its own
    node there, as the JSON check fails it elsewhere; the other nodes' results are kept."""
    nodes = {"start": start, "a_lock": holds_a_lock, "b_deep": far_too_deep, "c_fine": succeeds}
    graph = Graph(nodes, [("start", name) for name in nodes if name != "start"], channels=["total", "log"])
    with within(60), pytest.raises(NodeError) as caught:
        run(graph, tmp_path / "run", executor=executor, progress=None)
    failures = caught.value.failures
    assert [(failure.node, failure.superstep) for failure in failures] == [("a_lock", 1), ("b_deep", 1)]
    if executor == "ray":
        assert all("its result cannot travel back from the Ray worker" in failure.message for failure in failures)
    else:
        assert "the update of node 'a_lock'['total'] is a lock" in failures[0].message
        assert "the update of node 'b_deep'['log'][0]" in failures[1].message
    assert recorded_nodes(tmp_path / "run", 1) == ["c_fine"]


def recorded_nodes(location: Path, superstep: int) -> list[str]:
    store = open_store(location, create=False)
    try:
        return sorted(instance_node(key) for key in store.results(superstep))
    finally:
        store.close()


def exits(state):
    os._exit(3)


def test_a_node_that_ends_its_ray_worker_fails_by_name(tmp_path, ray_cluster):
    graph = Graph(
        {"start": start, "exits": exits, "fine": succeeds},
        [("start", "exits"), ("start", "fine")],
        channels=["total", "log"],
    )
    with pytest.raises(NodeError) as caught:
        run(graph, tmp_path / "run", executor="ray", progress=None)
    assert (caught.value.node, caught.value.superstep) == ("exits", 1)
    assert "the Ray task running it failed: WorkerCrashedError" in str(caught.value)
    assert recorded_nodes(tmp_path / "run", 1) == ["fine"]


# Costs.


@pytest.mark.parametrize("cost", [-1, -0.5, math.nan, -math.inf, True, None])
def test_a_negative_or_non_finite_cost_is_refused(tmp_path, cost):
    def costly(state):
        return Output({"log": ["spent"]}, cost=cost)

    graph = Graph({"start": start, "costly": costly}, [("start", "costly")], channels=["total", "log"])
    with pytest.raises(NodeError) as caught:
        run(graph, tmp_path / "run", progress=None)
    assert (caught.value.node, caught.value.superstep) == ("costly", 1)
    assert f"node 'costly' reported the cost {cost!r} in superstep 1; a cost is a finite number, not negative" in str(
        caught.value
    )
    assert run(
        Graph({"start": start, "costly": succeeds}, [("start", "costly")], channels=["total", "log"]),
        tmp_path / "run",
        progress=None,
    ).finished


# Nesting: a channel value may nest 125 containers, the module's limit less the update's
# own two levels; one more is refused naming node, channel and superstep, however deep
# (or cyclic) it is, and never as a RecursionError.


def nested(levels: int, leaf: Any = 1) -> Any:
    value = leaf
    for _ in range(levels):
        value = [value]
    return value


def cyclic_list() -> list[Any]:
    value: list[Any] = [1]
    value.append(value)
    return value


def cyclic_dict() -> dict[str, Any]:
    value: dict[str, Any] = {"a": 1}
    value["self"] = value
    return value


@pytest.mark.parametrize("store", STORES)
def test_a_value_nested_to_the_limit_is_kept(tmp_path, place, store):
    deepest = nested(125)

    def write_deep(state):
        return Output({"deep": deepest}, sends=[Send("receive", deepest)])

    def receive(state, arg):
        return {"log": [arg == state["deep"] == deepest]}

    def ask_deep(state):
        return {"log": [interrupt("deep?") == deepest]}

    graph = Graph(
        {"write_deep": write_deep, "receive": receive, "ask_deep": ask_deep},
        [("write_deep", "ask_deep")],
        sends={"write_deep": ["receive"]},
        channels=["deep", "log"],
        reducers={"log": "append"},
    )
    location = place(tmp_path, store)
    assert run(graph, location, progress=None).status == "interrupted"
    result = resume(graph, location, answers={"ask_deep": deepest}, progress=None)
    assert result.state == {"deep": deepest, "log": [True, True]}
    assert verify(location).completed == 2


def deep_update(state):
    return {"ok": 1, "deep": nested(126)}


def very_deep_update(state):
    return {"deep": nested(100_000)}


def cyclic_update(state):
    return {"deep": cyclic_list()}


def cyclic_dict_update(state):
    return {"deep": {"inner": cyclic_dict()}}


def cyclic_send(state):
    return Send("target", cyclic_list())


def cyclic_question(state):
    interrupt(cyclic_dict())


@pytest.mark.parametrize(
    "node, words",
    [
        (deep_update, "the update of node 'node'['deep'][0][0][0][0][0][0][0][...] nests containers deeper than 125"),
        (very_deep_update, "the update of node 'node'['deep'][0][0][0][0][0][0][0][...] nests containers deeper"),
        (cyclic_update, "the update of node 'node'['deep'][1][1][1][1][1][1][1][...] nests containers deeper"),
        (cyclic_dict_update, "the update of node 'node'['deep']['inner']['self']['self']['self']['self']['self']"),
        (cyclic_send, "the argument node 'node' sent to 'target'[1][1][1][1][1][1][1][1][...] nests containers"),
        (cyclic_question, "the value node 'node' passed to interrupt()['self']['self']"),
    ],
)
def test_too_deep_or_cyclic_values_are_refused_naming_their_place(tmp_path, node, words):
    graph = Graph(
        {"node": node, "target": lambda state, arg: None},
        sends={"node": ["target"]},
        channels=["ok", "deep"],
    )
    with within(10), pytest.raises(NodeError) as caught:
        run(graph, tmp_path / "run", progress=None)
    message = str(caught.value)
    assert (caught.value.node, caught.value.superstep) == ("node", 0)
    assert words in message and message.endswith("more than JSON state can hold (superstep 0)")
    assert len(message) < 300
    with within(10), pytest.raises(UsageError, match=r"the update\['deep'\]\[0\].*\[\.\.\.\] nests containers deeper"):
        resume(graph, tmp_path / "run", update={"deep": nested(126)}, progress=None)


def returns_itself(state):
    return cyclic_list()


def sends_itself(state):
    sends: list[Any] = [Send("target", 1)]
    sends.append(sends)
    return Output({"ok": 1}, sends=sends)


@pytest.mark.parametrize(
    "node, words",
    [
        (returns_itself, "node 'node' returned a list; a node returns a dict of channel to value"),
        (sends_itself, "node 'node' sent [Send(node='target', arg=1), [...]], which is not a Send"),
    ],
)
def test_a_node_returning_a_list_that_holds_itself_is_refused(tmp_path, node, words):
    graph = Graph({"node": node, "target": lambda state, arg: None}, sends={"node": ["target"]}, channels=["ok"])
    with within(10), pytest.raises(NodeError, match=re.escape(words)):
        run(graph, tmp_path / "run", progress=None)
