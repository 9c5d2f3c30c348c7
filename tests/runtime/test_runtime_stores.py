"""Stores under damage: tampered audit logs, damaged checkpoints, a process killed mid-superstep."""

from __future__ import annotations

import json
import os
import signal
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

import pytest

zelk_runtime = pytest.importorskip("zelk_runtime")
import runtime_graphs  # noqa: E402
from zelk_runtime import AuditError, CheckpointError, StoreError, run, verify  # noqa: E402

HERE = Path(__file__).resolve().parent
STORES = ["run-dir", "run.sqlite"]


def completed_store(tmp_path: Path, kind: str) -> Path:
    location = tmp_path / kind
    run(runtime_graphs.build_graph(), location, progress=None)
    return location


# Audit log edits, each as (index reported, edit of the list of (payload, hash) entries).
def change_payload(entries, index):
    payload = json.loads(entries[index][0])
    payload["cost"] = 99.0
    entries[index] = (json.dumps(payload), entries[index][1])


def change_hash(entries, index):
    entries[index] = (entries[index][0], entries[index][1].upper())


TAMPERS = [
    (0, lambda e: change_payload(e, 0)),  # a broken first entry: 0, not "intact"
    (1, lambda e: change_payload(e, 1)),
    (2, lambda e: change_hash(e, 2)),
    (0, lambda e: e.__setitem__(slice(0, 2), [e[1], e[0]])),
    (1, lambda e: e.pop(1)),
]


def rewrite_audit(location: Path, edit) -> None:
    if location.suffix == ".sqlite":
        db = sqlite3.connect(location)
        entries = db.execute("SELECT payload, hash FROM audit ORDER BY position").fetchall()
        edit(entries)
        db.executescript("DROP TRIGGER audit_no_delete; DELETE FROM audit;")
        db.executemany(
            "INSERT INTO audit (position, payload, hash) VALUES (?, ?, ?)",
            [(i, p, h) for i, (p, h) in enumerate(entries)],
        )
        db.commit()
        db.close()
        return
    path = location / "audit.jsonl"
    entries = [(r["payload"], r["hash"]) for r in map(json.loads, path.read_text().splitlines())]
    edit(entries)
    path.write_text("".join(json.dumps({"hash": h, "payload": p}) + "\n" for p, h in entries))


@pytest.mark.parametrize("kind", STORES)
@pytest.mark.parametrize("index, edit", TAMPERS)
def test_a_tampered_audit_entry_is_reported_with_its_index(tmp_path, kind, index, edit):
    location = completed_store(tmp_path, kind)
    rewrite_audit(location, edit)
    for attempt in (lambda: verify(location), lambda: run(runtime_graphs.build_graph(), location, progress=None)):
        with pytest.raises(AuditError, match=f"audit entry {index} .*refusing to go on") as caught:
            attempt()
        assert caught.value.index == index


def test_sqlite_audit_log_refuses_updates(tmp_path):
    location = completed_store(tmp_path, "run.sqlite")
    db = sqlite3.connect(location)
    with pytest.raises(sqlite3.DatabaseError, match="append-only"):
        db.execute("UPDATE audit SET payload = 'x' WHERE position = 0")
    with pytest.raises(sqlite3.DatabaseError, match="append-only"):
        db.execute("DELETE FROM audit")


DAMAGES = [
    (lambda blob: blob[: len(blob) // 2], "damaged or truncated: EOF while parsing"),
    (lambda blob: b"", "damaged or truncated: invalid checkpoint: bad magic header"),
    (lambda blob: b"ZELX" + blob[4:], "bad magic header"),
    (lambda blob: blob[:4] + b"\x02" + blob[5:], "unsupported checkpoint version: 2"),
    (lambda blob: blob + b"\x00", "trailing characters"),
    (lambda blob: blob[:6] + b"\xff" + blob[7:], "damaged or truncated"),
    (lambda blob: blob + b" ", "does not match audit entry 2"),  # still a valid frame, other bytes
    (None, "is missing"),
]


def damage_checkpoint(location: Path, superstep: int, damage) -> str:
    if location.suffix == ".sqlite":
        db = sqlite3.connect(location)
        (blob,) = db.execute("SELECT blob FROM checkpoints WHERE superstep = ?", (superstep,)).fetchone()
        if damage is None:
            db.execute("DELETE FROM checkpoints WHERE superstep = ?", (superstep,))
        else:
            db.execute("UPDATE checkpoints SET blob = ? WHERE superstep = ?", (damage(blob), superstep))
        db.commit()
        db.close()
        return f"{location} (checkpoint of superstep {superstep})"
    path = location / "checkpoints" / f"{superstep:06d}.zelk"
    if damage is None:
        path.unlink()
    else:
        path.write_bytes(damage(path.read_bytes()))
    return str(path)


@pytest.mark.parametrize("kind", STORES)
@pytest.mark.parametrize("damage, words", DAMAGES)
def test_a_damaged_checkpoint_names_itself(tmp_path, kind, damage, words):
    location = completed_store(tmp_path, kind)
    name = damage_checkpoint(location, 2, damage)
    for attempt in (lambda: verify(location), lambda: run(runtime_graphs.build_graph(), location, progress=None)):
        with pytest.raises(CheckpointError) as caught:
            attempt()
        assert f"checkpoint {name}" in str(caught.value) and words in str(caught.value)
        assert caught.value.superstep == 2


@pytest.mark.parametrize(
    "content, words",
    [
        (b"not json", "not JSON"),
        (b'{"format": 7}', "no run manifest"),
    ],
)
def test_a_damaged_manifest_is_refused(tmp_path, content, words):
    location = completed_store(tmp_path, "run-dir")
    (location / "run.json").write_bytes(content)
    with pytest.raises(StoreError, match=words):
        run(runtime_graphs.build_graph(), location, progress=None)


@pytest.mark.parametrize("kind", STORES)
def test_a_store_without_its_manifest_is_refused(tmp_path, kind):
    location = completed_store(tmp_path, kind)
    if kind == "run.sqlite":
        with sqlite3.connect(location) as db:
            db.execute("DELETE FROM meta")
    else:
        (location / "run.json").unlink()
    with pytest.raises(StoreError, match="but no manifest"):
        run(runtime_graphs.build_graph(), location, progress=None)


@pytest.mark.parametrize("kind", STORES)
def test_a_store_in_use_is_refused(tmp_path, kind):
    location = tmp_path / kind
    store = zelk_runtime.open_store(location)
    lock = store.lock()
    try:
        with pytest.raises(StoreError, match="in use by another run"):
            run(runtime_graphs.build_graph(), location, progress=None)
    finally:
        lock.release()
        store.close()
    assert run(runtime_graphs.build_graph(), location, progress=None).finished


def test_a_file_that_is_no_database_is_refused(tmp_path):
    path = tmp_path / "run.sqlite"
    path.write_bytes(b"this is not a database at all, just text" * 100)
    with pytest.raises(StoreError, match="not a usable SQLite database"):
        run(runtime_graphs.build_graph(), path, progress=None)


def test_an_append_cut_short_is_dropped_and_the_superstep_runs_again(tmp_path):
    location = tmp_path / "run-dir"
    run(runtime_graphs.build_graph(), location, progress=None, max_supersteps=2)
    audit = location / "audit.jsonl"
    lines = audit.read_bytes().splitlines(keepends=True)
    audit.write_bytes(lines[0] + lines[1][:40])  # superstep 1's entry torn mid-line, so its
    checkpoint = location / "checkpoints" / "000001.zelk"  # checkpoint still had its pending name
    checkpoint.rename(checkpoint.with_name(checkpoint.name + ".pending"))
    result = run(runtime_graphs.build_graph(), location, progress=None)
    assert "dropped an audit entry cut short by an earlier crash" in result.notes and result.resumed_from == 1
    assert result.state == {"steps": ["first", "middle", "last"], "total": 111}
    assert verify(location).completed == 3


@pytest.mark.parametrize("kind", STORES)
def test_a_process_killed_mid_superstep_loses_only_that_superstep(tmp_path, kind):
    location = tmp_path / kind
    marker = tmp_path / "started"
    command = [
        sys.executable,
        "-m",
        "zelk_runtime",
        "run",
        str(HERE / "runtime_graphs.py"),
        "--store",
        str(location),
        "--executor",
        "threads",
        "--quiet",
    ]
    child = subprocess.Popen(
        command, env=os.environ | {"ZELK_TEST_BLOCK": str(marker)}, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE
    )
    try:
        deadline = time.monotonic() + 30
        while not marker.exists():
            assert child.poll() is None, child.stderr.read().decode() if child.stderr else ""
            assert time.monotonic() < deadline, "the child never reached the blocking node"
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
    result = run(runtime_graphs.build_graph(), location, progress=None)
    assert result.resumed_from == 1
    assert result.state == {"steps": ["first", "middle", "last"], "total": 111}
