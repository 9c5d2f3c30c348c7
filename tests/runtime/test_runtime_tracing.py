"""Spans for OpenTelemetry: the tree a run makes (run, supersteps, node attempts), its
attributes, times and error statuses, read back through the SDK's in-memory exporter; and
nothing of OpenTelemetry imported when it is not installed."""

from __future__ import annotations

import subprocess
import sys
import textwrap
from typing import Any

import pytest

pytest.importorskip("zelk_runtime")
from zelk_runtime import Graph, NodeError, Output, Send, interrupt, resume, run, stream

trace = pytest.importorskip("opentelemetry.trace", reason="the [otel] extra is not installed")
sdk = pytest.importorskip("opentelemetry.sdk.trace", reason="opentelemetry-sdk is not installed")
from opentelemetry.sdk.trace.export import SimpleSpanProcessor  # noqa: E402
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter  # noqa: E402
from store_kinds import STORES, shown  # noqa: E402


@pytest.fixture
def exporter(monkeypatch):
    """A tracer provider of the SDK set as the global one for the test, its spans kept."""
    kept = InMemorySpanExporter()
    provider = sdk.TracerProvider()
    provider.add_span_processor(SimpleSpanProcessor(kept))
    monkeypatch.setattr(trace, "_TRACER_PROVIDER", provider)
    yield kept
    provider.shutdown()


def plan(state: Any) -> dict[str, Any]:
    return {"round": 1}


def act(state: Any) -> Output:
    return Output({"draft": f"draft {state['round']}"}, cost=0.5)


def check(state: Any) -> dict[str, Any]:
    return {"checked": 1}


def again(state: Any) -> str:
    return "plan" if state["round"] < 2 else "report"


def report(state: Any) -> dict[str, Any]:
    return {"draft": state["summary"]}


def loop_graph() -> Graph:
    """plan, act, check twice round, then report, which fails."""
    return Graph(
        [plan, act, check, report],
        [("plan", "act"), ("act", "check")],
        branches={"check": (again, ["plan", "report"])},
        initial_state={"round": 0, "checked": 0},
        channels=["draft"],
        reducers={"round": "add", "checked": "add"},
        start=["plan"],
    )


def by_id(spans: list[Any]) -> dict[int, Any]:
    return {span.context.span_id: span for span in spans}


def children(spans: list[Any], parent: Any) -> list[Any]:
    found = [span for span in spans if span.parent is not None and span.parent.span_id == parent.context.span_id]
    return sorted(found, key=lambda span: (span.start_time, span.name))


@pytest.mark.parametrize("store", STORES)
@pytest.mark.parametrize("executor", ["sequential", "threads"])
def test_a_loop_that_ends_in_a_failing_node(tmp_path, place, exporter, store, executor):
    location = place(tmp_path, store)
    with pytest.raises(NodeError):
        run(loop_graph(), location, executor=executor, progress=None)
    spans = list(exporter.get_finished_spans())
    assert len({span.context.trace_id for span in spans}) == 1
    (root,) = [span for span in spans if span.parent is None]
    assert root.name == "zelk.run"
    assert root.attributes["store"] == shown(location) and root.attributes["resumed"] is False
    assert root.status.status_code == trace.StatusCode.ERROR and "KeyError" in root.status.description
    steps = children(spans, root)
    assert [span.name for span in steps] == ["zelk.superstep"] * 7
    assert [span.attributes["superstep"] for span in steps] == list(range(7))
    order = ["plan", "act", "check"] * 2 + ["report"]
    for number, (step, name) in enumerate(zip(steps, order, strict=True)):
        (node,) = children(spans, step)
        assert node.name == f"zelk.node {name}"
        assert (node.attributes["node"], node.attributes["superstep"], node.attributes["attempt"]) == (name, number, 1)
        assert node.attributes["seconds"] >= 0
        assert root.start_time <= step.start_time <= node.start_time <= node.end_time <= step.end_time
        assert step.end_time <= root.end_time
        if name == "report":
            assert node.status.status_code == trace.StatusCode.ERROR
            assert node.status.description == "node 'report' failed in superstep 6: KeyError: 'summary'"
            (raised,) = node.events
            assert raised.name == "exception" and "Traceback" in raised.attributes["exception.stacktrace"]
            assert step.status.status_code == trace.StatusCode.ERROR and "bytes" not in step.attributes
            assert "cost" not in node.attributes
        else:
            assert node.status.status_code == trace.StatusCode.UNSET
            assert step.attributes["bytes"] > 0 and step.attributes["checkpoint"] in ("full", "delta")
            assert step.attributes["cost"] == node.attributes["cost"] == (0.5 if name == "act" else 0.0)
            assert (
                list(node.attributes["channels"]) == {"plan": ["round"], "act": ["draft"], "check": ["checked"]}[name]
            )
    assert len(spans) == 1 + 7 + 7


def split(state: Any) -> list[Send]:
    return [Send("ask", item) for item in (1, 2, 3)]


def ask(state: Any, item: int) -> dict[str, Any]:
    answer = interrupt({"item": item}) if item == 2 else "fine"
    return {"answers": [[item, answer]]}


def test_send_instances_a_wait_and_a_resume(tmp_path, exporter):
    graph = Graph([split, ask], [], sends={"split": ["ask"]}, reducers={"answers": "append"}, channels=["answers"])
    location = tmp_path / "run"
    assert run(graph, location, executor="threads", progress=None).status == "interrupted"
    first = list(exporter.get_finished_spans())
    (root,) = [span for span in first if span.parent is None]
    assert root.attributes["status"] == "interrupted" and root.status.status_code == trace.StatusCode.UNSET
    step = children(first, root)[1]
    instances = {span.attributes["instance"]: span for span in children(first, step)}
    assert sorted(instances) == [0, 1, 2] and {span.name for span in instances.values()} == {"zelk.node ask"}
    assert instances[1].attributes["interrupted"] is True and "cost" not in instances[1].attributes
    assert "interrupted" not in instances[0].attributes and step.attributes["interrupted"] is True
    exporter.clear()
    assert resume(graph, location, answers={"ask": "yes"}, progress=None).finished
    second = list(exporter.get_finished_spans())
    (root,) = [span for span in second if span.parent is None]
    assert root.attributes["resumed"] is True and root.attributes["superstep"] == 1
    assert root.attributes["status"] == "finished" and root.attributes["supersteps"] == 2
    (step,) = children(second, root)
    assert step.attributes["recorded"] == 2 and step.attributes["nodes"] == 3
    ((node,),) = [children(second, step)]
    assert node.attributes["instance"] == 1 and node.attributes["superstep"] == 1


def test_a_run_inside_a_span_of_the_caller_and_a_stream_closed_early(tmp_path, exporter):
    tracer = trace.get_tracer("caller")
    with tracer.start_as_current_span("job") as job:
        with stream(loop_graph(), tmp_path / "run") as events:
            for event in events:
                if event.kind == "node_finished" and event.superstep == 1:
                    break
    spans = list(exporter.get_finished_spans())
    (root,) = [span for span in spans if span.name == "zelk.run"]
    assert root.parent.span_id == job.get_span_context().span_id
    open_at_close = [span for span in spans if span.attributes.get("closed")]
    assert sorted(span.name for span in open_at_close) == ["zelk.run", "zelk.superstep"]
    assert all(span.status.status_code == trace.StatusCode.UNSET for span in spans)
    assert len(spans) == 1 + 1 + 2 + 2  # the job, the run, two supersteps, two nodes


def test_no_spans_without_a_tracer_provider(tmp_path, monkeypatch):
    from zelk_runtime import tracing

    monkeypatch.setattr(trace, "_TRACER_PROVIDER", None)
    monkeypatch.delenv("OTEL_PYTHON_TRACER_PROVIDER", raising=False)
    assert tracing.spans() is None
    assert run(loop_graph(), tmp_path / "run", progress=None, max_supersteps=2).status == "stopped"


HIDDEN = """
import sys

sys.modules["opentelemetry"] = None  # as if it were not installed: no import of it succeeds
import zelk_runtime
from zelk_runtime import END, Graph, run, stream


def tick(state):
    return {"ticks": 1}


def again(state):
    return END if state["ticks"] >= 3 else "tick"


graph = Graph([tick], [], branches={"tick": (again, ["tick"])}, initial_state={"ticks": 0}, reducers={"ticks": "add"}, start=["tick"])
kinds = [event.kind for event in stream(graph, sys.argv[1])]
assert run(graph, sys.argv[2], progress=None).finished
loaded = sorted(name for name, module in sys.modules.items() if name.startswith("opentelemetry") and module is not None)
print(len(kinds), loaded)
"""

PLAIN_IMPORT = """
import sys
import zelk_runtime
import zelk_runtime.cli
print(sorted(name for name in sys.modules if name.startswith("opentelemetry")))
"""


def test_nothing_of_opentelemetry_is_imported_when_it_is_absent_or_unused(tmp_path):
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(HIDDEN), str(tmp_path / "a"), str(tmp_path / "b.sqlite")],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["14", "[]"]
    done = subprocess.run([sys.executable, "-c", PLAIN_IMPORT], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and done.stdout.strip() == "[]", done.stderr
