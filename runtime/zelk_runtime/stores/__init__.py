"""Where runs are kept: a run directory (the default), an SQLite file, or a run in a
PostgreSQL database (many runs in one), one record format.

A store keeps a run's records, and nothing of their meaning (the runner owns that):

- the manifest: the text the audit chain starts from (the graph, the code, the key check);
- the audit log: one entry (payload, link[, tag]) per committed superstep, append-only,
  and for a keyed log its tagged head record;
- one checkpoint blob per superstep, under the superstep's number;
- node results of the superstep in progress, recorded as each node finishes, so that a run
  killed mid-superstep runs only the nodes that had not finished;
- the run's status record (waiting at an interrupt, resuming with answers).

A superstep's checkpoint and entry commit together, with the head record, the clearing of
the superstep's results and of a status it consumed: every checkpoint the store holds has
its entry, so a log shorter than the checkpoints lost entries, and is reported as truncated.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path
from typing import Protocol

from ..audit import Entry, Head
from ..errors import UsageError
from .directory import DirStore
from .postgres import PgStore, is_postgres
from .sqlite import SQLITE_SUFFIXES, SqliteStore

__all__ = ["Commit", "DirStore", "Lock", "PgStore", "SqliteStore", "Store", "open_store"]


@dataclass(frozen=True)
class Commit:
    """One superstep's records, written all or nothing."""

    superstep: int
    blob: bytes
    entry: Entry
    head: tuple[Head, str] | None  # the tagged head record of a keyed log
    clear_results: bool  # the superstep consumed the recorded node results
    clear_status: bool  # ... and the status record (answers given on resume)
    status: str | None = None  # a status record to write with the superstep instead


class Lock(Protocol):
    """A store held for a run: a file lock, or a PostgreSQL run's lease. `outcome` says what
    became of the run (None: nothing ran), `error` why it failed."""

    def release(self, outcome: str | None = None, error: str | None = None) -> None: ...


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
    def write_base(self, superstep: int, blob: bytes) -> None: ...
    def commit(self, commit: Commit) -> None: ...
    def record_result(self, superstep: int, key: str, text: str) -> None: ...
    def results(self, superstep: int) -> dict[str, str]: ...
    def read_status(self) -> str | None: ...
    def write_status(self, text: str | None) -> None: ...
    def lock(self) -> Lock: ...
    def close(self) -> None: ...


def open_store(location: str | os.PathLike[str] | Store, *, create: bool = True, run_id: str | None = None) -> Store:
    """The store at `location`: a run in a PostgreSQL database for a postgresql:// URL (the
    run named by `run_id` or as URL#NAME), an SQLite file for a name ending in .sqlite,
    .sqlite3 or .db (or an existing file), a run directory otherwise."""
    if is_postgres(location):
        assert isinstance(location, str)
        return PgStore(location, run_id, create=create)
    if run_id is not None:
        raise UsageError(
            f"run_id={run_id!r} names a run in a PostgreSQL database; {str(location)!r} is a store of one run"
        )
    if not isinstance(location, (str, os.PathLike)):
        return location
    path = Path(location)
    if path.suffix in SQLITE_SUFFIXES or path.is_file():
        return SqliteStore(path, create=create)
    return DirStore(path, create=create)
