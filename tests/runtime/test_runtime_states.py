"""States stored as deltas and full checkpoints: every state rebuilt from the store is the
state the run had, whatever the rhythm of full checkpoints; a large state is stored once and
a run resuming it holds it about once."""

from __future__ import annotations

import importlib.util
import sys
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

pytest.importorskip("zelk_runtime")
from runtime_graphs import random_graph
from zelk_runtime import load_checkpoint, read_run, run, verify
from zelk_runtime import states as state_rules
from zelk_runtime.stores import open_store

WRITES = [("a1", "l1"), ("r1",), ("a2", "l2", "r2"), ("l1",)]
ROOT = Path(__file__).resolve().parents[2]

shapes = st.integers(2, 9).flatmap(
    lambda n: st.tuples(st.just(n), st.lists(st.tuples(st.integers(0, n - 1), st.integers(0, n - 1)), max_size=16))
)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(shape=shapes, every=st.integers(1, 6), kind=st.sampled_from(["run-dir", "run.sqlite"]))
def test_every_rebuilt_state_is_the_state_the_run_had(tmp_path_factory, monkeypatch, shape, every, kind):
    monkeypatch.setattr(state_rules, "CHECKPOINT_EVERY", every)
    # A channel nobody writes makes the state large against its deltas, so both kinds occur.
    graph = random_graph(shape[0], shape[1], WRITES, initial={"a1": 5, "l2": "seed", "still": "x" * 4096})
    location = tmp_path_factory.mktemp("states") / kind
    had = []  # the state after each superstep, as the run held it
    while True:
        result = run(graph, location, executor="sequential", progress=None, max_supersteps=1)
        if result.completed > len(had):
            had.append(result.state_json)
        if result.finished:
            break
    store = open_store(location)
    try:
        stored = read_run(store)
        kinds = {payload["checkpoint"] for payload in stored.payloads}
        assert [load_checkpoint(store, stored, number) for number in range(stored.completed)] == had
        assert load_checkpoint(store, stored, -1) == graph.initial_state_json
    finally:
        store.close()
    verify(location)
    assert kinds == ({"full"} if every == 1 else {"delta"} if len(had) < every else {"full", "delta"})


def test_a_big_write_is_stored_once_and_a_resumed_run_holds_the_state_about_once(tmp_path):
    found = importlib.util.spec_from_file_location("big_state", ROOT / "examples" / "big_state.py")
    assert found is not None and found.loader is not None
    example = importlib.util.module_from_spec(found)
    sys.modules["big_state"] = example
    found.loader.exec_module(example)
    figures = example.figures(32, 5, tmp_path)
    size = figures["state_bytes"]
    assert figures["store_bytes"] < 1.2 * size  # the big write once, the integers as deltas
    assert figures["peak_ticking"] * (1 << 20) < 2.5 * size  # resuming holds it about once
