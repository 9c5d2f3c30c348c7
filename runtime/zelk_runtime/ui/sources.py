"""Which stores a server shows, and nothing else.

A source is one argument of `serve`:

- a store: a run directory (holding run.json or checkpoints/) or an SQLite file, one run;
- a folder of stores: every run directory and zelk SQLite file directly in it is a run,
  listed afresh on each visit, so runs started later appear;
- a PostgreSQL URL: the runs of its database, with their queue states (needs the
  PostgreSQL store; refused with a clear message where this runtime has none).

A run is addressed by the index of its source and its name there, and a name is only ever
looked up among the names its source lists: nothing of a request becomes a path. A folder
lists no entry that resolves outside it (a symbolic link to elsewhere), and an SQLite file
is checked read-only to be a zelk store before the store code opens it, so the server never
gives another program's database the store's tables.
"""

from __future__ import annotations

import os
import sqlite3
from dataclasses import dataclass
from pathlib import Path
from typing import Protocol
from urllib.parse import quote, urlsplit, urlunsplit

from ..errors import RuntimeFailure, StoreError, UsageError
from ..stores import Store, open_store
from ..stores.sqlite import SQLITE_SUFFIXES, SqliteStore

DIRECTORY, SQLITE, POSTGRESQL = "directory", "sqlite", "postgresql"
SQLITE_HEADER = b"SQLite format 3\x00"
STORE_TABLES = frozenset({"meta", "checkpoints", "audit", "results"})


@dataclass(frozen=True)
class RunRef:
    """One run a source lists: where it is, and how the pages name it."""

    source: int  # the index of its source on the command line
    name: str  # its name in the source: the store's file or folder name, or the database's run name
    location: str  # what open_store and resume are given
    kind: str  # DIRECTORY, SQLITE or POSTGRESQL
    shown: str  # the location as pages show it (a URL without its password)
    queue: str | None = None  # a database run's queue state

    @property
    def key(self) -> str:
        """The run's part of a page address: its source's index and its name, quoted."""
        return f"{self.source}/{quote(self.name, safe='')}"


class Source(Protocol):
    index: int
    label: str  # the argument as pages show it

    def runs(self) -> list[RunRef]:
        """The runs it holds now; raises StoreError when it cannot be listed."""
        ...


def sqlite_problem(path: Path) -> str | None:
    """Why an SQLite file is not a zelk store (None when it is), found through a read-only
    connection: the store code would add its tables to any database it opens."""
    uri = "file:" + quote(str(path.resolve())) + "?mode=ro"
    try:
        db = sqlite3.connect(uri, uri=True)
    except sqlite3.DatabaseError as error:
        return f"{path} cannot be opened as an SQLite database: {error}"
    try:
        tables = {str(row[0]) for row in db.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
        columns = {str(row[1]) for row in db.execute("PRAGMA table_info(audit)")}
    except sqlite3.DatabaseError as error:
        return f"{path} is not a readable SQLite database: {error}"
    finally:
        db.close()
    if not STORE_TABLES <= tables:
        return f"{path} is an SQLite database, but not a zelk store (it lacks the store's tables)"
    if "tag" not in columns:
        return (
            f"{path} was made by an earlier zelk_runtime; the server does not change stores: "
            "`python -m zelk_runtime verify` brings it up to date"
        )
    return None


def _is_sqlite(path: Path) -> bool:
    try:
        with open(path, "rb") as handle:
            return handle.read(len(SQLITE_HEADER)) == SQLITE_HEADER
    except OSError:
        return False


def store_kind(path: Path) -> str | None:
    """DIRECTORY for a run directory, SQLITE for an SQLite file, None for anything else."""
    if path.is_dir():
        return DIRECTORY if (path / "run.json").is_file() or (path / "checkpoints").is_dir() else None
    if path.is_file() and (path.suffix in SQLITE_SUFFIXES or _is_sqlite(path)):
        return SQLITE
    return None


class StoreSource:
    """One store named on the command line."""

    def __init__(self, index: int, path: Path, kind: str) -> None:
        self.index = index
        self.label = str(path)
        self.ref = RunRef(index, path.name or str(path), str(path), kind, str(path))

    def runs(self) -> list[RunRef]:
        return [self.ref]


class FolderSource:
    """A folder whose run directories and zelk SQLite files are the runs."""

    def __init__(self, index: int, path: Path) -> None:
        self.index = index
        self.label = str(path)
        self.path = path

    def runs(self) -> list[RunRef]:
        try:
            inside = self.path.resolve()
            entries = sorted(self.path.iterdir(), key=lambda entry: entry.name)
        except OSError as error:
            raise StoreError(f"cannot list the folder {self.path}: {error}") from error
        found = []
        for entry in entries:
            try:
                if entry.resolve().parent != inside:
                    continue  # a link to somewhere else: not served
                kind = store_kind(entry)
            except OSError:
                continue
            if kind is None or (kind == SQLITE and not _is_sqlite(entry)):
                continue
            if kind == SQLITE and sqlite_problem(entry) is not None:
                continue  # another program's database
            found.append(RunRef(self.index, entry.name, str(entry), kind, str(entry)))
        return found


def without_password(url: str) -> str:
    parts = urlsplit(url)
    if parts.password is None:
        return url
    host = parts.hostname or ""
    if parts.port is not None:
        host = f"{host}:{parts.port}"
    user = f"{parts.username}@" if parts.username else ""
    return urlunsplit((parts.scheme, user + host, parts.path, parts.query, parts.fragment))


class DatabaseSource:
    """The runs of a PostgreSQL database (all of them, or the one a URL#NAME names), with
    their queue states, as the PostgreSQL store lists them (`zelk_runtime.workers.runs`).
    A database that cannot be reached is refused when the server starts."""

    def __init__(self, index: int, given: str) -> None:
        self.index = index
        self.url, _, self.only = given.partition("#")
        self.label = without_password(self.url) + (f"#{self.only}" if self.only else "")
        from ..workers import runs

        self._list = runs
        try:
            runs(self.url)
        except RuntimeFailure as error:  # named by host and database, never the password
            raise UsageError(f"cannot serve {self.label}: {error}") from None

    def runs(self) -> list[RunRef]:
        shown = without_password(self.url)
        return [
            RunRef(self.index, row.name, f"{self.url}#{row.name}", POSTGRESQL, f"{shown}#{row.name}", str(row.state))
            for row in self._list(self.url)
            if not self.only or row.name == self.only
        ]


def source(index: int, given: str) -> Source:
    """The source one argument names; a path must exist."""
    if given.startswith(("postgresql://", "postgres://")):
        return DatabaseSource(index, given)
    path = Path(given)
    if not path.exists():
        raise UsageError(f"cannot serve {given}: no such file or folder")
    kind = store_kind(path)
    if kind == SQLITE:
        return StoreSource(index, path, SQLITE)
    if kind == DIRECTORY:
        return StoreSource(index, path, DIRECTORY)
    if path.is_dir():
        return FolderSource(index, path)
    raise UsageError(f"cannot serve {given}: it is neither a run directory, an SQLite store, nor a folder of them")


def sources(given: list[str]) -> list[Source]:
    if not given:
        raise UsageError("serve needs at least one store, folder of stores, or database URL")
    return [source(index, argument) for index, argument in enumerate(given)]


def find(served: list[Source], index: int, name: str) -> RunRef | None:
    """The run `name` of source `index`, when that source lists it now; None otherwise."""
    if not 0 <= index < len(served):
        return None
    for ref in served[index].runs():
        if ref.name == name:
            return ref
    return None


def open_run(ref: RunRef) -> Store:
    """The run's store, opened for reading: an SQLite file through a read-only connection,
    once it is known to be a zelk store."""
    if ref.kind == SQLITE:
        path = Path(ref.location)
        problem = sqlite_problem(path)
        if problem is not None:
            raise StoreError(problem)
        return SqliteStore(path, create=False, read_only=True)
    return open_store(ref.location, create=False)


def _lock_file(ref: RunRef) -> Path | None:
    if ref.kind == DIRECTORY:
        return Path(ref.location) / ".lock"
    if ref.kind == SQLITE:
        path = Path(ref.location)
        return path.with_name(path.name + ".lock")
    return None


def running(ref: RunRef) -> bool | None:
    """Whether a process holds the run's store lock now (a run or resume in progress), read
    from the kernel's table of locks without touching the lock; None where that table cannot
    be read. A database run says so by its queue state."""
    if ref.queue is not None:
        return ref.queue == "running"
    path = _lock_file(ref)
    if path is None:
        return None
    try:
        info = path.stat()
    except FileNotFoundError:
        return False
    except OSError:
        return None
    try:
        with open("/proc/locks", encoding="ascii", errors="replace") as handle:
            table = handle.read()
    except OSError:
        return None
    wanted = f"{os.major(info.st_dev):02x}:{os.minor(info.st_dev):02x}:{info.st_ino}"
    return any(
        len(fields) > 5 and fields[1] == "FLOCK" and fields[3] == "WRITE" and fields[5] == wanted
        for fields in (line.split() for line in table.splitlines())
    )
