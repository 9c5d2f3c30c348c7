"""Control flow (loops, branches, Sends) against a plain-Python interpreter of the rule.

flow_reference.run_reference is written from the rule alone; these tests check it against
the module where they can (reducers, static plans) and against hand-worked traces, then
run the runtime on random and hand-made graphs and compare every superstep's nodes, what
was signalled or sent after it, and the final state. The runtime's names are imported
inside the tests, so the reference's own checks run whatever the runtime provides.
"""

from __future__ import annotations

import contextlib
import dataclasses
import json
import signal
import tempfile
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import flow_graphs as fg
import pytest
import zelk_core
from flow_graphs import Flow
from flow_reference import (
    INT_MAX,
    INT_MIN,
    BadRoute,
    FlowError,
    NoStart,
    RefusedWrite,
    Trace,
    json_copy,
    reduce_value,
)
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from store_kinds import STORES


def canonical(value: Any) -> str:
    """Text that tells 1 from 1.0 and -0.0 from 0.0, members in order."""
    return json.dumps(value, sort_keys=True)


# Reducers: the reference's against the module's.

numbers = st.one_of(
    st.integers(-10, 10),
    st.integers(INT_MIN, INT_MAX),
    st.integers(-20, 20).map(lambda half: half / 2),
    st.floats(allow_nan=False, allow_infinity=False),
    st.sampled_from([-0.0, 2.0**53 + 2, 2.0**63, -(2.0**63), 2.0**64, 2.0**64 - 2048, 1e16, 1e20, 1e308, -1e308]),
)
json_values = st.recursive(
    st.none() | st.booleans() | numbers | st.text(max_size=3),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=2), inner, max_size=3),
    max_leaves=6,
)
reducer_names = st.sampled_from(["add", "append", "last_value", "keep"])


@settings(max_examples=600, deadline=None)
@given(reducer_names, json_values, json_values)
def test_reference_reducers_agree_with_the_module(reducer, current, update):
    module = json.loads(zelk_core.reduce_channel(reducer, json.dumps(current), json.dumps(update)))
    assert canonical(reduce_value(reducer, current, update)) == canonical(module)


@settings(max_examples=300, deadline=None)
@given(
    st.dictionaries(st.sampled_from("abc"), json_values, max_size=3),
    st.dictionaries(st.sampled_from("abcd"), reducer_names, max_size=4),
    st.lists(st.none() | st.dictionaries(st.sampled_from("abcd"), json_values, max_size=3), max_size=4),
)
def test_reference_fold_of_a_superstep_agrees_with_the_module(state, reducers, updates):
    folded = dict(state)
    for update in updates:
        for channel in sorted(update or {}):
            folded[channel] = reduce_value(reducers.get(channel), folded.get(channel), update[channel])
    module = zelk_core.advance_superstep(json.dumps(state), json.dumps(reducers), json.dumps(updates))
    assert canonical(folded) == canonical(json.loads(module))


# Random graphs.

NAMES = ("plan", "Act", "b", "c10", "c2", "é", "Zed", "m", "ñu", "x")
REDUCERS = {"ticks": "add", "a": "add", "f": "add", "l": "append", "m": "append", "v": "last_value", "w": "keep"}
SHARED = ("a", "f", "l", "m", "v", "w")
INITIAL = {"a": st.just(5), "f": st.just(0.5), "l": st.just("seed"), "m": st.none(), "v": st.just({"by": -1})}


@st.composite
def flows(draw: st.DrawFn, max_nodes: int = 7, max_limit: int = 30) -> Flow:
    """Static edges (mostly forward, a few back: loops), branches whose routes read the
    ticks so loops end, senders whose Sends depend on the state, shared and own channels."""
    size = draw(st.integers(1, max_nodes))
    names = draw(st.permutations(NAMES))[:size]
    # Up to two Send targets (never every node), at least one in about half the graphs.
    most = min(2, size - 1)
    fewest = min(1, most) if draw(st.booleans()) else 0
    targets = draw(st.lists(st.sampled_from(names), unique=True, min_size=fewest, max_size=most))
    plain = [name for name in names if name not in targets]
    sends: dict[str, list[str]] = {}
    for target in targets:
        for sender in draw(st.lists(st.sampled_from(names), min_size=1, max_size=2, unique=True)):
            sends.setdefault(sender, []).append(target)

    pairs = st.tuples(st.integers(0, size - 1), st.integers(0, size - 1))
    linked = st.booleans()
    forward = {(names[i], names[j]) for i in range(size) for j in range(i + 1, size) if draw(linked)}
    back = {(names[i], names[j]) for i, j in draw(st.lists(pairs, max_size=2)) if i >= j}
    edges = tuple(sorted((before, after) for before, after in forward | back if after not in targets))

    branches = {}
    for name in draw(st.lists(st.sampled_from(names), unique=True, max_size=2)):
        declared = tuple(draw(st.lists(st.sampled_from(plain), min_size=1, max_size=3, unique=True)))
        live, bound = draw(st.integers(1, len(declared))), draw(st.integers(4, 20))
        branches[name] = (fg.route, (declared, live, bound), declared)

    pool = SHARED + (("x",) if draw(st.booleans()) else ())
    nodes = {}
    for index, name in enumerate(names):
        writes = tuple(draw(st.lists(st.sampled_from(pool), unique=True, max_size=3)))
        if draw(st.booleans()):
            writes += (f"r{index}",)
        # A Send target that sends keeps its ticks (an Output), so its instances stop multiplying.
        form = fg.AS_OUTPUT if name in targets else draw(st.sampled_from([fg.AS_LIST, fg.AS_OUTPUT, fg.AS_SINGLE]))
        recipe = (index, writes, tuple(sends.get(name, ())), draw(st.integers(4, 20)), form)
        nodes[name] = (fg.step, recipe)

    start = draw(st.none() | st.lists(st.sampled_from(plain), min_size=1, max_size=2, unique=True).map(tuple))
    # Keep a few graphs without a default start (the runtime refuses them); name one otherwise.
    led = {after for _, after in edges} | set(targets) | {t for _, _, found in branches.values() for t in found}
    if start is None and set(names) <= led and draw(st.integers(0, 3)) < 3:
        start = (draw(st.sampled_from(plain)),)
    channels = (*REDUCERS, "x", *(f"r{index}" for index in range(size)))
    return Flow(
        nodes,
        edges,
        branches=branches,
        sends={sender: tuple(found) for sender, found in sends.items()},
        reducers=REDUCERS,
        channels=channels,
        initial_state=draw(st.fixed_dictionaries({}, optional=INITIAL)),
        start=start,
        step_limit=draw(st.integers(3, max_limit)),
        replace_names=("keep",),
    )


def led_to(flow: Flow) -> set[str]:
    targets = {target for _, _, declared in flow.branches.values() for target in declared}
    return {after for _, after in flow.edges} | targets | {t for found in flow.sends.values() for t in found}


def reference_or_error(flow: Flow) -> Trace | FlowError | NoStart:
    try:
        return flow.reference()
    except (FlowError, NoStart) as error:
        return error


# The reference against itself and the module's static plans.

dags = st.integers(1, 9).flatmap(
    lambda size: st.tuples(
        st.permutations(NAMES).map(lambda names: names[:size]),
        st.lists(st.tuples(st.integers(0, size - 1), st.integers(0, size - 1)), max_size=3 * size),
    )
)


@settings(max_examples=300, deadline=None)
@given(dags)
def test_reference_runs_a_static_dag_as_the_modules_plan(shape):
    names, pairs = shape
    edges = sorted({(names[i], names[j]) for i, j in pairs if i < j})
    flow = Flow({name: (fg.note, (name,)) for name in names}, tuple(edges), reducers={"log": "append"})
    trace = flow.reference()
    plan = zelk_core.plan_supersteps(list(names), edges)
    assert trace.supersteps == plan
    assert trace.state["log"] == [name for step in plan for name in step]
    assert trace.status == "finished" and trace.nexts[-1] == {"nodes": [], "sends": []}


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(flows())
def test_reference_traces_hold_together(flow):
    """Every superstep runs what the one before left signalled (a subset: the rest waits)
    and every Send it left pending, in fold order; a finished run leaves nothing; a run
    stopped by its limit ran exactly that many supersteps."""
    trace = reference_or_error(flow)
    if isinstance(trace, NoStart):
        assert flow.start is None and set(flow.nodes) <= led_to(flow)
        return
    if isinstance(trace, FlowError):
        assert isinstance(trace, RefusedWrite) and trace.channel == "x"
        trace = trace.trace
    for before, ran in zip(trace.nexts, trace.supersteps[1:], strict=False):
        sent = [target for target, _ in before["sends"]]
        assert ran and ran == sorted(ran)
        assert set(ran) - set(sent) <= set(before["nodes"])
        assert [name for name in ran if name in sent] == sorted(sent)
    if trace.status == "finished":
        assert trace.nexts[-1] == {"nodes": [], "sends": []}
    elif trace.status == "step_limit":
        assert len(trace.supersteps) == flow.step_limit


# Hand cases: each graph pins one part of the rule, its trace worked out by hand.

LOG = {"log": "append"}


def case_dag() -> Flow:
    nodes = {name: (fg.note, (name,)) for name in ("fetch", "rank", "answer", "Audit", "b")}
    return Flow(nodes, (("fetch", "rank"), ("rank", "answer"), ("fetch", "answer"), ("b", "answer")), reducers=LOG)


def case_uneven_diamond() -> Flow:
    nodes = {name: (fg.note, (name,)) for name in "abcde"}
    edges = (("a", "b"), ("b", "c"), ("c", "d"), ("a", "d"), ("a", "e"), ("e", "d"))
    return Flow(nodes, edges, reducers=LOG)


def case_loop(gain: float = 1, threshold: float = 3) -> Flow:
    """plan -> act -> check, and check's route goes back to plan until the score passes."""
    return Flow(
        {"plan": (fg.note, ("plan",)), "act": (fg.score, (gain,)), "check": (fg.note, ("check",))},
        (("plan", "act"), ("act", "check")),
        branches={"check": (fg.until, ("score", threshold, "plan"), ("plan",))},
        reducers={"score": "add", **LOG},
        start=("plan",),
    )


def case_branch(n: int) -> Flow:
    """classify picks small or large by n; both lead to report, which waits for neither
    once the other was not chosen."""
    nodes = {name: (fg.note, (name,)) for name in ("classify", "small", "large", "report")}
    return Flow(
        nodes,
        (("small", "report"), ("large", "report")),
        branches={"classify": (fg.below, ("n", 5, "small", "large"), ("small", "large"))},
        reducers=LOG,
        initial_state={"n": n},
    )


def case_fan_out() -> Flow:
    return Flow(
        {"split": (fg.fan_out, ("square", "items")), "square": (fg.square, ()), "join": (fg.total, ())},
        (("square", "join"),),
        sends={"split": ("square",)},
        reducers={"results": "append", **LOG},
        channels=("total",),
        initial_state={"items": [3, 1, 2]},
    )


def case_send_order() -> Flow:
    """Instances of one target in the order sent: senders in fold order ("a" before "b"),
    each one's list in order; instances may all write a replace channel, the last wins."""
    return Flow(
        {
            "b": (fg.send_each, ("t", (2,))),
            "a": (fg.send_each, ("t", (5, 1))),
            "Z": (fg.note, ("Z",)),
            "t": (fg.record, ()),
        },
        sends={"a": ("t",), "b": ("t",)},
        reducers={"seen": "append", **LOG},
        channels=("last",),
    )


def case_loop_reachable() -> Flow:
    """j follows a and c; while d can still route back to c, c can run again, so j waits
    for the loop c -> d -> c to end."""
    return Flow(
        {"a": (fg.note, ("a",)), "c": (fg.count, ("c", "rounds")), "d": (fg.note, ("d",)), "j": (fg.note, ("j",))},
        (("a", "c"), ("a", "j"), ("c", "d"), ("c", "j")),
        branches={"d": (fg.until, ("rounds", 3, "c"), ("c",))},
        reducers={"rounds": "add", **LOG},
    )


def case_paths_through_the_waiting_node() -> Flow:
    """n's predecessor p is reachable from signalled x only through n itself, and from n:
    neither holds n back. x waits for y."""
    return Flow(
        {
            "s": (fg.note, ("s",)),
            "y": (fg.note, ("y",)),
            "x": (fg.note, ("x",)),
            "n": (fg.count, ("n", "rounds")),
            "p": (fg.note, ("p",)),
        },
        (("s", "y"), ("s", "x"), ("y", "x"), ("s", "n"), ("p", "n")),
        branches={"x": (fg.always, (None,), ("n",)), "n": (fg.until, ("rounds", 2, "p"), ("p",))},
        reducers={"rounds": "add", **LOG},
    )


def case_all_waiting() -> Flow:
    """a and b each wait on the other (each can route to the other's predecessor); c waits
    on a. Only a and b run; c waits until a's predecessor pa can no longer run."""
    nodes = {name: (fg.note, (name,)) for name in ("s", "b", "pa", "pb", "c")}
    nodes["a"] = (fg.count, ("a", "rounds"))
    return Flow(
        nodes,
        (("s", "a"), ("s", "b"), ("pa", "a"), ("pb", "b"), ("s", "c"), ("a", "c")),
        branches={"a": (fg.always, (None,), ("pb",)), "b": (fg.until, ("rounds", 2, "pa"), ("pa",))},
        reducers={"rounds": "add", **LOG},
    )


def case_wait_on_a_pending_send() -> Flow:
    """j follows s and p; p is reachable only from the pending Send target w, so j waits
    while k (free) runs beside the instance, and until p has run."""
    nodes = {name: (fg.note, (name,)) for name in ("j", "k", "p")}
    return Flow(
        {**nodes, "s": (fg.send_each, ("w", (7,))), "w": (fg.write_arg, ("seen",))},
        (("s", "j"), ("s", "k"), ("w", "p"), ("p", "j")),
        sends={"s": ("w",)},
        reducers={"seen": "append", **LOG},
    )


def case_join_after_pending_sends() -> Flow:
    """j follows s and the Send target w. With the Sends pending, j waits on w: the
    instances run first (no fallback while Sends are pending), then j, once."""
    return Flow(
        {"s": (fg.send_each, ("w", (1, 2))), "w": (fg.write_arg, ("seen",)), "j": (fg.note, ("j",))},
        (("s", "j"), ("w", "j")),
        sends={"s": ("w",)},
        reducers={"seen": "append", **LOG},
    )


def case_two_writers(reducers: dict[str, str]) -> Flow:
    return Flow(
        {"p": (fg.write, ("x", 1)), "q": (fg.write, ("x", 2)), "r": (fg.note, ("r",))},
        (("p", "r"),),
        reducers={**reducers, **LOG},
        channels=("x",),
    )


HAND_CASES = {
    "static dag": (case_dag(), [["Audit", "b", "fetch"], ["rank"], ["answer"]], {}),
    "uneven diamond": (case_uneven_diamond(), [["a"], ["b", "e"], ["c"], ["d"]], {}),
    "loop until the score passes": (case_loop(), [["plan"], ["act"], ["check"]] * 3, {"score": 3}),
    "loop on a score that turns whole": (case_loop(0.75, 3), [["plan"], ["act"], ["check"]] * 4, {"score": 3}),
    "branch to large": (
        case_branch(7),
        [["classify"], ["large"], ["report"]],
        {"log": ["classify", "large", "report"]},
    ),
    "branch to small": (
        case_branch(2),
        [["classify"], ["small"], ["report"]],
        {"log": ["classify", "small", "report"]},
    ),
    "fan-out joined": (
        case_fan_out(),
        [["split"], ["square"] * 3, ["join"]],
        {"results": [9, 1, 4], "total": 14, "log": ["square", "square", "square", "join"]},
    ),
    "send order": (case_send_order(), [["Z", "a", "b"], ["t"] * 3], {"seen": [5, 1, 2], "last": 2}),
    "wait on a loop": (
        case_loop_reachable(),
        [["a"], ["c"], ["d"], ["c"], ["d"], ["c"], ["d"], ["j"]],
        {"rounds": 3, "log": ["a", "c", "d", "c", "d", "c", "d", "j"]},
    ),
    "paths through the waiting node": (
        case_paths_through_the_waiting_node(),
        [["s"], ["n", "y"], ["p", "x"], ["n"]],
        {"rounds": 2},
    ),
    "all waiting": (case_all_waiting(), [["s"], ["a", "b"], ["pa"], ["a"], ["c"]], {"rounds": 2}),
    "wait on a pending send": (case_wait_on_a_pending_send(), [["s"], ["k", "w"], ["p"], ["j"]], {"seen": [7]}),
    "join after pending sends": (
        case_join_after_pending_sends(),
        [["s"], ["w", "w"], ["j"]],
        {"seen": [1, 2], "log": ["j"]},
    ),
    "last_value accepts two writers": (case_two_writers({"x": "last_value"}), [["p", "q"], ["r"]], {"x": 2}),
}


@pytest.mark.parametrize("name", HAND_CASES)
def test_reference_hand_cases(name):
    flow, supersteps, state = HAND_CASES[name]
    trace = flow.reference()
    assert trace.status == "finished"
    assert trace.supersteps == supersteps
    assert canonical({channel: trace.state.get(channel) for channel in state}) == canonical(state)


def test_reference_static_hand_cases_are_the_modules_plan():
    for flow in (case_dag(), case_uneven_diamond()):
        assert flow.reference().supersteps == zelk_core.plan_supersteps(list(flow.nodes), list(flow.edges))


def test_reference_refusals():
    with pytest.raises(RefusedWrite) as refused:
        case_two_writers({}).reference()
    assert (refused.value.superstep, refused.value.names, refused.value.channel) == (0, ("p", "q"), "x")
    assert refused.value.trace.supersteps == []
    outside = Flow(
        {name: (fg.note, (name,)) for name in "stu"},
        (("t", "u"),),
        branches={"s": (fg.always, ("u",), ("t",))},
        reducers=LOG,
    )
    with pytest.raises(BadRoute) as routed:
        outside.reference()
    assert (routed.value.superstep, routed.value.names) == (0, ("s",))
    with pytest.raises(NoStart):
        Flow({"a": (fg.note, ("a",)), "b": (fg.note, ("b",))}, (("a", "b"), ("b", "a"))).reference()


# Graphs that never end: each must stop at its step limit.

NEVER_ENDING = {
    "static cycle": (
        Flow({"a": (fg.note, ("a",)), "b": (fg.note, ("b",))}, (("a", "b"), ("b", "a")), reducers=LOG, start=("a",)),
        [["a"], ["b"]] * 3 + [["a"]],
    ),
    "self edge": (Flow({"a": (fg.note, ("a",))}, (("a", "a"),), reducers=LOG, start=("a",)), [["a"]] * 7),
    "route to itself": (
        Flow({"a": (fg.note, ("a",))}, branches={"a": (fg.always, ("a",), ("a",))}, reducers=LOG, start=("a",)),
        [["a"]] * 7,
    ),
    "send to itself": (
        Flow(
            {"s": (fg.send_each, ("e", (0,))), "e": (fg.echo, ("e",))},
            sends={"s": ("e",), "e": ("e",)},
            reducers=LOG,
        ),
        [["s"]] + [["e"]] * 6,
    ),
}


@pytest.mark.parametrize("name", NEVER_ENDING)
def test_reference_stops_a_never_ending_graph_at_its_limit(name):
    flow, supersteps = NEVER_ENDING[name]
    trace = flow.reference(step_limit=7)
    assert (trace.status, trace.supersteps) == ("step_limit", supersteps)


def test_reference_step_limit_counts_the_supersteps_started():
    flow = case_loop(1, 4)
    assert flow.reference(step_limit=12).status == "finished"
    short = flow.reference(step_limit=11)
    assert (short.status, len(short.supersteps), short.state["score"]) == ("step_limit", 11, 4)


# The runtime against the reference. These need the runtime's control flow.


@contextlib.contextmanager
def deadline(seconds: int) -> Iterator[None]:
    """Fail instead of hanging when the block takes longer than `seconds`."""

    def expire(signum: int, frame: Any) -> None:
        raise AssertionError(f"still running after {seconds} s: a run that should stop did not")

    previous = signal.signal(signal.SIGALRM, expire)
    signal.alarm(seconds)
    try:
        yield
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)


def stored_supersteps(location: Path) -> tuple[list[list[str]], list[dict[str, Any]]]:
    from zelk_runtime import verify

    payloads = [payload for payload in verify(location).payloads if payload["kind"] == "nodes"]
    return [payload["nodes"] for payload in payloads], [payload["next"] for payload in payloads]


def assert_same_run(trace: Trace, location: Path, result: Any = None) -> None:
    supersteps, nexts = stored_supersteps(location)
    assert supersteps == trace.supersteps
    assert nexts == json_copy(trace.nexts)
    if result is not None:
        assert result.status == "finished" and result.finished
        assert result.completed == len(trace.supersteps)
        assert canonical(json.loads(result.state_json)) == canonical(trace.state)
        assert canonical(result.state) == canonical(trace.state)


def check_run(flow: Flow, location: Path, expected: Trace | FlowError | NoStart, **options: Any) -> None:
    """Run the flow on the runtime at `location` and hold it to the reference's outcome."""
    from zelk_runtime import GraphError, NodeError, StepLimitError, run

    if isinstance(expected, NoStart):
        with pytest.raises(GraphError, match="start"):
            flow.graph()
        return
    graph = flow.graph()
    with deadline(120):
        if isinstance(expected, FlowError):
            with pytest.raises(NodeError) as caught:
                run(graph, location, progress=None, **options)
            assert caught.value.superstep == expected.superstep and caught.value.node in expected.names
            for word in (*expected.names[:2], expected.channel or ""):
                assert word in str(caught.value)
            assert_same_run(expected.trace, location)
        elif expected.status == "step_limit":
            with pytest.raises(StepLimitError):
                run(graph, location, progress=None, **options)
            assert_same_run(expected, location)
        else:
            assert_same_run(expected, location, run(graph, location, progress=None, **options))


SLOW_AND_SHARED = [HealthCheck.too_slow, HealthCheck.function_scoped_fixture]


@settings(max_examples=50, deadline=None, suppress_health_check=SLOW_AND_SHARED)
@given(flows(), st.sampled_from(STORES), st.sampled_from(["sequential", "threads"]))
def test_runtime_runs_random_graphs_as_the_reference(place, flow, store, executor):
    with tempfile.TemporaryDirectory() as directory:
        check_run(flow, place(directory, store), reference_or_error(flow), executor=executor)


@pytest.mark.parametrize("store", STORES)
@pytest.mark.parametrize("name", HAND_CASES)
def test_runtime_hand_cases(tmp_path, place, name, store):
    flow, _, _ = HAND_CASES[name]
    check_run(flow, place(tmp_path, store), flow.reference(), executor="threads")


def test_runtime_static_dag_is_the_modules_plan(tmp_path):
    run = pytest.importorskip("zelk_runtime").run

    flow = case_uneven_diamond()
    run(flow.graph(), tmp_path / "run", progress=None)
    assert stored_supersteps(tmp_path / "run")[0] == zelk_core.plan_supersteps(list(flow.nodes), list(flow.edges))


@pytest.mark.parametrize("store", STORES)
def test_runtime_refusals_name_the_nodes(tmp_path, place, store):
    from zelk_runtime import NodeError, run

    check_run(case_two_writers({}), place(tmp_path, store, "writers-"), reference_or_error(case_two_writers({})))
    outside = Flow(
        {name: (fg.note, (name,)) for name in "stu"},
        (("t", "u"),),
        branches={"s": (fg.always, ("u",), ("t",))},
        reducers=LOG,
    )
    with pytest.raises(NodeError) as caught:
        run(outside.graph(), place(tmp_path, store, "route-"), progress=None)
    assert caught.value.node == "s" and "'u'" in str(caught.value)


@pytest.mark.parametrize("store", STORES)
@pytest.mark.parametrize("name", NEVER_ENDING)
def test_runtime_stops_a_never_ending_graph_at_its_limit(tmp_path, place, name, store):
    flow, _ = NEVER_ENDING[name]
    check_run(dataclasses.replace(flow, step_limit=7), place(tmp_path, store), flow.reference(step_limit=7))


def run_in_parts(graph: Any, location: Path, data: st.DataObject) -> tuple[str, Any]:
    """Run in calls of 1-3 supersteps each until the run finishes or hits its limit."""
    from zelk_runtime import StepLimitError, run

    done = 0
    while True:
        step = data.draw(st.integers(1, 3), label="supersteps in this call")
        try:
            part = run(graph, location, executor="sequential", progress=None, max_supersteps=step)
        except StepLimitError:
            return "step_limit", None
        assert part.resumed_from == done
        if part.status == "finished":
            return "finished", part
        assert part.status == "stopped" and part.completed == done + step
        done = part.completed


@settings(max_examples=25, deadline=None, suppress_health_check=SLOW_AND_SHARED)
@given(flows(), st.sampled_from(STORES), st.data())
def test_runtime_stopped_and_resumed_runs_equal_the_reference(place, flow, store, data):
    expected = reference_or_error(flow)
    if not isinstance(expected, Trace):
        return
    with tempfile.TemporaryDirectory() as directory, deadline(120):
        location = place(directory, store)
        status, result = run_in_parts(flow.graph(), location, data)
        assert status == expected.status
        assert_same_run(expected, location, result)


@settings(max_examples=20, deadline=None, suppress_health_check=SLOW_AND_SHARED)
@given(flows(max_limit=60), st.sampled_from(STORES), st.data())
def test_runtime_continues_past_a_step_limit_with_a_higher_one(place, flow, store, data):
    from zelk_runtime import StepLimitError, run

    expected = reference_or_error(flow)
    if not isinstance(expected, Trace) or len(expected.supersteps) < 2:
        return
    lower = data.draw(st.integers(1, len(expected.supersteps) - 1), label="lower limit")
    with tempfile.TemporaryDirectory() as directory, deadline(120):
        location = place(directory, store)
        with pytest.raises(StepLimitError):
            run(flow.graph(step_limit=lower), location, executor="sequential", progress=None)
        assert stored_supersteps(location)[0] == expected.supersteps[:lower]
        if expected.status == "finished":
            assert_same_run(expected, location, run(flow.graph(), location, executor="sequential", progress=None))
        else:
            with pytest.raises(StepLimitError):
                run(flow.graph(), location, executor="sequential", progress=None)
            assert_same_run(expected, location)


@pytest.mark.parametrize("store", STORES)
def test_runtime_loop_over_its_limit_continues_with_a_higher_one(tmp_path, place, store):
    from zelk_runtime import StepLimitError, run

    location = place(tmp_path, store)
    flow = case_loop(1, 4)
    expected = flow.reference()
    assert len(expected.supersteps) == 12
    with pytest.raises(StepLimitError):
        run(flow.graph(step_limit=5), location, progress=None)
    with pytest.raises(StepLimitError):
        run(flow.graph(step_limit=5), location, progress=None)
    assert stored_supersteps(location)[0] == expected.supersteps[:5]
    assert_same_run(expected, location, run(flow.graph(step_limit=12), location, progress=None))


# Ray: a few graphs only, it is slow.


@pytest.fixture(scope="module")
def cluster(ray_cluster):
    pytest.importorskip("zelk_runtime")
    return ray_cluster


@pytest.mark.parametrize("name", ["fan-out joined", "wait on a loop", "send order"])
def test_ray_hand_cases(cluster, tmp_path, name):
    flow, _, _ = HAND_CASES[name]
    check_run(flow, tmp_path / "run", flow.reference(), executor="ray")


@settings(max_examples=3, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(flows(max_limit=12))
def test_ray_runs_random_graphs_as_the_reference(cluster, flow):
    with tempfile.TemporaryDirectory() as directory:
        check_run(flow, Path(directory) / "run.sqlite", reference_or_error(flow), executor="ray")
