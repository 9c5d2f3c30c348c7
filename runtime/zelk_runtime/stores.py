"""Checkpoint stores: a run directory (the default) and an SQLite file.

A store keeps the run's manifest (the graph it belongs to and the genesis of its audit
chain), one checkpoint blob per completed superstep, the append-only audit log of
(payload, hash[, tag]) entries, and for a keyed log its tagged head record. A superstep
counts as done once its audit entry is durable.

Every checkpoint the store holds has its audit entry: the run directory writes a
superstep's checkpoint under a pending name, appends the entry, and only then gives the
checkpoint its final name; SQLite writes both in one transaction. So a log shorter than
the checkpoints is a log that lost entries, never a superstep cut short, and it is
reported as truncated instead of being run again.
"""

from __future__ import annotations

import fcntl
import json
import os
import sqlite3
from pathlib import Path
from typing import Protocol

from .audit import Entry, Head
from .errors import AuditError, CheckpointError, StoreError

SQLITE_SUFFIXES = (".sqlite", ".sqlite3", ".db")
PENDING = ".pending"  # a checkpoint written before its audit entry


class Store(Protocol):
    """What the runner needs from a store."""

    location: str

    def read_manifest(self) -> str | None: ...
    def write_manifest(self, text: str, head: tuple[Head, str] | None) -> None: ...
    def audit_entries(self) -> list[Entry]: ...
    def read_head(self) -> tuple[Head, str] | None: ...
    def recover(self) -> list[str]: ...
    def checkpoint_superstep_numbers(self) -> list[int]: ...
    def read_checkpoint(self, superstep: int) -> bytes: ...
    def checkpoint_name(self, superstep: int) -> str: ...
    def commit(self, superstep: int, blob: bytes, entry: Entry, head: tuple[Head, str] | None) -> None: ...
    def close(self) -> None: ...


class RunLock:
    """An exclusive lock on a store for the length of a run, so two runs never interleave."""

    def __init__(self, path: Path, store: str) -> None:
        self.path = path
        self.handle = open(path, "a+b")
        try:
            fcntl.flock(self.handle.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            self.handle.close()
            raise StoreError(f"store {store} is in use by another run (lock {path})") from None

    def release(self) -> None:
        fcntl.flock(self.handle.fileno(), fcntl.LOCK_UN)
        self.handle.close()


def lock_store(store: Store) -> RunLock:
    path = Path(store.location)
    return RunLock(path / ".lock" if path.is_dir() else path.with_name(path.name + ".lock"), store.location)


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


def write_file(path: Path, data: bytes, *, sync: bool = True) -> None:
    """Write `data` to a new file at `path` (replacing one there), fsynced unless told not to;
    a failed write leaves no part of the file behind."""
    try:
        descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(descriptor, view) :]
            if sync:
                os.fsync(descriptor)
        finally:
            os.close(descriptor)
    except BaseException:
        path.unlink(missing_ok=True)
        raise


def atomic_write(path: Path, data: bytes, *, sync: bool = True) -> None:
    """Write `data` to `path` so that a reader sees the old file or the new one, whole."""
    temporary = path.with_name(f".{path.name}.{os.getpid()}.tmp")
    write_file(temporary, data, sync=sync)
    os.replace(temporary, path)
    if sync:
        _fsync_directory(path.parent)


class DirStore:
    """A run directory: run.json, audit.jsonl (one JSON object per line), checkpoints/*.zelk,
    and for a keyed log head.json."""

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
        self.head_path = root / "head.json"
        self.checkpoints = root / "checkpoints"

    def read_manifest(self) -> str | None:
        try:
            return self.manifest_path.read_text(encoding="utf-8")
        except FileNotFoundError:
            return None
        except (OSError, UnicodeDecodeError) as error:
            raise StoreError(f"cannot read the manifest {self.manifest_path}: {error}") from error

    def write_manifest(self, text: str, head: tuple[Head, str] | None) -> None:
        self.checkpoints.mkdir(parents=True, exist_ok=True)
        if head is not None:
            self._write_head(head, sync=True)
        atomic_write(self.manifest_path, text.encode("utf-8"))

    def _write_head(self, head: tuple[Head, str], *, sync: bool) -> None:
        recorded, tag = head
        text = json.dumps({"count": recorded.count, "hash": recorded.link, "tag": tag})
        atomic_write(self.head_path, text.encode("utf-8"), sync=sync)

    def _audit_bytes(self) -> bytes:
        try:
            return self.audit_path.read_bytes()
        except FileNotFoundError:
            return b""
        except OSError as error:
            raise StoreError(f"cannot read the audit log {self.audit_path}: {error}") from error

    def audit_entries(self) -> list[Entry]:
        lines = self._audit_bytes().split(b"\n")
        lines.pop()  # the part after the last line feed: empty, or an append cut short
        entries = []
        for index, line in enumerate(lines):
            try:
                record = json.loads(line)
                payload, link, tag = record["payload"], record["hash"], record.get("tag")
                if not isinstance(payload, str) or not isinstance(link, str) or not isinstance(tag, (str, type(None))):
                    raise TypeError("payload, hash and tag must be strings")
            except (ValueError, KeyError, TypeError, AttributeError) as error:
                raise AuditError(
                    f"audit entry {index} in {self.audit_path} is not a readable entry ({error})", index
                ) from error
            entries.append(Entry(payload, link, tag))
        return entries

    def read_head(self) -> tuple[Head, str] | None:
        try:
            record = json.loads(self.head_path.read_bytes())
            return Head(int(record["count"]), str(record["hash"])), str(record["tag"])
        except FileNotFoundError:
            return None
        except (OSError, ValueError, KeyError, TypeError) as error:
            raise AuditError(f"the head record {self.head_path} is not readable ({error})", None) from error

    def recover(self) -> list[str]:
        """Finish or undo what a process killed mid-commit left: an audit line cut short is
        dropped, a pending checkpoint whose entry was written gets its final name, one
        without an entry is removed."""
        notes = []
        data = self._audit_bytes()
        if data and not data.endswith(b"\n"):
            with open(self.audit_path, "r+b") as handle:
                handle.truncate(data.rfind(b"\n") + 1)
                handle.flush()
                os.fsync(handle.fileno())
            notes.append("dropped an audit entry cut short by an earlier crash")
        pending = sorted(self.checkpoints.glob("*.zelk" + PENDING)) if self.checkpoints.is_dir() else []
        if pending:
            count = len(self.audit_entries())
            for path in pending:
                number = path.name.split(".")[0]
                if number.isdigit() and int(number) < count:
                    os.replace(path, self.checkpoint_path(int(number)))
                else:
                    path.unlink()
                    notes.append(f"removed the checkpoint of superstep {int(number)}, cut short by an earlier crash")
        for stray in self.root.glob(".*.tmp"):
            stray.unlink()
        for stray in self.checkpoints.glob(".*.tmp") if self.checkpoints.is_dir() else ():
            stray.unlink()
        return notes

    def checkpoint_path(self, superstep: int) -> Path:
        return self.checkpoints / f"{superstep:06d}.zelk"

    def checkpoint_name(self, superstep: int) -> str:
        return str(self.checkpoint_path(superstep))

    def checkpoint_superstep_numbers(self) -> list[int]:
        if not self.checkpoints.is_dir():
            return []
        return sorted(int(path.stem) for path in self.checkpoints.glob("*.zelk") if path.stem.isdigit())

    def read_checkpoint(self, superstep: int) -> bytes:
        path = self.checkpoint_path(superstep)
        try:
            return path.read_bytes()
        except FileNotFoundError:
            raise CheckpointError(f"checkpoint {path} is missing", superstep, str(path)) from None
        except OSError as error:
            raise CheckpointError(f"cannot read checkpoint {path}: {error}", superstep, str(path)) from error

    def _append_entry(self, entry: Entry) -> None:
        record = {"hash": entry.link, "payload": entry.payload}
        if entry.tag is not None:
            record["tag"] = entry.tag
        line = (json.dumps(record, ensure_ascii=False) + "\n").encode("utf-8")
        descriptor = os.open(self.audit_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
        try:
            size = os.fstat(descriptor).st_size
            try:
                written = os.write(descriptor, line)
                if written != len(line):
                    raise OSError(f"short write to {self.audit_path} ({written} of {len(line)} bytes)")
                os.fsync(descriptor)
            except BaseException:
                os.ftruncate(descriptor, size)  # no part of the entry stays behind
                raise
        finally:
            os.close(descriptor)

    def commit(self, superstep: int, blob: bytes, entry: Entry, head: tuple[Head, str] | None) -> None:
        final = self.checkpoint_path(superstep)
        pending = final.with_name(final.name + PENDING)
        write_file(pending, blob)
        try:
            self._append_entry(entry)
        except BaseException:
            pending.unlink(missing_ok=True)
            raise
        os.replace(pending, final)
        if head is not None:
            # Not fsynced: after a crash the head may lag the log by its last entry, which
            # the check accepts (that entry's tag still has to hold); it never runs ahead.
            self._write_head(head, sync=False)

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
    """One SQLite file in WAL mode; a superstep's checkpoint, audit entry and head record
    commit together."""

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
            columns = {row[1] for row in self.db.execute("PRAGMA table_info(audit)")}
            if "tag" not in columns:  # stores made before keyed logs existed
                self.db.execute("ALTER TABLE audit ADD COLUMN tag TEXT")
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

    def write_manifest(self, text: str, head: tuple[Head, str] | None) -> None:
        with self.db:
            self.db.execute("BEGIN IMMEDIATE")
            self.db.execute("INSERT OR REPLACE INTO meta (key, value) VALUES ('manifest', ?)", (text,))
            if head is not None:
                self._write_head(head)

    def _write_head(self, head: tuple[Head, str]) -> None:
        recorded, tag = head
        text = json.dumps({"count": recorded.count, "hash": recorded.link, "tag": tag})
        self.db.execute("INSERT OR REPLACE INTO meta (key, value) VALUES ('head', ?)", (text,))

    def audit_entries(self) -> list[Entry]:
        rows = self._query("SELECT position, payload, hash, tag FROM audit ORDER BY position")
        entries = []
        for index, (position, payload, link, tag) in enumerate(rows):
            if (
                position != index
                or not isinstance(payload, str)
                or not isinstance(link, str)
                or not isinstance(tag, (str, type(None)))
            ):
                raise AuditError(f"audit entry {index} in {self.path} is not a readable entry", index)
            entries.append(Entry(payload, link, tag))
        return entries

    def read_head(self) -> tuple[Head, str] | None:
        rows = self._query("SELECT value FROM meta WHERE key = 'head'")
        if not rows:
            return None
        try:
            record = json.loads(str(rows[0][0]))
            return Head(int(record["count"]), str(record["hash"])), str(record["tag"])
        except (ValueError, KeyError, TypeError) as error:
            raise AuditError(f"the head record of {self.path} is not readable ({error})", None) from error

    def recover(self) -> list[str]:
        return []  # transactions leave nothing half-done

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

    def commit(self, superstep: int, blob: bytes, entry: Entry, head: tuple[Head, str] | None) -> None:
        try:
            self.db.execute("BEGIN IMMEDIATE")
            row = self.db.execute("SELECT COUNT(*) FROM audit").fetchone()
            position = int(row[0])
            self.db.execute("INSERT OR REPLACE INTO checkpoints (superstep, blob) VALUES (?, ?)", (superstep, blob))
            self.db.execute(
                "INSERT INTO audit (position, payload, hash, tag) VALUES (?, ?, ?, ?)",
                (position, entry.payload, entry.link, entry.tag),
            )
            if head is not None:
                self._write_head(head)
            self.db.execute("COMMIT")
        except sqlite3.DatabaseError as error:
            if self.db.in_transaction:
                self.db.execute("ROLLBACK")
            raise StoreError(f"cannot commit superstep {superstep} to {self.path}: {error}") from error

    def close(self) -> None:
        self.db.close()
