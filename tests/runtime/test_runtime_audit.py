"""The audit log's guarantees: truncation is reported, a head pins a log's end, and a keyed
log refuses every edit made without its key; on every store, edited behind its back the
way someone with access to its files (or its database, triggers turned off) could."""

from __future__ import annotations

import json
import sqlite3
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

zelk_runtime = pytest.importorskip("zelk_runtime")
import runtime_graphs  # noqa: E402
import zelk_core  # noqa: E402
from store_kinds import STORES  # noqa: E402
from zelk_runtime import AuditError, run, verify  # noqa: E402

KEY = b"correct horse battery staple"


def completed(place, tmp_path: Path, kind: str, key: bytes | None = None, prefix: str = "") -> Path:
    location = place(tmp_path, kind, prefix)
    run(runtime_graphs.build_graph(), location, progress=None, audit_key=key)
    return location


def in_database(location) -> tuple[object, str] | None:
    """A connection to a PostgreSQL run's database, and the run's name; None for a path."""
    if not str(location).startswith("postgresql://"):
        return None
    import psycopg

    url, _, name = str(location).rpartition("#")
    return psycopg.connect(url, autocommit=True), name


# The log as a list of [payload, hash, tag] rows, read and written behind the store's back
# the way someone with file access but without the key could.
def read_log(location: Path) -> list[list[str | None]]:
    database = in_database(location)
    if database is not None:
        db, name = database
        with db:
            query = "SELECT payload, hash, tag FROM zelk_audit WHERE run = %s ORDER BY position"
            return [list(row) for row in db.execute(query, (name,))]
    if location.suffix == ".sqlite":
        db = sqlite3.connect(location)
        rows = [list(row) for row in db.execute("SELECT payload, hash, tag FROM audit ORDER BY position")]
        db.close()
        return rows
    lines = (location / "audit.jsonl").read_text().splitlines()
    return [[r["payload"], r["hash"], r.get("tag")] for r in map(json.loads, lines)]


def write_log(location: Path, rows: list[list[str | None]]) -> None:
    database = in_database(location)
    if database is not None:
        db, name = database
        with db, db.transaction():  # the table's owner may turn its triggers off
            db.execute("ALTER TABLE zelk_audit DISABLE TRIGGER USER")
            db.execute("DELETE FROM zelk_audit WHERE run = %s", (name,))
            for i, row in enumerate(rows):
                db.execute(
                    "INSERT INTO zelk_audit (run, position, payload, hash, tag) VALUES (%s, %s, %s, %s, %s)",
                    (name, i, *row),
                )
            db.execute("ALTER TABLE zelk_audit ENABLE TRIGGER USER")
        return
    if location.suffix == ".sqlite":
        db = sqlite3.connect(location)
        db.executescript("DROP TRIGGER IF EXISTS audit_no_delete; DELETE FROM audit;")
        db.executemany(
            "INSERT INTO audit (position, payload, hash, tag) VALUES (?, ?, ?, ?)",
            [(i, *row) for i, row in enumerate(rows)],
        )
        db.commit()
        db.close()
        return
    text = ""
    for payload, link, tag in rows:
        record = {"hash": link, "payload": payload} | ({"tag": tag} if tag is not None else {})
        text += json.dumps(record) + "\n"
    (location / "audit.jsonl").write_text(text)


def drop_checkpoints_from(location: Path, superstep: int) -> None:
    database = in_database(location)
    if database is not None:
        db, name = database
        with db:
            db.execute("DELETE FROM zelk_checkpoints WHERE run = %s AND superstep >= %s", (name, superstep))
        return
    if location.suffix == ".sqlite":
        db = sqlite3.connect(location)
        db.execute("DELETE FROM checkpoints WHERE superstep >= ?", (superstep,))
        db.commit()
        db.close()
        return
    for path in (location / "checkpoints").glob("*.zelk"):
        if int(path.stem) >= superstep:
            path.unlink()


def genesis(location: Path) -> str:
    database = in_database(location)
    if database is not None:
        db, name = database
        with db:
            (text,) = db.execute("SELECT manifest FROM zelk_runs WHERE name = %s", (name,)).fetchone()
    elif location.suffix == ".sqlite":
        db = sqlite3.connect(location)
        (text,) = db.execute("SELECT value FROM meta WHERE key = 'manifest'").fetchone()
        db.close()
    else:
        text = (location / "run.json").read_text()
    return zelk_core.hash_event("", text)


def relink(location: Path, rows: list[list[str | None]]) -> None:
    """Recompute every link from the genesis on: what anyone can do to an unkeyed chain."""
    previous = genesis(location)
    for row in rows:
        row[1] = previous = zelk_core.hash_event(previous, row[0])


@pytest.mark.parametrize("kind", STORES)
@pytest.mark.parametrize("keep", [0, 1, 2])
def test_a_truncated_log_is_reported_by_run_and_verify_and_nothing_runs_again(tmp_path, place, kind, keep):
    location = completed(place, tmp_path, kind)
    before = verify(location).head
    write_log(location, read_log(location)[:keep])
    for attempt in (lambda: verify(location), lambda: run(runtime_graphs.build_graph(), location, progress=None)):
        with pytest.raises(AuditError, match="was truncated") as caught:
            attempt()
        assert caught.value.index == keep
    # Nothing was re-executed or rewritten: the log is still the truncated one.
    assert len(read_log(location)) == keep and before.count == 3


@pytest.mark.parametrize("kind", STORES)
def test_a_head_recorded_elsewhere_catches_a_rollback(tmp_path, place, kind):
    location = completed(place, tmp_path, kind)
    head = str(verify(location).head)
    assert verify(location, head=head).head.count == 3
    # A rollback: the last entry and its checkpoint both gone, so the store itself is consistent.
    write_log(location, read_log(location)[:2])
    drop_checkpoints_from(location, 2)
    assert verify(location).completed == 2
    with pytest.raises(AuditError, match=r"does not end at the expected head .*truncated or rolled back"):
        verify(location, head=head)
    with pytest.raises(zelk_runtime.UsageError, match="is not a head"):
        verify(location, head="3:xyz")


def test_a_commit_cut_short_is_finished_or_undone_not_taken_for_truncation(tmp_path, place):
    location = completed(place, tmp_path, "run-dir")
    checkpoints = location / "checkpoints"
    # Killed after the entry was appended, before the checkpoint got its final name.
    (checkpoints / "000002.zelk").rename(checkpoints / "000002.zelk.pending")
    result = run(runtime_graphs.build_graph(), location, progress=None)
    assert result.completed == 3 and (checkpoints / "000002.zelk").exists()
    # Killed before the entry was appended: the superstep runs again.
    rows = read_log(location)
    write_log(location, rows[:2])
    (checkpoints / "000002.zelk").rename(checkpoints / "000002.zelk.pending")
    result = run(runtime_graphs.build_graph(), location, progress=None)
    assert result.completed == 3 and result.resumed_from == 2
    assert len(read_log(location)) == 3 and verify(location).head.count == 3


# Edits someone without the key can make to a keyed log; each returns whether it changed it.
def edit_payload(rows, index, relinked):
    payload = json.loads(rows[index][0])
    payload["cost"] = payload["cost"] + 1
    rows[index][0] = json.dumps(payload)


def edit_remove(rows, index, relinked):
    rows.pop(index)


def edit_swap(rows, index, relinked):
    rows[index], rows[-1] = rows[-1], rows[index]


def edit_truncate(rows, index, relinked):
    del rows[index:]


def edit_append(rows, index, relinked):
    payload = json.loads(rows[-1][0])
    payload["superstep"] = len(rows)
    rows.append([json.dumps(payload), "", rows[index][2]])  # a tag copied from a real entry


EDITS = [edit_payload, edit_remove, edit_swap, edit_truncate, edit_append]


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    st.sampled_from(STORES),
    st.lists(st.tuples(st.sampled_from(EDITS), st.integers(0, 2), st.booleans()), min_size=1, max_size=3),
)
def test_no_edit_of_a_keyed_log_passes_without_the_key(tmp_path_factory, place, kind, edits):
    location = completed(place, tmp_path_factory.mktemp("keyed"), kind, KEY)
    original = read_log(location)
    rows = [list(row) for row in original]
    for edit, index, relinked in edits:
        if rows:
            edit(rows, min(index, len(rows) - 1), relinked)
            if relinked:
                relink(location, rows)
    if [row[:2] for row in rows] == [row[:2] for row in original]:
        return  # the edits cancelled out
    write_log(location, rows)
    with pytest.raises(AuditError):
        verify(location, audit_key=KEY)
    with pytest.raises(AuditError):
        run(runtime_graphs.build_graph(), location, progress=None, audit_key=KEY)


@pytest.mark.parametrize("kind", STORES)
def test_a_keyed_store_needs_its_key_and_refuses_a_wrong_one_or_a_downgrade(tmp_path, place, kind, monkeypatch):
    monkeypatch.delenv("ZELK_AUDIT_KEY", raising=False)
    location = completed(place, tmp_path, kind, KEY)
    stored = verify(location, audit_key=KEY)
    assert stored.keyed and stored.head.count == 3
    with pytest.raises(AuditError, match="keyed audit log: checking it needs its audit key"):
        verify(location)
    with pytest.raises(AuditError, match="is not the key of store"):
        verify(location, audit_key=b"another key")
    monkeypatch.setenv("ZELK_AUDIT_KEY", KEY.decode())
    assert verify(location).head == stored.head
    # The head record lost: the log's end is no longer pinned.
    if kind != "run.sqlite":
        database = in_database(location)
        if database is None:
            (location / "head.json").unlink()
        else:
            with database[0] as db:
                db.execute("UPDATE zelk_runs SET head = NULL WHERE name = %s", (database[1],))
        with pytest.raises(AuditError, match="has no head record"):
            verify(location)
    # An unkeyed store checked with a key is refused: a stripped keyed log looks like it.
    monkeypatch.delenv("ZELK_AUDIT_KEY")
    plain = completed(place, tmp_path, kind, prefix="plain-")
    with pytest.raises(AuditError, match="unkeyed audit log, but an audit key was given"):
        verify(plain, audit_key=KEY)


def test_cli_prints_the_head_and_checks_one(tmp_path, place):
    location = completed(place, tmp_path, "run-dir")
    head = str(verify(location).head)
    command = [sys.executable, "-m", "zelk_runtime", "verify", str(location)]
    shown = subprocess.run(command, capture_output=True, text=True, check=True).stdout
    assert f"head {head}" in shown and "audit chain of 3 entries intact" in shown
    checked = subprocess.run([*command, "--head", head], capture_output=True, text=True)
    assert checked.returncode == 0 and "as expected" in checked.stdout
    wrong = subprocess.run([*command, "--head", "2:" + head.split(":")[1]], capture_output=True, text=True)
    assert wrong.returncode == 1 and "does not end at the expected head" in wrong.stderr
    assert "Traceback" not in wrong.stderr
