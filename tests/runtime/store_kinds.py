"""The stores the store-independent tests run on: a run directory, an SQLite file, and a run
in the session's PostgreSQL database (tests/runtime/pg_server.py), each test its own run.

`place(folder, kind)` is where a test keeps its run: a path in `folder` for the file stores
(`prefix` + the kind's name: "run-dir", "run.sqlite"), the server's URL with a run name of
its own for "postgres". Without a server, a test of the PostgreSQL kind skips, and an
example of it inside a hypothesis test is rejected (its examples on the file stores go on).
"""

from __future__ import annotations

import itertools
import os
import re
from pathlib import Path
from typing import Any

import pytest

FILE_STORES = ["run-dir", "run.sqlite"]
STORES = [*FILE_STORES, "postgres"]
_numbers = itertools.count()


class Places:
    def __init__(self, request: pytest.FixtureRequest) -> None:
        self.request = request
        self.server: Any = None

    def url(self) -> str:
        """The session server's URL (the test skips without one)."""
        if self.server is None:
            try:
                self.server = self.request.getfixturevalue("pg_server")
            except pytest.skip.Exception:
                import hypothesis

                if hypothesis.currently_in_test_context():
                    hypothesis.reject()
                raise
        return str(self.server.url)

    def name(self, prefix: str = "") -> str:
        test = re.sub(r"[^A-Za-z0-9_.-]+", "-", self.request.node.name)[-120:].strip("-.")
        return f"{prefix}{test}-{os.getpid()}-{next(_numbers)}"

    def __call__(self, folder: str | os.PathLike[str], kind: str, prefix: str = "") -> Any:
        if kind == "postgres":
            return f"{self.url()}#{self.name(prefix)}"
        return Path(folder) / (prefix + kind)


def shown(location: Any) -> str:
    """A location as the runtime names it in messages and records: a PostgreSQL URL without
    its password."""
    return re.sub(r"^(postgres(?:ql)?://[^:@/]*):[^@/]*@", r"\1@", str(location))


def exists(location: Any) -> bool:
    """Whether a store is there: a path, or a run the database holds (even one never run)."""
    if not str(location).startswith(("postgresql://", "postgres://")):
        return Path(location).exists()
    from zelk_runtime import StoreError
    from zelk_runtime.stores import open_store

    try:
        open_store(location, create=False).close()
    except StoreError:
        return False
    return True


def named(location: Any) -> tuple[str, list[str]]:
    """A location as the command line takes it: a path alone, or a PostgreSQL URL and
    `--run NAME`."""
    text = str(location)
    if "#" in text and text.startswith(("postgresql://", "postgres://")):
        url, _, name = text.rpartition("#")
        return url, ["--run", name]
    return text, []
