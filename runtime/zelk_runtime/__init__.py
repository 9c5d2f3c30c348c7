"""zelk_runtime: graphs of Python nodes that loop, branch, fan out and wait for people,
run in supersteps through zelk_core, durable and verifiable.

from zelk_runtime import Graph, run

graph = Graph({"fetch": fetch, "rank": rank}, [("fetch", "rank")], reducers={"log": "append"})
result = run(graph, "runs/first")        # run it, or continue the run the store holds
print(result.state)
"""

from .audit import AuditKey, Head
from .errors import (
    AuditError,
    ChangedCodeError,
    CheckpointError,
    GraphError,
    LeaseLost,
    NodeError,
    NodeFailure,
    RuntimeFailure,
    StepLimitError,
    StoreError,
    StoreUnavailable,
    UsageError,
)
from .events import Event
from .executors import RayExecutor, SequentialExecutor, ThreadExecutor
from .graph import END, Graph, Output, Send
from .history import StoredRun, load_checkpoint, read_run, verify
from .interrupts import Interrupt, interrupt
from .policies import NodeTimeout, Policy
from .progress import SuperstepReport
from .runs import EventStream, RunResult, fork, resume, run, stream
from .stores import DirStore, PgStore, SqliteStore, open_store
from .workers import submit, work

__version__ = "0.2.0"
__all__ = [
    "END",
    "AuditError",
    "AuditKey",
    "ChangedCodeError",
    "CheckpointError",
    "DirStore",
    "Event",
    "EventStream",
    "Graph",
    "GraphError",
    "Head",
    "Interrupt",
    "LeaseLost",
    "NodeError",
    "NodeFailure",
    "NodeTimeout",
    "Output",
    "PgStore",
    "Policy",
    "RayExecutor",
    "RunResult",
    "RuntimeFailure",
    "Send",
    "SequentialExecutor",
    "SqliteStore",
    "StepLimitError",
    "StoreError",
    "StoreUnavailable",
    "StoredRun",
    "SuperstepReport",
    "ThreadExecutor",
    "UsageError",
    "fork",
    "interrupt",
    "load_checkpoint",
    "open_store",
    "read_run",
    "resume",
    "run",
    "stream",
    "submit",
    "verify",
    "work",
]
