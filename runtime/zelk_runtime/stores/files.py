"""File writing for the run directory: whole files or nothing, durable when asked, a lock,
and full disks reported as the store's error."""

from __future__ import annotations

import errno
import fcntl
import os
from pathlib import Path

from ..errors import StoreError


def fsync_directory(path: Path) -> None:
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
        fsync_directory(path.parent)


def append(path: Path, data: bytes, *, sync: bool) -> None:
    """Append `data` whole, or leave the file as it was."""
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    try:
        size = os.fstat(descriptor).st_size
        try:
            written = os.write(descriptor, data)
            if written != len(data):
                raise OSError(errno.ENOSPC, f"short write to {path} ({written} of {len(data)} bytes)")
            if sync:
                os.fsync(descriptor)
        except BaseException:
            os.ftruncate(descriptor, size)  # no part of the record stays behind
            raise
    finally:
        os.close(descriptor)


def store_error(location: str, doing: str, error: OSError) -> StoreError:
    """The store's error for a failed write, naming the store and what was being done."""
    if error.errno in (errno.ENOSPC, errno.EDQUOT):
        reason = "the disk is full"
    else:
        reason = error.strerror or str(error)
    return StoreError(
        f"store {location}: {doing} failed: {reason} ({error}); nothing of it was kept, the store is as it was "
        "before and the run can be resumed once the cause is fixed"
    )


class FileLock:
    """An exclusive lock on a store for the length of a run, so two runs never interleave."""

    def __init__(self, path: Path, store: str) -> None:
        self.path = path
        try:
            self.handle = open(path, "a+b")
        except OSError as error:
            raise StoreError(f"cannot lock store {store} ({path}): {error}") from error
        try:
            fcntl.flock(self.handle.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            self.handle.close()
            raise StoreError(f"store {store} is in use by another run (lock file {path})") from None

    def release(self, outcome: str | None = None, error: str | None = None) -> None:
        fcntl.flock(self.handle.fileno(), fcntl.LOCK_UN)
        self.handle.close()
