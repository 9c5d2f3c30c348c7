"""The session's PostgreSQL server: reachable with the password user, durable across a restart."""

from __future__ import annotations

import pytest

psycopg = pytest.importorskip("psycopg")


def test_rows_survive_a_restart_and_cut_connections_fail(pg_server):
    with psycopg.connect(pg_server.url, autocommit=True) as connection:
        connection.execute("CREATE TABLE smoke (id int PRIMARY KEY, note text)")
        connection.execute("INSERT INTO smoke VALUES (1, 'kept')")
    with psycopg.connect(pg_server.url) as idle:
        assert pg_server.terminate_backends(pg_server.dbname) == 1
        with pytest.raises(psycopg.OperationalError):
            idle.execute("SELECT 1")
    pg_server.restart()
    with psycopg.connect(pg_server.url) as connection:
        assert connection.execute("SELECT id, note FROM smoke").fetchall() == [(1, "kept")]
        connection.execute("DROP TABLE smoke")


def test_wrong_password_and_missing_database_are_refused(pg_server):
    with pytest.raises(psycopg.OperationalError, match="password authentication failed"):
        psycopg.connect(pg_server.url_for(pg_server.dbname, password="wrong"))
    url = pg_server.create_database("smoke_fresh")
    with psycopg.connect(url) as connection:
        assert connection.execute("SELECT current_database(), current_user").fetchone() == ("smoke_fresh", "zelk")
    with pytest.raises(psycopg.OperationalError, match="does not exist"):
        psycopg.connect(pg_server.url_for("no_such_db"))
