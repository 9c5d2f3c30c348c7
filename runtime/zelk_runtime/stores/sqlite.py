"""One SQLite file in WAL mode. A superstep's checkpoint, audit entry and head record, and
the clearing of its node results and status, commit in one transaction (fsynced); node
results are recorded as each node finishes, without waiting for the disk (they survive
the process being killed; a lost one only means that node runs again). Triggers refuse
updates and deletes of the audit table."""

from __future__ import annotations

import errno
import json
import sqlite3
import urllib.parse
from pathlib import Path
from typing import TYPE_CHECKING

from ..audit import Entry, Head
from ..errors import AuditError, CheckpointError, StoreError
from .files import FileLock, store_error

if TYPE_CHECKING:
    from . import Commit

SQLITE_SUFFIXES = (".sqlite", ".sqlite3", ".db")

_SCHEMA = """
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS checkpoints (superstep INTEGER PRIMARY KEY, blob BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS audit (position INTEGER PRIMARY KEY, payload TEXT NOT NULL, hash TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS results (superstep INTEGER NOT NULL, key TEXT NOT NULL, record TEXT NOT NULL,
    PRIMARY KEY (superstep, key));
CREATE TRIGGER IF NOT EXISTS audit_no_update BEFORE UPDATE ON audit
    BEGIN SELECT RAISE(ABORT, 'the audit log is append-only'); END;
CREATE TRIGGER IF NOT EXISTS audit_no_delete BEFORE DELETE ON audit
    BEGIN SELECT RAISE(ABORT, 'the audit log is append-only'); END;
"""


def _locked(path: Path, error: sqlite3.DatabaseError, doing: str | None = None) -> StoreError | None:
    """The store's error for a file another connection holds locked (after SQLite waited
    for it), or None for any other error."""
    if getattr(error, "sqlite_errorname", "") not in ("SQLITE_BUSY", "SQLITE_LOCKED"):
        return None
    failed = f": {doing} failed" if doing else ""
    return StoreError(
        f"store {path} is locked by another connection to the file ({error}){failed}; nothing was changed, "
        "try again once that connection lets go of it"
    )


def _head_text(head: tuple[Head, str]) -> str:
    recorded, tag = head
    return json.dumps({"count": recorded.count, "hash": recorded.link, "tag": tag})


class SqliteStore:
    def __init__(self, path: Path, *, create: bool = True, read_only: bool = False) -> None:
        """The store in the file at `path`. `read_only` opens an existing store through a
        read-only connection, which changes no byte of the file (nor checkpoints its log):
        the store's tables must be there already, and every write fails."""
        self.path = path
        self.location = str(path)
        if not path.exists() and (not create or read_only):
            raise StoreError(f"store {path} does not exist")
        try:
            if read_only:
                uri = "file:" + urllib.parse.quote(str(path.resolve())) + "?mode=ro"
                self.db = sqlite3.connect(uri, uri=True, isolation_level=None, check_same_thread=False)
            else:
                self.db = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
        except sqlite3.DatabaseError as error:
            raise StoreError(f"cannot open store {path}: {error}") from error
        self.wait_for_disk = True
        if read_only:
            return
        try:
            self.db.execute("PRAGMA journal_mode=WAL")
            self.db.executescript(_SCHEMA)
            columns = {row[1] for row in self.db.execute("PRAGMA table_info(audit)")}
            if "tag" not in columns:  # stores made before keyed logs existed
                self.db.execute("ALTER TABLE audit ADD COLUMN tag TEXT")
        except sqlite3.DatabaseError as error:
            self.db.close()
            raise _locked(path, error) or StoreError(
                f"store {path} is not a usable SQLite database: {error}"
            ) from error
        self._durable(True)

    def _durable(self, wait_for_disk: bool) -> None:
        # WAL with synchronous=FULL fsyncs at every commit; NORMAL survives the process
        # being killed, not the machine losing power.
        self.db.execute(f"PRAGMA synchronous={'FULL' if wait_for_disk else 'NORMAL'}")
        self.wait_for_disk = wait_for_disk

    def lock(self) -> FileLock:
        return FileLock(self.path.with_name(self.path.name + ".lock"), self.location)

    def _query(self, sql: str, *parameters: object) -> list[tuple[object, ...]]:
        try:
            return self.db.execute(sql, parameters).fetchall()
        except sqlite3.DatabaseError as error:
            raise _locked(self.path, error) or StoreError(f"cannot read store {self.path}: {error}") from error

    def _write(self, doing: str, statements: list[tuple[str, tuple[object, ...]]], *, durable: bool) -> None:
        if durable != self.wait_for_disk:
            self._durable(durable)
        try:
            self.db.execute("BEGIN IMMEDIATE")
            for sql, parameters in statements:
                self.db.execute(sql, parameters)
            self.db.execute("COMMIT")
        except sqlite3.DatabaseError as error:
            if self.db.in_transaction:
                self.db.execute("ROLLBACK")
            if isinstance(error, sqlite3.OperationalError) and "full" in str(error):
                raise store_error(self.location, doing, OSError(errno.ENOSPC, str(error))) from error
            raise _locked(self.path, error, doing) or StoreError(
                f"store {self.path}: {doing} failed: {error}"
            ) from error

    def read_manifest(self) -> str | None:
        rows = self._query("SELECT value FROM meta WHERE key = 'manifest'")
        return str(rows[0][0]) if rows else None

    def write_manifest(self, text: str, head: tuple[Head, str] | None) -> None:
        statements: list[tuple[str, tuple[object, ...]]] = [
            ("INSERT OR REPLACE INTO meta (key, value) VALUES ('manifest', ?)", (text,))
        ]
        if head is not None:
            statements.append(("INSERT OR REPLACE INTO meta (key, value) VALUES ('head', ?)", (_head_text(head),)))
        self._write("writing the manifest", statements, durable=True)

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

    def write_base(self, superstep: int, blob: bytes) -> None:
        self._write(
            f"writing the base checkpoint of superstep {superstep}",
            [("INSERT OR REPLACE INTO checkpoints (superstep, blob) VALUES (?, ?)", (superstep, blob))],
            durable=True,
        )

    def commit(self, commit: Commit) -> None:
        entry = commit.entry
        statements: list[tuple[str, tuple[object, ...]]] = [
            ("INSERT OR REPLACE INTO checkpoints (superstep, blob) VALUES (?, ?)", (commit.superstep, commit.blob)),
            (
                "INSERT INTO audit (position, payload, hash, tag) VALUES ((SELECT COUNT(*) FROM audit), ?, ?, ?)",
                (entry.payload, entry.link, entry.tag),
            ),
        ]
        if commit.head is not None:
            statements.append(
                ("INSERT OR REPLACE INTO meta (key, value) VALUES ('head', ?)", (_head_text(commit.head),))
            )
        if commit.clear_results:
            statements.append(("DELETE FROM results", ()))
        if commit.status is not None:
            statements.append(("INSERT OR REPLACE INTO meta (key, value) VALUES ('status', ?)", (commit.status,)))
        elif commit.clear_status:
            statements.append(("DELETE FROM meta WHERE key = 'status'", ()))
        self._write(f"committing superstep {commit.superstep}", statements, durable=True)

    def record_result(self, superstep: int, key: str, text: str) -> None:
        self._write(
            f"recording a node result of superstep {superstep}",
            [("INSERT OR REPLACE INTO results (superstep, key, record) VALUES (?, ?, ?)", (superstep, key, text))],
            durable=False,
        )

    def results(self, superstep: int) -> dict[str, str]:
        rows = self._query("SELECT key, record FROM results WHERE superstep = ?", superstep)
        return {str(key): str(record) for key, record in rows}

    def read_status(self) -> str | None:
        rows = self._query("SELECT value FROM meta WHERE key = 'status'")
        return str(rows[0][0]) if rows else None

    def write_status(self, text: str | None) -> None:
        if text is None:
            statement: tuple[str, tuple[object, ...]] = ("DELETE FROM meta WHERE key = 'status'", ())
        else:
            statement = ("INSERT OR REPLACE INTO meta (key, value) VALUES ('status', ?)", (text,))
        self._write("writing the status record", [statement], durable=True)

    def close(self) -> None:
        self.db.close()
