"""PostgreSQL: one database holds many runs, each named (`postgresql://user@host/db#NAME`, or
the URL with run_id= / --run NAME), in the record format of the other stores.

    zelk_runs         a row per run: manifest, head record, status record, its place in the
                      queue, the graph file of a submitted run, and its lease: the worker
                      holding it, until when, and the fencing token
    zelk_audit        one row per audit entry; a trigger refuses UPDATE, DELETE and TRUNCATE
    zelk_checkpoints  one blob per superstep
    zelk_results      node results of the superstep in progress
    zelk_commits      one row per committed superstep (worker and token), for the record

A run is held under a lease rather than a file lock: taking it raises the run's fencing token,
a heartbeat extends it while the holder lives, and every write carries the token and is
refused (`LeaseLost`) once the lease has passed to another holder, so a holder that stalled
past its lease cannot commit a superstep its successor commits too. A superstep's
checkpoint, audit row, head and status records, the clearing of its node results and its
zelk_commits row are one transaction. Node results are committed without waiting for the
disk (a lost one only means that node runs again).

A connection that breaks is made again (for a while, with backoff); a write it cut short
was rolled back whole, or committed, which a commit tells by its audit row before trying
once more.
"""

from __future__ import annotations

import getpass
import json
import os
import re
import socket
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from datetime import datetime
from typing import TYPE_CHECKING, Any, TypeVar
from urllib.parse import quote

from ..audit import Entry, Head
from ..errors import AuditError, CheckpointError, LeaseLost, RuntimeFailure, StoreError, StoreUnavailable, UsageError

if TYPE_CHECKING:
    from . import Commit

SCHEMES = ("postgresql://", "postgres://")
RUN_NAME = re.compile(r"[A-Za-z0-9_][A-Za-z0-9_.:@+=/-]{0,199}")
LEASE_SECONDS = 30.0
RECONNECT_SECONDS = 30.0
STATES = ("new", "queued", "running", "interrupted", "finished", "failed", "stopped")
T = TypeVar("T")

_SCHEMA = f"""
CREATE TABLE IF NOT EXISTS zelk_runs (
    name text PRIMARY KEY,
    manifest text,
    head text,
    status_record text,
    queue text NOT NULL DEFAULT 'new' CHECK (queue IN ({", ".join(f"'{state}'" for state in STATES)})),
    graph_path text,
    error text,
    worker text,
    lease_until timestamptz,
    fence bigint NOT NULL DEFAULT 0,
    supersteps integer NOT NULL DEFAULT 0,
    created timestamptz NOT NULL DEFAULT now(),
    updated timestamptz NOT NULL DEFAULT now()
);
CREATE INDEX IF NOT EXISTS zelk_runs_claimable ON zelk_runs (updated)
    WHERE graph_path IS NOT NULL AND queue IN ('queued', 'running');
CREATE TABLE IF NOT EXISTS zelk_audit (
    run text NOT NULL, position integer NOT NULL, payload text NOT NULL, hash text NOT NULL, tag text,
    PRIMARY KEY (run, position)
);
CREATE TABLE IF NOT EXISTS zelk_checkpoints (
    run text NOT NULL, superstep integer NOT NULL, blob bytea NOT NULL, PRIMARY KEY (run, superstep)
);
CREATE TABLE IF NOT EXISTS zelk_results (
    run text NOT NULL, superstep integer NOT NULL, key text NOT NULL, record text NOT NULL,
    PRIMARY KEY (run, superstep, key)
);
CREATE TABLE IF NOT EXISTS zelk_commits (
    run text NOT NULL, superstep integer NOT NULL, worker text NOT NULL, fence bigint NOT NULL,
    at timestamptz NOT NULL DEFAULT now()
);
CREATE INDEX IF NOT EXISTS zelk_commits_run ON zelk_commits (run, superstep);
CREATE OR REPLACE FUNCTION zelk_audit_append_only() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    RAISE EXCEPTION 'the audit log is append-only: % on zelk_audit refused', TG_OP;
END $$;
DO $$
BEGIN
    IF NOT EXISTS (SELECT 1 FROM pg_trigger WHERE tgname = 'zelk_audit_append_only'
                   AND tgrelid = 'zelk_audit'::regclass) THEN
        CREATE TRIGGER zelk_audit_append_only BEFORE UPDATE OR DELETE ON zelk_audit
            FOR EACH ROW EXECUTE FUNCTION zelk_audit_append_only();
        CREATE TRIGGER zelk_audit_no_truncate BEFORE TRUNCATE ON zelk_audit
            FOR EACH STATEMENT EXECUTE FUNCTION zelk_audit_append_only();
    END IF;
END $$;
"""
_SCHEMA_LOCK = 0x7A656C6B  # the advisory lock two processes creating the tables at once take
_ready: set[tuple[str, str, str]] = set()  # databases whose tables this process made sure of
_ready_lock = threading.Lock()


def _psycopg() -> Any:
    try:
        import psycopg
    except ImportError:
        raise RuntimeFailure("the PostgreSQL store needs psycopg: pip install 'zelk_runtime[postgres]'") from None
    return psycopg


def is_postgres(location: object) -> bool:
    return isinstance(location, str) and location.startswith(SCHEMES)


def split_location(location: str, run_id: str | None) -> tuple[str, str]:
    """The URL and the run name of a location, "URL#NAME" or the URL with `run_id`."""
    url, named = location, None
    if "#" in location:
        url, _, named = location.rpartition("#")
    if run_id is not None and named is not None and run_id != named:
        raise UsageError(f"the location names run {named!r} and run_id names {run_id!r}; name the run once")
    name = run_id if run_id is not None else named
    if name is None or name == "":
        raise UsageError("a PostgreSQL store holds many runs: name one with run_id='NAME' (--run NAME), or as URL#NAME")
    check_name(name)
    return url, name


def check_name(name: object) -> str:
    if not isinstance(name, str) or not RUN_NAME.fullmatch(name):
        raise UsageError(
            f"{name!r} is not a run name: 1 to 200 letters, digits and _ . : @ + = / -, not starting with a sign"
        )
    return name


def worker_name(suffix: str = "") -> str:
    """This process's name as a lease holder: host:pid, and the worker thread's number."""
    return f"{socket.gethostname()}:{os.getpid()}" + (f":{suffix}" if suffix else "")


_held: set[tuple[str, str, int]] = set()  # (database, run, fence) of the leases this process holds
_held_lock = threading.Lock()


def _gone(holder: str, database: str, name: str, fence: int) -> bool:
    """Whether a lease's holder is gone for sure, so that its lease is taken at once rather
    than when it runs out: a process of this host that no longer exists (a run killed here
    is taken up again at once), or this process itself when none of its leases is this one
    (its release could not reach the database). A holder elsewhere, or one that lives, keeps
    its lease; were the guess ever wrong, the fencing token still refuses its writes."""
    host, _, rest = holder.partition(":")
    pid = rest.partition(":")[0]
    if host != socket.gethostname() or not pid.isdigit():
        return False
    if int(pid) == os.getpid():
        with _held_lock:
            return (database, name, fence) not in _held
    try:
        os.kill(int(pid), 0)
    except ProcessLookupError:
        return True
    except OSError:
        return False
    return False


class Database:
    """One connection to a database, made again when it breaks; its tables made sure of once
    per process. Statements run one caller at a time (a heartbeat thread shares it)."""

    def __init__(self, url: str, *, reconnect_seconds: float = RECONNECT_SECONDS) -> None:
        psycopg = _psycopg()
        self.psycopg = psycopg
        self.url = url
        self.reconnect_seconds = reconnect_seconds
        try:
            info = psycopg.conninfo.conninfo_to_dict(url)
        except psycopg.Error as error:
            shown = re.sub(r"://([^:@/]*):[^@/]*@", r"://\1@", f"{url}: {error}")
            raise StoreError(f"not a PostgreSQL URL: {' '.join(shown.split())}") from None
        self.password: str | None = info.get("password") or None
        self.user = str(info.get("user") or os.environ.get("PGUSER") or getpass.getuser())
        self.host = str(info.get("host") or os.environ.get("PGHOST") or "localhost")
        self.port = str(info.get("port") or os.environ.get("PGPORT") or "5432")
        self.dbname = str(info.get("dbname") or os.environ.get("PGDATABASE") or self.user)
        self.display = f"postgresql://{quote(self.user, safe='')}@{self.host}:{self.port}/{self.dbname}"
        self.lock = threading.RLock()
        self.connection: Any = self._connect()
        try:
            self._schema()
        except BaseException:
            self.close()
            raise

    def where(self) -> str:
        return f"PostgreSQL database {self.dbname!r} on {self.host}:{self.port}"

    def _scrub(self, text: str, password: str | None) -> str:
        """`text` with the password taken out, on one line."""
        text = " ".join(str(text).split())
        for secret in {password, quote(password or "", safe="")} - {None, ""}:
            assert secret is not None
            text = text.replace(secret, "***")
        return text

    def _connect(self, fresh: bool = False) -> Any:
        if not fresh:
            kept = _idle.take(self.url)
            if kept is not None:
                return kept
        try:
            connection = self.psycopg.connect(self.url, autocommit=True, connect_timeout=10)
        except self.psycopg.Error as error:
            reason = self._scrub(str(error), self.password)
            raise StoreError(f"cannot connect to {self.where()} as {self.user!r}: {reason}") from None
        # Node results need not wait for the disk; commits ask for it (SET LOCAL).
        connection.execute("SET synchronous_commit TO off")
        return connection

    def _schema(self) -> None:
        key = (self.host, self.port, self.dbname)
        with _ready_lock:
            if key in _ready:
                return

            def create(connection: Any, retry: bool) -> None:
                with connection.transaction():
                    connection.execute("SELECT pg_advisory_xact_lock(%s)", (_SCHEMA_LOCK,))
                    connection.execute(_SCHEMA)

            self.run("creating the store's tables", create)
            _ready.add(key)

    def _broken(self) -> bool:
        connection = self.connection
        return connection is None or bool(connection.closed) or bool(connection.broken)

    def _reconnect(self, doing: str, deadline: float, cause: BaseException | None) -> None:
        delay = 0.05
        reason = self._scrub(str(cause), self.password) if cause is not None else "the connection broke"
        if self.connection is not None:
            try:
                self.connection.close()
            except Exception:  # a broken connection may fail to close; it is dropped
                pass
            self.connection = None
        while True:
            try:
                self.connection = self._connect(fresh=True)
                return
            except StoreError as error:
                reason = str(error)
            if time.monotonic() + delay > deadline:
                raise StoreUnavailable(
                    f"lost the connection to {self.where()} while {doing}, and could not connect again within "
                    f"{self.reconnect_seconds:g} s ({reason}); what was not committed was rolled back whole"
                )
            time.sleep(delay)
            delay = min(delay * 2, 1.0)

    def run(self, doing: str, work: Callable[[Any, bool], T]) -> T:
        """`work(connection, retry)`, made again on a new connection when the connection breaks
        or the server rolls the transaction back; `retry` tells the work it may have been done."""
        psycopg = self.psycopg
        with self.lock:
            deadline: float | None = None
            retry = False
            while True:
                try:
                    if self._broken():
                        deadline = deadline or time.monotonic() + self.reconnect_seconds
                        self._reconnect(doing, deadline, None)
                    return work(self.connection, retry)
                except psycopg.OperationalError as error:
                    again = isinstance(error, psycopg.errors.TransactionRollback)
                    if not (again or self._broken()):
                        reason = self._scrub(str(error), self.password)
                        raise StoreError(f"{self.where()}: {doing} failed: {reason}") from None
                    deadline = deadline or time.monotonic() + self.reconnect_seconds
                    if self._broken():
                        self._reconnect(doing, deadline, error)
                    elif time.monotonic() > deadline:
                        raise StoreUnavailable(f"{self.where()}: {doing} failed: {error}") from None
                    retry = True
                except psycopg.Error as error:
                    reason = self._scrub(str(error), self.password)
                    raise StoreError(f"{self.where()}: {doing} failed: {reason}") from None

    def rows(self, doing: str, sql: str, parameters: tuple[object, ...] = ()) -> list[tuple[Any, ...]]:
        def read(connection: Any, retry: bool) -> list[tuple[Any, ...]]:
            rows: list[tuple[Any, ...]] = connection.execute(sql, parameters).fetchall()
            return rows

        return self.run(doing, read)

    def close(self) -> None:
        with self.lock:
            if self.connection is not None:
                _idle.give(self.url, self.connection)
                self.connection = None


class _Idle:
    """Connections of closed stores, kept for the next store of the same URL to open: a run
    opens a store per call, and connecting costs more than most supersteps. Only this
    process's own, idle, unbroken ones are kept (a forked child makes its own)."""

    KEPT = 4

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.kept: dict[str, list[Any]] = {}
        self.pid = os.getpid()

    def take(self, url: str) -> Any:
        with self.lock:
            if self.pid != os.getpid():
                self.kept, self.pid = {}, os.getpid()  # the parent's: left alone
            found = self.kept.get(url)
            return found.pop() if found else None

    def give(self, url: str, connection: Any) -> None:
        idle = not connection.closed and not connection.broken and connection.info.transaction_status == 0
        with self.lock:
            kept = self.kept.setdefault(url, [])
            if idle and self.pid == os.getpid() and len(kept) < self.KEPT:
                kept.append(connection)
                return
        try:
            connection.close()
        except Exception:  # closing a broken connection
            pass


_idle = _Idle()


@dataclass
class RunRow:
    """A run's row as `runs` lists it."""

    name: str
    state: str
    supersteps: int
    worker: str | None
    lease_until: datetime | None
    lease_expired: bool
    fence: int
    graph_path: str | None
    error: str | None
    created: datetime
    updated: datetime


def list_runs(database: Database) -> list[RunRow]:
    rows = database.rows(
        "listing the runs",
        "SELECT name, queue, supersteps, worker, lease_until, coalesce(lease_until < now(), false), fence, "
        "graph_path, error, created, updated FROM zelk_runs ORDER BY created, name",
    )
    return [RunRow(*row) for row in rows]


@dataclass(frozen=True)
class Claim:
    name: str
    fence: int
    graph_path: str


def claim(database: Database, worker: str, lease_seconds: float) -> Claim | None:
    """Take the lease of one submitted run that waits in the queue, or whose holder's lease
    ran out (its worker died); the oldest first. None when there is none."""

    def take(connection: Any, retry: bool) -> list[tuple[Any, ...]]:
        with connection.transaction():
            connection.execute("SET LOCAL synchronous_commit TO on")
            rows: list[tuple[Any, ...]] = connection.execute(_CLAIM, (worker, lease_seconds)).fetchall()
            return rows

    rows = database.run("claiming a run", take)
    if not rows:
        return None
    name, fence, path = rows[0]
    return Claim(str(name), int(fence), str(path))


_CLAIM = (
    "UPDATE zelk_runs SET worker = %s, lease_until = now() + make_interval(secs => %s), fence = fence + 1, "
    "queue = 'running', updated = now() WHERE name = (SELECT name FROM zelk_runs WHERE graph_path IS NOT NULL "
    "AND (queue = 'queued' OR (queue = 'running' AND coalesce(lease_until, '-infinity') < now())) "
    "ORDER BY updated LIMIT 1 FOR UPDATE SKIP LOCKED) RETURNING name, fence, graph_path"
)


# A superstep's commit: the run's row updated only while the lease is ours (which also
# locks it), and the rest written from that row, so all or nothing of it is written.
_COMMIT = """
WITH held AS (
    UPDATE zelk_runs SET supersteps = supersteps + 1, head = coalesce(%(head)s::text, head),
        status_record = CASE WHEN %(set_status)s THEN %(status)s::text ELSE status_record END, updated = now(),
        lease_until = greatest(lease_until, now() + make_interval(secs => %(ttl)s))
    WHERE name = %(run)s AND fence = %(fence)s AND worker = %(worker)s
    RETURNING supersteps - 1 AS position
), checkpoint AS (
    INSERT INTO zelk_checkpoints (run, superstep, blob) SELECT %(run)s, %(superstep)s, %(blob)s FROM held
), entry AS (
    INSERT INTO zelk_audit (run, position, payload, hash, tag)
    SELECT %(run)s, position, %(payload)s, %(hash)s, %(tag)s::text FROM held
), cleared AS (
    DELETE FROM zelk_results WHERE run = %(run)s AND %(clear)s AND EXISTS (SELECT 1 FROM held)
), noted AS (
    INSERT INTO zelk_commits (run, superstep, worker, fence) SELECT %(run)s, %(superstep)s, %(worker)s, %(fence)s
    FROM held
)
SELECT count(*) FROM held
"""


def waiting(database: Database) -> int:
    """How many submitted runs are queued or running: what a worker may yet take up."""
    rows = database.rows(
        "counting the queue",
        "SELECT count(*) FROM zelk_runs WHERE graph_path IS NOT NULL AND queue IN ('queued', 'running')",
    )
    return int(rows[0][0])


def _head_text(head: tuple[Head, str]) -> str:
    recorded, tag = head
    return json.dumps({"count": recorded.count, "hash": recorded.link, "tag": tag})


class PgStore:
    """One run in a PostgreSQL database. `fence` given: the store holds a lease a worker
    claimed (`claim`); otherwise `lock()` takes the run's lease by its name."""

    def __init__(
        self,
        location: str,
        run_id: str | None = None,
        *,
        create: bool = True,
        worker: str | None = None,
        lease_seconds: float = LEASE_SECONDS,
        fence: int | None = None,
        database: Database | None = None,
    ) -> None:
        url, self.name = split_location(location, run_id)
        if not lease_seconds > 0:
            raise UsageError(f"a lease lasts a positive number of seconds, not {lease_seconds!r}")
        self.db = database if database is not None else Database(url)
        self._owns = database is None
        self.location = f"{self.db.display}#{self.name}"
        self.worker = worker or worker_name()
        self.lease_seconds = float(lease_seconds)
        self.fence = fence
        self.adopted = fence is not None  # a worker's claim: a run stopped goes back to the queue
        self.lease: Lease | None = None
        self.submitted = False  # a run of the queue (submit): resume hands it back to the workers
        try:
            rows = self._rows("reading the run", "SELECT graph_path FROM zelk_runs WHERE name = %s", self.name)
            if not rows and not create:
                raise StoreError(f"store {self.location} does not exist: {self.db.where()} holds no run {self.name!r}")
        except BaseException:
            self.close()
            raise
        self.submitted = bool(rows and rows[0][0] is not None)

    def _rows(self, doing: str, sql: str, *parameters: object) -> list[tuple[Any, ...]]:
        return self.db.rows(f"{doing} of {self.location}", sql, parameters)

    # The lease.

    def lock(self) -> Lease:
        """Take the run's lease (made if the run is new), or, with a worker's claim, check it
        still holds; refused while another holder's lease lasts."""
        if self.lease is not None:
            raise StoreError(f"store {self.location} is in use by this process already")
        if self.fence is not None:
            rows = self._rows(
                "checking the lease", "SELECT fence, worker, queue FROM zelk_runs WHERE name = %s", self.name
            )
            if not rows or rows[0][0] != self.fence or rows[0][1] != self.worker:
                holder = rows[0][1] if rows else None
                current = int(rows[0][0]) if rows else -1
                raise self._lost("taking up the claimed run", holder, current)
            self.lease = Lease(self, self.fence, "queued")
            return self.lease

        where = self.db.display

        def take(connection: Any, retry: bool) -> tuple[Any, ...]:
            with connection.transaction():
                connection.execute("SET LOCAL synchronous_commit TO on")
                connection.execute(
                    "INSERT INTO zelk_runs (name) VALUES (%s) ON CONFLICT (name) DO NOTHING", (self.name,)
                )
                row: tuple[Any, ...] = connection.execute(
                    "SELECT fence, worker, lease_until, coalesce(lease_until < now(), true), queue, "
                    "graph_path IS NOT NULL FROM zelk_runs WHERE name = %s FOR UPDATE",
                    (self.name,),
                ).fetchone()
                fence, holder, _, expired, state, submitted = row
                mine = retry and holder == self.worker  # the attempt the connection cut short took it
                if holder is not None and not expired and not mine and not _gone(holder, where, self.name, fence):
                    return row
                connection.execute(
                    "UPDATE zelk_runs SET worker = %s, lease_until = now() + make_interval(secs => %s), "
                    "fence = fence + 1, queue = 'running', updated = now() WHERE name = %s",
                    (self.worker, self.lease_seconds, self.name),
                )
                return (fence + 1, None, None, True, state, submitted)

        fence, holder, until, _, state, submitted = self.db.run(f"taking the lease of {self.location}", take)
        if holder is not None:
            raise StoreError(
                f"store {self.location} is in use by another run: {holder} holds its lease until "
                f"{until.isoformat(timespec='seconds')} (taken over when its holder stops renewing it)"
            )
        self.fence = int(fence)
        self.submitted = bool(submitted)
        if state == "running":  # its holder went away mid-run: it is taken over, or stopped
            state = "queued" if self.submitted else "stopped"
        self.lease = Lease(self, self.fence, str(state))
        return self.lease

    def _lost(self, doing: str, holder: str | None, current: int) -> LeaseLost:
        holding = f"{holder} holds it now" if holder else "nobody holds it now"
        return LeaseLost(
            f"store {self.location}: {doing} refused: the run's lease passed on ({holding}, fence {current}; "
            f"ours was fence {self.fence}), so nothing was written; the run goes on under its new holder",
            self.name,
            holder,
            -1 if self.fence is None else self.fence,
            current,
        )

    def _hold(self, connection: Any, doing: str) -> int:
        """In a transaction: lock the run's row, check that our lease holds it, and return the
        number of audit entries."""
        if self.fence is None:
            raise StoreError(f"store {self.location}: {doing} without holding the run's lease")
        row = connection.execute(
            "SELECT fence, worker, supersteps FROM zelk_runs WHERE name = %s FOR UPDATE", (self.name,)
        ).fetchone()
        if row is None or row[0] != self.fence or row[1] != self.worker:
            raise self._lost(doing, None if row is None else row[1], -1 if row is None else int(row[0]))
        return int(row[2])

    def _fenced(self, doing: str, statements: list[tuple[str, tuple[object, ...]]]) -> None:
        def write(connection: Any, retry: bool) -> None:
            with connection.transaction():
                connection.execute("SET LOCAL synchronous_commit TO on")
                self._hold(connection, doing)
                for sql, parameters in statements:
                    connection.execute(sql, parameters)

        self.db.run(f"{doing} of {self.location}", write)

    def extend(self, fence: int) -> bool:
        """Extend the lease; False once it is no longer ours."""

        def beat(connection: Any, retry: bool) -> bool:
            done = connection.execute(
                "UPDATE zelk_runs SET lease_until = now() + make_interval(secs => %s) "
                "WHERE name = %s AND fence = %s AND worker = %s",
                (self.lease_seconds, self.name, fence, self.worker),
            )
            return bool(done.rowcount)

        return self.db.run(f"renewing the lease of {self.location}", beat)

    def settle(self, fence: int, state: str, error: str | None) -> None:
        """Give the lease up, leaving the run in `state`."""

        def give_up(connection: Any, retry: bool) -> None:
            with connection.transaction():
                connection.execute("SET LOCAL synchronous_commit TO on")
                connection.execute(
                    "UPDATE zelk_runs SET worker = NULL, lease_until = NULL, queue = %s, error = %s, updated = now() "
                    "WHERE name = %s AND fence = %s AND worker = %s",
                    (state, error, self.name, fence, self.worker),
                )

        self.db.run(f"releasing the lease of {self.location}", give_up)

    def reserve(self, graph_path: str) -> None:
        """Make the run as a submitted one; refused when the name is taken."""

        def insert(connection: Any, retry: bool) -> str | None:
            row = connection.execute(
                "INSERT INTO zelk_runs (name, graph_path) VALUES (%s, %s) ON CONFLICT (name) DO NOTHING RETURNING name",
                (self.name, graph_path),
            ).fetchone()
            if row is not None:
                return None
            found = connection.execute(
                "SELECT queue, graph_path, manifest IS NULL AND worker IS NULL FROM zelk_runs WHERE name = %s",
                (self.name,),
            ).fetchone()
            if retry and found is not None and found[0] == "new" and found[1] == graph_path and found[2]:
                return None  # the attempt the connection cut short had made it
            return "gone" if found is None else str(found[0])

        state = self.db.run(f"submitting {self.location}", insert)
        if state is not None:
            raise StoreError(
                f"store {self.location} exists already (it is {state}): a run name is submitted once; "
                "pick another name, or resume that run"
            )
        self.submitted = True

    # The records.

    def read_manifest(self) -> str | None:
        rows = self._rows("reading the manifest", "SELECT manifest FROM zelk_runs WHERE name = %s", self.name)
        return None if not rows or rows[0][0] is None else str(rows[0][0])

    def write_manifest(self, text: str, head: tuple[Head, str] | None) -> None:
        statements: list[tuple[str, tuple[object, ...]]] = [
            ("UPDATE zelk_runs SET manifest = %s, updated = now() WHERE name = %s", (text, self.name))
        ]
        if head is not None:
            statements.append(("UPDATE zelk_runs SET head = %s WHERE name = %s", (_head_text(head), self.name)))
        self._fenced("writing the manifest", statements)

    def audit_entries(self) -> list[Entry]:
        rows = self._rows(
            "reading the audit log",
            "SELECT position, payload, hash, tag FROM zelk_audit WHERE run = %s ORDER BY position",
            self.name,
        )
        entries = []
        for index, (position, payload, link, tag) in enumerate(rows):
            if position != index:
                raise AuditError(f"audit entry {index} of store {self.location} is missing", index)
            entries.append(Entry(str(payload), str(link), None if tag is None else str(tag)))
        return entries

    def read_head(self) -> tuple[Head, str] | None:
        rows = self._rows("reading the head record", "SELECT head FROM zelk_runs WHERE name = %s", self.name)
        if not rows or rows[0][0] is None:
            return None
        try:
            record = json.loads(str(rows[0][0]))
            return Head(int(record["count"]), str(record["hash"])), str(record["tag"])
        except (ValueError, KeyError, TypeError) as error:
            raise AuditError(f"the head record of store {self.location} is not readable ({error})", None) from error

    def recover(self) -> list[str]:
        return []  # transactions leave nothing half-done

    def checkpoint_name(self, superstep: int) -> str:
        return f"{self.location} (checkpoint of superstep {superstep})"

    def checkpoint_superstep_numbers(self) -> list[int]:
        rows = self._rows(
            "listing the checkpoints",
            "SELECT superstep FROM zelk_checkpoints WHERE run = %s ORDER BY superstep",
            self.name,
        )
        return [int(row[0]) for row in rows]

    def read_checkpoint(self, superstep: int) -> bytes:
        rows = self._rows(
            f"reading the checkpoint of superstep {superstep}",
            "SELECT blob FROM zelk_checkpoints WHERE run = %s AND superstep = %s",
            self.name,
            superstep,
        )
        if not rows:
            raise CheckpointError(f"checkpoint {self.checkpoint_name(superstep)} is missing", superstep, self.location)
        return bytes(rows[0][0])

    def write_base(self, superstep: int, blob: bytes) -> None:
        self._fenced(
            f"writing the base checkpoint of superstep {superstep}",
            [
                (
                    "INSERT INTO zelk_checkpoints (run, superstep, blob) VALUES (%s, %s, %s) "
                    "ON CONFLICT (run, superstep) DO UPDATE SET blob = excluded.blob",
                    (self.name, superstep, blob),
                )
            ],
        )

    def commit(self, commit: Commit) -> None:
        entry = commit.entry
        doing = f"committing superstep {commit.superstep}"
        if self.fence is None:
            raise StoreError(f"store {self.location}: {doing} without holding the run's lease")
        parameters = {
            "run": self.name,
            "fence": self.fence,
            "worker": self.worker,
            "superstep": commit.superstep,
            "blob": commit.blob,
            "payload": entry.payload,
            "hash": entry.link,
            "tag": entry.tag,
            "head": None if commit.head is None else _head_text(commit.head),
            "set_status": commit.status is not None or commit.clear_status,
            "status": commit.status,
            "clear": commit.clear_results,
            "ttl": self.lease_seconds,
        }

        def write(connection: Any, retry: bool) -> int:
            if (
                retry
                and connection.execute(
                    "SELECT 1 FROM zelk_audit WHERE run = %s AND hash = %s", (self.name, entry.link)
                ).fetchone()
            ):
                return 1  # the attempt the connection cut short had committed
            # One statement, sent with its transaction in one go: nothing of it is written
            # unless the lease is ours.
            with connection.pipeline(), connection.transaction():
                connection.execute("SET LOCAL synchronous_commit TO on")
                done = connection.execute(_COMMIT, parameters)
            return int(done.fetchone()[0])

        if not self.db.run(f"{doing} of {self.location}", write):
            rows = self._rows("reading the lease", "SELECT worker, fence FROM zelk_runs WHERE name = %s", self.name)
            raise self._lost(doing, rows[0][0] if rows else None, int(rows[0][1]) if rows else -1)

    def record_result(self, superstep: int, key: str, text: str) -> None:
        doing = f"recording a node result of superstep {superstep}"
        if self.fence is None:
            raise StoreError(f"store {self.location}: {doing} without holding the run's lease")

        def write(connection: Any, retry: bool) -> int:
            done = connection.execute(
                "INSERT INTO zelk_results (run, superstep, key, record) SELECT name, %s, %s, %s FROM zelk_runs "
                "WHERE name = %s AND fence = %s AND worker = %s FOR SHARE "
                "ON CONFLICT (run, superstep, key) DO UPDATE SET record = excluded.record",
                (superstep, key, text, self.name, self.fence, self.worker),
            )
            return int(done.rowcount)

        if not self.db.run(f"{doing} of {self.location}", write):
            rows = self._rows("reading the lease", "SELECT worker, fence FROM zelk_runs WHERE name = %s", self.name)
            raise self._lost(doing, rows[0][0] if rows else None, int(rows[0][1]) if rows else -1)

    def results(self, superstep: int) -> dict[str, str]:
        rows = self._rows(
            "reading the node results",
            "SELECT key, record FROM zelk_results WHERE run = %s AND superstep = %s",
            self.name,
            superstep,
        )
        return {str(key): str(record) for key, record in rows}

    def read_status(self) -> str | None:
        rows = self._rows("reading the status record", "SELECT status_record FROM zelk_runs WHERE name = %s", self.name)
        return None if not rows or rows[0][0] is None else str(rows[0][0])

    def write_status(self, text: str | None) -> None:
        self._fenced(
            "writing the status record",
            [("UPDATE zelk_runs SET status_record = %s, updated = now() WHERE name = %s", (text, self.name))],
        )

    def close(self) -> None:
        if self.lease is not None:
            self.lease.stop_heartbeat()
            self.lease.forget()
        if self._owns:
            self.db.close()


class Lease:
    """A held run: a heartbeat renews it every third of its length while the holder lives;
    `release` gives it up and leaves the run in the state its end calls for."""

    def __init__(self, store: PgStore, fence: int, before: str) -> None:
        self.store = store
        self.fence = fence
        self.before = before  # the run's state when the lease was taken
        self._key = (store.db.display, store.name, fence)
        with _held_lock:
            _held.add(self._key)
        self._stop = threading.Event()
        self._heart = threading.Thread(target=self._beat, name=f"lease {store.name}", daemon=True)
        self._heart.start()

    def _beat(self) -> None:
        interval = self.store.lease_seconds / 3
        while not self._stop.wait(interval):
            try:
                if not self.store.extend(self.fence):
                    return  # passed on: the holder's next write is refused
            except StoreError:
                continue  # the database is away: the lease runs out unless it comes back in time

    def stop_heartbeat(self) -> None:
        self._stop.set()
        if self._heart is not threading.current_thread():
            self._heart.join()

    def forget(self) -> None:
        """No longer count the lease as this process's own (released, or its store closed)."""
        with _held_lock:
            _held.discard(self._key)

    def release(self, outcome: str | None = None, error: str | None = None) -> None:
        """`outcome`: what became of the run (finished, interrupted, stopped, failed, or queued
        when handed back to the workers); None when nothing ran, which leaves it as it was, or
        for a worker's claim fails it with `error` or puts it back in the queue."""
        self.stop_heartbeat()
        store = self.store
        if outcome is None:
            state = ("failed" if error else "queued") if store.adopted else self.before
        elif outcome == "stopped" and store.adopted:
            state = "queued"  # a worker that stops hands its run on
        else:
            state = outcome
        try:
            store.settle(self.fence, state, error if state == "failed" else None)
        except StoreError:
            pass  # unreachable: the lease runs out by itself and the run is taken over
        self.forget()
        store.lease = None
        if not store.adopted:
            store.fence = None  # the store may take the run's lease again; a worker's claim is used once
