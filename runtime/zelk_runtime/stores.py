"""Checkpoint stores: a run directory (the default) and an SQLite file.

A store keeps three things: the run's manifest (the graph it belongs to and the genesis
of its audit chain), one checkpoint blob per completed superstep, and the append-only
audit log of (payload, hash) entries. A superstep counts as done once its audit entry is
durable; its checkpoint is written before the entry, so a checkpoint without an entry
belongs to a superstep that was cut short and is overwritten when that superstep runs again.
"""

from __future__ import annotations

import fcntl
import json
import os
import sqlite3
from pathlib import Path
from typing import Protocol

from .errors import AuditError, CheckpointError, StoreError

SQLITE_SUFFIXES = (".sqlite", ".sqlite3", ".db")


class Store(Protocol):
    """What the runner needs from a store."""

    location: str

    def read_manifest(self) -> str | None: ...
    def write_manifest(self, text: str) -> None: ...
    def audit_entries(self) -> list[tuple[str, str]]: ...
    def drop_torn_tail(self) -> bool: ...
    def checkpoint_superstep_numbers(self) -> list[int]: ...
    def read_checkpoint(self, superstep: int) -> bytes: ...
    def checkpoint_name(self, superstep: int) -> str: ...
    def commit(self, superstep: int, blob: bytes, payload: str, link: str) -> None: ...
    def close(self) -> None: ...


class RunLock:
    """An exclusive lock on a store for the length of a run, so two runs never interleave."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self.handle = open(path, "a+b")
        try:
            fcntl.flock(self.handle.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            self.handle.close()
            raise StoreError(f"store {path.parent} is in use by another run (lock {path})") from None

    def release(self) -> None:
        fcntl.flock(self.handle.fileno(), fcntl.LOCK_UN)
        self.handle.close()


def lock_store(store: Store) -> RunLock:
    path = Path(store.location)
    return RunLock(path / ".lock" if path.is_dir() else path.with_name(path.name + ".lock"))


def open_store(location: str | os.PathLike[str] | Store, *, create: bool = True) -> Store:
    """The store at `location`: an SQLite file for a name ending in .sqlite, .sqlite3 or .db
    (or an existing file), a run directory otherwise."""
    if not isinstance(location, (str, os.PathLike)):
        return location
    path = Path(location)
    if path.suffix in SQLITE_SUFFIXES or path.is_file():
        return SqliteStore(path, create=create)
    return DirStore(path, create=create)


def _fsync_directory(path: Path) -> None:
    descriptor = os.open(path, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def atomic_write(path: Path, data: bytes) -> None:
    """Write `data` to `path` so that a reader sees the old file or the new one, whole."""
    temporary = path.with_name(f".{path.name}.{os.getpid()}.tmp")
    descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        view = memoryview(data)
        while view:
            view = view[os.write(descriptor, view) :]
        os.fsync(descriptor)
    finally:
        os.close(descriptor)
    os.replace(temporary, path)
    _fsync_directory(path.parent)


class DirStore:
    """A run directory: run.json, audit.jsonl (one JSON object per line), checkpoints/*.zelk."""

    def __init__(self, root: Path, *, create: bool = True) -> None:
        self.root = root
        self.location = str(root)
        if root.exists() and not root.is_dir():
            raise StoreError(f"store {root} is not a directory")
        if not root.exists():
            if not create:
                raise StoreError(f"store {root} does not exist")
            (root / "checkpoints").mkdir(parents=True)
        self.manifest_path = root / "run.json"
        self.audit_path = root / "audit.jsonl"
        self.checkpoints = root / "checkpoints"

    def read_manifest(self) -> str | None:
        try:
            return self.manifest_path.read_text(encoding="utf-8")
        except FileNotFoundError:
            return None
        except (OSError, UnicodeDecodeError) as error:
            raise StoreError(f"cannot read the manifest {self.manifest_path}: {error}") from error

    def write_manifest(self, text: str) -> None:
        self.checkpoints.mkdir(parents=True, exist_ok=True)
        atomic_write(self.manifest_path, text.encode("utf-8"))

    def _audit_bytes(self) -> bytes:
        try:
            return self.audit_path.read_bytes()
        except FileNotFoundError:
            return b""

    def audit_entries(self) -> list[tuple[str, str]]:
        data = self._audit_bytes()
        lines = data.split(b"\n")
        lines.pop()  # the part after the last line feed: empty, or an append cut short
        entries = []
        for index, line in enumerate(lines):
            try:
                record = json.loads(line)
                payload, link = record["payload"], record["hash"]
                if not isinstance(payload, str) or not isinstance(link, str):
                    raise TypeError("payload and hash must be strings")
            except (ValueError, KeyError, TypeError) as error:
                raise AuditError(
                    f"audit entry {index} in {self.audit_path} is not a readable entry ({error})", index
                ) from error
            entries.append((payload, link))
        return entries

    def drop_torn_tail(self) -> bool:
        data = self._audit_bytes()
        if not data or data.endswith(b"\n"):
            return False
        with open(self.audit_path, "r+b") as handle:
            handle.truncate(data.rfind(b"\n") + 1)
            handle.flush()
            os.fsync(handle.fileno())
        return True

    def checkpoint_path(self, superstep: int) -> Path:
        return self.checkpoints / f"{superstep:06d}.zelk"

    def checkpoint_name(self, superstep: int) -> str:
        return str(self.checkpoint_path(superstep))

    def checkpoint_superstep_numbers(self) -> list[int]:
        if not self.checkpoints.is_dir():
            return []
        numbers = []
        for path in self.checkpoints.glob("*.zelk"):
            if path.stem.isdigit():
                numbers.append(int(path.stem))
        return sorted(numbers)

    def read_checkpoint(self, superstep: int) -> bytes:
        path = self.checkpoint_path(superstep)
        try:
            return path.read_bytes()
        except FileNotFoundError:
            raise CheckpointError(f"checkpoint {path} is missing", superstep, str(path)) from None
        except OSError as error:
            raise CheckpointError(f"cannot read checkpoint {path}: {error}", superstep, str(path)) from error

    def commit(self, superstep: int, blob: bytes, payload: str, link: str) -> None:
        atomic_write(self.checkpoint_path(superstep), blob)
        line = (json.dumps({"hash": link, "payload": payload}, ensure_ascii=False) + "\n").encode("utf-8")
        descriptor = os.open(self.audit_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
        try:
            written = os.write(descriptor, line)
            if written != len(line):
                raise StoreError(f"short write to {self.audit_path}")
            os.fsync(descriptor)
        finally:
            os.close(descriptor)

    def close(self) -> None:
        pass


_SCHEMA = """
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS checkpoints (superstep INTEGER PRIMARY KEY, blob BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS audit (position INTEGER PRIMARY KEY, payload TEXT NOT NULL, hash TEXT NOT NULL);
CREATE TRIGGER IF NOT EXISTS audit_no_update BEFORE UPDATE ON audit
    BEGIN SELECT RAISE(ABORT, 'the audit log is append-only'); END;
CREATE TRIGGER IF NOT EXISTS audit_no_delete BEFORE DELETE ON audit
    BEGIN SELECT RAISE(ABORT, 'the audit log is append-only'); END;
"""


class SqliteStore:
    """One SQLite file in WAL mode; a superstep's checkpoint and audit entry commit together."""

    def __init__(self, path: Path, *, create: bool = True) -> None:
        self.path = path
        self.location = str(path)
        if not path.exists() and not create:
            raise StoreError(f"store {path} does not exist")
        try:
            self.db = sqlite3.connect(path, isolation_level=None)
            self.db.execute("PRAGMA journal_mode=WAL")
            self.db.execute("PRAGMA synchronous=FULL")
            self.db.executescript(_SCHEMA)
        except sqlite3.DatabaseError as error:
            raise StoreError(f"store {path} is not a usable SQLite database: {error}") from error

    def _query(self, sql: str, *parameters: object) -> list[tuple[object, ...]]:
        try:
            return self.db.execute(sql, parameters).fetchall()
        except sqlite3.DatabaseError as error:
            raise StoreError(f"cannot read store {self.path}: {error}") from error

    def read_manifest(self) -> str | None:
        rows = self._query("SELECT value FROM meta WHERE key = 'manifest'")
        return str(rows[0][0]) if rows else None

    def write_manifest(self, text: str) -> None:
        self.db.execute("INSERT OR REPLACE INTO meta (key, value) VALUES ('manifest', ?)", (text,))

    def audit_entries(self) -> list[tuple[str, str]]:
        rows = self._query("SELECT position, payload, hash FROM audit ORDER BY position")
        entries = []
        for index, (position, payload, link) in enumerate(rows):
            if position != index or not isinstance(payload, str) or not isinstance(link, str):
                raise AuditError(f"audit entry {index} in {self.path} is not a readable entry", index)
            entries.append((payload, link))
        return entries

    def drop_torn_tail(self) -> bool:
        return False  # transactions leave no partial entry

    def checkpoint_name(self, superstep: int) -> str:
        return f"{self.path} (checkpoint of superstep {superstep})"

    def checkpoint_superstep_numbers(self) -> list[int]:
        return [int(str(row[0])) for row in self._query("SELECT superstep FROM checkpoints ORDER BY superstep")]

    def read_checkpoint(self, superstep: int) -> bytes:
        rows = self._query("SELECT blob FROM checkpoints WHERE superstep = ?", superstep)
        if not rows:
            raise CheckpointError(f"checkpoint {self.checkpoint_name(superstep)} is missing", superstep, self.location)
        blob = rows[0][0]
        if not isinstance(blob, bytes):
            raise CheckpointError(
                f"checkpoint {self.checkpoint_name(superstep)} is not a blob", superstep, self.location
            )
        return blob

    def commit(self, superstep: int, blob: bytes, payload: str, link: str) -> None:
        try:
            self.db.execute("BEGIN IMMEDIATE")
            row = self.db.execute("SELECT COUNT(*) FROM audit").fetchone()
            position = int(row[0])
            self.db.execute("INSERT OR REPLACE INTO checkpoints (superstep, blob) VALUES (?, ?)", (superstep, blob))
            self.db.execute("INSERT INTO audit (position, payload, hash) VALUES (?, ?, ?)", (position, payload, link))
            self.db.execute("COMMIT")
        except sqlite3.DatabaseError as error:
            if self.db.in_transaction:
                self.db.execute("ROLLBACK")
            raise StoreError(f"cannot commit superstep {superstep} to {self.path}: {error}") from error

    def close(self) -> None:
        self.db.close()
