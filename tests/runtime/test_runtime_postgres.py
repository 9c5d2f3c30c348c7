"""What only the PostgreSQL store does: a superstep commits whole or not at all when its
connection is cut or the server restarts under it, the audit table refuses changes, bad
URLs and passwords are named without the password, many runs share a database, and a run's
lease keeps a second holder out and a stale holder's writes from landing.

(The store-independent suites run on PostgreSQL too, through store_kinds.place.)
"""

from __future__ import annotations

import contextlib
import subprocess
import sys
import threading
import time
import traceback
from collections import Counter
from pathlib import Path
from typing import Any

import pytest

psycopg = pytest.importorskip("psycopg")
zelk_runtime = pytest.importorskip("zelk_runtime")
from zelk_runtime import (  # noqa: E402
    Graph,
    LeaseLost,
    NodeError,
    StoreError,
    StoreUnavailable,
    UsageError,
    fork,
    resume,
    run,
    verify,
)
from zelk_runtime.audit import Entry  # noqa: E402
from zelk_runtime.cli import main  # noqa: E402
from zelk_runtime.stores import Commit, PgStore  # noqa: E402
from zelk_runtime.stores.postgres import Database  # noqa: E402

HUMAN = str(Path(__file__).resolve().parent / "human_graphs.py")
RAN: Counter[str] = Counter()
GATE = threading.Event()  # the node `waits` waits for it
ENTERED = threading.Event()  # set when `waits` starts


def first(state):
    RAN["first"] += 1
    return {"log": ["first"]}


def waits(state):
    RAN["waits"] += 1
    ENTERED.set()
    assert GATE.wait(60), "never let go"
    return {"log": ["waits"]}


def quick(state):
    RAN["quick"] += 1
    return {"log": ["quick"]}


def last(state):
    RAN["last"] += 1
    return {"log": ["last"]}


def gated() -> Graph:
    return Graph(
        [first, waits, quick, last],
        [("first", "waits"), ("first", "quick"), ("waits", "last"), ("quick", "last")],
        reducers={"log": "append"},
        channels=["log"],
    )


DONE = {"log": ["first", "quick", "waits", "last"]}


@pytest.fixture
def url(pg_server):
    RAN.clear()
    GATE.clear()
    ENTERED.clear()
    yield pg_server.url
    GATE.set()


@pytest.fixture
def sql(pg_server):
    """Statements on the session database, as its owner, behind the runtime's back (a
    connection each, as the tests cut them all)."""

    def execute(query: str, *parameters: Any) -> list[tuple[Any, ...]]:
        with psycopg.connect(pg_server.url, autocommit=True) as connection:
            cursor = connection.execute(query, parameters)
            return cursor.fetchall() if cursor.description else []

    return execute


def commits(sql, name: str) -> Counter[int]:
    """How often each superstep of a run was committed (zelk_commits keeps every commit)."""
    return Counter(superstep for (superstep,) in sql("SELECT superstep FROM zelk_commits WHERE run = %s", name))


def in_thread(call: Any) -> tuple[threading.Thread, dict[str, Any]]:
    outcome: dict[str, Any] = {}

    def body() -> None:
        try:
            outcome["result"] = call()
        except BaseException as error:  # handed to the test
            outcome["error"] = error

    thread = threading.Thread(target=body, daemon=True)
    thread.start()
    return thread, outcome


def wait_for(condition: Any, what: str, seconds: float = 30) -> None:
    limit = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < limit, f"timed out waiting for {what}"
        time.sleep(0.02)


# Faults mid-superstep: the superstep commits whole or not at all, once.


@pytest.mark.parametrize("fault", ["cut", "restart", "crash"])
def test_a_superstep_goes_on_after_its_connection_is_cut_or_the_server_restarts(url, pg_server, sql, fault):
    name = f"fault-{fault}"
    thread, outcome = in_thread(lambda: run(gated(), url, run_id=name, executor="threads", progress=None))
    assert ENTERED.wait(30)
    # quick's result recorded, waits still running: superstep 1 is half done.
    wait_for(lambda: sql("SELECT count(*) FROM zelk_results WHERE run = %s", name) == [(1,)], "quick's result")
    if fault == "cut":
        assert pg_server.terminate_backends(pg_server.dbname) >= 1
        GATE.set()
    else:
        pg_server.stop("fast" if fault == "restart" else "immediate")
        GATE.set()  # waits finishes while the server is away: the store keeps trying to connect
        time.sleep(0.5)
        pg_server.start()
    thread.join(60)
    assert "error" not in outcome, outcome.get("error")
    result = outcome["result"]
    assert result.finished and result.state == DONE
    assert RAN == {"first": 1, "waits": 1, "quick": 1, "last": 1}  # nothing ran twice
    assert verify(url, run_id=name).completed == 3
    assert commits(sql, name) == {0: 1, 1: 1, 2: 1}


def test_a_commit_cut_inside_its_transaction_is_made_once(url, pg_server, sql):
    """The connection is cut while the commit's transaction is open (a trigger holds it
    there): nothing of it stays, and the store commits it again on a new connection."""
    name = "cut-in-commit"
    sql("CREATE SEQUENCE IF NOT EXISTS test_pause")
    sql(
        "CREATE OR REPLACE FUNCTION test_pause() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
        "IF NEW.run = 'cut-in-commit' AND NEW.superstep = 1 AND nextval('test_pause') = 1 THEN "
        "PERFORM pg_sleep(30); END IF; RETURN NEW; END $$"
    )
    sql("CREATE TRIGGER test_pause BEFORE INSERT ON zelk_commits FOR EACH ROW EXECUTE FUNCTION test_pause()")
    try:
        GATE.set()
        thread, outcome = in_thread(lambda: run(gated(), url, run_id=name, executor="sequential", progress=None))
        sleeping = "SELECT count(*) FROM pg_stat_activity WHERE wait_event = 'PgSleep' AND datname = current_database()"
        wait_for(lambda: sql(sleeping) == [(1,)], "the commit of superstep 1 to be held")
        assert sql("SELECT count(*) FROM zelk_audit WHERE run = %s", name) == [(1,)]  # not visible yet
        pg_server.terminate_backends(pg_server.dbname)
        thread.join(60)
    finally:
        sql("DROP TRIGGER test_pause ON zelk_commits")
    assert "error" not in outcome, outcome.get("error")
    assert outcome["result"].state == DONE and RAN == {"first": 1, "waits": 1, "quick": 1, "last": 1}
    assert commits(sql, name) == {0: 1, 1: 1, 2: 1}
    assert verify(url, run_id=name).completed == 3


class ReplyLost:
    """A connection that loses the server's reply to the first write that commits an audit
    entry: the entry is in, the caller hears of a dropped connection."""

    def __init__(self, real: Any, entries: Any) -> None:
        self.real, self.entries, self.depth, self.armed = real, entries, 0, True
        self.before = entries()

    def __getattr__(self, name: str) -> Any:
        return getattr(self.real, name)

    @contextlib.contextmanager
    def _cut_after(self, inner: Any) -> Any:
        self.depth += 1
        try:
            with inner as value:
                yield value
        finally:
            self.depth -= 1
        if self.armed and self.depth == 0 and self.entries() > self.before:
            self.armed = False
            self.real.close()
            raise psycopg.OperationalError("server closed the connection unexpectedly")

    def transaction(self) -> Any:
        return self._cut_after(self.real.transaction())

    def pipeline(self) -> Any:
        return self._cut_after(self.real.pipeline())


def test_a_commit_whose_reply_was_lost_is_not_made_twice(url, sql):
    name = "reply-lost"
    GATE.set()
    store = PgStore(url, name)
    try:
        assert run(gated(), store, progress=None, max_supersteps=1).completed == 1
        entries = lambda: sql("SELECT count(*) FROM zelk_audit WHERE run = %s", name)[0][0]  # noqa: E731
        store.db.connection = cut = ReplyLost(store.db.connection, entries)  # superstep 1's commit is cut
        result = run(gated(), store, progress=None, executor="sequential")
    finally:
        store.close()
    assert not cut.armed  # the reply was lost once
    assert result.finished and result.state == DONE
    assert commits(sql, name) == {0: 1, 1: 1, 2: 1}  # found committed, not committed again
    assert verify(url, run_id=name).completed == 3


def test_a_server_away_for_too_long_gives_the_run_up_and_it_goes_on_later(url, pg_server, sql):
    name = "away"
    store = PgStore(url, name, database=Database(url, reconnect_seconds=1.0))
    thread, outcome = in_thread(lambda: run(gated(), store, executor="threads", progress=None))
    try:
        assert ENTERED.wait(30)
        pg_server.stop("fast")
        GATE.set()
        thread.join(60)
    finally:
        pg_server.start()
        store.close()
    error = outcome.get("error")
    assert isinstance(error, StoreUnavailable), error
    assert "could not connect again within 1 s" in str(error) and pg_server.password not in str(error)
    # The lease this process could not give back is known to be nobody's: taken at once.
    result = run(gated(), url, run_id=name, executor="threads", progress=None)
    assert result.finished and result.state == DONE
    assert commits(sql, name) == {0: 1, 1: 1, 2: 1}


# The audit table, bad locations.


def test_the_audit_table_refuses_updates_deletes_and_truncation(url, sql):
    GATE.set()
    run(gated(), url, run_id="append-only", progress=None)
    for statement in (
        "UPDATE zelk_audit SET payload = '{}' WHERE run = 'append-only'",
        "DELETE FROM zelk_audit WHERE run = 'append-only'",
        "TRUNCATE zelk_audit",
    ):
        with pytest.raises(psycopg.errors.RaiseException, match="the audit log is append-only"):
            sql(statement)
    assert verify(url, run_id="append-only").completed == 3


def test_bad_urls_and_passwords_are_named_without_the_password(pg_server, capsys):
    secret = "s3cret-never-shown"
    port = pg_server.port
    cases = [
        (pg_server.url_for(pg_server.dbname, password=secret), f"on 127.0.0.1:{port}", "password authentication"),
        (pg_server.url_for("no_such_db"), "database 'no_such_db'", "does not exist"),
        (
            pg_server.url_for(pg_server.dbname, password=secret).replace(f":{port}/", ":1/"),
            f"database '{pg_server.dbname}' on 127.0.0.1:1",
            "refused",
        ),
    ]
    GATE.set()
    for url, where, why in cases:
        for attempt in (
            lambda: run(gated(), url, run_id="any", progress=None),  # noqa: B023
            lambda: verify(url + "#any"),  # noqa: B023
        ):
            with pytest.raises(StoreError) as caught:
                attempt()
            message = str(caught.value)
            assert message.startswith("cannot connect to PostgreSQL database") and where in message, message
            assert why in message and "as 'zelk'" in message
            told = "".join(traceback.format_exception(caught.value))
            assert secret not in told and pg_server.password not in told
        assert main(["runs", url]) == 1
        err = capsys.readouterr().err
        assert err.startswith("error: cannot connect") and "Traceback" not in err
        assert secret not in err and pg_server.password not in err
    # A good URL with its password: the location and every line printed leave it out.
    location = run(gated(), pg_server.url, run_id="shown", progress=None).store
    assert location == f"postgresql://zelk@127.0.0.1:{port}/{pg_server.dbname}#shown"
    for command in (["verify", pg_server.url, "--run", "shown"], ["show", pg_server.url + "#shown"]):
        assert main(command) == 0
    assert main(["run", HUMAN, "--store", pg_server.url, "--run", "shown-cli", "--quiet"]) == 0
    assert pg_server.password not in capsys.readouterr().out


def test_run_names_are_checked(url, tmp_path):
    for location, run_id, words in [
        (url, None, "name one with run_id='NAME'"),
        (url + "#", None, "name one with run_id='NAME'"),
        (url + "#a", "b", "names run 'a' and run_id names 'b'"),
        (url, "has space", "is not a run name"),
        (url, "-dash", "is not a run name"),
        (tmp_path / "run-dir", "x", "names a run in a PostgreSQL database"),
    ]:
        with pytest.raises(UsageError, match=words):
            run(gated(), location, run_id=run_id, progress=None)
    assert not (tmp_path / "run-dir").exists()
    with pytest.raises(StoreError, match=r"does not exist: PostgreSQL database .* holds no run 'never-made'"):
        verify(url, run_id="never-made")


# Many runs, one database.


def test_many_runs_share_a_database_each_its_own(url, sql, capsys):
    import human_graphs as hg

    GATE.set()
    names = [f"many-{i}" for i in range(6)]
    for i, name in enumerate(names[:3]):
        assert run(gated(), url, run_id=name, progress=None, max_supersteps=i + 1).completed == i + 1
    assert run(hg.build_graph(), url, run_id=names[3], progress=None).status == "interrupted"
    with pytest.raises(NodeError):
        run(hg.build_graph(nodes={"side": hg.broken}), url, run_id=names[4], progress=None)
    fork(url + "#" + names[2], 1, url, into_run_id=names[5])
    for i, name in enumerate(names[:3]):
        stored = verify(url, run_id=name)
        assert stored.completed == i + 1 and stored.store.endswith("#" + name)
    assert verify(url + "#" + names[5]).manifest["parent"]["store"].endswith("#" + names[2])
    assert main(["runs", url]) == 0
    out = capsys.readouterr().out
    rows = {line.split()[0]: line.split()[1:3] for line in out.splitlines()[1:] if line.startswith("many-")}
    assert rows == {
        "many-0": ["stopped", "1"],
        "many-1": ["stopped", "2"],
        "many-2": ["finished", "3"],
        "many-3": ["interrupted", "1"],
        "many-4": ["failed", "1"],
        "many-5": ["new", "0"],
    }
    assert "many-4 failed: node 'side' failed in superstep 1: ValueError: no input" in out
    # The fork goes on by itself; the waiting run's answer reaches it alone.
    assert run(gated(), url, run_id=names[5], progress=None).state == DONE
    assert resume(hg.build_graph(), url, run_id=names[3], answers={"review": "ok"}, progress=None).finished
    assert sql("SELECT count(DISTINCT run) FROM zelk_audit WHERE run LIKE 'many-%%'") == [(6,)]
    assert main(["verify", url, "--run", names[3]]) == 0 and main(["show", url, "--run", names[3]]) == 0
    assert main(["fork", url, "--run", names[3], "--superstep", "0", "--into", url, "--into-run", "many-6"]) == 0
    assert "into postgresql://zelk@" in capsys.readouterr().out and verify(url, run_id="many-6").first == 1


# Leases and fencing.


def test_a_held_run_is_refused_to_a_second_caller_naming_the_holder(url, pg_server):
    name = "held"
    thread, outcome = in_thread(lambda: run(gated(), url, run_id=name, executor="threads", progress=None))
    try:
        assert ENTERED.wait(30)
        with pytest.raises(StoreError, match=r"is in use by another run: \S+:\d+ holds its lease until 20"):
            run(gated(), url, run_id=name, progress=None)
        # Another process is refused too: the holder lives.
        command = [sys.executable, "-m", "zelk_runtime", "run", HUMAN, "--store", url, "--run", name, "--quiet"]
        refused = subprocess.run(command, capture_output=True, text=True, timeout=60)
        assert refused.returncode == 1 and "is in use by another run" in refused.stderr
        assert pg_server.password not in refused.stderr
    finally:
        GATE.set()
        thread.join(60)
    assert outcome["result"].finished
    assert run(gated(), url, run_id=name, progress=None).status == "finished"  # given back


def test_a_stale_holder_is_fenced_off(url, sql):
    """A holder whose heartbeat stopped past its lease finds every write refused once the
    run is taken, and nothing of it written."""
    name = "fenced"
    GATE.set()
    run(gated(), url, run_id=name, progress=None, max_supersteps=1)
    stale = PgStore(url, name, lease_seconds=0.5)
    fresh = PgStore(url, name, lease_seconds=30)
    try:
        lease = stale.lock()
        with pytest.raises(StoreError, match="in use by another run"):
            fresh.lock()  # the lease lasts while its heartbeat renews it
        time.sleep(0.8)
        with pytest.raises(StoreError, match="in use by another run"):
            fresh.lock()
        lease.stop_heartbeat()  # the holder stalls
        time.sleep(0.8)
        taken = fresh.lock()
        assert taken.fence == lease.fence + 1
        entry = Entry('{"superstep": 1}', "0" * 64)
        writes = {
            "committing superstep 1": lambda: stale.commit(Commit(1, b"blob", entry, None, True, False)),
            "recording a node result of superstep 1": lambda: stale.record_result(1, "n:waits", "{}"),
            "writing the status record": lambda: stale.write_status("{}"),
            "writing the manifest": lambda: stale.write_manifest("{}", None),
        }
        for doing, write in writes.items():
            with pytest.raises(LeaseLost) as caught:
                write()
            message = str(caught.value)
            assert f"{doing} refused: the run's lease passed on" in message
            assert f"holds it now, fence {taken.fence}; ours was fence {lease.fence})" in message, message
            assert caught.value.fence == lease.fence and caught.value.current == taken.fence
        assert commits(sql, name) == {0: 1} and verify(url, run_id=name).completed == 1
        assert sql("SELECT count(*) FROM zelk_results WHERE run = %s", name) == [(0,)]
        lease.release("finished")  # a stale release changes nothing either
        assert sql("SELECT worker IS NOT NULL, queue FROM zelk_runs WHERE name = %s", name) == [(True, "running")]
        taken.release()
    finally:
        stale.close()
        fresh.close()
    assert run(gated(), url, run_id=name, progress=None).state == DONE
    assert commits(sql, name) == {0: 1, 1: 1, 2: 1}
