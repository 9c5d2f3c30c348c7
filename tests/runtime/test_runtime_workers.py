"""Runs submitted to a PostgreSQL store and run by workers: a worker killed mid-superstep is
taken over once its lease runs out, a worker stalled past its lease is fenced off, a run
name is submitted once, an interrupted run waits for `resume` and goes back to the queue,
a changed or missing graph file fails its run by name, and a stopping worker hands its runs
back. Nodes note every execution in a file, so that what ran twice is counted.
"""

from __future__ import annotations

import collections
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

psycopg = pytest.importorskip("psycopg")
zelk_runtime = pytest.importorskip("zelk_runtime")
from zelk_runtime import StoreError, UsageError, resume, run, submit, verify, work  # noqa: E402
from zelk_runtime.cli import load_graph_file, main  # noqa: E402
from zelk_runtime.workers import runs  # noqa: E402

HUMAN = str(Path(__file__).resolve().parent / "human_graphs.py")
LEASE = "2"  # seconds: takeovers in the tests wait for it to run out

GRAPH = """
import time
from pathlib import Path

from zelk_runtime import Graph

HERE = Path(__file__).resolve().parent


def counted(name):
    with open(HERE / "counts.txt", "a") as counts:
        counts.write(name + "\\n")
    return (HERE / "counts.txt").read_text().split().count(name)


def node(name):
    def step(state):
        counted(name)
        return {"log": [name], "total": state["seed"]}

    step.__name__ = name
    return step


def d(state):
    # The first execution waits for `go`: a worker killed or stalled here leaves d unfinished.
    if counted("d") == 1:
        (HERE / "d-started").write_text("")
        while not (HERE / "go").exists():
            time.sleep(0.05)
    return {"log": ["d"], "total": 100}


graph = Graph(
    [node("a"), node("b"), node("c"), d, node("e")],
    [("a", "b"), ("a", "c"), ("a", "d"), ("b", "e"), ("c", "e"), ("d", "e")],
    initial_state={"log": [], "total": 0, "seed": 0},
    reducers={"log": "append", "total": "add"},
)
"""


@pytest.fixture
def graph_file(tmp_path, monkeypatch):
    monkeypatch.setattr(sys, "path", list(sys.path))  # in-process workers load graph files
    folder = tmp_path / "graph"
    folder.mkdir()
    path = folder / "work_graph.py"
    path.write_text(GRAPH)
    return path


def counts(graph_file: Path) -> collections.Counter[str]:
    return collections.Counter((graph_file.parent / "counts.txt").read_text().split())


def reference(tmp_path: Path, update: dict[str, Any]) -> str:
    """The state a single process reaches: the same graph, the update folded as submit does."""
    folder = tmp_path / "reference"
    folder.mkdir()
    (folder / "work_graph.py").write_text(GRAPH)
    (folder / "go").write_text("")
    graph = load_graph_file(str(folder / "work_graph.py"))
    run(graph, folder / "run", progress=None, max_supersteps=0)
    return resume(graph, folder / "run", update=update, author="submit", progress=None).state_json


_databases = itertools.count()


@pytest.fixture
def url(pg_server):
    """A database of the test's own: a worker takes up whatever its queue holds."""
    return pg_server.create_database(f"workers_{os.getpid()}_{next(_databases)}")


def sql(url: str, query: str, *parameters: Any) -> list[tuple[Any, ...]]:
    with psycopg.connect(url, autocommit=True) as connection:
        return connection.execute(query, parameters).fetchall()


def commits(url: str, name: str) -> collections.Counter[int]:
    rows = sql(url, "SELECT superstep FROM zelk_commits WHERE run = %s", name)
    return collections.Counter(superstep for (superstep,) in rows)


def worker(url: str, log: Path, *options: str) -> subprocess.Popen[bytes]:
    command = [sys.executable, "-m", "zelk_runtime", "worker", "--store", url, "--lease", LEASE, "--poll", "0.1"]
    with open(log, "ab") as out:
        return subprocess.Popen([*command, *options], stdout=out, stderr=out)


def wait_for(condition: Any, what: str, seconds: float = 60) -> None:
    limit = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < limit, f"timed out waiting for {what}"
        time.sleep(0.05)


def ended(child: subprocess.Popen[bytes]) -> None:
    if child.poll() is None:
        child.kill()
    child.wait(30)


def test_a_worker_killed_mid_superstep_is_taken_over_after_its_lease(tmp_path, url, graph_file):
    name = "killed"
    assert submit(graph_file, url, run_id=name, update={"seed": 7}).endswith("#" + name)
    first = worker(url, tmp_path / "first.log")
    try:
        # b and c finished and recorded, d runs: superstep 2 (after the update and a) is half done.
        recorded = "SELECT count(*) FROM zelk_results WHERE run = %s AND superstep = 2"
        wait_for(lambda: (graph_file.parent / "d-started").exists(), "d to start")
        wait_for(lambda: sql(url, recorded, name) == [(2,)], "b and c to be recorded")
        first.send_signal(signal.SIGKILL)
        first.wait(30)
    finally:
        ended(first)
    ((holder, state),) = sql(url, "SELECT worker, queue FROM zelk_runs WHERE name = %s", name)
    assert state == "running" and holder.endswith(f":{first.pid}:w0")
    killed = time.monotonic()
    second = worker(url, tmp_path / "second.log", "--until-idle")
    try:
        assert second.wait(60) == 0
    finally:
        ended(second)
    log = (tmp_path / "second.log").read_text()
    assert (
        f"took up run {name} (fence 3)" in log
    )  # submit held it first, then the killed worker and f"run {name} finished after superstep 3" in log
    assert time.monotonic() - killed >= 1.0  # taken when the lease ran out, not before
    assert counts(graph_file) == {"a": 1, "b": 1, "c": 1, "d": 2, "e": 1}  # only the killed node again
    assert commits(url, name) == {0: 1, 1: 1, 2: 1, 3: 1}
    stored = verify(url, run_id=name)
    assert [payload["nodes"] for payload in stored.payloads] == [[], ["a"], ["b", "c", "d"], ["e"]]
    assert stored.payloads[0]["author"] == "submit" and stored.payloads[0]["update"] == {"seed": 7}
    assert run(load_graph_file(str(graph_file)), url, run_id=name, progress=None).state_json == reference(
        tmp_path, {"seed": 7}
    )


def test_a_worker_stalled_past_its_lease_is_fenced_off(tmp_path, url, graph_file):
    """A worker frozen (SIGSTOP: its heartbeat stops with it) past its lease, while another
    takes the run over and finishes it, finds its write refused when it wakes."""
    name = "stalled"
    submit(graph_file, url, run_id=name, update={"seed": 3})
    stalled = worker(url, tmp_path / "stalled.log", "--until-idle")
    try:
        wait_for(lambda: (graph_file.parent / "d-started").exists(), "d to start")
        stalled.send_signal(signal.SIGSTOP)
        time.sleep(float(LEASE) + 0.5)
        report = work(url, lease_seconds=5, poll=0.1, until_idle=True, log=lambda line: None)
        assert report.ended == {"finished": [name]}
        (graph_file.parent / "go").write_text("")
        stalled.send_signal(signal.SIGCONT)
        assert stalled.wait(60) == 0  # its run given up, nothing left to do
    finally:
        stalled.send_signal(signal.SIGCONT)
        ended(stalled)
    log = (tmp_path / "stalled.log").read_text()
    assert f"run {name} given up: " in log and "refused: the run's lease passed on" in log
    assert "holds it now, fence 3; ours was fence 2" in log
    assert counts(graph_file) == {"a": 1, "b": 1, "c": 1, "d": 2, "e": 1}
    assert commits(url, name) == {0: 1, 1: 1, 2: 1, 3: 1}
    assert [row.state for row in runs(url) if row.name == name] == ["finished"]
    ((finished,),) = sql(url, "SELECT fence FROM zelk_runs WHERE name = %s", name)
    assert finished == 3


def test_a_run_name_is_submitted_once(tmp_path, url, graph_file, capsys):
    submit(graph_file, url, run_id="once")
    with pytest.raises(StoreError, match=r"#once exists already \(it is queued\): a run name is submitted once"):
        submit(graph_file, url, run_id="once")
    assert main(["submit", str(graph_file), "--store", url, "--run", "once"]) == 1
    assert "exists already" in capsys.readouterr().err
    for bad, words in [
        ({"nope": 1}, "the update writes channel 'nope'"),
        ({"seed": float("nan")}, r"the update\['seed'\] is nan"),
    ]:
        with pytest.raises(UsageError, match=words):
            submit(graph_file, url, run_id="refused", update=bad)
    with pytest.raises(StoreError, match="does not exist"):
        verify(url, run_id="refused")  # nothing was made
    with pytest.raises(UsageError, match="needs a PostgreSQL store"):
        submit(graph_file, str(tmp_path / "run-dir"))
    assert main(["submit", str(graph_file), "--store", url]) == 0  # a name made up
    made = capsys.readouterr().out.strip()
    assert made.startswith("queued postgresql://zelk@") and "#work_graph-" in made
    queued = {row.name: row.state for row in runs(url)}
    assert queued["once"] == "queued" and queued[made.rpartition("#")[2]] == "queued"


def test_an_interrupted_run_waits_for_resume_then_a_worker_finishes_it(tmp_path, url, capsys, monkeypatch):
    monkeypatch.setattr(sys, "path", list(sys.path))
    name = "asks"
    submit(HUMAN, url, run_id=name)
    report = work(url, poll=0.1, until_idle=True, log=lambda line: None)
    assert report.ended == {"interrupted": [name]}
    (row,) = [row for row in runs(url) if row.name == name]
    assert (row.state, row.supersteps, row.worker) == ("interrupted", 1, None)
    # resume records the answer and hands the run back: nothing runs here.
    answer = ["resume", HUMAN, "--store", url, "--run", name, "--answer", 'review="ship it"', "--author", "eve"]
    assert main([*answer, "--quiet"]) == 0
    out = capsys.readouterr().out
    assert "the run waits in the queue of its store: a worker takes it up" in out and "queued: 1 supersteps" in out
    assert [row.state for row in runs(url) if row.name == name] == ["queued"]
    assert main(["runs", url]) == 0
    assert any(line.split()[:3] == [name, "queued", "1"] for line in capsys.readouterr().out.splitlines())
    report = work(url, concurrency=2, poll=0.1, until_idle=True, log=lambda line: None)
    assert report.ended == {"finished": [name]}
    stored = verify(url, run_id=name)
    answers = stored.payloads[1]["answers"]["review"]
    assert [(item["answer"], item["author"]) for item in answers] == [("ship it", "eve")]
    assert run(load_graph_file(HUMAN), url, run_id=name, progress=None).state["verdict"] == "ship it"


def test_a_changed_or_missing_graph_file_fails_its_run_by_name(tmp_path, url, graph_file):
    (graph_file.parent / "go").write_text("")
    submit(graph_file, url, run_id="changed")
    moved = tmp_path / "moved" / "work_graph.py"
    moved.parent.mkdir()
    moved.write_text(GRAPH)
    submit(moved, url, run_id="missing")
    moved.unlink()
    # The first run goes two supersteps here, and back to the queue; then its file changes.
    graph = load_graph_file(str(graph_file))
    assert run(graph, url, run_id="changed", progress=None, max_supersteps=2).completed == 2
    assert resume(graph, url, run_id="changed", progress=None).status == "queued"
    graph_file.write_text(GRAPH.replace('return {"log": [name], "total": state["seed"]}', 'return {"log": [name]}'))
    lines: list[str] = []
    report = work(url, poll=0.1, until_idle=True, log=lines.append)
    assert sorted(report.ended["failed"]) == ["changed", "missing"]
    failed = {row.name: row.error for row in runs(url) if row.state == "failed"}
    assert "the code of 'a', 'b', 'c' changed since they ran" in failed["changed"]
    assert f"graph file {moved} of run missing did not load" in failed["missing"]
    assert any("run changed failed: the code of 'a', 'b', 'c' changed" in line for line in lines)


def test_a_stopping_worker_hands_its_run_back(tmp_path, url, graph_file):
    name = "handed-back"
    submit(graph_file, url, run_id=name)
    stop = threading.Event()
    report: dict[str, Any] = {}
    thread = threading.Thread(
        target=lambda: report.update(done=work(url, poll=0.1, stop=stop, log=lambda line: None)), daemon=True
    )
    thread.start()
    wait_for(lambda: (graph_file.parent / "d-started").exists(), "d to start")
    stop.set()  # the worker stops after the event its run is at: d finishing
    (graph_file.parent / "go").write_text("")
    thread.join(60)
    assert report["done"].ended == {"handed back": [name]}
    (row,) = [row for row in runs(url) if row.name == name]
    assert (row.state, row.worker) == ("queued", None)
    assert work(url, poll=0.1, until_idle=True, log=lambda line: None).ended == {"finished": [name]}
    assert counts(graph_file) == {"a": 1, "b": 1, "c": 1, "d": 1, "e": 1}
    assert commits(url, name) == {0: 1, 1: 1, 2: 1}
