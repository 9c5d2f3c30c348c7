"""The throwaway PostgreSQL server, started once for the session when a test asks for it."""

from __future__ import annotations

from collections.abc import Iterator

import pytest
from pg_server import PgServer, PgServerError


@pytest.fixture(scope="session")
def pg_server() -> Iterator[PgServer]:
    pytest.importorskip("psycopg", reason="psycopg is not installed (pip install 'psycopg[binary]')")
    try:
        server = PgServer()
    except PgServerError as error:
        pytest.skip(f"no PostgreSQL server: {error}")
    try:
        server.start()
    except PgServerError as error:
        server.close()
        pytest.skip(f"PostgreSQL did not start: {error}")
    try:
        yield server
    finally:
        server.close()
