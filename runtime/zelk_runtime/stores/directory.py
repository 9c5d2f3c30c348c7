"""The run directory.

    run.json            the manifest
    audit.jsonl         one audit entry per line: {"hash", "payload"[, "tag"]}
    head.json           the tagged head record of a keyed log
    checkpoints/NNNNNN.zelk
    results.log         node results of the superstep in progress, one per line:
                        SUPERSTEP <tab> KEY as JSON <tab> RECORD as JSON
    status.json         the run's status record, when it has one

A superstep commits in three steps: its checkpoint is written and fsynced under a pending
name (NNNNNN.zelk.pending), its audit entry is appended and fsynced, and the checkpoint is
renamed to its final name. A process killed in between leaves a pending checkpoint, which
`recover` completes when its entry made it and removes otherwise, so a checkpoint under
its final name always has its entry. Node results are appended without fsync: they
survive the process being killed, and a lost one only means that node runs again.
"""

from __future__ import annotations

import errno
import json
import os
from pathlib import Path
from typing import TYPE_CHECKING

from ..audit import Entry, Head
from ..errors import AuditError, CheckpointError, StoreError
from .files import FileLock, atomic_write, store_error, write_file

if TYPE_CHECKING:
    from . import Commit

PENDING = ".pending"
RESULTS_KEPT = 1 << 18  # bytes of old node results kept before the file is emptied


def _head_text(head: tuple[Head, str]) -> bytes:
    recorded, tag = head
    return json.dumps({"count": recorded.count, "hash": recorded.link, "tag": tag}).encode("utf-8")


class DirStore:
    def __init__(self, root: Path, *, create: bool = True) -> None:
        self.root = root
        self.location = str(root)
        if root.exists() and not root.is_dir():
            raise StoreError(f"store {root} is not a directory")
        if not root.exists():
            if not create:
                raise StoreError(f"store {root} does not exist")
            try:
                (root / "checkpoints").mkdir(parents=True)
            except OSError as error:
                raise store_error(self.location, "creating the run directory", error) from error
        self.manifest_path = root / "run.json"
        self.audit_path = root / "audit.jsonl"
        self.head_path = root / "head.json"
        self.results_path = root / "results.log"
        self._results: int | None = None  # the results file, open while the store is
        self._audit: int | None = None  # the audit log, open for appending while the store is
        self._audit_size = 0
        self.status_path = root / "status.json"
        self.checkpoints = root / "checkpoints"

    def lock(self) -> FileLock:
        return FileLock(self.root / ".lock", self.location)

    def _read(self, path: Path, what: str) -> bytes | None:
        try:
            return path.read_bytes()
        except FileNotFoundError:
            return None
        except OSError as error:
            raise StoreError(f"cannot read {what} {path}: {error}") from error

    def read_manifest(self) -> str | None:
        data = self._read(self.manifest_path, "the manifest")
        try:
            return None if data is None else data.decode("utf-8")
        except UnicodeDecodeError as error:
            raise StoreError(f"the manifest {self.manifest_path} is not UTF-8 text: {error}") from error

    def write_manifest(self, text: str, head: tuple[Head, str] | None) -> None:
        try:
            self.checkpoints.mkdir(parents=True, exist_ok=True)
            if head is not None:
                atomic_write(self.head_path, _head_text(head))
            atomic_write(self.manifest_path, text.encode("utf-8"))
        except OSError as error:
            raise store_error(self.location, "writing the manifest", error) from error

    def audit_entries(self) -> list[Entry]:
        lines = (self._read(self.audit_path, "the audit log") or b"").split(b"\n")
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
        data = self._read(self.head_path, "the head record")
        if data is None:
            return None
        try:
            record = json.loads(data)
            return Head(int(record["count"]), str(record["hash"])), str(record["tag"])
        except (ValueError, KeyError, TypeError) as error:
            raise AuditError(f"the head record {self.head_path} is not readable ({error})", None) from error

    def recover(self) -> list[str]:
        """Finish or undo what a process killed mid-commit left: an audit line cut short is
        dropped, a pending checkpoint whose entry was written gets its final name, one
        without an entry is removed."""
        notes = []
        data = self._read(self.audit_path, "the audit log") or b""
        if data and not data.endswith(b"\n"):
            with open(self.audit_path, "r+b") as handle:
                handle.truncate(data.rfind(b"\n") + 1)
                handle.flush()
                os.fsync(handle.fileno())
            notes.append("dropped an audit entry cut short by an earlier crash")
        if self.checkpoints.is_dir():
            pending = sorted(self.checkpoints.glob("*.zelk" + PENDING))
            count = self._last_superstep() + 1 if pending else 0
            for path in pending:
                number = path.name.split(".")[0]
                if number.isdigit() and int(number) < count:
                    os.replace(path, self.checkpoint_path(int(number)))
                else:
                    path.unlink()
                    notes.append(f"removed the checkpoint of superstep {int(number)}, cut short by an earlier crash")
            for stray in self.checkpoints.glob(".*.tmp"):
                stray.unlink()
        for stray in self.root.glob(".*.tmp"):
            stray.unlink()
        return notes

    def _last_superstep(self) -> int:
        """The superstep of the log's last entry, -1 for none (read from its payload)."""
        entries = self.audit_entries()
        if not entries:
            return -1
        try:
            number = json.loads(entries[-1].payload)["superstep"]
            return int(number)
        except (ValueError, KeyError, TypeError):
            return -1

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

    def write_base(self, superstep: int, blob: bytes) -> None:
        try:
            atomic_write(self.checkpoint_path(superstep), blob)
        except OSError as error:
            raise store_error(self.location, f"writing the base checkpoint of superstep {superstep}", error) from error

    def commit(self, commit: Commit) -> None:
        final = self.checkpoint_path(commit.superstep)
        pending = final.with_name(final.name + PENDING)
        entry = commit.entry
        record = {"hash": entry.link, "payload": entry.payload} | ({"tag": entry.tag} if entry.tag else {})
        line = (json.dumps(record, ensure_ascii=False) + "\n").encode("utf-8")
        try:
            write_file(pending, commit.blob)
            try:
                self._append_entry(line)
            except BaseException:
                pending.unlink(missing_ok=True)
                raise
        except OSError as error:
            raise store_error(self.location, f"committing superstep {commit.superstep}", error) from error
        os.replace(pending, final)
        # What follows is not needed for the superstep to count; a crash here leaves records
        # the runner tells apart: results of an earlier superstep, a status that predates the
        # last entry, a head record one entry behind (its tag still has to hold).
        try:
            if commit.head is not None:
                atomic_write(self.head_path, _head_text(commit.head), sync=False)
            if commit.clear_results:
                self._clear_results()
            if commit.status is not None:
                atomic_write(self.status_path, commit.status.encode("utf-8"))
            elif commit.clear_status:
                self.status_path.unlink(missing_ok=True)
        except OSError as error:
            raise store_error(self.location, f"finishing the commit of superstep {commit.superstep}", error) from error

    def record_result(self, superstep: int, key: str, text: str) -> None:
        plain = key.isascii() and key.isprintable() and '"' not in key and "\\" not in key
        quoted = f'"{key}"' if plain else json.dumps(key, ensure_ascii=False)
        # In pieces, so that a large result is not copied into a line first.
        pieces = [f"{superstep}\t{quoted}\t".encode(), text.encode(), b"\n"]
        size = sum(map(len, pieces))
        try:
            if self._results is None:
                self._results = os.open(self.results_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
            written = os.writev(self._results, pieces)
            if written != size:
                raise OSError(errno.ENOSPC, f"short write to {self.results_path}")
        except OSError as error:
            self._close_results()
            raise store_error(self.location, f"recording a node result of superstep {superstep}", error) from error

    def _close_results(self) -> None:
        if self._results is not None:
            os.close(self._results)
            self._results = None

    def _clear_results(self) -> None:
        # Results of committed supersteps are never read again (they carry their superstep's
        # number), so the file is emptied only once it has grown: one syscall in a while.
        if self._results is None:
            self.results_path.unlink(missing_ok=True)
        elif os.fstat(self._results).st_size > RESULTS_KEPT:
            os.ftruncate(self._results, 0)

    def _append_entry(self, line: bytes) -> None:
        """Append an audit line, fsynced, through a descriptor kept open for the run; a
        failed append leaves the log as it was."""
        if self._audit is None:
            self._audit = os.open(self.audit_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
            self._audit_size = os.fstat(self._audit).st_size
        try:
            written = os.write(self._audit, line)
            if written != len(line):
                raise OSError(errno.ENOSPC, f"short write to {self.audit_path} ({written} of {len(line)} bytes)")
            os.fsync(self._audit)
        except BaseException:
            os.ftruncate(self._audit, self._audit_size)  # no part of the entry stays behind
            raise
        self._audit_size += len(line)

    def results(self, superstep: int) -> dict[str, str]:
        found: dict[str, str] = {}
        prefix = f"{superstep}\t".encode()
        for line in (self._read(self.results_path, "the node results") or b"").split(b"\n"):
            if not line.startswith(prefix):
                continue  # another superstep's, or a line cut short by a crash: that node runs again
            try:
                _, key, text = line.decode("utf-8").split("\t", 2)
                found[json.loads(key)] = text
            except ValueError:
                continue
        return found

    def read_status(self) -> str | None:
        data = self._read(self.status_path, "the status record")
        return None if data is None else data.decode("utf-8", "replace")

    def write_status(self, text: str | None) -> None:
        try:
            if text is None:
                self.status_path.unlink(missing_ok=True)
            else:
                atomic_write(self.status_path, text.encode("utf-8"))
        except OSError as error:
            raise store_error(self.location, "writing the status record", error) from error

    def close(self) -> None:
        self._close_results()
        if self._audit is not None:
            os.close(self._audit)
            self._audit = None
