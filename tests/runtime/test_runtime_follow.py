"""Watching a run from the command line: `--follow` prints a line per superstep and per
node, `--events jsonl` a JSON object per event (the summary on stderr), both as they
happen, on run and resume."""

from __future__ import annotations

import json
import os
import queue
import re
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

pytest.importorskip("zelk_runtime")
from zelk_runtime import Event, verify
from zelk_runtime.cli import main
from zelk_runtime.follow import line

HERE = Path(__file__).resolve().parent
GRAPH = str(HERE / "runtime_graphs.py")
HUMAN = str(HERE / "human_graphs.py")
from store_kinds import STORES, shown  # noqa: E402

FAILING = """
from zelk_runtime import Graph, Output


def good(state):
    return Output({"seen": ["good"]}, cost=0.25)


def bad(state):
    return {"seen": [state["missing"]]}


graph = Graph([good, bad], [], reducers={"seen": "append"}, channels=["seen"])
"""

LONG_LOOP = """
from zelk_runtime import END, Graph


def tick(state):
    return {"ticks": 1}


def again(state):
    return END if state["ticks"] >= 400 else "tick"


graph = Graph([tick], [], branches={"tick": (again, ["tick"])}, initial_state={"ticks": 0},
              reducers={"ticks": "add"}, start=["tick"], step_limit=500)
"""


def summary_head(text: str) -> str:
    found = re.findall(r"^head (\d+:[0-9a-f]{64})$", text, re.M)
    assert len(found) == 1, text
    return found[0]


@pytest.mark.parametrize("store", STORES)
def test_follow_prints_a_line_per_superstep_and_node_then_the_summary(tmp_path, place, capsys, store):
    location = str(place(tmp_path, store))
    assert main(["run", GRAPH, "--store", location, "--follow", "--max-supersteps", "2"]) == 0
    out, err = capsys.readouterr()
    assert err == ""  # no progress bar beside the lines
    lines = out.splitlines()
    assert lines[0] == f"run started: store {shown(location)}"
    assert lines[1] == "superstep 0: started 1 node (first)"
    assert re.fullmatch(r"  node first finished in \d+\.\d{3} m?s, wrote steps, total", lines[2])
    assert re.fullmatch(r"superstep 0 committed in \d+\.\d{3} m?s: full checkpoint [\d,]+ bytes", lines[3])
    assert lines[4] == "superstep 1: started 1 node (middle)"
    assert lines[7] == "run stopped at superstep 2: 2 supersteps in the store"
    assert lines[8] == "stopped: 2 supersteps in the store, total cost 0"
    assert main(["run", GRAPH, "--store", location, "--follow"]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[0] == f"run resumed after superstep 1: store {shown(location)}"
    assert out[1] == "superstep 2: started 1 node (last)"
    assert "continued after superstep 1" in out and "finished: 3 supersteps in the store, total cost 0" in out


@pytest.mark.parametrize("store", STORES)
def test_events_jsonl_is_pure_json_on_stdout_and_the_summary_on_stderr(tmp_path, place, capsys, store):
    location = str(place(tmp_path, store))
    assert main(["run", GRAPH, "--store", location, "--events", "jsonl", "--executor", "sequential"]) == 0
    out, err = capsys.readouterr()
    records = [json.loads(text) for text in out.splitlines()]
    kinds = [record["kind"] for record in records]
    per_superstep = ["superstep_started", "node_started", "node_finished", "superstep_committed"]
    assert kinds == ["run_started", *per_superstep * 3, "finished"]
    assert [record["node"] for record in records if record["kind"] == "node_finished"] == ["first", "middle", "last"]
    assert records[-1]["detail"]["head"] == summary_head(err) == str(verify(location).head)
    assert "finished: 3 supersteps in the store" in err and '"total":111' in err


def test_a_failing_node_is_followed_then_reported(tmp_path, capsys):
    graph = tmp_path / "failing.py"
    graph.write_text(FAILING)
    assert main(["run", str(graph), "--store", str(tmp_path / "run"), "--follow", "--executor", "sequential"]) == 1
    out, err = capsys.readouterr()
    assert re.search(r"^  node good finished in .*, cost 0\.25, wrote seen$", out, re.M)
    assert "  node bad FAILED: KeyError: 'missing' (attempt 1)" in out.splitlines()
    assert "committed" not in out
    assert err.startswith("error: node 'bad' failed in superstep 0: KeyError") and "Traceback" in err
    assert main(["run", str(graph), "--store", str(tmp_path / "run2"), "--events", "jsonl"]) == 1
    records = [json.loads(text) for text in capsys.readouterr().out.splitlines()]
    (failed,) = [record for record in records if record["kind"] == "node_failed"]
    assert failed["node"] == "bad" and "KeyError: 'missing'" in failed["error"] and failed["attempt"] == 1


@pytest.mark.parametrize("store", STORES)
def test_resume_follows_and_streams_too(tmp_path, place, capsys, store):
    location = str(place(tmp_path, store))
    assert main(["run", HUMAN, "--store", location, "--follow", "--executor", "sequential"]) == 0
    out = capsys.readouterr().out
    assert "run interrupted at superstep 1: review asks" in out.splitlines()
    assert "interrupted at superstep 1: node 'review', it asks" in out
    assert main(["resume", HUMAN, "--store", location, "--answer", "review=true", "--events", "jsonl"]) == 0
    out, err = capsys.readouterr()
    records = [json.loads(text) for text in out.splitlines()]
    assert records[0]["kind"] == "run_resumed" and records[0]["superstep"] == 1
    assert records[1]["detail"] == {"nodes": ["review", "side"], "recorded": 1}
    assert [record["node"] for record in records if record["kind"] == "node_started"] == ["review", "publish"]
    assert records[-1]["kind"] == "finished" and "finished: 3 supersteps" in err


def test_follow_and_events_exclude_each_other(tmp_path, capsys):
    with pytest.raises(SystemExit) as caught:
        main(["run", GRAPH, "--store", str(tmp_path / "s"), "--follow", "--events", "jsonl"])
    assert caught.value.code == 2 and "not allowed with" in capsys.readouterr().err


def lines_of(pipe) -> tuple[queue.Queue[str], threading.Thread]:
    """The pipe's lines as they come, read on a thread of their own (until the pipe ends)."""
    found: queue.Queue[str] = queue.Queue()

    def read() -> None:
        for text in pipe:
            found.put(text)

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    return found, reader


def test_events_are_written_as_they_happen_and_a_reader_may_go_away(tmp_path):
    """The child blocks in the middle node: its node_started is on the pipe meanwhile. A
    reader that then goes away stops the run with nothing half done."""
    location = tmp_path / "run.sqlite"
    marker = tmp_path / "blocked"
    command = [sys.executable, "-m", "zelk_runtime", "run", GRAPH, "--store", str(location), "--events", "jsonl"]
    child = subprocess.Popen(
        command,
        env=os.environ | {"ZELK_TEST_BLOCK": str(marker)},
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    assert child.stdout is not None
    written, pump = lines_of(child.stdout)
    try:
        seen = []
        while not seen or seen[-1] != ("node_started", "middle"):
            record = json.loads(written.get(timeout=30))
            seen.append((record["kind"], record.get("node")))
        assert child.poll() is None  # still in the middle node
        deadline = time.monotonic() + 30
        while not marker.exists():
            assert time.monotonic() < deadline, "the middle node never started"
            time.sleep(0.02)
        assert seen == [
            ("run_started", None),
            ("superstep_started", None),
            ("node_started", "first"),
            ("node_finished", "first"),
            ("superstep_committed", None),
            ("superstep_started", None),
            ("node_started", "middle"),
        ]
    finally:
        child.kill()
        child.wait(timeout=10)
        pump.join(timeout=10)
        for pipe in (child.stdout, child.stderr):
            if pipe:
                pipe.close()
    assert verify(location).completed == 1
    # A reader that takes two lines and leaves long before the run ends (its events are
    # more than a pipe holds): the run stops quietly, the store whole, and goes on later.
    looping = tmp_path / "loop.py"
    looping.write_text(LONG_LOOP)
    reader = f"{sys.executable} -m zelk_runtime run {looping} --store {tmp_path / 'piped'} --events jsonl | head -2"
    done = subprocess.run(["bash", "-o", "pipefail", "-c", reader], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and done.stdout.count("\n") == 2 and done.stderr == "", done.stderr
    assert verify(tmp_path / "piped").completed < 400
    assert main(["run", str(looping), "--store", str(tmp_path / "piped"), "--quiet"]) == 0
    assert verify(tmp_path / "piped").completed == 400


def event(kind: str, **fields) -> Event:
    return Event(kind, fields.pop("superstep", 3), time=1.0, **fields)


@pytest.mark.parametrize(
    "given, expected",
    [
        (
            event("superstep_started", detail={"nodes": ["join", "score", "score", "score"], "recorded": 1}),
            "superstep 3: started 4 nodes (join, score x3), 1 already recorded",
        ),
        (
            event(
                "node_finished",
                node="score",
                seconds=0.0123,
                cost=0.001,
                attempt=2,
                detail={"channels": ["scores", "log"], "sends": 0, "instance": 2},
            ),
            "  node score#2 finished in 0.012 s, cost 0.001, wrote scores, log (attempt 2)",
        ),
        (
            event("node_finished", node="split", seconds=0.0, cost=0.0, detail={"channels": [], "sends": 3}),
            "  node split finished in 0.000 s, wrote nothing, sent 3",
        ),
        (
            event(
                "node_failed",
                node="x",
                attempt=1,
                error="Traceback (most recent call last):\n  File \"g.py\", line 3\nKeyError: 'a'\n",
                detail={"message": "node 'x' failed in superstep 3: KeyError: 'a'"},
            ),
            "  node x FAILED: KeyError: 'a' (attempt 1)",
        ),
        (
            event(
                "node_failed",
                node="y",
                attempt=1,
                error="node 'y' reported the cost -1 in superstep 3",
                detail={"message": "node 'y' reported the cost -1 in superstep 3"},
            ),
            "  node y FAILED: node 'y' reported the cost -1 in superstep 3 (attempt 1)",
        ),
        (
            event("retry", node="x", attempt=2, error="Traceback ...\nTimeoutError: slow\n", detail={"delay": 0.5}),
            "  node x failed, retrying as attempt 2 in 0.5 s: TimeoutError: slow",
        ),
        (
            event("superstep_committed", seconds=0.045, cost=0.002, detail={"bytes": 1234, "checkpoint": "delta"}),
            "superstep 3 committed in 0.045 s: delta checkpoint 1,234 bytes, cost 0.002",
        ),
        (
            event(
                "interrupted",
                detail={
                    "interrupts": [
                        {"node": "a", "when": "before", "instance": None},
                        {"node": "check", "when": "call", "instance": 1},
                    ]
                },
            ),
            "run interrupted at superstep 3: before a runs; check#1 asks",
        ),
        (event("node_started", node="x", attempt=1), None),
    ],
)
def test_lines(given, expected):
    assert line(given) == expected
