"""Durability: a run killed with kill -9 mid-superstep runs again only the nodes that had
not finished; a full disk fails a superstep with the store's error and leaves the store
verifiable and resumable; a store in use or locked is refused naming its file; `show`
into a pipe that closes ends quietly; a graph file's helper module travels to Ray."""

from __future__ import annotations

import collections
import contextlib
import errno
import os
import re
import shutil
import signal
import sqlite3
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest

zelk_runtime = pytest.importorskip("zelk_runtime")
from zelk_runtime import Graph, Output, Send, StoreError, read_run, run, verify  # noqa: E402
from zelk_runtime.cli import load_graph_file, main  # noqa: E402
from zelk_runtime.stores import directory, open_store  # noqa: E402

STORES = ["run-dir", "run.sqlite"]


@pytest.fixture
def graph_files(monkeypatch: pytest.MonkeyPatch) -> None:
    """Loading a graph file puts its folder on sys.path and may import a `helpers`
    module; keep both to the test."""
    monkeypatch.setattr(sys, "path", list(sys.path))
    monkeypatch.delitem(sys.modules, "helpers", raising=False)


def write(path: Path, text: str) -> str:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)
    return str(path)


def payloads(location: Path) -> list[dict[str, Any]]:
    store = open_store(location, create=False)
    try:
        return read_run(store).payloads
    finally:
        store.close()


def recorded(location: Path, superstep: int) -> int:
    """How many node results the store holds for a superstep in progress."""
    store = open_store(location, create=False)
    try:
        return len(store.results(superstep))
    finally:
        store.close()


# kill -9 in the middle of a superstep. Every node counts its runs in counts.txt beside
# the graph file; `beta` blocks (in the child only) once it has counted itself.

KILL_GRAPH = """
import os
import time
from pathlib import Path

from zelk_runtime import Graph

COUNTS = Path(__file__).with_name("counts.txt")


def counted(name, state):
    with open(COUNTS, "a") as handle:
        handle.write(name + "\\n")
    return {"log": [f"{name} saw {len(state.get('log', []))}"], "total": len(name)}


def start(state):
    return counted("start", state)


def alpha(state):
    return counted("alpha", state)


def beta(state):
    result = counted("beta", state)
    marker = os.environ.get("ZELK_TEST_BLOCK")
    if marker:
        Path(marker).write_text("blocked")
        time.sleep(60)
    return result


def delta(state):
    return counted("delta", state)


def gamma(state):
    return counted("gamma", state)


def end(state):
    return counted("end", state)


MIDDLE = ["alpha", "beta", "delta", "gamma"]
graph = Graph(
    [start, alpha, beta, delta, gamma, end],
    [("start", name) for name in MIDDLE] + [(name, "end") for name in MIDDLE],
    reducers={"log": "append", "total": "add"},
    channels=["log", "total"],
)
"""


def counts(folder: Path) -> collections.Counter[str]:
    return collections.Counter((folder / "counts.txt").read_text().split())


@pytest.mark.parametrize("store", STORES)
@pytest.mark.parametrize("executor, finished_before_kill", [("threads", 3), ("sequential", 1)])
def test_kill_9_mid_superstep_runs_again_only_the_unfinished_nodes(
    tmp_path, graph_files, store, executor, finished_before_kill
):
    path = write(tmp_path / "killed" / "kill_graph.py", KILL_GRAPH)
    location = tmp_path / store
    marker = tmp_path / "blocked"
    command = [sys.executable, "-m", "zelk_runtime", "run", path, "--store", str(location), "--quiet"]
    child = subprocess.Popen(
        [*command, "--executor", executor],
        env=os.environ | {"ZELK_TEST_BLOCK": str(marker)},
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
    )
    try:
        deadline = time.monotonic() + 30
        while not marker.exists():
            assert child.poll() is None, child.stderr.read().decode() if child.stderr else ""
            assert time.monotonic() < deadline, "the child never reached the blocking node"
            time.sleep(0.02)
        # The nodes that finished (threads: all but beta; sequential: alpha, before beta)
        # have their results recorded before the kill.
        while recorded(location, 1) < finished_before_kill and time.monotonic() < deadline:
            time.sleep(0.02)
        # While the child holds the store, another run is refused, naming the store.
        with pytest.raises(StoreError, match=f"store {location} is in use by another run"):
            run(load_graph_file(path), location, progress=None)
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
    assert counts(tmp_path / "killed")["beta"] == 1
    result = run(load_graph_file(path), location, executor=executor, progress=None)
    assert result.finished and result.resumed_from == 1
    assert counts(tmp_path / "killed") == {"start": 1, "alpha": 1, "beta": 2, "delta": 1, "gamma": 1, "end": 1}
    reference_path = write(tmp_path / "reference" / "kill_graph.py", KILL_GRAPH)
    reference = run(load_graph_file(reference_path), tmp_path / "reference" / store, progress=None)
    assert result.state_json == reference.state_json and result.cost == reference.cost
    assert [p["nodes"] for p in payloads(location)] == [p["nodes"] for p in payloads(tmp_path / "reference" / store)]
    assert verify(location).completed == 3


# A full disk: a small tmpfs (or, where tmpfs cannot be mounted, a loop-mounted ext2 image).


def _mount(command: list[str]) -> str | None:
    done = subprocess.run(command, capture_output=True, text=True)
    return None if done.returncode == 0 else (done.stderr.strip() or f"exit status {done.returncode}")


@pytest.fixture
def small_disk(tmp_path: Path) -> Iterator[Path]:
    mountpoint = tmp_path / "disk"
    mountpoint.mkdir()
    if shutil.which("mount") is None:
        pytest.skip("no mount command: cannot make a small filesystem to fill")
    problem = _mount(["mount", "-t", "tmpfs", "-o", "size=512k,mode=0755", "tmpfs", str(mountpoint)])
    if problem is not None:
        image = tmp_path / "disk.img"
        with open(image, "wb") as handle:
            handle.truncate(1 << 20)
        made = _mount(["mkfs.ext2", "-q", "-F", "-m", "0", str(image)]) if shutil.which("mkfs.ext2") else "no mkfs.ext2"
        loop = made or _mount(["mount", "-o", "loop", str(image), str(mountpoint)])
        if loop is not None:
            pytest.skip(f"cannot mount a small filesystem here (tmpfs: {problem}; loop image: {loop})")
    try:
        yield mountpoint
    finally:
        subprocess.run(["umount", "-l", str(mountpoint)], capture_output=True)


FILL: dict[str, Any] = {"disk": None, "leave": 0}


def fill_disk() -> None:
    """Fill the small disk so that `FILL["leave"]` bytes stay free (once)."""
    disk = FILL.pop("disk", None)
    if disk is None:
        return
    status = os.statvfs(disk)
    size = status.f_bavail * status.f_frsize - FILL["leave"]
    with contextlib.suppress(OSError), open(Path(disk) / "filler", "wb", buffering=0) as handle:
        handle.write(b"\0" * max(0, size))  # short of `size` on a disk that was full already


def load(state):
    return {"log": ["load"], "blob": "x" * 20_000}


def fill(state):
    fill_disk()
    return Output({"log": ["fill"]}, sends=[Send("spread", "y" * 9_000), Send("spread", "z")])


def spread(state, arg):
    return {"log": [f"spread {len(arg)}"]}


def finish(state):
    return {"log": [f"finish after {len(state['log'])}"]}


def full_disk_graph() -> Graph:
    return Graph(
        {"load": load, "fill": fill, "spread": spread, "finish": finish},
        [("load", "fill"), ("spread", "finish")],
        sends={"fill": ["spread"]},
        reducers={"log": "append"},
        channels=["log", "blob"],
    )


class WriteSpy:
    """Which of the run directory's writes met the full disk."""

    def __init__(self, monkeypatch: pytest.MonkeyPatch) -> None:
        self.failed: list[str] = []
        monkeypatch.setattr(directory, "write_file", self.wrap(directory.write_file, {".pending": "checkpoint"}))
        append_entry = directory.DirStore._append_entry

        def spied_append(store: Any, line: bytes) -> None:
            try:
                append_entry(store, line)
            except OSError as error:
                if error.errno == errno.ENOSPC:
                    self.failed.append("audit")
                raise

        monkeypatch.setattr(directory.DirStore, "_append_entry", spied_append)

    def wrap(self, write: Any, kinds: dict[str, str]) -> Any:
        def spied(path: Path, *args: Any, **kwargs: Any) -> None:
            try:
                write(path, *args, **kwargs)
            except OSError as error:
                if error.errno == errno.ENOSPC:
                    self.failed.extend(kind for part, kind in kinds.items() if part in path.name)
                raise

        return spied


@pytest.mark.parametrize("store", STORES)
def test_a_full_disk_fails_the_superstep_and_the_store_goes_on_once_freed(tmp_path, small_disk, monkeypatch, store):
    reference = run(full_disk_graph(), tmp_path / "reference", progress=None)
    spy = WriteSpy(monkeypatch)
    failures: list[str] = []
    # Leave ever more room on the disk when `fill` runs in superstep 1, so the disk fills
    # at each write of the run in turn: a node result, a checkpoint, an audit entry.
    for pages in range(12):
        location = small_disk / store
        FILL.update(disk=small_disk, leave=pages * 4096)
        try:
            run(full_disk_graph(), location, progress=None)
        except StoreError as error:
            message = str(error)
            found = re.match(
                rf"store {re.escape(str(location))}: (.+) superstep (\d+) failed: the disk is full", message
            )
            assert found is not None and "run can be resumed once the cause is fixed" in message, message
            superstep = verify(location).completed  # verifiable on the full disk, before any space is freed
            assert int(found[2]) == superstep and 1 <= superstep < reference.completed
            failures.append(found[1])
        FILL.pop("disk", None)
        (small_disk / "filler").unlink(missing_ok=True)
        verify(location)
        result = run(full_disk_graph(), location, progress=None)
        assert result.state_json == reference.state_json and result.completed == reference.completed
        assert str(verify(location).head) == result.head
        assert [p["nodes"] for p in payloads(location)] == [p["nodes"] for p in payloads(tmp_path / "reference")]
        if store == "run.sqlite":
            for suffix in ("", "-wal", "-shm", ".lock"):
                Path(f"{location}{suffix}").unlink(missing_ok=True)
        else:
            shutil.rmtree(location)
    assert {"recording a node result of", "committing"} <= set(failures), failures
    if store == "run-dir":  # the commit's two writes each met the full disk
        assert {"checkpoint", "audit"} <= set(spy.failed), spy.failed


# Locks: a second run on a store in use is refused above (kill test); an SQLite file that
# another connection holds locked is refused naming the file.


def test_a_locked_sqlite_file_is_named(tmp_path):
    location = tmp_path / "run.sqlite"
    graph = full_disk_graph()
    run(graph, location, progress=None, max_supersteps=1)
    holder = sqlite3.connect(location, isolation_level=None)
    try:
        holder.execute("PRAGMA locking_mode=EXCLUSIVE")
        holder.execute("BEGIN EXCLUSIVE")
        holder.execute("INSERT INTO meta (key, value) VALUES ('held', 'by another program')")
        with pytest.raises(StoreError) as caught:
            run(graph, location, progress=None)
        message = str(caught.value)
        assert f"store {location} is locked by another connection" in message, message
        assert "not a usable SQLite database" not in message
        holder.execute("ROLLBACK")
    finally:
        holder.close()
    assert run(graph, location, progress=None).finished


# `show STORE | head -1`: the reader goes away before the output ends.


@pytest.mark.parametrize("store", STORES)
def test_show_into_a_pipe_that_closes_ends_quietly(tmp_path, store):
    def big(state):
        return {"items": list(range(40_000))}

    def step(state):
        return {"count": 1}

    location = tmp_path / store
    run(Graph({"big": big, "step": step}, [("big", "step")], channels=["items", "count"]), location, progress=None)
    show = f"{sys.executable} -m zelk_runtime show {location}"
    for command, first in (
        (f"{show} | head -1", f"store {location}: 2 supersteps"),
        (f"{show} --superstep 0 | head -1", "{"),
    ):
        done = subprocess.run(["bash", "-o", "pipefail", "-c", command], capture_output=True, text=True, timeout=60)
        assert done.returncode == 0 and done.stderr == "", done.stderr
        assert done.stdout.startswith(first) and done.stdout.count("\n") == 1


# A graph file's helper module beside it, on Ray.

HELPERS = """
def shout(text):
    return text.upper() + "!"
"""

HELPED_GRAPH = """
import helpers
from helpers import shout
from zelk_runtime import Graph


def greet(state):
    return {"said": [helpers.shout("hello")]}


def answer(state):
    return {"said": [shout(state["said"][0].lower())]}


graph = Graph([greet, answer], [("greet", "answer")], reducers={"said": "append"}, channels=["said"])
"""


def test_a_helper_module_beside_the_graph_file_travels_to_ray(tmp_path, graph_files, ray_cluster, capsys):
    write(tmp_path / "graph" / "helpers.py", HELPERS)
    path = write(tmp_path / "graph" / "helped.py", HELPED_GRAPH)
    assert main(["run", path, "--store", str(tmp_path / "cli.sqlite"), "--executor", "ray", "--quiet"]) == 0
    assert 'state: {"said":["HELLO!","HELLO!!"]}' in capsys.readouterr().out
    result = run(load_graph_file(path), tmp_path / "api", executor="ray", progress=None)
    assert result.state == {"said": ["HELLO!", "HELLO!!"]}
